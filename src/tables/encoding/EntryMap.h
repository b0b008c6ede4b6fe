#pragma once
// A set of key/value entries as one text, the building block of the
// CustomActionData format: keys in ordinal UTF-16 order, "E" between entries,
// "K" between key and value, every E inside a value doubled.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tables/encoding/EntryText.h"
#include "system/Utf16.h"

namespace setup {

class EntryMap {
public:
    using Entries = std::map<std::wstring, std::wstring, Utf16Less>;

    // Replaces an earlier value; an empty key is ignored.
    void Set(const std::wstring& key, std::wstring value);
    // Empty when the key is missing.
    const std::wstring& Get(std::wstring_view key) const;
    bool Contains(std::wstring_view key) const;

    void SetInteger(const std::wstring& key, int32_t value);
    // Missing, empty or malformed numbers read as 0.
    int32_t GetInteger(std::wstring_view key) const;
    void SetBinary(const std::wstring& key, const std::vector<uint8_t>& value);
    std::vector<uint8_t> GetBinary(std::wstring_view key) const;
    // One entry per item under key + index (0, 1, ...); an empty list writes none.
    void SetTextList(const std::wstring& key, const std::vector<std::wstring>& items);
    // Reads key0, key1, ... up to the first missing index.
    std::vector<std::wstring> GetTextList(const std::wstring& key) const;

    const Entries& entries() const { return entries_; }
    bool operator==(const EntryMap&) const = default;

private:
    Entries entries_;
};

// Keys are written as they are: they must contain neither separator.
std::wstring EncodeEntryMap(const EntryMap& map, Separators level);
// Never fails; a later entry with the same key wins.
EntryMap DecodeEntryMap(std::wstring_view text, Separators level);

}  // namespace setup
