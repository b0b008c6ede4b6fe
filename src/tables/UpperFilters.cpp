#include "tables/UpperFilters.h"

#include "tables/encoding/ListKeyCheck.h"
#include "frame/Exception.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "msi/Database.h"
#include "tables/MultiString.h"
#include "tables/RegistryAccess.h"
#include "tables/UpperFilterOrder.h"

namespace setup {

namespace {

constexpr wchar_t kTable[] = L"DriverUpperFilter";

void LogLine(const std::wstring& line) { LogText(line); }

void LogReadFailure(const Exception& e) { Log(L"%s Error 0x%x.", e.Message(), e.Code()); }

void LogConfigured(const wchar_t* what, const DriverRegistryEntry& entry) {
    Log(L"Configured %s of upper filter %s, %s, %s. Action: %d.", std::wstring(what), entry.key, entry.name, entry.value,
        entry.action);
}

}  // namespace

std::vector<DriverUpperFilterEntry> DriverUpperFilterTable::RowsOf(const std::wstring& driverPackage) {
    if (!rows_) {
        std::map<std::wstring, std::vector<DriverUpperFilterEntry>> byPackage;
        const auto view = OpenTableQuery(kTable,
            L"SELECT `DriverUpperFilter`, `ClassGuid`, `ServiceName`, `Dependencies`, `Attributes`, `DriverPackage_`, `Condition` "
            L"FROM `DriverUpperFilter`", MissingTable::Silent);
        while (const auto record = view ? view->Fetch() : nullptr) {
            DriverUpperFilterEntry row;
            row.id = record->GetString(1);
            row.classGuid = record->GetString(2);
            row.serviceName = record->GetString(3);
            row.dependencies = record->GetString(4);
            row.attributes = static_cast<uint32_t>(record->GetInteger(5, 0));
            row.driverPackage = record->GetString(6);
            row.condition = record->GetString(7);
            byPackage[row.driverPackage].push_back(std::move(row));
        }
        rows_ = std::move(byPackage);
    }
    std::vector<DriverUpperFilterEntry> rows;
    const auto found = rows_->find(driverPackage);
    if (found == rows_->end()) {
        return rows;
    }
    for (const DriverUpperFilterEntry& row : found->second) {
        // The row travels as the registry entry "upf_" + key.
        ValidateListKey(kTable, row.id, separators::RegistryList);
        Log(L"The upper filter row '%s' was successfully read.", row.id);
        rows.push_back(row);
    }
    return rows;
}

DriverRegistryEntry ConfigureUpperFilterInstall(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry = UpperFilterToRegistryEntry(row);
    try {
        entry.value = InsertUpperFilter(row, ReadCurrentRegistryValue(entry), LogLine);
    } catch (const Exception& e) {
        LogReadFailure(e);
        entry.value = InsertUpperFilter(row, std::wstring(), LogLine);
    }
    entry.action = registry_action::Write;
    LogConfigured(L"installation", entry);
    return entry;
}

DriverRegistryEntry ConfigureUpperFilterRollbackInstall(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry = UpperFilterToRegistryEntry(row);
    try {
        entry.value = ReadCurrentRegistryValue(entry);
        entry.action = registry_action::Write;
    } catch (const Exception& e) {
        LogReadFailure(e);
        entry.action = registry_action::None;
    }
    LogConfigured(L"rollback installation", entry);
    return entry;
}

DriverRegistryEntry ConfigureUpperFilterUninstall(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry = UpperFilterToRegistryEntry(row);
    try {
        entry.value = RemoveMultiStringItems(ReadCurrentRegistryValue(entry), row.serviceName);
        entry.action = registry_action::Write;
    } catch (const Exception& e) {
        LogReadFailure(e);
        entry.action = registry_action::None;
    }
    LogConfigured(L"uninstallation", entry);
    return entry;
}

DriverRegistryEntry ConfigureUpperFilterRollbackUninstall(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry = UpperFilterToRegistryEntry(row);
    try {
        entry.value = ReadCurrentRegistryValue(entry);
    } catch (const Exception& e) {
        LogReadFailure(e);
        entry.value = InsertUpperFilter(row, std::wstring(), LogLine);
    }
    entry.action = registry_action::Write;
    LogConfigured(L"rollback uninstallation", entry);
    return entry;
}

}  // namespace setup
