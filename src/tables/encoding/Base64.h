#pragma once
// Standard Base64 ("A-Z a-z 0-9 + /", "=" padding) for binary values in the
// CustomActionData text.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace setup {

std::wstring EncodeBase64(const std::vector<uint8_t>& bytes);

// Never fails: characters outside the alphabet are skipped and bits that do
// not fill a byte are dropped.
std::vector<uint8_t> DecodeBase64(std::wstring_view text);

}  // namespace setup
