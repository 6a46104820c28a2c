// Random call orders, as hosts make them:   callorder [--seed S] [--calls N] [--replay K]
// Each sequence is one driver object's life: random calls with good and bad arguments, then its
// last Release; in some, the host's switch stops the driver now and then or stalls once past
// the driver's wait, asioMessage takes 30 ms, or the endpoints are awkward ones (256-byte
// alignment, 100 ms longest buffer, a mono microphone that also takes stereo). Every result
// must be one the driver can give, every size createBuffers accepts must start with the
// latency reported before, and dll::check() must pass after each sequence. A failure names
// its sequence; --replay K runs that one alone, as it ran. Exit status 0 when all passed.
#include "driver_dll.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <tuple>
#include <vector>

namespace {

constexpr DWORD kThreadWaitMs = 2000;

std::atomic<IASIO*> live{nullptr};  // the object the switch may stop
std::atomic<unsigned> stopOneIn{0}; // the switch stops it once in this many (0: never)
std::atomic<bool> stallOnce{false};
std::atomic<unsigned> stalls{0}, switches{0};
std::atomic<long> current{-1}; // the sequence in progress, for a crash or a hang to name

// One sequence, from its own generator: the same sequence whatever ran before it.
struct Sequence {
    Sequence(unsigned seed, unsigned number) : rng_(seed * 1000003u + number) {}

    // Makes up to `calls` calls and returns how many it made; throws what went wrong.
    unsigned run(unsigned calls) {
        stopOneIn = pick(4) == 0 ? 3 + pick(20) : 0;
        stallOnce = false;
        stallDue_ = pick(5) == 0;
        stallsBefore_ = stalls;
        dll::host.messageDelayMs = pick(4) == 0 ? 30 : 0;
        dll::host.switches = 0;
        if (pick(3) == 0) {
            sim::EndpointConfig render = sim::defaultRender(), capture = sim::defaultCapture();
            for (sim::EndpointConfig* e : {&render, &capture})
                e->alignmentBytes = 256, e->maximumDuration = 1000000;
            capture.deviceFormat = sim::extensibleFormat(48000, 1, 16, 16, 0x4);
            capture.mixFormat = sim::extensibleFormat(48000, 1, 32, 32, 0x4, true);
            capture.layouts = {{1, 0x4}, {2, 0x3}};
            sim::configure(render, capture);
        }
        if (!(live = asio_ = dll::createDriver())) fail("no driver object");
        unsigned n = 0, length = std::min(calls, 8 + pick(56));
        // An opening as hosts make them, in order or not, then anything.
        static const char* const openings[] = {"", "i", "icsw", "cisw", "icsi", "ics"};
        const char* op = openings[pick(6)];
        if (!strcmp(op, "icsi")) dll::host.messageDelayMs = 30; // init while the thread asks
        for (; *op || n < length; ++n)
            step(*op ? *op++ : 0);
        live = nullptr;
        call("Release", [&] { return asio_->Release(); }, {0});
        std::string why = dll::check(kThreadWaitMs + 1000);
        if (!why.empty()) fail(why);
        return n + 1;
    }

    unsigned pick(unsigned n) { return unsigned(rng_() % n); }
    [[noreturn]] void fail(const std::string& what) { throw what; }

    // A call that returns one of `allowed` (anything when empty) within the driver's wait for
    // its thread plus two buffer lengths.
    long call(const char* name, const std::function<long()>& f,
              const std::vector<long>& allowed = {}) {
        long r = dll::timed(name, kThreadWaitMs + 2.0 * double(frames_) * 1000.0 / 48000.0 + 50, f);
        if (allowed.size() && std::find(allowed.begin(), allowed.end(), r) == allowed.end())
            fail(std::string(name) + " returned " + std::to_string(r));
        return r;
    }

    void createBuffers() {
        // Mostly what a host streams (two in, two out), or one direction of it anew (the other
        // keeps its buffers at the same size, loses them at another), else any channels at all.
        const bool any = pick(4) == 0, one = !any && pick(3) == 0, inputs = pick(2);
        long count = any ? long(pick(7)) : one ? 2 : 4;
        for (long i = 0; i < 6; ++i)
            infos_[i] = any   ? ASIOBufferInfo{ASIOBool(pick(2)), long(pick(20)) - 2, {}}
                        : one ? ASIOBufferInfo{ASIOBool(inputs), i % 2, {}}
                              : ASIOBufferInfo{ASIOBool(i < 2), i % 2, {}};
        // A size getBufferSize offers (the preferred one, a power of two on the grid from the
        // minimum to the maximum in steps of the granularity, or any size of it, often one of
        // the smallest), one it may refuse, or one none offers.
        long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        asio_->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
        std::vector<long> offered = {preferred};
        if (granularity > 0 && minSize > 0) {
            for (long p = 64; p <= maxSize; p *= 2)
                if (p >= minSize && (p - minSize) % granularity == 0) offered.push_back(p);
            const unsigned steps = unsigned((maxSize - minSize) / granularity + 1);
            for (unsigned n : {steps, std::min(steps, 16u), std::min(steps, 16u)})
                offered.push_back(minSize + granularity * long(pick(n)));
        }
        static const long bad[] = {0, -1, 1, 100000, 0x7FFFFFFF};
        unsigned k = pick(8);
        long frames = k > 2 ? offered[pick(unsigned(offered.size()))]
                      : k ? 64 + long(pick(4800))
                          : bad[pick(5)];
        bool noInfos = pick(20) == 0, noCallbacks = pick(20) == 0;
        ASIOChannelInfo ci = {}; // the sample type, as a host asks before it makes buffers
        asio_->getChannelInfo(&ci);
        dll::host.infos = nullptr;
        long r = call("createBuffers", [&] {
            return asio_->createBuffers(noInfos ? nullptr : infos_, count, frames,
                                        noCallbacks ? nullptr : &dll::callbacks);
        });
        // Nothing is offered before init, nor while a stalled stream may still hold the endpoints.
        bool stalled = r == ASE_InvalidMode && stalls != stallsBefore_;
        bool offeredSize = k > 2 && !any && preferred > 0;
        std::vector<long> want = {ASE_InvalidMode};
        if (noInfos || noCallbacks) want = {ASE_InvalidParameter};
        else if ((k && k <= 2) || (any && k > 2)) want = {ASE_OK, ASE_InvalidMode};
        else if (offeredSize && initialised_ && !stalled) want = {ASE_OK};
        if (std::find(want.begin(), want.end(), r) == want.end())
            fail("createBuffers(" + std::to_string(frames) + ") returned " + std::to_string(r));
        if (r != ASE_OK) return;
        frames_ = frames;
        dll::host.bytes = frames * (ci.type == ASIOSTInt32LSB ? 4 : 2);
        dll::host.count = count;
        dll::host.infos = infos_;
        if (pick(2)) startAsAccepted();
    }

    // An accepted size starts, and what the latencies and sizes read before start are the
    // running stream's.
    void startAsAccepted() {
        long before[5] = {}, running[5] = {};
        auto read = [&](long* v) {
            asio_->getLatencies(&v[0], &v[1]);
            return asio_->getBufferSize(&v[2], &v[3], &v[4], nullptr);
        };
        read(before);
        call("start", [&] { return asio_->start(); }, {ASE_OK});
        call("getLatencies and getBufferSize", [&] { return read(running); }, {ASE_OK});
        if (!std::equal(before, before + 5, running))
            fail("latencies and sizes " + text(before) + " before start, " + text(running) +
                 " running");
    }
    static std::string text(const long* v) {
        std::string t;
        for (int i = 0; i < 5; ++i)
            t += (i ? "/" : "") + std::to_string(v[i]);
        return t;
    }

    // A second driver object, as a second host would make it: while this one may stream, its
    // calls fail cleanly or stream; once this one has stopped, it streams.
    void secondObject() {
        IASIO* other = dll::createDriver();
        if (!other) fail("no second driver object");
        ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
        long preferred = 0, v = 0;
        auto attempt = [&](const std::vector<long>& allowed) {
            call("second init", [&] { return other->init(nullptr); }, {ASIOTrue});
            other->getBufferSize(&v, &v, &preferred, &v);
            long r = call("second createBuffers", [&] {
                return other->createBuffers(infos, 2, preferred > 0 ? preferred : 480,
                                            &dll::callbacks);
            }, allowed);
            if (r == ASE_OK) call("second start", [&] { return other->start(); }, allowed);
            call("second stop", [&] { return other->stop(); }, {ASE_OK});
        };
        // Its switches must not write into this object's buffers.
        ASIOBufferInfo* mine = dll::host.infos.exchange(nullptr);
        // Streaming now, and left alone by its own switch: it must go on streaming.
        const DWORD twoBuffers = 20 + DWORD(2000 * frames_ / 44100);
        unsigned s0 = dll::host.switches;
        Sleep(twoBuffers);
        bool streaming = dll::host.switches != s0 && !stopOneIn && stalls == stallsBefore_;
        attempt({ASE_OK, ASE_InvalidMode, ASE_NotPresent});
        s0 = dll::host.switches;
        Sleep(twoBuffers);
        if (streaming && dll::host.switches == s0) fail("a second object stopped the stream");
        if (pick(2)) {
            call("stop", [&] { return asio_->stop(); }, {ASE_OK});
            // A stalled switch of this object may hold the endpoints still.
            if (initialised_ && stalls == stallsBefore_) attempt({ASE_OK});
        }
        call("second Release", [&] { return other->Release(); }, {0});
        dll::host.infos = mine;
    }
    // One call: 'i'nit, 'c'reateBuffers, 's'tart, 'w'ait, or (0) any call at random.
    void step(char op) {
        unsigned k = op == 'i' ? 0 : op == 'c' ? 8 : op == 's' ? 22 : op == 'w' ? 60 : pick(100);
        if (k < 8) {
            call("init", [&] { return asio_->init(nullptr); }, {ASIOTrue});
            initialised_ = true;
        } else if (k < 22) {
            createBuffers();
        } else if (k < 38) {
            if (stallDue_ && pick(3) == 0) stallOnce = true, stallDue_ = false;
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
            call("Release", [&] { return asio_->Release(); }, {1});
        } else if (k < 73) {
            secondObject();
        } else {
            query();
        }
    }

    void query() {
        static const double rates[] = {44100, 48000, 96000, 22050, 0, -1, 1e12};
        const long present = initialised_ ? ASE_OK : ASE_NotPresent;
        IASIO* a = asio_;
        long v = 0;
        double rate = 0;
        ASIOChannelInfo info = {};
        ASIOSamples pos;
        ASIOTimeStamp ts;
        const std::tuple<const char*, std::function<long()>, std::vector<long>> queries[] = {
            {"getChannels", [&] { return a->getChannels(pick(4) ? &v : nullptr, &v); }, {present}},
            {"getBufferSize",
             [&] { return a->getBufferSize(&v, &v, &v, &v); },
             {present, ASE_InvalidMode}},
            {"canSampleRate or setSampleRate",
             [&] {
                 rate = rates[pick(7)];
                 return pick(2) ? a->canSampleRate(rate) : a->setSampleRate(rate);
             },
             {ASE_OK, ASE_NoClock, ASE_NotPresent, ASE_InvalidMode, ASE_InvalidParameter}},
            {"getChannelInfo",
             [&] {
                 info = {long(pick(20)) - 2, ASIOBool(pick(2)), 0, 0, 0, {}};
                 return a->getChannelInfo(&info);
             },
             {ASE_OK, ASE_NotPresent, ASE_InvalidParameter, ASE_InvalidMode}},
            {"getLatencies", [&] { return a->getLatencies(&v, &v); }, {ASE_OK, ASE_NotPresent}},
            {"getSamplePosition", [&] { return a->getSamplePosition(&pos, &ts); }, {ASE_OK}},
            {"getSampleRate", [&] { return a->getSampleRate(&rate); }, {ASE_OK}},
            {"outputReady", [&] { return a->outputReady(); }, {ASE_OK, ASE_NotPresent}},
        };
        const auto& [name, f, allowed] = queries[pick(8)];
        call(name, f, allowed);
    }

    std::mt19937 rng_;
    IASIO* asio_ = nullptr;
    ASIOBufferInfo infos_[6] = {};
    long frames_ = 480;
    unsigned stallsBefore_ = 0;
    bool initialised_ = false, stallDue_ = false;
};

// Ends the program, naming the sequence in progress.
[[noreturn]] void die(const char* what, UINT code) {
    fprintf(stderr, "FAIL: sequence %ld: %s\n", current.load(), what);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), code);
    abort();
}

} // namespace

int main(int argc, char** argv) {
    std::map<std::string, long> options = {{"--seed", 1}, {"--calls", 800}, {"--replay", -1}};
    for (int i = 1; i + 1 < argc; i += 2)
        options[argv[i]] = atol(argv[i + 1]);
    const unsigned seed = options["--seed"], calls = options["--calls"];
    const long replay = options["--replay"];
    SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* e) -> LONG {
        char what[64];
        snprintf(what, sizeof what, "exception 0x%08lx at %p", e->ExceptionRecord->ExceptionCode,
                 e->ExceptionRecord->ExceptionAddress);
        die(what, 3);
    });
    if (!dll::setUp()) die("no DLL or simulator", 1);
    dll::host.action = [](unsigned n) {
        ++switches;
        if (stallOnce.exchange(false)) ++stalls, Sleep(kThreadWaitMs + 300);
        if (stopOneIn && n % stopOneIn == 0)
            if (IASIO* asio = live) asio->stop();
    };
    // A watchdog for calls that never return.
    dll::lastReturn = GetTickCount64();
    auto watchdog = [](LPVOID) -> DWORD {
        for (;; Sleep(1000))
            if (GetTickCount64() - dll::lastReturn > 10000) die("hangs", 4);
    };
    CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);

    unsigned done = 0, first = replay >= 0 ? unsigned(replay) : 0;
    for (unsigned number = first; replay >= 0 ? number == first : done < calls; ++number) {
        current = long(number);
        sim::reset();
        try {
            done += Sequence(seed, number).run(replay >= 0 ? 1000 : calls - done);
        } catch (const std::string& what) {
            std::string again = "\n(replay: callorder --seed " + std::to_string(seed);
            die((what + again + " --replay " + std::to_string(number) + ")").c_str(), 1);
        }
    }
    printf("seed %u: %u calls in %ld sequences passed (%u switches, %u stalled past the wait)\n",
           seed, done, current.load() + 1, switches.load(), stalls.load());
    return 0;
}
