#include <gtest/gtest.h>

#include <string>

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

}  // namespace
