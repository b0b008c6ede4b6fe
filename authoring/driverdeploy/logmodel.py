"""What driverdeploy did, read back from a verbose installer log: the installation runs in it, the library's
actions with their times and results, and per driver package, catalog and protected service the decision, the
steps with their times and threads, the outcome, the rollback and every failure with its code explained.

Reads the log as Windows writes it (UTF-16LE with a byte order mark or the ANSI code page, CR LF) and as Wine
writes it (ANSI, LF, now and then two lines of concurrent threads glued onto one). Recognition is table-driven:
a line of the library that no table knows stays in the report as a step of the package whose action and thread
wrote it."""

import datetime
import re
from dataclasses import dataclass, field

from . import codes, schema, wine


class LogError(Exception):
    """The file cannot be read as an installer log; the message says why, for a person."""


# ---------------------------------------------------------------------------
# Reading the bytes

def decode(raw):
    """(text with LF line ends, encoding name, line end name) of an installer log's bytes."""
    if not raw:
        raise LogError("the file is empty")
    if raw[:2] in (b"\xff\xfe", b"\xfe\xff"):
        encoding = "utf-16-le" if raw[:2] == b"\xff\xfe" else "utf-16-be"
        body = raw[2:]
        if len(body) % 2:
            body = body[:-1]  # a file cut in the middle of a character
        text = body.decode(encoding, errors="replace")
    elif raw[:3] == b"\xef\xbb\xbf":
        encoding, text = "utf-8", raw[3:].decode("utf-8", errors="replace")
    elif len(raw) >= 4 and raw[1:4:2] == b"\0\0" and raw[0:4:2] != b"\0\0":
        # UTF-16LE without its byte order mark: every second byte of ASCII text is zero.
        encoding, text = "utf-16-le", raw[:len(raw) // 2 * 2].decode("utf-16-le", errors="replace")
    else:
        encoding, text = "cp1252", raw.decode("cp1252", errors="replace")
    sample = text[:65536]
    control = sum(1 for c in sample if (c < " " and c not in "\t\r\n") or c == "\ufffd")
    if control > max(8, len(sample) // 100):
        raise LogError(f"the file is not text ({control} control or undecodable characters in its first "
                       f"{len(sample)}): not an installer log")
    crlf = text.count("\r\n")
    line_end = "CR LF" if crlf and crlf >= text.count("\n") // 2 else "LF"
    return text.replace("\r\n", "\n").replace("\r", "\n"), encoding, line_end


# ---------------------------------------------------------------------------
# The installer's own lines

# "=== Verbose logging started: 12/11/2026  13:30:14  Build type: ..." (the date in the user's short form).
_HEADER = re.compile(r"^=== (?:Verbose )?[Ll]ogging started: (?P<date>[0-9./-]+)\s+(?P<time>\d+:\d+:\d+)")
_STOPPED = re.compile(r"^=== (?:Verbose )?[Ll]ogging stopped: ")
_ACTION_START = re.compile(r"^Action start (?P<t>\d+:\d+:\d+): (?P<name>[^ ]+?)\.\s*$")
_ACTION_ENDED = re.compile(r"^Action ended (?P<t>\d+:\d+:\d+): (?P<name>[^ ]+?)\. Return value (?P<v>-?\d+)\.\s*$")
# Windows: "MSI (s) (A8:2C) [13:30:20:123]: Product: DDTest -- Installation completed successfully."
_PRODUCT = re.compile(r"Product: (?P<name>.*?) -- (?P<what>.*)$")
_STATUS = re.compile(r"Windows Installer (?P<verb>installed|removed|reconfigured|updated) the product\. "
                     r"Product Name: (?P<name>.*?)\. Product Version: (?P<version>[^.]*(?:\.[0-9]+)*)\..*"
                     r"(?:success or error status|Installation success or error status): (?P<status>-?\d+)\.")
_PROPERTY = re.compile(r"^(?:Property\([SC]\)|.*PROPERTY CHANGE: (?:Adding|Modifying)) ?:? ?(?P<name>[A-Za-z_0-9.]+)"
                       r"(?: property\. Its value is '| = )(?P<value>.*?)'?\.?$")
# Error messages of the package's Error table: Windows writes "Error 27300. <text>"; Wine the text alone.
_ERROR_MESSAGE = re.compile(r"(?:^|-- )Error (?P<number>27\d\d\d)\. (?P<text>.*)$")
_ERROR_TEXTS = [(e.number, re.compile("^" + re.escape(e.text).replace(re.escape("[3]"), ".*")
                                      .replace(re.escape("[2]"), "-?[0-9]+") + "$")) for e in schema.ERRORS]
# FindRelatedProducts found an earlier version of the product: this run is an upgrade.
_RELATED = re.compile(r"^(?:.*FindRelatedProducts: )?Found application: (?P<code>\{[0-9A-Fa-f-]+\})")
# What the installer was asked to do: ProductName and the switches that make a run a removal or a repair.
_OPERATION_PROPERTIES = ("ProductName", "ProductVersion", "REMOVE", "REINSTALL", "UPGRADINGPRODUCTCODE",
                         "Installed", "ProductCode")


def _parse_date(text):
    parts = re.split(r"[./-]", text)
    if len(parts) != 3 or not all(p.isdigit() for p in parts):
        return None
    a, b, c = (int(p) for p in parts)
    try:
        if "-" in text and len(parts[0]) == 4:
            return datetime.date(a, b, c)
        if "." in text:
            return datetime.date(c if c > 99 else 2000 + c, b, a)
        return datetime.date(c if c > 99 else 2000 + c, a, b)
    except ValueError:
        return None


# ---------------------------------------------------------------------------
# The library's lines: what each one says

ACTIONS_BY_ENTRY = {}
for _a in schema.ACTIONS:
    ACTIONS_BY_ENTRY.setdefault(_a.entry, _a)
    ACTIONS_BY_ENTRY.setdefault(_a.name, _a)
ENTRY_NAMES = tuple(sorted({a.entry for a in schema.ACTIONS} | {a.name for a in schema.ACTIONS}))


def action_kind(name):
    """'immediate', 'deferred', 'rollback' or 'commit' of a library action name (entry or scheduled name)."""
    action = ACTIONS_BY_ENTRY.get(name) or ACTIONS_BY_ENTRY.get(name.removesuffix("_x64"))
    if action is None:
        return "immediate" if name.endswith(("Drivers", "Early", "Catalog", "Services")) else "deferred"
    if action.type & schema.CA_ROLLBACK:
        return "rollback"
    if action.type & schema.CA_COMMIT:
        return "commit"
    return "deferred" if action.type & schema.CA_IN_SCRIPT else "immediate"


def action_table(name):
    action = ACTIONS_BY_ENTRY.get(name) or ACTIONS_BY_ENTRY.get(name.removesuffix("_x64"))
    return action.table if action else "DriverPackage"


KINDS = ("DriverPackage", "CryptCatalog", "ServiceConfigProtection")
KIND_NAMES = {"DriverPackage": "driver package", "CryptCatalog": "catalog",
              "ServiceConfigProtection": "protected service"}


@dataclass(frozen=True)
class Rule:
    """One kind of library line. `role`: 'row' (a row was read), 'decision', 'begin', 'done', 'failure',
    'warning', 'cancel' or 'step'. `outcome`: what a 'done' line says happened. `kind`: the item kind the quoted
    id names (None: the action's own table)."""
    pattern: re.Pattern
    role: str
    outcome: str = ""
    kind: str = None


def _r(pattern, role, outcome="", kind=None):
    return Rule(re.compile(pattern), role, outcome, kind)


Q = r"'(?P<id>[^']*)'"
# First match wins: specific texts before the general forms.
RULES = (
    _r(rf"^The package row {Q} was successfully read\.$", "row", kind="DriverPackage"),
    _r(rf"^The catalog row {Q} was successfully read\.$", "row", kind="CryptCatalog"),
    _r(rf"^The service protection configuration row {Q} was successfully read\.$", "row",
       kind="ServiceConfigProtection"),
    _r(r"^The (?:registry|upper filter) row '[^']*' was successfully read\.$", "step", kind="DriverRegistry"),
    _r(rf"^Need to (?:install|uninstall) {Q} driver registry\.$", "decision", kind="DriverRegistry"),
    _r(rf"^Skip (?:installation|uninstallation) of driver registry {Q}", "decision", kind="DriverRegistry"),
    _r(r"^Configured [a-z ]+ of driver package (?P<id>[^,']+), ", "decision", kind="DriverPackage"),
    _r(rf"^Need to (?:rollback )?(?:install|uninstall|early install|rollback installation of|rollback uninstall) "
       rf"{Q} (?:driver registry|driver|crypt catalog)", "decision"),
    _r(rf"^Need to (?:protect|unprotect) service {Q}", "decision", kind="ServiceConfigProtection"),
    _r(rf"^Need to finalize installation of driver package {Q}", "decision", kind="DriverPackage"),
    # An uninstall goes on past a failed step; the package counts as failed and is named as left behind.
    _r(rf"^Uninstall step '[^']*' of driver package {Q} failed\. .*Error 0x(?P<code>[0-9a-fA-F]+)\. "
       r"The next steps go on\.$", "failure", kind="DriverPackage"),
    _r(rf"^Skip uninstall step '[^']*' of driver package {Q}\. It needs the failed step ", "step",
       kind="DriverPackage"),
    _r(rf"^The driver package {Q} was not (?:removed|restored) completely\. Error 0x(?P<code>[0-9a-fA-F]+)\.$",
       "failure", kind="DriverPackage"),
    # Early packages install only from copies whose bytes match what the immediate phase extracted.
    _r(rf"^Early driver package {Q}: \d+ file\(s\) (?:hashed|verified) in ", "step", kind="DriverPackage"),
    _r(rf"^Early driver package {Q} is not installed: ", "failure", kind="DriverPackage"),
    _r(rf"^The attribute EarlyConfigured \(0x10\) of driver package {Q} is set by the library only", "warning",
       kind="DriverPackage"),
    _r(r"^The value of registry row '[^']*' starts with '#v' only after formatting", "warning",
       kind="DriverRegistry"),
    _r(rf"^Found '[^']*' in Windows Recovery Environment for driver {Q}\.$", "step", kind="DriverPackage"),
    _r(rf"^Driver {Q} is not in Windows Recovery Environment\. Nothing to remove\.$", "step",
       kind="DriverPackage"),
    _r(r"^The catalog file '(?P<file>[^']*)' is registered already\. Its rollback keeps it\.$", "step",
       kind="CryptCatalog"),
    _r(r"^The process ran past its limit of \d+ ms and was ended with its child processes\.$", "warning"),
    _r(r"^Skip ", "decision"),
    _r(r"^Force (?:removed|added|install) ", "decision"),
    _r(rf"^ - (?:Installing|Uninstalling|Upgrading) (?:device|filter|network) driver {Q} from", "begin",
       kind="DriverPackage"),
    _r(rf"^(?:Protecting|Unprotecting) service {Q}\.\.\.$", "begin", kind="ServiceConfigProtection"),
    _r(rf"^The (?:device|filter|network) driver {Q} was successfully installed\.$", "done", "installed",
       "DriverPackage"),
    _r(rf"^The (?:device|filter|network) driver {Q} was successfully upgraded\.$", "done", "upgraded",
       "DriverPackage"),
    _r(rf"^The (?:device|filter|network) driver {Q} was successfully uninstalled\.$", "done", "uninstalled",
       "DriverPackage"),
    _r(r"^The catalog file '(?P<file>[^']*)' was successfully installed\.$", "done", "installed", "CryptCatalog"),
    _r(r"^The catalog file '(?P<file>[^']*)' was successfully removed\.$", "done", "removed", "CryptCatalog"),
    _r(r"^The catalog file '(?P<file>[^']*)' was not found\.$", "step", kind="CryptCatalog"),
    _r(rf"^The service {Q} was successfully configured\.$", "done", "protected", "ServiceConfigProtection"),
    _r(rf"^The service {Q} was successfully unprotected\.$", "done", "unprotected", "ServiceConfigProtection"),
    _r(rf"^Failed to (?:execute|finalize) driver package {Q}\..* Error 0x(?P<code>[0-9a-fA-F]+)\.$", "failure",
       kind="DriverPackage"),
    _r(rf"^Failed to (?:execute|finalize) driver package {Q}\.$", "failure", kind="DriverPackage"),
    _r(rf"^Failed to (?:install|register|unprotect) {Q}\..* Error 0x(?P<code>[0-9a-fA-F]+)\.$", "failure"),
    _r(r"^(?:Warning|WARNING)\b.*?(?:Error:? (?:0x)?(?P<code>[0-9a-fA-F]+)\.)?$", "warning"),
    # The file queue's report of one file; the queue's commit result decides.
    _r(r"^An error occurred during .* LastError 0x(?P<code>[0-9a-fA-F]+)\.$", "warning"),
    _r(r"^.*\bError:? 0x(?P<code>[0-9a-fA-F]+)\.$", "failure"),
    _r(r"^Error 0x(?P<code>[0-9a-fA-F]+): ", "failure"),
    # Without a code the line is the library's note of a failure it goes on after (a missing list, a file it
    # could not remove); the failures that stop a record or an action carry their code.
    _r(r"^(?:Failed|failed|Filed) .*$", "warning"),
    _r(r"^Unknown exception", "failure"),
)

# "InstallDriversDeferred: finished. Return value 1603."
_FINISHED = re.compile(r"^(?P<action>[A-Za-z_0-9]+): finished\. Return value (?P<value>-?\d+)\.$")
# The utility layer's lines: the action name, a colon, two blanks and the text; no thread, no time.
_UTILITY = re.compile(r"^(?P<action>" + "|".join(ENTRY_NAMES) + r"):  (?P<text>.*)$")


def classify(text):
    """(rule, match) of the first rule a library line meets; (None, None) for a step no table names."""
    for rule in RULES:
        m = rule.pattern.match(text)
        if m:
            return rule, m
    return None, None


def result_name(value):
    return {0: "success", 1602: "cancelled", 1603: "failure"}.get(value, f"result {value}")


# ---------------------------------------------------------------------------
# The model

@dataclass
class Step:
    line: int  # line number in the log, from 1
    ms: int  # ms after midnight of the log's first day
    action: str
    thread: int
    text: str
    role: str
    code: int = None
    invocation: int = 0

    def to_json(self, day):
        out = {"line": self.line, "time": clock(self.ms, day), "action": self.action,
               "thread": f"0x{self.thread:04x}" if self.thread is not None else None, "text": self.text,
               "role": self.role}
        if self.code is not None:
            out["code"] = f"0x{self.code:08x}"
            known = codes.explain(self.code)
            if known:
                out["code_name"], out["code_meaning"] = known
        return out


@dataclass
class Item:
    kind: str
    id: str
    decisions: list = field(default_factory=list)
    steps: list = field(default_factory=list)
    # (action name, kind) of every script-phase action that worked on the item, in order.
    operations: list = field(default_factory=list)
    outcome: str = ""
    rollback: str = ""  # "", or how the rollback of the item ended
    failures: list = field(default_factory=list)

    @property
    def decision(self):
        """The immediate decision: the last "Need to ..." or "Skip ..." line of the item."""
        chosen = [d for d in self.decisions if d.text.startswith("Need to") and "rollback" not in d.text] or \
            [d for d in self.decisions if d.text.startswith("Need to")] or \
            [d for d in self.decisions if d.text.startswith("Skip")]
        return chosen[-1] if chosen else None

    @property
    def skipped(self):
        d = self.decision
        return d is not None and d.text.startswith("Skip") and not self.operations

    def threads(self):
        """{(action, invocation, thread): [first ms, last ms, failed]} of the item's script-phase steps."""
        out = {}
        for s in self.steps:
            if action_kind(s.action) == "immediate" or s.ms is None:
                continue
            key = (s.action, s.invocation, s.thread)
            span = out.setdefault(key, [s.ms, s.ms, False])
            span[0], span[1] = min(span[0], s.ms), max(span[1], s.ms)
            span[2] = span[2] or s.role == "failure"
        return out


@dataclass
class ActionRun:
    name: str
    kind: str
    invocation: int
    start: int
    end: int = None
    result: int = None
    entry_thread: int = None
    lines: list = field(default_factory=list)


@dataclass
class Run:
    index: int
    first_line: int
    parent: int = None
    product: str = ""
    version: str = ""
    operation: str = ""
    result: str = "unknown"
    status: int = None
    start: int = None
    end: int = None
    ended: bool = False
    properties: dict = field(default_factory=dict)
    actions: list = field(default_factory=list)
    items: dict = field(default_factory=dict)  # (kind, id) -> Item
    failures: list = field(default_factory=list)
    installer_errors: list = field(default_factory=list)
    installer_failures: list = field(default_factory=list)  # Steps of installer actions that ended with 3
    other: list = field(default_factory=list)  # library lines of no item
    nested: list = field(default_factory=list)

    @property
    def cause(self):
        """The run's first failing line: a library failure, or else an installer action that failed."""
        candidates = [f for f in self.failures if not _is_cancel(f)] or list(self.failures)
        candidates += self.installer_failures
        return min(candidates, key=lambda s: s.line) if candidates else None

    def item(self, kind, id_):
        return self.items.setdefault((kind, id_), Item(kind, id_))


def _is_cancel(step):
    return step.code in (0x80070642, 1602) or "User canceled installation." in step.text


def clock(ms, day):
    """'2026-12-11 13:30:14.123' (or the time alone when the log names no date) of ms after the first midnight."""
    if ms is None:
        return None
    days, rest = divmod(ms, 86400000)
    h, rest = divmod(rest, 3600000)
    m, rest = divmod(rest, 60000)
    s, milli = divmod(rest, 1000)
    time = f"{h:02d}:{m:02d}:{s:02d}.{milli:03d}"
    if day is None:
        return time if not days else f"+{days}d {time}"
    return f"{(day + datetime.timedelta(days=days)).isoformat()} {time}"


@dataclass
class Log:
    path: str
    encoding: str
    line_end: str
    day: datetime.date = None
    runs: list = field(default_factory=list)
    line_count: int = 0
    library_line_count: int = 0

    @property
    def last(self):
        tops = [r for r in self.runs if r.parent is None]
        return tops[-1] if tops else None


# ---------------------------------------------------------------------------
# Reading

def _ms_of(t):
    h, m, s = (int(x) for x in t.split(":"))
    return ((h * 60 + m) * 60 + s) * 1000


class _Reader:
    def __init__(self, log):
        self.log = log
        self.stack = []  # open runs, innermost last
        self.offset = 0  # ms added after a midnight
        self.last_ms = None
        self.invocations = {}  # action name -> open ActionRun
        self.count = 0

    def unwrap(self, ms):
        if self.last_ms is not None and ms + self.offset < self.last_ms - 12 * 3600 * 1000:
            self.offset += 24 * 3600 * 1000
        ms += self.offset
        self.last_ms = max(ms, self.last_ms or 0)
        return ms

    def run(self, line_no, new=False, nested=False):
        """The run that line `line_no` belongs to; opens one when there is none (a log without a header)."""
        if new or not self.stack:
            run = Run(index=len(self.log.runs) + 1, first_line=line_no)
            if nested and self.stack:
                run.parent = self.stack[-1].index
                self.stack[-1].nested.append(run.index)
            elif not nested:
                self.stack = []
            self.log.runs.append(run)
            self.stack.append(run)
        return self.stack[-1]

    def installer_line(self, no, text):
        m = _HEADER.match(text)
        if m:
            day = _parse_date(m.group("date"))
            if self.log.day is None and day is not None:
                self.log.day = day
            current = self.stack[-1] if self.stack else None
            if current is not None and not current.ended and not current.actions:
                # Wine writes the header twice, for the installer's client and its server side, each followed
                # by the start of INSTALL: one run.
                current.properties["_install_open"] = False
                return
            if day is not None and self.log.day is not None:
                # A later session appended to the log: its library times count from the first day.
                self.offset = (day - self.log.day).days * 86400000
                self.last_ms = None
            run = self.run(no, new=True)
            run.properties["_header_ms"] = _ms_of(m.group("time")) + self.offset
            return
        if _STOPPED.match(text):
            for run in self.stack:
                run.ended = True
            return
        m = _ACTION_START.match(text)
        if m and m.group("name") == "INSTALL":
            # An INSTALL inside a running one is the removal of an earlier product during an upgrade.
            current = self.stack[-1] if self.stack else None
            if current is not None and current.properties.get("_install_open"):
                run = self.run(no, new=True, nested=True)
            elif current is not None and not current.ended:
                run = current
            else:
                run = self.run(no, new=True)
            run.properties["_install_open"] = True
            return
        m = _ACTION_ENDED.match(text)
        if m:
            run = self.run(no)
            value = int(m.group("v"))
            # Wine writes these times on a 12-hour clock without AM or PM: order them by the library's lines.
            ms = self.last_ms
            name = re.sub(r"^.*\]", "", m.group("name"))
            if name == "INSTALL":
                run.properties["_install_open"] = False
                run.ended = True
                run.status = run.status if run.status is not None else {1: 0, 2: 1602, 3: 1603}.get(value)
                if len(self.stack) > 1 and self.stack[-1] is run:
                    self.stack.pop()
                return
            if value == 3 and not name.startswith(ENTRY_NAMES):
                run.installer_failures.append(Step(no, ms, name, None, f"Action ended: {name}. Return value 3.",
                                                   "failure"))
            return
        run = self.stack[-1] if self.stack else None
        if run is None:
            return
        m = _STATUS.search(text)
        if m:
            run.product = run.product or m.group("name")
            run.version = run.version or m.group("version")
            run.status = int(m.group("status"))
            run.properties.setdefault("_verb", m.group("verb"))
            return
        m = _PRODUCT.search(text)
        if m:
            run.product = run.product or m.group("name")
            what = m.group("what")
            e = _ERROR_MESSAGE.match(what)
            if e:
                run.installer_errors.append((no, int(e.group("number")), e.group("text")))
            elif "completed successfully" in what:
                run.properties.setdefault("_completed", what)
            return
        m = _ERROR_MESSAGE.match(text)
        if m:
            run.installer_errors.append((no, int(m.group("number")), m.group("text")))
            return
        for number, pattern in _ERROR_TEXTS:
            if pattern.match(text):
                run.installer_errors.append((no, number, text))
                return
        m = _RELATED.match(text)
        if m:
            run.properties.setdefault("_related", m.group("code"))
            return
        m = _PROPERTY.match(text)
        if m and m.group("name") in _OPERATION_PROPERTIES:
            run.properties.setdefault(m.group("name"), m.group("value"))

    def library_line(self, no, action, tid, ms, text):
        self.log.library_line_count += 1
        run = self.run(no)
        # The utility layer's lines carry no time: they take the time of the action's next timed line.
        ms = self.unwrap(ms) if ms is not None else None
        current = self.invocations.get(action)
        if current is None or current.end is not None:
            self.count += 1
            current = ActionRun(action, action_kind(action), self.count, ms)
            self.invocations[action] = current
            run.actions.append(current)
        if ms is not None:
            if current.start is None:
                current.start = ms
            for earlier in reversed(current.lines):
                if earlier.ms is not None:
                    break
                earlier.ms = ms
        m = _FINISHED.match(text)
        step = Step(no, ms, action, tid, text, "finished" if m else "step")
        step.invocation = current.invocation
        current.lines.append(step)
        if m and m.group("action") == action:
            current.end = ms
            current.result = int(m.group("value"))
            current.entry_thread = tid
            self.finish(run, current)

    def finish(self, run, invocation):
        """Gives each line of a finished action to its item: the id it quotes, or else its thread's item."""
        table = action_table(invocation.name)
        known = {id_ for (kind, id_) in run.items if kind == table}
        script = invocation.kind != "immediate"
        # The catalog and protection actions work through their records one after another on the action's
        # own thread; the driver actions give every package a thread of its own.
        shared = invocation.entry_thread if table == "DriverPackage" else object()
        by_thread = {}
        # The id each thread works on, from the lines that name one; a thread's earlier lines belong to the
        # first id it names.
        first_named = {}
        parsed = []
        for step in invocation.lines:
            rule, m = (None, None) if step.role == "finished" else classify(step.text)
            id_ = None
            kind = table
            if rule is not None and rule.kind == "DriverRegistry":
                # Registry entries travel inside their package; the log does not say which one.
                parsed.append((step, rule, m, kind, None))
                continue
            if rule is not None:
                if "id" in m.re.groupindex and m.group("id") is not None:
                    id_ = m.group("id").strip()
                elif "file" in m.re.groupindex:
                    id_ = self.catalog_of(run, m.group("file"))
                if id_ is not None:
                    kind = rule.kind or table
                if rule.role == "row" and id_ is not None:
                    run.item(kind, id_)
                    known.add(id_)
            if id_ is None:
                id_ = _quoted_known(step.text, known)
            if id_ is None and kind == "CryptCatalog" and rule is not None and "file" in m.re.groupindex:
                # The catalog actions name the file, not the row: with one catalog row in the run it is that one.
                rows = [i for (k, i) in run.items if k == "CryptCatalog"]
                id_ = rows[0] if len(rows) == 1 else None
            parsed.append((step, rule, m, kind, id_))
            if id_ is not None and step.thread is not None and step.thread != shared:
                first_named.setdefault(step.thread, id_)
        for step, rule, m, kind, id_ in parsed:
            step.role = rule.role if rule else step.role
            if m is not None and "code" in m.re.groupindex and m.group("code"):
                step.code = int(m.group("code"), 16) & 0xFFFFFFFF
            if step.role == "finished":
                if invocation.result not in (0, None):
                    step.role = "failure" if invocation.result != 1602 else "cancel"
                run.other.append(step)
                continue
            if id_ is None and script and step.thread is not None and step.thread != shared:
                id_ = by_thread.get(step.thread) or first_named.get(step.thread)
            if id_ is not None and step.thread is not None and step.thread != shared:
                by_thread[step.thread] = id_
            if step.role == "failure":
                run.failures.append(step)
            if id_ is None:
                run.other.append(step)
                continue
            item = run.item(kind, id_)
            if invocation.kind == "immediate":
                item.decisions.append(step) if step.role == "decision" else item.steps.append(step)
                continue
            item.steps.append(step)
            if (invocation.name, invocation.kind, invocation.invocation) not in item.operations:
                item.operations.append((invocation.name, invocation.kind, invocation.invocation))
            if step.role == "failure":
                item.failures.append(step)
        for (kind, id_), item in run.items.items():
            ops = [o for o in item.operations if o[2] == invocation.invocation]
            if ops:
                self.settle(item, invocation)

    @staticmethod
    def catalog_of(run, file):
        """The catalog row whose file a line names: by its id being the file's name without extension, when no
        better link exists in the log."""
        base = file.replace("/", "\\").rsplit("\\", 1)[-1]
        stem = base.rsplit(".", 1)[0]
        for (kind, id_) in run.items:
            if kind == "CryptCatalog" and id_.lower() in (stem.lower(), base.lower()):
                return id_
        return None

    @staticmethod
    def settle(item, invocation):
        """The item's outcome after one script-phase action that worked on it."""
        mine = [s for s in item.steps if s.invocation == invocation.invocation]
        # A package's own catalog line is a step of the package, not its outcome.
        done = [s for s in mine if s.role == "done" and classify(s.text)[0].kind in (None, item.kind)]
        failed = [s for s in mine if s.role == "failure"]
        cancelled = any(_is_cancel(s) for s in failed) or (not done and invocation.result == 1602)
        if invocation.kind == "rollback":
            item.rollback = "failed" if failed else "cancelled" if cancelled else \
                "restored" if invocation.result in (0, None) else f"ended with {invocation.result}"
            return
        if failed:
            item.outcome = "cancelled" if cancelled else "failed"
        elif done:
            rule, _ = classify(done[-1].text)
            item.outcome = rule.outcome
        elif cancelled:
            item.outcome = "cancelled"
        elif invocation.kind == "commit":
            return
        elif not item.outcome:
            item.outcome = "done" if invocation.result == 0 else "not finished"


def _quoted_known(text, known):
    """The known id that `text` quotes ('id'), if exactly one."""
    hits = [q for q in re.findall(r"'([^']*)'", text) if q in known]
    return hits[0] if len(set(hits)) == 1 else None


def parse(text, path="", encoding="", line_end=""):
    log = Log(path, encoding, line_end)
    reader = _Reader(log)
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    log.line_count = len(lines)
    for no, line in enumerate(lines, 1):
        heads = list(wine.LIBRARY_HEAD.finditer(line))
        if not heads:
            u = _UTILITY.match(line)
            if u:
                reader.library_line(no, u.group("action"), None, None, u.group("text").rstrip())
            else:
                reader.installer_line(no, line.rstrip())
            continue
        if heads[0].start() > 0:
            # A line of another writer glued in front of the library's line.
            reader.installer_line(no, line[:heads[0].start()].rstrip())
        for i, head in enumerate(heads):
            end = heads[i + 1].start() if i + 1 < len(heads) else len(line)
            item = wine.LibraryLine(head, line[head.end():end])
            reader.library_line(no, item.action, item.tid, item.ms, item.text.rstrip())
    for run in log.runs:
        _conclude(run)
    return log


def _unique(errors):
    """Windows writes each error message twice, once after "Product: NAME -- ": keep the first."""
    seen, out = set(), []
    for no, number, text in errors:
        if (number, text) not in seen:
            seen.add((number, text))
            out.append((no, number, text))
    return out


def _conclude(run):
    run.installer_errors = _unique(run.installer_errors)
    props = run.properties
    run.product = run.product or props.get("ProductName", "")
    run.version = run.version or props.get("ProductVersion", "")
    if not run.operation:
        verb = props.get("_verb")
        if run.parent is not None:
            run.operation = "removal of the earlier product (upgrade)"
        elif props.get("REMOVE", "").upper() == "ALL" or verb == "removed" or \
                "Removal" in props.get("_completed", ""):
            run.operation = "uninstall"
        elif props.get("REINSTALL") or verb == "reconfigured" or "Configuration" in props.get("_completed", ""):
            run.operation = "repair"
        else:
            run.operation = _operation_from_actions(run)
            if run.operation == "install" and (run.nested or props.get("_related")):
                run.operation = "upgrade"
    if run.status is not None:
        run.result = result_name(run.status)
    elif any(a.result == 1602 for a in run.actions):
        run.result = "cancelled"
    elif any(a.result not in (0, None) for a in run.actions):
        run.result = "failure"
    elif not run.ended:
        run.result = "unknown"
    else:
        run.result = "success"
    # A cancel reaches the action's closing line as 1603: the action returns 1602 after it (the frame's last
    # step), so a run whose first failure is the cancel was cancelled.
    if run.result == "failure" and run.status in (None, 1602) and run.cause is not None and _is_cancel(run.cause):
        run.result = "cancelled"
    starts = [a.start for a in run.actions if a.start is not None]
    ends = [a.end for a in run.actions if a.end is not None] + starts
    header = props.get("_header_ms")
    if header is not None and starts:
        # The header's time comes before the first library line: on a 12-hour clock take the half that does.
        first = min(starts)
        choices = [h for h in (header, header + 12 * 3600000) if h <= first] or [first]
        run.start = max(choices)
    else:
        run.start = min(starts) if starts else header
    run.end = max(ends) if ends else run.start


def _operation_from_actions(run):
    names = {a.name for a in run.actions}
    if "UninstallDrivers" in names and "InstallDrivers" in names:
        installs = [i for i in run.items.values() if any(o[0] == "InstallDriversDeferred" for o in i.operations)]
        removals = [i for i in run.items.values() if any(o[0] == "UninstallDriversDeferred" for o in i.operations)]
        if removals and not installs:
            return "uninstall"
        return "install"
    return "install" if names else ""


def read(path):
    """The Log of a file; LogError when it cannot be read as one."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise LogError(f"cannot read {path}: {e.strerror}") from None
    text, encoding, line_end = decode(raw)
    log = parse(text, path, encoding, line_end)
    if log.library_line_count == 0:
        raise LogError("the log holds none of driverdeploy's lines: the package ran none of its actions, or the "
                       "log was not written verbose (msiexec /l*v)")
    return log
