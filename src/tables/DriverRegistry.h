#pragma once
// The DriverRegistry rows of a driver package: reading them, the rules that
// keep a row for an install or an uninstall, and the configuration that
// fixes, while the immediate action runs, what execution writes or removes.
// Configuration reads the machine's current value, so multi-strings are
// merged with what is there and rollbacks restore what was found.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tables/DriverRegistryEntry.h"

namespace setup {

// The DriverRegistry rows of every package, read in one query the first time
// a package asks for its rows.
class DriverRegistryTable {
public:
    // The package's rows in table order, their names and values formatted,
    // each logged; none when the table is missing. A row whose key holds a
    // separator of the registry list is rejected.
    std::vector<DriverRegistryEntry> RowsOf(const std::wstring& driverPackage);

private:
    // By package, as the table holds them (unformatted).
    std::optional<std::map<std::wstring, std::vector<DriverRegistryEntry>>> rows_;
};

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
