#pragma once
// Adds driver packages to, or removes them from, the offline image of the
// Windows Recovery Environment with reagentc.exe (to find the image) and
// dism.exe (to mount, change, list and unmount it). Any failure after the
// mount directory exists discards the mounted image and leaves as a
// setup::Exception with code 27303.
//
// Both tools are taken from the system directory and run one at a time
// through RunProcess: their output goes to the log, a non-zero exit code or
// a run past the time-out is a failure.
//
// dism removes a third-party driver from an image only by the name it was
// published under in that image (oemN.inf). Those names are found in the
// mounted image's own INF folder, whatever language dism speaks: each
// oemN.inf there that the caller's rule calls a copy of the package's INF.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace setup {

// The limit of the dism mount, commit and discard; a commit past it is ended
// with its children, and the discard that follows unmounts without saving.
constexpr uint32_t kRecoveryImageStepLimitMilliseconds = 30 * 60 * 1000;

namespace detail {
void SetRecoveryImageStepLimitForTesting(uint32_t milliseconds);
}  // namespace detail

// The code ConfigureRecoveryEnvironment fails with, whatever failed inside.
constexpr int32_t kRecoveryEnvironmentFailure = 27303;

// What to do with a package's INF in the image; the values are the driver
// package's operation codes.
namespace recovery_operation {
constexpr uint32_t Install = 1;
constexpr uint32_t Uninstall = 2;
constexpr uint32_t Reinstall = 3;
}  // namespace recovery_operation

// One driver package as the image steps need it.
struct RecoveryDriver {
    std::wstring id;       // names the package in the log
    std::wstring infPath;  // the INF that is added
    uint32_t operation = 0;
};
using RecoveryDriverList = std::vector<RecoveryDriver>;

// Whether the INF at candidatePath (a published INF of the image) is a copy
// of the package's INF at packageInfPath, of this or of an earlier version.
using PublishedCopyTest = std::function<bool(const std::wstring& packageInfPath, const std::wstring& candidatePath)>;

// An empty list runs nothing and logs nothing.
void ConfigureRecoveryEnvironment(const RecoveryDriverList& drivers, const PublishedCopyTest& isPublishedCopy);

// Enables the privilege dism needs, finds the image, makes the mount
// directory (only Administrators and SYSTEM may enter it) and mounts the
// image there. mountDirectory is set as soon as the directory exists, before
// the mount is tried, so that a failed mount can still be discarded; it is
// empty when the directory could not be made (the mount then fails in dism).
void InitializeRecoveryEnvironment(std::wstring& mountDirectory);
// Operation 1 or 3 removes the copies already in the image, then adds the
// package's INF; 2 removes the copies (none found is logged, not a failure);
// any other only logs.
void ApplyDriverToRecoveryEnvironment(const std::wstring& mountDirectory, const RecoveryDriver& driver,
                                      const PublishedCopyTest& isPublishedCopy);
// The published names (oemN.inf) under which the image holds copies of the
// driver's INF, in the order the folder lists them.
std::vector<std::wstring> FindDriverInRecoveryEnvironment(const std::wstring& mountDirectory,
                                                          const RecoveryDriver& driver,
                                                          const PublishedCopyTest& isPublishedCopy);
// Lists the image's drivers to the log, unmounts saving the changes and
// removes the mount directory (a failed removal is only logged).
void CommitRecoveryEnvironment(const std::wstring& mountDirectory);
// Unmounts without saving and removes the mount directory.
void DiscardRecoveryEnvironment(const std::wstring& mountDirectory);
// The image file named by "reagentc.exe /info". Output without the image's
// location fails with 0x80070490 (ERROR_NOT_FOUND).
std::wstring GetRecoveryImagePath();
// Enables SeManageVolumePrivilege in the process token; returns whether it
// was enabled before. ConfigureRecoveryEnvironment puts it back afterwards.
bool EnableManageVolumePrivilege();
// Enables or disables it; returns whether it was enabled before.
bool SetManageVolumePrivilege(bool enable);

}  // namespace setup
