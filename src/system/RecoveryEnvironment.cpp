#include "system/RecoveryEnvironment.h"

#include <windows.h>

#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/Handles.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "system/FileSystem.h"
#include "system/PathText.h"
#include "system/Process.h"
#include "system/RecoveryImageText.h"

namespace setup {

namespace {

constexpr wchar_t kMountDirectoryPrefix[] = L"wim";
// Protected DACL: full access for Administrators and SYSTEM only, handed on
// to everything dism unpacks below it.
constexpr wchar_t kMountDirectoryDescriptor[] = L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
constexpr wchar_t kManageVolumePrivilege[] = L"SeManageVolumePrivilege";
constexpr int32_t kNotFound = static_cast<int32_t>(0x80070490);         // ERROR_NOT_FOUND
constexpr int32_t kNotAllAssigned = static_cast<int32_t>(0x80070514);   // ERROR_NOT_ALL_ASSIGNED

std::wstring SystemTool(const wchar_t* name) {
    std::wstring directory;
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    if (size > 0) {
        directory.resize(size);
        const UINT length = GetSystemDirectoryW(directory.data(), size);
        directory.resize(length < size ? length : 0);
    }
    return JoinPath(directory, name);
}

std::wstring Dism() { return SystemTool(L"dism.exe"); }

// Mounting, saving and discarding a recovery image of several hundred
// megabytes take minutes on a slow disk; the other steps take seconds.
uint32_t g_imageStepLimit = kRecoveryImageStepLimitMilliseconds;

// The command lines start with the tool's unquoted path; the tool runs by
// that path, quoted as argument 0.
std::wstring RunTool(const std::wstring& tool, const std::wstring& commandLine,
                     uint32_t limit = detail::kProcessTimeoutMilliseconds) {
    const std::wstring arguments = commandLine.size() > tool.size() ? commandLine.substr(tool.size() + 1) : std::wstring();
    return RunProgram(tool, arguments, limit);
}

void RemovePublishedCopies(const std::wstring& mountDirectory, const std::vector<std::wstring>& publishedNames) {
    for (const std::wstring& name : publishedNames) {
        RunTool(Dism(), recovery_command::RemoveDriver(Dism(), mountDirectory, name));
    }
}

[[noreturn]] void FailPrivilegeStep(const wchar_t* message) {
    throw Exception(HResultFromWin32(GetLastError()), message, kManageVolumePrivilege);
}

}  // namespace

void ConfigureRecoveryEnvironment(const RecoveryDriverList& drivers, const PublishedCopyTest& isPublishedCopy) {
    if (drivers.empty()) {
        return;
    }
    // The host process runs other actions after this one: the privilege
    // goes back to what it was, whatever happens here.
    const bool wasEnabled = EnableManageVolumePrivilege();
    struct PrivilegeRestore {
        bool enabled;
        ~PrivilegeRestore() {
            if (!enabled) {
                try {
                    SetManageVolumePrivilege(false);
                    Log(L"The privilege '%s' was put back to disabled.", kManageVolumePrivilege);
                } catch (const Exception& e) {
                    Log(L"Warning: %s Error 0x%x.", e.Message(), e.Code());
                }
            }
        }
    } restore{wasEnabled};
    std::wstring mountDirectory;
    try {
        InitializeRecoveryEnvironment(mountDirectory);
        for (const RecoveryDriver& driver : drivers) {
            ApplyDriverToRecoveryEnvironment(mountDirectory, driver, isPublishedCopy);
        }
        CommitRecoveryEnvironment(mountDirectory);
    } catch (const Exception& e) {
        Log(L"Failed to configure Windows Recovery Environment. %s. Error 0x%x.", e.Message(), e.Code());
        try {
            DiscardRecoveryEnvironment(mountDirectory);
        } catch (const Exception&) {
            // Nothing may be mounted at all; the original failure is the one to report.
        }
        throw Exception(kRecoveryEnvironmentFailure, e.Message(), e.Details());
    }
}

void InitializeRecoveryEnvironment(std::wstring& mountDirectory) {
    Log(L" - Initializing Windows Recovery Environment...");
    EnableManageVolumePrivilege();
    const std::wstring image = GetRecoveryImagePath();
    mountDirectory = CreateProtectedWorkFolder(kMountDirectoryPrefix, kMountDirectoryDescriptor);
    const std::wstring dism = Dism();
    RunTool(dism, recovery_command::ListMounted(dism));
    RunTool(dism, recovery_command::Mount(dism, image, mountDirectory), g_imageStepLimit);
}

void ApplyDriverToRecoveryEnvironment(const std::wstring& mountDirectory, const RecoveryDriver& driver,
                                      const PublishedCopyTest& isPublishedCopy) {
    switch (driver.operation) {
        case recovery_operation::Install:
        case recovery_operation::Reinstall:
            Log(L" - Adding driver '%s' to Windows Recovery Environment...", driver.id);
            // An earlier copy left in the image would be a second driver for the same device.
            RemovePublishedCopies(mountDirectory, FindDriverInRecoveryEnvironment(mountDirectory, driver, isPublishedCopy));
            RunTool(Dism(), recovery_command::AddDriver(Dism(), mountDirectory, driver.infPath));
            break;
        case recovery_operation::Uninstall: {
            Log(L" - Removing driver '%s' from Windows Recovery Environment...", driver.id);
            const std::vector<std::wstring> published =
                FindDriverInRecoveryEnvironment(mountDirectory, driver, isPublishedCopy);
            if (published.empty()) {
                Log(L"Driver '%s' is not in Windows Recovery Environment. Nothing to remove.", driver.id);
            }
            RemovePublishedCopies(mountDirectory, published);
            break;
        }
        default:
            Log(L"The operation of driver was not specified. Do nothing.");
            break;
    }
}

std::vector<std::wstring> FindDriverInRecoveryEnvironment(const std::wstring& mountDirectory,
                                                          const RecoveryDriver& driver,
                                                          const PublishedCopyTest& isPublishedCopy) {
    std::vector<std::wstring> published;
    const std::wstring folder = JoinPath(JoinPath(mountDirectory, L"Windows"), L"INF");
    WIN32_FIND_DATAW entry = {};
    const UniqueFindHandle search(FindFirstFileW(JoinPath(folder, L"oem*.inf").c_str(), &entry));
    if (!search) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return published;
        }
        throw Exception(HResultFromWin32(error), L"Failed to find oem*.inf in Windows Recovery Environment", folder);
    }
    do {
        // The wildcard also lets through names that are no published name
        // (oem1.inf_old, short names): those are never handed to dism.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsPublishedInfName(entry.cFileName)) {
            continue;
        }
        if (isPublishedCopy(driver.infPath, JoinPath(folder, entry.cFileName))) {
            Log(L"Found '%s' in Windows Recovery Environment for driver '%s'.", entry.cFileName, driver.id);
            published.emplace_back(entry.cFileName);
        }
    } while (FindNextFileW(search.get(), &entry));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        throw Exception(HResultFromWin32(error), L"Failed to find oem*.inf in Windows Recovery Environment", folder);
    }
    return published;
}

void CommitRecoveryEnvironment(const std::wstring& mountDirectory) {
    Log(L" - Committing changes to Windows Recovery Environment...");
    const std::wstring dism = Dism();
    RunTool(dism, recovery_command::ListDrivers(dism, mountDirectory));
    RunTool(dism, recovery_command::Commit(dism, mountDirectory), g_imageStepLimit);
    RemoveFolder(mountDirectory);
}

void DiscardRecoveryEnvironment(const std::wstring& mountDirectory) {
    Log(L" - Discarding changes from Windows Recovery Environment...");
    RunTool(Dism(), recovery_command::Discard(Dism(), mountDirectory), g_imageStepLimit);
    RemoveFolder(mountDirectory);
}

std::wstring GetRecoveryImagePath() {
    const std::wstring reagentc = SystemTool(L"reagentc.exe");
    const std::wstring locate = recovery_command::Locate(reagentc);
    const RecoveryImageLocation found = FindRecoveryImageLocation(RunTool(reagentc, locate));
    switch (found.end) {
        case RecoveryImageLocation::End::MarkerMissing:
            Log(L"Failed to find '%s'.", kRecoveryImageMarker);
            throw Exception(kNotFound, L"Failed to find the Windows Recovery Environment image", locate);
        case RecoveryImageLocation::End::EndOfOutput:
            Log(L"Failed to get '%s'.", kRecoveryImageMarker);
            break;
        case RecoveryImageLocation::End::LineEnd:
            break;
    }
    return JoinPath(found.location, kRecoveryImageFileName);
}

bool EnableManageVolumePrivilege() { return SetManageVolumePrivilege(true); }

bool SetManageVolumePrivilege(bool enable) {
    UniqueKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) {
        FailPrivilegeStep(L"Failed to open the access token associated with a process.");
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!LookupPrivilegeValueW(nullptr, kManageVolumePrivilege, &privileges.Privileges[0].Luid)) {
        FailPrivilegeStep(L"Failed to retrieve the locally unique identifier (LUID).");
    }
    TOKEN_PRIVILEGES previous = {};
    DWORD previousSize = 0;
    if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof(previous), &previous, &previousSize)) {
        FailPrivilegeStep(L"Failed to enable privileges in access token.");
    }
    // Success alone does not mean the token holds the privilege.
    if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        throw Exception(kNotAllAssigned, L"Failed to adjust one or more specified privileges.", kManageVolumePrivilege);
    }
    // The previous state lists only what changed: nothing listed means the
    // privilege was already as asked.
    if (previous.PrivilegeCount == 0) {
        return enable;
    }
    return (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0;
}

namespace detail {

void SetRecoveryImageStepLimitForTesting(uint32_t milliseconds) { g_imageStepLimit = milliseconds; }

}  // namespace detail

}  // namespace setup
