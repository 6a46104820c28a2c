// What the probe concludes from a run: the buffer switches it received, judged against the
// clock, and the round trip of its test signal. Portable: no Windows header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace probe {

// One buffer switch as the host saw it.
struct SwitchRecord {
    int32_t index = 0;          // the half the driver named
    int32_t directProcess = 0;
    bool positionValid = false; // from the time record, else from getSamplePosition
    int64_t position = 0;       // sample position the driver reported with the switch
    double seconds = 0;         // arrival, on the host's clock, since start() was called
};

struct SwitchSummary {
    size_t received = 0;
    // Leading switches with directProcess set while later ones have it clear: the driver
    // asking for output ahead of the stream. They come in a burst, not on the clock.
    size_t prefill = 0;
    size_t streaming = 0;
    // Streaming switches the clock implies between the first and the last one received.
    // Lateness does not accumulate, so a lost period shows; one lost among the last ten
    // before stop cannot be told from lateness and goes uncounted.
    int64_t expected = 0;
    int64_t missed = 0; // expected - streaming; negative when the driver sent too many
    // Switches naming the same half as the switch before, or a half other than 0 and 1;
    // the first switch must name half 0.
    size_t halfErrors = 0;
    // Steps between consecutive reported positions other than one buffer; switches without
    // a valid position count too.
    size_t positionErrors = 0;
    int64_t firstPosition = 0;
    int64_t lastPosition = 0;
    // Intervals between streaming switches, milliseconds.
    double periodMs = 0;
    double meanMs = 0;
    double p99Ms = 0;
    double maxMs = 0;
    double firstSwitchMs = 0;  // from start() to the first switch
    double silenceAtEndMs = 0; // from the last switch to stop()
};

// stopSeconds: when the host called stop(), on the records' clock.
SwitchSummary summarizeSwitches(const std::vector<SwitchRecord>& records, int32_t bufferFrames,
                                double sampleRate, double stopSeconds);

// The test signal: a click of one frame on every output, every `interval` frames from
// frame 0 of the stream. Sparse clicks keep the echo unambiguous and easy to time.
struct ClickTrack {
    int64_t interval = 0;
    int32_t amplitude = 0x40000000; // half of full scale

    static ClickTrack forStream(double sampleRate, int32_t bufferFrames);
    // Fills n frames starting at stream frame `first`.
    void render(int64_t first, int32_t* target, size_t n) const;
};

struct RoundTrip {
    size_t echoes = 0;   // clicks found in the recording
    int64_t minFrames = 0;
    int64_t maxFrames = 0;
    bool found() const { return echoes > 0; }
    bool consistent() const { return echoes > 0 && minFrames == maxFrames; }
};

// Finds the clicks in one recorded input channel (stream frame 0 first) and times each
// against the latest click played at or before it. Anything below -40 dBFS is no echo.
RoundTrip measureRoundTrip(const int32_t* recording, size_t frames, const ClickTrack& clicks);

} // namespace probe
