// Test double for the system's network configuration object (CLSID_CNetCfg).
// Wine's own object grants the write lock and initializes, but cannot find,
// install or remove a component (E_NOTIMPL), so the tests register this
// in-process server for that class in their prefix instead.
//
// What it keeps lives in files under C:\dd-netcfg-double, so that separate
// processes (a test program, msiexec's custom-action process) and later runs
// in the same prefix see the same network configuration:
//
//   components.txt  the installed component ids, one a line, written by Apply
//   calls.txt       every call: pid TAB call TAB arguments TAB 0xRESULT LF
//   lock.txt        the description of the client that holds the write lock
//   control.txt     directives the tests write, one a line:
//       answer <call> <hresult> [<count>]
//           the next <count> calls (every call when no count is given)
//           answer <hresult>. <call> is a method name ("Install",
//           "AcquireWriteLock") or a QueryInterface for one interface
//           ("QueryInterface(INetCfgLock)"). A failure answer does nothing
//           else; a success answer does the call's work and then returns
//           the answer instead of S_OK. AcquireWriteLock is the exception:
//           any answer to it means the lock was not granted.
//       holder <description>
//           another client, named so, holds the write lock: AcquireWriteLock
//           waits its whole timeout and answers S_FALSE with that name.
//
// Between clients the write lock is real: one named semaphore in the prefix,
// so a second client waits in AcquireWriteLock for at most its timeout and
// then learns who holds the lock. As on Windows, Install, DeInstall and
// Apply need the write lock and an initialized object, changes stay pending
// until Apply, and the lock cannot be taken or released while initialized.
// Install also needs a published INF (in the Windows "Inf" folder) with a
// model of the component id, and adds the services of its install section,
// as the network class installer would.

#include <windows.h>
#include <objbase.h>
#include <netcfgx.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwctype>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kStateDir[] = L"C:\\dd-netcfg-double";
constexpr wchar_t kStateMutex[] = L"dd_netcfg_double_state";
constexpr wchar_t kLockSemaphore[] = L"dd_netcfg_double_write_lock";

// Identifies the double's own component objects handed back to DeInstall.
// {7D2B0C64-5E1A-4F3B-9C8D-2A6E4B1F0D37}
constexpr GUID kIidDoubleComponent = {0x7d2b0c64, 0x5e1a, 0x4f3b, {0x9c, 0x8d, 0x2a, 0x6e, 0x4b, 0x1f, 0x0d, 0x37}};

std::atomic<LONG> g_liveObjects{0};

std::wstring StatePath(const wchar_t* name) { return std::wstring(kStateDir) + L"\\" + name; }

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring FromBytes(const std::string& bytes, UINT codePage) {
    if (bytes.empty()) {
        return std::wstring();
    }
    const int size = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), size);
    return out;
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    return text;
}

std::optional<std::string> ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes, bool append) {
    CreateDirectoryW(kStateDir, nullptr);
    HANDLE file = CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::vector<std::wstring> ReadLines(const wchar_t* name) {
    std::vector<std::wstring> lines;
    const std::optional<std::string> bytes = ReadBytes(StatePath(name));
    if (!bytes) {
        return lines;
    }
    const std::wstring text = FromBytes(*bytes, CP_UTF8);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

void WriteLines(const wchar_t* name, const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) {
        text += line + L"\n";
    }
    WriteBytes(StatePath(name), ToUtf8(text), false);
}

// Serializes the state files between the threads and processes of a prefix.
class StateLock {
public:
    StateLock() : mutex_(CreateMutexW(nullptr, FALSE, kStateMutex)) {
        if (mutex_ != nullptr) {
            WaitForSingleObject(mutex_, INFINITE);
        }
    }
    ~StateLock() {
        if (mutex_ != nullptr) {
            ReleaseMutex(mutex_);
            CloseHandle(mutex_);
        }
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    HANDLE mutex_;
};

std::wstring Hex(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::wstring Quoted(const wchar_t* text) { return text == nullptr ? L"null" : L"\"" + std::wstring(text) + L"\""; }

std::wstring GuidText(const GUID* guid) {
    if (guid == nullptr) {
        return L"null";
    }
    wchar_t text[40] = {};
    StringFromGUID2(*guid, text, 40);
    return text;
}

std::wstring InterfaceName(REFIID riid) {
    if (IsEqualIID(riid, IID_INetCfg)) return L"INetCfg";
    if (IsEqualIID(riid, IID_INetCfgLock)) return L"INetCfgLock";
    if (IsEqualIID(riid, IID_INetCfgClass)) return L"INetCfgClass";
    if (IsEqualIID(riid, IID_INetCfgClassSetup)) return L"INetCfgClassSetup";
    if (IsEqualIID(riid, IID_INetCfgComponent)) return L"INetCfgComponent";
    return GuidText(&riid);
}

bool IsRecordedInterface(REFIID riid) {
    return IsEqualIID(riid, IID_INetCfg) || IsEqualIID(riid, IID_INetCfgLock) || IsEqualIID(riid, IID_INetCfgClass) ||
           IsEqualIID(riid, IID_INetCfgClassSetup) || IsEqualIID(riid, IID_INetCfgComponent);
}

void Record(const std::wstring& call, const std::wstring& arguments, HRESULT result) {
    const std::wstring line =
        std::to_wstring(GetCurrentProcessId()) + L"\t" + call + L"\t" + arguments + L"\t" + Hex(result) + L"\n";
    StateLock lock;
    WriteBytes(StatePath(L"calls.txt"), ToUtf8(line), true);
}

// The answer the tests chose for this call, if any; a counted directive is
// used up here.
std::optional<HRESULT> TakeAnswer(const std::wstring& call) {
    StateLock lock;
    std::vector<std::wstring> lines = ReadLines(L"control.txt");
    for (size_t i = 0; i < lines.size(); ++i) {
        wchar_t verb[32] = {}, name[128] = {};
        unsigned value = 0;
        int count = -1;
        const int fields = swscanf(lines[i].c_str(), L"%31ls %127ls %x %d", verb, name, &value, &count);
        if (fields < 3 || std::wstring(verb) != L"answer" || call != name) {
            continue;
        }
        if (fields == 4) {
            if (count <= 1) {
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                lines[i] = L"answer " + std::wstring(name) + L" " + Hex(static_cast<HRESULT>(value)) + L" " +
                           std::to_wstring(count - 1);
            }
            WriteLines(L"control.txt", lines);
        }
        return static_cast<HRESULT>(value);
    }
    return std::nullopt;
}

std::optional<std::wstring> PhantomHolder() {
    StateLock lock;
    for (const std::wstring& line : ReadLines(L"control.txt")) {
        if (line.rfind(L"holder ", 0) == 0) {
            return line.substr(7);
        }
    }
    return std::nullopt;
}

LPWSTR CoTaskCopy(const std::wstring& text) {
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (copy != nullptr) {
        std::copy(text.c_str(), text.c_str() + text.size() + 1, copy);
    }
    return copy;
}

std::wstring StringField(INFCONTEXT& line, DWORD index) {
    wchar_t text[512] = {};
    return SetupGetStringFieldW(&line, index, text, 512, nullptr) ? std::wstring(text) : std::wstring();
}

// The install section of the model that names the component id, looked up
// as the class installer does: the models sections the INF's first
// manufacturer lists, decorated ones first.
std::wstring FindModelSection(HINF inf, const std::wstring& id) {
    INFCONTEXT manufacturer = {};
    if (!SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &manufacturer)) {
        return std::wstring();
    }
    const std::wstring models = StringField(manufacturer, 1);
    std::vector<std::wstring> sections;
    for (DWORD i = 2; i <= SetupGetFieldCount(&manufacturer); ++i) {
        sections.push_back(models + L"." + StringField(manufacturer, i));
    }
    sections.push_back(models);
    for (const std::wstring& section : sections) {
        INFCONTEXT line = {};
        for (BOOL more = SetupFindFirstLineW(inf, section.c_str(), nullptr, &line); more;
             more = SetupFindNextLine(&line, &line)) {
            for (DWORD i = 2; i <= SetupGetFieldCount(&line); ++i) {
                if (Lower(StringField(line, i)) == Lower(id)) {
                    return StringField(line, 1);
                }
            }
        }
    }
    return std::wstring();
}

// What the network class installer does for a new component: find a
// published INF (in the Windows "Inf" folder) with a model of that id and
// add the services of its install section. Files stay where they are: the
// store keeps no source media to copy from.
HRESULT InstallFromStore(const std::wstring& id) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring folder = std::wstring(windows) + L"\\inf\\";
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW((folder + L"*.inf").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return SPAPI_E_NO_DRIVER_SELECTED;
    }
    HRESULT hr = SPAPI_E_NO_DRIVER_SELECTED;
    do {
        HINF inf = SetupOpenInfFileW((folder + entry.cFileName).c_str(), nullptr, INF_STYLE_WIN4, nullptr);
        if (inf == INVALID_HANDLE_VALUE) {
            continue;
        }
        const std::wstring section = FindModelSection(inf, id);
        if (!section.empty()) {
            wchar_t actual[512] = {};
            if (!SetupDiGetActualSectionToInstallW(inf, section.c_str(), actual, 512, nullptr, nullptr)) {
                wcscpy(actual, section.c_str());
            }
            const std::wstring services = std::wstring(actual) + L".Services";
            INFCONTEXT line = {};
            hr = S_OK;
            if (SetupFindFirstLineW(inf, services.c_str(), nullptr, &line) &&
                !SetupInstallServicesFromInfSectionW(inf, services.c_str(), 0)) {
                hr = HRESULT_FROM_SETUPAPI(GetLastError());
            }
        }
        SetupCloseInfFile(inf);
    } while (hr == SPAPI_E_NO_DRIVER_SELECTED && FindNextFileW(find, &entry));
    FindClose(find);
    return hr;
}

// QueryInterface as the configuration and class objects answer it: a failure
// a test scripted for a watched interface first, then the object's own
// interfaces (found by `find`), and every watched answer recorded.
template <class Object, class Find>
HRESULT AnswerQueryInterface(REFIID riid, void** out, Object* self, Find find) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    const bool recorded = IsRecordedInterface(riid);
    const std::wstring name = InterfaceName(riid);
    if (recorded) {
        if (const std::optional<HRESULT> answer = TakeAnswer(L"QueryInterface(" + name + L")"); answer && FAILED(*answer)) {
            Record(L"QueryInterface", name, *answer);
            return *answer;
        }
    }
    *out = find(riid);
    const HRESULT hr = *out != nullptr ? S_OK : E_NOINTERFACE;
    if (*out != nullptr) {
        self->AddRef();
    }
    if (recorded) {
        Record(L"QueryInterface", name, hr);
    }
    return hr;
}

class Component : public INetCfgComponent {
public:
    explicit Component(std::wstring id) : id_(std::move(id)) { ++g_liveObjects; }
    virtual ~Component() { --g_liveObjects; }

    const std::wstring& Id() const { return id_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_INetCfgComponent) ||
            IsEqualIID(riid, kIidDoubleComponent)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR* name) override { return Copy(L"GetDisplayName", name); }
    HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR) override { return NotImplemented(L"SetDisplayName"); }
    HRESULT STDMETHODCALLTYPE GetHelpText(LPWSTR*) override { return NotImplemented(L"GetHelpText"); }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override { return Copy(L"GetId", id); }
    HRESULT STDMETHODCALLTYPE GetCharacteristics(LPDWORD) override { return NotImplemented(L"GetCharacteristics"); }
    HRESULT STDMETHODCALLTYPE GetInstanceGuid(GUID*) override { return NotImplemented(L"GetInstanceGuid"); }
    HRESULT STDMETHODCALLTYPE GetPnpDevNodeId(LPWSTR*) override { return NotImplemented(L"GetPnpDevNodeId"); }
    HRESULT STDMETHODCALLTYPE GetClassGuid(GUID*) override { return NotImplemented(L"GetClassGuid"); }
    HRESULT STDMETHODCALLTYPE GetBindName(LPWSTR*) override { return NotImplemented(L"GetBindName"); }
    HRESULT STDMETHODCALLTYPE GetDeviceStatus(ULONG*) override { return NotImplemented(L"GetDeviceStatus"); }
    HRESULT STDMETHODCALLTYPE OpenParamKey(HKEY*) override { return NotImplemented(L"OpenParamKey"); }
    HRESULT STDMETHODCALLTYPE RaisePropertyUi(HWND, DWORD, IUnknown*) override {
        return NotImplemented(L"RaisePropertyUi");
    }

private:
    HRESULT Copy(const wchar_t* call, LPWSTR* out) {
        HRESULT hr = E_POINTER;
        if (out != nullptr) {
            *out = CoTaskCopy(id_);
            hr = *out != nullptr ? S_OK : E_OUTOFMEMORY;
        }
        Record(call, Quoted(id_.c_str()), hr);
        return hr;
    }
    HRESULT NotImplemented(const wchar_t* call) {
        Record(call, Quoted(id_.c_str()), E_NOTIMPL);
        return E_NOTIMPL;
    }

    std::wstring id_;
    std::atomic<ULONG> refs_{1};
};

class NetCfg : public INetCfg, public INetCfgLock {
public:
    NetCfg() { ++g_liveObjects; }
    virtual ~NetCfg() {
        std::wstring note;
        if (holdsLock_) {
            // A client that never released the lock must not block the
            // prefix for the tests after it.
            ReleaseLock();
            note = L"write lock still held";
        }
        Record(L"Destroyed", note, S_OK);
        --g_liveObjects;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return AnswerQueryInterface(riid, out, this, [this](REFIID iid) -> void* {
            if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_INetCfg)) {
                return static_cast<INetCfg*>(this);
            }
            if (IsEqualIID(iid, IID_INetCfgLock)) {
                return static_cast<INetCfgLock*>(this);
            }
            return nullptr;
        });
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // INetCfg
    HRESULT STDMETHODCALLTYPE Initialize(PVOID reserved) override {
        const std::wstring args = reserved == nullptr ? L"null" : L"non-null";
        if (std::optional<HRESULT> hr = Failed(L"Initialize", args)) return *hr;
        HRESULT hr = S_OK;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (initialized_) {
                hr = NETCFG_E_ALREADY_INITIALIZED;
            } else {
                StateLock state;
                working_ = ReadLines(L"components.txt");
                initialized_ = true;
            }
        }
        return Done(L"Initialize", args, hr);
    }
    HRESULT STDMETHODCALLTYPE Uninitialize() override {
        if (std::optional<HRESULT> hr = Failed(L"Uninitialize", L"")) return *hr;
        HRESULT hr = S_OK;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (!initialized_) {
                hr = NETCFG_E_NOT_INITIALIZED;
            } else {
                initialized_ = false;
                working_.clear();
            }
        }
        return Done(L"Uninitialize", L"", hr);
    }
    HRESULT STDMETHODCALLTYPE Apply() override {
        if (std::optional<HRESULT> hr = Failed(L"Apply", L"")) return *hr;
        HRESULT hr = S_OK;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            hr = CanWrite();
            if (SUCCEEDED(hr)) {
                StateLock state;
                WriteLines(L"components.txt", working_);
            }
        }
        return Done(L"Apply", L"", hr);
    }
    HRESULT STDMETHODCALLTYPE Cancel() override {
        if (std::optional<HRESULT> hr = Failed(L"Cancel", L"")) return *hr;
        HRESULT hr = S_OK;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (!initialized_) {
                hr = NETCFG_E_NOT_INITIALIZED;
            } else {
                StateLock state;
                working_ = ReadLines(L"components.txt");
            }
        }
        return Done(L"Cancel", L"", hr);
    }
    HRESULT STDMETHODCALLTYPE EnumComponents(const GUID* guid, IEnumNetCfgComponent** out) override {
        if (out != nullptr) {
            *out = nullptr;
        }
        Record(L"EnumComponents", GuidText(guid), E_NOTIMPL);
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR id, INetCfgComponent** out) override {
        return Find(L"FindComponent", id, out);
    }
    HRESULT STDMETHODCALLTYPE QueryNetCfgClass(const GUID* guid, REFIID riid, void** out) override;

    // INetCfgLock
    HRESULT STDMETHODCALLTYPE AcquireWriteLock(DWORD timeout, LPCWSTR client, LPWSTR* holder) override {
        const std::wstring args = std::to_wstring(timeout) + L"\t" + Quoted(client);
        if (holder != nullptr) {
            *holder = nullptr;
        }
        if (const std::optional<HRESULT> answer = TakeAnswer(L"AcquireWriteLock")) {
            Record(L"AcquireWriteLock", args, *answer);
            return *answer;
        }
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (initialized_) {
                return Done(L"AcquireWriteLock", args, NETCFG_E_ALREADY_INITIALIZED);
            }
            if (holdsLock_) {
                return Done(L"AcquireWriteLock", args, S_OK);
            }
        }
        if (const std::optional<std::wstring> phantom = PhantomHolder()) {
            Sleep(timeout);
            if (holder != nullptr) {
                *holder = CoTaskCopy(*phantom);
            }
            return Done(L"AcquireWriteLock", args, S_FALSE);
        }
        HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, kLockSemaphore);
        if (semaphore == nullptr) {
            return Done(L"AcquireWriteLock", args, HRESULT_FROM_WIN32(GetLastError()));
        }
        if (WaitForSingleObject(semaphore, timeout) != WAIT_OBJECT_0) {
            CloseHandle(semaphore);
            if (holder != nullptr) {
                StateLock state;
                const std::vector<std::wstring> lines = ReadLines(L"lock.txt");
                *holder = CoTaskCopy(lines.empty() ? std::wstring() : lines.front());
            }
            return Done(L"AcquireWriteLock", args, S_FALSE);
        }
        {
            std::lock_guard<std::mutex> guard(mutex_);
            semaphore_ = semaphore;
            holdsLock_ = true;
            StateLock state;
            WriteLines(L"lock.txt", {client == nullptr ? std::wstring() : std::wstring(client)});
        }
        return Done(L"AcquireWriteLock", args, S_OK);
    }
    HRESULT STDMETHODCALLTYPE ReleaseWriteLock() override {
        if (std::optional<HRESULT> hr = Failed(L"ReleaseWriteLock", L"")) return *hr;
        HRESULT hr = S_OK;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (initialized_) {
                hr = NETCFG_E_ALREADY_INITIALIZED;
            } else if (holdsLock_) {
                ReleaseLock();
            }
        }
        return Done(L"ReleaseWriteLock", L"", hr);
    }
    HRESULT STDMETHODCALLTYPE IsWriteLocked(LPWSTR* holder) override {
        if (holder != nullptr) {
            *holder = nullptr;
        }
        if (std::optional<HRESULT> hr = Failed(L"IsWriteLocked", L"")) return *hr;
        std::vector<std::wstring> lines;
        {
            StateLock state;
            lines = ReadLines(L"lock.txt");
        }
        if (const std::optional<std::wstring> phantom = PhantomHolder()) {
            lines = {*phantom};
        }
        if (lines.empty()) {
            return Done(L"IsWriteLocked", L"", S_FALSE);
        }
        if (holder != nullptr) {
            *holder = CoTaskCopy(lines.front());
        }
        return Done(L"IsWriteLocked", L"", S_OK);
    }

    // For the class objects.
    HRESULT Find(const wchar_t* call, LPCWSTR id, INetCfgComponent** out) {
        const std::wstring args = Quoted(id);
        if (out == nullptr || id == nullptr) {
            Record(call, args, E_POINTER);
            return E_POINTER;
        }
        *out = nullptr;
        if (std::optional<HRESULT> hr = Failed(call, args)) return *hr;
        HRESULT hr = S_FALSE;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (!initialized_) {
                hr = NETCFG_E_NOT_INITIALIZED;
            } else if (Contains(id)) {
                *out = new Component(id);
                hr = S_OK;
            }
        }
        return Done(call, args, hr);
    }
    HRESULT CanInstall() {
        std::lock_guard<std::mutex> guard(mutex_);
        return CanWrite();
    }
    HRESULT Add(const std::wstring& id) {
        std::lock_guard<std::mutex> guard(mutex_);
        const HRESULT hr = CanWrite();
        if (SUCCEEDED(hr) && !Contains(id)) {
            working_.push_back(id);
        }
        return hr;
    }
    HRESULT Remove(const std::wstring& id) {
        std::lock_guard<std::mutex> guard(mutex_);
        const HRESULT hr = CanWrite();
        if (FAILED(hr)) {
            return hr;
        }
        const auto it = std::find_if(working_.begin(), working_.end(),
                                     [&](const std::wstring& c) { return Lower(c) == Lower(id); });
        if (it == working_.end()) {
            return E_INVALIDARG;
        }
        working_.erase(it);
        return S_OK;
    }

    // The answer for a call that was told to fail, recorded; nothing when the
    // call goes ahead (its success answer, if any, is kept for Done).
    std::optional<HRESULT> Failed(const std::wstring& call, const std::wstring& args) {
        pending_ = TakeAnswer(call);
        if (pending_ && FAILED(*pending_)) {
            const HRESULT hr = *pending_;
            pending_.reset();
            Record(call, args, hr);
            return hr;
        }
        return std::nullopt;
    }
    HRESULT Done(const std::wstring& call, const std::wstring& args, HRESULT hr) {
        if (SUCCEEDED(hr) && pending_) {
            hr = *pending_;
        }
        pending_.reset();
        Record(call, args, hr);
        return hr;
    }

private:
    bool Contains(const std::wstring& id) const {
        return std::any_of(working_.begin(), working_.end(),
                           [&](const std::wstring& c) { return Lower(c) == Lower(id); });
    }
    HRESULT CanWrite() const {
        if (!initialized_) {
            return NETCFG_E_NOT_INITIALIZED;
        }
        return holdsLock_ ? S_OK : NETCFG_E_NO_WRITE_LOCK;
    }
    void ReleaseLock() {
        {
            StateLock state;
            DeleteFileW(StatePath(L"lock.txt").c_str());
        }
        ReleaseSemaphore(semaphore_, 1, nullptr);
        CloseHandle(semaphore_);
        semaphore_ = nullptr;
        holdsLock_ = false;
    }

    std::atomic<ULONG> refs_{1};
    std::mutex mutex_;
    bool initialized_ = false;
    bool holdsLock_ = false;
    HANDLE semaphore_ = nullptr;
    std::vector<std::wstring> working_;
    // Calls on one configuration object come one at a time from its client.
    std::optional<HRESULT> pending_;
};

// One network class: INetCfgClass and INetCfgClassSetup on the same object.
class NetCfgClass : public INetCfgClass, public INetCfgClassSetup {
public:
    NetCfgClass(NetCfg* owner, const GUID& guid) : owner_(owner), guid_(guid) {
        owner_->AddRef();
        ++g_liveObjects;
    }
    virtual ~NetCfgClass() {
        static_cast<INetCfg*>(owner_)->Release();
        --g_liveObjects;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return AnswerQueryInterface(riid, out, this, [this](REFIID iid) -> void* {
            if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_INetCfgClass)) {
                return static_cast<INetCfgClass*>(this);
            }
            if (IsEqualIID(iid, IID_INetCfgClassSetup)) {
                return static_cast<INetCfgClassSetup*>(this);
            }
            return nullptr;
        });
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // INetCfgClass
    HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR id, INetCfgComponent** out) override {
        return owner_->Find(L"ClassFindComponent", id, out);
    }
    HRESULT STDMETHODCALLTYPE EnumComponents(IEnumNetCfgComponent** out) override {
        if (out != nullptr) {
            *out = nullptr;
        }
        Record(L"ClassEnumComponents", GuidText(&guid_), E_NOTIMPL);
        return E_NOTIMPL;
    }

    // INetCfgClassSetup
    HRESULT STDMETHODCALLTYPE SelectAndInstall(HWND, OBO_TOKEN*, INetCfgComponent** out) override {
        if (out != nullptr) {
            *out = nullptr;
        }
        Record(L"SelectAndInstall", GuidText(&guid_), E_NOTIMPL);
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Install(LPCWSTR id, OBO_TOKEN* obo, DWORD flags, DWORD build, LPCWSTR answerFile,
                                      LPCWSTR answerSections, INetCfgComponent** out) override {
        const std::wstring args = Quoted(id) + L"\t" + GuidText(&guid_) + L"\t" + OboText(obo) + L"\t" +
                                  std::to_wstring(flags) + L"\t" + std::to_wstring(build) + L"\t" +
                                  Quoted(answerFile) + L"\t" + Quoted(answerSections);
        if (out != nullptr) {
            *out = nullptr;
        }
        if (std::optional<HRESULT> hr = owner_->Failed(L"Install", args)) return *hr;
        HRESULT hr = S_OK;
        if (id == nullptr || obo == nullptr) {
            hr = E_POINTER;
        } else if (hr = owner_->CanInstall(); SUCCEEDED(hr) && SUCCEEDED(hr = InstallFromStore(id))) {
            hr = owner_->Add(id);
            if (SUCCEEDED(hr) && out != nullptr) {
                *out = new Component(id);
            }
        }
        return owner_->Done(L"Install", args, hr);
    }
    HRESULT STDMETHODCALLTYPE DeInstall(INetCfgComponent* component, OBO_TOKEN* obo, LPWSTR* refs) override {
        Component* mine = nullptr;
        if (component != nullptr &&
            SUCCEEDED(component->QueryInterface(kIidDoubleComponent, reinterpret_cast<void**>(&mine)))) {
            mine->Release();  // the caller's reference keeps it alive
        }
        const std::wstring args =
            (mine != nullptr ? Quoted(mine->Id().c_str()) : std::wstring(L"foreign")) + L"\t" + GuidText(&guid_) +
            L"\t" + OboText(obo) + L"\t" + (refs == nullptr ? L"null" : L"non-null");
        if (refs != nullptr) {
            *refs = nullptr;
        }
        if (std::optional<HRESULT> hr = owner_->Failed(L"DeInstall", args)) return *hr;
        const HRESULT hr = (mine == nullptr || obo == nullptr) ? E_INVALIDARG : owner_->Remove(mine->Id());
        return owner_->Done(L"DeInstall", args, hr);
    }

private:
    static std::wstring OboText(const OBO_TOKEN* obo) {
        if (obo == nullptr) {
            return L"null";
        }
        const bool restZero = obo->pncc == nullptr && obo->pszwManufacturer == nullptr && obo->pszwProduct == nullptr &&
                              obo->pszwDisplayName == nullptr && !obo->fRegistered;
        return L"obo-type=" + std::to_wstring(static_cast<int>(obo->Type)) + (restZero ? L",rest-zero" : L",rest-set");
    }

    NetCfg* owner_;
    GUID guid_;
    std::atomic<ULONG> refs_{1};
};

HRESULT STDMETHODCALLTYPE NetCfg::QueryNetCfgClass(const GUID* guid, REFIID riid, void** out) {
    const std::wstring args = GuidText(guid) + L"\t" + InterfaceName(riid);
    if (out == nullptr || guid == nullptr) {
        Record(L"QueryNetCfgClass", args, E_POINTER);
        return E_POINTER;
    }
    *out = nullptr;
    if (std::optional<HRESULT> hr = Failed(L"QueryNetCfgClass", args)) return *hr;
    HRESULT hr = S_OK;
    bool initialized = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        initialized = initialized_;
    }
    if (!initialized) {
        hr = NETCFG_E_NOT_INITIALIZED;
    } else if (!IsEqualIID(riid, IID_INetCfgClass) && !IsEqualIID(riid, IID_INetCfgClassSetup)) {
        hr = E_NOINTERFACE;
    } else {
        auto* cls = new NetCfgClass(this, *guid);
        if (IsEqualIID(riid, IID_INetCfgClass)) {
            *out = static_cast<INetCfgClass*>(cls);
        } else {
            *out = static_cast<INetCfgClassSetup*>(cls);
        }
    }
    return Done(L"QueryNetCfgClass", args, hr);
}

class Factory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        const std::wstring args = InterfaceName(riid);
        if (outer != nullptr) {
            Record(L"CreateInstance", args, CLASS_E_NOAGGREGATION);
            return CLASS_E_NOAGGREGATION;
        }
        if (const std::optional<HRESULT> answer = TakeAnswer(L"CreateInstance"); answer && FAILED(*answer)) {
            Record(L"CreateInstance", args, *answer);
            return *answer;
        }
        auto* object = new NetCfg();
        const HRESULT hr = static_cast<INetCfg*>(object)->QueryInterface(riid, out);
        static_cast<INetCfg*>(object)->Release();
        Record(L"CreateInstance", args, hr);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        g_liveObjects += lock ? 1 : -1;
        return S_OK;
    }
};

Factory g_factory;

}  // namespace

extern "C" {

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_CNetCfg)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(riid, out);
}

HRESULT WINAPI DllCanUnloadNow() { return g_liveObjects.load() == 0 ? S_OK : S_FALSE; }

// Objects of this double still alive in the process: the tests check that
// every interface pointer handed out was released.
LONG WINAPI DdNetCfgDoubleLiveObjects() { return g_liveObjects.load(); }

}  // extern "C"
