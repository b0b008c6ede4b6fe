#pragma once
// Driver files the installer has not put on the disk: a component's cabinet
// (embedded "#name" or beside the package) extracted to a folder, the
// folder of a version already installed, and the early-install payload
// (network source, administrative image or compressed package) copied to a
// fresh temporary folder.

#include <string>

#include "driver/DriverPackage.h"
#include "msi/PayloadText.h"
#include "msi/Streams.h"

namespace setup {

// The Cabinet value of the first Media row, in ascending LastSequence, that
// holds the component's first file; empty when none does or the component
// has no file.
std::wstring GetComponentCabinet(const std::wstring& component);

// Extracts every file of the cabinet holding the component's files into the
// target folder, each under its File table long name. Throws when the
// component has no file, when a cabinet member has no File row or its
// target path does not fit, and when the cabinet cannot be read.
void ExtractComponentCabinet(const driver::DriverPackage& package, const std::wstring& target);

// The long name of a File row; throws when there is no row.
std::wstring GetFileLongName(const std::wstring& fileKey);

// The folder of the first installed candidate (the package's own component,
// then its previous versions in order); empty when none is installed.
std::wstring FindPreviousPackageLocation(const driver::DriverPackage& package);

// Points infPath and catPath into the installed version's folder, when there is one.
void UsePreviousPackageFiles(driver::DriverPackage& package);

// A copy of the package whose INF and catalog lie in a new temporary folder
// filled from the package's source, marked EarlyConfigured. The folder is
// left for the caller.
driver::DriverPackage PrepareEarlyPackageFiles(const driver::DriverPackage& package);

}  // namespace setup
