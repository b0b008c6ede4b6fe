#pragma once
// The common frame of the 21 exported custom actions.

#include <windows.h>
#include <msi.h>

#include <cstddef>
#include <cstdint>

namespace setup {

enum class ActionKind {
    Immediate,
    Deferred,
    Rollback,
    Commit,
    Finalize,
};

struct EntryPointInfo {
    const char* name;
    ActionKind kind;
    // Installer error message sent on failure; 0 for actions that send none.
    uint32_t errorNumber;
    // Sent instead of errorNumber when the failure is NETCFG_E_MAX_FILTER_LIMIT.
    uint32_t filterLimitErrorNumber;
};

extern const EntryPointInfo kEntryPoints[];
extern const std::size_t kEntryPointCount;

// Returns the descriptor of an export, or nullptr for an unknown name.
const EntryPointInfo* FindEntryPoint(const char* name);

using ActionBody = void (*)();

// Starts the installer services, runs the body, turns every failure into
// 1602/1603 with its log line and error message, writes the closing line.
UINT RunEntryPoint(MSIHANDLE installer, const EntryPointInfo& info, ActionBody body);

}  // namespace setup
