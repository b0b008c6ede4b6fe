#pragma once
// The ServiceConfigProtection table of the running installation and the
// rules that pick its rows for protecting and unprotecting.

#include <vector>

#include "tables/ServiceConfigProtectionRecord.h"

namespace setup {

// Rows in fetch order, each with its Binary program read in; an absent
// table is an empty list, a Binary_ name without a row is an error.
std::vector<ServiceConfigProtectionRecord> ReadServiceConfigProtectionTable();

// Component installed or reinstalled (or ignored by the attributes) and the
// condition holds.
bool ShouldProtectService(const ServiceConfigProtectionRecord& record);
// Component uninstalled or reinstalled (or ignored by the attributes), the
// condition holds and the row has an unprotect command.
bool ShouldUnprotectService(const ServiceConfigProtectionRecord& record);

}  // namespace setup
