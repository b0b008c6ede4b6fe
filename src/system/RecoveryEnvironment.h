#pragma once
// Adds driver packages to, or removes them from, the offline image of the
// Windows Recovery Environment with reagentc.exe (to find the image) and
// dism.exe (to mount, change, list and unmount it). Any failure after the
// mount directory exists discards the mounted image and leaves as a
// setup::Exception with code 27303.

#include "driver/DriverPackage.h"

namespace setup {

// An empty list runs nothing and logs nothing.
void ConfigureRecoveryEnvironment(const driver::DriverPackageList& packages);

}  // namespace setup
