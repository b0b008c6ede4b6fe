// Stands for a service's unprotect program. Run as
//   <program> RECORD [fail]
// it writes its whole command line (UTF-16LE) to the file RECORD, so a test
// can see how it was started, and with "fail" ends with exit code 3.

#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    const wchar_t* line = GetCommandLineW();
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 4;
    }
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(std::wcslen(line) * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return argc > 2 && std::wcscmp(argv[2], L"fail") == 0 ? 3 : 0;
}
