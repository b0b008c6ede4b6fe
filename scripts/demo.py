#!/usr/bin/env python3
"""The main job: build a sample driver product around driverdeploy.dll (a
legacy filter driver, a root device driver, a network driver, a registry
value, a class upper filter and a catalog), install and uninstall it under
Wine with a verbose log, and show what the driver actions decided next to
what the machine then held, read from the Wine prefix itself: services,
device nodes, the INF store, catalogs and registry values."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import ddpkg  # noqa: E402
import lifecycle  # noqa: E402

KIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "authoring", "bin", "driverdeploy")
APP_KEY = "hkey_local_machine\\software\\ddtest"
FILTER_SUBKEY = "\\filter"
SHOWN_ACTIONS = ("UninstallDrivers", "InstallDrivers", "InstallDriversDeferred", "InstallDriversRollback",
                 "InstallDriversFinalize", "UninstallDriversDeferred", "UninstallDriversRollback",
                 "InstallCryptCatalog", "UninstallCryptCatalog")


def decode_multi_sz(data):
    if not data or not data.startswith("hex(7):"):
        return data
    raw = bytes(int(b, 16) for b in data[len("hex(7):"):].split(",") if b)
    return [item for item in raw.decode("utf-16-le").split("\0") if item]


def show_state(title, state):
    print(f"\n  -- machine state {title}")
    for name, keys in state.services.items():
        values = keys.get(name)
        if not values:
            print(f"  service {name}: none")
            continue
        shown = ", ".join(f"{k}={values[k]}" for k in ("type", "start", "group", "imagepath") if k in values)
        print(f"  service {name}: {shown}")
    devices = state.devices or {}
    if not devices:
        print("  root device nodes of the product: none")
    for key, values in sorted(devices.items()):
        print(f"  device ROOT\\{key}: hardware ids {decode_multi_sz(values.get('hardwareid'))}, "
              f"service {values.get('service')}")
    print(f"  INF store: {sorted(state.infs) or 'none of the product'}")
    print(f"  driver files: {sorted(state.drivers) or 'none'}")
    print(f"  catalogs: {sorted(c for c in state.catalogs if c.startswith('dd')) or 'none of the product'}")
    chain = state.app.get(APP_KEY, {}).get("chain")
    print(f"  HKLM\\Software\\DDTest Chain: {decode_multi_sz(chain)}")
    print(f"  HKLM\\Software\\DDTest\\Filter: {state.app.get(APP_KEY + FILTER_SUBKEY, 'none')}")
    print(f"  class {lifecycle.CLASS_GUID} UpperFilters: {decode_multi_sz(state.class_filters)}")


def show_run(title, code, log):
    print(f"\n== {title}: msiexec exit code {code}")
    for action, text in ddpkg.library_lines(log):
        if action.startswith(SHOWN_ACTIONS):
            print(f"  {text}" if text.startswith(action) else f"  {action}: {text}")


def main():
    wine = ddpkg.Prefix("demo")
    try:
        code, out = lifecycle.prepare_prefix(wine)
        if code != 0:
            print(out)
            return 1
        msi = lifecycle.product(wine.dir)[0].build(os.path.join(wine.dir, "sample.msi"))
        print(f"package: {msi}")
        # The authoring kit's check of the package's driverdeploy tables, actions and sequence.
        lint = subprocess.run([sys.executable, KIT, "lint", msi], capture_output=True, text=True)
        print(f"driverdeploy lint: {'clean' if lint.returncode == 0 else 'problems'}")
        if lint.returncode != 0:
            print(lint.stdout + lint.stderr)
            return 1
        before = lifecycle.State(wine)
        show_state("before the install", before)
        code, log = wine.install(msi, properties={"LOGVERBOSE": "1"})
        show_run("install", code, log)
        show_state("after the install", lifecycle.State(wine))
        code2, log2 = wine.uninstall(msi)
        show_run("uninstall", code2, log2)
        after = lifecycle.State(wine)
        show_state("after the uninstall", after)
        same = after.comparable() == before.comparable()
        print(f"\n  the machine after the uninstall is {'the same as' if same else 'NOT the same as'} before the install")
        logs = os.path.join(ddpkg.BUILD_DIR, "demo-logs")
        os.makedirs(logs, exist_ok=True)
        for name, text in (("install.log", log), ("uninstall.log", log2)):
            with open(os.path.join(logs, name), "w", encoding="utf-8") as f:
                f.write(text)
        print(f"\nfull verbose logs: {logs}")
        return 0 if code == 0 and code2 == 0 and same else 1
    finally:
        wine.close()


if __name__ == "__main__":
    sys.exit(main())
