#include "system/Process.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/Handles.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "system/ProcessOutput.h"

namespace setup {

namespace {

constexpr DWORD kReadBlock = 4096;
// How long to sleep on the child when the pipe is empty.
constexpr DWORD kPollMilliseconds = 10;
// How long an ended child may take to be gone; never a wait without end.
constexpr DWORD kEndedWaitMilliseconds = 30000;

[[noreturn]] void FailWithLastError(const std::wstring& message) {
    const int32_t code = HResultFromWin32(GetLastError());
    throw Exception(code, message, std::wstring());
}

// Reads at most one block, and only when the pipe holds data, so that the
// caller never blocks on a child that is still running.
bool ReadAvailableBlock(HANDLE pipe, DWORD limit, std::string& output, DWORD& read) {
    read = 0;
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
        return false;
    }
    char block[kReadBlock];
    if (!ReadFile(pipe, block, std::min({kReadBlock, available, limit}), &read, nullptr) || read == 0) {
        return false;
    }
    output.append(block, read);
    return true;
}

// Drains the pipe while the child runs: a child whose output outgrows the
// pipe's buffer would otherwise block on its write until the time-out.
std::string CollectOutput(HANDLE process, HANDLE pipe, uint32_t timeoutMilliseconds) {
    std::string output;
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        DWORD read = 0;
        const bool gotData = ReadAvailableBlock(pipe, kReadBlock, output, read);
        const ULONGLONG elapsed = GetTickCount64() - start;
        const DWORD remaining = elapsed >= timeoutMilliseconds ? 0 : static_cast<DWORD>(timeoutMilliseconds - elapsed);
        const DWORD wait = WaitForSingleObject(process, gotData ? 0 : std::min(remaining, kPollMilliseconds));
        if (wait == WAIT_OBJECT_0) {
            break;
        }
        if (wait != WAIT_TIMEOUT || remaining == 0) {
            throw Exception(HResultFromWin32(WAIT_TIMEOUT), L"The wait process operation timed out.", std::wstring());
        }
    }
    // Everything the child wrote is in the pipe now. Only that much is read:
    // a grandchild that inherited the write end may still be writing.
    DWORD left = 0;
    if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &left, nullptr)) {
        DWORD read = 0;
        while (left > 0 && ReadAvailableBlock(pipe, left, output, read)) {
            left -= read;
        }
    }
    return output;
}

// Console tools write redirected output in the console's code page, which
// for a child of a process without a console is the OEM code page. Decoding
// through it gives the characters the tool meant; ASCII is the same in every
// OEM code page.
std::wstring DecodeOutput(const std::string& bytes) {
    if (bytes.empty()) {
        return std::wstring();
    }
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        throw Exception(hresult::OutOfMemory, L"The process output is too large.", std::wstring());
    }
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), size, nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), size, text.data(), length);
    }
    return text;
}

// Only the pipe's write end goes to the child: any other inheritable handle
// of the installer's process (a file, a key, a token) would otherwise reach
// a program that runs with system rights.
class InheritedHandles {
public:
    explicit InheritedHandles(HANDLE handle) : handles_{handle} {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_.resize(size);
        if (!InitializeProcThreadAttributeList(list(), 1, 0, &size)) {
            FailWithLastError(L"Failed to InitializeProcThreadAttributeList.");
        }
        initialized_ = true;
        if (!UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_, sizeof(handles_), nullptr,
                                       nullptr)) {
            FailWithLastError(L"Failed to UpdateProcThreadAttribute.");
        }
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;
    ~InheritedHandles() {
        if (initialized_) {
            DeleteProcThreadAttributeList(list());
        }
    }
    LPPROC_THREAD_ATTRIBUTE_LIST list() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data()); }

private:
    HANDLE handles_[1];
    std::vector<unsigned char> buffer_;
    bool initialized_ = false;
};

// Everything the child starts is ended with it once the job's last handle
// closes: a child past its limit leaves nothing of itself running.
UniqueKernelHandle CreateKillOnCloseJob() {
    UniqueKernelHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        FailWithLastError(L"Failed to CreateJobObject.");
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        FailWithLastError(L"Failed to SetInformationJobObject.");
    }
    return job;
}

}  // namespace

namespace detail {

std::wstring RunProcess(const std::wstring& applicationName, const std::wstring& commandLine, uint32_t timeoutMilliseconds) {
    Log(L"Start process: %s.", commandLine);

    SECURITY_ATTRIBUTES inheritable = {};
    inheritable.nLength = sizeof(inheritable);
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;
    UniqueKernelHandle readEnd;
    UniqueKernelHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0)) {
        FailWithLastError(L"Failed to CreatePipe for stdout.");
    }
    if (!SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
        FailWithLastError(L"Failed to SetHandleInformation for stdout.");
    }

    InheritedHandles inherited(writeEnd.get());
    const UniqueKernelHandle job = CreateKillOnCloseJob();

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullptr;  // nothing to read: a tool that asks gets end of input
    startup.StartupInfo.hStdOutput = writeEnd.get();
    startup.StartupInfo.hStdError = writeEnd.get();
    startup.lpAttributeList = inherited.list();
    PROCESS_INFORMATION info = {};
    std::wstring buffer = commandLine;  // CreateProcessW may write into it
    // With an application name the program is that file: the search order
    // never gets to pick one from a path with blanks.
    const BOOL created = CreateProcessW(applicationName.empty() ? nullptr : applicationName.c_str(), buffer.data(), nullptr,
                                        nullptr, TRUE, CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                        &startup.StartupInfo, &info);
    const DWORD createError = created ? ERROR_SUCCESS : GetLastError();
    // With only the child holding a write end, the pipe breaks when it ends.
    writeEnd.reset();
    if (!created) {
        throw Exception(HResultFromWin32(createError), L"Failed to CreateProcess " + commandLine, std::wstring());
    }
    const UniqueKernelHandle process(info.hProcess);
    const UniqueKernelHandle thread(info.hThread);
    if (!AssignProcessToJobObject(job.get(), process.get())) {
        const DWORD error = GetLastError();
        TerminateProcess(process.get(), ERROR_CANCELLED);
        WaitForSingleObject(process.get(), kEndedWaitMilliseconds);
        throw Exception(HResultFromWin32(error), L"Failed to AssignProcessToJobObject " + commandLine, std::wstring());
    }
    ResumeThread(thread.get());

    std::string bytes;
    try {
        bytes = CollectOutput(process.get(), readEnd.get(), timeoutMilliseconds);
    } catch (const Exception&) {
        // Ended with everything it started before the caller goes on: a
        // tool still running beside the next step is the fault to avoid.
        TerminateJobObject(job.get(), WAIT_TIMEOUT);
        WaitForSingleObject(process.get(), kEndedWaitMilliseconds);
        Log(L"The process ran past its limit of %d ms and was ended with its child processes.",
            static_cast<int32_t>(timeoutMilliseconds));
        throw;
    }
    const std::wstring output = DecodeOutput(bytes);
    for (const std::wstring& line : SplitOutputLines(output)) {
        Log(L"> %s", line);
    }

    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) {
        exitCode = 0;
    }
    if (exitCode != 0) {
        throw Exception(hresult::Fail, L"Process returned error " + std::to_wstring(static_cast<int32_t>(exitCode)),
                        std::wstring());
    }
    return output;
}

std::wstring RunProcess(const std::wstring& commandLine, uint32_t timeoutMilliseconds) {
    return RunProcess(std::wstring(), commandLine, timeoutMilliseconds);
}

}  // namespace detail

std::wstring RunProcess(const std::wstring& commandLine) {
    return detail::RunProcess(commandLine, detail::kProcessTimeoutMilliseconds);
}

void RunCommand(const std::wstring& commandLine) { RunProcess(commandLine); }

std::wstring QuoteProgram(const std::wstring& program) { return L"\"" + program + L"\""; }

std::wstring RunProgram(const std::wstring& program, const std::wstring& arguments, uint32_t timeoutMilliseconds) {
    const std::wstring commandLine = QuoteProgram(program) + L" " + arguments;
    return detail::RunProcess(program, commandLine, timeoutMilliseconds);
}

}  // namespace setup
