#include "frame/InstallerCalls.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <vector>

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/KeptAnswers.h"
#include "frame/Session.h"

namespace setup {

namespace {

// Most values fit the first buffer, which saves the installer a size query.
constexpr DWORD kFirstPropertyBuffer = 256;

std::wstring ReadProperty(const std::wstring& name) {
    std::vector<wchar_t> buffer(kFirstPropertyBuffer, L'\0');
    DWORD capacity = static_cast<DWORD>(buffer.size());
    UINT rc = MsiGetPropertyW(GetHandle(), name.c_str(), buffer.data(), &capacity);
    if (rc == ERROR_MORE_DATA) {
        buffer.assign(static_cast<size_t>(capacity) + 1, L'\0');
        capacity = static_cast<DWORD>(buffer.size());
        rc = MsiGetPropertyW(GetHandle(), name.c_str(), buffer.data(), &capacity);
    }
    if (rc != ERROR_SUCCESS) {
        throw Exception(HResultFromWin32(rc), L"Failed to get msi property: " + name, std::wstring());
    }
    return std::wstring(buffer.data());
}

}  // namespace

std::wstring GetProperty(const std::wstring& name) {
    return KeptProperty(name, [&name] { return ReadProperty(name); });
}

void SetProperty(const std::wstring& name, const std::wstring& value) {
    ForgetKeptPropertiesAndConditions();
    const UINT rc = MsiSetPropertyW(GetHandle(), name.c_str(), value.c_str());
    if (rc != ERROR_SUCCESS) {
        throw Exception(HResultFromWin32(rc), L"Failed to set msi property: " + name, std::wstring());
    }
}

void ScheduleAction(const std::wstring& action, const std::wstring& data, uint32_t ticks) {
    const int32_t hr = DoDeferredAction(action, data, ticks);
    if (hr < 0) {
        throw Exception(hr, L"Failed to schedule: " + action, std::wstring());
    }
    if (IsCancelled()) {
        throw InstallCanceledException(L"User canceled installation.");
    }
}

}  // namespace setup
