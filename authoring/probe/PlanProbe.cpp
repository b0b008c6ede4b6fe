// The plan probe of the authoring kit: custom actions that `driverdeploy plan`
// adds to a copy of a package so that the package's immediate driverdeploy
// actions run and decide, while nothing they scheduled is ever carried out.
//
// RecordPlan (immediate, sequenced just before InstallFinalize) writes the
// properties named in "DriverDeployPlanNames" (separated by ';') to the file
// named in "DriverDeployPlanFile", one record each:
//
//     <property name> TAB <byte count> TAB <value as UTF-8> LF
//
// and then answers ERROR_INSTALL_USEREXIT, so that the installer ends the
// run before it executes its script. The immediate actions keep each
// scheduled action's CustomActionData in the property of that action's name,
// which is how the data can be read back here.
//
// SkipScriptAction does nothing and succeeds. The copy binds every
// script-phase name to it, so that a run that does reach the script (the
// installation that makes a product present before a maintenance plan, or an
// installer that runs rollback actions after the user exit) deploys nothing.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace {

std::wstring GetPropertyText(MSIHANDLE installer, const wchar_t* name) {
    DWORD size = 0;
    wchar_t probe[1] = {};
    const UINT first = MsiGetPropertyW(installer, name, probe, &size);
    if (first != ERROR_MORE_DATA && first != ERROR_SUCCESS) {
        return std::wstring();
    }
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
    if (size <= 0) {
        return std::string();
    }
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::vector<std::wstring> SplitNames(const std::wstring& text) {
    std::vector<std::wstring> names;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L';', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        if (end > start) {
            names.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return names;
}

bool WriteAll(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    const BOOL closed = CloseHandle(file);
    return ok && closed && written == bytes.size();
}

}  // namespace

extern "C" UINT __stdcall RecordPlan(MSIHANDLE installer) {
    const std::wstring path = GetPropertyText(installer, L"DriverDeployPlanFile");
    if (path.empty()) {
        return ERROR_INSTALL_FAILURE;
    }
    std::string out;
    for (const std::wstring& name : SplitNames(GetPropertyText(installer, L"DriverDeployPlanNames"))) {
        const std::string data = ToUtf8(GetPropertyText(installer, name.c_str()));
        out += ToUtf8(name) + "\t" + std::to_string(data.size()) + "\t" + data + "\n";
    }
    // A record that could not be written must not read as an empty plan: the run fails instead.
    if (!WriteAll(path, out)) {
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_INSTALL_USEREXIT;
}

extern "C" UINT __stdcall SkipScriptAction(MSIHANDLE) {
    return ERROR_SUCCESS;
}
