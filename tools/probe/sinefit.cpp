#include "sinefit.h"

#include <algorithm>
#include <cmath>

namespace probe {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
// Samples per block: sums are kept per block, then added (a sum of a million terms in two
// levels keeps its last bits), and the phase is computed afresh at each block's start.
constexpr size_t kBlock = 256;
constexpr size_t kHarmonics = 5;
constexpr size_t kMaxTerms = 1 + 2 * kHarmonics;
// Ratios below this (-300 dB) are reported as it: a computed sine has no harmonics at all.
constexpr double kFloor = 1e-30;

// The fractional part of nu * t cycles, in [-0.5, 0.5]: libm's arguments stay small.
double cycles(double nu, double t) {
    const double p = nu * t;
    return p - std::nearbyint(p);
}

// cos and sin of 2 pi nu t, block by block: exact at the block's first t, rotated by a table
// within it, so that a sample costs a few products rather than two calls into libm.
class Oscillator {
  public:
    explicit Oscillator(double nu) : nu_(nu) {
        for (size_t k = 0; k < kBlock; ++k) {
            const double th = kTwoPi * cycles(nu, double(k));
            cos_[k] = std::cos(th);
            sin_[k] = std::sin(th);
        }
    }
    void block(double t0, size_t count, double* c, double* s) const {
        const double th = kTwoPi * cycles(nu_, t0);
        const double c0 = std::cos(th), s0 = std::sin(th);
        for (size_t k = 0; k < count; ++k) {
            c[k] = c0 * cos_[k] - s0 * sin_[k];
            s[k] = s0 * cos_[k] + c0 * sin_[k];
        }
    }

  private:
    double nu_;
    double cos_[kBlock], sin_[kBlock];
};

// The normal equations of one least-squares step: sum of g g' and of g r over the samples,
// and the sum of r^2, for a model's residual r and its derivatives g.
struct Normal {
    size_t terms = 0;
    double gg[kMaxTerms * kMaxTerms] = {}, gr[kMaxTerms] = {}, rr = 0;
};

// Accumulates over x[lo, hi), time counted from `centre` so that the frequency's derivative
// stays small and uncorrelated with the offset. term(t, C, S, x, g) fills g and returns r.
template <class Term>
void accumulate(const double* x, size_t lo, size_t hi, double centre, double nu, Normal* n,
                Term term) {
    const Oscillator osc(nu);
    const size_t m = n->terms;
    double c[kBlock], s[kBlock], g[kMaxTerms];
    for (size_t at = lo; at < hi; at += kBlock) {
        const size_t count = std::min(kBlock, hi - at);
        const double t0 = double(at) - centre;
        osc.block(t0, count, c, s);
        double gg[kMaxTerms * kMaxTerms] = {}, gr[kMaxTerms] = {}, rr = 0;
        for (size_t k = 0; k < count; ++k) {
            const double r = term(t0 + double(k), c[k], s[k], x[at + k], g);
            for (size_t i = 0; i < m; ++i) {
                gr[i] += g[i] * r;
                for (size_t j = i; j < m; ++j)
                    gg[i * m + j] += g[i] * g[j];
            }
            rr += r * r;
        }
        for (size_t i = 0; i < m; ++i) {
            n->gr[i] += gr[i];
            for (size_t j = i; j < m; ++j)
                n->gg[i * m + j] += gg[i * m + j];
        }
        n->rr += rr;
    }
}

// Solves the normal equations for the step, in place in `step`; scaled by the diagonal so
// that terms of very different sizes (a frequency's against an offset's) pivot fairly.
// False when they are singular: a term the samples do not determine.
bool solve(const Normal& n, double* step) {
    const size_t m = n.terms;
    double a[kMaxTerms][kMaxTerms], scale[kMaxTerms];
    for (size_t i = 0; i < m; ++i) {
        const double d = n.gg[i * m + i];
        if (!(d > 0)) return false;
        scale[i] = 1 / std::sqrt(d);
    }
    for (size_t i = 0; i < m; ++i) {
        for (size_t j = i; j < m; ++j)
            a[i][j] = a[j][i] = n.gg[i * m + j] * scale[i] * scale[j];
        step[i] = n.gr[i] * scale[i];
    }
    for (size_t col = 0; col < m; ++col) {
        size_t pivot = col;
        for (size_t i = col + 1; i < m; ++i)
            if (std::fabs(a[i][col]) > std::fabs(a[pivot][col])) pivot = i;
        if (std::fabs(a[pivot][col]) < 1e-12) return false;
        std::swap(a[col], a[pivot]);
        std::swap(step[col], step[pivot]);
        for (size_t i = col + 1; i < m; ++i) {
            const double f = a[i][col] / a[col][col];
            for (size_t j = col; j < m; ++j)
                a[i][j] -= f * a[col][j];
            step[i] -= f * step[col];
        }
    }
    for (size_t i = m; i-- > 0;) {
        for (size_t j = i + 1; j < m; ++j)
            step[i] -= a[i][j] * step[j];
        step[i] /= a[i][i];
    }
    for (size_t i = 0; i < m; ++i)
        step[i] *= scale[i];
    return true;
}

// Offset and harmonics 1..h of 2 pi nu (i - centre), fitted over x[lo, hi) to what the model
// p (offset, then a and b of each harmonic) leaves, and added to p. Returns the sum of squares
// that p left, or -1 when the fit is singular.
double fitHarmonics(const double* x, size_t lo, size_t hi, double centre, double nu, size_t h,
                    double* p) {
    Normal n;
    n.terms = 1 + 2 * h;
    accumulate(x, lo, hi, centre, nu, &n, [&](double, double c, double s, double v, double* g) {
        g[0] = 1;
        double ck = c, sk = s, model = p[0];
        for (size_t k = 0; k < h; ++k) {
            g[1 + 2 * k] = ck;
            g[2 + 2 * k] = sk;
            model += p[1 + 2 * k] * ck + p[2 + 2 * k] * sk;
            const double next = ck * c - sk * s;
            sk = sk * c + ck * s;
            ck = next;
        }
        return v - model;
    });
    double step[kMaxTerms];
    if (!solve(n, step)) return -1;
    for (size_t i = 0; i < n.terms; ++i)
        p[i] += step[i];
    return n.rr;
}

// The fundamental with its frequency: offset, a, b, and nu in cycles per sample.
struct Fundamental {
    double p[3] = {0, 0, 0};
    double nu = 0;
};

// One Gauss-Newton step of all four over x[lo, hi); returns the change of nu, or NaN when the
// step is singular (no sine to pull the frequency).
double gaussNewton(const double* x, size_t lo, size_t hi, double centre, Fundamental* f) {
    Normal n;
    n.terms = 4;
    const double a = f->p[1], b = f->p[2];
    accumulate(x, lo, hi, centre, f->nu, &n,
               [&](double t, double c, double s, double v, double* g) {
                   g[0] = 1;
                   g[1] = c;
                   g[2] = s;
                   g[3] = kTwoPi * t * (b * c - a * s);
                   return v - (f->p[0] + a * c + b * s);
               });
    double step[4];
    if (!solve(n, step)) return std::nan("");
    for (size_t i = 0; i < 3; ++i)
        f->p[i] += step[i];
    f->nu += step[3];
    return step[3];
}

double decibels(double ratio) {
    return 10 * std::log10(std::max(ratio, kFloor));
}

} // namespace

SineFit fitSine(const double* x, size_t n, double sampleRate, double guessHz) {
    SineFit out;
    // Below a few cycles' worth of samples the frequency is not worth a figure.
    if (!x || !(sampleRate > 0) || !(guessHz > 0) || guessHz >= sampleRate / 2) return out;
    const double guess = guessHz / sampleRate;
    if (double(n) * guess < 4 || n < 16) return out;
    const double centre = 0.5 * double(n - 1);

    // From a window of about twenty cycles, where a guess a per cent off still lies in the
    // residual's valley, to the whole take, four times longer each time: each window's
    // frequency is close enough for the next.
    Fundamental f;
    f.nu = guess;
    size_t window = std::min(n, std::max<size_t>(16, size_t(20 / guess)));
    size_t lo = (n - window) / 2;
    if (fitHarmonics(x, lo, lo + window, centre, f.nu, 1, f.p) < 0) return out;
    for (;;) {
        const bool whole = window == n;
        for (int i = 0; i < 12; ++i) {
            const double before = f.nu;
            const double step = gaussNewton(x, lo, lo + window, centre, &f);
            // Lost: no sine near the guess.
            if (!std::isfinite(step) || !(f.nu > 0.5 * guess && f.nu < 1.5 * guess && f.nu < 0.5))
                return out;
            // The whole take's fit is polished until its phase moves by a part in 10^12 across
            // it (which leaves nothing of the fit in a 200 dB residual), or by less than the
            // frequency can say.
            if (std::fabs(step) * double(window) < (whole ? 1e-12 : 1e-4) || f.nu == before) break;
        }
        if (whole) break;
        window = std::min(n, window * 4);
        lo = (n - window) / 2;
    }

    // The harmonics fitted to what the fundamental leaves, beside it; that residual is the
    // THD+N's noise and distortion.
    size_t h = 1;
    while (h < kHarmonics && double(h + 1) * f.nu < 0.5)
        ++h;
    double p[kMaxTerms] = {f.p[0], f.p[1], f.p[2]};
    const double residual = fitHarmonics(x, 0, n, centre, f.nu, h, p);
    if (residual < 0) return out;
    const double power = (f.p[1] * f.p[1] + f.p[2] * f.p[2]) / 2;
    double harmonics = 0;
    for (size_t k = 1; k < h; ++k)
        harmonics += (p[1 + 2 * k] * p[1 + 2 * k] + p[2 + 2 * k] * p[2 + 2 * k]) / 2;
    const double noise = residual / double(n);

    out.frequencyHz = f.nu * sampleRate;
    out.amplitude = std::hypot(f.p[1], f.p[2]);
    out.offset = f.p[0];
    // a cos + b sin = A cos(theta + atan2(-b, a)) about the centre; moved to sample 0.
    const double phase = std::atan2(-f.p[2], f.p[1]) - kTwoPi * cycles(f.nu, centre);
    out.phaseRad = std::remainder(phase, kTwoPi);
    out.rmsResidual = std::sqrt(noise);
    out.snrDb = power > 0 ? decibels(noise > 0 ? power / noise : 1 / kFloor) : 0;
    out.thdDb = power > 0 ? decibels(harmonics / power) : 0;
    out.ok = power > noise;
    return out;
}

double delayWanderSeconds(const double* x, size_t n, double sampleRate, double hz,
                          size_t blockFrames) {
    if (!x || !(sampleRate > 0) || !(hz > 0) || hz >= sampleRate / 2 || blockFrames < 4) return 0;
    const double nu = hz / sampleRate, centre = 0.5 * double(n - 1);
    bool first = true;
    double last = 0, low = 0, high = 0;
    for (size_t lo = 0; lo + blockFrames <= n; lo += blockFrames) {
        double p[3] = {0, 0, 0};
        if (fitHarmonics(x, lo, lo + blockFrames, centre, nu, 1, p) < 0 || !(p[1] || p[2]))
            continue;
        // The phase on the whole take's time axis, unwrapped against the block before.
        double phase = std::atan2(-p[2], p[1]);
        if (!first) phase = last + std::remainder(phase - last, kTwoPi);
        last = phase;
        // A later sine has a smaller phase: cos(2 pi f (t - d)).
        const double delay = -phase / (kTwoPi * hz);
        low = first ? delay : std::min(low, delay);
        high = first ? delay : std::max(high, delay);
        first = false;
    }
    return high - low;
}

} // namespace probe
