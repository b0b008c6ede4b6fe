"""driverdeploy plan PACKAGE.msi [PROPERTY=VALUE...]: what the package's driverdeploy actions would do, found by
running its immediate actions under Wine in a throw-away prefix, without deploying anything.

The plan runs a copy of the package that differs in three ways:
- an immediate action of the plan probe, sequenced just before InstallFinalize, writes the properties in which the
  immediate actions left their results (each scheduled action's CustomActionData, the package lists,
  "InstallDriversFinalize") to a file and then ends the run as a user exit, before the installer carries out
  its script;
- every script-phase name of driverdeploy is bound to an entry point of the probe that does nothing, so that no
  run of the copy can deploy a driver, catalog or protection, whatever reaches the script;
- for REMOVE or REINSTALL (or --installed) the copy is first installed without the probe's recording step: the
  product's files and registration land in the prefix, no driver does; then the maintenance run is planned.

What is printed per driver package, catalog and protected service: the decisions that the immediate actions
logged (their own log lines), then the operation of every scheduled action, decoded from its CustomActionData."""

import argparse
import os
import re
import shutil
import sys
import tempfile

from . import cad, msidb, schema, wine

PROBE_BINARY = "DriverDeployPlanProbe"
PROBE_DLL = "driverdeploy_plan_probe.dll"
RECORD_ACTION = "DriverDeployPlanRecord"
SWITCH = "DRIVERDEPLOYPLAN"
RECORD_FILE = "C:\\driverdeploy-plan.txt"
# msiexec's exit code for a user exit (1602), as Wine hands it on: cut to 8 bits.
USER_EXIT = 1602 & 0xFF

SOURCE_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEFAULT_BUILD = os.path.join(SOURCE_ROOT, "build", "windows")


class PlanError(RuntimeError):
    pass


# ---------------------------------------------------------------------------
# What the copy records and binds


def script_phase_names():
    """The names of the kit that run in the installer's script: the scheduled ones and InstallDriversFinalize."""
    return [a.name for a in schema.ACTIONS if a.started_by != "sequence" or a.type & schema.CA_IN_SCRIPT]


def recorded_names():
    names = [a.name for a in schema.ACTIONS if a.started_by != "sequence"]
    names += [name for name, _, _ in schema.PROPERTIES_WRITTEN if name not in names]
    return names


def immediate_names():
    return {a.name: a for a in schema.ACTIONS if a.started_by == "sequence" and not a.type & schema.CA_IN_SCRIPT}


def _sequence_before_finalize(table):
    """A sequence number just before InstallFinalize; when there is no room, InstallFinalize and what follows it
    move up by one."""
    action, seq = table.index("Action"), table.index("Sequence")
    finalize = next((row for row in table.rows if row[action] == "InstallFinalize"), None)
    if finalize is None or not finalize[seq].strip():
        raise PlanError("the package's InstallExecuteSequence has no InstallFinalize: there is no script to stop "
                        "before")
    at = int(finalize[seq])
    taken = {int(row[seq]) for row in table.rows if row[seq].strip().lstrip("-").isdigit()}
    if at - 1 not in taken:
        return at - 1
    for row in table.rows:
        if row[seq].strip().lstrip("-").isdigit() and int(row[seq]) >= at:
            row[seq] = str(int(row[seq]) + 1)
    return at


def _row(table, **values):
    """A row of the table with these columns set and the others empty (packages may have more columns)."""
    return [values.get(c, "") for c in table.columns]


def make_plan_copy(source, target, probe):
    """Writes the plan copy of `source` to `target`; returns the original's CustomAction rows by name."""
    shutil.copyfile(source, target)
    with msidb.Package(source) as package:
        custom = package.table("CustomAction")
        sequence = package.table("InstallExecuteSequence")
        binary = package.table("Binary")
        properties = package.table("Property")
        if custom is None or sequence is None:
            raise PlanError(f"{source} has no CustomAction or InstallExecuteSequence table")
        original = {r["Action"]: r for r in custom.records()}
        sequenced = {r["Action"] for r in sequence.records()}
        if not any(name in sequenced for name in immediate_names()):
            raise PlanError(f"{source} sequences none of driverdeploy's immediate actions "
                            f"({', '.join(immediate_names())}): there is nothing to plan")
        taken = [name for name in (PROBE_BINARY,) if binary and any(r[0] == name for r in binary.rows)]
        taken += [name for name in (RECORD_ACTION,) if name in original]
        if taken:
            raise PlanError(f"{source} already holds {', '.join(taken)}: is it a plan copy?")

        bind = set(script_phase_names())
        source_col, target_col = custom.index("Source"), custom.index("Target")
        for row in custom.rows:
            if row[custom.index("Action")] in bind:
                row[source_col], row[target_col] = PROBE_BINARY, "SkipScriptAction"
        custom.rows.append(_row(custom, Action=RECORD_ACTION, Type=str(schema.CA_DLL_BINARY), Source=PROBE_BINARY,
                                Target="RecordPlan"))

        at = _sequence_before_finalize(sequence)
        sequence.rows.append(_row(sequence, Action=RECORD_ACTION, Condition=SWITCH, Sequence=str(at)))

        if binary is None:
            binary = msidb.TableData("Binary", ["Name", "Data"], ["s72", "v0"], ["Name"])
        binary.rows.append(_row(binary, Name=PROBE_BINARY))
        if properties is None:
            properties = msidb.TableData("Property", ["Property", "Value"], ["s72", "l0"], ["Property"])
        properties.rows = [r for r in properties.rows if r[0] not in ("DriverDeployPlanFile", "DriverDeployPlanNames")]
        properties.rows += [_row(properties, Property="DriverDeployPlanFile", Value=RECORD_FILE),
                            _row(properties, Property="DriverDeployPlanNames", Value=";".join(recorded_names()))]
        msidb.write_tables(target, [custom, sequence, binary, properties], {PROBE_BINARY: probe})

        tables = {name: package.records(name) for name in
                  ("DriverPackage", "DriverRegistry", "DriverUpperFilter", "CryptCatalog", "ServiceConfigProtection")}
    return original, tables


def read_record(path):
    """{property: value} from the probe's record file."""
    with open(path, "rb") as f:
        raw = f.read()
    out, pos = {}, 0
    while pos < len(raw):
        tab1 = raw.index(b"\t", pos)
        tab2 = raw.index(b"\t", tab1 + 1)
        size = int(raw[tab1 + 1:tab2])
        end = tab2 + 1 + size
        if raw[end:end + 1] != b"\n":
            raise PlanError(f"the probe's record is malformed at byte {pos}")
        out[raw[pos:tab1].decode("utf-8")] = raw[tab2 + 1:end].decode("utf-8")
        pos = end + 1
    return out


# ---------------------------------------------------------------------------
# Describing what each scheduled action would do


def _root(code):
    return schema.REGISTRY_ROOTS.get(code, f"root {code}")


def describe_registry(entry):
    key_entry = entry["value"] == "" and entry["name"] in ("+", "*", "-")
    what = cad.REGISTRY_ACTIONS.get(entry["act"], f"action {entry['act']}")
    where = f"{_root(entry['root'])}\\{entry['key']}"
    if key_entry:
        return f"registry '{entry['id']}': {what} key {where}"
    text = f"registry '{entry['id']}': {what} {where} value '{entry['name']}'"
    if entry["act"] == 1:
        text += f" = '{entry['value']}'"
    return text


def describe_package(package, entry):
    """What the script-phase entry point `entry` does with one decoded package."""
    op = package["act"]
    op_name = cad.OPERATIONS.get(op, f"operation {op}")
    early = package["atr"] & 0x10
    folder = package["inf"].rsplit("\\", 1)[0] if "\\" in package["inf"] else package["inf"]
    if entry == "InstallDriversCommit":
        return [f"remove the early installation's folder '{folder}'" if early else "nothing (not configured early)"]
    if entry == "InstallDriversFinalize":
        if package["atr"] & 0x20 and op & 3:
            return [f"set the start type of the first service of '{package['inf']}' to system start ({op_name})"]
        return [f"nothing ({'no StartTypeOnFinalize' if not package['atr'] & 0x20 else 'operation ' + op_name})"]
    kind = schema.DRIVER_TYPES.get(package["type"], f"driver of type {package['type']}")
    if op not in (1, 2, 3):
        head = f"nothing (operation {op_name})"
    else:
        head = f"{op_name} {kind} from '{package['inf']}'"
    details = []
    if package["cat"]:
        details.append(f"catalog '{package['cat']}'")
    details.append("attributes " + cad.bit_names(package["atr"], schema.DRIVER_PACKAGE_BITS))
    details.append("no sequence" if package["seq"] == cad.PACKAGE_SEQUENCE_DEFAULT else f"sequence {package['seq']}")
    if package["hdw"]:
        details.append(f"hardware id '{package['hdw']}'")
    if package["depends"]:
        details.append(f"dependencies '{package['depends']}'")
    if package["guids"]:
        details.append("previous versions " + ", ".join(package["guids"]))
    lines = [head + "; " + "; ".join(details)]
    if entry == "InstallDriversRollback" and early:
        lines.append(f"then remove the early installation's folder '{folder}'")
    lines += ["  " + describe_registry(r) for r in package["reg"]]
    return lines


CATALOG_VERBS = {"InstallCryptCatalogDeferred": "add", "UninstallCryptCatalogRollback": "add",
                 "InstallCryptCatalogRollback": "remove", "UninstallCryptCatalogDeferred": "remove"}
PROTECTION_VERBS = {"ProtectServicesDeferred": "protect", "UnprotectServicesRollback": "protect",
                    "ProtectServicesRollback": "unprotect", "UnprotectServicesDeferred": "unprotect"}


def describe_catalog(catalog, entry):
    if CATALOG_VERBS.get(entry) == "add":
        return [f"add catalog '{catalog['path']}' as '{catalog['name']}'"]
    return [f"remove catalog '{catalog['name']}'"]


def describe_protection(item, entry):
    if PROTECTION_VERBS.get(entry) == "protect":
        return [f"protect service '{item['name']}' (anti-malware light)"]
    if not item["uptcmd"]:
        return [f"nothing for service '{item['name']}' (no unprotect command)"]
    program = ""
    if item["zbin"] is None:
        program = " (its program's data is not Base64)"
    elif item["zbin"]:
        program = f" with its program of {len(item['zbin'])} bytes"
    return [f"unprotect service '{item['name']}': run '{item['uptcmd']}'{program}"]


# ---------------------------------------------------------------------------
# The report


class Item:
    def __init__(self, kind, id_, title, aliases=()):
        self.kind, self.id, self.title = kind, id_, title
        self.quoted = {f"'{a}'" for a in (id_, *aliases)}
        if kind == "DriverPackage":
            self.quoted.add(f"driver package {id_},")
        self.decisions = []
        self.operations = []


def build_items(tables):
    items = {}
    for r in tables["DriverPackage"]:
        kind = schema.DRIVER_TYPES.get(int(r["Type"]) if r["Type"].strip().lstrip("-").isdigit() else 0,
                                       "driver of unknown type")
        aliases = [x["DriverRegistry"] for x in tables["DriverRegistry"] if x["DriverPackage_"] == r["DriverPackage"]]
        aliases += [x["DriverUpperFilter"] for x in tables["DriverUpperFilter"]
                    if x["DriverPackage_"] == r["DriverPackage"]]
        items[("DriverPackage", r["DriverPackage"])] = Item(
            "DriverPackage", r["DriverPackage"],
            f"Driver package '{r['DriverPackage']}' ({kind}, component {r['Component_']})", aliases)
    for r in tables["CryptCatalog"]:
        items[("CryptCatalog", r["CryptCatalog"])] = Item(
            "CryptCatalog", r["CryptCatalog"], f"Catalog '{r['CryptCatalog']}' (component {r['Component_']})")
    for r in tables["ServiceConfigProtection"]:
        items[("ServiceConfigProtection", r["ServiceConfigProtection"])] = Item(
            "ServiceConfigProtection", r["ServiceConfigProtection"],
            f"Protected service '{r['ServiceConfigProtection']}' (component {r['Component_']})")
    return items


def _item(items, kind, id_):
    key = (kind, id_)
    if key not in items:
        items[key] = Item(kind, id_, f"{kind} '{id_}' (not a row of the package)")
    return items[key]


def attach_decisions(items, lines):
    """The immediate actions' lines that name a row, each under the rows it names; returns the other lines."""
    immediate = immediate_names()
    other = []
    for action, text in lines:
        if action not in immediate or text.endswith("was successfully read.") or ": finished. Return value" in text:
            continue
        table = immediate[action].table
        hit = False
        for item in items.values():
            if item.kind == table and any(q in text for q in item.quoted):
                item.decisions.append(f"{action}: {text}")
                hit = True
        if not hit:
            other.append((action, text))
    return other


def started_order(log):
    """{action name: position} of each action's first start in the log: for a script-phase action that is when it
    was scheduled."""
    order = {}
    for line in log.splitlines():
        m = _ACTION_START.match(line)
        if m:
            order.setdefault(m.group(1), len(order))
    return order


_ACTION_START = re.compile(r"^Action start [0-9:]+: (?:\[[^\]]*\])?([A-Za-z_0-9.]+)\.\s*$")


def attach_operations(items, record, bindings, order):
    """Decodes every recorded scheduled action's data, in the order the actions were scheduled; returns the
    published lists."""
    by_name = {a.name: a for a in schema.ACTIONS}
    # "InstallDriversFinalize" is both a property the immediate actions write and the name of the package's own
    # finalize action, to which the installer hands that property.
    for name in sorted(recorded_names(), key=lambda n: order.get(n, len(order))):
        data = record.get(name, "")
        if not data or name not in by_name:
            continue
        action = by_name[name]
        row = bindings.get(name)
        entry = row["Target"] if row else action.entry
        label = name if row else f"{name} (no CustomAction row binds it: the installer cannot run it)"
        if action.table == "DriverPackage":
            for p in cad.decode_packages(data):
                lines = describe_package(p, entry)
                _item(items, "DriverPackage", p["id"]).operations += [f"{label}: {lines[0]}"] + \
                    ["  " + line for line in lines[1:]]
        elif action.table == "CryptCatalog":
            for c in cad.decode_catalogs(data):
                _item(items, "CryptCatalog", c["id"]).operations.append(f"{label}: {describe_catalog(c, entry)[0]}")
        elif action.table == "ServiceConfigProtection":
            for s in cad.decode_protections(data):
                _item(items, "ServiceConfigProtection", s["id"]).operations.append(
                    f"{label}: {describe_protection(s, entry)[0]}")
    return {name: record.get(name, "") for name, _, _ in schema.PROPERTIES_WRITTEN
            if name.startswith("DriversTo") and record.get(name)}


def report(out, package, mode, props, items, lists, other, prepared, verbose=False):
    out.write(f"Plan of {os.path.basename(package)}: {mode}" + (f" ({' '.join(props)})" if props else "") + "\n")
    if prepared:
        out.write("The product was installed first with every script-phase action bound to nothing: its files and "
                  "registration are in place, none of its drivers.\n")
    out.write("Nothing was deployed: the run ended before the installer's script.\n")
    for item in items.values():
        out.write(f"\n{item.title}\n")
        out.write("  decisions:\n")
        for line in item.decisions or ["none logged"]:
            out.write(f"    {line}\n")
        out.write("  operations:\n")
        for line in item.operations or ["none scheduled"]:
            out.write(f"    {line}\n")
    if lists:
        out.write("\nPackage lists:\n")
        for name, value in lists.items():
            out.write(f"  {name} = {value}\n")
    # Lines that name no row are details of a decision (the values found on the machine, the configured
    # registry entries); failures and warnings are always shown.
    shown = [(a, t) for a, t in other if verbose or t.startswith(("Failed", "Warning"))]
    if shown:
        out.write("\nOther lines of the immediate actions:\n")
        for action, text in shown:
            out.write(f"  {action}: {text}\n")


# ---------------------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="driverdeploy plan",
        description="Run a package's immediate driverdeploy actions under Wine in a throw-away prefix and print, "
                    "per driver package, catalog and protected service, the decisions and the operation every "
                    "scheduled action would carry out. Nothing is deployed.")
    parser.add_argument("package", metavar="PACKAGE.msi")
    parser.add_argument("properties", nargs="*", metavar="PROPERTY=VALUE",
                        help="installer properties of the planned run, e.g. REMOVE=ALL or REINSTALL=ALL")
    parser.add_argument("--installed", action="store_true",
                        help="install the product first (implied by REMOVE and REINSTALL)")
    parser.add_argument("--wine-run", default=os.environ.get("DD_WINE_RUN", os.path.join(DEFAULT_BUILD, "wine-run")),
                        help="the build tree's wine-run wrapper (default: build/windows/wine-run, or $DD_WINE_RUN)")
    parser.add_argument("--probe", default=os.environ.get("DD_PLAN_PROBE", os.path.join(DEFAULT_BUILD, PROBE_DLL)),
                        help=f"the plan probe DLL (default: build/windows/{PROBE_DLL}, or $DD_PLAN_PROBE)")
    parser.add_argument("--keep", metavar="DIR",
                        help="make the prefix, the plan copy and the logs in DIR and keep them")
    parser.add_argument("--timeout", type=int, default=300, help="time limit of each msiexec run, in seconds")
    parser.add_argument("--verbose", action="store_true",
                        help="also print the immediate actions' lines that name no row")
    parser.add_argument("--log", action="store_true", help="print the verbose log of the planned run as well")
    args = parser.parse_intermixed_args(argv)
    for prop in args.properties:
        name, eq, _ = prop.partition("=")
        if not eq or not name or not name.replace("_", "").replace(".", "").isalnum():
            parser.error(f"not a PROPERTY=VALUE: {prop}")
    return args


def main(argv):
    args = parse_args(argv)
    try:
        return plan(args, sys.stdout)
    except (PlanError, wine.WineError, msidb.MsiToolError) as e:
        sys.stderr.write(f"driverdeploy plan: {e}\n")
        return 1


def plan(args, out):
    if not os.path.isfile(args.package):
        raise PlanError(f"no such package: {args.package}")
    if not os.path.isfile(args.probe):
        raise PlanError(f"no plan probe at {args.probe}: build the windows preset "
                        "(cmake --preset windows && cmake --build build/windows) or name it with --probe")
    props = {p.partition("=")[0].upper(): p.partition("=")[2] for p in args.properties}
    maintenance = args.installed or bool(props.get("REMOVE")) or bool(props.get("REINSTALL"))
    mode = "uninstall" if props.get("REMOVE", "").upper() == "ALL" else \
        "reinstall" if props.get("REINSTALL") else "maintenance" if maintenance or props.get("REMOVE") else "install"

    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        folder = tempfile.mkdtemp(prefix="plan-", dir=args.keep)
        prefix = wine.Prefix(args.wine_run, folder, keep=True)
    else:
        parent = os.environ.get("DD_PLAN_WORK", os.path.join(os.path.dirname(os.path.abspath(args.wine_run)), "plan"))
        prefix = wine.Prefix.temporary(args.wine_run, parent, "plan")
    with prefix:
        copy = os.path.join(prefix.dir, os.path.basename(args.package))
        bindings, tables = make_plan_copy(args.package, copy, args.probe)
        msi = wine.unix_to_windows(copy)
        if maintenance:
            # The product is installed as the planned run will find it: with the same properties, those of
            # the maintenance itself left out.
            setup = [p for p in args.properties
                     if p.partition("=")[0].upper() not in ("REMOVE", "REINSTALL", "REINSTALLMODE")]
            code, log = prefix.msiexec("/i", msi, *setup, timeout=args.timeout)
            if code != 0:
                raise PlanError(f"installing the product before the plan failed (msiexec exit code {code}); the "
                                f"end of its log:\n{log[-3000:]}")
        record = prefix.path(RECORD_FILE)
        if os.path.exists(record):
            os.remove(record)
        code, log = prefix.msiexec("/i", msi, f"{SWITCH}=1", *args.properties, timeout=args.timeout)
        lines = wine.library_lines(log)
        items = build_items(tables)
        other = attach_decisions(items, lines)
        if code != USER_EXIT or not os.path.exists(record):
            report(out, args.package, mode, args.properties, items, {}, other, maintenance, True)
            raise PlanError(f"the run ended before the plan was recorded (msiexec exit code {code}): an immediate "
                            f"action failed or the installer stopped early; the end of its log:\n{log[-3000:]}")
        lists = attach_operations(items, read_record(record), bindings, started_order(log))
        report(out, args.package, mode, args.properties, items, lists, other, maintenance, args.verbose)
        if args.log:
            out.write("\nVerbose log of the planned run:\n" + log)
    return 0
