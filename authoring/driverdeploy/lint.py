"""driverdeploy lint PACKAGE.msi: checks what a package holds for driverdeploy.dll against the kit's schema and
prints one line per problem: the table, the row (its primary key) and the column, then what is wrong.

Nothing is printed for a clean package. Problems are errors (the library or the installer would fail, or do
something else than the row says) or warnings (it works, but not as well as it could: an Error text that cannot
show what failed, an InfPath taken from another component's files, a protection that can never be lifted).
Exit code: 0 for a clean package, 1 when a problem was found (warnings included, unless --allow-warnings),
2 for a usage error or a package that cannot be read.

Each driver package's INF is read from the package itself (its cabinet, embedded or beside the package, or the
uncompressed source folders beside it) and checked against what the row's Type makes the library do with it:
hardware ids, install and uninstall sections, services, the catalog, the models' decorations against the oldest
Windows the product's LaunchCondition rows allow (Windows 10 build 17763 without one).

Installer conditions cannot be evaluated without the installer itself; they get a syntax check that accepts every
condition the installer's grammar accepts (and a few more), so that a valid condition is never reported."""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass

from . import inf, msidb, schema

# ---------------------------------------------------------------------------
# Problems


@dataclass(frozen=True)
class Problem:
    table: str
    row: tuple  # primary key value(s); () for a problem of the whole table
    column: str
    text: str
    warning: bool = False

    def line(self):
        out = self.table
        if self.row:
            out += " " + ", ".join(f"'{k}'" for k in self.row)
        if self.column:
            out += " " + self.column
        return out + ": " + ("warning: " if self.warning else "") + self.text

    def sort_key(self):
        return (self.table, self.row, self.column, self.text)


# ---------------------------------------------------------------------------
# Custom action type bits (Windows Installer)

_BASE_TYPES = {1: "a DLL function", 2: "a program", 5: "a JScript", 6: "a VBScript", 7: "a nested installation",
               3: "a DLL function run from an installed file"}
_SOURCE_KINDS = {0x00: "stored in the Binary table", 0x10: "in an installed file", 0x20: "in a directory",
                 0x30: "named by a property"}
_CA_FLAGS = ((0x40, "Continue"), (0x80, "Async"), (0x400, "InScript"), (0x800, "NoImpersonate"),
             (0x1000, "64BitScript"), (0x2000, "HideTarget"), (0x4000, "TSAware"), (0x8000, "PatchUninstall"))
# 0x100 and 0x200 mean rollback and commit in the script, and scheduling options outside it.
_CA_SCRIPT_FLAGS = ((0x100, "Rollback"), (0x200, "Commit"))
_CA_SCHEDULING_FLAGS = ((0x100, "FirstSequence"), (0x200, "OncePerProcess"))
# Extra flags that change nothing the library relies on: HideTarget keeps an action's data out of the log;
# TSAware only matters to deferred actions on terminal servers.
_TOLERATED_EXTRA = 0x2000
_TOLERATED_EXTRA_DEFERRED = 0x4000


def _flag_names(bits, in_script):
    names = []
    for value, name in (_CA_SCRIPT_FLAGS if in_script else _CA_SCHEDULING_FLAGS) + _CA_FLAGS:
        if bits & value:
            names.append(name)
    return names


def _type_problem(actual, expected):
    """What is wrong with a CustomAction Type value, or None."""
    if (actual & 0x3F) != (expected & 0x3F):
        base = _BASE_TYPES.get(actual & 0x7, f"base type {actual & 0x7}")
        source = _SOURCE_KINDS[actual & 0x30]
        return f"{actual}, expected {expected}: {base} {source}, not a DLL function stored in the Binary table"
    tolerated = _TOLERATED_EXTRA | (_TOLERATED_EXTRA_DEFERRED if expected & schema.CA_IN_SCRIPT else 0)
    missing = expected & ~actual
    extra = actual & ~expected & ~tolerated
    if not missing and not extra:
        return None
    parts = []
    if missing:
        parts.append("missing " + ", ".join(_flag_names(missing, bool(expected & schema.CA_IN_SCRIPT))))
    if extra:
        parts.append("extra " + ", ".join(_flag_names(extra, bool(actual & schema.CA_IN_SCRIPT))))
    return f"{actual}, expected {expected}: " + "; ".join(parts)


# ---------------------------------------------------------------------------
# Portable executable images: is it a DLL, and what does it export by name


class NotADll(Exception):
    pass


def is_program_image(path):
    """Whether the file is a PE image of a program (not a DLL), which CreateProcess runs whatever its name."""
    with open(path, "rb") as f:
        data = f.read(4096)
    try:
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        return (data[:2] == b"MZ" and data[pe:pe + 4] == b"PE\0\0"
                and not struct.unpack_from("<H", data, pe + 22)[0] & 0x2000)
    except struct.error:
        return False


def dll_exports(path):
    """The names a DLL image exports; raises NotADll saying why the file is none."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        if data[:2] != b"MZ":
            raise NotADll("not a PE DLL: no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise NotADll("not a PE DLL: no PE header")
        _, sections, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
        if not characteristics & 0x2000:
            raise NotADll("not a DLL: the image is a program")
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = {0x10B: optional + 96, 0x20B: optional + 112}.get(magic)
        if directories is None:
            raise NotADll(f"not a PE DLL: unknown optional header 0x{magic:x}")
        export_rva, export_size = struct.unpack_from("<II", data, directories)
        table = [struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8) for i in range(sections)]

        def offset(rva):
            for virtual_size, address, raw_size, raw in table:
                if address <= rva < address + max(virtual_size, raw_size):
                    return raw + rva - address
            raise NotADll(f"not a PE DLL: address 0x{rva:x} lies in no section")

        if export_rva == 0 or export_size == 0:
            return set()
        directory = offset(export_rva)
        count, names_rva = struct.unpack_from("<II", data, directory + 24)[0], struct.unpack_from(
            "<I", data, directory + 32)[0]
        names = set()
        for i in range(count):
            start = offset(struct.unpack_from("<I", data, offset(names_rva) + 4 * i)[0])
            end = data.index(b"\0", start)
            names.add(data[start:end].decode("ascii", errors="replace"))
        return names
    except (struct.error, ValueError, IndexError):
        raise NotADll("not a PE DLL: the image is cut short") from None


# ---------------------------------------------------------------------------
# Installer conditions: a syntax check

_CONDITION_TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<string>"[^"]*")
  | (?P<open_string>")
  | (?P<op>~?(?:<>|><|<<|>>|<=|>=|=|<|>))
  | (?P<open>\()
  | (?P<close>\))
  | (?P<integer>-?[0-9]+)
  | (?P<symbol>[%$?&!]?[A-Za-z_][A-Za-z0-9_.]*)
""", re.X)
_LOGICAL = {"AND", "OR", "XOR", "EQV", "IMP"}


def condition_error(text):
    """Why an installer condition does not parse, or None. Accepts more than the installer's grammar (a
    parenthesized expression may be compared), never less."""
    tokens, pos = [], 0
    while pos < len(text):
        m = _CONDITION_TOKEN.match(text, pos)
        if not m:
            return f"unexpected '{text[pos]}' at {pos + 1}"
        kind = m.lastgroup
        if kind == "open_string":
            return f"the string opened at {pos + 1} is not closed"
        if kind != "space":
            value = m.group()
            if kind == "symbol" and value.upper() in _LOGICAL | {"NOT"}:
                kind = value.upper()
            tokens.append((kind, value, pos + 1))
        pos = m.end()
    if not tokens:
        return None
    tokens.append(("end", "", len(text) + 1))
    at = 0

    def fail(expected):
        kind, value, where = tokens[at]
        found = "the end" if kind == "end" else f"'{value}' at {where}"
        return f"expected {expected}, found {found}"

    def expression():
        nonlocal at
        error = term()
        while error is None and tokens[at][0] in _LOGICAL:
            at += 1
            error = term()
        return error

    def term():
        nonlocal at
        if tokens[at][0] == "NOT":
            at += 1
            return term()
        error = operand()
        if error is None and tokens[at][0] == "op":
            at += 1
            error = operand()
        return error

    def operand():
        nonlocal at
        kind = tokens[at][0]
        if kind in ("string", "integer", "symbol"):
            at += 1
            return None
        if kind == "open":
            opened = tokens[at][2]
            at += 1
            error = expression()
            if error is None:
                if tokens[at][0] != "close":
                    return fail(f"')' for the '(' at {opened}")
                at += 1
            return error
        return fail("a value")

    error = expression()
    if error is None and tokens[at][0] != "end":
        error = fail("an operator or the end")
    return error


# ---------------------------------------------------------------------------
# Files of the package: which File rows a formatted path like [INSTALLDIR]drv.inf names

# Folders the installer sets itself; a package's Directory row of such a name is the folder, whatever its parent.
_SYSTEM_FOLDERS = {
    "AdminToolsFolder", "AppDataFolder", "CommonAppDataFolder", "CommonFiles64Folder", "CommonFilesFolder",
    "DesktopFolder", "FavoritesFolder", "FontsFolder", "LocalAppDataFolder", "MyPicturesFolder", "NetHoodFolder",
    "PersonalFolder", "PrintHoodFolder", "ProgramFiles64Folder", "ProgramFilesFolder", "ProgramMenuFolder",
    "RecentFolder", "SendToFolder", "StartMenuFolder", "StartupFolder", "System16Folder", "System64Folder",
    "SystemFolder", "TempFolder", "TemplateFolder", "WindowsFolder", "WindowsVolume",
}


def _long_name(name):
    """The long name of a "SHORT~1.EXT|long name.ext" field (the whole field when it has one name)."""
    return name.split("|")[-1]


class PackageFiles:
    """The installed folders and files of a package, from its Directory, Component and File tables."""

    def __init__(self, package):
        self.directories = {r["Directory"]: r for r in package.records("Directory")}
        self.components = {r["Component"]: r for r in package.records("Component")}
        self.files = package.records("File")
        self.properties = {r["Property"] for r in package.records("Property")}
        self._paths = {}

    def directory_path(self, key, seen=()):
        """A folder as a tuple of lower-case names from its root, or None when its chain is broken."""
        if key in self._paths:
            return self._paths[key]
        row = self.directories.get(key)
        if row is None or key in seen:
            return None
        parent = row["Directory_Parent"]
        # The target name comes first in "target:source"; "." adds no folder to the parent's.
        target = _long_name(row["DefaultDir"].split(":")[0])
        if not parent or parent == key or key in _SYSTEM_FOLDERS:
            path = (key.lower(),)
        else:
            above = self.directory_path(parent, seen + (key,))
            if above is None:
                return None
            path = above if target == "." else above + (target.lower(),)
        self._paths[key] = path
        return path

    def file_folder(self, file_row):
        component = self.components.get(file_row["Component_"])
        return self.directory_path(component["Directory_"]) if component else None

    def resolve(self, value):
        """(File rows the formatted path names, problem text). Both empty when the path cannot be resolved
        without running the installer (a property set at run time, more formatting)."""
        m = re.fullmatch(r"\[([#!])([^\[\]]+)\]", value)
        if m:
            rows = [r for r in self.files if r["File"] == m.group(2)]
            return rows, ("" if rows else f"names no File row '{m.group(2)}'")
        m = re.match(r"\[([^\[\]]+)\](.*)", value, re.S)
        if not m:
            if "[" in value:
                return [], ""
            return [], "names no file of the package: a fixed path, not one of the package's folders"
        name, rest = m.groups()
        if "[" in rest:
            return [], ""
        if name.startswith("$"):
            component = self.components.get(name[1:])
            if component is None:
                return [], f"[{name}] names no Component row '{name[1:]}'"
            folder, folder_name = self.directory_path(component["Directory_"]), component["Directory_"]
        elif name in self.directories:
            folder, folder_name = self.directory_path(name), name
        elif name in self.properties or name in _SYSTEM_FOLDERS:
            return [], ""
        else:
            return [], f"[{name}] is neither a directory nor a property of the package"
        if folder is None:
            return [], ""
        parts = rest.lstrip("\\").split("\\")
        file_name = parts[-1]
        if not file_name:
            return [], "names a folder, not a file"
        folder = folder + tuple(p.lower() for p in parts[:-1] if p)
        where = "\\".join([folder_name] + [p for p in parts[:-1] if p])
        here = [r for r in self.files if self.file_folder(r) == folder]
        rows = [r for r in here if _long_name(r["FileName"]).lower() == file_name.lower()]
        if rows:
            return rows, ""
        short = [r for r in here if "|" in r["FileName"] and r["FileName"].split("|")[0].lower() == file_name.lower()]
        if short:
            return [], (f"names the short name of File '{short[0]['File']}'; use its long name "
                        f"'{_long_name(short[0]['FileName'])}'")
        return [], f"names no file of the package: no File row '{file_name}' installs into {where}"


# ---------------------------------------------------------------------------
# The bytes of a package's files: from a cabinet (embedded as a stream or lying beside the package) or, for
# uncompressed sources, from the source folders beside the package

# Summary information word count bits, and File attribute bits, that say where the installer takes a file from.
_SHORT_SOURCE_NAMES = 0x1
_COMPRESSED_SOURCE = 0x2
_FILE_NONCOMPRESSED = 0x2000
_FILE_COMPRESSED = 0x4000


def _safe_members(cabinet):
    """Whether every member of the cabinet extracts inside the folder it is extracted to."""
    listed = subprocess.run(["gcab", "-t", cabinet], capture_output=True, text=True, errors="replace", timeout=300)
    if listed.returncode != 0:
        return False
    for name in listed.stdout.splitlines():
        parts = name.replace("\\", "/").split("/")
        if name.startswith(("/", "\\")) or ".." in parts or re.match(r"[A-Za-z]:", name):
            return False
    return True


class PackageSources:
    def __init__(self, package, files):
        self.package = package
        self.files = files
        self.folder = os.path.dirname(os.path.abspath(package.path))
        self.media = sorted(((_integer(r.get("LastSequence", "")) or 0, r) for r in package.records("Media")),
                            key=lambda m: m[0])
        self.word_count = self._word_count()
        self.work = tempfile.mkdtemp(prefix="ddsrc-")
        self.cabinets = {}

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.work, ignore_errors=True)

    def _word_count(self):
        try:
            out = subprocess.run(["msiinfo", "suminfo", os.path.abspath(self.package.path)], capture_output=True,
                                 text=True, errors="replace", timeout=60).stdout
        except (OSError, subprocess.SubprocessError):
            return 0
        m = re.search(r"^Source: ([0-9]+)", out, re.M)
        return int(m.group(1)) if m else 0

    def read(self, file_row):
        """(bytes of the file, None) or (None, where it was looked for)."""
        attributes = _integer(file_row.get("Attributes", "") or "0") or 0
        compressed = bool(self.word_count & _COMPRESSED_SOURCE)
        if attributes & _FILE_COMPRESSED:
            compressed = True
        elif attributes & _FILE_NONCOMPRESSED:
            compressed = False
        if compressed:
            return self._from_cabinet(file_row)
        return self._beside(file_row)

    def _from_cabinet(self, file_row):
        sequence = _integer(file_row.get("Sequence", "")) or 0
        media = next((r for last, r in self.media if last >= sequence), None)
        if media is None or not media.get("Cabinet"):
            return None, f"no Media row with a cabinet holds its sequence number {sequence}"
        cabinet = media["Cabinet"]
        if cabinet not in self.cabinets:
            if cabinet.startswith("#"):
                path = self.package.stream_path(cabinet[1:])
                what = f"the cabinet stream '{cabinet[1:]}'"
            else:
                path = os.path.join(self.folder, cabinet)
                what = f"the cabinet {path}"
            target = os.path.join(self.work, str(len(self.cabinets)))
            os.makedirs(target)
            ok = path is not None and os.path.isfile(path) and _safe_members(path) and subprocess.run(
                ["gcab", "-x", "-C", target, path], capture_output=True, timeout=300).returncode == 0
            self.cabinets[cabinet] = (target if ok else None, what)
        target, what = self.cabinets[cabinet]
        if target is None:
            return None, f"{what} cannot be read"
        member = os.path.join(target, file_row["File"])
        # A package is input: a File key naming a path outside the extracted cabinet reads nothing.
        inside = os.path.realpath(member).startswith(os.path.realpath(target) + os.sep)
        if not inside or not os.path.isfile(member):
            return None, f"{what} holds no member '{file_row['File']}'"
        with open(member, "rb") as f:
            return f.read(), None

    def _source_dir(self, key, seen=()):
        row = self.files.directories.get(key)
        if row is None or key in seen:
            return None
        default = row["DefaultDir"]
        source = default.split(":")[-1]
        names = source.split("|")
        name = names[0] if self.word_count & _SHORT_SOURCE_NAMES else names[-1]
        parent = row["Directory_Parent"]
        if not parent or parent == key:
            return self.folder
        above = self._source_dir(parent, seen + (key,))
        if above is None:
            return None
        return above if name == "." else os.path.join(above, name)

    def _beside(self, file_row):
        component = self.files.components.get(file_row["Component_"])
        folder = self._source_dir(component["Directory_"]) if component else None
        if folder is None:
            return None, "its folder has no source path"
        names = file_row["FileName"].split("|")
        path = os.path.join(folder, names[0] if self.word_count & _SHORT_SOURCE_NAMES else names[-1])
        if not os.path.isfile(path):
            return None, f"an uncompressed source file, not found at {path}"
        with open(path, "rb") as f:
            return f.read(), None


# ---------------------------------------------------------------------------
# The oldest Windows a product allows, from its LaunchCondition rows

# The first build of each version VersionNT names.
_FIRST_BUILDS = {(10, 0): 10240, (6, 3): 9600, (6, 2): 9200, (6, 1): 7600, (6, 0): 6000}
DEFAULT_OLDEST = (10, 0, 17763)
_BOUND = re.compile(r"\b(WindowsBuild|VersionNT64|VersionNT)\s*(>=|>)\s*([0-9]+)", re.I)


def oldest_system(package):
    """((major, minor, build), how it was found) of the oldest Windows the package's LaunchCondition rows
    allow; Windows 10 build 17763 when they bound neither WindowsBuild nor VersionNT."""
    bounds = []
    for r in package.records("LaunchCondition"):
        for name, op, number in _BOUND.findall(r.get("Condition", "")):
            value = int(number) + (1 if op == ">" else 0)
            if name.lower() == "windowsbuild":
                version = next((v for v, first in _FIRST_BUILDS.items() if value >= first), (0, 0))
                bounds.append((version, value))
            else:
                version = (value // 100, value % 100)
                bounds.append((version, _FIRST_BUILDS.get(version, 0)))
    if not bounds:
        return DEFAULT_OLDEST, "without a LaunchCondition on WindowsBuild or VersionNT"
    version = max(b[0] for b in bounds)
    build = max(b[1] for b in bounds)
    return (version[0], version[1], build), "by its LaunchCondition rows"


# ---------------------------------------------------------------------------
# The checks

_GUID = re.compile(r"\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}")
_INT_RANGE = {2: (-32767, 32767), 4: (-2147483647, 2147483647)}
# The longest hardware id a device property holds, without its terminating NUL.
MAX_HARDWARE_ID = 199
DEVICE_DRIVER = next(code for code, kind in schema.DRIVER_TYPES.items() if kind == "device driver")
# The script window: the standard actions between which every action that schedules or runs script steps goes.
SCRIPT_START, SCRIPT_END = "InstallInitialize", "InstallFinalize"
# What joins the service names of a Dependencies value.
SERVICE_SEPARATOR = "[~]"


# A registry key that starts with a root's name, which the Root column gives already.
_ROOT_NAME = re.compile(r"(HKEY_LOCAL_MACHINE|HKEY_CURRENT_USER|HKEY_CLASSES_ROOT|HKEY_USERS|HKEY_CURRENT_CONFIG|"
                        r"HKLM|HKCU|HKCR|HKU|HKCC)(\\|$)", re.I)
# The DriverPackage attribute bits the library sets itself.
LIBRARY_BITS = {b.value: b.name for b in schema.DRIVER_PACKAGE_BITS if b.library_only}


def _integer(text):
    try:
        return int(text.strip())
    except ValueError:
        return None


class Linter:
    def __init__(self, package):
        self.package = package
        self.problems = []
        self.files = PackageFiles(package)
        self.featured = {r["Component_"] for r in package.records("FeatureComponents")}
        self.infs = {}  # DriverPackage key -> (File row of the INF, parsed INF)

    def report(self, table, row, column, text, warning=False):
        self.problems.append(Problem(table, tuple(row), column, text, warning))

    def run(self):
        for t in schema.TABLES:
            if self.package.table(t.name) is not None:
                self.check_table(t)
        used = self.families()
        if self.package.table("DriverPackage") is not None:
            with PackageSources(self.package, self.files) as sources:
                self.check_infs(sources)
        self.check_actions(used)
        self.check_sequence(used)
        self.check_errors(used)
        return sorted(self.problems, key=Problem.sort_key)

    def families(self):
        """The tables with rows: each needs its actions, sequence steps and Error rows."""
        return {name for name in ("DriverPackage", "CryptCatalog", "ServiceConfigProtection")
                if self.package.records(name)}

    # -- the custom tables --------------------------------------------------

    def check_table(self, t):
        data = self.package.table(t.name)
        expected = [c.name for c in t.columns]
        for name in expected:
            if name not in data.columns:
                self.report(t.name, (), name, "missing column")
        for name in data.columns:
            if name not in expected:
                self.report(t.name, (), name, "column not in the table's definition")
        present = [n for n in data.columns if n in expected]
        if present != [n for n in expected if n in data.columns]:
            self.report(t.name, (), "", f"columns in the order {', '.join(data.columns)}; expected "
                                        f"{', '.join(expected)}")
        if list(data.keys) != t.keys:
            self.report(t.name, (), "", f"primary key ({', '.join(data.keys)}), expected ({', '.join(t.keys)})")
        for c in t.columns:
            if c.name in data.columns:
                problem = self._type_problem(data.types[data.index(c.name)], c)
                if problem:
                    self.report(t.name, (), c.name, problem)
        for record in data.records():
            key = tuple(record.get(k, "") for k in data.keys)
            for c in t.columns:
                if c.name in record:
                    self.check_field(t, key, c, record[c.name])
            check = getattr(self, "check_" + t.name, None)
            if check:
                check(key, record)

    @staticmethod
    def _type_problem(actual, column):
        m = re.fullmatch(r"([sSlLiIvV])([0-9]+)", actual)
        want = column.idt_type
        if not m:
            return f"type {actual}, expected {want}"
        kind, size = m.group(1), int(m.group(2))
        # A localizable string reads as any other string.
        kind = {"l": "s", "L": "S"}.get(kind, kind)
        if kind != want[0]:
            return f"type {actual}, expected {want}"
        if kind in "iI" and size != column.size:
            return f"type {actual}, expected {want}"
        # A longer string column (0: any length) holds every value the library takes.
        if kind in "sS" and size != 0 and (column.size == 0 or size < column.size):
            return f"type {actual}, expected {want}: holds shorter values than the library takes"
        return None

    def check_field(self, t, key, c, value):
        if value == "":
            if not c.nullable:
                self.report(t.name, key, c.name, "empty; the column must hold a value")
            return
        if c.name == "Dependencies" and "" in value.split(SERVICE_SEPARATOR):
            self.report(t.name, key, c.name, f"an empty service name between the '{SERVICE_SEPARATOR}' separators")
        if c.kind in "iI":
            number = _integer(value)
            low, high = _INT_RANGE.get(c.size, _INT_RANGE[4])
            if number is None or not low <= number <= high:
                self.report(t.name, key, c.name, f"'{value}' is not an integer of {c.size} bytes")
                return
        if c.key and any(ch in value for ch in t.key_forbidden):
            found = "".join(ch for ch in t.key_forbidden if ch in value)
            self.report(t.name, key, c.name, f"holds '{found}', a separator of the library's lists "
                                             f"('{t.key_forbidden}' are not allowed in this key)")
        if c.foreign and not (c.formatted and "[" in value):
            table, column = c.foreign
            if value not in {r.get(column) for r in self.package.records(table)}:
                self.report(t.name, key, c.name, f"names no {table} row '{value}'")
            elif table == "Component" and value not in self.featured:
                self.report(t.name, key, c.name, f"component '{value}' belongs to no feature (FeatureComponents), "
                                                 f"so it is never installed")
        if c.name == t.attributes_column:
            known = 0
            for bit in t.attribute_bits:
                known |= bit.value
            unknown = int(value) & ~known & 0xFFFFFFFF
            if unknown:
                self.report(t.name, key, c.name, f"unknown bits 0x{unknown:X}")
        if c.condition:
            error = condition_error(value)
            if error:
                self.report(t.name, key, c.name, "does not parse: " + error)

    def _path(self, table, key, column, value, extension, component=None):
        rows, problem = self.files.resolve(value)
        if problem:
            self.report(table, key, column, problem)
        elif rows and not _long_name(rows[0]["FileName"]).lower().endswith(extension):
            self.report(table, key, column, f"names File '{rows[0]['File']}', which is no {extension} file",
                        warning=True)
        elif rows and component in self.files.components and all(r["Component_"] != component for r in rows):
            self.report(table, key, column, f"names File '{rows[0]['File']}' of component '{rows[0]['Component_']}', "
                                            f"not of the package's component '{component}'", warning=True)

    def check_DriverPackage(self, key, r):
        inf = r.get("InfPath", "")
        if "InfPath" in r:
            if inf == "":
                self.report("DriverPackage", key, "InfPath", "empty; every driver package needs its INF file")
            else:
                self._path("DriverPackage", key, "InfPath", inf, ".inf", r.get("Component_"))
        if r.get("CatPath"):
            self._path("DriverPackage", key, "CatPath", r["CatPath"], ".cat")
        attributes = _integer(r.get("Attributes", "") or "0") or 0
        for bit, name in LIBRARY_BITS.items():
            if attributes & bit:
                self.report("DriverPackage", key, "Attributes", f"0x{bit:X} ({name}) is set by the library itself; "
                                                                f"it ignores the authored bit", warning=True)
        type_ = _integer(r.get("Type", "") or "")
        if r.get("Type") and type_ is not None and type_ not in schema.DRIVER_TYPES:
            kinds = ", ".join(f"{k} {v}" for k, v in schema.DRIVER_TYPES.items())
            self.report("DriverPackage", key, "Type", f"unknown type {type_} ({kinds}; empty: chosen by the INF's "
                                                      f"class)")
        sequence = _integer(r.get("Sequence", "") or "")
        if r.get("Sequence") and sequence is not None and not 0 <= sequence <= 65535:
            self.report("DriverPackage", key, "Sequence", f"{sequence} is outside 0 to 65535 (65535 or empty: no "
                                                          f"place in the order, run in parallel)")
        # Only the device driver installer makes a device node with the row's hardware id.
        hardware_id = r.get("HardwareId", "")
        if type_ == DEVICE_DRIVER and len(hardware_id) > MAX_HARDWARE_ID:
            self.report("DriverPackage", key, "HardwareId", f"{len(hardware_id)} characters; a device property holds "
                                                            f"at most {MAX_HARDWARE_ID}")
        guids = r.get("GuidsOfPreviousVersions", "")
        if guids:
            pieces = guids.split(";")
            if pieces[-1] == "":
                pieces.pop()
            bad = [p for p in pieces if not _GUID.fullmatch(p)]
            if bad:
                self.report("DriverPackage", key, "GuidsOfPreviousVersions",
                            "not component codes separated by ';': " + ", ".join(f"'{p}'" for p in bad))

    def check_DriverRegistry(self, key, r):
        root = _integer(r.get("Root", "") or "")
        if r.get("Root") and root is not None and root not in schema.REGISTRY_ROOTS:
            roots = ", ".join(f"{k} {v}" for k, v in schema.REGISTRY_ROOTS.items())
            self.report("DriverRegistry", key, "Root", f"unknown registry root {root} ({roots})")
        if root == 3:
            self.report("DriverRegistry", key, "Root", "3 is the current user's hive (HKEY_CURRENT_USER) in this "
                                                       "library, not HKEY_USERS as in the installer's Registry table",
                        warning=True)
        m = _ROOT_NAME.match(r.get("Key", ""))
        if m:
            self.report("DriverRegistry", key, "Key", f"starts with the root name '{m.group(1)}': the library writes "
                                                      f"the key under Root, so it would be "
                                                      f"{schema.REGISTRY_ROOTS.get(root, 'the root')}\\{r['Key']}")
        value = r.get("Value", "")
        # A value formatted from properties is known only when the installer runs.
        if "[" in value.replace(SERVICE_SEPARATOR, ""):
            return
        if value.startswith("#x"):
            digits = value[2:]
            if not re.fullmatch(r"[0-9A-Fa-f]*", digits):
                self.report("DriverRegistry", key, "Value", f"'{value}': binary data holds characters that are not "
                                                            f"hexadecimal digits")
            elif len(digits) % 2:
                self.report("DriverRegistry", key, "Value", f"'{value}': an odd number of hexadecimal digits; the "
                                                            f"last one makes a byte of its own", warning=True)
        elif value.startswith("#") and value[1:2] not in ("v", "%", "#"):
            m = re.fullmatch(r"[ \t]*([-+]?[0-9]+)", value[1:])
            if not m:
                self.report("DriverRegistry", key, "Value", f"'{value}' is no DWORD: '#' takes a decimal number "
                                                            f"('##' starts a string with '#')")
            elif not -2**31 <= int(m.group(1)) < 2**31:
                self.report("DriverRegistry", key, "Value", f"'{value}' is outside the signed 32-bit range of a "
                                                            f"DWORD value")

    def check_DriverUpperFilter(self, key, r):
        guid = r.get("ClassGuid", "")
        if guid and not _GUID.fullmatch(guid):
            self.report("DriverUpperFilter", key, "ClassGuid", f"'{guid}' is not a GUID in braces")

    def check_CryptCatalog(self, key, r):
        if "Path" in r:
            if r["Path"] == "":
                self.report("CryptCatalog", key, "Path", "empty; the row names no catalog file")
            else:
                self._path("CryptCatalog", key, "Path", r["Path"], ".cat")
        if r.get("Name", None) == "":
            self.report("CryptCatalog", key, "Name", "empty; the catalog needs the name it is registered under")
        if r.get("Component_", None) == "":
            self.report("CryptCatalog", key, "Component_", "empty; a row without a component is never selected")

    def check_ServiceConfigProtection(self, key, r):
        if r.get("Name", None) == "":
            self.report("ServiceConfigProtection", key, "Name", "empty; the row names no service")
        condition_only = (_integer(r.get("Attributes", "") or "0") or 0) & schema.PROTECTION_BITS[0].value
        if r.get("Component_", None) == "" and not condition_only:
            self.report("ServiceConfigProtection", key, "Component_",
                        "empty; a row without a component is never selected (unless ConditionOnly is set)")
        program = r.get("Binary_", "")
        if program and self.package.binary_path(program) and not is_program_image(self.package.binary_path(program)):
            self.report("ServiceConfigProtection", key, "Binary_", f"Binary '{program}' is not a program image; the "
                                                                   f"library runs it as one")
        command = r.get("UnprotectCommand", "")
        # Without Binary_ the command line's first token is the program; CreateProcess cuts an unquoted path at
        # its first blank and may run another program.
        if command and not program and not command.lstrip().startswith('"'):
            m = re.match(r"\s*(.*?\.exe)(\s|$)", command, re.I)
            path = m.group(1) if m else command.split()[0]
            if " " in path or path.startswith("["):
                why = "holds blanks" if " " in path else "starts with a folder whose path may hold blanks,"
                self.report("ServiceConfigProtection", key, "UnprotectCommand",
                            f"the program path '{path}' {why} and is not quoted: the system may run another "
                            f"program", warning=True)
        if r.get("UnprotectCommand", None) == "":
            self.report("ServiceConfigProtection", key, "UnprotectCommand",
                        "empty; the protection is never lifted, so the service cannot be stopped or removed",
                        warning=True)

    # -- the drivers' own INF files -----------------------------------------

    def _read_inf(self, sources, key, r):
        """The File row and parsed INF of a driver package, or None (after a line saying why, when the INF
        should be readable)."""
        value = r.get("InfPath", "")
        rows, problem = self.files.resolve(value) if value else ([], "")
        if problem or not rows:
            return None  # reported by the InfPath check, or known only at install time
        name = _long_name(rows[0]["FileName"])
        if not name.lower().endswith(".inf"):
            return None  # reported by the InfPath check
        data, where = sources.read(rows[0])
        if data is None:
            self.report("DriverPackage", key, "InfPath", f"the INF file {name} cannot be read from the package "
                                                        f"({where}); its contents were not checked", warning=True)
            return None
        try:
            parsed = inf.Inf.parse(data)
        except inf.InfError as e:
            self.report("DriverPackage", key, "InfPath", f"the INF file {name} does not parse: {e}")
            return None
        if not parsed.has("Version"):
            self.report("DriverPackage", key, "InfPath", f"the INF file {name} has no [Version] section")
            return None
        if parsed.signature().lower() not in inf.SIGNATURES:
            self.report("DriverPackage", key, "InfPath", f"the INF file {name} has the Signature "
                                                        f"'{parsed.signature()}', not \"$Windows NT$\": SetupAPI "
                                                        f"does not open it")
            return None
        return rows[0], parsed

    def check_infs(self, sources):
        system, how = oldest_system(self.package)
        oldest = f"Windows {system[0]}.{system[1]} build {system[2]}"
        for r in self.package.records("DriverPackage"):
            key = (r.get("DriverPackage", ""),)
            found = self._read_inf(sources, key, r)
            if found is None:
                continue
            services = self._check_inf(key, r, found[0], found[1], system,
                                       f"{oldest}, the oldest the product allows {how}")
            if services is not None:
                self.infs[key[0]] = services
        for r in self.package.records("DriverUpperFilter"):
            added = self.infs.get(r.get("DriverPackage_", ""))
            service = r.get("ServiceName", "")
            if added is None or not service:
                continue
            if service.lower() not in {s.lower() for s in added}:
                names = ", ".join(added) if added else "none"
                self.report("DriverUpperFilter", (r.get("DriverUpperFilter", ""),), "ServiceName",
                            f"'{service}' is not a service the INF of driver package '{r['DriverPackage_']}' adds "
                            f"(AddService: {names}); a class list naming a service that does not exist stops every "
                            f"device of the class")

    def _check_inf(self, key, r, file_row, parsed, system, oldest):
        """Checks one package's INF; returns the services its install section adds, or None when the install
        section is unknown."""
        name = _long_name(file_row["FileName"])
        type_ = _integer(r.get("Type", "") or "")
        kind = schema.DRIVER_TYPES.get(type_)
        has_models = bool(parsed.manufacturers())
        default_install = parsed.actual_section("DefaultInstall")
        t = "DriverPackage"
        if kind == "filter driver":
            if has_models and default_install is None:
                self.report(t, key, "Type", f"1 (filter driver), but {name} is a device INF (models and no "
                                            f"DefaultInstall section): the filter installer installs the first "
                                            f"model's section without a device; use Type 3")
                return None
            if not has_models and default_install is None:
                self.report(t, key, "InfPath", f"{name} has no install section: neither models (a Manufacturer "
                                               f"section) nor a DefaultInstall section")
                return None
            if parsed.actual_section("DefaultUninstall") is None:
                self.report(t, key, "InfPath", f"{name} has no DefaultUninstall section, so uninstalling never "
                                               f"removes the driver's service and files", warning=True)
        if kind == "device driver" and not has_models:
            self.report(t, key, "Type", f"3 (device driver), but {name} has no models (no Manufacturer section): "
                                        f"no device can get its driver from it")
            return None
        if kind == "network driver":
            guid = parsed.class_guid()
            if guid not in inf.NETWORK_CLASSES:
                classes = ", ".join(inf.NETWORK_CLASSES.values())
                self.report(t, key, "Type", f"2 (network driver), but the class of {name} is "
                                            f"{guid or 'not given'}, not a network component class ({classes})")
        # Where no models section serves the oldest system, the decoration check says so; the install section
        # is then the one of the newest system the INF serves.
        serving = system
        models = parsed.models_section(system)
        if models is not None and not parsed.has(models):
            serving = inf.NEWEST
            models = parsed.models_section(serving)
        services = None
        # Without a models section for amd64 there is no install section either: the hardware id check names it.
        if models is None or parsed.has(models):
            section, named = parsed.install_section(serving)
            if section is None:
                self.report(t, key, "InfPath", f"{name} has no install section '{named}' (named by "
                                               f"{'its first model' if has_models else 'default'}) for amd64")
            else:
                services = parsed.services_added(serving)
            if not services and services is not None:
                outcome = {"device driver": "the device package is skipped",
                           "filter driver": "the filter package fails at uninstall"}.get(
                    kind, "the package's service steps fail")
                self.report(t, key, "InfPath", f"{name} adds no service: no AddService line in [{section}.Services] "
                                               f"({outcome})")
        if kind == "device driver":
            self._check_hardware_id(key, r, name, parsed, services or [])
        self._check_catalog(key, r, file_row, name, parsed)
        self._check_decorations(key, name, parsed, system, oldest)
        return services

    def _check_hardware_id(self, key, r, name, parsed, services):
        wanted = r.get("HardwareId", "") or ("ROOT\\" + services[0] if services else "")
        if not wanted:
            return
        if wanted.lower() in parsed.hardware_ids():
            return
        column = "HardwareId" if r.get("HardwareId", "") else "InfPath"
        amd64 = any(inf.parse_decoration(d).platform == inf.PLATFORM
                    for _, decorations in parsed.manufacturers() for d in decorations)
        why = "" if amd64 else " (its Manufacturer section has no NTamd64 decoration)"
        given = "" if r.get("HardwareId", "") else " (ROOT\\ and the first service, HardwareId being empty)"
        self.report("DriverPackage", key, column, f"no model of {name} for amd64 carries the hardware id "
                                                  f"'{wanted}'{given}{why}")

    def _check_catalog(self, key, r, file_row, name, parsed):
        named = parsed.catalog()
        if named is None:
            return
        entry, catalog = named
        folder = self.files.file_folder(file_row)
        beside = [f for f in self.files.files if self.files.file_folder(f) == folder
                  and _long_name(f["FileName"]).lower() == catalog.lower()]
        if not beside:
            self.report("DriverPackage", key, "InfPath", f"{name} names the catalog '{catalog}' ({entry}), which is "
                                                        f"no file of the package beside the INF")
            return
        if r.get("CatPath"):
            rows, problem = self.files.resolve(r["CatPath"])
            cat = _long_name(rows[0]["FileName"]).lower() if rows and not problem else ""
            # A CatPath that names no .cat file is reported by its own check.
            if cat.endswith(".cat") and cat != catalog.lower():
                self.report("DriverPackage", key, "CatPath", f"names '{_long_name(rows[0]['FileName'])}'; {name} "
                                                            f"names its catalog '{catalog}' ({entry})", warning=True)

    def _check_decorations(self, key, name, parsed, system, oldest):
        for models, decorations in parsed.manufacturers():
            amd64 = [inf.parse_decoration(d) for d in decorations]
            amd64 = [d for d in amd64 if d.platform == inf.PLATFORM]
            if not amd64 or any(inf.applies(d, system) for d in amd64):
                continue
            served = "; ".join(f"{models}.{d.text}: {d.describe()}" for d in amd64)
            self.report("DriverPackage", key, "InfPath", f"the models of {name} apply only to builds newer than "
                                                        f"{oldest} ({served})", warning=True)

    # -- custom actions -----------------------------------------------------

    def check_actions(self, used):
        rows = {r["Action"]: r for r in self.package.records("CustomAction")}
        sequenced = {r["Action"] for r in self.package.records("InstallExecuteSequence")}
        exports = {}
        for a in schema.ACTIONS:
            row = rows.get(a.name)
            if row is None:
                if a.table in used:
                    self.report("CustomAction", (a.name,), "", f"missing; the {a.table} rows need it")
                elif a.name in sequenced:
                    self.report("CustomAction", (a.name,), "", "missing; InstallExecuteSequence runs it")
                continue
            key = (a.name,)
            type_ = _integer(row.get("Type", ""))
            if type_ is None:
                self.report("CustomAction", key, "Type", f"'{row.get('Type', '')}' is not an integer")
            else:
                problem = _type_problem(type_, a.type)
                if problem:
                    self.report("CustomAction", key, "Type", problem)
            if row.get("Target") != a.entry:
                self.report("CustomAction", key, "Target", f"'{row.get('Target', '')}', expected '{a.entry}'")
            source = row.get("Source", "")
            if not source:
                self.report("CustomAction", key, "Source", "empty; expected the Binary row of driverdeploy.dll")
                continue
            if source not in {r["Name"] for r in self.package.records("Binary")}:
                self.report("CustomAction", key, "Source", f"names no Binary row '{source}'")
                continue
            if source not in exports:
                exports[source] = self._binary_exports(source)
            if exports[source] is not None and row.get("Target") == a.entry and a.entry not in exports[source]:
                self.report("CustomAction", key, "Target", f"Binary '{source}' exports no '{a.entry}'")

    def _binary_exports(self, name):
        path = self.package.binary_path(name)
        if path is None:
            self.report("Binary", (name,), "Data", "empty; the row holds no data")
            return None
        try:
            return dll_exports(path)
        except NotADll as e:
            self.report("Binary", (name,), "Data", str(e))
            return None

    # -- InstallExecuteSequence ---------------------------------------------

    def check_sequence(self, used):
        numbers = {}
        for r in self.package.records("InstallExecuteSequence"):
            numbers[r["Action"]] = _integer(r.get("Sequence", "") or "")
        table = "InstallExecuteSequence"
        for a in schema.ACTIONS:
            if a.started_by != "sequence" and a.name in numbers:
                self.report(table, (a.name,), "", f"the action is started by {a.started_by}, not by the sequence")
        conditions = {r["Action"]: r.get("Condition", "") for r in self.package.records(table)}
        for step in schema.SEQUENCE:
            family = schema.action(step.action).table
            if step.action not in numbers:
                if family in used:
                    self.report(table, (step.action,), "", f"missing; the {family} rows need it")
                continue
            key = (step.action,)
            error = condition_error(conditions.get(step.action, ""))
            if error:
                self.report(table, key, "Condition", "does not parse: " + error)
            number = numbers[step.action]
            if number is None or number <= 0:
                self.report(table, key, "Sequence", "not a positive number; the action never runs")
                continue
            after = list(step.after) + ([SCRIPT_START] if SCRIPT_START not in step.after else [])
            before = list(step.before) + ([SCRIPT_END] if SCRIPT_END not in step.before else [])
            for other in after:
                if numbers.get(other) is not None and numbers[other] > 0 and not number > numbers[other]:
                    self.report(table, key, "Sequence", f"{number} is not after {other} ({numbers[other]})")
            for other in before:
                if numbers.get(other) is not None and numbers[other] > 0 and not number < numbers[other]:
                    self.report(table, key, "Sequence", f"{number} is not before {other} ({numbers[other]})")

    # -- Error rows ---------------------------------------------------------

    def check_errors(self, used):
        if self.package.table("Error") is None:
            needed = [e for e in schema.ERRORS if schema.action(e.sent_by[0]).table in used]
            if needed:
                self.report("Error", (), "", "no Error table; the library sends "
                                             + ", ".join(str(e.number) for e in needed))
            return
        texts = {r["Error"]: r.get("Message", "") for r in self.package.records("Error")}
        for e in schema.ERRORS:
            key = (str(e.number),)
            if schema.action(e.sent_by[0]).table not in used and key[0] not in texts:
                continue
            if key[0] not in texts:
                self.report("Error", key, "", "missing; the library sends it from " + ", ".join(e.sent_by))
                continue
            text = texts[key[0]]
            lacking = [what for field, what in (("[2]", "[2] (the error code)"), ("[3]", "[3] (what failed)"))
                       if field not in text]
            if lacking:
                self.report("Error", key, "Message", "holds no " + " and no ".join(lacking), warning=True)


def check(path):
    """The problems of the package at `path`, sorted; raises msidb.MsiToolError when it cannot be read."""
    with msidb.Package(path) as package:
        return Linter(package).run()


def main(argv):
    parser = argparse.ArgumentParser(
        prog="driverdeploy lint",
        description="Check a package's driverdeploy tables, the drivers' INF files, custom actions, sequence and "
                    "Error rows. Prints one "
                    "line per problem (table, row, column: what is wrong) and a summary; nothing for a clean "
                    "package. Exit code 0: clean; 1: problems found; 2: usage error or unreadable package.")
    parser.add_argument("package", metavar="PACKAGE.msi")
    parser.add_argument("--allow-warnings", action="store_true",
                        help="exit with 0 when every problem found is a warning")
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 2
    return lint(args.package, args.allow_warnings, sys.stdout, sys.stderr)


def lint(path, allow_warnings=False, out=sys.stdout, err=sys.stderr):
    """Checks the package at `path`, writes the lines of `driverdeploy lint` and returns its exit code."""
    try:
        problems = check(path)
    except (msidb.MsiToolError, OSError) as e:
        err.write(f"driverdeploy lint: cannot read {path}: {e}\n")
        return 2
    for p in problems:
        out.write(p.line() + "\n")
    if not problems:
        return 0
    warnings = sum(1 for p in problems if p.warning)
    errors = len(problems) - warnings
    out.write(f"{path}: {len(problems)} problem{'s' if len(problems) != 1 else ''} "
              f"({errors} error{'s' if errors != 1 else ''}, {warnings} warning{'s' if warnings != 1 else ''})\n")
    return 0 if errors == 0 and allow_warnings else 1
