#pragma once
// Installs a driver package as a network component through the system's
// network configuration object. The installer initializes COM on its
// package's thread and holds the network configuration write lock for its
// whole life; both are released on every road, constructor failures
// included.

#include "driver/install/DriverPackageInstaller.h"

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
    // The configuration object, its lock and the COM initialization are the
    // implementation's members.
};

}  // namespace setup::driver
