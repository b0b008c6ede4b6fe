#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/InstallerCalls.h"
#include "frame/KeptAnswers.h"
#include "frame/Session.h"
#include "msi/Database.h"
#include "msi/ComponentTerms.h"
#include "msi/Components.h"
#include "windows/support/InstallerFixture.h"
#include "windows/support/CatchException.h"
#include "windows/support/ProductInstall.h"

namespace {

constexpr char kPayloadGuid[] = "{3C1B6E2A-8D4F-4E9B-A7C5-2F6D8E0A1B3C}";
constexpr char kOtherGuid[] = "{5E2D7F3B-9A6C-4B1D-8E0F-4A7B9C1D2E3F}";
constexpr char kUnknownGuid[] = "{0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0}";
constexpr char kInstalledProduct[] = "{A4B3C2D1-E5F6-4A7B-8C9D-0E1F2A3B4C5D}";

std::wstring W(const char* text) { return ddtest::Widen(text); }

// A package with one file in "Driver Files" (short name "drvfiles") and a
// deeper folder, installable by msiexec from uncompressed source files.
std::vector<ddtest::TableText> PackageTables() {
    using ddtest::MakeTable;
    return {
        MakeTable("Directory", {"Directory", "Directory_Parent", "DefaultDir"}, {"s72", "S72", "l255"}, {"Directory"},
                  {{"TARGETDIR", "", "SourceDir"},
                   {"INSTALLDIR", "TARGETDIR", "drvfiles|Driver Files"},
                   {"SUBDIR", "INSTALLDIR", "sub"},
                   {"COLONDIR", "TARGETDIR", "a:b"},
                   {"SELFROOT", "SELFROOT", "Root"},
                   {"UNDERSELF", "SELFROOT", "below"},
                   {"CYCLEA", "CYCLEB", "a"},
                   {"CYCLEB", "CYCLEA", "b"}}),
        MakeTable("Component", {"Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"},
                  {"s72", "S38", "s72", "i2", "S255", "S72"}, {"Component"},
                  {{"Payload", kPayloadGuid, "INSTALLDIR", "0", "", "payload.txt"},
                   {"Other", kOtherGuid, "SUBDIR", "0", "", ""}}),
        MakeTable("Feature",
                  {"Feature", "Feature_Parent", "Title", "Description", "Display", "Level", "Directory_", "Attributes"},
                  {"s38", "S38", "L64", "L255", "I2", "i2", "S72", "i2"}, {"Feature"},
                  {{"Main", "", "Main", "", "1", "1", "INSTALLDIR", "0"}}),
        MakeTable("FeatureComponents", {"Feature_", "Component_"}, {"s38", "s72"}, {"Feature_", "Component_"},
                  {{"Main", "Payload"}, {"Main", "Other"}}),
        // 8192: not compressed, read from the source folders next to the package.
        MakeTable("File", {"File", "Component_", "FileName", "FileSize", "Version", "Language", "Attributes", "Sequence"},
                  {"s72", "s72", "l255", "i4", "S72", "S20", "I2", "i4"}, {"File"},
                  {{"payload.txt", "Payload", "payload.txt", "7", "", "", "8192", "1"}}),
        MakeTable("Media", {"DiskId", "LastSequence", "DiskPrompt", "Cabinet", "VolumeLabel", "Source"},
                  {"i2", "i4", "L64", "S255", "S32", "S72"}, {"DiskId"}, {{"1", "1", "", "", "", ""}}),
        MakeTable("InstallExecuteSequence", {"Action", "Condition", "Sequence"}, {"s72", "S255", "I2"}, {"Action"},
                  {{"CostInitialize", "", "800"},
                   {"FileCost", "", "900"},
                   {"CostFinalize", "", "1000"},
                   {"InstallValidate", "", "1400"},
                   {"InstallInitialize", "", "1500"},
                   {"ProcessComponents", "", "1600"},
                   {"RemoveFiles", "", "3500"},
                   {"InstallFiles", "", "4000"},
                   {"RegisterProduct", "", "6100"},
                   {"PublishFeatures", "", "6300"},
                   {"PublishProduct", "", "6400"},
                   {"InstallFinalize", "", "6600"}}),
    };
}

std::wstring BuildPackage(const ddtest::TempDir& dir, const char* productCode) {
    CreateDirectoryW((dir / L"Driver Files").c_str(), nullptr);
    ddtest::WriteTextFile(dir / L"Driver Files\\payload.txt", "payload");
    // Wine reads uncompressed files of a package marked compressed (as the
    // fixture's are) from the source root; Windows from their own folder.
    ddtest::WriteTextFile(dir / L"payload.txt", "payload");
    return ddtest::BuildDatabase(dir / L"pkg.msi", PackageTables(), {{"ProductCode", productCode}, {"ALLUSERS", "1"}});
}

// The installer services started for one session, as an entry point does.
class Services {
public:
    explicit Services(ddtest::InstallerSession& session) { EXPECT_EQ(0, setup::Initialize(session.handle(), "ComponentTest")); }
    ~Services() { setup::Finalize(0); }
};

bool HasLogLine(const ddtest::InstallerSession& session, const std::wstring& expected) {
    const auto lines = session.InfoLines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::wstring& line) { return ddtest::StripLogPrefix(line) == expected; });
}

// A package that was never installed, in a session of its own.
class FreshPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = BuildPackage(dir_, "{8D5A2C4E-1F3B-4A6C-9E7D-0B1C2D3E4F50}");
        session_ = std::make_unique<ddtest::InstallerSession>(path_);
        services_ = std::make_unique<Services>(*session_);
    }
    void TearDown() override {
        services_.reset();
        session_.reset();
    }

    ddtest::TempDir dir_;
    std::wstring path_;
    std::unique_ptr<ddtest::InstallerSession> session_;
    std::unique_ptr<Services> services_;
};

TEST_F(FreshPackageTest, ComponentBeingInstalled) {
    session_->RunCosting();
    const setup::ComponentState state = setup::GetComponentState(L"Payload");
    EXPECT_EQ(0u, state.result);
    EXPECT_EQ(2, state.installed);  // absent
    EXPECT_EQ(3, state.action);     // local
    EXPECT_EQ(setup::ComponentToDo::Install, setup::GetComponentToDo(L"Payload"));

    const setup::ComponentState unknown = setup::GetComponentState(L"NoSuchComponent");
    EXPECT_EQ(1607u, unknown.result);  // ERROR_UNKNOWN_COMPONENT
    EXPECT_EQ(setup::ComponentToDo::None, setup::GetComponentToDo(L"NoSuchComponent"));
}

TEST_F(FreshPackageTest, ComponentGuidOfARow) {
    EXPECT_EQ(W(kPayloadGuid), setup::GetComponentGuid(L"Payload"));
    const unsigned leaked = ddtest::RunCountingLeakedHandles([] {
        const setup::Exception e = ddtest::CatchSetupException([] { setup::GetComponentGuid(L"NoSuchComponent"); });
        EXPECT_EQ(static_cast<int32_t>(0x80070006), e.Code());
        EXPECT_EQ(L"Failed to read component GUID.", e.Message());
    });
    EXPECT_EQ(0u, leaked);
}

TEST_F(FreshPackageTest, SourceDirectories) {
    const struct {
        const wchar_t* directory;
        const wchar_t* expected;
    } cases[] = {
        {L"INSTALLDIR", L"Driver Files"},        // short|long: the long name, TARGETDIR not part of it
        {L"SUBDIR", L"Driver Files\\sub"},       // one more level: joined with "\"
        {L"COLONDIR", L"a:b"},                   // no other DefaultDir syntax is read
        {L"NOSUCHDIR", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.directory));
        EXPECT_EQ(c.expected, setup::ResolveSourceDirectory(c.directory));
    }
    EXPECT_EQ(0u, ddtest::RunCountingLeakedHandles([] { EXPECT_EQ(L"", setup::ResolveSourceDirectory(L"NOSUCHDIR")); }));
}

TEST_F(FreshPackageTest, SourceDirectoryWalkEndsAtASelfParentedRootAndRefusesCycles) {
    // A root row may name itself as parent; following it would never end.
    EXPECT_EQ(L"Root", setup::ResolveSourceDirectory(L"SELFROOT"));
    EXPECT_EQ(L"Root\\below", setup::ResolveSourceDirectory(L"UNDERSELF"));
    const unsigned leaked = ddtest::RunCountingLeakedHandles([] {
        const setup::Exception e = ddtest::CatchSetupException([] { setup::ResolveSourceDirectory(L"CYCLEA"); });
        EXPECT_EQ(static_cast<int32_t>(0x8007000D), e.Code());
        EXPECT_EQ(L"The Directory table has a cycle of parents at: CYCLEA", e.Message());
    });
    EXPECT_EQ(0u, leaked);
}

TEST_F(FreshPackageTest, ComponentSourceDirectoryIsBesideThePackage) {
    ASSERT_EQ(path_, session_->Property(L"OriginalDatabase"));
    EXPECT_EQ(dir_.path() + L"\\Driver Files", setup::GetComponentSourceDirectory(L"Payload"));
    EXPECT_EQ(dir_.path() + L"\\Driver Files\\sub", setup::GetComponentSourceDirectory(L"Other"));

    const unsigned leaked = ddtest::RunCountingLeakedHandles([] {
        const setup::Exception e = ddtest::CatchSetupException([] { setup::GetComponentSourceDirectory(L"NoSuchComponent"); });
        EXPECT_EQ(static_cast<int32_t>(0x80070006), e.Code());
        EXPECT_EQ(L"Failed to read component directory.", e.Message());
    });
    EXPECT_EQ(0u, leaked);
}

TEST_F(FreshPackageTest, Conditions) {
    const struct {
        const wchar_t* condition;
        int32_t result;
        bool passes;
    } cases[] = {
        {L"", 2, true},
        {L"1=1", 1, true},
        {L"ProductCode", 1, true},
        {L"1=2", 0, false},
        {L"NOSUCHPROPERTY", 0, false},
        {L"((1=", 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.condition));
        const int32_t result = setup::EvaluateCondition(c.condition);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.passes, setup::ConditionPasses(result));
    }
}

TEST_F(FreshPackageTest, KeptAnswersStandUntilTheLibraryWritesAProperty) {
    session_->RunCosting();
    {
        const setup::KeptAnswers scope;
        EXPECT_EQ(0, setup::EvaluateCondition(L"KEPT=1"));
        EXPECT_EQ(L"", setup::GetProperty(L"KEPT"));
        EXPECT_EQ(setup::ComponentToDo::Install, setup::GetComponentToDo(L"Payload"));
        EXPECT_EQ(W(kPayloadGuid), setup::GetComponentGuid(L"Payload"));
        EXPECT_EQ(W(kOtherGuid), setup::GetComponentGuid(L"Other"));
        const setup::Exception e = ddtest::CatchSetupException([] { setup::GetComponentGuid(L"NoSuchComponent"); });
        EXPECT_EQ(static_cast<int32_t>(0x80070006), e.Code());
        EXPECT_EQ(L"Failed to read component GUID.", e.Message());
        // Behind the library's back the kept answers stand...
        ASSERT_EQ(0u, MsiSetPropertyW(session_->handle(), L"KEPT", L"1"));
        ASSERT_EQ(0u, MsiSetComponentStateW(session_->handle(), L"Payload", INSTALLSTATE_ABSENT));
        EXPECT_EQ(0, setup::EvaluateCondition(L"KEPT=1"));
        EXPECT_EQ(L"", setup::GetProperty(L"KEPT"));
        EXPECT_EQ(setup::ComponentToDo::Install, setup::GetComponentToDo(L"Payload"));
        // ...and its own property write asks again.
        setup::SetProperty(L"KEPT", L"2");
        EXPECT_EQ(1, setup::EvaluateCondition(L"KEPT=2"));
        EXPECT_EQ(L"2", setup::GetProperty(L"KEPT"));
        EXPECT_EQ(setup::ComponentToDo::Install, setup::GetComponentToDo(L"Payload"));
    }
    // Outside the scope every question reaches the installer.
    EXPECT_EQ(setup::ComponentToDo::None, setup::GetComponentToDo(L"Payload"));
    ASSERT_EQ(0u, MsiSetPropertyW(session_->handle(), L"KEPT", L"3"));
    EXPECT_EQ(L"3", setup::GetProperty(L"KEPT"));
}

TEST_F(FreshPackageTest, LongPropertiesAndFormattedTextsComeBackWhole) {
    // Longer than the first buffer of either read.
    const std::wstring value(3000, L'v');
    ASSERT_EQ(0u, MsiSetPropertyW(session_->handle(), L"LONGVALUE", value.c_str()));
    EXPECT_EQ(value, setup::GetProperty(L"LONGVALUE"));
    EXPECT_EQ(L"<" + value + L">[~]" + value, setup::FormatText(setup::GetHandle(), L"<[LONGVALUE]>[~][LONGVALUE]"));
}

TEST_F(FreshPackageTest, LocatingAComponentNotInstalled) {
    EXPECT_EQ(L"", setup::LocateComponent(W(kUnknownGuid)));
    EXPECT_TRUE(HasLogLine(*session_, L"Component '" + W(kUnknownGuid) + L"', state '-1', location ''."));

    // Wine answers "unknown" (-1) for a malformed GUID too; its only
    // invalid-argument answer is for a missing size pointer, which is never
    // passed, so the -2 branch cannot be reached here.
    EXPECT_EQ(L"", setup::LocateComponent(L"not a guid"));
    EXPECT_TRUE(HasLogLine(*session_, L"Component 'not a guid', state '-1', location ''."));
}

// The same package, really installed in this prefix by msiexec.
class InstalledProductTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ddtest::TempDir();
        path_ = new std::wstring(BuildPackage(*dir_, kInstalledProduct));
        target_ = new std::wstring(*dir_ / L"target");
        const DWORD code = ddtest::RunMsiexec(L"/i \"" + *path_ + L"\" /qn TARGETDIR=\"" + *target_ + L"\\\" /l*v \"" +
                                      (*dir_ / L"install.log") + L"\"");
        if (code != 0) {
            const auto log = ddtest::ReadBinaryFile(*dir_ / L"install.log");
            std::cout << std::string(log.begin(), log.end()) << std::endl;
        }
        ASSERT_EQ(0u, code) << "msiexec /i failed";
    }
    static void TearDownTestSuite() {
        delete target_;
        delete path_;
        delete dir_;
    }

    static ddtest::TempDir* dir_;
    static std::wstring* path_;
    static std::wstring* target_;
};

ddtest::TempDir* InstalledProductTest::dir_ = nullptr;
std::wstring* InstalledProductTest::path_ = nullptr;
std::wstring* InstalledProductTest::target_ = nullptr;

TEST_F(InstalledProductTest, ProductsOfComponentGuids) {
    EXPECT_TRUE(setup::IsInstalledByProduct(W(kPayloadGuid)));
    EXPECT_FALSE(setup::IsInstalledByProduct(W(kUnknownGuid)));
    EXPECT_TRUE(setup::IsAnyComponentInstalled({W(kUnknownGuid), W(kPayloadGuid)}));
    EXPECT_FALSE(setup::IsAnyComponentInstalled({W(kUnknownGuid), L"not a guid"}));
    EXPECT_FALSE(setup::IsAnyComponentInstalled({}));
}

TEST_F(InstalledProductTest, LocatesTheKeyPath) {
    ddtest::InstallerSession session(*path_);
    Services services(session);
    const std::wstring expected = *target_ + L"\\Driver Files\\payload.txt";
    EXPECT_EQ(expected, setup::LocateComponent(W(kPayloadGuid)));
    EXPECT_TRUE(HasLogLine(session, L"Component '" + W(kPayloadGuid) + L"', state '3', location '" + expected + L"'."));
    EXPECT_TRUE(ddtest::FileExists(expected));
}

TEST_F(InstalledProductTest, ReinstallAndUninstallStates) {
    const struct {
        const wchar_t* property;
        const wchar_t* value;
        int32_t action;
        setup::ComponentToDo toDo;
    } cases[] = {
        {L"REINSTALL", L"ALL", 3, setup::ComponentToDo::Reinstall},
        {L"REMOVE", L"ALL", 2, setup::ComponentToDo::Uninstall},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.property));
        ddtest::InstallerSession session(*path_);
        Services services(session);
        session.SetProperty(c.property, c.value);
        session.RunCosting();
        const setup::ComponentState state = setup::GetComponentState(L"Payload");
        EXPECT_EQ(0u, state.result);
        EXPECT_EQ(3, state.installed);  // local
        EXPECT_EQ(c.action, state.action);
        EXPECT_EQ(c.toDo, setup::GetComponentToDo(L"Payload"));
        EXPECT_FALSE(setup::IsFileAbsent(state.installed, state.action));
    }
}

}  // namespace
