#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "windows/support/InstallerFixture.h"

namespace ddtest {

// A fresh database and session for one test.
struct SessionFixture {
    TempDir dir;
    std::wstring database;
    InstallerSession session;

    explicit SessionFixture(const std::vector<TableText>& tables = {},
                            const std::map<std::string, std::string>& properties = {})
        : database(BuildDatabase(dir / L"frame.msi", tables, properties)), session(database) {}

    // The library's own lines with their prefix stripped.
    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> out;
        for (const std::wstring& line : session.InfoLines()) {
            out.push_back(StripLogPrefix(line));
        }
        return out;
    }
};

inline size_t CountLines(const std::vector<std::wstring>& lines, const std::wstring& text) {
    size_t n = 0;
    for (const std::wstring& line : lines) {
        n += line == text ? 1 : 0;
    }
    return n;
}

}  // namespace ddtest
