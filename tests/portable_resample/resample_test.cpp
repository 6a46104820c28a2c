#include "endpoint/formats.h"
#include "stream/clockbridge.h"
#include "stream/convert.h"
#include "stream/resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

using namespace vl;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000;

// Accumulates a channel's output against the ideal signal at the positions it stands for.
struct Score {
    double signal = 0, noise = 0, cross = 0;
    void add(double got, double want) {
        signal += want * want;
        noise += (got - want) * (got - want);
        cross += got * want;
    }
    double snrDb() const { return 10 * std::log10(signal / noise); }
    double gainDb() const { return 20 * std::log10(cross / signal); }
};

// A sine of `hz` resampled at a constant ratio in runs of `period` frames, two channels in
// opposite phase, the output scored after the filter has filled.
Score resampleSine(double ratio, double hz, uint32_t period, double seconds) {
    Resampler r;
    EXPECT_TRUE(r.setup(2, period));
    const double w = 2 * kPi * hz / kRate;
    std::vector<float> out0(period), out1(period);
    float* out[] = {out0.data(), out1.data()};
    Score score;
    uint64_t taken = 0, made = 0;
    while (made < uint64_t(seconds * kRate)) {
        uint32_t n = r.inputFrames(ratio, period);
        for (uint32_t i = 0; i < n; ++i) {
            r.input(0)[i] = float(0.5 * std::sin(w * double(taken + i)));
            r.input(1)[i] = -r.input(0)[i];
        }
        taken += n;
        r.process(ratio, out, period);
        for (uint32_t j = 0; j < period; ++j, ++made) {
            double want = 0.5 * std::sin(w * (double(made) * ratio - Resampler::kDelayFrames));
            if (made < 2 * Resampler::kTaps) continue;
            score.add(out0[j], want);
            score.add(-out1[j], want);
        }
    }
    return score;
}

TEST(Resampler, SineAtRatiosNearOneIsCleanTo100Db) {
    for (double ppm : {-2000.0, -1000.0, -333.3, -10.0, 0.0, 0.5, 77.0, 1234.5, 2000.0}) {
        const Score s = resampleSine(1 + ppm * 1e-6, 1000, ppm < 0 ? 480 : 128, 1.0);
        EXPECT_GE(s.snrDb(), 100.0) << ppm << " ppm";
        printf("%+8.1f ppm: %.1f dB\n", ppm, s.snrDb());
    }
}

TEST(Resampler, PassbandIsFlatTo20kHz) {
    double low = 0, high = 0;
    for (double hz : {20.0, 100.0, 1000.0, 5000.0, 10000.0, 15000.0, 18000.0, 19000.0, 20000.0}) {
        const double gain = resampleSine(1.0015, hz, 128, 0.25).gainDb();
        printf("%5.0f Hz: %+.5f dB\n", hz, gain);
        low = std::min(low, gain);
        high = std::max(high, gain);
    }
    EXPECT_LE(high - low, 0.1);
    EXPECT_LE(std::max(high, -low), 0.05);
}

// Ratios beyond the resampler's range are taken as its ends, so a run never needs more input
// than its window holds.
TEST(Resampler, RatioClampedAndRunsStayInTheirWindow) {
    Resampler r;
    ASSERT_TRUE(r.setup(1, 480));
    EXPECT_LE(r.inputFrames(2.0, 480), r.maxInputFrames());
    EXPECT_EQ(r.inputFrames(2.0, 480), r.inputFrames(Resampler::kMaxRatio, 480));
    EXPECT_EQ(r.inputFrames(0.5, 480), r.inputFrames(Resampler::kMinRatio, 480));
    EXPECT_EQ(r.inputFrames(1.0, 0), 0u);
}

// Integer endpoint samples to floats and back: exact for 16 bits and for 24 in 32.
TEST(ClockBridge, SampleConversionRoundTrips) {
    const int16_t s16[] = {0, 1, -1, 32767, -32768, 12345, -23456, 7};
    const uint32_t s32[] = {0x00000000, 0x000001FF, 0xFFFFFF00, 0x7FFFFFFF,
                            0x80000000, 0x12345678, 0xEDCBA988, 0x00000100};
    float f[4];
    int16_t back16[8] = {};
    uint32_t back32[8] = {};
    for (unsigned ch = 0; ch < 2; ++ch) {
        interleavedToFloat(kSampleTypeInt16LSB, s16, 2, ch, 4, f);
        floatToBlock(kSampleTypeInt16LSB, f, 4, back16, ch * 4);
        interleavedToFloat(kSampleTypeInt32LSB, s32, 2, ch, 4, f);
        floatToBlock(kSampleTypeInt32LSB, f, 4, back32, ch * 4);
    }
    for (unsigned i = 0; i < 4; ++i)
        for (unsigned ch = 0; ch < 2; ++ch) {
            EXPECT_EQ(back16[ch * 4 + i], s16[i * 2 + ch]) << i << " " << ch;
            EXPECT_EQ(back32[ch * 4 + i], s32[i * 2 + ch] & kValid24Mask) << i << " " << ch;
        }
    const float loud[] = {1.5f, -1.5f, 1.0f, NAN};
    floatToBlock(kSampleTypeInt16LSB, loud, 4, back16, 0);
    floatToBlock(kSampleTypeInt32LSB, loud, 4, back32, 0);
    EXPECT_EQ(std::vector<int16_t>(back16, back16 + 4),
              (std::vector<int16_t>{32767, -32768, 32767, -32768}));
    EXPECT_EQ(std::vector<uint32_t>(back32, back32 + 4),
              (std::vector<uint32_t>{0x7FFFFF00, 0x80000000, 0x7FFFFF00, 0x80000000}));
    interleavedToFloat(kSampleTypeInt32LSB, s32, 2, 2, 4, f); // beyond the frame: silence
    EXPECT_EQ(std::vector<float>(f, f + 4), std::vector<float>(4, 0.0f));
}

// Between 3 and 3.2 s: capture packets lost on the way, or render periods the device plays
// without the bridge being called; or, all along, every 7th capture packet without a time; or
// at 3 s one device pausing for 1.5 ms, its count going on afterwards from where it stopped.
enum class Fault { none, lostCapture, missedRender, untimedCapture, capturePause, renderPause };
constexpr double kStallFrom = 3.0, kStallTo = 3.2, kPauseSeconds = 1.5e-3;

// Two free-running clocks: render's is the time base, capture's runs `ppm` fast, plus a wander
// of wanderPpm over wanderSeconds, and starts `phase` of a period into its first period. Times
// are exact, or (`counter`) as endpoints give them: in whole 100-ns units, render's read from
// its position at a wake a little into the period before, as the streaming thread reads it.
struct Clocks {
    double ppm;
    double wanderPpm, wanderSeconds;
    uint32_t capturePeriod, renderPeriod;
    double phase;
    double seedPpm; // 0: not seeded
    double seconds;
    Fault fault = Fault::none;
    bool counter = false;
    bool passThrough = false; // the bridge told the two are one clock

    double rateAt(double t) const {
        double r = 1 + ppm * 1e-6;
        if (wanderPpm) r += wanderPpm * 1e-6 * std::sin(2 * kPi * t / wanderSeconds);
        return r;
    }
    // Capture frames made by time t.
    double madeAt(double t) const {
        if (fault == Fault::capturePause && t >= kStallFrom)
            t = t >= kStallFrom + kPauseSeconds ? t - kPauseSeconds : kStallFrom;
        double f = (1 + ppm * 1e-6) * t + phase * capturePeriod / kRate;
        if (wanderPpm)
            f += wanderPpm * 1e-6 * wanderSeconds / (2 * kPi) *
                 (1 - std::cos(2 * kPi * t / wanderSeconds));
        return f * kRate;
    }
    // When capture's count reaches `frames`, by Newton's method from a guess.
    double timeOf(double frames, double guess) const {
        Clocks running = *this;
        running.fault = Fault::none;
        for (int i = 0; i < 4; ++i)
            guess -= (running.madeAt(guess) - frames) / (kRate * rateAt(guess));
        return fault == Fault::capturePause && guess >= kStallFrom ? guess + kPauseSeconds : guess;
    }
    double stamp(double t) const { return counter ? std::round(t * 1e7) * 1e-7 : t; }
};

struct Outcome {
    double startSeconds = -1;       // the first period with input
    double worstFromHalfSecond = 0; // frames from where it should be, by the true clocks
    double wanderNs = 0;            // rms of that distance about its mean, the run's last half
    double snrDb = 0;               // the captured sine at the positions the output stands for
    double ppmFound = 0, ppmTrue = 0;
    uint64_t underrun = 0, overrun = 0, lost = 0, lostWanted = 0;
    uint32_t resyncs = 0;
    uint64_t passedThrough = 0, inexact = 0; // frames passed through, and not to the bit
    bool stillPassing = false;
};

// Runs the bridge between the two clocks, capture delivering a 24-bit stereo sine whose value
// at every capture frame is known, so that each output frame can be checked against the input
// position it stands for.
Outcome runClocks(const Clocks& c) {
    ClockBridge bridge;
    ClockBridge::Config config;
    config.channels = 2;
    config.framesPerSecond = kRate;
    config.capturePeriodFrames = c.capturePeriod;
    config.renderPeriodFrames = c.renderPeriod;
    config.marginFrames = 8;
    EXPECT_TRUE(bridge.setup(config));
    if (c.seedPpm) bridge.seedRatio(1 + c.seedPpm * 1e-6);
    bridge.passThrough(c.passThrough);
    bridge.reset();

    const double w = 2 * kPi * 997 / kRate;
    auto sine = [&](double frame) { return 0.5 * std::sin(w * frame); };
    std::vector<uint32_t> packet(size_t(c.capturePeriod) * 2);
    std::vector<float> left(c.renderPeriod), right(c.renderPeriod);
    float* out[] = {left.data(), right.data()};

    Outcome o;
    Score score;
    double sum = 0, sum2 = 0, count = 0; // that distance over the last half, frames
    uint64_t capturePackets = 0, renderPeriods = 0;
    // The first whole capture period ends when the count reaches capturePeriod.
    double nextCapture = c.timeOf(double(c.capturePeriod), 0);
    double lostFrom = 0, lostTo = 0; // capture frames lost, played as silence
    uint64_t skipped = 0;            // lost since the last packet delivered
    while (true) {
        double nextRender = double(renderPeriods) * c.renderPeriod / kRate;
        if (c.fault == Fault::renderPause && nextRender >= kStallFrom) nextRender += kPauseSeconds;
        if (nextRender > c.seconds) break;
        if (nextCapture <= nextRender) {
            const uint64_t first = capturePackets * c.capturePeriod;
            for (uint32_t i = 0; i < c.capturePeriod; ++i) {
                int32_t v = int32_t(std::lrint(sine(double(first + i)) * 8388608.0)) * 256;
                packet[2 * i] = uint32_t(v);
                packet[2 * i + 1] = uint32_t(-v);
            }
            const bool untimed = c.fault == Fault::untimedCapture && capturePackets % 7 == 3;
            if (c.fault == Fault::lostCapture && nextCapture >= kStallFrom &&
                nextCapture < kStallTo) {
                if (!o.lostWanted) lostFrom = double(first);
                o.lostWanted += c.capturePeriod;
                skipped += c.capturePeriod;
                lostTo = double(first + c.capturePeriod);
            } else {
                const double at = c.stamp(c.timeOf(double(first), nextCapture));
                bridge.captured(kSampleTypeInt32LSB, packet.data(), 2, c.capturePeriod,
                                untimed ? -1 : at, skipped);
                skipped = 0;
            }
            ++capturePackets;
            nextCapture = c.timeOf(double((capturePackets + 1) * c.capturePeriod), nextCapture);
            continue;
        }
        if (c.fault == Fault::missedRender && nextRender >= kStallFrom && nextRender < kStallTo) {
            ++renderPeriods;
            continue;
        }
        const bool wasRunning = bridge.running();
        const double position = bridge.inputPosition();
        // Each frame stands for what capture had made targetFrames() render frames before.
        const double fillError = c.madeAt(nextRender - bridge.targetFrames() / kRate) - position;
        const uint64_t faults = bridge.underrunFrames() + bridge.resyncs();
        // Read at a wake 1 to 40 frames into the period before this one.
        const double into = double(1 + renderPeriods * 7919 % 40);
        bridge.render(out, c.renderPeriod,
                      c.counter ? c.stamp(nextRender - (c.renderPeriod - into) / kRate) +
                                      (c.renderPeriod - into) / kRate
                                : nextRender);
        ++renderPeriods;
        // Periods played short or after a jump are counted below, not measured; nor is a
        // period between a pause and the first time that shows it.
        if (!bridge.running() || bridge.underrunFrames() + bridge.resyncs() != faults) continue;
        if (o.startSeconds < 0) o.startSeconds = nextRender;
        const bool unseen =
            c.fault == Fault::capturePause && nextRender >= kStallFrom &&
            nextRender < kStallFrom + double(2 * c.capturePeriod + c.renderPeriod) / kRate;
        if (wasRunning && nextRender >= 0.5 && !unseen) {
            o.worstFromHalfSecond = std::max(o.worstFromHalfSecond, std::fabs(fillError));
            if (nextRender >= c.seconds / 2)
                sum += fillError, sum2 += fillError * fillError, ++count;
        }
        // This period's frames stand for position, position + ratio, ...; the first period
        // starts where the bridge put it.
        const double from =
            wasRunning ? position : bridge.inputPosition() - c.renderPeriod * bridge.ratio();
        const bool exact = bridge.passingThrough();
        for (uint32_t j = 0; j < c.renderPeriod; ++j) {
            const double at = from + j * bridge.ratio();
            if (exact) {
                // The packet's own sample at that whole frame, as the bridge reads it in.
                const float in = float(int32_t(std::lrint(sine(at) * 8388608.0)) * 256) *
                                 (1.0f / 2147483648.0f);
                o.passedThrough += 1;
                o.inexact += left[j] != in || right[j] != -in;
            }
            if (at > lostFrom - Resampler::kDelayFrames && at < lostTo + Resampler::kDelayFrames)
                continue;
            const double want = sine(at);
            score.add(left[j], want);
            score.add(-right[j], want);
        }
    }
    o.wanderNs =
        std::sqrt(std::max(0.0, sum2 / count - (sum / count) * (sum / count))) / kRate * 1e9;
    o.snrDb = score.snrDb();
    o.ppmFound = bridge.ratioPpm();
    o.ppmTrue = (c.rateAt(c.seconds) - 1) * 1e6;
    o.underrun = bridge.underrunFrames();
    o.overrun = bridge.overrunFrames();
    o.resyncs = bridge.resyncs();
    o.lost = bridge.lostFrames();
    o.stillPassing = bridge.passingThrough();
    return o;
}

// The input starts within a few periods, where the clocks' fits put it, and stays there: no
// lock to wait for, nothing to overshoot. With times in the counter's 100-ns units, the delay
// holds to a nanosecond between clocks that keep their rates, and to some tens of nanoseconds
// of a clock that wanders 50 ppm in half a minute.
TEST(ClockBridge, StartsWhereTheClocksAreAndHoldsTheDelay) {
    const struct {
        Clocks clocks;
        double wanderNs; // at most, rms (0: not checked)
    } cases[] = {
        // ppm, wander ppm, wander s, capture, render, phase, seed ppm, seconds
        {{2000, 0, 0, 480, 128, 0.3, 0, 6}, 0},
        {{-2000, 0, 0, 480, 128, 0.7, 0, 6}, 0},
        {{2000, 0, 0, 128, 480, 0.5, 0, 6}, 0},
        {{-2000, 0, 0, 128, 128, 0.0, 0, 6}, 0},
        {{100, 0, 0, 480, 480, 0.333, 0, 6}, 0},
        {{5000, 0, 0, 480, 128, 0.5, 4990, 6}, 0},
        {{-2000, 50, 20, 480, 128, 0.4, 0, 12}, 0},
        {{2000, 100, 20, 128, 480, 0.6, 0, 12}, 0},
        {{2000, 0, 0, 480, 480, 0.9, 0, 12, Fault::none, true}, 2},
        {{-2000, 0, 0, 128, 480, 0.2, 0, 12, Fault::none, true}, 2},
        {{2000, 50, 30, 480, 480, 0.333, 0, 12, Fault::none, true}, 15},
        {{2000, 0, 0, 480, 128, 0.3, 0, 6, Fault::lostCapture}, 0},
        {{-2000, 0, 0, 128, 480, 0.3, 0, 6, Fault::missedRender}, 0},
        {{-2000, 0, 0, 128, 128, 0.6, 0, 6, Fault::untimedCapture, true}, 0},
        {{2000, 0, 0, 480, 480, 0.3, 0, 6, Fault::capturePause}, 0},
        {{-2000, 0, 0, 128, 480, 0.6, 0, 6, Fault::renderPause}, 0},
    };
    for (const auto& k : cases) {
        const Clocks& c = k.clocks;
        SCOPED_TRACE(testing::Message()
                     << c.ppm << " ppm, wander " << c.wanderPpm << ", capture " << c.capturePeriod
                     << ", render " << c.renderPeriod << (c.counter ? ", 100-ns times" : ""));
        const Outcome o = runClocks(c);
        printf("%+6.0f ppm wander %3.0f cap %3u ren %3u%s: input from %.3f s, fill within %.4f "
               "frames, wander %.2f ns rms, snr %.1f dB, found %+.2f true %+.2f\n",
               c.ppm, c.wanderPpm, c.capturePeriod, c.renderPeriod, c.counter ? " 100ns" : "",
               o.startSeconds, o.worstFromHalfSecond, o.wanderNs, o.snrDb, o.ppmFound, o.ppmTrue);
        EXPECT_GE(o.startSeconds, 0);
        EXPECT_LE(o.startSeconds, 0.05);
        EXPECT_LE(o.worstFromHalfSecond, c.fault == Fault::none ? 0.01 : 2.0);
        if (k.wanderNs) {
            EXPECT_LE(o.wanderNs, k.wanderNs);
        }
        // Lost capture packets become silence in place; render periods played without the
        // bridge make the position jump once; a packet without a time takes the one its clock
        // expects; nothing else is missing, dropped or jumped.
        EXPECT_EQ(o.lost, o.lostWanted);
        EXPECT_EQ(o.underrun > 0, c.fault == Fault::lostCapture);
        EXPECT_EQ(o.overrun > 0, c.fault == Fault::missedRender);
        // A device that paused moves the position once, at once.
        const bool jumps = c.fault == Fault::missedRender || c.fault == Fault::capturePause ||
                           c.fault == Fault::renderPause;
        EXPECT_EQ(o.resyncs, jumps ? 1u : 0u);
        EXPECT_NEAR(o.ppmFound, o.ppmTrue, c.wanderPpm ? 10 : 0.5);
        EXPECT_GE(o.snrDb, 90.0);
    }
}

// Capture on render's own clock passes through bit for bit, on the whole frame nearest to
// where the input should be, whatever the two periods; a capture clock that runs apart after
// all is resampled from the moment its position drifts two frames, once.
TEST(ClockBridge, OneClockPassesThroughBitForBit) {
    const struct {
        const char* name;
        double ppm;
        uint32_t capturePeriod, renderPeriod;
        bool oneClock;
    } rows[] = {
        {"one clock, 480 and 480", 0, 480, 480, true},
        {"one clock, 128 and 480", 0, 128, 480, true},
        {"one clock, 480 and 128", 0, 480, 128, true},
        {"two clocks after all", 300, 480, 480, false},
    };
    for (const auto& r : rows) {
        Clocks c = {r.ppm, 0, 0, r.capturePeriod, r.renderPeriod, 0.37, 0, 6};
        c.counter = c.passThrough = true;
        const Outcome o = runClocks(c);
        EXPECT_GT(o.passedThrough, 0u) << r.name;
        EXPECT_EQ(o.inexact, 0u) << r.name;
        EXPECT_EQ(o.stillPassing, r.oneClock) << r.name;
        EXPECT_EQ(o.resyncs, r.oneClock ? 0u : 1u) << r.name;
        EXPECT_LE(o.worstFromHalfSecond, r.oneClock ? 0.5 : 2.0) << r.name;
        EXPECT_GE(o.snrDb, 90.0) << r.name;
    }
}

} // namespace

namespace {

// Both clocks' period times for `seconds`, capture's running `ppm` fast. Render's times are
// jittered by up to `jitter` seconds either way, or (`coarse`) its position is kept per period
// and stamped when the driver asked, up to `jitter` late; it pauses for `pause` seconds at
// 2.5 s; the driver tells of a lost period at `stallAt` seconds.
struct Feed {
    double ppm, seconds, jitter = 0;
    bool coarse = false;
    double pause = 0, stallAt = -1;
};
ClockCompare compareFor(const Feed& f) {
    ClockCompare compare;
    compare.reset(kRate);
    const uint32_t period = 480;
    uint32_t noise = 12345;
    for (uint64_t k = 1; k * period / kRate <= f.seconds; ++k) {
        const double t = double(k * period) / kRate;
        noise = noise * 1103515245u + 12345u;
        const double u = double(noise >> 8) / double(1u << 24); // 0 to 1
        const double late = f.coarse ? f.jitter * u : f.jitter * std::sin(double(k) * 1.7);
        compare.render(k * period, t + late + (t >= 2.5 ? f.pause : 0));
        compare.capture(uint64_t(std::llround(t * kRate * (1 + f.ppm * 1e-6))), t);
        if (f.stallAt >= 0 && std::fabs(t - f.stallAt) < 0.005) compare.stall();
    }
    return compare;
}

// Believed apart only on two windows in a row that agree, free of stalls and steps, within
// what real clocks do; coarse, late-stamped positions do not make a difference up.
TEST(ClockCompare, BelievesOnlyAPlausibleStableReading) {
    const struct {
        Feed feed;
        bool apart, implausible;
        double ppm; // of the last window, when it is checked
    } cases[] = {
        {{0, 5}, false, false, 0},
        {{30, 5}, false, false, 30},
        {{200, 5}, true, false, 200},
        {{-600, 5}, true, false, -600},
        {{200, 3}, false, false, 200},  // one window is not enough
        {{2000, 5}, false, true, 2000}, // no clock runs that far off
        {{0, 5, 100e-6}, false, false, 0},
        {{500, 5, 100e-6}, true, false, 500},
        {{0, 9, 3e-3, true}, false, false, 0}, // a period's steps, stamped late
        {{200, 9, 3e-3, true}, true, false, 200},
        {{0, 7, 0, false, 1.5e-3}, false, false, 0},     // a device that paused
        {{200, 5, 0, false, 0, 3.0}, false, false, 200}, // a stall in the second window
    };
    for (const auto& c : cases) {
        const Feed& f = c.feed;
        SCOPED_TRACE(testing::Message() << f.ppm << " ppm, " << f.seconds << " s, jitter "
                                        << f.jitter << (f.coarse ? " coarse" : ""));
        const ClockCompare compare = compareFor(f);
        EXPECT_EQ(compare.apart(), c.apart);
        EXPECT_EQ(compare.implausible(), c.implausible);
        EXPECT_NEAR(compare.ppm(), c.ppm, f.coarse ? 25 : 5);
    }
}

} // namespace
