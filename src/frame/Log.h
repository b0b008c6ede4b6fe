#pragma once
// Log lines to the installer log. Log is the library's own line, always
// written, with the action/process/thread/time prefix. WriteLog and
// LogFailure are the utility layer's lines: "<action>:  <text>", level 1
// only when verbose logging is on.

#include <string>
#include <string_view>

#include "frame/Format.h"

namespace setup {

namespace log_level {
constexpr int Verbose = 1;
constexpr int Standard = 2;
}  // namespace log_level

void LogText(const std::wstring& message);
void WriteLogText(int level, const std::wstring& text);
void LogFailureText(int32_t hr, const std::wstring& text);

template <class... Args>
void Log(std::wstring_view format, const Args&... args) {
    LogText(text::Format(format, args...));
}

// For destructors and failure handlers: a line that cannot be made (out of
// memory, say) is dropped, so that no second exception ends the process.
template <class... Args>
void LogNoThrow(std::wstring_view format, const Args&... args) noexcept {
    try {
        Log(format, args...);
    } catch (...) {
    }
}

template <class... Args>
void WriteLog(int level, std::wstring_view format, const Args&... args) {
    WriteLogText(level, text::Format(format, args...));
}

template <class... Args>
void LogFailure(int32_t hr, std::wstring_view format, const Args&... args) {
    LogFailureText(hr, text::Format(format, args...));
}

}  // namespace setup
