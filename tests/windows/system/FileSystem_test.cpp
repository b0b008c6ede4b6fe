#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frame/Session.h"
#include "system/FileSystem.h"
#include "system/PathText.h"
#include "windows/support/ImportPatch.h"
#include "windows/support/InstallerFixture.h"

namespace {

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool StartsWith(const std::wstring& text, const std::wstring& start) { return text.compare(0, start.size(), start) == 0; }

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

// The helpers log through the installer services: a real session records it.
class FileSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        database_ = ddtest::BuildDatabase(dir_ / L"t.msi", {});
        session_ = std::make_unique<ddtest::InstallerSession>(database_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "FileSystemTest"));
    }
    void TearDown() override {
        // Says what the helpers did when a test went wrong.
        if (HasFailure()) {
            for (const std::wstring& line : Lines()) {
                std::printf("  log: %s\n", ddtest::Narrow(line).c_str());
            }
        }
        setup::Finalize(0);
        session_.reset();
    }

    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> lines;
        for (const std::wstring& line : session_->InfoLines()) {
            lines.push_back(ddtest::StripLogPrefix(line));
        }
        return lines;
    }
    bool Logged(const std::wstring& line) const {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    void MakeFiles(const std::wstring& folder, const std::vector<std::wstring>& names) {
        setup::CreateDirectoryTree(folder);
        for (const std::wstring& name : names) {
            const std::wstring path = setup::JoinPath(folder, name);
            setup::CreateDirectoryTree(setup::GetParentPath(path));
            ddtest::WriteTextFile(path, ddtest::Narrow(name));
        }
    }

    ddtest::TempDir dir_;
    std::wstring database_;
    std::unique_ptr<ddtest::InstallerSession> session_;
};

TEST_F(FileSystemTest, UuidText) {
    const std::wstring uuid = setup::CreateUuidString();
    ASSERT_EQ(36u, uuid.size());
    for (size_t i = 0; i < uuid.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(L'-', uuid[i]);
        } else {
            EXPECT_TRUE((uuid[i] >= L'0' && uuid[i] <= L'9') || (uuid[i] >= L'a' && uuid[i] <= L'f')) << i;
        }
    }
    EXPECT_NE(uuid, setup::CreateUuidString());
}

TEST_F(FileSystemTest, SystemFolders) {
    const std::wstring temp = setup::GetTempFolder();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(L'\\', temp.back());
    EXPECT_TRUE(IsFolder(temp));
    EXPECT_EQ(L"c:\\windows", Lower(setup::GetWindowsFolder()));
}

TEST_F(FileSystemTest, TempFilesAndFoldersCarryTheirPrefix) {
    const std::wstring temp = setup::GetTempFolder();
    for (const wchar_t* prefix : {L"drv", L"cab", L"psm", L"wim"}) {
        SCOPED_TRACE(ddtest::Narrow(prefix));
        const std::wstring file = setup::CreateTempFile(prefix);
        EXPECT_TRUE(IsFile(file));
        EXPECT_TRUE(ddtest::ReadBinaryFile(file).empty());
        EXPECT_EQ(Lower(temp), Lower(setup::GetParentPath(file) + L"\\"));
        EXPECT_TRUE(StartsWith(setup::GetFileNamePart(file), prefix)) << ddtest::Narrow(file);

        const std::wstring folder = setup::CreateTempDirectory(prefix);
        EXPECT_TRUE(IsFolder(folder));
        EXPECT_TRUE(StartsWith(setup::GetFileNamePart(folder), prefix)) << ddtest::Narrow(folder);
        EXPECT_NE(Lower(file), Lower(folder));
        DeleteFileW(file.c_str());
        RemoveDirectoryW(folder.c_str());
    }
}

// Test double for GetTempFileNameW: a failure other than the length limit,
// which Wine does not produce for an existing folder.
UINT WINAPI GetTempFileNameFailingDouble(LPCWSTR, LPCWSTR, UINT, LPWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// Windows refuses folders longer than MAX_PATH - 14 characters with
// ERROR_BUFFER_OVERFLOW; Wine has no such limit and would write past the
// caller's MAX_PATH buffer, so the library refuses such folders itself.
TEST_F(FileSystemTest, TempFileNameOverflowFallsBackToAUuidName) {
    std::wstring folder = dir_.path();
    while (folder.size() <= MAX_PATH - 14) {
        folder += L"\\long-folder-name-part";
    }
    ASSERT_TRUE(setup::CreateDirectoryTree(folder));
    const std::wstring file = setup::GetTempFileNameIn(folder, L"drv");
    ASSERT_EQ(folder, setup::GetParentPath(file));
    const std::wstring name = setup::GetFileNamePart(file);
    ASSERT_EQ(3u + 36u, name.size());
    EXPECT_TRUE(StartsWith(name, L"drv"));
    EXPECT_EQ(L'-', name[3 + 8]);
    EXPECT_TRUE(IsFile(file));
    EXPECT_TRUE(ddtest::ReadBinaryFile(file).empty());

    // A folder of exactly MAX_PATH - 14 characters still gets a short name.
    const std::wstring limit = folder.substr(0, MAX_PATH - 14);
    if (limit.back() != L'\\' && setup::CreateDirectoryTree(limit)) {
        const std::wstring shortName = setup::GetFileNamePart(setup::GetTempFileNameIn(limit, L"drv"));
        EXPECT_TRUE(StartsWith(shortName, L"drv"));
        EXPECT_EQ(L".tmp", Lower(shortName.substr(shortName.size() - 4)));
    }

    // Any other failure names nothing.
    ddtest::ImportPatch patch("kernel32.dll", "GetTempFileNameW", reinterpret_cast<void*>(&GetTempFileNameFailingDouble));
    EXPECT_EQ(L"", setup::GetTempFileNameIn(dir_.path(), L"drv"));
    EXPECT_EQ(L"", setup::CreateTempDirectory(L"drv"));
}

TEST_F(FileSystemTest, TempFileInAMissingFolderIsEmpty) {
    EXPECT_EQ(L"", setup::GetTempFileNameIn(dir_ / L"missing", L"drv"));
}

TEST_F(FileSystemTest, DirectoryTree) {
    const std::wstring deep = dir_ / L"a\\b\\c";
    EXPECT_TRUE(setup::CreateDirectoryTree(deep));
    EXPECT_TRUE(IsFolder(deep));
    EXPECT_TRUE(Logged(L"Create directory '" + (dir_ / L"a") + L"'."));
    EXPECT_TRUE(Logged(L"Create directory '" + deep + L"'."));

    session_->ClearMessages();
    EXPECT_TRUE(setup::CreateDirectoryTree(deep + L"\\"));  // already there: nothing to do
    EXPECT_TRUE(Lines().empty());

    const std::wstring file = dir_ / L"file";
    ddtest::WriteTextFile(file, "x");
    EXPECT_FALSE(setup::CreateDirectoryTree(file));
    EXPECT_TRUE(Logged(L"Failed to create directory '" + file + L"'. Error 0x800700b7."));
    EXPECT_FALSE(setup::CreateDirectoryTree(file + L"\\below"));

    EXPECT_FALSE(setup::CreateDirectoryTree(L""));
    EXPECT_FALSE(setup::CreateDirectoryTree(L"relative"));
}

TEST_F(FileSystemTest, TempFolderWithAcl) {
    const std::wstring sddl = L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)";
    const std::wstring folder = setup::CreateTempDirectoryWithAcl(L"psm", sddl);
    ASSERT_TRUE(IsFolder(folder));
    EXPECT_TRUE(StartsWith(setup::GetFileNamePart(folder), L"psm"));
    EXPECT_TRUE(Logged(L"Create directory '" + folder + L"' '" + sddl + L"'."));
    RemoveDirectoryW(folder.c_str());

    EXPECT_EQ(L"", setup::CreateTempDirectoryWithAcl(L"psm", L"not a descriptor"));
    EXPECT_TRUE(Logged(L"Failed to create security descriptor for string 'not a descriptor'. Error 0x80070057."));
}

// Stands for CreateDirectoryW with a descriptor (Wine keeps none to read
// back): the first name it is given is taken by someone else first.
std::vector<std::pair<std::wstring, std::wstring>> g_made;
unsigned long FolderMakerFindingTheFirstNameTaken(const std::wstring& path, const std::wstring& sddl) {
    g_made.emplace_back(path, sddl);
    if (g_made.size() == 1) {
        CreateDirectoryW(path.c_str(), nullptr);  // someone else's folder, their descriptor
        return ERROR_ALREADY_EXISTS;
    }
    return CreateDirectoryW(path.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
}

TEST_F(FileSystemTest, ANewFolderNeverTakesOverOneThatExists) {
    g_made.clear();
    setup::detail::SetFolderMakerForTesting(FolderMakerFindingTheFirstNameTaken);
    const std::wstring folder = setup::CreateProtectedWorkFolder(L"wim", setup::kProtectedFolderDescriptor);
    setup::detail::SetFolderMakerForTesting(nullptr);
    ASSERT_EQ(2u, g_made.size());
    const std::wstring taken = g_made[0].first;
    EXPECT_NE(Lower(taken), Lower(folder));
    EXPECT_EQ(g_made[1].first, folder);
    EXPECT_EQ(setup::kProtectedFolderDescriptor, g_made[1].second);
    EXPECT_TRUE(IsFolder(folder));
    EXPECT_TRUE(StartsWith(setup::GetFileNamePart(folder), L"wim"));
    EXPECT_TRUE(Logged(L"The directory '" + taken + L"' already exists; another name is taken."));
    RemoveDirectoryW(folder.c_str());
    RemoveDirectoryW(taken.c_str());
}

// A Linux symbolic link made in the build tree by the ctest fixture
// "links": Wine's Windows code cannot make a link (CreateSymbolicLinkW
// creates nothing), but shows a Unix link to a folder as 0x410.
std::wstring LinksFolder() {
    const char* build = std::getenv("DD_BUILD_DIR");
    std::wstring path = L"Z:";
    for (const char* c = build == nullptr ? "" : build; *c != '\0'; ++c) {
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    }
    return path + L"\\links";
}

TEST_F(FileSystemTest, RemovalTakesLinksAsLinksAndNeverWhatTheyPointTo) {
    const std::wstring links = LinksFolder();
    const std::wstring outside = links + L"\\outside";
    struct Case {
        const wchar_t* removed;  // the folder given to RemoveFiles
        const wchar_t* link;     // the link that must be there first
    } const cases[] = {
        {L"\\victim", L"\\victim\\link"},          // a link inside the folder
        {L"\\linked-root", L"\\linked-root"},       // the folder itself replaced by a link
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ddtest::Narrow(c.removed));
        const DWORD attributes = GetFileAttributesW((links + c.link).c_str());
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << "the ctest fixture 'links' did not run";
        ASSERT_EQ(0x410u, attributes & 0x410u);
        ASSERT_TRUE(IsFile(outside + L"\\kept.txt"));

        setup::RemoveFiles(links + c.removed, L"*", true);
        // Whatever became of the link, the folder it points to keeps its files.
        EXPECT_TRUE(IsFile(outside + L"\\kept.txt"));
        EXPECT_TRUE(Logged(L"Remove link '" + links + c.link + L"'."));
        for (const std::wstring& line : Lines()) {
            EXPECT_EQ(std::wstring::npos, line.find(L"kept.txt")) << ddtest::Narrow(line);
        }
        // Windows removes the link itself; Wine refuses RemoveDirectoryW on a Unix link with 145
        // (docs/testing-under-wine.md), so here it stays.
    }
    // The folder's own files went.
    EXPECT_FALSE(IsFile(links + L"\\victim\\sub\\a.txt"));
}

TEST_F(FileSystemTest, CopyDirectoryWithAndWithoutSubfolders) {
    const std::wstring source = dir_ / L"source";
    MakeFiles(source, {L"one.inf", L"two.sys", L"sub\\three.cat"});

    const std::wstring flat = dir_ / L"flat\\target";
    EXPECT_TRUE(setup::CopyDirectory(source, flat, false));
    EXPECT_TRUE(IsFile(flat + L"\\one.inf"));
    EXPECT_TRUE(IsFile(flat + L"\\two.sys"));
    EXPECT_FALSE(IsFolder(flat + L"\\sub"));
    EXPECT_TRUE(Logged(L"Copy file '" + source + L"\\one.inf' -> '" + flat + L"\\one.inf'."));

    const std::wstring deep = dir_ / L"deep";
    ASSERT_TRUE(setup::CreateDirectoryTree(deep));
    ddtest::WriteTextFile(deep + L"\\one.inf", "older content");  // overwritten
    EXPECT_TRUE(setup::CopyDirectory(source, deep, true));
    EXPECT_EQ(ddtest::ReadBinaryFile(source + L"\\one.inf"), ddtest::ReadBinaryFile(deep + L"\\one.inf"));
    EXPECT_TRUE(IsFile(deep + L"\\sub\\three.cat"));
}

TEST_F(FileSystemTest, CopyDirectoryFromAMissingFolder) {
    const std::wstring missing = dir_ / L"missing";
    EXPECT_FALSE(setup::CopyDirectory(missing, dir_ / L"target", false));
    EXPECT_TRUE(Logged(L"Failed to find files in directory '" + missing + L"'. Error 0x80070003."));
}

TEST_F(FileSystemTest, RemoveFilesOfAMissingFolderIsDone) {
    const std::wstring missing = dir_ / L"missing";
    EXPECT_TRUE(setup::RemoveFiles(missing, L"*.sys", false));
    EXPECT_TRUE(Logged(L"The file(s) '" + missing + L"\\*.sys' was not found."));
}

TEST_F(FileSystemTest, RemoveFilesByMaskKeepsTheFolder) {
    const std::wstring folder = dir_ / L"drivers";
    MakeFiles(folder, {L"a.sys", L"b.sys", L"c.inf", L"sub\\d.sys"});
    EXPECT_TRUE(setup::RemoveFiles(folder, L"*.sys", false));
    EXPECT_FALSE(IsFile(folder + L"\\a.sys"));
    EXPECT_FALSE(IsFile(folder + L"\\b.sys"));
    EXPECT_TRUE(IsFile(folder + L"\\c.inf"));
    EXPECT_TRUE(IsFile(folder + L"\\sub\\d.sys"));  // no recursion
    EXPECT_TRUE(IsFolder(folder));
    EXPECT_TRUE(Logged(L"Remove file '" + folder + L"\\a.sys'."));
}

TEST_F(FileSystemTest, RemoveFilesOfEverythingRemovesTheTree) {
    const std::wstring folder = dir_ / L"early";
    MakeFiles(folder, {L"a.sys", L"sub\\b.inf", L"sub\\deeper\\c.cat"});
    EXPECT_TRUE(setup::RemoveFiles(folder, L"*", true));
    EXPECT_FALSE(IsFolder(folder));
    EXPECT_TRUE(Logged(L"Remove directory '" + folder + L"\\sub\\deeper'."));
    EXPECT_TRUE(Logged(L"Remove directory '" + folder + L"'."));
}

TEST_F(FileSystemTest, RemoveFolderThatIsNotEmpty) {
    const std::wstring folder = dir_ / L"full";
    MakeFiles(folder, {L"a.sys"});
    EXPECT_FALSE(setup::RemoveFolder(folder));
    EXPECT_TRUE(Logged(L"Failed to remove directory '" + folder + L"'. Error 0x80070091."));
    // Without deleting files (empty mask) the folder cannot go either.
    EXPECT_FALSE(setup::RemoveFiles(folder, L"", false));
    EXPECT_TRUE(IsFile(folder + L"\\a.sys"));
}

}  // namespace
