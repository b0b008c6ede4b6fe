#include "tables/CatalogFiles.h"

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "system/SystemLibrary.h"

namespace setup {

namespace {

// DRIVER_ACTION_VERIFY: the subsystem of driver catalogs.
constexpr GUID kDriverActionVerify = {0xF750E6C3, 0x38EE, 0x11D1, {0x85, 0xE5, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

[[noreturn]] void ThrowLastError(const wchar_t* message) {
    throw Exception(HResultFromWin32(GetLastError()), message, std::wstring());
}

template <class Fn>
Fn FindEntryPoint(HMODULE module, const char* name) {
    FARPROC proc = GetProcAddress(module, name);
    if (proc == nullptr) {
        ThrowLastError(L"Failed to get address.");
    }
    return reinterpret_cast<Fn>(proc);
}

// One admin context, released through the loaded entry point on every path.
// Handles.h cannot own it: its close function exists only at run time.
class AdminContext {
public:
    explicit AdminContext(const CatalogAdmin& admin) : admin_(admin) {
        if (!admin_.AcquireContext()(&context_, &kDriverActionVerify, 0)) {
            context_ = nullptr;
            ThrowLastError(L"Failed to opens a new Admin Context.");
        }
    }
    ~AdminContext() { admin_.ReleaseContext()(context_, 0); }
    AdminContext(const AdminContext&) = delete;
    AdminContext& operator=(const AdminContext&) = delete;

    HCATADMIN get() const { return context_; }

private:
    const CatalogAdmin& admin_;
    HCATADMIN context_ = nullptr;
};

}  // namespace

CatalogAdmin::CatalogAdmin() {
    module_ = LoadSystemLibrary(L"wintrust.dll");
    if (!module_) {
        ThrowLastError(L"Failed to load wintrust.dll.");
    }
    acquireContext_ = FindEntryPoint<AcquireContextFn>(module_.get(), "CryptCATAdminAcquireContext");
    releaseContext_ = FindEntryPoint<ReleaseContextFn>(module_.get(), "CryptCATAdminReleaseContext");
    releaseCatalogContext_ = FindEntryPoint<ReleaseCatalogContextFn>(module_.get(), "CryptCATAdminReleaseCatalogContext");
    addCatalog_ = FindEntryPoint<AddCatalogFn>(module_.get(), "CryptCATAdminAddCatalog");
    removeCatalog_ = FindEntryPoint<RemoveCatalogFn>(module_.get(), "CryptCATAdminRemoveCatalog");
}

void AddCatalog(const CatalogAdmin& admin, const std::wstring& path, const std::wstring& baseName) {
    const AdminContext context(admin);
    if (path.empty()) {
        throw Exception(hresult::Fail, L"Failed to add a catalog file. The catalog file not specified.", std::wstring());
    }
    // The entry point takes writable strings; it gets copies.
    std::wstring file = path;
    std::wstring name = baseName;
    HCATINFO catalog = admin.AddCatalog()(context.get(), file.data(), name.data(), 0);
    if (catalog == nullptr) {
        ThrowLastError(L"Failed to add a catalog file.");
    }
    if (!admin.ReleaseCatalogContext()(context.get(), catalog, 0)) {
        ThrowLastError(L"Failed to release an Admin Context.");
    }
    Log(L"The catalog file '%s' was successfully installed.", path);
}

void RemoveCatalog(const CatalogAdmin& admin, const std::wstring& baseName) {
    const AdminContext context(admin);
    if (baseName.empty()) {
        throw Exception(hresult::Fail, L"Failed to remove a catalog file. The catalog file not specified.", std::wstring());
    }
    SetLastError(ERROR_SUCCESS);
    const BOOL removed = admin.RemoveCatalog()(context.get(), baseName.c_str(), 0);
    const DWORD error = GetLastError();
    const bool notFound = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    if (!removed && !notFound) {
        throw Exception(HResultFromWin32(error), L"Failed to remove a catalog file.", std::wstring());
    }
    // Some implementations report a catalog that is not there as a success
    // that leaves the not-found code behind; both mean nothing was removed.
    if (notFound) {
        Log(L"The catalog file '%s' was not found.", baseName);
        return;
    }
    Log(L"The catalog file '%s' was successfully removed.", baseName);
}

void AddCatalogs(const std::vector<CryptCatalogRecord>& records, bool ignoreErrors) {
    const CatalogAdmin admin;
    for (const CryptCatalogRecord& record : records) {
        try {
            AddCatalog(admin, record.path, record.name);
        } catch (const Exception& e) {
            if (ignoreErrors) {
                continue;
            }
            Log(L"Failed to install '%s'. %s Error 0x%x.", record.id, e.Message(), e.Code());
            throw;
        }
    }
}

bool IsCatalogRegistered(const std::wstring& baseName) {
    if (baseName.empty() || baseName.find_first_of(L"\\/:") != std::wstring::npos || baseName == L"." || baseName == L"..") {
        return false;
    }
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    // The database keeps each subsystem's catalogs in a folder named by its GUID.
    const std::wstring path =
        std::wstring(system, length) + L"\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\" + baseName;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void RemoveCatalogs(const std::vector<CryptCatalogRecord>& records) {
    const CatalogAdmin admin;
    for (const CryptCatalogRecord& record : records) {
        try {
            RemoveCatalog(admin, record.name);
        } catch (const Exception&) {
            // Removal is lenient: the remaining catalogs still go.
        }
    }
}

}  // namespace setup
