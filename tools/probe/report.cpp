// The report: what the driver offers, how the stream went and what held up its late periods.
#include "host.h"
#include "samples.h"
#include "session.h"
#include "text.h"
#include "wav.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace probe {

namespace {

// Rates hosts commonly offer; canSampleRate is asked about each.
const double kCommonRates[] = {8000,  11025, 16000,  22050,  32000,  44100, 48000,
                               88200, 96000, 176400, 192000, 352800, 384000};

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

} // namespace

const char* label(const char* text) {
    static char buf[64];
    snprintf(buf, sizeof buf, "  %-21s", text);
    return buf;
}

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

// Each input's round trip; none when the stream had no outputs to click or no inputs. Echoes
// beside a stall are set aside: a switch that came more than half a period late, a resync
// request (the driver telling of a dropout), and, where the endpoint reports its periods, a
// period whose buffer came late to it. What a stall does to the stream is counted elsewhere
// (missed switches, resync requests, lost capture periods).
std::vector<RoundTrip> roundTrips(const Stream& s, size_t frames, double rate,
                                  const EndpointSlack& slack) {
    std::vector<RoundTrip> trips;
    if (!s.inputs || s.infos.size() <= s.inputs) return trips;
    const std::vector<int64_t> late =
        stallFrames(s.received(), int32_t(s.bufferFrames), rate, slack, s.resyncsKept());
    for (size_t c = 0; c < s.inputs; ++c)
        trips.push_back(
            measureRoundTrip(s.recording[c].data(), frames, s.clicks, rate, int32_t(s.bufferFrames),
                             late, int64_t(s.latencyChangedAt.load()) * int64_t(s.bufferFrames)));
    return trips;
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
    int64_t missed = missedByDriver(sum, slack);
    // A switch the probe itself held up for N periods (--stall) leaves N - 1 unanswered: the
    // host's doing, not the driver's.
    const int64_t stalled =
        s.stallSwitch && received > s.stallSwitch
            ? std::min<int64_t>(std::max<int64_t>(0, missed), options_.stallPeriods - 1)
            : 0;
    missed -= stalled;
    if (missed != sum.missed)
        out("%s%lld (and %lld the simulated clock itself put off, %lld the probe's own stall)\n",
            label("missed switches"), static_cast<long long>(missed),
            static_cast<long long>(sum.missed - missed - stalled), static_cast<long long>(stalled));
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
    // The sine has no clicks to time.
    const std::vector<RoundTrip> trips =
        options_.sine ? std::vector<RoundTrip>() : roundTrips(s, frames, rate_, slack);
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
            out("%s%zu (%zu put down to late wakes%s)%s\n", label("lost capture periods"),
                lost.all, lost.lateWakes,
                lost.simulator
                    ? (", " + std::to_string(lost.simulator) + " to the simulator").c_str()
                    : "",
                lost.overtaken ? ("; " + std::to_string(lost.overtaken) +
                                  " more taken after the next by late wakes")
                                     .c_str()
                               : "");
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
    if (options_.sine)
        reportSine(frames,
                   stallFrames(records, int32_t(s.bufferFrames), rate_, slack, s.resyncsKept()));

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

} // namespace probe
