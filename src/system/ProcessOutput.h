#pragma once
// The text side of running a child process: which pieces of its captured
// output become log lines. Free of Win32.

#include <string>
#include <vector>

namespace setup {

// Splits at each CR LF pair only (a lone CR or LF stays inside its line) and
// keeps the non-empty pieces, the one after the last pair included.
std::vector<std::wstring> SplitOutputLines(const std::wstring& output);

}  // namespace setup
