#pragma once
// The terms every selection rule is written in, from what the installer
// plans for a component. Free of Win32 so they are checked by tables natively.

#include <cstdint>

#include "frame/ComponentToDo.h"

namespace setup {

constexpr bool IsNullAction(ComponentToDo toDo) { return toDo == ComponentToDo::None; }

// A reinstall counts as an install.
constexpr bool IsMarkedToInstall(ComponentToDo toDo) {
    return toDo == ComponentToDo::Install || toDo == ComponentToDo::Reinstall;
}

constexpr bool IsMarkedToUninstall(ComponentToDo toDo) { return toDo == ComponentToDo::Uninstall; }

constexpr bool IsMarkedToUninstallOrReinstall(ComponentToDo toDo) {
    return toDo == ComponentToDo::Uninstall || toDo == ComponentToDo::Reinstall;
}

// An installed component whose action is "removed" (1) rather than "absent"
// (2): its files are already gone, so uninstall rules leave it alone.
constexpr bool IsFileAbsent(int32_t installed, int32_t action) {
    return (installed == install_state::Local || installed == install_state::Source) && action == install_state::Removed;
}

// MsiEvaluateCondition results: 0 false, 1 true, 2 no condition, 3 error.
namespace condition_result {
constexpr int32_t False = 0;
constexpr int32_t True = 1;
constexpr int32_t None = 2;
constexpr int32_t Error = 3;
}  // namespace condition_result

constexpr bool ConditionPasses(int32_t result) {
    return result == condition_result::True || result == condition_result::None;
}

}  // namespace setup
