// The streaming engine against the simulator's own clock: long duplex runs that must service
// every period and carry the audio bit-exactly, and start/stop cycles while audio runs (a
// host misbehaving inside its switch is the ownership tests' table). The smallest glitch-free
// buffer is measured by bench/soak_realtime.cpp, not here.
#include "rig.h"

#include <cstdio>
#include <cstdlib>

namespace {

using rig::Options;
using rig::Rig;

struct Outcome {
    uint64_t periods = 0, missed = 0, discontinuities = 0, switches = 0;
    double maxGapMs = 0;    // longest time between two of the host's switches
    double clockLateMs = 0; // the endpoint clock's own worst lateness
    uint64_t stalls = 0;    // endpoint ticks that came more than a quarter period late
};

// A stream of stereo frames that should carry consecutive frame numbers in the layout both
// the host's outputs and the endpoint's counter signal use: channel c holds (c + 1) in its
// top bits and the frame number below (bits 8-23 of a 24-in-32 sample with a zero low byte,
// bits 0-11 of a 16-bit one). Leading silence is skipped; any other frame must be well
// formed or silent, and a frame whose number does not follow its predecessor's is a break.
struct Continuity {
    size_t firstFrame = 0; // index of the first frame that is not silence
    uint32_t firstNumber = 0;
    size_t frames = 0, silent = 0, breaks = 0, malformed = 0;
};

Continuity continuity(const std::vector<int32_t>& samples, bool wide) {
    Continuity c;
    const uint32_t mod = wide ? 0x10000 : 0x1000;
    bool started = false;
    uint32_t previous = 0;
    for (size_t k = 0; k + 1 < samples.size(); k += 2) {
        uint32_t a = uint32_t(samples[k]), b = uint32_t(samples[k + 1]);
        if (!a && !b) {
            c.silent += started;
            continue;
        }
        uint32_t n;
        bool ok;
        if (wide) {
            n = (a >> 8) & 0xFFFF;
            ok = (a & 0xFF000000u) == 0x01000000u && b == (0x02000000u | (a & 0x00FFFF00u));
        } else {
            a &= 0xFFFF;
            b &= 0xFFFF;
            n = a & 0xFFF;
            ok = (a & 0xF000) == 0x1000 && b == (0x2000 | n);
        }
        if (!ok) {
            ++c.malformed;
            continue;
        }
        if (!started) {
            started = true;
            c.firstFrame = k / 2;
            c.firstNumber = n;
        } else if (n != (previous + 1) % mod) {
            ++c.breaks;
        }
        previous = n;
        ++c.frames;
    }
    return c;
}

// Streams duplex for a while and checks that every period was serviced, that the endpoint
// played what the host wrote and that the host received the endpoint's signal, in order and
// bit-exactly (after the 24-bit mask). Not one period may be missed, except around stalls of
// the machine itself: each tick of the simulated clock that came more than a quarter of a
// period (and 2 ms) late shows the process was starved, the streaming thread with it, and excuses up to
// three missed periods (a stall of one to three periods). VLASIO_STRICT_REALTIME excuses
// none. Corrupt or reordered audio fails either way.
Outcome runDuplex(const Options& o, DWORD ms, bool check) {
    Outcome out;
    Rig r(o);
    if (r.create() != ASE_OK || r.asio->start() != ASE_OK) {
        ADD_FAILURE() << "could not start";
        return out;
    }
    Sleep(ms);
    r.asio->stop();
    sim::Stats render = sim::stats(sim::Flow::Render), capture = sim::stats(sim::Flow::Capture);
    auto switches = r.host.switches();
    out.periods = render.periods;
    out.missed = render.missedPeriods;
    out.discontinuities = capture.discontinuities;
    out.switches = switches.size();
    out.clockLateMs = std::max(render.maxLateUs, capture.maxLateUs) / 1000.0;
    out.stalls = render.lateTicks + capture.lateTicks;
    for (size_t s = 1; s < switches.size(); ++s)
        out.maxGapMs = std::max(out.maxGapMs, switches[s].atMs - switches[s - 1].atMs);
    if (!check) return out;

    const size_t B = size_t(o.frames);
    const uint64_t expected = uint64_t(ms) * 48 / B;
    uint64_t allowed = getenv("VLASIO_STRICT_REALTIME") ? 0 : 3 * out.stalls;
    EXPECT_LE(render.missedPeriods, allowed)
        << out.stalls << " clock stalls, up to " << out.clockLateMs << " ms";
    EXPECT_LE(capture.discontinuities, allowed)
        << out.stalls << " clock stalls, up to " << out.clockLateMs << " ms";
    EXPECT_GE(render.periods + 2 + allowed, expected);
    // One switch per period after the pre-fill (the last period may have come after stop).
    size_t prefill = o.timerDriven ? 3 : 2;
    EXPECT_LE(switches.size(), prefill + render.periods);
    EXPECT_GE(switches.size() + 1 + allowed, prefill + render.periods);

    // The endpoint played the host's frames from its first on; a miss is a break.
    Continuity played = continuity(Rig::recordedSamples(o.wide), o.wide);
    EXPECT_EQ(played.malformed, 0u);
    EXPECT_LE(played.breaks + (played.firstNumber != 0), allowed);
    EXPECT_LE(played.firstFrame, (allowed + 1) * B);
    EXPECT_GE(played.frames + (allowed + 2) * B, expected * B);

    Continuity heard = continuity(r.capturedStream(), o.wide);
    EXPECT_EQ(heard.malformed, 0u);
    if (!o.timerDriven) {
        // The first switch after the pre-fill carries the first capture period, each later
        // switch the next one.
        EXPECT_EQ(heard.firstFrame, 2 * B);
        EXPECT_LE(heard.breaks + (heard.firstNumber != 0), allowed);
        EXPECT_GE(heard.frames + (allowed + 4) * B, expected * B);
    } else {
        // Timer-driven capture passes a ring that takes one packet per timer wake and is
        // sized with no room for the period capture runs ahead of render; where it overruns,
        // the host reads older or newer frames of the signal. It still reaches the host intact,
        // frame by frame.
        EXPECT_GE(heard.frames, expected * B / 2);
    }
    return out;
}

TEST(Realtime, TenSecondsDuplexAt10msServicesEveryPeriodBitExactly) {
    for (bool timerDriven : {false, true})
        for (bool wide : {true, false}) {
            SCOPED_TRACE(testing::Message() << (timerDriven ? "timer-driven" : "event-driven")
                                            << (wide ? ", 24-in-32" : ", 16-bit"));
            Options o;
            o.timerDriven = timerDriven;
            o.wide = wide;
            Outcome out = runDuplex(o, 10000, true);
            printf("    %s %s: %llu periods, %llu missed, %llu capture lost, longest switch gap "
                   "%.1f ms, %llu clock stalls, up to %.1f ms\n",
                   timerDriven ? "timer" : "event", wide ? "24-in-32" : "16-bit",
                   (unsigned long long)out.periods, (unsigned long long)out.missed,
                   (unsigned long long)out.discontinuities, out.maxGapMs,
                   (unsigned long long)out.stalls, out.clockLateMs);
            rig::expectNothingLeaked();
        }
}

// --- Teardown under stress ---------------------------------------------------------------------

TEST(Teardown, TwoHundredStartStopCyclesInBothModes) {
    Options o;
    o.frames = 192; // 4 ms
    {
        Rig r(o);
        ASSERT_EQ(r.create(), ASE_OK);
        for (int cycle = 0; cycle < 200; ++cycle) {
            r.srv->TimerDrivenMode = cycle % 2;
            r.host.clear();
            ASSERT_EQ(r.asio->start(), ASE_OK) << cycle;
            // Stop at every stage: during set-up, in the pre-fill, a few periods in.
            if (cycle % 4) r.host.waitForSwitches(size_t(cycle % 4) * 2, 500);
            ASSERT_EQ(r.asio->stop(), ASE_OK);
            ASSERT_FALSE(r.srv->running);
            ASSERT_EQ(r.srv->threadHandle, nullptr);
            ASSERT_EQ(r.srv->audioClient[kRender], nullptr);
            ASSERT_EQ(r.srv->bufferEvent[kCapture], nullptr);
            // Nothing is called back once stop has returned.
            size_t after = r.host.switchCount();
            if (cycle % 50 == 0) {
                Sleep(20);
                ASSERT_EQ(r.host.switchCount(), after);
            }
        }
        // Only the enumerator that init keeps is left.
        EXPECT_EQ(sim::liveObjects(), 1) << sim::report();
    }
    rig::expectNothingLeaked();
}

} // namespace
