#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tables/EmptyKeyRule.h"

namespace {

using setup::RegistryKeyName;

TEST(EmptyKeyRule, OnlyTheRowsOwnKeyOutsideClassKeysAndKeyEntries) {
    const std::vector<RegistryKeyName> keyEntries = {{2, L"Software\\Vendor\\Keep"}, {1, L"Software\\UserKeep"}};
    struct Case {
        RegistryKeyName key;
        bool mayRemove;
    } const cases[] = {
        {{2, L"Software\\Vendor\\Driver"}, true},
        {{0, L"CLSID\\{0}\\Settings"}, true},
        // The root itself is never a row's key to remove.
        {{2, L""}, false},
        {{2, L"\\\\"}, false},
        // Device class keys and the folder of all classes, in any control set
        // and any spelling; keys below a class key are a row's own.
        {{2, L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e967-e325-11ce-bfc1-08002be10318}"}, false},
        {{2, L"system\\ControlSet001\\control\\CLASS\\{4D36E967-E325-11CE-BFC1-08002BE10318}\\"}, false},
        {{2, L"SYSTEM\\\\CurrentControlSet\\Control\\Class"}, false},
        {{2, L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e967-e325-11ce-bfc1-08002be10318}\\0000\\Params"}, true},
        {{1, L"SYSTEM\\CurrentControlSet\\Control\\Class\\{x}"}, true},  // not the machine's class key
        // A key entry's key, whatever its spelling; roots 1 and 3 are one key.
        {{2, L"software\\vendor\\KEEP\\"}, false},
        {{3, L"Software\\UserKeep"}, false},
        {{2, L"Software\\UserKeep"}, true},
        {{2, L"Software\\Vendor"}, true},  // the key entry's parent
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.key.key) + " root " + std::to_string(c.key.root));
        EXPECT_EQ(c.mayRemove, setup::MayRemoveEmptyKey(c.key, keyEntries));
    }
}

}  // namespace
