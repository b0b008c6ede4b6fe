#pragma once
// The CryptCatalog table of the running installation and the rules that
// pick its rows for the install and uninstall actions.

#include <vector>

#include "tables/CryptCatalogRecord.h"

namespace setup {

// Rows in fetch order; an absent table is an empty list.
std::vector<CryptCatalogRecord> ReadCryptCatalogTable();

// A row whose component is installed or reinstalled, when its condition holds.
bool ShouldInstallCryptCatalog(const CryptCatalogRecord& record);
// A row whose component is uninstalled (files not already gone), when its
// condition holds. A reinstall never uninstalls a catalog.
bool ShouldUninstallCryptCatalog(const CryptCatalogRecord& record);

}  // namespace setup
