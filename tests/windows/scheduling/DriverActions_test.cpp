// The immediate driver actions and the rollback switches inside a real
// in-process installer session. The scheduled actions are only queued here
// (their Binary row does not exist); their data is the property of their name.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "driver/Configuration.h"
#include "driver/CustomActionData.h"
#include "frame/ActionBodies.h"
#include "frame/EntryPoint.h"
#include "frame/Session.h"
#include "windows/support/InstallerFixture.h"

namespace {

using setup::driver::DecodeDriverPackages;
using setup::driver::DriverPackageList;

std::vector<ddtest::TableText> PackageTables() {
    using ddtest::MakeTable;
    std::vector<ddtest::TableText> tables = ddtest::BaseTables();
    auto replace = [&tables](ddtest::TableText table) {
        for (auto& t : tables) {
            if (t.name == table.name) {
                t = table;
                return;
            }
        }
        tables.push_back(table);
    };
    replace(MakeTable("Directory", {"Directory", "Directory_Parent", "DefaultDir"}, {"s72", "S72", "l255"}, {"Directory"},
                      {{"TARGETDIR", "", "SourceDir"}, {"INSTALLDIR", "TARGETDIR", "drv"}}));
    replace(MakeTable("Component", {"Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"},
                      {"s72", "S38", "s72", "i2", "S255", "S72"}, {"Component"},
                      {{"Alpha", "{6B0E4C1A-2D3F-4A5B-9C8D-7E6F5A4B3C2D}", "INSTALLDIR", "0", "", ""},
                       {"Beta", "{7C1F5D2B-3E4A-4B6C-8D9E-8F7A6B5C4D3E}", "INSTALLDIR", "0", "", ""}}));
    replace(MakeTable("Feature",
                      {"Feature", "Feature_Parent", "Title", "Description", "Display", "Level", "Directory_", "Attributes"},
                      {"s38", "S38", "L64", "L255", "I2", "i2", "S72", "i2"}, {"Feature"},
                      {{"Main", "", "Main", "", "1", "1", "INSTALLDIR", "0"}}));
    replace(MakeTable("FeatureComponents", {"Feature_", "Component_"}, {"s38", "s72"}, {"Feature_", "Component_"},
                      {{"Main", "Alpha"}, {"Main", "Beta"}}));
    // beta's condition is false, so only alpha is chosen, for install and rollback alike.
    replace(MakeTable("DriverPackage",
                      {"DriverPackage", "Component_", "InfPath", "CatPath", "Dependencies", "HardwareId", "Attributes",
                       "Type", "Condition", "Sequence", "GuidsOfPreviousVersions"},
                      {"s72", "s72", "S255", "S255", "S255", "S255", "I4", "I2", "S255", "I4", "S255"}, {"DriverPackage"},
                      {{"alpha", "Alpha", "[INSTALLDIR]alpha.inf", "[INSTALLDIR]alpha.cat", "", "", "32", "1", "", "10", ""},
                       {"beta", "Beta", "[INSTALLDIR]beta.inf", "", "", "", "0", "1", "WANTBETA", "", ""}}));
    replace(MakeTable("CustomAction", {"Action", "Type", "Source", "Target"}, {"s72", "i2", "S72", "S255"}, {"Action"},
                      {{"InstallDriversRollback", "1281", "NoSuchBinary", "InstallDriversRollback"},
                       {"InstallDriversDeferred", "3073", "NoSuchBinary", "InstallDriversDeferred"},
                       {"InstallDriversRollback_x64", "1281", "NoSuchBinary", "InstallDriversRollback"},
                       {"InstallDriversDeferred_x64", "3073", "NoSuchBinary", "InstallDriversDeferred"}}));
    return tables;
}

class DriverActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring path = ddtest::BuildDatabase(dir_ / L"drivers.msi", PackageTables());
        session_ = std::make_unique<ddtest::InstallerSession>(path);
    }

    UINT Run(const char* action, setup::ActionBody body) {
        return setup::RunEntryPoint(session_->handle(), *setup::FindEntryPoint(action), body);
    }

    std::vector<int> ScheduledTicks() const {
        std::vector<int> ticks;
        for (const ddtest::Message& m : session_->MessagesOfKind(INSTALLMESSAGE_PROGRESS)) {
            if (m.integers[1] == 3) {  // added to the expected total
                ticks.push_back(m.integers[2]);
            }
        }
        return ticks;
    }

    ddtest::TempDir dir_;
    std::unique_ptr<ddtest::InstallerSession> session_;
};

TEST_F(DriverActionsTest, PlainNamesWithoutVersionNT64AndTheCostAsTicks) {
    session_->RunCosting();
    session_->SetProperty(L"VersionNT64", L"");
    ASSERT_EQ(0u, Run("InstallDrivers", setup::bodies::InstallDrivers));

    const DriverPackageList rollback = DecodeDriverPackages(session_->Property(L"InstallDriversRollback"));
    const DriverPackageList deferred = DecodeDriverPackages(session_->Property(L"InstallDriversDeferred"));
    ASSERT_EQ(1u, rollback.size());
    ASSERT_EQ(1u, deferred.size());
    EXPECT_EQ(L"alpha", deferred[0].id);
    EXPECT_EQ(1u, deferred[0].operation);
    EXPECT_EQ(0x20u, deferred[0].attributes);
    EXPECT_EQ(2u, rollback[0].operation);
    EXPECT_EQ(0u, rollback[0].attributes);
    EXPECT_EQ(L"", session_->Property(L"InstallDriversDeferred_x64"));
    EXPECT_EQ((std::vector<int>{10000000, 10000000}), ScheduledTicks());
    EXPECT_EQ(L"alpha;", session_->Property(L"DriversToInstall"));
    EXPECT_EQ(L"", session_->Property(L"DriversToReinstall"));

    // A second run adds alpha to the finalize list again: one entry, the later one.
    session_->SetProperty(L"VersionNT64", L"603");
    ASSERT_EQ(0u, Run("InstallDrivers", setup::bodies::InstallDrivers));
    EXPECT_EQ(1u, DecodeDriverPackages(session_->Property(L"InstallDriversDeferred_x64")).size());
    const DriverPackageList finalize = DecodeDriverPackages(session_->Property(L"InstallDriversFinalize"));
    ASSERT_EQ(1u, finalize.size());
    EXPECT_EQ(L"alpha", finalize[0].id);
}

TEST_F(DriverActionsTest, NothingChosenSchedulesNothingAndLeavesTheListsAlone) {
    // Without costing every component is a null action.
    session_->SetProperty(L"DriversToInstall", L"earlier;");
    session_->SetProperty(L"InstallDriversFinalize", L"kept");
    ASSERT_EQ(0u, Run("InstallDrivers", setup::bodies::InstallDrivers));
    EXPECT_EQ(L"", session_->Property(L"InstallDriversRollback_x64"));
    EXPECT_EQ(L"", session_->Property(L"InstallDriversDeferred_x64"));
    EXPECT_EQ(L"earlier;", session_->Property(L"DriversToInstall"));
    EXPECT_EQ(L"kept", session_->Property(L"InstallDriversFinalize"));
    EXPECT_TRUE(ScheduledTicks().empty());
}

TEST_F(DriverActionsTest, RollbackSwitchesFirstMatchWins) {
    const struct {
        std::map<std::wstring, std::wstring> properties;
        bool disabled;
        const wchar_t* line;
    } cases[] = {
        {{{L"RollbackDisabled", L"1"}, {L"DISABLEROLLBACK", L"1"}}, true, L"RollbackDisabled specified."},
        {{{L"DISABLEROLLBACK", L"1"}, {L"DISABLEDRIVERSROLLBACK", L"1"}}, true, L"DISABLEROLLBACK specified."},
        {{{L"DISABLEDRIVERSROLLBACK", L"1"}}, true, L"DISABLEDRIVERSROLLBACK specified."},
        // Exactly "1" counts; the installer itself has rollback on.
        {{{L"RollbackDisabled", L"yes"}, {L"DISABLEROLLBACK", L" 1"}, {L"DISABLEDRIVERSROLLBACK", L"0"}}, false, nullptr},
    };
    for (const auto& c : cases) {
        for (const auto& [name, value] : c.properties) {
            session_->SetProperty(name, value);
        }
        session_->ClearMessages();
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "RollbackSwitches"));
        EXPECT_EQ(c.disabled, setup::driver::IsRollbackDisabled());
        setup::Finalize(0);
        std::vector<std::wstring> lines;
        for (const std::wstring& line : session_->InfoLines()) {
            const std::wstring text = ddtest::StripLogPrefix(line);
            if (text.find(L"specified.") != std::wstring::npos || text.find(L"MSIRUNMODE") != std::wstring::npos) {
                lines.push_back(text);
            }
        }
        EXPECT_EQ(c.line ? std::vector<std::wstring>{c.line} : std::vector<std::wstring>{}, lines);
        for (const auto& [name, value] : c.properties) {
            session_->SetProperty(name, L"");
        }
    }
}

}  // namespace
