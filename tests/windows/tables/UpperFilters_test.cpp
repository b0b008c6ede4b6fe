#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tables/RegistryAccess.h"
#include "tables/UpperFilters.h"
#include "windows/tables/RegistryTestSupport.h"

namespace {

using regtest::Bytes;
using regtest::ReadRaw;
using regtest::Utf16;
using regtest::WriteRaw;
using setup::DriverUpperFilterEntry;

constexpr wchar_t kClassRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr wchar_t kGuid[] = L"{6D3A1B2C-4E5F-4A7B-9C8D-1E2F3A4B5C6D}";

std::wstring ClassKey() { return std::wstring(kClassRoot) + kGuid; }

DriverUpperFilterEntry Row(const std::wstring& service, const std::wstring& dependencies = L"", uint32_t attributes = 0) {
    DriverUpperFilterEntry row;
    row.id = L"flt";
    row.driverPackage = L"pkg";
    row.classGuid = kGuid;
    row.serviceName = service;
    row.dependencies = dependencies;
    row.attributes = attributes;
    return row;
}

ddtest::TableText UpperFilterTable(const std::vector<std::vector<std::string>>& rows) {
    return ddtest::MakeTable("DriverUpperFilter",
                             {"DriverUpperFilter", "ClassGuid", "ServiceName", "Dependencies", "Attributes", "DriverPackage_",
                              "Condition"},
                             {"s72", "s38", "s72", "S255", "I4", "s72", "S255"}, {"DriverUpperFilter"}, rows);
}

class UpperFilterTest : public regtest::SessionTest {
protected:
    void SetUp() override { StartSession({}); }
    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey().c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, ClassKey().c_str());
        regtest::SessionTest::TearDown();
    }
    static void SetFilters(const std::wstring& items) {
        WriteRaw(HKEY_LOCAL_MACHINE, ClassKey(), L"UpperFilters", REG_MULTI_SZ, Utf16(items));
    }
    static regtest::RawValue Filters() { return ReadRaw(HKEY_LOCAL_MACHINE, ClassKey(), L"UpperFilters"); }
};

TEST_F(UpperFilterTest, InstallWithoutClassKeyWritesTheFilterAlone) {
    const auto entry = setup::ConfigureUpperFilterInstall(Row(L"flt", L"other"));
    EXPECT_EQ(L"upf_flt", entry.id);
    EXPECT_EQ(2, entry.root);
    EXPECT_EQ(ClassKey(), entry.key);
    EXPECT_EQ(L"[~]flt[~]", entry.value);
    EXPECT_EQ(1, entry.action);
    EXPECT_TRUE(HasLine(L"The registry key '" + ClassKey() + L"' is not exist. Error 0x80070002."));
    EXPECT_TRUE(HasLine(L"Configured installation of upper filter " + ClassKey() + L", UpperFilters, [~]flt[~]. Action: 1."));

    setup::ApplyDriverRegistry({entry});
    const auto stored = Filters();
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), stored.type);
    EXPECT_EQ(Utf16(std::wstring(L"flt\0\0", 5)), stored.data);
}

TEST_F(UpperFilterTest, InstallPlacesTheFilterInTheListFound) {
    struct Case {
        std::wstring current;
        std::wstring dependencies;
        uint32_t attributes;
        std::wstring expected;
    };
    const std::vector<Case> cases = {
        {std::wstring(L"a\0b\0c\0\0", 7), L"b", 0, L"a[~]flt[~]b[~]c"},
        {std::wstring(L"a\0b\0c\0\0", 7), L"a[~]b", 1, L"a[~]b[~]flt[~]c"},
        {std::wstring(L"a\0flt\0b\0\0", 9), L"x", 1, L"a[~]b[~]flt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.expected));
        SetFilters(c.current);
        const auto entry = setup::ConfigureUpperFilterInstall(Row(L"flt", c.dependencies, c.attributes));
        EXPECT_EQ(c.expected, entry.value);
        EXPECT_EQ(1, entry.action);
    }
    EXPECT_TRUE(HasLine(L"Insert driver 'flt' before b."));
}

TEST_F(UpperFilterTest, UninstallOfTheOnlyItemWritesAnEmptyList) {
    SetFilters(std::wstring(L"flt\0\0", 5));
    const auto entry = setup::ConfigureUpperFilterUninstall(Row(L"flt"));
    EXPECT_EQ(L"[~]", entry.value);
    EXPECT_EQ(1, entry.action);
    setup::ApplyDriverRegistry({entry});
    const auto stored = Filters();
    ASSERT_TRUE(stored.exists);
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), stored.type);
    EXPECT_EQ(Utf16(std::wstring(L"\0\0", 2)), stored.data);

    SetFilters(std::wstring(L"a\0flt\0b\0\0", 9));
    EXPECT_EQ(L"a[~]b", setup::ConfigureUpperFilterUninstall(Row(L"flt")).value);
}

TEST_F(UpperFilterTest, MissingListOnUninstallOrRollbackOfInstallDoesNothing) {
    const auto uninstall = setup::ConfigureUpperFilterUninstall(Row(L"flt"));
    EXPECT_EQ(0, uninstall.action);
    const auto rollback = setup::ConfigureUpperFilterRollbackInstall(Row(L"flt"));
    EXPECT_EQ(0, rollback.action);
    EXPECT_TRUE(HasLine(L"Configured rollback installation of upper filter " + ClassKey() + L", UpperFilters, [~]. Action: 0."));

    // The class key without the value: the rollback of an uninstall writes the filter alone.
    WriteRaw(HKEY_LOCAL_MACHINE, ClassKey(), L"Class", REG_SZ, Utf16(std::wstring(L"x\0", 2)));
    const auto reinstate = setup::ConfigureUpperFilterRollbackUninstall(Row(L"flt"));
    EXPECT_EQ(L"[~]flt[~]", reinstate.value);
    EXPECT_EQ(1, reinstate.action);
    EXPECT_TRUE(HasLine(L"The registry value '" + ClassKey() + L"\\UpperFilters' is not exist. Error 0x80070002."));

    setup::ApplyDriverRegistry({rollback});
    EXPECT_FALSE(Filters().exists);
    EXPECT_TRUE(HasLine(L"The operation of driver registry was not specified. Do nothing."));
}

// A one-item or empty list found at scheduling time is restored as a
// multi-string by the rollback of an install.
TEST_F(UpperFilterTest, RollbackOfInstallRestoresShortListsAsMultiStrings) {
    for (const std::wstring& found : {std::wstring(L"a\0\0", 3), std::wstring(L"\0", 1)}) {
        SCOPED_TRACE(found.size());
        SetFilters(found);
        const auto rollback = setup::ConfigureUpperFilterRollbackInstall(Row(L"flt"));
        ASSERT_EQ(1, rollback.action);
        setup::ApplyDriverRegistry({setup::ConfigureUpperFilterInstall(Row(L"flt"))});
        EXPECT_NE(Utf16(found), Filters().data);

        setup::ApplyDriverRegistry({rollback});
        const auto restored = Filters();
        EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), restored.type);
        const std::wstring expected = found.size() == 1 ? std::wstring(L"\0\0", 2) : found;
        EXPECT_EQ(Utf16(expected), restored.data);
    }
}

class UpperFilterTableTest : public regtest::SessionTest {};

TEST_F(UpperFilterTableTest, ReadsRowsAndConfiguresFalseConditionsAlike) {
    const std::string guid = ddtest::Narrow(kGuid);
    StartSession({UpperFilterTable({{"f1", guid, "flt", "a[~]b", "1", "pkg1", "0"},
                                    {"f2", guid, "flt2", "", "", "pkg1", ""},
                                    {"f3", guid, "flt3", "", "", "pkg2", ""}})});
    const auto rows = setup::DriverUpperFilterTable().RowsOf(L"pkg1");
    ASSERT_EQ(2u, rows.size());
    DriverUpperFilterEntry f1 = Row(L"flt", L"a[~]b", 1);
    f1.id = L"f1";
    f1.driverPackage = L"pkg1";
    f1.condition = L"0";
    EXPECT_EQ(f1, rows[0]);
    EXPECT_EQ(L"f2", rows[1].id);
    EXPECT_EQ(0u, rows[1].attributes);
    EXPECT_TRUE(HasLine(L"The upper filter row 'f1' was successfully read."));

    // The condition is false, yet the row is configured and carried along.
    const auto entry = setup::ConfigureUpperFilterInstall(rows[0]);
    EXPECT_EQ(1, entry.action);
    EXPECT_EQ(L"0", entry.condition);
    EXPECT_EQ(L"[~]flt[~]", entry.value);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, ClassKey().c_str());
}

TEST_F(UpperFilterTableTest, MissingTableGivesNoRows) {
    StartSession({});
    EXPECT_TRUE(setup::DriverUpperFilterTable().RowsOf(L"pkg1").empty());
}

TEST_F(UpperFilterTableTest, RowKeyWithRegistryListSeparatorIsRejected) {
    StartSession({UpperFilterTable({{"f<1", ddtest::Narrow(kGuid), "flt", "", "", "pkg1", ""}})});
    const auto e = ddtest::CatchSetupException([] { setup::DriverUpperFilterTable().RowsOf(L"pkg1"); });
    EXPECT_EQ(static_cast<int32_t>(0x8007000D), e.Code());
    EXPECT_EQ(L"Failed to validate the DriverUpperFilter row 'f<1'. Its key contains the reserved character '<'.", e.Message());
}

}  // namespace
