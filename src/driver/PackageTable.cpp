#include "driver/PackageTable.h"

#include <optional>
#include <string>

#include "tables/encoding/ListKeyCheck.h"
#include "frame/Exception.h"
#include "frame/InstallerCalls.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "msi/ComponentTerms.h"
#include "msi/Components.h"
#include "msi/Database.h"
#include "system/PathText.h"
#include "system/WindowsVersion.h"
#include "tables/DriverRegistry.h"
#include "tables/UpperFilters.h"

// <winsvc.h> maps StartService to StartServiceW; the package attribute of
// that name must keep it.
#ifdef StartService
#undef StartService
#endif

namespace setup::driver {

namespace {

constexpr wchar_t kTable[] = L"DriverPackage";

// The switches that override attribute bits, read once for all rows.
struct Overrides {
    bool updateDriverOnReboot = false;
    bool skipStartServices = false;
    std::wstring disableStartDriversList;
    bool skipStopServices = false;
    bool skipConfigureWindowsRecovery = false;
    bool rollbackBasedOnDriverStatus = false;
    bool ignoreCertificationErrors = false;
    // Asked only when a row wants the ELAM certificate.
    std::optional<uint32_t> windowsMajorVersion;
};

bool EqualsOne(const std::wstring& name) { return GetProperty(name) == L"1"; }
bool IsSet(const std::wstring& name) { return !GetProperty(name).empty(); }

Overrides ReadOverrides() {
    Overrides overrides;
    overrides.updateDriverOnReboot = EqualsOne(L"UPDATEDRIVERONREBOOT");
    overrides.skipStartServices = EqualsOne(L"SKIPSTARTSERVICES");
    overrides.disableStartDriversList = GetProperty(L"DisableStartDriversList");
    overrides.skipStopServices = EqualsOne(L"SKIPSTOPSERVICES");
    overrides.skipConfigureWindowsRecovery = EqualsOne(L"SKIPCONFIGUREWINDOWSRECOVERY");
    overrides.rollbackBasedOnDriverStatus = IsSet(L"ROLLBACKBASEDONDRIVERSTATUS");
    overrides.ignoreCertificationErrors = IsSet(L"IGNORECERTIFICATIONERRORS");
    return overrides;
}

bool Has(const DriverPackage& package, uint32_t bit) { return (package.attributes & bit) != 0; }

void ApplyOverrides(DriverPackage& package, Overrides& overrides) {
    if (Has(package, attribute::UninstallPreviousVersion) && overrides.updateDriverOnReboot) {
        package.attributes &= ~attribute::UninstallPreviousVersion;
        Log(L"Force removed UninstallPreviousVersion attribute from '%s' due to UPDATEDRIVERONREBOOT was specified.", package.id);
    }
    if (Has(package, attribute::StartService) && overrides.skipStartServices) {
        package.attributes &= ~attribute::StartService;
        Log(L"Force removed StartService attribute from '%s' due to SKIPSTARTSERVICES was specified.", package.id);
    }
    if (Has(package, attribute::StartService) && overrides.disableStartDriversList.find(package.id) != std::wstring::npos) {
        package.attributes &= ~attribute::StartService;
        Log(L"Force removed StartService attribute from '%s' due to DisableStartDriversList contains package id.", package.id);
    }
    if (Has(package, attribute::StopService) && overrides.skipStopServices) {
        package.attributes &= ~attribute::StopService;
        Log(L"Force removed StopService attribute from '%s' due to SKIPSTOPSERVICES was specified.", package.id);
    }
    if (Has(package, attribute::WinRe) && overrides.skipConfigureWindowsRecovery) {
        package.attributes &= ~attribute::WinRe;
        Log(L"Force removed WinRe attribute from '%s' due to SKIPCONFIGUREWINDOWSRECOVERY was specified.", package.id);
    }
    if (Has(package, attribute::InstallElamCertificate)) {
        if (!overrides.windowsMajorVersion) {
            overrides.windowsMajorVersion = GetWindowsMajorVersion();
        }
        if (*overrides.windowsMajorVersion < 10) {
            package.attributes &= ~attribute::InstallElamCertificate;
            Log(L"Force removed InstallElamCertificate attribute from '%s' on early then Windows 10.", package.id);
        }
    }
    if (overrides.rollbackBasedOnDriverStatus) {
        package.attributes |= attribute::RollbackBasedOnDriverStatus;
        Log(L"Force added RollbackBasedOnDriverStatus attribute to '%s' due to ROLLBACKBASEDONDRIVERSTATUS was specified.",
            package.id);
    }
    if (overrides.ignoreCertificationErrors) {
        package.attributes |= attribute::IgnoreCertificationErrors;
        Log(L"Force added IgnoreCertificationErrors attribute to '%s' due to IGNORECERTIFICATIONERRORS was specified.",
            package.id);
    }
}

DriverPackage ReadRow(const Record& row) {
    DriverPackage package;
    package.id = row.GetString(1);
    package.component = row.GetString(2);
    package.infPath = FormatText(GetHandle(), row.GetString(3));
    package.catPath = FormatText(GetHandle(), row.GetString(4));
    package.dependencies = row.GetString(5);
    package.hardwareId = row.GetString(6);
    package.attributes = static_cast<uint32_t>(row.GetInteger(7, 0));
    // The library sets this bit itself once it extracted the package into a
    // folder of its own; taken from the table it would make the commit
    // action delete the INF's folder (the product's, say) with system rights.
    if ((package.attributes & attribute::EarlyConfigured) != 0) {
        package.attributes &= ~attribute::EarlyConfigured;
        Log(L"The attribute EarlyConfigured (0x10) of driver package '%s' is set by the library only: the authored bit is ignored.",
            package.id);
    }
    package.type = static_cast<uint32_t>(row.GetInteger(8, 0));
    package.condition = row.GetString(9);
    package.sequence = static_cast<uint32_t>(row.GetInteger(10, static_cast<int32_t>(kNoSequence)));
    package.previousVersionGuids = SplitString(row.GetString(11), L";");
    return package;
}

[[noreturn]] void ThrowInvalid(const std::wstring& message) { throw Exception(hresult::InvalidData, message, std::wstring()); }

}  // namespace

DriverPackageList ReadDriverPackages() {
    DriverPackageList packages;
    const auto view = OpenTableQuery(kTable,
        L"SELECT `DriverPackage`, `Component_`, `InfPath`, `CatPath`, `Dependencies`, `HardwareId`, `Attributes`, `Type`, "
        L"`Condition`, `Sequence`, `GuidsOfPreviousVersions` FROM `DriverPackage`", MissingTable::Log);
    if (!view) {
        return packages;
    }
    Overrides overrides = ReadOverrides();
    // One query per table for the rows of every package.
    DriverRegistryTable registry;
    DriverUpperFilterTable upperFilters;
    while (const auto row = view->Fetch()) {
        DriverPackage package = ReadRow(*row);
        ValidateListKey(kTable, package.id, separators::List);
        Log(L"The package row '%s' was successfully read.", package.id);
        ApplyOverrides(package, overrides);
        package.registryEntries = registry.RowsOf(package.id);
        package.upperFilters = upperFilters.RowsOf(package.id);
        ValidateDriverPackage(package);
        packages.push_back(std::move(package));
    }
    return packages;
}

void ValidateDriverPackage(const DriverPackage& package) {
    if (package.id.empty() || package.component.empty()) {
        ThrowInvalid(L"Failed to validate driver package. Component is not specified.");
    }
    if (package.infPath.empty()) {
        ThrowInvalid(L"Failed to validate driver package '" + package.id + L"'.Inf file is not specified.");
    }
    if (EvaluateCondition(package.condition) == condition_result::Error) {
        ThrowInvalid(L"Failed to validate driver package '" + package.id + L"'. Condition is incorrect.");
    }
}

}  // namespace setup::driver
