#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msi/PayloadText.h"

namespace {

TEST(PayloadText, CabinetValues) {
    EXPECT_EQ(L"drivers.cab", setup::GetCabinetStreamName(L"#drivers.cab"));
    EXPECT_EQ(L"beside.cab", setup::GetCabinetStreamName(L"beside.cab"));
    EXPECT_EQ(L"", setup::GetCabinetStreamName(L"#"));
    EXPECT_EQ(L"", setup::GetCabinetStreamName(L""));
    EXPECT_EQ(L"a#b", setup::GetCabinetStreamName(L"a#b"));
    EXPECT_TRUE(setup::IsStreamCabinet(L"#x"));
    EXPECT_FALSE(setup::IsStreamCabinet(L""));
    EXPECT_FALSE(setup::IsStreamCabinet(L"x#"));
}

TEST(PayloadText, LongFileNames) {
    EXPECT_EQ(L"driver catalog.cat", setup::LongFileName(L"drvcat~1.cat|driver catalog.cat"));
    EXPECT_EQ(L"drv.inf", setup::LongFileName(L"drv.inf"));
    EXPECT_EQ(L"b", setup::LongFileName(L"a|b|c"));
    EXPECT_EQ(L"", setup::LongFileName(L""));
}

TEST(PayloadText, NetworkPaths) {
    EXPECT_TRUE(setup::IsNetworkPath(L"\\\\server\\share\\drv.inf"));
    EXPECT_TRUE(setup::IsNetworkPath(L"\\\\"));
    EXPECT_FALSE(setup::IsNetworkPath(L"\\"));
    EXPECT_FALSE(setup::IsNetworkPath(L"C:\\\\drv.inf"));
    EXPECT_FALSE(setup::IsNetworkPath(L"\\drv\\\\x"));
    EXPECT_FALSE(setup::IsNetworkPath(L""));
}

TEST(PayloadText, TargetNamesMustFitWithTheirNul) {
    const std::wstring folder(250, L'f');
    // 250 + "\" + 8 = 259 characters and the NUL: exactly 260.
    EXPECT_EQ(folder + L"\\12345678", setup::ComposeTargetName(folder, L"12345678", 260).value());
    EXPECT_FALSE(setup::ComposeTargetName(folder, L"123456789", 260).has_value());
    EXPECT_FALSE(setup::ComposeTargetName(std::wstring(300, L'f'), L"a", 260).has_value());
}

TEST(PayloadText, PlainFileNames) {
    struct Case {
        const wchar_t* name;
        bool plain;
    } const cases[] = {
        {L"drv.inf", true},      {L"driver catalog.cat", true}, {L".hidden", true},  {L"", false},
        {L".", false},           {L"..", false},                {L"..\\x", false},   {L"sub\\drv.sys", false},
        {L"sub/drv.sys", false}, {L"C:drv.sys", false},          {L"drv.sys:ads", false}, {L"*.inf", false},
        {L"a?b", false},         {L"a|b", false},               {L"a\tb", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.plain, setup::IsPlainFileName(c.name)) << std::wstring(c.name).size();
    }
}

TEST(PayloadText, FileHashListsRoundTripAndDropBrokenEntries) {
    const std::wstring a(64, L'a');
    const std::wstring b = std::wstring(63, L'0') + L"f";
    const std::vector<setup::PayloadFile> files = {{L"drv.inf", a}, {L"driver image.sys", b}};
    const std::wstring text = setup::EncodePayloadFiles(files);
    EXPECT_EQ(L"drv.inf:" + a + L"|driver image.sys:" + b, text);
    EXPECT_EQ(files, setup::DecodePayloadFiles(text));
    EXPECT_TRUE(setup::DecodePayloadFiles(L"").empty());

    struct Case {
        std::wstring text;
        size_t kept;
    } const cases[] = {
        {L"..\\evil.inf:" + a + L"|drv.inf:" + a, 1},  // a name that leaves the folder
        {L"drv.inf:" + a.substr(1), 0},                 // 63 digits
        {L"drv.inf:" + std::wstring(64, L'A'), 0},      // only the lower-case form is written
        {L"drv.inf" + a, 0},                             // no colon
        {L":" + a, 0},                                   // no name
        {L"||drv.inf:" + a + L"|", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.kept, setup::DecodePayloadFiles(c.text).size()) << c.text.size();
    }
}

}  // namespace
