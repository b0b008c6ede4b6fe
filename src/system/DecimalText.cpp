#include "system/DecimalText.h"

namespace setup {

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

}  // namespace

int32_t ParseDecimalInt32(std::wstring_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
        negative = text[i] == L'-';
        ++i;
    }
    constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - L'0');
        if (magnitude > kLimit) {
            magnitude = kLimit;
        }
    }
    if (negative) {
        return static_cast<int32_t>(-magnitude);
    }
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

std::wstring FormatDecimalInt32(int32_t value) {
    wchar_t buffer[12];
    std::size_t pos = sizeof(buffer) / sizeof(buffer[0]);
    int64_t magnitude = value < 0 ? -int64_t{value} : int64_t{value};
    do {
        buffer[--pos] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        buffer[--pos] = L'-';
    }
    return std::wstring(buffer + pos, sizeof(buffer) / sizeof(buffer[0]) - pos);
}

}  // namespace setup
