#pragma once
// Driver files the installer has not put on the disk: a component's cabinet
// (embedded "#name" or beside the package) extracted to a folder, the
// folder of a version already installed, and the early-install payload
// (network source, administrative image or compressed package) copied to a
// fresh temporary folder.

#include <string>
#include <vector>

#include "msi/PayloadText.h"
#include "msi/Streams.h"

namespace setup {

// What the payload code needs of a driver package.
struct PayloadSource {
    std::wstring id;  // names the package in errors and log lines
    std::wstring component;
    std::wstring infPath;
    std::wstring catPath;
    std::vector<std::wstring> previousVersionGuids;
};

// An early package's files in their new temporary folder, with the hashes
// taken as they were extracted.
struct EarlyPayload {
    std::wstring infPath;
    std::wstring catPath;
    std::vector<PayloadFile> files;
};

// The Cabinet value of the first Media row, in ascending LastSequence, that
// holds the component's first file; empty when none does or the component
// has no file.
std::wstring GetComponentCabinet(const std::wstring& component);

// Extracts every file of the cabinet holding the component's files into the
// target folder, each under its File table long name. Throws when the
// component has no file, when a cabinet member has no File row or its
// target path does not fit, and when the cabinet cannot be read.
void ExtractComponentCabinet(const PayloadSource& package, const std::wstring& target);

// The long name of a File row; throws when there is no row.
std::wstring GetFileLongName(const std::wstring& fileKey);

// The folder of the first installed candidate (the package's own component,
// then its previous versions in order); empty when none is installed.
std::wstring FindPreviousPackageLocation(const PayloadSource& package);

// The package's INF and catalog in a new temporary folder filled from the
// package's source, every file of the folder hashed. The folder is left for
// the caller.
EarlyPayload PrepareEarlyPayload(const PayloadSource& package);

}  // namespace setup
