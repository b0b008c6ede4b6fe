#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "driver/CustomActionData.h"
#include "driver/DriverPackage.h"
#include "tables/DriverRegistryData.h"
#include "tables/ListItemChange.h"

namespace {

using setup::ListItemChange;
using setup::ListOutcome;
using setup::ListResult;
namespace placement = setup::list_placement;

ListItemChange Filter(const std::wstring& service, const std::wstring& dependencies = L"", bool afterLast = false) {
    ListItemChange change;
    change.items = service;
    change.dependencies = dependencies;
    change.placement = afterLast ? placement::AfterLastDependency : placement::BeforeFirstDependency;
    return change;
}

ListItemChange Merge(const std::wstring& items, int32_t how) {
    ListItemChange change;
    change.items = items;
    change.placement = how;
    return change;
}

const std::optional<std::wstring> kMissing;

std::wstring Show(const ListResult& result) {
    switch (result.outcome) {
        case ListOutcome::Keep:
            return L"keep";
        case ListOutcome::Delete:
            return L"delete";
        default:
            return result.value;
    }
}

// Two writers on one list: each step works on what the list holds when it
// runs, so the second install sees the first one's item, and each uninstall
// and rollback moves only its own.
TEST(ListItemChange, TwoWritersKeepEachOthersItems) {
    const std::wstring before = L"partmgr[~]tail";
    const ListItemChange aux = Filter(L"barsaux", L"partmgr");
    const ListItemChange flt = Filter(L"barsfilt", L"tail");
    const ListItemChange auxFound = setup::WithListFound(aux, before);
    const ListItemChange fltFound = setup::WithListFound(flt, before);

    const std::wstring one = setup::InsertListItems(aux, before, nullptr).value;
    const std::wstring both = setup::InsertListItems(flt, one, nullptr).value;
    EXPECT_EQ(L"barsaux[~]partmgr[~]barsfilt[~]tail", both);

    // Rolled back in the other order, and the machine added "late" meanwhile.
    const std::wstring withLate = both + L"[~]late";
    const std::wstring undone = setup::RestoreListItems(auxFound, withLate).value;
    EXPECT_EQ(L"partmgr[~]barsfilt[~]tail[~]late", undone);
    EXPECT_EQ(L"partmgr[~]tail[~]late", setup::RestoreListItems(fltFound, undone).value);

    const std::wstring left = setup::RemoveListItems(flt, both).value;
    EXPECT_EQ(L"barsaux[~]partmgr[~]tail", left);
    EXPECT_EQ(before, setup::RemoveListItems(aux, left).value);
}

TEST(ListItemChange, Cases) {
    enum class Step { Insert, Remove, Restore };
    const struct {
        const char* name;
        Step step;
        ListItemChange change;
        std::optional<std::wstring> scheduled;  // what WithListFound saw (Restore only)
        std::optional<std::wstring> current;
        std::wstring expected;
    } cases[] = {
        {"insert into no value", Step::Insert, Filter(L"f", L"x"), kMissing, kMissing, L"[~]f[~]"},
        {"insert after last dependency", Step::Insert, Filter(L"f", L"a[~]b", true), kMissing, L"a[~]b[~]c",
         L"a[~]b[~]f[~]c"},
        {"append merge", Step::Insert, Merge(L"[~]c", placement::Append), kMissing, L"a[~]b", L"a[~]b[~]c"},
        {"append merge into no value", Step::Insert, Merge(L"[~]c", placement::Append), kMissing, kMissing, L"[~]c[~]"},
        {"prepend merge moves the run", Step::Insert, Merge(L"c[~]", placement::Prepend), kMissing, L"a[~]c[~]b",
         L"c[~]a[~]b"},
        {"remove own item only", Step::Remove, Filter(L"f"), kMissing, L"a[~]f[~]b", L"a[~]b"},
        {"remove the last item deletes the list", Step::Remove, Filter(L"f"), kMissing, L"[~]f[~]", L"delete"},
        {"remove from no value", Step::Remove, Filter(L"f"), kMissing, kMissing, L"keep"},
        {"remove an item not there", Step::Remove, Filter(L"f"), kMissing, L"a[~]b", L"keep"},
        {"remove a merged run", Step::Remove, Merge(L"[~]b[~]c", 0), kMissing, L"a[~]b[~]c[~]d", L"a[~]d"},
        {"restore: absent, value existed", Step::Restore, Filter(L"f"), L"a[~]b", L"f[~]a[~]b[~]n", L"a[~]b[~]n"},
        {"restore: absent, no value, list emptied", Step::Restore, Filter(L"f"), kMissing, L"[~]f[~]", L"delete"},
        {"restore: absent, no value, others came", Step::Restore, Filter(L"f"), kMissing, L"n[~]f", L"[~]n[~]"},
        {"restore: empty value found stays", Step::Restore, Filter(L"f"), L"[~]", L"[~]f[~]", L"[~]"},
        {"restore: moved item goes back after its neighbour", Step::Restore, Filter(L"f", L"a"), L"a[~]f[~]b",
         L"n[~]f[~]a[~]b", L"n[~]a[~]f[~]b"},
        {"restore: leading item goes back to the front", Step::Restore, Filter(L"f", L"b", true), L"f[~]a[~]b",
         L"n[~]a[~]b[~]f", L"f[~]n[~]a[~]b"},
        {"restore: neighbour gone, position kept", Step::Restore, Filter(L"f"), L"a[~]b[~]f[~]c", L"a[~]c",
         L"a[~]c[~]f"},
        {"restore: value deleted meanwhile, item found", Step::Restore, Filter(L"f"), L"a[~]f", kMissing, L"[~]f[~]"},
        {"restore: value deleted meanwhile, item not found", Step::Restore, Filter(L"f"), L"a", kMissing, L"keep"},
        {"restore: nothing of ours, untouched", Step::Restore, Filter(L"f"), L"a", L"a[~]n", L"keep"},
        {"restore a merged run", Step::Restore, Merge(L"[~]b[~]c", placement::Append), L"a[~]b[~]c[~]d",
         L"a[~]d[~]b[~]c", L"a[~]b[~]c[~]d"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ListResult result;
        switch (c.step) {
            case Step::Insert:
                result = setup::InsertListItems(c.change, c.current, nullptr);
                break;
            case Step::Remove:
                result = setup::RemoveListItems(c.change, c.current);
                break;
            case Step::Restore:
                result = setup::RestoreListItems(setup::WithListFound(c.change, c.scheduled), c.current);
                break;
        }
        EXPECT_EQ(c.expected, Show(result));
    }
}

TEST(ListItemChange, SchedulingRecordsPresenceAndPlace) {
    const ListItemChange found = setup::WithListFound(Filter(L"f"), L"a[~][~]b[~]f[~]c");
    EXPECT_TRUE(found.valueFound);
    EXPECT_TRUE(found.itemsFound);
    EXPECT_EQ(L"b", found.previous);
    EXPECT_EQ(2, found.position);
    const ListItemChange absent = setup::WithListFound(found, kMissing);
    EXPECT_FALSE(absent.valueFound);
    EXPECT_FALSE(absent.itemsFound);
    EXPECT_EQ(L"", absent.previous);
}

// The list fields travel with the list actions only: an entry of any other
// action encodes exactly as before, and data of the earlier form decodes to
// the same entry.
TEST(ListItemChange, ListFieldsTravelWithListActionsOnly) {
    setup::DriverRegistryEntry entry;
    entry.id = L"upf_f";
    entry.root = 2;
    entry.key = L"K";
    entry.name = L"UpperFilters";
    entry.value = L"a[~]b";
    entry.action = 1;
    EXPECT_EQ(L"act(1)condition)drv)id(upf_f)key(K)name(UpperFilters)root(2)value(a[~]b", setup::EncodeRegistryEntry(entry));
    EXPECT_EQ(entry, setup::DecodeRegistryEntry(L"act(1)condition)drv)id(upf_f)key(K)name(UpperFilters)root(2)value(a[~]b"));

    for (const int32_t action : {3, 4, 5}) {
        SCOPED_TRACE(action);
        setup::DriverRegistryEntry listed = entry;
        listed.id = L"a";
        listed.action = action;
        listed.list = setup::WithListFound(Filter(L"f(x)", L"a[~]b", true), L"a[~]f(x)[~]b");
        const std::wstring text = setup::EncodeRegistryEntry(listed);
        EXPECT_NE(std::wstring::npos, text.find(L"items("));
        EXPECT_EQ(listed, setup::DecodeRegistryEntry(text));
        setup::driver::DriverPackage package;
        package.id = L"p";
        package.registryEntries = {listed, entry};
        EXPECT_EQ(package.registryEntries,
                  setup::driver::DecodeDriverPackages(setup::driver::EncodeDriverPackages({package}))[0].registryEntries);
    }
}

}  // namespace
