// The capture path across two clocks, one render period at a time, beside memcpy of the same
// output bytes in the same run: the resampler alone (float in, float out), the loop alone (the
// two clocks' fits and the readings that set a period's ratio) and the whole bridge (a 24-in-32
// capture packet into the FIFO, a period out through the resampler while the loop steers it),
// for 1, 2, 8 and 16 channels, at 128 and 480 frames. The summary at the end gives each pass as
// a percentage of the period it serves at 48 kHz, as a multiple of its memcpy and as a
// multiple of the resampler's time for the same shape.
// Numbers mean something only in an optimised build (the native preset is a sanitizer build):
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/bench_resample
#include "endpoint/formats.h"
#include "stream/clockbridge.h"
#include "stream/convert.h"
#include "stream/resampler.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr double kRate = 48000;

void perPeriod(benchmark::State& state, uint32_t frames, unsigned ch) {
    state.SetBytesProcessed(int64_t(state.iterations()) * frames * ch * int64_t(sizeof(float)));
}

std::vector<float> noise(size_t n) {
    std::vector<float> v(n);
    uint32_t x = 12345;
    for (float& f : v)
        f = float(int32_t(x = x * 1664525u + 1013904223u)) * (0.5f / 2147483648.0f);
    return v;
}

// The resampler at a ratio that moves a little every period, as the loop moves it.
void BM_resampler(benchmark::State& state, unsigned ch, uint32_t frames) {
    vl::Resampler r;
    r.setup(ch, frames);
    const std::vector<float> in = noise(r.maxInputFrames());
    std::vector<std::vector<float>> outs(ch, std::vector<float>(frames));
    float* out[vl::kMaxChannels];
    for (unsigned c = 0; c < ch; ++c)
        out[c] = outs[c].data();
    double ratio = 1.002;
    for (auto _ : state) {
        ratio = ratio > 1.0021 ? 1.002 : ratio + 1e-7;
        const uint32_t n = r.inputFrames(ratio, frames);
        for (unsigned c = 0; c < ch; ++c)
            memcpy(r.input(c), in.data(), n * sizeof(float));
        r.process(ratio, out, frames);
        benchmark::ClobberMemory();
    }
    perPeriod(state, frames, ch);
}

// The bridge between two clocks 2000 ppm apart with equal periods: each pass writes one
// capture packet and renders one period.
void BM_bridge(benchmark::State& state, unsigned ch, uint32_t frames) {
    vl::ClockBridge bridge;
    vl::ClockBridge::Config config;
    config.channels = ch;
    config.framesPerSecond = kRate;
    config.capturePeriodFrames = frames;
    config.renderPeriodFrames = frames;
    bridge.setup(config);
    const std::vector<float> f = noise(size_t(frames) * ch);
    std::vector<uint32_t> packet(f.size());
    for (size_t i = 0; i < f.size(); ++i)
        packet[i] = uint32_t(int32_t(f[i] * 8388608.0f) * 256);
    std::vector<std::vector<float>> outs(ch, std::vector<float>(frames));
    float* out[vl::kMaxChannels];
    for (unsigned c = 0; c < ch; ++c)
        out[c] = outs[c].data();
    uint64_t captured = 0, rendered = 0;
    const double capturePeriod = frames / (kRate * 1.002), renderPeriod = frames / kRate;
    // Whichever clock is due next, as the streaming thread would see them.
    auto pass = [&] {
        while ((captured + 1) * capturePeriod <= rendered * renderPeriod) {
            bridge.captured(vl::kSampleTypeInt32LSB, packet.data(), ch, frames,
                            captured * capturePeriod);
            ++captured;
        }
        bridge.render(out, frames, double(rendered++) * renderPeriod);
    };
    while (rendered < 2 * kRate / frames) // two seconds: started and locked
        pass();
    for (auto _ : state) {
        pass();
        benchmark::ClobberMemory();
    }
    if (!bridge.locked() || bridge.underrunFrames()) state.SkipWithError("the bridge lost lock");
    perPeriod(state, frames, ch);
}

// The loop alone, as a render period of the bridge runs it: a capture packet's time and a
// render period's into the two clocks' fits, and the readings that set the period's ratio
// (the period's two ends on render's clock, and capture's count at each). Its cost does not
// depend on the channels; it is run at every shape to sit beside that shape's resampler.
void BM_loop(benchmark::State& state, unsigned, uint32_t frames) {
    vl::PeriodClock capture, render;
    capture.reset(1 / kRate);
    render.reset(1 / kRate);
    const double capturePeriod = frames / (kRate * 1.002), renderPeriod = frames / kRate;
    // Times in 100-ns units, as endpoints give them.
    auto stamp = [](double t) { return std::round(t * 1e7) * 1e-7; };
    uint64_t n = 0;
    double sink = 0;
    auto period = [&] {
        capture.update(n * frames, stamp(1 + n * capturePeriod));
        render.update(n * frames, stamp(1 + n * renderPeriod));
        const double now = render.secondsAt(double(n * frames));
        const double next = render.secondsAt(double((n + 1) * frames));
        sink += capture.framesAt(next) - capture.framesAt(now);
        ++n;
    };
    while (n < 2 * kRate / frames)
        period();
    for (auto _ : state) {
        period();
        benchmark::DoNotOptimize(sink);
    }
    perPeriod(state, frames, 1);
}

// The yardstick: the period's output bytes in one memcpy.
void BM_memcpy(benchmark::State& state, unsigned ch, uint32_t frames) {
    const size_t bytes = size_t(ch) * frames * sizeof(float);
    std::vector<uint8_t> src(bytes, 1), dst(bytes);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), bytes);
        benchmark::ClobberMemory();
    }
    perPeriod(state, frames, ch);
}

// The console's table, then each pass as a share of the period it serves (CPU time, and wall
// time, which a busy machine inflates) and as a multiple of its memcpy.
class Summary : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string name = run.benchmark_name();
            const size_t slash = name.find('/');
            if (slash != std::string::npos && !run.error_occurred)
                times_[name.substr(slash)][name.substr(0, slash)] = {run.GetAdjustedCPUTime(),
                                                                     run.GetAdjustedRealTime()};
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        printf("%-30s %12s %12s %10s %12s\n", "pass", "cpu % period", "wall % period", "x memcpy",
               "x resampler");
        for (const auto& [shape, byPass] : times_) {
            const auto copy = byPass.find("memcpy"), resampler = byPass.find("resampler");
            const double periodNs =
                std::stod(shape.substr(shape.find("frames:") + 7)) / kRate * 1e9;
            for (const auto& [pass, time] : byPass)
                if (pass != "memcpy" && copy != byPass.end() && resampler != byPass.end())
                    printf("%-30s %12.3f %12.3f %10.2f %12.3f\n", (pass + shape).c_str(),
                           100 * time.first / periodNs, 100 * time.second / periodNs,
                           time.first / copy->second.first, time.first / resampler->second.first);
        }
    }

  private:
    // By shape, then by pass: CPU and wall time per iteration, in nanoseconds.
    std::map<std::string, std::map<std::string, std::pair<double, double>>> times_;
};

} // namespace

int main(int argc, char** argv) {
    for (unsigned ch : {1u, 2u, 8u, 16u})
        for (uint32_t frames : {128u, 480u})
            for (auto [name, fn] :
                 {std::pair{"memcpy", BM_memcpy}, std::pair{"resampler", BM_resampler},
                  std::pair{"loop", BM_loop}, std::pair{"bridge", BM_bridge}}) {
                std::string label = std::string(name) + "/ch:" + std::to_string(ch) +
                                    "/frames:" + std::to_string(frames);
                benchmark::RegisterBenchmark(label.c_str(), fn, ch, frames);
            }
    benchmark::Initialize(&argc, argv);
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    benchmark::Shutdown();
    return 0;
}
