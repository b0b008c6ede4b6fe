// Service protection inside a real installer session: the table reader, the
// two selection rules, and protecting / unprotecting against Wine's service
// manager and a recorder program standing for a service's unprotect program.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/Session.h"
#include "system/FileSystem.h"
#include "system/PathText.h"
#include "tables/ServiceConfigProtectionTable.h"
#include "tables/ServiceProtection.h"
#include "windows/support/ImportPatch.h"
#include "windows/support/InstallerFixture.h"
#include "windows/support/CatchException.h"

namespace {

using ddtest::MakeTable;
using setup::ServiceConfigProtectionRecord;

const std::vector<uint8_t> kProgram = {'M', 'Z', 0x90, 0, 3, 0};

std::vector<ddtest::TableText> ProtectionTables(const std::vector<std::vector<std::string>>& rows) {
    return {
        MakeTable("Component", {"Component", "ComponentId", "Directory_", "Attributes", "Condition", "KeyPath"},
                  {"s72", "S38", "s72", "i2", "S255", "S72"}, {"Component"},
                  {{"Installed", "{2B6C9D1E-3F4A-4B5C-8D6E-7F8091A2B3C4}", "TARGETDIR", "0", "", ""},
                   {"Orphan", "{3C7DAE2F-4A5B-4C6D-9E7F-8091A2B3C4D5}", "TARGETDIR", "0", "", ""}}),
        MakeTable("Feature",
                  {"Feature", "Feature_Parent", "Title", "Description", "Display", "Level", "Directory_", "Attributes"},
                  {"s38", "S38", "L64", "L255", "I2", "i2", "S72", "i2"}, {"Feature"},
                  {{"Main", "", "Main", "", "1", "1", "TARGETDIR", "0"}}),
        MakeTable("FeatureComponents", {"Feature_", "Component_"}, {"s38", "s72"}, {"Feature_", "Component_"},
                  {{"Main", "Installed"}}),
        MakeTable("Binary", {"Name", "Data"}, {"s72", "v0"}, {"Name"}, {}),
        MakeTable("ServiceConfigProtection",
                  {"ServiceConfigProtection", "Name", "Binary_", "UnprotectCommand", "Attributes", "Component_", "Condition"},
                  {"s72", "s255", "S72", "S255", "I4", "s72", "S255"}, {"ServiceConfigProtection"}, rows),
    };
}

// A session on a package of the given ServiceConfigProtection rows (no
// table when rows is empty and withTable false), costed, with the library's
// services started.
class ProtectionSession {
public:
    explicit ProtectionSession(const std::vector<std::vector<std::string>>& rows, bool withTable = true) {
        std::vector<ddtest::TableText> tables = ProtectionTables(rows);
        if (!withTable) {
            tables.pop_back();
        }
        path_ = ddtest::BuildDatabase(dir_ / L"protection.msi", tables, {{"SVC", "ddSvc"}, {"TOOL", "unlock.exe"}});
        ddtest::AddStreams(path_, "Binary", {{"prog", std::vector<unsigned char>(kProgram.begin(), kProgram.end())}});
        session_ = std::make_unique<ddtest::InstallerSession>(path_);
        session_->RunCosting();
        EXPECT_EQ(0, setup::Initialize(session_->handle(), "ProtectionTest"));
        session_->ClearMessages();
    }
    ~ProtectionSession() { setup::Finalize(0); }

    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> out;
        for (const std::wstring& line : session_->InfoLines()) {
            out.push_back(ddtest::StripLogPrefix(line));
        }
        return out;
    }
    bool Logged(const std::wstring& line) const {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    void Clear() { session_->ClearMessages(); }
    const ddtest::TempDir& dir() const { return dir_; }

private:
    ddtest::TempDir dir_;
    std::wstring path_;
    std::unique_ptr<ddtest::InstallerSession> session_;
};

std::wstring RecorderPath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"dd_test_recorder.exe";
}

std::wstring ReadRecord(const std::wstring& path) {
    const std::vector<unsigned char> bytes = ddtest::ReadBinaryFile(path);
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    }
    return text;
}

// The path named by the "Extracting binary to '...'..." line.
std::wstring ExtractedPath(const std::vector<std::wstring>& lines) {
    const std::wstring head = L"Extracting binary to '";
    for (const std::wstring& line : lines) {
        if (line.rfind(head, 0) == 0 && line.size() > head.size() + 4) {
            return line.substr(head.size(), line.size() - head.size() - 4);
        }
    }
    return std::wstring();
}

ServiceConfigProtectionRecord WithProgram(const std::wstring& command) {
    ServiceConfigProtectionRecord record;
    record.id = L"P1";
    record.name = L"ddSvc";
    record.uptcmd = command;
    record.zbin = ddtest::ReadBinaryFile(RecorderPath());
    return record;
}

TEST(ServiceProtection, ReaderFormatsColumnsAndReadsTheBinaryProgram) {
    ProtectionSession s({{"P1", "[SVC]", "prog", "[TOOL] /off [SVC]", "", "Installed", "[SVC]=1"},
                         {"P2", "other", "", "", "1", "Orphan", ""}});
    const std::vector<ServiceConfigProtectionRecord> records = setup::ReadServiceConfigProtectionTable();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ((ServiceConfigProtectionRecord{L"P1", L"ddSvc", kProgram, L"unlock.exe /off ddSvc", 0, L"Installed", L"[SVC]=1"}),
              records[0]);
    EXPECT_EQ((ServiceConfigProtectionRecord{L"P2", L"other", {}, L"", 1, L"Orphan", L""}), records[1]);
    EXPECT_EQ((std::vector<std::wstring>{L"The service protection configuration row 'P1' was successfully read.",
                                         L"The service protection configuration row 'P2' was successfully read."}),
              s.Lines());
}

TEST(ServiceProtection, ReaderFailuresAndTheMissingTable) {
    {
        ProtectionSession s({}, false);
        EXPECT_TRUE(setup::ReadServiceConfigProtectionTable().empty());
        EXPECT_EQ(std::vector<std::wstring>{L"There is no 'ServiceConfigProtection' table."}, s.Lines());
    }
    const struct {
        const char* name;
        std::vector<std::string> row;
        int32_t code;
        std::wstring message;
    } cases[] = {
        {"Binary_ without a row", {"P1", "ddSvc", "nosuch", "x", "", "Installed", ""}, static_cast<int32_t>(0x80070006),
         L"Failed to extract from binary: nosuch"},
        {"id with a list separator", {"P;1", "ddSvc", "", "x", "", "Installed", ""}, static_cast<int32_t>(0x8007000D),
         L"Failed to validate the ServiceConfigProtection row 'P;1'. Its key contains the reserved character ';'."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProtectionSession s({c.row});
        const setup::Exception e = ddtest::CatchSetupException([] { setup::ReadServiceConfigProtectionTable(); });
        EXPECT_EQ(c.code, e.Code());
        EXPECT_EQ(c.message, e.Message());
    }
}

TEST(ServiceProtection, SelectionRules) {
    // After costing "Installed" is to be installed (to-do 1) and "Orphan",
    // in no feature, has nothing to do (to-do 0).
    ProtectionSession s({});
    const struct {
        ServiceConfigProtectionRecord record;
        bool protect;
        std::wstring protectLine;
        bool unprotect;
        std::wstring unprotectLine;
    } cases[] = {
        {{L"a", L"s", {}, L"cmd", 0, L"Installed", L""}, true, L"Need to protect service 'a'. Component to do 1.", false,
         L"Skip unprotect service 'a'. Component is not marked to uninstall or reinstall."},
        {{L"b", L"s", {}, L"cmd", 0, L"Installed", L"1=0"}, false, L"Skip protect service 'b'. Condition is '0'.", false,
         L"Skip unprotect service 'b'. Component is not marked to uninstall or reinstall."},
        {{L"c", L"s", {}, L"cmd", 0, L"Orphan", L""}, false, L"Skip protect service 'c' for null-action component.", false,
         L"Skip unprotect service 'c' for null-action component."},
        {{L"d", L"s", {}, L"cmd", 1, L"Orphan", L""}, true, L"Need to protect service 'd'. Component to do 0.", true,
         L"Need to unprotect service 'd'. Component to do 0."},
        {{L"e", L"s", {}, L"cmd", 1, L"Orphan", L"1=1"}, true, L"Need to protect service 'e'. Component to do 0.", true,
         L"Need to unprotect service 'e'. Component to do 0."},
        {{L"f", L"s", {}, L"cmd", 1, L"Orphan", L"1=0"}, false, L"Skip protect service 'f'. Condition is '0'.", false,
         L"Skip unprotect service 'f'. Condition is '0'."},
        {{L"g", L"s", {}, L"", 1, L"Orphan", L""}, true, L"Need to protect service 'g'. Component to do 0.", false,
         L"Skip unprotect service 'g'. The unprotect command not specified."},
        {{L"h", L"s", {}, L"cmd", 1, L"Orphan", L"((("}, false, L"Skip protect service 'h'. Condition is '3'.", false,
         L"Skip unprotect service 'h'. Condition is '3'."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.record.id));
        s.Clear();
        EXPECT_EQ(c.protect, setup::ShouldProtectService(c.record));
        EXPECT_EQ(std::vector<std::wstring>{c.protectLine}, s.Lines());
        s.Clear();
        EXPECT_EQ(c.unprotect, setup::ShouldUnprotectService(c.record));
        EXPECT_EQ(std::vector<std::wstring>{c.unprotectLine}, s.Lines());
    }
}

TEST(ServiceProtection, StoredProgramRunsAsQuotedPathSpaceCommandAndIsRemovedAfterwards) {
    ProtectionSession s({});
    const std::wstring record = s.dir() / L"record.txt";
    const struct {
        const char* name;
        std::wstring command;
        bool fails;
    } cases[] = {
        {"command succeeds", L"\"" + record + L"\"", false},
        {"command fails", L"\"" + record + L"\" fail", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(record.c_str());
        s.Clear();
        const ServiceConfigProtectionRecord r = WithProgram(c.command);
        ASSERT_FALSE(r.zbin.empty());
        if (c.fails) {
            ddtest::CatchSetupException([&] { setup::UnprotectService(r); });
        } else {
            EXPECT_NO_THROW(setup::UnprotectService(r));
        }
        const std::wstring temp = ExtractedPath(s.Lines());
        ASSERT_FALSE(temp.empty());
        EXPECT_EQ(0u, setup::GetFileNamePart(temp).find(L"psm")) << ddtest::Narrow(temp);
        EXPECT_EQ(L"\"" + temp + L"\" " + c.command, ReadRecord(record));
        EXPECT_FALSE(ddtest::FileExists(temp));
        EXPECT_TRUE(s.Logged(L"Remove file '" + temp + L"'."));
        // The program lies alone in a folder of its own, made with the
        // protected descriptor, and the folder goes with it.
        const std::wstring folder = setup::GetParentPath(temp);
        EXPECT_EQ(0u, setup::GetFileNamePart(folder).find(L"psm")) << ddtest::Narrow(folder);
        EXPECT_TRUE(s.Logged(L"Create directory '" + folder + L"' '" + setup::kProtectedFolderDescriptor + L"'."));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str())) << ddtest::Narrow(folder);
        EXPECT_TRUE(s.Logged(L"Remove directory '" + folder + L"'."));
        EXPECT_EQ(!c.fails, s.Logged(L"The service 'P1' was successfully unprotected."));
    }
}

TEST(ServiceProtection, CommandWithoutProgramRunsUnchangedAndNoCommandIsSkipped) {
    ProtectionSession s({});
    const std::wstring record = s.dir() / L"record.txt";
    ServiceConfigProtectionRecord r;
    r.id = L"P2";
    r.uptcmd = L"\"" + RecorderPath() + L"\" \"" + record + L"\"";
    setup::UnprotectService(r);
    EXPECT_EQ(r.uptcmd, ReadRecord(record));
    EXPECT_TRUE(s.Logged(L"The service 'P2' was successfully unprotected."));

    s.Clear();
    r.uptcmd.clear();
    r.zbin = kProgram;
    EXPECT_NO_THROW(setup::UnprotectService(r));
    EXPECT_EQ(std::vector<std::wstring>{L"Skip unprotecting service 'P2'. The unprotect command was not specified."}, s.Lines());
}

// Doubles for write failures Wine never produces on its own file system.
BOOL WINAPI WriteFileFailingDouble(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// The real WriteFile while the patch lives: calling it by name would come
// back through the patched import.
using WriteFileFn = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
WriteFileFn g_realWriteFile = nullptr;

BOOL WINAPI WriteFileShortDouble(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    return g_realWriteFile(file, data, size > 0 ? size - 1 : 0, written, overlapped);
}

TEST(ServiceProtection, ProgramNotWrittenWholeIsNeverRunAndIsRemoved) {
    ProtectionSession s({});
    const std::wstring record = s.dir() / L"record.txt";
    const struct {
        const char* name;
        void* replacement;
        int32_t code;
    } cases[] = {
        {"failed write", reinterpret_cast<void*>(&WriteFileFailingDouble), static_cast<int32_t>(0x80070070)},
        {"short write", reinterpret_cast<void*>(&WriteFileShortDouble), static_cast<int32_t>(0x8007001D)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        s.Clear();
        const ServiceConfigProtectionRecord r = WithProgram(L"\"" + record + L"\"");
        setup::Exception e(0, L"", L"");
        {
            ddtest::ImportPatch patch("kernel32.dll", "WriteFile", c.replacement);
            g_realWriteFile = reinterpret_cast<WriteFileFn>(patch.original());
            e = ddtest::CatchSetupException([&] { setup::UnprotectService(r); });
        }
        const std::wstring temp = ExtractedPath(s.Lines());
        ASSERT_FALSE(temp.empty());
        EXPECT_EQ(c.code, e.Code());
        EXPECT_EQ(L"Failed to write file: " + temp, e.Message());
        EXPECT_FALSE(ddtest::FileExists(record)) << "the program ran";
        EXPECT_FALSE(ddtest::FileExists(temp));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(setup::GetParentPath(temp).c_str()));
    }
}

TEST(ServiceProtection, ProtectingFailsUnderWineAndTheStrictListLogsTheRow) {
    ProtectionSession s({});
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = CreateServiceW(manager, L"ddProtected", L"ddProtected", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\windows\\system32\\ddprot.exe",
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, service);

    const std::vector<ServiceConfigProtectionRecord> records = {
        {L"A", L"ddNoSuchService", {}, L"", 0, L"", L""},
        {L"B", L"ddProtected", {}, L"", 0, L"", L""},
    };
    const setup::Exception missing = ddtest::CatchSetupException([&] { setup::ProtectServiceList(records, false); });
    EXPECT_EQ(static_cast<int32_t>(0x80070424), missing.Code());
    EXPECT_EQ(L"Failed to open service: ddNoSuchService", missing.Message());
    EXPECT_TRUE(s.Logged(L"Failed to register 'A'. Failed to open service: ddNoSuchService Error 0x80070424."));
    EXPECT_FALSE(s.Logged(L"Protecting service 'B'..."));

    // Wine refuses launch protection (1733); the lenient list goes on silently.
    s.Clear();
    EXPECT_NO_THROW(setup::ProtectServiceList(records, true));
    EXPECT_EQ((std::vector<std::wstring>{L"Protecting service 'A'...", L"Protecting service 'B'...",
                                         L"Mark service 'ddProtected' as protected."}),
              s.Lines());
    const setup::Exception refused = ddtest::CatchSetupException([&] { setup::ProtectService(records[1]); });
    EXPECT_EQ(static_cast<int32_t>(0x800706C5), refused.Code());
    EXPECT_EQ(L"Failed to change protection type of service.", refused.Message());

    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

}  // namespace
