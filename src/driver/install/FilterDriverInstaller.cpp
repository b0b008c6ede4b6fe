// <winsvc.h> comes in through Services.h first: it hands the StartService
// name back to the library before the package attribute of that name is
// declared, so both spellings agree in this file.
#include "system/Services.h"

#include "driver/install/FilterDriverInstaller.h"

#include <windows.h>

#include <cwchar>
#include <optional>

#include "driver/install/DeviceDriverInstaller.h"
#include "driver/install/UninstallSteps.h"
#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "system/LoadOrder.h"
#include "system/PathText.h"
#include "system/WindowsVersion.h"
#include "tables/CatalogFiles.h"
#include "tables/RegistryAccess.h"

namespace setup::driver {

namespace {

bool Has(const DriverPackage& package, uint32_t bit) { return (package.attributes & bit) != 0; }

bool IsExistingFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void LogWarning(const Exception& e) { Log(L"Warning: %s Error 0x%x.", e.Message(), e.Code()); }

// Turns the WOW64 file system redirection off for the object's life where
// the system offers it, and back on when the object goes, on every road.
class FsRedirectionGuard {
public:
    FsRedirectionGuard() {
        const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        if (kernel == nullptr) {
            return;
        }
        const auto disable = reinterpret_cast<DisableFn>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection"));
        revert_ = reinterpret_cast<RevertFn>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection"));
        if (disable == nullptr) {
            return;
        }
        disabled_ = disable(&oldValue_) != FALSE;
    }
    ~FsRedirectionGuard() {
        if (revert_ != nullptr && disabled_) {
            revert_(oldValue_);
        }
    }
    FsRedirectionGuard(const FsRedirectionGuard&) = delete;
    FsRedirectionGuard& operator=(const FsRedirectionGuard&) = delete;

private:
    using DisableFn = BOOL(WINAPI*)(PVOID*);
    using RevertFn = BOOL(WINAPI*)(PVOID);

    RevertFn revert_ = nullptr;
    bool disabled_ = false;
    PVOID oldValue_ = nullptr;
};

}  // namespace

void FilterDriverInstaller::Install() {
    Log(L" - Installing filter driver '%s' from '%s'.", package_.id, package_.infPath);
    const std::wstring section = InstallSection();
    Log(L"Actual inf section is '%s'.", section);
    const std::wstring service = FirstServiceToAdd();

    try {
        UnpublishInstalledOemInfs();
    } catch (const Exception& e) {
        LogWarning(e);
    }
    if (!package_.catPath.empty() && IsExistingFile(package_.catPath)) {
        const CatalogAdmin admin;
        AddCatalog(admin, package_.catPath, GetFileNamePart(package_.catPath));
    } else {
        Log(L"Skip installation of catalog file for driver '%s'.", package_.id);
    }
    InstallFilesFromSection(section);
    if (Has(package_, attribute::DeleteFlagByValue)) {
        RemoveServiceDeleteFlag(service);
    }
    InstallServicesFromSection(section);
    InstallFromSection(section);
    ApplyDriverRegistry(package_.registryEntries);
    MoveServiceTag(service);
    if (Has(package_, attribute::StartTypeOnFinalize)) {
        SetServiceStartType(OpenServiceHandle(service), SERVICE_DEMAND_START);
    }
    if (Has(package_, attribute::InstallElamCertificate)) {
        // The certificate comes from the installed driver under the system
        // directory, which a 32-bit view would redirect.
        const FsRedirectionGuard guard;
        const std::wstring binary = GetServiceBinaryPathName(OpenServiceHandle(service));
        InstallElamDriverCertificate(JoinPath(JoinPath(GetSystemDirectoryPath(), L"drivers"), GetFileNamePart(binary)));
    }
    if (Has(package_, attribute::StartService)) {
        StartService(OpenServiceHandle(service));
    }
    ValidateInstallation();
    Log(L"The filter driver '%s' was successfully installed.", package_.id);
}

void FilterDriverInstaller::Uninstall() {
    Log(L" - Uninstalling filter driver '%s' from inf file '%s'.", package_.id, package_.infPath);
    const std::wstring section = GetUninstallSection(inf_);
    Log(L"Actual inf section is '%s'.", section);
    const std::wstring service = GetFirstServiceToDelete(inf_);

    // Each step stands on its own: one that fails is logged and the others
    // still run, so that a failure never leaves the service gone and the
    // files, values and catalog behind.
    UninstallSteps steps(package_);
    std::optional<ServiceHandle> handle;
    steps.Run(L"open the service", [&] {
        // A rollback after an installation that failed before its service
        // came finds no service; its files, registry values and catalog
        // still go.
        try {
            handle = OpenServiceHandle(service);
        } catch (const Exception& e) {
            if (e.Code() != HResultFromWin32(ERROR_SERVICE_DOES_NOT_EXIST)) {
                throw;
            }
            Log(L"Skip disabling service '%s'. The service is not installed.", service);
        }
    });
    if (handle) {
        if (Has(package_, attribute::StopService)) {
            steps.Run(L"stop the service", [&] { StopService(*handle); });
        }
        // Disabled first: whatever fails later, the driver does not load again.
        steps.Run(L"disable the service", [&] { SetServiceStartType(*handle, SERVICE_DISABLED); });
    }
    steps.Run(L"remove the load-order entry", [&] { RemoveServiceTag(service); });
    steps.Run(L"remove the registry entries", [&] { RemoveDriverRegistry(package_.registryEntries); });

    const auto servicesStep = [&] {
        steps.Run(L"remove the service", [&] {
            if (Has(package_, attribute::DeleteFlagByValue)) {
                AddServiceDeleteFlag(service);
            } else {
                InstallServicesFromSection(section);
            }
        });
    };
    const auto sectionStep = [&] { steps.Run(L"run the uninstall section", [&] { InstallFromSection(section); }); };
    if (IsWindows5xSystem()) {
        sectionStep();
        servicesStep();
    } else {
        servicesStep();
        sectionStep();
    }
    steps.Run(L"remove the files", [&] { InstallFilesFromSection(section); });
    steps.Run(L"remove the catalog", [&] { UninstallCatalog(); });
    steps.Finish();
    Log(L"The filter driver '%s' was successfully uninstalled.", package_.id);
}

void FilterDriverInstaller::Upgrade() {
    Log(L" - Upgrading filter driver '%s' from inf file '%s'.", package_.id, package_.infPath);
    for (const std::wstring& path : FindInstalledOemInfs()) {
        Log(L"Found legacy driver package '%s'.", path);
        try {
            UnpublishInf(path);
        } catch (const Exception& e) {
            LogWarning(e);
        }
    }
    try {
        const std::wstring service = FirstServiceToAdd();
        if (!service.empty()) {
            DeviceDriverInstaller::UninstallHardware(L"ROOT\\" + service);
        }
    } catch (const Exception& e) {
        LogWarning(e);
    }
    Install();
    Log(L"The filter driver '%s' was successfully upgraded.", package_.id);
}

std::wstring FilterDriverInstaller::GetSystemDirectoryPath() {
    const UINT length = GetSystemDirectoryW(nullptr, 0);
    std::wstring buffer(static_cast<size_t>(length) + 1, L'\0');
    const UINT written = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    if (written == 0 || written >= buffer.size()) {
        return std::wstring();
    }
    buffer.resize(wcsnlen(buffer.data(), written));
    return buffer;
}

}  // namespace setup::driver
