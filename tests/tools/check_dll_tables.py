#!/usr/bin/env python3
"""Fails unless the DLL exports exactly the names of the .def file, undecorated,
imports only DLLs that every Windows system has (no MinGW runtime DLL), and
imports none of the functions that some systems lack (those are looked up at
run time, so that their absence is an ordinary failure, not a load failure).
The product's objects, given after the .def file, must not call LoadLibraryW
or LoadLibraryA: a bare name is looked up along the search order."""
import re
import subprocess
import sys

SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "msi.dll", "setupapi.dll", "newdev.dll", "cfgmgr32.dll",
    "ole32.dll", "oleaut32.dll", "version.dll", "rpcrt4.dll", "bcrypt.dll", "user32.dll", "msvcrt.dll",
    "api-ms-win-crt-runtime-l1-1-0.dll",
}

# Missing from Wine's setupapi and kernel32, and from older Windows versions.
RUNTIME_ONLY = {
    "SetupVerifyInfFileW", "SetupInstallServicesFromInfSectionExW", "InstallELAMCertificateInfo",
    "Wow64DisableWow64FsRedirection", "Wow64RevertWow64FsRedirection",
}


# Loads by a bare name follow the search order; the product loads through
# LoadLibraryExW with the system folder only. The static C runtime's rand_s
# shim (pulled in with libstdc++'s random_device, which the product never
# calls) imports LoadLibraryW into the DLL: the product's own objects are
# what is checked.
SEARCH_ORDER_LOADS = {"LoadLibraryW", "LoadLibraryA"}


def search_order_loads(objdump, objects):
    """(object, function) for every product object that calls a bare LoadLibrary."""
    found = []
    for obj in objects:
        table = subprocess.run([objdump, "-t", obj], check=True, capture_output=True, text=True).stdout
        for name in SEARCH_ORDER_LOADS:
            # COFF symbol tables list an undefined symbol in section 0.
            if re.search(rf"\(sec\s+0\).*\s(__imp_)?{name}$", table, re.M):
                found.append((obj.rsplit("/", 1)[-1], name))
    return sorted(found)


def main():
    objdump, dll, deffile = sys.argv[1:4]
    # ctest hands $<TARGET_OBJECTS> over as one ";"-joined argument.
    objects = [o for arg in sys.argv[4:] for o in arg.split(";") if o]
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    expected = []
    in_exports = False
    for line in open(deffile, encoding="ascii"):
        word = line.strip()
        if word == "EXPORTS":
            in_exports = True
        elif in_exports and word:
            expected.append(word)

    table = text.split("[Ordinal/Name Pointer] Table", 1)
    exported = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", table[1], re.M) if len(table) == 2 else []
    imports = sorted({m.lower() for m in re.findall(r"^\s*DLL Name:\s*(\S+)", text, re.M)})

    failures = []
    if len(expected) != 21:
        failures.append(f"the .def file lists {len(expected)} exports, not 21")
    if sorted(exported) != sorted(expected):
        failures.append(f"exports differ: missing {sorted(set(expected) - set(exported))}, "
                        f"unexpected {sorted(set(exported) - set(expected))}")
    decorated = [n for n in exported if "@" in n or n.startswith("_")]
    if decorated:
        failures.append(f"decorated names: {decorated}")
    imported_functions = set(re.findall(r"^\s+[0-9a-fA-F]+\s+\d+\s+(\w+)\s*$", text.split("[Ordinal/Name Pointer] Table", 1)[0], re.M))
    if not imported_functions:
        failures.append("no imported function names found in the objdump listing")
    static = sorted(imported_functions & RUNTIME_ONLY)
    if static:
        failures.append(f"imported by name although some systems lack them: {static}")
    bare = search_order_loads(objdump, objects)
    if bare:
        failures.append(f"libraries loaded along the search order: {bare}")
    if not objects:
        failures.append("no product objects given to check for LoadLibraryW/LoadLibraryA")
    foreign = [d for d in imports if d not in SYSTEM_DLLS]
    if foreign:
        failures.append(f"imports of non-system DLLs: {foreign}")
    print("exports:", " ".join(sorted(exported)))
    print("imports:", " ".join(imports))
    for f in failures:
        print("FAIL:", f)
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
