// The built DLL as COM loads it: its exports, its imports, and an object made through them.
#include "driver/asio.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// {5D3A9C41-7E2B-4F68-A1D0-93C6B8E2F417}, spelled out: this test links nothing of the driver.
const CLSID kDriverClass = {0x5d3a9c41, 0x7e2b, 0x4f68,
                            {0xa1, 0xd0, 0x93, 0xc6, 0xb8, 0xe2, 0xf4, 0x17}};

std::wstring dllPath() {
    // Wine's Z: drive is the Unix root.
    std::string unix = VLASIO_DLL_PATH;
    std::wstring path = L"Z:";
    for (char c : unix) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
}

} // namespace

TEST(Dll, HandsOutTheDriverThroughItsExports) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE dll = LoadLibraryW(dllPath().c_str());
    ASSERT_NE(dll, nullptr) << GetLastError();
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnloadNow, nullptr);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(kDriverClass, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    IASIO* asio = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, kDriverClass, reinterpret_cast<void**>(&asio)), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    EXPECT_EQ(asio->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_OK);
    FreeLibrary(dll);
    CoUninitialize();
}
