"""What the msiexec benchmarks share: bench driver products (filter-driver
packages of equal work whose payload is made at bench time in the build tree),
medians, result rows and the reading of the installer log's time stamps."""

import os
import re
import shutil
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import ddpkg  # noqa: E402
import lifecycle  # noqa: E402
from driverdeploy import wine  # noqa: E402

BENCH_ROOT = os.path.join(ddpkg.BUILD_DIR, "bench")

# Each package copies this many payload files of this size, besides its .sys.
PAYLOAD_FILES = int(os.environ.get("DD_BENCH_PAYLOAD_FILES", "3"))
PAYLOAD_BYTES = int(os.environ.get("DD_BENCH_PAYLOAD_BYTES", str(1 << 20)))

INF_TEMPLATE = """; Bench filter driver {name}: copies its payload to the drivers folder,
; writes one registry value and adds a kernel service.
[Version]
Signature="$WINDOWS NT$"
Class=LegacyDriver
ClassGuid={{8ECC055D-047F-11D1-A537-0000F8753ED1}}
Provider=%Vendor%
CatalogFile={name}.cat
DriverVer=01/01/2024,1.0.0.0

[SourceDisksNames]
1=%Disk%,,,""

[SourceDisksFiles]
{source_files}

[DestinationDirs]
DefaultDestDir=12

[DefaultInstall.NTamd64]
CopyFiles={name}.Files
AddReg={name}.AddReg

[DefaultInstall.NTamd64.Services]
AddService={name},,{name}.Service

[DefaultUninstall.NTamd64]
DelFiles={name}.Files
DelReg={name}.DelReg

[DefaultUninstall.NTamd64.Services]
DelService={name},0x200

[{name}.Files]
{file_list}

[{name}.AddReg]
HKLM,SOFTWARE\\DDBench\\{name},Version,,"1"

[{name}.DelReg]
HKLM,SOFTWARE\\DDBench\\{name}

[{name}.Service]
DisplayName=%ServiceName%
ServiceType=1
StartType=3
ErrorControl=1
ServiceBinary=%12%\\{name}.sys
LoadOrderGroup=DDBench Filters

[Strings]
Vendor="driverdeploy bench"
Disk="driverdeploy bench disk"
ServiceName="{name} bench filter driver"
"""


def package_names(count):
    return [f"ddb{i:02d}" for i in range(1, count + 1)]


def _payload_blobs():
    """The payload files' bytes, made once per build tree (pseudo-random, so that nothing on the way can take a
    short cut over them)."""
    folder = os.path.join(BENCH_ROOT, "payload")
    os.makedirs(folder, exist_ok=True)
    blobs = []
    for i in range(PAYLOAD_FILES):
        path = os.path.join(folder, f"blob{i}-{PAYLOAD_BYTES}.bin")
        if not os.path.exists(path) or os.path.getsize(path) != PAYLOAD_BYTES:
            with open(path + ".tmp", "wb") as f:
                f.write(os.urandom(PAYLOAD_BYTES))
            os.replace(path + ".tmp", path)
        blobs.append(path)
    return blobs


def driver_sources(count):
    """A folder with `count` bench drivers: for each name its .inf, .sys, .cat and payload files.
    Returns (folder, {name: [file names, the .inf first]})."""
    folder = os.path.join(BENCH_ROOT, f"src-{count}-{PAYLOAD_FILES}x{PAYLOAD_BYTES}")
    blobs = _payload_blobs()
    files = {}
    os.makedirs(folder, exist_ok=True)
    for name in package_names(count):
        payload = [f"{name}_{i}.bin" for i in range(len(blobs))]
        copied = [name + ".sys"] + payload
        inf = INF_TEMPLATE.format(name=name, source_files="\n".join(f"{f}=1" for f in copied),
                                  file_list="\n".join(copied))
        with open(os.path.join(folder, name + ".inf"), "w", encoding="ascii", newline="\r\n") as f:
            f.write(inf)
        with open(os.path.join(folder, name + ".sys"), "w") as f:
            f.write(f"{name} bench driver image\n")
        with open(os.path.join(folder, name + ".cat"), "w") as f:
            f.write(f"stand-in catalog of {name}\n")
        for blob, target in zip(blobs, payload):
            target = os.path.join(folder, target)
            if not os.path.exists(target):
                os.link(blob, target)
        files[name] = [name + ".inf", name + ".sys", name + ".cat"] + payload
    return folder, files


def driver_product(work, count, sequenced, with_packages=True, name="bench", extra=None):
    """A product whose components carry `count` bench drivers, bound to the real driver actions of
    driverdeploy.dll. With with_packages it has one filter-driver DriverPackage row per driver (sequence 10, 20, ...
    when sequenced, null otherwise); without, the same files and actions and an empty DriverPackage table.
    extra(package) adds what else the product needs before it is built. Returns the package's path."""
    folder, files = driver_sources(count)
    p = ddpkg.Package(name)
    ddpkg.add_driver_tables(p)
    members, seq = {}, 1
    for i, (driver, names) in enumerate(files.items()):
        component = "C_" + driver
        members.update(ddpkg.driver_files(p, component, names, folder, seq))
        seq += len(names)
        if with_packages:
            ddpkg.driver_package(p, driver, component, f"[INSTALLDIR]{driver}.inf", f"[INSTALLDIR]{driver}.cat",
                                 type_=1, sequence=(i + 1) * 10 if sequenced else None)
    os.makedirs(work, exist_ok=True)
    if members:
        p.cabinet("drivers.cab", members, work)
    lifecycle.real_driver_actions(p)
    if extra:
        extra(p)
    return p.build(os.path.join(work, f"{name}.msi"))


def median(values):
    return statistics.median(values) if values else float("nan")


def row(figure, value, unit, target, ok, detail, rounds=None):
    """A table row; `rounds` are the per-round values whose median `value` is (the table prints their spread)."""
    out = {"figure": figure, "value": value, "unit": unit, "target": target, "ok": ok, "detail": detail}
    if rounds is not None:
        out["rounds"] = list(rounds)
    return out


_TARGET = re.compile(r"^\s*(?P<op><=|>=|<|>)\s*(?P<limit>-?\d+(?:\.\d+)?)")


def target_limit(target):
    """(operator, limit) of a target text such as "<= 1.3" (what follows the number is an explanation), or None
    when the row has no numeric target."""
    m = _TARGET.match(str(target or ""))
    return (m.group("op"), float(m.group("limit"))) if m else None


def spread(values):
    """(minimum, maximum) of the rounds' values, or None without any."""
    values = [v for v in values if isinstance(v, (int, float)) and v == v]
    return (min(values), max(values)) if values else None


def spread_wider_than_margin(median_value, values, target):
    """True when the rounds' spread (maximum - minimum) is wider than the distance of the median from the
    target's limit: another set of rounds could as well land on the other side of the target."""
    limit, extent = target_limit(target), spread(values)
    if limit is None or extent is None or median_value is None or median_value != median_value:
        return False
    return extent[1] - extent[0] > abs(limit[1] - median_value)


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def say(text):
    """Progress on stderr: the table is what goes to stdout."""
    print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# The installer log.

ACTION_FINISHED = re.compile(r"^(?P<action>[A-Za-z_0-9]+): finished\. Return value (?P<value>-?\d+)\.$")

# Every line the library wrote, glued lines split, with its time (the kit's reader).
library_lines = wine.log_lines


def action_window(lines, action):
    """(first ms, last ms, [lines]) of the first run of an action (by its name, or the "_x64" name that the
    installer gives script actions on 64-bit systems): from the earliest time stamp of its lines to its closing
    "finished" line (lines of several threads reach the log in the order they arrive, not in time order). None
    when it did not run or did not finish."""
    names = (action, action + "_x64")
    inside = []
    for item in lines:
        if item.action not in names:
            if inside:
                break
            continue
        inside.append(item)
        if ACTION_FINISHED.match(item.text):
            return min(i.ms for i in inside), item.ms, inside
    return None


PACKAGE_START = re.compile(r"^ - (?:Installing|Uninstalling|Upgrading) filter driver '(?P<id>[^']+)'")
PACKAGE_END = re.compile(r"^The filter driver '(?P<id>[^']+)' was successfully (?:installed|uninstalled|upgraded)\.$")


def package_timelines(window_lines):
    """{package id: dict(tid, start, end, lines)} of the packages a dispatcher run carried out: the thread whose
    first line names the package owns every later line of that thread until the package's closing line."""
    owner, out = {}, {}
    for item in window_lines:
        m = PACKAGE_START.match(item.text)
        if m:
            owner[item.tid] = m.group("id")
            out[m.group("id")] = {"tid": item.tid, "start": item.ms, "end": None, "lines": [item]}
            continue
        pid = owner.get(item.tid)
        if pid is None:
            continue
        out[pid]["lines"].append(item)
        if PACKAGE_END.match(item.text):
            out[pid]["end"] = item.ms
            del owner[item.tid]
    return out


def step_durations(timeline):
    """[(text of the line, ms until the thread's next line)] of one package: the time each logged step took
    before the next line came (the last line has 0)."""
    lines = timeline["lines"]
    return [(a.text, b.ms - a.ms) for a, b in zip(lines, lines[1:])] + ([(lines[-1].text, 0)] if lines else [])


def overlap_ms(timelines):
    """Time during which at least two packages were under way, and the union of their spans."""
    events = []
    for t in timelines.values():
        if t["end"] is not None:
            events += [(t["start"], 1), (t["end"], -1)]
    events.sort()
    active, last, both, union = 0, None, 0, 0
    for when, delta in events:
        if last is not None:
            if active >= 2:
                both += when - last
            if active >= 1:
                union += when - last
        active += delta
        last = when
    return both, union


FLOOR = os.path.join(ddpkg.BUILD_DIR, "dd_bench_platform_floor.exe")
INSTALL_DIR = "C:\\Program Files\\DDTest"
_FLOOR_STEP = re.compile(r"^step (?P<inf>\S+) (?P<name>\S+) (?P<us>\d+)$")
_FLOOR_SUM = re.compile(r"^(?P<what>total|wall) (?P<us>\d+)$")


def floor_run(count, parallel=False, attempts=3):
    """The floor program (tests/bench/windows/PlatformFloor.cpp) over `count` bench INFs copied into a fresh prefix
    where the product puts them, one after another or each on a thread of its own. Returns dict(wall=seconds from
    its first platform call to its last, total=summed seconds of the steps, steps={step: summed seconds},
    failures=[what each failed attempt said]).

    Under Wine 8, SetupInstallServicesFromInfSectionW on several threads at once now and then fails with
    ERROR_INVALID_HANDLE (services.exe answers the service manager handle with an RPC context mismatch fault,
    0x1c00001a; measured): such an attempt is made again in a new prefix, up to `attempts` times, and said."""
    if not os.path.exists(FLOOR):
        raise RuntimeError(f"{FLOOR} is not built (cmake --build build/windows --target dd_bench_platform_floor)")
    folder, files = driver_sources(count)
    failures = []
    for _ in range(attempts):
        wine = fresh_prefix("bench-floor")
        try:
            target = wine.path(INSTALL_DIR)
            os.makedirs(target, exist_ok=True)
            for names in files.values():
                for name in names:
                    shutil.copyfile(os.path.join(folder, name), os.path.join(target, name))
            infs = [INSTALL_DIR + "\\" + names[0] for names in files.values()]
            code, out = wine.run(FLOOR, *(["--parallel"] if parallel else []), *infs, timeout=300)
        finally:
            wine.close()
        got = {"steps": {}, "failures": failures}
        for line in out.splitlines():
            line = line.strip()
            if m := _FLOOR_STEP.match(line):
                got["steps"][m.group("name")] = got["steps"].get(m.group("name"), 0) + int(m.group("us")) / 1e6
            elif m := _FLOOR_SUM.match(line):
                got[m.group("what")] = int(m.group("us")) / 1e6
        if code == 0 and "wall" in got:
            return got
        failed = [line for line in out.splitlines() if line.startswith("failed:")]
        failures.append(failed[0] if failed else f"exit code {code}: {out[-300:]}")
        say(f"  the floor program failed ({failures[-1]}); again in a new prefix")
    raise RuntimeError(f"the floor program failed {attempts} times: {failures}")


def run_install(wine, msi, timeout=600, properties=None):
    """A full msiexec install; (exit code, log text, wall seconds)."""
    began = time.perf_counter()
    code, log = wine.install(msi, properties=properties, timeout=timeout)
    return code, log, time.perf_counter() - began


LOGS = os.path.join(BENCH_ROOT, "logs")


def keep_log(name, log):
    """Writes an install's log under build/windows/bench/logs/ and returns its path."""
    os.makedirs(LOGS, exist_ok=True)
    path = os.path.join(LOGS, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(log)
    return path


def warm(wine):
    """Starts the prefix's wineserver and services before a timed run, so that the run does not pay for them."""
    wine.run("cmd", "/c", "exit", timeout=120)


def fresh_prefix(name):
    wine = ddpkg.Prefix(name)
    warm(wine)
    return wine




# ---------------------------------------------------------------------------
# CPU use of a prefix's processes during a run, sampled from /proc.

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def _prefix_pids(prefix):
    pids = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        # The Windows program a wine process runs is its first argument that ends in .exe (or the server).
        name = next((os.path.basename(a.decode(errors="replace").replace("\\", "/")) for a in args
                     if a.lower().endswith(b".exe") or a.endswith(b"wineserver")), args[0].decode(errors="replace"))
        pids[int(pid)] = name
    return pids


def _cpu_ticks(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime
    except (OSError, IndexError, ValueError):
        return None


class CpuSampler:
    """Samples, every `period` seconds, the CPU time of every process of a prefix, with the wall clock's time of
    day in ms (the clock of the installer log's time stamps). cpu_between(first, last) gives each process's CPU
    seconds inside a window of the log."""

    def __init__(self, prefix, period=0.02):
        self.prefix, self.period = prefix, period
        self.samples = []  # (ms of the day, {pid: ticks})
        self.names = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def _run(self):
        last_scan = 0
        while not self._stop.is_set():
            now = time.time()
            if now - last_scan > 0.25:
                self.names.update(_prefix_pids(self.prefix))
                last_scan = now
            local = time.localtime(now)
            ms = ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + int((now % 1) * 1000)
            ticks = {pid: t for pid in self.names if (t := _cpu_ticks(pid)) is not None}
            self.samples.append((ms, ticks))
            self._stop.wait(self.period)

    def cpu_between(self, first, last):
        """{process name (pid): CPU seconds} between two times of the day (ms), from the samples nearest them."""
        if not self.samples:
            return {}
        before = min(self.samples, key=lambda s: abs(s[0] - first))[1]
        after = min(self.samples, key=lambda s: abs(s[0] - last))[1]
        out = {}
        for pid, ticks in after.items():
            used = (ticks - before.get(pid, 0)) / CLOCK_TICKS
            if used > 0:
                out[f"{self.names.get(pid, '?')} ({pid})"] = used
        return out
