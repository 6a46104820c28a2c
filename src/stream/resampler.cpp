#include "stream/resampler.h"

#include <cmath>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vl {

namespace {

// The window's shape: 12.3 puts its side lobes about 120 dB down, with a main lobe that spans
// 20 to 28 kHz at 48 kHz for 48 taps.
constexpr double kKaiserBeta = 12.3;

constexpr double kPi = 3.14159265358979323846;

// The zeroth-order modified Bessel function of the first kind, by its power series.
double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 64 && term > 1e-17 * sum; ++k) {
        double h = x / (2 * k);
        term *= h * h;
        sum += term;
    }
    return sum;
}

// The filter at x input frames from the point an output stands for.
double impulse(double x) {
    const double half = Resampler::kHalfTaps;
    if (std::fabs(x) >= half) return 0;
    double sinc = x == 0 ? 1 : std::sin(kPi * x) / (kPi * x);
    double r = x / half;
    return sinc * besselI0(kKaiserBeta * std::sqrt(1 - r * r)) / besselI0(kKaiserBeta);
}

// One output sample: the dot product of kTaps coefficients and input frames.
inline float dot(const float* c, const float* x) {
#if defined(__SSE2__)
    static_assert(Resampler::kTaps % 8 == 0, "taps in pairs of vectors");
    __m128 a = _mm_setzero_ps(), b = _mm_setzero_ps();
    for (unsigned k = 0; k < Resampler::kTaps; k += 8) {
        a = _mm_add_ps(a, _mm_mul_ps(_mm_load_ps(c + k), _mm_loadu_ps(x + k)));
        b = _mm_add_ps(b, _mm_mul_ps(_mm_load_ps(c + k + 4), _mm_loadu_ps(x + k + 4)));
    }
    a = _mm_add_ps(a, b);
    a = _mm_add_ps(a, _mm_movehl_ps(a, a));
    a = _mm_add_ss(a, _mm_shuffle_ps(a, a, 1));
    return _mm_cvtss_f32(a);
#else
    float s[4] = {};
    for (unsigned k = 0; k < Resampler::kTaps; k += 4)
        for (unsigned i = 0; i < 4; ++i)
            s[i] += c[k + i] * x[k + i];
    return (s[0] + s[1]) + (s[2] + s[3]);
#endif
}

} // namespace

uint32_t Resampler::maxInputFor(uint32_t maxOutputFrames) {
    return uint32_t(std::ceil(maxOutputFrames * kMaxRatio)) + 2;
}

bool Resampler::setup(unsigned channels, uint32_t maxOutputFrames) {
    channels_ = 0;
    maxOutput_ = maxOutputFrames;
    maxInput_ = maxInputFor(maxOutputFrames);
    // Whole vectors per channel, so that every channel's window starts aligned.
    stride_ = (size_t(kTaps) + maxInput_ + 3) & ~size_t(3);
    table_.reset(new (std::nothrow) float[size_t(kPhases) * 2 * kTaps]);
    window_.reset(new (std::nothrow) float[stride_ * (channels ? channels : 1)]);
    if (!table_ || !window_) {
        table_.reset();
        window_.reset();
        return false;
    }
    channels_ = channels;

    // Row q holds the taps for an output q / kPhases of a frame past a frame boundary, each
    // row scaled to a gain of exactly 1 at 0 Hz, followed by its difference to row q + 1.
    double row[kTaps], next[kTaps];
    auto fill = [](double* r, unsigned q) {
        double sum = 0;
        for (unsigned k = 0; k < kTaps; ++k)
            sum += r[k] = impulse(double(k) - (kHalfTaps - 1) - double(q) / kPhases);
        for (unsigned k = 0; k < kTaps; ++k)
            r[k] /= sum;
    };
    fill(row, 0);
    for (unsigned q = 0; q < kPhases; ++q) {
        fill(next, q + 1);
        float* out = table_.get() + size_t(q) * 2 * kTaps;
        for (unsigned k = 0; k < kTaps; ++k) {
            out[k] = float(row[k]);
            out[kTaps + k] = float(next[k] - row[k]);
            row[k] = next[k];
        }
    }
    reset(nullptr, 0);
    return true;
}

void Resampler::reset(const float* const* history, double fraction) {
    for (unsigned ch = 0; ch < channels_; ++ch) {
        float* w = window_.get() + size_t(ch) * stride_;
        if (history)
            memcpy(w, history[ch], kTaps * sizeof(float));
        else
            memset(w, 0, kTaps * sizeof(float));
    }
    if (!(fraction >= 0 && fraction < 1)) fraction = 0;
    position_ = fraction - double(kHalfTaps);
}

double Resampler::clampRatio(double ratio) {
    return ratio < kMinRatio ? kMinRatio : ratio > kMaxRatio ? kMaxRatio : ratio;
}

uint32_t Resampler::inputFrames(double ratio, uint32_t outputFrames) const {
    if (outputFrames == 0) return 0;
    double last = position_ + (outputFrames - 1) * clampRatio(ratio);
    double need = std::floor(last) + kHalfTaps + 1;
    return need > 0 ? uint32_t(need) : 0;
}

void Resampler::process(double ratio, float* const* output, uint32_t outputFrames) {
    if (!window_ || outputFrames > maxOutput_) return;
    ratio = clampRatio(ratio);
    const uint32_t taken = inputFrames(ratio, outputFrames);
    alignas(16) float c[kTaps];
    double p = position_;
    for (uint32_t j = 0; j < outputFrames; ++j, p += ratio) {
        double whole = std::floor(p);
        double phase = (p - whole) * kPhases;
        unsigned q = unsigned(phase);
        if (q >= kPhases) q = kPhases - 1; // p just below a whole frame rounds up to it
        float a = float(phase - q);
        const float* t = table_.get() + size_t(q) * 2 * kTaps;
        for (unsigned k = 0; k < kTaps; ++k)
            c[k] = t[k] + a * t[kTaps + k];
        // The first tap's input frame, counted from the start of the window.
        size_t first = size_t(long(whole) + kHalfTaps + 1);
        for (unsigned ch = 0; ch < channels_; ++ch)
            output[ch][j] = dot(c, window_.get() + size_t(ch) * stride_ + first);
    }
    position_ += outputFrames * ratio - taken;
    // Keep the last kTaps input frames as the next run's history.
    for (unsigned ch = 0; ch < channels_; ++ch) {
        float* w = window_.get() + size_t(ch) * stride_;
        memmove(w, w + taken, kTaps * sizeof(float));
    }
}

} // namespace vl
