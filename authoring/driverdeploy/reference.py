"""python3 -m driverdeploy.reference [--out FILE] [--check]: writes docs/reference.md from the schema.

The reference is generated whole: its prose is here, its tables come from schema.py, so it says what the kit
generates and checks. The file is checked in; a test regenerates it and fails when it differs. --check compares
without writing (exit code 1 when the file differs)."""

import argparse
import os
import sys

from . import schema

DEFAULT_OUT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                           "docs", "reference.md")

TYPE_BITS = ((schema.CA_DLL_BINARY, "DLL"), (schema.CA_ROLLBACK, "rollback"), (schema.CA_COMMIT, "commit"),
             (schema.CA_IN_SCRIPT, "in script"), (schema.CA_NO_IMPERSONATE, "no impersonation"))


def _cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def _table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(_cell(c) for c in row) + " |" for row in rows]
    return "\n".join(out) + "\n"


def _code(text):
    return f"`{text}`" if text else ""


def _type_text(value):
    return f"{value} (0x{value:X}: " + ", ".join(n for b, n in TYPE_BITS if value & b) + ")"


def tables_section():
    out = ["## Tables\n",
           "Five custom tables. Type is the IDT column type (`s` string, `l` localizable string, `i` integer, "
           "`v` stream, followed by the width; upper case: the column may be null). Formatted columns are "
           "formatted against installer properties (`[INSTALLDIR]ddfilt.inf`) when the library reads them; "
           "condition columns hold an installer condition.\n"]
    for t in schema.TABLES:
        out.append(f"### {t.name}\n")
        out.append(t.description[0].upper() + t.description[1:] + ". Key: " +
                   ", ".join(_code(k) for k in t.keys) + ".")
        if t.key_forbidden:
            chars = " ".join(f"`{c}`" for c in t.key_forbidden)
            out[-1] += (f" The key must not hold {chars}: the library writes it unescaped as a list key of the "
                        "data it hands to its scheduled actions.")
        out[-1] += "\n"
        rows = []
        for c in t.columns:
            notes = []
            if c.key:
                notes.append("key")
            if c.foreign:
                notes.append(f"refers to {c.foreign[0]}.{c.foreign[1]}")
            if c.formatted:
                notes.append("formatted")
            if c.condition:
                notes.append("condition")
            rows.append([_code(c.name), _code(c.idt_type), "yes" if c.nullable else "no", ", ".join(notes),
                         c.description])
        out.append(_table(["Column", "Type", "Nullable", "Notes", "Meaning"], rows))
    return "\n".join(out)


def codes_section():
    out = ["## Attribute bits and codes\n"]
    for t in schema.TABLES:
        if t.attribute_bits:
            out.append(f"### {t.name}.{t.attributes_column}\n")
            out.append(_table(["Value", "Name", "Meaning"],
                              [[f"0x{b.value:X}", _code(b.name), b.description] for b in t.attribute_bits]))
    out.append("`driverdeploy lint` reports any other bit.\n")
    out.append("### DriverPackage.Type\n")
    out.append(_table(["Value", "Meaning"], [[k, v] for k, v in schema.DRIVER_TYPES.items()]))
    out.append("### DriverRegistry.Root\n")
    out.append(_table(["Value", "Registry root"], [[k, v] for k, v in schema.REGISTRY_ROOTS.items()]))
    return "\n".join(out)


def actions_section():
    out = ["## Custom actions\n",
           f"Every action's `Source` is the `Binary` row `{schema.BINARY_NAME}`, which holds `{schema.DLL_NAME}`; "
           "its `Target` is the entry point below. Type bits: 0x1 a DLL stored in the `Binary` table, 0x400 runs in the "
           "installer's script (deferred), 0x100 rollback, 0x200 commit, 0x800 in the system context (no "
           "impersonation). Type bits of a DLL action carry no 64-bit flag: the installer "
           "runs a DLL in a host of the DLL's own bitness.\n",
           "### Actions in the sequence\n"]
    rows = [[_code(a.name), _type_text(a.type), _code(a.entry), _code(a.table)]
            for a in schema.ACTIONS if a.started_by == "sequence"]
    out.append(_table(["Action", "Type", "Entry point", "Table it handles"], rows))
    out.append("### Names to bind\n")
    out.append("The immediate actions schedule these names; each must be a `CustomAction` row bound to the entry "
               "point shown, with these type bits. On a 64-bit system (the property `VersionNT64` is set) the "
               "driver actions schedule the names with `_x64`; a package lists both forms. The early names are not "
               "entry points of their own: they run the bodies of the normal installation.\n")
    rows = [[_code(a.name), _type_text(a.type), _code(a.entry), _code(a.started_by)]
            for a in schema.ACTIONS if a.started_by != "sequence"]
    out.append(_table(["Name", "Type", "Entry point", "Scheduled by"], rows))
    return "\n".join(out)


def sequence_section():
    out = ["## Sequencing\n",
           "`InstallExecuteSequence` rows, in the order they run. The numbers are those `driverdeploy add` and "
           "the IDT files use; what counts is the order against the standard actions, which `driverdeploy lint` "
           "checks.\n"]
    rows = [[_code(s.action), s.sequence, _code(s.condition), ", ".join(s.after), ", ".join(s.before), s.why]
            for s in schema.SEQUENCE]
    out.append(_table(["Action", "Sequence", "Condition", "After", "Before", "Why"], rows))
    return "\n".join(out)


def errors_section():
    out = ["## Error numbers\n",
           "The library sends these error messages; the package's `Error` table supplies their texts. In a text, "
           "`[2]` is the failure's error code, an HRESULT shown in signed decimal (0x80070002 shows as "
           "-2147024894), and `[3]` the object of the failure (a package, catalog or service id). The suggested texts are those `driverdeploy add` writes; a text of one's own "
           "should keep `[3]`.\n"]
    rows = [[e.number, e.text, ", ".join(_code(a) for a in e.sent_by)] for e in schema.ERRORS]
    out.append(_table(["Error", "Suggested text", "Sent by"], rows))
    return "\n".join(out)


def properties_section():
    out = ["## Properties\n", "### Read\n",
           "Switches said to be \"exactly 1\" act only on the value `1`; \"set\" means any value that is not "
           "empty.\n"]
    out.append(_table(["Property", "Effect"], [[_code(n), what] for n, what in schema.PROPERTIES_READ]))
    out.append("### Written\n")
    out.append("Besides these, each scheduled action's data is kept in the property of the action's name (the "
               "installer's own mechanism for deferred actions).\n")
    out.append(_table(["Property", "Written by", "Value"],
                      [[_code(n), by, what] for n, by, what in schema.PROPERTIES_WRITTEN]))
    return "\n".join(out)


def render():
    head = ("# driverdeploy reference\n\n"
            "What an installer package holds to use `driverdeploy.dll`: its tables, codes, custom actions, sequence "
            "entries, error messages and properties. This file is generated from "
            "`authoring/driverdeploy/schema.py` by `python3 -m driverdeploy.reference` (run in `authoring/`); edit "
            "the schema, not this file. [authoring.md](authoring.md) shows how to put it all into a package, "
            "[drivers-toml.md](drivers-toml.md) describes the input of `driverdeploy add`.\n")
    parts = [head, tables_section(), codes_section(), actions_section(), sequence_section(), errors_section(),
             properties_section()]
    return "\n".join(parts)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m driverdeploy.reference", description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=DEFAULT_OUT, help="the file to write (default: docs/reference.md)")
    parser.add_argument("--check", action="store_true", help="compare with the file, write nothing")
    args = parser.parse_args(argv)
    data = render().encode("utf-8")
    current = None
    if os.path.exists(args.out):
        with open(args.out, "rb") as f:
            current = f.read()
    if current == data:
        return 0
    if args.check:
        print(f"differs: {args.out}")
        return 1
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "wb") as f:
        f.write(data)
    print(f"wrote: {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
