#include "tables/RegistryAccess.h"

#include <optional>

#include "frame/Exception.h"
#include "frame/Handles.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "system/SharedValueLock.h"
#include "tables/EmptyKeyRule.h"
#include "tables/ListItemChange.h"
#include "tables/RegistryValueText.h"

namespace setup {

namespace {

bool IsNotFound(LSTATUS rc) { return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND; }

[[noreturn]] void ThrowRegistryFailure(LSTATUS rc, const std::wstring& message) {
    throw Exception(HResultFromWin32(static_cast<uint32_t>(rc)), message, std::wstring());
}

[[noreturn]] void ThrowLastError(const std::wstring& message) {
    throw Exception(HResultFromWin32(GetLastError()), message, std::wstring());
}

void LogLine(const std::wstring& line) { LogText(line); }

UniqueRegKey CreateKey(const DriverRegistryEntry& entry) {
    UniqueRegKey key;
    const LSTATUS rc = RegCreateKeyExW(RootToRegistryKey(entry.root), entry.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_WRITE, nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS) {
        ThrowRegistryFailure(rc, L"Failed to create registry key: " + entry.key);
    }
    Log(L"The registry key '%s' created.", entry.key);
    return key;
}

void WriteEntry(const DriverRegistryEntry& entry) {
    if (IsRegistryKeyEntry(entry)) {
        CreateKey(entry);
        return;
    }
    const UniqueRegKey key = CreateKey(entry);
    const RegistryValueData value = ParseRegistryValueAs(entry.value, entry.rawType, ReadRegistryValueFile);
    const LSTATUS rc = RegSetValueExW(key.get(), entry.name.c_str(), 0, value.type,
                                      value.data.empty() ? nullptr : value.data.data(), static_cast<DWORD>(value.data.size()));
    if (rc != ERROR_SUCCESS) {
        ThrowRegistryFailure(rc, L"Failed to install registry: " + entry.key + L"\\" + entry.name);
    }
    Log(L"The registry value '%s' installed. Data '%s'.", entry.name, entry.value);
}

// After its value went, the row's own key goes too when nothing at all is
// left in it; its parents stay whatever they hold. A key that cannot go is
// only a warning: the value, which was the row's work, is gone.
void RemoveKeyIfEmpty(const DriverRegistryEntry& entry) {
    const HKEY root = RootToRegistryKey(entry.root);
    {
        UniqueRegKey key;
        DWORD subkeys = 0;
        DWORD values = 0;
        if (RegOpenKeyExW(root, entry.key.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS ||
            RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr) != ERROR_SUCCESS ||
            subkeys != 0 || values != 0) {
            return;
        }
    }
    const LSTATUS rc = RegDeleteKeyW(root, entry.key.c_str());
    if (rc != ERROR_SUCCESS) {
        Log(L"Warning: Failed to remove the empty registry key '%s'. Error 0x%x.", entry.key,
            HResultFromWin32(static_cast<uint32_t>(rc)));
        return;
    }
    Log(L"The empty registry key '%s' removed.", entry.key);
}

void RemoveEntry(const DriverRegistryEntry& entry, const std::vector<RegistryKeyName>& keyEntries) {
    if (IsRegistryKeyEntry(entry)) {
        const LSTATUS rc = RegDeleteKeyW(RootToRegistryKey(entry.root), entry.key.c_str());
        if (rc != ERROR_SUCCESS) {
            ThrowRegistryFailure(rc, L"Failed to remove registry key: " + entry.key);
        }
        Log(L"The registry key '%s' removed.", entry.key);
        return;
    }
    UniqueRegKey key;
    LSTATUS rc = RegOpenKeyExW(RootToRegistryKey(entry.root), entry.key.c_str(), 0, KEY_SET_VALUE, key.put());
    if (IsNotFound(rc)) {
        Log(L"The registry key '%s' is not exist.", entry.key);
        return;
    }
    if (rc != ERROR_SUCCESS) {
        ThrowRegistryFailure(rc, L"Failed to open registry key: " + entry.key);
    }
    Log(L"The registry key '%s' opened.", entry.key);
    rc = RegDeleteValueW(key.get(), entry.name.c_str());
    if (IsNotFound(rc)) {
        Log(L"The registry value '%s' is not exist.", entry.name);
        return;
    }
    if (rc != ERROR_SUCCESS) {
        ThrowRegistryFailure(rc, L"Failed to remove registry: " + entry.key + L"\\" + entry.name);
    }
    Log(L"The registry value '%s' removed.", entry.name);
    key.reset();
    if (MayRemoveEmptyKey({entry.root, entry.key}, keyEntries)) {
        RemoveKeyIfEmpty(entry);
    }
}

// Under the lock of class lists, from the read to the write: two rows or two
// package threads on one list each see the other's item.
void ChangeListEntry(const DriverRegistryEntry& entry, const std::vector<RegistryKeyName>& keyEntries) {
    const SharedValueLock lock(SharedValue::ClassList);
    const std::optional<std::wstring> current = ReadListValue(entry);
    lock.Changing();
    ListResult result;
    switch (entry.action) {
        case registry_action::InsertItems:
            result = InsertListItems(entry.list, current, LogLine);
            break;
        case registry_action::RemoveItems:
            result = RemoveListItems(entry.list, current);
            break;
        default:
            result = RestoreListItems(entry.list, current);
            break;
    }
    DriverRegistryEntry changed = entry;
    changed.rawType.reset();
    switch (result.outcome) {
        case ListOutcome::Write:
            changed.value = result.value;
            WriteEntry(changed);
            break;
        case ListOutcome::Delete:
            RemoveEntry(changed, keyEntries);
            break;
        case ListOutcome::Keep:
            Log(L"The registry value '%s' keeps its items.", entry.name);
            break;
    }
}

void ApplyEntry(const DriverRegistryEntry& entry, const std::vector<RegistryKeyName>& keyEntries) {
    switch (entry.action) {
        case registry_action::Write:
            WriteEntry(entry);
            break;
        case registry_action::Remove:
            RemoveEntry(entry, keyEntries);
            break;
        case registry_action::InsertItems:
        case registry_action::RemoveItems:
        case registry_action::RestoreItems:
            ChangeListEntry(entry, keyEntries);
            break;
        default:
            Log(L"The operation of driver registry was not specified. Do nothing.");
            break;
    }
}

}  // namespace

HKEY RootToRegistryKey(int32_t root) {
    switch (root) {
        case registry_root::ClassesRoot:
            return HKEY_CLASSES_ROOT;
        case registry_root::CurrentUser:
        case registry_root::CurrentUserAlias:
            return HKEY_CURRENT_USER;
        case registry_root::LocalMachine:
            return HKEY_LOCAL_MACHINE;
        default:
            throw Exception(hresult::Fail, L"Incorrect registry root.", std::wstring());
    }
}

bool IsRegistryKeyEntry(const DriverRegistryEntry& entry) {
    const bool isKey = entry.value.empty() && (entry.name == L"+" || entry.name == L"*" || entry.name == L"-");
    if (isKey) {
        Log(L"The driver registry is registry key '%s'.", entry.key);
    }
    return isKey;
}

namespace {

struct FoundValue {
    bool isKey = false;
    DWORD type = 0;
    std::vector<uint8_t> data;
};

FoundValue ReadFoundValue(const DriverRegistryEntry& entry) {
    UniqueRegKey key;
    LSTATUS rc = RegOpenKeyExW(RootToRegistryKey(entry.root), entry.key.c_str(), 0, KEY_READ, key.put());
    if (IsNotFound(rc)) {
        ThrowRegistryFailure(rc, L"The registry key '" + entry.key + L"' is not exist.");
    }
    if (rc != ERROR_SUCCESS) {
        ThrowRegistryFailure(rc, L"Failed to open registry key " + entry.key);
    }
    FoundValue found;
    if (IsRegistryKeyEntry(entry)) {
        found.isKey = true;
        return found;
    }

    const std::wstring valuePath = entry.key + L"\\" + entry.name;
    DWORD type = 0;
    DWORD size = 0;
    rc = RegQueryValueExW(key.get(), entry.name.c_str(), nullptr, &type, nullptr, &size);
    if (IsNotFound(rc)) {
        ThrowRegistryFailure(rc, L"The registry value '" + valuePath + L"' is not exist.");
    }
    if (rc != ERROR_SUCCESS) {
        ThrowRegistryFailure(rc, L"Failed to query registry value " + valuePath);
    }
    std::vector<uint8_t> data(size);
    if (size != 0) {
        rc = RegQueryValueExW(key.get(), entry.name.c_str(), nullptr, &type, data.data(), &size);
        if (rc != ERROR_SUCCESS) {
            ThrowRegistryFailure(rc, L"Failed to query registry value " + valuePath);
        }
        data.resize(size);
    }
    found.type = type;
    found.data = std::move(data);
    return found;
}

}  // namespace

std::wstring ReadCurrentRegistryValue(const DriverRegistryEntry& entry) {
    const FoundValue found = ReadFoundValue(entry);
    return found.isKey ? entry.value : RegistryValueToText(found.type, found.data, LogLine);
}

RestoringValue ReadRestoringRegistryValue(const DriverRegistryEntry& entry) {
    const FoundValue found = ReadFoundValue(entry);
    return found.isKey ? RestoringValue{entry.value, std::nullopt}
                       : RegistryValueToRestoringText(found.type, found.data, LogLine);
}

std::vector<uint8_t> ReadRegistryValueFile(const std::wstring& path) {
    const UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        ThrowLastError(L"Filed to open file " + path);
    }
    const DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        ThrowLastError(L"Filed to read from file " + path);
    }
    Log(L"Size of file '%s' is %d bytes", path, static_cast<int32_t>(size));
    std::vector<uint8_t> data(size);
    if (size != 0) {
        DWORD read = 0;
        if (!ReadFile(file.get(), data.data(), size, &read, nullptr)) {
            ThrowLastError(L"Filed to read from file " + path);
        }
        data.resize(read);
    }
    return data;
}

FoundList ReadFoundList(const DriverRegistryEntry& entry) {
    FoundList list;
    try {
        const FoundValue found = ReadFoundValue(entry);
        list.state = FoundList::State::Value;
        list.text = found.isKey ? entry.value : RegistryValueToText(found.type, found.data, LogLine);
        list.listed = !found.isKey && found.type == REG_MULTI_SZ &&
                      !RegistryValueToRestoringText(found.type, found.data, LogLine).rawType;
    } catch (const Exception& e) {
        Log(L"%s Error 0x%x.", e.Message(), e.Code());
        const bool missing = e.Code() == HResultFromWin32(ERROR_FILE_NOT_FOUND) ||
                             e.Code() == HResultFromWin32(ERROR_PATH_NOT_FOUND);
        list.state = missing ? FoundList::State::Missing : FoundList::State::Unreadable;
    }
    return list;
}

std::optional<std::wstring> ReadListValue(const DriverRegistryEntry& entry) {
    try {
        return ReadCurrentRegistryValue(entry);
    } catch (const Exception& e) {
        if (e.Code() != HResultFromWin32(ERROR_FILE_NOT_FOUND) && e.Code() != HResultFromWin32(ERROR_PATH_NOT_FOUND)) {
            throw;
        }
        return std::nullopt;
    }
}

void ApplyRegistryEntry(const DriverRegistryEntry& entry) { ApplyEntry(entry, {}); }

namespace {

std::vector<RegistryKeyName> KeyEntryKeys(const std::vector<DriverRegistryEntry>& entries) {
    std::vector<RegistryKeyName> keys;
    for (const DriverRegistryEntry& entry : entries) {
        if (entry.value.empty() && (entry.name == L"+" || entry.name == L"*" || entry.name == L"-")) {
            keys.push_back({entry.root, entry.key});
        }
    }
    return keys;
}

// One entry, its failure logged and thrown again with the entry's id.
void ApplyListed(const DriverRegistryEntry& original, const std::vector<RegistryKeyName>& keyEntries) {
    const DriverRegistryEntry entry = original;
    try {
        ApplyEntry(entry, keyEntries);
    } catch (const Exception& e) {
        Log(L"%s, %s. Error 0x%x.", e.Message(), entry.id, e.Code());
        throw Exception(e.Code(), e.Message(), entry.id);
    } catch (...) {
        Log(L"Unknown exception occurred during '%s' driver registry execution.", entry.id);
        throw Exception(hresult::Fail, L"Unknown exception occurred during driver registry execution.", entry.id);
    }
}

}  // namespace

void ApplyDriverRegistry(const std::vector<DriverRegistryEntry>& entries) {
    const std::vector<RegistryKeyName> keyEntries = KeyEntryKeys(entries);
    for (const DriverRegistryEntry& entry : entries) {
        ApplyListed(entry, keyEntries);
    }
}

void RemoveDriverRegistry(const std::vector<DriverRegistryEntry>& entries) {
    const std::vector<RegistryKeyName> keyEntries = KeyEntryKeys(entries);
    std::optional<Exception> first;
    for (const DriverRegistryEntry& entry : entries) {
        try {
            ApplyListed(entry, keyEntries);
        } catch (const Exception& e) {
            if (!first) {
                first = e;
            }
        }
    }
    if (first) {
        throw *first;
    }
}

}  // namespace setup
