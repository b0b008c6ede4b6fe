"""driverdeploy lint over real packages built with msibuild: a good one, on which it finds nothing, and broken ones,
each made from the good one by one change, each reported with its own line and nothing else."""

import concurrent.futures
import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path[:0] = [os.path.join(ROOT, "authoring"), os.path.join(ROOT, "tests", "e2e")]

import ddpkg  # noqa: E402
from driverdeploy import lint, schema  # noqa: E402

FIX = os.path.join(ddpkg.FIXTURES, "lifecycle")
COMMAND = os.path.join(ROOT, "authoring", "bin", "driverdeploy")
CLASS_GUID = "{D1E2F3A4-0000-4000-8000-00DD7E570002}"
OLD_FILT = "{6A0C1C5E-21B4-4C57-9E55-3C0E9F2A7B10}"


def good_package():
    """Two driver packages (a filter in INSTALLDIR, a device driver in a subfolder with a short|long name), a
    registry value, an upper filter, a catalog, a protected service with its unprotect program, and everything the
    schema asks for them: the actions bound to driverdeploy.dll, the sequence steps and the Error rows."""
    p = ddpkg.Package("linted")
    p.rows("Directory").append(["DRIVERS", "INSTALLDIR", "DRIVER~1|Driver files"])
    ddpkg.add_driver_tables(p)
    # The files' bytes, packed into the package's cabinet when it is built: {File key: source path}.
    p.sources = {}
    p.sources.update(ddpkg.driver_files(p, "Filt", ["ddfilt.inf", "ddfilt.sys", "ddfilt.cat"], FIX, 1))
    p.sources.update(ddpkg.driver_files(p, "Dev", ["dddev.inf", "dddev.sys", "dddev.cat"], FIX, 4))
    p.sources.update(ddpkg.driver_files(p, "Cat", ["ddprod.cat"], FIX, 7))
    component(p, "Dev")[2] = "DRIVERS"
    file_row(p, "Dev_dddev.inf")[2] = "DDDEV~1.INF|dddev.inf"
    ddpkg.driver_package(p, "filt", "Filt", "[INSTALLDIR]ddfilt.inf", "[#Filt_ddfilt.cat]", attributes=0x29, type_=1,
                         sequence=10, condition='VersionNT64 AND NOT (REMOVE~="ALL")', dependencies="Base[~]Other",
                         previous_guids=OLD_FILT + ";")
    ddpkg.driver_package(p, "dev", "Dev", "[INSTALLDIR]Driver files\\dddev.inf", "[DRIVERS]dddev.cat", type_=3,
                         condition="(&Main = 3) OR (!Main = 3 AND $Dev > 2)", hardware_id="ROOT\\DDDEV")
    ddpkg.driver_registry(p, "reg", "filt", "Software\\DDLint", "Chain", "[~]ddfilt", condition="VersionNT >= 603")
    for id_, name, value in [("reg_dword", "Level", "# -5"), ("reg_binary", "Blob", "#x0aFF"),
                             ("reg_hash", "Hash", "##1"), ("reg_expand", "Path", "#%[INSTALLDIR]x"),
                             ("reg_formatted", "Count", "#[COUNT]"), ("reg_key", "+", "")]:
        ddpkg.driver_registry(p, id_, "filt", "Software\\DDLint", name, value, root=0)
    ddpkg.upper_filter(p, "uf", "filt", CLASS_GUID, "ddfilt", dependencies="other", attributes=1)
    p.rows("CryptCatalog").append(["prodcat", "ddprod.cat", "[INSTALLDIR]ddprod.cat", "Cat",
                                   '%PROCESSOR_ARCHITECTURE ~<> "x86"'])
    p.binary("Unprot", IMAGES["program_image"])
    p.rows("ServiceConfigProtection").append(["prot", "ddfilt", "Unprot", '"[TempFolder]unprot.exe" ddfilt', "0",
                                              "Filt", "NOT Installed OR REINSTALL"])
    for a in schema.ACTIONS:
        p.custom_action(a.name, a.type, a.entry, source=schema.BINARY_NAME)
    p.sequence += [(s.action, s.condition, s.sequence) for s in schema.SEQUENCE]
    p.tables["Error"].rows = [[str(e.number), e.text] for e in schema.ERRORS]
    return p


def find(p, table, key):
    return next(r for r in p.rows(table) if r[0] == key)


def component(p, key):
    return find(p, "Component", key)


def file_row(p, key):
    return find(p, "File", key)


def put(table, key, column, value):
    """A change: one field of one row."""
    def change(p):
        t = p.tables[table]
        find(p, table, key)[t.columns.index(column)] = value
    return change


def drop(table, key):
    def change(p):
        p.rows(table).remove(find(p, table, key))
    return change


def drop_pair(table, first, second):
    def change(p):
        p.rows(table).remove(next(r for r in p.rows(table) if r[:2] == [first, second]))
    return change


def sequence(action, number=None, condition=None, remove=False):
    def change(p):
        old = next(s for s in p.sequence if s[0] == action)
        p.sequence.remove(old)
        if not remove:
            p.sequence.append((action, old[1] if condition is None else condition,
                               old[2] if number is None else number))
    return change


# Files standing in for driverdeploy.dll, made once by the test class.
IMAGES = {}


def binary(name, image):
    """The Binary row's data from one of IMAGES."""
    def change(p):
        find(p, "Binary", name)[1] = IMAGES[image]
    return change


def retype(table, column, type_):
    def change(p):
        t = p.tables[table]
        t.types[t.columns.index(column)] = type_
    return change


def swap_columns(table, a, b):
    def change(p):
        t = p.tables[table]
        i, j = t.columns.index(a), t.columns.index(b)
        for seq in [t.columns, t.types] + t.rows:
            seq[i], seq[j] = seq[j], seq[i]
    return change


def drop_column(table, column):
    def change(p):
        t = p.tables[table]
        i = t.columns.index(column)
        for seq in [t.columns, t.types] + t.rows:
            del seq[i]
    return change


def both(first, second):
    """A table made elsewhere, which msibuild alone would not build: two changes."""
    def change(p):
        first(p)
        second(p)
    return change


def inf_edit(key, old, new, encoding="cp1252"):
    """A change of the INF file the package carries as File `key`: `old` replaced by `new` in its text."""
    def change(p):
        with open(p.sources[key], encoding="cp1252") as f:
            text = f.read()
        assert old in text, (key, old)
        path = os.path.join(tempfile.mkdtemp(prefix="inf-", dir=IMAGES["work"]), os.path.basename(p.sources[key]))
        with open(path, "wb") as f:
            f.write((b"\xff\xfe" if encoding == "utf-16-le" else b"") + text.replace(old, new).encode(encoding))
        p.sources[key] = path
    return change


def add_files(component, names):
    """More files of a component: {name: source path}."""
    def change(p):
        first = max(int(r[7]) for r in p.rows("File")) + 1
        for i, (name, source) in enumerate(names.items()):
            key = f"{component}_{name}"
            p.file(key, component, name, source, first + i)
            p.sources[key] = source
    return change


SAMPLES = os.path.join(ddpkg.FIXTURES, "authoring", "inf")


def real_world(id_, inf_name, catalog, type_, hardware_id=""):
    """A third driver package from one of the public sample INFs, in a component of its own with its catalog
    (a stand-in file under the INF's catalog name) unless `catalog` is None."""
    def change(p):
        component = id_.capitalize()
        p.component(component, key_path=f"{component}_{inf_name}")
        names = {inf_name: os.path.join(SAMPLES, inf_name)}
        if catalog:
            names[catalog] = os.path.join(FIX, "ddprod.cat")
        add_files(component, names)(p)
        ddpkg.driver_package(p, id_, component, f"[INSTALLDIR]{inf_name}", type_=type_, hardware_id=hardware_id)
    return change


def launch_condition(condition):
    def change(p):
        p.table("LaunchCondition", ["Condition", "Description"], ["s255", "l255"], ["Condition"],
                [[condition, "This product needs a newer Windows."]])
    return change


def add_sequence(action, number, condition=""):
    def change(p):
        p.sequence.append((action, condition, number))
    return change


# (name, change, the lines lint prints for it)
BROKEN = [
    ("dangling Component_", put("DriverPackage", "filt", "Component_", "Gone"),
     ["DriverPackage 'filt' Component_: names no Component row 'Gone'"]),
    ("dangling DriverPackage_ of a registry row", put("DriverRegistry", "reg", "DriverPackage_", "gone"),
     ["DriverRegistry 'reg' DriverPackage_: names no DriverPackage row 'gone'"]),
    ("dangling DriverPackage_ of an upper filter", put("DriverUpperFilter", "uf", "DriverPackage_", "gone"),
     ["DriverUpperFilter 'uf' DriverPackage_: names no DriverPackage row 'gone'"]),
    ("dangling Component_ of a catalog", put("CryptCatalog", "prodcat", "Component_", "Gone"),
     ["CryptCatalog 'prodcat' Component_: names no Component row 'Gone'"]),
    ("component in no feature", drop_pair("FeatureComponents", "Main", "Cat"),
     ["CryptCatalog 'prodcat' Component_: component 'Cat' belongs to no feature (FeatureComponents), so it is "
      "never installed"]),
    ("dangling Binary_", drop("Binary", "Unprot"),
     ["ServiceConfigProtection 'prot' Binary_: names no Binary row 'Unprot'"]),
    # msibuild refuses an empty field in a column that is not nullable: the table comes from elsewhere.
    ("empty non-nullable column", both(retype("DriverUpperFilter", "ServiceName", "S255"),
                                       put("DriverUpperFilter", "uf", "ServiceName", "")),
     ["DriverUpperFilter ServiceName: type S255, expected s255",
      "DriverUpperFilter 'uf' ServiceName: empty; the column must hold a value"]),
    ("integer column holding text", both(retype("DriverPackage", "Sequence", "S4"),
                                         put("DriverPackage", "filt", "Sequence", "ten")),
     ["DriverPackage Sequence: type S4, expected I4",
      "DriverPackage 'filt' Sequence: 'ten' is not an integer of 4 bytes"]),
    ("list separator in a package id", put("DriverPackage", "dev", "DriverPackage", "dev;2"),
     ["DriverPackage 'dev;2' DriverPackage: holds ';', a separator of the library's lists (';*' are not allowed "
      "in this key)"]),
    ("registry list separator in a registry key", put("DriverRegistry", "reg", "DriverRegistry", "reg<1>"),
     ["DriverRegistry 'reg<1>' DriverRegistry: holds '><', a separator of the library's lists ('><' are not "
      "allowed in this key)"]),
    ("unknown package attribute bit", put("DriverPackage", "filt", "Attributes", str(0x29 | 0x4000)),
     ["DriverPackage 'filt' Attributes: unknown bits 0x4000"]),
    ("unknown upper filter attribute bit", put("DriverUpperFilter", "uf", "Attributes", "3"),
     ["DriverUpperFilter 'uf' Attributes: unknown bits 0x2"]),
    ("unknown protection attribute bit", put("ServiceConfigProtection", "prot", "Attributes", "16"),
     ["ServiceConfigProtection 'prot' Attributes: unknown bits 0x10"]),
    ("unknown driver type", put("DriverPackage", "dev", "Type", "4"),
     ["DriverPackage 'dev' Type: unknown type 4 (1 filter driver, 2 network driver, 3 device driver; empty: chosen "
      "by the INF's class)"]),
    ("unknown registry root", put("DriverRegistry", "reg", "Root", "-1"),
     ["DriverRegistry 'reg' Root: unknown registry root -1 (0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_USER, "
      "2 HKEY_LOCAL_MACHINE, 3 HKEY_CURRENT_USER)"]),
    ("binary registry value that is not hexadecimal", put("DriverRegistry", "reg", "Value", "#x0A0G"),
     ["DriverRegistry 'reg' Value: '#x0A0G': binary data holds characters that are not hexadecimal digits"]),
    ("DWORD registry value that is no number", put("DriverRegistry", "reg", "Value", "#12 apples"),
     ["DriverRegistry 'reg' Value: '#12 apples' is no DWORD: '#' takes a decimal number ('##' starts a string "
      "with '#')"]),
    ("DWORD registry value out of range", put("DriverRegistry", "reg", "Value", "#4294967295"),
     ["DriverRegistry 'reg' Value: '#4294967295' is outside the signed 32-bit range of a DWORD value"]),
    ("negative package sequence", put("DriverPackage", "filt", "Sequence", "-5"),
     ["DriverPackage 'filt' Sequence: -5 is outside 0 to 65535 (65535 or empty: no place in the order, run in "
      "parallel)"]),
    ("empty InfPath", put("DriverPackage", "filt", "InfPath", ""),
     ["DriverPackage 'filt' InfPath: empty; every driver package needs its INF file"]),
    ("InfPath naming no file", put("DriverPackage", "filt", "InfPath", "[INSTALLDIR]nofile.inf"),
     ["DriverPackage 'filt' InfPath: names no file of the package: no File row 'nofile.inf' installs into "
      "INSTALLDIR"]),
    ("InfPath in the wrong folder", put("DriverPackage", "dev", "InfPath", "[INSTALLDIR]dddev.inf"),
     ["DriverPackage 'dev' InfPath: names no file of the package: no File row 'dddev.inf' installs into "
      "INSTALLDIR"]),
    ("InfPath by the short name", put("DriverPackage", "dev", "InfPath", "[DRIVERS]DDDEV~1.INF"),
     ["DriverPackage 'dev' InfPath: names the short name of File 'Dev_dddev.inf'; use its long name 'dddev.inf'"]),
    ("InfPath under a misspelt folder", put("DriverPackage", "filt", "InfPath", "[INSTALDIR]ddfilt.inf"),
     ["DriverPackage 'filt' InfPath: [INSTALDIR] is neither a directory nor a property of the package"]),
    ("InfPath as a fixed path", put("DriverPackage", "filt", "InfPath", "C:\\drivers\\ddfilt.inf"),
     ["DriverPackage 'filt' InfPath: names no file of the package: a fixed path, not one of the package's "
      "folders"]),
    ("InfPath of another component", put("DriverPackage", "filt", "InfPath", "[DRIVERS]dddev.inf"),
     ["DriverPackage 'filt' InfPath: warning: names File 'Dev_dddev.inf' of component 'Dev', not of the package's "
      "component 'Filt'",
      "DriverPackage 'filt' Type: 1 (filter driver), but dddev.inf is a device INF (models and no DefaultInstall "
      "section): the filter installer installs the first model's section without a device; use Type 3"]),
    ("InfPath naming the driver image", put("DriverPackage", "filt", "InfPath", "[INSTALLDIR]ddfilt.sys"),
     ["DriverPackage 'filt' InfPath: warning: names File 'Filt_ddfilt.sys', which is no .inf file"]),
    ("CatPath naming the INF", put("DriverPackage", "filt", "CatPath", "[#Filt_ddfilt.inf]"),
     ["DriverPackage 'filt' CatPath: warning: names File 'Filt_ddfilt.inf', which is no .cat file"]),
    ("CatPath naming no File row", put("DriverPackage", "filt", "CatPath", "[#Filt_ddfilt.cab]"),
     ["DriverPackage 'filt' CatPath: names no File row 'Filt_ddfilt.cab'"]),
    ("catalog Path naming no file", put("CryptCatalog", "prodcat", "Path", "[INSTALLDIR]prod.cat"),
     ["CryptCatalog 'prodcat' Path: names no file of the package: no File row 'prod.cat' installs into "
      "INSTALLDIR"]),
    ("catalog without component", put("CryptCatalog", "prodcat", "Component_", ""),
     ["CryptCatalog 'prodcat' Component_: empty; a row without a component is never selected"]),
    ("protection never lifted", put("ServiceConfigProtection", "prot", "UnprotectCommand", ""),
     ["ServiceConfigProtection 'prot' UnprotectCommand: warning: empty; the protection is never lifted, so the "
      "service cannot be stopped or removed"]),
    ("hardware id too long", put("DriverPackage", "dev", "HardwareId", "ROOT\\" + "D" * 195),
     ["DriverPackage 'dev' HardwareId: 200 characters; a device property holds at most 199",
      "DriverPackage 'dev' HardwareId: no model of dddev.inf for amd64 carries the hardware id 'ROOT\\" + "D" * 195
      + "'"]),
    ("previous version that is no GUID", put("DriverPackage", "filt", "GuidsOfPreviousVersions", OLD_FILT + ",x"),
     [f"DriverPackage 'filt' GuidsOfPreviousVersions: not component codes separated by ';': '{OLD_FILT},x'"]),
    ("empty dependency", put("DriverPackage", "filt", "Dependencies", "Base[~]Other[~]"),
     ["DriverPackage 'filt' Dependencies: an empty service name between the '[~]' separators"]),
    ("class GUID without braces", put("DriverUpperFilter", "uf", "ClassGuid", CLASS_GUID[1:-1]),
     [f"DriverUpperFilter 'uf' ClassGuid: '{CLASS_GUID[1:-1]}' is not a GUID in braces"]),
    ("unbalanced condition", put("DriverPackage", "dev", "Condition", "(&Main = 3) OR (!Main = 3"),
     ["DriverPackage 'dev' Condition: does not parse: expected ')' for the '(' at 16, found the end"]),
    ("C operator in a condition", put("DriverRegistry", "reg", "Condition", "VersionNT == 603"),
     ["DriverRegistry 'reg' Condition: does not parse: expected a value, found '=' at 12"]),
    ("open string in a condition", put("CryptCatalog", "prodcat", "Condition", '%PROCESSOR_ARCHITECTURE ~<> "x86'),
     ["CryptCatalog 'prodcat' Condition: does not parse: the string opened at 29 is not closed"]),
    ("column of the wrong type", retype("DriverPackage", "Attributes", "S4"),
     ["DriverPackage Attributes: type S4, expected I4"]),
    ("string column too short", retype("DriverRegistry", "Value", "S64"),
     ["DriverRegistry Value: type S64, expected S0: holds shorter values than the library takes"]),
    ("columns out of order", swap_columns("CryptCatalog", "Name", "Path"),
     ["CryptCatalog: columns in the order CryptCatalog, Path, Name, Component_, Condition; expected CryptCatalog, "
      "Name, Path, Component_, Condition"]),
    ("missing column", drop_column("DriverRegistry", "Condition"),
     ["DriverRegistry Condition: missing column"]),
    ("unprotect program that is a DLL", binary("Unprot", "dll"),
     ["ServiceConfigProtection 'prot' Binary_: Binary 'Unprot' is not a program image; the library runs it as one"]),
    ("missing action", drop("CustomAction", "InstallDriversEarlyCommit_x64"),
     ["CustomAction 'InstallDriversEarlyCommit_x64': missing; the DriverPackage rows need it"]),
    ("deferred action without NoImpersonate", put("CustomAction", "InstallDriversDeferred", "Type", "1025"),
     ["CustomAction 'InstallDriversDeferred' Type: 1025, expected 3073: missing NoImpersonate"]),
    ("asynchronous immediate action", put("CustomAction", "ProtectServices", "Type", str(1 | 0x80)),
     ["CustomAction 'ProtectServices' Type: 129, expected 1: extra Async"]),
    ("rollback bound as a commit", put("CustomAction", "UninstallCryptCatalogRollback", "Type", str(0xC01 | 0x200)),
     ["CustomAction 'UninstallCryptCatalogRollback' Type: 3585, expected 3329: missing Rollback; extra Commit"]),
    ("program instead of DLL", put("CustomAction", "UnprotectServices", "Type", "2"),
     ["CustomAction 'UnprotectServices' Type: 2, expected 1: a program stored in the Binary table, not a DLL "
      "function stored in the Binary table"]),
    ("early name bound to its own name", put("CustomAction", "InstallDriversEarlyDeferred_x64", "Target",
                                             "InstallDriversEarlyDeferred"),
     ["CustomAction 'InstallDriversEarlyDeferred_x64' Target: 'InstallDriversEarlyDeferred', expected "
      "'InstallDriversDeferred'"]),
    ("action from a missing Binary row", put("CustomAction", "InstallDrivers", "Source", "DriverDeploy64"),
     ["CustomAction 'InstallDrivers' Source: names no Binary row 'DriverDeploy64'"]),
    ("Binary that is no PE image", binary("DriverDeploy", "text_file"),
     ["Binary 'DriverDeploy' Data: not a PE DLL: no MZ header"]),
    ("Binary that is a program", binary("DriverDeploy", "program_image"),
     ["Binary 'DriverDeploy' Data: not a DLL: the image is a program"]),
    ("Binary without an export", binary("DriverDeploy", "dll_without_export"),
     ["CustomAction 'UnprotectServicesRollback' Target: Binary 'DriverDeploy' exports no "
      "'UnprotectServicesRollback'"]),
    ("missing sequence step", sequence("InstallCryptCatalog", remove=True),
     ["InstallExecuteSequence 'InstallCryptCatalog': missing; the CryptCatalog rows need it"]),
    ("catalogs after the drivers they sign", sequence("InstallCryptCatalog", 4105),
     ["InstallExecuteSequence 'InstallCryptCatalog' Sequence: 4105 is not before InstallDrivers (4100)"]),
    ("finalize after the script", sequence("InstallDriversFinalize", 6650),
     ["InstallExecuteSequence 'InstallDriversFinalize' Sequence: 6650 is not before InstallFinalize (6600)"]),
    ("early install outside the script", sequence("InstallDriversEarly", 1450),
     ["InstallExecuteSequence 'InstallDriversEarly' Sequence: 1450 is not after InstallInitialize (1500)"]),
    ("scheduled action in the sequence", add_sequence("InstallDriversDeferred_x64", 4105),
     ["InstallExecuteSequence 'InstallDriversDeferred_x64': the action is started by InstallDrivers, not by the "
      "sequence"]),
    ("sequence condition that does not parse", sequence("InstallDrivers", condition='NOT REMOVE~="ALL'),
     ["InstallExecuteSequence 'InstallDrivers' Condition: does not parse: the string opened at 13 is not closed"]),
    ("missing Error row", drop("Error", "27302"),
     ["Error '27302': missing; the library sends it from InstallDriversDeferred"]),
    ("Error text without the details", put("Error", "27310", "Message", "Failed to install catalog files."),
     ["Error '27310' Message: warning: holds no [2] (the error code) and no [3] (what failed)"]),
    ("authored EarlyConfigured bit", put("DriverPackage", "filt", "Attributes", str(0x29 | 0x10)),
     ["DriverPackage 'filt' Attributes: warning: 0x10 (EarlyConfigured) is set by the library itself; it ignores "
      "the authored bit"]),
    ("unquoted program path with blanks", both(put("ServiceConfigProtection", "prot", "Binary_", ""),
                                               put("ServiceConfigProtection", "prot", "UnprotectCommand",
                                                   "C:\\Program Files\\DD\\unprot.exe ddfilt")),
     ["ServiceConfigProtection 'prot' UnprotectCommand: warning: the program path 'C:\\Program Files\\DD\\unprot.exe' "
      "holds blanks and is not quoted: the system may run another program"]),
    ("unquoted program path in a folder", both(put("ServiceConfigProtection", "prot", "Binary_", ""),
                                               put("ServiceConfigProtection", "prot", "UnprotectCommand",
                                                   "[INSTALLDIR]unprot.exe ddfilt")),
     ["ServiceConfigProtection 'prot' UnprotectCommand: warning: the program path '[INSTALLDIR]unprot.exe' starts "
      "with a folder whose path may hold blanks, and is not quoted: the system may run another program"]),
    ("registry key with its root", put("DriverRegistry", "reg", "Key", "HKLM\\Software\\DDLint"),
     ["DriverRegistry 'reg' Key: starts with the root name 'HKLM': the library writes the key under Root, so it "
      "would be HKEY_LOCAL_MACHINE\\HKLM\\Software\\DDLint"]),
    ("registry root 3 meant as HKEY_USERS", put("DriverRegistry", "reg", "Root", "3"),
     ["DriverRegistry 'reg' Root: warning: 3 is the current user's hive (HKEY_CURRENT_USER) in this library, not "
      "HKEY_USERS as in the installer's Registry table"]),
    # The drivers' own INF files, each broken in one place.
    ("hardware id not in the INF", put("DriverPackage", "dev", "HardwareId", "ROOT\\DDDEV2"),
     ["DriverPackage 'dev' HardwareId: no model of dddev.inf for amd64 carries the hardware id 'ROOT\\DDDEV2'"]),
    ("hardware id of another platform", inf_edit("Dev_dddev.inf", "=Models,NTamd64", "=Models,NTx86"),
     ["DriverPackage 'dev' HardwareId: no model of dddev.inf for amd64 carries the hardware id 'ROOT\\DDDEV' (its "
      "Manufacturer section has no NTamd64 decoration)"]),
    ("root device id without HardwareId", both(put("DriverPackage", "dev", "HardwareId", ""),
                                              inf_edit("Dev_dddev.inf", "ROOT\\dddev", "ROOT\\dddevice")),
     ["DriverPackage 'dev' InfPath: no model of dddev.inf for amd64 carries the hardware id 'ROOT\\dddev' (ROOT\\ and "
      "the first service, HardwareId being empty)"]),
    ("filter INF without DefaultInstall", inf_edit("Filt_ddfilt.inf", "[DefaultInstall.NTamd64]", "[Install.NTamd64]"),
     ["DriverPackage 'filt' InfPath: ddfilt.inf has no install section: neither models (a Manufacturer section) nor "
      "a DefaultInstall section"]),
    ("filter INF without DefaultUninstall", inf_edit("Filt_ddfilt.inf", "[DefaultUninstall.NTamd64]",
                                                     "[Uninstall.NTamd64]"),
     ["DriverPackage 'filt' InfPath: warning: ddfilt.inf has no DefaultUninstall section, so uninstalling never "
      "removes the driver's service and files"]),
    ("device INF declared as a filter", put("DriverPackage", "dev", "Type", "1"),
     ["DriverPackage 'dev' Type: 1 (filter driver), but dddev.inf is a device INF (models and no DefaultInstall "
      "section): the filter installer installs the first model's section without a device; use Type 3"]),
    ("legacy INF declared as a device driver", put("DriverPackage", "filt", "Type", "3"),
     ["DriverPackage 'filt' Type: 3 (device driver), but ddfilt.inf has no models (no Manufacturer section): no "
      "device can get its driver from it"]),
    ("legacy INF declared as a network driver", put("DriverPackage", "filt", "Type", "2"),
     ["DriverPackage 'filt' Type: 2 (network driver), but the class of ddfilt.inf is "
      "{8ecc055d-047f-11d1-a537-0000f8753ed1}, not a network component class (Net, NetClient, NetService, "
      "NetTrans)"]),
    ("device INF without AddService", inf_edit("Dev_dddev.inf", "AddService=dddev,", "Include=dddev,"),
     ["DriverPackage 'dev' InfPath: dddev.inf adds no service: no AddService line in [dddev_Install.Services] (the "
      "device package is skipped)"]),
    ("model naming a missing install section", inf_edit("Dev_dddev.inf", "=dddev_Install,", "=dddev_Setup,"),
     ["DriverPackage 'dev' InfPath: dddev.inf has no install section 'dddev_Setup' (named by its first model) for "
      "amd64"]),
    ("catalog the INF names but the package lacks", inf_edit("Dev_dddev.inf", "CatalogFile=dddev.cat",
                                                              "CatalogFile.NTamd64=dddev64.cat\nCatalogFile=dddev.cat"),
     ["DriverPackage 'dev' InfPath: dddev.inf names the catalog 'dddev64.cat' (CatalogFile.NTamd64), which is no "
      "file of the package beside the INF"]),
    ("CatPath naming another catalog than the INF", put("DriverPackage", "filt", "CatPath", "[#Cat_ddprod.cat]"),
     ["DriverPackage 'filt' CatPath: warning: names 'ddprod.cat'; ddfilt.inf names its catalog 'ddfilt.cat' "
      "(CatalogFile)"]),
    ("upper filter naming a service the INF does not add", put("DriverUpperFilter", "uf", "ServiceName", "ddflt"),
     ["DriverUpperFilter 'uf' ServiceName: 'ddflt' is not a service the INF of driver package 'filt' adds "
      "(AddService: ddfilt); a class list naming a service that does not exist stops every device of the class"]),
    ("models only for newer builds", inf_edit("Dev_dddev.inf", "NTamd64", "NTamd64.10.0...18362"),
     ["DriverPackage 'dev' InfPath: warning: the models of dddev.inf apply only to builds newer than Windows 10.0 "
      "build 17763, the oldest the product allows without a LaunchCondition on WindowsBuild or VersionNT "
      "(Models.NTamd64.10.0...18362: Windows 10.0 build 18362 and later)"]),
    ("models newer than the product's LaunchCondition", both(launch_condition("VersionNT >= 603"),
                                                              inf_edit("Dev_dddev.inf", "NTamd64", "NTamd64.10.0")),
     ["DriverPackage 'dev' InfPath: warning: the models of dddev.inf apply only to builds newer than Windows 6.3 "
      "build 9600, the oldest the product allows by its LaunchCondition rows (Models.NTamd64.10.0: Windows 10.0 and "
      "later)"]),
    ("INF that does not parse", inf_edit("Filt_ddfilt.inf", "[Strings]", "[Strings"),
     ["DriverPackage 'filt' InfPath: the INF file ddfilt.inf does not parse: line 51: the section name is not closed "
      "with ']'"]),
    ("INF without a Version section", inf_edit("Filt_ddfilt.inf", "[Version]", "[Versions]"),
     ["DriverPackage 'filt' InfPath: the INF file ddfilt.inf has no [Version] section"]),
    ("INF of another style", inf_edit("Filt_ddfilt.inf", 'Signature="$WINDOWS NT$"', 'Signature="$Windows 3.1$"'),
     ["DriverPackage 'filt' InfPath: the INF file ddfilt.inf has the Signature '$Windows 3.1$', not \"$Windows NT$\": "
      "SetupAPI does not open it"]),
    ("UTF-16 INF with a hardware id it lacks", both(inf_edit("Dev_dddev.inf", "", "", encoding="utf-16-le"),
                                                    put("DriverPackage", "dev", "HardwareId", "ROOT\\dddev3")),
     ["DriverPackage 'dev' HardwareId: no model of dddev.inf for amd64 carries the hardware id 'ROOT\\dddev3'"]),
    # Real-world INFs of the public driver samples.
    ("sample device filter INF declared as a filter", real_world("toaster", "filter.inf", "KmdfSamples.cat", 1),
     ["DriverPackage 'toaster' Type: 1 (filter driver), but filter.inf is a device INF (models and no "
      "DefaultInstall section): the filter installer installs the first model's section without a device; use "
      "Type 3"]),
    ("sample device filter INF with another hardware id", real_world("toaster", "filter.inf", "KmdfSamples.cat", 3,
                                                                     "ROOT\\MsToaster"),
     ["DriverPackage 'toaster' HardwareId: no model of filter.inf for amd64 carries the hardware id "
      "'ROOT\\MsToaster'"]),
    ("sample callout driver declared as a network driver", real_world("wfp", "WFPSamplerCalloutDriver.inf",
                                                                      "WFPSamplerCalloutDriver.Cat", 2),
     ["DriverPackage 'wfp' Type: 2 (network driver), but the class of WFPSamplerCalloutDriver.inf is "
      "{57465043-616c-6c6f-7574-5f636c617373}, not a network component class (Net, NetClient, NetService, "
      "NetTrans)"]),
    ("sample callout driver without its catalog", real_world("wfp", "WFPSamplerCalloutDriver.inf", None, 1),
     ["DriverPackage 'wfp' InfPath: WFPSamplerCalloutDriver.inf names the catalog 'WFPSamplerCalloutDriver.Cat' "
      "(CatalogFile), which is no file of the package beside the INF"]),
]

# What stays clean: the same INFs read in other ways, and real-world INFs used as they are meant.
CLEAN = [
    ("UTF-16 INF", inf_edit("Dev_dddev.inf", "", "", encoding="utf-16-le")),
    ("models for newer builds the LaunchCondition asks for",
     both(launch_condition("WindowsBuild >= 18362"), inf_edit("Dev_dddev.inf", "NTamd64", "NTamd64.10.0...18362"))),
    ("the closest of several decorations", inf_edit("Dev_dddev.inf", "=Models,NTamd64",
                                                    "=Models,NTamd64.10.0...22000,NTamd64")),
    ("sample callout driver as a filter", real_world("wfp", "WFPSamplerCalloutDriver.inf",
                                                     "WFPSamplerCalloutDriver.Cat", 1)),
    ("sample device filter INF as a device", real_world("toaster", "filter.inf", "KmdfSamples.cat", 3,
                                                        "{B85B7C50-6A01-11d2-B841-00C04FAD5171}\\MsToaster")),
]


class LintTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(ddpkg.DLL):
            raise RuntimeError(f"no driverdeploy.dll at {ddpkg.DLL}: build it, or set DD_DLL")
        cls.work = tempfile.mkdtemp(prefix="lint-")
        IMAGES["work"] = cls.work
        cls.text_file = os.path.join(FIX, "ddfilt.inf")
        with open(ddpkg.DLL, "rb") as f:
            dll = f.read()
        IMAGES["text_file"] = cls.text_file
        IMAGES["dll"] = ddpkg.DLL
        # The same image marked as a program: the DLL bit of the file header's characteristics cleared.
        pe = int.from_bytes(dll[0x3C:0x40], "little")
        characteristics = int.from_bytes(dll[pe + 22:pe + 24], "little") & ~0x2000
        IMAGES["program_image"] = cls._write("program.exe", dll[:pe + 22] + characteristics.to_bytes(2, "little")
                                             + dll[pe + 24:])
        # The same image with one export renamed (the name also stands, unused, among the image's strings).
        name = b"UnprotectServicesRollback\0"
        assert name in dll
        IMAGES["dll_without_export"] = cls._write("renamed.dll", dll.replace(name, b"UnprotectServicesRollbacX\0"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def _write(cls, name, data):
        path = os.path.join(cls.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def build(self, name, change=None, cabinet=True):
        p = good_package()
        if change is not None:
            change(p)
        folder = tempfile.mkdtemp(prefix="case-", dir=self.work)
        files = {r[0] for r in p.rows("File")}
        if cabinet:
            p.cabinet("drivers.cab", {k: v for k, v in p.sources.items() if k in files}, folder)
        return p.build(os.path.join(folder, name.replace(" ", "_") + ".msi"))

    def lint(self, *argv):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = lint.main(list(argv))
        return code, out.getvalue().splitlines(), err.getvalue()

    def test_good_package_is_clean(self):
        path = self.build("good")
        self.assertEqual(self.lint(path), (0, [], ""))

    def build_and_lint(self, cases):
        """{name: (path, (code, out lines, err))} of every case, several at a time: each is two msitools runs
        that mostly wait."""
        def one(case):
            name, change = case[0], case[1]
            path = self.build(name, change)
            out, err = io.StringIO(), io.StringIO()
            code = lint.lint(path, False, out, err)
            return name, (path, (code, out.getvalue().splitlines(), err.getvalue()))
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            return dict(pool.map(one, cases))

    def test_each_broken_package_gets_its_own_line(self):
        results = self.build_and_lint(BROKEN)
        for name, change, lines in BROKEN:
            with self.subTest(name):
                path, (code, out, err) = results[name]
                warnings = sum(1 for line in lines if ": warning: " in line)
                summary = (f"{path}: {len(lines)} problem{'s' if len(lines) > 1 else ''} "
                           f"({len(lines) - warnings} error{'s' if len(lines) - warnings != 1 else ''}, "
                           f"{warnings} warning{'s' if warnings != 1 else ''})")
                self.assertEqual((code, out, err), (1, lines + [summary], ""))

    def test_clean_variants_stay_clean(self):
        results = self.build_and_lint(CLEAN)
        for name, _ in CLEAN:
            with self.subTest(name):
                self.assertEqual(results[name][1], (0, [], ""))

    def test_uncompressed_sources_are_read_beside_the_package(self):
        # The source tree of an uncompressed package: SourceDir is the package's folder, then each folder's
        # source name (ProgramFiles64Folder adds none: '.').
        path = self.build("uncompressed", cabinet=False)
        code, out, _ = self.lint(path)
        self.assertEqual(code, 1)
        self.assertEqual(out[:-1], [
            f"DriverPackage '{id_}' InfPath: warning: the INF file {name} cannot be read from the package (an "
            f"uncompressed source file, not found at {os.path.join(os.path.dirname(path), folder, name)}); its "
            f"contents were not checked"
            for id_, folder, name in (("dev", os.path.join("DDTest", "Driver files"), "dddev.inf"),
                                      ("filt", "DDTest", "ddfilt.inf"))])
        for folder, name in ((os.path.join("DDTest", "Driver files"), "dddev.inf"), ("DDTest", "ddfilt.inf")):
            os.makedirs(os.path.join(os.path.dirname(path), folder), exist_ok=True)
            shutil.copyfile(os.path.join(FIX, name), os.path.join(os.path.dirname(path), folder, name))
        self.assertEqual(self.lint(path), (0, [], ""))

    def test_warnings_pass_only_when_allowed(self):
        _, change, _ = next(c for c in BROKEN if c[0] == "Error text without the details")
        path = self.build("warning", change)
        self.assertEqual(self.lint(path)[0], 1)
        self.assertEqual(self.lint("--allow-warnings", path)[0], 0)
        _, change, _ = next(c for c in BROKEN if c[0] == "missing Error row")
        self.assertEqual(self.lint("--allow-warnings", self.build("error", change))[0], 1)

    def test_problems_of_several_tables_come_sorted(self):
        def two(p):
            put("Error", "27302", "Message", "no details")(p)
            put("DriverPackage", "filt", "Type", "0")(p)
            put("DriverPackage", "dev", "Type", "9")(p)
        code, out, _ = self.lint(self.build("sorted", two))
        self.assertEqual(code, 1)
        self.assertEqual([line.split(":")[0] for line in out[:-1]],
                         ["DriverPackage 'dev' Type", "DriverPackage 'filt' Type", "Error '27302' Message"])

    def test_usage_and_unreadable_packages_give_2(self):
        missing = os.path.join(self.work, "missing.msi")
        self.assertEqual(self.lint()[0], 2)
        self.assertEqual(self.lint("a.msi", "b.msi")[0], 2)
        code, out, err = self.lint(missing)
        self.assertEqual((code, out), (2, []))
        self.assertIn("cannot read " + missing, err)
        self.assertEqual(self.lint(self.text_file)[0], 2)

    def test_what_add_makes_of_a_wixl_product_is_clean(self):
        # add is written apart from this test's package: both must meet the same checks.
        authoring = os.path.join(ddpkg.FIXTURES, "authoring")
        base, out = os.path.join(self.work, "wixl-base.msi"), os.path.join(self.work, "wixl-added.msi")
        subprocess.run(["wixl", "-a", "x64", "-o", base, "product.wxs"], cwd=authoring, check=True,
                       capture_output=True, timeout=120)
        subprocess.run([sys.executable, COMMAND, "add", base, "filter.toml", "-o", out, "--dll", os.path.abspath(ddpkg.DLL)],
                       cwd=authoring, check=True, capture_output=True, timeout=120)
        self.assertEqual(self.lint(out), (0, [], ""))

    def test_command_line(self):
        path = self.build("command", drop("Error", "27302"))
        result = subprocess.run([sys.executable, COMMAND, "lint", path], capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.splitlines()[0],
                         "Error '27302': missing; the library sends it from InstallDriversDeferred")


class ExportTableTest(unittest.TestCase):
    def test_the_dll_exports_the_schema_entry_points(self):
        # The names as the toolchain's own reader lists them, beside lint's reader and the schema.
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", ddpkg.DLL], capture_output=True, text=True,
                              check=True, timeout=120).stdout
        table = dump[dump.index("[Ordinal/Name Pointer] Table"):].split("\n\n")[0]
        names = {line.split("]")[1].strip() for line in table.splitlines()[1:]}
        self.assertEqual(names, set(schema.EXPORTS))
        self.assertEqual(lint.dll_exports(ddpkg.DLL), names)


class ConditionSyntaxTest(unittest.TestCase):
    """Valid installer conditions of every form pass; broken ones are named."""

    VALID = ["", "  ", "Installed", "NOT Installed", "not installed", "VersionNT64", "VersionNT >= 603",
             "VersionNT>=603", 'REMOVE~="ALL"', 'NOT REMOVE~="ALL"', "NOT UPGRADINGPRODUCTCODE",
             '(&Main = 3) OR (!Main = 3)', "$Comp > 2 AND ?Comp = 3", '%PATH >< "system32"',
             'A << "x" XOR B >> "y"', "A EQV B IMP NOT C", 'PROP ~<> "a b"', "X = -1", "((A))",
             "NOT (A AND (B OR C))", "MsiNTProductType = 1 And Privileged", 'A <> ""', "Prop.With.Dots",
             '"literal"', "1"]
    INVALID = [("(A", "expected ')' for the '(' at 1, found the end"),
               ("A)", "expected an operator or the end, found ')' at 2"),
               ("A == 1", "expected a value, found '=' at 4"),
               ("A && B", "unexpected '&' at 3"),
               ("A AND", "expected a value, found the end"),
               ("A B", "expected an operator or the end, found 'B' at 3"),
               ('A = "x', "the string opened at 5 is not closed"),
               ("()", "expected a value, found ')' at 2"),
               ("A = NOT B", "expected a value, found 'NOT' at 5")]

    def test_valid(self):
        for text in self.VALID:
            with self.subTest(text):
                self.assertIsNone(lint.condition_error(text))

    def test_invalid(self):
        for text, error in self.INVALID:
            with self.subTest(text):
                self.assertEqual(lint.condition_error(text), error)


if __name__ == "__main__":
    unittest.main(verbosity=2)
