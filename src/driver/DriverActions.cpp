// The immediate driver actions: they pick the packages of each phase,
// configure them, publish the package lists and schedule the script-phase
// actions with the encoded lists, the rollback always before the action it
// undoes. Each package passes many rules that ask the same of the installer;
// while an action decides, the installer's answers are kept (KeptAnswers.h).

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "driver/Configuration.h"
#include "driver/CustomActionData.h"
#include "driver/DriverPackage.h"
#include "driver/PackageTable.h"
#include "driver/PackagePayload.h"
#include "driver/Selection.h"
#include "frame/ActionBodies.h"
#include "frame/InstallerCalls.h"
#include "frame/KeptAnswers.h"

namespace setup::driver {

namespace {

// The installer adds the ticks to a 32-bit total; a list too long for it
// keeps the bar full rather than wrapping around to a small number.
uint32_t CostTicks(const DriverPackageList& packages) {
    return static_cast<uint32_t>(std::min<uint64_t>(SumCosts(packages), std::numeric_limits<uint32_t>::max()));
}

// The "_x64" names are asked for again at every scheduling step.
std::wstring ActionName(const std::wstring& name) {
    return GetProperty(L"VersionNT64").empty() ? name : name + L"_x64";
}

void Schedule(const std::wstring& name, const DriverPackageList& packages) {
    ScheduleAction(ActionName(name), EncodeDriverPackages(packages), CostTicks(packages));
}

// Any value, "0" included, turns the drivers' rollback actions off.
bool MayScheduleRollback(const DriverPackageList& rollback) {
    return !rollback.empty() && GetProperty(L"DISABLEDRIVERSROLLBACK").empty();
}

std::wstring IdList(const DriverPackageList& packages) {
    std::wstring ids;
    for (const DriverPackage& package : packages) {
        ids += package.id + L";";
    }
    return ids;
}

// Early and normal installation both add to one finalize list; whichever
// runs second keeps what the first wrote.
void AddToFinalize(const DriverPackageList& configured) {
    const wchar_t* const property = L"InstallDriversFinalize";
    DriverPackageList finalize = DecodeDriverPackages(GetProperty(property));
    for (const DriverPackage& package : FilterPackages(configured, ShouldFinalize)) {
        finalize.push_back(package);
    }
    SetProperty(property, EncodeDriverPackages(finalize));
}

}  // namespace

}  // namespace setup::driver

namespace setup::bodies {

using namespace setup::driver;

void InstallDrivers() {
    const KeptAnswers plan;
    const DriverPackageList packages = ReadDriverPackages();
    // Every install decision is asked (and logged) before any rollback decision.
    const DriverPackageList install = FilterPackages(packages, ShouldInstall);
    const DriverPackageList rollback = FilterPackages(packages, ShouldRollbackInstall);
    const DriverPackageList configured = MapPackages(install, ConfigureInstall);
    const DriverPackageList configuredRollback = MapPackages(rollback, ConfigureRollbackInstall);

    if (MayScheduleRollback(configuredRollback)) {
        Schedule(L"InstallDriversRollback", configuredRollback);
    }
    if (!configured.empty()) {
        SetProperty(L"DriversToInstall", IdList(configured));
        SetProperty(L"DriversToReinstall", IdList(FilterPackages(configured, IsDriverPresent)));
        Schedule(L"InstallDriversDeferred", configured);
        AddToFinalize(configured);
    }
}

void InstallDriversEarly() {
    const KeptAnswers plan;
    const DriverPackageList packages = ReadDriverPackages();
    const DriverPackageList early = FilterPackages(packages, ShouldInstallEarly);
    // The installer has not copied the files yet: they come from the package.
    const DriverPackageList prepared = MapPackages(early, PrepareEarlyPackageFiles);
    const DriverPackageList configured = MapPackages(prepared, ConfigureEarlyInstall);
    const DriverPackageList configuredRollback = MapPackages(prepared, ConfigureRollbackEarlyInstall);

    if (MayScheduleRollback(configuredRollback)) {
        Schedule(L"InstallDriversEarlyRollback", configuredRollback);
    }
    if (!configured.empty()) {
        SetProperty(L"DriversToInstallEarly", IdList(configured));
        Schedule(L"InstallDriversEarlyDeferred", configured);
        Schedule(L"InstallDriversEarlyCommit", configured);
        AddToFinalize(configured);
    }
}

void UninstallDrivers() {
    const KeptAnswers plan;
    const DriverPackageList packages = ReadDriverPackages();
    const DriverPackageList uninstall = FilterPackages(packages, ShouldUninstall);
    const DriverPackageList rollback = FilterPackages(packages, ShouldRollbackUninstall);
    const DriverPackageList configured = MapPackages(uninstall, ConfigureUninstall);
    const DriverPackageList configuredRollback = MapPackages(rollback, ConfigureRollbackUninstall);

    if (MayScheduleRollback(configuredRollback)) {
        Schedule(L"UninstallDriversRollback", configuredRollback);
    }
    if (!configured.empty()) {
        // A package that stays installed (it is reinstalled) is not listed as going away.
        SetProperty(L"DriversToUninstall", IdList(FilterPackages(configured, [](const DriverPackage& package) {
                        return IsDriverPresent(package) && !ShouldInstall(package);
                    })));
        Schedule(L"UninstallDriversDeferred", configured);
    }
}

}  // namespace setup::bodies
