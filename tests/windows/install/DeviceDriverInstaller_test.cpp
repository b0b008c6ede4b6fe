// The device driver installer against Wine's real device tree: root devices
// are created, get their driver from the package's INF through Plug and
// Play, and are removed again; the package's service is the user-mode test
// service, so that starting and stopping it really happens.

#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/DriverPackage.h"
#include "driver/install/DeviceDriverInstaller.h"
#include "frame/Exception.h"
#include "windows/install/InstallerTestKit.h"
#include "windows/support/CatchException.h"
#include "windows/support/ImportPatch.h"

namespace {

using namespace setup::driver;
using ddtest::Lines;

struct DeviceInf {
    std::string service;
    std::string modelId;  // the hardware id the INF's model line installs on
    bool addService = true;
    int startType = 3;
    bool deleteService = true;  // the uninstall section has a DelService line
};

std::string DeviceInfText(const DeviceInf& inf) {
    const std::string& s = inf.service;
    std::string text =
        "[Version]\n"
        "Signature=\"$Windows NT$\"\n"
        "Class=System\n"
        "ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\n"
        "Provider=dd\n"
        "DriverVer=01/01/2024,1.0.0.0\n"
        "[SourceDisksNames]\n1=disk\n"
        "[SourceDisksFiles]\n" + s + ".exe=1\n"
        "[DestinationDirs]\nDefaultDestDir=12\n"
        "[Manufacturer]\ndd=Models,NTamd64\n"
        "[Models.NTamd64]\n\"dd test device\"=Inst," + inf.modelId + "\n"
        "[Inst]\nCopyFiles=Files\n"
        "[Files]\n" + s + ".exe\n"
        "[DefaultUninstall.NTamd64]\nDelFiles=Files\nDelReg=UninstallReg\n"
        "[UninstallReg]\nHKLM,Software\\ddtest\\" + s + ",Installed\n";
    if (inf.addService) {
        text += "[Inst.Services]\nAddService=" + s + ",0x00000002,Svc\n"
                "[Svc]\nServiceType=0x10\nStartType=" + std::to_string(inf.startType) +
                "\nErrorControl=1\nServiceBinary=%12%\\" + s + ".exe\n";
    }
    if (inf.deleteService) {
        text += "[DefaultUninstall.NTamd64.Services]\nDelService=" + s + "\n";
    }
    return text;
}

class DeviceDriverInstallerTest : public ddtest::DriverInstallerTestBase {
protected:
    // A package folder for the INF; the package installs the service
    // program under the service's name.
    DriverPackage Package(const std::wstring& id, const DeviceInf& inf) {
        const std::wstring service = ddtest::Widen(inf.service);
        Owns(service);
        DriverPackage package;
        package.id = id;
        package.infPath = WritePackage(service + L".inf", DeviceInfText(inf), {service + L".exe"});
        package.type = package_type::Device;
        return package;
    }

    void TearDown() override {
        for (const std::wstring& id : removeDevices_) {
            for (size_t i = ddtest::PresentDevices(id).size(); i > 0; --i) {
                try {
                    DeviceDriverInstaller::UninstallHardware(id);
                } catch (const setup::Exception&) {
                }
            }
        }
        ddtest::DriverInstallerTestBase::TearDown();
    }
    // Devices with this id are removed after the test.
    void RemovesDevices(const std::wstring& hardwareId) { removeDevices_.push_back(hardwareId); }

private:
    std::vector<std::wstring> removeDevices_;
};

TEST_F(DeviceDriverInstallerTest, InstallCreatesAPresentDeviceWithTheInfsDriverAndService) {
    const struct {
        const char* service;
        std::wstring packageHardwareId;
        std::string modelId;
        std::wstring expectedId;
    } cases[] = {
        {"ddDevRoot", L"", "ROOT\\ddDevRoot", L"ROOT\\ddDevRoot"},
        {"ddDevModel", L"DDVENDOR\\ddDevModel_1", "DDVENDOR\\ddDevModel_1", L"DDVENDOR\\ddDevModel_1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.service);
        const std::wstring service = ddtest::Widen(c.service);
        DriverPackage package = Package(L"Pkg_" + service, {c.service, c.modelId});
        package.hardwareId = c.packageHardwareId;
        RemovesDevices(c.expectedId);
        ClearLog();

        std::make_shared<DeviceDriverInstaller>(package)->Install();

        const std::vector<std::wstring> devices = ddtest::PresentDevices(c.expectedId);
        ASSERT_EQ(1u, devices.size());
        if (!c.packageHardwareId.empty()) {
            EXPECT_TRUE(ddtest::PresentDevices(L"ROOT\\" + service).empty());
        }
        const std::wstring enumKey = L"SYSTEM\\CurrentControlSet\\Enum\\" + devices[0];
        EXPECT_EQ(service, ddtest::RegistryString(HKEY_LOCAL_MACHINE, enumKey, L"Service").value_or(L"(none)"));
        EXPECT_TRUE(ddtest::RegistryString(HKEY_LOCAL_MACHINE, enumKey, L"Driver").has_value());
        const std::optional<ddtest::ServiceView> view = ddtest::QueryService(service);
        ASSERT_TRUE(view.has_value());
        EXPECT_EQ(ddtest::Lower(ddtest::DriversFile(service + L".exe")), ddtest::Lower(view->binary));
        EXPECT_TRUE(ddtest::FileExists(ddtest::DriversFile(service + L".exe")));
        EXPECT_TRUE(ddtest::FileExists(ddtest::InfStoreFile(service + L".inf")));
        EXPECT_TRUE(ddtest::InOrder(LogLines(), {
            L" - Installing device driver '" + package.id + L"' from '" + package.infPath + L"'.",
            L"Installing hardware '" + c.expectedId + L"'.",
            L"The hardware '" + c.expectedId + L"' was successfully installed.",
            L"The device driver '" + package.id + L"' was successfully installed.",
        }));
    }
}

TEST_F(DeviceDriverInstallerTest, UninstallRemovesOnlyTheFirstMatchingDeviceThenRunsTheUninstallSection) {
    const DriverPackage package = Package(L"PkgTwo", {"ddDevTwo", "ROOT\\ddDevTwo"});
    RemovesDevices(L"ROOT\\ddDevTwo");
    // First in the device tree: a device whose id differs only in letter
    // case; then one with the package's own id. The install finds them
    // present and puts the driver on them.
    ASSERT_TRUE(ddtest::RegisterBareDevice(package.infPath, L"root\\DDDEVTWO"));
    ASSERT_TRUE(ddtest::RegisterBareDevice(package.infPath, L"ROOT\\ddDevTwo"));
    std::make_shared<DeviceDriverInstaller>(package)->Install();
    const std::vector<std::wstring> before = ddtest::PresentDevices(L"ROOT\\ddDevTwo");
    ASSERT_EQ(2u, before.size());
    ASSERT_EQ(L"root\\DDDEVTWO", ddtest::DeviceHardwareId(before[0]));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\ddtest\\ddDevTwo", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExW(key, L"Installed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"yes"), 8);
    RegCloseKey(key);
    // Plug and Play started the service with the device; a running program
    // could be neither deleted nor its file removed.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"ddDevTwo", SERVICE_STOP);
    SERVICE_STATUS status = {};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    ASSERT_TRUE(ddtest::WaitForServiceState(L"ddDevTwo", SERVICE_STOPPED));
    ASSERT_TRUE(ddtest::WaitUntilFileIsFree(ddtest::DriversFile(L"ddDevTwo.exe")));
    ClearLog();

    std::make_shared<DeviceDriverInstaller>(package)->Uninstall();

    const std::vector<std::wstring> after = ddtest::PresentDevices(L"ROOT\\ddDevTwo");
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ(before[1], after[0]) << "the first device in enumeration order goes";
    const Lines lines = LogLines();
    EXPECT_TRUE(ddtest::InOrder(lines, {
        L" - Uninstalling device driver 'PkgTwo' from inf file '" + package.infPath + L"'.",
        L"Actual inf section is 'DefaultUninstall.NTamd64'.",
        L"Uninstalling hardware 'ROOT\\ddDevTwo'.",
        L"Removing '",
        L"The hardware 'ROOT\\ddDevTwo' was successfully uninstalled.",
        L"Uninstalling the hardware 'ROOT\\ddDevTwo' is finished.",
        L"The device driver 'PkgTwo' was successfully uninstalled.",
    }));
    EXPECT_EQ(lines.size(), ddtest::FindLine(lines, L"Removing '", ddtest::FindLine(lines, L"Removing '") + 1))
        << "one device removed";
    // The uninstall section ran after the device went: its service, file,
    // registry value and the published INF are gone.
    EXPECT_FALSE(ddtest::QueryService(L"ddDevTwo").has_value());
    EXPECT_FALSE(ddtest::FileExists(ddtest::DriversFile(L"ddDevTwo.exe")));
    EXPECT_FALSE(ddtest::RegistryString(HKEY_LOCAL_MACHINE, L"Software\\ddtest\\ddDevTwo", L"Installed").has_value());
    EXPECT_FALSE(ddtest::FileExists(ddtest::InfStoreFile(L"ddDevTwo.inf")));
}

// A repair installs the package again: the device node made the first time
// gets the driver again, and no second node is left for the uninstall to miss.
TEST_F(DeviceDriverInstallerTest, InstallingAgainReusesThePresentDevice) {
    const DriverPackage package = Package(L"PkgAgain", {"ddDevAgain", "ROOT\\ddDevAgain"});
    RemovesDevices(L"ROOT\\ddDevAgain");
    std::make_shared<DeviceDriverInstaller>(package)->Install();
    const std::vector<std::wstring> first = ddtest::PresentDevices(L"ROOT\\ddDevAgain");
    ASSERT_EQ(1u, first.size());
    ClearLog();

    std::make_shared<DeviceDriverInstaller>(package)->Upgrade();

    EXPECT_EQ(first, ddtest::PresentDevices(L"ROOT\\ddDevAgain"));
    EXPECT_TRUE(ddtest::InOrder(LogLines(), {
        L"Installing hardware 'ROOT\\ddDevAgain'.",
        L"The hardware 'ROOT\\ddDevAgain' is already present. Its driver is updated.",
        L"The hardware 'ROOT\\ddDevAgain' was successfully installed.",
    }));
    const std::wstring enumKey = L"SYSTEM\\CurrentControlSet\\Enum\\" + first[0];
    EXPECT_EQ(L"ddDevAgain", ddtest::RegistryString(HKEY_LOCAL_MACHINE, enumKey, L"Service").value_or(L"(none)"));
}

TEST_F(DeviceDriverInstallerTest, UninstallWithoutAMatchingDeviceLogsStartAndEndAndRunsTheSection) {
    const DriverPackage package = Package(L"PkgNone", {"ddDevNone", "ROOT\\ddDevNone"});
    // What a device removed by hand leaves: the driver's service and file.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE created = CreateServiceW(manager, L"ddDevNone", L"ddDevNone", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, ddtest::DriversFile(L"ddDevNone.exe").c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, created) << GetLastError();
    CloseServiceHandle(created);
    CloseServiceHandle(manager);
    ddtest::WriteTextFile(ddtest::DriversFile(L"ddDevNone.exe"), "left behind");
    ASSERT_TRUE(ddtest::PresentDevices(L"ROOT\\ddDevNone").empty());
    ClearLog();

    std::make_shared<DeviceDriverInstaller>(package)->Uninstall();

    const Lines lines = LogLines();
    const size_t start = ddtest::FindLine(lines, L"Uninstalling hardware 'ROOT\\ddDevNone'.");
    ASSERT_LT(start + 1, lines.size());
    EXPECT_EQ(L"Uninstalling the hardware 'ROOT\\ddDevNone' is finished.", lines[start + 1]);
    EXPECT_EQ(L"The device driver 'PkgNone' was successfully uninstalled.", lines.back());
    EXPECT_FALSE(ddtest::QueryService(L"ddDevNone").has_value());
    EXPECT_FALSE(ddtest::FileExists(ddtest::DriversFile(L"ddDevNone.exe")));
}

TEST_F(DeviceDriverInstallerTest, UpgradeLogsAroundACompleteInstallThatFirstRemovesEarlierInfs) {
    const DriverPackage package = Package(L"PkgUp", {"ddDevUp", "ROOT\\ddDevUp"});
    RemovesDevices(L"ROOT\\ddDevUp");
    // An earlier version published under an oem name: same first source
    // file, same service.
    const std::wstring earlier = ddtest::InfStoreFile(L"oem7151.inf");
    ddtest::WriteTextFile(earlier, DeviceInfText({"ddDevUp", "ROOT\\ddDevUp"}) + "; version 0.9\n");
    ClearLog();

    std::make_shared<DeviceDriverInstaller>(package)->Upgrade();

    const Lines lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(L" - Upgrading device driver 'PkgUp' from inf file '" + package.infPath + L"'.", lines[0]);
    EXPECT_EQ(L" - Installing device driver 'PkgUp' from '" + package.infPath + L"'.", lines[1]);
    EXPECT_EQ(L"The device driver 'PkgUp' was successfully installed.", lines[lines.size() - 2]);
    EXPECT_EQ(L"The device driver 'PkgUp' was successfully upgraded.", lines.back());
    EXPECT_TRUE(ddtest::InOrder(lines, {
        L"Found '" + ddtest::WindowsDirectory() + L"\\Inf\\oem7151.inf' for previous version of driver package.",
        L"The inf file 'oem7151.inf' was successfully uninstalled.",
        L"Installing hardware 'ROOT\\ddDevUp'.",
        L"The hardware 'ROOT\\ddDevUp' was successfully installed.",
    }));
    EXPECT_FALSE(ddtest::FileExists(earlier));
    EXPECT_EQ(1u, ddtest::PresentDevices(L"ROOT\\ddDevUp").size());
}

TEST_F(DeviceDriverInstallerTest, InfWithoutAddServiceOnlyLogsTheSkipLine) {
    const DriverPackage package = Package(L"PkgSkip", {"ddDevSkip", "DDVENDOR\\ddDevSkip", false, 3, false});
    const struct {
        const char* name;
        void (DeviceDriverInstaller::*operation)();
        Lines lines;
    } cases[] = {
        {"install", &DeviceDriverInstaller::Install,
         {L" - Installing device driver 'PkgSkip' from '" + package.infPath + L"'.",
          L"Skip device driver installation. The service is not specified in 'PkgSkip'."}},
        {"uninstall", &DeviceDriverInstaller::Uninstall,
         {L" - Uninstalling device driver 'PkgSkip' from inf file '" + package.infPath + L"'.",
          L"Actual inf section is 'DefaultUninstall.NTamd64'.",
          L"Skip device driver uninstallation. The service is not specified in 'PkgSkip'."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        const auto installer = std::make_shared<DeviceDriverInstaller>(package);
        ((*installer).*c.operation)();
        EXPECT_EQ(c.lines, LogLines());
        EXPECT_TRUE(ddtest::PresentDevices(L"DDVENDOR\\ddDevSkip").empty());
    }
}

TEST_F(DeviceDriverInstallerTest, StartTypeOnFinalizeLeavesDemandStartAndTheServiceStartsAndStops) {
    // Auto start in the INF; the uninstall section keeps the service, so
    // that its stopped state can be seen afterwards.
    DriverPackage package = Package(L"PkgRun", {"ddDevRun", "ROOT\\ddDevRun", true, 2, false});
    RemovesDevices(L"ROOT\\ddDevRun");
    package.attributes = attribute::StartTypeOnFinalize | attribute::StartService;
    std::make_shared<DeviceDriverInstaller>(package)->Install();

    const std::optional<ddtest::ServiceView> installed = ddtest::QueryService(L"ddDevRun");
    ASSERT_TRUE(installed.has_value());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), installed->startType);
    EXPECT_TRUE(ddtest::WaitForServiceState(L"ddDevRun", SERVICE_RUNNING));
    // Plug and Play already started the device's service.
    EXPECT_TRUE(ddtest::InOrder(LogLines(), {L"The StartType of service 'ddDevRun' changed to '3'.", L"StartService: 'ddDevRun'",
                                             L"The service 'ddDevRun' is already running."}));

    package.attributes = attribute::StopService;
    ClearLog();
    std::make_shared<DeviceDriverInstaller>(package)->Uninstall();

    EXPECT_TRUE(ddtest::WaitForServiceState(L"ddDevRun", SERVICE_STOPPED));
    EXPECT_TRUE(ddtest::InOrder(LogLines(), {L"StopService: 'ddDevRun'.", L"Uninstalling hardware 'ROOT\\ddDevRun'."}));
}

// Stand-ins for the two removal calls, for answers Wine never gives.
DWORD g_failWith = 0;
DWORD g_installFlags = 0;

BOOL WINAPI SetClassInstallParamsFailingDouble(HDEVINFO, PSP_DEVINFO_DATA, PSP_CLASSINSTALL_HEADER, DWORD) {
    SetLastError(g_failWith);
    return FALSE;
}

BOOL WINAPI GetDeviceInstallParamsFailingDouble(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W) {
    SetLastError(g_failWith);
    return FALSE;
}

BOOL WINAPI GetDeviceInstallParamsFlagsDouble(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W params) {
    params->Flags = g_installFlags;
    return TRUE;
}

// Under Wine the class-install-parameters call fails without an error
// code: the removal goes on with a warning, since DIF_REMOVE removes the
// device globally without them. Wine also drops the removed element from
// the set, so the reboot need cannot be read afterwards. A failure with a
// real error code still ends the removal.
TEST_F(DeviceDriverInstallerTest, RemovalToleratesOnlyTheFailuresWineReportsWithoutCause) {
    const DriverPackage package = Package(L"PkgRemove", {"ddDevRemove", "ROOT\\ddDevRemove"});
    RemovesDevices(L"ROOT\\ddDevRemove");
    const std::wstring id = L"ROOT\\ddDevRemove";
    const std::wstring paramsWarning = L"Warning: Failed to sets class install parameters for a device information set. Error 0x0.";
    const std::wstring readWarning =
        L"Warning: Failed to retrieves device installation parameters for a device information set. Error 0xe000020b.";
    const struct {
        const char* name;
        const char* function;  // the call a double stands in for, or none
        void* replacement;
        DWORD error;
        DWORD flags;
        bool removed;
        int32_t code;  // of the failure, when not removed
        std::wstring message;
        Lines lines;  // in this order
    } cases[] = {
        {"Wine as it is", nullptr, nullptr, 0, 0, true, 0, L"",
         {paramsWarning, readWarning, L"The hardware '" + id + L"' was successfully uninstalled."}},
        {"parameters refused with a code", "SetupDiSetClassInstallParamsW",
         reinterpret_cast<void*>(&SetClassInstallParamsFailingDouble), ERROR_INVALID_PARAMETER, 0, false,
         static_cast<int32_t>(0x80070057), L"Failed to sets class install parameters for a device information set.", {}},
        {"install parameters unreadable for another cause", "SetupDiGetDeviceInstallParamsW",
         reinterpret_cast<void*>(&GetDeviceInstallParamsFailingDouble), ERROR_INVALID_HANDLE, 0, true,
         ERROR_INVALID_HANDLE, L"Failed to retrieves device installation parameters for a device information set.", {}},
        {"reboot needed", "SetupDiGetDeviceInstallParamsW", reinterpret_cast<void*>(&GetDeviceInstallParamsFlagsDouble), 0,
         DI_NEEDREBOOT, true, 0, L"",
         {paramsWarning, L"Execution of driver package required reboot.", L"The hardware '" + id + L"' was successfully uninstalled."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (ddtest::PresentDevices(id).empty()) {
            DeviceDriverInstaller::InstallHardware(package.infPath, id);
        }
        ASSERT_EQ(1u, ddtest::PresentDevices(id).size());
        g_failWith = c.error;
        g_installFlags = c.flags;
        ClearLog();
        {
            std::unique_ptr<ddtest::ImportPatch> patch;
            if (c.function != nullptr) {
                patch = std::make_unique<ddtest::ImportPatch>("setupapi.dll", c.function, c.replacement);
            }
            if (c.message.empty()) {
                DeviceDriverInstaller::UninstallHardware(id);
            } else {
                const setup::Exception e = ddtest::CatchSetupException([&] { DeviceDriverInstaller::UninstallHardware(id); });
                EXPECT_EQ(c.code, e.Code());
                EXPECT_EQ(c.message, e.Message());
                EXPECT_EQ(L"", e.Details());
            }
        }
        EXPECT_EQ(c.removed, ddtest::PresentDevices(id).empty());
        const Lines lines = LogLines();
        EXPECT_TRUE(ddtest::InOrder(lines, c.lines));
        if (!c.message.empty()) {
            EXPECT_EQ(lines.size(), ddtest::FindLine(lines, L"Uninstalling the hardware")) << "the removal ended early";
        }
    }
}

BOOL WINAPI UpdateDriverFailingDouble(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// The device nodes of the System class, present or not, as the Enum tree holds them.
std::vector<std::wstring> SystemClassNodes() {
    std::vector<std::wstring> nodes;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\SYSTEM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return nodes;
    }
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        nodes.emplace_back(name, length);
    }
    RegCloseKey(key);
    return nodes;
}

// A failed driver update takes away the device node this install made, and
// never one that was there before.
TEST_F(DeviceDriverInstallerTest, AFailedDriverUpdateLeavesNoNewDeviceNode) {
    const DriverPackage package = Package(L"PkgFail", {"ddDevFail", "ROOT\\ddDevFail"});
    const std::wstring id = L"ROOT\\ddDevFail";
    RemovesDevices(id);
    const std::vector<std::wstring> before = SystemClassNodes();
    {
        ddtest::ImportPatch patch("newdev.dll", "UpdateDriverForPlugAndPlayDevicesW",
                                  reinterpret_cast<void*>(&UpdateDriverFailingDouble));
        const setup::Exception e = ddtest::CatchSetupException([&] { DeviceDriverInstaller::InstallHardware(package.infPath, id); });
        EXPECT_EQ(static_cast<int32_t>(0x80070005), e.Code());
        EXPECT_EQ(L"Failed to update drivers for devices that match the hardware ID.", e.Message());
    }
    EXPECT_TRUE(ddtest::PresentDevices(id).empty());
    EXPECT_EQ(before, SystemClassNodes());
    EXPECT_TRUE(ddtest::InOrder(LogLines(), {L"Installing hardware '" + id + L"'.",
                                             L"Removing the new device of '" + id + L"' after the failed driver update."}));

    // The node of an earlier install stays when the update over it fails.
    DeviceDriverInstaller::InstallHardware(package.infPath, id);
    const std::vector<std::wstring> present = ddtest::PresentDevices(id);
    ASSERT_EQ(1u, present.size());
    {
        ddtest::ImportPatch patch("newdev.dll", "UpdateDriverForPlugAndPlayDevicesW",
                                  reinterpret_cast<void*>(&UpdateDriverFailingDouble));
        ddtest::CatchSetupException([&] { DeviceDriverInstaller::InstallHardware(package.infPath, id); });
    }
    EXPECT_EQ(present, ddtest::PresentDevices(id));
}

}  // namespace
