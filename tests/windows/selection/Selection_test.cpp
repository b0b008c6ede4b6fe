#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/DriverPackage.h"
#include "driver/Selection.h"
#include "frame/Session.h"
#include "msi/Components.h"
#include "windows/support/InstallerFixture.h"
#include "windows/support/ProductInstall.h"

namespace {

using setup::driver::DriverPackage;
namespace attribute = setup::driver::attribute;

constexpr char kCurrentGuid[] = "{A1B2C3D4-E5F6-4A0B-9C1D-2E3F4A5B6C7D}";
constexpr char kOlderGuid[] = "{B2C3D4E5-F6A7-4B1C-8D2E-3F4A5B6C7D8E}";
constexpr char kFreshGuid[] = "{C3D4E5F6-A7B8-4C2D-9E3F-4A5B6C7D8E9F}";
constexpr char kUnknownGuid[] = "{D4E5F6A7-B8C9-4D3E-8F4A-5B6C7D8E9FA0}";
constexpr char kCurrentProduct[] = "{E5F6A7B8-C9DA-4E4F-9A5B-6C7D8E9FA0B1}";
constexpr char kOlderProduct[] = "{F6A7B8C9-DAEB-4F5A-8B6C-7D8E9FA0B1C2}";
constexpr char kFreshProduct[] = "{0718293A-4B5C-4D6E-8F70-8192A3B4C5D6}";

constexpr wchar_t kService[] = L"ddselsvc";

std::wstring W(const char* text) { return ddtest::Widen(text); }

std::string Inf(const char* service) {
    return std::string("[Version]\nSignature=\"$Windows NT$\"\nClass=System\n"
                       "ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\nProvider=Test\n"
                       "[DefaultInstall]\n[DefaultInstall.Services]\nAddService=") +
           service + ",0x2,svc_inst\n[svc_inst]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\ddsel.sys\n";
}

DriverPackage Package(uint32_t attributes, std::vector<std::wstring> previous = {}) {
    DriverPackage package;
    package.id = L"drv";
    package.component = L"Driver";
    package.infPath = L"C:\\source\\drv.inf";
    package.attributes = attributes;
    package.previousVersionGuids = std::move(previous);
    return package;
}

// The rules run against a session of one of three packages: the current
// product (installed), an older one (installed, its GUID a previous version),
// and a fresh one never installed.
class SelectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        currentDir_ = new ddtest::TempDir();
        olderDir_ = new ddtest::TempDir();
        freshDir_ = new ddtest::TempDir();
        current_ = new std::wstring(ddtest::InstallDriverProduct(*currentDir_, kCurrentProduct, kCurrentGuid,
                                                                 {{"drv.inf", Inf("ddselsvc")}, {"drv.cat", "cat"}}));
        older_ = new std::wstring(ddtest::InstallDriverProduct(*olderDir_, kOlderProduct, kOlderGuid, {{"drv.inf", Inf("ddseloldsvc")}}));
        fresh_ = new std::wstring(ddtest::BuildDriverProduct(*freshDir_, kFreshProduct, kFreshGuid, {{"drv.inf", Inf("ddselsvc")}}));
    }
    static void TearDownTestSuite() {
        for (std::wstring* s : {current_, older_, fresh_}) {
            delete s;
        }
        for (ddtest::TempDir* d : {currentDir_, olderDir_, freshDir_}) {
            delete d;
        }
    }
    void SetUp() override {
        ASSERT_FALSE(current_->empty());
        ASSERT_FALSE(older_->empty());
    }
    void TearDown() override {
        if (session_) {
            setup::Finalize(0);
            session_.reset();
        }
    }

    // Opens a session of the package with the properties set and costing done.
    void Open(const std::wstring& package, const std::vector<std::pair<std::wstring, std::wstring>>& properties = {}) {
        session_ = std::make_unique<ddtest::InstallerSession>(package);
        for (const auto& [name, value] : properties) {
            session_->SetProperty(name, value);
        }
        session_->RunCosting();
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "SelectionTest"));
    }

    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> lines;
        for (const std::wstring& line : session_->InfoLines()) {
            const std::wstring stripped = ddtest::StripLogPrefix(line);
            if (stripped != line) {
                lines.push_back(stripped);
            }
        }
        return lines;
    }

    static std::wstring CurrentPackage() { return *currentDir_ / L"pkg.msi"; }
    static std::wstring OlderPackage() { return *olderDir_ / L"pkg.msi"; }

    static ddtest::TempDir* currentDir_;
    static ddtest::TempDir* olderDir_;
    static ddtest::TempDir* freshDir_;
    static std::wstring* current_;
    static std::wstring* older_;
    static std::wstring* fresh_;
    std::unique_ptr<ddtest::InstallerSession> session_;
};

ddtest::TempDir* SelectionTest::currentDir_ = nullptr;
ddtest::TempDir* SelectionTest::olderDir_ = nullptr;
ddtest::TempDir* SelectionTest::freshDir_ = nullptr;
std::wstring* SelectionTest::current_ = nullptr;
std::wstring* SelectionTest::older_ = nullptr;
std::wstring* SelectionTest::fresh_ = nullptr;

using Rule = bool (*)(const DriverPackage&);

struct Case {
    const char* name;
    Rule rule;
    DriverPackage package;
    bool expected;
    std::vector<std::wstring> lines;
};

void Check(const std::vector<Case>& cases, const std::function<std::vector<std::wstring>()>& lines,
           ddtest::InstallerSession& session) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        session.ClearMessages();
        EXPECT_EQ(c.expected, c.rule(c.package));
        // Exactly the rule's lines: nothing else was asked that logs.
        EXPECT_EQ(c.lines, lines());
    }
}

TEST_F(SelectionTest, FreshInstall) {
    Open(*fresh_);
    ASSERT_EQ(setup::ComponentToDo::Install, setup::GetComponentToDo(L"Driver"));
    const std::wstring older = W(kOlderGuid);
    DriverPackage conditioned = Package(0);
    conditioned.condition = L"1=2";
    DriverPackage broken = Package(0);
    broken.condition = L"((1=";
    Check(
          {
              {"install", setup::driver::ShouldInstall, Package(0), true,
               {L"The driver 'drv' is not marked to install early.", L"Need to install 'drv' driver. Component to do 1."}},
              {"early candidate", setup::driver::ShouldInstall, Package(attribute::InstallEarly), false,
               {L"Skip installation of 'drv' driver. Component is marked to install early and not installed."}},
              {"early", setup::driver::ShouldInstallEarly, Package(attribute::InstallEarly), true,
               {L"Need to early install 'drv' driver. Component to do 1."}},
              {"early, older version installed", setup::driver::ShouldInstallEarly, Package(attribute::InstallEarly, {older}), false,
               {L"The component of driver 'drv' is already installed.",
                L"Skip early installation of 'drv' driver. Component is not marked to install early or already installed."}},
              {"condition false", setup::driver::ShouldInstall, conditioned, false, {L"Skip installation of 'drv' driver. Condition is '0'."}},
              {"condition error", setup::driver::ShouldInstall, broken, false, {L"Skip installation of 'drv' driver. Condition is '3'."}},
              {"rollback install", setup::driver::ShouldRollbackInstall, Package(0, {W(kUnknownGuid)}), true,
               {L"The driver 'drv' is not marked to install early.", L"Need to rollback installation of 'drv' driver. Component to do 1."}},
              {"rollback install, older version kept", setup::driver::ShouldRollbackInstall, Package(0, {older}), false,
               {L"Skip rollback installation of 'drv' driver. Rollback must be processed in UninstallDriversRollback action."}},
              {"uninstall without attribute", setup::driver::ShouldUninstall, Package(0, {older}), false,
               {L"Skip uninstallation of 'drv' driver. Component is not marked to uninstall and has not uninstall previous version attribute."}},
              {"uninstall, nothing installed", setup::driver::ShouldUninstall, Package(attribute::UninstallPreviousVersion, {W(kUnknownGuid)}),
               false, {L"Skip uninstallation of 'drv' driver. Installed components not found."}},
              {"uninstall the older version", setup::driver::ShouldUninstall,
               Package(attribute::UninstallPreviousVersion, {W(kUnknownGuid), older}), true,
               {L"Need to uninstall 'drv' driver. Component to do 1."}},
              {"rollback uninstall of the older version", setup::driver::ShouldRollbackUninstall, Package(0, {older}), true,
               {L"Need to rollback uninstall 'drv' driver. Component to do 1."}},
          },
          [this] { return Lines(); }, *session_);
}

TEST_F(SelectionTest, Reinstall) {
    Open(CurrentPackage(), {{L"REINSTALL", L"ALL"}});
    ASSERT_EQ(setup::ComponentToDo::Reinstall, setup::GetComponentToDo(L"Driver"));
    Check(
          {
              {"install", setup::driver::ShouldInstall, Package(attribute::InstallEarly), true,
               {L"The component of driver 'drv' is already installed.", L"Need to install 'drv' driver. Component to do 3."}},
              {"uninstall, component installed", setup::driver::ShouldUninstall, Package(attribute::UninstallPreviousVersion), true,
               {L"Need to uninstall 'drv' driver. Component to do 3."}},
              {"rollback install of an installed component", setup::driver::ShouldRollbackInstall, Package(0), false,
               {L"Skip rollback installation of 'drv' driver. Rollback must be processed in UninstallDriversRollback action."}},
              {"remove on install", setup::driver::ShouldRollbackUninstall, Package(attribute::RemoveOnInstall), false,
               {L"Skip rollback uninstallation of 'drv' driver. The driver marked to remove on install (not reinstall)."}},
          },
          [this] { return Lines(); }, *session_);

    session_->SetProperty(L"RESUME", L"1");
    session_->ClearMessages();
    EXPECT_TRUE(setup::driver::ShouldInstallEarly(Package(attribute::InstallEarly)));
    EXPECT_EQ((std::vector<std::wstring>{L"Force install driver 'drv' early. The suspended installation is resuming.",
                                         L"Need to early install 'drv' driver. Component to do 3."}),
              Lines());
}

TEST_F(SelectionTest, Uninstall) {
    Open(CurrentPackage(), {{L"REMOVE", L"ALL"}});
    ASSERT_EQ(setup::ComponentToDo::Uninstall, setup::GetComponentToDo(L"Driver"));
    Check(
          {
              {"uninstall", setup::driver::ShouldUninstall, Package(0), true, {L"Need to uninstall 'drv' driver. Component to do 2."}},
              {"rollback uninstall", setup::driver::ShouldRollbackUninstall, Package(0), true,
               {L"Need to rollback uninstall 'drv' driver. Component to do 2."}},
              {"install", setup::driver::ShouldInstall, Package(0), false,
               {L"Skip installation of 'drv' driver. Component is not marked to install."}},
          },
          [this] { return Lines(); }, *session_);
}

TEST_F(SelectionTest, UninstallOfAComponentWhoseFilesAreGone) {
    Open(CurrentPackage(), {{L"REMOVE", L"ALL"}});
    // Wine's engine gives the "removed" action (1) when asked for it.
    ASSERT_EQ(0u, MsiSetComponentStateW(session_->handle(), L"Driver", INSTALLSTATE_REMOVED));
    const setup::ComponentState state = setup::GetComponentState(L"Driver");
    ASSERT_EQ(3, state.installed);
    ASSERT_EQ(1, state.action);
    Check(
          {
              {"uninstall", setup::driver::ShouldUninstall, Package(0), false,
               {L"Skip uninstallation of 'drv' driver. Component action is FileAbsent."}},
              {"rollback uninstall", setup::driver::ShouldRollbackUninstall, Package(0), false,
               {L"Skip rollback uninstallation of 'drv' driver. Component action is FileAbsent."}},
          },
          [this] { return Lines(); }, *session_);
}

TEST_F(SelectionTest, DriverPresence) {
    Open(*fresh_);
    const std::wstring fresh = W(kFreshGuid), older = W(kOlderGuid), current = W(kCurrentGuid), unknown = W(kUnknownGuid);
    const std::wstring oldInf = *older_ + L"\\drv.inf";
    const std::wstring currentInf = *current_ + L"\\drv.inf";
    {
        SCOPED_TRACE("nothing installed");
        session_->ClearMessages();
        EXPECT_FALSE(setup::driver::IsDriverPresent(Package(0, {unknown})));
        EXPECT_EQ((std::vector<std::wstring>{L"The component '" + fresh + L"' is not installed for driver package 'drv'.",
                                             L"The component '" + unknown + L"' is not installed for driver package 'drv'."}),
                  Lines());
    }
    {
        SCOPED_TRACE("installed, service missing");
        session_->ClearMessages();
        EXPECT_FALSE(setup::driver::IsDriverPresent(Package(0, {older})));
        const std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(3u, lines.size());
        EXPECT_EQ(L"Component '" + older + L"', state '3', location '" + oldInf + L"'.", lines[1]);
        EXPECT_EQ(L"Driver package 'drv' component '" + older +
                      L"' is installed but service is not exists. Failed to open service: ddseloldsvc Error 0x80070424.",
                  lines[2]);
    }
    {
        SCOPED_TRACE("installed, INF missing");
        session_->ClearMessages();
        DriverPackage package = Package(0, {older});
        package.infPath = L"C:\\elsewhere\\other.inf";
        EXPECT_FALSE(setup::driver::IsDriverPresent(package));
        const std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(3u, lines.size());
        EXPECT_EQ(L"Driver package 'drv' component '" + older +
                      L"' is installed but service is not exists. The system cannot find file '%s'. Error 0x80070002.",
                  lines[2]);
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = CreateServiceW(manager, kService, kService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, L"C:\\windows\\system32\\drivers\\ddsel.sys", nullptr, nullptr, nullptr,
                                       nullptr, nullptr);
    ASSERT_NE(nullptr, service) << GetLastError();
    {
        SCOPED_TRACE("a later candidate with its service");
        session_->ClearMessages();
        EXPECT_TRUE(setup::driver::IsDriverPresent(Package(0, {older, current, unknown})));
        const std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(5u, lines.size());
        EXPECT_EQ(L"The component '" + fresh + L"' is not installed for driver package 'drv'.", lines[0]);
        EXPECT_EQ(L"Component '" + current + L"', state '3', location '" + currentInf + L"'.", lines[3]);
        EXPECT_EQ(L"Driver package 'drv' component '" + current + L"' is installed and the service 'ddselsvc' exists.", lines[4]);
    }
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

}  // namespace
