// Catalog files against Wine's real wintrust: an added catalog is copied into
// the prefix's catalog store under its base name and removed from there.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/Session.h"
#include "tables/CatalogFiles.h"
#include "windows/support/InstallerFixture.h"
#include "windows/support/CatchException.h"

namespace {

std::wstring CatalogStorePath(const std::wstring& name) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\catroot\\{f750e6c3-38ee-11d1-85e5-00c04fc295ee}\\" + name;
}

class CatalogFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, setup::Initialize(session_.handle(), "CatalogTest")); }
    void TearDown() override { setup::Finalize(0); }

    // A small file standing for a catalog; wintrust copies it unchecked.
    std::wstring CatalogFile(const std::wstring& fileName, const std::string& content) {
        const std::wstring path = dir_ / fileName;
        ddtest::WriteTextFile(path, content);
        return path;
    }

    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> out;
        for (const std::wstring& line : session_.InfoLines()) {
            out.push_back(ddtest::StripLogPrefix(line));
        }
        return out;
    }
    void ClearLines() { session_.ClearMessages(); }

    ddtest::TempDir dir_;

private:
    std::wstring database_ = ddtest::BuildDatabase(dir_ / L"catalog.msi", ddtest::BaseTables());
    ddtest::InstallerSession session_{database_};
};

TEST_F(CatalogFiles, AddedCatalogAppearsInTheStoreAndRemovalDeletesIt) {
    const setup::CatalogAdmin admin;
    const std::wstring path = CatalogFile(L"source.cat", "catalog one");
    const std::wstring stored = CatalogStorePath(L"ddAdded.cat");
    ASSERT_FALSE(ddtest::FileExists(stored));

    setup::AddCatalog(admin, path, L"ddAdded.cat");
    ASSERT_TRUE(ddtest::FileExists(stored));
    EXPECT_EQ(ddtest::ReadBinaryFile(path), ddtest::ReadBinaryFile(stored));

    setup::RemoveCatalog(admin, L"ddAdded.cat");
    EXPECT_FALSE(ddtest::FileExists(stored));
    EXPECT_EQ((std::vector<std::wstring>{L"The catalog file '" + path + L"' was successfully installed.",
                                         L"The catalog file 'ddAdded.cat' was successfully removed."}),
              Lines());
}

TEST_F(CatalogFiles, RemovingAnUnregisteredCatalogLogsOnlyTheNotFoundLine) {
    const setup::CatalogAdmin admin;
    ASSERT_FALSE(ddtest::FileExists(CatalogStorePath(L"ddNeverAdded.cat")));
    EXPECT_NO_THROW(setup::RemoveCatalog(admin, L"ddNeverAdded.cat"));
    EXPECT_EQ(std::vector<std::wstring>{L"The catalog file 'ddNeverAdded.cat' was not found."}, Lines());
}

TEST_F(CatalogFiles, FailuresCarryTheirCodeAndMessage) {
    const setup::CatalogAdmin admin;
    const struct {
        const char* name;
        std::function<void()> call;
        int32_t code;
        std::wstring message;
    } cases[] = {
        {"empty path", [&] { setup::AddCatalog(admin, L"", L"ddEmpty.cat"); }, static_cast<int32_t>(0x80004005),
         L"Failed to add a catalog file. The catalog file not specified."},
        {"missing file", [&] { setup::AddCatalog(admin, dir_ / L"none\\missing.cat", L"ddMissing.cat"); },
         static_cast<int32_t>(0x80070003), L"Failed to add a catalog file."},
        {"empty base name", [&] { setup::RemoveCatalog(admin, L""); }, static_cast<int32_t>(0x80004005),
         L"Failed to remove a catalog file. The catalog file not specified."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const setup::Exception e = ddtest::CatchSetupException(c.call);
        EXPECT_EQ(c.code, e.Code());
        EXPECT_EQ(c.message, e.Message());
        EXPECT_EQ(L"", e.Details());
    }
    EXPECT_FALSE(ddtest::FileExists(CatalogStorePath(L"ddEmpty.cat")));
    EXPECT_FALSE(ddtest::FileExists(CatalogStorePath(L"ddMissing.cat")));
    EXPECT_TRUE(Lines().empty());
}

TEST_F(CatalogFiles, StrictBatchStopsAtTheFirstFailureAndLenientBatchGoesOn) {
    const std::vector<setup::CryptCatalogRecord> records = {
        {L"c1", L"ddBatch1.cat", CatalogFile(L"b1.cat", "one"), L"", L""},
        {L"c2", L"ddBatch2.cat", L"", L"", L""},
        {L"c3", L"ddBatch3.cat", CatalogFile(L"b3.cat", "three"), L"", L""},
    };

    const setup::Exception e = ddtest::CatchSetupException([&] { setup::AddCatalogs(records, false); });
    EXPECT_EQ(static_cast<int32_t>(0x80004005), e.Code());
    EXPECT_EQ(L"Failed to add a catalog file. The catalog file not specified.", e.Message());
    EXPECT_TRUE(ddtest::FileExists(CatalogStorePath(L"ddBatch1.cat")));
    EXPECT_FALSE(ddtest::FileExists(CatalogStorePath(L"ddBatch3.cat")));
    const auto lines = Lines();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(),
                            L"Failed to install 'c2'. Failed to add a catalog file. The catalog file not specified. Error 0x80004005."));

    ClearLines();
    EXPECT_NO_THROW(setup::AddCatalogs(records, true));
    EXPECT_TRUE(ddtest::FileExists(CatalogStorePath(L"ddBatch3.cat")));
    for (const std::wstring& line : Lines()) {
        EXPECT_EQ(std::wstring::npos, line.find(L"Failed")) << ddtest::Narrow(line);
    }

    // Removal passes over the record it cannot remove and takes the others.
    std::vector<setup::CryptCatalogRecord> removal = records;
    removal[0].name = L"";
    setup::AddCatalog(setup::CatalogAdmin(), records[2].path, L"ddBatch2.cat");
    EXPECT_NO_THROW(setup::RemoveCatalogs(removal));
    EXPECT_TRUE(ddtest::FileExists(CatalogStorePath(L"ddBatch1.cat")));
    EXPECT_FALSE(ddtest::FileExists(CatalogStorePath(L"ddBatch2.cat")));
    EXPECT_FALSE(ddtest::FileExists(CatalogStorePath(L"ddBatch3.cat")));
    setup::RemoveCatalog(setup::CatalogAdmin(), L"ddBatch1.cat");
}

}  // namespace
