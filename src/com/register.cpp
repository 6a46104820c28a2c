// Registration: the COM class under HKEY_CLASSES_ROOT "CLSID", the entry in the ASIO driver
// list under HKEY_LOCAL_MACHINE "SOFTWARE\ASIO", and the registered name read back at
// process attach. Registry failures are not reported: a registration tool gets S_OK as long
// as the module path and the CLSID text could be had.
#include "com/unknown.h"
#include "driver/ASIOSrv.h"
#include "driver/wformat.h"

#include <objbase.h>
#include <cwchar>

namespace {

// Every path and name here lives in a buffer of this many characters, terminator included.
constexpr DWORD kNameChars = MAX_PATH;

// One open registry key, closed when it goes out of scope.
class RegKey {
  public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { close(); }

    bool open(HKEY parent, const wchar_t* path) {
        close();
        return parent && RegOpenKeyW(parent, path, &key_) == ERROR_SUCCESS;
    }
    bool create(HKEY parent, const wchar_t* path) {
        close();
        return parent && RegCreateKeyW(parent, path, &key_) == ERROR_SUCCESS;
    }
    void close() {
        if (key_) RegCloseKey(key_);
        key_ = nullptr;
    }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

// The registry form of a CLSID, from the COM task allocator.
class ClsidText {
  public:
    explicit ClsidText(const CLSID& clsid) : hr_(StringFromCLSID(clsid, &text_)) {}
    ClsidText(const ClsidText&) = delete;
    ClsidText& operator=(const ClsidText&) = delete;
    ~ClsidText() { CoTaskMemFree(text_); }

    HRESULT result() const { return FAILED(hr_) ? hr_ : (text_ ? S_OK : E_OUTOFMEMORY); }
    const wchar_t* get() const { return text_; }

  private:
    LPOLESTR text_ = nullptr;
    HRESULT hr_;
};

void setString(HKEY key, const wchar_t* valueName, const wchar_t* text) {
    RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

// Reads the key's default value into dest (kNameChars characters), cut to fit. dest keeps
// its contents when nothing is read.
bool readDefaultValue(HKEY key, wchar_t* dest) {
    wchar_t text[kNameChars] = {};
    DWORD bytes = sizeof text;
    if (RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes) !=
        ERROR_SUCCESS)
        return false;
    text[kNameChars - 1] = L'\0';
    wcscpy(dest, text);
    return true;
}

// The name an ini file gives the driver: its description when the type is exactly "PCI",
// the built-in name otherwise.
void readRegistrationName(const wchar_t* iniPath, const wchar_t* builtInName, wchar_t* name) {
    wchar_t type[kNameChars];
    GetPrivateProfileStringW(L"Register", L"Type", L"VAD", type, kNameChars, iniPath);
    if (lstrcmpW(type, L"PCI") != 0) {
        wcscpy(name, builtInName);
        return;
    }
    GetPrivateProfileStringW(L"Register", L"Description", builtInName, name, kNameChars, iniPath);
    // The name becomes a subkey of the driver list, and unregistration deletes that subkey's
    // tree: an empty name would name the whole list, a backslash a key inside another one.
    if (!name[0] || wcschr(name, L'\\')) wcscpy(name, builtInName);
}

// Whether the class is registered already for exactly this module file. A registration for
// another file is deleted, so that the new one replaces it wholesale.
bool registeredForThisModule(const wchar_t* clsidText, const wchar_t* modulePath) {
    wchar_t keyPath[kNameChars];
    vl::formatBounded(keyPath, kNameChars, L"CLSID\\%s", clsidText);
    RegKey key;
    if (!key.open(HKEY_CLASSES_ROOT, keyPath)) return false;
    key.close();

    vl::formatBounded(keyPath, kNameChars, L"CLSID\\%s\\InprocServer32", clsidText);
    if (!key.open(HKEY_CLASSES_ROOT, keyPath)) return false;
    DWORD bytes = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS ||
        bytes > kNameChars * sizeof(wchar_t))
        return false;
    wchar_t registered[kNameChars + 1] = {};
    RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(registered),
                     &bytes);
    key.close();
    CharLowerW(registered);
    if (lstrcmpW(registered, modulePath) == 0) return true;

    RegKey classes;
    if (classes.open(HKEY_CLASSES_ROOT, L"CLSID")) RegDeleteTreeW(classes.get(), clsidText);
    return false;
}

void writeClassKey(const wchar_t* clsidText, const wchar_t* name, const wchar_t* modulePath) {
    RegKey classes, cls, server;
    if (!classes.open(HKEY_CLASSES_ROOT, L"CLSID") || !cls.create(classes.get(), clsidText)) return;
    setString(cls.get(), nullptr, name);
    if (!server.create(cls.get(), L"InprocServer32")) return;
    setString(server.get(), nullptr, modulePath);
    setString(server.get(), L"ThreadingModel", L"Apartment");
}

// The driver list keeps one subkey per driver. An entry under the built-in name is replaced
// whatever name the driver is registered under now.
void writeDriverListEntry(const wchar_t* clsidText, const wchar_t* builtInName,
                          const wchar_t* name) {
    RegKey list;
    if (list.open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO")) {
        RegDeleteTreeW(list.get(), builtInName);
    } else {
        RegKey software;
        if (software.open(HKEY_LOCAL_MACHINE, L"SOFTWARE")) list.create(software.get(), L"ASIO");
    }
    RegKey driver;
    if (!driver.create(list.get(), name)) return;
    setString(driver.get(), L"CLSID", clsidText);
    setString(driver.get(), L"Description", name);
}

} // namespace

void processAttachDetach(bool attach) {
    for (int i = 0; i < factoryTemplateCount; ++i) {
        const FactoryTemplate& entry = factoryTemplates[i];
        if (!entry.attachDetach) continue;
        ClsidText clsid(*entry.clsid);
        if (FAILED(clsid.result())) {
            entry.attachDetach(attach, entry.clsid, nullptr);
            continue;
        }
        // Without a registration the key path itself stands as the name.
        wchar_t name[kNameChars];
        vl::formatBounded(name, kNameChars, L"CLSID\\%s", clsid.get());
        RegKey key;
        if (key.open(HKEY_CLASSES_ROOT, name)) readDefaultValue(key.get(), name);
        entry.attachDetach(attach, entry.clsid, name);
    }
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t modulePath[kNameChars];
    DWORD length = GetModuleFileNameW(moduleHandle, modulePath, kNameChars);
    // A cut path would register a file that does not exist.
    if (length == 0 || length >= kNameChars) return E_FAIL;
    CharLowerW(modulePath);

    for (int i = 0; i < factoryTemplateCount; ++i) {
        const FactoryTemplate& entry = factoryTemplates[i];
        ClsidText clsid(*entry.clsid);
        if (FAILED(clsid.result())) return clsid.result();

        bool registerClass = !registeredForThisModule(clsid.get(), modulePath);

        // The ini file beside the module: the module path up to its last ".", then ".ini".
        wchar_t iniPath[kNameChars];
        wcscpy(iniPath, modulePath);
        if (wchar_t* dot = wcsrchr(iniPath, L'.')) *dot = L'\0';
        wchar_t base[kNameChars];
        wcscpy(base, iniPath);
        vl::formatBounded(iniPath, kNameChars, L"%s.ini", base);

        wchar_t name[kNameChars];
        readRegistrationName(iniPath, entry.name, name);
        if (registerClass) writeClassKey(clsid.get(), name, modulePath);
        writeDriverListEntry(clsid.get(), entry.name, name);
    }
    return S_OK;
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
    for (int i = 0; i < factoryTemplateCount; ++i) {
        const FactoryTemplate& entry = factoryTemplates[i];
        ClsidText clsid(*entry.clsid);
        if (FAILED(clsid.result())) return clsid.result();

        // The driver-list entry carries the name the class was registered under.
        wchar_t name[kNameChars];
        wcscpy(name, entry.name);
        RegKey classes;
        if (classes.open(HKEY_CLASSES_ROOT, L"CLSID")) {
            RegKey cls;
            if (cls.open(classes.get(), clsid.get())) {
                readDefaultValue(cls.get(), name);
                // An empty name would delete the whole driver list below.
                if (!name[0]) wcscpy(name, entry.name);
            }
            cls.close();
            RegDeleteTreeW(classes.get(), clsid.get());
        }

        RegKey list;
        if (list.open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO")) RegDeleteTreeW(list.get(), name);

        // The calling user's settings go with the driver; "Software\Vantrel" stays.
        RegKey settings;
        if (settings.open(HKEY_CURRENT_USER, kSettingsKey)) {
            settings.close();
            RegKey vendor;
            if (vendor.open(HKEY_CURRENT_USER, L"Software\\Vantrel"))
                RegDeleteTreeW(vendor.get(), L"ASIO");
        }
    }
    return S_OK;
}
