// Bodies of the actions whose subsystems are not in the library yet. Each
// moves to its subsystem's own file when that subsystem arrives.

#include "frame/ActionBodies.h"

namespace setup::bodies {

void InstallDrivers() {}
void InstallDriversEarly() {}
void InstallDriversDeferred() {}
void InstallDriversRollback() {}
void InstallDriversCommit() {}
void InstallDriversFinalize() {}
void UninstallDrivers() {}
void UninstallDriversDeferred() {}
void UninstallDriversRollback() {}

}  // namespace setup::bodies
