#include "driver/CustomActionData.h"

#include <algorithm>
#include <deque>
#include <numeric>
#include <utility>

#include "driver/Base64.h"
#include "driver/EntryText.h"
#include "system/DecimalText.h"
#include "system/Utf16.h"

namespace setup {

namespace {

// Entry separators of the level being written or read and of every level
// around it: the characters a value at that level has doubled.
class Escapes {
public:
    Escapes() = default;
    Escapes With(wchar_t entrySeparator) const {
        Escapes inner = *this;
        inner.chars_[inner.count_++] = entrySeparator;
        return inner;
    }
    std::wstring_view view() const { return std::wstring_view(chars_, count_); }

private:
    wchar_t chars_[4] = {};
    std::size_t count_ = 0;
};

// Writes one level's entries straight into the final text. Keys must come in
// ordinal UTF-16 order.
class EntryWriter {
public:
    EntryWriter(std::wstring& out, Separators level, Escapes outer)
        : out_(out), level_(level), keyEscapes_(outer), valueEscapes_(outer.With(level.entry)) {}

    void Text(std::wstring_view key, std::wstring_view value) {
        Key(key);
        if (!value.empty()) {
            out_.push_back(level_.key);
            AppendEscaped(out_, value, valueEscapes_.view());
        }
    }

    void Integer(std::wstring_view key, int32_t value) { Text(key, FormatDecimalInt32(value)); }

    // A nested value is written by writeValue(out, escapes of the value); the
    // key separator is taken back when it wrote nothing.
    template <class WriteValue>
    void Nested(std::wstring_view key, WriteValue&& writeValue) {
        Key(key);
        out_.push_back(level_.key);
        const std::size_t start = out_.size();
        writeValue(out_, valueEscapes_);
        if (out_.size() == start) {
            out_.pop_back();
        }
    }

private:
    void Key(std::wstring_view key) {
        if (!first_) {
            out_.push_back(level_.entry);
        }
        first_ = false;
        AppendEscaped(out_, key, keyEscapes_.view());
    }

    std::wstring& out_;
    Separators level_;
    Escapes keyEscapes_;
    Escapes valueEscapes_;
    bool first_ = true;
};

void AssignText(std::wstring& field, std::wstring_view raw, Escapes escapes) {
    field.clear();
    field.reserve(raw.size());
    AppendUnescaped(field, raw, escapes.view());
}

// Records keyed by id; the same id collapses into the last record, and they
// are written in id order.
template <class Record, class WriteRecord>
void WriteList(std::wstring& out, const std::vector<Record>& records, Separators level, Escapes outer,
               WriteRecord&& writeRecord) {
    std::vector<std::size_t> order(records.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return CompareUtf16(records[a].id, records[b].id) < 0; });
    EntryWriter writer(out, level, outer);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const Record& record = records[order[i]];
        if (record.id.empty()) {
            continue;
        }
        if (i + 1 < order.size() && records[order[i + 1]].id == record.id) {
            continue;
        }
        writer.Nested(record.id, [&](std::wstring& text, Escapes escapes) { writeRecord(text, record, escapes); });
    }
}

// Decodes the values of a list in key order; a later entry with the same key
// replaces an earlier one, an empty key is dropped.
template <class Record, class ReadRecord>
std::vector<Record> ReadList(std::wstring_view text, Separators level, Escapes outer, ReadRecord&& readRecord) {
    struct Item {
        std::wstring_view key;
        std::wstring_view value;
    };
    std::vector<Item> items;
    std::deque<std::wstring> unescapedKeys;
    ForEachEntry(text, level, [&](std::wstring_view key, std::wstring_view value, bool) {
        if (key.empty()) {
            return;
        }
        if (key.find_first_of(outer.view()) != std::wstring_view::npos) {
            unescapedKeys.emplace_back();
            AppendUnescaped(unescapedKeys.back(), key, outer.view());
            key = unescapedKeys.back();
        }
        items.push_back(Item{key, value});
    });
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return CompareUtf16(a.key, b.key) < 0; });
    const Escapes inner = outer.With(level.entry);
    std::vector<Record> records;
    records.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i + 1 < items.size() && items[i + 1].key == items[i].key) {
            continue;
        }
        records.push_back(readRecord(items[i].value, inner));
    }
    return records;
}

// ---- DriverRegistry ------------------------------------------------------

void WriteRegistryEntry(std::wstring& out, const DriverRegistryEntry& entry, Escapes outer) {
    EntryWriter writer(out, separators::RegistryRecord, outer);
    writer.Integer(L"act", entry.action);
    writer.Text(L"condition", entry.condition);
    writer.Text(L"drv", entry.driverPackage);
    writer.Text(L"id", entry.id);
    writer.Text(L"key", entry.key);
    writer.Text(L"name", entry.name);
    writer.Integer(L"root", entry.root);
    writer.Text(L"value", entry.value);
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
        }
    });
    return entry;
}

void WriteRegistryList(std::wstring& out, const std::vector<DriverRegistryEntry>& entries, Escapes outer) {
    WriteList(out, entries, separators::RegistryList, outer, WriteRegistryEntry);
}

std::vector<DriverRegistryEntry> ReadRegistryList(std::wstring_view text, Escapes outer) {
    return ReadList<DriverRegistryEntry>(text, separators::RegistryList, outer, ReadRegistryEntry);
}

// ---- CryptCatalog --------------------------------------------------------

void WriteCryptCatalog(std::wstring& out, const CryptCatalogRecord& record, Escapes outer) {
    EntryWriter writer(out, separators::Record, outer);
    writer.Text(L"cmp", record.cmp);
    writer.Text(L"condition", record.condition);
    writer.Text(L"id", record.id);
    writer.Text(L"name", record.name);
    writer.Text(L"path", record.path);
}

CryptCatalogRecord ReadCryptCatalog(std::wstring_view text, Escapes outer) {
    const Escapes escapes = outer.With(separators::Record.entry);
    CryptCatalogRecord record;
    ForEachEntry(text, separators::Record, [&](std::wstring_view key, std::wstring_view value, bool) {
        if (key == L"id") {
            AssignText(record.id, value, escapes);
        } else if (key == L"name") {
            AssignText(record.name, value, escapes);
        } else if (key == L"path") {
            AssignText(record.path, value, escapes);
        } else if (key == L"cmp") {
            AssignText(record.cmp, value, escapes);
        } else if (key == L"condition") {
            AssignText(record.condition, value, escapes);
        }
    });
    return record;
}

// ---- ServiceConfigProtection ---------------------------------------------

void WriteServiceConfigProtection(std::wstring& out, const ServiceConfigProtectionRecord& record, Escapes outer) {
    EntryWriter writer(out, separators::Record, outer);
    writer.Text(L"cmp", record.cmp);
    writer.Text(L"condition", record.condition);
    writer.Text(L"id", record.id);
    writer.Text(L"name", record.name);
    writer.Text(L"uptcmd", record.uptcmd);
    writer.Text(L"zbin", EncodeBase64(record.zbin));
}

ServiceConfigProtectionRecord ReadServiceConfigProtection(std::wstring_view text, Escapes outer) {
    const Escapes escapes = outer.With(separators::Record.entry);
    ServiceConfigProtectionRecord record;
    ForEachEntry(text, separators::Record, [&](std::wstring_view key, std::wstring_view value, bool) {
        if (key == L"id") {
            AssignText(record.id, value, escapes);
        } else if (key == L"name") {
            AssignText(record.name, value, escapes);
        } else if (key == L"zbin") {
            // Escaped characters are outside the Base64 alphabet and are skipped.
            record.zbin = DecodeBase64(value);
        } else if (key == L"uptcmd") {
            AssignText(record.uptcmd, value, escapes);
        } else if (key == L"cmp") {
            AssignText(record.cmp, value, escapes);
        } else if (key == L"condition") {
            AssignText(record.condition, value, escapes);
        }
    });
    return record;
}

// ---- DriverPackage -------------------------------------------------------

constexpr std::wstring_view kGuidsKey = L"guids";

void WriteDriverPackage(std::wstring& out, const driver::DriverPackage& package, Escapes outer) {
    EntryWriter writer(out, separators::Record, outer);
    writer.Integer(L"act", static_cast<int32_t>(package.operation));
    writer.Integer(L"atr", static_cast<int32_t>(package.attributes));
    writer.Text(L"cat", package.catPath);
    writer.Text(L"cmp", package.component);
    writer.Text(L"condition", package.condition);
    writer.Integer(L"cost", static_cast<int32_t>(package.cost));
    writer.Text(L"depends", package.dependencies);
    // guids10 sorts before guids2: the index keys need their own ordering.
    std::vector<std::pair<std::wstring, std::size_t>> guidKeys;
    guidKeys.reserve(package.previousVersionGuids.size());
    for (std::size_t i = 0; i < package.previousVersionGuids.size(); ++i) {
        guidKeys.emplace_back(std::wstring(kGuidsKey) + std::to_wstring(i), i);
    }
    std::sort(guidKeys.begin(), guidKeys.end(),
              [](const auto& a, const auto& b) { return CompareUtf16(a.first, b.first) < 0; });
    for (const auto& [key, index] : guidKeys) {
        writer.Text(key, package.previousVersionGuids[index]);
    }
    writer.Text(L"hdw", package.hardwareId);
    writer.Text(L"id", package.id);
    writer.Text(L"inf", package.infPath);
    writer.Nested(L"reg", [&](std::wstring& text, Escapes escapes) { WriteRegistryList(text, package.registryEntries, escapes); });
    writer.Integer(L"seq", static_cast<int32_t>(package.sequence));
    writer.Integer(L"type", static_cast<int32_t>(package.type));
}

// The decimal index of a flat-list key ("guids12" -> 12); only the form the
// encoder writes counts, so "guids01" is no index.
bool ReadListIndex(std::wstring_view suffix, std::size_t& index) {
    if (suffix.empty() || suffix.size() > 9 || (suffix.size() > 1 && suffix[0] == L'0')) {
        return false;
    }
    index = 0;
    for (wchar_t c : suffix) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        index = index * 10 + static_cast<std::size_t>(c - L'0');
    }
    return true;
}

driver::DriverPackage ReadDriverPackage(std::wstring_view text, Escapes outer) {
    const Escapes escapes = outer.With(separators::Record.entry);
    driver::DriverPackage package;
    std::vector<std::pair<std::size_t, std::wstring_view>> guids;
    ForEachEntry(text, separators::Record, [&](std::wstring_view key, std::wstring_view value, bool) {
        if (key == L"id") {
            AssignText(package.id, value, escapes);
        } else if (key == L"cmp") {
            AssignText(package.component, value, escapes);
        } else if (key == L"inf") {
            AssignText(package.infPath, value, escapes);
        } else if (key == L"cat") {
            AssignText(package.catPath, value, escapes);
        } else if (key == L"depends") {
            AssignText(package.dependencies, value, escapes);
        } else if (key == L"hdw") {
            AssignText(package.hardwareId, value, escapes);
        } else if (key == L"condition") {
            AssignText(package.condition, value, escapes);
        } else if (key == L"atr") {
            package.attributes = static_cast<uint32_t>(ParseDecimalInt32(value));
        } else if (key == L"type") {
            package.type = static_cast<uint32_t>(ParseDecimalInt32(value));
        } else if (key == L"act") {
            package.operation = static_cast<uint32_t>(ParseDecimalInt32(value));
        } else if (key == L"seq") {
            package.sequence = value.empty() ? driver::kNoSequence : static_cast<uint32_t>(ParseDecimalInt32(value));
        } else if (key == L"reg") {
            package.registryEntries = ReadRegistryList(value, escapes);
        } else if (key.substr(0, kGuidsKey.size()) == kGuidsKey) {
            std::size_t index = 0;
            if (ReadListIndex(key.substr(kGuidsKey.size()), index)) {
                guids.emplace_back(index, value);
            }
        }
    });
    // The last entry of an index wins; reading stops at the first missing index.
    std::stable_sort(guids.begin(), guids.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < guids.size(); ++i) {
        if (guids[i].first != package.previousVersionGuids.size()) {
            break;
        }
        if (i + 1 < guids.size() && guids[i + 1].first == guids[i].first) {
            continue;
        }
        package.previousVersionGuids.emplace_back();
        AssignText(package.previousVersionGuids.back(), guids[i].second, escapes);
    }
    return package;
}

// Upper bounds of the encoded length: a character is doubled at most once
// whatever its depth (each level doubles only its own separator); keys,
// separators and numbers are allowed for generously. Reserving them keeps
// long lists from being copied over and over while the text grows; the
// reserve costs address space only, not memory that is touched.
constexpr std::size_t kEntryAllowance = 32;

std::size_t Bound(const std::wstring& text) {
    return 2 * text.size() + kEntryAllowance;
}

std::size_t Bound(const DriverRegistryEntry& entry) {
    return Bound(entry.id) * 2 + Bound(entry.key) + Bound(entry.name) + Bound(entry.value) + Bound(entry.condition) +
           Bound(entry.driverPackage) + 2 * kEntryAllowance;
}

std::size_t Bound(const CryptCatalogRecord& record) {
    return Bound(record.id) * 2 + Bound(record.name) + Bound(record.path) + Bound(record.cmp) + Bound(record.condition);
}

std::size_t Bound(const ServiceConfigProtectionRecord& record) {
    return Bound(record.id) * 2 + Bound(record.name) + Bound(record.uptcmd) + Bound(record.cmp) + Bound(record.condition) +
           2 * (record.zbin.size() / 3 + 1) * 4 + kEntryAllowance;
}

std::size_t Bound(const driver::DriverPackage& package) {
    std::size_t bound = Bound(package.id) * 2 + Bound(package.component) + Bound(package.infPath) + Bound(package.catPath) +
                        Bound(package.dependencies) + Bound(package.condition) + Bound(package.hardwareId) +
                        7 * kEntryAllowance;
    for (const std::wstring& guid : package.previousVersionGuids) {
        bound += Bound(guid);
    }
    for (const DriverRegistryEntry& entry : package.registryEntries) {
        bound += Bound(entry);
    }
    return bound;
}

template <class Record, class WriteRecord>
std::wstring EncodeOne(const Record& record, WriteRecord&& writeRecord) {
    std::wstring text;
    text.reserve(Bound(record));
    writeRecord(text, record, Escapes());
    return text;
}

template <class Record, class WriteRecord>
std::wstring EncodeMany(const std::vector<Record>& records, Separators level, WriteRecord&& writeRecord) {
    std::size_t bound = 0;
    for (const Record& record : records) {
        bound += Bound(record);
    }
    std::wstring text;
    text.reserve(bound);
    WriteList(text, records, level, Escapes(), writeRecord);
    return text;
}

}  // namespace

std::wstring EncodeRegistryEntry(const DriverRegistryEntry& entry) {
    return EncodeOne(entry, WriteRegistryEntry);
}

DriverRegistryEntry DecodeRegistryEntry(std::wstring_view text) {
    return ReadRegistryEntry(text, Escapes());
}

std::wstring EncodeRegistryEntries(const std::vector<DriverRegistryEntry>& entries) {
    return EncodeMany(entries, separators::RegistryList, WriteRegistryEntry);
}

std::vector<DriverRegistryEntry> DecodeRegistryEntries(std::wstring_view text) {
    return ReadRegistryList(text, Escapes());
}

std::wstring EncodeCryptCatalog(const CryptCatalogRecord& record) {
    return EncodeOne(record, WriteCryptCatalog);
}

CryptCatalogRecord DecodeCryptCatalog(std::wstring_view text) {
    return ReadCryptCatalog(text, Escapes());
}

std::wstring EncodeCryptCatalogs(const std::vector<CryptCatalogRecord>& records) {
    return EncodeMany(records, separators::List, WriteCryptCatalog);
}

std::vector<CryptCatalogRecord> DecodeCryptCatalogs(std::wstring_view text) {
    return ReadList<CryptCatalogRecord>(text, separators::List, Escapes(), ReadCryptCatalog);
}

std::wstring EncodeServiceConfigProtection(const ServiceConfigProtectionRecord& record) {
    return EncodeOne(record, WriteServiceConfigProtection);
}

ServiceConfigProtectionRecord DecodeServiceConfigProtection(std::wstring_view text) {
    return ReadServiceConfigProtection(text, Escapes());
}

std::wstring EncodeServiceConfigProtections(const std::vector<ServiceConfigProtectionRecord>& records) {
    return EncodeMany(records, separators::List, WriteServiceConfigProtection);
}

std::vector<ServiceConfigProtectionRecord> DecodeServiceConfigProtections(std::wstring_view text) {
    return ReadList<ServiceConfigProtectionRecord>(text, separators::List, Escapes(), ReadServiceConfigProtection);
}

namespace driver {

std::wstring EncodeDriverPackage(const DriverPackage& package) {
    return EncodeOne(package, WriteDriverPackage);
}

DriverPackage DecodeDriverPackage(std::wstring_view text) {
    return ReadDriverPackage(text, Escapes());
}

std::wstring EncodeDriverPackages(const DriverPackageList& packages) {
    return EncodeMany(packages, separators::List, WriteDriverPackage);
}

DriverPackageList DecodeDriverPackages(std::wstring_view text) {
    DriverPackageList packages = ReadList<DriverPackage>(text, separators::List, Escapes(), ReadDriverPackage);
    SortBySequence(packages);
    return packages;
}

}  // namespace driver

}  // namespace setup
