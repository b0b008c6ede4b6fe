#!/usr/bin/env python3
"""The main job: build a sample driver package around driverdeploy.dll,
install and uninstall it under Wine with a verbose log, and show what the
custom actions did."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import ddpkg  # noqa: E402
from ddpkg import CA_COMMIT_ACTION, CA_DEFERRED, CA_IMMEDIATE, CA_ROLLBACK_ACTION  # noqa: E402


def sample_package():
    p = ddpkg.Package("driverdeploy sample")
    p.custom_action("InstallDriversEarly", CA_IMMEDIATE, "InstallDriversEarly", sequence=1505, condition="NOT REMOVE")
    p.custom_action("InstallDrivers", CA_IMMEDIATE, "InstallDrivers", sequence=1510, condition="NOT REMOVE")
    p.custom_action("InstallDriversRollback", CA_ROLLBACK_ACTION, "InstallDriversRollback", sequence=1520,
                    condition="NOT REMOVE")
    p.custom_action("InstallDriversDeferred", CA_DEFERRED, "InstallDriversDeferred", sequence=1530,
                    condition="NOT REMOVE")
    p.custom_action("InstallDriversCommit", CA_COMMIT_ACTION, "InstallDriversCommit", sequence=1540,
                    condition="NOT REMOVE")
    p.custom_action("InstallCryptCatalog", CA_IMMEDIATE, "InstallCryptCatalog", sequence=1550, condition="NOT REMOVE")
    p.custom_action("ProtectServices", CA_IMMEDIATE, "ProtectServices", sequence=1560, condition="NOT REMOVE")
    p.custom_action("UninstallDrivers", CA_IMMEDIATE, "UninstallDrivers", sequence=1570, condition="REMOVE")
    p.custom_action("UninstallDriversDeferred", CA_DEFERRED, "UninstallDriversDeferred", sequence=1580,
                    condition="REMOVE")
    p.custom_action("UninstallCryptCatalog", CA_IMMEDIATE, "UninstallCryptCatalog", sequence=1590, condition="REMOVE")
    return p


def show(title, code, log):
    print(f"\n== {title}: msiexec exit code {code}")
    for action, text in ddpkg.library_lines(log):
        print(f"  {action}: {text}" if not text.startswith(action) else f"  {text}")


def main():
    wine = ddpkg.Prefix("demo")
    try:
        msi = sample_package().build(os.path.join(wine.dir, "sample.msi"))
        print(f"package: {msi}")
        code, log = wine.install(msi, properties={"LOGVERBOSE": "1"})
        show("install", code, log)
        code2, log2 = wine.uninstall(msi)
        show("uninstall", code2, log2)
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
