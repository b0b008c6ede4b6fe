#pragma once
// The base of every driver package installer: one object per package run,
// built and destroyed on the package's own thread. It owns a copy of the
// package, the package's open INF and a file queue, and offers the steps
// the subclasses compose their Install, Uninstall and Upgrade from:
// publishing and removing the INF in the system's INF store (serialized
// across package threads by one process-wide lock), finding the published
// INFs of this package and of its earlier versions, installing files,
// services and the other directives of an INF section, load-order moves,
// the catalog removal, the result check and the ELAM certificate.
// Failures travel as setup::Exception.

#include <windows.h>
#include <setupapi.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/DriverPackage.h"
#include "driver/install/InfFile.h"
#include "driver/install/InstallerPlatform.h"
#include "frame/Handles.h"

namespace setup::driver {

class DriverPackageInstaller {
public:
    // Opens the package's INF and a file queue; throws with the package id
    // as details when either fails.
    explicit DriverPackageInstaller(const DriverPackage& package);
    virtual ~DriverPackageInstaller();

    DriverPackageInstaller(const DriverPackageInstaller&) = delete;
    DriverPackageInstaller& operator=(const DriverPackageInstaller&) = delete;

    virtual void Install() = 0;
    virtual void Uninstall() = 0;
    virtual void Upgrade() = 0;
    // Called at the end of the install and upgrade sequences; throws when the
    // package's first service is marked for deletion. A failed signature
    // verification is only logged.
    virtual void ValidateInstallation();

    const DriverPackage& Package() const noexcept { return package_; }

    void UninstallCatalog();
    // The package's own published INF first, then those of earlier versions.
    std::vector<std::wstring> FindInstalledOemInfs();
    void PublishInf();
    void UnpublishInf(const std::wstring& oemInfPath);
    void UnpublishInstalledOemInfs();
    // Queues the section's files on the installer's queue and commits it,
    // logging every notification. A source file that is not there ends the
    // commit (0x80070002, the file as details) instead of being asked for
    // again and again. Meant for one call per installer: Wine's queue keeps
    // what it committed and runs it again on the next commit.
    void InstallFilesFromSection(const std::wstring& section);
    void InstallServicesFromSection(const std::wstring& section);
    void InstallFromSection(const std::wstring& section);
    void MoveServiceTag(const std::wstring& service);
    void RemoveServiceTag(const std::wstring& service);
    void InstallElamDriverCertificate(const std::wstring& driverPath);

protected:
    // The same over another platform: tests steer and watch the INF store,
    // the queue commit and the ELAM entry point through it. The platform
    // must outlive the installer.
    DriverPackageInstaller(const DriverPackage& package, InstallerPlatform& platform);

    // The package's INF does not change while one installer runs: every step
    // reads it through inf_, and its install section and first service to
    // add are read once (a failure to read them is not kept: the next step
    // tries, and logs, again).
    const std::wstring& InstallSection();
    std::wstring FirstServiceToAdd();

    DriverPackage package_;
    InfHandle inf_;
    std::shared_ptr<const UniqueFileQueue> fileQueue_;

private:
    InstallerPlatform& platform_;
    std::optional<std::wstring> installSection_;
    std::optional<std::wstring> firstServiceToAdd_;
};

}  // namespace setup::driver
