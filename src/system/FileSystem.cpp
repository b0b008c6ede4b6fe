#include "system/FileSystem.h"

#include <windows.h>
#include <rpc.h>
#include <sddl.h>

#include <cstdint>
#include <vector>

#include "frame/Exception.h"
#include "frame/Handles.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "system/PathText.h"
#include "system/RemovalStep.h"

namespace setup {

namespace {

int32_t LastErrorCode() { return HResultFromWin32(GetLastError()); }

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsDotEntry(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// Frees a descriptor made by ConvertStringSecurityDescriptorToSecurityDescriptorW.
struct LocalMemory {
    PSECURITY_DESCRIPTOR p = nullptr;
    LocalMemory() = default;
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() {
        if (p != nullptr) {
            LocalFree(p);
        }
    }
};

}  // namespace

std::wstring CreateUuidString() {
    UUID uuid = {};
    RPC_STATUS status = UuidCreate(&uuid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) {
        throw Exception(static_cast<int32_t>(status | 1), L"Failed to create uuid.", std::wstring());
    }
    RPC_WSTR text = nullptr;
    status = UuidToStringW(&uuid, &text);
    if (status != RPC_S_OK) {
        throw Exception(static_cast<int32_t>(status | 1), L"Failed to convert uuid to string.", std::wstring());
    }
    std::wstring result(reinterpret_cast<const wchar_t*>(text));
    RpcStringFreeW(&text);
    return result;
}

std::wstring GetTempFolder() {
    const DWORD size = GetTempPathW(0, nullptr);
    std::vector<wchar_t> buffer(static_cast<size_t>(size) + 1, L'\0');
    if (GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data()) == 0) {
        return std::wstring();
    }
    return std::wstring(buffer.data());
}

std::wstring GetTempFileNameIn(const std::wstring& folder, const std::wstring& prefix) {
    // GetTempFileNameW writes into a MAX_PATH buffer and documents folders of
    // at most MAX_PATH - 14 characters; a longer one is refused here as
    // Windows refuses it, so no implementation can write past the buffer.
    const bool tooLong = folder.size() > MAX_PATH - 14;
    if (!tooLong) {
        wchar_t buffer[MAX_PATH + 1] = {};
        // With 0 as the unique number the call creates the empty file itself.
        if (GetTempFileNameW(folder.c_str(), prefix.c_str(), 0, buffer) != 0) {
            return std::wstring(buffer);
        }
        if (GetLastError() != ERROR_BUFFER_OVERFLOW) {
            return std::wstring();
        }
    }
    // The folder path is too long for GetTempFileNameW: name the file by UUID.
    const std::wstring name = JoinPath(folder, prefix + CreateUuidString());
    UniqueFileHandle file(CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    return name;
}

std::wstring CreateTempFile(const std::wstring& prefix) { return GetTempFileNameIn(GetTempFolder(), prefix); }

std::wstring CreateTempDirectory(const std::wstring& prefix) {
    const std::wstring name = CreateTempFile(prefix);
    DeleteFileW(name.c_str());
    return CreateDirectoryTree(name) ? name : std::wstring();
}

namespace {

constexpr int kNewFolderAttempts = 16;

DWORD CreateFolderWithDescriptor(const std::wstring& path, const std::wstring& sddl) {
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor.p, nullptr)) {
        const DWORD error = GetLastError();
        Log(L"Failed to create security descriptor for string '%s'. Error 0x%x.", sddl, HResultFromWin32(error));
        return error;
    }
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.p;
    attributes.bInheritHandle = FALSE;
    return CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS : GetLastError();
}

detail::FolderMaker g_folderMaker = CreateFolderWithDescriptor;

// The folder of GetTempPath2W (for SYSTEM a folder only SYSTEM may write),
// looked up by name: older Windows 10 builds and Wine 8 lack it.
std::wstring GetSystemTempFolder() {
    using GetTempPath2 = DWORD(WINAPI*)(DWORD, LPWSTR);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto get = kernel == nullptr ? nullptr
                                       : reinterpret_cast<GetTempPath2>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetTempPath2W")));
    if (get == nullptr) {
        return std::wstring();
    }
    wchar_t buffer[MAX_PATH + 2] = {};
    const DWORD length = get(MAX_PATH + 1, buffer);
    return length == 0 || length > MAX_PATH + 1 ? std::wstring() : std::wstring(buffer, length);
}

}  // namespace

namespace detail {

void SetFolderMakerForTesting(FolderMaker maker) { g_folderMaker = maker != nullptr ? maker : CreateFolderWithDescriptor; }

}  // namespace detail

std::wstring CreateTempDirectoryWithAcl(const std::wstring& prefix, const std::wstring& sddl) {
    return CreateNewFolder(GetTempFolder(), prefix, sddl);
}

std::wstring CreateNewFolder(const std::wstring& parent, const std::wstring& prefix, const std::wstring& sddl) {
    if (parent.empty()) {
        return std::wstring();
    }
    for (int attempt = 0; attempt < kNewFolderAttempts; ++attempt) {
        const std::wstring name = JoinPath(parent, prefix + CreateUuidString());
        Log(L"Create directory '%s' '%s'.", name, sddl);
        const DWORD error = g_folderMaker(name, sddl);
        if (error == ERROR_SUCCESS) {
            return name;
        }
        // Someone else made a folder of that name first: its descriptor is
        // theirs, so it is never used.
        if (error != ERROR_ALREADY_EXISTS) {
            Log(L"Failed to create directory '%s' with ACL '%s'. Error 0x%x.", name, sddl, HResultFromWin32(error));
            SetLastError(error);
            return std::wstring();
        }
        Log(L"The directory '%s' already exists; another name is taken.", name);
    }
    SetLastError(ERROR_ALREADY_EXISTS);
    return std::wstring();
}

std::wstring CreateProtectedWorkFolder(const std::wstring& prefix, const std::wstring& sddl) {
    const std::wstring systemTemp = GetSystemTempFolder();
    return CreateNewFolder(systemTemp.empty() ? GetTempFolder() : systemTemp, prefix, sddl);
}

bool CreateDirectoryTree(const std::wstring& path) {
    // Nothing left to create from: an empty text has no parent to build on.
    if (path.empty()) {
        return false;
    }
    if (IsDirectory(path)) {
        return true;
    }
    if (!CreateDirectoryTree(GetParentDirectory(path))) {
        return false;
    }
    Log(L"Create directory '%s'.", path);
    if (!CreateDirectoryW(path.c_str(), nullptr)) {
        Log(L"Failed to create directory '%s'. Error 0x%x.", path, LastErrorCode());
        return false;
    }
    return true;
}

bool CopyDirectory(const std::wstring& source, const std::wstring& target, bool recursive) {
    if (!CreateDirectoryTree(target)) {
        return false;
    }
    WIN32_FIND_DATAW entry = {};
    UniqueFindHandle find(FindFirstFileW(JoinPath(source, L"*").c_str(), &entry));
    if (!find) {
        Log(L"Failed to find files in directory '%s'. Error 0x%x.", source, LastErrorCode());
        return false;
    }
    bool ok = true;
    do {
        if (IsDotEntry(entry.cFileName)) {
            continue;
        }
        const std::wstring from = JoinPath(source, entry.cFileName);
        const std::wstring to = JoinPath(target, entry.cFileName);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (recursive && !CopyDirectory(from, to, recursive)) {
                ok = false;
            }
            continue;
        }
        Log(L"Copy file '%s' -> '%s'.", from, to);
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            Log(L"Failed to copy '%s' to '%s'. Error 0x%x.", from, to, LastErrorCode());
            ok = false;
        }
    } while (FindNextFileW(find.get(), &entry));
    return ok;
}

namespace {

// A junction or folder link goes as a link: RemoveDirectoryW removes the
// link and never touches the folder it points to.
bool RemoveLink(const std::wstring& path) {
    Log(L"Remove link '%s'.", path);
    if (!RemoveDirectoryW(path.c_str())) {
        Log(L"Failed to remove link '%s'. Error 0x%x.", path, LastErrorCode());
        return false;
    }
    return true;
}

}  // namespace

bool RemoveFiles(const std::wstring& folder, const std::wstring& mask, bool recursive) {
    const DWORD own = GetFileAttributesW(folder.c_str());
    if (own != INVALID_FILE_ATTRIBUTES && DecideRemoval(own, recursive) == RemovalStep::RemoveLink) {
        // The folder itself was replaced by a link: its target is someone else's.
        return RemoveLink(folder);
    }
    const std::wstring pattern = JoinPath(folder, mask.empty() ? std::wstring(L"*") : mask);
    WIN32_FIND_DATAW entry = {};
    UniqueFindHandle find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            Log(L"The file(s) '%s\\%s' was not found.", folder, mask);
            return true;
        }
        Log(L"Failed to find files '%s' in directory '%s'. Error 0x%x.", mask, folder, HResultFromWin32(error));
        return false;
    }
    bool ok = true;
    do {
        if (IsDotEntry(entry.cFileName)) {
            continue;
        }
        const std::wstring path = JoinPath(folder, entry.cFileName);
        switch (DecideRemoval(entry.dwFileAttributes, recursive)) {
        case RemovalStep::RemoveLink:
            if (!RemoveLink(path)) {
                ok = false;
            }
            break;
        case RemovalStep::Descend:
            if (!RemoveFiles(path, mask, recursive)) {
                ok = false;
            }
            break;
        case RemovalStep::Leave:
            break;
        case RemovalStep::DeleteFile:
            if (!mask.empty()) {
                Log(L"Remove file '%s'.", path);
                if (!DeleteFileW(path.c_str())) {
                    Log(L"Failed to remove file '%s'. Error 0x%x.", path, LastErrorCode());
                    ok = false;
                }
            }
            break;
        }
    } while (FindNextFileW(find.get(), &entry));
    find.reset();  // the folder cannot go while the search holds it

    if (mask.empty() || mask == L"*" || mask == L"*.*" || recursive) {
        if (!RemoveFolder(folder)) {
            ok = false;
        }
    }
    return ok;
}

std::vector<std::wstring> ListFiles(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    UniqueFindHandle find(FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry));
    if (!find) {
        Log(L"Failed to find files in directory '%s'. Error 0x%x.", folder, LastErrorCode());
        return names;
    }
    do {
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
            names.emplace_back(entry.cFileName);
        }
    } while (FindNextFileW(find.get(), &entry));
    return names;
}

bool RemoveFolder(const std::wstring& folder) {
    Log(L"Remove directory '%s'.", folder);
    if (!RemoveDirectoryW(folder.c_str())) {
        Log(L"Failed to remove directory '%s'. Error 0x%x.", folder, LastErrorCode());
        return false;
    }
    return true;
}

std::wstring GetWindowsFolder() {
    const UINT size = GetWindowsDirectoryW(nullptr, 0);
    std::vector<wchar_t> buffer(static_cast<size_t>(size) + 1, L'\0');
    if (GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size())) == 0) {
        return std::wstring();
    }
    return std::wstring(buffer.data());
}

}  // namespace setup
