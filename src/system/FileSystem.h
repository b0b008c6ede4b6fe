#pragma once
// Temporary names, folders and files on the real file system. Failures are
// answered by the result (empty text or false) and a log line; only the
// UUID text throws, and with it the fallback naming of temporary files.

#include <string>
#include <vector>

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
// A new folder parent\prefix<UUID>, made in one step with the SDDL security
// descriptor. A name that exists already is never taken over: another is
// tried. Empty on failure (the last error says why).
std::wstring CreateNewFolder(const std::wstring& parent, const std::wstring& prefix, const std::wstring& sddl);
// CreateNewFolder in the user's temporary folder.
std::wstring CreateTempDirectoryWithAcl(const std::wstring& prefix, const std::wstring& sddl);
// CreateNewFolder for work of the system-rights phase: in the folder of
// GetTempPath2W where the system has it (only SYSTEM may write there), else
// in the temporary folder, where the descriptor alone protects it.
std::wstring CreateProtectedWorkFolder(const std::wstring& prefix, const std::wstring& sddl);
// Full access for SYSTEM and Administrators only, not inherited from the
// parent, handed on to everything made below it.
constexpr wchar_t kProtectedFolderDescriptor[] = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Creates the folder and every missing parent.
bool CreateDirectoryTree(const std::wstring& path);
// Copies the files of source into target (made when missing), and with
// recursive also its subfolders. Goes on after a failed file.
bool CopyDirectory(const std::wstring& source, const std::wstring& target, bool recursive);
// Deletes the files matching mask; removes the folder itself when the mask
// takes everything or with recursion. A missing folder is not a failure.
// Junctions and links are removed as links and never followed, the folder
// itself included.
bool RemoveFiles(const std::wstring& folder, const std::wstring& mask, bool recursive);
// The names of the plain files of a folder, without subfolders and links;
// nothing when the folder cannot be read (logged).
std::vector<std::wstring> ListFiles(const std::wstring& folder);
// Removes an empty folder.
bool RemoveFolder(const std::wstring& folder);
std::wstring GetWindowsFolder();

namespace detail {

// Makes one folder with a descriptor; returns the Win32 result. Tests put a
// recorder here: Wine keeps no folder descriptors to read back.
using FolderMaker = unsigned long (*)(const std::wstring& path, const std::wstring& sddl);
// nullptr puts the real one back.
void SetFolderMakerForTesting(FolderMaker maker);

}  // namespace detail

}  // namespace setup
