#pragma once
// The escaping and scanning underneath the CustomActionData text. Every
// nesting level has its own entry separator E and key separator K; a value
// has each E of its own level doubled, and each enclosing level doubles its
// own E again. Because the levels' characters all differ, a level can be
// scanned in the outermost text as it stands, and a value needs unescaping
// only once, for its own level and all enclosing ones together.

#include <cstddef>
#include <string>
#include <string_view>

namespace setup {

struct Separators {
    wchar_t entry;
    wchar_t key;
};

namespace separators {
inline constexpr Separators Record{L'|', L'='};          // one package, catalog or protection record
inline constexpr Separators List{L';', L'*'};            // a list of those, keyed by id
inline constexpr Separators RegistryRecord{L')', L'('};  // one registry entry
inline constexpr Separators RegistryList{L'>', L'<'};    // a package's registry entries, keyed by id
}  // namespace separators

// Appends value with every character found in escapes doubled.
void AppendEscaped(std::wstring& out, std::wstring_view value, std::wstring_view escapes);

// Appends raw with every doubled character of escapes taken once.
void AppendUnescaped(std::wstring& out, std::wstring_view raw, std::wstring_view escapes);

// Where the entry starting at begin ends: the first entry separator that is
// not doubled, or the end of the text.
std::size_t FindEntryEnd(std::wstring_view text, std::size_t begin, wchar_t entrySeparator);

// Calls visit(key, value, hasKeySeparator) for each entry of text, in text
// order; key and value are still escaped as in text.
template <class Visit>
void ForEachEntry(std::wstring_view text, Separators level, Visit&& visit) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = FindEntryEnd(text, begin, level.entry);
        const std::wstring_view entry = text.substr(begin, end - begin);
        const std::size_t split = entry.find(level.key);
        if (split == std::wstring_view::npos) {
            visit(entry, std::wstring_view(), false);
        } else {
            visit(entry.substr(0, split), entry.substr(split + 1), true);
        }
        begin = end + 1;
    }
}

}  // namespace setup
