// What the probe puts late periods and lost switches down to: the machine (late wakes), the
// simulated endpoints' own clock thread, the other device's clock, or the driver. Portable:
// no Windows header; the host fills the periods from the simulator's meter.
#pragma once

#include "analysis.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace probe {

// Slack as a simulated endpoint saw it, per direction (0 render, 1 capture). A real
// endpoint service does not report it.
struct EndpointSlack {
    bool known[2] = {false, false};
    double periodSeconds[2] = {0, 0};
    std::vector<PeriodTiming> periods[2];
    SlackSummary summary[2];
    // Ticks the simulator's own clock thread fired more than half a period late (a device
    // never waits, so they come at once): the host sees them as lost switches, and the
    // capture packets they overflowed as lost periods, yet no client was late there.
    int64_t slipped = 0;
    int64_t slippedCapture = 0; // of those, the capture endpoint's
    // Render and capture tick on clocks more than kClocksApart apart.
    bool clocksDiffer = false;
    // The driver reads capture only in render's passes (nearly every capture period's first
    // call comes with a render period's): a capture tick that drifted ahead waits for render.
    bool captureWithRender = false;
    // The driver's own time in a period, outside the host's callback, and the callback's, as
    // they usually are: each does the same work every period, so one that took half a period
    // longer was held up by the machine (the thread descheduled), not by its work.
    double usualPass[2] = {0, 0}, usualCallback[2] = {0, 0};
    bool available() const { return known[0] || known[1]; }
};

// Two clocks this far apart (50 ppm) are two devices' clocks.
constexpr double kClocksApart = 50e-6;
// Two endpoint calls this close (seconds) belong to one pass of the driver's.
constexpr double kSamePass = 0.2e-3;

// The host's callbacks, enter to return, in the order of the switches.
std::vector<CallbackSpan> callbackSpans(const std::vector<SwitchRecord>& records);

// Fills the summaries and judgements of `slack` from its known directions' periods.
void judgeEndpoints(EndpointSlack* slack, const std::vector<CallbackSpan>& spans);

// Missed switches less those the simulated clock's own slips explain.
int64_t missedByDriver(const SwitchSummary& sum, const EndpointSlack& slack);

// What held up a late period; across two clocks a capture one is judged against the render
// pass beside it.
DelayParts explain(const EndpointSlack& slack, int flow, const PeriodTiming& p,
                   const std::vector<CallbackSpan>& spans);

// The least slack of either direction, as a fraction of a period; 1e9 when none is known.
double slackMinimum(const EndpointSlack& slack);

// Capture packets late or dropped, as the simulated endpoint counted them, and how many of
// those a late wake of the driver's thread explains, or the simulator's own late ticks: the
// machine's doing, not the driver's. Beside them, packets in time for an endpoint that holds
// more than one (a shared stream's) but taken by a wake that came after the next packet: a
// driver that hands its host the newest packet skips the older one, also the machine's doing.
struct LostCapture {
    bool known = false;
    size_t all = 0, lateWakes = 0, simulator = 0, overtaken = 0;
    size_t byDriver() const { return all - lateWakes - simulator; }
};
LostCapture lostCapture(const EndpointSlack& slack, const std::vector<CallbackSpan>& spans);

// The stream frames where the stream stalled: a switch that came more than half a period
// late, a period whose buffer came late to its endpoint, a resync request (the switch count
// when the driver told of a dropout). records: the switches received, in order.
std::vector<int64_t> stallFrames(const std::vector<SwitchRecord>& records, int32_t bufferFrames,
                                 double rate, const EndpointSlack& slack,
                                 const std::vector<size_t>& resyncAt);

// The longest run of frames in [begin, end) that keeps `before` frames ahead of every stall
// and `after` frames behind it: where the stalls left the recording whole. Empty when there
// is none.
struct Stretch {
    int64_t from = 0, to = 0;
    int64_t frames() const { return to - from; }
};
Stretch longestStretch(std::vector<int64_t> stalls, int64_t begin, int64_t end, int64_t before,
                       int64_t after);

bool anyEcho(const std::vector<RoundTrip>& trips);
// No input's echo moved once found (inputs without one do not count).
bool roundTripHeld(const std::vector<RoundTrip>& trips);

} // namespace probe
