#pragma once
// UTF-16 as the registry and the installer see it, independent of the width
// of wchar_t: on Windows a wchar_t is one UTF-16 unit, elsewhere it is a code
// point and is written as a surrogate pair when it lies above U+FFFF.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace setup {

// Appends the text as UTF-16LE bytes (no terminator).
void AppendUtf16Le(std::vector<uint8_t>& bytes, std::wstring_view text);

// Reads unitCount UTF-16LE units from data. Surrogate pairs become one
// character where wchar_t is 32 bits wide; unpaired surrogates stay as they are.
std::wstring WideFromUtf16Le(const uint8_t* data, std::size_t unitCount);

// Ordinal comparison of the UTF-16 code units of two texts: negative, 0 or
// positive. A shorter text that is a prefix of the longer one comes first.
int CompareUtf16(std::wstring_view left, std::wstring_view right);

struct Utf16Less {
    using is_transparent = void;
    bool operator()(std::wstring_view left, std::wstring_view right) const {
        return CompareUtf16(left, right) < 0;
    }
};

}  // namespace setup
