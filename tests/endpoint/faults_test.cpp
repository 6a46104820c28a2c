// Whatever step of the endpoint services fails, and however, the driver keeps going and
// leaves no reference, string or format block of the services behind.
#include "driver_fixture.h"

#include <audioclient.h>

namespace {

using Faults = DriverTest;

// Every host query that reaches the endpoints.
void exerciseAll(ASIOSrv* drv) {
    drv->init(nullptr);
    long in = 0, out = 0;
    drv->getChannels(&in, &out);
    drv->canSampleRate(44100.0);
    drv->setSampleRate(48000.0);
    long minSize, maxSize, preferred, granularity;
    drv->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    ASIOChannelInfo info = {};
    drv->getChannelInfo(&info);
    info.isInput = ASIOTrue;
    drv->getChannelInfo(&info);
}

TEST_F(Faults, NoReferenceLeftBehindOnAnyFailurePath) {
    const char* ops[] = {
        "IClassFactory::CreateInstance",
        "IMMDeviceEnumerator::QueryInterface",
        "IMMDeviceEnumerator::GetDefaultAudioEndpoint",
        "IMMDeviceEnumerator::GetDevice",
        "IMMDevice::QueryInterface",
        "IMMDevice::GetId",
        "IMMDevice::OpenPropertyStore",
        "IMMDevice::Activate",
        "IPropertyStore::GetValue",
        "IAudioClient::GetMixFormat",
        "IAudioClient::IsFormatSupported",
        "IAudioClient::GetDevicePeriod",
        "IAudioClient::Initialize",
        "IAudioClient::GetBufferSize",
    };
    // A short 8-byte alignment makes the second Initialize of the not-aligned path happen.
    render.alignmentBytes = capture.alignmentBytes = 8;
    render.minimumPeriod = capture.minimumPeriod = 30100;
    configure();
    for (const char* op : ops) {
        for (int how = 0; how < 4; ++how) {
            SCOPED_TRACE(std::string(op) + " #" + std::to_string(how));
            recreate();
            sim::clearFaults();
            switch (how) {
            case 0:
                ASSERT_TRUE(sim::fail(op, E_FAIL));
                break;
            case 1:
                ASSERT_TRUE(sim::failNull(op));
                break;
            // Later calls of the same operation: the steps past the first one.
            case 2:
                ASSERT_TRUE(sim::fail(op, E_FAIL, sim::FaultMode::FromNth, 2));
                break;
            case 3:
                ASSERT_TRUE(sim::failNull(op, sim::FaultMode::Once, 3));
                break;
            }
            exerciseAll(drv);
        }
    }
}

} // namespace
