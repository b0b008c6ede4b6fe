#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/DriverPackage.h"

namespace {

using setup::driver::DriverPackage;
using setup::driver::DriverPackageList;

DriverPackage Package(const std::wstring& id, uint32_t sequence) {
    DriverPackage package;
    package.id = id;
    package.sequence = sequence;
    return package;
}

std::vector<std::wstring> Ids(const DriverPackageList& packages) {
    std::vector<std::wstring> ids;
    for (const DriverPackage& package : packages) {
        ids.push_back(package.id);
    }
    return ids;
}

}  // namespace

TEST(DriverPackage, Defaults) {
    const DriverPackage package;
    EXPECT_EQ(65535u, package.sequence);
    EXPECT_EQ(10000000u, package.cost);
    EXPECT_EQ(0u, package.operation);
    EXPECT_EQ(0u, package.attributes);
    EXPECT_EQ(0u, package.type);
}

TEST(DriverPackage, SortBySequenceIsStableAndUnsigned) {
    DriverPackageList packages = {Package(L"x", 0xFFFFFFFF), Package(L"c", 20), Package(L"b", 10), Package(L"n", 65535),
                                  Package(L"a", 10), Package(L"z", 0)};
    setup::driver::SortBySequence(packages);
    EXPECT_EQ((std::vector<std::wstring>{L"z", L"b", L"a", L"c", L"n", L"x"}), Ids(packages));
}

TEST(DriverPackage, ListOperationsKeepOrder) {
    const DriverPackageList packages = {Package(L"a", 3), Package(L"b", 1), Package(L"c", 2)};
    const DriverPackageList kept =
        setup::driver::FilterPackages(packages, [](const DriverPackage& p) { return p.sequence != 1; });
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"c"}), Ids(kept));
    const DriverPackageList mapped = setup::driver::MapPackages(packages, [](DriverPackage p) {
        p.operation = setup::driver::operation::Install;
        return p;
    });
    EXPECT_EQ(Ids(packages), Ids(mapped));
    EXPECT_EQ(1u, mapped[2].operation);
    EXPECT_EQ(0u, packages[2].operation);
}

TEST(DriverPackage, CostSumDoesNotWrap) {
    DriverPackageList packages(500);
    packages[0].cost = 5;
    EXPECT_EQ(499ull * 10000000ull + 5ull, setup::driver::SumCosts(packages));
    EXPECT_EQ(0ull, setup::driver::SumCosts({}));
}
