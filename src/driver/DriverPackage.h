#pragma once
// The driver package record every scheduling and execution step passes
// around, and the list operations the steps are built from.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "msi/PayloadText.h"
#include "tables/DriverRegistryEntry.h"
#include "tables/DriverUpperFilterEntry.h"

namespace setup::driver {

namespace attribute {
constexpr uint32_t StartService = 0x0001;
constexpr uint32_t MoveToFrontOfGroup = 0x0002;  // service goes to the front of its load-order group
constexpr uint32_t InstallEarly = 0x0004;
constexpr uint32_t UninstallPreviousVersion = 0x0008;
constexpr uint32_t EarlyConfigured = 0x0010;
constexpr uint32_t StartTypeOnFinalize = 0x0020;
constexpr uint32_t WinRe = 0x0040;
constexpr uint32_t InstallElamCertificate = 0x0080;
constexpr uint32_t RollbackBasedOnDriverStatus = 0x0100;
constexpr uint32_t IgnoreCertificationErrors = 0x0200;
constexpr uint32_t StopService = 0x0400;
constexpr uint32_t DeleteFlagByValue = 0x0800;  // filter installer marks deletion through DeleteFlag
constexpr uint32_t RemoveOnInstall = 0x1000;
}  // namespace attribute

namespace package_type {
constexpr uint32_t Filter = 1;
constexpr uint32_t Network = 2;
constexpr uint32_t Device = 3;
}  // namespace package_type

namespace operation {
constexpr uint32_t None = 0;
constexpr uint32_t Install = 1;
constexpr uint32_t Uninstall = 2;
constexpr uint32_t Reinstall = 3;  // install over a version already present
}  // namespace operation

constexpr uint32_t kNoSequence = 65535;     // runs in the parallel group
constexpr uint32_t kPackageCost = 10000000;  // progress ticks of one package

struct DriverPackage {
    std::wstring id;
    std::wstring component;
    std::wstring infPath;
    std::wstring catPath;
    std::wstring dependencies;  // service names joined by "[~]"
    std::wstring condition;
    std::wstring hardwareId;
    std::vector<std::wstring> previousVersionGuids;
    std::vector<DriverRegistryEntry> registryEntries;
    std::vector<DriverUpperFilterEntry> upperFilters;
    // An early package's files with the hashes taken as they were extracted;
    // the system-rights phase installs only from copies that match them.
    std::vector<PayloadFile> payloadFiles;
    uint32_t attributes = 0;
    uint32_t type = 0;
    uint32_t operation = operation::None;
    uint32_t sequence = kNoSequence;
    uint32_t cost = kPackageCost;

    bool operator==(const DriverPackage&) const = default;
};

using DriverPackageList = std::vector<DriverPackage>;

template <class Predicate>
DriverPackageList FilterPackages(const DriverPackageList& packages, Predicate keep) {
    DriverPackageList kept;
    for (const DriverPackage& package : packages) {
        if (keep(package)) {
            kept.push_back(package);
        }
    }
    return kept;
}

template <class Configure>
DriverPackageList MapPackages(const DriverPackageList& packages, Configure configure) {
    DriverPackageList mapped;
    mapped.reserve(packages.size());
    for (const DriverPackage& package : packages) {
        mapped.push_back(configure(package));
    }
    return mapped;
}

// 64 bits wide: a few hundred packages already pass 2^32 ticks.
uint64_t SumCosts(const DriverPackageList& packages);

// Ascending unsigned sequence; packages of equal sequence keep their order.
void SortBySequence(DriverPackageList& packages);

}  // namespace setup::driver
