// The streaming thread of event-driven mode: one pass per endpoint period, when every open
// direction has signalled.
#include "driver/log.h"
#include "stream/convert.h"
#include "stream/engine.h"

#include <audioclient.h>
#include <avrt.h>

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

    const UINT32 frames = UINT32(self->bufferFrames);
    const ASIOCallbacks& host = hold.callbacks;
    bool useTimeInfo = hostTakesTimeInfo(host);
    if (!self->running.load(std::memory_order_acquire)) return 0;
    ASIOTime timeRecord;
    self->prepareTimeRecord(&timeRecord);
    self->switchCount.store(0, std::memory_order_relaxed);
    self->switchTimeMs.store(timeGetTime(), std::memory_order_relaxed);

    HANDLE waitList[2];
    DWORD waitCount = 0;
    if (render) {
        waitList[waitCount++] = hold.event[kRender];
        // The host fills both output halves before the first period goes out.
        self->signalBufferSwitch(host, &timeRecord, useTimeInfo, ASIOTrue);
        self->switchTimeMs.store(timeGetTime(), std::memory_order_relaxed);
        self->signalBufferSwitch(host, &timeRecord, useTimeInfo, ASIOTrue);
    }
    if (capture) waitList[waitCount++] = hold.event[kCapture];
    logMessage(self, L"ASIODrv:::...Event Driven Thread started...(%d events)", waitCount);
    if (useTimeInfo) writeLogLine(self, L"ASIOSrv::: (using bufferSwitchTimeInfo()!!!)");

    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
    if (!task) return 0;

    // An unplugged endpoint signals no more: when the events stay away this long (four
    // buffers, and a margin for a busy machine), the clients are asked whether it is gone.
    const double rate = self->sampleRate > 0 ? self->sampleRate : 48000.0;
    const DWORD silenceMs = 200 + DWORD(4000.0 * frames / rate);
    HRESULT gone = S_OK;
    while (self->running.load(std::memory_order_acquire)) {
        // With both directions a pass begins only when both endpoints have signalled.
        DWORD r = WaitForMultipleObjects(waitCount, waitList, TRUE, silenceMs);
        if (r == WAIT_TIMEOUT) {
            if (endpointGone(hold.client[kRender]) || endpointGone(hold.client[kCapture])) {
                gone = AUDCLNT_E_DEVICE_INVALIDATED;
                break;
            }
            continue;
        }
        uint64_t count = self->switchCount.load(std::memory_order_relaxed);
        if (count < 6) writeLogLine(self, L"ASIOSrv::: Event...");
        if (r != WAIT_OBJECT_0 || !self->running.load(std::memory_order_acquire)) break;
        uint8_t half = uint8_t(count & 1);

        UINT32 queued = 0;
        if (sharedRender && SUCCEEDED(sharedRender->GetCurrentPadding(&queued)) &&
            queued + frames > renderBufferFrames)
            logMessage(self, L"ASIOSrv::: Render buffer full (%d of %d frames queued)", queued,
                       renderBufferFrames);
        else if (render) {
            BYTE* data = nullptr;
            HRESULT hr = render->GetBuffer(frames, &data);
            if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
                gone = hr;
                break;
            }
            if (SUCCEEDED(hr) && data) self->copyRenderHalf(half, data);
            render->ReleaseBuffer(frames, 0);
        }
        if (capture) {
            // An exclusive stream has no packet size to ask for in advance (GetNextPacketSize
            // is for shared streams; some drivers answer 0): the packet is taken each period,
            // and an empty buffer means none came.
            BYTE* data = nullptr;
            UINT32 packet = 0;
            DWORD flags = 0;
            HRESULT hr = capture->GetBuffer(&data, &packet, &flags, nullptr, nullptr);
            if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
                gone = hr;
                break;
            }
            if (hr == AUDCLNT_S_BUFFER_EMPTY || FAILED(hr)) packet = 0;
            if (FAILED(hr) || packet != frames)
                logMessage(self, L"ASIOSrv::: Capture packet size: %d (hr = 0x%X)", packet, hr);
            if (flags) logMessage(self, L"ASIOSrv::: flag = 0x%X (hr = 0x%X)", flags, hr);
            if (packet && data) {
                // A short packet fills the start of the half; nothing is read beyond it. A
                // packet flagged silent is silence, whatever its buffer holds.
                if (flags & AUDCLNT_BUFFERFLAGS_SILENT)
                    vl::silenceFrames(self->sampleType[kCapture], self->asioBuffers[kCapture],
                                      self->channelCount[kCapture], half ? frames : 0,
                                      packet < frames ? packet : frames);
                else if (packet >= frames)
                    self->copyCaptureHalf(half, data);
                else
                    self->copyCaptureRange(half ? frames : 0, packet, data);
            }
            if (packet) capture->ReleaseBuffer(packet);
        }
        self->switchTimeMs.store(timeGetTime(), std::memory_order_relaxed);
        self->signalBufferSwitch(host, &timeRecord, useTimeInfo, ASIOFalse);
    }

    if (gone != S_OK) requestReset(self, host, gone);
    capture.reset();
    render.reset();
    AvRevertMmThreadCharacteristics(task);
    writeLogLine(self, L"ASIODrv:::...Thread stopped...");
    return 0;
}
