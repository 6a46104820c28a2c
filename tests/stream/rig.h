// A driver object on the simulated endpoints, and the host it calls back: the host records
// its switches and messages, writes a frame counter per channel on its outputs (with a stray
// low byte in 32-bit samples, which the stream must drop) and keeps its inputs in order.
#pragma once

#include "driver/ASIOSrv.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

namespace rig {

// COM and the simulated endpoints for the program, multithreaded for the streaming thread.
class SimEnvironment : public testing::Environment {
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_EQ(sim::install(), S_OK);
    }
    void TearDown() override {
        sim::uninstall();
        CoUninitialize();
    }
};
inline testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new SimEnvironment);

// Output sample the host writes for its frame n of channel c.
inline int32_t hostSample(unsigned c, uint64_t n, bool wide) {
    if (!wide) return int16_t((c + 1) << 12 | (n & 0xFFF));
    return int32_t(uint32_t(c + 1) << 24 | uint32_t(n & 0xFFFF) << 8 | 0xAB);
}

struct Options {
    int outputs = 2;
    int inputs = 2;
    long frames = 480;
    bool wide = true;     // 24-in-32 endpoints, else 16-bit ones
    bool timeInfo = true; // the host answers yes to the time-info questions
    bool timerDriven = false;
    bool outputReady = false; // the host calls outputReady after createBuffers and each switch
    sim::Clock clock = sim::Clock::Realtime;
    REFERENCE_TIME minimumPeriod = 30000;
};

struct Switch {
    bool timeInfo; // through bufferSwitchTimeInfo, whose record is kept
    long half;
    ASIOBool direct;
    AsioTimeInfo time;
    double atMs;
    DWORD thread;
};

struct Message {
    long selector, value;
    DWORD thread;
};

// Checks, once the driver is released, that the simulator holds nothing.
inline void expectNothingLeaked() {
    EXPECT_EQ(sim::liveObjects(), 0) << sim::report();
    EXPECT_EQ(sim::outstandingRefs(), 0) << sim::report();
    EXPECT_EQ(sim::outstandingAllocations(), 0) << sim::report();
}

// One at a time: the host's callbacks reach the latest rig made.
struct Rig {
    explicit Rig(const Options& o) : opt(o) {
        active = this;
        sim::reset();
        sim::configure(endpoint(sim::defaultRender()), endpoint(sim::defaultCapture()));
        sim::setClock(o.clock);
        captured.reserve(size_t(4) << 20);
        HRESULT hr = S_OK;
        IUnknown* inner = ASIOSrv::create(nullptr, &hr);
        inner->QueryInterface(CLSID_ASIOSrv, reinterpret_cast<void**>(&asio));
        srv = static_cast<ASIOSrv*>(asio);
        srv->TimerDrivenMode = o.timerDriven;
        asio->init(nullptr);
    }
    // Releases the driver and checks that the simulator holds nothing then.
    ~Rig() {
        asio->Release();
        active = nullptr;
        expectNothingLeaked();
    }

    // Buffers for the inputs, then the outputs, from channel 0.
    ASIOError create() {
        infos.clear();
        for (int c = 0; c < opt.inputs; ++c)
            infos.push_back({ASIOTrue, c, {}});
        for (int c = 0; c < opt.outputs; ++c)
            infos.push_back({ASIOFalse, c, {}});
        ASIOError e = asio->createBuffers(infos.data(), long(infos.size()), opt.frames, &callbacks);
        if (e == ASE_OK && opt.outputReady) asio->outputReady();
        return e;
    }
    bool start() { return create() == ASE_OK && asio->start() == ASE_OK; }
    bool waitForSwitches(size_t n, DWORD timeoutMs = 2000) const {
        for (DWORD start = GetTickCount(); switchCount < n; Sleep(1))
            if (GetTickCount() - start > timeoutMs) return false;
        return true;
    }
    std::vector<Switch> switches() const {
        return {switchLog.begin(), switchLog.begin() + ptrdiff_t(switchCount)};
    }
    // The render endpoint's recording, frames interleaved, each sample as a 32-bit value.
    static std::vector<int32_t> played(bool wide) {
        std::vector<BYTE> bytes = sim::recording(sim::Flow::Render);
        const size_t width = wide ? 4 : 2;
        std::vector<int32_t> out(bytes.size() / width);
        for (size_t i = 0; i < out.size(); ++i) {
            memcpy(&out[i], &bytes[i * width], width);
            if (!wide) out[i] = int16_t(out[i]);
        }
        return out;
    }

    Options opt;
    IASIO* asio = nullptr;
    ASIOSrv* srv = nullptr;
    std::vector<ASIOBufferInfo> infos;
    ASIOCallbacks callbacks = {bufferSwitch, [](ASIOSampleRate) {}, asioMessage,
                               bufferSwitchTimeInfo};
    // The streaming thread appends, each log up to its count (and its size: never reallocated).
    std::vector<Switch> switchLog = std::vector<Switch>(1 << 16);
    std::vector<Message> messageLog = std::vector<Message>(64);
    std::atomic<size_t> switchCount{0}, messageCount{0}, resets{0};
    std::vector<int32_t> captured; // inputs 0 and 1 interleaved, as handed over

    // An endpoint as the rig configures it.
    sim::EndpointConfig endpoint(sim::EndpointConfig c) const {
        c.deviceFormat = sim::extensibleFormat(48000, 2, opt.wide ? 32 : 16, opt.wide ? 24 : 16,
                                               KSAUDIO_SPEAKER_STEREO);
        c.minimumPeriod = opt.minimumPeriod;
        c.signal = sim::Signal::Counter;
        c.recordLimitBytes = 256u << 20;
        return c;
    }

  private:
    inline static Rig* active = nullptr;
    static void bufferSwitch(long half, ASIOBool direct) {
        if (active) active->record({false, half, direct, {}, 0, 0});
    }
    static ASIOTime* bufferSwitchTimeInfo(ASIOTime* time, long half, ASIOBool direct) {
        if (active) active->record({true, half, direct, time->timeInfo, 0, 0});
        return time;
    }
    static long asioMessage(long selector, long value, void*, double*) {
        Rig* r = active;
        if (!r) return 0;
        if (r->messageCount < r->messageLog.size()) {
            r->messageLog[r->messageCount] = {selector, value, GetCurrentThreadId()};
            ++r->messageCount;
        }
        r->resets += selector == kAsioResetRequest;
        if (selector == kAsioSupportsTimeInfo) return r->opt.timeInfo;
        return selector == kAsioSelectorSupported &&
               (value == kAsioResetRequest || value == kAsioLatenciesChanged ||
                (value == kAsioSupportsTimeInfo && r->opt.timeInfo));
    }
    void record(Switch s) {
        s.atMs = std::chrono::duration<double, std::milli>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
        s.thread = GetCurrentThreadId();
        const uint64_t written = uint64_t(opt.frames) * switchCount;
        if (switchCount < switchLog.size()) {
            switchLog[switchCount] = s;
            ++switchCount;
        }
        const size_t width = opt.wide ? 4 : 2; // the low bytes of a 32-bit value make a 16-bit one
        for (const ASIOBufferInfo& b : infos)
            for (long i = 0; i < opt.frames && !b.isInput && b.buffers[s.half]; ++i) {
                int32_t v = hostSample(unsigned(b.channelNum), written + uint64_t(i), opt.wide);
                memcpy(static_cast<char*>(b.buffers[s.half]) + size_t(i) * width, &v, width);
            }
        if (opt.outputReady) asio->outputReady();
        if (opt.inputs < 2 || captured.size() + 2 * size_t(opt.frames) > captured.capacity())
            return;
        for (long i = 0; i < opt.frames; ++i)
            for (size_t c = 0; c < 2; ++c) {
                const void* in = infos[c].buffers[s.half];
                captured.push_back(opt.wide ? static_cast<const int32_t*>(in)[i]
                                            : static_cast<const int16_t*>(in)[i]);
            }
    }
};

} // namespace rig
