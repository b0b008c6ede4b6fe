#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/DriverPackage.h"
#include "driver/PackagePayload.h"
#include "frame/Exception.h"
#include "frame/Session.h"
#include "msi/Components.h"
#include "msi/Payload.h"
#include "system/FileHash.h"
#include "system/PathText.h"
#include "windows/support/InstallerFixture.h"
#include "windows/support/ProductInstall.h"
#include "windows/support/CatchException.h"

namespace {

// sha256sum of the bytes "driver-inf".
constexpr wchar_t kDriverInfSha256[] = L"4dedc6dd0667ef467bcbdd8316b47e2619d0fa65a2f894a0428c87074a7eaa2d";

using setup::driver::DriverPackage;

constexpr char kOwnGuid[] = "{6A1F0B2C-3D4E-4F50-8A9B-1C2D3E4F5A6B}";
constexpr char kOlderGuid[] = "{7B2A1C3D-4E5F-4061-9BAC-2D3E4F5A6B7C}";
constexpr char kSessionGuid[] = "{8C3B2D4E-5F60-4172-ACBD-3E4F5A6B7C8D}";
constexpr char kUnknownGuid[] = "{9D4C3E5F-6071-4283-BDCE-4F5A6B7C8D9E}";
constexpr char kPerUserGuid[] = "{AE5D4F60-7182-4394-8EDF-506B7C8D9EAF}";

std::wstring W(const char* text) { return ddtest::Widen(text); }

// The cabinets gcab made in the build tree, seen through Wine's Z: drive.
std::wstring CabinetPath(const std::wstring& name) {
    const char* build = std::getenv("DD_BUILD_DIR");
    std::wstring path = L"Z:" + ddtest::Widen(build != nullptr ? build : "") + L"/payload/" + name;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::vector<ddtest::TableText> PayloadTables() {
    using ddtest::MakeTable;
    const auto component = [](const char* name, const char* guid) {
        return std::vector<std::string>{name, guid, "DRVDIR", "0", "", ""};
    };
    const auto file = [](const char* key, const char* component, const char* name, const char* sequence) {
        return std::vector<std::string>{key, component, name, "1", "", "", "16384", sequence};
    };
    return {
        MakeTable("Directory", {"Directory", "Directory_Parent", "DefaultDir"}, {"s72", "S72", "l255"}, {"Directory"},
                  {{"TARGETDIR", "", "SourceDir"}, {"DRVDIR", "TARGETDIR", "drvfiles|Driver Files"}}),
        MakeTable("Component", {"Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"},
                  {"s72", "S38", "s72", "i2", "S255", "S72"}, {"Component"},
                  {component("Drv", kSessionGuid), component("Own", kOwnGuid), component("Other", ""), component("Side", ""),
                   component("Tiny", ""), component("Huge", ""), component("Bad", ""), component("Lost", ""),
                   component("NoFiles", "")}),
        MakeTable("File", {"File", "Component_", "FileName", "FileSize", "Version", "Language", "Attributes", "Sequence"},
                  {"s72", "s72", "l255", "i4", "S72", "S20", "I2", "i4"}, {"File"},
                  {file("drv_inf", "Drv", "drv.inf", "4"), file("drv_cat", "Drv", "drvcat~1.cat|driver catalog.cat", "4"),
                   file("other_sys", "Other", "other.sys", "4"), file("side_inf", "Side", "side.inf", "7"),
                   file("wrong_inf", "Tiny", "wrong.inf", "1"), file("huge_inf", "Huge", "huge.inf", "31"),
                   file("a_inf", "Bad", "a.inf", "12"), file("z_after", "Bad", "after.inf", "13"),
                   file("lost_inf", "Lost", "lost.inf", "25")}),
        // DiskId order differs from LastSequence order on purpose.
        MakeTable("Media", {"DiskId", "LastSequence", "DiskPrompt", "Cabinet", "VolumeLabel", "Source"},
                  {"i2", "i4", "L64", "S255", "S32", "S72"}, {"DiskId"},
                  {{"1", "10", "", "beside.cab", "", ""},
                   {"2", "4", "", "#drivers.cab", "", ""},
                   {"3", "2", "", "#wrong.cab", "", ""},
                   {"4", "20", "", "#bad.cab", "", ""},
                   {"5", "30", "", "#missing.cab", "", ""}}),
    };
}

bool StartsWith(const std::wstring& text, std::wstring_view prefix) { return std::wstring_view(text).substr(0, prefix.size()) == prefix; }

bool HasLine(const std::vector<std::wstring>& lines, const std::wstring& expected) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& l) { return ddtest::StripLogPrefix(l) == expected; });
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.push_back(entry.cFileName);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::string Content(const std::wstring& path) {
    const auto bytes = ddtest::ReadBinaryFile(path);
    return std::string(bytes.begin(), bytes.end());
}

DriverPackage Package(const wchar_t* component) {
    DriverPackage package;
    package.id = L"drv";
    package.component = component;
    package.infPath = L"C:\\source\\drv.inf";
    package.catPath = L"C:\\source\\driver catalog.cat";
    package.attributes = setup::driver::attribute::InstallEarly;
    return package;
}

setup::PayloadSource Source(const wchar_t* component) { return setup::driver::PayloadSourceOf(Package(component)); }

// The payload package beside its source image, in a running session.
class PayloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ddtest::BuildDatabase(dir_ / L"pkg.msi", PayloadTables());
        ddtest::AddStreams(path_, "_Streams",
                           {{"drivers.cab", ddtest::ReadBinaryFile(CabinetPath(L"drivers.cab"))},
                            {"wrong.cab", ddtest::ReadBinaryFile(CabinetPath(L"wrong.cab"))},
                            {"bad.cab", ddtest::ReadBinaryFile(CabinetPath(L"bad.cab"))}});
        ASSERT_TRUE(CopyFileW(CabinetPath(L"beside.cab").c_str(), (dir_ / L"beside.cab").c_str(), FALSE));
        // The administrative image of the component's folder.
        CreateDirectoryW((dir_ / L"Driver Files").c_str(), nullptr);
        CreateDirectoryW((dir_ / L"Driver Files\\nested").c_str(), nullptr);
        ddtest::WriteTextFile(dir_ / L"Driver Files\\drv.inf", "admin-inf");
        ddtest::WriteTextFile(dir_ / L"Driver Files\\driver catalog.cat", "admin-cat");
        ddtest::WriteTextFile(dir_ / L"Driver Files\\nested\\deep.txt", "deep");
        session_ = std::make_unique<ddtest::InstallerSession>(path_);
    }
    void Start() { ASSERT_EQ(0, setup::Initialize(session_->handle(), "PayloadTest")); started_ = true; }
    void TearDown() override {
        if (started_) {
            setup::Finalize(0);
        }
        session_.reset();
    }

    ddtest::TempDir dir_;
    ddtest::TempDir out_;
    std::wstring path_;
    std::unique_ptr<ddtest::InstallerSession> session_;
    bool started_ = false;
};

TEST_F(PayloadTest, CabinetOfAComponentIsTheFirstMediaRowReachingItsSequence) {
    Start();
    const struct {
        const wchar_t* component;
        const wchar_t* cabinet;
    } cases[] = {
        {L"Drv", L"#drivers.cab"},   // sequence 4 = LastSequence 4, found before the row with 10
        {L"Other", L"#drivers.cab"},
        {L"Tiny", L"#wrong.cab"},    // sequence 1: the lowest LastSequence
        {L"Side", L"beside.cab"},
        {L"Huge", L""},              // beyond every LastSequence
        {L"NoFiles", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.component));
        EXPECT_EQ(c.cabinet, setup::GetComponentCabinet(c.component));
    }
    EXPECT_EQ(L"driver catalog.cat", setup::GetFileLongName(L"drv_cat"));
    EXPECT_EQ(L"drv.inf", setup::GetFileLongName(L"drv_inf"));
    const setup::Exception e = ddtest::CatchSetupException([] { setup::GetFileLongName(L"nosuch"); });
    EXPECT_EQ(L"File record isn't exist in 'File' table: nosuch", e.Message());
    EXPECT_LT(e.Code(), 0);
}

TEST_F(PayloadTest, EmbeddedCabinetIsExtractedUnderLongNamesAndRemoved) {
    Start();
    const std::wstring target = out_.path();
    const unsigned leaked = ddtest::RunCountingLeakedHandles([&] { setup::ExtractComponentCabinet(Source(L"Drv"), target); });
    EXPECT_EQ(0u, leaked);
    // Every member, also the other component's, each under its long name.
    EXPECT_EQ((std::vector<std::wstring>{L"driver catalog.cat", L"drv.inf", L"other.sys"}), FilesIn(target));
    EXPECT_EQ("driver-catalog", Content(target + L"\\driver catalog.cat"));
    EXPECT_EQ("driver-inf", Content(target + L"\\drv.inf"));

    const auto lines = session_->InfoLines();
    const auto extracting = std::find_if(lines.begin(), lines.end(), [](const std::wstring& l) {
        return StartsWith(ddtest::StripLogPrefix(l), L"Extracting cabinet '");
    });
    ASSERT_NE(lines.end(), extracting);
    const std::wstring line = ddtest::StripLogPrefix(*extracting);
    const std::wstring cabinet = line.substr(20, line.find(L"' to '") - 20);
    EXPECT_EQ(L"Extracting cabinet '" + cabinet + L"' to '" + target + L"'.", line);
    EXPECT_EQ(0u, setup::GetFileNamePart(cabinet).find(L"cab")) << "a temporary file named cab*";
    EXPECT_FALSE(ddtest::FileExists(cabinet)) << "the temporary cabinet stays behind";
    EXPECT_TRUE(HasLine(lines, L"The file 'drv_cat' is encountered in the cabinet."));
    EXPECT_TRUE(HasLine(lines, L"The file '" + target + L"\\driver catalog.cat' has been extracted from the cabinet '" + cabinet + L"'."));
}

TEST_F(PayloadTest, CabinetBesideThePackage) {
    Start();
    setup::ExtractComponentCabinet(Source(L"Side"), out_.path());
    EXPECT_EQ((std::vector<std::wstring>{L"side.inf"}), FilesIn(out_.path()));
    EXPECT_EQ("beside-inf", Content(out_ / L"side.inf"));
    EXPECT_TRUE(HasLine(session_->InfoLines(), L"Extracting cabinet '" + (dir_ / L"beside.cab") + L"' to '" + out_.path() + L"'."));
    EXPECT_TRUE(ddtest::FileExists(dir_ / L"beside.cab"));
}

TEST_F(PayloadTest, ExtractionFailures) {
    Start();
    const struct {
        const wchar_t* component;
        int32_t code;
        std::wstring message;
    } cases[] = {
        {L"NoFiles", static_cast<int32_t>(0x80070006), L"Component has no file in 'File' table, so no cabinet to extract: NoFiles"},
        {L"Lost", static_cast<int32_t>(0x80070006), L"Failed to extract stream: missing.cab"},
        // No media holds the file: the "cabinet" is the package's folder itself.
        {L"Huge", 0, L"Failed to extract from cabinet file: " + dir_.path()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.component));
        const unsigned leaked = ddtest::RunCountingLeakedHandles([&] {
            const setup::Exception e = ddtest::CatchSetupException([&] { setup::ExtractComponentCabinet(Source(c.component), out_.path()); });
            EXPECT_EQ(c.message, e.Message().substr(0, c.message.size()));
            EXPECT_LT(e.Code(), 0);
            if (c.code != 0) {
                EXPECT_EQ(c.code, e.Code());
            }
        });
        EXPECT_EQ(0u, leaked);
    }
    EXPECT_TRUE(FilesIn(out_.path()).empty());
}

TEST_F(PayloadTest, TooLongTargetPathFailsNamingTheFile) {
    Start();
    const std::wstring target = out_.path() + L"\\" + std::wstring(250, L'x');
    const setup::Exception e = ddtest::CatchSetupException([&] { setup::ExtractComponentCabinet(Source(L"Drv"), target); });
    EXPECT_EQ(static_cast<int32_t>(0x800700CE), e.Code());
    EXPECT_EQ(L"The target path of a file in the cabinet is too long: " + target + L"\\drv.inf", e.Message());
    EXPECT_EQ(target + L"\\drv.inf", e.Details());
    EXPECT_TRUE(FilesIn(out_.path()).empty());
}

TEST_F(PayloadTest, MemberWithoutFileRowStopsTheExtraction) {
    Start();
    // bad.cab holds a_inf, z_ghost (no File row) and z_after, in that order.
    const setup::Exception e = ddtest::CatchSetupException([&] { setup::ExtractComponentCabinet(Source(L"Bad"), out_.path()); });
    EXPECT_EQ(L"File record isn't exist in 'File' table: z_ghost", e.Message());
    EXPECT_LT(e.Code(), 0);
    EXPECT_EQ((std::vector<std::wstring>{L"a.inf"}), FilesIn(out_.path())) << "a file after the failure was written";
    EXPECT_FALSE(HasLine(session_->InfoLines(), L"The file 'z_after' is encountered in the cabinet."));
}

TEST_F(PayloadTest, EarlyFilesFromTheCompressedPackage) {
    Start();
    DriverPackage package = Package(L"Drv");
    package.sequence = 7;
    const DriverPackage early = setup::driver::PrepareEarlyPackageFiles(package);
    const std::wstring temp = setup::GetParentPath(early.infPath);
    EXPECT_EQ(L"drv.inf", setup::GetFileNamePart(early.infPath));
    EXPECT_EQ(temp + L"\\driver catalog.cat", early.catPath);
    EXPECT_EQ(0u, setup::GetFileNamePart(temp).find(L"drv"));
    EXPECT_EQ("driver-inf", Content(early.infPath));
    EXPECT_EQ("driver-catalog", Content(early.catPath));
    EXPECT_EQ(package.attributes | setup::driver::attribute::EarlyConfigured, early.attributes);
    // Every file of the folder is hashed as extracted, in the folder's order.
    std::vector<std::wstring> hashed;
    for (const setup::PayloadFile& file : early.payloadFiles) {
        hashed.push_back(file.name);
        EXPECT_EQ(setup::HashFile(temp + L"\\" + file.name), file.sha256);
    }
    std::vector<std::wstring> inFolder = FilesIn(temp);
    std::sort(hashed.begin(), hashed.end());
    std::sort(inFolder.begin(), inFolder.end());
    EXPECT_EQ(inFolder, hashed);
    // SHA-256 of "driver-inf", as any other SHA-256 implementation gives it.
    const auto inf = std::find_if(early.payloadFiles.begin(), early.payloadFiles.end(),
                                  [](const setup::PayloadFile& f) { return f.name == L"drv.inf"; });
    ASSERT_NE(early.payloadFiles.end(), inf);
    EXPECT_EQ(kDriverInfSha256, inf->sha256);
    DriverPackage rest = early;
    rest.infPath = package.infPath;
    rest.catPath = package.catPath;
    rest.attributes = package.attributes;
    rest.payloadFiles.clear();
    EXPECT_EQ(package, rest) << "only the paths, the EarlyConfigured bit and the file hashes change";
}

TEST_F(PayloadTest, EarlyFilesFromAnAdministrativeImage) {
    session_->SetProperty(L"IsAdminPackage", L"1");
    Start();
    const DriverPackage early = setup::driver::PrepareEarlyPackageFiles(Package(L"Drv"));
    const std::wstring temp = setup::GetParentPath(early.infPath);
    EXPECT_EQ("admin-inf", Content(early.infPath));
    EXPECT_EQ("admin-cat", Content(early.catPath));
    EXPECT_EQ((std::vector<std::wstring>{L"driver catalog.cat", L"drv.inf"}), FilesIn(temp)) << "subfolders are not copied";
}

TEST_F(PayloadTest, AUncInfPathIsCopiedFromItsFolderEvenInAnAdministrativeImage) {
    session_->SetProperty(L"IsAdminPackage", L"1");
    Start();
    // "\\?\C:\..." starts with two backslashes like a share and is readable here.
    CreateDirectoryW((dir_ / L"net").c_str(), nullptr);
    ddtest::WriteTextFile(dir_ / L"net\\drv.inf", "net-inf");
    ddtest::WriteTextFile(dir_ / L"net\\driver catalog.cat", "net-cat");
    DriverPackage package = Package(L"Drv");
    package.infPath = L"\\\\?\\" + (dir_ / L"net\\drv.inf");
    const DriverPackage early = setup::driver::PrepareEarlyPackageFiles(package);
    EXPECT_EQ("net-inf", Content(early.infPath));
    EXPECT_EQ("net-cat", Content(early.catPath));

    package.infPath = L"\\\\nosuchserver\\share\\drv.inf";
    const setup::Exception e = ddtest::CatchSetupException([&] { setup::driver::PrepareEarlyPackageFiles(package); });
    EXPECT_EQ(L"Failed to copy to temp directory from network path.", e.Message());
    EXPECT_EQ(L"drv", e.Details());
    EXPECT_LT(e.Code(), 0);
}

TEST_F(PayloadTest, AdministrativeImageFailureIsReported) {
    session_->SetProperty(L"IsAdminPackage", L"1");
    Start();
    ASSERT_TRUE(MoveFileW((dir_ / L"Driver Files").c_str(), (dir_ / L"moved").c_str()));
    const setup::Exception e = ddtest::CatchSetupException([&] { setup::driver::PrepareEarlyPackageFiles(Package(L"Drv")); });
    EXPECT_EQ(L"Failed to copy to temp directory from admin package path.", e.Message());
    EXPECT_EQ(L"drv", e.Details());
    EXPECT_LT(e.Code(), 0);
}

// Three products installed in this prefix: one owning the session package's
// "Own" component GUID, one an older version with a GUID of its own (both
// per machine), and one the current user installed for themselves.
class PreviousPackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ownDir_ = new ddtest::TempDir();
        olderDir_ = new ddtest::TempDir();
        own_ = new std::wstring(ddtest::InstallDriverProduct(*ownDir_, "{1E2F3A4B-5C6D-4E7F-8091-A2B3C4D5E6F7}", kOwnGuid,
                                                             {{"drv.inf", "own"}, {"drv.cat", "own-cat"}}));
        older_ = new std::wstring(ddtest::InstallDriverProduct(*olderDir_, "{2F3A4B5C-6D7E-4F80-91A2-B3C4D5E6F708}", kOlderGuid,
                                                               {{"drv.inf", "older"}}));
        perUserDir_ = new ddtest::TempDir();
        perUser_ = new std::wstring(ddtest::InstallDriverProduct(*perUserDir_, "{3A4B5C6D-7E8F-4091-A2B3-C4D5E6F70819}", kPerUserGuid,
                                                                 {{"drv.inf", "per-user"}}, L"ALLUSERS=\"\""));
    }
    static void TearDownTestSuite() {
        delete own_;
        delete older_;
        delete perUser_;
        delete ownDir_;
        delete olderDir_;
        delete perUserDir_;
    }
    void SetUp() override {
        ASSERT_FALSE(own_->empty());
        ASSERT_FALSE(older_->empty());
        ASSERT_FALSE(perUser_->empty());
        path_ = ddtest::BuildDatabase(dir_ / L"pkg.msi", PayloadTables());
        session_ = std::make_unique<ddtest::InstallerSession>(path_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "PayloadTest"));
    }
    void TearDown() override {
        setup::Finalize(0);
        session_.reset();
    }

    static ddtest::TempDir* ownDir_;
    static ddtest::TempDir* olderDir_;
    static std::wstring* own_;
    static std::wstring* older_;
    static ddtest::TempDir* perUserDir_;
    static std::wstring* perUser_;
    ddtest::TempDir dir_;
    std::wstring path_;
    std::unique_ptr<ddtest::InstallerSession> session_;
};

ddtest::TempDir* PreviousPackageTest::ownDir_ = nullptr;
ddtest::TempDir* PreviousPackageTest::olderDir_ = nullptr;
std::wstring* PreviousPackageTest::own_ = nullptr;
std::wstring* PreviousPackageTest::older_ = nullptr;
ddtest::TempDir* PreviousPackageTest::perUserDir_ = nullptr;
std::wstring* PreviousPackageTest::perUser_ = nullptr;

TEST_F(PreviousPackageTest, CandidatesInOrderSkippingThoseNotInstalled) {
    const struct {
        const char* name;
        const wchar_t* component;
        std::vector<std::wstring> previous;
        std::wstring expected;
    } cases[] = {
        {"own component first", L"Own", {W(kOlderGuid)}, *own_},
        {"previous versions in order", L"Drv", {W(kUnknownGuid), W(kOlderGuid), W(kOwnGuid)}, *older_},
        {"list order decides", L"Drv", {W(kOwnGuid), W(kOlderGuid)}, *own_},
        {"nothing installed", L"Drv", {W(kUnknownGuid)}, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        session_->ClearMessages();
        DriverPackage package = Package(c.component);
        package.previousVersionGuids = c.previous;
        EXPECT_EQ(c.expected, setup::FindPreviousPackageLocation(setup::driver::PayloadSourceOf(package)));
        const auto lines = session_->InfoLines();
        EXPECT_EQ(!c.expected.empty(), HasLine(lines, L"Previous package 'drv' location is '" + c.expected + L"'."));
        // Candidates no product installed are not even located.
        for (const std::wstring& line : lines) {
            EXPECT_EQ(std::wstring::npos, line.find(W(kUnknownGuid)));
            EXPECT_EQ(std::wstring::npos, line.find(W(kSessionGuid)));
        }
        const size_t locates = std::count_if(lines.begin(), lines.end(), [](const std::wstring& l) {
            return StartsWith(ddtest::StripLogPrefix(l), L"Component '");
        });
        EXPECT_EQ(c.expected.empty() ? 0u : 1u, locates) << "the first location ends the search";
    }
}

// The per-user product's folder is the installing user's to write: a
// per-machine installation must not take it for an earlier version that
// SYSTEM installs from on rollback or removes on uninstall.
TEST_F(PreviousPackageTest, APerMachineInstallationCountsOnlyPerMachineRegistrations) {
    const struct {
        const char* name;
        const wchar_t* allUsers;
        std::wstring perUser;  // what the per-user product's GUID answers
    } cases[] = {
        {"per-user installation sees its own user's product", L"", *perUser_},
        {"per-machine installation does not", L"1", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(ERROR_SUCCESS, MsiSetPropertyW(session_->handle(), L"ALLUSERS", c.allUsers));
        DriverPackage package = Package(L"Drv");
        package.previousVersionGuids = {W(kPerUserGuid), W(kOlderGuid)};
        EXPECT_EQ(c.perUser.empty() ? *older_ : c.perUser, setup::FindPreviousPackageLocation(setup::driver::PayloadSourceOf(package)));
        EXPECT_EQ(!c.perUser.empty(), setup::IsInstalledByProduct(W(kPerUserGuid)));
        EXPECT_EQ(!c.perUser.empty(), setup::IsAnyComponentInstalled({W(kPerUserGuid)}));
        EXPECT_EQ(c.perUser.empty() ? L"" : c.perUser + L"\\drv.inf", setup::LocateComponent(W(kPerUserGuid)));
        // What a per-machine installation put down is found either way.
        EXPECT_TRUE(setup::IsInstalledByProduct(W(kOlderGuid)));
        EXPECT_EQ(*older_ + L"\\drv.inf", setup::LocateComponent(W(kOlderGuid)));
    }
}

TEST_F(PreviousPackageTest, UsePreviousPackageFilesMovesThePaths) {
    DriverPackage package = Package(L"Drv");
    package.previousVersionGuids = {W(kOlderGuid)};
    setup::driver::UsePreviousPackageFiles(package);
    EXPECT_EQ(*older_ + L"\\drv.inf", package.infPath);
    EXPECT_EQ(*older_ + L"\\driver catalog.cat", package.catPath);
    EXPECT_TRUE(HasLine(session_->InfoLines(), L"Found previous package '" + package.infPath + L"' '" + package.catPath + L"'."));

    DriverPackage unchanged = Package(L"Drv");
    unchanged.previousVersionGuids = {W(kUnknownGuid)};
    const DriverPackage before = unchanged;
    setup::driver::UsePreviousPackageFiles(unchanged);
    EXPECT_EQ(before, unchanged);
}

}  // namespace
