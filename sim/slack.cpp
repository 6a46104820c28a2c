// How long before each deadline the client's buffer arrived, and how often each method was
// called: the figures IVlasimMeter reads. Guarded by State::m, like everything it observes.
#include "sim/slack.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {

namespace {

LONGLONG now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

constexpr size_t kMaxRecords = size_t(1) << 18;

struct Track {
    const Stream* stream = nullptr; // compared only: the stream may be gone
    UINT32 periodFrames = 0, rate = 0;
    std::vector<VlasimPeriod> records;
    LONGLONG lastTick = 0;       // the latest tick of the stream
    LONGLONG firstCall = 0;      // the client's first call since then (0: none yet)
    LONGLONG firstCallEvent = 0; // the tick before that call

    // Render: frames released and played, and the latest releases with the running total
    // at their end, so that the tick that plays a frame finds the release that brought it.
    struct Release {
        uint64_t end;
        LONGLONG at, event, first;
    };
    Release releases[64] = {};
    unsigned releaseCount = 0;
    uint64_t released = 0, played = 0;
    // Render ticks that came short, waiting for the release that brings their frames;
    // capture packets dropped unread, waiting for the client's next release.
    // `event` is the tick before the deadline, which asked for the buffer, and `first` the
    // client's first call after it (0: none before the deadline).
    struct Pending {
        uint64_t need, tick;
        LONGLONG deadline, event, first;
    };
    Pending pending[16] = {};
    unsigned pendingCount = 0;

    // Capture: recent tick times by tick number, released packets waiting for the tick that
    // would have overwritten them, and drops seen so far.
    LONGLONG tickAt[256] = {};
    struct Taken {
        uint64_t deadlineTick;
        LONGLONG at, event, first;
    };
    Taken taken[64] = {};
    unsigned takenCount = 0;
    uint64_t drops = 0;

    void add(uint64_t tick, LONGLONG event, LONGLONG first, LONGLONG at, LONGLONG deadline) {
        if (records.size() < kMaxRecords) records.push_back({tick, event, first, at, deadline});
    }
};

Track tracks[2];

struct OpCount {
    const char* op;
    uint64_t n[2]; // render or none, capture
};
OpCount ops[96];
unsigned opCount = 0;

Track& trackOf(const Stream& s) {
    return tracks[s.ep->flow == Flow::Capture ? 1 : 0];
}

} // namespace

void slackCall(const char* op, Flow flow) {
    unsigned i = 0;
    while (i < opCount && ops[i].op != op && strcmp(ops[i].op, op) != 0)
        ++i;
    if (i == opCount) {
        if (opCount == sizeof ops / sizeof ops[0]) return;
        ops[opCount++] = {op, {0, 0}};
    }
    ++ops[i].n[flow == Flow::Capture ? 1 : 0];
    if (flow == Flow::Any) return;
    Track& t = tracks[int(flow)];
    if (!t.firstCall) {
        t.firstCall = now();
        t.firstCallEvent = t.lastTick;
    }
}

void slackPrepare() {
    // Made before any stream starts: reserving megabytes in the first Start would delay the
    // client's next call (the other direction's Start) by as long, which no device does.
    for (Track& t : tracks)
        t.records.reserve(kMaxRecords);
}

void slackStart(const Stream& s) {
    Track& t = trackOf(s);
    std::vector<VlasimPeriod> records; // made once: every stream reuses it
    records.swap(t.records);
    t = Track();
    t.records.swap(records);
    t.records.clear();
    t.stream = &s;
    t.periodFrames = s.periodFrames;
    t.rate = s.fmt.Format.nSamplesPerSec;
    t.records.reserve(kMaxRecords); // made by slackPrepare: the clock thread never reallocates
    // Frames released before Start (a pre-fill) count as arriving at Start.
    if (s.queued) {
        t.released = s.queued;
        t.releases[t.releaseCount++] = {s.queued, now(), 0, now()};
    }
}

void slackTick(const Stream& s, uint64_t qpc, UINT32 queuedBefore) {
    Track& t = trackOf(s);
    if (t.stream != &s) return;
    const LONGLONG at = LONGLONG(qpc);
    if (s.ep->flow == Flow::Render) {
        UINT32 take = std::min(queuedBefore, s.periodFrames);
        if (take == s.periodFrames) {
            // The release that brought the last frame this tick plays.
            uint64_t last = t.played + take - 1;
            for (unsigned k = 0; k < std::min(t.releaseCount, 64u); ++k) {
                const Track::Release& r = t.releases[(t.releaseCount - 1 - k) % 64];
                uint64_t start = k + 1 < std::min(t.releaseCount, 64u)
                                     ? t.releases[(t.releaseCount - 2 - k) % 64].end
                                     : 0;
                if (start <= last && last < r.end) {
                    t.add(s.ticks, r.event, r.first, r.at, at);
                    break;
                }
            }
        } else if (s.delivered && t.pendingCount < 16) {
            // A missed period: its frames come with a later release, after this deadline.
            t.pending[t.pendingCount++] = {t.played + s.periodFrames, s.ticks, at, t.lastTick,
                                           t.firstCall};
        }
        t.played += take;
    } else {
        t.tickAt[s.ticks % 256] = at;
        uint64_t drops = s.ep->st.discontinuities;
        if (drops > t.drops && t.pendingCount < 16)
            t.pending[t.pendingCount++] = {0, s.ticks, at, t.lastTick, t.firstCall};
        t.drops = drops;
        unsigned kept = 0;
        for (unsigned k = 0; k < t.takenCount; ++k) {
            const Track::Taken& p = t.taken[k];
            if (p.deadlineTick == s.ticks)
                t.add(s.ticks, p.event, p.first, p.at, at);
            else
                t.taken[kept++] = p;
        }
        t.takenCount = kept;
    }
    t.lastTick = at;
    t.firstCall = 0;
}

void slackRelease(const Stream& s, UINT32 frames) {
    Track& t = trackOf(s);
    if (t.stream != &s || frames == 0) return;
    const LONGLONG at = now();
    const LONGLONG event = t.firstCall ? t.firstCallEvent : t.lastTick;
    const LONGLONG first = t.firstCall ? t.firstCall : at;
    // Periods already past their deadline take this release as their late arrival.
    unsigned kept = 0;
    uint64_t released = t.released + (s.ep->flow == Flow::Render ? frames : 0);
    for (unsigned k = 0; k < t.pendingCount; ++k) {
        const Track::Pending& p = t.pending[k];
        if (p.need <= released)
            t.add(p.tick, p.event, p.first ? p.first : first, at, p.deadline);
        else
            t.pending[kept++] = p;
    }
    t.pendingCount = kept;
    if (s.ep->flow == Flow::Render) {
        t.released = released;
        t.releases[t.releaseCount++ % 64] = {released, at, event, first};
        return;
    }
    // Capture: the packet's tick is the event that announced it; the buffer holds this many
    // packets.
    const uint64_t tick = s.reading.tick;
    if (tick == 0 || tick > s.ticks || s.ticks - tick >= 256) return;
    const LONGLONG announced = t.tickAt[tick % 256];
    const LONGLONG reached = t.firstCall && t.firstCallEvent >= announced ? t.firstCall : at;
    const uint64_t capacity = std::max<UINT32>(1, s.bufferFrames / s.periodFrames);
    uint64_t deadline = tick + capacity;
    if (deadline <= s.ticks) {
        t.add(deadline, announced, reached, at, t.tickAt[deadline % 256]); // late
    } else if (t.takenCount < 64) {
        t.taken[t.takenCount++] = {deadline, at, announced, reached};
    }
}

HRESULT meterStream(UINT32 flow, VlasimStream* out) {
    if (!out) return E_POINTER;
    *out = {};
    if (flow > 1) return E_INVALIDARG;
    State& g = state();
    std::lock_guard<std::mutex> l(g.m);
    const Track& t = tracks[flow];
    if (!t.stream) return S_FALSE;
    const Endpoint* e = g.latest[flow].get();
    out->periodFrames = t.periodFrames;
    out->rate = t.rate;
    out->recorded = t.records.size();
    if (e) {
        out->periods = e->st.periods;
        out->slippedPeriods = UINT64(std::ceil(e->st.clockSlipPeriods - 1e-9));
    }
    return S_OK;
}

HRESULT meterPeriods(UINT32 flow, UINT64 first, UINT32 capacity, VlasimPeriod* out,
                     UINT32* copied) {
    if (!copied || (capacity && !out)) return E_POINTER;
    *copied = 0;
    if (flow > 1) return E_INVALIDARG;
    std::lock_guard<std::mutex> l(state().m);
    const std::vector<VlasimPeriod>& r = tracks[flow].records;
    if (first >= r.size()) return S_OK;
    size_t n = std::min<size_t>(capacity, r.size() - first);
    std::copy(r.begin() + first, r.begin() + first + n, out);
    *copied = UINT32(n);
    return S_OK;
}

HRESULT meterCalls(const char* op, UINT32 flow, UINT64* count) {
    if (!op || !count) return E_POINTER;
    *count = 0;
    std::lock_guard<std::mutex> l(state().m);
    const bool all = strcmp(op, "*") == 0;
    for (unsigned i = 0; i < opCount; ++i)
        if (all || strcmp(ops[i].op, op) == 0)
            *count += flow == 2 ? ops[i].n[0] + ops[i].n[1] : flow < 2 ? ops[i].n[flow] : 0;
    return S_OK;
}

} // namespace sim
