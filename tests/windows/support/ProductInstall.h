#pragma once
// Products really installed in the test's prefix by a child msiexec, for
// code that asks the installer about installed components and their folders.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "windows/support/InstallerFixture.h"

namespace ddtest {

// How long one msiexec run may take before the harness gives up on it.
constexpr DWORD kMsiexecTimeLimitMs = 180000;
// What RunMsiexec returns for a run that outlived its limit.
constexpr DWORD kMsiexecTimedOut = WAIT_TIMEOUT;

// Runs "msiexec.exe <arguments>" and returns its exit code (or the error of
// starting it). A run that outlives the limit fails the current test with
// the processes still running and the tail of its "/l*v" log, is ended with
// every process it started, and gives kMsiexecTimedOut.
DWORD RunMsiexec(const std::wstring& arguments, DWORD timeLimitMs = kMsiexecTimeLimitMs);

// "pid parent name" of every process of the prefix but the caller.
std::vector<std::wstring> RunningProcesses();

// The tables of a package with one component "Driver" (GUID componentGuid)
// in the folder "Drivers" holding the files (name, content); the first file
// is the key path. The files are uncompressed, read beside the package.
std::vector<TableText> DriverProductTables(const std::string& componentGuid,
                                           const std::vector<std::pair<std::string, std::string>>& files);

// Builds that package in dir (pkg.msi and its source files) and returns its path.
std::wstring BuildDriverProduct(const TempDir& dir, const std::string& productCode, const std::string& componentGuid,
                                const std::vector<std::pair<std::string, std::string>>& files);

// Builds and installs it into dir\target; returns the installed "Drivers"
// folder, or an empty text after printing msiexec's log when it failed.
// Extra msiexec arguments follow the others (ALLUSERS="" installs per user).
std::wstring InstallDriverProduct(const TempDir& dir, const std::string& productCode, const std::string& componentGuid,
                                  const std::vector<std::pair<std::string, std::string>>& files,
                                  const std::wstring& extraArguments = std::wstring());

}  // namespace ddtest
