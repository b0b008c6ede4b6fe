#pragma once
// What the installer plans for a component, from its installed and action
// states (INSTALLSTATE values), and the states themselves. Free of Win32 so the mapping is tested by a
// table natively.

#include <cstdint>

namespace setup {

enum class ComponentToDo : int32_t {
    None = 0,       // nothing to do, also when the state cannot be read
    Install = 1,
    Uninstall = 2,
    Reinstall = 3,
};

namespace install_state {
constexpr int32_t Unknown = -1;
constexpr int32_t Removed = 1;  // also "advertised"
constexpr int32_t Absent = 2;
constexpr int32_t Local = 3;
constexpr int32_t Source = 4;
constexpr int32_t Default = 5;
}  // namespace install_state

// The installed and action states as the installer's state query gave them.
struct ComponentState {
    int32_t installed = install_state::Unknown;
    int32_t action = install_state::Unknown;
    // The installer's result of the state query; the states are valid only at 0.
    uint32_t result = 0;
};

constexpr ComponentToDo ComponentToDoFromStates(int32_t installed, int32_t action) {
    const bool isInstalled = installed == install_state::Local || installed == install_state::Source;
    if (isInstalled && (action == install_state::Local || action == install_state::Source || action == install_state::Default)) {
        return ComponentToDo::Reinstall;
    }
    if (isInstalled && (action == install_state::Removed || action == install_state::Absent)) {
        return ComponentToDo::Uninstall;
    }
    if (action == install_state::Local || action == install_state::Source) {
        return ComponentToDo::Install;
    }
    return ComponentToDo::None;
}

}  // namespace setup
