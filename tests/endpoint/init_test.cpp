// Binding to the default endpoints and the channel counts.
#include "driver_fixture.h"

#include <audioclient.h>
#include <ksmedia.h>

namespace {

using Init = DriverTest;
using Channels = DriverTest;

TEST_F(Init, BindsBothEndpointsAndTakesTheRateFromRenderOnly) {
    render.deviceFormat = sim::extensibleFormat(48000, 2, 32, 24, KSAUDIO_SPEAKER_STEREO);
    capture.deviceFormat = sim::pcmFormat(44100, 1, 16);
    configure();
    drv->callbacks.bufferSwitch = [](long, ASIOBool) {};

    EXPECT_EQ(drv->init(reinterpret_cast<void*>(0x12345678AB)), ASIOTrue);
    ASSERT_NE(drv->endpointId[kRender], nullptr);
    ASSERT_NE(drv->endpointId[kCapture], nullptr);
    EXPECT_EQ(std::wstring(drv->endpointId[kRender]), render.id);
    EXPECT_EQ(std::wstring(drv->endpointId[kCapture]), capture.id);
    EXPECT_EQ(drv->callbacks.bufferSwitch, nullptr);
    EXPECT_EQ(drv->sampleRate, 48000.0);
    EXPECT_EQ(drv->channelCount[kCapture], 1);
    EXPECT_EQ(log(), (std::vector<std::string>{"ASIOSrv:::init(0x345678AB)...[NULL]",
                                               "ASIOSrv:::\tRenderEndpoint: the default "
                                               "endpoint, none chosen",
                                               "ASIOSrv:::\tCaptureEndpoint: the default "
                                               "endpoint, none chosen",
                                               "ASIOSrv:::\tinit() got 0x" +
                                                   hex32(drv->endpointId[kRender]) + " 0x" +
                                                   hex32(drv->endpointId[kCapture])}));
}

TEST_F(Init, OnlyTwentyFourValidBitsInThirtyTwoGiveThirtyTwoBitSamples) {
    const struct {
        WAVEFORMATEXTENSIBLE format;
        ASIOSampleType type;
    } cases[] = {
        {sim::extensibleFormat(96000, 4, 32, 24, KSAUDIO_SPEAKER_QUAD), ASIOSTInt32LSB},
        {sim::extensibleFormat(96000, 4, 24, 24, KSAUDIO_SPEAKER_QUAD), ASIOSTInt16LSB},
        {sim::extensibleFormat(96000, 4, 32, 32, KSAUDIO_SPEAKER_QUAD), ASIOSTInt16LSB},
        {sim::extensibleFormat(96000, 4, 32, 32, KSAUDIO_SPEAKER_QUAD, true), ASIOSTInt16LSB},
        {sim::pcmFormat(96000, 4, 32), ASIOSTInt16LSB},
    };
    // One object initialised again and again: each init frees the IDs it replaces.
    for (const auto& c : cases) {
        render.deviceFormat = capture.deviceFormat = c.format;
        configure();
        drv->sampleType[kRender] = drv->sampleType[kCapture] = ASIOSTInt32LSB;
        drv->init(nullptr);
        SCOPED_TRACE(c.format.Format.wBitsPerSample);
        EXPECT_EQ(drv->sampleType[kRender], c.type);
        EXPECT_EQ(drv->sampleType[kCapture], c.type);
        EXPECT_EQ(drv->channelCount[kRender], 4);
    }
}

// A PC that only records is served: the capture endpoint is bound and gives the rate. An
// endpoint on which exclusive mode is forbidden is not bound; with none left, init fails.
TEST_F(Init, EachDirectionIsBoundOnItsOwnAndForbiddenOnesAreNot) {
    render.present = false;
    capture.deviceFormat = sim::extensibleFormat(44100, 2, 32, 24, KSAUDIO_SPEAKER_STEREO);
    configure();
    EXPECT_EQ(drv->init(nullptr), ASIOTrue);
    ASSERT_NE(drv->endpointId[kCapture], nullptr);
    EXPECT_EQ(drv->sampleRate, 44100.0);
    long in = -1, out = -1;
    EXPECT_EQ(drv->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 2);
    EXPECT_EQ(out, 0);

    render.present = true;
    capture.exclusiveRefusal = AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
    configure();
    EXPECT_EQ(drv->init(nullptr), ASIOTrue);
    EXPECT_NE(drv->endpointId[kRender], nullptr);
    EXPECT_EQ(drv->endpointId[kCapture], nullptr);
    render.exclusiveRefusal = AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
    configure();
    EXPECT_EQ(drv->init(nullptr), ASIOFalse);
    EXPECT_TRUE(logged("ASIOSrv:::\tinit() got 0x0 0x0"));
    render.exclusiveRefusal = AUDCLNT_E_DEVICE_IN_USE; // held for now, not for good
    capture.exclusiveRefusal = S_OK;
    configure();
    EXPECT_EQ(drv->init(nullptr), ASIOTrue);
    EXPECT_NE(drv->endpointId[kRender], nullptr);

    render.present = capture.present = false;
    configure();
    EXPECT_EQ(drv->init(nullptr), ASIOTrue);

    // Nothing to ask: any rate is kept, and the sizes are the bare figures.
    EXPECT_EQ(drv->setSampleRate(12345.5), ASE_OK);
    long minSize = -1, maxSize = -1, preferred = -1, granularity = 0;
    EXPECT_EQ(drv->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(minSize + preferred, 0);
    EXPECT_EQ(maxSize, 12345);
    EXPECT_EQ(granularity, -1);
}

TEST_F(Init, UnreadableFormatsAndAFailedEnumeratorKeepEarlierValues) {
    capture.hasDeviceFormat = false;
    render.deviceFormatBlob.assign(10, 0xFF); // too short for a format
    configure();
    drv->init(nullptr);
    EXPECT_NE(drv->endpointId[kRender], nullptr);
    EXPECT_NE(drv->endpointId[kCapture], nullptr);
    EXPECT_EQ(drv->sampleRate, 0.0);
    EXPECT_EQ(drv->channelCount[kRender], 2);

    IUnknown* earlier = drv->deviceEnumerator;
    drv->sampleRate = 1.0;
    sim::fail("IClassFactory::CreateInstance", E_OUTOFMEMORY);
    EXPECT_EQ(drv->init(nullptr), ASIOTrue);
    EXPECT_EQ(drv->deviceEnumerator, earlier);
    EXPECT_EQ(drv->endpointId[kRender], nullptr);
    EXPECT_EQ(drv->sampleRate, 1.0);
}

TEST_F(Channels, OutputCountIsTheLargestCountTheProbeGetsAccepted) {
    using L = sim::ChannelLayout;
    const L stereo{2, 0x3}, quad{4, 0x33}, six{6, 0x3F}, eight{8, 0x63F}, ten{10, 0x3};
    const struct {
        std::vector<L> layouts;
        long expected;
    } cases[] = {
        {{stereo, quad, six, eight}, 8},
        {{stereo, quad, eight}, 8}, // a refused count does not end the probe
        {{stereo}, 2},
        {{stereo, ten}, 10}, // 10 channels are probed with the stereo mask
    };
    drv->init(nullptr);
    for (const auto& c : cases) {
        render.layouts = c.layouts;
        configure();
        long out = 0;
        EXPECT_EQ(drv->getChannels(nullptr, &out), ASE_OK);
        EXPECT_EQ(out, c.expected);
    }

    render.mixFormat =
        sim::extensibleFormat(48000, 8, 32, 32, KSAUDIO_SPEAKER_7POINT1_SURROUND, true);
    render.layouts = {eight, ten};
    configure();
    sim::clearCalls();
    long out = 0;
    drv->getChannels(nullptr, &out);
    EXPECT_EQ(out, 10);
    EXPECT_EQ(sim::callCount("IAudioClient::IsFormatSupported"), 1u);

    // A plain mix format is probed with its own tag and sample size.
    render.mixFormat = sim::pcmFormat(48000, 2, 16);
    render.layouts = {stereo, quad};
    render.sampleFormats = {{16, 16}};
    configure();
    drv->getChannels(nullptr, &out);
    EXPECT_EQ(out, 4);
}

TEST_F(Channels, InputsAreTheCaptureMixCountAndSidesFailApart) {
    capture.mixFormat = sim::pcmFormat(48000, 1, 16);
    capture.layouts = {{1, 0x4}, {2, 0x3}, {4, 0x33}};
    configure();
    long in = 0, out = 0;
    EXPECT_EQ(drv->getChannels(&in, &out), ASE_NotPresent) << "before init";
    drv->init(nullptr);
    clearLog();
    EXPECT_EQ(drv->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 1);
    EXPECT_EQ(log(), (std::vector<std::string>{"ASIOSrv::getChannels()...",
                                               "ASIOSrv:::\tChecking [Microphone]...",
                                               "ASIOSrv:::\tChecking [Speakers]...",
                                               "ASIOSrv:::\tgetChannels() got Input=1 Output=2"}));
    clearLog();
    EXPECT_EQ(drv->getChannels(nullptr, nullptr), ASE_InvalidParameter);
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(drv->getChannels(&in, nullptr), ASE_OK);
    EXPECT_TRUE(logged("ASIOSrv:::\tgetChannels() got Input=1 Output=0"));

    sim::fail("IMMDevice::Activate", E_OUTOFMEMORY, sim::FaultMode::Always, 1, sim::Flow::Capture);
    EXPECT_EQ(drv->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 0);
    EXPECT_EQ(out, 2);
}

} // namespace
