#include "tables/ServiceProtection.h"

#include <windows.h>
#include <winsvc.h>

#include <algorithm>

#include "frame/Exception.h"
#include "frame/Handles.h"
#include "frame/HResult.h"
#include "frame/LastError.h"
#include "frame/Log.h"
#include "system/FileSystem.h"
#include "system/Process.h"
#include "system/Services.h"

namespace setup {

namespace {

// SERVICE_LAUNCH_PROTECTED_INFO, which not every SDK's headers declare.
struct LaunchProtectedInfo {
    DWORD dwLaunchProtected;
};

constexpr DWORD kConfigLaunchProtected = 12;             // SERVICE_CONFIG_LAUNCH_PROTECTED
constexpr DWORD kLaunchProtectedAntimalwareLight = 3;    // SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT
constexpr DWORD kWriteChunk = 1u << 20;

// Writes every byte or throws: a program cut short must never be run.
void WriteProgram(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw Exception(HResultFromLastError(), L"Failed to create file: " + path, std::wstring());
    }
    for (size_t offset = 0; offset < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, kWriteChunk));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data() + offset, chunk, &written, nullptr)) {
            throw Exception(HResultFromLastError(), L"Failed to write file: " + path, std::wstring());
        }
        if (written != chunk) {
            throw Exception(HResultFromWin32(ERROR_WRITE_FAULT), L"Failed to write file: " + path, std::wstring());
        }
        offset += written;
    }
}

void RemoveProgram(const std::wstring& path) {
    Log(L"Remove file '%s'.", path);
    if (!DeleteFileW(path.c_str())) {
        Log(L"Failed to remove file '%s'. Error 0x%x.", path, HResultFromLastError());
    }
}

void RunStoredProgram(const ServiceConfigProtectionRecord& record) {
    // It runs with system rights: written where the installing user cannot
    // swap it between the write and the start.
    const std::wstring folder = CreateProtectedWorkFolder(L"psm", kProtectedFolderDescriptor);
    if (folder.empty()) {
        const int32_t code = HResultFromLastError();
        throw Exception(code < 0 ? code : hresult::Fail, L"Failed to create a protected folder for the unprotect program.", record.id);
    }
    const std::wstring path = GetTempFileNameIn(folder, L"psm");
    if (path.empty()) {
        RemoveFolder(folder);
        throw Exception(hresult::Fail, L"Failed to create a temporary file.", std::wstring());
    }
    Log(L"Extracting binary to '%s'...", path);
    try {
        WriteProgram(path, record.zbin);
        RunProgram(path, record.uptcmd);
    } catch (...) {
        RemoveProgram(path);
        RemoveFolder(folder);
        throw;
    }
    RemoveProgram(path);
    RemoveFolder(folder);
}

template <class Operation>
void ForEachRecord(const std::vector<ServiceConfigProtectionRecord>& records, bool ignoreErrors, Operation operation,
                   const wchar_t* failure) {
    for (const ServiceConfigProtectionRecord& record : records) {
        try {
            operation(record);
        } catch (const Exception& e) {
            if (ignoreErrors) {
                continue;
            }
            Log(failure, record.id, e.Message(), e.Code());
            throw;
        }
    }
}

}  // namespace

void ProtectService(const ServiceConfigProtectionRecord& record) {
    Log(L"Protecting service '%s'...", record.id);
    const ServiceHandle service = OpenServiceHandle(record.name);
    Log(L"Mark service '%s' as protected.", record.name);
    LaunchProtectedInfo info = {kLaunchProtectedAntimalwareLight};
    if (!ChangeServiceConfig2W(service.service->get(), kConfigLaunchProtected, &info)) {
        throw Exception(HResultFromLastError(), L"Failed to change protection type of service.", std::wstring());
    }
    Log(L"The service '%s' marked as protected.", record.name);
    Log(L"The service '%s' was successfully configured.", record.id);
}

void UnprotectService(const ServiceConfigProtectionRecord& record) {
    if (record.uptcmd.empty()) {
        Log(L"Skip unprotecting service '%s'. The unprotect command was not specified.", record.id);
        return;
    }
    Log(L"Unprotecting service '%s'...", record.id);
    if (record.zbin.empty()) {
        RunCommand(record.uptcmd);
    } else {
        RunStoredProgram(record);
    }
    Log(L"The service '%s' was successfully unprotected.", record.id);
}

void ProtectServiceList(const std::vector<ServiceConfigProtectionRecord>& records, bool ignoreErrors) {
    ForEachRecord(records, ignoreErrors, ProtectService, L"Failed to register '%s'. %s Error 0x%x.");
}

void UnprotectServiceList(const std::vector<ServiceConfigProtectionRecord>& records, bool ignoreErrors) {
    ForEachRecord(records, ignoreErrors, UnprotectService, L"Failed to unprotect '%s'. %s Error 0x%x.");
}

}  // namespace setup
