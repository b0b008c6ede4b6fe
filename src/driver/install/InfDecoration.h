#pragma once
// Choosing the models section of an INF from the decorations on its
// Manufacturer line. Free of Win32: the machine's architecture and the
// version test are passed in, so the parsing and the match order build and
// are tested natively; the INF reader feeds them from the running system.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace setup::driver {

// Processor architectures as the native system information reports them.
namespace architecture {
constexpr uint16_t Intel = 0;
constexpr uint16_t Ia64 = 6;
constexpr uint16_t Amd64 = 9;
}  // namespace architecture

// Bits of the version test's type mask, with the values the platform's
// version check uses for them.
namespace version_field {
constexpr uint32_t MinorVersion = 0x0000001;
constexpr uint32_t MajorVersion = 0x0000002;
constexpr uint32_t BuildNumber = 0x0000004;
constexpr uint32_t SuiteName = 0x0000040;
constexpr uint32_t ProductType = 0x0000080;
}  // namespace version_field

// The version part of a decoration
// Platform[.Major[.Minor[.ProductType[.SuiteMask[.BuildNumber]]]]], such as
// "NTamd64.10.0.1.0x100" or "NTamd64.10.0...16299", as the version test
// receives it. Only values that are not 0 take part: their bits are set in
// typeMask (major, minor and build number "at least", product type and suite
// mask "equal").
struct DecorationVersion {
    int32_t major = 0;
    int32_t minor = 0;
    uint8_t productType = 0;
    uint16_t suiteMask = 0;
    uint32_t buildNumber = 0;
    uint32_t typeMask = 0;
};

struct ParsedDecoration {
    std::wstring platform;  // the text before the first ".", lower-cased
    bool hasVersion = false;  // true when the decoration has a "."
    DecorationVersion version;
};

// Answers whether the running system satisfies the version part.
using VersionTest = std::function<bool(const DecorationVersion&)>;

ParsedDecoration ParseDecoration(std::wstring_view decoration);

// Whether a lower-cased platform part names the machine's architecture;
// on architectures other than x86, x64 and Itanium every platform fits.
bool PlatformFits(std::wstring_view platform, uint16_t architecture);

// A decoration without "." matches on its platform part alone; one with a
// version part also needs the version test to pass (it is asked even when
// no value takes part).
bool DecorationMatches(std::wstring_view decoration, uint16_t architecture, const VersionTest& versionTest);

// The models section for a Manufacturer line's fields: field 0 is the models
// name, the rest are decorations in line order. As SetupAPI does, the
// closest match among the decorations that match wins: the highest
// major.minor, then the highest build number (a decoration without a version
// counts as 0.0, build 0); ties keep line order. The winner is appended after
// "." as written; with none, the models name alone. An empty list gives an
// empty name.
std::wstring ChooseModelsSection(const std::vector<std::wstring>& manufacturerFields, uint16_t architecture,
                                 const VersionTest& versionTest);

// The models section for every line of the Manufacturer section, in line
// order. INFs often give each platform a line of its own
// ("%Mfg%=Standard,NTx86.10.0...16299" then "%Mfg%=Standard,NTamd64.10.0...16299"):
// the first line that applies here wins, one without decorations or with a
// decoration that matches, chosen by ChooseModelsSection. When no line
// applies, the first line's models name alone; no lines give an empty name.
std::wstring ChooseModelsSectionOfLines(const std::vector<std::vector<std::wstring>>& manufacturerLines,
                                        uint16_t architecture, const VersionTest& versionTest);

}  // namespace setup::driver
