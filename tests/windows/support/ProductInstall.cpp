#include "windows/support/ProductInstall.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace ddtest {

namespace {

struct ProcessEntry {
    DWORD id;
    DWORD parent;
    std::wstring name;
};

std::vector<ProcessEntry> Snapshot(DWORD* error = nullptr) {
    std::vector<ProcessEntry> out;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        if (error != nullptr) {
            *error = GetLastError();
        }
        return out;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID != GetCurrentProcessId()) {
            out.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
        }
    }
    CloseHandle(snapshot);
    return out;
}

// The process, then everything it started: ended first, it cannot go on
// (and write more log) when its children die.
void EndProcessTree(DWORD root, const std::vector<ProcessEntry>& processes) {
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, root)) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
    for (const ProcessEntry& p : processes) {
        if (p.parent == root && p.id != root) {
            EndProcessTree(p.id, processes);
        }
    }
}

// The file after "/l*v" (quoted or not) in an msiexec command line.
std::wstring VerboseLogOf(const std::wstring& arguments) {
    size_t at = std::wstring::npos;
    for (const wchar_t* option : {L"/l*v", L"/L*V", L"/l*", L"/L*"}) {
        at = arguments.find(option);
        if (at != std::wstring::npos) {
            at = arguments.find_first_not_of(L' ', arguments.find(L' ', at));
            break;
        }
    }
    if (at == std::wstring::npos) {
        return std::wstring();
    }
    if (arguments[at] == L'"') {
        return arguments.substr(at + 1, arguments.find(L'"', at + 1) - at - 1);
    }
    return arguments.substr(at, arguments.find(L' ', at) - at);
}

std::string LogTail(const std::wstring& path, size_t lines) {
    // msiexec still holds the log open for writing.
    HANDLE file = path.empty() ? INVALID_HANDLE_VALUE
                               : CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "(no verbose log " + Narrow(path) + ": error " + std::to_string(GetLastError()) + ")\n";
    }
    std::vector<unsigned char> raw(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!raw.empty() && !ReadFile(file, raw.data(), static_cast<DWORD>(raw.size()), &read, nullptr)) {
        read = 0;
    }
    CloseHandle(file);
    raw.resize(read);
    std::string text;
    if (raw.size() >= 2 && raw[0] == 0xFF && raw[1] == 0xFE) {
        std::wstring wide;
        for (size_t i = 2; i + 1 < raw.size(); i += 2) {
            wide.push_back(static_cast<wchar_t>(raw[i] | (raw[i + 1] << 8)));
        }
        text = Narrow(wide);
    } else {
        text.assign(raw.begin(), raw.end());
    }
    size_t begin = text.size();
    for (size_t n = 0; begin > 0 && n <= lines; --begin) {
        n += text[begin - 1] == '\n' ? 1 : 0;
    }
    return text.substr(begin);
}

}  // namespace

std::vector<std::wstring> RunningProcesses() {
    std::vector<std::wstring> out;
    for (const ProcessEntry& p : Snapshot()) {
        out.push_back(std::to_wstring(p.id) + L" " + std::to_wstring(p.parent) + L" " + p.name);
    }
    return out;
}

DWORD RunMsiexec(const std::wstring& arguments, DWORD timeLimitMs) {
    std::wstring command = L"msiexec.exe " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return GetLastError();
    }
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, timeLimitMs) == WAIT_TIMEOUT) {
        std::ostringstream report;
        report << "msiexec did not finish within " << timeLimitMs / 1000 << " s: " << Narrow(command) << "\n"
               << "processes still running (pid parent name):\n";
        DWORD error = 0;
        std::vector<ProcessEntry> processes = Snapshot(&error);
        for (int retry = 0; processes.empty() && retry < 3; ++retry) {
            Sleep(200);
            processes = Snapshot(&error);
        }
        if (processes.empty()) {
            report << "  (no process list: error " << error << ")\n";
        }
        for (const ProcessEntry& p : processes) {
            report << "  " << p.id << " " << p.parent << " " << Narrow(p.name) << "\n";
        }
        // The installer's own processes (its custom-action hosts) are
        // children of the service, not of this msiexec: end every msiexec.
        EndProcessTree(process.dwProcessId, processes);
        for (const ProcessEntry& p : processes) {
            if (_wcsicmp(p.name.c_str(), L"msiexec.exe") == 0) {
                EndProcessTree(p.id, processes);
            }
        }
        report << "ended msiexec and the processes it started\n";
        // Readable only now: msiexec held the log open without sharing it.
        report << "last lines of the verbose log:\n" << LogTail(VerboseLogOf(arguments), 30);
        ADD_FAILURE() << report.str();
        code = kMsiexecTimedOut;
    } else {
        GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

std::vector<TableText> DriverProductTables(const std::string& componentGuid,
                                           const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<std::vector<std::string>> fileRows;
    int sequence = 0;
    for (const auto& [name, content] : files) {
        // 8192: not compressed.
        fileRows.push_back({name, "Driver", name, std::to_string(content.size()), "", "", "8192", std::to_string(++sequence)});
    }
    return {
        MakeTable("Directory", {"Directory", "Directory_Parent", "DefaultDir"}, {"s72", "S72", "l255"}, {"Directory"},
                  {{"TARGETDIR", "", "SourceDir"}, {"INSTALLDIR", "TARGETDIR", "Drivers"}}),
        MakeTable("Component", {"Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"},
                  {"s72", "S38", "s72", "i2", "S255", "S72"}, {"Component"},
                  {{"Driver", componentGuid, "INSTALLDIR", "0", "", files.front().first}}),
        MakeTable("Feature",
                  {"Feature", "Feature_Parent", "Title", "Description", "Display", "Level", "Directory_", "Attributes"},
                  {"s38", "S38", "L64", "L255", "I2", "i2", "S72", "i2"}, {"Feature"},
                  {{"Main", "", "Main", "", "1", "1", "INSTALLDIR", "0"}}),
        MakeTable("FeatureComponents", {"Feature_", "Component_"}, {"s38", "s72"}, {"Feature_", "Component_"}, {{"Main", "Driver"}}),
        MakeTable("File", {"File", "Component_", "FileName", "FileSize", "Version", "Language", "Attributes", "Sequence"},
                  {"s72", "s72", "l255", "i4", "S72", "S20", "I2", "i4"}, {"File"}, fileRows),
        MakeTable("Media", {"DiskId", "LastSequence", "DiskPrompt", "Cabinet", "VolumeLabel", "Source"},
                  {"i2", "i4", "L64", "S255", "S32", "S72"}, {"DiskId"}, {{"1", std::to_string(sequence), "", "", "", ""}}),
        MakeTable("InstallExecuteSequence", {"Action", "Condition", "Sequence"}, {"s72", "S255", "I2"}, {"Action"},
                  {{"CostInitialize", "", "800"},
                   {"FileCost", "", "900"},
                   {"CostFinalize", "", "1000"},
                   {"InstallValidate", "", "1400"},
                   {"InstallInitialize", "", "1500"},
                   {"ProcessComponents", "", "1600"},
                   {"RemoveFiles", "", "3500"},
                   {"InstallFiles", "", "4000"},
                   {"RegisterProduct", "", "6100"},
                   {"PublishFeatures", "", "6300"},
                   {"PublishProduct", "", "6400"},
                   {"InstallFinalize", "", "6600"}}),
    };
}

std::wstring BuildDriverProduct(const TempDir& dir, const std::string& productCode, const std::string& componentGuid,
                                const std::vector<std::pair<std::string, std::string>>& files) {
    CreateDirectoryW((dir / L"Drivers").c_str(), nullptr);
    for (const auto& [name, content] : files) {
        // Wine reads uncompressed files of a package marked compressed (as
        // the fixture's are) from the source root; Windows from their folder.
        WriteTextFile(dir / (L"Drivers\\" + Widen(name)), content);
        WriteTextFile(dir / Widen(name), content);
    }
    return BuildDatabase(dir / L"pkg.msi", DriverProductTables(componentGuid, files),
                         {{"ProductCode", productCode}, {"ALLUSERS", "1"}});
}

std::wstring InstallDriverProduct(const TempDir& dir, const std::string& productCode, const std::string& componentGuid,
                                  const std::vector<std::pair<std::string, std::string>>& files, const std::wstring& extraArguments) {
    const std::wstring package = BuildDriverProduct(dir, productCode, componentGuid, files);
    const std::wstring target = dir / L"target";
    const std::wstring log = dir / L"install.log";
    const DWORD code = RunMsiexec(L"/i \"" + package + L"\" /qn TARGETDIR=\"" + target + L"\\\" /l*v \"" + log + L"\"" +
                                   (extraArguments.empty() ? std::wstring() : L" " + extraArguments));
    if (code != 0) {
        const std::vector<unsigned char> text = ReadBinaryFile(log);
        std::cout << "msiexec /i failed with " << code << "\n" << std::string(text.begin(), text.end()) << std::endl;
        return std::wstring();
    }
    return target + L"\\Drivers";
}

}  // namespace ddtest
