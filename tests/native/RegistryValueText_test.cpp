#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "tables/MultiString.h"
#include "tables/RegistryValueText.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace type = setup::registry_type;

Bytes NoFile(const std::wstring& path) {
    ADD_FAILURE() << "unexpected file read";
    (void)path;
    return {};
}

// UTF-16LE units of a text written with one wchar_t per unit.
Bytes Units(std::initializer_list<uint16_t> units) {
    Bytes bytes;
    for (uint16_t unit : units) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

std::wstring ToText(uint32_t valueType, const Bytes& data) {
    return setup::RegistryValueToText(valueType, data, [](const std::wstring&) {});
}

struct ParseCase {
    std::wstring text;
    uint32_t type;
    Bytes data;
};

}  // namespace

TEST(RegistryValueText, ParsesEveryPrefix) {
    const ParseCase cases[] = {
        {L"#x01ab", type::Binary, {0x01, 0xAB}},
        {L"#x", type::Binary, {}},
        {L"#x1", type::Binary, {0x01}},
        {L"#xabc", type::Binary, {0xAB, 0x0C}},
        {L"#x1g2h", type::Binary, {0x01, 0x02}},  // a non-digit ends its pair's number
        {L"#xg1", type::Binary, {0x00}},
        {L"#%%SystemRoot%\\x", type::ExpandString, Units({'%', 'S', 'y', 's', 't', 'e', 'm', 'R', 'o', 'o', 't', '%', '\\', 'x', 0})},
        {L"#%", type::ExpandString, Units({0})},
        {L"##x", type::String, Units({'#', 'x', 0})},
        {L"##a[~]b", type::MultiString, Units({'#', '#', 'a', 0, 'b', 0, 0})},
        {L"#42", type::Dword, {0x2A, 0, 0, 0}},
        {L"#-1", type::Dword, {0xFF, 0xFF, 0xFF, 0xFF}},
        {L"#  +7x", type::Dword, {7, 0, 0, 0}},
        {L"#", type::Dword, {0, 0, 0, 0}},
        {L"#abc", type::Dword, {0, 0, 0, 0}},
        {L"#99999999999", type::Dword, {0xFF, 0xFF, 0xFF, 0x7F}},
        {L"#a[~]b", type::Dword, {0, 0, 0, 0}},
        {L"abc", type::String, Units({'a', 'b', 'c', 0})},
        {L"", type::String, Units({0})},
        {L"a[~]b", type::MultiString, Units({'a', 0, 'b', 0, 0})},
        {L"a[~][~]b", type::MultiString, Units({'a', 0, 0, 'b', 0, 0})},
        {L"[~]a[~]", type::MultiString, Units({'a', 0, 0})},
        {L"[~]", type::MultiString, Units({0, 0})},
        {L"\U0001F600[~]", type::MultiString, Units({0xD83D, 0xDE00, 0, 0})},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        const setup::RegistryValueData value = setup::ParseRegistryValue(c.text, NoFile);
        EXPECT_EQ(c.type, value.type);
        EXPECT_EQ(c.data, value.data);
    }
}

TEST(RegistryValueText, FileFormReadsThroughTheGivenReader) {
    std::wstring asked;
    const setup::RegistryValueData value = setup::ParseRegistryValue(L"#vC:\\data\\blob.bin", [&](const std::wstring& path) {
        asked = path;
        return Bytes{1, 2, 3};
    });
    EXPECT_EQ(L"C:\\data\\blob.bin", asked);
    EXPECT_EQ(type::Binary, value.type);
    EXPECT_EQ((Bytes{1, 2, 3}), value.data);
}

TEST(RegistryValueText, OnlyTheRowsOwnTextReadsAFile) {
    struct Case {
        std::wstring row;
        std::wstring formatted;
        std::wstring kept;
    } const cases[] = {
        {L"#v[INSTALLDIR]blob.bin", L"#vC:\\app\\blob.bin", L"#vC:\\app\\blob.bin"},  // the row asks for it
        {L"[SECRET]", L"#vC:\\secret.key", L"##vC:\\secret.key"},                      // a property put it there
        {L"#[KIND]C:\\x", L"#vC:\\x", L"##vC:\\x"},
        {L"[PROP]", L"#x0102", L"#x0102"},
        {L"[PROP]", L"plain", L"plain"},
        {L"", L"", L""},
    };
    for (const Case& c : cases) {
        const std::wstring kept = setup::KeepFileReadToRowText(c.row, c.formatted);
        EXPECT_EQ(c.kept, kept) << c.row.size();
        // What the script phase then does with it: the formed "#v" never reaches the file reader.
        if (c.row.rfind(L"#v", 0) != 0 && !kept.empty()) {
            setup::ParseRegistryValue(kept, NoFile);
        }
    }
    const setup::RegistryValueData text = setup::ParseRegistryValue(L"##vC:\\secret.key", NoFile);
    EXPECT_EQ(type::String, text.type);
}

TEST(RegistryValueText, ReadsBackMachineValues) {
    const struct {
        uint32_t type;
        Bytes data;
        std::wstring text;
    } cases[] = {
        {type::Binary, {0x01, 0xAB}, L"#x01AB"},
        {type::Binary, {}, L"#x"},
        {type::Dword, {0x2A, 0, 0, 0}, L"#42"},
        {type::Dword, {0xFF, 0xFF, 0xFF, 0xFF, 0x11}, L"#-1"},
        {type::String, Units({'#', 'x', 0}), L"##x"},
        {type::String, Units({'a', 'b', 0}), L"ab"},
        {type::String, {}, L""},
        {type::String, Units({0}), L""},
        // Written without the terminating NUL: nothing is lost.
        {type::String, Units({'a', 'b'}), L"ab"},
        {type::ExpandString, Units({'%', 'p', '%'}), L"#%%p%"},
        {type::String, {'a', 0, 'b', 0, 0}, L"ab"},  // a trailing odd byte is no character
        {type::String, Units({'a', 0, 'b', 0}), std::wstring(L"a\0b", 3)},
        {type::MultiString, Units({'a', 0, 'b', 0, 0}), L"a[~]b"},
        {type::MultiString, Units({'a', 0, 'b'}), L"a[~]b"},
        // A first item starting with "#" is led by a separator, not escaped.
        {type::MultiString, Units({'#', 'a', 0, 'b', 0, 0}), L"[~]#a[~]b"},
        // One item or none keeps the separators, so it parses back as a multi-string.
        {type::MultiString, Units({'a', 0, 0}), L"[~]a[~]"},
        {type::MultiString, Units({'a'}), L"[~]a[~]"},
        {type::MultiString, Units({'#', 'a', 0, 0}), L"[~]#a[~]"},
        {type::MultiString, Units({0, 0}), L"[~]"},
        {type::MultiString, Units({0}), L"[~]"},
        {type::MultiString, {}, L"[~]"},
        {type::MultiString, Units({0xD83D, 0xDE00, 0, 0}), L"[~]\U0001F600[~]"},
        {11, {1, 2, 3, 4, 5, 6, 7, 8}, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.text, ToText(c.type, c.data));
    }
}

TEST(RegistryValueText, MachineValuesRoundTripThroughTheirText) {
    const struct {
        uint32_t type;
        Bytes data;
        Bytes written;  // what parsing the text back gives
    } cases[] = {
        {type::Binary, {0x00, 0x7F, 0xFF}, {0x00, 0x7F, 0xFF}},
        {type::Dword, {0xFE, 0xFF, 0xFF, 0xFF}, {0xFE, 0xFF, 0xFF, 0xFF}},
        {type::String, Units({'#', '4', '2', 0}), Units({'#', '4', '2', 0})},
        {type::String, Units({'x', 'y'}), Units({'x', 'y', 0})},
        {type::ExpandString, Units({'%', 'a', '%'}), Units({'%', 'a', '%', 0})},
        {type::MultiString, Units({'a', 0, 'b', 0, 0}), Units({'a', 0, 'b', 0, 0})},
        {type::MultiString, Units({'a', 0, 0}), Units({'a', 0, 0})},
        {type::MultiString, Units({'#', 'a', 0, 0}), Units({'#', 'a', 0, 0})},
        // Two or more items, the first starting with "#": no "#" gained.
        {type::MultiString, Units({'#', 'a', 0, 'b', 0, 0}), Units({'#', 'a', 0, 'b', 0, 0})},
        {type::MultiString, Units({'#', '#', 0, '#', 0, 0}), Units({'#', '#', 0, '#', 0, 0})},
        {type::MultiString, Units({0, 0}), Units({0, 0})},
        {type::MultiString, {}, Units({0, 0})},
    };
    for (const auto& c : cases) {
        const std::wstring text = ToText(c.type, c.data);
        SCOPED_TRACE(text);
        const setup::RegistryValueData back = setup::ParseRegistryValue(text, NoFile);
        EXPECT_EQ(c.type, back.type);
        EXPECT_EQ(c.written, back.data);
    }
}

TEST(RegistryValueText, ShortDwordDataIsLoggedAndRejected) {
    std::vector<std::wstring> lines;
    try {
        setup::RegistryValueToText(type::Dword, {1, 2, 3}, [&](const std::wstring& line) { lines.push_back(line); });
        FAIL() << "no exception";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(static_cast<int32_t>(0x80070057), e.Code());
        EXPECT_EQ(L"Filed to convert registry bytes to integer.", e.Message());
    }
    EXPECT_EQ(std::vector<std::wstring>{L"Incorrect data size 3."}, lines);
}

// A machine list whose first item starts with "#", merged with a configured
// item and written back, keeps its items exactly.
TEST(RegistryValueText, HashFirstItemSurvivesMergeAndRestore) {
    const Bytes machine = Units({'#', 'a', 0, 'b', 0, 0});
    const std::wstring current = ToText(type::MultiString, machine);
    const setup::RegistryValueData restored = setup::ParseRegistryValue(current, NoFile);
    EXPECT_EQ(type::MultiString, restored.type);
    EXPECT_EQ(machine, restored.data);
    const setup::RegistryValueData merged = setup::ParseRegistryValue(setup::AppendMultiString(current, L"[~]c"), NoFile);
    EXPECT_EQ(type::MultiString, merged.type);
    EXPECT_EQ(Units({'#', 'a', 0, 'b', 0, 'c', 0, 0}), merged.data);
}

// A rollback puts back what it found. Where the value text cannot say it (a
// REG_SZ holding "[~]" would come back as a multi-string, an item holding
// "[~]" would split, a type without a text form would become an empty
// REG_SZ), the exact bytes travel with their type; every other value keeps
// its readable text.
TEST(RegistryValueText, RestoringTextWritesTheFoundValueBack) {
    const struct {
        const char* label;
        uint32_t type;
        Bytes data;
        std::wstring text;
        std::optional<uint32_t> rawType;
        Bytes written;
    } cases[] = {
        {"sz holding [~]", type::String, Units({'a', '[', '~', ']', 'b', 0}), L"#x61005B007E005D0062000000", type::String,
         Units({'a', '[', '~', ']', 'b', 0})},
        {"sz holding [~] without NUL", type::String, Units({'[', '~', ']'}), L"#x5B007E005D00", type::String,
         Units({'[', '~', ']'})},
        {"sz starting with # holding [~]", type::String, Units({'#', '[', '~', ']', 0}), L"#x23005B007E005D000000",
         type::String, Units({'#', '[', '~', ']', 0})},
        {"multi item holding [~]", type::MultiString, Units({'x', '[', '~', ']', 'y', 0, 'z', 0, 0}),
         L"#x78005B007E005D00790000007A0000000000", type::MultiString, Units({'x', '[', '~', ']', 'y', 0, 'z', 0, 0})},
        {"qword", 11, {1, 2, 3, 4, 5, 6, 7, 8}, L"#x0102030405060708", 11u, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"none", 0, {9}, L"#x09", 0u, {9}},
        // Values the text describes keep their text.
        {"sz", type::String, Units({'a', 'b', 0}), L"ab", std::nullopt, Units({'a', 'b', 0})},
        {"sz with #", type::String, Units({'#', 'x', 0}), L"##x", std::nullopt, Units({'#', 'x', 0})},
        {"expand holding [~]", type::ExpandString, Units({'a', '[', '~', ']', 0}), L"#%a[~]", std::nullopt,
         Units({'a', '[', '~', ']', 0})},
        {"multi", type::MultiString, Units({'a', 0, 'b', 0, 0}), L"a[~]b", std::nullopt, Units({'a', 0, 'b', 0, 0})},
        {"multi with brackets apart", type::MultiString, Units({'a', '[', 0, '~', ']', 0, 0}), L"a[[~]~]", std::nullopt,
         Units({'a', '[', 0, '~', ']', 0, 0})},
        {"binary", type::Binary, {0xAB}, L"#xAB", std::nullopt, {0xAB}},
        {"dword", type::Dword, {1, 0, 0, 0}, L"#1", std::nullopt, {1, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const setup::RestoringValue restoring = setup::RegistryValueToRestoringText(c.type, c.data, [](const std::wstring&) {});
        EXPECT_EQ(c.text, restoring.text);
        EXPECT_EQ(c.rawType, restoring.rawType);
        const setup::RegistryValueData written = setup::ParseRegistryValueAs(restoring.text, restoring.rawType, NoFile);
        EXPECT_EQ(c.type, written.type);
        EXPECT_EQ(c.written, written.data);
    }
    // Short DWORD data is still rejected with its log line.
    EXPECT_THROW(setup::RegistryValueToRestoringText(type::Dword, {1}, [](const std::wstring&) {}), setup::Exception);
}

// The type goes only with a "#x" text; any other text keeps its own type.
TEST(RegistryValueText, RawTypeAppliesOnlyToHexText) {
    EXPECT_EQ((setup::RegistryValueData{type::String, {0x61, 0x00}}), setup::ParseRegistryValueAs(L"#x6100", type::String, NoFile));
    EXPECT_EQ((setup::RegistryValueData{type::Binary, {0x61, 0}}), setup::ParseRegistryValueAs(L"#x6100", std::nullopt, NoFile));
    EXPECT_EQ((setup::RegistryValueData{type::Dword, {7, 0, 0, 0}}), setup::ParseRegistryValueAs(L"#7", type::String, NoFile));
    EXPECT_EQ((setup::RegistryValueData{type::MultiString, Units({'a', 0, 'b', 0, 0})}),
              setup::ParseRegistryValueAs(L"a[~]b", type::String, NoFile));
}

// Package rows are checked before they are scheduled: the lenient parser above
// would write 0 for "#twelve" and a saturated number for an overflow.
TEST(RegistryValueText, TellsWellFormedValuesFromMalformedNumbers) {
    const struct {
        std::wstring text;
        bool wellFormed;
    } cases[] = {
        {L"#42", true},
        {L"#-1", true},
        {L"#  +7 ", true},
        {L"#2147483647", true},
        {L"#-2147483648", true},
        {L"#2147483648", false},
        {L"#-2147483649", false},
        {L"#99999999999", false},
        {L"#", false},
        {L"#twelve", false},
        {L"#12abc", false},
        {L"#-", false},
        {L"#1[~]2", false},
        {L"#x01ab", true},
        {L"#x", true},
        {L"#xabc", true},
        {L"#x1g2h", false},
        {L"#x 01", false},
        {L"#vC:\\no such file", true},
        {L"#%%SystemRoot%", true},
        {L"##twelve", true},
        {L"twelve", true},
        {L"", true},
        {L"a[~]b", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.wellFormed, setup::IsWellFormedRegistryValue(c.text));
    }
}
