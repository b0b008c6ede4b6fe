"""Service protection under a real msiexec run. Wine refuses launch
protection (1733), so protecting fails and the rollback runs the rows'
unprotect commands; on uninstall the commands run for real. The stored
unprotect program is a recorder that writes down how it was started."""

import os
import re

import ddpkg
from ddpkg import CA_DEFERRED, CA_IMMEDIATE, CA_ROLLBACK_ACTION

RECORDER = os.path.join(ddpkg.BUILD_DIR, "dd_test_recorder.exe")
EXTRACTED = re.compile(r"^Extracting binary to '(.*)'\.\.\.$")


def protection_package(rows, with_catalog_action=False, unprotect_condition=""):
    """rows: (id, service, Binary_, UnprotectCommand, Attributes, Condition); component Svc."""
    p = ddpkg.Package("protection")
    p.component("Svc")
    p.binary("Recorder", RECORDER)
    p.table("ServiceConfigProtection",
            ["ServiceConfigProtection", "Name", "Binary_", "UnprotectCommand", "Attributes", "Component_", "Condition"],
            ["s72", "s255", "S72", "S255", "I4", "s72", "S255"], ["ServiceConfigProtection"],
            [[i, n, b, cmd, attr, "Svc", c] for i, n, b, cmd, attr, c in rows])
    if with_catalog_action:
        p.custom_action("InstallCryptCatalog", CA_IMMEDIATE, "InstallCryptCatalog", sequence=4050)
    p.custom_action("UnprotectServices", CA_IMMEDIATE, "UnprotectServices", sequence=3400,
                    condition=unprotect_condition)
    p.custom_action("UnprotectServicesRollback", CA_ROLLBACK_ACTION, "UnprotectServicesRollback")
    p.custom_action("UnprotectServicesDeferred", CA_DEFERRED, "UnprotectServicesDeferred")
    p.custom_action("ProtectServices", CA_IMMEDIATE, "ProtectServices", sequence=4100)
    p.custom_action("ProtectServicesRollback", CA_ROLLBACK_ACTION, "ProtectServicesRollback")
    p.custom_action("ProtectServicesDeferred", CA_DEFERRED, "ProtectServicesDeferred")
    return p


class ProtectionUnderMsiexec(ddpkg.PackageTestCase):
    def record_file(self, name):
        """(unix path, windows path) of a file the recorder writes."""
        path = os.path.join(self.work, name)
        return path, ddpkg.unix_to_windows(path)

    def read_record(self, path):
        self.assertTrue(os.path.exists(path), path)
        with open(path, "rb") as f:
            return f.read().decode("utf-16-le")

    def extracted(self, texts):
        return [m.group(1) for m in (EXTRACTED.match(t) for t in texts) if m]

    def test_refused_protection_rolls_back_through_the_unprotect_commands(self):
        code, out = self.wine.run("sc", "create", "ddProt", "binPath=", "C:\\windows\\system32\\ddprot.exe")
        self.assertEqual(0, code, out)
        record, record_win = self.record_file("rollback.rec")
        command = f'"{record_win}" fail'
        msi = protection_package([
            ("A_prot", "ddProt", "Recorder", command, "", ""),
            ("B_nocmd", "ddProt", "", "", "", ""),
        ]).build(self.package_path())

        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_FAILURE, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        deferred = [t for a, t in lines if a == "ProtectServicesDeferred"]
        self.assertEqual(["Protecting service 'A_prot'...", "Mark service 'ddProt' as protected.",
                          "Failed to register 'A_prot'. Failed to change protection type of service. Error 0x800706c5.",
                          "Failed to change protection type of service. Error 0x800706c5.",
                          "ProtectServicesDeferred: finished. Return value 1603."], deferred)

        # The rollback runs the stored program as "<temp path>" <command>; the
        # command fails, is passed over, and the program file is gone anyway.
        rollback = [t for a, t in lines if a == "ProtectServicesRollback"]
        temps = self.extracted(rollback)
        self.assertEqual(1, len(temps), rollback)
        temp = temps[0]
        self.assertRegex(temp.rsplit("\\", 1)[-1].lower(), r"^psm.*\.tmp$")
        self.assertEqual(f'"{temp}" {command}', self.read_record(record))
        self.assertFalse(os.path.exists(self.wine.path(temp)), temp)
        self.assertIn(f"Remove file '{temp}'.", rollback)
        self.assertNotIn("The service 'A_prot' was successfully unprotected.", rollback)
        self.assertIn("Skip unprotecting service 'B_nocmd'. The unprotect command was not specified.", rollback)
        self.assertEqual("ProtectServicesRollback: finished. Return value 0.", rollback[-1])

    def test_protecting_a_missing_service_fails_on_opening_it(self):
        msi = protection_package([("A_missing", "ddNoSuchService", "", "", "", "")]).build(self.package_path())
        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_FAILURE, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        self.assertIn(("ProtectServicesDeferred", "Failed to register 'A_missing'. Failed to open service: "
                                                  "ddNoSuchService Error 0x80070424."), lines)

    def test_uninstall_runs_the_unprotect_command(self):
        record, record_win = self.record_file("uninstall.rec")
        command = f'"{record_win}" /quiet'
        only_on_removal = 'REMOVE~="ALL"'
        msi = protection_package([
            ("U_prog", "ddProt", "Recorder", command, "", only_on_removal),
            ("U_nocmd", "ddProt", "", "", "", only_on_removal),
        ]).build(self.package_path())

        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        self.assertIn(("ProtectServices", "Skip protect service 'U_prog'. Condition is '0'."), lines)
        self.assertIn(("UnprotectServices",
                       "Skip unprotect service 'U_prog'. Component is not marked to uninstall or reinstall."), lines)
        self.assertFalse([a for a, _ in lines if a.endswith("Deferred") or a.endswith("Rollback")])

        code, log = self.wine.uninstall(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        self.assertIn(("UnprotectServices", "Need to unprotect service 'U_prog'. Component to do 2."), lines)
        self.assertIn(("UnprotectServices", "Skip unprotect service 'U_nocmd'. The unprotect command not specified."),
                      lines)
        deferred = [t for a, t in lines if a == "UnprotectServicesDeferred"]
        temps = self.extracted(deferred)
        self.assertEqual(1, len(temps), deferred)
        self.assertEqual(f'"{temps[0]}" {command}', self.read_record(record))
        self.assertFalse(os.path.exists(self.wine.path(temps[0])), temps[0])
        # The program lies alone in a protected folder that goes with it.
        folder = temps[0].rsplit("\\", 1)[0]
        self.assertTrue(folder.rsplit("\\", 1)[1].startswith("psm"), folder)
        self.assertFalse(os.path.exists(self.wine.path(folder)), folder)
        self.assertEqual(["Unprotecting service 'U_prog'...",
                          f"Create directory '{folder}' 'D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)'.",
                          f"Extracting binary to '{temps[0]}'...",
                          f'Start process: "{temps[0]}" {command}.',
                          f"Remove file '{temps[0]}'.", f"Remove directory '{folder}'.",
                          "The service 'U_prog' was successfully unprotected.",
                          "UnprotectServicesDeferred: finished. Return value 0."], deferred)

    def test_binary_without_row_fails_before_scheduling(self):
        # Also: no CryptCatalog table is a logged line and success.
        msi = protection_package([("A_nobin", "ddProt", "NoSuchBinary", "x", "", "")],
                                 with_catalog_action=True, unprotect_condition="Installed").build(self.package_path())
        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_FAILURE, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        self.assertEqual([("InstallCryptCatalog", "There is no 'CryptCatalog' table."),
                          ("InstallCryptCatalog", "InstallCryptCatalog: finished. Return value 0.")],
                         [l for l in lines if l[0] == "InstallCryptCatalog"])
        self.assertEqual([("ProtectServices", "Failed to extract from binary: NoSuchBinary Error 0x80070006."),
                          ("ProtectServices", "ProtectServices: finished. Return value 1603.")],
                         [l for l in lines if l[0] == "ProtectServices"])
        self.assertFalse([a for a, _ in lines if a.startswith("ProtectServices") and a != "ProtectServices"])


if __name__ == "__main__":
    ddpkg.main()
