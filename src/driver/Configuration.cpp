#include "driver/Configuration.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <utility>

#include "driver/PackagePayload.h"
#include "driver/Selection.h"
#include "frame/InstallerCalls.h"
#include "frame/KeptAnswers.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "msi/Components.h"
#include "tables/DriverRegistry.h"
#include "tables/UpperFilters.h"

namespace setup::driver {

namespace {

// Which registry rule keeps an entry and which configuration rewrites it.
enum class Phase { Install, RollbackInstall, Uninstall, RollbackUninstall };

bool IsOne(const wchar_t* property) { return GetProperty(property) == L"1"; }

// This version's component or one of its previous versions is on the machine.
bool IsInstalled(const DriverPackage& package) {
    return IsInstalledByProduct(GetComponentGuid(package.component)) ||
           IsAnyComponentInstalled(package.previousVersionGuids);
}

// With UninstallPreviousVersion the version found on the machine is removed
// first, so it never counts as the one being installed over.
bool IsPreviouslyInstalled(const DriverPackage& package) {
    return (package.attributes & attribute::UninstallPreviousVersion) == 0 && IsInstalled(package);
}

// Undoing an install over a present version reinstalls it, unless the
// package asks to look at the driver and it is not really there.
uint32_t RestoreOperation(const DriverPackage& package) {
    if ((package.attributes & attribute::RollbackBasedOnDriverStatus) != 0 && !IsDriverPresent(package)) {
        return operation::Uninstall;
    }
    return operation::Reinstall;
}

DriverRegistryEntry ConfigureRegistryEntry(const DriverRegistryEntry& entry, Phase phase) {
    switch (phase) {
    case Phase::Install:
        return ConfigureRegistryInstall(entry);
    case Phase::RollbackInstall:
        return ConfigureRegistryRollbackInstall(entry);
    case Phase::Uninstall:
        return ConfigureRegistryUninstall(entry);
    case Phase::RollbackUninstall:
        break;
    }
    return ConfigureRegistryRollbackUninstall(entry);
}

DriverRegistryEntry ConfigureUpperFilter(const DriverUpperFilterEntry& row, Phase phase) {
    switch (phase) {
    case Phase::Install:
        return ConfigureUpperFilterInstall(row);
    case Phase::RollbackInstall:
        return ConfigureUpperFilterRollbackInstall(row);
    case Phase::Uninstall:
        return ConfigureUpperFilterUninstall(row);
    case Phase::RollbackUninstall:
        break;
    }
    return ConfigureUpperFilterRollbackUninstall(row);
}

bool KeepsRegistryEntry(const DriverRegistryEntry& entry, Phase phase) {
    if (phase == Phase::Install || phase == Phase::RollbackInstall) {
        return ShouldInstallDriverRegistry(entry);
    }
    return ShouldUninstallDriverRegistry(entry);
}

// The registry entries are rebuilt from the source package, so configuring
// the same package for two phases never mixes their values. Every entry is
// selected before any is configured, so the log shows the decisions together.
void ConfigureRegistryEntries(DriverPackage& configured, const DriverPackage& source, Phase phase) {
    configured.registryEntries.clear();
    for (const DriverRegistryEntry& entry : source.registryEntries) {
        if (KeepsRegistryEntry(entry, phase)) {
            configured.registryEntries.push_back(entry);
        }
    }
    for (DriverRegistryEntry& entry : configured.registryEntries) {
        entry = ConfigureRegistryEntry(entry, phase);
    }
    for (const DriverUpperFilterEntry& row : source.upperFilters) {
        configured.registryEntries.push_back(ConfigureUpperFilter(row, phase));
    }
}

DriverPackage Finish(DriverPackage configured, const DriverPackage& source, Phase phase, const wchar_t* logFormat) {
    ConfigureRegistryEntries(configured, source, phase);
    Log(logFormat, configured.id, configured.infPath, configured.catPath, configured.dependencies,
        configured.attributes, configured.type, configured.operation);
    return configured;
}

}  // namespace

bool IsRollbackDisabled() {
    if (IsOne(L"RollbackDisabled")) {
        Log(L"RollbackDisabled specified.");
        return true;
    }
    if (IsOne(L"DISABLEROLLBACK")) {
        Log(L"DISABLEROLLBACK specified.");
        return true;
    }
    if (IsOne(L"DISABLEDRIVERSROLLBACK")) {
        Log(L"DISABLEDRIVERSROLLBACK specified.");
        return true;
    }
    if (!KeptRunMode(MSIRUNMODE_ROLLBACKENABLED, [] { return MsiGetMode(GetHandle(), MSIRUNMODE_ROLLBACKENABLED) != FALSE; })) {
        Log(L"MSIRUNMODE_ROLLBACKENABLED is false.");
        return true;
    }
    return false;
}

DriverPackage ConfigureInstall(const DriverPackage& package) {
    DriverPackage configured = package;
    configured.operation = IsPreviouslyInstalled(package) ? operation::Reinstall : operation::Install;
    if (IsRollbackDisabled()) {
        configured.attributes &= ~attribute::StartTypeOnFinalize;
        Log(L"Force removed StartTypeOnFinalize attribute from '%s' due to rollback disabled.", configured.id);
    }
    return Finish(std::move(configured), package, Phase::Install,
                  L"Configured installation of driver package %s, %s, %s, %s, %d, %d. Action: %d.");
}

DriverPackage ConfigureEarlyInstall(const DriverPackage& package) {
    DriverPackage configured = package;
    configured.operation = operation::Install;
    configured.attributes |= attribute::EarlyConfigured;
    if (IsRollbackDisabled()) {
        configured.attributes &= ~attribute::StartTypeOnFinalize;
        Log(L"Force removed StartTypeOnFinalize attribute  from '%s' due to rollback disabled.", configured.id);
    }
    return Finish(std::move(configured), package, Phase::Install,
                  L"Configured early installation of driver package %s, %s, %s, %s, %d, %d. Action: %d.");
}

DriverPackage ConfigureRollbackEarlyInstall(const DriverPackage& package) {
    DriverPackage configured = package;
    configured.operation = operation::Uninstall;
    configured.attributes &= ~attribute::StartTypeOnFinalize;
    return Finish(std::move(configured), package, Phase::RollbackInstall,
                  L"Configured rollback early installation of driver package %s, %s, %s, %s, %d, %d. Action: %d.");
}

DriverPackage ConfigureRollbackInstall(const DriverPackage& package) {
    DriverPackage configured = package;
    if (IsPreviouslyInstalled(package)) {
        UsePreviousPackageFiles(configured);
        configured.operation = RestoreOperation(package);
    } else {
        configured.operation = operation::Uninstall;
    }
    configured.attributes &= ~attribute::StartTypeOnFinalize;
    return Finish(std::move(configured), package, Phase::RollbackInstall,
                  L"Configured rollback of driver package %s, %s, %s, %s, %d, %d. Action: %d.");
}

DriverPackage ConfigureUninstall(const DriverPackage& package) {
    DriverPackage configured = package;
    configured.operation = operation::Uninstall;
    UsePreviousPackageFiles(configured);
    return Finish(std::move(configured), package, Phase::Uninstall,
                  L"Configured uninstallation of driver package %s, %s, %s, %s, %d, %d. Action: %d.");
}

DriverPackage ConfigureRollbackUninstall(const DriverPackage& package) {
    DriverPackage configured = package;
    configured.operation = IsPreviouslyInstalled(package) ? RestoreOperation(package) : operation::Install;
    UsePreviousPackageFiles(configured);
    configured.attributes &= ~attribute::StartTypeOnFinalize;
    return Finish(std::move(configured), package, Phase::RollbackUninstall,
                  L"Configured rollback of driver package %s, %s, %s, %s, %d, %d. Action: %d.");
}

}  // namespace setup::driver
