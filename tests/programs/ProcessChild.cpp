// A child for the process runner's tests. Its arguments are steps run in
// order:
//   out HEX      write these bytes to standard output ("610D0A" is "a\r\n")
//   flood N      write N bytes of 1022 'x' and CR LF per line
//   sleep MS     sleep
//   exit CODE    end with this exit code (decimal or 0x hex)
//   pid FILE     write its own process id (decimal) to FILE
//   spawn FILE   start a copy of itself that sleeps 20 s, inheriting
//                nothing, and write that copy's process id to FILE
//   handle HEX   write "open" when the handle value is valid here, else "closed"
//   stdin 0      write "stdin" when it has a standard input, else "nostdin"
//   self 0       write its own program path

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

void Write(const std::string& bytes) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string FromHex(const wchar_t* hex) {
    std::string bytes;
    for (size_t i = 0; hex[i] != L'\0' && hex[i + 1] != L'\0'; i += 2) {
        const wchar_t pair[3] = {hex[i], hex[i + 1], L'\0'};
        bytes.push_back(static_cast<char>(std::wcstoul(pair, nullptr, 16)));
    }
    return bytes;
}

void WriteNumber(const wchar_t* path, DWORD number) {
    const std::string text = std::to_string(number);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(static_cast<char>(c < 0x80 ? c : '?'));
    }
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring step = argv[i];
        const wchar_t* value = argv[i + 1];
        if (step == L"out") {
            Write(FromHex(value));
        } else if (step == L"flood") {
            size_t left = std::wcstoul(value, nullptr, 0);
            std::string line(1022, 'x');
            line += "\r\n";
            while (left > 0) {
                const size_t n = left < line.size() ? left : line.size();
                Write(line.substr(0, n));
                left -= n;
            }
        } else if (step == L"sleep") {
            Sleep(std::wcstoul(value, nullptr, 0));
        } else if (step == L"pid") {
            WriteNumber(value, GetCurrentProcessId());
        } else if (step == L"spawn") {
            wchar_t self[MAX_PATH] = {};
            GetModuleFileNameW(nullptr, self, MAX_PATH);
            std::wstring line = L"\"" + std::wstring(self) + L"\" sleep 20000";
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION info = {};
            if (CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
                WriteNumber(value, info.dwProcessId);
                CloseHandle(info.hThread);
                CloseHandle(info.hProcess);
            }
        } else if (step == L"handle") {
            HANDLE h = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(std::wcstoull(value, nullptr, 16)));
            DWORD flags = 0;
            Write(GetHandleInformation(h, &flags) ? "open\r\n" : "closed\r\n");
        } else if (step == L"stdin") {
            const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
            Write(in == nullptr || in == INVALID_HANDLE_VALUE ? "nostdin\r\n" : "stdin\r\n");
        } else if (step == L"self") {
            wchar_t self[MAX_PATH] = {};
            GetModuleFileNameW(nullptr, self, MAX_PATH);
            Write(Narrow(self) + "\r\n");
        } else if (step == L"exit") {
            ExitProcess(static_cast<UINT>(std::wcstoul(value, nullptr, 0)));
        }
    }
    return 0;
}
