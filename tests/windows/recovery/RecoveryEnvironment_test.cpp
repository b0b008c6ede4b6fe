// The recovery image steps inside a real installer session, against the
// reagentc.exe and dism.exe doubles (tests/doubles/RecoveryToolDouble.cpp)
// placed in the prefix's system directory: what runs, in which order, what
// is logged, and how a failure discards the image.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <algorithm>
#include <utility>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/install/InfFile.h"
#include "frame/Exception.h"
#include "frame/Session.h"
#include "system/FileSystem.h"
#include "system/Process.h"
#include "system/RecoveryEnvironment.h"
#include "windows/support/CatchException.h"
#include "windows/support/InstallerFixture.h"

namespace {

using Lines = std::vector<std::wstring>;
using setup::RecoveryDriver;

constexpr wchar_t kDescriptor[] = L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
constexpr wchar_t kLocation[] = L"\\\\?\\GLOBALROOT\\device\\harddisk0\\partition4\\Recovery\\WindowsRE";
constexpr wchar_t kCreatePrefix[] = L"Create directory '";

// One answer of a tool double: when its command line contains keyword.
struct Step {
    std::string tool;
    std::string keyword;
    unsigned exitCode;
    std::string output;
    unsigned sleepMilliseconds = 0;  // the tool hangs that long before it ends
};

std::wstring SystemDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    GetSystemDirectoryW(buffer, MAX_PATH);
    return buffer;
}

std::wstring ProgramDirectory() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::string Hex(const std::string& bytes) {
    if (bytes.empty()) {
        return "-";
    }
    std::string hex;
    char pair[3];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof(pair), "%02X", c);
        hex += pair;
    }
    return hex;
}

std::string LocateOutput(const std::string& locationLine) {
    return "Windows Recovery Environment (Windows RE) and system reset configuration\r\n"
           "Information:\r\n\r\n"
           "    Windows RE status:         Enabled\r\n" +
           locationLine;
}

const std::string kLocationLine =
    "    Windows RE location:       \\\\?\\GLOBALROOT\\device\\harddisk0\\partition4\\Recovery\\WindowsRE";

RecoveryDriver Package(const std::wstring& id, const std::wstring& inf, uint32_t operation) {
    return RecoveryDriver{id, inf, operation};
}

// With the rule the dispatcher hands over.
void Configure(const setup::RecoveryDriverList& drivers) {
    setup::ConfigureRecoveryEnvironment(drivers, setup::driver::IsPublishedCopyOfInf);
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

class RecoveryEnvironmentTest : public ::testing::Test {
protected:
    // The doubles go into the system directory once per prefix; Wine starts
    // its own built-in dism unless dism.exe is loaded as native (measured:
    // the registry override works, WINEDLLOVERRIDES set inside the running
    // program does not reach its children). reagentc needs nothing.
    static void SetUpTestSuite() {
        const std::wstring system = SystemDirectory();
        ASSERT_TRUE(CopyFileW((ProgramDirectory() + L"dd_reagentc_double.exe").c_str(),
                              (system + L"\\reagentc.exe").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((ProgramDirectory() + L"dd_dism_double.exe").c_str(), (system + L"\\dism.exe").c_str(),
                              FALSE));
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, nullptr, 0,
                                                 KEY_SET_VALUE, nullptr, &key, nullptr));
        const wchar_t native[] = L"native";
        RegSetValueExW(key, L"dism.exe", 0, REG_SZ, reinterpret_cast<const BYTE*>(native), sizeof(native));
        RegCloseKey(key);
    }

    void SetUp() override {
        ASSERT_TRUE(SetEnvironmentVariableW(L"DD_RECOVERY_DOUBLE_DIR", doubles_.path().c_str()));
        database_ = ddtest::BuildDatabase(dir_ / L"t.msi", {});
        session_.emplace(database_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "RecoveryTest"));
        // As the installer's custom-action host has it; the tests of the
        // privilege itself turn it off first.
        setup::EnableManageVolumePrivilege();
        session_->SetResponder([this](const ddtest::Message& m) {
            if (m.kind == INSTALLMESSAGE_INFO) {
                Watch(ddtest::StripLogPrefix(m.formatted));
            }
            return 0;
        });
        session_->ClearMessages();
    }

    void TearDown() override {
        // Says what ran (and what was still running) when a test went wrong.
        if (HasFailure()) {
            for (const std::wstring& line : LogLines()) {
                std::printf("  log: %s\n", ddtest::Narrow(line).c_str());
            }
        }
        if (!mountDirectory_.empty() && IsDirectory(mountDirectory_)) {
            RemoveDirectoryW(mountDirectory_.c_str());
        }
        setup::Finalize(0);
        session_.reset();
        SetEnvironmentVariableW(L"DD_RECOVERY_DOUBLE_DIR", nullptr);
    }

    void Script(const std::vector<Step>& steps) {
        std::string text;
        for (const Step& s : steps) {
            text += s.tool + " " + s.keyword + " " + std::to_string(s.exitCode) + " " + Hex(s.output);
            if (s.sleepMilliseconds != 0) {
                text += ' ';
                text += std::to_string(s.sleepMilliseconds);
            }
            text += '\n';
        }
        ddtest::WriteTextFile(doubles_ / L"script.txt", text);
    }

    // Command lines the doubles were started with, in order.
    Lines Recorded() const {
        Lines lines;
        const std::wstring path = doubles_ / L"record.txt";
        if (!ddtest::FileExists(path)) {
            return lines;
        }
        const std::vector<unsigned char> bytes = ddtest::ReadBinaryFile(path);
        std::wstring text;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
        }
        size_t start = 0;
        for (size_t end = text.find(L'\n'); end != std::wstring::npos; end = text.find(L'\n', start)) {
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    Lines LogLines() const {
        Lines lines;
        for (const std::wstring& line : session_->InfoLines()) {
            lines.push_back(ddtest::StripLogPrefix(line));
        }
        return lines;
    }

    // Learns the mount directory from its creation line and, at each start
    // of a tool, notes whether the directory exists at that moment.
    void Watch(const std::wstring& line) {
        const std::wstring descriptorPart = std::wstring(L"' '") + kDescriptor + L"'.";
        if (line.rfind(kCreatePrefix, 0) == 0 && line.size() > descriptorPart.size() &&
            line.compare(line.size() - descriptorPart.size(), descriptorPart.size(), descriptorPart) == 0) {
            mountDirectory_ = line.substr(std::wcslen(kCreatePrefix),
                                          line.size() - std::wcslen(kCreatePrefix) - descriptorPart.size());
        }
        if (line.rfind(L"Start process: ", 0) == 0 && !mountDirectory_.empty()) {
            existedAtStart_.push_back(IsDirectory(mountDirectory_));
        }
    }

    // The tools run by their full path, quoted as argument 0.
    std::wstring Dism() const { return L"\"" + system_ + L"\\dism.exe\""; }
    std::wstring Locate() const { return L"\"" + system_ + L"\\reagentc.exe\" /info"; }
    std::wstring Image() const { return std::wstring(kLocation) + L"\\WinRe.wim"; }
    std::wstring ListMounted() const { return Dism() + L" /Get-MountedWimInfo"; }
    std::wstring Mount(const std::wstring& image) const {
        return Dism() + L" /Mount-Wim /WimFile:\"" + image + L"\" /MountDir:\"" + mountDirectory_ + L"\" /index:1";
    }
    std::wstring AddDriver(const std::wstring& inf) const {
        return Dism() + L" /Image:\"" + mountDirectory_ + L"\" /Add-Driver /Driver:\"" + inf + L"\"";
    }
    std::wstring RemoveDriver(const std::wstring& inf) const {
        return Dism() + L" /Image:\"" + mountDirectory_ + L"\" /Remove-Driver /Driver:\"" + inf + L"\"";
    }
    std::wstring ListDrivers() const { return Dism() + L" /Image:\"" + mountDirectory_ + L"\" /Get-Drivers"; }
    std::wstring Commit() const { return Dism() + L" /Unmount-Wim /MountDir:\"" + mountDirectory_ + L"\" /Commit"; }
    std::wstring Discard() const { return Dism() + L" /Unmount-Wim /MountDir:\"" + mountDirectory_ + L"\" /Discard"; }

    Lines LocateLog(const std::string& locationLine) const {
        return {L"Start process: " + Locate() + L".",
                L"> Windows Recovery Environment (Windows RE) and system reset configuration",
                L"> Information:",
                L">     Windows RE status:         Enabled",
                L"> " + ddtest::Widen(locationLine)};
    }

    // The mount directory is a new temporary folder named with the prefix "wim".
    void ExpectMountDirectoryName() const {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        const std::wstring folder = temp;
        ASSERT_GT(mountDirectory_.size(), folder.size());
        EXPECT_EQ(folder, mountDirectory_.substr(0, folder.size()));
        EXPECT_EQ(L"wim", mountDirectory_.substr(folder.size(), 3));
        EXPECT_EQ(std::wstring::npos, mountDirectory_.find_first_of(L"\\/", folder.size()));
    }

    const std::wstring system_ = SystemDirectory();
    ddtest::TempDir dir_;
    ddtest::TempDir doubles_;
    std::wstring database_;
    std::optional<ddtest::InstallerSession> session_;
    std::wstring mountDirectory_;
    std::vector<bool> existedAtStart_;
};

TEST_F(RecoveryEnvironmentTest, AddsAndRemovesDriversInListOrderThenCommits) {
    Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n    Boot Configuration Data (BCD) identifier: x\r\n")},
            {"dism", "/Get-Drivers", 0, "Published Name : oem3.inf\r\n"}});
    Configure({Package(L"Alpha", L"C:\\drivers\\alpha\\alpha.inf", 1),
                                         Package(L"Beta", L"C:\\drivers\\beta\\beta.inf", 2)});

    ASSERT_FALSE(mountDirectory_.empty()) << "no mount directory was made with the descriptor";
    ExpectMountDirectoryName();
    // The image holds no copy of Beta: there is nothing to hand to dism.
    EXPECT_EQ((Lines{Locate(), ListMounted(), Mount(Image()), AddDriver(L"C:\\drivers\\alpha\\alpha.inf"),
                     ListDrivers(), Commit()}),
              Recorded());
    Lines expected{L" - Initializing Windows Recovery Environment..."};
    for (const std::wstring& line : LocateLog(kLocationLine)) {
        expected.push_back(line);
    }
    expected.insert(expected.end(),
                    {L">     Boot Configuration Data (BCD) identifier: x",
                     L"Create directory '" + mountDirectory_ + L"' '" + kDescriptor + L"'.",
                     L"Start process: " + ListMounted() + L".",
                     L"Start process: " + Mount(Image()) + L".",
                     L" - Adding driver 'Alpha' to Windows Recovery Environment...",
                     L"Start process: " + AddDriver(L"C:\\drivers\\alpha\\alpha.inf") + L".",
                     L" - Removing driver 'Beta' from Windows Recovery Environment...",
                     L"Driver 'Beta' is not in Windows Recovery Environment. Nothing to remove.",
                     L" - Committing changes to Windows Recovery Environment...",
                     L"Start process: " + ListDrivers() + L".",
                     L"> Published Name : oem3.inf",
                     L"Start process: " + Commit() + L".",
                     L"Remove directory '" + mountDirectory_ + L"'."});
    EXPECT_EQ(expected, LogLines());
    // The directory stood while every dism step ran, and is gone afterwards.
    EXPECT_EQ(std::vector<bool>(5, true), existedAtStart_);
    EXPECT_FALSE(IsDirectory(mountDirectory_));
}

TEST_F(RecoveryEnvironmentTest, UnspecifiedOperationOnlyLogsAndTheCommitFollows) {
    Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")}});
    Configure({Package(L"Gamma", L"C:\\drivers\\gamma.inf", 3),
                                         Package(L"Delta", L"C:\\drivers\\delta.inf", 0)});

    EXPECT_EQ((Lines{Locate(), ListMounted(), Mount(Image()), AddDriver(L"C:\\drivers\\gamma.inf"), ListDrivers(),
                     Commit()}),
              Recorded());
    const Lines log = LogLines();
    const Lines tail(log.end() - 6, log.end());
    EXPECT_EQ((Lines{L"Start process: " + AddDriver(L"C:\\drivers\\gamma.inf") + L".",
                     L"The operation of driver was not specified. Do nothing.",
                     L" - Committing changes to Windows Recovery Environment...",
                     L"Start process: " + ListDrivers() + L".", L"Start process: " + Commit() + L".",
                     L"Remove directory '" + mountDirectory_ + L"'."}),
              tail);
    EXPECT_FALSE(IsDirectory(mountDirectory_));
}

TEST_F(RecoveryEnvironmentTest, FailedAddDriverDiscardsTheImage) {
    Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")},
            {"dism", "/Add-Driver", 2, "Error: 2\r\n"}});
    const setup::Exception failure = ddtest::CatchSetupException([] {
        Configure(
            {Package(L"Alpha", L"C:\\drivers\\alpha.inf", 1), Package(L"Beta", L"C:\\drivers\\beta.inf", 2)});
    });

    EXPECT_EQ(27303, failure.Code());
    EXPECT_EQ(L"Process returned error 2", failure.Message());
    EXPECT_EQ(L"", failure.Details());
    EXPECT_EQ((Lines{Locate(), ListMounted(), Mount(Image()), AddDriver(L"C:\\drivers\\alpha.inf"), Discard()}),
              Recorded());
    const Lines log = LogLines();
    const Lines tail(log.end() - 6, log.end());
    EXPECT_EQ((Lines{L"Start process: " + AddDriver(L"C:\\drivers\\alpha.inf") + L".", L"> Error: 2",
                     L"Failed to configure Windows Recovery Environment. Process returned error 2. Error 0x80004005.",
                     L" - Discarding changes from Windows Recovery Environment...",
                     L"Start process: " + Discard() + L".", L"Remove directory '" + mountDirectory_ + L"'."}),
              tail);
    EXPECT_FALSE(IsDirectory(mountDirectory_));
}

TEST_F(RecoveryEnvironmentTest, FailedCommitOrMountIsDiscarded) {
    // A failed commit leads to a discard; a mount that fails is discarded as
    // well, since the directory already exists when the mount is tried.
    // Steps are named here: the mount directory is known only after the run.
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"/Commit", {"locate", "list mounted", "mount", "add", "list drivers", "commit", "discard"}},
        {"/Mount-Wim", {"locate", "list mounted", "mount", "discard"}},
    };
    for (const auto& [failing, steps] : cases) {
        SCOPED_TRACE(failing);
        DeleteFileW((doubles_ / L"record.txt").c_str());
        mountDirectory_.clear();
        Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")}, {"dism", failing, 5, ""}});
        const setup::Exception failure = ddtest::CatchSetupException(
            [] { Configure({Package(L"Alpha", L"C:\\drivers\\alpha.inf", 1)}); });
        EXPECT_EQ(27303, failure.Code());
        EXPECT_EQ(L"Process returned error 5", failure.Message());
        Lines expected;
        for (const std::string& step : steps) {
            expected.push_back(step == "locate"         ? Locate()
                               : step == "list mounted" ? ListMounted()
                               : step == "mount"        ? Mount(Image())
                               : step == "add"          ? AddDriver(L"C:\\drivers\\alpha.inf")
                               : step == "list drivers" ? ListDrivers()
                               : step == "commit"       ? Commit()
                                                        : Discard());
        }
        EXPECT_EQ(expected, Recorded());
        EXPECT_EQ(L"Remove directory '" + mountDirectory_ + L"'.", LogLines().back());
        EXPECT_FALSE(IsDirectory(mountDirectory_));
    }
}

TEST_F(RecoveryEnvironmentTest, FailedDiscardIsIgnoredAndTheDirectoryStays) {
    Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")},
            {"dism", "/Add-Driver", 2, ""},
            {"dism", "/Discard", 7, "Error: 7\r\n"}});
    const setup::Exception failure = ddtest::CatchSetupException(
        [] { Configure({Package(L"Alpha", L"C:\\drivers\\alpha.inf", 1)}); });

    EXPECT_EQ(27303, failure.Code());
    EXPECT_EQ(L"Process returned error 2", failure.Message());
    EXPECT_EQ(Discard(), Recorded().back());
    const Lines log = LogLines();
    EXPECT_EQ((Lines{L"Start process: " + Discard() + L".", L"> Error: 7"}), Lines(log.end() - 2, log.end()));
    // The removal follows only a successful unmount.
    EXPECT_TRUE(IsDirectory(mountDirectory_));
}

TEST_F(RecoveryEnvironmentTest, LocateOutputWithoutLineFeedAfterTheMarker) {
    Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine)}});
    Configure({Package(L"Alpha", L"C:\\drivers\\alpha.inf", 1)});

    const Lines log = LogLines();
    Lines expected{L" - Initializing Windows Recovery Environment..."};
    for (const std::wstring& line : LocateLog(kLocationLine)) {
        expected.push_back(line);
    }
    expected.push_back(L"Failed to get '\\\\?\\GLOBALROOT'.");
    expected.push_back(L"Create directory '" + mountDirectory_ + L"' '" + kDescriptor + L"'.");
    ASSERT_LE(expected.size(), log.size());
    EXPECT_EQ(expected, Lines(log.begin(), log.begin() + expected.size()));
    // The location ran to the end of the output.
    const Lines recorded = Recorded();
    ASSERT_EQ(6u, recorded.size());
    EXPECT_EQ(Mount(Image()), recorded[2]);
    EXPECT_EQ(Commit(), recorded.back());
}

// Nothing is made or mounted without the image's location; the failure
// takes the same road as any other and still tries the discard, on the
// mount directory known so far: none.
TEST_F(RecoveryEnvironmentTest, LocateOutputWithoutTheMarker) {
    Script({{"reagentc", "/info", 0, "Windows RE status:         Disabled\r\n"},
            {"dism", "/Discard", 87, "Error: 87\r\n"}});
    const setup::Exception failure = ddtest::CatchSetupException(
        [] { Configure({Package(L"Alpha", L"C:\\drivers\\alpha.inf", 1)}); });

    EXPECT_EQ(27303, failure.Code());
    EXPECT_EQ(L"Failed to find the Windows Recovery Environment image", failure.Message());
    EXPECT_EQ(system_ + L"\\reagentc.exe /info", failure.Details());
    EXPECT_EQ(L"", mountDirectory_);
    EXPECT_EQ((Lines{Locate(), Dism() + L" /Unmount-Wim /MountDir:\"\" /Discard"}), Recorded());
    EXPECT_EQ((Lines{L" - Initializing Windows Recovery Environment...", L"Start process: " + Locate() + L".",
                     L"> Windows RE status:         Disabled", L"Failed to find '\\\\?\\GLOBALROOT'.",
                     L"Failed to configure Windows Recovery Environment. Failed to find the Windows Recovery "
                     L"Environment image. Error 0x80070490.",
                     L" - Discarding changes from Windows Recovery Environment...",
                     L"Start process: " + Dism() + L" /Unmount-Wim /MountDir:\"\" /Discard.", L"> Error: 87"}),
              LogLines());
}

// A driver package's INF; a new DriverVer makes another version of it.
std::string PackageInf(const std::string& service, const std::string& driverVer) {
    return "[Version]\nSignature=\"$Windows NT$\"\nClass=System\n"
           "ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\nDriverVer=" + driverVer + "\n"
           "[SourceDisksNames]\n1=disk\n[SourceDisksFiles]\n" + service + ".sys=1\n"
           "[DefaultInstall.NTamd64]\n[DefaultInstall.NTamd64.Services]\nAddService=" + service + ",,Svc\n"
           "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\" + service + ".sys\n";
}

// The stand-in dism keeps the image's drivers in the doubles' image folder,
// as DISM keeps them in the image: what each round commits, the next one mounts.
class RecoveryImageDriversTest : public RecoveryEnvironmentTest {
protected:
    void SetUp() override {
        RecoveryEnvironmentTest::SetUp();
        ASSERT_TRUE(CreateDirectoryW(Stored().c_str(), nullptr));
        Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")}});
    }

    std::wstring Stored() const { return doubles_ / L"image"; }

    // The published names the committed image holds, each with the INF text.
    std::vector<std::pair<std::wstring, std::string>> StoredInfs() const {
        std::vector<std::pair<std::wstring, std::string>> infs;
        const std::wstring folder = Stored() + L"\\Windows\\INF";
        WIN32_FIND_DATAW entry = {};
        HANDLE search = FindFirstFileW((folder + L"\\*.inf").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) {
            return infs;
        }
        do {
            const std::vector<unsigned char> bytes = ddtest::ReadBinaryFile(folder + L"\\" + entry.cFileName);
            infs.emplace_back(entry.cFileName, std::string(bytes.begin(), bytes.end()));
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        return infs;
    }

    // One deferred run's image steps, its own record and log.
    void Round(const setup::RecoveryDriverList& drivers) {
        DeleteFileW((doubles_ / L"record.txt").c_str());
        session_->ClearMessages();
        Configure(drivers);
    }

    bool Logged(const std::wstring& line) const {
        const Lines log = LogLines();
        return std::find(log.begin(), log.end(), line) != log.end();
    }
};

TEST_F(RecoveryImageDriversTest, InstallReinstallAndUninstallByPublishedName) {
    const std::wstring acme = dir_ / L"acme.inf";
    const std::wstring other = dir_ / L"other.inf";
    ddtest::WriteTextFile(acme, PackageInf("acme", "01/01/2024,1.0.0.0"));
    ddtest::WriteTextFile(other, PackageInf("other", "01/01/2024,1.0.0.0"));

    Round({Package(L"Other", other, 1), Package(L"Acme", acme, 1)});
    using Stored = std::vector<std::pair<std::wstring, std::string>>;
    ASSERT_EQ((Stored{{L"oem1.inf", PackageInf("other", "01/01/2024,1.0.0.0")},
                      {L"oem2.inf", PackageInf("acme", "01/01/2024,1.0.0.0")}}),
              StoredInfs());
    EXPECT_TRUE(Logged(L"> Published Name : oem2.inf"));
    EXPECT_TRUE(Logged(L"> Original File Name : acme.inf"));

    // A later version of the same package: its earlier copy goes first,
    // found by its identity although its bytes differ; the other stays.
    ddtest::WriteTextFile(acme, PackageInf("acme", "02/02/2025,2.0.0.0"));
    Round({Package(L"Acme", acme, 3)});
    EXPECT_EQ((Lines{Locate(), ListMounted(), Mount(Image()), RemoveDriver(L"oem2.inf"), AddDriver(acme), ListDrivers(),
                     Commit()}),
              Recorded());
    EXPECT_TRUE(Logged(L"Found 'oem2.inf' in Windows Recovery Environment for driver 'Acme'."));
    EXPECT_EQ((Stored{{L"oem1.inf", PackageInf("other", "01/01/2024,1.0.0.0")},
                      {L"oem3.inf", PackageInf("acme", "02/02/2025,2.0.0.0")}}),
              StoredInfs());

    Round({Package(L"Acme", acme, 2)});
    EXPECT_EQ((Lines{Locate(), ListMounted(), Mount(Image()), RemoveDriver(L"oem3.inf"), ListDrivers(), Commit()}),
              Recorded());
    EXPECT_EQ((Stored{{L"oem1.inf", PackageInf("other", "01/01/2024,1.0.0.0")}}), StoredInfs());

    // Nothing left to remove is no failure.
    Round({Package(L"Acme", acme, 2)});
    EXPECT_EQ((Lines{Locate(), ListMounted(), Mount(Image()), ListDrivers(), Commit()}), Recorded());
    EXPECT_TRUE(Logged(L"Driver 'Acme' is not in Windows Recovery Environment. Nothing to remove."));
    EXPECT_EQ(1u, StoredInfs().size());
}

// Names the INF wildcard lets through that are no published name, and INFs
// that cannot be read, are never handed to dism.
TEST_F(RecoveryImageDriversTest, OnlyPublishedNamesOfCopiesAreRemoved) {
    const std::wstring acme = dir_ / L"acme.inf";
    ddtest::WriteTextFile(acme, PackageInf("acme", "01/01/2024,1.0.0.0"));
    const std::wstring folder = Stored() + L"\\Windows\\INF";
    ASSERT_TRUE(CreateDirectoryW((Stored() + L"\\Windows").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    for (const wchar_t* name : {L"oem7.inf_old", L"oemx.inf", L"acme.inf"}) {
        ddtest::WriteTextFile(folder + L"\\" + name, PackageInf("acme", "01/01/2024,1.0.0.0"));
    }
    ddtest::WriteTextFile(folder + L"\\oem8.inf", "[Version]\n[SourceDisksFiles]\n");  // no identity
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\oem9.inf").c_str(), nullptr));

    Round({Package(L"Acme", acme, 2)});
    EXPECT_EQ((Lines{Locate(), ListMounted(), Mount(Image()), ListDrivers(), Commit()}), Recorded());
    EXPECT_TRUE(Logged(L"Driver 'Acme' is not in Windows Recovery Environment. Nothing to remove."));
}

// The stand-in refuses what DISM refuses: a removal by INF path or by the
// original file name; only the published name removes the driver.
TEST_F(RecoveryImageDriversTest, StandInRemovesOnlyByPublishedName) {
    const std::wstring acme = dir_ / L"acme.inf";
    ddtest::WriteTextFile(acme, PackageInf("acme", "01/01/2024,1.0.0.0"));
    Round({Package(L"Acme", acme, 1)});
    ASSERT_EQ(1u, StoredInfs().size());

    ddtest::TempDir mount;
    const std::wstring image = L" /Image:\"" + mount.path() + L"\"";
    setup::RunCommand(Dism() + L" /Mount-Wim /WimFile:\"" + Image() + L"\" /MountDir:\"" + mount.path() + L"\" /index:1");
    for (const std::wstring& driver : {acme, std::wstring(L"acme.inf"), std::wstring(L"oem2.inf")}) {
        SCOPED_TRACE(ddtest::Narrow(driver));
        const setup::Exception refused = ddtest::CatchSetupException(
            [&] { setup::RunCommand(Dism() + image + L" /Remove-Driver /Driver:\"" + driver + L"\""); });
        EXPECT_EQ(L"Process returned error 2", refused.Message());
    }
    setup::RunCommand(Dism() + image + L" /Remove-Driver /Driver:\"OEM1.inf\"");
    setup::RunCommand(Dism() + L" /Unmount-Wim /MountDir:\"" + mount.path() + L"\" /Commit");
    EXPECT_EQ(0u, StoredInfs().size());
}

TEST_F(RecoveryEnvironmentTest, EmptyListRunsAndLogsNothing) {
    Script({{"reagentc", "*", 0, LocateOutput(kLocationLine + "\r\n")}});
    Configure({});
    EXPECT_EQ(Lines{}, Recorded());
    EXPECT_EQ(Lines{}, LogLines());
}

std::optional<DWORD> ManageVolumeAttributes() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return std::nullopt;
    }
    LUID luid = {};
    LookupPrivilegeValueW(nullptr, L"SeManageVolumePrivilege", &luid);
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    std::optional<DWORD> attributes;
    if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            if (privileges->Privileges[i].Luid.LowPart == luid.LowPart &&
                privileges->Privileges[i].Luid.HighPart == luid.HighPart) {
                attributes = privileges->Privileges[i].Attributes;
            }
        }
    }
    CloseHandle(token);
    return attributes;
}

// Wine's token holds the privilege, disabled at start (measured).
void DisableManageVolumePrivilege() {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES off = {};
    off.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeManageVolumePrivilege", &off.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &off, 0, nullptr, nullptr));
    CloseHandle(token);
    ASSERT_EQ(std::optional<DWORD>(0), ManageVolumeAttributes());
}

TEST_F(RecoveryEnvironmentTest, ManageVolumePrivilegeIsEnabled) {
    DisableManageVolumePrivilege();
    EXPECT_FALSE(setup::EnableManageVolumePrivilege());
    EXPECT_EQ(std::optional<DWORD>(SE_PRIVILEGE_ENABLED), ManageVolumeAttributes());
    EXPECT_TRUE(setup::EnableManageVolumePrivilege());
    EXPECT_EQ(Lines{}, LogLines());
}

TEST_F(RecoveryEnvironmentTest, ThePrivilegeIsPutBackAfterwardsOnEveryRoad) {
    struct Case {
        const char* name;
        std::vector<Step> script;
    } const cases[] = {
        {"committed", {{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")}}},
        {"failed", {{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")}, {"dism", "/Mount-Wim", 5, ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DisableManageVolumePrivilege();
        session_->ClearMessages();
        Script(c.script);
        try {
            Configure({Package(L"Alpha", L"C:\\drivers\\alpha.inf", 1)});
        } catch (const setup::Exception&) {
        }
        EXPECT_EQ(std::optional<DWORD>(0), ManageVolumeAttributes());
        EXPECT_EQ(L"The privilege 'SeManageVolumePrivilege' was put back to disabled.", LogLines().back());
    }
    // Already enabled before: it stays enabled, and nothing is said.
    session_->ClearMessages();
    setup::EnableManageVolumePrivilege();
    ASSERT_EQ(std::optional<DWORD>(SE_PRIVILEGE_ENABLED), ManageVolumeAttributes());
    Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")}});
    Configure({Package(L"Alpha", L"C:\\drivers\\alpha.inf", 1)});
    EXPECT_EQ(std::optional<DWORD>(SE_PRIVILEGE_ENABLED), ManageVolumeAttributes());
    EXPECT_EQ(L"Remove directory '" + mountDirectory_ + L"'.", LogLines().back());
}

TEST_F(RecoveryEnvironmentTest, ACommitPastItsLimitIsEndedAndTheImageDiscarded) {
    // The real limit is half an hour; a hanging commit here ends after 1.5 s.
    setup::detail::SetRecoveryImageStepLimitForTesting(1500);
    Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")}, {"dism", "/Commit", 0, "", 60000}});
    const ULONGLONG start = GetTickCount64();
    const setup::Exception failure = ddtest::CatchSetupException(
        [] { Configure({Package(L"Alpha", L"C:\\drivers\\alpha.inf", 1)}); });
    const ULONGLONG elapsed = GetTickCount64() - start;
    setup::detail::SetRecoveryImageStepLimitForTesting(setup::kRecoveryImageStepLimitMilliseconds);

    EXPECT_EQ(27303, failure.Code());
    EXPECT_EQ(L"The wait process operation timed out.", failure.Message());
    EXPECT_LT(elapsed, 20000u);
    // The discard began only once the commit was gone.
    EXPECT_EQ((Lines{Locate(), ListMounted(), Mount(Image()), AddDriver(L"C:\\drivers\\alpha.inf"), ListDrivers(), Commit(),
                     Discard()}),
              Recorded());
    const Lines log = LogLines();
    const auto ended = std::find(log.begin(), log.end(),
                                 L"The process ran past its limit of 1500 ms and was ended with its child processes.");
    const auto discard = std::find(log.begin(), log.end(), L" - Discarding changes from Windows Recovery Environment...");
    ASSERT_NE(log.end(), ended);
    EXPECT_LT(ended, discard);
}

std::vector<std::pair<std::wstring, std::wstring>> g_made;
unsigned long FolderMakerFindingTheFirstNameTaken(const std::wstring& path, const std::wstring& sddl) {
    g_made.emplace_back(path, sddl);
    if (g_made.size() == 1) {
        CreateDirectoryW(path.c_str(), nullptr);  // made first by someone else, with their descriptor
        return ERROR_ALREADY_EXISTS;
    }
    return CreateDirectoryW(path.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
}

TEST_F(RecoveryEnvironmentTest, AMountFolderNameAlreadyTakenIsNeverUsed) {
    Script({{"reagentc", "/info", 0, LocateOutput(kLocationLine + "\r\n")}});
    g_made.clear();
    setup::detail::SetFolderMakerForTesting(FolderMakerFindingTheFirstNameTaken);
    Configure({Package(L"Alpha", L"C:\\drivers\\alpha.inf", 1)});
    setup::detail::SetFolderMakerForTesting(nullptr);
    ASSERT_EQ(2u, g_made.size());
    const std::wstring taken = g_made[0].first;
    // The image was mounted in the second folder, made with the descriptor.
    EXPECT_EQ(g_made[1].first, mountDirectory_);
    EXPECT_NE(taken, mountDirectory_);
    EXPECT_EQ(kDescriptor, g_made[1].second);
    EXPECT_EQ(Mount(Image()), Recorded().at(2));
    EXPECT_TRUE(IsDirectory(taken));  // someone else's folder is left alone
    RemoveDirectoryW(taken.c_str());
}

}  // namespace
