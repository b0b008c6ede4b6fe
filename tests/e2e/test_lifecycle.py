"""The whole driver lifecycle under real msiexec runs, with the real
script-phase driver actions: after install, repair, major upgrade and
uninstall the prefix holds what the tables say; after the uninstall, and
after every rollback (a later failure, a user cancel, a failing package in
the middle of a sequenced list), it holds what it held before the first
install. Unsequenced packages run at the same time.

The rollback cases install their drivers early, from the package's cabinet
extracted into the action's own temporary folder: Wine's rollback removes
the installed files before it runs any custom rollback action (measured),
so a rollback of drivers installed from the product's own files would find
no INF there. Windows runs the rollback script in reverse order, where the
files are still in place when the driver rollback runs."""

import os
import re
import shutil

import ddpkg
from lifecycle import (CANCELER, State, driver_sources, install_device_installer_double, install_recovery_doubles,
                       modern_sources, multi_sz, prepare_prefix, product, recorded_commands, recovery_image_infs,
                       upgrade_table)

TAMPER = os.path.join(ddpkg.BUILD_DIR, "dd_test_tamper.exe")
WIN_RE = 0x40
INSTALL_DIR = "C:\\Program Files\\DDTest\\"

class DriverLifecycle(ddpkg.PackageTestCase):
    def setUp(self):
        super().setUp()
        code, out = prepare_prefix(self.wine)
        self.assertEqual(0, code, out)
        self.before = State(self.wine).comparable()

    def msiexec(self, verb, msi, **properties):
        if verb == "repair":
            verb = "i"
            properties.update(REINSTALL="ALL", REINSTALLMODE="omus")
        code, log = self.wine.msiexec("/" + verb, ddpkg.unix_to_windows(msi), properties=properties)
        return code, log, ddpkg.library_lines(log)

    def assertUninstalledFrom(self, lines, package, inf):
        """The rollback uninstalled the package from its INF in the early install's temporary folder."""
        pattern = re.compile(rf"^ - Uninstalling filter driver '{package}' from inf file '.*\\drv[^\\]*\\{inf}'\.$")
        self.assertTrue(any(pattern.match(t) for t in lines), lines)

    def assertDeployed(self, state, version):
        """The filter, device and network drivers of that version as the tables say."""
        filt = state.service_value("ddfilt", "Type")
        self.assertEqual("dword:00000001", filt, state.services["ddfilt"])
        # Finalize switched the filter to system start; the device keeps the INF's demand start.
        self.assertEqual("dword:00000001", state.service_value("ddfilt", "Start"))
        self.assertEqual('"DDTest Filters"', state.service_value("ddfilt", "Group"))
        self.assertIn("ddfilt.sys", state.service_value("ddfilt", "ImagePath").lower())
        self.assertEqual("dword:00000003", state.service_value("dddev", "Start"))
        self.assertEqual("dword:00000001", state.service_value("ddnet", "Type"))
        self.assertEqual(["ms_ddnet"], ddpkg.netcfg_double_components(self.wine))
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
        # The filter's StopService found its service not running, and the removal went on.
        self.assertIn("The service 'ddfilt' is not running.", [t for a, t in lines if a.startswith("UninstallDrivers")])
        self.assertEqual(self.before, State(self.wine).comparable())

    def test_a_later_failure_rolls_everything_back(self):
        p, _ = product(self.work, failing=True, early=True)
        code, log, lines = self.msiexec("i", p.build(self.package_path()))
        self.assertNotEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        self.assertTrue(os.path.exists(os.path.join(self.work, "fail.rec")), "the failing step did not run")
        said = [t for a, t in lines if a.startswith("InstallDriversRollback")]
        self.assertUninstalledFrom(said, "filt", "ddfilt.inf")
        # The rollback removed the early install's folders too.
        folders = self.early_folders(lines)
        self.assertEqual(3, len(folders))
        for folder in folders:
            self.assertFalse(os.path.exists(self.wine.path(folder)), folder)
            self.assertIn(f"The directory '{folder}' was removed.", said)
        self.assertEqual(self.before, State(self.wine).comparable())

    def test_early_files_changed_before_the_script_runs_are_never_installed(self):
        # Another process of the installing user changes the extracted INF between the immediate action and the
        # system-rights phase: its AddReg would write HKLM\SOFTWARE\DDTest\Tamper with system rights.
        p, _ = product(self.work, early=True, drivers={"dev": dict(stem="dddev", type=3, sequence=10),
                                                       "filt": dict(stem="ddfilt", type=1, sequence=20)})
        p.binary("Tamper", TAMPER)
        record = os.path.join(self.work, "tamper.rec")
        p.custom_action("Tamper", 2, '"' + ddpkg.unix_to_windows(record) + '"', source="Tamper", sequence=1520)
        code, log, lines = self.msiexec("i", p.build(self.package_path()))
        self.assertEqual(ddpkg.EXIT_FAILURE, code, log[-4000:])
        with open(record, "rb") as f:
            changed = [line for line in f.read().decode("utf-16-le").splitlines() if line]
        # Each package's folder holds the whole cabinet: both INFs of both folders were changed.
        self.assertEqual(4, len(changed), changed)
        self.assertEqual({"dddev.inf", "ddfilt.inf"}, {c.rsplit("\\", 1)[1] for c in changed}, changed)
        deferred = [t for a, t in lines if a.startswith("InstallDriversDeferred")]
        # The first package in sequence fails naming a changed file; nothing of any package ran.
        refused = [t for t in deferred if t.startswith("Early driver package 'dev' is not installed: The early file was "
                                                       "changed after it was extracted: ")]
        self.assertEqual(1, len(refused), deferred)
        self.assertIn(refused[0].rsplit(": ", 1)[1], changed)
        self.assertFalse(any(t.startswith(" - Installing") for t in deferred), deferred)
        # The rollback refuses the changed files too, and removes the early folders.
        rollback = [t for a, t in lines if a.startswith("InstallDriversRollback")]
        self.assertTrue(any("The early file was changed after it was extracted" in t for t in rollback), rollback)
        for folder in self.early_folders(lines):
            self.assertFalse(os.path.exists(self.wine.path(folder)), folder)
        self.assertEqual(self.before, State(self.wine).comparable())

    def test_a_rollback_puts_back_a_plain_text_value_holding_the_list_separator(self):
        # Read back, such a value looks like list text: the rollback must still write plain text again.
        code, out = ddpkg.import_registry(self.wine, {"Software\\DDTest": {"Plain": "a[~]b"}})
        self.assertEqual(0, code, out)
        before = State(self.wine).comparable()
        p, _ = product(self.work, failing=True, early=True,
                       drivers={"filt": dict(stem="ddfilt", type=1, sequence=10)})
        ddpkg.driver_registry(p, "reg_plain", "filt", "Software\\DDTest", "Plain", "replaced")
        code, log, lines = self.msiexec("i", p.build(self.package_path()))
        self.assertNotEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        self.assertIn("The registry value 'Plain' installed. Data 'replaced'.",
                      [t for a, t in lines if a == "InstallDriversDeferred"])
        after = State(self.wine)
        self.assertEqual('"a[~]b"', after.app["hkey_local_machine\\software\\ddtest"]["plain"])
        self.assertEqual(before, after.comparable())

    def test_a_user_cancel_at_the_driver_progress_stops_the_driver_actions(self):
        msi = product(self.work, early=True)[0].build(self.package_path())
        log = os.path.join(self.work, "cancel.log")
        # The user presses Cancel at the progress of the first package (the filter, sequence 10).
        code, out = self.wine.run(CANCELER, ddpkg.unix_to_windows(msi), ddpkg.unix_to_windows(log),
                                  "InstallDriversEarlyDeferred")
        self.assertEqual(ddpkg.EXIT_USER_EXIT, code, out)
        self.assertIn("cancel answered in", out)
        with open(log, "rb") as f:
            raw = f.read()
        lines = ddpkg.library_lines(raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("cp1252"))
        deferred = [t for a, t in lines if a.startswith("InstallDriversDeferred")]
        self.assertIn("Failed to execute driver package 'filt'. User canceled installation. Error 0x80070642.",
                      deferred)
        # Every early package's files are verified before the first one installs; none of the later ones ran.
        ran = [t for t in deferred if not t.startswith("Early driver package ")]
        self.assertFalse(any("'dev'" in t or "'net'" in t for t in ran), deferred)
        # The cancel reached the action as 1602 and ended the installation. Wine then runs no rollback
        # script (measured: it rolls back failed installations only), where Windows rolls back with the data
        # that the failure cases below run.
        self.assertFalse(any(a.startswith("InstallDriversRollback") for a, _ in lines), lines[-5:])

    def test_a_failing_sequenced_package_rolls_back_the_earlier_and_keeps_the_rest_from_running(self):
        src = driver_sources(self.work, 1)
        broken = os.path.join(self.work, "broken")
        shutil.copytree(src, broken)
        # The broken driver copies a file that is not in the package: its commit fails before anything lands.
        with open(os.path.join(broken, "dddev.inf"), encoding="ascii") as f:
            # Without a catalog: Wine's lookup of a published INF publishes it, and its removal leaves the
            # catalog behind in the store (measured), which Windows would not.
            inf = f.read().replace("CatalogFile=dddev.cat\n", "").replace("dddev.sys=1", "dddev_missing.sys=1").replace(
                "[dddev.Files]\ndddev.sys", "[dddev.Files]\ndddev_missing.sys")
        with open(os.path.join(broken, "dddev.inf"), "w", encoding="ascii", newline="\r\n") as f:
            f.write(inf)
        drivers = {"filt": dict(stem="ddfilt", type=1, sequence=10),
                   "brk": dict(stem="dddev", type=1, sequence=20, source=broken, cat=False),
                   "net": dict(stem="ddnet", type=2)}
        src3 = driver_sources(self.work, 1, {"ddfilt": "ddthird"})
        drivers["third"] = dict(stem="ddthird", type=1, sequence=30, source=src3)
        p, _ = product(self.work, drivers=drivers, early=True)
        code, log, lines = self.msiexec("i", p.build(self.package_path()))
        self.assertEqual(ddpkg.EXIT_FAILURE, code, log[-4000:])
        deferred = [t for a, t in lines if a.startswith("InstallDriversDeferred")]
        self.assertTrue(any(t.startswith("Failed to execute driver package 'brk'. Failed to commit file queue.")
                            for t in deferred), deferred)
        self.assertTrue(any("dddev_missing.sys" in t for t in deferred), deferred)
        # Neither the later sequenced package nor the parallel one ran: the lines that name them are those of
        # the early files' verification, made for every package before the first one installs.
        ran = [t for t in deferred if not t.startswith("Early driver package ")]
        self.assertFalse(any("'third'" in t or "'net'" in t for t in ran), deferred)
        rollback = [t for a, t in lines if a.startswith("InstallDriversRollback")]
        self.assertUninstalledFrom(rollback, "filt", "ddfilt.inf")
        self.assertEqual(self.before, State(self.wine).comparable())

    def test_an_uninstall_finishes_every_package_past_a_failing_step_and_names_what_it_left(self):
        # Each package has a key entry whose key holds a subkey of someone else's: its removal fails (5) at the
        # registry step, early in every uninstall, and every later step must still run. A value of the filter
        # in a key of its own, and one in a key that holds another value too.
        code, out = ddpkg.import_registry(self.wine, {"Software\\DDTest\\Stuck\\Sub": {"Other": "x"},
                                                      "Software\\DDTest\\Shared": {"Other": "keep"}})
        self.assertEqual(0, code, out)
        before = State(self.wine).comparable()
        p, _ = product(self.work)
        for id_ in ("filt", "dev", "net"):
            ddpkg.driver_registry(p, "stuck_" + id_, id_, "Software\\DDTest\\Stuck", "+", "")
        ddpkg.driver_registry(p, "reg_fresh", "filt", "Software\\DDTest\\Fresh\\Deep", "Mine", "1")
        ddpkg.driver_registry(p, "reg_shared", "filt", "Software\\DDTest\\Shared", "Mine", "1")
        msi = p.build(self.package_path())
        code, log, lines = self.msiexec("i", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        self.assertIn("hkey_local_machine\\software\\ddtest\\fresh\\deep", State(self.wine).app)

        code, log, lines = self.msiexec("x", msi)
        # Best effort: the product is gone and the action returns 0.
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        said = [t for a, t in lines if a.startswith("UninstallDriversDeferred")]
        for id_ in ("filt", "dev", "net"):
            self.assertIn(f"Uninstall step 'remove the registry entries' of driver package '{id_}' failed. Failed to "
                          f"remove registry key: Software\\DDTest\\Stuck Error 0x80070005. The next steps go on.", said)
            self.assertIn(f"The driver package '{id_}' was not removed completely. Error 0x80070005.", said)
            # Error 27301 of the package's Error table, sent as a warning: [3] the package, [2] the code, logged
            # by Wine's msi as "Warning <number>.<text>".
            self.assertIn(f"Warning 27301.Failed to uninstall drivers. {id_} Error -2147024891.", log.splitlines(),
                          [t for t in log.splitlines() if "27301" in t or "uninstall drivers" in t.lower()])
        # The parallel group is removed first.
        self.assertIn("Driver packages left behind: 'net', 'filt', 'dev'.", said)
        self.assertIn("UninstallDriversDeferred: finished. Return value 0.", said)
        # Service, files, devices, component, catalogs, class list, load order and the other values all went.
        # The row's own key went with its value once empty; its parent, which no row names, stays; the shared
        # key kept the other value; the stuck key is as it was.
        after = State(self.wine).comparable()
        self.assertEqual([], ddpkg.netcfg_double_components(self.wine))
        self.assertNotIn("hkey_local_machine\\software\\ddtest\\fresh\\deep", after["app"])
        self.assertEqual({}, after["app"].pop("hkey_local_machine\\software\\ddtest\\fresh"))
        self.assertEqual({"other": '"keep"'}, after["app"]["hkey_local_machine\\software\\ddtest\\shared"])
        self.assertEqual(before, after)

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
        for index, line in enumerate(ddpkg.wine.log_lines(log)):
            if not line.action.startswith("InstallDriversDeferred"):
                continue
            for i in (1, 2, 3):
                if f"'ddpar{i}'" in line.text:
                    threads.setdefault(i, set()).add(line.tid)
                    first.setdefault(i, index)
                    last[i] = index
        self.assertEqual({1, 2, 3}, set(threads))
        self.assertEqual(3, len(set().union(*threads.values())), threads)
        self.assertLess(max(first.values()), min(last.values()), (first, last))


    def early_folders(self, lines):
        """The temporary folders the early install extracted the drivers into."""
        made = [re.match(r"^Create directory '(.*)'\.$", t) for a, t in lines if a == "InstallDriversEarly"]
        return [m.group(1) for m in made if m]

    def test_early_folders_go_on_commit_and_the_product_folder_stays(self):
        drivers = {"filt": dict(stem="ddfilt", type=1, sequence=10, attributes=0x4),
                   "dev": dict(stem="dddev", type=3, sequence=20)}
        p, _ = product(self.work, drivers=drivers)
        code, log, lines = self.msiexec("i", p.build(self.package_path()))
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        [folder] = self.early_folders(lines)
        self.assertFalse(os.path.exists(self.wine.path(folder)), folder)
        self.assertIn(f"The directory '{folder}' was removed.", [t for a, t in lines if a == "InstallDriversCommit"])
        # The device was installed from the product's own folder, which the commit leaves alone.
        self.assertTrue(os.path.exists(self.wine.path(INSTALL_DIR + "dddev.inf")))
        self.assertEqual(1, len(State(self.wine).device_hardware_ids()))

    def test_recovery_image_gets_the_drivers_after_every_package(self):
        record = install_recovery_doubles(
            self.wine, "Windows RE location:    \\\\?\\GLOBALROOT\\device\\harddisk0\\partition4\\Recovery\\WindowsRE\r\n",
            image=True)
        drivers = {"filt": dict(stem="ddfilt", type=1, sequence=10, attributes=WIN_RE),
                   "dev": dict(stem="dddev", type=3, sequence=20),
                   "net": dict(stem="ddnet", type=2, attributes=WIN_RE)}
        p, _ = product(self.work, drivers=drivers)
        msi = p.build(self.package_path())
        code, log, lines = self.msiexec("i", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        commands = recorded_commands(record)
        self.assertEqual(7, len(commands), commands)
        mount = re.search(r'/MountDir:"([^"]*)"', commands[2]).group(1)
        image = "\\\\?\\GLOBALROOT\\device\\harddisk0\\partition4\\Recovery\\WindowsRE\\WinRe.wim"
        # Each tool runs by its full path, quoted as argument 0.
        reagentc, dism = '"C:\\windows\\system32\\reagentc.exe"', '"C:\\windows\\system32\\dism.exe"'
        self.assertEqual([
            reagentc + " /info",
            dism + " /Get-MountedWimInfo",
            f'{dism} /Mount-Wim /WimFile:"{image}" /MountDir:"{mount}" /index:1',
            f'{dism} /Image:"{mount}" /Add-Driver /Driver:"{INSTALL_DIR}ddfilt.inf"',
            f'{dism} /Image:"{mount}" /Add-Driver /Driver:"{INSTALL_DIR}ddnet.inf"',
            f'{dism} /Image:"{mount}" /Get-Drivers',
            f'{dism} /Unmount-Wim /MountDir:"{mount}" /Commit',
        ], commands)
        # The recovery step begins once every package, the parallel one included, has finished.
        deferred = [t for a, t in lines if a == "InstallDriversDeferred"]
        need = deferred.index("Need to add/remove driver package 'filt' to Windows Recovery Environment.")
        self.assertEqual("Need to add/remove driver package 'net' to Windows Recovery Environment.", deferred[need + 1])
        self.assertLess(deferred.index("The network driver 'net' was successfully installed."), need)
        self.assertLess(deferred.index("The device driver 'dev' was successfully installed."), need)
        self.assertFalse(os.path.exists(self.wine.path(mount)), mount)
        infs = recovery_image_infs(record)
        self.assertEqual(["oem1.inf", "oem2.inf"], sorted(infs))
        self.assertIn(b"ddfilt", infs["oem1.inf"])
        self.assertIn(b"ddnet", infs["oem2.inf"])

        # A repair reinstalls both: each earlier copy is removed by its published name first, one copy stays.
        os.remove(record)
        code, log, lines = self.msiexec("repair", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        commands = recorded_commands(record)
        mount = re.search(r'/MountDir:"([^"]*)"', commands[2]).group(1)
        self.assertEqual([
            f'{dism} /Image:"{mount}" /Remove-Driver /Driver:"oem1.inf"',
            f'{dism} /Image:"{mount}" /Add-Driver /Driver:"{INSTALL_DIR}ddfilt.inf"',
            f'{dism} /Image:"{mount}" /Remove-Driver /Driver:"oem2.inf"',
            f'{dism} /Image:"{mount}" /Add-Driver /Driver:"{INSTALL_DIR}ddnet.inf"',
        ], commands[3:7])
        self.assertEqual({"oem3.inf": infs["oem1.inf"], "oem4.inf": infs["oem2.inf"]}, recovery_image_infs(record))

        # The uninstall removes them by the names the image published them under; the image is left without them.
        os.remove(record)
        code, log, lines = self.msiexec("x", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        commands = recorded_commands(record)
        mount = re.search(r'/MountDir:"([^"]*)"', commands[2]).group(1)
        removals = [c for c in commands if "/Remove-Driver" in c]
        self.assertEqual([f'{dism} /Image:"{mount}" /Remove-Driver /Driver:"oem3.inf"',
                          f'{dism} /Image:"{mount}" /Remove-Driver /Driver:"oem4.inf"'], removals)
        said = [t for a, t in lines if a == "UninstallDriversDeferred"]
        self.assertIn("Found 'oem3.inf' in Windows Recovery Environment for driver 'filt'.", said)
        self.assertEqual({}, recovery_image_infs(record))
        self.assertEqual(self.before, State(self.wine).comparable())

    def test_modern_device_infs_deploy_as_root_devices_and_go_again(self):
        # Public samples' INFs, decorated for Windows 10 from build 16299 only and copying to DIRID 13: one with
        # its hardware id in the row, one whose hardware id is ROOT\<first service> (empty HardwareId). Wine's
        # device installer takes no such model: a stand-in for it chooses the decoration as Windows does.
        install_device_installer_double(self.wine)
        src = modern_sources(self.work)
        drivers = {"sensor": dict(stem="simsensor", type=3, sequence=10, hardware_id="ACPI\\MSNS0042"),
                   "uma": dict(stem="usermode_accessors_sample", type=3, sequence=20)}
        for d in drivers.values():
            d["source"] = src
        p, _ = product(self.work, drivers=drivers)
        msi = p.build(self.package_path())
        services = ("simsensor", "umaaccessorssample")
        inf_store = self.wine.path("C:\\windows\\inf")

        def published():
            return sorted(f.lower() for f in os.listdir(inf_store)
                          if f.lower() in ("simsensor.inf", "usermode_accessors_sample.inf") or
                          (f.lower().startswith("oem") and f.lower().endswith(".inf")))

        code, log, lines = self.msiexec("i", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        said = [t for a, t in lines if a == "InstallDriversDeferred"]
        self.assertIn("The device driver 'sensor' was successfully installed.", said)
        self.assertIn("The device driver 'uma' was successfully installed.", said)
        state = State(self.wine, services=services)
        self.assertEqual([multi_sz("ACPI\\MSNS0042"), multi_sz("ROOT\\UmaAccessorsSample")],
                         state.device_hardware_ids(), state.devices)
        for service, image in (("simsensor", "simsensor.sys"), ("umaaccessorssample", "usermode_accessors_sample.sys")):
            self.assertEqual("dword:00000001", state.service_value(service, "Type"), state.services[service])
            self.assertIn(image, state.service_value(service, "ImagePath").lower())
        self.assertEqual(["simsensor.inf", "usermode_accessors_sample.inf"], published())

        code, log, lines = self.msiexec("x", msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-4000:])
        state = State(self.wine, services=services)
        self.assertEqual([], state.device_hardware_ids(), state.devices)
        self.assertEqual([], published())

    def test_the_network_filter_limit_reaches_the_installer_as_its_own_error(self):
        ddpkg.netcfg_double_answer(self.wine, "Install", 0x8004A029)
        p, _ = product(self.work, drivers={"net": dict(stem="ddnet", type=2)}, early=True)
        code, log, lines = self.msiexec("i", p.build(self.package_path()))
        self.assertEqual(ddpkg.EXIT_FAILURE, code, log[-4000:])
        self.assertIn("Failed to execute driver package 'net'. Failed install network components. Error 0x8004a029.",
                      [t for a, t in lines if a == "InstallDriversDeferred"])
        self.assertIn("Failed install network components. Error 0x8004a029.",
                      [t for a, t in lines if a == "InstallDriversDeferred"])
        # Error 27302 from the package's Error table: [3] the package, [2] the code as a signed number.
        self.assertIn("The number of network filters reached its limit. net Error -2147180503.", log.splitlines())
        self.assertEqual(self.before, State(self.wine).comparable())


if __name__ == "__main__":
    ddpkg.main()
