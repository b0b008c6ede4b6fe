#include "driver/install/ExecutionDispatcher.h"

#include <windows.h>

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "driver/install/DeviceDriverInstaller.h"
#include "driver/install/FilterDriverInstaller.h"
#include "driver/install/InfFile.h"
#include "driver/install/NetworkDriverInstaller.h"
#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "system/FileSystem.h"
#include "system/PathText.h"
#include "system/RecoveryEnvironment.h"
#include "system/Services.h"

namespace setup::driver {

namespace {

std::mutex g_factoryLock;
InstallerFactory g_factory;

InstallerFactory CurrentFactory() {
    std::lock_guard<std::mutex> hold(g_factoryLock);
    return g_factory;
}

bool HasSequence(const DriverPackage& package) {
    return package.sequence != kNoSequence;
}

// Runs one package step in the handler every package thread shares: the
// failure is logged here, on the package's thread, and kept in the slot with
// the package id as details so that the action names the package.
template <class Step>
void RunGuarded(const DriverPackage& package, std::exception_ptr& failure, const wchar_t* withReason,
                const wchar_t* withoutReason, Step step) {
    // Nothing leaves this handler: an exception out of a package thread
    // would end the host process. When reporting fails too (out of memory),
    // the failure is kept as it came.
    try {
        step();
    } catch (const Exception& e) {
        failure = std::current_exception();
        try {
            LogNoThrow(withReason, package.id, e.Message(), e.Code());
            failure = std::make_exception_ptr(Exception(e.Code(), e.Message(), package.id));
        } catch (...) {
        }
    } catch (...) {
        failure = std::current_exception();
        LogNoThrow(withoutReason, package.id);
    }
}

// Every thread started here is joined before anyone looks at a slot, also
// when starting a later thread fails.
class PackageThreads {
public:
    PackageThreads() = default;
    PackageThreads(const PackageThreads&) = delete;
    PackageThreads& operator=(const PackageThreads&) = delete;
    ~PackageThreads() { JoinAll(); }

    template <class Body>
    void Start(const DriverPackage& package, std::exception_ptr& failure, Body body) {
        threads_.emplace_back(body, std::cref(package), std::ref(failure));
    }
    void JoinAll() noexcept {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

private:
    std::vector<std::thread> threads_;
};

// A package whose run failed: its id, operation and the failure's code.
struct PackageFailure {
    std::wstring id;
    uint32_t operation = 0;
    int32_t code = 0;
};
using PackageFailures = std::vector<PackageFailure>;

void Collect(const DriverPackage& package, const std::exception_ptr& failure, PackageFailures& failed) {
    if (!failure) {
        return;
    }
    int32_t code = hresult::Fail;
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& e) {
        code = e.Code();
    } catch (...) {
    }
    failed.push_back({package.id, package.operation, code});
}

// One package after another, each on its own thread; with stopAtFailure the
// first failure ends the group at once. Answers the packages that failed.
PackageFailures RunSequenced(const DriverPackageList& packages, bool stopAtFailure) {
    PackageFailures failed;
    for (const DriverPackage& package : packages) {
        if (!HasSequence(package)) {
            continue;
        }
        std::exception_ptr failure;
        {
            PackageThreads thread;
            thread.Start(package, failure, ExecuteDriverPackage);
        }
        if (stopAtFailure && failure) {
            std::rethrow_exception(failure);
        }
        Collect(package, failure, failed);
    }
    return failed;
}

// Every unsequenced package at once: all threads are started before the
// first is joined. With stopAtFailure the first failure in list order is
// rethrown once all of them have finished. Answers the packages that failed.
PackageFailures RunParallel(const DriverPackageList& packages, bool stopAtFailure) {
    DriverPackageList group = FilterPackages(packages, [](const DriverPackage& p) { return !HasSequence(p); });
    std::vector<std::exception_ptr> failures(group.size());
    {
        PackageThreads threads;
        for (size_t i = 0; i < group.size(); ++i) {
            threads.Start(group[i], failures[i], ExecuteDriverPackage);
        }
    }
    if (stopAtFailure) {
        for (const std::exception_ptr& failure : failures) {
            if (failure) {
                std::rethrow_exception(failure);
            }
        }
    }
    PackageFailures failed;
    for (size_t i = 0; i < group.size(); ++i) {
        Collect(group[i], failures[i], failed);
    }
    return failed;
}

// A reverse run stays best effort, so that a product can always be removed;
// what it could not finish is said in its closing lines and, with a warning
// number, to the installer as well, where a full user interface shows it.
// A cancel seen after a package's work counts as its frame's business.
void ReportPackagesLeftBehind(const PackageFailures& failed, uint32_t warningNumber) {
    std::wstring names;
    for (const PackageFailure& f : failed) {
        if (f.code == hresult::Canceled) {
            continue;
        }
        if (f.operation == operation::Uninstall) {
            Log(L"The driver package '%s' was not removed completely. Error 0x%x.", f.id, f.code);
        } else {
            Log(L"The driver package '%s' was not restored completely. Error 0x%x.", f.id, f.code);
        }
        if (warningNumber != 0) {
            SendWarningMessage(warningNumber, f.code, {f.id});
        }
        names += (names.empty() ? L"'" : L", '") + f.id + L"'";
    }
    if (!names.empty()) {
        Log(L"Driver packages left behind: %s.", names);
    }
}

// Runs on the dispatcher's own thread after every package; its failure is
// never swallowed.
static_assert(recovery_operation::Install == operation::Install);
static_assert(recovery_operation::Uninstall == operation::Uninstall);
static_assert(recovery_operation::Reinstall == operation::Reinstall);

void ConfigureRecoveryImage(const DriverPackageList& packages) {
    RecoveryDriverList recovery;
    for (const DriverPackage& package : packages) {
        if ((package.attributes & attribute::WinRe) != 0) {
            Log(L"Need to add/remove driver package '%s' to Windows Recovery Environment.", package.id);
            recovery.push_back(RecoveryDriver{package.id, package.infPath, package.operation});
        }
    }
    if (!recovery.empty()) {
        // The image's copies are found by the rule that finds them in the system's INF store.
        ConfigureRecoveryEnvironment(recovery, IsPublishedCopyOfInf);
    }
}

}  // namespace

std::shared_ptr<DriverPackageInstaller> CreateDriverPackageInstaller(const DriverPackage& package) {
    if (InstallerFactory factory = CurrentFactory()) {
        return factory(package);
    }
    switch (package.type) {
    case package_type::Filter:
        return std::make_shared<FilterDriverInstaller>(package);
    case package_type::Network:
        return std::make_shared<NetworkDriverInstaller>(package);
    case package_type::Device:
        return std::make_shared<DeviceDriverInstaller>(package);
    default:
        Log(L"The type was not specified for driver '%s'.", package.id);
        if (IsNetworkClassInf(package.infPath)) {
            return std::make_shared<NetworkDriverInstaller>(package);
        }
        return std::make_shared<FilterDriverInstaller>(package);
    }
}

void ExecuteDriverPackage(const DriverPackage& package, std::exception_ptr& failure) {
    RunGuarded(package, failure, L"Failed to execute driver package '%s'. %s Error 0x%x.",
               L"Failed to execute driver package '%s'.", [&package] {
                   std::shared_ptr<DriverPackageInstaller> installer = CreateDriverPackageInstaller(package);
                   switch (package.operation) {
                   case operation::Install:
                       installer->Install();
                       break;
                   case operation::Uninstall:
                       installer->Uninstall();
                       break;
                   case operation::Reinstall:
                       installer->Upgrade();
                       break;
                   default:
                       Log(L"The operation of driver was not specified. Do nothing.");
                       break;
                   }
                   const int32_t sent = SendProgress(package.cost, false);
                   if (sent < 0) {
                       Log(L"Failed to sends a progress update. Error 0x%x.", sent);
                   }
                   if (IsCancelled()) {
                       throw InstallCanceledException(L"User canceled installation.");
                   }
                   // The installer goes here, inside the handler: a network
                   // installer releases its lock and COM on this thread.
                   installer.reset();
               });
}

void ExecuteDriverPackages(const DriverPackageList& packages, bool ignoreErrors) {
    RunSequenced(packages, !ignoreErrors);
    RunParallel(packages, !ignoreErrors);
    ConfigureRecoveryImage(packages);
}

void ExecuteDriverPackagesReverse(const DriverPackageList& packages, uint32_t leftBehindWarning) {
    PackageFailures failed = RunParallel(packages, false);
    const PackageFailures sequenced = RunSequenced(packages, false);
    failed.insert(failed.end(), sequenced.begin(), sequenced.end());
    ReportPackagesLeftBehind(failed, leftBehindWarning);
    ConfigureRecoveryImage(packages);
}

void RemoveDriverPackageDirectories(const DriverPackageList& packages) {
    for (const DriverPackage& package : packages) {
        if ((package.attributes & attribute::EarlyConfigured) == 0) {
            continue;
        }
        const std::wstring directory = GetParentPath(package.infPath);
        RemoveFiles(directory, L"*", true);
        Log(L"The directory '%s' was removed.", directory);
    }
}

void FinalizeDriverPackage(const DriverPackage& package, std::exception_ptr& failure) {
    if ((package.attributes & attribute::StartTypeOnFinalize) == 0 || (package.operation & 3) == 0) {
        return;
    }
    RunGuarded(package, failure, L"Failed to finalize driver package '%s'. %s Error 0x%x.",
               L"Failed to finalize driver package '%s'.", [&package] {
                   const std::wstring service = GetFirstServiceToAdd(OpenInfFile(package.infPath));
                   SetServiceStartType(OpenServiceHandle(service), SERVICE_SYSTEM_START);
               });
}

void SetInstallerFactoryForTesting(InstallerFactory factory) {
    std::lock_guard<std::mutex> hold(g_factoryLock);
    g_factory = std::move(factory);
}

}  // namespace setup::driver
