#pragma once
// Catalog files in the system catalog database, through the catalog
// administration functions of wintrust.dll, which is loaded at run time.

#include <windows.h>
#include <mscat.h>

#include <string>
#include <vector>

#include "frame/Handles.h"
#include "tables/CryptCatalogRecord.h"

namespace setup {

// wintrust.dll and the five entry points one batch of catalogs needs; the
// library is freed when the object goes.
class CatalogAdmin {
public:
    using AcquireContextFn = BOOL(WINAPI*)(HCATADMIN*, const GUID*, DWORD);
    using ReleaseContextFn = BOOL(WINAPI*)(HCATADMIN, DWORD);
    using ReleaseCatalogContextFn = BOOL(WINAPI*)(HCATADMIN, HCATINFO, DWORD);
    using AddCatalogFn = HCATINFO(WINAPI*)(HCATADMIN, PWSTR, PWSTR, DWORD);
    using RemoveCatalogFn = BOOL(WINAPI*)(HCATADMIN, LPCWSTR, DWORD);

    // Throws when wintrust.dll or one of the entry points is missing.
    CatalogAdmin();

    AcquireContextFn AcquireContext() const { return acquireContext_; }
    ReleaseContextFn ReleaseContext() const { return releaseContext_; }
    ReleaseCatalogContextFn ReleaseCatalogContext() const { return releaseCatalogContext_; }
    AddCatalogFn AddCatalog() const { return addCatalog_; }
    RemoveCatalogFn RemoveCatalog() const { return removeCatalog_; }

private:
    UniqueModule module_;
    AcquireContextFn acquireContext_ = nullptr;
    ReleaseContextFn releaseContext_ = nullptr;
    ReleaseCatalogContextFn releaseCatalogContext_ = nullptr;
    AddCatalogFn addCatalog_ = nullptr;
    RemoveCatalogFn removeCatalog_ = nullptr;
};

// Registers the catalog file under baseName.
void AddCatalog(const CatalogAdmin& admin, const std::wstring& path, const std::wstring& baseName);
// Removes the catalog registered under baseName; one that is not there is
// logged and counts as removed.
void RemoveCatalog(const CatalogAdmin& admin, const std::wstring& baseName);

// Adds each record's path under its name, in list order. With ignoreErrors
// false the first failure is logged with the record's id and ends the batch;
// with ignoreErrors true failures are passed over silently.
void AddCatalogs(const std::vector<CryptCatalogRecord>& records, bool ignoreErrors);
// Whether the system catalog database holds a catalog of this base name now:
// its file in the driver catalogs' folder of the database. A name that is
// not a plain file name is never registered.
bool IsCatalogRegistered(const std::wstring& baseName);
// Removes each record's catalog by name; a failing record is passed over.
void RemoveCatalogs(const std::vector<CryptCatalogRecord>& records);

}  // namespace setup
