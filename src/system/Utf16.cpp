#include "system/Utf16.h"

namespace setup {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

void PushUnit(std::vector<uint8_t>& bytes, uint32_t unit) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>((unit >> 8) & 0xFF));
}

// The UTF-16 units of one wchar_t: one unit, or a surrogate pair for a code
// point above U+FFFF (only possible where wchar_t is wider than 16 bits).
int UnitsOf(wchar_t c, uint32_t units[2]) {
    const uint32_t value = static_cast<uint32_t>(c);
    if (value <= 0xFFFF) {
        units[0] = value;
        return 1;
    }
    if (value > 0x10FFFF) {
        units[0] = kReplacement;
        return 1;
    }
    const uint32_t offset = value - 0x10000;
    units[0] = 0xD800 + (offset >> 10);
    units[1] = 0xDC00 + (offset & 0x3FF);
    return 2;
}

}  // namespace

void AppendUtf16Le(std::vector<uint8_t>& bytes, std::wstring_view text) {
    bytes.reserve(bytes.size() + text.size() * 2);
    for (wchar_t c : text) {
        uint32_t units[2];
        const int count = UnitsOf(c, units);
        for (int i = 0; i < count; ++i) {
            PushUnit(bytes, units[i]);
        }
    }
}

std::wstring WideFromUtf16Le(const uint8_t* data, std::size_t unitCount) {
    std::wstring text;
    text.reserve(unitCount);
    for (std::size_t i = 0; i < unitCount; ++i) {
        const uint32_t unit = data[2 * i] | (static_cast<uint32_t>(data[2 * i + 1]) << 8);
        if constexpr (sizeof(wchar_t) > 2) {
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < unitCount) {
                const uint32_t next = data[2 * i + 2] | (static_cast<uint32_t>(data[2 * i + 3]) << 8);
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    text.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00)));
                    ++i;
                    continue;
                }
            }
        }
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
}

int CompareUtf16(std::wstring_view left, std::wstring_view right) {
    const std::size_t common = left.size() < right.size() ? left.size() : right.size();
    for (std::size_t i = 0; i < common; ++i) {
        if (left[i] == right[i]) {
            continue;
        }
        if constexpr (sizeof(wchar_t) == 2) {
            return static_cast<uint32_t>(left[i]) < static_cast<uint32_t>(right[i]) ? -1 : 1;
        } else {
            // Two different characters: compare their unit sequences; the raw
            // values only break a tie between characters that have no UTF-16
            // form of their own, which keeps the order strict.
            uint32_t a[2] = {0, 0};
            uint32_t b[2] = {0, 0};
            const int na = UnitsOf(left[i], a);
            const int nb = UnitsOf(right[i], b);
            if (a[0] != b[0]) {
                return a[0] < b[0] ? -1 : 1;
            }
            if (na != nb) {
                return na < nb ? -1 : 1;
            }
            if (na == 2 && a[1] != b[1]) {
                return a[1] < b[1] ? -1 : 1;
            }
            return static_cast<uint32_t>(left[i]) < static_cast<uint32_t>(right[i]) ? -1 : 1;
        }
    }
    if (left.size() == right.size()) {
        return 0;
    }
    return left.size() < right.size() ? -1 : 1;
}

}  // namespace setup
