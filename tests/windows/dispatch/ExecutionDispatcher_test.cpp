// The execution dispatcher inside a real in-process installer session:
// which packages run when, on which threads, what reaches the installer as
// progress and failures. Scripted installers stand in for the real ones
// through the dispatcher's factory seam; they are built on the real base,
// so each package still opens its INF and a file queue.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/CustomActionData.h"
#include "driver/install/DeviceDriverInstaller.h"
#include "driver/install/ExecutionDispatcher.h"
#include "driver/install/FilterDriverInstaller.h"
#include "driver/install/NetworkDriverInstaller.h"
#include "frame/ActionBodies.h"
#include "frame/EntryPoint.h"
#include "frame/Exception.h"
#include "frame/Session.h"
#include "windows/dispatch/FailingAllocations.h"
#include "windows/support/CatchException.h"
#include "windows/support/InstallerFixture.h"

namespace {

using setup::driver::DriverPackage;
using setup::driver::DriverPackageList;
namespace attribute = setup::driver::attribute;
namespace operation = setup::driver::operation;

constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005);

// What the scripted installers did, in the order they did it, from every
// package thread.
class Journal {
public:
    void Add(const std::wstring& event) {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back(event);
    }
    std::vector<std::wstring> Events() const {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::wstring> events_;
};

// Holds every arriving thread until `expected` threads arrived, or gives up
// after a few seconds so that a dispatcher that runs the group one by one
// fails the test instead of hanging it.
class Barrier {
public:
    explicit Barrier(size_t expected) : expected_(expected) {}
    bool ArriveAndWait() {
        std::unique_lock<std::mutex> hold(lock_);
        ++arrived_;
        wake_.notify_all();
        return wake_.wait_for(hold, std::chrono::seconds(5), [this] { return arrived_ >= expected_; });
    }

private:
    std::mutex lock_;
    std::condition_variable wake_;
    size_t expected_;
    size_t arrived_ = 0;
};

struct Behaviour {
    Barrier* barrier = nullptr;
    bool failSetup = false;   // throws setup::Exception 0x80070005
    bool failForeign = false; // throws std::runtime_error
    bool failOutOfMemory = false;  // throws setup::Exception, then the thread runs out of memory
};

class ScriptedInstaller : public setup::driver::DriverPackageInstaller {
public:
    ScriptedInstaller(const DriverPackage& package, Journal& journal, Behaviour behaviour)
        : DriverPackageInstaller(package), journal_(journal), behaviour_(behaviour) {}

    void Install() override { Run(L"install"); }
    void Uninstall() override { Run(L"uninstall"); }
    void Upgrade() override { Run(L"upgrade"); }

private:
    void Run(const std::wstring& what) {
        journal_.Add(what + L" " + package_.id);
        if (behaviour_.barrier != nullptr && !behaviour_.barrier->ArriveAndWait()) {
            journal_.Add(L"barrier timed out " + package_.id);
        }
        if (behaviour_.failSetup) {
            throw setup::Exception(kAccessDenied, L"Scripted failure.", L"inner details");
        }
        if (behaviour_.failOutOfMemory) {
            // Armed while unwinding, once the exception exists: every
            // allocation of the failure handler then fails.
            struct Starve {
                ~Starve() { ddtest::FailAllocationsOnThisThread(); }
            } starve;
            throw setup::Exception(kAccessDenied, L"Scripted failure.", L"inner details");
        }
        if (behaviour_.failForeign) {
            throw std::runtime_error("foreign");
        }
        journal_.Add(L"done " + package_.id);
    }

    Journal& journal_;
    Behaviour behaviour_;
};

class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override {
        ddtest::WriteTextFile(inf_, "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=System\r\n"
                                    "ClassGUID={4d36e97d-e325-11ce-bfc1-08002be10318}\r\n");
        ASSERT_EQ(0, setup::Initialize(session_.handle(), "DispatchTest"));
        setup::driver::SetInstallerFactoryForTesting([this](const DriverPackage& package) {
            return std::make_shared<ScriptedInstaller>(package, journal_, behaviours_[package.id]);
        });
    }
    void TearDown() override {
        setup::driver::SetInstallerFactoryForTesting(nullptr);
        setup::Finalize(0);
    }

    DriverPackage Package(const std::wstring& id, uint32_t sequence, uint32_t cost = 1000) {
        DriverPackage package;
        package.id = id;
        package.infPath = inf_;
        package.type = setup::driver::package_type::Filter;
        package.operation = operation::Install;
        package.sequence = sequence;
        package.cost = cost;
        return package;
    }

    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> out;
        for (const std::wstring& line : session_.InfoLines()) {
            out.push_back(ddtest::StripLogPrefix(line));
        }
        return out;
    }
    bool Logged(const std::wstring& line) const {
        for (const std::wstring& l : Lines()) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
    // Ticks of the explicit progress messages, in order.
    std::vector<int> ProgressTicks() const {
        std::vector<int> ticks;
        for (const ddtest::Message& m : session_.MessagesOfKind(INSTALLMESSAGE_PROGRESS)) {
            if (m.integers[1] == 2) {
                ticks.push_back(m.integers[2]);
            }
        }
        return ticks;
    }

    ddtest::TempDir dir_;
    std::wstring inf_ = dir_ / L"scripted.inf";
    Journal journal_;
    std::map<std::wstring, Behaviour> behaviours_;
    ddtest::InstallerSession session_{ddtest::BuildDatabase(dir_ / L"dispatch.msi", ddtest::BaseTables())};
};

TEST_F(Dispatcher, SequencedOneAfterAnotherThenTheParallelGroupWithProgressPerPackage) {
    DriverPackageList packages = {Package(L"s1", 1, 101), Package(L"s2", 2, 102), Package(L"p1", 65535, 201),
                                  Package(L"p2", 65535, 202)};
    packages[1].operation = operation::Uninstall;
    packages[2].operation = operation::Reinstall;
    packages[3].operation = operation::None;

    setup::driver::ExecuteDriverPackages(packages, false);

    const std::vector<std::wstring> events = journal_.Events();
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ((std::vector<std::wstring>{L"install s1", L"done s1", L"uninstall s2", L"done s2", L"upgrade p1"}),
              std::vector<std::wstring>(events.begin(), events.begin() + 5));
    // p2 has no operation: it never reaches its installer, yet reports progress.
    EXPECT_EQ(6u, events.size());
    EXPECT_TRUE(Logged(L"The operation of driver was not specified. Do nothing."));
    const std::vector<int> ticks = ProgressTicks();
    ASSERT_EQ(4u, ticks.size());
    EXPECT_EQ(101, ticks[0]);
    EXPECT_EQ(102, ticks[1]);
    // The parallel group reports in whatever order its threads finish.
    EXPECT_EQ(403, ticks[2] + ticks[3]);
}

TEST_F(Dispatcher, EveryUnsequencedPackageIsStartedBeforeAnyIsJoined) {
    Barrier all(3);
    const DriverPackageList packages = {Package(L"a", 65535), Package(L"b", 65535), Package(L"c", 65535)};
    for (const DriverPackage& p : packages) {
        behaviours_[p.id].barrier = &all;
    }
    setup::driver::ExecuteDriverPackages(packages, false);
    for (const std::wstring& event : journal_.Events()) {
        EXPECT_EQ(std::wstring::npos, event.find(L"timed out")) << ddtest::Narrow(event);
    }
    EXPECT_EQ(6u, journal_.Events().size());

    // The reverse run starts the same group together as well.
    Barrier again(3);
    for (const DriverPackage& p : packages) {
        behaviours_[p.id].barrier = &again;
    }
    setup::driver::ExecuteDriverPackagesReverse(packages);
    for (const std::wstring& event : journal_.Events()) {
        EXPECT_EQ(std::wstring::npos, event.find(L"timed out")) << ddtest::Narrow(event);
    }
}

TEST_F(Dispatcher, AFailingSequencedPackageEndsTheRunAndKeepsTheParallelGroupFromRunning) {
    const DriverPackageList packages = {Package(L"first", 1), Package(L"broken", 2), Package(L"third", 3),
                                        Package(L"parallel", 65535)};
    behaviours_[L"broken"].failSetup = true;

    const setup::Exception e =
        ddtest::CatchSetupException([&] { setup::driver::ExecuteDriverPackages(packages, false); });
    EXPECT_EQ(kAccessDenied, e.Code());
    EXPECT_EQ(L"Scripted failure.", e.Message());
    EXPECT_EQ(L"broken", e.Details());
    EXPECT_EQ((std::vector<std::wstring>{L"install first", L"done first", L"install broken"}), journal_.Events());
    EXPECT_TRUE(Logged(L"Failed to execute driver package 'broken'. Scripted failure. Error 0x80070005."));
    // No progress for the package that threw.
    EXPECT_EQ(1u, ProgressTicks().size());
}

TEST_F(Dispatcher, WithErrorsIgnoredEveryPackageRunsAndNothingIsRethrown) {
    const DriverPackageList packages = {Package(L"broken", 1), Package(L"second", 2), Package(L"odd", 65535),
                                        Package(L"last", 65535)};
    behaviours_[L"broken"].failSetup = true;
    behaviours_[L"odd"].failForeign = true;
    setup::driver::ExecuteDriverPackages(packages, true);
    const std::vector<std::wstring> events = journal_.Events();
    EXPECT_EQ(6u, events.size());
    EXPECT_TRUE(Logged(L"Failed to execute driver package 'odd'."));
}

TEST_F(Dispatcher, TheFirstFailedParallelPackageInListOrderIsRethrownAfterAllFinished) {
    Barrier all(3);
    const DriverPackageList packages = {Package(L"ok", 65535), Package(L"foreign", 65535), Package(L"denied", 65535)};
    for (const DriverPackage& p : packages) {
        behaviours_[p.id].barrier = &all;
    }
    behaviours_[L"foreign"].failForeign = true;
    behaviours_[L"denied"].failSetup = true;
    // A foreign exception travels unchanged to the action's frame.
    EXPECT_THROW(setup::driver::ExecuteDriverPackages(packages, false), std::runtime_error);
    EXPECT_TRUE(Logged(L"Failed to execute driver package 'foreign'."));
    EXPECT_TRUE(Logged(L"Failed to execute driver package 'denied'. Scripted failure. Error 0x80070005."));
    const std::vector<std::wstring> events = journal_.Events();
    EXPECT_NE(events.end(), std::find(events.begin(), events.end(), L"done ok"));
}

// The handler of a package thread's failure logs and copies strings: when
// that fails too, the failure still reaches the action as it came, instead
// of a second exception ending the host process.
TEST_F(Dispatcher, AFailureHandlerOutOfMemoryKeepsTheFailureAndTheProcess) {
    for (const uint32_t sequence : {1u, 65535u}) {
        SCOPED_TRACE(sequence);
        behaviours_[L"starved"].failOutOfMemory = true;
        const auto e = ddtest::CatchSetupException(
            [&] { setup::driver::ExecuteDriverPackages({Package(L"starved", sequence)}, false); });
        EXPECT_EQ(kAccessDenied, e.Code());
        EXPECT_EQ(L"Scripted failure.", e.Message());
    }
}

TEST_F(Dispatcher, ACancelAtTheSecondPackagesProgressStopsTheRunAfterItsWork) {
    const DriverPackageList packages = {Package(L"one", 1, 111), Package(L"two", 2, 222), Package(L"three", 3, 333),
                                        Package(L"later", 65535, 444)};
    session_.SetResponder([](const ddtest::Message& m) {
        return (m.kind == INSTALLMESSAGE_PROGRESS && m.integers[1] == 2 && m.integers[2] == 222) ? IDCANCEL : 0;
    });
    const setup::Exception e =
        ddtest::CatchSetupException([&] { setup::driver::ExecuteDriverPackages(packages, false); });
    EXPECT_EQ(static_cast<int32_t>(0x80070642), e.Code());
    EXPECT_EQ(L"User canceled installation.", e.Message());
    EXPECT_EQ(L"two", e.Details());
    EXPECT_EQ((std::vector<std::wstring>{L"install one", L"done one", L"install two", L"done two"}), journal_.Events());
    EXPECT_TRUE(Logged(L"Failed to execute driver package 'two'. User canceled installation. Error 0x80070642."));
}

TEST_F(Dispatcher, TheReverseRunTakesTheParallelGroupFirstAndNeverRethrows) {
    const DriverPackageList packages = {Package(L"s1", 1), Package(L"s2", 2), Package(L"p", 65535)};
    behaviours_[L"s1"].failSetup = true;
    setup::driver::ExecuteDriverPackagesReverse(packages);
    EXPECT_EQ((std::vector<std::wstring>{L"install p", L"done p", L"install s1", L"install s2", L"done s2"}),
              journal_.Events());
}

// A reverse run stays best effort: its closing lines name every package it
// could not finish, and only where it is asked to (the uninstall's deferred
// action) each also reaches the installer as a warning, never as an error.
TEST_F(Dispatcher, AReverseRunNamesThePackagesLeftBehindAndWarnsOnlyWhenAsked) {
    DriverPackageList packages = {Package(L"s1", 1), Package(L"ok", 2), Package(L"r", 3), Package(L"p", 65535)};
    for (DriverPackage& package : packages) {
        package.operation = operation::Uninstall;
    }
    packages[2].operation = operation::Install;  // a rollback's restore
    for (const wchar_t* id : {L"s1", L"r", L"p"}) {
        behaviours_[id].failSetup = true;
    }
    for (const uint32_t warning : {27301u, 0u}) {
        SCOPED_TRACE(warning);
        session_.ClearMessages();
        setup::driver::ExecuteDriverPackagesReverse(packages, warning);
        std::vector<std::wstring> closing = Lines();
        closing.erase(closing.begin(), std::find(closing.begin(), closing.end(),
                                                 L"The driver package 'p' was not removed completely. Error 0x80070005."));
        EXPECT_EQ((std::vector<std::wstring>{
                      L"The driver package 'p' was not removed completely. Error 0x80070005.",
                      L"The driver package 's1' was not removed completely. Error 0x80070005.",
                      L"The driver package 'r' was not restored completely. Error 0x80070005.",
                      L"Driver packages left behind: 'p', 's1', 'r'.",
                  }),
                  closing);
        std::vector<std::wstring> warned;
        for (const ddtest::Message& m : session_.MessagesOfKind(INSTALLMESSAGE_WARNING)) {
            ASSERT_EQ(3, m.fieldCount);
            EXPECT_EQ(27301, m.integers[1]);
            EXPECT_EQ(kAccessDenied, m.integers[2]);
            warned.push_back(m.strings[3]);
        }
        const std::vector<std::wstring> expected = warning == 0 ? std::vector<std::wstring>{} : std::vector<std::wstring>{L"p", L"s1", L"r"};
        EXPECT_EQ(expected, warned);
        EXPECT_TRUE(session_.MessagesOfKind(INSTALLMESSAGE_ERROR).empty());
    }
}

TEST_F(Dispatcher, AnEmptyListDoesNothing) {
    setup::driver::ExecuteDriverPackages({}, false);
    setup::driver::ExecuteDriverPackagesReverse({});
    EXPECT_TRUE(journal_.Events().empty());
    EXPECT_TRUE(ProgressTicks().empty());
    EXPECT_TRUE(Lines().empty());
}

// No recovery tool exists in the prefix, so the recovery step fails; that
// failure leaves the run whatever the ignore-errors flag, after every package.
TEST_F(Dispatcher, RecoveryImageFailureLeavesEveryKindOfRun) {
    DriverPackageList packages = {Package(L"plain", 1), Package(L"winre", 65535)};
    packages[1].attributes = attribute::WinRe;
    const auto runs = std::vector<std::function<void()>>{
        [&] { setup::driver::ExecuteDriverPackages(packages, false); },
        [&] { setup::driver::ExecuteDriverPackages(packages, true); },
        [&] { setup::driver::ExecuteDriverPackagesReverse(packages); },
    };
    for (const auto& run : runs) {
        session_.ClearMessages();
        const setup::Exception e = ddtest::CatchSetupException(run);
        EXPECT_EQ(27303, e.Code());
        const std::vector<std::wstring> lines = Lines();
        const auto need = std::find(lines.begin(), lines.end(),
                                    L"Need to add/remove driver package 'winre' to Windows Recovery Environment.");
        ASSERT_NE(lines.end(), need);
        // Both packages ran before the recovery step began.
        EXPECT_EQ(2u, ProgressTicks().size());
    }
}

TEST_F(Dispatcher, InstallersAreChosenByTypeAndUnspecifiedTypesByTheInfClass) {
    setup::driver::SetInstallerFactoryForTesting(nullptr);
    const std::wstring netInf = dir_ / L"net.inf";
    ddtest::WriteTextFile(netInf, "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
                                  "ClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\r\n");
    struct Case {
        uint32_t type;
        std::wstring inf;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {1, inf_, "filter"}, {2, netInf, "network"}, {3, inf_, "device"}, {0, netInf, "network"}, {7, inf_, "filter"},
    };
    for (const Case& c : cases) {
        session_.ClearMessages();
        DriverPackage package = Package(L"chosen", 1);
        package.type = c.type;
        package.infPath = c.inf;
        const auto installer = setup::driver::CreateDriverPackageInstaller(package);
        const char* kind = dynamic_cast<setup::driver::NetworkDriverInstaller*>(installer.get()) ? "network"
                           : dynamic_cast<setup::driver::DeviceDriverInstaller*>(installer.get()) ? "device"
                           : dynamic_cast<setup::driver::FilterDriverInstaller*>(installer.get()) ? "filter"
                                                                                                 : "other";
        EXPECT_STREQ(c.expected, kind) << "type " << c.type;
        EXPECT_EQ(c.type == 0 || c.type == 7, Logged(L"The type was not specified for driver 'chosen'."));
    }
}

TEST_F(Dispatcher, OnlyEarlyConfiguredPackagesLoseTheirDirectory) {
    const std::wstring early = dir_ / L"early";
    const std::wstring kept = dir_ / L"kept";
    for (const std::wstring& d : {early, kept}) {
        ASSERT_TRUE(CreateDirectoryW(d.c_str(), nullptr));
        ddtest::WriteTextFile(d + L"\\drv.inf", "x");
    }
    ASSERT_TRUE(CreateDirectoryW((early + L"\\sub").c_str(), nullptr));
    ddtest::WriteTextFile(early + L"\\sub\\drv.sys", "x");

    DriverPackage a = Package(L"a", 1);
    a.infPath = early + L"\\drv.inf";
    a.attributes = attribute::EarlyConfigured;
    DriverPackage b = Package(L"b", 2);
    b.infPath = kept + L"\\drv.inf";
    setup::driver::RemoveDriverPackageDirectories({a, b});

    EXPECT_FALSE(ddtest::FileExists(early));
    EXPECT_TRUE(ddtest::FileExists(kept + L"\\drv.inf"));
    EXPECT_TRUE(Logged(L"The directory '" + early + L"' was removed."));
    EXPECT_FALSE(Logged(L"The directory '" + kept + L"' was removed."));
}

// Finalize against a real service of Wine's service manager.
class Finalize : public Dispatcher {
protected:
    void SetUp() override {
        Dispatcher::SetUp();
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(nullptr, manager_);
        SC_HANDLE service = CreateServiceW(manager_, kService, kService, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\windows\\ddfin.exe",
                                           nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, service);
        CloseServiceHandle(service);
        ddtest::WriteTextFile(serviceInf_, "[Version]\r\nSignature=\"$Windows NT$\"\r\n"
                                           "[DefaultInstall.Services]\r\nAddService=ddfinal,,svc\r\n"
                                           "[svc]\r\nServiceType=16\r\nStartType=3\r\nErrorControl=1\r\n"
                                           "ServiceBinary=C:\\windows\\ddfin.exe\r\n");
    }
    void TearDown() override {
        if (SC_HANDLE service = OpenServiceW(manager_, kService, DELETE)) {
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager_);
        Dispatcher::TearDown();
    }
    DWORD StartType() const {
        HKEY key = nullptr;
        DWORD start = 0;
        DWORD size = sizeof(start);
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\ddfinal", 0, KEY_READ, &key);
        RegQueryValueExW(key, L"Start", nullptr, nullptr, reinterpret_cast<BYTE*>(&start), &size);
        RegCloseKey(key);
        return start;
    }
    // Through the key, as the start type was changed: Wine's service manager
    // does not see what was written behind its back and would skip a change
    // back to the value it still holds.
    bool ChangeStartType(DWORD start) const {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\ddfinal", L"Start",
                               REG_DWORD, &start, sizeof(start)) == ERROR_SUCCESS;
    }
    DriverPackage FinalPackage(uint32_t attributes, uint32_t op) {
        DriverPackage package = Package(L"fin", 1);
        package.infPath = serviceInf_;
        package.attributes = attributes;
        package.operation = op;
        return package;
    }

    static constexpr const wchar_t* kService = L"ddfinal";
    std::wstring serviceInf_ = dir_ / L"final.inf";
    SC_HANDLE manager_ = nullptr;
};

TEST_F(Finalize, SetsSystemStartForStartTypeOnFinalizeAndTheActionStopsAtTheFirstFailure) {
    struct Case {
        uint32_t attributes;
        uint32_t op;
        DWORD expected;
    };
    const std::vector<Case> cases = {
        {0, operation::Install, 3},
        {attribute::StartTypeOnFinalize, operation::None, 3},
        {attribute::StartTypeOnFinalize, operation::Uninstall, 1},
    };
    for (const Case& c : cases) {
        std::exception_ptr failure;
        setup::driver::FinalizeDriverPackage(FinalPackage(c.attributes, c.op), failure);
        EXPECT_FALSE(failure);
        EXPECT_EQ(c.expected, StartType()) << "attributes " << c.attributes << " operation " << c.op;
    }
    ASSERT_TRUE(ChangeStartType(SERVICE_DEMAND_START));

    // The finalize action stops at the first failing package.
    DriverPackage missing = FinalPackage(attribute::StartTypeOnFinalize, operation::Install);
    missing.id = L"missing";
    missing.infPath = dir_ / L"nothere.inf";
    DriverPackage good = FinalPackage(attribute::StartTypeOnFinalize, operation::Install);
    good.sequence = 2;  // the decoded list runs in sequence order
    session_.SetProperty(L"CustomActionData", setup::driver::EncodeDriverPackages({missing, good}));
    setup::Finalize(0);

    EXPECT_EQ(1603u, setup::RunEntryPoint(session_.handle(), *setup::FindEntryPoint("InstallDriversFinalize"),
                                          setup::bodies::InstallDriversFinalize));
    EXPECT_EQ(3u, StartType());
    bool failureLine = false;
    for (const std::wstring& line : Lines()) {
        failureLine = failureLine || line.rfind(L"Failed to finalize driver package 'missing'. Failed to open inf file: ", 0) == 0;
    }
    EXPECT_TRUE(failureLine);

    session_.SetProperty(L"CustomActionData", setup::driver::EncodeDriverPackages({good}));
    EXPECT_EQ(0u, setup::RunEntryPoint(session_.handle(), *setup::FindEntryPoint("InstallDriversFinalize"),
                                       setup::bodies::InstallDriversFinalize));
    EXPECT_EQ(1u, StartType());
    ASSERT_EQ(0, setup::Initialize(session_.handle(), "DispatchTest"));
}

}  // namespace
