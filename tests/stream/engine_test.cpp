// The streaming engine on the simulator's stepped clock: the host's switches, what reaches
// the endpoint and the host, the buffer set, start's failures and the log.
#include "rig.h"

#include "stream/engine.h"

#include <audioclient.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using rig::Options;
using rig::Rig;

Options stepped(int outputs, int inputs, bool timerDriven = false) {
    Options o;
    o.clock = sim::Clock::Manual;
    o.outputs = outputs;
    o.inputs = inputs;
    o.timerDriven = timerDriven;
    return o;
}

// Halves, directProcess, time information and positions of the pre-fill and the loop; the
// time-info questions, asked on the streaming thread; inputs handed over in the pass that
// captured them; outputs played in the order the host wrote them, bit-exact after the mask.
// Event-driven render plays a period of silence first, then the half the host filled ahead;
// timer-driven render has the host fill the endpoint's first buffer in the pre-fill too. A
// host that calls outputReady gets no pre-fill: its first switch carries the first input, and
// its outputs follow the silence.
TEST(Switches, CarryHalvesPositionsAndAudioInOrder) {
    const struct {
        const char* name;
        int outputs, inputs;
        bool timerDriven;
        size_t prefill, silentFrames;
        bool outputReady;
    } shapes[] = {{"render only", 2, 0, false, 1, 480, false},
                  {"capture only", 0, 2, false, 0, 0, false},
                  {"duplex", 2, 2, false, 1, 480, false},
                  {"duplex, outputReady", 2, 2, false, 0, 480, true},
                  {"timer-driven render", 2, 0, true, 2, 0, false}};
    const size_t B = 480, ticks = 6;
    auto joined = [](unsigned long hi, unsigned long lo) { return uint64_t(hi) << 32 | lo; };
    for (const auto& shape : shapes)
        for (bool timeInfo : {true, false})
            for (bool wide : {true, false}) {
                SCOPED_TRACE(testing::Message() << shape.name << (timeInfo ? ", time info" : "")
                                                << (wide ? ", 24-in-32" : ", 16-bit"));
                Options o = stepped(shape.outputs, shape.inputs, shape.timerDriven);
                o.timeInfo = timeInfo;
                o.wide = wide;
                o.outputReady = shape.outputReady;
                Rig r(o);
                ASSERT_TRUE(r.start());
                ASSERT_TRUE(r.waitForSwitches(shape.prefill));
                ASSERT_TRUE(sim::run(unsigned(ticks), 2000));
                ASSERT_TRUE(r.waitForSwitches(shape.prefill + ticks));
                Sleep(20); // a wake without a period moves nothing
                EXPECT_EQ(r.asio->stop(), ASE_OK);

                auto switches = r.switches();
                ASSERT_EQ(switches.size(), shape.prefill + ticks);
                for (size_t s = 0; s < switches.size(); ++s) {
                    SCOPED_TRACE(testing::Message() << "switch " << s);
                    const rig::Switch& w = switches[s];
                    EXPECT_EQ(w.half, long(s & 1));
                    EXPECT_EQ(w.direct, s < shape.prefill ? ASIOTrue : ASIOFalse);
                    EXPECT_EQ(w.timeInfo, timeInfo);
                    if (!timeInfo) continue;
                    const AsioTimeInfo& t = w.time;
                    EXPECT_EQ(joined(t.samplePosition.hi, t.samplePosition.lo), s * B);
                    EXPECT_EQ(joined(t.systemTime.hi, t.systemTime.lo) % 1000000, 0u); // in ms
                    EXPECT_EQ(t.flags, 15ul);
                    EXPECT_EQ(t.speed, 1.0);
                    EXPECT_EQ(t.sampleRate, 48000.0);
                }
                const auto& messages = r.messageLog; // the second only after a yes to the first
                ASSERT_EQ(r.messageCount, timeInfo ? 2u : 1u);
                EXPECT_EQ(messages[0].selector, kAsioSelectorSupported);
                EXPECT_EQ(messages[0].value, kAsioSupportsTimeInfo);
                EXPECT_EQ(messages[r.messageCount - 1].selector,
                          timeInfo ? kAsioSupportsTimeInfo : kAsioSelectorSupported);
                EXPECT_EQ(messages[0].thread, switches[0].thread);

                // Silence in the pre-fill, then capture period j in the switch of pass j.
                ASSERT_EQ(r.captured.size(), shape.inputs ? 2 * B * switches.size() : 0);
                for (size_t k = 0; k < r.captured.size(); ++k) {
                    const size_t f = k / 2, first = shape.prefill * B;
                    int32_t want =
                        f < first ? 0
                                  : sim::counterSample(unsigned(k % 2), f - first, wide ? 32 : 16);
                    ASSERT_EQ(r.captured[k], wide ? want : int16_t(want)) << "sample " << k;
                }
                auto played = Rig::played(wide);
                ASSERT_EQ(played.size(), shape.outputs ? 2 * B * ticks : 0);
                for (size_t k = 0; k < played.size(); ++k) {
                    const size_t f = k / 2, first = shape.silentFrames;
                    int32_t want =
                        f < first ? 0 : rig::hostSample(unsigned(k % 2), f - first, wide);
                    ASSERT_EQ(played[k], wide ? want & ~0xFF : want) << "sample " << k;
                }
                EXPECT_EQ(sim::stats(sim::Flow::Render).startGlitches, 0u);
            }
}

// outputReady is a question whether the driver uses it, answered from init on. Asked before the
// buffers exist, it announces a host that calls it: the output latency is a buffer less from
// the first answer. disposeBuffers forgets it; a host that starts calling it while streaming
// is served so from the next pass and told once.
TEST(OutputReady, AnnouncedBeforeBuffersAndToldWhenItChanges) {
    Rig r(stepped(2, 2));
    EXPECT_EQ(r.asio->outputReady(), ASE_OK);
    ASSERT_EQ(r.create(), ASE_OK);
    long in = 0, out = 0, inLater = 0, outLater = 0;
    r.asio->getLatencies(&in, &out);
    ASSERT_EQ(r.asio->disposeBuffers(), ASE_OK);
    ASSERT_EQ(r.create(), ASE_OK);
    r.asio->getLatencies(&inLater, &outLater);
    EXPECT_EQ(std::make_pair(inLater, outLater), std::make_pair(in, out + 480));

    ASSERT_EQ(r.asio->start(), ASE_OK);
    ASSERT_TRUE(r.waitForSwitches(1));
    ASSERT_TRUE(sim::run(3, 2000));
    ASSERT_TRUE(r.waitForSwitches(4));
    r.opt.outputReady = true;
    ASSERT_TRUE(sim::run(4, 2000));
    ASSERT_TRUE(r.waitForSwitches(8));
    EXPECT_EQ(r.asio->stop(), ASE_OK);
    auto told = std::count_if(r.messageLog.begin(), r.messageLog.begin() + r.messageCount,
                              [](const rig::Message& m) { return m.selector == kAsioLatenciesChanged; });
    EXPECT_EQ(told, 1);
}

// No capture packet: nothing read or released, the switch still comes, and the input half
// keeps what it held.
TEST(Capture, EmptyPacketStillSwitches) {
    Rig r(stepped(0, 2));
    ASSERT_TRUE(r.start());
    ASSERT_TRUE(sim::run(3, 2000));
    sim::clearCalls();
    sim::fail("IAudioCaptureClient::GetBuffer", AUDCLNT_S_BUFFER_EMPTY, sim::FaultMode::Once);
    sim::step(1);
    ASSERT_TRUE(r.waitForSwitches(4));
    r.asio->stop();
    EXPECT_EQ(sim::callCount("IAudioCaptureClient::GetBuffer"), 1u);
    EXPECT_EQ(sim::callCount("IAudioCaptureClient::ReleaseBuffer"), 0u);
    // Switch 3 used half 1, last filled in switch 1.
    const size_t half = 2 * 480;
    auto& in = r.captured;
    ASSERT_EQ(in.size(), 4 * half);
    EXPECT_TRUE(std::equal(in.begin() + 3 * half, in.end(), in.begin() + half));
}

// An endpoint unplugged mid-stream: one reset request and no switch after it; stop,
// disposeBuffers and Release leave nothing, whichever direction went. Event-driven mode finds
// it gone by its silence.
TEST(Unplugged, OneResetRequestThenNoSwitch) {
    for (int row = 0; row < 4; ++row) {
        const bool timerDriven = row >= 2, render = row % 2 == 0;
        SCOPED_TRACE(std::string(timerDriven ? "timer-driven " : "") + (render ? "render" : "capture"));
        Rig r(stepped(2, 2, timerDriven));
        ASSERT_TRUE(r.start());
        ASSERT_TRUE(sim::run(4, 2000));
        ASSERT_TRUE(r.waitForSwitches(3));
        sim::unplug(render ? sim::defaultRender().id : sim::defaultCapture().id);
        for (int i = 0; i < 200 && !r.resets; ++i)
            Sleep(10);
        const size_t switches = r.switchCount;
        sim::run(3, 500);
        Sleep(100);
        EXPECT_EQ(r.resets, 1u);
        EXPECT_EQ(r.switchCount, switches);
        EXPECT_EQ(r.asio->stop(), ASE_OK);
        EXPECT_EQ(r.asio->disposeBuffers(), ASE_OK);
    }
}

int allocationsLeft = 0;

// Zeroed blocks, half 1 right after half 0; inputs made first; a failed allocation keeps what
// was made; a channel named twice shares its block; invalid requests change nothing.
TEST(BufferSet, BlocksFailuresAndRepeatedChannels) {
    Rig r(Options{});
    ASIOSrv& s = *r.srv;
    for (ASIOSampleType type : {ASIOSTInt16LSB, ASIOSTInt32LSB}) {
        s.sampleType[kRender] = s.sampleType[kCapture] = type;
        const size_t width = type == ASIOSTInt16LSB ? 2 : 4;
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

    // The second allocation fails.
    ASIOBufferInfo mixed[] = {
        {ASIOFalse, 0, {}}, {ASIOTrue, 1, {}}, {ASIOTrue, 0, {}}, {ASIOFalse, 1, {}}};
    allocationsLeft = 1;
    blockAllocator = [](size_t n) { return allocationsLeft-- > 0 ? malloc(n) : nullptr; };
    EXPECT_EQ(r.asio->createBuffers(mixed, 4, 192, &r.callbacks), ASE_NoMemory);
    blockAllocator = malloc;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(mixed[i].buffers[0] != nullptr, i == 1) << i;
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
    // A channel is active while it has a buffer.
    for (ASIOBool input : {ASIOFalse, ASIOTrue})
        for (long channel : {0L, 1L}) {
            ASIOChannelInfo info = {channel, input, ASIOFalse, 0, 0, {}};
            ASSERT_EQ(r.asio->getChannelInfo(&info), ASE_OK);
            const void* block = s.asioBuffers[input ? kCapture : kRender][channel];
            EXPECT_EQ(info.isActive != ASIOFalse, block != nullptr) << input << channel;
        }
    r.asio->disposeBuffers();
}

// Buffers start cannot open are refused at once; a direction that does not open fails start
// and takes the other down. Render's Initialize on a thread without COM initialises it and
// tries again; capture's does not.
TEST(Start, AFailedDirectionFailsStartAndComIsInitialisedForRenderOnly) {
    for (int inputs : {2, 0}) {
        SCOPED_TRACE(inputs);
        Rig r(stepped(3, inputs)); // four channels on a stereo endpoint: refused
        ASSERT_EQ(r.create(), ASE_InvalidMode);
        EXPECT_EQ(r.srv->asioBuffers[kRender][0], nullptr);
        EXPECT_EQ(sim::liveObjects(), 1) << sim::report(); // the enumerator init keeps
    }
    Rig r(stepped(2, 2));
    ASSERT_EQ(r.create(), ASE_OK);
    sim::clearCalls();
    for (sim::Flow flow : {sim::Flow::Render, sim::Flow::Capture})
        sim::fail("IAudioClient::Initialize", CO_E_NOTINITIALIZED, sim::FaultMode::Once, 1, flow);
    EXPECT_EQ(r.asio->start(), ASE_NotPresent);
    EXPECT_TRUE(r.srv->comInitialized);
    EXPECT_EQ(sim::callCount("IAudioClient::Initialize", sim::Flow::Render), 2u);
    EXPECT_EQ(sim::callCount("IAudioClient::Initialize", sim::Flow::Capture), 1u);
    EXPECT_EQ(sim::liveObjects(), 1) << sim::report();
    r.asio->stop();
    EXPECT_FALSE(r.srv->comInitialized);
    EXPECT_EQ(r.asio->start(), ASE_OK);
    r.asio->stop();
    sim::fail("IAudioClient::Start", E_FAIL, sim::FaultMode::Once, 1, sim::Flow::Render);
    EXPECT_EQ(r.asio->start(), ASE_NotPresent);
    EXPECT_TRUE(r.srv->running); // the thread runs until stop all the same
    r.asio->stop();
    EXPECT_EQ(r.srv->threadHandle, nullptr);
}

// Another program opens the speakers between init and start: in Automatic mode the outputs go
// shared and the inputs stay exclusive; the stream runs. Forced exclusive, start fails.
TEST(Start, SpeakersTakenSinceInitGoShared) {
    for (bool automatic : {true, false}) {
        SCOPED_TRACE(automatic);
        const wchar_t* mode = automatic ? L"Automatic" : L"Exclusive";
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"StreamMode", REG_SZ, mode,
                        DWORD((wcslen(mode) + 1) * sizeof(wchar_t)));
        Rig r(stepped(2, 2));
        ASSERT_EQ(r.create(), ASE_OK);
        EXPECT_FALSE(r.srv->shared[kRender]);
        sim::EndpointConfig out = r.endpoint(sim::defaultRender());
        out.otherStreams = sim::OtherStreams::Shared;
        sim::configure(out, r.endpoint(sim::defaultCapture()));
        ASSERT_EQ(r.asio->start(), automatic ? ASE_OK : ASE_NotPresent);
        EXPECT_STREQ(r.srv->errorText, automatic ? ""
                                                 : "Speakers: another program is using it: close "
                                                   "that program, or use Automatic mode "
                                                   "(AUDCLNT_E_DEVICE_IN_USE)");
        EXPECT_EQ(r.srv->shared[kRender], automatic);
        EXPECT_FALSE(r.srv->shared[kCapture]);
        if (automatic) {
            EXPECT_TRUE(r.waitForSwitches(1));
            EXPECT_TRUE(sim::run(3, 2000));
            EXPECT_TRUE(r.waitForSwitches(4));
        }
        r.asio->stop();
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"StreamMode");
}

// The lines a duplex stream logs from start to Release over three periods, times cut off.
// While the log is on here, no other program of this prefix writes to it.
std::vector<std::string> streamLog(bool timerDriven) {
    const DWORD one = 1;
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"OutputLogToFile", REG_DWORD, &one,
                    sizeof one);
    const std::streamoff start = std::max<std::streamoff>(
        0, std::ifstream("I:\\VLASIOLog.txt", std::ios::binary | std::ios::ate).tellg());
    {
        Rig r(stepped(2, 2, timerDriven));
        EXPECT_NE(r.srv->logFile, nullptr) << "the log is held by another program";
        EXPECT_TRUE(r.start());
        EXPECT_TRUE(r.waitForSwitches(timerDriven ? 2 : 1));
        EXPECT_TRUE(sim::run(3, 2000));
        EXPECT_TRUE(r.waitForSwitches(timerDriven ? 5 : 4));
        r.asio->stop();
        r.asio->disposeBuffers();
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"OutputLogToFile");
    std::vector<std::string> lines;
    std::ifstream in("I:\\VLASIOLog.txt", std::ios::binary);
    in.seekg(start);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line.substr(line.find(' ') + 1));
    }
    return lines;
}

// `want` in `lines` in this order, other lines between.
testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                 const std::vector<std::string>& want) {
    size_t at = 0;
    for (const std::string& line : lines)
        at += at < want.size() && line == want[at];
    if (at == want.size()) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "no " << want[at] << " in " << testing::PrintToString(lines);
}

TEST(Log, StartStopAndThreadLinesInBothModes) {
    auto lines = streamLog(false);
    EXPECT_TRUE(inOrder(
        lines, {"ASIOSrv::start...", "ASIOSrv:::\tRender [48000 2 32 (24)] (0x0) TimerDrivenMode=0",
                "ASIOSrv:::\tCapture [48000 2 32 (24)] (0x0)", "ASIOSrv:::\tStart() called.",
                "ASIOSrv::stop...", "ASIOSrv::disposeBuffers...", "ASIOSrv::Destructor..."}));
    EXPECT_TRUE(
        inOrder(lines, {"ASIOSrv::: CaptureBufferSize=480", "ASIOSrv::: RenderBufferSize=480",
                        "ASIODrv:::...Event Driven Thread started...(2 events)",
                        "ASIOSrv::: (using bufferSwitchTimeInfo()!!!)", "ASIOSrv::: Event...",
                        "ASIODrv:::...Thread stopped..."}));
    // The thread's count of lost periods, just before it ends.
    auto dropouts = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("ASIOSrv::: Dropouts: ", 0) == 0;
    });
    ASSERT_NE(dropouts, lines.end());
    EXPECT_EQ(dropouts[1], "ASIODrv:::...Thread stopped...");
    // Three passes, and maybe the wake that stop causes.
    auto events = std::count(lines.begin(), lines.end(), "ASIOSrv::: Event...");
    EXPECT_TRUE(events == 3 || events == 4) << events;
    lines = streamLog(true);
    EXPECT_TRUE(inOrder(
        lines,
        {"ASIOSrv:::\tRender [48000 2 32 (24)] (0x0) TimerDrivenMode=1",
         "ASIODrv:::...Timer Driven Thread started...(3 events) Pos=[480 480] BufferSize=[480 480]",
         "ASIOSrv::: (using bufferSwitchTimeInfo()!!!)", "ASIODrv:::...Thread stopped..."}));
}

} // namespace

namespace {

// Plays on an endpoint as another program would: a shared stream of its mix format.
struct OtherProgram {
    explicit OtherProgram(const std::wstring& id) {
        ComRef<IMMDeviceEnumerator> enumerator;
        ComRef<IMMDevice> device;
        WAVEFORMATEX* mix = nullptr;
        if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                    __uuidof(IMMDeviceEnumerator), enumerator.putVoid())) ||
            FAILED(enumerator->GetDevice(id.c_str(), device.put())) ||
            FAILED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                    client.putVoid())) ||
            FAILED(client->GetMixFormat(&mix)))
            return;
        client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 1000000, 0, mix, nullptr);
        CoTaskMemFree(mix);
    }
    ComRef<IAudioClient> client;
};

} // namespace

// What a second playback device plays, as an input beside the microphone: while a program
// plays there its loopback has packets; when it stops, none come, and the input stays silent
// in its place on that device's clock, with no dropout told, until it plays again.
TEST(Loopback, ADeviceThatFallsSilentKeepsItsPlaceWithoutADropout) {
    Options o;
    o.inputs = 4;
    Rig r(o);
    sim::EndpointConfig speakers = sim::defaultRender(), headset = sim::defaultRender();
    headset.id = L"{0.0.0.00000000}.{c41e7a90-2d35-4b68-9f1c-6e0a8d2b5f31}";
    headset.containerId = {0x8f3c1e27, 0x6b4d, 0x4a95, {0x9e, 0x02, 0xd7, 0xa1, 0xc5, 0xb3, 0xf6, 0x48}};
    headset.isDefault = false;
    speakers.isDefault = true;
    for (sim::EndpointConfig* c : {&speakers, &headset}) {
        c->deviceFormat = sim::extensibleFormat(48000, 2, 32, 24, KSAUDIO_SPEAKER_STEREO);
        c->recordLimitBytes = 256u << 20;
    }
    sim::EndpointConfig mic = sim::defaultCapture();
    mic.deviceFormat = speakers.deviceFormat;
    sim::configure({speakers, headset}, {mic});
    const std::wstring list = L"loopback:" + headset.id + L'\0' + L'\0';
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"CaptureEndpoints", REG_MULTI_SZ,
                    list.data(), DWORD(list.size() * sizeof(wchar_t)));
    r.asio->init(nullptr);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"CaptureEndpoints");
    ASSERT_EQ(r.srv->extraCount[kCapture], 1u);

    OtherProgram other(headset.id);
    ASSERT_TRUE(other.client);
    ASSERT_EQ(other.client->Start(), S_OK);
    const std::string logPath = "loopback-" + std::to_string(GetCurrentProcessId()) + ".log";
    r.srv->logFile = fopen(logPath.c_str(), "wt");
    ASSERT_TRUE(r.start());
    for (int phase = 0; phase < 3; ++phase) {
        ASSERT_TRUE(r.waitForSwitches(r.switchCount + 60, 3000)) << phase;
        if (phase == 0) other.client->Stop();
        if (phase == 1) other.client->Start();
    }
    other.client->Stop();
    EXPECT_EQ(r.asio->stop(), ASE_OK);
    EXPECT_EQ(r.asio->disposeBuffers(), ASE_OK);
    fflush(r.srv->logFile);
    std::ifstream log(logPath);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    // None but those a busy machine made: switches that came more than half a period late.
    const std::vector<rig::Switch> switches = r.switches();
    const double periodMs = 1000.0 * double(o.frames) / 48000;
    size_t late = 0;
    for (size_t i = 1; i < switches.size(); ++i)
        late += switches[i].atMs - switches[i - 1].atMs > 1.5 * periodMs;
    const size_t at = text.find("ASIOSrv::: Dropouts: ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_LE(std::stoul(text.substr(at + 21)), late) << text;
    log.close();
    other.client.reset();
    fclose(r.srv->logFile);
    r.srv->logFile = nullptr;
    DeleteFileA(logPath.c_str());
}
