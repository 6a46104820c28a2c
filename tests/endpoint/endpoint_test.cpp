// The endpoint layer and the host queries against the simulated endpoints: 48 kHz, 24 bits in
// 32, stereo, aligned to 16 frames; the 3 ms minimum period (144 frames) is granted as 160.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <audioclient.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// getBufferSize's result, minimum, preferred and maximum sizes and granularity (-7: unwritten).
using Sizes = std::vector<long>;

// The simulator's profiles, sim/profiles/NAME.ini.
const std::wstring kProfiles = VLASIO_PROFILES;

class Endpoint : public ::testing::Test {
  protected:
    void SetUp() override {
        // The host's thread, in the apartment the driver is created in.
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_HRESULT_SUCCEEDED(sim::install());
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"DefaultSizeInMS");
        setMode(L"");
        render.minimumPeriod = capture.minimumPeriod = 30000;
        configure();
        recreate();
    }
    void TearDown() override {
        release();
        sim::uninstall();
        CoUninitialize();
        DeleteFileW(logPath_.c_str());
    }

    void configure() { sim::configure(render, capture); }
    // Releases the object (checking that it left nothing behind) and makes a new one.
    void recreate() {
        release();
        drv = new ASIOSrv(nullptr);
        drv->AddRef();
        // Not the shared file on drive I:, which only one object at a time can hold.
        drv->logFile = _wfopen(logPath_.c_str(), L"wt");
        seen_ = 0;
    }
    // The lines logged since the last clearLog(), without their time stamps.
    std::string log() {
        fflush(drv->logFile);
        std::string text;
        FILE* f = _wfopen(logPath_.c_str(), L"rt");
        char line[1024];
        while (f && fgets(line, sizeof line, f))
            text += std::strchr(line, ' ') + 1;
        if (f) fclose(f);
        return text.substr(seen_);
    }
    void clearLog() { seen_ += log().size(); }
    bool logged(const std::string& line) {
        return ("\n" + log()).find("\n" + line + "\n") != std::string::npos;
    }
    // Sets "DefaultSizeInMS"; the next SetUp removes it.
    static void setDefaultSize(DWORD type, const void* data, DWORD bytes) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"DefaultSizeInMS", type, data, bytes);
    }
    // Sets "StreamMode"; the next SetUp empties it (Automatic).
    static void setMode(const wchar_t* mode) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"StreamMode", REG_SZ, mode,
                        DWORD((wcslen(mode) + 1) * sizeof(wchar_t)));
    }
    // Sets a REG_MULTI_SZ list of endpoint IDs; an empty list deletes the value.
    static void setList(const wchar_t* name, const std::vector<std::wstring>& ids) {
        std::wstring text;
        for (const std::wstring& id : ids)
            text += id + L'\0';
        text += L'\0';
        if (ids.empty())
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name);
        else
            RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_MULTI_SZ, text.data(),
                            DWORD(text.size() * sizeof(wchar_t)));
    }
    static std::string narrow(const std::wstring& text) {
        return std::string(text.begin(), text.end());
    }
    Sizes sizes() {
        long minSize = -7, maxSize = -7, preferred = -7, granularity = -7;
        long result = drv->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
        return {result, minSize, preferred, maxSize, granularity};
    }

    sim::EndpointConfig render = sim::defaultRender();
    sim::EndpointConfig capture = sim::defaultCapture();
    ASIOSrv* drv = nullptr;

  private:
    void release() {
        if (!drv) return;
        drv->Release();
        drv = nullptr;
        sim::clearFaults();
        EXPECT_EQ(sim::liveObjects(), 0) << sim::report();
        EXPECT_EQ(sim::outstandingRefs(), 0) << sim::report();
        EXPECT_EQ(sim::outstandingAllocations(), 0) << sim::report();
    }
    const std::wstring logPath_ = L"endpoint-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    size_t seen_ = 0;
};

ASIOChannelInfo channel(long number, bool input) {
    ASIOChannelInfo info;
    std::memset(&info, 0x55, sizeof info);
    info.channel = number;
    info.isInput = input ? ASIOTrue : ASIOFalse;
    return info;
}

// The rate is the render endpoint's, else the capture endpoint's; each direction's mode is
// decided as it is bound. What cannot be read or made leaves earlier values.
TEST_F(Endpoint, InitBindsEachDirectionOnItsOwn) {
    capture.deviceFormat = sim::extensibleFormat(44100, 2, 32, 24, KSAUDIO_SPEAKER_STEREO);
    configure();
    drv->callbacks.bufferSwitch = [](long, ASIOBool) {};
    EXPECT_EQ(drv->init(reinterpret_cast<void*>(0x12345678AB)), ASIOTrue);
    EXPECT_STREQ(drv->endpointId[kRender], render.id.c_str());
    EXPECT_STREQ(drv->endpointId[kCapture], capture.id.c_str());
    EXPECT_EQ(drv->callbacks.bufferSwitch, nullptr);
    EXPECT_EQ(drv->sampleRate, 48000.0);
    char got[64];
    snprintf(got, sizeof got, "ASIOSrv:::\tinit() got 0x%X 0x%X\n", low32(drv->endpointId[kRender]),
             low32(drv->endpointId[kCapture]));
    EXPECT_EQ(log(), "ASIOSrv:::init(0x345678AB)...[NULL]\n"
                     "ASIOSrv:::\tRenderEndpoint: the default endpoint, none chosen\n"
                     "ASIOSrv:::\tRender: exclusive mode, granted\n"
                     "ASIOSrv:::\tCaptureEndpoint: the default endpoint, none chosen\n"
                     "ASIOSrv:::\tCapture: exclusive mode, granted\n" +
                         std::string(got));

    // Each endpoint: absent, free, exclusive mode forbidden by the user, another program's
    // shared stream on it, another program holding it exclusively.
    enum State { Absent, Free, Forbidden, OthersShared, OthersExclusive };
    auto set = [](sim::EndpointConfig& e, State state) {
        e.present = state != Absent;
        e.exclusiveRefusal = state == Forbidden ? AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED : S_OK;
        e.otherStreams = state == OthersShared      ? sim::OtherStreams::Shared
                         : state == OthersExclusive ? sim::OtherStreams::Exclusive
                                                    : sim::OtherStreams::None;
    };
    const wchar_t *automatic = L"", *exclusive = L"Exclusive", *shared = L"Shared";
    // The setting, each endpoint, init's result, what it binds ('-' none, 'x' exclusive, 's'
    // shared) and the rate. Automatic takes shared mode where exclusive mode is refused and a
    // shared stream opens; an endpoint held exclusively stays bound (it may be free later);
    // forced exclusive mode lets forbidden endpoints go, and with none left init fails.
    const std::tuple<const wchar_t*, State, State, ASIOBool, const char*, double> rows[] = {
        {automatic, Absent, Free, ASIOTrue, "-x", 44100.0},
        {automatic, Free, Forbidden, ASIOTrue, "xs", 48000.0},
        {automatic, Forbidden, Forbidden, ASIOTrue, "ss", 48000.0},
        {automatic, OthersShared, OthersExclusive, ASIOTrue, "sx", 48000.0},
        {exclusive, Free, Forbidden, ASIOTrue, "x-", 48000.0},
        {exclusive, Forbidden, Forbidden, ASIOFalse, "--", 44100.0},
        {exclusive, OthersShared, Free, ASIOTrue, "xx", 48000.0},
        {shared, Free, Free, ASIOTrue, "ss", 48000.0},
        {shared, OthersExclusive, Free, ASIOTrue, "xs", 48000.0},
        {automatic, Absent, Absent, ASIOTrue, "--", 48000.0},
    };
    for (const auto& [mode, renderState, captureState, result, bound, rate] : rows) {
        SCOPED_TRACE(testing::Message()
                     << "mode [" << mode << "] " << renderState << " " << captureState);
        setMode(mode);
        set(render, renderState);
        set(capture, captureState);
        configure();
        EXPECT_EQ(drv->init(nullptr), result);
        std::string got;
        for (int d = kRender; d <= kCapture; ++d)
            got += !drv->endpointId[d] ? '-' : drv->shared[d] ? 's' : 'x';
        EXPECT_EQ(got, bound);
        EXPECT_EQ(drv->sampleRate, rate);
        char message[124];
        drv->getErrorMessage(message);
        EXPECT_STREQ(message, result ? "" : "Speakers: exclusive use not allowed: allow it in "
                                            "Properties, or use Automatic mode "
                                            "(AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED)");
    }
    EXPECT_TRUE(logged("ASIOSrv:::\tCapture: exclusive mode, as StreamMode says, refused "
                       "(0x8889000E AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED)"));
    setMode(L"");
    // Nothing to ask: any rate is kept, and the sizes are the bare figures.
    EXPECT_EQ(drv->setSampleRate(12345.5), ASE_OK);
    EXPECT_EQ(sizes(), (Sizes{ASE_OK, 0, 0, 12345, 0}));

    // A PC that only records: no outputs to make buffers for, nor to be late.
    capture.present = true;
    configure();
    drv->init(nullptr);
    ASIOCallbacks host = {};
    ASIOBufferInfo both[] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
    EXPECT_EQ(drv->createBuffers(both, 2, 480, &host), ASE_InvalidParameter);
    char message[124];
    drv->getErrorMessage(message);
    EXPECT_STREQ(message, "This PC has no playback device: the driver has no outputs.");
    EXPECT_EQ(drv->createBuffers(both, 1, 480, &host), ASE_OK);
    long in = -1, out = -1;
    EXPECT_EQ(drv->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(std::make_pair(in > 0, out), std::make_pair(true, 0L));
    drv->getErrorMessage(message);
    EXPECT_STREQ(message, "");
    drv->disposeBuffers();

    render.present = true;
    // Only 24 valid bits in 32 give 32-bit samples.
    const std::pair<WAVEFORMATEXTENSIBLE, ASIOSampleType> types[] = {
        {sim::extensibleFormat(96000, 4, 32, 24, KSAUDIO_SPEAKER_QUAD), ASIOSTInt32LSB},
        {sim::extensibleFormat(96000, 4, 24, 24, KSAUDIO_SPEAKER_QUAD), ASIOSTInt16LSB},
        {sim::extensibleFormat(96000, 4, 32, 32, KSAUDIO_SPEAKER_QUAD), ASIOSTInt16LSB},
        {sim::pcmFormat(96000, 4, 32), ASIOSTInt16LSB},
    };
    for (const auto& [format, type] : types) {
        SCOPED_TRACE(format.Format.wBitsPerSample);
        render.deviceFormat = capture.deviceFormat = format;
        configure();
        drv->init(nullptr);
        EXPECT_EQ(std::make_tuple(drv->sampleType[kRender], drv->sampleType[kCapture],
                                  drv->channelCount[kCapture]),
                  std::make_tuple(type, type, 4L));
    }

    capture.hasDeviceFormat = false;
    render.deviceFormatBlob.assign(10, 0xFF); // too short for a format
    configure();
    drv->init(nullptr);
    EXPECT_NE(drv->endpointId[kRender], nullptr);
    EXPECT_NE(drv->endpointId[kCapture], nullptr);
    EXPECT_EQ(drv->sampleRate, 96000.0);
    IUnknown* earlier = drv->deviceEnumerator;
    sim::fail("IClassFactory::CreateInstance", E_OUTOFMEMORY);
    EXPECT_EQ(drv->init(nullptr), ASIOTrue);
    EXPECT_EQ(drv->deviceEnumerator, earlier);
    EXPECT_EQ(drv->endpointId[kRender], nullptr);
    EXPECT_EQ(drv->sampleRate, 96000.0);
}

// A mono 16-bit microphone beside stereo speakers. Inputs: the mix count. Outputs: the largest
// count taken, trying 2 more up to the first above 8. Names: the device's friendly name (its
// description without one) and the channel's number from 1, in ANSI, cut to 31 characters
// before the number.
TEST_F(Endpoint, MonoMicrophoneBesideStereoSpeakers) {
    render.description = L"High Definition Audio Speakers (rear panel)";
    render.friendlyName = L"";
    capture.description = L"Mic array";
    capture.friendlyName = L"Mic \u4E2D\u6587 array";
    capture.deviceFormat = capture.mixFormat = sim::pcmFormat(48000, 1, 16);
    capture.layouts = {{1, 0x4}, {2, 0x3}, {4, 0x33}}; // never probed
    configure();
    long in = 0, out = 0;
    ASIOChannelInfo info = channel(0, false);
    EXPECT_EQ(drv->getChannels(&in, &out), ASE_NotPresent) << "before init";
    EXPECT_EQ(drv->getChannelInfo(&info), ASE_NotPresent) << "before init";
    EXPECT_EQ(info.name[0], 0);
    drv->init(nullptr);
    clearLog();
    EXPECT_EQ(drv->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(log(), "ASIOSrv::getChannels()...\n"
                     "ASIOSrv:::\tChecking [Mic array]...\n"
                     "ASIOSrv:::\tChecking [High Definition Audio Speakers (rear panel)]...\n"
                     "ASIOSrv:::\tgetChannels() got Input=1 Output=2\n");
    clearLog();
    EXPECT_EQ(drv->getChannels(nullptr, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(drv->getChannels(&in, nullptr), ASE_OK);
    EXPECT_TRUE(logged("ASIOSrv:::\tgetChannels() got Input=1 Output=0"));
    // 480 frames are 960 bytes here, not aligned: the microphone is asked in its own format,
    // and its 128-byte blocks of 64 frames make the step.
    EXPECT_EQ(sizes(), (Sizes{ASE_OK, 192, 512, 24000, 64})); // 144 frames refused, 192 offered
    EXPECT_EQ(drv->canSampleRate(48000.0), ASE_OK);

    info = channel(1, false);
    EXPECT_EQ(drv->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(std::string(info.name, sizeof info.name),
              std::string("High Definition Audio Speaker 2\0", 32));
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_EQ(info.channelGroup, 0);
    EXPECT_EQ(info.isActive, ASIOFalse);
    info = channel(0, true);
    EXPECT_EQ(drv->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "Mic ?? array 1");
    EXPECT_EQ(info.type, ASIOSTInt16LSB);
    // Exactly the channels getChannels offers.
    for (ASIOChannelInfo bad : {channel(2, false), channel(-1, false), channel(1, true)})
        EXPECT_EQ(drv->getChannelInfo(&bad), ASE_InvalidParameter) << bad.channel;
    clearLog();
    EXPECT_EQ(drv->getChannelInfo(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(log(), "ASIODrv::getChannelInfo(NULL)!!!\n");

    // A refusal's message keeps what to do whole: the code's name goes first, then the end of
    // the device's name.
    setMode(L"Exclusive");
    render.exclusiveRefusal = capture.exclusiveRefusal = AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
    const std::wstring name = render.description;
    for (const std::wstring& description : {name, name + L" of the second card"}) {
        render.description = description;
        configure();
        ASSERT_EQ(drv->init(nullptr), ASIOFalse);
        char message[124];
        drv->getErrorMessage(message);
        EXPECT_EQ(std::string(message), "High Definition Audio Speakers (rear panel)" +
                                            std::string(description == name ? "" : " of th") +
                                            ": exclusive use not allowed: allow it in "
                                            "Properties, or use Automatic mode");
    }
    setMode(L"");
    render.exclusiveRefusal = capture.exclusiveRefusal = S_OK;
    render.description = name;
    configure();
    drv->init(nullptr);

    using L = sim::ChannelLayout;
    const L stereo{2, 0x3}, quad{4, 0x33}, six{6, 0x3F}, eight{8, 0x63F}, ten{10, 0x3};
    const WAVEFORMATEXTENSIBLE mix = render.mixFormat;
    const auto mix8 = sim::extensibleFormat(48000, 8, 32, 32, KSAUDIO_SPEAKER_7POINT1, true);
    const std::tuple<WAVEFORMATEXTENSIBLE, std::vector<L>, long, unsigned> rows[] = {
        {mix, {stereo, quad, six, eight}, 8, 4},
        {mix, {stereo, quad, eight}, 8, 4}, // a refused count does not end the probe
        {mix, {stereo}, 2, 4},
        {mix, {stereo, ten}, 10, 4}, // 10 channels are probed with the stereo mask
        {mix8, {eight, ten}, 10, 1},
        // A plain mix format is probed with its own tag and sample size.
        {sim::pcmFormat(48000, 2, 16), {stereo, quad}, 4, 4},
    };
    for (const auto& [mixFormat, layouts, expected, probes] : rows) {
        SCOPED_TRACE(expected);
        render.mixFormat = mixFormat;
        render.layouts = layouts;
        configure();
        sim::clearCalls();
        EXPECT_EQ(drv->getChannels(nullptr, &out), ASE_OK);
        EXPECT_EQ(out, expected);
        EXPECT_EQ(sim::callCount("IAudioClient::IsFormatSupported"), probes);
    }
    // The two sides fail apart.
    sim::fail("IMMDevice::Activate", E_OUTOFMEMORY, sim::FaultMode::Always, 1, sim::Flow::Capture);
    EXPECT_EQ(drv->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 0);
    EXPECT_EQ(out, 4);
}

// What canSampleRate(44100), getBufferSize and getChannelInfo (output 0) answer when a step of
// the endpoint services fails, and the sizes getBufferSize still gives.
TEST_F(Endpoint, EachFailingStepGivesItsCode) {
    capture.minimumPeriod = 50000; // 240 frames, granted as 256
    configure();
    drv->init(nullptr);
    const char* const isSupported = "IAudioClient::IsFormatSupported";
    const HRESULT notFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    const auto A = sim::Flow::Any, R = sim::Flow::Render, C = sim::Flow::Capture;
    const auto always = sim::FaultMode::Always;
    const ASIOError ok = ASE_OK, none = ASE_NotPresent, mode = ASE_InvalidMode;
    // The step (S_OK: it succeeds with nothing) and flow; the three codes.
    const std::tuple<const char*, HRESULT, sim::Flow, ASIOError, ASIOError, ASIOError> rows[] = {
        {nullptr, S_OK, A, ok, ok, ok},
        {"IMMDeviceEnumerator::QueryInterface", E_NOINTERFACE, A, none, none, none},
        {"IMMDeviceEnumerator::GetDevice", notFound, R, none, none, none},
        {"IMMDeviceEnumerator::GetDevice", S_OK, A, none, none, none},
        {"IMMDevice::Activate", E_OUTOFMEMORY, C, mode, mode, ok},
        {"IMMDevice::OpenPropertyStore", S_OK, A, ok, ok, mode},
        {"IPropertyStore::GetValue", E_FAIL, A, ok, ok, mode},
        {"IPropertyStore::GetValue", S_OK, A, ok, ok, mode}, // no description, so no name
        {isSupported, AUDCLNT_E_UNSUPPORTED_FORMAT, C, ASE_NoClock, ok, ok},
        {isSupported, S_FALSE, R, ASE_InvalidParameter, ok, ok},
        {isSupported, AUDCLNT_E_DEVICE_IN_USE, R, ASE_InvalidParameter, ok, ok},
        {"IAudioClient::GetDevicePeriod", E_FAIL, C, ok, mode, ok},
    };
    for (const auto& [op, hr, flow, rateCode, sizeCode, infoCode] : rows) {
        SCOPED_TRACE(std::string(op ? op : "no fault") + " " + std::to_string(hr));
        sim::clearFaults();
        if (op && hr == S_OK) sim::failNull(op, always, 1, flow);
        if (op && hr != S_OK) sim::fail(op, hr, always, 1, flow);
        clearLog();
        EXPECT_EQ(drv->canSampleRate(44100.0), rateCode);
        EXPECT_EQ(log().empty(), hr == E_NOINTERFACE) << "without the enumerator, no log line";
        EXPECT_EQ(sizes()[0], sizeCode);
        ASIOChannelInfo info = channel(0, false);
        EXPECT_EQ(drv->getChannelInfo(&info), infoCode);
        EXPECT_EQ(info.name[0] == 0, infoCode != ASE_OK);
    }
    // A direction that fails leaves the other's figures; with both failing, the later one's code.
    sim::clearFaults();
    sim::fail("IMMDeviceEnumerator::GetDevice", notFound, always, 1, R);
    EXPECT_EQ(sizes(), (Sizes{ASE_NotPresent, 256, 480, 24000, 32}));
    sim::clearFaults();
    sim::fail("IAudioClient::GetDevicePeriod", E_FAIL, always, 1, C);
    EXPECT_EQ(sizes(), (Sizes{ASE_InvalidMode, 160, 480, 24000, 32}));
    sim::fail("IMMDeviceEnumerator::GetDevice", notFound, always, 1, R);
    EXPECT_EQ(sizes(), (Sizes{ASE_InvalidMode, 0, 0, 48000, 0}));
}

TEST_F(Endpoint, BufferSizesFollowTheSettingAndTheLargerMinimumAndSmallerMaximumWin) {
    EXPECT_EQ(sizes(), (Sizes{ASE_NotPresent, -7, -7, -7, -7}));
    EXPECT_EQ(log(), "");
    drv->init(nullptr);
    // The value's type (REG_NONE: none) and number, the preferred size, and what is logged.
    const std::tuple<DWORD, DWORD, long, const char*> rows[] = {
        {REG_NONE, 0, 480, "0 ms (2)"},        {REG_DWORD, 20, 960, "20 ms (0)"},
        {REG_BINARY, 5, 256, "5 ms (0)"},      // 4 bytes of binary count as a number...
        {REG_SZ, 20, 480, "0 ms (1630)"},      // ...a string does not
        {REG_DWORD, 1000, 160, "1000 ms (0)"}, // refused, so raised to the minimum
    };
    for (const auto& [type, ms, preferred, logged] : rows) {
        SCOPED_TRACE(logged);
        if (type == REG_SZ) setDefaultSize(REG_SZ, L"20", 6);
        if (type == REG_DWORD || type == REG_BINARY) setDefaultSize(type, &ms, 4);
        clearLog();
        EXPECT_EQ(sizes(), (Sizes{ASE_OK, 160, preferred, 24000, 32}));
        EXPECT_EQ(log(), "ASIOSrv::getBufferSize...\nASIOSrv:::\tDefault size : " +
                             std::string(logged) + "\n");
    }

    // Capture: both periods 12 ms (576 frames) and a limit of 440 ms; asked down from 500 ms in
    // steps of a tenth, it grants 405 ms (19440 frames). At 5 ms render grants 256 frames and
    // capture none: the preferred size is raised to the larger minimum.
    capture.minimumPeriod = capture.defaultPeriod = 120000;
    capture.maximumDuration = 4400000;
    configure();
    const DWORD ms = 5;
    setDefaultSize(REG_DWORD, &ms, sizeof ms);
    EXPECT_EQ(sizes(), (Sizes{ASE_OK, 576, 576, 19456, 32}));
}

// 16-bit stereo aligned to two frames, at 44100 Hz: the minimum period, 541 frames, is refused
// and 542, the size named then, confirmed by a second client (an endpoint that rounds up hears
// 542 frames' duration as 543, the truncated one as 542); sizes are offered in steps of 32
// frames from there, 544 up.
TEST_F(Endpoint, BufferSizeNotAlignedSizesAreConfirmedGrantedOnesRoundUp) {
    render.deviceFormat = sim::extensibleFormat(48000, 2, 16, 16, KSAUDIO_SPEAKER_STEREO);
    render.alignmentBytes = 8;
    render.minimumPeriod = 122675;
    render.defaultPeriod = 200000;
    capture.present = false;
    for (bool roundUp : {false, true}) {
        render.roundFramesUp = roundUp;
        configure();
        drv->init(nullptr);
        ASSERT_EQ(drv->setSampleRate(44100.0), ASE_OK);
        // 500 ms are 22050 frames, 22080 in steps of 32: too long. The largest is one that
        // starts.
        EXPECT_EQ(sizes(), (Sizes{ASE_OK, 544, 896, 22016, 32})) << roundUp;
    }
    // An endpoint that grants no minimum offers nothing.
    sim::fail("IAudioClient::Initialize", AUDCLNT_E_DEVICE_IN_USE, sim::FaultMode::Once, 2);
    EXPECT_EQ(sizes(), (Sizes{ASE_OK, 0, 0, 44100, 0}));
    // Blocks of 250 frames, which no step of 32 to 256 frames lands on: the preferred size alone.
    render.alignmentBytes = 1000;
    configure();
    EXPECT_EQ(sizes(), (Sizes{ASE_OK, 1000, 1000, 1000, 0}));
}

// What each kind of endpoint of the simulator's zoo offers at 48 and 44.1 kHz, and that every
// size offered starts as createBuffers checks it (on long grids: those up to 2048 frames and
// the largest four). Exclusive sizes go in steps of 32 frames, or of the endpoints' coarser
// blocks; 10 ms at 44.1 kHz lands on 448. Shared sizes are the engine's periods, within what
// an exclusive direction beside them takes.
TEST_F(Endpoint, EveryKindOfEndpointOffersAGridThatStarts) {
    const std::tuple<const wchar_t*, double, Sizes> rows[] = {
        {L"hdaudio", 48000.0, {ASE_OK, 128, 480, 24000, 32}},
        {L"hdaudio", 44100.0, {ASE_OK, 128, 448, 19840, 32}},
        {L"laptop", 48000.0, {ASE_OK, 128, 512, 24000, 64}}, // mono 16-bit: 128 bytes, 64 frames
        {L"laptop", 44100.0, {ASE_OK, 128, 448, 19840, 64}},
        {L"interface", 44100.0, {ASE_OK, 64, 448, 22016, 32}}, // no alignment, the same steps
        {L"exclusive-forbidden", 48000.0, {ASE_OK, 128, 480, 480, 32}},
        {L"others-playing", 48000.0, {ASE_OK, 128, 480, 480, 32}},
        // The converted output's 441 frames are 3528 bytes, which the input's blocks refuse.
        {L"others-playing", 44100.0, {ASE_OK, 0, 0, 0, 0}},
    };
    for (const auto& [profile, rate, expected] : rows) {
        SCOPED_TRACE(testing::Message()
                     << std::string(profile, profile + wcslen(profile)) << " " << rate);
        std::wstring error;
        ASSERT_TRUE(sim::loadConfigFile(kProfiles + std::wstring(profile) + L".ini", &error));
        drv->init(nullptr);
        ASSERT_EQ(drv->setSampleRate(rate), ASE_OK);
        const Sizes got = sizes();
        EXPECT_EQ(got, expected);
        std::vector<long> offered = {got[2]};
        for (long f = got[1]; got[4] > 0 && f <= got[3]; f += got[4])
            if (f <= 2048 || f + 4 * got[4] > got[3]) offered.push_back(f);
        for (long f : offered)
            EXPECT_TRUE(f == 0 ||
                        drv->sizeStarts(drv->queryPlan(), uint32_t(f)) == ASIOSrv::Grant::Yes)
                << f;
        // Another length chosen while a stream holds the endpoints: the size a fresh
        // measurement finds for it, worked out from what was measured before.
        const DWORD ms = 7;
        setDefaultSize(REG_DWORD, &ms, sizeof ms);
        drv->running = true;
        const Sizes held = sizes();
        drv->running = false;
        EXPECT_EQ(held, sizes());
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"DefaultSizeInMS");
    }
}

// Latencies are the endpoints' own (a period each here), and the output halves the thread
// holds beyond the endpoint's: one waiting for the next switch, none for a host that calls
// outputReady, two in timer-driven mode. The endpoints are asked at the integer part of a rate; the fraction is
// kept.
TEST_F(Endpoint, RateLatenciesAndFixedAnswers) {
    EXPECT_EQ(drv->getSampleRate(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(drv->setSampleRate(48000.0), ASE_NotPresent);
    EXPECT_EQ(log(), "ASIOSrv::setSampleRate(48000.000000)...\n");
    drv->init(nullptr);
    long in = -1, out = -1;
    drv->bufferFrames = 480;
    EXPECT_EQ(drv->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(std::make_pair(in, out), std::make_pair(480L, 960L));
    EXPECT_TRUE(logged("ASIOSrv::: getLatencies() reports Input=480 Output=960"));
    drv->hostCallsOutputReady = true;
    EXPECT_EQ(drv->getLatencies(nullptr, &out), ASE_OK);
    EXPECT_EQ(out, 480);
    drv->TimerDrivenMode = true;
    EXPECT_EQ(drv->getLatencies(nullptr, &out), ASE_OK);
    EXPECT_EQ(out, 1440);
    EXPECT_TRUE(logged("ASIOSrv::: getLatencies() reports Input=0 Output=1440"));

    clearLog();
    EXPECT_EQ(drv->setSampleRate(44100.9), ASE_OK);
    ASIOSampleRate rate = -1;
    EXPECT_EQ(drv->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.9);
    EXPECT_EQ(log(), "ASIOSrv:::\tcanSampleRate(44100.900000) returns 0\n"
                     "ASIOSrv::setSampleRate(44100.900000)...\n"
                     "ASIOSrv:::\tgetSampleRate() reports 44100.900000\n");
    EXPECT_EQ(drv->setSampleRate(22050.0), ASE_NoClock);
    EXPECT_TRUE(logged("ASIOSrv:::\tcanSampleRate(22050.000000) returns -995"));
    EXPECT_EQ(drv->sampleRate, 44100.9);

    char name[32];
    std::memset(name, 0x55, sizeof name);
    clearLog();
    drv->getDriverName(name);
    EXPECT_EQ(std::string(name, sizeof name),
              std::string("Vantrel ASIO device (HDAudio)\0\0\0", 32));
    drv->getDriverName(nullptr);
    ASIOClockSource clock;
    long count = 0; // one entry is written whatever room the host gives
    EXPECT_EQ(drv->getClockSources(&clock, &count), ASE_OK);
    EXPECT_EQ(std::make_tuple(count, clock.associatedChannel, clock.isCurrentSource,
                              std::string(clock.name)),
              std::make_tuple(1L, -1L, ASIOBool(ASIOTrue), std::string("Internal")));
    EXPECT_EQ(drv->getClockSources(nullptr, &count), ASE_InvalidParameter);
    EXPECT_EQ(log(), "ASIOSrv::getDriverName...\n"
                     "ASIOSrv:::\tgetDriverName() reports [Vantrel ASIO device (HDAudio)]\n"
                     "ASIOSrv::getDriverName...\n"
                     "ASIOSrv:::getClockSources(0)...\n");
    for (long selector = 0; selector <= 17; ++selector)
        EXPECT_EQ(drv->future(selector, nullptr),
                  selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_NotPresent)
            << selector;
    EXPECT_TRUE(logged("ASIOSrv:::future(10)..."));
}

// A shared direction answers for the engine: its rate alone, its periods as the sizes (the
// preferred one nearest the user's length, else the engine's default), 24-in-32 samples, the
// mix format's channels, latencies with the engine's pass in them. Beside an exclusive
// direction, the periods both take.
TEST_F(Endpoint, SharedDirectionsAnswerForTheEngine) {
    setMode(L"Shared");
    render.deviceFormat = sim::extensibleFormat(48000, 2, 16, 16, KSAUDIO_SPEAKER_STEREO);
    render.layouts.push_back({4, KSAUDIO_SPEAKER_QUAD});
    const DWORD ms = 4;
    // {engine periods, IAudioClient3, "DefaultSizeInMS", sizes}
    const std::tuple<std::vector<UINT32>, bool, DWORD, Sizes> rows[] = {
        {{480, 32, 128, 480}, true, 0, {ASE_OK, 128, 480, 480, 32}},
        {{480, 32, 128, 480}, true, ms, {ASE_OK, 128, 192, 480, 32}},
        {{480, 480, 480, 480}, true, ms, {ASE_OK, 480, 480, 480, 0}},
        // A default period above the low-latency ones: no step reaches it from them.
        {{480, 32, 128, 256}, true, 0, {ASE_OK, 480, 480, 480, 0}},
        {{480, 32, 128, 480}, false, ms, {ASE_OK, 480, 480, 480, 0}},
    };
    for (const auto& [periods, client3, preferredMs, expected] : rows) {
        SCOPED_TRACE(testing::Message() << periods[1] << " " << client3 << " " << preferredMs);
        for (sim::EndpointConfig* e : {&render, &capture}) {
            e->engineDefaultPeriod = periods[0];
            e->engineFundamentalPeriod = periods[1];
            e->engineMinimumPeriod = periods[2];
            e->engineMaximumPeriod = periods[3];
            e->audioClient3 = client3;
        }
        configure();
        drv->init(nullptr);
        setDefaultSize(preferredMs ? REG_DWORD : REG_NONE, &preferredMs, preferredMs ? 4 : 0);
        EXPECT_EQ(sizes(), expected);
    }
    EXPECT_EQ(drv->sampleType[kRender], ASIOSTInt32LSB);
    long in = 0, out = 0;
    EXPECT_EQ(drv->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(out, 2); // not the four channels it takes exclusively
    EXPECT_EQ(drv->canSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(drv->canSampleRate(22050.0), ASE_NoClock);
    drv->bufferFrames = 480;
    // The engine's pass and the period the buffer spans; output the half waiting too.
    EXPECT_EQ(drv->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(std::make_pair(in, out), std::make_pair(960L, 1440L));
    // At 44.1 kHz through the engine's converter: its period alone, in frames of that rate.
    EXPECT_EQ(drv->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(sizes(), (Sizes{ASE_OK, 441, 441, 441, 0}));
    drv->bufferFrames = 441;
    EXPECT_EQ(drv->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(std::make_pair(in, out), std::make_pair(882L, 1323L));

    // Exclusive render (160 frames at least), shared capture in steps of 96 frames.
    setMode(L"");
    render.deviceFormat = sim::extensibleFormat(48000, 2, 32, 24, KSAUDIO_SPEAKER_STEREO);
    render.audioClient3 = capture.audioClient3 = true;
    render.engineMinimumPeriod = capture.engineMinimumPeriod = 96;
    render.engineFundamentalPeriod = capture.engineFundamentalPeriod = 96;
    capture.exclusiveRefusal = AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
    configure();
    drv->init(nullptr);
    EXPECT_EQ(sizes(), (Sizes{ASE_OK, 192, 192, 480, 96}));
    EXPECT_EQ(drv->canSampleRate(44100.0), ASE_OK);
}

// Every host query that reaches the endpoints, with every step failing, by an error or by
// a null result, at its first call or only at later ones: nothing may be left behind.
TEST_F(Endpoint, NoReferenceLeftBehindOnAnyFailurePath) {
    const std::vector<std::string> ops[] = {
        {"IClassFactory::", "CreateInstance"},
        {"IMMDeviceEnumerator::", "QueryInterface", "GetDefaultAudioEndpoint", "GetDevice"},
        {"IMMDevice::", "QueryInterface", "GetId", "OpenPropertyStore", "Activate"},
        {"IPropertyStore::", "GetValue"},
        {"IAudioClient::", "GetMixFormat", "IsFormatSupported", "GetDevicePeriod", "Initialize",
         "GetBufferSize"},
    };
    using M = sim::FaultMode;
    const std::tuple<bool, M, unsigned> ways[] = {
        {false, M::Always, 1}, {true, M::Always, 1}, {false, M::FromNth, 2}, {true, M::Once, 3}};
    // An 8-byte alignment makes the second Initialize of the not-aligned path happen.
    render.alignmentBytes = capture.alignmentBytes = 8;
    render.minimumPeriod = capture.minimumPeriod = 30100;
    configure();
    for (const auto& methods : ops)
        for (size_t m = 1; m < methods.size(); ++m)
            for (const auto& [null, mode, nth] : ways) {
                const std::string op = methods[0] + methods[m];
                SCOPED_TRACE(op + (null ? " null #" : " #") + std::to_string(nth));
                ASSERT_TRUE(null ? sim::failNull(op.c_str(), mode, nth)
                                 : sim::fail(op.c_str(), E_FAIL, mode, nth));
                drv->init(nullptr);
                long in, out;
                drv->getChannels(&in, &out);
                drv->canSampleRate(44100.0);
                drv->setSampleRate(48000.0);
                sizes();
                for (bool input : {false, true}) {
                    ASIOChannelInfo info = channel(0, input);
                    drv->getChannelInfo(&info);
                }
                recreate(); // checks what this case left behind
            }
}

} // namespace

// The devices listed for each direction, on a PC with several: the first one there is the
// direction's device, recording devices after it add their channels in list order, each
// channel named after its device, and what is not there is left out with a log line (a
// list naming nothing there falls back to the default). Inputs then share the latest
// device's latency, through the bridges.
TEST_F(Endpoint, ListedDevicesJoinInOrder) {
    const std::wstring onboardMic = L"{0.0.1.00000000}.{9e4f7a12-3b5d-4c86-a0e1-7d2c5b9f3a64}";
    const std::wstring headsetMic = L"{0.0.1.00000000}.{7b93d0e4-5a1f-4c27-8e60-2f4d9c1a6b85}";
    const std::wstring usbMic = L"{0.0.1.00000000}.{2d5e9b71-c08a-4f36-b4d2-61e7a9f03c85}";
    const std::wstring headset = L"{0.0.0.00000000}.{c41e7a90-2d35-4b68-9f1c-6e0a8d2b5f31}";
    const std::wstring speakers = L"{0.0.0.00000000}.{5b0c2d4e-8a61-4f3e-9d27-1c6a0e8b7f10}";
    const std::wstring gone = L"{0.0.1.00000000}.{00000000-0000-0000-0000-000000000000}";
    struct Row {
        std::vector<std::wstring> render, capture;
        long inputs, outputs;
        std::vector<std::string> names; // the inputs'
        std::vector<std::string> lines; // among what init logs
    };
    const Row rows[] = {
        // What a playback device plays joins as any device after the first does, never as
        // the first; a recording device named as a playback device is none.
        {{},
         {L"loopback:default", usbMic, gone, onboardMic, headsetMic, L"loopback:" + headset,
          L"loopback:" + onboardMic, L"loopback:others"},
         11,
         2,
         {"Microphone (USB Microphone) 1", "Microphone (USB Microphone) 2",
          "Speakers (High Defin loopback 1", "Speakers (High Defin loopback 2",
          "Microphone (High Definition A 1", "Microphone (High Definition A 2",
          "Headset Microphone (USB Audio 1", "Headset Earphone (US loopback 1",
          "Headset Earphone (US loopback 2", "Other programs loopback 1",
          "Other programs loopback 2"},
         {"ASIOSrv:::\tCaptureEndpoints: loopback:default joins, what " + narrow(speakers) +
              " plays, 2 channels",
          "ASIOSrv:::\tCaptureEndpoints: " + narrow(usbMic) + " first",
          "ASIOSrv:::\tCaptureEndpoints: " + narrow(gone) + " left out, not an active endpoint",
          "ASIOSrv:::\tCaptureEndpoints: " + narrow(onboardMic) +
              " joins, exclusive mode, 2 channels",
          "ASIOSrv:::\tCaptureEndpoints: " + narrow(headsetMic) +
              " joins, exclusive mode, 1 channels",
          "ASIOSrv:::\tCaptureEndpoints: loopback:" + narrow(onboardMic) +
              " left out, not an active playback device",
          "ASIOSrv:::\tCaptureEndpoints: loopback:others joins, what other programs play, 2 "
          "channels"}},
        // Playback devices after the first add their outputs in list order; a device streams
        // once, however often it is listed.
        {{speakers, gone, headset, speakers},
         {onboardMic, headsetMic, headsetMic},
         3,
         4,
         {"Microphone (High Definition A 1", "Microphone (High Definition A 2",
          "Headset Microphone (USB Audio 1"},
         {"ASIOSrv:::\tRenderEndpoints: " + narrow(headset) + " joins, exclusive mode, 2 channels",
          "ASIOSrv:::\tRenderEndpoints: " + narrow(speakers) + " left out, listed already",
          "ASIOSrv:::\tCaptureEndpoints: " + narrow(headsetMic) + " left out, listed already"}},
        // A playback device named for recording is not one; nothing listed is there.
        {{gone, headset, headset},
         {headset},
         2,
         2,
         {"Microphone (High Definition A 1", "Microphone (High Definition A 2"},
         {"ASIOSrv:::\tRenderEndpoints: " + narrow(gone) + " left out, not an active endpoint",
          "ASIOSrv:::\tRenderEndpoints: " + narrow(headset) + " first",
          "ASIOSrv:::\tRenderEndpoints: " + narrow(headset) + " left out, listed already",
          "ASIOSrv:::\tCaptureEndpoints: " + narrow(headset) + " left out, not an active endpoint",
          "ASIOSrv:::\tCaptureEndpoints: the default endpoint, none listed is there"}},
        // "default" is the default device at its place in the list, and one device listed
        // twice streams once.
        {{L"default"},
         {usbMic, L"default", onboardMic},
         4,
         2,
         {"Microphone (USB Microphone) 1", "Microphone (USB Microphone) 2",
          "Microphone (High Definition A 1", "Microphone (High Definition A 2"},
         {"ASIOSrv:::\tRenderEndpoints: default first",
          "ASIOSrv:::\tCaptureEndpoints: default joins, exclusive mode, 2 channels",
          "ASIOSrv:::\tCaptureEndpoints: " + narrow(onboardMic) + " left out, listed already"}},
    };
    std::wstring error;
    ASSERT_TRUE(sim::loadConfigFile(kProfiles + L"studio-pc.ini", &error));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.inputs);
        setList(L"RenderEndpoints", row.render);
        setList(L"CaptureEndpoints", row.capture);
        recreate();
        drv->init(nullptr);
        for (const std::string& line : row.lines)
            EXPECT_TRUE(logged(line)) << line;
        long in = 0, out = 0;
        EXPECT_EQ(drv->getChannels(&in, &out), ASE_OK);
        EXPECT_EQ(std::make_pair(in, out), std::make_pair(row.inputs, row.outputs));
        for (long c = 0; c <= in; ++c) {
            ASIOChannelInfo info = channel(c, true);
            EXPECT_EQ(drv->getChannelInfo(&info), c < in ? ASE_OK : ASE_InvalidParameter) << c;
            if (c < in) {
                EXPECT_EQ(info.name, row.names[c]);
                EXPECT_EQ(info.type, ASIOSTInt32LSB) << c;
            }
        }
    }
    setList(L"RenderEndpoints", {});
    setList(L"CaptureEndpoints", {});

    // Buffers on the last device's channel only: every input is bridged, as late as the
    // latest device. The USB microphone, free, streams exclusively at its 480-frame default
    // period, as late as the onboard one; forced shared, the engine's latency and its period.
    setList(L"CaptureEndpoints", {onboardMic, usbMic});
    ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOTrue, 3, {}}};
    ASIOCallbacks host = {};
    long in = -1;
    struct Latencies {
        const wchar_t* mode;
        long alone, latest; // the onboard microphone's, and every input's with the USB one
    };
    for (const Latencies& row : {Latencies{L"Automatic", 480, 480}, Latencies{L"Shared", 960, 960}}) {
        SCOPED_TRACE(narrow(row.mode));
        setMode(row.mode);
        recreate();
        drv->init(nullptr);
        EXPECT_EQ(drv->createBuffers(infos, 1, 480, &host), ASE_OK);
        EXPECT_EQ(drv->getLatencies(&in, nullptr), ASE_OK);
        EXPECT_EQ(in, row.alone) << "the onboard microphone alone";
        EXPECT_EQ(drv->createBuffers(infos + 1, 1, 480, &host), ASE_OK);
        EXPECT_NE(infos[1].buffers[0], nullptr);
        EXPECT_EQ(drv->getLatencies(&in, nullptr), ASE_OK);
        EXPECT_EQ(in, row.latest + ASIOSrv::bridgeFrames(480));
        drv->disposeBuffers();
    }
    setMode(L"Automatic");

    // Speakers the driver holds exclusively: Windows refuses their loopback, left out.
    ASSERT_TRUE(sim::loadConfigFile(kProfiles + L"two-devices.ini", &error));
    setList(L"CaptureEndpoints", {L"loopback:default"});
    recreate();
    drv->init(nullptr);
    EXPECT_TRUE(logged("ASIOSrv:::\tCaptureEndpoints: " + narrow(speakers) +
                       " left out, the driver plays to that device exclusively"));
    EXPECT_EQ(drv->getChannels(&in, nullptr), ASE_OK);
    EXPECT_EQ(in, 2);
    setList(L"CaptureEndpoints", {});
}
