// Test double for the platform's reagentc.exe and dism.exe, which Wine does
// not have (its built-in dism is not the real tool). One source, built once
// per tool with DD_TOOL_NAME set; the tests copy the two programs into the
// prefix's system directory under the tools' names.
//
// The folder named by the environment variable DD_RECOVERY_DOUBLE_DIR holds
//   record.txt   every run appends its full command line and LF (UTF-16LE)
//   script.txt   what to answer, one ASCII line per step:
//                    TOOL KEYWORD EXIT HEX
//                the first line of this tool whose KEYWORD occurs in the
//                command line ("*" matches any) decides: the bytes HEX ("-"
//                for none) go to standard output, then the program ends with
//                EXIT (decimal or 0x hex). Without a matching line it prints
//                nothing and ends with 0. An optional fifth field SLEEP
//                (milliseconds) makes it wait that long before it ends, as a
//                tool that hangs.

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <sstream>
#include <string>

#ifndef DD_TOOL_NAME
#error DD_TOOL_NAME names the tool this double stands for
#endif

namespace {

std::wstring DoubleFolder() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"DD_RECOVERY_DOUBLE_DIR", buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

bool Record(const std::wstring& folder, const wchar_t* commandLine) {
    const std::wstring path = folder + L"\\record.txt";
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::wstring line = std::wstring(commandLine) + L"\n";
    DWORD written = 0;
    const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return ok != FALSE;
}

std::string ReadScript(const std::wstring& folder) {
    const std::wstring path = folder + L"\\script.txt";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string text;
    char block[4096];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof(block), &read, nullptr) && read > 0) {
        text.append(block, read);
    }
    CloseHandle(file);
    return text;
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    if (hex == "-") {
        return bytes;
    }
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        narrow.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    }
    return narrow;
}

}  // namespace

int wmain() {
    const wchar_t* commandLine = GetCommandLineW();
    const std::wstring folder = DoubleFolder();
    if (folder.empty() || !Record(folder, commandLine)) {
        return 90;  // a test that forgot to set up the double must not pass
    }
    const std::string line = Narrow(commandLine);
    std::istringstream script(ReadScript(folder));
    std::string entry;
    while (std::getline(script, entry)) {
        std::istringstream fields(entry);
        std::string tool, keyword, exitText, hex, sleepText;
        if (!(fields >> tool >> keyword >> exitText >> hex) || tool != DD_TOOL_NAME) {
            continue;
        }
        if (keyword != "*" && line.find(keyword) == std::string::npos) {
            continue;
        }
        const std::string output = FromHex(hex);
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), output.data(), static_cast<DWORD>(output.size()), &written, nullptr);
        if (fields >> sleepText) {
            Sleep(static_cast<DWORD>(std::strtoul(sleepText.c_str(), nullptr, 0)));
        }
        return static_cast<int>(std::strtoul(exitText.c_str(), nullptr, 0));
    }
    return 0;
}
