#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace probe {

SwitchSummary summarizeSwitches(const std::vector<SwitchRecord>& records, int32_t bufferFrames,
                                double sampleRate, double stopSeconds) {
    SwitchSummary s;
    s.received = records.size();
    s.periodMs = sampleRate > 0 ? 1000.0 * bufferFrames / sampleRate : 0;
    if (records.empty()) return s;

    // directProcess marks the pre-fill only when the steady switches clear it.
    size_t lead = 0;
    while (lead < records.size() && records[lead].directProcess)
        ++lead;
    s.prefill = lead < records.size() ? lead : 0;
    s.streaming = s.received - s.prefill;

    for (size_t i = 0; i < records.size(); ++i) {
        int32_t half = records[i].index;
        bool valid = half == 0 || half == 1;
        if (!valid || (i == 0 ? half != 0 : half == records[i - 1].index)) ++s.halfErrors;
        if (!records[i].positionValid ||
            (i > 0 && records[i - 1].positionValid &&
             records[i].position - records[i - 1].position != bufferFrames))
            ++s.positionErrors;
    }
    s.firstPosition = records.front().position;
    s.lastPosition = records.back().position;
    s.firstSwitchMs = 1000.0 * records.front().seconds;
    s.silenceAtEndMs = 1000.0 * (stopSeconds - records.back().seconds);

    const SwitchRecord* first = &records[s.prefill];
    const SwitchRecord* last = &records.back();
    if (s.periodMs > 0 && s.streaming > 0) {
        // A switch comes at its period's tick or late, never early. Against switch i placed
        // at i periods, the least late of a few switches finds the clock's grid at each end;
        // every period lost in between moves the grid at the end one period later.
        const double period = s.periodMs / 1000.0;
        const size_t k = std::min<size_t>(10, std::max<size_t>(1, s.streaming / 4));
        auto floorOf = [&](size_t from) {
            double m = 0;
            for (size_t i = from; i < from + k; ++i) {
                double f = first[i].seconds - double(i) * period;
                m = i == from ? f : std::min(m, f);
            }
            return m;
        };
        s.missed = std::llround((floorOf(s.streaming - k) - floorOf(0)) / period);
        s.expected = int64_t(s.streaming) + s.missed;
    }

    std::vector<double> intervals;
    for (const SwitchRecord* r = first + 1; r <= last; ++r)
        intervals.push_back(1000.0 * (r->seconds - r[-1].seconds));
    if (!intervals.empty()) {
        double sum = 0;
        for (double v : intervals)
            sum += v;
        s.meanMs = sum / double(intervals.size());
        std::sort(intervals.begin(), intervals.end());
        // Nearest rank: the smallest interval that at least 99 % of intervals do not exceed.
        size_t rank = size_t(std::ceil(0.99 * double(intervals.size())));
        s.p99Ms = intervals[std::max<size_t>(rank, 1) - 1];
        s.maxMs = intervals.back();
    }
    return s;
}

ClickTrack ClickTrack::forStream(double sampleRate, int32_t bufferFrames) {
    // Half a second, and never less than four buffers, so that an echo delayed by the
    // driver's buffering still comes back before the next click.
    ClickTrack t;
    t.interval = std::max<int64_t>(std::llround(sampleRate / 2), 4 * int64_t(bufferFrames));
    if (t.interval <= 0) t.interval = 1;
    return t;
}

void ClickTrack::render(int64_t first, int32_t* target, size_t n) const {
    for (size_t i = 0; i < n; ++i)
        target[i] = (first + int64_t(i)) % interval == 0 ? amplitude : 0;
}

SineTone SineTone::forStream(double sampleRate) {
    SineTone t;
    t.rate = std::max<int64_t>(1, std::llround(sampleRate));
    return t;
}

void SineTone::render(int64_t first, int32_t* target, size_t n) const {
    const double twoPi = 6.283185307179586476925286766559, scale = amplitude * 2147483648.0;
    for (size_t i = 0; i < n; ++i) {
        const int64_t frame = (first + int64_t(i)) % rate;
        const double cycles = double(frame * hz % rate) / double(rate);
        target[i] = int32_t(std::lround(scale * std::sin(twoPi * cycles)));
    }
}

RoundTrip measureRoundTrip(const int32_t* recording, size_t frames, const ClickTrack& clicks,
                           double sampleRate, int32_t bufferFrames,
                           const std::vector<int64_t>& lateSwitches, int64_t lockFrom) {
    RoundTrip rt;
    int64_t peak = 0;
    for (size_t i = 0; i < frames; ++i)
        peak = std::max<int64_t>(peak, std::llabs(recording[i]));
    const int64_t floor = 21474836; // -40 dBFS
    if (peak < floor) return rt;

    // Half the peak finds the onset of a click that came back attenuated or smeared.
    const int64_t threshold = peak / 2;
    for (size_t i = 0; i < frames;) {
        if (std::llabs(recording[i]) < threshold) {
            ++i;
            continue;
        }
        // The echo's peak, between frames where a resampling driver put it between two:
        // the largest sample just after the onset, refined by a parabola through it and its
        // neighbours (a click that came back whole is its own peak).
        size_t top = i;
        for (size_t k = i + 1; k < frames && k < i + 4; ++k)
            if (std::llabs(recording[k]) > std::llabs(recording[top])) top = k;
        double offset = 0;
        if (top > 0 && top + 1 < frames) {
            const double a = double(std::llabs(recording[top - 1])),
                         b = double(std::llabs(recording[top])),
                         c = double(std::llabs(recording[top + 1]));
            if (a - 2 * b + c < 0) offset = 0.5 * (a - c) / (a - 2 * b + c);
        }
        const int64_t at = std::llround(double(top) + offset), click = at - at % clicks.interval;
        const int64_t margin = 2 * int64_t(bufferFrames);
        bool disturbed = false;
        for (int64_t late : lateSwitches)
            disturbed |= late >= click - margin && late <= at + margin;
        rt.echoes.push_back({at, at % clicks.interval, disturbed});
        i += size_t(std::max<int64_t>(clicks.interval / 2, 1));
    }
    judgeRoundTrip(&rt, sampleRate, bufferFrames, lockFrom);
    return rt;
}

void judgeRoundTrip(RoundTrip* rt, double sampleRate, int32_t bufferFrames, int64_t lockFrom) {
    const std::vector<Echo>& e = rt->echoes;
    const size_t n = e.size();
    if (n == 0) return;
    rt->minFrames = rt->maxFrames = e[0].frames;
    rt->steps = 0;
    for (size_t i = 0; i < n; ++i) {
        rt->minFrames = std::min(rt->minFrames, e[i].frames);
        rt->maxFrames = std::max(rt->maxFrames, e[i].frames);
        if (i && 2 * std::llabs(e[i].frames - e[i - 1].frames) > bufferFrames) ++rt->steps;
    }
    // Every trailing run, longest first; each is judged against its own median (the lower
    // of the middle two), so the run need not be the longest to qualify. Disturbed echoes
    // count for neither.
    rt->disturbed = 0;
    size_t clean = 0; // undisturbed echoes since the driver last changed its latencies
    for (const Echo& echo : e) {
        rt->disturbed += echo.disturbed;
        clean += !echo.disturbed && echo.at >= lockFrom;
    }
    std::vector<int64_t> tail;
    rt->settledFrom = n;
    size_t held = 0; // clean echoes in the settled run
    for (size_t from = 0; from < n && rt->settledFrom == n; ++from) {
        if (e[from].disturbed) continue;
        tail.clear();
        for (size_t i = from; i < n; ++i)
            if (!e[i].disturbed) tail.push_back(e[i].frames);
        std::nth_element(tail.begin(), tail.begin() + (tail.size() - 1) / 2, tail.end());
        const int64_t median = tail[(tail.size() - 1) / 2];
        bool within = true;
        for (size_t i = from; i < n && within; ++i)
            within = e[i].disturbed || std::llabs(e[i].frames - median) <= kRoundTripTolerance;
        if (within) rt->settledFrom = from, rt->settledFrames = median, held = tail.size();
    }
    rt->constant =
        rt->exact() || (rt->settledFrom < n && 2 * held > clean &&
                        double(e[rt->settledFrom].at - lockFrom) < kLockSeconds * sampleRate);
}

SlackSummary summarizeSlack(const std::vector<PeriodTiming>& periods, double periodSeconds) {
    SlackSummary s;
    if (periods.empty() || periodSeconds <= 0) return s;
    std::vector<double> v;
    v.reserve(periods.size());
    for (const PeriodTiming& p : periods)
        v.push_back(p.slack() / periodSeconds);
    std::sort(v.begin(), v.end());
    auto rank = [&](double q) {
        return v[std::max<size_t>(size_t(std::ceil(q * double(v.size()))), 1) - 1];
    };
    s.periods = v.size();
    s.late = size_t(std::lower_bound(v.begin(), v.end(), 0.0) - v.begin());
    s.min = v.front();
    s.p1 = rank(0.01);
    s.median = rank(0.5);
    return s;
}

double tickPeriod(const std::vector<PeriodTiming>& periods) {
    std::vector<double> step;
    for (size_t i = 1; i < periods.size(); ++i) {
        uint64_t ticks = periods[i].tick - periods[i - 1].tick;
        if (periods[i].tick > periods[i - 1].tick)
            step.push_back((periods[i].deadline - periods[i - 1].deadline) / double(ticks));
    }
    if (step.empty()) return 0;
    std::vector<double> sorted = step;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double median = sorted[sorted.size() / 2];
    double sum = 0;
    size_t n = 0;
    for (double v : step)
        if (std::fabs(v - median) <= 0.01 * median) sum += v, ++n;
    return sum / double(n);
}

DelayParts explainPeriod(const PeriodTiming& p, const std::vector<CallbackSpan>& callbacks) {
    auto inCallbacks = [&](double from, double to) {
        double t = 0;
        for (const CallbackSpan& c : callbacks) {
            if (c.enter >= to) break;
            t += std::max(0.0, std::min(to, c.exit) - std::max(from, c.enter));
        }
        return t;
    };
    DelayParts d;
    if (!p.hasEvent) return d;
    double first = std::max(p.event, p.firstCall), release = std::max(first, p.release);
    double hostBefore = inCallbacks(p.event, first), hostAfter = inCallbacks(first, release);
    d.host = hostBefore + hostAfter;
    d.wake = std::max(0.0, first - p.event - hostBefore);
    d.driver = std::max(0.0, release - first - hostAfter);
    d.cause = d.host >= d.driver && d.host >= d.wake ? Cause::HostCallback
              : d.driver >= d.wake                   ? Cause::DriverPass
                                                     : Cause::LateWake;
    return d;
}

const char* causeName(Cause c) {
    switch (c) {
    case Cause::HostCallback:
        return "host callback";
    case Cause::DriverPass:
        return "driver pass";
    case Cause::LateWake:
        return "late wake";
    case Cause::OtherClock:
        return "other clock";
    }
    return "";
}

DelayParts explainCapture(const PeriodTiming& p, const std::vector<PeriodTiming>& render,
                          double renderPeriodSeconds, const std::vector<CallbackSpan>& callbacks) {
    DelayParts d = explainPeriod(p, callbacks);
    if (!p.hasEvent || d.cause != Cause::LateWake || renderPeriodSeconds <= 0) return d;
    const double first = std::max(p.event, p.firstCall);
    const PeriodTiming* pass = nullptr;
    for (const PeriodTiming& r : render)
        if (r.hasEvent &&
            (!pass || std::fabs(r.firstCall - first) < std::fabs(pass->firstCall - first)))
            pass = &r;
    if (pass && std::fabs(pass->firstCall - first) < renderPeriodSeconds / 2 &&
        explainPeriod(*pass, callbacks).wake < kLateWake * renderPeriodSeconds)
        d.cause = Cause::OtherClock;
    return d;
}

std::vector<long> sizesToTry(long minSize, long maxSize, long preferred, long granularity) {
    std::vector<long> sizes;
    if (minSize <= 0) return sizes;
    long top = std::max(minSize, preferred);
    if (maxSize >= minSize) top = std::min(top, maxSize);
    sizes.push_back(minSize);
    if (granularity == -1) {
        for (long p = 1; p < top && p <= (1L << 24); p *= 2)
            if (p > minSize) sizes.push_back(p);
    } else if (granularity > 0) {
        // Every step, or every few where that would be more than kMostSizesBetween sizes.
        const long steps = (top - minSize) / granularity;
        const long step =
            granularity * std::max(1L, (steps + kMostSizesBetween - 1) / kMostSizesBetween);
        for (long v = minSize + step; v < top; v += step)
            sizes.push_back(v);
    }
    if (top > minSize) sizes.push_back(top);
    return sizes;
}

bool safeSize(int64_t missedSwitches, bool faults, bool slackKnown, const SlackSummary& slack) {
    if (missedSwitches != 0 || faults) return false;
    return !slackKnown || (slack.periods > 0 && slack.min > kSafeSlack);
}

} // namespace probe
