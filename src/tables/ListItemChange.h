#pragma once
// Item-by-item changes of a list value that several writers share: a device
// class's "UpperFilters" and the multi-strings that DriverRegistry rows merge
// into. The new list is worked out from the value as it is when the step
// runs, so whatever other rows, packages or the machine did to it since the
// scheduling survives; an entry only ever moves its own items.

#include <cstdint>
#include <optional>
#include <string>

#include "frame/LogLineSink.h"

namespace setup {

namespace list_placement {
constexpr int32_t BeforeFirstDependency = 1;  // an upper filter without attribute 0x1
constexpr int32_t AfterLastDependency = 2;    // an upper filter with attribute 0x1
constexpr int32_t Append = 3;                 // a "[~]c" merge
constexpr int32_t Prepend = 4;                // a "c[~]" merge
}  // namespace list_placement

struct ListItemChange {
    std::wstring items;         // the entry's own items, "[~]" text
    int32_t placement = 0;      // how an insert places them (list_placement)
    std::wstring dependencies;  // "[~]" text: the services an upper filter is placed against
    // What the scheduling found, so that a rollback undoes only its own step.
    bool valueFound = false;    // the value existed
    bool itemsFound = false;    // the items stood in it, as one run
    std::wstring previous;      // the item right before them; empty when they led the list
    int32_t position = 0;       // index of their first item among the non-empty ones

    bool operator==(const ListItemChange&) const = default;
};

// The change with what the value held at scheduling time recorded in it;
// nullopt: the value (or its key) was not there.
ListItemChange WithListFound(ListItemChange change, const std::optional<std::wstring>& found);

enum class ListOutcome { Keep, Write, Delete };

struct ListResult {
    ListOutcome outcome = ListOutcome::Keep;
    std::wstring value;  // the list to write ("[~]" text) when outcome is Write
};

// Puts the items in at their place in the list as it is now (a missing value
// is an empty list). Upper filters log "Insert driver ..." as they are placed.
ListResult InsertListItems(const ListItemChange& change, const std::optional<std::wstring>& current,
                           const LogLineSink& log);
// Takes out only the entry's own run; a list left without items is deleted.
ListResult RemoveListItems(const ListItemChange& change, const std::optional<std::wstring>& current);
// Undoes the entry's install or uninstall: the run goes back where the
// scheduling found it, or is taken out when it was not there; the value is
// deleted only when it did not exist then and has no items now.
ListResult RestoreListItems(const ListItemChange& change, const std::optional<std::wstring>& current);

}  // namespace setup
