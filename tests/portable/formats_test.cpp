#include "endpoint/formats.h"

#include <gtest/gtest.h>

using namespace vl;

// {sample type, channels, rate} -> the extensible format a direction is opened with.
TEST(StreamFormat, ExtensibleFormatsAndUnopenableCounts) {
    const struct {
        int32_t type;
        uint16_t channels;
        double rate;
        uint16_t bits, valid, blockAlign;
        uint32_t rateOpened, bytesPerSec, mask;
    } rows[] = {{kSampleTypeInt32LSB, 2, 48000.0, 32, 24, 8, 48000, 384000, 0x3},
                {kSampleTypeInt16LSB, 6, 44100.0, 16, 16, 12, 44100, 529200, 0x3F},
                {kSampleTypeInt16LSB, 1, 48000.0, 16, 16, 2, 48000, 96000, 0x4},
                {kSampleTypeInt16LSB, 8, 48000.0, 16, 16, 16, 48000, 768000, 0x63F},
                {kSampleTypeInt16LSB, 2, 44100.9, 16, 16, 4, 44100, 176400, 0x3}}; // truncated
    for (const auto& r : rows) {
        StreamFormat f = streamFormat(r.type, r.channels, r.rate);
        EXPECT_EQ(f.formatTag, kWaveFormatExtensible);
        EXPECT_EQ(f.cbSize, 22);
        EXPECT_EQ(f.bitsPerSample, r.bits) << r.channels;
        EXPECT_EQ(f.validBitsPerSample, r.valid) << r.channels;
        EXPECT_EQ(f.blockAlign, r.blockAlign) << r.channels;
        EXPECT_EQ(f.samplesPerSec, r.rateOpened) << r.channels;
        EXPECT_EQ(f.avgBytesPerSec, r.bytesPerSec) << r.channels;
        EXPECT_EQ(f.channelMask, r.mask) << r.channels;
    }
    for (uint16_t n : {0, 3, 5, 7, 9, 10, 16})
        EXPECT_EQ(streamFormat(kSampleTypeInt16LSB, n, 48000).channelMask, 0u) << n;
}

TEST(StreamFormat, ProbeFormatAndMasks) {
    StreamFormat p = probeFormat(44100.9);
    EXPECT_EQ(p.formatTag, kWaveFormatPcm);
    EXPECT_EQ(p.samplesPerSec, 44100u);
    EXPECT_EQ(p.avgBytesPerSec, 176400u);
    EXPECT_EQ(p.blockAlign, 4);
    EXPECT_EQ(p.cbSize, 0);
    EXPECT_EQ(probeChannelMask(10), 0x3u);
    EXPECT_EQ(probeChannelMask(6), 0x3Fu);
}

TEST(Durations, SinglePrecisionAsTheEndpointsAreAsked) {
    EXPECT_EQ(framesToDuration(512, 48000), 106667);
    EXPECT_EQ(framesToDuration(448, 44100), 101587);
    // Double precision would give 122902.
    EXPECT_EQ(framesToDuration(542, 44100), 122903);
    EXPECT_EQ(framesToDuration(480, 48000), 100000);
    EXPECT_EQ(roundUpTo32(441), 448u);
    EXPECT_EQ(roundUpTo32(480), 480u);
    EXPECT_EQ(roundUpTo32(0), 0u);
    EXPECT_EQ(bufferMilliseconds(512, 48000.0), 11u);
    EXPECT_EQ(bufferMilliseconds(512, 0.0), 0u);
}

// A direction opens with its endpoint's own channels, more only for buffers beyond them,
// and then the smallest count with a speaker layout.
TEST(StreamFormat, ChannelsADirectionOpensWith) {
    const struct {
        uint32_t endpoint, needed, opened;
    } rows[] = {{2, 1, 2}, {2, 0, 2}, {1, 1, 1}, {8, 2, 8}, {2, 3, 4}, {2, 7, 8}, {6, 5, 6},
                {2, 10, 10}, {3, 0, 4}};
    for (const auto& r : rows)
        EXPECT_EQ(streamChannels(r.endpoint, r.needed), r.opened) << r.endpoint << " " << r.needed;
}

TEST(Durations, TruncatedDurationAndSizesOfARunningStream) {
    EXPECT_EQ(framesToDurationFloor(542, 44100), 122902);
    EXPECT_EQ(framesToDurationFloor(480, 48000), 100000);
    EXPECT_EQ(framesToDurationFloor(1, 0), 0);
    // 11 ms at 48 kHz: 528 frames; in 32-frame steps 544; 16-bit mono needs 64-frame steps.
    EXPECT_EQ(streamFramesForDuration(110000, 48000, 4, 0), 544u);
    EXPECT_EQ(streamFramesForDuration(100000, 48000, 8, 8), 480u);
    EXPECT_EQ(streamFramesForDuration(100000, 48000, 8, 2), 512u);
    EXPECT_EQ(streamFramesForDuration(100000, 44100, 0, 0), 448u);
    EXPECT_EQ(streamFramesForDuration(0, 48000, 4, 4), 0u);
}
