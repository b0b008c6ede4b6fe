#pragma once
// Where Win32-free code hands a finished log line. The library passes a sink
// that writes to the installer log; tests collect the lines.

#include <functional>
#include <string>

namespace setup {

using LogLineSink = std::function<void(const std::wstring& line)>;

}  // namespace setup
