#pragma once
// Which phases a driver package takes part in: install, early install, the
// rollback of an install, uninstall, the rollback of an uninstall, finalize,
// the recovery-image step, and whether its driver is really present. Each
// rule writes the one line that says why and asks the installer only what
// its steps need, in their order. Free of Win32: the installer is reached
// through SelectionFacts, whose production form lives in Selection.h.

#include <cstdint>
#include <string>

#include "driver/DriverPackage.h"
#include "frame/ComponentToDo.h"
#include "msi/Components.h"

namespace setup::driver {

// The questions the rules put to the running installation.
class SelectionFacts {
public:
    virtual ~SelectionFacts() = default;

    virtual ComponentToDo GetComponentToDo(const std::wstring& component) = 0;
    virtual ComponentState GetComponentState(const std::wstring& component) = 0;
    // The MsiEvaluateCondition number: 0 false, 1 true, 2 empty, 3 error.
    virtual int32_t EvaluateCondition(const std::wstring& condition) = 0;
    virtual std::wstring GetProperty(const std::wstring& name) = 0;
    // Throws setup::Exception when the component has no row.
    virtual std::wstring GetComponentGuid(const std::wstring& component) = 0;
    virtual bool IsInstalledByProduct(const std::wstring& componentGuid) = 0;
    // The first service the INF (named like infPath) beside the installed
    // component's key path adds, once that service is known to exist.
    // Throws setup::Exception when the INF or the service is missing.
    virtual std::wstring GetInstalledDriverService(const std::wstring& componentGuid, const std::wstring& infPath) = 0;
    virtual void Log(const std::wstring& line) = 0;
};

namespace selection {

bool IsEarlyInstallCandidate(const DriverPackage& package, SelectionFacts& facts);
bool ShouldInstall(const DriverPackage& package, SelectionFacts& facts);
bool ShouldInstallEarly(const DriverPackage& package, SelectionFacts& facts);
bool ShouldRollbackInstall(const DriverPackage& package, SelectionFacts& facts);
bool ShouldUninstall(const DriverPackage& package, SelectionFacts& facts);
bool ShouldRollbackUninstall(const DriverPackage& package, SelectionFacts& facts);
bool ShouldFinalize(const DriverPackage& package, SelectionFacts& facts);
bool ShouldConfigureRecovery(const DriverPackage& package, SelectionFacts& facts);
// This version or a previous one is installed and its INF's first service exists.
bool IsDriverPresent(const DriverPackage& package, SelectionFacts& facts);

}  // namespace selection

// The package runs in the sequenced (one-by-one) group.
bool HasSequence(const DriverPackage& package);
bool HasNoSequence(const DriverPackage& package);

}  // namespace setup::driver
