#include "frame/Log.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "frame/Handles.h"
#include "frame/Session.h"

namespace setup {

namespace {

constexpr size_t kMaxLine = 2047;

// Dropping nested lines keeps a failure inside the log path from recursing.
// The guard is the calling thread's: a line of another package thread
// written at the same moment is not nested, and is never dropped.
thread_local bool t_logGuard = false;

// The library's own lines ignore the installer's reply, so that a log line
// never turns into a cancellation; the utility layer's lines go through
// ProcessMessage, which records a cancel answer.
enum class Reply { Ignored, Recorded };

void SendInfo(const std::wstring& text, Reply reply) {
    UniqueMsiHandle record(MsiCreateRecord(1));
    if (!record) {
        return;
    }
    MsiRecordSetStringW(record.get(), 0, text.c_str());
    if (reply == Reply::Recorded) {
        ProcessMessage(INSTALLMESSAGE_INFO, record.get());
    } else {
        MsiProcessMessage(GetHandle(), INSTALLMESSAGE_INFO, record.get());
    }
}

}  // namespace

void LogText(const std::wstring& message) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    // "[\[]" and "[\]]" are the installer's literal brackets around the time.
    std::wstring line = text::Format(L"%S (%02x:%04x) [\\[]%02i:%02i:%02i:%03i[\\]]: ", GetActionName(),
                                     GetCurrentProcessId(), GetCurrentThreadId(), now.wHour, now.wMinute,
                                     now.wSecond, now.wMilliseconds);
    line += text::EscapeInstallerFormat(message);
    SendInfo(line, Reply::Ignored);
}

void WriteLogText(int level, const std::wstring& text) {
    if (t_logGuard) {
        return;
    }
    t_logGuard = true;
    struct Release {
        ~Release() { t_logGuard = false; }
    } release;

    if (level != log_level::Standard && !(level == log_level::Verbose && IsVerboseLoggingEnabled())) {
        return;
    }
    std::wstring line = text.substr(0, kMaxLine);
    const std::wstring name = text::WidenBytes(GetActionName());
    if (!name.empty()) {
        line = name + L":  " + line;
    }
    if (line.size() > kMaxLine) {
        line.resize(kMaxLine);
    }
    SendInfo(text::EscapeInstallerFormat(line), Reply::Recorded);
}

void LogFailureText(int32_t hr, const std::wstring& text) {
    if (IsInitialized()) {
        WriteLog(log_level::Standard, L"Error 0x%x: %s", hr, text.substr(0, kMaxLine));
    }
}

}  // namespace setup
