// What the probe concludes from a run: the buffer switches it received, judged against the
// clock, and the round trip of its test signal. Portable: no Windows header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace probe {

// One buffer switch as the host saw it.
struct SwitchRecord {
    int32_t index = 0; // the half the driver named
    int32_t directProcess = 0;
    bool positionValid = false; // from the time record, else from getSamplePosition
    int64_t position = 0;       // sample position the driver reported with the switch
    double seconds = 0;         // arrival, on the host's clock, since start() was called
    double doneSeconds = 0;     // when the probe's callback returned, on the same clock
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

// The other test signal (--sine): a sine on every output, 997 Hz (prime, so that no sample
// rate's grid repeats it soon) at -6 dBFS. Its phase is exact however long the stream runs:
// whole cycles are counted in integers.
struct SineTone {
    int64_t hz = 997;
    int64_t rate = 48000;                  // the stream's rate, to the nearest hertz
    double amplitude = 0.5011872336272722; // of full scale: -6 dBFS

    static SineTone forStream(double sampleRate);
    void render(int64_t first, int32_t* target, size_t n) const;
};

// One echo of a click: where its onset lies in the recording (stream frames), and how many
// frames after the click it came back.
struct Echo {
    int64_t at = 0;
    int64_t frames = 0;
    // A switch came late between its click and its return (the machine or the endpoint
    // stalled the stream there): set aside, neither holding the round trip nor breaking it.
    bool disturbed = false;
};

// A round trip that moved and then held: the longest run of trailing echoes all within
// kRoundTripTolerance frames of that run's median.
constexpr int64_t kRoundTripTolerance = 2;
// A round trip is constant when its settled run holds more than half of the echoes and
// begins this early in the stream: the time a driver that bridges two clocks has to lock.
constexpr double kLockSeconds = 2.5;

struct RoundTrip {
    std::vector<Echo> echoes; // in the order they came back
    size_t disturbed = 0;     // of them, set aside
    int64_t minFrames = 0;
    int64_t maxFrames = 0;
    size_t settledFrom = 0;    // the first echo of the settled run
    int64_t settledFrames = 0; // its median
    bool constant = false;
    // Consecutive echoes more than half a buffer apart: a period lost or repeated between them.
    size_t steps = 0;
    bool found() const { return !echoes.empty(); }
    bool exact() const { return found() && minFrames == maxFrames; }
};

// Finds the clicks in one recorded input channel (stream frame 0 first) and times each
// against the latest click played at or before it. Anything below -40 dBFS is no echo.
// lateSwitches: the stream frames of switches that came late (see lateSwitchFrames); an echo
// whose click went out or came back within two buffers of one is disturbed. lockFrom: the
// stream frame from which the round trip is judged (where the driver last said its
// latencies changed): it must settle within kLockSeconds of it.
RoundTrip measureRoundTrip(const int32_t* recording, size_t frames, const ClickTrack& clicks,
                           double sampleRate, int32_t bufferFrames,
                           const std::vector<int64_t>& lateSwitches = {}, int64_t lockFrom = 0);

// The figures of a series of echoes; measureRoundTrip ends with it.
void judgeRoundTrip(RoundTrip* rt, double sampleRate, int32_t bufferFrames, int64_t lockFrom = 0);

// --- Slack ---------------------------------------------------------------------------------
//
// One period as a simulated endpoint saw it (all on the host's clock, seconds since start):
// the tick whose event the client answered, the client's first endpoint call after it, the
// release of the buffer, and the deadline by which the endpoint needed it.
struct PeriodTiming {
    bool hasEvent = false; // false: released before the stream's first tick
    double event = 0, firstCall = 0, release = 0, deadline = 0;
    uint64_t tick = 0; // the deadline's tick number since the stream started
    double slack() const { return deadline - release; }
};

// The period of an endpoint's clock, measured on the host's: the mean interval between
// consecutive ticks' deadlines, leaving aside intervals more than 1 % off their median (a
// simulator running late puts its ticks off). 0 with fewer than two ticks.
double tickPeriod(const std::vector<PeriodTiming>& periods);

// Slack as fractions of a period: the least, the 1st percentile and the median (nearest
// rank), and how many periods came late (negative slack).
struct SlackSummary {
    size_t periods = 0;
    size_t late = 0;
    double min = 0, p1 = 0, median = 0;
};
SlackSummary summarizeSlack(const std::vector<PeriodTiming>& periods, double periodSeconds);

// What kept a period's buffer from its endpoint, between the event and the release:
//  host   the host's own callback was running (the probe times it: enter to return);
//  wake   the driver's thread had not yet made its first endpoint call, outside the callback
//         (a late wake, or the end of the driver's previous pass);
//  driver the driver's pass from its first endpoint call to the release, outside the callback.
//  other clock  (capture only) the driver's thread woke on time for the render tick of the
//         same pass, a tick of another clock: the capture tick had drifted too far ahead of it.
enum class Cause { HostCallback, DriverPass, LateWake, OtherClock };
struct DelayParts {
    double host = 0, driver = 0, wake = 0;
    Cause cause = Cause::LateWake;
};
struct CallbackSpan {
    double enter = 0, exit = 0;
};
// callbacks: sorted by enter, not overlapping (one streaming thread).
DelayParts explainPeriod(const PeriodTiming& p, const std::vector<CallbackSpan>& callbacks);
const char* causeName(Cause c);

// Where render and capture run on different clocks, a lost capture period that
// explainPeriod puts down to a late wake is the other clock's when the render period whose
// first call came within half a period of its own woke less than this fraction of a period
// late: that pass was on time for render.
constexpr double kLateWake = 0.25;
DelayParts explainCapture(const PeriodTiming& p, const std::vector<PeriodTiming>& render,
                          double renderPeriodSeconds, const std::vector<CallbackSpan>& callbacks);

// --- The smallest safe buffer ---------------------------------------------------------------

// The sizes to try, ascending, from the driver's minimum up through its preferred size:
// granularity -1 steps by powers of two, a positive one by that many frames (by a multiple of
// it where more than kMostSizesBetween sizes would lie between), 0 offers the minimum and the
// preferred size only.
constexpr long kMostSizesBetween = 16;
std::vector<long> sizesToTry(long minSize, long maxSize, long preferred, long granularity);

// A size is safe when no switch was missed, the run had no other fault, and (when the
// endpoint reports it) every period arrived with more than a quarter of a period to spare.
constexpr double kSafeSlack = 0.25;
bool safeSize(int64_t missedSwitches, bool faults, bool slackKnown, const SlackSummary& slack);

} // namespace probe
