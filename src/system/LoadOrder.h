#pragma once
// Service load order: a service's configuration (tag, load-order group,
// program path) through the service control manager, the tag list of a
// load-order group under GroupOrderList, and the three moves the package
// installer makes with a service's tag.
//
// A service is passed as its opened ServiceHandle; the name it was opened
// under is used in log lines and messages.

#include <cstdint>
#include <string>
#include <vector>

#include "system/LoadOrderList.h"
#include "system/Services.h"

namespace setup {

uint32_t GetServiceTag(const ServiceHandle& service);
// Empty when the service belongs to no group.
std::wstring GetServiceLoadOrderGroup(const ServiceHandle& service);
std::wstring GetServiceBinaryPathName(const ServiceHandle& service);

// A missing or unreadable value is an empty list (logged), never an error.
LoadOrderList ReadLoadOrderList(const std::wstring& group);
void WriteLoadOrderList(const std::wstring& group, const LoadOrderList& tags);

// The tags of the named services in the order of the names. A name that
// cannot be opened or queried is logged and skipped.
std::vector<uint32_t> GetServiceTags(const std::wstring& names, const std::wstring& separator);

// Puts the service's tag first in its group's list, creating the list.
void MoveServiceToFront(const ServiceHandle& service);
// Puts the service's tag right after the services named in names (joined
// by "[~]"); leaves the list as it was when no anchor is found.
void MoveServiceAfter(const ServiceHandle& service, const std::wstring& names);
// Takes the service's tag out of its group's list; never creates the list.
void RemoveServiceFromLoadOrder(const ServiceHandle& service);

}  // namespace setup
