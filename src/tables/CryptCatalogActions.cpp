// The six catalog actions: the immediate ones pick rows and schedule their
// rollback and deferred partners with the same data; those act on every
// record they receive.

#include "frame/ActionBodies.h"
#include "frame/InstallerCalls.h"
#include "frame/Log.h"
#include "tables/CatalogFiles.h"
#include "tables/CryptCatalogData.h"
#include "tables/CryptCatalogTable.h"

namespace setup::bodies {

namespace {

template <class Select>
std::vector<CryptCatalogRecord> SelectRows(Select select) {
    std::vector<CryptCatalogRecord> selected;
    for (CryptCatalogRecord& record : ReadCryptCatalogTable()) {
        if (select(record)) {
            selected.push_back(std::move(record));
        }
    }
    return selected;
}

template <class Select>
void ScheduleSelected(Select select, const wchar_t* rollback, const wchar_t* deferred) {
    const std::vector<CryptCatalogRecord> selected = SelectRows(select);
    if (selected.empty()) {
        return;
    }
    const std::wstring data = EncodeCryptCatalogs(selected);
    ScheduleAction(rollback, data, 0);
    ScheduleAction(deferred, data, 0);
}

std::vector<CryptCatalogRecord> ReceivedRecords() { return DecodeCryptCatalogs(GetProperty(L"CustomActionData")); }

}  // namespace

// The rollback removes only the catalogs that the install adds: one that is
// registered already (a repair, a reinstall, another product's) was there
// before and stays when a later step fails.
void InstallCryptCatalog() {
    const std::vector<CryptCatalogRecord> selected = SelectRows(ShouldInstallCryptCatalog);
    if (selected.empty()) {
        return;
    }
    std::vector<CryptCatalogRecord> added;
    for (const CryptCatalogRecord& record : selected) {
        if (IsCatalogRegistered(record.name)) {
            Log(L"The catalog file '%s' is registered already. Its rollback keeps it.", record.name);
        } else {
            added.push_back(record);
        }
    }
    ScheduleAction(L"InstallCryptCatalogRollback", EncodeCryptCatalogs(added), 0);
    ScheduleAction(L"InstallCryptCatalogDeferred", EncodeCryptCatalogs(selected), 0);
}

void InstallCryptCatalogDeferred() { AddCatalogs(ReceivedRecords(), false); }

void InstallCryptCatalogRollback() { RemoveCatalogs(ReceivedRecords()); }

void UninstallCryptCatalog() {
    ScheduleSelected(ShouldUninstallCryptCatalog, L"UninstallCryptCatalogRollback", L"UninstallCryptCatalogDeferred");
}

void UninstallCryptCatalogDeferred() { RemoveCatalogs(ReceivedRecords()); }

void UninstallCryptCatalogRollback() { AddCatalogs(ReceivedRecords(), true); }

}  // namespace setup::bodies
