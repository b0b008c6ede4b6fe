// Stands for another process of the installing user between the immediate
// and the system-rights phase. Run as
//   <program> RECORD
// it changes every INF in the early install's folders (drv* in the user's
// temporary folder): each AddReg line also names a section it appends, which
// writes HKLM\SOFTWARE\DDTest\Tamper. It writes the paths it changed to
// RECORD (UTF-16LE, one a line) and ends with 0, or with 5 when it found no
// INF to change.

#include <windows.h>

#include <string>

namespace {

std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char block[4096];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof(block), &read, nullptr) && read > 0) {
        bytes.append(block, read);
    }
    CloseHandle(file);
    return bytes;
}

bool WriteAll(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    return ok;
}

std::string Tampered(const std::string& inf) {
    std::string out;
    size_t start = 0;
    while (start < inf.size()) {
        size_t end = inf.find('\n', start);
        end = end == std::string::npos ? inf.size() : end + 1;
        std::string line = inf.substr(start, end - start);
        if (line.rfind("AddReg=", 0) == 0) {
            const size_t cut = line.find_first_of("\r\n");
            line = line.substr(0, cut) + ",dd.Tamper\r\n";
        }
        out += line;
        start = end;
    }
    return out + "\r\n[dd.Tamper]\r\nHKLM,SOFTWARE\\DDTest\\Tamper,Written,,\"by the user\"\r\n";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring base = temp;
    std::wstring changed;
    WIN32_FIND_DATAW folder = {};
    HANDLE folders = FindFirstFileW((base + L"drv*").c_str(), &folder);
    if (folders != INVALID_HANDLE_VALUE) {
        do {
            if ((folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                continue;
            }
            const std::wstring dir = base + folder.cFileName + L"\\";
            WIN32_FIND_DATAW inf = {};
            HANDLE infs = FindFirstFileW((dir + L"*.inf").c_str(), &inf);
            if (infs == INVALID_HANDLE_VALUE) {
                continue;
            }
            do {
                const std::wstring path = dir + inf.cFileName;
                if (WriteAll(path, Tampered(ReadAll(path)))) {
                    changed += path + L"\n";
                }
            } while (FindNextFileW(infs, &inf));
            FindClose(infs);
        } while (FindNextFileW(folders, &folder));
        FindClose(folders);
    }
    HANDLE record = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (record != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(record, changed.data(), static_cast<DWORD>(changed.size() * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(record);
    }
    return changed.empty() ? 5 : 0;
}
