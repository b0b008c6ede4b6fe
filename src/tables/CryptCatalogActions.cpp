// The six catalog actions: the immediate ones pick rows and schedule their
// rollback and deferred partners with the same data; those act on every
// record they receive.

#include "frame/ActionBodies.h"
#include "frame/InstallerCalls.h"
#include "tables/CatalogFiles.h"
#include "tables/CryptCatalogData.h"
#include "tables/CryptCatalogTable.h"

namespace setup::bodies {

namespace {

template <class Select>
void ScheduleSelected(Select select, const wchar_t* rollback, const wchar_t* deferred) {
    std::vector<CryptCatalogRecord> selected;
    for (CryptCatalogRecord& record : ReadCryptCatalogTable()) {
        if (select(record)) {
            selected.push_back(std::move(record));
        }
    }
    if (selected.empty()) {
        return;
    }
    const std::wstring data = EncodeCryptCatalogs(selected);
    ScheduleAction(rollback, data, 0);
    ScheduleAction(deferred, data, 0);
}

std::vector<CryptCatalogRecord> ReceivedRecords() { return DecodeCryptCatalogs(GetProperty(L"CustomActionData")); }

}  // namespace

void InstallCryptCatalog() {
    ScheduleSelected(ShouldInstallCryptCatalog, L"InstallCryptCatalogRollback", L"InstallCryptCatalogDeferred");
}

void InstallCryptCatalogDeferred() { AddCatalogs(ReceivedRecords(), false); }

void InstallCryptCatalogRollback() { RemoveCatalogs(ReceivedRecords()); }

void UninstallCryptCatalog() {
    ScheduleSelected(ShouldUninstallCryptCatalog, L"UninstallCryptCatalogRollback", L"UninstallCryptCatalogDeferred");
}

void UninstallCryptCatalogDeferred() { RemoveCatalogs(ReceivedRecords()); }

void UninstallCryptCatalogRollback() { AddCatalogs(ReceivedRecords(), true); }

}  // namespace setup::bodies
