#include <gtest/gtest.h>

#include <string>

#include "system/RecoveryImageText.h"

namespace {

using End = setup::RecoveryImageLocation::End;

TEST(RecoveryImageText, LocationOfTheImageInTheLocateOutput) {
    struct Case {
        const wchar_t* output;
        End end;
        const wchar_t* location;
    } const cases[] = {
        // As reagentc writes it: the location line ends in CR LF, more lines follow.
        {L"Windows RE status:         Enabled\r\n"
         L"    Windows RE location:       \\\\?\\GLOBALROOT\\device\\harddisk0\\partition4\\Recovery\\WindowsRE\r\n"
         L"    Boot Configuration Data (BCD) identifier: 1\r\n",
         End::LineEnd, L"\\\\?\\GLOBALROOT\\device\\harddisk0\\partition4\\Recovery\\WindowsRE"},
        // No line feed after the marker: the location runs to the end, a line
        // feed before the marker does not count.
        {L"status\r\nlocation: \\\\?\\GLOBALROOT\\device\\x\\Recovery", End::EndOfOutput,
         L"\\\\?\\GLOBALROOT\\device\\x\\Recovery"},
        {L"\\\\?\\GLOBALROOT\\a\r", End::EndOfOutput, L"\\\\?\\GLOBALROOT\\a\r"},
        {L"\\\\?\\GLOBALROOT", End::EndOfOutput, L"\\\\?\\GLOBALROOT"},
        // The first marker counts.
        {L"a \\\\?\\GLOBALROOT\\one\r\nb \\\\?\\GLOBALROOT\\two\r\n", End::LineEnd, L"\\\\?\\GLOBALROOT\\one"},
        {L"\\\\?\\GLOBALROOT\r\n", End::LineEnd, L"\\\\?\\GLOBALROOT"},
        // A bare line feed keeps the location whole; of two carriage returns
        // only the one of the line end goes.
        {L"\\\\?\\GLOBALROOT\\a\nrest", End::LineEnd, L"\\\\?\\GLOBALROOT\\a"},
        {L"\\\\?\\GLOBALROOT\n", End::LineEnd, L"\\\\?\\GLOBALROOT"},
        {L"\\\\?\\GLOBALROOT\\a\r\r\n", End::LineEnd, L"\\\\?\\GLOBALROOT\\a\r"},
        // No marker: nothing.
        {L"Windows RE status:         Disabled\r\n", End::MarkerMissing, L""},
        {L"", End::MarkerMissing, L""},
        {L"\\\\?\\GLOBALROO\r\n", End::MarkerMissing, L""},
        {L"\\\\?\\globalroot\\a\r\n", End::MarkerMissing, L""},
        {L"\\?\\GLOBALROOT\\a\r\n", End::MarkerMissing, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.output)));
        const setup::RecoveryImageLocation found = setup::FindRecoveryImageLocation(c.output);
        EXPECT_EQ(static_cast<int>(c.end), static_cast<int>(found.end));
        EXPECT_EQ(c.location, found.location);
    }
}

// Only a published name may reach dism's removal: anything else a folder
// holds, or a name that wildcard matching lets through, is left alone.
TEST(RecoveryImageText, PublishedInfNames) {
    struct Case {
        const wchar_t* name;
        bool published;
    };
    const Case cases[] = {
        {L"oem0.inf", true},       {L"oem12.inf", true},    {L"OEM3.INF", true},     {L"Oem45.Inf", true},
        {L"oem.inf", false},       {L"oem1.inf_", false},   {L"oem1.infx", false},   {L"oem1a.inf", false},
        {L"oem 1.inf", false},     {L"xoem1.inf", false},   {L"oem1.pnf", false},    {L"mydrv.inf", false},
        {L"oem-1.inf", false},     {L"oem1..inf", false},   {L"", false},            {L".inf", false},
        {L"oem1.inf\\x", false},   {L"..\\oem1.inf", false}, {L"oem\\1.inf", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::wstring(L"'") + c.name + L"'");
        EXPECT_EQ(c.published, setup::IsPublishedInfName(c.name));
    }
}

}  // namespace
