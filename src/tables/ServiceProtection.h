#pragma once
// Protected (anti-malware light) services: marking a service protected
// through the control manager, and lifting the protection with the row's
// own command, optionally a program from the Binary table run from a
// temporary file.

#include <vector>

#include "tables/ServiceConfigProtectionRecord.h"

namespace setup {

void ProtectService(const ServiceConfigProtectionRecord& record);
// A record without a command is skipped with a log line. The temporary
// program is only run once written whole, and is removed on every path.
void UnprotectService(const ServiceConfigProtectionRecord& record);

// In list order. With ignoreErrors false the first failure is logged with
// the record's id and ends the list; with ignoreErrors true failures are
// passed over silently.
void ProtectServiceList(const std::vector<ServiceConfigProtectionRecord>& records, bool ignoreErrors);
void UnprotectServiceList(const std::vector<ServiceConfigProtectionRecord>& records, bool ignoreErrors);

}  // namespace setup
