// Bodies of the script-phase driver actions, whose dispatcher is not in the
// library yet: each succeeds without doing anything until it arrives.

#include "frame/ActionBodies.h"

namespace setup::bodies {

void InstallDriversDeferred() {}
void InstallDriversRollback() {}
void InstallDriversCommit() {}
void InstallDriversFinalize() {}
void UninstallDriversDeferred() {}
void UninstallDriversRollback() {}

}  // namespace setup::bodies
