// A child for the process runner's tests. Its arguments are steps run in
// order:
//   out HEX      write these bytes to standard output ("610D0A" is "a\r\n")
//   flood N      write N bytes of 1022 'x' and CR LF per line
//   sleep MS     sleep
//   exit CODE    end with this exit code (decimal or 0x hex)

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
        } else if (step == L"exit") {
            ExitProcess(static_cast<UINT>(std::wcstoul(value, nullptr, 0)));
        }
    }
    return 0;
}
