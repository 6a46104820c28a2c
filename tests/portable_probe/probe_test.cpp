#include "analysis.h"
#include "attribution.h"
#include "options.h"
#include "samples.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <tuple>

using namespace probe;
using namespace std::literals;

// Values on each type's grid survive there and back; DSD and unknown types are refused.
TEST(Samples, EveryTypeThereAndBackInItsOwnLayoutAndScale) {
    int known = 0;
    for (int32_t type = 0; type < 100; ++type) {
        SampleFormat f;
        if (!describeSampleType(type, &f)) continue;
        ++known;
        const int shift = f.isFloat ? 8 : 32 - f.bits;
        const int32_t top = int32_t(uint32_t(INT32_MAX) >> shift << shift), step = 1 << shift;
        const std::array<int32_t, 6> values = {0, INT32_MIN, top, step, -step, 0x40000000};
        uint8_t raw[6 * 8];
        std::array<int32_t, 6> back;
        samplesFromInt32(type, values.data(), raw, 6);
        samplesToInt32(type, raw, back.data(), 6);
        EXPECT_EQ(back, values) << f.name;
    }
    EXPECT_EQ(known, 18);
    // Top bits in the container's byte order, the sign above low-aligned ones; floats scaled.
    const std::tuple<int32_t, int32_t, std::string_view> rows[] = {
        {kInt24LSB, -0x12345600, "\xAA\xCB\xED"sv},
        {kInt24MSB, -0x12345600, "\xED\xCB\xAA"sv},
        {kInt32LSB16, -0x12345600, "\xCB\xED\xFF\xFF"sv},
        {kInt32LSB24, -0x12345600, "\xAA\xCB\xED\xFF"sv},
        {kFloat32LSB, 0x40000000, "\0\0\0\x3F"sv},
        {kFloat64MSB, INT32_MIN, "\xBF\xF0\0\0\0\0\0\0"sv}};
    for (auto [type, value, bytes] : rows) {
        char raw[8] = {};
        samplesFromInt32(type, &value, raw, 1);
        EXPECT_EQ(std::string_view(raw, bytes.size()), bytes) << type;
    }
    const double loud[] = {1.5, -2.0};
    int32_t clipped[2];
    samplesToInt32(kFloat64LSB, loud, clipped, 2);
    EXPECT_EQ(std::make_pair(clipped[0], clipped[1]), std::make_pair(INT32_MAX, INT32_MIN));
}

// {missed, half errors, position errors, pre-fill switches} of a clean run, then spoiled.
TEST(Switches, CleanLostRepeatedAndDiscontinuous) {
    // As a good driver delivers them: two pre-fill switches at once, then one per period a
    // little late, more so every third; halves alternating, positions a buffer apart. From
    // switch `lost` on, one period later.
    constexpr double kPeriod = 256.0 / 48000;
    auto cleanRun = [](size_t lost) {
        std::vector<SwitchRecord> r(102);
        for (size_t i = 0; i < r.size(); ++i) {
            r[i].index = int32_t(i & 1);
            r[i].directProcess = i < 2;
            r[i].positionValid = true;
            r[i].position = int64_t(i) * 256;
            double periods = double(i - 1) + (i % 3 ? 0.05 : 0.3) + (i >= lost ? 1 : 0);
            r[i].seconds = i < 2 ? 0.001 : 0.002 + periods * kPeriod;
        }
        return r;
    };
    using Counts = std::tuple<int64_t, size_t, size_t, size_t>;
    auto counts = [](const std::vector<SwitchRecord>& r) {
        SwitchSummary s = summarizeSwitches(r, 256, 48000, 1);
        return Counts(s.missed, s.halfErrors, s.positionErrors, s.prefill);
    };
    auto r = cleanRun(SIZE_MAX);
    SwitchSummary s = summarizeSwitches(r, 256, 48000, r.back().seconds + 0.004);
    EXPECT_EQ(s.expected, 100);
    EXPECT_NEAR(s.meanMs, 1000 * kPeriod, 0.01);
    EXPECT_NEAR(s.maxMs, 1000 * kPeriod * 1.25, 0.01);
    EXPECT_NEAR(s.silenceAtEndMs, 4, 1e-6);
    EXPECT_EQ(summarizeSwitches({}, 256, 48000, 1).received, 0u);
    EXPECT_EQ(counts(r), Counts(0, 0, 0, 2));
    EXPECT_EQ(counts(cleanRun(50)), Counts(1, 0, 0, 2));
    // Most of a period late at either end, or bunched after a stall, is no lost period.
    for (size_t i : {2, 100, 101})
        r[i].seconds += 0.9 * kPeriod;
    for (size_t i = 40; i < 45; ++i)
        r[i].seconds = r[45].seconds - 0.0001 * double(45 - i);
    EXPECT_EQ(counts(r), Counts(0, 0, 0, 2));
    // 10 and 11 repeat a half, 14 is a step away from either neighbour, 17 names no half.
    r[10].index = r[9].index;
    r[14].position += 5;
    r[17].index = 2;
    EXPECT_EQ(counts(r), Counts(0, 3, 2, 2));
    r = cleanRun(SIZE_MAX);
    r[0].index = 1; // not half 0 first
    r[3].positionValid = false;
    EXPECT_EQ(counts(r), Counts(0, 2, 1, 2));
    for (auto& x : r)
        x.directProcess = 1;
    EXPECT_EQ(counts(r), Counts(0, 2, 1, 0));
}

// Clicks every half second (four buffers at least); an echo 1300 frames late at -20 dB.
TEST(RoundTrip, TimesEveryEchoOfTheClickTrack) {
    ClickTrack clicks = ClickTrack::forStream(48000, 256);
    EXPECT_EQ(ClickTrack::forStream(8000, 4096).interval, 4 * 4096);
    const size_t frames = 100000;
    std::vector<int32_t> played(frames), recorded(frames, 0), piece(256);
    clicks.render(0, played.data(), frames);
    clicks.render(23900, piece.data(), 256);
    EXPECT_EQ(piece[100], clicks.amplitude);
    auto echoes = [&](const std::vector<int32_t>& r) {
        RoundTrip rt = measureRoundTrip(r.data(), frames, clicks, 48000, 256);
        return std::make_tuple(rt.echoes.size(), rt.minFrames, rt.maxFrames);
    };
    for (size_t i = 1300; i < frames; ++i)
        recorded[i] = played[i - 1300] / 10 + int32_t(i % 7) * 1000;
    EXPECT_EQ(echoes(recorded), std::make_tuple(5u, 1300, 1300));
    // One echo a buffer late makes the measurement inconsistent.
    recorded[48000 + 1300] = 0;
    recorded[48000 + 1556] = played[48000] / 10;
    EXPECT_EQ(echoes(recorded), std::make_tuple(5u, 1300, 1556));
    // A click resampled between two frames is timed at its peak: the second, here.
    recorded[48000 + 1556] = played[48000] / 10 * 6 / 10;
    recorded[48000 + 1557] = played[48000] / 10 * 7 / 10;
    EXPECT_EQ(echoes(recorded), std::make_tuple(5u, 1300, 1557));
    // Noise below -40 dBFS is no echo.
    EXPECT_EQ(echoes(std::vector<int32_t>(frames, 20000000)), std::make_tuple(0u, 0, 0));
}

// Echoes every half second at 48 kHz with 480-frame buffers: {delays, constant, first echo of
// the settled run, its figure, steps of more than half a buffer}.
TEST(RoundTrip, SettlesWithinTwoFramesEarlyEnoughOrIsNotConstant) {
    auto series = [](std::initializer_list<int64_t> head, size_t n, int64_t rest, int64_t slope) {
        std::vector<int64_t> v(head);
        for (size_t i = 0; v.size() < n; ++i)
            v.push_back(rest + (slope * int64_t(i)) % 480);
        return v;
    };
    const std::tuple<std::vector<int64_t>, bool, size_t, int64_t, size_t> cases[] = {
        {series({}, 10, 1008, 0), true, 0, 1008, 0},
        // Locking: settled from 1.5 s, wandering by two frames either way, three before.
        {{1100, 1050, 1011, 1010, 1006, 1008, 1009, 1008, 1007, 1008}, true, 3, 1008, 0},
        // Clocks apart: 48 frames an echo, a period dropped when the lag reaches one.
        {series({}, 20, 1440, 48), false, 19, 1872, 1},
        // A period lost at 2.5 s: steady since, but too late to be a lock.
        {series({1008, 1008, 1008, 1008, 1008}, 20, 1488, 0), false, 5, 1488, 1},
        // Settled early, but on only half of the echoes.
        {{1300, 1200, 1100, 1008, 1009, 1008}, false, 3, 1008, 0},
        // Held but for echoes beside a late switch (a negative delay marks one): set aside.
        {{1100, 1008, 1008, -1488, 1008, -900, 1008}, true, 1, 1008, 2}};
    for (const auto& [delays, constant, from, figure, steps] : cases) {
        RoundTrip rt;
        for (size_t i = 0; i < delays.size(); ++i)
            rt.echoes.push_back(
                {int64_t(i) * 24000 + std::abs(delays[i]), std::abs(delays[i]), delays[i] < 0});
        judgeRoundTrip(&rt, 48000, 480);
        EXPECT_EQ(std::make_tuple(rt.constant, rt.settledFrom, rt.settledFrames, rt.steps),
                  std::make_tuple(constant, from, figure, steps))
            << delays[0] << " " << delays.back();
        // The same step where the driver said its latencies changed at 2.4 s: judged from there.
        if (from == 5 && figure == 1488) {
            judgeRoundTrip(&rt, 48000, 480, int64_t(2.4 * 48000));
            EXPECT_TRUE(rt.constant);
        }
    }
}

// RIFF; extensible fmt: 2 channels, 48000 Hz, 24 bits, no speakers, PCM; two frames of data.
TEST(Wav, HeadersAndInterleavedData) {
    auto w = wavImage({{0x12345678, -1}, {0x7FFFFFFF, INT32_MIN}}, 2, 48000, 24);
    const auto want = "RIFF\x48\0\0\0WAVEfmt \x28\0\0\0\xFE\xFF\x02\0\x80\xBB\0\0\0\x65\x04\0\x06\0"
                      "\x18\0\x16\0\x18\0\0\0\0\0\x01\0\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71"
                      "data\x0C\0\0\0\x56\x34\x12\xFF\xFF\x7F\xFF\xFF\xFF\0\0\x80"sv;
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(w.data()), w.size()), want);
}

TEST(Options, CommandLines) {
    Options o;
    std::string e;
    ASSERT_TRUE(parseOptions({"My Driver", "--buffer", "256", "--channels", "0,4", "--seconds",
                              "1.5", "--no-timeinfo", "--rate", "44100", "--wav", "x.wav",
                              "--first-channel", "1", "--no-output-ready", "--stall", "3"},
                             &o, &e));
    EXPECT_EQ(std::make_tuple(o.driver, o.buffer, o.inputs, o.outputs, o.firstChannel, o.seconds,
                              o.timeInfo, o.rate, o.wavPath, o.outputReady, o.stallPeriods),
              std::make_tuple("My Driver", 256, 0, 4, 1, 1.5, false, 44100, "x.wav", false, 3));
    ASSERT_TRUE(parseOptions({"d", "--panel"}, &o, &e));
    EXPECT_TRUE(o.panel);
    ASSERT_TRUE(parseOptions({"d", "--sine"}, &o, &e));
    EXPECT_TRUE(o.sine);
    const std::vector<std::string> bad[] = {{"a", "--buffer", "12x"},
                                            {"a", "--find-minimum", "--buffer", "64"},
                                            {"a", "--panel", "--find-minimum"},
                                            {"a", "--sine", "--find-minimum"},
                                            {"a", "--stall", "0"},
                                            {"a", "b"}};
    for (const auto& args : bad) {
        EXPECT_FALSE(parseOptions(args, &o, &e)) << args.back();
        EXPECT_FALSE(e.empty());
    }
}

// Periods of 10 ms, callbacks at 1-3 and 12-20 ms: a period woken at once, one whose event at
// 11 ms waits out a callback, one with nothing running from 30 to 39 ms, one released before
// the stream's first tick. Parts in microseconds.
TEST(Slack, FiguresAndWhatHeldALatePeriodUp) {
    const std::vector<CallbackSpan> callbacks = {{0.001, 0.003}, {0.012, 0.020}};
    const std::tuple<PeriodTiming, long, long, long, Cause> cases[] = {
        {{true, 0.000, 0.0000, 0.0005, 0.010}, 0, 0, 500, Cause::DriverPass},
        {{true, 0.011, 0.0195, 0.0210, 0.020}, 8000, 1000, 1000, Cause::HostCallback},
        {{true, 0.030, 0.0390, 0.0395, 0.040}, 0, 9000, 500, Cause::LateWake},
        {{false, 0, 0, 0, 0.010}, 0, 0, 0, Cause::LateWake}};
    auto us = [](double seconds) { return std::lround(seconds * 1e6); };
    std::vector<PeriodTiming> periods;
    for (const auto& [p, host, wake, driver, cause] : cases) {
        DelayParts d = explainPeriod(p, callbacks);
        EXPECT_EQ(std::make_tuple(us(d.host), us(d.wake), us(d.driver), d.cause),
                  std::make_tuple(host, wake, driver, cause));
        periods.push_back(p);
    }
    // The third, lost on capture: the same pass woke at once for render (the capture tick
    // ran a period ahead of it) or late for render too; without render, a late wake.
    const PeriodTiming onTime{true, 0.039, 0.0392, 0.0394, 0.050};
    const PeriodTiming late{true, 0.030, 0.039, 0.0394, 0.040};
    const std::tuple<std::vector<PeriodTiming>, Cause> renders[] = {
        {std::vector<PeriodTiming>{onTime}, Cause::OtherClock},
        {std::vector<PeriodTiming>{late}, Cause::LateWake},
        {std::vector<PeriodTiming>{}, Cause::LateWake}};
    for (const auto& [render, cause] : renders)
        EXPECT_EQ(explainCapture(periods[2], render, 0.010, callbacks).cause, cause);
    // A clock's period from ticks 10.02 ms apart, two ticks at once, and one put off by 4 ms.
    std::vector<PeriodTiming> ticks(8);
    for (size_t i = 0; i < ticks.size(); ++i) {
        ticks[i].tick = i + (i >= 3) + 1;
        ticks[i].deadline = 0.01002 * double(ticks[i].tick) + (i >= 6) * 0.004;
    }
    EXPECT_NEAR(tickPeriod(ticks), 0.01002, 1e-9);
    EXPECT_EQ(tickPeriod({}), 0);
    // Slack -0.1, 0.05, 0.95 and 1.0 periods; by nearest rank the median is the second.
    SlackSummary s = summarizeSlack(periods, 0.010);
    EXPECT_EQ(std::make_tuple(s.late, us(s.min), us(s.p1), us(s.median)),
              std::make_tuple(1u, -100000L, -100000L, 50000L));
}

// Powers of two, steps of the granularity (every second one where every one would be more
// than 16 between), or the minimum and preferred size alone; a preferred size below the
// minimum, capped at the maximum.
TEST(FindMinimum, SizesFromTheMinimumThroughThePreferredAndTheVerdict) {
    const std::tuple<long, long, long, long, std::vector<long>> cases[] = {
        {128, 48000, 480, -1, {128, 256, 480}},
        {96, 48000, 512, -1, {96, 128, 256, 512}},
        {64, 2048, 256, 64, {64, 128, 192, 256}},
        {128, 24000, 704, 32, {128, 192, 256, 320, 384, 448, 512, 576, 640, 704}},
        {128, 48000, 64, 0, {128}},
        {64, 256, 1024, 0, {64, 256}},
        {0, 0, 0, 0, {}}};
    for (const auto& [min, max, preferred, granularity, sizes] : cases)
        EXPECT_EQ(sizesToTry(min, max, preferred, granularity), sizes) << min;
    const SlackSummary ample{100, 0, 0.3, 0, 0}, tight{100, 0, 0.2, 0, 0};
    EXPECT_TRUE(safeSize(0, false, true, ample));
    EXPECT_FALSE(safeSize(0, false, true, tight));
    EXPECT_FALSE(safeSize(1, false, true, ample));
    EXPECT_FALSE(safeSize(0, true, true, ample));
    EXPECT_TRUE(safeSize(0, false, false, tight)); // no slack to judge by: missed switches only
    EXPECT_FALSE(safeSize(0, false, true, SlackSummary()));
}

// Frames 1000 to 5000 of a take, each stall guarded 100 frames ahead and 300 behind: the
// longest stretch no guard reaches.
TEST(Stalls, LongestStretchClearOfThem) {
    const std::tuple<std::vector<int64_t>, int64_t, int64_t> cases[] = {
        {{}, 1000, 5000},
        {{2000}, 2300, 5000},
        {{4000, 1500}, 1800, 3900},
        // Before the take and at its end, their guards reaching into it.
        {{900, 4950}, 1200, 4850}};
    for (const auto& [stalls, from, to] : cases) {
        const Stretch s = longestStretch(stalls, 1000, 5000, 100, 300);
        EXPECT_EQ(std::make_pair(s.from, s.to), std::make_pair(from, to)) << stalls.size();
    }
    EXPECT_EQ(longestStretch({3000}, 1000, 5000, 2500, 2500).frames(), 0);
}
