#include "driverlist.h"

#include <objbase.h>

namespace probe {

namespace {

std::wstring readString(HKEY key, const wchar_t* subkey, const wchar_t* value) {
    DWORD bytes = 0;
    if (RegGetValueW(key, subkey, value, RRF_RT_REG_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS ||
        bytes < sizeof(wchar_t))
        return std::wstring();
    std::wstring s(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(key, subkey, value, RRF_RT_REG_SZ, nullptr, &s[0],
                     &bytes) != ERROR_SUCCESS)
        return std::wstring();
    s.resize(wcsnlen(s.c_str(), s.size()));
    return s;
}

} // namespace

std::wstring serverOf(const CLSID& clsid) {
    wchar_t text[64];
    if (!StringFromGUID2(clsid, text, 64)) return std::wstring();
    std::wstring key = L"CLSID\\" + std::wstring(text) + L"\\InprocServer32";
    return readString(HKEY_CLASSES_ROOT, key.c_str(), nullptr);
}

std::vector<DriverEntry> listDrivers(LONG* status) {
    std::vector<DriverEntry> drivers;
    HKEY list = nullptr;
    *status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ, &list);
    if (*status != ERROR_SUCCESS) return drivers;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        LONG r = RegEnumKeyExW(list, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS) continue; // a name too long for any host: skip it
        DriverEntry d;
        d.name = name;
        d.clsidText = readString(list, name, L"CLSID");
        d.description = readString(list, name, L"Description");
        d.clsidValid = !d.clsidText.empty() &&
                       SUCCEEDED(CLSIDFromString(d.clsidText.c_str(), &d.clsid));
        if (d.clsidValid) d.server = serverOf(d.clsid);
        drivers.push_back(d);
    }
    RegCloseKey(list);
    return drivers;
}

} // namespace probe
