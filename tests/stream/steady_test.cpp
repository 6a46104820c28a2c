// The streaming pass in its steady state does nothing but wait, call the endpoint and call
// the host: no heap allocation or free, no lock, no log write while the log is off, and the
// same endpoint calls every period.
//
// The endpoints are the simulator as its own DLL (vlasio-sim.dll, loaded and registered for
// this process), so that its allocations and locks are its own module's and only the
// driver's and this host's reach the counters below; its meter counts the endpoint calls.
#include "driver/ASIOSrv.h"
#include "sim/mallocspy.h"
#include "sim/meter.h"

#include <gtest/gtest.h>

#include <mmdeviceapi.h>
#include <objidl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

// --- Counting, on the watched thread only -------------------------------------------------
//
// malloc, free and the rest are wrapped at link time (-Wl,--wrap), operator new and delete
// replaced, the task allocator watched by a malloc spy, std::mutex seen at pthread_mutex_lock.

namespace {
std::atomic<DWORD> watched{0};
std::atomic<long> heapOps{0}, taskOps{0}, locks{0}, writes{0};
inline void count(std::atomic<long>& c) {
    if (watched.load(std::memory_order_relaxed) == GetCurrentThreadId()) ++c;
}
} // namespace

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void __real_free(void*);
size_t __real_fwrite(const void*, size_t, size_t, FILE*);
int __real_fflush(FILE*);
int __real_pthread_mutex_lock(void*);
void* __wrap_malloc(size_t n) {
    count(heapOps);
    return __real_malloc(n);
}
void* __wrap_calloc(size_t n, size_t m) {
    count(heapOps);
    return __real_calloc(n, m);
}
void* __wrap_realloc(void* p, size_t n) {
    count(heapOps);
    return __real_realloc(p, n);
}
void __wrap_free(void* p) {
    if (p) count(heapOps);
    __real_free(p);
}
size_t __wrap_fwrite(const void* p, size_t s, size_t n, FILE* f) {
    count(writes);
    return __real_fwrite(p, s, n, f);
}
int __wrap_fflush(FILE* f) {
    count(writes);
    return __real_fflush(f);
}
int __wrap_pthread_mutex_lock(void* m) {
    count(locks);
    return __real_pthread_mutex_lock(m);
}
}

void* operator new(size_t n) {
    count(heapOps);
    if (void* p = __real_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    return operator new(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    count(heapOps);
    return __real_malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept {
    return operator new(n, t);
}
void operator delete(void* p) noexcept {
    __wrap_free(p);
}
void operator delete[](void* p) noexcept {
    __wrap_free(p);
}
void operator delete(void* p, size_t) noexcept {
    __wrap_free(p);
}
void operator delete[](void* p, size_t) noexcept {
    __wrap_free(p);
}

namespace {

struct TaskSpy final : MallocSpyBase {
    void seen(void*) override { count(taskOps); }
} taskSpy;

IVlasimMeter* meter = nullptr;

// The endpoint methods a pass may call; each one's count, and every call together.
const char* const kMethods[] = {"IAudioRenderClient::GetBuffer",
                                "IAudioRenderClient::ReleaseBuffer",
                                "IAudioRenderClient::QueryInterface",
                                "IAudioClient::GetCurrentPadding",
                                "IAudioCaptureClient::GetNextPacketSize",
                                "IAudioCaptureClient::GetBuffer",
                                "IAudioCaptureClient::ReleaseBuffer",
                                "IAudioCaptureClient::QueryInterface",
                                "*"};
constexpr size_t kCounted = sizeof kMethods / sizeof kMethods[0];
constexpr size_t kAll = kCounted - 1;

struct Snapshot {
    long heap = 0, task = 0, locks = 0, writes = 0;
    UINT64 calls[kCounted] = {};
    void take() {
        heap = heapOps;
        task = taskOps;
        locks = ::locks;
        writes = ::writes;
        for (size_t i = 0; i < kCounted; ++i)
            meter->GetCalls(kMethods[i], 2, &calls[i]);
    }
};

// The host: watches its streaming thread from the first switch on and takes a snapshot at
// two switches of the steady state. It allocates nothing itself.
const long kFirst = 20, kPeriods = 300;
struct Host {
    std::atomic<long> switches{0};
    Snapshot at[2];
    HANDLE done = nullptr;
} host;

void onSwitch(long, ASIOBool) {
    long n = host.switches++;
    if (n == 0) watched = GetCurrentThreadId();
    if (n == kFirst) host.at[0].take();
    if (n == kFirst + kPeriods) {
        host.at[1].take();
        SetEvent(host.done);
    }
}
void bufferSwitch(long half, ASIOBool direct) {
    onSwitch(half, direct);
}
ASIOTime* bufferSwitchTimeInfo(ASIOTime*, long half, ASIOBool direct) {
    onSwitch(half, direct);
    return nullptr;
}
void rateChanged(ASIOSampleRate) {}
long asioMessage(long selector, long value, void*, double*) {
    return (selector == kAsioSelectorSupported && value == kAsioSupportsTimeInfo) ||
           selector == kAsioSupportsTimeInfo;
}
ASIOCallbacks callbacks = {bufferSwitch, rateChanged, asioMessage, bufferSwitchTimeInfo};

class SimDll : public testing::Environment {
  public:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ASSERT_HRESULT_SUCCEEDED(CoRegisterMallocSpy(&taskSpy));
        HMODULE dll = LoadLibraryW(L"Z:" VLASIM_DLL);
        ASSERT_NE(dll, nullptr);
        auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
            reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
        ASSERT_NE(getClassObject, nullptr);
        IUnknown* factory = nullptr;
        ASSERT_HRESULT_SUCCEEDED(getClassObject(CLSID_MMDeviceEnumerator, IID_IUnknown,
                                                reinterpret_cast<void**>(&factory)));
        ASSERT_HRESULT_SUCCEEDED(CoRegisterClassObject(
            CLSID_MMDeviceEnumerator, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie));
        IUnknown* enumerator = nullptr;
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                                  IID_IUnknown,
                                                  reinterpret_cast<void**>(&enumerator)));
        ASSERT_HRESULT_SUCCEEDED(
            enumerator->QueryInterface(IID_IVlasimMeter, reinterpret_cast<void**>(&meter)));
        enumerator->Release();
    }
    void TearDown() override {
        if (meter) meter->Release();
        CoRevokeClassObject(cookie);
        CoRevokeMallocSpy();
        CoUninitialize();
    }
    DWORD cookie = 0;
};
testing::Environment* const environment = testing::AddGlobalTestEnvironment(new SimDll);

UINT64 delta(size_t i) {
    return host.at[1].calls[i] - host.at[0].calls[i];
}

TEST(SteadyPass, NoAllocationLockOrLogWriteAndTheSameEndpointCallsEveryPeriod) {
    for (bool timerDriven : {false, true}) {
        SCOPED_TRACE(timerDriven ? "timer-driven" : "event-driven");
        host.switches = 0;
        watched = 0;
        host.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HRESULT hr = S_OK;
        IUnknown* inner = ASIOSrv::create(nullptr, &hr);
        ASSERT_NE(inner, nullptr);
        IASIO* asio = nullptr;
        inner->QueryInterface(CLSID_ASIOSrv, reinterpret_cast<void**>(&asio)); // the one reference
        static_cast<ASIOSrv*>(asio)->TimerDrivenMode = timerDriven;
        ASSERT_TRUE(asio->init(nullptr));
        ASSERT_EQ(static_cast<ASIOSrv*>(asio)->logFile, nullptr); // the log is off
        ASIOBufferInfo infos[4] = {
            {ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        ASSERT_EQ(asio->createBuffers(infos, 4, 240, &callbacks), ASE_OK); // 5 ms
        ASSERT_EQ(asio->start(), ASE_OK);
        bool finished = WaitForSingleObject(host.done, 20000) == WAIT_OBJECT_0;
        asio->stop();
        watched = 0;
        asio->Release();
        CloseHandle(host.done);
        ASSERT_TRUE(finished) << host.switches << " switches";

        const Snapshot &a = host.at[0], &b = host.at[1];
        EXPECT_EQ(b.heap - a.heap, 0) << "heap allocations and frees";
        EXPECT_EQ(b.task - a.task, 0) << "task allocator calls";
        EXPECT_EQ(b.locks - a.locks, 0) << "locks taken";
        EXPECT_EQ(b.writes - a.writes, 0) << "file writes with the log off";
        // Per period: one render transfer; capture as the mode takes it. Nothing else.
        const UINT64 n = kPeriods;
        UINT64 expected = 0;
        if (!timerDriven) {
            // The capture packet is taken with GetBuffer every pass, its size never asked
            // for, and released when there was one: a period the machine made the thread miss
            // leaves none for the next pass.
            for (size_t i : {0, 1, 5})
                EXPECT_EQ(delta(i), n) << kMethods[i];
            EXPECT_EQ(delta(4), 0u) << kMethods[4];
            EXPECT_LE(delta(6), n) << kMethods[6];
            expected = 3 * n + delta(6);
        } else {
            // Every 2 ms wake asks for the padding and stages capture (its own query and
            // GetBuffer); each period's render transfer queries the render service once.
            UINT64 wakes = delta(3);
            EXPECT_GE(wakes, n);
            for (size_t i : {0, 1, 2})
                EXPECT_EQ(delta(i), n) << kMethods[i];
            EXPECT_EQ(delta(7), wakes) << kMethods[7];
            EXPECT_EQ(delta(5), wakes) << kMethods[5];
            EXPECT_LE(delta(6), wakes) << kMethods[6];
            expected = 3 * n + 3 * wakes + delta(6);
        }
        EXPECT_EQ(delta(kAll), expected) << "endpoint calls in " << n << " periods";
    }
}

} // namespace
