#include "driver/CustomActionData.h"

#include <utility>

#include "tables/encoding/RecordText.h"

namespace setup {

using namespace record_text;

namespace {

// The per-record bounds below add to the text bound.
using record_text::Bound;

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
    if (!package.payloadFiles.empty()) {
        writer.Text(L"files", EncodePayloadFiles(package.payloadFiles));
    }
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
        } else if (key == L"files") {
            std::wstring files;
            AssignText(files, value, escapes);
            package.payloadFiles = DecodePayloadFiles(files);
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

std::size_t Bound(const driver::DriverPackage& package) {
    std::size_t bound = Bound(package.id) * 2 + Bound(package.component) + Bound(package.infPath) + Bound(package.catPath) +
                        Bound(package.dependencies) + Bound(package.condition) + Bound(package.hardwareId) +
                        7 * kEntryAllowance;
    for (const std::wstring& guid : package.previousVersionGuids) {
        bound += Bound(guid);
    }
    bound += BoundOfRegistryEntries(package.registryEntries);
    if (!package.payloadFiles.empty()) {
        bound += Bound(EncodePayloadFiles(package.payloadFiles)) + kEntryAllowance;
    }
    return bound;
}

std::size_t BoundOf(const driver::DriverPackage& package) { return Bound(package); }

}  // namespace

namespace driver {

std::wstring EncodeDriverPackage(const DriverPackage& package) {
    return EncodeOne(package, BoundOf, WriteDriverPackage);
}

DriverPackage DecodeDriverPackage(std::wstring_view text) {
    return ReadDriverPackage(text, Escapes());
}

std::wstring EncodeDriverPackages(const DriverPackageList& packages) {
    return EncodeMany(packages, separators::List, BoundOf, WriteDriverPackage);
}

DriverPackageList DecodeDriverPackages(std::wstring_view text) {
    DriverPackageList packages = ReadList<DriverPackage>(text, separators::List, Escapes(), ReadDriverPackage);
    SortBySequence(packages);
    return packages;
}

}  // namespace driver

}  // namespace setup
