// The simulated audio endpoint service: test-facing API.
//
// A COM implementation of IMMDeviceEnumerator, IMMDevice, IPropertyStore, IAudioClient (2, 3),
// IAudioRenderClient, IAudioCaptureClient and IAudioClock that behaves like an HD Audio
// endpoint in exclusive mode and like the Windows audio engine in shared mode; every object
// is agile (it aggregates the free-threaded marshaler). Two uses, same code:
//  - linked into a Windows test program (library vlasio_sim): install() registers the
//    enumerator's class object for the process, so that the driver's own
//    CoCreateInstance(CLSID_MMDeviceEnumerator, ..., CLSCTX_ALL, IID_IMMDeviceEnumerator)
//    reaches it, and the test configures and drives it through the functions below;
//  - as the COM server vlasio-sim.dll, registered in a Wine prefix in place of the system's
//    enumerator and configured from a file (see sim/README.md).
//
// Behaviour in short (details in sim/README.md):
//  - Endpoints: one render and one capture endpoint by default, each optional, or several
//    per direction. GetDefaultAudioEndpoint(flow, any role) and GetDevice(id) give a new
//    IMMDevice each call; an absent endpoint or unknown ID gives E_NOTFOUND;
//    EnumAudioEndpoints lists the endpoints whose state the mask names. An unplugged
//    endpoint is DEVICE_STATE_NOTPRESENT and its clients answer AUDCLNT_E_DEVICE_INVALIDATED.
//  - Exclusive-mode rules: IsFormatSupported(EXCLUSIVE) accepts PCM in the configured
//    channel layouts, rates and sample formats (WAVEFORMATEX or WAVEFORMATEXTENSIBLE;
//    an extensible format's mask must equal the layout's), else AUDCLNT_E_UNSUPPORTED_FORMAT.
//    Initialize(EXCLUSIVE): CO_E_NOTINITIALIZED on a thread without COM;
//    AUDCLNT_E_ALREADY_INITIALIZED on a second call (also after a not-aligned refusal);
//    AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL when event-driven and duration != periodicity;
//    AUDCLNT_E_INVALID_DEVICE_PERIOD below the minimum period; AUDCLNT_E_BUFFER_SIZE_ERROR
//    above 500 ms event-driven, 2 s timer-driven, or maximumDuration;
//    AUDCLNT_E_DEVICE_IN_USE while another client holds the endpoint;
//    frames = duration x rate rounded to the nearest frame (or up), and when frames x block size is
//    not a multiple of alignmentBytes, AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED, after which
//    GetBufferSize of that client reports the next aligned frame count. A periodicity of 0
//    means the default period. Stream flags 0 (timer-driven) work too: the endpoint then
//    moves one periodicity's worth of frames per period through a buffer of `duration`.
//    The exclusive hold ends when the client and its services are all released.
//  - Streaming: after Start the endpoint runs one period per clock tick. Render: each tick
//    plays one period from what the client released (silence and a missed period when it
//    is short), then sets the event; Start sets it at once when the buffer has room.
//    Capture: each tick appends one packet of the configured signal and sets the event; a
//    packet the client has not taken when the buffer is full is dropped and the next one
//    carries AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY.
//  - Shared mode (sim/README.md): the mix format only; Initialize with periodicity 0 or
//    IAudioClient3::InitializeSharedAudioStream with a period on the engine's grid; one engine
//    period for all the endpoint's shared streams; render writes up to buffer - padding;
//    capture packets of one engine period; each shared side adds one engine period (its
//    GetStreamLatency) on the loopback line. otherStreams puts another program on the
//    endpoint: Shared refuses exclusive streams, Exclusive refuses all.
//  - Loopback: Initialize(SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, ...) on a render endpoint gives
//    a capture stream of the engine's mix (every shared stream and otherSignal), on the
//    render device's clock, with no packets and no events while nothing plays there.
//    ActivateAudioInterfaceAsync (exported by vlasio-sim.dll, and activateAudioInterfaceAsync
//    below) activates endpoints and process loopback.
//  - Render GetBuffer: AUDCLNT_E_OUT_OF_ORDER while a buffer is out,
//    AUDCLNT_E_BUFFER_SIZE_ERROR for anything but the whole buffer in event-driven exclusive mode,
//    AUDCLNT_E_BUFFER_TOO_LARGE beyond the free space; ReleaseBuffer with more than asked:
//    AUDCLNT_E_INVALID_SIZE, with less in event-driven mode: AUDCLNT_E_BUFFER_SIZE_ERROR.
//    Capture GetBuffer without a packet: AUDCLNT_S_BUFFER_EMPTY; ReleaseBuffer with a
//    count other than 0 or the packet's: AUDCLNT_E_INVALID_SIZE.
//
// Threads: every function here may be called from any thread. The sim's state is guarded
// by one mutex, never held while the client's code runs.
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Direction of an endpoint; the values match eRender / eCapture and the driver's indices.
// Any is a filter that matches both (and calls that have no direction).
enum class Flow { Render = 0, Capture = 1, Any = 2 };

// Realtime: a clock thread ticks each running stream once per its period (for end-to-end
// runs). Manual: nothing ticks until the test calls step().
enum class Clock { Realtime, Manual };

// What a capture endpoint delivers.
//  Counter:  per-channel counter; see counterSample().
//  Sine:     sineHz at sineAmplitude of full scale, the same on every channel, phase 0 at
//            the stream's first frame.
//  Loopback: what the render endpoint played, loopbackDelayFrames later (channels mapped
//            by index, the rest zero; 16-bit and 24-in-32 converted by shifting); silence
//            while the render endpoint does not play. Across two devices (container ids)
//            it is sampled at the capture clock's own times, as through a cable.
//  Silence:  zeros.
enum class Signal { Counter, Sine, Loopback, Silence };

enum class OtherStreams { None, Shared, Exclusive };

struct ChannelLayout {
    WORD channels;
    DWORD mask; // the dwChannelMask an extensible format must carry for this count
};

struct SampleFormat {
    WORD containerBits; // wBitsPerSample
    WORD validBits;     // Samples.wValidBitsPerSample (= containerBits for WAVEFORMATEX)
};

struct EndpointConfig {
    bool present = true;
    std::wstring id;           // IMMDevice::GetId; must differ between all endpoints
    std::wstring description;  // PKEY_Device_DeviceDesc (VT_LPWSTR); empty: VT_EMPTY
    std::wstring friendlyName; // PKEY_Device_FriendlyName; empty: VT_EMPTY

    // PKEY_AudioEngine_DeviceFormat as VT_BLOB: deviceFormatBlob verbatim when not empty,
    // else deviceFormat (18 bytes + cbSize). hasDeviceFormat false: the value is VT_EMPTY.
    WAVEFORMATEXTENSIBLE deviceFormat{};
    std::vector<BYTE> deviceFormatBlob;
    bool hasDeviceFormat = true;

    // GetMixFormat: a copy (18 bytes + cbSize) from the task allocator.
    WAVEFORMATEXTENSIBLE mixFormat{};

    // Exclusive formats accepted: every combination of a layout, a rate and a sample format,
    // as integer PCM (KSDATAFORMAT_SUBTYPE_PCM or WAVE_FORMAT_PCM).
    std::vector<ChannelLayout> layouts;
    std::vector<DWORD> rates;
    std::vector<SampleFormat> sampleFormats;

    REFERENCE_TIME defaultPeriod = 100000; // GetDevicePeriod, 100-ns units
    REFERENCE_TIME minimumPeriod = 26667; // 128 frames at 48 kHz
    // The device's own longest buffer; Windows' limits (500 ms event-driven, 2 s
    // timer-driven) hold whatever this says.
    REFERENCE_TIME maximumDuration = 20000000;
    UINT32 alignmentBytes = 128;              // buffer size alignment; 1 means none

    // Where real drivers differ (sim/README.md names the documentation of each).
    bool roundFramesUp = false;            // duration -> frames: up (the buffer is at least the
                                           // duration), else to the nearest frame
    bool initializeAgain = true;           // false: a client whose Initialize failed, for any
                                           // reason, refuses another (ALREADY_INITIALIZED)
    bool nextPacketSizeZero = false;       // capture GetNextPacketSize: 0 frames, S_OK
    bool paddingZero = false;              // GetCurrentPadding: 0 frames, S_OK
    HRESULT exclusiveRefusal = S_OK;       // from every exclusive Initialize: EXCLUSIVE_MODE_NOT_
                                           // ALLOWED (the user forbade it; shared streams work),
                                           // or DEVICE_IN_USE (= otherStreams Exclusive)
    // The device this endpoint belongs to (PKEY_Device_ContainerId, VT_CLSID). Endpoints of
    // one container run on one clock: the clock settings of the first of them listed (render
    // first) hold for all.
    GUID containerId{};
    bool reportContainer = true;    // false: the property store has no PKEY_Device_ContainerId
    double clockPpm = 0;            // the device's clock runs fast by this much (+-5000)...
    double clockWanderPpm = 0;      // ...give or take this much, a sine over
    double clockWanderSeconds = 60; // this period (a crystal warming and cooling)
    double clockPhase = 0;          // ticks this fraction of a period after the other
                                    // direction's grid (of the same period) at Start
    UINT32 startLatePeriods = 0;    // a Start takes effect this many periods late (the
                                    // client's thread held up between its two Start calls)
    DWORD clockStallAfterMs = 0;    // this long after the first Start on this endpoint, the
    DWORD clockStallMs = 0;         // clock thread of every device stops this long, once (a
                                    // machine that held it up), then catches up
    DWORD packetFlags = 0;                 // capture: flags carried by every packetFlagsEvery-th
    UINT32 packetFlagsEvery = 0;           // packet (0: none); SILENT packets hold noise
    bool firstPacketDiscontinuity = false; // the first packet after Start says DISCONTINUITY

    // Other programs' streams on the endpoint. Shared: exclusive Initialize is refused with
    // DEVICE_IN_USE, shared streams work. Exclusive: both are refused with DEVICE_IN_USE.
    OtherStreams otherStreams = OtherStreams::None;
    // Render: what another program's shared stream plays into the engine's mix, heard by
    // loopback clients (Silence, Sine at sineHz and sineAmplitude, or Counter); it plays
    // whenever otherStreams is Shared, so the engine runs and loopback packets come.
    Signal otherSignal = Signal::Silence;
    // Render: loopback clients get their event each engine pass (Windows 10 1703 on); false:
    // as before, Initialize and SetEventHandle succeed and the event is never set.
    bool loopbackEvents = true;

    // The shared-mode engine (IAudioClient3::GetSharedModeEnginePeriod), in frames at the mix
    // format's rate. A device without low-latency support has all four equal.
    UINT32 engineDefaultPeriod = 480;
    UINT32 engineFundamentalPeriod = 32;
    UINT32 engineMinimumPeriod = 128;
    UINT32 engineMaximumPeriod = 480;
    bool audioClient3 = true; // false: clients answer IAudioClient2/3 with E_NOINTERFACE
    bool audioClient3NotImpl = false; // IAudioClient3 there, its period methods E_NOTIMPL
    // A shared stream's buffer: at least this many engine periods (Windows grants 22 ms for
    // its 10 ms period), or the duration asked when that is longer.
    double sharedBufferPeriods = 2.2;

    // IAudioClock::GetPosition: the position where the device is at the call (frame), or
    // where it was at its latest period boundary (period, as some stacks keep it); and the
    // time stamp of that position (position), or of the call (call).
    bool positionPerPeriod = false;
    bool qpcAtCall = false;
    // Realtime clock: each event is set up to this much after its tick, never before it.
    double eventJitterMs = 0;

    Signal signal = Signal::Counter; // capture only
    UINT32 loopbackDelayFrames = 64;
    UINT32 hears = 0; // capture, Loopback: the render endpoint heard, as its place (1 = the
                      // first); 0: the one listed at this endpoint's place
    double sineHz = 1000.0;
    double sineAmplitude = 0.5;

    size_t recordLimitBytes = 64u << 20; // recording() keeps at most this much

    // With several endpoints of a direction: this one is the default (else the first
    // listed). A capture endpoint's Loopback signal is the render endpoint listed at the
    // same place, and the two share a clock (one device).
    bool isDefault = false;
    // The endpoint is unplugged once this file exists (a Windows path; checked about every
    // 50 ms by the realtime clock, and by the next call when no stream runs).
    std::wstring unplugFile;
};

// Defaults: present, 48 kHz stereo, device format 24-in-32 extensible (mask 0x3), mix
// format 32-bit float extensible stereo; accepts stereo (0x3) at 44100, 48000, 88200,
// 96000, 176400 and 192000 Hz in 16/16 and 32/24; periods 10 ms / 128 frames at 48 kHz; alignment
// 128; engine periods 480 / 32 / 128 / 480 frames; nobody else on the endpoint.
// Both in the container kDefaultContainer.
// Render: id L"{0.0.0.00000000}.{5b0c2d4e-8a61-4f3e-9d27-1c6a0e8b7f10}", "Speakers".
// Capture: id L"{0.0.1.00000000}.{9e4f7a12-3b5d-4c86-a0e1-7d2c5b9f3a64}", "Microphone",
// signal Loopback.
EndpointConfig defaultRender();
EndpointConfig defaultCapture();
constexpr GUID kDefaultContainer = {
    0x3d6a9f15, 0x82c4, 0x4b7e, {0xa0, 0x59, 0x1f, 0xe2, 0x6b, 0x8d, 0x47, 0xc3}};
// PKEY_Device_ContainerId (mingw-w64's headers lack it): the device container's GUID.
constexpr PROPERTYKEY kContainerIdKey = {
    {0x8c7ed206, 0x3f8a, 0x4827, {0xb3, 0xab, 0xae, 0x9e, 0x1f, 0xae, 0xfc, 0x6c}}, 2};

// Format records for configs and tests. pcmFormat gives a plain WAVEFORMATEX (tag PCM,
// cbSize 0) in the head of the record; extensibleFormat a WAVEFORMATEXTENSIBLE (cbSize 22,
// SubFormat PCM, or IEEE float when isFloat).
WAVEFORMATEXTENSIBLE pcmFormat(DWORD rate, WORD channels, WORD bits);
WAVEFORMATEXTENSIBLE extensibleFormat(DWORD rate, WORD channels, WORD containerBits, WORD validBits,
                                      DWORD mask, bool isFloat = false);

// --- Set-up --------------------------------------------------------------------------

// Registers the enumerator's class object (CLSID_MMDeviceEnumerator, CLSCTX_INPROC_SERVER,
// REGCLS_MULTIPLEUSE) and a malloc spy for the allocation accounting, then reset().
// COM must be initialised on the calling thread; the class object is visible in that
// apartment (with COINIT_MULTITHREADED: to every MTA thread), so call it on the thread that
// will call the driver's init. Returns the first failing HRESULT.
HRESULT install();
// Revokes both registrations, stops the clock thread. Objects still alive keep working.
void uninstall();

// Default endpoints, realtime clock, no faults, call counts and log cleared. Live objects
// and the accounting are not touched (they are the objects' own).
void reset();
// Replaces all endpoints with one of each direction. Objects made earlier keep their old
// endpoint (which answers as a removed device); GetDevice and GetDefaultAudioEndpoint answer
// from the new ones. An absent endpoint: present = false.
void configure(const EndpointConfig& render, const EndpointConfig& capture);
// The same with several endpoints per direction, in the order EnumAudioEndpoints lists them;
// the default of each direction is the one marked isDefault, else the first present one.
void configure(const std::vector<EndpointConfig>& render,
               const std::vector<EndpointConfig>& capture);
// ActivateAudioInterfaceAsync as Windows declares it (mmdeviceapi.h), also exported under that
// name by vlasio-sim.dll and by a test program that links the simulator: a client of an endpoint
// by its ID (DEVINTERFACE_AUDIO_RENDER / _CAPTURE as a string: the default one), or with
// L"VAD\\Process_Loopback" and a VT_BLOB of AUDIOCLIENT_ACTIVATION_PARAMS a process loopback
// client. The handler is called on a thread of the multithreaded apartment; see sim/README.md.
HRESULT activateAudioInterfaceAsync(const wchar_t* path, REFIID riid, PROPVARIANT* params,
                                    IActivateAudioInterfaceCompletionHandler* handler,
                                    IActivateAudioInterfaceAsyncOperation** op);
// Unplugs the endpoint with this ID, as when a USB device is pulled out: GetState answers
// DEVICE_STATE_NOTPRESENT, EnumAudioEndpoints(DEVICE_STATE_ACTIVE) leaves it out, its streams
// stop (no more events) and every call of its clients, Activate included, answers
// AUDCLNT_E_DEVICE_INVALIDATED. When it was the default, the next active endpoint of its
// direction becomes the default. False when no endpoint has this ID.
bool unplug(const std::wstring& id);
void setClock(Clock clock);
// Reads a configuration file (format in sim/README.md; an absolute Unix path is read through
// Wine's drive Z:) and applies it with configure() and setClock(). On an error nothing is
// applied and *error (if given) says where and why.
bool loadConfigFile(const std::wstring& path, std::wstring* error = nullptr);

// --- Manual clock ----------------------------------------------------------------------

// One tick per period for each running stream (render before capture): play / capture
// one period and set the events. Does nothing for streams that are not started.
void step(unsigned periods = 1);
// Waits until every running event-driven stream has answered its latest event: render
// holds a full period again, capture has no packet left, and no buffer is out. "Answered"
// means the client's ReleaseBuffer returned; whatever the client does after that (a host
// callback) may still be running. False on time-out.
bool waitServiced(DWORD timeoutMs);
// step() then waitServiced() for each of `periods`; false at the first time-out.
bool run(unsigned periods, DWORD timeoutMs);
// As the realtime clock would, without its jitter: `wakes` times, ticks the running streams
// due next on their own grids (those due within a millisecond of it too, render first). Two
// device clocks drift apart here as in real time, which step() does not model (it ticks every
// stream once).
void stepDue(unsigned wakes = 1);
// Realtime clock: its thread, at its next wake, sleeps this long before it ticks, as a thread
// the machine held up would. The devices' grids stay where they are.
void stallClockOnce(DWORD ms);

// --- Fault injection -------------------------------------------------------------------
//
// An operation is named "Interface::Method", e.g. "IAudioClient::Initialize",
// "IMMDeviceEnumerator::GetDevice", "IAudioRenderClient::GetBuffer",
// "IMMDevice::QueryInterface", "IClassFactory::CreateInstance" (the CoCreateInstance of the
// enumerator). Every method of the six interfaces and of the class factory can be named;
// AddRef and Release cannot. flow limits a fault to the objects of one endpoint.
//
// Once: only the n-th matching call from now fails. Always: every matching call.
// FromNth: the n-th matching call and all after it. A failing call returns hr with its out
// parameters cleared and has no other effect. failNull makes the call return S_OK with its
// out object (interface, string, format, data pointer) null and no other effect.
// Both return false for an unknown operation name.
enum class FaultMode { Once, Always, FromNth };
bool fail(const char* op, HRESULT hr, FaultMode mode = FaultMode::Always, unsigned n = 1,
          Flow flow = Flow::Any);
bool failNull(const char* op, FaultMode mode = FaultMode::Always, unsigned n = 1,
              Flow flow = Flow::Any);
void clearFaults();

// Calls made since reset() or clearCalls(), faulted ones included.
unsigned callCount(const char* op, Flow flow = Flow::Any);
// In order, as "IAudioClient::Start render" ("... capture", or no suffix without a flow).
std::vector<std::string> callLog();
void clearCalls();

// --- Observation -----------------------------------------------------------------------

struct Stats {
    // The stream now on the endpoint: the one holding it exclusively, else the latest started
    // shared one (all zero / false when none).
    bool held = false;
    bool shared = false;
    bool running = false;
    bool eventDriven = false;
    WAVEFORMATEXTENSIBLE format{}; // its format (head only when a plain WAVEFORMATEX)
    UINT32 bufferFrames = 0;       // GetBufferSize
    UINT32 periodFrames = 0;       // frames per tick (= bufferFrames when event-driven)

    // Counters of the latest stream that was started (reset at its first Start).
    uint64_t periods = 0;              // ticks while running
    uint64_t eventsSet = 0;            // SetEvent calls on the client's event
    uint64_t missedPeriods = 0;        // render: ticks short of a full period after the
                                       // client's first delivery
    uint64_t leadingSilentPeriods = 0; // render: such ticks before the first delivery
    uint64_t startGlitches = 0;        // render: Start with nothing released (the first
                                       // period plays whatever the buffer held)
    std::vector<uint64_t> missedAt;    // 1-based tick numbers of the first 1024 misses
    uint64_t framesPlayed = 0;         // render: frames played, silence included
    uint64_t framesCaptured = 0;       // capture: frames generated
    uint64_t framesDelivered = 0;      // capture: frames the client released
    uint64_t discontinuities = 0;      // capture: packets dropped because the client lagged
    double maxLateUs = 0;              // realtime clock: worst tick lateness, microseconds
    double meanLateUs = 0;
    // Realtime clock: ticks the simulator's own thread fired more than half a period after
    // their time on the grid (the grid itself never moves), so that the client had less than
    // half a period for them: whatever it missed there is the simulator's doing.
    uint64_t clockSlips = 0;
    double clockSlipPeriods = 0;  // the same, as periods lost to the simulator
    std::vector<uint64_t> slipAt; // 1-based tick numbers of the first 1024 of them
    // Realtime clock: ticks that came more than a quarter of a period (and more than 2 ms)
    // late. The machine was starving this process then, and the client's thread with it.
    uint64_t lateTicks = 0;
};
Stats stats(Flow flow);
// The same for any endpoint, by ID (all zero for an unknown ID). stats(flow) and
// recording(flow) describe the endpoint configured as the direction's default.
Stats stats(const std::wstring& id);

// Render: the bytes played by the latest started stream, in its format, silence included.
// Capture: the bytes the client released (took) from the latest started stream.
std::vector<BYTE> recording(Flow flow);
std::vector<BYTE> recording(const std::wstring& id);

// The Counter signal: channel c, frame f (0 = the stream's first frame) is
// ((c + 1) << 12 | (f & 0xFFF)) as a 16-bit sample, and ((c + 1) << 24 | (f & 0xFFFF) << 8)
// in a 32-bit container (low byte zero, as 24 valid bits leave it).
int32_t counterSample(unsigned channel, uint64_t frame, WORD containerBits);

// --- Accounting ------------------------------------------------------------------------

long liveObjects();            // sim COM objects alive (the installed class object excluded)
long outstandingRefs();        // sum of their reference counts
long outstandingAllocations(); // task-allocator blocks handed out and not yet freed
                               // (GetId, GetMixFormat, property values, closest matches)
std::string report();          // one line per live object and per outstanding block

} // namespace sim
