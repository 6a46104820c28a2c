// Format rules, the streams' periods, the shared engine and the realtime clock.
#include "sim/internal.h"
#include "sim/slack.h"

#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sim {

// --- Formats -------------------------------------------------------------------------------

size_t formatBytes(const WAVEFORMATEX* f) {
    if (f->wFormatTag == WAVE_FORMAT_PCM) return sizeof(WAVEFORMATEX);
    return sizeof(WAVEFORMATEX) + f->cbSize;
}

bool formatAccepted(const EndpointConfig& c, const WAVEFORMATEX* f) {
    WORD valid = f->wBitsPerSample;
    bool extensible = f->wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    DWORD mask = 0;
    if (extensible) {
        if (f->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) return false;
        auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f);
        if (x->SubFormat != KSDATAFORMAT_SUBTYPE_PCM) return false;
        valid = x->Samples.wValidBitsPerSample;
        mask = x->dwChannelMask;
    } else if (f->wFormatTag != WAVE_FORMAT_PCM) {
        return false;
    }
    if (f->nChannels == 0 || f->wBitsPerSample % 8 != 0 ||
        f->nBlockAlign != f->nChannels * f->wBitsPerSample / 8 ||
        f->nAvgBytesPerSec != DWORD(f->nBlockAlign) * f->nSamplesPerSec)
        return false;
    bool layout = std::any_of(c.layouts.begin(), c.layouts.end(), [&](const ChannelLayout& l) {
        return l.channels == f->nChannels && (!extensible || l.mask == mask);
    });
    bool rate = std::find(c.rates.begin(), c.rates.end(), f->nSamplesPerSec) != c.rates.end();
    bool sample =
        std::any_of(c.sampleFormats.begin(), c.sampleFormats.end(), [&](const SampleFormat& s) {
            return s.containerBits == f->wBitsPerSample && s.validBits == valid;
        });
    return layout && rate && sample;
}

static bool isFloat(const WAVEFORMATEX* f) {
    if (f->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
    return f->wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
           f->cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) &&
           reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f)->SubFormat ==
               KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
}

bool validFormat(const WAVEFORMATEX* f) {
    bool pcm = f->wFormatTag == WAVE_FORMAT_PCM || f->wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    if (f->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (f->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) return false;
        auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f);
        pcm = (x->SubFormat == KSDATAFORMAT_SUBTYPE_PCM || isFloat(f)) &&
              x->Samples.wValidBitsPerSample <= f->wBitsPerSample;
    }
    return pcm && f->nChannels != 0 && f->nSamplesPerSec != 0 && f->wBitsPerSample % 8 == 0 &&
           f->wBitsPerSample != 0 && f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8 &&
           f->nAvgBytesPerSec == DWORD(f->nBlockAlign) * f->nSamplesPerSec;
}

// The engine takes its own format only (no AUTOCONVERTPCM): rate, channels, sample type and,
// when both say one, the channel mask must agree; a plain WAVEFORMATEX of the same float
// samples is the same format.
bool isMixFormat(const EndpointConfig& c, const WAVEFORMATEX* f) {
    const WAVEFORMATEX& m = c.mixFormat.Format;
    if (!validFormat(f) || f->nSamplesPerSec != m.nSamplesPerSec || f->nChannels != m.nChannels ||
        f->wBitsPerSample != m.wBitsPerSample || isFloat(f) != isFloat(&m))
        return false;
    auto valid = [](const WAVEFORMATEX* w) {
        return w->wFormatTag == WAVE_FORMAT_EXTENSIBLE
                   ? reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(w)->Samples.wValidBitsPerSample
                   : w->wBitsPerSample;
    };
    if (valid(f) != valid(&m)) return false;
    if (f->wFormatTag == WAVE_FORMAT_EXTENSIBLE && m.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f)->dwChannelMask ==
               c.mixFormat.dwChannelMask;
    return true;
}

// --- Streams -------------------------------------------------------------------------------

Stream::Stream(std::shared_ptr<Endpoint> e, const WAVEFORMATEXTENSIBLE& f, bool ev, UINT32 buf,
               UINT32 per, bool sh, bool lb)
    : ep(std::move(e)), fmt(f), frameBytes(f.Format.nBlockAlign), eventDriven(ev),
      bufferFrames(buf), periodFrames(per), shared(sh), loopback(lb) {
    // Everything a tick touches is made here, so that the clock thread never allocates.
    if (!captures()) {
        ring.assign(size_t(bufferFrames) * frameBytes, 0);
        staging.assign(size_t(bufferFrames) * frameBytes, 0);
        scratch.assign(size_t(periodFrames) * frameBytes, 0);
    } else {
        Packet blank;
        blank.data.assign(size_t(periodFrames) * frameBytes, 0);
        // The packets the buffer holds, and room for one the client hands back unread.
        packets.reset(std::max<UINT32>(1, bufferFrames / std::max<UINT32>(1, periodFrames)) + 1,
                      blank);
        reading = blank;
    }
    jitterSeed = uint32_t(reinterpret_cast<uintptr_t>(this) >> 4) | 1;
}

Stream::~Stream() {
    State& s = state();
    std::lock_guard<std::mutex> l(s.m);
    if (ep->holder == this) ep->holder = nullptr;
    for (auto* list : {&ep->shared, &ep->loopbacks, &s.processLoopbacks})
        list->erase(std::remove(list->begin(), list->end(), this), list->end());
    if (event) CloseHandle(event);
    s.serviced.notify_all();
}

Stream* current(const Endpoint& e) {
    if (e.holder) return e.holder;
    Stream* latest = nullptr;
    for (auto it = e.shared.rbegin(); it != e.shared.rend(); ++it)
        if ((*it)->running)
            return *it;
        else if (!latest)
            latest = *it;
    return latest;
}

UINT32 enginePeriod(const Endpoint& e) {
    for (const Stream* s : e.shared)
        if (s->setsPeriod) return s->periodFrames;
    return e.cfg.engineDefaultPeriod;
}

bool heldElsewhere(const EndpointConfig& c) {
    return c.otherStreams == OtherStreams::Exclusive ||
           c.exclusiveRefusal == AUDCLNT_E_DEVICE_IN_USE;
}

static void fireEvent(Stream& s) {
    s.eventDue = 0;
    // Before Windows 10 1703 the engine never set a loopback client's event.
    if (s.loopback && !s.ep->cfg.loopbackEvents) return;
    if (s.eventDriven && s.event) {
        SetEvent(s.event);
        if (current(*s.ep) == &s) ++s.ep->st.eventsSet;
    }
}

// On the realtime clock, with event_jitter_ms, the event is set up to that much after its
// tick's time on the grid, never before it. An event still held back when the next tick comes
// is set first, so none is lost. The device's grid, and every time it hands out, stay where
// they are.
void setEvent(Stream& s) {
    if (s.eventDue != 0 || state().clock != Clock::Realtime || !s.running) return fireEvent(s);
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    double due = gridQpc(s, double(s.gridTicks));
    const double jitterMs = s.ep->cfg.eventJitterMs;
    if (jitterMs > 0) {
        s.jitterSeed ^= s.jitterSeed << 13;
        s.jitterSeed ^= s.jitterSeed >> 17;
        s.jitterSeed ^= s.jitterSeed << 5;
        due += double(s.jitterSeed) / 4294967296.0 * jitterMs * 1e-3 * double(freq.QuadPart);
    }
    if (due <= double(now.QuadPart)) return fireEvent(s);
    s.eventDue = due;
}

// Every capture endpoint streaming what this render endpoint plays: the one listed at its
// place, and any that names it with `hears`.
template <class F> static void eachListener(const Endpoint& render, F f) {
    for (auto& cap : state().eps)
        if (cap->flow == Flow::Capture && heardBy(*cap) == &render && !gone(*cap) &&
            current(*cap) && current(*cap)->running && cap->cfg.signal == Signal::Loopback)
            f(*cap);
}

// The loopback line starts with silence whenever either side starts: the configured delay,
// and one render period more. A render tick plays the period that starts there, while the
// capture tick of the same moment delivers the period that ends there: what render plays
// reaches a capture packet one period later, as on a device, never in the packet of the
// period before it was played. A shared stream on either side adds the engine's own delay:
// one engine period, the pass in which the engine mixes a render client's buffer into the
// device buffer (or copies what the device captured into the capture client's) before the
// device plays (or after it recorded).
static void resetAir(Endpoint& cap) {
    const Stream& c = *current(cap);
    size_t frames = cap.cfg.loopbackDelayFrames;
    if (c.shared) frames += c.periodFrames;
    Endpoint* render = heardBy(cap);
    const Stream* r = render && !gone(*render) ? current(*render) : nullptr;
    if (r && r->running && r->fmt.Format.nSamplesPerSec) {
        size_t ahead = size_t(uint64_t(r->periodFrames) * c.fmt.Format.nSamplesPerSec /
                              r->fmt.Format.nSamplesPerSec);
        frames += r->shared ? 2 * ahead : ahead;
    }
    // A capture side that lags far behind (another rate, a longer period) must not grow the
    // line without bound: it keeps the delay plus a second.
    const size_t rate = c.fmt.Format.nSamplesPerSec;
    cap.air.reset((std::max(frames, size_t(cap.cfg.loopbackDelayFrames) + rate)) * c.frameBytes);
    for (size_t i = 0; i < frames * c.frameBytes; ++i)
        cap.air.push(0);
    cap.airFrame.assign(c.frameBytes, 0);
    // Across two clocks: the line's delay, a period of either side and a second are more than
    // capture reaches back for.
    const size_t renderPeriod = r ? r->periodFrames : 8192,
                 renderRate = r ? r->fmt.Format.nSamplesPerSec : 192000;
    cap.heard.reset((cap.cfg.loopbackDelayFrames + 2 * renderPeriod + c.periodFrames + renderRate) *
                    c.fmt.Format.nChannels);
    cap.heardFirst = r ? r->framesDone : 0;
}

static void record(Endpoint& e, const BYTE* p, size_t n) {
    // Within what Start reserved: the clock thread never reallocates a long recording.
    size_t room = e.rec.capacity() - e.rec.size();
    e.rec.insert(e.rec.end(), p, p + std::min(n, room));
}

// --- Device clocks -------------------------------------------------------------------------
//
// The rate is 1 + (ppm + wander sin(2 pi t / T)) 10^-6 device seconds per second, so device time
// is its integral; the inverse is a few Newton steps (the rate is within 1 % of one).

static constexpr double kTwoPi = 6.283185307179586;

static double wanderOf(const DeviceClock& c, double t) {
    if (c.wanderPpm == 0 || c.wanderSeconds <= 0) return 0;
    return c.wanderPpm * c.wanderSeconds / kTwoPi * (1 - std::cos(kTwoPi * t / c.wanderSeconds));
}

double DeviceClock::atSeconds(double t) const {
    return t + 1e-6 * (ppm * t + wanderOf(*this, t));
}

double DeviceClock::secondsOf(double device) const {
    double t = device / (1 + ppm * 1e-6);
    for (int i = 0; i < 4; ++i) {
        double rate = 1 + 1e-6 * ppm;
        if (wanderPpm != 0 && wanderSeconds > 0)
            rate += 1e-6 * wanderPpm * std::sin(kTwoPi * t / wanderSeconds);
        t -= (atSeconds(t) - device) / rate;
    }
    return t;
}

double DeviceClock::at(double qpc) const {
    return atSeconds((qpc - epoch) / freq);
}

double DeviceClock::qpcOf(double device) const {
    return epoch + secondsOf(device) * freq;
}

bool sameClock(const Endpoint& a, const Endpoint& b) {
    return IsEqualGUID(a.cfg.containerId, b.cfg.containerId) != 0;
}

static double periodSeconds(const Stream& s) {
    return double(s.periodFrames) / s.fmt.Format.nSamplesPerSec;
}

double gridQpc(const Stream& s, double tick) {
    return s.ep->clock.qpcOf(s.gridOrigin + tick * periodSeconds(s));
}

double periodTicks(const Stream& s, double qpcFrequency) {
    return qpcFrequency * periodSeconds(s) / (1 + s.ep->clock.ppm * 1e-6);
}

static void catchUp(double t);

void startStream(Stream& s) {
    Endpoint& e = *s.ep;
    {
        // What the devices did by now is done before this stream joins them, whether or not
        // the simulator's thread has got there: a line reset now must not be read by a tick
        // that was due before it.
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        catchUp(double(now.QuadPart));
    }
    if (!s.started && !s.loopback) { // a loopback stream keeps out of the endpoint's figures
        s.started = true;
        if (e.cfg.clockStallMs) {
            LARGE_INTEGER now, hz;
            QueryPerformanceCounter(&now);
            QueryPerformanceFrequency(&hz);
            state().clockStallAt =
                double(now.QuadPart) + double(e.cfg.clockStallAfterMs) * 1e-3 * double(hz.QuadPart);
            state().clockStallAtMs = e.cfg.clockStallMs;
        }
        state().latest[int(e.flow)] = s.ep;
        e.st = Stats{};
        e.st.missedAt.reserve(1024);
        e.st.slipAt.reserve(1024);
        // The whole recording at once: growing it tick by tick would reallocate and copy
        // megabytes on the clock thread.
        std::vector<BYTE>().swap(e.rec);
        if (state().keepRecordings) e.rec.reserve(e.cfg.recordLimitBytes);
        slackStart(s);
    }
    s.running = true;
    s.eventDue = 0;
    s.framesDone = 0;
    s.idlePasses = s.heardBefore = false;
    for (size_t k = 0; k < s.taken.size() && k < state().eps.size(); ++k)
        s.taken[k] = state().eps[k]->mixRound; // what was mixed before Start is not heard
    s.gridTicks = 0;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const DeviceClock& clock = e.clock;
    const double period = periodSeconds(s);
    double first = clock.at(double(now.QuadPart)) + period; // device seconds of the first tick
    // One device clock: a stream that starts while the other direction runs with the same
    // period joins that stream's grid, however long after it the client called Start; with a
    // clock_phase it keeps that phase to the grid (on another device's clock, at Start only:
    // from then on the two drift apart). The shared streams of one endpoint run on the
    // engine's grid, as one. A capture endpoint that hears another place's render endpoint
    // joins that one's grid.
    Endpoint* other = e.flow == Flow::Capture ? heardBy(e) : pairOf(e);
    auto samePeriod = [&](const Stream& p) {
        return &p != &s && p.running &&
               uint64_t(p.periodFrames) * s.fmt.Format.nSamplesPerSec ==
                   uint64_t(s.periodFrames) * p.fmt.Format.nSamplesPerSec;
    };
    const Stream* partner = nullptr;
    double phase = 0;
    eachStream(e, [&](Stream& p) {
        if (!partner && samePeriod(p)) partner = &p;
    });
    if (!partner && other && !gone(*other))
        eachStream(*other, [&](Stream& p) {
            if (!partner && samePeriod(p)) {
                partner = &p;
                phase = e.cfg.clockPhase - other->cfg.clockPhase;
            }
        });
    if (partner) {
        first = clock.at(partner->nextDue) + period * phase;
        while (clock.qpcOf(first) < double(now.QuadPart))
            first += period;
    } else {
        first += period * e.cfg.clockPhase;
    }
    first += period * e.cfg.startLatePeriods;
    s.gridOrigin = first - period;
    s.nextDue = clock.qpcOf(first);
    if (!s.captures()) {
        if (current(e) == &s) eachListener(e, [](Endpoint& cap) { resetAir(cap); });
        // Nothing released: the first period plays whatever the buffer held.
        if (s.queued == 0) ++e.st.startGlitches;
        // The event means "a period's worth can be written": true at once when not pre-filled.
        if (s.queued + s.periodFrames <= s.bufferFrames) setEvent(s);
    } else if (e.cfg.signal == Signal::Loopback && current(e) == &s) {
        resetAir(e);
    }
}

// How a stream's samples are stored: 16-bit or 32-bit integers, or 32-bit floats.
struct SampleType {
    explicit SampleType(const WAVEFORMATEXTENSIBLE& f)
        : bits(f.Format.wBitsPerSample),
          valid(f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? f.Samples.wValidBitsPerSample
                                                              : f.Format.wBitsPerSample),
          real(isFloat(&f.Format)) {}
    WORD bits, valid;
    bool real;
};

// Sample access as a 32-bit left-aligned value. Floats are full scale at 1.0, as the engine's
// are, so a 24-bit integer passes through a float exactly (a float holds 24 bits of mantissa).
static int32_t readSample(const BYTE* p, const SampleType& t) {
    if (t.bits == 16) {
        int16_t v;
        memcpy(&v, p, 2);
        return int32_t(uint32_t(int32_t(v)) << 16);
    }
    if (t.real) {
        float f;
        memcpy(&f, p, 4);
        double x = std::max(-2147483648.0, std::min(double(f) * 2147483648.0, 2147483647.0));
        return int32_t(x);
    }
    int32_t v;
    memcpy(&v, p, 4);
    return v;
}

static void writeSample(BYTE* p, const SampleType& t, int32_t v) {
    if (t.bits == 16) {
        int16_t w = int16_t(v >> 16);
        memcpy(p, &w, 2);
        return;
    }
    if (t.real) {
        float f = float(double(v) / 2147483648.0);
        memcpy(p, &f, 4);
        return;
    }
    if (t.valid < 32) v = int32_t(uint32_t(v) & ~((1u << (32 - t.valid)) - 1));
    memcpy(p, &v, 4);
}

// Render output reaching the loopback line: channels mapped by index, the rest silent.
static void feedAir(Endpoint& cap, const Stream& r, const BYTE* frames, UINT32 n) {
    const Stream& c = *current(cap);
    const SampleType rt(r.fmt), ct(c.fmt);
    WORD rch = r.fmt.Format.nChannels, cch = c.fmt.Format.nChannels;
    if (cap.airFrame.size() != c.frameBytes) return; // the line was made for another stream
    for (UINT32 i = 0; i < n; ++i) {
        std::fill(cap.airFrame.begin(), cap.airFrame.end(), BYTE(0));
        for (WORD ch = 0; ch < std::min(rch, cch); ++ch)
            writeSample(&cap.airFrame[ch * (ct.bits / 8)], ct,
                        readSample(frames + size_t(i) * r.frameBytes + ch * (rt.bits / 8), rt));
        for (BYTE b : cap.airFrame)
            cap.air.push(b); // a full line drops its oldest
    }
}

// Render output reaching a capture endpoint on another clock: kept as played, by render frame,
// for capture to sample at the times its own clock records.
static void feedHeard(Endpoint& cap, const Stream& r, const BYTE* frames, UINT32 n) {
    const Stream& c = *current(cap);
    const SampleType rt(r.fmt);
    const WORD rch = r.fmt.Format.nChannels, cch = c.fmt.Format.nChannels;
    const size_t room = cap.heard.capacity() / cch;
    if (room < n) return;
    if (cap.heard.empty()) cap.heardFirst = r.framesDone - n;
    // Room for this period, the oldest frames going first.
    const size_t have = cap.heard.size() / cch;
    if (have + n > room) {
        cap.heard.popFront((have + n - room) * cch);
        cap.heardFirst += have + n - room;
    }
    for (UINT32 i = 0; i < n; ++i)
        for (WORD ch = 0; ch < cch; ++ch)
            cap.heard.push(
                ch < rch ? readSample(frames + size_t(i) * r.frameBytes + ch * (rt.bits / 8), rt)
                         : 0);
}

// A sample as a real number, full scale at 1.0: floats as they are, so that the engine's mix
// of one stream is that stream bit for bit.
static double readReal(const BYTE* p, const SampleType& t) {
    if (t.real && t.bits == 32) {
        float f;
        memcpy(&f, p, 4);
        return f;
    }
    return readSample(p, t) / 2147483648.0;
}

static void writeReal(BYTE* p, const SampleType& t, double v) {
    if (t.real && t.bits == 32) {
        const float f = float(v);
        memcpy(p, &f, 4);
        return;
    }
    writeSample(
        p, t,
        int32_t(std::max(-2147483648.0, std::min(std::round(v * 2147483648.0), 2147483647.0))));
}

// The device seconds of a stream's latest tick: on one endpoint, the engine's pass.
static double passOf(const Stream& s) {
    return s.gridOrigin + double(s.gridTicks) * periodSeconds(s);
}

// The engine's mix is of this pass: a stream of the endpoint ticked in this round.
static bool mixedNow(const Endpoint& e) {
    return e.mixRound == state().round;
}

// A shared render stream's period into the engine's mix of this pass, channels by index, in
// floats as the engine adds them. Rates are not converted: a stream at another rate than the
// mix format's adds its own period's frames.
static void mixIn(Endpoint& e, const Stream& s, const BYTE* frames, UINT32 n) {
    const WORD mc = std::max<WORD>(1, e.cfg.mixFormat.Format.nChannels);
    if (!mixedNow(e)) {
        std::fill(e.mix.begin(), e.mix.end(), 0.0f);
        e.mixFrames = 0;
        e.mixRound = state().round;
    }
    const SampleType t(s.fmt);
    n = std::min<UINT32>(n, UINT32(e.mix.size() / mc));
    const WORD ch = std::min(mc, s.fmt.Format.nChannels);
    for (UINT32 i = 0; i < n; ++i)
        for (WORD c = 0; c < ch; ++c)
            e.mix[size_t(i) * mc + c] +=
                float(readReal(frames + size_t(i) * s.frameBytes + c * (t.bits / 8), t));
    e.mixFrames = std::max(e.mixFrames, n);
}

static void tickRender(Stream& s, Stats& k) {
    Endpoint& e = *s.ep;
    UINT32 p = s.periodFrames;
    // A Start that took effect late: until render's first period the cable carried silence,
    // and capture's periods before it took none of the line.
    if (s.framesDone == 0 && e.cfg.startLatePeriods > 0 && current(e) == &s)
        eachListener(e, [](Endpoint& cap) { resetAir(cap); });
    std::vector<BYTE>& out = s.scratch;
    std::fill(out.begin(), out.end(), BYTE(0));
    UINT32 take = std::min(s.queued, p);
    for (UINT32 i = 0; i < take; ++i) {
        memcpy(&out[size_t(i) * s.frameBytes], &s.ring[size_t(s.ringRead) * s.frameBytes],
               s.frameBytes);
        s.ringRead = (s.ringRead + 1) % s.bufferFrames;
    }
    s.queued -= take;
    if (take < p) {
        if (s.delivered) {
            ++k.missedPeriods;
            if (k.missedAt.size() < 1024) k.missedAt.push_back(s.ticks);
        } else {
            ++k.leadingSilentPeriods;
        }
    }
    k.framesPlayed += p;
    s.framesDone += p;
    // The engine's mix, for whoever listens to it.
    if (s.shared && !(e.loopbacks.empty() && state().processLoopbacks.empty()))
        mixIn(e, s, out.data(), p);
    // Several shared streams of ours would be mixed by the engine; the recording and the line
    // follow one of them (the latest started), which is all a client of the sim needs.
    if (current(e) == &s) {
        record(e, out.data(), out.size());
        eachListener(e, [&](Endpoint& cap) {
            if (sameClock(e, cap))
                feedAir(cap, s, out.data(), p);
            else
                feedHeard(cap, s, out.data(), p);
        });
    }
    setEvent(s);
}

// The weights of 6-point Lagrange interpolation at fraction f between samples 0 and 1, for
// samples -2 .. 3: it passes through every sample (a click stays a click, peaking where the
// continuous signal does) and, unlike a cubic, leaves a 997 Hz sine at 48 kHz clean to about
// 150 dB, below the 24-bit samples' own noise.
static void lagrange6(double f, double w[6]) {
    const double a = f + 2, b = f + 1, c = f, d = f - 1, e = f - 2, g = f - 3;
    w[0] = -b * c * d * e * g / 120;
    w[1] = a * c * d * e * g / 24;
    w[2] = -a * b * d * e * g / 12;
    w[3] = a * b * c * e * g / 12;
    w[4] = -a * b * c * d * g / 24;
    w[5] = a * b * c * d * e / 120;
}

// Capture on another clock than the render endpoint it hears, as through a cable: each frame
// takes render's signal at the moment this device recorded it, less the line's delay,
// interpolated between render's frames. Same-clock pairs take the frames themselves,
// bit-exact, from the air.
static void hearAcross(Stream& s, BYTE* out, UINT32 n) {
    Endpoint& cap = *s.ep;
    memset(out, 0, size_t(n) * s.frameBytes);
    Endpoint* render = heardBy(cap);
    const Stream* r = render && !gone(*render) ? current(*render) : nullptr;
    if (!r || !r->started || cap.heard.empty()) return;
    const SampleType ct(s.fmt);
    const WORD cch = s.fmt.Format.nChannels;
    // A shared stream records a period later, on its engine's (this device's) clock.
    const double engine = s.shared ? s.periodFrames : 0;
    // Render plays a period after its tick takes it, one more through a shared engine.
    const double ahead = double(r->periodFrames) * (r->shared ? 2 : 1);
    const double rc = s.fmt.Format.nSamplesPerSec, rr = r->fmt.Format.nSamplesPerSec;
    // The line's delay is the same in seconds whatever either clock does: a cable does not
    // lengthen when the device that samples it runs slow.
    const double line = double(cap.cfg.loopbackDelayFrames) / rc;
    // From one clock to the other in seconds since each one's epoch, never through the
    // counter's own large values.
    const double shift = (cap.clock.epoch - render->clock.epoch) / cap.clock.freq;
    auto heardAt = [&](double m) { // the render frame that capture frame m hears
        double when = cap.clock.secondsOf(s.gridOrigin + (m - engine) / rc) - line + shift;
        return (render->clock.atSeconds(when) - r->gridOrigin) * rr - ahead;
    };
    // Over a period the mapping is a parabola far below a picosecond's error, even while the
    // clocks wander.
    const double m0 = double(s.gridTicks - 1) * s.periodFrames;
    const double x0 = heardAt(m0), xm = heardAt(m0 + n / 2.0), x1 = heardAt(m0 + n);
    const double slope = -3 * x0 + 4 * xm - x1, bend = 2 * x0 - 4 * xm + 2 * x1;
    const int64_t have = int64_t(cap.heard.size() / cch);
    for (UINT32 i = 0; i < n; ++i) {
        const double u = double(i) / n, x = x0 + u * (slope + u * bend);
        const double whole = std::floor(x);
        double w[6];
        lagrange6(x - whole, w);
        const int64_t k = int64_t(whole) - int64_t(cap.heardFirst);
        for (WORD ch = 0; ch < cch; ++ch) {
            double v = 0;
            for (int j = 0; j < 6; ++j) {
                const int64_t at = k - 2 + j;
                if (at >= 0 && at < have) v += w[j] * double(cap.heard[size_t(at) * cch + ch]);
            }
            v = std::max(-2147483648.0, std::min(std::round(v), 2147483647.0));
            writeSample(out + size_t(i) * s.frameBytes + ch * (ct.bits / 8), ct, int32_t(v));
        }
    }
}

static bool hearsAcross(const Endpoint& cap) {
    const Endpoint* render = heardBy(cap);
    return render && !sameClock(*render, cap);
}

static void generate(Stream& s, BYTE* out, UINT32 n) {
    const EndpointConfig& c = s.ep->cfg;
    const SampleType type(s.fmt);
    WORD bits = type.bits;
    WORD channels = s.fmt.Format.nChannels;
    size_t bytes = size_t(n) * s.frameBytes;
    switch (c.signal) {
    case Signal::Silence:
        memset(out, 0, bytes);
        break;
    case Signal::Loopback: {
        if (hearsAcross(*s.ep)) {
            hearAcross(s, out, n);
            break;
        }
        Ring<BYTE>& air = s.ep->air;
        size_t have = std::min(bytes, air.size());
        for (size_t i = 0; i < have; ++i)
            out[i] = air[i];
        air.popFront(have);
        memset(out + have, 0, bytes - have);
        break;
    }
    case Signal::Counter:
        for (UINT32 i = 0; i < n; ++i)
            for (WORD ch = 0; ch < channels; ++ch) {
                int32_t v = counterSample(ch, s.capturePos + i, bits);
                BYTE* p = out + size_t(i) * s.frameBytes + ch * (bits / 8);
                if (bits == 16) {
                    int16_t w = int16_t(v);
                    memcpy(p, &w, 2);
                } else {
                    writeSample(p, type, v);
                }
            }
        break;
    case Signal::Sine: {
        const double twoPi = 6.283185307179586;
        for (UINT32 i = 0; i < n; ++i) {
            double x = c.sineAmplitude * std::sin(twoPi * c.sineHz * double(s.capturePos + i) /
                                                  s.fmt.Format.nSamplesPerSec);
            int32_t v = int32_t(std::lround(std::max(-1.0, std::min(x, 1.0)) * 2147483647.0));
            for (WORD ch = 0; ch < channels; ++ch)
                writeSample(out + size_t(i) * s.frameBytes + ch * (bits / 8), type, v);
        }
        break;
    }
    }
}

// The engine plays on a render endpoint while one of its shared streams runs (it ticked in
// this pass) or another program's does.
static bool enginePlays(const Stream& loop) {
    const Endpoint& e = *loop.ep;
    return mixedNow(e) || e.cfg.otherStreams == OtherStreams::Shared;
}

// What another program plays on a render endpoint: channel ch of frame f of the device's time
// (so its signal runs on between passes and streams), full scale at 1.0.
static double otherSample(const EndpointConfig& c, WORD ch, uint64_t f, double rate) {
    if (c.otherStreams != OtherStreams::Shared) return 0;
    if (c.otherSignal == Signal::Sine)
        return c.sineAmplitude * std::sin(kTwoPi * c.sineHz * double(f) / rate);
    if (c.otherSignal == Signal::Counter) return counterSample(ch, f, 32) / 2147483648.0;
    return 0;
}

// The device's frame at the start of the period a stream's latest tick ended.
static uint64_t periodStart(const Stream& s) {
    return uint64_t(std::llround((passOf(s) - periodSeconds(s)) * s.fmt.Format.nSamplesPerSec));
}

// A loopback packet: the engine's mix of this pass, and what another program plays, in the
// loopback stream's format (the mix format, or converted by sample type and channel index).
static void takeMix(Stream& s, BYTE* out, UINT32 n) {
    const Endpoint& e = *s.ep;
    const EndpointConfig& c = e.cfg;
    const SampleType t(s.fmt);
    const WORD ch = s.fmt.Format.nChannels, mc = std::max<WORD>(1, c.mixFormat.Format.nChannels);
    const UINT32 mixed = mixedNow(e) ? e.mixFrames : 0;
    const double rate = s.fmt.Format.nSamplesPerSec;
    const uint64_t first = periodStart(s);
    for (UINT32 i = 0; i < n; ++i)
        for (WORD j = 0; j < ch; ++j) {
            double v = i < mixed && j < mc ? double(e.mix[size_t(i) * mc + j]) : 0.0;
            v = float(v + otherSample(c, j, first + i, rate)); // the engine adds in floats
            writeReal(out + size_t(i) * s.frameBytes + j * (t.bits / 8), t, v);
        }
}

// A process loopback packet: across every render endpoint, the mixes of our streams made since
// it last took one (at most one a pass: endpoints on other clocks lose or miss a period now and
// then, unconverted), or what the other programs play; silence where nothing plays.
static void takeProcess(Stream& s, BYTE* out, UINT32 n) {
    const SampleType t(s.fmt);
    const WORD ch = s.fmt.Format.nChannels;
    const double rate = s.fmt.Format.nSamplesPerSec;
    const uint64_t first = periodStart(s);
    std::fill(s.sum.begin(), s.sum.end(), 0.0f);
    n = std::min<UINT32>(n, UINT32(s.sum.size() / std::max<WORD>(1, ch)));
    const auto& eps = state().eps;
    for (size_t k = 0; k < eps.size() && k < s.taken.size(); ++k) {
        const Endpoint& e = *eps[k];
        if (e.flow != Flow::Render || gone(e)) continue;
        const WORD mc = std::max<WORD>(1, e.cfg.mixFormat.Format.nChannels);
        const bool fresh = s.tap == Tap::OurStreams && e.mixRound > s.taken[k];
        if (fresh) s.taken[k] = e.mixRound;
        for (UINT32 i = 0; i < n; ++i)
            for (WORD j = 0; j < ch; ++j) {
                float& v = s.sum[size_t(i) * ch + j];
                if (fresh && i < e.mixFrames && j < mc) v += e.mix[size_t(i) * mc + j];
                if (s.tap == Tap::OtherPrograms)
                    v = float(v + otherSample(e.cfg, j, first + i, rate));
            }
    }
    for (UINT32 i = 0; i < n; ++i)
        for (WORD j = 0; j < ch; ++j)
            writeReal(out + size_t(i) * s.frameBytes + j * (t.bits / 8), t,
                      s.sum[size_t(i) * ch + j]);
}

static void tickCapture(Stream& s, Stats& k) {
    Endpoint& e = *s.ep;
    if (s.loopback && s.tap == Tap::Endpoint && !enginePlays(s)) {
        // Nothing plays: the engine has no pass for the loopback client, no packet, no event.
        // Its position moves on with the device, and the next packet says so.
        s.capturePos += s.periodFrames;
        s.framesDone += s.periodFrames;
        s.idlePasses = true;
        return;
    }
    // The client fell behind when the buffer is full: the oldest packet is lost and the next
    // one says so.
    const size_t capacity = std::max<UINT32>(1, s.bufferFrames / s.periodFrames);
    const bool full = s.packets.size() >= capacity;
    if (full) {
        s.packets.popFront();
        ++k.discontinuities;
    }
    Stream::Packet& pk = s.packets.pushBack(); // its storage was made with the stream
    pk.flags = 0;
    pk.frames = s.periodFrames;
    pk.data.resize(size_t(pk.frames) * s.frameBytes);
    pk.position = s.capturePos;
    // When its first frame was recorded: the start of the period that just ended, on the grid.
    pk.qpc = uint64_t(std::llround(gridQpc(s, double(s.gridTicks - 1))));
    pk.tick = s.ticks;
    if (s.tap != Tap::Endpoint)
        takeProcess(s, pk.data.data(), pk.frames);
    else if (s.loopback)
        takeMix(s, pk.data.data(), pk.frames);
    else
        generate(s, pk.data.data(), pk.frames);
    const EndpointConfig& c = e.cfg;
    uint64_t index = s.capturePos / pk.frames + 1; // 1-based since Start or Reset
    if ((index == 1 && c.firstPacketDiscontinuity) || (s.idlePasses && s.heardBefore))
        pk.flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    s.idlePasses = false;
    s.heardBefore = true;
    if (c.packetFlagsEvery && index % c.packetFlagsEvery == 0) pk.flags |= c.packetFlags;
    if (pk.flags & AUDCLNT_BUFFERFLAGS_SILENT) {
        // "Treat as silence": what the buffer holds is not audio, so a client that copies it
        // anyway gets noise.
        uint32_t x = uint32_t(index) * 2654435761u | 1;
        for (BYTE& b : pk.data)
            b = BYTE((x = x * 1103515245u + 12345u) >> 24);
    }
    if (pk.flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) pk.qpc = 0;
    s.capturePos += pk.frames;
    s.framesDone += pk.frames;
    k.framesCaptured += pk.frames;
    if (full) s.packets.front().flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    setEvent(s);
}

void tick(Stream& s, uint64_t qpcNow) {
    // Only the stream the endpoint follows counts into its statistics.
    Stats scratch;
    Stats& k = current(*s.ep) == &s ? s.ep->st : scratch;
    ++s.ticks;
    ++s.gridTicks;
    s.nextDue = gridQpc(s, double(s.gridTicks + 1));
    ++k.periods;
    UINT32 queued = s.queued;
    if (s.captures())
        tickCapture(s, k);
    else
        tickRender(s, k);
    if (!s.loopback) slackTick(s, qpcNow, queued);
}

// --- Realtime clock ------------------------------------------------------------------------
//
// One thread ticks every running stream on its own grid (start + k periods). A device never
// waits: when the thread wakes late, every tick due by then fires at once, in the grid's
// order, each computed from its own grid time; render ticks first where two are due within a
// millisecond, which keeps a duplex pair in step as one device clock would.

// A tick the thread fired late (State::m held). More than half a period late, the client had
// less than half a period for it: whatever it missed there is the simulator's doing, and the
// meter says so.
static void tickLate(Stream& st, double t, double freq) {
    const double late = t - st.nextDue;
    const double period = periodTicks(st, freq);
    Stats scratch;
    Stats& k = current(*st.ep) == &st ? st.ep->st : scratch;
    k.meanLateUs = (k.meanLateUs * double(k.periods) + std::max(0.0, late) * 1e6 / freq) /
                   double(k.periods + 1);
    k.maxLateUs = std::max(k.maxLateUs, late * 1e6 / freq);
    if (st.eventDue != 0) fireEvent(st); // the jittered event of the tick before
    tick(st, uint64_t(t));
    // Wine's timers resolve to about a millisecond: lateness below 2 ms is the clock's grain,
    // not a stall.
    if (late > std::max(period / 4, freq / 500)) ++k.lateTicks;
    if (late > period / 2) {
        ++k.clockSlips;
        k.clockSlipPeriods += 1;
        if (k.slipAt.size() < k.slipAt.capacity()) k.slipAt.push_back(st.ticks);
    }
}

bool earliestDue(double* due) {
    bool any = false;
    eachRunning([&](Stream& st) {
        if (!any || st.nextDue < *due) *due = st.nextDue;
        any = true;
    });
    return any;
}

// On the realtime clock, fires every tick due by `t`, earliest first (streams of one grid, due
// at the same moment to within a microsecond's rounding, together and render first), and
// every held-back event whose time has come (State::m held). Never early: a packet must not be
// there before its last frame was recorded.
static void catchUp(double t) {
    if (state().clock != Clock::Realtime) return;
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    const double hz = double(freq.QuadPart), sameMoment = hz * 1e-6;
    eachRunning([&](Stream& st) {
        if (st.eventDue != 0 && st.eventDue <= t) fireEvent(st);
    });
    double first = 0;
    while (earliestDue(&first) && first <= t) {
        ++state().round;
        eachRunning([&](Stream& st) {
            if (st.nextDue <= first + sameMoment) tickLate(st, t, hz);
        });
    }
}

static DWORD WINAPI clockMain(void* module) {
    State& s = state();
    HANDLE timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    timeBeginPeriod(1);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    const double hz = double(freq.QuadPart);
    for (;;) {
        pollUnplugFiles(50);
        DWORD stall = 0;
        {
            std::lock_guard<std::mutex> l(s.m);
            std::swap(stall, s.clockStallMs);
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            if (s.clockStallAt != 0 && double(now.QuadPart) >= s.clockStallAt) {
                stall = std::max(stall, s.clockStallAtMs);
                s.clockStallAt = 0;
            }
        }
        if (stall) Sleep(stall);
        {
            std::lock_guard<std::mutex> l(s.m);
            if (s.clockQuit) {
                s.clockAlive = false;
                break;
            }
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            const double t = double(now.QuadPart);
            catchUp(t);
            double due = 0;
            if (s.clock == Clock::Realtime)
                eachRunning([&](Stream& st) {
                    if (due == 0 || st.nextDue < due) due = st.nextDue;
                    if (st.eventDue != 0 && st.eventDue < due) due = st.eventDue;
                });
            // Nothing running: the thread waits for the next Start, which then costs the client
            // nothing (making a thread took long enough to delay its next call a period).
            if (due != 0) {
                QueryPerformanceCounter(&now);
                LARGE_INTEGER rel;
                rel.QuadPart =
                    -std::max<LONGLONG>(1, LONGLONG((due - double(now.QuadPart)) * 1e7 / hz));
                SetWaitableTimer(timer, &rel, 0, nullptr, nullptr, FALSE);
            } else {
                CancelWaitableTimer(timer);
            }
        }
        HANDLE waits[2] = {s.clockWake, timer};
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
    timeEndPeriod(1);
    CloseHandle(timer);
    // The thread holds a reference on the module so that the DLL cannot be unloaded under it.
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
    return 0;
}

void stallClockOnce(DWORD ms) {
    {
        std::lock_guard<std::mutex> l(state().m);
        state().clockStallMs = ms;
    }
    wakeClock(); // the stall begins at once
}

void wakeClock() {
    State& s = state();
    std::lock_guard<std::mutex> l(s.m);
    if (!s.clockWake) s.clockWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (s.clockAlive) {
        SetEvent(s.clockWake);
        return;
    }
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&clockMain), &self);
    HANDLE t = CreateThread(nullptr, 0, clockMain, self, 0, nullptr);
    if (!t) {
        if (self) FreeLibrary(self);
        return;
    }
    if (s.clockThread) CloseHandle(s.clockThread);
    s.clockThread = t;
    s.clockAlive = true;
}

void reportStopped(const Stream& s) {
    const std::wstring& path = state().reportPath;
    if (path.empty()) return;
    FILE* f = _wfopen(path.c_str(), L"ab");
    if (!f) return;
    const Stats& k = s.ep->st;
    if (s.ep->flow == Flow::Render)
        fprintf(f, "render periods=%llu missed=%llu leading_silent=%llu start_glitches=%llu\n",
                (unsigned long long)k.periods, (unsigned long long)k.missedPeriods,
                (unsigned long long)k.leadingSilentPeriods, (unsigned long long)k.startGlitches);
    else
        fprintf(f, "capture periods=%llu overflows=%llu\n", (unsigned long long)k.periods,
                (unsigned long long)k.discontinuities);
    fclose(f);
}

} // namespace sim
