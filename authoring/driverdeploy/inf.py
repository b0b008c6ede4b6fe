"""Reading a driver package's INF file as SetupAPI reads it, for `driverdeploy lint`: UTF-16 (with its byte order
mark) or ANSI text, sections and lines, quoted fields, [Strings] substitution, the platform decoration of install
sections and the Manufacturer decorations the library chooses its models section by.

Everything here is about an amd64 system: the library is a 64-bit DLL and installs on nothing else."""

import re
from dataclasses import dataclass

# The four setup classes of network components.
NETWORK_CLASSES = {
    "{4d36e972-e325-11ce-bfc1-08002be10318}": "Net",
    "{4d36e973-e325-11ce-bfc1-08002be10318}": "NetClient",
    "{4d36e974-e325-11ce-bfc1-08002be10318}": "NetService",
    "{4d36e975-e325-11ce-bfc1-08002be10318}": "NetTrans",
}

# Signatures SetupOpenInfFile accepts for a Windows NT style INF.
SIGNATURES = {"$windows nt$", "$chicago$", "$windows 95$"}

PLATFORM = "ntamd64"
# A system newer than every decoration names.
NEWEST = (1 << 16, 0, 1 << 31)


class InfError(Exception):
    """The INF does not parse."""


@dataclass
class Line:
    key: str
    fields: list
    number: int


class Inf:
    def __init__(self, sections, names):
        self._sections = sections  # lower-case name -> [Line]
        self._names = names  # lower-case name -> name as first written

    # -- reading -------------------------------------------------------------

    @classmethod
    def parse(cls, data):
        text = decode(data)
        raw = []  # (line number, section name or None, text of the line without comment)
        section = None
        pending, pending_number = "", 0
        for number, line in enumerate(text.split("\n"), 1):
            line = _strip_comment(line.rstrip("\r")).strip()
            if pending:
                line, number = pending + line, pending_number
                pending = ""
            if line.endswith("\\"):
                pending, pending_number = line[:-1], number
                continue
            if not line:
                continue
            if line.startswith("["):
                end = line.find("]")
                if end < 0:
                    raise InfError(f"line {number}: the section name is not closed with ']'")
                section = line[1:end].strip()
                raw.append((number, section, None))
                continue
            if section is None:
                raise InfError(f"line {number}: a line before the first section")
            raw.append((number, section, line))
        if pending:
            raw.append((pending_number, section, pending))
        sections, names = {}, {}
        for number, name, line in raw:
            lower = name.lower()
            names.setdefault(lower, name)
            lines = sections.setdefault(lower, [])
            if line is not None:
                lines.append(_split_line(line, number))
        strings = {}
        for lower in [n for n in sections if n == "strings" or n.startswith("strings.")]:
            for line in sections[lower]:
                if line.key:
                    # "%%" in a string value is one percent sign; the value is not substituted again.
                    strings.setdefault(line.key.lower(), ",".join(line.fields).replace("%%", "%"))
        for lower, lines in sections.items():
            if lower == "strings" or lower.startswith("strings."):
                continue
            for line in lines:
                line.key = substitute(line.key, strings)
                line.fields = [substitute(f, strings) for f in line.fields]
        return cls(sections, names)

    def has(self, section):
        return section.lower() in self._sections

    def name(self, section):
        """The section's name as the INF writes it."""
        return self._names.get(section.lower(), section)

    def lines(self, section):
        return self._sections.get(section.lower(), [])

    def first_fields_from(self, section, key):
        """The first field of every line from the first line with `key` on (SetupFindFirstLine and
        SetupFindNextLine, as the library collects AddService names)."""
        lines = self.lines(section)
        start = next((i for i, line in enumerate(lines) if line.key.lower() == key.lower()), None)
        if start is None:
            return []
        return [line.fields[0] for line in lines[start:] if line.fields]

    def value(self, section, key):
        """The first field of the first line with `key`, or None."""
        for line in self.lines(section):
            if line.key.lower() == key.lower():
                return line.fields[0] if line.fields else ""
        return None

    # -- what the driver installation uses -----------------------------------

    def signature(self):
        return (self.value("Version", "Signature") or "").strip()

    def class_guid(self):
        text = self.value("Version", "ClassGUID") or ""
        return "{" + text.replace("{", "").replace("}", "").strip().lower() + "}" if text else ""

    def catalog(self):
        """(key, file name) of the catalog the INF names for amd64, or None."""
        for key in ("CatalogFile.NTamd64", "CatalogFile.NT", "CatalogFile"):
            value = self.value("Version", key)
            if value:
                return key, value
        return None

    def actual_section(self, section):
        """The section SetupDiGetActualSectionToInstall picks on amd64, or None when the INF has none of them."""
        for name in (section + ".NTamd64", section + ".NT", section):
            if self.has(name):
                return self.name(name)
        return None

    def manufacturers(self):
        """The Manufacturer lines: (models name, [decorations])."""
        return [(line.fields[0], line.fields[1:]) for line in self.lines("Manufacturer") if line.fields]

    def models_section(self, system):
        """The models section the library picks on `system` (major, minor, build): the closest decoration of
        the first Manufacturer line, else the undecorated name; None without a Manufacturer line."""
        found = self.manufacturers()
        if not found:
            return None
        name, decorations = found[0]
        chosen = closest(decorations, system)
        return name + "." + chosen if chosen is not None else name

    def install_section(self, system):
        """The decorated install section the library uses, the name it decorated, and whether the INF has it."""
        name = "DefaultInstall"
        models = self.models_section(system)
        if models is not None:
            lines = self.lines(models)
            name = lines[0].fields[0] if lines and lines[0].fields else ""
        actual = self.actual_section(name) if name else None
        return actual, name

    def services_added(self, system):
        section, _ = self.install_section(system)
        return self.first_fields_from(section + ".Services", "AddService") if section else []

    def hardware_ids(self):
        """Every id the models sections for amd64 carry (hardware and compatible ids), lower-cased."""
        ids = set()
        for name, decorations in self.manufacturers():
            for d in decorations:
                if parse_decoration(d).platform == PLATFORM:
                    for line in self.lines(name + "." + d):
                        ids.update(f.strip().lower() for f in line.fields[1:] if f.strip())
        return ids


def decode(data):
    if data.startswith(b"\xff\xfe"):
        encoding, body = "utf-16-le", data[2:]
    elif data.startswith(b"\xfe\xff"):
        encoding, body = "utf-16-be", data[2:]
    elif data.startswith(b"\xef\xbb\xbf"):
        encoding, body = "utf-8", data[3:]
    else:
        # Without a byte order mark SetupAPI reads the file in the system's ANSI code page.
        return data.decode("cp1252", errors="replace")
    try:
        return body.decode(encoding)
    except UnicodeDecodeError as e:
        raise InfError(f"not {encoding.upper()} text: {e.reason} at byte {e.start + 2}") from None


def _strip_comment(line):
    quoted = False
    for i, ch in enumerate(line):
        if ch == '"':
            quoted = not quoted
        elif ch == ";" and not quoted:
            return line[:i]
    return line


def _split(text, separator):
    """Pieces of `text` at `separator` outside quotes, each stripped and unquoted ("" inside quotes is ")."""
    pieces, current, quoted, i = [], [], False, 0
    while i < len(text):
        ch = text[i]
        if ch == '"':
            if quoted and text[i + 1:i + 2] == '"':
                current.append('"')
                i += 1
            else:
                quoted = not quoted
                current.append("\0")  # keeps the blanks of a quoted piece when stripping
        elif ch == separator and not quoted:
            pieces.append("".join(current))
            current = []
        else:
            current.append(ch)
        i += 1
    pieces.append("".join(current))
    return [p.strip().replace("\0", "") for p in pieces]


def _split_line(line, number):
    # Only the first '=' outside quotes ends the key.
    quoted = False
    for i, ch in enumerate(line):
        if ch == '"':
            quoted = not quoted
        elif ch == "=" and not quoted:
            return Line(_split(line[:i], ",")[0], _split(line[i + 1:], ","), number)
    return Line("", _split(line, ","), number)


_STRING_KEY = re.compile(r"%([^%]*)%")


def substitute(text, strings):
    def one(m):
        if m.group(1) == "":
            return "%"
        return strings.get(m.group(1).lower(), m.group(0))
    return _STRING_KEY.sub(one, text)


# ---------------------------------------------------------------------------
# Manufacturer decorations: Platform[.Major[.Minor[.ProductType[.SuiteMask[.BuildNumber]]]]]


@dataclass(frozen=True)
class Decoration:
    text: str
    platform: str
    major: int = 0
    minor: int = 0
    product_type: int = 0
    suite_mask: int = 0
    build: int = 0

    def describe(self):
        """The systems it serves, as a reader names them."""
        if not (self.major or self.minor or self.build):
            return "every version"
        out = f"Windows {self.major}.{self.minor}"
        if self.build:
            out += f" build {self.build}"
        return out + " and later"


def _leading_int(text, base=10):
    text = text.strip()
    if base == 16 and text[:2].lower() == "0x":
        text = text[2:]
    m = re.match(r"[0-9a-fA-F]+" if base == 16 else r"[-+]?[0-9]+", text)
    return int(m.group(), base) if m else 0


def parse_decoration(text):
    parts = text.split(".")
    values = parts[1:] + [""] * 5
    return Decoration(text, parts[0].strip().lower(), _leading_int(values[0]), _leading_int(values[1]),
                      _leading_int(values[2], 16), _leading_int(values[3], 16), _leading_int(values[4]))


def applies(decoration, system):
    """Whether the decoration applies to an amd64 system (major, minor, build). Product type and suite mask
    depend on the edition, which a product's version bounds do not fix: they count as applying."""
    d = parse_decoration(decoration) if isinstance(decoration, str) else decoration
    if d.platform != PLATFORM:
        return False
    major, minor, build = system
    if d.major and major < d.major:
        return False
    if d.major and major == d.major and d.minor and minor < d.minor:
        return False
    if not d.major and d.minor and minor < d.minor:
        return False
    return not d.build or build >= d.build


def closest(decorations, system):
    """The decoration the library picks: among those that apply, the highest major.minor, then the highest build
    number; ties keep line order. None when none applies."""
    best, best_rank = None, None
    for text in decorations:
        d = parse_decoration(text)
        if not applies(d, system):
            continue
        rank = (d.major, d.minor, d.build)
        if best_rank is None or rank > best_rank:
            best, best_rank = text, rank
    return best
