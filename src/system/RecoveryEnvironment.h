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

#include <cstdint>
#include <string>

#include "driver/DriverPackage.h"

namespace setup {

// The limit of the dism mount, commit and discard; a commit past it is ended
// with its children, and the discard that follows unmounts without saving.
constexpr uint32_t kRecoveryImageStepLimitMilliseconds = 30 * 60 * 1000;

namespace detail {
void SetRecoveryImageStepLimitForTesting(uint32_t milliseconds);
}  // namespace detail

// The code ConfigureRecoveryEnvironment fails with, whatever failed inside.
constexpr int32_t kRecoveryEnvironmentFailure = 27303;

// An empty list runs nothing and logs nothing.
void ConfigureRecoveryEnvironment(const driver::DriverPackageList& packages);

// Enables the privilege dism needs, finds the image, makes the mount
// directory (only Administrators and SYSTEM may enter it) and mounts the
// image there. mountDirectory is set as soon as the directory exists, before
// the mount is tried, so that a failed mount can still be discarded; it is
// empty when the directory could not be made (the mount then fails in dism).
void InitializeRecoveryEnvironment(std::wstring& mountDirectory);
// Operation 1 or 3 adds the package's INF, 2 removes it; any other only logs.
void ApplyDriverToRecoveryEnvironment(const std::wstring& mountDirectory, const driver::DriverPackage& package);
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
