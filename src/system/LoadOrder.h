#pragma once
// Service load order: a service's configuration (tag, load-order group,
// program path) through the service control manager, the tag list of a
// load-order group under GroupOrderList, and the three moves the package
// installer makes with a service's tag.
//
// A service is passed as its opened handle (SERVICE_ALL_ACCESS) and the name
// it was opened under; the name is used in log lines and messages.

#include <windows.h>
#include <winsvc.h>

#include <cstdint>
#include <string>
#include <vector>

#include "system/LoadOrderList.h"

namespace setup {

uint32_t GetServiceTag(SC_HANDLE service, const std::wstring& serviceName);
// Empty when the service belongs to no group.
std::wstring GetServiceLoadOrderGroup(SC_HANDLE service, const std::wstring& serviceName);
std::wstring GetServiceBinaryPathName(SC_HANDLE service, const std::wstring& serviceName);

// A missing or unreadable value is an empty list (logged), never an error.
LoadOrderList ReadLoadOrderList(const std::wstring& group);
void WriteLoadOrderList(const std::wstring& group, const LoadOrderList& tags);

// The tags of the named services in the order of the names. A name that
// cannot be opened or queried is logged and skipped.
std::vector<uint32_t> GetServiceTags(const std::wstring& names, const std::wstring& separator);

// Puts the service's tag first in its group's list, creating the list.
void MoveServiceToFront(SC_HANDLE service, const std::wstring& serviceName);
// Puts the service's tag right after the services named in names (joined
// by "[~]"); leaves the list as it was when no anchor is found.
void MoveServiceAfter(SC_HANDLE service, const std::wstring& serviceName, const std::wstring& names);
// Takes the service's tag out of its group's list; never creates the list.
void RemoveServiceFromLoadOrder(SC_HANDLE service, const std::wstring& serviceName);

}  // namespace setup
