#pragma once
// ServiceConfigProtection records in the CustomActionData text: one record
// with the record separators, a list with the list separators, keyed by id.

#include <string>
#include <string_view>
#include <vector>

#include "tables/ServiceConfigProtectionRecord.h"

namespace setup {

// The attributes do not travel: decoded records carry 0.
std::wstring EncodeServiceConfigProtection(const ServiceConfigProtectionRecord& record);
ServiceConfigProtectionRecord DecodeServiceConfigProtection(std::wstring_view text);
std::wstring EncodeServiceConfigProtections(const std::vector<ServiceConfigProtectionRecord>& records);
std::vector<ServiceConfigProtectionRecord> DecodeServiceConfigProtections(std::wstring_view text);

}  // namespace setup
