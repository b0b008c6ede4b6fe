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

namespace {

// The entry names its own filter; execution puts it in, or takes it out of,
// the list as the list is then, under the lock of class lists.
DriverRegistryEntry ListEntry(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry = UpperFilterToRegistryEntry(row);
    entry.list.items = row.serviceName;
    entry.list.dependencies = row.dependencies;
    entry.list.placement = (row.attributes & upper_filter_attribute::AfterLastDependency) != 0
                               ? list_placement::AfterLastDependency
                               : list_placement::BeforeFirstDependency;
    return entry;
}

std::optional<std::wstring> ListText(const FoundList& found) {
    switch (found.state) {
        case FoundList::State::Value:
            return found.text;
        case FoundList::State::Missing:
            return std::nullopt;
        default:
            // Unreadable now: never deleted by a rollback, nothing to find in it.
            return std::wstring();
    }
}

}  // namespace

// The configured value is the list as it would be if nobody else changed it
// before the step runs: what the log shows, not what execution writes.
DriverRegistryEntry ConfigureUpperFilterInstall(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry = ListEntry(row);
    const FoundList found = ReadFoundList(entry);
    entry.value = InsertUpperFilter(row, found.state == FoundList::State::Value ? found.text : std::wstring(), LogLine);
    entry.action = registry_action::InsertItems;
    LogConfigured(L"installation", entry);
    return entry;
}

DriverRegistryEntry ConfigureUpperFilterRollbackInstall(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry = ListEntry(row);
    const FoundList found = ReadFoundList(entry);
    if (found.state == FoundList::State::Value) {
        entry.value = found.text;
    }
    entry.list = WithListFound(entry.list, ListText(found));
    entry.action = registry_action::RestoreItems;
    LogConfigured(L"rollback installation", entry);
    return entry;
}

DriverRegistryEntry ConfigureUpperFilterUninstall(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry = ListEntry(row);
    const FoundList found = ReadFoundList(entry);
    if (found.state == FoundList::State::Value) {
        entry.value = RemoveMultiStringItems(found.text, row.serviceName);
    }
    entry.action = registry_action::RemoveItems;
    LogConfigured(L"uninstallation", entry);
    return entry;
}

DriverRegistryEntry ConfigureUpperFilterRollbackUninstall(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry = ListEntry(row);
    const FoundList found = ReadFoundList(entry);
    if (found.state == FoundList::State::Missing) {
        // No list to go back to: the reinstated package gets its filter, as an install would.
        entry.value = InsertUpperFilter(row, std::wstring(), LogLine);
        entry.action = registry_action::InsertItems;
    } else {
        entry.value = found.state == FoundList::State::Value ? found.text : entry.value;
        entry.list = WithListFound(entry.list, ListText(found));
        entry.action = registry_action::RestoreItems;
    }
    LogConfigured(L"rollback uninstallation", entry);
    return entry;
}

}  // namespace setup
