"""Per-package overhead: a product of 20 sequenced filter-driver packages minus the same product with none (the same
components and files, the same driver actions, an empty DriverPackage table), both full msiexec installs in fresh
prefixes, divided by the time that a minimal program (tests/bench/windows/PlatformFloor.cpp) takes for the same
platform calls on the same 20 INFs in a fresh prefix: open, publish, catalog, file queue, services, section.

The packages are sequenced because the floor program does one INF after another: the figure is then the cost of
the library and of the installer around the platform work, not a parallel gain or loss."""

import os
import re

import benchkit as bk

PACKAGES = 20
TARGET = 1.3

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


def msiexec_install(msi, label, round_):
    wine = bk.fresh_prefix(f"bench-{label}")
    try:
        code, log, wall = bk.run_install(wine, msi)
    finally:
        wine.close()
    logs = os.path.join(bk.BENCH_ROOT, "logs")
    os.makedirs(logs, exist_ok=True)
    with open(os.path.join(logs, f"overhead-{label}-{round_}.log"), "w", encoding="utf-8") as f:
        f.write(log)
    if code != 0:
        raise RuntimeError(f"the {label} product did not install (exit code {code}); log in {logs}")
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


def run(rounds):
    work = os.path.join(bk.BENCH_ROOT, "overhead")
    twenty = bk.driver_product(os.path.join(work, "twenty"), PACKAGES, sequenced=True)
    none = bk.driver_product(os.path.join(work, "none"), PACKAGES, sequenced=True, with_packages=False)
    results = []
    for r in range(rounds):
        kinds = ["none", "twenty", "floor"]
        kinds = kinds[r % 3:] + kinds[:r % 3]
        got = {}
        for kind in kinds:
            bk.say(f"overhead round {r + 1}/{rounds}: {kind} (load {bk.load_average()})")
            if kind == "floor":
                floor = bk.floor_run(PACKAGES)
                got["floor"], got["floor_steps"] = floor["total"], floor["steps"]
            else:
                got[kind], log = msiexec_install(twenty if kind == "twenty" else none, kind, r + 1)
                if kind == "twenty":
                    got["profile"] = profile(log)
        got["ratio"] = (got["twenty"] - got["none"]) / got["floor"]
        bk.say(f"  20 packages {got['twenty']:.2f} s, none {got['none']:.2f} s, floor {got['floor']:.3f} s: "
               f"ratio {got['ratio']:.2f}")
        results.append(got)

    ratios = [g["ratio"] for g in results]
    figure = bk.median(ratios)
    middle = sorted(range(len(results)), key=lambda i: ratios[i])[len(results) // 2]
    m = results[middle]
    windows, steps, spans, (line_ms, line_count) = m["profile"]
    notes = [f"per-package overhead, round {middle + 1} (ratio {ratios[middle]:.2f}); ratios of all rounds: "
             + ", ".join(f"{x:.2f}" for x in ratios),
             f"  msiexec with 20 packages {m['twenty']:.2f} s, with none {m['none']:.2f} s, difference "
             f"{m['twenty'] - m['none']:.2f} s; floor program {m['floor']:.3f} s",
             "  driver action windows (first to closing line): "
             + ", ".join(f"{k} {v:.2f} s" for k, v in windows.items()),
             f"  the package threads wrote {line_count} lines; a line alone takes {line_ms:.1f} ms (median of the "
             f"intervals between lines with no platform call between them): about "
             f"{line_count * line_ms / 1000:.2f} s of logging",
             f"  package threads together {spans:.2f} s of the deferred window; by step, product vs floor (s):"]
    floor_names = {"open": "open", "publish lookup and removal": "publish", "catalog": "catalog", "files": "files",
                   "services, section, registry, service checks": None}
    for name, seconds in sorted(steps.items(), key=lambda kv: -kv[1]):
        f = floor_names.get(name)
        if name.startswith("services"):
            floor_s = m["floor_steps"].get("services", 0) + m["floor_steps"].get("section", 0)
        else:
            floor_s = m["floor_steps"].get(f, 0) if f else 0
        notes.append(f"    {seconds:7.3f} vs {floor_s:7.3f}  {name}")
    detail = (f"median (20 pkg {bk.median([g['twenty'] for g in results]):.2f} s - none "
              f"{bk.median([g['none'] for g in results]):.2f} s) / floor "
              f"{bk.median([g['floor'] for g in results]):.3f} s, {rounds} rounds")
    return [bk.row("per-package overhead: (20 pkg - none) / floor", figure, "ratio", f"<= {TARGET}",
                   figure <= TARGET, detail) | {"notes": notes}]
