#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/ProcessOutput.h"

TEST(ProcessOutput, LogLinesSplitAtCarriageReturnLineFeedOnly) {
    using Lines = std::vector<std::wstring>;
    struct Case {
        const wchar_t* output;
        Lines lines;
    } const cases[] = {
        {L"a\r\n\r\nb", {L"a", L"b"}},
        {L"a\r\n", {L"a"}},
        {L"", {}},
        {L"\r\n\r\n", {}},
        {L"x\ny\rz\r\n", {L"x\ny\rz"}},
        {L"a\r\r\nb\n\r", {L"a\r", L"b\n\r"}},
        {L"one", {L"one"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.output)));
        EXPECT_EQ(c.lines, setup::SplitOutputLines(c.output));
    }
}
