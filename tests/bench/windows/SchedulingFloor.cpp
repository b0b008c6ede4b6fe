// The floor of the scheduling benchmark (tests/bench/bench_scheduling.py): a
// custom action that makes only the installer calls the immediate driver
// actions cannot do without for the same DriverPackage and DriverRegistry
// rows, and nothing else:
//
//   - one view over each table, every row fetched once;
//   - every formatted field (InfPath, CatPath, Name, Value) formatted once;
//   - every condition (the package's, each registry row's) evaluated once;
//   - the component's states asked once, its ComponentId read once (from
//     one view over Component) and the product lookup that says whether it
//     is installed; on removal also where it is installed;
//   - one information message per line the product logs for the row (the
//     count comes in DDFLOOR_LINES_INSTALL or DDFLOOR_LINES_UNINSTALL,
//     measured on the product);
//   - per action that selects packages: the package list property, and for
//     each of the two scheduled actions its data property, the progress ticks and the
//     MsiDoAction call.
//
// BenchMark writes the system time in 100 ns units to the log, so that the
// benchmark can time an action between two marks; BenchNoOp stands in for
// every script-phase action, so the script does no work at all.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <map>
#include <string>
#include <vector>

namespace {

std::wstring RecordString(MSIHANDLE record, UINT field) {
    wchar_t small[128];
    DWORD size = 128;
    UINT rc = MsiRecordGetStringW(record, field, small, &size);
    if (rc == ERROR_SUCCESS) {
        return std::wstring(small, size);
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(size) + 1);
    size = static_cast<DWORD>(buffer.size());
    MsiRecordGetStringW(record, field, buffer.data(), &size);
    return std::wstring(buffer.data(), size);
}

std::wstring Property(MSIHANDLE installer, const wchar_t* name) {
    wchar_t small[64];
    DWORD size = 64;
    if (MsiGetPropertyW(installer, name, small, &size) == ERROR_SUCCESS) {
        return std::wstring(small, size);
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(size) + 1);
    size = static_cast<DWORD>(buffer.size());
    MsiGetPropertyW(installer, name, buffer.data(), &size);
    return std::wstring(buffer.data(), size);
}

// One MsiFormatRecordW call when the text fits the first buffer.
std::wstring Format(MSIHANDLE installer, const std::wstring& text) {
    if (text.empty()) {
        return text;
    }
    MSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, text.c_str());
    std::vector<wchar_t> buffer(512);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (MsiFormatRecordW(installer, record, buffer.data(), &size) == ERROR_MORE_DATA) {
        buffer.resize(static_cast<size_t>(size) + 1);
        size = static_cast<DWORD>(buffer.size());
        MsiFormatRecordW(installer, record, buffer.data(), &size);
    }
    MsiCloseHandle(record);
    return std::wstring(buffer.data(), size);
}

void Say(MSIHANDLE installer, const std::wstring& text) {
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, text.c_str());
    MsiProcessMessage(installer, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// Every row of the query, each as its string fields.
std::vector<std::vector<std::wstring>> ReadTable(MSIHANDLE database, const wchar_t* query, UINT fields) {
    std::vector<std::vector<std::wstring>> rows;
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewW(database, query, &view) != ERROR_SUCCESS) {
        return rows;
    }
    MsiViewExecute(view, 0);
    MSIHANDLE record = 0;
    while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        std::vector<std::wstring> row;
        for (UINT field = 1; field <= fields; ++field) {
            row.push_back(RecordString(record, field));
        }
        rows.push_back(std::move(row));
        MsiCloseHandle(record);
    }
    MsiCloseHandle(view);
    return rows;
}

void Schedule(MSIHANDLE installer, const std::wstring& action, const std::wstring& data, int ticks) {
    MsiSetPropertyW(installer, action.c_str(), data.c_str());
    MSIHANDLE progress = MsiCreateRecord(3);
    MsiRecordSetInteger(progress, 1, 3);
    MsiRecordSetInteger(progress, 2, ticks);
    MsiRecordSetInteger(progress, 3, 0);
    MsiProcessMessage(installer, INSTALLMESSAGE_PROGRESS, progress);
    MsiCloseHandle(progress);
    MsiDoActionW(installer, action.c_str());
}

UINT Floor(MSIHANDLE installer, const char* name, bool removing, bool schedules) {
    const bool uninstalls = removing || !schedules;
    const std::wstring stem = uninstalls ? L"UninstallDrivers" : L"InstallDrivers";
    const int lines = _wtoi(Property(installer, uninstalls ? L"DDFLOOR_LINES_UNINSTALL" : L"DDFLOOR_LINES_INSTALL").c_str());
    MSIHANDLE database = MsiGetActiveDatabase(installer);
    const auto packages = ReadTable(database,
        L"SELECT `DriverPackage`, `Component_`, `InfPath`, `CatPath`, `Condition` FROM `DriverPackage`", 5);
    const auto registry = ReadTable(database,
        L"SELECT `DriverRegistry`, `Name`, `Value`, `DriverPackage_`, `Condition` FROM `DriverRegistry`", 5);
    const auto components = ReadTable(database, L"SELECT `Component`, `ComponentId` FROM `Component`", 2);
    MsiCloseHandle(database);

    std::map<std::wstring, std::vector<const std::vector<std::wstring>*>> registryOf;
    for (const auto& row : registry) {
        registryOf[row[3]].push_back(&row);
    }
    std::map<std::wstring, std::wstring> guidOf;
    for (const auto& row : components) {
        guidOf[row[0]] = row[1];
    }

    const std::wstring prefix = std::wstring(name, name + strlen(name)) + L" (00:0000) [\\[]00:00:00:000[\\]]: ";
    std::wstring list;
    std::wstring data;
    for (const auto& package : packages) {
        const std::wstring inf = Format(installer, package[2]);
        const std::wstring cat = Format(installer, package[3]);
        const int condition = MsiEvaluateConditionW(installer, package[4].c_str());
        INSTALLSTATE installed = INSTALLSTATE_UNKNOWN;
        INSTALLSTATE action = INSTALLSTATE_UNKNOWN;
        MsiGetComponentStateW(installer, package[1].c_str(), &installed, &action);
        wchar_t product[39] = {};
        const std::wstring& guid = guidOf[package[1]];
        const bool present = MsiGetProductCodeW(guid.c_str(), product) == ERROR_SUCCESS;
        std::wstring location;
        if (removing && present) {
            wchar_t path[MAX_PATH] = {};
            DWORD size = MAX_PATH;
            MsiLocateComponentW(guid.c_str(), path, &size);
            location = path;
        }
        std::wstring entries;
        for (const auto* entry : registryOf[package[0]]) {
            const std::wstring valueName = Format(installer, (*entry)[1]);
            const std::wstring value = Format(installer, (*entry)[2]);
            const int kept = MsiEvaluateConditionW(installer, (*entry)[4].c_str());
            entries += (*entry)[0] + L"(" + valueName + L")" + value + L"<" + std::to_wstring(kept) + L">";
        }
        const std::wstring facts = package[0] + L" " + inf + L" " + cat + L" " + std::to_wstring(condition) + L" " +
                                   std::to_wstring(installed) + L" " + std::to_wstring(action) + L" " + location;
        for (int line = 0; line < lines; ++line) {
            Say(installer, prefix + L"The package row '" + facts + L"' line " + std::to_wstring(line) + L".");
        }
        list += package[0] + L";";
        data += L"id=" + package[0] + L"|cmp=" + package[1] + L"|inf=" + inf + L"|cat=" + cat + L"|cond=" +
                package[4] + L"|reg=" + entries + L";";
    }
    if (!schedules) {
        return ERROR_SUCCESS;
    }
    const int ticks = static_cast<int>(packages.size()) * 10000000;
    MsiSetPropertyW(installer, removing ? L"DriversToUninstall" : L"DriversToInstall", list.c_str());
    Schedule(installer, stem + L"Rollback_x64", data, ticks);
    Schedule(installer, stem + L"Deferred_x64", data, ticks);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall FloorInstallDrivers(MSIHANDLE installer) {
    return Floor(installer, "FloorInstallDrivers", false, true);
}

extern "C" __declspec(dllexport) UINT __stdcall FloorUninstallDrivers(MSIHANDLE installer) {
    // As the product's: during an installation nothing is selected for removal.
    const bool removing = !Property(installer, L"REMOVE").empty();
    return Floor(installer, "FloorUninstallDrivers", removing, removing);
}

extern "C" __declspec(dllexport) UINT __stdcall BenchMark(MSIHANDLE installer) {
    FILETIME now = {};
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    Say(installer, L"BenchMark: " + std::to_wstring(ticks));
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall BenchNoOp(MSIHANDLE) { return ERROR_SUCCESS; }
