#include "driver/install/InfDecoration.h"

#include <cwctype>
#include <limits>

namespace setup::driver {

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// Leading blanks and a sign, as the C runtime's number readers skip them.
bool SkipBlanksAndSign(std::wstring_view& text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    text.remove_prefix(i);
    return negative;
}

// Signed decimal with the behaviour of _wtoi: digits up to the first other
// character, 0 when there are none, clamped to the 32-bit range.
int32_t ReadDecimal(std::wstring_view text) {
    const bool negative = SkipBlanksAndSign(text);
    int64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            break;
        }
        value = value * 10 + (c - L'0');
        if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) {
            value = int64_t{std::numeric_limits<int32_t>::max()} + 1;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(value);
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// Unsigned hexadecimal with the behaviour of wcstoul(text, nullptr, 16) and
// a 32-bit unsigned long: an optional "0x", the maximum on overflow, and a
// minus sign negating the result.
uint32_t ReadHex(std::wstring_view text) {
    const bool negative = SkipBlanksAndSign(text);
    if (text.size() >= 3 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X') && HexDigit(text[2]) >= 0) {
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    bool overflow = false;
    for (wchar_t c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            break;
        }
        value = value * 16 + static_cast<uint64_t>(digit);
        if (value > std::numeric_limits<uint32_t>::max()) {
            overflow = true;
            value = std::numeric_limits<uint32_t>::max();
        }
    }
    if (overflow) {
        return std::numeric_limits<uint32_t>::max();
    }
    const uint32_t result = static_cast<uint32_t>(value);
    return negative ? static_cast<uint32_t>(0u - result) : result;
}

// Moves text past the next "."; false when there is none.
bool NextComponent(std::wstring_view& text) {
    const size_t dot = text.find(L'.');
    if (dot == std::wstring_view::npos) {
        return false;
    }
    text.remove_prefix(dot + 1);
    return true;
}

}  // namespace

ParsedDecoration ParseDecoration(std::wstring_view decoration) {
    ParsedDecoration parsed;
    const size_t dot = decoration.find(L'.');
    for (wchar_t c : decoration.substr(0, dot)) {
        parsed.platform.push_back(static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c))));
    }
    if (dot == std::wstring_view::npos) {
        return parsed;
    }
    parsed.hasVersion = true;

    // Each component is read up to its own end; the next is read only when
    // another "." follows. The build number stands after the fifth, so
    // "NTamd64.10.0...16299" is 10.0 from build 16299 on; a build that is not
    // a positive number sets no condition.
    DecorationVersion& version = parsed.version;
    std::wstring_view rest = decoration.substr(dot + 1);
    version.major = ReadDecimal(rest);
    if (NextComponent(rest)) {
        version.minor = ReadDecimal(rest);
        if (NextComponent(rest)) {
            version.productType = static_cast<uint8_t>(ReadHex(rest) & 0xFFu);
            if (NextComponent(rest)) {
                version.suiteMask = static_cast<uint16_t>(ReadHex(rest) & 0xFFFFu);
                if (NextComponent(rest)) {
                    const int32_t build = ReadDecimal(rest);
                    version.buildNumber = build > 0 ? static_cast<uint32_t>(build) : 0;
                }
            }
        }
    }

    if (version.major != 0) {
        version.typeMask |= version_field::MajorVersion;
    }
    if (version.minor != 0) {
        version.typeMask |= version_field::MinorVersion;
    }
    if (version.productType != 0) {
        version.typeMask |= version_field::ProductType;
    }
    if (version.suiteMask != 0) {
        version.typeMask |= version_field::SuiteName;
    }
    if (version.buildNumber != 0) {
        version.typeMask |= version_field::BuildNumber;
    }
    return parsed;
}

bool PlatformFits(std::wstring_view platform, uint16_t architecture) {
    switch (architecture) {
        case architecture::Amd64:
            return platform == L"ntamd64";
        case architecture::Ia64:
            return platform == L"ntia64";
        case architecture::Intel:
            return platform == L"ntx86" || platform == L"nt";
        default:
            return true;
    }
}

namespace {

bool Matches(const ParsedDecoration& parsed, uint16_t architecture, const VersionTest& versionTest) {
    if (!PlatformFits(parsed.platform, architecture)) {
        return false;
    }
    if (!parsed.hasVersion) {
        return true;
    }
    return versionTest(parsed.version);
}

// Whether a is a closer match than b: the higher version, major.minor first.
bool CloserThan(const DecorationVersion& a, const DecorationVersion& b) {
    if (a.major != b.major) {
        return a.major > b.major;
    }
    if (a.minor != b.minor) {
        return a.minor > b.minor;
    }
    return a.buildNumber > b.buildNumber;
}

}  // namespace

bool DecorationMatches(std::wstring_view decoration, uint16_t architecture, const VersionTest& versionTest) {
    return Matches(ParseDecoration(decoration), architecture, versionTest);
}

std::wstring ChooseModelsSection(const std::vector<std::wstring>& manufacturerFields, uint16_t architecture,
                                 const VersionTest& versionTest) {
    if (manufacturerFields.empty()) {
        return std::wstring();
    }
    const std::wstring& models = manufacturerFields[0];
    const std::wstring* chosen = nullptr;
    DecorationVersion chosenVersion;
    for (size_t i = 1; i < manufacturerFields.size(); ++i) {
        const ParsedDecoration parsed = ParseDecoration(manufacturerFields[i]);
        // One that cannot be closer is not put to the version test at all.
        if (chosen != nullptr && !CloserThan(parsed.version, chosenVersion)) {
            continue;
        }
        if (Matches(parsed, architecture, versionTest)) {
            chosen = &manufacturerFields[i];
            chosenVersion = parsed.version;
        }
    }
    return chosen != nullptr ? models + L"." + *chosen : models;
}

std::wstring ChooseModelsSectionOfLines(const std::vector<std::vector<std::wstring>>& manufacturerLines,
                                        uint16_t architecture, const VersionTest& versionTest) {
    for (const std::vector<std::wstring>& fields : manufacturerLines) {
        if (fields.empty()) {
            continue;
        }
        const std::wstring chosen = ChooseModelsSection(fields, architecture, versionTest);
        if (fields.size() == 1 || chosen != fields[0]) {
            return chosen;
        }
    }
    return manufacturerLines.empty() ? std::wstring() : ChooseModelsSection(manufacturerLines[0], architecture, versionTest);
}

}  // namespace setup::driver
