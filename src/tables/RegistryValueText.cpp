#include "tables/RegistryValueText.h"

#include "frame/Exception.h"
#include "frame/Format.h"
#include "system/DecimalText.h"
#include "system/PathText.h"
#include "system/Utf16.h"
#include "tables/MultiString.h"

namespace setup {

namespace {

bool StartsWith(const std::wstring& text, std::wstring_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ContainsSeparator(const std::wstring& text) {
    return text.find(kMultiStringSeparator) != std::wstring::npos;
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Each pair of characters is one byte; a character that is not a hexadecimal
// digit ends the number of its pair, and an odd last character is a byte alone.
std::vector<uint8_t> HexPairsToBytes(std::wstring_view hex) {
    std::vector<uint8_t> bytes;
    bytes.reserve((hex.size() + 1) / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const std::size_t end = i + 2 < hex.size() ? i + 2 : hex.size();
        unsigned value = 0;
        for (std::size_t j = i; j < end; ++j) {
            const int digit = HexDigit(hex[j]);
            if (digit < 0) {
                break;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

std::vector<uint8_t> StringBytes(std::wstring_view text) {
    std::vector<uint8_t> bytes;
    AppendUtf16Le(bytes, text);
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> MultiStringBytes(const std::wstring& text) {
    const std::wstring joined = JoinItems(SplitString(text, std::wstring(kMultiStringSeparator)), std::wstring_view(L"\0", 1));
    std::vector<uint8_t> bytes;
    AppendUtf16Le(bytes, joined);
    bytes.insert(bytes.end(), 4, 0);
    return bytes;
}

// The terminating NUL is dropped only when it is there: a value written
// without it keeps its last character, and a trailing odd byte is no character.
std::wstring StringFromData(const std::vector<uint8_t>& data) {
    std::size_t units = data.size() / 2;
    if (units > 0 && data[2 * units - 2] == 0 && data[2 * units - 1] == 0) {
        --units;
    }
    return WideFromUtf16Le(data.data(), units);
}

std::wstring EscapeLeadingHash(std::wstring text) {
    if (!text.empty() && text[0] == L'#') {
        text.insert(text.begin(), L'#');
    }
    return text;
}

// Machine lists read back in the normalized form: one item or none keeps its
// separators, and a first item starting with "#" is led by a separator
// (a doubled "#" would parse back as part of the item and grow on every
// restore), so restoring the text writes the same multi-string again.
std::wstring MultiStringText(const std::wstring& data) {
    const std::wstring joined = JoinItems(SplitString(data, std::wstring(1, L'\0')), kMultiStringSeparator);
    if (ContainsSeparator(joined)) {
        return joined[0] == L'#' ? std::wstring(kMultiStringSeparator) + joined : joined;
    }
    const std::wstring separator(kMultiStringSeparator);
    if (joined.empty()) {
        return separator;
    }
    return separator + joined + separator;
}

std::wstring HexText(const std::vector<uint8_t>& data) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text = L"#x";
    text.reserve(2 + data.size() * 2);
    for (uint8_t byte : data) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0xF]);
    }
    return text;
}

// True when the value text of the data would not write the same type and
// items back.
bool NeedsRawForm(uint32_t type, const std::vector<uint8_t>& data) {
    switch (type) {
        case registry_type::String:
            return ContainsSeparator(StringFromData(data));
        case registry_type::MultiString:
            for (const std::wstring& item : SplitString(StringFromData(data), std::wstring(1, L'\0'))) {
                if (ContainsSeparator(item)) {
                    return true;
                }
            }
            return false;
        case registry_type::ExpandString:
        case registry_type::Binary:
        case registry_type::Dword:
            return false;
        default:
            return true;
    }
}

}  // namespace

bool IsWellFormedRegistryValue(std::wstring_view text) {
    const auto isBlank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    if (text.substr(0, 2) == L"#x") {
        for (const wchar_t c : text.substr(2)) {
            if (HexDigit(c) < 0) {
                return false;
            }
        }
        return true;
    }
    if (text.empty() || text[0] != L'#' || text.substr(0, 2) == L"#v" || text.substr(0, 2) == L"#%" ||
        text.substr(0, 2) == L"##") {
        return true;
    }
    std::size_t i = 1;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    const std::size_t digits = i;
    uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - L'0');
        if (magnitude > (uint64_t{1} << 31)) {
            return false;
        }
    }
    if (i == digits || magnitude > (negative ? (uint64_t{1} << 31) : (uint64_t{1} << 31) - 1)) {
        return false;
    }
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    return i == text.size();
}

std::wstring KeepFileReadToRowText(const std::wstring& rowText, const std::wstring& formatted) {
    if (StartsWith(formatted, L"#v") && !StartsWith(rowText, L"#v")) {
        return L"#" + formatted;
    }
    return formatted;
}

RegistryValueData ParseRegistryValue(const std::wstring& text, const FileContentsReader& readFile) {
    RegistryValueData value;
    if (StartsWith(text, L"#x")) {
        value.type = registry_type::Binary;
        value.data = HexPairsToBytes(std::wstring_view(text).substr(2));
    } else if (StartsWith(text, L"#v")) {
        value.type = registry_type::Binary;
        value.data = readFile(text.substr(2));
    } else if (StartsWith(text, L"#%")) {
        value.type = registry_type::ExpandString;
        value.data = StringBytes(std::wstring_view(text).substr(2));
    } else if (StartsWith(text, L"##")) {
        if (ContainsSeparator(text)) {
            value.type = registry_type::MultiString;
            value.data = MultiStringBytes(text);
        } else {
            value.type = registry_type::String;
            value.data = StringBytes(std::wstring_view(text).substr(1));
        }
    } else if (StartsWith(text, L"#")) {
        value.type = registry_type::Dword;
        const uint32_t number = static_cast<uint32_t>(ParseDecimalInt32(std::wstring_view(text).substr(1)));
        value.data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number >> 16),
                      static_cast<uint8_t>(number >> 24)};
    } else if (ContainsSeparator(text)) {
        value.type = registry_type::MultiString;
        value.data = MultiStringBytes(text);
    } else {
        value.type = registry_type::String;
        value.data = StringBytes(text);
    }
    return value;
}

std::wstring RegistryValueToText(uint32_t type, const std::vector<uint8_t>& data, const LogLineSink& log) {
    switch (type) {
        case registry_type::Binary:
            return HexText(data);
        case registry_type::ExpandString:
            return L"#%" + StringFromData(data);
        case registry_type::MultiString:
            return MultiStringText(StringFromData(data));
        case registry_type::String:
            return EscapeLeadingHash(StringFromData(data));
        case registry_type::Dword: {
            if (data.size() < 4) {
                if (log) {
                    log(text::Format(L"Incorrect data size %d.", static_cast<int32_t>(data.size())));
                }
                throw Exception(hresult::InvalidArg, L"Filed to convert registry bytes to integer.", std::wstring());
            }
            const uint32_t number = data[0] | (static_cast<uint32_t>(data[1]) << 8) | (static_cast<uint32_t>(data[2]) << 16) |
                                    (static_cast<uint32_t>(data[3]) << 24);
            return L"#" + FormatDecimalInt32(static_cast<int32_t>(number));
        }
        default:
            return std::wstring();
    }
}

RestoringValue RegistryValueToRestoringText(uint32_t type, const std::vector<uint8_t>& data, const LogLineSink& log) {
    if (NeedsRawForm(type, data)) {
        return RestoringValue{HexText(data), type};
    }
    return RestoringValue{RegistryValueToText(type, data, log), std::nullopt};
}

RegistryValueData ParseRegistryValueAs(const std::wstring& text, std::optional<uint32_t> rawType,
                                       const FileContentsReader& readFile) {
    RegistryValueData value = ParseRegistryValue(text, readFile);
    if (rawType && StartsWith(text, L"#x")) {
        value.type = *rawType;
    }
    return value;
}

}  // namespace setup
