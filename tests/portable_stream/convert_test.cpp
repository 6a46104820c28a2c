// The conversion kernels against a frame-by-frame reference, and the ring and position
// arithmetic of the timer-driven thread. Portable: runs natively under ASan/UBSan.
#include "endpoint/formats.h"
#include "stream/convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using vl::kSampleTypeInt16LSB;
using vl::kSampleTypeInt32LSB;

// One direction's blocks (each exactly 2 x frames samples, so that ASan sees any overrun) and
// an endpoint buffer, all filled with noise.
struct Direction {
    Direction(int32_t type, unsigned blockCount, uint32_t bufferFrames, unsigned endpointChannels,
              uint32_t endpointFrames)
        : width(vl::sampleBytes(type)), bufferFrames(bufferFrames) {
        std::mt19937 rng(blockCount * 1000 + bufferFrames);
        for (unsigned c = 0; c < blockCount; ++c) {
            storage.emplace_back(2 * size_t(bufferFrames) * width);
            for (auto& b : storage.back())
                b = uint8_t(rng());
            slots[c] = storage.back().data();
        }
        endpoint.resize(size_t(endpointFrames) * endpointChannels * width);
        for (auto& b : endpoint)
            b = uint8_t(rng());
    }
    uint32_t blockSample(unsigned c, size_t i) const { return read(storage[c].data(), i); }
    uint32_t endpointSample(size_t i) const { return read(endpoint.data(), i); }
    uint32_t read(const uint8_t* p, size_t i) const {
        uint32_t v = 0;
        memcpy(&v, p + i * width, width);
        return v;
    }
    unsigned width;
    uint32_t bufferFrames;
    std::vector<std::vector<uint8_t>> storage;
    std::vector<uint8_t> endpoint;
    void* slots[vl::kMaxChannels] = {};
};

uint32_t masked(uint32_t v, unsigned width) {
    return width == 4 ? v & 0xFFFFFF00u : v;
}

// Every frame width the vector bodies and the strided path cover, with frame counts that
// leave tails of every length and first frames in either half; noise in every sample, so
// the 24-bit mask is checked in both directions.
TEST(Convert, MatchesFrameByFrameReferenceForEveryWidthAndTail) {
    for (int32_t type : {kSampleTypeInt16LSB, kSampleTypeInt32LSB})
        for (unsigned ch = 1; ch <= 10; ++ch)
            for (uint32_t frames : {1u, 3u, 4u, 7u, 8u, 9u, 15u, 17u, 33u})
                for (uint32_t first : {0u, frames, 5u}) {
                    SCOPED_TRACE(testing::Message() << "type " << type << " ch " << ch << " frames "
                                                    << frames << " first " << first);
                    uint32_t bufferFrames = first + frames; // the run ends at the block's end
                    Direction out(type, ch, bufferFrames, ch, frames);
                    vl::interleaveFrames(type, out.slots, ch, first, frames, out.endpoint.data());
                    for (uint32_t i = 0; i < frames; ++i)
                        for (unsigned c = 0; c < ch; ++c)
                            ASSERT_EQ(out.endpointSample(size_t(i) * ch + c),
                                      masked(out.blockSample(c, first + i), out.width));

                    Direction in(type, ch, bufferFrames, ch, frames);
                    std::vector<std::vector<uint8_t>> before = in.storage;
                    vl::deinterleaveFrames(type, in.slots, ch, first, frames, in.endpoint.data());
                    for (unsigned c = 0; c < ch; ++c)
                        for (uint32_t i = 0; i < 2 * bufferFrames; ++i) {
                            bool inRun = i >= first && i < first + frames;
                            uint32_t want =
                                inRun ? masked(in.endpointSample(size_t(i - first) * ch + c),
                                               in.width)
                                      : in.read(before[c].data(), i);
                            ASSERT_EQ(in.blockSample(c, i), want)
                                << "channel " << c << " sample " << i;
                        }
                }
}

// Each block goes to and from its own channel, gaps included; a render channel without a
// block carries silence, a capture channel without one is dropped; the frame stride is always
// the endpoint's channel count, also beyond the 16 channels a host can have.
TEST(Convert, EachChannelToItsOwnSlotSilenceWhereNoBlock) {
    for (int32_t type : {kSampleTypeInt16LSB, kSampleTypeInt32LSB}) {
        // Blocks for channel 1 only (the host's second channel), stereo frames.
        Direction second(type, 2, 8, 2, 8);
        second.slots[0] = nullptr;
        vl::interleaveFrames(type, second.slots, 2, 8, 8, second.endpoint.data());
        for (size_t i = 0; i < 16; ++i)
            EXPECT_EQ(second.endpointSample(i),
                      i % 2 ? masked(second.blockSample(1, 8 + i / 2), second.width) : 0u)
                << i;
        std::vector<uint8_t> block0 = second.storage[0];
        vl::deinterleaveFrames(type, second.slots, 2, 0, 8, second.endpoint.data());
        for (size_t i = 0; i < 8; ++i)
            EXPECT_EQ(second.blockSample(1, i),
                      masked(second.endpointSample(2 * i + 1), second.width));
        EXPECT_EQ(second.storage[0], block0);

        // Blocks 0-3 with 2-channel frames: two channels, stride 2, block 2 and 3 untouched.
        Direction narrow(type, 4, 8, 2, 8);
        vl::interleaveFrames(type, narrow.slots, 2, 8, 8, narrow.endpoint.data());
        for (size_t i = 0; i < 16; ++i)
            EXPECT_EQ(narrow.endpointSample(i),
                      masked(narrow.blockSample(i % 2, 8 + i / 2), narrow.width));
        std::vector<uint8_t> block3 = narrow.storage[3];
        vl::deinterleaveFrames(type, narrow.slots, 2, 0, 8, narrow.endpoint.data());
        EXPECT_EQ(narrow.storage[3], block3);
    }
    // 20-sample frames: channels 16 to 19 have no block and carry silence.
    Direction wide(kSampleTypeInt16LSB, 16, 2, 20, 2);
    EXPECT_FALSE(vl::allChannelsPresent(wide.slots, 20));
    vl::interleaveFrames(kSampleTypeInt16LSB, wide.slots, 20, 0, 2, wide.endpoint.data());
    EXPECT_EQ(wide.endpointSample(20 + 15), wide.blockSample(15, 1));
    EXPECT_EQ(wide.endpointSample(20 + 19), 0u);
}

TEST(Convert, OtherSampleTypesNullBuffersAndEmptyRunsCopyNothing) {
    Direction d(kSampleTypeInt32LSB, 2, 4, 2, 4);
    std::vector<uint8_t> endpoint = d.endpoint;
    std::vector<std::vector<uint8_t>> blocks = d.storage;
    for (int32_t type : {17, 19, 27}) {
        vl::interleaveFrames(type, d.slots, 2, 0, 4, d.endpoint.data());
        vl::deinterleaveFrames(type, d.slots, 2, 0, 4, d.endpoint.data());
    }
    vl::interleaveFrames(kSampleTypeInt32LSB, d.slots, 2, 0, 0, d.endpoint.data());
    vl::deinterleaveFrames(kSampleTypeInt32LSB, d.slots, 2, 0, 4, nullptr);
    EXPECT_EQ(d.endpoint, endpoint);
    EXPECT_EQ(d.storage, blocks);
}

TEST(Ring, AppendWrapsAndKeepsTheNewestOfAnOversizeDelivery) {
    const uint32_t bpf = 4;
    std::vector<uint8_t> ring(100 * bpf, 0), src(130 * bpf);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = uint8_t(i / bpf);
    // 25 frames at 90 of 100: 10 at the end, 15 at the start.
    EXPECT_EQ(vl::ringAppend(ring.data(), 100, 90, src.data(), 25, bpf), 15u);
    EXPECT_EQ(ring[90 * bpf], 0);
    EXPECT_EQ(ring[99 * bpf], 9);
    EXPECT_EQ(ring[0], 10);
    EXPECT_EQ(ring[14 * bpf], 24);
    EXPECT_EQ(ring[15 * bpf], 0);
    // Ending exactly at the ring's end wraps the position to 0.
    EXPECT_EQ(vl::ringAppend(ring.data(), 100, 80, src.data(), 20, bpf), 0u);
    // 130 frames into 100: the oldest 30 are dropped, the position moves as if all arrived.
    EXPECT_EQ(vl::ringAppend(ring.data(), 100, 10, src.data(), 130, bpf), 40u);
    for (uint32_t k = 0; k < 100; ++k)
        EXPECT_EQ(ring[((40 + k) % 100) * bpf], uint8_t(30 + k)) << k;
    // Nothing to write into.
    EXPECT_EQ(vl::ringAppend(ring.data(), 0, 7, src.data(), 5, bpf), 7u);
}

TEST(Position, AdvanceFlagsEveryHalfBoundary) {
    struct Case {
        uint32_t p, n, bufferFrames, want;
        bool needSwitch;
    };
    const Case cases[] = {
        {0, 256, 256, 256, true},    // into half 1
        {256, 256, 256, 0, true},    // end of half 1, wraps
        {0, 100, 256, 100, false},   // within half 0
        {300, 100, 256, 400, false}, // within half 1
        {200, 100, 256, 300, true},  // crosses the middle
        {500, 24, 256, 12, true},    // crosses the end
        {0, 1000, 256, 488, true},   // a run longer than the whole buffer
        {5, 5, 0, 0, false},         // no buffer at all
    };
    for (const Case& c : cases) {
        bool needSwitch = false;
        EXPECT_EQ(vl::advancePosition(c.p, c.n, c.bufferFrames, &needSwitch), c.want)
            << c.p << "+" << c.n;
        EXPECT_EQ(needSwitch, c.needSwitch) << c.p << "+" << c.n;
    }
    // An earlier crossing in the same wake is not undone.
    bool needSwitch = true;
    vl::advancePosition(0, 10, 256, &needSwitch);
    EXPECT_TRUE(needSwitch);
    EXPECT_EQ(vl::framesBeforeEnd(500, 24, 512), 12u);
    EXPECT_EQ(vl::framesBeforeEnd(10, 24, 512), 24u);
    EXPECT_EQ(vl::framesBeforeEnd(512, 24, 512), 0u);
}

} // namespace
