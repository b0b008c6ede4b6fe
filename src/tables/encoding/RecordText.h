#pragma once
// The shared writing and reading of CustomActionData records: each record
// kind's encoder (beside its record) writes its entries through EntryWriter
// and reads them back with ForEachEntry; lists of records are keyed by id.
// Every level is written straight into the final text and read straight from
// the outer text, unescaping each value once for all the levels around it.

#include <algorithm>
#include <cstddef>
#include <deque>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "system/DecimalText.h"
#include "system/Utf16.h"
#include "tables/encoding/EntryText.h"

namespace setup::record_text {

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

inline void AssignText(std::wstring& field, std::wstring_view raw, Escapes escapes) {
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

// Upper bounds of the encoded length: a character is doubled at most once
// whatever its depth (each level doubles only its own separator); keys,
// separators and numbers are allowed for generously. Reserving them keeps
// long lists from being copied over and over while the text grows; the
// reserve costs address space only, not memory that is touched.
inline constexpr std::size_t kEntryAllowance = 32;

inline std::size_t Bound(const std::wstring& text) {
    return 2 * text.size() + kEntryAllowance;
}

// One record, or a list keyed by id, written into a text reserved to the
// record's upper bound: long lists are then never copied while they grow.
template <class Record, class BoundOf, class WriteRecord>
std::wstring EncodeOne(const Record& record, BoundOf&& boundOf, WriteRecord&& writeRecord) {
    std::wstring text;
    text.reserve(boundOf(record));
    writeRecord(text, record, Escapes());
    return text;
}

template <class Record, class BoundOf, class WriteRecord>
std::wstring EncodeMany(const std::vector<Record>& records, Separators level, BoundOf&& boundOf, WriteRecord&& writeRecord) {
    std::size_t bound = 0;
    for (const Record& record : records) {
        bound += boundOf(record);
    }
    std::wstring text;
    text.reserve(bound);
    WriteList(text, records, level, Escapes(), writeRecord);
    return text;
}

}  // namespace setup::record_text
