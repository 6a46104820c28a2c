// start and stop: every start opens the streams afresh, every stop takes them down again.
#include "driver/log.h"
#include "endpoint/formats.h"
#include "endpoint/wave.h"
#include "stream/engine.h"

#include <audioclient.h>
#include <mmdeviceapi.h>

namespace {

const wchar_t* const kDirectionName[2] = {L"render", L"capture"};

} // namespace

ASIOError ASIOSrv::start() {
    writeLogLine(this, L"ASIOSrv::start...");
    ComRef<IMMDeviceEnumerator> enumerator;
    if (FAILED(queryFrom(deviceEnumerator, enumerator)) || !enumerator) return ASE_NotPresent;

    // A second start without a stop would leave two threads on one set of buffers: the
    // first stream is taken down before the new one is opened.
    if (running.load(std::memory_order_relaxed) || threadHandle) stop();

    HRESULT status = S_OK;
    for (int d = kRender; d <= kCapture; ++d) {
        int n = 0;
        for (void* block : asioBuffers[d])
            n += block != nullptr;
        if (device[d]) device[d]->Release();
        if (audioClient[d]) audioClient[d]->Release();
        device[d] = audioClient[d] = nullptr;
        if (n == 0) continue;

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

        WAVEFORMATEXTENSIBLE format;
        if (!makeStreamFormat(sampleType[d], uint16_t(n), sampleRate, &format)) {
            status = E_UNEXPECTED;
            continue;
        }
        auto* wave = reinterpret_cast<const WAVEFORMATEX*>(&format);
        REFERENCE_TIME duration =
            vl::framesToDuration(uint32_t(bufferFrames), format.Format.nSamplesPerSec);

        // In timer-driven mode with both directions, capture is polled in render's rhythm:
        // no event, the endpoint's shortest period.
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
            REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
            client->GetDevicePeriod(&defaultPeriod, &minimumPeriod);
            status = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0, duration, minimumPeriod,
                                        wave, nullptr);
        } else {
            status =
                client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                   duration, duration, wave, nullptr);
        }
        if (status == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
            logMessage(this, L"ASIOSrv::: buffer size for %s not aligned!", kDirectionName[d]);
            continue;
        }
        if (d == kRender)
            logMessage(this, L"ASIOSrv:::\tRender [%d %d %d (%d)] (0x%X) TimerDrivenMode=%d",
                       format.Format.nSamplesPerSec, n, format.Format.wBitsPerSample,
                       format.Samples.wValidBitsPerSample, status, TimerDrivenMode ? 1 : 0);
        else
            logMessage(this, L"ASIOSrv:::\tCapture [%d %d %d (%d)] (0x%X)",
                       format.Format.nSamplesPerSec, n, format.Format.wBitsPerSample,
                       format.Samples.wValidBitsPerSample, status);
        channelCount[d] = uint16_t(n);

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
        status = client->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&audioClient[d]));
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
