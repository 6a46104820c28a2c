// start and stop on the simulated endpoints: the status carried from step to step, and the
// lines both threads log.
#include "rig.h"

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

// A direction the host has buffers for and that does not open fails start, and the other is
// taken down with it. Render's Initialize on a thread without COM initialises it and tries
// once more; capture's does not.
TEST(Start, AFailedDirectionFailsStartAndComIsInitialisedForRenderOnly) {
    {
        // Three outputs on a stereo endpoint open four channels, which it refuses; the capture
        // direction that opened after it is taken down again.
        Rig r(stepped(3, 2));
        ASSERT_EQ(r.create(), ASE_OK);
        EXPECT_EQ(r.asio->start(), ASE_NotPresent);
        EXPECT_EQ(r.srv->audioClient[kRender], nullptr);
        EXPECT_EQ(r.srv->audioClient[kCapture], nullptr);
        EXPECT_EQ(r.srv->threadHandle, nullptr);
        r.asio->stop();
    }
    {
        Rig r(stepped(3, 0));
        ASSERT_EQ(r.create(), ASE_OK);
        EXPECT_EQ(r.asio->start(), ASE_NotPresent);
        EXPECT_EQ(r.srv->threadHandle, nullptr);
    }
    {
        Rig r(stepped(2, 2));
        ASSERT_EQ(r.create(), ASE_OK);
        sim::clearCalls();
        for (sim::Flow flow : {sim::Flow::Render, sim::Flow::Capture})
            sim::fail("IAudioClient::Initialize", CO_E_NOTINITIALIZED, sim::FaultMode::Once, 1,
                      flow);
        EXPECT_EQ(r.asio->start(), ASE_NotPresent);
        EXPECT_TRUE(r.srv->comInitialized);
        EXPECT_EQ(sim::callCount("IAudioClient::Initialize", sim::Flow::Render), 2u);
        EXPECT_EQ(sim::callCount("IAudioClient::Initialize", sim::Flow::Capture), 1u);
        EXPECT_EQ(r.srv->audioClient[kRender], nullptr);
        EXPECT_EQ(r.srv->audioClient[kCapture], nullptr);
        r.asio->stop();
        EXPECT_FALSE(r.srv->comInitialized);
        EXPECT_EQ(r.srv->device[kCapture], nullptr);
        EXPECT_EQ(r.asio->start(), ASE_OK);
        r.asio->stop();
        // A client that will not start fails start; the thread runs until stop all the same.
        sim::fail("IAudioClient::Start", E_FAIL, sim::FaultMode::Once, 1, sim::Flow::Render);
        EXPECT_EQ(r.asio->start(), ASE_NotPresent);
        EXPECT_TRUE(r.srv->running);
        r.asio->stop();
        EXPECT_EQ(r.srv->threadHandle, nullptr);
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

TEST(Log, TimerDrivenThreadLines) {
    LogCapture log;
    {
        Options o = stepped(2, 2);
        o.timerDriven = true;
        Rig r(o);
        ASSERT_EQ(r.create(), ASE_OK);
        ASSERT_EQ(r.asio->start(), ASE_OK);
        ASSERT_TRUE(r.host.waitForSwitches(3, 2000));
        r.asio->stop();
    }
    EXPECT_TRUE(inOrder(
        log.lines(),
        {"ASIOSrv:::\tRender [48000 2 32 (24)] (0x0) TimerDrivenMode=1",
         "ASIODrv:::...Timer Driven Thread started...(3 events) Pos=[480 480] BufferSize=[480 480]",
         "ASIOSrv::: (using bufferSwitchTimeInfo()!!!)", "ASIODrv:::...Thread stopped..."}));
}

} // namespace
