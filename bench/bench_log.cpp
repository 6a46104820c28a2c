// What a log line costs on the streaming thread: formatting the message into the stack
// buffer (paid even with logging off) and building the narrow line (paid when on), against
// the C library's own swprintf of the same message.
#include "driver/wformat.h"

#include <benchmark/benchmark.h>

#include <cwchar>

static void BM_formatBounded(benchmark::State& state) {
    wchar_t buf[256];
    int n = 0;
    for (auto _ : state) {
        vl::formatBounded(buf, 256, L"ASIOSrv::: Event... %d (%d)", n++, 480);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_formatBounded);

static void BM_swprintf(benchmark::State& state) {
    wchar_t buf[256];
    int n = 0;
    for (auto _ : state) {
        swprintf(buf, 256, L"ASIOSrv::: Event... %d (%d)", n++, 480);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_swprintf);

static void BM_formatLogLine(benchmark::State& state) {
    char line[300];
    uint32_t t = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(vl::formatLogLine(line, sizeof line, t++, L"ASIOSrv::: Event... 12 (480)"));
    }
}
BENCHMARK(BM_formatLogLine);

BENCHMARK_MAIN();
