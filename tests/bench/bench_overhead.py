"""Per-package overhead: a product of 20 sequenced filter-driver packages minus the same product with none (the same
components and files, the same driver actions, an empty DriverPackage table), both full msiexec installs in fresh
prefixes, divided by what the same platform work costs without the library:

- over the logging floor (the figure the target rests on): the same product without packages plus one deferred
  custom action of tests/bench/windows/LoggingFloor.cpp, which makes the platform calls of the floor program on the
  same 20 INFs, each package on a thread of its own, and sends from those threads as many installer log lines as
  the product's package threads wrote in the same round; the floor's cost is its install minus the one without
  packages;
- over the platform floor (no log lines): the time the floor program (tests/bench/windows/PlatformFloor.cpp) takes
  for the same platform calls in a fresh prefix, outside msiexec.

The packages are sequenced because the floors do one INF after another: the figure is then the cost of the library
and of the installer around the platform work, not a parallel gain or loss."""

import os
import re

import benchkit as bk

PACKAGES = 20
TARGET = 1.3
LOGGING_FLOOR = os.environ.get("DD_LOGGING_FLOOR", os.path.join(bk.ddpkg.BUILD_DIR, "dd_bench_logging_floor.dll"))
FLOOR_ACTION = "FloorInstallPackages"
# The immediate actions of an install: they read the rows and schedule the script phase.
IMMEDIATE_ACTIONS = ("UninstallDrivers", "InstallDrivers")

# What the product's lines say, grouped as the floor program's steps: each interval of a package's thread is put
# under the step of the line that ends it.
PRODUCT_STEPS = [
    ("open", r"^Actual inf section"),
    ("publish lookup and removal", r"^(Found |The system cannot find|The inf file .* was successfully uninstalled)"),
    ("catalog", r"^The catalog file"),
    ("files", r"^(The queue |A subqueue|New source media|A file cop)"),
    ("services, section, registry, service checks", r"^(The service |Skip moving|Inf file|The package)"),
    ("closing line", r"^The filter driver"),
]


def product_step(text):
    for name, pattern in PRODUCT_STEPS:
        if re.match(pattern, text):
            return name
    return "other: " + re.sub(r"ddb\d\d", "*", text)[:60]


def logging_floor_product(work):
    """The product without packages plus the logging floor's deferred action, after the files came and where the
    driver actions run; its data names the 20 installed INFs and, through DDFLOOR_LINES (given on the command
    line), how many lines to send."""
    if not os.path.exists(LOGGING_FLOOR):
        raise RuntimeError(f"{LOGGING_FLOOR} is not built (cmake --build build/windows --target dd_bench_logging_floor)")

    def extra(p):
        p.binary("LoggingFloor", LOGGING_FLOOR)
        infs = "|".join(f"[INSTALLDIR]{name}.inf" for name in bk.package_names(PACKAGES))
        # Type 51: the action's data is a property of its name, set from formatted text.
        p.custom_action("SetFloorInstallPackages", 51, "[DDFLOOR_LINES]|" + infs, source=FLOOR_ACTION,
                        sequence=4095)
        p.custom_action(FLOOR_ACTION, bk.ddpkg.CA_DEFERRED, FLOOR_ACTION, source="LoggingFloor", sequence=4101)

    return bk.driver_product(work, PACKAGES, sequenced=True, with_packages=False, name="floor", extra=extra)


class InstallFailed(RuntimeError):
    pass


def msiexec_install(msi, label, round_, properties=None):
    """A full install in a fresh prefix: (wall seconds, log). Its log stays under build/windows/bench/logs/; a
    failed install keeps its prefix as well and raises InstallFailed naming both."""
    wine = bk.fresh_prefix(f"bench-{label}")
    try:
        code, log, wall = bk.run_install(wine, msi, properties=properties)
    except BaseException:
        wine.keep = True
        wine.close()
        raise
    path = bk.keep_log(f"overhead-{label}-{round_}.log", log)
    if code != 0:
        wine.keep = True
        wine.close()
        raise InstallFailed(f"the {label} product did not install (exit code {code}); log {path}, prefix {wine.dir}")
    wine.close()
    return wall, log


# Consecutive lines of one package with no platform call between them: the time from the first to the second is
# what it takes the first line to reach the installer (a message to the msiexec process) and come back.
LOG_ONLY_PAIRS = [("The queue has started to commit.", "A subqueue "),
                  ("A subqueue 0 has started.", "New source media is needed"),
                  ("A subqueue 0 has ended.", "The queue has finished committing.")]


def log_line_cost(timelines):
    """(median ms per log line from the pairs above, number of package lines)."""
    samples, count = [], 0
    for t in timelines.values():
        count += len(t["lines"])
        for a, b in zip(t["lines"], t["lines"][1:]):
            if any(a.text.startswith(x) and b.text.startswith(y) for x, y in LOG_ONLY_PAIRS):
                samples.append(b.ms - a.ms)
    return bk.median(samples), count


def profile(log):
    """Where the 20-package install spends the library's time: the windows of the driver actions, and the summed
    intervals of the package threads grouped by step."""
    lines = bk.library_lines(log)
    windows = {}
    for action in ("UninstallDrivers", "InstallDrivers", "InstallDriversDeferred", "InstallDriversFinalize"):
        w = bk.action_window(lines, action)
        if w:
            windows[action] = w
    steps = {}
    deferred = windows.get("InstallDriversDeferred")
    spans, per_line = 0, (float("nan"), 0)
    if deferred:
        timelines = bk.package_timelines(deferred[2])
        per_line = log_line_cost(timelines)
        for t in timelines.values():
            spans += (t["end"] or t["start"]) - t["start"]
            for a, b in zip(t["lines"], t["lines"][1:]):
                key = product_step(b.text)
                steps[key] = steps.get(key, 0) + (b.ms - a.ms) / 1000
    return {k: (w[1] - w[0]) / 1000 for k, w in windows.items()}, steps, spans / 1000, per_line


def one_round(r, rounds, msis):
    """The four measurements of one round: the 20-package product first (the logging floor sends as many lines as
    its package threads wrote), then the others in an order that turns with the round."""
    got = {}
    bk.say(f"overhead round {r + 1}/{rounds}: twenty (load {bk.load_average()})")
    got["twenty"], log = msiexec_install(msis["twenty"], "twenty", r + 1)
    got["profile"] = profile(log)
    got["lines"] = got["profile"][3][1]
    kinds = ["none", "logging", "floor"]
    for kind in kinds[r % 3:] + kinds[:r % 3]:
        bk.say(f"overhead round {r + 1}/{rounds}: {kind} (load {bk.load_average()})")
        if kind == "floor":
            floor = bk.floor_run(PACKAGES)
            got["floor"], got["floor_steps"] = floor["total"], floor["steps"]
        elif kind == "logging":
            got["logging"], log = msiexec_install(msis["logging"], "logging-floor", r + 1,
                                                  {"DDFLOOR_LINES": str(got["lines"])})
            got["logging_window"] = floor_window(log)
        else:
            got["none"], _ = msiexec_install(msis["none"], "none", r + 1)
    got["ratio"] = (got["twenty"] - got["none"]) / (got["logging"] - got["none"])
    got["platform_ratio"] = (got["twenty"] - got["none"]) / got["floor"]
    # The floor makes no immediate-phase call; the immediate actions' own floor is the scheduling figure's.
    windows = got["profile"][0]
    got["immediate"] = sum(windows.get(a, 0) for a in IMMEDIATE_ACTIONS)
    got["deferred_ratio"] = (got["twenty"] - got["none"] - got["immediate"]) / (got["logging"] - got["none"])
    bk.say(f"  20 packages {got['twenty']:.2f} s, none {got['none']:.2f} s, logging floor {got['logging']:.2f} s "
           f"({got['lines']} lines), floor program {got['floor']:.3f} s: ratios {got['ratio']:.2f}, "
           f"{got['platform_ratio']:.2f}")
    return got


def floor_window(log):
    """Seconds of the logging floor's action, from its first line to its closing one, and the lines it sent."""
    window = bk.action_window(bk.library_lines(log), FLOOR_ACTION)
    if window is None:
        raise RuntimeError(f"no finished {FLOOR_ACTION} in the logging floor's log")
    return (window[1] - window[0]) / 1000, len(window[2]) - 1


def run(rounds):
    work = os.path.join(bk.BENCH_ROOT, "overhead")
    msis = {"twenty": bk.driver_product(os.path.join(work, "twenty"), PACKAGES, sequenced=True),
            "none": bk.driver_product(os.path.join(work, "none"), PACKAGES, sequenced=True, with_packages=False),
            "logging": logging_floor_product(os.path.join(work, "logging"))}
    results, failed = [], []
    for r in range(rounds):
        try:
            results.append(one_round(r, rounds, msis) | {"round": r + 1})
        except (InstallFailed, RuntimeError, bk.ddpkg.HangError) as e:
            # One failed round is reported with where its log and prefix stayed; the others still count.
            bk.say(f"  overhead round {r + 1} failed: {e}")
            failed.append(f"round {r + 1}: {e}")
    if not results:
        raise RuntimeError("no round of the per-package overhead finished: " + "; ".join(failed))

    ratios = [g["ratio"] for g in results]
    deferred_ratios = [g["deferred_ratio"] for g in results]
    platform_ratios = [g["platform_ratio"] for g in results]
    figure, platform_figure = bk.median(ratios), bk.median(platform_ratios)
    middle = sorted(range(len(results)), key=lambda i: ratios[i])[len(results) // 2]
    m = results[middle]
    windows, steps, spans, (line_ms, line_count) = m["profile"]
    notes = [f"per-package overhead, round {m['round']} (ratio {ratios[middle]:.2f} over the logging floor, "
             f"{platform_ratios[middle]:.2f} over the platform floor); over the logging floor in all rounds: "
             + ", ".join(f"{x:.2f}" for x in ratios),
             f"  msiexec with 20 packages {m['twenty']:.2f} s, with none {m['none']:.2f} s, difference "
             f"{m['twenty'] - m['none']:.2f} s; logging floor {m['logging']:.2f} s (its action "
             f"{m['logging_window'][0]:.2f} s, {m['logging_window'][1]} lines), difference "
             f"{m['logging'] - m['none']:.2f} s; floor program {m['floor']:.3f} s",
             "  driver action windows (first to closing line): "
             + ", ".join(f"{k} {v:.2f} s" for k, v in windows.items()),
             f"  the package threads wrote {line_count} lines; a line alone takes {line_ms:.1f} ms (median of the "
             f"intervals between lines with no platform call between them): about "
             f"{line_count * line_ms / 1000:.2f} s of logging",
             f"  package threads together {spans:.2f} s of the deferred window; by step, product vs floor program (s):"]
    floor_names = {"open": "open", "publish lookup and removal": "publish", "catalog": "catalog", "files": "files",
                   "services, section, registry, service checks": None}
    for name, seconds in sorted(steps.items(), key=lambda kv: -kv[1]):
        f = floor_names.get(name)
        if name.startswith("services"):
            floor_s = m["floor_steps"].get("services", 0) + m["floor_steps"].get("section", 0)
        else:
            floor_s = m["floor_steps"].get(f, 0) if f else 0
        notes.append(f"    {seconds:7.3f} vs {floor_s:7.3f}  {name}")
    notes += [f"  failed round, {x}" for x in failed]
    done = f"{len(results)} of {rounds} rounds" + (f" ({len(failed)} failed, see the notes)" if failed else "")
    twenty_s = bk.median([g["twenty"] for g in results])
    none_s = bk.median([g["none"] for g in results])
    detail = (f"median (20 pkg {twenty_s:.2f} s - none {none_s:.2f} s) / (logging floor "
              f"{bk.median([g['logging'] for g in results]):.2f} s - none), "
              f"{bk.median([g['lines'] for g in results]):.0f} package-thread lines; {done}")
    platform_detail = (f"median (20 pkg - none) / floor program {bk.median([g['floor'] for g in results]):.3f} s: "
                       f"the same platform calls outside msiexec, without a log line")
    return [bk.row("per-package overhead: (20 pkg - none) / (logging floor - none)", figure, "ratio",
                   f"<= {TARGET}", figure <= TARGET, detail, rounds=ratios) | {"notes": notes},
            bk.row("  without the immediate actions' windows", bk.median(deferred_ratios), "ratio", "-", None,
                   f"median (20 pkg - none - the windows of {' and '.join(IMMEDIATE_ACTIONS)}, median "
                   f"{bk.median([g['immediate'] for g in results]):.2f} s) / (logging floor - none): the floor makes "
                   f"no immediate-phase call; those actions' time per row against their own floor is the scheduling "
                   f"figure's", rounds=deferred_ratios),
            bk.row("  over the platform floor without log lines", platform_figure, "ratio", "-", None,
                   platform_detail, rounds=platform_ratios)]
