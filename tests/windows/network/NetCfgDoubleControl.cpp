#include "windows/network/NetCfgDoubleControl.h"

#include <sstream>
#include <stdexcept>

#include "windows/support/InstallerFixture.h"

namespace ddtest::netcfg {

const wchar_t kClsidText[] = L"{5B035261-40F9-11D1-AAEC-00805FC1270E}";

namespace {

constexpr wchar_t kStateDir[] = L"C:\\dd-netcfg-double";

std::wstring ServerKey() { return std::wstring(L"Software\\Classes\\CLSID\\") + kClsidText + L"\\InprocServer32"; }

std::wstring ReadValue(const wchar_t* name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, ServerKey().c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    return data;
}

void WriteValue(const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ServerKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create the InprocServer32 key");
    }
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::wstring StatePath(const wchar_t* name) { return std::wstring(kStateDir) + L"\\" + name; }

std::vector<std::wstring> ReadLines(const wchar_t* name) {
    std::vector<std::wstring> lines;
    if (!FileExists(StatePath(name))) {
        return lines;
    }
    const std::vector<unsigned char> bytes = ReadBinaryFile(StatePath(name));
    std::wistringstream text(Widen(std::string(bytes.begin(), bytes.end())));
    for (std::wstring line; std::getline(text, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

void WriteLines(const wchar_t* name, const std::vector<std::wstring>& lines) {
    CreateDirectoryW(kStateDir, nullptr);
    std::wstring text;
    for (const std::wstring& line : lines) {
        text += line + L"\n";
    }
    WriteTextFile(StatePath(name), Narrow(text));
}

std::vector<std::wstring> SplitTabs(const std::wstring& line) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find(L'\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::wstring::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

}  // namespace

std::wstring DoublePath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"dd_netcfg_double.dll";
}

std::wstring RegisteredServer() { return ReadValue(nullptr); }
std::wstring RegisteredThreadingModel() { return ReadValue(L"ThreadingModel"); }

Registration::Registration() : savedServer_(ReadValue(nullptr)), savedModel_(ReadValue(L"ThreadingModel")) {
    ResetState();
    WriteValue(nullptr, DoublePath());
    WriteValue(L"ThreadingModel", L"Both");
}

Registration::~Registration() {
    WriteValue(nullptr, savedServer_);
    WriteValue(L"ThreadingModel", savedModel_);
    ResetState();
}

std::vector<Call> Calls() {
    std::vector<Call> calls;
    for (const std::wstring& line : ReadLines(L"calls.txt")) {
        std::vector<std::wstring> fields = SplitTabs(line);
        if (fields.size() < 3) {
            continue;
        }
        Call call;
        call.pid = static_cast<DWORD>(std::stoul(fields.front()));
        call.name = fields[1];
        call.result = static_cast<uint32_t>(std::stoul(fields.back(), nullptr, 16));
        call.args.assign(fields.begin() + 2, fields.end() - 1);
        calls.push_back(call);
    }
    return calls;
}

std::vector<std::wstring> CallNames() {
    std::vector<std::wstring> names;
    for (const Call& call : Calls()) {
        names.push_back(call.name);
    }
    return names;
}

void ClearCalls() { DeleteFileW(StatePath(L"calls.txt").c_str()); }

std::vector<std::wstring> InstalledComponents() { return ReadLines(L"components.txt"); }
void SetInstalledComponents(const std::vector<std::wstring>& ids) { WriteLines(L"components.txt", ids); }

void Answer(const std::wstring& call, uint32_t hr, int count) {
    std::vector<std::wstring> lines = ReadLines(L"control.txt");
    wchar_t code[16] = {};
    swprintf(code, 16, L"0x%08X", hr);
    lines.push_back(L"answer " + call + L" " + code + (count < 0 ? L"" : L" " + std::to_wstring(count)));
    WriteLines(L"control.txt", lines);
}

void SetLockHolder(const std::wstring& description) {
    std::vector<std::wstring> lines = ReadLines(L"control.txt");
    lines.push_back(L"holder " + description);
    WriteLines(L"control.txt", lines);
}

void ClearControl() { DeleteFileW(StatePath(L"control.txt").c_str()); }

long LiveObjects() {
    HMODULE module = GetModuleHandleW(L"dd_netcfg_double.dll");
    if (module == nullptr) {
        return -1;
    }
    using Count = LONG(WINAPI*)();
    auto count = reinterpret_cast<Count>(GetProcAddress(module, "DdNetCfgDoubleLiveObjects"));
    return count != nullptr ? count() : -1;
}

void ResetState() {
    for (const wchar_t* name : {L"calls.txt", L"components.txt", L"control.txt", L"lock.txt"}) {
        DeleteFileW(StatePath(name).c_str());
    }
}

}  // namespace ddtest::netcfg
