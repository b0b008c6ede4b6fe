"""Parallel packages: a product of 8 filter-driver packages of equal work installed through msiexec once with every
package unsequenced (they run at the same time) and once with all of them sequenced (one after another).

The time compared is the deferred driver action's own window in the verbose log: from the first line that
InstallDriversDeferred writes to its closing "finished" line. That is where the dispatcher runs the packages and
nothing else; the rest of the install (costing, msiexec's own file copies, the custom-action host starting) is the
same in both products and would only dilute the figure."""

import os
import re

import benchkit as bk

PACKAGES = 8
TARGET = 0.6
FLOOR_ALLOWANCE = 0.05
DEFERRED = "InstallDriversDeferred"


def normalized(text):
    """A log line with the package names and paths taken out, so that the same step of every package reads alike."""
    text = re.sub(r"ddb\d\d", "*", text)
    return re.sub(r"'[A-Za-z]:\\[^']*'", "'...'", text)


def step_totals(timelines):
    """{step: summed ms over the packages} where a step is named by the line that closes it (the time from the
    thread's previous line to that line, which includes the previous line's own trip to the installer)."""
    totals = {}
    for t in timelines.values():
        lines = t["lines"]
        for a, b in zip(lines, lines[1:]):
            key = normalized(b.text)
            totals[key] = totals.get(key, 0) + b.ms - a.ms
    return totals


# Wine 8's service manager now and then fails SetupInstallServicesFromInfSectionW made on several threads at once
# (ERROR_INVALID_HANDLE; see benchkit.floor_run): the package fails and the product rolls back.
WINE_SERVICES_RACE = "Failed to install services from inf section: DefaultInstall.NTamd64.Services Error 0x80070006."


def install(msi, label, round_, failures, sample=False, attempts=3):
    """One install in a fresh prefix and its deferred window; with sample, the CPU time of the prefix's processes
    is sampled meanwhile (which costs CPU itself: such runs are not timed rounds). An install that failed on
    Wine's service manager race is made again in a new prefix (up to `attempts` times) and added to failures."""
    logs = os.path.join(bk.BENCH_ROOT, "logs")
    os.makedirs(logs, exist_ok=True)
    for attempt in range(attempts):
        wine = bk.fresh_prefix(f"bench-{label}")
        sampler = bk.CpuSampler(wine.prefix) if sample else None
        try:
            if sampler:
                with sampler:
                    code, log, wall = bk.run_install(wine, msi)
            else:
                code, log, wall = bk.run_install(wine, msi)
        finally:
            wine.close()
        name = os.path.join(logs, f"parallel-{label}-{round_}" + (f"-attempt{attempt + 1}" if attempt else "") + ".log")
        with open(name, "w", encoding="utf-8") as f:
            f.write(log)
        if code == 0:
            break
        if WINE_SERVICES_RACE not in log:
            raise RuntimeError(f"the {label} product did not install (exit code {code}); log in {name}")
        failures.append(name)
        bk.say(f"  {label}: a package failed on Wine's service manager race; again in a new prefix")
    else:
        raise RuntimeError(f"the {label} product failed {attempts} times on Wine's service manager race")
    window = bk.action_window(bk.library_lines(log), DEFERRED)
    if window is None:
        raise RuntimeError(f"no finished {DEFERRED} in the {label} product's log")
    first, last, lines = window
    timelines = bk.package_timelines(lines)
    if len(timelines) != PACKAGES or any(t["end"] is None for t in timelines.values()):
        raise RuntimeError(f"{label}: {len(timelines)} package timelines, some unfinished")
    got = {"window": last - first, "first": first, "timelines": timelines, "wall": wall}
    if sampler:
        got["cpu"] = sampler.cpu_between(first, last)
    return got


def timeline_text(run, label):
    out = [f"{label}: deferred window {run['window']} ms; per package start..finish (ms after the action's first "
           f"line), thread id"]
    for pid, t in sorted(run["timelines"].items(), key=lambda kv: kv[1]["start"]):
        out.append(f"  {pid}  {t['start'] - run['first']:6d} .. {t['end'] - run['first']:6d}  "
                   f"({t['end'] - t['start']:5d} ms)  tid {t['tid']:04x}")
    both, union = bk.overlap_ms(run["timelines"])
    out.append(f"  two or more packages under way {both} ms of the {union} ms that any was")
    return out


def cpu_text(run, label):
    window = run["window"] / 1000
    used = sorted(run["cpu"].items(), key=lambda kv: -kv[1])
    return [f"  {label}: CPU seconds in the {window:.3f} s deferred window: "
            + ", ".join(f"{name} {seconds:.2f} ({seconds / window:.0%})" for name, seconds in used[:5] if seconds >= 0.01)]


def run(rounds):
    work = os.path.join(bk.BENCH_ROOT, "parallel")
    unsequenced = bk.driver_product(os.path.join(work, "unsequenced"), PACKAGES, sequenced=False)
    sequenced = bk.driver_product(os.path.join(work, "sequenced"), PACKAGES, sequenced=True)
    pairs, floor_failures, install_failures = [], [], []
    failed_rounds = []
    for r in range(rounds):
        # Alternating the order keeps a machine that grows busier from favouring one side.
        order = ["unsequenced", "sequenced", "floor-parallel", "floor-serial"]
        if r % 2:
            order.reverse()
        got = {}
        try:
            for label in order:
                bk.say(f"parallel round {r + 1}/{rounds}: {label} (load {bk.load_average()})")
                if label.startswith("floor"):
                    floor = bk.floor_run(PACKAGES, parallel=label == "floor-parallel")
                    got[label], got[label + "-steps"] = floor["wall"], floor["steps"]
                    floor_failures.extend(floor["failures"])
                else:
                    got[label] = install(unsequenced if label == "unsequenced" else sequenced, label, r + 1,
                                         install_failures)
        except (RuntimeError, bk.ddpkg.HangError) as e:
            # A failed round is reported with its log; the other rounds still make the figure.
            bk.say(f"  parallel round {r + 1} failed: {e}")
            failed_rounds.append(f"round {r + 1}: {e}")
            continue
        pairs.append(got)
        bk.say(f"  unsequenced {got['unsequenced']['window']} ms, sequenced {got['sequenced']['window']} ms; "
               f"floor parallel {got['floor-parallel'] * 1000:.0f} ms, serial {got['floor-serial'] * 1000:.0f} ms")

    if not pairs:
        raise RuntimeError("no round of the parallel figure finished: " + "; ".join(failed_rounds))
    # Where the time goes when the packages run together: one more install of each, with the prefix's processes'
    # CPU time sampled (not a timed round: the sampling takes CPU of its own).
    bk.say("parallel: one sampled install of each product")
    sampled = {label: install(msi, label + "-sampled", 0, install_failures, sample=True)
               for label, msi in (("unsequenced", unsequenced), ("sequenced", sequenced))}

    ratios = [p["unsequenced"]["window"] / p["sequenced"]["window"] for p in pairs]
    floor_ratios = [p["floor-parallel"] / p["floor-serial"] for p in pairs]
    figure, floor_figure = bk.median(ratios), bk.median(floor_ratios)
    # Where the platform itself cannot run the packages together well enough, the product may be as far above
    # the plain target as the platform is, and a little more.
    limit = max(TARGET, floor_figure + FLOOR_ALLOWANCE) if floor_figure > TARGET else TARGET
    target = f"<= {limit:.3f}" + ("" if limit == TARGET else f" (floor + {FLOOR_ALLOWANCE})")
    # The round whose ratio is the median one stands for all in the timelines.
    middle = sorted(range(len(pairs)), key=lambda i: ratios[i])[len(pairs) // 2]
    par, seq = pairs[middle]["unsequenced"], pairs[middle]["sequenced"]
    notes = [f"parallel packages, round {middle + 1} (ratio {ratios[middle]:.3f}); ratios of all rounds: "
             + ", ".join(f"{x:.3f}" for x in ratios) + "; floor program: "
             + ", ".join(f"{x:.3f}" for x in floor_ratios)]
    notes += timeline_text(par, "unsequenced") + timeline_text(seq, "sequenced")
    # Where the overlap is lost: steps whose summed time grows most when the packages run together.
    par_steps, seq_steps = step_totals(par["timelines"]), step_totals(seq["timelines"])
    growth = sorted(par_steps, key=lambda k: par_steps[k] - seq_steps.get(k, 0), reverse=True)[:6]
    notes.append(f"steps summed over the {PACKAGES} packages, unsequenced vs sequenced (ms; a step is named by the "
                 f"line that ends it):")
    for k in growth:
        notes.append(f"  {par_steps[k]:6d} vs {seq_steps.get(k, 0):6d}  {k[:110]}")
    fp, fs = pairs[middle]["floor-parallel-steps"], pairs[middle]["floor-serial-steps"]
    notes.append("floor program, same round: its steps summed over the 8 INFs, on 8 threads vs one after another (ms):")
    for k in sorted(fp, key=lambda k: fs.get(k, 0) - fp[k]):
        notes.append(f"  {fp[k] * 1000:6.0f} vs {fs.get(k, 0) * 1000:6.0f}  {k}")
    if install_failures:
        notes.append(f"installs that failed on Wine's service manager race and were made again: "
                     f"{len(install_failures)} ({', '.join(os.path.basename(x) for x in install_failures)})")
    if floor_failures:
        notes.append(f"floor program attempts that failed and were made again: {len(floor_failures)} "
                     f"({floor_failures[0]})")
    notes.append("sampled installs (one each, CPU of the prefix's processes from /proc):")
    notes += cpu_text(sampled["unsequenced"], "unsequenced") + cpu_text(sampled["sequenced"], "sequenced")
    detail = (f"median deferred window {bk.median([p['unsequenced']['window'] for p in pairs]):.0f} ms vs "
              f"{bk.median([p['sequenced']['window'] for p in pairs]):.0f} ms, {PACKAGES} packages, {rounds} rounds")
    floor_detail = (f"the same platform calls without the library: 8 threads "
                    f"{bk.median([p['floor-parallel'] for p in pairs]) * 1000:.0f} ms vs one after another "
                    f"{bk.median([p['floor-serial'] for p in pairs]) * 1000:.0f} ms (medians)")
    notes += [f"parallel: failed {x}" for x in failed_rounds]
    if failed_rounds:
        detail += f" ({len(pairs)} finished, {len(failed_rounds)} failed, see the notes)"
    return [bk.row("parallel packages: unsequenced / sequenced", figure, "ratio", target, figure <= limit,
                   detail, rounds=ratios) | {"notes": notes},
            bk.row("  platform floor, 8 INFs: parallel / serial", floor_figure, "ratio", "-", None, floor_detail,
                   rounds=floor_ratios)]
