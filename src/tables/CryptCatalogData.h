#pragma once
// CryptCatalog records in the CustomActionData text: one record with the
// record separators, a list with the list separators, keyed by id.

#include <string>
#include <string_view>
#include <vector>

#include "tables/CryptCatalogRecord.h"

namespace setup {

std::wstring EncodeCryptCatalog(const CryptCatalogRecord& record);
CryptCatalogRecord DecodeCryptCatalog(std::wstring_view text);
std::wstring EncodeCryptCatalogs(const std::vector<CryptCatalogRecord>& records);
std::vector<CryptCatalogRecord> DecodeCryptCatalogs(std::wstring_view text);

}  // namespace setup
