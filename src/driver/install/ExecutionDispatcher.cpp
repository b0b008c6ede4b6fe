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
    try {
        step();
    } catch (const Exception& e) {
        Log(withReason, package.id, e.Message(), e.Code());
        failure = std::make_exception_ptr(Exception(e.Code(), e.Message(), package.id));
    } catch (...) {
        Log(withoutReason, package.id);
        failure = std::current_exception();
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

// One package after another, each on its own thread; with stopAtFailure the
// first failure ends the group at once.
void RunSequenced(const DriverPackageList& packages, bool stopAtFailure) {
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
    }
}

// Every unsequenced package at once: all threads are started before the
// first is joined. With stopAtFailure the first failure in list order is
// rethrown once all of them have finished.
void RunParallel(const DriverPackageList& packages, bool stopAtFailure) {
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
}

// Runs on the dispatcher's own thread after every package; its failure is
// never swallowed.
void ConfigureRecoveryImage(const DriverPackageList& packages) {
    DriverPackageList recovery;
    for (const DriverPackage& package : packages) {
        if ((package.attributes & attribute::WinRe) != 0) {
            Log(L"Need to add/remove driver package '%s' to Windows Recovery Environment.", package.id);
            recovery.push_back(package);
        }
    }
    if (!recovery.empty()) {
        ConfigureRecoveryEnvironment(recovery);
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
                   const ServiceManagerScope serviceManager;
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

void ExecuteDriverPackagesReverse(const DriverPackageList& packages) {
    RunParallel(packages, false);
    RunSequenced(packages, false);
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
