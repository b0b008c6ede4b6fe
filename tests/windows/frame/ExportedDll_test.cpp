// The real DLL: every export runs its frame with the installer handle.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "windows/frame/FrameTestSupport.h"

namespace {

const char* const kExportNames[] = {
    "ProtectServices", "ProtectServicesDeferred", "ProtectServicesRollback", "UnprotectServices",
    "UnprotectServicesDeferred", "UnprotectServicesRollback", "InstallCryptCatalog", "InstallCryptCatalogDeferred",
    "InstallCryptCatalogRollback", "UninstallCryptCatalog", "UninstallCryptCatalogDeferred", "UninstallCryptCatalogRollback",
    "InstallDrivers", "InstallDriversEarly", "InstallDriversDeferred", "InstallDriversRollback", "InstallDriversCommit",
    "InstallDriversFinalize", "UninstallDrivers", "UninstallDriversDeferred", "UninstallDriversRollback",
};

std::wstring DllPath() {
    const char* unixPath = std::getenv("DD_DLL");
    if (unixPath == nullptr) {
        return L"driverdeploy.dll";
    }
    // Wine maps the Unix root to Z:.
    std::wstring path = L"Z:" + ddtest::Widen(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

TEST(ExportedDll, EveryExportRunsItsFrameAndReportsItsVersion) {
    HMODULE dll = LoadLibraryW(DllPath().c_str());
    ASSERT_NE(nullptr, dll) << "cannot load " << ddtest::Narrow(DllPath()) << " error " << GetLastError();
    ddtest::SessionFixture f({}, {{"LOGVERBOSE", "1"}});
    for (const char* name : kExportNames) {
        SCOPED_TRACE(name);
        using Entry = UINT(WINAPI*)(MSIHANDLE);
        auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
        ASSERT_NE(nullptr, entry);
        f.session.ClearMessages();
        EXPECT_EQ(0u, entry(f.session.handle()));
        const auto lines = f.session.InfoLines();
        const std::wstring wname = ddtest::Widen(name);
        EXPECT_EQ(1u, ddtest::CountLines(f.Lines(), wname + L": finished. Return value 0."));
        bool versionLine = false;
        for (const std::wstring& line : lines) {
            versionLine = versionLine || (line.rfind(wname + L":  Entering " + wname + L" in ", 0) == 0 &&
                                          line.find(L"driverdeploy.dll, version 0.1.0.0") != std::wstring::npos);
        }
        EXPECT_TRUE(versionLine);
    }
    FreeLibrary(dll);
}

}  // namespace
