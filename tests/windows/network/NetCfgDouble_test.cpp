// What COM hands out for CLSID_CNetCfg in the test prefix: Wine's own object
// (which is why the double exists) and, once registered, the double, whose
// lock really excludes a second client.

#include <gtest/gtest.h>

#include <windows.h>
#include <netcfgx.h>

#include <chrono>
#include <string>
#include <vector>

#include "frame/Handles.h"
#include "windows/network/NetCfgDoubleControl.h"

namespace {

using setup::UniqueComPtr;
namespace netcfg = ddtest::netcfg;

constexpr HRESULT kNotImplemented = static_cast<HRESULT>(0x80004001);

// The path of the module whose code serves the object's first method.
std::wstring ServingModule(IUnknown* object) {
    void* method = (*reinterpret_cast<void***>(object))[3];
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH] = {};
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(method), &module)) {
        return std::wstring();
    }
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(towlower(c));
    }
    return text;
}

class ComThread : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }

    static UniqueComPtr<INetCfg> Create() {
        UniqueComPtr<INetCfg> object;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, object.put_void()));
        return object;
    }
    static UniqueComPtr<INetCfgLock> LockOf(const UniqueComPtr<INetCfg>& object) {
        UniqueComPtr<INetCfgLock> lock;
        EXPECT_EQ(S_OK, object->QueryInterface(IID_INetCfgLock, lock.put_void()));
        return lock;
    }
};

TEST_F(ComThread, WinesOwnObjectLocksAndInitializesButCannotFindInstallOrApply) {
    ASSERT_NE(netcfg::DoublePath(), netcfg::RegisteredServer());
    UniqueComPtr<INetCfg> object = Create();
    ASSERT_TRUE(object);
    EXPECT_EQ(std::wstring::npos, Lower(ServingModule(object.get())).find(L"dd_netcfg_double"));
    UniqueComPtr<INetCfgLock> lock = LockOf(object);
    LPWSTR holder = nullptr;
    EXPECT_EQ(S_OK, lock->AcquireWriteLock(100, L"Probe", &holder));
    EXPECT_EQ(S_OK, object->Initialize(nullptr));

    UniqueComPtr<INetCfgComponent> component;
    EXPECT_EQ(kNotImplemented, object->FindComponent(L"ms_tcpip", component.put()));
    const GUID netService = {0x4d36e974, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    UniqueComPtr<INetCfgClassSetup> setup;
    EXPECT_EQ(kNotImplemented, object->QueryNetCfgClass(&netService, IID_INetCfgClassSetup, setup.put_void()));
    EXPECT_EQ(kNotImplemented, object->Apply());

    EXPECT_EQ(S_OK, object->Uninitialize());
    EXPECT_EQ(S_OK, lock->ReleaseWriteLock());
}

TEST_F(ComThread, RegisteredDoubleServesTheClassAndRecordsItsCalls) {
    netcfg::Registration registration;
    const long before = netcfg::LiveObjects();
    EXPECT_EQ(netcfg::DoublePath(), netcfg::RegisteredServer());
    EXPECT_EQ(L"Both", netcfg::RegisteredThreadingModel());
    {
        UniqueComPtr<INetCfg> object = Create();
        ASSERT_TRUE(object);
        EXPECT_EQ(Lower(netcfg::DoublePath()), Lower(ServingModule(object.get())));
        EXPECT_EQ(S_OK, object->Initialize(nullptr));
        UniqueComPtr<INetCfgComponent> component;
        EXPECT_EQ(S_FALSE, object->FindComponent(L"dd_missing", component.put()));
        EXPECT_FALSE(component);
        EXPECT_EQ(S_OK, object->Uninitialize());
    }
    EXPECT_EQ(before < 0 ? 0 : before, netcfg::LiveObjects());

    const std::vector<netcfg::Call> calls = netcfg::Calls();
    std::vector<std::wstring> names;
    for (const netcfg::Call& call : calls) {
        EXPECT_EQ(GetCurrentProcessId(), call.pid);
        names.push_back(call.name);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"QueryInterface", L"CreateInstance", L"Initialize", L"FindComponent",
                                         L"Uninitialize", L"Destroyed"}),
              names);
}

TEST_F(ComThread, DoublesLockExcludesASecondClientForItsTimeout) {
    netcfg::Registration registration;
    UniqueComPtr<INetCfg> first = Create();
    UniqueComPtr<INetCfgLock> firstLock = LockOf(first);
    ASSERT_EQ(S_OK, firstLock->AcquireWriteLock(100, L"First client", nullptr));

    UniqueComPtr<INetCfg> second = Create();
    UniqueComPtr<INetCfgLock> secondLock = LockOf(second);
    LPWSTR holder = nullptr;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(S_FALSE, secondLock->AcquireWriteLock(300, L"Second client", &holder));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    ASSERT_NE(nullptr, holder);
    EXPECT_EQ(std::wstring(L"First client"), holder);
    CoTaskMemFree(holder);

    // Without the lock nothing can be changed.
    ASSERT_EQ(S_OK, second->Initialize(nullptr));
    EXPECT_EQ(NETCFG_E_NO_WRITE_LOCK, second->Apply());
    ASSERT_EQ(S_OK, second->Uninitialize());

    EXPECT_EQ(S_OK, firstLock->ReleaseWriteLock());
    EXPECT_EQ(S_OK, secondLock->AcquireWriteLock(300, L"Second client", nullptr));
    EXPECT_EQ(S_OK, secondLock->ReleaseWriteLock());
}

}  // namespace
