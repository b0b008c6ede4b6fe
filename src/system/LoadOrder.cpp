#include "system/LoadOrder.h"

#include <limits>

#include "frame/Exception.h"
#include "frame/Handles.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "system/SharedValueLock.h"

namespace setup {

namespace {

constexpr wchar_t kGroupOrderListKey[] = L"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList";
constexpr wchar_t kNameSeparator[] = L"[~]";

[[noreturn]] void ThrowLastError(const std::wstring& message) {
    throw Exception(HResultFromWin32(GetLastError()), message, std::wstring());
}

[[noreturn]] void ThrowStatus(LSTATUS status, const std::wstring& message) {
    throw Exception(HResultFromWin32(static_cast<uint32_t>(status)), message, std::wstring());
}

// Hands the service's configuration to read() while its buffer lives.
template <class Read>
auto WithServiceConfig(const ServiceHandle& service, const std::wstring& failure, Read read) {
    DWORD needed = 0;
    // Only sizes the buffer: this call is expected to fail.
    QueryServiceConfigW(service.service->get(), nullptr, 0, &needed);
    UniqueLocalMemory buffer(LocalAlloc(LPTR, needed));
    if (!buffer) {
        ThrowLastError(failure);
    }
    auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(buffer.get());
    if (!QueryServiceConfigW(service.service->get(), config, needed, &needed)) {
        ThrowLastError(failure);
    }
    return read(*config);
}

std::wstring TextOrEmpty(const wchar_t* text) {
    return text != nullptr ? std::wstring(text) : std::wstring();
}

std::wstring RequireLoadOrderGroup(const ServiceHandle& service) {
    std::wstring group = GetServiceLoadOrderGroup(service);
    if (group.empty()) {
        throw ArgumentException(L"The service has no LoadOrderGroup.");
    }
    return group;
}

}  // namespace

uint32_t GetServiceTag(const ServiceHandle& service) {
    const uint32_t tag = WithServiceConfig(service, L"Failed to get tag of service: " + service.name,
                                           [](const QUERY_SERVICE_CONFIGW& config) { return static_cast<uint32_t>(config.dwTagId); });
    Log(L"The Tag of service '%s' is '%d'.", service.name, tag);
    return tag;
}

std::wstring GetServiceLoadOrderGroup(const ServiceHandle& service) {
    std::wstring group = WithServiceConfig(service, L"Failed to get LoadOrderGroup of service: " + service.name,
                                           [](const QUERY_SERVICE_CONFIGW& config) { return TextOrEmpty(config.lpLoadOrderGroup); });
    Log(L"The LoadOrderGroup of service '%s' is '%s'.", service.name, group);
    return group;
}

std::wstring GetServiceBinaryPathName(const ServiceHandle& service) {
    std::wstring path = WithServiceConfig(service, L"Failed to get BinaryPathName of service: " + service.name,
                                          [](const QUERY_SERVICE_CONFIGW& config) { return TextOrEmpty(config.lpBinaryPathName); });
    Log(L"The BinaryPathName of service '%s' is '%s'.", service.name, path);
    return path;
}

LoadOrderList ReadLoadOrderList(const std::wstring& group) {
    UniqueRegKey key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderListKey, 0, KEY_QUERY_VALUE, key.put());
    if (status != ERROR_SUCCESS) {
        ThrowStatus(status, L"Failed to open (query) load order list: " + group);
    }
    DWORD size = 0;
    status = RegQueryValueExW(key.get(), group.c_str(), nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        Log(L"Failed to read '%s' load order list.", group);
        return {};
    }
    if (size < 4) {
        Log(L"The %s' load order list is empty.", group);
        return {};
    }
    // The whole value is read, stray bytes after the last whole entry
    // included, so the query never writes past the buffer it was given.
    std::vector<uint8_t> bytes(size);
    DWORD read = size;
    status = RegQueryValueExW(key.get(), group.c_str(), nullptr, nullptr, bytes.data(), &read);
    if (status != ERROR_SUCCESS) {
        ThrowStatus(status, L"Failed to read load order list: " + group);
    }
    LoadOrderList tags = DecodeLoadOrderValue(bytes.data(), read < size ? read : size);
    Log(L"The %s' load order list is '%s'.", group, LoadOrderText(tags));
    return tags;
}

void WriteLoadOrderList(const std::wstring& group, const LoadOrderList& tags) {
    const std::vector<uint8_t> bytes = EncodeLoadOrderValue(tags);
    if (bytes.size() > std::numeric_limits<DWORD>::max()) {
        throw Exception(hresult::InvalidArg, L"Failed to write to load order list: " + group, std::wstring());
    }
    UniqueRegKey key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderListKey, 0, KEY_SET_VALUE, key.put());
    if (status != ERROR_SUCCESS) {
        ThrowStatus(status, L"Failed to open (set) load order list: " + group);
    }
    status = RegSetValueExW(key.get(), group.c_str(), 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    if (status != ERROR_SUCCESS) {
        ThrowStatus(status, L"Failed to write to load order list: " + group);
    }
    Log(L"The %s' load order list changed to '%s'.", group, LoadOrderText(tags));
}

std::vector<uint32_t> GetServiceTags(const std::wstring& names, const std::wstring& separator) {
    std::vector<uint32_t> tags;
    for (const std::wstring& name : SplitServiceNames(names, separator)) {
        try {
            tags.push_back(GetServiceTag(OpenServiceHandle(name)));
        } catch (const Exception& e) {
            Log(L"%s Error 0x%x.", e.Message(), e.Code());
        }
    }
    return tags;
}

void MoveServiceToFront(const ServiceHandle& service) {
    Log(L"Moving '%s' service to front.", service.name);
    const SharedValueLock lock(SharedValue::LoadOrderList);
    const std::wstring group = RequireLoadOrderGroup(service);
    const uint32_t tag = GetServiceTag(service);
    LoadOrderList list = ReadLoadOrderList(group);
    lock.Changing();
    MoveLoadOrderTagToFront(list, tag);
    WriteLoadOrderList(group, list);
}

void MoveServiceAfter(const ServiceHandle& service, const std::wstring& names) {
    Log(L"Moving '%s' service after '%s' in load order list.", service.name, names);
    // Held from the service queries to the write, so that a move of another
    // package thread in the same group is never written over.
    const SharedValueLock lock(SharedValue::LoadOrderList);
    const std::wstring group = RequireLoadOrderGroup(service);
    const uint32_t tag = GetServiceTag(service);
    LoadOrderList list = ReadLoadOrderList(group);
    lock.Changing();
    RemoveLoadOrderTag(list, tag);

    const std::vector<uint32_t> anchors = GetServiceTags(names, kNameSeparator);
    if (anchors.empty()) {
        Log(L"WARNING: The services '%s' are not register.", names);
        return;
    }
    const auto anchor = FindLoadOrderAnchor(list, anchors);
    if (!anchor) {
        Log(L"WARNING: The services '%s' are not register in '%s' in load order list.", names, group);
        return;
    }
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(*anchor + 1), tag);
    WriteLoadOrderList(group, list);
}

void RemoveServiceFromLoadOrder(const ServiceHandle& service) {
    Log(L"Remove '%s' service from load order list.", service.name);
    // The service queries are inside the lock too: Wine's service manager
    // fails concurrent configuration queries of one process with error 6.
    const SharedValueLock lock(SharedValue::LoadOrderList);
    const std::wstring group = GetServiceLoadOrderGroup(service);
    if (group.empty()) {
        return;
    }
    LoadOrderList list = ReadLoadOrderList(group);
    if (list.empty()) {
        return;
    }
    const uint32_t tag = GetServiceTag(service);
    lock.Changing();
    RemoveLoadOrderTag(list, tag);
    WriteLoadOrderList(group, list);
}

}  // namespace setup
