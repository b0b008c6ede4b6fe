// A user-mode service that does nothing but run until it is told to stop,
// so that tests can start and stop a real service under the control manager.
// Its command line can make it hard to stop:
//   slow-stop MS    on a stop request, reports stop pending for MS first;
//   refuse-stop MS  accepts no stop request and ends by itself after MS.

#include <windows.h>

#include <cwchar>

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
DWORD g_slowStop = 0;
DWORD g_refuseStop = 0;

void Report(DWORD state, DWORD waitHint = 0) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING && g_refuseStop == 0 ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = waitHint;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP && g_refuseStop == 0) {
        Report(SERVICE_STOP_PENDING, g_slowStop);
        SetEvent(g_stopEvent);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
    g_statusHandle = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", Control, nullptr);
    if (g_statusHandle == nullptr) {
        return;
    }
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stopEvent, g_refuseStop != 0 ? g_refuseStop : INFINITE);
    Sleep(g_slowStop);
    CloseHandle(g_stopEvent);
    Report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const DWORD ms = static_cast<DWORD>(wcstoul(argv[i + 1], nullptr, 10));
        if (wcscmp(argv[i], L"slow-stop") == 0) {
            g_slowStop = ms;
        } else if (wcscmp(argv[i], L"refuse-stop") == 0) {
            g_refuseStop = ms;
        }
    }
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
