// Identity, latencies, clock source, channel information and the optional features.
#include "driver_fixture.h"

#include <cstring>

namespace {

using Identity = DriverTest;
using ChannelInfo = DriverTest;

TEST_F(Identity, FixedAnswers) {
    char name[32];
    std::memset(name, 0x55, sizeof name);
    drv->getDriverName(name);
    EXPECT_EQ(std::string(name, sizeof name),
              std::string("Vantrel ASIO device (HDAudio)\0\0\0", 32));
    drv->getDriverName(nullptr);

    ASIOClockSource clock;
    long count = 0; // one entry is written whatever room the host gives
    EXPECT_EQ(drv->getClockSources(&clock, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(clock.associatedChannel, -1);
    EXPECT_EQ(clock.isCurrentSource, ASIOTrue);
    EXPECT_STREQ(clock.name, "Internal");
    EXPECT_EQ(drv->getClockSources(nullptr, &count), ASE_InvalidParameter);

    EXPECT_EQ(log(), (std::vector<std::string>{
                         "ASIOSrv::getDriverName...",
                         "ASIOSrv:::\tgetDriverName() reports [Vantrel ASIO device (HDAudio)]",
                         "ASIOSrv::getDriverName...", "ASIOSrv:::getClockSources(0)..."}));

    for (long selector = 0; selector <= 17; ++selector)
        EXPECT_EQ(drv->future(selector, nullptr),
                  selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_NotPresent)
            << selector;
    EXPECT_TRUE(logged("ASIOSrv:::future(10)..."));
}

ASIOChannelInfo channel(long number, bool input) {
    ASIOChannelInfo info;
    std::memset(&info, 0x55, sizeof info);
    info.channel = number;
    info.isInput = input ? ASIOTrue : ASIOFalse;
    return info;
}

// What the stream adds each way, so that the two add up to the round trip less the line: the
// endpoints' stream latencies (one period each here) and the one output buffer the thread
// keeps beyond the endpoint's (two in timer-driven mode).
TEST_F(Identity, LatenciesAreWhatTheStreamAdds) {
    long in = -1, out = -1;
    EXPECT_EQ(drv->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in + out, 0) << "before buffers";
    drv->init(nullptr);
    drv->bufferFrames = 480;
    EXPECT_EQ(drv->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 480);
    EXPECT_EQ(out, 960);
    EXPECT_TRUE(logged("ASIOSrv::: getLatencies() reports Input=480 Output=960"));
    drv->TimerDrivenMode = true;
    EXPECT_EQ(drv->getLatencies(nullptr, &out), ASE_OK);
    EXPECT_EQ(out, 1440);
    EXPECT_TRUE(logged("ASIOSrv::: getLatencies() reports Input=0 Output=1440"));
}

TEST_F(ChannelInfo, NamesTypesAndFixedLimits) {
    ASIOChannelInfo info = channel(0, false);
    EXPECT_EQ(drv->getChannelInfo(&info), ASE_NotPresent) << "before init";
    EXPECT_EQ(info.type, ASIOSTInt16LSB);
    EXPECT_EQ(info.name[0], 0);
    EXPECT_EQ(info.isActive, ASIOFalse);

    render.layouts = {{2, 0x3}, {10, 0x3}};
    render.description = L"High Definition Audio Speakers (rear panel)";
    capture.description = L"Mic \u4E2D\u6587 array";
    configure();
    drv->init(nullptr); // render 24-in-32, capture 24-in-32 too by default
    drv->sampleType[kCapture] = ASIOSTInt16LSB;

    info = channel(7, false);
    EXPECT_EQ(drv->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(std::string(info.name, sizeof info.name),
              std::string("High Definition Audio Speakers \0", 32)); // cut to 31
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_EQ(info.channelGroup, 0);
    EXPECT_EQ(info.isActive, ASIOFalse);
    info = channel(1, true);
    EXPECT_EQ(drv->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "Mic ?? array - channel 1");
    EXPECT_EQ(info.type, ASIOSTInt16LSB);

    // 8 outputs and 2 inputs, whatever getChannels reports.
    long outputs = 0;
    drv->getChannels(nullptr, &outputs);
    EXPECT_EQ(outputs, 10);
    for (ASIOChannelInfo bad : {channel(8, false), channel(-1, false), channel(2, true)})
        EXPECT_EQ(drv->getChannelInfo(&bad), ASE_InvalidParameter) << bad.channel;
    clearLog();
    EXPECT_EQ(drv->getChannelInfo(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(log(), std::vector<std::string>{"ASIODrv::getChannelInfo(NULL)!!!"});
}

TEST_F(ChannelInfo, PlatformFailuresBecomeNotPresentOrInvalidMode) {
    capture.description.clear(); // no description: no names
    configure();
    drv->init(nullptr);
    ASIOChannelInfo info = channel(0, true);
    EXPECT_EQ(drv->getChannelInfo(&info), ASE_InvalidMode);

    const struct {
        const char* op;
        bool null; // the call succeeds with nothing
        ASIOError expected;
    } cases[] = {
        {"IMMDeviceEnumerator::QueryInterface", false, ASE_NotPresent},
        {"IMMDeviceEnumerator::GetDevice", true, ASE_NotPresent},
        {"IMMDevice::OpenPropertyStore", true, ASE_InvalidMode},
        {"IPropertyStore::GetValue", false, ASE_InvalidMode},
    };
    for (const auto& c : cases) {
        sim::clearFaults();
        c.null ? sim::failNull(c.op) : sim::fail(c.op, E_FAIL);
        info = channel(0, false);
        EXPECT_EQ(drv->getChannelInfo(&info), c.expected) << c.op;
        EXPECT_EQ(info.name[0], 0);
    }
}

} // namespace
