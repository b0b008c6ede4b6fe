#pragma once
// Driver registry entries against the machine's registry: what a value holds
// now (in the value text syntax), and writing or removing an entry at
// execution. The registry is addressed in the view native to the process.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tables/DriverRegistryEntry.h"
#include "tables/RegistryValueText.h"

namespace setup {

// Codes 0 to 3; any other throws setup::Exception 0x80004005
// "Incorrect registry root.".
HKEY RootToRegistryKey(int32_t root);

// "+", "*" or "-" with an empty value: the entry stands for its key.
// Logs "The driver registry is registry key '%s'." when it does.
bool IsRegistryKeyEntry(const DriverRegistryEntry& entry);

// The value the machine holds now, as value text; a key entry answers its
// own (empty) value once the key opens. Throws setup::Exception when the
// key or the value is not there, or a read fails.
std::wstring ReadCurrentRegistryValue(const DriverRegistryEntry& entry);
// The same read, in the form that writes the value found back exactly as it
// was (RegistryValueToRestoringText); a key entry answers its own value.
RestoringValue ReadRestoringRegistryValue(const DriverRegistryEntry& entry);

// The value as ReadCurrentRegistryValue reads it; nullopt when the key or
// the value is not there. Other failures throw.
std::optional<std::wstring> ReadListValue(const DriverRegistryEntry& entry);

// A list value as the scheduling finds it. A failed read is logged
// ("%s Error 0x%x."): a key or value that is not there is Missing, any other
// failure Unreadable.
struct FoundList {
    enum class State { Missing, Unreadable, Value } state = State::Missing;
    std::wstring text;     // as ReadCurrentRegistryValue, for Value
    bool listed = false;   // a REG_MULTI_SZ whose items the "[~]" text describes exactly
};
FoundList ReadFoundList(const DriverRegistryEntry& entry);

// The whole contents of the file a "#v" value names.
std::vector<uint8_t> ReadRegistryValueFile(const std::wstring& path);

// Writes (action 1) or removes (action 2) the entry; actions 3 to 5 change
// its items in the list as it is now; action 0 only logs.
void ApplyRegistryEntry(const DriverRegistryEntry& entry);

// Applies the entries in order; the first failure ends the list and is
// thrown again with the entry's id as details.
void ApplyDriverRegistry(const std::vector<DriverRegistryEntry>& entries);
// The same for a removal, which finishes what it can: every entry is applied
// even after one failed, each failure logged as above, and the first is
// thrown again at the end.
void RemoveDriverRegistry(const std::vector<DriverRegistryEntry>& entries);

}  // namespace setup
