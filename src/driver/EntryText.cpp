#include "driver/EntryText.h"

namespace setup {

void AppendEscaped(std::wstring& out, std::wstring_view value, std::wstring_view escapes) {
    std::size_t begin = 0;
    for (std::size_t found = value.find_first_of(escapes); found != std::wstring_view::npos;
         found = value.find_first_of(escapes, begin)) {
        out.append(value.substr(begin, found + 1 - begin));
        out.push_back(value[found]);
        begin = found + 1;
    }
    out.append(value.substr(begin));
}

void AppendUnescaped(std::wstring& out, std::wstring_view raw, std::wstring_view escapes) {
    std::size_t begin = 0;
    for (std::size_t found = raw.find_first_of(escapes); found != std::wstring_view::npos;
         found = raw.find_first_of(escapes, begin)) {
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
