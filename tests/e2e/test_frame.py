"""The frame of the exports under a real msiexec run: immediate, deferred,
rollback and commit actions write their prefixed lines and exactly one
closing line each, on install and on uninstall."""

import os

import ddpkg
from ddpkg import CA_COMMIT_ACTION, CA_DEFERRED, CA_IMMEDIATE, CA_ROLLBACK_ACTION


def frame_package(work):
    p = ddpkg.Package("frame")
    # A payload file from an embedded cabinet, so the package is a real one.
    payload = os.path.join(work, "payload.txt")
    with open(payload, "w") as f:
        f.write("payload\n")
    p.component("Payload", key_path="payload.txt")
    p.file("payload.txt", "Payload", "payload.txt", payload, 1)
    p.cabinet("payload.cab", {"payload.txt": payload}, work)
    p.custom_action("InstallDrivers", CA_IMMEDIATE, "InstallDrivers", sequence=1510, condition="NOT REMOVE")
    p.custom_action("InstallDriversRollback", CA_ROLLBACK_ACTION, "InstallDriversRollback", sequence=1520,
                    condition="NOT REMOVE")
    p.custom_action("InstallDriversDeferred", CA_DEFERRED, "InstallDriversDeferred", sequence=1530,
                    condition="NOT REMOVE")
    p.custom_action("InstallDriversCommit", CA_COMMIT_ACTION, "InstallDriversCommit", sequence=1540,
                    condition="NOT REMOVE")
    p.custom_action("InstallCryptCatalog", CA_IMMEDIATE, "InstallCryptCatalog", sequence=1550, condition="NOT REMOVE")
    p.custom_action("UninstallDrivers", CA_IMMEDIATE, "UninstallDrivers", sequence=1560, condition="REMOVE")
    p.custom_action("UninstallDriversDeferred", CA_DEFERRED, "UninstallDriversDeferred", sequence=1570,
                    condition="REMOVE")
    return p


class FrameUnderMsiexec(ddpkg.PackageTestCase):
    def test_install_and_uninstall_run_each_action_once(self):
        msi = frame_package(self.work).build(self.package_path())
        installed = self.wine.path("C:\\Program Files\\DDTest\\payload.txt")

        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        self.assertTrue(os.path.exists(installed), installed)
        lines = ddpkg.library_lines(log)
        for action in ("InstallDrivers", "InstallDriversDeferred", "InstallDriversCommit", "InstallCryptCatalog"):
            closing = [t for a, t in lines if a == action and t == f"{action}: finished. Return value 0."]
            self.assertEqual(1, len(closing), f"{action}: {lines}")
        # The rollback action is registered but never runs on success.
        self.assertFalse([a for a, _ in lines if a == "InstallDriversRollback"])
        self.assertFalse([a for a, _ in lines if a.startswith("Uninstall")])

        # Prefix: action name, process id, 4-digit thread id, bracketed local time.
        raw = [l for l in log.splitlines() if "InstallDriversDeferred: finished." in l]
        self.assertEqual(1, len(raw), raw)
        self.assertRegex(raw[0], r"InstallDriversDeferred \([0-9a-f]+:[0-9a-f]{4,}\) "
                                 r"\[\d\d:\d\d:\d\d:\d{3}\]: InstallDriversDeferred: finished\. Return value 0\.")

        code, log = self.wine.uninstall(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        lines = ddpkg.library_lines(log)
        self.assertFalse(os.path.exists(installed))
        for action in ("UninstallDrivers", "UninstallDriversDeferred"):
            closing = [t for a, t in lines if a == action and ": finished." in t]
            self.assertEqual([f"{action}: finished. Return value 0."], closing)
        self.assertFalse([a for a, _ in lines if a.startswith("Install")])


if __name__ == "__main__":
    ddpkg.main()
