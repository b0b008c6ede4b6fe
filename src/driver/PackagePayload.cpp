#include "driver/PackagePayload.h"

#include <string>
#include <utility>

#include "frame/Log.h"
#include "system/PathText.h"

namespace setup::driver {

PayloadSource PayloadSourceOf(const DriverPackage& package) {
    return PayloadSource{package.id, package.component, package.infPath, package.catPath, package.previousVersionGuids};
}

void UsePreviousPackageFiles(DriverPackage& package) {
    const std::wstring folder = FindPreviousPackageLocation(PayloadSourceOf(package));
    if (folder.empty()) {
        return;
    }
    package.infPath = JoinPath(folder, GetFileNamePart(package.infPath));
    package.catPath = JoinPath(folder, GetFileNamePart(package.catPath));
    Log(L"Found previous package '%s' '%s'.", package.infPath, package.catPath);
}

DriverPackage PrepareEarlyPackageFiles(const DriverPackage& package) {
    EarlyPayload payload = PrepareEarlyPayload(PayloadSourceOf(package));
    DriverPackage early = package;
    early.infPath = std::move(payload.infPath);
    early.catPath = std::move(payload.catPath);
    early.payloadFiles = std::move(payload.files);
    early.attributes |= attribute::EarlyConfigured;
    return early;
}

}  // namespace setup::driver
