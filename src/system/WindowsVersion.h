#pragma once
// The Windows major version, from the file version of ntdll.dll: unlike the
// version functions, it does not depend on the calling program's manifest.

#include <cstdint>
#include <optional>

namespace setup {

// Throws setup::Exception when the version resource cannot be read.
uint32_t GetWindowsMajorVersion();

// Whether VerifyVersionInfoW confirms a 5.1 or 5.2 system (major version 5,
// minor at least 1), on which a few installer steps run in another order.
bool IsWindows5xSystem();

// Tests steer the answer (no platform here produces 5.x); std::nullopt
// restores the real check.
void SetWindows5xSystemForTesting(std::optional<bool> answer);

}  // namespace setup
