// Bodies of the actions whose subsystems are not in the library yet. Each
// moves to its subsystem's own file when that subsystem arrives.

#include "frame/ActionBodies.h"

namespace setup::bodies {

void ProtectServices() {}
void ProtectServicesDeferred() {}
void ProtectServicesRollback() {}
void UnprotectServices() {}
void UnprotectServicesDeferred() {}
void UnprotectServicesRollback() {}
void InstallCryptCatalog() {}
void InstallCryptCatalogDeferred() {}
void InstallCryptCatalogRollback() {}
void UninstallCryptCatalog() {}
void UninstallCryptCatalogDeferred() {}
void UninstallCryptCatalogRollback() {}
void InstallDriversDeferred() {}
void InstallDriversRollback() {}
void InstallDriversCommit() {}
void InstallDriversFinalize() {}
void UninstallDriversDeferred() {}
void UninstallDriversRollback() {}

}  // namespace setup::bodies
