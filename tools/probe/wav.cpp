#include "wav.h"

namespace probe {

namespace {

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

void putTag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

} // namespace

std::vector<uint8_t> wavImage(const std::vector<std::vector<int32_t>>& channels, size_t frames,
                              uint32_t sampleRate, int bitsPerSample) {
    const uint32_t count = uint32_t(channels.size());
    const uint32_t bytes = bitsPerSample > 16 ? 3 : 2;
    const uint32_t bits = bytes * 8;
    const bool extensible = count > 2 || bits > 16;
    const uint32_t fmtSize = extensible ? 40 : 16;
    const uint32_t dataSize = uint32_t(frames) * count * bytes;

    std::vector<uint8_t> out;
    out.reserve(20 + fmtSize + 8 + dataSize);
    putTag(out, "RIFF");
    put32(out, 4 + 8 + fmtSize + 8 + dataSize);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, fmtSize);
    put16(out, extensible ? 0xFFFE : 1);
    put16(out, count);
    put32(out, sampleRate);
    put32(out, sampleRate * count * bytes);
    put16(out, count * bytes);
    put16(out, bits);
    if (extensible) {
        put16(out, 22);
        put16(out, bits); // valid bits
        // No speaker positions: the inputs are numbered channels, not a layout.
        put32(out, 0);
        // KSDATAFORMAT_SUBTYPE_PCM {00000001-0000-0010-8000-00AA00389B71}
        static const uint8_t pcm[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        out.insert(out.end(), pcm, pcm + 16);
    }
    putTag(out, "data");
    put32(out, dataSize);
    for (size_t f = 0; f < frames; ++f) {
        for (const std::vector<int32_t>& ch : channels) {
            uint32_t v = f < ch.size() ? uint32_t(ch[f]) : 0;
            for (uint32_t b = 0; b < bytes; ++b) out.push_back(uint8_t(v >> (8 * (4 - bytes + b))));
        }
    }
    return out;
}

} // namespace probe
