// Installs a package the way a setup program with its own user interface
// does, and plays the user who presses Cancel. Run as
//   <program> PACKAGE LOG ACTION [COUNT]
// it installs PACKAGE with a verbose log to LOG and answers IDCANCEL to the
// COUNT-th (default 1) progress increment sent while an action whose name
// contains ACTION runs; its exit code is MsiInstallProductW's result.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Watch {
    std::wstring action;
    int count = 1;
    std::wstring current;
    int seen = 0;
    bool answered = false;
};

std::wstring Field(MSIHANDLE record, UINT field) {
    DWORD size = 0;
    wchar_t empty[1] = L"";
    MsiRecordGetStringW(record, field, empty, &size);
    std::wstring text(static_cast<size_t>(size) + 1, L'\0');
    size += 1;
    MsiRecordGetStringW(record, field, text.data(), &size);
    text.resize(size);
    return text;
}

int WINAPI Handler(LPVOID context, UINT type, MSIHANDLE record) {
    Watch& watch = *static_cast<Watch*>(context);
    const UINT kind = type & 0xFF000000u;
    if (kind == INSTALLMESSAGE_ACTIONSTART && record != 0) {
        watch.current = Field(record, 1);
    } else if (kind == INSTALLMESSAGE_PROGRESS && record != 0 && !watch.answered &&
               watch.current.find(watch.action) != std::wstring::npos && MsiRecordGetInteger(record, 1) == 2 &&
               MsiRecordGetInteger(record, 2) > 0) {
        if (++watch.seen == watch.count) {
            watch.answered = true;
            std::printf("cancel answered in %ls\n", watch.current.c_str());
            std::fflush(stdout);
            return IDCANCEL;
        }
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        return 2;
    }
    Watch watch;
    watch.action = argv[3];
    if (argc > 4) {
        watch.count = _wtoi(argv[4]);
    }
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    const DWORD everything = INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING |
                             INSTALLLOGMODE_USER | INSTALLLOGMODE_INFO | INSTALLLOGMODE_RESOLVESOURCE |
                             INSTALLLOGMODE_OUTOFDISKSPACE | INSTALLLOGMODE_ACTIONSTART |
                             INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_COMMONDATA | INSTALLLOGMODE_PROPERTYDUMP |
                             INSTALLLOGMODE_VERBOSE;
    MsiEnableLogW(everything, argv[2], 0);
    MsiSetExternalUIRecord(Handler, INSTALLLOGMODE_ACTIONSTART | INSTALLLOGMODE_PROGRESS, &watch, nullptr);
    const UINT result = MsiInstallProductW(argv[1], L"");
    std::printf("result %u, cancel %s\n", result, watch.answered ? "answered" : "never asked");
    return static_cast<int>(result);
}
