// start and stop: every start opens the streams afresh, every stop takes them down again.
#include "driver/log.h"
#include "endpoint/formats.h"
#include "endpoint/wave.h"
#include "stream/engine.h"

#include <audioclient.h>
#include <mmdeviceapi.h>

namespace {

const wchar_t* const kDirectionName[2] = {L"render", L"capture"};

// One period of silence in the render buffer before Start, so that the first period the
// endpoint plays is defined; the thread's first pass fills the next.
void prerollSilence(IAudioClient* client, UINT32 frames) {
    ComRef<IAudioRenderClient> render;
    BYTE* data = nullptr;
    if (FAILED(client->GetService(__uuidof(IAudioRenderClient), render.putVoid())) || !render ||
        FAILED(render->GetBuffer(frames, &data)))
        return;
    render->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
}

} // namespace

ASIOError ASIOSrv::start() {
    writeLogLine(this, L"ASIOSrv::start...");
    ComRef<IMMDeviceEnumerator> enumerator;
    if (FAILED(queryFrom(deviceEnumerator, enumerator)) || !enumerator) return ASE_NotPresent;

    // A second start without a stop would leave two threads on one set of buffers: the
    // first stream is taken down before the new one is opened.
    if (running.load(std::memory_order_relaxed) || threadHandle) stop();

    HRESULT status = S_OK;
    bool wanted[2] = {false, false};
    for (int d = kRender; d <= kCapture; ++d) {
        int n = 0, highest = -1;
        for (int c = 0; c < 16; ++c)
            if (asioBuffers[d][c]) ++n, highest = c;
        if (device[d]) device[d]->Release();
        if (audioClient[d]) audioClient[d]->Release();
        device[d] = audioClient[d] = nullptr;
        if (n == 0) continue;
        wanted[d] = true;

        // The endpoint and its client are held locally; device[d] and the event, once made,
        // stay with a direction that fails later on, until stop takes them.
        ComRef<IMMDevice> endpoint;
        status = enumerator->GetDevice(endpointId[d], endpoint.put());
        if (FAILED(status) || !endpoint) continue;
        status = endpoint->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&device[d]));
        if (FAILED(status) || !device[d]) continue;
        ComRef<IAudioClient> client;
        status = endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid());
        if (FAILED(status) || !client) continue;

        // The endpoint's own channel count, whatever subset the host has buffers for: a stereo
        // endpoint refuses a mono stream.
        WAVEFORMATEXTENSIBLE format;
        if (!directionFormat(d, unsigned(highest + 1), sampleRate, &format)) {
            status = E_UNEXPECTED;
            continue;
        }
        auto* wave = reinterpret_cast<const WAVEFORMATEX*>(&format);
        REFERENCE_TIME duration =
            vl::framesToDuration(uint32_t(bufferFrames), format.Format.nSamplesPerSec);

        // In timer-driven mode with both directions, capture is polled in render's rhythm:
        // no event, and packets of render's period. Packets of the endpoint's shortest period
        // would reach the ring at a phase to render's that changes from start to start, and
        // the input's latency with it.
        bool polledCapture = d == kCapture && TimerDrivenMode && audioClient[kRender];
        if (d == kRender) {
            status =
                client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                   duration, duration, wave, nullptr);
            if (status == CO_E_NOTINITIALIZED) {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                comInitialized = true;
                status = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE,
                                            AUDCLNT_STREAMFLAGS_EVENTCALLBACK, duration, duration,
                                            wave, nullptr);
            }
        } else if (polledCapture) {
            status = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0, duration, duration, wave,
                                        nullptr);
        } else {
            status =
                client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                   duration, duration, wave, nullptr);
        }
        // An endpoint that rounds durations up to whole frames may grant one frame more than
        // bufferFrames for the single-precision duration (128 frames at 48 kHz are 26667, which
        // it takes as 129); a fresh client asked for the truncated duration gets bufferFrames.
        REFERENCE_TIME truncated =
            vl::framesToDurationFloor(uint32_t(bufferFrames), format.Format.nSamplesPerSec);
        UINT32 granted = 0;
        if (SUCCEEDED(status) && truncated != duration &&
            SUCCEEDED(client->GetBufferSize(&granted)) && granted != UINT32(bufferFrames)) {
            client.reset();
            status = endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                        client.putVoid());
            if (FAILED(status) || !client) continue;
            status = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE,
                                        polledCapture ? 0 : AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                        truncated, truncated, wave, nullptr);
        }
        if (status == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
            logMessage(this, L"ASIOSrv::: buffer size for %s not aligned!", kDirectionName[d]);
            continue;
        }
        if (d == kRender)
            logMessage(this, L"ASIOSrv:::\tRender [%d %d %d (%d)] (0x%X) TimerDrivenMode=%d",
                       format.Format.nSamplesPerSec, format.Format.nChannels,
                       format.Format.wBitsPerSample, format.Samples.wValidBitsPerSample, status,
                       TimerDrivenMode ? 1 : 0);
        else
            logMessage(this, L"ASIOSrv:::\tCapture [%d %d %d (%d)] (0x%X)",
                       format.Format.nSamplesPerSec, format.Format.nChannels,
                       format.Format.wBitsPerSample, format.Samples.wValidBitsPerSample, status);
        channelCount[d] = format.Format.nChannels;

        if (bufferEvent[d]) CloseHandle(bufferEvent[d]);
        bufferEvent[d] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!bufferEvent[d]) {
            logMessage(this, L"ASIOSrv::: Create event for %s failed!", kDirectionName[d]);
            status = E_FAIL;
            continue;
        }
        // A client whose Initialize failed refuses the event, which ends the direction here.
        if (!polledCapture) {
            status = client->SetEventHandle(bufferEvent[d]);
            if (FAILED(status)) continue;
        }
        if (d == kRender && !TimerDrivenMode) prerollSilence(client.get(), UINT32(bufferFrames));
        status = client->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&audioClient[d]));
    }

    // A direction the host has buffers for and that did not open fails the start: streaming
    // the other alone would leave the host's inputs silent or its outputs unheard without a
    // word. What opened is taken down again.
    if ((wanted[kRender] && !audioClient[kRender]) ||
        (wanted[kCapture] && !audioClient[kCapture])) {
        for (int d = kRender; d <= kCapture; ++d) {
            if (audioClient[d]) audioClient[d]->Release();
            if (device[d]) device[d]->Release();
            audioClient[d] = device[d] = nullptr;
        }
        return ASE_NotPresent;
    }
    if (!audioClient[kRender] && !audioClient[kCapture])
        return SUCCEEDED(status) ? ASE_OK : ASE_NotPresent;

    if (threadHandle) CloseHandle(threadHandle);
    threadHandle = nullptr;
    if (TimerDrivenMode && !threadReadyEvent)
        threadReadyEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    running.store(true, std::memory_order_relaxed);
    threadHandle = CreateThread(nullptr, 0, TimerDrivenMode ? timerDrivenThread : eventDrivenThread,
                                this, 0, nullptr);
    if (!threadHandle) return SUCCEEDED(status) ? ASE_OK : ASE_NotPresent;
    SetThreadPriority(threadHandle, THREAD_PRIORITY_HIGHEST);
    // Only the timer-driven thread signals readiness; the event stays from an earlier
    // timer-driven start when the mode was switched since.
    if (TimerDrivenMode && threadReadyEvent) WaitForSingleObject(threadReadyEvent, 1000);

    for (int d = kCapture; d >= kRender; --d) {
        ComRef<IAudioClient> client;
        if (SUCCEEDED(queryFrom(audioClient[d], client))) status = client->Start();
    }
    if (FAILED(status))
        logMessage(this, L"ASIOSrv:::\tStart() returned 0x%X", status);
    else
        writeLogLine(this, L"ASIOSrv:::\tStart() called.");
    return SUCCEEDED(status) ? ASE_OK : ASE_NotPresent;
}

ASIOError ASIOSrv::stop() {
    writeLogLine(this, L"ASIOSrv::stop...");
    // Cleared before the events are set: a thread that wakes from them finds the flag off.
    running.store(false, std::memory_order_release);
    for (HANDLE event : bufferEvent)
        if (event) SetEvent(event);
    for (IUnknown* held : audioClient) {
        ComRef<IAudioClient> client;
        if (SUCCEEDED(queryFrom(held, client))) client->Stop();
    }
    if (threadHandle) {
        WaitForSingleObject(threadHandle, kThreadWaitMs);
        // On the streaming thread itself (the timer-driven thread stopping the driver, or a
        // host stopping inside its switch) the wait can only time out, and the thread still
        // has its ending to run: its handle stays, so that whoever stops, starts or disposes
        // next waits for it before anything the thread can reach goes away.
        if (GetThreadId(threadHandle) != GetCurrentThreadId()) {
            CloseHandle(threadHandle);
            threadHandle = nullptr;
        }
    }
    // A thread that was still finishing its last pass has valid events and clients meanwhile.
    if (DWORD ms = vl::bufferMilliseconds(bufferFrames, sampleRate)) Sleep(ms);
    for (int d = kRender; d <= kCapture; ++d) {
        if (bufferEvent[d]) CloseHandle(bufferEvent[d]);
        if (audioClient[d]) audioClient[d]->Release();
        if (device[d]) device[d]->Release();
        bufferEvent[d] = nullptr;
        audioClient[d] = device[d] = nullptr;
    }
    if (comInitialized) {
        CoUninitialize();
        comInitialized = false;
    }
    return ASE_OK;
}

void ASIOSrv::collectStoppedThread() {
    if (!threadHandle || GetThreadId(threadHandle) == GetCurrentThreadId()) return;
    WaitForSingleObject(threadHandle, kThreadWaitMs);
    CloseHandle(threadHandle);
    threadHandle = nullptr;
}
