#include <gtest/gtest.h>

#include <string>

#include "tables/MultiString.h"

namespace {

struct Case {
    std::wstring current;
    std::wstring other;
    std::wstring expected;
};

}  // namespace

TEST(MultiString, Normalize) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"a[~]b", L"a[~]b"},       {L"[~]a[~][~]b[~]", L"a[~]b"}, {L"a", L"[~]a[~]"},
        {L"[~]a[~]", L"[~]a[~]"},   {L"", L"[~]"},                 {L"[~]", L"[~]"},
        {L"[~][~][~]", L"[~]"},     {L"a[~][~]", L"[~]a[~]"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(expected, setup::NormalizeMultiString(text));
    }
}

TEST(MultiString, Remove) {
    const Case cases[] = {
        {L"a[~]b[~]c", L"[~]b", L"a[~]c"},
        {L"a[~]b", L"[~]a[~]b[~]", L"[~]"},
        {L"a[~]b[~]c", L"a[~]c", L"a[~]b[~]c"},  // not contiguous: nothing removed
        {L"a[~]b[~]a", L"a", L"b[~]a"},          // only the first run
        {L"a[~]b", L"", L"a[~]b"},
        {L"a[~]b", L"B", L"a[~]b"},              // case-sensitive
        {L"svc", L"svc", L"[~]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.current + L" - " + c.other);
        EXPECT_EQ(c.expected, setup::RemoveMultiStringItems(c.current, c.other));
    }
}

TEST(MultiString, AppendAndPrepend) {
    EXPECT_EQ(L"a[~]b[~]c", setup::AppendMultiString(L"a[~]b", L"[~]c"));
    EXPECT_EQ(L"a[~]b[~]c", setup::AppendMultiString(L"a[~]b[~]c", L"[~]c"));
    EXPECT_EQ(L"a[~]c[~]b", setup::AppendMultiString(L"c[~]b[~]a", L"[~]c[~]b"));
    // Only a contiguous run of the added items is taken out first.
    EXPECT_EQ(L"b[~]a[~]c[~]b", setup::AppendMultiString(L"b[~]a", L"[~]c[~]b"));
    EXPECT_EQ(L"c[~]a[~]b", setup::PrependMultiString(L"a[~]b", L"c[~]"));
    EXPECT_EQ(L"c[~]a[~]b", setup::PrependMultiString(L"a[~]c[~]b", L"c[~]"));
    EXPECT_EQ(L"[~]c[~]", setup::AppendMultiString(L"", L"[~]c"));
}

// A one-item value now reads back as "[~]a[~]" and an empty one as "[~]"
// instead of "a" and "": every operation must give what it gave before.
TEST(MultiString, OneItemAndEmptyValuesGiveTheSameResults) {
    const std::pair<std::wstring, std::wstring> sameList[] = {{L"a", L"[~]a[~]"}, {L"", L"[~]"}, {L"#a", L"[~]#a[~]"}};
    const std::wstring operands[] = {L"[~]c", L"c[~]", L"[~]a", L"a[~]", L"[~]a[~]", L"a", L"", L"[~]"};
    for (const auto& [before, now] : sameList) {
        for (const std::wstring& operand : operands) {
            SCOPED_TRACE(now + L" with " + operand);
            EXPECT_EQ(setup::RemoveMultiStringItems(before, operand), setup::RemoveMultiStringItems(now, operand));
            EXPECT_EQ(setup::AppendMultiString(before, operand), setup::AppendMultiString(now, operand));
            EXPECT_EQ(setup::PrependMultiString(before, operand), setup::PrependMultiString(now, operand));
        }
    }
    EXPECT_EQ(L"a[~]c", setup::AppendMultiString(L"[~]a[~]", L"[~]c"));
    EXPECT_EQ(L"[~]", setup::RemoveMultiStringItems(L"[~]a[~]", L"a"));
}

TEST(MultiString, MergeFormOfAConfiguredValue) {
    using setup::MultiStringMerge;
    const std::pair<std::wstring, MultiStringMerge> cases[] = {
        {L"[~]c", MultiStringMerge::Append},     {L"[~]c[~]d", MultiStringMerge::Append},
        {L"c[~]", MultiStringMerge::Prepend},    {L"c[~]d[~]", MultiStringMerge::Prepend},
        {L"c", MultiStringMerge::Replace},       {L"[~]", MultiStringMerge::Replace},
        {L"[~]c[~]", MultiStringMerge::Replace}, {L"c[~]d", MultiStringMerge::Replace},
        {L"", MultiStringMerge::Replace},
    };
    for (const auto& [value, form] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(form, setup::GetMultiStringMerge(value));
    }
}

// A list whose first item starts with "#" must not read as a DWORD ("#a[~]b")
// or gain a "#" ("##a[~]b" keeps both): it is led by a separator, which the
// parser's join swallows.
TEST(MultiString, FirstItemStartingWithHashStaysAnItem) {
    EXPECT_EQ(L"[~]#a[~]b", setup::NormalizeMultiString(L"#a[~]b"));
    EXPECT_EQ(L"[~]#a[~]b", setup::NormalizeMultiString(L"[~]#a[~]b"));
    EXPECT_EQ(L"[~]#a[~]b[~]c", setup::AppendMultiString(L"[~]#a[~]b", L"[~]c"));
    EXPECT_EQ(L"[~]#c[~]#a[~]b", setup::PrependMultiString(L"[~]#a[~]b", L"#c[~]"));
    EXPECT_EQ(L"[~]b[~]", setup::RemoveMultiStringItems(L"[~]#a[~]b", L"#a"));
    EXPECT_EQ(L"[~]#b[~]", setup::RemoveMultiStringItems(L"a[~]#b", L"a"));
}
