#pragma once
// The Windows major version, from the file version of ntdll.dll: unlike the
// version functions, it does not depend on the calling program's manifest.

#include <cstdint>

namespace setup {

// Throws setup::Exception when the version resource cannot be read.
uint32_t GetWindowsMajorVersion();

}  // namespace setup
