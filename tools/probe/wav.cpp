#include "wav.h"

#include <cstring>

namespace probe {

namespace {

// Writes little-endian fields into an image sized in advance: no growth while writing, so
// nothing to reallocate (and no insert into a vector that GCC's -O3 range analysis misjudges).
struct Cursor {
    uint8_t* at;
    void u16(uint32_t v) {
        at[0] = uint8_t(v);
        at[1] = uint8_t(v >> 8);
        at += 2;
    }
    void u32(uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void bytes(const void* p, size_t n) {
        memcpy(at, p, n);
        at += n;
    }
    void tag(const char* t) { bytes(t, 4); }
};

} // namespace

std::vector<uint8_t> wavImage(const std::vector<std::vector<int32_t>>& channels, size_t frames,
                              uint32_t sampleRate, int bitsPerSample) {
    const uint32_t count = uint32_t(channels.size());
    const uint32_t bytes = bitsPerSample > 16 ? 3 : 2;
    const uint32_t bits = bytes * 8;
    const bool extensible = count > 2 || bits > 16;
    const uint32_t fmtSize = extensible ? 40 : 16;
    const uint32_t dataSize = uint32_t(frames) * count * bytes;

    std::vector<uint8_t> out(size_t(20) + fmtSize + 8 + dataSize);
    Cursor c{out.data()};
    c.tag("RIFF");
    c.u32(4 + 8 + fmtSize + 8 + dataSize);
    c.tag("WAVE");
    c.tag("fmt ");
    c.u32(fmtSize);
    c.u16(extensible ? 0xFFFE : 1);
    c.u16(count);
    c.u32(sampleRate);
    c.u32(sampleRate * count * bytes);
    c.u16(count * bytes);
    c.u16(bits);
    if (extensible) {
        c.u16(22);
        c.u16(bits); // valid bits
        // No speaker positions: the inputs are numbered channels, not a layout.
        c.u32(0);
        // KSDATAFORMAT_SUBTYPE_PCM {00000001-0000-0010-8000-00AA00389B71}
        static const uint8_t pcm[16] = {1,    0, 0, 0,    0, 0,    0x10, 0,
                                        0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        c.bytes(pcm, 16);
    }
    c.tag("data");
    c.u32(dataSize);
    for (size_t f = 0; f < frames; ++f) {
        for (const std::vector<int32_t>& ch : channels) {
            uint32_t v = f < ch.size() ? uint32_t(ch[f]) : 0;
            for (uint32_t b = 0; b < bytes; ++b)
                *c.at++ = uint8_t(v >> (8 * (4 - bytes + b)));
        }
    }
    return out;
}

} // namespace probe
