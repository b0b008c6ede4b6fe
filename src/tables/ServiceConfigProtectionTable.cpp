#include "tables/ServiceConfigProtectionTable.h"

#include "tables/encoding/EntryText.h"
#include "tables/encoding/ListKeyCheck.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "msi/ComponentTerms.h"
#include "msi/Components.h"
#include "msi/Database.h"
#include "msi/Streams.h"

namespace setup {

namespace {

constexpr wchar_t kTable[] = L"ServiceConfigProtection";
constexpr wchar_t kQuery[] =
    L"SELECT `ServiceConfigProtection`, `Name`, `Binary_`, `UnprotectCommand`, `Attributes`, `Component_`, `Condition` "
    L"FROM `ServiceConfigProtection`";

bool IgnoresComponent(const ServiceConfigProtectionRecord& record) {
    return (record.attributes & service_protection_attribute::IgnoreComponent) != 0;
}

}  // namespace

std::vector<ServiceConfigProtectionRecord> ReadServiceConfigProtectionTable() {
    std::vector<ServiceConfigProtectionRecord> records;
    const auto view = OpenTableQuery(kTable, kQuery, MissingTable::Log);
    if (!view) {
        return records;
    }
    while (const std::shared_ptr<Record> row = view->Fetch()) {
        ServiceConfigProtectionRecord record;
        record.id = row->GetString(1);
        ValidateListKey(kTable, record.id, separators::List);
        record.name = FormatText(GetHandle(), row->GetString(2));
        record.zbin = ReadBinary(row->GetString(3));
        record.uptcmd = FormatText(GetHandle(), row->GetString(4));
        record.attributes = row->GetInteger(5, 0);
        record.cmp = FormatText(GetHandle(), row->GetString(6));
        record.condition = row->GetString(7);
        Log(L"The service protection configuration row '%s' was successfully read.", record.id);
        records.push_back(std::move(record));
    }
    return records;
}

bool ShouldProtectService(const ServiceConfigProtectionRecord& record) {
    const ComponentToDo toDo = GetComponentToDo(record.cmp);
    if (!IgnoresComponent(record)) {
        if (IsNullAction(toDo)) {
            Log(L"Skip protect service '%s' for null-action component.", record.id);
            return false;
        }
        if (!IsMarkedToInstall(toDo)) {
            Log(L"Skip protect service '%s'. Component is not marked to install.", record.id);
            return false;
        }
    }
    const int32_t condition = EvaluateCondition(record.condition);
    if (!ConditionPasses(condition)) {
        Log(L"Skip protect service '%s'. Condition is '%d'.", record.id, condition);
        return false;
    }
    Log(L"Need to protect service '%s'. Component to do %d.", record.id, static_cast<int32_t>(toDo));
    return true;
}

bool ShouldUnprotectService(const ServiceConfigProtectionRecord& record) {
    const ComponentToDo toDo = GetComponentToDo(record.cmp);
    if (!IgnoresComponent(record)) {
        if (IsNullAction(toDo)) {
            Log(L"Skip unprotect service '%s' for null-action component.", record.id);
            return false;
        }
        if (!IsMarkedToUninstallOrReinstall(toDo)) {
            Log(L"Skip unprotect service '%s'. Component is not marked to uninstall or reinstall.", record.id);
            return false;
        }
    }
    const int32_t condition = EvaluateCondition(record.condition);
    if (!ConditionPasses(condition)) {
        Log(L"Skip unprotect service '%s'. Condition is '%d'.", record.id, condition);
        return false;
    }
    if (record.uptcmd.empty()) {
        Log(L"Skip unprotect service '%s'. The unprotect command not specified.", record.id);
        return false;
    }
    Log(L"Need to unprotect service '%s'. Component to do %d.", record.id, static_cast<int32_t>(toDo));
    return true;
}

}  // namespace setup
