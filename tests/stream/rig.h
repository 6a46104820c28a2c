// A driver object on the simulated endpoints, with a recording host: what the engine tests
// share. The host's outputs carry a running frame counter per channel (with a stray low byte
// in 32-bit samples, which the stream must drop), so that the endpoint's recording can be
// compared with what the host wrote, frame for frame; the inputs the host is handed are kept
// in the order of its switches.
#pragma once

#include "driver/ASIOSrv.h"
#include "sim/sim.h"
#include "testhost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace rig {

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
    sim::Clock clock = sim::Clock::Realtime;
    sim::Signal signal = sim::Signal::Counter;
    REFERENCE_TIME minimumPeriod = 30000;
};

class Rig {
  public:
    explicit Rig(const Options& o);
    ~Rig();

    // Outputs and inputs of the latest createBuffers, and its result.
    ASIOError create();

    // The host's view: the inputs of each switch appended (channel 0 and 1 interleaved as
    // 32-bit values), and what it wrote counted in frames.
    std::vector<int32_t> capturedStream() const;
    uint64_t framesWritten() const { return written_; }

    // The render recording's samples (frames interleaved), each as a 32-bit value.
    static std::vector<int32_t> recordedSamples(bool wide);

    Options opt;
    testhost::TestHost host;
    IASIO* asio = nullptr;
    ASIOSrv* srv = nullptr;
    std::vector<ASIOBufferInfo> infos;
    ASIOCallbacks callbacks = {};
    // Extra action inside each switch, after the rig's own filling and reading.
    std::function<void(long half, ASIOBool direct)> also;

  private:
    void onSwitch(long half);
    uint64_t written_ = 0;
    std::vector<int32_t> captured_;
};

// Releases the driver and checks that the simulator holds nothing afterwards.
void expectNothingLeaked();

} // namespace rig
