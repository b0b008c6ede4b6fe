// The CustomActionData decoders: every record kind, alone and in lists, and
// the entry map at each of the four levels. Decoding must never fail, and
// re-encoding what was decoded must decode to the same records whenever the
// ids are ones a table reader lets through (no separator of their own list
// level, one record per id). Packages and registry entries are also decoded
// level by level through entry maps, which must give the same records.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "driver/CustomActionData.h"
#include "msi/PayloadText.h"
#include "tables/encoding/EntryMap.h"
#include "tables/encoding/ListKeyCheck.h"
#include "system/Utf16.h"

namespace {

using setup::driver::DriverPackage;
using setup::driver::DriverPackageList;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

template <class Record>
bool IdsFit(const std::vector<Record>& records, setup::Separators level) {
    std::set<std::wstring> seen;
    for (const Record& record : records) {
        if (record.id.empty() || setup::FindListSeparator(record.id, level) != L'\0' || !seen.insert(record.id).second) {
            return false;
        }
    }
    return true;
}

template <class Record>
std::vector<Record> ById(std::vector<Record> records) {
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return setup::CompareUtf16(a.id, b.id) < 0; });
    return records;
}

bool RegistryFits(const DriverPackage& package) {
    return IdsFit(package.registryEntries, setup::separators::RegistryList);
}

DriverPackage Canonical(DriverPackage package) {
    package.registryEntries = ById(std::move(package.registryEntries));
    // The list fields travel only with the list actions.
    for (setup::DriverRegistryEntry& entry : package.registryEntries) {
        if (!setup::registry_action::IsListChange(entry.action)) {
            entry.list = {};
        }
    }
    return package;
}

void EntryMapAt(const std::wstring& text, setup::Separators level) {
    const setup::EntryMap map = setup::DecodeEntryMap(text, level);
    for (const auto& [key, value] : map.entries()) {
        Check(!key.empty() && key.find(level.key) == std::wstring::npos);
        if (key.find(level.entry) != std::wstring::npos) {
            return;  // keys are written unescaped; such a key is no key an encoder writes
        }
    }
    Check(setup::DecodeEntryMap(setup::EncodeEntryMap(map, level), level) == map);
}

// The decoders read every level straight from the outer text; this reads it
// level by level through entry maps, as the format is defined.
setup::DriverRegistryEntry ReferenceRegistryEntry(const std::wstring& text) {
    const setup::EntryMap map = setup::DecodeEntryMap(text, setup::separators::RegistryRecord);
    setup::DriverRegistryEntry entry;
    entry.id = map.Get(L"id");
    entry.root = map.GetInteger(L"root");
    entry.key = map.Get(L"key");
    entry.name = map.Get(L"name");
    entry.value = map.Get(L"value");
    entry.condition = map.Get(L"condition");
    entry.driverPackage = map.Get(L"drv");
    entry.action = map.GetInteger(L"act");
    if (map.Contains(L"raw")) {
        entry.rawType = static_cast<uint32_t>(map.GetInteger(L"raw"));
    }
    entry.list.items = map.Get(L"items");
    entry.list.dependencies = map.Get(L"deps");
    entry.list.previous = map.Get(L"prev");
    entry.list.placement = map.GetInteger(L"place");
    entry.list.position = map.GetInteger(L"pos");
    entry.list.valueFound = map.GetInteger(L"had") != 0;
    entry.list.itemsFound = map.GetInteger(L"was") != 0;
    return entry;
}

DriverPackage ReferencePackage(const std::wstring& text) {
    const setup::EntryMap map = setup::DecodeEntryMap(text, setup::separators::Record);
    DriverPackage package;
    package.id = map.Get(L"id");
    package.component = map.Get(L"cmp");
    package.infPath = map.Get(L"inf");
    package.catPath = map.Get(L"cat");
    package.dependencies = map.Get(L"depends");
    package.hardwareId = map.Get(L"hdw");
    package.condition = map.Get(L"condition");
    package.previousVersionGuids = map.GetTextList(L"guids");
    package.attributes = static_cast<uint32_t>(map.GetInteger(L"atr"));
    package.type = static_cast<uint32_t>(map.GetInteger(L"type"));
    package.operation = static_cast<uint32_t>(map.GetInteger(L"act"));
    package.payloadFiles = setup::DecodePayloadFiles(map.Get(L"files"));
    package.sequence = map.Get(L"seq").empty() ? setup::driver::kNoSequence : static_cast<uint32_t>(map.GetInteger(L"seq"));
    if (map.Contains(L"reg")) {
        const setup::EntryMap registry = setup::DecodeEntryMap(map.Get(L"reg"), setup::separators::RegistryList);
        for (const auto& [key, value] : registry.entries()) {
            package.registryEntries.push_back(ReferenceRegistryEntry(value));
        }
    }
    return package;
}

DriverPackageList ReferencePackages(const std::wstring& text) {
    DriverPackageList packages;
    const setup::EntryMap list = setup::DecodeEntryMap(text, setup::separators::List);
    for (const auto& [key, value] : list.entries()) {
        packages.push_back(ReferencePackage(value));
    }
    setup::driver::SortBySequence(packages);
    return packages;
}

void Package(const std::wstring& text) {
    const DriverPackage decoded = setup::driver::DecodeDriverPackage(text);
    Check(decoded == ReferencePackage(text));
    if (!RegistryFits(decoded)) {
        return;
    }
    const DriverPackage again = setup::driver::DecodeDriverPackage(setup::driver::EncodeDriverPackage(decoded));
    Check(Canonical(again) == Canonical(decoded));
}

void Packages(const std::wstring& text) {
    const DriverPackageList decoded = setup::driver::DecodeDriverPackages(text);
    Check(decoded == ReferencePackages(text));
    for (size_t i = 1; i < decoded.size(); ++i) {
        Check(decoded[i - 1].sequence <= decoded[i].sequence);
    }
    if (!IdsFit(decoded, setup::separators::List) ||
        !std::all_of(decoded.begin(), decoded.end(), RegistryFits)) {
        return;
    }
    const DriverPackageList again = setup::driver::DecodeDriverPackages(setup::driver::EncodeDriverPackages(decoded));
    Check(again.size() == decoded.size());
    const DriverPackageList a = ById(again);
    const DriverPackageList b = ById(decoded);
    for (size_t i = 0; i < a.size(); ++i) {
        Check(Canonical(a[i]) == Canonical(b[i]));
    }
}

void RegistryEntry(const std::wstring& text) {
    const setup::DriverRegistryEntry decoded = setup::DecodeRegistryEntry(text);
    Check(decoded == ReferenceRegistryEntry(text));
    Check(setup::DecodeRegistryEntry(setup::EncodeRegistryEntry(decoded)) == decoded);
}

void RegistryEntries(const std::wstring& text) {
    const std::vector<setup::DriverRegistryEntry> decoded = setup::DecodeRegistryEntries(text);
    if (!IdsFit(decoded, setup::separators::RegistryList)) {
        return;
    }
    Check(ById(setup::DecodeRegistryEntries(setup::EncodeRegistryEntries(decoded))) == ById(decoded));
}

void Catalogs(const std::wstring& text, bool list) {
    if (!list) {
        const setup::CryptCatalogRecord decoded = setup::DecodeCryptCatalog(text);
        Check(setup::DecodeCryptCatalog(setup::EncodeCryptCatalog(decoded)) == decoded);
        return;
    }
    const std::vector<setup::CryptCatalogRecord> decoded = setup::DecodeCryptCatalogs(text);
    if (IdsFit(decoded, setup::separators::List)) {
        Check(ById(setup::DecodeCryptCatalogs(setup::EncodeCryptCatalogs(decoded))) == ById(decoded));
    }
}

void Protections(const std::wstring& text, bool list) {
    if (!list) {
        const setup::ServiceConfigProtectionRecord decoded = setup::DecodeServiceConfigProtection(text);
        Check(decoded.attributes == 0);
        Check(setup::DecodeServiceConfigProtection(setup::EncodeServiceConfigProtection(decoded)) == decoded);
        return;
    }
    const std::vector<setup::ServiceConfigProtectionRecord> decoded = setup::DecodeServiceConfigProtections(text);
    if (IdsFit(decoded, setup::separators::List)) {
        Check(ById(setup::DecodeServiceConfigProtections(setup::EncodeServiceConfigProtections(decoded))) == ById(decoded));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t kind = data[0] % 12;
    const std::wstring text = setup::WideFromUtf16Le(data + 1, (size - 1) / 2);
    switch (kind) {
        case 0: EntryMapAt(text, setup::separators::Record); break;
        case 1: EntryMapAt(text, setup::separators::List); break;
        case 2: EntryMapAt(text, setup::separators::RegistryRecord); break;
        case 3: EntryMapAt(text, setup::separators::RegistryList); break;
        case 4: Package(text); break;
        case 5: Packages(text); break;
        case 6: RegistryEntry(text); break;
        case 7: RegistryEntries(text); break;
        case 8: Catalogs(text, false); break;
        case 9: Catalogs(text, true); break;
        case 10: Protections(text, false); break;
        default: Protections(text, true); break;
    }
    return 0;
}
