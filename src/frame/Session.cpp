#include "frame/Session.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "frame/Handles.h"
#include "frame/HResult.h"
#include "frame/KeptAnswers.h"
#include "frame/Log.h"

namespace setup {

namespace {

enum class Verbosity : int { Unknown, Off, On };

HMODULE g_module = nullptr;
MSIHANDLE g_installer = 0;
MSIHANDLE g_database = 0;
bool g_initialized = false;
char g_actionName[32] = {};
// Written from package threads while the entry thread waits on them.
std::atomic<uint32_t> g_cancelState{0};
std::atomic<bool> g_explicitProgressAccepted{false};
Verbosity g_verbosity = Verbosity::Unknown;

constexpr wchar_t kVerboseAtom[] = L"WcaVerboseLogging";
constexpr wchar_t kNotVerboseAtom[] = L"WcaNotVerboseLogging";

// HRESULT of the last error, E_FAIL when it does not read as a failure.
int32_t LastErrorOrFail() {
    const int32_t hr = HResultFromWin32(GetLastError());
    return hr < 0 ? hr : hresult::Fail;
}

bool HasLetterV(const wchar_t* text, size_t length) {
    for (size_t i = 0; i < length && text[i] != L'\0'; ++i) {
        if (text[i] == L'v' || text[i] == L'V') {
            return true;
        }
    }
    return false;
}

bool MachinePolicyAsksVerbose() {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Microsoft\\Windows\\Installer", 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return false;
    }
    wchar_t value[16] = {};  // 32 bytes
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), L"Logging", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS) {
        return false;
    }
    return HasLetterV(value, size / sizeof(wchar_t));
}

bool DecideVerbose(MSIHANDLE installer) {
    char empty[1] = {};
    DWORD size = 0;
    MsiGetPropertyA(installer, "LOGVERBOSE", empty, &size);
    if (size > 0) {
        return true;
    }

    DWORD length = 0;
    wchar_t probe[1] = {};
    UINT rc = MsiGetPropertyW(installer, L"MsiLogging", probe, &length);
    std::vector<wchar_t> buffer;
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            buffer.assign(static_cast<size_t>(length) + 1, L'\0');
            length = static_cast<DWORD>(buffer.size());
            rc = MsiGetPropertyW(installer, L"MsiLogging", buffer.data(), &length);
            if (rc != ERROR_MORE_DATA) {
                break;
            }
        }
    }
    if (rc != ERROR_SUCCESS) {
        // The installer could not say how it logs: stay quiet rather than
        // let the machine policy decide for it.
        LogFailure(HResultFromWin32(rc), L"failed to get MsiLogging property");
        return false;
    }
    if (HasLetterV(buffer.data(), buffer.size())) {
        return true;
    }
    return MachinePolicyAsksVerbose();
}

// Other custom-action libraries in the same process read the decision from
// these two atoms.
int32_t PublishVerboseAtoms(bool verbose) {
    if (verbose) {
        if (GlobalFindAtomW(kVerboseAtom) == 0 && GlobalAddAtomW(kVerboseAtom) == 0) {
            const int32_t hr = LastErrorOrFail();
            LogFailure(hr, L"Failed to create WcaVerboseLogging global atom.");
            return hr;
        }
        const ATOM notVerbose = GlobalFindAtomW(kNotVerboseAtom);
        SetLastError(ERROR_SUCCESS);
        if (notVerbose != 0 && GlobalDeleteAtom(notVerbose) != 0) {
            const int32_t hr = LastErrorOrFail();
            LogFailure(hr, L"Failed to delete WcaNotVerboseLogging global atom.");
            return hr;
        }
    } else {
        const ATOM verboseAtom = GlobalFindAtomW(kVerboseAtom);
        SetLastError(ERROR_SUCCESS);
        if (verboseAtom != 0 && GlobalDeleteAtom(verboseAtom) != 0) {
            const int32_t hr = LastErrorOrFail();
            LogFailure(hr, L"Failed to delete WcaVerboseLogging global atom.");
            return hr;
        }
        if (GlobalFindAtomW(kNotVerboseAtom) == 0 && GlobalAddAtomW(kNotVerboseAtom) == 0) {
            const int32_t hr = LastErrorOrFail();
            LogFailure(hr, L"Failed to create WcaNotVerboseLogging global atom.");
            return hr;
        }
    }
    return hresult::Ok;
}

void LogModuleVersion(const wchar_t* path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    DWORD most = 0;
    DWORD least = 0;
    if (size != 0) {
        std::vector<BYTE> data(size);
        VS_FIXEDFILEINFO* info = nullptr;
        UINT infoSize = 0;
        if (GetFileVersionInfoW(path, 0, size, data.data()) &&
            VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) && info != nullptr) {
            most = info->dwFileVersionMS;
            least = info->dwFileVersionLS;
        }
    }
    WriteLog(log_level::Verbose, L"Entering %s in %ls, version %u.%u.%u.%u", g_actionName, path,
             static_cast<unsigned>(HIWORD(most)), static_cast<unsigned>(LOWORD(most)),
             static_cast<unsigned>(HIWORD(least)), static_cast<unsigned>(LOWORD(least)));
}

}  // namespace

void SetModule(HMODULE module) { g_module = module; }
HMODULE GetModule() { return g_module; }

int32_t Initialize(MSIHANDLE installer, const char* actionName) {
    g_cancelState.store(0);
    g_initialized = true;
    g_installer = installer;
    g_database = MsiGetActiveDatabase(installer);

    int32_t hr = hresult::Ok;
    const char* name = actionName != nullptr ? actionName : "";
    const size_t length = std::strlen(name);
    const size_t kept = length < sizeof(g_actionName) - 1 ? length : sizeof(g_actionName) - 1;
    std::memcpy(g_actionName, name, kept);
    g_actionName[kept] = '\0';
    if (length >= sizeof(g_actionName)) {
        hr = hresult::InsufficientBuffer;
        LogFailure(hr, L"Failed to copy CustomAction log name: %s", name);
    }

    if (hr >= 0 && g_database != 0) {
        if (g_verbosity == Verbosity::Unknown) {
            g_verbosity = DecideVerbose(installer) ? Verbosity::On : Verbosity::Off;
        }
        hr = PublishVerboseAtoms(g_verbosity == Verbosity::On);
        if (hr < 0) {
            LogFailure(hr, L"Failed to set verbose logging global atom");
        }
    }

    if (hr >= 0) {
        wchar_t path[MAX_PATH] = {};
        if (GetModuleFileNameW(g_module, path, MAX_PATH) != 0) {
            LogModuleVersion(path);
        } else {
            hr = LastErrorOrFail();
            LogFailure(hr, L"Failed to get module filename");
        }
    }

    if (hr < 0) {
        if (g_database != 0) {
            MsiCloseHandle(g_database);
            g_database = 0;
        }
        g_installer = 0;
        g_initialized = false;
    }
    return hr;
}

uint32_t Finalize(uint32_t result) {
    if (g_database != 0) {
        MsiCloseHandle(g_database);
        g_database = 0;
    }
    g_installer = 0;
    g_initialized = false;
    g_actionName[0] = '\0';
    const uint32_t cancel = g_cancelState.load();
    return cancel != 0 ? cancel : result;
}

MSIHANDLE GetHandle() { return g_installer; }
MSIHANDLE GetDatabase() { return g_database; }
bool IsInitialized() { return g_initialized; }
const char* GetActionName() { return g_actionName; }

bool IsCancelled() { return g_cancelState.load() == result::UserExit; }
void MarkCancelled() { g_cancelState.store(result::UserExit); }

int32_t DoDeferredAction(const std::wstring& action, const std::wstring& data, uint32_t ticks) {
    // The installer runs the named action in between: what the session
    // answered before may no longer hold.
    ForgetKeptSessionAnswers();
    if (!data.empty()) {
        const UINT rc = MsiSetPropertyW(g_installer, action.c_str(), data.c_str());
        if (rc != ERROR_SUCCESS) {
            int32_t hr = HResultFromWin32(rc);
            if (hr >= 0) {
                hr = hresult::Fail;
            }
            LogFailure(hr, L"Failed to set CustomActionData for deferred action");
            return hr;
        }
    }
    int32_t progress = hresult::Ok;
    if (ticks != 0) {
        progress = SendProgress(ticks, true);
    }
    const UINT rc = MsiDoActionW(g_installer, action.c_str());
    if (rc == ERROR_INSTALL_USEREXIT) {
        MarkCancelled();
    }
    if (rc == ERROR_SUCCESS) {
        return progress;
    }
    int32_t hr = HResultFromWin32(rc);
    if (hr >= 0) {
        hr = hresult::Fail;
    }
    LogFailure(hr, L"Failed MsiDoAction on deferred action");
    return hr;
}

int ProcessMessage(INSTALLMESSAGE type, MSIHANDLE record) {
    const int reply = MsiProcessMessage(g_installer, type, record);
    if (reply == static_cast<int>(result::UserExit) || reply == IDCANCEL) {
        MarkCancelled();
    }
    return reply;
}

int32_t SendProgress(uint32_t ticks, bool addToTotal) {
    UniqueMsiHandle record(MsiCreateRecord(3));
    const auto send = [&record](int field1, uint32_t field2) {
        MsiRecordSetInteger(record.get(), 1, field1);
        MsiRecordSetInteger(record.get(), 2, static_cast<int>(field2));
        MsiRecordSetInteger(record.get(), 3, 0);
        return static_cast<unsigned>(ProcessMessage(INSTALLMESSAGE_PROGRESS, record.get()));
    };
    const auto cancel = []() {
        MarkCancelled();
        return 1;
    };

    if (!addToTotal && !g_explicitProgressAccepted.load()) {
        // Ask the installer to move the bar only on our explicit messages.
        const unsigned reply = send(1, 1);
        if (reply == 0 || reply == IDOK || reply == IDYES) {
            g_explicitProgressAccepted.store(true);
        } else if (reply == IDCANCEL || reply == IDABORT) {
            return cancel();
        } else {
            LogFailure(hresult::Unexpected, L"failed to tell Darwin to use explicit progress messages");
            return hresult::Unexpected;
        }
    }

    const unsigned reply = send(addToTotal ? 3 : 2, ticks);
    if (reply < 2 || reply == IDYES) {
        return hresult::Ok;
    }
    if (reply == IDCANCEL || reply == IDABORT) {
        return cancel();
    }
    return hresult::Unexpected;
}

namespace {

// Field 1 the Error row, field 2 the code, fields 3 and on the strings.
int32_t SendNumberedMessage(INSTALLMESSAGE kind, uint32_t number, int32_t code, std::initializer_list<std::wstring> strings) {
    UniqueMsiHandle record(MsiCreateRecord(static_cast<UINT>(strings.size() + 2)));
    if (!record) {
        LogFailure(hresult::OutOfMemory, L"failed to create record when sending error message");
        return hresult::OutOfMemory;
    }
    UINT rc = MsiRecordSetInteger(record.get(), 1, static_cast<int>(number));
    if (rc != ERROR_SUCCESS) {
        const int32_t hr = HResultFromWin32(rc);
        LogFailure(hr, L"failed to set error code into error message");
        return hr;
    }
    rc = MsiRecordSetInteger(record.get(), 2, code);
    if (rc != ERROR_SUCCESS) {
        const int32_t hr = HResultFromWin32(rc);
        LogFailure(hr, L"failed to set hresult code into error message");
        return hr;
    }
    UINT field = 3;
    for (const std::wstring& s : strings) {
        rc = MsiRecordSetStringW(record.get(), field++, s.c_str());
        if (rc != ERROR_SUCCESS) {
            const int32_t hr = HResultFromWin32(rc);
            LogFailure(hr, L"failed to set string string into error message");
            return hr;
        }
    }
    ProcessMessage(kind, record.get());
    return hresult::Ok;
}

}  // namespace

int32_t SendErrorMessage(uint32_t number, int32_t code, uint32_t type, std::initializer_list<std::wstring> strings) {
    return SendNumberedMessage(static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | type), number, code, strings);
}

int32_t SendWarningMessage(uint32_t number, int32_t code, std::initializer_list<std::wstring> strings) {
    return SendNumberedMessage(static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_WARNING | MB_OK), number, code, strings);
}

ComponentState QueryComponentState(const std::wstring& component) {
    return KeptComponentState(component, [&component] {
        INSTALLSTATE installed = INSTALLSTATE_UNKNOWN;
        INSTALLSTATE action = INSTALLSTATE_UNKNOWN;
        ComponentState state;
        state.result = MsiGetComponentStateW(g_installer, component.c_str(), &installed, &action);
        state.installed = installed;
        state.action = action;
        return state;
    });
}

ComponentToDo GetComponentToDo(const std::wstring& component) {
    const ComponentState state = QueryComponentState(component);
    if (state.result != ERROR_SUCCESS) {
        return ComponentToDo::None;
    }
    return ComponentToDoFromStates(state.installed, state.action);
}

bool IsVerboseLoggingEnabled() {
    if (GlobalFindAtomW(kVerboseAtom) != 0) {
        return true;
    }
    if (GlobalFindAtomW(kNotVerboseAtom) != 0) {
        return false;
    }
    return MachinePolicyAsksVerbose();
}

void ResetProcessStateForTesting() {
    g_verbosity = Verbosity::Unknown;
    g_explicitProgressAccepted.store(false);
    g_cancelState.store(0);
}

}  // namespace setup
