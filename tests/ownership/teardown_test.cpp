// Teardown while a host misbehaves: each row streams through the DLL, has the host act in one
// of its switches while the test's thread goes on calling the driver, then dll::check().
#include "driver_dll.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr long kFrames = 2400;    // 50 ms at 48 kHz: room for Wine's timers within a period
constexpr double kBoundMs = 2100; // for any call: the thread wait, stop's pause, one period
constexpr DWORD kStallMs = 2500;  // a switch that outlasts the thread wait

std::atomic<IASIO*> asio{nullptr};
ASIOBufferInfo infos[4] = {
    {ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
HANDLE acted = CreateEventW(nullptr, TRUE, FALSE, nullptr);

// c/C createBuffers of kFrames or twice that, S start, X stop, D disposeBuffers, R the last
// Release, W wait until the host has acted, . 60 ms, Z a stall past the driver's wait; on `a`,
// which the switch reads before it lets the test's thread on.
void step(char op, IASIO* a = asio.load()) {
    if (op == 'W') {
        EXPECT_EQ(WaitForSingleObject(acted, 5000), WAIT_OBJECT_0);
    } else if (op == '.' || op == 'Z') {
        Sleep(op == '.' ? 60 : kStallMs);
    } else if (op == 'c' || op == 'C') {
        long frames = op == 'c' ? kFrames : 2 * kFrames;
        EXPECT_EQ(dll::timed("createBuffers", kBoundMs,
                             [&] { return a->createBuffers(infos, 4, frames, &dll::callbacks); }),
                  ASE_OK);
    } else if (op == 'R') {
        if ((a = asio.exchange(nullptr)))
            dll::timed("Release", kBoundMs, [&] { return a->Release(); });
    } else {
        auto method = op == 'S' ? &IASIO::start : op == 'X' ? &IASIO::stop : &IASIO::disposeBuffers;
        const char* name = op == 'S' ? "start" : op == 'X' ? "stop" : "disposeBuffers";
        EXPECT_EQ(dll::timed(name, kBoundMs, [&] { return (a->*method)(); }), ASE_OK) << name;
    }
}

// The steps in order; those after '@' on a host thread of its own apartment whose start finds
// no COM once, so that the driver initialises COM there and must undo it there.
void run(const char* ops) {
    for (; *ops && *ops != '@'; ++ops)
        step(*ops);
    if (*ops)
        std::thread([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            sim::fail("IAudioClient::Initialize", CO_E_NOTINITIALIZED, sim::FaultMode::Once, 1,
                      sim::Flow::Render);
            run(ops + 1);
            // The host's own initialisation is the only one left on this thread.
            CoUninitialize();
            HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            EXPECT_EQ(hr, S_OK) << "start's CoInitializeEx was not undone on its thread";
            CoUninitialize();
            if (hr == S_FALSE) CoUninitialize();
        }).join();
}

// The host acts in its switch number `at` (1: the first pre-fill) by the step `inSwitch`; the
// test's thread takes the steps of `script` after init, then the last Release.
struct Case {
    const char* name;
    unsigned at;
    char inSwitch;
    const char* script;
};
const Case kCases[] = {
    {"the switch stops while another thread disposes", 4, 'X', "cSWD"},
    {"the switch stops while another thread releases", 4, 'X', "cSWR"},
    {"a stalled switch, then stop, dispose, release", 4, 'Z', "cSWXD"},
    {"a stalled switch, then stop and start again", 4, 'Z', "cSWXS.."},
    {"stop inside the first pre-fill switch", 1, 'X', "cSW."},
    {"disposeBuffers inside the first pre-fill switch", 1, 'D', "cSW."},
    {"the last Release inside the switch", 4, 'R', "cSW."},
    {"createBuffers while streaming, then start", 0, 0, "cS.CS."},
    // The streaming thread stops the driver: not its COM to undo.
    {"COM that start initialised is undone on its own thread, once", 4, 'X', "c@SWXD"},
};

class Teardown : public testing::TestWithParam<Case> {};

TEST_P(Teardown, NothingFreedUnderTheThread) {
    static const bool ready = dll::setUp();
    ASSERT_TRUE(ready);
    const Case& c = GetParam();
    SCOPED_TRACE(c.name);
    sim::reset();
    ResetEvent(acted);
    dll::host.infos = infos;
    dll::host.count = 4;
    dll::host.bytes = kFrames * 4;
    dll::host.switches = 0;
    dll::host.action = [&c](unsigned n) {
        if (n != c.at) return;
        IASIO* a = asio;
        SetEvent(acted);
        step(c.inSwitch, a);
    };
    asio = dll::createDriver();
    ASSERT_NE(asio.load(), nullptr);
    EXPECT_EQ(asio.load()->init(nullptr), ASIOTrue);
    run(c.script);
    step('R');
    EXPECT_EQ(dll::check(kStallMs + 1000), "");
}

INSTANTIATE_TEST_SUITE_P(Host, Teardown, testing::ValuesIn(kCases));

} // namespace
