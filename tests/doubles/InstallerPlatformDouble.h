#pragma once
// Test double of the package installer's platform for what Wine cannot
// produce. By default every call goes to the real platform; a test can
// - see whether INF store calls (publishing and removal) ever overlap: each
//   such call is held open for a moment so that an unserialized caller
//   would be caught;
// - end a file queue commit with a chosen error code after the real commit
//   ran (Wine never fails a commit on a signature), or deliver chosen
//   notifications to the installer's queue callback instead of committing
//   (Wine never sends some of them), recording each answer;
// - offer an InstallELAMCertificateInfo entry point (Wine has none) that
//   records the file it was handed and answers as told.

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/install/InstallerPlatform.h"

namespace ddtest {

class InstallerPlatformDouble : public setup::driver::InstallerPlatform {
public:
    struct Notification {
        UINT notification = 0;
        UINT_PTR param1 = 0;
        UINT_PTR param2 = 0;
        DWORD lastError = 0;  // set just before the callback is called
    };

    InstallerPlatformDouble() { current_ = this; }
    ~InstallerPlatformDouble() override { current_ = nullptr; }

    // --- INF store ---------------------------------------------------------
    DWORD storeHoldMilliseconds = 20;

    BOOL CopyOemInf(PCWSTR infPath, DWORD mediaType, DWORD copyStyle, PWSTR destination, DWORD destinationSize,
                    PDWORD requiredSize) override {
        // Only publishing is serialized; the replace-only lookup is not.
        if ((copyStyle & SP_COPY_REPLACEONLY) != 0) {
            return real_.CopyOemInf(infPath, mediaType, copyStyle, destination, destinationSize, requiredSize);
        }
        const StoreCall call(*this);
        return real_.CopyOemInf(infPath, mediaType, copyStyle, destination, destinationSize, requiredSize);
    }

    BOOL UninstallOemInf(PCWSTR infName, DWORD flags) override {
        const StoreCall call(*this);
        return real_.UninstallOemInf(infName, flags);
    }

    int MostStoreCallsAtOnce() const { return mostAtOnce_.load(); }
    int StoreCalls() const { return storeCalls_.load(); }

    // --- File queue commit -------------------------------------------------
    std::optional<DWORD> commitError;                  // fail the commit with this last error
    std::optional<std::vector<Notification>> deliver;  // call the callback with these instead

    BOOL CommitFileQueue(HSPFILEQ queue, PSP_FILE_CALLBACK_W callback, PVOID context) override {
        if (deliver) {
            for (const Notification& n : *deliver) {
                SetLastError(n.lastError);
                answers.push_back(callback(context, n.notification, n.param1, n.param2));
            }
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        const BOOL committed = real_.CommitFileQueue(queue, callback, context);
        if (committed && commitError) {
            SetLastError(*commitError);
            return FALSE;
        }
        return committed;
    }

    std::vector<UINT> answers;

    // --- ELAM entry point --------------------------------------------------
    bool offerElamEntryPoint = false;
    BOOL elamResult = TRUE;
    DWORD elamError = ERROR_SUCCESS;  // last error left when elamResult is FALSE
    std::vector<std::wstring> elamFiles;  // the file behind each handle the entry point got

    HMODULE FindModule(PCWSTR name) override { return real_.FindModule(name); }

    FARPROC FindFunction(HMODULE module, PCSTR name) override {
        if (offerElamEntryPoint && std::string(name) == "InstallELAMCertificateInfo") {
            return reinterpret_cast<FARPROC>(&InstallElamCertificateInfo);
        }
        return real_.FindFunction(module, name);
    }

private:
    class StoreCall {
    public:
        explicit StoreCall(InstallerPlatformDouble& owner) : owner_(owner) {
            const int now = ++owner_.inStore_;
            ++owner_.storeCalls_;
            int most = owner_.mostAtOnce_.load();
            while (now > most && !owner_.mostAtOnce_.compare_exchange_weak(most, now)) {
            }
            Sleep(owner_.storeHoldMilliseconds);
        }
        ~StoreCall() { --owner_.inStore_; }
        StoreCall(const StoreCall&) = delete;
        StoreCall& operator=(const StoreCall&) = delete;

    private:
        InstallerPlatformDouble& owner_;
    };

    static BOOL WINAPI InstallElamCertificateInfo(HANDLE file) {
        InstallerPlatformDouble& self = *current_;
        wchar_t path[MAX_PATH] = {};
        const DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH, FILE_NAME_NORMALIZED);
        self.elamFiles.push_back(length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring());
        if (!self.elamResult) {
            SetLastError(self.elamError);
        }
        return self.elamResult;
    }

    static inline InstallerPlatformDouble* current_ = nullptr;

    setup::driver::InstallerPlatform& real_ = setup::driver::SystemInstallerPlatform();
    std::atomic<int> inStore_{0};
    std::atomic<int> mostAtOnce_{0};
    std::atomic<int> storeCalls_{0};
};

}  // namespace ddtest
