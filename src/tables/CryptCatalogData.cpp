#include "tables/CryptCatalogData.h"

#include "tables/encoding/RecordText.h"

namespace setup {

using namespace record_text;

namespace {

// The per-record bounds below add to the text bound.
using record_text::Bound;

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

std::size_t Bound(const CryptCatalogRecord& record) {
    return Bound(record.id) * 2 + Bound(record.name) + Bound(record.path) + Bound(record.cmp) + Bound(record.condition);
}

std::size_t BoundOf(const CryptCatalogRecord& record) { return Bound(record); }

}  // namespace

std::wstring EncodeCryptCatalog(const CryptCatalogRecord& record) {
    return EncodeOne(record, BoundOf, WriteCryptCatalog);
}

CryptCatalogRecord DecodeCryptCatalog(std::wstring_view text) {
    return ReadCryptCatalog(text, Escapes());
}

std::wstring EncodeCryptCatalogs(const std::vector<CryptCatalogRecord>& records) {
    return EncodeMany(records, separators::List, BoundOf, WriteCryptCatalog);
}

std::vector<CryptCatalogRecord> DecodeCryptCatalogs(std::wstring_view text) {
    return ReadList<CryptCatalogRecord>(text, separators::List, Escapes(), ReadCryptCatalog);
}

}  // namespace setup
