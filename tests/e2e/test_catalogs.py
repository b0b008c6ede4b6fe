"""Catalog files under a real msiexec run: the catalogs of the CryptCatalog
table are added to the prefix's catalog store under their names, survive a
reinstall, go on uninstall, and go again when a failed install rolls back."""

import glob
import os

import ddpkg
from ddpkg import CA_DEFERRED, CA_IMMEDIATE, CA_ROLLBACK_ACTION

RECORDER = os.path.join(ddpkg.BUILD_DIR, "dd_test_recorder.exe")
# A program stored in the Binary table, run in the script (deferred, no impersonation).
CA_EXE_DEFERRED = 2 | ddpkg.CA_IN_SCRIPT | ddpkg.CA_NO_IMPERSONATE


def catalog_package(work, rows, failing_action=False, fail_condition=""):
    """rows: (id, name, path, condition); every row belongs to component Cats. The failing action runs when
    fail_condition holds (always when empty)."""
    p = ddpkg.Package("catalogs")
    p.component("Cats")
    p.table("CryptCatalog", ["CryptCatalog", "Name", "Path", "Component_", "Condition"],
            ["s72", "s255", "S255", "s72", "S255"], ["CryptCatalog"],
            [[i, n, path, "Cats", c] for i, n, path, c in rows])
    p.custom_action("UninstallCryptCatalog", CA_IMMEDIATE, "UninstallCryptCatalog", sequence=3400)
    p.custom_action("UninstallCryptCatalogRollback", CA_ROLLBACK_ACTION, "UninstallCryptCatalogRollback")
    p.custom_action("UninstallCryptCatalogDeferred", CA_DEFERRED, "UninstallCryptCatalogDeferred")
    p.custom_action("InstallCryptCatalog", CA_IMMEDIATE, "InstallCryptCatalog", sequence=4100)
    p.custom_action("InstallCryptCatalogRollback", CA_ROLLBACK_ACTION, "InstallCryptCatalogRollback")
    p.custom_action("InstallCryptCatalogDeferred", CA_DEFERRED, "InstallCryptCatalogDeferred")
    if failing_action:
        # A later deferred step that fails (exit code 3), so the install rolls back.
        p.binary("Recorder", RECORDER)
        p.custom_action("FailLater", CA_EXE_DEFERRED, '"' + ddpkg.unix_to_windows(os.path.join(work, "fail.rec")) +
                        '" fail', source="Recorder", sequence=4200, condition=fail_condition)
    return p


class CatalogsUnderMsiexec(ddpkg.PackageTestCase):
    def catalog_file(self, name, content):
        path = os.path.join(self.work, name)
        with open(path, "w") as f:
            f.write(content)
        return path

    def stored(self, name):
        """The catalog of that name in the prefix's store, or None."""
        pattern = os.path.join(self.wine.prefix, "drive_c", "windows", "system32", "catroot", "*", "*")
        found = [f for f in glob.glob(pattern) if os.path.basename(f).lower() == name.lower()
                 and os.path.basename(os.path.dirname(f)).lower() == "{f750e6c3-38ee-11d1-85e5-00c04fc295ee}"]
        return found[0] if found else None

    def assertStored(self, name, content):
        path = self.stored(name)
        self.assertIsNotNone(path, name)
        with open(path) as f:
            self.assertEqual(content, f.read())

    def test_install_reinstall_and_uninstall(self):
        a = self.catalog_file("a.cat", "catalog a")
        b = self.catalog_file("b.cat", "catalog b")
        ghost = self.catalog_file("ghost.cat", "never added")
        msi = catalog_package(self.work, [
            ("CatA", "ddA.cat", ddpkg.unix_to_windows(a), ""),
            ("CatB", "ddB.cat", ddpkg.unix_to_windows(b), "1=1"),
            # Selected on uninstall only: its catalog was never added.
            ("Ghost", "ddGhost.cat", ddpkg.unix_to_windows(ghost), 'REMOVE~="ALL"'),
        ]).build(self.package_path())

        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        self.assertStored("ddA.cat", "catalog a")
        self.assertStored("ddB.cat", "catalog b")
        self.assertIsNone(self.stored("ddGhost.cat"))
        deferred = [t for a_, t in lines if a_ == "InstallCryptCatalogDeferred"]
        self.assertEqual([f"The catalog file '{ddpkg.unix_to_windows(a)}' was successfully installed.",
                          f"The catalog file '{ddpkg.unix_to_windows(b)}' was successfully installed.",
                          "InstallCryptCatalogDeferred: finished. Return value 0."], deferred)
        install = [t for a_, t in lines if a_ == "InstallCryptCatalog"]
        self.assertIn("Need to install 'CatA' crypt catalog. Component to do 1.", install)
        self.assertIn("Skip installation of 'Ghost' crypt catalog. Condition is '0'.", install)
        self.assertIn(("UninstallCryptCatalog",
                       "Skip uninstallation of 'CatA' crypt catalog. Component is not marked to uninstall."), lines)
        self.assertFalse([a_ for a_, _ in lines if a_ in ("UninstallCryptCatalogDeferred", "InstallCryptCatalogRollback")])

        # A reinstall installs again (to-do 3) and never uninstalls.
        code, log = self.wine.install(msi, properties={"REINSTALL": "ALL", "REINSTALLMODE": "omus"})
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        self.assertIn(("InstallCryptCatalog", "Need to install 'CatA' crypt catalog. Component to do 3."), lines)
        self.assertIn(("UninstallCryptCatalog",
                       "Skip uninstallation of 'CatA' crypt catalog. Component is not marked to uninstall."), lines)
        self.assertFalse([a_ for a_, _ in lines if a_ == "UninstallCryptCatalogDeferred"])
        self.assertStored("ddA.cat", "catalog a")
        self.assertStored("ddB.cat", "catalog b")

        code, log = self.wine.uninstall(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        self.assertIsNone(self.stored("ddA.cat"))
        self.assertIsNone(self.stored("ddB.cat"))
        self.assertIn(("UninstallCryptCatalog", "Need to uninstall 'Ghost' crypt catalog. Component to do 2."), lines)
        self.assertIn(("InstallCryptCatalog",
                       "Skip installation of 'CatA' crypt catalog. Component is not marked to install."), lines)
        # Decoded in id order: CatA, CatB, Ghost; the unregistered one gives only its not-found line.
        self.assertEqual(["The catalog file 'ddA.cat' was successfully removed.",
                          "The catalog file 'ddB.cat' was successfully removed.",
                          "The catalog file 'ddGhost.cat' was not found.",
                          "UninstallCryptCatalogDeferred: finished. Return value 0."],
                         [t for a_, t in lines if a_ == "UninstallCryptCatalogDeferred"])

    def test_failed_install_rolls_the_catalogs_back(self):
        a = self.catalog_file("a.cat", "catalog a")
        b = self.catalog_file("b.cat", "catalog b")
        msi = catalog_package(self.work, [("CatA", "ddA.cat", ddpkg.unix_to_windows(a), ""),
                                          ("CatB", "ddB.cat", ddpkg.unix_to_windows(b), "")],
                              failing_action=True).build(self.package_path())
        code, log = self.wine.install(msi)
        # Wine ends an install whose program action exits non-zero with 1627.
        self.assertEqual(1627 & 0xFF, code, log[-3000:])
        self.assertTrue(os.path.exists(os.path.join(self.work, "fail.rec")), "the failing action did not run")
        lines = ddpkg.library_lines(log)
        self.assertIn(("InstallCryptCatalogDeferred", "InstallCryptCatalogDeferred: finished. Return value 0."), lines)
        self.assertEqual(["The catalog file 'ddA.cat' was successfully removed.",
                          "The catalog file 'ddB.cat' was successfully removed.",
                          "InstallCryptCatalogRollback: finished. Return value 0."],
                         [t for a_, t in lines if a_ == "InstallCryptCatalogRollback"])
        self.assertIsNone(self.stored("ddA.cat"))
        self.assertIsNone(self.stored("ddB.cat"))

    def test_the_rollback_of_a_failed_repair_keeps_the_catalogs_registered_before(self):
        a = self.catalog_file("a.cat", "catalog a")
        msi = catalog_package(self.work, [("CatA", "ddA.cat", ddpkg.unix_to_windows(a), "")], failing_action=True,
                              fail_condition="DDTEST_FAIL").build(self.package_path())
        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        self.assertStored("ddA.cat", "catalog a")

        code, log = self.wine.install(msi, properties={"REINSTALL": "ALL", "REINSTALLMODE": "omus", "DDTEST_FAIL": "1"})
        self.assertNotEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        self.assertTrue(os.path.exists(os.path.join(self.work, "fail.rec")), "the failing action did not run")
        lines = ddpkg.library_lines(log)
        self.assertIn(("InstallCryptCatalog", "The catalog file 'ddA.cat' is registered already. Its rollback keeps it."),
                      lines)
        self.assertNotIn(("InstallCryptCatalogRollback", "The catalog file 'ddA.cat' was successfully removed."), lines)
        self.assertStored("ddA.cat", "catalog a")

    def test_empty_path_fails_the_install_and_the_rollback_runs(self):
        good = self.catalog_file("good.cat", "good")
        msi = catalog_package(self.work, [("A_good", "ddGood.cat", ddpkg.unix_to_windows(good), ""),
                                          ("B_empty", "ddEmpty.cat", "", "")]).build(self.package_path())
        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_FAILURE, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        deferred = [t for a_, t in lines if a_ == "InstallCryptCatalogDeferred"]
        self.assertIn("Failed to install 'B_empty'. Failed to add a catalog file. The catalog file not specified. "
                      "Error 0x80004005.", deferred)
        self.assertEqual("InstallCryptCatalogDeferred: finished. Return value 1603.", deferred[-1])
        self.assertIn("Failed to install catalog files.", log)
        self.assertEqual(["The catalog file 'ddGood.cat' was successfully removed.",
                          "The catalog file 'ddEmpty.cat' was not found.",
                          "InstallCryptCatalogRollback: finished. Return value 0."],
                         [t for a_, t in lines if a_ == "InstallCryptCatalogRollback"])
        self.assertIsNone(self.stored("ddGood.cat"))


if __name__ == "__main__":
    ddpkg.main()
