"""driverdeploy plan without Wine: the CustomActionData decoding it reports from, and the copy of the package it
runs (every script-phase name bound to the probe's do-nothing entry point with its type bits kept, the recording
step just before InstallFinalize, room made when there is none)."""

import os
import subprocess
import sys
import tempfile
import shutil
import unittest

SOURCE_DIR = os.environ.get("DD_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "authoring"))

from driverdeploy import cad, msidb, plan, schema  # noqa: E402

FIXTURES = os.path.join(SOURCE_DIR, "tests", "fixtures", "authoring")
DLL = os.environ.get("DD_DLL", os.path.join(SOURCE_DIR, "build", "windows", "driverdeploy.dll"))
KIT = os.path.join(SOURCE_DIR, "authoring", "bin", "driverdeploy")


class DecodingTest(unittest.TestCase):
    def test_nested_lists_escapes_and_execution_order(self):
        # A package list of three, written out by hand: 'a' carries a condition holding the record separator
        # and a registry entry whose value holds the registry record separator; 'b' and 'c' only sequences.
        text = ("a*act=1|condition=x||y|id=a|reg=r1<act(1)id(r1)name(N)root(2)value(p))q|seq=10;"
                "b*id=b|seq=20;c*atr=-2147483648|id=c|seq=10")
        packages = cad.decode_packages(text)
        self.assertEqual(["a", "c", "b"], [p["id"] for p in packages])
        self.assertEqual("x|y", packages[0]["condition"])
        self.assertEqual([{"id": "r1", "root": 2, "key": "", "name": "N", "value": "p)q", "condition": "",
                           "drv": "", "act": 1}], packages[0]["reg"])
        self.assertEqual(0x80000000, packages[1]["atr"])
        self.assertEqual(0, packages[2]["act"])

    def test_values_and_defaults(self):
        cases = [
            ("id=p", dict(seq=cad.PACKAGE_SEQUENCE_DEFAULT, act=0, guids=[])),
            ("id=p|seq=", dict(seq=cad.PACKAGE_SEQUENCE_DEFAULT)),
            ("id=p|seq=-1", dict(seq=0xFFFFFFFF)),
            ("id=p|act= 3x", dict(act=3)),
            ("id=p|act=x", dict(act=0)),
            ("guids0=G0|guids1=G1|guids3=G3|id=p", dict(guids=["G0", "G1"])),
            ("id=p|inf=ends|||type=1", dict(inf="ends|", type=1)),
        ]
        for record, expected in cases:
            with self.subTest(record=record):
                (package,) = cad.decode_packages("p*" + record.replace(";", ";;"))
                self.assertEqual(expected, {k: package[k] for k in expected})

    def test_catalogs_and_protections(self):
        (catalog,) = cad.decode_catalogs("k*cmp=C|id=k|name=n.cat|path=C:\\x.cat")
        self.assertEqual({"id": "k", "name": "n.cat", "path": "C:\\x.cat", "cmp": "C", "condition": ""}, catalog)
        good, bad = cad.decode_protections("s1*id=s1|name=svc|zbin=TVo=;s2*id=s2|zbin=*not base64*")
        self.assertEqual(b"MZ", good["zbin"])
        self.assertIsNone(bad["zbin"])

    def test_bit_names(self):
        self.assertEqual("0x0", cad.bit_names(0, schema.DRIVER_PACKAGE_BITS))
        self.assertEqual("0x24 InstallEarly|StartTypeOnFinalize", cad.bit_names(0x24, schema.DRIVER_PACKAGE_BITS))
        self.assertEqual("0x10002 MoveToGroupFront|0x10000", cad.bit_names(0x10002, schema.DRIVER_PACKAGE_BITS))


@unittest.skipUnless(os.path.isfile(DLL), f"no {DLL}: build the windows preset")
class PlanCopyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="plan-copy-")
        base = os.path.join(cls.work, "base.msi")
        subprocess.run(["wixl", "-a", "x64", "-o", base, os.path.join(FIXTURES, "product.wxs")], check=True,
                       capture_output=True, timeout=120)
        cls.msi = os.path.join(cls.work, "product.msi")
        subprocess.run([KIT, "add", base, os.path.join(FIXTURES, "e2e-filter.toml"), "-o", cls.msi, "--dll", DLL],
                       check=True, capture_output=True, timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def copy(self, source):
        target = os.path.join(self.work, "copy.msi")
        bindings, tables = plan.make_plan_copy(source, target, DLL)
        with msidb.Package(target) as package:
            return bindings, tables, {n: package.table(n).records() for n in
                                      ("CustomAction", "InstallExecuteSequence", "Property", "Binary")}

    def test_script_phase_names_do_nothing_and_the_record_comes_last(self):
        with msidb.Package(self.msi) as original:
            before = {r["Action"]: r for r in original.records("CustomAction")}
        bindings, tables, copy = self.copy(self.msi)
        self.assertEqual(before, bindings)
        self.assertEqual(["ddfilt"], [r["DriverPackage"] for r in tables["DriverPackage"]])
        actions = {r["Action"]: r for r in copy["CustomAction"]}
        script = set(plan.script_phase_names())
        for name, row in before.items():
            expected = dict(row, Source=plan.PROBE_BINARY, Target="SkipScriptAction") if name in script else row
            self.assertEqual(expected, actions[name], name)
        # Every scheduled name of the kit, InstallDriversFinalize too, is among those bound.
        self.assertEqual({a.name for a in schema.ACTIONS if a.type & schema.CA_IN_SCRIPT}, script & set(before))
        self.assertEqual({"Action": plan.RECORD_ACTION, "Type": "1", "Source": plan.PROBE_BINARY,
                          "Target": "RecordPlan"}, {k: actions[plan.RECORD_ACTION][k] for k in
                                                    ("Action", "Type", "Source", "Target")})
        order = sorted(copy["InstallExecuteSequence"], key=lambda r: int(r["Sequence"]))
        names = [r["Action"] for r in order]
        self.assertEqual(["InstallDriversFinalize", plan.RECORD_ACTION, "InstallFinalize"],
                         names[names.index("InstallFinalize") - 2:names.index("InstallFinalize") + 1])
        self.assertEqual(plan.SWITCH, next(r for r in order if r["Action"] == plan.RECORD_ACTION)["Condition"])
        properties = {r["Property"]: r["Value"] for r in copy["Property"]}
        self.assertEqual(plan.RECORD_FILE, properties["DriverDeployPlanFile"])
        self.assertEqual(plan.recorded_names(), properties["DriverDeployPlanNames"].split(";"))
        self.assertIn(plan.PROBE_BINARY, [r["Name"] for r in copy["Binary"]])

    def test_no_room_before_install_finalize_moves_it_up(self):
        crowded = os.path.join(self.work, "crowded.msi")
        shutil.copyfile(self.msi, crowded)
        with msidb.Package(crowded) as package:
            sequence = package.table("InstallExecuteSequence")
            at = {r[0]: int(r[2]) for r in sequence.rows}
            for row in sequence.rows:
                if row[0] == "InstallDriversFinalize":
                    row[2] = str(at["InstallFinalize"] - 1)
            msidb.write_tables(crowded, [sequence])
        _, _, copy = self.copy(crowded)
        seq = {r["Action"]: int(r["Sequence"]) for r in copy["InstallExecuteSequence"]}
        self.assertEqual(at["InstallFinalize"] - 1, seq["InstallDriversFinalize"])
        self.assertEqual(at["InstallFinalize"], seq[plan.RECORD_ACTION])
        self.assertEqual(at["InstallFinalize"] + 1, seq["InstallFinalize"])

    def test_a_package_without_driver_actions_has_nothing_to_plan(self):
        base = os.path.join(self.work, "base.msi")
        with self.assertRaisesRegex(plan.PlanError, "sequences none of driverdeploy's immediate actions"):
            self.copy(base)


class CommandLineTest(unittest.TestCase):
    def test_missing_probe_and_wrapper_are_named(self):
        for args, said in [(["--probe", "/nonexistent/probe.dll"], "no plan probe at /nonexistent/probe.dll"),
                           (["--probe", KIT, "--wine-run", "/nonexistent/wine-run"],
                            "no wine-run wrapper at /nonexistent/wine-run")]:
            with self.subTest(args=args):
                result = subprocess.run([KIT, "plan", os.path.join(FIXTURES, "product.wxs"), *args, "REMOVE=ALL"],
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(1, result.returncode, result.stderr)
                self.assertIn(said, result.stderr)


if __name__ == "__main__":
    unittest.main()
