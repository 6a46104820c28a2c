// The conversion kernels on hot buffers, each beside memcpy of the same number of bytes in the
// same run: 2 and 8 channels, 16-bit and 24-in-32 (and 24-in-32 to and from float, as shared
// streams carry it), 32 to 2048 frames per call. Compare the
// bytes_per_second columns of a kernel row and the memcpy row with the same arguments.
// Numbers mean something only in an optimised build (the native preset is a sanitizer build):
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/bench_convert
#include "endpoint/formats.h"
#include "stream/convert.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// One direction's double buffers and one endpoint buffer, filled with a pattern.
struct Buffers {
    Buffers(unsigned channels, unsigned width, uint32_t frames)
        : blocks(channels, std::vector<uint8_t>(2 * size_t(frames) * width)),
          endpoint(size_t(frames) * channels * width) {
        for (unsigned c = 0; c < channels; ++c) {
            for (size_t i = 0; i < blocks[c].size(); ++i)
                blocks[c][i] = uint8_t(i * 7 + c);
            slots[c] = blocks[c].data();
        }
        for (size_t i = 0; i < endpoint.size(); ++i)
            endpoint[i] = uint8_t(i * 13);
    }
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<uint8_t> endpoint;
    void* slots[vl::kMaxChannels] = {};
};

int32_t typeOf(int64_t width) {
    return width == 2 ? vl::kSampleTypeInt16LSB : vl::kSampleTypeInt32LSB;
}

// One transfer kernel, alternating halves as the streaming threads do.
template <typename Transfer>
void transfer(benchmark::State& state, unsigned ch, unsigned width, uint32_t frames,
              Transfer move) {
    Buffers b(ch, width, frames);
    uint32_t half = 0;
    for (auto _ : state) {
        move(b, half);
        benchmark::ClobberMemory();
        half ^= frames;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(b.endpoint.size()));
}

void BM_render(benchmark::State& state, unsigned ch, unsigned width, uint32_t frames) {
    transfer(state, ch, width, frames, [&](Buffers& b, uint32_t half) {
        vl::interleaveFrames(typeOf(width), b.slots, ch, half, frames, b.endpoint.data());
    });
}

void BM_capture(benchmark::State& state, unsigned ch, unsigned width, uint32_t frames) {
    transfer(state, ch, width, frames, [&](Buffers& b, uint32_t half) {
        vl::deinterleaveFrames(typeOf(width), b.slots, ch, half, frames, b.endpoint.data());
    });
}

// The shared-mode transfers: 24-in-32 host samples to and from the engine's floats.
void BM_renderFloat(benchmark::State& state, unsigned ch, unsigned width, uint32_t frames) {
    transfer(state, ch, width, frames, [&](Buffers& b, uint32_t half) {
        vl::interleaveFloatFrames(b.slots, ch, half, frames, b.endpoint.data());
    });
}

void BM_captureFloat(benchmark::State& state, unsigned ch, unsigned width, uint32_t frames) {
    transfer(state, ch, width, frames, [&](Buffers& b, uint32_t half) {
        vl::deinterleaveFloatFrames(b.slots, ch, half, frames, b.endpoint.data());
    });
}

// The yardstick: the same bytes in one memcpy.
void BM_memcpy(benchmark::State& state, unsigned ch, unsigned width, uint32_t frames) {
    size_t bytes = size_t(ch) * width * frames;
    std::vector<uint8_t> src(bytes, 1), dst(bytes);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

} // namespace

// Each shape's three programs run back to back, so that the ratios come from one stretch of
// time on a machine whose speed drifts.
int main(int argc, char** argv) {
    for (int64_t ch : {2, 8})
        for (int64_t width : {2, 4})
            for (int64_t frames = 32; frames <= 2048; frames *= 4)
                for (auto [name, fn] :
                     {std::pair{"memcpy", BM_memcpy}, std::pair{"render", BM_render},
                      std::pair{"capture", BM_capture}, std::pair{"render-float", BM_renderFloat},
                      std::pair{"capture-float", BM_captureFloat}}) {
                    // The float transfers exist for 24-in-32 host samples only.
                    if (width == 2 && std::string(name).find("float") != std::string::npos)
                        continue;
                    std::string label = std::string(name) + "/ch:" + std::to_string(ch) +
                                        "/bytes:" + std::to_string(width) +
                                        "/frames:" + std::to_string(frames);
                    benchmark::RegisterBenchmark(label.c_str(), fn, unsigned(ch), unsigned(width),
                                                 uint32_t(frames));
                }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
