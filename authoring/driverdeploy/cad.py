"""The CustomActionData text that driverdeploy's immediate actions hand to the actions they schedule, decoded
into plain dicts. Written from the text format alone, not from the library's code: a plan shows what the
library really wrote.

Each nesting level has an entry separator and a key separator; inside a value the entry separator is
doubled. A list of records is an entry map keyed by record id whose values are encoded records."""

import base64
import binascii

from . import schema

PACKAGE_SEQUENCE_DEFAULT = 65535
OPERATIONS = {0: "None", 1: "Install", 2: "Uninstall", 3: "Reinstall"}
REGISTRY_ACTIONS = {0: "nothing", 1: "write", 2: "remove", 3: "put its items into", 4: "take its items out of",
                    5: "undo its items in"}


def decode_map(text, entry_sep, key_sep):
    out = {}
    pos, n = 0, len(text)
    while pos < n:
        i = pos
        while True:
            j = text.find(entry_sep, i)
            if j < 0:
                end = n
                break
            if j + 1 < n and text[j + 1] == entry_sep:
                i = j + 2
                continue
            end = j
            break
        entry = text[pos:end]
        k = entry.find(key_sep)
        key, value = (entry, "") if k < 0 else (entry[:k], entry[k + 1:].replace(entry_sep * 2, entry_sep))
        if key:
            out[key] = value
        pos = end + 1
    return out


def _records(text, separators):
    """The values of a list, decoded as records, in key order (ordinal order of the UTF-16 code units)."""
    entries = decode_map(text, separators[0], separators[1])
    return [entries[k] for k in sorted(entries, key=lambda k: k.encode("utf-16-be"))]


def _int(text, default=0):
    text = text.strip()
    if not text:
        return default
    sign, digits = 1, text
    if digits[:1] in "+-":
        sign, digits = (-1 if digits[0] == "-" else 1), digits[1:]
    number = ""
    for c in digits:
        if not c.isdigit():
            break
        number += c
    return sign * int(number) if number else 0


def decode_registry_entries(text):
    rec, lst = schema.REGISTRY_RECORD_SEPARATORS, schema.REGISTRY_LIST_SEPARATORS
    out = []
    for value in _records(text, lst):
        r = decode_map(value, rec[0], rec[1])
        out.append({"id": r.get("id", ""), "root": _int(r.get("root", "")), "key": r.get("key", ""),
                    "name": r.get("name", ""), "value": r.get("value", ""), "condition": r.get("condition", ""),
                    "drv": r.get("drv", ""), "act": _int(r.get("act", ""))})
    return out


def decode_packages(text):
    """A DriverPackage list in the order it is carried out: ascending sequence (as unsigned numbers), equal
    sequences in id order."""
    rec, lst = schema.RECORD_SEPARATORS, schema.LIST_SEPARATORS
    out = []
    for value in _records(text, lst):
        r = decode_map(value, rec[0], rec[1])
        guids = []
        while f"guids{len(guids)}" in r:
            guids.append(r[f"guids{len(guids)}"])
        out.append({"id": r.get("id", ""), "cmp": r.get("cmp", ""), "inf": r.get("inf", ""), "cat": r.get("cat", ""),
                    "depends": r.get("depends", ""), "hdw": r.get("hdw", ""), "condition": r.get("condition", ""),
                    "guids": guids, "atr": _int(r.get("atr", "")) & 0xFFFFFFFF, "type": _int(r.get("type", "")),
                    "act": _int(r.get("act", "")),
                    "seq": _int(r.get("seq", ""), PACKAGE_SEQUENCE_DEFAULT) & 0xFFFFFFFF,
                    "reg": decode_registry_entries(r.get("reg", ""))})
    out.sort(key=lambda p: p["seq"])
    return out


def decode_catalogs(text):
    rec, lst = schema.RECORD_SEPARATORS, schema.LIST_SEPARATORS
    out = []
    for value in _records(text, lst):
        r = decode_map(value, rec[0], rec[1])
        out.append({k: r.get(k, "") for k in ("id", "name", "path", "cmp", "condition")})
    return out


def decode_protections(text):
    rec, lst = schema.RECORD_SEPARATORS, schema.LIST_SEPARATORS
    out = []
    for value in _records(text, lst):
        r = decode_map(value, rec[0], rec[1])
        item = {k: r.get(k, "") for k in ("id", "name", "uptcmd", "cmp", "condition")}
        try:
            item["zbin"] = base64.b64decode(r.get("zbin", ""), validate=True)
        except (binascii.Error, ValueError):
            item["zbin"] = None  # not Base64: shown as such
        out.append(item)
    return out


def bit_names(value, bits):
    """'0x24 InstallEarly|StartTypeOnFinalize'; bits the library does not know are named as hex."""
    names = [b.name for b in bits if value & b.value]
    unknown = value & ~sum(b.value for b in bits)
    if unknown:
        names.append(f"0x{unknown:x}")
    return f"0x{value:x}" + (" " + "|".join(names) if names else "")
