#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/PathText.h"

namespace {

struct PathCase {
    const wchar_t* path;
    const wchar_t* parent;
    const wchar_t* fileName;
    const wchar_t* parentDirectory;
};

}  // namespace

TEST(PathText, JoinPath) {
    EXPECT_EQ(L"x", setup::JoinPath(L"", L"x"));
    EXPECT_EQ(L"C:\\a\\x", setup::JoinPath(L"C:\\a\\", L"x"));
    EXPECT_EQ(L"C:\\a\\x", setup::JoinPath(L"C:\\a", L"x"));
    EXPECT_EQ(L"C:/a/x", setup::JoinPath(L"C:/a/", L"x"));
    EXPECT_EQ(L"C:\\a\\", setup::JoinPath(L"C:\\a", L""));
}

TEST(PathText, TakingPathsApart) {
    const PathCase cases[] = {
        {L"C:\\a\\b.inf", L"C:\\a", L"b.inf", L"C:\\a"},
        {L"b.inf", L"", L"b.inf", L""},
        {L"C:\\a\\b\\", L"C:\\a\\b", L"", L"C:\\a"},
        {L"C:/a/b", L"C:/a", L"b", L"C:/a"},
        {L"", L"", L"", L""},
        {L"\\", L"", L"", L""},
        {L"x\\", L"x", L"", L""},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(std::wstring(L"path ") + c.path);
        EXPECT_EQ(c.parent, setup::GetParentPath(c.path));
        EXPECT_EQ(c.fileName, setup::GetFileNamePart(c.path));
        EXPECT_EQ(c.parentDirectory, setup::GetParentDirectory(c.path));
    }
}

TEST(PathText, SplitString) {
    using V = std::vector<std::wstring>;
    EXPECT_EQ((V{L"a", L"b"}), setup::SplitString(L"a[~]b", L"[~]"));
    EXPECT_EQ((V{L"a"}), setup::SplitString(L"a[~]", L"[~]"));
    EXPECT_EQ((V{L"", L"a"}), setup::SplitString(L"[~]a", L"[~]"));
    EXPECT_EQ((V{L"a", L"", L"b"}), setup::SplitString(L"a;;b", L";"));
    EXPECT_EQ(V{}, setup::SplitString(L"", L"[~]"));
    EXPECT_EQ((V{L"abc"}), setup::SplitString(L"abc", L"[~]"));
    EXPECT_EQ((V{L""}), setup::SplitString(L"[~]", L"[~]"));
}
