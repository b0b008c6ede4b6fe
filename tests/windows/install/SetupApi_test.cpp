#include <gtest/gtest.h>

#include "driver/install/SetupApi.h"
#include "frame/HResult.h"

// Wine's setupapi does not export SetupVerifyInfFileW; the call must fail
// like a SetupAPI call, not take the process down.
TEST(SetupApiAtRunTime, MissingVerifyInfFileIsAnOrdinaryFailure) {
    SP_INF_SIGNER_INFO_W signer = {};
    signer.cbSize = sizeof(signer);
    const bool exported = GetProcAddress(GetModuleHandleW(L"setupapi.dll"), "SetupVerifyInfFileW") != nullptr;
    SetLastError(0);
    const BOOL ok = setup::setupapi::VerifyInfFile(L"C:\\windows\\inf\\none.inf", nullptr, &signer);
    const DWORD error = GetLastError();
    EXPECT_FALSE(ok);
    if (!exported) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), error);
        EXPECT_EQ(static_cast<int32_t>(0x8007007F), setup::HResultFromErrorCode(error));
    } else {
        EXPECT_NE(0u, error);
    }
}
