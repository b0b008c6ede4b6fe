#pragma once
// The HRESULT of the calling thread's last error, for failures of file and
// system calls that report through GetLastError(). SetupAPI's own codes keep
// their facility (0x800F....); see HResultFromErrorCode.

#include <windows.h>

#include <cstdint>

#include "frame/HResult.h"

namespace setup {

inline int32_t HResultFromLastError() { return HResultFromErrorCode(GetLastError()); }

}  // namespace setup
