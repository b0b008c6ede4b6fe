#include "system/SystemLibrary.h"

#include <windows.h>

#include "system/PathText.h"

namespace setup {

namespace {

detail::LibraryLoader g_loader = LoadLibraryExW;

}  // namespace

std::wstring SystemPath(const std::wstring& name) {
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    if (size == 0) {
        return std::wstring();
    }
    std::wstring directory(size, L'\0');
    const UINT length = GetSystemDirectoryW(directory.data(), size);
    if (length == 0 || length >= size) {
        return std::wstring();
    }
    directory.resize(length);
    return JoinPath(directory, name);
}

UniqueModule LoadSystemLibrary(const wchar_t* name) {
    return UniqueModule(g_loader(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

namespace detail {

void SetLibraryLoaderForTesting(LibraryLoader loader) { g_loader = loader != nullptr ? loader : LoadLibraryExW; }

}  // namespace detail

}  // namespace setup
