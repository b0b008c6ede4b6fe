#pragma once
// The version of the running system as the system itself knows it. Neither
// answer depends on the manifest of the program that loaded the library: the
// major version comes from the file version of ntdll.dll, the version tests
// from ntdll's RtlVerifyVersionInfo, which SetupAPI's own decisions follow
// (VerifyVersionInfoW answers for the version the host program declares it
// supports, so inside a host without a Windows 10 manifest it denies 10.0).

#include <windows.h>

#include <cstdint>
#include <optional>

namespace setup {

// The test of VerifyVersionInfoW (the same structure, type mask and
// condition mask) answered for the true version of the running system.
// False when the system does not satisfy it, or when it cannot be asked.
bool SystemVersionSatisfies(const OSVERSIONINFOEXW& wanted, DWORD typeMask, DWORDLONG conditions);

// Throws setup::Exception when the version resource cannot be read.
uint32_t GetWindowsMajorVersion();

// Whether the system is 5.1 or 5.2 (major version 5, minor at least 1), on
// which a few installer steps run in another order.
bool IsWindows5xSystem();

// Tests steer the answer (no platform here produces 5.x); std::nullopt
// restores the real check.
void SetWindows5xSystemForTesting(std::optional<bool> answer);

}  // namespace setup
