#pragma once
// Questions about the running installation's components: their installed
// and planned states, whether any product installed them, where they are
// installed, and where their folder lies in the package's source image.

#include <cstdint>
#include <string>
#include <vector>

#include "frame/ComponentToDo.h"

namespace setup {

ComponentState GetComponentState(const std::wstring& component);

// In a per-machine installation (ALLUSERS is "1") only a per-machine
// registration counts for these and for LocateComponent: what a per-user
// product of the installing user registered answers as not installed.

// True when some product has installed the component with this GUID.
bool IsInstalledByProduct(const std::wstring& componentGuid);
// True at the first GUID of the list that some product has installed.
bool IsAnyComponentInstalled(const std::vector<std::wstring>& componentGuids);

// The MsiEvaluateCondition result (0 false, 1 true, 2 empty, 3 error); the
// rules log the number, ConditionPasses judges it.
int32_t EvaluateCondition(const std::wstring& condition);

// The ComponentId of a Component row; throws when the row does not exist.
std::wstring GetComponentGuid(const std::wstring& component);

// The installed key path of the component, empty when it is not installed.
std::wstring LocateComponent(const std::wstring& componentGuid);

// The folder of a Directory row relative to the root of the source image
// (long names); empty for an unknown key.
std::wstring ResolveSourceDirectory(const std::wstring& directory);

// The component's folder inside the source image the installation was
// started from; throws when the component has no row.
std::wstring GetComponentSourceDirectory(const std::wstring& component);

}  // namespace setup
