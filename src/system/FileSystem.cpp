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

std::wstring CreateTempDirectoryWithAcl(const std::wstring& prefix, const std::wstring& sddl) {
    const std::wstring name = CreateTempFile(prefix);
    DeleteFileW(name.c_str());
    if (IsDirectory(name)) {
        return name;
    }
    if (!CreateDirectoryTree(GetParentDirectory(name))) {
        return std::wstring();
    }
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor.p, nullptr)) {
        Log(L"Failed to create security descriptor for string '%s'. Error 0x%x.", sddl, LastErrorCode());
        return std::wstring();
    }
    Log(L"Create directory '%s' '%s'.", name, sddl);
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.p;
    attributes.bInheritHandle = FALSE;
    if (!CreateDirectoryW(name.c_str(), &attributes)) {
        Log(L"Failed to create directory '%s' with ACL '%s'. Error 0x%x.", name, sddl, LastErrorCode());
        return std::wstring();
    }
    return name;
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

bool RemoveFiles(const std::wstring& folder, const std::wstring& mask, bool recursive) {
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
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (recursive && !RemoveFiles(path, mask, recursive)) {
                ok = false;
            }
            continue;
        }
        if (!mask.empty()) {
            Log(L"Remove file '%s'.", path);
            if (!DeleteFileW(path.c_str())) {
                Log(L"Failed to remove file '%s'. Error 0x%x.", path, LastErrorCode());
                ok = false;
            }
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
