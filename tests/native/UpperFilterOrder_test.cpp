#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tables/UpperFilterOrder.h"

namespace {

setup::DriverUpperFilterEntry Row(const std::wstring& dependencies, uint32_t attributes) {
    setup::DriverUpperFilterEntry row;
    row.id = L"UpFlt";
    row.driverPackage = L"Pkg";
    row.classGuid = L"{4d36e967-e325-11ce-bfc1-08002be10318}";
    row.serviceName = L"flt";
    row.dependencies = dependencies;
    row.condition = L"0";
    row.attributes = attributes;
    return row;
}

}  // namespace

TEST(UpperFilterOrder, Insert) {
    const struct {
        std::wstring current;
        std::wstring dependencies;
        uint32_t attributes;
        std::wstring expected;
        std::wstring line;
    } cases[] = {
        {L"a[~]b[~]c", L"b", 0, L"a[~]flt[~]b[~]c", L"Insert driver 'flt' before b."},
        {L"a[~]b[~]c", L"a[~]b", 1, L"a[~]b[~]flt[~]c", L"Insert driver 'flt' before b."},
        {L"a[~]b[~]c", L"c[~]a", 0, L"flt[~]a[~]b[~]c", L"Insert driver 'flt' before a."},
        {L"a[~]b[~]c", L"x", 0, L"flt[~]a[~]b[~]c", L"Insert driver 'flt' to front of UpperFilters."},
        {L"a[~]b[~]c", L"x", 1, L"a[~]b[~]c[~]flt", L"Insert driver 'flt' to front of UpperFilters."},
        {L"a[~]b[~]c", L"", 0, L"flt[~]a[~]b[~]c", L"Insert driver 'flt' to front of UpperFilters."},
        {L"flt[~]a[~]b", L"b", 0, L"a[~]flt[~]b", L"Insert driver 'flt' before b."},
        {L"a[~]flt[~]b[~]flt", L"a", 1, L"a[~]flt[~]b", L"Insert driver 'flt' before a."},
        {L"", L"b", 0, L"[~]flt[~]", L"Insert driver 'flt' to front of UpperFilters."},
        {L"[~]", L"b", 1, L"[~]flt[~]", L"Insert driver 'flt' to front of UpperFilters."},
        {L"[~]a[~]", L"a", 1, L"a[~]flt", L"Insert driver 'flt' before a."},
        {L"a", L"a", 1, L"a[~]flt", L"Insert driver 'flt' before a."},
        {L"[~]flt[~]", L"", 0, L"[~]flt[~]", L"Insert driver 'flt' to front of UpperFilters."},
        {L"a[~][~]Flt", L"", 1, L"a[~]Flt[~]flt", L"Insert driver 'flt' to front of UpperFilters."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.current + L" deps " + c.dependencies);
        std::vector<std::wstring> lines;
        const std::wstring result = setup::InsertUpperFilter(Row(c.dependencies, c.attributes), c.current,
                                                             [&](const std::wstring& line) { lines.push_back(line); });
        EXPECT_EQ(c.expected, result);
        EXPECT_EQ(std::vector<std::wstring>{c.line}, lines);
    }
}

TEST(UpperFilterOrder, RegistryEntryOfARow) {
    const setup::DriverRegistryEntry entry = setup::UpperFilterToRegistryEntry(Row(L"b", 1));
    EXPECT_EQ(L"upf_UpFlt", entry.id);
    EXPECT_EQ(2, entry.root);
    EXPECT_EQ(L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e967-e325-11ce-bfc1-08002be10318}", entry.key);
    EXPECT_EQ(L"UpperFilters", entry.name);
    EXPECT_EQ(L"[~]", entry.value);
    EXPECT_EQ(L"Pkg", entry.driverPackage);
    EXPECT_EQ(L"0", entry.condition);
    EXPECT_EQ(0, entry.action);
}
