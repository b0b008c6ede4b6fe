#include "driver/install/InstallerPlatform.h"

namespace setup::driver {

namespace {

class SystemPlatform final : public InstallerPlatform {
public:
    BOOL CopyOemInf(PCWSTR infPath, DWORD mediaType, DWORD copyStyle, PWSTR destination, DWORD destinationSize,
                    PDWORD requiredSize) override {
        return SetupCopyOEMInfW(infPath, nullptr, mediaType, copyStyle, destination, destinationSize, requiredSize,
                                nullptr);
    }

    BOOL UninstallOemInf(PCWSTR infName, DWORD flags) override { return SetupUninstallOEMInfW(infName, flags, nullptr); }

    BOOL CommitFileQueue(HSPFILEQ queue, PSP_FILE_CALLBACK_W callback, PVOID context) override {
        return SetupCommitFileQueueW(nullptr, queue, callback, context);
    }

    HMODULE FindModule(PCWSTR name) override { return GetModuleHandleW(name); }

    FARPROC FindFunction(HMODULE module, PCSTR name) override { return GetProcAddress(module, name); }
};

}  // namespace

InstallerPlatform& SystemInstallerPlatform() {
    static SystemPlatform platform;
    return platform;
}

}  // namespace setup::driver
