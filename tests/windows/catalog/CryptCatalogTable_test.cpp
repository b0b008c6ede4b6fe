// The CryptCatalog table reader and the install rule inside a real installer
// session (the uninstall and reinstall cases need an installed product and
// run end to end).

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/Session.h"
#include "tables/CryptCatalogTable.h"
#include "windows/support/InstallerFixture.h"

namespace {

using ddtest::MakeTable;
using setup::CryptCatalogRecord;

class CatalogSession {
public:
    CatalogSession(const std::vector<std::vector<std::string>>& rows, bool withTable) {
        std::vector<ddtest::TableText> tables = {
            MakeTable("Component", {"Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"},
                      {"s72", "S38", "s72", "i2", "S255", "S72"}, {"Component"},
                      {{"Installed", "{4D8EBF3A-5B6C-4D7E-8F90-A1B2C3D4E5F6}", "TARGETDIR", "0", "", ""},
                       {"Orphan", "{5E9FC04B-6C7D-4E8F-90A1-B2C3D4E5F607}", "TARGETDIR", "0", "", ""}}),
            MakeTable("Feature",
                      {"Feature", "Feature_Parent", "Title", "Description", "Display", "Level", "Directory_", "Attributes"},
                      {"s38", "S38", "L64", "L255", "I2", "i2", "S72", "i2"}, {"Feature"},
                      {{"Main", "", "Main", "", "1", "1", "TARGETDIR", "0"}}),
            MakeTable("FeatureComponents", {"Feature_", "Component_"}, {"s38", "s72"}, {"Feature_", "Component_"},
                      {{"Main", "Installed"}}),
        };
        if (withTable) {
            tables.push_back(MakeTable("CryptCatalog", {"CryptCatalog", "Name", "Path", "Component_", "Condition"},
                                       {"s72", "s255", "S255", "s72", "S255"}, {"CryptCatalog"}, rows));
        }
        path_ = ddtest::BuildDatabase(dir_ / L"catalogs.msi", tables, {{"CATNAME", "drv"}, {"CATDIR", "C:\\cats"}});
        session_ = std::make_unique<ddtest::InstallerSession>(path_);
        session_->RunCosting();
        EXPECT_EQ(0, setup::Initialize(session_->handle(), "CatalogTableTest"));
        session_->ClearMessages();
    }
    ~CatalogSession() { setup::Finalize(0); }

    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> out;
        for (const std::wstring& line : session_->InfoLines()) {
            out.push_back(ddtest::StripLogPrefix(line));
        }
        return out;
    }
    void Clear() { session_->ClearMessages(); }

private:
    ddtest::TempDir dir_;
    std::wstring path_;
    std::unique_ptr<ddtest::InstallerSession> session_;
};

TEST(CryptCatalogTable, ReaderFormatsNamePathAndComponentButNotTheCondition) {
    CatalogSession s({{"C2", "[CATNAME].cat", "[CATDIR]\\[CATNAME].cat", "Install[CATNAME]", "CATNAME=\"drv\""},
                      {"C1", "plain.cat", "", "Orphan", ""}},
                     true);
    const std::vector<CryptCatalogRecord> records = setup::ReadCryptCatalogTable();
    ASSERT_EQ(2u, records.size());
    // Fetch order is the table's; both rows are there whatever it is.
    const CryptCatalogRecord& c2 = records[0].id == L"C2" ? records[0] : records[1];
    const CryptCatalogRecord& c1 = records[0].id == L"C2" ? records[1] : records[0];
    EXPECT_EQ((CryptCatalogRecord{L"C2", L"drv.cat", L"C:\\cats\\drv.cat", L"Installdrv", L"CATNAME=\"drv\""}), c2);
    EXPECT_EQ((CryptCatalogRecord{L"C1", L"plain.cat", L"", L"Orphan", L""}), c1);
    EXPECT_EQ((std::vector<std::wstring>{L"The catalog row '" + records[0].id + L"' was successfully read.",
                                         L"The catalog row '" + records[1].id + L"' was successfully read."}),
              s.Lines());
}

TEST(CryptCatalogTable, MissingTableAndRejectedIds) {
    {
        CatalogSession s({}, false);
        EXPECT_TRUE(setup::ReadCryptCatalogTable().empty());
        EXPECT_EQ(std::vector<std::wstring>{L"There is no 'CryptCatalog' table."}, s.Lines());
    }
    for (const char* id : {"C;1", "C*1"}) {
        SCOPED_TRACE(id);
        CatalogSession s({{id, "a.cat", "a.cat", "Installed", ""}}, true);
        try {
            setup::ReadCryptCatalogTable();
            ADD_FAILURE() << "no exception";
        } catch (const setup::Exception& e) {
            EXPECT_EQ(static_cast<int32_t>(0x8007000D), e.Code());
            EXPECT_EQ(0u, e.Message().find(L"Failed to validate the CryptCatalog row '" + ddtest::Widen(id) + L"'."));
        }
    }
}

TEST(CryptCatalogTable, SelectionOnAFreshInstall) {
    // After costing "Installed" is to be installed (to-do 1); "Orphan", in
    // no feature, has nothing to do (to-do 0).
    CatalogSession s({}, false);
    const struct {
        CryptCatalogRecord record;
        bool install;
        std::wstring installLine;
        std::wstring uninstallLine;
    } cases[] = {
        {{L"a", L"a.cat", L"a.cat", L"Installed", L""}, true, L"Need to install 'a' crypt catalog. Component to do 1.",
         L"Skip uninstallation of 'a' crypt catalog. Component is not marked to uninstall."},
        {{L"b", L"b.cat", L"b.cat", L"Installed", L"1=0"}, false, L"Skip installation of 'b' crypt catalog. Condition is '0'.",
         L"Skip uninstallation of 'b' crypt catalog. Component is not marked to uninstall."},
        {{L"c", L"c.cat", L"c.cat", L"Installed", L"((("}, false, L"Skip installation of 'c' crypt catalog. Condition is '3'.",
         L"Skip uninstallation of 'c' crypt catalog. Component is not marked to uninstall."},
        {{L"d", L"d.cat", L"d.cat", L"Orphan", L""}, false, L"Skip installation of crypt catalog 'd' for null-action component.",
         L"Skip uninstallation of crypt catalog 'd' for null-action component."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.record.id));
        s.Clear();
        EXPECT_EQ(c.install, setup::ShouldInstallCryptCatalog(c.record));
        EXPECT_EQ(std::vector<std::wstring>{c.installLine}, s.Lines());
        s.Clear();
        EXPECT_FALSE(setup::ShouldUninstallCryptCatalog(c.record));
        EXPECT_EQ(std::vector<std::wstring>{c.uninstallLine}, s.Lines());
    }
}

}  // namespace
