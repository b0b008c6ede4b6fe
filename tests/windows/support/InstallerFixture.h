#pragma once
// In-process installer sessions for the Windows tests: a small MSI database
// built from table text (the installer's IDT format), opened as a real
// session of Wine's msi.dll, with every message the code sends recorded and
// chosen messages answered.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ddtest {

// A directory under the prefix's temp folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

void WriteTextFile(const std::wstring& path, const std::string& utf8);
void WriteBinaryFile(const std::wstring& path, const std::vector<unsigned char>& bytes);
std::vector<unsigned char> ReadBinaryFile(const std::wstring& path);
bool FileExists(const std::wstring& path);
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);

// One IDT table: line 1 column names, line 2 column types, line 3 the table
// name and its keys, then one line per row; fields are tab-separated.
struct TableText {
    std::string name;
    std::string text;
};

// The tables every session needs (Property with a product code, Directory
// with TARGETDIR, and empty standard tables); tests add or replace tables.
std::vector<TableText> BaseTables();
// A table text from rows of fields, for readability in tests.
TableText MakeTable(const std::string& name, const std::vector<std::string>& columns,
                    const std::vector<std::string>& types, const std::vector<std::string>& keys,
                    const std::vector<std::vector<std::string>>& rows);

// Builds a database file from tables (and optional streams for _Streams /
// Binary rows) and commits it.
std::wstring BuildDatabase(const std::wstring& path, const std::vector<TableText>& tables,
                           const std::map<std::string, std::string>& properties = {});

// Adds rows (Name, Data) with the given bytes as stream data to a table of
// that shape (_Streams or Binary) of an existing database, and commits.
void AddStreams(const std::wstring& databasePath, const std::string& table,
                const std::map<std::string, std::vector<unsigned char>>& streams);

// Runs body on a thread of its own and returns how many installer handles it
// left open there: MsiCloseAllHandles closes (and counts) the handles that
// the calling thread opened and nobody closed.
unsigned RunCountingLeakedHandles(const std::function<void()>& body);

struct Message {
    UINT type = 0;   // the full message type as sent (kind in the top byte)
    UINT kind = 0;   // type & 0xFF000000
    int fieldCount = 0;
    std::vector<std::wstring> strings;  // fields 0..fieldCount as strings
    std::vector<int> integers;          // fields 0..fieldCount as integers (MSI_NULL_INTEGER when none)
    std::vector<bool> isNull;           // fields 0..fieldCount
    std::wstring formatted;             // field 0 formatted against the session, as a log shows it
};

class InstallerSession {
public:
    // Opens the database as an installer session and records its messages.
    explicit InstallerSession(const std::wstring& databasePath);
    ~InstallerSession();
    InstallerSession(const InstallerSession&) = delete;
    InstallerSession& operator=(const InstallerSession&) = delete;

    MSIHANDLE handle() const { return session_; }

    // Reply chosen for each message; the default answers 0 to everything.
    void SetResponder(std::function<int(const Message&)> responder);

    std::vector<Message> Messages() const;
    std::vector<Message> MessagesOfKind(UINT kind) const;
    // Formatted text of every INFO message, in order.
    std::vector<std::wstring> InfoLines() const;
    void ClearMessages();

    // Runs the costing actions so that component states can be read.
    void RunCosting();
    std::wstring Property(const std::wstring& name) const;
    void SetProperty(const std::wstring& name, const std::wstring& value);

private:
    static int WINAPI Handler(LPVOID context, UINT type, MSIHANDLE record);
    int Record(UINT type, MSIHANDLE record);

    MSIHANDLE session_ = 0;
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
    std::function<int(const Message&)> responder_;
    INSTALLUI_HANDLER_RECORD previousHandler_ = nullptr;
};

// Lines of the library's own log (Log) carry "<action> (pid:tid) [time]: ";
// this strips that prefix, or returns the line unchanged.
std::wstring StripLogPrefix(const std::wstring& line);

}  // namespace ddtest
