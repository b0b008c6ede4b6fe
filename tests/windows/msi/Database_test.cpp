#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "frame/Exception.h"
#include "frame/Session.h"
#include "msi/Database.h"
#include "windows/support/InstallerFixture.h"
#include "windows/support/CatchException.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

constexpr int32_t kInvalidHandle = static_cast<int32_t>(0x80070006);
constexpr int32_t kInvalidDatatype = static_cast<int32_t>(0x8007070C);  // ERROR_INVALID_DATATYPE

// A session over a database with one table of mixed fields and a few
// streams, with the installer services started for it.
class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto items = ddtest::MakeTable("Items", {"Key", "Number", "Text"}, {"s72", "I4", "S255"}, {"Key"},
                                             {{"a", "", "alpha"}, {"b", "-1", ""}, {"c", "42", "gamma"}});
        path_ = ddtest::BuildDatabase(dir_ / L"db.msi", {items}, {{"A", "x"}, {"B", "y"}});
        ddtest::AddStreams(path_, "_Streams",
                           {{"empty", {}}, {"s4096", Pattern(4096)}, {"s8192", Pattern(8192)}, {"s10000", Pattern(10000)}});
        session_ = std::make_unique<ddtest::InstallerSession>(path_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "DatabaseTest"));
    }
    void TearDown() override {
        setup::Finalize(0);
        session_.reset();
    }

    std::shared_ptr<setup::Record> FetchItem(const std::wstring& key) {
        auto view = setup::GetActiveDatabase(setup::GetHandle())
                        ->OpenView(L"SELECT `Key`, `Number`, `Text` FROM `Items` WHERE `Key` = ?");
        view->Execute(setup::Record(key));
        return view->Fetch();
    }

    std::shared_ptr<setup::Record> FetchStream(const std::wstring& name) {
        auto view = setup::GetActiveDatabase(setup::GetHandle())
                        ->OpenView(L"SELECT `Name`, `Data` FROM `_Streams` WHERE `Name` = ?");
        view->Execute(setup::Record(name));
        return view->Fetch();
    }

    ddtest::TempDir dir_;
    std::wstring path_;
    std::unique_ptr<ddtest::InstallerSession> session_;
};

// What every table reader does: an absent table is an empty list, an
// unanswerable question a failure.
std::vector<std::wstring> ReadKeys(const std::wstring& table) {
    std::vector<std::wstring> keys;
    const int32_t exists = setup::TableExists(table);
    if (exists == setup::table_state::Absent) {
        return keys;
    }
    if (exists != setup::table_state::Exists) {
        setup::ThrowTableQueryFailed(exists, table);
    }
    auto view = setup::GetActiveDatabase(setup::GetHandle())->OpenView(L"SELECT `Key` FROM `" + table + L"`");
    view->Execute();
    while (auto row = view->Fetch()) {
        keys.push_back(row->GetString(1));
    }
    return keys;
}

TEST_F(DatabaseTest, ReaderOrderReadsRowsAndMissingTableGivesEmptyList) {
    EXPECT_EQ(0, setup::TableExists(L"Items"));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L"c"}), ReadKeys(L"Items"));
    EXPECT_EQ(1, setup::TableExists(L"DriverPackage"));
    EXPECT_TRUE(ReadKeys(L"DriverPackage").empty());
}

TEST_F(DatabaseTest, QueryMatchingNoRowFetchesNothing) {
    EXPECT_EQ(nullptr, FetchItem(L"none"));
    ASSERT_NE(nullptr, FetchItem(L"c"));
}

TEST_F(DatabaseTest, StringFieldsOfEveryLengthAroundTheFirstBuffer) {
    // A value that fills the first buffer exactly, and the first that does not.
    for (const size_t length : {size_t{0}, size_t{255}, size_t{256}, size_t{4000}}) {
        const std::wstring text(length, L'v');
        const setup::Record record(text);
        EXPECT_EQ(text, record.GetString(1)) << length;
    }
}

TEST_F(DatabaseTest, IntegerFields) {
    EXPECT_EQ(7, FetchItem(L"a")->GetInteger(2, 7));   // null integer
    EXPECT_EQ(0, FetchItem(L"a")->GetInteger(2, 0));
    EXPECT_EQ(-1, FetchItem(L"b")->GetInteger(2, 0));  // a real -1 is not a default
    EXPECT_EQ(42, FetchItem(L"c")->GetInteger(2, 0));
}

TEST_F(DatabaseTest, StringFieldsUpToTheFieldCount) {
    auto row = FetchItem(L"c");
    ASSERT_NE(nullptr, row);
    ASSERT_EQ(3u, MsiRecordGetFieldCount(row->Handle()));
    EXPECT_EQ(L"gamma", row->GetString(3));
    EXPECT_EQ(L"c", row->GetString(1));
    EXPECT_EQ(L"", FetchItem(L"b")->GetString(3));  // null string
    EXPECT_NO_THROW(row->GetString(0));

    const setup::Exception e = ddtest::CatchSetupException([&] { row->GetString(4); });
    EXPECT_EQ(static_cast<int32_t>(0x80070057), e.Code());
    EXPECT_EQ(L"The value of an argument is outside the allowable range.", e.Message());
    EXPECT_EQ(L"", e.Details());
    EXPECT_THROW(row->GetInteger(4, 0), setup::Exception);
    EXPECT_THROW(row->SetString(4, L"x"), setup::Exception);
}

std::wstring InstallerFormat(MSIHANDLE installer, const std::wstring& format) {
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, format.c_str());
    wchar_t buffer[64] = {};
    DWORD size = 63;
    MsiFormatRecordW(installer, record, buffer, &size);
    MsiCloseHandle(record);
    return std::wstring(buffer, size);
}

TEST_F(DatabaseTest, FormatTextOfNothingAsksNoInstaller) {
    // Asked, the installer would list the record's fields instead.
    ASSERT_EQ(L"1:  ", InstallerFormat(setup::GetHandle(), L""));
    EXPECT_EQ(L"", setup::FormatText(setup::GetHandle(), L""));
}

TEST_F(DatabaseTest, FormatTextTurnsNulsIntoListSeparators) {
    ASSERT_EQ(std::wstring(L"x\0y", 3), InstallerFormat(setup::GetHandle(), L"[A][~][B]"));
    EXPECT_EQ(L"x[~]y", setup::FormatText(setup::GetHandle(), L"[A][~][B]"));
    EXPECT_EQ(L"[~]x[~]", setup::FormatText(setup::GetHandle(), L"[~][A][~]"));
    EXPECT_EQ(L"plain", setup::FormatText(setup::GetHandle(), L"plain"));
    EXPECT_EQ(L"", setup::FormatText(setup::GetHandle(), L"[NOSUCHPROPERTY]"));
}

TEST_F(DatabaseTest, ReadStreamReturnsAllBytes) {
    for (const auto& [name, size] : std::vector<std::pair<std::wstring, size_t>>{
             {L"empty", 0}, {L"s4096", 4096}, {L"s10000", 10000}}) {
        SCOPED_TRACE(ddtest::Narrow(name));
        auto row = FetchStream(name);
        ASSERT_NE(nullptr, row);
        EXPECT_EQ(Pattern(size), row->ReadStream());
    }
}

// The server end of a message-mode pipe: every WriteFile on the client end
// arrives as one message, so the sizes read back are the sizes written.
std::vector<DWORD> WriteSizesOf(const std::shared_ptr<setup::Record>& row, Bytes* content) {
    const std::wstring name = L"\\\\.\\pipe\\ddtest-stream-" + std::to_wstring(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                   1, 0, 65536, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, pipe);
    std::vector<DWORD> sizes;
    std::thread reader([&] {
        ConnectNamedPipe(pipe, nullptr);
        std::vector<unsigned char> buffer(65536);
        for (;;) {
            DWORD read = 0;
            if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
                break;
            }
            sizes.push_back(read);
            content->insert(content->end(), buffer.begin(), buffer.begin() + read);
        }
    });
    try {
        row->WriteStreamToFile(name);
    } catch (...) {
        DisconnectNamedPipe(pipe);  // ends the reader
        reader.join();
        CloseHandle(pipe);
        throw;
    }
    reader.join();
    CloseHandle(pipe);
    return sizes;
}

TEST_F(DatabaseTest, WriteStreamToFileWritesChunksOf4096) {
    struct Case {
        const wchar_t* stream;
        size_t size;
        std::vector<DWORD> writes;
    };
    const Case cases[] = {
        {L"s10000", 10000, {4096, 4096, 1808, 0}},
        {L"s8192", 8192, {4096, 4096, 0}},
        {L"empty", 0, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.stream));
        Bytes piped;
        EXPECT_EQ(c.writes, WriteSizesOf(FetchStream(c.stream), &piped));
        EXPECT_EQ(Pattern(c.size), piped);

        const std::wstring file = dir_ / (std::wstring(c.stream) + L".bin");
        ddtest::WriteBinaryFile(file, Pattern(20000));  // replaced, not overwritten in place
        FetchStream(c.stream)->WriteStreamToFile(file);
        EXPECT_EQ(Pattern(c.size), ddtest::ReadBinaryFile(file));
    }
}

TEST_F(DatabaseTest, WriteStreamToFileReportsTheFileItCannotCreate) {
    const std::wstring file = dir_ / L"missing\\out.bin";
    const setup::Exception e = ddtest::CatchSetupException([&] { FetchStream(L"s4096")->WriteStreamToFile(file); });
    EXPECT_EQ(static_cast<int32_t>(0x80070003), e.Code());
    EXPECT_EQ(L"Failed to create file for stream: " + file, e.Message());
}

TEST_F(DatabaseTest, TableQueryWithoutDatabaseIsAFailureNotAnAbsence) {
    setup::Finalize(0);  // the services hold no database now
    EXPECT_EQ(static_cast<int32_t>(0x80004005), setup::TableExists(L"Items"));
    const setup::Exception e = ddtest::CatchSetupException([] { ReadKeys(L"Items"); });
    EXPECT_EQ(static_cast<int32_t>(0x80004005), e.Code());
    EXPECT_EQ(L"Failed to determines existing the table: Items", e.Message());
    ASSERT_EQ(0, setup::Initialize(session_->handle(), "DatabaseTest"));
}

TEST_F(DatabaseTest, ViewOnNoDatabaseFailsWithoutLeaking) {
    const unsigned leaked = ddtest::RunCountingLeakedHandles([] {
        setup::Database none(0);
        const setup::Exception e = ddtest::CatchSetupException([&] { none.OpenView(L"SELECT `Key` FROM `Items`"); });
        EXPECT_EQ(kInvalidHandle, e.Code());
        EXPECT_EQ(L"Failed to create a view object.", e.Message());
    });
    EXPECT_EQ(0u, leaked);
}

TEST_F(DatabaseTest, FailingCallsKeepTheirMessages) {
    auto database = setup::GetActiveDatabase(setup::GetHandle());
    const setup::Exception bad = ddtest::CatchSetupException([&] { database->OpenView(L"SELECT nonsense FROM"); });
    EXPECT_EQ(L"Failed to create a view object.", bad.Message());
    EXPECT_LT(bad.Code(), 0);

    setup::View none;
    const setup::Exception execute = ddtest::CatchSetupException([&] { none.Execute(); });
    EXPECT_EQ(kInvalidHandle, execute.Code());
    EXPECT_EQ(L"Failed to execute a SQL view query.", execute.Message());

    const setup::Exception fetch = ddtest::CatchSetupException([&] { none.Fetch(); });
    EXPECT_EQ(kInvalidHandle, fetch.Code());
    EXPECT_EQ(L"Failed to fetch the next sequential record from the view.", fetch.Message());

    // Field 2 of an Items row is an integer, not a stream.
    auto row = FetchItem(L"c");
    const setup::Exception size = ddtest::CatchSetupException([&] { row->ReadStream(); });
    EXPECT_EQ(kInvalidDatatype, size.Code());
    EXPECT_EQ(L"Failed to get size of stream.", size.Message());
    const std::wstring file = dir_ / L"partial.bin";
    const setup::Exception read = ddtest::CatchSetupException([&] { row->WriteStreamToFile(file); });
    EXPECT_EQ(kInvalidDatatype, read.Code());
    EXPECT_EQ(L"Failed to read stream from a record.", read.Message());
    EXPECT_TRUE(ddtest::FileExists(file));  // a failure part-way leaves the file

    setup::Record empty;
    const setup::Exception stream = ddtest::CatchSetupException([&] { empty.ReadStream(); });
    EXPECT_EQ(kInvalidHandle, stream.Code());
    EXPECT_EQ(L"Failed to get size of stream.", stream.Message());
}

// A handle number freed by a close is handed out again by the next
// allocation; a second close of the old owner would close the newcomer.
TEST_F(DatabaseTest, ParameterRecordClosedOnceEvenWhenExecutionFails) {
    MSIHANDLE bystander = 0;
    const unsigned leaked = ddtest::RunCountingLeakedHandles([&] {
        setup::Record parameters(L"a");
        const MSIHANDLE handle = parameters.Handle();
        setup::View none;
        const setup::Exception e = ddtest::CatchSetupException([&] { none.Execute(std::move(parameters)); });
        EXPECT_EQ(L"Failed to execute a SQL view query.", e.Message());
        EXPECT_EQ(static_cast<UINT>(-1), MsiRecordGetFieldCount(handle)) << "parameter record still open";

        bystander = MsiCreateRecord(2);
        EXPECT_EQ(handle, bystander) << "the freed handle number was not reused";
    });
    // Every owner is gone now; the bystander must have survived them.
    EXPECT_EQ(1u, leaked);
    EXPECT_EQ(static_cast<UINT>(-1), MsiRecordGetFieldCount(bystander));  // closed by the count only
}

TEST_F(DatabaseTest, ParameterRecordClosedAfterSuccessfulExecution) {
    const unsigned leaked = ddtest::RunCountingLeakedHandles([&] {
        auto row = FetchItem(L"a");
        ASSERT_NE(nullptr, row);
        EXPECT_EQ(L"alpha", row->GetString(3));
    });
    EXPECT_EQ(0u, leaked);
}

TEST(HandleCount, CountsWhatABodyLeavesOpen) {
    // The counting itself: one record left open on the thread is one handle.
    EXPECT_EQ(1u, ddtest::RunCountingLeakedHandles([] { MsiCreateRecord(1); }));
    EXPECT_EQ(0u, ddtest::RunCountingLeakedHandles([] { MsiCloseHandle(MsiCreateRecord(1)); }));
}

}  // namespace
