#include "msi/Components.h"

#include <algorithm>
#include <vector>

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/InstallerCalls.h"
#include "frame/KeptAnswers.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "msi/Database.h"
#include "system/PathText.h"

namespace setup {

namespace {

constexpr wchar_t kComponentGuidsQuery[] = L"SELECT `Component`, `ComponentId` FROM `Component`";
constexpr wchar_t kComponentGuidQuery[] = L"SELECT `Component`, `ComponentId` FROM `Component` WHERE `Component` = ?";
constexpr wchar_t kComponentDirectoryQuery[] = L"SELECT `Component`, `Directory_` FROM `Component` WHERE `Component` = ?";
constexpr wchar_t kDirectoryQuery[] = L"SELECT * FROM `Directory` WHERE `Directory` = ?";

// The one row of a keyed query, or an empty pointer.
std::shared_ptr<Record> FetchOneRow(const wchar_t* query, const std::wstring& key) {
    std::shared_ptr<View> view = OpenSessionView(query);
    view->Execute(Record(key));
    return view->Fetch();
}

ComponentGuids ReadComponentGuids() {
    ComponentGuids guids;
    std::shared_ptr<View> view = OpenSessionView(kComponentGuidsQuery);
    view->Execute();
    while (const auto row = view->Fetch()) {
        guids.emplace(row->GetString(1), row->GetString(2));
    }
    return guids;
}

// Declared here: the toolchain's msi.h lacks it (msi.dll has it since 3.0).
extern "C" INSTALLSTATE WINAPI MsiGetComponentPathExW(LPCWSTR product, LPCWSTR component, LPCWSTR userSid, MSIINSTALLCONTEXT context,
                                                      LPWSTR path, LPDWORD size);

// A per-machine installation counts only what a per-machine installation
// registered: a component of a per-user product of the installing user lies
// in folders the user can write, and would become what SYSTEM installs from
// or removes. Asked outside an installation, every registration counts.
bool IsPerMachineInstallation() { return IsInitialized() && GetProperty(L"ALLUSERS") == L"1"; }

// The product MsiGetProductCodeW names for the component; empty when none.
std::wstring ProductOfComponent(const std::wstring& componentGuid) {
    wchar_t productCode[39] = {};
    if (MsiGetProductCodeW(componentGuid.c_str(), productCode) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return productCode;
}

// The component's key path as the product registered it for the machine.
ComponentLocation LocateForMachine(const std::wstring& componentGuid) {
    ComponentLocation found;
    const std::wstring product = ProductOfComponent(componentGuid);
    if (product.empty()) {
        return found;
    }
    std::vector<wchar_t> buffer(MAX_PATH, L'\0');
    DWORD capacity = static_cast<DWORD>(buffer.size());
    found.state = MsiGetComponentPathExW(product.c_str(), componentGuid.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, buffer.data(), &capacity);
    if (found.state == INSTALLSTATE_MOREDATA) {
        buffer.assign(static_cast<size_t>(capacity) + 1, L'\0');
        capacity = static_cast<DWORD>(buffer.size());
        found.state = MsiGetComponentPathExW(product.c_str(), componentGuid.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, buffer.data(), &capacity);
    }
    // A product that registered the component only for a user answers unknown.
    if (found.state == INSTALLSTATE_UNKNOWN) {
        return found;
    }
    found.path = buffer.data();
    return found;
}

[[noreturn]] void ThrowNoComponentGuid() {
    throw Exception(hresult::InvalidHandle, L"Failed to read component GUID.", std::wstring());
}

// DefaultDir is "name" or "short|long"; the source image uses the long name.
// Nothing else of its syntax matters here.
std::wstring SourceName(const std::wstring& defaultDir) {
    const std::vector<std::wstring> names = SplitString(defaultDir, L"|");
    if (names.size() == 1) {
        return names[0];
    }
    return names.size() > 1 ? names[1] : std::wstring();
}

}  // namespace

ComponentState GetComponentState(const std::wstring& component) { return QueryComponentState(component); }

bool IsInstalledByProduct(const std::wstring& componentGuid) {
    return KeptInstalledByProduct(componentGuid, [&componentGuid] {
        if (IsPerMachineInstallation()) {
            const int32_t state = LocateForMachine(componentGuid).state;
            return state != INSTALLSTATE_UNKNOWN && state != INSTALLSTATE_INVALIDARG;
        }
        return !ProductOfComponent(componentGuid).empty();
    });
}

bool IsAnyComponentInstalled(const std::vector<std::wstring>& componentGuids) {
    for (const std::wstring& guid : componentGuids) {
        if (IsInstalledByProduct(guid)) {
            return true;
        }
    }
    return false;
}

int32_t EvaluateCondition(const std::wstring& condition) {
    return KeptCondition(condition, [&condition] { return static_cast<int32_t>(MsiEvaluateConditionW(GetHandle(), condition.c_str())); });
}

std::wstring GetComponentGuid(const std::wstring& component) {
    // While an action decides, one read of the table answers every package.
    if (const ComponentGuids* guids = KeptComponentGuids(ReadComponentGuids)) {
        const auto found = guids->find(component);
        if (found == guids->end()) {
            ThrowNoComponentGuid();
        }
        return found->second;
    }
    const std::shared_ptr<Record> row = FetchOneRow(kComponentGuidQuery, component);
    if (!row) {
        ThrowNoComponentGuid();
    }
    return row->GetString(2);
}

std::wstring LocateComponent(const std::wstring& componentGuid) {
    const ComponentLocation location = KeptComponentLocation(componentGuid, [&componentGuid] {
        if (IsPerMachineInstallation()) {
            return LocateForMachine(componentGuid);
        }
        // Most key paths fit the first buffer, which saves a size query.
        std::vector<wchar_t> buffer(MAX_PATH, L'\0');
        DWORD capacity = static_cast<DWORD>(buffer.size());
        ComponentLocation found;
        found.state = MsiLocateComponentW(componentGuid.c_str(), buffer.data(), &capacity);
        if (found.state == INSTALLSTATE_MOREDATA) {
            buffer.assign(static_cast<size_t>(capacity) + 1, L'\0');
            capacity = static_cast<DWORD>(buffer.size());
            found.state = MsiLocateComponentW(componentGuid.c_str(), buffer.data(), &capacity);
        }
        found.path = buffer.data();
        return found;
    });
    if (location.state == INSTALLSTATE_INVALIDARG) {
        throw ArgumentException(L"Invalid argument when locating component.");
    }
    Log(L"Component '%s', state '%d', location '%s'.", componentGuid, location.state, location.path);
    return location.path;
}

namespace {

// A root row may name itself as its parent, and a damaged table may hold a
// longer cycle: the walk up stops at the first and refuses the second
// instead of recursing until the stack is gone.
std::wstring ResolveSourceDirectoryFrom(const std::wstring& directory, std::vector<std::wstring>& visited) {
    const std::shared_ptr<Record> row = FetchOneRow(kDirectoryQuery, directory);
    if (!row) {
        return std::wstring();
    }
    const std::wstring parent = row->GetString(2);
    const std::wstring name = SourceName(row->GetString(3));
    if (parent == L"TARGETDIR" || parent == directory) {
        return name;
    }
    visited.push_back(directory);
    if (std::find(visited.begin(), visited.end(), parent) != visited.end()) {
        throw Exception(hresult::InvalidData, L"The Directory table has a cycle of parents at: " + parent, parent);
    }
    return JoinPath(ResolveSourceDirectoryFrom(parent, visited), name);
}

}  // namespace

std::wstring ResolveSourceDirectory(const std::wstring& directory) {
    std::vector<std::wstring> visited;
    return ResolveSourceDirectoryFrom(directory, visited);
}

std::wstring GetComponentSourceDirectory(const std::wstring& component) {
    const std::shared_ptr<Record> row = FetchOneRow(kComponentDirectoryQuery, component);
    if (!row) {
        throw Exception(hresult::InvalidHandle, L"Failed to read component directory.", std::wstring());
    }
    const std::wstring directory = row->GetString(2);
    const std::wstring package = GetProperty(L"OriginalDatabase");
    return JoinPath(GetParentPath(package), ResolveSourceDirectory(directory));
}

}  // namespace setup
