// Test double for the script-phase driver actions. Until the real deferred,
// rollback and commit bodies exist, the end-to-end packages bind the names
// the immediate actions schedule to these entry points, which only append
// what the installer handed them to a file in the prefix:
//
//     <action name> TAB <byte count> TAB <CustomActionData as UTF-8> LF
//
// The byte count lets the reader take the data verbatim, separators and all.
// The finalize action and the list probes record the properties of their own
// names, which the installer hands them as CustomActionData.
// "FailScript" fails on purpose so that the installer runs the rollback
// script and the rollback actions record their data as well.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kRecordFile[] = L"C:\\dd-recorded-actions.txt";

std::wstring GetPropertyText(MSIHANDLE installer, const wchar_t* name) {
    DWORD size = 0;
    wchar_t probe[1] = {};
    MsiGetPropertyW(installer, name, probe, &size);
    std::vector<wchar_t> buffer(static_cast<size_t>(size) + 1, L'\0');
    DWORD capacity = static_cast<DWORD>(buffer.size());
    if (MsiGetPropertyW(installer, name, buffer.data(), &capacity) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return std::wstring(buffer.data(), capacity);
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

UINT Append(const std::string& action, const std::wstring& text) {
    const std::string data = ToUtf8(text);
    const std::string line = std::string(action) + "\t" + std::to_string(data.size()) + "\t" + data + "\n";
    HANDLE file = CreateFileW(kRecordFile, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ERROR_INSTALL_FAILURE;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == line.size() ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

UINT Record(MSIHANDLE installer, const char* action) {
    return Append(action, GetPropertyText(installer, L"CustomActionData"));
}

}  // namespace

#define DD_RECORDING_ENTRY(name) \
    extern "C" __declspec(dllexport) UINT __stdcall name(MSIHANDLE installer) { return Record(installer, #name); }

DD_RECORDING_ENTRY(InstallDriversDeferred)
DD_RECORDING_ENTRY(InstallDriversDeferred_x64)
DD_RECORDING_ENTRY(InstallDriversRollback)
DD_RECORDING_ENTRY(InstallDriversRollback_x64)
DD_RECORDING_ENTRY(InstallDriversEarlyDeferred)
DD_RECORDING_ENTRY(InstallDriversEarlyDeferred_x64)
DD_RECORDING_ENTRY(InstallDriversEarlyRollback)
DD_RECORDING_ENTRY(InstallDriversEarlyRollback_x64)
DD_RECORDING_ENTRY(InstallDriversEarlyCommit)
DD_RECORDING_ENTRY(InstallDriversEarlyCommit_x64)
DD_RECORDING_ENTRY(UninstallDriversDeferred)
DD_RECORDING_ENTRY(UninstallDriversDeferred_x64)
DD_RECORDING_ENTRY(UninstallDriversRollback)
DD_RECORDING_ENTRY(UninstallDriversRollback_x64)
DD_RECORDING_ENTRY(InstallDriversFinalize)
// Deferred probes named like the package lists the immediate actions publish:
// the installer hands each the property of its own name as CustomActionData.
DD_RECORDING_ENTRY(DriversToInstall)
DD_RECORDING_ENTRY(DriversToReinstall)
DD_RECORDING_ENTRY(DriversToInstallEarly)
DD_RECORDING_ENTRY(DriversToUninstall)

// An immediate probe: what the driver actions scheduled so far, read from the
// properties that hold each scheduled action's data, recorded as
// "scheduled:<name>". The installer runs no rollback script after a failed
// maintenance run under Wine, so this is how those runs show their rollback data.
extern "C" __declspec(dllexport) UINT __stdcall RecordScheduledData(MSIHANDLE installer) {
    static const wchar_t* const names[] = {
        L"InstallDriversRollback", L"InstallDriversDeferred", L"InstallDriversEarlyRollback",
        L"InstallDriversEarlyDeferred", L"InstallDriversEarlyCommit", L"UninstallDriversRollback",
        L"UninstallDriversDeferred"};
    for (const wchar_t* name : names) {
        for (const std::wstring& full : {std::wstring(name), std::wstring(name) + L"_x64"}) {
            const std::wstring data = GetPropertyText(installer, full.c_str());
            if (!data.empty() && Append("scheduled:" + ToUtf8(full), data) != ERROR_SUCCESS) {
                return ERROR_INSTALL_FAILURE;
            }
        }
    }
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall FailScript(MSIHANDLE installer) {
    Record(installer, "FailScript");
    return ERROR_INSTALL_FAILURE;
}
