"""Reading and rewriting the tables of an installer package with msitools:
msidump exports every table as IDT text and every stream as a file,
msibuild imports IDT text (replacing a table whole) and adds streams."""

import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field


class MsiToolError(RuntimeError):
    pass


# IDT text stands for a line feed and a tab inside a field with these characters.
_IDT_LF = "\x19"
_IDT_TAB = "\x15"


@dataclass
class TableData:
    name: str
    columns: list
    types: list
    keys: list
    rows: list = field(default_factory=list)

    def index(self, column):
        return self.columns.index(column)

    def records(self):
        """The rows as {column: value} dicts ("" for a null field)."""
        return [dict(zip(self.columns, row)) for row in self.rows]

    def idt(self):
        def esc(v):
            v = "" if v is None else str(v)
            return v.replace("\t", _IDT_TAB).replace("\r\n", _IDT_LF).replace("\n", _IDT_LF)
        lines = ["\t".join(self.columns), "\t".join(self.types), "\t".join([self.name] + self.keys)]
        lines += ["\t".join(esc(v) for v in row) for row in self.rows]
        return "\r\n".join(lines) + "\r\n"


def parse_idt(text):
    lines = text.replace("\r\n", "\n").split("\n")
    while lines and lines[-1] == "":
        lines.pop()
    if len(lines) < 3:
        raise MsiToolError("not an IDT text: fewer than three header lines")
    columns = lines[0].split("\t")
    types = lines[1].split("\t")
    head = lines[2].split("\t")
    rows = []
    for line in lines[3:]:
        fields = [f.replace(_IDT_LF, "\n").replace(_IDT_TAB, "\t") for f in line.split("\t")]
        fields += [""] * (len(columns) - len(fields))
        rows.append(fields[:len(columns)])
    return TableData(head[0], columns, types, head[1:], rows)


def _run(args, cwd=None):
    result = subprocess.run(args, cwd=cwd, capture_output=True, text=True, errors="replace")
    if result.returncode != 0:
        raise MsiToolError(f"{' '.join(args[:3])} failed ({result.returncode}): {result.stdout}{result.stderr}")
    return result.stdout


def _read_text(path):
    with open(path, "rb") as f:
        raw = f.read()
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("cp1252", errors="replace")


class Package:
    """The tables and streams of one installer package, dumped into a temporary folder. Use as a context
    manager, or call close()."""

    def __init__(self, path):
        if not os.path.isfile(path):
            raise MsiToolError(f"no such package: {path}")
        self.path = path
        self.dir = tempfile.mkdtemp(prefix="ddmsi-")
        try:
            # msidump writes the data of binary columns to Binary/ of the current folder, whatever -d says.
            _run(["msidump", "-d", self.dir, "-t", "-s", os.path.abspath(path)], cwd=self.dir)
        except Exception:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise
        self.tables = {}
        for name in sorted(os.listdir(self.dir)):
            if name.endswith(".idt") and not name.startswith("_"):
                table = parse_idt(_read_text(os.path.join(self.dir, name)))
                self.tables[table.name] = table

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def table(self, name):
        """The table, or None when the package has none of that name."""
        return self.tables.get(name)

    def records(self, name):
        t = self.tables.get(name)
        return t.records() if t else []

    def stream_path(self, stream):
        """The file holding a stream's bytes ("Binary.<Name>" for a Binary row), or None."""
        path = os.path.join(self.dir, "_Streams", stream)
        return path if os.path.isfile(path) else None

    def binary_path(self, name):
        """The file holding the data of the Binary row `name`, or None."""
        return self.stream_path("Binary." + name)


def write_tables(path, tables, binaries=None):
    """Imports whole tables into the package at `path` (each replaces the table of its name) and the data of
    Binary rows: binaries maps a Binary row name to the file holding its bytes; the Binary table, when given,
    is written with its data column taken from there or, for rows not in binaries, from the package as it is."""
    work = tempfile.mkdtemp(prefix="ddidt-")
    try:
        binaries = dict(binaries or {})
        texts = {}
        for t in tables:
            if t.name == "Binary":
                t = _binary_with_files(path, t, binaries, work)
            texts[t.name + ".idt"] = t.idt()
        # ASCII text keeps the package's codepage (msibuild takes nothing else without one); other text makes
        # the package UTF-8.
        encoding = "ascii"
        try:
            for text in texts.values():
                text.encode(encoding)
            files = []
        except UnicodeEncodeError:
            encoding = "utf-8"
            with open(os.path.join(work, "_ForceCodepage.idt"), "w", newline="") as f:
                f.write("\r\n\r\n65001\t_ForceCodepage\r\n")
            files = ["_ForceCodepage.idt"]
        for name, text in texts.items():
            with open(os.path.join(work, name), "w", encoding=encoding, newline="") as f:
                f.write(text)
            files.append(name)
        _run(["msibuild", os.path.abspath(path), "-i"] + files, cwd=work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _binary_with_files(path, table, binaries, work):
    missing = [row[0] for row in table.rows if row[0] not in binaries]
    if missing and os.path.exists(path):
        with Package(path) as current:
            for name in missing:
                source = current.binary_path(name)
                if source:
                    keep = os.path.join(work, "keep-" + name)
                    shutil.copyfile(source, keep)
                    binaries[name] = keep
    # msibuild reads a data column's file name relative to the Binary folder of the import folder.
    os.makedirs(os.path.join(work, "Binary"), exist_ok=True)
    rows = []
    for row in table.rows:
        source = binaries.get(row[0])
        if source is None:
            raise MsiToolError(f"no data for Binary row '{row[0]}'")
        shutil.copyfile(source, os.path.join(work, "Binary", row[0] + ".ibd"))
        rows.append([row[0], row[0] + ".ibd"] + list(row[2:]))
    return TableData(table.name, table.columns, table.types, table.keys, rows)
