#pragma once
// Windows services as the driver installers see them: existence and the
// deletion mark read straight from the service's registry key, and start,
// stop, delete and start type through the service control manager. Every
// operation logs; failures throw setup::Exception.

#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "frame/Handles.h"

// <winsvc.h> maps StartService to StartServiceW; the library's own operation
// of that name must keep it, and the Win32 call is always spelled StartServiceW.
#ifdef StartService
#undef StartService
#endif

namespace setup {

// An opened service. Copies share both handles, which close when the last
// copy goes.
struct ServiceHandle {
    std::shared_ptr<UniqueServiceHandle> manager;
    std::shared_ptr<UniqueServiceHandle> service;
    std::wstring name;
};

// "SYSTEM\CurrentControlSet\services\<name>", under HKEY_LOCAL_MACHINE.
std::wstring GetServiceKeyPath(const std::wstring& name);

// A service exists when its key has a "Start" value of at most four bytes.
bool DoesServiceExist(const std::wstring& name);
// Marked means the key's "DeleteFlag" holds exactly 1.
bool IsServiceMarkedForDeletion(const std::wstring& name);
void AddServiceDeleteFlag(const std::wstring& name);
void RemoveServiceDeleteFlag(const std::wstring& name);

// How long StopService waits for a service that accepted the stop: the
// control manager's own limit for a service to answer a control request.
// A driver unloads within the stop request itself, so only a user-mode
// service or a hung unload ever comes near it.
constexpr std::chrono::milliseconds kServiceStopWait{30000};

ServiceHandle OpenServiceHandle(const std::wstring& name);
// Returns once the control manager accepted the request; does not wait for
// the service to reach the running state.
void StartService(const ServiceHandle& service);
// Stops the service and waits, at most `wait`, until it reports stopped, so
// that the steps after it find its files closed. A service that is not
// running is no failure. A driver that cannot be unloaded (1052), dependent
// services still running (1051), a service that is still starting (1061)
// and one that does not stop in time are warning lines: the caller goes on,
// and files still in use are replaced at the next restart. Any other
// failure throws.
void StopService(const ServiceHandle& service, std::chrono::milliseconds wait = kServiceStopWait);
void DeleteService(const ServiceHandle& service);
void ValidateServiceNotMarkedForDeletion(const ServiceHandle& service);
// Falls back to writing "Start" when the control manager refuses the change.
void SetServiceStartType(const ServiceHandle& service, uint32_t startType);

}  // namespace setup
