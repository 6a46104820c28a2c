// The recording as a WAV file image. Portable: no Windows header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace probe {

// One channel per vector, all of `frames` samples at full scale 2^31, written as 16-bit or
// 24-bit PCM (the top bits of each sample). More than two channels or more than 16 bits use
// the extensible header, as readers expect. Returns the whole file.
std::vector<uint8_t> wavImage(const std::vector<std::vector<int32_t>>& channels, size_t frames,
                              uint32_t sampleRate, int bitsPerSample);

} // namespace probe
