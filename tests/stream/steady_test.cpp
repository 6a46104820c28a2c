// The streaming pass in its steady state: no allocation, lock or log write, and the same
// endpoint calls every period, exclusive (event- and timer-driven) and shared. The simulator is
// loaded as its own DLL, so that its own allocations and locks are not counted; its meter counts
// the endpoint calls.
#include "driver/ASIOSrv.h"
#include "sim/mallocspy.h"
#include "sim/meter.h"

#include <gtest/gtest.h>

#include <mmdeviceapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>

namespace {

// Counted on the watched thread: the wrapped C functions, operator new and delete (which the
// other forms call) and the task allocator. Then calls of the endpoint methods a pass may call
// (R: render, C: capture), and of any method.
enum { Heap, Task, Lock, Write, kWatched };
enum {
    RGet = kWatched,
    RRelease,
    RQuery,
    Padding,
    Clock,
    CSize,
    CGet,
    CRelease,
    CQuery,
    All,
    kCounted
};
const char* const kNames[kCounted] = {"heap allocations and frees",
                                      "task allocator calls",
                                      "locks taken",
                                      "file writes with the log off",
                                      "IAudioRenderClient::GetBuffer",
                                      "IAudioRenderClient::ReleaseBuffer",
                                      "IAudioRenderClient::QueryInterface",
                                      "IAudioClient::GetCurrentPadding",
                                      "IAudioClock::GetPosition",
                                      "IAudioCaptureClient::GetNextPacketSize",
                                      "IAudioCaptureClient::GetBuffer",
                                      "IAudioCaptureClient::ReleaseBuffer",
                                      "IAudioCaptureClient::QueryInterface",
                                      "*"};
std::atomic<DWORD> watched{0};
std::atomic<long> counters[kWatched];
inline void count(int what) {
    if (watched.load(std::memory_order_relaxed) == GetCurrentThreadId()) ++counters[what];
}

} // namespace

#define COUNTED(what, type, name, params, args)                                                    \
    type __real_##name params;                                                                     \
    type __wrap_##name params {                                                                    \
        count(what);                                                                               \
        return __real_##name args;                                                                 \
    }
extern "C" {
COUNTED(Heap, void*, malloc, (size_t n), (n))
COUNTED(Heap, void*, calloc, (size_t n, size_t m), (n, m))
COUNTED(Heap, void*, realloc, (void* p, size_t n), (p, n))
COUNTED(Write, size_t, fwrite, (const void* p, size_t s, size_t n, FILE* f), (p, s, n, f))
COUNTED(Write, int, fflush, (FILE * f), (f))
COUNTED(Lock, int, pthread_mutex_lock, (void* m), (m))
void __real_free(void*);
void __wrap_free(void* p) {
    if (p) count(Heap);
    __real_free(p);
}
}

void* operator new(size_t n) {
    if (void* p = __wrap_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    __wrap_free(p);
}
void operator delete(void* p, size_t) noexcept {
    __wrap_free(p);
}

namespace {

struct TaskSpy final : MallocSpyBase {
    void seen(void*) override { count(Task); }
} taskSpy;

IVlasimMeter* meter = nullptr;

// The host watches its streaming thread and takes snapshots at two switches, allocating nothing.
const long kFirst = 20, kPeriods = 300;
std::atomic<long> switches{0};
UINT64 at[2][kCounted];
// Periods the host's switches came late by, between the snapshots: on a busy machine a late
// wake may take a pass more, or find an endpoint not ready and ask again.
LONGLONG periodTicks = 0, lastSwitch = 0;
long latePeriods = 0;

void take(UINT64* snapshot) {
    for (int i = 0; i < kCounted; ++i)
        if (i < kWatched)
            snapshot[i] = UINT64(counters[i]);
        else
            meter->GetCalls(kNames[i], 2, &snapshot[i]);
}
ASIOTime* bufferSwitchTimeInfo(ASIOTime* time, long, ASIOBool) {
    const long n = switches;
    if (n == 0) watched = GetCurrentThreadId();
    if (n == kFirst || n == kFirst + kPeriods) take(at[n != kFirst]);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (n > kFirst && n <= kFirst + kPeriods && periodTicks > 0)
        latePeriods +=
            std::max(0L, long((now.QuadPart - lastSwitch + periodTicks / 2) / periodTicks) - 1);
    lastSwitch = now.QuadPart;
    switches = n + 1;
    return time;
}
long asioMessage(long selector, long value, void*, double*) {
    return selector == kAsioSupportsTimeInfo ||
           (selector == kAsioSelectorSupported && value == kAsioSupportsTimeInfo);
}
ASIOCallbacks callbacks = {[](long, ASIOBool) {}, [](ASIOSampleRate) {}, asioMessage,
                           bufferSwitchTimeInfo};

TEST(SteadyPass, NoAllocationLockOrLogWriteAndTheSameEndpointCallsEveryPeriod) {
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    ASSERT_HRESULT_SUCCEEDED(CoRegisterMallocSpy(&taskSpy));
    HMODULE dll = LoadLibraryW(L"Z:" VLASIM_DLL);
    ASSERT_NE(dll, nullptr);
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    ASSERT_HRESULT_SUCCEEDED(getClassObject(CLSID_MMDeviceEnumerator, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)));
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(CoRegisterClassObject(
        CLSID_MMDeviceEnumerator, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie));
    IUnknown* enumerator = nullptr;
    ASSERT_HRESULT_SUCCEEDED(
        factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&enumerator)));
    ASSERT_HRESULT_SUCCEEDED(
        enumerator->QueryInterface(IID_IVlasimMeter, reinterpret_cast<void**>(&meter)));
    enumerator->Release();
    // Exclusive event- and timer-driven, then shared (event-driven whatever the flag).
    enum Mode { Event, Timer, Shared };
    for (Mode mode : {Event, Timer, Shared}) {
        const bool timerDriven = mode == Timer, shared = mode == Shared;
        SCOPED_TRACE(shared ? "shared" : timerDriven ? "timer-driven" : "event-driven");
        const wchar_t* setting = shared ? L"Shared" : L"Automatic";
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"StreamMode", REG_SZ, setting,
                        DWORD((wcslen(setting) + 1) * sizeof(wchar_t)));
        switches = 0;
        watched = 0;
        latePeriods = 0;
        HRESULT hr = S_OK;
        IASIO* asio = nullptr; // the one reference
        ASIOSrv::create(nullptr, &hr)
            ->QueryInterface(CLSID_ASIOSrv, reinterpret_cast<void**>(&asio));
        static_cast<ASIOSrv*>(asio)->TimerDrivenMode = timerDriven;
        ASSERT_TRUE(asio->init(nullptr));
        ASSERT_EQ(static_cast<ASIOSrv*>(asio)->shared[kRender], shared);
        ASSERT_EQ(static_cast<ASIOSrv*>(asio)->logFile, nullptr); // the log is off
        ASIOBufferInfo infos[4] = {
            {ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        // 5 ms, or the shortest the endpoints take (VLASIM_CONFIG may name a profile); a shared
        // stream takes the engine's periods, multiples of 32 frames.
        long minimum = 0;
        ASSERT_EQ(asio->getBufferSize(&minimum, nullptr, nullptr, nullptr), ASE_OK);
        const long frames = shared ? 256 : minimum > 240 ? minimum : 240;
        ASSERT_EQ(asio->createBuffers(infos, 4, frames, &callbacks), ASE_OK);
        ASIOSampleRate rate = 0;
        ASSERT_EQ(asio->getSampleRate(&rate), ASE_OK);
        LARGE_INTEGER hz;
        QueryPerformanceFrequency(&hz);
        periodTicks = LONGLONG(double(hz.QuadPart) * frames / rate);
        ASSERT_EQ(asio->start(), ASE_OK);
        const bool bridged = static_cast<ASIOSrv*>(asio)->bridged();
        for (int i = 0; i < 2000 && switches <= kFirst + kPeriods; ++i)
            Sleep(10);
        asio->stop();
        watched = 0;
        asio->Release();
        ASSERT_GT(switches, kFirst + kPeriods);

        UINT64 d[kCounted];
        for (int i = 0; i < kCounted; ++i)
            d[i] = at[1][i] - at[0][i];
        // Per period one render transfer. Capture event-driven: a GetBuffer per pass, released
        // when it gave a packet, and render's clock read once; timer-driven: per 2 ms wake the
        // padding and a capture staging (its query and GetBuffer), and per transfer a render
        // query and render's clock read (whether its device played a period without it). Shared: a pass whose wake came a period late finds the engine's buffer still
        // full and writes nothing, or finds it played dry and puts silence back first; every
        // buffer taken is released; the padding is asked once a pass, and capture says what
        // waits once a pass and again after each packet (a late wake takes two). Across two
        // devices' clocks (VLASIM_CONFIG may name such a profile) capture is taken at its own
        // pace: a packet and a look for another per capture signal (timer-driven, per wake), one
        // look per render pass, no staging; the capture clock's packets between the two switches
        // are as many as render's periods, give or take the drift and the backlog a late switch
        // leaves. At most one release per GetBuffer.
        const UINT64 n = kPeriods, wakes = timerDriven ? std::max(d[Padding], n) : 0;
        // What a busy machine may add: a few calls in all, and a couple per period the
        // switches came late by (a pass more, or an endpoint found not ready and asked again;
        // timer-driven, one whose padding always reads 0 may refuse a transfer a late wake asks
        // for, asked again at the next wake and released only when given). A count allowed a
        // range is wanted as it came when within it, else as the end it passed.
        const UINT64 slack = n / 50 + 2 + 2 * UINT64(latePeriods), low = n - std::min(n, slack);
        SCOPED_TRACE(testing::Message() << latePeriods << " periods late");
        auto within = [&](int i, UINT64 lo, UINT64 hi) { return std::clamp(d[i], lo, hi); };
        const UINT64 renders = shared        ? within(RGet, low, n + slack)
                               : timerDriven ? within(RGet, n, n + slack)
                                             : n;
        UINT64 want[All] = {}; // none on the watched thread, no packet size asked for
        want[RGet] = renders;
        want[RRelease] = shared ? renders : n;
        want[RQuery] = timerDriven ? renders : 0;
        want[Padding] = shared ? within(Padding, n, n + slack) : wakes;
        // Event-driven exclusive: a pass that finds no packet reads render's clock to tell
        // whether it is the second of two events a late wake found set.
        want[Clock] = timerDriven && !bridged               ? renders
                      : !timerDriven && !shared && !bridged ? within(Clock, n, n + slack)
                                                            : n;
        want[CSize] = shared && !bridged ? within(CSize, 2 * n, 2 * n + 2 * slack) : 0;
        want[CQuery] = bridged ? 0 : wakes;
        want[CGet] = bridged       ? within(CGet, n, (timerDriven ? wakes + n : 3 * n) + slack)
                     : shared      ? within(CGet, n, n + slack)
                     : timerDriven ? wakes
                                   : within(CGet, n, n + slack);
        want[CRelease] =
            std::min(bridged ? within(CRelease, low, n + slack) : d[CRelease], d[CGet]);
        UINT64 total = 0;
        for (int i = 0; i < All; ++i) {
            EXPECT_EQ(d[i], want[i]) << kNames[i];
            total += i < kWatched ? 0 : d[i];
        }
        EXPECT_EQ(d[All], total) << "calls of other endpoint methods";
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"StreamMode");
    meter->Release();
    factory->Release();
    CoRevokeClassObject(cookie);
    CoRevokeMallocSpy();
    CoUninitialize();
}

} // namespace
