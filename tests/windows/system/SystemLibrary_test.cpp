#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "system/SystemLibrary.h"

namespace {

std::wstring g_name;
DWORD g_flags = 0;

HMODULE WINAPI RecordingLoader(LPCWSTR name, HANDLE file, DWORD flags) {
    g_name = name;
    g_flags = flags;
    return LoadLibraryExW(name, file, flags);
}

TEST(SystemLibrary, LoadsFromTheSystemFolderOnly) {
    setup::detail::SetLibraryLoaderForTesting(RecordingLoader);
    const setup::UniqueModule wintrust = setup::LoadSystemLibrary(L"wintrust.dll");
    setup::detail::SetLibraryLoaderForTesting(nullptr);
    EXPECT_EQ(L"wintrust.dll", g_name);
    EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), g_flags);
    ASSERT_TRUE(wintrust);
    EXPECT_NE(nullptr, GetProcAddress(wintrust.get(), "CryptCATAdminAcquireContext"));
}

TEST(SystemLibrary, ALibraryBesideTheProgramIsNotLoaded) {
    // A library of that name in the program's folder, which the search order
    // of a bare LoadLibraryW looks at first.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring beside = self;
    beside = beside.substr(0, beside.find_last_of(L"\\/") + 1) + L"dd_beside_program.dll";
    ASSERT_TRUE(CopyFileW(setup::SystemPath(L"wintrust.dll").c_str(), beside.c_str(), FALSE));
    HMODULE control = LoadLibraryW(L"dd_beside_program.dll");
    EXPECT_NE(nullptr, control) << "the search order did not find the library beside the program";
    if (control != nullptr) {
        FreeLibrary(control);
    }
    EXPECT_FALSE(setup::LoadSystemLibrary(L"dd_beside_program.dll"));
    DeleteFileW(beside.c_str());
}

TEST(SystemLibrary, SystemPathsAreFull) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    EXPECT_EQ(std::wstring(system) + L"\\ntdll.dll", setup::SystemPath(L"ntdll.dll"));
}

}  // namespace
