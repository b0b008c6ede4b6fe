#pragma once
// What the device and filter installer tests share: an installer session
// that records the log, driver package folders written per test (INF, the
// user-mode test service as the package's program, a catalog), and looks
// at the prefix's device tree, services, registry and files.

#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>
#include <winsvc.h>

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "frame/Session.h"
#include "windows/support/InstallerFixture.h"

namespace ddtest {

using Lines = std::vector<std::wstring>;

inline std::wstring ProgramNextToTests(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

inline std::wstring SystemDirectory() {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return system;
}

inline std::wstring WindowsDirectory() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    return windows;
}

inline std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/")); }

inline std::wstring DriversFile(const std::wstring& name) { return SystemDirectory() + L"\\drivers\\" + name; }
inline std::wstring InfStoreFile(const std::wstring& name) { return WindowsDirectory() + L"\\inf\\" + name; }
inline std::wstring CatalogStoreFile(const std::wstring& name) {
    return SystemDirectory() + L"\\catroot\\{f750e6c3-38ee-11d1-85e5-00c04fc295ee}\\" + name;
}

inline std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

// Instance ids of the present devices that carry the hardware id (letter
// case ignored), in enumeration order; read here with the instance-id call
// that Wine does implement.
inline std::vector<std::wstring> PresentDevices(const std::wstring& hardwareId) {
    std::vector<std::wstring> found;
    HDEVINFO set = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr, nullptr,
                                          nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "no device set: " << GetLastError();
        return found;
    }
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &element); ++index) {
        wchar_t ids[1024] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(set, &element, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                               sizeof(ids) - 2 * sizeof(wchar_t), nullptr)) {
            continue;
        }
        for (const wchar_t* id = ids; *id != L'\0'; id += wcslen(id) + 1) {
            if (Lower(id) == Lower(hardwareId)) {
                wchar_t instance[512] = {};
                SetupDiGetDeviceInstanceIdW(set, &element, instance, 512, nullptr);
                found.push_back(instance);
                break;
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// The first hardware id the device's key holds.
// A root device node of the INF's class carrying the id, registered but
// with no driver: a device that some other installation left behind.
inline bool RegisterBareDevice(const std::wstring& infPath, const std::wstring& hardwareId) {
    GUID classGuid = {};
    wchar_t className[32] = {};  // a class name has at most 32 characters
    if (!SetupDiGetINFClassW(infPath.c_str(), &classGuid, className, 32, nullptr)) {
        return false;
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    std::wstring ids = hardwareId;
    ids.append(2, L'\0');
    const bool ok =
        SetupDiCreateDeviceInfoW(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &element) &&
        SetupDiSetDeviceRegistryPropertyW(set, &element, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                                          static_cast<DWORD>(ids.size() * sizeof(wchar_t))) &&
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &element);
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

inline std::wstring DeviceHardwareId(const std::wstring& instanceId) {
    wchar_t ids[1024] = {};
    DWORD size = sizeof(ids) - 2 * sizeof(wchar_t);
    RegGetValueW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Enum\\" + instanceId).c_str(), L"HardwareID",
                 RRF_RT_REG_MULTI_SZ, nullptr, ids, &size);
    return ids;
}

inline std::optional<std::wstring> RegistryString(HKEY root, const std::wstring& key, const wchar_t* name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

inline std::optional<DWORD> RegistryDword(HKEY root, const std::wstring& key, const wchar_t* name) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return data;
}

inline bool RegistryKeyExists(HKEY root, const std::wstring& key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(opened);
    return true;
}

inline std::wstring ServiceKey(const std::wstring& service) { return L"SYSTEM\\CurrentControlSet\\services\\" + service; }

// The control manager's view of a service; nullopt when it cannot be opened.
struct ServiceView {
    DWORD startType = 0;
    DWORD state = 0;
    std::wstring binary;
    std::wstring group;
};

inline std::optional<ServiceView> QueryService(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    std::optional<ServiceView> view;
    if (service != nullptr) {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        SERVICE_STATUS status = {};
        if (QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                static_cast<DWORD>(buffer.size()), &needed) &&
            QueryServiceStatus(service, &status)) {
            const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
            view = ServiceView{config->dwStartType, status.dwCurrentState,
                               config->lpBinaryPathName ? config->lpBinaryPathName : L"",
                               config->lpLoadOrderGroup ? config->lpLoadOrderGroup : L""};
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return view;
}

// Waits (at most 5 s) until the service is in the state.
inline bool WaitForServiceState(const std::wstring& name, DWORD state) {
    for (int i = 0; i < 200; ++i) {
        const std::optional<ServiceView> view = QueryService(name);
        if (view && view->state == state) {
            return true;
        }
        Sleep(25);
    }
    return false;
}

// Waits (at most 5 s) until no running program holds the file: a service
// reports itself stopped a moment before its process ends.
inline bool WaitUntilFileIsFree(const std::wstring& path) {
    for (int i = 0; i < 200; ++i) {
        HANDLE file = CreateFileW(path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return true;
        }
        Sleep(25);
    }
    return false;
}

// Stops and deletes what a test left behind; a missing service is fine.
inline void RemoveService(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

inline void WriteLoadOrderValue(const std::wstring& group, const std::vector<uint32_t>& entries) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExW(key, group.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(entries.data()),
                   static_cast<DWORD>(entries.size() * sizeof(uint32_t)));
    RegCloseKey(key);
}

// The whole value, count included.
inline std::vector<uint32_t> ReadLoadOrderValue(const std::wstring& group) {
    std::vector<uint32_t> entries(64);
    DWORD size = static_cast<DWORD>(entries.size() * sizeof(uint32_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList", group.c_str(),
                     RRF_RT_ANY, nullptr, entries.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    entries.resize(size / sizeof(uint32_t));
    return entries;
}

// Index of the first line at or after `from` that starts with the text;
// lines.size() when there is none.
inline size_t FindLine(const Lines& lines, const std::wstring& start, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].compare(0, start.size(), start) == 0) {
            return i;
        }
    }
    return lines.size();
}

// Every expected line start appears, in this order (other lines may lie
// between them).
inline ::testing::AssertionResult InOrder(const Lines& lines, const Lines& expectedStarts) {
    size_t from = 0;
    for (const std::wstring& start : expectedStarts) {
        const size_t at = FindLine(lines, start, from);
        if (at == lines.size()) {
            std::string all;
            for (const std::wstring& line : lines) {
                all += "\n  " + Narrow(line);
            }
            return ::testing::AssertionFailure() << "missing, or out of order: \"" << Narrow(start) << "\"; the log:" << all;
        }
        from = at + 1;
    }
    return ::testing::AssertionSuccess();
}

inline bool Contains(const Lines& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// An installer session for the library's log lines, started and ended
// around each test as an entry point would.
class DriverInstallerTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, setup::Initialize(session_.handle(), "InstallTest"));
        session_.ClearMessages();
    }
    void TearDown() override {
        setup::Finalize(0);
        for (const std::wstring& service : services_) {
            RemoveService(service);
        }
    }

    Lines LogLines() const {
        Lines lines;
        for (const std::wstring& line : session_.InfoLines()) {
            lines.push_back(StripLogPrefix(line));
        }
        return lines;
    }
    void ClearLog() { session_.ClearMessages(); }

    // A folder holding one package: the INF, the test service program under
    // each of the given file names, and any further files.
    std::wstring WritePackage(const std::wstring& infName, const std::string& infText,
                              const std::vector<std::wstring>& programs) {
        const std::wstring folder = dir_ / infName.substr(0, infName.find(L'.'));
        CreateDirectoryW(folder.c_str(), nullptr);
        WriteTextFile(folder + L"\\" + infName, infText);
        for (const std::wstring& program : programs) {
            EXPECT_TRUE(CopyFileW(ProgramNextToTests(L"dd_test_service.exe").c_str(), (folder + L"\\" + program).c_str(),
                                  FALSE))
                << "dd_test_service.exe next to the tests";
        }
        return folder + L"\\" + infName;
    }

    // Services the test installs; TearDown removes whatever is left of them.
    void Owns(const std::wstring& service) { services_.push_back(service); }

    TempDir dir_;

private:
    std::wstring database_ = BuildDatabase(dir_ / L"install.msi", BaseTables());
    InstallerSession session_{database_};
    std::vector<std::wstring> services_;
};

}  // namespace ddtest
