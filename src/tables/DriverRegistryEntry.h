#pragma once
// One registry key or value that belongs to a driver package, as read from
// the DriverRegistry table and carried through scheduling to execution.

#include <cstdint>
#include <optional>
#include <string>

#include "tables/ListItemChange.h"

namespace setup {

namespace registry_action {
constexpr int32_t None = 0;    // nothing is done at execution
constexpr int32_t Write = 1;   // create the key, and set the value of a value entry
constexpr int32_t Remove = 2;  // delete the key (key entry) or the value
// Item by item on a shared list value, worked out when the step runs (list).
constexpr int32_t InsertItems = 3;   // put the entry's items in at their place
constexpr int32_t RemoveItems = 4;   // take out only the entry's items
constexpr int32_t RestoreItems = 5;  // undo the entry's own install or uninstall
constexpr bool IsListChange(int32_t action) { return action >= InsertItems && action <= RestoreItems; }
}  // namespace registry_action

namespace registry_root {
constexpr int32_t ClassesRoot = 0;
constexpr int32_t CurrentUser = 1;
constexpr int32_t LocalMachine = 2;
constexpr int32_t CurrentUserAlias = 3;  // HKEY_CURRENT_USER as well, not HKEY_USERS
}  // namespace registry_root

struct DriverRegistryEntry {
    std::wstring id;             // DriverRegistry key, named in every log line
    int32_t root = 0;
    std::wstring key;            // subkey under the root
    std::wstring name;           // value name; "+", "*" or "-" with an empty value stand for the key
    std::wstring value;          // value text ("#x..", "#%..", "[~]" lists, ...)
    std::wstring driverPackage;  // owning DriverPackage key
    std::wstring condition;
    int32_t action = registry_action::None;
    // Empty: the registry type follows from the value text. Otherwise the
    // value is "#x" with the exact bytes, written under this type: how a
    // rollback restores a value found on the machine that no value text
    // describes. Only the rollback configurations set it; no row carries it.
    std::optional<uint32_t> rawType;
    // The items and what the scheduling found, for the list actions only.
    ListItemChange list;

    bool operator==(const DriverRegistryEntry&) const = default;
};

}  // namespace setup
