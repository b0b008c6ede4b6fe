#include "tables/CryptCatalogTable.h"

#include "tables/encoding/EntryText.h"
#include "tables/encoding/ListKeyCheck.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "msi/ComponentTerms.h"
#include "msi/Components.h"
#include "msi/Database.h"

namespace setup {

namespace {

constexpr wchar_t kTable[] = L"CryptCatalog";
constexpr wchar_t kQuery[] = L"SELECT `CryptCatalog`, `Name`, `Path`, `Component_`, `Condition` FROM `CryptCatalog`";

}  // namespace

std::vector<CryptCatalogRecord> ReadCryptCatalogTable() {
    std::vector<CryptCatalogRecord> records;
    const auto view = OpenTableQuery(kTable, kQuery, MissingTable::Log);
    if (!view) {
        return records;
    }
    while (const std::shared_ptr<Record> row = view->Fetch()) {
        CryptCatalogRecord record;
        record.id = row->GetString(1);
        ValidateListKey(kTable, record.id, separators::List);
        record.name = FormatText(GetHandle(), row->GetString(2));
        record.path = FormatText(GetHandle(), row->GetString(3));
        record.cmp = FormatText(GetHandle(), row->GetString(4));
        record.condition = row->GetString(5);
        Log(L"The catalog row '%s' was successfully read.", record.id);
        records.push_back(std::move(record));
    }
    return records;
}

bool ShouldInstallCryptCatalog(const CryptCatalogRecord& record) {
    const ComponentToDo toDo = GetComponentToDo(record.cmp);
    if (IsNullAction(toDo)) {
        Log(L"Skip installation of crypt catalog '%s' for null-action component.", record.id);
        return false;
    }
    if (!IsMarkedToInstall(toDo)) {
        Log(L"Skip installation of '%s' crypt catalog. Component is not marked to install.", record.id);
        return false;
    }
    const int32_t condition = EvaluateCondition(record.condition);
    if (ConditionPasses(condition)) {
        Log(L"Need to install '%s' crypt catalog. Component to do %d.", record.id, static_cast<int32_t>(toDo));
        return true;
    }
    Log(L"Skip installation of '%s' crypt catalog. Condition is '%d'.", record.id, condition);
    return false;
}

bool ShouldUninstallCryptCatalog(const CryptCatalogRecord& record) {
    const ComponentToDo toDo = GetComponentToDo(record.cmp);
    if (IsNullAction(toDo)) {
        Log(L"Skip uninstallation of crypt catalog '%s' for null-action component.", record.id);
        return false;
    }
    if (!IsMarkedToUninstall(toDo)) {
        Log(L"Skip uninstallation of '%s' crypt catalog. Component is not marked to uninstall.", record.id);
        return false;
    }
    const ComponentState state = GetComponentState(record.cmp);
    if (state.result != ERROR_SUCCESS) {
        Log(L"Failed to get '%s' component state. Error: 0x%x.", record.id, HResultFromWin32(state.result));
        return false;
    }
    if (IsFileAbsent(state.installed, state.action)) {
        Log(L"Skip uninstallation of '%s' crypt catalog. Component action is FileAbsent.", record.id);
        return false;
    }
    const int32_t condition = EvaluateCondition(record.condition);
    if (ConditionPasses(condition)) {
        Log(L"Need to uninstall '%s' crypt catalog. Component to do %d.", record.id, static_cast<int32_t>(toDo));
        return true;
    }
    Log(L"Skip uninstallation of '%s' crypt catalog. Condition is '%d'.", record.id, condition);
    return false;
}

}  // namespace setup
