#include "driver/install/EarlyFileCopies.h"

#include <windows.h>

#include <cwchar>

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "msi/PayloadText.h"
#include "system/FileHash.h"
#include "system/FileSystem.h"
#include "system/PathText.h"

namespace setup::driver {

namespace {

constexpr wchar_t kCopyPrefix[] = L"drv";
constexpr DWORD kDataChecksumError = 323;  // ERROR_DATA_CHECKSUM_ERROR, missing from older SDK headers

bool IsListed(const DriverPackage& package, const std::wstring& name) {
    for (const PayloadFile& file : package.payloadFiles) {
        if (_wcsicmp(file.name.c_str(), name.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

[[noreturn]] void Refuse(const DriverPackage& package, int32_t code, const std::wstring& message) {
    Log(L"Early driver package '%s' is not installed: %s", package.id, message);
    throw Exception(code, message, package.id);
}

}  // namespace

EarlyFileCopies::~EarlyFileCopies() {
    for (const std::wstring& folder : folders_) {
        RemoveFiles(folder, L"*", true);
    }
}

DriverPackage EarlyFileCopies::Secure(const DriverPackage& package) {
    if ((package.attributes & attribute::EarlyConfigured) == 0) {
        return package;
    }
    const int32_t changed = HResultFromWin32(kDataChecksumError);
    if (package.payloadFiles.empty()) {
        // Scheduled without hashes: nothing says what the folder held when it was filled.
        Refuse(package, changed, L"The early files carry no hashes to verify: " + package.infPath);
    }
    const std::wstring source = GetParentPath(package.infPath);
    const std::wstring infName = GetFileNamePart(package.infPath);
    const std::wstring catName = GetFileNamePart(package.catPath);
    // A catalog the cabinet did not hold stays missing in the copy, as it was in the folder.
    if (!IsListed(package, infName)) {
        Refuse(package, changed, L"The INF is not among the extracted files: " + package.infPath);
    }

    const std::wstring copy = CreateProtectedWorkFolder(kCopyPrefix, kProtectedFolderDescriptor);
    if (copy.empty()) {
        Refuse(package, HResultFromWin32(GetLastError() == 0 ? ERROR_CANNOT_MAKE : GetLastError()),
               L"Failed to create a protected folder for the early files.");
    }
    folders_.push_back(copy);
    for (const PayloadFile& file : package.payloadFiles) {
        // Decoding keeps only plain names; checked again where it matters.
        if (!IsPlainFileName(file.name)) {
            Refuse(package, changed, L"An early file name is not a plain file name: " + file.name);
        }
        const std::wstring from = JoinPath(source, file.name);
        std::wstring hash;
        try {
            hash = CopyFileHashed(from, JoinPath(copy, file.name));
        } catch (const Exception& e) {
            Refuse(package, e.Code(), e.Message());
        }
        if (hash != file.sha256) {
            Refuse(package, changed, L"The early file was changed after it was extracted: " + from);
        }
    }
    Log(L"Early driver package '%s': %d file(s) verified in '%s'.", package.id, static_cast<int>(package.payloadFiles.size()),
        copy);
    DriverPackage secured = package;
    secured.infPath = JoinPath(copy, infName);
    secured.catPath = catName.empty() ? std::wstring() : JoinPath(copy, catName);
    return secured;
}

DriverPackageList EarlyFileCopies::SecureAll(const DriverPackageList& packages) {
    DriverPackageList secured;
    secured.reserve(packages.size());
    for (const DriverPackage& package : packages) {
        secured.push_back(Secure(package));
    }
    return secured;
}

DriverPackageList EarlyFileCopies::SecureEach(const DriverPackageList& packages) {
    DriverPackageList secured;
    secured.reserve(packages.size());
    for (const DriverPackage& package : packages) {
        try {
            secured.push_back(Secure(package));
        } catch (const Exception& e) {
            Log(L"Warning: %s Error 0x%x.", e.Message(), e.Code());
        }
    }
    return secured;
}

}  // namespace setup::driver
