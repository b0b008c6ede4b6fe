#pragma once
// DriverRegistry entries in the CustomActionData text: one entry with the
// registry record separators, a package's entries with the registry list
// separators, keyed by id.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tables/DriverRegistryEntry.h"

namespace setup {

std::wstring EncodeRegistryEntry(const DriverRegistryEntry& entry);
DriverRegistryEntry DecodeRegistryEntry(std::wstring_view text);
// Keyed by id: entries with the same id collapse into the last one, and the
// text lists them in id order, as decoding returns them.
std::wstring EncodeRegistryEntries(const std::vector<DriverRegistryEntry>& entries);
std::vector<DriverRegistryEntry> DecodeRegistryEntries(std::wstring_view text);

namespace record_text {

class Escapes;

// A package's registry entries nested inside its record: written and read
// with the escapes of the levels around them.
void WriteRegistryList(std::wstring& out, const std::vector<DriverRegistryEntry>& entries, Escapes outer);
std::vector<DriverRegistryEntry> ReadRegistryList(std::wstring_view text, Escapes outer);
// An upper bound of the written length, for reserving the text.
std::size_t BoundOfRegistryEntries(const std::vector<DriverRegistryEntry>& entries);

}  // namespace record_text

}  // namespace setup
