#pragma once
// Which registry key a removed DriverRegistry value may take with it when
// nothing else is left in it. Never the root itself, never a device class
// key (or the folder of all classes), whose "UpperFilters" lists other
// drivers share, and never a key that a key entry of the same package names:
// that entry removes its key itself, and fails when it is gone already.

#include <cstdint>
#include <string>
#include <vector>

namespace setup {

struct RegistryKeyName {
    int32_t root = 0;  // table root code; 1 and 3 are the same key
    std::wstring key;
};

bool MayRemoveEmptyKey(const RegistryKeyName& key, const std::vector<RegistryKeyName>& keyEntries);

}  // namespace setup
