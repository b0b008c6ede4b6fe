#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/Session.h"
#include "msi/Streams.h"
#include "windows/support/InstallerFixture.h"
#include "windows/support/CatchException.h"

namespace {

struct StreamsSession {
    ddtest::TempDir dir;
    std::wstring path;
    std::unique_ptr<ddtest::InstallerSession> session;

    explicit StreamsSession(bool withBinaryTable) {
        std::vector<ddtest::TableText> tables;
        if (withBinaryTable) {
            tables.push_back(ddtest::MakeTable("Binary", {"Name", "Data"}, {"s72", "v0"}, {"Name"}, {}));
        }
        path = ddtest::BuildDatabase(dir / L"streams.msi", tables);
        if (withBinaryTable) {
            ddtest::AddStreams(path, "Binary", {{"prog", {'M', 'Z', 0, 1, 2}}, {"empty", {}}});
        }
        ddtest::AddStreams(path, "_Streams", {{"drivers.cab", {'M', 'S', 'C', 'F', 9, 9}}});
        session = std::make_unique<ddtest::InstallerSession>(path);
        EXPECT_EQ(0, setup::Initialize(session->handle(), "StreamsTest"));
    }
    ~StreamsSession() { setup::Finalize(0); }
};

TEST(Streams, BinaryRows) {
    StreamsSession s(true);
    EXPECT_EQ((std::vector<uint8_t>{'M', 'Z', 0, 1, 2}), setup::ReadBinary(L"prog"));
    EXPECT_TRUE(setup::ReadBinary(L"empty").empty());
    const setup::Exception e = ddtest::CatchSetupException([] { setup::ReadBinary(L"missing"); });
    EXPECT_EQ(static_cast<int32_t>(0x80070006), e.Code());
    EXPECT_EQ(L"Failed to extract from binary: missing", e.Message());
}

TEST(Streams, AnEmptyBinaryNameAsksNothing) {
    // Without a Binary table any query would fail; an empty name never asks.
    StreamsSession s(false);
    EXPECT_TRUE(setup::ReadBinary(L"").empty());
    EXPECT_EQ(0u, ddtest::RunCountingLeakedHandles([] { EXPECT_TRUE(setup::ReadBinary(L"").empty()); }));
    const setup::Exception e = ddtest::CatchSetupException([] { setup::ReadBinary(L"prog"); });
    EXPECT_EQ(L"Failed to create a view object.", e.Message());
}

TEST(Streams, NamedStreamToFile) {
    StreamsSession s(true);
    const std::wstring file = s.dir / L"out.cab";
    ddtest::WriteTextFile(file, "old content that is longer");
    setup::ExtractStream(L"drivers.cab", file);
    EXPECT_EQ((std::vector<unsigned char>{'M', 'S', 'C', 'F', 9, 9}), ddtest::ReadBinaryFile(file));
    const setup::Exception e = ddtest::CatchSetupException([&] { setup::ExtractStream(L"nosuch.cab", s.dir / L"x.cab"); });
    EXPECT_EQ(static_cast<int32_t>(0x80070006), e.Code());
    EXPECT_EQ(L"Failed to extract stream: nosuch.cab", e.Message());
    EXPECT_FALSE(ddtest::FileExists(s.dir / L"x.cab"));
}

}  // namespace
