// Teardown while a host misbehaves: each row streams through the DLL on the simulated
// endpoints and has the host act inside one of its switches (stop, dispose, release, stall past
// the driver's wait) while the test's thread goes on calling the driver. Afterwards: no heap
// damage, nothing of the simulator or the driver left, never two streaming threads in the
// host at once, and no call longer than the driver's wait for its thread plus two periods
// (stop's one-buffer pause and one more).
#include "driver_dll.h"
#include "testhost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr long kFrames = 2400;    // 50 ms at 48 kHz: room for Wine's timers within a period
constexpr double kBoundMs = 2100; // the thread wait, the pause and one period
constexpr DWORD kStallMs = 2500;  // a switch that outlasts the thread wait

struct Session {
    IASIO* asio = nullptr;
    std::vector<ASIOBufferInfo> infos;
    ASIOCallbacks callbacks = {};
    HANDLE acted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::mutex mutex;
    double worstMs = 0;
    std::string worstCall;

    ~Session() { CloseHandle(acted); }
    template <typename F> auto timed(const char* what, F call) {
        double t0 = dll::nowMs();
        auto result = call();
        double ms = dll::nowMs() - t0;
        std::lock_guard<std::mutex> lock(mutex);
        if (ms > worstMs) worstMs = ms, worstCall = what;
        return result;
    }
    ASIOError stop() { return timed("stop", [&] { return asio->stop(); }); }
    ASIOError start() { return timed("start", [&] { return asio->start(); }); }
    ASIOError dispose() { return timed("disposeBuffers", [&] { return asio->disposeBuffers(); }); }
    ASIOError create(long frames) {
        infos = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        return timed("createBuffers",
                     [&] { return asio->createBuffers(infos.data(), 4, frames, &callbacks); });
    }
    void release() {
        timed("Release", [&] { return asio->Release(); });
        asio = nullptr;
    }
    void waitActed() { ASSERT_EQ(WaitForSingleObject(acted, 5000), WAIT_OBJECT_0); }
};

struct Case {
    const char* name;
    int at; // the host acts in its switch with this number (1 = the first pre-fill switch)
    void (*inSwitch)(Session&);
    void (*script)(Session&); // on the test's thread, after createBuffers
};

void stopIn(Session& r) { EXPECT_EQ(r.stop(), ASE_OK); }
void disposeIn(Session& r) { EXPECT_EQ(r.dispose(), ASE_OK); }
void stallIn(Session&) { Sleep(kStallMs); }
void releaseIn(Session& r) { r.release(); }

void startThenRelease(Session& r) {
    ASSERT_EQ(r.start(), ASE_OK);
    r.waitActed();
    Sleep(50);
    if (r.asio) r.release();
}

const Case kCases[] = {
    {"1: the switch stops while another thread disposes", 4, stopIn,
     [](Session& r) {
         ASSERT_EQ(r.start(), ASE_OK);
         r.waitActed();
         EXPECT_EQ(r.dispose(), ASE_OK);
         r.release();
     }},
    {"1: the switch stops while another thread releases", 4, stopIn,
     [](Session& r) {
         ASSERT_EQ(r.start(), ASE_OK);
         r.waitActed();
         r.release();
     }},
    {"2: a stalled switch, then stop, dispose, release", 4, stallIn,
     [](Session& r) {
         ASSERT_EQ(r.start(), ASE_OK);
         r.waitActed();
         EXPECT_EQ(r.stop(), ASE_OK);
         EXPECT_EQ(r.dispose(), ASE_OK);
         r.release();
     }},
    {"2: a stalled switch, then stop and start again", 4, stallIn,
     [](Session& r) {
         ASSERT_EQ(r.start(), ASE_OK);
         r.waitActed();
         EXPECT_EQ(r.stop(), ASE_OK);
         EXPECT_EQ(r.start(), ASE_OK); // once the stalled thread has ended
         Sleep(100);
         r.release();
     }},
    {"3: stop inside the first pre-fill switch", 1, stopIn, startThenRelease},
    {"3: disposeBuffers inside the first pre-fill switch", 1, disposeIn, startThenRelease},
    {"4: the last Release inside the switch", 4, releaseIn, startThenRelease},
    {"5: createBuffers while streaming, then start", 0, nullptr,
     [](Session& r) {
         ASSERT_EQ(r.start(), ASE_OK);
         Sleep(60);
         ASSERT_EQ(r.create(2 * kFrames), ASE_OK);
         ASSERT_EQ(r.start(), ASE_OK);
         Sleep(60);
         r.release();
     }},
    {"6: COM that start initialised is undone on its own thread, once", 4, stopIn,
     [](Session& r) {
         // A host thread of its own apartment; start finds it without COM once.
         std::thread([&] {
             CoInitializeEx(nullptr, COINIT_MULTITHREADED);
             sim::fail("IAudioClient::Initialize", CO_E_NOTINITIALIZED, sim::FaultMode::Once, 1,
                       sim::Flow::Render);
             ASSERT_EQ(r.start(), ASE_OK);
             r.waitActed(); // the streaming thread stops the driver: not its COM to undo
             EXPECT_EQ(r.stop(), ASE_OK);
             EXPECT_EQ(r.dispose(), ASE_OK);
             // The host's own initialisation is the only one left on this thread.
             CoUninitialize();
             HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
             EXPECT_EQ(hr, S_OK) << "start's CoInitializeEx was not undone on its thread";
             CoUninitialize();
             if (hr == S_FALSE) CoUninitialize();
         }).join();
         r.release();
     }},
};

class Teardown : public testing::TestWithParam<Case> {};

TEST_P(Teardown, NothingFreedUnderTheThread) {
    const Case& c = GetParam();
    sim::reset();
    Session r;
    testhost::TestHost host;
    host.takeTimeInfo(true);
    std::atomic<int> switches{0};
    host.onSwitch = [&](long half, ASIOBool) {
        if (r.inside.fetch_add(1) != 0) r.overlap = true;
        // A host writes its outputs in every switch: into freed blocks, if the driver let it.
        for (const ASIOBufferInfo& b : r.infos)
            if (!b.isInput && b.buffers[half]) memset(b.buffers[half], 0x11, kFrames * 4);
        if (++switches == c.at) {
            SetEvent(r.acted);
            c.inSwitch(r);
        }
        r.inside.fetch_sub(1);
    };
    r.callbacks = host.callbacks();
    r.asio = dll::createDriver();
    ASSERT_NE(r.asio, nullptr);
    ASSERT_EQ(r.asio->init(nullptr), ASIOTrue);
    ASSERT_EQ(r.create(kFrames), ASE_OK);

    c.script(r);

    if (r.asio) r.release();
    for (const testhost::SwitchRecord& s : host.switches())
        EXPECT_TRUE(dll::threadEnded(s.threadId, kStallMs + 1000));
    EXPECT_EQ(dll::leftovers(), "");
    EXPECT_FALSE(r.overlap) << "two streaming threads called the host at once";
    EXPECT_LE(r.worstMs, kBoundMs) << r.worstCall;
    printf("  %s: longest call %s, %.0f ms\n", c.name, r.worstCall.c_str(), r.worstMs);
    std::string why;
    EXPECT_TRUE(dll::heapsValid(&why)) << why;
}

INSTANTIATE_TEST_SUITE_P(Host, Teardown, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& i) {
                             return "case" + std::to_string(i.index);
                         });

class Environment : public testing::Environment {
    void SetUp() override { ASSERT_TRUE(dll::setUp()); }
};
testing::Environment* const environment = testing::AddGlobalTestEnvironment(new Environment);

} // namespace
