// The logging floor of the per-package overhead benchmark
// (tests/bench/bench_overhead.py): a deferred custom action that does, inside
// msiexec, the platform work of dd_bench_platform_floor.exe for each INF
// (open it and find its decorated install section, publish it to the INF
// store, add its catalog, queue and commit the copy sections, the services
// section, the rest of the install section) and sends from each package's
// thread the installer log messages the product's package threads send.
//
// CustomActionData: "<lines>|<inf>|<inf>|...": <lines> is how many lines
// the product's package threads wrote in the same round, spread evenly over
// the packages and, within a package, over its steps. The packages go one
// after another, each on a thread of its own that is joined before the next
// starts, as the library runs sequenced packages.
//
// The lines carry the library's head ("<action> (<pid>:<tid>) [<time>]: "),
// so the benchmark reads them with the same reader; the last one is
// "FloorInstallPackages: finished. Return value <n>.", written by the
// action's own thread. A failing call logs "Floor failed: <call> on <inf>:
// error 0x<n>." and the action returns ERROR_INSTALL_FAILURE.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <mscat.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FloorQueue.h"

namespace {

// DRIVER_ACTION_VERIFY, the subsystem of driver catalogs.
const GUID kDriverActionVerify = {0xf750e6c3, 0x38ee, 0x11d1, {0x85, 0xe5, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};

// Every SPINST_ directive up to SPINST_COPYINF except the files, which went
// through the queue.
constexpr UINT kInstallFlagsWithoutFiles = 0x3EF;
constexpr int kSteps = 6;
constexpr wchar_t kAction[] = L"FloorInstallPackages";

struct Wintrust {
    decltype(&CryptCATAdminAcquireContext) acquire = nullptr;
    decltype(&CryptCATAdminAddCatalog) add = nullptr;
    decltype(&CryptCATAdminReleaseCatalogContext) releaseCatalog = nullptr;
    decltype(&CryptCATAdminReleaseContext) release = nullptr;
};

template <class Fn>
Fn Entry(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Loaded by the first package that adds a catalog, inside that step, as the
// library does.
const Wintrust* LoadWintrust() {
    static std::once_flag once;
    static Wintrust entries;
    static bool loaded = false;
    std::call_once(once, [] {
        const HMODULE module = LoadLibraryW(L"wintrust.dll");
        if (module == nullptr) {
            return;
        }
        entries.acquire = Entry<decltype(&CryptCATAdminAcquireContext)>(module, "CryptCATAdminAcquireContext");
        entries.add = Entry<decltype(&CryptCATAdminAddCatalog)>(module, "CryptCATAdminAddCatalog");
        entries.releaseCatalog =
            Entry<decltype(&CryptCATAdminReleaseCatalogContext)>(module, "CryptCATAdminReleaseCatalogContext");
        entries.release = Entry<decltype(&CryptCATAdminReleaseContext)>(module, "CryptCATAdminReleaseContext");
        loaded = entries.acquire && entries.add && entries.releaseCatalog && entries.release;
    });
    return loaded ? &entries : nullptr;
}

// As the library sends a line: one record, its text in field 0 with the
// installer's literal brackets around the time.
void Say(MSIHANDLE installer, const std::wstring& text) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t head[96];
    std::swprintf(head, 96, L"%ls (%02lx:%04lx) [\\[]%02u:%02u:%02u:%03u[\\]]: ", kAction, GetCurrentProcessId(),
                  GetCurrentThreadId(), now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, (head + text).c_str());
    MsiProcessMessage(installer, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

UINT CALLBACK QueueCallback(PVOID, UINT notification, UINT_PTR, UINT_PTR) {
    return floor_queue::Answer(notification);
}

std::wstring FileName(const std::wstring& path) { return floor_queue::FileName(path); }

class Package {
public:
    Package(MSIHANDLE installer, std::wstring inf, int lines) : installer_(installer), inf_(std::move(inf)), lines_(lines) {}

    // True when every call succeeded; the first failure is logged.
    bool Run() {
        HINF inf = SetupOpenInfFileW(inf_.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
        if (inf == INVALID_HANDLE_VALUE) {
            return Failed(L"SetupOpenInfFileW");
        }
        const bool done = Steps(inf);
        SetupCloseInfFile(inf);
        return done;
    }

private:
    bool Steps(HINF inf) {
        wchar_t section[LINE_LEN] = {};
        if (!SetupDiGetActualSectionToInstallW(inf, L"DefaultInstall", section, LINE_LEN, nullptr, nullptr)) {
            return Failed(L"SetupDiGetActualSectionToInstallW");
        }
        Lines(L"open");

        wchar_t published[MAX_PATH] = {};
        if (!SetupCopyOEMInfW(inf_.c_str(), nullptr, SPOST_PATH, 0, published, MAX_PATH, nullptr, nullptr)) {
            return Failed(L"SetupCopyOEMInfW");
        }
        Lines(L"publish");

        const std::wstring catPath = inf_.substr(0, inf_.size() - 4) + L".cat";
        std::wstring catName = FileName(catPath);
        const Wintrust* wintrust = LoadWintrust();
        if (wintrust == nullptr) {
            return Failed(L"LoadLibraryW(wintrust.dll)");
        }
        HCATADMIN admin = nullptr;
        if (!wintrust->acquire(&admin, &kDriverActionVerify, 0)) {
            return Failed(L"CryptCATAdminAcquireContext");
        }
        HCATINFO catalog = wintrust->add(admin, const_cast<wchar_t*>(catPath.c_str()), catName.data(), 0);
        if (catalog == nullptr) {
            const DWORD error = GetLastError();
            wintrust->release(admin, 0);
            SetLastError(error);
            return Failed(L"CryptCATAdminAddCatalog");
        }
        wintrust->releaseCatalog(admin, catalog, 0);
        wintrust->release(admin, 0);
        Lines(L"catalog");

        HSPFILEQ queue = SetupOpenFileQueue();
        if (queue == INVALID_HANDLE_VALUE) {
            return Failed(L"SetupOpenFileQueue");
        }
        const bool queued = SetupInstallFilesFromInfSectionW(inf, nullptr, queue, section, nullptr, 0) != FALSE;
        const bool committed = queued && SetupCommitFileQueueW(nullptr, queue, QueueCallback, nullptr) != FALSE;
        const DWORD error = GetLastError();
        SetupCloseFileQueue(queue);
        if (!committed) {
            SetLastError(error);
            return Failed(queued ? L"SetupCommitFileQueueW" : L"SetupInstallFilesFromInfSectionW");
        }
        Lines(L"files");

        const std::wstring services = std::wstring(section) + L".Services";
        if (!SetupInstallServicesFromInfSectionW(inf, services.c_str(), 0)) {
            return Failed(L"SetupInstallServicesFromInfSectionW");
        }
        Lines(L"services");

        if (!SetupInstallFromInfSectionW(nullptr, inf, section, kInstallFlagsWithoutFiles, nullptr, nullptr, 0,
                                         nullptr, nullptr, nullptr, nullptr)) {
            return Failed(L"SetupInstallFromInfSectionW");
        }
        Lines(L"section");
        return true;
    }

    // The package's share of lines for the step just done: together the six
    // steps send exactly lines_.
    void Lines(const wchar_t* step) {
        const int upTo = lines_ * (step_ + 1) / kSteps;
        for (; sent_ < upTo; ++sent_) {
            Say(installer_, L"Floor line " + std::to_wstring(sent_ + 1) + L" of " + std::to_wstring(lines_) +
                                L" after step '" + step + L"' of '" + inf_ + L"'.");
        }
        ++step_;
    }

    bool Failed(const wchar_t* call) {
        const DWORD error = GetLastError();
        wchar_t code[16];
        std::swprintf(code, 16, L"%lx", error);
        Say(installer_, std::wstring(L"Floor failed: ") + call + L" on " + inf_ + L": error 0x" + code + L".");
        return false;
    }

    MSIHANDLE installer_;
    std::wstring inf_;
    int lines_;
    int step_ = 0;
    int sent_ = 0;
};

std::wstring Property(MSIHANDLE installer, const wchar_t* name) {
    DWORD size = 0;
    wchar_t empty[1] = {};
    if (MsiGetPropertyW(installer, name, empty, &size) != ERROR_MORE_DATA) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(size) + 1);
    size = static_cast<DWORD>(buffer.size());
    MsiGetPropertyW(installer, name, buffer.data(), &size);
    return std::wstring(buffer.data(), size);
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t begin = 0;
    while (begin <= text.size()) {
        const size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin));
        if (end == std::wstring::npos) {
            break;
        }
        begin = end + 1;
    }
    return parts;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall FloorInstallPackages(MSIHANDLE installer) {
    const std::vector<std::wstring> data = Split(Property(installer, L"CustomActionData"), L'|');
    UINT result = ERROR_SUCCESS;
    if (data.size() < 2) {
        Say(installer, L"Floor failed: the data names no INF.");
        result = ERROR_INSTALL_FAILURE;
    } else {
        const int total = _wtoi(data[0].c_str());
        const int count = static_cast<int>(data.size()) - 1;
        for (int i = 0; i < count && result == ERROR_SUCCESS; ++i) {
            // The remainder goes to the first packages, one line each.
            const int lines = total / count + (i < total % count ? 1 : 0);
            Package package(installer, data[static_cast<size_t>(i) + 1], lines);
            bool done = false;
            std::thread([&package, &done] { done = package.Run(); }).join();
            if (!done) {
                result = ERROR_INSTALL_FAILURE;
            }
        }
    }
    Say(installer, std::wstring(kAction) + L": finished. Return value " + std::to_wstring(result) + L".");
    return result;
}
