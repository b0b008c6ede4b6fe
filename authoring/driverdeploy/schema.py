"""What an installer package must hold for driverdeploy.dll: the five custom
tables, their attribute bits and codes, the custom actions with the names
the library schedules, their place in InstallExecuteSequence and the Error
rows the library sends.

This module is the one source of the authoring kit: the IDT files, the WiX
fragment, `driverdeploy add` and `driverdeploy lint` are generated from it or
checked against it. It holds data only."""

from dataclasses import dataclass, field

# ---------------------------------------------------------------------------
# Tables


@dataclass(frozen=True)
class Column:
    name: str
    # IDT column type: s (string), l (localizable string), i (integer), v (binary stream); upper case = nullable.
    kind: str
    size: int
    nullable: bool = False
    key: bool = False
    # (table, column) this column refers to; the referenced row must exist when the value is not empty.
    foreign: tuple = None
    # Formatted against installer properties ("[INSTALLDIR]...") when the library reads it.
    formatted: bool = False
    # The value is an installer condition.
    condition: bool = False
    description: str = ""

    @property
    def idt_type(self):
        code = self.kind.upper() if self.nullable else self.kind.lower()
        return f"{code}{self.size}"


@dataclass(frozen=True)
class Table:
    name: str
    columns: tuple
    description: str = ""
    # Characters the key column must not hold: the library writes the key unescaped as a list key of its
    # CustomActionData text, where such a character would cut the list apart.
    key_forbidden: str = ""
    # Name of the integer column holding attribute bits, and the bits the library knows.
    attributes_column: str = ""
    attribute_bits: tuple = ()

    @property
    def keys(self):
        return [c.name for c in self.columns if c.key]

    def column(self, name):
        return next(c for c in self.columns if c.name == name)


@dataclass(frozen=True)
class Bit:
    value: int
    name: str
    description: str
    # Set and cleared by the library alone; an authored bit is ignored.
    library_only: bool = False


# The separators of the CustomActionData text (record level, list level).
RECORD_SEPARATORS = "|="
LIST_SEPARATORS = ";*"
REGISTRY_RECORD_SEPARATORS = ")("
REGISTRY_LIST_SEPARATORS = "><"

DRIVER_PACKAGE_BITS = (
    Bit(0x0001, "StartService", "start the package's service after installation"),
    Bit(0x0002, "MoveToGroupFront", "after installation move the service to the front of its load-order group"),
    Bit(0x0004, "InstallEarly", "install the package early, from the package's own payload, before InstallFiles"),
    Bit(0x0008, "UninstallPreviousVersion",
        "remove the earlier versions named in GuidsOfPreviousVersions before installing"),
    Bit(0x0010, "EarlyConfigured", "set by the library on packages configured for the early installation; an "
        "authored bit is ignored", library_only=True),
    Bit(0x0020, "StartTypeOnFinalize", "set the service's start type in InstallDriversFinalize, at the end"),
    Bit(0x0040, "WinRe", "add the driver to (remove it from) the Windows Recovery Environment image"),
    Bit(0x0080, "InstallElamCertificate", "install the driver's ELAM certificate (Windows 10 and later)"),
    Bit(0x0100, "RollbackBasedOnDriverStatus", "rollback restores what was found on the machine"),
    Bit(0x0200, "IgnoreCertificationErrors", "signature errors of the file queue become warnings"),
    Bit(0x0400, "StopService", "stop the package's service before uninstallation"),
    Bit(0x0800, "DeleteFlagOnUninstall",
        "filter drivers: mark the service for deletion through its DeleteFlag value instead of the INF's "
        "services section"),
    Bit(0x1000, "RemoveOnInstall", "the package is neither installed nor uninstalled by this product"),
)

DRIVER_TYPES = {1: "filter driver", 2: "network driver", 3: "device driver"}

REGISTRY_ROOTS = {0: "HKEY_CLASSES_ROOT", 1: "HKEY_CURRENT_USER", 2: "HKEY_LOCAL_MACHINE",
                  3: "HKEY_CURRENT_USER"}

UPPER_FILTER_BITS = (Bit(0x1, "AfterLastDependency",
                         "place the filter after its last dependency instead of before the first"),)

PROTECTION_BITS = (Bit(0x1, "ConditionOnly", "decide on the condition alone, without the component test"),)

TABLES = (
    Table("DriverPackage", (
        Column("DriverPackage", "s", 72, key=True, description="package id, used in every log line"),
        Column("Component_", "s", 72, foreign=("Component", "Component"),
               description="the component that carries the package's files"),
        Column("InfPath", "S", 255, nullable=True, formatted=True,
               description="the INF file, for example [INSTALLDIR]mydrv.inf; must not be empty"),
        Column("CatPath", "S", 255, nullable=True, formatted=True, description="the package's catalog file"),
        Column("Dependencies", "S", 255, nullable=True,
               description="services after which the package's service is placed in its load-order group, "
                           "joined by [~]"),
        Column("HardwareId", "S", 255, nullable=True,
               description="device drivers: the hardware id of the root-enumerated device (at most 199 "
                           "characters); empty gives ROOT\\<service>"),
        Column("Attributes", "I", 4, nullable=True, description="attribute bits"),
        Column("Type", "I", 2, nullable=True, description="1 filter, 2 network, 3 device driver"),
        Column("Condition", "S", 255, nullable=True, condition=True, description="installer condition"),
        Column("Sequence", "I", 4, nullable=True,
               description="execution order, ascending; empty: runs in parallel after the numbered ones"),
        Column("GuidsOfPreviousVersions", "S", 255, nullable=True,
               description="component codes of earlier versions of the component, separated by ;"),
    ), description="one row per INF-based driver package", key_forbidden=LIST_SEPARATORS,
        attributes_column="Attributes", attribute_bits=DRIVER_PACKAGE_BITS),
    Table("DriverRegistry", (
        Column("DriverRegistry", "s", 72, key=True, description="row key"),
        Column("Root", "I", 2, nullable=True, description="0 HKCR, 1 HKCU, 2 HKLM, 3 HKCU"),
        Column("Key", "S", 255, nullable=True, description="subkey path under the root (not formatted)"),
        Column("Name", "S", 255, nullable=True, formatted=True,
               description="value name; +, * or - with an empty value make a key entry"),
        Column("Value", "S", 0, nullable=True, formatted=True,
               description="value text: #x hex bytes, #% expandable, #number DWORD, [~] multi-string, "
                           "otherwise a string"),
        Column("DriverPackage_", "s", 72, foreign=("DriverPackage", "DriverPackage"),
               description="the owning driver package"),
        Column("Condition", "S", 255, nullable=True, condition=True, description="installer condition"),
    ), description="registry values installed and removed with a driver package",
        key_forbidden=REGISTRY_LIST_SEPARATORS),
    Table("DriverUpperFilter", (
        Column("DriverUpperFilter", "s", 72, key=True, description="row key"),
        Column("ClassGuid", "s", 38, description="setup class GUID with braces"),
        Column("ServiceName", "s", 255, description="the filter service to insert into the class's UpperFilters"),
        Column("Dependencies", "S", 255, nullable=True,
               description="services, separated by [~], before which the filter comes"),
        Column("Attributes", "I", 4, nullable=True, description="attribute bits"),
        Column("DriverPackage_", "s", 72, foreign=("DriverPackage", "DriverPackage"),
               description="the owning driver package"),
        Column("Condition", "S", 255, nullable=True, condition=True,
               description="carried with the row; not evaluated"),
    ), description="entries of a device class's UpperFilters list that belong to a driver package",
        key_forbidden=REGISTRY_LIST_SEPARATORS, attributes_column="Attributes", attribute_bits=UPPER_FILTER_BITS),
    Table("CryptCatalog", (
        Column("CryptCatalog", "s", 72, key=True, description="row key"),
        Column("Name", "S", 255, nullable=True, formatted=True,
               description="the base name under which the catalog is registered"),
        Column("Path", "S", 255, nullable=True, formatted=True, description="the catalog file to add"),
        Column("Component_", "S", 72, nullable=True, formatted=True, foreign=("Component", "Component"),
               description="the component whose state selects the row"),
        Column("Condition", "S", 255, nullable=True, condition=True, description="installer condition"),
    ), description="catalog files added to and removed from the system catalog database",
        key_forbidden=LIST_SEPARATORS),
    Table("ServiceConfigProtection", (
        Column("ServiceConfigProtection", "s", 72, key=True, description="row key"),
        Column("Name", "S", 255, nullable=True, formatted=True, description="the service to protect"),
        Column("Binary_", "S", 72, nullable=True, foreign=("Binary", "Name"),
               description="a program of the Binary table written to a temporary file before the unprotect "
                           "command runs"),
        Column("UnprotectCommand", "S", 255, nullable=True, formatted=True,
               description="command line that lifts the protection"),
        Column("Attributes", "I", 4, nullable=True, description="attribute bits"),
        Column("Component_", "S", 72, nullable=True, formatted=True, foreign=("Component", "Component"),
               description="the component whose state selects the row"),
        Column("Condition", "S", 255, nullable=True, condition=True, description="installer condition"),
    ), description="services to run as protected anti-malware light services",
        key_forbidden=LIST_SEPARATORS, attributes_column="Attributes", attribute_bits=PROTECTION_BITS),
)


def table(name):
    return next(t for t in TABLES if t.name == name)


# ---------------------------------------------------------------------------
# Custom actions

# CustomAction.Type bits (Windows Installer).
CA_DLL_BINARY = 0x1
CA_ROLLBACK = 0x100
CA_COMMIT = 0x200
CA_IN_SCRIPT = 0x400
CA_NO_IMPERSONATE = 0x800

# A DLL action runs in a host of the DLL's own bitness: no 64-bit flag (that one is for scripts).
IMMEDIATE = CA_DLL_BINARY
DEFERRED = CA_DLL_BINARY | CA_IN_SCRIPT | CA_NO_IMPERSONATE
ROLLBACK = DEFERRED | CA_ROLLBACK
COMMIT = DEFERRED | CA_COMMIT

# The Binary row the actions' Source names.
BINARY_NAME = "DriverDeploy"
DLL_NAME = "driverdeploy.dll"


@dataclass(frozen=True)
class Action:
    name: str
    type: int
    entry: str
    # Who starts it: "sequence" (InstallExecuteSequence), or the immediate action that schedules it.
    started_by: str
    # The table whose rows it handles: the action is needed when the package has that table.
    table: str


def _scheduled(immediate, table_name, pairs, x64):
    out = []
    for name, type_, entry in pairs:
        for suffix in (("", "_x64") if x64 else ("",)):
            out.append(Action(name + suffix, type_, entry, immediate, table_name))
    return out


ACTIONS = tuple(
    [Action("InstallDriversEarly", IMMEDIATE, "InstallDriversEarly", "sequence", "DriverPackage"),
     Action("UninstallDrivers", IMMEDIATE, "UninstallDrivers", "sequence", "DriverPackage"),
     Action("InstallDrivers", IMMEDIATE, "InstallDrivers", "sequence", "DriverPackage"),
     Action("InstallDriversFinalize", DEFERRED, "InstallDriversFinalize", "sequence", "DriverPackage")]
    + _scheduled("InstallDrivers", "DriverPackage", [
        ("InstallDriversRollback", ROLLBACK, "InstallDriversRollback"),
        ("InstallDriversDeferred", DEFERRED, "InstallDriversDeferred")], x64=True)
    # The early names are not exports: they run the same bodies as the normal installation.
    + _scheduled("InstallDriversEarly", "DriverPackage", [
        ("InstallDriversEarlyRollback", ROLLBACK, "InstallDriversRollback"),
        ("InstallDriversEarlyDeferred", DEFERRED, "InstallDriversDeferred"),
        ("InstallDriversEarlyCommit", COMMIT, "InstallDriversCommit")], x64=True)
    + _scheduled("UninstallDrivers", "DriverPackage", [
        ("UninstallDriversRollback", ROLLBACK, "UninstallDriversRollback"),
        ("UninstallDriversDeferred", DEFERRED, "UninstallDriversDeferred")], x64=True)
    + [Action("UninstallCryptCatalog", IMMEDIATE, "UninstallCryptCatalog", "sequence", "CryptCatalog"),
       Action("InstallCryptCatalog", IMMEDIATE, "InstallCryptCatalog", "sequence", "CryptCatalog")]
    + _scheduled("UninstallCryptCatalog", "CryptCatalog", [
        ("UninstallCryptCatalogRollback", ROLLBACK, "UninstallCryptCatalogRollback"),
        ("UninstallCryptCatalogDeferred", DEFERRED, "UninstallCryptCatalogDeferred")], x64=False)
    + _scheduled("InstallCryptCatalog", "CryptCatalog", [
        ("InstallCryptCatalogRollback", ROLLBACK, "InstallCryptCatalogRollback"),
        ("InstallCryptCatalogDeferred", DEFERRED, "InstallCryptCatalogDeferred")], x64=False)
    + [Action("UnprotectServices", IMMEDIATE, "UnprotectServices", "sequence", "ServiceConfigProtection"),
       Action("ProtectServices", IMMEDIATE, "ProtectServices", "sequence", "ServiceConfigProtection")]
    + _scheduled("UnprotectServices", "ServiceConfigProtection", [
        ("UnprotectServicesRollback", ROLLBACK, "UnprotectServicesRollback"),
        ("UnprotectServicesDeferred", DEFERRED, "UnprotectServicesDeferred")], x64=False)
    + _scheduled("ProtectServices", "ServiceConfigProtection", [
        ("ProtectServicesRollback", ROLLBACK, "ProtectServicesRollback"),
        ("ProtectServicesDeferred", DEFERRED, "ProtectServicesDeferred")], x64=False)
)

# The 21 exports of driverdeploy.dll.
EXPORTS = tuple(sorted({a.entry for a in ACTIONS}))


def action(name):
    return next(a for a in ACTIONS if a.name == name)


# ---------------------------------------------------------------------------
# InstallExecuteSequence


@dataclass(frozen=True)
class Step:
    action: str
    sequence: int
    condition: str
    # Standard actions the step must come after and before (when the package has them).
    after: tuple = ()
    before: tuple = ()
    why: str = ""


# In the order they run. Uninstalling comes before RemoveFiles (the INFs must still be there); installing
# after InstallFiles, catalogs before the drivers they sign and protection after the services exist.
# During a major upgrade the new version removes the old drivers itself (UninstallPreviousVersion), so the
# old product's removal leaves them.
SEQUENCE = (
    Step("InstallDriversEarly", 1510, 'NOT REMOVE~="ALL"', after=("InstallInitialize",), before=("InstallFiles",),
         why="early packages install from the package's own payload, before the installer copies files"),
    Step("UnprotectServices", 3390, "", after=("InstallInitialize",), before=("RemoveFiles", "UninstallDrivers"),
         why="a protected service cannot be stopped or removed"),
    Step("UninstallDrivers", 3400, "NOT UPGRADINGPRODUCTCODE", after=("InstallInitialize",),
         before=("RemoveFiles",), why="the INF files must still be on the machine"),
    Step("UninstallCryptCatalog", 3410, "", after=("InstallInitialize", "UninstallDrivers"),
         before=("RemoveFiles",), why="catalogs go after the drivers they sign"),
    Step("InstallCryptCatalog", 4090, 'NOT REMOVE~="ALL"', after=("InstallFiles",),
         before=("InstallDrivers", "InstallFinalize"), why="catalogs come before the drivers they sign"),
    Step("InstallDrivers", 4100, 'NOT REMOVE~="ALL"', after=("InstallFiles",), before=("InstallFinalize",),
         why="the INF files must be on the machine"),
    Step("ProtectServices", 4110, 'NOT REMOVE~="ALL"', after=("InstallFiles", "InstallDrivers"),
         before=("InstallFinalize",), why="the services must exist"),
    Step("InstallDriversFinalize", 6590, 'NOT REMOVE~="ALL"', after=("InstallDrivers",),
         before=("InstallFinalize",), why="start types are set once everything else is in place"),
)

# ---------------------------------------------------------------------------
# Error rows: the numbers the library sends; [2] is the HRESULT, [3] the object of the failure.


@dataclass(frozen=True)
class ErrorRow:
    number: int
    text: str
    sent_by: tuple


ERRORS = (
    ErrorRow(27300, "Failed to install drivers. [3] Error [2].",
             ("InstallDrivers", "InstallDriversEarly", "InstallDriversDeferred")),
    ErrorRow(27301, "Failed to uninstall drivers. [3] Error [2].", ("UninstallDrivers", "UninstallDriversDeferred")),
    ErrorRow(27302, "The number of network filters reached its limit. [3] Error [2].", ("InstallDriversDeferred",)),
    ErrorRow(27310, "Failed to install catalog files. [3] Error [2].",
             ("InstallCryptCatalog", "InstallCryptCatalogDeferred")),
    ErrorRow(27311, "Failed to uninstall catalog files. [3] Error [2].",
             ("UninstallCryptCatalog", "UninstallCryptCatalogDeferred")),
    ErrorRow(27320, "Failed to protect services. [3] Error [2].", ("ProtectServices", "ProtectServicesDeferred")),
    ErrorRow(27321, "Failed to unprotect services. [3] Error [2].",
             ("UnprotectServices", "UnprotectServicesDeferred")),
)

# ---------------------------------------------------------------------------
# Properties

PROPERTIES_READ = (
    ("UPDATEDRIVERONREBOOT", "exactly 1: UninstallPreviousVersion is not acted on"),
    ("SKIPSTARTSERVICES", "exactly 1: no service is started"),
    ("DisableStartDriversList", "packages whose id occurs in the value are not started"),
    ("SKIPSTOPSERVICES", "exactly 1: no service is stopped"),
    ("SKIPCONFIGUREWINDOWSRECOVERY", "exactly 1: the recovery image is left alone"),
    ("ROLLBACKBASEDONDRIVERSTATUS", "set: every package gets RollbackBasedOnDriverStatus"),
    ("IGNORECERTIFICATIONERRORS", "set: every package gets IgnoreCertificationErrors"),
    ("DISABLEDRIVERSROLLBACK", "set: no driver rollback action is scheduled"),
    ("RESUME", "read by the selection rules"),
    ("VersionNT64", "set: the scheduled driver action names carry _x64"),
    ("MsiLogging", "the verbose log of the library's own lines"),
)

PROPERTIES_WRITTEN = (
    ("DriversToInstall", "InstallDrivers", "ids of the packages to install, each followed by ;"),
    ("DriversToReinstall", "InstallDrivers", "ids of the packages to install that are present already"),
    ("DriversToInstallEarly", "InstallDriversEarly", "ids of the packages installed early"),
    ("DriversToUninstall", "UninstallDrivers", "ids of the packages to uninstall that stay uninstalled"),
    ("InstallDriversFinalize", "InstallDrivers, InstallDriversEarly",
     "the CustomActionData of InstallDriversFinalize"),
)
