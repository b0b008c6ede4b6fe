#include "windows/support/ProductInstall.h"

#include <iostream>

namespace ddtest {

DWORD RunMsiexec(const std::wstring& arguments) {
    std::wstring command = L"msiexec.exe " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return GetLastError();
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
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
                                  const std::vector<std::pair<std::string, std::string>>& files) {
    const std::wstring package = BuildDriverProduct(dir, productCode, componentGuid, files);
    const std::wstring target = dir / L"target";
    const std::wstring log = dir / L"install.log";
    const DWORD code = RunMsiexec(L"/i \"" + package + L"\" /qn TARGETDIR=\"" + target + L"\\\" /l*v \"" + log + L"\"");
    if (code != 0) {
        const std::vector<unsigned char> text = ReadBinaryFile(log);
        std::cout << "msiexec /i failed with " << code << "\n" << std::string(text.begin(), text.end()) << std::endl;
        return std::wstring();
    }
    return target + L"\\Drivers";
}

}  // namespace ddtest
