#include "system/WindowsVersion.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "system/SystemLibrary.h"

namespace setup {

namespace {

[[noreturn]] void ThrowLastError(const wchar_t* message) {
    throw Exception(HResultFromWin32(GetLastError()), message, std::wstring());
}

// -1: ask the system; 0 or 1: the answer a test chose.
std::atomic<int> g_windows5xOverride{-1};

using RtlVerifyVersionInfoFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*, DWORD, DWORDLONG);

// ntdll is in every process; the function is looked up once.
RtlVerifyVersionInfoFunction RtlVerifyVersionInfoEntry() {
    static const RtlVerifyVersionInfoFunction entry = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr
                   ? reinterpret_cast<RtlVerifyVersionInfoFunction>(
                         reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlVerifyVersionInfo")))
                   : nullptr;
    }();
    return entry;
}

}  // namespace

uint32_t GetWindowsMajorVersion() {
    // By its full path: a bare name is looked up along the search order.
    const std::wstring path = SystemPath(L"ntdll.dll");
    const wchar_t* const kFile = path.c_str();
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

bool SystemVersionSatisfies(const OSVERSIONINFOEXW& wanted, DWORD typeMask, DWORDLONG conditions) {
    const RtlVerifyVersionInfoFunction verify = RtlVerifyVersionInfoEntry();
    if (verify == nullptr) {
        return false;
    }
    // The function takes a non-constant pointer, though it only reads.
    OSVERSIONINFOEXW copy = wanted;
    return verify(&copy, typeMask, conditions) == 0;  // STATUS_SUCCESS
}

bool IsWindows5xSystem() {
    const int forced = g_windows5xOverride.load();
    if (forced >= 0) {
        return forced != 0;
    }
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 1;
    ULONGLONG conditions = VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    return SystemVersionSatisfies(info, VER_MAJORVERSION | VER_MINORVERSION, conditions);
}

void SetWindows5xSystemForTesting(std::optional<bool> answer) {
    g_windows5xOverride.store(answer ? (*answer ? 1 : 0) : -1);
}

}  // namespace setup
