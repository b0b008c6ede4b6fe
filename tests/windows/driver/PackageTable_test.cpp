#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "driver/PackageTable.h"
#include "windows/tables/RegistryTestSupport.h"

// <winsvc.h> maps StartService to StartServiceW; the package attribute of
// that name must keep it.
#ifdef StartService
#undef StartService
#endif

namespace {

using setup::driver::DriverPackage;
namespace attribute = setup::driver::attribute;

constexpr int32_t kInvalidData = static_cast<int32_t>(0x8007000D);

struct Row {
    std::string id = "drv";
    std::string component = "Comp";
    std::string infPath = "[INFDIR]drv.inf";
    std::string attributes;
    std::string condition;
    std::string sequence;
    std::string guids;
};

ddtest::TableText PackageTable(const std::vector<Row>& rows) {
    std::vector<std::vector<std::string>> fields;
    for (const Row& r : rows) {
        fields.push_back({r.id, r.component, r.infPath, "[INFDIR]drv.cat", "svcA[~]svcB", "ROOT\\DRV", r.attributes, "1",
                          r.condition, r.sequence, r.guids});
    }
    return ddtest::MakeTable("DriverPackage",
                             {"DriverPackage", "Component_", "InfPath", "CatPath", "Dependencies", "HardwareId", "Attributes",
                              "Type", "Condition", "Sequence", "GuidsOfPreviousVersions"},
                             {"s72", "s72", "S255", "S255", "S255", "S255", "I4", "I2", "S255", "I4", "S255"}, {"DriverPackage"},
                             fields);
}

ddtest::TableText RegistryTable(const std::vector<std::vector<std::string>>& rows) {
    return ddtest::MakeTable("DriverRegistry", {"DriverRegistry", "Root", "Key", "Name", "Value", "DriverPackage_", "Condition"},
                             {"s72", "I2", "s255", "S255", "S255", "s72", "S255"}, {"DriverRegistry"}, rows);
}

ddtest::TableText UpperFilterTable(const std::vector<std::vector<std::string>>& rows) {
    return ddtest::MakeTable("DriverUpperFilter",
                             {"DriverUpperFilter", "ClassGuid", "ServiceName", "Dependencies", "Attributes", "DriverPackage_",
                              "Condition"},
                             {"s72", "s38", "s72", "S255", "I4", "s72", "S255"}, {"DriverUpperFilter"}, rows);
}

class PackageTableTest : public regtest::SessionTest {
protected:
    setup::driver::DriverPackageList Read(const std::vector<ddtest::TableText>& tables,
                                          std::map<std::string, std::string> properties = {}) {
        properties.emplace("INFDIR", "C:\\drv\\");
        StartSession(tables, properties);
        return setup::driver::ReadDriverPackages();
    }
    setup::Exception ReadFailure(const std::vector<ddtest::TableText>& tables) {
        StartSession(tables, {{"INFDIR", "C:\\drv\\"}});
        return ddtest::CatchSetupException([] { setup::driver::ReadDriverPackages(); });
    }
};

TEST_F(PackageTableTest, MissingTableGivesAnEmptyList) {
    EXPECT_TRUE(Read({}).empty());
    EXPECT_TRUE(HasLine(L"There is no 'DriverPackage' table."));
}

TEST_F(PackageTableTest, ReadsColumnsWithDefaultsAndFormattedPaths) {
    Row numbered;
    numbered.id = "a";
    numbered.attributes = "3";
    numbered.sequence = "5";
    numbered.guids = ";{A}";
    Row unnumbered;
    unnumbered.id = "b";
    unnumbered.guids = "{A};{B};";
    unnumbered.condition = "INFDIR";
    const auto packages = Read({PackageTable({numbered, unnumbered})});
    ASSERT_EQ(2u, packages.size());

    const DriverPackage& a = packages[0];
    EXPECT_EQ(L"a", a.id);
    EXPECT_EQ(L"Comp", a.component);
    EXPECT_EQ(L"C:\\drv\\drv.inf", a.infPath);
    EXPECT_EQ(L"C:\\drv\\drv.cat", a.catPath);
    EXPECT_EQ(L"svcA[~]svcB", a.dependencies);
    EXPECT_EQ(L"ROOT\\DRV", a.hardwareId);
    EXPECT_EQ(3u, a.attributes);
    EXPECT_EQ(1u, a.type);
    EXPECT_EQ(5u, a.sequence);
    EXPECT_EQ((std::vector<std::wstring>{L"", L"{A}"}), a.previousVersionGuids);
    EXPECT_EQ(0u, a.operation);
    EXPECT_EQ(10000000u, a.cost);

    const DriverPackage& b = packages[1];
    EXPECT_EQ(0u, b.attributes);
    EXPECT_EQ(65535u, b.sequence);
    EXPECT_EQ(L"INFDIR", b.condition);
    EXPECT_EQ((std::vector<std::wstring>{L"{A}", L"{B}"}), b.previousVersionGuids);
    EXPECT_TRUE(HasLine(L"The package row 'b' was successfully read."));
}

// Each case: starting attributes, the properties set, the attributes read.
TEST_F(PackageTableTest, PropertyOverridesChangeAttributeBits) {
    struct Case {
        const char* label;
        uint32_t attributes;
        std::map<std::string, std::string> properties;
        uint32_t expected;
        std::wstring line;
    };
    const uint32_t uninstallPrevious = attribute::UninstallPreviousVersion;
    const uint32_t start = attribute::StartService;
    const std::vector<Case> cases = {
        {"reboot 1", uninstallPrevious, {{"UPDATEDRIVERONREBOOT", "1"}}, 0,
         L"Force removed UninstallPreviousVersion attribute from 'drv' due to UPDATEDRIVERONREBOOT was specified."},
        {"reboot word", uninstallPrevious, {{"UPDATEDRIVERONREBOOT", "yes"}}, uninstallPrevious, L""},
        {"reboot 1 blank", uninstallPrevious, {{"UPDATEDRIVERONREBOOT", "1 "}}, uninstallPrevious, L""},
        {"reboot 01", uninstallPrevious, {{"UPDATEDRIVERONREBOOT", "01"}}, uninstallPrevious, L""},
        {"skip start", start, {{"SKIPSTARTSERVICES", "1"}}, 0,
         L"Force removed StartService attribute from 'drv' due to SKIPSTARTSERVICES was specified."},
        {"disable list substring", start, {{"DisableStartDriversList", "olddrv2;x"}}, 0,
         L"Force removed StartService attribute from 'drv' due to DisableStartDriversList contains package id."},
        {"disable list other", start, {{"DisableStartDriversList", "dr;v"}}, start, L""},
        {"skip stop", attribute::StopService, {{"SKIPSTOPSERVICES", "1"}}, 0,
         L"Force removed StopService attribute from 'drv' due to SKIPSTOPSERVICES was specified."},
        {"skip winre", attribute::WinRe, {{"SKIPCONFIGUREWINDOWSRECOVERY", "1"}}, 0,
         L"Force removed WinRe attribute from 'drv' due to SKIPCONFIGUREWINDOWSRECOVERY was specified."},
        {"rollback status 0", 0, {{"ROLLBACKBASEDONDRIVERSTATUS", "0"}}, attribute::RollbackBasedOnDriverStatus,
         L"Force added RollbackBasedOnDriverStatus attribute to 'drv' due to ROLLBACKBASEDONDRIVERSTATUS was specified."},
        {"ignore certification", 0, {{"IGNORECERTIFICATIONERRORS", "x"}}, attribute::IgnoreCertificationErrors,
         L"Force added IgnoreCertificationErrors attribute to 'drv' due to IGNORECERTIFICATIONERRORS was specified."},
        // Wine's ntdll.dll carries file version 6.1: older than Windows 10.
        {"elam before 10", attribute::InstallElamCertificate | start, {}, start,
         L"Force removed InstallElamCertificate attribute from 'drv' on early then Windows 10."},
        {"no switch", 0x2000 | start | attribute::StopService, {}, 0x2000 | start | attribute::StopService, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Row row;
        row.attributes = std::to_string(c.attributes);
        const auto packages = Read({PackageTable({row})}, c.properties);
        ASSERT_EQ(1u, packages.size());
        EXPECT_EQ(c.expected, packages[0].attributes);
        const auto lines = Lines();
        const bool forced = std::any_of(lines.begin(), lines.end(),
                                        [](const std::wstring& line) { return line.rfind(L"Force ", 0) == 0; });
        EXPECT_EQ(!c.line.empty(), forced);
        if (!c.line.empty()) {
            EXPECT_TRUE(HasLine(c.line));
        }
    }
}

TEST_F(PackageTableTest, AnAuthoredEarlyConfiguredBitIsMaskedAndLogged) {
    // Left in, the commit action would delete the INF's folder ([INFDIR]) with system rights.
    Row row;
    row.attributes = std::to_string(attribute::EarlyConfigured | attribute::StartService);
    const auto packages = Read({PackageTable({row})});
    ASSERT_EQ(1u, packages.size());
    EXPECT_EQ(attribute::StartService, packages[0].attributes);
    EXPECT_TRUE(HasLine(L"The attribute EarlyConfigured (0x10) of driver package 'drv' is set by the library only: the "
                        L"authored bit is ignored."));
}

TEST_F(PackageTableTest, OnlyARowsOwnValueTextReadsAFileIntoTheRegistry) {
    Row row;
    const auto packages = Read({PackageTable({row}), RegistryTable({{"file", "2", "Software\\x", "a", "#v[INFDIR]blob.bin", "drv", ""},
                                                                     {"prop", "2", "Software\\x", "b", "[SECRET]", "drv", ""}})},
                               {{"SECRET", "#vC:\\Windows\\secret.key"}});
    ASSERT_EQ(1u, packages.size());
    ASSERT_EQ(2u, packages[0].registryEntries.size());
    EXPECT_EQ(L"#vC:\\drv\\blob.bin", packages[0].registryEntries[0].value);
    // "##" makes the rest plain text: the script phase writes "#vC:\..." as a string and reads no file.
    EXPECT_EQ(L"##vC:\\Windows\\secret.key", packages[0].registryEntries[1].value);
    EXPECT_TRUE(HasLine(L"The value of registry row 'prop' starts with '#v' only after formatting: it is written as text."));
    EXPECT_FALSE(HasLine(L"The value of registry row 'file' starts with '#v' only after formatting: it is written as text."));
}

TEST_F(PackageTableTest, AttachesRegistryAndUpperFilterRowsByPackageKey) {
    Row one;
    one.id = "one";
    Row two;
    two.id = "two";
    const auto packages =
        Read({PackageTable({one, two}),
              RegistryTable({{"r1", "2", "Software\\one", "v", "[INFDIR]", "one", ""}, {"r2", "2", "Software\\two", "v", "x", "two", ""},
                             {"r3", "2", "Software\\one", "w", "y", "one", ""}}),
              UpperFilterTable({{"f1", "{6D3A1B2C-4E5F-4A7B-9C8D-1E2F3A4B5C6D}", "flt", "", "", "two", ""}})});
    ASSERT_EQ(2u, packages.size());
    ASSERT_EQ(2u, packages[0].registryEntries.size());
    EXPECT_EQ(L"r1", packages[0].registryEntries[0].id);
    EXPECT_EQ(L"C:\\drv\\", packages[0].registryEntries[0].value);
    EXPECT_EQ(L"r3", packages[0].registryEntries[1].id);
    EXPECT_TRUE(packages[0].upperFilters.empty());
    ASSERT_EQ(1u, packages[1].registryEntries.size());
    EXPECT_EQ(L"r2", packages[1].registryEntries[0].id);
    ASSERT_EQ(1u, packages[1].upperFilters.size());
    EXPECT_EQ(L"f1", packages[1].upperFilters[0].id);
    EXPECT_EQ(L"two", packages[1].upperFilters[0].driverPackage);
}

TEST_F(PackageTableTest, InvalidRowsFailTheRead) {
    struct Case {
        const char* label;
        std::vector<ddtest::TableText> tables;
        std::wstring message;
    };
    Row noInf;
    noInf.infPath = "";
    Row formatsToNothing;
    formatsToNothing.infPath = "[UNSETPROPERTY]";
    Row badCondition;
    badCondition.condition = "((INFDIR";
    Row semicolon;
    semicolon.id = "dr;v";
    Row star;
    star.id = "dr*v";
    const std::vector<Case> cases = {
        {"empty InfPath", {PackageTable({noInf})}, L"Failed to validate driver package 'drv'.Inf file is not specified."},
        {"InfPath formats to nothing", {PackageTable({formatsToNothing})},
         L"Failed to validate driver package 'drv'.Inf file is not specified."},
        {"bad condition", {PackageTable({badCondition})}, L"Failed to validate driver package 'drv'. Condition is incorrect."},
        {"id with ;", {PackageTable({semicolon})},
         L"Failed to validate the DriverPackage row 'dr;v'. Its key contains the reserved character ';'."},
        {"id with *", {PackageTable({star})},
         L"Failed to validate the DriverPackage row 'dr*v'. Its key contains the reserved character '*'."},
        {"registry key with >",
         {PackageTable({Row()}), RegistryTable({{"r>1", "2", "Software\\x", "v", "x", "drv", ""}})},
         L"Failed to validate the DriverRegistry row 'r>1'. Its key contains the reserved character '>'."},
        {"upper filter key with <",
         {PackageTable({Row()}), UpperFilterTable({{"f<1", "{6D3A1B2C-4E5F-4A7B-9C8D-1E2F3A4B5C6D}", "flt", "", "", "drv", ""}})},
         L"Failed to validate the DriverUpperFilter row 'f<1'. Its key contains the reserved character '<'."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const auto e = ReadFailure(c.tables);
        EXPECT_EQ(kInvalidData, e.Code());
        EXPECT_EQ(c.message, e.Message());
        EXPECT_EQ(L"", e.Details());
    }
}

TEST_F(PackageTableTest, ValidationRulesInOrder) {
    StartSession({});
    DriverPackage package;
    package.id = L"p";
    package.component = L"C";
    package.infPath = L"x.inf";
    EXPECT_NO_THROW(setup::driver::ValidateDriverPackage(package));

    DriverPackage noId = package;
    noId.id.clear();
    noId.infPath.clear();
    DriverPackage noComponent = package;
    noComponent.component.clear();
    noComponent.condition = L"((";
    for (const DriverPackage& bad : {noId, noComponent}) {
        const auto e = ddtest::CatchSetupException([&] { setup::driver::ValidateDriverPackage(bad); });
        EXPECT_EQ(kInvalidData, e.Code());
        EXPECT_EQ(L"Failed to validate driver package. Component is not specified.", e.Message());
    }
}

}  // namespace
