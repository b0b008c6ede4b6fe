#pragma once
// The network configuration double (tests/doubles/NetCfgDouble.cpp) as the
// network tests drive it: registered for CLSID_CNetCfg in the prefix in
// place of Wine's own object, its state files read and its answers chosen.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ddtest::netcfg {

// "{5B035261-40F9-11D1-AAEC-00805FC1270E}"
extern const wchar_t kClsidText[];

// While it lives, CLSID_CNetCfg's InprocServer32 names dd_netcfg_double.dll
// (next to the test program) and the double's state is empty; afterwards the
// prefix's own registration is back.
class Registration {
public:
    Registration();
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    std::wstring savedServer_;
    std::wstring savedModel_;
};

// The registered server's path and threading model, as COM reads them.
std::wstring RegisteredServer();
std::wstring RegisteredThreadingModel();
std::wstring DoublePath();

struct Call {
    DWORD pid = 0;
    std::wstring name;
    std::vector<std::wstring> args;
    uint32_t result = 0;
};

std::vector<Call> Calls();
// Only the names, in order, for sequence checks.
std::vector<std::wstring> CallNames();
void ClearCalls();

std::vector<std::wstring> InstalledComponents();
void SetInstalledComponents(const std::vector<std::wstring>& ids);

// The next `count` calls named so answer hr (every call when count < 0).
void Answer(const std::wstring& call, uint32_t hr, int count = -1);
// Another client, described so, holds the write lock.
void SetLockHolder(const std::wstring& description);
void ClearControl();

// Objects of the double alive in this process; -1 when it is not loaded.
long LiveObjects();

// The state folder's files, removed.
void ResetState();

}  // namespace ddtest::netcfg
