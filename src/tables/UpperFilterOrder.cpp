#include "tables/UpperFilterOrder.h"

#include <algorithm>
#include <vector>

#include "frame/Format.h"
#include "system/PathText.h"
#include "tables/MultiString.h"

namespace setup {

DriverRegistryEntry UpperFilterToRegistryEntry(const DriverUpperFilterEntry& row) {
    DriverRegistryEntry entry;
    entry.id = L"upf_" + row.id;
    entry.root = registry_root::LocalMachine;
    entry.key = L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + row.classGuid;
    entry.name = L"UpperFilters";
    entry.value = std::wstring(kMultiStringSeparator);
    entry.driverPackage = row.driverPackage;
    entry.condition = row.condition;
    entry.action = registry_action::None;
    return entry;
}

std::wstring InsertUpperFilter(const DriverUpperFilterEntry& row, const std::wstring& current, const LogLineSink& log) {
    const std::wstring separator(kMultiStringSeparator);
    std::vector<std::wstring> items = SplitString(current, separator);
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const std::wstring& item) { return item == row.serviceName || item.empty(); }),
                items.end());

    // After the last dependency is the mirror image of before the first one.
    const bool afterLast = (row.attributes & upper_filter_attribute::AfterLastDependency) != 0;
    if (afterLast) {
        std::reverse(items.begin(), items.end());
    }
    const std::vector<std::wstring> dependencies = SplitString(row.dependencies, separator);
    const auto anchor = std::find_if(items.begin(), items.end(), [&](const std::wstring& item) {
        return std::find(dependencies.begin(), dependencies.end(), item) != dependencies.end();
    });
    std::wstring line;
    if (anchor != items.end()) {
        line = text::Format(L"Insert driver '%s' before %s.", row.serviceName, *anchor);
        items.insert(anchor, row.serviceName);
    } else {
        line = text::Format(L"Insert driver '%s' to front of UpperFilters.", row.serviceName);
        items.insert(items.begin(), row.serviceName);
    }
    if (log) {
        log(line);
    }
    if (afterLast) {
        std::reverse(items.begin(), items.end());
    }
    return NormalizeMultiString(JoinItems(items, kMultiStringSeparator));
}

}  // namespace setup
