#include "sinefit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace probe;

namespace {

constexpr double kPi = 3.141592653589793238462643383279502884;
constexpr double kRate = 48000;

// A 997 Hz sine at -6 dBFS (or `offHz` above), computed exactly enough for 200 dB: whole
// cycles in integers, the rest in a small fraction. A third harmonic `third` (of the
// fundamental's amplitude), white noise making the SNR `snrDb`, and a delay that swings
// `delayPeak` seconds either way once over the take, symmetric about its middle.
struct Take {
    double seconds = 4, offHz = 0, third = 0, snrDb = 0, delayPeak = 0;
    std::vector<double> samples(double* noisePower) const {
        const size_t n = size_t(seconds * kRate);
        const double a = std::pow(10, -6.0 / 20);
        std::vector<double> x(n);
        std::mt19937_64 random(7);
        std::normal_distribution<double> normal(0, a / std::sqrt(2) * std::pow(10, -snrDb / 20));
        double noise = 0;
        for (size_t i = 0; i < n; ++i) {
            const double t = double(i) / kRate, middle = double(n) / kRate / 2;
            const double delay = delayPeak * std::cos(2 * kPi / seconds * (t - middle));
            const double cycles = double((997 * int64_t(i)) % 48000) / kRate + offHz * t -
                                  (997 + offHz) * delay + 0.1;
            const double e = snrDb ? normal(random) : 0;
            noise += e * e;
            x[i] = a * std::cos(2 * kPi * cycles) + third * a * std::cos(6 * kPi * cycles) + e;
        }
        *noisePower = noise / double(n);
        return x;
    }
};

} // namespace

// Each take's fit against what went into it: the SNR (noise and harmonic alike count
// against it), the THD, the frequency, and the delay's wander in 0.1 s blocks.
TEST(SineFit, KnownTakes) {
    struct Case {
        const char* what;
        Take take;
        double snrDb, thdDb; // expected; 0: below -200 dB (snr: above 200 dB)
        double wander;       // seconds, peak to peak
    };
    const Case cases[] = {
        {"pure, 20 s", {20}, 0, 0, 0},
        {"noise at 120 dB", {4, 0, 0, 120}, 120, 0, 0},
        {"noise at 30 dB", {4, 0, 0, 30}, 30, 0, 0},
        {"third harmonic at -90 dB", {4, 0, 3.16227766e-5}, 90, -90, 0},
        {"1 mHz off the guess", {4, 1e-3}, 0, 0, 0},
        // Phase modulation of index 2 pi 997 Hz 1 us: sidebands 47.07 dB down.
        {"a delay swinging 1 us either way", {8, 0, 0, 0, 1e-6}, 47.07, 0, 2e-6},
    };
    const double a = std::pow(10, -6.0 / 20);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        double noise = 0;
        const std::vector<double> x = c.take.samples(&noise);
        const SineFit f = fitSine(x.data(), x.size(), kRate, 997);
        ASSERT_TRUE(f.ok);
        // With noise, the SNR its actual power makes (the generator's is only near it).
        const double snr = noise ? 10 * std::log10(a * a / 2 / noise) : c.snrDb;
        const bool exact = !noise && !c.take.delayPeak && !c.take.third;
        if (snr) {
            EXPECT_NEAR(f.snrDb, snr, 0.5);
        } else {
            EXPECT_GT(f.snrDb, 200);
        }
        if (c.thdDb) {
            EXPECT_NEAR(f.thdDb, c.thdDb, 0.5);
        } else if (exact) {
            EXPECT_LT(f.thdDb, -200);
        }
        EXPECT_NEAR(f.frequencyHz, 997 + c.take.offHz, exact ? 1e-9 : 1e-4);
        EXPECT_NEAR(f.amplitude, a, exact ? 1e-12 : 1e-3);
        EXPECT_NEAR(std::remainder(f.phaseRad - 0.2 * kPi, 2 * kPi), 0, exact ? 1e-9 : 1e-3);
        const double wander = delayWanderSeconds(x.data(), x.size(), kRate, f.frequencyHz, 4800);
        if (c.wander) {
            EXPECT_NEAR(wander, c.wander, 0.01 * c.wander);
        } else if (exact) {
            EXPECT_LT(wander, 1e-10);
        }
    }
}

// Silence, a sine far from the guess, and too short a take find no sine.
TEST(SineFit, NoSine) {
    std::vector<double> x(48000, 0);
    EXPECT_FALSE(fitSine(x.data(), x.size(), kRate, 997).ok);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = std::sin(2 * kPi * 3000 * double(i) / kRate);
    EXPECT_FALSE(fitSine(x.data(), x.size(), kRate, 997).ok);
    EXPECT_TRUE(fitSine(x.data(), x.size(), kRate, 2990).ok);
    EXPECT_FALSE(fitSine(x.data(), 40, kRate, 997).ok);
}
