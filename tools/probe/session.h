// One run of the probe against one driver: the stream its callbacks fill (callbacks.cpp), the
// host that drives the driver through it (host.cpp), and the report (report.cpp).
#pragma once

#include "analysis.h"
#include "attribution.h"
#include "driver/asio.h"
#include "options.h"
#include "sim/meter.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace probe {

// Channels listed one by one in the report; a driver may claim thousands.
constexpr long kListedChannels = 64;

struct ChannelInfo {
    bool ok = false;
    long result = 0;
    long type = 0;
    bool active = false;
    long group = 0;
    std::string name;
};

// Everything the callbacks touch. ASIO callbacks carry no context, so there is one stream
// per process, reached through a global.
struct Stream {
    IASIO* driver = nullptr;
    long bufferFrames = 0;
    bool timeInfoWanted = true;
    bool outputReadyWanted = true;
    size_t stallSwitch = 0; // the switch that stalls, 0 for none
    DWORD stallMs = 0;
    std::vector<ASIOBufferInfo> infos; // inputs first, then outputs
    std::vector<long> types;
    size_t inputs = 0;
    bool sine = false; // the outputs play the tone, not the clicks
    ClickTrack clicks;
    SineTone tone;
    std::vector<std::vector<int32_t>> recording;
    size_t recordingFrames = 0;
    std::vector<int32_t> scratch;
    std::vector<SwitchRecord> records;
    LARGE_INTEGER t0 = {};
    double secondsPerTick = 0;

    std::atomic<bool> active{false}; // buffers may be touched
    std::atomic<size_t> switches{0};
    std::atomic<size_t> latencyChangedAt{0}; // the switch count when they last changed
    std::atomic<long long> lastSwitchTicks{0};
    std::atomic<long> timeInfoCalls{0}, plainCalls{0}, lateCalls{0}, badHalves{0};
    std::atomic<long> outputReadyResult{1}; // 1: not asked yet
    std::atomic<long> resetRequests{0}, resyncRequests{0}, bufferSizeChanges{0}, latencyChanges{0},
        overloads{0}, rateChanges{0};
    // The switch count at each resync request, as many as fit (made before the stream).
    std::vector<size_t> resyncAt;

    // The switches received, as far as they were kept.
    std::vector<SwitchRecord> received() const;
    // The resync requests whose switch count was kept.
    std::vector<size_t> resyncsKept() const;
};

extern Stream* stream;
extern ASIOCallbacks callbacks;

inline double secondsSince(const Stream& s, LONGLONG ticks) {
    return double(ticks - s.t0.QuadPart) * s.secondsPerTick;
}

// The simulated endpoints' view of the run (host.cpp); empty without a meter.
EndpointSlack readSlack(IVlasimMeter* meter, const Stream& s,
                        const std::vector<CallbackSpan>& spans);
// Each input's round trip over its first `frames` (report.cpp).
std::vector<RoundTrip> roundTrips(const Stream& s, size_t frames, double rate,
                                  const EndpointSlack& slack);

// A report line's label, padded: "  missed switches      ".
const char* label(const char* text);
std::string formatRate(double rate);
std::string sampleTypeText(long type);

class Probe {
  public:
    Probe(const Options& o, const CLSID& clsid, const std::string& label)
        : options_(o), clsid_(clsid), label_(label) {}
    ~Probe() {
        if (driver_) driver_->Release();
        if (meter_) meter_->Release();
    }

    int run();

  private:
    bool check(const char* call, long result);
    bool create();
    void describe();
    void setRate();
    bool prepareStream(long frames);
    void streamAndWait();
    void tearDown();
    void reportResult();
    void writeRecording(size_t frames);
    void reportSine(size_t frames, const std::vector<int64_t>& stalls);
    bool findMinimum();

    const Options& options_;
    CLSID clsid_;
    std::string label_;
    IASIO* driver_ = nullptr;
    std::vector<std::string> problems_;

    long inputs_ = 0, outputs_ = 0;
    std::vector<ChannelInfo> inputInfo_, outputInfo_;
    long minSize_ = 0, maxSize_ = 0, preferred_ = 0, granularity_ = 0;
    double rate_ = 0;
    IVlasimMeter* meter_ = nullptr;
    bool quiet_ = false; // --find-minimum: one table row per run, not a report

    std::unique_ptr<Stream> stream_;
    bool buffersRequested_ = false;
    bool started_ = false;
    double streamedSeconds_ = 0;
    double stopSeconds_ = 0;
    long inputLatency_ = 0, outputLatency_ = 0;
    bool haveLatencies_ = false;
};

} // namespace probe
