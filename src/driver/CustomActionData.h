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
// The record kinds of the tables, encoded beside their records.
#include "tables/CryptCatalogData.h"
#include "tables/DriverRegistryData.h"
#include "tables/ServiceConfigProtectionData.h"

namespace setup {

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
