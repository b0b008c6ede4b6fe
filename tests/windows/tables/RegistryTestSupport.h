#pragma once
// Raw access to the prefix's registry and an installer session with the
// library's services started, shared by the registry and upper-filter tests.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "frame/Session.h"
#include "windows/support/InstallerFixture.h"
#include "windows/support/CatchException.h"

namespace regtest {

using Bytes = std::vector<unsigned char>;

struct RawValue {
    bool exists = false;
    DWORD type = 0;
    Bytes data;
};

// The bytes as stored: RegQueryValueExW adds no terminator.
inline RawValue ReadRaw(HKEY root, const std::wstring& key, const std::wstring& name) {
    RawValue value;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    if (RegQueryValueExW(handle, name.c_str(), nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        if (size == 0 ||
            RegQueryValueExW(handle, name.c_str(), nullptr, &value.type, value.data.data(), &size) == ERROR_SUCCESS) {
            value.data.resize(size);
            value.exists = true;
        }
    }
    RegCloseKey(handle);
    return value;
}

inline void WriteRaw(HKEY root, const std::wstring& key, const std::wstring& name, DWORD type, const Bytes& data) {
    HKEY handle = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(handle, name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                            static_cast<DWORD>(data.size())));
    RegCloseKey(handle);
}

inline bool KeyExists(HKEY root, const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(handle);
    return true;
}

// UTF-16LE bytes of a text with embedded NULs as written; no NUL is added.
inline Bytes Utf16(const std::wstring& text) {
    Bytes bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>((c >> 8) & 0xFF));
    }
    return bytes;
}

// A session over a database of the given tables, with the installer
// services started as an entry point does.
class SessionTest : public ::testing::Test {
protected:
    void StartSession(const std::vector<ddtest::TableText>& tables, const std::map<std::string, std::string>& properties = {}) {
        EndSession();
        std::vector<ddtest::TableText> all = ddtest::BaseTables();
        all.insert(all.end(), tables.begin(), tables.end());
        path_ = ddtest::BuildDatabase(dir_ / (L"tables" + std::to_wstring(++databases_) + L".msi"), all, properties);
        session_ = std::make_unique<ddtest::InstallerSession>(path_);
        ASSERT_EQ(0, setup::Initialize(session_->handle(), "TablesTest"));
        started_ = true;
    }
    void TearDown() override { EndSession(); }
    void EndSession() {
        if (started_) {
            setup::Finalize(0);
            started_ = false;
        }
        session_.reset();
    }

    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> lines;
        for (const std::wstring& line : session_->InfoLines()) {
            lines.push_back(ddtest::StripLogPrefix(line));
        }
        return lines;
    }
    bool HasLine(const std::wstring& expected) const {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), expected) != lines.end();
    }

    ddtest::TempDir dir_;
    std::wstring path_;
    std::unique_ptr<ddtest::InstallerSession> session_;
    bool started_ = false;
    int databases_ = 0;
};

}  // namespace regtest
