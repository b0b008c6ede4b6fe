#include "system/WindowsVersion.h"

#include <windows.h>

#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/HResult.h"

namespace setup {

namespace {

[[noreturn]] void ThrowLastError(const wchar_t* message) {
    throw Exception(HResultFromWin32(GetLastError()), message, std::wstring());
}

}  // namespace

uint32_t GetWindowsMajorVersion() {
    constexpr wchar_t kFile[] = L"ntdll.dll";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(kFile, &ignored);
    if (size == 0) {
        ThrowLastError(L"Failed to GetFileVersionInfoSize.");
    }
    std::vector<uint8_t> block(size);
    if (!GetFileVersionInfoW(kFile, 0, size, block.data())) {
        ThrowLastError(L"Failed to GetFileVersionInfoSize.");
    }
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        ThrowLastError(L"Failed to VerQueryValue.");
    }
    return HIWORD(info->dwFileVersionMS);
}

}  // namespace setup
