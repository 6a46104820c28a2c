// The streaming engine on the simulator's stepped clock: the order of the host's switches,
// what reaches the endpoint and the host, and the buffer set.
#include "rig.h"

#include "stream/engine.h"

#include <audioclient.h>

#include <cstdlib>

namespace {

using rig::Options;
using rig::Rig;

struct Shape {
    const char* name;
    int outputs, inputs;
};
const Shape kShapes[] = {{"render only", 2, 0}, {"capture only", 0, 2}, {"duplex", 2, 2}};

// Switches the host gets before the first endpoint period: the two pre-fill switches. The
// render endpoint starts with a period of silence, so it does not signal at once.
size_t switchesBeforeFirstTick(const Shape& s) {
    return s.outputs ? 2 : 0;
}

// Half indices, directProcess, time information and positions of the pre-fill and the loop;
// inputs handed over in the pass that captured them; outputs reaching the endpoint in the
// order the host wrote them, bit-exact after the 24-bit mask.
TEST(EventDriven, SwitchesCarryHalvesPositionsAndAudioInOrder) {
    for (const Shape& shape : kShapes)
        for (bool timeInfo : {true, false})
            for (bool wide : {true, false}) {
                SCOPED_TRACE(testing::Message()
                             << shape.name << (timeInfo ? ", time info" : ", plain")
                             << (wide ? ", 24-in-32" : ", 16-bit"));
                Options o;
                o.clock = sim::Clock::Manual;
                o.outputs = shape.outputs;
                o.inputs = shape.inputs;
                o.timeInfo = timeInfo;
                o.wide = wide;
                const long B = o.frames;
                const uint64_t ticks = 6;
                {
                    Rig r(o);
                    ASSERT_EQ(r.create(), ASE_OK);
                    ASSERT_EQ(r.asio->start(), ASE_OK);
                    size_t first = switchesBeforeFirstTick(shape);
                    ASSERT_TRUE(r.host.waitForSwitches(first, 2000));
                    ASSERT_TRUE(sim::run(unsigned(ticks), 2000));
                    ASSERT_TRUE(r.host.waitForSwitches(first + ticks, 2000));
                    EXPECT_EQ(r.asio->stop(), ASE_OK);

                    size_t prefill = shape.outputs ? 2 : 0;
                    auto switches = r.host.switches();
                    ASSERT_EQ(switches.size(), first + ticks);
                    for (size_t s = 0; s < switches.size(); ++s) {
                        SCOPED_TRACE(testing::Message() << "switch " << s);
                        EXPECT_EQ(switches[s].half, long(s & 1));
                        EXPECT_EQ(switches[s].directProcess, s < prefill ? ASIOTrue : ASIOFalse);
                        EXPECT_EQ(switches[s].timeInfo, timeInfo);
                        if (timeInfo) {
                            const AsioTimeInfo& t = switches[s].time.timeInfo;
                            EXPECT_EQ(switches[s].samplePosition, uint64_t(s) * uint64_t(B));
                            EXPECT_EQ(t.flags, 15ul);
                            EXPECT_EQ(t.speed, 1.0);
                            EXPECT_EQ(t.sampleRate, 48000.0);
                            EXPECT_EQ(switches[s].systemTimeNs % 1000000, 0u);
                        }
                    }
                    // The time-info questions come from the streaming thread, the second only
                    // after a yes to the first.
                    auto messages = r.host.messages();
                    ASSERT_EQ(messages.size(), timeInfo ? 2u : 1u);
                    EXPECT_EQ(messages[0].selector, kAsioSelectorSupported);
                    EXPECT_EQ(messages[0].value, kAsioSupportsTimeInfo);
                    if (timeInfo) {
                        EXPECT_EQ(messages[1].selector, kAsioSupportsTimeInfo);
                    }
                    EXPECT_EQ(messages[0].threadId, switches[0].threadId);

                    if (shape.inputs) {
                        // Inputs of the pre-fill switches are silence; the pass after capture
                        // period j hands its packet over in its own switch.
                        auto in = r.capturedStream();
                        ASSERT_EQ(in.size(), 2 * size_t(B) * switches.size());
                        for (size_t f = 0; f < in.size() / 2; ++f)
                            for (unsigned c = 0; c < 2; ++c) {
                                int32_t want = 0;
                                if (f >= prefill * size_t(B)) {
                                    want = sim::counterSample(c, f - prefill * size_t(B),
                                                              wide ? 32 : 16);
                                    if (!wide) want = int16_t(want);
                                }
                                ASSERT_EQ(in[2 * f + c], want) << "frame " << f << " channel " << c;
                            }
                    }
                    if (shape.outputs) {
                        // The first period played is the silence released before Start; each
                        // after it came from the host's switches in order: the switch of pass
                        // j filled the half that left in pass j + 2.
                        auto played = Rig::recordedSamples(wide);
                        ASSERT_EQ(played.size(), 2 * size_t(B) * ticks);
                        const size_t silent = 1;
                        for (size_t k = 0; k < silent * 2 * size_t(B); ++k)
                            ASSERT_EQ(played[k], 0);
                        for (size_t k = silent * 2 * size_t(B); k < played.size(); ++k) {
                            uint64_t n = (k - silent * 2 * size_t(B)) / 2;
                            int32_t want = rig::hostSample(unsigned(k % 2), n, wide);
                            if (wide) want = int32_t(uint32_t(want) & 0xFFFFFF00u);
                            ASSERT_EQ(played[k], want) << "sample " << k;
                        }
                    }
                    sim::Stats st =
                        sim::stats(shape.outputs ? sim::Flow::Render : sim::Flow::Capture);
                    EXPECT_EQ(st.missedPeriods, 0u);
                    EXPECT_EQ(st.startGlitches, 0u);
                }
                rig::expectNothingLeaked();
            }
}

// The capture packet is taken with GetBuffer each period, never asked for with
// GetNextPacketSize (which exclusive streams need not answer). No packet: nothing is read or
// released, the switch still comes, and the input half keeps what it held.
TEST(EventDriven, EmptyCapturePacketStillSwitches) {
    Options o;
    o.clock = sim::Clock::Manual;
    o.outputs = 0;
    {
        Rig r(o);
        ASSERT_EQ(r.create(), ASE_OK);
        ASSERT_EQ(r.asio->start(), ASE_OK);
        ASSERT_TRUE(sim::run(3, 2000));
        ASSERT_TRUE(r.host.waitForSwitches(3, 2000));
        sim::clearCalls();
        ASSERT_TRUE(sim::fail("IAudioCaptureClient::GetBuffer", AUDCLNT_S_BUFFER_EMPTY,
                              sim::FaultMode::Once));
        sim::step(1);
        ASSERT_TRUE(r.host.waitForSwitches(4, 2000));
        r.asio->stop();
        EXPECT_EQ(sim::callCount("IAudioCaptureClient::GetBuffer"), 1u);
        EXPECT_EQ(sim::callCount("IAudioCaptureClient::ReleaseBuffer"), 0u);
        EXPECT_EQ(sim::callCount("IAudioCaptureClient::GetNextPacketSize"), 0u);
        auto in = r.capturedStream();
        const size_t half = 2 * 480;
        ASSERT_EQ(in.size(), 4 * half);
        // Switch 3 used half 1, last filled in switch 1.
        EXPECT_TRUE(std::equal(in.begin() + 3 * half, in.end(), in.begin() + 1 * half));
    }
    rig::expectNothingLeaked();
}

// An endpoint unplugged mid-stream: the thread sends the host one reset request and no
// switch after it, and stop, disposeBuffers and Release then leave nothing behind. The
// stepped clock stops with the endpoint, so event-driven mode finds it gone by its silence.
TEST(Unplugged, OneResetRequestThenNoSwitch) {
    const struct {
        bool timerDriven;
        bool render; // which endpoint goes
    } rows[] = {{false, true}, {false, false}, {true, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.timerDriven ? "timer-driven" : row.render ? "render" : "capture");
        Options o;
        o.clock = sim::Clock::Manual;
        o.timerDriven = row.timerDriven;
        {
            Rig r(o);
            r.host.answer(kAsioSelectorSupported, kAsioResetRequest, 1);
            ASSERT_EQ(r.create(), ASE_OK);
            ASSERT_EQ(r.asio->start(), ASE_OK);
            ASSERT_TRUE(sim::run(4, 2000));
            ASSERT_TRUE(r.host.waitForSwitches(3, 2000));
            sim::unplug(row.render ? sim::defaultRender().id : sim::defaultCapture().id);
            auto resets = [&] {
                size_t n = 0;
                for (const auto& m : r.host.messages()) n += m.selector == kAsioResetRequest;
                return n;
            };
            for (int i = 0; i < 200 && !resets(); ++i) Sleep(10);
            size_t switches = r.host.switchCount();
            sim::run(3, 500);
            Sleep(100);
            EXPECT_EQ(resets(), 1u);
            EXPECT_EQ(r.host.switchCount(), switches);
            EXPECT_EQ(r.asio->stop(), ASE_OK);
            EXPECT_EQ(r.asio->disposeBuffers(), ASE_OK);
        }
        rig::expectNothingLeaked();
    }
}

// Timer-driven, render only: both halves and the first endpoint buffer are pre-filled, then
// one switch per endpoint period, each as its transfer crosses a half.
TEST(TimerDriven, RenderPrefillsThenSwitchesPerPeriod) {
    Options o;
    o.clock = sim::Clock::Manual;
    o.timerDriven = true;
    o.inputs = 0;
    {
        Rig r(o);
        ASSERT_EQ(r.create(), ASE_OK);
        ASSERT_EQ(r.asio->start(), ASE_OK);
        ASSERT_TRUE(r.host.waitForSwitches(3, 2000));
        ASSERT_TRUE(sim::run(5, 2000));
        ASSERT_TRUE(r.host.waitForSwitches(8, 2000));
        Sleep(20); // a wake without a period moves nothing
        r.asio->stop();
        auto switches = r.host.switches();
        ASSERT_EQ(switches.size(), 8u);
        for (size_t s = 0; s < switches.size(); ++s) {
            EXPECT_EQ(switches[s].half, long(s & 1));
            EXPECT_EQ(switches[s].directProcess, s < 3 ? ASIOTrue : ASIOFalse);
            EXPECT_EQ(switches[s].samplePosition, s * 480);
        }
        auto played = Rig::recordedSamples(true);
        ASSERT_EQ(played.size(), 5u * 960);
        for (size_t k = 0; k < played.size(); ++k)
            ASSERT_EQ(played[k], int32_t(uint32_t(rig::hostSample(unsigned(k % 2), k / 2, true)) &
                                         0xFFFFFF00u));
    }
    rig::expectNothingLeaked();
}

// --- Buffer set -------------------------------------------------------------------------------

int allocationsLeft = 0;
void* countedAllocator(size_t n) {
    return allocationsLeft-- > 0 ? malloc(n) : nullptr;
}

// Zeroed blocks with half 1 right after half 0; inputs made before outputs whatever the
// entry order; a failed allocation keeps what was made; a channel named twice shares its
// block; requests without entries or callbacks, or of a size the endpoints cannot stream,
// change nothing.
TEST(BufferSet, BlocksFailuresAndRepeatedChannels) {
    Options o;
    Rig r(o);
    ASIOSrv& s = *r.srv;
    for (ASIOSampleType type : {ASIOSTInt16LSB, ASIOSTInt32LSB}) {
        s.sampleType[kRender] = s.sampleType[kCapture] = type;
        size_t width = type == ASIOSTInt16LSB ? 2 : 4;
        ASIOBufferInfo infos[] = {
            {ASIOFalse, 0, {}}, {ASIOTrue, 0, {}}, {ASIOTrue, 16, {}}, {ASIOFalse, 0, {}}};
        ASSERT_EQ(r.asio->createBuffers(infos, 4, 256, &r.callbacks), ASE_OK);
        EXPECT_EQ(s.bufferFrames, 256);
        for (int i = 0; i < 2; ++i) {
            auto* b0 = static_cast<uint8_t*>(infos[i].buffers[0]);
            ASSERT_NE(b0, nullptr);
            EXPECT_EQ(static_cast<uint8_t*>(infos[i].buffers[1]) - b0, ptrdiff_t(256 * width));
            EXPECT_TRUE(std::all_of(b0, b0 + 512 * width, [](uint8_t v) { return v == 0; }));
        }
        EXPECT_EQ(infos[2].buffers[0], nullptr); // there is no channel 16
        EXPECT_EQ(infos[3].buffers[0], infos[0].buffers[0]);
        EXPECT_EQ(infos[3].buffers[1], infos[0].buffers[1]);
        EXPECT_EQ(r.asio->disposeBuffers(), ASE_OK);
        EXPECT_EQ(r.asio->disposeBuffers(), ASE_OK);
    }

    // The second allocation fails: the input made first stays, nothing after it is made.
    ASIOBufferInfo mixed[] = {
        {ASIOFalse, 0, {}}, {ASIOTrue, 1, {}}, {ASIOTrue, 0, {}}, {ASIOFalse, 1, {}}};
    allocationsLeft = 1;
    blockAllocator = countedAllocator;
    EXPECT_EQ(r.asio->createBuffers(mixed, 4, 192, &r.callbacks), ASE_NoMemory);
    blockAllocator = malloc;
    EXPECT_NE(mixed[1].buffers[0], nullptr);
    EXPECT_EQ(mixed[0].buffers[0], nullptr);
    EXPECT_EQ(mixed[2].buffers[0], nullptr);
    EXPECT_EQ(mixed[3].buffers[0], nullptr);
    EXPECT_EQ(s.bufferFrames, 192);
    EXPECT_EQ(s.callbacks.asioMessage, r.callbacks.asioMessage);

    void* kept = s.asioBuffers[kCapture][1];
    ASIOBufferInfo one[] = {{ASIOFalse, 0, {}}};
    long minSize = 0, maxSize = 0;
    ASSERT_EQ(r.asio->getBufferSize(&minSize, &maxSize, nullptr, nullptr), ASE_OK);
    for (long size : {-5L, 0L, minSize - 1, maxSize + 1, 0x7FFFFFFFL})
        EXPECT_EQ(r.asio->createBuffers(one, 1, size, &r.callbacks), ASE_InvalidMode) << size;
    EXPECT_EQ(r.asio->createBuffers(nullptr, 1, 32, &r.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(r.asio->createBuffers(one, 1, 32, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(s.asioBuffers[kCapture][1], kept);
    EXPECT_EQ(s.bufferFrames, 192);
    r.asio->disposeBuffers();
}

} // namespace
