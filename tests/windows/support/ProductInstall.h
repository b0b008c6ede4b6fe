#pragma once
// Products really installed in the test's prefix by a child msiexec, for
// code that asks the installer about installed components and their folders.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "windows/support/InstallerFixture.h"

namespace ddtest {

// Runs "msiexec.exe <arguments>" and returns its exit code (or the error of
// starting it).
DWORD RunMsiexec(const std::wstring& arguments);

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
std::wstring InstallDriverProduct(const TempDir& dir, const std::string& productCode, const std::string& componentGuid,
                                  const std::vector<std::pair<std::string, std::string>>& files);

}  // namespace ddtest
