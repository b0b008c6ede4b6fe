#pragma once
// Installs a driver package as a root-enumerated device: a device node with
// the package's hardware id (or "ROOT\" + the INF's first service) is
// created and registered, and Plug and Play installs the INF's driver on it.
// Uninstalling removes the first present device carrying that id and runs
// the INF's uninstall section. The hardware steps are static: the filter
// installer's upgrade also removes a legacy root device.

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "driver/install/DriverPackageInstaller.h"

namespace setup::driver {

class DeviceDriverInstaller : public DriverPackageInstaller {
public:
    using DriverPackageInstaller::DriverPackageInstaller;

    void Install() override;
    void Uninstall() override;
    void Upgrade() override;

    static void InstallHardware(const std::wstring& infPath, const std::wstring& hardwareId);
    // Removes at most one device: the first present one whose hardware ids
    // hold the id, compared without letter case.
    static void UninstallHardware(const std::wstring& hardwareId);
    static void SetHardwareId(HDEVINFO set, SP_DEVINFO_DATA& element, const std::wstring& hardwareId);
    static std::vector<std::wstring> GetHardwareIds(HDEVINFO set, SP_DEVINFO_DATA& element);
};

}  // namespace setup::driver
