#pragma once
// Streams stored in the installer package: named streams (cabinets embedded
// as "#name") and rows of the Binary table.

#include <cstdint>
#include <string>
#include <vector>

namespace setup {

// Writes the named stream of the package to the file, replacing it.
void ExtractStream(const std::wstring& name, const std::wstring& path);
// The data of a Binary row; an empty name asks nothing and gives nothing.
std::vector<uint8_t> ReadBinary(const std::wstring& name);

}  // namespace setup
