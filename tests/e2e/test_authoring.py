"""The authoring kit from end to end, as an installer engineer uses it: a product written as WiX source and
built with wixl (the filter driver's files in one component, one feature), extended with `driverdeploy add`
from a TOML description of the filter driver with a registry value and a catalog; `driverdeploy lint` finds
nothing in it; `driverdeploy plan` shows the decisions and operations of an installation and, after an
installation, of the uninstallation, without deploying anything; and msiexec really deploys the driver and
removes it again."""

import os
import subprocess

import ddpkg
from lifecycle import State, export_key

KIT = os.path.join(ddpkg.SOURCE_DIR, "authoring", "bin", "driverdeploy")
PRODUCT_WXS = os.path.join(ddpkg.FIXTURES, "authoring", "product.wxs")
DRIVERS_TOML = os.path.join(ddpkg.FIXTURES, "authoring", "e2e-filter.toml")
PLAN_PROBE = os.environ.get("DD_PLAN_PROBE", os.path.join(ddpkg.BUILD_DIR, "driverdeploy_plan_probe.dll"))
INSTALL_DIR = "C:\\Program Files\\DDKit\\"
INF = INSTALL_DIR + "ddfilt.inf"
CAT = INSTALL_DIR + "ddfilt.cat"
COMPONENT_GUID = "{7D3F0A52-1C84-4B6E-9F27-E5A0B8C3D614}"
KIT_KEY = "HKEY_LOCAL_MACHINE\\Software\\DDKit"
# wixl, msibuild and the kit's own steps; a plan is two msiexec runs and the making of a prefix.
TOOL_TIMEOUT = 120
PLAN_TIMEOUT = 600

INSTALL_DECISIONS = [
    "InstallDriversEarly: The driver 'ddfilt' is not marked to install early.",
    "InstallDriversEarly: Skip early installation of 'ddfilt' driver. Component is not marked to install early or "
    "already installed.",
    "UninstallDrivers: Skip uninstallation of 'ddfilt' driver. Component is not marked to uninstall and has not "
    "uninstall previous version attribute.",
    "UninstallDrivers: Skip rollback uninstallation of 'ddfilt' driver. Installed components not found.",
    "InstallDrivers: The driver 'ddfilt' is not marked to install early.",
    "InstallDrivers: Need to install 'ddfilt' driver. Component to do 1.",
    "InstallDrivers: The driver 'ddfilt' is not marked to install early.",
    "InstallDrivers: Need to rollback installation of 'ddfilt' driver. Component to do 1.",
    "InstallDrivers: Need to install 'ddfiltMode' driver registry.",
    f"InstallDrivers: Configured installation of driver package ddfilt, {INF}, {CAT}, , 32, 1. Action: 1.",
    "InstallDrivers: Need to install 'ddfiltMode' driver registry.",
    f"InstallDrivers: Configured rollback of driver package ddfilt, {INF}, {CAT}, , 0, 1. Action: 2.",
    f"InstallDrivers: The component '{COMPONENT_GUID}' is not installed for driver package 'ddfilt'.",
    "InstallDrivers: Need to finalize installation of driver package 'ddfilt'.",
]
INSTALL_OPERATIONS = [
    f"InstallDriversRollback_x64: Uninstall filter driver from '{INF}'; catalog '{CAT}'; attributes 0x0; sequence 10",
    "    registry 'ddfiltMode': remove HKEY_LOCAL_MACHINE\\Software\\DDKit value 'Mode'",
    f"InstallDriversDeferred_x64: Install filter driver from '{INF}'; catalog '{CAT}'; attributes 0x20 "
    "StartTypeOnFinalize; sequence 10",
    "    registry 'ddfiltMode': write HKEY_LOCAL_MACHINE\\Software\\DDKit value 'Mode' = 'kit'",
    f"InstallDriversFinalize: set the start type of the first service of '{INF}' to system start (Install)",
]
INSTALL_CATALOG = (
    ["UninstallCryptCatalog: Skip uninstallation of 'kitCatalog' crypt catalog. Component is not marked to uninstall.",
     "InstallCryptCatalog: Need to install 'kitCatalog' crypt catalog. Component to do 1."],
    ["InstallCryptCatalogRollback: remove catalog 'ddkit.cat'",
     f"InstallCryptCatalogDeferred: add catalog '{CAT}' as 'ddkit.cat'"])

# After an installation of the product whose script-phase actions did nothing, the component is there and the
# service is not: the uninstallation is planned for the package, and the driver counts as absent.
UNINSTALL_DECISIONS = [
    "UninstallDrivers: Need to uninstall 'ddfilt' driver. Component to do 2.",
    "UninstallDrivers: Need to rollback uninstall 'ddfilt' driver. Component to do 2.",
    "UninstallDrivers: Previous package 'ddfilt' location is 'C:\\Program Files\\DDKit'.",
    "UninstallDrivers: Need to uninstall 'ddfiltMode' driver registry.",
    f"UninstallDrivers: Configured uninstallation of driver package ddfilt, {INF}, {CAT}, , 32, 1. Action: 2.",
    "UninstallDrivers: Previous package 'ddfilt' location is 'C:\\Program Files\\DDKit'.",
    "UninstallDrivers: Need to uninstall 'ddfiltMode' driver registry.",
    f"UninstallDrivers: Configured rollback of driver package ddfilt, {INF}, {CAT}, , 0, 1. Action: 3.",
    f"UninstallDrivers: Driver package 'ddfilt' component '{COMPONENT_GUID}' is installed but service is not "
    "exists. Failed to open service: ddfilt Error 0x80070424.",
]
UNINSTALL_OPERATIONS = [
    f"UninstallDriversRollback_x64: Reinstall filter driver from '{INF}'; catalog '{CAT}'; attributes 0x0; sequence 10",
    "    registry 'ddfiltMode': write HKEY_LOCAL_MACHINE\\Software\\DDKit value 'Mode' = 'kit'",
    f"UninstallDriversDeferred_x64: Uninstall filter driver from '{INF}'; catalog '{CAT}'; attributes 0x20 "
    "StartTypeOnFinalize; sequence 10",
    "    registry 'ddfiltMode': remove HKEY_LOCAL_MACHINE\\Software\\DDKit value 'Mode'",
]
UNINSTALL_CATALOG = (
    ["UninstallCryptCatalog: Need to uninstall 'kitCatalog' crypt catalog. Component to do 2."],
    [f"UninstallCryptCatalogRollback: add catalog '{CAT}' as 'ddkit.cat'",
     "UninstallCryptCatalogDeferred: remove catalog 'ddkit.cat'"])


def sections(text):
    """{section title: {"decisions": [...], "operations": [...]}} of a plan's report."""
    out, current, part = {}, None, None
    for line in text.splitlines():
        if line and not line.startswith(" "):
            current = out.setdefault(line, {})
            part = None
        elif current is not None and line.startswith("  ") and not line.startswith("   ") and line.endswith(":"):
            part = current.setdefault(line.strip()[:-1], [])
        elif part is not None and line.startswith("    "):
            part.append(line[4:])
    return out


class AuthoringKit(ddpkg.PackageTestCase):
    def setUp(self):
        super().setUp()
        # Windows always has the load-order group list, which the filter's removal edits; a new Wine prefix
        # does not.
        code, out = ddpkg.import_registry(self.wine, {"System\\CurrentControlSet\\Control\\GroupOrderList": {}})
        self.assertEqual(0, code, out)

    def kit(self, *args, timeout=TOOL_TIMEOUT):
        try:
            result = subprocess.run([KIT, *args], capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            raise ddpkg.HangError(f"driverdeploy {' '.join(args)} did not finish within {timeout} s; its output so "
                                  f"far:\n{e.stdout}{e.stderr}") from None
        return result.returncode, result.stdout, result.stderr

    def plan(self, msi, *args):
        return self.kit("plan", msi, "--wine-run", ddpkg.WINE_RUN, "--probe", PLAN_PROBE, *args,
                        timeout=PLAN_TIMEOUT)

    def product(self):
        base = self.package_path("base.msi")
        wixl = subprocess.run(["wixl", "-a", "x64", "-o", base, PRODUCT_WXS], capture_output=True, text=True,
                              timeout=TOOL_TIMEOUT)
        self.assertEqual(0, wixl.returncode, wixl.stdout + wixl.stderr)
        msi = self.package_path("product.msi")
        code, out, err = self.kit("add", base, DRIVERS_TOML, "-o", msi, "--dll", ddpkg.DLL)
        self.assertEqual(0, code, out + err)
        return msi

    def assertPlan(self, report, decisions, operations, catalog):
        found = sections(report)
        self.assertEqual({"decisions": decisions, "operations": operations},
                         found.get("Driver package 'ddfilt' (filter driver, component FilterDriver)"), report)
        self.assertEqual({"decisions": catalog[0], "operations": catalog[1]},
                         found.get("Catalog 'kitCatalog' (component FilterDriver)"), report)
        self.assertIn("Nothing was deployed: the run ended before the installer's script.", report.splitlines())

    def test_lint_plan_install_and_uninstall(self):
        msi = self.product()

        code, out, err = self.kit("lint", msi)
        self.assertEqual((0, "", ""), (code, out, err))

        code, report, err = self.plan(msi)
        self.assertEqual(0, code, report + err)
        self.assertTrue(report.startswith("Plan of product.msi: install\n"), report)
        self.assertPlan(report, INSTALL_DECISIONS, INSTALL_OPERATIONS, INSTALL_CATALOG)
        self.assertIn("  DriversToInstall = ddfilt;", report.splitlines())

        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        state = State(self.wine, services=("ddfilt",))
        self.assertEqual("dword:00000001", state.service_value("ddfilt", "Type"), state.services)
        # Finalize switched the INF's demand start to system start.
        self.assertEqual("dword:00000001", state.service_value("ddfilt", "Start"))
        self.assertIn("ddfilt.sys", state.drivers)
        self.assertIn("ddkit.cat", state.catalogs)
        self.assertEqual('"kit"', export_key(self.wine, KIT_KEY, must_exist=True)[KIT_KEY.lower()].get("mode"))

        code, log = self.wine.uninstall(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        # A package's failure in the uninstallation does not fail it: the log tells.
        self.assertEqual([], [t for _, t in ddpkg.library_lines(log) if t.startswith("Failed to execute")])
        state = State(self.wine, services=("ddfilt",))
        self.assertEqual({}, state.services["ddfilt"])
        self.assertNotIn("ddfilt.sys", state.drivers)
        self.assertNotIn("ddkit.cat", state.catalogs)
        self.assertNotIn("mode", export_key(self.wine, KIT_KEY).get(KIT_KEY.lower(), {}))

    def test_plan_of_the_uninstallation_deploys_nothing(self):
        msi = self.product()
        kept = os.path.join(self.work, "plan")
        code, report, err = self.plan(msi, "REMOVE=ALL", "--keep", kept)
        self.assertEqual(0, code, report + err)
        self.assertTrue(report.startswith("Plan of product.msi: uninstall (REMOVE=ALL)\n"), report)
        self.assertPlan(report, UNINSTALL_DECISIONS, UNINSTALL_OPERATIONS, UNINSTALL_CATALOG)

        # The plan's prefix holds the installed product (its files, its registration) and none of its driver.
        (run,) = os.listdir(kept)
        drive_c = os.path.join(kept, run, "prefix", "drive_c")
        self.assertTrue(os.path.isfile(os.path.join(drive_c, "Program Files", "DDKit", "ddfilt.inf")))
        with open(os.path.join(kept, run, "prefix", "system.reg"), encoding="utf-8", errors="replace") as f:
            machine = f.read().lower()
        self.assertIn("software\\\\microsoft\\\\windows\\\\currentversion\\\\uninstall\\\\", machine)
        self.assertIn("ddkit sample", machine)
        # Service keys as the machine hive holds them (a service of Wine's own, then the driver's).
        self.assertIn("\\\\services\\\\eventlog]", machine)
        self.assertNotIn("\\\\services\\\\ddfilt]", machine)
        self.assertNotIn("[software\\\\ddkit]", machine)
        self.assertFalse(os.path.exists(os.path.join(drive_c, "windows", "system32", "drivers", "ddfilt.sys")))
        catroot = os.path.join(drive_c, "windows", "system32", "catroot", "{f750e6c3-38ee-11d1-85e5-00c04fc295ee}")
        self.assertFalse(os.path.exists(os.path.join(catroot, "ddkit.cat")))


if __name__ == "__main__":
    ddpkg.main()
