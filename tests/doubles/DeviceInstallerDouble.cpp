// Test double for the system's device installer entry point
// (UpdateDriverForPlugAndPlayDevicesW of newdev.dll), for INFs whose models
// sections carry a version decoration only ("NTamd64.10.0...16299").
//
// Wine 8's SetupAPI builds a device's driver list from the models section
// SetupDiGetActualSectionToInstallW names: "<models>.NTamd64", "<models>.NT"
// or "<models>" itself. A decoration with a version is never looked at, so
// such an INF yields no driver, and Wine's UpdateDriverForPlugAndPlayDevicesW
// still answers TRUE with the device node left without driver or service.
// Windows chooses among the decorations of the Manufacturer line for the
// running system. This double does that choice, and then installs the chosen
// model on every present device that carries the hardware id with SetupAPI's
// own pieces, as Wine's SetupDiInstallDevice does for a model it found: the
// install section into the driver key, its .HW section into the device
// parameters key, its .Services section, the device's Service property and
// the published INF. It starts no service (Wine cannot start a kernel driver).
//
// The tests copy it into the prefix's system directory as newdev.dll and load
// it as the native library (WINEDLLOVERRIDES=newdev=n).

#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <cwctype>
#include <string>
#include <vector>

namespace {

struct Version {
    DWORD major = 0, minor = 0, build = 0;
    BYTE productType = 0;
    WORD suiteMask = 0;
};

Version TrueVersion() {
    RTL_OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
    auto get = reinterpret_cast<RtlGetVersionFn>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"));
    Version v;
    if (get && get(&info) == 0) {
        v.major = info.dwMajorVersion;
        v.minor = info.dwMinorVersion;
        v.build = info.dwBuildNumber;
        v.productType = info.wProductType;
        v.suiteMask = info.wSuiteMask;
    }
    return v;
}

bool Same(const std::wstring& a, const std::wstring& b) { return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL; }

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts(1);
    for (const wchar_t c : text) {
        if (c == separator) {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

bool Number(const std::wstring& text, int base, DWORD& value) {
    if (text.empty()) {
        return false;
    }
    wchar_t* end = nullptr;
    value = wcstoul(text.c_str(), &end, base);
    return *end == L'\0';
}

// The rank of a decoration for this system (larger is closer), or -1 when it does not apply:
// NT[architecture][.major[.minor[.product type[.suite mask[.build]]]]].
long long Rank(const std::wstring& decoration, const Version& os) {
    const std::vector<std::wstring> parts = Split(decoration, L'.');
    if (parts[0].size() < 2 || !Same(parts[0].substr(0, 2), L"NT")) {
        return -1;
    }
    const std::wstring architecture = parts[0].substr(2);
    if (!architecture.empty() && !Same(architecture, L"amd64")) {
        return -1;
    }
    DWORD major = 0, minor = 0, productType = 0, suiteMask = 0, build = 0;
    const auto field = [&parts](size_t i) { return i < parts.size() ? parts[i] : std::wstring(); };
    const bool hasMajor = Number(field(1), 10, major);
    const bool hasMinor = Number(field(2), 10, minor);
    const bool hasType = Number(field(3), 16, productType);
    const bool hasSuite = Number(field(4), 16, suiteMask);
    const bool hasBuild = Number(field(5), 10, build);
    if (hasMajor && (os.major < major || (os.major == major && hasMinor && os.minor < minor))) {
        return -1;
    }
    if (hasType && os.productType != productType) {
        return -1;
    }
    if (hasSuite && (os.suiteMask & suiteMask) != suiteMask) {
        return -1;
    }
    if (hasBuild && os.build < build) {
        return -1;
    }
    return (static_cast<long long>(architecture.empty() ? 0 : 1) << 60) + (static_cast<long long>(major) << 44) +
           (static_cast<long long>(minor) << 32) + (static_cast<long long>(build) << 2) + (hasType ? 2 : 0) +
           (hasSuite ? 1 : 0);
}

std::wstring Field(INFCONTEXT& line, DWORD index) {
    wchar_t buffer[LINE_LEN * 2] = {};
    if (!SetupGetStringFieldW(&line, index, buffer, ARRAYSIZE(buffer), nullptr)) {
        return std::wstring();
    }
    return buffer;
}

std::vector<std::wstring> MultiSz(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    std::vector<wchar_t> buffer(4096, L'\0');
    std::vector<std::wstring> ids;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                                           static_cast<DWORD>((buffer.size() - 2) * sizeof(wchar_t)), nullptr)) {
        return ids;
    }
    for (const wchar_t* p = buffer.data(); *p; p += wcslen(p) + 1) {
        ids.emplace_back(p);
    }
    return ids;
}

struct Model {
    std::wstring description, section;
};

// The model of the INF whose hardware ids meet one of the device's ids, from the models section
// Windows would take for each Manufacturer line.
bool FindModel(HINF inf, const std::vector<std::wstring>& deviceIds, Model& model) {
    const Version os = TrueVersion();
    INFCONTEXT manufacturer;
    if (!SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &manufacturer)) {
        return false;
    }
    do {
        std::wstring models = Field(manufacturer, 1);
        if (models.empty()) {
            models = Field(manufacturer, 0);
        }
        std::wstring section = models;
        const DWORD count = SetupGetFieldCount(&manufacturer);
        if (count >= 2) {
            long long best = -1;
            for (DWORD i = 2; i <= count; ++i) {
                const std::wstring decoration = Field(manufacturer, i);
                const long long rank = Rank(decoration, os);
                if (rank > best) {
                    best = rank;
                    section = models + L"." + decoration;
                }
            }
            if (best < 0) {
                continue;
            }
        }
        INFCONTEXT line;
        if (!SetupFindFirstLineW(inf, section.c_str(), nullptr, &line)) {
            continue;
        }
        do {
            for (DWORD i = 2; i <= SetupGetFieldCount(&line); ++i) {
                const std::wstring id = Field(line, i);
                for (const std::wstring& deviceId : deviceIds) {
                    if (Same(id, deviceId)) {
                        model.description = Field(line, 0);
                        model.section = Field(line, 1);
                        return true;
                    }
                }
            }
        } while (SetupFindNextLine(&line, &line));
    } while (SetupFindNextLine(&manufacturer, &manufacturer));
    return false;
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

DWORD InstallModel(HDEVINFO set, SP_DEVINFO_DATA& device, const wchar_t* infPath, HINF inf, const Model& model) {
    wchar_t actual[LINE_LEN] = {};
    wchar_t* extension = nullptr;
    if (!SetupDiGetActualSectionToInstallW(inf, model.section.c_str(), actual, LINE_LEN, nullptr, &extension)) {
        return GetLastError();
    }
    const std::wstring section = actual;
    SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC, reinterpret_cast<const BYTE*>(model.description.c_str()),
                                      static_cast<DWORD>((model.description.size() + 1) * sizeof(wchar_t)));
    const DWORD configFlags = 0;
    SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_CONFIGFLAGS, reinterpret_cast<const BYTE*>(&configFlags),
                                      sizeof(configFlags));
    HKEY driverKey = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
    if (driverKey == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    HKEY deviceKey = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (deviceKey == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        RegCloseKey(driverKey);
        return error;
    }
    DWORD error = ERROR_SUCCESS;
    void* context = SetupInitDefaultQueueCallback(nullptr);
    if (!SetupInstallFromInfSectionW(nullptr, inf, section.c_str(), SPINST_ALL, driverKey, nullptr, SP_COPY_NEWER_ONLY,
                                     SetupDefaultQueueCallbackW, context, nullptr, nullptr)) {
        error = GetLastError();
    }
    const std::wstring hw = section + L".HW";
    INFCONTEXT line;
    if (!error && SetupFindFirstLineW(inf, hw.c_str(), nullptr, &line) &&
        !SetupInstallFromInfSectionW(nullptr, inf, hw.c_str(), SPINST_ALL, deviceKey, nullptr, SP_COPY_NEWER_ONLY,
                                     SetupDefaultQueueCallbackW, context, nullptr, nullptr)) {
        error = GetLastError();
    }
    SetupTermDefaultQueueCallback(context);
    const std::wstring services = section + L".Services";
    if (!error && !SetupInstallServicesFromInfSectionW(inf, services.c_str(), 0)) {
        error = GetLastError();
    }
    if (!error && SetupFindFirstLineW(inf, services.c_str(), L"AddService", &line)) {
        do {
            INT flags = 0;
            if (SetupGetIntField(&line, 2, &flags) && (flags & SPSVCINST_ASSOCSERVICE)) {
                const std::wstring service = Field(line, 1);
                SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE, reinterpret_cast<const BYTE*>(service.c_str()),
                                                  static_cast<DWORD>((service.size() + 1) * sizeof(wchar_t)));
                break;
            }
        } while (SetupFindNextMatchLineW(&line, L"AddService", &line));
    }
    wchar_t published[MAX_PATH] = {};
    wchar_t* name = nullptr;
    if (!error && !SetupCopyOEMInfW(infPath, nullptr, SPOST_NONE, 0, published, MAX_PATH, nullptr, &name)) {
        error = GetLastError();
    }
    if (!error) {
        SetString(driverKey, L"InfPath", name ? name : published);
        SetString(driverKey, L"InfSection", model.section);
        if (extension) {
            SetString(driverKey, L"InfSectionExt", extension);
        }
        SetString(driverKey, L"DriverDesc", model.description);
    }
    RegCloseKey(deviceKey);
    RegCloseKey(driverKey);
    return error;
}

}  // namespace

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR hardwareId, LPCWSTR fullInfPath, DWORD,
                                                          PBOOL rebootRequired) {
    if (rebootRequired) {
        *rebootRequired = FALSE;
    }
    if (!hardwareId || !fullInfPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HINF inf = SetupOpenInfFileW(fullInfPath, nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        SetupCloseInfFile(inf);
        SetLastError(error);
        return FALSE;
    }
    DWORD error = ERROR_NO_SUCH_DEVINST;
    bool installed = false, failed = false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        std::vector<std::wstring> ids = MultiSz(set, device, SPDRP_HARDWAREID);
        bool carries = false;
        for (const std::wstring& id : ids) {
            carries = carries || Same(id, hardwareId);
        }
        const std::vector<std::wstring> compatible = MultiSz(set, device, SPDRP_COMPATIBLEIDS);
        for (const std::wstring& id : compatible) {
            carries = carries || Same(id, hardwareId);
        }
        if (!carries) {
            continue;
        }
        ids.insert(ids.end(), compatible.begin(), compatible.end());
        Model model;
        if (!FindModel(inf, ids, model)) {
            error = ERROR_NO_COMPAT_DRIVERS;
            continue;
        }
        const DWORD result = InstallModel(set, device, fullInfPath, inf, model);
        if (result) {
            error = result;
            failed = true;
            break;
        }
        installed = true;
    }
    SetupDiDestroyDeviceInfoList(set);
    SetupCloseInfFile(inf);
    if (!installed || failed) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
