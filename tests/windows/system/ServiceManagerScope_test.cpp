#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>
#include <thread>

#include "frame/Exception.h"
#include "frame/Session.h"
#include "system/Services.h"
#include "windows/support/InstallerFixture.h"

namespace {

constexpr wchar_t kService[] = L"ddScopeTestSvc";

class ServiceManagerScopeTest : public ::testing::Test {
protected:
    void SetUp() override {
        database_ = ddtest::BuildDatabase(dir_ / L"t.msi", {});
        session_.emplace(database_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "ScopeTest"));
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(nullptr, manager_);
        // A driver service that is never started: only its handles matter.
        service_ = CreateServiceW(manager_, kService, kService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                  SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, L"system32\\drivers\\ddscope.sys",
                                  nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, service_) << GetLastError();
    }

    void TearDown() override {
        if (service_ != nullptr) {
            ::DeleteService(service_);
            CloseServiceHandle(service_);
        }
        CloseServiceHandle(manager_);
        setup::Finalize(0);
        session_.reset();
    }

    ddtest::TempDir dir_;
    std::wstring database_;
    std::optional<ddtest::InstallerSession> session_;
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

SC_HANDLE Manager(const setup::ServiceHandle& handle) { return handle.manager->get(); }

TEST_F(ServiceManagerScopeTest, OpensInOneScopeShareOneManagerAndOutsideEachHasItsOwn) {
    const setup::ServiceHandle before = setup::OpenServiceHandle(kService);
    std::optional<setup::ServiceHandle> kept;
    {
        const setup::ServiceManagerScope scope;
        const setup::ServiceHandle first = setup::OpenServiceHandle(kService);
        const setup::ServiceHandle second = setup::OpenServiceHandle(kService);
        EXPECT_EQ(first.manager, second.manager);
        EXPECT_NE(first.service->get(), second.service->get());
        EXPECT_NE(Manager(before), Manager(first));
        kept = second;
    }
    // The scope is gone; the handle opened inside still works.
    SERVICE_STATUS status = {};
    EXPECT_TRUE(QueryServiceStatus(kept->service->get(), &status)) << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    const setup::ServiceHandle after = setup::OpenServiceHandle(kService);
    EXPECT_NE(kept->manager, after.manager);
}

TEST_F(ServiceManagerScopeTest, AnotherThreadDoesNotShareTheScope) {
    const setup::ServiceManagerScope scope;
    const setup::ServiceHandle here = setup::OpenServiceHandle(kService);
    std::optional<setup::ServiceHandle> there;
    std::thread([&there] { there = setup::OpenServiceHandle(kService); }).join();
    ASSERT_TRUE(there.has_value());
    EXPECT_NE(here.manager, there->manager);
}

TEST_F(ServiceManagerScopeTest, AFailedOpenInsideAScopeKeepsItsTextAndTheManagerServesTheNext) {
    const setup::ServiceManagerScope scope;
    const setup::ServiceHandle first = setup::OpenServiceHandle(kService);
    try {
        setup::OpenServiceHandle(L"ddScopeNoSuchSvc");
        FAIL() << "a missing service was opened";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(std::wstring(L"Failed to open service: ddScopeNoSuchSvc"), e.Message());
        EXPECT_EQ(static_cast<int32_t>(0x80070424), e.Code());
    }
    const setup::ServiceHandle next = setup::OpenServiceHandle(kService);
    EXPECT_EQ(first.manager, next.manager);
}

}  // namespace
