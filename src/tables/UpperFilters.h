#pragma once
// The DriverUpperFilter rows of a driver package, and their configuration
// into driver registry entries that rewrite the class's whole "UpperFilters"
// list as computed from the list on the machine while scheduling. No rule
// evaluates a row's condition: a row follows its package.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tables/DriverRegistryEntry.h"
#include "tables/DriverUpperFilterEntry.h"

namespace setup {

// The DriverUpperFilter rows of every package, read in one query the first
// time a package asks for its rows.
class DriverUpperFilterTable {
public:
    // The package's rows in table order, each logged; none when the table is
    // missing. A row whose derived entry id would hold a separator of the
    // registry list is rejected.
    std::vector<DriverUpperFilterEntry> RowsOf(const std::wstring& driverPackage);

private:
    std::optional<std::map<std::wstring, std::vector<DriverUpperFilterEntry>>> rows_;
};

// A missing class key or list never stops the scheduling: install and the
// rollback of an uninstall then write the filter alone; the rollback of an
// install and an uninstall then do nothing (action 0).
DriverRegistryEntry ConfigureUpperFilterInstall(const DriverUpperFilterEntry& row);
DriverRegistryEntry ConfigureUpperFilterRollbackInstall(const DriverUpperFilterEntry& row);
DriverRegistryEntry ConfigureUpperFilterUninstall(const DriverUpperFilterEntry& row);
DriverRegistryEntry ConfigureUpperFilterRollbackUninstall(const DriverUpperFilterEntry& row);

}  // namespace setup
