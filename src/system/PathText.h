#pragma once
// Path and list text operations shared by every subsystem. Free of Win32.
// Both "\" and "/" separate path parts; joining always inserts "\".

#include <string>
#include <vector>

namespace setup {

std::wstring JoinPath(const std::wstring& first, const std::wstring& second);
// Everything before the last separator; empty when there is none.
std::wstring GetParentPath(const std::wstring& path);
// Everything after the last separator; the whole path when there is none.
std::wstring GetFileNamePart(const std::wstring& path);
// Like GetParentPath, but one trailing separator is ignored (C:\a\b\ gives C:\a).
std::wstring GetParentDirectory(const std::wstring& path);
// Every separator ends a piece (empty pieces between separators stay); the
// rest after the last separator is a piece only when it is not empty.
std::vector<std::wstring> SplitString(const std::wstring& text, const std::wstring& separator);

}  // namespace setup
