#pragma once
// The DriverUpperFilter rows of a driver package, and their configuration
// into driver registry entries that change the class's "UpperFilters" list
// by the row's own item. No rule evaluates a row's condition: a row follows
// its package.

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

// Each entry carries the row's service and placement; execution puts the
// filter in, takes it out, or undoes its own step in the class list as it is
// when the step runs, so other filters that came meanwhile stay. A missing
// class key or list never stops the scheduling.
DriverRegistryEntry ConfigureUpperFilterInstall(const DriverUpperFilterEntry& row);
DriverRegistryEntry ConfigureUpperFilterRollbackInstall(const DriverUpperFilterEntry& row);
DriverRegistryEntry ConfigureUpperFilterUninstall(const DriverUpperFilterEntry& row);
DriverRegistryEntry ConfigureUpperFilterRollbackUninstall(const DriverUpperFilterEntry& row);

}  // namespace setup
