#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/Session.h"
#include "system/Services.h"
#include "windows/support/ImportPatch.h"
#include "windows/support/InstallerFixture.h"

namespace {

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\services\\";

std::wstring ProgramNextToTests(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

std::optional<DWORD> ReadDword(const std::wstring& service, const wchar_t* value) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, (kServicesKey + service).c_str(), value, RRF_RT_REG_DWORD, nullptr, &data,
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return data;
}

// A bare service key, as a half-removed service can leave behind.
void WriteServiceKey(const std::wstring& service, std::optional<DWORD> start, std::optional<DWORD> deleteFlag) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kServicesKey + service).c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (start) {
        RegSetValueExW(key, L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*start), sizeof(DWORD));
    }
    if (deleteFlag) {
        RegSetValueExW(key, L"DeleteFlag", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*deleteFlag), sizeof(DWORD));
    }
    RegCloseKey(key);
}

// ControlService as Windows answers a stop while dependent services run.
BOOL WINAPI ControlServiceWithDependentsDouble(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
    SetLastError(ERROR_DEPENDENT_SERVICES_RUNNING);
    return FALSE;
}

class ServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        database_ = ddtest::BuildDatabase(dir_ / L"t.msi", {});
        session_.emplace(database_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "SvcTest"));
        session_->ClearMessages();
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(nullptr, manager_);
    }

    void TearDown() override {
        for (SC_HANDLE service : created_) {
            SERVICE_STATUS status = {};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            ::DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager_);
        setup::Finalize(0);
        session_.reset();
    }

    // A real user-mode service running the test service program.
    void CreateTestService(const std::wstring& name, const std::wstring& program = ProgramNextToTests(L"dd_test_service.exe")) {
        SC_HANDLE service = CreateServiceW(manager_, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           program.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, service) << GetLastError();
        created_.push_back(service);
    }

    DWORD QueryState(const std::wstring& name) {
        SC_HANDLE service = OpenServiceW(manager_, name.c_str(), SERVICE_QUERY_STATUS);
        SERVICE_STATUS status = {};
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
        return status.dwCurrentState;
    }

    bool WaitForState(const std::wstring& name, DWORD state) {
        for (int i = 0; i < 200; ++i) {
            if (QueryState(name) == state) {
                return true;
            }
            Sleep(25);
        }
        return false;
    }

    // The library's lines, without the action/process/time prefix.
    std::vector<std::wstring> LogLines() const {
        std::vector<std::wstring> lines;
        for (const std::wstring& line : session_->InfoLines()) {
            lines.push_back(ddtest::StripLogPrefix(line));
        }
        return lines;
    }

    ddtest::TempDir dir_;
    std::wstring database_;
    std::optional<ddtest::InstallerSession> session_;
    SC_HANDLE manager_ = nullptr;
    std::vector<SC_HANDLE> created_;
};

using Lines = std::vector<std::wstring>;

TEST_F(ServicesTest, ExistenceIsAStartValueInTheServiceKey) {
    WriteServiceKey(L"ddExists", 3, std::nullopt);
    WriteServiceKey(L"ddNoStart", std::nullopt, 1);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kServicesKey) + L"ddLongStart").c_str(),
                                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const unsigned char eight[8] = {1};
    RegSetValueExW(key, L"Start", 0, REG_BINARY, eight, sizeof(eight));
    RegCloseKey(key);

    // A key name beyond the registry's 255 characters fails the open with 87.
    const std::wstring tooLong(300, L'n');
    struct Case {
        std::wstring name;
        bool exists;
        Lines lines;
    } const cases[] = {
        {L"ddExists", true, {L"The service ddExists exist."}},
        {L"ddNoStart", false, {}},
        {L"ddLongStart", false, {}},
        {L"ddNoSuchService", false, {}},
        {L"", false, {L"DoesServiceExist: The service name is empty."}},
        {tooLong, false, {L"Failed to open service key " + tooLong + L". Error 0x80070057."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        session_->ClearMessages();
        EXPECT_EQ(c.exists, setup::DoesServiceExist(c.name));
        EXPECT_EQ(c.lines, LogLines());
    }
}

TEST_F(ServicesTest, DeletionFlagOperations) {
    enum class Op { IsMarked, Add, Remove };
    struct Case {
        const wchar_t* name;
        std::optional<DWORD> start;
        std::optional<DWORD> flagBefore;
        Op op;
        bool marked;  // result of IsMarked
        std::optional<DWORD> flagAfter;
        Lines lines;
    } const cases[] = {
        {L"ddMarked", 3, 1, Op::IsMarked, true, 1, {L"The service ddMarked exist.", L"The service ddMarked is marked for deletion."}},
        {L"ddFlagTwo", 3, 2, Op::IsMarked, false, 2, {L"The service ddFlagTwo exist.", L"The service ddFlagTwo is not marked for deletion."}},
        {L"ddNoFlag", 3, std::nullopt, Op::IsMarked, false, std::nullopt, {L"The service ddNoFlag exist.", L"The service ddNoFlag is not marked for deletion."}},
        {L"ddNoStartMarked", std::nullopt, 1, Op::IsMarked, false, 1, {}},
        {L"ddAddNew", 3, std::nullopt, Op::Add, false, 1, {L"The service ddAddNew exist.", L"Added DeleteFlag to 'ddAddNew' service."}},
        {L"ddAddOverTwo", 3, 2, Op::Add, false, 1, {L"The service ddAddOverTwo exist.", L"Added DeleteFlag to 'ddAddOverTwo' service."}},
        {L"ddAddNoStart", std::nullopt, std::nullopt, Op::Add, false, std::nullopt, {}},
        {L"ddRemove", 3, 1, Op::Remove, false, std::nullopt,
         {L"The service ddRemove exist.", L"The service ddRemove is marked for deletion.", L"The DeleteFlag was removed for 'ddRemove' service."}},
        {L"ddRemoveTwo", 3, 2, Op::Remove, false, 2, {L"The service ddRemoveTwo exist.", L"The service ddRemoveTwo is not marked for deletion."}},
        {L"ddRemoveNoStart", std::nullopt, 1, Op::Remove, false, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteServiceKey(c.name, c.start, c.flagBefore);
        session_->ClearMessages();
        switch (c.op) {
            case Op::IsMarked: EXPECT_EQ(c.marked, setup::IsServiceMarkedForDeletion(c.name)); break;
            case Op::Add: setup::AddServiceDeleteFlag(c.name); break;
            case Op::Remove: setup::RemoveServiceDeleteFlag(c.name); break;
        }
        EXPECT_EQ(c.flagAfter, ReadDword(c.name, L"DeleteFlag"));
        EXPECT_EQ(c.lines, LogLines());
    }
}

TEST_F(ServicesTest, OpenServiceHandleRefusesEmptyAndMissingNames) {
    try {
        setup::OpenServiceHandle(L"");
        ADD_FAILURE() << "no exception for an empty name";
    } catch (const setup::ArgumentException& e) {
        EXPECT_EQ(L"The service name is empty.", e.Message());
    }
    try {
        setup::OpenServiceHandle(L"ddNoSuchService");
        ADD_FAILURE() << "no exception for a missing service";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(static_cast<int32_t>(0x80070424), e.Code());  // ERROR_SERVICE_DOES_NOT_EXIST
        EXPECT_EQ(L"Failed to open service: ddNoSuchService", e.Message());
        EXPECT_EQ(L"", e.Details());
    }
}

TEST_F(ServicesTest, StartAndStopARealService) {
    CreateTestService(L"ddRunner");
    setup::ServiceHandle handle = setup::OpenServiceHandle(L"ddRunner");
    {
        // Copies share the handles: the calls below fail if this copy's end
        // closed them.
        const setup::ServiceHandle copy = handle;
    }

    setup::StartService(handle);
    ASSERT_TRUE(WaitForState(L"ddRunner", SERVICE_RUNNING));
    setup::StartService(handle);
    EXPECT_EQ((Lines{L"StartService: 'ddRunner'", L"StartService: 'ddRunner'", L"The service 'ddRunner' is already running."}),
              LogLines());

    // The stop returns once the service is stopped; stopping it again finds
    // nothing running, which is no failure.
    session_->ClearMessages();
    setup::StopService(handle);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryState(L"ddRunner"));
    setup::StopService(handle);
    EXPECT_EQ((Lines{L"StopService: 'ddRunner'.", L"The service 'ddRunner' stopped.", L"StopService: 'ddRunner'.",
                     L"The service 'ddRunner' is not running."}),
              LogLines());
}

// A service that is hard to stop never fails the stop: the caller waits as
// long as the bound allows, or gets a warning line and goes on.
TEST_F(ServicesTest, StopWaitsWithinItsBoundAndWarnsWhereTheServiceCannotStop) {
    const std::wstring program = L"\"" + ProgramNextToTests(L"dd_test_service.exe") + L"\"";
    CreateTestService(L"ddSlowStop", program + L" slow-stop 1500");
    CreateTestService(L"ddHungStop", program + L" slow-stop 4000");
    CreateTestService(L"ddPending", program + L" slow-stop 1500");
    CreateTestService(L"ddRefuses", program + L" refuse-stop 4000");
    CreateTestService(L"ddParent", program);
    struct Case {
        std::wstring name;
        std::chrono::milliseconds wait;
        bool stopFirst;  // a stop request of someone else is already pending
        bool dependentsRunning;
        DWORD stateAfter;
        std::wstring lastLine;
    } const cases[] = {
        {L"ddSlowStop", std::chrono::milliseconds(20000), false, false, SERVICE_STOPPED, L"The service 'ddSlowStop' stopped."},
        {L"ddHungStop", std::chrono::milliseconds(300), false, false, SERVICE_STOP_PENDING,
         L"Warning: The service 'ddHungStop' did not stop within 300 ms. Its files are replaced at the next restart."},
        // 1061: the pending stop is waited for like one of its own.
        {L"ddPending", std::chrono::milliseconds(20000), true, false, SERVICE_STOPPED, L"The service 'ddPending' stopped."},
        // 1052
        {L"ddRefuses", std::chrono::milliseconds(20000), false, false, SERVICE_RUNNING,
         L"Warning: Failed to set state '1' of service ddRefuses Error 0x8007041c."},
        // 1051: Wine stops a service whose dependents run, so a double answers as Windows does.
        {L"ddParent", std::chrono::milliseconds(20000), false, true, SERVICE_RUNNING,
         L"Warning: Failed to set state '1' of service ddParent Error 0x8007041b."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const setup::ServiceHandle handle = setup::OpenServiceHandle(c.name);
        setup::StartService(handle);
        ASSERT_TRUE(WaitForState(c.name, SERVICE_RUNNING));
        if (c.stopFirst) {
            SERVICE_STATUS status = {};
            ASSERT_TRUE(ControlService(handle.service->get(), SERVICE_CONTROL_STOP, &status));
        }
        session_->ClearMessages();
        std::optional<ddtest::ImportPatch> patch;
        if (c.dependentsRunning) {
            patch.emplace("advapi32.dll", "ControlService", reinterpret_cast<void*>(&ControlServiceWithDependentsDouble));
        }
        const auto started = std::chrono::steady_clock::now();
        setup::StopService(handle, c.wait);
        patch.reset();
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(c.stateAfter, QueryState(c.name));
        EXPECT_EQ((Lines{L"StopService: '" + c.name + L"'.", c.lastLine}), LogLines());
        EXPECT_LT(took, c.wait + std::chrono::seconds(2));
    }
}

TEST_F(ServicesTest, StartFailureOtherThanAlreadyRunningThrows) {
    CreateTestService(L"ddBroken", L"C:\\no\\such\\program.exe");
    const setup::ServiceHandle handle = setup::OpenServiceHandle(L"ddBroken");
    try {
        setup::StartService(handle);
        ADD_FAILURE() << "starting a service without a program succeeded";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(static_cast<int32_t>(0x80070002), e.Code());  // the program is missing
        EXPECT_EQ(L"Failed to start service: ddBroken", e.Message());
    }
}

TEST_F(ServicesTest, DeletingTwiceSucceeds) {
    CreateTestService(L"ddDeleted");
    const setup::ServiceHandle handle = setup::OpenServiceHandle(L"ddDeleted");
    setup::DeleteService(handle);
    setup::DeleteService(handle);
    EXPECT_EQ((Lines{L"DeleteService: 'ddDeleted'.", L"DeleteService: 'ddDeleted'.",
                     L"The specified service has already been marked for deletion."}),
              LogLines());
}

TEST_F(ServicesTest, DeleteWithoutTheRightThrows) {
    CreateTestService(L"ddKeep");
    setup::ServiceHandle handle = setup::OpenServiceHandle(L"ddKeep");
    handle.service = std::make_shared<setup::UniqueServiceHandle>(OpenServiceW(manager_, L"ddKeep", SERVICE_QUERY_STATUS));
    try {
        setup::DeleteService(handle);
        ADD_FAILURE() << "deleting without DELETE access succeeded";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(static_cast<int32_t>(0x80070005), e.Code());
        EXPECT_EQ(L"Failed to delete service: ddKeep", e.Message());
    }
}

TEST_F(ServicesTest, ValidationRefusesAMarkedService) {
    CreateTestService(L"ddValidate");
    const setup::ServiceHandle handle = setup::OpenServiceHandle(L"ddValidate");
    setup::ValidateServiceNotMarkedForDeletion(handle);

    WriteServiceKey(L"ddValidate", std::nullopt, 1);
    try {
        setup::ValidateServiceNotMarkedForDeletion(handle);
        ADD_FAILURE() << "a marked service passed validation";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(static_cast<int32_t>(0x80004005), e.Code());
        EXPECT_EQ(L"Validation failed: The service marked for deletion: ddValidate", e.Message());
    }
}

TEST_F(ServicesTest, StartTypeThroughTheControlManager) {
    CreateTestService(L"ddStartType");
    setup::SetServiceStartType(setup::OpenServiceHandle(L"ddStartType"), SERVICE_DISABLED);
    EXPECT_EQ(std::optional<DWORD>(SERVICE_DISABLED), ReadDword(L"ddStartType", L"Start"));
    EXPECT_EQ(Lines{L"The StartType of service 'ddStartType' changed to '4'."}, LogLines());
}

TEST_F(ServicesTest, StartTypeFallsBackToTheRegistryWhenTheControlManagerRefuses) {
    CreateTestService(L"ddBootStart");
    CreateTestService(L"ddNoRight");
    setup::ServiceHandle noRight = setup::OpenServiceHandle(L"ddNoRight");
    noRight.service = std::make_shared<setup::UniqueServiceHandle>(OpenServiceW(manager_, L"ddNoRight", SERVICE_QUERY_CONFIG));

    struct Case {
        setup::ServiceHandle handle;
        DWORD startType;
        const wchar_t* warning;
    } const cases[] = {
        // Boot start is for drivers: the manager refuses it for a user-mode service.
        {setup::OpenServiceHandle(L"ddBootStart"), SERVICE_BOOT_START,
         L"Warning: Failed to set StartType '0' of service 'ddBootStart' using scm. Error 0x80070057."},
        {noRight, SERVICE_AUTO_START,
         L"Warning: Failed to set StartType '2' of service 'ddNoRight' using scm. Error 0x80070005."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.handle.name);
        session_->ClearMessages();
        setup::SetServiceStartType(c.handle, c.startType);
        EXPECT_EQ(std::optional<DWORD>(c.startType), ReadDword(c.handle.name, L"Start"));
        EXPECT_EQ((Lines{c.warning, L"The StartType of service '" + c.handle.name + L"' changed to '" +
                                        std::to_wstring(c.startType) + L"'."}),
                  LogLines());
    }
}

TEST_F(ServicesTest, StartTypeFallbackWithoutAServiceKeyThrows) {
    CreateTestService(L"ddKeyless");
    setup::ServiceHandle handle = setup::OpenServiceHandle(L"ddKeyless");
    handle.service = std::make_shared<setup::UniqueServiceHandle>(OpenServiceW(manager_, L"ddKeyless", SERVICE_QUERY_CONFIG));
    handle.name = L"ddNoSuchKey";
    try {
        setup::SetServiceStartType(handle, SERVICE_DEMAND_START);
        ADD_FAILURE() << "the fallback wrote to a missing key";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(static_cast<int32_t>(0x80070002), e.Code());
        EXPECT_EQ(L"Failed to open registry key SYSTEM\\CurrentControlSet\\services\\ddNoSuchKey", e.Message());
    }
    EXPECT_FALSE(ReadDword(L"ddNoSuchKey", L"Start").has_value());
}

}  // namespace
