// The early packages' files as the system-rights phase takes them: copied
// into a protected folder of its own and compared there with the hashes the
// immediate action took.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/DriverPackage.h"
#include "driver/install/EarlyFileCopies.h"
#include "frame/Exception.h"
#include "frame/Session.h"
#include "system/FileHash.h"
#include "system/PathText.h"
#include "windows/support/CatchException.h"
#include "windows/support/InstallerFixture.h"

namespace {

using setup::driver::DriverPackage;
namespace attribute = setup::driver::attribute;

class EarlyFileCopiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        database_ = ddtest::BuildDatabase(dir_ / L"t.msi", {});
        session_ = std::make_unique<ddtest::InstallerSession>(database_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "EarlyTest"));
        MakeSource(L"drvsource");
    }
    // The folder the immediate action extracted into.
    void MakeSource(const std::wstring& name) {
        source_ = dir_ / name;
        ASSERT_TRUE(CreateDirectoryW(source_.c_str(), nullptr));
        for (const auto& [file, text] : std::vector<std::pair<std::wstring, std::string>>{
                 {L"drv.inf", "[Version]\r\n"}, {L"drv.cat", "catalog"}, {L"drv.sys", "image"}}) {
            ddtest::WriteTextFile(source_ + L"\\" + file, text);
        }
    }
    void TearDown() override {
        setup::Finalize(0);
        session_.reset();
    }

    // As the immediate action schedules it: hashed as extracted.
    DriverPackage Early() const {
        DriverPackage package;
        package.id = L"early";
        package.infPath = source_ + L"\\drv.inf";
        package.catPath = source_ + L"\\drv.cat";
        package.attributes = attribute::EarlyConfigured | attribute::InstallEarly;
        for (const wchar_t* name : {L"drv.cat", L"drv.inf", L"drv.sys"}) {
            package.payloadFiles.push_back({name, setup::HashFile(source_ + L"\\" + name)});
        }
        return package;
    }

    bool Logged(const std::wstring& text) const {
        for (const std::wstring& line : session_->InfoLines()) {
            if (ddtest::StripLogPrefix(line) == text) {
                return true;
            }
        }
        return false;
    }

    ddtest::TempDir dir_;
    std::wstring database_;
    std::wstring source_;
    std::unique_ptr<ddtest::InstallerSession> session_;
};

TEST_F(EarlyFileCopiesTest, TheCopyHoldsTheExtractedFilesAndGoesWithItsOwner) {
    const DriverPackage package = Early();
    std::wstring copy;
    {
        setup::driver::EarlyFileCopies copies;
        const DriverPackage secured = copies.Secure(package);
        copy = setup::GetParentPath(secured.infPath);
        EXPECT_NE(setup::GetParentPath(package.infPath), copy);
        EXPECT_EQ(L"drv", setup::GetFileNamePart(copy).substr(0, 3));
        EXPECT_EQ(copy + L"\\drv.cat", secured.catPath);
        for (const wchar_t* name : {L"drv.cat", L"drv.inf", L"drv.sys"}) {
            EXPECT_EQ(ddtest::ReadBinaryFile(source_ + L"\\" + name), ddtest::ReadBinaryFile(copy + L"\\" + name));
        }
        EXPECT_TRUE(Logged(L"Early driver package 'early': 3 file(s) verified in '" + copy + L"'."));
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(copy.c_str()));
    EXPECT_TRUE(ddtest::FileExists(source_ + L"\\drv.inf"));  // the user's folder is the commit's to remove
}

TEST_F(EarlyFileCopiesTest, PackagesThatCannotBeVerifiedAreRefusedNamingTheFile) {
    const int32_t checksum = static_cast<int32_t>(0x80070143);
    struct Case {
        const char* name;
        void (*change)(DriverPackage&, const std::wstring& source);
        std::wstring message;  // after the source folder
    } const cases[] = {
        {"changed INF", [](DriverPackage&, const std::wstring& s) { ddtest::WriteTextFile(s + L"\\drv.inf", "[Version]\r\n[x]\r\n"); },
         L"The early file was changed after it was extracted: %s\\drv.inf"},
        {"changed image", [](DriverPackage&, const std::wstring& s) { ddtest::WriteTextFile(s + L"\\drv.sys", "other"); },
         L"The early file was changed after it was extracted: %s\\drv.sys"},
        {"removed image", [](DriverPackage&, const std::wstring& s) { DeleteFileW((s + L"\\drv.sys").c_str()); },
         L"Failed to open file: %s\\drv.sys"},
        {"no hashes", [](DriverPackage& p, const std::wstring&) { p.payloadFiles.clear(); },
         L"The early files carry no hashes to verify: %s\\drv.inf"},
        {"INF not listed", [](DriverPackage& p, const std::wstring&) { p.payloadFiles.erase(p.payloadFiles.begin() + 1); },
         L"The INF is not among the extracted files: %s\\drv.inf"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeSource(L"case" + std::to_wstring(index++));
        DriverPackage package = Early();
        c.change(package, source_);
        setup::driver::EarlyFileCopies copies;
        const setup::Exception e = ddtest::CatchSetupException([&] { copies.Secure(package); });
        EXPECT_EQ(L"early", e.Details());
        std::wstring message = c.message;
        message.replace(message.find(L"%s"), 2, source_);
        EXPECT_EQ(message, e.Message());
        EXPECT_EQ(message.rfind(L"Failed to open", 0) == 0 ? static_cast<int32_t>(0x80070002) : checksum, e.Code());
        EXPECT_TRUE(Logged(L"Early driver package 'early' is not installed: " + message));
    }
}

TEST_F(EarlyFileCopiesTest, OtherPackagesPassUnchangedAndRollbackLeavesOutWhatItCannotVerify) {
    DriverPackage plain;
    plain.id = L"plain";
    plain.infPath = L"C:\\Program Files\\Product\\drv.inf";
    DriverPackage changed = Early();
    changed.id = L"changed";
    ddtest::WriteTextFile(source_ + L"\\drv.inf", "[Version]\r\nchanged\r\n");
    setup::driver::EarlyFileCopies copies;
    const setup::driver::DriverPackageList kept = copies.SecureEach({plain, changed});
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(plain, kept[0]);
    EXPECT_TRUE(Logged(L"Warning: The early file was changed after it was extracted: " + source_ +
                       L"\\drv.inf Error 0x80070143."));
    EXPECT_THROW(copies.SecureAll({plain, changed}), setup::Exception);
}

}  // namespace
