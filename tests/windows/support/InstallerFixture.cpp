#include "windows/support/InstallerFixture.h"

#include <msidefs.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ddtest {

namespace {

std::atomic<unsigned> g_tempCounter{0};

void Check(UINT rc, const char* what) {
    if (rc != ERROR_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed with " + std::to_string(rc));
    }
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

std::string Join(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) {
            line += '\t';
        }
        line += fields[i];
    }
    return line;
}

std::wstring RecordString(MSIHANDLE record, UINT field) {
    DWORD size = 0;
    wchar_t empty[1] = {};
    MsiRecordGetStringW(record, field, empty, &size);
    std::wstring value(size + 1, L'\0');
    size += 1;
    MsiRecordGetStringW(record, field, value.data(), &size);
    value.resize(size);
    return value;
}

}  // namespace

TempDir::TempDir() {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + L"ddtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(g_tempCounter++);
    if (!CreateDirectoryW(path_.c_str(), nullptr)) {
        throw std::runtime_error("cannot create a temp directory");
    }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    if (wide.empty()) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), n, nullptr, nullptr);
    return narrow;
}

void WriteTextFile(const std::wstring& path, const std::string& utf8) {
    WriteBinaryFile(path, std::vector<unsigned char>(utf8.begin(), utf8.end()));
}

void WriteBinaryFile(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create " + Narrow(path));
    }
    DWORD written = 0;
    const BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok) {
        throw std::runtime_error("cannot write " + Narrow(path));
    }
}

std::vector<unsigned char> ReadBinaryFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + Narrow(path));
    }
    std::vector<unsigned char> bytes(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!bytes.empty()) {
        ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    }
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TableText MakeTable(const std::string& name, const std::vector<std::string>& columns,
                    const std::vector<std::string>& types, const std::vector<std::string>& keys,
                    const std::vector<std::vector<std::string>>& rows) {
    std::string text = Join(columns) + "\r\n" + Join(types) + "\r\n";
    std::vector<std::string> third{name};
    third.insert(third.end(), keys.begin(), keys.end());
    text += Join(third) + "\r\n";
    for (const auto& row : rows) {
        text += Join(row) + "\r\n";
    }
    return TableText{name, text};
}

std::vector<TableText> BaseTables() {
    return {
        MakeTable("Directory", {"Directory", "Directory_Parent", "DefaultDir"}, {"s72", "S72", "l255"}, {"Directory"},
                  {{"TARGETDIR", "", "SourceDir"}}),
        MakeTable("Component", {"Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"},
                  {"s72", "S38", "s72", "i2", "S255", "S72"}, {"Component"}, {}),
        MakeTable("Feature",
                  {"Feature", "Feature_Parent", "Title", "Description", "Display", "Level", "Directory_", "Attributes"},
                  {"s38", "S38", "L64", "L255", "I2", "i2", "S72", "i2"}, {"Feature"}, {}),
        MakeTable("FeatureComponents", {"Feature_", "Component_"}, {"s38", "s72"}, {"Feature_", "Component_"}, {}),
        MakeTable("File", {"File", "Component_", "FileName", "FileSize", "Version", "Language", "Attributes", "Sequence"},
                  {"s72", "s72", "l255", "i4", "S72", "S20", "I2", "i4"}, {"File"}, {}),
        MakeTable("Media", {"DiskId", "LastSequence", "DiskPrompt", "Cabinet", "VolumeLabel", "Source"},
                  {"i2", "i4", "L64", "S255", "S32", "S72"}, {"DiskId"}, {}),
    };
}

std::wstring BuildDatabase(const std::wstring& path, const std::vector<TableText>& tables,
                           const std::map<std::string, std::string>& properties) {
    std::map<std::string, std::string> props = {
        {"ProductCode", "{8D5A2C4E-1F3B-4A6C-9E7D-0B1C2D3E4F50}"},
        {"ProductName", "driverdeploy test"},
        {"ProductVersion", "1.0.0"},
        {"Manufacturer", "driverdeploy"},
        {"ProductLanguage", "1033"},
    };
    for (const auto& [k, v] : properties) {
        props[k] = v;
    }
    std::vector<std::vector<std::string>> propertyRows;
    for (const auto& [k, v] : props) {
        propertyRows.push_back({k, v});
    }

    std::map<std::string, TableText> byName;
    for (const TableText& t : BaseTables()) {
        byName[t.name] = t;
    }
    byName["Property"] = MakeTable("Property", {"Property", "Value"}, {"s72", "l0"}, {"Property"}, propertyRows);
    for (const TableText& t : tables) {
        byName[t.name] = t;  // a test's own table replaces the base one
    }

    DeleteFileW(path.c_str());
    MSIHANDLE db = 0;
    Check(MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_CREATE, &db), "MsiOpenDatabaseW");
    TempDir idt;
    for (const auto& [name, table] : byName) {
        const std::wstring file = Widen(name) + L".idt";
        WriteTextFile(idt / file, table.text);
        const UINT rc = MsiDatabaseImportW(db, idt.path().c_str(), file.c_str());
        if (rc != ERROR_SUCCESS) {
            MsiCloseHandle(db);
            throw std::runtime_error("importing table " + name + " failed with " + std::to_string(rc));
        }
    }

    MSIHANDLE summary = 0;
    Check(MsiGetSummaryInformationW(db, nullptr, 20, &summary), "MsiGetSummaryInformationW");
    MsiSummaryInfoSetPropertyW(summary, PID_TEMPLATE, VT_LPSTR, 0, nullptr, L"x64;1033");
    MsiSummaryInfoSetPropertyW(summary, PID_REVNUMBER, VT_LPSTR, 0, nullptr, L"{6A1E9C3B-2D4F-4B7A-8C9E-1F2A3B4C5D6E}");
    MsiSummaryInfoSetPropertyW(summary, PID_PAGECOUNT, VT_I4, 200, nullptr, nullptr);
    MsiSummaryInfoSetPropertyW(summary, PID_WORDCOUNT, VT_I4, 2, nullptr, nullptr);
    MsiSummaryInfoPersist(summary);
    MsiCloseHandle(summary);
    Check(MsiDatabaseCommit(db), "MsiDatabaseCommit");
    MsiCloseHandle(db);
    return path;
}

void AddStreams(const std::wstring& databasePath, const std::string& table,
                const std::map<std::string, std::vector<unsigned char>>& streams) {
    MSIHANDLE db = 0;
    Check(MsiOpenDatabaseW(databasePath.c_str(), MSIDBOPEN_TRANSACT, &db), "MsiOpenDatabaseW");
    MSIHANDLE view = 0;
    const std::wstring query = L"SELECT `Name`, `Data` FROM `" + Widen(table) + L"`";
    UINT rc = MsiDatabaseOpenViewW(db, query.c_str(), &view);
    TempDir files;
    for (auto it = streams.begin(); rc == ERROR_SUCCESS && it != streams.end(); ++it) {
        const std::wstring file = files / L"stream.bin";
        WriteBinaryFile(file, it->second);
        MSIHANDLE record = MsiCreateRecord(2);
        MsiRecordSetStringW(record, 1, Widen(it->first).c_str());
        rc = MsiRecordSetStreamW(record, 2, file.c_str());
        if (rc == ERROR_SUCCESS) {
            rc = MsiViewModify(view, MSIMODIFY_INSERT, record);
        }
        MsiCloseHandle(record);
    }
    if (view != 0) {
        MsiCloseHandle(view);
    }
    if (rc == ERROR_SUCCESS) {
        rc = MsiDatabaseCommit(db);
    }
    MsiCloseHandle(db);
    Check(rc, "adding streams");
}

unsigned RunCountingLeakedHandles(const std::function<void()>& body) {
    unsigned leaked = 0;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            body();
        } catch (...) {
            failure = std::current_exception();
        }
        leaked = MsiCloseAllHandles();
    });
    worker.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return leaked;
}

InstallerSession::InstallerSession(const std::wstring& databasePath) {
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    Check(MsiOpenPackageW(databasePath.c_str(), &session_), "MsiOpenPackageW");
    const DWORD filter = INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING | INSTALLLOGMODE_USER |
                         INSTALLLOGMODE_INFO | INSTALLLOGMODE_PROGRESS | INSTALLLOGMODE_ACTIONSTART |
                         INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_COMMONDATA;
    MsiSetExternalUIRecord(&InstallerSession::Handler, filter, this, &previousHandler_);
}

InstallerSession::~InstallerSession() {
    MsiSetExternalUIRecord(nullptr, 0, nullptr, nullptr);
    if (session_ != 0) {
        MsiCloseHandle(session_);
    }
}

void InstallerSession::SetResponder(std::function<int(const Message&)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

int WINAPI InstallerSession::Handler(LPVOID context, UINT type, MSIHANDLE record) {
    return static_cast<InstallerSession*>(context)->Record(type, record);
}

int InstallerSession::Record(UINT type, MSIHANDLE record) {
    Message m;
    m.type = type;
    m.kind = type & 0xFF000000u;
    if (record != 0) {
        m.fieldCount = static_cast<int>(MsiRecordGetFieldCount(record));
        for (int i = 0; i <= m.fieldCount; ++i) {
            m.isNull.push_back(MsiRecordIsNull(record, static_cast<UINT>(i)) != 0);
            m.strings.push_back(RecordString(record, static_cast<UINT>(i)));
            m.integers.push_back(MsiRecordGetInteger(record, static_cast<UINT>(i)));
        }
        if (m.kind == INSTALLMESSAGE_INFO && !m.strings.empty()) {
            DWORD size = 0;
            wchar_t empty[1] = {};
            MsiFormatRecordW(session_, record, empty, &size);
            std::wstring formatted(size + 1, L'\0');
            size += 1;
            MsiFormatRecordW(session_, record, formatted.data(), &size);
            formatted.resize(size);
            m.formatted = formatted;
        }
    }
    std::function<int(const Message&)> responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(m);
        responder = responder_;
    }
    return responder ? responder(m) : 0;
}

std::vector<Message> InstallerSession::Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<Message> InstallerSession::MessagesOfKind(UINT kind) const {
    std::vector<Message> out;
    for (const Message& m : Messages()) {
        if (m.kind == kind) {
            out.push_back(m);
        }
    }
    return out;
}

std::vector<std::wstring> InstallerSession::InfoLines() const {
    std::vector<std::wstring> out;
    for (const Message& m : MessagesOfKind(INSTALLMESSAGE_INFO)) {
        out.push_back(m.formatted);
    }
    return out;
}

void InstallerSession::ClearMessages() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

void InstallerSession::RunCosting() {
    Check(MsiDoActionW(session_, L"CostInitialize"), "CostInitialize");
    Check(MsiDoActionW(session_, L"FileCost"), "FileCost");
    Check(MsiDoActionW(session_, L"CostFinalize"), "CostFinalize");
}

std::wstring InstallerSession::Property(const std::wstring& name) const {
    DWORD size = 0;
    wchar_t empty[1] = {};
    MsiGetPropertyW(session_, name.c_str(), empty, &size);
    std::wstring value(size + 1, L'\0');
    size += 1;
    MsiGetPropertyW(session_, name.c_str(), value.data(), &size);
    value.resize(size);
    return value;
}

void InstallerSession::SetProperty(const std::wstring& name, const std::wstring& value) {
    Check(MsiSetPropertyW(session_, name.c_str(), value.c_str()), "MsiSetPropertyW");
}

std::wstring StripLogPrefix(const std::wstring& line) {
    // "<action> (pid:tid) [hh:mm:ss:mmm]: message"
    const size_t open = line.find(L" (");
    const size_t close = line.find(L"]: ");
    if (open == std::wstring::npos || close == std::wstring::npos || close < open) {
        return line;
    }
    return line.substr(close + 3);
}

}  // namespace ddtest
