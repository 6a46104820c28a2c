#include "attribution.h"

#include <algorithm>
#include <cmath>

namespace probe {

std::vector<CallbackSpan> callbackSpans(const std::vector<SwitchRecord>& records) {
    std::vector<CallbackSpan> spans;
    for (const SwitchRecord& r : records)
        spans.push_back({r.seconds, r.doneSeconds});
    return spans;
}

void judgeEndpoints(EndpointSlack* slack, const std::vector<CallbackSpan>& spans) {
    EndpointSlack& out = *slack;
    for (int flow = 0; flow < 2; ++flow)
        if (out.known[flow])
            out.summary[flow] = summarizeSlack(out.periods[flow], out.periodSeconds[flow]);
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
}

int64_t missedByDriver(const SwitchSummary& sum, const EndpointSlack& slack) {
    return sum.missed > 0 ? std::max<int64_t>(0, sum.missed - slack.slipped) : sum.missed;
}

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

double slackMinimum(const EndpointSlack& slack) {
    double m = 1e9;
    for (int f = 0; f < 2; ++f)
        if (slack.known[f] && slack.summary[f].periods) m = std::min(m, slack.summary[f].min);
    return m;
}

LostCapture lostCapture(const EndpointSlack& slack, const std::vector<CallbackSpan>& spans) {
    LostCapture l;
    l.known = slack.known[1];
    for (const PeriodTiming& p : slack.periods[1]) {
        if (p.slack() >= 0) {
            l.overtaken += p.hasEvent && p.firstCall - p.event > slack.periodSeconds[1] &&
                           explain(slack, 1, p, spans).cause == Cause::LateWake;
            continue;
        }
        ++l.all;
        if (explain(slack, 1, p, spans).cause == Cause::LateWake) ++l.lateWakes;
    }
    l.simulator = size_t(std::max<int64_t>(
        0, std::min<int64_t>(slack.slippedCapture, int64_t(l.all - l.lateWakes))));
    return l;
}

std::vector<int64_t> stallFrames(const std::vector<SwitchRecord>& records, int32_t bufferFrames,
                                 double rate, const EndpointSlack& slack,
                                 const std::vector<size_t>& resyncAt) {
    std::vector<int64_t> late;
    const size_t received = records.size();
    const double period = double(bufferFrames) / rate;
    for (size_t i = 1; i < received; ++i)
        if (records[i].seconds - records[i - 1].seconds > 1.5 * period)
            late.push_back(int64_t(i) * bufferFrames);
    // An endpoint's moment, as the stream frame of the switch that came next.
    auto frameAt = [&](double seconds) {
        size_t lo = 0, hi = received;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (records[mid].seconds < seconds)
                lo = mid + 1;
            else
                hi = mid;
        }
        return int64_t(lo) * bufferFrames;
    };
    for (int flow = 0; flow < 2; ++flow)
        for (const PeriodTiming& p : slack.periods[flow])
            if (p.slack() < 0) late.push_back(frameAt(p.deadline));
    for (size_t at : resyncAt)
        late.push_back(int64_t(at) * bufferFrames);
    return late;
}

Stretch longestStretch(std::vector<int64_t> stalls, int64_t begin, int64_t end, int64_t before,
                       int64_t after) {
    std::sort(stalls.begin(), stalls.end());
    Stretch best{begin, begin};
    int64_t clear = begin; // the first frame no stall so far reaches
    auto consider = [&](int64_t to) {
        to = std::min(to, end);
        if (to - clear > best.frames()) best = {clear, to};
    };
    for (int64_t s : stalls) {
        consider(s - before);
        clear = std::max(clear, s + after);
    }
    consider(end);
    return best;
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

} // namespace probe
