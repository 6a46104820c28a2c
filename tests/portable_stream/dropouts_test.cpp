#include "stream/dropouts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr int64_t kPeriod = 1000;

struct Outcome {
    uint32_t merged = 0;    // signals an auto-reset event folded into another: periods lost
    uint32_t counted = 0;   // what the watch counted lost
};

// An endpoint signals every `spacing` ticks (a clock a little off the counter's, or not). The
// thread wakes `late[k % late.size()]` after signal k, or at once when the event is already
// set, and its pass then takes 50 ticks, or as long as `busy` says for that pass.
Outcome stream(double spacing, const std::vector<int64_t>& late, int signals,
           const std::vector<std::pair<int, int64_t>>& busy = {}) {
    vl::PeriodWatch watch;
    watch.reset(kPeriod);
    auto at = [&](int k) { return int64_t(std::llround(k * spacing)); };
    Outcome run;
    int64_t free = 0; // when the thread waits again
    for (int k = 0, pass = 0; k < signals; ++k, ++pass) {
        int64_t wake = at(k) + late[size_t(k) % late.size()];
        if (at(k) <= free) {
            wake = free;
            while (k + 1 < signals && at(k + 1) <= free) ++k, ++run.merged;
        }
        run.counted += watch.onWake(wake);
        int64_t took = 50;
        for (auto& b : busy) took = b.first == pass ? b.second : took;
        free = wake + took;
    }
    return run;
}

TEST(PeriodWatch, CountsThePeriodsAPassOutlastsAndNothingElse) {
    const std::vector<int64_t> jitter = {5, 900, 0, 40, 700, 10};
    const std::vector<int64_t> halfJitter = {5, 500, 0, 40, 350, 10};
    struct Case {
        const char* name;
        double spacing;
        std::vector<int64_t> late;
        std::vector<std::pair<int, int64_t>> busy;
        uint32_t merged;
    } cases[] = {
        {"on time", kPeriod, {0}, {}, 0},
        {"woken late by most of a period, now and then", kPeriod, jitter, {}, 0},
        {"clock 5000 ppm slower than the counter", kPeriod * 1.005, halfJitter, {}, 0},
        {"clock 5000 ppm faster than the counter", kPeriod * 0.995, halfJitter, {}, 0},
        {"a pass of half a period more", kPeriod, {20}, {{100, 3 * kPeriod / 2}}, 0},
        {"a pass of three periods", kPeriod, {20}, {{100, 3 * kPeriod + 300}}, 2},
        {"two long passes on a slow clock", kPeriod * 1.002, {3},
         {{500, 2 * kPeriod + 400}, {1500, 4 * kPeriod + 500}}, 4},
    };
    for (const Case& c : cases) {
        Outcome run = stream(c.spacing, c.late, 3000, c.busy);
        EXPECT_EQ(run.merged, c.merged) << c.name << ": the case itself";
        EXPECT_EQ(run.counted, run.merged) << c.name;
    }
}

TEST(PositionWatch, AGapBetweenPacketsIsALoss) {
    vl::PositionWatch watch;
    const struct {
        uint64_t position;
        bool lost;
    } packets[] = {{4800, false}, {5280, false}, {5760, false}, {6720, true}, {7200, false}};
    for (const auto& p : packets) EXPECT_EQ(watch.onPacket(p.position, 480), p.lost) << p.position;
}

// Each row: where the device's position stood before a write, against what was written. A
// period late shows at two writes in a row and is counted once; a position that only lags,
// reads a fraction ahead, or steps ahead at one write alone is no loss.
TEST(PlayedWatch, CountsPeriodsPlayedWithoutTheStreamOnceTwoWritesAgree) {
    vl::PlayedWatch watch;
    const struct {
        uint64_t played, written;
        uint32_t lost;
    } writes[] = {
        {480, 480, 0},   {900, 960, 0},   {1440 + 470, 1440, 0}, // lagging, a wake late
        {2400, 1920, 0}, {2400, 2400, 0},                        // one read alone
        {3360, 2880, 0}, {3840, 3360, 1},                        // a lost period
        {4320, 3840, 0}, {5760, 4320, 0}, {6240, 4800, 2},       // two more at once
        {6720, 5280, 0}, {7200, 5760, 0},
    };
    for (const auto& w : writes)
        EXPECT_EQ(watch.beforeWrite(w.played, w.written, 480), w.lost) << w.played;
    EXPECT_EQ(watch.lost(), 3u);
}

} // namespace
