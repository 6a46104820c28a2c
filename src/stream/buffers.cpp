// The host's double buffers: one zeroed block per channel, half 0 then half 1.
#include "driver/log.h"
#include "endpoint/formats.h"
#include "endpoint/shared.h"
#include "stream/convert.h"
#include "stream/engine.h"

#include <cstdlib>
#include <cstring>

void* (*blockAllocator)(size_t bytes) = malloc;

namespace {

void freeBlocks(void* (&slots)[16]) {
    for (void*& slot : slots) {
        free(slot);
        slot = nullptr;
    }
}

// Makes the blocks of one direction, whose slots are empty, for the entries that name it. A channel
// named twice in one request shares the block of its first entry: both entries then point at memory
// that lives until disposeBuffers, never at a block freed by the second one. Returns false when an
// allocation failed; the entry that failed and the ones after it keep null buffers.
bool makeBlocks(void* (&slots)[16], ASIOBufferInfo* infos, long count, bool inputs,
                ASIOSampleType type, long bufferSize) {
    uint64_t width = type == ASIOSTInt16LSB ? 2 : 4;
    // A non-positive or unaddressable size cannot be allocated: it fails like any other.
    uint64_t half = bufferSize > 0 ? width * uint64_t(bufferSize) : 0;
    for (long i = 0; i < count; ++i) {
        ASIOBufferInfo& info = infos[i];
        if ((info.isInput != 0) != inputs || info.channelNum < 0 || info.channelNum >= 16) continue;
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
    // Only a size the endpoints can stream, checked before anything is allocated: none before
    // init, none below the shortest period, none above the largest both endpoints grant (at
    // most 500 ms, or a second with no endpoint to ask, which also bounds stop's one-buffer
    // pause).
    long minSize = 0, maxSize = 0;
    measureBufferSizes(&minSize, &maxSize, nullptr, 0);
    if (minSize <= 0 || bufferSize < minSize || bufferSize > maxSize) {
        logMessage(this, L"ASIOSrv::: buffer size %d outside %d..%d", bufferSize, minSize, maxSize);
        return ASE_InvalidMode;
    }
    if (!isSharedPeriod(this, bufferSize)) {
        logMessage(this, L"ASIOSrv::: buffer size %d is no period of the shared engine",
                   bufferSize);
        return ASE_InvalidMode;
    }

    bool inputs = false, outputs = false;
    for (long i = 0; i < numChannels; ++i) {
        (bufferInfos[i].isInput ? inputs : outputs) = true;
        bufferInfos[i].buffers[0] = bufferInfos[i].buffers[1] = nullptr;
    }
    callbacks = *hostCallbacks;

    // Inputs first, whatever the order of the entries; a failure stops both directions.
    bool ok = true;
    if (inputs) {
        freeBlocks(asioBuffers[kCapture]);
        ok = makeBlocks(asioBuffers[kCapture], bufferInfos, numChannels, true, sampleType[kCapture],
                        bufferSize);
        bufferSampleType[kCapture] = sampleType[kCapture];
    }
    if (outputs) {
        freeBlocks(asioBuffers[kRender]);
        if (ok)
            ok = makeBlocks(asioBuffers[kRender], bufferInfos, numChannels, false,
                            sampleType[kRender], bufferSize);
        bufferSampleType[kRender] = sampleType[kRender];
    }
    bufferFrames = int32_t(bufferSize);
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
    for (int ch = 0; ch < 16; ++ch) {
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
    return ASE_NotPresent;
}
