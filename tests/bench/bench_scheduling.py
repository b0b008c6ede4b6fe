"""Scheduling at scale: the immediate driver actions over 50 and over 500
DriverPackage rows (each with two DriverRegistry rows and a condition) under
wine64 msiexec, against a floor that makes only the installer calls the same
rows need (tests/bench/windows/SchedulingFloor.cpp).

What runs. Every product installs and then removes N packages whose
components hold no files. On installation every component is going to be
installed, so InstallDrivers selects every package for install and for its
rollback, configures both (registry rows kept by their conditions, their
values merged with the machine's) and schedules both actions; UninstallDrivers
decides every package (not marked to remove the previous version, nothing
installed) and schedules nothing. On removal every component is going away,
so UninstallDrivers selects and configures every package for removal and its
rollback (component lookups, the previous package's location, the driver
presence test, which finds no INF) and schedules both. Every script-phase name
is bound to a no-op export of the floor DLL: the script does nothing, so only
the scheduling is measured.

The window. Each immediate action runs between two BenchMark actions of the
floor DLL, which log the system time in 100 ns units when they start. The
time between the marks is the whole action as the installer runs it: its
start in the custom-action host, the library's own frame, every installer
call and the scheduling at its end. The installer's own "Action start/ended"
lines count whole seconds, too coarse for 50 rows, and the library's own
timestamps start after the frame and the first table query and stop before
the scheduling, which grows with the rows. What the marks add themselves is
the same for every product and size; the time per row is the slope between
50 and 500 rows, so it cancels there.

Figures, each a median over rounds of a ratio taken within one round: the
time of 500 rows over the time of 50 (target <= 11), and the time per row of
the driverdeploy actions over the floor's (target <= 1.5). The floor logs as
many lines per row as the product does (counted in the product's log of the
same round) and reads, formats, evaluates and asks everything once.

    python3 tests/bench/bench_scheduling.py [rounds]
"""

import os
import re
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import ddpkg  # noqa: E402
from ddpkg import CA_DEFERRED, CA_IMMEDIATE  # noqa: E402

FLOOR_DLL = os.environ.get("DD_SCHEDULING_FLOOR", os.path.join(ddpkg.BUILD_DIR, "dd_bench_scheduling_floor.dll"))
SIZES = (50, 500)
ACTIONS = ("UninstallDrivers", "InstallDrivers")
# msiexec runs of 500 rows take about a minute under Wine today.
RUN_LIMIT = 900

_MARK = re.compile(r"BenchMark: (\d+)")

SCRIPT_NAMES = [
    ("InstallDriversRollback", ddpkg.CA_ROLLBACK_ACTION),
    ("InstallDriversDeferred", CA_DEFERRED),
    ("UninstallDriversRollback", ddpkg.CA_ROLLBACK_ACTION),
    ("UninstallDriversDeferred", CA_DEFERRED),
]


def product(work, rows, floor):
    """The benchmark product with `rows` driver packages; floor binds the immediate actions to the floor DLL."""
    p = ddpkg.Package(f"ddbench-{'floor' if floor else 'dd'}-{rows}")
    ddpkg.add_driver_tables(p)
    p.binary("SchedulingFloor", FLOOR_DLL)
    for i in range(rows):
        id_ = f"drv{i:04d}"
        component = f"Cmp{i:04d}"
        p.component(component)
        # StartTypeOnFinalize: the finalize list is merged as well.
        ddpkg.driver_package(p, id_, component, f"[INSTALLDIR]{id_}\\{id_}.inf", f"[INSTALLDIR]{id_}\\{id_}.cat",
                             attributes=0x20, type_=1, sequence=10 + i % 7, condition="VersionNT AND NOT DDBENCH_SKIP",
                             dependencies="FltMgr")
        key = f"Software\\DDBench\\{id_}"
        ddpkg.driver_registry(p, f"reg{i:04d}a", id_, key, "ImagePath", f"[INSTALLDIR]{id_}\\{id_}.sys",
                              condition="NOT DDBENCH_NOREG")
        ddpkg.driver_registry(p, f"reg{i:04d}b", id_, key, "Chain", f"[~][ProductName]{i}",
                              condition="NOT DDBENCH_NOREG")
    source = "SchedulingFloor" if floor else "DriverDeploy"
    prefix = "Floor" if floor else ""
    marks = [("BenchMark1", 3390), ("BenchMark2", 3410), ("BenchMark3", 4110)]
    for name, sequence in marks:
        p.custom_action(name, CA_IMMEDIATE, "BenchMark", source="SchedulingFloor", sequence=sequence)
    p.custom_action("UninstallDrivers", CA_IMMEDIATE, prefix + "UninstallDrivers", source=source, sequence=3400)
    p.custom_action("InstallDrivers", CA_IMMEDIATE, prefix + "InstallDrivers", source=source, sequence=4100,
                    condition="NOT REMOVE")
    for name, type_ in SCRIPT_NAMES:
        for suffix in ("", "_x64"):
            p.custom_action(name + suffix, type_, "BenchNoOp", source="SchedulingFloor")
    p.custom_action("InstallDriversFinalize", CA_DEFERRED, "BenchNoOp", source="SchedulingFloor", sequence=6590,
                    condition="NOT REMOVE")
    return p.build(os.path.join(work, f"{p.name}.msi"))


def windows(log):
    """Seconds of (UninstallDrivers, InstallDrivers) between the three marks of one msiexec run."""
    marks = [int(m.group(1)) for m in map(_MARK.search, log.splitlines()) if m]
    if len(marks) != 3:
        raise RuntimeError(f"expected 3 time marks in the log, found {len(marks)}")
    return (marks[1] - marks[0]) / 1e7, (marks[2] - marks[1]) / 1e7


def lines_of(log, action):
    return len(ddpkg.library_lines(log, action))


LOGS = os.path.join(ddpkg.BUILD_DIR, "bench", "logs")


class RunFailed(RuntimeError):
    """An msiexec run of a round that failed; its log, Wine's output and its prefix were kept (named in the
    message)."""


class Bench:
    def __init__(self, work):
        self.work = work
        self.msi = {}
        for rows in SIZES:
            for floor in (False, True):
                self.msi[rows, floor] = product(work, rows, floor)
        # Lines the product logs per row, per run and action; the floor logs as many.
        self.floor_lines = None
        self.wine = None

    def msiexec(self, verb, msi, properties):
        """One msiexec run with a verbose log; (exit code, log text, log path, Wine's output)."""
        wine = self.wine
        wine.runs += 1
        log = os.path.join(wine.dir, f"msiexec-{wine.runs}.log")
        props = [f"{k}={v}" for k, v in properties.items()]
        code, out = wine.run("msiexec", verb, ddpkg.unix_to_windows(msi), "/qn", "/l*v", ddpkg.unix_to_windows(log),
                             *props, timeout=RUN_LIMIT)
        return code, ddpkg.wine.read_log(log), log, out

    def failed(self, what, log_path, log, out):
        """Keeps the prefix and copies the run's log and Wine's output under build/windows/bench/logs/."""
        self.wine.keep = True
        os.makedirs(LOGS, exist_ok=True)
        stem = os.path.join(LOGS, f"scheduling-failed-{os.path.basename(self.wine.dir)}-{self.wine.runs}")
        with open(stem + ".log", "w", encoding="utf-8") as f:
            f.write(log)
        with open(stem + ".wine.txt", "w", encoding="utf-8") as f:
            f.write(out)
        return RunFailed(f"{what}; log {stem}.log (in the prefix: {log_path}), Wine's output {stem}.wine.txt, "
                         f"prefix kept in {self.wine.dir}")

    def cycle(self, rows, floor, properties=None):
        """Installs and removes one product: {(phase, action): seconds}, and the two logs."""
        msi = self.msi[rows, floor]
        times, logs = {}, {}
        for phase, verb in (("install", "/i"), ("remove", "/x")):
            props = dict((properties or {}).get(phase, {}))
            code, log, log_path, out = self.msiexec(verb, msi, props)
            if code != ddpkg.EXIT_SUCCESS:
                raise self.failed(f"msiexec {verb} of {os.path.basename(msi)} returned {code}", log_path, log, out)
            try:
                uninstall, install = windows(log)
            except RuntimeError as e:
                raise self.failed(f"msiexec {verb} of {os.path.basename(msi)}: {e}", log_path, log, out) from None
            times[phase, "UninstallDrivers"] = uninstall
            if phase == "install":
                times[phase, "InstallDrivers"] = install
            logs[phase] = log
        return times, logs

    def calibrate(self, logs50, logs500):
        """Per phase, the DDFLOOR_LINES_* properties: the product's lines per row (slope between the sizes)."""
        out = {}
        for phase in ("install", "remove"):
            out[phase] = {}
            for action in ACTIONS:
                if phase == "remove" and action == "InstallDrivers":
                    continue
                small, large = lines_of(logs50[phase], action), lines_of(logs500[phase], action)
                name = "DDFLOOR_LINES_" + ("INSTALL" if action == "InstallDrivers" else "UNINSTALL")
                out[phase][name] = str(round((large - small) / (SIZES[1] - SIZES[0])))
        return out

    def round(self):
        """One round in a prefix of its own: the product and the floor at both sizes, interleaved."""
        self.wine = ddpkg.Prefix("bench-scheduling")
        try:
            return self._round()
        finally:
            self.wine.close()

    def _round(self):
        t = {}
        t["dd", 50], logs50 = self.cycle(50, False)
        t["dd", 500], logs500 = self.cycle(500, False)
        if self.floor_lines is None:
            self.floor_lines = self.calibrate(logs50, logs500)
        t["floor", 50], _ = self.cycle(50, True, self.floor_lines)
        t["floor", 500], _ = self.cycle(500, True, self.floor_lines)
        return t


KEYS = [("install", "UninstallDrivers"), ("install", "InstallDrivers"), ("remove", "UninstallDrivers")]


def total(times):
    return sum(times[k] for k in KEYS)


def per_row(times_small, times_large, key=None):
    pick = total if key is None else (lambda t: t[key])
    return (pick(times_large) - pick(times_small)) / (SIZES[1] - SIZES[0])


def loadavg():
    try:
        with open("/proc/loadavg") as f:
            return f.read().split()[0]
    except OSError:
        return "?"


def run(rounds: int) -> list:
    work = os.path.join(ddpkg.BUILD_DIR, "bench", "scheduling")
    os.makedirs(work, exist_ok=True)
    bench = Bench(work)
    results, loads, failed = [], [], []
    for r in range(rounds):
        loads.append(loadavg())
        try:
            results.append(bench.round())
        except (RunFailed, ddpkg.HangError) as e:
            # A failed round is reported with its log; the other rounds still make the figures.
            print(f"scheduling round {r + 1} failed: {e}", file=sys.stderr, flush=True)
            failed.append(f"round {r + 1}: {e}")
    loads.append(loadavg())
    if not results:
        raise RuntimeError("no round of the scheduling figure finished: " + "; ".join(failed))

    def median(values):
        return statistics.median(values)

    def fmt(values, digits=2):
        return ", ".join(f"{v:.{digits}f}" for v in values)

    scaling = [total(r["dd", 500]) / total(r["dd", 50]) for r in results]
    floor_scaling = [total(r["floor", 500]) / total(r["floor", 50]) for r in results]
    ratio = [per_row(r["dd", 50], r["dd", 500]) / per_row(r["floor", 50], r["floor", 500]) for r in results]
    note = (f"{len(results)} of {rounds} rounds" + (f" ({len(failed)} failed, see the notes)" if failed else "")
            + f", load average at each round start/end: {' '.join(loads)}")
    rows = [
        {"figure": "Scheduling: immediate actions, 500 rows / 50 rows", "value": median(scaling), "unit": "x",
         "target": "<= 11", "ok": median(scaling) <= 11, "rounds": scaling,
         "detail": f"per round: {fmt(scaling)}; the floor's: {fmt(floor_scaling)}; {note}",
         "notes": [f"scheduling: failed {x}" for x in failed]},
        {"figure": "Scheduling: time per row / floor's time per row", "value": median(ratio), "unit": "x",
         "target": "<= 1.5", "ok": median(ratio) <= 1.5, "rounds": ratio,
         "detail": f"per round: {fmt(ratio)}; slope between 50 and 500 rows; {note}"},
    ]
    for kind, label in (("dd", "driverdeploy"), ("floor", "floor")):
        for phase, action in KEYS:
            ms = [1000 * per_row(r[kind, 50], r[kind, 500], (phase, action)) for r in results]
            whole = [r[kind, 500][phase, action] for r in results]
            rows.append({"figure": f"Scheduling: {label} {action} ({phase}), time per row", "value": median(ms),
                         "unit": "ms", "target": "", "ok": None, "rounds": ms,
                         "detail": f"per round: {fmt(ms)} ms; 500 rows took {fmt(whole)} s"})
    return rows


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    for row in run(rounds):
        ok = {True: "ok", False: "MISSED", None: ""}[row["ok"]]
        print(f"{row['figure']:<66} {row['value']:>9.2f} {row['unit']:<3} {row['target']:<7} {ok:<6} {row['detail']}")


if __name__ == "__main__":
    main()
