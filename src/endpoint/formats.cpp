#include "endpoint/formats.h"

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

uint32_t roundUpTo32(uint32_t frames) { return frames % 32 ? (frames / 32 + 1) * 32 : frames; }

uint32_t bufferMilliseconds(int32_t frames, double sampleRate) {
    if (!(sampleRate > 0.0)) return 0;
    double ms = static_cast<double>(static_cast<float>(frames) * 1000.0f) / sampleRate + 0.5;
    return ms > 0 ? static_cast<uint32_t>(ms) : 0;
}

} // namespace vl
