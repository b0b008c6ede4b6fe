// Load-order moves against Wine's real registry and service manager. Wine
// assigns no tags: its CreateServiceW keeps whatever the tag argument holds,
// while a "Tag" value written to the service key later is not seen by the
// running control manager, so each test service is created with its tag.
// A Windows system always has the GroupOrderList key; a fresh Wine prefix
// does not, so the fixture creates it.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "doubles/SharedValueWatchDouble.h"
#include "frame/Session.h"
#include "system/LoadOrder.h"
#include "windows/support/InstallerFixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr wchar_t kGroupOrderList[] = L"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList";

Bytes Le(std::initializer_list<uint32_t> fields) {
    Bytes out;
    for (uint32_t v : fields) {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<uint8_t>(v >> shift));
        }
    }
    return out;
}

void SetGroupValue(const std::wstring& group, const Bytes& bytes) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, kGroupOrderList, group.c_str(), REG_BINARY,
                                             bytes.data(), static_cast<DWORD>(bytes.size())));
}

// The stored bytes, or nothing when the value does not exist.
std::optional<Bytes> GroupValue(const std::wstring& group, DWORD* type = nullptr) {
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kGroupOrderList, group.c_str(), RRF_RT_ANY, type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    Bytes bytes(size);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kGroupOrderList, group.c_str(), RRF_RT_ANY, type,
                                          bytes.data(), &size));
    bytes.resize(size);
    return bytes;
}

DWORD GroupValueCount() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderList, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return count;
}

// A kernel-driver service created through the control manager, deleted again
// at the end of the test.
class TestService {
public:
    TestService(const std::wstring& name, const wchar_t* group, uint32_t tag) : name_(name) {
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        EXPECT_NE(nullptr, manager_);
        DWORD tagId = tag;
        service_ = CreateServiceW(manager_, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                  SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  (L"C:\\windows\\system32\\drivers\\" + name + L".sys").c_str(), group,
                                  group != nullptr ? &tagId : nullptr, nullptr, nullptr, nullptr);
        EXPECT_NE(nullptr, service_) << "CreateServiceW " << GetLastError();
    }
    ~TestService() {
        if (service_ != nullptr) {
            DeleteService(service_);
            CloseServiceHandle(service_);
        }
        if (manager_ != nullptr) {
            CloseServiceHandle(manager_);
        }
    }
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;

    // Opened again through the library, as the package installer opens it.
    setup::ServiceHandle handle() const { return setup::OpenServiceHandle(name_); }
    const std::wstring& name() const { return name_; }

private:
    std::wstring name_;
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

class LoadOrder : public ::testing::Test {
protected:
    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderList, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        RegCloseKey(key);
        ASSERT_EQ(0, setup::Initialize(session_.handle(), "LoadOrderTest"));
    }
    void TearDown() override {
        setup::Finalize(0);
        services_.clear();
        for (const std::wstring& group : groups_) {
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kGroupOrderList, group.c_str());
        }
    }

    // A group name of this test, its value removed afterwards.
    std::wstring Group(const std::wstring& suffix) {
        groups_.push_back(L"DD" + suffix);
        return groups_.back();
    }

    TestService& Service(const std::wstring& name, const std::wstring& group, uint32_t tag) {
        services_.push_back(std::make_unique<TestService>(name, group.empty() ? nullptr : group.c_str(), tag));
        return *services_.back();
    }

    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> out;
        for (const std::wstring& line : session_.InfoLines()) {
            out.push_back(ddtest::StripLogPrefix(line));
        }
        return out;
    }
    bool Logged(const std::wstring& line) const {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    void ClearLines() { session_.ClearMessages(); }

private:
    ddtest::TempDir dir_;
    std::wstring database_ = ddtest::BuildDatabase(dir_ / L"loadorder.msi", ddtest::BaseTables());
    ddtest::InstallerSession session_{database_};
    std::vector<std::unique_ptr<TestService>> services_;
    std::vector<std::wstring> groups_;
};

TEST_F(LoadOrder, ConfigurationQueriesReportTagGroupAndProgram) {
    const std::wstring group = Group(L"Query");
    TestService& s = Service(L"ddQuery", group, 17);
    EXPECT_EQ(17u, setup::GetServiceTag(s.handle()));
    EXPECT_EQ(group, setup::GetServiceLoadOrderGroup(s.handle()));
    EXPECT_EQ(L"C:\\windows\\system32\\drivers\\ddQuery.sys", setup::GetServiceBinaryPathName(s.handle()));
    EXPECT_TRUE(Logged(L"The Tag of service 'ddQuery' is '17'."));
    EXPECT_TRUE(Logged(L"The LoadOrderGroup of service 'ddQuery' is 'DDQuery'."));
    EXPECT_TRUE(Logged(L"The BinaryPathName of service 'ddQuery' is 'C:\\windows\\system32\\drivers\\ddQuery.sys'."));

    try {
        setup::GetServiceTag(setup::ServiceHandle{nullptr, std::make_shared<setup::UniqueServiceHandle>(), L"ddNoHandle"});
        ADD_FAILURE() << "no exception";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(L"Failed to get tag of service: ddNoHandle", e.Message());
        EXPECT_EQ(static_cast<int32_t>(0x80070006), e.Code());
        EXPECT_EQ(L"", e.Details());
    }
}

TEST_F(LoadOrder, FrontMoveWritesTheTagFirstAsBinary) {
    const std::wstring group = Group(L"Front");
    TestService& s30 = Service(L"ddFront30", group, 30);
    SetGroupValue(group, Le({3, 10, 20, 30}));

    setup::MoveServiceToFront(s30.handle());

    DWORD type = 0;
    EXPECT_EQ(Le({3, 30, 10, 20}), GroupValue(group, &type));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_TRUE(Logged(L"Moving 'ddFront30' service to front."));
    EXPECT_TRUE(Logged(L"The DDFront' load order list is '10 20 30 '."));
    EXPECT_TRUE(Logged(L"The DDFront' load order list changed to '30 10 20 '."));
}

TEST_F(LoadOrder, AfterMoveFollowsTheForwardChainFromTheFirstNamedService) {
    const std::wstring group = Group(L"After");
    Service(L"ddAfter10", group, 10);
    Service(L"ddAfter20", group, 20);
    TestService& s5 = Service(L"ddAfter5", group, 5);
    SetGroupValue(group, Le({4, 10, 20, 30, 5}));

    setup::MoveServiceAfter(s5.handle(), L"ddAfter20[~]ddAfter10");

    EXPECT_EQ(Le({4, 10, 20, 5, 30}), GroupValue(group));
    EXPECT_TRUE(Logged(L"Moving 'ddAfter5' service after 'ddAfter20[~]ddAfter10' in load order list."));
    EXPECT_TRUE(Logged(L"The DDAfter' load order list changed to '10 20 5 30 '."));
}

TEST_F(LoadOrder, AfterMoveWithoutAnAnchorLeavesTheStoredListAlone) {
    const std::wstring group = Group(L"NoAnchor");
    Service(L"ddNoAnchor40", group, 40);
    Service(L"ddNoAnchor20", group, 20);
    TestService& s5 = Service(L"ddNoAnchor5", group, 5);
    const Bytes stored = Le({4, 10, 20, 30, 5});
    SetGroupValue(group, stored);

    // 40 is not in the list: no chain starts, although 20 is there.
    setup::MoveServiceAfter(s5.handle(), L"ddNoAnchor40[~]ddNoAnchor20");
    EXPECT_TRUE(Logged(L"WARNING: The services 'ddNoAnchor40[~]ddNoAnchor20' are not register in 'DDNoAnchor' in load order list."));
    EXPECT_EQ(stored, GroupValue(group));

    // None of the named services can be opened.
    ClearLines();
    setup::MoveServiceAfter(s5.handle(), L"ddNoSuchService");
    EXPECT_TRUE(Logged(L"Failed to open service: ddNoSuchService Error 0x80070424."));
    EXPECT_TRUE(Logged(L"WARNING: The services 'ddNoSuchService' are not register."));
    EXPECT_EQ(stored, GroupValue(group));
}

TEST_F(LoadOrder, EmptyLastNameIsLoggedAndSkipped) {
    const std::wstring group = Group(L"Trailing");
    Service(L"ddTrailing20", group, 20);
    TestService& s5 = Service(L"ddTrailing5", group, 5);
    SetGroupValue(group, Le({3, 10, 20, 30}));

    setup::MoveServiceAfter(s5.handle(), L"ddTrailing20[~]");

    EXPECT_TRUE(Logged(L"The service name is empty. Error 0x80070057."));
    EXPECT_EQ(Le({4, 10, 20, 5, 30}), GroupValue(group));
}

TEST_F(LoadOrder, TheValueLengthWinsOverTheStoredCount) {
    const std::wstring group = Group(L"Count");
    TestService& s20 = Service(L"ddCount20", group, 20);
    Bytes strayBytes = Le({3, 10, 20, 30});
    strayBytes.insert(strayBytes.end(), {0xAA, 0xBB});
    for (const Bytes& stored : {Le({7, 10, 20, 30}), Le({1, 10, 20, 30}), strayBytes}) {
        SCOPED_TRACE(stored.size());
        ClearLines();
        SetGroupValue(group, stored);
        setup::MoveServiceToFront(s20.handle());
        EXPECT_TRUE(Logged(L"The DDCount' load order list is '10 20 30 '."));
        EXPECT_EQ(Le({3, 20, 10, 30}), GroupValue(group));
    }
}

TEST_F(LoadOrder, RemovalTakesOutEveryCopyAndRewritesTheCount) {
    const std::wstring group = Group(L"Remove");
    TestService& s20 = Service(L"ddRemove20", group, 20);
    TestService& s40 = Service(L"ddRemove40", group, 40);

    SetGroupValue(group, Le({4, 20, 10, 20, 30}));
    setup::RemoveServiceFromLoadOrder(s20.handle());
    EXPECT_TRUE(Logged(L"Remove 'ddRemove20' service from load order list."));
    EXPECT_EQ(Le({2, 10, 30}), GroupValue(group));

    // A tag that is not there: the list is still written back, with its count.
    SetGroupValue(group, Le({9, 10, 30}));
    setup::RemoveServiceFromLoadOrder(s40.handle());
    EXPECT_EQ(Le({2, 10, 30}), GroupValue(group));

    // A list without tags is not written.
    SetGroupValue(group, Le({5}));
    setup::RemoveServiceFromLoadOrder(s40.handle());
    EXPECT_TRUE(Logged(L"The DDRemove' load order list is ''."));
    EXPECT_EQ(Le({5}), GroupValue(group));
}

TEST_F(LoadOrder, GroupWithoutValueIsCreatedByFrontMoveOnly) {
    const std::wstring group = Group(L"New");
    TestService& s = Service(L"ddNew7", group, 7);

    setup::RemoveServiceFromLoadOrder(s.handle());
    EXPECT_TRUE(Logged(L"Failed to read 'DDNew' load order list."));
    EXPECT_EQ(std::nullopt, GroupValue(group));

    setup::MoveServiceToFront(s.handle());
    EXPECT_EQ(Le({1, 7}), GroupValue(group));
}

TEST_F(LoadOrder, ServiceWithoutGroup) {
    TestService& s = Service(L"ddNoGroup", L"", 3);
    const DWORD valuesBefore = GroupValueCount();

    for (int move = 0; move < 2; ++move) {
        SCOPED_TRACE(move);
        try {
            if (move == 0) {
                setup::MoveServiceToFront(s.handle());
            } else {
                setup::MoveServiceAfter(s.handle(), L"ddNoGroup");
            }
            ADD_FAILURE() << "no exception";
        } catch (const setup::ArgumentException& e) {
            EXPECT_EQ(L"The service has no LoadOrderGroup.", e.Message());
            EXPECT_EQ(static_cast<int32_t>(0x80070057), e.Code());
        }
    }

    ClearLines();
    EXPECT_NO_THROW(setup::RemoveServiceFromLoadOrder(s.handle()));
    EXPECT_EQ((std::vector<std::wstring>{L"Remove 'ddNoGroup' service from load order list.",
                                         L"The LoadOrderGroup of service 'ddNoGroup' is ''."}),
              Lines());
    EXPECT_EQ(valuesBefore, GroupValueCount());
}

TEST_F(LoadOrder, MissingGroupOrderListKeyIsAnError) {
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, kGroupOrderList));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderList, 0, KEY_READ, &key));
    try {
        setup::ReadLoadOrderList(L"DDAny");
        ADD_FAILURE() << "no exception";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(L"Failed to open (query) load order list: DDAny", e.Message());
        EXPECT_EQ(static_cast<int32_t>(0x80070002), e.Code());
    }
    try {
        setup::WriteLoadOrderList(L"DDAny", {1});
        ADD_FAILURE() << "no exception";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(L"Failed to open (set) load order list: DDAny", e.Message());
        EXPECT_EQ(static_cast<int32_t>(0x80070002), e.Code());
    }
}

// Package threads moving their services' tags in one group at the same time:
// each move is held open between its read and its write, so unserialized
// moves would overlap and write back lists without each other's move.
TEST_F(LoadOrder, ParallelMovesInOneGroupNeverOverlapOrLoseAMove) {
    const std::wstring group = Group(L"Parallel");
    Service(L"ddParAnchor", group, 1);
    std::vector<TestService*> movers;
    for (uint32_t tag = 11; tag <= 14; ++tag) {
        movers.push_back(&Service(L"ddPar" + std::to_wstring(tag), group, tag));
    }
    SetGroupValue(group, Le({6, 1, 11, 12, 13, 14, 99}));

    ddtest::SharedValueWatchDouble watch;
    std::vector<std::exception_ptr> failures(movers.size() + 1);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < movers.size(); ++i) {
        threads.emplace_back([&, i] {
            try {
                // Two to the front, two right after the anchor.
                if (i % 2 == 0) {
                    setup::MoveServiceToFront(movers[i]->handle());
                } else {
                    setup::MoveServiceAfter(movers[i]->handle(), L"ddParAnchor");
                }
            } catch (...) {
                failures[i] = std::current_exception();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::exception_ptr& failure : failures) {
        EXPECT_FALSE(failure) << "a move failed";
    }
    EXPECT_EQ(4, watch.Changes());
    EXPECT_EQ(1, watch.MostAtOnce());

    const std::optional<Bytes> stored = GroupValue(group);
    ASSERT_TRUE(stored);
    ASSERT_EQ(28u, stored->size());
    std::vector<uint32_t> tags;
    for (std::size_t at = 4; at < stored->size(); at += 4) {
        tags.push_back((*stored)[at] | ((*stored)[at + 1] << 8) | ((*stored)[at + 2] << 16) |
                       (static_cast<uint32_t>((*stored)[at + 3]) << 24));
    }
    // The front moves (11, 13) lead the list in some order; the after moves
    // (12, 14) follow the anchor; 99 stays last; nothing is doubled or lost.
    std::vector<uint32_t> front(tags.begin(), tags.begin() + 2);
    std::sort(front.begin(), front.end());
    EXPECT_EQ((std::vector<uint32_t>{11, 13}), front);
    EXPECT_EQ(1u, tags[2]);
    std::vector<uint32_t> after(tags.begin() + 3, tags.begin() + 5);
    std::sort(after.begin(), after.end());
    EXPECT_EQ((std::vector<uint32_t>{12, 14}), after);
    EXPECT_EQ(99u, tags[5]);
}

}  // namespace
