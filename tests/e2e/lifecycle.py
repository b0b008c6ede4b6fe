"""Driver products for the lifecycle tests and the demo: a legacy filter
driver, a root device driver and a network driver with the real script-phase
driver actions of driverdeploy.dll, a registry value merged into one already
on the machine, an upper filter placed in a class list already there and a
catalog; and the state of a prefix that such a product can change, read
from the prefix itself."""

import glob
import os
import re
import shutil
import sys

import ddpkg

FIX = os.path.join(ddpkg.FIXTURES, "lifecycle")
RECORDER = os.path.join(ddpkg.BUILD_DIR, "dd_test_recorder.exe")
CANCELER = os.path.join(ddpkg.BUILD_DIR, "dd_cancel_install.exe")
CA_EXE_DEFERRED = 2 | ddpkg.CA_IN_SCRIPT | ddpkg.CA_NO_IMPERSONATE

CLASS_GUID = "{D1E2F3A4-0000-4000-8000-00DD7E570002}"
CLASS_KEY = "System\\CurrentControlSet\\Control\\Class\\" + CLASS_GUID
APP_KEY = "Software\\DDTest"
SERVICES = "System\\CurrentControlSet\\Services\\"
START_TYPE_ON_FINALIZE = 0x20
STOP_SERVICE = 0x400
UNINSTALL_PREVIOUS_VERSION = 0x8
INSTALL_EARLY = 0x4

# The kit's schema (on the path through ddpkg) says which actions a package binds and where they go.
from driverdeploy import schema  # noqa: E402


def kit_actions(p, table):
    """Every custom action of the family that handles `table`, bound to the real export as the kit's schema
    says, with the sequence entries it names."""
    steps = {s.action: s for s in schema.SEQUENCE}
    for a in schema.ACTIONS:
        if a.table == table:
            step = steps.get(a.name)
            p.custom_action(a.name, a.type, a.entry, sequence=step.sequence if step else None,
                            condition=step.condition if step else "")


def real_driver_actions(p):
    """The driver actions of driverdeploy.dll: uninstall before the files go, install after they came, every
    scheduled name (plain and "_x64") bound to the real export, and the finalize step. The uninstall is left to
    the new version during a major upgrade (it removes the old drivers itself)."""
    kit_actions(p, "DriverPackage")


def catalog_actions(p):
    kit_actions(p, "CryptCatalog")


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
            failing=False, early=False):
    """The driver product. drivers: {id: dict(stem=..., type=..., sequence=..., attributes=..., source=...)};
    the default is the filter (sequenced, finalized), the device (sequenced) and the network driver (parallel).
    previous: the component GUIDs of the version before, which this one removes. early: every driver is
    installed early, from the package's cabinet extracted into a temporary folder of the action's own."""
    src = driver_sources(work, version)
    if drivers is None:
        # The filter's service is stopped before it goes; Wine never runs a kernel driver, so that stop always
        # finds a service that is not running, as Windows does for every driver stopped at uninstall time.
        drivers = {"filt": dict(stem="ddfilt", type=1, sequence=10, attributes=START_TYPE_ON_FINALIZE | STOP_SERVICE),
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
        attributes = d.get("attributes", 0) | (INSTALL_EARLY if early else 0)
        prev = ""
        if previous and id_ in previous:
            attributes |= UNINSTALL_PREVIOUS_VERSION
            prev = previous[id_]
        cat = f"[INSTALLDIR]{stem}.cat" if d.get("cat", True) else ""
        ddpkg.driver_package(p, id_, component, f"[INSTALLDIR]{stem}.inf", cat,
                             attributes=attributes, type_=d["type"], sequence=d.get("sequence"),
                             previous_guids=prev, hardware_id=d.get("hardware_id", ""))
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
    # The old product goes first, before this one's script: Wine's RemoveExistingProducts does not set
    # UPGRADINGPRODUCTCODE in the removed product's session (measured), so an old product removed after the new
    # one's install would take the new drivers with it. Its own uninstall removes its drivers; the new rows with
    # UninstallPreviousVersion then find no previous version left.
    p.sequence += [("FindRelatedProducts", "", 200), ("RemoveExistingProducts", "", 1450)]


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


def export_key(wine, key, must_exist=False, attempts=3):
    """The parsed regedit export of a key; {} when the key is not there (which fails when must_exist). An export
    that did not come out (regedit failed, or wrote no such key) is tried again, and said on stderr, so that a
    failing export never reads as a changed machine."""
    export = os.path.join(wine.dir, "state.reg")
    said = []
    for _ in range(attempts):
        if os.path.exists(export):
            os.remove(export)
        code, out = wine.run("regedit", "/e", ddpkg.unix_to_windows(export), key)
        keys, whole = {}, False
        if os.path.exists(export):
            with open(export, "rb") as f:
                raw = f.read()
            text = raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("cp1252")
            keys = parse_reg(text)
            # Every key of an export ends with a blank line: a file cut short ends elsewhere.
            whole = text.endswith("\r\n\r\n")
        if key.lower() in keys and whole:
            if said:
                print(f"regedit export of {key} came out after: {said}", file=sys.stderr)
            return keys
        said.append((code, os.path.exists(export), len(keys), whole, out[-500:]))
        # A key that is not there is no failure of the export: regedit says so, writes nothing and exits with 0
        # (measured).
        if not must_exist and "Unable to open the registry key" in out and not os.path.exists(export):
            return {}
    raise AssertionError(f"regedit export of {key} failed: {said}")


class State:
    """What the product can have changed in a prefix."""

    def __init__(self, wine, services=("ddfilt", "dddev", "ddnet")):
        self.wine = wine
        hklm = {}
        hklm.update(export_key(wine, "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet", must_exist=True))
        hklm.update(export_key(wine, "HKEY_LOCAL_MACHINE\\Software\\DDTest"))
        self.registry = hklm
        prefix = "hkey_local_machine\\system\\currentcontrolset\\"
        self.services = {s: {k[len(prefix) + 9:]: v for k, v in hklm.items()
                             if k == prefix + "services\\" + s or k.startswith(prefix + "services\\" + s + "\\")}
                         for s in services}
        self.devices = {k[len(prefix) + 10:]: v for k, v in hklm.items()
                        if k.startswith(prefix + "enum\\root\\") and "hardwareid" in v
                        and not k.startswith(prefix + "enum\\root\\wine\\")}  # Wine's own buses
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


def prepare_prefix(wine):
    """The stand-in network configuration object, and what the machine holds before the product comes: the
    registry list and the class's upper filters that the product adds to, and the (empty) load-order group list
    that Windows always has. Returns regedit's (exit code, output)."""
    ddpkg.register_netcfg_double(wine)
    return ddpkg.import_registry(wine, {
        APP_KEY: {"Chain": ["one", "two"]},
        CLASS_KEY: {"UpperFilters": ["partmgr", "other"]},
        "System\\CurrentControlSet\\Control\\GroupOrderList": {},
    })


def install_recovery_doubles(wine, locate_output, image=False):
    """The stand-in reagentc.exe and dism.exe in the prefix's system directory (dism loaded as the native program
    rather than Wine's built-in one); reagentc answers the locate step with locate_output. With image, dism keeps
    the image's third-party drivers in the doubles' "image" folder as DISM keeps them in the image. Returns the
    file in which both record their command lines."""
    folder = os.path.join(wine.dir, "recovery-doubles")
    os.makedirs(os.path.join(folder, "image") if image else folder, exist_ok=True)
    system32 = wine.path("C:\\windows\\system32")
    for tool in ("reagentc", "dism"):
        shutil.copyfile(os.path.join(ddpkg.BUILD_DIR, f"dd_{tool}_double.exe"), os.path.join(system32, tool + ".exe"))
    with open(os.path.join(folder, "script.txt"), "w", newline="\n") as f:
        f.write(f"reagentc /info 0 {locate_output.encode('ascii').hex()}\n")
    wine.env["DD_RECOVERY_DOUBLE_DIR"] = ddpkg.unix_to_windows(folder)
    wine.env["WINEDLLOVERRIDES"] = "dism.exe=n"
    return os.path.join(folder, "record.txt")


def install_device_installer_double(wine):
    """The stand-in newdev.dll (tests/doubles/DeviceInstallerDouble.cpp) in the prefix's system directory, loaded as
    the native library rather than Wine's built-in one: Wine 8's device installer finds no model in a models section
    decorated with a version (docs/testing-under-wine.md); the double chooses the decoration as Windows does."""
    target = os.path.join(wine.path("C:\\windows\\system32"), "newdev.dll")
    # The prefix's built-in DLLs are hard links to the template's: unlinked first, so the template keeps its own.
    os.remove(target)
    shutil.copyfile(os.path.join(ddpkg.BUILD_DIR, "dd_newdev_double.dll"), target)
    overrides = [o for o in wine.env.get("WINEDLLOVERRIDES", "").split(";") if o]
    wine.env["WINEDLLOVERRIDES"] = ";".join(overrides + ["newdev=n"])


def recorded_commands(record):
    """The command lines the recovery doubles recorded, in order."""
    if not os.path.exists(record):
        return []
    with open(record, "rb") as f:
        return [line for line in f.read().decode("utf-16-le").split("\n") if line]


def recovery_image_infs(record):
    """The published INFs (name: text) of the stand-in image kept beside the doubles' record."""
    folder = os.path.join(os.path.dirname(record), "image", "Windows", "INF")
    return {os.path.basename(f).lower(): read(f) for f in glob.glob(os.path.join(folder, "*.inf"))}


def modern_sources(work):
    """The public driver samples' INFs of tests/fixtures/modern with the driver images and catalogs they name (a
    line of text each)."""
    out = os.path.join(work, "src-modern")
    os.makedirs(out, exist_ok=True)
    for stem in ("simsensor", "usermode_accessors_sample"):
        shutil.copyfile(os.path.join(ddpkg.FIXTURES, "modern", stem + ".inf"), os.path.join(out, stem + ".inf"))
        for ext in (".sys", ".cat"):
            with open(os.path.join(out, stem + ext), "w") as f:
                f.write(f"stand-in {ext[1:]} of {stem}\n")
    return out
