"""The whole driver lifecycle under real msiexec runs, with the real
script-phase driver actions: a product carrying a legacy filter driver, a
root device driver and a network driver (through the stand-in network
configuration object), a registry value merged into one already on the
machine, an upper filter placed in a class list already there and a
catalog. After install, repair, major upgrade and uninstall the prefix holds
what the tables say; after the uninstall, and after every rollback, it holds
what it held before the first install."""

import glob
import os
import re
import shutil

import ddpkg
from ddpkg import CA_DEFERRED, CA_IMMEDIATE, CA_ROLLBACK_ACTION, CA_COMMIT_ACTION

FIX = os.path.join(ddpkg.FIXTURES, "lifecycle")
RECORDER = os.path.join(ddpkg.BUILD_DIR, "dd_test_recorder.exe")
CANCELER = os.path.join(ddpkg.BUILD_DIR, "dd_cancel_install.exe")
CA_EXE_DEFERRED = 2 | ddpkg.CA_IN_SCRIPT | ddpkg.CA_NO_IMPERSONATE

CLASS_GUID = "{D1E2F3A4-0000-4000-8000-00DD7E570002}"
CLASS_KEY = "System\\CurrentControlSet\\Control\\Class\\" + CLASS_GUID
APP_KEY = "Software\\DDTest"
SERVICES = "System\\CurrentControlSet\\Services\\"
START_TYPE_ON_FINALIZE = 0x20
UNINSTALL_PREVIOUS_VERSION = 0x8

# What each script-phase name runs (the early names are bound to the same exports).
SCRIPT_ACTIONS = [
    ("InstallDriversRollback", CA_ROLLBACK_ACTION, "InstallDriversRollback"),
    ("InstallDriversDeferred", CA_DEFERRED, "InstallDriversDeferred"),
    ("InstallDriversEarlyRollback", CA_ROLLBACK_ACTION, "InstallDriversRollback"),
    ("InstallDriversEarlyDeferred", CA_DEFERRED, "InstallDriversDeferred"),
    ("InstallDriversEarlyCommit", CA_COMMIT_ACTION, "InstallDriversCommit"),
    ("UninstallDriversRollback", CA_ROLLBACK_ACTION, "UninstallDriversRollback"),
    ("UninstallDriversDeferred", CA_DEFERRED, "UninstallDriversDeferred"),
]


def real_driver_actions(p, early=False):
    """The driver actions of driverdeploy.dll: uninstall before the files go, install after they came, every
    scheduled name (plain and "_x64") bound to the real export, and the finalize step. The uninstall is left to
    the new version during a major upgrade (it removes the old drivers itself)."""
    if early:
        p.custom_action("InstallDriversEarly", CA_IMMEDIATE, "InstallDriversEarly", sequence=1502,
                        condition="NOT REMOVE")
    p.custom_action("UninstallDrivers", CA_IMMEDIATE, "UninstallDrivers", sequence=3400,
                    condition="NOT UPGRADINGPRODUCTCODE")
    p.custom_action("InstallDrivers", CA_IMMEDIATE, "InstallDrivers", sequence=4100, condition="NOT REMOVE")
    for name, type_, export in SCRIPT_ACTIONS:
        for suffix in ("", "_x64"):
            p.custom_action(name + suffix, type_, export)
    p.custom_action("InstallDriversFinalize", CA_DEFERRED, "InstallDriversFinalize", sequence=6590,
                    condition="NOT REMOVE")


def catalog_actions(p):
    p.custom_action("UninstallCryptCatalog", CA_IMMEDIATE, "UninstallCryptCatalog", sequence=3410)
    p.custom_action("UninstallCryptCatalogRollback", CA_ROLLBACK_ACTION, "UninstallCryptCatalogRollback")
    p.custom_action("UninstallCryptCatalogDeferred", CA_DEFERRED, "UninstallCryptCatalogDeferred")
    p.custom_action("InstallCryptCatalog", CA_IMMEDIATE, "InstallCryptCatalog", sequence=4110)
    p.custom_action("InstallCryptCatalogRollback", CA_ROLLBACK_ACTION, "InstallCryptCatalogRollback")
    p.custom_action("InstallCryptCatalogDeferred", CA_DEFERRED, "InstallCryptCatalogDeferred")


def fail_later(p, work, sequence=4200):
    """A deferred program step after the driver actions that fails, so the installer rolls back."""
    p.binary("Recorder", RECORDER)
    p.custom_action("FailLater", CA_EXE_DEFERRED,
                    '"' + ddpkg.unix_to_windows(os.path.join(work, "fail.rec")) + '" fail', source="Recorder",
                    sequence=sequence)


def driver_sources(work, version, renames=None):
    """The lifecycle fixtures of one product version in a folder of their own: the INFs carry the version in
    DriverVer (and the filter's registry value), the driver images name it. renames maps fixture stems to other
    driver names, to make more drivers of the same kind."""
    out = os.path.join(work, f"src-v{version}-" + "-".join(sorted((renames or {}).values())))
    os.makedirs(out, exist_ok=True)
    for stem in ("ddfilt", "dddev", "ddnet"):
        name = (renames or {}).get(stem, stem)
        with open(os.path.join(FIX, stem + ".inf"), encoding="ascii") as f:
            inf = f.read()
        inf = inf.replace("1.0.0.0", f"{version}.0.0.0").replace('Version="1"', f'Version="{version}"')
        inf = inf.replace(stem, name)
        with open(os.path.join(out, name + ".inf"), "w", encoding="ascii", newline="\r\n") as f:
            f.write(inf)
        with open(os.path.join(out, name + ".sys"), "w") as f:
            f.write(f"{name} driver image v{version}\n")
        with open(os.path.join(out, name + ".cat"), "w") as f:
            f.write(f"stand-in catalog of {name} v{version}\n")
    return out


def product(work, version=1, install_dir="DDTest", component_guids=None, previous=None, drivers=None,
            failing=False):
    """The driver product. drivers: {id: dict(stem=..., type=..., sequence=..., attributes=..., source=...)};
    the default is the filter (sequenced, finalized), the device (sequenced) and the network driver (parallel).
    previous: the component GUIDs of the version before, which this one removes."""
    src = driver_sources(work, version)
    if drivers is None:
        drivers = {"filt": dict(stem="ddfilt", type=1, sequence=10, attributes=START_TYPE_ON_FINALIZE),
                   "dev": dict(stem="dddev", type=3, sequence=20),
                   "net": dict(stem="ddnet", type=2)}
    p = ddpkg.Package("lifecycle", version=f"{version}.0.0")
    p.rows("Directory")[2][2] = install_dir
    ddpkg.add_driver_tables(p)
    members, seq = {}, 1
    guids = dict(component_guids or {})
    for id_, d in drivers.items():
        stem = d["stem"]
        component = id_.capitalize()
        guids.setdefault(id_, ddpkg.new_guid())
        members.update(ddpkg.driver_files(p, component, [stem + ".inf", stem + ".sys", stem + ".cat"],
                                          d.get("source", src), seq, guid=guids[id_]))
        seq += 3
        attributes = d.get("attributes", 0)
        prev = ""
        if previous and id_ in previous:
            attributes |= UNINSTALL_PREVIOUS_VERSION
            prev = previous[id_]
        cat = f"[INSTALLDIR]{stem}.cat" if d.get("cat", True) else ""
        ddpkg.driver_package(p, id_, component, f"[INSTALLDIR]{stem}.inf", cat,
                             attributes=attributes, type_=d["type"], sequence=d.get("sequence"),
                             previous_guids=prev)
    # The catalog of the CryptCatalog table travels with the product's own component.
    members.update(ddpkg.driver_files(p, "Cat", ["ddprod.cat"], FIX, seq))
    p.rows("CryptCatalog").append(["prodcat", "ddprod.cat", "[INSTALLDIR]ddprod.cat", "Cat", ""])
    if "filt" in drivers:
        ddpkg.driver_registry(p, "reg_chain", "filt", APP_KEY, "Chain", "[~]ddfilt")
        ddpkg.upper_filter(p, "uf_filt", "filt", CLASS_GUID, "ddfilt", dependencies="other")
    p.cabinet("drivers.cab", members, work)
    real_driver_actions(p)
    catalog_actions(p)
    if failing:
        fail_later(p, work)
    return p, guids


def upgrade_table(p):
    p.table("Upgrade", ["UpgradeCode", "VersionMin", "VersionMax", "Language", "Attributes", "Remove",
                        "ActionProperty"], ["s38", "S20", "S20", "S255", "i4", "S255", "s72"],
            ["UpgradeCode", "VersionMin", "VersionMax", "Language", "Attributes"],
            [[p.upgrade_code, "1.0.0", "2.0.0", "", "256", "", "OLDPRODUCTS"]])
    p.properties["SecureCustomProperties"] = "OLDPRODUCTS"
    p.sequence += [("FindRelatedProducts", "", 200), ("RemoveExistingProducts", "", 6650)]


# ---------------------------------------------------------------------------
# The prefix's state, read from the prefix itself.

def parse_reg(text):
    """{key (lower case): {value name (lower case): data text}} of a regedit export."""
    keys, current, pending = {}, None, ""
    for raw in text.splitlines():
        line = pending + raw.strip()
        pending = ""
        if line.endswith("\\") and current is not None and not line.startswith("["):
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1].lower(), {})
        elif current is not None and "=" in line:
            if line.startswith("@="):
                name, data = "@", line[2:]
            else:
                m = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
                if not m:
                    continue
                name, data = m.group(1), m.group(2)
            current[name.lower()] = data
    return keys


class State:
    """What the product can have changed in a prefix."""

    def __init__(self, wine, services=("ddfilt", "dddev", "ddnet")):
        self.wine = wine
        export = os.path.join(wine.dir, "state.reg")
        hklm = {}
        for key in ("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet", "HKEY_LOCAL_MACHINE\\Software\\DDTest"):
            if os.path.exists(export):
                os.remove(export)
            wine.run("regedit", "/e", ddpkg.unix_to_windows(export), key)
            if os.path.exists(export):
                with open(export, "rb") as f:
                    raw = f.read()
                hklm.update(parse_reg(raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("cp1252")))
        self.registry = hklm
        prefix = "hkey_local_machine\\system\\currentcontrolset\\"
        self.services = {s: {k[len(prefix) + 9:]: v for k, v in hklm.items()
                             if k == prefix + "services\\" + s or k.startswith(prefix + "services\\" + s + "\\")}
                         for s in services}
        self.devices = {k[len(prefix) + 10:]: v for k, v in hklm.items()
                        if k.startswith(prefix + "enum\\root\\") and "hardwareid" in v}
        self.class_filters = hklm.get(prefix + "control\\class\\" + CLASS_GUID.lower(), {}).get("upperfilters")
        self.app = {k: v for k, v in hklm.items() if k.startswith("hkey_local_machine\\software\\ddtest")}
        self.group_order = hklm.get(prefix + "control\\grouporderlist", {})
        windows = os.path.join(wine.prefix, "drive_c", "windows")
        self.infs = {os.path.basename(f).lower(): read(f) for f in glob.glob(os.path.join(windows, "inf", "*.inf"))
                     if b"driverdeploy tests" in read(f)}
        self.drivers = {os.path.basename(f).lower(): read(f)
                        for f in glob.glob(os.path.join(windows, "system32", "drivers", "dd*.sys"))}
        catroot = os.path.join(windows, "system32", "catroot", "{f750e6c3-38ee-11d1-85e5-00c04fc295ee}")
        self.catalogs = {os.path.basename(f).lower(): read(f) for f in glob.glob(os.path.join(catroot, "*"))}

    def comparable(self):
        return {"services": self.services, "devices": self.devices, "class_filters": self.class_filters,
                "app": self.app, "infs": self.infs, "drivers": self.drivers, "catalogs": self.catalogs,
                "group_order": self.group_order}

    def service_value(self, service, name):
        return self.services[service].get(service, {}).get(name.lower())

    def device_hardware_ids(self):
        return sorted(v["hardwareid"] for v in self.devices.values())


def read(path):
    with open(path, "rb") as f:
        return f.read()


def multi_sz(*items):
    data = ("\0".join(items) + "\0\0").encode("utf-16-le")
    return "hex(7):" + ",".join(f"{b:02x}" for b in data)


class DriverLifecycle(ddpkg.PackageTestCase):
    def setUp(self):
        super().setUp()
        ddpkg.register_netcfg_double(self.wine)
        code, out = ddpkg.import_registry(self.wine, {
            APP_KEY: {"Chain": ["one", "two"]},
            CLASS_KEY: {"UpperFilters": ["partmgr", "other"]},
            "System\\CurrentControlSet\\Control\\GroupOrderList": {},
        })
        self.assertEqual(0, code, out)
        self.before = State(self.wine).comparable()

    def msiexec(self, verb, msi, **properties):
        if verb == "repair":
            verb = "i"
            properties.update(REINSTALL="ALL", REINSTALLMODE="omus")
        code, log = self.wine.msiexec("/" + verb, ddpkg.unix_to_windows(msi), properties=properties)
        return code, log, ddpkg.library_lines(log)

    def assertDeployed(self, state, version):
        """The filter, device and network drivers of that version as the tables say."""
        filt = state.service_value("ddfilt", "Type")
        self.assertEqual("dword:00000001", filt, state.services["ddfilt"])
        # Finalize switched the filter to system start; the device keeps the INF's demand start.
        self.assertEqual("dword:00000001", state.service_value("ddfilt", "Start"))
        self.assertEqual('"DDTest Filters"', state.service_value("ddfilt", "Group"))
        self.assertIn("ddfilt.sys", state.service_value("ddfilt", "ImagePath").lower())
        self.assertEqual("dword:00000003", state.service_value("dddev", "Start"))
        for name in ("ddfilt", "dddev"):
            self.assertEqual(f"{name} driver image v{version}\n".encode(), state.drivers.get(name + ".sys"), name)
        self.assertEqual([multi_sz("ROOT\\dddev")], state.device_hardware_ids(), state.devices)
        self.assertEqual(f'"{version}"', state.app.get("hkey_local_machine\\software\\ddtest\\filter", {}).get(
            "version"))
        self.assertEqual(multi_sz("one", "two", "ddfilt"),
                         state.app["hkey_local_machine\\software\\ddtest"]["chain"])
        self.assertEqual(multi_sz("partmgr", "ddfilt", "other"), state.class_filters)
        self.assertIn("ddprod.cat", state.catalogs)
        self.assertIn("ddfilt.cat", state.catalogs)
        published = [inf for inf in state.infs.values() if b"dddev" in inf]
        self.assertEqual(1, len(published), list(state.infs))
        self.assertIn(f"{version}.0.0.0".encode(), published[0])

    def test_install_repair_upgrade_and_uninstall(self):
        v1, guids = product(self.work)
        v1_msi = v1.build(self.package_path("v1.msi"))

        code, log, lines = self.msiexec("i", v1_msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        self.assertDeployed(State(self.wine), 1)

        code, log, lines = self.msiexec("repair", v1_msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        said = [t for a, t in lines if a.startswith("InstallDriversDeferred")]
        self.assertIn(" - Upgrading filter driver 'filt' from inf file 'C:\\Program Files\\DDTest\\ddfilt.inf'.",
                      said)
        self.assertDeployed(State(self.wine), 1)

        v2, _ = product(self.work, version=2, install_dir="DDTest2", previous=guids)
        upgrade_table(v2)
        v2_msi = v2.build(self.package_path("v2.msi"))
        code, log, lines = self.msiexec("i", v2_msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        self.assertDeployed(State(self.wine), 2)

        code, log, lines = self.msiexec("x", v2_msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        self.assertEqual(self.before, State(self.wine).comparable())

    def test_a_later_failure_rolls_everything_back(self):
        p, _ = product(self.work, failing=True)
        code, log, lines = self.msiexec("i", p.build(self.package_path()))
        self.assertNotEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        self.assertTrue(os.path.exists(os.path.join(self.work, "fail.rec")), "the failing step did not run")
        said = [t for a, t in lines if a.startswith("InstallDriversRollback")]
        self.assertIn(" - Uninstalling filter driver 'filt' from inf file 'C:\\Program Files\\DDTest\\ddfilt.inf'.",
                      said)
        self.assertEqual(self.before, State(self.wine).comparable())

    def test_a_user_cancel_at_the_driver_progress_rolls_everything_back(self):
        msi = product(self.work)[0].build(self.package_path())
        log = os.path.join(self.work, "cancel.log")
        # The user presses Cancel at the progress of the first package (the filter, sequence 10).
        code, out = self.wine.run(CANCELER, ddpkg.unix_to_windows(msi), ddpkg.unix_to_windows(log),
                                  "InstallDriversDeferred")
        self.assertEqual(ddpkg.EXIT_USER_EXIT, code, out)
        self.assertIn("cancel answered in", out)
        with open(log, "rb") as f:
            raw = f.read()
        lines = ddpkg.library_lines(raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("cp1252"))
        deferred = [t for a, t in lines if a.startswith("InstallDriversDeferred")]
        self.assertIn("Failed to execute driver package 'filt'. User canceled installation. Error 0x80070642.",
                      deferred)
        self.assertFalse(any("'dev'" in t or "'net'" in t for t in deferred), deferred)
        rollback = [t for a, t in lines if a.startswith("InstallDriversRollback")]
        self.assertIn(" - Uninstalling filter driver 'filt' from inf file 'C:\\Program Files\\DDTest\\ddfilt.inf'.",
                      rollback)
        self.assertEqual(self.before, State(self.wine).comparable())

    def test_a_failing_sequenced_package_rolls_back_the_earlier_and_keeps_the_rest_from_running(self):
        src = driver_sources(self.work, 1)
        broken = os.path.join(self.work, "broken")
        shutil.copytree(src, broken)
        # The broken driver copies a file that is not in the package: its commit fails before anything lands.
        with open(os.path.join(broken, "dddev.inf"), encoding="ascii") as f:
            inf = f.read().replace("dddev.sys=1", "dddev_missing.sys=1").replace(
                "[dddev.Files]\ndddev.sys", "[dddev.Files]\ndddev_missing.sys")
        with open(os.path.join(broken, "dddev.inf"), "w", encoding="ascii", newline="\r\n") as f:
            f.write(inf)
        drivers = {"filt": dict(stem="ddfilt", type=1, sequence=10),
                   "brk": dict(stem="dddev", type=1, sequence=20, source=broken, cat=False),
                   "net": dict(stem="ddnet", type=2)}
        src3 = driver_sources(self.work, 1, {"ddfilt": "ddthird"})
        drivers["third"] = dict(stem="ddthird", type=1, sequence=30, source=src3)
        p, _ = product(self.work, drivers=drivers)
        code, log, lines = self.msiexec("i", p.build(self.package_path()))
        self.assertEqual(ddpkg.EXIT_FAILURE, code, log[-4000:])
        deferred = [t for a, t in lines if a.startswith("InstallDriversDeferred")]
        self.assertTrue(any(t.startswith("Failed to execute driver package 'brk'. Failed to commit file queue.")
                            for t in deferred), deferred)
        self.assertTrue(any("dddev_missing.sys" in t for t in deferred), deferred)
        # Neither the later sequenced package nor the parallel one ran.
        self.assertFalse(any("'third'" in t or "'net'" in t for t in deferred), deferred)
        rollback = [t for a, t in lines if a.startswith("InstallDriversRollback")]
        self.assertIn(" - Uninstalling filter driver 'filt' from inf file 'C:\\Program Files\\DDTest\\ddfilt.inf'.",
                      rollback)
        self.assertEqual(self.before, State(self.wine).comparable())

    def test_unsequenced_packages_run_at_the_same_time(self):
        drivers = {}
        for i in (1, 2, 3):
            name = f"ddpar{i}"
            drivers[name] = dict(stem=name, type=1, source=driver_sources(self.work, 1, {"ddfilt": name}))
        p, _ = product(self.work, drivers=drivers)
        code, log, lines = self.msiexec("i", p.build(self.package_path()))
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        # Each package's lines come from a thread of its own, and every package has begun before any has ended.
        threads, first, last = {}, {}, {}
        for index, line in enumerate(log.splitlines()):
            m = ddpkg.LOG_LINE.search(line)
            if not m or not m.group("action").startswith("InstallDriversDeferred"):
                continue
            for i in (1, 2, 3):
                if f"'ddpar{i}'" in m.group("text"):
                    threads.setdefault(i, set()).add(m.group("tid"))
                    first.setdefault(i, index)
                    last[i] = index
        self.assertEqual({1, 2, 3}, set(threads))
        self.assertEqual(3, len(set().union(*threads.values())), threads)
        self.assertLess(max(first.values()), min(last.values()), (first, last))


if __name__ == "__main__":
    ddpkg.main()
