#pragma once
// Temporary names, folders and files on the real file system. Failures are
// answered by the result (empty text or false) and a log line; only the
// UUID text throws, and with it the fallback naming of temporary files.

#include <string>

namespace setup {

// 36 lower-case hexadecimal characters in groups 8-4-4-4-12, no braces.
std::wstring CreateUuidString();
// The user's temporary folder, ending in "\"; empty on failure.
std::wstring GetTempFolder();
// Creates a new empty file in folder and returns its path; empty on failure.
std::wstring GetTempFileNameIn(const std::wstring& folder, const std::wstring& prefix);
std::wstring CreateTempFile(const std::wstring& prefix);
// A new folder named like a new temporary file; empty on failure.
std::wstring CreateTempDirectory(const std::wstring& prefix);
// Like CreateTempDirectory, the folder created with the SDDL security descriptor.
std::wstring CreateTempDirectoryWithAcl(const std::wstring& prefix, const std::wstring& sddl);
// Creates the folder and every missing parent.
bool CreateDirectoryTree(const std::wstring& path);
// Copies the files of source into target (made when missing), and with
// recursive also its subfolders. Goes on after a failed file.
bool CopyDirectory(const std::wstring& source, const std::wstring& target, bool recursive);
// Deletes the files matching mask; removes the folder itself when the mask
// takes everything or with recursion. A missing folder is not a failure.
bool RemoveFiles(const std::wstring& folder, const std::wstring& mask, bool recursive);
// Removes an empty folder.
bool RemoveFolder(const std::wstring& folder);
std::wstring GetWindowsFolder();

}  // namespace setup
