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

void RemovePublishedCopies(const std::wstring& mountDirectory, const std::vector<std::wstring>& publishedNames) {
    for (const std::wstring& name : publishedNames) {
        RunCommand(recovery_command::RemoveDriver(Dism(), mountDirectory, name));
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
    mountDirectory = CreateTempDirectoryWithAcl(kMountDirectoryPrefix, kMountDirectoryDescriptor);
    const std::wstring dism = Dism();
    RunCommand(recovery_command::ListMounted(dism));
    RunCommand(recovery_command::Mount(dism, image, mountDirectory));
}

void ApplyDriverToRecoveryEnvironment(const std::wstring& mountDirectory, const RecoveryDriver& driver,
                                      const PublishedCopyTest& isPublishedCopy) {
    switch (driver.operation) {
        case recovery_operation::Install:
        case recovery_operation::Reinstall:
            Log(L" - Adding driver '%s' to Windows Recovery Environment...", driver.id);
            // An earlier copy left in the image would be a second driver for the same device.
            RemovePublishedCopies(mountDirectory, FindDriverInRecoveryEnvironment(mountDirectory, driver, isPublishedCopy));
            RunCommand(recovery_command::AddDriver(Dism(), mountDirectory, driver.infPath));
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
    RunCommand(recovery_command::ListDrivers(dism, mountDirectory));
    RunCommand(recovery_command::Commit(dism, mountDirectory));
    RemoveFolder(mountDirectory);
}

void DiscardRecoveryEnvironment(const std::wstring& mountDirectory) {
    Log(L" - Discarding changes from Windows Recovery Environment...");
    RunCommand(recovery_command::Discard(Dism(), mountDirectory));
    RemoveFolder(mountDirectory);
}

std::wstring GetRecoveryImagePath() {
    const std::wstring locate = recovery_command::Locate(SystemTool(L"reagentc.exe"));
    const RecoveryImageLocation found = FindRecoveryImageLocation(RunProcess(locate));
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

void EnableManageVolumePrivilege() {
    UniqueKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put())) {
        FailPrivilegeStep(L"Failed to open the access token associated with a process.");
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, kManageVolumePrivilege, &privileges.Privileges[0].Luid)) {
        FailPrivilegeStep(L"Failed to retrieve the locally unique identifier (LUID).");
    }
    if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr)) {
        FailPrivilegeStep(L"Failed to enable privileges in access token.");
    }
    // Success alone does not mean the token holds the privilege.
    if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        throw Exception(kNotAllAssigned, L"Failed to adjust one or more specified privileges.", kManageVolumePrivilege);
    }
}

}  // namespace setup
