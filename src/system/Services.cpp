#include "system/Services.h"

#include <algorithm>

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

}  // namespace

std::wstring GetServiceKeyPath(const std::wstring& name) { return std::wstring(kServicesKey) + L"\\" + name; }

namespace {

// The existence test: a service key with a Start value. The key stays open
// in `key` for the caller's next query.
bool OpenExistingServiceKey(const std::wstring& name, UniqueRegKey& key) {
    if (name.empty()) {
        Log(L"DoesServiceExist: The service name is empty.");
        return false;
    }
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

}  // namespace

bool DoesServiceExist(const std::wstring& name) {
    UniqueRegKey key;
    return OpenExistingServiceKey(name, key);
}

bool IsServiceMarkedForDeletion(const std::wstring& name) {
    UniqueRegKey key;
    if (!OpenExistingServiceKey(name, key)) {
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
    // Enumeration is the least the manager must grant for OpenServiceW.
    handle.manager = std::make_shared<UniqueServiceHandle>(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!*handle.manager) {
        const int32_t code = LastErrorHResult();
        Fail(code, L"Failed to open service control manager.");
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

namespace {

std::wstring StopFailure(const ServiceHandle& service) {
    return L"Failed to set state '" + std::to_wstring(SERVICE_CONTROL_STOP) + L"' of service " + service.name;
}

void LogStopWarning(const ServiceHandle& service, DWORD error) {
    Log(L"Warning: %s Error 0x%x.", StopFailure(service), HResultFromWin32(error));
}

// Polls at a tenth of the service's own wait hint, between 50 ms and 1 s,
// until it reports stopped or the wait is over.
void WaitUntilStopped(const ServiceHandle& service, SERVICE_STATUS status, std::chrono::milliseconds wait) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + wait;
    while (status.dwCurrentState != SERVICE_STOPPED) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            Log(L"Warning: The service '%s' did not stop within %u ms. Its files are replaced at the next restart.",
                service.name, static_cast<uint32_t>(wait.count()));
            return;
        }
        const DWORD hint = std::clamp<DWORD>(status.dwWaitHint / 10, 50, 1000);
        Sleep(static_cast<DWORD>(std::min<long long>(hint, left.count())));
        if (!QueryServiceStatus(service.service->get(), &status)) {
            Log(L"Warning: Failed to query the state of service '%s'. Error 0x%x.", service.name, LastErrorHResult());
            return;
        }
    }
    Log(L"The service '%s' stopped.", service.name);
}

}  // namespace

void StopService(const ServiceHandle& service, std::chrono::milliseconds wait) {
    Log(L"StopService: '%s'.", service.name);
    constexpr DWORD control = SERVICE_CONTROL_STOP;
    SERVICE_STATUS status = {};
    if (!ControlService(service.service->get(), control, &status)) {
        const DWORD error = GetLastError();
        switch (error) {
            case ERROR_SERVICE_NOT_ACTIVE:
                // Every driver whose service is stopped at uninstall time
                // lands here: there is nothing to stop.
                Log(L"The service '%s' is not running.", service.name);
                return;
            case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
                // Stopping already, or still starting: only the first is
                // worth the wait.
                if (!QueryServiceStatus(service.service->get(), &status) ||
                    status.dwCurrentState != SERVICE_STOP_PENDING) {
                    if (status.dwCurrentState == SERVICE_STOPPED) {
                        Log(L"The service '%s' is not running.", service.name);
                    } else {
                        LogStopWarning(service, error);
                    }
                    return;
                }
                break;
            case ERROR_INVALID_SERVICE_CONTROL:
            case ERROR_DEPENDENT_SERVICES_RUNNING:
                LogStopWarning(service, error);
                return;
            default:
                Fail(HResultFromWin32(error), StopFailure(service));
        }
    }
    WaitUntilStopped(service, status, wait);
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
