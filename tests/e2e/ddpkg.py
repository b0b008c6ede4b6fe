"""End-to-end test support: real .msi packages built from table text with
msibuild (and cabinets with gcab), installed under wine64 msiexec in a
throw-away prefix, with the verbose log read back."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import uuid

BUILD_DIR = os.environ.get("DD_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "windows"))
DLL = os.environ.get("DD_DLL", os.path.join(BUILD_DIR, "driverdeploy.dll"))
WINE_RUN = os.environ.get("DD_WINE_RUN", os.path.join(BUILD_DIR, "wine-run"))
E2E_ROOT = os.path.join(BUILD_DIR, "e2e")


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "authoring"))
from driverdeploy import cad, schema, wine  # noqa: E402

# Custom action types (Windows Installer), as the authoring kit's schema names them: a function in a DLL
# stored in the Binary table, and the script-phase flags.
CA_DLL = schema.CA_DLL_BINARY
CA_IN_SCRIPT = schema.CA_IN_SCRIPT
CA_ROLLBACK = schema.CA_ROLLBACK
CA_COMMIT = schema.CA_COMMIT
CA_NO_IMPERSONATE = schema.CA_NO_IMPERSONATE
CA_IMMEDIATE = schema.IMMEDIATE
CA_DEFERRED = schema.DEFERRED
CA_ROLLBACK_ACTION = schema.ROLLBACK
CA_COMMIT_ACTION = schema.COMMIT

# The Error rows with the kit's suggested texts.
ERRORS = {e.number: e.text for e in schema.ERRORS}

STANDARD_SEQUENCE = [
    ("CostInitialize", "", 800),
    ("FileCost", "", 900),
    ("CostFinalize", "", 1000),
    ("InstallValidate", "", 1400),
    ("InstallInitialize", "", 1500),
    ("ProcessComponents", "", 1600),
    ("UnpublishFeatures", "", 1800),
    ("RemoveFiles", "", 3500),
    ("InstallFiles", "", 4000),
    ("RegisterProduct", "", 6100),
    ("PublishFeatures", "", 6300),
    ("PublishProduct", "", 6400),
    ("InstallFinalize", "", 6600),
]

# msiexec's exit code comes back through Wine cut to 8 bits.
EXIT_SUCCESS = 0
EXIT_USER_EXIT = 1602 & 0xFF
EXIT_FAILURE = 1603 & 0xFF


unix_to_windows = wine.unix_to_windows


def new_guid():
    return "{" + str(uuid.uuid4()).upper() + "}"


class Table:
    def __init__(self, name, columns, types, keys, rows=None):
        self.name = name
        self.columns = columns
        self.types = types
        self.keys = keys
        self.rows = [list(r) for r in (rows or [])]

    def idt(self):
        def esc(v):
            return "" if v is None else str(v).replace("\t", " ").replace("\r\n", "\x19").replace("\n", "\x19")
        lines = ["\t".join(self.columns), "\t".join(self.types), "\t".join([self.name] + self.keys)]
        lines += ["\t".join(esc(v) for v in row) for row in self.rows]
        return "\r\n".join(lines) + "\r\n"


class Package:
    """An installer package under construction."""

    def __init__(self, name="ddtest", version="1.0.0", product_code=None, upgrade_code=None):
        self.name = name
        self.product_code = product_code or new_guid()
        self.upgrade_code = upgrade_code or "{5E3A9B1C-7D2F-4E6A-8B9C-0D1E2F3A4B5C}"
        self.tables = {}
        self.streams = {}  # stream name -> file path
        self.properties = {
            "ProductCode": self.product_code,
            "ProductName": name,
            "ProductVersion": version,
            "Manufacturer": "driverdeploy tests",
            "ProductLanguage": "1033",
            "UpgradeCode": self.upgrade_code,
            "ALLUSERS": "1",
        }
        self.sequence = list(STANDARD_SEQUENCE)
        self.table("Directory", ["Directory", "Directory_Parent", "DefaultDir"], ["s72", "S72", "l255"], ["Directory"],
                   [["TARGETDIR", "", "SourceDir"], ["ProgramFiles64Folder", "TARGETDIR", "."],
                    ["INSTALLDIR", "ProgramFiles64Folder", "DDTest"]])
        self.table("Component", ["Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"],
                   ["s72", "S38", "s72", "i2", "S255", "S72"], ["Component"])
        self.table("Feature", ["Feature", "Feature_Parent", "Title", "Description", "Display", "Level", "Directory_",
                               "Attributes"], ["s38", "S38", "L64", "L255", "I2", "i2", "S72", "i2"], ["Feature"],
                   [["Main", "", "Main", "", "1", "1", "INSTALLDIR", "0"]])
        self.table("FeatureComponents", ["Feature_", "Component_"], ["s38", "s72"], ["Feature_", "Component_"])
        self.table("File", ["File", "Component_", "FileName", "FileSize", "Version", "Language", "Attributes",
                            "Sequence"], ["s72", "s72", "l255", "i4", "S72", "S20", "I2", "i4"], ["File"])
        self.table("Media", ["DiskId", "LastSequence", "DiskPrompt", "Cabinet", "VolumeLabel", "Source"],
                   ["i2", "i4", "L64", "S255", "S32", "S72"], ["DiskId"], [["1", "0", "", "", "", ""]])
        self.table("Binary", ["Name", "Data"], ["s72", "v0"], ["Name"])
        self.table("CustomAction", ["Action", "Type", "Source", "Target"], ["s72", "i2", "S72", "S255"], ["Action"])
        self.table("Error", ["Error", "Message"], ["i2", "L0"], ["Error"],
                   [[str(k), v] for k, v in sorted(ERRORS.items())])
        self.binary("DriverDeploy", DLL)

    def table(self, name, columns, types, keys, rows=None):
        self.tables[name] = Table(name, columns, types, keys, rows)
        return self.tables[name]

    def rows(self, name):
        return self.tables[name].rows

    def binary(self, name, path):
        self.rows("Binary").append([name, path])

    def custom_action(self, action, type_, target, source="DriverDeploy", sequence=None, condition=""):
        """A DLL custom action; with a sequence number it also goes into InstallExecuteSequence."""
        self.rows("CustomAction").append([action, str(type_), source, target])
        if sequence is not None:
            self.sequence.append((action, condition, sequence))

    def component(self, name, guid=None, directory="INSTALLDIR", condition="", key_path=None):
        self.rows("Component").append([name, guid or new_guid(), directory, "0", condition, key_path or ""])
        self.rows("FeatureComponents").append(["Main", name])

    def file(self, key, component, name, source, sequence, attributes=0):
        """A File row for a file whose bytes are in `source` (to go into a cabinet)."""
        size = os.path.getsize(source)
        self.rows("File").append([key, component, name, str(size), "", "", str(attributes), str(sequence)])

    def cabinet(self, cab_name, members, work_dir, embed=True, disk_id=1):
        """Packs {File key: source path} into a cabinet with gcab (member names are the File keys)
        and points a Media row at it: embedded as the stream '#name' or lying next to the package.
        Marks the files compressed. Returns the cabinet's path."""
        staging = tempfile.mkdtemp(prefix="cab-", dir=work_dir)
        for key, source in members.items():
            shutil.copyfile(source, os.path.join(staging, key))
        cab = os.path.join(work_dir, cab_name)
        subprocess.run(["gcab", "-c", "-n", cab] + [os.path.join(staging, k) for k in members], check=True)
        shutil.rmtree(staging, ignore_errors=True)
        last = 0
        for row in self.rows("File"):
            if row[0] in members:
                row[6] = str(int(row[6] or 0) | 16384)
                last = max(last, int(row[7]))
        media = [r for r in self.rows("Media") if r[0] != str(disk_id)]
        media.append([str(disk_id), str(last), "", ("#" + cab_name) if embed else cab_name, "", ""])
        self.tables["Media"].rows = media
        if embed:
            self.streams[cab_name] = cab
        return cab

    def build(self, path):
        """Writes the package with msibuild; returns its path."""
        self.table("Property", ["Property", "Value"], ["s72", "l0"], ["Property"],
                   [[k, v] for k, v in self.properties.items()])
        self.table("InstallExecuteSequence", ["Action", "Condition", "Sequence"], ["s72", "S255", "I2"], ["Action"],
                   [[a, c, str(s)] for a, c, s in sorted(self.sequence, key=lambda x: x[2])])
        if os.path.exists(path):
            os.remove(path)
        work = tempfile.mkdtemp(prefix="idt-", dir=os.path.dirname(path))
        try:
            # Binary rows name their data file relative to the import folder.
            binary = self.tables["Binary"]
            os.makedirs(os.path.join(work, "Binary"), exist_ok=True)
            saved = binary.rows
            binary.rows = []
            for name, source in saved:
                shutil.copyfile(source, os.path.join(work, "Binary", name + ".bin"))
                binary.rows.append([name, name + ".bin"])
            for t in self.tables.values():
                with open(os.path.join(work, t.name + ".idt"), "w", encoding="cp1252", newline="") as f:
                    f.write(t.idt())
            binary.rows = saved
            # msibuild takes one option per call (-i with many files).
            calls = [["-s", self.name, "driverdeploy tests", "x64;1033", new_guid()],
                     ["-i"] + [t.name + ".idt" for t in self.tables.values()]]
            calls += [["-a", stream, os.path.abspath(source)] for stream, source in self.streams.items()]
            for call in calls:
                result = subprocess.run(["msibuild", path, *call], cwd=work, capture_output=True, text=True)
                if result.returncode != 0:
                    raise RuntimeError(f"msibuild {call[0]} failed: {result.stdout}{result.stderr}")
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return path


# wine-run's exit code when a run outlived its time limit.
WINE_RUN_TIME_LIMIT = 124


class HangError(AssertionError):
    """A Wine or msiexec run that did not finish within its time limit."""


prefix_processes = wine.prefix_processes


class Prefix(wine.Prefix):
    """A throw-away Wine prefix for one test case (the kit's prefix, under the build tree's e2e folder); kept
    when DD_KEEP_WINE_PREFIX is set."""

    def __init__(self, name):
        os.makedirs(E2E_ROOT, exist_ok=True)
        super().__init__(WINE_RUN, tempfile.mkdtemp(prefix=name + "-", dir=E2E_ROOT),
                         keep=bool(os.environ.get("DD_KEEP_WINE_PREFIX")))

    def run(self, *args, timeout=300):
        """Runs a program in the prefix; a run that outlives `timeout` seconds fails the test with what was still
        running (wine-run prints it, with the verbose log's tail for msiexec, and ends the prefix's processes)."""
        try:
            return super().run(*args, timeout=timeout)
        except wine.TimeLimitError as e:
            raise HangError(str(e)) from None

    def msiexec(self, *args, properties=None, timeout=300):
        """Runs msiexec with a verbose log; returns (exit code, log text)."""
        props = [f"{k}={v}" for k, v in (properties or {}).items()]
        return super().msiexec(*args, properties=props, timeout=timeout)

    def install(self, msi, properties=None, timeout=300):
        return self.msiexec("/i", unix_to_windows(msi), properties=properties, timeout=timeout)

    def uninstall(self, msi, properties=None):
        return self.msiexec("/x", unix_to_windows(msi), properties=properties)

    def path(self, windows_path):
        """The Unix path of a C: path inside the prefix."""
        rel = windows_path[3:].replace("\\", "/") if windows_path.lower().startswith("c:\\") else windows_path
        return os.path.join(self.prefix, "drive_c", rel)


# The library's own log lines (action, text), in order, glued lines split (the kit's reader).
library_lines = wine.library_lines


class PackageTestCase(unittest.TestCase):
    """Gives each test its own prefix and work folder."""

    def setUp(self):
        self.wine = Prefix(self.id().split(".")[-1])
        self.work = self.wine.dir

    def tearDown(self):
        self.wine.close()

    def package_path(self, name="test.msi"):
        return os.path.join(self.work, name)


def main():
    result = unittest.main(exit=False, verbosity=2).result
    failed = len(result.failures) + len(result.errors)
    passed = result.testsRun - failed - len(result.skipped)
    print(f"{passed} passed, {failed} failed")
    raise SystemExit(1 if failed or result.testsRun == 0 else 0)


# ---------------------------------------------------------------------------
# Driver packages: the five custom tables, the driver actions and the
# recording double that stands in for the script-phase driver actions.

RECORDING_DOUBLE = os.environ.get("DD_RECORDING_DOUBLE", os.path.join(BUILD_DIR, "dd_recording_actions_double.dll"))
# Where the double appends what each script-phase action was handed.
RECORD_FILE = "C:\\dd-recorded-actions.txt"
SOURCE_DIR = os.environ.get("DD_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
FIXTURES = os.path.join(SOURCE_DIR, "tests", "fixtures")

# What the immediate driver actions schedule, by phase, plain names; the
# "_x64" forms are used when VersionNT64 is set.
SCHEDULED_DRIVER_ACTIONS = [
    ("InstallDriversRollback", CA_ROLLBACK_ACTION),
    ("InstallDriversDeferred", CA_DEFERRED),
    ("InstallDriversEarlyRollback", CA_ROLLBACK_ACTION),
    ("InstallDriversEarlyDeferred", CA_DEFERRED),
    ("InstallDriversEarlyCommit", CA_COMMIT_ACTION),
    ("UninstallDriversRollback", CA_ROLLBACK_ACTION),
    ("UninstallDriversDeferred", CA_DEFERRED),
]

# The package lists the immediate actions publish; the double records each
# through a deferred action of the same name, whose data is the property.
PUBLISHED_LISTS = ["DriversToInstall", "DriversToReinstall", "DriversToInstallEarly", "DriversToUninstall"]


def add_driver_tables(p):
    """The five custom tables with their columns (empty)."""
    p.table("DriverPackage", ["DriverPackage", "Component_", "InfPath", "CatPath", "Dependencies", "HardwareId",
                              "Attributes", "Type", "Condition", "Sequence", "GuidsOfPreviousVersions"],
            ["s72", "s72", "S255", "S255", "S255", "S255", "I4", "I2", "S255", "I4", "S255"], ["DriverPackage"])
    p.table("DriverRegistry", ["DriverRegistry", "Root", "Key", "Name", "Value", "DriverPackage_", "Condition"],
            ["s72", "I2", "S255", "S255", "S0", "s72", "S255"], ["DriverRegistry"])
    p.table("DriverUpperFilter", ["DriverUpperFilter", "ClassGuid", "ServiceName", "Dependencies", "Attributes",
                                  "DriverPackage_", "Condition"],
            ["s72", "s38", "s255", "S255", "I4", "s72", "S255"], ["DriverUpperFilter"])
    p.table("CryptCatalog", ["CryptCatalog", "Name", "Path", "Component_", "Condition"],
            ["s72", "S255", "S255", "S72", "S255"], ["CryptCatalog"])
    p.table("ServiceConfigProtection", ["ServiceConfigProtection", "Name", "Binary_", "UnprotectCommand", "Attributes",
                                        "Component_", "Condition"],
            ["s72", "S255", "S72", "S255", "I4", "S72", "S255"], ["ServiceConfigProtection"])


def driver_package(p, id_, component, inf, cat="", attributes=0, type_=1, sequence=None, condition="",
                   previous_guids="", dependencies="", hardware_id=""):
    p.rows("DriverPackage").append([id_, component, inf, cat, dependencies, hardware_id, str(attributes), str(type_),
                                    condition, "" if sequence is None else str(sequence), previous_guids])


def driver_registry(p, id_, package, key, name, value, root=2, condition=""):
    p.rows("DriverRegistry").append([id_, str(root), key, name, value, package, condition])


def upper_filter(p, id_, package, class_guid, service, dependencies="", attributes=0, condition=""):
    p.rows("DriverUpperFilter").append([id_, class_guid, service, dependencies, str(attributes), package, condition])


def driver_files(p, component, names, source_dir, first_sequence, guid=None):
    """A component holding fixture files (installed into INSTALLDIR); the first name is its key path.
    Returns {File key: source path} for a cabinet."""
    p.component(component, guid=guid, key_path=component + "_" + names[0])
    members = {}
    for i, name in enumerate(names):
        key = component + "_" + name
        source = os.path.join(source_dir, name)
        p.file(key, component, name, source, first_sequence + i)
        members[key] = source
    return members


def driver_actions(p, early=False, finalize=True, fail_switch=True, uninstall_condition=""):
    """The immediate driver actions of driverdeploy.dll in the execute sequence, the scheduled names (plain and
    "_x64") bound to the recording double, deferred probes that record the published lists and the finalize text,
    an immediate probe after them that records every scheduled action's data as "scheduled:<name>", and
    "FailScript" (when DDTEST_FAIL is set) to make the installer run the rollback script."""
    p.binary("RecordingDouble", RECORDING_DOUBLE)
    if early:
        p.custom_action("InstallDriversEarly", CA_IMMEDIATE, "InstallDriversEarly", sequence=1502,
                        condition="NOT REMOVE")
    # Before InstallDrivers and on every run: an upgrade removes the previous version's drivers first.
    p.custom_action("UninstallDrivers", CA_IMMEDIATE, "UninstallDrivers", sequence=1504,
                    condition=uninstall_condition)
    p.custom_action("InstallDrivers", CA_IMMEDIATE, "InstallDrivers", sequence=1506, condition="NOT REMOVE")
    for name, type_ in SCHEDULED_DRIVER_ACTIONS:
        for suffix in ("", "_x64"):
            p.custom_action(name + suffix, type_, name + suffix, source="RecordingDouble")
    p.custom_action("RecordScheduledData", CA_IMMEDIATE, "RecordScheduledData", source="RecordingDouble",
                    sequence=1508)
    for i, name in enumerate(PUBLISHED_LISTS):
        p.custom_action(name, CA_DEFERRED, name, source="RecordingDouble", sequence=1510 + i)
    if finalize:
        p.custom_action("InstallDriversFinalize", CA_DEFERRED, "InstallDriversFinalize", source="RecordingDouble",
                        sequence=6590, condition="NOT REMOVE")
    if fail_switch:
        p.custom_action("FailScript", CA_DEFERRED, "FailScript", source="RecordingDouble", sequence=6595,
                        condition="DDTEST_FAIL")


def recorded_actions(prefix):
    """[(action, CustomActionData)] in the order the double recorded them; empties the record."""
    path = prefix.path(RECORD_FILE)
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        raw = f.read()
    os.remove(path)
    out = []
    pos = 0
    while pos < len(raw):
        tab1 = raw.index(b"\t", pos)
        tab2 = raw.index(b"\t", tab1 + 1)
        size = int(raw[tab1 + 1:tab2])
        data = raw[tab2 + 1:tab2 + 1 + size]
        if raw[tab2 + 1 + size:tab2 + 2 + size] != b"\n":
            raise ValueError(f"malformed record at {pos}: {raw[pos:pos + 80]!r}")
        out.append((raw[pos:tab1].decode("ascii"), data.decode("utf-8")))
        pos = tab2 + 2 + size
    return out


# The CustomActionData text, decoded independently of the library (the authoring kit's decoder).
decode_map = cad.decode_map


def _int(text, default=0):
    try:
        return int(text.strip()) if text.strip() else default
    except ValueError:
        return 0


def decode_registry_entries(text):
    entries = []
    for _, value in sorted(decode_map(text, ">", "<").items()):
        r = decode_map(value, ")", "(")
        entries.append({"id": r.get("id", ""), "root": _int(r.get("root", "")), "key": r.get("key", ""),
                        "name": r.get("name", ""), "value": r.get("value", ""), "condition": r.get("condition", ""),
                        "drv": r.get("drv", ""), "act": _int(r.get("act", ""))})
    return entries


def decode_packages(text):
    """A DriverPackage list as dicts, in execution order (sequence, then id)."""
    packages = []
    for _, value in sorted(decode_map(text, ";", "*").items()):
        r = decode_map(value, "|", "=")
        guids = []
        while f"guids{len(guids)}" in r:
            guids.append(r[f"guids{len(guids)}"])
        packages.append({"id": r.get("id", ""), "cmp": r.get("cmp", ""), "inf": r.get("inf", ""),
                         "cat": r.get("cat", ""), "depends": r.get("depends", ""), "hdw": r.get("hdw", ""),
                         "condition": r.get("condition", ""), "guids": guids, "atr": _int(r.get("atr", "")),
                         "type": _int(r.get("type", "")), "act": _int(r.get("act", "")),
                         "seq": _int(r.get("seq", ""), 65535) & 0xFFFFFFFF, "cost": _int(r.get("cost", "")),
                         "reg": decode_registry_entries(r.get("reg", ""))})
    packages.sort(key=lambda pkg: pkg["seq"])
    return packages


def import_registry(prefix, keys):
    """Writes {key path under HKLM: {value name: str | [str]}} into the prefix's registry (64-bit view) with
    regedit; a list becomes REG_MULTI_SZ."""
    # Version 5 files are UTF-16: their hex(7) bytes are taken as UTF-16LE as they stand.
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in keys.items():
        lines.append(f"[HKEY_LOCAL_MACHINE\\{key}]")
        for name, value in values.items():
            if isinstance(value, list):
                data = ("\0".join(value) + "\0\0").encode("utf-16-le")
                lines.append(f'"{name}"=hex(7):' + ",".join(f"{b:02x}" for b in data))
            else:
                lines.append(f'"{name}"="{value}"')
        lines.append("")
    path = os.path.join(prefix.dir, f"import-{uuid.uuid4().hex[:8]}.reg")
    with open(path, "w", encoding="utf-16", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    return prefix.run("regedit", "/s", unix_to_windows(path))


_ACTION_START = re.compile(r"^Action start [0-9:]+: (?P<name>[^ ]+)\.\s*$")
_ACTION_ENDED = re.compile(r"^Action ended [0-9:]+: (?P<name>[^ ]+)\. Return value")


def actions_started_within(log, action):
    """Names of the actions the installer started while `action` ran (for an immediate action: what it
    scheduled, in order), from the first run of `action` in the log."""
    inside, out = False, []
    for line in log.splitlines():
        start = _ACTION_START.match(line)
        ended = _ACTION_ENDED.match(line)
        if start and start.group("name") == action and not inside:
            inside = True
        elif ended and ended.group("name") == action and inside:
            return out
        elif start and inside:
            out.append(start.group("name"))
    return out


# ---------------------------------------------------------------------------
# The network configuration double (tests/doubles/NetCfgDouble.cpp): Wine's own
# network configuration object cannot install components, so packages with
# network drivers run against the double, registered in the prefix for
# CLSID_CNetCfg. Its state lives in files under NETCFG_STATE_DIR.

NETCFG_DOUBLE = os.environ.get("DD_NETCFG_DOUBLE", os.path.join(BUILD_DIR, "dd_netcfg_double.dll"))
NETCFG_CLSID = "{5B035261-40F9-11D1-AAEC-00805FC1270E}"
NETCFG_STATE_DIR = "C:\\dd-netcfg-double"


def register_netcfg_double(prefix):
    """Makes CoCreateInstance(CLSID_CNetCfg) load the double in every process of the prefix (msiexec's
    custom-action processes included) and empties its state. Returns regedit's (exit code, output)."""
    server = unix_to_windows(NETCFG_DOUBLE).replace("\\", "\\\\")
    lines = ["Windows Registry Editor Version 5.00", "",
             f"[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{NETCFG_CLSID}\\InprocServer32]",
             f'@="{server}"', '"ThreadingModel"="Both"', ""]
    path = os.path.join(prefix.dir, "netcfg-double.reg")
    with open(path, "w", encoding="utf-16", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    state = prefix.path(NETCFG_STATE_DIR)
    shutil.rmtree(state, ignore_errors=True)
    return prefix.run("regedit", "/s", unix_to_windows(path))


def _netcfg_state_lines(prefix, name):
    path = os.path.join(prefix.path(NETCFG_STATE_DIR), name)
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [line for line in f.read().split("\n") if line]


def _write_netcfg_state(prefix, name, lines):
    folder = prefix.path(NETCFG_STATE_DIR)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "w", encoding="utf-8", newline="") as f:
        f.write("".join(line + "\n" for line in lines))


def netcfg_double_calls(prefix):
    """Every call the double recorded, in order: dicts with pid, name, args (list) and result (int)."""
    calls = []
    for line in _netcfg_state_lines(prefix, "calls.txt"):
        fields = line.split("\t")
        calls.append({"pid": int(fields[0]), "name": fields[1], "args": fields[2:-1], "result": int(fields[-1], 16)})
    return calls


def netcfg_double_components(prefix):
    """The component ids installed (applied) in the double's configuration."""
    return _netcfg_state_lines(prefix, "components.txt")


def set_netcfg_double_components(prefix, ids):
    _write_netcfg_state(prefix, "components.txt", ids)


def netcfg_double_answer(prefix, call, hresult, count=None):
    """The next `count` calls named `call` (all when None) answer `hresult`, e.g. ("Install", 0x8004A029)."""
    lines = _netcfg_state_lines(prefix, "control.txt")
    lines.append(f"answer {call} 0x{hresult & 0xFFFFFFFF:08X}" + ("" if count is None else f" {count}"))
    _write_netcfg_state(prefix, "control.txt", lines)


def netcfg_double_lock_holder(prefix, description):
    """Another client, so described, holds the write lock: AcquireWriteLock waits its timeout, then S_FALSE."""
    lines = _netcfg_state_lines(prefix, "control.txt")
    lines.append(f"holder {description}")
    _write_netcfg_state(prefix, "control.txt", lines)
