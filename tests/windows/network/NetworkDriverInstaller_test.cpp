// The network driver installer against the network configuration double
// (registered for CLSID_CNetCfg in the prefix), with Wine's real SetupAPI INF
// store and service control manager for the INF and service steps. Each
// installer lives on a thread of its own, as under the dispatcher.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/DriverPackage.h"
#include "driver/install/NetworkDriverInstaller.h"
#include "frame/EntryPoint.h"
#include "frame/Exception.h"
#include "frame/Handles.h"
#include "frame/Session.h"
#include "system/WindowsVersion.h"
#include "windows/network/NetCfgDoubleControl.h"
#include "windows/support/CatchException.h"
#include "windows/support/InstallerFixture.h"

namespace {

using namespace setup::driver;
namespace netcfg = ddtest::netcfg;
using Lines = std::vector<std::wstring>;

constexpr uint32_t kFilterLimit = 0x8004A029;
constexpr uint32_t kNeedReboot = 0x8004A025;
constexpr wchar_t kService[] = L"ddtnet";
constexpr wchar_t kNetServiceClass[] = L"{4D36E974-E325-11CE-BFC1-08002BE10318}";

std::wstring WindowsPath(const std::wstring& relative) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\" + relative;
}

// A network service package whose models name the given hardware ids.
std::string NetworkInf(const std::vector<std::string>& hardwareIds, int startType) {
    std::string models;
    for (const std::string& id : hardwareIds) {
        models += "%Name%=Install," + id + "\n";
    }
    return "[Version]\n"
           "Signature=\"$WINDOWS NT$\"\n"
           "Class=NetService\n"
           "ClassGuid={4D36E974-E325-11CE-BFC1-08002BE10318}\n"
           "Provider=%Vendor%\n"
           "DriverVer=01/01/2024,1.0.0.0\n"
           "[Manufacturer]\n"
           "%Vendor%=Models,NTamd64\n"
           "[Models.NTamd64]\n" +
           models +
           "[SourceDisksNames]\n"
           "1=%Disk%\n"
           "[SourceDisksFiles]\n"
           "ddtnet.sys=1\n"
           "[DestinationDirs]\n"
           "DefaultDestDir=12\n"
           "[Install.NTamd64]\n"
           "CopyFiles=Install.Files\n"
           "[Install.NTamd64.Services]\n"
           "AddService=ddtnet,,Install.Service\n"
           "[Install.Files]\n"
           "ddtnet.sys\n"
           "[Install.Service]\n"
           "DisplayName=%Name%\n"
           "ServiceType=1\n"
           "StartType=" + std::to_string(startType) + "\n"
           "ErrorControl=1\n"
           "ServiceBinary=%12%\\ddtnet.sys\n"
           "[Strings]\n"
           "Vendor=\"driverdeploy tests\"\n"
           "Name=\"ddtnet test network service\"\n"
           "Disk=\"ddtnet disk\"\n";
}

std::optional<DWORD> StartType(const std::wstring& service) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\services\\" + service).c_str(), L"Start",
                     RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return data;
}

bool ServiceExists(const std::wstring& service) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE handle = OpenServiceW(manager, service.c_str(), SERVICE_QUERY_STATUS);
    const bool exists = handle != nullptr;
    if (handle != nullptr) {
        CloseServiceHandle(handle);
    }
    CloseServiceHandle(manager);
    return exists;
}

void SetStartType(const std::wstring& service, DWORD startType) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE handle = OpenServiceW(manager, service.c_str(), SERVICE_ALL_ACCESS);
    EXPECT_NE(nullptr, handle);
    EXPECT_TRUE(ChangeServiceConfigW(handle, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr));
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
}

void RemoveService(const std::wstring& service) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE handle = OpenServiceW(manager, service.c_str(), SERVICE_ALL_ACCESS);
    if (handle != nullptr) {
        ::DeleteService(handle);
        CloseServiceHandle(handle);
    }
    CloseServiceHandle(manager);
}

class NetworkInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Keeps the double's counters alive when COM lets go of the DLL.
        double_.reset(LoadLibraryW(netcfg::DoublePath().c_str()));
        ASSERT_TRUE(double_);
        baselineLive_ = netcfg::LiveObjects();
        database_ = ddtest::BuildDatabase(dir_ / L"t.msi", {});
        session_.emplace(database_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "NetTest"));
        session_->ClearMessages();
        setup::SetWindows5xSystemForTesting(false);
        ddtest::WriteTextFile(dir_ / L"ddtnet.sys", "not a driver");
        WriteInf({"dd_tnet"});
    }

    void TearDown() override {
        setup::SetWindows5xSystemForTesting(std::nullopt);
        SetNetworkLockTimeoutForTesting(std::nullopt);
        RemoveService(kService);
        for (const wchar_t* file : {L"inf\\ddtnet.inf", L"inf\\ddtnet.pnf", L"system32\\drivers\\ddtnet.sys",
                                    L"inf\\INFCACHE.1", L"inf\\INFCACHE.BAK"}) {
            DeleteFileW(WindowsPath(file).c_str());
        }
        setup::Finalize(0);
        session_.reset();
    }

    void WriteInf(const std::vector<std::string>& hardwareIds, int startType = 3) {
        ddtest::WriteTextFile(InfPath(), NetworkInf(hardwareIds, startType));
    }

    // Back to the state of SetUp for the next case of a table.
    void Reset() {
        RemoveService(kService);
        for (const wchar_t* file : {L"inf\\ddtnet.inf", L"inf\\ddtnet.pnf", L"inf\\INFCACHE.1", L"inf\\INFCACHE.BAK"}) {
            DeleteFileW(WindowsPath(file).c_str());
        }
        netcfg::ResetState();
        setup::SetWindows5xSystemForTesting(false);
        WriteInf({"dd_tnet"});
        session_->ClearMessages();
    }
    std::wstring InfPath() const { return dir_ / L"ddtnet.inf"; }
    std::wstring PublishedInf() const { return WindowsPath(L"inf\\ddtnet.inf"); }

    DriverPackage Package(uint32_t attributes = 0) const {
        DriverPackage package;
        package.id = L"NetPkg";
        package.component = L"NetCmp";
        package.infPath = InfPath();
        package.type = package_type::Network;
        package.attributes = attributes;
        return package;
    }

    // Runs the body on a fresh thread as the dispatcher runs a package and
    // rethrows what it threw; afterwards that thread's COM must be
    // uninitialized and no object of the double may be left.
    void OnPackageThread(const std::function<void()>& body) {
        std::exception_ptr failure;
        HRESULT comAfter = E_FAIL;
        std::thread thread([&] {
            try {
                body();
            } catch (...) {
                failure = std::current_exception();
            }
            comAfter = CoInitialize(nullptr);
            CoUninitialize();
            if (comAfter == S_FALSE) {
                CoUninitialize();
            }
        });
        thread.join();
        EXPECT_EQ(S_OK, comAfter) << "COM was left initialized on the package thread";
        EXPECT_EQ(baselineLive_ + expectedLive_, netcfg::LiveObjects()) << "an interface pointer of the double was not released";
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
    void Run(void (NetworkDriverInstaller::*operation)(), const DriverPackage& package) {
        OnPackageThread([&] { (NetworkDriverInstaller(package).*operation)(); });
    }
    setup::Exception RunFailing(void (NetworkDriverInstaller::*operation)(), const DriverPackage& package) {
        return ddtest::CatchSetupException([&] { Run(operation, package); });
    }
    setup::Exception ConstructFailing() {
        return ddtest::CatchSetupException([&] { OnPackageThread([&] { NetworkDriverInstaller installer(Package()); }); });
    }

    Lines LogLines() const {
        Lines lines;
        for (const std::wstring& line : session_->InfoLines()) {
            lines.push_back(ddtest::StripLogPrefix(line));
        }
        return lines;
    }
    bool Logged(const std::wstring& line) const {
        const Lines lines = LogLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    // A component installed earlier: its INF published, its service present
    // and the double's configuration holding it.
    void InstallBeforehand(const std::wstring& component = L"dd_tnet") {
        ASSERT_TRUE(SetupCopyOEMInfW(InfPath().c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = CreateServiceW(manager, kService, kService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           L"C:\\windows\\system32\\drivers\\ddtnet.sys", nullptr, nullptr, nullptr,
                                           nullptr, nullptr);
        ASSERT_NE(nullptr, service) << GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        netcfg::SetInstalledComponents({component});
        session_->ClearMessages();
    }

    ddtest::TempDir dir_;
    long baselineLive_ = 0;
    long expectedLive_ = 0;
    setup::UniqueModule double_;
    netcfg::Registration registration_;
    std::wstring database_;
    std::optional<ddtest::InstallerSession> session_;
};

// The call names of the double from the first one the installer made.
std::vector<std::wstring> Names() { return netcfg::CallNames(); }

std::vector<std::wstring> Args(const std::wstring& name) {
    for (const netcfg::Call& call : netcfg::Calls()) {
        if (call.name == name) {
            return call.args;
        }
    }
    return {};
}

std::vector<std::wstring> LastNames(size_t count) {
    const std::vector<std::wstring> names = Names();
    return std::vector<std::wstring>(names.end() - static_cast<std::ptrdiff_t>(std::min(count, names.size())), names.end());
}

size_t CountCalls(const std::wstring& name) {
    const std::vector<std::wstring> names = Names();
    return static_cast<size_t>(std::count(names.begin(), names.end(), name));
}

const std::vector<std::wstring> kOpening = {L"QueryInterface", L"CreateInstance", L"QueryInterface",
                                            L"AcquireWriteLock", L"Initialize"};
const std::vector<std::wstring> kClosing = {L"Uninitialize", L"ReleaseWriteLock", L"Destroyed"};

std::vector<std::wstring> Framed(const std::vector<std::wstring>& middle) {
    std::vector<std::wstring> all = kOpening;
    all.insert(all.end(), middle.begin(), middle.end());
    all.insert(all.end(), kClosing.begin(), kClosing.end());
    return all;
}

TEST_F(NetworkInstallerTest, InstallPublishesTheInfAndInstallsTheComponentUnderTheLock) {
    Run(&NetworkDriverInstaller::Install, Package());

    const std::wstring inf = InfPath();
    const std::wstring checked[] = {L"The service ddtnet exist.", L"The service ddtnet is not marked for deletion.",
                                    L"Inf file '" + inf + L"' verification result: 0x8007007f."};
    Lines expected = {L" - Installing network driver 'NetPkg' from '" + inf + L"'.",
                      L"The network component was 'dd_tnet' not found.",
                      L"Found '" + PublishedInf() + L"' for driver package.",
                      L"The system cannot find the file '" + WindowsPath(L"Inf\\oem*.inf") + L"', ",
                      L"The inf file 'ddtnet.inf' was successfully uninstalled.",
                      L"The inf file '" + inf + L"' and corresponding .cat was successfully installed.",
                      L"Installing network component 'dd_tnet'."};
    expected.insert(expected.end(), std::begin(checked), std::end(checked));
    expected.push_back(L"The network component 'dd_tnet' was successfully installed.");
    expected.insert(expected.end(), std::begin(checked), std::end(checked));
    expected.push_back(L"The network driver 'NetPkg' was successfully installed.");
    EXPECT_EQ(expected, LogLines());

    EXPECT_EQ(Framed({L"FindComponent", L"QueryNetCfgClass", L"Install", L"Apply"}), Names());
    EXPECT_EQ((std::vector<std::wstring>{L"15000", L"\"Network driver installer\""}), Args(L"AcquireWriteLock"));
    EXPECT_EQ((std::vector<std::wstring>{kNetServiceClass, L"INetCfgClassSetup"}), Args(L"QueryNetCfgClass"));
    EXPECT_EQ((std::vector<std::wstring>{L"\"dd_tnet\"", kNetServiceClass, L"obo-type=1,rest-zero", L"0", L"0",
                                         L"null", L"null"}),
              Args(L"Install"));
    EXPECT_EQ((std::vector<std::wstring>{L"dd_tnet"}), netcfg::InstalledComponents());
    EXPECT_TRUE(ddtest::FileExists(PublishedInf()));
    EXPECT_TRUE(ServiceExists(kService));
}

TEST_F(NetworkInstallerTest, UninstallRemovesComponentServiceAndInf) {
    InstallBeforehand();
    Run(&NetworkDriverInstaller::Uninstall, Package());

    const std::wstring inf = InfPath();
    EXPECT_EQ((Lines{L" - Uninstalling network driver 'NetPkg' from inf file '" + inf + L"'.",
                     L"The service ddtnet exist.",
                     L"Remove 'ddtnet' service from load order list.",
                     L"The LoadOrderGroup of service 'ddtnet' is ''.",
                     L"Uninstalling network component 'dd_tnet'.",
                     L"The network component 'dd_tnet' was successfully uninstalled.",
                     L"The service ddtnet exist.",
                     L"DeleteService: 'ddtnet'.",
                     L"Found '" + PublishedInf() + L"' for driver package.",
                     L"The system cannot find the file '" + WindowsPath(L"Inf\\oem*.inf") + L"', ",
                     L"The inf file 'ddtnet.inf' was successfully uninstalled.",
                     L"The network driver 'NetPkg' was successfully uninstalled."}),
              LogLines());
    EXPECT_EQ(Framed({L"FindComponent", L"QueryNetCfgClass", L"QueryInterface", L"DeInstall", L"Apply"}), Names());
    EXPECT_EQ((std::vector<std::wstring>{kNetServiceClass, L"INetCfgClass"}), Args(L"QueryNetCfgClass"));
    EXPECT_EQ((std::vector<std::wstring>{L"\"dd_tnet\"", kNetServiceClass, L"obo-type=1,rest-zero", L"null"}),
              Args(L"DeInstall"));
    EXPECT_TRUE(netcfg::InstalledComponents().empty());
    EXPECT_FALSE(ServiceExists(kService));
    EXPECT_FALSE(ddtest::FileExists(PublishedInf()));
}

// A component that cannot be removed does not keep the service from going;
// its INF stays published, for the platform's tools to remove the component.
TEST_F(NetworkInstallerTest, AFailedComponentRemovalStillDeletesTheServiceAndKeepsTheInf) {
    InstallBeforehand();
    netcfg::Answer(L"DeInstall", kFilterLimit);
    const setup::Exception e = RunFailing(&NetworkDriverInstaller::Uninstall, Package());

    EXPECT_EQ(static_cast<int32_t>(kFilterLimit), e.Code());
    EXPECT_EQ(L"Failed deinstall network components.", e.Message());
    EXPECT_EQ(L"NetPkg", e.Details());
    const Lines lines = LogLines();
    const auto at = [&](const std::wstring& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
    const auto failed = at(L"Uninstall step 'remove the network component' of driver package 'NetPkg' failed. Failed "
                           L"deinstall network components. Error 0x8004a029. The next steps go on.");
    ASSERT_LT(failed, static_cast<std::ptrdiff_t>(lines.size()));
    EXPECT_LT(failed, at(L"DeleteService: 'ddtnet'."));
    EXPECT_LT(at(L"DeleteService: 'ddtnet'."),
              at(L"Skip uninstall step 'remove the published INF files' of driver package 'NetPkg'. It needs the failed "
                 L"step 'remove the network component'."));
    EXPECT_EQ(L"Skip uninstall step 'remove the published INF files' of driver package 'NetPkg'. It needs the failed "
              L"step 'remove the network component'.",
              lines.back());

    EXPECT_FALSE(ServiceExists(kService));
    EXPECT_TRUE(ddtest::FileExists(PublishedInf()));
    EXPECT_EQ(std::vector<std::wstring>{L"dd_tnet"}, netcfg::InstalledComponents());
}

TEST_F(NetworkInstallerTest, UninstallOfAComponentNotInstalledStillDeletesServiceAndInf) {
    InstallBeforehand();
    netcfg::SetInstalledComponents({});
    Run(&NetworkDriverInstaller::Uninstall, Package());

    const Lines lines = LogLines();
    const auto at = [&](const std::wstring& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
    const auto notFound = at(L"The network component was 'dd_tnet' not found.");
    ASSERT_LT(notFound, static_cast<std::ptrdiff_t>(lines.size()));
    EXPECT_LT(notFound, at(L"DeleteService: 'ddtnet'."));
    EXPECT_LT(at(L"DeleteService: 'ddtnet'."), at(L"The inf file 'ddtnet.inf' was successfully uninstalled."));
    EXPECT_EQ(L"The network driver 'NetPkg' was successfully uninstalled.", lines.back());
    EXPECT_EQ(Framed({L"FindComponent"}), Names());
    EXPECT_FALSE(ServiceExists(kService));
    EXPECT_FALSE(ddtest::FileExists(PublishedInf()));
}

TEST_F(NetworkInstallerTest, UpgradeRefreshesFilesAndInfButNeverTheComponentOrStartType) {
    InstallBeforehand();
    ASSERT_TRUE(DeleteFileW(PublishedInf().c_str()));
    SetStartType(kService, SERVICE_DISABLED);
    Run(&NetworkDriverInstaller::Upgrade, Package(attribute::StartTypeOnFinalize));

    const std::wstring inf = InfPath();
    const std::wstring source = dir_ / L"ddtnet.sys";
    const std::wstring target = WindowsPath(L"system32\\drivers\\ddtnet.sys");
    EXPECT_EQ((Lines{L" - Upgrading network driver 'NetPkg' from inf file '" + inf + L"'.",
                     L"Actual inf section is 'Install.NTamd64'.",
                     L"Skip uninstall oem.inf of previous version.",
                     L"The queue has started to commit.",
                     L"A subqueue 0 has started. Count 1",
                     L"New source media is needed '" + dir_.path() + L"' 'ddtnet.sys' 0.",
                     L"A file copy '" + source + L"'->'" + target + L"' operation has started.",
                     L"A file copying '" + source + L"'->'" + target + L"' operation has ended.",
                     L"A subqueue 0 has ended.",
                     L"The queue has finished committing.",
                     L"The inf file '" + inf + L"' and corresponding .cat was successfully installed.",
                     L"The service ddtnet exist.",
                     L"The service ddtnet is not marked for deletion.",
                     L"Inf file '" + inf + L"' verification result: 0x8007007f.",
                     L"The network driver 'NetPkg' was successfully upgraded."}),
              LogLines());
    EXPECT_EQ(Framed({}), Names());
    EXPECT_EQ((std::vector<std::wstring>{L"dd_tnet"}), netcfg::InstalledComponents());
    EXPECT_EQ(std::optional<DWORD>(SERVICE_DISABLED), StartType(kService));
    EXPECT_TRUE(ddtest::FileExists(target));
    EXPECT_TRUE(ddtest::FileExists(PublishedInf()));
}

TEST_F(NetworkInstallerTest, InstallSetsTheDemandStartTypeForFinalizeOnlyWhenAsked) {
    for (const uint32_t attributes : {0u, attribute::StartTypeOnFinalize}) {
        SCOPED_TRACE(attributes);
        // The double's class installer adds the service from the INF, here
        // disabled; only the attribute changes that afterwards.
        WriteInf({"dd_tnet"}, SERVICE_DISABLED);
        Run(&NetworkDriverInstaller::Install, Package(attributes));
        EXPECT_EQ(std::optional<DWORD>(attributes != 0 ? SERVICE_DEMAND_START : SERVICE_DISABLED),
                  StartType(kService));
        Reset();
    }
}

TEST_F(NetworkInstallerTest, NonNegativeAnswersOfInstallAndApplyPassSilently) {
    netcfg::Answer(L"Install", 0x0004A020);  // NETCFG_S_REBOOT
    netcfg::Answer(L"Apply", 1);
    Run(&NetworkDriverInstaller::Install, Package());
    EXPECT_EQ(L"The network driver 'NetPkg' was successfully installed.", LogLines().back());
    EXPECT_EQ((std::vector<std::wstring>{L"dd_tnet"}), netcfg::InstalledComponents());
}

// The start and stop attributes reach the service manager at their place in
// each sequence. Wine starts no kernel driver (1114), which ends the
// operation; stopping one that is not running (1062) is no failure.
TEST_F(NetworkInstallerTest, StartAndStopAttributesDriveTheServiceManager) {
    using Operation = void (NetworkDriverInstaller::*)();
    const struct {
        Operation operation;
        uint32_t attributes;
        std::wstring line;
        int32_t code;  // 0: the operation goes on past the line
        const wchar_t* before;
        std::wstring after;  // the last line, when the operation goes on
    } cases[] = {
        {&NetworkDriverInstaller::Install, attribute::StartService, L"StartService: 'ddtnet'",
         static_cast<int32_t>(0x8007045A), L"Installing network component 'dd_tnet'.", L""},
        {&NetworkDriverInstaller::Upgrade, attribute::StartService, L"StartService: 'ddtnet'",
         static_cast<int32_t>(0x8007045A), L"Skip uninstall oem.inf of previous version.", L""},
        // A driver is never running under Wine: a stop finds nothing to stop, which is no failure.
        {&NetworkDriverInstaller::Uninstall, attribute::StopService, L"StopService: 'ddtnet'.", 0,
         L" - Uninstalling network driver 'NetPkg' from inf file '", L"The network driver 'NetPkg' was successfully uninstalled."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.line));
        InstallBeforehand();
        if (c.code != 0) {
            const setup::Exception e = RunFailing(c.operation, Package(c.attributes));
            EXPECT_EQ(c.code, e.Code());
        } else {
            Run(c.operation, Package(c.attributes));
        }
        const Lines lines = LogLines();
        const auto at = std::find(lines.begin(), lines.end(), c.line);
        ASSERT_NE(lines.end(), at);
        EXPECT_TRUE(std::any_of(lines.begin(), at, [&](const std::wstring& l) { return l.rfind(c.before, 0) == 0; }));
        if (c.code != 0) {
            // Nothing of the sequence after the failing step ran.
            EXPECT_EQ(c.line, lines.back());
        } else {
            ASSERT_NE(lines.end(), at + 1);
            EXPECT_EQ(L"The service 'ddtnet' is not running.", *(at + 1));
            EXPECT_EQ(c.after, lines.back());
        }
        Reset();
    }
}

// Another client holds the lock: in this process (a second configuration
// object) or outside it (the double's phantom holder).
TEST_F(NetworkInstallerTest, LockHeldByAnotherClientFailsTheConstructorAfterTheTimeout) {
    SetNetworkLockTimeoutForTesting(400);
    for (const bool inProcess : {true, false}) {
        SCOPED_TRACE(inProcess ? "client in this process" : "client elsewhere");
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        setup::UniqueComPtr<INetCfg> other;
        setup::UniqueComPtr<INetCfgLock> otherLock;
        if (inProcess) {
            ASSERT_EQ(S_OK, CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, other.put_void()));
            ASSERT_EQ(S_OK, other->QueryInterface(IID_INetCfgLock, otherLock.put_void()));
            ASSERT_EQ(S_OK, otherLock->AcquireWriteLock(100, L"Other client", nullptr));
            expectedLive_ = 1;
        } else {
            netcfg::SetLockHolder(L"Other client");
        }
        netcfg::ClearCalls();

        const auto start = std::chrono::steady_clock::now();
        const setup::Exception e = ConstructFailing();
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(1, e.Code());
        EXPECT_EQ(L"Failed to requests a lock on network configuration.", e.Message());
        EXPECT_EQ(L"", e.Details());
        EXPECT_EQ((Lines{L"The 'Other client' already has control of network configuration."}), LogLines());
        EXPECT_GE(waited, std::chrono::milliseconds(350));
        EXPECT_LT(waited, std::chrono::milliseconds(5000));
        EXPECT_EQ((std::vector<std::wstring>{L"QueryInterface", L"CreateInstance", L"QueryInterface",
                                             L"AcquireWriteLock", L"ReleaseWriteLock", L"Destroyed"}),
                  Names());
        EXPECT_EQ((std::vector<std::wstring>{L"400", L"\"Network driver installer\""}), Args(L"AcquireWriteLock"));

        if (otherLock) {
            EXPECT_EQ(S_OK, otherLock->ReleaseWriteLock());
        }
        otherLock.reset();
        other.reset();
        CoUninitialize();
        expectedLive_ = 0;
        Reset();
    }
}

// Two network packages of one process running at once: the second waits for
// the first inside the process, however long the first holds the lock, and
// never fails on the system's lock wait (shortened here so that a failure
// would show at once). The lock of another process keeps its wait, as the
// test above shows.
TEST_F(NetworkInstallerTest, ParallelPackagesOfTheProcessWaitForEachOther) {
    SetNetworkLockTimeoutForTesting(100);
    std::exception_ptr failures[2];
    HANDLE firstHolds = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread first([&] {
        try {
            NetworkDriverInstaller installer(Package());
            SetEvent(firstHolds);
            Sleep(600);
        } catch (...) {
            failures[0] = std::current_exception();
            SetEvent(firstHolds);
        }
    });
    if (WaitForSingleObject(firstHolds, 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the first installer never got the lock";
    }
    const auto start = std::chrono::steady_clock::now();
    std::thread second([&] {
        try {
            NetworkDriverInstaller installer(Package());
        } catch (...) {
            failures[1] = std::current_exception();
        }
    });
    second.join();
    const auto waited = std::chrono::steady_clock::now() - start;
    first.join();
    CloseHandle(firstHolds);
    EXPECT_FALSE(failures[0]) << "the first package failed";
    EXPECT_FALSE(failures[1]) << "the second package failed";
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_TRUE(Logged(L"Waiting for another network driver package of this installation."));
    EXPECT_FALSE(Logged(L"Failed to requests a lock on network configuration."));
    EXPECT_EQ(2u, CountCalls(L"ReleaseWriteLock"));
    EXPECT_EQ(baselineLive_, netcfg::LiveObjects()) << "an interface pointer of the double was not released";
}

// Each failing step of the constructor: its message, the HRESULT as the
// code, and the lock given back whenever the lock interface was obtained.
TEST_F(NetworkInstallerTest, ConstructorFailuresReleaseTheLockTheInterfacesAndCom) {
    const struct {
        const wchar_t* call;
        uint32_t answer;
        const wchar_t* message;
        bool lockReleased;
    } cases[] = {
        {L"CreateInstance", 0x80040154, L"Failed to create a network configuration object.", false},
        {L"QueryInterface(INetCfgLock)", 0x80004002,
         L"Failed to retrieves interface used to obtain a lock on network configuration.", false},
        {L"AcquireWriteLock", 1, L"Failed to requests a lock on network configuration.", true},
        {L"AcquireWriteLock", kNeedReboot, L"Failed to requests a lock on network configuration.", true},
        {L"Initialize", kNeedReboot, L"Failed to initializes network configuration.", true},
    };
    SetNetworkLockTimeoutForTesting(300);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::wstring(c.call) + L" " + std::to_wstring(c.answer));
        netcfg::Answer(c.call, c.answer, 1);
        const setup::Exception e = ConstructFailing();
        EXPECT_EQ(static_cast<int32_t>(c.answer), e.Code());
        EXPECT_EQ(c.message, e.Message());
        EXPECT_EQ(L"", e.Details());
        EXPECT_EQ(Lines{}, LogLines());
        EXPECT_EQ(c.lockReleased ? 1u : 0u, CountCalls(L"ReleaseWriteLock"));
        EXPECT_EQ(0u, CountCalls(L"Uninitialize"));
        // The lock is free again: the next installer gets it at once.
        EXPECT_NO_THROW(OnPackageThread([&] { NetworkDriverInstaller installer(Package()); }));
        Reset();
    }
}

TEST_F(NetworkInstallerTest, ReleaseFailuresAreLoggedNeverThrown) {
    netcfg::Answer(L"Uninitialize", 0x8004A021);
    netcfg::Answer(L"ReleaseWriteLock", 0x8004A024);
    EXPECT_NO_THROW(OnPackageThread([&] { NetworkDriverInstaller installer(Package()); }));
    EXPECT_EQ((Lines{L"Failed to uninitialize network configuration. Error 0x8004a021.",
                     L"Failed to releases a lock on network configuration. Error 0x8004a024."}),
              LogLines());
    EXPECT_EQ(kClosing, LastNames(3));
}

// A service key the control manager does not know (as a half-removed
// service leaves behind): it exists, but cannot be opened to be deleted.
TEST_F(NetworkInstallerTest, AServiceThatCannotBeDeletedIsOnlyAWarning) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\services\\ddtnet", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const DWORD start = SERVICE_DEMAND_START;
    RegSetValueExW(key, L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&start), sizeof(start));
    RegCloseKey(key);

    EXPECT_NO_THROW(OnPackageThread([&] { NetworkDriverInstaller(Package()).DeleteNetworkService(); }));
    EXPECT_EQ((Lines{L"The service ddtnet exist.", L"Warning: Failed to open service: ddtnet Error 0x80070424."}),
              LogLines());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\services\\ddtnet");
}

// A failing step of the component operations: its message and code, and
// every interface pointer given back on the way out.
TEST_F(NetworkInstallerTest, ComponentStepFailuresCarryTheirCodeAndReleaseEverything) {
    using Operation = void (NetworkDriverInstaller::*)();
    const struct {
        Operation operation;
        bool installed;
        const wchar_t* call;
        const wchar_t* message;
    } cases[] = {
        {&NetworkDriverInstaller::InstallNetworkComponent, false, L"QueryNetCfgClass",
         L"Failed retrieve a network install interface."},
        {&NetworkDriverInstaller::InstallNetworkComponent, false, L"Install", L"Failed install network components."},
        {&NetworkDriverInstaller::InstallNetworkComponent, false, L"Apply",
         L"Failed apply registration of the network component."},
        {&NetworkDriverInstaller::UninstallNetworkComponent, true, L"FindComponent",
         L"Failed to find network component."},
        {&NetworkDriverInstaller::UninstallNetworkComponent, true, L"QueryNetCfgClass",
         L"Failed retrieve a specific class of network component."},
        {&NetworkDriverInstaller::UninstallNetworkComponent, true, L"QueryInterface(INetCfgClassSetup)",
         L"Failed retrieve a network deinstall interface."},
        {&NetworkDriverInstaller::UninstallNetworkComponent, true, L"DeInstall", L"Failed deinstall network components."},
        {&NetworkDriverInstaller::UninstallNetworkComponent, true, L"Apply",
         L"Failed apply deregistration of the network component."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.installed) {
            InstallBeforehand();
        } else {
            ASSERT_TRUE(SetupCopyOEMInfW(InfPath().c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
        }
        netcfg::Answer(c.call, kFilterLimit);
        const setup::Exception e = RunFailing(c.operation, Package());
        EXPECT_EQ(static_cast<int32_t>(kFilterLimit), e.Code());
        EXPECT_EQ(c.message, e.Message());
        EXPECT_EQ(kClosing, LastNames(3));
        // Nothing was applied.
        EXPECT_EQ(c.installed ? std::vector<std::wstring>{L"dd_tnet"} : std::vector<std::wstring>{},
                  netcfg::InstalledComponents());
        Reset();
    }
}

TEST_F(NetworkInstallerTest, InstallGoesOnWhenTheCleanUpOfEarlierInstallationsFails) {
    netcfg::Answer(L"FindComponent", 0x80004005, 1);
    Run(&NetworkDriverInstaller::Install, Package());
    const Lines lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(L"Warning: Failed to find network component. Error 0x80004005.", lines[1]);
    // The rest of the clean-up is skipped: the INF is published straight away.
    EXPECT_EQ(L"The inf file '" + InfPath() + L"' and corresponding .cat was successfully installed.", lines[2]);
    EXPECT_EQ(L"The network driver 'NetPkg' was successfully installed.", lines.back());
    EXPECT_EQ((std::vector<std::wstring>{L"dd_tnet"}), netcfg::InstalledComponents());
}

TEST_F(NetworkInstallerTest, InstallRemovesAnInstalledComponentFirstExceptOn5x) {
    for (const bool windows5x : {false, true}) {
        SCOPED_TRACE(windows5x ? "5.x" : "not 5.x");
        setup::SetWindows5xSystemForTesting(windows5x);
        InstallBeforehand();
        Run(&NetworkDriverInstaller::Install, Package());
        if (windows5x) {
            EXPECT_EQ(Framed({L"QueryNetCfgClass", L"Install", L"Apply"}), Names());
        } else {
            EXPECT_EQ(Framed({L"FindComponent", L"QueryNetCfgClass", L"QueryInterface", L"DeInstall", L"Apply",
                              L"QueryNetCfgClass", L"Install", L"Apply"}),
                      Names());
        }
        EXPECT_EQ((std::vector<std::wstring>{L"dd_tnet"}), netcfg::InstalledComponents());
        Reset();
    }
}

TEST_F(NetworkInstallerTest, On5xAFailingComponentInstallIsRetriedOnceAfterMovingTheInfCache) {
    const std::wstring cache = WindowsPath(L"Inf\\INFCACHE.1");
    const std::wstring backup = WindowsPath(L"Inf\\INFCACHE.BAK");
    const struct {
        bool windows5x;
        int failures;
        bool succeeds;
        size_t installCalls;
        bool cacheMoved;
    } cases[] = {
        {true, 1, true, 2, true},
        {true, 2, false, 2, true},
        {false, 1, false, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.windows5x) + " " + std::to_string(c.failures));
        setup::SetWindows5xSystemForTesting(c.windows5x);
        ddtest::WriteTextFile(cache, "cache");
        ddtest::WriteTextFile(backup, "stale");
        netcfg::Answer(L"Install", 0x80004005, c.failures);
        if (c.succeeds) {
            Run(&NetworkDriverInstaller::Install, Package());
            const Lines lines = LogLines();
            const auto at = [&](const std::wstring& line) {
                return std::find(lines.begin(), lines.end(), line) - lines.begin();
            };
            const auto failed = at(L"Failed install network components. Error 0x80004005.");
            const auto moved = at(L"The file '" + cache + L"' moved to '" + backup + L"'.");
            ASSERT_LT(moved, static_cast<std::ptrdiff_t>(lines.size()));
            EXPECT_EQ(failed + 1, moved);
            EXPECT_EQ(L"Installing network component 'dd_tnet'.", lines[static_cast<size_t>(moved) + 1]);
            EXPECT_EQ((std::vector<std::wstring>{L"dd_tnet"}), netcfg::InstalledComponents());
        } else {
            const setup::Exception e = RunFailing(&NetworkDriverInstaller::Install, Package());
            EXPECT_EQ(static_cast<int32_t>(0x80004005), e.Code());
            EXPECT_EQ(L"Failed install network components.", e.Message());
        }
        EXPECT_EQ(c.installCalls, CountCalls(L"Install"));
        EXPECT_EQ(!c.cacheMoved, ddtest::FileExists(cache));
        ASSERT_TRUE(ddtest::FileExists(backup));
        const std::vector<unsigned char> kept = ddtest::ReadBinaryFile(backup);
        EXPECT_EQ(c.cacheMoved ? "cache" : "stale", std::string(kept.begin(), kept.end()));
        Reset();
    }
}

TEST_F(NetworkInstallerTest, RepairInfCacheReplacesTheBackupOrFailsWithTheRenameError) {
    const std::wstring cache = WindowsPath(L"Inf\\INFCACHE.1");
    const std::wstring backup = WindowsPath(L"Inf\\INFCACHE.BAK");
    ddtest::WriteTextFile(backup, "stale");
    const setup::Exception e = ddtest::CatchSetupException([] { NetworkDriverInstaller::RepairInfCache(); });
    EXPECT_EQ(static_cast<int32_t>(0x80070002), e.Code());
    EXPECT_EQ(L"Failed to rename " + cache, e.Message());
    // The stale backup went first.
    EXPECT_FALSE(ddtest::FileExists(backup));

    ddtest::WriteTextFile(cache, "cache");
    NetworkDriverInstaller::RepairInfCache();
    EXPECT_FALSE(ddtest::FileExists(cache));
    const std::vector<unsigned char> moved = ddtest::ReadBinaryFile(backup);
    EXPECT_EQ("cache", std::string(moved.begin(), moved.end()));
    EXPECT_EQ((Lines{L"The file '" + cache + L"' moved to '" + backup + L"'."}), LogLines());
}

// Only the exact spelling "zt_tnet5mp" is installed and removed as "zt_tnet5".
TEST_F(NetworkInstallerTest, ComponentIdIsTheFirstModelsHardwareIdWithOneExactMapping) {
    const struct {
        std::vector<std::string> models;
        std::wstring component;
    } cases[] = {
        {{"zt_tnet5mp", "zt_tnet5"}, L"zt_tnet5"},
        {{"ZT_TNET5MP", "zt_tnet5"}, L"ZT_TNET5MP"},
        {{"zt_tnet5mp2", "zt_tnet5"}, L"zt_tnet5mp2"},
        {{"dd_tnet"}, L"dd_tnet"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.component));
        WriteInf(c.models);
        Run(&NetworkDriverInstaller::Install, Package());
        EXPECT_EQ(L"\"" + c.component + L"\"", Args(L"Install").at(0));
        EXPECT_EQ((std::vector<std::wstring>{c.component}), netcfg::InstalledComponents());
        netcfg::ClearCalls();
        Run(&NetworkDriverInstaller::Uninstall, Package());
        EXPECT_EQ(L"\"" + c.component + L"\"", Args(L"FindComponent").at(0));
        EXPECT_EQ(1u, CountCalls(L"DeInstall"));
        EXPECT_TRUE(netcfg::InstalledComponents().empty());
        Reset();
    }
}

// The deferred install action's frame turns the filter limit into its own
// installer error message.
const DriverPackage* g_filterLimitPackage = nullptr;

TEST_F(NetworkInstallerTest, FilterLimitReachesTheDeferredActionAsError27302) {
    const DriverPackage package = Package();
    g_filterLimitPackage = &package;
    netcfg::Answer(L"Install", kFilterLimit);
    setup::Finalize(0);
    session_->ClearMessages();

    const setup::EntryPointInfo* info = setup::FindEntryPoint("InstallDriversDeferred");
    ASSERT_NE(nullptr, info);
    const UINT result = setup::RunEntryPoint(session_->handle(), *info, [] {
        std::exception_ptr failure;
        std::thread thread([&] {
            try {
                NetworkDriverInstaller(*g_filterLimitPackage).Install();
            } catch (...) {
                failure = std::current_exception();
            }
        });
        thread.join();
        if (failure) {
            std::rethrow_exception(failure);
        }
    });
    EXPECT_EQ(1603u, result);
    const auto errors = session_->MessagesOfKind(INSTALLMESSAGE_ERROR);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(27302, errors[0].integers[1]);
    EXPECT_EQ(static_cast<int32_t>(kFilterLimit), errors[0].integers[2]);
    const Lines lines = LogLines();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), L"Failed install network components. Error 0x8004a029."));
    EXPECT_EQ(L"InstallDriversDeferred: finished. Return value 1603.", lines.back());
    g_filterLimitPackage = nullptr;
}

}  // namespace
