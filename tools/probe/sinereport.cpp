// The report of --sine: each input's sine, over the whole take and over its longest stretch
// clear of dropouts.
#include "session.h"
#include "sinefit.h"
#include "text.h"

#include <cmath>
#include <cstdio>

namespace probe {

namespace {

// A device may take a moment to settle (a resampler to lock, a converter to unmute).
const double kSettleSeconds = 0.5;
// The delay wander's blocks: long enough for a phase to a few nanoseconds, short enough to
// follow a clock bridge's control loop.
const double kBlockSeconds = 0.1;

std::string delayText(double seconds) {
    char text[32];
    if (seconds < 1e-6)
        snprintf(text, sizeof text, "%.1f ns", seconds * 1e9);
    else if (seconds < 1e-3)
        snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
    else
        snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    return text;
}

} // namespace

void Probe::reportSine(size_t frames, const std::vector<int64_t>& stalls) {
    const Stream& s = *stream_;
    out("\nSine\n");
    out("%s%lld Hz at -6 dBFS on every output; each input measured from %.1f s on\n",
        label("signal"), static_cast<long long>(s.tone.hz), kSettleSeconds);
    if (!s.inputs) {
        out("%snone: no inputs streamed\n", label("inputs"));
        return;
    }
    const int64_t begin = std::llround(kSettleSeconds * rate_);
    const int64_t end = std::max(begin, int64_t(frames));
    const size_t block = size_t(std::llround(kBlockSeconds * rate_));
    // A stall shows in the recording where it happened (capture) and a round trip later
    // (render): the reported latency, and two buffers either side for the line and the rest.
    const int64_t margin = 2 * s.bufferFrames;
    const int64_t after = (haveLatencies_ ? inputLatency_ + outputLatency_ : 0) + margin;
    const Stretch whole{begin, end};
    const Stretch clear = longestStretch(stalls, begin, end, margin, after);

    out("%s%-8s %-13s %11s %12s %10s %13s %13s\n", label(""), "stretch", "seconds", "level",
        "SNR (THD+N)", "THD", "frequency", "delay wander");
    std::vector<double> x;
    for (size_t c = 0; c < s.inputs; ++c) {
        char what[32];
        snprintf(what, sizeof what, "input %zu", c);
        for (const Stretch* st : {&whole, &clear}) {
            const char* name = st == &whole ? "whole" : "clean";
            const char* lead = st == &whole ? label(what) : label("");
            if (st == &clear && clear.from == whole.from && clear.to == whole.to) {
                out("%s%-8s the whole take: no dropout\n", lead, name);
                continue;
            }
            char span[32];
            snprintf(span, sizeof span, "%.2f-%.2f s", double(st->from) / rate_,
                     double(st->to) / rate_);
            if (st->frames() < int64_t(2 * block)) {
                out("%s%-8s %-13s too short to measure\n", lead, name,
                    st->frames() > 0 ? span : "none");
                continue;
            }
            x.resize(size_t(st->frames()));
            for (size_t i = 0; i < x.size(); ++i)
                x[i] = double(s.recording[c][size_t(st->from) + i]) / 2147483648.0;
            const SineFit f = fitSine(x.data(), x.size(), rate_, double(s.tone.hz));
            if (!f.ok) {
                out("%s%-8s %-13s no sine (are the outputs looped back to the inputs?)\n", lead,
                    name, span);
                continue;
            }
            const double wander =
                delayWanderSeconds(x.data(), x.size(), rate_, f.frequencyHz, block);
            out("%s%-8s %-13s %6.1f dBFS %9.1f dB %7.1f dB %10.4f Hz %13s\n", lead, name, span,
                20 * std::log10(f.amplitude), f.snrDb, f.thdDb, f.frequencyHz,
                delayText(wander).c_str());
        }
    }
}

} // namespace probe
