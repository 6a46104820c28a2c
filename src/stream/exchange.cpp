// Moving audio between the host's halves and the endpoints, and handing halves to the host.
// All of it runs on the streaming thread; the arithmetic is in stream/convert.
#include "driver/log.h"
#include "stream/convert.h"
#include "stream/engine.h"

#include <audioclient.h>

#include <algorithm>
#include <cstring>

bool hostTakesTimeInfo(const ASIOCallbacks& callbacks) {
    auto asioMessage = callbacks.asioMessage; // read once for both questions
    if (!asioMessage) return false;
    return asioMessage(kAsioSelectorSupported, kAsioSupportsTimeInfo, nullptr, nullptr) &&
           asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr);
}

void ASIOSrv::prepareTimeRecord(ASIOTime* record) const {
    *record = {};
    record->timeInfo.speed = 1.0;
    record->timeInfo.sampleRate = sampleRate;
    record->timeInfo.flags =
        kSystemTimeValid | kSamplePositionValid | kSampleRateValid | kSpeedValid;
}

void requestReset(ASIOSrv* self, const ASIOCallbacks& host, HRESULT why) {
    logMessage(self, L"ASIOSrv::: The endpoint went away (0x%X): asking the host to reset", why);
    // Like a switch, only while running: a stopped driver's host may be tearing it down.
    auto asioMessage = host.asioMessage;
    if (!asioMessage || !self->running.load(std::memory_order_acquire)) return;
    if (asioMessage(kAsioSelectorSupported, kAsioResetRequest, nullptr, nullptr))
        asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

void requestResync(const ASIOCallbacks& host, int* supported) {
    auto asioMessage = host.asioMessage;
    if (!asioMessage) return;
    if (*supported < 0)
        *supported = asioMessage(kAsioSelectorSupported, kAsioResyncRequest, nullptr, nullptr) ? 1 : 0;
    if (*supported) asioMessage(kAsioResyncRequest, 0, nullptr, nullptr);
}

namespace {

// The host's half into the ring, and the frames `delay` before it out to the endpoint.
void delayHalf(ASIOSrv* self, OutputHandover& out, BYTE* data) {
    const uint32_t n = out.ringFrames, bytes = out.frameBytes, first = out.half ? out.frames : 0;
    const uint32_t room = n - out.ringPos;
    const uint32_t before = out.frames < room ? out.frames : room;
    self->copyRenderRange(first, before, out.ring.get() + size_t(out.ringPos) * bytes);
    if (before < out.frames)
        self->copyRenderRange(first + before, out.frames - before, out.ring.get());
    uint32_t from = (out.ringPos + n - out.delay) % n;
    for (uint32_t done = 0; done < out.frames;) {
        const uint32_t run = std::min(out.frames - done, n - from);
        memcpy(data + size_t(done) * bytes, out.ring.get() + size_t(from) * bytes,
               size_t(run) * bytes);
        done += run;
        from = (from + run) % n;
    }
    out.ringPos = (out.ringPos + out.frames) % n;
}

} // namespace

void sendOutput(ASIOSrv* self, OutputHandover& out) {
    // Never twice, and never once stop has cleared running: the host may be freeing its
    // buffers.
    if (out.sent || !self->running.load(std::memory_order_acquire)) return;
    out.sent = true;
    out.padded = false;
    out.playsAt = 0;
    UINT32 queued = 0;
    // A shared stream's buffer is the engine's, which reads a period a pass: the output's
    // latency is what is queued when a half goes in, as the first pass found it. A pass that
    // finds half a period more (two passes in one period) leaves its half out; one that finds
    // half a period less (a stall let the engine play the queue dry) puts silence back
    // first, so that the output is never earlier than reported. Either is a dropout.
    const long atWake = out.queuedAtWake;
    out.queuedAtWake = -1;
    if (atWake >= 0) queued = UINT32(atWake);
    if (out.sharedClient && (atWake >= 0 || SUCCEEDED(out.sharedClient->GetCurrentPadding(&queued)))) {
        // The first pass normally finds the silence released before Start read already: the
        // engine reads each stream at the period that ends in the capture packet this pass
        // answers. Found still queued whole, the render stream started after that period
        // (its Start came late): the engine reads it at the next one, and every later pass
        // finds the queue a period shorter. The half waits for the next pass, whose place it
        // has; sent now, it would play a period later than the latency says, for good.
        if (out.targetQueued < 0 && queued == out.frames) {
            out.targetQueued = 0;
            out.result = S_OK;
            return;
        }
        if (out.targetQueued < 0) out.targetQueued = long(queued);
        const long target = out.targetQueued, half = long(out.frames / 2);
        if (queued + out.frames > out.bufferFrames || long(queued) > target + half) {
            logMessage(self, L"ASIOSrv::: Render buffer full (%d of %d frames queued)", queued,
                       out.bufferFrames);
            out.result = S_FALSE;
            return;
        }
        if (long(queued) + half < target) {
            BYTE* silence = nullptr;
            const UINT32 gap = UINT32(target - long(queued));
            if (SUCCEEDED(out.render->GetBuffer(gap, &silence))) {
                out.render->ReleaseBuffer(gap, AUDCLNT_BUFFERFLAGS_SILENT);
                out.written += gap;
            }
            out.padded = true;
        }
    }
    BYTE* data = nullptr;
    out.result = out.render->GetBuffer(out.frames, &data);
    if (SUCCEEDED(out.result) && data) {
        if (out.ring)
            delayHalf(self, out, data);
        else
            self->copyRenderHalf(out.half, data);
    }
    out.render->ReleaseBuffer(out.frames, 0);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    out.sentTicks = now.QuadPart;
    // When the frame this half went to plays: where the endpoint's clock stands now, moved on
    // by what was written before it.
    UINT64 position = 0, qpc = 0;
    if (SUCCEEDED(out.result) && out.clock && out.clockFrequency > 0 && self->sampleRate > 0 &&
        SUCCEEDED(out.clock->GetPosition(&position, &qpc)) && qpc) {
        const double ahead =
            double(out.written) - double(position) / out.clockFrequency * self->sampleRate;
        out.playsAt = UINT64(int64_t(qpc) + int64_t(ahead / self->sampleRate * 1e7 + 0.5));
    }
    if (SUCCEEDED(out.result)) out.written += out.frames;
}

bool endpointGone(IUnknown* held) {
    ComRef<IAudioClient> client;
    UINT32 padding = 0;
    return held && SUCCEEDED(queryFrom(held, client)) && client &&
           client->GetCurrentPadding(&padding) == AUDCLNT_E_DEVICE_INVALIDATED;
}

void ASIOSrv::signalBufferSwitch(const ASIOCallbacks& host, ASIOTime* timeInfo, bool useTimeInfo,
                                 ASIOBool directProcess) {
    // Once stop has cleared running the host may be freeing its buffers: no more switches.
    if (!running.load(std::memory_order_acquire)) return;
    // Only this thread writes the count, so a load and a store make the increment.
    uint64_t count = switchCount.load(std::memory_order_relaxed);
    long half = long(count & 1);
    if (useTimeInfo) {
        if (!timeInfo) return;
        if (auto bufferSwitchTimeInfo = host.bufferSwitchTimeInfo) {
            getSamplePosition(&timeInfo->timeInfo.samplePosition, &timeInfo->timeInfo.systemTime);
            bufferSwitchTimeInfo(timeInfo, half, directProcess);
            switchCount.store(count + 1, std::memory_order_relaxed);
            return;
        }
    }
    if (auto bufferSwitch = host.bufferSwitch) bufferSwitch(half, directProcess);
    switchCount.store(count + 1, std::memory_order_relaxed);
}

namespace {

// The one place a direction's mode reaches the streaming pass: a shared stream's endpoint
// frames are the engine's floats, an exclusive one's the host's own sample type.
void toEndpoint(const ASIOSrv& s, uint32_t first, uint32_t frames, BYTE* out) {
    if (s.shared[kRender])
        vl::interleaveFloatFrames(s.asioBuffers[kRender], s.channelCount[kRender], first, frames,
                                  out);
    else
        vl::interleaveFrames(s.sampleType[kRender], s.asioBuffers[kRender], s.channelCount[kRender],
                             first, frames, out);
}

void fromEndpoint(const ASIOSrv& s, uint32_t first, uint32_t frames, const BYTE* in) {
    if (s.shared[kCapture])
        vl::deinterleaveFloatFrames(s.asioBuffers[kCapture], s.channelCount[kCapture], first,
                                    frames, in);
    else
        vl::deinterleaveFrames(s.sampleType[kCapture], s.asioBuffers[kCapture],
                               s.channelCount[kCapture], first, frames, in);
}

} // namespace

void ASIOSrv::copyRenderHalf(uint8_t halfIndex, BYTE* endpointBuffer) {
    if (bufferFrames <= 0) return;
    toEndpoint(*this, halfIndex ? uint32_t(bufferFrames) : 0, uint32_t(bufferFrames),
               endpointBuffer);
}

void ASIOSrv::copyCaptureHalf(uint8_t halfIndex, const BYTE* endpointBuffer) {
    if (bufferFrames <= 0) return;
    fromEndpoint(*this, halfIndex ? uint32_t(bufferFrames) : 0, uint32_t(bufferFrames),
                 endpointBuffer);
}

void ASIOSrv::copyRenderRange(uint32_t position, uint32_t frames, BYTE* endpointBuffer) {
    if (bufferFrames <= 0) return;
    // Never past the end of a block.
    frames = vl::framesBeforeEnd(position, frames, 2 * uint32_t(bufferFrames));
    toEndpoint(*this, position, frames, endpointBuffer);
}

void ASIOSrv::copyCaptureRange(uint32_t position, uint32_t frames, const BYTE* source) {
    if (bufferFrames <= 0) return;
    frames = vl::framesBeforeEnd(position, frames, 2 * uint32_t(bufferFrames));
    fromEndpoint(*this, position, frames, source);
}

namespace {

// Bytes of one endpoint frame of a direction.
uint32_t frameBytes(const ASIOSrv& s, int d) {
    return vl::sampleBytes(s.sampleType[d]) * s.channelCount[d];
}

} // namespace

ASIOError ASIOSrv::ProcessData(uint32_t direction, IUnknown* service, uint32_t position,
                               uint32_t frames) {
    if (!service || !frames) return ASE_InvalidParameter;
    ASIOError result = ASE_NotPresent;
    if (direction > 1) return result;
    uint32_t total = bufferFrames > 0 ? 2 * uint32_t(bufferFrames) : 0;

    if (direction == kRender) {
        ComRef<IAudioRenderClient> render;
        if (FAILED(queryFrom(service, render))) return result;
        BYTE* data = nullptr;
        HRESULT hr = render->GetBuffer(frames, &data);
        if (FAILED(hr) || !data) {
            logMessage(this, L"ASIOSrv:::   RENDER GetBuffer(%d) returns 0x%X (pBuffer=0x%X)",
                       frames, hr, low32(data));
        } else {
            logMessage(this, L"ASIOSrv:::    ***ProcessData(%d) pos=%d Buffer=0x%X 0x%X", frames,
                       position, low32(data), hr);
            // A run that passes the end of the double buffer goes on from its start.
            uint32_t first = vl::framesBeforeEnd(position, frames, total);
            copyRenderRange(position, first, data);
            if (first < frames)
                copyRenderRange(0, frames - first,
                                data + size_t(first) * frameBytes(*this, kRender));
            result = ASE_OK;
        }
        // What was obtained is released as written, never as silence.
        if (data) render->ReleaseBuffer(frames, 0);
        return result;
    }

    ComRef<IAudioCaptureClient> capture;
    if (FAILED(queryFrom(service, capture))) return result;
    BYTE* data = nullptr;
    DWORD flags = 0;
    UINT32 got = frames;
    HRESULT hr = capture->GetBuffer(&data, &got, &flags, nullptr, nullptr);
    if (flags) {
        logMessage(this, L"ASIOSrv:::   CAPTURE GetBuffer(%d) got flag=0x%X Buffer=0x%X (0x%X)",
                   got, flags, low32(data), hr);
        result = ASE_HWMalfunction;
    }
    if (FAILED(hr) || !got || !data) {
        logMessage(this, L"ASIOSrv:::   CAPTURE GetBuffer(%d) returns 0x%X (pBuffer=0x%X)", got, hr,
                   low32(data));
    } else {
        logMessage(this, L"ASIOSrv:::    ###ProcessData(%d) pos=%d Buffer=0x%X 0x%X", got, position,
                   low32(data), hr);
        uint32_t first = vl::framesBeforeEnd(position, got, total);
        if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
            // Flagged silent: silence, whatever the buffer holds.
            vl::silenceFrames(sampleType[kCapture], asioBuffers[kCapture], channelCount[kCapture],
                              position, first);
            vl::silenceFrames(sampleType[kCapture], asioBuffers[kCapture], channelCount[kCapture],
                              0, std::min(got - first, total));
        } else {
            copyCaptureRange(position, first, data);
            if (first < got)
                copyCaptureRange(0, got - first,
                                 data + size_t(first) * frameBytes(*this, kCapture));
        }
        result = ASE_OK;
    }
    if (data || got) {
        UINT32 released = data ? got : 0;
        HRESULT rhr = capture->ReleaseBuffer(released);
        if (FAILED(rhr))
            logMessage(this, L"ASIOSrv::: CAPTURE ReleaseBuffer(%d) got 0x%X", released, rhr);
    }
    return result;
}

HRESULT ASIOSrv::stageCapture(IUnknown* service, BYTE* ring, uint32_t ringFrames,
                              uint32_t* writePos, uint32_t bytesPerFrame,
                              vl::PositionWatch* positions, double* startSeconds) {
    if (!service || !ring || !writePos || !ringFrames) return S_OK;
    ComRef<IAudioCaptureClient> capture;
    if (FAILED(queryFrom(service, capture))) return S_OK;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 position = 0, qpc = 0;
    HRESULT hr = capture->GetBuffer(&data, &frames, &flags, &position, &qpc);
    if (flags)
        logMessage(this, L"ASIOSrv:::   CAPTURE GetBuffer(%d) got flag=0x%X Buffer=0x%X (0x%X)",
                   frames, flags, low32(data), hr);
    if (FAILED(hr) || !frames) {
        if (data) capture->ReleaseBuffer(frames);
        return hr;
    }
    if (!data) return hr;
    // Frames the device lost (a packet overwritten while the thread was held up) are silence
    // in their place: the ring's lead over render stays what start made it.
    if (positions && positions->onPacket(position, frames)) {
        const uint64_t gap = positions->skipped();
        *writePos = vl::ringAppend(ring, ringFrames, *writePos, nullptr,
                                   uint32_t(gap < ringFrames ? gap : ringFrames), bytesPerFrame);
        // A gap longer than the ring leaves it all silence, and the next packet where its
        // position falls.
        if (gap > ringFrames) *writePos = uint32_t((*writePos + gap % ringFrames) % ringFrames);
    }
    if (startSeconds && *startSeconds < 0 && qpc && sampleRate > 0 &&
        !(flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR))
        *startSeconds = double(qpc) * 1e-7 - double(position) / sampleRate;
    // A packet flagged silent is staged as silence, whatever its buffer holds.
    *writePos =
        vl::ringAppend(ring, ringFrames, *writePos,
                       flags & AUDCLNT_BUFFERFLAGS_SILENT ? nullptr : data, frames, bytesPerFrame);
    logMessage(this, L"ASIOSrv:::   InternalWritePos=>%d (%d)", *writePos, frames);
    capture->ReleaseBuffer(frames);
    return hr;
}
