// The 21 exported custom actions and the library's entry point. Each export
// hands its body to the common frame under its own name.

#include <windows.h>
#include <msi.h>

#include "frame/ActionBodies.h"
#include "frame/EntryPoint.h"
#include "frame/Session.h"

namespace {

UINT Run(MSIHANDLE installer, const char* name, setup::ActionBody body) {
    const setup::EntryPointInfo* info = setup::FindEntryPoint(name);
    return info != nullptr ? setup::RunEntryPoint(installer, *info, body) : ERROR_INSTALL_FAILURE;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        setup::SetModule(module);
        DisableThreadLibraryCalls(module);
    } else if (reason == DLL_PROCESS_DETACH) {
        setup::SetModule(nullptr);
    }
    return TRUE;
}

UINT WINAPI ProtectServices(MSIHANDLE h) { return Run(h, "ProtectServices", setup::bodies::ProtectServices); }
UINT WINAPI ProtectServicesDeferred(MSIHANDLE h) { return Run(h, "ProtectServicesDeferred", setup::bodies::ProtectServicesDeferred); }
UINT WINAPI ProtectServicesRollback(MSIHANDLE h) { return Run(h, "ProtectServicesRollback", setup::bodies::ProtectServicesRollback); }
UINT WINAPI UnprotectServices(MSIHANDLE h) { return Run(h, "UnprotectServices", setup::bodies::UnprotectServices); }
UINT WINAPI UnprotectServicesDeferred(MSIHANDLE h) { return Run(h, "UnprotectServicesDeferred", setup::bodies::UnprotectServicesDeferred); }
UINT WINAPI UnprotectServicesRollback(MSIHANDLE h) { return Run(h, "UnprotectServicesRollback", setup::bodies::UnprotectServicesRollback); }
UINT WINAPI InstallCryptCatalog(MSIHANDLE h) { return Run(h, "InstallCryptCatalog", setup::bodies::InstallCryptCatalog); }
UINT WINAPI InstallCryptCatalogDeferred(MSIHANDLE h) { return Run(h, "InstallCryptCatalogDeferred", setup::bodies::InstallCryptCatalogDeferred); }
UINT WINAPI InstallCryptCatalogRollback(MSIHANDLE h) { return Run(h, "InstallCryptCatalogRollback", setup::bodies::InstallCryptCatalogRollback); }
UINT WINAPI UninstallCryptCatalog(MSIHANDLE h) { return Run(h, "UninstallCryptCatalog", setup::bodies::UninstallCryptCatalog); }
UINT WINAPI UninstallCryptCatalogDeferred(MSIHANDLE h) { return Run(h, "UninstallCryptCatalogDeferred", setup::bodies::UninstallCryptCatalogDeferred); }
UINT WINAPI UninstallCryptCatalogRollback(MSIHANDLE h) { return Run(h, "UninstallCryptCatalogRollback", setup::bodies::UninstallCryptCatalogRollback); }
UINT WINAPI InstallDrivers(MSIHANDLE h) { return Run(h, "InstallDrivers", setup::bodies::InstallDrivers); }
UINT WINAPI InstallDriversEarly(MSIHANDLE h) { return Run(h, "InstallDriversEarly", setup::bodies::InstallDriversEarly); }
UINT WINAPI InstallDriversDeferred(MSIHANDLE h) { return Run(h, "InstallDriversDeferred", setup::bodies::InstallDriversDeferred); }
UINT WINAPI InstallDriversRollback(MSIHANDLE h) { return Run(h, "InstallDriversRollback", setup::bodies::InstallDriversRollback); }
UINT WINAPI InstallDriversCommit(MSIHANDLE h) { return Run(h, "InstallDriversCommit", setup::bodies::InstallDriversCommit); }
UINT WINAPI InstallDriversFinalize(MSIHANDLE h) { return Run(h, "InstallDriversFinalize", setup::bodies::InstallDriversFinalize); }
UINT WINAPI UninstallDrivers(MSIHANDLE h) { return Run(h, "UninstallDrivers", setup::bodies::UninstallDrivers); }
UINT WINAPI UninstallDriversDeferred(MSIHANDLE h) { return Run(h, "UninstallDriversDeferred", setup::bodies::UninstallDriversDeferred); }
UINT WINAPI UninstallDriversRollback(MSIHANDLE h) { return Run(h, "UninstallDriversRollback", setup::bodies::UninstallDriversRollback); }

}  // extern "C"
