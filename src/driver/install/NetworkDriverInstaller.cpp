// First: it takes back <winsvc.h>'s StartService macro before the package
// attributes are declared, so that attribute::StartService keeps its name.
#include "system/Services.h"

#include "driver/install/NetworkDriverInstaller.h"
#include "driver/install/UninstallSteps.h"

#include <atomic>
#include <string>

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "system/FileSystem.h"
#include "system/PathText.h"
#include "system/WindowsVersion.h"
#include "tables/RegistryAccess.h"

namespace setup::driver {

namespace {

constexpr wchar_t kClientDescription[] = L"Network driver installer";
constexpr uint32_t kLockTimeoutMs = 15000;

std::atomic<uint32_t> g_lockTimeoutMs{kLockTimeoutMs};

// Every component is installed and removed on behalf of the user.
OBO_TOKEN UserToken() {
    OBO_TOKEN token = {};
    token.Type = OBO_USER;
    return token;
}

[[noreturn]] void Throw(HRESULT hr, const wchar_t* message) {
    throw Exception(static_cast<int32_t>(hr), message, std::wstring());
}

void Check(HRESULT hr, const wchar_t* message) {
    if (FAILED(hr)) {
        Throw(hr, message);
    }
}

// The first model's hardware id; one known miniport is installed under the
// id of its protocol component, and only that exact spelling is mapped.
std::wstring ComponentId(const InfHandle& inf) {
    std::wstring id = GetModelHardwareId(inf);
    if (id == L"zt_tnet5mp") {
        id = L"zt_tnet5";
    }
    return id;
}

// Frees the description the lock hands out on every road.
struct CoTaskText {
    LPWSTR text = nullptr;
    ~CoTaskText() { CoTaskMemFree(text); }
};

// Parallel network packages of this process would otherwise meet the
// system's write lock held by each other and fail after its timeout.
std::mutex& NetworkTurnLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

void SetNetworkLockTimeoutForTesting(std::optional<uint32_t> milliseconds) {
    g_lockTimeoutMs.store(milliseconds.value_or(kLockTimeoutMs));
}

NetworkDriverInstaller::NetworkDriverInstaller(const DriverPackage& package)
    : DriverPackageInstaller(package), turn_(NetworkTurnLock(), std::try_to_lock) {
    if (!turn_.owns_lock()) {
        Log(L"Waiting for another network driver package of this installation.");
        turn_.lock();
    }
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) {
        Throw(init, L"Failed to initializes the COM library.");
    }
    com_.reset(true);

    // On failure the members release the interfaces and COM; the lock has to
    // be given back explicitly, even when acquiring it failed.
    try {
        Check(CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, netCfg_.put_void()),
              L"Failed to create a network configuration object.");
        Check(netCfg_->QueryInterface(IID_INetCfgLock, lock_.put_void()),
              L"Failed to retrieves interface used to obtain a lock on network configuration.");

        CoTaskText holder;
        const HRESULT acquired = lock_->AcquireWriteLock(g_lockTimeoutMs.load(), kClientDescription, &holder.text);
        if (FAILED(acquired) || acquired == S_FALSE) {
            if (holder.text != nullptr) {
                Log(L"The '%s' already has control of network configuration.", holder.text);
            }
            Throw(acquired, L"Failed to requests a lock on network configuration.");
        }

        Check(netCfg_->Initialize(nullptr), L"Failed to initializes network configuration.");
    } catch (...) {
        if (lock_) {
            lock_->ReleaseWriteLock();
        }
        throw;
    }
}

NetworkDriverInstaller::~NetworkDriverInstaller() {
    const HRESULT uninitialized = netCfg_->Uninitialize();
    if (FAILED(uninitialized)) {
        LogNoThrow(L"Failed to uninitialize network configuration. Error 0x%x.", static_cast<int32_t>(uninitialized));
    }
    const HRESULT released = lock_->ReleaseWriteLock();
    if (FAILED(released)) {
        LogNoThrow(L"Failed to releases a lock on network configuration. Error 0x%x.", static_cast<int32_t>(released));
    }
    lock_.reset();
    netCfg_.reset();
    com_.reset();
}

void NetworkDriverInstaller::InstallNetworkComponent() {
    const GUID classGuid = GetClassGuid(inf_);
    const std::wstring id = ComponentId(inf_);
    Log(L"Installing network component '%s'.", id);

    UniqueComPtr<INetCfgClassSetup> classSetup;
    Check(netCfg_->QueryNetCfgClass(&classGuid, IID_INetCfgClassSetup, classSetup.put_void()),
          L"Failed retrieve a network install interface.");
    OBO_TOKEN token = UserToken();
    UniqueComPtr<INetCfgComponent> component;
    Check(classSetup->Install(id.c_str(), &token, 0, 0, nullptr, nullptr, component.put()),
          L"Failed install network components.");
    Check(netCfg_->Apply(), L"Failed apply registration of the network component.");

    ValidateInstallation();
    Log(L"The network component '%s' was successfully installed.", id);
}

void NetworkDriverInstaller::UninstallNetworkComponent() {
    const GUID classGuid = GetClassGuid(inf_);
    const std::wstring id = ComponentId(inf_);

    UniqueComPtr<INetCfgComponent> component;
    Check(netCfg_->FindComponent(id.c_str(), component.put()), L"Failed to find network component.");
    if (!component) {
        Log(L"The network component was '%s' not found.", id);
        return;
    }
    Log(L"Uninstalling network component '%s'.", id);

    UniqueComPtr<INetCfgClass> netClass;
    Check(netCfg_->QueryNetCfgClass(&classGuid, IID_INetCfgClass, netClass.put_void()),
          L"Failed retrieve a specific class of network component.");
    UniqueComPtr<INetCfgClassSetup> classSetup;
    Check(netClass->QueryInterface(IID_INetCfgClassSetup, classSetup.put_void()),
          L"Failed retrieve a network deinstall interface.");
    OBO_TOKEN token = UserToken();
    Check(classSetup->DeInstall(component.get(), &token, nullptr), L"Failed deinstall network components.");
    Check(netCfg_->Apply(), L"Failed apply deregistration of the network component.");

    Log(L"The network component '%s' was successfully uninstalled.", id);
}

void NetworkDriverInstaller::DeleteNetworkService() {
    const std::wstring service = FirstServiceToAdd();
    if (!DoesServiceExist(service)) {
        return;
    }
    // A service that stays behind does not keep the package from going.
    try {
        setup::DeleteService(OpenServiceHandle(service));
    } catch (const Exception& e) {
        Log(L"Warning: %s Error 0x%x.", e.Message(), e.Code());
    }
}

void NetworkDriverInstaller::RepairInfCache() {
    const std::wstring folder = JoinPath(GetWindowsFolder(), L"Inf");
    const std::wstring cache = JoinPath(folder, L"INFCACHE.1");
    const std::wstring backup = JoinPath(folder, L"INFCACHE.BAK");
    DeleteFileW(backup.c_str());
    if (!MoveFileW(cache.c_str(), backup.c_str())) {
        throw Exception(HResultFromWin32(GetLastError()), L"Failed to rename " + cache, std::wstring());
    }
    Log(L"The file '%s' moved to '%s'.", cache, backup);
}

void NetworkDriverInstaller::Install() {
    Log(L" - Installing network driver '%s' from '%s'.", package_.id, package_.infPath);
    const bool windows5x = IsWindows5xSystem();

    // What an earlier installation left must not stop this one.
    try {
        if (!windows5x) {
            UninstallNetworkComponent();
        }
        UnpublishInstalledOemInfs();
    } catch (const Exception& e) {
        Log(L"Warning: %s Error 0x%x.", e.Message(), e.Code());
    }

    PublishInf();

    bool retry = false;
    try {
        InstallNetworkComponent();
    } catch (const Exception& e) {
        // A stale INF cache makes 5.x systems miss a freshly published INF.
        if (!windows5x) {
            throw;
        }
        Log(L"%s Error 0x%x.", e.Message(), e.Code());
        retry = true;
    }
    if (retry) {
        RepairInfCache();
        InstallNetworkComponent();
    }

    ApplyDriverRegistry(package_.registryEntries);
    const std::wstring service = FirstServiceToAdd();
    MoveServiceTag(service);
    if ((package_.attributes & attribute::StartTypeOnFinalize) != 0) {
        SetServiceStartType(OpenServiceHandle(service), SERVICE_DEMAND_START);
    }
    if ((package_.attributes & attribute::StartService) != 0) {
        setup::StartService(OpenServiceHandle(service));
    }
    ValidateInstallation();
    Log(L"The network driver '%s' was successfully installed.", package_.id);
}

void NetworkDriverInstaller::Uninstall() {
    Log(L" - Uninstalling network driver '%s' from inf file '%s'.", package_.id, package_.infPath);
    const std::wstring service = FirstServiceToAdd();
    // Each step stands on its own, as in the filter driver's removal, except
    // the INF's removal from the store: a component still installed keeps
    // it, so that the platform's own tools can still remove the component.
    UninstallSteps steps(package_);
    if ((package_.attributes & attribute::StopService) != 0) {
        steps.Run(L"stop the service", [&] { setup::StopService(OpenServiceHandle(service)); });
    }
    steps.Run(L"remove the load-order entry", [&] { RemoveServiceTag(service); });
    steps.Run(L"remove the registry entries", [&] { RemoveDriverRegistry(package_.registryEntries); });
    const bool componentRemoved = steps.Run(L"remove the network component", [&] { UninstallNetworkComponent(); });
    steps.Run(L"remove the service", [&] { DeleteNetworkService(); });
    if (componentRemoved) {
        steps.Run(L"remove the published INF files", [&] { UnpublishInstalledOemInfs(); });
    } else {
        steps.Skip(L"remove the published INF files", L"remove the network component");
    }
    steps.Finish();
    Log(L"The network driver '%s' was successfully uninstalled.", package_.id);
}

void NetworkDriverInstaller::Upgrade() {
    Log(L" - Upgrading network driver '%s' from inf file '%s'.", package_.id, package_.infPath);
    const std::wstring section = InstallSection();
    Log(L"Actual inf section is '%s'.", section);
    Log(L"Skip uninstall oem.inf of previous version.");
    InstallFilesFromSection(section);
    ApplyDriverRegistry(package_.registryEntries);
    const std::wstring service = FirstServiceToAdd();
    MoveServiceTag(service);
    PublishInf();
    if ((package_.attributes & attribute::StartService) != 0) {
        setup::StartService(OpenServiceHandle(service));
    }
    ValidateInstallation();
    Log(L"The network driver '%s' was successfully upgraded.", package_.id);
}

}  // namespace setup::driver
