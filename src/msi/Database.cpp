#include "msi/Database.h"

#include "frame/Exception.h"
#include "frame/Log.h"
#include "frame/HResult.h"
#include "frame/LastError.h"
#include "frame/Session.h"

namespace setup {

namespace {

constexpr int kNullInteger = static_cast<int>(0x80000000u);
constexpr DWORD kStreamChunk = 4096;
constexpr wchar_t kListSeparator[] = L"[~]";
// Room beyond the unformatted text for what its properties expand to.
constexpr size_t kFormatHeadroom = 256;
constexpr size_t kFirstStringBuffer = 256;

[[noreturn]] void ThrowInstallerFailure(UINT result, const wchar_t* message) {
    throw Exception(HResultFromWin32(result), message, std::wstring());
}

}  // namespace

Record::Record(const std::wstring& text) : handle_(MsiCreateRecord(1)) {
    // Should SetString throw, the member closes the new handle on the way out.
    SetString(1, text);
}

void Record::CheckFieldIndex(uint32_t field) const {
    if (field > MsiRecordGetFieldCount(handle_.get())) {
        throw Exception(hresult::InvalidArg, L"The value of an argument is outside the allowable range.", std::wstring());
    }
}

std::wstring Record::GetString(uint32_t field) const {
    CheckFieldIndex(field);
    // Most string columns hold at most 255 characters: this buffer takes
    // them in one read, and a longer value is read again at its size.
    std::vector<wchar_t> buffer(kFirstStringBuffer, L'\0');
    DWORD capacity = static_cast<DWORD>(buffer.size());
    UINT rc = MsiRecordGetStringW(handle_.get(), field, buffer.data(), &capacity);
    if (rc == ERROR_MORE_DATA) {
        buffer.assign(static_cast<size_t>(capacity) + 1, L'\0');
        capacity = static_cast<DWORD>(buffer.size());
        rc = MsiRecordGetStringW(handle_.get(), field, buffer.data(), &capacity);
    }
    if (rc != ERROR_SUCCESS) {
        ThrowInstallerFailure(rc, L"Failed to get string value of a record field.");
    }
    return std::wstring(buffer.data());
}

void Record::SetString(uint32_t field, const std::wstring& text) {
    CheckFieldIndex(field);
    const UINT rc = MsiRecordSetStringW(handle_.get(), field, text.c_str());
    if (rc != ERROR_SUCCESS) {
        ThrowInstallerFailure(rc, L"Failed to sets a record field to a string field.");
    }
}

int32_t Record::GetInteger(uint32_t field, int32_t defaultValue) const {
    CheckFieldIndex(field);
    const int value = MsiRecordGetInteger(handle_.get(), field);
    return value == kNullInteger ? defaultValue : static_cast<int32_t>(value);
}

std::vector<uint8_t> Record::ReadStream() const {
    DWORD size = 0;
    UINT rc = MsiRecordReadStream(handle_.get(), 2, nullptr, &size);
    if (rc != ERROR_SUCCESS) {
        ThrowInstallerFailure(rc, L"Failed to get size of stream.");
    }
    std::vector<uint8_t> data;
    if (size == 0) {
        return data;
    }
    data.resize(size);
    rc = MsiRecordReadStream(handle_.get(), 2, reinterpret_cast<char*>(data.data()), &size);
    if (rc != ERROR_SUCCESS) {
        ThrowInstallerFailure(rc, L"Failed to get record stream.");
    }
    return data;
}

void Record::WriteStreamToFile(const std::wstring& path) const {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw Exception(HResultFromLastError(), L"Failed to create file for stream: " + path, std::wstring());
    }
    char buffer[kStreamChunk];
    DWORD count = kStreamChunk;
    for (;;) {
        // Each read asks for what the previous one returned: full chunks until
        // the short last one, then a read of 0 bytes ends the stream.
        const UINT rc = MsiRecordReadStream(handle_.get(), 2, buffer, &count);
        if (rc != ERROR_SUCCESS) {
            ThrowInstallerFailure(rc, L"Failed to read stream from a record.");
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer, count, &written, nullptr)) {
            throw Exception(HResultFromLastError(), L"Failed to write stream to file: " + path, std::wstring());
        }
        if (count == 0) {
            break;
        }
    }
}

void View::Execute() {
    const UINT rc = MsiViewExecute(handle_.get(), 0);
    if (rc != ERROR_SUCCESS) {
        ThrowInstallerFailure(rc, L"Failed to execute a SQL view query.");
    }
}

void View::Execute(Record parameters) {
    const UINT rc = MsiViewExecute(handle_.get(), parameters.Handle());
    parameters.Close();
    if (rc != ERROR_SUCCESS) {
        ThrowInstallerFailure(rc, L"Failed to execute a SQL view query.");
    }
}

std::shared_ptr<Record> View::Fetch() {
    auto record = std::make_shared<Record>();
    const UINT rc = MsiViewFetch(handle_.get(), record->Put());
    if (rc == ERROR_NO_MORE_ITEMS) {
        return nullptr;
    }
    if (rc != ERROR_SUCCESS) {
        ThrowInstallerFailure(rc, L"Failed to fetch the next sequential record from the view.");
    }
    return record;
}

namespace {

std::shared_ptr<View> OpenViewOn(MSIHANDLE database, const std::wstring& query) {
    auto view = std::make_shared<View>();
    const UINT rc = MsiDatabaseOpenViewW(database, query.c_str(), view->Put());
    if (rc != ERROR_SUCCESS) {
        ThrowInstallerFailure(rc, L"Failed to create a view object.");
    }
    return view;
}

}  // namespace

std::shared_ptr<View> Database::OpenView(const std::wstring& query) { return OpenViewOn(handle_.get(), query); }

std::shared_ptr<View> OpenSessionView(const std::wstring& query) { return OpenViewOn(GetDatabase(), query); }

std::shared_ptr<Database> GetActiveDatabase(MSIHANDLE installer) {
    return std::make_shared<Database>(MsiGetActiveDatabase(installer));
}

namespace {

std::wstring FormatPiece(MSIHANDLE installer, const std::wstring& text) {
    if (text.empty()) {
        return std::wstring();
    }
    Record record(MsiCreateRecord(1));
    record.SetString(0, text);

    // A buffer that holds most results saves the installer a size query.
    std::vector<wchar_t> buffer(text.size() + kFormatHeadroom, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    UINT rc = MsiFormatRecordW(installer, record.Handle(), buffer.data(), &length);
    if (rc == ERROR_MORE_DATA) {
        buffer.assign(static_cast<size_t>(length) + 1, L'\0');
        length = static_cast<DWORD>(buffer.size());
        rc = MsiFormatRecordW(installer, record.Handle(), buffer.data(), &length);
    }
    if (rc != ERROR_SUCCESS) {
        ThrowInstallerFailure(rc, L"Failed formats record field data and properties using a format string.");
    }
    // A multi-string value formats with embedded NULs; "[~]" carries them
    // on as one text that later steps split again.
    const size_t count = length < buffer.size() ? length : buffer.size() - 1;
    std::wstring result;
    result.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (buffer[i] == L'\0') {
            result += kListSeparator;
        } else {
            result += buffer[i];
        }
    }
    return result;
}

}  // namespace

std::wstring FormatText(MSIHANDLE installer, const std::wstring& text) {
    // A custom action running outside the installer's process gets the
    // formatted text back as a NUL-terminated string on some installers
    // (Wine's), which cuts a multi-string at its first separator. The pieces
    // between the separators are formatted one by one instead: the same
    // text either way, since formatting never makes a "[~]" of its own.
    const std::wstring separator = kListSeparator;
    std::wstring result;
    size_t start = 0;
    for (size_t found = text.find(separator); found != std::wstring::npos; found = text.find(separator, start)) {
        result += FormatPiece(installer, text.substr(start, found - start));
        result += separator;
        start = found + separator.size();
    }
    return result + FormatPiece(installer, text.substr(start));
}

int32_t TableExists(const std::wstring& name) {
    Record keys;
    const UINT rc = MsiDatabaseGetPrimaryKeysW(GetDatabase(), name.c_str(), keys.Put());
    if (rc == ERROR_SUCCESS) {
        return table_state::Exists;
    }
    if (rc == ERROR_INVALID_TABLE) {
        return table_state::Absent;
    }
    return hresult::Fail;
}

void ThrowTableQueryFailed(int32_t code, const std::wstring& name) {
    throw Exception(code, L"Failed to determines existing the table: " + name, std::wstring());
}

namespace {

std::shared_ptr<View> OpenTableQueryWith(const std::wstring& table, const std::wstring& query, MissingTable missing,
                                         const std::wstring* key) {
    const int32_t state = TableExists(table);
    if (state == table_state::Absent) {
        if (missing == MissingTable::Log) {
            Log(L"There is no '%s' table.", table);
        }
        return nullptr;
    }
    if (state != table_state::Exists) {
        ThrowTableQueryFailed(state, table);
    }
    std::shared_ptr<View> view = OpenSessionView(query);
    if (key != nullptr) {
        view->Execute(Record(*key));
    } else {
        view->Execute();
    }
    return view;
}

}  // namespace

std::shared_ptr<View> OpenTableQuery(const std::wstring& table, const std::wstring& query, MissingTable missing) {
    return OpenTableQueryWith(table, query, missing, nullptr);
}

std::shared_ptr<View> OpenTableQuery(const std::wstring& table, const std::wstring& query, MissingTable missing,
                                     const std::wstring& key) {
    return OpenTableQueryWith(table, query, missing, &key);
}

}  // namespace setup
