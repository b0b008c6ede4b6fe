// A custom action that asks COM for the network configuration object the way
// the network installer does and writes to the installer log which module
// serves it and what FindComponent answers, so an end-to-end test can see
// whether msiexec's custom-action process gets the registered double or
// Wine's own object.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <netcfgx.h>

#include <string>

namespace {

void LogLine(MSIHANDLE installer, const std::wstring& text) {
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, text.c_str());
    MsiProcessMessage(installer, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

std::wstring Hex(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall ProbeNetCfg(MSIHANDLE installer) {
    const HRESULT init = CoInitialize(nullptr);
    INetCfg* netCfg = nullptr;
    const HRESULT created =
        CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, reinterpret_cast<void**>(&netCfg));
    std::wstring server = L"none";
    HRESULT found = E_UNEXPECTED;
    if (SUCCEEDED(created)) {
        // The module whose code implements the object's first method.
        HMODULE module = nullptr;
        void* method = (*reinterpret_cast<void***>(netCfg))[3];
        wchar_t path[MAX_PATH] = {};
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCWSTR>(method), &module) &&
            GetModuleFileNameW(module, path, MAX_PATH) != 0) {
            server = path;
        }
        netCfg->Initialize(nullptr);
        INetCfgComponent* component = nullptr;
        found = netCfg->FindComponent(L"dd_probe", &component);
        if (component != nullptr) {
            component->Release();
        }
        netCfg->Uninitialize();
        netCfg->Release();
    }
    LogLine(installer, L"NetCfgProbe: pid " + std::to_wstring(GetCurrentProcessId()) + L" created " + Hex(created) +
                           L" server " + server + L" FindComponent " + Hex(found) + L" command " + GetCommandLineW());
    if (SUCCEEDED(init)) {
        CoUninitialize();
    }
    return ERROR_SUCCESS;
}
