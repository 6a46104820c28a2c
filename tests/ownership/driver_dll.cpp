#include "driver_dll.h"

#include "driver/ASIOSrv.h"

#include <vector>

namespace dll {

namespace {

HMODULE module() {
    static HMODULE m = LoadLibraryW(L"vlasio.dll");
    return m;
}

template <typename F> F exported(const char* name) {
    // Through void*: GetProcAddress's type is a placeholder for the export's own.
    return module() ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module(), name)))
                    : nullptr;
}

} // namespace

bool setUp() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(sim::install())) return false;
    sim::reset();
    return module() != nullptr;
}

IASIO* createDriver() {
    auto getClassObject = exported<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        "DllGetClassObject");
    IClassFactory* factory = nullptr;
    if (!getClassObject ||
        FAILED(getClassObject(CLSID_ASIOSrv, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return nullptr;
    IASIO* asio = nullptr;
    factory->CreateInstance(nullptr, CLSID_ASIOSrv, reinterpret_cast<void**>(&asio));
    factory->Release();
    return asio;
}

HRESULT canUnloadNow() {
    auto f = exported<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow");
    return f ? f() : E_FAIL;
}

bool heapsValid(std::string* why) {
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(DWORD(heaps.size()), heaps.data()));
    bool ok = true;
    for (HANDLE heap : heaps)
        if (!HeapValidate(heap, 0, nullptr)) {
            ok = false;
            if (why) *why += "heap " + std::to_string(uintptr_t(heap)) + " fails HeapValidate; ";
        }
    return ok;
}

std::string leftovers() {
    std::string out;
    if (sim::liveObjects() || sim::outstandingRefs() || sim::outstandingAllocations())
        out += sim::report();
    if (canUnloadNow() != S_OK) out += "a driver object is alive\n";
    return out;
}

double nowMs() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * 1000.0 / double(f.QuadPart);
}

bool threadEnded(DWORD id, DWORD ms) {
    HANDLE h = OpenThread(SYNCHRONIZE, FALSE, id);
    if (!h) return true;
    bool ended = WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

} // namespace dll
