#pragma once
// Installs a driver package as a network component through the system's
// network configuration object. The installer initializes COM on its
// package's thread and holds the network configuration write lock for its
// whole life; both are released on every road, constructor failures
// included.

#include <windows.h>
#include <netcfgx.h>

#include <cstdint>
#include <mutex>
#include <optional>

#include "driver/install/DriverPackageInstaller.h"
#include "frame/Handles.h"

namespace setup::driver {

class NetworkDriverInstaller : public DriverPackageInstaller {
public:
    explicit NetworkDriverInstaller(const DriverPackage& package);
    ~NetworkDriverInstaller() override;

    void Install() override;
    void Uninstall() override;
    void Upgrade() override;

    void InstallNetworkComponent();
    void UninstallNetworkComponent();
    void DeleteNetworkService();
    static void RepairInfCache();

private:
    // Destroyed in reverse order: the lock interface, then the configuration
    // object, then the thread's COM initialization, and last the turn of
    // this installer among the network packages of the process.
    std::unique_lock<std::mutex> turn_;
    UniqueComInitialization com_;
    UniqueComPtr<INetCfg> netCfg_;
    UniqueComPtr<INetCfgLock> lock_;
};

// Network packages of one process take turns: an installer waits, without a
// time limit, until the one before it in the process is gone, and only then
// asks for the system's write lock. How long AcquireWriteLock waits for
// another process's lock: 15000 ms unless
// a test shortens it; std::nullopt restores the product's wait.
void SetNetworkLockTimeoutForTesting(std::optional<uint32_t> milliseconds);

}  // namespace setup::driver
