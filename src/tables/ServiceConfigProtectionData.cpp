#include "tables/ServiceConfigProtectionData.h"

#include "tables/encoding/Base64.h"
#include "tables/encoding/RecordText.h"

namespace setup {

using namespace record_text;

namespace {

// The per-record bounds below add to the text bound.
using record_text::Bound;

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

std::size_t Bound(const ServiceConfigProtectionRecord& record) {
    return Bound(record.id) * 2 + Bound(record.name) + Bound(record.uptcmd) + Bound(record.cmp) + Bound(record.condition) +
           2 * (record.zbin.size() / 3 + 1) * 4 + kEntryAllowance;
}

std::size_t BoundOf(const ServiceConfigProtectionRecord& record) { return Bound(record); }

}  // namespace

std::wstring EncodeServiceConfigProtection(const ServiceConfigProtectionRecord& record) {
    return EncodeOne(record, BoundOf, WriteServiceConfigProtection);
}

ServiceConfigProtectionRecord DecodeServiceConfigProtection(std::wstring_view text) {
    return ReadServiceConfigProtection(text, Escapes());
}

std::wstring EncodeServiceConfigProtections(const std::vector<ServiceConfigProtectionRecord>& records) {
    return EncodeMany(records, separators::List, BoundOf, WriteServiceConfigProtection);
}

std::vector<ServiceConfigProtectionRecord> DecodeServiceConfigProtections(std::wstring_view text) {
    return ReadList<ServiceConfigProtectionRecord>(text, separators::List, Escapes(), ReadServiceConfigProtection);
}

}  // namespace setup
