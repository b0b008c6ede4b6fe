"""Sections of SetupAPI's device installation log (setupapi.dev.log): each opens with a title line and a
"Section start" line, holds body entries ("!!!  " errors, "!    " warnings, plain information) and closes with a
"Section end" line and the exit status. Both forms of the header and footer lines are read, the one Windows
writes (">>>  Section start 2026/12/11 13:30:14.123", "<<<  [Exit status: FAILURE(0xe0000219)]") and the one its
documentation shows (">>>  2026/12/11 13:30:14.123: Section start", "<<<  [Exit Status(0xe0000219)]")."""

import datetime
import re
from dataclasses import dataclass, field

def _stamp_group(name):
    return rf"(?P<{name}>\d{{4}}/\d\d/\d\d \d\d:\d\d:\d\d(?:\.\d{{1,3}})?)"


_A, _B = _stamp_group("a"), _stamp_group("b")
_TITLE = re.compile(r"^>>>\s+\[(?P<title>.*)\]\s*$")
_START = re.compile(rf"^>>>\s+(?:Section start {_A}|{_B}:? Section start)\s*$")
_END = re.compile(rf"^<<<\s+(?:Section end {_A}|\[{_B}:? Section end\])\s*$")
_EXIT = re.compile(r"^<<<\s+\[Exit [Ss]tatus(?:: (?P<word>[A-Z_]+)(?:\((?P<code1>0x[0-9a-fA-F]+)\))?|"
                   r"\((?P<code2>0x[0-9a-fA-F]+)\))\]\s*$")


@dataclass
class Section:
    title: str
    line: int
    start: datetime.datetime = None
    end: datetime.datetime = None
    status: str = ""  # "SUCCESS", "FAILURE", ...; "" when the section was not closed
    code: int = None
    errors: list = field(default_factory=list)  # "!!!" lines, without the prefix
    warnings: list = field(default_factory=list)
    body: list = field(default_factory=list)

    @property
    def failed(self):
        return self.status not in ("SUCCESS", "") or bool(self.code) or bool(self.errors)

    def names(self, needle):
        needle = needle.lower()
        return needle in self.title.lower() or any(needle in line.lower() for line in self.body)


def _stamp(text):
    fmt = "%Y/%m/%d %H:%M:%S.%f" if "." in text else "%Y/%m/%d %H:%M:%S"
    return datetime.datetime.strptime(text, fmt)


def parse(text):
    """The sections of a device installation log's text, in order."""
    sections, current = [], None
    for no, raw in enumerate(text.replace("\r\n", "\n").split("\n"), 1):
        line = raw.rstrip()
        m = _TITLE.match(line)
        if m:
            current = Section(m.group("title"), no)
            sections.append(current)
            continue
        if current is None:
            continue
        m = _START.match(line)
        if m:
            current.start = _stamp(m.group("a") or m.group("b"))
            continue
        m = _END.match(line)
        if m:
            current.end = _stamp(m.group("a") or m.group("b"))
            continue
        m = _EXIT.match(line)
        if m:
            code = m.group("code1") or m.group("code2")
            current.code = int(code, 16) if code else None
            current.status = m.group("word") or ("SUCCESS" if not current.code else "FAILURE")
            current = None
            continue
        body = line.strip()
        if not body:
            continue
        current.body.append(body)
        if line.startswith("!!!"):
            current.errors.append(line[3:].strip())
        elif line.startswith("!"):
            current.warnings.append(line[1:].strip())
    return sections


def read(path):
    with open(path, "rb") as f:
        raw = f.read()
    if raw[:2] == b"\xff\xfe":
        return parse(raw[2:].decode("utf-16-le", errors="replace"))
    return parse(raw.decode("cp1252", errors="replace"))


def within(section, start, end):
    """Whether the section began in [start, end] (datetimes; a start or end of None does not limit)."""
    if section.start is None:
        return False
    return (start is None or section.start >= start) and (end is None or section.start <= end)
