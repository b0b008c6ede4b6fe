#pragma once
// The selection rules asked against the running installation: the facts come
// from the installer services, the lines go to the installer log. These are
// the forms the immediate driver actions call.

#include "driver/DriverPackage.h"
#include "driver/SelectionRules.h"

namespace setup::driver {

// Asks the installer of the current action (Initialize must have run).
class InstallerSelectionFacts : public SelectionFacts {
public:
    ComponentToDo GetComponentToDo(const std::wstring& component) override;
    ComponentState GetComponentState(const std::wstring& component) override;
    int32_t EvaluateCondition(const std::wstring& condition) override;
    std::wstring GetProperty(const std::wstring& name) override;
    std::wstring GetComponentGuid(const std::wstring& component) override;
    bool IsInstalledByProduct(const std::wstring& componentGuid) override;
    std::wstring GetInstalledDriverService(const std::wstring& componentGuid, const std::wstring& infPath) override;
    void Log(const std::wstring& line) override;
};

bool IsEarlyInstallCandidate(const DriverPackage& package);
bool ShouldInstall(const DriverPackage& package);
bool ShouldInstallEarly(const DriverPackage& package);
bool ShouldRollbackInstall(const DriverPackage& package);
bool ShouldUninstall(const DriverPackage& package);
bool ShouldRollbackUninstall(const DriverPackage& package);
bool ShouldFinalize(const DriverPackage& package);
bool ShouldConfigureRecovery(const DriverPackage& package);
bool IsDriverPresent(const DriverPackage& package);

}  // namespace setup::driver
