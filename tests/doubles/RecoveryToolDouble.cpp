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
//   image\       when this folder exists, dism behaves as DISM does with an
//                image's third-party drivers (for the commands no script
//                line answers): /Mount-Wim copies the image into the mount
//                directory, /Unmount-Wim /Commit copies it back, /Discard
//                drops it (both leave the mount directory empty, as DISM
//                does); /Add-Driver stores the INF as Windows\INF\oemN.inf
//                (the next N, counted in next-published-name.txt across
//                mounts: no name is given twice) with its original name kept
//                in the image's driver store folder; /Get-Drivers lists
//                "Published Name" and "Original File Name"; /Remove-Driver
//                accepts only a published name of the image and fails with 2
//                for anything else, an INF path included.

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <sstream>
#include <string>
#include <vector>

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

std::string ReadWholeFile(const std::wstring& path) {
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

std::string ReadScript(const std::wstring& folder) { return ReadWholeFile(folder + L"\\script.txt"); }

void WriteTextTo(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
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

// --- the image's third-party drivers -------------------------------------

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The quoted value after switchName ("/MountDir:" ...), or nothing.
std::wstring QuotedValue(const std::wstring& commandLine, const wchar_t* switchName) {
    const std::wstring key = std::wstring(switchName) + L"\"";
    const size_t start = commandLine.find(key);
    if (start == std::wstring::npos) {
        return std::wstring();
    }
    const size_t begin = start + key.size();
    const size_t end = commandLine.find(L'"', begin);
    return end == std::wstring::npos ? std::wstring() : commandLine.substr(begin, end - begin);
}

bool Has(const std::wstring& commandLine, const wchar_t* word) { return commandLine.find(word) != std::wstring::npos; }

void DeleteTree(const std::wstring& folder, bool keepFolder) {
    WIN32_FIND_DATAW entry = {};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring path = folder + L"\\" + name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                DeleteTree(path, false);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    if (!keepFolder) {
        RemoveDirectoryW(folder.c_str());
    }
}

bool CopyTree(const std::wstring& from, const std::wstring& to) {
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW entry = {};
    HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return IsFolder(from);
    }
    bool ok = true;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            ok = CopyTree(from + L"\\" + name, to + L"\\" + name) && ok;
        } else {
            ok = CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE) != FALSE && ok;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return ok;
}

void Print(const std::wstring& text) {
    const std::string narrow = Narrow(text.c_str());
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), narrow.data(), static_cast<DWORD>(narrow.size()), &written, nullptr);
}

int Fail(int code, const std::wstring& why) {
    Print(L"\r\nError: " + std::to_wstring(code) + L"\r\n\r\n" + why + L"\r\n");
    return code;
}

// N of "oemN.inf" (any case), or -1.
long PublishedNumber(const std::wstring& name) {
    if (name.size() < 8 || _wcsnicmp(name.c_str(), L"oem", 3) != 0 ||
        _wcsicmp(name.c_str() + name.size() - 4, L".inf") != 0) {
        return -1;
    }
    long number = 0;
    for (size_t i = 3; i + 4 < name.size(); ++i) {
        if (name[i] < L'0' || name[i] > L'9') {
            return -1;
        }
        number = number * 10 + (name[i] - L'0');
    }
    return number;
}

std::vector<std::wstring> PublishedNames(const std::wstring& image) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    HANDLE search = FindFirstFileW((image + L"\\Windows\\INF\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && PublishedNumber(entry.cFileName) >= 0) {
            names.emplace_back(entry.cFileName);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

// The driver store folder of a published name, in the image:
// Windows\System32\DriverStore\FileRepository\<original>_<published name>\<original>.
std::wstring RepositoryFolderOf(const std::wstring& image, const std::wstring& published, std::wstring* original) {
    const std::wstring repository = image + L"\\Windows\\System32\\DriverStore\\FileRepository";
    WIN32_FIND_DATAW entry = {};
    HANDLE search = FindFirstFileW((repository + L"\\*_" + published).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    FindClose(search);
    const std::wstring folder = entry.cFileName;
    if (original != nullptr) {
        *original = folder.substr(0, folder.size() - published.size() - 1);
    }
    return repository + L"\\" + folder;
}

void MakeFolders(const std::wstring& path) {
    for (size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

int AddDriver(const std::wstring& image, const std::wstring& inf) {
    const size_t slash = inf.find_last_of(L"\\/");
    const std::wstring original = slash == std::wstring::npos ? inf : inf.substr(slash + 1);
    const DWORD attributes = GetFileAttributesW(inf.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        original.size() < 5 || _wcsicmp(original.c_str() + original.size() - 4, L".inf") != 0) {
        return Fail(2, L"The driver package could not be found.");
    }
    // A published name is never given twice, a removed one included.
    const std::wstring counter = DoubleFolder() + L"\\next-published-name.txt";
    long next = std::strtol(ReadWholeFile(counter).c_str(), nullptr, 10);
    next = next > 0 ? next : 1;
    for (const std::wstring& name : PublishedNames(image)) {
        next = PublishedNumber(name) >= next ? PublishedNumber(name) + 1 : next;
    }
    const std::wstring published = L"oem" + std::to_wstring(next) + L".inf";
    WriteTextTo(counter, std::to_string(next + 1));
    const std::wstring folder = image + L"\\Windows\\System32\\DriverStore\\FileRepository";
    MakeFolders(folder);
    MakeFolders(image + L"\\Windows\\INF");
    const std::wstring repository = folder + L"\\" + original + L"_" + published;
    CreateDirectoryW(repository.c_str(), nullptr);
    if (!CopyFileW(inf.c_str(), (image + L"\\Windows\\INF\\" + published).c_str(), TRUE) ||
        !CopyFileW(inf.c_str(), (repository + L"\\" + original).c_str(), FALSE)) {
        return Fail(5, L"The driver package could not be installed.");
    }
    Print(L"Searching for driver packages to install...\r\nFound 1 driver package(s) to install.\r\nInstalling 1 of 1 - " +
          inf + L": The driver package was successfully installed.\r\nThe operation completed successfully.\r\n");
    return 0;
}

int RemoveDriver(const std::wstring& image, const std::wstring& driver) {
    // DISM takes a published name only: no path, no original file name.
    bool published = false;
    for (const std::wstring& name : PublishedNames(image)) {
        published = published || _wcsicmp(name.c_str(), driver.c_str()) == 0;
    }
    if (!published) {
        return Fail(2, L"The driver package could not be removed. Specify the published name of a third-party "
                       L"driver in the image (oem#.inf).");
    }
    const std::wstring repository = RepositoryFolderOf(image, driver, nullptr);
    if (!repository.empty()) {
        DeleteTree(repository, false);
    }
    DeleteFileW((image + L"\\Windows\\INF\\" + driver).c_str());
    Print(L"Removing 1 of 1 - " + driver + L": The driver package was successfully removed.\r\n"
          L"The operation completed successfully.\r\n");
    return 0;
}

int ListDrivers(const std::wstring& image) {
    std::wstring text = L"Obtaining list of 3rd party drivers from the driver store...\r\n\r\nDriver packages listing:\r\n";
    for (const std::wstring& name : PublishedNames(image)) {
        std::wstring original;
        RepositoryFolderOf(image, name, &original);
        text += L"\r\nPublished Name : " + name + L"\r\nOriginal File Name : " + original +
                L"\r\nInbox : No\r\nClass Name : System\r\n";
    }
    Print(text + L"\r\nThe operation completed successfully.\r\n");
    return 0;
}

int DriverStore(const std::wstring& stored, const std::wstring& commandLine) {
    if (Has(commandLine, L"/Get-MountedWimInfo")) {
        Print(L"No mounted images found.\r\nThe operation completed successfully.\r\n");
        return 0;
    }
    if (Has(commandLine, L"/Mount-Wim")) {
        const std::wstring mount = QuotedValue(commandLine, L"/MountDir:");
        if (!IsFolder(mount)) {
            return Fail(3, L"The mount directory does not exist.");
        }
        return CopyTree(stored, mount) ? 0 : Fail(5, L"The image could not be mounted.");
    }
    if (Has(commandLine, L"/Unmount-Wim")) {
        const std::wstring mount = QuotedValue(commandLine, L"/MountDir:");
        if (!IsFolder(mount)) {
            return Fail(0xc1420127, L"The specified image is not mounted.");
        }
        if (Has(commandLine, L"/Commit")) {
            DeleteTree(stored, true);
            if (!CopyTree(mount, stored)) {
                return Fail(5, L"The image could not be saved.");
            }
        }
        DeleteTree(mount, true);
        return 0;
    }
    const std::wstring image = QuotedValue(commandLine, L"/Image:");
    if (!IsFolder(image)) {
        return Fail(3, L"The image is not mounted.");
    }
    if (Has(commandLine, L"/Add-Driver")) {
        return AddDriver(image, QuotedValue(commandLine, L"/Driver:"));
    }
    if (Has(commandLine, L"/Remove-Driver")) {
        return RemoveDriver(image, QuotedValue(commandLine, L"/Driver:"));
    }
    if (Has(commandLine, L"/Get-Drivers")) {
        return ListDrivers(image);
    }
    return Fail(87, L"The option is unknown.");
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
    const std::wstring stored = folder + L"\\image";
    if (std::strcmp(DD_TOOL_NAME, "dism") == 0 && IsFolder(stored)) {
        return DriverStore(stored, commandLine);
    }
    return 0;
}
