// The streaming thread of timer-driven mode: a 2 ms timer wakes it, whole endpoint buffers
// move at running positions, and the host is switched whenever a position crosses a half.
#include "driver/log.h"
#include "stream/convert.h"
#include "stream/engine.h"

#include <audioclient.h>
#include <avrt.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

DWORD WINAPI ASIOSrv::timerDrivenThread(LPVOID param) {
    // Only what the hold has, and the object's fields while running is set (engine.h).
    StreamHold& hold = *static_cast<StreamHold*>(param);
    ASIOSrv* self = hold.self;
    const ASIOCallbacks& host = hold.callbacks;
    if (!(hold.client[kRender] && hold.event[kRender]) &&
        !(hold.client[kCapture] && hold.event[kCapture]))
        return 0;

    // Everything the thread holds, released by the ending in this order of declaration's
    // reverse, whatever point the set-up reached.
    ComRef<IAudioClient> captureClient, renderClient;
    ComRef<IUnknown> captureService, renderService;
    ComRef<IAudioCaptureClient> capture;
    ComRef<IAudioClock> renderClock;
    CaptureBridge* bridge = nullptr; // capture on another device's clock
    HANDLE timer = nullptr, task = nullptr;
    BYTE* ring = nullptr;

    const uint32_t total = self->bufferFrames > 0 ? 2 * uint32_t(self->bufferFrames) : 0;
    const uint32_t bytesPerFrame =
        (self->sampleType[kCapture] == ASIOSTInt32LSB ? 4 : 2) * self->channelCount[kCapture];
    UINT32 renderFrames = 0, captureFrames = 0;
    uint32_t ringFrames = 0, ringRead = 0, ringWrite = 0, lead = 0;
    vl::PositionWatch capturePositions; // of the packets staged, from position 0 on
    capturePositions.onPacket(0, 0);
    double captureStart = -1; // when the capture device's position 0 was recorded
    double renderHz = 0;      // render's clock's frequency, 0 without its clock
    uint64_t written = 0;     // frames handed to render
    vl::PlayedWatch played;   // render's periods played without the stream
    bool transferred = false; // render has taken its first transfer
    uint32_t readPos = 0, writePos = 0;
    bool needSwitch = false, useTimeInfo = false, failedWait = false;
    HRESULT gone = S_OK; // AUDCLNT_E_DEVICE_INVALIDATED once an endpoint went away
    ASIOTime timeRecord;
    HANDLE waitList[3];
    DWORD waitCount = 0;

    auto setUp = [&]() -> bool {
        if (!total) return false; // no double buffer to move frames through
        HRESULT hr = S_OK;
        if (hold.client[kCapture]) {
            if (FAILED(queryFrom(hold.client[kCapture], captureClient)) || !captureClient)
                return false;
            hr = captureClient->GetService(__uuidof(IAudioCaptureClient), capture.putVoid());
            if (capture) {
                hr = capture->QueryInterface(IID_IUnknown, captureService.putVoid());
                if (SUCCEEDED(hr)) hr = captureClient->GetBufferSize(&captureFrames);
            }
            if (FAILED(hr)) return false;
            // With render, capture reaches the host through a ring that starts with as much
            // silence as render is ahead, so that both advance together.
            if (captureFrames > 0 && hold.client[kRender]) {
                lead = std::min(total, uint32_t(captureFrames));
                // Room for two packets more, so that nothing is overwritten: one staged before
                // render's first transfer when render started a period late (see unstage), one
                // while a period render played without the stream is confirmed (followRender).
                ringFrames = lead + 3 * captureFrames;
                ring = static_cast<BYTE*>(malloc(size_t(ringFrames) * bytesPerFrame));
                // Without its ring, capture could not follow render: the thread ends.
                if (!ring) return false;
                logMessage(self, L"ASIOSrv:::   InternalCaptureBuffer=0x%X size=%d", low32(ring),
                           ringFrames);
                memset(ring, 0, size_t(ringFrames) * bytesPerFrame);
                ringWrite = lead;
            }
        }
        if (hold.client[kRender]) {
            if (FAILED(queryFrom(hold.client[kRender], renderClient)) || !renderClient)
                return false;
            ComRef<IAudioRenderClient> render;
            hr = renderClient->GetService(__uuidof(IAudioRenderClient), render.putVoid());
            if (render) hr = render->QueryInterface(IID_IUnknown, renderService.putVoid());
            if (SUCCEEDED(hr)) hr = renderClient->GetBufferSize(&renderFrames);
            if (FAILED(hr)) return false;
        }
        // Render's clock tells when its device started (for the capture ring's lead) and
        // where each of its periods starts (for the clock bridge).
        UINT64 frequency = 0;
        if (capture && renderClient &&
            SUCCEEDED(renderClient->GetService(__uuidof(IAudioClock), renderClock.putVoid())) &&
            renderClock && SUCCEEDED(renderClock->GetFrequency(&frequency)))
            renderHz = double(frequency);
        // Capture on another device's clock reaches the host through the clock bridge, one
        // render transfer's input at a time.
        if (hold.bridge && hold.clocksApart && capture && renderFrames == total / 2 &&
            renderHz > 0) {
            bridge = hold.bridge;
            bridge->periods.frequency = renderHz;
            bridge->periods.clock = renderClock.get();
            logMessage(self,
                       L"ASIOSrv::: Clocks differ: capture and render are two devices, drift "
                       L"compensation on (input latency %d frames more)",
                       ASIOSrv::bridgeFrames(total / 2));
        }
        useTimeInfo = hostTakesTimeInfo(host);
        if (!self->running.load(std::memory_order_acquire)) return false;
        timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
        if (!timer) return false;

        self->prepareTimeRecord(&timeRecord);
        self->switchCount.store(0, std::memory_order_relaxed);
        self->switchTimeMs.store(timeGetTime(), std::memory_order_relaxed);
        waitList[waitCount++] = timer;
        if (renderService) {
            if (hold.event[kRender]) waitList[waitCount++] = hold.event[kRender];
            // The first half from the host, then as much as the endpoint takes before it
            // starts, each transfer followed by the switch of the other half: the half a
            // switch fills goes out at the next transfer, when the next switch is due, as it
            // does once streaming. The blocks are touched only while running: a host's switch
            // may have stopped the driver.
            self->signalBufferSwitch(host, &timeRecord, useTimeInfo, ASIOTrue);
            for (int k = 0; k < 2; ++k) {
                if (!self->running.load(std::memory_order_acquire)) return false;
                if (self->ProcessData(kRender, renderService.get(), readPos, renderFrames) !=
                    ASE_OK)
                    continue;
                written += renderFrames;
                readPos = total ? uint32_t((uint64_t(readPos) + renderFrames) % total) : 0;
                self->switchTimeMs.store(timeGetTime(), std::memory_order_relaxed);
                self->signalBufferSwitch(host, &timeRecord, useTimeInfo, ASIOTrue);
            }
        }
        if (captureService && hold.event[kCapture]) waitList[waitCount++] = hold.event[kCapture];
        logMessage(self,
                   L"ASIODrv:::...Timer Driven Thread started...(%d events) Pos=[%d %d] "
                   L"BufferSize=[%d %d]",
                   waitCount, readPos, readPos, renderFrames, captureFrames);
        writePos = readPos;
        if (useTimeInfo) writeLogLine(self, L"ASIOSrv::: (using bufferSwitchTimeInfo()!!!)");

        DWORD taskIndex = 0;
        task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
        if (!task)
            logMessage(self,
                       L"ASIOSrv::: AvSetMmThreadCharacteristics() failed! dwTemp=%d Error=%d",
                       taskIndex, GetLastError());
        LARGE_INTEGER due;
        due.QuadPart = -10000; // 1 ms from now, then every 2 ms
        SetWaitableTimer(timer, &due, 2, nullptr, nullptr, FALSE);
        if (self->threadReadyEvent) SetEvent(self->threadReadyEvent);
        if (self->logFile) fflush(self->logFile);
        return true;
    };

    // Moves staged capture frames from the ring into the input halves half a double buffer
    // past readPos (the half the switch after the transfer hands over), in pieces that end at
    // the ring's end or at the double buffer's end.
    auto unstage = [&](uint32_t frames) {
        // The ring's lead of silence stands for the capture that would have come before the
        // device started, when render and capture start in one period. Where render's device
        // started a period or more after capture's (its Start came late, and the device joined
        // the next period), the input is read that much further on: the input keeps the place
        // against render that the reported latency says. Both starts are the devices' own,
        // from their positions and time stamps, so a late wake here changes nothing; without
        // render's clock, the wake stands for the end of render's first period. Some stacks
        // keep the position a period at a time and stamp it with the time of the call: render
        // then started up to a period before what the stamp says, so the whole periods count.
        if (!transferred && captureStart >= 0 && lead > 0) {
            const double period = double(frames) / self->sampleRate;
            double renderStart = -1;
            bool coarse = false;
            UINT64 position = 0, qpc = 0;
            LARGE_INTEGER before, hz;
            QueryPerformanceFrequency(&hz);
            QueryPerformanceCounter(&before);
            if (renderClock && renderHz > 0 &&
                SUCCEEDED(renderClock->GetPosition(&position, &qpc)) && qpc) {
                renderStart = double(qpc) * 1e-7 - double(position) / renderHz;
                const double played = double(position) / renderHz * self->sampleRate;
                const double intoPeriod = std::fmod(played + 0.5, double(frames));
                coarse = double(qpc) * 1e-7 >= double(before.QuadPart) / double(hz.QuadPart) &&
                         intoPeriod < 1;
            }
            if (renderStart < 0) {
                LARGE_INTEGER now;
                QueryPerformanceCounter(&now);
                renderStart = double(now.QuadPart) / double(hz.QuadPart) - period;
            }
            const double apart = (renderStart - captureStart) / period;
            const double periods = std::floor(apart + (coarse ? 0.01 : 0.5));
            // Frames are staged at their device position, however late render started: the
            // ones to read are where that position falls in the ring.
            if (periods >= 1)
                ringRead = uint32_t((uint64_t(ringRead) + uint64_t(periods) * frames) % ringFrames);
            logMessage(self,
                       L"ASIOSrv::: Render started %.2f periods after capture (%s clock): "
                       L"input read %d frames on",
                       apart, coarse ? L"coarse" : L"fine", int(ringRead));
        }
        transferred = true;
        uint32_t from = ringRead, to = (readPos + total / 2) % total;
        for (uint32_t left = frames; left;) {
            uint32_t n = std::min({left, ringFrames - from, total - to});
            self->copyCaptureRange(to, n, ring + size_t(from) * bytesPerFrame);
            from = (from + n) % ringFrames;
            to = (to + n) % total;
            left -= n;
        }
        ringRead = uint32_t((uint64_t(ringRead) + frames) % ringFrames);
    };

    // Before a render transfer: periods render's device played without the stream (the thread
    // was held up past its period) put every later output a period later, so the input is
    // read as much further on, and the round trip stays what the reported latency says.
    auto followRender = [&]() {
        UINT64 position = 0, qpc = 0;
        if (!ring || !renderClock || renderHz <= 0 ||
            FAILED(renderClock->GetPosition(&position, &qpc)))
            return;
        const uint64_t frames =
            uint64_t(std::llround(double(position) / renderHz * self->sampleRate));
        const uint32_t lost = played.beforeWrite(frames, written, renderFrames);
        if (!lost) return;
        ringRead = uint32_t((uint64_t(ringRead) + uint64_t(lost) * renderFrames) % ringFrames);
        logMessage(self,
                   L"ASIOSrv::: Render played %d periods without the stream: input read %d "
                   L"frames on",
                   int(lost), int(ringRead));
    };

    // A render transfer is due when NumFrames (room in two endpoint buffers, as the log
    // reports it) allows one, the endpoint's own buffer is empty, and the endpoint has asked
    // for it by its event since the last transfer. The render stream is event-driven, so that
    // buffer is one transfer long: without the last two tests every wake between two periods
    // would ask for a buffer the endpoint refuses, and an endpoint whose padding always reads
    // 0 (a DSP that owns its buffer) would be asked at every wake.
    bool renderAsked = false;
    auto roomFor = [&](UINT32 padding, int32_t numFrames) {
        return numFrames >= int32_t(renderFrames) && padding == 0 && renderAsked;
    };

    if (setUp() && self->running.load(std::memory_order_acquire)) {
        while (self->running.load(std::memory_order_acquire)) {
            DWORD r = WaitForMultipleObjects(waitCount, waitList, FALSE, INFINITE);
            if (r >= WAIT_OBJECT_0 + waitCount) {
                logMessage(self, L"ASIOSrv::: Unknown WaitResult=0x%X", r);
                failedWait = true;
                break;
            }
            if (r == WAIT_OBJECT_0 && renderService && hold.event[kRender] &&
                WaitForSingleObject(hold.event[kRender], 0) == WAIT_OBJECT_0) {
                // The timer and render's event both came: the wait names the timer, the first
                // in the list, and the event is taken here so that its transfer is not put
                // off to the next wake.
                renderAsked = true;
            } else if (r != WAIT_OBJECT_0) {
                // The timer paces the transfers; render's event says one is due, and that pass
                // runs at once rather than at the next tick of the timer.
                logMessage(self, L"ASIOSrv::: WaitResult=0x%X", r);
                if (waitList[r - WAIT_OBJECT_0] != hold.event[kRender]) continue;
                renderAsked = true;
            }
            if (!self->running.load(std::memory_order_acquire)) break;
            LARGE_INTEGER woke = {}, ticksPerSecond = {};
            if (bridge) {
                QueryPerformanceCounter(&woke);
                QueryPerformanceFrequency(&ticksPerSecond);
            }

            if (renderService && captureService) {
                UINT32 padding = 0;
                HRESULT hr = renderClient->GetCurrentPadding(&padding);
                if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
                    gone = AUDCLNT_E_DEVICE_INVALIDATED;
                    break;
                }
                int32_t numFrames = int32_t(2 * renderFrames) - int32_t(padding);
                logMessage(self,
                           L"ASIOSrv::: Timer event... [R] %d frames (0x%X) InternalPos=[%d %d]",
                           numFrames, hr, ringRead, ringWrite);
                // Capture going away while render plays on is noticed here.
                bool lost = false;
                if ((bridge ? bridgeCapture(*bridge, capture.get(), &lost)
                            : self->stageCapture(captureService.get(), ring, ringFrames, &ringWrite,
                                                 bytesPerFrame, &capturePositions,
                                                 &captureStart)) == AUDCLNT_E_DEVICE_INVALIDATED) {
                    gone = AUDCLNT_E_DEVICE_INVALIDATED;
                    break;
                }
                if (roomFor(padding, numFrames)) {
                    if (!bridge) followRender();
                    if (self->ProcessData(kRender, renderService.get(), readPos, renderFrames) ==
                        ASE_OK) {
                        renderAsked = false;
                        written += renderFrames;
                        if (bridge)
                            bridgeInput(self, *bridge, readPos ? 0 : 1,
                                        double(woke.QuadPart) / double(ticksPerSecond.QuadPart));
                        else if (ring)
                            unstage(renderFrames);
                        readPos =
                            vl::advancePosition(readPos, renderFrames, total / 2, &needSwitch);
                    }
                }
            } else if (renderService) {
                UINT32 padding = 0;
                HRESULT hr = renderClient->GetCurrentPadding(&padding);
                if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
                    gone = hr;
                    break;
                }
                logMessage(self, L"ASIOSrv::: Timer event... Padding=%d (0x%X)", padding, hr);
                int32_t numFrames = int32_t(2 * renderFrames) - int32_t(padding);
                logMessage(self, L"ASIOSrv::: [R] NumFrames=%d", numFrames);
                if (numFrames >= int32_t(total))
                    logMessage(self, L"ASIOSrv::: CurrentPadding=%d (TotalBufferSize=%d) 0x%X !!!",
                               numFrames, total, hr);
                if (roomFor(padding, numFrames) &&
                    self->ProcessData(kRender, renderService.get(), readPos, renderFrames) ==
                        ASE_OK) {
                    renderAsked = false;
                    readPos = vl::advancePosition(readPos, renderFrames, total / 2, &needSwitch);
                }
            } else if (capture) {
                UINT32 pending = 0;
                HRESULT hr = capture->GetNextPacketSize(&pending);
                if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
                    gone = hr;
                    break;
                }
                logMessage(self, L"ASIOSrv::: Timer event... %d frames (0x%X)", pending, hr);
                // The count is only logged: an exclusive stream need not answer it (some
                // drivers say 0). The packet is taken with GetBuffer; none yet is no transfer.
                if (self->ProcessData(kCapture, captureService.get(), writePos, captureFrames) ==
                    ASE_OK)
                    writePos = vl::advancePosition(writePos, captureFrames, total / 2, &needSwitch);
            }

            self->switchTimeMs.store(timeGetTime(), std::memory_order_relaxed);
            logMessage(self, L"ASIOSrv::: ReadPos=%d WritePos=%d (NeedSwitch = %d)", readPos,
                       writePos, needSwitch ? 1 : 0);
            if (needSwitch) {
                self->signalBufferSwitch(host, &timeRecord, useTimeInfo, ASIOFalse);
                needSwitch = false;
            }
        }
    }

    if (bridge)
        logMessage(self,
                   L"ASIOSrv::: Drift compensation: capture clock %+.1f ppm against render's, "
                   L"%d resyncs",
                   bridge->clocks.ratioPpm(), int(bridge->clocks.resyncs()));
    if (gone != S_OK) requestReset(self, host, gone);
    if (failedWait && self->running.load(std::memory_order_acquire)) {
        writeLogLine(self, L"ASIOSrv::: Stopping from thread...");
        self->stop();
    }
    if (self->logFile) fflush(self->logFile);
    if (timer) {
        CancelWaitableTimer(timer);
        CloseHandle(timer);
    }
    if (task) AvRevertMmThreadCharacteristics(task);
    capture.reset();
    renderClock.reset();
    renderService.reset();
    captureService.reset();
    renderClient.reset();
    captureClient.reset();
    free(ring);
    writeLogLine(self, L"ASIODrv:::...Thread stopped...");
    return 0;
}
