#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "system/Utf16.h"

TEST(Utf16, BytesAreUtf16LittleEndianWhateverTheWidthOfWchar) {
    std::vector<uint8_t> bytes;
    setup::AppendUtf16Le(bytes, L"A\u00E9\U0001F600");
    EXPECT_EQ((std::vector<uint8_t>{0x41, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE}), bytes);
    EXPECT_EQ(L"A\u00E9\U0001F600", setup::WideFromUtf16Le(bytes.data(), bytes.size() / 2));
}

TEST(Utf16, OrdinalOrderOfCodeUnits) {
    EXPECT_LT(setup::CompareUtf16(L"a", L"ab"), 0);
    EXPECT_LT(setup::CompareUtf16(L"B", L"a"), 0);
    EXPECT_EQ(0, setup::CompareUtf16(L"abc", L"abc"));
    // U+1F600 is 0xD83D 0xDE00 in UTF-16: it sorts before U+FF21 although its
    // code point is larger.
    EXPECT_LT(setup::CompareUtf16(L"\U0001F600", L"\uFF21"), 0);
    EXPECT_GT(setup::CompareUtf16(L"x\uE000", L"x\U00010000"), 0);
    EXPECT_LT(setup::CompareUtf16(L"\U00010000", L"\U00010001"), 0);
}
