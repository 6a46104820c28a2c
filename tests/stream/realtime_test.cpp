// The streaming engine against the simulator's own clock: duplex runs that must service every
// period and carry the audio bit-exactly, and start/stop cycles while audio runs.
#include "rig.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Stereo frames as the host's outputs and the counter signal lay them out, low byte of a
// 24-in-32 sample zero. Silent frames are skipped; a frame number that does not follow the one
// before (for the first: is not 0) is a break.
struct Continuity {
    size_t first = 0, frames = 0, breaks = 0, malformed = 0;
};
Continuity continuity(const std::vector<int32_t>& samples, bool wide) {
    Continuity c;
    const unsigned top = wide ? 24 : 12, low = wide ? 8 : 0, mask = wide ? 0xFFFF : 0xFFF;
    for (size_t k = 0, next = 0; k + 1 < samples.size(); k += 2) {
        const uint32_t a = uint32_t(samples[k]), n = (a >> low) & mask;
        if (!a && !samples[k + 1]) continue;
        if (a != (1u << top | n << low) || uint32_t(samples[k + 1]) != (2u << top | n << low)) {
            ++c.malformed;
            continue;
        }
        if (!c.frames++) c.first = k / 2;
        c.breaks += n != next;
        next = (n + 1) & mask;
    }
    return c;
}

// Every period serviced, and the audio carried in order and bit-exactly both ways. Each tick
// of the simulated clock a quarter period (and 2 ms) late shows the machine starved the
// process, and excuses up to three missed periods (VLASIO_STRICT_REALTIME: none).
TEST(Realtime, DuplexServicesEveryPeriodBitExactlyInBothModes) {
    for (bool timerDriven : {false, true}) {
        SCOPED_TRACE(timerDriven ? "timer-driven, 16-bit" : "event-driven, 24-in-32");
        rig::Options o;
        o.timerDriven = timerDriven;
        o.wide = !timerDriven;
        rig::Rig r(o);
        ASSERT_TRUE(r.start());
        Sleep(5000);
        r.asio->stop();
        const sim::Stats render = sim::stats(sim::Flow::Render),
                         capture = sim::stats(sim::Flow::Capture);
        const uint64_t B = uint64_t(o.frames), expected = 5000 * 48 / B;
        const uint64_t stalls = render.lateTicks + capture.lateTicks;
        const uint64_t allowed = getenv("VLASIO_STRICT_REALTIME") ? 0 : 3 * stalls;
        printf("    %s: %llu periods, %llu missed, %llu capture lost, %llu clock stalls\n",
               timerDriven ? "timer" : "event", (unsigned long long)render.periods,
               (unsigned long long)render.missedPeriods,
               (unsigned long long)capture.discontinuities, (unsigned long long)stalls);
        EXPECT_LE(render.missedPeriods, allowed);
        EXPECT_LE(capture.discontinuities, allowed);
        // One switch per period after the pre-fill (the last may have come after stop).
        const uint64_t prefill = timerDriven ? 2 : 1;
        EXPECT_LE(r.switchCount, prefill + render.periods);
        EXPECT_GE(r.switchCount + 1 + allowed, prefill + render.periods);

        Continuity played = continuity(rig::Rig::played(o.wide), o.wide);
        EXPECT_EQ(played.malformed, 0u);
        EXPECT_LE(played.breaks, allowed);
        EXPECT_LE(played.first, (allowed + 1) * B);
        EXPECT_GE(played.frames + (allowed + 2) * B, expected * B);
        Continuity heard = continuity(r.captured, o.wide);
        EXPECT_EQ(heard.malformed, 0u);
        if (timerDriven) {
            // Its capture ring has no room for the period capture runs ahead of render: where
            // it overruns, the host reads older or newer frames, but intact.
            EXPECT_GE(heard.frames, expected * B / 2);
            continue;
        }
        EXPECT_EQ(heard.first, prefill * B); // the first capture period in the first loop switch
        EXPECT_LE(heard.breaks, allowed);
        EXPECT_GE(heard.frames + (allowed + 4) * B, expected * B);
    }
}

TEST(Teardown, TwoHundredStartStopCyclesInBothModes) {
    rig::Options o;
    o.frames = 192; // 4 ms
    rig::Rig r(o);
    ASSERT_EQ(r.create(), ASE_OK);
    for (int cycle = 0; cycle < 200; ++cycle) {
        SCOPED_TRACE(cycle);
        r.srv->TimerDrivenMode = cycle % 2;
        const size_t before = r.switchCount;
        ASSERT_EQ(r.asio->start(), ASE_OK);
        // Stop at every stage: during set-up, in the pre-fill, a few periods in.
        if (cycle % 4) r.waitForSwitches(before + size_t(cycle % 4) * 2, 500);
        ASSERT_EQ(r.asio->stop(), ASE_OK);
        ASSERT_FALSE(r.srv->running);
        ASSERT_EQ(r.srv->threadHandle, nullptr);
        ASSERT_EQ(r.srv->audioClient[kRender], nullptr);
        ASSERT_EQ(r.srv->bufferEvent[kCapture], nullptr);
        // Nothing is called back once stop has returned.
        const size_t after = r.switchCount;
        if (cycle % 50 == 0) Sleep(20);
        ASSERT_EQ(r.switchCount, after);
    }
    EXPECT_EQ(sim::liveObjects(), 1) << sim::report(); // the enumerator init keeps
}

} // namespace
