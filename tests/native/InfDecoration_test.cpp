#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "driver/install/InfDecoration.h"

namespace {

using setup::driver::ChooseModelsSection;
using setup::driver::ChooseModelsSectionOfLines;
using setup::driver::DecorationVersion;
using setup::driver::ParseDecoration;
namespace arch = setup::driver::architecture;
namespace field = setup::driver::version_field;

constexpr uint32_t kAllFields = field::MajorVersion | field::MinorVersion | field::ProductType | field::SuiteName;

// The running system the version test answers for. Major and minor compare
// as one version number ("at least"), the build number on its own ("at
// least"), product type and suite mask must be equal, each only when its bit
// is in the type mask.
struct System {
    uint16_t architecture;
    int32_t major;
    int32_t minor;
    uint8_t productType;
    uint16_t suiteMask;
    uint32_t build = 0;
};

setup::driver::VersionTest VersionOf(const System& system) {
    return [system](const DecorationVersion& v) {
        if (v.typeMask & (field::MajorVersion | field::MinorVersion)) {
            const int32_t wantMajor = (v.typeMask & field::MajorVersion) ? v.major : 0;
            const int32_t wantMinor = (v.typeMask & field::MinorVersion) ? v.minor : 0;
            if (system.major != wantMajor ? system.major < wantMajor : system.minor < wantMinor) {
                return false;
            }
        }
        if ((v.typeMask & field::BuildNumber) && system.build < v.buildNumber) {
            return false;
        }
        if ((v.typeMask & field::ProductType) && system.productType != v.productType) {
            return false;
        }
        if ((v.typeMask & field::SuiteName) && system.suiteMask != v.suiteMask) {
            return false;
        }
        return true;
    };
}

constexpr System kAmd64Win8{arch::Amd64, 6, 2, 1, 0x100};
constexpr System kAmd64Win10{arch::Amd64, 10, 0, 1, 0x100, 19041};
constexpr System kAmd64Win10Build16298{arch::Amd64, 10, 0, 1, 0x100, 16298};
constexpr System kAmd64Win10Build16299{arch::Amd64, 10, 0, 1, 0x100, 16299};
constexpr System kAmd64Win10Build17763{arch::Amd64, 10, 0, 1, 0x100, 17763};
constexpr System kAmd64Win11Server{arch::Amd64, 10, 0, 3, 0x110};
constexpr System kX86Win7{arch::Intel, 6, 1, 1, 0};
constexpr System kIa64{arch::Ia64, 6, 1, 3, 0};
constexpr System kArm64Win10{12, 10, 0, 1, 0};
constexpr System kArmWin8{5, 6, 2, 1, 0};

struct ModelsCase {
    const char* name;
    std::vector<std::wstring> fields;
    System system;
    std::wstring expected;
};

TEST(InfDecoration, ChoosesTheClosestMatchingDecoration) {
    const std::vector<std::wstring> modern = {L"Models", L"NTamd64.10.0...16299"};
    const std::vector<std::wstring> modernOrPlain = {L"Models", L"NTamd64", L"NTamd64.10.0...16299"};
    const std::vector<std::wstring> byBuild = {L"Models", L"NTamd64.6.3", L"NTamd64.10.0...16299",
                                               L"NTamd64.10.0...17763", L"NTamd64.10.0"};
    const ModelsCase cases[] = {
        {"plain below 10", {L"Models", L"NTamd64.10.0", L"NTamd64"}, kAmd64Win8, L"Models.NTamd64"},
        {"version before plain at 10", {L"Models", L"NTamd64.10.0", L"NTamd64"}, kAmd64Win10, L"Models.NTamd64.10.0"},
        {"closest, not first in line order", {L"Models", L"NTamd64", L"NTamd64.10.0"}, kAmd64Win10,
         L"Models.NTamd64.10.0"},
        {"higher minor closer", {L"Models", L"NTamd64.6.0", L"NTamd64.6.2", L"NTamd64.6.1"}, kAmd64Win8,
         L"Models.NTamd64.6.2"},
        {"higher major beats higher minor", {L"Models", L"NTamd64.6.3", L"NTamd64.10.0"}, kAmd64Win10,
         L"Models.NTamd64.10.0"},
        {"tie keeps line order", {L"Models", L"NTamd64.10.0.0x1", L"NTamd64.10.0"}, kAmd64Win10,
         L"Models.NTamd64.10.0.0x1"},
        {"tie of plain ones keeps line order", {L"Models", L"ntamd64", L"NTamd64"}, kAmd64Win10, L"Models.ntamd64"},
        {"build below", modern, kAmd64Win10Build16298, L"Models"},
        {"build equal", modern, kAmd64Win10Build16299, L"Models.NTamd64.10.0...16299"},
        {"build above", modern, kAmd64Win10, L"Models.NTamd64.10.0...16299"},
        {"build below falls back to plain", modernOrPlain, kAmd64Win10Build16298, L"Models.NTamd64"},
        {"build equal beats plain", modernOrPlain, kAmd64Win10Build16299, L"Models.NTamd64.10.0...16299"},
        {"build on 8 does not match", modern, kAmd64Win8, L"Models"},
        {"highest build that passes", byBuild, kAmd64Win10, L"Models.NTamd64.10.0...17763"},
        {"build between two", byBuild, kAmd64Win10Build16299, L"Models.NTamd64.10.0...16299"},
        {"plain 10.0 below every build", byBuild, kAmd64Win10Build16298, L"Models.NTamd64.10.0"},
        {"only 6.3 on 8.1", byBuild, System{arch::Amd64, 6, 3, 1, 0x100, 9600}, L"Models.NTamd64.6.3"},
        {"build at exactly 17763", byBuild, kAmd64Win10Build17763, L"Models.NTamd64.10.0...17763"},
        {"platform case ignored, written case kept", {L"Models", L"NTAMD64"}, kAmd64Win8, L"Models.NTAMD64"},
        {"mixed case with version", {L"Models", L"nTaMd64.6.0"}, kAmd64Win8, L"Models.nTaMd64.6.0"},
        {"minor version counts", {L"Models", L"NTamd64.6.3", L"NTamd64.6.2"}, kAmd64Win8, L"Models.NTamd64.6.2"},
        {"x86 decoration skipped on x64", {L"Models", L"NTx86", L"NTamd64"}, kAmd64Win8, L"Models.NTamd64"},
        {"nt alone is not x64", {L"Models", L"NT", L"NTamd64"}, kAmd64Win8, L"Models.NTamd64"},
        {"ntx86 on x86", {L"Models", L"NTamd64", L"ntx86"}, kX86Win7, L"Models.ntx86"},
        {"nt on x86", {L"Models", L"NTamd64", L"NT"}, kX86Win7, L"Models.NT"},
        {"nt with version on x86", {L"Models", L"NT.6.0"}, kX86Win7, L"Models.NT.6.0"},
        {"no decoration fits x86", {L"Models", L"NTamd64", L"NTia64"}, kX86Win7, L"Models"},
        {"ia64", {L"Models", L"NTamd64", L"NTia64"}, kIa64, L"Models.NTia64"},
        {"other architecture: platform not compared", {L"Models", L"NTfoo", L"NTamd64"}, kArm64Win10, L"Models.NTfoo"},
        {"other architecture: version still tested", {L"Models", L"NTarm.10.0", L"NTarm"}, kArmWin8, L"Models.NTarm"},
        {"no decorations", {L"Models"}, kAmd64Win10, L"Models"},
        {"nothing matches", {L"Models", L"NTamd64.11.0", L"NTx86"}, kAmd64Win10, L"Models"},
        {"empty decoration never fits x64", {L"Models", L"", L"NTamd64"}, kAmd64Win10, L"Models.NTamd64"},
        {"product type hex with 0x", {L"Models", L"NTamd64.10.0.0x3", L"NTamd64"}, kAmd64Win11Server,
         L"Models.NTamd64.10.0.0x3"},
        {"product type differs", {L"Models", L"NTamd64.10.0.0x3", L"NTamd64"}, kAmd64Win10, L"Models.NTamd64"},
        {"suite mask hex without 0x", {L"Models", L"NTamd64.10.0.3.110", L"NTamd64"}, kAmd64Win11Server,
         L"Models.NTamd64.10.0.3.110"},
        {"suite mask hex with 0x", {L"Models", L"NTamd64.10.0.3.0x110", L"NTamd64"}, kAmd64Win11Server,
         L"Models.NTamd64.10.0.3.0x110"},
        {"suite mask differs", {L"Models", L"NTamd64.10.0.3.0x10", L"NTamd64"}, kAmd64Win11Server, L"Models.NTamd64"},
        {"no fields at all", {}, kAmd64Win10, L""},
    };
    for (const ModelsCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, ChooseModelsSection(c.fields, c.system.architecture, VersionOf(c.system)));
    }
}

struct ParseCase {
    const wchar_t* decoration;
    const wchar_t* platform;
    bool hasVersion;
    int32_t major;
    int32_t minor;
    uint8_t productType;
    uint16_t suiteMask;
    uint32_t typeMask;
    uint32_t build = 0;
};

constexpr uint32_t kBuild = field::BuildNumber;

TEST(InfDecoration, ParsesPlatformAndVersionParts) {
    const ParseCase cases[] = {
        {L"NTamd64", L"ntamd64", false, 0, 0, 0, 0, 0},
        {L"", L"", false, 0, 0, 0, 0, 0},
        {L"NTamd64.10.0", L"ntamd64", true, 10, 0, 0, 0, field::MajorVersion},
        {L"ntamd64.0", L"ntamd64", true, 0, 0, 0, 0, 0},
        {L"ntamd64.", L"ntamd64", true, 0, 0, 0, 0, 0},
        {L"NTamd64..1", L"ntamd64", true, 0, 1, 0, 0, field::MinorVersion},
        {L"NTamd64.6.1.0x3.0x110", L"ntamd64", true, 6, 1, 3, 0x110, kAllFields},
        {L"NTamd64.6.1.3.110", L"ntamd64", true, 6, 1, 3, 0x110, kAllFields},
        {L"NTamd64.6.1.0X1.0Xff", L"ntamd64", true, 6, 1, 1, 0xff, kAllFields},
        {L"NTamd64.0.0.0.0x100", L"ntamd64", true, 0, 0, 0, 0x100, field::SuiteName},
        {L".6", L"", true, 6, 0, 0, 0, field::MajorVersion},
        // Components that do not parse give 0; numbers end at the first other character.
        {L"NTamd64.x.y.z.w", L"ntamd64", true, 0, 0, 0, 0, 0},
        {L"NTamd64.10abc.2x", L"ntamd64", true, 10, 2, 0, 0, field::MajorVersion | field::MinorVersion},
        {L"NTamd64.0x.0x", L"ntamd64", true, 0, 0, 0, 0, 0},
        {L"NTamd64. 6.+1", L"ntamd64", true, 6, 1, 0, 0, field::MajorVersion | field::MinorVersion},
        {L"NTamd64.-1", L"ntamd64", true, -1, 0, 0, 0, field::MajorVersion},
        // The suite mask stands after the fourth ".", read as far as it is
        // hexadecimal; the build number after the fifth, in decimal.
        {L"NTamd64.6.1.1.0x10.extra", L"ntamd64", true, 6, 1, 1, 0x10, kAllFields},
        {L"NTamd64.10.0...16299", L"ntamd64", true, 10, 0, 0, 0, field::MajorVersion | kBuild, 16299},
        {L"NTamd64.10.0.1.0x100.17763", L"ntamd64", true, 10, 0, 1, 0x100,
         field::MajorVersion | field::ProductType | field::SuiteName | kBuild, 17763},
        {L"NTamd64.10.0.....22000", L"ntamd64", true, 10, 0, 0, 0, field::MajorVersion, 0},
        {L"NTamd64.10.0...16299.5", L"ntamd64", true, 10, 0, 0, 0, field::MajorVersion | kBuild, 16299},
        {L"NTamd64.10.0...0x10", L"ntamd64", true, 10, 0, 0, 0, field::MajorVersion, 0},
        {L"NTamd64.10.0...-5", L"ntamd64", true, 10, 0, 0, 0, field::MajorVersion, 0},
        {L"NTamd64....1", L"ntamd64", true, 0, 0, 0, 1, field::SuiteName, 0},
        {L"NTamd64.....1", L"ntamd64", true, 0, 0, 0, 0, kBuild, 1},
        // Product type keeps its low byte, suite mask its low 16 bits; a part
        // that truncates to 0 takes no part in the test.
        {L"NTamd64.6.1.0x1ff", L"ntamd64", true, 6, 1, 0xff, 0, field::MajorVersion | field::MinorVersion | field::ProductType},
        {L"NTamd64.6.1.100", L"ntamd64", true, 6, 1, 0, 0, field::MajorVersion | field::MinorVersion},
        {L"NTamd64.6.1.1.12345", L"ntamd64", true, 6, 1, 1, 0x2345, kAllFields},
        {L"NTamd64.6.1.1.-1", L"ntamd64", true, 6, 1, 1, 0xffff, kAllFields},
        {L"NTamd64.6.1.1.fffffffff", L"ntamd64", true, 6, 1, 1, 0xffff, kAllFields},
        {L"NTamd64.99999999999.-99999999999", L"ntamd64", true, std::numeric_limits<int32_t>::max(),
         std::numeric_limits<int32_t>::min(), 0, 0, field::MajorVersion | field::MinorVersion},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(std::wstring(L"decoration '") + c.decoration + L"'");
        const auto parsed = ParseDecoration(c.decoration);
        EXPECT_EQ(c.platform, parsed.platform);
        EXPECT_EQ(c.hasVersion, parsed.hasVersion);
        EXPECT_EQ(c.major, parsed.version.major);
        EXPECT_EQ(c.minor, parsed.version.minor);
        EXPECT_EQ(c.productType, parsed.version.productType);
        EXPECT_EQ(c.suiteMask, parsed.version.suiteMask);
        EXPECT_EQ(c.typeMask, parsed.version.typeMask);
        EXPECT_EQ(c.build, parsed.version.buildNumber);
    }
}

// A decoration whose version values are all 0 still asks the version test,
// with an empty type mask, and its answer alone decides.
TEST(InfDecoration, AllZeroVersionStillAsksTheVersionTest) {
    for (const bool answer : {true, false}) {
        std::vector<DecorationVersion> asked;
        const std::wstring section =
            ChooseModelsSection({L"Models", L"ntamd64.0", L"NTamd64"}, arch::Amd64, [&](const DecorationVersion& v) {
                asked.push_back(v);
                return answer;
            });
        EXPECT_EQ(answer ? L"Models.ntamd64.0" : L"Models.NTamd64", section);
        ASSERT_EQ(1u, asked.size());
        EXPECT_EQ(0u, asked[0].typeMask);
    }
}

// The version test is asked only for decorations whose platform fits, that
// have a version part and that would be closer than the match found so far.
TEST(InfDecoration, VersionTestAskedOnlyWhereItDecides) {
    std::vector<uint32_t> askedBuilds;
    const auto recording = [&](const DecorationVersion& v) {
        askedBuilds.push_back(v.buildNumber);
        return true;
    };
    EXPECT_EQ(L"Models.NTamd64.6.0", ChooseModelsSection({L"Models", L"NTx86.6.0", L"NTamd64", L"NTamd64.6.0"},
                                                         arch::Amd64, recording));
    EXPECT_EQ(1u, askedBuilds.size());
    askedBuilds.clear();
    EXPECT_EQ(L"Models.NTamd64.10.0...3",
              ChooseModelsSection({L"Models", L"NTamd64.10.0...2", L"NTamd64.6.0", L"NTamd64.10.0...2.1",
                                   L"NTamd64.10.0...3", L"NTamd64.10.0...1"},
                                  arch::Amd64, recording));
    EXPECT_EQ((std::vector<uint32_t>{2, 3}), askedBuilds);
}

// One line per platform, as many INFs are written: the first line that
// applies wins; none applying keeps the first line's models name.
TEST(InfDecoration, ChoosesAmongManufacturerLines) {
    using Lines = std::vector<std::vector<std::wstring>>;
    const Lines perPlatform = {{L"Standard", L"NTx86.10.0...16299"},
                               {L"Standard", L"NTamd64.10.0...16299"},
                               {L"Standard", L"NTarm64.10.0...16299"}};
    struct Case {
        const char* name;
        Lines lines;
        System system;
        std::wstring expected;
    };
    const Case cases[] = {
        {"the line of this platform", perPlatform, kAmd64Win10, L"Standard.NTamd64.10.0...16299"},
        {"no line applies", perPlatform, kAmd64Win10Build16298, L"Standard"},
        {"x86 takes its own line", perPlatform, System{arch::Intel, 10, 0, 1, 0, 19041}, L"Standard.NTx86.10.0...16299"},
        {"first applying line, not the closest", {{L"A", L"NTamd64"}, {L"B", L"NTamd64.10.0"}}, kAmd64Win10, L"A.NTamd64"},
        {"undecorated line applies", {{L"A", L"NTx86"}, {L"B"}}, kAmd64Win10, L"B"},
        {"empty line skipped", {{}, {L"A", L"NTamd64"}}, kAmd64Win10, L"A.NTamd64"},
        {"one line as before", {{L"Models", L"NTamd64", L"NTamd64.10.0"}}, kAmd64Win10, L"Models.NTamd64.10.0"},
        {"no lines", {}, kAmd64Win10, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, ChooseModelsSectionOfLines(c.lines, c.system.architecture, VersionOf(c.system)));
    }
}

}  // namespace
