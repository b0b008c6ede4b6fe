"""Where a bench product's install spends its time in platform calls: one msiexec install of a bench product with
Wine's relay trace on for a chosen set of functions (and time stamps), summed per function and per action.

    python3 tests/bench/profile_calls.py [--packages N] [--unsequenced] [--functions F,F,...]

Not a benchmark (the trace slows every traced call a little); it names the calls behind a benchmark's figure."""

import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import benchkit as bk  # noqa: E402
import ddpkg  # noqa: E402

FUNCTIONS = [
    # The installer, reached from the custom-action host.
    "MsiProcessMessage", "MsiGetPropertyW", "MsiDoActionW", "MsiSetPropertyW", "MsiFormatRecordW",
    "MsiEvaluateConditionW", "MsiGetComponentStateW", "MsiViewFetch", "MsiViewExecute", "MsiDatabaseOpenViewW",
    "MsiRecordGetStringW", "MsiGetActiveDatabase",
    # SetupAPI.
    "SetupOpenInfFileW", "SetupCopyOEMInfW", "SetupUninstallOEMInfW", "SetupInstallFilesFromInfSectionW",
    "SetupCommitFileQueueW", "SetupInstallServicesFromInfSectionW", "SetupInstallFromInfSectionW",
    "SetupDiGetActualSectionToInstallW", "SetupPromptReboot",
    # Services, catalogs, files.
    "OpenSCManagerW", "OpenServiceW", "CloseServiceHandle", "CryptCATAdminAcquireContext", "CryptCATAdminAddCatalog",
    "LoadLibraryW", "FindFirstFileW",
    # What the package steps call besides (counted by bench_calls.py).
    "SetupOpenFileQueue", "SetupCloseFileQueue", "SetupCloseInfFile", "SetupFindFirstLineW", "SetupVerifyInfFileW",
    "SetupInitDefaultQueueCallback", "SetupPromptReboot", "ChangeServiceConfigW", "QueryServiceConfigW",
    "RegOpenKeyExW", "RegQueryValueExW", "RegSetValueExW", "RegCloseKey", "FindNextFileW", "GetFileAttributesW",
    "CryptCATAdminReleaseContext", "CryptCATAdminReleaseCatalogContext", "MsiCreateRecord", "MsiRecordSetStringW",
]

# "<seconds>.<ms>:<tid>:Call <dll>.<function>(" and "...:Ret  <dll>.<function>() retval=".
RELAY = re.compile(r"^(?P<t>\d+\.\d+):(?P<pid>[0-9a-f]+):(?P<tid>[0-9a-f]+):(?P<kind>Call|Ret)\s+"
                   r"(?P<dll>[\w-]+)\.(?P<fn>\w+)\(")


def relay_registry(wine, functions):
    lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]",
             f'"RelayInclude"="{";".join(functions)}"', ""]
    path = os.path.join(wine.dir, "relay.reg")
    with open(path, "w", encoding="utf-16", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    return wine.run("regedit", "/s", ddpkg.unix_to_windows(path))


def direct_calls(trace):
    """{function: calls} of the traced functions called while no other traced call was under way on the same
    thread: the calls a custom action makes itself, not those the platform makes inside them. Only the
    custom-action hosts count (the processes that call the installer's Msi* functions): the services and
    programs Wine starts meanwhile make calls of their own, more in one run than in another."""
    depth, counts, hosts = {}, {}, set()
    for line in trace.splitlines():
        m = RELAY.match(line)
        if not m:
            continue
        key = (m.group("pid"), m.group("tid"))
        if m.group("kind") == "Call":
            if depth.get(key, 0) == 0:
                counts[(m.group("pid"), m.group("fn"))] = counts.get((m.group("pid"), m.group("fn")), 0) + 1
                if m.group("fn").startswith("Msi"):
                    hosts.add(m.group("pid"))
            depth[key] = depth.get(key, 0) + 1
        else:
            depth[key] = max(0, depth.get(key, 0) - 1)
    out = {}
    for (pid, fn), calls in counts.items():
        if pid in hosts:
            out[fn] = out.get(fn, 0) + calls
    return out


def traced_install(msi, label, functions=FUNCTIONS, properties=()):
    """One msiexec install of `msi` in a fresh prefix with the relay trace on for `functions`; (exit code, trace,
    path of the trace kept under build/windows/bench/logs/, the install's verbose log)."""
    wine = bk.fresh_prefix(f"bench-profile-{label}")
    try:
        relay_registry(wine, list(functions))
        wine.env["WINEDEBUG"] = "-all,+timestamp,+pid,+relay"
        log = os.path.join(wine.dir, "msiexec.log")
        code, trace = wine.run("msiexec", "/i", ddpkg.unix_to_windows(msi), "/qn", "/l*v", ddpkg.unix_to_windows(log),
                               *properties, timeout=900)
        text = ddpkg.wine.read_log(log)
    finally:
        wine.close()
    out = os.path.join(bk.BENCH_ROOT, "logs", f"relay-{label}.txt")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "w") as f:
        f.write(trace)
    return code, trace, out, text


def summarize(trace):
    """{(pid, function): [calls, inclusive seconds]} from matched Call/Ret pairs per thread (nested calls of the
    same thread are counted in their callers as well)."""
    stacks, totals = {}, {}
    for line in trace.splitlines():
        m = RELAY.match(line)
        if not m:
            continue
        key = (m.group("pid"), m.group("tid"))
        stack = stacks.setdefault(key, [])
        t = float(m.group("t"))
        if m.group("kind") == "Call":
            stack.append((m.group("fn"), t))
            continue
        # The return of the innermost open call of that function on this thread.
        for i in range(len(stack) - 1, -1, -1):
            if stack[i][0] == m.group("fn"):
                fn, began = stack.pop(i)
                entry = totals.setdefault((m.group("pid"), fn), [0, 0.0])
                entry[0] += 1
                entry[1] += t - began
                break
    return totals


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packages", type=int, default=20)
    parser.add_argument("--unsequenced", action="store_true")
    parser.add_argument("--functions", default=",".join(FUNCTIONS))
    args = parser.parse_args()
    label = "unsequenced" if args.unsequenced else "sequenced"
    msi = bk.driver_product(os.path.join(bk.BENCH_ROOT, "profile", f"{label}-{args.packages}"), args.packages,
                            sequenced=not args.unsequenced)
    code, trace, out, _ = traced_install(msi, f"{label}-{args.packages}", args.functions.split(","))
    print(f"msiexec exit code {code}; relay trace in {out}")
    totals = summarize(trace)
    print(f"{'pid':>5} {'calls':>6} {'seconds':>8}  function")
    for (pid, fn), (calls, seconds) in sorted(totals.items(), key=lambda kv: -kv[1][1]):
        if seconds >= 0.005:
            print(f"{pid:>5} {calls:6d} {seconds:8.3f}  {fn}")


if __name__ == "__main__":
    main()
