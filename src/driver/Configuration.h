#pragma once
// Configuring a selected driver package for the phase it takes part in: the
// operation the script phase carries out, the attribute bits the phase or the
// rollback policy changes, the files of an installed version for undoing and
// removing, and the registry entries (upper filters included) with the values
// they will write, read from the machine before the script runs.

#include "driver/DriverPackage.h"

namespace setup::driver {

// True, with the reason logged, when the installation runs without rollback:
// "RollbackDisabled", "DISABLEROLLBACK" or "DISABLEDRIVERSROLLBACK" is exactly
// "1", or the installer has rollback turned off.
bool IsRollbackDisabled();

// Each returns a configured copy and logs it.
DriverPackage ConfigureInstall(const DriverPackage& package);
DriverPackage ConfigureRollbackInstall(const DriverPackage& package);
DriverPackage ConfigureEarlyInstall(const DriverPackage& package);
DriverPackage ConfigureRollbackEarlyInstall(const DriverPackage& package);
DriverPackage ConfigureUninstall(const DriverPackage& package);
DriverPackage ConfigureRollbackUninstall(const DriverPackage& package);

}  // namespace setup::driver
