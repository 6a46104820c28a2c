// DllRegisterServer and DllUnregisterServer as a registration tool runs them: the built DLL
// is copied to folders of the test prefix and (un)registered by regsvr32, and the registry
// is read back.
#include "com/unknown.h"
#include "driver/ASIOSrv.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t kClsidText[] = L"{5D3A9C41-7E2B-4F68-A1D0-93C6B8E2F417}";
const std::wstring kClassKey = std::wstring(L"CLSID\\") + kClsidText;
const std::wstring kServerKey = kClassKey + L"\\InprocServer32";
const std::wstring kListKey = L"SOFTWARE\\ASIO\\";
const wchar_t kMissing[] = L"<missing>";

// The value as REG_SZ, or kMissing.
std::wstring readString(HKEY root, const std::wstring& key, const wchar_t* value = nullptr) {
    wchar_t text[MAX_PATH];
    DWORD bytes = sizeof text;
    if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &bytes) !=
        ERROR_SUCCESS)
        return kMissing;
    return text;
}

bool keyExists(HKEY root, const std::wstring& key) {
    HKEY h;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

void setString(HKEY root, const std::wstring& key, const wchar_t* value, const wchar_t* text) {
    ASSERT_EQ(RegSetKeyValueW(root, key.c_str(), value, REG_SZ, text,
                              static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

// The built DLL, given by its Unix path, as the prefix's drive Z: sees it.
std::wstring builtDll() {
    wchar_t unixPath[MAX_PATH] = {};
    GetEnvironmentVariableW(L"VLASIO_DLL", unixPath, MAX_PATH);
    std::wstring path = std::wstring(L"Z:") + unixPath;
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

DWORD regsvr32(const std::wstring& dll, bool unregister = false) {
    std::wstring command =
        L"regsvr32.exe /s " + std::wstring(unregister ? L"/u " : L"") + L"\"" + dll + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return GetLastError() | 0x10000000;
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// The name the driver would read back at process attach.
std::wstring nameAtAttach() {
    processAttachDetach(true);
    std::wstring name = registeredDriverName ? registeredDriverName : L"(null)";
    processAttachDetach(false);
    EXPECT_EQ(registeredDriverName, nullptr);
    return name;
}

class Registration : public ::testing::Test {
  protected:
    // Module files in upper case: the registration must store the path lower-cased.
    const std::wstring dllA = L"C:\\VLTest\\A\\VLASIO.DLL";
    const std::wstring dllB = L"C:\\VLTest\\B\\Vlasio.dll";
    const std::wstring iniA = L"C:\\VLTest\\A\\VLASIO.INI";

    void SetUp() override {
        clean();
        CreateDirectoryW(L"C:\\VLTest", nullptr);
        for (const auto& dll : {dllA, dllB}) {
            CreateDirectoryW(dll.substr(0, dll.rfind(L'\\')).c_str(), nullptr);
            ASSERT_TRUE(CopyFileW(builtDll().c_str(), dll.c_str(), FALSE)) << GetLastError();
        }
    }

    static void clean() {
        HKEY classes;
        if (RegOpenKeyW(HKEY_CLASSES_ROOT, L"CLSID", &classes) == ERROR_SUCCESS) {
            RegDeleteTreeW(classes, kClsidText);
            RegCloseKey(classes);
        }
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO");
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Vantrel");
        DeleteFileW(L"C:\\VLTest\\A\\VLASIO.INI");
    }

    void writeIni(const char* text) {
        HANDLE f = CreateFileW(iniA.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        DWORD written;
        WriteFile(f, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
        CloseHandle(f);
    }

    void expectRegisteredAs(const std::wstring& name, const wchar_t* modulePath) {
        EXPECT_EQ(readString(HKEY_CLASSES_ROOT, kClassKey), name);
        EXPECT_EQ(readString(HKEY_CLASSES_ROOT, kServerKey), modulePath);
        EXPECT_EQ(readString(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel"), L"Apartment");
        EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, kListKey + name, L"CLSID"), kClsidText);
        EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, kListKey + name, L"Description"), name);
    }
};

// {ini file} -> the name registered, read back at attach; the path stored lower-cased.
TEST_F(Registration, IniGivesTheNameOnlyForTypePciWithDescription) {
    const struct {
        const char* ini;
        std::wstring name;
    } cases[] = {
        {nullptr, kDriverNameW},
        {"[Register]\r\nType=PCI\r\nDescription=Studio Out\r\n", L"Studio Out"},
        {"[Register]\r\nType=pci\r\nDescription=Studio Out\r\n", kDriverNameW},
        {"[Register]\r\nType=PCI\r\n", kDriverNameW},
        // Names that would make the driver list's subkey the list itself, or a nested key.
        {"[Register]\r\nType=PCI\r\nDescription=\r\n", kDriverNameW},
        {"[Register]\r\nType=PCI\r\nDescription=A\\B\r\n", kDriverNameW},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini ? c.ini : "no ini");
        clean();
        if (c.ini) writeIni(c.ini);
        ASSERT_EQ(regsvr32(dllA), 0u);
        expectRegisteredAs(c.name, L"c:\\vltest\\a\\vlasio.dll");
        if (c.name != kDriverNameW) {
            EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kListKey + kDriverNameW));
        }
        EXPECT_EQ(nameAtAttach(), c.name);
    }
}

// Again at the same path: the class key stays (renamed by an ini in between, it keeps its old
// name), the list entry is rewritten. At another path: the class key is replaced.
TEST_F(Registration, SecondTimeKeepsClassKeyOtherPathReplacesItAnyPathUnregisters) {
    ASSERT_EQ(regsvr32(dllA), 0u);
    setString(HKEY_CLASSES_ROOT, kClassKey, L"Mark", L"kept");
    setString(HKEY_LOCAL_MACHINE, kListKey + kDriverNameW, L"Mark", L"dropped");
    writeIni("[Register]\r\nType=PCI\r\nDescription=Studio Out\r\n");
    ASSERT_EQ(regsvr32(dllA), 0u);
    EXPECT_EQ(readString(HKEY_CLASSES_ROOT, kClassKey, L"Mark"), L"kept");
    EXPECT_EQ(readString(HKEY_CLASSES_ROOT, kClassKey), kDriverNameW);
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kListKey + kDriverNameW));
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, kListKey + L"Studio Out", L"CLSID"), kClsidText);

    DeleteFileW(iniA.c_str());
    ASSERT_EQ(regsvr32(dllB), 0u);
    expectRegisteredAs(kDriverNameW, L"c:\\vltest\\b\\vlasio.dll");
    EXPECT_EQ(readString(HKEY_CLASSES_ROOT, kClassKey, L"Mark"), kMissing);
    ASSERT_EQ(regsvr32(dllA, true), 0u);
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kListKey + kDriverNameW));
}

TEST_F(Registration, UnregisterRemovesDescribedEntryAndUserSettingsOnly) {
    // With nothing registered, the user settings still go.
    setString(HKEY_CURRENT_USER, kSettingsKey, L"Mark", L"dropped");
    ASSERT_EQ(regsvr32(dllA, true), 0u);
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kSettingsKey));
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, L"Software\\Vantrel"));

    writeIni("[Register]\r\nType=PCI\r\nDescription=Studio Out\r\n");
    ASSERT_EQ(regsvr32(dllA), 0u);
    setString(HKEY_LOCAL_MACHINE, kListKey + L"Other Driver", L"CLSID", L"{other}");
    setString(HKEY_CURRENT_USER, kSettingsKey, L"Mark", L"dropped");
    setString(HKEY_CURRENT_USER, L"Software\\Vantrel\\Other", L"Mark", L"kept");
    ASSERT_EQ(regsvr32(dllA, true), 0u);
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kListKey + L"Studio Out"));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kListKey + L"Other Driver"));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kSettingsKey));
    EXPECT_EQ(readString(HKEY_CURRENT_USER, L"Software\\Vantrel\\Other", L"Mark"), L"kept");
    // Unregistered, the driver knows itself by its class's key path.
    EXPECT_EQ(nameAtAttach(), kClassKey);
}

} // namespace
