#pragma once
// The DriverRegistry rows of a driver package: reading them, the rules that
// keep a row for an install or an uninstall, and the configuration that
// fixes, while the immediate action runs, what execution writes or removes.
// Configuration reads the machine's current value, so multi-strings are
// merged with what is there and rollbacks restore what was found.

#include <string>
#include <vector>

#include "tables/DriverRegistryEntry.h"

namespace setup {

// The package's rows in table order; none when the table is missing. A row
// whose key holds a separator of the registry list is rejected.
std::vector<DriverRegistryEntry> ReadDriverRegistry(const std::wstring& driverPackage);

// The row's condition passes (true or empty). Logged either way.
bool ShouldInstallDriverRegistry(const DriverRegistryEntry& entry);
bool ShouldUninstallDriverRegistry(const DriverRegistryEntry& entry);

// Each returns a configured copy. A missing key or value is logged and never
// stops the scheduling.
DriverRegistryEntry ConfigureRegistryInstall(const DriverRegistryEntry& entry);
DriverRegistryEntry ConfigureRegistryRollbackInstall(const DriverRegistryEntry& entry);
DriverRegistryEntry ConfigureRegistryUninstall(const DriverRegistryEntry& entry);
DriverRegistryEntry ConfigureRegistryRollbackUninstall(const DriverRegistryEntry& entry);

}  // namespace setup
