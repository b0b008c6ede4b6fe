#pragma once
// Placing a filter service in a class's "UpperFilters" list, and the registry
// entry through which the new list is written.

#include <string>

#include "frame/LogLineSink.h"
#include "tables/DriverRegistryEntry.h"
#include "tables/DriverUpperFilterEntry.h"

namespace setup {

// The entry that rewrites the class's "UpperFilters" value: id "upf_" + row
// key, HKEY_LOCAL_MACHINE, value "[~]" and action 0 until configured.
DriverRegistryEntry UpperFilterToRegistryEntry(const DriverUpperFilterEntry& row);

// The current list with the row's service placed in front of the first
// dependency found (or after the last one, with the attribute bit), or at the
// front (end) when none is there; an earlier place of the service is dropped.
// Logs "Insert driver '%s' before %s." or "Insert driver '%s' to front of UpperFilters.".
std::wstring InsertUpperFilter(const DriverUpperFilterEntry& row, const std::wstring& current, const LogLineSink& log);

}  // namespace setup
