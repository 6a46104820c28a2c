// The driver object. Its IASIO methods are defined in the folder of the subsystem that owns
// them: identity queries and lifecycle here in driver/, init, channels, rates and buffer
// sizes in endpoint/, buffers, start/stop and the streaming threads in stream/, the control
// panel in panel/.
//
// Fields are public: they are the object's whole state, and the tests under Wine read
// them. Hosts never see this class, only its IASIO vtable.
#pragma once

#include "com/unknown.h"
#include "driver/asio.h"
#include "endpoint/formats.h"

#include <mmreg.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace vl {
class PositionWatch;
}

// {5D3A9C41-7E2B-4F68-A1D0-93C6B8E2F417}: the driver's class, and also the interface
// identifier of its IASIO interface.
extern const CLSID CLSID_ASIOSrv;

// "Vantrel ASIO device (HDAudio)": the built-in name of the driver.
extern const wchar_t kDriverNameW[];
extern const char kDriverNameA[];

// Per-user settings key, under HKEY_CURRENT_USER.
extern const wchar_t kSettingsKey[];

// Reads a value of the settings key through RegGetValueW with a type filter (RRF_RT_...).
// *value is 0 unless the read succeeded: RegGetValueW may leave the bytes of a refused value
// (another type, or too large) in the buffer, as Wine does. Returns the registry status.
LONG readSetting(const wchar_t* name, DWORD typeFilter, DWORD* value);

// Reads a REG_SZ value of the settings key into text (chars wide, always terminated; empty
// unless the read succeeded). Returns the registry status.
LONG readTextSetting(const wchar_t* name, wchar_t* text, DWORD chars);

// "RenderEndpoint" and "CaptureEndpoint": the endpoint ID a user chose for a direction.
extern const wchar_t* const kEndpointSetting[2];
// "RenderEndpoints" and "CaptureEndpoints" (REG_MULTI_SZ): the devices a user combined for a
// direction, in order; where present they stand in for the single choice above.
extern const wchar_t* const kEndpointListSetting[2];

// Reads a REG_MULTI_SZ value of the settings key into text (chars wide, always ending in two
// terminators; empty unless the read succeeded). Returns the registry status.
LONG readListSetting(const wchar_t* name, wchar_t* text, DWORD chars);

// The host's channels of a direction at the most: several devices' side by side.
constexpr int kMaxHostChannels = 32;
// Devices beyond the first of a direction at the most.
constexpr int kMaxExtraDevices = 8;

// Direction index of every per-direction pair.
enum : int { kRender = 0, kCapture = 1 };

// "StreamMode" (REG_SZ): how init opens the endpoints. Automatic, the default when the value
// is absent, unreadable or unknown: exclusively where Windows grants it, shared where it
// refuses exclusive mode (forbidden by the user, or another program on the endpoint).
enum class StreamMode { Automatic, Exclusive, Shared };
extern const wchar_t kStreamModeSetting[];
StreamMode readStreamMode();

// What an endpoint offers a shared stream, as init found it.
struct SharedEndpoint {
    bool usable = false;           // a shared stream of the mix format opens there
    WAVEFORMATEXTENSIBLE mix = {}; // the engine's mix format: 32-bit float, the stream's format
    vl::EnginePeriods periods;     // frames at the mix rate
    bool lowLatency = false;       // IAudioClient3: periods other than the default one
};

class ASIOSrv : public IASIO, public UnknownBase {
  public:
    explicit ASIOSrv(IUnknown* outer);
    ~ASIOSrv() override;

    // The class-table creation function: a new object's inner unknown, or null.
    static IUnknown* create(IUnknown* outer, HRESULT* hr);

    // IUnknown of IASIO: forwarded to the controlling unknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE innerQueryInterface(REFIID riid, void** ppv) override;
    // The last COM reference tears the driver down; the memory goes with the last hold
    // (see holds).
    ULONG STDMETHODCALLTYPE innerRelease() override;

    // IASIO
    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    long getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(long* numInputChannels, long* numOutputChannels) override;
    ASIOError getLatencies(long* inputLatency, long* outputLatency) override;
    ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                            long* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) override;
    ASIOError setClockSource(long reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(long selector, void* opt) override;
    ASIOError outputReady() override;

    // What start opens: per direction, how many host channels it carries (the highest channel
    // with a buffer, plus one), 0 for a direction it leaves closed.
    struct StreamPlan {
        unsigned channels[2] = {};
        bool empty() const { return !channels[0] && !channels[1]; }
    };
    // The plan of the current buffer set, which start opens.
    StreamPlan bufferPlan() const;
    // The plan sizes and latencies are offered for before a host names its channels: every
    // bound endpoint with its own channels, or more where the current set has buffers beyond
    // them. A size every direction of it grants is granted to any subset of it too.
    StreamPlan queryPlan() const;
    // The format start opens a direction of a plan with; false when it has no layout.
    bool planFormat(int direction, const StreamPlan& plan, WAVEFORMATEXTENSIBLE* format) const;
    // Whether a stream of that many frames opens on the endpoints of a plan as start opens it:
    // Yes when every direction that can be asked grants exactly that size, No when one
    // refuses it (alignment, period, length, format), Unknown when none can be asked (held by
    // another stream, gone, no endpoint).
    enum class Grant { Yes, No, Unknown };
    Grant sizeStarts(const StreamPlan& plan, uint32_t frames);
    // The stream flags start opens a direction of a plan with.
    DWORD streamFlags(int direction, const StreamPlan& plan) const;

    // Buffer sizing: the frame count an endpoint grants for a duration in a format, 0 when
    // refused.
    uint32_t alignedFramesForDuration(IUnknown* device, LONGLONG duration,
                                      const WAVEFORMATEX* format);
    // The format a direction streams with (and is probed with): its endpoint's own channel
    // count, or more when the host has buffers beyond it; false when that count has no layout.
    bool directionFormat(int direction, unsigned channels, double rate,
                         WAVEFORMATEXTENSIBLE* format) const;

    // Whether capture and render run on two devices' clocks: both bound, and their endpoints
    // name different devices (PKEY_Device_ContainerId). Captured audio then reaches the host
    // through the clock bridge, resampled into render's clock.
    bool clocksApart() const;
    // Whether the stream start opens for the current buffers goes through the bridge: both
    // directions, on two clocks (two devices, or, event-driven, rates measured apart).
    bool bridged() const;
    // The running stream found its two clocks apart and turned the bridge on.
    std::atomic<bool> bridging{false};
    // The frames the clock bridge holds between the capture clock and the host's input at a
    // buffer of that many frames: the input latency it adds beyond the endpoint's.
    static long bridgeFrames(uint32_t bufferFrames);
    // The frames an output bridge holds a playback device after the first behind the first
    // one, at a buffer of bufferFrames and a device buffer of deviceFrames.
    static double outputBridgeTarget(uint32_t bufferFrames, uint32_t deviceFrames, double rate);

    // Whether the streaming thread runs timer-driven: shared streams are always event-driven.
    bool timerDriven() const { return TimerDrivenMode && !shared[kRender] && !shared[kCapture]; }

    // Streaming routines, all on the streaming thread. The switch goes to the thread's own copy
    // of the host's callbacks, and never once stop has cleared running.
    void signalBufferSwitch(const ASIOCallbacks& host, ASIOTime* timeInfo, bool useTimeInfo,
                            ASIOBool directProcess);
    void copyRenderHalf(uint8_t halfIndex, BYTE* endpointBuffer);
    void copyCaptureHalf(uint8_t halfIndex, const BYTE* endpointBuffer);
    void copyRenderRange(uint32_t position, uint32_t frames, BYTE* endpointBuffer);
    void copyCaptureRange(uint32_t position, uint32_t frames, const BYTE* source);
    ASIOError ProcessData(uint32_t direction, IUnknown* service, uint32_t position,
                          uint32_t frames);
    // Moves a waiting capture packet into the ring, after silence in place of any frames the
    // device lost before it (`positions` follows the packets' device positions), so that the
    // input keeps its place against render; the endpoint's answer (an error when it went
    // away). *startSeconds, when still negative, gets the performance-counter time (seconds)
    // of the device's position 0 from the first packet that carries a time.
    HRESULT stageCapture(IUnknown* service, BYTE* ring, uint32_t ringFrames, uint32_t* writePos,
                         uint32_t bytesPerFrame, vl::PositionWatch* positions,
                         double* startSeconds);

    // The thread procedures; each takes the StreamHold that start made for it (stream/engine.h).
    static DWORD WINAPI eventDrivenThread(LPVOID hold);
    static DWORD WINAPI timerDrivenThread(LPVOID hold);

    // Fields. [0] = render (host outputs), [1] = capture.
    IUnknown* deviceEnumerator = nullptr;
    IUnknown* device[2] = {};
    IUnknown* audioClient[2] = {};
    wchar_t* endpointId[2] = {};
    uint16_t channelCount[2] = {2, 2};
    // Each endpoint's own channel count, from its device format as init found it: the count
    // every stream and probe of that endpoint uses (channelCount is the running stream's).
    uint16_t deviceChannels[2] = {2, 2};
    void* asioBuffers[2][kMaxHostChannels] = {};
    // Each direction's first device's host channels (getChannels' count for it); the channels
    // of the devices after it follow from here on.
    uint16_t firstChannels[2] = {};
    // The physical device an endpoint belongs to, when it says (its container ID). Two
    // endpoints of one device run on one clock.
    struct DeviceId {
        bool known = false;
        GUID container = {};
        bool same(const DeviceId& other) const {
            return known && other.known && IsEqualGUID(container, other.container);
        }
    };
    // Devices after a direction's first: each a stream on its own clock, bridged into the
    // first playback device's, its channels after the ones before it. Bound by init, which
    // decides each one's mode as it does a first device's: exclusive where Windows grants
    // it, else shared; loopback streams are always shared.
    struct ExtraDevice {
        wchar_t* id = nullptr;      // endpoint ID (task allocator)
        wchar_t name[64] = {};      // friendly name, for its channels' names
        wchar_t entry[128] = {};    // the list's entry that named it, for init's log
        uint16_t channels = 0;      // its stream's: the mix format's, or exclusive the device's
        uint16_t first = 0;         // the host channel of its first
        bool loopback = false;      // what a playback device plays (id is that device's)
        bool otherPrograms = false; // what every other program plays (process loopback)
        bool shared = true;         // streams through the engine (false: exclusively)
        // The physical device it belongs to (for a loopback, the playing one's).
        DeviceId device;
        // An exclusive stream's samples: 16-bit or 24 in 32, as the device's own format.
        int32_t deviceType = vl::kSampleTypeFloat32LSB;
        // The samples its stream carries: the engine's floats when shared.
        int32_t streamType() const { return shared ? vl::kSampleTypeFloat32LSB : deviceType; }
        SharedEndpoint sharedEndpoint; // what init found it offers
        // While streaming: its client (IUnknown), its event, its packets' length and latency.
        IUnknown* audioClient = nullptr;
        HANDLE bufferEvent = nullptr;
        uint32_t periodFrames = 0;
        uint32_t bufferFrames = 0; // the stream's buffer
        long latencyFrames = 0;
    } extraDevices[2][kMaxExtraDevices];
    unsigned extraCount[2] = {};
    // A device after the first on the first playback device's own clock: one physical device
    // (both say so), or what that device itself plays.
    bool onRenderClock(const ExtraDevice& extra) const;
    // Lets go of the extra devices' streams (stop) or of them altogether (init, teardown).
    void closeExtraDevices();
    void releaseExtraDevices();
    // The host channels of a direction that its first device streams: those below 16, or
    // with devices after it, its own.
    unsigned firstDeviceChannels(int direction) const {
        return extraCount[direction] ? firstChannels[direction] : 16;
    }
    // Whether a host channel of a direction can have a buffer.
    bool channelExists(int direction, long channel) const {
        if (channel < 0) return false;
        if (unsigned(channel) < firstDeviceChannels(direction)) return true;
        const unsigned n = extraCount[direction];
        return n && channel < extraDevices[direction][n - 1].first +
                                  extraDevices[direction][n - 1].channels;
    }
    // The extra device a host channel belongs to, or none.
    const ExtraDevice* extraDeviceOf(int direction, long channel) const {
        const ExtraDevice* found = nullptr;
        if (channel >= 0 && unsigned(channel) >= firstDeviceChannels(direction))
            for (unsigned i = 0; i < extraCount[direction]; ++i)
                if (channel >= extraDevices[direction][i].first)
                    found = &extraDevices[direction][i];
        return found;
    }
    // Whether the host has buffers on a recording device after the first.
    bool extraWanted(int direction) const;
    // The input latency every input shares when there are recording devices after the first:
    // the largest of the recording devices' own, to which each is padded in its bridge.
    long sharedInputLatency();
    // The output latency getLatencies reports (0 without a buffer size or a render endpoint).
    long outputLatency();
    // How much later than the first playback device the ones after it play the host's output
    // (the latency their bridges add): the first is held back as long, so that every output
    // keeps one latency. 0 without buffers on them.
    long outputBridgeFrames();
    // How much longer than the recording devices' own latency a loopback source's input is
    // held: its click comes back at the reported input + output latency, as through a cable
    // of no length.
    long loopbackPadding(const ExtraDevice& extra, long shared);
    HANDLE bufferEvent[2] = {};
    HANDLE threadReadyEvent = nullptr;
    double sampleRate = 0.0;
    int32_t bufferFrames = 0;
    // Shared with the streaming thread, which writes them while host threads read them. Each
    // has one writer and readers that accept the previous switch's value: relaxed.
    std::atomic<uint64_t> switchCount{0};
    std::atomic<uint32_t> switchTimeMs{0};
    HANDLE threadHandle = nullptr;
    // The stop signal: stop stores false (release) before it sets the buffer events; the
    // thread loads it (acquire) after every wake.
    std::atomic<bool> running{false};
    FILE* logFile = nullptr;
    uint32_t createdTick = 0;
    bool TimerDrivenMode = false;
    bool comInitialized = false;
    DWORD comThread = 0; // the thread whose COM start initialised, while comInitialized
    ASIOSampleType sampleType[2] = {ASIOSTInt16LSB, ASIOSTInt16LSB};
    ASIOCallbacks callbacks = {};
    // The mode each direction streams in (true: shared, through the engine's mix format),
    // decided by init and what the endpoint offers that way.
    bool shared[2] = {false, false};
    SharedEndpoint sharedEndpoint[2];
    // The device each bound endpoint belongs to, as init read it (known: it has one).
    DeviceId deviceId[2];
    // The sample type each direction's blocks were made for (valid while it has blocks).
    ASIOSampleType bufferSampleType[2] = {ASIOSTInt16LSB, ASIOSTInt16LSB};
    // getErrorMessage's text: why the last init, createBuffers or start failed, in words a
    // musician can act on; empty once one of them succeeds.
    char errorText[124] = {};

    // What the last answers found, so that queries made while a stream holds the endpoints
    // answer as before start. Cleared by init.
    struct OfferedSizes {
        bool known = false;
        DWORD ms = 0; // the preferred length they were measured for
        long minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    } offeredSizes;
    long offeredChannels[2] = {-1, -1}; // getChannels' counts, -1 until found

    // Who keeps the object's memory: 1 for its COM life, plus 1 per streaming thread that
    // has not ended. The last to let go deletes it, on whichever thread that is.
    volatile LONG holds = 1;
    void letGo();
    // The streaming thread's id while it runs, 0 otherwise; written by the thread itself.
    std::atomic<DWORD> streamingThreadId{0};
    // The host has called outputReady since init or its last disposeBuffers: the event-driven
    // thread then hands each output half to the endpoint as soon as the host has filled it.
    std::atomic<bool> hostCallsOutputReady{false};
    // The half the event-driven thread waits to hand over while the host's switch runs, for
    // outputReady to send at once; touched on the streaming thread only.
    struct OutputHandover* pendingOutput = nullptr;

  private:
    friend class ControlLock;
    // Serialises the host calls that change the streaming state (init, createBuffers, start,
    // stop, disposeBuffers, the final teardown); never taken by the streaming pass itself.
    CRITICAL_SECTION controlLock;
    bool tornDown = false;

    // A stream is running, or open still: its switch stopped it while another call held the
    // lock, and only running was cleared.
    bool streamOpen() const {
        if (running.load(std::memory_order_relaxed) || audioClient[0] || audioClient[1])
            return true;
        for (int d = kRender; d <= kCapture; ++d)
            for (unsigned i = 0; i < extraCount[d]; ++i)
                if (extraDevices[d][i].audioClient) return true;
        return false;
    }
    // The endpoints are held by this object's stream, or by a thread of it still ending:
    // queries answer from what that stream knows instead of asking them.
    bool endpointsHeld() const { return streamOpen() || threadHandle; }
    // The destructor's work that must not wait for the memory: run by the last Release.
    void tearDown();
    // disposeBuffers without its entry line: the destructor's own line stands for it.
    void releaseBufferSet();
    // Closes the handle of a streaming thread that has ended; keeps one that still runs.
    void collectStoppedThread();
    // Undoes start's CoInitializeEx, on the thread that made it only.
    void releaseCom();
    // The smallest buffer the endpoints grant, the largest, the preferred one (for
    // preferredMs, or the default period when 0) and the step between, as getBufferSize
    // reports them; nothing logged.
    ASIOError measureBufferSizes(const StreamPlan& plan, long* minSize, long* maxSize,
                                 long* preferredSize, long* granularity, DWORD preferredMs);
    // How many channels getChannels offers for a direction (quiet: nothing logged), and the
    // same as the stream running knows them.
    long channelsOffered(int direction, bool log);
    // The time record of the streaming threads' switches, before its positions are filled.
    void prepareTimeRecord(ASIOTime* record) const;
};

// Holds the object's control lock for a scope.
class ControlLock {
  public:
    explicit ControlLock(ASIOSrv* s) : lock_(&s->controlLock) { EnterCriticalSection(lock_); }
    // Takes over a lock already entered (TryEnterCriticalSection).
    ControlLock(ASIOSrv* s, bool entered) : lock_(&s->controlLock) { (void)entered; }
    ~ControlLock() { LeaveCriticalSection(lock_); }
    ControlLock(const ControlLock&) = delete;
    ControlLock& operator=(const ControlLock&) = delete;

  private:
    CRITICAL_SECTION* lock_;
};
