#pragma once
// The text in which records travel to deferred, rollback and commit actions
// ("CustomActionData"). A record is an entry map with the record separators;
// a list is an entry map from record id to encoded record with the list
// separators; a package's registry entries nest inside it with separators of
// their own. Decoding never fails: unknown keys are ignored and missing ones
// leave the record's defaults.

#include <string>
#include <string_view>
#include <vector>

#include "driver/DriverPackage.h"
#include "tables/CryptCatalogRecord.h"
#include "tables/DriverRegistryEntry.h"
#include "tables/ServiceConfigProtectionRecord.h"

namespace setup {

std::wstring EncodeRegistryEntry(const DriverRegistryEntry& entry);
DriverRegistryEntry DecodeRegistryEntry(std::wstring_view text);
// Keyed by id: entries with the same id collapse into the last one, and the
// text lists them in id order, as decoding returns them.
std::wstring EncodeRegistryEntries(const std::vector<DriverRegistryEntry>& entries);
std::vector<DriverRegistryEntry> DecodeRegistryEntries(std::wstring_view text);

std::wstring EncodeCryptCatalog(const CryptCatalogRecord& record);
CryptCatalogRecord DecodeCryptCatalog(std::wstring_view text);
std::wstring EncodeCryptCatalogs(const std::vector<CryptCatalogRecord>& records);
std::vector<CryptCatalogRecord> DecodeCryptCatalogs(std::wstring_view text);

// The attributes do not travel: decoded records carry 0.
std::wstring EncodeServiceConfigProtection(const ServiceConfigProtectionRecord& record);
ServiceConfigProtectionRecord DecodeServiceConfigProtection(std::wstring_view text);
std::wstring EncodeServiceConfigProtections(const std::vector<ServiceConfigProtectionRecord>& records);
std::vector<ServiceConfigProtectionRecord> DecodeServiceConfigProtections(std::wstring_view text);

namespace driver {

// Upper filters are not written (they travel as registry entries by then);
// the cost is written but never read back.
std::wstring EncodeDriverPackage(const DriverPackage& package);
DriverPackage DecodeDriverPackage(std::wstring_view text);
std::wstring EncodeDriverPackages(const DriverPackageList& packages);
// Sorted by sequence; packages of equal sequence in id order.
DriverPackageList DecodeDriverPackages(std::wstring_view text);

}  // namespace driver

}  // namespace setup
