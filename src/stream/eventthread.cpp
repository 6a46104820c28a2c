// The streaming thread of event-driven mode: one pass per endpoint period, when every open
// direction has signalled.
#include "driver/log.h"
#include "stream/convert.h"
#include "stream/dropouts.h"
#include "stream/engine.h"

#include <audioclient.h>
#include <avrt.h>

#include <algorithm>
#include <cmath>
#include <new>

namespace {

// Obtains a direction's service (none when refused) and its endpoint buffer size, with the
// result of GetBufferSize in *status. False when the audio client cannot be asked at all.
template <typename Service>
bool openService(IUnknown* held, ComRef<Service>& service, UINT32* frames, HRESULT* status) {
    ComRef<IAudioClient> client;
    if (FAILED(queryFrom(held, client)) || !client) return false;
    client->GetService(__uuidof(Service), service.putVoid());
    *status = client->GetBufferSize(frames);
    return true;
}

// Input a bridge had to make up since the last pass: silence played for frames that never
// came, or its position set back to its target. What it did before its input began, and as
// it began, is not: it played silence, as it should, until there was input to play. Nor are
// a loopback stream's frames that never came: nothing played on its device then, and the
// silence in their place is what it played.
bool bridgeTroubled(CaptureBridge& bridge) {
    const vl::ClockBridge& b = bridge.clocks;
    const uint64_t trouble =
        b.underrunFrames() + (bridge.loopback ? 0 : b.lostFrames()) + b.resyncs();
    const bool troubled = bridge.began && trouble != bridge.trouble;
    bridge.trouble = trouble;
    bridge.began = bridge.began || b.running();
    return troubled;
}

// The half just handed to the first playback device, into the bridge of every one after it,
// at the time its period's start and the offset measured say it plays there.
void feedOutputs(ASIOSrv* self, StreamHold& hold, unsigned outs, const OutputHandover& output,
                 double periodBegan, OutputTiming& timing) {
    // A half that went nowhere (the first pass of a render stream that started late) goes
    // nowhere else either.
    if (!output.sent || !output.playsAt) return;
    double playsAt = double(output.playsAt);
    if (periodBegan >= 0) {
        timing.add(playsAt - periodBegan);
        playsAt = periodBegan + timing.offset;
    }
    for (unsigned i = 0; i < outs; ++i)
        bridgeOutput(self, *hold.extraOut[i].output, output.half, playsAt);
}

// The packets one pass takes at the most.
constexpr unsigned kMostPacketsAPass = 16;
// Passes that lose nothing between two that do, within one dropout.
constexpr unsigned kDropoutJoinPasses = 2;
// How far a capture packet's time stamp may stray from the moment its last frame was made.
constexpr double kStampJitterSeconds = 200e-6;

} // namespace

DWORD WINAPI ASIOSrv::eventDrivenThread(LPVOID param) {
    // Only what the hold has, and the object's fields while running is set (engine.h).
    StreamHold& hold = *static_cast<StreamHold*>(param);
    ASIOSrv* self = hold.self;
    if (!(hold.client[kRender] && hold.event[kRender]) &&
        !(hold.client[kCapture] && hold.event[kCapture]))
        return 0;

    ComRef<IAudioRenderClient> render;
    ComRef<IAudioCaptureClient> capture;
    HRESULT status = S_OK;
    UINT32 endpointFrames = 0;
    if (hold.client[kCapture]) {
        if (!openService(hold.client[kCapture], capture, &endpointFrames, &status)) return 0;
        logMessage(self, L"ASIOSrv::: CaptureBufferSize=%d", endpointFrames);
    }
    // A shared render stream's buffer is the engine's, longer than a period and read by it
    // at its own pace: a half is written only where it fits beside what is queued.
    ComRef<IAudioClient> sharedRender;
    UINT32 renderBufferFrames = 0;
    if (hold.client[kRender]) {
        if (FAILED(status)) return 0;
        if (!openService(hold.client[kRender], render, &endpointFrames, &status)) return 0;
        logMessage(self, L"ASIOSrv::: RenderBufferSize=%d", endpointFrames);
        renderBufferFrames = endpointFrames;
        if (self->shared[kRender]) queryFrom(hold.client[kRender], sharedRender);
    }
    if (FAILED(status)) return 0;
    // The recording devices after the first, each on its own clock and through its own
    // bridge; they come with a render stream, whose clock they are taken into.
    ComRef<IAudioCaptureClient> extraCapture[kMaxExtraDevices];
    ComRef<IAudioClock> extraClock[kMaxExtraDevices];
    const unsigned extras = render ? hold.extras : 0;
    for (unsigned i = 0; i < extras; ++i) {
        UINT32 extraFrames = 0;
        if (!openService(hold.extra[i].client, extraCapture[i], &extraFrames, &status) ||
            FAILED(status) || !extraCapture[i])
            return 0;
        // A loopback stream's own clock tells how much silence its missing packets stand for.
        CaptureBridge& b = *hold.extra[i].bridge;
        ComRef<IAudioClient> client;
        UINT64 frequency = 0;
        if (b.loopback && SUCCEEDED(queryFrom(hold.extra[i].client, client)) && client &&
            SUCCEEDED(client->GetService(__uuidof(IAudioClock), extraClock[i].putVoid())) &&
            extraClock[i] && SUCCEEDED(extraClock[i]->GetFrequency(&frequency))) {
            b.ownClock = extraClock[i].get();
            b.ownFrequency = double(frequency);
        }
    }

    // The playback devices after the first, each kept full from its own bridge on its own
    // clock's events.
    ComRef<IAudioClient> outClient[kMaxExtraDevices];
    ComRef<IAudioRenderClient> outRender[kMaxExtraDevices];
    ComRef<IAudioClock> outClock[kMaxExtraDevices];
    const unsigned outs = render ? hold.extraOuts : 0;
    for (unsigned i = 0; i < outs; ++i) {
        UINT32 outFrames = 0;
        UINT64 frequency = 0;
        if (!openService(hold.extraOut[i].client, outRender[i], &outFrames, &status) ||
            FAILED(status) || !outRender[i] ||
            FAILED(queryFrom(hold.extraOut[i].client, outClient[i])) || !outClient[i])
            return 0;
        if (SUCCEEDED(outClient[i]->GetService(__uuidof(IAudioClock), outClock[i].putVoid())) &&
            outClock[i] && SUCCEEDED(outClock[i]->GetFrequency(&frequency)))
            hold.extraOut[i].output->periods.frequency = double(frequency);
        hold.extraOut[i].output->periods.clock = outClock[i].get();
        if (!outClock[i] || frequency == 0) return 0;
    }

    const UINT32 frames = UINT32(self->bufferFrames);
    const ASIOCallbacks& host = hold.callbacks;
    bool useTimeInfo = hostTakesTimeInfo(host);
    if (!self->running.load(std::memory_order_acquire)) return 0;
    ASIOTime timeRecord;
    self->prepareTimeRecord(&timeRecord);
    self->switchCount.store(0, std::memory_order_relaxed);
    self->switchTimeMs.store(timeGetTime(), std::memory_order_relaxed);

    // A host that has said it calls outputReady fills each output half in the period the
    // endpoint plays next, from its first switch on, which comes with the first input (the
    // silence start released covers the period before). A host that has not said so may
    // fill a half until its next switch comes, as it would on hardware that plays the half
    // from then on: each pass sends the half of the switch before, one period more on the way
    // out, and the host fills the first half ahead, for the first pass to send.
    bool direct = self->hostCallsOutputReady.load(std::memory_order_relaxed) && render;
    HANDLE waitList[2 + 2 * kMaxExtraDevices];
    DWORD waitCount = 0;
    if (render) {
        waitList[waitCount++] = hold.event[kRender];
        if (!direct) self->signalBufferSwitch(host, &timeRecord, useTimeInfo, ASIOTrue);
    }
    if (capture) waitList[waitCount++] = hold.event[kCapture];
    const DWORD firstExtraWait = waitCount;
    for (unsigned i = 0; i < extras; ++i)
        waitList[waitCount++] = hold.extra[i].event;
    const DWORD firstOutWait = waitCount;
    for (unsigned i = 0; i < outs; ++i)
        waitList[waitCount++] = hold.extraOut[i].event;
    logMessage(self, L"ASIODrv:::...Event Driven Thread started...(%d events)", waitCount);
    // Capture on another device's clock: its packets are taken whenever they come, and each
    // render period's input comes out of the bridge in render's clock. Capture and render
    // of one device, or of devices that do not say, have their rates compared all along:
    // clocks found apart turn the bridge on.
    // With devices after the first, every input is bridged from the start, so that all of
    // them keep one latency, and the passes come on render's signal alone.
    CaptureBridge* const spare = render && capture ? hold.bridge : nullptr;
    CaptureBridge* bridge = spare && (hold.clocksApart || extras || outs) ? spare : nullptr;
    ComRef<IAudioClock> renderClock;
    double clockFrequency = 0;
    vl::ClockCompare compare;
    compare.reset(self->sampleRate > 0 ? self->sampleRate : 48000.0);
    if (spare || extras || outs) {
        ComRef<IAudioClient> client;
        UINT64 frequency = 0;
        if (SUCCEEDED(queryFrom(hold.client[kRender], client)) && client &&
            SUCCEEDED(client->GetService(__uuidof(IAudioClock), renderClock.putVoid())) &&
            renderClock && SUCCEEDED(renderClock->GetFrequency(&frequency)))
            clockFrequency = double(frequency);
        for (unsigned i = 0; i <= extras; ++i)
            if (CaptureBridge* b = i < extras ? hold.extra[i].bridge : spare) {
                b->periods.clock = renderClock.get();
                b->periods.frequency = clockFrequency;
            }
    }
    if (extras)
        logMessage(self,
                   L"ASIOSrv::: Several recording devices: every input through a bridge "
                   L"(input latency %d frames more)",
                   ASIOSrv::bridgeFrames(frames));
    else if (bridge)
        logMessage(self,
                   L"ASIOSrv::: Clocks differ: capture and render are two devices, drift "
                   L"compensation on (input latency %d frames more)",
                   ASIOSrv::bridgeFrames(frames));
    if (useTimeInfo) writeLogLine(self, L"ASIOSrv::: (using bufferSwitchTimeInfo()!!!)");

    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
    if (!task) return 0;

    // An unplugged endpoint signals no more: when the events stay away this long (four
    // buffers, and a margin for a busy machine), the clients are asked whether it is gone.
    const double rate = self->sampleRate > 0 ? self->sampleRate : 48000.0;
    const DWORD silenceMs = 200 + DWORD(4000.0 * frames / rate);
    LARGE_INTEGER ticksPerSecond;
    QueryPerformanceFrequency(&ticksPerSecond);
    // Lost periods: a wake after the next signal, a buffer handed over after its period, a
    // capture packet that says one was lost or starts past where the last one ended. Each run
    // of passes that lose one is one dropout, told to the host once: a run goes on over a
    // pass or two that lose none, as long as a bridge takes to set its count of render's
    // periods right after a stall (two passes must agree), which is the same stall's doing.
    const LONGLONG periodTicks = LONGLONG(double(ticksPerSecond.QuadPart) * frames / rate);
    vl::PeriodWatch clock;
    clock.reset(periodTicks);
    vl::PositionWatch capturePosition;
    bool firstPacket = true;
    unsigned sinceLost = ~0u; // passes since the last that lost a period
    uint32_t passes = 0;
    int resyncSupported = -1;
    uint32_t dropouts = 0;
    OutputHandover output;
    output.render = render.get();
    output.frames = frames;
    output.sharedClient = sharedRender.get();
    output.bufferFrames = renderBufferFrames;
    // The halves the playback devices after the first take: stamped with render's period,
    // counted as the input bridges count it, and the offset from its start to when the half
    // plays there, measured over the first passes (before a stall can have moved what the
    // endpoint's position says of the frames written).
    RenderPeriods outPeriods;
    OutputTiming outTiming;
    if (outs) {
        outPeriods.clock = renderClock.get();
        outPeriods.frequency = clockFrequency;
        // The silence start put in plays first; each half goes out `delay` frames late.
        output.clock = renderClock.get();
        output.clockFrequency = clockFrequency;
        output.written = frames;
        output.frameBytes = (self->shared[kRender] ? 4u : vl::sampleBytes(self->sampleType[kRender])) *
                            self->channelCount[kRender];
        output.delay = hold.outputDelay;
        output.ringFrames = hold.outputDelay + frames;
        output.ring.reset(new (std::nothrow) uint8_t[size_t(output.ringFrames) * output.frameBytes]());
        if (!output.ring) return 0;
    }
    HRESULT gone = S_OK;
    bool captureLost = false; // a bridged packet taken between passes told of a loss
    int64_t lastPeriod = -1;  // render's period when the last pass read its clock
    bool toldImplausible = false;
    while (self->running.load(std::memory_order_acquire)) {
        // With both directions a pass begins only when both endpoints have signalled; across
        // two clocks, on render's signal, capture's taken whenever it comes.
        DWORD r = WaitForMultipleObjects(waitCount, waitList,
                                         bridge || extras || outs ? FALSE : TRUE, silenceMs);
        if (r == WAIT_TIMEOUT) {
            bool extraGone = false;
            for (unsigned i = 0; i < extras; ++i)
                extraGone |= endpointGone(hold.extra[i].client);
            for (unsigned i = 0; i < outs; ++i)
                extraGone |= endpointGone(hold.extraOut[i].client);
            if (endpointGone(hold.client[kRender]) || endpointGone(hold.client[kCapture]) ||
                extraGone) {
                gone = AUDCLNT_E_DEVICE_INVALIDATED;
                break;
            }
            continue;
        }
        if (bridge && r == WAIT_OBJECT_0 + 1) {
            if (!self->running.load(std::memory_order_acquire)) break;
            gone = bridgeCapture(*bridge, capture.get(), &captureLost);
            if (gone != S_OK) break;
            continue;
        }
        if (r >= WAIT_OBJECT_0 + firstOutWait && r < WAIT_OBJECT_0 + waitCount) {
            if (!self->running.load(std::memory_order_acquire)) break;
            const unsigned i = r - WAIT_OBJECT_0 - firstOutWait;
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            gone = bridgeToDevice(*hold.extraOut[i].output, outClient[i].get(), outRender[i].get(),
                                  outClock[i].get(),
                                  double(now.QuadPart) / double(ticksPerSecond.QuadPart));
            if (gone != S_OK) break;
            continue;
        }
        if (r >= WAIT_OBJECT_0 + firstExtraWait && r < WAIT_OBJECT_0 + firstOutWait) {
            if (!self->running.load(std::memory_order_acquire)) break;
            const unsigned i = r - WAIT_OBJECT_0 - firstExtraWait;
            gone = bridgeCapture(*hold.extra[i].bridge, extraCapture[i].get(), &captureLost);
            if (gone != S_OK) break;
            continue;
        }
        LARGE_INTEGER woke;
        QueryPerformanceCounter(&woke);
        uint64_t count = self->switchCount.load(std::memory_order_relaxed);
        if (passes < 4) ++passes, writeLogLine(self, L"ASIOSrv::: Event...");
        if (r != WAIT_OBJECT_0 || !self->running.load(std::memory_order_acquire)) break;
        // A wake with nothing new switches nothing: events are not promised once a period
        // (two set close together fold into one wait, or come apart), and a shared pair
        // tells a new period by a packet waiting or the engine having read the render buffer.
        // A shared capture stream says what waits (GetNextPacketSize), so the pass asks once
        // and knows whether there is a packet to take at all.
        // Through a bridge, or without capture, render's queue alone tells.
        UINT32 waiting = 1;
        if (capture && !bridge && self->shared[kCapture] &&
            FAILED(capture->GetNextPacketSize(&waiting)))
            waiting = 1;
        // What is queued then stands for the pass: its half goes in beside it.
        if ((!waiting || bridge || !capture) && sharedRender && output.targetQueued >= 0) {
            UINT32 queued = 0;
            if (SUCCEEDED(sharedRender->GetCurrentPadding(&queued))) {
                if (long(queued) > output.targetQueued + long(frames / 2)) continue;
                output.queuedAtWake = long(queued);
            }
        }
        uint8_t half = uint8_t(count & 1);
        // With a capture stream its packets tell of lost periods exactly; a render stream
        // alone has only the times of the wakes.
        uint32_t missedWakes = clock.onWake(woke.QuadPart);
        bool lost = !capture && missedWakes > 0;

        // A host that first calls outputReady while streaming is served so from the next
        // pass on (its latency is then a buffer less, and it is told once): the half of its
        // last switch is left out, as the endpoint takes one half a period.
        bool toldLatency = false;
        if (render && !direct && self->hostCallsOutputReady.load(std::memory_order_relaxed))
            direct = toldLatency = true;
        if (bridge) {
            lost = captureLost;
            captureLost = false;
            gone = bridgeCapture(*bridge, capture.get(), &lost);
            if (gone != S_OK) break;
            bridgeInput(self, *bridge, half,
                        double(woke.QuadPart) / double(ticksPerSecond.QuadPart));
            if (bridgeTroubled(*bridge)) lost = true;
        }
        if (extras && !bridge) {
            lost |= captureLost;
            captureLost = false;
        }
        for (unsigned i = 0; i < extras; ++i) {
            CaptureBridge& b = *hold.extra[i].bridge;
            gone = bridgeCapture(b, extraCapture[i].get(), &lost);
            if (gone != S_OK) break;
            bridgeSilence(b);
            bridgeInput(self, b, half, double(woke.QuadPart) / double(ticksPerSecond.QuadPart));
            if (bridgeTroubled(b)) lost = true;
        }
        if (gone != S_OK) break;
        if (!bridge && capture) {
            // The packet is taken with GetBuffer (exclusive streams have no packet size to ask
            // for in advance: GetNextPacketSize is for shared ones, and some drivers answer 0).
            // A shared stream's buffer holds two periods and more: after a late wake every
            // packet recorded by the wake is taken and the newest goes to the host, so the
            // input is back in step at once instead of a period late from then on, and the
            // periods between are a dropout. A packet that ended after the wake (beyond what
            // time stamps jitter by) came while this pass ran: it is handed back for the next.
            // An exclusive buffer holds one period: there is never more than one to take.
            const double wokeSeconds = double(woke.QuadPart) / double(ticksPerSecond.QuadPart);
            unsigned taken = 0;
            for (; waiting; ++taken) {
                BYTE* data = nullptr;
                UINT32 packet = 0;
                DWORD flags = 0;
                UINT64 position = 0;
                UINT64 qpcPosition = 0;
                HRESULT hr = capture->GetBuffer(&data, &packet, &flags, &position, &qpcPosition);
                if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
                    gone = hr;
                    break;
                }
                if (hr == AUDCLNT_S_BUFFER_EMPTY || FAILED(hr)) packet = 0;
                if (!taken && (FAILED(hr) || packet != frames))
                    logMessage(self, L"ASIOSrv::: Capture packet size: %d (hr = 0x%X)", packet, hr);
                if (!packet) break;
                const bool timed = qpcPosition && !(flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR);
                if (taken && timed &&
                    double(qpcPosition) * 1e-7 + double(packet) / rate >
                        wokeSeconds + kStampJitterSeconds) {
                    capture->ReleaseBuffer(0);
                    break;
                }
                if (flags) logMessage(self, L"ASIOSrv::: flag = 0x%X (hr = 0x%X)", flags, hr);
                if (spare && timed)
                    compare.capture(position + packet, double(qpcPosition) * 1e-7 + packet / rate);
                // The first packet may say discontinuity only because it is the first.
                if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) && !firstPacket) lost = true;
                if (capturePosition.onPacket(position, packet)) lost = true;
                firstPacket = false;
                if (data) {
                    // A short packet fills the start of the half; nothing is read beyond it.
                    // A packet flagged silent is silence, whatever its buffer holds.
                    if (flags & AUDCLNT_BUFFERFLAGS_SILENT)
                        vl::silenceFrames(self->sampleType[kCapture], self->asioBuffers[kCapture],
                                          self->channelCount[kCapture], half ? frames : 0,
                                          packet < frames ? packet : frames);
                    else if (packet >= frames)
                        self->copyCaptureHalf(half, data);
                    else
                        self->copyCaptureRange(half ? frames : 0, packet, data);
                }
                capture->ReleaseBuffer(packet);
                // A stack that never says empty must not hold the pass: a backlog this long
                // is lost anyway.
                if (taken + 1 == kMostPacketsAPass || !self->shared[kCapture] ||
                    FAILED(capture->GetNextPacketSize(&waiting)))
                    waiting = 0;
            }
            if (!waiting && !taken)
                logMessage(self, L"ASIOSrv::: Capture packet size: 0 (none waiting)");
            if (gone != S_OK) break;
            if (taken > 1) lost = true;
            // No packet, and render has not moved on a period since the last pass read its
            // clock: nothing new, as with two events a late wake found set (it took the packet
            // of the tick after its own). A switch now would put the output a period later
            // than the input for good. Where render did move on, the switch comes as ever,
            // with the input half as it was.
            if (!taken && !self->shared[kCapture] && lastPeriod >= 0 && renderClock && spare &&
                clockFrequency > 0) {
                UINT64 position = 0, qpc = 0;
                if (SUCCEEDED(renderClock->GetPosition(&position, &qpc)) &&
                    int64_t(double(position) / clockFrequency * rate / frames) == lastPeriod)
                    continue;
            }
        }
        const double periodBegan =
            outs ? outPeriods.next(frames, rate, double(woke.QuadPart) / double(ticksPerSecond.QuadPart))
                 : -1;
        if (render && !direct) {
            // The half the host filled in the last switch, finished now that the next is due.
            output.half = uint8_t(half ^ 1);
            output.sent = false;
            sendOutput(self, output);
            if (output.result == AUDCLNT_E_DEVICE_INVALIDATED) {
                gone = output.result;
                break;
            }
            feedOutputs(self, hold, outs, output, periodBegan, outTiming);
        }
        self->switchTimeMs.store(timeGetTime(), std::memory_order_relaxed);
        if (direct) {
            // The half of this switch goes out as soon as the host has filled it.
            output.half = half;
            output.sent = false;
            self->pendingOutput = &output;
            self->signalBufferSwitch(host, &timeRecord, useTimeInfo, ASIOFalse);
            self->pendingOutput = nullptr;
            sendOutput(self, output);
            if (output.sent && output.result == AUDCLNT_E_DEVICE_INVALIDATED) {
                gone = output.result;
                break;
            }
            feedOutputs(self, hold, outs, output, periodBegan, outTiming);
            // Handed over more than a period after the wake: its period had begun without it.
            if (output.sent && output.sentTicks - woke.QuadPart > periodTicks) lost = true;
        } else {
            self->signalBufferSwitch(host, &timeRecord, useTimeInfo, ASIOFalse);
        }
        // A shared half left out for want of room, or sent after silence put back: this pass's.
        if (output.sent && (output.result == S_FALSE || output.padded)) lost = true;
        if (spare && !bridge && renderClock && clockFrequency > 0) {
            UINT64 position = 0, qpc = 0;
            if (SUCCEEDED(renderClock->GetPosition(&position, &qpc)) && qpc) {
                const double played = double(position) / clockFrequency * rate;
                compare.render(uint64_t(played + 0.5), double(qpc) * 1e-7);
                lastPeriod = int64_t(played / frames);
                if (compare.implausible() && !toldImplausible) {
                    // What was measured, apart from what is believed: once.
                    toldImplausible = true;
                    logMessage(self,
                               L"ASIOSrv::: Clocks compared: capture measured %+.0f ppm against "
                               L"render, beyond what real clocks do (%d ppm): not believed",
                               compare.ppm(), int(vl::ClockCompare::kPlausiblePpm));
                }
                if (compare.apart()) {
                    // From the next pass on, through the bridge, from the ratio measured.
                    bridge = spare;
                    bridge->clocks.seedRatio(1 + compare.ppm() * 1e-6);
                    bridge->clocks.passThrough(false);
                    bridge->clocks.reset();
                    bridge->periods.start = std::floor(played / frames + 0.5) * frames;
                    self->bridging.store(true, std::memory_order_relaxed);
                    logMessage(self,
                               L"ASIOSrv::: Clocks differ: capture runs %+.0f ppm against "
                               L"render, drift compensation on (input latency %d frames more)",
                               compare.ppm(), ASIOSrv::bridgeFrames(frames));
                    toldLatency = true;
                }
            }
        }
        if (toldLatency) {
            auto asioMessage = host.asioMessage;
            if (asioMessage && self->running.load(std::memory_order_acquire) &&
                asioMessage(kAsioSelectorSupported, kAsioLatenciesChanged, nullptr, nullptr))
                asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
        }
        // A lost period is a stall: the clocks' readings around it are not believed.
        if (lost) compare.stall();
        if (lost && sinceLost > kDropoutJoinPasses) {
            ++dropouts;
            if (self->running.load(std::memory_order_acquire))
                requestResync(host, &resyncSupported);
        }
        sinceLost = lost ? 0 : sinceLost == ~0u ? sinceLost : sinceLost + 1;
    }

    for (unsigned i = 0; i < extras; ++i)
        logMessage(self,
                   L"ASIOSrv::: Drift compensation: recording device %d's clock %+.1f ppm "
                   L"against render's, %d resyncs",
                   i + 2, hold.extra[i].bridge->clocks.ratioPpm(),
                   int(hold.extra[i].bridge->clocks.resyncs()));
    // An output bridge's capture side is the first playback device: its ratio is that one's
    // against the device's.
    for (unsigned i = 0; i < outs; ++i)
        logMessage(self,
                   L"ASIOSrv::: Drift compensation: playback device %d's clock %+.1f ppm "
                   L"against render's, %d resyncs",
                   i + 2, -hold.extraOut[i].output->clocks.ratioPpm(),
                   int(hold.extraOut[i].output->clocks.resyncs()));
    if (bridge)
        logMessage(self,
                   L"ASIOSrv::: Drift compensation: capture clock %+.1f ppm against render's, "
                   L"%d resyncs",
                   bridge->clocks.ratioPpm(), int(bridge->clocks.resyncs()));
    else if (compare.measured())
        logMessage(self,
                   L"ASIOSrv::: Clocks compared: capture %+.1f ppm against render when last "
                   L"measured, one clock",
                   compare.ppm());
    logMessage(self, L"ASIOSrv::: Dropouts: %d", dropouts);
    if (gone != S_OK) requestReset(self, host, gone);
    for (unsigned i = 0; i < kMaxExtraDevices; ++i) {
        outClock[i].reset();
        outRender[i].reset();
        outClient[i].reset();
    }
    for (auto& clock : extraClock)
        clock.reset();
    for (auto& service : extraCapture)
        service.reset();
    capture.reset();
    render.reset();
    AvRevertMmThreadCharacteristics(task);
    writeLogLine(self, L"ASIODrv:::...Thread stopped...");
    return 0;
}
