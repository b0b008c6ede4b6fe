#!/usr/bin/env python3
"""The main job: build a sample driver package around driverdeploy.dll,
install and uninstall it under Wine with a verbose log, and show what the
custom actions decided and scheduled.

The script-phase driver actions are not in the library yet: the sample binds
the names the immediate actions schedule to the recording test double, which
writes down what each was handed, so the demo shows the decoded data."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import ddpkg  # noqa: E402
from ddpkg import CA_IMMEDIATE  # noqa: E402

FIX = os.path.join(ddpkg.FIXTURES, "scheduling")
CLASS_GUID = "{D1E2F3A4-0000-4000-8000-00DD7E570001}"
DRIVER_ACTIONS = ("InstallDriversEarly", "UninstallDrivers", "InstallDrivers")


def sample_package(work):
    p = ddpkg.Package("driverdeploy sample")
    ddpkg.add_driver_tables(p)
    members = {}
    # alpha: first in order, finalized; beta: in the parallel group, removes its previous version;
    # early: installed before the installer copies files, from the package's cabinet.
    for seq, (id_, attributes, order) in enumerate((("alpha", 0x20, 10), ("beta", 0x8, None),
                                                    ("early", 0x24, 5)), start=1):
        component = id_.capitalize()
        members.update(ddpkg.driver_files(p, component, [f"dd{id_}.inf", f"dd{id_}.cat"], FIX, 2 * seq - 1))
        ddpkg.driver_package(p, id_, component, f"[INSTALLDIR]dd{id_}.inf", f"[INSTALLDIR]dd{id_}.cat",
                             attributes=attributes, sequence=order)
    p.cabinet("drivers.cab", members, work)
    ddpkg.driver_registry(p, "reg_chain", "alpha", "SOFTWARE\\DDTest", "Chain", "[~]ddalpha")
    ddpkg.upper_filter(p, "uf_beta", "beta", CLASS_GUID, "ddbeta", dependencies="other")
    ddpkg.driver_actions(p, early=True, fail_switch=False)
    p.custom_action("InstallCryptCatalog", CA_IMMEDIATE, "InstallCryptCatalog", sequence=1550, condition="NOT REMOVE")
    p.custom_action("ProtectServices", CA_IMMEDIATE, "ProtectServices", sequence=1560, condition="NOT REMOVE")
    p.custom_action("UninstallCryptCatalog", CA_IMMEDIATE, "UninstallCryptCatalog", sequence=1590, condition="REMOVE")
    return p


def describe(package):
    text = (f"    {package['id']}: operation {package['act']}, sequence {package['seq']}, "
            f"attributes 0x{package['atr']:x}\n      inf {package['inf']}\n      cat {package['cat']}")
    for entry in package["reg"]:
        text += (f"\n      registry {entry['id']}: root {entry['root']} {entry['key']} {entry['name']} = "
                 f"'{entry['value']}' (action {entry['act']})")
    return text


def show(title, code, log, records):
    print(f"\n== {title}: msiexec exit code {code}")
    for action, text in ddpkg.library_lines(log):
        print(f"  {action}: {text}" if not text.startswith(action) else f"  {text}")
    for action in DRIVER_ACTIONS:
        scheduled = ddpkg.actions_started_within(log, action)
        if scheduled:
            print(f"\n  {action} scheduled: {', '.join(scheduled)}")
    scheduled = {name[len("scheduled:"):]: data for name, data in records if name.startswith("scheduled:")}
    for name, data in scheduled.items():
        print(f"\n  {name} data:")
        for package in ddpkg.decode_packages(data):
            print(describe(package))
    print("\n  script phase (recording double):")
    for name, data in records:
        if name.startswith("scheduled:"):
            continue
        if name in ddpkg.PUBLISHED_LISTS:
            print(f"  {name} = '{data}'")
        elif name == "InstallDriversFinalize":
            print(f"  {name}: {', '.join(p['id'] for p in ddpkg.decode_packages(data)) or 'nothing'} to finalize")
        else:
            same = "the data scheduled" if scheduled.get(name) == data else f"'{data}'"
            print(f"  {name} ran with {same}")


def main():
    wine = ddpkg.Prefix("demo")
    try:
        msi = sample_package(wine.dir).build(os.path.join(wine.dir, "sample.msi"))
        print(f"package: {msi}")
        ddpkg.import_registry(wine, {"SOFTWARE\\DDTest": {"Chain": ["one", "two"]},
                                     "SYSTEM\\CurrentControlSet\\Control\\Class\\" + CLASS_GUID:
                                         {"UpperFilters": ["partmgr", "other"]}})
        code, log = wine.install(msi, properties={"LOGVERBOSE": "1"})
        show("install", code, log, ddpkg.recorded_actions(wine))
        code2, log2 = wine.uninstall(msi)
        show("uninstall", code2, log2, ddpkg.recorded_actions(wine))
        logs = os.path.join(ddpkg.BUILD_DIR, "demo-logs")
        os.makedirs(logs, exist_ok=True)
        for name, text in (("install.log", log), ("uninstall.log", log2)):
            with open(os.path.join(logs, name), "w", encoding="utf-8") as f:
                f.write(text)
        print(f"\nfull verbose logs: {logs}")
        return 0 if code == 0 and code2 == 0 else 1
    finally:
        wine.close()


if __name__ == "__main__":
    sys.exit(main())
