// Buffer sizes from what the endpoints grant, each asked in the format it streams with. The
// simulated endpoints run at 48 kHz, 24 bits in 32, stereo, with buffers aligned to 128 bytes
// (16 frames): the 3 ms minimum period (144 frames) is granted as 160 frames, the 10 ms
// default period as 480, and the longest event-driven buffer, 500 ms, as 24000.
#include "driver_fixture.h"

#include <audioclient.h>

namespace {

using BufferSize = DriverTest;
using AlignedFrames = DriverTest;

struct Sizes {
    long minSize = -7, maxSize = -7, preferred = -7, granularity = -7;
    ASIOError result = 1;
};

Sizes sizesOf(ASIOSrv* drv) {
    Sizes s;
    s.result = drv->getBufferSize(&s.minSize, &s.maxSize, &s.preferred, &s.granularity);
    return s;
}

TEST_F(BufferSize, PreferredSizeFollowsTheSettingReadAtEveryCall) {
    EXPECT_EQ(sizesOf(drv).result, ASE_NotPresent) << "before init";
    EXPECT_TRUE(log().empty());
    drv->init(nullptr);
    clearLog();
    Sizes s = sizesOf(drv);
    EXPECT_EQ(s.result, ASE_OK);
    EXPECT_EQ(s.minSize, 160);
    EXPECT_EQ(s.preferred, 480);
    EXPECT_EQ(s.maxSize, 24000);
    EXPECT_EQ(s.granularity, -1);
    EXPECT_EQ(log(), (std::vector<std::string>{"ASIOSrv::getBufferSize...",
                                               "ASIOSrv:::\tDefault size : 0 ms (2)"}));

    DWORD ms = 20;
    setDefaultSize(REG_DWORD, &ms, sizeof ms);
    EXPECT_EQ(sizesOf(drv).preferred, 960);
    EXPECT_TRUE(logged("ASIOSrv:::\tDefault size : 20 ms (0)"));
    ms = 5; // a 4-byte binary value counts as a number, a string does not
    setDefaultSize(REG_BINARY, &ms, sizeof ms);
    EXPECT_EQ(sizesOf(drv).preferred, 256);
    setDefaultSize(REG_SZ, L"20", 6);
    EXPECT_EQ(sizesOf(drv).preferred, 480);
    EXPECT_TRUE(logged("ASIOSrv:::\tDefault size : 0 ms (1630)"));
    // A length the endpoints refuse gives 0, raised to the minimum.
    ms = 1000;
    setDefaultSize(REG_DWORD, &ms, sizeof ms);
    EXPECT_EQ(sizesOf(drv).preferred, 160);
}

TEST_F(BufferSize, TheLargerMinimumAndTheSmallerMaximumWin) {
    capture.minimumPeriod = capture.defaultPeriod = 120000; // 576 frames
    configure();
    drv->init(nullptr);
    Sizes s = sizesOf(drv);
    EXPECT_EQ(s.minSize, 576);
    EXPECT_EQ(s.preferred, 576);
    // 5 ms: render grants 256 frames, capture refuses a period below its minimum; the
    // preferred size is raised to the capture minimum.
    DWORD ms = 5;
    setDefaultSize(REG_DWORD, &ms, sizeof ms);
    s = sizesOf(drv);
    EXPECT_EQ(s.minSize, 576);
    EXPECT_EQ(s.preferred, 576);

    // The device's own limit below Windows' 500 ms: the size it grants, asked down from
    // 500 ms in steps of a tenth (405 ms, 19440 frames, is the first at or below 440 ms).
    capture.maximumDuration = 4400000;
    configure();
    long maxSize = 0;
    EXPECT_EQ(drv->getBufferSize(nullptr, &maxSize, nullptr, nullptr), ASE_OK);
    EXPECT_EQ(maxSize, 19456);
    sim::clearCalls();
    EXPECT_EQ(drv->getBufferSize(nullptr, nullptr, nullptr, nullptr), ASE_OK);
    EXPECT_EQ(sim::callCount("IAudioClient::Initialize"), 0u) << "no probe for no output";
}

// A mono 16-bit microphone beside stereo 24-in-32 speakers: 480 frames are 960 bytes there,
// not aligned, so both sizes come from what the microphone grants in its own format.
TEST_F(BufferSize, EachEndpointIsAskedInItsOwnFormat) {
    capture.deviceFormat = sim::extensibleFormat(48000, 1, 16, 16, KSAUDIO_SPEAKER_MONO);
    capture.layouts = {{1, KSAUDIO_SPEAKER_MONO}};
    capture.sampleFormats = {{16, 16}};
    configure();
    drv->init(nullptr);
    Sizes s = sizesOf(drv);
    EXPECT_EQ(s.minSize, 192); // 144 frames refused, 192 offered
    EXPECT_EQ(s.preferred, 512);
    EXPECT_EQ(s.maxSize, 24000);
    EXPECT_EQ(drv->canSampleRate(48000.0), ASE_OK);
}

TEST_F(BufferSize, AFailedDirectionLeavesTheOthersFiguresAndItsCode) {
    capture.minimumPeriod = 50000; // 240 frames, granted as 256
    configure();
    drv->init(nullptr);
    std::wstring renderId = render.id;
    render.id = L"{0.0.0.00000000}.{another}"; // the stored ID no longer resolves
    configure();
    Sizes s = sizesOf(drv);
    EXPECT_EQ(s.result, ASE_NotPresent);
    EXPECT_EQ(s.minSize, 256);
    EXPECT_EQ(s.preferred, 480);
    EXPECT_EQ(s.maxSize, 24000);

    render.id = renderId;
    configure();
    sim::fail("IAudioClient::GetDevicePeriod", E_FAIL, sim::FaultMode::Always, 1,
              sim::Flow::Capture);
    s = sizesOf(drv);
    EXPECT_EQ(s.result, ASE_InvalidMode);
    EXPECT_EQ(s.minSize, 160);
    EXPECT_EQ(s.preferred, 480);

    // The last failing direction gives the code.
    sim::clearFaults();
    sim::fail("IMMDevice::Activate", E_FAIL, sim::FaultMode::Always, 1, sim::Flow::Render);
    sim::fail("IMMDeviceEnumerator::GetDevice", HRESULT_FROM_WIN32(ERROR_NOT_FOUND),
              sim::FaultMode::Always, 1, sim::Flow::Capture);
    EXPECT_EQ(sizesOf(drv).result, ASE_NotPresent);

    sim::clearFaults();
    sim::fail("IMMDeviceEnumerator::QueryInterface", E_NOINTERFACE);
    s = sizesOf(drv);
    EXPECT_EQ(s.result, ASE_NotPresent);
    EXPECT_EQ(s.minSize + s.maxSize, -14) << "nothing written";
}

TEST_F(AlignedFrames, GrantedSizesRoundUpToThirtyTwoNotAlignedOnesStay) {
    render.alignmentBytes = 4; // any frame count
    configure();
    drv->init(nullptr);
    ASSERT_EQ(drv->setSampleRate(44100.0), ASE_OK);
    IUnknown* device = endpointDevice(kRender);
    EXPECT_EQ(drv->alignedFramesForDuration(device, 100000), 448u); // 441 granted
    EXPECT_EQ(drv->alignedFramesForDuration(device, 108844), 480u);
    EXPECT_EQ(drv->alignedFramesForDuration(device, 10000), 0u); // below the minimum period
    EXPECT_EQ(drv->alignedFramesForDuration(nullptr, 100000), 0u);
    device->Release();

    // 16-bit stereo with two-frame alignment: 541 frames are refused with 542 reported; a
    // second client is initialised with 542 frames' duration, and 542 is the answer.
    render.deviceFormat = sim::extensibleFormat(48000, 2, 16, 16, KSAUDIO_SPEAKER_STEREO);
    render.alignmentBytes = 8;
    configure();
    drv->init(nullptr);
    ASSERT_EQ(drv->setSampleRate(44100.0), ASE_OK);
    device = endpointDevice(kRender);
    sim::clearCalls();
    EXPECT_EQ(drv->alignedFramesForDuration(device, 122676), 542u);
    EXPECT_EQ(sim::callCount("IAudioClient::Initialize"), 2u);
    sim::fail("IAudioClient::Initialize", AUDCLNT_E_DEVICE_IN_USE, sim::FaultMode::Once, 2);
    EXPECT_EQ(drv->alignedFramesForDuration(device, 122676), 0u);
    sim::fail("IAudioClient::GetBufferSize", E_FAIL, sim::FaultMode::Once);
    EXPECT_EQ(drv->alignedFramesForDuration(device, 122676), 0u);
    // An endpoint that rounds durations up hears 542 frames' single-precision duration
    // (122903) as 543 frames, not aligned again; the truncated one (122902) lands on 542.
    render.roundFramesUp = true;
    configure();
    device->Release();
    device = endpointDevice(kRender);
    sim::clearCalls();
    EXPECT_EQ(drv->alignedFramesForDuration(device, 122675), 542u); // 541 refused
    EXPECT_EQ(sim::callCount("IAudioClient::Initialize"), 3u);
    device->Release();
}

} // namespace
