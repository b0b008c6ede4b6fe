#include "system/Services.h"

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Log.h"

namespace setup {

namespace {

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\services";

int32_t StatusHResult(LSTATUS status) { return HResultFromWin32(static_cast<uint32_t>(status)); }

int32_t LastErrorHResult() { return HResultFromWin32(GetLastError()); }

[[noreturn]] void Fail(int32_t code, const std::wstring& message) { throw Exception(code, message, std::wstring()); }

LSTATUS OpenServiceKey(const std::wstring& name, REGSAM access, UniqueRegKey& key) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, GetServiceKeyPath(name).c_str(), 0, access, key.put());
}

// A DWORD-sized value; anything longer fails with ERROR_MORE_DATA.
LSTATUS QueryDword(HKEY key, const wchar_t* value, DWORD& data) {
    DWORD size = sizeof(data);
    return RegQueryValueExW(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
}

LSTATUS SetDword(HKEY key, const wchar_t* value, DWORD data) {
    return RegSetValueExW(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
}

thread_local ServiceManagerScope* t_managerScope = nullptr;

}  // namespace

ServiceManagerScope::ServiceManagerScope() : outer_(t_managerScope) { t_managerScope = this; }

ServiceManagerScope::~ServiceManagerScope() { t_managerScope = outer_; }

std::wstring GetServiceKeyPath(const std::wstring& name) { return std::wstring(kServicesKey) + L"\\" + name; }

bool DoesServiceExist(const std::wstring& name) {
    if (name.empty()) {
        Log(L"DoesServiceExist: The service name is empty.");
        return false;
    }
    UniqueRegKey key;
    const LSTATUS status = OpenServiceKey(name, KEY_QUERY_VALUE, key);
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND) {
            Log(L"Failed to open service key %s. Error 0x%x.", name, StatusHResult(status));
        }
        return false;
    }
    DWORD start = 0;
    if (QueryDword(key.get(), L"Start", start) != ERROR_SUCCESS) {
        return false;
    }
    Log(L"The service %s exist.", name);
    return true;
}

bool IsServiceMarkedForDeletion(const std::wstring& name) {
    if (!DoesServiceExist(name)) {
        return false;
    }
    UniqueRegKey key;
    if (OpenServiceKey(name, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD flag = 0;
    if (QueryDword(key.get(), L"DeleteFlag", flag) == ERROR_SUCCESS && flag == 1) {
        Log(L"The service %s is marked for deletion.", name);
        return true;
    }
    Log(L"The service %s is not marked for deletion.", name);
    return false;
}

void AddServiceDeleteFlag(const std::wstring& name) {
    if (!DoesServiceExist(name)) {
        return;
    }
    UniqueRegKey key;
    LSTATUS status = OpenServiceKey(name, KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS) {
        Fail(StatusHResult(status), L"Failed to open service key: " + name);
    }
    status = SetDword(key.get(), L"DeleteFlag", 1);
    if (status != ERROR_SUCCESS) {
        Fail(StatusHResult(status), L"Failed to write DeleteFlag for service: " + name);
    }
    Log(L"Added DeleteFlag to '%s' service.", name);
}

void RemoveServiceDeleteFlag(const std::wstring& name) {
    if (!IsServiceMarkedForDeletion(name)) {
        return;
    }
    UniqueRegKey key;
    LSTATUS status = OpenServiceKey(name, KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS) {
        Fail(StatusHResult(status), L"Failed to open service key: " + name);
    }
    status = RegDeleteValueW(key.get(), L"DeleteFlag");
    if (status != ERROR_SUCCESS) {
        Fail(StatusHResult(status), L"Failed to remove DeleteFlag for service: " + name);
    }
    Log(L"The DeleteFlag was removed for '%s' service.", name);
}

ServiceHandle OpenServiceHandle(const std::wstring& name) {
    ServiceHandle handle;
    handle.name = name;
    if (name.empty()) {
        throw ArgumentException(L"The service name is empty.");
    }
    ServiceManagerScope* const scope = t_managerScope;
    if (scope != nullptr && scope->manager_) {
        handle.manager = scope->manager_;
    } else {
        // Enumeration is the least the manager must grant for OpenServiceW.
        handle.manager = std::make_shared<UniqueServiceHandle>(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
        if (!*handle.manager) {
            const int32_t code = LastErrorHResult();
            Fail(code, L"Failed to open service control manager.");
        }
        if (scope != nullptr) {
            scope->manager_ = handle.manager;
        }
    }
    handle.service = std::make_shared<UniqueServiceHandle>(OpenServiceW(handle.manager->get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!*handle.service) {
        const int32_t code = LastErrorHResult();
        Fail(code, L"Failed to open service: " + name);
    }
    return handle;
}

void StartService(const ServiceHandle& service) {
    Log(L"StartService: '%s'", service.name);
    if (StartServiceW(service.service->get(), 0, nullptr)) {
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING) {
        Log(L"The service '%s' is already running.", service.name);
        return;
    }
    Fail(HResultFromWin32(error), L"Failed to start service: " + service.name);
}

void StopService(const ServiceHandle& service) {
    Log(L"StopService: '%s'.", service.name);
    constexpr DWORD control = SERVICE_CONTROL_STOP;
    SERVICE_STATUS status = {};
    if (!ControlService(service.service->get(), control, &status)) {
        const int32_t code = LastErrorHResult();
        Fail(code, L"Failed to set state '" + std::to_wstring(control) + L"' of service " + service.name);
    }
}

void DeleteService(const ServiceHandle& service) {
    Log(L"DeleteService: '%s'.", service.name);
    if (::DeleteService(service.service->get())) {
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
        Log(L"The specified service has already been marked for deletion.");
        return;
    }
    Fail(HResultFromWin32(error), L"Failed to delete service: " + service.name);
}

void ValidateServiceNotMarkedForDeletion(const ServiceHandle& service) {
    if (IsServiceMarkedForDeletion(service.name)) {
        Fail(hresult::Fail, L"Validation failed: The service marked for deletion: " + service.name);
    }
}

void SetServiceStartType(const ServiceHandle& service, uint32_t startType) {
    if (!ChangeServiceConfigW(service.service->get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        // The control manager refuses some changes the registry still takes,
        // such as a boot start type for a service it sees as user-mode.
        const int32_t code = LastErrorHResult();
        Log(L"Warning: Failed to set StartType '%d' of service '%s' using scm. Error 0x%x.", startType, service.name,
            code);
        UniqueRegKey key;
        LSTATUS status = OpenServiceKey(service.name, KEY_SET_VALUE, key);
        if (status != ERROR_SUCCESS) {
            Fail(StatusHResult(status), L"Failed to open registry key " + GetServiceKeyPath(service.name));
        }
        status = SetDword(key.get(), L"Start", startType);
        if (status != ERROR_SUCCESS) {
            Fail(StatusHResult(status), L"Failed to set StartType of service.");
        }
    }
    Log(L"The StartType of service '%s' changed to '%d'.", service.name, startType);
}

}  // namespace setup
