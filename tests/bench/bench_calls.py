"""Calls per package: how often each platform function is called per package in one install of the 20-package
product of the overhead figure and in one install of its logging floor (tests/bench/windows/LoggingFloor.cpp), both
under Wine's relay trace (profile_calls.py), side by side with the difference.

Counts do not change with the machine's load: they are what the overhead target rests on, the times beside them.
A call is counted where it is made directly (no other traced call under way on its thread) in a process that calls
the installer's Msi* functions (the custom-action hosts and the installer serving them): what the library or the
floor asks of the platform, not what the platform does inside a traced call (calls inside untraced ones, such as the
installer's registry lookups behind a component query, do count). Both products carry the same files and the same
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
    "MsiRecordGetStringW": "each immediate action reading the DriverPackage rows' string fields (and their registry "
                           "and filter rows) and the Component table's GUIDs, one read per field",
    "MsiViewFetch": "reading the DriverPackage, DriverRegistry, DriverUpperFilter and Component rows",
    "MsiViewExecute": "reading the DriverPackage, DriverRegistry, DriverUpperFilter and Component rows",
    "MsiDatabaseOpenViewW": "reading the DriverPackage, DriverRegistry, DriverUpperFilter and Component rows",
    "MsiGetActiveDatabase": "the database handle of each driver action's session, the deferred one too (the "
                            "floor's deferred action asks for none)",
    "MsiFormatRecordW": "each package row's formatted fields (INF and catalog paths), in each immediate action",
    "MsiEvaluateConditionW": "each package row's condition",
    "MsiGetComponentStateW": "each package's component plan, once per immediate action",
    "MsiGetPropertyW": "the driver overrides and switches of the immediate actions, each script action's data",
    "MsiSetPropertyW": "the package lists and the scheduled actions' data",
    "MsiDoActionW": "scheduling the rollback and the deferred action",
    "MsiProcessMessage": "the immediate actions' and the dispatcher's own lines (the floor sends only the package "
                         "threads' lines) and the progress messages",
    "MsiCreateRecord": "one record per log line, per progress message and per formatted field",
    "MsiRecordSetStringW": "one per log line and per formatted field",
    "SetupFindFirstLineW": "the Manufacturer section (the models), the first service of the install section's "
                           "services section, and the services section test before installing services",
    "SetupCopyOEMInfW": "the package's own published INF found before earlier versions are removed (replace-only); "
                        "the INF itself is published by the install section",
    "SetupUninstallOEMInfW": "removing the package's earlier published INFs; under Wine once per package, because "
                             "Wine's replace-only SetupCopyOEMInfW publishes the INF it should only find",
    "FindFirstFileW": "the search for earlier versions among the published oem*.inf files",
    "FindNextFileW": "the search for earlier versions among the published oem*.inf files",
    "GetFileAttributesW": "the catalog's presence test before adding it",
    "SetupPromptReboot": "the file-in-use check after the commit",
    "SetupVerifyInfFileW": "the INF signature check of the validation",
    "LoadLibraryW": "each catalog step loads wintrust.dll for its catalog administration (the floor keeps it "
                    "loaded for the process)",
    "OpenSCManagerW": "a control-manager handle for each service operation: the validation's service, and the "
                      "load-order step's when the package moves its service",
    "OpenServiceW": "the validation's test that the service is there, the load-order move when there is one",
    "CloseServiceHandle": "closing those handles",
    "RegOpenKeyExW": "the installer's registry lookups behind each package's component queries in the immediate "
                     "actions (is the component installed, by which product), and the service's key in the "
                     "deletion-mark test of the validation",
    "RegQueryValueExW": "the same lookups, and the service's Start and DeleteFlag values",
    "RegCloseKey": "closing those keys",
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

