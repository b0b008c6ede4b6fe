#include "tables/DriverRegistryData.h"

#include "tables/encoding/RecordText.h"

namespace setup {

using namespace record_text;

namespace {

// The per-record bounds below add to the text bound.
using record_text::Bound;

void WriteRegistryEntry(std::wstring& out, const DriverRegistryEntry& entry, Escapes outer) {
    EntryWriter writer(out, separators::RegistryRecord, outer);
    // The list keys travel only with the list actions, so every other entry
    // reads as it always did.
    const bool list = registry_action::IsListChange(entry.action);
    writer.Integer(L"act", entry.action);
    writer.Text(L"condition", entry.condition);
    if (list) {
        writer.Text(L"deps", entry.list.dependencies);
    }
    writer.Text(L"drv", entry.driverPackage);
    if (list) {
        writer.Integer(L"had", entry.list.valueFound ? 1 : 0);
    }
    writer.Text(L"id", entry.id);
    if (list) {
        writer.Text(L"items", entry.list.items);
    }
    writer.Text(L"key", entry.key);
    writer.Text(L"name", entry.name);
    if (list) {
        writer.Integer(L"place", entry.list.placement);
        writer.Integer(L"pos", entry.list.position);
        writer.Text(L"prev", entry.list.previous);
    }
    if (entry.rawType) {
        writer.Integer(L"raw", static_cast<int32_t>(*entry.rawType));
    }
    writer.Integer(L"root", entry.root);
    writer.Text(L"value", entry.value);
    if (list) {
        writer.Integer(L"was", entry.list.itemsFound ? 1 : 0);
    }
}

DriverRegistryEntry ReadRegistryEntry(std::wstring_view text, Escapes outer) {
    const Escapes escapes = outer.With(separators::RegistryRecord.entry);
    DriverRegistryEntry entry;
    ForEachEntry(text, separators::RegistryRecord, [&](std::wstring_view key, std::wstring_view value, bool) {
        if (key == L"id") {
            AssignText(entry.id, value, escapes);
        } else if (key == L"root") {
            entry.root = ParseDecimalInt32(value);
        } else if (key == L"key") {
            AssignText(entry.key, value, escapes);
        } else if (key == L"name") {
            AssignText(entry.name, value, escapes);
        } else if (key == L"value") {
            AssignText(entry.value, value, escapes);
        } else if (key == L"condition") {
            AssignText(entry.condition, value, escapes);
        } else if (key == L"drv") {
            AssignText(entry.driverPackage, value, escapes);
        } else if (key == L"act") {
            entry.action = ParseDecimalInt32(value);
        } else if (key == L"raw") {
            entry.rawType = static_cast<uint32_t>(ParseDecimalInt32(value));
        } else if (key == L"items") {
            AssignText(entry.list.items, value, escapes);
        } else if (key == L"deps") {
            AssignText(entry.list.dependencies, value, escapes);
        } else if (key == L"prev") {
            AssignText(entry.list.previous, value, escapes);
        } else if (key == L"place") {
            entry.list.placement = ParseDecimalInt32(value);
        } else if (key == L"pos") {
            entry.list.position = ParseDecimalInt32(value);
        } else if (key == L"had") {
            entry.list.valueFound = ParseDecimalInt32(value) != 0;
        } else if (key == L"was") {
            entry.list.itemsFound = ParseDecimalInt32(value) != 0;
        }
    });
    return entry;
}

std::size_t Bound(const DriverRegistryEntry& entry) {
    return Bound(entry.id) * 2 + Bound(entry.key) + Bound(entry.name) + Bound(entry.value) + Bound(entry.condition) +
           Bound(entry.driverPackage) + Bound(entry.list.items) + Bound(entry.list.dependencies) +
           Bound(entry.list.previous) + 4 * kEntryAllowance;
}

std::size_t BoundOf(const DriverRegistryEntry& entry) { return Bound(entry); }

}  // namespace

namespace record_text {

void WriteRegistryList(std::wstring& out, const std::vector<DriverRegistryEntry>& entries, Escapes outer) {
    WriteList(out, entries, separators::RegistryList, outer, WriteRegistryEntry);
}

std::vector<DriverRegistryEntry> ReadRegistryList(std::wstring_view text, Escapes outer) {
    return ReadList<DriverRegistryEntry>(text, separators::RegistryList, outer, ReadRegistryEntry);
}

std::size_t BoundOfRegistryEntries(const std::vector<DriverRegistryEntry>& entries) {
    std::size_t bound = 0;
    for (const DriverRegistryEntry& entry : entries) {
        bound += BoundOf(entry);
    }
    return bound;
}

}  // namespace record_text

std::wstring EncodeRegistryEntry(const DriverRegistryEntry& entry) {
    return EncodeOne(entry, BoundOf, WriteRegistryEntry);
}

DriverRegistryEntry DecodeRegistryEntry(std::wstring_view text) {
    return ReadRegistryEntry(text, Escapes());
}

std::wstring EncodeRegistryEntries(const std::vector<DriverRegistryEntry>& entries) {
    return EncodeMany(entries, separators::RegistryList, BoundOf, WriteRegistryEntry);
}

std::vector<DriverRegistryEntry> DecodeRegistryEntries(std::wstring_view text) {
    return ReadRegistryList(text, Escapes());
}

}  // namespace setup
