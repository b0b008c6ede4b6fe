"""driverdeploy wxs DRIVERS.toml -o Drivers.wxs [--wix 4|3]

Writes the rows DRIVERS.toml describes (the format of `driverdeploy add`, docs/drivers-toml.md) as WiX source,
for a product built with WiX instead of adding the rows to a built package:

  --wix 4 (the default; WiX v4, v5, v6 and later): a fragment of CustomTableRef rows for the kit's
          authoring/wix/DriverDeploy.v4.wxs, which the product builds as well; the product references the rows
          with <ComponentGroupRef Id="DriverDeployRows" />;
  --wix 3: a complete copy of the kit's authoring/wix/DriverDeploy.wxs holding the rows in its CustomTable
          elements (WiX v3 takes a custom table's rows only there): build it instead of the kit's file.

Components are the product's own: the WiX build checks the references. Programs of protected services become
Binary rows whose SourceFile is the file's path relative to the folder of Drivers.wxs.

Exit codes: 0 done, 2 usage or input error (the messages name the file and the entry)."""

import argparse
import os
import sys
import tempfile

from . import add, generate


def source(toml_path, out_path, version):
    """The WiX source text for the TOML file; raises add.InputError."""
    if not os.path.isfile(toml_path):
        raise add.InputError([f"driverdeploy wxs: no such driver description: {toml_path}"])
    doc = add.load_toml(toml_path)
    reader = add.Reader(toml_path, None)
    reader.read(doc)
    if reader.errors:
        raise add.InputError(reader.errors)
    out_dir = os.path.dirname(os.path.abspath(out_path))
    binaries = {name: os.path.relpath(os.path.abspath(path), out_dir) for name, path in reader.binaries.items()}
    made_from = os.path.basename(toml_path)
    if version == 3:
        # No "--" in an XML comment: the option is named in words.
        note = [f"<!-- driverdeploy for WiX v3: the kit's fragment with the rows of {made_from}, written by",
                "     `driverdeploy wxs` for WiX 3. Build it instead of the kit's DriverDeploy.wxs, with",
                "     -dDriverDeployDll=path\\to\\driverdeploy.dll, and reference it from the product, for example",
                "     with <CustomActionRef Id=\"InstallDrivers\" />. -->"]
        return generate.wix_fragment(3, reader.rows, binaries, note=note)
    note = [f"<!-- driverdeploy rows of {made_from} for WiX v4 and later, written by `driverdeploy wxs`. Build",
            "     it with the kit's DriverDeploy.v4.wxs and reference it from the product with",
            "     <ComponentGroupRef Id=\"DriverDeployRows\" />. -->"]
    return generate.wix_row_source(reader.rows, binaries, note=note)


def main(argv):
    parser = argparse.ArgumentParser(prog="driverdeploy wxs", description="\n\n".join(__doc__.split("\n\n")[1:4]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="exit codes: 0 done, 2 usage or input error")
    parser.add_argument("drivers", metavar="DRIVERS.toml")
    parser.add_argument("-o", "--output", metavar="Drivers.wxs", required=True)
    parser.add_argument("--wix", type=int, choices=(3, 4), default=4,
                        help="WiX version: 4 for v4 and later (default), 3 for v3")
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 2
    try:
        text = source(args.drivers, args.output, args.wix)
    except add.InputError as e:
        for line in e.messages:
            sys.stderr.write(line + "\n")
        return 2
    # Written beside the output and moved over it, so a failure leaves no half-written file.
    out_dir = os.path.dirname(os.path.abspath(args.output))
    fd, work = tempfile.mkstemp(prefix=".ddwxs-", suffix=".wxs", dir=out_dir)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.replace(work, args.output)
    except BaseException:
        if os.path.exists(work):
            os.remove(work)
        raise
    sys.stdout.write(f"wrote {args.output}\n")
    return 0
