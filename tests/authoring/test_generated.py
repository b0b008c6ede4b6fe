"""The kit's table files: the checked-in IDT files and WiX fragment are what the generator makes of the schema
today, the fragment says what the schema says (read the way the WiX compiler reads it), and the IDT files
import into a fresh database with msibuild and read back as the schema's tables and rows."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

SOURCE_DIR = os.environ.get("DD_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
AUTHORING = os.path.join(SOURCE_DIR, "authoring")
sys.path.insert(0, AUTHORING)

from driverdeploy import msidb, schema  # noqa: E402

WIX_NS = "{http://schemas.microsoft.com/wix/2006/wi}"
WIX4_NS = "{http://wixtoolset.org/schemas/v4/wxs}"
FRAGMENT = os.path.join(AUTHORING, "wix", "DriverDeploy.wxs")
FRAGMENT4 = os.path.join(AUTHORING, "wix", "DriverDeploy.v4.wxs")
IDT_DIR = os.path.join(AUTHORING, "idt")
KIT_TOMLS = [os.path.join(SOURCE_DIR, "tests", "fixtures", "authoring", name)
             for name in ("filter.toml", "e2e-filter.toml")]
COMMAND = os.path.join(AUTHORING, "bin", "driverdeploy")


def wix_custom_action_type(attrs, binary="BinaryKey"):
    """The CustomAction.Type the WiX compiler gives a DLL action from its attributes (BinaryKey in v3, BinaryRef
    in v4 and later, with DllEntry: source in the Binary table, a DLL function), decoded from the WiX and
    Windows Installer documentation rather than from the generator."""
    if binary not in attrs or "DllEntry" not in attrs:
        raise AssertionError(f"not a DLL action from the Binary table: {attrs}")
    bits = 0x1
    execute = attrs.get("Execute", "immediate")
    bits |= {"immediate": 0, "firstSequence": 0x100, "oncePerProcess": 0x200, "secondSequence": 0x300,
             "deferred": 0x400, "rollback": 0x400 | 0x100, "commit": 0x400 | 0x200}[execute]
    if attrs.get("Impersonate", "yes") == "no":
        if not bits & 0x400:
            raise AssertionError(f"Impersonate='no' is valid only for an in-script action: {attrs}")
        bits |= 0x800
    bits |= {"check": 0, "ignore": 0x40, "asyncWait": 0x80, "asyncNoWait": 0xC0}[attrs.get("Return", "check")]
    if attrs.get("HideTarget") == "yes":
        bits |= 0x2000
    if attrs.get("TerminalServerAware") == "yes":
        bits |= 0x4000
    if attrs.get("Win64") == "yes":
        bits |= 0x1000
    return bits


# Column@Type and Width of the WiX schema against the IDT column type letter.
def wix_column_idt_type(attrs):
    type_ = attrs["Type"]
    width = int(attrs.get("Width", "0"))
    nullable = attrs.get("Nullable", "no") == "yes"  # "no" by default in every version
    if type_ == "int":
        if width not in (2, 4):
            raise AssertionError(f"integer column of width {width}: {attrs}")
        letter = "i"
    elif type_ == "string":
        letter = "l" if attrs.get("Localizable") == "yes" else "s"
    elif type_ == "binary":
        letter = "v"
    else:
        raise AssertionError(f"unknown column type: {attrs}")
    return (letter.upper() if nullable else letter) + str(width)


class GeneratedFilesTest(unittest.TestCase):
    def test_checked_in_files_are_what_the_generator_makes(self):
        out = tempfile.mkdtemp(prefix="ddgen-")
        try:
            env = dict(os.environ, PYTHONPATH=AUTHORING)
            subprocess.run([sys.executable, "-m", "driverdeploy.generate", "--out", out], check=True, env=env,
                           cwd=AUTHORING, capture_output=True)
            made = sorted(os.path.relpath(os.path.join(d, f), out) for d, _, fs in os.walk(out) for f in fs)
            self.assertIn("wix/DriverDeploy.wxs", made)
            self.assertIn("wix/DriverDeploy.v4.wxs", made)
            self.assertEqual(len([m for m in made if m.startswith("idt/")]), len(schema.TABLES) + 4)
            checked_in = sorted(os.path.relpath(os.path.join(d, f), AUTHORING)
                                for sub in ("idt", "wix") for d, _, fs in os.walk(os.path.join(AUTHORING, sub))
                                for f in fs)
            self.assertEqual(made, checked_in, "files the generator makes and files checked in")
            for rel in made:
                with open(os.path.join(out, rel), "rb") as a, open(os.path.join(AUTHORING, rel), "rb") as b:
                    self.assertEqual(a.read(), b.read(),
                                     f"{rel} differs from the generator's output: run python3 -m driverdeploy.generate")
        finally:
            shutil.rmtree(out, ignore_errors=True)


def toml_rows(path):
    """The rows `driverdeploy add` takes from a TOML file: {table: [row]}."""
    from driverdeploy import add
    reader = add.Reader(path, None)
    reader.read(add.load_toml(path))
    assert not reader.errors, reader.errors
    return {name: rows for name, rows in reader.rows.items() if rows}


class WixFragmentTest(unittest.TestCase):
    """The v3 fragment read the way the WiX v3 compiler reads it; subclasses read other versions and outputs."""
    VERSION = 3
    ROWS = {}

    @classmethod
    def fragment_path(cls):
        return FRAGMENT

    @classmethod
    def setUpClass(cls):
        cls.ns = WIX_NS if cls.VERSION == 3 else WIX4_NS
        root = ET.parse(cls.fragment_path()).getroot()
        assert root.tag == cls.ns + "Wix", root.tag
        fragments = root.findall(cls.ns + "Fragment")
        assert len(fragments) == 1
        cls.fragment = fragments[0]

    def children(self, tag, parent=None):
        return (parent if parent is not None else self.fragment).findall(self.ns + tag)

    def category(self, name):
        """A Category value as this version spells it (v3 "Condition", v4 and later "condition")."""
        return name if self.VERSION == 3 else name[0].lower() + name[1:]

    def row_values(self, row):
        """{column: value} of a <Row>: Data's inner text in v3, its Value attribute in v4 and later."""
        data = self.children("Data", row)
        if self.VERSION == 3:
            return {d.get("Column"): d.text or "" for d in data}
        self.assertEqual([d.text for d in data], [None] * len(data))
        return {d.get("Column"): d.get("Value") for d in data}

    def test_custom_tables_match_the_schema(self):
        tables = {t.get("Id"): t for t in self.children("CustomTable")}
        self.assertEqual(sorted(tables), sorted(t.name for t in schema.TABLES))
        positions = {("Component", "Component"): 1, ("Binary", "Name"): 1}
        for t in schema.TABLES:
            for i, c in enumerate(t.columns):
                positions[(t.name, c.name)] = i + 1
        for t in schema.TABLES:
            columns = self.children("Column", tables[t.name])
            self.assertEqual([c.get("Id") for c in columns], [c.name for c in t.columns], t.name)
            for element, c in zip(columns, t.columns):
                where = f"{t.name}.{c.name}"
                a = element.attrib
                self.assertEqual(wix_column_idt_type(a), c.idt_type, where)
                self.assertEqual(a.get("PrimaryKey", "no") == "yes", c.key, where)
                if c.foreign:
                    self.assertEqual((a.get("KeyTable"), a.get("KeyColumn")),
                                     (c.foreign[0], str(positions[c.foreign])), where)
                else:
                    self.assertNotIn("KeyTable", a, where)
                    self.assertNotIn("KeyColumn", a, where)
                if c.condition:
                    self.assertEqual(a.get("Category"), self.category("Condition"), where)
                elif c.formatted:
                    self.assertEqual(a.get("Category"), self.category("Formatted"), where)
                else:
                    self.assertNotIn(a.get("Category"), (self.category("Condition"), self.category("Formatted")),
                                     where)
                self.assertEqual(a.get("Description"), c.description, where)
                self.assertEqual(set(a) - {"Id", "Type", "Width", "PrimaryKey", "Nullable", "KeyTable", "KeyColumn",
                                           "Category", "Description", "Localizable"}, set(), where)
            rows = [self.row_values(r) for r in self.children("Row", tables[t.name])]
            self.assertEqual(rows, [{c.name: v for c, v in zip(t.columns, row) if v != ""}
                                    for row in self.ROWS.get(t.name, [])], t.name)

    def test_binary_row_and_custom_actions_match_the_schema(self):
        binaries = self.children("Binary")
        self.assertEqual([b.get("Id") for b in binaries][:1], [schema.BINARY_NAME])
        self.assertTrue(binaries[0].get("SourceFile"))
        actions = {a.get("Id"): a.attrib for a in self.children("CustomAction")}
        self.assertEqual(len(actions), len(self.children("CustomAction")), "action ids are unique")
        self.assertEqual(sorted(actions), sorted(a.name for a in schema.ACTIONS))
        binary = "BinaryKey" if self.VERSION == 3 else "BinaryRef"
        for a in schema.ACTIONS:
            attrs = actions[a.name]
            self.assertEqual(attrs[binary], schema.BINARY_NAME, a.name)
            self.assertEqual(attrs["DllEntry"], a.entry, a.name)
            self.assertIn(a.entry, schema.EXPORTS, a.name)
            self.assertEqual(wix_custom_action_type(attrs, binary), a.type, f"{a.name}: {attrs}")

    def test_sequence_entries_match_the_schema(self):
        sequences = self.children("InstallExecuteSequence")
        self.assertEqual(len(sequences), 1)
        customs = self.children("Custom", sequences[0])
        if self.VERSION == 3:
            conditions = [(c.text or "").strip() for c in customs]
        else:
            # v4 and later take the condition in the Condition attribute only.
            self.assertEqual([c.text for c in customs], [None] * len(customs))
            conditions = [c.get("Condition", "") for c in customs]
        entries = [(c.get("Action"), int(c.get("Sequence")), condition) for c, condition in zip(customs, conditions)]
        self.assertEqual(entries, [(s.action, s.sequence, s.condition) for s in schema.SEQUENCE])
        for c in customs:
            self.assertNotIn("Before", c.attrib)
            self.assertNotIn("After", c.attrib)
            self.assertEqual(schema.action(c.get("Action")).started_by, "sequence", c.get("Action"))

    def test_error_rows_match_the_schema(self):
        uis = self.children("UI")
        self.assertEqual(len(uis), 1)
        if self.VERSION == 3:
            errors = [(int(e.get("Id")), e.text) for e in self.children("Error", uis[0])]
        else:
            errors = [(int(e.get("Id")), e.get("Message")) for e in self.children("Error", uis[0])]
            self.assertEqual([e.text for e in self.children("Error", uis[0])], [None] * len(errors))
        self.assertEqual(errors, [(e.number, e.text) for e in schema.ERRORS])


class Wix4FragmentTest(WixFragmentTest):
    VERSION = 4

    @classmethod
    def fragment_path(cls):
        return FRAGMENT4


def run_wxs(toml, out, *options):
    return subprocess.run([sys.executable, COMMAND, "wxs", toml, "-o", out, *options], capture_output=True,
                          text=True, timeout=120)


class Wxs3OutputTest(WixFragmentTest):
    """`driverdeploy wxs --wix 3` of the kit's example: the whole fragment, holding the TOML's rows."""
    TOML = KIT_TOMLS[0]

    @classmethod
    def fragment_path(cls):
        return cls.out

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="ddwxs-")
        cls.out = os.path.join(cls.work, "Drivers.wxs")
        result = run_wxs(cls.TOML, cls.out, "--wix", "3")
        assert result.returncode == 0, result.stderr
        cls.ROWS = toml_rows(cls.TOML)
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)


class Wxs4OutputTest(unittest.TestCase):
    """`driverdeploy wxs` (v4 and later) of the kit's examples: CustomTableRef rows of the schema's tables."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="ddwxs-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def test_rows_are_the_tomls_rows(self):
        for toml in KIT_TOMLS:
            with self.subTest(os.path.basename(toml)):
                out = os.path.join(self.work, "Drivers.wxs")
                result = run_wxs(toml, out)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                root = ET.parse(out).getroot()
                self.assertEqual(root.tag, WIX4_NS + "Wix")
                fragment, = root.findall(WIX4_NS + "Fragment")
                self.assertEqual([g.get("Id") for g in fragment.findall(WIX4_NS + "ComponentGroup")],
                                 ["DriverDeployRows"])
                self.assertEqual(fragment.findall(WIX4_NS + "CustomTable"), [])
                found = {}
                for ref in fragment.findall(WIX4_NS + "CustomTableRef"):
                    t = schema.table(ref.get("Id"))
                    self.assertNotIn(t.name, found, "one CustomTableRef per table")
                    found[t.name] = []
                    for row in ref.findall(WIX4_NS + "Row"):
                        data = row.findall(WIX4_NS + "Data")
                        columns = [d.get("Column") for d in data]
                        # The columns in the table's order, each once; a null field is left out.
                        self.assertEqual(columns, [c.name for c in t.columns if c.name in columns], t.name)
                        values = {d.get("Column"): d.get("Value") for d in data}
                        found[t.name].append([values.get(c.name, "") for c in t.columns])
                self.assertEqual(found, toml_rows(toml))

    def test_program_of_a_protected_service_is_a_binary_row_beside_the_rows(self):
        with open(os.path.join(self.work, "unprot.exe"), "wb") as f:
            f.write(b"MZ")
        toml = os.path.join(self.work, "protect.toml")
        with open(toml, "w") as f:
            f.write('[[protected_service]]\nid = "prot"\nname = "ddsvc"\nbinary = "unprot.exe"\n'
                    'unprotect_command = "/off"\n')
        os.makedirs(os.path.join(self.work, "wix"))
        for options, ns in (((), WIX4_NS), (("--wix", "3"), WIX_NS)):
            with self.subTest(options):
                out = os.path.join(self.work, "wix", "Drivers.wxs")
                self.assertEqual(run_wxs(toml, out, *options).returncode, 0)
                fragment, = ET.parse(out).getroot().findall(ns + "Fragment")
                self.assertIn(("prot", os.path.join("..", "unprot.exe")),
                              [(b.get("Id"), b.get("SourceFile")) for b in fragment.findall(ns + "Binary")])

    def test_errors_name_the_entry_and_write_nothing(self):
        toml = os.path.join(self.work, "bad.toml")
        with open(toml, "w") as f:
            f.write('[[driver]]\nid = "a"\ncomponent = "C"\ninf = "[INSTALLDIR]a.inf"\ntype = "filter"\n'
                    'attributes = ["EarlyConfigured"]\n')
        out = os.path.join(self.work, "Drivers.wxs")
        result = run_wxs(toml, out)
        self.assertEqual((result.returncode, result.stderr),
                         (2, f"{toml}: driver #1 'a': 'attributes': EarlyConfigured (0x10) is set by the library "
                             f"itself, never by the package\n"))
        self.assertFalse(os.path.exists(out))


class IdtImportTest(unittest.TestCase):
    """msibuild imports every IDT file into a fresh database; msiinfo and msidump read back the schema."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="ddidt-test-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def test_idt_files_import_into_a_fresh_database(self):
        for name in os.listdir(IDT_DIR):
            shutil.copyfile(os.path.join(IDT_DIR, name), os.path.join(self.work, name))
        # Binary.idt names its data file relative to the Binary folder of the import folder.
        os.makedirs(os.path.join(self.work, "Binary"))
        dll = b"MZ stand-in bytes of the DLL \x00\x01\x02"
        with open(os.path.join(self.work, "Binary", schema.DLL_NAME), "wb") as f:
            f.write(dll)
        path = os.path.join(self.work, "fresh.msi")
        files = sorted(n for n in os.listdir(self.work) if n.endswith(".idt"))
        result = subprocess.run(["msibuild", path, "-i"] + files, cwd=self.work, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual([n for n in os.listdir(self.work) if n.startswith(".gsf-save")], [])
        listed = subprocess.run(["msiinfo", "tables", path], capture_output=True, text=True, check=True).stdout.split()
        expected = [t.name for t in schema.TABLES] + ["CustomAction", "InstallExecuteSequence", "Error", "Binary"]
        for name in expected:
            self.assertIn(name, listed)

        with msidb.Package(path) as p:
            for t in schema.TABLES:
                got = p.table(t.name)
                self.assertIsNotNone(got, t.name)
                self.assertEqual(got.columns, [c.name for c in t.columns], t.name)
                self.assertEqual(got.types, [c.idt_type for c in t.columns], t.name)
                self.assertEqual(got.keys, t.keys, t.name)
                self.assertEqual(got.rows, [], t.name)
            actions = {r["Action"]: r for r in p.records("CustomAction")}
            self.assertEqual(sorted(actions), sorted(a.name for a in schema.ACTIONS))
            for a in schema.ACTIONS:
                self.assertEqual((int(actions[a.name]["Type"]), actions[a.name]["Source"], actions[a.name]["Target"]),
                                 (a.type, schema.BINARY_NAME, a.entry), a.name)
            sequence = sorted((r["Action"], r["Condition"], int(r["Sequence"]))
                              for r in p.records("InstallExecuteSequence"))
            self.assertEqual(sequence, sorted((s.action, s.condition, s.sequence) for s in schema.SEQUENCE))
            errors = sorted((int(r["Error"]), r["Message"]) for r in p.records("Error"))
            self.assertEqual(errors, [(e.number, e.text) for e in schema.ERRORS])
            self.assertEqual([r["Name"] for r in p.records("Binary")], [schema.BINARY_NAME])
            with open(p.binary_path(schema.BINARY_NAME), "rb") as f:
                self.assertEqual(f.read(), dll)


if __name__ == "__main__":
    unittest.main(verbosity=2)
