// Random call orders, as hosts make them, against the DLL on the simulated endpoints.
//
//   callorder [--seed S] [--calls N] [--replay K]
//
// The run is a series of sequences, each one driver object's life: a random number of random
// calls (init, createBuffers, start, stop, disposeBuffers, AddRef/Release, the queries; good
// and bad arguments), then its last Release. The host's switch writes its outputs, and in some
// sequences calls stop now and then or stalls once past the driver's wait; its asioMessage
// may take 30 ms to answer. Each call's result must be one the driver can give for it, each
// call must return within the driver's wait for its thread plus two buffer lengths, and after
// each sequence no streaming thread, simulator object or driver object may be left and every
// heap must validate. A failure names its sequence; --replay K runs that sequence alone, as
// it ran. Exit status 0 when all passed.
#include "driver_dll.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr DWORD kThreadWaitMs = 2000;

// What the host's callbacks see; ASIO callbacks carry no context.
struct Host {
    std::atomic<IASIO*> asio{nullptr};
    std::atomic<ASIOBufferInfo*> infos{nullptr};
    std::atomic<long> count{0}, frames{0}, width{2};
    std::atomic<unsigned> stopOneIn{0}; // the switch calls stop once in this many (0: never)
    std::atomic<bool> stallOnce{false};
    std::atomic<DWORD> messageDelayMs{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<unsigned> switches{0};
    std::atomic<unsigned> totalSwitches{0}, stalls{0}, stopsInSwitch{0}, bad{0};
    std::mutex mutex;
    std::set<DWORD> threads;
} host;

void onSwitch(long half) {
    if (host.inside.fetch_add(1) != 0) host.overlap = true;
    {
        std::lock_guard<std::mutex> lock(host.mutex);
        host.threads.insert(GetCurrentThreadId());
    }
    ASIOBufferInfo* infos = host.infos;
    for (long i = 0; infos && i < host.count && (half == 0 || half == 1); ++i)
        if (!infos[i].isInput && infos[i].buffers[half])
            memset(infos[i].buffers[half], 0x22, size_t(host.frames) * size_t(host.width));
    unsigned n = ++host.switches;
    ++host.totalSwitches;
    if (host.stallOnce.exchange(false)) ++host.stalls, Sleep(kThreadWaitMs + 300);
    if (host.stopOneIn && n % host.stopOneIn == 0)
        if (IASIO* asio = host.asio) ++host.stopsInSwitch, asio->stop();
    host.inside.fetch_sub(1);
}

void bufferSwitch(long half, ASIOBool) { onSwitch(half); }
ASIOTime* bufferSwitchTimeInfo(ASIOTime* t, long half, ASIOBool) {
    onSwitch(half);
    return t;
}
void sampleRateDidChange(ASIOSampleRate) {}
long asioMessage(long selector, long value, void*, double*) {
    if (DWORD ms = host.messageDelayMs) Sleep(ms);
    return selector == kAsioSelectorSupported ? value == kAsioSupportsTimeInfo
                                              : selector == kAsioSupportsTimeInfo;
}

// The sequence and call in progress, for a crash or a hang to name.
std::atomic<long> current{-1};
std::atomic<const char*> currentCall{""};
std::atomic<double> lastProgress{0};

struct Failure {
    std::string what;
};

// One sequence, from its own generator: the same sequence whatever ran before it.
class Sequence {
  public:
    Sequence(unsigned seed, unsigned number) : rng_(seed * 1000003u + number) {}

    // Runs up to `calls` calls; returns how many it made, or throws Failure.
    unsigned run(unsigned calls) {
        host.stopOneIn = pick(4) == 0 ? 3 + pick(20) : 0;
        host.stallOnce = false;
        stallDue_ = pick(5) == 0;
        stallsBefore_ = host.stalls;
        host.messageDelayMs = pick(4) == 0 ? 30 : 0;
        host.switches = 0;
        asio_ = dll::createDriver();
        if (!asio_) fail("no driver object");
        host.asio = asio_;
        unsigned n = 0;
        unsigned length = std::min(calls, 8 + pick(56));
        // An opening as hosts make them, in order or not, then anything.
        static const char* const openings[] = {"", "i", "icsw", "cisw", "icsi", "ics"};
        const char* opening = openings[pick(6)];
        if (!strcmp(opening, "icsi")) host.messageDelayMs = 30; // init while the thread asks
        for (const char* op = opening; *op; ++op, ++n)
            step(*op);
        for (; n < length; ++n)
            step();
        host.asio = nullptr;
        call("Release", [&] { return long(asio_->Release()); }, {0});
        for (DWORD id : takeThreads())
            if (!dll::threadEnded(id, kThreadWaitMs + 1000)) fail("a streaming thread did not end");
        if (host.overlap.exchange(false)) fail("two streaming threads called the host at once");
        std::string left = dll::leftovers(), why;
        if (!left.empty()) fail("left behind: " + left);
        if (!dll::heapsValid(&why)) fail(why);
        return n + 1;
    }

  private:
    unsigned pick(unsigned n) { return unsigned(rng_() % n); }

    [[noreturn]] void fail(const std::string& what) { throw Failure{what}; }

    std::set<DWORD> takeThreads() {
        std::lock_guard<std::mutex> lock(host.mutex);
        std::set<DWORD> out;
        out.swap(host.threads);
        return out;
    }

    template <typename F> long timed(const char* name, F f) {
        double bound = kThreadWaitMs + 2.0 * double(frames_) * 1000.0 / 48000.0 + 50;
        double t0 = dll::nowMs();
        currentCall = name;
        long r = long(f());
        currentCall = "";
        lastProgress = dll::nowMs();
        double ms = dll::nowMs() - t0;
        if (ms > bound)
            fail(std::string(name) + " took " + std::to_string(ms) + " ms, more than " +
                 std::to_string(bound));
        return r;
    }
    template <typename F> void call(const char* name, F f, std::initializer_list<long> allowed) {
        long r = timed(name, f);
        for (long a : allowed)
            if (r == a) return;
        fail(std::string(name) + " returned " + std::to_string(r));
    }

    // Sizes every rate the host may set (44.1 to 96 kHz) offers, or none offers.
    long size(bool* offered) {
        static const long bad[] = {0, -1, 1, 64, 100000, 0x7FFFFFFF};
        *offered = true;
        switch (pick(8)) {
        case 0: return *offered = false, bad[pick(6)];
        case 1: return 256 + long(pick(4544));
        case 2: return 960;
        default: return 480;
        }
    }

    void createBuffers() {
        // Mostly what the endpoints stream (stereo in and out), else any channels at all.
        infos_.assign(6, {});
        long count = 4;
        for (long i = 0; i < 6; ++i) infos_[size_t(i)] = {ASIOBool(i < 2), i % 2, {}};
        if (pick(4) == 0) {
            count = long(pick(7));
            for (ASIOBufferInfo& b : infos_) b = {ASIOBool(pick(2)), long(pick(20)) - 2, {}};
        }
        static ASIOCallbacks callbacks = {bufferSwitch, sampleRateDidChange, asioMessage,
                                                bufferSwitchTimeInfo};
        bool offered = false;
        long frames = size(&offered);
        host.bad += !offered;
        bool noInfos = pick(20) == 0, noCallbacks = pick(20) == 0;
        // The sample type, as a host asks before it makes buffers.
        ASIOChannelInfo ci = {};
        asio_->getChannelInfo(&ci);
        host.infos = nullptr;
        long r = timed("createBuffers", [&] {
            return asio_->createBuffers(noInfos ? nullptr : infos_.data(), count, frames,
                                        noCallbacks ? nullptr : &callbacks);
        });
        if (noInfos || noCallbacks) {
            if (r != ASE_InvalidParameter) fail("createBuffers without records: " + std::to_string(r));
            return;
        }
        // Nothing is offered before init, nor while a stalled stream may still hold the endpoints.
        bool inRange = offered && initialised_;
        if (r == ASE_InvalidMode && host.stalls != stallsBefore_) inRange = false;
        if (r != (inRange ? ASE_OK : ASE_InvalidMode))
            fail("createBuffers(" + std::to_string(frames) + ") returned " + std::to_string(r));
        if (r != ASE_OK) return;
        frames_ = frames;
        host.frames = frames;
        host.width = ci.type == ASIOSTInt32LSB ? 4 : 2;
        host.count = count;
        host.infos = infos_.data();
    }

    // One call: 'i'nit, 'c'reateBuffers, 's'tart, 'w'ait, or (0) any call at random.
    void step(char what = 0) {
        unsigned k = what == 'i' ? 0 : what == 'c' ? 8 : what == 's' ? 22 : what == 'w' ? 60 : pick(100);
        if (k < 8) {
            call("init", [&] { return asio_->init(nullptr); }, {ASIOTrue});
            initialised_ = true;
        } else if (k < 22) {
            createBuffers();
        } else if (k < 38) {
            if (stallDue_ && pick(3) == 0) host.stallOnce = true, stallDue_ = false;
            call("start", [&] { return asio_->start(); }, {ASE_OK, ASE_NotPresent});
            if (pick(2)) Sleep(10 + pick(50)); // and let it stream, mostly
        } else if (k < 46) {
            call("stop", [&] { return asio_->stop(); }, {ASE_OK});
        } else if (k < 52) {
            call("disposeBuffers", [&] { return asio_->disposeBuffers(); }, {ASE_OK});
        } else if (k < 67) {
            Sleep(pick(60));
        } else if (k < 70) {
            asio_->AddRef();
            call("Release", [&] { return long(asio_->Release()); }, {1});
        } else {
            query();
        }
    }

    void query() {
        long a = 0, b = 0, c = 0, d = 0;
        const long present = initialised_ ? ASE_OK : ASE_NotPresent;
        switch (pick(8)) {
        case 0:
            call("getChannels", [&] { return asio_->getChannels(pick(4) ? &a : nullptr, &b); },
                 {present});
            break;
        case 1:
            call("getBufferSize", [&] { return asio_->getBufferSize(&a, &b, &c, &d); },
                 {present, ASE_InvalidMode});
            break;
        case 2: {
            static const double rates[] = {44100, 48000, 96000, 22050, 0, -1, 1e12};
            double rate = rates[pick(7)];
            if (pick(2))
                call("canSampleRate", [&] { return asio_->canSampleRate(rate); },
                     {ASE_OK, ASE_NoClock, ASE_NotPresent, ASE_InvalidMode, ASE_InvalidParameter});
            else
                call("setSampleRate", [&] { return asio_->setSampleRate(rate); },
                     {ASE_OK, ASE_NoClock, ASE_NotPresent, ASE_InvalidMode, ASE_InvalidParameter});
            break;
        }
        case 3: {
            ASIOChannelInfo info = {long(pick(20)) - 2, ASIOBool(pick(2)), 0, 0, 0, {}};
            call("getChannelInfo", [&] { return asio_->getChannelInfo(&info); },
                 {ASE_OK, ASE_NotPresent, ASE_InvalidParameter, ASE_InvalidMode});
            break;
        }
        case 4:
            call("getLatencies", [&] { return asio_->getLatencies(&a, &b); }, {ASE_OK, ASE_NotPresent});
            break;
        case 5: {
            ASIOSamples pos;
            ASIOTimeStamp ts;
            call("getSamplePosition", [&] { return asio_->getSamplePosition(&pos, &ts); }, {ASE_OK});
            break;
        }
        case 6: {
            ASIOSampleRate rate;
            call("getSampleRate", [&] { return asio_->getSampleRate(&rate); }, {ASE_OK});
            break;
        }
        default:
            call("outputReady", [&] { return asio_->outputReady(); }, {ASE_NotPresent});
        }
    }

    std::mt19937 rng_;
    IASIO* asio_ = nullptr;
    std::vector<ASIOBufferInfo> infos_;
    long frames_ = 480;
    unsigned stallsBefore_ = 0;
    bool initialised_ = false, stallDue_ = false;
};

LONG WINAPI onCrash(EXCEPTION_POINTERS* e) {
    fprintf(stderr, "FAIL: sequence %ld (%s): exception 0x%08lx at %p\n", current.load(),
            currentCall.load(), e->ExceptionRecord->ExceptionCode,
            e->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

int main(int argc, char** argv) {
    unsigned seed = 1, calls = 800;
    long replay = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--seed")) seed = unsigned(atol(argv[i + 1]));
        else if (!strcmp(argv[i], "--calls")) calls = unsigned(atol(argv[i + 1]));
        else if (!strcmp(argv[i], "--replay")) replay = atol(argv[i + 1]);
    }
    SetUnhandledExceptionFilter(onCrash);
    if (!dll::setUp()) {
        fprintf(stderr, "FAIL: no DLL or simulator\n");
        return 1;
    }
    // A watchdog for calls that never return.
    lastProgress = dll::nowMs();
    CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
        for (;;) {
            Sleep(1000);
            if (dll::nowMs() - lastProgress > 10000) {
                fprintf(stderr, "FAIL: sequence %ld hangs (%s)\n", current.load(),
                        currentCall.load());
                fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 4);
            }
        }
    }, nullptr, 0, nullptr);

    unsigned done = 0;
    for (unsigned number = 0; replay >= 0 ? number <= unsigned(replay) : done < calls; ++number) {
        if (replay >= 0 && number != unsigned(replay)) continue;
        current = long(number);
        sim::reset();
        try {
            done += Sequence(seed, number).run(replay >= 0 ? 1000 : calls - done);
        } catch (const Failure& f) {
            fprintf(stderr, "FAIL: seed %u sequence %u: %s\n(replay: callorder --seed %u --replay %u)\n",
                    seed, number, f.what.c_str(), seed, number);
            return 1;
        }
    }
    printf("seed %u: %u calls in %ld sequences passed (%u switches, %u stalled past the wait, "
           "%u stops inside a switch, %u sizes refused)\n",
           seed, done, current.load() + 1, host.totalSwitches.load(), host.stalls.load(),
           host.stopsInSwitch.load(), host.bad.load());
    return 0;
}
