#pragma once
// SetupAPI functions that not every SetupAPI implementation exports. They are
// looked up at run time: a missing one fails like any other SetupAPI call
// (FALSE with ERROR_PROC_NOT_FOUND as the last error), so callers report it
// through their normal error path instead of the process dying at the call.

#include <windows.h>
#include <setupapi.h>

namespace setup::setupapi {

BOOL VerifyInfFile(PCWSTR infPath, PSP_ALTPLATFORM_INFO altPlatform, PSP_INF_SIGNER_INFO_W signerInfo);

}  // namespace setup::setupapi
