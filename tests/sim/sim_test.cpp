// The simulated endpoint service, linked in: endpoints, exclusive-mode rules, streaming on
// the stepped and the realtime clock, faults and accounting.
#include "sim/meter.h"
#include "sim/sim.h"

#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

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

// --- Endpoints --------------------------------------------------------------------------

TEST_F(Sim, EndpointsAnswerIdsPropertiesAndMixFormat) {
    Ptr<IMMDevice> render;
    device(eRender, render);
    LPWSTR id = nullptr;
    ASSERT_HRESULT_SUCCEEDED(render->GetId(&id));
    EXPECT_EQ(sim::outstandingAllocations(), 1);

    Ptr<IMMDevice> again;
    ASSERT_HRESULT_SUCCEEDED(enumerator->GetDevice(id, again.out()));
    LPWSTR id2 = nullptr;
    ASSERT_HRESULT_SUCCEEDED(again->GetId(&id2));
    EXPECT_STREQ(id, id2);
    EXPECT_STREQ(id, sim::defaultRender().id.c_str());
    CoTaskMemFree(id);
    CoTaskMemFree(id2);
    Ptr<IMMDevice> none;
    EXPECT_EQ(enumerator->GetDevice(L"{0.0.0.00000000}.{unknown}", none.out()),
              HRESULT(0x80070490));
    EXPECT_FALSE(none);

    Ptr<IPropertyStore> props;
    ASSERT_HRESULT_SUCCEEDED(render->OpenPropertyStore(STGM_READ, props.out()));
    PROPVARIANT v;
    ASSERT_HRESULT_SUCCEEDED(props->GetValue(PKEY_Device_DeviceDesc, &v));
    ASSERT_EQ(v.vt, VT_LPWSTR);
    EXPECT_STREQ(v.pwszVal, L"Speakers");
    PropVariantClear(&v);
    ASSERT_HRESULT_SUCCEEDED(props->GetValue(PKEY_AudioEngine_DeviceFormat, &v));
    ASSERT_EQ(v.vt, VT_BLOB);
    ASSERT_EQ(v.blob.cbSize, sizeof(WAVEFORMATEXTENSIBLE));
    auto* f = reinterpret_cast<WAVEFORMATEXTENSIBLE*>(v.blob.pBlobData);
    EXPECT_EQ(f->Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(f->Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(f->Samples.wValidBitsPerSample, 24);
    PropVariantClear(&v);

    Ptr<IAudioClient> c;
    ASSERT_HRESULT_SUCCEEDED(render->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, c.outv()));
    WAVEFORMATEX* mix = nullptr;
    ASSERT_HRESULT_SUCCEEDED(c->GetMixFormat(&mix));
    EXPECT_EQ(mix->nChannels, 2);
    EXPECT_EQ(mix->cbSize, 22);
    EXPECT_EQ(sim::outstandingAllocations(), 1);
    CoTaskMemFree(mix);
}

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
    EXPECT_EQ(def, 100000);
    EXPECT_EQ(min, 26667); // 128 frames at 48 kHz

    UINT32 frames = 0;
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(a->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(a->SetEventHandle(e), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(a->Start(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(init(a.p, k10ms, 50000), AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL);
    EXPECT_EQ(init(a.p, 20000, 20000), AUDCLNT_E_INVALID_DEVICE_PERIOD);
    EXPECT_EQ(a->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, k10ms, 0, &f.Format, nullptr),
              AUDCLNT_E_EXCLUSIVE_MODE_ONLY);
    // None of these refusals used the client up.
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

TEST_F(Sim, SteppedClockGivesOneEventPerPeriod) {
    Duplex d;
    open(d, stereo24(48000), stereo24(48000));
    ASSERT_HRESULT_SUCCEEDED(d.c->Start());
    ASSERT_HRESULT_SUCCEEDED(d.r->Start());
    EXPECT_EQ(pending(d.re), 1); // room for a period at once
    EXPECT_EQ(pending(d.ce), 0); // nothing captured yet
    for (int i = 0; i < 5; ++i) {
        BYTE* data;
        ASSERT_EQ(d.render->GetBuffer(480, &data), S_OK);
        ASSERT_EQ(d.render->ReleaseBuffer(480, 0), S_OK);
        sim::step();
        EXPECT_EQ(pending(d.re), 1);
        EXPECT_EQ(pending(d.ce), 1);
        UINT32 n = 0;
        ASSERT_HRESULT_SUCCEEDED(d.capture->GetNextPacketSize(&n));
        EXPECT_EQ(n, 480u);
        DWORD flags;
        ASSERT_EQ(d.capture->GetBuffer(&data, &n, &flags, nullptr, nullptr), S_OK);
        EXPECT_EQ(flags, 0u);
        ASSERT_EQ(d.capture->ReleaseBuffer(n), S_OK);
    }
    sim::Stats rs = sim::stats(sim::Flow::Render), cs = sim::stats(sim::Flow::Capture);
    EXPECT_EQ(rs.periods, 5u);
    EXPECT_EQ(rs.eventsSet, 6u);
    EXPECT_EQ(rs.missedPeriods + rs.leadingSilentPeriods, 0u);
    EXPECT_EQ(cs.eventsSet, 5u);
    EXPECT_EQ(cs.framesDelivered, 2400u);
    ASSERT_HRESULT_SUCCEEDED(d.r->Stop());
    sim::step(3);
    EXPECT_EQ(pending(d.re), 0);
    EXPECT_EQ(sim::stats(sim::Flow::Render).periods, 5u);
}

TEST_F(Sim, ReplacedEndpointsAreUnplugged) {
    WAVEFORMATEXTENSIBLE f = stereo24(48000);
    Ptr<IAudioClient> r, spare;
    HANDLE e;
    open(eRender, f, k10ms, r, &e);
    client(eRender, spare);
    Ptr<IAudioRenderClient> render;
    ASSERT_HRESULT_SUCCEEDED(r->GetService(IID_IAudioRenderClient, render.outv()));
    ASSERT_HRESULT_SUCCEEDED(r->Start());
    sim::configure(sim::defaultRender(), sim::defaultCapture());
    sim::step();
    EXPECT_EQ(sim::stats(sim::Flow::Render).periods, 0u); // the new endpoint runs nothing
    BYTE* data;
    EXPECT_EQ(render->GetBuffer(480, &data), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(spare->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                k10ms, k10ms, &f.Format, nullptr),
              AUDCLNT_E_DEVICE_INVALIDATED);
    Ptr<IAudioClient> fresh;
    client(eRender, fresh); // the new endpoint is free
    EXPECT_EQ(fresh->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                k10ms, k10ms, &f.Format, nullptr),
              S_OK);
    CloseHandle(e);
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
    for (int i = 0; i < 480 * 2; ++i)
        reinterpret_cast<int16_t*>(data)[i] = int16_t(i);
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
    EXPECT_EQ(s.framesPlayed, 4u * 480);
    std::vector<BYTE> played = sim::recording(sim::Flow::Render);
    ASSERT_EQ(played.size(), 4u * 480 * 4);
    auto* samples = reinterpret_cast<const int16_t*>(played.data());
    EXPECT_EQ(samples[0], 0);
    EXPECT_EQ(samples[959], 959);
    for (size_t i = 960; i < played.size() / 2; ++i)
        ASSERT_EQ(samples[i], 0) << i;
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
    auto* s = reinterpret_cast<const int16_t*>(data);
    EXPECT_EQ(s[0], sim::counterSample(0, 960, 16));
    EXPECT_EQ(s[2 * 5 + 1], sim::counterSample(1, 965, 16));
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

TEST_F(Sim, LoopbackDelaysTheRenderSignalByTheConfiguredFrames) {
    for (UINT32 delay : {0u, 64u, 700u}) {
        sim::EndpointConfig c = sim::defaultCapture();
        c.loopbackDelayFrames = delay;
        c.layouts = {{1, 0x4}, {2, 0x3}};
        sim::configure(sim::defaultRender(), c);
        // Render 16-bit stereo, capture 24-in-32 mono: converted and channel-mapped.
        WAVEFORMATEXTENSIBLE rf = sim::pcmFormat(48000, 2, 16);
        WAVEFORMATEXTENSIBLE cf = sim::extensibleFormat(48000, 1, 32, 24, 0x4);
        Duplex d;
        open(d, rf, cf);
        ASSERT_HRESULT_SUCCEEDED(d.c->Start());
        ASSERT_HRESULT_SUCCEEDED(d.r->Start());
        std::vector<int32_t> heard;
        int frame = 0;
        for (int period = 0; period < 4; ++period) {
            BYTE* data;
            ASSERT_EQ(d.render->GetBuffer(480, &data), S_OK);
            for (int i = 0; i < 480; ++i, ++frame) {
                reinterpret_cast<int16_t*>(data)[2 * i] = int16_t(frame + 1);
                reinterpret_cast<int16_t*>(data)[2 * i + 1] = -1;
            }
            ASSERT_EQ(d.render->ReleaseBuffer(480, 0), S_OK);
            sim::step();
            UINT32 n;
            DWORD flags;
            ASSERT_EQ(d.capture->GetBuffer(&data, &n, &flags, nullptr, nullptr), S_OK);
            heard.insert(heard.end(), reinterpret_cast<int32_t*>(data),
                         reinterpret_cast<int32_t*>(data) + n);
            ASSERT_EQ(d.capture->ReleaseBuffer(n), S_OK);
        }
        SCOPED_TRACE(delay);
        for (size_t i = 0; i < heard.size(); ++i) {
            int32_t want = i < delay ? 0 : int32_t(uint32_t(i - delay + 1) << 16);
            ASSERT_EQ(heard[i], want) << "frame " << i;
        }
    }
}

TEST_F(Sim, WaitServicedFollowsAClientThread) {
    Duplex d;
    open(d, stereo24(48000), stereo24(48000));
    int passes = 0;
    // A duplex client in the driver's manner: wait for both events, then one period each way.
    std::thread t([&] {
        HANDLE both[2] = {d.re, d.ce};
        for (; passes < 20 && WaitForMultipleObjects(2, both, TRUE, 2000) == WAIT_OBJECT_0;
             ++passes)
            d.service();
    });
    ASSERT_HRESULT_SUCCEEDED(d.c->Start());
    ASSERT_HRESULT_SUCCEEDED(d.r->Start());
    EXPECT_TRUE(sim::run(20, 2000));
    t.join();
    EXPECT_EQ(passes, 20);
    sim::Stats s = sim::stats(sim::Flow::Render);
    EXPECT_EQ(s.leadingSilentPeriods, 1u); // the first pass waits for the first capture
    EXPECT_EQ(s.missedPeriods, 0u);
}

TEST_F(Sim, RealtimeClockHoldsTheSchedule) {
    sim::setClock(sim::Clock::Realtime);
    Duplex d;
    open(d, stereo24(48000), stereo24(48000));
    std::atomic<bool> stop{false};
    std::thread t([&] {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
        HANDLE both[2] = {d.re, d.ce};
        while (!stop && WaitForMultipleObjects(2, both, TRUE, 500) == WAIT_OBJECT_0)
            d.service();
    });
    ASSERT_HRESULT_SUCCEEDED(d.c->Start());
    ASSERT_HRESULT_SUCCEEDED(d.r->Start());
    LARGE_INTEGER t0, t1, freq;
    QueryPerformanceCounter(&t0);
    Sleep(2000);
    d.r->Stop();
    d.c->Stop();
    QueryPerformanceCounter(&t1);
    QueryPerformanceFrequency(&freq);
    stop = true;
    SetEvent(d.re);
    SetEvent(d.ce);
    t.join();
    double seconds = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
    sim::Stats s = sim::stats(sim::Flow::Render), k = sim::stats(sim::Flow::Capture);
    printf("realtime 10 ms: %llu periods in %.3f s, lateness mean %.0f us max %.0f us, "
           "slips %llu, missed %llu, discontinuities %llu\n",
           (unsigned long long)s.periods, seconds, s.meanLateUs, s.maxLateUs,
           (unsigned long long)s.clockSlips, (unsigned long long)s.missedPeriods,
           (unsigned long long)k.discontinuities);
    // A loaded machine may delay the sim's own clock (slips), never speed it up.
    EXPECT_LE(double(s.periods), seconds * 100 + 2);
    EXPECT_GE(double(s.periods), seconds * 90);
    EXPECT_EQ(s.periods, k.periods);
    EXPECT_LT(s.meanLateUs, 2000);
}

// --- Documented rules, and the options where real drivers differ --------------------------
//
// One row per rule of the table in sim/README.md: the endpoints' options, then what a client
// sees (the default endpoints unless the row sets something).

const wchar_t kHeadsetOut[] = L"{0.0.0.00000000}.{c41e7a90-2d35-4b68-9f1c-6e0a8d2b5f31}";
const wchar_t kHeadsetIn[] = L"{0.0.1.00000000}.{7b93d0e4-5a1f-4c27-8e60-2f4d9c1a6b85}";

std::wstring nameOf(Ptr<IMMDevice>& d) {
    Ptr<IPropertyStore> props;
    PROPVARIANT v;
    if (FAILED(d->OpenPropertyStore(STGM_READ, props.out())) ||
        FAILED(props->GetValue(PKEY_Device_FriendlyName, &v)) || v.vt != VT_LPWSTR)
        return L"";
    std::wstring name = v.pwszVal;
    PropVariantClear(&v);
    return name;
}

struct RuleRow {
    const char* rule;
    std::function<void(sim::EndpointConfig& render, sim::EndpointConfig& capture)> set;
    std::function<void()> check;
};

TEST_F(Sim, DocumentedRulesAndTheOptionsWhereDriversDiffer) {
    const WAVEFORMATEXTENSIBLE f = stereo24(48000);
    auto init = [&](EDataFlow flow, DWORD flags, REFERENCE_TIME d, REFERENCE_TIME p,
                    const WAVEFORMATEXTENSIBLE& format, UINT32* frames = nullptr) {
        Ptr<IAudioClient> c;
        client(flow, c);
        HRESULT hr =
            c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, d, p, &format.Format, nullptr);
        if (frames) c->GetBufferSize(frames);
        return hr;
    };
    const DWORD ev = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    auto framesFor = [&](REFERENCE_TIME d) {
        UINT32 n = 0;
        EXPECT_EQ(init(eRender, ev, d, d, f, &n), S_OK);
        return n;
    };
    auto initTwice = [&](HRESULT second) {
        Ptr<IAudioClient> c;
        client(eRender, c);
        WAVEFORMATEXTENSIBLE mono = sim::extensibleFormat(48000, 1, 32, 24, 0x4);
        EXPECT_EQ(
            c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, ev, k10ms, k10ms, &mono.Format, nullptr),
            AUDCLNT_E_UNSUPPORTED_FORMAT);
        EXPECT_EQ(c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, ev, k10ms, k10ms, &f.Format, nullptr),
                  second);
    };
    // The flags and QPC positions of a capture stream's first `ticks` packets.
    auto packets = [&](int ticks, std::vector<DWORD>* flags, std::vector<UINT64>* qpc) {
        Duplex d;
        open(d, f, f);
        ASSERT_HRESULT_SUCCEEDED(d.c->Start());
        for (int i = 0; i < ticks; ++i) {
            sim::step();
            BYTE* data;
            UINT32 n;
            DWORD fl;
            UINT64 pos, q;
            ASSERT_EQ(d.capture->GetBuffer(&data, &n, &fl, &pos, &q), S_OK);
            flags->push_back(fl);
            qpc->push_back(q);
            d.capture->ReleaseBuffer(n);
        }
    };
    // Built-in speakers and microphone, and a USB headset whose microphone is the default
    // capture endpoint; the headset's loopback line is 240 frames long.
    auto twoDevices = [] {
        sim::EndpointConfig out = sim::defaultRender(), in = sim::defaultCapture();
        out.id = kHeadsetOut;
        out.friendlyName = L"Headset Earphone (USB)";
        in.id = kHeadsetIn;
        in.friendlyName = L"Headset Microphone (USB)";
        in.loopbackDelayFrames = 240;
        in.isDefault = true;
        sim::configure({sim::defaultRender(), out}, {sim::defaultCapture(), in});
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
        {"a duration becomes frames rounded to the nearest frame",
         [](sim::EndpointConfig& r, sim::EndpointConfig&) { r.alignmentBytes = 1; },
         [&] { EXPECT_EQ(framesFor(100001), 480u); }},
        {"frame_rounding = up: at least the duration asked",
         [](sim::EndpointConfig& r, sim::EndpointConfig&) {
             r.alignmentBytes = 1;
             r.roundFramesUp = true;
         },
         [&] {
             EXPECT_EQ(framesFor(100001), 481u);
             EXPECT_EQ(framesFor(100000), 480u);
         }},
        {"a client refused for another reason than alignment may initialise again", nullptr,
         [&] { initTwice(S_OK); }},
        {"initialize_again = no: any refused client is used up",
         [](sim::EndpointConfig& r, sim::EndpointConfig&) { r.initializeAgain = false; },
         [&] { initTwice(AUDCLNT_E_ALREADY_INITIALIZED); }},
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
        {"a render stream started with nothing released has a start glitch", nullptr,
         [&] {
             Duplex d;
             open(d, f, f);
             ASSERT_HRESULT_SUCCEEDED(d.r->Start());
             EXPECT_EQ(sim::stats(sim::Flow::Render).startGlitches, 1u);
         }},
        {"next_packet_size = zero, current_padding = zero: exclusive mode answers 0",
         [](sim::EndpointConfig& r, sim::EndpointConfig& c) {
             c.nextPacketSizeZero = true;
             r.paddingZero = true;
         },
         [&] {
             Duplex d;
             open(d, f, f);
             d.service(); // a period queued for render
             ASSERT_HRESULT_SUCCEEDED(d.c->Start());
             sim::step();
             UINT32 n = 99;
             EXPECT_EQ(d.capture->GetNextPacketSize(&n), S_OK);
             EXPECT_EQ(n, 0u);
             EXPECT_EQ(d.r->GetCurrentPadding(&n), S_OK);
             EXPECT_EQ(n, 0u);
             BYTE* data;
             DWORD flags;
             ASSERT_EQ(d.capture->GetBuffer(&data, &n, &flags, nullptr, nullptr), S_OK);
             EXPECT_EQ(n, 480u); // the packet is there all the same
             d.capture->ReleaseBuffer(n);
         }},
        {"capture packets carry SILENT, DATA_DISCONTINUITY and TIMESTAMP_ERROR",
         [](sim::EndpointConfig&, sim::EndpointConfig& c) {
             c.firstPacketDiscontinuity = true;
             c.packetFlags = AUDCLNT_BUFFERFLAGS_SILENT | AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR;
             c.packetFlagsEvery = 2;
         },
         [&] {
             std::vector<DWORD> flags;
             std::vector<UINT64> qpc;
             packets(3, &flags, &qpc);
             const DWORD odd = AUDCLNT_BUFFERFLAGS_SILENT | AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR;
             EXPECT_EQ(flags, (std::vector<DWORD>{AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, odd, 0}));
             ASSERT_EQ(qpc.size(), 3u);
             EXPECT_EQ(qpc[1], 0u);
             EXPECT_NE(qpc[2], 0u);
         }},
        {"GetStreamLatency is a period; IAudioClock counts bytes since Start", nullptr,
         [&] {
             Duplex d;
             open(d, f, f);
             REFERENCE_TIME latency = 0;
             EXPECT_EQ(d.r->GetStreamLatency(&latency), S_OK);
             EXPECT_EQ(latency, k10ms);
             Ptr<IAudioClock> clock;
             ASSERT_HRESULT_SUCCEEDED(d.c->GetService(IID_IAudioClock, clock.outv()));
             ASSERT_HRESULT_SUCCEEDED(d.c->Start());
             sim::step(2);
             UINT64 frequency = 0, position = 0;
             EXPECT_EQ(clock->GetFrequency(&frequency), S_OK);
             EXPECT_EQ(clock->GetPosition(&position, nullptr), S_OK);
             EXPECT_EQ(frequency, 48000u * 8);
             EXPECT_EQ(position, 2u * 480 * 8);
         }},
        {"clock_phase: a capture clock of its own, half a period late",
         [](sim::EndpointConfig&, sim::EndpointConfig& c) { c.clockPhase = 0.5; },
         [&] {
             sim::setClock(sim::Clock::Realtime);
             Duplex d;
             open(d, f, f);
             ASSERT_HRESULT_SUCCEEDED(d.r->Start());
             ASSERT_HRESULT_SUCCEEDED(d.c->Start());
             pending(d.re); // the render event of Start
             SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
             LARGE_INTEGER t0, t1, freq;
             QueryPerformanceFrequency(&freq);
             std::vector<double> ms; // from each render tick to the capture tick after it
             for (int i = 0; i < 5; ++i) {
                 ASSERT_EQ(WaitForSingleObject(d.re, 1000), WAIT_OBJECT_0);
                 QueryPerformanceCounter(&t0);
                 ASSERT_EQ(WaitForSingleObject(d.ce, 1000), WAIT_OBJECT_0);
                 QueryPerformanceCounter(&t1);
                 ms.push_back(1000.0 * double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart));
             }
             SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
             d.r->Stop();
             d.c->Stop();
             std::sort(ms.begin(), ms.end());
             // Half a period, 5 ms, give or take Wine's timers; the median leaves out a wake
             // the machine delayed. (Without drift, so that the phase stays where it started.)
             EXPECT_GT(ms[2], 2.0);
             EXPECT_LT(ms[2], 8.0);
         }},
        {"clock_ppm: a capture clock of its own that runs fast and never waits",
         [](sim::EndpointConfig&, sim::EndpointConfig& c) {
             c.clockPpm = 100000; // 10 %, to be seen in a few periods
         },
         [&] {
             sim::setClock(sim::Clock::Realtime);
             Duplex d;
             open(d, f, f);
             ASSERT_HRESULT_SUCCEEDED(d.r->Start());
             ASSERT_HRESULT_SUCCEEDED(d.c->Start());
             Sleep(500);
             d.r->Stop();
             d.c->Stop();
             sim::Stats r = sim::stats(sim::Flow::Render), c = sim::stats(sim::Flow::Capture);
             EXPECT_GT(c.periods, r.periods);  // 10 % more: 5 in 50
             EXPECT_GT(c.discontinuities, 0u); // never read: the clock did not wait
         }},
        {"several endpoints per direction: the active ones listed, found by ID, by name", nullptr,
         [&] {
             twoDevices();
             auto listed = [&](EDataFlow flow, DWORD mask) {
                 std::vector<std::wstring> names;
                 Ptr<IMMDeviceCollection> all;
                 UINT n = 0;
                 EXPECT_EQ(enumerator->EnumAudioEndpoints(flow, mask, all.out()), S_OK);
                 EXPECT_EQ(all->GetCount(&n), S_OK);
                 for (UINT i = 0; i < n; ++i) {
                     Ptr<IMMDevice> d;
                     EXPECT_EQ(all->Item(i, d.out()), S_OK);
                     names.push_back(nameOf(d));
                 }
                 return names;
             };
             EXPECT_EQ(listed(eRender, DEVICE_STATE_ACTIVE),
                       (std::vector<std::wstring>{L"Speakers (Simulated HD Audio)",
                                                  L"Headset Earphone (USB)"}));
             EXPECT_EQ(listed(eAll, DEVICE_STATEMASK_ALL).size(), 4u);
             Ptr<IMMDeviceCollection> none;
             EXPECT_EQ(enumerator->EnumAudioEndpoints(eRender, 0x10, none.out()), E_INVALIDARG);
             Ptr<IMMDevice> d;
             ASSERT_EQ(enumerator->GetDevice(kHeadsetIn, d.out()), S_OK);
             EXPECT_EQ(nameOf(d), L"Headset Microphone (USB)");
             DWORD state = 0;
             EXPECT_EQ(d->GetState(&state), S_OK);
             EXPECT_EQ(state, DEVICE_STATE_ACTIVE);
             ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, d.out()), S_OK);
             EXPECT_EQ(nameOf(d), L"Headset Microphone (USB)"); // the one marked default
         }},
        {"each capture endpoint hears the render endpoint listed at its place", nullptr,
         [&] {
             twoDevices();
             Ptr<IAudioClient> r, c1, c2;
             HANDLE e[3];
             open(eRender, f, k10ms, r, &e[0], kHeadsetOut);
             open(eCapture, f, k10ms, c1, &e[1], sim::defaultCapture().id.c_str());
             open(eCapture, f, k10ms, c2, &e[2], kHeadsetIn);
             Ptr<IAudioRenderClient> render;
             Ptr<IAudioCaptureClient> builtIn, headset;
             ASSERT_HRESULT_SUCCEEDED(r->GetService(IID_IAudioRenderClient, render.outv()));
             ASSERT_HRESULT_SUCCEEDED(c1->GetService(IID_IAudioCaptureClient, builtIn.outv()));
             ASSERT_HRESULT_SUCCEEDED(c2->GetService(IID_IAudioCaptureClient, headset.outv()));
             for (IAudioClient* c : {c1.p, c2.p, r.p})
                 ASSERT_HRESULT_SUCCEEDED(c->Start());
             BYTE* data;
             ASSERT_EQ(render->GetBuffer(480, &data), S_OK);
             std::fill(data, data + 480 * 8, BYTE(0x40));
             ASSERT_EQ(render->ReleaseBuffer(480, 0), S_OK);
             sim::step();
             for (IAudioCaptureClient* c : {builtIn.p, headset.p}) {
                 UINT32 n;
                 DWORD flags;
                 ASSERT_EQ(c->GetBuffer(&data, &n, &flags, nullptr, nullptr), S_OK);
                 c->ReleaseBuffer(n);
             }
             auto heard = [](const std::wstring& id) {
                 std::vector<BYTE> rec = sim::recording(id);
                 auto loud = std::find_if(rec.begin(), rec.end(), [](BYTE b) { return b; });
                 return loud == rec.end() ? -1 : int(loud - rec.begin()) / 8;
             };
             EXPECT_EQ(heard(kHeadsetIn), 240);              // its own line's delay
             EXPECT_EQ(heard(sim::defaultCapture().id), -1); // the speakers play nothing
             for (HANDLE h : e)
                 CloseHandle(h);
         }},
        {"an endpoint unplugged mid-stream stops and answers AUDCLNT_E_DEVICE_INVALIDATED", nullptr,
         [&] {
             twoDevices();
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
             EXPECT_FALSE(sim::unplug(L"{no such endpoint}"));
             ASSERT_TRUE(sim::unplug(kHeadsetOut));
             ASSERT_TRUE(sim::unplug(kHeadsetIn));
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
             Ptr<IMMDeviceCollection> active;
             UINT count = 0;
             ASSERT_EQ(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, active.out()),
                       S_OK);
             EXPECT_EQ(active->GetCount(&count), S_OK);
             EXPECT_EQ(count, 1u);
             // The unplugged default's place goes to the next active endpoint.
             ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, d.out()), S_OK);
             EXPECT_EQ(nameOf(d), L"Microphone (Simulated HD Audio)");
             CloseHandle(e);
         }},
    };
    for (const RuleRow& row : rows) {
        SCOPED_TRACE(row.rule);
        sim::EndpointConfig r = sim::defaultRender(), c = sim::defaultCapture();
        if (row.set) row.set(r, c);
        sim::configure(r, c);
        sim::setClock(sim::Clock::Manual);
        row.check();
    }
}

// --- Faults -----------------------------------------------------------------------------

// Returns hr after releasing what the call handed back (read after the call: by reference).
template <class T> HRESULT drop(HRESULT hr, T*& p) {
    if (p) p->Release();
    p = nullptr;
    return hr;
}
HRESULT drop(HRESULT hr, LPWSTR& s) {
    CoTaskMemFree(s);
    return hr;
}
HRESULT drop(HRESULT hr, WAVEFORMATEX*& f) {
    CoTaskMemFree(f);
    return hr;
}

TEST_F(Sim, EveryOperationCanBeMadeToFail) {
    WAVEFORMATEXTENSIBLE f = stereo24(48000);
    Ptr<IMMDevice> d;
    device(eRender, d);
    Ptr<IPropertyStore> props;
    ASSERT_HRESULT_SUCCEEDED(d->OpenPropertyStore(STGM_READ, props.out()));
    Ptr<IAudioClient> fresh;
    client(eRender, fresh);
    Duplex x;
    open(x, f, f);
    ASSERT_HRESULT_SUCCEEDED(x.c->Start());
    sim::step(); // a packet to read
    IMMDevice* dev = nullptr;
    IUnknown* unk = nullptr;
    IAudioClient* ac = nullptr;
    IPropertyStore* ps = nullptr;
    LPWSTR id = nullptr;
    WAVEFORMATEX* wf = nullptr;
    BYTE* data = nullptr;
    UINT32 n;
    DWORD flags;
    REFERENCE_TIME t1, t2;
    // Each call succeeds without a fault; buffer calls are paired so that each can repeat.
    const std::pair<const char*, std::function<HRESULT()>> ops[] = {
        {"IClassFactory::CreateInstance",
         [&] {
             return drop(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                          IID_IUnknown, (void**)&unk),
                         unk);
         }},
        {"IMMDeviceEnumerator::GetDefaultAudioEndpoint",
         [&] { return drop(enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &dev), dev); }},
        {"IMMDeviceEnumerator::GetDevice",
         [&] { return drop(enumerator->GetDevice(sim::defaultRender().id.c_str(), &dev), dev); }},
        {"IMMDeviceEnumerator::QueryInterface",
         [&] { return drop(enumerator->QueryInterface(IID_IUnknown, (void**)&unk), unk); }},
        {"IMMDevice::Activate",
         [&] { return drop(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, (void**)&ac), ac); }},
        {"IMMDevice::OpenPropertyStore",
         [&] { return drop(d->OpenPropertyStore(STGM_READ, &ps), ps); }},
        {"IMMDevice::GetId", [&] { return drop(d->GetId(&id), id); }},
        {"IPropertyStore::GetValue",
         [&] {
             PROPVARIANT v;
             HRESULT hr = props->GetValue(PKEY_AudioEngine_DeviceFormat, &v);
             PropVariantClear(&v);
             return hr;
         }},
        {"IAudioClient::GetMixFormat", [&] { return drop(fresh->GetMixFormat(&wf), wf); }},
        {"IAudioClient::IsFormatSupported",
         [&] { return fresh->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &f.Format, nullptr); }},
        {"IAudioClient::GetDevicePeriod", [&] { return fresh->GetDevicePeriod(&t1, &t2); }},
        {"IAudioClient::GetBufferSize", [&] { return x.r->GetBufferSize(&n); }},
        {"IAudioClient::GetCurrentPadding", [&] { return x.r->GetCurrentPadding(&n); }},
        {"IAudioClient::SetEventHandle", [&] { return x.r->SetEventHandle(x.re); }},
        {"IAudioClient::GetService",
         [&] { return drop(x.r->GetService(IID_IAudioRenderClient, (void**)&unk), unk); }},
        {"IAudioClient::Start",
         [&] {
             HRESULT hr = x.r->Start();
             x.r->Stop();
             return hr;
         }},
        {"IAudioClient::Stop",
         [&] {
             HRESULT hr = x.r->Stop(); // S_FALSE: not running
             return hr == S_FALSE ? S_OK : hr;
         }},
        {"IAudioClient::Reset", [&] { return x.r->Reset(); }},
        {"IAudioClient::Initialize",
         [&] {
             Ptr<IAudioClient> busy;
             client(eCapture, busy);
             HRESULT hr =
                 busy->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0, k10ms, k10ms, &f.Format, nullptr);
             return hr == AUDCLNT_E_DEVICE_IN_USE ? S_OK : hr; // past a fault: busy
         }},
        {"IAudioRenderClient::GetBuffer",
         [&] {
             HRESULT hr = x.render->GetBuffer(480, &data);
             if (data) x.render->ReleaseBuffer(480, 0);
             x.r->Reset(); // empty again
             return hr;
         }},
        {"IAudioRenderClient::ReleaseBuffer",
         [&] {
             x.render->GetBuffer(480, &data);
             HRESULT hr = x.render->ReleaseBuffer(480, 0);
             if (FAILED(hr)) x.render->ReleaseBuffer(480, 0);
             x.r->Reset();
             return hr;
         }},
        {"IAudioCaptureClient::GetNextPacketSize",
         [&] { return x.capture->GetNextPacketSize(&n); }},
        {"IAudioCaptureClient::GetBuffer",
         [&] {
             HRESULT hr = x.capture->GetBuffer(&data, &n, &flags, nullptr, nullptr);
             if (data) x.capture->ReleaseBuffer(0);
             return hr;
         }},
        {"IAudioCaptureClient::ReleaseBuffer",
         [&] {
             x.capture->GetBuffer(&data, &n, &flags, nullptr, nullptr);
             HRESULT hr = x.capture->ReleaseBuffer(0);
             if (FAILED(hr)) x.capture->ReleaseBuffer(0);
             return hr;
         }},
    };
    const HRESULT injected = HRESULT(0x88890123);
    for (auto& o : ops) {
        SCOPED_TRACE(o.first);
        ASSERT_EQ(o.second(), S_OK);
        // Once at the second call; then from the third call on.
        ASSERT_TRUE(sim::fail(o.first, injected, sim::FaultMode::Once, 2));
        EXPECT_EQ(o.second(), S_OK);
        EXPECT_EQ(o.second(), injected);
        EXPECT_EQ(o.second(), S_OK);
        sim::clearFaults();
        ASSERT_TRUE(sim::fail(o.first, injected, sim::FaultMode::FromNth, 3));
        EXPECT_EQ(o.second(), S_OK);
        EXPECT_EQ(o.second(), S_OK);
        EXPECT_EQ(o.second(), injected);
        EXPECT_EQ(o.second(), injected);
        sim::clearFaults();
    }
    EXPECT_FALSE(sim::fail("IAudioClient::Initialise", E_FAIL));
    x.c->Stop();
}

TEST_F(Sim, FaultsCanHandBackNothingAndTargetOneEndpoint) {
    ASSERT_TRUE(sim::failNull("IMMDeviceEnumerator::GetDefaultAudioEndpoint"));
    ASSERT_TRUE(sim::fail("IMMDevice::Activate", AUDCLNT_E_DEVICE_INVALIDATED,
                          sim::FaultMode::Always, 1, sim::Flow::Capture));
    Ptr<IMMDevice> d;
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, d.out()), S_OK);
    EXPECT_FALSE(d);
    sim::clearFaults();
    ASSERT_TRUE(sim::fail("IMMDevice::Activate", AUDCLNT_E_DEVICE_INVALIDATED,
                          sim::FaultMode::Always, 1, sim::Flow::Capture));
    ASSERT_TRUE(sim::failNull("IMMDevice::GetId"));
    Ptr<IAudioClient> c;
    client(eRender, c);
    Ptr<IMMDevice> cap;
    device(eCapture, cap);
    EXPECT_EQ(cap->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, c.outv()),
              AUDCLNT_E_DEVICE_INVALIDATED);
    LPWSTR id = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(cap->GetId(&id), S_OK);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(sim::callCount("IMMDevice::Activate"), 2u);
    EXPECT_EQ(sim::callCount("IMMDevice::Activate", sim::Flow::Capture), 1u);
    std::vector<std::string> log = sim::callLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.back(), "IMMDevice::GetId capture");
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

// --- Configuration file -----------------------------------------------------------------

TEST_F(Sim, ConfigurationFile) {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"vls", 0, path);
    auto write = [&](const char* text) {
        FILE* f = _wfopen(path, L"wb");
        fputs(text, f);
        fclose(f);
    };
    write("# endpoints of a 44.1 kHz six-channel card\n"
          "[sim]\nclock = manual\n"
          "[render]\ndescription = Lautsprecher \xC3\xA4\nrate = 44100\nchannels = 6\n"
          "bits = 16\nextensible = no\nmix = device\nlayouts = 2:0x3, 6:0x3F\n"
          "rates = 44100\nsample_formats = 16/16\nalignment = 1\n"
          "[capture]\npresent = no\n");
    std::wstring error;
    ASSERT_TRUE(sim::loadConfigFile(path, &error)) << std::string(error.begin(), error.end());
    Ptr<IMMDevice> d;
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, d.out()),
              HRESULT(0x80070490));
    EXPECT_EQ(enumerator->GetDevice(sim::defaultCapture().id.c_str(), d.out()),
              HRESULT(0x80070490));
    device(eRender, d);
    Ptr<IPropertyStore> props;
    ASSERT_HRESULT_SUCCEEDED(d->OpenPropertyStore(STGM_READ, props.out()));
    PROPVARIANT v;
    ASSERT_HRESULT_SUCCEEDED(props->GetValue(PKEY_Device_DeviceDesc, &v));
    EXPECT_STREQ(v.pwszVal, L"Lautsprecher \u00e4");
    PropVariantClear(&v);
    ASSERT_HRESULT_SUCCEEDED(props->GetValue(PKEY_AudioEngine_DeviceFormat, &v));
    ASSERT_EQ(v.blob.cbSize, sizeof(WAVEFORMATEX));
    auto* f = reinterpret_cast<WAVEFORMATEX*>(v.blob.pBlobData);
    EXPECT_EQ(f->wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(f->nChannels, 6);
    EXPECT_EQ(f->nBlockAlign, 12);
    PropVariantClear(&v);
    Ptr<IAudioClient> c;
    ASSERT_HRESULT_SUCCEEDED(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, c.outv()));
    WAVEFORMATEXTENSIBLE six = sim::extensibleFormat(44100, 6, 16, 16, 0x3F);
    EXPECT_EQ(c->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &six.Format, nullptr), S_OK);
    EXPECT_EQ(c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, k10ms,
                            k10ms, &six.Format, nullptr),
              S_OK);

    // The example of sim/README.md parses as shown, comments after values and all, and so
    // does every profile.
    FILE* readme = fopen(VLASIO_SOURCE_DIR "/sim/README.md", "rb");
    ASSERT_TRUE(readme);
    std::string text(1 << 16, '\0');
    text.resize(fread(&text[0], 1, text.size(), readme));
    fclose(readme);
    size_t from = text.find("```ini\n") + 7, to = text.find("```", from);
    ASSERT_NE(to, std::string::npos);
    write(text.substr(from, to - from).c_str());
    ASSERT_TRUE(sim::loadConfigFile(path, &error)) << std::string(error.begin(), error.end());
    WAVEFORMATEXTENSIBLE stereo = stereo24(48000);
    device(eRender, d);
    ASSERT_HRESULT_SUCCEEDED(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, c.outv()));
    EXPECT_EQ(c->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &stereo.Format, nullptr), S_OK);
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
    write("[render]\nsignal = noise\n");
    EXPECT_FALSE(sim::loadConfigFile(path, &error));
    EXPECT_NE(error.find(L":2: expected counter"), std::wstring::npos);
    DeleteFileW(path);
}

} // namespace
