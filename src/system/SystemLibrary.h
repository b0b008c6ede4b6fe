#pragma once
// Libraries and files of the system folder by their full path. Every library
// the product loads at run time goes through LoadSystemLibrary: a name alone
// would let the search order pick a file from the folder of the installer's
// process or the current folder, which the installing user may fill.

#include <string>

#include "frame/Handles.h"

namespace setup {

// The system folder joined with the name; empty when the folder is unknown.
std::wstring SystemPath(const std::wstring& name);

// LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32; empty on failure (the
// last error says why).
UniqueModule LoadSystemLibrary(const wchar_t* name);

namespace detail {
using LibraryLoader = HMODULE(WINAPI*)(LPCWSTR name, HANDLE file, DWORD flags);
// nullptr puts LoadLibraryExW back.
void SetLibraryLoaderForTesting(LibraryLoader loader);
}  // namespace detail

}  // namespace setup
