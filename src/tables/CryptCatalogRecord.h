#pragma once
// One CryptCatalog row: a catalog file added to (or removed from) the
// system catalog database under a base name.

#include <string>

namespace setup {

struct CryptCatalogRecord {
    std::wstring id;         // CryptCatalog key
    std::wstring name;       // base name the catalog is registered and removed under
    std::wstring path;       // catalog file to add
    std::wstring cmp;        // component whose state selects the row
    std::wstring condition;

    bool operator==(const CryptCatalogRecord&) const = default;
};

}  // namespace setup
