#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tables/DriverRegistry.h"
#include "tables/DriverRegistryData.h"
#include "tables/RegistryAccess.h"
#include "windows/tables/RegistryTestSupport.h"

namespace {

using regtest::Bytes;
using regtest::ReadRaw;
using regtest::Utf16;
using regtest::WriteRaw;
using setup::DriverRegistryEntry;

constexpr int32_t kNotFound = static_cast<int32_t>(0x80070002);
constexpr int32_t kFail = static_cast<int32_t>(0x80004005);
constexpr wchar_t kBase[] = L"Software\\ddtest\\registry";

DriverRegistryEntry Entry(const std::wstring& id, int32_t root, const std::wstring& key, const std::wstring& name,
                          const std::wstring& value, int32_t action = 0) {
    DriverRegistryEntry entry;
    entry.id = id;
    entry.root = root;
    entry.key = key;
    entry.name = name;
    entry.value = value;
    entry.driverPackage = L"pkg";
    entry.action = action;
    return entry;
}

ddtest::TableText RegistryTable(const std::vector<std::vector<std::string>>& rows) {
    return ddtest::MakeTable("DriverRegistry", {"DriverRegistry", "Root", "Key", "Name", "Value", "DriverPackage_", "Condition"},
                             {"s72", "I2", "s255", "S255", "S255", "s72", "S255"}, {"DriverRegistry"}, rows);
}

class DriverRegistryTest : public regtest::SessionTest {
protected:
    void SetUp() override { StartSession({}, {{"PROP", "val"}}); }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kBase);
        regtest::SessionTest::TearDown();
    }
    static std::wstring Key(const std::wstring& sub) { return std::wstring(kBase) + L"\\" + sub; }
};

// Install values that start or end with "[~]" merge with the multi-string
// found on the machine; the merged list is what execution writes.
TEST_F(DriverRegistryTest, InstallMergesWithTheValueOnTheMachine) {
    struct Case {
        Bytes current;
        std::wstring configured;
        std::wstring expectedText;
        Bytes expectedStored;
    };
    const std::vector<Case> cases = {
        {Utf16(std::wstring(L"a\0b\0\0", 5)), L"[~]c", L"a[~]b[~]c", Utf16(std::wstring(L"a\0b\0c\0\0", 7))},
        {Utf16(std::wstring(L"a\0b\0\0", 5)), L"c[~]", L"c[~]a[~]b", Utf16(std::wstring(L"c\0a\0b\0\0", 7))},
        {Utf16(std::wstring(L"a\0b\0c\0\0", 7)), L"[~]c", L"a[~]b[~]c", Utf16(std::wstring(L"a\0b\0c\0\0", 7))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.configured));
        WriteRaw(HKEY_CURRENT_USER, Key(L"merge"), L"list", REG_MULTI_SZ, c.current);
        const DriverRegistryEntry configured =
            setup::ConfigureRegistryInstall(Entry(L"r", 1, Key(L"merge"), L"list", c.configured));
        EXPECT_EQ(c.expectedText, configured.value);
        EXPECT_EQ(3, configured.action);
        setup::ApplyRegistryEntry(configured);
        const auto stored = ReadRaw(HKEY_CURRENT_USER, Key(L"merge"), L"list");
        EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), stored.type);
        EXPECT_EQ(c.expectedStored, stored.data);
    }
    EXPECT_TRUE(HasLine(L"Configured installation of driver registry " + Key(L"merge") + L", list. Action: 3."));
}

TEST_F(DriverRegistryTest, InstallWithoutValueOrKeyKeepsTheConfiguredText) {
    WriteRaw(HKEY_CURRENT_USER, Key(L"present"), L"other", REG_SZ, Utf16(std::wstring(L"x\0", 2)));
    const auto noValue = setup::ConfigureRegistryInstall(Entry(L"r", 1, Key(L"present"), L"list", L"[~]c"));
    EXPECT_EQ(L"[~]c", noValue.value);
    EXPECT_EQ(3, noValue.action);
    EXPECT_TRUE(HasLine(L"The registry value '" + Key(L"present") + L"\\list' is not exist. Error 0x80070002."));

    const auto noKey = setup::ConfigureRegistryInstall(Entry(L"r", 1, Key(L"absent"), L"list", L"c[~]"));
    EXPECT_EQ(L"c[~]", noKey.value);
    EXPECT_EQ(3, noKey.action);
    EXPECT_TRUE(HasLine(L"The registry key '" + Key(L"absent") + L"' is not exist. Error 0x80070002."));

    // Written as the multi-string holding c alone.
    setup::ApplyRegistryEntry(noValue);
    const auto stored = ReadRaw(HKEY_CURRENT_USER, Key(L"present"), L"list");
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), stored.type);
    EXPECT_EQ(Utf16(std::wstring(L"c\0\0", 3)), stored.data);
}

TEST_F(DriverRegistryTest, UninstallRemovesItemsAndDeletesAnEmptiedList) {
    WriteRaw(HKEY_CURRENT_USER, Key(L"u"), L"abc", REG_MULTI_SZ, Utf16(std::wstring(L"a\0b\0c\0\0", 7)));
    WriteRaw(HKEY_CURRENT_USER, Key(L"u"), L"ab", REG_MULTI_SZ, Utf16(std::wstring(L"a\0b\0\0", 5)));

    const auto partial = setup::ConfigureRegistryUninstall(Entry(L"r1", 1, Key(L"u"), L"abc", L"[~]b"));
    EXPECT_EQ(L"a[~]c", partial.value);
    EXPECT_EQ(4, partial.action);
    const auto whole = setup::ConfigureRegistryUninstall(Entry(L"r2", 1, Key(L"u"), L"ab", L"[~]a[~]b[~]"));
    EXPECT_EQ(L"[~]", whole.value);
    EXPECT_EQ(4, whole.action);
    const auto missing = setup::ConfigureRegistryUninstall(Entry(L"r3", 1, Key(L"u"), L"none", L"[~]x"));
    EXPECT_EQ(L"[~]x", missing.value);
    EXPECT_EQ(4, missing.action);
    EXPECT_TRUE(HasLine(L"The registry value '" + Key(L"u") + L"\\none' is not exist. Error 0x80070002."));
    EXPECT_TRUE(HasLine(L"Configured uninstallation of driver registry " + Key(L"u") + L", ab. Action: 4."));

    setup::ApplyDriverRegistry({partial, whole, missing});
    EXPECT_EQ(Utf16(std::wstring(L"a\0c\0\0", 5)), ReadRaw(HKEY_CURRENT_USER, Key(L"u"), L"abc").data);
    EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, Key(L"u"), L"ab").exists);
    EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, Key(L"u"), L"none").exists);
    EXPECT_TRUE(HasLine(L"The registry value 'none' keeps its items."));
}

// Two rows merging into one multi-string, configured together while the
// value holds other items (or does not exist): after the install both items
// are in, and the uninstall and the rollback each take out only their own,
// while an item that the machine added meanwhile stays. The value is deleted
// only when it did not exist before.
TEST_F(DriverRegistryTest, TwoRowsMergingIntoOneValueKeepEachOthersItems) {
    const Bytes before = Utf16(std::wstring(L"a\0b\0\0", 5));
    for (const bool existed : {true, false}) {
        SCOPED_TRACE(existed ? "value existed" : "no value before");
        RegDeleteTreeW(HKEY_CURRENT_USER, kBase);
        if (existed) {
            WriteRaw(HKEY_CURRENT_USER, Key(L"two"), L"list", REG_MULTI_SZ, before);
        }
        const std::vector<DriverRegistryEntry> rows = {Entry(L"r1", 1, Key(L"two"), L"list", L"[~]x"),
                                                       Entry(L"r2", 1, Key(L"two"), L"list", L"y[~]")};
        std::vector<DriverRegistryEntry> install;
        std::vector<DriverRegistryEntry> rollback;
        for (const DriverRegistryEntry& row : rows) {
            install.push_back(setup::ConfigureRegistryInstall(row));
            rollback.push_back(setup::ConfigureRegistryRollbackInstall(row));
        }
        // Through the CustomActionData text, as scheduled data travels.
        install = setup::DecodeRegistryEntries(setup::EncodeRegistryEntries(install));
        rollback = setup::DecodeRegistryEntries(setup::EncodeRegistryEntries(rollback));

        setup::ApplyDriverRegistry(install);
        const Bytes installed = existed ? Utf16(std::wstring(L"y\0a\0b\0x\0\0", 9)) : Utf16(std::wstring(L"y\0x\0\0", 5));
        EXPECT_EQ(installed, ReadRaw(HKEY_CURRENT_USER, Key(L"two"), L"list").data);

        std::vector<DriverRegistryEntry> uninstall;
        for (const DriverRegistryEntry& row : rows) {
            uninstall.push_back(setup::ConfigureRegistryUninstall(row));
        }
        setup::ApplyDriverRegistry(uninstall);
        const auto removed = ReadRaw(HKEY_CURRENT_USER, Key(L"two"), L"list");
        EXPECT_EQ(existed, removed.exists);
        if (existed) {
            EXPECT_EQ(before, removed.data);
        }

        // Installed again, and the machine adds "m" before the rollback runs.
        setup::ApplyDriverRegistry(install);
        const Bytes withM = existed ? Utf16(std::wstring(L"y\0a\0b\0x\0m\0\0", 11)) : Utf16(std::wstring(L"y\0x\0m\0\0", 7));
        WriteRaw(HKEY_CURRENT_USER, Key(L"two"), L"list", REG_MULTI_SZ, withM);
        setup::ApplyDriverRegistry(rollback);
        const Bytes kept = existed ? Utf16(std::wstring(L"a\0b\0m\0\0", 7)) : Utf16(std::wstring(L"m\0\0", 3));
        EXPECT_EQ(kept, ReadRaw(HKEY_CURRENT_USER, Key(L"two"), L"list").data);

        // Without the machine's item, the rollback gives back exactly what was there.
        RegDeleteTreeW(HKEY_CURRENT_USER, kBase);
        if (existed) {
            WriteRaw(HKEY_CURRENT_USER, Key(L"two"), L"list", REG_MULTI_SZ, before);
        }
        setup::ApplyDriverRegistry(install);
        setup::ApplyDriverRegistry(rollback);
        if (existed) {
            EXPECT_EQ(before, ReadRaw(HKEY_CURRENT_USER, Key(L"two"), L"list").data);
        } else {
            EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, Key(L"two"), L"list").exists);
        }
    }
}

TEST_F(DriverRegistryTest, RollbackConfigurationsRestoreWhatWasFound) {
    WriteRaw(HKEY_CURRENT_USER, Key(L"rb"), L"n", REG_DWORD, {0x2A, 0, 0, 0});

    const auto restore = setup::ConfigureRegistryRollbackInstall(Entry(L"r", 1, Key(L"rb"), L"n", L"#7"));
    EXPECT_EQ(L"#42", restore.value);
    EXPECT_EQ(1, restore.action);
    const auto remove = setup::ConfigureRegistryRollbackInstall(Entry(L"r", 1, Key(L"rb"), L"new", L"#7"));
    EXPECT_EQ(2, remove.action);
    EXPECT_TRUE(HasLine(L"Configured rollback installation of driver registry " + Key(L"rb") + L", new. Action: 2."));

    const auto reinstate = setup::ConfigureRegistryRollbackUninstall(Entry(L"r", 1, Key(L"rb"), L"new", L"#7"));
    EXPECT_EQ(L"#7", reinstate.value);
    EXPECT_EQ(1, reinstate.action);
    const auto found = setup::ConfigureRegistryRollbackUninstall(Entry(L"r", 1, Key(L"rb"), L"n", L"#7"));
    EXPECT_EQ(L"#42", found.value);
    EXPECT_EQ(1, found.action);
}

// What a rollback restores is exactly what was found: strings stored without
// their terminating NUL keep their last character, and lists of one item or
// none stay multi-strings.
TEST_F(DriverRegistryTest, RollbackRoundTripRestoresTheValueFound) {
    struct Case {
        const char* label;
        DWORD type;
        Bytes found;
        std::wstring text;
        DWORD restoredType;
        Bytes restored;
    };
    const std::vector<Case> cases = {
        {"sz without NUL", REG_SZ, Utf16(L"abc"), L"abc", REG_SZ, Utf16(std::wstring(L"abc\0", 4))},
        {"sz with NUL", REG_SZ, Utf16(std::wstring(L"abc\0", 4)), L"abc", REG_SZ, Utf16(std::wstring(L"abc\0", 4))},
        {"expand without NUL", REG_EXPAND_SZ, Utf16(L"%TEMP%\\x"), L"#%%TEMP%\\x", REG_EXPAND_SZ,
         Utf16(std::wstring(L"%TEMP%\\x\0", 9))},
        {"multi without NULs", REG_MULTI_SZ, Utf16(std::wstring(L"a\0b", 3)), L"a[~]b", REG_MULTI_SZ,
         Utf16(std::wstring(L"a\0b\0\0", 5))},
        {"multi of one item", REG_MULTI_SZ, Utf16(std::wstring(L"a\0\0", 3)), L"[~]a[~]", REG_MULTI_SZ,
         Utf16(std::wstring(L"a\0\0", 3))},
        {"multi of no item", REG_MULTI_SZ, Utf16(std::wstring(L"\0", 1)), L"[~]", REG_MULTI_SZ,
         Utf16(std::wstring(L"\0\0", 2))},
        {"multi of no bytes", REG_MULTI_SZ, Bytes(), L"[~]", REG_MULTI_SZ, Utf16(std::wstring(L"\0\0", 2))},
        {"sz starting with #", REG_SZ, Utf16(std::wstring(L"#x\0", 3)), L"##x", REG_SZ, Utf16(std::wstring(L"#x\0", 3))},
        {"binary", REG_BINARY, {0x01, 0xAB}, L"#x01AB", REG_BINARY, {0x01, 0xAB}},
        {"dword -1", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, L"#-1", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        WriteRaw(HKEY_CURRENT_USER, Key(L"trip"), L"v", c.type, c.found);
        const DriverRegistryEntry configured = Entry(L"r", 1, Key(L"trip"), L"v", L"replacement");
        const auto rollback = setup::ConfigureRegistryRollbackInstall(configured);
        EXPECT_EQ(c.text, rollback.value);
        ASSERT_EQ(1, rollback.action);

        setup::ApplyRegistryEntry(setup::ConfigureRegistryInstall(configured));
        ASSERT_EQ(static_cast<DWORD>(REG_SZ), ReadRaw(HKEY_CURRENT_USER, Key(L"trip"), L"v").type);
        setup::ApplyRegistryEntry(rollback);
        const auto restored = ReadRaw(HKEY_CURRENT_USER, Key(L"trip"), L"v");
        EXPECT_EQ(c.restoredType, restored.type);
        EXPECT_EQ(c.restored, restored.data);
    }
}

// Values that no value text describes come back exactly: the rollback entry
// is configured from the machine, travels through its CustomActionData text
// as rollback data does, and after the install changed the value it puts
// back the type and bytes found.
TEST_F(DriverRegistryTest, RollbackRestoresValuesTheTextCannotDescribe) {
    struct Case {
        const char* label;
        DWORD type;
        Bytes found;
    };
    const std::vector<Case> cases = {
        {"sz holding [~]", REG_SZ, Utf16(std::wstring(L"a[~]b\0", 6))},
        {"sz of [~] alone", REG_SZ, Utf16(std::wstring(L"[~]\0", 4))},
        {"multi item holding [~]", REG_MULTI_SZ, Utf16(std::wstring(L"x[~]y\0z\0\0", 9))},
        {"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    using Configure = DriverRegistryEntry (*)(const DriverRegistryEntry&);
    for (const Configure configure : {setup::ConfigureRegistryRollbackInstall, setup::ConfigureRegistryRollbackUninstall}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            WriteRaw(HKEY_CURRENT_USER, Key(L"raw"), L"v", c.type, c.found);
            const DriverRegistryEntry configured = Entry(L"r", 1, Key(L"raw"), L"v", L"replacement");
            const std::vector<DriverRegistryEntry> rollback =
                setup::DecodeRegistryEntries(setup::EncodeRegistryEntries({configure(configured)}));
            ASSERT_EQ(1u, rollback.size());
            ASSERT_EQ(1, rollback[0].action);
            EXPECT_EQ(std::optional<uint32_t>(c.type), rollback[0].rawType);

            setup::ApplyRegistryEntry(setup::ConfigureRegistryInstall(configured));
            ASSERT_EQ(static_cast<DWORD>(REG_SZ), ReadRaw(HKEY_CURRENT_USER, Key(L"raw"), L"v").type);
            setup::ApplyDriverRegistry(rollback);
            const auto restored = ReadRaw(HKEY_CURRENT_USER, Key(L"raw"), L"v");
            EXPECT_EQ(c.type, restored.type);
            EXPECT_EQ(c.found, restored.data);
        }
    }
}

TEST_F(DriverRegistryTest, KeyEntriesCreateAndDeleteTheKey) {
    for (const wchar_t* name : {L"+", L"*", L"-"}) {
        SCOPED_TRACE(ddtest::Narrow(name));
        const std::wstring key = Key(L"keyentry");
        session_->ClearMessages();
        setup::ApplyRegistryEntry(Entry(L"k", 1, key, name, L"", 1));
        EXPECT_TRUE(regtest::KeyExists(HKEY_CURRENT_USER, key));
        EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, key, name).exists);
        EXPECT_TRUE(HasLine(L"The driver registry is registry key '" + key + L"'."));
        EXPECT_TRUE(HasLine(L"The registry key '" + key + L"' created."));

        setup::ApplyRegistryEntry(Entry(L"k", 1, key, name, L"", 2));
        EXPECT_FALSE(regtest::KeyExists(HKEY_CURRENT_USER, key));
        EXPECT_TRUE(HasLine(L"The registry key '" + key + L"' removed."));

        const auto e = ddtest::CatchSetupException([&] { setup::ApplyRegistryEntry(Entry(L"k", 1, key, name, L"", 2)); });
        EXPECT_EQ(kNotFound, e.Code());
        EXPECT_EQ(L"Failed to remove registry key: " + key, e.Message());
    }
}

TEST_F(DriverRegistryTest, ValueRemovalSucceedsWhenKeyOrValueIsMissing) {
    setup::ApplyRegistryEntry(Entry(L"r", 1, Key(L"nokey"), L"v", L"x", 2));
    EXPECT_TRUE(HasLine(L"The registry key '" + Key(L"nokey") + L"' is not exist."));

    WriteRaw(HKEY_CURRENT_USER, Key(L"has"), L"v", REG_SZ, Utf16(std::wstring(L"x\0", 2)));
    setup::ApplyRegistryEntry(Entry(L"r", 1, Key(L"has"), L"w", L"x", 2));
    EXPECT_TRUE(HasLine(L"The registry value 'w' is not exist."));
    setup::ApplyRegistryEntry(Entry(L"r", 1, Key(L"has"), L"v", L"x", 2));
    EXPECT_TRUE(HasLine(L"The registry value 'v' removed."));
    EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, Key(L"has"), L"v").exists);
    // Its last value gone, the row's key goes with it.
    EXPECT_FALSE(regtest::KeyExists(HKEY_CURRENT_USER, Key(L"has")));

    setup::ApplyRegistryEntry(Entry(L"r", 1, Key(L"has"), L"v", L"x", 0));
    EXPECT_TRUE(HasLine(L"The operation of driver registry was not specified. Do nothing."));
}

// The row's own key goes once its value is removed and nothing else is in
// it; never its parent, never a key that holds anything else, and never the
// key of a key entry of the same list, which removes (and must find) it.
TEST_F(DriverRegistryTest, RemovingAValueTakesTheRowsKeyOnlyWhenNothingElseIsLeft) {
    const std::wstring own = Key(L"parent\\own");
    const std::wstring shared = Key(L"shared");
    const std::wstring withSub = Key(L"withsub");
    const std::wstring keyed = Key(L"keyed");
    for (const std::wstring& key : {own, shared, withSub, keyed}) {
        WriteRaw(HKEY_CURRENT_USER, key, L"v", REG_SZ, Utf16(std::wstring(L"x\0", 2)));
    }
    WriteRaw(HKEY_CURRENT_USER, shared, L"other", REG_SZ, Utf16(std::wstring(L"y\0", 2)));
    WriteRaw(HKEY_CURRENT_USER, withSub + L"\\sub", L"other", REG_SZ, Utf16(std::wstring(L"y\0", 2)));

    setup::ApplyDriverRegistry({Entry(L"own", 1, own, L"v", L"x", 2), Entry(L"shared", 1, shared, L"v", L"x", 2),
                                Entry(L"withsub", 1, withSub, L"v", L"x", 2), Entry(L"keyed", 1, keyed, L"v", L"x", 2),
                                Entry(L"keyentry", 3, keyed, L"+", L"", 2)});

    EXPECT_FALSE(regtest::KeyExists(HKEY_CURRENT_USER, own));
    EXPECT_TRUE(HasLine(L"The empty registry key '" + own + L"' removed."));
    EXPECT_TRUE(regtest::KeyExists(HKEY_CURRENT_USER, Key(L"parent")));
    EXPECT_TRUE(ReadRaw(HKEY_CURRENT_USER, shared, L"other").exists);
    EXPECT_TRUE(ReadRaw(HKEY_CURRENT_USER, withSub + L"\\sub", L"other").exists);
    EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, withSub, L"v").exists);
    // Removed by its key entry, not as an emptied key.
    EXPECT_FALSE(regtest::KeyExists(HKEY_CURRENT_USER, keyed));
    EXPECT_TRUE(HasLine(L"The registry key '" + keyed + L"' removed."));
    EXPECT_FALSE(HasLine(L"The empty registry key '" + keyed + L"' removed."));
}

// A removal finishes its list: the entries after a failing one still go,
// and the first failure is thrown at the end with its entry's id.
TEST_F(DriverRegistryTest, RemovalAppliesEveryEntryPastAFailingOne) {
    WriteRaw(HKEY_CURRENT_USER, Key(L"later"), L"v", REG_SZ, Utf16(std::wstring(L"x\0", 2)));
    const auto e = ddtest::CatchSetupException([&] {
        setup::RemoveDriverRegistry({Entry(L"missingkey", 1, Key(L"nokey"), L"+", L"", 2),
                                     Entry(L"later", 1, Key(L"later"), L"v", L"x", 2)});
    });
    EXPECT_EQ(kNotFound, e.Code());
    EXPECT_EQ(L"Failed to remove registry key: " + Key(L"nokey"), e.Message());
    EXPECT_EQ(L"missingkey", e.Details());
    EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, Key(L"later"), L"v").exists);
}

TEST_F(DriverRegistryTest, RootCodes) {
    setup::ApplyRegistryEntry(Entry(L"r", 3, Key(L"root3"), L"v", L"#42", 1));
    EXPECT_EQ((Bytes{0x2A, 0, 0, 0}), ReadRaw(HKEY_CURRENT_USER, Key(L"root3"), L"v").data);
    EXPECT_EQ(HKEY_CURRENT_USER, setup::RootToRegistryKey(1));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, setup::RootToRegistryKey(2));
    EXPECT_EQ(HKEY_CLASSES_ROOT, setup::RootToRegistryKey(0));

    for (int32_t root : {4, -1}) {
        const auto e = ddtest::CatchSetupException([&] { setup::ApplyRegistryEntry(Entry(L"r", root, Key(L"x"), L"v", L"a", 1)); });
        EXPECT_EQ(kFail, e.Code());
        EXPECT_EQ(L"Incorrect registry root.", e.Message());
    }
    // Scheduling an installation stops at such a row, naming it, before the script could fail halfway.
    const auto configured = ddtest::CatchSetupException(
        [&] { setup::ConfigureRegistryInstall(Entry(L"r", 4, Key(L"x"), L"v", L"[~]c")); });
    EXPECT_EQ(kFail, configured.Code());
    EXPECT_EQ(L"Incorrect registry root of driver registry: r", configured.Message());
    EXPECT_EQ(L"r", configured.Details());
}

// The lenient parser would write 0 for "#twelve" and a saturated number for
// an overflow; such rows stop the scheduling. Well-formed values and keys pass.
TEST_F(DriverRegistryTest, InstallOfAMalformedNumberIsRefusedWhenScheduled) {
    for (const wchar_t* value : {L"#twelve", L"#12abc", L"#", L"#99999999999", L"#x0g"}) {
        SCOPED_TRACE(value);
        const auto e = ddtest::CatchSetupException(
            [&] { setup::ConfigureRegistryInstall(Entry(L"bad", 2, Key(L"x"), L"v", value)); });
        EXPECT_EQ(static_cast<int32_t>(0x80070057), e.Code());
        EXPECT_EQ(L"Incorrect value of driver registry: bad", e.Message());
        EXPECT_EQ(L"bad", e.Details());
    }
    EXPECT_EQ(L"#-12", setup::ConfigureRegistryInstall(Entry(L"ok", 2, Key(L"x"), L"v", L"#-12")).value);
    EXPECT_EQ(L"", setup::ConfigureRegistryInstall(Entry(L"key", 2, Key(L"x"), L"+", L"")).value);
}

TEST_F(DriverRegistryTest, FirstFailingEntryStopsTheList) {
    const std::vector<DriverRegistryEntry> entries = {
        Entry(L"first", 1, Key(L"list"), L"a", L"1", 1),
        Entry(L"broken", 4, Key(L"list"), L"b", L"2", 1),
        Entry(L"third", 1, Key(L"list"), L"c", L"3", 1),
    };
    const auto e = ddtest::CatchSetupException([&] { setup::ApplyDriverRegistry(entries); });
    EXPECT_EQ(kFail, e.Code());
    EXPECT_EQ(L"Incorrect registry root.", e.Message());
    EXPECT_EQ(L"broken", e.Details());
    EXPECT_TRUE(ReadRaw(HKEY_CURRENT_USER, Key(L"list"), L"a").exists);
    EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, Key(L"list"), L"c").exists);
    EXPECT_TRUE(HasLine(L"Incorrect registry root., broken. Error 0x80004005."));
}

TEST_F(DriverRegistryTest, FileValuesWriteTheFileContents) {
    const std::wstring file = dir_ / L"blob.bin";
    ddtest::WriteBinaryFile(file, {0x00, 0x10, 0xFF});
    const std::wstring empty = dir_ / L"empty.bin";
    ddtest::WriteBinaryFile(empty, {});

    setup::ApplyRegistryEntry(Entry(L"r", 1, Key(L"file"), L"blob", L"#v" + file, 1));
    const auto blob = ReadRaw(HKEY_CURRENT_USER, Key(L"file"), L"blob");
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), blob.type);
    EXPECT_EQ((Bytes{0x00, 0x10, 0xFF}), blob.data);
    EXPECT_TRUE(HasLine(L"Size of file '" + file + L"' is 3 bytes"));

    setup::ApplyRegistryEntry(Entry(L"r", 1, Key(L"file"), L"empty", L"#v" + empty, 1));
    const auto none = ReadRaw(HKEY_CURRENT_USER, Key(L"file"), L"empty");
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), none.type);
    EXPECT_TRUE(none.data.empty());

    const std::wstring missing = dir_ / L"missing.bin";
    const auto e = ddtest::CatchSetupException(
        [&] { setup::ApplyRegistryEntry(Entry(L"r", 1, Key(L"file"), L"m", L"#v" + missing, 1)); });
    EXPECT_EQ(kNotFound, e.Code());
    EXPECT_EQ(L"Filed to open file " + missing, e.Message());
}

TEST_F(DriverRegistryTest, SelectionRulesFollowTheCondition) {
    struct Case {
        std::wstring condition;
        bool passes;
        int result;
    };
    for (const Case& c : std::vector<Case>{{L"", true, 2}, {L"PROP=\"val\"", true, 1}, {L"PROP=\"other\"", false, 0}}) {
        SCOPED_TRACE(ddtest::Narrow(c.condition));
        auto entry = Entry(L"cond", 1, Key(L"c"), L"v", L"x");
        entry.condition = c.condition;
        session_->ClearMessages();
        EXPECT_EQ(c.passes, setup::ShouldInstallDriverRegistry(entry));
        EXPECT_EQ(c.passes, setup::ShouldUninstallDriverRegistry(entry));
        if (c.passes) {
            EXPECT_TRUE(HasLine(L"Need to install 'cond' driver registry."));
            EXPECT_TRUE(HasLine(L"Need to uninstall 'cond' driver registry."));
        } else {
            EXPECT_TRUE(HasLine(L"Skip installation of driver registry 'cond'. Condition is '0'."));
            EXPECT_TRUE(HasLine(L"Skip uninstallation of driver registry 'cond'. Condition is '0'."));
        }
    }
}

class DriverRegistryTableTest : public regtest::SessionTest {};

TEST_F(DriverRegistryTableTest, ReadsThePackagesRowsWithFormattedNameAndValue) {
    StartSession({RegistryTable({{"a", "1", "Software\\[PROP]", "[PROP]", "#[PROP]", "pkg1", "PROP"},
                                 {"b", "", "Software\\k", "+", "", "pkg1", ""},
                                 {"c", "2", "Software\\other", "n", "v", "pkg2", ""}})},
                 {{"PROP", "42"}});
    setup::DriverRegistryTable table;
    const auto entries = table.RowsOf(L"pkg1");
    ASSERT_EQ(2u, entries.size());
    DriverRegistryEntry a = Entry(L"a", 1, L"Software\\[PROP]", L"42", L"#42");
    a.driverPackage = L"pkg1";
    a.condition = L"PROP";
    EXPECT_EQ(a, entries[0]);
    DriverRegistryEntry b = Entry(L"b", 0, L"Software\\k", L"+", L"");
    b.driverPackage = L"pkg1";
    EXPECT_EQ(b, entries[1]);
    EXPECT_TRUE(HasLine(L"The registry row 'a' was successfully read."));
    EXPECT_FALSE(HasLine(L"The registry row 'c' was successfully read."));
    EXPECT_TRUE(table.RowsOf(L"none").empty());
    // The one read of the table serves every package.
    const auto other = table.RowsOf(L"pkg2");
    ASSERT_EQ(1u, other.size());
    EXPECT_EQ(L"c", other[0].id);
    EXPECT_EQ(L"pkg2", other[0].driverPackage);
}

TEST_F(DriverRegistryTableTest, MissingTableGivesNoRows) {
    StartSession({});
    EXPECT_TRUE(setup::DriverRegistryTable().RowsOf(L"pkg1").empty());
}

TEST_F(DriverRegistryTableTest, RowKeyWithListSeparatorIsRejected) {
    for (const char* key : {"a>b", "a<b"}) {
        SCOPED_TRACE(key);
        StartSession({RegistryTable({{key, "1", "Software\\k", "n", "v", "pkg1", ""}})});
        const auto e = ddtest::CatchSetupException([] { setup::DriverRegistryTable().RowsOf(L"pkg1"); });
        EXPECT_EQ(static_cast<int32_t>(0x8007000D), e.Code());
        const std::wstring wideKey = ddtest::Widen(key);
        EXPECT_EQ(L"Failed to validate the DriverRegistry row '" + wideKey + L"'. Its key contains the reserved character '" +
                      wideKey.substr(1, 1) + L"'.",
                  e.Message());
    }
}

TEST_F(DriverRegistryTableTest, RowOfAnotherPackageIsCheckedOnlyWhenThatPackageReadsIt) {
    StartSession({RegistryTable({{"a>b", "1", "Software\\k", "n", "v", "pkg2", ""},
                                 {"c", "1", "Software\\k", "n", "v", "pkg1", ""}})});
    setup::DriverRegistryTable table;
    ASSERT_EQ(1u, table.RowsOf(L"pkg1").size());
    const auto e = ddtest::CatchSetupException([&table] { table.RowsOf(L"pkg2"); });
    EXPECT_EQ(static_cast<int32_t>(0x8007000D), e.Code());
}

}  // namespace
