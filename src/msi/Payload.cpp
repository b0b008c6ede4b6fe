#include "msi/Payload.h"

#include <windows.h>
#include <setupapi.h>

#include <exception>
#include <memory>
#include <optional>

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/InstallerCalls.h"
#include "frame/LastError.h"
#include "frame/Log.h"
#include "frame/Session.h"
#include "msi/Components.h"
#include "msi/Database.h"
#include "system/FileHash.h"
#include "system/FileSystem.h"
#include "system/PathText.h"

namespace setup {

namespace {

constexpr wchar_t kComponentFilesQuery[] = L"SELECT `File`, `Component_`, `Sequence` FROM `File` WHERE `Component_` = ?";
constexpr wchar_t kMediaQuery[] = L"SELECT `DiskId`, `LastSequence`, `Cabinet` FROM `Media` ORDER BY `LastSequence`";
constexpr wchar_t kFileNameQuery[] = L"SELECT `File`, `FileName` FROM `File` WHERE `File` = ?";

std::shared_ptr<Record> FetchOneRow(const wchar_t* query, const std::wstring& key) {
    std::shared_ptr<View> view = OpenSessionView(query);
    view->Execute(Record(key));
    return view->Fetch();
}

// A failed step must never travel as success: a last error that was already
// cleared (the log line in between talks to the installer) still fails.
int32_t FailureCode(int32_t code) { return code < 0 ? code : hresult::Fail; }

// The sequence of the component's first file; nothing when it has none.
std::optional<int32_t> FirstFileSequence(const std::wstring& component) {
    const std::shared_ptr<Record> row = FetchOneRow(kComponentFilesQuery, component);
    if (!row) {
        return std::nullopt;
    }
    return row->GetInteger(3, 0);
}

std::wstring CabinetOfSequence(int32_t sequence) {
    std::shared_ptr<View> view = OpenSessionView(kMediaQuery);
    view->Execute();
    while (const std::shared_ptr<Record> row = view->Fetch()) {
        if (row->GetInteger(2, 0) >= sequence) {
            return row->GetString(3);
        }
    }
    return std::wstring();
}

// What the cabinet callback works with. A C++ exception must not unwind
// through SetupAPI's frames: the callback keeps it here, stops the
// extraction, and the caller rethrows it once SetupIterateCabinetW is back.
struct CabinetContext {
    std::wstring cabinetPath;
    std::wstring target;
    std::exception_ptr failure;
};

UINT OnFileInCabinet(CabinetContext& context, FILE_IN_CABINET_INFO_W& info) {
    const std::wstring key = info.NameInCabinet;
    const std::wstring name = GetFileLongName(key);
    const std::optional<std::wstring> full = ComposeTargetName(context.target, name, MAX_PATH);
    if (!full) {
        const std::wstring path = context.target + L"\\" + name;
        throw Exception(HResultFromWin32(ERROR_FILENAME_EXCED_RANGE),
                        L"The target path of a file in the cabinet is too long: " + path, path);
    }
    full->copy(info.FullTargetName, full->size());
    info.FullTargetName[full->size()] = L'\0';
    Log(L"The file '%s' is encountered in the cabinet.", key);
    return FILEOP_DOIT;
}

UINT CALLBACK CabinetCallback(PVOID data, UINT notification, UINT_PTR param1, UINT_PTR /*param2*/) {
    CabinetContext& context = *static_cast<CabinetContext*>(data);
    try {
        switch (notification) {
        case SPFILENOTIFY_FILEINCABINET:
            // Some SetupAPI implementations go on after FILEOP_ABORT: every
            // later file is skipped so that nothing more is written.
            if (context.failure) {
                return FILEOP_SKIP;
            }
            return OnFileInCabinet(context, *reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1));
        case SPFILENOTIFY_NEEDNEWCABINET:
            Log(L"The current file '%s' is continued in the next cabinet.", reinterpret_cast<const CABINET_INFO_W*>(param1)->CabinetPath);
            return 0;
        case SPFILENOTIFY_FILEEXTRACTED: {
            const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
            Log(L"The file '%s' has been extracted from the cabinet '%s'.", paths->Target, paths->Source);
            return 0;
        }
        default:
            return 0;
        }
    } catch (...) {
        context.failure = std::current_exception();
    }
    SetLastError(ERROR_CANCELLED);
    return FILEOP_ABORT;
}

}  // namespace

std::wstring GetComponentCabinet(const std::wstring& component) {
    const std::optional<int32_t> sequence = FirstFileSequence(component);
    return sequence ? CabinetOfSequence(*sequence) : std::wstring();
}

std::wstring GetFileLongName(const std::wstring& fileKey) {
    const std::shared_ptr<Record> row = FetchOneRow(kFileNameQuery, fileKey);
    if (!row) {
        throw Exception(FailureCode(HResultFromLastError()), L"File record isn't exist in 'File' table: " + fileKey, fileKey);
    }
    return LongFileName(row->GetString(2));
}

void ExtractComponentCabinet(const PayloadSource& package, const std::wstring& target) {
    // Without a file there is no sequence and so no media: the Media rows
    // would otherwise pick the first cabinet of the package.
    const std::optional<int32_t> sequence = FirstFileSequence(package.component);
    if (!sequence) {
        throw Exception(hresult::InvalidHandle,
                        L"Component has no file in 'File' table, so no cabinet to extract: " + package.component, package.id);
    }
    const std::wstring cabinet = CabinetOfSequence(*sequence);

    std::wstring cabinetPath;
    const bool fromStream = IsStreamCabinet(cabinet);
    if (!fromStream) {
        cabinetPath = JoinPath(GetParentPath(GetProperty(L"OriginalDatabase")), cabinet);
    } else {
        cabinetPath = CreateTempFile(L"cab");
        if (cabinetPath.empty()) {
            throw Exception(FailureCode(HResultFromLastError()), L"Failed to create temp file for cabinet: " + cabinet, package.id);
        }
        ExtractStream(GetCabinetStreamName(cabinet), cabinetPath);
    }

    Log(L"Extracting cabinet '%s' to '%s'.", cabinetPath, target);
    CabinetContext context{cabinetPath, target, nullptr};
    const BOOL extracted = SetupIterateCabinetW(cabinetPath.c_str(), 0, CabinetCallback, &context);
    const int32_t code = HResultFromLastError();
    if (context.failure) {
        std::rethrow_exception(context.failure);
    }
    if (!extracted) {
        throw Exception(FailureCode(code), L"Failed to extract from cabinet file: " + cabinetPath, cabinetPath);
    }
    if (fromStream) {
        DeleteFileW(cabinetPath.c_str());
    }
}

std::wstring FindPreviousPackageLocation(const PayloadSource& package) {
    std::vector<std::wstring> candidates{GetComponentGuid(package.component)};
    candidates.insert(candidates.end(), package.previousVersionGuids.begin(), package.previousVersionGuids.end());
    for (const std::wstring& guid : candidates) {
        if (!IsInstalledByProduct(guid)) {
            continue;
        }
        const std::wstring path = LocateComponent(guid);
        if (!path.empty()) {
            const std::wstring folder = GetParentPath(path);
            Log(L"Previous package '%s' location is '%s'.", package.id, folder);
            return folder;
        }
    }
    return std::wstring();
}

EarlyPayload PrepareEarlyPayload(const PayloadSource& package) {
    EarlyPayload early;
    const std::wstring temp = CreateTempDirectory(L"drv");
    if (temp.empty()) {
        throw Exception(FailureCode(HResultFromWin32(GetLastError())), L"Failed to create temp directory.", package.id);
    }
    if (IsNetworkPath(package.infPath)) {
        if (!CopyDirectory(GetParentPath(package.infPath), temp, false)) {
            throw Exception(FailureCode(HResultFromWin32(GetLastError())), L"Failed to copy to temp directory from network path.", package.id);
        }
    } else if (GetProperty(L"IsAdminPackage") == L"1") {
        if (!CopyDirectory(GetComponentSourceDirectory(package.component), temp, false)) {
            throw Exception(FailureCode(HResultFromWin32(GetLastError())), L"Failed to copy to temp directory from admin package path.",
                            package.id);
        }
    } else {
        ExtractComponentCabinet(package, temp);
    }
    early.infPath = JoinPath(temp, GetFileNamePart(package.infPath));
    early.catPath = JoinPath(temp, GetFileNamePart(package.catPath));
    // Hashed now, as extracted: the folder belongs to the installing user,
    // and the system-rights phase installs only what matches these.
    for (const std::wstring& name : ListFiles(temp)) {
        early.files.push_back(PayloadFile{name, HashFile(JoinPath(temp, name))});
    }
    Log(L"Early driver package '%s': %d file(s) hashed in '%s'.", package.id, static_cast<int>(early.files.size()), temp);
    return early;
}

}  // namespace setup
