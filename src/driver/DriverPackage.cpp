#include "driver/DriverPackage.h"

#include <algorithm>

namespace setup::driver {

uint64_t SumCosts(const DriverPackageList& packages) {
    uint64_t total = 0;
    for (const DriverPackage& package : packages) {
        total += package.cost;
    }
    return total;
}

void SortBySequence(DriverPackageList& packages) {
    std::stable_sort(packages.begin(), packages.end(),
                     [](const DriverPackage& left, const DriverPackage& right) { return left.sequence < right.sequence; });
}

}  // namespace setup::driver
