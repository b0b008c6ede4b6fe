// The frame every export runs in: result codes, the error message sent to the
// installer, the closing line, and cancellation.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "frame/EntryPoint.h"
#include "frame/Exception.h"
#include "frame/Session.h"
#include "windows/frame/FrameTestSupport.h"
#include "windows/support/ImportPatch.h"

namespace {

using ddtest::CountLines;
using ddtest::SessionFixture;

struct ExpectedExport {
    const char* name;
    bool talksToUser;  // immediate and deferred actions send error messages and may end in 1602
    uint32_t errorNumber;
};

// The contract with installer packages, written out independently of the
// library's own table.
const ExpectedExport kExports[] = {
    {"ProtectServices", true, 27320},
    {"ProtectServicesDeferred", true, 27320},
    {"ProtectServicesRollback", false, 0},
    {"UnprotectServices", true, 27321},
    {"UnprotectServicesDeferred", true, 27321},
    {"UnprotectServicesRollback", false, 0},
    {"InstallCryptCatalog", true, 27310},
    {"InstallCryptCatalogDeferred", true, 27310},
    {"InstallCryptCatalogRollback", false, 0},
    {"UninstallCryptCatalog", true, 27311},
    {"UninstallCryptCatalogDeferred", true, 27311},
    {"UninstallCryptCatalogRollback", false, 0},
    {"InstallDrivers", true, 27300},
    {"InstallDriversEarly", true, 27300},
    {"InstallDriversDeferred", true, 27300},
    {"InstallDriversRollback", false, 0},
    {"InstallDriversCommit", false, 0},
    {"InstallDriversFinalize", false, 0},
    {"UninstallDrivers", true, 27301},
    {"UninstallDriversDeferred", true, 27301},
    {"UninstallDriversRollback", false, 0},
};

std::wstring ClosingLine(const char* name, int result) {
    return ddtest::Widen(name) + L": finished. Return value " + std::to_wstring(result) + L".";
}

void ThrowSetupException() { throw setup::Exception(static_cast<int32_t>(0x80070005), L"Access went wrong.", L"C:\\x\\y.inf"); }
void ThrowCanceled() { throw setup::InstallCanceledException(L"User canceled installation."); }
void ThrowOther() { throw std::runtime_error("boom"); }
void ThrowFilterLimit() { throw setup::Exception(static_cast<int32_t>(0x8004A029), L"Too many filters.", L"netfilter"); }

UINT RunAction(SessionFixture& f, const char* name, setup::ActionBody body) {
    const setup::EntryPointInfo* info = setup::FindEntryPoint(name);
    EXPECT_NE(nullptr, info) << name;
    return info == nullptr ? 0 : setup::RunEntryPoint(f.session.handle(), *info, body);
}

TEST(EntryPointTable, ListsExactlyTheExportsOfTheContract) {
    ASSERT_EQ(std::size(kExports), setup::kEntryPointCount);
    for (const ExpectedExport& e : kExports) {
        const setup::EntryPointInfo* info = setup::FindEntryPoint(e.name);
        ASSERT_NE(nullptr, info) << e.name;
        EXPECT_EQ(e.errorNumber, info->errorNumber) << e.name;
    }
}

TEST(EntryPointFrame, SetupExceptionGives1603AndOneErrorRecordWhereTheUserIsThere) {
    for (const ExpectedExport& e : kExports) {
        SCOPED_TRACE(e.name);
        SessionFixture f;
        EXPECT_EQ(1603u, RunAction(f, e.name, ThrowSetupException));
        const auto lines = f.Lines();
        EXPECT_EQ(1u, CountLines(lines, L"Access went wrong. Error 0x80070005."));
        EXPECT_EQ(1u, CountLines(lines, ClosingLine(e.name, 1603)));
        const auto errors = f.session.MessagesOfKind(INSTALLMESSAGE_ERROR);
        if (!e.talksToUser) {
            EXPECT_TRUE(errors.empty());
            continue;
        }
        ASSERT_EQ(1u, errors.size());
        const ddtest::Message& m = errors[0];
        EXPECT_EQ(static_cast<UINT>(INSTALLMESSAGE_ERROR | MB_OK), m.type);
        ASSERT_EQ(3, m.fieldCount);
        EXPECT_EQ(static_cast<int>(e.errorNumber), m.integers[1]);
        EXPECT_EQ(static_cast<int>(0x80070005), m.integers[2]);
        EXPECT_EQ(L"C:\\x\\y.inf", m.strings[3]);
    }
}

TEST(EntryPointFrame, CancelExceptionGives1602OnlyWhereTheUserIsThere) {
    for (const ExpectedExport& e : kExports) {
        SCOPED_TRACE(e.name);
        SessionFixture f;
        const UINT expected = e.talksToUser ? 1602u : 1603u;
        EXPECT_EQ(expected, RunAction(f, e.name, ThrowCanceled));
        const auto lines = f.Lines();
        EXPECT_EQ(1u, CountLines(lines, L"User canceled installation. Error 0x80070642."));
        EXPECT_EQ(1u, CountLines(lines, ClosingLine(e.name, static_cast<int>(expected))));
        EXPECT_TRUE(f.session.MessagesOfKind(INSTALLMESSAGE_ERROR).empty());
    }
}

TEST(EntryPointFrame, ForeignExceptionIsUnknownWithEFailAndNoStringField) {
    for (const ExpectedExport& e : kExports) {
        SCOPED_TRACE(e.name);
        SessionFixture f;
        EXPECT_EQ(1603u, RunAction(f, e.name, ThrowOther));
        const auto lines = f.Lines();
        EXPECT_EQ(1u, CountLines(lines, L"Unknown exception."));
        EXPECT_EQ(1u, CountLines(lines, ClosingLine(e.name, 1603)));
        const auto errors = f.session.MessagesOfKind(INSTALLMESSAGE_ERROR);
        if (!e.talksToUser) {
            EXPECT_TRUE(errors.empty());
            continue;
        }
        ASSERT_EQ(1u, errors.size());
        EXPECT_EQ(2, errors[0].fieldCount);
        EXPECT_EQ(static_cast<int>(e.errorNumber), errors[0].integers[1]);
        EXPECT_EQ(static_cast<int>(0x80004005), errors[0].integers[2]);
    }
}

TEST(EntryPointFrame, FilterLimitSends27302OnlyFromTheDeferredInstall) {
    const struct {
        const char* name;
        int number;
    } cases[] = {{"InstallDriversDeferred", 27302}, {"InstallDriversEarly", 27300}, {"InstallDrivers", 27300}, {"UninstallDriversDeferred", 27301}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionFixture f;
        EXPECT_EQ(1603u, RunAction(f, c.name, ThrowFilterLimit));
        const auto errors = f.session.MessagesOfKind(INSTALLMESSAGE_ERROR);
        ASSERT_EQ(1u, errors.size());
        EXPECT_EQ(c.number, errors[0].integers[1]);
        EXPECT_EQ(static_cast<int>(0x8004A029), errors[0].integers[2]);
    }
}

TEST(EntryPointFrame, CancelReplyDuringASuccessfulActionReturns1602ButLogsZero) {
    SessionFixture f;
    f.session.SetResponder([](const ddtest::Message& m) { return m.kind == INSTALLMESSAGE_PROGRESS ? IDCANCEL : 0; });
    const UINT rc = RunAction(f, "InstallDrivers", [] { EXPECT_EQ(1, setup::SendProgress(3, true)); });
    EXPECT_EQ(1602u, rc);
    const auto lines = f.Lines();
    EXPECT_EQ(1u, CountLines(lines, ClosingLine("InstallDrivers", 0)));
    EXPECT_TRUE(f.session.MessagesOfKind(INSTALLMESSAGE_ERROR).empty());
}

TEST(EntryPointFrame, SuccessLeavesOneClosingLineAndNoErrorRecord) {
    SessionFixture f;
    EXPECT_EQ(0u, RunAction(f, "UninstallDriversRollback", [] {}));
    const auto lines = f.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(ClosingLine("UninstallDriversRollback", 0), lines.back());
    EXPECT_EQ(1u, CountLines(lines, ClosingLine("UninstallDriversRollback", 0)));
    EXPECT_TRUE(f.session.MessagesOfKind(INSTALLMESSAGE_ERROR).empty());
}

// Stands for an allocation failure while the services start; Wine's
// MsiGetActiveDatabase itself never throws.
MSIHANDLE WINAPI MsiGetActiveDatabaseThrowingDouble(MSIHANDLE) { throw std::bad_alloc(); }

TEST(EntryPointFrame, FailureWhileStartingNeverLeavesTheEntryPoint) {
    SessionFixture f;
    bool bodyRan = false;
    static bool* ran = nullptr;
    ran = &bodyRan;
    UINT rc = 0;
    {
        ddtest::ImportPatch patch("msi.dll", "MsiGetActiveDatabase", reinterpret_cast<void*>(&MsiGetActiveDatabaseThrowingDouble));
        EXPECT_NO_THROW(rc = RunAction(f, "InstallDrivers", [] { *ran = true; }));
    }
    EXPECT_EQ(1603u, rc);
    EXPECT_FALSE(bodyRan);
    EXPECT_EQ(0u, setup::GetHandle());
    const auto lines = f.Lines();
    EXPECT_EQ(1u, CountLines(lines, L"Unknown exception."));
    EXPECT_EQ(1u, CountLines(lines, ClosingLine("InstallDrivers", 1603)));
}

}  // namespace
