// What the streaming engine's own files share.
//
// Ownership across threads
// ------------------------
// The streaming thread can outlive every bounded wait a host call makes for it: a host's
// switch may stall for as long as it likes, or call stop, disposeBuffers or Release itself.
// So nothing the thread uses is freed while it can still run:
//
// 1. It holds the object and the module. start takes one of the object's holds for it, and
//    the thread lets go as its very last act; the host's last Release tears the driver down
//    (stops it, frees the buffers, releases the endpoints), but the memory goes with the last
//    hold, on whichever thread that is. The thread leaves the module's code through
//    FreeLibraryAndExitThread, so an unload cannot pull the code out from under it either.
// 2. It holds what it waits on and streams through: a StreamHold with its own references on
//    the audio clients, its own duplicates of the buffer events and its own copy of the host's
//    callbacks, all made by start before the thread exists. Host calls may release, close or
//    clear the object's own fields at any time.
// 3. The host's buffers and the fields that describe them (blocks, sizes, channel counts,
//    sample types) change only under the control lock, after stop has cleared running. The
//    thread touches them, and calls the host, only while running is set, and it reads running
//    again after every host call, the one place where it can stall. A thread whose stop ran
//    out of time therefore finishes its callback and ends without touching them again.
// 4. A wait that runs out keeps the thread's handle: start refuses to run a second thread
//    beside a live one, and the next stop or start waits for it again.
// 5. COM is uninitialised only on the thread whose start initialised it, and only once.
#pragma once

#include "driver/ASIOSrv.h"
#include "endpoint/comref.h"
#include "stream/clockbridge.h"
#include "stream/convert.h"
#include "stream/dropouts.h"

#include <audioclient.h>

#include <algorithm>
#include <cstddef>
#include <memory>

// Render's periods, one per pass, as a bridge needs them: when the period a pass serves
// began, on the performance counter. The endpoint's position may lag the period's boundary
// (it counts what reached the speakers; a device may report its latest period only a little
// after signalling the next), so the periods are counted, one per pass from the first, which
// the stream's first signal ends. The position, extrapolated to the wake, keeps the count
// honest: two passes in a row that find it a period or more ahead of the count lost that
// many (the signals of two periods folded into one, and the host's stream moved on against
// render's); two that find it half a period or more behind counted one too many. One pass
// alone proves nothing: a pass a period late is followed at once by the next, whose signal
// waited.
struct RenderPeriods {
    IAudioClock* clock = nullptr;
    double frequency = 0; // the clock's position units per second
    double start = -1;    // render's position (frames) where the period of the last pass began
    int lastOffBy = 0;    // the last pass found the count this many periods behind (-1: ahead)
    // Counts the pass's period, of `frames` at `rate`, whose signal woke the thread at
    // wokeSeconds (performance counter): when it began, in 100-ns units; negative when the
    // clock cannot be read.
    double next(uint32_t frames, double rate, double wokeSeconds);
};

// When frames written to a playback device play, against the start of the period that
// wrote them, as its position tells: the median of the first kSamples periods', then fixed.
// A device's position counts the frames a stall let it play without the stream as played,
// so after one, frames written later would seem to play earlier than they do by what it
// played without them; the periods, counted and set right by the position, do not.
struct OutputTiming {
    static constexpr unsigned kSamples = 15;
    double samples[kSamples] = {};
    unsigned count = 0;
    double offset = 0; // 100-ns units
    void add(double sample) {
        if (count == kSamples) return;
        samples[count++] = sample;
        double sorted[kSamples];
        std::copy(samples, samples + count, sorted);
        std::nth_element(sorted, sorted + count / 2, sorted + count);
        offset = sorted[count / 2];
    }
};

// The capture side of a stream whose two directions run on two devices' clocks
// (clocksApart): captured packets go into the bridge with their device times, and each
// render period's input half comes out of it, resampled into render's clock. Made by start
// with everything it needs, owned by the thread's hold.
struct CaptureBridge {
    vl::ClockBridge clocks;
    std::unique_ptr<float[]> scratch; // one period per channel
    float* out[vl::kMaxChannels] = {};
    uint32_t frames = 0;    // the host's buffer
    unsigned channels = 0;  // the capture stream's
    int32_t packetType = 0; // the capture endpoint's samples (floats when shared)
    double rate = 48000;
    RenderPeriods periods; // render's, as the thread finds its clock
    UINT64 timeOrigin = 0; // 100-ns units: the bridge's times are seconds from here
    // Dropout evidence of the capture packets.
    vl::PositionWatch position;
    bool firstPacket = true;
    unsigned firstChannel = 0; // the host's input its first channel goes to
    // A loopback stream: no packets while nothing plays, and its own clock (IAudioClock,
    // position units per second) to tell the silence by.
    bool loopback = false;
    uint32_t packetFrames = 0; // the capture stream's period
    IAudioClock* ownClock = nullptr;
    double ownFrequency = 0;
    uint64_t trouble = 0;      // the bridge's made-up input at the last pass
    bool began = false;        // its input has begun (the bridge ran at a pass before)

    // For a stream of `channels` capture channels at `frames` per buffer, whose packets are
    // capturePeriod frames long (0: a buffer's), its input held `padding` frames longer than
    // the bridge needs; false when memory runs out.
    bool setup(unsigned channels, uint32_t frames, double rate, int32_t packetType,
               uint32_t capturePeriod = 0, uint32_t padding = 0);
};

// The extra frames the bridge holds beyond the capture period it waits for, for late wakes
// and packets delivered late.
constexpr uint32_t kBridgeMarginFrames = 40;

// Takes every capture packet waiting into the bridge. *lost: a packet says periods were lost
// before it; the result is the endpoint's error when it went away, else S_OK.
HRESULT bridgeCapture(CaptureBridge& bridge, IAudioCaptureClient* capture, bool* lost);
// A loopback stream's packets stop while nothing plays on its device, whose clock runs on:
// once they are overdue by more than a period and a half, the silence they stand for goes
// into the bridge at the device's times, up to its position now, as if it had come.
void bridgeSilence(CaptureBridge& bridge);
// Fills the host's input half from the bridge, for the render period that has just begun
// (its signal woke the thread at wokeSeconds, on the performance counter).
void bridgeInput(ASIOSrv* self, CaptureBridge& bridge, uint8_t half, double wokeSeconds);

// A playback device after the first, on its own clock: each half the host fills for its
// channels goes into the bridge at the time the first playback device plays it, and the
// device's buffer is kept full from the bridge, resampled into its clock, at the times it
// plays. Made by start, owned by the thread's hold.
struct OutputBridge {
    vl::ClockBridge clocks;
    std::unique_ptr<uint8_t[]> half;  // one host half of its channels, interleaved
    std::unique_ptr<float[]> scratch; // the device's buffer, per channel
    float* out[vl::kMaxChannels] = {};
    uint32_t hostFrames = 0;   // the host's buffer
    uint32_t deviceFrames = 0; // the device's buffer
    unsigned channels = 0;
    unsigned firstChannel = 0; // the host's output its first channel comes from
    int32_t hostType = 0;      // the host's samples
    double rate = 48000;
    UINT64 timeOrigin = 0;
    uint64_t written = 0;      // frames written to the device since its start
    uint32_t periodFrames = 0; // the device's period: the engine's, or exclusive its buffer
    // Exclusive: each event takes the whole buffer, one period, in the device's own samples
    // (deviceType), converted channel by channel into `blocks` and interleaved from there.
    bool exclusive = false;
    int32_t deviceType = vl::kSampleTypeFloat32LSB;
    std::unique_ptr<uint8_t[]> blocks;
    // How much later than its position says the device plays what it is given, less the
    // same of the first playback device, whose position stamps the halves (100-ns units):
    // their latencies' difference, which is 0 for two shared devices at one period and a
    // period less for an exclusive one beside a shared first.
    double playsLater = 0;
    RenderPeriods periods;     // the device's, one per event that found frames played
    OutputTiming timing;
    bool setup(unsigned channels, uint32_t hostFrames, uint32_t deviceFrames, double rate,
               int32_t hostType);
};

// The configuration of an output bridge: the latency it adds is its target (engine.h users
// size the first playback device's delay by it before the bridge exists).
vl::ClockBridge::Config outputBridgeConfig(unsigned channels, uint32_t hostFrames,
                                           uint32_t deviceFrames, double rate);

// The host's half of an output bridge's channels into the bridge, played by the first
// playback device at playsAt (100-ns units, on the performance counter; negative: unknown).
void bridgeOutput(ASIOSrv* self, OutputBridge& bridge, uint8_t half, double playsAt);
// Fills the device's buffer from the bridge, at the times its clock says the frames play.
// The endpoint's error when it went away, else S_OK.
HRESULT bridgeToDevice(OutputBridge& bridge, IAudioClient* client, IAudioRenderClient* render,
                       IAudioClock* clock, double wokeSeconds);

// Allocator of the host's buffer blocks (malloc); a test may replace it to make an
// allocation fail. Blocks are freed with free().
extern void* (*blockAllocator)(size_t bytes);

// What a streaming thread holds for itself (rule 2 above).
// A recording device after the first, as its streaming thread holds it: its own reference on
// the client, its own duplicate of the event, and its bridge.
struct ExtraHold {
    IUnknown* client = nullptr;
    HANDLE event = nullptr;
    CaptureBridge* bridge = nullptr; // a recording device's
    OutputBridge* output = nullptr;  // a playback device's
};

struct StreamHold {
    ASIOSrv* self = nullptr;         // one of self->holds
    IUnknown* client[2] = {};        // own references on audioClient[0] and [1], or none
    HANDLE event[2] = {};            // own duplicates of bufferEvent[0] and [1], or none
    ASIOCallbacks callbacks = {};    // the host's callbacks as start found them
    HMODULE module = nullptr;        // the code the thread runs, kept loaded until it has left
    CaptureBridge* bridge = nullptr; // with both directions, event-driven, or none
    bool clocksApart = false;        // the bridge is on from the start
    ExtraHold extra[kMaxExtraDevices];
    unsigned extras = 0;
    ExtraHold extraOut[kMaxExtraDevices]; // playback devices after the first
    unsigned extraOuts = 0;
    uint32_t outputDelay = 0; // frames the first playback device is held back by, to match them
};

// Asks the host, through asioMessage, whether it takes time information with its switches.
bool hostTakesTimeInfo(const ASIOCallbacks& callbacks);

// The streaming thread's answer to an endpoint that went away (unplugged, its adapter gone):
// no more switches; the host is asked once, through asioMessage, to reset the driver, and
// the thread ends. stop, disposeBuffers and Release then work as after any stream.
void requestReset(ASIOSrv* self, const ASIOCallbacks& host, HRESULT why);

// Whether a held audio client says its endpoint is gone (asked only when its events stopped).
bool endpointGone(IUnknown* held);

// An output half the host is filling in its switch, to go to the render endpoint as soon as
// it is ready: on outputReady, or when the switch returns.
struct OutputHandover {
    IAudioRenderClient* render = nullptr;
    uint32_t frames = 0;
    // A shared render stream's client and buffer: the engine reads that buffer at its own
    // pace, so a half is written only where it fits beside what is queued.
    IAudioClient* sharedClient = nullptr;
    uint32_t bufferFrames = 0;
    uint8_t half = 0;
    bool sent = false;
    HRESULT result = S_OK;  // of GetBuffer, once sent; S_FALSE: left out, no room
    bool padded = false;    // silence went in first: the engine had played its queue dry
    long targetQueued = -1; // shared: frames queued when a half goes in (the first pass's)
    long queuedAtWake = -1; // shared: what the pass found queued as it began, or -1 (not asked)
    LONGLONG sentTicks = 0; // performance counter when ReleaseBuffer returned
    // With playback devices after the first: the endpoint's clock, the frames written to it
    // (the silence start put in included), and when the frame the last half went to plays
    // (100-ns units; 0: none went, or unknown). Their outputs come as late as theirs: each half is held
    // back by `delay` frames in a ring of ringFrames.
    IAudioClock* clock = nullptr;
    double clockFrequency = 0;
    uint64_t written = 0;
    UINT64 playsAt = 0;
    std::unique_ptr<uint8_t[]> ring;
    uint32_t delay = 0, ringFrames = 0, ringPos = 0, frameBytes = 0;
};

// Hands one output half to the render endpoint (GetBuffer, copy, ReleaseBuffer), once.
void sendOutput(ASIOSrv* self, OutputHandover& out);

// Tells the host, once it says it takes the message, that a period was lost. Asks
// kAsioSelectorSupported the first time only; *supported carries the answer between calls
// (-1 before the first).
void requestResync(const ASIOCallbacks& host, int* supported);

// How long stop waits for the streaming thread.
constexpr DWORD kThreadWaitMs = 2000;
// stop's pause after the wait lasts one buffer, but never longer than the longest buffer
// getBufferSize offers (one second), whatever the rate has become since createBuffers.
constexpr DWORD kMaxStopPauseMs = 1000;

// Asks a held IUnknown for a working interface: a new reference, or none.
template <typename T> HRESULT queryFrom(IUnknown* from, ComRef<T>& to) {
    if (!from) return E_POINTER;
    return from->QueryInterface(__uuidof(T), to.putVoid());
}
