#pragma once
// SHA-256 of files through BCrypt, as 64 lower-case hexadecimal characters.
// Failures throw setup::Exception naming the file.

#include <string>

namespace setup {

std::wstring HashFile(const std::wstring& path);

// Copies source to target, which must not exist yet, and returns the hash of
// the bytes written: what the copy holds is what was hashed, whatever the
// source does meanwhile. A failed copy leaves no target behind.
std::wstring CopyFileHashed(const std::wstring& source, const std::wstring& target);

}  // namespace setup
