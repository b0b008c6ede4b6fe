#pragma once
// Result-code arithmetic shared by the whole library. Free of Win32 so that
// the text and list logic built on it also compiles natively.

#include <cstdint>

namespace setup {

namespace hresult {
constexpr int32_t Ok = 0;
constexpr int32_t Fail = static_cast<int32_t>(0x80004005);         // E_FAIL
constexpr int32_t Unexpected = static_cast<int32_t>(0x8000FFFF);   // E_UNEXPECTED
constexpr int32_t InvalidArg = static_cast<int32_t>(0x80070057);   // E_INVALIDARG
constexpr int32_t OutOfMemory = static_cast<int32_t>(0x8007000E);  // E_OUTOFMEMORY
constexpr int32_t InvalidData = static_cast<int32_t>(0x8007000D);  // ERROR_INVALID_DATA
constexpr int32_t InvalidHandle = static_cast<int32_t>(0x80070006);
constexpr int32_t FileNotFound = static_cast<int32_t>(0x80070002);
constexpr int32_t InsufficientBuffer = static_cast<int32_t>(0x8007007A);
constexpr int32_t Canceled = static_cast<int32_t>(0x80070642);     // ERROR_INSTALL_USEREXIT
constexpr int32_t NetCfgMaxFilterLimit = static_cast<int32_t>(0x8004A029);
}  // namespace hresult

// A Win32 result r becomes an HRESULT: 0 and negative values stay, anything
// else keeps its low 16 bits under the FACILITY_WIN32 failure prefix.
constexpr int32_t HResultFromWin32(uint32_t r) {
    const int32_t asSigned = static_cast<int32_t>(r);
    if (asSigned <= 0) {
        return asSigned;
    }
    return static_cast<int32_t>((r & 0xFFFFu) | 0x80070000u);
}

// GetLastError values with the top three bits set are SetupAPI's own codes;
// they map into FACILITY_SETUPAPI instead of FACILITY_WIN32.
constexpr int32_t HResultFromErrorCode(uint32_t e) {
    if ((e & 0xE0000000u) == 0xE0000000u) {
        return static_cast<int32_t>((e & 0xFFFFu) | 0x800F0000u);
    }
    return HResultFromWin32(e);
}

// Win32 result codes returned to the installer by the entry points.
namespace result {
constexpr uint32_t Success = 0;
constexpr uint32_t UserExit = 1602;
constexpr uint32_t Failure = 1603;
}  // namespace result

}  // namespace setup
