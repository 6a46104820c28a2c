// A recording ASIO host for the Windows tests.
//
// TestHost hands out an ASIOCallbacks set whose functions are static trampolines into the
// one active TestHost (the latest constructed that is still alive), as a real host's would
// be: ASIO callbacks carry no context pointer. Every bufferSwitch, bufferSwitchTimeInfo and
// asioMessage call is recorded with its arguments, the ASIOTime it was given and a
// timestamp; a test decides what asioMessage answers and may run its own action inside
// each switch (fill the outputs, read the inputs, sleep, call the driver).
//
//   TestHost host;                       // active from here on
//   host.takeTimeInfo(true);             // answer yes to the time-info questions
//   host.onSwitch = [&](long half, ASIOBool direct) { ... };
//   ASIOCallbacks cb = host.callbacks();
//   driver->createBuffers(infos, n, frames, &cb);
//   ... driver->start(); host.waitForSwitches(10, 2000); ...
//   for (const auto& s : host.switches()) ...
//
// The records are guarded by a mutex that is held only to append or copy one record;
// reserve() ahead of long real-time runs keeps the switch path free of reallocation.
#pragma once

#include "driver/asio.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace testhost {

struct SwitchRecord {
    bool timeInfo = false; // came through bufferSwitchTimeInfo
    long half = -1;        // doubleBufferIndex
    ASIOBool directProcess = 0;
    ASIOTime time = {};          // the record passed (zero for a plain bufferSwitch)
    uint64_t samplePosition = 0; // time.timeInfo.samplePosition as one number
    uint64_t systemTimeNs = 0;   // time.timeInfo.systemTime as one number
    double atMs = 0;             // when the call arrived, on the performance counter
    DWORD threadId = 0;
};

struct MessageRecord {
    long selector = 0;
    long value = 0;
    void* message = nullptr;
    double* opt = nullptr;
    long answer = 0;
    DWORD threadId = 0;
};

class TestHost {
  public:
    TestHost();
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // The callbacks to give createBuffers. withTimeInfo false leaves bufferSwitchTimeInfo
    // null, as a host that only knows bufferSwitch would.
    ASIOCallbacks callbacks(bool withTimeInfo = true) const;

    // asioMessage answers: the answer for (selector, value), else the default (0).
    void answer(long selector, long value, long result);
    void defaultAnswer(long result);
    // Shorthand for the two time-info questions: kAsioSelectorSupported with
    // kAsioSupportsTimeInfo, and kAsioSupportsTimeInfo itself.
    void takeTimeInfo(bool yes);

    // Runs inside every switch, after the call was recorded, on the driver's thread.
    std::function<void(long half, ASIOBool directProcess)> onSwitch;

    void reserve(size_t switches);
    std::vector<SwitchRecord> switches() const;
    size_t switchCount() const;
    std::vector<MessageRecord> messages() const;
    void clear();
    // Waits until at least n switches have been recorded; false on time-out.
    bool waitForSwitches(size_t n, DWORD timeoutMs) const;

    // Milliseconds on the performance counter, the time base of SwitchRecord::atMs.
    static double nowMs();

  private:
    static void bufferSwitch(long half, ASIOBool directProcess);
    static void sampleRateDidChange(ASIOSampleRate rate);
    static long asioMessage(long selector, long value, void* message, double* opt);
    static ASIOTime* bufferSwitchTimeInfo(ASIOTime* params, long half, ASIOBool directProcess);
    void recordSwitch(SwitchRecord record);

    TestHost* previous_;
    mutable std::mutex mutex_;
    mutable std::condition_variable switched_;
    std::vector<SwitchRecord> switches_;
    std::vector<MessageRecord> messages_;
    std::map<std::pair<long, long>, long> answers_;
    long defaultAnswer_ = 0;
};

} // namespace testhost
