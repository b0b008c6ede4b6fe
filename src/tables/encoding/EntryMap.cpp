#include "tables/encoding/EntryMap.h"

#include "tables/encoding/Base64.h"
#include "system/DecimalText.h"

namespace setup {

void EntryMap::Set(const std::wstring& key, std::wstring value) {
    if (key.empty()) {
        return;
    }
    entries_.insert_or_assign(key, std::move(value));
}

const std::wstring& EntryMap::Get(std::wstring_view key) const {
    static const std::wstring empty;
    const auto found = entries_.find(key);
    return found == entries_.end() ? empty : found->second;
}

bool EntryMap::Contains(std::wstring_view key) const {
    return entries_.find(key) != entries_.end();
}

void EntryMap::SetInteger(const std::wstring& key, int32_t value) {
    Set(key, FormatDecimalInt32(value));
}

int32_t EntryMap::GetInteger(std::wstring_view key) const {
    return ParseDecimalInt32(Get(key));
}

void EntryMap::SetBinary(const std::wstring& key, const std::vector<uint8_t>& value) {
    Set(key, EncodeBase64(value));
}

std::vector<uint8_t> EntryMap::GetBinary(std::wstring_view key) const {
    return DecodeBase64(Get(key));
}

void EntryMap::SetTextList(const std::wstring& key, const std::vector<std::wstring>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        Set(key + std::to_wstring(i), items[i]);
    }
}

std::vector<std::wstring> EntryMap::GetTextList(const std::wstring& key) const {
    std::vector<std::wstring> items;
    for (std::size_t i = 0;; ++i) {
        const auto found = entries_.find(key + std::to_wstring(i));
        if (found == entries_.end()) {
            return items;
        }
        items.push_back(found->second);
    }
}

std::wstring EncodeEntryMap(const EntryMap& map, Separators level) {
    const std::wstring_view escapes(&level.entry, 1);
    std::wstring text;
    for (const auto& [key, value] : map.entries()) {
        if (!text.empty()) {
            text.push_back(level.entry);
        }
        text.append(key);
        if (!value.empty()) {
            text.push_back(level.key);
            AppendEscaped(text, value, escapes);
        }
    }
    return text;
}

EntryMap DecodeEntryMap(std::wstring_view text, Separators level) {
    const std::wstring_view escapes(&level.entry, 1);
    EntryMap map;
    ForEachEntry(text, level, [&](std::wstring_view key, std::wstring_view value, bool) {
        std::wstring unescaped;
        AppendUnescaped(unescaped, value, escapes);
        map.Set(std::wstring(key), std::move(unescaped));
    });
    return map;
}

}  // namespace setup
