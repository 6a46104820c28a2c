// vlasio.dll as a host gets it on the simulated endpoints, loaded from beside the program, and
// the one host it calls back (ASIO callbacks carry no context). Run with WINEDEBUG=warn+heap.
#pragma once

#include "driver/ASIOSrv.h"
#include "sim/sim.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace dll {

// Its switch writes `bytes` into each output half of infos[0..count), then runs `action` with
// the switch's number (set it while no stream runs); asioMessage takes time info.
inline struct Host {
    std::atomic<ASIOBufferInfo*> infos{nullptr};
    std::atomic<long> count{0}, bytes{0};
    std::atomic<unsigned> switches{0};
    std::atomic<DWORD> messageDelayMs{0};
    std::function<void(unsigned n)> action;
} host;
inline std::atomic<ULONGLONG> lastReturn{0}; // when the last driver call returned, for a watchdog
// For check(): the threads that switched, the calls over their bound, two threads at once.
inline std::mutex mutex;
inline std::set<DWORD> threads;
inline std::string slow;
inline std::atomic<int> inside{0};
inline std::atomic<bool> overlap{false};

inline void onSwitch(long half) {
    if (inside.fetch_add(1) != 0) overlap = true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(GetCurrentThreadId());
    }
    // A host writes its outputs in every switch: into freed blocks, if the driver let it.
    ASIOBufferInfo* infos = host.infos;
    for (long i = 0; infos && i < host.count && (half == 0 || half == 1); ++i)
        if (!infos[i].isInput && infos[i].buffers[half])
            memset(infos[i].buffers[half], 0x22, size_t(host.bytes));
    unsigned n = ++host.switches;
    if (host.action) host.action(n);
    inside.fetch_sub(1);
}

inline long asioMessage(long selector, long value, void*, double*) {
    if (DWORD ms = host.messageDelayMs) Sleep(ms);
    return selector == kAsioSelectorSupported ? value == kAsioSupportsTimeInfo
                                              : selector == kAsioSupportsTimeInfo;
}

inline ASIOCallbacks callbacks = {
    [](long half, ASIOBool) { onSwitch(half); }, [](ASIOSampleRate) {}, asioMessage,
    [](ASIOTime* t, long half, ASIOBool) { return onSwitch(half), t; }};

// An export of the DLL, through void*: GetProcAddress's type is a placeholder for its own.
template <typename F> F exported(const char* name) {
    static HMODULE module = LoadLibraryW(L"vlasio.dll");
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// COM (multithreaded, on this thread), the simulated endpoints and the DLL; false on failure.
inline bool setUp() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(sim::install())) return false;
    sim::reset();
    return exported<void*>("DllGetClassObject") != nullptr;
}

// A new driver object holding one reference, or null.
inline IASIO* createDriver() {
    IClassFactory* factory = nullptr;
    IASIO* asio = nullptr;
    exported<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject")(
        CLSID_ASIOSrv, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (factory) factory->CreateInstance(nullptr, CLSID_ASIOSrv, reinterpret_cast<void**>(&asio));
    if (factory) factory->Release();
    return asio;
}

// A driver call, named for check() when it takes longer than boundMs.
inline long timed(const char* name, double boundMs, const std::function<long()>& call) {
    ULONGLONG t0 = GetTickCount64();
    long result = call();
    double ms = double((lastReturn = GetTickCount64()) - t0);
    std::lock_guard<std::mutex> lock(mutex);
    if (ms > boundMs) slow += std::string(name) + " took " + std::to_string(ms) + " ms\n";
    return result;
}

// What went wrong since the last check, or empty: each thread that switched must end within
// waitMs; no slow call, no two threads at once, nothing of the simulator or the driver left.
inline std::string check(DWORD waitMs) {
    std::set<DWORD> ids;
    std::string out;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ids.swap(threads);
        out.swap(slow);
    }
    for (DWORD id : ids)
        if (HANDLE h = OpenThread(SYNCHRONIZE, FALSE, id)) {
            if (WaitForSingleObject(h, waitMs) != WAIT_OBJECT_0) out += "a thread did not end\n";
            CloseHandle(h);
        }
    if (overlap.exchange(false)) out += "two streaming threads called the host at once\n";
    if (sim::liveObjects() || sim::outstandingRefs() || sim::outstandingAllocations())
        out += sim::report();
    if (exported<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow")() != S_OK)
        out += "a driver object is alive\n";
    HANDLE heaps[256];
    for (DWORD i = 0, n = GetProcessHeaps(256, heaps); i < n && i < 256; ++i)
        if (!HeapValidate(heaps[i], 0, nullptr)) out += "a heap fails HeapValidate\n";
    return out;
}

} // namespace dll
