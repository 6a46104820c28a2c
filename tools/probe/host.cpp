#include "host.h"

#include "samples.h"
#include "session.h"
#include "text.h"

#include <io.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace probe {

const char* volatile currentStep = "starting";
volatile LONG stepCount = 0;

namespace {

// The recording is capped so that a long run with many inputs stays in memory.
const size_t kRecordingBytes = size_t(256) << 20;
const size_t kMaxRecords = size_t(1) << 20;

// {BCDE0395-E52F-467C-8E3D-C4579291692E}: the system's audio endpoint enumerator.
const CLSID kDeviceEnumerator = {
    0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};

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

} // namespace

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
        if (flow == 1) out.slippedCapture = int64_t(info.slippedPeriods);
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
    }
    judgeEndpoints(&out, spans);
    return out;
}

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
    s.sine = options_.sine;
    s.tone = SineTone::forStream(rate_);

    stream = &s;
    // Hosts ask once, before they make their buffers, whether the driver uses outputReady, and
    // call it after filling the outputs in each switch only if it does.
    if (options_.outputReady) {
        s.outputReadyResult.store(driver_->outputReady());
        s.outputReadyWanted = s.outputReadyResult.load() == ASE_OK;
    }
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

int probeDriver(const Options& options, const CLSID& clsid, const std::string& label) {
    Probe probe(options, clsid, label);
    return probe.run();
}

} // namespace probe
