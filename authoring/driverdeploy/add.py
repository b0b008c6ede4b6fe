"""driverdeploy add BASE.msi DRIVERS.toml -o OUT.msi [--dll DLL]

Copies BASE to OUT and adds what driverdeploy.dll needs: the five driver tables with the rows DRIVERS.toml
describes, the DLL as a Binary row, every custom action, the sequence entries and the Error rows. Rows the
base has already are kept; a base row with the same key and other content is an error, except an Error row
with the package author's own text (kept when it still shows the failure's object, [3]). Adding the same
file again therefore changes nothing. The format of DRIVERS.toml is described in docs/drivers-toml.md.

Exit codes: 0 done, 2 usage or input error (the messages name the file and the entry), 1 a tool failed."""

import argparse
import os
import re
import shutil
import sys
import tempfile
import tomllib

from . import generate, msidb, schema

REPOSITORY_DLL = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                              "build", "windows", schema.DLL_NAME)

GUID = re.compile(r"^\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}$")
ROOTS = {"HKCR": 0, "HKEY_CLASSES_ROOT": 0, "HKCU": 1, "HKEY_CURRENT_USER": 1, "HKLM": 2, "HKEY_LOCAL_MACHINE": 2}
TYPES = {text.split()[0]: code for code, text in schema.DRIVER_TYPES.items()}
LIST_JOIN = "[~]"
INT_RANGE = {2: (-32767, 32767), 4: (-2147483647, 2147483647)}


class InputError(Exception):
    """Problems of the input, each a complete line."""

    def __init__(self, messages):
        super().__init__("\n".join(messages))
        self.messages = list(messages)


# ---------------------------------------------------------------------------
# The TOML file: one section per table. A field is (TOML key, column, kind, required); the column's width,
# nullability and foreign key come from the schema.

FIELDS = {
    "DriverPackage": [
        ("id", "DriverPackage", "id", True),
        ("component", "Component_", "component", True),
        ("inf", "InfPath", "text", True),
        ("catalog", "CatPath", "text", False),
        ("dependencies", "Dependencies", "services", False),
        ("hardware_id", "HardwareId", "text", False),
        ("attributes", "Attributes", "bits", False),
        ("type", "Type", "type", True),
        ("condition", "Condition", "text", False),
        ("sequence", "Sequence", "int", False),
        ("previous_versions", "GuidsOfPreviousVersions", "guids", False),
    ],
    "DriverRegistry": [
        ("id", "DriverRegistry", "id", True),
        ("root", "Root", "root", True),
        ("key", "Key", "text", True),
        ("name", "Name", "text", False),
        ("value", "Value", "value", False),
        ("condition", "Condition", "text", False),
    ],
    "DriverUpperFilter": [
        ("id", "DriverUpperFilter", "id", True),
        ("class_guid", "ClassGuid", "guid", True),
        ("service", "ServiceName", "text", True),
        ("dependencies", "Dependencies", "services", False),
        ("attributes", "Attributes", "bits", False),
        ("condition", "Condition", "text", False),
    ],
    "CryptCatalog": [
        ("id", "CryptCatalog", "id", True),
        ("name", "Name", "text", False),
        ("path", "Path", "text", True),
        ("component", "Component_", "component", False),
        ("condition", "Condition", "text", False),
    ],
    "ServiceConfigProtection": [
        ("id", "ServiceConfigProtection", "id", True),
        ("name", "Name", "text", True),
        ("binary", "Binary_", "binary", False),
        ("unprotect_command", "UnprotectCommand", "text", False),
        ("attributes", "Attributes", "bits", False),
        ("component", "Component_", "component", False),
        ("condition", "Condition", "text", False),
    ],
}

# Top-level array sections, and the sections nested in a driver package (their DriverPackage_ is the parent).
SECTIONS = {"driver": "DriverPackage", "catalog": "CryptCatalog", "protected_service": "ServiceConfigProtection"}
NESTED = {"registry": "DriverRegistry", "upper_filter": "DriverUpperFilter"}
TOP_LEVEL_KEYS = set(SECTIONS) | {"dll"}

for _table, _fields in FIELDS.items():
    for _, _column, _, _ in _fields:
        schema.table(_table).column(_column)  # every field names a column the schema has


class Reader:
    """Turns the TOML document into rows of the five tables, collecting every problem."""

    def __init__(self, toml_path, components):
        self.path = toml_path
        self.base_dir = os.path.dirname(os.path.abspath(toml_path))
        self.components = components
        self.errors = []
        self.rows = {t.name: [] for t in schema.TABLES}
        self.binaries = {}  # Binary row name -> file
        self.ids = {t.name: set() for t in schema.TABLES}
        self._current_id = None

    def error(self, where, message):
        self.errors.append(f"{self.path}: {where}: {message}")

    def read(self, doc):
        for key in doc:
            if key not in TOP_LEVEL_KEYS:
                self.error("top level", f"unknown key '{key}' (known: {', '.join(sorted(TOP_LEVEL_KEYS))})")
        for section, table_name in SECTIONS.items():
            entries = doc.get(section, [])
            if not isinstance(entries, list) or not all(isinstance(e, dict) for e in entries):
                self.error(section, f"must be an array of tables ([[{section}]])")
                continue
            for i, entry in enumerate(entries, 1):
                self.entry(table_name, section, i, entry, parent=None)

    def entry(self, table_name, section, number, entry, parent):
        """Reads one entry; parent is (DriverPackage key, how to name it) for an entry nested in a driver."""
        t = schema.table(table_name)
        ident = entry.get("id")
        # A protected service's id names its program's Binary row.
        self._current_id = ident if isinstance(ident, str) else None
        where = f"{section} #{number}" + (f" '{ident}'" if isinstance(ident, str) else "")
        if parent is not None:
            where = f"{parent[1]} {where}"
        fields = {f[0]: f for f in FIELDS[table_name]}
        nested = NESTED if table_name == "DriverPackage" else {}
        for key in entry:
            if key not in fields and key not in nested:
                known = ", ".join(list(fields) + list(nested))
                self.error(where, f"unknown key '{key}' (known: {known})")
        values = {c.name: "" for c in t.columns}
        for key, column_name, kind, required in FIELDS[table_name]:
            column = t.column(column_name)
            if key not in entry:
                if required:
                    self.error(where, f"missing required key '{key}'")
                continue
            value = self.convert(where, key, kind, entry[key], t, column)
            if value is None:
                continue
            if column.size and len(value) > column.size:
                self.error(where, f"'{key}' is {len(value)} characters long; {t.name}.{column.name} holds at most "
                                  f"{column.size}")
                continue
            if required and value == "":
                self.error(where, f"'{key}' must not be empty")
                continue
            values[column.name] = value
        if parent is not None:
            values["DriverPackage_"] = parent[0]
        key_value = values[t.keys[0]]
        if key_value:
            if key_value in self.ids[table_name]:
                self.error(where, f"{section} id '{key_value}' is used twice")
            self.ids[table_name].add(key_value)
        self.rows[table_name].append([values[c.name] for c in t.columns])
        for section_key, nested_table in nested.items():
            items = entry.get(section_key, [])
            if not isinstance(items, list) or not all(isinstance(e, dict) for e in items):
                self.error(where, f"'{section_key}' must be an array of tables ([[driver.{section_key}]])")
                continue
            for i, item in enumerate(items, 1):
                label = f"driver '{ident}'" if isinstance(ident, str) else f"driver #{number}"
                self.entry(nested_table, section_key, i, item, parent=(key_value, label))

    def convert(self, where, key, kind, value, table, column):
        """The field's text, or None after an error."""
        def bad(message):
            self.error(where, f"'{key}' {message}")
            return None

        def string():
            if not isinstance(value, str):
                return bad(f"must be a string, not {_toml_kind(value)}")
            return value

        if kind == "text":
            return string()
        if kind == "id":
            if string() is None:
                return None
            found = sorted({ch for ch in value if ch in table.key_forbidden})
            if found:
                return bad(f"'{value}' holds {' and '.join(repr(ch) for ch in found)}, which the {table.name} key "
                           f"must not hold (the library's list separators {table.key_forbidden!r})")
            return value
        if kind == "component":
            if string() is None:
                return None
            # A formatted column names its component only at install time.
            # Without a base package (driverdeploy wxs) the product's own build checks the reference.
            if self.components is not None and not (column.formatted and "[" in value) \
                    and value not in self.components:
                return bad(f"names component '{value}', which the base package does not have")
            return value
        if kind == "guid":
            if string() is None:
                return None
            if not GUID.match(value):
                return bad(f"'{value}' is not a GUID in braces, like {{4D36E967-E325-11CE-BFC1-08002BE10318}}")
            return value
        if kind == "int":
            if not isinstance(value, int) or isinstance(value, bool):
                return bad(f"must be an integer, not {_toml_kind(value)}")
            low, high = INT_RANGE[column.size]
            if not low <= value <= high:
                return bad(f"{value} is outside {low}..{high}")
            return str(value)
        if kind == "type":
            if isinstance(value, str):
                if value not in TYPES:
                    return bad(f"unknown driver type '{value}' (known: {', '.join(TYPES)}, or "
                               f"{', '.join(str(c) for c in schema.DRIVER_TYPES)})")
                return str(TYPES[value])
            if isinstance(value, int) and not isinstance(value, bool):
                if value not in schema.DRIVER_TYPES:
                    return bad(f"unknown driver type {value} (known: "
                               f"{', '.join(f'{c} {n}' for c, n in schema.DRIVER_TYPES.items())})")
                return str(value)
            return bad(f"must be a type name or number, not {_toml_kind(value)}")
        if kind == "root":
            if isinstance(value, str):
                if value not in ROOTS:
                    return bad(f"unknown registry root '{value}' (known: {', '.join(ROOTS)}, or 0..3)")
                return str(ROOTS[value])
            if isinstance(value, int) and not isinstance(value, bool):
                if value not in schema.REGISTRY_ROOTS:
                    return bad(f"unknown registry root {value} (known: 0..3)")
                return str(value)
            return bad(f"must be a root name or number, not {_toml_kind(value)}")
        if kind == "bits":
            return self.bits(where, key, value, table)
        if kind == "services":
            items = self.string_list(where, key, value)
            if items is None:
                return None
            for item in items:
                if LIST_JOIN in item or not item:
                    return bad(f"item '{item}' is empty or holds the list separator {LIST_JOIN}")
            return LIST_JOIN.join(items)
        if kind == "guids":
            items = self.string_list(where, key, value)
            if items is None:
                return None
            for item in items:
                if not GUID.match(item):
                    return bad(f"item '{item}' is not a component code (a GUID in braces)")
            return ";".join(items)
        if kind == "value":
            if isinstance(value, str):
                return value
            if isinstance(value, int) and not isinstance(value, bool):
                return f"#{value}"
            items = self.string_list(where, key, value)
            if items is None:
                return None
            if not items:
                return bad("must not be an empty list")
            # A one-item multi-string still needs the separator to be one.
            return LIST_JOIN.join(items) + (LIST_JOIN if len(items) == 1 else "")
        if kind == "binary":
            if string() is None:
                return None
            path = os.path.join(self.base_dir, value)
            if not os.path.isfile(path):
                return bad(f"names no file: {path}")
            name = self._binary_name(where, table)
            if name is None:
                return None
            self.binaries[name] = path
            return name
        raise AssertionError(kind)

    def _binary_name(self, where, table):
        # The program's Binary row is named after the protected service's row.
        name = self._current_id
        if not name:
            return None
        if name == schema.BINARY_NAME:
            self.error(where, f"id '{name}' would name the program's Binary row, which is the DLL's")
            return None
        return name

    def bits(self, where, key, value, table):
        known = {b.name: b.value for b in table.attribute_bits}
        all_bits = 0
        for b in table.attribute_bits:
            all_bits |= b.value
        items = value if isinstance(value, list) else [value]
        result = 0
        for item in items:
            if isinstance(item, str):
                if item not in known:
                    self.error(where, f"'{key}': unknown {table.name} attribute '{item}' (known: {', '.join(known)})")
                    return None
                result |= known[item]
            elif isinstance(item, int) and not isinstance(item, bool):
                if item < 0 or item & ~all_bits:
                    self.error(where, f"'{key}': {item} holds bits {table.name} does not know "
                                      f"(0x{(item & ~all_bits) & 0xFFFFFFFF:x})")
                    return None
                result |= item
            else:
                self.error(where, f"'{key}' must be a list of attribute names or integers, not {_toml_kind(item)}")
                return None
        own = [b for b in table.attribute_bits if b.library_only and result & b.value]
        if own:
            self.error(where, f"'{key}': {', '.join(f'{b.name} (0x{b.value:x})' for b in own)} is set by the "
                              f"library itself, never by the package")
            return None
        return str(result)

    def string_list(self, where, key, value):
        if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
            self.error(where, f"'{key}' must be a list of strings, not {_toml_kind(value)}")
            return None
        return value


def _toml_kind(value):
    return {bool: "a boolean", int: "an integer", float: "a number", str: "a string", list: "a list",
            dict: "a table"}.get(type(value), type(value).__name__)


# ---------------------------------------------------------------------------
# Merging with the base package


def _kit_definition(name):
    for t in schema.TABLES:
        if t.name == name:
            return generate.custom_table(t)
    columns = {"CustomAction": generate.CUSTOM_ACTION_COLUMNS, "InstallExecuteSequence": generate.SEQUENCE_COLUMNS,
               "Error": generate.ERROR_COLUMNS, "Binary": generate.BINARY_COLUMNS}[name]
    return msidb.TableData(name, *columns)


class Merger:
    def __init__(self, base_path, base):
        self.base_path = base_path
        self.base = base
        self.errors = []
        self.notes = []
        self.tables = {}

    def table(self, name, custom):
        """The table to write: the base's (rows kept) or a new one with the kit's definition."""
        have = self.base.table(name)
        kit = _kit_definition(name)
        if have is None:
            self.tables[name] = kit
        elif custom and (have.columns, [x.lower() for x in have.types]) != (kit.columns, [x.lower() for x in kit.types]):
            self.errors.append(f"{self.base_path}: table '{name}' exists with other columns "
                               f"({_columns(have)}) than driverdeploy's ({_columns(kit)})")
            self.tables[name] = kit
        else:
            missing = [c for c in kit.columns if c not in have.columns]
            if missing:
                self.errors.append(f"{self.base_path}: table '{name}' has no column {', '.join(missing)}")
            self.tables[name] = msidb.TableData(have.name, have.columns, have.types, have.keys,
                                                [list(r) for r in have.rows])
        return self.tables[name]

    def add(self, name, values, compare=None, on_conflict=None):
        """Adds a row given as {column: text}; a base row with its key must agree on the `compare` columns."""
        t = self.tables[name]
        key_columns = t.keys
        key = tuple(values.get(k, "") for k in key_columns)
        compare = compare or [c for c in values if c not in key_columns]
        for row in t.rows:
            if tuple(row[t.index(k)] for k in key_columns) == key:
                have = {c: row[t.index(c)] for c in compare}
                want = {c: values[c] for c in compare}
                if _same(have, want):
                    return "kept"
                if on_conflict and on_conflict(have, want):
                    return "theirs"
                diff = ", ".join(f"{c} '{have[c]}' (wanted '{want[c]}')" for c in compare if have[c] != want[c])
                self.errors.append(f"{self.base_path}: table '{name}' row '{'/'.join(key)}' differs: {diff}")
                return "conflict"
        t.rows.append([values.get(c, "") for c in t.columns])
        return "added"


def _same(have, want):
    # Integers read back as text; compare them as numbers so "0" and "00" agree.
    for c in want:
        a, b = have[c], want[c]
        if a != b and not (a.lstrip("-").isdigit() and b.lstrip("-").isdigit() and int(a) == int(b)):
            return False
    return True


def _columns(t):
    return ", ".join(f"{c} {ty}" for c, ty in zip(t.columns, t.types))


def _files_equal(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def resolve_dll(option, doc, toml_path):
    if option:
        return option, "--dll"
    if isinstance(doc.get("dll"), str):
        return os.path.join(os.path.dirname(os.path.abspath(toml_path)), doc["dll"]), f"'dll' of {toml_path}"
    if os.environ.get("DD_DLL"):
        return os.environ["DD_DLL"], "DD_DLL"
    return REPOSITORY_DLL, "the repository's build"


def load_toml(toml_path):
    """The TOML document, or InputError saying why it cannot be read."""
    try:
        with open(toml_path, "rb") as f:
            doc = tomllib.load(f)
    except tomllib.TOMLDecodeError as e:
        raise InputError([f"{toml_path}: not valid TOML: {e}"])
    except UnicodeDecodeError as e:
        raise InputError([f"{toml_path}: not UTF-8 text: {e}"])
    if "dll" in doc and not isinstance(doc["dll"], str):
        raise InputError([f"{toml_path}: top level: 'dll' must be a string, not {_toml_kind(doc['dll'])}"])
    return doc


def add(base_path, toml_path, out_path, dll_option=None, out=sys.stdout):
    for path, what in ((base_path, "base package"), (toml_path, "driver description")):
        if not os.path.isfile(path):
            raise InputError([f"driverdeploy add: no such {what}: {path}"])
    doc = load_toml(toml_path)
    dll, dll_source = resolve_dll(dll_option, doc, toml_path)
    if not os.path.isfile(dll):
        raise InputError([f"driverdeploy add: no DLL at {dll} (from {dll_source}); build it or pass --dll"])

    with msidb.Package(base_path) as base:
        components = {r["Component"] for r in base.records("Component")}
        reader = Reader(toml_path, components)
        reader.read(doc)
        if reader.errors:
            raise InputError(reader.errors)

        m = Merger(base_path, base)
        counts = {}
        for t in schema.TABLES:
            m.table(t.name, custom=True)
        for name in ("CustomAction", "InstallExecuteSequence", "Error", "Binary"):
            m.table(name, custom=False)
        if m.errors:
            raise InputError(m.errors)
        for t in schema.TABLES:
            columns = [c.name for c in t.columns]
            for row in reader.rows[t.name]:
                result = m.add(t.name, dict(zip(columns, row)), compare=columns[1:])
                counts.setdefault(t.name, {}).setdefault(result, 0)
                counts[t.name][result] += 1
        for a in schema.ACTIONS:
            m.add("CustomAction", {"Action": a.name, "Type": str(a.type), "Source": schema.BINARY_NAME,
                                   "Target": a.entry}, compare=["Type", "Source", "Target"])
        for s in schema.SEQUENCE:
            m.add("InstallExecuteSequence", {"Action": s.action, "Condition": s.condition,
                                             "Sequence": str(s.sequence)}, compare=["Condition", "Sequence"])
        for e in schema.ERRORS:
            def keep_theirs(have, want, number=e.number):
                if "[3]" in have["Message"]:
                    m.notes.append(f"keeping the package's own text of Error {number}: '{have['Message']}'")
                    return True
                return False
            m.add("Error", {"Error": str(e.number), "Message": e.text}, compare=["Message"], on_conflict=keep_theirs)

        binaries = {schema.BINARY_NAME: dll}
        binaries.update(reader.binaries)
        binary = m.tables["Binary"]
        present = {row[0] for row in binary.rows}
        for name, path in binaries.items():
            if name not in present:
                binary.rows.append([name, ""] + [""] * (len(binary.columns) - 2))
                continue
            current = base.binary_path(name)
            if current and _files_equal(current, path):
                continue
            if name == schema.BINARY_NAME:
                m.notes.append(f"replacing the package's Binary row '{name}' with {path}")
            else:
                m.errors.append(f"{base_path}: Binary row '{name}' holds other data than {path}")
        if m.errors:
            raise InputError(m.errors)

    # Write into a copy next to OUT, so a failure leaves neither a half-written OUT nor a changed BASE.
    out_dir = os.path.dirname(os.path.abspath(out_path))
    fd, work = tempfile.mkstemp(prefix=".ddadd-", suffix=".msi", dir=out_dir)
    os.close(fd)
    try:
        shutil.copyfile(base_path, work)
        msidb.write_tables(work, list(m.tables.values()), binaries)
        os.replace(work, out_path)
    except BaseException:
        if os.path.exists(work):
            os.remove(work)
        raise
    for note in m.notes:
        out.write(f"note: {note}\n")
    for t in schema.TABLES:
        c = counts.get(t.name, {})
        if c:
            out.write(f"{t.name}: {c.get('added', 0)} added, {c.get('kept', 0)} already there\n")
    out.write(f"wrote {out_path}\n")


def main(argv):
    parser = argparse.ArgumentParser(prog="driverdeploy add", description=__doc__.split("\n\n")[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="exit codes: 0 done, 2 usage or input error, 1 a tool failed")
    parser.add_argument("base", metavar="BASE.msi")
    parser.add_argument("drivers", metavar="DRIVERS.toml")
    parser.add_argument("-o", "--output", metavar="OUT.msi", required=True)
    parser.add_argument("--dll", help="driverdeploy.dll to add (default: 'dll' of the TOML file, else $DD_DLL, "
                                      "else build/windows/driverdeploy.dll of the repository)")
    args = parser.parse_args(argv)
    try:
        add(args.base, args.drivers, args.output, args.dll)
    except InputError as e:
        for line in e.messages:
            sys.stderr.write(line + "\n")
        return 2
    except (msidb.MsiToolError, OSError) as e:
        sys.stderr.write(f"driverdeploy add: {e}\n")
        return 1
    return 0
