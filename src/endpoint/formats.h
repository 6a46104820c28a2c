// Stream-format and duration arithmetic of the endpoint layer, over plain values.
// Portable: no Windows header. The Windows side copies a StreamFormat into a
// WAVEFORMATEXTENSIBLE (see toWaveFormat in endpoint/wave.h).
#pragma once

#include <cstdint>

namespace vl {

constexpr int32_t kSampleTypeInt16LSB = 16; // ASIOSTInt16LSB
constexpr int32_t kSampleTypeInt32LSB = 18; // ASIOSTInt32LSB: 24 valid bits in 32
constexpr int32_t kSampleTypeFloat32LSB = 19; // ASIOSTFloat32LSB: the audio engine's floats

constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

// The fields of a WAVEFORMATEXTENSIBLE that the driver sets (SubFormat is always PCM).
struct StreamFormat {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint16_t cbSize = 0;
    uint16_t validBitsPerSample = 0;
    uint32_t channelMask = 0;
};

// The exclusive-mode stream format of a direction: extensible PCM, 16 bits, or 24 valid bits
// in 32 for ASIOSTInt32LSB. Channel counts with no speaker mask (0, 3, 5, 7, 9 or more) give
// a format whose channelMask is 0, which means the direction cannot be opened.
StreamFormat streamFormat(int32_t sampleType, uint16_t channels, double sampleRate);

// Speaker mask of the stream format: 1 front centre, 2 FL FR, 4 quad, 6 5.1, 8 7.1, else 0.
uint32_t streamChannelMask(uint32_t channels);

// The channel count a direction is opened with: the endpoint's own (from its device format),
// or, when the host has buffers beyond it, the smallest count with a speaker layout that
// holds them. Counts above 8 are returned as they are (they have no layout).
uint32_t streamChannels(uint32_t endpointChannels, uint32_t highestChannelPlusOne);

// Speaker mask of the output channel probe: 4, 6 and 8 as above, every other count FL FR.
uint32_t probeChannelMask(uint32_t channels);

// The 16-bit stereo PCM probe format (plain WAVEFORMATEX) at a rate, truncated.
StreamFormat probeFormat(double sampleRate);

// The rate endpoints are opened at: the stored rate truncated toward zero.
uint32_t truncatedRate(double sampleRate);

// Buffer duration in 100-ns units for a frame count, computed in single precision as the
// endpoint negotiation has it: 512 frames at 48000 Hz give 106667, 542 at 44100 give 122903.
int64_t framesToDuration(uint32_t frames, uint32_t samplesPerSec);

// The longest duration that is not above frames at the rate (integer arithmetic): an endpoint
// that rounds durations up to whole frames grants exactly frames for it, as one that rounds
// to nearest does, where the single-precision duration above may come out one frame long.
int64_t framesToDurationFloor(uint32_t frames, uint32_t samplesPerSec);

// The buffer size an endpoint pair streaming with frames of these widths (bytes; 0 for a
// direction that does not run) grants for a duration: the nearest whole frame, in steps of 32
// frames as granted sizes are reported, and aligned to 128 bytes in each direction, as HD
// Audio endpoints align buffers. 0 for a duration or rate that is not positive.
uint32_t streamFramesForDuration(int64_t duration, uint32_t samplesPerSec,
                                 uint32_t renderFrameBytes, uint32_t captureFrameBytes);

// Frame counts the endpoints grant are reported as multiples of 32, rounded up.
uint32_t roundUpTo32(uint32_t frames);

// The periods a shared-mode engine offers a stream, in frames at its rate: every multiple of
// the fundamental from the minimum to the maximum, and the default (an engine without
// low-latency periods has all four equal, or a fundamental of 0).
struct EnginePeriods {
    uint32_t defaultPeriod = 0;
    uint32_t fundamental = 0;
    uint32_t minimum = 0;
    uint32_t maximum = 0;
};

bool isEnginePeriod(const EnginePeriods& engine, uint32_t frames);

// The rates a shared stream may run at other than the engine's, through the engine's own
// converter: those HD Audio devices commonly run at, 44.1 and 48 kHz and their multiples.
bool isConvertibleRate(uint32_t rate);

// A frame count at one rate in frames of another, rounded to nearest, as the engine counts a
// converted stream's period. 0 for a rate of 0.
uint32_t convertFrames(uint32_t frames, uint32_t fromRate, uint32_t toRate);

// The periods a shared stream at `rate` gets from an engine at `engineRate`: its own periods
// at its own rate; through the converter, which only IAudioClient::Initialize opens, the
// engine's default period alone, in frames of the stream's rate.
EnginePeriods periodsAtRate(const EnginePeriods& engine, uint32_t engineRate, uint32_t rate);

// The frame count within [lo, hi] nearest to `frames` (the smaller of two as near) that every
// one of `count` engines offers as a period; 0 when none does.
uint32_t nearestCommonPeriod(const EnginePeriods* engines, unsigned count, uint32_t frames,
                             uint32_t lo, uint32_t hi);

// One buffer's length in milliseconds (stop's pause), 0 when the rate is not positive.
uint32_t bufferMilliseconds(int32_t frames, double sampleRate);

} // namespace vl
