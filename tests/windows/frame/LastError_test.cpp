#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>

#include "frame/LastError.h"
#include "windows/support/InstallerFixture.h"

// SetupAPI reports its own codes (top three bits set) through GetLastError;
// they keep their facility instead of being read as Win32 codes.
TEST(LastError, SetupApiCodesKeepTheirFacility) {
    ddtest::TempDir dir;
    const std::wstring inf = dir / L"t.inf";
    ddtest::WriteTextFile(inf, "[Version]\r\nSignature=\"$Windows NT$\"\r\n");
    HINF handle = SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    INFCONTEXT context = {};
    ASSERT_FALSE(SetupFindFirstLineW(handle, L"Missing", nullptr, &context));
    const DWORD error = GetLastError();
    const int32_t hr = setup::HResultFromLastError();
    SetupCloseInfFile(handle);
    EXPECT_EQ(0xE0000102u, error);
    EXPECT_EQ(static_cast<int32_t>(0x800F0102), hr);

    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dir / L"missing").c_str()));
    EXPECT_EQ(static_cast<int32_t>(0x80070002), setup::HResultFromLastError());
}
