#include "driver/install/DriverPackageInstaller.h"

#include <algorithm>
#include <cwctype>
#include <exception>
#include <mutex>
#include <utility>

#include "driver/install/SetupApi.h"
#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/LastError.h"
#include "frame/Log.h"
#include "system/FileSystem.h"
#include "system/LoadOrder.h"
#include "system/PathText.h"
#include "system/Services.h"
#include "tables/CatalogFiles.h"

namespace setup::driver {

namespace {

// The signer structure as the verification expects it (its first form).
constexpr DWORD kSignerInfoSize = 1564;
static_assert(sizeof(SP_INF_SIGNER_INFO_W) >= kSignerInfoSize);

// Every SPINST_ directive up to SPINST_COPYINF except the files, which go
// through the installer's own queue and callback.
constexpr UINT kInstallFlagsWithoutFiles = 0x3EF;

constexpr DWORD kTrustedPublisher = 0xE0000241;     // ERROR_AUTHENTICODE_TRUSTED_PUBLISHER
constexpr DWORD kTrustNotEstablished = 0xE0000242;  // ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED

constexpr uint32_t kFacilityMask = 0x1FFF0000;
constexpr uint32_t kCertificateFacility = 0x000B0000;

constexpr wchar_t kRebootRequired[] = L"Execution of driver package required reboot.";

// Publishing and removing OEM INFs is serialized across the package threads
// of the process.
std::mutex& OemInfLock() {
    static std::mutex lock;
    return lock;
}

bool SameFileName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool IsExistingFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

const wchar_t* TextOrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

// What the queue callback keeps across one commit.
struct CommitState {
    std::wstring missingSource;  // the source file a need-media notification found missing
    std::exception_ptr failure;  // nothing may unwind through SetupAPI's frames
};

UINT OnFileNotification(CommitState& state, UINT notification, UINT_PTR param1, UINT_PTR param2) {
    // Read before anything else can overwrite it.
    const DWORD lastError = GetLastError();
    const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
    switch (notification) {
    case SPFILENOTIFY_STARTQUEUE:
        Log(L"The queue has started to commit.");
        return TRUE;
    case SPFILENOTIFY_ENDQUEUE:
        Log(L"The queue has finished committing.");
        return TRUE;
    case SPFILENOTIFY_STARTSUBQUEUE:
        Log(L"A subqueue %d has started. Count %d", param1, param2);
        return TRUE;
    case SPFILENOTIFY_ENDSUBQUEUE:
        Log(L"A subqueue %d has ended.", param1);
        return TRUE;
    case SPFILENOTIFY_STARTDELETE:
        Log(L"A file delete '%s' operation has started.", paths->Target);
        return FILEOP_DOIT;
    case SPFILENOTIFY_ENDDELETE:
        Log(L"A file delete '%s' operation has ended.", paths->Target);
        return TRUE;
    case SPFILENOTIFY_DELETEERROR:
        Log(L"An error occurred during '%s' deletion operation. LastError 0x%x.", paths->Target, lastError);
        return FILEOP_SKIP;
    case SPFILENOTIFY_STARTRENAME:
        Log(L"A file rename '%s'->'%s' operation has started.", paths->Source, paths->Target);
        return FILEOP_DOIT;
    case SPFILENOTIFY_ENDRENAME:
        Log(L"A file rename '%s'->'%s' operation has ended.", paths->Source, paths->Target);
        return TRUE;
    case SPFILENOTIFY_RENAMEERROR:
        Log(L"An error occurred during '%s'->'%s' renaming operation. LastError 0x%x.", paths->Source, paths->Target,
            lastError);
        return FILEOP_ABORT;
    case SPFILENOTIFY_STARTCOPY:
        Log(L"A file copy '%s'->'%s' operation has started.", paths->Source, paths->Target);
        return FILEOP_DOIT;
    case SPFILENOTIFY_ENDCOPY:
        Log(L"A file copying '%s'->'%s' operation has ended.", paths->Source, paths->Target);
        return TRUE;
    case SPFILENOTIFY_COPYERROR:
        Log(L"An error occurred during '%s'->'%s' copying operation. LastError 0x%x.", paths->Source, paths->Target,
            lastError);
        return FILEOP_ABORT;
    case SPFILENOTIFY_NEEDMEDIA: {
        const auto* media = reinterpret_cast<const SOURCE_MEDIA_W*>(param1);
        Log(L"New source media is needed '%s' '%s' %d.", media->SourcePath, media->SourceFile, media->Flags);
        // The queue sends this for every source file, present or not. "Do
        // it" for a file that is not there makes the queue ask again without
        // end, so a missing file ends the commit instead.
        const std::wstring source = JoinPath(TextOrEmpty(media->SourcePath), TextOrEmpty(media->SourceFile));
        if (IsExistingFile(source)) {
            return FILEOP_DOIT;
        }
        state.missingSource = source;
        Log(L"The source file '%s' does not exist. The file queue is not committed.", source);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FILEOP_ABORT;
    }
    case SPFILENOTIFY_FILEOPDELAYED:
        Log(L"The file '%s' was in use, and the current operation has been delayed until the system is rebooted. '%s'.",
            paths->Target, paths->Source);
        return TRUE;
    case SPFILENOTIFY_STARTREGISTRATION:
        Log(L"The registration or unregistration of the file has started. Type: %d", param2);
        return FILEOP_DOIT;
    case SPFILENOTIFY_ENDREGISTRATION:
        Log(L"The registration or unregistration of the file has finished. Type: %d", param2);
        return FILEOP_DOIT;
    case SPFILENOTIFY_TARGETEXISTS:
        Log(L"A copy of '%s' file already exists on the target '%s'. Overwrite.", paths->Target, paths->Source);
        return TRUE;
    case SPFILENOTIFY_TARGETNEWER:
        Log(L"A newer version of '%s' file exists on the target '%s'. Overwrite.", paths->Source, paths->Target);
        return TRUE;
    default:
        Log(L"Notification %d params %x,%x", notification, param1, param2);
        return TRUE;
    }
}

UINT CALLBACK FileQueueCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2) {
    CommitState& state = *static_cast<CommitState*>(context);
    try {
        return OnFileNotification(state, notification, param1, param2);
    } catch (...) {
        state.failure = std::current_exception();
        SetLastError(ERROR_OPERATION_ABORTED);
        return FILEOP_ABORT;
    }
}

}  // namespace

DriverPackageInstaller::DriverPackageInstaller(const DriverPackage& package)
    : DriverPackageInstaller(package, SystemInstallerPlatform()) {}

DriverPackageInstaller::DriverPackageInstaller(const DriverPackage& package, InstallerPlatform& platform)
    : package_(package), platform_(platform) {
    UniqueInfHandle inf(SetupOpenInfFileW(package_.infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    if (!inf) {
        throw Exception(HResultFromLastError(), L"Failed to open inf file: " + package_.infPath, package_.id);
    }
    inf_ = InfHandle(std::move(inf));
    UniqueFileQueue queue(SetupOpenFileQueue());
    if (!queue) {
        throw Exception(HResultFromLastError(), L"Failed to open file queue.", package_.id);
    }
    fileQueue_ = std::make_shared<const UniqueFileQueue>(std::move(queue));
}

DriverPackageInstaller::~DriverPackageInstaller() = default;

const std::wstring& DriverPackageInstaller::InstallSection() {
    if (!installSection_) {
        installSection_ = GetInstallSection(inf_);
    }
    return *installSection_;
}

std::wstring DriverPackageInstaller::FirstServiceToAdd() {
    if (!firstServiceToAdd_) {
        firstServiceToAdd_ = FindFirstServiceToAdd(inf_, [this] { return InstallSection(); });
    }
    return firstServiceToAdd_.value_or(std::wstring());
}

void DriverPackageInstaller::ValidateInstallation() {
    const std::wstring service = FirstServiceToAdd();
    if (!service.empty()) {
        ValidateServiceNotMarkedForDeletion(OpenServiceHandle(service));
    } else {
        Log(L"The package '%s' does not install any services.", package_.id);
    }

    SP_INF_SIGNER_INFO_W signer = {};
    signer.cbSize = kSignerInfoSize;
    if (setupapi::VerifyInfFile(package_.infPath.c_str(), nullptr, &signer)) {
        Log(L"Inf file '%s' has a valid Authenticode digital signature.", package_.infPath);
        return;
    }
    const DWORD error = GetLastError();
    if (error == kTrustedPublisher) {
        Log(L"Publisher's certificate is installed in the Trusted Publishers certificate store.");
    } else if (error == kTrustNotEstablished) {
        Log(L"Publisher's certificate is not installed in the Trusted Publishers certificates store.");
    }
    Log(L"Inf file '%s' verification result: 0x%x.", package_.infPath, HResultFromErrorCode(error));
}

void DriverPackageInstaller::UninstallCatalog() {
    if (package_.catPath.empty() || !IsExistingFile(package_.catPath)) {
        Log(L"Skip uninstallation of catalog file for driver '%s'.", package_.id);
        return;
    }
    const CatalogAdmin admin;
    RemoveCatalog(admin, GetFileNamePart(package_.catPath));
}

std::vector<std::wstring> DriverPackageInstaller::FindInstalledOemInfs() {
    std::vector<std::wstring> found;

    // Only an INF already in the store is named here; nothing is published.
    // A published name (the INF folder and oemN.inf) fits MAX_PATH; a longer
    // one is asked for again at the size it needs.
    std::wstring ownName;
    std::wstring published(MAX_PATH, L'\0');
    DWORD size = 0;
    BOOL isPublished = platform_.CopyOemInf(package_.infPath.c_str(), SPOST_NONE, SP_COPY_REPLACEONLY, published.data(),
                                            static_cast<DWORD>(published.size()), &size);
    if (!isPublished && GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > published.size()) {
        published.assign(static_cast<size_t>(size) + 1, L'\0');
        isPublished = platform_.CopyOemInf(package_.infPath.c_str(), SPOST_NONE, SP_COPY_REPLACEONLY, published.data(),
                                           static_cast<DWORD>(published.size()), nullptr);
    }
    if (isPublished) {
        published.resize(std::min(published.size(), published.find(L'\0')));
        Log(L"Found '%s' for driver package.", published);
        found.push_back(published);
        ownName = GetFileNamePart(published);
    }

    const InfPackageIdentity own = GetInfPackageIdentity(inf_, FirstServiceToAdd());
    if (!own.Complete()) {
        Log(L"Skip find oem*.inf for previous version of driver package. The SourceDisksFiles or AddService sections "
            L"are not specified in '%s'.",
            package_.infPath);
        return found;
    }

    const std::wstring directory = JoinPath(GetWindowsFolder(), L"Inf");
    const std::wstring pattern = JoinPath(directory, L"oem*.inf");
    WIN32_FIND_DATAW entry = {};
    const UniqueFindHandle search(FindFirstFileW(pattern.c_str(), &entry));
    if (!search) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            Log(L"The system cannot find the file '%s', ", pattern);
            return found;
        }
        throw Exception(HResultFromWin32(error), L"Failed to find oem*.inf", std::wstring());
    }
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        const std::wstring path = JoinPath(directory, entry.cFileName);
        try {
            const InfPackageIdentity candidate = GetInfPackageIdentity(OpenInfFile(path));
            if (candidate.sourceFile == own.sourceFile && candidate.service == own.service &&
                !SameFileName(GetFileNamePart(path), ownName)) {
                Log(L"Found '%s' for previous version of driver package.", path);
                found.push_back(path);
            }
        } catch (const Exception&) {
            // An INF that cannot be read is nobody's earlier version.
        }
    } while (FindNextFileW(search.get(), &entry));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        Log(L"Failed to find oem*.inf files. Error 0x%x.", HResultFromWin32(error));
    }
    return found;
}

void DriverPackageInstaller::PublishInf() {
    BOOL published = FALSE;
    DWORD error = ERROR_SUCCESS;
    {
        const std::lock_guard<std::mutex> lock(OemInfLock());
        published = platform_.CopyOemInf(package_.infPath.c_str(), SPOST_PATH, 0, nullptr, 0, nullptr);
        error = GetLastError();
    }
    if (!published) {
        throw Exception(HResultFromErrorCode(error),
                        L"Failed to install .inf file and corresponding .cat to the windir/inf: " + package_.infPath,
                        package_.id);
    }
    Log(L"The inf file '%s' and corresponding .cat was successfully installed.", package_.infPath);
}

void DriverPackageInstaller::UnpublishInf(const std::wstring& oemInfPath) {
    const std::wstring name = GetFileNamePart(oemInfPath);
    BOOL removed = FALSE;
    DWORD error = ERROR_SUCCESS;
    {
        const std::lock_guard<std::mutex> lock(OemInfLock());
        removed = platform_.UninstallOemInf(name.c_str(), SUOI_FORCEDELETE);
        error = GetLastError();
    }
    if (!removed) {
        throw Exception(HResultFromErrorCode(error), L"Failed to uninstall OEM inf file: " + name, package_.id);
    }
    Log(L"The inf file '%s' was successfully uninstalled.", name);
}

void DriverPackageInstaller::UnpublishInstalledOemInfs() {
    for (const std::wstring& path : FindInstalledOemInfs()) {
        UnpublishInf(path);
    }
}

void DriverPackageInstaller::InstallFilesFromSection(const std::wstring& section) {
    const HSPFILEQ queue = fileQueue_->get();
    if (!SetupInstallFilesFromInfSectionW(inf_.get(), nullptr, queue, section.c_str(), nullptr, 0)) {
        throw Exception(HResultFromLastError(), L"Failed to install files from inf section: " + section, std::wstring());
    }

    // The callback answers every notification itself: no default queue
    // context is needed.
    CommitState state;
    const BOOL committed = platform_.CommitFileQueue(queue, FileQueueCallback, &state);
    const DWORD error = GetLastError();
    if (state.failure) {
        std::rethrow_exception(state.failure);
    }
    if (!committed) {
        if (!state.missingSource.empty()) {
            throw Exception(hresult::FileNotFound, L"Failed to commit file queue.", state.missingSource);
        }
        const int32_t code = HResultFromErrorCode(error);
        const bool certificateError = (static_cast<uint32_t>(code) & kFacilityMask) == kCertificateFacility;
        if (!((package_.attributes & attribute::IgnoreCertificationErrors) != 0 && certificateError)) {
            throw Exception(code, L"Failed to commit file queue.", std::wstring());
        }
        Log(L"Warning: Certification errors returned from SetupCommitFileQueue. Error 0x%x.", code);
    }

    if (SetupPromptReboot(queue, nullptr, TRUE) == SPFILEQ_FILE_IN_USE) {
        Log(kRebootRequired);
    }
}

void DriverPackageInstaller::InstallServicesFromSection(const std::wstring& section) {
    const std::wstring servicesSection = section + L".Services";
    INFCONTEXT line = {};
    if (!SetupFindFirstLineW(inf_.get(), servicesSection.c_str(), L"AddService", &line) &&
        !SetupFindFirstLineW(inf_.get(), servicesSection.c_str(), L"DelService", &line)) {
        Log(L"Skip install services from inf section. The section '%s' not found or empty.", servicesSection);
        return;
    }
    // The reboot need is reported only through the last error of a success,
    // so no earlier code may be left standing there.
    SetLastError(ERROR_SUCCESS);
    if (!SetupInstallServicesFromInfSectionW(inf_.get(), servicesSection.c_str(), 0)) {
        throw Exception(HResultFromLastError(), L"Failed to install services from inf section: " + servicesSection,
                        std::wstring());
    }
    if (GetLastError() == ERROR_SUCCESS_REBOOT_REQUIRED) {
        Log(kRebootRequired);
    }
}

void DriverPackageInstaller::InstallFromSection(const std::wstring& section) {
    if (!SetupInstallFromInfSectionW(nullptr, inf_.get(), section.c_str(), kInstallFlagsWithoutFiles, nullptr, nullptr,
                                     0, nullptr, nullptr, nullptr, nullptr)) {
        throw Exception(HResultFromLastError(), L"Failed to install from inf section: " + section, std::wstring());
    }
}

void DriverPackageInstaller::MoveServiceTag(const std::wstring& service) {
    if (service.empty()) {
        Log(L"Skip moving service tag. The service is not specified in '%s'.", package_.id);
        return;
    }
    const bool toFront = (package_.attributes & attribute::MoveToFrontOfGroup) != 0;
    // With nothing to move the service is not opened: a service that is not
    // there fails the next step that opens it, with the same text.
    if (!toFront && package_.dependencies.empty()) {
        return;
    }
    const ServiceHandle handle = OpenServiceHandle(service);
    if (toFront) {
        MoveServiceToFront(handle);
    }
    if (!package_.dependencies.empty()) {
        MoveServiceAfter(handle, package_.dependencies);
    }
}

void DriverPackageInstaller::RemoveServiceTag(const std::wstring& service) {
    if (service.empty() || !DoesServiceExist(service)) {
        Log(L"Skip removing service tag. The service is not specified or not installed in '%s'.", package_.id);
        return;
    }
    RemoveServiceFromLoadOrder(OpenServiceHandle(service));
}

void DriverPackageInstaller::InstallElamDriverCertificate(const std::wstring& driverPath) {
    using InstallCertificateFn = BOOL(WINAPI*)(HANDLE elamFile);

    const HMODULE kernel = platform_.FindModule(L"kernel32.dll");
    if (kernel == nullptr) {
        throw Exception(HResultFromWin32(GetLastError()), L"Failed to get kernel32.dll module.", std::wstring());
    }
    // Looked up by name: older systems (and Wine) do not have it.
    const auto install = reinterpret_cast<InstallCertificateFn>(
        reinterpret_cast<void*>(platform_.FindFunction(kernel, "InstallELAMCertificateInfo")));
    if (install == nullptr) {
        throw Exception(HResultFromWin32(GetLastError()), L"Failed to get InstallELAMCertificateInfo proc address.",
                        std::wstring());
    }
    const UniqueFileHandle file(CreateFileW(driverPath.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw Exception(HResultFromWin32(GetLastError()), L"Failed to open elam driver.", std::wstring());
    }
    if (!install(file.get())) {
        throw Exception(HResultFromWin32(GetLastError()),
                        L"Failed to install the certificate information from ELAM driver.", std::wstring());
    }
    Log(L"The certificate information was successfully installed from ELAM driver '%s'.", driverPath);
}

}  // namespace setup::driver
