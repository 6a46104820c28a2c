// The simulated endpoint service as a COM server DLL, registered in a Wine prefix in place of
// the system's device enumerator. It configures itself from the file named by VLASIM_CONFIG.
#include "sim/internal.h"

#include <objbase.h>
#include <olectl.h>

#include <cstdio>
#include <mutex>

namespace {

HMODULE module = nullptr;

const wchar_t kServerKey[] = L"CLSID\\{BCDE0395-E52F-467C-8E3D-C4579291692E}\\InprocServer32";
// What the prefix had before us, so that unregistering gives the system's enumerator back.
const wchar_t kSavedServer[] = L"VlasimSavedServer";
const wchar_t kSavedModel[] = L"VlasimSavedThreadingModel";

HRESULT configureOnce() {
    static std::once_flag once;
    static HRESULT result = S_OK;
    std::call_once(once, [] {
        sim::reset();
        wchar_t path[1024];
        // Each stream's counters at its Stop, for a runner that cannot link the sim.
        DWORD n = GetEnvironmentVariableW(L"VLASIM_REPORT", path, 1024);
        if (n > 0 && n < 1024) {
            std::wstring report = path[0] == L'/' ? L"Z:" + std::wstring(path) : path;
            for (auto& c : report)
                if (c == L'/') c = L'\\';
            std::lock_guard<std::mutex> l(sim::state().m);
            sim::state().reportPath = report;
        }
        {
            // Only a linked test can read a recording: here, keeping one would only make the
            // first Start reserve megabytes, and delay the client's next call by as much.
            std::lock_guard<std::mutex> l(sim::state().m);
            sim::state().keepRecordings = false;
        }
        n = GetEnvironmentVariableW(L"VLASIM_CONFIG", path, 1024);
        if (n == 0 || n >= 1024) return;
        std::wstring error;
        if (!sim::loadConfigFile(path, &error)) {
            // A host would only see "no enumerator"; say why where a person will look.
            fwprintf(stderr, L"vlasio-sim: %ls\n", error.c_str());
            OutputDebugStringW((L"vlasio-sim: " + error + L"\n").c_str());
            result = E_FAIL;
        }
    });
    return result;
}

std::wstring modulePath() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    return n && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

std::wstring readString(HKEY key, const wchar_t* name) {
    wchar_t buf[MAX_PATH * 2];
    DWORD bytes = sizeof buf;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, buf, &bytes) != ERROR_SUCCESS)
        return std::wstring();
    return buf;
}

bool hasValue(HKEY key, const wchar_t* name) {
    return RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

LSTATUS writeString(HKEY key, const wchar_t* name, const std::wstring& v) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                          DWORD((v.size() + 1) * sizeof(wchar_t)));
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_MMDeviceEnumerator) return CLASS_E_CLASSNOTAVAILABLE;
    HRESULT hr = configureOnce();
    if (FAILED(hr)) return hr;
    return sim::enumeratorFactory()->QueryInterface(riid, ppv);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return sim::liveObjects() == 0 && sim::serverLocks == 0 ? S_OK : S_FALSE;
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
    std::wstring self = modulePath();
    if (self.empty()) return E_FAIL;
    HKEY key;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    std::wstring previous = readString(key, nullptr);
    LSTATUS st = ERROR_SUCCESS;
    if (!hasValue(key, kSavedServer) && lstrcmpiW(previous.c_str(), self.c_str()) != 0) {
        st |= writeString(key, kSavedServer, previous);
        st |= writeString(key, kSavedModel, readString(key, L"ThreadingModel"));
    }
    st |= writeString(key, nullptr, self);
    st |= writeString(key, L"ThreadingModel", L"Both");
    RegCloseKey(key);
    return st == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_READ | KEY_WRITE, &key) !=
        ERROR_SUCCESS)
        return S_OK; // nothing registered
    // Only take back a registration that is ours.
    if (lstrcmpiW(readString(key, nullptr).c_str(), modulePath().c_str()) != 0) {
        RegCloseKey(key);
        return S_OK;
    }
    bool saved = hasValue(key, kSavedServer);
    std::wstring server = readString(key, kSavedServer), model = readString(key, kSavedModel);
    RegCloseKey(key);
    if (!saved || server.empty())
        return RegDeleteTreeW(HKEY_CLASSES_ROOT, kServerKey) == ERROR_SUCCESS ? S_OK
                                                                              : SELFREG_E_CLASS;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    LSTATUS st = writeString(key, nullptr, server);
    if (!model.empty()) st |= writeString(key, L"ThreadingModel", model);
    RegDeleteValueW(key, kSavedServer);
    RegDeleteValueW(key, kSavedModel);
    RegCloseKey(key);
    return st == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

} // extern "C"
