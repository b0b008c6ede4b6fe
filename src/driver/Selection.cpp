#include "driver/Selection.h"

#include <windows.h>

#include "driver/install/InfFile.h"
#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/InstallerCalls.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "msi/Components.h"
#include "system/PathText.h"
#include "system/Services.h"

namespace setup::driver {

ComponentToDo InstallerSelectionFacts::GetComponentToDo(const std::wstring& component) {
    return setup::GetComponentToDo(component);
}

ComponentState InstallerSelectionFacts::GetComponentState(const std::wstring& component) {
    return setup::GetComponentState(component);
}

int32_t InstallerSelectionFacts::EvaluateCondition(const std::wstring& condition) {
    return setup::EvaluateCondition(condition);
}

std::wstring InstallerSelectionFacts::GetProperty(const std::wstring& name) { return setup::GetProperty(name); }

std::wstring InstallerSelectionFacts::GetComponentGuid(const std::wstring& component) {
    return setup::GetComponentGuid(component);
}

bool InstallerSelectionFacts::IsInstalledByProduct(const std::wstring& componentGuid) {
    return setup::IsInstalledByProduct(componentGuid);
}

std::wstring InstallerSelectionFacts::GetInstalledDriverService(const std::wstring& componentGuid, const std::wstring& infPath) {
    const std::wstring keyPath = LocateComponent(componentGuid);
    const std::wstring inf = JoinPath(GetParentPath(keyPath), GetFileNamePart(infPath));
    const DWORD attributes = GetFileAttributesW(inf.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw Exception(hresult::FileNotFound, L"The system cannot find file '%s'.", inf);
    }
    const std::wstring service = GetFirstServiceToAdd(OpenInfFile(inf));
    // Opening is the existence test: it throws for a service that is not there.
    OpenServiceHandle(service);
    return service;
}

void InstallerSelectionFacts::Log(const std::wstring& line) { LogText(line); }

namespace {

template <bool (*Rule)(const DriverPackage&, SelectionFacts&)>
bool AskInstaller(const DriverPackage& package) {
    InstallerSelectionFacts facts;
    return Rule(package, facts);
}

}  // namespace

bool IsEarlyInstallCandidate(const DriverPackage& package) { return AskInstaller<selection::IsEarlyInstallCandidate>(package); }
bool ShouldInstall(const DriverPackage& package) { return AskInstaller<selection::ShouldInstall>(package); }
bool ShouldInstallEarly(const DriverPackage& package) { return AskInstaller<selection::ShouldInstallEarly>(package); }
bool ShouldRollbackInstall(const DriverPackage& package) { return AskInstaller<selection::ShouldRollbackInstall>(package); }
bool ShouldUninstall(const DriverPackage& package) { return AskInstaller<selection::ShouldUninstall>(package); }
bool ShouldRollbackUninstall(const DriverPackage& package) { return AskInstaller<selection::ShouldRollbackUninstall>(package); }
bool ShouldFinalize(const DriverPackage& package) { return AskInstaller<selection::ShouldFinalize>(package); }
bool ShouldConfigureRecovery(const DriverPackage& package) { return AskInstaller<selection::ShouldConfigureRecovery>(package); }
bool IsDriverPresent(const DriverPackage& package) { return AskInstaller<selection::IsDriverPresent>(package); }

}  // namespace setup::driver
