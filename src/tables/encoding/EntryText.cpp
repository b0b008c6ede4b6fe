#include "tables/encoding/EntryText.h"

namespace setup {

namespace {

// The escape sets hold at most four characters; an inline test per character
// is several times faster than a library search per character.
std::size_t FindAnyOf(std::wstring_view text, std::size_t from, std::wstring_view set) {
    for (std::size_t i = from; i < text.size(); ++i) {
        const wchar_t c = text[i];
        for (wchar_t s : set) {
            if (c == s) {
                return i;
            }
        }
    }
    return std::wstring_view::npos;
}

}  // namespace

void AppendEscaped(std::wstring& out, std::wstring_view value, std::wstring_view escapes) {
    std::size_t begin = 0;
    for (std::size_t found = FindAnyOf(value, 0, escapes); found != std::wstring_view::npos;
         found = FindAnyOf(value, begin, escapes)) {
        out.append(value.substr(begin, found + 1 - begin));
        out.push_back(value[found]);
        begin = found + 1;
    }
    out.append(value.substr(begin));
}

void AppendUnescaped(std::wstring& out, std::wstring_view raw, std::wstring_view escapes) {
    std::size_t begin = 0;
    for (std::size_t found = FindAnyOf(raw, 0, escapes); found != std::wstring_view::npos;
         found = FindAnyOf(raw, begin, escapes)) {
        out.append(raw.substr(begin, found + 1 - begin));
        // A lone escaped character only occurs in text no encoder wrote; it
        // is kept as it is.
        begin = found + 1 < raw.size() && raw[found + 1] == raw[found] ? found + 2 : found + 1;
    }
    out.append(raw.substr(begin));
}

std::size_t FindEntryEnd(std::wstring_view text, std::size_t begin, wchar_t entrySeparator) {
    std::size_t from = begin;
    for (;;) {
        const std::size_t found = text.find(entrySeparator, from);
        if (found == std::wstring_view::npos) {
            return text.size();
        }
        if (found + 1 < text.size() && text[found + 1] == entrySeparator) {
            from = found + 2;
            continue;
        }
        return found;
    }
}

}  // namespace setup
