// Sample conversion between the host's per-channel double buffers and the endpoints'
// interleaved frames, and the frame arithmetic of the streaming threads. Portable: plain
// values and buffers, no Windows header; ASIOSrv's exchange routines are thin calls of these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vl {

// Channels per direction a host can have buffers for.
constexpr unsigned kMaxChannels = 16;

// Only the upper 24 bits of a 32-bit container pass: the stream carries 24 valid bits.
constexpr uint32_t kValid24Mask = 0xFFFFFF00u;

// Bytes of one sample: 2 for 16-bit, 4 for 24 bits in 32 and for the engine's floats; 0 for
// every type that is not transferred.
unsigned sampleBytes(int32_t sampleType);

// Whether every channel of a frame channelCount samples wide has a block (at most 16 can).
bool allChannelsPresent(void* const* blocks, unsigned channelCount);

// Copies frames [first, first + frames) of each channel's block into its own channel of an
// endpoint buffer of interleaved frames, each channelCount samples wide, starting at its
// frame 0. Channels without a block (and any beyond 16) are written as silence: the endpoint
// plays whatever its buffer holds. 24-in-32 samples lose their low byte; other sample types
// copy nothing.
void interleaveFrames(int32_t sampleType, void* const* blocks, unsigned channelCount,
                      uint32_t first, uint32_t frames, void* endpoint);

// The mirror image: each channel of interleaved endpoint frames into [first, first + frames)
// of its block; channels without a block are dropped.
void deinterleaveFrames(int32_t sampleType, void* const* blocks, unsigned channelCount,
                        uint32_t first, uint32_t frames, const void* endpoint);

// The same two transfers for a shared-mode stream, whose endpoint frames are the engine's
// 32-bit floats while the host's blocks hold 24 valid bits in 32 (ASIOSTInt32LSB). Every
// 24-bit sample is exact as a float, so a sample goes out and comes back bit for bit; a float
// from the engine is clamped to full scale and rounded to the nearest 24-bit step.
void interleaveFloatFrames(void* const* blocks, unsigned channelCount, uint32_t first,
                           uint32_t frames, void* endpoint);
void deinterleaveFloatFrames(void* const* blocks, unsigned channelCount, uint32_t first,
                             uint32_t frames, const void* endpoint);

// Silence into [first, first + frames) of every channel that has a block: a capture packet
// flagged silent is read as silence, whatever its buffer holds.
void silenceFrames(int32_t sampleType, void* const* blocks, unsigned channelCount, uint32_t first,
                   uint32_t frames);

// The part of a run of `frames` at `position` that lies before the end of a buffer of `total`
// frames (0 when the position is already at or past the end).
inline uint32_t framesBeforeEnd(uint32_t position, uint32_t frames, uint32_t total) {
    if (position >= total) return 0;
    return frames < total - position ? frames : total - position;
}

// Appends raw frames to a ring at writePos, wrapping at its end, and returns the new write
// position. A delivery longer than the ring keeps only its newest ringFrames frames. A null
// source appends silence.
uint32_t ringAppend(uint8_t* ring, uint32_t ringFrames, uint32_t writePos, const uint8_t* src,
                    uint32_t frames, uint32_t bytesPerFrame);

// Moves a running position in a double buffer of 2 x bufferFrames frames on by `frames`,
// wrapping at its end. Sets *needSwitch when the run reaches the end of half 1 or passes
// from half 0 into half 1; leaves it alone otherwise.
uint32_t advancePosition(uint32_t position, uint32_t frames, uint32_t bufferFrames,
                         bool* needSwitch);

} // namespace vl
