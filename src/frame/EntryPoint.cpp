#include "frame/EntryPoint.h"

#include <cstring>
#include <exception>

#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "frame/Session.h"

namespace setup {

const EntryPointInfo kEntryPoints[] = {
    {"ProtectServices", ActionKind::Immediate, 27320, 0},
    {"ProtectServicesDeferred", ActionKind::Deferred, 27320, 0},
    {"ProtectServicesRollback", ActionKind::Rollback, 0, 0},
    {"UnprotectServices", ActionKind::Immediate, 27321, 0},
    {"UnprotectServicesDeferred", ActionKind::Deferred, 27321, 0},
    {"UnprotectServicesRollback", ActionKind::Rollback, 0, 0},
    {"InstallCryptCatalog", ActionKind::Immediate, 27310, 0},
    {"InstallCryptCatalogDeferred", ActionKind::Deferred, 27310, 0},
    {"InstallCryptCatalogRollback", ActionKind::Rollback, 0, 0},
    {"UninstallCryptCatalog", ActionKind::Immediate, 27311, 0},
    {"UninstallCryptCatalogDeferred", ActionKind::Deferred, 27311, 0},
    {"UninstallCryptCatalogRollback", ActionKind::Rollback, 0, 0},
    {"InstallDrivers", ActionKind::Immediate, 27300, 0},
    {"InstallDriversEarly", ActionKind::Immediate, 27300, 0},
    {"InstallDriversDeferred", ActionKind::Deferred, 27300, 27302},
    {"InstallDriversRollback", ActionKind::Rollback, 0, 0},
    {"InstallDriversCommit", ActionKind::Commit, 0, 0},
    {"InstallDriversFinalize", ActionKind::Finalize, 0, 0},
    {"UninstallDrivers", ActionKind::Immediate, 27301, 0},
    {"UninstallDriversDeferred", ActionKind::Deferred, 27301, 0},
    {"UninstallDriversRollback", ActionKind::Rollback, 0, 0},
};

const std::size_t kEntryPointCount = sizeof(kEntryPoints) / sizeof(kEntryPoints[0]);

const EntryPointInfo* FindEntryPoint(const char* name) {
    for (const EntryPointInfo& info : kEntryPoints) {
        if (std::strcmp(info.name, name) == 0) {
            return &info;
        }
    }
    return nullptr;
}

namespace {

// Only immediate and deferred actions talk back to the user; rollback,
// commit and finalize actions run where nobody can answer.
bool SendsMessages(ActionKind kind) { return kind == ActionKind::Immediate || kind == ActionKind::Deferred; }

void ReportFailure(const EntryPointInfo& info, int32_t code, const std::wstring* details) {
    if (!SendsMessages(info.kind)) {
        return;
    }
    const uint32_t number =
        (info.filterLimitErrorNumber != 0 && code == hresult::NetCfgMaxFilterLimit) ? info.filterLimitErrorNumber : info.errorNumber;
    if (details != nullptr) {
        SendErrorMessage(number, code, MB_OK, {*details});
    } else {
        SendErrorMessage(number, code, MB_OK, {});
    }
}

}  // namespace

UINT RunEntryPoint(MSIHANDLE installer, const EntryPointInfo& info, ActionBody body) {
    uint32_t result = result::Success;
    // Starting and reporting may fail too (out of memory); nothing may leave
    // the export.
    try {
        try {
            // A failed start only loses log lines; the body still runs.
            Initialize(installer, info.name);
            body();
        } catch (const InstallCanceledException& e) {
            if (!SendsMessages(info.kind)) {
                throw;  // handled below as any other setup::Exception
            }
            result = result::UserExit;
            Log(L"%s Error 0x%x.", e.Message(), e.Code());
        }
    } catch (const Exception& e) {
        result = result::Failure;
        try {
            Log(L"%s Error 0x%x.", e.Message(), e.Code());
            const std::wstring details = e.Details();
            ReportFailure(info, e.Code(), &details);
        } catch (...) {
        }
    } catch (...) {
        result = result::Failure;
        try {
            Log(L"Unknown exception.");
            ReportFailure(info, hresult::Fail, nullptr);
        } catch (...) {
        }
    }

    try {
        Log(L"%S: finished. Return value %d.", info.name, result);
    } catch (...) {
    }
    return Finalize(result);
}

}  // namespace setup
