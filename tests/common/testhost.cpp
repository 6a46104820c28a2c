#include "testhost.h"

#include <atomic>
#include <chrono>

namespace testhost {

namespace {

std::atomic<TestHost*> active{nullptr};

uint64_t joined(unsigned long hi, unsigned long lo) {
    return uint64_t(hi) << 32 | lo;
}

} // namespace

TestHost::TestHost() : previous_(active.exchange(this)) {}

TestHost::~TestHost() {
    active.store(previous_);
}

ASIOCallbacks TestHost::callbacks(bool withTimeInfo) const {
    ASIOCallbacks cb = {};
    cb.bufferSwitch = &TestHost::bufferSwitch;
    cb.sampleRateDidChange = &TestHost::sampleRateDidChange;
    cb.asioMessage = &TestHost::asioMessage;
    cb.bufferSwitchTimeInfo = withTimeInfo ? &TestHost::bufferSwitchTimeInfo : nullptr;
    return cb;
}

void TestHost::answer(long selector, long value, long result) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[{selector, value}] = result;
}

void TestHost::defaultAnswer(long result) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultAnswer_ = result;
}

void TestHost::takeTimeInfo(bool yes) {
    answer(kAsioSelectorSupported, kAsioSupportsTimeInfo, yes);
    answer(kAsioSupportsTimeInfo, 0, yes);
}

void TestHost::reserve(size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    switches_.reserve(n);
}

std::vector<SwitchRecord> TestHost::switches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return switches_;
}

size_t TestHost::switchCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return switches_.size();
}

std::vector<MessageRecord> TestHost::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

void TestHost::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    switches_.clear();
    messages_.clear();
}

bool TestHost::waitForSwitches(size_t n, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return switched_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return switches_.size() >= n; });
}

double TestHost::nowMs() {
    static const double msPerTick = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return 1000.0 / double(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * msPerTick;
}

void TestHost::recordSwitch(SwitchRecord record) {
    record.atMs = nowMs();
    record.threadId = GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        switches_.push_back(record);
    }
    switched_.notify_all();
    if (onSwitch) onSwitch(record.half, record.directProcess);
}

void TestHost::bufferSwitch(long half, ASIOBool directProcess) {
    TestHost* host = active.load();
    if (!host) return;
    SwitchRecord r;
    r.half = half;
    r.directProcess = directProcess;
    host->recordSwitch(r);
}

void TestHost::sampleRateDidChange(ASIOSampleRate) {}

long TestHost::asioMessage(long selector, long value, void* message, double* opt) {
    TestHost* host = active.load();
    if (!host) return 0;
    std::lock_guard<std::mutex> lock(host->mutex_);
    auto it = host->answers_.find({selector, value});
    long result = it != host->answers_.end() ? it->second : host->defaultAnswer_;
    host->messages_.push_back({selector, value, message, opt, result, GetCurrentThreadId()});
    return result;
}

ASIOTime* TestHost::bufferSwitchTimeInfo(ASIOTime* params, long half, ASIOBool directProcess) {
    TestHost* host = active.load();
    if (!host) return params;
    SwitchRecord r;
    r.timeInfo = true;
    r.half = half;
    r.directProcess = directProcess;
    if (params) {
        r.time = *params;
        r.samplePosition =
            joined(params->timeInfo.samplePosition.hi, params->timeInfo.samplePosition.lo);
        r.systemTimeNs = joined(params->timeInfo.systemTime.hi, params->timeInfo.systemTime.lo);
    }
    host->recordSwitch(r);
    return params;
}

} // namespace testhost
