// Loads vlasio.dll the way COM does for a host and reports each step: the exports, the class
// factory, the driver object under its CLSID-as-interface-id, and its release.
#include "driver/asio.h"

#include <cstdio>

namespace {

const CLSID kDriverClass = {0x5d3a9c41, 0x7e2b, 0x4f68,
                            {0xa1, 0xd0, 0x93, 0xc6, 0xb8, 0xe2, 0xf4, 0x17}};

template <typename F> F symbol(HMODULE dll, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

int fail(const char* what, long code) {
    std::printf("FAILED: %s (0x%08lX)\n", what, static_cast<unsigned long>(code));
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: loadhost <path of vlasio.dll>\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE dll = LoadLibraryW(argv[1]);
    if (!dll) return fail("LoadLibrary", static_cast<long>(GetLastError()));
    std::printf("loaded %ls\n", argv[1]);

    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    auto getClassObject = symbol<GetClassObject>(dll, "DllGetClassObject");
    auto canUnloadNow = symbol<CanUnloadNow>(dll, "DllCanUnloadNow");
    if (!getClassObject || !canUnloadNow) return fail("missing export", 0);
    std::printf("exports DllGetClassObject and DllCanUnloadNow found\n");

    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(kDriverClass, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return fail("DllGetClassObject", hr);
    std::printf("DllGetClassObject -> class factory\n");

    IASIO* asio = nullptr;
    hr = factory->CreateInstance(nullptr, kDriverClass, reinterpret_cast<void**>(&asio));
    factory->Release();
    if (FAILED(hr)) return fail("CreateInstance", hr);
    std::printf("CreateInstance(CLSID as interface id) -> IASIO; DllCanUnloadNow = %s\n",
                canUnloadNow() == S_OK ? "S_OK" : "S_FALSE");

    ULONG left = asio->Release();
    std::printf("Release -> %lu; DllCanUnloadNow = %s\n", left,
                canUnloadNow() == S_OK ? "S_OK" : "S_FALSE");
    FreeLibrary(dll);
    CoUninitialize();
    return left == 0 ? 0 : 1;
}
