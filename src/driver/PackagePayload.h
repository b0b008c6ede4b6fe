#pragma once
// A driver package's files through the payload code: the folder of an
// installed earlier version, and the early-install copy.

#include "driver/DriverPackage.h"
#include "msi/Payload.h"

namespace setup::driver {

PayloadSource PayloadSourceOf(const DriverPackage& package);

// Points infPath and catPath into the installed version's folder, when there is one.
void UsePreviousPackageFiles(DriverPackage& package);

// A copy of the package whose INF and catalog lie in a new temporary folder
// filled from the package's source, marked EarlyConfigured. The folder is
// left for the caller.
DriverPackage PrepareEarlyPackageFiles(const DriverPackage& package);

}  // namespace setup::driver
