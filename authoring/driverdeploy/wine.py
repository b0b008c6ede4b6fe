"""Wine runs of the authoring kit: a throw-away prefix made by the build tree's wine-run wrapper, programs run
in it with a time limit that, when it expires, names what was still running, and msiexec runs with a verbose
log read back."""

import os
import re
import shutil
import subprocess
import tempfile

# wine-run's exit code, and the start of its report, when a run outlived its time limit.
TIME_LIMIT_EXIT = 124
TIME_LIMIT_MARK = "wine-run: TIME LIMIT"

# Making the first prefix boots Wine once for the template (wineboot), which takes long on a busy machine.
CLONE_TIMEOUT = 900


class WineError(RuntimeError):
    pass


class TimeLimitError(WineError):
    """A Wine run that did not finish within its time limit; the message says what was still running."""


def unix_to_windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def prefix_processes(prefix):
    """'pid command line' of every process whose environment names this WINEPREFIX."""
    out = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                out.append(f"  {pid} " + f.read().replace(b"\0", b" ").decode(errors="replace").strip())
        except OSError:
            continue
    return out


def read_log(path):
    """An installer log as text: UTF-16 with a byte order mark, or ANSI (what Wine's msiexec writes)."""
    if not os.path.exists(path):
        return ""
    with open(path, "rb") as f:
        raw = f.read()
    return raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("cp1252", errors="replace")


def check_wrapper(wine_run):
    if not os.path.isfile(wine_run) or not os.access(wine_run, os.X_OK):
        raise WineError(f"no wine-run wrapper at {wine_run}: build the windows preset "
                        "(cmake --preset windows && cmake --build build/windows) or name it with --wine-run")


class Prefix:
    """A Wine prefix in a folder of its own, cloned from wine-run's template. Removed by close() unless kept."""

    def __init__(self, wine_run, folder, keep=False):
        check_wrapper(wine_run)
        self.wine_run = wine_run
        self.dir = folder
        self.keep = keep
        self.prefix = os.path.join(folder, "prefix")
        self.runs = 0
        self.env = {}  # added to the environment of every Wine run in this prefix
        os.makedirs(folder, exist_ok=True)
        try:
            subprocess.run([wine_run, "--clone", self.prefix], check=True, timeout=CLONE_TIMEOUT,
                           capture_output=True, text=True, errors="replace")
        except subprocess.TimeoutExpired:
            still = prefix_processes(os.path.join(os.path.dirname(wine_run), "wine", "template"))
            raise TimeLimitError(f"making the Wine prefix did not finish within {CLONE_TIMEOUT} s; still running:\n"
                                 + "\n".join(still)) from None
        except subprocess.CalledProcessError as e:
            raise WineError(f"wine-run could not make a prefix in {self.prefix}:\n{e.stdout}{e.stderr}") from None

    @classmethod
    def temporary(cls, wine_run, parent, name, keep=False):
        check_wrapper(wine_run)
        os.makedirs(parent, exist_ok=True)
        return cls(wine_run, tempfile.mkdtemp(prefix=name + "-", dir=parent), keep=keep)

    def run(self, *args, timeout=300):
        """Runs a program in the prefix; returns (exit code, output). A run that outlives `timeout` seconds raises
        TimeLimitError with what was still running (wine-run reports it, with the tail of an msiexec run's verbose
        log, and ends the prefix's processes)."""
        env = dict(os.environ, DD_WINE_PREFIX=self.prefix, DD_WINE_TIMEOUT=str(timeout), **self.env)
        try:
            result = subprocess.run([self.wine_run, *args], env=env, capture_output=True, text=True,
                                    timeout=timeout + 60, errors="replace")
        except subprocess.TimeoutExpired as e:
            # wine-run itself did not come back: report and clean up here.
            still = prefix_processes(self.prefix)
            self.kill()
            raise TimeLimitError(f"{' '.join(args)} did not finish within {timeout} s and wine-run did not stop it; "
                                 "still running:\n" + "\n".join(still) + "\n" + str(e.stdout or "")) from None
        if result.returncode == TIME_LIMIT_EXIT and TIME_LIMIT_MARK in result.stdout:
            raise TimeLimitError(f"{' '.join(args)} did not finish within {timeout} s:\n{result.stdout}")
        return result.returncode, result.stdout

    def msiexec(self, *args, properties=(), timeout=300):
        """msiexec ARGS /qn /l*v LOG PROPERTIES...; returns (exit code cut to 8 bits, as Wine hands it on; log
        text)."""
        self.runs += 1
        log = os.path.join(self.dir, f"msiexec-{self.runs}.log")
        code, _ = self.run("msiexec", *args, "/qn", "/l*v", unix_to_windows(log), *properties, timeout=timeout)
        return code, read_log(log)

    def path(self, windows_path):
        """The Unix path of a C: path inside the prefix."""
        if windows_path[:3].lower() != "c:\\":
            raise ValueError(f"not a path on drive C: {windows_path}")
        return os.path.join(self.prefix, "drive_c", windows_path[3:].replace("\\", "/"))

    def kill(self):
        subprocess.run([self.wine_run, "--kill", self.prefix], timeout=120, capture_output=True)

    def close(self):
        self.kill()
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# "<action> (<pid>:<tid>) [hh:mm:ss:mmm]: ": the head of every line driverdeploy.dll writes to the installer log.
LIBRARY_HEAD = re.compile(r"(?P<action>[A-Z][A-Za-z_0-9]*) \((?P<pid>[0-9a-f]+):(?P<tid>[0-9a-f]{4,})\) "
                          r"\[(?P<h>\d\d):(?P<m>\d\d):(?P<s>\d\d):(?P<ms>\d{3})\]: ")


class LibraryLine:
    def __init__(self, head, text):
        self.action = head.group("action")
        self.pid = int(head.group("pid"), 16)
        self.tid = int(head.group("tid"), 16)
        self.ms = ((int(head.group("h")) * 60 + int(head.group("m"))) * 60 + int(head.group("s"))) * 1000 + \
            int(head.group("ms"))
        self.text = text.rstrip("\r")


def log_lines(log):
    """Every line the library wrote, in log order, with its time in ms after midnight (a run that passes
    midnight is unwrapped). Wine's msiexec writes messages that arrive at once from several threads now and then
    onto one line of the log (measured: "...NTamd64'.InstallDriversDeferred (11c:014c) [...]: ..."): such a line
    is split where the next head begins."""
    out, last, offset = [], None, 0
    for line in log.splitlines():
        heads = list(LIBRARY_HEAD.finditer(line))
        for i, head in enumerate(heads):
            end = heads[i + 1].start() if i + 1 < len(heads) else len(line)
            item = LibraryLine(head, line[head.end():end])
            if last is not None and item.ms + offset < last - 12 * 3600 * 1000:
                offset += 24 * 3600 * 1000
            item.ms += offset
            last = item.ms
            out.append(item)
    return out


def library_lines(log, action=None):
    """The library's own log lines as (action, text), in order; only those of `action` when it is given."""
    return [(x.action, x.text) for x in log_lines(log) if action is None or x.action == action]
