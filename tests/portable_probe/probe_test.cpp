#include "analysis.h"
#include "options.h"
#include "samples.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace probe;

namespace {

const int32_t kAllTypes[] = {kInt16MSB,  kInt24MSB,  kInt32MSB,  kFloat32MSB, kFloat64MSB,
                             kInt32MSB16, kInt32MSB18, kInt32MSB20, kInt32MSB24, kInt16LSB,
                             kInt24LSB,  kInt32LSB,  kFloat32LSB, kFloat64LSB, kInt32LSB16,
                             kInt32LSB18, kInt32LSB20, kInt32LSB24};

} // namespace

TEST(Samples, EveryTypeCarriesItsBitsThereAndBack) {
    for (int32_t type : kAllTypes) {
        SampleFormat f;
        ASSERT_TRUE(describeSampleType(type, &f)) << type;
        // Values on the type's grid survive exactly; full scale both ways, and small ones.
        const int shift = f.isFloat ? 8 : 32 - f.bits;
        const int32_t values[] = {0, INT32_MIN, int32_t(uint32_t(INT32_MAX) >> shift << shift),
                                  int32_t(1u << shift), -int32_t(1u << shift), 0x40000000};
        uint8_t raw[6 * 8];
        int32_t back[6];
        samplesFromInt32(type, values, raw, 6);
        samplesToInt32(type, raw, back, 6);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(back[i], values[i]) << f.name << " value " << i;
    }
    EXPECT_FALSE(describeSampleType(32, nullptr)); // DSD
    EXPECT_FALSE(describeSampleType(99, nullptr));
}

TEST(Samples, ContainerLayoutsAndFloatScale) {
    const int32_t v[] = {-0x12345600}; // 0xEDCBAA00
    // Top bits in order of the container; low-aligned ones keep the sign in their top bits.
    const struct {
        int32_t type;
        const char* bytes;
        size_t n;
    } rows[] = {{kInt24LSB, "\xAA\xCB\xED", 3}, {kInt24MSB, "\xED\xCB\xAA", 3},
                {kInt32LSB16, "\xCB\xED\xFF\xFF", 4}, {kInt32LSB24, "\xAA\xCB\xED\xFF", 4}};
    for (const auto& r : rows) {
        uint8_t raw[8] = {};
        samplesFromInt32(r.type, v, raw, 1);
        EXPECT_EQ(0, memcmp(raw, r.bytes, r.n)) << r.type;
    }
    const float half = 0.5f;
    const double loud[] = {1.5, -2.0};
    int32_t got[2];
    samplesToInt32(kFloat32LSB, &half, got, 1);
    EXPECT_EQ(got[0], 0x40000000);
    samplesToInt32(kFloat64LSB, loud, got, 2); // clipped
    EXPECT_EQ(got[0], INT32_MAX);
    EXPECT_EQ(got[1], INT32_MIN);
}

namespace {

// A run as a good driver delivers it: two pre-fill switches at once, then one per period
// a little late, more so every third, halves alternating, positions one buffer apart.
std::vector<SwitchRecord> cleanRun(size_t streaming, double periodS) {
    std::vector<SwitchRecord> r;
    for (size_t i = 0; i < streaming + 2; ++i) {
        SwitchRecord s;
        s.index = int32_t(i & 1);
        s.directProcess = i < 2;
        s.positionValid = true;
        s.position = int64_t(i) * 256;
        double late = (i % 3 == 0 ? 0.3 : 0.05) * periodS;
        s.seconds = i < 2 ? 0.001 : 0.002 + double(i - 1) * periodS + late;
        r.push_back(s);
    }
    return r;
}

const double kPeriod = 256.0 / 48000;

} // namespace

TEST(Switches, CleanRunWithJitterHasNoErrors) {
    auto r = cleanRun(300, kPeriod);
    SwitchSummary s = summarizeSwitches(r, 256, 48000, r.back().seconds + 0.004);
    EXPECT_EQ(s.received, 302u);
    EXPECT_EQ(s.prefill, 2u);
    EXPECT_EQ(s.streaming, 300u);
    EXPECT_EQ(s.expected, 300);
    EXPECT_EQ(s.lastPosition, 301 * 256);
    EXPECT_NEAR(s.meanMs, 1000 * kPeriod, 0.01);
    EXPECT_NEAR(s.maxMs, 1000 * kPeriod * 1.25, 0.01);
    EXPECT_NEAR(s.silenceAtEndMs, 4, 1e-6);
    EXPECT_EQ(summarizeSwitches({}, 256, 48000, 1).received, 0u);
}

// {what happened to a clean run of 100} -> {missed, half errors, position errors, pre-fill}.
TEST(Switches, LostRepeatedAndDiscontinuousSwitchesShow) {
    using Run = std::vector<SwitchRecord>;
    const struct {
        const char* what;
        void (*spoil)(Run&);
        int missed;
        size_t halfErrors, positionErrors, prefill;
    } rows[] = {
        {"clean", [](Run&) {}, 0, 0, 0, 2},
        {"late at either end", // three quarters of a period late is not a missed period
         [](Run& r) {
             r[2].seconds += 0.75 * kPeriod;
             r[100].seconds += 0.75 * kPeriod;
             r[101].seconds += 0.9 * kPeriod;
         },
         0, 0, 0, 2},
        {"bunched after a stall",
         [](Run& r) {
             for (size_t i = 40; i < 45; ++i) r[i].seconds = r[45].seconds - 0.0001 * double(45 - i);
         },
         0, 0, 0, 2},
        {"a lost period",
         [](Run& r) {
             r.erase(r.begin() + 50);
             for (size_t i = 50; i < r.size(); ++i) r[i].index ^= 1, r[i].position -= 256;
         },
         1, 0, 0, 2},
        {"half repeated, position jump, no half", // 10 and 11 repeat half 1; into 14 and out
         [](Run& r) {
             r[10].index = r[9].index;
             r[14].position += 5;
             r[17].index = 2;
         },
         0, 3, 2, 2},
        {"not half 0 first", [](Run& r) { r[0].index = 1; }, 0, 2, 0, 2},
        {"position not reported", [](Run& r) { r[3].positionValid = false; }, 0, 0, 1, 2},
        {"always direct process", [](Run& r) { for (auto& s : r) s.directProcess = 1; }, 0, 0, 0, 0},
    };
    for (const auto& row : rows) {
        Run r = cleanRun(100, kPeriod);
        row.spoil(r);
        SwitchSummary s = summarizeSwitches(r, 256, 48000, 1);
        EXPECT_EQ(s.missed, row.missed) << row.what;
        EXPECT_EQ(s.halfErrors, row.halfErrors) << row.what;
        EXPECT_EQ(s.positionErrors, row.positionErrors) << row.what;
        EXPECT_EQ(s.prefill, row.prefill) << row.what;
    }
}

TEST(RoundTrip, TimesEveryEchoOfTheClickTrack) {
    ClickTrack clicks = ClickTrack::forStream(48000, 256);
    EXPECT_EQ(clicks.interval, 24000);
    EXPECT_EQ(ClickTrack::forStream(8000, 4096).interval, 4 * 4096);

    const size_t frames = 100000;
    std::vector<int32_t> played(frames), recorded(frames, 0);
    clicks.render(0, played.data(), frames);
    EXPECT_EQ(played[0], clicks.amplitude);
    EXPECT_EQ(played[24000], clicks.amplitude);
    EXPECT_EQ(played[23999], 0);
    // Rendering in pieces at an offset gives the same track.
    std::vector<int32_t> piece(256);
    clicks.render(23900, piece.data(), 256);
    EXPECT_EQ(piece[100], clicks.amplitude);

    // An echo 1300 frames late at -20 dB, with a little noise.
    for (size_t i = 1300; i < frames; ++i) recorded[i] = played[i - 1300] / 10 + int32_t(i % 7) * 1000;
    RoundTrip rt = measureRoundTrip(recorded.data(), frames, clicks);
    EXPECT_EQ(rt.echoes, 5u);
    EXPECT_TRUE(rt.consistent());
    EXPECT_EQ(rt.minFrames, 1300);

    // One echo that came back a buffer late makes the measurement inconsistent.
    recorded[48000 + 1300] = 0;
    recorded[48000 + 1556] = played[48000] / 10;
    rt = measureRoundTrip(recorded.data(), frames, clicks);
    EXPECT_FALSE(rt.consistent());
    EXPECT_EQ(rt.maxFrames, 1556);

    // Silence, or noise below -40 dBFS, is no echo.
    std::vector<int32_t> quiet(frames, 20000000);
    EXPECT_FALSE(measureRoundTrip(quiet.data(), frames, clicks).found());
}

namespace {
uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
} // namespace

TEST(Wav, HeadersAndInterleavedData) {
    std::vector<std::vector<int32_t>> two = {{0x12345678, -1}, {0x7FFFFFFF, INT32_MIN}};
    auto w = wavImage(two, 2, 48000, 24);
    ASSERT_EQ(w.size(), 68u + 2 * 2 * 3);
    EXPECT_EQ(0, memcmp(w.data(), "RIFF", 4));
    EXPECT_EQ(le32(w, 4), w.size() - 8);
    EXPECT_EQ(le16(w, 20), 0xFFFE); // extensible above 16 bits
    EXPECT_EQ(le16(w, 22), 2);
    EXPECT_EQ(le32(w, 24), 48000u);
    EXPECT_EQ(le32(w, 28), 48000u * 6);
    EXPECT_EQ(le16(w, 32), 6);
    EXPECT_EQ(le16(w, 34), 24);
    EXPECT_EQ(0, memcmp(&w[60], "data", 4));
    EXPECT_EQ(le32(w, 64), 12u);
    const uint8_t frame0[] = {0x56, 0x34, 0x12, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(0, memcmp(&w[68], frame0, 6));
}

TEST(Options, CommandLines) {
    Options o;
    std::string e;
    ASSERT_TRUE(parseOptions({"My Driver", "--buffer", "256", "--channels", "0,4", "--seconds",
                              "1.5", "--no-timeinfo", "--rate", "44100", "--wav", "x.wav",
                              "--first-channel", "1"},
                             &o, &e));
    EXPECT_EQ(o.driver, "My Driver");
    EXPECT_EQ(o.buffer, 256);
    EXPECT_EQ(o.inputs, 0);
    EXPECT_EQ(o.outputs, 4);
    EXPECT_EQ(o.firstChannel, 1);
    EXPECT_EQ(o.seconds, 1.5);
    EXPECT_FALSE(o.timeInfo);
    EXPECT_EQ(o.rate, 44100);
    EXPECT_EQ(o.wavPath, "x.wav");
    for (std::vector<std::string> bad : {std::vector<std::string>{"a", "--buffer", "12x"},
                                         {"a", "--find-minimum", "--buffer", "64"}, {"a", "b"}}) {
        EXPECT_FALSE(parseOptions(bad, &o, &e)) << bad.back();
        EXPECT_FALSE(e.empty());
    }
}

// Periods of 10 ms; the host's callbacks run 1-3 ms and 12-19 ms after start.
TEST(Slack, FiguresAndWhatHeldALatePeriodUp) {
    const std::vector<CallbackSpan> callbacks = {{0.001, 0.003}, {0.012, 0.019}};
    struct Case {
        PeriodTiming p;
        double host, wake, driver;
        Cause cause;
    } cases[] = {
        // Woken at once, 0.5 ms to release: 9.5 ms to spare.
        {{true, 0.000, 0.0000, 0.0005, 0.010}, 0, 0, 0.0005, Cause::DriverPass},
        // Event at 11 ms, the callback runs 12-19, first call at 19.5, released at 20.5.
        {{true, 0.011, 0.0195, 0.0205, 0.020}, 0.007, 0.0015, 0.001, Cause::HostCallback},
        // Event at 30 ms, nothing runs until 39 ms: a late wake.
        {{true, 0.030, 0.0390, 0.0395, 0.040}, 0, 0.009, 0.0005, Cause::LateWake},
        // Released before the stream's first tick: nothing to explain.
        {{false, 0, 0, 0, 0.010}, 0, 0, 0, Cause::LateWake},
    };
    std::vector<PeriodTiming> periods;
    for (const Case& c : cases) {
        DelayParts d = explainPeriod(c.p, callbacks);
        EXPECT_NEAR(d.host, c.host, 1e-9);
        EXPECT_NEAR(d.wake, c.wake, 1e-9);
        EXPECT_NEAR(d.driver, c.driver, 1e-9);
        EXPECT_EQ(d.cause, c.cause);
        periods.push_back(c.p);
    }
    SlackSummary s = summarizeSlack(periods, 0.010);
    EXPECT_EQ(s.periods, 4u);
    EXPECT_EQ(s.late, 1u);
    EXPECT_NEAR(s.min, -0.05, 1e-9);
    EXPECT_NEAR(s.p1, -0.05, 1e-9);
    EXPECT_NEAR(s.median, 0.05, 1e-9); // nearest rank: the 2nd of -0.05, 0.05, 0.95, 1.0
}

TEST(FindMinimum, SizesFromTheMinimumThroughThePreferredAndTheVerdict) {
    struct Case {
        long min, max, preferred, granularity;
        std::vector<long> sizes;
    } cases[] = {
        {128, 48000, 480, -1, {128, 256, 480}},
        {96, 48000, 512, -1, {96, 128, 256, 512}},
        {64, 2048, 256, 64, {64, 128, 192, 256}},
        {480, 48000, 480, -1, {480}},
        {128, 48000, 64, 0, {128}}, // a preferred size below the minimum
        {64, 256, 1024, 0, {64, 256}}, // capped at the maximum
        {0, 0, 0, 0, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sizesToTry(c.min, c.max, c.preferred, c.granularity), c.sizes) << c.min;

    SlackSummary ample, tight;
    ample.periods = tight.periods = 100;
    ample.min = 0.3;
    tight.min = 0.2;
    EXPECT_TRUE(safeSize(0, false, true, ample));
    EXPECT_FALSE(safeSize(0, false, true, tight));
    EXPECT_FALSE(safeSize(1, false, true, ample));
    EXPECT_FALSE(safeSize(0, true, true, ample));
    EXPECT_TRUE(safeSize(0, false, false, tight)); // no slack to judge by: missed switches only
    EXPECT_FALSE(safeSize(0, false, true, SlackSummary()));
}
