// start and stop on the simulated endpoints: the status carried from step to step, what each
// failure leaves, and the lines they log.
#include "rig.h"

#include <audioclient.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using rig::Options;
using rig::Rig;

Options stepped(int outputs, int inputs) {
    Options o;
    o.clock = sim::Clock::Manual;
    o.outputs = outputs;
    o.inputs = inputs;
    return o;
}

TEST(Start, StatusIsTheLatestStepsAndFailedDirectionsDoNotStream) {
    {
        // No buffers: nothing opens, nothing fails.
        Rig r(stepped(0, 0));
        ASSERT_EQ(r.create(), ASE_OK);
        EXPECT_EQ(r.asio->start(), ASE_OK);
        EXPECT_EQ(r.srv->threadHandle, nullptr);
        EXPECT_FALSE(r.srv->running);
    }
    {
        // Three outputs have no speaker layout; the capture direction that follows opens.
        Rig r(stepped(3, 2));
        ASSERT_EQ(r.create(), ASE_OK);
        EXPECT_EQ(r.asio->start(), ASE_OK);
        EXPECT_EQ(r.srv->audioClient[kRender], nullptr);
        EXPECT_NE(r.srv->audioClient[kCapture], nullptr);
        EXPECT_TRUE(r.srv->running);
        EXPECT_EQ(r.asio->stop(), ASE_OK);
    }
    {
        Rig r(stepped(3, 0));
        ASSERT_EQ(r.create(), ASE_OK);
        EXPECT_EQ(r.asio->start(), ASE_NotPresent);
        EXPECT_EQ(r.srv->threadHandle, nullptr);
    }
    {
        // A capture failure after render opened is overwritten by render's Start.
        Rig r(stepped(2, 2));
        ASSERT_EQ(r.create(), ASE_OK);
        sim::fail("IMMDeviceEnumerator::GetDevice", E_FAIL, sim::FaultMode::Once, 2);
        EXPECT_EQ(r.asio->start(), ASE_OK);
        EXPECT_NE(r.srv->audioClient[kRender], nullptr);
        EXPECT_EQ(r.srv->audioClient[kCapture], nullptr);
        r.asio->stop();
        // A client that will not start fails start, though the thread runs until stop.
        sim::fail("IAudioClient::Start", AUDCLNT_E_DEVICE_INVALIDATED, sim::FaultMode::Once, 1,
                  sim::Flow::Render);
        EXPECT_EQ(r.asio->start(), ASE_NotPresent);
        EXPECT_TRUE(r.srv->running);
        EXPECT_NE(r.srv->threadHandle, nullptr);
        r.asio->stop();
        // A duration the endpoint will not align: that direction does not stream.
        sim::fail("IAudioClient::Initialize", AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED,
                  sim::FaultMode::Once, 1, sim::Flow::Capture);
        EXPECT_EQ(r.asio->start(), ASE_OK);
        EXPECT_EQ(r.srv->audioClient[kCapture], nullptr);
        EXPECT_NE(r.srv->bufferEvent[kRender], nullptr);
        r.asio->stop();
        EXPECT_EQ(r.srv->bufferEvent[kRender], nullptr);
        EXPECT_EQ(r.srv->device[kCapture], nullptr);
    }
    rig::expectNothingLeaked();
}

// Render's Initialize on a thread without COM initialises it and tries once more; capture's
// does not.
TEST(Start, ComIsInitialisedForRenderOnly) {
    {
        Rig r(stepped(2, 2));
        ASSERT_EQ(r.create(), ASE_OK);
        sim::clearCalls();
        sim::fail("IAudioClient::Initialize", CO_E_NOTINITIALIZED, sim::FaultMode::Once, 1,
                  sim::Flow::Render);
        sim::fail("IAudioClient::Initialize", CO_E_NOTINITIALIZED, sim::FaultMode::Once, 1,
                  sim::Flow::Capture);
        EXPECT_EQ(r.asio->start(), ASE_OK);
        EXPECT_TRUE(r.srv->comInitialized);
        EXPECT_EQ(sim::callCount("IAudioClient::Initialize", sim::Flow::Render), 2u);
        EXPECT_EQ(sim::callCount("IAudioClient::Initialize", sim::Flow::Capture), 1u);
        EXPECT_NE(r.srv->audioClient[kRender], nullptr);
        EXPECT_EQ(r.srv->audioClient[kCapture], nullptr);
        r.asio->stop();
        EXPECT_FALSE(r.srv->comInitialized);
    }
    rig::expectNothingLeaked();
}

// A start without a stop in between takes the first stream down first: one thread, one set
// of clients.
TEST(Start, SecondStartRestartsTheStream) {
    Options o;
    o.frames = 192;
    {
        Rig r(o);
        ASSERT_EQ(r.create(), ASE_OK);
        ASSERT_EQ(r.asio->start(), ASE_OK);
        ASSERT_TRUE(r.host.waitForSwitches(4, 2000));
        ASSERT_EQ(r.asio->start(), ASE_OK);
        size_t before = r.host.switchCount();
        ASSERT_TRUE(r.host.waitForSwitches(before + 4, 2000));
        // Each switch of the second stream runs on its one thread.
        auto switches = r.host.switches();
        for (size_t s = before; s < switches.size(); ++s)
            EXPECT_EQ(switches[s].threadId, switches[before].threadId);
        r.asio->stop();
    }
    rig::expectNothingLeaked();
}

// --- Log lines ---------------------------------------------------------------------------------

// The lines an object appends to the log during its life, with their times cut off. The log
// file is shared with every test program of the build; while an object holds it, no other
// writes to it.
class LogCapture {
  public:
    LogCapture() {
        HKEY key;
        RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr);
        DWORD one = 1;
        RegSetValueExW(key, L"OutputLogToFile", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one),
                       sizeof one);
        RegCloseKey(key);
        start_ = size();
    }
    ~LogCapture() { RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"OutputLogToFile"); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::ifstream in("I:\\VLASIOLog.txt", std::ios::binary);
        in.seekg(std::streamoff(start_));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t space = line.find(' ');
            out.push_back(space == std::string::npos ? line : line.substr(space + 1));
        }
        return out;
    }

  private:
    static size_t size() {
        WIN32_FILE_ATTRIBUTE_DATA a;
        if (!GetFileAttributesExW(L"I:\\VLASIOLog.txt", GetFileExInfoStandard, &a)) return 0;
        return a.nFileSizeLow;
    }
    size_t start_ = 0;
};

// True when `want` appears in `lines` in this order (other lines may come between).
testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                 const std::vector<std::string>& want) {
    size_t at = 0;
    for (const std::string& line : lines)
        if (at < want.size() && line == want[at]) ++at;
    if (at == want.size()) return testing::AssertionSuccess();
    std::string all;
    for (const std::string& line : lines)
        all += "\n  " + line;
    return testing::AssertionFailure() << "missing \"" << want[at] << "\" in:" << all;
}

size_t count(const std::vector<std::string>& lines, const std::string& line) {
    return size_t(std::count(lines.begin(), lines.end(), line));
}

TEST(Log, EventDrivenStartStopLinesPerDirectionAndThread) {
    LogCapture log;
    {
        Rig r(stepped(2, 2));
        ASSERT_NE(r.srv->logFile, nullptr) << "the log is held by another program";
        ASSERT_EQ(r.create(), ASE_OK);
        ASSERT_EQ(r.asio->start(), ASE_OK);
        ASSERT_TRUE(r.host.waitForSwitches(2, 2000));
        ASSERT_TRUE(sim::run(3, 2000));
        ASSERT_TRUE(r.host.waitForSwitches(5, 2000));
        r.asio->stop();
        r.asio->disposeBuffers();
    }
    auto lines = log.lines();
    EXPECT_TRUE(inOrder(
        lines, {"ASIOSrv::start...", "ASIOSrv:::\tRender [48000 2 32 (24)] (0x0) TimerDrivenMode=0",
                "ASIOSrv:::\tCapture [48000 2 32 (24)] (0x0)", "ASIOSrv:::\tStart() called.",
                "ASIOSrv::stop...", "ASIOSrv::disposeBuffers...", "ASIOSrv::Destructor..."}));
    EXPECT_TRUE(
        inOrder(lines, {"ASIOSrv::: CaptureBufferSize=480", "ASIOSrv::: RenderBufferSize=480",
                        "ASIODrv:::...Event Driven Thread started...(2 events)",
                        "ASIOSrv::: (using bufferSwitchTimeInfo()!!!)", "ASIOSrv::: Event...",
                        "ASIODrv:::...Thread stopped..."}));
    // Three passes at switch counts 2 to 4, and the wake that stop causes at 5 unless the
    // thread saw the flag cleared before it waited again.
    size_t events = count(lines, "ASIOSrv::: Event...");
    EXPECT_TRUE(events == 3 || events == 4) << events;
}

TEST(Log, TimerDrivenThreadLinesAndFailedStartLines) {
    LogCapture log;
    {
        Options o = stepped(2, 2);
        o.timerDriven = true;
        Rig r(o);
        ASSERT_NE(r.srv->logFile, nullptr) << "the log is held by another program";
        ASSERT_EQ(r.create(), ASE_OK);
        ASSERT_EQ(r.asio->start(), ASE_OK);
        ASSERT_TRUE(r.host.waitForSwitches(3, 2000));
        r.asio->stop();
        sim::fail("IAudioClient::Initialize", AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED,
                  sim::FaultMode::Once, 1, sim::Flow::Render);
        sim::fail("IAudioClient::Start", E_FAIL, sim::FaultMode::Once, 1, sim::Flow::Capture);
        r.srv->TimerDrivenMode = false;
        EXPECT_EQ(r.asio->start(), ASE_NotPresent);
        r.asio->stop();
    }
    auto lines = log.lines();
    // Both halves, then the one endpoint buffer that fits before the endpoint starts.
    EXPECT_TRUE(inOrder(
        lines,
        {"ASIOSrv:::\tRender [48000 2 32 (24)] (0x0) TimerDrivenMode=1",
         "ASIODrv:::...Timer Driven Thread started...(3 events) Pos=[480 480] BufferSize=[480 480]",
         "ASIOSrv::: (using bufferSwitchTimeInfo()!!!)", "ASIODrv:::...Thread stopped...",
         "ASIOSrv::: buffer size for render not aligned!",
         "ASIOSrv:::\tStart() returned 0x80004005"}));
    EXPECT_EQ(count(lines, "ASIOSrv:::   InternalCaptureBuffer=0x0 size=960"), 0u);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("ASIOSrv:::   InternalCaptureBuffer=0x", 0) == 0 && l.size() > 4 &&
               l.compare(l.size() - 9, 9, " size=960") == 0;
    }));
}

} // namespace
