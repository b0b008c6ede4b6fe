// <winsvc.h> comes in through Services.h first: it hands the StartService
// name back to the library before the package attribute of that name is
// declared, so both spellings agree in this file.
#include "system/Services.h"

#include "driver/install/DeviceDriverInstaller.h"
#include "driver/install/UninstallSteps.h"

#include <cfgmgr32.h>
#include <newdev.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/LastError.h"
#include "frame/Log.h"
#include "tables/RegistryAccess.h"

namespace setup::driver {

namespace {

constexpr wchar_t kClassInstallParamsFailed[] = L"Failed to sets class install parameters for a device information set.";
// Longest device instance id, its terminating NUL included.
constexpr ULONG kDeviceIdLength = 200;

bool Has(const DriverPackage& package, uint32_t bit) { return (package.attributes & bit) != 0; }

[[noreturn]] void ThrowLastError(const wchar_t* message) {
    throw Exception(HResultFromLastError(), message, std::wstring());
}

std::wstring PackageHardwareId(const DriverPackage& package, const std::wstring& service) {
    return package.hardwareId.empty() ? L"ROOT\\" + service : package.hardwareId;
}

std::wstring Lowered(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

bool CarriesHardwareId(const std::vector<std::wstring>& ids, const std::wstring& loweredId) {
    return std::any_of(ids.begin(), ids.end(), [&](const std::wstring& id) { return Lowered(id) == loweredId; });
}

void SetRemoveParams(HDEVINFO set, SP_DEVINFO_DATA& element) {
    SP_REMOVEDEVICE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    SetLastError(ERROR_SUCCESS);
    if (SetupDiSetClassInstallParamsW(set, &element, &params.ClassInstallHeader, sizeof(params))) {
        return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_SUCCESS) {
        throw Exception(HResultFromErrorCode(error), kClassInstallParamsFailed, std::wstring());
    }
    // Wine's call is a stub that fails without naming an error. The
    // parameters only restate DIF_REMOVE's default (a global removal), so
    // the removal goes on without them.
    Log(L"Warning: %s Error 0x%x.", kClassInstallParamsFailed, error);
}

// Reads the reboot need the removal left on the element.
void LogRebootNeedAfterRemoval(HDEVINFO set, SP_DEVINFO_DATA& element) {
    constexpr wchar_t kMessage[] = L"Failed to retrieves device installation parameters for a device information set.";
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(set, &element, &params)) {
        const DWORD error = GetLastError();
        // Wine drops the element from the set together with the removed
        // device, so there is no element left to ask: the removal itself
        // succeeded, only its reboot need is unknown.
        if (error == ERROR_NO_SUCH_DEVINST) {
            Log(L"Warning: %s Error 0x%x.", kMessage, error);
            return;
        }
        throw Exception(static_cast<int32_t>(error), kMessage, std::wstring());
    }
    if ((params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0) {
        Log(L"Execution of driver package required reboot.");
    }
}

// Calls visit(set, element, instance id) for each present device whose
// hardware ids hold the id (letter case ignored), in enumeration order,
// until visit returns false.
template <class Visit>
void ForEachPresentDevice(const std::wstring& hardwareId, Visit visit) {
    const UniqueDevInfo set(
        SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr, nullptr, nullptr));
    if (!set) {
        ThrowLastError(L"Failed to get device information set that contains requested device information elements.");
    }
    SP_DEVINFO_LIST_DETAIL_DATA_W detail = {};
    detail.cbSize = sizeof(detail);
    if (!SetupDiGetDeviceInfoListDetailW(set.get(), &detail)) {
        ThrowLastError(L"Failed to get device retrieves information associated with a device information set.");
    }
    const std::wstring wanted = Lowered(hardwareId);
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &element); ++index) {
        // Zeroed first: Wine reports success without writing the id.
        wchar_t instanceId[kDeviceIdLength] = {};
        const CONFIGRET result =
            CM_Get_Device_ID_ExW(element.DevInst, instanceId, kDeviceIdLength, 0, detail.RemoteMachineHandle);
        if (result != CR_SUCCESS) {
            Log(L"WARNING: Failed to retrieves the device instance ID. Error: %d.", result);
            continue;
        }
        if (!CarriesHardwareId(DeviceDriverInstaller::GetHardwareIds(set.get(), element), wanted)) {
            continue;
        }
        // An id that fills the whole buffer comes without its NUL.
        if (!visit(set.get(), element, std::wstring(instanceId, wcsnlen(instanceId, kDeviceIdLength)))) {
            return;
        }
    }
}

struct NewDevice {
    UniqueDevInfo set;
    SP_DEVINFO_DATA element = {};
};

// A new root device node of the INF's class carrying the id, registered so
// that Plug and Play can install a driver on it. The set that holds it is
// kept until the driver is installed.
NewDevice RegisterNewDevice(const std::wstring& infPath, const std::wstring& hardwareId) {
    GUID classGuid = {};
    wchar_t className[MAX_CLASS_NAME_LEN] = {};
    if (!SetupDiGetINFClassW(infPath.c_str(), &classGuid, className, MAX_CLASS_NAME_LEN, nullptr)) {
        ThrowLastError(L"Failed to extract class GUID from inf.");
    }
    NewDevice device;
    device.set.reset(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (!device.set) {
        ThrowLastError(L"Failed to create container for the device information set.");
    }
    SP_DEVINFO_DATA& element = device.element;
    element.cbSize = sizeof(element);
    if (!SetupDiCreateDeviceInfoW(device.set.get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &element)) {
        ThrowLastError(L"Failed to create a new device information element and adds it to the specified device information set.");
    }
    DeviceDriverInstaller::SetHardwareId(device.set.get(), element, hardwareId);
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, device.set.get(), &element)) {
        ThrowLastError(L"Failed to register a newly created device instance.");
    }
    return device;
}

// The node this install registered goes again when its driver could not be
// installed: a node without a driver would stay behind as a problem device.
// A failing removal is only logged; the update's failure is what is reported.
void RemoveNewDevice(NewDevice& device, const std::wstring& hardwareId) noexcept {
    try {
        Log(L"Removing the new device of '%s' after the failed driver update.", hardwareId);
        SetRemoveParams(device.set.get(), device.element);
        if (!SetupDiCallClassInstaller(DIF_REMOVE, device.set.get(), &device.element)) {
            ThrowLastError(L"Failed to remove a device and gives the installer an opportunity to prepare for the removal.");
        }
    } catch (const Exception& e) {
        LogNoThrow(L"Warning: %s Error 0x%x.", e.Message(), e.Code());
    } catch (...) {
        LogNoThrow(L"Warning: Failed to remove the new device of '%s'.", hardwareId);
    }
}

}  // namespace

void DeviceDriverInstaller::Install() {
    Log(L" - Installing device driver '%s' from '%s'.", package_.id, package_.infPath);
    const std::wstring service = FirstServiceToAdd();
    if (service.empty()) {
        Log(L"Skip device driver installation. The service is not specified in '%s'.", package_.id);
        return;
    }
    const std::wstring hardwareId = PackageHardwareId(package_, service);
    // An id the device property cannot hold would make a device node that no
    // driver matches (Wine reports its driver update a success even so):
    // refused before anything is changed.
    if (hardwareId.size() >= kDeviceIdLength) {
        throw Exception(hresult::InvalidArg, L"The hardware id is longer than a device property allows: " + hardwareId,
                        std::wstring());
    }
    UnpublishInstalledOemInfs();
    ApplyDriverRegistry(package_.registryEntries);
    InstallHardware(package_.infPath, hardwareId);
    MoveServiceTag(service);
    if (Has(package_, attribute::StartTypeOnFinalize)) {
        SetServiceStartType(OpenServiceHandle(service), SERVICE_DEMAND_START);
    }
    if (Has(package_, attribute::StartService)) {
        StartService(OpenServiceHandle(service));
    }
    ValidateInstallation();
    Log(L"The device driver '%s' was successfully installed.", package_.id);
}

void DeviceDriverInstaller::Uninstall() {
    Log(L" - Uninstalling device driver '%s' from inf file '%s'.", package_.id, package_.infPath);
    const std::wstring service = FirstServiceToAdd();
    const std::wstring section = GetUninstallSection(inf_);
    Log(L"Actual inf section is '%s'.", section);
    if (service.empty()) {
        Log(L"Skip device driver uninstallation. The service is not specified in '%s'.", package_.id);
        return;
    }
    // Each step stands on its own, as in the filter driver's removal, except
    // the INF's removal from the store: a device still present keeps it, so
    // that the platform's own tools can still remove the device with it.
    UninstallSteps steps(package_);
    if (Has(package_, attribute::StopService)) {
        steps.Run(L"stop the service", [&] { StopService(OpenServiceHandle(service)); });
    }
    steps.Run(L"remove the load-order entry", [&] { RemoveServiceTag(service); });
    steps.Run(L"remove the registry entries", [&] { RemoveDriverRegistry(package_.registryEntries); });
    const bool deviceRemoved =
        steps.Run(L"remove the device", [&] { UninstallHardware(PackageHardwareId(package_, service)); });
    steps.Run(L"remove the service", [&] { InstallServicesFromSection(section); });
    steps.Run(L"run the uninstall section", [&] { InstallFromSection(section); });
    steps.Run(L"remove the files", [&] { InstallFilesFromSection(section); });
    if (deviceRemoved) {
        steps.Run(L"remove the published INF files", [&] { UnpublishInstalledOemInfs(); });
    } else {
        steps.Skip(L"remove the published INF files", L"remove the device");
    }
    steps.Run(L"remove the catalog", [&] { UninstallCatalog(); });
    steps.Finish();
    Log(L"The device driver '%s' was successfully uninstalled.", package_.id);
}

void DeviceDriverInstaller::Upgrade() {
    Log(L" - Upgrading device driver '%s' from inf file '%s'.", package_.id, package_.infPath);
    Install();
    Log(L"The device driver '%s' was successfully upgraded.", package_.id);
}

void DeviceDriverInstaller::InstallHardware(const std::wstring& infPath, const std::wstring& hardwareId) {
    Log(L"Installing hardware '%s'.", hardwareId);
    // A repair installs again over the device it made before: a second node
    // with the same id would be left behind by the uninstall, which removes
    // one. The present node gets the package's driver instead.
    bool present = false;
    ForEachPresentDevice(hardwareId, [&present](HDEVINFO, SP_DEVINFO_DATA&, const std::wstring&) {
        present = true;
        return false;
    });
    NewDevice registered;
    if (present) {
        Log(L"The hardware '%s' is already present. Its driver is updated.", hardwareId);
    } else {
        registered = RegisterNewDevice(infPath, hardwareId);
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId.c_str(), infPath.c_str(), INSTALLFLAG_FORCE, &reboot)) {
        const int32_t code = HResultFromWin32(GetLastError());
        if (registered.set) {
            RemoveNewDevice(registered, hardwareId);
        }
        throw Exception(code, L"Failed to update drivers for devices that match the hardware ID.", std::wstring());
    }
    if (reboot) {
        Log(L"Execution of driver package required reboot.");
    }
    Log(L"The hardware '%s' was successfully installed.", hardwareId);
}

void DeviceDriverInstaller::UninstallHardware(const std::wstring& hardwareId) {
    Log(L"Uninstalling hardware '%s'.", hardwareId);
    ForEachPresentDevice(hardwareId, [&hardwareId](HDEVINFO set, SP_DEVINFO_DATA& element, const std::wstring& instanceId) {
        Log(L"Removing '%s' device instance...", instanceId);
        SetRemoveParams(set, element);
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &element)) {
            ThrowLastError(L"Failed to remove a device and gives the installer an opportunity to prepare for the removal.");
        }
        LogRebootNeedAfterRemoval(set, element);
        Log(L"The hardware '%s' was successfully uninstalled.", hardwareId);
        return false;  // at most one device per call
    });
    Log(L"Uninstalling the hardware '%s' is finished.", hardwareId);
}

void DeviceDriverInstaller::SetHardwareId(HDEVINFO set, SP_DEVINFO_DATA& element, const std::wstring& hardwareId) {
    // A multi-string of one id: the id, its NUL and the closing NUL.
    std::wstring value = hardwareId;
    value.push_back(L'\0');
    value.push_back(L'\0');
    if (!SetupDiSetDeviceRegistryPropertyW(set, &element, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(value.data()),
                                           static_cast<DWORD>(value.size() * sizeof(wchar_t)))) {
        ThrowLastError(L"Failed to set the hardware id to the device's property.");
    }
}

std::vector<std::wstring> DeviceDriverInstaller::GetHardwareIds(HDEVINFO set, SP_DEVINFO_DATA& element) {
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &element, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size);
    if (size == 0) {
        return {};
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &element, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                                           static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), nullptr)) {
        ThrowLastError(L"Failed to retrieves device's hardware id.");
    }
    // Split within the buffer's own bounds: a value without its closing NULs
    // must not be read past.
    std::vector<std::wstring> ids;
    std::wstring piece;
    for (const wchar_t c : buffer) {
        if (c != L'\0') {
            piece.push_back(c);
        } else if (!piece.empty()) {
            ids.push_back(std::move(piece));
            piece.clear();
        }
    }
    if (!piece.empty()) {
        ids.push_back(std::move(piece));
    }
    return ids;
}

}  // namespace setup::driver
