// The package installer base against Wine's real SetupAPI, INF store,
// service manager and registry, with INF files written by each test. The
// platform double steps in only where Wine cannot produce the result: a
// signature error of a queue commit, notifications Wine never sends, the
// ELAM entry point, and watching the INF store calls for overlap.
//
// Measured under Wine 8: SetupCopyOEMInfW keeps an INF's own name in the
// store (oemN.inf only when that name is taken by another INF) and does not
// enforce SP_COPY_REPLACEONLY, so the lookup of the package's own published
// INF also publishes it; the store is searched for earlier versions only
// when tests seed oem*.inf files.

#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "doubles/InstallerPlatformDouble.h"
#include "driver/DriverPackage.h"
#include "driver/install/DriverPackageInstaller.h"
#include "driver/install/InfFile.h"
#include "frame/Exception.h"
#include "frame/Session.h"
#include "tables/CatalogFiles.h"
#include "windows/install/InstallerTestKit.h"
#include "windows/support/CatchException.h"
#include "windows/support/InstallerFixture.h"

namespace {

using namespace setup::driver;
using Lines = std::vector<std::wstring>;

constexpr int32_t kFileNotFound = static_cast<int32_t>(0x80070002);
constexpr int32_t kProcNotFound = static_cast<int32_t>(0x8007007F);
constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\services\\";
constexpr wchar_t kGroupOrderList[] = L"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList";

// The base with nothing of its own: the tests call its building blocks.
class TestInstaller : public DriverPackageInstaller {
public:
    explicit TestInstaller(const DriverPackage& package) : DriverPackageInstaller(package) {}
    TestInstaller(const DriverPackage& package, InstallerPlatform& platform) : DriverPackageInstaller(package, platform) {}
    void Install() override {}
    void Uninstall() override {}
    void Upgrade() override {}
};

std::wstring WindowsPath(const std::wstring& rest) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\" + rest;
}

std::wstring DriversPath(const std::wstring& file) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\drivers\\" + file;
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           CompareStringOrdinal(text.c_str() + (text.size() - tail.size()), -1, tail.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::optional<std::wstring> RegistryText(HKEY root, const std::wstring& key, const wchar_t* value) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data);
    if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, data,
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

bool ServiceKeyExists(const std::wstring& service) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kServicesKey + service).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// A kernel-driver service made through the control manager; every handle
// is closed again, so a DelService line can remove it.
void CreateKernelService(const std::wstring& name, const wchar_t* group = nullptr, DWORD tag = 0) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    DWORD tagId = tag;
    SC_HANDLE service = CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, DriversPath(name + L".sys").c_str(),
                                       group, group != nullptr ? &tagId : nullptr, nullptr, nullptr, nullptr);
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    ASSERT_NE(nullptr, service) << "CreateServiceW " << error;
    CloseServiceHandle(service);
}

// Nothing else holds the file open: it opens with no sharing at all.
bool NobodyHolds(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

// Runs body on a thread of its own. When the limit passes first, says what
// was still running and ends the test program: a hung thread cannot be
// joined, and the run must not wait for the runner's own timeout.
void RunWithTimeLimit(const char* what, DWORD milliseconds, const std::function<void()>& body) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, done);
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            body();
        } catch (...) {
            failure = std::current_exception();
        }
        SetEvent(done);
    });
    if (WaitForSingleObject(done, milliseconds) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "time limit of %lu ms passed; still running: %s\n", static_cast<unsigned long>(milliseconds),
                     what);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 124);
    }
    worker.join();
    CloseHandle(done);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        database_ = ddtest::BuildDatabase(dir_ / L"t.msi", {});
        session_.emplace(database_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "InstallerTest"));
        session_->ClearMessages();
    }
    void TearDown() override {
        setup::Finalize(0);
        session_.reset();
        for (const std::wstring& path : seeded_) {
            DeleteFileW(path.c_str());
            RemoveDirectoryW(path.c_str());
        }
    }

    std::wstring Write(const std::wstring& name, const std::string& text) {
        const std::wstring path = dir_ / name;
        ddtest::WriteTextFile(path, text);
        return path;
    }

    // A file of the INF store written by the test, removed afterwards.
    void Seed(const std::wstring& name, const std::string& text) {
        const std::wstring path = WindowsPath(L"inf\\" + name);
        ddtest::WriteTextFile(path, text);
        seeded_.push_back(path);
    }

    DriverPackage Package(const std::wstring& infPath, uint32_t attributes = 0) const {
        DriverPackage package;
        package.id = L"Pkg";
        package.infPath = infPath;
        package.attributes = attributes;
        return package;
    }

    Lines Logged() const {
        Lines out;
        for (const std::wstring& line : session_->InfoLines()) {
            out.push_back(ddtest::StripLogPrefix(line));
        }
        return out;
    }
    bool WasLogged(const std::wstring& line) const {
        const Lines lines = Logged();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    void Clear() { session_->ClearMessages(); }

    ddtest::TempDir dir_;
    std::wstring database_;
    std::optional<ddtest::InstallerSession> session_;
    std::vector<std::wstring> seeded_;
};

// An INF with a DefaultInstall section copying the given files to the
// drivers folder, and the files that are present written beside it.
std::string FilesInf(const std::vector<std::string>& files) {
    std::string text =
        "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=LegacyDriver\n"
        "ClassGuid={8ECC055D-047F-11D1-A537-0000F8753ED1}\nProvider=tests\nDriverVer=01/01/2024,1.0.0.0\n"
        "[SourceDisksNames]\n1=disk\n[SourceDisksFiles]\n";
    for (const std::string& file : files) {
        text += file + "=1\n";
    }
    text += "[DestinationDirs]\nDefaultDestDir=12\n[DefaultInstall.NTamd64]\nCopyFiles=Drv.Files\n[Drv.Files]\n";
    for (const std::string& file : files) {
        text += file + "\n";
    }
    return text;
}

// ---------------------------------------------------------------------------

TEST_F(InstallerTest, ConstructorFailsWithThePackageForAMissingInf) {
    const std::wstring path = dir_ / L"missing.inf";
    const setup::Exception e = ddtest::CatchSetupException([&] { TestInstaller installer(Package(path)); });
    EXPECT_EQ(L"Failed to open inf file: " + path, e.Message());
    EXPECT_EQ(kFileNotFound, e.Code());
    EXPECT_EQ(L"Pkg", e.Details());
}

// A legacy driver: files to the drivers folder, a kernel service with its
// group, a registry value; the DefaultUninstall section takes all away.
TEST_F(InstallerTest, LegacyDriverInstallsAndUninstallsFromItsSections) {
    const std::string inf =
        "; A legacy (non-PnP) kernel driver.\n"
        "[Version]\n"
        "Signature=\"$WINDOWS NT$\"\n"
        "Class=LegacyDriver\n"
        "ClassGuid={8ECC055D-047F-11D1-A537-0000F8753ED1}\n"
        "Provider=%Vendor%\n"
        "DriverVer=01/01/2024,1.0.0.0\n"
        "\n"
        "[SourceDisksNames]\n"
        "1=%Disk%\n"
        "\n"
        "[SourceDisksFiles]\n"
        "ddlegacy.sys=1\n"
        "\n"
        "[DestinationDirs]\n"
        "DefaultDestDir=12\n"
        "\n"
        "[DefaultInstall.NTamd64]\n"
        "CopyFiles=ddlegacy.Files\n"
        "AddReg=ddlegacy.AddReg\n"
        "\n"
        "[DefaultInstall.NTamd64.Services]\n"
        "AddService=ddlegacy,,ddlegacy.Service\n"
        "\n"
        "[DefaultUninstall.NTamd64]\n"
        "DelFiles=ddlegacy.Files\n"
        "DelReg=ddlegacy.DelReg\n"
        "\n"
        "[DefaultUninstall.NTamd64.Services]\n"
        "DelService=ddlegacy,0x200\n"
        "\n"
        "[ddlegacy.Files]\n"
        "ddlegacy.sys\n"
        "\n"
        "[ddlegacy.AddReg]\n"
        "HKLM,\"SOFTWARE\\driverdeploy-tests\\ddlegacy\",\"Installed\",0x00000000,\"yes\"\n"
        "\n"
        "[ddlegacy.DelReg]\n"
        "HKLM,\"SOFTWARE\\driverdeploy-tests\\ddlegacy\",\"Installed\"\n"
        "\n"
        "[ddlegacy.Service]\n"
        "DisplayName=%ServiceName%\n"
        "ServiceType=1\n"
        "StartType=3\n"
        "ErrorControl=1\n"
        "LoadOrderGroup=Extended Base\n"
        "ServiceBinary=%12%\\ddlegacy.sys\n"
        "\n"
        "[Strings]\n"
        "Vendor=\"driverdeploy tests\"\n"
        "Disk=\"ddlegacy disk\"\n"
        "ServiceName=\"ddlegacy test driver\"\n";
    const std::wstring infPath = Write(L"ddlegacy.inf", inf);
    const std::wstring source = dir_ / L"ddlegacy.sys";
    ddtest::WriteTextFile(source, "driver bytes");
    const std::wstring target = DriversPath(L"ddlegacy.sys");
    const std::wstring valueKey = L"SOFTWARE\\driverdeploy-tests\\ddlegacy";

    TestInstaller installer(Package(infPath));
    const InfHandle handle = OpenInfFile(infPath);
    const std::wstring install = GetInstallSection(handle);
    const std::wstring uninstall = GetUninstallSection(handle);
    ASSERT_EQ(L"DefaultInstall.NTamd64", install);
    ASSERT_EQ(L"DefaultUninstall.NTamd64", uninstall);

    Clear();
    installer.InstallFilesFromSection(install);
    EXPECT_EQ((Lines{
                  L"The queue has started to commit.",
                  L"A subqueue 0 has started. Count 1",
                  L"New source media is needed '" + dir_.path() + L"' 'ddlegacy.sys' 0.",
                  L"A file copy '" + source + L"'->'" + target + L"' operation has started.",
                  L"A file copying '" + source + L"'->'" + target + L"' operation has ended.",
                  L"A subqueue 0 has ended.",
                  L"The queue has finished committing.",
              }),
              Logged());
    EXPECT_EQ((std::vector<unsigned char>{'d', 'r', 'i', 'v', 'e', 'r', ' ', 'b', 'y', 't', 'e', 's'}),
              ddtest::ReadBinaryFile(target));

    installer.InstallServicesFromSection(install);
    installer.InstallFromSection(install);
    EXPECT_EQ(std::optional<DWORD>(SERVICE_KERNEL_DRIVER), ddtest::RegistryDword(HKEY_LOCAL_MACHINE, ddtest::ServiceKey(L"ddlegacy"), L"Type"));
    EXPECT_EQ(std::optional<DWORD>(SERVICE_DEMAND_START), ddtest::RegistryDword(HKEY_LOCAL_MACHINE, ddtest::ServiceKey(L"ddlegacy"), L"Start"));
    const std::optional<std::wstring> imagePath = RegistryText(HKEY_LOCAL_MACHINE, kServicesKey + std::wstring(L"ddlegacy"), L"ImagePath");
    ASSERT_TRUE(imagePath.has_value());
    EXPECT_TRUE(EndsWithNoCase(*imagePath, L"\\drivers\\ddlegacy.sys")) << ddtest::Narrow(*imagePath);
    EXPECT_EQ(std::optional<std::wstring>(L"Extended Base"),
              RegistryText(HKEY_LOCAL_MACHINE, kServicesKey + std::wstring(L"ddlegacy"), L"Group"));
    EXPECT_EQ(std::optional<std::wstring>(L"yes"), RegistryText(HKEY_LOCAL_MACHINE, valueKey, L"Installed"));

    // One installer object per operation, as the package threads use them:
    // the queue of an object keeps what it committed.
    TestInstaller uninstaller(Package(infPath));
    Clear();
    uninstaller.InstallFilesFromSection(uninstall);
    EXPECT_EQ((Lines{
                  L"The queue has started to commit.",
                  L"A subqueue 2 has started. Count 1",
                  L"A file delete '" + target + L"' operation has started.",
                  L"A file delete '" + target + L"' operation has ended.",
                  L"A subqueue 2 has ended.",
                  L"The queue has finished committing.",
              }),
              Logged());
    uninstaller.InstallServicesFromSection(uninstall);
    uninstaller.InstallFromSection(uninstall);
    EXPECT_FALSE(ddtest::FileExists(target));
    EXPECT_FALSE(ServiceKeyExists(L"ddlegacy"));
    EXPECT_EQ(std::nullopt, RegistryText(HKEY_LOCAL_MACHINE, valueKey, L"Installed"));
}

TEST_F(InstallerTest, MissingSourceFileEndsTheCommitWithTheFileNamed) {
    const std::wstring infPath = Write(L"ddmissing.inf", FilesInf({"ddmissing.sys"}));
    const std::wstring missing = dir_ / L"ddmissing.sys";
    TestInstaller installer(Package(infPath));

    std::optional<setup::Exception> failure;
    const DWORD started = GetTickCount();
    RunWithTimeLimit("InstallFilesFromSection with a missing source file", 30000, [&] {
        try {
            installer.InstallFilesFromSection(L"DefaultInstall.NTamd64");
        } catch (const setup::Exception& e) {
            failure = e;
        }
    });
    const DWORD elapsed = GetTickCount() - started;

    ASSERT_TRUE(failure.has_value()) << "the commit succeeded without its source file";
    EXPECT_EQ(L"Failed to commit file queue.", failure->Message());
    EXPECT_EQ(kFileNotFound, failure->Code());
    EXPECT_EQ(missing, failure->Details());
    EXPECT_TRUE(WasLogged(L"New source media is needed '" + dir_.path() + L"' 'ddmissing.sys' 0."));
    EXPECT_TRUE(WasLogged(L"The source file '" + missing + L"' does not exist. The file queue is not committed."));
    const Lines lines = Logged();
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                               [](const std::wstring& line) { return line.rfind(L"New source media", 0) == 0; }));
    EXPECT_FALSE(ddtest::FileExists(DriversPath(L"ddmissing.sys")));
    EXPECT_LT(elapsed, 10000u);
}

// Wine asks for the media once, with the first file on it; a later missing
// file of the same media fails at its copy, which the callback aborts.
TEST_F(InstallerTest, MissingLaterSourceFileFailsAtItsCopy) {
    const std::wstring infPath = Write(L"ddhalf.inf", FilesInf({"ddhalf1.sys", "ddhalf2.sys"}));
    ddtest::WriteTextFile(dir_ / L"ddhalf1.sys", "one");
    TestInstaller installer(Package(infPath));
    std::optional<setup::Exception> failure;
    RunWithTimeLimit("InstallFilesFromSection with the second source file missing", 30000, [&] {
        try {
            installer.InstallFilesFromSection(L"DefaultInstall.NTamd64");
        } catch (const setup::Exception& e) {
            failure = e;
        }
    });
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(L"Failed to commit file queue.", failure->Message());
    EXPECT_EQ(kFileNotFound, failure->Code());
    EXPECT_TRUE(WasLogged(L"An error occurred during '" + (dir_ / L"ddhalf2.sys") + L"'->'" + DriversPath(L"ddhalf2.sys") +
                          L"' copying operation. LastError 0x2."));
    EXPECT_FALSE(ddtest::FileExists(DriversPath(L"ddhalf2.sys")));
}

TEST_F(InstallerTest, CertificationErrorsOfTheCommitAreWarningsOnlyWhenIgnored) {
    struct Case {
        const char* name;
        uint32_t attributes;
        DWORD error;
        int32_t thrown;  // 0: passes with the warning
    };
    const Case cases[] = {
        {"ignored, no signature", attribute::IgnoreCertificationErrors, 0x800B0100, 0},
        {"ignored, untrusted root", attribute::IgnoreCertificationErrors | attribute::StartService, 0x800B0109, 0},
        {"ignored, but a SetupAPI code", attribute::IgnoreCertificationErrors, 0xE000022F,
         static_cast<int32_t>(0x800F022F)},
        {"ignored, but access denied", attribute::IgnoreCertificationErrors, ERROR_ACCESS_DENIED,
         static_cast<int32_t>(0x80070005)},
        {"not ignored", attribute::StartService, 0x800B0100, static_cast<int32_t>(0x800B0100)},
    };
    const std::wstring infPath = Write(L"ddcert.inf", FilesInf({"ddcert.sys"}));
    ddtest::WriteTextFile(dir_ / L"ddcert.sys", "cert");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ddtest::InstallerPlatformDouble platform;
        platform.commitError = c.error;
        TestInstaller installer(Package(infPath, c.attributes), platform);
        Clear();
        const std::wstring warning = L"Warning: Certification errors returned from SetupCommitFileQueue. Error 0x" +
                                     ddtest::Widen([&] {
                                         char hex[16];
                                         std::snprintf(hex, sizeof(hex), "%lx", static_cast<unsigned long>(c.error));
                                         return std::string(hex);
                                     }()) +
                                     L".";
        if (c.thrown == 0) {
            EXPECT_NO_THROW(installer.InstallFilesFromSection(L"DefaultInstall.NTamd64"));
            EXPECT_TRUE(WasLogged(warning)) << ddtest::Narrow(warning);
        } else {
            const setup::Exception e =
                ddtest::CatchSetupException([&] { installer.InstallFilesFromSection(L"DefaultInstall.NTamd64"); });
            EXPECT_EQ(L"Failed to commit file queue.", e.Message());
            EXPECT_EQ(c.thrown, e.Code());
            EXPECT_FALSE(WasLogged(warning));
        }
        // The real commit ran before the double failed it.
        EXPECT_TRUE(ddtest::FileExists(DriversPath(L"ddcert.sys")));
        DeleteFileW(DriversPath(L"ddcert.sys").c_str());
    }
}

// Every notification of the queue callback, including those Wine never
// sends, with its line and its answer.
TEST_F(InstallerTest, QueueCallbackLogsAndAnswersEveryNotification) {
    const std::wstring infPath = Write(L"ddnotify.inf", FilesInf({"ddnotify.sys"}));
    ddtest::WriteTextFile(dir_ / L"ddnotify.sys", "n");
    std::wstring source = L"C:\\src\\a.sys";
    std::wstring target = L"C:\\dst\\a.sys";
    FILEPATHS_W paths = {};
    paths.Source = source.c_str();
    paths.Target = target.c_str();
    const std::wstring mediaPath = dir_.path();
    const std::wstring mediaFile = L"ddnotify.sys";
    SOURCE_MEDIA_W media = {};
    media.SourcePath = mediaPath.c_str();
    media.SourceFile = mediaFile.c_str();
    media.Flags = 4;
    const auto p = reinterpret_cast<UINT_PTR>(&paths);
    struct Case {
        ddtest::InstallerPlatformDouble::Notification notification;
        std::wstring line;
        UINT answer;
    };
    const Case cases[] = {
        {{0x1, 0, 0, 0}, L"The queue has started to commit.", 1},
        {{0x2, 0, 0, 0}, L"The queue has finished committing.", 1},
        {{0x3, 2, 7, 0}, L"A subqueue 2 has started. Count 7", 1},
        {{0x4, 2, 0, 0}, L"A subqueue 2 has ended.", 1},
        {{0x5, p, 0, 0}, L"A file delete 'C:\\dst\\a.sys' operation has started.", 1},
        {{0x6, p, 0, 0}, L"A file delete 'C:\\dst\\a.sys' operation has ended.", 1},
        {{0x7, p, 0, 5}, L"An error occurred during 'C:\\dst\\a.sys' deletion operation. LastError 0x5.", 2},
        {{0x8, p, 0, 0}, L"A file rename 'C:\\src\\a.sys'->'C:\\dst\\a.sys' operation has started.", 1},
        {{0x9, p, 0, 0}, L"A file rename 'C:\\src\\a.sys'->'C:\\dst\\a.sys' operation has ended.", 1},
        {{0xA, p, 0, 32},
         L"An error occurred during 'C:\\src\\a.sys'->'C:\\dst\\a.sys' renaming operation. LastError 0x20.", 0},
        {{0xB, p, 0, 0}, L"A file copy 'C:\\src\\a.sys'->'C:\\dst\\a.sys' operation has started.", 1},
        {{0xC, p, 0, 0}, L"A file copying 'C:\\src\\a.sys'->'C:\\dst\\a.sys' operation has ended.", 1},
        {{0xD, p, 0, 0x70},
         L"An error occurred during 'C:\\src\\a.sys'->'C:\\dst\\a.sys' copying operation. LastError 0x70.", 0},
        {{0xE, reinterpret_cast<UINT_PTR>(&media), 0, 0},
         L"New source media is needed '" + mediaPath + L"' 'ddnotify.sys' 4.", 1},
        {{0x14, p, 0, 0},
         L"The file 'C:\\dst\\a.sys' was in use, and the current operation has been delayed until the system is "
         L"rebooted. 'C:\\src\\a.sys'.",
         1},
        {{0x19, 0, 3, 0}, L"The registration or unregistration of the file has started. Type: 3", 1},
        {{0x20, 0, 3, 0}, L"The registration or unregistration of the file has finished. Type: 3", 1},
        {{0x20000, p, 0, 0}, L"A copy of 'C:\\dst\\a.sys' file already exists on the target 'C:\\src\\a.sys'. Overwrite.",
         1},
        {{0x40000, p, 0, 0}, L"A newer version of 'C:\\src\\a.sys' file exists on the target 'C:\\dst\\a.sys'. Overwrite.",
         1},
        {{0x1234, 5, 0xab, 0}, L"Notification 4660 params 5,ab", 1},
    };
    ddtest::InstallerPlatformDouble platform;
    platform.deliver.emplace();
    for (const Case& c : cases) {
        platform.deliver->push_back(c.notification);
    }
    TestInstaller installer(Package(infPath), platform);
    Clear();
    installer.InstallFilesFromSection(L"DefaultInstall.NTamd64");

    const Lines lines = Logged();
    ASSERT_EQ(std::size(cases), lines.size());
    ASSERT_EQ(std::size(cases), platform.answers.size());
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].notification.notification);
        EXPECT_EQ(cases[i].line, lines[i]);
        EXPECT_EQ(cases[i].answer, platform.answers[i]);
    }
}

// ---------------------------------------------------------------------------

TEST_F(InstallerTest, ServicesSectionWithOnlyDelServiceLinesIsInstalled) {
    ASSERT_NO_FATAL_FAILURE(CreateKernelService(L"dddelonly"));
    ASSERT_TRUE(ServiceKeyExists(L"dddelonly"));
    const std::wstring infPath = Write(L"dddelonly.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n"
                                                         "[Remove]\n[Remove.Services]\nDelService=dddelonly\n");
    TestInstaller installer(Package(infPath));
    Clear();
    installer.InstallServicesFromSection(L"Remove");
    EXPECT_FALSE(ServiceKeyExists(L"dddelonly"));
    EXPECT_EQ(Lines{}, Logged());
}

TEST_F(InstallerTest, AbsentOrEmptyServicesSectionIsSkipped) {
    const char* texts[] = {"[Inst]\n", "[Inst]\n[Inst.Services]\n", "[Inst]\n[Inst.Services]\nInclude=other.inf\n"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const std::wstring infPath = Write(L"ddnosvc.inf", std::string("[Version]\nSignature=\"$WINDOWS NT$\"\n") + text);
        TestInstaller installer(Package(infPath));
        Clear();
        installer.InstallServicesFromSection(L"Inst");
        EXPECT_EQ((Lines{L"Skip install services from inf section. The section 'Inst.Services' not found or empty."}),
                  Logged());
    }
}

TEST_F(InstallerTest, ServiceInstallFailureIsThrownWithTheSection) {
    // An AddService line whose install section does not exist.
    const std::wstring infPath = Write(L"ddbadsvc.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n"
                                                        "[Inst]\n[Inst.Services]\nAddService=ddbadsvc,,NoSuchSection\n");
    TestInstaller installer(Package(infPath));
    const setup::Exception e = ddtest::CatchSetupException([&] { installer.InstallServicesFromSection(L"Inst"); });
    EXPECT_EQ(L"Failed to install services from inf section: Inst.Services", e.Message());
    EXPECT_NE(0, e.Code());
    EXPECT_FALSE(ServiceKeyExists(L"ddbadsvc"));
}

TEST_F(InstallerTest, InstallFromSectionAppliesRegistryButNotFiles) {
    const std::wstring infPath = Write(
        L"ddreg.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n[DestinationDirs]\nDefaultDestDir=12\n"
                      "[SourceDisksNames]\n1=disk\n[SourceDisksFiles]\nddreg.sys=1\n"
                      "[Inst]\nCopyFiles=F\nAddReg=R\n[F]\nddreg.sys\n"
                      "[R]\nHKLM,\"SOFTWARE\\driverdeploy-tests\\ddreg\",\"Value\",0x00000000,\"set\"\n");
    ddtest::WriteTextFile(dir_ / L"ddreg.sys", "r");
    TestInstaller installer(Package(infPath));
    installer.InstallFromSection(L"Inst");
    EXPECT_EQ(std::optional<std::wstring>(L"set"),
              RegistryText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\driverdeploy-tests\\ddreg", L"Value"));
    // Files go through the installer's own queue only.
    EXPECT_FALSE(ddtest::FileExists(DriversPath(L"ddreg.sys")));
}

// ---------------------------------------------------------------------------

TEST_F(InstallerTest, ValidateInstallationThrowsForAServiceMarkedForDeletion) {
    ASSERT_NO_FATAL_FAILURE(CreateKernelService(L"ddmarked"));
    const DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kServicesKey + std::wstring(L"ddmarked")).c_str(),
                                             L"DeleteFlag", REG_DWORD, &one, sizeof(one)));
    const std::wstring infPath = Write(L"ddmarked.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n"
                                                        "[DefaultInstall.NTamd64]\n[DefaultInstall.NTamd64.Services]\n"
                                                        "AddService=ddmarked,,S\n[S]\nServiceType=1\n");
    TestInstaller installer(Package(infPath));
    const setup::Exception e = ddtest::CatchSetupException([&] { installer.ValidateInstallation(); });
    EXPECT_EQ(L"Validation failed: The service marked for deletion: ddmarked", e.Message());
    EXPECT_EQ(static_cast<int32_t>(0x80004005), e.Code());
}

TEST_F(InstallerTest, ValidateInstallationOnlyLogsTheVerificationResult) {
    ASSERT_NO_FATAL_FAILURE(CreateKernelService(L"ddvalid"));
    const std::wstring withService = Write(L"ddvalid.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n"
                                                           "[DefaultInstall.NTamd64]\n[DefaultInstall.NTamd64.Services]\n"
                                                           "AddService=ddvalid,,S\n[S]\nServiceType=1\n");
    const std::wstring withoutService =
        Write(L"ddnoserv.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n[DefaultInstall.NTamd64]\n");
    const bool exported = GetProcAddress(GetModuleHandleW(L"setupapi.dll"), "SetupVerifyInfFileW") != nullptr;
    for (const std::wstring& infPath : {withService, withoutService}) {
        SCOPED_TRACE(ddtest::Narrow(infPath));
        TestInstaller installer(Package(infPath));
        Clear();
        EXPECT_NO_THROW(installer.ValidateInstallation());
        EXPECT_EQ(infPath == withoutService, WasLogged(L"The package 'Pkg' does not install any services."));
        EXPECT_EQ(infPath == withService, WasLogged(L"The service ddvalid is not marked for deletion."));
        if (!exported) {
            // Wine's SetupAPI has no SetupVerifyInfFileW.
            EXPECT_EQ(L"Inf file '" + infPath + L"' verification result: 0x8007007f.", Logged().back());
        }
    }
}

// ---------------------------------------------------------------------------

TEST_F(InstallerTest, ElamCertificateUnderWineFailsOnTheMissingEntryPoint) {
    const std::wstring driver = dir_ / L"ddelam.sys";
    ddtest::WriteTextFile(driver, "elam");
    TestInstaller installer(Package(Write(L"ddelam.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n")));
    ASSERT_EQ(nullptr, GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "InstallELAMCertificateInfo"))
        << "this system has the entry point; the case below is Wine's";
    const setup::Exception e = ddtest::CatchSetupException([&] { installer.InstallElamDriverCertificate(driver); });
    EXPECT_EQ(L"Failed to get InstallELAMCertificateInfo proc address.", e.Message());
    EXPECT_EQ(kProcNotFound, e.Code());
    EXPECT_TRUE(NobodyHolds(driver));
}

TEST_F(InstallerTest, ElamCertificateOpensTheDriverAndClosesItOnEveryRoad) {
    const std::wstring driver = dir_ / L"ddelam2.sys";
    ddtest::WriteTextFile(driver, "elam");
    const std::wstring infPath = Write(L"ddelam2.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n");
    struct Case {
        const char* name;
        std::wstring path;
        BOOL result;
        std::wstring message;  // empty: succeeds
        int32_t code;
    };
    const Case cases[] = {
        {"missing driver file", dir_ / L"nosuch.sys", TRUE, L"Failed to open elam driver.", kFileNotFound},
        {"entry point refuses", driver, FALSE, L"Failed to install the certificate information from ELAM driver.",
         static_cast<int32_t>(0x8007000D)},
        {"entry point accepts", driver, TRUE, L"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ddtest::InstallerPlatformDouble platform;
        platform.offerElamEntryPoint = true;
        platform.elamResult = c.result;
        platform.elamError = ERROR_INVALID_DATA;
        TestInstaller installer(Package(infPath), platform);
        Clear();
        if (c.message.empty()) {
            EXPECT_NO_THROW(installer.InstallElamDriverCertificate(c.path));
            EXPECT_EQ((Lines{L"The certificate information was successfully installed from ELAM driver '" + c.path + L"'."}),
                      Logged());
        } else {
            const setup::Exception e = ddtest::CatchSetupException([&] { installer.InstallElamDriverCertificate(c.path); });
            EXPECT_EQ(c.message, e.Message());
            EXPECT_EQ(c.code, e.Code());
        }
        const bool opened = ddtest::FileExists(c.path);
        ASSERT_EQ(opened ? 1u : 0u, platform.elamFiles.size());
        if (opened) {
            EXPECT_TRUE(EndsWithNoCase(platform.elamFiles[0], L"\\ddelam2.sys")) << ddtest::Narrow(platform.elamFiles[0]);
            EXPECT_TRUE(NobodyHolds(c.path));
        }
    }
}

// ---------------------------------------------------------------------------

TEST_F(InstallerTest, UninstallCatalogRemovesAnExistingCatalogOnly) {
    const std::wstring infPath = Write(L"ddcat.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n");
    const std::wstring catalog = dir_ / L"ddcattest.cat";
    ddtest::WriteTextFile(catalog, "catalog");
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring stored = std::wstring(system) + L"\\catroot\\{f750e6c3-38ee-11d1-85e5-00c04fc295ee}\\ddcattest.cat";
    {
        const setup::CatalogAdmin admin;
        setup::AddCatalog(admin, catalog, L"ddcattest.cat");
    }
    ASSERT_TRUE(ddtest::FileExists(stored));

    for (const std::wstring& path : {std::wstring(), dir_ / L"nosuch.cat", dir_.path()}) {
        SCOPED_TRACE(ddtest::Narrow(path));
        DriverPackage package = Package(infPath);
        package.catPath = path;
        TestInstaller installer(package);
        Clear();
        installer.UninstallCatalog();
        EXPECT_EQ((Lines{L"Skip uninstallation of catalog file for driver 'Pkg'."}), Logged());
        EXPECT_TRUE(ddtest::FileExists(stored));
    }

    DriverPackage package = Package(infPath);
    package.catPath = catalog;
    TestInstaller installer(package);
    installer.UninstallCatalog();
    EXPECT_FALSE(ddtest::FileExists(stored));
}

// ---------------------------------------------------------------------------

TEST_F(InstallerTest, MoveAndRemoveServiceTag) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderList, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    RegCloseKey(key);
    ASSERT_NO_FATAL_FAILURE(CreateKernelService(L"ddtagged", L"DDTagGroup", 7));
    const std::wstring infPath = Write(L"ddtag.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n");
    const auto groupTags = [] {
        std::vector<DWORD> tags(16);
        DWORD size = static_cast<DWORD>(tags.size() * sizeof(DWORD));
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kGroupOrderList, L"DDTagGroup", RRF_RT_REG_BINARY, nullptr, tags.data(),
                         &size) != ERROR_SUCCESS) {
            return std::optional<std::vector<DWORD>>();
        }
        tags.resize(size / sizeof(DWORD));
        return std::optional<std::vector<DWORD>>(tags);
    };

    // Without the front bit and without dependencies nothing moves.
    TestInstaller still(Package(infPath));
    still.MoveServiceTag(L"ddtagged");
    EXPECT_EQ(std::nullopt, groupTags());

    TestInstaller front(Package(infPath, attribute::MoveToFrontOfGroup));
    Clear();
    front.MoveServiceTag(L"");
    EXPECT_EQ((Lines{L"Skip moving service tag. The service is not specified in 'Pkg'."}), Logged());
    front.MoveServiceTag(L"ddtagged");
    EXPECT_EQ((std::optional<std::vector<DWORD>>(std::vector<DWORD>{1, 7})), groupTags());

    Clear();
    front.RemoveServiceTag(L"");
    front.RemoveServiceTag(L"ddnosuchservice");
    EXPECT_EQ((Lines{L"Skip removing service tag. The service is not specified or not installed in 'Pkg'.",
                     L"Skip removing service tag. The service is not specified or not installed in 'Pkg'."}),
              [&] {
                  Lines skips;
                  for (const std::wstring& line : Logged()) {
                      if (line.rfind(L"Skip", 0) == 0) {
                          skips.push_back(line);
                      }
                  }
                  return skips;
              }());
    front.RemoveServiceTag(L"ddtagged");
    EXPECT_EQ((std::optional<std::vector<DWORD>>(std::vector<DWORD>{0})), groupTags());
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kGroupOrderList, L"DDTagGroup");
}

// ---------------------------------------------------------------------------

// Publishing goes to Wine's real INF store, under the INF's own name.
TEST_F(InstallerTest, PublishAndUnpublishThroughTheInfStore) {
    const std::wstring infPath = Write(L"ddpub.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=LegacyDriver\n"
                                                     "ClassGuid={8ECC055D-047F-11D1-A537-0000F8753ED1}\n");
    const std::wstring published = WindowsPath(L"inf\\ddpub.inf");
    TestInstaller installer(Package(infPath));
    Clear();
    installer.PublishInf();
    EXPECT_TRUE(ddtest::FileExists(published));
    installer.UnpublishInf(published);
    EXPECT_FALSE(ddtest::FileExists(published));
    EXPECT_EQ((Lines{L"The inf file '" + infPath + L"' and corresponding .cat was successfully installed.",
                     L"The inf file 'ddpub.inf' was successfully uninstalled."}),
              Logged());

    const setup::Exception e = ddtest::CatchSetupException([&] { installer.UnpublishInf(published); });
    EXPECT_EQ(L"Failed to uninstall OEM inf file: ddpub.inf", e.Message());
    EXPECT_EQ(kFileNotFound, e.Code());
    EXPECT_EQ(L"Pkg", e.Details());
}

TEST_F(InstallerTest, PublishFailureNamesTheInfAndThePackage) {
    const std::wstring infPath = Write(L"ddgone.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n");
    TestInstaller installer(Package(infPath));
    ASSERT_TRUE(DeleteFileW(infPath.c_str()));
    const setup::Exception e = ddtest::CatchSetupException([&] { installer.PublishInf(); });
    EXPECT_EQ(L"Failed to install .inf file and corresponding .cat to the windir/inf: " + infPath, e.Message());
    EXPECT_NE(0, e.Code());
    EXPECT_EQ(L"Pkg", e.Details());
}

std::string FindInf(const std::string& firstFile, const std::string& service, const std::string& extra = "") {
    return "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=LegacyDriver\n"
           "ClassGuid={8ECC055D-047F-11D1-A537-0000F8753ED1}\n" +
           extra + "[SourceDisksNames]\n1=disk\n[SourceDisksFiles]\n" + firstFile +
           "=1\nsecond.sys=1\n[DefaultInstall.NTamd64]\n[DefaultInstall.NTamd64.Services]\nAddService=" + service +
           ",,S\n[S]\nServiceType=1\n";
}

TEST_F(InstallerTest, FindsItsOwnPublishedInfAndEarlierVersions) {
    // The package's name is taken in the store by another INF, so its own
    // copy is published as oemN.inf, as Windows names every published INF.
    Seed(L"ddfind.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n; someone else's\n");
    const std::wstring infPath = Write(L"ddfind.inf", FindInf("DdFind.Sys", "DDFind", "DriverVer=02/02/2024,2.0\n"));
    Seed(L"oem90.inf", FindInf("dDFIND.sYS", "ddfIND"));                   // earlier version, other letter case
    Seed(L"oem91.inf", FindInf("ddfind.sys", "ddother"));                  // another service
    Seed(L"oem92.inf", FindInf("other.sys", "ddfind"));                    // another first file
    Seed(L"oem93.inf", "");                                                // unreadable
    Seed(L"oem94.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n[SourceDisksFiles\nddfind.sys=1\n");  // unreadable
    Seed(L"prev95.inf", FindInf("ddfind.sys", "ddfind"));                  // not an oem*.inf name
    const std::wstring directory = WindowsPath(L"inf\\oem96.inf");
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));             // a folder is no candidate
    seeded_.push_back(directory);

    TestInstaller installer(Package(infPath));
    installer.PublishInf();
    Clear();
    const std::vector<std::wstring> found = installer.FindInstalledOemInfs();

    ASSERT_EQ(2u, found.size());
    const std::wstring own = found[0];
    EXPECT_EQ(0u, own.rfind(WindowsPath(L"inf\\oem"), 0)) << ddtest::Narrow(own);
    EXPECT_EQ(WindowsPath(L"Inf\\oem90.inf"), found[1]);
    seeded_.push_back(own);
    EXPECT_TRUE(WasLogged(L"Found '" + own + L"' for driver package."));
    EXPECT_TRUE(WasLogged(L"Found '" + found[1] + L"' for previous version of driver package."));
    // Its own oemN.inf matches too, but is listed once.
    EXPECT_FALSE(WasLogged(L"Found '" + own + L"' for previous version of driver package."));

    installer.UnpublishInstalledOemInfs();
    EXPECT_FALSE(ddtest::FileExists(own));
    EXPECT_FALSE(ddtest::FileExists(WindowsPath(L"inf\\oem90.inf")));
    EXPECT_TRUE(ddtest::FileExists(WindowsPath(L"inf\\oem91.inf")));
    EXPECT_TRUE(ddtest::FileExists(WindowsPath(L"inf\\prev95.inf")));
}

TEST_F(InstallerTest, WithoutSourceDisksFilesFindsAtMostItsOwn) {
    Seed(L"oem97.inf", FindInf("ddnofiles.sys", "ddnofiles"));
    const std::wstring infPath = Write(L"ddnofiles.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n"
                                                         "[DefaultInstall.NTamd64]\n[DefaultInstall.NTamd64.Services]\n"
                                                         "AddService=ddnofiles,,S\n[S]\nServiceType=1\n");
    TestInstaller installer(Package(infPath));
    Clear();
    const std::vector<std::wstring> found = installer.FindInstalledOemInfs();
    // Wine's lookup of the own copy publishes it, so it is always there.
    EXPECT_LE(found.size(), 1u);
    for (const std::wstring& path : found) {
        EXPECT_EQ(WindowsPath(L"inf\\ddnofiles.inf"), path);
        seeded_.push_back(path);
    }
    EXPECT_TRUE(WasLogged(L"Skip find oem*.inf for previous version of driver package. The SourceDisksFiles or "
                          L"AddService sections are not specified in '" +
                          infPath + L"'."));
}

TEST_F(InstallerTest, WithoutOwnPublishedInfOnlyEarlierVersionsAreFound) {
    // The replace-only lookup that Wine does not enforce, as Windows answers
    // it for an INF that is not in the store.
    class NotPublished : public ddtest::InstallerPlatformDouble {
    public:
        BOOL CopyOemInf(PCWSTR infPath, DWORD mediaType, DWORD copyStyle, PWSTR destination, DWORD destinationSize,
                        PDWORD requiredSize) override {
            if ((copyStyle & SP_COPY_REPLACEONLY) != 0) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return FALSE;
            }
            return InstallerPlatformDouble::CopyOemInf(infPath, mediaType, copyStyle, destination, destinationSize,
                                                       requiredSize);
        }
    } platform;
    Seed(L"oem98.inf", FindInf("ddearlier.sys", "ddearlier"));
    const std::wstring infPath = Write(L"ddearlier.inf", FindInf("ddearlier.sys", "ddearlier", "DriverVer=03/03/2024,3.0\n"));
    TestInstaller installer(Package(infPath), platform);
    EXPECT_EQ((std::vector<std::wstring>{WindowsPath(L"Inf\\oem98.inf")}), installer.FindInstalledOemInfs());
    EXPECT_FALSE(ddtest::FileExists(WindowsPath(L"inf\\ddearlier.inf")));
}

TEST_F(InstallerTest, OwnPublishedNameLongerThanTheFirstBufferIsAskedForAgain) {
    // The replace-only lookup as Windows answers it for a published name that
    // does not fit the buffer: the size first, then the name.
    class LongName : public ddtest::InstallerPlatformDouble {
    public:
        std::wstring name = WindowsPath(L"inf\\" + std::wstring(300, L'x') + L".inf");
        int lookups = 0;
        BOOL CopyOemInf(PCWSTR infPath, DWORD mediaType, DWORD copyStyle, PWSTR destination, DWORD destinationSize,
                        PDWORD requiredSize) override {
            if ((copyStyle & SP_COPY_REPLACEONLY) == 0) {
                return InstallerPlatformDouble::CopyOemInf(infPath, mediaType, copyStyle, destination,
                                                           destinationSize, requiredSize);
            }
            ++lookups;
            const DWORD needed = static_cast<DWORD>(name.size() + 1);
            if (requiredSize != nullptr) {
                *requiredSize = needed;
            }
            if (destination == nullptr || destinationSize < needed) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            std::copy(name.c_str(), name.c_str() + needed, destination);
            return TRUE;
        }
    } platform;
    Seed(L"oem98.inf", FindInf("ddearlier.sys", "ddearlier"));
    const std::wstring infPath = Write(L"ddearlier.inf", FindInf("ddearlier.sys", "ddearlier", "DriverVer=03/03/2024,3.0\n"));
    TestInstaller installer(Package(infPath), platform);
    Clear();
    EXPECT_EQ((std::vector<std::wstring>{platform.name, WindowsPath(L"Inf\\oem98.inf")}),
              installer.FindInstalledOemInfs());
    EXPECT_EQ(2, platform.lookups);
    EXPECT_TRUE(WasLogged(L"Found '" + platform.name + L"' for driver package."));
}

// ---------------------------------------------------------------------------

// Package threads publish and remove at the same time; the store calls are
// held open for a while, so two at once would be seen.
TEST_F(InstallerTest, OemInfLockSerializesPublishingAcrossThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 3;
    ddtest::InstallerPlatformDouble platform;
    std::vector<std::unique_ptr<TestInstaller>> installers;
    for (int i = 0; i < kThreads; ++i) {
        const std::wstring name = L"ddlock" + std::to_wstring(i) + L".inf";
        installers.push_back(std::make_unique<TestInstaller>(
            Package(Write(name, "[Version]\nSignature=\"$WINDOWS NT$\"\n; " + std::to_string(i) + "\n")), platform));
    }
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::exception_ptr> failures(kThreads);
    RunWithTimeLimit("threads publishing and removing INFs", 120000, [&] {
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                WaitForSingleObject(start, INFINITE);
                try {
                    const std::wstring name = L"ddlock" + std::to_wstring(i) + L".inf";
                    for (int round = 0; round < kRounds; ++round) {
                        installers[i]->PublishInf();
                        installers[i]->UnpublishInf(WindowsPath(L"inf\\" + name));
                    }
                } catch (...) {
                    failures[i] = std::current_exception();
                }
            });
        }
        SetEvent(start);
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    CloseHandle(start);
    for (const std::exception_ptr& failure : failures) {
        EXPECT_FALSE(failure) << "a package thread failed";
    }
    EXPECT_EQ(kThreads * kRounds * 2, platform.StoreCalls());
    EXPECT_EQ(1, platform.MostStoreCallsAtOnce());
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_FALSE(ddtest::FileExists(WindowsPath(L"inf\\ddlock" + std::to_wstring(i) + L".inf")));
    }

    // The same calls made straight to the platform, without the installer,
    // do overlap: the watch would have seen an unserialized installer.
    ddtest::InstallerPlatformDouble unguarded;
    std::vector<std::thread> direct;
    for (int i = 0; i < kThreads; ++i) {
        direct.emplace_back([&] { unguarded.UninstallOemInf(L"ddnosuch.inf", SUOI_FORCEDELETE); });
    }
    for (std::thread& thread : direct) {
        thread.join();
    }
    EXPECT_GT(unguarded.MostStoreCallsAtOnce(), 1);
}

}  // namespace
