// The platform work of a filter-driver package and nothing else: for each INF
// named on the command line, the calls a package install cannot do without
// (open the INF and find its decorated install section, publish it to the INF
// store, add its catalog, queue and commit the copy sections, the services
// section, the rest of the install section), timed one by one.
//
//   dd_bench_platform_floor.exe [--parallel] [--trace] <inf> [<inf> ...]
//
// Prints "step <inf> <name> <microseconds>" per call group, "total
// <microseconds>" for the sum of the steps and "wall <microseconds>" from the
// first call to the last. The INFs go one after another, or with --parallel
// each on a thread of its own, all started before the first is joined (as the
// library runs unsequenced packages). Exits 1 at the first failing call,
// naming it. With --trace it also prints "queue <notification> <microseconds
// since the commit began>" for every file queue notification.
//
// wintrust.dll is loaded when the first catalog is added, inside that step's
// time, as the library does: a process that installs drivers pays for it.

#include <windows.h>
#include <mscat.h>
#include <setupapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
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

LARGE_INTEGER g_frequency;
bool g_trace = false;
thread_local long long g_commitBegan = 0;

long long Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

long long Microseconds(long long ticks) { return ticks * 1000000 / g_frequency.QuadPart; }

[[noreturn]] void Fail(const wchar_t* step, const std::wstring& inf);

struct Wintrust {
    decltype(&CryptCATAdminAcquireContext) acquire;
    decltype(&CryptCATAdminAddCatalog) add;
    decltype(&CryptCATAdminReleaseCatalogContext) releaseCatalog;
    decltype(&CryptCATAdminReleaseContext) release;
};

template <class Fn>
Fn Entry(HMODULE module, const char* name) {
    const FARPROC proc = GetProcAddress(module, name);
    if (proc == nullptr) {
        Fail(L"GetProcAddress", std::wstring(name, name + std::strlen(name)));
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

// Loaded once, by the first thread that needs it; the others wait for it.
const Wintrust& LoadWintrust() {
    static const Wintrust entries = [] {
        const HMODULE module = LoadLibraryW(L"wintrust.dll");
        if (module == nullptr) {
            Fail(L"LoadLibraryW", L"wintrust.dll");
        }
        return Wintrust{Entry<decltype(&CryptCATAdminAcquireContext)>(module, "CryptCATAdminAcquireContext"),
                        Entry<decltype(&CryptCATAdminAddCatalog)>(module, "CryptCATAdminAddCatalog"),
                        Entry<decltype(&CryptCATAdminReleaseCatalogContext)>(module,
                                                                            "CryptCATAdminReleaseCatalogContext"),
                        Entry<decltype(&CryptCATAdminReleaseContext)>(module, "CryptCATAdminReleaseContext")};
    }();
    return entries;
}

[[noreturn]] void Fail(const wchar_t* step, const std::wstring& inf) {
    const DWORD error = GetLastError();
    std::fwprintf(stderr, L"failed: %ls on %ls: error 0x%lx\n", step, inf.c_str(), error);
    std::fflush(stderr);
    ExitProcess(1);
}

// The queue's answers without any UI: do every operation, the media is where
// the INF says.
UINT CALLBACK QueueCallback(PVOID, UINT notification, UINT_PTR, UINT_PTR) {
    if (g_trace) {
        std::wprintf(L"queue %u %lld\n", notification, Microseconds(Now() - g_commitBegan));
    }
    return floor_queue::Answer(notification);
}

std::wstring FileName(const std::wstring& path) { return floor_queue::FileName(path); }

class Timer {
public:
    explicit Timer(const std::wstring& inf) : inf_(inf) {}
    void Start(const wchar_t* name) {
        name_ = name;
        began_ = Now();
    }
    long long Stop() {
        const long long took = Now() - began_;
        std::wprintf(L"step %ls %ls %lld\n", inf_.c_str(), name_, Microseconds(took));
        return took;
    }

private:
    std::wstring inf_;
    const wchar_t* name_ = L"";
    long long began_ = 0;
};

long long InstallPackage(const std::wstring& infPath) {
    Timer timer(FileName(infPath));
    long long total = 0;

    timer.Start(L"open");
    HINF inf = SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        Fail(L"SetupOpenInfFileW", infPath);
    }
    wchar_t section[LINE_LEN] = {};
    if (!SetupDiGetActualSectionToInstallW(inf, L"DefaultInstall", section, LINE_LEN, nullptr, nullptr)) {
        Fail(L"SetupDiGetActualSectionToInstallW", infPath);
    }
    total += timer.Stop();

    timer.Start(L"publish");
    wchar_t published[MAX_PATH] = {};
    if (!SetupCopyOEMInfW(infPath.c_str(), nullptr, SPOST_PATH, 0, published, MAX_PATH, nullptr, nullptr)) {
        Fail(L"SetupCopyOEMInfW", infPath);
    }
    total += timer.Stop();

    timer.Start(L"catalog");
    const std::wstring catPath = infPath.substr(0, infPath.size() - 4) + L".cat";
    std::wstring catName = FileName(catPath);
    const Wintrust& wintrust = LoadWintrust();
    HCATADMIN admin = nullptr;
    if (!wintrust.acquire(&admin, &kDriverActionVerify, 0)) {
        Fail(L"CryptCATAdminAcquireContext", infPath);
    }
    HCATINFO catalog = wintrust.add(admin, const_cast<wchar_t*>(catPath.c_str()), catName.data(), 0);
    if (catalog == nullptr) {
        Fail(L"CryptCATAdminAddCatalog", infPath);
    }
    wintrust.releaseCatalog(admin, catalog, 0);
    wintrust.release(admin, 0);
    total += timer.Stop();

    timer.Start(L"files");
    HSPFILEQ queue = SetupOpenFileQueue();
    if (queue == INVALID_HANDLE_VALUE) {
        Fail(L"SetupOpenFileQueue", infPath);
    }
    if (!SetupInstallFilesFromInfSectionW(inf, nullptr, queue, section, nullptr, 0)) {
        Fail(L"SetupInstallFilesFromInfSectionW", infPath);
    }
    g_commitBegan = Now();
    if (!SetupCommitFileQueueW(nullptr, queue, QueueCallback, nullptr)) {
        Fail(L"SetupCommitFileQueueW", infPath);
    }
    SetupCloseFileQueue(queue);
    total += timer.Stop();

    timer.Start(L"services");
    const std::wstring services = std::wstring(section) + L".Services";
    if (!SetupInstallServicesFromInfSectionW(inf, services.c_str(), 0)) {
        Fail(L"SetupInstallServicesFromInfSectionW", infPath);
    }
    total += timer.Stop();

    timer.Start(L"section");
    if (!SetupInstallFromInfSectionW(nullptr, inf, section, kInstallFlagsWithoutFiles, nullptr, nullptr, 0, nullptr,
                                     nullptr, nullptr, nullptr)) {
        Fail(L"SetupInstallFromInfSectionW", infPath);
    }
    SetupCloseInfFile(inf);
    total += timer.Stop();
    return total;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    QueryPerformanceFrequency(&g_frequency);
    bool parallel = false;
    std::vector<std::wstring> infs;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--trace") == 0) {
            g_trace = true;
        } else if (std::wcscmp(argv[i], L"--parallel") == 0) {
            parallel = true;
        } else {
            infs.emplace_back(argv[i]);
        }
    }
    std::atomic<long long> total{0};
    const long long began = Now();
    if (parallel) {
        std::vector<std::thread> threads;
        for (const std::wstring& inf : infs) {
            threads.emplace_back([&total, inf] { total += InstallPackage(inf); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    } else {
        for (const std::wstring& inf : infs) {
            total += InstallPackage(inf);
        }
    }
    const long long wall = Now() - began;
    std::wprintf(L"total %lld\nwall %lld\n", Microseconds(total.load()), Microseconds(wall));
    std::fflush(stdout);
    return 0;
}
