#include "endpoint/formats.h"
#include "stream/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

using namespace vl;

namespace {

// Blocks of 2 x bufferFrames samples and an endpoint buffer, all noise so that the 24-bit mask
// shows both ways (endpoint samples as `noise` makes them); block 0 has no slot when `hole`.
template <typename T> struct Buffers {
    Buffers(
        unsigned ch, unsigned blockCount, uint32_t bufferFrames, uint32_t frames, bool hole,
        T (*noise)(uint32_t) = [](uint32_t r) { return T(r); })
        : blocks(blockCount, std::vector<T>(2 * bufferFrames)), endpoint(size_t(frames) * ch) {
        std::mt19937 rng(ch * 1000 + bufferFrames);
        std::generate(endpoint.begin(), endpoint.end(), [&] { return noise(rng()); });
        for (unsigned c = 0; c < blockCount; ++c) {
            std::generate(blocks[c].begin(), blocks[c].end(), [&] { return T(rng()); });
            slots[c] = c == 0 && hole ? nullptr : blocks[c].data();
        }
    }
    std::vector<std::vector<T>> blocks;
    std::vector<T> endpoint;
    void* slots[kMaxChannels] = {};
};

// The three transfers, each with its one-sample reference: endpoint sample from host sample
// (out) and host sample from endpoint sample (in), written plainly.
template <typename T, int32_t Type> struct Integer {
    using Sample = T;
    static void render(void** b, unsigned ch, uint32_t first, uint32_t n, void* e) {
        interleaveFrames(Type, b, ch, first, n, e);
    }
    static void capture(void** b, unsigned ch, uint32_t first, uint32_t n, const void* e) {
        deinterleaveFrames(Type, b, ch, first, n, e);
    }
    static T out(T s) { return sizeof s == 4 ? T(s & 0xFFFFFF00u) : s; }
    static T in(T s) { return out(s); }
    static T noise(uint32_t r) { return T(r); }
};
using Int16 = Integer<int16_t, kSampleTypeInt16LSB>;
using Int24 = Integer<uint32_t, kSampleTypeInt32LSB>;

// Endpoint samples are float bit patterns: half of them any bits (mostly huge or NaN, so the
// way in clamps), half in range (so it rounds, and every 24-bit sample comes back exactly).
struct Float {
    using Sample = uint32_t;
    static void render(void** b, unsigned ch, uint32_t first, uint32_t n, void* e) {
        interleaveFloatFrames(b, ch, first, n, e);
    }
    static void capture(void** b, unsigned ch, uint32_t first, uint32_t n, const void* e) {
        deinterleaveFloatFrames(b, ch, first, n, e);
    }
    static uint32_t out(uint32_t s) {
        float f = float(double(int32_t(s & 0xFFFFFF00u)) / 2147483648.0);
        uint32_t bits;
        memcpy(&bits, &f, 4);
        return bits;
    }
    static uint32_t in(uint32_t bits) {
        float f;
        memcpy(&f, &bits, 4);
        double x =
            std::isnan(f) ? -8388608.0 : std::clamp(double(f) * 8388608.0, -8388608.0, 8388607.0);
        return uint32_t(int32_t(std::nearbyint(x))) << 8;
    }
    static uint32_t noise(uint32_t r) { return r & 1 ? r : out(r); }
};

// One run both ways against a frame-by-frame reference: each channel to and from its own
// block, silence for a render channel without one, nothing written outside the run.
template <typename K> void checkRun(unsigned ch, uint32_t first, uint32_t frames, bool hole) {
    using T = typename K::Sample;
    const unsigned blockCount = std::min(ch + 2, kMaxChannels);
    Buffers<T> out(ch, blockCount, first + frames, frames, hole);
    EXPECT_EQ(allChannelsPresent(out.slots, ch), ch <= kMaxChannels && !hole);
    K::render(out.slots, ch, first, frames, out.endpoint.data());
    for (uint32_t i = 0; i < frames; ++i)
        for (unsigned c = 0; c < ch; ++c)
            ASSERT_EQ(out.endpoint[size_t(i) * ch + c],
                      c < blockCount && out.slots[c] ? K::out(out.blocks[c][first + i]) : T(0))
                << "frame " << i << " channel " << c;
    Buffers<T> in(ch, blockCount, first + frames, frames, hole, K::noise);
    const auto before = in.blocks;
    K::capture(in.slots, ch, first, frames, in.endpoint.data());
    for (unsigned c = 0; c < blockCount; ++c)
        for (uint32_t i = 0; i < 2 * (first + frames); ++i) {
            bool copied = c < ch && in.slots[c] && i >= first && i < first + frames;
            ASSERT_EQ(in.blocks[c][i],
                      copied ? K::in(in.endpoint[size_t(i - first) * ch + c]) : before[c][i])
                << "block " << c << " sample " << i;
        }
}

// Every frame width the vector bodies and the strided path cover, also beyond the 16 channels
// a host can have; tails of every length; runs in either half; blocks past the frame's width.
TEST(Convert, MatchesFrameByFrameReference) {
    for (unsigned ch : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 20u})
        for (uint32_t frames : {1u, 3u, 4u, 7u, 8u, 9u, 15u, 17u, 33u})
            for (uint32_t first : {0u, frames, 5u})
                for (bool hole : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "ch " << ch << " frames " << frames
                                                    << " first " << first << " hole " << hole);
                    checkRun<Int16>(ch, first, frames, hole);
                    checkRun<Int24>(ch, first, frames, hole);
                    checkRun<Float>(ch, first, frames, hole);
                }
}

// The engine's floats at the edges, through the vector bodies (2, 4, 8 channels) and the
// scalar ones alike: full scale and beyond clamp, steps round to nearest (ties to even).
TEST(Convert, FloatEdgesClampAndRound) {
    const float inf = std::numeric_limits<float>::infinity();
    // clang-format off
    const std::pair<float, uint32_t> edges[] = {
        {1.0f, 0x7FFFFF00u},  {2.5f, 0x7FFFFF00u}, {inf, 0x7FFFFF00u}, {-1.0f, 0x80000000u},
        {-inf, 0x80000000u},  {std::nanf(""), 0x80000000u}, {0.5f, 0x40000000u}, {0x1p-24f, 0u},
        {0x3p-24f, 0x200u},   {-0x1p-23f, 0xFFFFFF00u}, {0x1.fffffep-1f, 0x7FFFFF00u}, {0.0f, 0u}};
    // clang-format on
    const uint32_t frames = std::size(edges);
    for (unsigned ch : {1u, 2u, 4u, 6u, 8u}) {
        Buffers<uint32_t> d(ch, ch, frames, frames, false);
        for (size_t i = 0; i < d.endpoint.size(); ++i)
            memcpy(&d.endpoint[i], &edges[i / ch].first, 4);
        deinterleaveFloatFrames(d.slots, ch, frames, frames, d.endpoint.data());
        for (unsigned c = 0; c < ch; ++c)
            for (uint32_t i = 0; i < frames; ++i)
                EXPECT_EQ(d.blocks[c][frames + i], edges[i].second) << ch << " " << i;
    }
}

TEST(Convert, OtherSampleTypesNullBuffersAndEmptyRunsCopyNothing) {
    Buffers<uint32_t> d(2, 2, 4, 4, false);
    const auto was = d;
    for (int32_t type : {17, 19, 27}) {
        interleaveFrames(type, d.slots, 2, 0, 4, d.endpoint.data());
        deinterleaveFrames(type, d.slots, 2, 0, 4, d.endpoint.data());
    }
    interleaveFrames(kSampleTypeInt32LSB, d.slots, 2, 0, 0, d.endpoint.data());
    deinterleaveFrames(kSampleTypeInt32LSB, d.slots, 2, 0, 4, nullptr);
    EXPECT_EQ(d.endpoint, was.endpoint);
    EXPECT_EQ(d.blocks, was.blocks);
}

// A delivery longer than the ring keeps its newest frames; the position moves as if all came.
TEST(Ring, AppendWrapsAndKeepsTheNewestOfAnOversizeDelivery) {
    const uint32_t bpf = 4;
    std::vector<uint8_t> ring(100 * bpf, 0xEE), src(130 * bpf);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = uint8_t(i / bpf);
    EXPECT_EQ(ringAppend(ring.data(), 100, 90, src.data(), 25, bpf), 15u);
    for (uint32_t k = 0; k < 25; ++k)
        EXPECT_EQ(ring[(90 + k) % 100 * bpf], uint8_t(k)) << k;
    EXPECT_EQ(ring[15 * bpf], 0xEE);
    EXPECT_EQ(ringAppend(ring.data(), 100, 80, src.data(), 20, bpf), 0u);
    EXPECT_EQ(ringAppend(ring.data(), 100, 10, src.data(), 130, bpf), 40u);
    for (uint32_t k = 0; k < 100; ++k)
        EXPECT_EQ(ring[(40 + k) % 100 * bpf], uint8_t(30 + k)) << k;
    EXPECT_EQ(ringAppend(ring.data(), 0, 7, src.data(), 5, bpf), 7u);
}

// Reaching half 1 or the end of half 1 asks for a switch; a switch flagged before stays.
TEST(Position, AdvanceFlagsEveryHalfBoundary) {
    // {position, frames, buffer frames, new position, flagged before, flagged after}
    const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, bool, bool> cases[] = {
        {0, 256, 256, 256, false, true},   {256, 256, 256, 0, false, true},
        {0, 100, 256, 100, false, false},  {300, 100, 256, 400, false, false},
        {200, 100, 256, 300, false, true}, {500, 24, 256, 12, false, true},
        {0, 1000, 256, 488, false, true},  {5, 5, 0, 0, false, false},
        {0, 10, 256, 10, true, true}};
    for (auto [position, frames, bufferFrames, want, before, after] : cases) {
        bool needSwitch = before;
        EXPECT_EQ(advancePosition(position, frames, bufferFrames, &needSwitch), want) << position;
        EXPECT_EQ(needSwitch, after) << position << "+" << frames;
    }
}

// Extensible streams, a plain stereo probe, rates truncated; a count without a speaker layout
// cannot be opened, so a direction takes the endpoint's channels or the next layout up.
TEST(StreamFormat, WhatADirectionOpensWith) {
    auto fields = [](const StreamFormat& f) {
        return std::make_tuple(f.formatTag, f.channels, f.samplesPerSec, f.avgBytesPerSec,
                               f.blockAlign, f.bitsPerSample, f.cbSize, f.validBitsPerSample,
                               f.channelMask);
    };
    const uint16_t X = kWaveFormatExtensible;
    EXPECT_EQ(fields(streamFormat(kSampleTypeInt32LSB, 2, 48000.0)),
              fields({X, 2, 48000, 384000, 8, 32, 22, 24, 0x3}));
    EXPECT_EQ(fields(streamFormat(kSampleTypeInt16LSB, 6, 44100.9)),
              fields({X, 6, 44100, 529200, 12, 16, 22, 16, 0x3F}));
    EXPECT_EQ(fields(probeFormat(44100.9)),
              fields({kWaveFormatPcm, 2, 44100, 176400, 4, 16, 0, 0, 0}));
    const uint32_t masks[] = {0, 0x4, 0x3, 0, 0x33, 0, 0x3F, 0, 0x63F, 0, 0}; // by channel count
    for (uint16_t n = 0; n < 11; ++n)
        EXPECT_EQ(streamFormat(kSampleTypeInt16LSB, n, 48000).channelMask, masks[n]) << n;
    // {endpoint's channels, highest buffer + 1, channels opened}
    const uint32_t counts[][3] = {{2, 1, 2}, {2, 0, 2}, {1, 1, 1},   {8, 2, 8}, {2, 3, 4},
                                  {2, 7, 8}, {6, 5, 6}, {2, 10, 10}, {3, 0, 4}};
    for (const auto& c : counts)
        EXPECT_EQ(streamChannels(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

// Durations in single precision as the endpoints are asked (double gives 122902 for 542 frames
// at 44100) or truncated; granted sizes in steps of 32 and aligned to 128 bytes each way (11 ms
// at 48 kHz: 528 frames, 544 granted; 16-bit mono needs 64-frame steps); a run cut at a
// buffer's end; a buffer's milliseconds; the periods of an engine (multiples of the
// fundamental from its minimum to its maximum, or its default alone).
TEST(Arithmetic, DurationsSizesAndPeriods) {
    const EnginePeriods lowLatency{480, 32, 128, 480};
    // clang-format off
    const std::pair<int64_t, int64_t> cases[] = {
        {framesToDuration(512, 48000), 106667},      {framesToDuration(448, 44100), 101587},
        {framesToDuration(542, 44100), 122903},      {framesToDurationFloor(542, 44100), 122902},
        {framesToDurationFloor(1, 0), 0}, {roundUpTo32(441), 448}, {roundUpTo32(480), 480},
        {streamFramesForDuration(110000, 48000, 4, 0), 544},
        {streamFramesForDuration(100000, 48000, 8, 8), 480},
        {streamFramesForDuration(100000, 48000, 8, 2), 512},
        {streamFramesForDuration(108980, 44100, 0, 0), 512}, // 480.6 frames
        {streamFramesForDuration(0, 48000, 4, 4), 0},  {framesBeforeEnd(500, 24, 512), 12},
        {framesBeforeEnd(10, 24, 512), 24},            {framesBeforeEnd(512, 24, 512), 0},
        {bufferMilliseconds(512, 48000.0), 11},        {bufferMilliseconds(512, 0.0), 0},
        {isEnginePeriod(lowLatency, 160), true},       {isEnginePeriod(lowLatency, 96), false},
        {isEnginePeriod(lowLatency, 170), false},      {isEnginePeriod(lowLatency, 512), false},
        {isEnginePeriod({441, 0, 0, 0}, 441), true},   {isEnginePeriod({}, 0), false}};
    // clang-format on
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

// The sizes offered to shared directions are those every engine takes, nearest to the one
// asked within the range the other limits leave.
TEST(EnginePeriods, SizesEveryEngineOffers) {
    const EnginePeriods lowLatency{480, 32, 128, 480}, fixed{480, 480, 480, 480},
        coarse{480, 96, 192, 960};
    const EnginePeriods withFixed[] = {lowLatency, fixed}, withCoarse[] = {lowLatency, coarse};
    // {frames asked, lo, hi, lowLatency alone, with fixed, with coarse}
    const uint32_t cases[][6] = {{128, 1, 4800, 128, 480, 192},  {100, 1, 4800, 128, 480, 192},
                                 {300, 1, 4800, 288, 480, 288},  {176, 1, 4800, 160, 480, 192},
                                 {1000, 1, 4800, 480, 480, 480}, {128, 200, 400, 224, 0, 288},
                                 {480, 1, 256, 256, 0, 192},     {128, 500, 400, 0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c[0] << " in " << c[1] << ".." << c[2]);
        EXPECT_EQ(nearestCommonPeriod(&lowLatency, 1, c[0], c[1], c[2]), c[3]);
        EXPECT_EQ(nearestCommonPeriod(withFixed, 2, c[0], c[1], c[2]), c[4]);
        EXPECT_EQ(nearestCommonPeriod(withCoarse, 2, c[0], c[1], c[2]), c[5]);
    }
}

} // namespace
