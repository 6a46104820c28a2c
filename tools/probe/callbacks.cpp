// The probe's ASIO callbacks: each buffer switch records its timing and position, keeps the
// inputs and fills the outputs; messages are counted.
#include "samples.h"
#include "session.h"

#include <algorithm>

static_assert(long(probe::kInt16LSB) == long(ASIOSTInt16LSB) &&
                  long(probe::kInt32LSB) == long(ASIOSTInt32LSB) &&
                  long(probe::kFloat64MSB) == long(ASIOSTFloat64MSB) &&
                  long(probe::kInt32LSB24) == long(ASIOSTInt32LSB24),
              "sample type values");

namespace probe {

Stream* stream = nullptr;

std::vector<SwitchRecord> Stream::received() const {
    const size_t n = std::min(switches.load(), records.size());
    return std::vector<SwitchRecord>(records.begin(), records.begin() + n);
}

std::vector<size_t> Stream::resyncsKept() const {
    const size_t told = std::min(size_t(resyncRequests.load()), resyncAt.size());
    return std::vector<size_t>(resyncAt.begin(), resyncAt.begin() + told);
}

namespace {

int64_t toInt64(const ASIOSamples& v) {
    return int64_t((uint64_t(v.hi) << 32) | v.lo);
}

void onSwitch(ASIOTime* params, long index, ASIOBool directProcess) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    Stream& s = *stream;
    if (!s.active.load(std::memory_order_acquire)) {
        s.lateCalls.fetch_add(1);
        return;
    }
    size_t n = s.switches.load(std::memory_order_relaxed);
    SwitchRecord r;
    r.index = int32_t(index);
    r.directProcess = int32_t(directProcess);
    r.seconds = secondsSince(s, now.QuadPart);
    if (params && (params->timeInfo.flags & kSamplePositionValid)) {
        r.positionValid = true;
        r.position = toInt64(params->timeInfo.samplePosition);
    } else {
        // No time record, or one without a position: ask, as hosts do.
        ASIOSamples pos = {};
        ASIOTimeStamp stamp = {};
        r.positionValid = s.driver->getSamplePosition(&pos, &stamp) == ASE_OK;
        r.position = toInt64(pos);
    }
    if (n < s.records.size()) s.records[n] = r;

    if (index == 0 || index == 1) {
        const size_t frames = size_t(s.bufferFrames);
        const int64_t first = int64_t(n) * s.bufferFrames;
        for (size_t c = 0; c < s.inputs; ++c) {
            if (size_t(first) + frames <= s.recordingFrames)
                samplesToInt32(s.types[c], s.infos[c].buffers[index],
                               &s.recording[c][size_t(first)], frames);
        }
        if (s.inputs < s.infos.size()) {
            if (s.sine)
                s.tone.render(first, s.scratch.data(), frames);
            else
                s.clicks.render(first, s.scratch.data(), frames);
            for (size_t c = s.inputs; c < s.infos.size(); ++c)
                samplesFromInt32(s.types[c], s.scratch.data(), s.infos[c].buffers[index], frames);
            // Hosts tell the driver the outputs are ready; a driver that uses it may send
            // them on at once.
            if (s.outputReadyWanted) s.driver->outputReady();
        }
        if (n == s.stallSwitch && n) Sleep(s.stallMs);
    } else {
        s.badHalves.fetch_add(1);
    }
    s.lastSwitchTicks.store(now.QuadPart, std::memory_order_relaxed);
    if (n < s.records.size()) {
        LARGE_INTEGER done;
        QueryPerformanceCounter(&done);
        s.records[n].doneSeconds = secondsSince(s, done.QuadPart);
    }
    s.switches.store(n + 1, std::memory_order_release);
}

void bufferSwitch(long index, ASIOBool directProcess) {
    if (stream) stream->plainCalls.fetch_add(1);
    if (stream) onSwitch(nullptr, index, directProcess);
}

ASIOTime* bufferSwitchTimeInfo(ASIOTime* params, long index, ASIOBool directProcess) {
    if (stream) stream->timeInfoCalls.fetch_add(1);
    if (stream) onSwitch(params, index, directProcess);
    return nullptr;
}

void sampleRateDidChange(ASIOSampleRate) {
    if (stream) stream->rateChanges.fetch_add(1);
}

long asioMessage(long selector, long value, void*, double*) {
    bool timeInfo = !stream || stream->timeInfoWanted;
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioEngineVersion || value == kAsioResetRequest ||
               value == kAsioBufferSizeChange || value == kAsioResyncRequest ||
               value == kAsioLatenciesChanged || value == kAsioOverload ||
               (value == kAsioSupportsTimeInfo && timeInfo);
    case kAsioEngineVersion:
        return 2;
    case kAsioSupportsTimeInfo:
        return timeInfo;
    case kAsioResetRequest:
        if (stream) stream->resetRequests.fetch_add(1);
        return 1;
    case kAsioResyncRequest:
        if (stream) {
            const long n = stream->resyncRequests.fetch_add(1);
            if (size_t(n) < stream->resyncAt.size()) stream->resyncAt[n] = stream->switches.load();
        }
        return 1;
    case kAsioBufferSizeChange:
        if (stream) stream->bufferSizeChanges.fetch_add(1);
        return 1;
    case kAsioLatenciesChanged:
        if (stream) {
            stream->latencyChanges.fetch_add(1);
            stream->latencyChangedAt.store(stream->switches.load());
        }
        return 1;
    case kAsioOverload:
        if (stream) stream->overloads.fetch_add(1);
        return 1;
    }
    return 0;
}

} // namespace

ASIOCallbacks callbacks = {bufferSwitch, sampleRateDidChange, asioMessage, bufferSwitchTimeInfo};

} // namespace probe
