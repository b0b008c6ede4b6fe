// The filter driver installer against Wine's real SetupAPI, service manager,
// registry, catalog store and files: legacy driver INFs installed through
// their DefaultInstall section and removed through DefaultUninstall.

#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/DriverPackage.h"
#include "driver/install/DeviceDriverInstaller.h"
#include "driver/install/FilterDriverInstaller.h"
#include "doubles/InstallerPlatformDouble.h"
#include "frame/Exception.h"
#include "system/WindowsVersion.h"
#include "windows/install/InstallerTestKit.h"
#include "windows/support/CatchException.h"
#include "windows/support/ImportPatch.h"

namespace {

using namespace setup::driver;
using ddtest::Lines;

struct FilterInf {
    std::string service;
    std::string group;           // its load-order group
    bool userMode = false;       // the test service program instead of a kernel driver file
    int startType = 3;
    bool deleteService = true;   // DefaultUninstall.Services has a DelService line
    std::string uninstallDelReg; // a further DelReg line of the uninstall section
};

std::string FilterInfText(const FilterInf& inf) {
    const std::string& s = inf.service;
    const std::string file = s + (inf.userMode ? ".exe" : ".sys");
    std::string text =
        "[Version]\n"
        "Signature=\"$Windows NT$\"\n"
        "Class=LegacyDriver\n"
        "ClassGuid={8ECC055D-047F-11D1-A537-0000F8753ED1}\n"
        "Provider=dd\n"
        "DriverVer=01/01/2024,1.0.0.0\n"
        "[SourceDisksNames]\n1=disk\n"
        "[SourceDisksFiles]\n" + file + "=1\n"
        "[DestinationDirs]\nDefaultDestDir=12\n"
        "[DefaultInstall]\nCopyFiles=Files\nAddReg=InstallReg\n"
        "[Files]\n" + file + "\n"
        "[InstallReg]\nHKLM,Software\\ddtest\\" + s + ",FromInf,,\"inf\"\n"
        "[DefaultInstall.Services]\nAddService=" + s + ",,Svc\n"
        "[Svc]\nServiceType=" + (inf.userMode ? "0x10" : "1") + "\nStartType=" + std::to_string(inf.startType) +
        "\nErrorControl=1\nServiceBinary=%12%\\" + file + "\nLoadOrderGroup=" + inf.group + "\n"
        "[DefaultUninstall]\nDelFiles=Files\nDelReg=UninstallReg\n"
        "[UninstallReg]\nHKLM,Software\\ddtest\\" + s + ",FromInf\n" + inf.uninstallDelReg + "\n";
    text += "[DefaultUninstall.Services]\n";
    text += inf.deleteService ? "DelService=" + s + "\n" : "; the service stays\n";
    return text;
}

// A value the package's own DriverRegistry rows write or remove.
setup::DriverRegistryEntry TableValue(const std::wstring& service, int32_t action) {
    setup::DriverRegistryEntry entry;
    entry.id = L"Reg_" + service;
    entry.root = setup::registry_root::LocalMachine;
    entry.key = L"Software\\ddtest\\" + service + L"\\Table";
    entry.name = L"FromTable";
    entry.value = L"table";
    entry.action = action;
    return entry;
}

class FilterDriverInstallerTest : public ddtest::DriverInstallerTestBase {
protected:
    DriverPackage Package(const std::wstring& id, const FilterInf& inf) {
        const std::wstring service = ddtest::Widen(inf.service);
        Owns(service);
        DriverPackage package;
        package.id = id;
        if (inf.userMode) {
            package.infPath = WritePackage(service + L".inf", FilterInfText(inf), {service + L".exe"});
        } else {
            package.infPath = WritePackage(service + L".inf", FilterInfText(inf), {});
            ddtest::WriteTextFile(ddtest::ParentOf(package.infPath) + L"\\" + service + L".sys", "driver image");
        }
        package.type = package_type::Filter;
        return package;
    }

    // A catalog beside the INF; wintrust stores any file.
    std::wstring Catalog(const DriverPackage& package, const std::wstring& name) {
        const std::wstring path = ddtest::ParentOf(package.infPath) + L"\\" + name;
        ddtest::WriteTextFile(path, "catalog of " + ddtest::Narrow(package.id));
        return path;
    }

    void TearDown() override {
        setup::SetWindows5xSystemForTesting(std::nullopt);
        ddtest::DriverInstallerTestBase::TearDown();
    }
};

TEST_F(FilterDriverInstallerTest, InstallOfALegacyDriverPlacesFilesServiceRegistryCatalogAndLoadOrder) {
    DriverPackage package = Package(L"PkgLegacy", {"ddFltLegacy", "ddGroupLegacy"});
    package.catPath = Catalog(package, L"ddFltLegacy.cat");
    package.registryEntries = {TableValue(L"ddFltLegacy", setup::registry_action::Write)};
    package.attributes = attribute::MoveToFrontOfGroup;
    // Wine gives an INF-installed service tag 0.
    ddtest::WriteLoadOrderValue(L"ddGroupLegacy", {3, 10, 0, 20});
    ClearLog();

    std::make_shared<FilterDriverInstaller>(package)->Install();

    EXPECT_TRUE(ddtest::FileExists(ddtest::DriversFile(L"ddFltLegacy.sys")));
    const std::optional<ddtest::ServiceView> view = ddtest::QueryService(L"ddFltLegacy");
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(ddtest::Lower(ddtest::DriversFile(L"ddFltLegacy.sys")), ddtest::Lower(view->binary));
    EXPECT_EQ(L"ddGroupLegacy", view->group);
    EXPECT_EQ(L"inf", ddtest::RegistryString(HKEY_LOCAL_MACHINE, L"Software\\ddtest\\ddFltLegacy", L"FromInf").value_or(L""));
    EXPECT_EQ(L"table",
              ddtest::RegistryString(HKEY_LOCAL_MACHINE, L"Software\\ddtest\\ddFltLegacy\\Table", L"FromTable").value_or(L""));
    EXPECT_TRUE(ddtest::FileExists(ddtest::CatalogStoreFile(L"ddFltLegacy.cat")));
    EXPECT_EQ((std::vector<uint32_t>{3, 0, 10, 20}), ddtest::ReadLoadOrderValue(L"ddGroupLegacy"));
    EXPECT_TRUE(ddtest::InOrder(LogLines(), {
        L" - Installing filter driver 'PkgLegacy' from '" + package.infPath + L"'.",
        L"Actual inf section is 'DefaultInstall'.",
        L"The catalog file '" + package.catPath + L"' was successfully installed.",
        L"A file copy '",
        L"The registry value 'FromTable' installed. Data 'table'.",
        L"Moving 'ddFltLegacy' service to front.",
        L"The filter driver 'PkgLegacy' was successfully installed.",
    }));
}

TEST_F(FilterDriverInstallerTest, UninstallDisablesTheServiceFirstThenUndoesTheRestInOrder) {
    DriverPackage package = Package(L"PkgOrder", {"ddFltOrder", "ddGroupOrder"});
    package.catPath = Catalog(package, L"ddFltOrder.cat");
    package.registryEntries = {TableValue(L"ddFltOrder", setup::registry_action::Write)};
    package.attributes = attribute::MoveToFrontOfGroup;
    ddtest::WriteLoadOrderValue(L"ddGroupOrder", {2, 10, 20});
    std::make_shared<FilterDriverInstaller>(package)->Install();
    ASSERT_EQ((std::vector<uint32_t>{3, 0, 10, 20}), ddtest::ReadLoadOrderValue(L"ddGroupOrder"));
    package.registryEntries = {TableValue(L"ddFltOrder", setup::registry_action::Remove)};
    ClearLog();

    std::make_shared<FilterDriverInstaller>(package)->Uninstall();

    EXPECT_TRUE(ddtest::InOrder(LogLines(), {
        L" - Uninstalling filter driver 'PkgOrder' from inf file '" + package.infPath + L"'.",
        L"Actual inf section is 'DefaultUninstall'.",
        L"The StartType of service 'ddFltOrder' changed to '4'.",
        L"Remove 'ddFltOrder' service from load order list.",
        L"The ddGroupOrder' load order list changed to '10 20 '.",
        L"The registry value 'FromTable' removed.",
        L"A file delete '",
        L"The catalog file 'ddFltOrder.cat' was successfully removed.",
        L"The filter driver 'PkgOrder' was successfully uninstalled.",
    }));
    EXPECT_EQ((std::vector<uint32_t>{2, 10, 20}), ddtest::ReadLoadOrderValue(L"ddGroupOrder"));
    EXPECT_FALSE(ddtest::QueryService(L"ddFltOrder").has_value());
    EXPECT_FALSE(ddtest::FileExists(ddtest::DriversFile(L"ddFltOrder.sys")));
    EXPECT_FALSE(ddtest::RegistryString(HKEY_LOCAL_MACHINE, L"Software\\ddtest\\ddFltOrder", L"FromInf").has_value());
    EXPECT_FALSE(ddtest::RegistryString(HKEY_LOCAL_MACHINE, L"Software\\ddtest\\ddFltOrder\\Table", L"FromTable").has_value());
    EXPECT_FALSE(ddtest::FileExists(ddtest::CatalogStoreFile(L"ddFltOrder.cat")));
}

// A key entry whose key holds someone else's subkey cannot be removed (5),
// early in the uninstall: the service, files, other values and catalog still
// go, and the package fails with that first failure.
TEST_F(FilterDriverInstallerTest, AFailingStepDoesNotKeepTheLaterStepsFromRunning) {
    DriverPackage package = Package(L"PkgStuck", {"ddFltStuck", "ddGroupStuck"});
    package.catPath = Catalog(package, L"ddFltStuck.cat");
    const std::wstring stuck = L"Software\\ddtest\\ddFltStuck\\Stuck";
    setup::DriverRegistryEntry keyEntry = TableValue(L"ddFltStuck", setup::registry_action::Write);
    keyEntry.id = L"Stuck";
    keyEntry.key = stuck;
    keyEntry.name = L"+";
    keyEntry.value = L"";
    package.registryEntries = {keyEntry, TableValue(L"ddFltStuck", setup::registry_action::Write)};
    std::make_shared<FilterDriverInstaller>(package)->Install();
    HKEY sub = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (stuck + L"\\Sub").c_str(), 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &sub, nullptr));
    RegCloseKey(sub);
    for (setup::DriverRegistryEntry& entry : package.registryEntries) {
        entry.action = setup::registry_action::Remove;
    }
    ClearLog();

    const setup::Exception e = ddtest::CatchSetupException([&] { std::make_shared<FilterDriverInstaller>(package)->Uninstall(); });

    EXPECT_EQ(static_cast<int32_t>(0x80070005), e.Code());
    EXPECT_EQ(L"Failed to remove registry key: " + stuck, e.Message());
    EXPECT_EQ(L"PkgStuck", e.Details());
    const Lines lines = LogLines();
    EXPECT_TRUE(ddtest::InOrder(lines, {
        L"The StartType of service 'ddFltStuck' changed to '4'.",
        L"Uninstall step 'remove the registry entries' of driver package 'PkgStuck' failed. Failed to remove registry key: " +
            stuck + L" Error 0x80070005. The next steps go on.",
        L"A file delete '",
        L"The catalog file 'ddFltStuck.cat' was successfully removed.",
    }));
    EXPECT_EQ(lines.size(), ddtest::FindLine(lines, L"The filter driver 'PkgStuck' was successfully uninstalled."));
    EXPECT_FALSE(ddtest::QueryService(L"ddFltStuck").has_value());
    EXPECT_FALSE(ddtest::FileExists(ddtest::DriversFile(L"ddFltStuck.sys")));
    EXPECT_FALSE(ddtest::RegistryString(HKEY_LOCAL_MACHINE, L"Software\\ddtest\\ddFltStuck\\Table", L"FromTable").has_value());
    EXPECT_FALSE(ddtest::FileExists(ddtest::CatalogStoreFile(L"ddFltStuck.cat")));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\ddtest\\ddFltStuck");
}

// The uninstall section deletes the service's "Start" value. Where the
// services step comes first, the deletion mark is set while the service
// still counts as existing; where the section comes first, the mark finds
// no service any more.
TEST_F(FilterDriverInstallerTest, OnlyOn5xSystemsTheSectionRunsBeforeTheServicesStep) {
    const struct {
        bool is5x;
        const char* service;
        bool marked;
    } cases[] = {{false, "ddFltLater", true}, {true, "ddFlt5x", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.service);
        const std::wstring service = ddtest::Widen(c.service);
        DriverPackage package =
            Package(L"Pkg_" + service, {c.service, "ddGroupOrderRule", false, 3, true,
                                        "HKLM,System\\CurrentControlSet\\Services\\" + std::string(c.service) + ",Start"});
        package.attributes = attribute::DeleteFlagByValue;
        std::make_shared<FilterDriverInstaller>(package)->Install();
        setup::SetWindows5xSystemForTesting(c.is5x);
        ClearLog();

        std::make_shared<FilterDriverInstaller>(package)->Uninstall();

        const std::wstring key = ddtest::ServiceKey(service);
        EXPECT_FALSE(ddtest::RegistryDword(HKEY_LOCAL_MACHINE, key, L"Start").has_value()) << "the section ran";
        EXPECT_EQ(c.marked, ddtest::RegistryDword(HKEY_LOCAL_MACHINE, key, L"DeleteFlag") == std::optional<DWORD>(1));
        EXPECT_EQ(c.marked, ddtest::Contains(LogLines(), L"Added DeleteFlag to '" + service + L"' service."));
        EXPECT_EQ(L"The filter driver 'Pkg_" + service + L"' was successfully uninstalled.", LogLines().back());
    }
}

TEST_F(FilterDriverInstallerTest, DeleteFlagBitMarksInsteadOfDeletingAndInstallClearsTheMark) {
    DriverPackage package = Package(L"PkgMark", {"ddFltMark", "ddGroupMark"});
    package.attributes = attribute::DeleteFlagByValue;
    const std::wstring key = ddtest::ServiceKey(L"ddFltMark");
    std::make_shared<FilterDriverInstaller>(package)->Install();
    EXPECT_TRUE(ddtest::Contains(LogLines(), L"Skip installation of catalog file for driver 'PkgMark'."));
    ClearLog();

    std::make_shared<FilterDriverInstaller>(package)->Uninstall();

    // The services section did not run: the service is still registered,
    // disabled and marked.
    const std::optional<ddtest::ServiceView> uninstalled = ddtest::QueryService(L"ddFltMark");
    ASSERT_TRUE(uninstalled.has_value());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DISABLED), uninstalled->startType);
    EXPECT_EQ(std::optional<DWORD>(1), ddtest::RegistryDword(HKEY_LOCAL_MACHINE, key, L"DeleteFlag"));
    EXPECT_TRUE(ddtest::InOrder(LogLines(), {L"Added DeleteFlag to 'ddFltMark' service.", L"A file delete '",
                                             L"Skip uninstallation of catalog file for driver 'PkgMark'."}));

    // Without the bit a marked service fails the result check...
    DriverPackage plain = package;
    plain.attributes = 0;
    const setup::Exception refused = ddtest::CatchSetupException([&] { std::make_shared<FilterDriverInstaller>(plain)->Install(); });
    EXPECT_EQ(L"Validation failed: The service marked for deletion: ddFltMark", refused.Message());
    // ...with it the mark goes before the services are installed again.
    ClearLog();
    std::make_shared<FilterDriverInstaller>(package)->Install();
    EXPECT_FALSE(ddtest::RegistryDword(HKEY_LOCAL_MACHINE, key, L"DeleteFlag").has_value());
    EXPECT_TRUE(ddtest::InOrder(LogLines(), {L"A file copy '", L"The DeleteFlag was removed for 'ddFltMark' service.",
                                             L"The filter driver 'PkgMark' was successfully installed."}));
}

BOOL WINAPI SetClassInstallParamsRefusingDouble(HDEVINFO, PSP_DEVINFO_DATA, PSP_CLASSINSTALL_HEADER, DWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

TEST_F(FilterDriverInstallerTest, UpgradeRemovesTheLegacyRootDeviceAndEarlierInfsWithWarningsOnly) {
    const DriverPackage package = Package(L"PkgUp", {"ddFltUp", "ddGroupUp"});
    // The root device an earlier version was installed as, its id in
    // another letter case; its INF installs no service of its own.
    const std::wstring legacyInf = WritePackage(L"ddFltUpDevice.inf",
                                                "[Version]\nSignature=\"$Windows NT$\"\nClass=System\n"
                                                "ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\nProvider=dd\n"
                                                "DriverVer=01/01/2020,0.9.0.0\n"
                                                "[Manufacturer]\ndd=Models,NTamd64\n"
                                                "[Models.NTamd64]\n\"legacy\"=Legacy,root\\DDFLTUP\n"
                                                "[Legacy]\n[Legacy.Services]\nAddService=,2\n",
                                                {});
    const struct {
        const char* name;
        bool refuseRemoval;
        Lines lines;
    } cases[] = {
        {"device removed", false,
         {L"Uninstalling hardware 'ROOT\\ddFltUp'.", L"Removing '", L"The hardware 'ROOT\\ddFltUp' was successfully uninstalled."}},
        {"removal refused", true,
         {L"Uninstalling hardware 'ROOT\\ddFltUp'.", L"Removing '",
          L"Warning: Failed to sets class install parameters for a device information set. Error 0x80070057."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (ddtest::PresentDevices(L"ROOT\\ddFltUp").empty()) {
            DeviceDriverInstaller::InstallHardware(legacyInf, L"root\\DDFLTUP");
        }
        ASSERT_EQ(1u, ddtest::PresentDevices(L"ROOT\\ddFltUp").size());
        // Two earlier versions published under oem names; one cannot be
        // deleted.
        const std::wstring removable = ddtest::WindowsDirectory() + L"\\Inf\\oem8801.inf";
        const std::wstring locked = ddtest::WindowsDirectory() + L"\\Inf\\oem8802.inf";
        SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
        // Not byte for byte the package's INF: Wine would take such a copy
        // for the package's own published INF.
        const std::string earlier = FilterInfText({"ddFltUp", "ddGroupUp"}) + "; version 0.9\n";
        ddtest::WriteTextFile(removable, earlier);
        ddtest::WriteTextFile(locked, earlier);
        SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY);
        ClearLog();
        {
            std::unique_ptr<ddtest::ImportPatch> patch;
            if (c.refuseRemoval) {
                patch = std::make_unique<ddtest::ImportPatch>("setupapi.dll", "SetupDiSetClassInstallParamsW",
                                                              reinterpret_cast<void*>(&SetClassInstallParamsRefusingDouble));
            }
            std::make_shared<FilterDriverInstaller>(package)->Upgrade();
        }

        const Lines lines = LogLines();
        EXPECT_EQ(L" - Upgrading filter driver 'PkgUp' from inf file '" + package.infPath + L"'.", lines.front());
        EXPECT_EQ(L"The filter driver 'PkgUp' was successfully upgraded.", lines.back());
        EXPECT_TRUE(ddtest::InOrder(lines, {L"Found legacy driver package '" + removable + L"'.",
                                            L"The inf file 'oem8801.inf' was successfully uninstalled."}));
        EXPECT_TRUE(ddtest::InOrder(lines, {L"Found legacy driver package '" + locked + L"'.",
                                            L"Warning: Failed to uninstall OEM inf file: oem8802.inf Error 0x80070005."}));
        EXPECT_TRUE(ddtest::InOrder(lines, c.lines));
        EXPECT_TRUE(ddtest::InOrder(lines, {L"Uninstalling hardware 'ROOT\\ddFltUp'.", L" - Installing filter driver 'PkgUp'",
                                            L"The filter driver 'PkgUp' was successfully installed."}));
        EXPECT_FALSE(ddtest::FileExists(removable));
        EXPECT_EQ(c.refuseRemoval, !ddtest::PresentDevices(L"ROOT\\ddFltUp").empty());
        EXPECT_TRUE(ddtest::QueryService(L"ddFltUp").has_value());
    }
    SetFileAttributesW(ddtest::InfStoreFile(L"oem8802.inf").c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(ddtest::InfStoreFile(L"oem8802.inf").c_str());
    if (!ddtest::PresentDevices(L"ROOT\\ddFltUp").empty()) {
        DeviceDriverInstaller::UninstallHardware(L"ROOT\\ddFltUp");
    }
}

// The service cannot be opened without a name, so it is neither stopped nor
// disabled; the steps that do not need it (the section, files, catalog) still
// run, and the uninstall fails with the first failure.
TEST_F(FilterDriverInstallerTest, UninstallSectionWithoutDelServiceFailsAtTheFirstServiceOpenAndGoesOn) {
    DriverPackage package = Package(L"PkgNoDel", {"ddFltNoDel", "ddGroupNoDel", false, 3, false});
    std::make_shared<FilterDriverInstaller>(package)->Install();
    package.attributes = attribute::StopService;
    ClearLog();

    const setup::Exception e = ddtest::CatchSetupException([&] { std::make_shared<FilterDriverInstaller>(package)->Uninstall(); });

    EXPECT_EQ(static_cast<int32_t>(0x80070057), e.Code());
    EXPECT_EQ(L"The service name is empty.", e.Message());
    EXPECT_EQ(L"PkgNoDel", e.Details());
    EXPECT_TRUE(ddtest::InOrder(LogLines(), {
        L" - Uninstalling filter driver 'PkgNoDel' from inf file '" + package.infPath + L"'.",
        L"Actual inf section is 'DefaultUninstall'.",
        L"Uninstall step 'open the service' of driver package 'PkgNoDel' failed. The service name is empty. Error 0x80070057. The next steps go on.",
        L"A file delete '",
    }));
    const std::optional<ddtest::ServiceView> view = ddtest::QueryService(L"ddFltNoDel");
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), view->startType) << "the service was not touched";
    EXPECT_FALSE(ddtest::FileExists(ddtest::DriversFile(L"ddFltNoDel.sys")));
}

// Stand-ins for the file system redirection pair, which Wine's 64-bit
// processes refuse, found through GetProcAddress.
struct Redirection {
    bool disableSucceeds = true;
    int disabled = 0;
    std::vector<PVOID> reverted;
} g_redirection;
PVOID const kRedirectionToken = reinterpret_cast<PVOID>(0x5A5A);
using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);
GetProcAddressFn g_realGetProcAddress = nullptr;

BOOL WINAPI DisableRedirectionDouble(PVOID* old) {
    ++g_redirection.disabled;
    if (!g_redirection.disableSucceeds) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    *old = kRedirectionToken;
    return TRUE;
}

BOOL WINAPI RevertRedirectionDouble(PVOID old) {
    g_redirection.reverted.push_back(old);
    return TRUE;
}

FARPROC WINAPI GetProcAddressDouble(HMODULE module, LPCSTR name) {
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF) {
        if (std::string(name) == "Wow64DisableWow64FsRedirection") {
            return reinterpret_cast<FARPROC>(&DisableRedirectionDouble);
        }
        if (std::string(name) == "Wow64RevertWow64FsRedirection") {
            return reinterpret_cast<FARPROC>(&RevertRedirectionDouble);
        }
    }
    return g_realGetProcAddress(module, name);
}

class FilterInstallerOnPlatform : public FilterDriverInstaller {
public:
    FilterInstallerOnPlatform(const DriverPackage& package, InstallerPlatform& platform)
        : FilterDriverInstaller(package, platform) {}
};

TEST_F(FilterDriverInstallerTest, ElamStepReadsTheInstalledDriverAndRestoresTheRedirectionOnEveryRoad) {
    const std::wstring lookupFailed = L"Failed to get InstallELAMCertificateInfo proc address.";
    const struct {
        const char* name;
        bool redirectionDouble;  // GetProcAddress hands out the redirection doubles
        bool disableSucceeds;
        bool elamDouble;         // the platform has the certificate entry point
        std::wstring message;    // of the failure; empty: the install succeeds
        int reverts;
    } cases[] = {
        {"Wine as it is", false, true, false, lookupFailed, 0},
        {"redirection off, lookup fails", true, true, false, lookupFailed, 1},
        {"redirection refused, lookup fails", true, false, false, lookupFailed, 0},
        {"redirection off, certificate installed", true, true, true, L"", 1},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string service = "ddFltElam" + std::to_string(round++);
        DriverPackage package = Package(ddtest::Widen("Pkg_" + service), {service, "ddGroupElam"});
        package.attributes = attribute::InstallElamCertificate;
        g_redirection = Redirection{};
        g_redirection.disableSucceeds = c.disableSucceeds;
        ClearLog();
        ddtest::InstallerPlatformDouble platform;
        platform.offerElamEntryPoint = true;
        std::optional<setup::Exception> failure;
        {
            std::unique_ptr<ddtest::ImportPatch> patch;
            if (c.redirectionDouble) {
                patch = std::make_unique<ddtest::ImportPatch>("kernel32.dll", "GetProcAddress",
                                                              reinterpret_cast<void*>(&GetProcAddressDouble));
                g_realGetProcAddress = reinterpret_cast<GetProcAddressFn>(patch->original());
            }
            const std::shared_ptr<FilterDriverInstaller> installer =
                c.elamDouble ? std::make_shared<FilterInstallerOnPlatform>(package, platform)
                             : std::make_shared<FilterDriverInstaller>(package);
            try {
                installer->Install();
            } catch (const setup::Exception& e) {
                failure = e;
            }
        }
        if (c.message.empty()) {
            EXPECT_FALSE(failure.has_value()) << (failure ? ddtest::Narrow(failure->Message()) : "");
            const std::wstring driver = ddtest::DriversFile(ddtest::Widen(service) + L".sys");
            ASSERT_EQ(1u, platform.elamFiles.size());
            EXPECT_NE(std::wstring::npos, ddtest::Lower(platform.elamFiles[0]).find(ddtest::Lower(driver.substr(2))))
                << ddtest::Narrow(platform.elamFiles[0]);
            EXPECT_TRUE(ddtest::InOrder(LogLines(), {
                L"The certificate information was successfully installed from ELAM driver '" + driver + L"'.",
                L"The filter driver 'Pkg_" + ddtest::Widen(service) + L"' was successfully installed."}));
        } else {
            ASSERT_TRUE(failure.has_value());
            EXPECT_EQ(c.message, failure->Message());
            EXPECT_EQ(static_cast<int32_t>(0x8007007F), failure->Code());
        }
        if (c.redirectionDouble) {
            EXPECT_EQ(1, g_redirection.disabled);
            EXPECT_EQ(std::vector<PVOID>(c.reverts, kRedirectionToken), g_redirection.reverted);
        }
    }
}

TEST_F(FilterDriverInstallerTest, StartTypeOnFinalizeLeavesDemandStartAndTheServiceStartsAndStops) {
    DriverPackage package = Package(L"PkgRun", {"ddFltRun", "ddGroupRun", true, 2});
    package.attributes = attribute::StartTypeOnFinalize | attribute::StartService;
    std::make_shared<FilterDriverInstaller>(package)->Install();

    const std::optional<ddtest::ServiceView> installed = ddtest::QueryService(L"ddFltRun");
    ASSERT_TRUE(installed.has_value());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), installed->startType);
    EXPECT_TRUE(ddtest::WaitForServiceState(L"ddFltRun", SERVICE_RUNNING));
    const Lines lines = LogLines();
    EXPECT_TRUE(ddtest::InOrder(lines, {L"The StartType of service 'ddFltRun' changed to '3'.", L"StartService: 'ddFltRun'"}));
    EXPECT_FALSE(ddtest::Contains(lines, L"The service 'ddFltRun' is already running.")) << "this start started it";

    // The deletion mark instead of DelService keeps the stopped service to look at.
    package.attributes = attribute::StopService | attribute::DeleteFlagByValue;
    ClearLog();
    std::make_shared<FilterDriverInstaller>(package)->Uninstall();

    EXPECT_TRUE(ddtest::WaitForServiceState(L"ddFltRun", SERVICE_STOPPED));
    EXPECT_TRUE(ddtest::InOrder(LogLines(), {L"StopService: 'ddFltRun'.", L"The StartType of service 'ddFltRun' changed to '4'."}));
}

TEST(FilterDriverInstallerSystemDirectory, IsTheSystemsOwn) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    EXPECT_EQ(std::wstring(system), FilterDriverInstaller::GetSystemDirectoryPath());
}

}  // namespace
