// The platform work of a filter-driver package and nothing else: for each INF
// named on the command line, the calls a package install cannot do without
// (open the INF and find its decorated install section, publish it to the INF
// store, add its catalog, queue and commit the copy sections, the services
// section, the rest of the install section), timed one by one.
//
//   dd_bench_platform_floor.exe <inf> [<inf> ...]
//
// Prints "step <inf> <name> <microseconds>" per call group and
// "total <microseconds>" for all of them; exits 1 at the first failing call,
// naming it.

#include <windows.h>
#include <mscat.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

// DRIVER_ACTION_VERIFY, the subsystem of driver catalogs.
const GUID kDriverActionVerify = {0xf750e6c3, 0x38ee, 0x11d1, {0x85, 0xe5, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};

// Every SPINST_ directive up to SPINST_COPYINF except the files, which went
// through the queue.
constexpr UINT kInstallFlagsWithoutFiles = 0x3EF;

LARGE_INTEGER g_frequency;

long long Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

long long Microseconds(long long ticks) { return ticks * 1000000 / g_frequency.QuadPart; }

[[noreturn]] void Fail(const wchar_t* step, const std::wstring& inf) {
    const DWORD error = GetLastError();
    std::fwprintf(stderr, L"failed: %ls on %ls: error 0x%lx\n", step, inf.c_str(), error);
    std::fflush(stderr);
    ExitProcess(1);
}

// The queue's answers without any UI: do every operation, the media is where
// the INF says.
UINT CALLBACK QueueCallback(PVOID, UINT notification, UINT_PTR, UINT_PTR) {
    switch (notification) {
    case SPFILENOTIFY_NEEDMEDIA:
    case SPFILENOTIFY_STARTCOPY:
    case SPFILENOTIFY_STARTDELETE:
    case SPFILENOTIFY_STARTRENAME:
        return FILEOP_DOIT;
    case SPFILENOTIFY_COPYERROR:
    case SPFILENOTIFY_RENAMEERROR:
        return FILEOP_ABORT;
    case SPFILENOTIFY_DELETEERROR:
        return FILEOP_SKIP;
    default:
        return TRUE;
    }
}

std::wstring FileName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

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
    HCATADMIN admin = nullptr;
    if (!CryptCATAdminAcquireContext(&admin, &kDriverActionVerify, 0)) {
        Fail(L"CryptCATAdminAcquireContext", infPath);
    }
    HCATINFO catalog = CryptCATAdminAddCatalog(admin, const_cast<wchar_t*>(catPath.c_str()), catName.data(), 0);
    if (catalog == nullptr) {
        Fail(L"CryptCATAdminAddCatalog", infPath);
    }
    CryptCATAdminReleaseCatalogContext(admin, catalog, 0);
    CryptCATAdminReleaseContext(admin, 0);
    total += timer.Stop();

    timer.Start(L"files");
    HSPFILEQ queue = SetupOpenFileQueue();
    if (queue == INVALID_HANDLE_VALUE) {
        Fail(L"SetupOpenFileQueue", infPath);
    }
    if (!SetupInstallFilesFromInfSectionW(inf, nullptr, queue, section, nullptr, 0)) {
        Fail(L"SetupInstallFilesFromInfSectionW", infPath);
    }
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
    long long total = 0;
    for (int i = 1; i < argc; ++i) {
        total += InstallPackage(argv[i]);
    }
    std::wprintf(L"total %lld\n", Microseconds(total));
    std::fflush(stdout);
    return 0;
}
