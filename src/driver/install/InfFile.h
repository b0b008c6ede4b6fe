#pragma once
// Reading a driver package's INF file through SetupAPI: its models and
// decorated install sections, the services those sections add or delete,
// the class GUID and the first model's hardware id. Failures that are not
// swallowed travel as setup::Exception with the HRESULT of the last error.

#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frame/Handles.h"

namespace setup::driver {

// Shared owner of an open INF: copies go freely between the operations of
// one installer, and the last copy closes the file.
class InfHandle {
public:
    InfHandle() = default;
    explicit InfHandle(UniqueInfHandle handle) : owner_(std::make_shared<UniqueInfHandle>(std::move(handle))) {}

    HINF get() const noexcept { return owner_ ? owner_->get() : INVALID_HANDLE_VALUE; }
    explicit operator bool() const noexcept { return owner_ && static_cast<bool>(*owner_); }

private:
    std::shared_ptr<const UniqueInfHandle> owner_;
};

InfHandle OpenInfFile(const std::wstring& path);

// In the operations below an empty key means "any line" (no key is passed to
// SetupAPI).

// The values after the key of a line, list index 0 being the first value.
std::vector<std::wstring> GetLineFields(const INFCONTEXT& line);
std::vector<std::wstring> GetFirstLineFields(const InfHandle& inf, const std::wstring& section, const std::wstring& key);
// Value `index` of the section's first line; empty when there is no such value.
std::wstring GetFirstLineField(const InfHandle& inf, std::size_t index, const std::wstring& section);
// The first value of the first line with the key and of every line after it
// in the section, whatever their keys; lines without values are left out.
std::vector<std::wstring> GetFirstFieldOfLines(const InfHandle& inf, const std::wstring& section, const std::wstring& key);
std::vector<std::wstring> GetSectionKeys(const InfHandle& inf, const std::wstring& section);
std::wstring GetFirstSectionKey(const InfHandle& inf, const std::wstring& section);
std::wstring GetLineText(const InfHandle& inf, const std::wstring& section, const std::wstring& key);

std::wstring GetModelsSection(const InfHandle& inf);
std::wstring GetActualSectionToInstall(const InfHandle& inf, const std::wstring& section);
std::wstring GetInstallSection(const InfHandle& inf);
std::wstring GetUninstallSection(const InfHandle& inf);

// These never throw setup::Exception: a failure is logged and gives nothing.
std::vector<std::wstring> GetServicesToAdd(const InfHandle& inf);
std::wstring GetFirstServiceToAdd(const InfHandle& inf);
std::vector<std::wstring> GetServicesToDelete(const InfHandle& inf);
std::wstring GetFirstServiceToDelete(const InfHandle& inf);
// The first service to add of an install section the caller may already
// know (installSection is asked only when needed); nothing when the INF
// could not be read, which is logged as above.
std::optional<std::wstring> FindFirstServiceToAdd(const InfHandle& inf,
                                                  const std::function<std::wstring()>& installSection);

// All zero when the INF names no class.
GUID GetClassGuid(const InfHandle& inf);
std::wstring GetModelHardwareId(const InfHandle& inf);

// Whether the INF at the path belongs to one of the network setup classes
// (adapters, clients, services, protocols).
bool IsNetworkClassInf(const std::wstring& infPath);

// What makes two INFs versions of one driver package: the first key of
// "SourceDisksFiles" and the first AddService service, both lower-cased.
struct InfPackageIdentity {
    std::wstring sourceFile;
    std::wstring service;

    // Without both, an INF is nobody's earlier version.
    bool Complete() const { return !sourceFile.empty() && !service.empty(); }
};
InfPackageIdentity GetInfPackageIdentity(const InfHandle& inf);
// The same, with the first service to add already read.
InfPackageIdentity GetInfPackageIdentity(const InfHandle& inf, const std::wstring& firstServiceToAdd);

// Whether the INF at candidatePath is a published copy of the package's INF:
// the same bytes, or the same complete identity (an earlier or later
// version). An INF that cannot be read is no copy; never throws
// setup::Exception.
bool IsPublishedCopyOfInf(const std::wstring& packageInfPath, const std::wstring& candidatePath);

}  // namespace setup::driver
