"""The immediate driver actions under a real msiexec run: their decisions in
the log, the package lists they publish, and what they schedule, in which
order and with which data. The script-phase names are bound to the recording
double, which writes what it was handed to a file in the prefix; "FailScript"
(DDTEST_FAIL=1) fails the script so that the rollback actions record too."""

import os
import subprocess

import ddpkg
from ddpkg import decode_packages, decode_registry_entries  # noqa: F401

FIX = os.path.join(ddpkg.FIXTURES, "scheduling")
CLASS_GUID = "{D1E2F3A4-0000-4000-8000-00DD7E570001}"
CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\" + CLASS_GUID
APP_KEY = "SOFTWARE\\DDTest"
INSTALL_DIR = "C:\\Program Files\\DDTest\\"
START_TYPE_ON_FINALIZE = 0x20
EARLY_CONFIGURED = 0x10
COST = 10000000


def driver_msi(work, name, drivers, version="1.0.0", product_code=None, install_dir="DDTest", early=False):
    """A package whose components carry the fixture INF and catalog of each driver (in one embedded cabinet)
    and whose DriverPackage rows are given as {id: keyword arguments of ddpkg.driver_package}."""
    p = ddpkg.Package(name, version=version, product_code=product_code)
    p.rows("Directory")[2][2] = install_dir
    ddpkg.add_driver_tables(p)
    members = {}
    seq = 1
    for id_, args in drivers.items():
        stem = args.pop("files", "dd" + id_)
        component = args.pop("component", id_.capitalize())
        members.update(ddpkg.driver_files(p, component, [stem + ".inf", stem + ".cat"], FIX, seq,
                                          guid=args.pop("guid", None)))
        seq += 2
        ddpkg.driver_package(p, id_, component, f"[INSTALLDIR]{stem}.inf", f"[INSTALLDIR]{stem}.cat", **args)
    p.cabinet("drivers.cab", members, work)
    ddpkg.driver_actions(p, early=early)
    return p


class Run:
    """One msiexec run: its exit code, the library's lines and what the double recorded."""

    def __init__(self, case, code, log):
        self.code, self.log = code, log
        self.lines = ddpkg.library_lines(log)
        self.records = ddpkg.recorded_actions(case.wine)
        case.runs.append(self)

    def said(self, action):
        return [t for a, t in self.lines if a == action]

    def names(self):
        """What the script phase ran, in order."""
        return [name for name, _ in self.records if not name.startswith("scheduled:")]

    def data(self, name):
        """What the action named was handed when it ran, or, as "scheduled:<name>", when it was scheduled."""
        found = [d for n, d in self.records if n == name]
        assert len(found) == 1, f"{name}: {self.names()}"
        return found[0]

    def packages(self, name):
        return decode_packages(self.data(name))

    def published(self):
        return {n: d for n, d in self.records if n in ddpkg.PUBLISHED_LISTS}


class ScheduledDriverActions(ddpkg.PackageTestCase):
    def setUp(self):
        super().setUp()
        self.runs = []

    def run_msiexec(self, verb, msi, **properties):
        """verb "i", "x", or "repair" (all features reinstalled)."""
        if verb == "repair":
            verb = "i"
            properties.update(REINSTALL="ALL", REINSTALLMODE="omus")
        code, log = self.wine.msiexec("/" + verb, ddpkg.unix_to_windows(msi), properties=properties)
        return Run(self, code, log)

    def seed_registry(self):
        code, out = ddpkg.import_registry(self.wine, {APP_KEY: {"Chain": ["one", "two"]},
                                                      CLASS_KEY: {"UpperFilters": ["partmgr", "other"]}})
        self.assertEqual(0, code, out)

    def create_services(self, *names):
        for name in names:
            code, out = self.wine.run("sc", "create", name, "binPath=",
                                      f"C:\\windows\\system32\\drivers\\{name}.sys", "type=", "kernel")
            self.assertEqual(0, code, out)

    def assertInOrder(self, lines, expected):
        positions = []
        for text in expected:
            self.assertIn(text, lines)
            positions.append(lines.index(text))
        self.assertEqual(sorted(positions), positions, expected)

    def test_install_variants_repair_and_uninstall(self):
        # alpha: sequenced, finalized, with a multi-string appended to a value already there;
        # beta: unsequenced, removes its previous version, with an upper filter placed before "other".
        drivers = {"alpha": dict(attributes=START_TYPE_ON_FINALIZE, sequence=10),
                   "beta": dict(attributes=0x8)}
        p = driver_msi(self.work, "drivers", drivers)
        ddpkg.driver_registry(p, "reg_chain", "alpha", APP_KEY, "Chain", "[~]ddalpha")
        ddpkg.upper_filter(p, "uf_beta", "beta", CLASS_GUID, "ddbeta", dependencies="other")
        msi = p.build(self.package_path())
        self.seed_registry()
        alpha_inf, alpha_cat = INSTALL_DIR + "ddalpha.inf", INSTALL_DIR + "ddalpha.cat"

        # Fresh install, failed at the end of the script so that the rollback action runs as well.
        run = self.run_msiexec("i", msi, DDTEST_FAIL="1")
        self.assertEqual(ddpkg.EXIT_FAILURE, run.code, run.log[-3000:])
        said = run.said("InstallDrivers")
        # Every install decision before every rollback decision, then the configuration.
        self.assertInOrder(said, [
            "Need to install 'alpha' driver. Component to do 1.",
            "Need to install 'beta' driver. Component to do 1.",
            "Need to rollback installation of 'alpha' driver. Component to do 1.",
            "Need to rollback installation of 'beta' driver. Component to do 1.",
            f"Configured installation of driver package alpha, {alpha_inf}, {alpha_cat}, , 32, 1. Action: 1.",
            f"Configured installation of driver package beta, {INSTALL_DIR}ddbeta.inf, {INSTALL_DIR}ddbeta.cat, "
            ", 8, 1. Action: 1.",
            f"Configured rollback of driver package alpha, {alpha_inf}, {alpha_cat}, , 0, 1. Action: 2.",
            f"Configured rollback of driver package beta, {INSTALL_DIR}ddbeta.inf, {INSTALL_DIR}ddbeta.cat, "
            ", 8, 1. Action: 2.",
        ])
        # Scheduled rollback first; the script runs the deferred action, and the rollback one after the failure.
        self.assertEqual(["InstallDriversRollback_x64", "InstallDriversDeferred_x64"],
                         ddpkg.actions_started_within(run.log, "InstallDrivers"))
        self.assertEqual(["InstallDriversDeferred_x64", "DriversToInstall", "DriversToReinstall",
                          "DriversToInstallEarly", "DriversToUninstall", "InstallDriversFinalize", "FailScript",
                          "InstallDriversRollback_x64"], run.names())
        self.assertEqual({"DriversToInstall": "alpha;beta;", "DriversToReinstall": "", "DriversToInstallEarly": "",
                          "DriversToUninstall": ""}, run.published())
        deferred = run.packages("InstallDriversDeferred_x64")
        self.assertEqual([("alpha", 10, 1, 32), ("beta", 65535, 1, 8)],
                         [(x["id"], x["seq"], x["act"], x["atr"]) for x in deferred])
        self.assertEqual([alpha_inf, alpha_cat, COST], [deferred[0]["inf"], deferred[0]["cat"], deferred[0]["cost"]])
        self.assertEqual([("reg_chain", 2, APP_KEY, "Chain", "one[~]two[~]ddalpha", 3)],
                         [(e["id"], e["root"], e["key"], e["name"], e["value"], e["act"]) for e in deferred[0]["reg"]])
        self.assertEqual([("upf_uf_beta", 2, CLASS_KEY, "UpperFilters", "partmgr[~]ddbeta[~]other", 3)],
                         [(e["id"], e["root"], e["key"], e["name"], e["value"], e["act"]) for e in deferred[1]["reg"]])
        self.assertEqual(run.data("scheduled:InstallDriversRollback_x64"), run.data("InstallDriversRollback_x64"))
        rollback = run.packages("InstallDriversRollback_x64")
        self.assertEqual([("alpha", 2, 0), ("beta", 2, 8)], [(x["id"], x["act"], x["atr"]) for x in rollback])
        self.assertEqual(("one[~]two", 5), (rollback[0]["reg"][0]["value"], rollback[0]["reg"][0]["act"]))
        self.assertEqual(("partmgr[~]other", 5), (rollback[1]["reg"][0]["value"], rollback[1]["reg"][0]["act"]))
        self.assertEqual(["alpha"], [x["id"] for x in decode_packages(run.data("InstallDriversFinalize"))])

        # "DISABLEDRIVERSROLLBACK" with any value: no rollback action, the deferred one still scheduled;
        # rollback itself is not disabled, so StartTypeOnFinalize stays.
        run = self.run_msiexec("i", msi, DDTEST_FAIL="1", DISABLEDRIVERSROLLBACK="0")
        self.assertEqual(ddpkg.EXIT_FAILURE, run.code, run.log[-3000:])
        self.assertEqual(["InstallDriversDeferred_x64"], ddpkg.actions_started_within(run.log, "InstallDrivers"))
        self.assertIn("InstallDriversDeferred_x64", run.names())
        self.assertNotIn("InstallDriversRollback_x64", run.names())
        self.assertEqual(32, run.packages("InstallDriversDeferred_x64")[0]["atr"])

        # "DISABLEROLLBACK" = "1": StartTypeOnFinalize removed, the reason logged once per package configured.
        # The installer itself answers the switch with "RollbackDisabled", which is asked first.
        run = self.run_msiexec("i", msi, DISABLEROLLBACK="1")
        self.assertEqual(ddpkg.EXIT_SUCCESS, run.code, run.log[-3000:])
        said = run.said("InstallDrivers")
        self.assertEqual(2, said.count("RollbackDisabled specified."))
        self.assertEqual(["Force removed StartTypeOnFinalize attribute from 'alpha' due to rollback disabled.",
                          "Force removed StartTypeOnFinalize attribute from 'beta' due to rollback disabled."],
                         [t for t in said if t.startswith("Force removed StartTypeOnFinalize")])
        self.assertEqual([0, 8], [x["atr"] for x in run.packages("InstallDriversDeferred_x64")])
        self.assertEqual([], decode_packages(run.data("InstallDriversFinalize")))

        # Repair of the installed product with both services present: reinstall over the present version.
        self.create_services("ddalpha", "ddbeta")
        run = self.run_msiexec("repair", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, run.code, run.log[-3000:])
        said = run.said("InstallDrivers")
        self.assertIn("Need to install 'alpha' driver. Component to do 3.", said)
        self.assertIn("Skip rollback installation of 'alpha' driver. Rollback must be processed in "
                      "UninstallDriversRollback action.", said)
        self.assertIn(f"Configured installation of driver package alpha, {alpha_inf}, {alpha_cat}, , 32, 1. "
                      "Action: 3.", said)
        self.assertEqual([("alpha", 3), ("beta", 1)],
                         [(x["id"], x["act"]) for x in run.packages("InstallDriversDeferred_x64")])
        published = run.published()
        self.assertEqual("alpha;beta;", published["DriversToInstall"])
        self.assertEqual("alpha;beta;", published["DriversToReinstall"])
        # beta removes its previous version, so it is uninstalled first, but it stays: not listed as going away.
        self.assertIn("Need to uninstall 'beta' driver. Component to do 3.", run.said("UninstallDrivers"))
        self.assertEqual(["beta"], [x["id"] for x in run.packages("UninstallDriversDeferred_x64")])
        self.assertEqual("", published["DriversToUninstall"])

        # Undoing the repair (the data scheduled; Wine runs no rollback script after a failed maintenance run):
        # the uninstall rollback reinstalls alpha over its present version, and installs
        # beta (which removes its previous version) afresh; the install rollback leaves alpha to it.
        self.assertEqual(["beta"], [x["id"] for x in run.packages("scheduled:InstallDriversRollback_x64")])
        self.assertEqual([("alpha", 3, alpha_inf), ("beta", 1, INSTALL_DIR + "ddbeta.inf")],
                         [(x["id"], x["act"], x["inf"]) for x in run.packages("scheduled:UninstallDriversRollback_x64")])

        # Uninstall with alpha's service gone and rollback based on the driver's status: only beta is listed
        # as going away, and undoing alpha's removal would uninstall it again.
        code, out = self.wine.run("sc", "delete", "ddalpha")
        self.assertEqual(0, code, out)
        run = self.run_msiexec("x", msi, ROLLBACKBASEDONDRIVERSTATUS="1")
        self.assertEqual(ddpkg.EXIT_SUCCESS, run.code, run.log[-3000:])
        self.assertEqual(["UninstallDriversRollback_x64", "UninstallDriversDeferred_x64"],
                         ddpkg.actions_started_within(run.log, "UninstallDrivers"))
        self.assertEqual("beta;", run.published()["DriversToUninstall"])
        uninstall = run.packages("UninstallDriversDeferred_x64")
        self.assertEqual([("alpha", 2, 0x120, alpha_inf), ("beta", 2, 0x108, INSTALL_DIR + "ddbeta.inf")],
                         [(x["id"], x["act"], x["atr"], x["inf"]) for x in uninstall])
        self.assertEqual([("reg_chain", "one[~]two", 4)], [(e["id"], e["value"], e["act"]) for e in uninstall[0]["reg"]])
        self.assertEqual([("upf_uf_beta", "partmgr[~]other", 4)],
                         [(e["id"], e["value"], e["act"]) for e in uninstall[1]["reg"]])
        self.assertEqual([("alpha", 2, 0x100), ("beta", 1, 0x108)],
                         [(x["id"], x["act"], x["atr"])
                          for x in run.packages("scheduled:UninstallDriversRollback_x64")])

    def test_major_upgrade_uninstalls_the_previous_version_from_its_own_files(self):
        old_guid = ddpkg.new_guid()
        old = driver_msi(self.work, "drivers", {"alpha": dict(guid=old_guid, component="AlphaV1")})
        old_msi = old.build(self.package_path("v1.msi"))
        # The new version's component is another one, in another folder, and names the old one.
        new = driver_msi(self.work, "drivers", {"alpha": dict(component="AlphaV2", attributes=0x8,
                                                              previous_guids=old_guid)},
                         version="2.0.0", install_dir="DDTest2")
        new.table("Upgrade", ["UpgradeCode", "VersionMin", "VersionMax", "Language", "Attributes", "Remove",
                              "ActionProperty"], ["s38", "S20", "S20", "S255", "i4", "S255", "s72"],
                  ["UpgradeCode", "VersionMin", "VersionMax", "Language", "Attributes"],
                  [[new.upgrade_code, "1.0.0", "2.0.0", "", "256", "", "OLDPRODUCTS"]])
        new.properties["SecureCustomProperties"] = "OLDPRODUCTS"
        new.sequence += [("FindRelatedProducts", "", 200), ("RemoveExistingProducts", "", 6650)]
        new_msi = new.build(self.package_path("v2.msi"))

        run = self.run_msiexec("i", old_msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, run.code, run.log[-3000:])
        self.create_services("ddalpha")

        run = self.run_msiexec("i", new_msi, DDTEST_FAIL="1")
        self.assertEqual(ddpkg.EXIT_FAILURE, run.code, run.log[-3000:])
        old_inf, old_cat = INSTALL_DIR + "ddalpha.inf", INSTALL_DIR + "ddalpha.cat"
        new_inf = "C:\\Program Files\\DDTest2\\ddalpha.inf"
        said = run.said("UninstallDrivers")
        self.assertIn("Need to uninstall 'alpha' driver. Component to do 1.", said)
        self.assertIn(f"Found previous package '{old_inf}' '{old_cat}'.", said)
        self.assertIn(f"Configured uninstallation of driver package alpha, {old_inf}, {old_cat}, , 8, 1. Action: 2.",
                      said)
        self.assertIn(f"Configured rollback of driver package alpha, {old_inf}, {old_cat}, , 8, 1. Action: 1.", said)
        self.assertEqual(["UninstallDriversRollback_x64", "UninstallDriversDeferred_x64"],
                         ddpkg.actions_started_within(run.log, "UninstallDrivers"))
        self.assertEqual(["InstallDriversRollback_x64", "InstallDriversDeferred_x64"],
                         ddpkg.actions_started_within(run.log, "InstallDrivers"))
        # The script runs the removal of the old version first; the failure undoes both in reverse.
        self.assertEqual(["UninstallDriversDeferred_x64", "InstallDriversDeferred_x64", "DriversToInstall",
                          "DriversToReinstall", "DriversToInstallEarly", "DriversToUninstall",
                          "InstallDriversFinalize", "FailScript", "InstallDriversRollback_x64",
                          "UninstallDriversRollback_x64"], run.names())
        self.assertEqual([("alpha", 2, old_inf, old_cat)], [(x["id"], x["act"], x["inf"], x["cat"])
                                                            for x in run.packages("UninstallDriversDeferred_x64")])
        self.assertEqual([("alpha", 1, old_inf, old_cat)], [(x["id"], x["act"], x["inf"], x["cat"])
                                                            for x in run.packages("UninstallDriversRollback_x64")])
        self.assertEqual([("alpha", 1, new_inf, [old_guid])],
                         [(x["id"], x["act"], x["inf"], x["guids"]) for x in run.packages("InstallDriversDeferred_x64")])
        self.assertEqual([("alpha", 2, new_inf)],
                         [(x["id"], x["act"], x["inf"]) for x in run.packages("InstallDriversRollback_x64")])
        # The old driver is present, but the package is installed again: it is not listed as going away.
        self.assertEqual({"DriversToInstall": "alpha;", "DriversToReinstall": "alpha;", "DriversToInstallEarly": "",
                          "DriversToUninstall": ""}, run.published())

    def test_early_install_from_the_embedded_cabinet_and_a_bad_row(self):
        drivers = {"early": dict(attributes=0x4 | START_TYPE_ON_FINALIZE, sequence=5),
                   "late": dict(files="ddbeta", attributes=START_TYPE_ON_FINALIZE)}
        msi = driver_msi(self.work, "early", drivers, early=True).build(self.package_path())

        run = self.run_msiexec("i", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, run.code, run.log[-3000:])
        self.assertIn("Need to early install 'early' driver. Component to do 1.", run.said("InstallDriversEarly"))
        self.assertIn("Skip early installation of 'late' driver. Component is not marked to install early or already "
                      "installed.", run.said("InstallDriversEarly"))
        self.assertIn("Skip installation of 'early' driver. Component is marked to install early and not installed.",
                      run.said("InstallDrivers"))
        self.assertEqual(["InstallDriversEarlyRollback_x64", "InstallDriversEarlyDeferred_x64",
                          "InstallDriversEarlyCommit_x64"],
                         ddpkg.actions_started_within(run.log, "InstallDriversEarly"))
        # Deferred and commit are handed the same text; the files come from the cabinet, into a "drv" folder.
        self.assertEqual(run.data("InstallDriversEarlyDeferred_x64"), run.data("InstallDriversEarlyCommit_x64"))
        [early] = run.packages("InstallDriversEarlyDeferred_x64")
        folder = early["inf"][:early["inf"].rindex("\\")]
        self.assertRegex(folder.rsplit("\\", 1)[1], r"^drv")
        self.assertEqual((folder + "\\ddearly.inf", folder + "\\ddearly.cat"), (early["inf"], early["cat"]))
        self.assertEqual((1, 0x24 | EARLY_CONFIGURED), (early["act"], early["atr"]))
        for name in ("ddearly.inf", "ddearly.cat"):
            with open(os.path.join(FIX, name), "rb") as want, open(self.wine.path(folder + "\\" + name), "rb") as got:
                self.assertEqual(want.read(), got.read(), name)
        self.assertIn(f"Configured early installation of driver package early, {early['inf']}, {early['cat']}, , 52, 1. "
                      "Action: 1.", run.said("InstallDriversEarly"))
        self.assertEqual("early;", run.published()["DriversToInstallEarly"])
        self.assertEqual("late;", run.published()["DriversToInstall"])
        # The finalize list holds the early package and the normal one.
        self.assertEqual(["early", "late"], [x["id"] for x in decode_packages(run.data("InstallDriversFinalize"))])

        # A row without an INF path fails the action before anything is scheduled.
        bad = ddpkg.Package("bad row")
        ddpkg.add_driver_tables(bad)
        bad.component("Bad")
        ddpkg.driver_package(bad, "bad", "Bad", "")
        ddpkg.driver_actions(bad, uninstall_condition="REMOVE")
        run = self.run_msiexec("i", bad.build(self.package_path("bad.msi")))
        self.assertEqual(ddpkg.EXIT_FAILURE, run.code, run.log[-3000:])
        self.assertEqual(["The package row 'bad' was successfully read.",
                          "Failed to validate driver package 'bad'.Inf file is not specified. Error 0x8007000d.",
                          "InstallDrivers: finished. Return value 1603."], run.said("InstallDrivers"))
        # Error 27300 from the package's Error table, its [2] the code (0x8007000D as a signed number).
        self.assertIn("Failed to install drivers.  Error -2147024883.", run.log.splitlines())
        self.assertEqual([], ddpkg.actions_started_within(run.log, "InstallDrivers"))
        self.assertEqual([], run.records)


if __name__ == "__main__":
    ddpkg.main()
