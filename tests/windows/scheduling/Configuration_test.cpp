// Configuring a package for each phase inside a real in-process installer
// session: the registry entries of the package are all selected first, then
// the kept ones are configured, in table order.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/Configuration.h"
#include "frame/Session.h"
#include "windows/support/InstallerFixture.h"

namespace {

using setup::driver::DriverPackage;

setup::DriverRegistryEntry RegistryRow(const std::wstring& id, const std::wstring& condition) {
    setup::DriverRegistryEntry entry;
    entry.id = id;
    entry.root = 1;
    entry.key = L"Software\\ddtest\\configuration";
    entry.name = id;
    entry.value = L"v";
    entry.driverPackage = L"alpha";
    entry.condition = condition;
    return entry;
}

std::vector<std::wstring> RegistryLines(const ddtest::InstallerSession& session) {
    std::vector<std::wstring> out;
    for (const std::wstring& line : session.InfoLines()) {
        const std::wstring text = ddtest::StripLogPrefix(line);
        if (text.find(L"driver registry") != std::wstring::npos) {
            out.push_back(text);
        }
    }
    return out;
}

TEST(Configuration, RegistryEntriesAreAllSelectedBeforeAnyIsConfigured) {
    using Configure = DriverPackage (*)(const DriverPackage&);
    const struct {
        const char* label;
        Configure configure;
        const wchar_t* need;     // selection line of a kept entry
        const wchar_t* skip;     // selection line of a dropped entry
        const wchar_t* configured;
    } phases[] = {
        {"install", setup::driver::ConfigureInstall, L"Need to install '%s' driver registry.",
         L"Skip installation of driver registry '%s'. Condition is '0'.", L"Configured installation of driver registry "},
        {"early", setup::driver::ConfigureEarlyInstall, L"Need to install '%s' driver registry.",
         L"Skip installation of driver registry '%s'. Condition is '0'.", L"Configured installation of driver registry "},
        {"rollback install", setup::driver::ConfigureRollbackInstall, L"Need to install '%s' driver registry.",
         L"Skip installation of driver registry '%s'. Condition is '0'.",
         L"Configured rollback installation of driver registry "},
        {"rollback early", setup::driver::ConfigureRollbackEarlyInstall, L"Need to install '%s' driver registry.",
         L"Skip installation of driver registry '%s'. Condition is '0'.",
         L"Configured rollback installation of driver registry "},
        {"uninstall", setup::driver::ConfigureUninstall, L"Need to uninstall '%s' driver registry.",
         L"Skip uninstallation of driver registry '%s'. Condition is '0'.",
         L"Configured uninstallation of driver registry "},
        {"rollback uninstall", setup::driver::ConfigureRollbackUninstall, L"Need to uninstall '%s' driver registry.",
         L"Skip uninstallation of driver registry '%s'. Condition is '0'.",
         L"Configured rollback uninstallation of driver registry "},
    };
    const auto line = [](const wchar_t* pattern, const wchar_t* id) {
        std::wstring text = pattern;
        text.replace(text.find(L"%s"), 2, id);
        return text;
    };

    ddtest::TempDir dir;
    std::vector<ddtest::TableText> tables = {
        ddtest::MakeTable("Component", {"Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"},
                          {"s72", "S38", "s72", "i2", "S255", "S72"}, {"Component"},
                          {{"Alpha", "{6B0E4C1A-2D3F-4A5B-9C8D-7E6F5A4B3C2D}", "TARGETDIR", "0", "", ""}})};
    ddtest::InstallerSession session(ddtest::BuildDatabase(dir / L"configuration.msi", tables));
    ASSERT_EQ(0, setup::Initialize(session.handle(), "ConfigurationTest"));

    DriverPackage package;
    package.id = L"alpha";
    package.component = L"Alpha";
    package.infPath = L"C:\\drv\\alpha.inf";
    package.type = 1;
    package.registryEntries = {RegistryRow(L"r1", L""), RegistryRow(L"r2", L"NEVER"), RegistryRow(L"r3", L"")};

    for (const auto& p : phases) {
        SCOPED_TRACE(p.label);
        session.ClearMessages();
        const DriverPackage configured = p.configure(package);
        ASSERT_EQ(2u, configured.registryEntries.size());
        EXPECT_EQ(L"r1", configured.registryEntries[0].id);
        EXPECT_EQ(L"r3", configured.registryEntries[1].id);
        const std::wstring key = L"Software\\ddtest\\configuration, ";
        const std::vector<std::wstring> expected = {
            line(p.need, L"r1"),
            line(p.skip, L"r2"),
            line(p.need, L"r3"),
            p.configured + key + L"r1. Action: " + std::to_wstring(configured.registryEntries[0].action) + L".",
            p.configured + key + L"r3. Action: " + std::to_wstring(configured.registryEntries[1].action) + L".",
        };
        EXPECT_EQ(expected, RegistryLines(session));
    }
    setup::Finalize(0);
}

}  // namespace
