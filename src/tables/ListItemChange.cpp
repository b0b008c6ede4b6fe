#include "tables/ListItemChange.h"

#include <algorithm>
#include <vector>

#include "system/PathText.h"
#include "tables/DriverUpperFilterEntry.h"
#include "tables/MultiString.h"
#include "tables/UpperFilterOrder.h"

namespace setup {

namespace {

using Items = std::vector<std::wstring>;

Items NonEmptyItems(const std::wstring& text) {
    Items items = SplitString(text, std::wstring(kMultiStringSeparator));
    items.erase(std::remove_if(items.begin(), items.end(), [](const std::wstring& item) { return item.empty(); }),
                items.end());
    return items;
}

std::wstring ListText(const Items& items) { return NormalizeMultiString(JoinItems(items, kMultiStringSeparator)); }

// The first place where the run stands in the list, as RemoveMultiStringItems finds it.
Items::iterator FindRun(Items& items, const Items& run) {
    if (run.empty()) {
        return items.end();
    }
    return std::search(items.begin(), items.end(), run.begin(), run.end());
}

bool TakeOutRun(Items& items, const Items& run) {
    const auto found = FindRun(items, run);
    if (found == items.end()) {
        return false;
    }
    items.erase(found, found + static_cast<std::ptrdiff_t>(run.size()));
    return true;
}

bool IsUpperFilterPlacement(int32_t placement) {
    return placement == list_placement::BeforeFirstDependency || placement == list_placement::AfterLastDependency;
}

}  // namespace

ListItemChange WithListFound(ListItemChange change, const std::optional<std::wstring>& found) {
    change.valueFound = found.has_value();
    change.itemsFound = false;
    change.previous.clear();
    change.position = 0;
    if (!found) {
        return change;
    }
    Items items = NonEmptyItems(*found);
    const auto run = FindRun(items, NonEmptyItems(change.items));
    if (run != items.end()) {
        change.itemsFound = true;
        change.position = static_cast<int32_t>(run - items.begin());
        if (run != items.begin()) {
            change.previous = *(run - 1);
        }
    }
    return change;
}

ListResult InsertListItems(const ListItemChange& change, const std::optional<std::wstring>& current,
                           const LogLineSink& log) {
    const std::wstring list = current.value_or(std::wstring());
    ListResult result{ListOutcome::Write, std::wstring()};
    if (IsUpperFilterPlacement(change.placement)) {
        DriverUpperFilterEntry row;
        row.serviceName = change.items;
        row.dependencies = change.dependencies;
        row.attributes =
            change.placement == list_placement::AfterLastDependency ? upper_filter_attribute::AfterLastDependency : 0;
        result.value = InsertUpperFilter(row, list, log);
    } else if (change.placement == list_placement::Prepend) {
        result.value = PrependMultiString(list, change.items);
    } else {
        result.value = AppendMultiString(list, change.items);
    }
    return result;
}

ListResult RemoveListItems(const ListItemChange& change, const std::optional<std::wstring>& current) {
    if (!current) {
        return {};
    }
    Items items = NonEmptyItems(*current);
    const bool removed = TakeOutRun(items, NonEmptyItems(change.items));
    if (items.empty()) {
        return {ListOutcome::Delete, std::wstring()};
    }
    return removed ? ListResult{ListOutcome::Write, ListText(items)} : ListResult{};
}

ListResult RestoreListItems(const ListItemChange& change, const std::optional<std::wstring>& current) {
    Items items = NonEmptyItems(current.value_or(std::wstring()));
    const Items run = NonEmptyItems(change.items);
    const bool tookOut = TakeOutRun(items, run);
    if (change.itemsFound && !run.empty()) {
        std::size_t at = 0;
        if (!change.previous.empty()) {
            const auto previous = std::find(items.begin(), items.end(), change.previous);
            at = previous != items.end()
                     ? static_cast<std::size_t>(previous - items.begin()) + 1
                     : std::min(static_cast<std::size_t>(std::max<int32_t>(change.position, 0)), items.size());
        }
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), run.begin(), run.end());
    }
    if (!current) {
        // Nothing to take out; only what the scheduling found goes back.
        return change.itemsFound && !run.empty() ? ListResult{ListOutcome::Write, ListText(items)} : ListResult{};
    }
    if (items.empty() && !change.valueFound) {
        return {ListOutcome::Delete, std::wstring()};
    }
    if (!tookOut && !change.itemsFound) {
        return {};
    }
    return {ListOutcome::Write, ListText(items)};
}

}  // namespace setup
