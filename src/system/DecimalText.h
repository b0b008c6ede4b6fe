#pragma once
// Signed decimal numbers in text, read the lenient way the installer's own
// tables are read: a bad number is 0, never an error.

#include <cstdint>
#include <string>
#include <string_view>

namespace setup {

// Leading blanks and one sign are accepted; digits are read up to the first
// other character; no digits give 0; values beyond 32 bits saturate.
int32_t ParseDecimalInt32(std::wstring_view text);

std::wstring FormatDecimalInt32(int32_t value);

}  // namespace setup
