// The simulated endpoint service, linked in: its refusals where Windows refuses, the render
// and capture protocols, the meter, accounting and the configuration files.
#include "sim/meter.h"
#include "sim/sim.h"

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

// A released-at-scope-end reference.
template <class T> struct Ptr {
    T* p = nullptr;
    Ptr() = default;
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    ~Ptr() { reset(); }
    void reset() {
        if (p) p->Release();
        p = nullptr;
    }
    T** out() {
        reset();
        return &p;
    }
    void** outv() { return reinterpret_cast<void**>(out()); }
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

class Env : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ASSERT_HRESULT_SUCCEEDED(sim::install());
    }
    void TearDown() override {
        sim::uninstall();
        CoUninitialize();
    }
};
const auto* env = ::testing::AddGlobalTestEnvironment(new Env);

constexpr REFERENCE_TIME k10ms = 100000;

WAVEFORMATEXTENSIBLE stereo24(DWORD rate) {
    return sim::extensibleFormat(rate, 2, 32, 24, KSAUDIO_SPEAKER_STEREO);
}

class Sim : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        sim::setClock(sim::Clock::Manual);
        objectsBefore = sim::liveObjects();
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                                  IID_IMMDeviceEnumerator, enumerator.outv()));
    }
    void TearDown() override {
        enumerator.reset();
        EXPECT_EQ(sim::liveObjects(), objectsBefore) << sim::report();
        EXPECT_EQ(sim::outstandingAllocations(), 0) << sim::report();
    }

    void device(EDataFlow flow, Ptr<IMMDevice>& d) {
        ASSERT_HRESULT_SUCCEEDED(enumerator->GetDefaultAudioEndpoint(flow, eConsole, d.out()));
    }
    // A client of the default endpoint, or of the endpoint with this ID.
    void client(EDataFlow flow, Ptr<IAudioClient>& c, const wchar_t* id = nullptr) {
        Ptr<IMMDevice> d;
        if (id)
            ASSERT_HRESULT_SUCCEEDED(enumerator->GetDevice(id, d.out()));
        else
            device(flow, d);
        ASSERT_HRESULT_SUCCEEDED(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, c.outv()));
    }
    // An exclusive event-driven stream with its event.
    void open(EDataFlow flow, const WAVEFORMATEXTENSIBLE& f, REFERENCE_TIME period,
              Ptr<IAudioClient>& c, HANDLE* event, const wchar_t* id = nullptr) {
        client(flow, c, id);
        ASSERT_HRESULT_SUCCEEDED(c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE,
                                               AUDCLNT_STREAMFLAGS_EVENTCALLBACK, period, period,
                                               &f.Format, nullptr));
        *event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_HRESULT_SUCCEEDED(c->SetEventHandle(*event));
    }

    // An event-driven render and capture pair with their services, as the driver opens them.
    struct Duplex {
        Ptr<IAudioClient> r, c;
        Ptr<IAudioRenderClient> render;
        Ptr<IAudioCaptureClient> capture;
        HANDLE re = nullptr, ce = nullptr;
        ~Duplex() {
            CloseHandle(re);
            CloseHandle(ce);
        }
        // One pass of a client: a period out, a packet in.
        void service() {
            BYTE* data;
            UINT32 n;
            if (render->GetBuffer(480, &data) == S_OK) render->ReleaseBuffer(480, 0);
            DWORD flags;
            if (capture->GetBuffer(&data, &n, &flags, nullptr, nullptr) == S_OK)
                capture->ReleaseBuffer(n);
        }
    };
    void open(Duplex& d, const WAVEFORMATEXTENSIBLE& rf, const WAVEFORMATEXTENSIBLE& cf) {
        open(eRender, rf, k10ms, d.r, &d.re);
        open(eCapture, cf, k10ms, d.c, &d.ce);
        ASSERT_HRESULT_SUCCEEDED(d.r->GetService(IID_IAudioRenderClient, d.render.outv()));
        ASSERT_HRESULT_SUCCEEDED(d.c->GetService(IID_IAudioCaptureClient, d.capture.outv()));
    }

    long objectsBefore = 0;
    Ptr<IMMDeviceEnumerator> enumerator;
};

// --- Exclusive-mode rules ------------------------------------------------------------------

TEST_F(Sim, ExclusiveFormatsAreTheConfiguredSet) {
    sim::EndpointConfig r = sim::defaultRender();
    r.layouts = {{2, 0x3}, {4, 0x33}, {8, 0x63F}};
    sim::configure(r, sim::defaultCapture());
    Ptr<IAudioClient> c;
    client(eRender, c);
    auto ask = [&](const WAVEFORMATEXTENSIBLE& f) {
        WAVEFORMATEX* closest = reinterpret_cast<WAVEFORMATEX*>(1);
        HRESULT hr = c->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &f.Format, &closest);
        EXPECT_EQ(closest, nullptr);
        return hr;
    };
    EXPECT_EQ(ask(sim::pcmFormat(44100, 2, 16)), S_OK);
    EXPECT_EQ(ask(stereo24(192000)), S_OK);
    EXPECT_EQ(ask(sim::extensibleFormat(48000, 4, 16, 16, 0x33)), S_OK);
    EXPECT_EQ(ask(sim::extensibleFormat(48000, 8, 32, 24, 0x63F)), S_OK);
    const HRESULT no = AUDCLNT_E_UNSUPPORTED_FORMAT;
    EXPECT_EQ(ask(sim::extensibleFormat(48000, 6, 32, 24, 0x3F)), no); // layout not offered
    EXPECT_EQ(ask(sim::extensibleFormat(48000, 4, 32, 24, 0x3)), no);  // wrong mask
    EXPECT_EQ(ask(sim::extensibleFormat(48000, 10, 32, 24, 0x3)), no);
    EXPECT_EQ(ask(sim::extensibleFormat(22050, 2, 16, 16, 0x3)), no);       // rate
    EXPECT_EQ(ask(sim::extensibleFormat(48000, 2, 32, 32, 0x3)), no);       // valid bits
    EXPECT_EQ(ask(sim::extensibleFormat(48000, 2, 32, 32, 0x3, true)), no); // float
    EXPECT_EQ(ask(sim::pcmFormat(48000, 2, 24)), no);                       // packed 24
    WAVEFORMATEXTENSIBLE bad = stereo24(48000);
    bad.Format.nBlockAlign = 6;
    EXPECT_EQ(ask(bad), no);
}

TEST_F(Sim, InitializeRulesAndTheirResults) {
    WAVEFORMATEXTENSIBLE f = stereo24(48000);
    auto init = [&](IAudioClient* c, REFERENCE_TIME d, REFERENCE_TIME p) {
        return c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, d, p,
                             &f.Format, nullptr);
    };
    Ptr<IAudioClient> a, b;
    client(eRender, a);
    client(eRender, b);
    REFERENCE_TIME def = 0, min = 0;
    ASSERT_HRESULT_SUCCEEDED(a->GetDevicePeriod(&def, &min));

    UINT32 frames = 0;
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(a->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(a->SetEventHandle(e), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(a->Start(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(init(a.p, k10ms, 50000), AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL);
    EXPECT_EQ(init(a.p, 20000, 20000), AUDCLNT_E_INVALID_DEVICE_PERIOD);
    EXPECT_EQ(a->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, k10ms, 0, &f.Format, nullptr),
              AUDCLNT_E_EXCLUSIVE_MODE_ONLY);
    a.reset(); // whether a refused client may try again is left open: take a fresh one
    client(eRender, a);
    ASSERT_EQ(init(a.p, k10ms, k10ms), S_OK);
    EXPECT_EQ(init(a.p, k10ms, k10ms), AUDCLNT_E_ALREADY_INITIALIZED);
    ASSERT_HRESULT_SUCCEEDED(a->GetBufferSize(&frames));
    EXPECT_EQ(frames, 480u);

    // One exclusive stream per endpoint, until every reference to it is gone.
    EXPECT_EQ(init(b.p, k10ms, k10ms), AUDCLNT_E_DEVICE_IN_USE);
    Ptr<IAudioRenderClient> service;
    ASSERT_HRESULT_SUCCEEDED(a->GetService(IID_IAudioRenderClient, service.outv()));
    a.reset();
    EXPECT_EQ(init(b.p, k10ms, k10ms), AUDCLNT_E_DEVICE_IN_USE);
    service.reset();
    EXPECT_EQ(init(b.p, k10ms, k10ms), S_OK);

    Ptr<IAudioCaptureClient> wrong;
    EXPECT_EQ(b->GetService(IID_IAudioCaptureClient, wrong.outv()), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    Ptr<IUnknown> unknown;
    EXPECT_EQ(b->GetService(IID_IMMDevice, unknown.outv()), E_NOINTERFACE);
    EXPECT_EQ(b->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
    ASSERT_HRESULT_SUCCEEDED(b->SetEventHandle(e));
    EXPECT_EQ(b->Start(), S_OK);
    EXPECT_EQ(b->Start(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(b->Reset(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(b->Stop(), S_OK);
    EXPECT_EQ(b->Stop(), S_FALSE);
    CloseHandle(e);

    // Timer-driven capture: period and buffer apart, no event.
    Ptr<IAudioClient> cap;
    client(eCapture, cap);
    ASSERT_EQ(cap->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0, 2 * k10ms, min, &f.Format, nullptr),
              S_OK);
    ASSERT_HRESULT_SUCCEEDED(cap->GetBufferSize(&frames));
    EXPECT_EQ(frames, 960u);
    EXPECT_EQ(cap->SetEventHandle(GetCurrentProcess()), AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED);
    EXPECT_EQ(sim::stats(sim::Flow::Capture).periodFrames, 128u);
}

struct AlignCase {
    DWORD rate;
    bool wide; // 24 in 32, else 16-bit
    REFERENCE_TIME duration;
    UINT32 alignment;
    HRESULT result;
    UINT32 frames; // GetBufferSize afterwards
};

TEST_F(Sim, BufferAlignmentAt44100And48000) {
    const HRESULT na = AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED;
    const AlignCase cases[] = {
        {48000, false, 100000, 128, S_OK, 480},
        {48000, true, 100000, 128, S_OK, 480},
        {48000, false, 30000, 128, na, 160},
        {48000, true, 30000, 128, S_OK, 144},
        {48000, false, 106667, 128, S_OK, 512},
        {44100, false, 100000, 128, na, 448},
        {44100, true, 100000, 128, na, 448},
        {44100, false, 101587, 128, S_OK, 448}, // the duration of the 448 it offered
        {44100, false, 30000, 128, na, 160},
        {44100, true, 30000, 128, na, 144},
        {44100, false, 122903, 128, na, 544},
        {44100, false, 100000, 1, S_OK, 441},
        {44100, true, 100000, 64, na, 448},
        {48000, false, 100001, 128, S_OK, 480},
    };
    for (const AlignCase& k : cases) {
        sim::EndpointConfig r = sim::defaultRender();
        r.alignmentBytes = k.alignment;
        sim::configure(r, sim::defaultCapture());
        WAVEFORMATEXTENSIBLE f = k.wide ? stereo24(k.rate) : sim::pcmFormat(k.rate, 2, 16);
        Ptr<IAudioClient> c;
        client(eRender, c);
        SCOPED_TRACE(testing::Message() << k.rate << (k.wide ? " 32/24 " : " 16 ") << k.duration
                                        << " align " << k.alignment);
        EXPECT_EQ(c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                k.duration, k.duration, &f.Format, nullptr),
                  k.result);
        UINT32 frames = 0;
        EXPECT_EQ(c->GetBufferSize(&frames), S_OK);
        EXPECT_EQ(frames, k.frames);
        if (k.result == na) { // a refused client is spent, and does not hold the endpoint
            EXPECT_EQ(c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                    k.duration, k.duration, &f.Format, nullptr),
                      AUDCLNT_E_ALREADY_INITIALIZED);
            EXPECT_FALSE(sim::stats(sim::Flow::Render).held);
        }
    }
}

// --- Streaming ---------------------------------------------------------------------------

int pending(HANDLE e) { // how many times the auto-reset event fired since the last look: 0 or 1
    return WaitForSingleObject(e, 0) == WAIT_OBJECT_0 ? 1 : 0;
}

TEST_F(Sim, RenderBufferProtocolAndMissedPeriods) {
    WAVEFORMATEXTENSIBLE f = sim::pcmFormat(48000, 2, 16);
    Ptr<IAudioClient> r;
    HANDLE e;
    open(eRender, f, k10ms, r, &e);
    Ptr<IAudioRenderClient> render;
    ASSERT_HRESULT_SUCCEEDED(r->GetService(IID_IAudioRenderClient, render.outv()));
    BYTE* data = nullptr;
    EXPECT_EQ(render->ReleaseBuffer(480, 0), AUDCLNT_E_OUT_OF_ORDER);
    // Pre-fill before Start, then the buffer is full until a period is played.
    ASSERT_EQ(render->GetBuffer(480, &data), S_OK);
    BYTE* other = nullptr;
    EXPECT_EQ(render->GetBuffer(480, &other), AUDCLNT_E_OUT_OF_ORDER);
    ASSERT_EQ(render->ReleaseBuffer(480, 0), S_OK);
    EXPECT_EQ(render->GetBuffer(480, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    UINT32 padding = 0;
    ASSERT_HRESULT_SUCCEEDED(r->GetCurrentPadding(&padding));
    EXPECT_EQ(padding, 480u);

    ASSERT_HRESULT_SUCCEEDED(r->Start());
    EXPECT_EQ(pending(e), 0); // pre-filled: no room until the first period is played
    sim::step();              // plays the pre-fill
    EXPECT_EQ(pending(e), 1);
    sim::step(); // the client wrote nothing: a missed period
    ASSERT_EQ(render->GetBuffer(480, &data), S_OK);
    ASSERT_EQ(render->ReleaseBuffer(480, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
    sim::step();
    sim::step(); // missed again
    sim::Stats s = sim::stats(sim::Flow::Render);
    EXPECT_EQ(s.periods, 4u);
    EXPECT_EQ(s.missedPeriods, 2u);
    EXPECT_EQ(s.leadingSilentPeriods, 0u);
    EXPECT_EQ(s.missedAt, (std::vector<uint64_t>{2, 4}));
    CloseHandle(e);
}

TEST_F(Sim, CaptureFlagsADiscontinuityWhenTheClientFallsBehind) {
    sim::EndpointConfig c = sim::defaultCapture();
    c.signal = sim::Signal::Counter;
    sim::configure(sim::defaultRender(), c);
    WAVEFORMATEXTENSIBLE f = sim::pcmFormat(48000, 2, 16);
    Ptr<IAudioClient> client;
    HANDLE e;
    open(eCapture, f, k10ms, client, &e);
    Ptr<IAudioCaptureClient> capture;
    ASSERT_HRESULT_SUCCEEDED(client->GetService(IID_IAudioCaptureClient, capture.outv()));
    BYTE* data;
    UINT32 n;
    DWORD flags;
    EXPECT_EQ(capture->GetBuffer(&data, &n, &flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
    EXPECT_EQ(n, 0u);
    ASSERT_HRESULT_SUCCEEDED(client->Start());
    sim::step(3); // the client reads only after the third period
    UINT64 position = 0;
    ASSERT_EQ(capture->GetBuffer(&data, &n, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(flags, DWORD(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY));
    EXPECT_EQ(position, 960u);
    EXPECT_EQ(capture->ReleaseBuffer(100), AUDCLNT_E_INVALID_SIZE);
    ASSERT_EQ(capture->ReleaseBuffer(0), S_OK); // not read: handed out again
    ASSERT_EQ(capture->GetBuffer(&data, &n, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(position, 960u);
    ASSERT_EQ(capture->ReleaseBuffer(n), S_OK);
    sim::step();
    ASSERT_EQ(capture->GetBuffer(&data, &n, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(flags, 0u);
    ASSERT_EQ(capture->ReleaseBuffer(n), S_OK);
    EXPECT_EQ(sim::stats(sim::Flow::Capture).discontinuities, 2u);
    EXPECT_EQ(sim::recording(sim::Flow::Capture).size(), 2u * 480 * 4);
    CloseHandle(e);
}

// Through the meter a host can read: slack is negative exactly for the render periods the
// client missed and the capture packets it let drop; calls are counted per method.
TEST_F(Sim, MeterGivesSlackPerPeriodAndCallsPerMethod) {
    Duplex d;
    open(d, stereo24(48000), stereo24(48000));
    Ptr<IVlasimMeter> meter;
    ASSERT_HRESULT_SUCCEEDED(enumerator->QueryInterface(IID_IVlasimMeter, meter.outv()));
    ASSERT_HRESULT_SUCCEEDED(d.r->Start());
    ASSERT_HRESULT_SUCCEEDED(d.c->Start());
    UINT64 calls = 0;
    ASSERT_HRESULT_SUCCEEDED(meter->GetCalls("IAudioRenderClient::GetBuffer", 0, &calls));
    unsigned seen = sim::callCount("IAudioRenderClient::GetBuffer");
    d.service();
    for (int i = 1; i <= 8; ++i) { // the client sleeps through the events of ticks 4 and 5
        Sleep(1);
        sim::step();
        Sleep(1);
        if (i != 4 && i != 5) d.service();
    }
    for (UINT32 flow : {0u, 1u}) {
        VlasimStream info;
        ASSERT_EQ(meter->GetStream(flow, &info), S_OK);
        EXPECT_EQ(info.periodFrames, 480u);
        std::vector<VlasimPeriod> p(size_t(info.recorded) + 1);
        UINT32 n = 0;
        ASSERT_HRESULT_SUCCEEDED(meter->GetPeriods(flow, 0, UINT32(p.size()), p.data(), &n));
        EXPECT_EQ(n, flow ? 7u : 8u);
        uint64_t late = 0;
        for (UINT32 i = 0; i < n; ++i) late += p[i].deadline < p[i].release;
        sim::Stats st = sim::stats(flow ? sim::Flow::Capture : sim::Flow::Render);
        EXPECT_EQ(late, flow ? st.discontinuities : st.missedPeriods);
        EXPECT_EQ(late, 2u);
    }
    UINT64 after = 0;
    meter->GetCalls("IAudioRenderClient::GetBuffer", 0, &after);
    EXPECT_EQ(after - calls, sim::callCount("IAudioRenderClient::GetBuffer") - seen);
}

// --- Documented refusals, and the options where real drivers differ ------------------------
//
// One row per refusal of the table in sim/README.md: the endpoints' options, then what a
// client sees (the default endpoints unless the row sets something).

const wchar_t kHeadsetOut[] = L"{0.0.0.00000000}.{c41e7a90-2d35-4b68-9f1c-6e0a8d2b5f31}";

struct RuleRow {
    const char* rule;
    std::function<void(sim::EndpointConfig& render, sim::EndpointConfig& capture)> set;
    std::function<void()> check;
};

TEST_F(Sim, DocumentedRefusalsAndTheOptionsWhereDriversDiffer) {
    const WAVEFORMATEXTENSIBLE f = stereo24(48000);
    const DWORD ev = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    auto init = [&](EDataFlow flow, DWORD flags, REFERENCE_TIME d, REFERENCE_TIME p,
                    const WAVEFORMATEXTENSIBLE& format) {
        Ptr<IAudioClient> c;
        client(flow, c);
        return c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, d, p, &format.Format, nullptr);
    };
    const RuleRow rows[] = {
        {"event-driven GetBuffer and ReleaseBuffer take the whole buffer, 0 included", nullptr,
         [&] {
             Duplex d;
             open(d, f, f);
             BYTE* p;
             EXPECT_EQ(d.render->GetBuffer(0, &p), AUDCLNT_E_BUFFER_SIZE_ERROR);
             EXPECT_EQ(d.render->GetBuffer(240, &p), AUDCLNT_E_BUFFER_SIZE_ERROR);
             ASSERT_EQ(d.render->GetBuffer(480, &p), S_OK);
             EXPECT_EQ(d.render->ReleaseBuffer(481, 0), AUDCLNT_E_INVALID_SIZE);
             EXPECT_EQ(d.render->ReleaseBuffer(0, 0), AUDCLNT_E_BUFFER_SIZE_ERROR);
             EXPECT_EQ(d.render->ReleaseBuffer(240, 0), AUDCLNT_E_BUFFER_SIZE_ERROR);
             EXPECT_EQ(d.render->ReleaseBuffer(480, 0), S_OK);
         }},
        {"initialize_again = no: any refused client is used up",
         [](sim::EndpointConfig& r, sim::EndpointConfig&) { r.initializeAgain = false; },
         [&] {
             Ptr<IAudioClient> c;
             client(eRender, c);
             WAVEFORMATEXTENSIBLE mono = sim::extensibleFormat(48000, 1, 32, 24, 0x4);
             EXPECT_EQ(c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, ev, k10ms, k10ms, &mono.Format,
                                     nullptr),
                       AUDCLNT_E_UNSUPPORTED_FORMAT);
             EXPECT_EQ(
                 c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, ev, k10ms, k10ms, &f.Format, nullptr),
                 AUDCLNT_E_ALREADY_INITIALIZED);
         }},
        {"the longest exclusive buffer: 500 ms event-driven, 2 s timer-driven", nullptr,
         [&] {
             EXPECT_EQ(init(eRender, ev, 5000001, 5000001, f), AUDCLNT_E_BUFFER_SIZE_ERROR);
             EXPECT_EQ(init(eRender, ev, 5000000, 5000000, f), S_OK);
             EXPECT_EQ(init(eCapture, 0, 20000001, k10ms, f), AUDCLNT_E_BUFFER_SIZE_ERROR);
             EXPECT_EQ(init(eCapture, 0, 20000000, k10ms, f), S_OK);
         }},
        {"exclusive = forbidden, in_use",
         [](sim::EndpointConfig& r, sim::EndpointConfig& c) {
             r.exclusiveRefusal = AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
             c.exclusiveRefusal = AUDCLNT_E_DEVICE_IN_USE;
         },
         [&] {
             EXPECT_EQ(init(eRender, ev, k10ms, k10ms, f), AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED);
             EXPECT_EQ(init(eCapture, ev, k10ms, k10ms, f), AUDCLNT_E_DEVICE_IN_USE);
         }},
        {"an endpoint unplugged mid-stream stops and answers AUDCLNT_E_DEVICE_INVALIDATED", nullptr,
         [&] {
             sim::EndpointConfig out = sim::defaultRender();
             out.id = kHeadsetOut;
             sim::configure(std::vector<sim::EndpointConfig>{sim::defaultRender(), out},
                            std::vector<sim::EndpointConfig>{sim::defaultCapture()});
             Ptr<IAudioClient> r, spare;
             HANDLE e;
             open(eRender, f, k10ms, r, &e, kHeadsetOut);
             client(eRender, spare, kHeadsetOut);
             Ptr<IAudioRenderClient> render;
             ASSERT_HRESULT_SUCCEEDED(r->GetService(IID_IAudioRenderClient, render.outv()));
             ASSERT_HRESULT_SUCCEEDED(r->Start());
             EXPECT_EQ(pending(e), 1);
             sim::step();
             EXPECT_EQ(pending(e), 1);
             ASSERT_TRUE(sim::unplug(kHeadsetOut));
             sim::step(2);
             EXPECT_EQ(pending(e), 0);
             EXPECT_EQ(sim::stats(kHeadsetOut).periods, 1u);
             BYTE* data;
             UINT32 n;
             EXPECT_EQ(render->GetBuffer(480, &data), AUDCLNT_E_DEVICE_INVALIDATED);
             EXPECT_EQ(r->GetCurrentPadding(&n), AUDCLNT_E_DEVICE_INVALIDATED);
             EXPECT_EQ(r->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
             EXPECT_EQ(spare->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, ev, k10ms, k10ms, &f.Format,
                                         nullptr),
                       AUDCLNT_E_DEVICE_INVALIDATED);
             Ptr<IMMDevice> d;
             ASSERT_EQ(enumerator->GetDevice(kHeadsetOut, d.out()), S_OK); // still known
             DWORD state = 0;
             EXPECT_EQ(d->GetState(&state), S_OK);
             EXPECT_EQ(state, DEVICE_STATE_NOTPRESENT);
             EXPECT_EQ(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, spare.outv()),
                       AUDCLNT_E_DEVICE_INVALIDATED);
             CloseHandle(e);
         }},
    };
    for (const RuleRow& row : rows) {
        SCOPED_TRACE(row.rule);
        sim::EndpointConfig r = sim::defaultRender(), c = sim::defaultCapture();
        if (row.set) row.set(r, c);
        sim::configure(r, c);
        row.check();
    }
}

// --- Accounting -------------------------------------------------------------------------

TEST_F(Sim, AccountingSeesAForgottenReleaseAndAnUnfreedString) {
    IMMDevice* d = nullptr;
    ASSERT_HRESULT_SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &d));
    IAudioClient* c = nullptr;
    ASSERT_HRESULT_SUCCEEDED(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, (void**)&c));
    c->AddRef();
    LPWSTR id = nullptr;
    ASSERT_HRESULT_SUCCEEDED(d->GetId(&id));
    d->Release();
    c->Release(); // one reference forgotten

    EXPECT_EQ(sim::liveObjects(), objectsBefore + 2); // the enumerator and the client
    EXPECT_EQ(sim::outstandingRefs(), 2);
    EXPECT_EQ(sim::outstandingAllocations(), 1);
    std::string r = sim::report();
    EXPECT_NE(r.find("IAudioClient render refs=1"), std::string::npos) << r;
    EXPECT_NE(r.find("task allocation"), std::string::npos) << r;
    c->Release();
    CoTaskMemFree(id);
    EXPECT_EQ(sim::liveObjects(), objectsBefore + 1);
}

// --- Configuration files ----------------------------------------------------------------

// The example of sim/README.md and every profile parse; a bad line is named.
TEST_F(Sim, ConfigurationFilesParse) {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"vls", 0, path);
    auto write = [&](const std::string& text) {
        FILE* f = _wfopen(path, L"wb");
        fputs(text.c_str(), f);
        fclose(f);
    };
    std::wstring error;
    FILE* readme = fopen(VLASIO_SOURCE_DIR "/sim/README.md", "rb");
    ASSERT_TRUE(readme);
    std::string text(1 << 16, '\0');
    text.resize(fread(&text[0], 1, text.size(), readme));
    fclose(readme);
    size_t from = text.find("```ini\n") + 7, to = text.find("```", from);
    ASSERT_NE(to, std::string::npos);
    write(text.substr(from, to - from));
    EXPECT_TRUE(sim::loadConfigFile(path, &error)) << std::string(error.begin(), error.end());
    WIN32_FIND_DATAW found;
    const std::wstring profiles = L"Z:" VLASIO_SOURCE_DIR_W L"/sim/profiles/";
    HANDLE search = FindFirstFileW((profiles + L"*.ini").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    int parsed = 0;
    do {
        EXPECT_TRUE(sim::loadConfigFile(profiles + found.cFileName, &error))
            << std::string(error.begin(), error.end());
        ++parsed;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_GE(parsed, 9);
    sim::setClock(sim::Clock::Manual);
    write("[render]\nrate = 48000\nrates = 44100, fast\n");
    EXPECT_FALSE(sim::loadConfigFile(path, &error));
    EXPECT_NE(error.find(L":3: not a rate: fast"), std::wstring::npos);
    DeleteFileW(path);
}

} // namespace
