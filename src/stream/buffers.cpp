// The host's double buffers: one zeroed block per channel, half 0 then half 1.
#include "driver/log.h"
#include "endpoint/formats.h"
#include "stream/convert.h"
#include "stream/engine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void* (*blockAllocator)(size_t bytes) = malloc;

namespace {

void freeBlocks(void* (&slots)[kMaxHostChannels]) {
    for (void*& slot : slots) {
        free(slot);
        slot = nullptr;
    }
}

// Makes the blocks of one direction, whose slots are empty, for the entries that name it. A channel
// named twice in one request shares the block of its first entry: both entries then point at memory
// that lives until disposeBuffers, never at a block freed by the second one. Returns false when an
// allocation failed; the entry that failed and the ones after it keep null buffers.
bool makeBlocks(const ASIOSrv* self, void* (&slots)[kMaxHostChannels], ASIOBufferInfo* infos,
                long count, bool inputs, ASIOSampleType type, long bufferSize) {
    uint64_t width = type == ASIOSTInt16LSB ? 2 : 4;
    // A non-positive or unaddressable size cannot be allocated: it fails like any other.
    uint64_t half = bufferSize > 0 ? width * uint64_t(bufferSize) : 0;
    for (long i = 0; i < count; ++i) {
        ASIOBufferInfo& info = infos[i];
        if ((info.isInput != 0) != inputs ||
            !self->channelExists(inputs ? kCapture : kRender, info.channelNum))
            continue;
        uint8_t* block = static_cast<uint8_t*>(slots[info.channelNum]);
        if (!block) {
            if (half == 0 || 2 * half > SIZE_MAX) return false;
            block = static_cast<uint8_t*>(blockAllocator(size_t(2 * half)));
            if (!block) return false;
            memset(block, 0, size_t(2 * half));
            slots[info.channelNum] = block;
        }
        info.buffers[0] = block;
        info.buffers[1] = block + half;
    }
    return true;
}

} // namespace

ASIOError ASIOSrv::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                 ASIOCallbacks* hostCallbacks) {
    // Without callbacks the host could never be told that a half is due: refuse the request
    // as a whole, like one without entries, rather than stream into nowhere.
    if (!bufferInfos || !hostCallbacks) return ASE_InvalidParameter;
    ControlLock lock(this);
    logMessage(this,
               L"ASIOSrv::createBuffers() nChannels=%d size=%d (callback=0x%X 0x%X 0x%X 0x%X)",
               numChannels, bufferSize, low32(hostCallbacks->bufferSwitch),
               low32(hostCallbacks->sampleRateDidChange), low32(hostCallbacks->asioMessage),
               low32(hostCallbacks->bufferSwitchTimeInfo));

    // New buffers while the stream runs: it stops first, as disposeBuffers does, so that the
    // thread never copies through blocks that are being replaced. A thread already told to
    // stop (from inside its own switch) may still hold its clients: it is awaited too, as
    // start does, or the size check below would find the endpoints busy.
    if (streamOpen() || threadHandle) stop();

    // What start will open: the directions the request names, and one it does not name
    // whose blocks stay (at the current size only: at another they would be too short).
    StreamPlan plan;
    bool named[2] = {false, false};
    for (long i = 0; i < numChannels; ++i) {
        const ASIOBufferInfo& info = bufferInfos[i];
        int d = info.isInput ? kCapture : kRender;
        named[d] = true;
        if (info.channelNum >= 0 && unsigned(info.channelNum) < firstDeviceChannels(d) &&
            unsigned(info.channelNum) >= plan.channels[d])
            plan.channels[d] = unsigned(info.channelNum) + 1;
    }
    const bool sameSize = bufferSize == bufferFrames;
    const StreamPlan current = bufferPlan();
    for (int d = kRender; d <= kCapture; ++d)
        if (!named[d] && sameSize) plan.channels[d] = current.channels[d];
    // Channels of a direction without an endpoint (a PC that only records) do not exist:
    // getChannels offered none, and start could never open them.
    for (int d = kRender; d <= kCapture; ++d)
        if (plan.channels[d] && !endpointId[d] && deviceEnumerator) {
            logMessage(this, L"ASIOSrv::: no %s endpoint for the buffers",
                       d == kRender ? L"render" : L"capture");
            std::snprintf(
                errorText, sizeof errorText, "This PC has no %s device: the driver has no %s.",
                d == kRender ? "playback" : "recording", d == kRender ? "outputs" : "inputs");
            return ASE_InvalidParameter;
        }
    // Only a size that starts, checked before anything is allocated: none before init, none
    // the endpoints refuse in the formats start opens, and none when nothing can be asked (a
    // stream whose switch stalled still holds the endpoints). A request for no channel is
    // checked as the sizes are offered.
    if (bufferSize <= 0 ||
        sizeStarts(plan.empty() ? queryPlan() : plan, uint32_t(bufferSize)) != Grant::Yes) {
        logMessage(this, L"ASIOSrv::: buffer size %d does not start", bufferSize);
        std::snprintf(errorText, sizeof errorText,
                      "The devices do not take a buffer of %ld samples: choose another size.",
                      bufferSize);
        return ASE_InvalidMode;
    }

    for (long i = 0; i < numChannels; ++i)
        bufferInfos[i].buffers[0] = bufferInfos[i].buffers[1] = nullptr;
    callbacks = *hostCallbacks;

    // Inputs first, whatever the order of the entries; a failure stops both directions. A
    // direction the request does not name keeps its blocks at the same size and loses them
    // at another.
    bool ok = true;
    if (named[kCapture] || !sameSize) {
        freeBlocks(asioBuffers[kCapture]);
        ok = makeBlocks(this, asioBuffers[kCapture], bufferInfos, numChannels, true, sampleType[kCapture],
                        bufferSize);
        bufferSampleType[kCapture] = sampleType[kCapture];
    }
    if (named[kRender] || !sameSize) {
        freeBlocks(asioBuffers[kRender]);
        if (ok)
            ok = makeBlocks(this, asioBuffers[kRender], bufferInfos, numChannels, false,
                            sampleType[kRender], bufferSize);
        bufferSampleType[kRender] = sampleType[kRender];
    }
    bufferFrames = int32_t(bufferSize);
    std::snprintf(errorText, sizeof errorText, "%s",
                  ok ? "" : "Not enough memory for the buffers: choose a smaller size.");
    return ok ? ASE_OK : ASE_NoMemory;
}

ASIOError ASIOSrv::disposeBuffers() {
    ControlLock lock(this);
    writeLogLine(this, L"ASIOSrv::disposeBuffers...");
    releaseBufferSet();
    return ASE_OK;
}

void ASIOSrv::releaseBufferSet() {
    ControlLock lock(this);
    if (streamOpen())
        stop();
    else
        collectStoppedThread();
    if (logFile) fflush(logFile);
    callbacks = {};
    hostCallsOutputReady.store(false, std::memory_order_relaxed);
    for (int ch = 0; ch < kMaxHostChannels; ++ch) {
        free(asioBuffers[kRender][ch]);
        free(asioBuffers[kCapture][ch]);
        asioBuffers[kRender][ch] = asioBuffers[kCapture][ch] = nullptr;
    }
    releaseCom();
}

ASIOError ASIOSrv::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    // Either value may be one switch older than the other: both are single-writer counters
    // of the streaming thread, read without a lock.
    if (sPos) {
        uint64_t position =
            uint64_t(int64_t(bufferFrames)) * switchCount.load(std::memory_order_relaxed);
        sPos->hi = static_cast<unsigned long>(position >> 32);
        sPos->lo = static_cast<unsigned long>(position);
    }
    if (tStamp) {
        uint64_t ns = uint64_t(switchTimeMs.load(std::memory_order_relaxed)) * 1000000u;
        tStamp->hi = static_cast<unsigned long>(ns >> 32);
        tStamp->lo = static_cast<unsigned long>(ns);
    }
    return ASE_OK;
}

ASIOError ASIOSrv::outputReady() {
    // Hosts call this in every switch: no lock and no log line. Many ask it once before they
    // make their buffers, as a question whether the driver uses it, and call it in their
    // switches only if it does: a call at any time after init is heard, for the buffers that
    // exist or the next ones, and inside the switch the half just filled goes out at once.
    if (!deviceEnumerator) return ASE_NotPresent;
    hostCallsOutputReady.store(true, std::memory_order_relaxed);
    if (streamingThreadId.load(std::memory_order_relaxed) == GetCurrentThreadId() && pendingOutput)
        sendOutput(this, *pendingOutput);
    return ASE_OK;
}
