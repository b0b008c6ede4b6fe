#pragma once
// The bodies behind the 21 exports. Each subsystem defines its own; the
// frame only calls them.

namespace setup::bodies {

void ProtectServices();
void ProtectServicesDeferred();
void ProtectServicesRollback();
void UnprotectServices();
void UnprotectServicesDeferred();
void UnprotectServicesRollback();
void InstallCryptCatalog();
void InstallCryptCatalogDeferred();
void InstallCryptCatalogRollback();
void UninstallCryptCatalog();
void UninstallCryptCatalogDeferred();
void UninstallCryptCatalogRollback();
void InstallDrivers();
void InstallDriversEarly();
void InstallDriversDeferred();
void InstallDriversRollback();
void InstallDriversCommit();
void InstallDriversFinalize();
void UninstallDrivers();
void UninstallDriversDeferred();
void UninstallDriversRollback();

}  // namespace setup::bodies
