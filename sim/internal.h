// Shared state of the simulated endpoint service, between its COM objects, its clock and
// the test-facing functions. Everything mutable is guarded by State::m.
#pragma once

#include "sim/sim.h"

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace sim {

constexpr HRESULT kNotFound = HRESULT(0x80070490); // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)

struct Stream;

// What a loopback stream takes: its render endpoint's engine mix, or (process loopback, across
// every render endpoint) the streams of this process or those of the other programs.
enum class Tap { Endpoint, OurStreams, OtherPrograms };

// A device's clock: device seconds against the performance counter. It runs fast by ppm,
// give or take wanderPpm in a sine of wanderSeconds, from epoch (the counter when the
// endpoints were configured; a device's clock runs whether or not it streams).
struct DeviceClock {
    double ppm = 0, wanderPpm = 0, wanderSeconds = 60;
    double epoch = 0, freq = 1; // QueryPerformanceCounter units
    double at(double qpc) const; // device seconds since epoch
    double qpcOf(double device) const;
    // The same in real seconds since epoch: two clocks configured together share their epoch,
    // so a frame's time passes from one to the other without the counter's large values,
    // whose rounding alone would be a jitter of a hundred picoseconds.
    double atSeconds(double t) const;
    double secondsOf(double device) const;
};

// A queue of fixed capacity, made before streaming so that the clock thread never allocates:
// pushing onto a full one drops the oldest element.
template <class T> class Ring {
  public:
    void reset(size_t capacity, const T& blank = T()) { // allocates: never on the clock thread
        buf.assign(capacity, blank);
        head = count = 0;
    }
    void clear() { head = count = 0; }
    size_t size() const { return count; }
    size_t capacity() const { return buf.size(); }
    bool empty() const { return count == 0; }
    T& operator[](size_t i) { return buf[(head + i) % buf.size()]; }
    const T& operator[](size_t i) const { return buf[(head + i) % buf.size()]; }
    T& front() { return (*this)[0]; }
    // The slot a push would fill, to be written in place (a full ring first drops its oldest).
    T& pushBack() {
        if (count == buf.size()) popFront();
        return buf[(head + count++) % buf.size()];
    }
    void push(const T& v) {
        if (!buf.empty()) pushBack() = v;
    }
    // Elements trade places with `v` rather than being moved, so that the storage they own
    // stays in the ring for the next push.
    void takeFront(T& v) {
        std::swap(v, front());
        popFront();
    }
    void pushFront(T& v) { // into a ring with room
        head = (head + buf.size() - 1) % buf.size();
        std::swap(buf[head], v);
        ++count;
    }
    void popFront(size_t n = 1) {
        n = n < count ? n : count;
        head = buf.empty() ? 0 : (head + n) % buf.size();
        count -= n;
    }

  private:
    std::vector<T> buf;
    size_t head = 0, count = 0;
};

// One configured endpoint. Its configuration never changes: configure() makes new ones, so
// objects created earlier keep a consistent view of theirs.
struct Endpoint {
    Endpoint(Flow f, const EndpointConfig& c, size_t r) : flow(f), cfg(c), rank(r) {
        // Made here, so that the clock thread never allocates: one engine period at most.
        if (f == Flow::Render)
            mix.assign(size_t(std::max(c.engineMaximumPeriod, c.engineDefaultPeriod)) *
                           std::max<WORD>(1, c.mixFormat.Format.nChannels),
                       0.0f);
    }
    const Flow flow;
    const EndpointConfig cfg;
    const size_t rank; // its place among the endpoints of its direction
    DeviceClock clock; // its container's (set by configure())

    bool unplugged = false; // unplug(), or its unplugFile appeared
    bool replaced = false;  // configure() made new endpoints

    Stream* holder = nullptr;    // the initialised client holding it exclusively
    std::vector<Stream*> shared; // the initialised shared streams, oldest first
    std::vector<Stream*> loopbacks; // render: the initialised loopback streams, oldest first
    // Render: the engine's mix of its latest pass (the mix format's channels, full scale at
    // 1.0): every shared stream that played in it, added up. mixRound is the clock's round
    // (State::round) it was made in; a pass no stream played in leaves it behind.
    std::vector<float> mix;
    UINT32 mixFrames = 0;
    uint64_t mixRound = 0;
    Stats st;                    // counters of the latest started stream
    std::vector<BYTE> rec;       // recording() of the latest started stream (reserved at Start)
    Ring<BYTE> air;              // capture only: loopback frames waiting, in the capture format
    std::vector<BYTE> airFrame;  // one frame of it, converted
    // Capture across two clocks: what render played (capture's channels, left-aligned 32-bit),
    // from render frame heardFirst on, which capture samples at its own times.
    Ring<int32_t> heard;
    uint64_t heardFirst = 0;
};

// An initialised stream. Shared by its client and the client's services, so its place on the
// endpoint (the exclusive hold, or a shared stream of the engine) ends when the last of them
// is released.
struct Stream {
    Stream(std::shared_ptr<Endpoint> e, const WAVEFORMATEXTENSIBLE& f, bool ev, UINT32 buf,
           UINT32 per, bool sh = false, bool lb = false);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    std::shared_ptr<Endpoint> ep;
    WAVEFORMATEXTENSIBLE fmt;
    UINT32 frameBytes;
    bool eventDriven;
    UINT32 bufferFrames;
    UINT32 periodFrames;     // exclusive: the device period; shared: the engine period
    const bool shared;       // through the engine, in the mix format
    const bool loopback;     // a capture stream of a render endpoint's mix (shared)
    bool captures() const { return loopback || ep->flow == Flow::Capture; }
    bool setsPeriod = false; // shared: asked the engine for a period of its own (IAudioClient3)
    HANDLE event = nullptr;  // our duplicate of the client's event
    bool running = false;
    bool started = false; // started at least once
    uint64_t ticks = 0;
    // The stream's grid on its device's clock: tick k at device second gridOrigin + k periods.
    // Times handed to the client come from it, never from when the sim woke.
    double gridOrigin = 0;
    uint64_t gridTicks = 0;  // ticks since Start
    double nextDue = 0;      // the next tick, QueryPerformanceCounter units
    uint64_t framesDone = 0; // played or captured since Start (IAudioClock)
    double eventDue = 0;     // event_jitter_ms: when the event held back is set (0: none)
    uint32_t jitterSeed = 1;

    // Render: the endpoint buffer as a ring of queued frames, and the block handed out.
    std::vector<BYTE> ring;
    UINT32 ringRead = 0, queued = 0;
    std::vector<BYTE> staging;
    std::vector<BYTE> scratch; // the period a render tick plays
    bool bufferOut = false;
    UINT32 outFrames = 0;
    bool delivered = false; // the client has released frames since Initialize or Reset

    // Capture: packets waiting, and the one handed out.
    struct Packet {
        std::vector<BYTE> data;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 position = 0;
        UINT64 qpc = 0;  // when its first frame was recorded, on the device's clock
        uint64_t tick = 0; // the stream's tick that delivered it
    };
    Ring<Packet> packets; // buffer / period of them, and room for one handed back
    Packet reading;
    bool readingOut = false;
    UINT64 capturePos = 0;
    bool idlePasses = false;  // loopback: passes without a packet since the last one
    bool heardBefore = false; // loopback: a packet since Start or Reset
    // Process loopback: what it takes, its period's sum in floats, and the round of each
    // render endpoint's mix it took last (by place in State::eps), all made at Initialize.
    Tap tap = Tap::Endpoint;
    std::vector<float> sum;
    std::vector<uint64_t> taken;
};

struct Fault {
    std::string op;
    Flow flow;
    FaultMode mode;
    unsigned n;
    unsigned seen = 0;
    HRESULT hr;
    bool null;
};

struct State {
    std::mutex m;
    std::condition_variable serviced; // a client released a buffer
    std::vector<std::shared_ptr<Endpoint>> eps; // every endpoint, render ones first
    // Process loopback streams: on the default render endpoint's clock, ticking after every
    // endpoint's streams of a round, so that each takes the mixes of that round.
    std::vector<Stream*> processLoopbacks;
    std::shared_ptr<Endpoint> ep[2];            // the one configured as each direction's default
    std::shared_ptr<Endpoint> latest[2];        // the latest started stream's, per direction
    std::atomic<unsigned long long> lastUnplugPoll{0}; // GetTickCount64 of the last file check
    std::atomic<bool> watching{false};                 // an endpoint waits for its unplugFile
    Clock clock = Clock::Realtime;
    // The clock's rounds: the ticks that fire together (one device moment, render first) are
    // one round, so an engine's pass is its streams' ticks of one round.
    uint64_t round = 1;
    std::vector<Fault> faults;
    std::vector<std::pair<std::string, Flow>> calls;

    std::wstring reportPath; // each Stop appends the stream's counters here (VLASIM_REPORT)
    bool keepRecordings = true; // false in the registered server: no one there can read them

    // Realtime clock thread.
    HANDLE clockThread = nullptr;
    HANDLE clockWake = nullptr;
    bool clockAlive = false;
    bool clockQuit = false;
    DWORD clockStallMs = 0; // stallClockOnce()
    double clockStallAt = 0;     // performance counter: a stall an endpoint's config scheduled
    DWORD clockStallAtMs = 0;    // its length
};
State& state();

// Records the call and applies any matching fault: returns the fault's HRESULT (failure),
// or S_OK with *null set when the call must hand back no object. Takes State::m itself.
HRESULT enter(const char* op, Flow flow, bool* null = nullptr);

// Task-allocator memory handed to the caller, tracked until CoTaskMemFree.
void* taskAlloc(size_t bytes);
wchar_t* taskString(const std::wstring& s);

// Accounting of the COM objects. Every one of them is agile, as Windows' audio objects are:
// it aggregates the free-threaded marshaler, so that a client may hand it to another
// apartment with CoMarshalInterThreadInterfaceInStream and get the same pointer back.
struct Counted {
    explicit Counted(const char* kind, Flow flow);
    virtual ~Counted();
    ULONG addRef() { return ULONG(++refs); }
    ULONG release();
    // IMarshal from the free-threaded marshaler aggregated with `outer` (made at first use).
    HRESULT marshaler(IUnknown* outer, REFIID riid, void** ppv);
    const char* kind;
    Flow flow;
    std::atomic<long> refs{1};
    std::atomic<IUnknown*> ftm{nullptr};
};

// Endpoints (State::m held). Gone: unplugged, replaced or absent; its clients answer
// AUDCLNT_E_DEVICE_INVALIDATED.
bool gone(const Endpoint& e);
std::shared_ptr<Endpoint> defaultOf(Flow f); // the active default, or null
Endpoint* pairOf(const Endpoint& e);         // the other direction's endpoint at its place
Endpoint* heardBy(const Endpoint& capture);  // the render endpoint its Loopback signal hears
// Unplugs the endpoints whose unplugFile has appeared. Checks the files at most every
// `everyMs`; takes State::m itself, never while stat-ing.
void pollUnplugFiles(unsigned everyMs);

// Every initialised stream of an endpoint: the exclusive one, or the shared ones, then its
// loopback streams (which tick after the streams whose mix they take).
template <class F> void eachStream(Endpoint& e, F f) {
    if (e.holder) f(*e.holder);
    for (Stream* s : e.shared)
        f(*s);
    for (Stream* s : e.loopbacks)
        f(*s);
}
// Every initialised stream (State::m held): the endpoints', render ones first, then the
// process loopback streams.
template <class F> void eachStreamAll(F f) {
    for (auto& e : state().eps)
        eachStream(*e, f);
    for (Stream* s : state().processLoopbacks)
        f(*s);
}
// Every running stream of an endpoint still there (State::m held), in that order: an unplugged
// endpoint's streams stop where they are, no more ticks, no events.
template <class F> void eachRunning(F f) {
    eachStreamAll([&](Stream& st) {
        if (st.running && !gone(*st.ep)) f(st);
    });
}
// The earliest next tick of the running streams, in QueryPerformanceCounter units; false when
// none runs (State::m held).
bool earliestDue(double* due);

// The stream the endpoint's statistics, recording and loopback line follow: the exclusive
// one, else the latest started running shared one, else the latest initialised (or null).
Stream* current(const Endpoint& e);
// The engine's period now: that of the oldest stream that set one, else the default.
UINT32 enginePeriod(const Endpoint& e);
// Another program holds the endpoint exclusively: every Initialize is refused.
bool heldElsewhere(const EndpointConfig& c);

// Format rules.
bool formatAccepted(const EndpointConfig& c, const WAVEFORMATEX* f); // exclusive
bool isMixFormat(const EndpointConfig& c, const WAVEFORMATEX* f);    // shared
bool validFormat(const WAVEFORMATEX* f);   // a PCM or float descriptor that adds up
size_t formatBytes(const WAVEFORMATEX* f); // 18 + cbSize, or 16-byte PCMWAVEFORMAT

// Streaming (State::m held).
void startStream(Stream& s);
void tick(Stream& s, uint64_t qpcNow);
void setEvent(Stream& s); // at once, or event_jitter_ms later on the realtime clock
void wakeClock(); // starts the realtime clock thread or tells it the schedule changed
double periodTicks(const Stream& s, double qpcFrequency); // one period on the stream's clock
double gridQpc(const Stream& s, double tick); // QueryPerformanceCounter time of a grid tick
bool sameClock(const Endpoint& a, const Endpoint& b);
void reportStopped(const Stream& s);                      // the VLASIM_REPORT line

// Objects handed out by the class factory and the enumerator; LockServer's count.
IClassFactory* enumeratorFactory();
extern std::atomic<long> serverLocks;
HRESULT createEnumerator(REFIID riid, void** ppv);

} // namespace sim
