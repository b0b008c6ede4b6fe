#pragma once
// Owning wrappers of the installer database, its views and records. Every
// failing installer call becomes a setup::Exception with a fixed message;
// every handle is closed exactly once by its owner, on every way out.
//
// Table readers all follow one order: TableExists, GetActiveDatabase,
// OpenView, Execute (with a one-string parameter record when the query ends
// in "= ?"), Fetch until an empty pointer, read fields by their 1-based
// position in the query's column list.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame/Handles.h"

namespace setup {

class Record {
public:
    // No record (handle 0); View::Fetch fills one through Put().
    Record() noexcept = default;
    explicit Record(MSIHANDLE handle) noexcept : handle_(handle) {}
    // A parameter record with the text as its only field.
    explicit Record(const std::wstring& text);

    Record(Record&&) noexcept = default;
    Record& operator=(Record&&) noexcept = default;

    MSIHANDLE Handle() const noexcept { return handle_.get(); }
    MSIHANDLE* Put() noexcept { return handle_.put(); }
    // Closes the handle now; the record is empty afterwards.
    void Close() noexcept { handle_.reset(); }

    // Field 0 is the format field; indexes above the field count throw.
    void CheckFieldIndex(uint32_t field) const;
    std::wstring GetString(uint32_t field) const;
    void SetString(uint32_t field, const std::wstring& text);
    // The installer's null integer becomes defaultValue.
    int32_t GetInteger(uint32_t field, int32_t defaultValue) const;

    // Streams are always field 2: every stream query lists the name first
    // and the data second.
    std::vector<uint8_t> ReadStream() const;
    void WriteStreamToFile(const std::wstring& path) const;

private:
    UniqueMsiHandle handle_;
};

class View {
public:
    View() noexcept = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    MSIHANDLE Handle() const noexcept { return handle_.get(); }
    MSIHANDLE* Put() noexcept { return handle_.put(); }

    void Execute();
    // The parameter record is closed right after the call, failed or not.
    void Execute(Record parameters);
    // An empty pointer at the end of the rows.
    std::shared_ptr<Record> Fetch();

private:
    UniqueMsiHandle handle_;
};

class Database {
public:
    explicit Database(MSIHANDLE handle) noexcept : handle_(handle) {}
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    MSIHANDLE Handle() const noexcept { return handle_.get(); }

    std::shared_ptr<View> OpenView(const std::wstring& query);

private:
    UniqueMsiHandle handle_;
};

// The running installation's database; a 0 handle is not checked here, the
// first OpenView on it fails with its own message.
std::shared_ptr<Database> GetActiveDatabase(MSIHANDLE installer);

// A view on the database handle the action's session opened: the queries of
// one action need no database handle of their own. Fails as OpenView does.
std::shared_ptr<View> OpenSessionView(const std::wstring& query);

// Formats text against the installation. The installer's multi-string
// separator (an embedded NUL) comes back as "[~]".
std::wstring FormatText(MSIHANDLE installer, const std::wstring& text);

namespace table_state {
constexpr int32_t Exists = 0;
constexpr int32_t Absent = 1;
}  // namespace table_state

// 0 when the table exists in the session's database, 1 when it does not,
// 0x80004005 when the question could not be answered. Never throws.
int32_t TableExists(const std::wstring& name);

// The reader's answer to a TableExists result other than 0 or 1.
[[noreturn]] void ThrowTableQueryFailed(int32_t code, const std::wstring& name);

// How a table reader treats an absent table: the package's own tables log
// "There is no '%s' table.", the per-package detail tables say nothing.
enum class MissingTable { Log, Silent };

// The start every table reader shares: TableExists, then the query opened on
// the active database and executed (with the key as its one parameter when
// given). An absent table gives an empty pointer; an unanswerable question
// throws "Failed to determines existing the table: ".
std::shared_ptr<View> OpenTableQuery(const std::wstring& table, const std::wstring& query, MissingTable missing);
std::shared_ptr<View> OpenTableQuery(const std::wstring& table, const std::wstring& query, MissingTable missing,
                                     const std::wstring& key);

}  // namespace setup
