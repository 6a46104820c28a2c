// Measurement, not a test: duplex streaming in real time on the simulated endpoints at each
// buffer size, in both modes, to find the smallest size that runs without a missed period on
// this machine. Built with the Windows test programs (it drives the test rig), run by hand:
//   VLASIO_SOAK_SECONDS=60 VLASIO_SOAK_FRAMES=64,96,128 scripts/wine-run
//     build/windows/tests/stream/soak_realtime.exe
#include "rig.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(Soak, DuplexAtEachSize) {
    const char* secondsText = getenv("VLASIO_SOAK_SECONDS");
    const char* framesText = getenv("VLASIO_SOAK_FRAMES");
    DWORD ms = DWORD(secondsText ? atoi(secondsText) : 60) * 1000;
    std::string list = framesText ? framesText : "64,96,128,192,256";
    for (bool timerDriven : {false, true})
        for (size_t at = 0; at < list.size();) {
            size_t comma = list.find(',', at);
            long frames = atol(list.substr(at, comma - at).c_str());
            at = comma == std::string::npos ? list.size() : comma + 1;
            rig::Options o;
            o.frames = frames;
            o.timerDriven = timerDriven;
            // Let the endpoint go below its usual 3 ms period, down to the buffer's length
            // (timer-driven capture runs at the endpoint's minimum period).
            o.minimumPeriod =
                std::min<REFERENCE_TIME>(30000, REFERENCE_TIME(frames) * 10000000 / 48000);
            double maxGapMs = 0;
            {
                rig::Rig r(o);
                ASSERT_EQ(r.create(), ASE_OK);
                ASSERT_EQ(r.asio->start(), ASE_OK);
                Sleep(ms);
                r.asio->stop();
                auto switches = r.switches();
                for (size_t s = 1; s < switches.size(); ++s)
                    maxGapMs = std::max(maxGapMs, switches[s].atMs - switches[s - 1].atMs);
            }
            sim::Stats render = sim::stats(sim::Flow::Render);
            sim::Stats capture = sim::stats(sim::Flow::Capture);
            printf("%s %4ld frames (%.2f ms): %llu periods, %llu missed, %llu capture lost, "
                   "longest switch gap %.1f ms, clock late by up to %.1f ms\n",
                   timerDriven ? "timer" : "event", frames, frames / 48.0,
                   (unsigned long long)render.periods, (unsigned long long)render.missedPeriods,
                   (unsigned long long)capture.discontinuities, maxGapMs,
                   std::max(render.maxLateUs, capture.maxLateUs) / 1000.0);
            fflush(stdout);
            rig::expectNothingLeaked();
        }
}

} // namespace
