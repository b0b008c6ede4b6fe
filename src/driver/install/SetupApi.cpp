#include "driver/install/SetupApi.h"

namespace setup::setupapi {

namespace {

FARPROC FindSetupApiFunction(const char* name) {
    // setupapi.dll is imported by the library, so it is loaded already.
    HMODULE module = GetModuleHandleW(L"setupapi.dll");
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}

}  // namespace

BOOL VerifyInfFile(PCWSTR infPath, PSP_ALTPLATFORM_INFO altPlatform, PSP_INF_SIGNER_INFO_W signerInfo) {
    using Function = BOOL(WINAPI*)(PCWSTR, PSP_ALTPLATFORM_INFO, PSP_INF_SIGNER_INFO_W);
    static const Function function =
        reinterpret_cast<Function>(reinterpret_cast<void*>(FindSetupApiFunction("SetupVerifyInfFileW")));
    if (function == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return function(infPath, altPlatform, signerInfo);
}

}  // namespace setup::setupapi
