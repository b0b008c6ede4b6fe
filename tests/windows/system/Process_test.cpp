#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/Session.h"
#include "system/Process.h"
#include "windows/support/InstallerFixture.h"

namespace {

using Lines = std::vector<std::wstring>;

constexpr uint32_t kTestTimeout = 30000;

std::wstring ChildProgram() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"dd_test_child.exe";
}

std::wstring Child(const std::wstring& steps) { return L"\"" + ChildProgram() + L"\" " + steps; }

DWORD ReadNumber(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    char text[32] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
    return static_cast<DWORD>(std::strtoul(text, nullptr, 10));
}

// A process that is gone cannot be opened, or has ended.
bool HasEnded(DWORD pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        return true;
    }
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        database_ = ddtest::BuildDatabase(dir_ / L"t.msi", {});
        session_.emplace(database_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "ProcTest"));
        session_->ClearMessages();
    }

    void TearDown() override {
        setup::Finalize(0);
        session_.reset();
    }

    Lines LogLines() const {
        Lines lines;
        for (const std::wstring& line : session_->InfoLines()) {
            lines.push_back(ddtest::StripLogPrefix(line));
        }
        return lines;
    }

    // Runs the command expecting a failure and returns it.
    std::optional<setup::Exception> RunFailing(const std::wstring& commandLine, uint32_t timeout = kTestTimeout) {
        try {
            setup::detail::RunProcess(commandLine, timeout);
        } catch (const setup::Exception& e) {
            return e;
        }
        return std::nullopt;
    }

    ddtest::TempDir dir_;
    std::wstring database_;
    std::optional<ddtest::InstallerSession> session_;
};

TEST_F(ProcessTest, OutputIsReturnedUnchangedAndLoggedByLine) {
    struct Case {
        const wchar_t* steps;
        std::wstring output;
        Lines logged;
    } const cases[] = {
        {L"out 610D0A0D0A62", L"a\r\n\r\nb", {L"> a", L"> b"}},
        {L"out 610D0A", L"a\r\n", {L"> a"}},
        {L"", L"", {}},
        // Lone CR and LF stay inside their line.
        {L"out 780A790D7A0D0A", L"x\ny\rz\r\n", {L"> x\ny\rz"}},
        {L"out 5B615D20253125", L"[a] %1%", {L"> [a] %1%"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        session_->ClearMessages();
        const std::wstring command = Child(c.steps);
        EXPECT_EQ(c.output, setup::detail::RunProcess(command, kTestTimeout));
        Lines expected{L"Start process: " + command + L"."};
        expected.insert(expected.end(), c.logged.begin(), c.logged.end());
        EXPECT_EQ(expected, LogLines());
    }
}

TEST_F(ProcessTest, NonZeroExitCodeFailsAfterTheOutputIsLogged) {
    struct Case {
        const wchar_t* steps;
        const wchar_t* message;
    } const cases[] = {
        {L"out 6F6F70730D0A exit 2", L"Process returned error 2"},
        {L"out 6F6F70730D0A exit 0xC0000005", L"Process returned error -1073741819"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        session_->ClearMessages();
        const std::wstring command = Child(c.steps);
        const std::optional<setup::Exception> failure = RunFailing(command);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(static_cast<int32_t>(0x80004005), failure->Code());
        EXPECT_EQ(c.message, failure->Message());
        EXPECT_EQ(L"", failure->Details());
        EXPECT_EQ((Lines{L"Start process: " + command + L".", L"> oops"}), LogLines());
    }
}

TEST_F(ProcessTest, RunCommandFailsLikeRunProcess) {
    try {
        setup::RunCommand(Child(L"exit 3"));
        ADD_FAILURE() << "exit code 3 was taken as success";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(L"Process returned error 3", e.Message());
    }
}

TEST_F(ProcessTest, MissingProgram) {
    const std::optional<setup::Exception> failure = RunFailing(L"dd_no_such_program.exe /x");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(static_cast<int32_t>(0x80070002), failure->Code());
    EXPECT_EQ(L"Failed to CreateProcess dd_no_such_program.exe /x", failure->Message());
    EXPECT_EQ(Lines{L"Start process: dd_no_such_program.exe /x."}, LogLines());
}

TEST_F(ProcessTest, OutputLargerThanThePipeDoesNotStallTheChild) {
    constexpr size_t kSize = 1024 * 1024;
    const ULONGLONG start = GetTickCount64();
    const std::wstring output = setup::detail::RunProcess(Child(L"flood 1048576"), kTestTimeout);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_LT(elapsed, 10000u);
    ASSERT_EQ(kSize, output.size());
    EXPECT_EQ(std::wstring(1022, L'x') + L"\r\n", output.substr(kSize - 1024));
    EXPECT_EQ(1 + kSize / 1024, LogLines().size());
}

TEST_F(ProcessTest, LinesAreLoggedOnlyAfterTheChildEnded) {
    ULONGLONG loggedAt = 0;
    session_->SetResponder([&loggedAt](const ddtest::Message& m) {
        if (m.kind == INSTALLMESSAGE_INFO && m.formatted.find(L"> early") != std::wstring::npos) {
            loggedAt = GetTickCount64();
        }
        return 0;
    });
    const ULONGLONG start = GetTickCount64();
    setup::detail::RunProcess(Child(L"out 6561726C79 sleep 1500"), kTestTimeout);
    ASSERT_NE(0u, loggedAt);
    EXPECT_GE(loggedAt - start, 1500u);
}

TEST_F(ProcessTest, ChildOutlivingTheTimeOut) {
    const std::wstring command = Child(L"out 6561726C790D0A sleep 4000");
    const ULONGLONG start = GetTickCount64();
    const std::optional<setup::Exception> failure = RunFailing(command, 300);
    const ULONGLONG elapsed = GetTickCount64() - start;
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(static_cast<int32_t>(0x80070102), failure->Code());
    EXPECT_EQ(L"The wait process operation timed out.", failure->Message());
    EXPECT_GE(elapsed, 300u);
    EXPECT_LT(elapsed, 3000u);
    EXPECT_EQ((Lines{L"Start process: " + command + L".",
                     L"The process ran past its limit of 300 ms and was ended with its child processes."}),
              LogLines());
}

TEST_F(ProcessTest, AChildPastItsLimitIsEndedWithTheProcessesItStarted) {
    const std::wstring own = dir_ / L"child.pid";
    const std::wstring started = dir_ / L"grandchild.pid";
    const std::optional<setup::Exception> failure =
        RunFailing(Child(L"pid \"" + own + L"\" spawn \"" + started + L"\" sleep 20000"), 1500);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(static_cast<int32_t>(0x80070102), failure->Code());
    const DWORD child = ReadNumber(own);
    const DWORD grandchild = ReadNumber(started);
    // Both ran: otherwise their absence proves nothing.
    ASSERT_NE(0u, child);
    ASSERT_NE(0u, grandchild);
    EXPECT_TRUE(HasEnded(child));
    EXPECT_TRUE(HasEnded(grandchild));
    EXPECT_EQ(L"The process ran past its limit of 1500 ms and was ended with its child processes.", LogLines().back());
}

TEST_F(ProcessTest, AChildSeesOnlyItsPipesAndNoStandardInput) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE event = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    wchar_t hex[32] = {};
    swprintf(hex, 32, L"%llx", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(event)));
    // The output arriving at all shows that the pipe did reach the child.
    const std::wstring output = setup::detail::RunProcess(Child(std::wstring(L"handle ") + hex + L" stdin 0"), kTestTimeout);
    CloseHandle(event);
    EXPECT_EQ(L"closed\r\nnostdin\r\n", output);
}

TEST_F(ProcessTest, AProgramInAFolderWithBlanksRunsByItsFullPath) {
    // "C:\...\my tools\child.exe" unquoted would first be tried as "C:\...\my.exe".
    const std::wstring folder = dir_ / L"my tools";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring program = folder + L"\\child.exe";
    const std::wstring decoy = dir_ / L"my.exe";
    ASSERT_TRUE(CopyFileW(ChildProgram().c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(ChildProgram().c_str(), decoy.c_str(), FALSE));
    const std::wstring output = setup::RunProgram(program, L"self 0", kTestTimeout);
    std::wstring expected;
    for (wchar_t c : program) {
        expected += c < 0x80 ? c : L'?';
    }
    EXPECT_EQ(expected + L"\r\n", output);
    EXPECT_EQ(L"Start process: \"" + program + L"\" self 0.", LogLines().front());
}

// Console tools write redirected output in the OEM code page; the bytes must
// come back as the characters the tool meant, not one unit per byte.
TEST_F(ProcessTest, NonAsciiOutputIsDecodedFromTheOemCodePage) {
    ASSERT_EQ(437u, GetOEMCP()) << "the expected texts below are code page 437";
    // 0x82 is e-acute and 0x9A U-umlaut in code page 437.
    EXPECT_EQ(L"C:\\R\u00e9cup\u00e9ration\\\u00dc\r\n",
              setup::detail::RunProcess(Child(L"out 433A5C52826375708272617469 out 6F6E5C9A0D0A"), kTestTimeout));
    EXPECT_EQ(L"> C:\\R\u00e9cup\u00e9ration\\\u00dc", LogLines().back());
}

}  // namespace
