// A sine through a path, measured: least-squares fits of a sine of free frequency, and how
// the path's delay wandered. Portable: no Windows header.
#pragma once

#include <cstddef>

namespace probe {

struct SineFit {
    bool ok = false; // false: too few samples or no sine found (none above the residual)
    double frequencyHz = 0, amplitude = 0, phaseRad = 0, offset = 0;
    double snrDb = 0; // THD+N: fitted sine's power over everything else (residual), dB
    double thdDb = 0; // harmonics 2..5 (their fitted powers) over the fundamental, dB (negative)
    double rmsResidual = 0;
};
// Least-squares fit of offset + a*cos(w t) + b*sin(w t) over x[0..n), frequency free:
// w refined from guessHz by Gauss-Newton on the residual, in double, over windows that grow
// from twenty cycles about the middle to the whole take. Then
// x[i] = offset + amplitude * cos(2 pi frequencyHz i / sampleRate + phaseRad) + residual.
SineFit fitSine(const double* x, size_t n, double sampleRate, double guessHz);
// The delay wander of a sine through a path: fit the phase over consecutive blocks of
// `blockFrames` at the frequency found over the whole take; returns the peak-to-peak of
// the phase expressed as a delay in seconds (phase / (2 pi f)), unwrapped.
double delayWanderSeconds(const double* x, size_t n, double sampleRate, double hz,
                          size_t blockFrames);

} // namespace probe
