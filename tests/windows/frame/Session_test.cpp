// The installer services: action names, the verbose decision, properties,
// deferred scheduling, progress and cancel replies, and the log's escaping.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "frame/Exception.h"
#include "frame/InstallerCalls.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "windows/frame/FrameTestSupport.h"
#include "windows/support/ImportPatch.h"

namespace {

using ddtest::CountLines;
using ddtest::SessionFixture;

void ForgetVerboseDecision() {
    setup::ResetProcessStateForTesting();
    for (const wchar_t* name : {L"WcaVerboseLogging", L"WcaNotVerboseLogging"}) {
        while (ATOM atom = GlobalFindAtomW(name)) {
            GlobalDeleteAtom(atom);
        }
    }
}

void SetLoggingPolicy(const wchar_t* value) {
    const wchar_t* path = L"Software\\Policies\\Microsoft\\Windows\\Installer";
    if (value == nullptr) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, path, L"Logging");
        return;
    }
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
    RegSetValueExW(key, L"Logging", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

TEST(Session, ActionNameOf31CharactersIsKeptAnd32AreCut) {
    SessionFixture f;
    const std::string name31(31, 'A');
    EXPECT_EQ(0, setup::Initialize(f.session.handle(), name31.c_str()));
    EXPECT_EQ(name31, setup::GetActionName());
    EXPECT_EQ(f.session.handle(), setup::GetHandle());
    setup::Finalize(0);

    const std::string name32 = std::string(31, 'B') + "C";
    EXPECT_EQ(static_cast<int32_t>(0x8007007A), setup::Initialize(f.session.handle(), name32.c_str()));
    EXPECT_EQ(std::string(31, 'B'), setup::GetActionName());
    EXPECT_EQ(0u, setup::GetHandle());  // a failed start leaves no session behind
    setup::Finalize(0);
    const std::wstring expected =
        ddtest::Widen(std::string(31, 'B')) + L":  Error 0x8007007a: Failed to copy CustomAction log name: " + ddtest::Widen(name32);
    EXPECT_EQ(1u, CountLines(f.session.InfoLines(), expected));
}

TEST(Session, VerboseDecision) {
    const struct {
        const char* logVerbose;
        const char* msiLogging;
        const wchar_t* policy;
        bool verbose;
    } cases[] = {
        {"", "", nullptr, false},
        {"1", "", nullptr, true},
        {"", "iwearmup", nullptr, false},
        {"", "voicewarmup", nullptr, true},
        {"", "iwearmupV", nullptr, true},
        {"", "", L"iwe", false},
        {"", "", L"voicewarmup", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.logVerbose) + "|" + c.msiLogging + "|" + (c.policy ? ddtest::Narrow(c.policy) : "-"));
        ForgetVerboseDecision();
        SetLoggingPolicy(c.policy);
        std::map<std::string, std::string> props;
        if (*c.logVerbose) props["LOGVERBOSE"] = c.logVerbose;
        if (*c.msiLogging) props["MsiLogging"] = c.msiLogging;
        SessionFixture f({}, props);
        ASSERT_EQ(0, setup::Initialize(f.session.handle(), "VerboseProbe"));
        EXPECT_EQ(c.verbose, setup::IsVerboseLoggingEnabled());
        EXPECT_EQ(c.verbose, GlobalFindAtomW(L"WcaVerboseLogging") != 0);
        EXPECT_EQ(!c.verbose, GlobalFindAtomW(L"WcaNotVerboseLogging") != 0);
        setup::WriteLog(setup::log_level::Verbose, L"verbose only %d", 7);
        setup::WriteLog(setup::log_level::Standard, L"always %s", L"x");
        setup::WriteLog(3, L"never");
        setup::Finalize(0);
        const auto lines = f.session.InfoLines();
        EXPECT_EQ(c.verbose ? 1u : 0u, CountLines(lines, L"VerboseProbe:  verbose only 7"));
        EXPECT_EQ(1u, CountLines(lines, L"VerboseProbe:  always x"));
        EXPECT_EQ(0u, CountLines(lines, L"VerboseProbe:  never"));
    }
    SetLoggingPolicy(nullptr);
    ForgetVerboseDecision();
}

using MsiGetPropertyWFn = UINT(WINAPI*)(MSIHANDLE, LPCWSTR, LPWSTR, LPDWORD);
MsiGetPropertyWFn g_realMsiGetPropertyW = nullptr;

// Wine answers every property of a live session; this one fails for
// "MsiLogging" only, as a broken installer would.
UINT WINAPI MsiGetPropertyWFailingLoggingDouble(MSIHANDLE handle, LPCWSTR name, LPWSTR value, LPDWORD size) {
    if (name != nullptr && std::wstring(name) == L"MsiLogging") {
        return ERROR_INVALID_HANDLE;
    }
    return g_realMsiGetPropertyW(handle, name, value, size);
}

// A failed "MsiLogging" read decides the setting: verbose stays off even
// when the machine policy asks for verbose logs.
TEST(Session, FailedMsiLoggingReadLeavesVerboseOffWhateverThePolicy) {
    ForgetVerboseDecision();
    SetLoggingPolicy(L"voicewarmup");
    SessionFixture f({}, {{"MsiLogging", "voicewarmup"}});
    {
        ddtest::ImportPatch patch("msi.dll", "MsiGetPropertyW", reinterpret_cast<void*>(&MsiGetPropertyWFailingLoggingDouble));
        g_realMsiGetPropertyW = reinterpret_cast<MsiGetPropertyWFn>(patch.original());
        EXPECT_EQ(0, setup::Initialize(f.session.handle(), "VerboseProbe"));
    }
    EXPECT_TRUE(GlobalFindAtomW(L"WcaNotVerboseLogging") != 0);
    EXPECT_FALSE(GlobalFindAtomW(L"WcaVerboseLogging") != 0);
    EXPECT_FALSE(setup::IsVerboseLoggingEnabled());
    setup::Finalize(0);
    EXPECT_EQ(1u, CountLines(f.session.InfoLines(), L"VerboseProbe:  Error 0x80070006: failed to get MsiLogging property"));
    SetLoggingPolicy(nullptr);
    ForgetVerboseDecision();
}

TEST(Session, VerboseStartLogsTheModuleVersion) {
    ForgetVerboseDecision();
    SessionFixture f({}, {{"LOGVERBOSE", "1"}});
    ASSERT_EQ(0, setup::Initialize(f.session.handle(), "VersionProbe"));
    setup::Finalize(0);
    ForgetVerboseDecision();
    bool found = false;
    for (const std::wstring& line : f.session.InfoLines()) {
        found = found || (line.rfind(L"VersionProbe:  Entering VersionProbe in ", 0) == 0 && line.find(L", version ") != std::wstring::npos);
    }
    EXPECT_TRUE(found);
}

TEST(Session, PropertiesReadAndWrite) {
    SessionFixture f({}, {{"SOMEPROP", "value 1"}});
    ASSERT_EQ(0, setup::Initialize(f.session.handle(), "Props"));
    EXPECT_EQ(L"value 1", setup::GetProperty(L"SOMEPROP"));
    EXPECT_EQ(L"", setup::GetProperty(L"NOT_SET_ANYWHERE"));
    setup::SetProperty(L"NEWPROP", L"a[~]b");
    EXPECT_EQ(L"a[~]b", setup::GetProperty(L"NEWPROP"));
    setup::Finalize(0);
}

ddtest::TableText DeferredActionTable() {
    return ddtest::MakeTable("CustomAction", {"Action", "Type", "Source", "Target"}, {"s72", "i2", "S72", "S255"}, {"Action"},
                             {{"DeferredProbe", "3073", "NoSuchBinary", "Entry"}});
}

TEST(Session, ScheduleActionSetsDataOnlyWhenThereIsSome) {
    SessionFixture f({DeferredActionTable()});
    ASSERT_EQ(0, setup::Initialize(f.session.handle(), "Scheduler"));
    setup::ScheduleAction(L"DeferredProbe", L"", 0);
    EXPECT_EQ(L"", f.session.Property(L"DeferredProbe"));
    EXPECT_TRUE(f.session.MessagesOfKind(INSTALLMESSAGE_PROGRESS).empty());
    setup::ScheduleAction(L"DeferredProbe", L"key=value", 12);
    EXPECT_EQ(L"key=value", f.session.Property(L"DeferredProbe"));
    const auto progress = f.session.MessagesOfKind(INSTALLMESSAGE_PROGRESS);
    ASSERT_EQ(1u, progress.size());
    EXPECT_EQ(3, progress[0].integers[1]);  // add to the expected total
    EXPECT_EQ(12, progress[0].integers[2]);
    setup::Finalize(0);
}

TEST(Session, ScheduleActionFailureAndCancel) {
    SessionFixture f({DeferredActionTable()});
    ASSERT_EQ(0, setup::Initialize(f.session.handle(), "Scheduler"));
    try {
        setup::ScheduleAction(L"NoSuchAction", L"", 0);
        ADD_FAILURE() << "scheduling an unknown action succeeded";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(L"Failed to schedule: NoSuchAction", e.Message());
        EXPECT_LT(e.Code(), 0);
    }
    EXPECT_EQ(1u, CountLines(f.session.InfoLines(), L"Scheduler:  Error 0x80070001: Failed MsiDoAction on deferred action")
                      + CountLines(f.session.InfoLines(), L"Scheduler:  Error 0x8007065a: Failed MsiDoAction on deferred action"));

    f.session.SetResponder([](const ddtest::Message& m) { return m.kind == INSTALLMESSAGE_PROGRESS ? IDCANCEL : 0; });
    EXPECT_THROW(setup::ScheduleAction(L"DeferredProbe", L"x", 5), setup::InstallCanceledException);
    EXPECT_EQ(1602u, setup::Finalize(0));
}

TEST(Session, ProgressRepliesAndTheOneTimeHandshake) {
    const struct {
        int reply;
        int32_t result;
        bool cancelled;
    } cases[] = {{0, 0, false}, {IDOK, 0, false}, {IDYES, 0, false}, {IDCANCEL, 1, true}, {IDABORT, 1, true}, {IDNO, static_cast<int32_t>(0x8000FFFF), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        setup::ResetProcessStateForTesting();
        SessionFixture f;
        f.session.SetResponder([&c](const ddtest::Message& m) { return m.kind == INSTALLMESSAGE_PROGRESS ? c.reply : 0; });
        ASSERT_EQ(0, setup::Initialize(f.session.handle(), "Progress"));
        EXPECT_EQ(c.result, setup::SendProgress(4, false));
        EXPECT_EQ(c.cancelled, setup::IsCancelled());
        EXPECT_EQ(c.cancelled ? 1602u : 0u, setup::Finalize(0));
        const auto progress = f.session.MessagesOfKind(INSTALLMESSAGE_PROGRESS);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(1, progress[0].integers[1]);  // explicit progress asked first
        EXPECT_EQ(1, progress[0].integers[2]);
        if (c.reply == IDNO) {
            EXPECT_EQ(1u, progress.size());
            EXPECT_EQ(1u, CountLines(f.session.InfoLines(), L"Progress:  Error 0x8000ffff: failed to tell Darwin to use explicit progress messages"));
        }
    }

    // Once accepted, a later action in the same process does not ask again.
    setup::ResetProcessStateForTesting();
    for (int action = 0; action < 2; ++action) {
        SessionFixture f;
        ASSERT_EQ(0, setup::Initialize(f.session.handle(), "Progress"));
        EXPECT_EQ(0, setup::SendProgress(4, false));
        EXPECT_EQ(0, setup::SendProgress(2, false));
        setup::Finalize(0);
        const auto progress = f.session.MessagesOfKind(INSTALLMESSAGE_PROGRESS);
        const size_t handshakes = static_cast<size_t>(std::count_if(progress.begin(), progress.end(), [](const ddtest::Message& m) { return m.integers[1] == 1; }));
        EXPECT_EQ(action == 0 ? 1u : 0u, handshakes) << "action " << action;
        EXPECT_EQ(action == 0 ? 3u : 2u, progress.size());
        EXPECT_EQ(2, progress.back().integers[1]);
        EXPECT_EQ(2, progress.back().integers[2]);
    }
}

// A cancel answer to a utility line is recorded; the library's own line
// never marks a cancellation.
TEST(Session, CancelReplyToUtilityLinesIsRecordedButNotToOwnLines) {
    const struct {
        const char* label;
        void (*write)();
        bool records;
    } writers[] = {
        {"Log", [] { setup::Log(L"own line"); }, false},
        {"WriteLog", [] { setup::WriteLog(setup::log_level::Standard, L"utility line"); }, true},
        {"LogFailure", [] { setup::LogFailure(static_cast<int32_t>(0x80004005), L"utility failure"); }, true},
    };
    for (const auto& w : writers) {
        for (const int reply : {IDCANCEL, 1602}) {
            SCOPED_TRACE(std::string(w.label) + " " + std::to_string(reply));
            SessionFixture f;
            ASSERT_EQ(0, setup::Initialize(f.session.handle(), "CancelProbe"));
            f.session.ClearMessages();
            f.session.SetResponder([reply](const ddtest::Message& m) { return m.kind == INSTALLMESSAGE_INFO ? reply : 0; });
            w.write();
            EXPECT_EQ(w.records, setup::IsCancelled());
            EXPECT_EQ(w.records ? 1602u : 0u, setup::Finalize(0));
            EXPECT_EQ(1u, f.session.InfoLines().size());
        }
    }
}

TEST(Session, ErrorMessageRecord) {
    SessionFixture f;
    ASSERT_EQ(0, setup::Initialize(f.session.handle(), "Errors"));
    EXPECT_EQ(0, setup::SendErrorMessage(27310, static_cast<int32_t>(0x80070002), MB_OK, {L"one", L"two"}));
    setup::Finalize(0);
    const auto errors = f.session.MessagesOfKind(INSTALLMESSAGE_ERROR);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(4, errors[0].fieldCount);
    EXPECT_EQ(27310, errors[0].integers[1]);
    EXPECT_EQ(static_cast<int>(0x80070002), errors[0].integers[2]);
    EXPECT_EQ(L"one", errors[0].strings[3]);
    EXPECT_EQ(L"two", errors[0].strings[4]);
}

TEST(Log, PrefixAndLiteralBrackets) {
    SessionFixture f;
    ASSERT_EQ(0, setup::Initialize(f.session.handle(), "LogProbe"));
    setup::Log(L"values %s and %s", L"[ProductCode]", L"a[~]b");
    setup::WriteLog(setup::log_level::Standard, L"util %s", L"[ProductName]");
    setup::Finalize(0);
    const auto lines = f.session.InfoLines();
    ASSERT_EQ(2u, lines.size());
    // "<action> (<pid>:<tid>) [hh:mm:ss:mmm]: <text>"
    const std::wstring& line = lines[0];
    EXPECT_EQ(0u, line.rfind(L"LogProbe (", 0)) << ddtest::Narrow(line);
    const size_t colon = line.find(L':', 10);
    const size_t close = line.find(L") [");
    ASSERT_NE(std::wstring::npos, close);
    EXPECT_LT(colon, close);
    EXPECT_EQ(L']', line[close + 15]);
    EXPECT_EQ(L"values [ProductCode] and a[~]b", ddtest::StripLogPrefix(line));
    EXPECT_EQ(L"LogProbe:  util [ProductName]", lines[1]);
}

// Package threads write utility lines at the same moment. Each line is held
// in the installer's handler for a while, so the lines of the threads
// overlap; the guard against a recursing log path belongs to each thread and
// drops none of them.
TEST(Log, UtilityLinesOfThreadsWritingAtOnceAreAllWritten) {
    constexpr int kThreads = 4;
    constexpr int kLines = 5;
    SessionFixture f;
    ASSERT_EQ(0, setup::Initialize(f.session.handle(), "LogThreads"));
    f.session.ClearMessages();
    f.session.SetResponder([](const ddtest::Message& m) {
        if (m.kind == INSTALLMESSAGE_INFO) {
            Sleep(10);
        }
        return 0;
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                setup::WriteLog(setup::log_level::Standard, L"thread %d line %d", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    setup::Finalize(0);
    const auto lines = f.session.InfoLines();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            const std::wstring line = L"LogThreads:  thread " + std::to_wstring(t) + L" line " + std::to_wstring(i);
            EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), line)) << ddtest::Narrow(line);
        }
    }
}

}  // namespace
