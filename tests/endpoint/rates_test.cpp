// Testing, storing and reporting the sample rate; the stream format start opens with.
#include "driver_fixture.h"
#include "endpoint/wave.h"

#include <audioclient.h>
#include <mmdeviceapi.h>

namespace {

using SampleRate = DriverTest;
using StreamFormat = DriverTest;

TEST_F(SampleRate, EachEndpointOutcomeMapsToItsCode) {
    drv->init(nullptr);
    const HRESULT notFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    const struct {
        const char* op; // the faulted operation, if any
        HRESULT hr;
        sim::Flow flow;
        double rate;
        ASIOError expected;
        unsigned captureAsked; // IsFormatSupported calls on the capture endpoint
    } cases[] = {
        {nullptr, S_OK, sim::Flow::Any, 44100.0, ASE_OK, 1},
        {nullptr, S_OK, sim::Flow::Any, 22050.0, ASE_NoClock, 0}, // render refusal is final
        {"IAudioClient::IsFormatSupported", AUDCLNT_E_UNSUPPORTED_FORMAT, sim::Flow::Capture,
         44100.0, ASE_NoClock, 1},
        {"IAudioClient::IsFormatSupported", S_FALSE, sim::Flow::Render, 44100.0,
         ASE_InvalidParameter, 0},
        {"IAudioClient::IsFormatSupported", AUDCLNT_E_DEVICE_IN_USE, sim::Flow::Render, 44100.0,
         ASE_InvalidParameter, 0},
        {"IMMDeviceEnumerator::GetDevice", notFound, sim::Flow::Render, 44100.0, ASE_NotPresent, 0},
        {"IMMDevice::Activate", E_OUTOFMEMORY, sim::Flow::Capture, 44100.0, ASE_InvalidMode, 0},
    };
    for (const auto& c : cases) {
        sim::clearFaults();
        sim::clearCalls();
        if (c.op) sim::fail(c.op, c.hr, sim::FaultMode::Always, 1, c.flow);
        SCOPED_TRACE(std::string(c.op ? c.op : "no fault") + " " + std::to_string(c.hr));
        EXPECT_EQ(drv->canSampleRate(c.rate), c.expected);
        EXPECT_EQ(sim::callCount("IAudioClient::IsFormatSupported", sim::Flow::Capture),
                  c.captureAsked);
    }
    EXPECT_TRUE(logged("ASIOSrv:::\tcanSampleRate(22050.000000) returns -995"));

    sim::clearFaults();
    sim::fail("IMMDeviceEnumerator::QueryInterface", E_NOINTERFACE);
    clearLog();
    EXPECT_EQ(drv->canSampleRate(44100.0), ASE_NotPresent);
    EXPECT_TRUE(log().empty()) << "without the enumerator nothing is logged";
}

TEST_F(SampleRate, StoredAsGivenOnlyWhenAccepted) {
    ASIOSampleRate rate = -1;
    EXPECT_EQ(drv->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 0.0);
    EXPECT_EQ(drv->getSampleRate(nullptr), ASE_InvalidParameter);
    clearLog();
    EXPECT_EQ(drv->setSampleRate(48000.0), ASE_NotPresent);
    EXPECT_EQ(log(), std::vector<std::string>{"ASIOSrv::setSampleRate(48000.000000)..."});

    drv->init(nullptr);
    clearLog();
    // The endpoints are asked at the integer part; the fraction is kept.
    EXPECT_EQ(drv->setSampleRate(44100.9), ASE_OK);
    EXPECT_EQ(drv->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.9);
    EXPECT_EQ(log(),
              (std::vector<std::string>{"ASIOSrv:::\tcanSampleRate(44100.900000) returns 0",
                                        "ASIOSrv::setSampleRate(44100.900000)...",
                                        "ASIOSrv:::\tgetSampleRate() reports 44100.900000"}));
    EXPECT_EQ(drv->setSampleRate(22050.0), ASE_NoClock);
    EXPECT_EQ(drv->sampleRate, 44100.9);
}

TEST_F(StreamFormat, WhatStartOpensIsWhatAnEndpointTakes) {
    render.layouts = {{2, 0x3}, {6, 0x3F}};
    configure();
    drv->init(nullptr);
    IUnknown* device = endpointDevice(kRender);
    IAudioClient* client = nullptr;
    ASSERT_HRESULT_SUCCEEDED(static_cast<IMMDevice*>(device)->Activate(
        __uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client)));
    WAVEFORMATEXTENSIBLE f;
    ASSERT_TRUE(makeStreamFormat(ASIOSTInt32LSB, 2, 48000.7, &f));
    EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &f.Format, nullptr), S_OK);
    ASSERT_TRUE(makeStreamFormat(ASIOSTInt16LSB, 6, 96000.0, &f));
    EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &f.Format, nullptr), S_OK);
    EXPECT_FALSE(makeStreamFormat(ASIOSTInt16LSB, 5, 48000.0, &f));
    client->Release();
    device->Release();
}

} // namespace
