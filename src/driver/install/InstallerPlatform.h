#pragma once
// The few platform calls of the package installer whose results a test must
// be able to steer or watch: the INF store (publishing and removal, which a
// process-wide lock serializes), the commit of a file queue (whose
// certificate errors Wine never produces) and the ELAM certificate entry
// point (which Wine does not export). Each call keeps the Win32 contract of
// the function it stands for: a failure returns FALSE (or null) with the
// reason in GetLastError(). The installer uses SystemInstallerPlatform()
// unless it is built with another.

#include <windows.h>
#include <setupapi.h>

namespace setup::driver {

class InstallerPlatform {
public:
    virtual ~InstallerPlatform() = default;

    // SetupCopyOEMInfW with no media path.
    virtual BOOL CopyOemInf(PCWSTR infPath, DWORD mediaType, DWORD copyStyle, PWSTR destination,
                            DWORD destinationSize, PDWORD requiredSize) = 0;
    // SetupUninstallOEMInfW.
    virtual BOOL UninstallOemInf(PCWSTR infName, DWORD flags) = 0;
    // SetupCommitFileQueueW with no owner window.
    virtual BOOL CommitFileQueue(HSPFILEQ queue, PSP_FILE_CALLBACK_W callback, PVOID context) = 0;
    // GetModuleHandleW and GetProcAddress, through which the ELAM
    // certificate entry point is found at run time.
    virtual HMODULE FindModule(PCWSTR name) = 0;
    virtual FARPROC FindFunction(HMODULE module, PCSTR name) = 0;
};

// The real SetupAPI and kernel32.
InstallerPlatform& SystemInstallerPlatform();

}  // namespace setup::driver
