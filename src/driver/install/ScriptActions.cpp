// The script-phase driver actions: each decodes the packages its immediate
// action scheduled and hands them to the dispatcher. The early phase's
// deferred, rollback and commit names are bound by the package to the same
// three exports and arrive here with the early list.

#include <windows.h>

#include <cstdint>
#include <exception>
#include <thread>

#include "driver/CustomActionData.h"
#include "driver/install/EarlyFileCopies.h"
#include "driver/install/ExecutionDispatcher.h"
#include "frame/ActionBodies.h"
#include "frame/InstallerCalls.h"

namespace setup::bodies {

using namespace setup::driver;

namespace {

// The uninstall's own Error row: a package it could not remove completely is
// sent as a warning with its text, the code as [2] and the package as [3].
constexpr uint32_t kUninstallErrorRow = 27301;

DriverPackageList ScheduledPackages() {
    return DecodeDriverPackages(GetProperty(L"CustomActionData"));
}

}  // namespace

// Early packages run from verified copies (EarlyFileCopies), never from the
// folder the installing user could change; the copies go with the action.
void InstallDriversDeferred() {
    EarlyFileCopies copies;
    ExecuteDriverPackages(copies.SecureAll(ScheduledPackages()), false);
}

void InstallDriversRollback() {
    const DriverPackageList packages = ScheduledPackages();
    {
        EarlyFileCopies copies;
        ExecuteDriverPackagesReverse(copies.SecureEach(packages));
    }
    RemoveDriverPackageDirectories(packages);
}

void InstallDriversCommit() {
    RemoveDriverPackageDirectories(ScheduledPackages());
}

void InstallDriversFinalize() {
    EarlyFileCopies copies;
    for (const DriverPackage& scheduled : ScheduledPackages()) {
        // Only a package that will read its INF needs the verified copy.
        const bool readsInf = (scheduled.attributes & attribute::StartTypeOnFinalize) != 0 && (scheduled.operation & 3) != 0;
        const DriverPackage package = readsInf ? copies.Secure(scheduled) : scheduled;
        std::exception_ptr failure;
        std::thread(FinalizeDriverPackage, std::cref(package), std::ref(failure)).join();
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
    // Start types written through the registry fallback must survive a
    // power loss right after the installation.
    RegFlushKey(HKEY_LOCAL_MACHINE);
}

void UninstallDriversDeferred() {
    ExecuteDriverPackagesReverse(ScheduledPackages(), kUninstallErrorRow);
}

void UninstallDriversRollback() {
    ExecuteDriverPackages(ScheduledPackages(), true);
}

}  // namespace setup::bodies
