#include "tables/DriverRegistry.h"

#include "tables/encoding/ListKeyCheck.h"
#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "msi/ComponentTerms.h"
#include "msi/Components.h"
#include "msi/Database.h"
#include "tables/MultiString.h"
#include "tables/RegistryAccess.h"
#include "tables/RegistryValueText.h"

namespace setup {

namespace {

constexpr wchar_t kTable[] = L"DriverRegistry";

void LogReadFailure(const Exception& e) { Log(L"%s Error 0x%x.", e.Message(), e.Code()); }

}  // namespace

std::vector<DriverRegistryEntry> DriverRegistryTable::RowsOf(const std::wstring& driverPackage) {
    if (!rows_) {
        std::map<std::wstring, std::vector<DriverRegistryEntry>> byPackage;
        const auto view = OpenTableQuery(kTable,
            L"SELECT `DriverRegistry`, `Root`, `Key`, `Name`, `Value`, `DriverPackage_`, `Condition` FROM `DriverRegistry`",
            MissingTable::Silent);
        while (const auto row = view ? view->Fetch() : nullptr) {
            DriverRegistryEntry entry;
            entry.id = row->GetString(1);
            entry.root = row->GetInteger(2, 0);
            entry.key = row->GetString(3);
            entry.name = row->GetString(4);
            entry.value = row->GetString(5);
            entry.driverPackage = row->GetString(6);
            entry.condition = row->GetString(7);
            byPackage[entry.driverPackage].push_back(std::move(entry));
        }
        rows_ = std::move(byPackage);
    }
    std::vector<DriverRegistryEntry> entries;
    const auto found = rows_->find(driverPackage);
    if (found == rows_->end()) {
        return entries;
    }
    // Checked and formatted when the package reads them, as a query of its own would.
    for (DriverRegistryEntry entry : found->second) {
        ValidateListKey(kTable, entry.id, separators::RegistryList);
        entry.name = FormatText(GetHandle(), entry.name);
        const std::wstring formatted = FormatText(GetHandle(), entry.value);
        const std::wstring value = KeepFileReadToRowText(entry.value, formatted);
        if (value != formatted) {
            Log(L"The value of registry row '%s' starts with '#v' only after formatting: it is written as text.", entry.id);
        }
        entry.value = value;
        Log(L"The registry row '%s' was successfully read.", entry.id);
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool ShouldInstallDriverRegistry(const DriverRegistryEntry& entry) {
    const int32_t condition = EvaluateCondition(entry.condition);
    if (ConditionPasses(condition)) {
        Log(L"Need to install '%s' driver registry.", entry.id);
        return true;
    }
    Log(L"Skip installation of driver registry '%s'. Condition is '%d'.", entry.id, condition);
    return false;
}

bool ShouldUninstallDriverRegistry(const DriverRegistryEntry& entry) {
    const int32_t condition = EvaluateCondition(entry.condition);
    if (ConditionPasses(condition)) {
        Log(L"Need to uninstall '%s' driver registry.", entry.id);
        return true;
    }
    Log(L"Skip uninstallation of driver registry '%s'. Condition is '%d'.", entry.id, condition);
    return false;
}

namespace {

// A row that cannot be written as the table says fails the scheduling action,
// before the script runs: in the script it would fail halfway through a
// package, or, for a malformed number, silently write another value.
void ValidateRegistryInstall(const DriverRegistryEntry& entry) {
    try {
        RootToRegistryKey(entry.root);
    } catch (const Exception& e) {
        throw Exception(e.Code(), L"Incorrect registry root of driver registry: " + entry.id, entry.id);
    }
    const bool isKey = entry.value.empty() && (entry.name == L"+" || entry.name == L"*" || entry.name == L"-");
    if (!isKey && !IsWellFormedRegistryValue(entry.value)) {
        throw Exception(hresult::InvalidArg, L"Incorrect value of driver registry: " + entry.id, entry.id);
    }
}

// The list placement of a merging install value, 0 for a value written whole.
int32_t MergePlacement(const std::wstring& value) {
    switch (GetMultiStringMerge(value)) {
        case MultiStringMerge::Append:
            return list_placement::Append;
        case MultiStringMerge::Prepend:
            return list_placement::Prepend;
        default:
            return 0;
    }
}

// A rollback that undoes only the row's own items, when the value found is a
// multi-string the items describe or is missing: the items are taken out
// again (a value left empty that did not exist is deleted) or put back where
// they stood. A missing value met by the rollback of an uninstall of a
// merging row is merged again, as its install would, and a row written whole
// is written again as configured. False leaves the entry
// to the whole-value restore of what was found.
bool ConfigureListRestore(DriverRegistryEntry& configured, int32_t placement, bool ofUninstall) {
    const FoundList found = ReadFoundList(configured);
    if (found.state == FoundList::State::Unreadable || (found.state == FoundList::State::Value && !found.listed)) {
        return false;
    }
    configured.list.items = configured.value;
    configured.list.placement = placement;
    if (found.state == FoundList::State::Missing && ofUninstall) {
        // A row written whole is written again as configured.
        configured.action = placement == 0 ? registry_action::Write : registry_action::InsertItems;
        return true;
    }
    configured.list = WithListFound(configured.list, found.state == FoundList::State::Value
                                                         ? std::optional<std::wstring>(found.text)
                                                         : std::nullopt);
    configured.action = registry_action::RestoreItems;
    if (found.state == FoundList::State::Value) {
        configured.value = found.text;
    }
    return true;
}

}  // namespace

DriverRegistryEntry ConfigureRegistryInstall(const DriverRegistryEntry& entry) {
    ValidateRegistryInstall(entry);
    DriverRegistryEntry configured = entry;
    configured.action = registry_action::Write;
    if (const int32_t placement = MergePlacement(entry.value)) {
        // Merged when the step runs, into the value as it is then; the value
        // configured here is what the log shows.
        configured.action = registry_action::InsertItems;
        configured.list.items = entry.value;
        configured.list.placement = placement;
    }
    try {
        switch (GetMultiStringMerge(configured.value)) {
            case MultiStringMerge::Append:
                configured.value = AppendMultiString(ReadCurrentRegistryValue(configured), configured.value);
                break;
            case MultiStringMerge::Prepend:
                configured.value = PrependMultiString(ReadCurrentRegistryValue(configured), configured.value);
                break;
            case MultiStringMerge::Replace:
                break;
        }
    } catch (const Exception& e) {
        LogReadFailure(e);
        configured.value = entry.value;
    }
    Log(L"Configured installation of driver registry %s, %s. Action: %d.", configured.key, configured.name, configured.action);
    return configured;
}

DriverRegistryEntry ConfigureRegistryRollbackInstall(const DriverRegistryEntry& entry) {
    DriverRegistryEntry configured = entry;
    const int32_t placement = MergePlacement(entry.value);
    if (placement != 0 && ConfigureListRestore(configured, placement, false)) {
        Log(L"Configured rollback installation of driver registry %s, %s. Action: %d.", configured.key, configured.name,
            configured.action);
        return configured;
    }
    try {
        const RestoringValue found = ReadRestoringRegistryValue(configured);
        configured.value = found.text;
        configured.rawType = found.rawType;
        configured.action = registry_action::Write;
    } catch (const Exception& e) {
        LogReadFailure(e);
        configured.action = registry_action::Remove;
    }
    Log(L"Configured rollback installation of driver registry %s, %s. Action: %d.", configured.key, configured.name,
        configured.action);
    return configured;
}

DriverRegistryEntry ConfigureRegistryUninstall(const DriverRegistryEntry& entry) {
    DriverRegistryEntry configured = entry;
    configured.action = registry_action::Remove;
    if (configured.value.find(kMultiStringSeparator) != std::wstring::npos) {
        // Only the row's own items go, from the value as it is when the step runs.
        configured.action = registry_action::RemoveItems;
        configured.list.items = entry.value;
        try {
            configured.value = RemoveMultiStringItems(ReadCurrentRegistryValue(configured), configured.value);
        } catch (const Exception& e) {
            LogReadFailure(e);
            configured.value = entry.value;
        }
    }
    Log(L"Configured uninstallation of driver registry %s, %s. Action: %d.", configured.key, configured.name, configured.action);
    return configured;
}

DriverRegistryEntry ConfigureRegistryRollbackUninstall(const DriverRegistryEntry& entry) {
    DriverRegistryEntry configured = entry;
    const bool listed = entry.value.find(kMultiStringSeparator) != std::wstring::npos;
    if (listed && ConfigureListRestore(configured, MergePlacement(entry.value), true)) {
        Log(L"Configured rollback uninstallation of driver registry %s, %s. Action: %d.", configured.key, configured.name,
            configured.action);
        return configured;
    }
    configured.action = registry_action::Write;
    try {
        const RestoringValue found = ReadRestoringRegistryValue(configured);
        configured.value = found.text;
        configured.rawType = found.rawType;
    } catch (const Exception& e) {
        LogReadFailure(e);
    }
    Log(L"Configured rollback uninstallation of driver registry %s, %s. Action: %d.", configured.key, configured.name,
        configured.action);
    return configured;
}

}  // namespace setup
