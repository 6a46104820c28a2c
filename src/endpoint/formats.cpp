#include "endpoint/formats.h"

#include <initializer_list>

namespace vl {

uint32_t truncatedRate(double sampleRate) {
    if (!(sampleRate > 0.0)) return 0;
    if (sampleRate >= 4294967295.0) return 4294967295u;
    return static_cast<uint32_t>(sampleRate);
}

uint32_t streamChannelMask(uint32_t channels) {
    switch (channels) {
    case 1: return 0x4;
    case 2: return 0x3;
    case 4: return 0x33;
    case 6: return 0x3F;
    case 8: return 0x63F;
    default: return 0;
    }
}

uint32_t streamChannels(uint32_t endpointChannels, uint32_t highestChannelPlusOne) {
    uint32_t n = endpointChannels;
    if (highestChannelPlusOne > n) n = highestChannelPlusOne;
    if (n > 8 || streamChannelMask(n)) return n;
    for (uint32_t c = n + 1; c <= 8; ++c)
        if (streamChannelMask(c)) return c;
    return n;
}

uint32_t probeChannelMask(uint32_t channels) {
    switch (channels) {
    case 4: return 0x33;
    case 6: return 0x3F;
    case 8: return 0x63F;
    default: return 0x3;
    }
}

StreamFormat streamFormat(int32_t sampleType, uint16_t channels, double sampleRate) {
    StreamFormat f;
    f.formatTag = kWaveFormatExtensible;
    f.samplesPerSec = truncatedRate(sampleRate);
    f.cbSize = 22;
    f.channels = channels;
    f.validBitsPerSample = sampleType == kSampleTypeInt32LSB ? 24 : 16;
    f.bitsPerSample = f.validBitsPerSample == 24 ? 32 : 16;
    f.channelMask = channels <= 8 ? streamChannelMask(channels) : 0;
    f.blockAlign = static_cast<uint16_t>(f.bitsPerSample * channels / 8);
    f.avgBytesPerSec = f.blockAlign * f.samplesPerSec;
    return f;
}

StreamFormat probeFormat(double sampleRate) {
    StreamFormat f;
    f.formatTag = kWaveFormatPcm;
    f.channels = 2;
    f.samplesPerSec = truncatedRate(sampleRate);
    f.avgBytesPerSec = 4 * f.samplesPerSec;
    f.blockAlign = 4;
    f.bitsPerSample = 16;
    f.cbSize = 0;
    return f;
}

int64_t framesToDuration(uint32_t frames, uint32_t samplesPerSec) {
    if (samplesPerSec == 0) return 0;
    float d = static_cast<float>(frames) * 10000000.0f / static_cast<float>(samplesPerSec) + 0.5f;
    return static_cast<int64_t>(d);
}

int64_t framesToDurationFloor(uint32_t frames, uint32_t samplesPerSec) {
    if (samplesPerSec == 0) return 0;
    return int64_t(uint64_t(frames) * 10000000u / samplesPerSec);
}

uint32_t streamFramesForDuration(int64_t duration, uint32_t samplesPerSec,
                                 uint32_t renderFrameBytes, uint32_t captureFrameBytes) {
    if (duration <= 0 || samplesPerSec == 0) return 0;
    uint64_t frames = (uint64_t(duration) * samplesPerSec + 5000000) / 10000000;
    uint64_t step = 32;
    for (uint32_t bytes : {renderFrameBytes, captureFrameBytes}) {
        if (!bytes) continue;
        uint64_t a = 128, b = bytes; // frames per 128-byte step: 128 / gcd(128, bytes)
        while (b) {
            uint64_t t = a % b;
            a = b;
            b = t;
        }
        if (128 / a > step) step = 128 / a; // both powers of two: the larger is a multiple

    }
    frames = (frames + step - 1) / step * step;
    return frames > 0xFFFFFFFFu ? 0 : uint32_t(frames);
}

bool isEnginePeriod(const EnginePeriods& e, uint32_t frames) {
    if (frames == 0) return false;
    if (frames == e.defaultPeriod) return true;
    return e.fundamental && frames % e.fundamental == 0 && frames >= e.minimum &&
           frames <= e.maximum;
}

bool isConvertibleRate(uint32_t rate) {
    for (uint32_t r : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u})
        if (rate == r) return true;
    return false;
}

uint32_t convertFrames(uint32_t frames, uint32_t fromRate, uint32_t toRate) {
    if (fromRate == 0) return 0;
    return uint32_t((uint64_t(frames) * toRate + fromRate / 2) / fromRate);
}

EnginePeriods periodsAtRate(const EnginePeriods& engine, uint32_t engineRate, uint32_t rate) {
    if (rate == engineRate) return engine;
    const uint32_t period = convertFrames(engine.defaultPeriod, engineRate, rate);
    return {period, 0, period, period};
}

uint32_t nearestCommonPeriod(const EnginePeriods* engines, unsigned count, uint32_t frames,
                             uint32_t lo, uint32_t hi) {
    if (lo == 0) lo = 1;
    if (lo > hi) return 0;
    auto offered = [&](uint32_t f) {
        for (unsigned i = 0; i < count; ++i)
            if (!isEnginePeriod(engines[i], f)) return false;
        return true;
    };
    uint32_t start = frames < lo ? lo : frames > hi ? hi : frames;
    // Outwards from the clamped request, the smaller side first; the range is a buffer's
    // worth of frames at most, and this is no streaming path.
    for (uint32_t d = 0; d <= hi - lo; ++d) {
        if (start >= lo + d && offered(start - d)) return start - d;
        if (start + d <= hi && start + d >= start && offered(start + d)) return start + d;
    }
    return 0;
}

uint32_t roundUpTo32(uint32_t frames) { return frames % 32 ? (frames / 32 + 1) * 32 : frames; }

uint32_t bufferMilliseconds(int32_t frames, double sampleRate) {
    if (!(sampleRate > 0.0)) return 0;
    double ms = static_cast<double>(static_cast<float>(frames) * 1000.0f) / sampleRate + 0.5;
    return ms > 0 ? static_cast<uint32_t>(ms) : 0;
}

} // namespace vl
