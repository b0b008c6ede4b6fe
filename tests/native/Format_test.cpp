#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "frame/Format.h"
#include "frame/HResult.h"

using setup::text::EscapeInstallerFormat;
using setup::text::Format;

TEST(Format, IntegersKeepTheWidthTheyWerePassedWith) {
    EXPECT_EQ(L"Error 0x80070057.", Format(L"Error 0x%x.", setup::hresult::InvalidArg));
    EXPECT_EQ(L"-1073741819", Format(L"%d", uint32_t{0xC0000005}));
    EXPECT_EQ(L"4294967295", Format(L"%u", -1));
    EXPECT_EQ(L"ffff", Format(L"%hx", -1));
    EXPECT_EQ(L"18446744073709551615", Format(L"%llu", int64_t{-1}));
}

TEST(Format, PaddingAndPrecision) {
    EXPECT_EQ(L"(0a:001f) [07:05:09:042]", Format(L"(%02x:%04x) [%02i:%02i:%02i:%03i]", 10, 31, 7, 5, 9, 42));
    EXPECT_EQ(L"  ab|ab  |a", Format(L"%4s|%-4s|%.1s", L"ab", "ab", L"ab"));
    EXPECT_EQ(L"-0042", Format(L"%05d", -42));
}

TEST(Format, TextOfEitherWidthUnderEitherPlaceholder) {
    EXPECT_EQ(L"InstallDrivers: x", Format(L"%S: %s", "InstallDrivers", std::wstring(L"x")));
    EXPECT_EQ(L"narrow wide", Format(L"%s %ls", std::string("narrow"), L"wide"));
}

TEST(Format, MissingOrUnknownPlaceholdersStayAsWritten) {
    EXPECT_EQ(L"a %s b", Format(L"a %s b"));
    EXPECT_EQ(L"100% %q", Format(L"100%% %q", 1));
    EXPECT_EQ(L"tail %", Format(L"tail %"));
}

TEST(EscapeInstallerFormat, BracketsBecomeLiteralEscapes) {
    EXPECT_EQ(L"[\\[]ProductCode[\\]]", EscapeInstallerFormat(L"[ProductCode]"));
    EXPECT_EQ(L"a[\\[]~[\\]]b", EscapeInstallerFormat(L"a[~]b"));
    EXPECT_EQ(L"plain", EscapeInstallerFormat(L"plain"));
}

TEST(HResult, Win32ResultsAndSetupApiCodes) {
    EXPECT_EQ(0, setup::HResultFromWin32(0));
    EXPECT_EQ(static_cast<int32_t>(0x80070642), setup::HResultFromWin32(1602));
    EXPECT_EQ(static_cast<int32_t>(0x80004005), setup::HResultFromWin32(0x80004005u));
    EXPECT_EQ(static_cast<int32_t>(0x80070002), setup::HResultFromErrorCode(2));
    EXPECT_EQ(static_cast<int32_t>(0x800F0102), setup::HResultFromErrorCode(0xE0000102u));
}
