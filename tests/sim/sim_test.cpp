// The simulated endpoint service, linked in: its refusals where Windows refuses, the render
// and capture protocols, the meter, accounting and the configuration files.
#include "sim/meter.h"
#include "sim/sim.h"
#include "sinefit.h"

#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

// Allocations made on one thread, counted while a test asks.
std::atomic<DWORD> countAllocations{0};
std::atomic<long> allocations{0};

// The replacements pair with each other; GCC cannot see that.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
    if (countAllocations && GetCurrentThreadId() == countAllocations) ++allocations;
    if (void* p = malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    free(p);
}
void operator delete(void* p, size_t) noexcept {
    free(p);
}
#pragma GCC diagnostic pop

namespace {

using Microsoft::WRL::ComPtr;

constexpr REFERENCE_TIME k10ms = 100000;

// The performance counter in the 100-ns units of WASAPI's time stamps.
double now100ns() {
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return double(now.QuadPart) * 1e7 / double(freq.QuadPart);
}

WAVEFORMATEXTENSIBLE stereo24(DWORD rate = 48000) {
    return sim::extensibleFormat(rate, 2, 32, 24, KSAUDIO_SPEAKER_STEREO);
}

// The engine's format: 32-bit float stereo at 48 kHz.
WAVEFORMATEXTENSIBLE mix() {
    return sim::extensibleFormat(48000, 2, 32, 32, KSAUDIO_SPEAKER_STEREO, true);
}

// A shared stream, event-driven unless flags say otherwise: through Initialize when period is
// 0 (the engine's period), else through IAudioClient3 with that period.
HRESULT initShared(const ComPtr<IAudioClient>& c, UINT32 period = 0, REFERENCE_TIME duration = 0,
                   const WAVEFORMATEXTENSIBLE& f = mix(),
                   DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                   REFERENCE_TIME periodicity = 0) {
    if (!period)
        return c->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, duration, periodicity, &f.Format,
                             nullptr);
    ComPtr<IAudioClient3> c3;
    HRESULT hr = c.As(&c3);
    return FAILED(hr) ? hr : c3->InitializeSharedAudioStream(flags, period, &f.Format, nullptr);
}

// Initialize in exclusive mode, event-driven unless flags say otherwise.
HRESULT init(const ComPtr<IAudioClient>& c, REFERENCE_TIME duration = k10ms,
             REFERENCE_TIME period = k10ms, const WAVEFORMATEXTENSIBLE& f = stereo24(),
             DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK) {
    return c->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, duration, period, &f.Format, nullptr);
}

// An event-driven stream (exclusive: one 10 ms period) with its event, its service and clock,
// and the last packet it took when it captures.
struct Stream {
    ComPtr<IAudioClient> c;
    ComPtr<IAudioRenderClient> render;
    ComPtr<IAudioCaptureClient> capture;
    ComPtr<IAudioClock> clock;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    bool shared = false;
    BYTE* data = nullptr;
    UINT32 n = 0;
    DWORD flags = 0;
    UINT64 pos = 0, qpc = 0;
    ~Stream() { CloseHandle(event); }
    void open(ComPtr<IAudioClient> client, const WAVEFORMATEXTENSIBLE& f = stereo24()) {
        ASSERT_EQ(init(c = client, k10ms, k10ms, f), S_OK);
        services();
    }
    // Shared, at `period` through IAudioClient3 (0: the engine's, through Initialize).
    void openShared(ComPtr<IAudioClient> client, UINT32 period = 0, REFERENCE_TIME duration = 0) {
        ASSERT_EQ(initShared(c = client, period, duration), S_OK);
        shared = true;
        services();
    }
    void services() {
        ASSERT_HRESULT_SUCCEEDED(c->SetEventHandle(event));
        c->GetService(IID_IAudioRenderClient, &render); // the one of its direction
        c->GetService(IID_IAudioCaptureClient, &capture);
        ASSERT_HRESULT_SUCCEEDED(c->GetService(IID_IAudioClock, &clock));
    }
    bool fired() const { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
    HRESULT next() { return capture->GetBuffer(&data, &n, &flags, &pos, &qpc); }
    // Plays `frames` of value(frame, channel), 32-bit (floats when shared); false when refused.
    template <class F> bool play(UINT32 frames, uint64_t& written, F value) {
        BYTE* out = nullptr;
        if (render->GetBuffer(frames, &out) != S_OK) return false;
        for (UINT32 i = 0; i < 2 * frames; ++i) {
            const int32_t v = value(written + i / 2, i % 2);
            const float f = float(double(v) / 2147483648.0);
            memcpy(out + 4 * i, shared ? static_cast<const void*>(&f) : &v, 4);
        }
        written += frames;
        return render->ReleaseBuffer(frames, 0) == S_OK;
    }
    // Sample i of the packet taken, 32-bit (floats scaled when shared).
    int32_t sample(UINT32 i) const {
        int32_t v;
        float f;
        memcpy(shared ? static_cast<void*>(&f) : &v, data + 4 * i, 4);
        return shared ? int32_t(double(f) * 2147483648.0) : v;
    }
    // Appends the next packet's samples (both channels) to `heard`; false when none.
    bool hear(std::vector<int32_t>& heard) {
        if (next() != S_OK) return false;
        for (UINT32 i = 0; i < 2 * n; ++i)
            heard.push_back(sample(i));
        return capture->ReleaseBuffer(n) == S_OK;
    }
};

UINT32 bufferOf(const ComPtr<IAudioClient>& c) {
    UINT32 frames = 0;
    c->GetBufferSize(&frames);
    return frames;
}

UINT32 paddingOf(const ComPtr<IAudioClient>& c) {
    UINT32 frames = ~0u;
    EXPECT_HRESULT_SUCCEEDED(c->GetCurrentPadding(&frames));
    return frames;
}

// The default endpoints, as `edit` changes them.
template <class F> void configure(F edit) {
    sim::EndpointConfig r = sim::defaultRender(), c = sim::defaultCapture();
    edit(r, c);
    sim::configure(r, c);
}

class Sim : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ASSERT_HRESULT_SUCCEEDED(sim::install());
        sim::reset();
        sim::setClock(sim::Clock::Manual);
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                                  IID_IMMDeviceEnumerator, &enumerator));
    }
    void TearDown() override {
        enumerator.Reset();
        EXPECT_EQ(sim::liveObjects(), 0) << sim::report();
        EXPECT_EQ(sim::outstandingAllocations(), 0) << sim::report();
        sim::uninstall();
        CoUninitialize();
    }

    // The default endpoint of this direction, and a client of it.
    ComPtr<IMMDevice> device(EDataFlow flow) {
        ComPtr<IMMDevice> d;
        EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(flow, eConsole, &d), S_OK);
        return d;
    }
    ComPtr<IAudioClient> client(EDataFlow flow) {
        ComPtr<IAudioClient> c;
        if (auto d = device(flow)) d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, &c);
        return c;
    }
    // What the line carried: capture's samples, the frames render wrote and a loopback stream
    // took, and what the ticks allocated.
    struct Line {
        std::vector<int32_t> heard;
        uint64_t written = 0, looped = 0;
        long allocations = 0;
    };
    // Render plays `value` into the line, a first period before both start, and capture hears
    // it, as does a loopback stream when render is shared; each wake ticks the streams due, as
    // the clock thread would. A tick must allocate nothing: recordings, packets, the line and
    // the engine's mix were made before streaming, so the clock thread never stops to
    // reallocate (a long recording's copy would be a stall).
    template <class F> Line loop(bool renderShared, bool captureShared, F value, int wakes) {
        Line line;
        Stream r, c, tap;
        if (renderShared) {
            EXPECT_EQ(initShared(tap.c = client(eRender), 0, 0, mix(),
                                 AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_LOOPBACK),
                      S_OK);
            tap.services();
            EXPECT_HRESULT_SUCCEEDED(tap.c->Start());
        }
        renderShared ? r.openShared(client(eRender)) : r.open(client(eRender));
        captureShared ? c.openShared(client(eCapture)) : c.open(client(eCapture));
        r.play(480, line.written, value);
        EXPECT_HRESULT_SUCCEEDED(r.c->Start());
        EXPECT_HRESULT_SUCCEEDED(c.c->Start());
        for (int wake = 0; wake < wakes; ++wake) {
            countAllocations = GetCurrentThreadId();
            const long before = allocations;
            sim::stepDue();
            line.allocations += allocations - before;
            countAllocations = 0;
            r.play(480, line.written, value);
            c.hear(line.heard);
            for (; renderShared && tap.next() == S_OK; line.looped += tap.n)
                tap.capture->ReleaseBuffer(tap.n);
        }
        return line;
    }
    ComPtr<IMMDeviceEnumerator> enumerator;
};

// IsFormatSupported: exclusive streams take the configured set and never get a closest match;
// shared ones take the engine's format, and get it as the closest match to any other sound one.
TEST_F(Sim, FormatsExclusiveFromTheConfiguredSetSharedTheEngines) {
    configure([](auto& r, auto&) { r.layouts = {{2, 0x3}, {4, 0x33}, {8, 0x63F}}; });
    WAVEFORMATEXTENSIBLE bad = stereo24(), badMix = mix();
    bad.Format.nBlockAlign = 6;
    badMix.Format.nBlockAlign = 4;
    const auto X = AUDCLNT_SHAREMODE_EXCLUSIVE, S = AUDCLNT_SHAREMODE_SHARED;
    const HRESULT no = AUDCLNT_E_UNSUPPORTED_FORMAT;
    const std::tuple<const char*, AUDCLNT_SHAREMODE, WAVEFORMATEXTENSIBLE, HRESULT> rows[] = {
        {"plain 16-bit", X, sim::pcmFormat(44100, 2, 16), S_OK},
        {"quad", X, sim::extensibleFormat(48000, 4, 16, 16, 0x33), S_OK},
        {"7.1", X, sim::extensibleFormat(48000, 8, 32, 24, 0x63F), S_OK},
        {"layout not offered", X, sim::extensibleFormat(48000, 6, 32, 24, 0x3F), no},
        {"wrong mask", X, sim::extensibleFormat(48000, 4, 32, 24, 0x3), no},
        {"rate", X, sim::extensibleFormat(22050, 2, 16, 16, 0x3), no},
        {"valid bits", X, sim::extensibleFormat(48000, 2, 32, 32, 0x3), no},
        {"float", X, sim::extensibleFormat(48000, 2, 32, 32, 0x3, true), no},
        {"packed 24", X, sim::pcmFormat(48000, 2, 24), no},
        {"block align", X, bad, no},
        {"the engine's", S, mix(), S_OK},
        {"16-bit", S, sim::pcmFormat(48000, 2, 16), S_FALSE},
        {"another rate", S, sim::extensibleFormat(44100, 2, 32, 32, 0x3, true), S_FALSE},
        {"block align", S, badMix, no},
    };
    ComPtr<IAudioClient> c = client(eRender);
    const WAVEFORMATEXTENSIBLE m = mix();
    for (const auto& [what, mode, format, hr] : rows) {
        SCOPED_TRACE(what);
        WAVEFORMATEX* closest = reinterpret_cast<WAVEFORMATEX*>(1);
        EXPECT_EQ(c->IsFormatSupported(mode, &format.Format, &closest), hr);
        EXPECT_TRUE(hr == S_FALSE ? closest && !memcmp(closest, &m, sizeof m) : !closest);
        if (hr == S_FALSE) CoTaskMemFree(closest);
    }
}

TEST_F(Sim, InitializeRulesAndTheirResults) {
    ComPtr<IAudioClient> a = client(eRender), b = client(eRender);
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    UINT32 frames = 0;
    EXPECT_EQ(a->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(a->SetEventHandle(e), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(a->Start(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(init(a, k10ms, 50000), AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL);
    EXPECT_EQ(init(a, 20000, 20000), AUDCLNT_E_INVALID_DEVICE_PERIOD);
    a = client(eRender); // whether a refused client may try again is left open
    ASSERT_EQ(init(a), S_OK);
    EXPECT_EQ(init(a), AUDCLNT_E_ALREADY_INITIALIZED);
    EXPECT_EQ(bufferOf(a), 480u);

    // One exclusive stream per endpoint, until every reference to it is gone.
    EXPECT_EQ(init(b), AUDCLNT_E_DEVICE_IN_USE);
    ComPtr<IAudioRenderClient> service;
    ASSERT_HRESULT_SUCCEEDED(a->GetService(IID_IAudioRenderClient, &service));
    a.Reset();
    EXPECT_EQ(init(b), AUDCLNT_E_DEVICE_IN_USE);
    service.Reset();
    EXPECT_EQ(init(b), S_OK);
    ComPtr<IAudioCaptureClient> wrong;
    EXPECT_EQ(b->GetService(IID_IAudioCaptureClient, &wrong), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    EXPECT_EQ(b->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
    ASSERT_HRESULT_SUCCEEDED(b->SetEventHandle(e));
    EXPECT_EQ(b->Start(), S_OK);
    EXPECT_EQ(b->Start(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(b->Reset(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(b->Stop(), S_OK);
    EXPECT_EQ(b->Stop(), S_FALSE);
    CloseHandle(e);

    // The longest buffers: 500 ms event-driven, 2 s timer-driven.
    EXPECT_EQ(init(client(eCapture), 5000001, 5000001), AUDCLNT_E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(init(client(eCapture), 5000000, 5000000), S_OK);
    EXPECT_EQ(init(client(eCapture), 20000001, k10ms, stereo24(), 0), AUDCLNT_E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(init(client(eCapture), 20000000, k10ms, stereo24(), 0), S_OK);
    // Timer-driven: period and buffer apart, no event.
    ComPtr<IAudioClient> cap = client(eCapture);
    ASSERT_EQ(init(cap, 2 * k10ms, 26667, stereo24(), 0), S_OK); // the minimum period, 128 frames
    EXPECT_EQ(bufferOf(cap), 960u);
    EXPECT_EQ(cap->SetEventHandle(GetCurrentProcess()), AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED);
    EXPECT_EQ(sim::stats(sim::Flow::Capture).periodFrames, 128u);
}

// Who else is on the endpoint decides which modes open: another program's shared stream
// refuses exclusive streams only, its exclusive stream both; the user's "no exclusive control"
// refuses exclusive ones only. Our own streams refuse each other the same way.
TEST_F(Sim, OtherStreamsAndRefusals) {
    using O = sim::OtherStreams;
    const HRESULT inUse = AUDCLNT_E_DEVICE_IN_USE, forbidden = AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
    // other programs, the exclusive refusal option, then exclusive and shared Initialize
    const std::tuple<O, HRESULT, HRESULT, HRESULT> rows[] = {
        {O::None, S_OK, S_OK, S_OK},           // nobody else
        {O::Shared, S_OK, inUse, S_OK},        // a browser tab playing
        {O::Exclusive, S_OK, inUse, inUse},    // another program holds it
        {O::None, forbidden, forbidden, S_OK}, // exclusive control not allowed
        {O::None, inUse, inUse, inUse},        // exclusive = in_use: the older spelling
    };
    for (const auto& [others, refusal, exclusive, shared] : rows) {
        SCOPED_TRACE(testing::Message() << int(others) << " " << std::hex << refusal);
        configure([&](auto& r, auto&) { r.otherStreams = others, r.exclusiveRefusal = refusal; });
        EXPECT_EQ(init(client(eRender)), exclusive);
        EXPECT_EQ(initShared(client(eRender)), shared);
    }
    sim::reset();
    sim::setClock(sim::Clock::Manual);
    ComPtr<IAudioClient> a = client(eRender), b = client(eRender);
    ASSERT_EQ(init(a), S_OK);
    EXPECT_EQ(initShared(client(eRender)), inUse);
    a.Reset();
    ASSERT_EQ(initShared(a = client(eRender)), S_OK);
    EXPECT_EQ(initShared(client(eRender), 128), S_OK); // shared streams share
    EXPECT_EQ(init(b), inUse);
    // A driver that uses up a refused client.
    configure([&](auto&, auto& c) { c.exclusiveRefusal = inUse, c.initializeAgain = false; });
    a = client(eCapture);
    EXPECT_EQ(initShared(a), inUse);
    EXPECT_EQ(initShared(a), AUDCLNT_E_ALREADY_INITIALIZED);
    // Loopback: shared mode on a render endpoint only, a capture stream of its engine, so an
    // exclusive stream there and a loopback one keep each other out.
    sim::reset();
    const DWORD loopback = AUDCLNT_STREAMFLAGS_LOOPBACK;
    EXPECT_EQ(init(client(eRender), k10ms, k10ms, stereo24(), loopback), E_INVALIDARG);
    EXPECT_EQ(initShared(client(eCapture), 0, 0, mix(), loopback), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    ASSERT_EQ(initShared(a = client(eRender), 0, 0, mix(), loopback), S_OK);
    ComPtr<IAudioRenderClient> none;
    EXPECT_EQ(a->GetService(IID_PPV_ARGS(&none)), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    EXPECT_EQ(init(client(eRender)), inUse);
    a.Reset();
    ASSERT_EQ(init(a = client(eRender)), S_OK);
    EXPECT_EQ(initShared(client(eRender), 0, 0, mix(), loopback), inUse);
}

// Shared streams take the engine's format only (any other through its converter), leave the
// period to the engine (or ask IAudioClient3 for one of its periods), and get a buffer of at
// least the duration.
TEST_F(Sim, SharedInitializeRules) {
    ComPtr<IAudioClient> c;
    WAVEFORMATEXTENSIBLE bad = mix();
    bad.Format.nBlockAlign = 4;
    const DWORD ev = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    // IAudioClient3's period (0: Initialize), duration, periodicity, format, flags; the result
    // and the buffer.
    const std::tuple<const char*, UINT32, REFERENCE_TIME, REFERENCE_TIME, WAVEFORMATEXTENSIBLE,
                     DWORD, HRESULT, UINT32>
        rows[] = {
            {"engine period", 0, 0, 0, mix(), ev, S_OK, 1056}, // 22 ms, as Windows grants
            {"30 ms asked", 0, 300000, 0, mix(), ev, S_OK, 1440},
            {"less than the engine's buffer asked", 0, 200001, 0, mix(), ev, S_OK, 1056},
            {"timer-driven", 0, 300001, 0, mix(), 0, S_OK, 1441},
            {"a periodicity", 0, k10ms, k10ms, mix(), ev, E_INVALIDARG, 0},
            {"the device format", 0, 0, 0, stereo24(), ev, AUDCLNT_E_UNSUPPORTED_FORMAT, 0},
            {"a broken format", 0, 0, 0, bad, ev, E_INVALIDARG, 0},
            {"44.1 kHz 16-bit converted", 0, 0, 0, sim::pcmFormat(44100, 2, 16),
             ev | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY,
             S_OK, 971}, // 441-frame periods
            {"converted, a broken format", 0, 0, 0, bad, ev | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
             E_INVALIDARG, 0},
            {"minimum period", 128, 0, 0, mix(), ev, S_OK, 282},
            {"a multiple of the fundamental", 160, 0, 0, mix(), ev, S_OK, 352},
            {"maximum period", 480, 0, 0, mix(), ev, S_OK, 1056},
            {"off the fundamental", 100, 0, 0, mix(), ev, AUDCLNT_E_INVALID_DEVICE_PERIOD, 0},
            {"below the minimum", 96, 0, 0, mix(), ev, AUDCLNT_E_INVALID_DEVICE_PERIOD, 0},
            {"above the maximum", 512, 0, 0, mix(), ev, AUDCLNT_E_INVALID_DEVICE_PERIOD, 0},
            {"a flag it does not take", 128, 0, 0, mix(), ev | AUDCLNT_STREAMFLAGS_NOPERSIST,
             E_INVALIDARG, 0},
        };
    for (const auto& [what, period, duration, periodicity, format, flags, hr, buffer] : rows) {
        SCOPED_TRACE(what);
        EXPECT_EQ(initShared(c = client(eRender), period, duration, format, flags, periodicity),
                  hr);
        EXPECT_EQ(bufferOf(c), buffer);
    }
}

TEST_F(Sim, BufferAlignmentAt44100And48000) {
    // rate, bits (24 in 32, else 16), duration, alignment in bytes, aligned, GetBufferSize then
    const long cases[][6] = {
        {48000, 16, 100000, 128, 1, 480}, {48000, 16, 30000, 128, 0, 160},
        {48000, 24, 30000, 128, 1, 144},  {48000, 16, 106667, 128, 1, 512},
        {44100, 16, 100000, 128, 0, 448}, {44100, 16, 101587, 128, 1, 448},
        {44100, 16, 30000, 128, 0, 160},  {44100, 24, 30000, 128, 0, 144},
        {44100, 16, 122903, 128, 0, 544}, {44100, 16, 100000, 1, 1, 441},
        {44100, 24, 100000, 64, 0, 448},  {48000, 16, 100001, 128, 1, 480},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << k[0] << " Hz, " << k[1] << " bits, " << k[2]);
        configure([&](auto& r, auto&) { r.alignmentBytes = k[3]; });
        WAVEFORMATEXTENSIBLE f = k[1] == 24 ? stereo24(k[0]) : sim::pcmFormat(k[0], 2, 16);
        ComPtr<IAudioClient> c = client(eRender);
        EXPECT_EQ(init(c, k[2], k[2], f), k[4] ? S_OK : AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED);
        EXPECT_EQ(long(bufferOf(c)), k[5]);
        if (!k[4]) { // a refused client is spent, and does not hold the endpoint
            EXPECT_EQ(init(c, k[2], k[2], f), AUDCLNT_E_ALREADY_INITIALIZED);
            EXPECT_FALSE(sim::stats(sim::Flow::Render).held);
        }
    }
}

// Event-driven render takes whole buffers, one at a time, pre-filled before Start; a period
// the client leaves unfilled is missed, not postponed.
TEST_F(Sim, RenderBufferProtocolAndMissedPeriods) {
    Stream s;
    s.open(client(eRender), sim::pcmFormat(48000, 2, 16));
    BYTE* data = nullptr;
    EXPECT_EQ(s.render->ReleaseBuffer(480, 0), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(s.render->GetBuffer(0, &data), AUDCLNT_E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(s.render->GetBuffer(240, &data), AUDCLNT_E_BUFFER_SIZE_ERROR);
    ASSERT_EQ(s.render->GetBuffer(480, &data), S_OK);
    EXPECT_EQ(s.render->GetBuffer(480, &data), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(s.render->ReleaseBuffer(481, 0), AUDCLNT_E_INVALID_SIZE);
    EXPECT_EQ(s.render->ReleaseBuffer(0, 0), AUDCLNT_E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(s.render->ReleaseBuffer(240, 0), AUDCLNT_E_BUFFER_SIZE_ERROR);
    ASSERT_EQ(s.render->ReleaseBuffer(480, 0), S_OK);
    EXPECT_EQ(s.render->GetBuffer(480, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    EXPECT_EQ(paddingOf(s.c), 480u);
    ASSERT_HRESULT_SUCCEEDED(s.c->Start());
    EXPECT_FALSE(s.fired()); // pre-filled: no room until the first period is played
    sim::step();
    EXPECT_TRUE(s.fired());
    sim::step(); // the client wrote nothing: a missed period
    ASSERT_EQ(s.render->GetBuffer(480, &data), S_OK);
    ASSERT_EQ(s.render->ReleaseBuffer(480, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
    sim::step(2); // missed again
    EXPECT_EQ(sim::stats(sim::Flow::Render).missedAt, (std::vector<uint64_t>{2, 4}));
}

// Shared render: the client writes up to buffer - padding frames, in any amount; the engine
// takes one engine period per pass, and a pass that finds less counts as missed.
TEST_F(Sim, SharedRenderWritesUpToTheFreeSpace) {
    Stream s;
    s.openShared(client(eRender), 0, 300000); // 30 ms: 1440 frames, the engine's 480 a pass
    BYTE* data = nullptr;
    EXPECT_EQ(s.render->GetBuffer(1441, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    ASSERT_EQ(s.render->GetBuffer(1000, &data), S_OK);
    EXPECT_EQ(s.render->ReleaseBuffer(1001, 0), AUDCLNT_E_INVALID_SIZE);
    ASSERT_EQ(s.render->ReleaseBuffer(600, 0), S_OK); // less than asked is fine here
    EXPECT_EQ(paddingOf(s.c), 600u);
    EXPECT_EQ(s.render->GetBuffer(841, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    ASSERT_EQ(s.render->GetBuffer(840, &data), S_OK);
    ASSERT_EQ(s.render->ReleaseBuffer(840, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
    ASSERT_HRESULT_SUCCEEDED(s.c->Start());
    EXPECT_FALSE(s.fired()); // full: no room for a period yet
    sim::step();
    EXPECT_TRUE(s.fired());
    EXPECT_EQ(paddingOf(s.c), 960u);
    sim::step(3); // two more full passes, then one that finds nothing
    EXPECT_EQ(sim::stats(sim::Flow::Render).missedAt, std::vector<uint64_t>{4});
}

// One period at a time for every stream of the engine: the first stream that asks for one
// sets it for all until it is released. A client that insists on its own is told.
TEST_F(Sim, TheEngineRunsOnePeriodForAllItsStreams) {
    ComPtr<IAudioClient3> probe;
    ASSERT_HRESULT_SUCCEEDED(client(eCapture).As(&probe));
    UINT32 p[4] = {};
    const WAVEFORMATEXTENSIBLE m = mix();
    EXPECT_EQ(probe->GetSharedModeEnginePeriod(&m.Format, &p[0], &p[1], &p[2], &p[3]), S_OK);
    EXPECT_EQ(std::vector<UINT32>(p, p + 4), (std::vector<UINT32>{480, 32, 128, 480}));
    const WAVEFORMATEXTENSIBLE pcm = sim::pcmFormat(48000, 2, 16);
    EXPECT_EQ(probe->GetSharedModeEnginePeriod(&pcm.Format, &p[0], &p[1], &p[2], &p[3]),
              AUDCLNT_E_UNSUPPORTED_FORMAT);
    auto now = [&] {
        WAVEFORMATEX* f = nullptr;
        UINT32 period = 0;
        EXPECT_EQ(probe->GetCurrentSharedModeEnginePeriod(&f, &period), S_OK);
        EXPECT_TRUE(f && f->nSamplesPerSec == 48000 && f->wBitsPerSample == 32);
        CoTaskMemFree(f);
        return period;
    };
    EXPECT_EQ(now(), 480u);
    ComPtr<IAudioClient> small = client(eCapture), plain = client(eCapture),
                         other = client(eCapture), insisting = client(eCapture);
    ASSERT_EQ(initShared(small, 128), S_OK);
    EXPECT_EQ(now(), 128u);
    ASSERT_EQ(initShared(plain), S_OK);
    EXPECT_EQ(bufferOf(plain), 282u); // the engine's 2.2 periods
    REFERENCE_TIME latency = 0;
    ASSERT_HRESULT_SUCCEEDED(plain->GetStreamLatency(&latency));
    EXPECT_EQ(latency, 26666); // the engine's own pass
    ASSERT_EQ(initShared(other, 256), S_OK);
    EXPECT_EQ(bufferOf(other), 282u);
    ComPtr<IAudioClient2> props;
    ASSERT_HRESULT_SUCCEEDED(insisting.As(&props));
    AudioClientProperties match = {sizeof match, FALSE, AudioCategory_Other,
                                   AUDCLNT_STREAMOPTIONS_MATCH_FORMAT};
    ASSERT_EQ(props->SetClientProperties(&match), S_OK);
    EXPECT_EQ(initShared(insisting, 256), AUDCLNT_E_ENGINE_PERIODICITY_LOCKED);
    small.Reset();
    EXPECT_EQ(now(), 480u);

    // Activated directly; before Windows 10 there is no IAudioClient3.
    EXPECT_EQ(device(eRender)->Activate(IID_IAudioClient3, CLSCTX_ALL, nullptr, &probe), S_OK);
    configure([](auto& r, auto&) { r.audioClient3 = false; });
    ComPtr<IAudioClient3> none;
    EXPECT_EQ(client(eRender).As(&none), E_NOINTERFACE);
    EXPECT_EQ(device(eRender)->Activate(IID_IAudioClient3, CLSCTX_ALL, nullptr, &none),
              E_NOINTERFACE);
    // Some stacks answer for the interface and implement none of its periods.
    configure([](auto& r, auto&) { r.audioClient3NotImpl = true; });
    ASSERT_EQ(client(eRender).As(&none), S_OK);
    EXPECT_EQ(none->GetSharedModeEnginePeriod(&m.Format, &p[0], &p[1], &p[2], &p[3]), E_NOTIMPL);
    EXPECT_EQ(none->InitializeSharedAudioStream(AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 128, &m.Format,
                                                nullptr),
              E_NOTIMPL);
}

// The line carries what render plays to capture in every pairing of modes, exactly for
// 24-bit values (floats hold them exactly), one engine pass later for each shared side. It runs
// for twelve seconds, well past where a recording that doubled would have reallocated, and a
// shared render stream's engine mix feeds a loopback stream all along.
TEST_F(Sim, LoopbackIsBitExactInEveryPairingOfModes) {
    const UINT32 line = 64, period = 480, wakes = 1200;
    // a 24-bit value, left-aligned, with both extremes early on
    auto value = [](uint64_t frame, unsigned ch) {
        int32_t v = frame == 1   ? -0x800000
                    : frame == 2 ? 0x7FFFFF
                                 : int32_t((frame * 7919 + ch * 104729) % 0x1000000) - 0x800000;
        return int32_t(uint32_t(v) << 8);
    };
    configure([&](auto&, auto& c) { c.loopbackDelayFrames = line; });
    for (bool renderShared : {false, true})
        for (bool captureShared : {false, true}) {
            SCOPED_TRACE(testing::Message() << "render shared " << renderShared
                                            << ", capture shared " << captureShared);
            const Line got = loop(renderShared, captureShared, value, wakes);
            ASSERT_EQ(got.written, (wakes + 1) * period);
            ASSERT_EQ(got.heard.size(), 2 * wakes * period);
            EXPECT_EQ(got.looped, renderShared ? wakes * period : 0);
            EXPECT_EQ(got.allocations, 0);
            // The line, the period in which render plays what it was given, and the engine's
            // pass on each shared side.
            const size_t delay = line + period * (1 + renderShared + captureShared);
            size_t wrong = 0;
            for (size_t i = 0; i < got.heard.size(); ++i)
                wrong += got.heard[i] != (i / 2 < delay ? 0 : value(i / 2 - delay, i % 2));
            EXPECT_EQ(wrong, 0u);
        }
}

// ActivateAudioInterfaceAsync's completion, as a client writes it: agile, called on a thread of
// the multithreaded apartment; it holds what GetActivateResult gave.
struct Activation final : IActivateAudioInterfaceCompletionHandler {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<long> refs{1};
    HRESULT result = E_FAIL;
    ComPtr<IUnknown> unknown;
    bool inMta = false;
    ~Activation() { CloseHandle(done); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IActivateAudioInterfaceCompletionHandler ||
                       riid == IID_IAgileObject
                   ? this
                   : nullptr;
        return *ppv ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(--refs); } // on the stack
    HRESULT STDMETHODCALLTYPE
    ActivateCompleted(IActivateAudioInterfaceAsyncOperation* op) override {
        APTTYPE type;
        APTTYPEQUALIFIER qualifier;
        inMta = CoGetApartmentType(&type, &qualifier) == S_OK && type == APTTYPE_MTA;
        if (FAILED(op->GetActivateResult(&result, &unknown))) result = E_UNEXPECTED;
        SetEvent(done);
        return S_OK;
    }
    // Activates through the function of the module that implements the enumerator, as the
    // driver finds it, and waits for the completion and for the simulator to let go of it.
    ComPtr<IAudioClient> activate(IMMDeviceEnumerator* enumerator, const wchar_t* path,
                                  PROPVARIANT* params = nullptr) {
        HMODULE module = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(*reinterpret_cast<void**>(enumerator)), &module);
        auto activateAsync = reinterpret_cast<decltype(&ActivateAudioInterfaceAsync)>(
            reinterpret_cast<void*>(GetProcAddress(module, "ActivateAudioInterfaceAsync")));
        if (!activateAsync) {
            ADD_FAILURE() << "the enumerator's module exports no ActivateAudioInterfaceAsync";
            return nullptr;
        }
        ComPtr<IActivateAudioInterfaceAsyncOperation> op;
        EXPECT_EQ(activateAsync(path, IID_IAudioClient, params, this, &op), S_OK);
        EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
        for (int i = 0; i < 500 && refs != 1; ++i)
            Sleep(2);
        EXPECT_TRUE(inMta);
        ComPtr<IAudioClient> c;
        if (unknown) unknown.As(&c);
        return c;
    }
};

// Loopback capture carries what was mixed in each pass. Of a render endpoint: its engine's
// whole mix, our shared streams (one bit for bit, two added in floats) and another program's;
// while nothing plays, no packet and no event, the position moving on and the next packet
// flagged; its packets keep the render device's clock; before Windows 10 1703 its event never
// came. Of a process (ActivateAudioInterfaceAsync with process loopback): what this process, or
// the other programs, play on every render endpoint, in the format the client asks for,
// silence while it plays nothing; the client answers none of the device's questions.
TEST_F(Sim, LoopbackCarriesWhatWasMixedInEachPass) {
    struct Case {
        int ours;    // our shared render streams playing; they stop for passes 4 and 5
        bool other;  // another program plays its counter all along (a process's: on the headset)
        int process; // 0: the endpoint's loopback; 1: this process's; -1: the other programs'
        bool events; // loopback events (Windows 10 1703 on)
    };
    const Case cases[] = {{0, false, 0, true}, {1, false, 0, true}, {2, false, 0, true},
                          {1, true, 0, true},  {0, true, 0, false}, {2, true, 1, true},
                          {2, true, -1, true}};
    const DWORD ev = AUDCLNT_STREAMFLAGS_EVENTCALLBACK, loopback = AUDCLNT_STREAMFLAGS_LOOPBACK;
    const WAVEFORMATEXTENSIBLE pcm = sim::pcmFormat(48000, 2, 16);
    const double full = 2147483648.0;
    for (const Case k : cases) {
        SCOPED_TRACE(testing::Message() << k.ours << " of ours, other " << k.other << ", process "
                                        << k.process << ", events " << k.events);
        // The endpoint's loopback hears the speakers, whose clock it keeps; a process's, these
        // and a headset, one stream of ours on each (14 bits, exact through floats and their
        // sum in 16 bits).
        sim::EndpointConfig speakers = sim::defaultRender(), headset = speakers,
                            mic = sim::defaultCapture();
        headset.id = L"{0.0.0.00000000}.{c41e7a90-2d35-4b68-9f1c-6e0a8d2b5f31}";
        sim::EndpointConfig& others = k.process ? headset : speakers;
        others.otherStreams = k.other ? sim::OtherStreams::Shared : sim::OtherStreams::None;
        others.otherSignal = sim::Signal::Counter;
        speakers.loopbackEvents = k.events;
        if (!k.process) speakers.clockPpm = 2000, mic.containerId.Data1 ^= 1;
        sim::configure(k.process ? std::vector{speakers, headset} : std::vector{speakers}, {mic});
        auto value = [&](int j) {
            return [j, bits = k.process ? 14 : 24](uint64_t f, unsigned ch) {
                const uint32_t v = uint32_t((f * 7919 + ch * 104729 + j * 31337) % (1u << bits));
                return bits == 24 ? int32_t(v << 8) / (j + 2) : int32_t(v << 16);
            };
        };
        Activation activation;
        Stream loop, r[2];
        if (k.process) {
            DWORD params[3] = {1, GetCurrentProcessId(), k.process > 0 ? 0u : 1u};
            PROPVARIANT v{};
            v.vt = VT_BLOB;
            v.blob.cbSize = sizeof params;
            v.blob.pBlobData = reinterpret_cast<BYTE*>(params);
            ASSERT_TRUE(loop.c =
                            activation.activate(enumerator.Get(), L"VAD\\Process_Loopback", &v));
            WAVEFORMATEX* none = nullptr;
            REFERENCE_TIME period = 0;
            EXPECT_EQ(loop.c->GetMixFormat(&none), E_NOTIMPL);
            EXPECT_EQ(loop.c->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &pcm.Format, &none),
                      E_NOTIMPL);
            EXPECT_EQ(loop.c->GetDevicePeriod(&period, nullptr), E_NOTIMPL);
            EXPECT_EQ(init(loop.c, k10ms, k10ms, pcm, loopback), E_INVALIDARG);
            ASSERT_EQ(loop.c->Initialize(AUDCLNT_SHAREMODE_SHARED, ev | loopback, 2 * k10ms, 12345,
                                         &pcm.Format, nullptr),
                      S_OK);
        } else {
            ASSERT_EQ(initShared(loop.c = client(eRender), 0, 0, mix(), ev | loopback), S_OK);
        }
        loop.services();
        ASSERT_TRUE(loop.capture && !loop.render);
        ComPtr<IMMDevice> second;
        ASSERT_EQ(enumerator->GetDevice(headset.id.c_str(), &second),
                  k.process ? S_OK : HRESULT(0x80070490));
        uint64_t written[2] = {}, played[2] = {};
        for (int j = 0; j < k.ours; ++j) {
            ComPtr<IAudioClient> c;
            (j && k.process ? second : device(eRender))
                ->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, &c);
            r[j].openShared(c);
            r[j].play(480, written[j], value(j));
        }
        ASSERT_HRESULT_SUCCEEDED(loop.c->Start());
        for (int j = 0; j < k.ours; ++j)
            ASSERT_HRESULT_SUCCEEDED(r[j].c->Start());
        const bool oursHeard = k.process >= 0, otherHeard = k.other && k.process <= 0;
        int64_t base = -1; // the other program's frame at pass 0 (its counter's 16 bits)
        std::vector<std::pair<int, std::vector<double>>> heard; // in full scale
        std::vector<std::vector<int64_t>> ours; // what of ours was mixed, per pass heard
        UINT64 firstQpc = 0;
        int firstPass = -1;
        for (int pass = 0; pass < 8; ++pass) {
            const bool oursPlay = k.ours && (pass < 4 || pass > 5);
            for (int j = 0; j < k.ours; ++j) {
                if (pass == 4) r[j].c->Stop();
                if (pass == 6) r[j].c->Start();
            }
            sim::step();
            const bool something = k.process || (oursPlay && oursHeard) || otherHeard;
            EXPECT_EQ(loop.fired(), something && k.events) << pass;
            if (!something) {
                EXPECT_EQ(loop.next(), AUDCLNT_S_BUFFER_EMPTY) << pass;
                continue;
            }
            ASSERT_EQ(loop.next(), S_OK) << pass;
            EXPECT_EQ(loop.n, 480u);
            EXPECT_EQ(loop.pos, UINT64(pass) * 480);
            const bool resumed = pass == 6 && !k.process && !k.other;
            EXPECT_EQ(loop.flags, resumed ? DWORD(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) : 0u);
            if (firstPass < 0) firstPass = pass, firstQpc = loop.qpc;
            EXPECT_NEAR(double(loop.qpc - firstQpc),
                        (pass - firstPass) * 1e5 / (k.process ? 1 : 1.002), 1.5);
            std::vector<int64_t> sum(2 * 480, 0);
            for (int j = 0; j < k.ours && oursPlay; ++j) {
                for (UINT32 i = 0; i < 2 * 480 && oursHeard; ++i)
                    sum[i] += value(j)(played[j] + i / 2, i % 2);
                played[j] += 480;
                r[j].play(480, written[j], value(j));
            }
            std::vector<double> got(2 * 480);
            for (UINT32 i = 0; i < 2 * 480; ++i)
                got[i] = k.process ? reinterpret_cast<const int16_t*>(loop.data)[i] / 32768.0
                                   : reinterpret_cast<const float*>(loop.data)[i];
            if (otherHeard && !k.process && !(oursPlay && oursHeard) && base < 0)
                base = int64_t((uint32_t(got[0] * full) >> 8) + 0x10000 - pass * 480) & 0xFFFF;
            heard.push_back({pass, got});
            ours.push_back(sum);
            loop.capture->ReleaseBuffer(loop.n);
        }
        ASSERT_EQ(heard.size(), k.process || otherHeard ? 8u : k.ours ? 6u : 0u);
        ASSERT_TRUE(!otherHeard || k.process || base >= 0);
        double worst = 0;
        for (size_t h = 0; h < heard.size(); ++h)
            for (UINT32 i = 0; i < 2 * 480; ++i) {
                double got = heard[h].second[i], expect = double(ours[h][i]);
                if (otherHeard)
                    expect += sim::counterSample(i % 2,
                                                 uint64_t(base + heard[h].first * 480 + i / 2), 32);
                expect = k.process ? std::floor(expect / 65536) / 32768 : expect / full;
                // 16 bits of the other programs' counter: its channel, its frame too coarse to
                // place.
                if (k.process && otherHeard)
                    got = std::floor(got * 128), expect = std::floor(expect * 128);
                worst = std::max(worst, std::fabs(got - expect));
            }
        // One stream or the other program alone bit for bit; sums within a float's rounding.
        EXPECT_LE(worst, k.process ? 0.0 : k.ours + k.other > 1 ? 1.2e-7 : 0.0);
        if (k.process) continue;
        UINT64 bytes = 0;
        ASSERT_HRESULT_SUCCEEDED(loop.clock->GetPosition(&bytes, nullptr));
        EXPECT_EQ(bytes, 8u * 480 * 8); // the device's position, idle passes included
    }
}

// Capture packets queue while the buffer holds them: one in exclusive mode; a shared buffer holds
// two engine periods and a little more, the engine's own or the one a stream asked of
// IAudioClient3. Only a full buffer loses the oldest, and the next packet says so. Shared
// streams hand out floats and answer GetNextPacketSize and the padding even where the endpoint's
// exclusive streams say 0.
TEST_F(Sim, CapturePacketsQueueUntilTheBufferIsFull) {
    struct Case {
        const char* name;
        bool shared;
        UINT32 period; // IAudioClient3's (0: the engine's, through Initialize)
    };
    for (const Case k : {Case{"exclusive", false, 0}, Case{"shared", true, 0},
                         Case{"shared at 128 frames", true, 128}}) {
        configure([&](auto&, auto& c) {
            c.signal = sim::Signal::Counter;
            c.nextPacketSizeZero = c.paddingZero = k.shared;
        });
        Stream s;
        k.shared ? s.openShared(client(eCapture), k.period) : s.open(client(eCapture));
        const UINT32 n = k.period ? k.period : 480;
        EXPECT_EQ(s.next(), AUDCLNT_S_BUFFER_EMPTY) << k.name;
        ASSERT_HRESULT_SUCCEEDED(s.c->Start());
        sim::step(3); // the client reads only after the third period
        // What is left: the newest packet, or the newest two.
        const std::vector<UINT64> waiting =
            k.shared ? std::vector<UINT64>{n, 2 * n} : std::vector<UINT64>{2 * n};
        EXPECT_EQ(paddingOf(s.c), n * waiting.size()) << k.name;
        ASSERT_EQ(s.next(), S_OK) << k.name;
        EXPECT_EQ(s.flags, DWORD(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY)) << k.name;
        EXPECT_EQ(s.capture->ReleaseBuffer(100), AUDCLNT_E_INVALID_SIZE) << k.name;
        ASSERT_EQ(s.capture->ReleaseBuffer(0), S_OK) << k.name; // not read: handed out again
        // Read as Windows' own capture sample does, while GetNextPacketSize says there is more.
        for (UINT64 pos : waiting) {
            ASSERT_EQ(s.next(), S_OK) << k.name;
            EXPECT_EQ(s.pos, pos) << k.name;
            EXPECT_EQ(s.n, n) << k.name;
            EXPECT_EQ(s.sample(2 * 5 + 1), sim::counterSample(1, pos + 5, 32)) << k.name;
            ASSERT_EQ(s.capture->ReleaseBuffer(s.n), S_OK) << k.name;
            UINT32 next = ~0u;
            ASSERT_HRESULT_SUCCEEDED(s.capture->GetNextPacketSize(&next));
            EXPECT_EQ(next, pos == waiting.back() ? 0 : n) << k.name;
        }
        sim::step();
        ASSERT_EQ(s.next(), S_OK) << k.name;
        EXPECT_EQ(s.flags, 0u) << k.name;
        ASSERT_EQ(s.capture->ReleaseBuffer(s.n), S_OK) << k.name;
        EXPECT_EQ(sim::stats(sim::Flow::Capture).discontinuities, k.shared ? 1u : 2u) << k.name;
        EXPECT_EQ(sim::recording(sim::Flow::Capture).size(), (waiting.size() + 1) * n * 8)
            << k.name;
        UINT64 frequency = 0, bytes = 0; // the device's position: every period, lost ones too
        ASSERT_HRESULT_SUCCEEDED(s.clock->GetFrequency(&frequency));
        ASSERT_HRESULT_SUCCEEDED(s.clock->GetPosition(&bytes, nullptr));
        EXPECT_EQ(bytes * 48000 / frequency, 4 * n) << k.name;
    }
}

// Through the meter a host can read: slack is negative exactly for the render periods the
// client missed and the capture packets it let drop; calls are counted per method.
TEST_F(Sim, MeterGivesSlackPerPeriodAndCallsPerMethod) {
    Stream r, c;
    r.open(client(eRender));
    c.open(client(eCapture));
    ComPtr<IVlasimMeter> meter;
    ASSERT_HRESULT_SUCCEEDED(enumerator->QueryInterface(IID_IVlasimMeter, &meter));
    ASSERT_HRESULT_SUCCEEDED(r.c->Start());
    ASSERT_HRESULT_SUCCEEDED(c.c->Start());
    UINT64 calls = 0, after = 0;
    ASSERT_HRESULT_SUCCEEDED(meter->GetCalls("IAudioRenderClient::GetBuffer", 0, &calls));
    unsigned seen = sim::callCount("IAudioRenderClient::GetBuffer");
    uint64_t written = 0;
    std::vector<int32_t> heard;
    auto service = [&] { // a period out, a packet in
        r.play(480, written, [](uint64_t, unsigned) { return 0; });
        c.hear(heard);
    };
    service();
    for (int i = 1; i <= 8; ++i) { // the client sleeps through the events of ticks 4 and 5
        Sleep(1);
        sim::step();
        Sleep(1);
        if (i != 4 && i != 5) service();
    }
    for (UINT32 flow : {0u, 1u}) {
        VlasimPeriod p[16];
        UINT32 n = 0;
        ASSERT_HRESULT_SUCCEEDED(meter->GetPeriods(flow, 0, 16, p, &n));
        EXPECT_EQ(n, flow ? 7u : 8u);
        uint64_t late = 0;
        for (UINT32 i = 0; i < n; ++i)
            late += p[i].deadline < p[i].release;
        EXPECT_EQ(late, 2u);
    }
    meter->GetCalls("IAudioRenderClient::GetBuffer", 0, &after);
    EXPECT_EQ(after - calls, sim::callCount("IAudioRenderClient::GetBuffer") - seen);
}

TEST_F(Sim, AccountingSeesAForgottenReleaseAndAnUnfreedString) {
    IMMDevice* d = nullptr;
    ASSERT_HRESULT_SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &d));
    IAudioClient* c = nullptr;
    ASSERT_HRESULT_SUCCEEDED(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, (void**)&c));
    c->AddRef();
    LPWSTR id = nullptr;
    ASSERT_HRESULT_SUCCEEDED(d->GetId(&id));
    d->Release();
    c->Release();                     // one reference forgotten
    EXPECT_EQ(sim::liveObjects(), 2); // the enumerator and the client
    EXPECT_EQ(sim::outstandingRefs(), 2);
    EXPECT_EQ(sim::outstandingAllocations(), 1);
    std::string r = sim::report();
    EXPECT_NE(r.find("IAudioClient render refs=1"), std::string::npos) << r;
    c->Release();
    CoTaskMemFree(id);
    EXPECT_EQ(sim::liveObjects(), 1);
}

// Hosts hand the audio objects to threads of other apartments (PortAudio does): each one is
// agile, so the other apartment gets the very same pointer back and can call it. That includes
// the client ActivateAudioInterfaceAsync gives by an endpoint's ID (an unknown ID is not found).
TEST_F(Sim, EveryObjectCrossesApartmentsAsItself) {
    Activation unknown;
    ComPtr<IAudioClient> byId =
        Activation().activate(enumerator.Get(), sim::defaultCapture().id.c_str());
    ASSERT_TRUE(byId);
    EXPECT_FALSE(unknown.activate(enumerator.Get(),
                                  L"{0.0.0.00000000}.{00000000-0000-0000-0000-000000000000}"));
    EXPECT_EQ(unknown.result, HRESULT(0x80070490)); // E_NOTFOUND
    ComPtr<IMMDevice> render = device(eRender);
    ComPtr<IPropertyStore> store;
    ASSERT_HRESULT_SUCCEEDED(render->OpenPropertyStore(STGM_READ, &store));
    ComPtr<IMMDeviceCollection> list;
    ASSERT_HRESULT_SUCCEEDED(enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, &list));
    Stream s;
    s.open(client(eRender));
    const std::pair<const char*, IUnknown*> objects[] = {
        {"enumerator", enumerator.Get()}, {"device", render.Get()}, {"store", store.Get()},
        {"collection", list.Get()},       {"client", s.c.Get()},    {"service", s.render.Get()},
        {"clock", s.clock.Get()},         {"by ID", byId.Get()},
    };
    for (const auto& [name, object] : objects) {
        SCOPED_TRACE(name);
        IStream* carrier = nullptr;
        ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IUnknown, object, &carrier), S_OK);
        HRESULT hr = E_FAIL;
        IUnknown* arrived = nullptr;
        std::thread([&] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            hr = CoGetInterfaceAndReleaseStream(carrier, IID_IUnknown,
                                                reinterpret_cast<void**>(&arrived));
            if (arrived) arrived->Release();
            CoUninitialize();
        }).join();
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(arrived, object);
    }
}

// A packet's QPC time is when its first frame was recorded on the device's clock: their
// spacing is the period shortened by the ppm, swinging by the wander, however the test steps.
TEST_F(Sim, PacketTimesFollowTheDeviceClock) {
    struct Case {
        double ppm, wanderPpm, wanderSeconds;
    };
    for (const Case k : {Case{2000, 0, 60}, Case{-5000, 0, 60}, Case{300, 400, 2}}) {
        SCOPED_TRACE(testing::Message() << k.ppm << " ppm, wander " << k.wanderPpm);
        configure([&](auto&, auto& c) {
            c.containerId.Data1 ^= 1; // another device
            c.signal = sim::Signal::Silence;
            c.clockPpm = k.ppm;
            c.clockWanderPpm = k.wanderPpm;
            c.clockWanderSeconds = k.wanderSeconds;
        });
        Stream c;
        c.open(client(eCapture));
        const double start = now100ns();
        ASSERT_HRESULT_SUCCEEDED(c.c->Start());
        const double started = now100ns();
        std::vector<double> gaps; // between packets, 100-ns units
        UINT64 first = 0, last = 0;
        for (int i = 0; i < 200; ++i) { // one wander cycle
            sim::step();
            ASSERT_EQ(c.next(), S_OK);
            ASSERT_EQ(c.pos, UINT64(i) * 480);
            if (i == 0) {
                EXPECT_GE(double(c.qpc), start - 1); // recorded from Start on
                EXPECT_LE(double(c.qpc), started + 1);
                first = c.qpc;
            } else {
                gaps.push_back(double(c.qpc) - double(last));
            }
            last = c.qpc;
            c.capture->ReleaseBuffer(c.n);
        }
        auto period = [](double ppm) { return 1e5 / (1 + ppm * 1e-6); };
        const auto [lo, hi] = std::minmax_element(gaps.begin(), gaps.end());
        EXPECT_NEAR(*lo, period(k.ppm + k.wanderPpm), 1.5);
        EXPECT_NEAR(*hi, period(k.ppm - k.wanderPpm), 1.5);
        // A whole wander cycle from the packets' clock epoch averages out to near the mean.
        EXPECT_NEAR(double(last - first) / 199, period(k.ppm), k.wanderPpm ? 0.3 : 0.02);
    }
}

// In real time a device never waits and never hurries: when the simulator's own thread is
// held up for three and a half periods, the ticks it owes fire at once from their places on
// the grid, so packet times and positions go on as the device made them, the one-packet buffer
// overflows as a late client's would, and the meter puts the lost periods down to the
// simulator. Events come on time or up to event_jitter_ms late, never before the packet they
// announce was recorded. IAudioClock::GetPosition, read at every point of a period, is as fine
// or as coarse as stacks give it: where the device is at the call, or at its latest period
// boundary, stamped with that position's time or the call's. Fine positions run at each
// device's own rate however late the clock thread wakes.
TEST_F(Sim, RealtimeKeepsTheGridEventsAreNeverEarlyClocksReadAsConfigured) {
    struct Case {
        const char* name;
        bool stall;      // the clock thread held up once
        double jitterMs; // events late by up to this much
        bool perPeriod, atCall;
    };
    const double ppm[2] = {-1000, 1000}; // render, capture
    for (const Case k : {Case{"stalled, fine positions", true, 0, false, false},
                         Case{"jittery, positions per period", false, 4, true, false},
                         Case{"jittery, per period stamped at the call", false, 4, true, true}}) {
        configure([&](auto& r, auto& c) {
            r.positionPerPeriod = c.positionPerPeriod = k.perPeriod;
            r.qpcAtCall = c.qpcAtCall = k.atCall;
            r.clockPpm = ppm[0];
            c.containerId.Data1 ^= 1;
            c.clockPpm = ppm[1];
            c.signal = sim::Signal::Counter;
            c.eventJitterMs = k.jitterMs;
        });
        sim::setClock(sim::Clock::Realtime);
        Stream r, c;
        r.open(client(eRender));
        c.open(client(eCapture));
        IAudioClock* clocks[2] = {r.clock.Get(), c.clock.Get()};
        ASSERT_HRESULT_SUCCEEDED(r.c->Start());
        ASSERT_HRESULT_SUCCEEDED(c.c->Start());
        const double period = 1e5 / (1 + ppm[1] * 1e-6); // capture's, 100 ns
        std::vector<std::pair<UINT64, UINT64>> packets;  // device position, QPC time
        std::vector<double> late; // the event after the newest packet's last frame, 100 ns
        bool flagged = false;
        int offGrid = 0, stampedAtCall = 0, readings = 0;
        UINT64 firstPos[2] = {}, firstQpc[2] = {};
        std::vector<double> rates[2]; // frames per second since the first reading
        for (int wake = 0; wake < 40; ++wake) {
            if (wake == 10 && k.stall) sim::stallClockOnce(35);
            if (WaitForSingleObject(c.event, 2000) != WAIT_OBJECT_0) break;
            const double woke = now100ns();
            while (c.next() == S_OK) {
                packets.push_back({c.pos, c.qpc});
                flagged = flagged || (c.flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
                c.capture->ReleaseBuffer(c.n);
            }
            late.push_back(woke - (double(packets.back().second) + period));
            Sleep(1 + wake % 5);
            for (int d = 0; d < 2; ++d) {
                UINT64 p = 0, q = 0;
                const double before = now100ns();
                ASSERT_EQ(clocks[d]->GetPosition(&p, &q), S_OK) << k.name;
                const double after = now100ns();
                const UINT64 frames = p / 8;
                if (!frames) continue;
                ++readings;
                offGrid += frames % 480 != 0;
                stampedAtCall += double(q) >= before - 210 && double(q) <= after + 1; // a frame
                EXPECT_LE(double(q), after + 1) << k.name;
                if (!firstPos[d]) {
                    firstPos[d] = frames, firstQpc[d] = q;
                } else if (q > firstQpc[d] + 1e6) {
                    rates[d].push_back(double(frames - firstPos[d]) * 1e7 /
                                       double(q - firstQpc[d]));
                }
            }
        }
        r.c->Stop();
        c.c->Stop();
        ASSERT_GE(packets.size(), 30u) << k.name;
        // Every packet where the grid puts it: its time is its position's, to well under a
        // microsecond (10 units of 100 ns), however late the thread ran.
        for (const auto& [pos, qpc] : packets)
            EXPECT_NEAR(double(qpc - packets[0].second),
                        double(pos - packets[0].first) * period / 480, 10)
                << k.name << ", packet at " << pos;
        std::sort(late.begin(), late.end());
        EXPECT_GE(late.front(), -1) << k.name; // never early (a load only makes it later)
        const sim::Stats st = sim::stats(sim::Flow::Capture);
        EXPECT_EQ(st.slipAt.size(), st.clockSlips) << k.name;
        if (k.jitterMs > 0) {
            EXPECT_GE(late[late.size() / 2], 0.25 * k.jitterMs * 1e4) << k.name;
        }
        if (k.stall) {
            EXPECT_GE(st.clockSlips, 2u) << k.name;      // owed ticks fired late, and said so
            EXPECT_GE(st.discontinuities, 2u) << k.name; // a one-packet buffer kept the newest
            EXPECT_TRUE(flagged) << k.name;
        }
        ASSERT_GE(readings, 60) << k.name;
        if (k.perPeriod) {
            EXPECT_EQ(offGrid, 0) << k.name;
        } else {
            EXPECT_GT(offGrid, readings / 2) << k.name;
        }
        if (k.atCall || !k.perPeriod) {
            EXPECT_EQ(stampedAtCall, readings) << k.name;
        }
        // A position's own time keeps to its device's rate (within 50 ppm: far closer than
        // the 2000 between the two, on a busy machine too); the call's lags it by up to a period.
        for (int d = 0; d < 2; ++d) {
            ASSERT_GE(rates[d].size(), 10u) << k.name;
            for (double measured : rates[d])
                EXPECT_NEAR(measured, 48000 * (1 + ppm[d] * 1e-6), k.atCall ? 4800 : 2.4)
                    << k.name << (d ? ", capture" : ", render");
        }
    }
}

// Between two devices the line is a cable good enough to measure through. For three seconds
// render plays clicks, and capture hears each where its own clock puts it: the echo moves by the
// clocks' difference times the time elapsed, and stays sharp (within a frame). Then a 997 Hz sine
// at -6 dBFS, recorded through WASAPI alone, fits a sine at the frequency the two clocks make of
// it, with noise and distortion at least 130 dB down (24-bit samples allow about 140).
TEST_F(Sim, TwoClocksMakeACableGoodToMeasureThrough) {
    const UINT32 line = 48, period = 480, every = 4800;
    const uint64_t sineFrom = 3 * 48000;
    const int32_t click = 0x40000000;                 // half of full scale
    const double hz = 997, amplitude = 0.5 * 8388607; // in 24-bit steps
    auto value = [&](uint64_t f, unsigned ch) {
        if (f < sineFrom) return ch == 0 && f % every == 100 ? click : 0;
        const double x = amplitude * std::sin(2 * 3.141592653589793 * hz * double(f) / 48000);
        return int32_t(uint32_t(int32_t(std::lround(x))) << 8);
    };
    struct Case {
        const char* name;
        double renderPpm, capturePpm;
        bool renderShared; // through the engine, its mix also heard by a loopback stream
    };
    for (const Case k : {Case{"capture fast", 0, 2000, false},
                         Case{"capture a little fast, render shared", 0, 300, true},
                         Case{"render fast", 2000, 0, false},
                         Case{"render fast, capture slow", 2000, -1000, false}}) {
        sim::EndpointConfig r = sim::defaultRender(), c = sim::defaultCapture(), none = c;
        r.clockPpm = k.renderPpm;
        c.containerId.Data1 ^= 1;
        c.clockPpm = k.capturePpm;
        c.loopbackDelayFrames = line;
        c.hears = 1; // a USB microphone, listed second, hears the first speakers
        none.present = false;
        sim::configure({r}, {none, c});
        // Two clocks a few milliseconds apart tick in wakes of their own: 23 s is 4700 wakes.
        const Line got = loop(k.renderShared, false, value, 4700);
        const std::vector<int32_t>& heard = got.heard;
        EXPECT_EQ(got.allocations, 0) << k.name;
        EXPECT_GE(got.looped, k.renderShared ? 480u * 2300 : 0) << k.name;
        // Capture joins render's grid at their first tick, when render starts playing frame 0
        // (a shared stream's frame 0 an engine pass later) and capture records its frame
        // `period`: frame f is heard at m = line + period + f (1 + capture ppm) / (1 + render
        // ppm).
        const double scale = (1 + k.capturePpm * 1e-6) / (1 + k.renderPpm * 1e-6);
        int clicks = 0;
        for (uint64_t f = 100; f < sineFrom; f += every, ++clicks) {
            const double expect = line + period + double(f + period * k.renderShared) * scale;
            size_t peak = size_t(expect) - 8;
            for (size_t m = peak; m < size_t(expect) + 8; ++m)
                if (heard[2 * m] > heard[2 * peak]) peak = m;
            EXPECT_NEAR(double(peak), expect, 1.0) << k.name << ", click of frame " << f;
            EXPECT_GT(heard[2 * peak], click / 2) << k.name << ", click of frame " << f;
        }
        EXPECT_EQ(clicks, 30) << k.name;
        std::vector<double> x; // the left channel from a second into the sine
        for (size_t i = 2 * (sineFrom + 48000); i < heard.size(); i += 2)
            x.push_back(double(heard[i]) / 256);
        ASSERT_GT(x.size(), 48000u * 18) << k.name;
        const probe::SineFit fit = probe::fitSine(x.data(), x.size(), 48000, hz);
        ASSERT_TRUE(fit.ok) << k.name;
        EXPECT_NEAR(fit.frequencyHz, hz / scale, 1e-3) << k.name;
        EXPECT_GE(fit.snrDb, 130) << k.name;
        std::printf("  two-clock cable, %s: SNR %.1f dB, THD %.1f dB\n", k.name, fit.snrDb,
                    fit.thdDb);
    }
}

// The example of sim/README.md and every profile parse; a bad line is named. Render and
// capture of one device share its container; [render.N] and [capture.N] make another device,
// unless the file says otherwise.
TEST_F(Sim, ConfigurationFilesParseAndGroupEndpointsIntoDevices) {
    auto parse = [](const std::filesystem::path& file) {
        std::wstring error;
        if (sim::loadConfigFile(file.wstring(), &error)) return std::string();
        return "refused: " + std::string(error.begin(), error.end());
    };
    const auto scratch = std::filesystem::temp_directory_path() / "vlasim-test.ini";
    auto parseText = [&](const std::string& text) {
        std::ofstream(scratch, std::ios::binary) << text;
        return parse(scratch);
    };
    std::ifstream readme(std::filesystem::path(VLASIO_SOURCE_DIR L"/sim/README.md"));
    const std::string text((std::istreambuf_iterator<char>(readme)), {});
    size_t from = text.find("```ini\n") + 7, to = text.find("```", from);
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(parseText(text.substr(from, to - from)), "");
    const std::filesystem::path profiles(VLASIO_SOURCE_DIR L"/sim/profiles");
    EXPECT_GE(std::distance(std::filesystem::directory_iterator(profiles), {}), 9);
    for (const auto& e : std::filesystem::directory_iterator(profiles))
        EXPECT_EQ(parse(e.path()), "") << e.path();
    const std::pair<const char*, const char*> refused[] = {
        {"[render]\nrate = 48000\nrates = 44100, fast\n", ":3: not a rate: fast"},
        {"[capture]\nengine_periods = 480, 32, 100, 480\n", ":2: expected default, fundamental"},
        {"[capture]\nclock_ppm = 5001\n", ":2: expected ppm from -5000 to 5000"},
        {"[capture]\nclock_ppm = 100\n", "share a container_id"}, // two clocks on one device
    };
    for (const auto& [file, message] : refused) {
        const std::string error = parseText(file);
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }

    ASSERT_EQ(parseText("[render]\n[render.2]\n[capture]\n[capture.2]\n[capture.3]\n"
                        "container_id = {0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}\n"),
              "");
    std::filesystem::remove(scratch);
    sim::setClock(sim::Clock::Manual);
    ComPtr<IMMDeviceCollection> all;
    ASSERT_EQ(enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, &all), S_OK);
    UINT n = 0;
    ASSERT_EQ(all->GetCount(&n) == S_OK ? n : 0, 5u);
    std::vector<GUID> ids(n); // render, render.2, capture, capture.2, capture.3
    for (UINT i = 0; i < ids.size(); ++i) {
        ComPtr<IMMDevice> d;
        ComPtr<IPropertyStore> props;
        PROPVARIANT v{};
        if (all->Item(i, &d) == S_OK && d->OpenPropertyStore(STGM_READ, &props) == S_OK &&
            props->GetValue(sim::kContainerIdKey, &v) == S_OK && v.vt == VT_CLSID)
            ids[i] = *v.puuid;
        PropVariantClear(&v);
    }
    const GUID given = {
        0x0a1b2c3d, 0x4e5f, 0x4a6b, {0x8c, 0x7d, 0x9e, 0x0f, 0x1a, 0x2b, 0x3c, 0x4d}};
    EXPECT_EQ(ids, (std::vector<GUID>{sim::kDefaultContainer, ids[1], sim::kDefaultContainer,
                                      ids[1], given}));
    EXPECT_NE(ids[1], sim::kDefaultContainer);
}

} // namespace
