#include "host.h"

#include "analysis.h"
#include "driver/asio.h"
#include "samples.h"
#include "sim/meter.h"
#include "text.h"
#include "wav.h"

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

static_assert(long(probe::kInt16LSB) == long(ASIOSTInt16LSB) &&
                  long(probe::kInt32LSB) == long(ASIOSTInt32LSB) &&
                  long(probe::kFloat64MSB) == long(ASIOSTFloat64MSB) &&
                  long(probe::kInt32LSB24) == long(ASIOSTInt32LSB24),
              "sample type values");

namespace probe {

const char* volatile currentStep = "starting";
volatile LONG stepCount = 0;

namespace {

// Rates hosts commonly offer; canSampleRate is asked about each.
const double kCommonRates[] = {8000,  11025, 16000,  22050,  32000,  44100, 48000,
                               88200, 96000, 176400, 192000, 352800, 384000};
// Channels listed one by one in the report; a driver may claim thousands.
const long kListedChannels = 64;
// The recording is capped so that a long run with many inputs stays in memory.
const size_t kRecordingBytes = size_t(256) << 20;
const size_t kMaxRecords = size_t(1) << 20;

const char* label(const char* text) {
    static char buf[64];
    snprintf(buf, sizeof buf, "  %-21s", text);
    return buf;
}

// The file version in the version resource of the module that holds `code` (the driver
// object's vtable), so that the report names the build the host actually loaded.
std::string fileVersionOf(const void* code) {
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH] = {};
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(code), &module) ||
        !GetModuleFileNameW(module, path, MAX_PATH))
        return "(module unknown)";
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof *fixed)
        return "(no version information)";
    char text[64];
    snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", fixed->dwFileVersionMS >> 16,
             fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
             fixed->dwFileVersionLS & 0xFFFF);
    return text;
}

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
    ClickTrack clicks;
    std::vector<std::vector<int32_t>> recording;
    size_t recordingFrames = 0;
    std::vector<int32_t> scratch;
    std::vector<SwitchRecord> records;
    LARGE_INTEGER t0 = {};
    double secondsPerTick = 0;

    std::atomic<bool> active{false}; // buffers may be touched
    std::atomic<size_t> switches{0};
    std::atomic<long long> lastSwitchTicks{0};
    std::atomic<long> timeInfoCalls{0}, plainCalls{0}, lateCalls{0}, badHalves{0};
    std::atomic<long> outputReadyResult{1}; // 1: not asked yet
    std::atomic<long> resetRequests{0}, resyncRequests{0}, bufferSizeChanges{0}, latencyChanges{0},
        overloads{0}, rateChanges{0};
    // The switch count at each resync request, as many as fit (made before the stream).
    std::vector<size_t> resyncAt;
};

Stream* stream = nullptr;

double secondsSince(const Stream& s, LONGLONG ticks) {
    return double(ticks - s.t0.QuadPart) * s.secondsPerTick;
}

int64_t toInt64(const ASIOSamples& v) {
    return int64_t((uint64_t(v.hi) << 32) | v.lo);
}

void onSwitch(ASIOTime* params, long index, ASIOBool directProcess) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    Stream& s = *stream;
    if (!s.active.load(std::memory_order_acquire)) {
        s.lateCalls.fetch_add(1);
        return;
    }
    size_t n = s.switches.load(std::memory_order_relaxed);
    SwitchRecord r;
    r.index = int32_t(index);
    r.directProcess = int32_t(directProcess);
    r.seconds = secondsSince(s, now.QuadPart);
    if (params && (params->timeInfo.flags & kSamplePositionValid)) {
        r.positionValid = true;
        r.position = toInt64(params->timeInfo.samplePosition);
    } else {
        // No time record, or one without a position: ask, as hosts do.
        ASIOSamples pos = {};
        ASIOTimeStamp stamp = {};
        r.positionValid = s.driver->getSamplePosition(&pos, &stamp) == ASE_OK;
        r.position = toInt64(pos);
    }
    if (n < s.records.size()) s.records[n] = r;

    if (index == 0 || index == 1) {
        const size_t frames = size_t(s.bufferFrames);
        const int64_t first = int64_t(n) * s.bufferFrames;
        for (size_t c = 0; c < s.inputs; ++c) {
            if (size_t(first) + frames <= s.recordingFrames)
                samplesToInt32(s.types[c], s.infos[c].buffers[index],
                               &s.recording[c][size_t(first)], frames);
        }
        if (s.inputs < s.infos.size()) {
            s.clicks.render(first, s.scratch.data(), frames);
            for (size_t c = s.inputs; c < s.infos.size(); ++c)
                samplesFromInt32(s.types[c], s.scratch.data(), s.infos[c].buffers[index], frames);
            // Hosts tell the driver the outputs are ready; a driver that uses it may send
            // them on at once.
            if (s.outputReadyWanted) {
                long ready = s.driver->outputReady();
                if (s.outputReadyResult.load(std::memory_order_relaxed) == 1)
                    s.outputReadyResult.store(ready, std::memory_order_relaxed);
            }
        }
        if (n == s.stallSwitch && n) Sleep(s.stallMs);
    } else {
        s.badHalves.fetch_add(1);
    }
    s.lastSwitchTicks.store(now.QuadPart, std::memory_order_relaxed);
    if (n < s.records.size()) {
        LARGE_INTEGER done;
        QueryPerformanceCounter(&done);
        s.records[n].doneSeconds = secondsSince(s, done.QuadPart);
    }
    s.switches.store(n + 1, std::memory_order_release);
}

void bufferSwitch(long index, ASIOBool directProcess) {
    if (stream) stream->plainCalls.fetch_add(1);
    if (stream) onSwitch(nullptr, index, directProcess);
}

ASIOTime* bufferSwitchTimeInfo(ASIOTime* params, long index, ASIOBool directProcess) {
    if (stream) stream->timeInfoCalls.fetch_add(1);
    if (stream) onSwitch(params, index, directProcess);
    return nullptr;
}

void sampleRateDidChange(ASIOSampleRate) {
    if (stream) stream->rateChanges.fetch_add(1);
}

long asioMessage(long selector, long value, void*, double*) {
    bool timeInfo = !stream || stream->timeInfoWanted;
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioEngineVersion || value == kAsioResetRequest ||
               value == kAsioBufferSizeChange || value == kAsioResyncRequest ||
               value == kAsioLatenciesChanged || value == kAsioOverload ||
               (value == kAsioSupportsTimeInfo && timeInfo);
    case kAsioEngineVersion:
        return 2;
    case kAsioSupportsTimeInfo:
        return timeInfo;
    case kAsioResetRequest:
        if (stream) stream->resetRequests.fetch_add(1);
        return 1;
    case kAsioResyncRequest:
        if (stream) {
            const long n = stream->resyncRequests.fetch_add(1);
            if (size_t(n) < stream->resyncAt.size()) stream->resyncAt[n] = stream->switches.load();
        }
        return 1;
    case kAsioBufferSizeChange:
        if (stream) stream->bufferSizeChanges.fetch_add(1);
        return 1;
    case kAsioLatenciesChanged:
        if (stream) stream->latencyChanges.fetch_add(1);
        return 1;
    case kAsioOverload:
        if (stream) stream->overloads.fetch_add(1);
        return 1;
    }
    return 0;
}

ASIOCallbacks callbacks = {bufferSwitch, sampleRateDidChange, asioMessage, bufferSwitchTimeInfo};

std::string formatRate(double rate) {
    char buf[32];
    if (rate == std::floor(rate) && rate < 1e9)
        snprintf(buf, sizeof buf, "%.0f", rate);
    else
        snprintf(buf, sizeof buf, "%.3f", rate);
    return buf;
}

std::string sampleTypeText(long type) {
    SampleFormat f;
    char buf[64];
    if (describeSampleType(int32_t(type), &f))
        snprintf(buf, sizeof buf, "%s", f.name);
    else
        snprintf(buf, sizeof buf, "type %ld, which the probe cannot convert", type);
    return buf;
}

// {BCDE0395-E52F-467C-8E3D-C4579291692E}: the system's audio endpoint enumerator.
const CLSID kDeviceEnumerator = {
    0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};

// Slack as a simulated endpoint saw it, per direction (0 render, 1 capture). A real
// endpoint service does not report it.
struct EndpointSlack {
    bool known[2] = {false, false};
    double periodSeconds[2] = {0, 0};
    std::vector<PeriodTiming> periods[2];
    SlackSummary summary[2];
    // Periods the simulator's own late clock thread put off: the host sees them as lost
    // switches, yet no client missed anything there.
    int64_t slipped = 0;
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
const double kClocksApart = 50e-6;
// Two endpoint calls this close (seconds) belong to one pass of the driver's.
const double kSamePass = 0.2e-3;

// Missed switches less those the simulated clock's own slips explain.
int64_t missedByDriver(const SwitchSummary& sum, const EndpointSlack& slack) {
    return sum.missed > 0 ? std::max<int64_t>(0, sum.missed - slack.slipped) : sum.missed;
}

// The simulator's meter, when the endpoint service in this process is the simulated one:
// its enumerator answers for IVlasimMeter (sim/meter.h). Null otherwise.
IVlasimMeter* openMeter() {
    IUnknown* enumerator = nullptr;
    if (FAILED(CoCreateInstance(kDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void**>(&enumerator))) ||
        !enumerator)
        return nullptr;
    IVlasimMeter* meter = nullptr;
    if (FAILED(enumerator->QueryInterface(IID_IVlasimMeter, reinterpret_cast<void**>(&meter))))
        meter = nullptr;
    enumerator->Release();
    return meter;
}

std::vector<CallbackSpan> callbackSpans(const std::vector<SwitchRecord>& records) {
    std::vector<CallbackSpan> spans;
    for (const SwitchRecord& r : records)
        spans.push_back({r.seconds, r.doneSeconds});
    return spans;
}

EndpointSlack readSlack(IVlasimMeter* meter, const Stream& s,
                        const std::vector<CallbackSpan>& spans) {
    EndpointSlack out;
    if (!meter) return out;
    auto seconds = [&](INT64 qpc) { return secondsSince(s, qpc); };
    for (UINT32 flow = 0; flow < 2; ++flow) {
        VlasimStream info = {};
        if (meter->GetStream(flow, &info) != S_OK || !info.rate || !info.periodFrames) continue;
        out.known[flow] = true;
        out.slipped += int64_t(info.slippedPeriods);
        out.periodSeconds[flow] = double(info.periodFrames) / info.rate;
        std::vector<VlasimPeriod> raw(size_t(info.recorded));
        UINT32 copied = 0;
        if (!raw.empty() &&
            FAILED(meter->GetPeriods(flow, 0, UINT32(raw.size()), raw.data(), &copied)))
            copied = 0;
        for (UINT32 i = 0; i < copied; ++i) {
            PeriodTiming p;
            p.hasEvent = raw[i].event != 0 && raw[i].event >= s.t0.QuadPart;
            p.event = seconds(raw[i].event);
            p.firstCall = seconds(raw[i].firstCall);
            p.release = seconds(raw[i].release);
            p.deadline = seconds(raw[i].deadline);
            p.tick = raw[i].tick;
            out.periods[flow].push_back(p);
        }
        out.summary[flow] = summarizeSlack(out.periods[flow], out.periodSeconds[flow]);
    }
    if (out.known[0] && out.known[1]) {
        // Each clock's rate against the host's, as the ratio of its measured period to its
        // nominal one; one device's two directions agree to well under a part per million.
        double render = tickPeriod(out.periods[0]) / out.periodSeconds[0];
        double capture = tickPeriod(out.periods[1]) / out.periodSeconds[1];
        out.clocksDiffer =
            render > 0 && capture > 0 && std::fabs(capture / render - 1) > kClocksApart;
        size_t with = 0, all = 0, r = 0;
        const std::vector<PeriodTiming>& rp = out.periods[0];
        for (const PeriodTiming& c : out.periods[1]) {
            if (!c.hasEvent) continue;
            while (r + 1 < rp.size() && rp[r + 1].firstCall <= c.firstCall)
                ++r;
            bool together = false;
            for (size_t k = r; k < rp.size() && k <= r + 1; ++k)
                together |= std::fabs(rp[k].firstCall - c.firstCall) < kSamePass;
            with += together, ++all;
        }
        out.captureWithRender = all && with >= all - all / 10;
    }
    auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    for (int flow = 0; flow < 2; ++flow) {
        std::vector<double> pass, callback;
        for (const PeriodTiming& p : out.periods[flow])
            if (p.hasEvent && p.slack() >= 0) {
                const DelayParts d = explainPeriod(p, spans);
                pass.push_back(d.driver);
                callback.push_back(d.host);
            }
        if (pass.empty()) continue;
        out.usualPass[flow] = median(pass);
        out.usualCallback[flow] = median(callback);
    }
    return out;
}

// What held up a late period; across two clocks a capture one is judged against the render
// pass beside it.
DelayParts explain(const EndpointSlack& slack, int flow, const PeriodTiming& p,
                   const std::vector<CallbackSpan>& spans) {
    DelayParts d = flow == 1 && slack.clocksDiffer && slack.captureWithRender
                       ? explainCapture(p, slack.periods[0], slack.periodSeconds[0], spans)
                       : explainPeriod(p, spans);
    const double held = slack.periodSeconds[flow] / 2;
    if ((d.cause == Cause::DriverPass && d.driver > slack.usualPass[flow] + held) ||
        (d.cause == Cause::HostCallback && d.host > slack.usualCallback[flow] + held))
        d.cause = Cause::LateWake;
    return d;
}

// "render: min 0.62, 1st percentile 0.80, median 0.93 of a period (297 periods)" and, for
// late periods and the tightest one, what held them up.
void reportSlack(const EndpointSlack& slack, const std::vector<CallbackSpan>& spans) {
    if (!slack.available()) {
        out("%snot available (the endpoint service does not report it)\n", label("endpoint slack"));
        return;
    }
    const char* names[2] = {"render", "capture"};
    bool firstLine = true;
    for (int f = 0; f < 2; ++f) {
        if (!slack.known[f]) continue;
        const SlackSummary& m = slack.summary[f];
        if (m.periods == 0)
            out("%s%s: no period measured\n", label(firstLine ? "endpoint slack" : ""), names[f]);
        else
            out("%s%s: min %.2f, 1st percentile %.2f, median %.2f of a period (%zu periods)\n",
                label(firstLine ? "endpoint slack" : ""), names[f], m.min, m.p1, m.median,
                m.periods);
        firstLine = false;
    }
    firstLine = true;
    for (int f = 0; f < 2; ++f) {
        if (!slack.known[f]) continue;
        size_t counts[4] = {0, 0, 0, 0};
        const PeriodTiming* tightest = nullptr;
        for (const PeriodTiming& p : slack.periods[f]) {
            if (p.slack() < 0) ++counts[int(explain(slack, f, p, spans).cause)];
            if (p.hasEvent && (!tightest || p.slack() < tightest->slack())) tightest = &p;
        }
        size_t late = slack.summary[f].late;
        if (late) {
            out("%s%s %zu: %s %zu, %s %zu, %s %zu", label(firstLine ? "late periods" : ""),
                names[f], late, causeName(Cause::HostCallback), counts[0],
                causeName(Cause::DriverPass), counts[1], causeName(Cause::LateWake), counts[2]);
            if (counts[3]) out(", %s %zu", causeName(Cause::OtherClock), counts[3]);
            out("\n");
        } else
            out("%s%s 0\n", label(firstLine ? "late periods" : ""), names[f]);
        firstLine = false;
        if (tightest) {
            DelayParts d = explainPeriod(*tightest, spans);
            char what[32];
            snprintf(what, sizeof what, "tightest %s", names[f]);
            out("%s%.2f ms to spare; after the event: %s %.2f ms, %s %.2f ms, %s %.2f ms\n",
                label(what), 1000 * tightest->slack(), causeName(Cause::LateWake), 1000 * d.wake,
                causeName(Cause::HostCallback), 1000 * d.host, causeName(Cause::DriverPass),
                1000 * d.driver);
        }
    }
}

double slackMinimum(const EndpointSlack& slack) {
    double m = 1e9;
    for (int f = 0; f < 2; ++f)
        if (slack.known[f] && slack.summary[f].periods) m = std::min(m, slack.summary[f].min);
    return m;
}

// Capture packets late or dropped, as the simulated endpoint counted them, and how many of
// those a late wake of the driver's thread explains: the machine's doing, not the driver's.
struct LostCapture {
    bool known = false;
    size_t all = 0, lateWakes = 0;
    size_t byDriver() const { return all - lateWakes; }
};
LostCapture lostCapture(const EndpointSlack& slack, const std::vector<CallbackSpan>& spans) {
    LostCapture l;
    l.known = slack.known[1];
    for (const PeriodTiming& p : slack.periods[1]) {
        if (p.slack() >= 0) continue;
        ++l.all;
        if (explain(slack, 1, p, spans).cause == Cause::LateWake) ++l.lateWakes;
    }
    return l;
}

// Each input's round trip; none when the stream had no outputs to click or no inputs. Echoes
// beside a stall are set aside: a switch that came more than half a period late, a resync
// request (the driver telling of a dropout), and, where the endpoint reports its periods, a
// period whose buffer came late to it. What a stall does to the stream is counted elsewhere
// (missed switches, resync requests, lost capture periods).
std::vector<RoundTrip> roundTrips(const Stream& s, size_t frames, double rate,
                                  const EndpointSlack& slack) {
    std::vector<RoundTrip> trips;
    if (!s.inputs || s.infos.size() <= s.inputs) return trips;
    std::vector<int64_t> late;
    const size_t received = std::min(s.switches.load(), s.records.size());
    const double period = double(s.bufferFrames) / rate;
    for (size_t i = 1; i < received; ++i)
        if (s.records[i].seconds - s.records[i - 1].seconds > 1.5 * period)
            late.push_back(int64_t(i) * s.bufferFrames);
    // An endpoint's moment, as the stream frame of the switch that came next.
    auto frameAt = [&](double seconds) {
        size_t lo = 0, hi = received;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (s.records[mid].seconds < seconds)
                lo = mid + 1;
            else
                hi = mid;
        }
        return int64_t(lo) * s.bufferFrames;
    };
    for (int flow = 0; flow < 2; ++flow)
        for (const PeriodTiming& p : slack.periods[flow])
            if (p.slack() < 0) late.push_back(frameAt(p.deadline));
    const size_t told = std::min(size_t(s.resyncRequests.load()), s.resyncAt.size());
    for (size_t i = 0; i < told; ++i)
        late.push_back(int64_t(s.resyncAt[i]) * s.bufferFrames);
    for (size_t c = 0; c < s.inputs; ++c)
        trips.push_back(measureRoundTrip(s.recording[c].data(), frames, s.clicks, rate,
                                         int32_t(s.bufferFrames), late));
    return trips;
}

bool anyEcho(const std::vector<RoundTrip>& trips) {
    for (const RoundTrip& t : trips)
        if (t.found()) return true;
    return false;
}

bool roundTripHeld(const std::vector<RoundTrip>& trips) {
    for (const RoundTrip& t : trips)
        if (t.found() && !t.constant) return false;
    return true;
}

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

bool Probe::check(const char* call, long result) {
    if (result == ASE_OK) return true;
    problems_.push_back(std::string(call) + " answered " + asioErrorText(result));
    out("%s%s answered %s\n", label("error"), call, asioErrorText(result).c_str());
    return false;
}

bool Probe::create() {
    enterStep("CoCreateInstance");
    // ASIO uses the driver's CLSID as the identifier of its interface too.
    HRESULT hr = CoCreateInstance(clsid_, nullptr, CLSCTX_INPROC_SERVER, clsid_,
                                  reinterpret_cast<void**>(&driver_));
    if (FAILED(hr) || !driver_) {
        driver_ = nullptr;
        err("could not create the driver %s: CoCreateInstance returned %s",
            clsidText(clsid_).c_str(), hresultText(hr).c_str());
        return false;
    }
    enterStep("init");
    HWND window = GetConsoleWindow();
    if (!driver_->init(window)) {
        char message[128] = {};
        enterStep("getErrorMessage");
        driver_->getErrorMessage(message);
        std::string text = fromDriverText(message, sizeof message - 4);
        err("the driver's init failed%s%s", text.empty() ? "" : ": ", text.c_str());
        return false;
    }
    return true;
}

void Probe::describe() {
    out("\nDriver\n");
    char name[36] = {};
    enterStep("getDriverName");
    driver_->getDriverName(name);
    std::string driverName = fromDriverText(name, 32);
    out("%s%s\n", label("name"), driverName.empty() ? "(empty)" : driverName.c_str());
    enterStep("getDriverVersion");
    out("%s%ld\n", label("version"), driver_->getDriverVersion());
    out("%s%s\n", label("file version"), fileVersionOf(*reinterpret_cast<void**>(driver_)).c_str());
    char message[128] = {};
    enterStep("getErrorMessage");
    driver_->getErrorMessage(message);
    std::string messageText = fromDriverText(message, 124);
    if (!messageText.empty()) out("%s%s\n", label("error message"), messageText.c_str());

    enterStep("getChannels");
    long in = 0, outCount = 0;
    if (check("getChannels", driver_->getChannels(&in, &outCount))) {
        if (in < 0 || outCount < 0) {
            problems_.push_back("getChannels reported a negative count");
            in = std::max(in, 0L);
            outCount = std::max(outCount, 0L);
        }
        inputs_ = in;
        outputs_ = outCount;
    }
    for (int dir = 1; dir >= 0; --dir) {
        bool isInput = dir == 1;
        long count = isInput ? inputs_ : outputs_;
        std::vector<ChannelInfo>& infos = isInput ? inputInfo_ : outputInfo_;
        out("%s%ld\n", label(isInput ? "inputs" : "outputs"), count);
        long described = std::min(count, kListedChannels);
        for (long ch = 0; ch < described; ++ch) {
            ASIOChannelInfo info = {};
            info.channel = ch;
            info.isInput = isInput ? ASIOTrue : ASIOFalse;
            enterStep("getChannelInfo");
            ChannelInfo c;
            c.result = driver_->getChannelInfo(&info);
            c.ok = c.result == ASE_OK;
            c.type = info.type;
            c.active = info.isActive != ASIOFalse;
            c.group = info.channelGroup;
            c.name = fromDriverText(info.name, sizeof info.name);
            infos.push_back(c);
            char what[32];
            snprintf(what, sizeof what, "  %s %ld", isInput ? "input" : "output", ch);
            if (c.ok)
                out("%s%s  (%s)\n", label(what), c.name.empty() ? "(no name)" : c.name.c_str(),
                    sampleTypeText(c.type).c_str());
            else
                out("%sgetChannelInfo answered %s\n", label(what), asioErrorText(c.result).c_str());
        }
        if (count > described) out("%s... and %ld more\n", label(""), count - described);
    }

    enterStep("getBufferSize");
    if (check("getBufferSize",
              driver_->getBufferSize(&minSize_, &maxSize_, &preferred_, &granularity_))) {
        out("%smin %ld, max %ld, preferred %ld, granularity %ld\n", label("buffer sizes"), minSize_,
            maxSize_, preferred_, granularity_);
    }

    enterStep("getSampleRate");
    if (check("getSampleRate", driver_->getSampleRate(&rate_)))
        out("%s%s Hz\n", label("sample rate"), formatRate(rate_).c_str());
    std::string accepted, refused;
    for (double r : kCommonRates) {
        enterStep("canSampleRate");
        long answer = driver_->canSampleRate(r);
        std::string& list = answer == ASE_OK ? accepted : refused;
        list += (list.empty() ? "" : " ") + formatRate(r);
        if (answer != ASE_OK && answer != ASE_NoClock) list += " (" + asioErrorText(answer) + ")";
    }
    out("%s%s\n", label("rates accepted"), accepted.empty() ? "none" : accepted.c_str());
    out("%s%s\n", label("rates refused"), refused.empty() ? "none" : refused.c_str());

    enterStep("getLatencies");
    long inLat = 0, outLat = 0;
    if (check("getLatencies", driver_->getLatencies(&inLat, &outLat)))
        out("%sinput %ld, output %ld frames (before buffers exist)\n", label("latencies"), inLat,
            outLat);

    enterStep("getClockSources");
    ASIOClockSource clocks[32] = {};
    long numClocks = 32;
    if (check("getClockSources", driver_->getClockSources(clocks, &numClocks))) {
        if (numClocks <= 0) out("%snone\n", label("clock sources"));
        for (long i = 0; i < std::min(numClocks, 32L); ++i) {
            std::string n = fromDriverText(clocks[i].name, sizeof clocks[i].name);
            out("%s%ld \"%s\"%s\n", label(i ? "" : "clock sources"), clocks[i].index, n.c_str(),
                clocks[i].isCurrentSource ? " (current)" : "");
        }
    }
    enterStep("future(kAsioCanTimeInfo)");
    long timeInfo = driver_->future(kAsioCanTimeInfo, nullptr);
    out("%s%s\n", label("time information"),
        timeInfo == ASE_SUCCESS ? "offered" : ("not offered: " + asioErrorText(timeInfo)).c_str());
}

void Probe::setRate() {
    if (options_.rate <= 0) return;
    enterStep("canSampleRate");
    long answer = driver_->canSampleRate(options_.rate);
    if (answer != ASE_OK) {
        problems_.push_back("the driver cannot run at " + formatRate(options_.rate) + " Hz (" +
                            asioErrorText(answer) + ")");
        return;
    }
    enterStep("setSampleRate");
    if (!check("setSampleRate", driver_->setSampleRate(options_.rate))) return;
    enterStep("getSampleRate");
    if (check("getSampleRate", driver_->getSampleRate(&rate_)) && rate_ != options_.rate)
        problems_.push_back("setSampleRate(" + formatRate(options_.rate) + ") left the rate at " +
                            formatRate(rate_));
}

bool Probe::prepareStream(long frames) {
    stream_.reset(new Stream);
    Stream& s = *stream_;
    s.driver = driver_;
    s.timeInfoWanted = options_.timeInfo;
    s.outputReadyWanted = options_.outputReady;
    s.bufferFrames = frames;
    if (options_.stallPeriods > 0 && rate_ > 0) {
        s.stallSwitch = size_t(rate_ / double(frames)) + 1;
        s.stallMs =
            DWORD(std::lround(1000.0 * double(options_.stallPeriods) * double(frames) / rate_));
    }
    const long first = options_.firstChannel;
    s.inputs =
        size_t(std::max(0L, std::min(options_.inputs, std::min(inputs_, kListedChannels) - first)));
    size_t outs = size_t(
        std::max(0L, std::min(options_.outputs, std::min(outputs_, kListedChannels) - first)));

    if (!quiet_) out("\nStream\n");
    if (s.bufferFrames <= 0) {
        problems_.push_back("no buffer size to stream with (give --buffer)");
        return false;
    }
    if (rate_ <= 0) {
        problems_.push_back("no sample rate to time the stream by");
        return false;
    }
    if (s.inputs + outs == 0) {
        problems_.push_back("the driver has no channels to stream");
        return false;
    }
    for (size_t i = 0; i < s.inputs + outs; ++i) {
        bool isInput = i < s.inputs;
        long ch = first + long(isInput ? i : i - s.inputs);
        const ChannelInfo& c = (isInput ? inputInfo_ : outputInfo_)[size_t(ch)];
        char what[32];
        snprintf(what, sizeof what, "%s %ld", isInput ? "input" : "output", ch);
        if (!c.ok) {
            problems_.push_back(std::string("cannot stream ") + what +
                                ": its sample type is unknown");
            return false;
        }
        if (!describeSampleType(int32_t(c.type), nullptr)) {
            problems_.push_back(std::string("cannot stream ") + what + ": " +
                                sampleTypeText(c.type));
            return false;
        }
        ASIOBufferInfo info = {};
        info.isInput = isInput ? ASIOTrue : ASIOFalse;
        info.channelNum = ch;
        s.infos.push_back(info);
        s.types.push_back(c.type);
    }

    const double periodMs = 1000.0 * s.bufferFrames / rate_;
    if (!quiet_) {
        if (first)
            out("%s%zu inputs, %zu outputs, from channel %ld\n", label("channels"), s.inputs, outs,
                first);
        else
            out("%s%zu inputs, %zu outputs\n", label("channels"), s.inputs, outs);
        out("%s%ld frames (%.2f ms) at %s Hz\n", label("buffer"), s.bufferFrames, periodMs,
            formatRate(rate_).c_str());
    }

    double runFrames = (options_.seconds + 3) * rate_;
    size_t buffers = size_t(runFrames / double(s.bufferFrames)) + 8;
    s.records.resize(std::min(buffers, kMaxRecords));
    s.resyncAt.resize(4096);
    if (s.inputs) {
        size_t frames = std::min(buffers * size_t(s.bufferFrames),
                                 kRecordingBytes / (sizeof(int32_t) * s.inputs));
        s.recordingFrames = frames;
        s.recording.assign(s.inputs, std::vector<int32_t>(frames, 0));
    }
    s.scratch.assign(size_t(s.bufferFrames), 0);
    s.clicks = ClickTrack::forStream(rate_, int32_t(s.bufferFrames));

    stream = &s;
    buffersRequested_ = true;
    enterStep("createBuffers");
    if (!check("createBuffers", driver_->createBuffers(s.infos.data(), long(s.infos.size()),
                                                       s.bufferFrames, &callbacks)))
        return false;
    for (const ASIOBufferInfo& info : s.infos) {
        if (!info.buffers[0] || !info.buffers[1]) {
            problems_.push_back(std::string("createBuffers gave no buffer for ") +
                                (info.isInput ? "input " : "output ") +
                                std::to_string(info.channelNum));
            return false;
        }
    }
    // Hosts ask once after createBuffers whether the driver uses outputReady, before they
    // read the latencies, which it may change.
    if (options_.outputReady) s.outputReadyResult.store(driver_->outputReady());
    enterStep("getLatencies");
    if (check("getLatencies", driver_->getLatencies(&inputLatency_, &outputLatency_))) {
        haveLatencies_ = true;
        if (!quiet_)
            out("%sinput %ld, output %ld frames\n", label("latencies"), inputLatency_,
                outputLatency_);
    }
    return true;
}

void Probe::streamAndWait() {
    Stream& s = *stream_;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    s.secondsPerTick = 1.0 / double(frequency.QuadPart);
    const double period = s.bufferFrames / rate_;
    // Generous: a driver may take a moment to open its device, and Wine is not real time.
    const double firstTimeout = 2.0 + 4 * period;
    const double stallTimeout = 1.0 + 4 * period;
    const bool console = _isatty(_fileno(stderr));
    started_ = false;

    s.active.store(true, std::memory_order_release);
    QueryPerformanceCounter(&s.t0);
    enterStep("start");
    if (!check("start", driver_->start())) {
        s.active.store(false);
        return;
    }
    started_ = true;
    enterStep("streaming");

    double nextProgress = 0;
    for (;;) {
        DWORD wait = MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
        }
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        double t = secondsSince(s, now.QuadPart);
        size_t n = s.switches.load(std::memory_order_acquire);
        if (t >= nextProgress) {
            if (console)
                fprintf(stderr, "\r  streaming %.1f of %g s, %zu buffer switches  ", t,
                        options_.seconds, n);
            else
                fprintf(stderr, "  streaming %.1f of %g s, %zu buffer switches\n", t,
                        options_.seconds, n);
            fflush(stderr);
            nextProgress += console ? 0.25 : 1.0;
        }
        if (t >= options_.seconds) break;
        if (n == 0 && t > firstTimeout) {
            char text[96];
            snprintf(text, sizeof text, "no buffer switch arrived in the %.1f s after start", t);
            problems_.push_back(text);
            break;
        }
        double sinceLast = n ? t - secondsSince(s, s.lastSwitchTicks.load()) : 0;
        if (n > 0 && sinceLast > stallTimeout) {
            char text[96];
            snprintf(text, sizeof text, "buffer switches stopped: none in the last %.1f s",
                     sinceLast);
            problems_.push_back(text);
            break;
        }
    }
    if (console) fputc('\n', stderr);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    stopSeconds_ = secondsSince(s, now.QuadPart);
    streamedSeconds_ = stopSeconds_;
}

void Probe::tearDown() {
    Stream& s = *stream_;
    if (started_) {
        enterStep("stop");
        check("stop", driver_->stop());
        // A driver that said its latencies changed is asked again, as a host would, while
        // the buffers still stand.
        if (s.latencyChanges.load() > 0 && haveLatencies_) {
            enterStep("getLatencies");
            check("getLatencies", driver_->getLatencies(&inputLatency_, &outputLatency_));
        }
    }
    // From here a switch must not touch the buffers: disposeBuffers frees them.
    s.active.store(false, std::memory_order_release);
    enterStep("disposeBuffers");
    check("disposeBuffers", driver_->disposeBuffers());
    enterStep("reporting");
}

void Probe::writeRecording(size_t frames) {
    Stream& s = *stream_;
    int bits = 16;
    for (size_t c = 0; c < s.inputs; ++c) {
        SampleFormat f;
        if (describeSampleType(int32_t(s.types[c]), &f) && f.bits > 16) bits = 24;
    }
    std::vector<uint8_t> image = wavImage(s.recording, frames, uint32_t(std::lround(rate_)), bits);
    FILE* f = _wfopen(wide(options_.wavPath).c_str(), L"wb");
    bool ok = f && fwrite(image.data(), 1, image.size(), f) == image.size();
    if (f && fclose(f) != 0) ok = false;
    if (!ok) {
        problems_.push_back("could not write " + options_.wavPath);
        out("%scould not write %s\n", label("recording"), options_.wavPath.c_str());
        return;
    }
    out("%s%s (%zu channels, %d-bit, %s Hz, %.2f s)\n", label("recording"),
        options_.wavPath.c_str(), s.inputs, bits, formatRate(rate_).c_str(),
        double(frames) / rate_);
}

void Probe::reportResult() {
    Stream& s = *stream_;
    size_t received = s.switches.load();
    std::vector<SwitchRecord> records(s.records.begin(),
                                      s.records.begin() + std::min(received, s.records.size()));
    SwitchSummary sum = summarizeSwitches(records, int32_t(s.bufferFrames), rate_, stopSeconds_);

    out("%s%s\n", label("callbacks"),
        s.timeInfoCalls && s.plainCalls ? "bufferSwitchTimeInfo and bufferSwitch"
        : s.timeInfoCalls               ? "bufferSwitchTimeInfo"
        : s.plainCalls                  ? "bufferSwitch"
                                        : "none");
    out("%s%.2f s\n", label("streamed"), streamedSeconds_);

    out("\nResult\n");
    out("%s%zu received: %zu pre-fill, %zu streaming\n", label("buffer switches"), received,
        sum.prefill, sum.streaming);
    if (sum.streaming > 0)
        out("%s%lld streaming, by the clock from the first to the last\n", label("expected"),
            static_cast<long long>(sum.expected));
    const EndpointSlack slack = readSlack(meter_, s, callbackSpans(records));
    const int64_t missed = missedByDriver(sum, slack);
    if (missed != sum.missed)
        out("%s%lld (and %lld the simulated clock itself put off)\n", label("missed switches"),
            static_cast<long long>(missed), static_cast<long long>(sum.missed - missed));
    else
        out("%s%lld\n", label("missed switches"), static_cast<long long>(sum.missed));
    out("%s%ld\n", label("resync requests"), s.resyncRequests.load());
    out("%s%zu\n", label("half-index errors"), sum.halfErrors);
    out("%s%zu", label("position errors"), sum.positionErrors);
    if (received)
        out(" (positions %lld to %lld, step %ld)", static_cast<long long>(sum.firstPosition),
            static_cast<long long>(sum.lastPosition), s.bufferFrames);
    out("\n");
    if (received) {
        out("%s%.1f ms after start\n", label("first switch"), sum.firstSwitchMs);
        out("%smean %.2f ms, p99 %.2f ms, max %.2f ms (period %.2f ms)\n",
            label("callback interval"), sum.meanMs, sum.p99Ms, sum.maxMs, sum.periodMs);
    }
    reportSlack(slack, callbackSpans(records));

    size_t frames = std::min(received * size_t(s.bufferFrames), s.recordingFrames);
    const std::vector<RoundTrip> trips = roundTrips(s, frames, rate_, slack);
    size_t steps = 0;
    if (!trips.empty()) {
        // One figure when every input agrees: exactly, or within the tolerance once settled.
        const RoundTrip* first = nullptr;
        bool exact = true, settled = true;
        size_t echoes = 0, on = 0, from = 0, aside = 0;
        for (const RoundTrip& t : trips) {
            if (!t.found()) continue;
            first = first ? first : &t;
            exact = exact && t.exact() && t.minFrames == first->minFrames;
            settled = settled && t.constant && t.settledFrames == first->settledFrames;
            echoes += t.echoes.size(), ++on, steps = std::max(steps, t.steps);
            aside += t.disturbed;
            if (t.settledFrom < t.echoes.size())
                from = std::max(from, size_t(t.echoes[t.settledFrom].at));
        }
        auto ms = [&](int64_t f) { return 1000.0 * double(f) / rate_; };
        if (!first) {
            out("%sno echo of the clicks on the inputs (nothing loops the outputs back)\n",
                label("round trip"));
        } else if (exact) {
            out("%s%lld frames (%.2f ms), %zu echoes on %zu of %zu inputs\n", label("round trip"),
                static_cast<long long>(first->minFrames), ms(first->minFrames), echoes, on,
                s.inputs);
        } else if (settled) {
            char since[32] = "";
            if (from > size_t(first->echoes[0].at))
                snprintf(since, sizeof since, " from %.1f s on,", double(from) / rate_);
            char setAside[64] = "";
            if (aside)
                snprintf(setAside, sizeof setAside, " (%zu beside late switches set aside)", aside);
            out("%s%lld frames (%.2f ms)%s within %lld frames, %zu echoes%s on %zu of %zu inputs\n",
                label("round trip"), static_cast<long long>(first->settledFrames),
                ms(first->settledFrames), since, static_cast<long long>(kRoundTripTolerance),
                echoes, setAside, on, s.inputs);
        } else {
            for (size_t c = 0; c < trips.size(); ++c) {
                const RoundTrip& t = trips[c];
                const char* what = c ? "" : "round trip";
                if (!t.found())
                    out("%sinput %zu: no echo\n", label(what), c);
                else if (!t.constant)
                    out("%sinput %zu: not constant, %lld to %lld frames, %zu echoes\n", label(what),
                        c, static_cast<long long>(t.minFrames), static_cast<long long>(t.maxFrames),
                        t.echoes.size());
                else if (t.exact())
                    out("%sinput %zu: %lld frames, %zu echoes\n", label(what), c,
                        static_cast<long long>(t.minFrames), t.echoes.size());
                else
                    out("%sinput %zu: %lld frames from %.1f s on, within %lld frames, %zu echoes\n",
                        label(what), c, static_cast<long long>(t.settledFrames),
                        double(t.echoes[t.settledFrom].at) / rate_,
                        static_cast<long long>(kRoundTripTolerance), t.echoes.size());
            }
        }
        if (haveLatencies_)
            out("%s%ld frames (input %ld + output %ld)%s\n", label("reported latency"),
                inputLatency_ + outputLatency_, inputLatency_, outputLatency_,
                s.latencyChanges.load() ? ", as asked again after the driver changed them" : "");
    }
    const LostCapture lost = lostCapture(slack, callbackSpans(records));
    if (s.inputs) {
        if (lost.known)
            out("%s%zu (%zu put down to late wakes)\n", label("lost capture periods"), lost.all,
                lost.lateWakes);
        else if (anyEcho(trips))
            out("%sunknown (the endpoint service does not report them); the echo stepped by a "
                "period %zu times\n",
                label("lost capture periods"), steps);
        else
            out("%sunknown (the endpoint service does not report them)\n",
                label("lost capture periods"));
    }
    if (s.inputs)
        writeRecording(frames);
    else
        out("%snone: no inputs streamed\n", label("recording"));

    long ready = s.outputReadyResult.load();
    if (!options_.outputReady)
        out("%snot called (--no-output-ready)\n", label("outputReady"));
    else if (ready != 1)
        out("%s%s\n", label("outputReady"),
            ready == ASE_OK ? "used by the driver" : ("not used: " + asioErrorText(ready)).c_str());
    struct Note {
        const char* what;
        long count;
    } notes[] = {{"reset requests", s.resetRequests},
                 {"buffer size changes", s.bufferSizeChanges},
                 {"latency changes", s.latencyChanges},
                 {"overloads", s.overloads},
                 {"sample rate changes", s.rateChanges}};
    for (const Note& n : notes)
        if (n.count) out("%s%ld\n", label(n.what), n.count);

    auto problem = [&](bool bad, const std::string& text) {
        if (bad) problems_.push_back(text);
    };
    problem(received == 0 && started_ && problems_.empty(), "no buffer switch arrived");
    // A driver that asked for a reset has ended its stream: the periods after it are not
    // switches it missed nor capture it lost, and the run did not stream to its end.
    problem(s.resetRequests > 0,
            "the driver asked for a reset after " + std::to_string(received) + " buffer switches");
    problem(missed > 0 && !s.resetRequests, std::to_string(missed) + " buffer switches missed");
    problem(sum.missed < 0, std::to_string(-sum.missed) + " more buffer switches than periods");
    problem(!roundTripHeld(trips) && !s.resetRequests, "the round trip did not stay constant");
    problem(lost.known && lost.byDriver() > 0 && !s.resetRequests,
            std::to_string(lost.byDriver()) + " capture periods lost");
    problem(sum.halfErrors > 0, std::to_string(sum.halfErrors) + " half-index errors");
    problem(sum.positionErrors > 0, std::to_string(sum.positionErrors) + " sample position errors");
    problem(received > s.records.size(), "more switches than the probe could keep");
    problem(s.lateCalls > 0, std::to_string(s.lateCalls) + " buffer switches after stop");
    problem(!options_.timeInfo && s.timeInfoCalls > 0,
            "bufferSwitchTimeInfo called although the host declined it");
}

// Streams at each size from the minimum up; stops at the first safe one.
bool Probe::findMinimum() {
    std::vector<long> sizes = sizesToTry(minSize_, maxSize_, preferred_, granularity_);
    out("\nSmallest safe buffer (%g s at each size, from the minimum up through the preferred)\n",
        options_.seconds);
    if (sizes.empty()) {
        problems_.push_back("the driver offers no buffer size to try");
        return false;
    }
    out("  %7s %8s %7s %7s %9s %8s %8s  %s\n", "frames", "ms", "missed", "resyncs", "slack min",
        "1st pct", "median", "verdict");
    quiet_ = true;
    long found = 0;
    bool slackKnown = false;
    for (long frames : sizes) {
        size_t before = problems_.size();
        buffersRequested_ = false;
        bool ready = prepareStream(frames);
        SwitchSummary sum;
        EndpointSlack slack;
        long resyncs = 0;
        bool steady = true; // the round trip, where the outputs come back on the inputs
        if (ready) {
            streamAndWait();
            tearDown();
            Stream& s = *stream_;
            size_t received = std::min(s.switches.load(), s.records.size());
            std::vector<SwitchRecord> records(s.records.begin(), s.records.begin() + received);
            sum = summarizeSwitches(records, int32_t(frames), rate_, stopSeconds_);
            slack = readSlack(meter_, s, callbackSpans(records));
            if (received == 0) problems_.push_back("no buffer switch arrived");
            if (s.lateCalls > 0 || s.badHalves > 0) problems_.push_back("switches out of place");
            resyncs = s.resyncRequests.load();
            steady = roundTripHeld(roundTrips(
                s, std::min(received * size_t(frames), s.recordingFrames), rate_, slack));
        } else if (buffersRequested_) {
            tearDown();
        }
        stream = nullptr;
        SlackSummary all;
        for (int f = 0; f < 2; ++f)
            all.periods += slack.summary[f].periods;
        all.min = slackMinimum(slack);
        slackKnown = slack.available();
        bool faults = problems_.size() > before;
        const int64_t missed = missedByDriver(sum, slack);
        // A dropout the driver told of is a click, whether or not a switch went missing.
        bool safe = resyncs == 0 && steady && safeSize(missed, faults, slackKnown, all);
        std::string verdict = safe           ? "safe"
                              : faults       ? problems_.back()
                              : missed != 0  ? "missed switches"
                              : resyncs != 0 ? "dropouts"
                              : !steady      ? "round trip not constant"
                                             : "less than a quarter period to spare";
        // Only the chosen size's faults concern the verdict of the search.
        problems_.resize(before);
        const SlackSummary& r = slack.summary[0].periods ? slack.summary[0] : slack.summary[1];
        if (slackKnown && all.periods)
            out("  %7ld %8.2f %7lld %7ld %9.2f %8.2f %8.2f  %s\n", frames, 1000.0 * frames / rate_,
                static_cast<long long>(missed), resyncs, all.min, r.p1, r.median, verdict.c_str());
        else
            out("  %7ld %8.2f %7lld %7ld %9s %8s %8s  %s\n", frames, 1000.0 * frames / rate_,
                static_cast<long long>(missed), resyncs, "-", "-", "-", verdict.c_str());
        if (safe) {
            found = frames;
            break;
        }
    }
    quiet_ = false;
    if (!slackKnown)
        out("  (slack not available from this endpoint service: judged by missed switches only)\n");
    if (!found) {
        problems_.push_back("no buffer size up to the preferred one ran safely");
        return false;
    }
    out("\n%s%ld frames (%.2f ms at %s Hz)\n", label("smallest safe buffer"), found,
        1000.0 * found / rate_, formatRate(rate_).c_str());
    return true;
}

int Probe::run() {
    out("vlasio-probe: %s\n", label_.c_str());
    if (!create()) return 1;
    if (options_.panel) {
        // Modal: returns when the user closes the dialog.
        enterStep("controlPanel");
        ASIOError result = driver_->controlPanel();
        enterStep("reporting");
        out("%s%s\n", label("controlPanel"), asioErrorText(result).c_str());
        return result == ASE_OK ? 0 : 1;
    }
    meter_ = openMeter();
    describe();
    setRate();
    if (options_.findMinimum) {
        findMinimum();
    } else if (prepareStream(options_.buffer > 0 ? options_.buffer : preferred_)) {
        streamAndWait();
        tearDown();
        reportResult();
    } else if (buffersRequested_) {
        tearDown(); // hosts dispose of what a failed createBuffers may have made
    }
    enterStep("Release");
    ULONG left = driver_->Release();
    enterStep("reporting");
    driver_ = nullptr;
    stream = nullptr;
    if (left != 0) out("%s%lu references remain after the final Release\n", label("note"), left);

    if (problems_.empty()) {
        if (options_.findMinimum)
            out("\nVerdict: OK\n");
        else
            out("\nVerdict: OK, every buffer switch arrived, in order, with continuous "
                "positions\n");
        return 0;
    }
    out("\nVerdict: FAILED\n");
    for (const std::string& p : problems_)
        out("  - %s\n", p.c_str());
    return 1;
}

} // namespace

int probeDriver(const Options& options, const CLSID& clsid, const std::string& label) {
    Probe probe(options, clsid, label);
    return probe.run();
}

} // namespace probe
