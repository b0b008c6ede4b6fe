"""driverdeploy add: a product built with wixl and one built with msibuild get the driver tables, the rows a
TOML file describes, the DLL, the actions, the sequence entries and the Error rows; the base's own rows stay;
adding again changes nothing; conflicting bases and broken TOML files are refused with their own messages."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("DD_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "authoring"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

import ddpkg  # noqa: E402
from driverdeploy import msidb, schema  # noqa: E402

COMMAND = os.path.join(SOURCE_DIR, "authoring", "bin", "driverdeploy")
FIXTURES = os.path.join(SOURCE_DIR, "tests", "fixtures")
PRODUCT_WXS = os.path.join(FIXTURES, "authoring", "product.wxs")
FILTER_TOML = os.path.join(FIXTURES, "authoring", "filter.toml")
DLL = os.environ.get("DD_DLL", os.path.join(SOURCE_DIR, "build", "windows", "driverdeploy.dll"))

# What filter.toml describes, as the rows it must become (written out here, not derived from the tool).
FILTER_ROWS = {
    "DriverPackage": [["ddfilt", "FilterDriver", "[INSTALLDIR]ddfilt.inf", "[INSTALLDIR]ddfilt.cat", "FltMgr", "",
                       str(0x0001 | 0x0400), "1", "", "", ""]],
    "DriverRegistry": [["ddfiltLevel", "2", "SYSTEM\\CurrentControlSet\\Services\\ddfilt\\Parameters", "Level", "#3",
                        "ddfilt", ""]],
    "DriverUpperFilter": [],
    "CryptCatalog": [["ddfiltCatalog", "ddfilt", "[INSTALLDIR]ddfilt.cat", "FilterDriver", ""]],
    "ServiceConfigProtection": [],
}


def run_add(*args, env=None, cwd=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, COMMAND, "add", *args], capture_output=True, text=True, env=full_env,
                          cwd=cwd, timeout=120)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class AddTestCase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="ddadd-test-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, text):
        with open(self.path(name), "w", encoding="utf-8") as f:
            f.write(text)
        return self.path(name)

    def wixl_product(self):
        out = self.path("product.msi")
        subprocess.run(["wixl", "-a", "x64", "-o", out,
                        PRODUCT_WXS], check=True, capture_output=True, timeout=60)
        return out

    def msibuild_product(self, name="base.msi", errors=None, actions=(), sequence=()):
        p = ddpkg.Package("ddkit-msibuild")
        p.component("FilterDriver", key_path="FilterDriver_ddfilt.inf")
        p.file("FilterDriver_ddfilt.inf", "FilterDriver", "ddfilt.inf",
               os.path.join(FIXTURES, "lifecycle", "ddfilt.inf"), 1)
        if errors is not None:
            p.tables["Error"].rows = [[str(k), v] for k, v in sorted(errors.items())]
        for action, type_, target in actions:
            p.custom_action(action, type_, target)
        p.sequence += list(sequence)
        return p.build(self.path(name))

    def add(self, base, toml, out, *extra):
        result = run_add(base, toml, "-o", out, "--dll", DLL, *extra, cwd=self.work)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result

    def assert_driverdeploy_rows(self, p):
        """The package holds the five tables as the schema defines them, every action, sequence entry and
        Error row, and the DLL."""
        for t in schema.TABLES:
            table = p.table(t.name)
            self.assertIsNotNone(table, t.name)
            self.assertEqual(table.columns, [c.name for c in t.columns], t.name)
            self.assertEqual(table.types, [c.idt_type for c in t.columns], t.name)
            self.assertEqual(table.keys, t.keys, t.name)
        actions = {r["Action"]: r for r in p.records("CustomAction")}
        for a in schema.ACTIONS:
            self.assertIn(a.name, actions)
            self.assertEqual((int(actions[a.name]["Type"]), actions[a.name]["Source"], actions[a.name]["Target"]),
                             (a.type, schema.BINARY_NAME, a.entry), a.name)
        sequence = {r["Action"]: (r["Condition"], int(r["Sequence"])) for r in p.records("InstallExecuteSequence")}
        for s in schema.SEQUENCE:
            self.assertEqual(sequence.get(s.action), (s.condition, s.sequence), s.action)
        self.assertEqual(read_bytes(p.binary_path(schema.BINARY_NAME)), read_bytes(DLL))

    def errors_of(self, p):
        return {int(r["Error"]): r["Message"] for r in p.records("Error")}


@unittest.skipUnless(os.path.isfile(DLL), f"no DLL at {DLL}")
class AddToProductsTest(AddTestCase):
    def test_wixl_product_gets_the_filter_driver_and_keeps_its_own_rows(self):
        base = self.wixl_product()
        out = self.path("out.msi")
        result = self.add(base, FILTER_TOML, out)
        self.assertIn("DriverPackage: 1 added", result.stdout)
        with msidb.Package(base) as before, msidb.Package(out) as after:
            self.assert_driverdeploy_rows(after)
            for name, rows in FILTER_ROWS.items():
                self.assertEqual(after.table(name).rows, rows, name)
            self.assertEqual(self.errors_of(after), {e.number: e.text for e in schema.ERRORS})
            for name, table in before.tables.items():
                kept = after.table(name)
                self.assertEqual((kept.columns, kept.types, kept.keys), (table.columns, table.types, table.keys), name)
                for row in table.rows:
                    self.assertIn(row, kept.rows, f"{name} row of the base")
            added = {"CustomAction": len(schema.ACTIONS), "InstallExecuteSequence": len(schema.SEQUENCE),
                     "Error": len(schema.ERRORS), "Binary": 1}
            for name, count in added.items():
                self.assertEqual(len(after.table(name).rows), len(before.table(name).rows) + count, name)
            self.assertEqual(after.records("File"), before.records("File"))
        self.assertTrue(os.path.exists(base), "the base is left as it was")
        self.assertEqual(sorted(os.listdir(self.work)), ["out.msi", "product.msi"], "no files left behind")

    def test_adding_the_same_description_again_changes_nothing(self):
        once = self.path("once.msi")
        twice = self.path("twice.msi")
        self.add(self.wixl_product(), FILTER_TOML, once)
        result = self.add(once, FILTER_TOML, twice)
        self.assertIn("DriverPackage: 0 added, 1 already there", result.stdout)
        # msitools write a package's Binary data into the current folder unless told otherwise.
        self.assertEqual(sorted(os.listdir(self.work)), ["once.msi", "product.msi", "twice.msi"],
                         "no files left behind")
        with msidb.Package(once) as a, msidb.Package(twice) as b:
            self.assertEqual(sorted(a.tables), sorted(b.tables))
            for name in a.tables:
                self.assertEqual(sorted(a.table(name).rows), sorted(b.table(name).rows), name)
            self.assertEqual(read_bytes(a.binary_path(schema.BINARY_NAME)), read_bytes(b.binary_path(schema.BINARY_NAME)))

    def test_msibuild_product_keeps_the_authors_error_text_that_shows_the_object(self):
        own = "Driver setup failed for [3] ([2])."
        errors = dict(ddpkg.ERRORS)
        errors[27300] = own
        base = self.msibuild_product(errors=errors)
        out = self.path("out.msi")
        result = self.add(base, FILTER_TOML, out)
        self.assertIn("keeping the package's own text of Error 27300", result.stdout)
        with msidb.Package(out) as after:
            self.assert_driverdeploy_rows(after)
            for name, rows in FILTER_ROWS.items():
                self.assertEqual(after.table(name).rows, rows, name)
            expected = {e.number: e.text for e in schema.ERRORS}
            expected[27300] = own
            self.assertEqual(self.errors_of(after), expected)
            # The base's DriverDeploy Binary row held the same DLL: one row, not two.
            self.assertEqual([r["Name"] for r in after.records("Binary")].count(schema.BINARY_NAME), 1)

    def test_lists_numbers_and_names_become_the_column_texts(self):
        g1, g2 = "{11111111-2222-3333-4444-555555555555}", "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}"
        disk = "{4D36E967-E325-11CE-BFC1-08002BE10318}"
        toml = self.write("lists.toml", f"""
[[driver]]
id = "dddev"
component = "FilterDriver"
inf = "[INSTALLDIR]dddev.inf"
type = 3
attributes = [0x8, "WinRe"]
dependencies = ["Alpha", "Beta"]
previous_versions = ["{g1}", "{g2}"]
sequence = 5
hardware_id = 'ROOT\\dddev'
condition = "VersionNT64"
  [[driver.registry]]
  id = "multi"
  root = 0
  key = 'Software\\dd'
  name = "List"
  value = ["x", "y"]
  [[driver.registry]]
  id = "one"
  root = "HKEY_CURRENT_USER"
  key = 'Software\\dd'
  name = "One"
  value = ["only"]
  [[driver.upper_filter]]
  id = "dddevDisk"
  class_guid = "{disk}"
  service = "dddev"
  dependencies = ["partmgr"]
  attributes = ["AfterLastDependency"]
""")
        out = self.path("out.msi")
        self.add(self.wixl_product(), toml, out)
        with msidb.Package(out) as p:
            self.assertEqual(p.table("DriverPackage").rows,
                             [["dddev", "FilterDriver", "[INSTALLDIR]dddev.inf", "", "Alpha[~]Beta", "ROOT\\dddev",
                               str(0x8 | 0x40), "3", "VersionNT64", "5", f"{g1};{g2}"]])
            self.assertEqual(sorted(p.table("DriverRegistry").rows),
                             [["multi", "0", "Software\\dd", "List", "x[~]y", "dddev", ""],
                              ["one", "1", "Software\\dd", "One", "only[~]", "dddev", ""]])
            self.assertEqual(p.table("DriverUpperFilter").rows,
                             [["dddevDisk", disk, "dddev", "partmgr", "1", "dddev", ""]])

    def test_protected_service_program_and_the_dll_named_in_the_description(self):
        program = self.write("unprotect.exe", "MZ stand-in program")
        dll = self.write("kit.dll", "MZ stand-in dll")
        toml = self.write("protect.toml", f"""
dll = "kit.dll"
[[protected_service]]
id = "ddsvcProtect"
name = "ddsvc"
binary = "unprotect.exe"
unprotect_command = '"[ddsvcProtect]" /off'
attributes = ["ConditionOnly"]
component = "FilterDriver"
""")
        out = self.path("out.msi")
        result = run_add(self.wixl_product(), toml, "-o", out, env={"DD_DLL": DLL})
        self.assertEqual(result.returncode, 0, result.stderr)
        with msidb.Package(out) as p:
            self.assertEqual(p.table("ServiceConfigProtection").rows,
                             [["ddsvcProtect", "ddsvc", "ddsvcProtect", '"[ddsvcProtect]" /off', "1", "FilterDriver", ""]])
            self.assertEqual(read_bytes(p.binary_path("ddsvcProtect")), read_bytes(program))
            # The description's dll comes before DD_DLL.
            self.assertEqual(read_bytes(p.binary_path(schema.BINARY_NAME)), read_bytes(dll))
        # --dll comes before the description's.
        again = self.path("again.msi")
        result = run_add(out, toml, "-o", again, "--dll", DLL)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f"replacing the package's Binary row '{schema.BINARY_NAME}'", result.stdout)
        with msidb.Package(again) as p:
            self.assertEqual(read_bytes(p.binary_path(schema.BINARY_NAME)), read_bytes(DLL))


@unittest.skipUnless(os.path.isfile(DLL), f"no DLL at {DLL}")
class RefusedTest(AddTestCase):
    def assert_refused(self, result, out, *fragments, code=2):
        self.assertEqual(result.returncode, code, result.stdout + result.stderr)
        for fragment in fragments:
            self.assertIn(fragment, result.stderr)
        self.assertFalse(os.path.exists(out), "nothing is written")
        self.assertEqual([n for n in os.listdir(os.path.dirname(out)) if n.startswith(".ddadd-")], [])

    def test_bases_that_disagree_with_the_kit(self):
        wrong_errors = dict(ddpkg.ERRORS)
        wrong_errors[27310] = "Catalog trouble."
        cases = [
            ("an action of the kit's name with other type bits",
             dict(actions=[("InstallDrivers", schema.DEFERRED, "InstallDrivers")]),
             ["table 'CustomAction' row 'InstallDrivers' differs", f"Type '{schema.DEFERRED}'"]),
            ("a sequence entry at another place",
             dict(sequence=[("InstallDriversFinalize", 'NOT REMOVE~="ALL"', 6500)]),
             ["table 'InstallExecuteSequence' row 'InstallDriversFinalize' differs", "Sequence '6500'"]),
            ("an Error text without the failure's object",
             dict(errors=wrong_errors), ["table 'Error' row '27310' differs", "Catalog trouble."]),
        ]
        for what, options, fragments in cases:
            with self.subTest(what):
                base = self.msibuild_product(name=f"base-{len(what)}.msi", **options)
                out = self.path("out.msi")
                result = run_add(base, FILTER_TOML, "-o", out, "--dll", DLL)
                self.assert_refused(result, out, base, *fragments)
                self.assertEqual(len(result.stderr.strip().splitlines()), 1, result.stderr)

    def test_base_with_a_driver_table_of_other_columns(self):
        base = self.wixl_product()
        table = msidb.TableData("DriverPackage", ["DriverPackage", "Component_"], ["s72", "s72"], ["DriverPackage"])
        msidb.write_tables(base, [table])
        out = self.path("out.msi")
        self.assert_refused(run_add(base, FILTER_TOML, "-o", out, "--dll", DLL), out,
                            "table 'DriverPackage' exists with other columns")

    def test_broken_descriptions(self):
        driver = '[[driver]]\nid = "d"\ncomponent = "FilterDriver"\ninf = "[INSTALLDIR]ddfilt.inf"\ntype = "filter"\n'
        cases = [
            ("not TOML", "[[driver]\n", "not valid TOML"),
            ("unknown top-level key", driver + "[drivers]\n", "top level: unknown key 'drivers'"),
            ("unknown driver key", driver + 'inff = "x"\n', "driver #1 'd': unknown key 'inff'"),
            ("missing inf", '[[driver]]\nid = "d"\ncomponent = "FilterDriver"\ntype = 1\n',
             "driver #1 'd': missing required key 'inf'"),
            ("missing id", '[[driver]]\ncomponent = "FilterDriver"\ninf = "a.inf"\ntype = 1\n',
             "driver #1: missing required key 'id'"),
            ("empty inf", driver.replace('"[INSTALLDIR]ddfilt.inf"', '""'), "'inf' must not be empty"),
            ("unknown component", driver.replace('"FilterDriver"', '"NoSuchComponent"'),
             "'component' names component 'NoSuchComponent', which the base package does not have"),
            ("list separator in a package id", driver.replace('id = "d"', 'id = "d;e"'),
             "driver #1 'd;e': 'id' 'd;e' holds ';'"),
            ("list separator in a registry id",
             driver + '[[driver.registry]]\nid = "r>1"\nroot = "HKLM"\nkey = "Software\\\\dd"\n',
             "driver 'd' registry #1 'r>1': 'id' 'r>1' holds '>'"),
            ("unknown attribute name", driver + 'attributes = ["StartServce"]\n',
             "unknown DriverPackage attribute 'StartServce'"),
            ("unknown attribute bits", driver + "attributes = [0x8000]\n", "32768 holds bits DriverPackage does not know"),
            ("attribute the library sets by name", driver + 'attributes = ["StartService", "EarlyConfigured"]\n',
             "'attributes': EarlyConfigured (0x10) is set by the library itself, never by the package"),
            ("unknown type name", driver.replace('type = "filter"', 'type = "printer"'), "unknown driver type 'printer'"),
            ("unknown type number", driver.replace('type = "filter"', "type = 7"), "unknown driver type 7"),
            ("dependencies as text", driver + 'dependencies = "FltMgr"\n', "'dependencies' must be a list of strings"),
            ("previous version not a GUID", driver + 'previous_versions = ["1.0"]\n',
             "'previous_versions' item '1.0' is not a component code"),
            ("sequence out of range", driver + "sequence = 4294967296\n", "'sequence' 4294967296 is outside"),
            ("id used twice", driver + driver, "driver #2 'd': driver id 'd' is used twice"),
            ("unknown registry root", driver + '[[driver.registry]]\nid = "r"\nroot = "HKU"\nkey = "Software"\n',
             "unknown registry root 'HKU'"),
            ("upper filter class not a GUID",
             driver + '[[driver.upper_filter]]\nid = "u"\nclass_guid = "Disk"\nservice = "ddfilt"\n',
             "driver 'd' upper_filter #1 'u': 'class_guid' 'Disk' is not a GUID"),
            ("upper filter attribute of another table",
             driver + '[[driver.upper_filter]]\nid = "u"\nclass_guid = "{4D36E967-E325-11CE-BFC1-08002BE10318}"\n'
                      'service = "ddfilt"\nattributes = ["StartService"]\n',
             "unknown DriverUpperFilter attribute 'StartService'"),
            ("catalog without path", '[[catalog]]\nid = "c"\n', "catalog #1 'c': missing required key 'path'"),
            ("protected service program missing",
             '[[protected_service]]\nid = "p"\nname = "svc"\nbinary = "missing.exe"\n', "'binary' names no file"),
            ("id longer than the column", driver.replace('id = "d"', f'id = "{"d" * 73}"'),
             "holds at most 72"),
            ("boolean as a string", driver + "catalog = true\n", "'catalog' must be a string, not a boolean"),
        ]
        base = self.wixl_product()
        out = self.path("out.msi")
        seen = set()
        for what, text, fragment in cases:
            with self.subTest(what):
                toml = self.write("bad.toml", text)
                result = run_add(base, toml, "-o", out, "--dll", DLL)
                self.assert_refused(result, out, fragment, toml)
                self.assertEqual(len(result.stderr.strip().splitlines()), 1, result.stderr)
                self.assertNotIn(result.stderr, seen, "each case has its own message")
                seen.add(result.stderr)

    def test_usage_and_tool_failures(self):
        base = self.wixl_product()
        out = self.path("out.msi")
        not_msi = self.write("not.msi", "not a package")
        cases = [
            ("no output option", [base, FILTER_TOML, "--dll", DLL], 2, "-o"),
            ("no such base", [self.path("none.msi"), FILTER_TOML, "-o", out, "--dll", DLL], 2, "no such base package"),
            ("no such description", [base, self.path("none.toml"), "-o", out, "--dll", DLL], 2,
             "no such driver description"),
            ("no DLL", [base, FILTER_TOML, "-o", out, "--dll", self.path("none.dll")], 2, "no DLL at"),
            ("base is no package", [not_msi, FILTER_TOML, "-o", out, "--dll", DLL], 1, "msidump"),
        ]
        for what, args, code, fragment in cases:
            with self.subTest(what):
                self.assert_refused(run_add(*args), out, fragment, code=code)


if __name__ == "__main__":
    unittest.main(verbosity=2)
