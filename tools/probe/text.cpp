#include "text.h"

#include "driver/asio.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace probe {

std::string utf8(const wchar_t* text) {
    if (!text || !*text) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &s[0], n, nullptr, nullptr);
    s.resize(size_t(n) - 1);
    return s;
}

std::string utf8(const std::wstring& text) { return utf8(text.c_str()); }

std::wstring wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring s(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &s[0], n);
    s.resize(size_t(n) - 1);
    return s;
}

std::string fromDriverText(const char* text, size_t size) {
    size_t len = strnlen(text, size);
    if (len == 0) return std::string();
    std::string narrow(text, len);
    int n = MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, nullptr, 0);
    if (n <= 1) return narrow;
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, &w[0], n);
    return utf8(w.c_str());
}

std::string asioErrorText(long code) {
    const char* name = nullptr;
    switch (code) {
    case ASE_OK: name = "ASE_OK"; break;
    case ASE_SUCCESS: name = "ASE_SUCCESS"; break;
    case ASE_NotPresent: name = "ASE_NotPresent"; break;
    case ASE_HWMalfunction: name = "ASE_HWMalfunction"; break;
    case ASE_InvalidParameter: name = "ASE_InvalidParameter"; break;
    case ASE_InvalidMode: name = "ASE_InvalidMode"; break;
    case ASE_SPNotAdvancing: name = "ASE_SPNotAdvancing"; break;
    case ASE_NoClock: name = "ASE_NoClock"; break;
    case ASE_NoMemory: name = "ASE_NoMemory"; break;
    }
    char buf[64];
    snprintf(buf, sizeof buf, "%s (%ld)", name ? name : "an unknown code", code);
    return buf;
}

std::string hresultText(HRESULT hr) {
    struct Name {
        HRESULT hr;
        const char* text;
    };
    // The answers CoCreateInstance gives for a driver that cannot be loaded or made.
    static const Name names[] = {
        {S_OK, "S_OK"},
        {E_FAIL, "E_FAIL, unspecified failure"},
        {E_NOINTERFACE, "E_NOINTERFACE, the object does not offer the driver's interface"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_POINTER, "E_POINTER"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_ACCESSDENIED, "E_ACCESSDENIED"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG, class not registered"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE, the DLL does not serve this class"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {CO_E_DLLNOTFOUND, "CO_E_DLLNOTFOUND, the driver's DLL was not found"},
        {CO_E_ERRORINDLL, "CO_E_ERRORINDLL, the driver's DLL is damaged"},
        {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
        {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "ERROR_MOD_NOT_FOUND, the driver's DLL or one it needs was not found"},
        {HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT), "ERROR_BAD_EXE_FORMAT, the driver's DLL is for another processor"},
        {HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), "ERROR_PROC_NOT_FOUND, the DLL lacks DllGetClassObject"},
    };
    char buf[160];
    for (const Name& n : names) {
        if (n.hr == hr) {
            snprintf(buf, sizeof buf, "0x%08lX (%s)", static_cast<unsigned long>(hr), n.text);
            return buf;
        }
    }
    snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

std::string clsidText(const CLSID& clsid) {
    wchar_t text[64];
    if (!StringFromGUID2(clsid, text, 64)) return "{?}";
    return utf8(text);
}

void out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}

void err(const char* format, ...) {
    fflush(stdout);
    fputs("vlasio-probe: ", stderr);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
}

} // namespace probe
