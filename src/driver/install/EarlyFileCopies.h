#pragma once
// The early packages' files as the system-rights phase uses them: the
// immediate action extracted them into a folder of the installing user, who
// can change them before the script runs. Each early package is given a
// copy in a new folder only SYSTEM and Administrators may write, every file
// hashed as it is copied and compared with the hash the immediate action
// took; the package's INF and catalog paths then point into the copy. The
// copies go when the owner does.

#include <string>
#include <vector>

#include "driver/DriverPackage.h"

namespace setup::driver {

class EarlyFileCopies {
public:
    EarlyFileCopies() = default;
    EarlyFileCopies(const EarlyFileCopies&) = delete;
    EarlyFileCopies& operator=(const EarlyFileCopies&) = delete;
    ~EarlyFileCopies();

    // Packages without EarlyConfigured are passed on unchanged. A package
    // whose files cannot be verified (a file changed, missing or unlisted,
    // no hashes at all) throws naming it; nothing of it is copied on.
    DriverPackage Secure(const DriverPackage& package);
    // Every package through Secure; the first failure ends the list.
    DriverPackageList SecureAll(const DriverPackageList& packages);
    // For rollback: a package that cannot be verified is logged and left out.
    DriverPackageList SecureEach(const DriverPackageList& packages);

private:
    std::vector<std::wstring> folders_;
};

}  // namespace setup::driver
