// The probe's command line. Portable: no Windows header; arguments arrive as UTF-8.
#pragma once

#include <string>
#include <vector>

namespace probe {

struct Options {
    bool help = false;
    bool list = false;
    std::string driver;         // a name from the ASIO list, or a CLSID in braces
    long buffer = 0;            // frames; 0: the driver's preferred size
    double rate = 0;            // Hz; 0: the driver's current rate
    long inputs = 2;            // channels to stream, capped at what the driver has
    long outputs = 2;
    long firstChannel = 0;      // index of the first channel streamed, in each direction
    double seconds = 3;
    bool timeInfo = true;       // answer yes when the driver asks about bufferSwitchTimeInfo
    bool outputReady = true;    // tell the driver when the outputs are filled, as hosts do
    long stallPeriods = 0;      // one switch, a second into the stream, takes this many
                                // periods longer than its buffer: a dropout on purpose
    std::string wavPath = "inputs.wav";
    // Play a 997 Hz sine on the outputs in place of the clicks, and measure it on each input
    // (noise and distortion, frequency, delay wander) instead of the round trip.
    bool sine = false;
    // Stream --seconds at each buffer size from the driver's minimum up through its
    // preferred one and report the first that is safe (no missed switch, ample slack).
    bool findMinimum = false;
    // Open the driver's control panel, as a host's "ASIO settings" button does, and stream
    // nothing.
    bool panel = false;
};

// Fills `options`; on a malformed command line returns false with a message in `error`.
bool parseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

extern const char kUsage[];

} // namespace probe
