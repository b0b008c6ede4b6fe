// The in-process msiexec runner's time limit: a run that hangs fails the
// test with what was still running and the tail of its verbose log, and
// leaves no process of it behind.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <iostream>
#include <string>
#include <vector>

#include "windows/support/InstallerFixture.h"
#include "windows/support/ProductInstall.h"

namespace {

std::wstring ChildPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring self = path;
    return self.substr(0, self.find_last_of(L"\\/") + 1) + L"dd_test_child.exe";
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

// An immediate EXE custom action (its path in a property) that sleeps for
// ten minutes.
std::wstring HangingPackage(const ddtest::TempDir& dir) {
    using ddtest::MakeTable;
    return ddtest::BuildDatabase(
        dir / L"hang.msi",
        {MakeTable("CustomAction", {"Action", "Type", "Source", "Target"}, {"s72", "i2", "S72", "S255"}, {"Action"},
                   {{"SleepForever", "50", "HANGCHILD", "sleep 600000"}}),
         MakeTable("InstallExecuteSequence", {"Action", "Condition", "Sequence"}, {"s72", "S255", "I2"}, {"Action"},
                   {{"CostInitialize", "", "800"},
                    {"FileCost", "", "900"},
                    {"CostFinalize", "", "1000"},
                    {"InstallValidate", "", "1400"},
                    {"SleepForever", "", "1450"}})},
        {{"HANGCHILD", ddtest::Narrow(ChildPath())}});
}

TEST(MsiexecTimeLimit, AHangingRunFailsWithWhatStillRunsAndIsEnded) {
    ddtest::TempDir dir;
    const std::wstring package = HangingPackage(dir);
    const std::wstring log = dir / L"hang.log";

    testing::TestPartResultArray failures;
    DWORD code = 0;
    const DWORD started = GetTickCount();
    {
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        code = ddtest::RunMsiexec(L"/i \"" + package + L"\" /qn /l*v \"" + log + L"\"", 20000);
    }
    const DWORD elapsed = GetTickCount() - started;

    EXPECT_EQ(ddtest::kMsiexecTimedOut, code);
    ASSERT_EQ(1, failures.size());
    const std::string report = failures.GetTestPartResult(0).message();
    std::cout << report << std::endl;
    EXPECT_NE(std::string::npos, report.find("msiexec did not finish within 20 s"));
    EXPECT_NE(std::string::npos, Lower(ddtest::Widen(report)).find(L"dd_test_child.exe"));
    EXPECT_NE(std::string::npos, report.find("last lines of the verbose log"));
    EXPECT_NE(std::string::npos, report.find(": SleepForever."));
    EXPECT_LT(elapsed, 60000u);

    // The prefix's services are still there, so the list itself is real.
    const std::vector<std::wstring> running = ddtest::RunningProcesses();
    ASSERT_FALSE(running.empty());
    for (const std::wstring& process : running) {
        EXPECT_EQ(std::wstring::npos, Lower(process).find(L"dd_test_child.exe")) << ddtest::Narrow(process);
        EXPECT_EQ(std::wstring::npos, Lower(process).find(L"msiexec.exe")) << ddtest::Narrow(process);
    }
}

}  // namespace
