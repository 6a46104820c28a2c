// start and stop: every start opens the streams afresh, every stop takes them down again.
#include "driver/log.h"
#include "endpoint/formats.h"
#include "endpoint/refusal.h"
#include "endpoint/shared.h"
#include "endpoint/wave.h"
#include "stream/engine.h"

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <new>

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

void closeHold(StreamHold* hold) {
    for (int d = kRender; d <= kCapture; ++d) {
        if (hold->client[d]) hold->client[d]->Release();
        if (hold->event[d]) CloseHandle(hold->event[d]);
    }
    for (unsigned i = 0; i < hold->extras + hold->extraOuts; ++i) {
        ExtraHold& held = i < hold->extras ? hold->extra[i] : hold->extraOut[i - hold->extras];
        if (held.client) held.client->Release();
        if (held.event) CloseHandle(held.event);
        delete held.bridge;
        delete held.output;
    }
    delete hold->bridge;
    delete hold;
}

// Whether the host has buffers on a device after a direction's first.
bool deviceWanted(const ASIOSrv* self, int direction, const ASIOSrv::ExtraDevice& extra) {
    for (unsigned c = 0; c < extra.channels; ++c)
        if (self->asioBuffers[direction][extra.first + c]) return true;
    return false;
}

// Opens a device after a direction's first, its event set; false with the refusal in *status.
// One init found exclusive and whose exclusive stream is now refused (another program took
// it since, or the rate changed to one it does not run) goes shared, as it joined, where the
// engine's format has its channels.
bool openExtraDevice(ASIOSrv* self, int direction, ASIOSrv::ExtraDevice& extra, HRESULT* status) {
    const wchar_t* name = direction == kRender ? L"Render" : L"Capture";
    ComRef<IAudioClient> client;
    *status = openExtraStream(self, extra, client, &extra.periodFrames, &extra.latencyFrames,
                              &extra.bufferFrames);
    if (!extra.shared && FAILED(*status) && *status != AUDCLNT_E_DEVICE_INVALIDATED &&
        extra.sharedEndpoint.mix.Format.nChannels == extra.channels) {
        logMessage(self, L"ASIOSrv:::\t%s %s exclusive mode refused (%s), shared instead", name,
                   extra.name, vl::refusalText(*status).text);
        extra.shared = true;
        client.reset();
        *status = openExtraStream(self, extra, client, &extra.periodFrames, &extra.latencyFrames,
                                  &extra.bufferFrames);
    }
    logMessage(self, L"ASIOSrv:::\t%s %s %s, %d frames a period (%s)", name, extra.name,
               extra.shared ? L"shared" : L"exclusive", extra.periodFrames,
               vl::refusalText(*status).text);
    if (FAILED(*status)) return false;
    extra.bufferEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    *status = extra.bufferEvent ? client->SetEventHandle(extra.bufferEvent) : E_FAIL;
    if (FAILED(*status)) return false;
    // An exclusive device plays whatever its buffer holds from Start: silence first.
    if (direction == kRender && !extra.shared) prerollSilence(client.get(), extra.bufferFrames);
    *status = client->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&extra.audioClient));
    return SUCCEEDED(*status) && extra.audioClient;
}

HANDLE duplicate(HANDLE h) {
    HANDLE copy = nullptr;
    if (h)
        DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    return copy;
}

// A device after the first as its thread holds it: its own reference on the client and its
// own duplicate of the event; false when the event cannot be duplicated.
bool holdExtra(ExtraHold& held, const ASIOSrv::ExtraDevice& extra) {
    (held.client = extra.audioClient)->AddRef();
    held.event = duplicate(extra.bufferEvent);
    return held.event != nullptr;
}

// Every streaming thread runs here: the mode's procedure, then it lets go of what it held,
// the object last, and leaves the module's code as it unloads it.
template <LPTHREAD_START_ROUTINE procedure> DWORD WINAPI streamingThread(LPVOID param) {
    StreamHold* hold = static_cast<StreamHold*>(param);
    ASIOSrv* self = hold->self;
    self->streamingThreadId.store(GetCurrentThreadId());
    procedure(hold);
    self->streamingThreadId.store(0);
    HMODULE module = hold->module;
    closeHold(hold);
    self->letGo();
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

// The thread's hold, made before the thread exists; null when it cannot be made.
StreamHold* makeHold(ASIOSrv* self) {
    StreamHold* hold = new (std::nothrow) StreamHold;
    if (!hold) return nullptr;
    hold->self = self;
    hold->callbacks = self->callbacks;
    for (int d = kRender; d <= kCapture; ++d) {
        if ((hold->client[d] = self->audioClient[d])) hold->client[d]->AddRef();
        hold->event[d] = duplicate(self->bufferEvent[d]);
        if (self->bufferEvent[d] && !hold->event[d]) {
            closeHold(hold);
            return nullptr;
        }
    }
    // Capture on another device's clock goes through the bridge, made here with all it needs;
    // with both directions on one device the thread compares their rates, and turns it on
    // should they run apart.
    hold->clocksApart = self->clocksApart();
    self->bridging.store(false, std::memory_order_relaxed);
    // With recording devices after the first every input goes through a bridge, each padded
    // to the latest one's latency so that all inputs arrive together.
    bool extras = false;
    for (unsigned i = 0; i < self->extraCount[kCapture] && self->audioClient[kRender]; ++i)
        extras |= self->extraDevices[kCapture][i].audioClient != nullptr;
    const long latest = extras ? self->sharedInputLatency() : 0;
    if (self->audioClient[kRender] && self->audioClient[kCapture]) {
        const long own = latest ? endpointLatency(self, kCapture) : 0;
        if (latest)
            logMessage(self, L"ASIOSrv::: Inputs padded to %d frames: recording device 1 by %d",
                       latest, latest - own);
        hold->bridge = new (std::nothrow) CaptureBridge;
        // On the playback device's own clock (both endpoints of one device), its frames pass
        // through the bridge bit for bit, only held as long as the others'.
        if (hold->bridge)
            hold->bridge->clocks.passThrough(
                self->deviceId[kCapture].same(self->deviceId[kRender]));
        if (!hold->bridge ||
            !hold->bridge->setup(
                self->channelCount[kCapture], uint32_t(self->bufferFrames), self->sampleRate,
                self->shared[kCapture] ? vl::kSampleTypeFloat32LSB : self->sampleType[kCapture], 0,
                uint32_t(latest > own ? latest - own : 0))) {
            closeHold(hold);
            return nullptr;
        }
        if (latest && hold->bridge->clocks.passingThrough())
            logMessage(self, L"ASIOSrv::: Recording device 1 is on the playback device's clock: "
                             L"its input passes bit for bit");
    }
    for (unsigned i = 0; i < self->extraCount[kCapture] && self->audioClient[kRender]; ++i) {
        const ASIOSrv::ExtraDevice& extra = self->extraDevices[kCapture][i];
        if (!extra.audioClient) continue;
        ExtraHold& held = hold->extra[hold->extras++];
        held.bridge = new (std::nothrow) CaptureBridge;
        // A device of the first playback device's, or what that device plays: bit for bit too.
        if (held.bridge) held.bridge->clocks.passThrough(self->onRenderClock(extra));
        const long padding =
            extra.loopback ? self->loopbackPadding(extra, latest) : latest - extra.latencyFrames;
        if (!holdExtra(held, extra) || !held.bridge ||
            !held.bridge->setup(extra.channels, uint32_t(self->bufferFrames), self->sampleRate,
                                extra.streamType(), extra.periodFrames,
                                uint32_t(padding > 0 ? padding : 0))) {
            closeHold(hold);
            return nullptr;
        }
        held.bridge->firstChannel = extra.first;
        held.bridge->loopback = extra.loopback;
        logMessage(self, L"ASIOSrv::: Inputs padded to %d frames: recording device %d by %d",
                   latest, i + 2, padding);
        if (held.bridge->clocks.passingThrough())
            logMessage(self,
                       L"ASIOSrv::: Recording device %d is on the playback device's clock: "
                       L"its input passes bit for bit",
                       i + 2);
    }
    // Playback devices after the first play the host's output out of their bridges, as late
    // as the latest of them: the first is held back as long.
    const long firstLatency = self->extraCount[kRender] && self->audioClient[kRender]
                                  ? endpointLatency(self, kRender)
                                  : 0;
    for (unsigned i = 0; i < self->extraCount[kRender] && self->audioClient[kRender]; ++i) {
        const ASIOSrv::ExtraDevice& extra = self->extraDevices[kRender][i];
        if (!extra.audioClient) continue;
        ExtraHold& held = hold->extraOut[hold->extraOuts++];
        held.output = new (std::nothrow) OutputBridge;
        // A device of the first playback device's own: the host's output passes bit for bit.
        if (held.output) held.output->clocks.passThrough(self->onRenderClock(extra));
        if (!holdExtra(held, extra) || !held.output ||
            !held.output->setup(extra.channels, uint32_t(self->bufferFrames), extra.bufferFrames,
                                self->sampleRate, self->sampleType[kRender])) {
            closeHold(hold);
            return nullptr;
        }
        held.output->firstChannel = extra.first;
        held.output->periodFrames = extra.periodFrames;
        held.output->exclusive = !extra.shared;
        held.output->deviceType = extra.streamType();
        // The silence start put in plays first.
        held.output->written = extra.shared ? 0 : extra.bufferFrames;
        held.output->playsLater =
            double(extra.latencyFrames - firstLatency) / self->sampleRate * 1e7;
        if (held.output->clocks.passingThrough())
            logMessage(self,
                       L"ASIOSrv::: Playback device %d is on the first one's clock: its "
                       L"outputs pass bit for bit",
                       i + 2);
    }
    if (hold->extraOuts) {
        hold->outputDelay = uint32_t(self->outputBridgeFrames());
        logMessage(self, L"ASIOSrv::: Outputs held to one latency: playback device 1 by %d frames",
                   hold->outputDelay);
    }
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&makeHold),
                       &hold->module);
    InterlockedIncrement(&self->holds);
    return hold;
}

} // namespace

ASIOError ASIOSrv::start() {
    ControlLock lock(this);
    writeLogLine(this, L"ASIOSrv::start...");
    ComRef<IMMDeviceEnumerator> enumerator;
    if (FAILED(queryFrom(deviceEnumerator, enumerator)) || !enumerator) return ASE_NotPresent;

    // A second start without a stop would leave two threads on one set of buffers: the
    // first stream is taken down before the new one is opened. A thread that outlives even
    // that wait (its host's switch has not returned) keeps the driver from starting.
    if (running.load(std::memory_order_relaxed) || threadHandle) stop();
    if (threadHandle) {
        writeLogLine(this, L"ASIOSrv::: the streaming thread has not ended");
        return ASE_NotPresent;
    }

    HRESULT status = S_OK;
    bool wanted[2] = {false, false};
    HRESULT outcome[2] = {S_OK, S_OK}; // what each direction ended on, continue included
    StreamPlan plan = bufferPlan();
    // Recording devices after the first stream into the playback device's clock: it plays,
    // silence where the host has no outputs, whenever they record.
    const bool extras = extraWanted(kCapture), extraOutputs = extraWanted(kRender);
    if ((extras || extraOutputs) && !plan.channels[kRender])
        plan.channels[kRender] = deviceChannels[kRender];
    closeExtraDevices();
    for (int d = kRender; d <= kCapture; outcome[d] = status, ++d) {
        if (device[d]) device[d]->Release();
        if (audioClient[d]) audioClient[d]->Release();
        device[d] = audioClient[d] = nullptr;
        if (!plan.channels[d]) continue;
        wanted[d] = true;

        // The endpoint and its client are held locally; device[d] and the event, once made,
        // stay with a direction that fails later on, until stop takes them.
        ComRef<IMMDevice> endpoint;
        status = enumerator->GetDevice(endpointId[d], endpoint.put());
        if (FAILED(status) || !endpoint) continue;
        status = endpoint->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&device[d]));
        if (FAILED(status) || !device[d]) continue;
        ComRef<IAudioClient> client;
        WAVEFORMATEXTENSIBLE format;
        bool polledCapture = false;
        if (shared[d]) {
            // Through the engine, in its mix format at the driver's rate and with bufferFrames
            // as its period.
            format = sharedFormat(this, d);
            status = openSharedStream(this, endpoint.get(), d, client);
            if (status == CO_E_NOTINITIALIZED) {
                if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) && !comInitialized) {
                    comInitialized = true;
                    comThread = GetCurrentThreadId();
                }
                status = openSharedStream(this, endpoint.get(), d, client);
            }
            if (FAILED(status) || !client) {
                logMessage(this, L"ASIOSrv::: shared %s stream of %d frames refused (%s)",
                           kDirectionName[d], bufferFrames, vl::refusalText(status).text);
                continue;
            }
        } else {
            status =
                endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid());
            if (FAILED(status) || !client) continue;

            // The endpoint's own channel count, whatever subset the host has buffers for: a stereo
            // endpoint refuses a mono stream.
            if (!planFormat(d, plan, &format)) {
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
            polledCapture = d == kCapture && timerDriven() && audioClient[kRender];
            if (d == kRender) {
                status = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE,
                                            AUDCLNT_STREAMFLAGS_EVENTCALLBACK, duration, duration,
                                            wave, nullptr);
                if (status == CO_E_NOTINITIALIZED) {
                    // Undone on this thread only (releaseCom); a second thread's is never undone.
                    if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) &&
                        !comInitialized) {
                        comInitialized = true;
                        comThread = GetCurrentThreadId();
                    }
                    status = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE,
                                                AUDCLNT_STREAMFLAGS_EVENTCALLBACK, duration,
                                                duration, wave, nullptr);
                }
            } else if (polledCapture) {
                status = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0, duration, duration,
                                            wave, nullptr);
            } else {
                status = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE,
                                            AUDCLNT_STREAMFLAGS_EVENTCALLBACK, duration, duration,
                                            wave, nullptr);
            }
            // An endpoint that rounds durations up to whole frames may grant one frame more than
            // bufferFrames for the single-precision duration (128 frames at 48 kHz are 26667, which
            // it takes as 129, or refuses as not aligned); a fresh client asked for the truncated
            // duration gets bufferFrames.
            REFERENCE_TIME truncated =
                vl::framesToDurationFloor(uint32_t(bufferFrames), format.Format.nSamplesPerSec);
            UINT32 granted = 0;
            if (truncated != duration &&
                (status == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED ||
                 (SUCCEEDED(status) && SUCCEEDED(client->GetBufferSize(&granted)) &&
                  granted != UINT32(bufferFrames)))) {
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
            // Another program took the endpoint since init: shared, where the host's buffers
            // allow it.
            if (FAILED(status) && turnShared(this, endpoint.get(), d, plan.channels[d], status)) {
                format = sharedFormat(this, d);
                status = openSharedStream(this, endpoint.get(), d, client);
            }
        }
        if (d == kRender)
            logMessage(this, L"ASIOSrv:::\tRender [%d %d %d (%d)] (%s) TimerDrivenMode=%d",
                       format.Format.nSamplesPerSec, format.Format.nChannels,
                       format.Format.wBitsPerSample, format.Samples.wValidBitsPerSample,
                       vl::refusalText(status).text, timerDriven() ? 1 : 0);
        else
            logMessage(this, L"ASIOSrv:::\tCapture [%d %d %d (%d)] (%s)",
                       format.Format.nSamplesPerSec, format.Format.nChannels,
                       format.Format.wBitsPerSample, format.Samples.wValidBitsPerSample,
                       vl::refusalText(status).text);
        channelCount[d] = format.Format.nChannels;
        // Refused: the refusal is what the host is told, not the event the client then refuses.
        if (FAILED(status) || !client) continue;

        if (bufferEvent[d]) CloseHandle(bufferEvent[d]);
        bufferEvent[d] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!bufferEvent[d]) {
            logMessage(this, L"ASIOSrv::: Create event for %s failed!", kDirectionName[d]);
            status = E_FAIL;
            continue;
        }
        if (!polledCapture) {
            status = client->SetEventHandle(bufferEvent[d]);
            if (FAILED(status)) continue;
        }
        if (d == kRender && !timerDriven()) prerollSilence(client.get(), UINT32(bufferFrames));
        status = client->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&audioClient[d]));
    }

    const wchar_t* failedExtra = nullptr;
    HRESULT extraOutcome = S_OK;
    for (int d = kRender; d <= kCapture && !failedExtra; ++d)
        for (unsigned i = 0; i < extraCount[d] && (extras || extraOutputs) && audioClient[kRender];
             ++i)
            if (deviceWanted(this, d, extraDevices[d][i]) &&
                !openExtraDevice(this, d, extraDevices[d][i], &extraOutcome)) {
                failedExtra = extraDevices[d][i].id;
                break;
            }

    // A direction the host has buffers for and that did not open fails the start: streaming
    // the other alone would leave the host's inputs silent or its outputs unheard without a
    // word. What opened is taken down again.
    if ((wanted[kRender] && !audioClient[kRender]) ||
        (wanted[kCapture] && !audioClient[kCapture]) || failedExtra) {
        const int failed = wanted[kRender] && !audioClient[kRender] ? kRender : kCapture;
        for (int d = kRender; d <= kCapture; ++d) {
            if (audioClient[d]) audioClient[d]->Release();
            if (device[d]) device[d]->Release();
            audioClient[d] = device[d] = nullptr;
        }
        closeExtraDevices();
        ComRef<IMMDevice> endpoint;
        const wchar_t* id = failedExtra ? failedExtra : endpointId[failed];
        if (id) openEndpoint(enumerator.get(), id, endpoint);
        explainRefusal(this, endpoint.get(), failedExtra ? extraOutcome : outcome[failed]);
        return ASE_NotPresent;
    }
    errorText[0] = '\0';
    if (!audioClient[kRender] && !audioClient[kCapture])
        return SUCCEEDED(status) ? ASE_OK : ASE_NotPresent;

    if (timerDriven() && !threadReadyEvent)
        threadReadyEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    running.store(true, std::memory_order_relaxed);
    // Made suspended so that threadHandle is set before the thread can call the host, whose
    // switch may call stop; that stop waits for the control lock until start has returned.
    StreamHold* hold = makeHold(this);
    if (hold) {
        threadHandle = CreateThread(nullptr, 0,
                                    timerDriven() ? streamingThread<timerDrivenThread>
                                                  : streamingThread<eventDrivenThread>,
                                    hold, CREATE_SUSPENDED, nullptr);
        if (!threadHandle) {
            if (hold->module) FreeLibrary(hold->module);
            closeHold(hold);
            InterlockedDecrement(&holds);
        }
    }
    if (!threadHandle) return SUCCEEDED(status) ? ASE_OK : ASE_NotPresent;
    SetThreadPriority(threadHandle, THREAD_PRIORITY_HIGHEST);
    ResumeThread(threadHandle);
    // Only the timer-driven thread signals readiness; the event stays from an earlier
    // timer-driven start when the mode was switched since.
    if (timerDriven() && threadReadyEvent) WaitForSingleObject(threadReadyEvent, 1000);

    for (int d = kCapture; d >= kRender; --d) {
        ComRef<IAudioClient> client;
        if (SUCCEEDED(queryFrom(audioClient[d], client))) status = client->Start();
    }
    // The devices after the first go through bridges, which wait for their first packets
    // whenever they come: they start after render, whose first period must not wait.
    for (int d = kRender; d <= kCapture; ++d)
        for (unsigned i = 0; i < extraCount[d] && SUCCEEDED(status); ++i) {
            ComRef<IAudioClient> client;
            if (SUCCEEDED(queryFrom(extraDevices[d][i].audioClient, client)))
                status = client->Start();
        }
    if (FAILED(status)) {
        logMessage(this, L"ASIOSrv:::\tStart() returned %s", vl::refusalText(status).text);
        explainRefusal(this, nullptr, status);
    } else
        writeLogLine(this, L"ASIOSrv:::\tStart() called.");
    // The host's pre-fill switch stopped the driver while this call held the lock: that stop
    // only cleared running (see stop), the rest of it is done here.
    if (!running.load(std::memory_order_acquire)) stop();
    return SUCCEEDED(status) ? ASE_OK : ASE_NotPresent;
}

ASIOError ASIOSrv::stop() {
    // A host's switch that stops the driver while another host call holds the lock (and may be
    // waiting for this very thread) only clears running: that call takes the stream down, and
    // this thread ends as soon as the switch returns.
    bool fromSwitch = streamingThreadId.load() == GetCurrentThreadId();
    if (fromSwitch && !TryEnterCriticalSection(&controlLock)) {
        writeLogLine(this, L"ASIOSrv::stop...");
        running.store(false, std::memory_order_release);
        return ASE_OK;
    }
    if (!fromSwitch) EnterCriticalSection(&controlLock);
    ControlLock lock(this, true);
    writeLogLine(this, L"ASIOSrv::stop...");
    // Cleared before the events are set: a thread that wakes from them finds the flag off.
    running.store(false, std::memory_order_release);
    for (HANDLE event : bufferEvent)
        if (event) SetEvent(event);
    for (auto& extras : extraDevices)
        for (ExtraDevice& extra : extras)
            if (extra.bufferEvent) SetEvent(extra.bufferEvent);
    for (IUnknown* held : audioClient) {
        ComRef<IAudioClient> client;
        if (SUCCEEDED(queryFrom(held, client))) client->Stop();
    }
    for (auto& extras : extraDevices)
        for (ExtraDevice& extra : extras) {
            ComRef<IAudioClient> client;
            if (SUCCEEDED(queryFrom(extra.audioClient, client))) client->Stop();
        }
    // On the streaming thread itself (a host stopping inside its switch, the timer-driven
    // thread stopping the driver) there is nothing to wait for: the thread ends once this
    // returns to it. Elsewhere a thread that does not end in time keeps its handle (rule 4).
    bool onStreamingThread = threadHandle && GetThreadId(threadHandle) == GetCurrentThreadId();
    if (threadHandle && !onStreamingThread) {
        if (WaitForSingleObject(threadHandle, kThreadWaitMs) == WAIT_OBJECT_0) {
            CloseHandle(threadHandle);
            threadHandle = nullptr;
        } else {
            writeLogLine(this, L"ASIOSrv::: the streaming thread has not ended");
        }
    }
    if (!onStreamingThread)
        if (DWORD ms = vl::bufferMilliseconds(bufferFrames, sampleRate))
            Sleep(ms < kMaxStopPauseMs ? ms : kMaxStopPauseMs);
    // The thread holds its own events and clients: these go whether or not it has ended.
    for (int d = kRender; d <= kCapture; ++d) {
        if (bufferEvent[d]) CloseHandle(bufferEvent[d]);
        if (audioClient[d]) audioClient[d]->Release();
        if (device[d]) device[d]->Release();
        bufferEvent[d] = nullptr;
        audioClient[d] = device[d] = nullptr;
    }
    closeExtraDevices();
    releaseCom();
    return ASE_OK;
}

void ASIOSrv::closeExtraDevices() {
    for (auto& extras : extraDevices)
        for (ExtraDevice& extra : extras) {
            if (extra.bufferEvent) CloseHandle(extra.bufferEvent);
            if (extra.audioClient) extra.audioClient->Release();
            extra.bufferEvent = nullptr;
            extra.audioClient = nullptr;
        }
}

void ASIOSrv::collectStoppedThread() {
    if (threadHandle && WaitForSingleObject(threadHandle, 0) == WAIT_OBJECT_0) {
        CloseHandle(threadHandle);
        threadHandle = nullptr;
    }
}

void ASIOSrv::releaseCom() {
    if (!comInitialized || comThread != GetCurrentThreadId()) return;
    CoUninitialize();
    comInitialized = false;
}
