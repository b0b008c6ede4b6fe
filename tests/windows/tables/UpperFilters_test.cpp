#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "doubles/SharedValueWatchDouble.h"
#include "tables/DriverRegistryData.h"
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
    // The stored multi-string's items joined with "[~]"; "none" without a value.
    static std::wstring FilterItems() {
        const regtest::RawValue stored = Filters();
        if (!stored.exists) {
            return L"none";
        }
        EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), stored.type);
        std::wstring items;
        std::wstring item;
        for (std::size_t i = 0; i + 1 < stored.data.size(); i += 2) {
            const wchar_t c = static_cast<wchar_t>(stored.data[i] | (stored.data[i + 1] << 8));
            if (c != L'\0') {
                item.push_back(c);
            } else if (!item.empty()) {
                items += (items.empty() ? L"" : L"[~]") + item;
                item.clear();
            }
        }
        return items;
    }
};

TEST_F(UpperFilterTest, InstallWithoutClassKeyWritesTheFilterAlone) {
    const auto entry = setup::ConfigureUpperFilterInstall(Row(L"flt", L"other"));
    EXPECT_EQ(L"upf_flt", entry.id);
    EXPECT_EQ(2, entry.root);
    EXPECT_EQ(ClassKey(), entry.key);
    EXPECT_EQ(L"[~]flt[~]", entry.value);
    EXPECT_EQ(3, entry.action);
    EXPECT_TRUE(HasLine(L"The registry key '" + ClassKey() + L"' is not exist. Error 0x80070002."));
    EXPECT_TRUE(HasLine(L"Configured installation of upper filter " + ClassKey() + L", UpperFilters, [~]flt[~]. Action: 3."));

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
        EXPECT_EQ(3, entry.action);
        setup::ApplyDriverRegistry({entry});
        EXPECT_EQ(c.expected, FilterItems());
    }
    EXPECT_TRUE(HasLine(L"Insert driver 'flt' before b."));
}

// An empty class list and no list mean the same to Windows: the uninstall
// of the only filter deletes the value.
TEST_F(UpperFilterTest, UninstallTakesOutOnlyItsFilterAndDeletesAnEmptiedList) {
    SetFilters(std::wstring(L"flt\0\0", 5));
    const auto entry = setup::ConfigureUpperFilterUninstall(Row(L"flt"));
    EXPECT_EQ(L"[~]", entry.value);
    EXPECT_EQ(4, entry.action);
    setup::ApplyDriverRegistry({entry});
    EXPECT_EQ(L"none", FilterItems());

    SetFilters(std::wstring(L"a\0flt\0b\0\0", 9));
    const auto middle = setup::ConfigureUpperFilterUninstall(Row(L"flt"));
    EXPECT_EQ(L"a[~]b", middle.value);
    // A filter that came after the scheduling stays.
    SetFilters(std::wstring(L"a\0flt\0late\0b\0\0", 14));
    setup::ApplyDriverRegistry({middle});
    EXPECT_EQ(L"a[~]late[~]b", FilterItems());
}

// A class without "UpperFilters": install then uninstall, and install then
// rollback, both leave no value. Before, the rollback entry did nothing and
// the filter stayed in the list after its service was gone.
TEST_F(UpperFilterTest, ClassWithoutListEndsWithoutList) {
    WriteRaw(HKEY_LOCAL_MACHINE, ClassKey(), L"Class", REG_SZ, Utf16(std::wstring(L"x\0", 2)));
    const auto rollback = setup::ConfigureUpperFilterRollbackInstall(Row(L"flt"));
    EXPECT_EQ(5, rollback.action);
    EXPECT_TRUE(HasLine(L"The registry value '" + ClassKey() + L"\\UpperFilters' is not exist. Error 0x80070002."));
    EXPECT_TRUE(HasLine(L"Configured rollback installation of upper filter " + ClassKey() + L", UpperFilters, [~]. Action: 5."));
    const auto install = setup::ConfigureUpperFilterInstall(Row(L"flt"));

    setup::ApplyDriverRegistry({install});
    EXPECT_EQ(L"flt", FilterItems());
    setup::ApplyDriverRegistry({rollback});
    EXPECT_EQ(L"none", FilterItems());

    setup::ApplyDriverRegistry({install});
    setup::ApplyDriverRegistry({setup::ConfigureUpperFilterUninstall(Row(L"flt"))});
    EXPECT_EQ(L"none", FilterItems());

    // Nothing to take out: the uninstall and the rollback leave the class alone.
    setup::ApplyDriverRegistry({setup::ConfigureUpperFilterUninstall(Row(L"flt")), rollback});
    EXPECT_EQ(L"none", FilterItems());
    EXPECT_TRUE(HasLine(L"The registry value 'UpperFilters' keeps its items."));

    // The rollback of an uninstall that found no list reinstates the filter.
    const auto reinstate = setup::ConfigureUpperFilterRollbackUninstall(Row(L"flt"));
    EXPECT_EQ(L"[~]flt[~]", reinstate.value);
    EXPECT_EQ(3, reinstate.action);
    setup::ApplyDriverRegistry({reinstate});
    EXPECT_EQ(L"flt", FilterItems());
}

// Two rows of one package on one class (list "partmgr, tail" before), each
// configured while scheduling from the same list: after the install both
// filters are in at their place; after the uninstall the list is as before;
// the rollback gives it back exactly, and keeps a filter the machine added
// meanwhile. Before, the second row's whole list replaced the first's.
TEST_F(UpperFilterTest, TwoRowsOnOneClassKeepEachOther) {
    const std::wstring before = L"partmgr[~]tail";
    DriverUpperFilterEntry aux = Row(L"barsaux", L"partmgr");
    aux.id = L"aux";
    DriverUpperFilterEntry flt = Row(L"barsfilt", L"tail");
    flt.id = L"flt";
    const auto schedule = [&](auto configure) {
        SetFilters(std::wstring(L"partmgr\0tail\0\0", 14));
        return setup::DecodeRegistryEntries(setup::EncodeRegistryEntries({configure(aux), configure(flt)}));
    };
    const auto install = schedule(setup::ConfigureUpperFilterInstall);
    const auto rollback = schedule(setup::ConfigureUpperFilterRollbackInstall);

    setup::ApplyDriverRegistry(install);
    const std::wstring both = L"barsaux[~]partmgr[~]barsfilt[~]tail";
    EXPECT_EQ(both, FilterItems());
    setup::ApplyDriverRegistry(rollback);
    EXPECT_EQ(before, FilterItems());

    setup::ApplyDriverRegistry(install);
    WriteRaw(HKEY_LOCAL_MACHINE, ClassKey(), L"UpperFilters", REG_MULTI_SZ,
             Utf16(std::wstring(L"barsaux\0partmgr\0barsfilt\0tail\0late\0\0", 36)));
    setup::ApplyDriverRegistry(rollback);
    EXPECT_EQ(before + L"[~]late", FilterItems());

    SetFilters(std::wstring(L"partmgr\0tail\0\0", 14));
    setup::ApplyDriverRegistry(install);
    SetFilters(std::wstring(L"barsaux\0partmgr\0barsfilt\0tail\0\0", 31));
    const auto uninstall = setup::DecodeRegistryEntries(setup::EncodeRegistryEntries(
        {setup::ConfigureUpperFilterUninstall(aux), setup::ConfigureUpperFilterUninstall(flt)}));
    setup::ApplyDriverRegistry(uninstall);
    EXPECT_EQ(before, FilterItems());
}

// A filter that stood in the list at scheduling goes back to its place when
// the rollback of a reinstall runs, even though the install moved it.
TEST_F(UpperFilterTest, RollbackPutsAFilterFoundBackInItsPlace) {
    SetFilters(std::wstring(L"a\0flt\0b\0\0", 9));
    const auto rollback = setup::ConfigureUpperFilterRollbackInstall(Row(L"flt", L"a"));
    setup::ApplyDriverRegistry({setup::ConfigureUpperFilterInstall(Row(L"flt", L"a"))});
    EXPECT_EQ(L"flt[~]a[~]b", FilterItems());
    setup::ApplyDriverRegistry({rollback});
    EXPECT_EQ(L"a[~]flt[~]b", FilterItems());
}

// A one-item or empty list found at scheduling time is restored as a
// multi-string by the rollback of an install.
TEST_F(UpperFilterTest, RollbackOfInstallRestoresShortListsAsMultiStrings) {
    for (const std::wstring& found : {std::wstring(L"a\0\0", 3), std::wstring(L"\0", 1)}) {
        SCOPED_TRACE(found.size());
        SetFilters(found);
        const auto rollback = setup::ConfigureUpperFilterRollbackInstall(Row(L"flt"));
        ASSERT_EQ(5, rollback.action);
        setup::ApplyDriverRegistry({setup::ConfigureUpperFilterInstall(Row(L"flt"))});
        EXPECT_NE(Utf16(found), Filters().data);

        setup::ApplyDriverRegistry({rollback});
        const auto restored = Filters();
        EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), restored.type);
        const std::wstring expected = found.size() == 1 ? std::wstring(L"\0\0", 2) : found;
        EXPECT_EQ(Utf16(expected), restored.data);
    }
}

// Package threads changing one class list at the same time: each change is
// held open between its read and its write, so without the lock the threads
// would overlap and write back lists that miss each other's filter.
TEST_F(UpperFilterTest, ThreadsChangingOneListNeverOverlapOrLoseAFilter) {
    constexpr int kThreads = 4;
    SetFilters(std::wstring(L"partmgr\0\0", 9));
    ddtest::SharedValueWatchDouble watch;
    std::vector<std::exception_ptr> failures(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            try {
                DriverUpperFilterEntry row = Row(L"f" + std::to_wstring(i), L"partmgr");
                row.id = L"r" + std::to_wstring(i);
                setup::ApplyDriverRegistry({setup::ConfigureUpperFilterInstall(row)});
            } catch (...) {
                failures[i] = std::current_exception();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::exception_ptr& failure : failures) {
        EXPECT_FALSE(failure) << "a thread failed";
    }
    EXPECT_EQ(kThreads, watch.Changes());
    EXPECT_EQ(1, watch.MostAtOnce());
    const std::wstring items = FilterItems();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_NE(std::wstring::npos, items.find(L"f" + std::to_wstring(i) + L"[~]")) << ddtest::Narrow(items);
    }
    EXPECT_NE(std::wstring::npos, items.find(L"partmgr"));
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
    EXPECT_EQ(3, entry.action);
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
