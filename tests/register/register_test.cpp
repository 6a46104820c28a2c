// DllRegisterServer and DllUnregisterServer as a registration tool runs them: regsvr32 on
// copies of the built DLL in the test prefix, and the registry read back.
#include "com/unknown.h"
#include "driver/ASIOSrv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const std::wstring kClsid = L"{5D3A9C41-7E2B-4F68-A1D0-93C6B8E2F417}";
const std::wstring kClassKey = L"CLSID\\" + kClsid, kList = L"SOFTWARE\\ASIO\\";
const std::wstring kDefaultEntry = kList + kDriverNameW;
// Module files in upper case: the registration must store the path lower-cased.
const wchar_t* const kDll[] = {L"C:\\VLTest\\A\\VLASIO.DLL", L"C:\\VLTest\\B\\Vlasio.dll"};
const char kStudioOut[] = "[Register]\r\nType=PCI\r\nDescription=Studio Out\r\n";

// A REG_SZ value as text, "<no value>" or "<no key>".
std::wstring read(HKEY root, const std::wstring& key, const wchar_t* value = nullptr) {
    HKEY h;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &h)) return L"<no key>";
    wchar_t text[MAX_PATH];
    DWORD bytes = sizeof text;
    LONG r = RegGetValueW(h, nullptr, value, RRF_RT_REG_SZ, nullptr, text, &bytes);
    RegCloseKey(h);
    return r ? L"<no value>" : text;
}

// A value "Mark" that tells whether a key was kept or replaced.
void mark(HKEY root, const std::wstring& key, const wchar_t* text) {
    RegSetKeyValueW(root, key.c_str(), L"Mark", REG_SZ, text,
                    static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

int regsvr32(const wchar_t* dll, const wchar_t* options = L"/s") {
    return _wsystem((std::wstring(L"regsvr32 ") + options + L" \"" + dll + L"\"").c_str());
}

// The ini file beside the first DLL; none for null.
void writeIni(const char* text) {
    DeleteFileW(L"C:\\VLTest\\A\\VLASIO.INI");
    if (text) std::ofstream("C:\\VLTest\\A\\VLASIO.INI", std::ios::binary) << text;
}

// The name the driver reads back at process attach, and forgets at detach.
std::wstring nameAtAttach() {
    processAttachDetach(true);
    std::wstring name = registeredDriverName ? registeredDriverName : L"(null)";
    processAttachDetach(false);
    EXPECT_EQ(registeredDriverName, nullptr);
    return name;
}

void expectRegisteredAs(const std::wstring& name, const wchar_t* modulePath) {
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, kClassKey), name);
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32"), modulePath);
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", L"ThreadingModel"),
              L"Apartment");
    EXPECT_EQ(read(HKEY_LOCAL_MACHINE, kList + name, L"CLSID"), kClsid);
    EXPECT_EQ(read(HKEY_LOCAL_MACHINE, kList + name, L"Description"), name);
}

class Registration : public ::testing::Test {
  protected:
    // Nothing registered, no user settings, no ini file, and the DLL copied.
    void SetUp() override {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey.c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO");
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Vantrel");
        CreateDirectoryW(L"C:\\VLTest", nullptr);
        for (std::wstring dll : kDll) {
            CreateDirectoryW(dll.substr(0, dll.rfind(L'\\')).c_str(), nullptr);
            ASSERT_TRUE(CopyFileW(L"Z:" VLASIO_DLL_PATH, dll.c_str(), FALSE)) << GetLastError();
        }
        writeIni(nullptr);
    }
};

// {ini file} -> the name registered, read back at attach; the path stored lower-cased.
TEST_F(Registration, IniGivesTheNameOnlyForTypePciWithDescription) {
    const struct {
        const char* ini;
        std::wstring name;
    } cases[] = {
        {nullptr, kDriverNameW},
        {kStudioOut, L"Studio Out"},
        {"[Register]\r\nType=pci\r\nDescription=Studio Out\r\n", kDriverNameW},
        {"[Register]\r\nType=PCI\r\n", kDriverNameW},
        // Names that would make the driver list's subkey the list itself, or a nested key.
        {"[Register]\r\nType=PCI\r\nDescription=\r\n", kDriverNameW},
        {"[Register]\r\nType=PCI\r\nDescription=A\\B\r\n", kDriverNameW},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini ? c.ini : "no ini");
        SetUp();
        writeIni(c.ini);
        ASSERT_EQ(regsvr32(kDll[0]), 0);
        expectRegisteredAs(c.name, L"c:\\vltest\\a\\vlasio.dll");
        EXPECT_EQ(read(HKEY_LOCAL_MACHINE, kDefaultEntry) == L"<no key>", c.name != kDriverNameW);
        EXPECT_EQ(nameAtAttach(), c.name);
    }
}

// Unregistered from any path: the class, the described list entry and the user's settings go,
// nothing else. Again at the same path: the class key stays (renamed by an ini in between, it
// keeps its old name), the list entry is rewritten. At another path: the class key is replaced.
TEST_F(Registration, UnregisterAgainAndAnotherPath) {
    mark(HKEY_CURRENT_USER, kSettingsKey, L"dropped"); // with nothing registered, too
    ASSERT_EQ(regsvr32(kDll[0], L"/s /u"), 0);
    EXPECT_EQ(read(HKEY_CURRENT_USER, kSettingsKey), L"<no key>");
    EXPECT_NE(read(HKEY_CURRENT_USER, L"Software\\Vantrel"), L"<no key>");

    writeIni(kStudioOut);
    ASSERT_EQ(regsvr32(kDll[0]), 0);
    mark(HKEY_LOCAL_MACHINE, kList + L"Other Driver", L"kept");
    mark(HKEY_CURRENT_USER, kSettingsKey, L"dropped");
    mark(HKEY_CURRENT_USER, L"Software\\Vantrel\\Other", L"kept");
    ASSERT_EQ(regsvr32(kDll[1], L"/s /u"), 0);
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, kClassKey), L"<no key>");
    EXPECT_EQ(read(HKEY_LOCAL_MACHINE, kList + L"Studio Out"), L"<no key>");
    EXPECT_EQ(read(HKEY_LOCAL_MACHINE, kList + L"Other Driver", L"Mark"), L"kept");
    EXPECT_EQ(read(HKEY_CURRENT_USER, kSettingsKey), L"<no key>");
    EXPECT_EQ(read(HKEY_CURRENT_USER, L"Software\\Vantrel\\Other", L"Mark"), L"kept");
    // Unregistered, the driver knows itself by its class's key path.
    EXPECT_EQ(nameAtAttach(), kClassKey);

    writeIni(nullptr);
    ASSERT_EQ(regsvr32(kDll[0]), 0);
    mark(HKEY_CLASSES_ROOT, kClassKey, L"kept");
    mark(HKEY_LOCAL_MACHINE, kDefaultEntry, L"dropped");
    writeIni(kStudioOut);
    ASSERT_EQ(regsvr32(kDll[0]), 0);
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, kClassKey, L"Mark"), L"kept");
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, kClassKey), kDriverNameW);
    EXPECT_EQ(read(HKEY_LOCAL_MACHINE, kDefaultEntry), L"<no key>");
    EXPECT_EQ(read(HKEY_LOCAL_MACHINE, kList + L"Studio Out", L"CLSID"), kClsid);

    writeIni(nullptr);
    ASSERT_EQ(regsvr32(kDll[1]), 0);
    expectRegisteredAs(kDriverNameW, L"c:\\vltest\\b\\vlasio.dll");
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, kClassKey, L"Mark"), L"<no value>");
    ASSERT_EQ(regsvr32(kDll[0], L"/s /u"), 0);
    EXPECT_EQ(read(HKEY_CLASSES_ROOT, kClassKey), L"<no key>");
    EXPECT_EQ(read(HKEY_LOCAL_MACHINE, kDefaultEntry), L"<no key>");
}

} // namespace
