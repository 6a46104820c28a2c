// The COM objects of the simulated endpoint service.
//
// This translation unit defines the identifiers and property keys of the endpoint headers.
#include <initguid.h>

#include "sim/internal.h"
#include "sim/slack.h"

#include <functiondiscoverykeys_devpkey.h>
#include <objbase.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace sim {

namespace {

#define SIM_REFCOUNT                                                                               \
    ULONG STDMETHODCALLTYPE AddRef() override {                                                    \
        return addRef();                                                                           \
    }                                                                                              \
    ULONG STDMETHODCALLTYPE Release() override {                                                   \
        return release();                                                                          \
    }

// QueryInterface with faults: ifaces pairs an IID with the interface pointer it yields.
struct Iface {
    const IID* iid;
    void* p;
};

HRESULT query(Counted* self, const char* op, REFIID riid, void** ppv,
              std::initializer_list<Iface> ifaces) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    bool null;
    HRESULT hr = enter(op, self->flow, &null);
    if (FAILED(hr) || null) return hr;
    for (const Iface& i : ifaces)
        if (*i.iid == riid) {
            self->addRef();
            *ppv = i.p;
            return S_OK;
        }
    // Agile: the first entry is the object's IUnknown.
    if (riid == IID_IAgileObject) {
        self->addRef();
        *ppv = ifaces.begin()->p;
        return S_OK;
    }
    if (riid == IID_IMarshal)
        return self->marshaler(static_cast<IUnknown*>(ifaces.begin()->p), riid, ppv);
    return E_NOINTERFACE;
}

// Enters an operation; returns true (with hr set) when a fault decides the result.
bool faulted(const char* op, Flow flow, HRESULT* hr, bool* null = nullptr) {
    bool n = false;
    *hr = enter(op, flow, &n);
    if (null) *null = n;
    // An injected success code other than S_OK (S_FALSE) is returned as it is, too.
    return *hr != S_OK || (n && null);
}

// An unplugged endpoint (or one that configure() replaced) answers as a removed device.
bool goneNow(const Endpoint& e) {
    std::lock_guard<std::mutex> l(state().m);
    return gone(e);
}

// --- Audio client services -----------------------------------------------------------------

class RenderClient final : public IAudioRenderClient, public Counted {
  public:
    explicit RenderClient(std::shared_ptr<Stream> s)
        : Counted("IAudioRenderClient", Flow::Render), st(std::move(s)) {}
    SIM_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return query(this, "IAudioRenderClient::QueryInterface", riid, ppv,
                     {{&IID_IUnknown, static_cast<IAudioRenderClient*>(this)},
                      {&IID_IAudioRenderClient, static_cast<IAudioRenderClient*>(this)}});
    }

    HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 n, BYTE** data) override {
        if (!data) return E_POINTER;
        *data = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IAudioRenderClient::GetBuffer", flow, &hr, &null)) return hr;
        std::lock_guard<std::mutex> l(state().m);
        Stream& s = *st;
        if (gone(*s.ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (s.bufferOut) return AUDCLNT_E_OUT_OF_ORDER;
        // Event-driven exclusive streams move whole buffers; shared ones up to the free space.
        if (s.eventDriven && !s.shared && n != s.bufferFrames)
            return AUDCLNT_E_BUFFER_SIZE_ERROR; // 0 too
        if (n == 0) return S_OK;
        if (n > s.bufferFrames - s.queued) return AUDCLNT_E_BUFFER_TOO_LARGE;
        s.bufferOut = true;
        s.outFrames = n;
        *data = s.staging.data();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 n, DWORD flags) override {
        HRESULT hr;
        if (faulted("IAudioRenderClient::ReleaseBuffer", flow, &hr)) return hr;
        State& g = state();
        std::lock_guard<std::mutex> l(g.m);
        Stream& s = *st;
        if (gone(*s.ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!s.bufferOut) return AUDCLNT_E_OUT_OF_ORDER;
        if (flags & ~DWORD(AUDCLNT_BUFFERFLAGS_SILENT)) return E_INVALIDARG;
        if (n > s.outFrames) return AUDCLNT_E_INVALID_SIZE;
        if (s.eventDriven && !s.shared && n != s.outFrames)
            return AUDCLNT_E_BUFFER_SIZE_ERROR; // 0 too
        for (UINT32 i = 0; i < n; ++i) {
            BYTE* to = &s.ring[size_t((s.ringRead + s.queued + i) % s.bufferFrames) * s.frameBytes];
            if (flags & AUDCLNT_BUFFERFLAGS_SILENT)
                memset(to, 0, s.frameBytes);
            else
                memcpy(to, &s.staging[size_t(i) * s.frameBytes], s.frameBytes);
        }
        s.queued += n;
        if (n) s.delivered = true;
        slackRelease(s, n);
        s.bufferOut = false;
        g.serviced.notify_all();
        return S_OK;
    }

  private:
    std::shared_ptr<Stream> st;
};

class CaptureClient final : public IAudioCaptureClient, public Counted {
  public:
    explicit CaptureClient(std::shared_ptr<Stream> s)
        : Counted("IAudioCaptureClient", Flow::Capture), st(std::move(s)) {}
    SIM_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return query(this, "IAudioCaptureClient::QueryInterface", riid, ppv,
                     {{&IID_IUnknown, static_cast<IAudioCaptureClient*>(this)},
                      {&IID_IAudioCaptureClient, static_cast<IAudioCaptureClient*>(this)}});
    }

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position,
                                        UINT64* qpc) override {
        if (!data || !frames || !flags) return E_POINTER;
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        HRESULT hr;
        bool null;
        if (faulted("IAudioCaptureClient::GetBuffer", flow, &hr, &null)) return hr;
        std::lock_guard<std::mutex> l(state().m);
        Stream& s = *st;
        if (gone(*s.ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (s.readingOut) return AUDCLNT_E_OUT_OF_ORDER;
        if (s.packets.empty()) return AUDCLNT_S_BUFFER_EMPTY;
        s.packets.takeFront(s.reading);
        s.readingOut = true;
        *data = s.reading.data.data();
        *frames = s.reading.frames;
        *flags = s.reading.flags;
        if (position) *position = s.reading.position;
        if (qpc) *qpc = qpcTo100ns(s.reading.qpc);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 n) override {
        HRESULT hr;
        if (faulted("IAudioCaptureClient::ReleaseBuffer", flow, &hr)) return hr;
        State& g = state();
        std::lock_guard<std::mutex> l(g.m);
        Stream& s = *st;
        if (gone(*s.ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!s.readingOut) return AUDCLNT_E_OUT_OF_ORDER;
        if (n != 0 && n != s.reading.frames) return AUDCLNT_E_INVALID_SIZE;
        if (n == 0) {
            s.packets.pushFront(s.reading); // not read: it stays next
        } else if (!s.loopback) { // a loopback stream keeps out of the render endpoint's figures
            Endpoint& e = *s.ep;
            e.st.framesDelivered += n;
            size_t room =
                e.cfg.recordLimitBytes > e.rec.size() ? e.cfg.recordLimitBytes - e.rec.size() : 0;
            size_t bytes = std::min(room, s.reading.data.size());
            e.rec.insert(e.rec.end(), s.reading.data.begin(), s.reading.data.begin() + bytes);
            slackRelease(s, n);
        }
        s.readingOut = false;
        g.serviced.notify_all();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        if (!frames) return E_POINTER;
        *frames = 0;
        HRESULT hr;
        if (faulted("IAudioCaptureClient::GetNextPacketSize", flow, &hr)) return hr;
        std::lock_guard<std::mutex> l(state().m);
        if (gone(*st->ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        // Documented for shared mode only; some exclusive-mode drivers always answer 0.
        if (!st->packets.empty() && (st->shared || !st->ep->cfg.nextPacketSizeZero))
            *frames = st->packets.front().frames;
        return S_OK;
    }

  private:
    static UINT64 qpcTo100ns(uint64_t qpc) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        // In integers: a double's product of a counter that has run for hours is a hair off,
        // and truncated a tick short.
        const uint64_t hz = uint64_t(f.QuadPart);
        return qpc / hz * 10000000 + qpc % hz * 10000000 / hz;
    }
    std::shared_ptr<Stream> st;
};

// IAudioClock: the stream's position in bytes since Start, at nAvgBytesPerSec.
class Clock final : public IAudioClock, public Counted {
  public:
    explicit Clock(std::shared_ptr<Stream> s)
        : Counted("IAudioClock", s->ep->flow), st(std::move(s)) {}
    SIM_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return query(this, "IAudioClock::QueryInterface", riid, ppv,
                     {{&IID_IUnknown, static_cast<IAudioClock*>(this)},
                      {&IID_IAudioClock, static_cast<IAudioClock*>(this)}});
    }
    HRESULT STDMETHODCALLTYPE GetFrequency(UINT64* f) override {
        if (!f) return E_POINTER;
        *f = 0;
        HRESULT hr;
        if (faulted("IAudioClock::GetFrequency", flow, &hr)) return hr;
        if (goneNow(*st->ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        *f = st->fmt.Format.nAvgBytesPerSec;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPosition(UINT64* position, UINT64* qpc) override {
        if (!position) return E_POINTER;
        *position = 0;
        HRESULT hr;
        if (faulted("IAudioClock::GetPosition", flow, &hr)) return hr;
        std::lock_guard<std::mutex> l(state().m);
        if (gone(*st->ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        // Where the device is now by its own clock, whether or not the simulator's thread has
        // ticked there yet (a device never waits); on the manual clock, at its latest tick.
        // Coarse stacks keep it per period, or stamp it with the time of the call.
        LARGE_INTEGER freq, now;
        QueryPerformanceFrequency(&freq);
        QueryPerformanceCounter(&now);
        const Stream& s = *st;
        const double rate = s.fmt.Format.nSamplesPerSec, period = s.periodFrames;
        const double latest = s.gridOrigin + double(s.gridTicks) * period / rate;
        double device = latest;
        if (s.running && state().clock == sim::Clock::Realtime)
            device = std::max(s.ep->clock.at(double(now.QuadPart)), s.gridOrigin);
        double frames = std::floor((device - s.gridOrigin) * rate + 1e-9);
        if (s.ep->cfg.positionPerPeriod || !s.running)
            frames = std::floor(frames / period + 1e-9) * period;
        if (!s.running || state().clock != sim::Clock::Realtime) frames = double(s.framesDone);
        double at = s.ep->clock.qpcOf(s.gridOrigin + frames / rate);
        if (s.ep->cfg.qpcAtCall && s.running) at = double(now.QuadPart);
        *position = UINT64(frames) * s.frameBytes;
        if (qpc) *qpc = UINT64(std::llround(at * 1e7 / double(freq.QuadPart)));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCharacteristics(DWORD* c) override {
        if (!c) return E_POINTER;
        *c = 0;
        return S_OK;
    }

  private:
    std::shared_ptr<Stream> st;
};

// --- Audio client --------------------------------------------------------------------------

WAVEFORMATEX* copyFormat(const WAVEFORMATEX* f) {
    size_t n = formatBytes(f);
    auto* p = static_cast<WAVEFORMATEX*>(taskAlloc(n));
    if (p) memcpy(p, f, n);
    return p;
}

class AudioClient final : public IAudioClient3, public Counted {
  public:
    // tap: a process loopback client (ActivateAudioInterfaceAsync), on the default render
    // endpoint's clock.
    explicit AudioClient(std::shared_ptr<Endpoint> e, Tap t = Tap::Endpoint)
        : Counted("IAudioClient", e->flow), ep(std::move(e)), tap(t) {}
    SIM_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        // Before Windows 10 (audio_client3 = no) there are no IAudioClient2 and 3; a process
        // loopback client is no device's.
        const bool v3 = ep->cfg.audioClient3 && tap == Tap::Endpoint;
        return query(
            this, "IAudioClient::QueryInterface", riid, ppv,
            {{&IID_IUnknown, static_cast<IAudioClient*>(this)},
             {&IID_IAudioClient, static_cast<IAudioClient*>(this)},
             {v3 ? &IID_IAudioClient2 : &IID_IAudioClient, static_cast<IAudioClient*>(this)},
             {v3 ? &IID_IAudioClient3 : &IID_IAudioClient, static_cast<IAudioClient*>(this)}});
    }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags,
                                         REFERENCE_TIME duration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* f, LPCGUID) override {
        return begin("IAudioClient::Initialize",
                     [&] { return initialize(mode, flags, duration, periodicity, f); });
    }

    HRESULT STDMETHODCALLTYPE InitializeSharedAudioStream(DWORD flags, UINT32 period,
                                                          const WAVEFORMATEX* f, LPCGUID) override {
        return begin("IAudioClient3::InitializeSharedAudioStream", [&]() -> HRESULT {
            if (ep->cfg.audioClient3NotImpl) return E_NOTIMPL;
            if (!f) return E_POINTER;
            // Of the stream flags only EVENTCALLBACK is taken here.
            if (flags & ~DWORD(AUDCLNT_STREAMFLAGS_EVENTCALLBACK)) return E_INVALIDARG;
            return initializeShared(flags, 0, f, true, period);
        });
    }

    // What both initialisations share: faults, the apartment, one stream per client.
    template <class Rules> HRESULT begin(const char* op, Rules rules) {
        HRESULT hr;
        if (faulted(op, flow, &hr)) return hr;
        // The real service is reached through COM, so a thread without it gets this.
        APTTYPE type;
        APTTYPEQUALIFIER qualifier;
        if (CoGetApartmentType(&type, &qualifier) == CO_E_NOTINITIALIZED)
            return CO_E_NOTINITIALIZED;
        State& g = state();
        std::lock_guard<std::mutex> l(g.m);
        if (stream || spent) return AUDCLNT_E_ALREADY_INITIALIZED;
        hr = rules();
        // Some drivers leave any client whose Initialize failed unusable.
        if (FAILED(hr) && !ep->cfg.initializeAgain) spent = true;
        return hr;
    }

    // Initialize's rules, in the order they are checked (State::m held).
    HRESULT initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                       REFERENCE_TIME periodicity, const WAVEFORMATEX* f) {
        if (!f) return E_POINTER;
        if (mode != AUDCLNT_SHAREMODE_SHARED && mode != AUDCLNT_SHAREMODE_EXCLUSIVE)
            return E_INVALIDARG;
        if (tap != Tap::Endpoint) return initializeProcess(mode, flags, duration, f);
        // Conversion and loopback are the engine's: shared streams only.
        const DWORD convert = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                              AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY |
                              AUDCLNT_STREAMFLAGS_LOOPBACK;
        if (flags & ~(DWORD(AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST) |
                      (mode == AUDCLNT_SHAREMODE_SHARED ? convert : 0)))
            return E_INVALIDARG;
        // Loopback captures what a render endpoint plays.
        if ((flags & AUDCLNT_STREAMFLAGS_LOOPBACK) && flow != Flow::Render)
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        if (mode == AUDCLNT_SHAREMODE_SHARED) {
            // The engine sets the period: a shared client leaves it 0.
            if (periodicity != 0 || duration < 0) return E_INVALIDARG;
            return initializeShared(flags, duration, f, false, 0);
        }
        const EndpointConfig& c = ep->cfg;
        if (!formatAccepted(c, f)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
        bool ev = flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
        if (periodicity == 0) periodicity = c.defaultPeriod;
        if (ev && duration == 0) duration = periodicity;
        if (ev && duration != periodicity) return AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL;
        if (periodicity < c.minimumPeriod) return AUDCLNT_E_INVALID_DEVICE_PERIOD;
        duration = std::max(duration, periodicity);
        // Windows' longest exclusive buffers: 500 ms event-driven, 2 s timer-driven.
        if (duration > (ev ? 5000000 : 20000000) || duration > c.maximumDuration)
            return AUDCLNT_E_BUFFER_SIZE_ERROR;
        if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (FAILED(c.exclusiveRefusal)) return c.exclusiveRefusal;
        // Any other stream on the endpoint, ours or another program's, shared or not.
        // A loopback stream is one of the engine's shared streams too.
        if (ep->holder || !ep->shared.empty() || !ep->loopbacks.empty() ||
            c.otherStreams != OtherStreams::None)
            return AUDCLNT_E_DEVICE_IN_USE;

        const uint64_t rate = f->nSamplesPerSec, block = f->nBlockAlign;
        const uint64_t round = c.roundFramesUp ? 9999999 : 5000000;
        auto toFrames = [&](REFERENCE_TIME t) {
            return UINT32((uint64_t(t) * rate + round) / 10000000);
        };
        UINT32 frames = toFrames(duration);
        uint64_t align = std::max<UINT32>(1, c.alignmentBytes);
        if (frames * block % align != 0) {
            uint64_t stepFrames = align / std::gcd(align, block);
            alignedFrames = UINT32((frames + stepFrames - 1) / stepFrames * stepFrames);
            spent = true; // a refused client is not initialised again; activate another
            return AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED;
        }
        WAVEFORMATEXTENSIBLE fmt = {};
        memcpy(&fmt, f, std::min(formatBytes(f), sizeof fmt));
        UINT32 period = ev ? frames : std::max<UINT32>(1, toFrames(periodicity));
        stream = std::make_shared<Stream>(ep, fmt, ev, frames, period);
        ep->holder = stream.get();
        return S_OK;
    }

    // A shared stream in the engine's format, at the engine's period (State::m held).
    // `v3`: from InitializeSharedAudioStream, which asks for the period `asked`. With
    // AUTOCONVERTPCM any PCM or float format: the stream runs in it, at its rate, the engine's
    // period and buffer counted in its frames.
    HRESULT initializeShared(DWORD flags, REFERENCE_TIME duration, const WAVEFORMATEX* f, bool v3,
                             UINT32 asked) {
        const EndpointConfig& c = ep->cfg;
        const bool converted = flags & AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;
        if (!validFormat(f)) return E_INVALIDARG;
        if (!converted && !isMixFormat(c, f)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
        if (v3 &&
            (asked % std::max<UINT32>(1, c.engineFundamentalPeriod) != 0 ||
             asked < std::max<UINT32>(1, c.engineMinimumPeriod) || asked > c.engineMaximumPeriod))
            return AUDCLNT_E_INVALID_DEVICE_PERIOD;
        if (!v3) asked = 0;
        if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (heldElsewhere(c) || ep->holder) return AUDCLNT_E_DEVICE_IN_USE;
        // One period at a time for every stream of the engine: the first stream that asked
        // for one keeps it until it is released, and every later stream runs at it.
        const bool locked = std::any_of(ep->shared.begin(), ep->shared.end(),
                                        [](const Stream* s) { return s->setsPeriod; });
        UINT32 period = enginePeriod(*ep);
        if (asked && locked && asked != period &&
            (clientOptions & AUDCLNT_STREAMOPTIONS_MATCH_FORMAT))
            return AUDCLNT_E_ENGINE_PERIODICITY_LOCKED;
        const bool sets = asked && !locked && asked != c.engineDefaultPeriod;
        if (sets) period = asked;
        const uint64_t mixRate = c.mixFormat.Format.nSamplesPerSec;
        if (converted && mixRate)
            period = UINT32((uint64_t(period) * f->nSamplesPerSec + mixRate / 2) / mixRate);
        // The buffer is at least the duration asked, and never shorter than the engine's own
        // (a little over two periods on Windows), so that packets queue when a client is late.
        UINT32 frames = UINT32((uint64_t(duration) * f->nSamplesPerSec + 9999999) / 10000000);
        frames = std::max(frames, UINT32(std::ceil(period * c.sharedBufferPeriods - 1e-9)));
        WAVEFORMATEXTENSIBLE fmt = {};
        memcpy(&fmt, f, std::min(formatBytes(f), sizeof fmt));
        const bool loopback = flags & AUDCLNT_STREAMFLAGS_LOOPBACK;
        stream = std::make_shared<Stream>(ep, fmt, (flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0,
                                          frames, period, true, loopback);
        stream->setsPeriod = sets;
        (loopback ? ep->loopbacks : ep->shared).push_back(stream.get());
        return S_OK;
    }

    // A process loopback stream: shared and loopback, in any PCM or float format the engine
    // converts to (its period the engine's in frames of that rate; the periodicity is not
    // looked at), on the default render endpoint's clock (State::m held).
    HRESULT initializeProcess(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                              const WAVEFORMATEX* f) {
        const DWORD allowed = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                              AUDCLNT_STREAMFLAGS_NOPERSIST | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                              AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
        if (mode != AUDCLNT_SHAREMODE_SHARED || !(flags & AUDCLNT_STREAMFLAGS_LOOPBACK) ||
            (flags & ~allowed) || duration < 0 || !validFormat(f))
            return E_INVALIDARG;
        if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        const EndpointConfig& c = ep->cfg;
        const uint64_t mixRate = std::max<DWORD>(1, c.mixFormat.Format.nSamplesPerSec);
        const UINT32 period = std::max<UINT32>(
            1, UINT32((uint64_t(enginePeriod(*ep)) * f->nSamplesPerSec + mixRate / 2) / mixRate));
        UINT32 frames = UINT32((uint64_t(duration) * f->nSamplesPerSec + 9999999) / 10000000);
        frames = std::max(frames, UINT32(std::ceil(period * c.sharedBufferPeriods - 1e-9)));
        WAVEFORMATEXTENSIBLE fmt = {};
        memcpy(&fmt, f, std::min(formatBytes(f), sizeof fmt));
        stream = std::make_shared<Stream>(ep, fmt, (flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0,
                                          frames, period, true, true);
        stream->tap = tap;
        stream->sum.assign(size_t(period) * f->nChannels, 0.0f);
        stream->taken.assign(state().eps.size(), 0);
        state().processLoopbacks.push_back(stream.get());
        return S_OK;
    }

    // --- IAudioClient2: properties are kept, offload is not offered.
    HRESULT STDMETHODCALLTYPE IsOffloadCapable(AUDIO_STREAM_CATEGORY, WINBOOL* capable) override {
        if (!capable) return E_POINTER;
        *capable = FALSE;
        HRESULT hr;
        if (faulted("IAudioClient2::IsOffloadCapable", flow, &hr)) return hr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetClientProperties(const AudioClientProperties* p) override {
        HRESULT hr;
        if (faulted("IAudioClient2::SetClientProperties", flow, &hr)) return hr;
        if (!p) return E_POINTER;
        if (p->cbSize < sizeof(AudioClientProperties) || p->bIsOffload) return E_INVALIDARG;
        std::lock_guard<std::mutex> l(state().m);
        if (stream) return AUDCLNT_E_ALREADY_INITIALIZED;
        clientOptions = p->Options;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSizeLimits(const WAVEFORMATEX*, WINBOOL, REFERENCE_TIME* min,
                                                  REFERENCE_TIME* max) override {
        if (min) *min = 0;
        if (max) *max = 0;
        HRESULT hr;
        if (faulted("IAudioClient2::GetBufferSizeLimits", flow, &hr)) return hr;
        return E_NOTIMPL; // for hardware-offloaded streams only
    }

    // --- IAudioClient3
    HRESULT STDMETHODCALLTYPE GetSharedModeEnginePeriod(const WAVEFORMATEX* f, UINT32* def,
                                                        UINT32* fundamental, UINT32* min,
                                                        UINT32* max) override {
        if (!f || !def || !fundamental || !min || !max) return E_POINTER;
        *def = *fundamental = *min = *max = 0;
        HRESULT hr;
        if (faulted("IAudioClient3::GetSharedModeEnginePeriod", flow, &hr)) return hr;
        // Some drivers' stacks answer for the interface and implement none of its periods.
        if (ep->cfg.audioClient3NotImpl) return E_NOTIMPL;
        if (goneNow(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        const EndpointConfig& c = ep->cfg;
        if (!isMixFormat(c, f)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
        *def = c.engineDefaultPeriod;
        *fundamental = c.engineFundamentalPeriod;
        *min = c.engineMinimumPeriod;
        *max = c.engineMaximumPeriod;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentSharedModeEnginePeriod(WAVEFORMATEX** format,
                                                               UINT32* period) override {
        if (!format || !period) return E_POINTER;
        *format = nullptr;
        *period = 0;
        HRESULT hr;
        bool null;
        if (faulted("IAudioClient3::GetCurrentSharedModeEnginePeriod", flow, &hr, &null)) return hr;
        if (ep->cfg.audioClient3NotImpl) return E_NOTIMPL;
        UINT32 now;
        {
            std::lock_guard<std::mutex> l(state().m);
            if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
            now = enginePeriod(*ep);
        }
        *format = copyFormat(&ep->cfg.mixFormat.Format);
        if (!*format) return E_OUTOFMEMORY;
        *period = now;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        if (!frames) return E_POINTER;
        *frames = 0;
        HRESULT hr;
        if (faulted("IAudioClient::GetBufferSize", flow, &hr)) return hr;
        std::lock_guard<std::mutex> l(state().m);
        if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (stream) {
            *frames = stream->bufferFrames;
            return S_OK;
        }
        if (alignedFrames) { // refused as not aligned: the size to ask for instead
            *frames = alignedFrames;
            return S_OK;
        }
        return AUDCLNT_E_NOT_INITIALIZED;
    }

    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override {
        if (!latency) return E_POINTER;
        *latency = 0;
        HRESULT hr;
        if (faulted("IAudioClient::GetStreamLatency", flow, &hr)) return hr;
        std::lock_guard<std::mutex> l(state().m);
        if (!stream) return AUDCLNT_E_NOT_INITIALIZED;
        if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        // Exclusive: the device period. Shared: what the engine adds between the client's
        // buffer and the device, one engine pass (see resetAir), the client's buffer not
        // included.
        *latency = REFERENCE_TIME(uint64_t(stream->periodFrames) * 10000000 /
                                  stream->fmt.Format.nSamplesPerSec);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
        if (!frames) return E_POINTER;
        *frames = 0;
        HRESULT hr;
        if (faulted("IAudioClient::GetCurrentPadding", flow, &hr)) return hr;
        std::lock_guard<std::mutex> l(state().m);
        if (!stream) return AUDCLNT_E_NOT_INITIALIZED;
        if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (ep->cfg.paddingZero && !stream->shared) return S_OK; // the engine's is always right
        if (!stream->captures()) {
            *frames = stream->queued;
        } else {
            for (size_t i = 0; i < stream->packets.size(); ++i)
                *frames += stream->packets[i].frames;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* f,
                                                WAVEFORMATEX** closest) override {
        if (closest) *closest = nullptr;
        HRESULT hr;
        if (faulted("IAudioClient::IsFormatSupported", flow, &hr)) return hr;
        if (tap != Tap::Endpoint) return E_NOTIMPL; // as Windows' process loopback client
        if (!f) return E_POINTER;
        if (goneNow(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (mode == AUDCLNT_SHAREMODE_EXCLUSIVE)
            return formatAccepted(ep->cfg, f) ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
        if (mode != AUDCLNT_SHAREMODE_SHARED) return E_INVALIDARG;
        // Shared mode answers by the mix format, the only one the engine takes: any other
        // sensible format gets it as the closest match.
        if (!closest) return E_POINTER;
        if (isMixFormat(ep->cfg, f)) return S_OK;
        if (!validFormat(f)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
        *closest = copyFormat(&ep->cfg.mixFormat.Format);
        return *closest ? S_FALSE : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
        if (!format) return E_POINTER;
        *format = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IAudioClient::GetMixFormat", flow, &hr, &null)) return hr;
        if (tap != Tap::Endpoint) return E_NOTIMPL;
        if (goneNow(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        *format = copyFormat(&ep->cfg.mixFormat.Format);
        return *format ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* def, REFERENCE_TIME* min) override {
        if (!def && !min) return E_POINTER;
        if (def) *def = 0;
        if (min) *min = 0;
        HRESULT hr;
        if (faulted("IAudioClient::GetDevicePeriod", flow, &hr)) return hr;
        if (tap != Tap::Endpoint) return E_NOTIMPL;
        if (goneNow(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (def) *def = ep->cfg.defaultPeriod;
        if (min) *min = ep->cfg.minimumPeriod;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Start() override {
        HRESULT hr;
        if (faulted("IAudioClient::Start", flow, &hr)) return hr;
        {
            std::lock_guard<std::mutex> l(state().m);
            if (!stream) return AUDCLNT_E_NOT_INITIALIZED;
            if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
            if (stream->running) return AUDCLNT_E_NOT_STOPPED;
            if (stream->eventDriven && !stream->event) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
            startStream(*stream);
        }
        wakeClock();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Stop() override {
        HRESULT hr;
        if (faulted("IAudioClient::Stop", flow, &hr)) return hr;
        State& g = state();
        std::lock_guard<std::mutex> l(g.m);
        if (!stream) return AUDCLNT_E_NOT_INITIALIZED;
        if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!stream->running) return S_FALSE;
        stream->running = false;
        if (!stream->loopback) reportStopped(*stream);
        g.serviced.notify_all();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Reset() override {
        HRESULT hr;
        if (faulted("IAudioClient::Reset", flow, &hr)) return hr;
        std::lock_guard<std::mutex> l(state().m);
        if (!stream) return AUDCLNT_E_NOT_INITIALIZED;
        if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        Stream& s = *stream;
        if (s.running) return AUDCLNT_E_NOT_STOPPED;
        if (s.bufferOut || s.readingOut) return AUDCLNT_E_BUFFER_OPERATION_PENDING;
        s.queued = s.ringRead = 0;
        s.delivered = false;
        s.packets.clear();
        s.capturePos = 0;
        s.idlePasses = s.heardBefore = false;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE h) override {
        HRESULT hr;
        if (faulted("IAudioClient::SetEventHandle", flow, &hr)) return hr;
        std::lock_guard<std::mutex> l(state().m);
        if (!stream) return AUDCLNT_E_NOT_INITIALIZED;
        if (gone(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!stream->eventDriven) return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
        if (!h || h == INVALID_HANDLE_VALUE) return E_INVALIDARG;
        // Our own duplicate: the client may close its handle while we still signal.
        HANDLE dup = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return E_INVALIDARG;
        if (stream->event) CloseHandle(stream->event);
        stream->event = dup;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IAudioClient::GetService", flow, &hr, &null)) return hr;
        std::shared_ptr<Stream> s;
        bool removed;
        {
            std::lock_guard<std::mutex> l(state().m);
            s = stream;
            removed = gone(*ep);
        }
        if (!s) return AUDCLNT_E_NOT_INITIALIZED;
        if (removed) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (riid == IID_IAudioClock) {
            *ppv = static_cast<IAudioClock*>(new (std::nothrow) Clock(s));
            return *ppv ? S_OK : E_OUTOFMEMORY;
        }
        bool render = riid == IID_IAudioRenderClient, capture = riid == IID_IAudioCaptureClient;
        if (!render && !capture) return E_NOINTERFACE;
        // A loopback stream of a render endpoint captures.
        if (capture != s->captures()) return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        if (render)
            *ppv = static_cast<IAudioRenderClient*>(new (std::nothrow) RenderClient(s));
        else
            *ppv = static_cast<IAudioCaptureClient*>(new (std::nothrow) CaptureClient(s));
        return *ppv ? S_OK : E_OUTOFMEMORY;
    }

  private:
    ~AudioClient() override {
        // The stream may be the last reference; its destructor takes the state lock.
        stream.reset();
    }
    std::shared_ptr<Endpoint> ep;
    const Tap tap;
    std::shared_ptr<Stream> stream; // set by a successful Initialize
    bool spent = false;             // refused as not aligned (or, on some drivers, at all)
    DWORD clientOptions = 0;        // AUDCLNT_STREAMOPTIONS from SetClientProperties
    UINT32 alignedFrames = 0;
};

// --- Property store ------------------------------------------------------------------------

class PropertyStore final : public IPropertyStore, public Counted {
  public:
    explicit PropertyStore(std::shared_ptr<Endpoint> e)
        : Counted("IPropertyStore", e->flow), ep(std::move(e)) {
        const EndpointConfig& c = ep->cfg;
        if (c.hasDeviceFormat) keys.push_back(PKEY_AudioEngine_DeviceFormat);
        if (!c.description.empty()) keys.push_back(PKEY_Device_DeviceDesc);
        if (!c.friendlyName.empty()) keys.push_back(PKEY_Device_FriendlyName);
        keys.push_back(kContainerIdKey);
    }
    SIM_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return query(this, "IPropertyStore::QueryInterface", riid, ppv,
                     {{&IID_IUnknown, static_cast<IPropertyStore*>(this)},
                      {&IID_IPropertyStore, static_cast<IPropertyStore*>(this)}});
    }

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* n) override {
        if (!n) return E_POINTER;
        *n = 0;
        HRESULT hr;
        if (faulted("IPropertyStore::GetCount", flow, &hr)) return hr;
        *n = DWORD(keys.size());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetAt(DWORD i, PROPERTYKEY* key) override {
        if (!key) return E_POINTER;
        HRESULT hr;
        if (faulted("IPropertyStore::GetAt", flow, &hr)) return hr;
        if (i >= keys.size()) return E_INVALIDARG;
        *key = keys[i];
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* pv) override {
        if (!pv) return E_POINTER;
        PropVariantInit(pv);
        HRESULT hr;
        bool null;
        if (faulted("IPropertyStore::GetValue", flow, &hr, &null)) return hr;
        const EndpointConfig& c = ep->cfg;
        if (same(key, PKEY_AudioEngine_DeviceFormat) && c.hasDeviceFormat) {
            std::vector<BYTE> blob = c.deviceFormatBlob;
            if (blob.empty()) {
                auto* f = reinterpret_cast<const BYTE*>(&c.deviceFormat);
                blob.assign(
                    f, f + std::min(formatBytes(&c.deviceFormat.Format), sizeof c.deviceFormat));
            }
            auto* p = static_cast<BYTE*>(taskAlloc(blob.size()));
            if (!p) return E_OUTOFMEMORY;
            memcpy(p, blob.data(), blob.size());
            pv->vt = VT_BLOB;
            pv->blob.cbSize = ULONG(blob.size());
            pv->blob.pBlobData = p;
        } else if (same(key, PKEY_Device_DeviceDesc) && !c.description.empty()) {
            return string(c.description, pv);
        } else if (same(key, PKEY_Device_FriendlyName) && !c.friendlyName.empty()) {
            return string(c.friendlyName, pv);
        } else if (same(key, kContainerIdKey) && c.reportContainer) {
            auto* id = static_cast<CLSID*>(taskAlloc(sizeof(CLSID)));
            if (!id) return E_OUTOFMEMORY;
            *id = c.containerId;
            pv->vt = VT_CLSID;
            pv->puuid = id;
        }
        return S_OK; // an unknown key is empty, not an error
    }

    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override {
        HRESULT hr;
        if (faulted("IPropertyStore::SetValue", flow, &hr)) return hr;
        return STG_E_ACCESSDENIED;
    }

    HRESULT STDMETHODCALLTYPE Commit() override {
        HRESULT hr;
        if (faulted("IPropertyStore::Commit", flow, &hr)) return hr;
        return STG_E_ACCESSDENIED;
    }

  private:
    static bool same(const PROPERTYKEY& a, const PROPERTYKEY& b) {
        return a.fmtid == b.fmtid && a.pid == b.pid;
    }
    static HRESULT string(const std::wstring& s, PROPVARIANT* pv) {
        pv->pwszVal = taskString(s);
        if (!pv->pwszVal) return E_OUTOFMEMORY;
        pv->vt = VT_LPWSTR;
        return S_OK;
    }
    std::shared_ptr<Endpoint> ep;
    std::vector<PROPERTYKEY> keys;
};

// --- Device --------------------------------------------------------------------------------

// A new client of the endpoint, as IMMDevice::Activate and ActivateAudioInterfaceAsync give it.
HRESULT activateClient(const std::shared_ptr<Endpoint>& ep, REFIID iid, void** ppv) {
    // Windows 10 activates the newer clients directly too.
    const bool newer = iid == IID_IAudioClient2 || iid == IID_IAudioClient3;
    if (iid != IID_IAudioClient && !(newer && ep->cfg.audioClient3)) return E_NOINTERFACE;
    if (goneNow(*ep)) return AUDCLNT_E_DEVICE_INVALIDATED;
    // One object whose first interface chain is IAudioClient3 : IAudioClient2 : IAudioClient,
    // so the one pointer serves as any of the three.
    *ppv = static_cast<IAudioClient3*>(new (std::nothrow) AudioClient(ep));
    return *ppv ? S_OK : E_OUTOFMEMORY;
}

class Device final : public IMMDevice, public IMMEndpoint, public Counted {
  public:
    explicit Device(std::shared_ptr<Endpoint> e)
        : Counted("IMMDevice", e->flow), ep(std::move(e)) {}
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return query(this, "IMMDevice::QueryInterface", riid, ppv,
                     {{&IID_IUnknown, static_cast<IMMDevice*>(this)},
                      {&IID_IMMDevice, static_cast<IMMDevice*>(this)},
                      {&IID_IMMEndpoint, static_cast<IMMEndpoint*>(this)}});
    }

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IMMDevice::Activate", flow, &hr, &null)) return hr;
        return activateClient(ep, iid, ppv);
    }

    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** pp) override {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IMMDevice::OpenPropertyStore", flow, &hr, &null)) return hr;
        *pp = new (std::nothrow) PropertyStore(ep);
        return *pp ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
        if (!id) return E_POINTER;
        *id = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IMMDevice::GetId", flow, &hr, &null)) return hr;
        *id = taskString(ep->cfg.id);
        return *id ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetState(DWORD* st) override {
        if (!st) return E_POINTER;
        HRESULT hr;
        if (faulted("IMMDevice::GetState", flow, &hr)) return hr;
        // Unplugged as a USB device is: the adapter is gone with it.
        *st = goneNow(*ep) ? DEVICE_STATE_NOTPRESENT : DEVICE_STATE_ACTIVE;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetDataFlow(EDataFlow* df) override {
        if (!df) return E_POINTER;
        HRESULT hr;
        if (faulted("IMMEndpoint::GetDataFlow", flow, &hr)) return hr;
        *df = flow == Flow::Render ? eRender : eCapture;
        return S_OK;
    }

  private:
    std::shared_ptr<Endpoint> ep;
};

// --- Enumerator ----------------------------------------------------------------------------

class Collection final : public IMMDeviceCollection, public Counted {
  public:
    explicit Collection(std::vector<std::shared_ptr<Endpoint>> e)
        : Counted("IMMDeviceCollection", Flow::Any), eps(std::move(e)) {}
    SIM_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return query(this, "IMMDeviceCollection::QueryInterface", riid, ppv,
                     {{&IID_IUnknown, static_cast<IMMDeviceCollection*>(this)},
                      {&IID_IMMDeviceCollection, static_cast<IMMDeviceCollection*>(this)}});
    }
    HRESULT STDMETHODCALLTYPE GetCount(UINT* n) override {
        if (!n) return E_POINTER;
        HRESULT hr;
        if (faulted("IMMDeviceCollection::GetCount", flow, &hr)) return hr;
        *n = UINT(eps.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(UINT i, IMMDevice** pp) override {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IMMDeviceCollection::Item", flow, &hr, &null)) return hr;
        if (i >= eps.size()) return E_INVALIDARG;
        *pp = new (std::nothrow) Device(eps[i]);
        return *pp ? S_OK : E_OUTOFMEMORY;
    }

  private:
    std::vector<std::shared_ptr<Endpoint>> eps;
};

class Enumerator final : public IMMDeviceEnumerator, public IVlasimMeter, public Counted {
  public:
    Enumerator() : Counted("IMMDeviceEnumerator", Flow::Any) {}
    SIM_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return query(this, "IMMDeviceEnumerator::QueryInterface", riid, ppv,
                     {{&IID_IUnknown, static_cast<IMMDeviceEnumerator*>(this)},
                      {&IID_IMMDeviceEnumerator, static_cast<IMMDeviceEnumerator*>(this)},
                      {&IID_IVlasimMeter, static_cast<IVlasimMeter*>(this)}});
    }

    // The simulator's own figures (sim/meter.h): not endpoint calls, so neither counted nor
    // open to faults.
    HRESULT STDMETHODCALLTYPE GetStream(UINT32 f, VlasimStream* out) override {
        return meterStream(f, out);
    }
    HRESULT STDMETHODCALLTYPE GetPeriods(UINT32 f, UINT64 first, UINT32 capacity, VlasimPeriod* out,
                                         UINT32* copied) override {
        return meterPeriods(f, first, capacity, out, copied);
    }
    HRESULT STDMETHODCALLTYPE GetCalls(const char* op, UINT32 f, UINT64* count) override {
        return meterCalls(op, f, count);
    }

    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow df, DWORD mask,
                                                 IMMDeviceCollection** pp) override {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IMMDeviceEnumerator::EnumAudioEndpoints", flowOf(df), &hr, &null)) return hr;
        if ((df != eRender && df != eCapture && df != eAll) || (mask & ~DEVICE_STATEMASK_ALL))
            return E_INVALIDARG;
        std::vector<std::shared_ptr<Endpoint>> list;
        {
            std::lock_guard<std::mutex> l(state().m);
            for (auto& e : state().eps)
                if (e->cfg.present && (df == eAll || int(df) == int(e->flow)) &&
                    (mask & (gone(*e) ? DEVICE_STATE_NOTPRESENT : DEVICE_STATE_ACTIVE)))
                    list.push_back(e);
        }
        *pp = new (std::nothrow) Collection(std::move(list));
        return *pp ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow df, ERole role,
                                                      IMMDevice** pp) override {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IMMDeviceEnumerator::GetDefaultAudioEndpoint", flowOf(df), &hr, &null))
            return hr;
        if ((df != eRender && df != eCapture) || role < eConsole || role > eCommunications)
            return E_INVALIDARG;
        std::shared_ptr<Endpoint> e;
        {
            std::lock_guard<std::mutex> l(state().m);
            e = defaultOf(flowOf(df));
        }
        if (!e) return kNotFound;
        *pp = new (std::nothrow) Device(e);
        return *pp ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** pp) override {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        // Any endpoint of the system, whatever its state (an unplugged one too).
        std::shared_ptr<Endpoint> found;
        if (id) {
            std::lock_guard<std::mutex> l(state().m);
            for (auto& e : state().eps)
                if (e->cfg.present && e->cfg.id == id) found = e;
        }
        HRESULT hr;
        bool null;
        if (faulted("IMMDeviceEnumerator::GetDevice", found ? found->flow : Flow::Any, &hr, &null))
            return hr;
        if (!id) return E_POINTER;
        if (!found) return kNotFound;
        *pp = new (std::nothrow) Device(found);
        return *pp ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        HRESULT hr;
        if (faulted("IMMDeviceEnumerator::RegisterEndpointNotificationCallback", flow, &hr))
            return hr;
        return client ? S_OK : E_POINTER; // endpoints never change on their own here
    }

    HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        HRESULT hr;
        if (faulted("IMMDeviceEnumerator::UnregisterEndpointNotificationCallback", flow, &hr))
            return hr;
        return client ? S_OK : E_POINTER;
    }

  private:
    static Flow flowOf(EDataFlow df) {
        return df == eRender ? Flow::Render : df == eCapture ? Flow::Capture : Flow::Any;
    }
};

// --- Class factory -------------------------------------------------------------------------

class Factory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // A static object: the reference count only feeds DllCanUnloadNow's lock count.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        HRESULT hr;
        bool null;
        if (faulted("IClassFactory::CreateInstance", Flow::Any, &hr, &null)) return hr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return createEnumerator(riid, ppv);
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        HRESULT hr;
        if (faulted("IClassFactory::LockServer", Flow::Any, &hr)) return hr;
        if (lock)
            ++serverLocks;
        else
            --serverLocks;
        return S_OK;
    }
};

Factory factory;

// --- ActivateAudioInterfaceAsync -----------------------------------------------------------

class ActivateOperation final : public IActivateAudioInterfaceAsyncOperation, public Counted {
  public:
    ActivateOperation(HRESULT hr, IUnknown* unknown)
        : Counted("IActivateAudioInterfaceAsyncOperation", Flow::Any), result(hr), iface(unknown) {}
    SIM_REFCOUNT
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return query(this, "IActivateAudioInterfaceAsyncOperation::QueryInterface", riid, ppv,
                     {{&IID_IUnknown, static_cast<IActivateAudioInterfaceAsyncOperation*>(this)},
                      {&IID_IActivateAudioInterfaceAsyncOperation,
                       static_cast<IActivateAudioInterfaceAsyncOperation*>(this)}});
    }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* hr, IUnknown** unknown) override {
        if (!hr || !unknown) return E_POINTER;
        *hr = E_FAIL;
        *unknown = nullptr;
        HRESULT fault;
        if (faulted("IActivateAudioInterfaceAsyncOperation::GetActivateResult", flow, &fault))
            return fault;
        *hr = result;
        *unknown = iface;
        if (iface) iface->AddRef();
        return S_OK;
    }

  private:
    ~ActivateOperation() override {
        if (iface) iface->Release();
    }
    const HRESULT result;
    IUnknown* const iface;
};

// The published layout of AUDIOCLIENT_ACTIVATION_PARAMS (audioclientactivationparams.h, which
// mingw-w64 lacks): the activation type, then the process loopback's target and mode.
struct ProcessLoopbackParams {
    DWORD activationType; // 1: AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK
    DWORD targetProcessId;
    DWORD mode; // 0: include the target's process tree, 1: exclude it
};

// What the activation gives: a client of an endpoint (by ID, or the default one of a direction
// by DEVINTERFACE_AUDIO_RENDER / _CAPTURE), or of process loopback.
HRESULT activateNow(const wchar_t* path, REFIID riid, const PROPVARIANT* params, void** ppv) {
    std::shared_ptr<Endpoint> ep;
    if (wcscmp(path, L"VAD\\Process_Loopback") == 0) {
        ProcessLoopbackParams p{};
        if (!params || params->vt != VT_BLOB || params->blob.cbSize < sizeof p ||
            !params->blob.pBlobData)
            return E_INVALIDARG;
        memcpy(&p, params->blob.pBlobData, sizeof p);
        if (p.activationType != 1 || p.mode > 1) return E_INVALIDARG;
        if (riid != IID_IAudioClient) return E_NOINTERFACE;
        {
            std::lock_guard<std::mutex> l(state().m);
            ep = defaultOf(Flow::Render);
        }
        if (!ep) return kNotFound;
        // Two processes here: this one, and the other programs (whatever their ID).
        const bool ours = (p.targetProcessId == GetCurrentProcessId()) == (p.mode == 0);
        *ppv = static_cast<IAudioClient*>(
            new (std::nothrow) AudioClient(ep, ours ? Tap::OurStreams : Tap::OtherPrograms));
        return *ppv ? S_OK : E_OUTOFMEMORY;
    }
    wchar_t render[40] = {}, capture[40] = {};
    StringFromGUID2(DEVINTERFACE_AUDIO_RENDER, render, 40);
    StringFromGUID2(DEVINTERFACE_AUDIO_CAPTURE, capture, 40);
    {
        std::lock_guard<std::mutex> l(state().m);
        if (_wcsicmp(path, render) == 0 || _wcsicmp(path, capture) == 0)
            ep = defaultOf(_wcsicmp(path, render) == 0 ? Flow::Render : Flow::Capture);
        for (auto& e : state().eps)
            if (e->cfg.present && e->cfg.id == path) ep = e;
    }
    if (!ep) return kNotFound;
    return activateClient(ep, riid, ppv);
}

struct Completion {
    IActivateAudioInterfaceCompletionHandler* handler;
    ActivateOperation* op;
    HMODULE module;
};

// Windows calls the handler on a thread of its own, in the multithreaded apartment.
DWORD WINAPI complete(void* p) {
    auto* c = static_cast<Completion*>(p);
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    c->handler->ActivateCompleted(c->op);
    c->op->Release();
    c->handler->Release(); // last: a handler that sees its own reference back knows we are done
    if (SUCCEEDED(com)) CoUninitialize();
    HMODULE module = c->module;
    delete c;
    // The thread holds a reference on the module so that the DLL cannot be unloaded under it.
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

} // namespace

HRESULT activateAudioInterfaceAsync(const wchar_t* path, REFIID riid, PROPVARIANT* params,
                                    IActivateAudioInterfaceCompletionHandler* handler,
                                    IActivateAudioInterfaceAsyncOperation** op) {
    if (!op) return E_POINTER;
    *op = nullptr;
    HRESULT hr;
    bool null;
    if (faulted("ActivateAudioInterfaceAsync", Flow::Any, &hr, &null)) return hr;
    if (!path || !handler) return E_INVALIDARG;
    IUnknown* made = nullptr;
    const HRESULT result = activateNow(path, riid, params, reinterpret_cast<void**>(&made));
    auto* o = new (std::nothrow) ActivateOperation(result, SUCCEEDED(result) ? made : nullptr);
    if (!o) {
        if (made) made->Release();
        return E_OUTOFMEMORY;
    }
    auto* c = new (std::nothrow) Completion{handler, o, nullptr};
    if (!c) {
        o->Release();
        return E_OUTOFMEMORY;
    }
    handler->AddRef();
    o->addRef(); // the caller's, and the completion's
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&complete),
                       &c->module);
    HANDLE t = CreateThread(nullptr, 0, complete, c, 0, nullptr);
    if (!t) {
        if (c->module) FreeLibrary(c->module);
        handler->Release();
        o->Release();
        o->Release();
        delete c;
        return E_OUTOFMEMORY;
    }
    CloseHandle(t);
    *op = o;
    return S_OK;
}

std::atomic<long> serverLocks{0};

IClassFactory* enumeratorFactory() {
    return &factory;
}

HRESULT createEnumerator(REFIID riid, void** ppv) {
    auto* e = new (std::nothrow) Enumerator;
    if (!e) return E_OUTOFMEMORY;
    // The caller's QueryInterface is not a call of theirs: keep it out of faults and counts.
    HRESULT hr = S_OK;
    if (riid == IID_IUnknown || riid == IID_IMMDeviceEnumerator)
        *ppv = static_cast<IMMDeviceEnumerator*>(e);
    else
        hr = E_NOINTERFACE;
    if (FAILED(hr)) e->Release();
    return hr;
}

} // namespace sim

// Exported under Windows' own name: the driver takes ActivateAudioInterfaceAsync from the module
// that implements the device enumerator (MMDevAPI.dll on Windows), so that it reaches this one
// wherever the simulator stands in, registered (vlasio-sim.dll) or linked into a test program.
extern "C" __declspec(dllexport) HRESULT WINAPI
    ActivateAudioInterfaceAsync(const WCHAR* path, REFIID riid, PROPVARIANT* params,
                                IActivateAudioInterfaceCompletionHandler* handler,
                                IActivateAudioInterfaceAsyncOperation** op) {
    return sim::activateAudioInterfaceAsync(path, riid, params, handler, op);
}
