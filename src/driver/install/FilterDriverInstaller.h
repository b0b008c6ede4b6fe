#pragma once
// Installs a driver package that is not tied to a device (a legacy or
// filter driver) through its INF's install and uninstall sections, with
// the package's catalog, its registry entries, its load-order place and,
// on request, its ELAM certificate.

#include <string>

#include "driver/install/DriverPackageInstaller.h"

namespace setup::driver {

class FilterDriverInstaller : public DriverPackageInstaller {
public:
    using DriverPackageInstaller::DriverPackageInstaller;

    void Install() override;
    void Uninstall() override;
    void Upgrade() override;

    // Empty when the system directory cannot be read.
    static std::wstring GetSystemDirectoryPath();
};

}  // namespace setup::driver
