#include "rig.h"

#include "com/unknown.h"

namespace rig {

namespace {

// COM and the simulated endpoints for the whole program, on the main thread's apartment
// (multithreaded, so the driver's streaming thread sees the same class object).
class SimEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_EQ(sim::install(), S_OK);
    }
    void TearDown() override {
        sim::uninstall();
        CoUninitialize();
    }
};
testing::Environment* const environment = testing::AddGlobalTestEnvironment(new SimEnvironment);

sim::EndpointConfig endpoint(sim::EndpointConfig c, const Options& o) {
    c.deviceFormat = o.wide ? sim::extensibleFormat(48000, 2, 32, 24, KSAUDIO_SPEAKER_STEREO)
                            : sim::extensibleFormat(48000, 2, 16, 16, KSAUDIO_SPEAKER_STEREO);
    c.minimumPeriod = o.minimumPeriod;
    c.signal = o.signal;
    c.recordLimitBytes = 256u << 20;
    return c;
}

} // namespace

Rig::Rig(const Options& o) : opt(o) {
    sim::reset();
    sim::configure(endpoint(sim::defaultRender(), o), endpoint(sim::defaultCapture(), o));
    sim::setClock(o.clock);
    host.takeTimeInfo(o.timeInfo);
    host.onSwitch = [this](long half, ASIOBool direct) {
        onSwitch(half);
        if (also) also(half, direct);
    };
    HRESULT hr = S_OK;
    IUnknown* inner = ASIOSrv::create(nullptr, &hr);
    if (!inner) return;
    inner->QueryInterface(CLSID_ASIOSrv, reinterpret_cast<void**>(&asio));
    srv = static_cast<ASIOSrv*>(asio);
    srv->TimerDrivenMode = o.timerDriven;
    asio->init(nullptr);
    callbacks = host.callbacks();
    captured_.reserve(size_t(4) << 20);
    host.reserve(1u << 16);
}

Rig::~Rig() {
    if (asio) asio->Release();
}

ASIOError Rig::create() {
    infos.clear();
    for (int c = 0; c < opt.inputs; ++c)
        infos.push_back({ASIOTrue, c, {}});
    for (int c = 0; c < opt.outputs; ++c)
        infos.push_back({ASIOFalse, c, {}});
    ASIOBufferInfo none = {};
    return asio->createBuffers(infos.empty() ? &none : infos.data(), long(infos.size()), opt.frames,
                               &callbacks);
}

void Rig::onSwitch(long half) {
    const long n = opt.frames;
    for (const ASIOBufferInfo& b : infos) {
        if (!b.buffers[half]) continue;
        if (b.isInput) continue;
        for (long i = 0; i < n; ++i) {
            int32_t v = hostSample(unsigned(b.channelNum), written_ + uint64_t(i), opt.wide);
            if (opt.wide)
                static_cast<int32_t*>(b.buffers[half])[i] = v;
            else
                static_cast<int16_t*>(b.buffers[half])[i] = int16_t(v);
        }
    }
    if (opt.outputs) written_ += uint64_t(n);
    if (opt.inputs < 2 || captured_.size() + 2 * size_t(n) > captured_.capacity()) return;
    for (long i = 0; i < n; ++i)
        for (int c = 0; c < 2; ++c) {
            const void* in = infos[size_t(c)].buffers[half];
            captured_.push_back(opt.wide ? static_cast<const int32_t*>(in)[i]
                                         : static_cast<const int16_t*>(in)[i]);
        }
}

std::vector<int32_t> Rig::capturedStream() const {
    return captured_;
}

std::vector<int32_t> Rig::recordedSamples(bool wide) {
    std::vector<BYTE> bytes = sim::recording(sim::Flow::Render);
    size_t width = wide ? 4 : 2;
    std::vector<int32_t> out(bytes.size() / width);
    for (size_t i = 0; i < out.size(); ++i) {
        if (wide) {
            memcpy(&out[i], &bytes[i * 4], 4);
        } else {
            int16_t s;
            memcpy(&s, &bytes[i * 2], 2);
            out[i] = s;
        }
    }
    return out;
}

void expectNothingLeaked() {
    EXPECT_EQ(sim::liveObjects(), 0) << sim::report();
    EXPECT_EQ(sim::outstandingRefs(), 0) << sim::report();
    EXPECT_EQ(sim::outstandingAllocations(), 0) << sim::report();
}

} // namespace rig
