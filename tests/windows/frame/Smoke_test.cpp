#include <gtest/gtest.h>

#include "frame/EntryPoint.h"
#include "frame/Log.h"
#include "windows/support/InstallerFixture.h"

TEST(FixtureSmoke, SessionRecordsLogLines) {
    ddtest::TempDir dir;
    const std::wstring db = ddtest::BuildDatabase(dir / L"t.msi", {});
    ddtest::InstallerSession session(db);
    const setup::EntryPointInfo* info = setup::FindEntryPoint("InstallDrivers");
    ASSERT_NE(nullptr, info);
    const UINT rc = setup::RunEntryPoint(session.handle(), *info, [] { setup::Log(L"value [ProductCode] a[~]b"); });
    EXPECT_EQ(0u, rc);
    for (const auto& line : session.InfoLines()) {
        std::wcout << line << std::endl;
    }
    for (const auto& m : session.Messages()) {
        std::wcout << std::hex << m.type << L" " << (m.strings.empty() ? L"" : m.strings[0]) << std::endl;
    }
}
