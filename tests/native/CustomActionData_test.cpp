#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/CustomActionData.h"
#include "tables/encoding/EntryMap.h"

namespace {

using setup::driver::DriverPackage;
using setup::driver::DriverPackageList;

setup::DriverRegistryEntry Entry(const std::wstring& id, const std::wstring& value) {
    setup::DriverRegistryEntry entry;
    entry.id = id;
    entry.root = 2;
    entry.key = L"SYSTEM\\CurrentControlSet\\Services\\drv(1)";
    entry.name = L"Param>s";
    entry.value = value;
    entry.driverPackage = L"Pkg;1";
    entry.condition = L"A|B";
    entry.action = 1;
    return entry;
}

DriverPackage Package(const std::wstring& id, uint32_t sequence) {
    DriverPackage package;
    package.id = id;
    package.component = L"cmp_" + id;
    package.infPath = L"C:\\Drivers\\a;b|c\\drv.inf";
    package.catPath = L"C:\\Drivers\\drv.cat";
    package.dependencies = L"svcA[~]svcB";
    package.condition = L"VersionNT >= 603 AND (NOT Installed | REINSTALL)";
    package.hardwareId = L"root\\drv";
    package.previousVersionGuids = {L"{11111111-1111-1111-1111-111111111111}", L"", L"{33333333-3333-3333-3333-333333333333}"};
    package.registryEntries = {Entry(L"r2", L"#x01AB"), Entry(L"r1", L"a[~]b)>|;=*(<")};
    package.payloadFiles = {{L"drv.inf", std::wstring(64, L'a')}, {L"a;b)c(d.sys", std::wstring(64, L'0')}};
    package.attributes = 0x80000421;
    package.type = 3;
    package.operation = 2;
    package.sequence = sequence;
    return package;
}

// Decoding returns registry entries in id order.
DriverPackage AsDecoded(DriverPackage package) {
    std::sort(package.registryEntries.begin(), package.registryEntries.end(),
              [](const auto& a, const auto& b) { return a.id < b.id; });
    package.upperFilters.clear();
    package.cost = setup::driver::kPackageCost;
    return package;
}

}  // namespace

TEST(EntryMap, OrdersKeysByUtf16CodeUnits) {
    setup::EntryMap map;
    map.Set(L"b", L"1");
    map.Set(L"ab", L"2");
    map.Set(L"a", L"3");
    map.Set(L"\uFF21", L"4");      // one unit, 0xFF21
    map.Set(L"\U0001F600", L"5");  // surrogate pair 0xD83D 0xDE00: before 0xFF21
    map.Set(L"B", L"6");
    map.Set(L"", L"7");
    std::vector<std::wstring> keys;
    for (const auto& entry : map.entries()) {
        keys.push_back(entry.first);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"B", L"a", L"ab", L"b", L"\U0001F600", L"\uFF21"}), keys);
    EXPECT_EQ(L"", map.Get(L"missing"));
    EXPECT_FALSE(map.Contains(L""));
}

TEST(EntryMap, EncodesAndDecodesAtEveryLevel) {
    const setup::Separators levels[] = {setup::separators::Record, setup::separators::List,
                                        setup::separators::RegistryRecord, setup::separators::RegistryList};
    for (const setup::Separators level : levels) {
        const std::wstring e(1, level.entry);
        const std::wstring k(1, level.key);
        SCOPED_TRACE(e + k);
        setup::EntryMap map;
        map.Set(L"b", L"x" + e + L"y");
        map.Set(L"a", L"tail" + e);
        map.Set(L"c", L"");
        map.Set(L"d", k + e + e + k);
        const std::wstring text = setup::EncodeEntryMap(map, level);
        EXPECT_EQ(L"a" + k + L"tail" + e + e + e + L"b" + k + L"x" + e + e + L"y" + e + L"c" + e + L"d" + k + k + e + e + e + e + k,
                  text);
        EXPECT_EQ(map, setup::DecodeEntryMap(text, level));
    }
    EXPECT_TRUE(setup::DecodeEntryMap(L"", setup::separators::Record).entries().empty());
    // A later entry wins; an empty key is dropped; an entry without "=" is empty.
    const setup::EntryMap decoded = setup::DecodeEntryMap(L"a=1|=x|a=2|b", setup::separators::Record);
    EXPECT_EQ(L"2", decoded.Get(L"a"));
    EXPECT_TRUE(decoded.Contains(L"b"));
    EXPECT_EQ(2u, decoded.entries().size());
}

TEST(EntryMap, ValueKinds) {
    setup::EntryMap map;
    map.SetInteger(L"n", -2147483647 - 1);
    map.SetBinary(L"bin", {0x00, 0xFB, 0xFF, 0x10});
    map.SetTextList(L"guids", {L"x", L"", L"z"});
    EXPECT_EQ(L"-2147483648", map.Get(L"n"));
    EXPECT_EQ(L"APv/EA==", map.Get(L"bin"));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0xFB, 0xFF, 0x10}), map.GetBinary(L"bin"));
    EXPECT_EQ((std::vector<std::wstring>{L"x", L"", L"z"}), map.GetTextList(L"guids"));
    const std::pair<std::wstring, int32_t> numbers[] = {
        {L"42", 42}, {L"  -7", -7}, {L"+3", 3}, {L"12abc", 12}, {L"abc", 0}, {L"", 0}, {L"-", 0}, {L"99999999999", 2147483647},
    };
    for (const auto& [text, value] : numbers) {
        map.Set(L"n", text);
        EXPECT_EQ(value, map.GetInteger(L"n")) << text;
    }
}

// The record writers put the keys straight into the text; the result must be
// exactly the entry-map encoding, nested level by level.
TEST(CustomActionData, PackageTextIsTheNestedEntryMapEncoding) {
    DriverPackage package = Package(L"p", 7);
    for (int i = 0; i < 12; ++i) {
        package.previousVersionGuids.push_back(L"g" + std::to_wstring(i));
    }
    setup::EntryMap registry;
    for (const auto& entry : package.registryEntries) {
        setup::EntryMap record;
        record.Set(L"id", entry.id);
        record.SetInteger(L"root", entry.root);
        record.Set(L"key", entry.key);
        record.Set(L"name", entry.name);
        record.Set(L"value", entry.value);
        record.Set(L"condition", entry.condition);
        record.Set(L"drv", entry.driverPackage);
        record.SetInteger(L"act", entry.action);
        registry.Set(entry.id, setup::EncodeEntryMap(record, setup::separators::RegistryRecord));
    }
    setup::EntryMap record;
    record.Set(L"id", package.id);
    record.Set(L"cmp", package.component);
    record.Set(L"inf", package.infPath);
    record.Set(L"cat", package.catPath);
    record.Set(L"depends", package.dependencies);
    record.Set(L"hdw", package.hardwareId);
    record.Set(L"condition", package.condition);
    record.SetTextList(L"guids", package.previousVersionGuids);
    record.SetInteger(L"atr", static_cast<int32_t>(package.attributes));
    record.SetInteger(L"type", static_cast<int32_t>(package.type));
    record.SetInteger(L"act", static_cast<int32_t>(package.operation));
    record.SetInteger(L"seq", static_cast<int32_t>(package.sequence));
    record.SetInteger(L"cost", static_cast<int32_t>(package.cost));
    record.Set(L"reg", setup::EncodeEntryMap(registry, setup::separators::RegistryList));
    record.Set(L"files", setup::EncodePayloadFiles(package.payloadFiles));
    setup::EntryMap list;
    list.Set(package.id, setup::EncodeEntryMap(record, setup::separators::Record));

    EXPECT_EQ(setup::EncodeEntryMap(record, setup::separators::Record), setup::driver::EncodeDriverPackage(package));
    EXPECT_EQ(setup::EncodeEntryMap(list, setup::separators::List), setup::driver::EncodeDriverPackages({package}));
}

TEST(CustomActionData, EveryRecordKindRoundTrips) {
    const DriverPackage package = Package(L"p1", 0xFFFFFFFF);
    EXPECT_EQ(AsDecoded(package), setup::driver::DecodeDriverPackage(setup::driver::EncodeDriverPackage(package)));

    const setup::DriverRegistryEntry entry = Entry(L"r;1|x", L"v)(>");
    EXPECT_EQ(entry, setup::DecodeRegistryEntry(setup::EncodeRegistryEntry(entry)));
    const std::vector<setup::DriverRegistryEntry> entries = {Entry(L"b", L"1"), Entry(L"a|;", L"2")};
    EXPECT_EQ((std::vector<setup::DriverRegistryEntry>{entries[1], entries[0]}),
              setup::DecodeRegistryEntries(setup::EncodeRegistryEntries(entries)));

    const setup::CryptCatalogRecord catalog{L"cat1", L"drv.cat", L"C:\\x|y;z\\drv.cat", L"cmp", L"A=1|B"};
    EXPECT_EQ(catalog, setup::DecodeCryptCatalog(setup::EncodeCryptCatalog(catalog)));
    EXPECT_EQ(std::vector<setup::CryptCatalogRecord>{catalog},
              setup::DecodeCryptCatalogs(setup::EncodeCryptCatalogs({catalog})));

    setup::ServiceConfigProtectionRecord protection;
    protection.id = L"prot";
    protection.name = L"svc";
    for (int i = 0; i < 256; ++i) {
        protection.zbin.push_back(static_cast<uint8_t>(255 - i));
    }
    protection.uptcmd = L"/unprotect \"a;b|c\"";
    protection.attributes = 1;
    protection.cmp = L"cmp";
    protection.condition = L"X";
    setup::ServiceConfigProtectionRecord decoded = protection;
    decoded.attributes = 0;  // attributes do not travel
    EXPECT_EQ(decoded, setup::DecodeServiceConfigProtection(setup::EncodeServiceConfigProtection(protection)));
    EXPECT_EQ(std::vector<setup::ServiceConfigProtectionRecord>{decoded},
              setup::DecodeServiceConfigProtections(setup::EncodeServiceConfigProtections({protection})));
}

TEST(CustomActionData, DataWithoutFileHashesStillDecodes) {
    // Text scheduled before packages carried hashes: the package decodes
    // whole, with no file list, which the system-rights phase refuses.
    const DriverPackage old = setup::driver::DecodeDriverPackage(
        L"act=1|atr=20|cat=C:\\t\\drv.cat|cmp=C|condition|cost=10000000|depends|hdw|id=p|inf=C:\\t\\drv.inf|reg|seq=1|type=1");
    EXPECT_EQ(L"p", old.id);
    EXPECT_EQ(L"C:\\t\\drv.inf", old.infPath);
    EXPECT_EQ(20u, old.attributes);
    EXPECT_TRUE(old.payloadFiles.empty());
}

TEST(CustomActionData, EmptyRecordsAreBareKeys) {
    EXPECT_EQ(L"cmp|condition|id|name|path", setup::EncodeCryptCatalog({}));
    EXPECT_EQ(setup::CryptCatalogRecord{}, setup::DecodeCryptCatalog(L"cmp|condition|id|name|path"));
    EXPECT_EQ(L"cmp|condition|id|name|uptcmd|zbin", setup::EncodeServiceConfigProtection({}));
    EXPECT_EQ(L"act(0)condition)drv)id)key)name)root(0)value", setup::EncodeRegistryEntry({}));
    EXPECT_EQ(setup::DriverRegistryEntry{}, setup::DecodeRegistryEntry(setup::EncodeRegistryEntry({})));
    const std::wstring text = setup::driver::EncodeDriverPackage({});
    EXPECT_EQ(L"act=0|atr=0|cat|cmp|condition|cost=10000000|depends|hdw|id|inf|reg|seq=65535|type=0", text);
    EXPECT_EQ(DriverPackage{}, setup::driver::DecodeDriverPackage(text));
}

TEST(CustomActionData, ConditionWithSeparatorsSurvivesInsideAList) {
    DriverPackage package = Package(L"p", 1);
    package.condition = L"A | B;C";
    package.registryEntries[0].condition = L"x|y;z)w>v";
    const DriverPackageList decoded = setup::driver::DecodeDriverPackages(setup::driver::EncodeDriverPackages({package}));
    ASSERT_EQ(1u, decoded.size());
    EXPECT_EQ(AsDecoded(package), decoded[0]);
}

TEST(CustomActionData, ValueEndingInTheSeparator) {
    DriverPackage package;
    package.condition = L"x|";
    const std::wstring text = setup::driver::EncodeDriverPackage(package);
    EXPECT_NE(std::wstring::npos, text.find(L"|condition=x|||cost="));
    EXPECT_EQ(L"x|", setup::driver::DecodeDriverPackage(text).condition);
}

TEST(CustomActionData, ListsDecodeSortedBySequenceThenId) {
    const DriverPackageList packages = {Package(L"c", 20), Package(L"b", 10), Package(L"a", 10), Package(L"d", 0xFFFFFFFF),
                                        Package(L"e", 65535)};
    const DriverPackageList decoded = setup::driver::DecodeDriverPackages(setup::driver::EncodeDriverPackages(packages));
    std::vector<std::wstring> ids;
    for (const DriverPackage& package : decoded) {
        ids.push_back(package.id);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L"c", L"e", L"d"}), ids);
}

TEST(CustomActionData, DuplicateIdsCollapseToTheLast) {
    DriverPackage first = Package(L"same", 1);
    DriverPackage last = Package(L"same", 2);
    last.infPath = L"last.inf";
    const std::wstring text = setup::driver::EncodeDriverPackages({first, Package(L"other", 3), last});
    const DriverPackageList decoded = setup::driver::DecodeDriverPackages(text);
    ASSERT_EQ(2u, decoded.size());
    EXPECT_EQ(L"last.inf", decoded[0].infPath);
    EXPECT_EQ(L"other", decoded[1].id);
    // In the text as well: the later entry of a key wins.
    const DriverPackageList fromText = setup::driver::DecodeDriverPackages(L"x*id=1|seq=1;x*id=2|seq=1");
    ASSERT_EQ(1u, fromText.size());
    EXPECT_EQ(L"2", fromText[0].id);
}

TEST(CustomActionData, PreviousVersionGuidsAreAFlatList) {
    DriverPackage package;
    package.previousVersionGuids = {L"{A}", L"{B}", L"{C}"};
    const std::wstring text = setup::driver::EncodeDriverPackage(package);
    EXPECT_NE(std::wstring::npos, text.find(L"|guids0={A}|guids1={B}|guids2={C}|"));
    EXPECT_EQ(package.previousVersionGuids, setup::driver::DecodeDriverPackage(text).previousVersionGuids);
    // Reading stops at the first missing index.
    EXPECT_EQ((std::vector<std::wstring>{L"x", L""}),
              setup::driver::DecodeDriverPackage(L"guids1|guids0=x|guids3=z|guids01=q").previousVersionGuids);
}

TEST(CustomActionData, LenientDecoding) {
    const DriverPackage decoded =
        setup::driver::DecodeDriverPackage(L"act|seq|cost=5|atr=abc|type=  -2x|unknown=1|id=p|x=y=z|reg=bogus");
    EXPECT_EQ(0u, decoded.operation);
    EXPECT_EQ(65535u, decoded.sequence);
    EXPECT_EQ(setup::driver::kPackageCost, decoded.cost);
    EXPECT_EQ(0u, decoded.attributes);
    EXPECT_EQ(0xFFFFFFFEu, decoded.type);
    EXPECT_EQ(L"p", decoded.id);
    ASSERT_EQ(1u, decoded.registryEntries.size());
    EXPECT_EQ(setup::DriverRegistryEntry{}, decoded.registryEntries[0]);
    EXPECT_EQ(65535u, setup::driver::DecodeDriverPackage(L"seq=").sequence);
    EXPECT_TRUE(setup::driver::DecodeDriverPackages(L"").empty());
}

// Only rollback entries carry a raw type; entries without one encode as
// before, and the type travels through a package's nested list.
TEST(CustomActionData, RawTypeOfARollbackEntryTravelsOnlyWhenSet) {
    setup::DriverRegistryEntry entry;
    entry.id = L"r";
    entry.value = L"#x5B007E005D000000";
    EXPECT_EQ(L"act(0)condition)drv)id(r)key)name)root(0)value(#x5B007E005D000000", setup::EncodeRegistryEntry(entry));
    for (const uint32_t type : {0u, 1u, 7u, 11u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        entry.rawType = type;
        EXPECT_EQ(entry, setup::DecodeRegistryEntry(setup::EncodeRegistryEntry(entry)));
        DriverPackage package;
        package.id = L"p";
        package.registryEntries = {entry};
        EXPECT_EQ(std::vector<setup::DriverRegistryEntry>{entry},
                  setup::driver::DecodeDriverPackages(setup::driver::EncodeDriverPackages({package}))[0].registryEntries);
    }
}
