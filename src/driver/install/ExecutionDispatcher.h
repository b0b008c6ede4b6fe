#pragma once
// Carries out the driver packages a script-phase action was handed: each
// package's operation runs on a thread of its own with its own installer,
// sequenced packages one at a time, unsequenced ones all at once; progress
// is reported per package, a user cancel stops the run, and each package's
// failure is logged on its thread and kept in its own slot.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "driver/DriverPackage.h"
#include "driver/install/DriverPackageInstaller.h"

namespace setup::driver {

// Type 1 filter, 2 network, 3 device; any other type asks the INF's class.
std::shared_ptr<DriverPackageInstaller> CreateDriverPackageInstaller(const DriverPackage& package);

// The body of a package thread: failures go into the slot, never out.
void ExecuteDriverPackage(const DriverPackage& package, std::exception_ptr& failure);
// Sequenced packages, then the parallel group, then the recovery image.
// Rethrows the first package failure unless errors are ignored.
void ExecuteDriverPackages(const DriverPackageList& packages, bool ignoreErrors);
// The parallel group, then the sequenced packages, then the recovery image;
// package failures are only logged. Before the recovery image, closing lines
// name every package that failed (left behind); with a warning number (an
// Error row whose text takes the code as [2] and the package as [3]) each
// also goes to the installer as a warning message.
void ExecuteDriverPackagesReverse(const DriverPackageList& packages, uint32_t leftBehindWarning = 0);
// Removes the INF folders of packages whose files were extracted early.
void RemoveDriverPackageDirectories(const DriverPackageList& packages);
void FinalizeDriverPackage(const DriverPackage& package, std::exception_ptr& failure);

// Tests replace how installers are made (to hold package threads at a
// barrier, or to fail on purpose); an empty function restores the real
// choice by type.
using InstallerFactory = std::function<std::shared_ptr<DriverPackageInstaller>(const DriverPackage&)>;
void SetInstallerFactoryForTesting(InstallerFactory factory);

}  // namespace setup::driver
