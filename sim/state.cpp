// The test-facing side: configuration, faults, calls, observation and accounting.
#include "sim/internal.h"
#include "sim/mallocspy.h"
#include "sim/slack.h"

#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>

namespace sim {

State& state() {
    // Never destroyed: objects may outlive static destruction order in a DLL or a test
    // program, and release into it late.
    static State* s = new State;
    return *s;
}

// --- Formats and defaults ----------------------------------------------------------------

WAVEFORMATEXTENSIBLE pcmFormat(DWORD rate, WORD channels, WORD bits) {
    WAVEFORMATEXTENSIBLE w = {};
    w.Format.wFormatTag = WAVE_FORMAT_PCM;
    w.Format.nChannels = channels;
    w.Format.nSamplesPerSec = rate;
    w.Format.wBitsPerSample = bits;
    w.Format.nBlockAlign = WORD(channels * bits / 8);
    w.Format.nAvgBytesPerSec = rate * w.Format.nBlockAlign;
    return w;
}

WAVEFORMATEXTENSIBLE extensibleFormat(DWORD rate, WORD channels, WORD containerBits, WORD validBits,
                                      DWORD mask, bool isFloat) {
    WAVEFORMATEXTENSIBLE w = pcmFormat(rate, channels, containerBits);
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    w.Samples.wValidBitsPerSample = validBits;
    w.dwChannelMask = mask;
    w.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    return w;
}

static EndpointConfig commonDefaults() {
    EndpointConfig c;
    c.containerId = kDefaultContainer;
    c.deviceFormat = extensibleFormat(48000, 2, 32, 24, KSAUDIO_SPEAKER_STEREO);
    c.mixFormat = extensibleFormat(48000, 2, 32, 32, KSAUDIO_SPEAKER_STEREO, true);
    c.layouts = {{2, KSAUDIO_SPEAKER_STEREO}};
    c.rates = {44100, 48000, 88200, 96000, 176400, 192000};
    c.sampleFormats = {{16, 16}, {32, 24}};
    return c;
}

EndpointConfig defaultRender() {
    EndpointConfig c = commonDefaults();
    c.id = L"{0.0.0.00000000}.{5b0c2d4e-8a61-4f3e-9d27-1c6a0e8b7f10}";
    c.description = L"Speakers";
    c.friendlyName = L"Speakers (Simulated HD Audio)";
    return c;
}

EndpointConfig defaultCapture() {
    EndpointConfig c = commonDefaults();
    c.id = L"{0.0.1.00000000}.{9e4f7a12-3b5d-4c86-a0e1-7d2c5b9f3a64}";
    c.description = L"Microphone";
    c.friendlyName = L"Microphone (Simulated HD Audio)";
    c.signal = Signal::Loopback;
    return c;
}

// --- Allocation accounting -----------------------------------------------------------------
//
// CoTaskMemFree cannot be intercepted directly, so a malloc spy watches every free of the
// task allocator and strikes the blocks we handed out. Only the linked use installs it.

static std::mutex allocMu;
static std::set<void*>* handedOut = new std::set<void*>;
static bool spyActive = false;

namespace {
struct Spy final : MallocSpyBase {
    void seen(void* p) override { strike(p); }
    static void strike(void* p) {
        if (!p) return;
        std::lock_guard<std::mutex> l(allocMu);
        handedOut->erase(p);
    }
};
Spy spy;
} // namespace

void* taskAlloc(size_t bytes) {
    void* p = CoTaskMemAlloc(bytes);
    if (p) {
        std::lock_guard<std::mutex> l(allocMu);
        if (spyActive) handedOut->insert(p);
    }
    return p;
}

wchar_t* taskString(const std::wstring& s) {
    auto* p = static_cast<wchar_t*>(taskAlloc((s.size() + 1) * sizeof(wchar_t)));
    if (p) std::copy(s.c_str(), s.c_str() + s.size() + 1, p);
    return p;
}

long outstandingAllocations() {
    std::lock_guard<std::mutex> l(allocMu);
    return long(handedOut->size());
}

// --- Object accounting ---------------------------------------------------------------------

static std::mutex objMu;
static std::set<Counted*>* objects = new std::set<Counted*>;

Counted::Counted(const char* k, Flow f) : kind(k), flow(f) {
    std::lock_guard<std::mutex> l(objMu);
    objects->insert(this);
}

Counted::~Counted() {
    if (IUnknown* m = ftm.load()) m->Release();
    std::lock_guard<std::mutex> l(objMu);
    objects->erase(this);
}

HRESULT Counted::marshaler(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ftm.load()) {
        IUnknown* made = nullptr;
        HRESULT hr = CoCreateFreeThreadedMarshaler(outer, &made);
        if (FAILED(hr)) return hr;
        IUnknown* none = nullptr;
        if (!ftm.compare_exchange_strong(none, made)) made->Release(); // another thread won
    }
    // The inner object's QueryInterface adds a reference to the outer one, as aggregation wants.
    return ftm.load()->QueryInterface(riid, ppv);
}

ULONG Counted::release() {
    long r = --refs;
    if (r == 0) delete this;
    return ULONG(r < 0 ? 0 : r);
}

long liveObjects() {
    std::lock_guard<std::mutex> l(objMu);
    return long(objects->size());
}

long outstandingRefs() {
    std::lock_guard<std::mutex> l(objMu);
    long n = 0;
    for (Counted* o : *objects)
        n += o->refs;
    return n;
}

static const char* flowName(Flow f) {
    return f == Flow::Render ? " render" : f == Flow::Capture ? " capture" : "";
}

std::string report() {
    std::string out;
    char line[160];
    {
        std::lock_guard<std::mutex> l(objMu);
        for (Counted* o : *objects) {
            snprintf(line, sizeof line, "%s%s refs=%ld\n", o->kind, flowName(o->flow),
                     long(o->refs));
            out += line;
        }
    }
    std::lock_guard<std::mutex> l(allocMu);
    for (void* p : *handedOut) {
        snprintf(line, sizeof line, "task allocation %p\n", p);
        out += line;
    }
    return out;
}

// --- Faults and calls ----------------------------------------------------------------------

static const char* const knownOps[] = {
    "IClassFactory::CreateInstance",
    "IClassFactory::LockServer",
    "IMMDeviceEnumerator::QueryInterface",
    "IMMDeviceEnumerator::EnumAudioEndpoints",
    "IMMDeviceEnumerator::GetDefaultAudioEndpoint",
    "IMMDeviceEnumerator::GetDevice",
    "IMMDeviceEnumerator::RegisterEndpointNotificationCallback",
    "IMMDeviceEnumerator::UnregisterEndpointNotificationCallback",
    "IMMDeviceCollection::QueryInterface",
    "IMMDeviceCollection::GetCount",
    "IMMDeviceCollection::Item",
    "IMMDevice::QueryInterface",
    "IMMDevice::Activate",
    "IMMDevice::OpenPropertyStore",
    "IMMDevice::GetId",
    "IMMDevice::GetState",
    "IMMEndpoint::GetDataFlow",
    "IPropertyStore::QueryInterface",
    "IPropertyStore::GetCount",
    "IPropertyStore::GetAt",
    "IPropertyStore::GetValue",
    "IPropertyStore::SetValue",
    "IPropertyStore::Commit",
    "IAudioClient::QueryInterface",
    "IAudioClient::Initialize",
    "IAudioClient::GetBufferSize",
    "IAudioClient::GetStreamLatency",
    "IAudioClient::GetCurrentPadding",
    "IAudioClient::IsFormatSupported",
    "IAudioClient::GetMixFormat",
    "IAudioClient::GetDevicePeriod",
    "IAudioClient::Start",
    "IAudioClient::Stop",
    "IAudioClient::Reset",
    "IAudioClient::SetEventHandle",
    "IAudioClient::GetService",
    "IAudioClient2::IsOffloadCapable",
    "IAudioClient2::SetClientProperties",
    "IAudioClient2::GetBufferSizeLimits",
    "IAudioClient3::GetSharedModeEnginePeriod",
    "IAudioClient3::GetCurrentSharedModeEnginePeriod",
    "IAudioClient3::InitializeSharedAudioStream",
    "IAudioRenderClient::QueryInterface",
    "IAudioRenderClient::GetBuffer",
    "IAudioRenderClient::ReleaseBuffer",
    "IAudioCaptureClient::QueryInterface",
    "IAudioCaptureClient::GetBuffer",
    "IAudioCaptureClient::ReleaseBuffer",
    "IAudioCaptureClient::GetNextPacketSize",
    "IAudioClock::QueryInterface",
    "IAudioClock::GetFrequency",
    "IAudioClock::GetPosition",
    "ActivateAudioInterfaceAsync",
    "IActivateAudioInterfaceAsyncOperation::QueryInterface",
    "IActivateAudioInterfaceAsyncOperation::GetActivateResult",
};

static bool knownOp(const char* op) {
    if (!op) return false;
    for (const char* k : knownOps)
        if (strcmp(k, op) == 0) return true;
    return false;
}

static bool addFault(const char* op, HRESULT hr, bool null, FaultMode mode, unsigned n, Flow flow) {
    if (!knownOp(op)) return false;
    State& s = state();
    std::lock_guard<std::mutex> l(s.m);
    s.faults.push_back(Fault{op, flow, mode, n ? n : 1, 0, hr, null});
    return true;
}

bool fail(const char* op, HRESULT hr, FaultMode mode, unsigned n, Flow flow) {
    return addFault(op, hr, false, mode, n, flow);
}

bool failNull(const char* op, FaultMode mode, unsigned n, Flow flow) {
    return addFault(op, S_OK, true, mode, n, flow);
}

void clearFaults() {
    State& s = state();
    std::lock_guard<std::mutex> l(s.m);
    s.faults.clear();
}

HRESULT enter(const char* op, Flow flow, bool* null) {
    if (null) *null = false;
    State& s = state();
    // While a stream runs the clock thread checks every 50 ms and this never stats a file.
    pollUnplugFiles(250);
    std::lock_guard<std::mutex> l(s.m);
    if (s.calls.size() < 200000) s.calls.emplace_back(op, flow);
    slackCall(op, flow);
    for (Fault& f : s.faults) {
        if (f.op != op || (f.flow != Flow::Any && f.flow != flow)) continue;
        ++f.seen;
        bool fires = f.mode == FaultMode::Always || (f.mode == FaultMode::Once && f.seen == f.n) ||
                     (f.mode == FaultMode::FromNth && f.seen >= f.n);
        if (!fires) continue;
        if (f.null) {
            if (null) *null = true;
            return S_OK;
        }
        return f.hr;
    }
    return S_OK;
}

unsigned callCount(const char* op, Flow flow) {
    State& s = state();
    std::lock_guard<std::mutex> l(s.m);
    unsigned n = 0;
    for (auto& c : s.calls)
        if (c.first == op && (flow == Flow::Any || c.second == flow)) ++n;
    return n;
}

std::vector<std::string> callLog() {
    State& s = state();
    std::lock_guard<std::mutex> l(s.m);
    std::vector<std::string> out;
    out.reserve(s.calls.size());
    for (auto& c : s.calls)
        out.push_back(c.first + flowName(c.second));
    return out;
}

void clearCalls() {
    State& s = state();
    std::lock_guard<std::mutex> l(s.m);
    s.calls.clear();
}

// --- Set-up --------------------------------------------------------------------------------

static DWORD classCookie = 0;
static bool classRegistered = false;

void configure(const EndpointConfig& render, const EndpointConfig& capture) {
    configure(std::vector<EndpointConfig>{render}, std::vector<EndpointConfig>{capture});
}

void configure(const std::vector<EndpointConfig>& render,
               const std::vector<EndpointConfig>& capture) {
    {
        std::lock_guard<std::mutex> l(state().m);
        slackPrepare();
    }
    std::vector<std::shared_ptr<Endpoint>> eps;
    std::shared_ptr<Endpoint> defaults[2];
    bool watching = false;
    for (Flow f : {Flow::Render, Flow::Capture}) {
        const auto& list = f == Flow::Render ? render : capture;
        std::shared_ptr<Endpoint> first, marked;
        for (size_t i = 0; i < list.size(); ++i) {
            eps.push_back(std::make_shared<Endpoint>(f, list[i], i));
            const auto& e = eps.back();
            watching = watching || (e->cfg.present && !e->cfg.unplugFile.empty());
            if (!e->cfg.present) continue;
            if (!first) first = e;
            if (!marked && e->cfg.isDefault) marked = e;
        }
        defaults[int(f)] = marked ? marked : first ? first : list.empty() ? nullptr : eps.back();
    }
    // One clock per device, the first of its endpoints' (render ones come first), running
    // from now.
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    for (auto& e : eps) {
        const EndpointConfig* c = &e->cfg;
        for (auto& o : eps)
            if (IsEqualGUID(o->cfg.containerId, c->containerId)) {
                c = &o->cfg;
                break;
            }
        e->clock.ppm = c->clockPpm;
        e->clock.wanderPpm = c->clockWanderPpm;
        e->clock.wanderSeconds = c->clockWanderSeconds;
        e->clock.epoch = double(now.QuadPart);
        e->clock.freq = double(freq.QuadPart);
    }
    State& s = state();
    std::lock_guard<std::mutex> l(s.m);
    // Objects of the old endpoints answer as a removed device from now on. Dropping the
    // references here under the lock is safe: Endpoint has no destructor work.
    for (auto& e : s.eps)
        e->replaced = true;
    s.eps = std::move(eps);
    s.ep[0] = defaults[0];
    s.ep[1] = defaults[1];
    s.watching = watching;
}

bool gone(const Endpoint& e) {
    return e.replaced || e.unplugged || !e.cfg.present;
}

std::shared_ptr<Endpoint> defaultOf(Flow f) {
    std::shared_ptr<Endpoint> first;
    for (auto& e : state().eps)
        if (e->flow == f && !gone(*e)) {
            if (e->cfg.isDefault) return e;
            if (!first) first = e;
        }
    return first;
}

Endpoint* heardBy(const Endpoint& cap) {
    const size_t rank = cap.cfg.hears ? cap.cfg.hears - 1 : cap.rank;
    for (auto& o : state().eps)
        if (o->flow == Flow::Render && o->rank == rank && !o->replaced) return o.get();
    return nullptr;
}

Endpoint* pairOf(const Endpoint& e) {
    for (auto& o : state().eps)
        if (o->flow != e.flow && o->rank == e.rank && !o->replaced) return o.get();
    return nullptr;
}

// Its streams stop where they are: no more ticks, no more events.
static void unplugLocked(Endpoint& e) {
    e.unplugged = true;
    state().serviced.notify_all();
}

bool unplug(const std::wstring& id) {
    State& s = state();
    bool found = false;
    {
        std::lock_guard<std::mutex> l(s.m);
        for (auto& e : s.eps)
            if (e->cfg.present && e->cfg.id == id) {
                unplugLocked(*e);
                found = true;
            }
    }
    if (found) wakeClock();
    return found;
}

void pollUnplugFiles(unsigned everyMs) {
    State& s = state();
    if (!s.watching) return;
    unsigned long long now = GetTickCount64(), last = s.lastUnplugPoll;
    if (now - last < everyMs || !s.lastUnplugPoll.compare_exchange_strong(last, now)) return;
    std::vector<std::shared_ptr<Endpoint>> watched;
    {
        std::lock_guard<std::mutex> l(s.m);
        for (auto& e : s.eps)
            if (!gone(*e) && !e->cfg.unplugFile.empty()) watched.push_back(e);
        s.watching = !watched.empty();
    }
    bool any = false;
    for (auto& e : watched)
        if (GetFileAttributesW(e->cfg.unplugFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
            std::lock_guard<std::mutex> l(s.m);
            unplugLocked(*e);
            any = true;
        }
    if (any) wakeClock();
}

void setClock(Clock clock) {
    State& s = state();
    {
        std::lock_guard<std::mutex> l(s.m);
        if (s.clock == clock) return;
        s.clock = clock;
        // Running streams go on from here: the next tick a period from now.
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        eachStreamAll([&](Stream& st) {
            if (!st.running) return;
            st.gridOrigin = st.ep->clock.at(double(now.QuadPart)) -
                            double(st.gridTicks) * st.periodFrames / st.fmt.Format.nSamplesPerSec;
            st.nextDue = gridQpc(st, double(st.gridTicks + 1));
        });
    }
    wakeClock();
}

void reset() {
    configure(defaultRender(), defaultCapture());
    setClock(Clock::Realtime);
    State& s = state();
    std::lock_guard<std::mutex> l(s.m);
    s.faults.clear();
    s.calls.clear();
}

HRESULT install() {
    if (!classRegistered) {
        HRESULT hr = CoRegisterClassObject(CLSID_MMDeviceEnumerator, enumeratorFactory(),
                                           CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &classCookie);
        if (FAILED(hr)) return hr;
        classRegistered = true;
    }
    {
        std::lock_guard<std::mutex> l(allocMu);
        if (!spyActive) {
            HRESULT hr = CoRegisterMallocSpy(&spy);
            // Another spy in the process: the accounting of blocks is then unavailable.
            spyActive = SUCCEEDED(hr);
        }
    }
    reset();
    return S_OK;
}

void uninstall() {
    if (classRegistered) {
        CoRevokeClassObject(classCookie);
        classRegistered = false;
    }
    {
        std::lock_guard<std::mutex> l(allocMu);
        // With blocks still out the runtime keeps the spy until they are freed; the spy is
        // static, so that is harmless.
        if (spyActive) CoRevokeMallocSpy();
        spyActive = false;
        handedOut->clear();
    }
    State& s = state();
    HANDLE t = nullptr;
    {
        std::lock_guard<std::mutex> l(s.m);
        s.clockQuit = true;
        t = s.clockThread;
        s.clockThread = nullptr;
        if (s.clockWake) SetEvent(s.clockWake);
    }
    if (t) {
        WaitForSingleObject(t, 5000);
        CloseHandle(t);
    }
    std::lock_guard<std::mutex> l(s.m);
    s.clockQuit = false;
}

// --- Manual clock --------------------------------------------------------------------------

void step(unsigned periods) {
    State& s = state();
    for (unsigned i = 0; i < periods; ++i) {
        std::lock_guard<std::mutex> l(s.m);
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        ++s.round;
        // Render first, so loopback reads what was just played.
        eachRunning([&](Stream& st) { tick(st, uint64_t(now.QuadPart)); });
    }
}

void stepDue(unsigned wakes) {
    State& s = state();
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    const double tolerance = double(freq.QuadPart) / 1000.0;
    for (unsigned i = 0; i < wakes; ++i) {
        std::lock_guard<std::mutex> l(s.m);
        // As the realtime thread does, and like it without allocating: render first.
        double first = 0;
        if (!earliestDue(&first)) return;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        ++s.round;
        eachRunning([&](Stream& st) {
            if (st.nextDue <= first + tolerance) tick(st, uint64_t(now.QuadPart));
        });
    }
}

static bool answered(const Stream& st) {
    if (!st.running || !st.eventDriven || gone(*st.ep)) return true;
    if (!st.captures()) return !st.bufferOut && st.queued >= st.periodFrames;
    return !st.readingOut && st.packets.empty();
}

bool waitServiced(DWORD timeoutMs) {
    State& s = state();
    std::unique_lock<std::mutex> l(s.m);
    return s.serviced.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
        bool all = true;
        eachStreamAll([&](Stream& st) { all = all && answered(st); });
        return all;
    });
}

bool run(unsigned periods, DWORD timeoutMs) {
    for (unsigned i = 0; i < periods; ++i) {
        step();
        if (!waitServiced(timeoutMs)) return false;
    }
    return true;
}

// --- Observation ---------------------------------------------------------------------------

static Stats statsOf(const Endpoint* ep) {
    Stats out;
    if (!ep) return out;
    const Endpoint& e = *ep;
    out = e.st;
    out.held = out.shared = out.running = out.eventDriven = false;
    out.format = {};
    out.bufferFrames = out.periodFrames = 0;
    if (Stream* st = current(e)) {
        out.held = true;
        out.shared = st->shared;
        out.running = st->running;
        out.eventDriven = st->eventDriven;
        out.format = st->fmt;
        out.bufferFrames = st->bufferFrames;
        out.periodFrames = st->periodFrames;
    }
    return out;
}

static const Endpoint* byId(const std::wstring& id) {
    for (auto& e : state().eps)
        if (e->cfg.present && e->cfg.id == id) return e.get();
    return nullptr;
}

static const Endpoint* byFlow(Flow flow) {
    return flow == Flow::Any ? nullptr : state().ep[int(flow)].get();
}

Stats stats(Flow flow) {
    std::lock_guard<std::mutex> l(state().m);
    return statsOf(byFlow(flow));
}

Stats stats(const std::wstring& id) {
    std::lock_guard<std::mutex> l(state().m);
    return statsOf(byId(id));
}

std::vector<BYTE> recording(Flow flow) {
    std::lock_guard<std::mutex> l(state().m);
    const Endpoint* e = byFlow(flow);
    return e ? e->rec : std::vector<BYTE>{};
}

std::vector<BYTE> recording(const std::wstring& id) {
    std::lock_guard<std::mutex> l(state().m);
    const Endpoint* e = byId(id);
    return e ? e->rec : std::vector<BYTE>{};
}

int32_t counterSample(unsigned channel, uint64_t frame, WORD containerBits) {
    if (containerBits == 16) return int16_t(((channel + 1) << 12) | (frame & 0xFFF));
    return int32_t(((uint32_t(channel) + 1) << 24) | uint32_t(frame & 0xFFFF) << 8);
}

} // namespace sim
