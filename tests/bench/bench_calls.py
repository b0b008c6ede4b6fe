"""Calls per package: how often each platform function is called per package in one install of the 20-package
product of the overhead figure and in one install of its logging floor (tests/bench/windows/LoggingFloor.cpp), both
under Wine's relay trace (profile_calls.py), side by side with the difference.

Counts do not change with the machine's load: they are what the overhead target rests on, the times beside them.
A call is counted where it is made directly (no other traced call under way on its thread): what the library or the
floor asks of the platform, not what the platform does inside. Both products carry the same files and the same
driver actions; the floor's has an empty DriverPackage table and its own deferred action, so the installer's own
calls are the same on both sides and cancel in the difference.

Every function the product calls more often than the floor is named in EXPLAINED with the behaviour that needs it
(the README's benchmark section gives the same lines); one that is not named fails the figure. One round is enough:
the counts are the same in every round."""

import os

import bench_overhead
import benchkit as bk
import profile_calls

PACKAGES = bench_overhead.PACKAGES

# Why the product calls these more often than the floor, per package. Kept in step with README.md.
EXPLAINED = {
    "MsiProcessMessage": "the product's lines besides the package threads' (immediate actions, the dispatcher, "
                         "the finalize step) and its progress messages",
    "MsiCreateRecord": "one record per log line and progress message",
    "MsiRecordSetStringW": "one per log line",
    "MsiGetPropertyW": "the immediate actions read the driver overrides and switches; the script actions their data",
    "MsiSetPropertyW": "the immediate actions publish the package lists and the scheduled actions' data",
    "MsiDoActionW": "the immediate action schedules its rollback and deferred actions",
    "MsiFormatRecordW": "the package rows' formatted fields (INF and catalog paths)",
    "MsiEvaluateConditionW": "each package row's condition",
    "MsiGetComponentStateW": "each package's component plan (selection)",
    "MsiViewFetch": "reading the DriverPackage rows and their registry and filter rows",
    "MsiViewExecute": "reading the DriverPackage rows and their registry and filter rows",
    "MsiDatabaseOpenViewW": "reading the DriverPackage rows and their registry and filter rows",
    "MsiRecordGetStringW": "reading the DriverPackage rows and their registry and filter rows",
    "MsiGetActiveDatabase": "each immediate action opens the running installation's database",
    "SetupOpenInfFileW": "the INF reader opens the INF for each step that reads it (section, services, earlier "
                         "versions, validation) besides the installer's own handle",
    "SetupCloseInfFile": "closing the INF handles opened for those steps",
    "SetupCopyOEMInfW": "finding the package's own published INF (replace-only, twice: size, then name) before "
                        "removing earlier versions",
    "FindFirstFileW": "the search for earlier versions among the published oem*.inf files",
    "FindNextFileW": "the search for earlier versions among the published oem*.inf files",
    "SetupFindFirstLineW": "the INF reader: first service to add, first SourceDisksFiles key, the services section "
                           "test, the candidate INFs of earlier versions",
    "SetupVerifyInfFile": "the INF signature check after the installation",
    "SetupInitDefaultQueueCallback": "the default queue context handed to the commit",
    "SetupPromptReboot": "the reboot check after the file queue's commit",
    "OpenSCManagerW": "one control-manager handle per package thread for its service steps",
    "OpenServiceW": "the service steps: load-order group move, validation (not marked for deletion)",
    "CloseServiceHandle": "closing those service handles",
    "RegOpenKeyExW": "the deletion-mark test of the service (its key) and the load-order lists",
    "RegQueryValueExW": "the service's Start and DeleteFlag values, the load-order lists",
    "RegCloseKey": "closing those keys",
    "GetFileAttributesW": "the catalog's presence test and the queue's source file test per file",
}


def figure_rows(product, floor, explained=EXPLAINED, packages=PACKAGES):
    """The figure from the two installs' direct call counts: ({function: (product, floor)} per package,
    functions above the floor without an explanation, the table's rows)."""
    per_package = {fn: (product.get(fn, 0) / packages, floor.get(fn, 0) / packages)
                   for fn in sorted(set(product) | set(floor))}
    above = [fn for fn, (p, f) in per_package.items() if p > f]
    unexplained = [fn for fn in above if fn not in explained]
    total_product = sum(p for p, _ in per_package.values())
    total_floor = sum(f for _, f in per_package.values())
    ratio = total_product / total_floor if total_floor else float("nan")
    return per_package, unexplained, ratio, total_product, total_floor


def notes(per_package, explained=EXPLAINED):
    out = [f"calls per package, product vs logging floor (direct calls, one install each of {PACKAGES} packages):",
           f"  {'product':>8} {'floor':>8} {'diff':>8}  function"]
    for fn, (p, f) in sorted(per_package.items(), key=lambda kv: -(kv[1][0] - kv[1][1])):
        if p == 0 and f == 0:
            continue
        why = f"  ({explained[fn]})" if p > f and fn in explained else ("  (NOT EXPLAINED)" if p > f else "")
        out.append(f"  {p:8.2f} {f:8.2f} {p - f:+8.2f}  {fn}{why}")
    return out


def run(rounds):
    work = os.path.join(bk.BENCH_ROOT, "calls")
    twenty = bk.driver_product(os.path.join(work, "twenty"), PACKAGES, sequenced=True)
    floor_msi = bench_overhead.logging_floor_product(os.path.join(work, "logging"))
    bk.say("calls: the 20-package product under the relay trace")
    code, trace, product_trace, log = profile_calls.traced_install(twenty, "calls-twenty")
    if code != 0:
        raise RuntimeError(f"the traced 20-package product did not install (exit code {code}); trace {product_trace}")
    # The floor sends as many lines as the product's package threads wrote (the trace slows them, it does not
    # change how many there are).
    lines = bench_overhead.profile(log)[3][1]
    bk.say(f"calls: the logging floor under the relay trace ({lines} lines)")
    code, trace_floor, floor_trace, _ = profile_calls.traced_install(floor_msi, "calls-logging-floor",
                                                                 properties=(f"DDFLOOR_LINES={lines}",))
    if code != 0:
        raise RuntimeError(f"the traced logging floor did not install (exit code {code}); trace {floor_trace}")
    per_package, unexplained, ratio, total_p, total_f = figure_rows(profile_calls.direct_calls(trace),
                                                                    profile_calls.direct_calls(trace_floor))
    detail = (f"{total_p:.1f} vs {total_f:.1f} direct calls per package; above the floor and not explained: "
              + (", ".join(unexplained) if unexplained else "none") + f"; traces {product_trace}, {floor_trace}")
    return [bk.row("calls per package: product / logging floor", ratio, "ratio", "every excess explained",
                   not unexplained, detail) | {"notes": notes(per_package)}]

