#include "stream/convert.h"

#include "endpoint/formats.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vl {

namespace {

// Per-sample transfer: 16-bit samples pass unchanged, 32-bit ones keep their upper 24 bits.
inline int16_t pass(int16_t s) {
    return s;
}
inline uint32_t pass(uint32_t s) {
    return s & kValid24Mask;
}

// Vector bodies for the common frame widths: each handles whole groups of frames and returns
// how many it did; the scalar loop below finishes the rest. A width without one does none.
template <typename T, unsigned C> uint32_t interleaveVector(T*, const T* const*, uint32_t) {
    return 0;
}
template <typename T, unsigned C> uint32_t deinterleaveVector(const T*, T* const*, uint32_t) {
    return 0;
}

#if defined(__SSE2__)
inline __m128i load(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline void store(void* p, __m128i v) {
    _mm_storeu_si128(static_cast<__m128i*>(p), v);
}

// In-register transposes: rows in, columns out (each is its own inverse).
inline void transpose4x32(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    __m128i ab0 = _mm_unpacklo_epi32(a, b), ab1 = _mm_unpackhi_epi32(a, b);
    __m128i cd0 = _mm_unpacklo_epi32(c, d), cd1 = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(ab0, cd0);
    b = _mm_unpackhi_epi64(ab0, cd0);
    c = _mm_unpacklo_epi64(ab1, cd1);
    d = _mm_unpackhi_epi64(ab1, cd1);
}

inline void transpose8x16(__m128i* r) {
    __m128i a[8], b[8];
    for (int i = 0; i < 4; ++i) {
        a[2 * i] = _mm_unpacklo_epi16(r[2 * i], r[2 * i + 1]);
        a[2 * i + 1] = _mm_unpackhi_epi16(r[2 * i], r[2 * i + 1]);
    }
    for (int i = 0; i < 2; ++i) {
        b[4 * i + 0] = _mm_unpacklo_epi32(a[4 * i + 0], a[4 * i + 2]);
        b[4 * i + 1] = _mm_unpackhi_epi32(a[4 * i + 0], a[4 * i + 2]);
        b[4 * i + 2] = _mm_unpacklo_epi32(a[4 * i + 1], a[4 * i + 3]);
        b[4 * i + 3] = _mm_unpackhi_epi32(a[4 * i + 1], a[4 * i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
        r[2 * i] = _mm_unpacklo_epi64(b[i], b[i + 4]);
        r[2 * i + 1] = _mm_unpackhi_epi64(b[i], b[i + 4]);
    }
}

// 16-bit, 2 channels: eight frames per step.
template <>
uint32_t interleaveVector<int16_t, 2>(int16_t* dst, const int16_t* const* s, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i l = load(s[0] + i), r = load(s[1] + i);
        store(dst + 2 * i, _mm_unpacklo_epi16(l, r));
        store(dst + 2 * i + 8, _mm_unpackhi_epi16(l, r));
    }
    return i;
}
template <>
uint32_t deinterleaveVector<int16_t, 2>(const int16_t* src, int16_t* const* d, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i a = load(src + 2 * i), b = load(src + 2 * i + 8);
        // Sign-extended halves of each 32-bit frame pack back without saturating.
        __m128i l = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                                    _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
        __m128i r = _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16));
        store(d[0] + i, l);
        store(d[1] + i, r);
    }
    return i;
}

// 16-bit, 4 channels: eight frames per step.
template <>
uint32_t interleaveVector<int16_t, 4>(int16_t* dst, const int16_t* const* s, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i c0 = load(s[0] + i), c1 = load(s[1] + i), c2 = load(s[2] + i), c3 = load(s[3] + i);
        __m128i a0 = _mm_unpacklo_epi16(c0, c1), a1 = _mm_unpackhi_epi16(c0, c1);
        __m128i b0 = _mm_unpacklo_epi16(c2, c3), b1 = _mm_unpackhi_epi16(c2, c3);
        store(dst + 4 * i, _mm_unpacklo_epi32(a0, b0));
        store(dst + 4 * i + 8, _mm_unpackhi_epi32(a0, b0));
        store(dst + 4 * i + 16, _mm_unpacklo_epi32(a1, b1));
        store(dst + 4 * i + 24, _mm_unpackhi_epi32(a1, b1));
    }
    return i;
}
template <>
uint32_t deinterleaveVector<int16_t, 4>(const int16_t* src, int16_t* const* d, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i v[4];
        for (int k = 0; k < 4; ++k) {
            // Two frames per vector; after two interleaving passes each 64-bit half holds four
            // frames of one channel.
            __m128i p = load(src + 4 * i + 16 * (k / 2)), q = load(src + 4 * i + 16 * (k / 2) + 8);
            __m128i lo = _mm_unpacklo_epi16(p, q), hi = _mm_unpackhi_epi16(p, q);
            v[k] = k % 2 ? _mm_unpackhi_epi16(lo, hi) : _mm_unpacklo_epi16(lo, hi);
        }
        // v[0]: c0 f0-3, c1 f0-3; v[1]: c2, c3; v[2], v[3]: the same for frames 4-7.
        store(d[0] + i, _mm_unpacklo_epi64(v[0], v[2]));
        store(d[1] + i, _mm_unpackhi_epi64(v[0], v[2]));
        store(d[2] + i, _mm_unpacklo_epi64(v[1], v[3]));
        store(d[3] + i, _mm_unpackhi_epi64(v[1], v[3]));
    }
    return i;
}

// 16-bit, 8 channels: an 8 x 8 transpose per eight frames.
template <>
uint32_t interleaveVector<int16_t, 8>(int16_t* dst, const int16_t* const* s, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i r[8];
        for (int c = 0; c < 8; ++c)
            r[c] = load(s[c] + i);
        transpose8x16(r);
        for (int f = 0; f < 8; ++f)
            store(dst + 8 * (i + f), r[f]);
    }
    return i;
}
template <>
uint32_t deinterleaveVector<int16_t, 8>(const int16_t* src, int16_t* const* d, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i r[8];
        for (int f = 0; f < 8; ++f)
            r[f] = load(src + 8 * (i + f));
        transpose8x16(r);
        for (int c = 0; c < 8; ++c)
            store(d[c] + i, r[c]);
    }
    return i;
}

// 24-in-32, 2 channels: four frames per step, masked on the way.
template <>
uint32_t interleaveVector<uint32_t, 2>(uint32_t* dst, const uint32_t* const* s, uint32_t n) {
    const __m128i m = _mm_set1_epi32(int32_t(kValid24Mask));
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128i l = _mm_and_si128(load(s[0] + i), m), r = _mm_and_si128(load(s[1] + i), m);
        store(dst + 2 * i, _mm_unpacklo_epi32(l, r));
        store(dst + 2 * i + 4, _mm_unpackhi_epi32(l, r));
    }
    return i;
}
template <>
uint32_t deinterleaveVector<uint32_t, 2>(const uint32_t* src, uint32_t* const* d, uint32_t n) {
    const __m128i m = _mm_set1_epi32(int32_t(kValid24Mask));
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128 a = _mm_castsi128_ps(load(src + 2 * i)), b = _mm_castsi128_ps(load(src + 2 * i + 4));
        store(d[0] + i,
              _mm_and_si128(_mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))), m));
        store(d[1] + i,
              _mm_and_si128(_mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))), m));
    }
    return i;
}

// 24-in-32, 4 channels: a 4 x 4 transpose per four frames.
template <>
uint32_t interleaveVector<uint32_t, 4>(uint32_t* dst, const uint32_t* const* s, uint32_t n) {
    const __m128i m = _mm_set1_epi32(int32_t(kValid24Mask));
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128i a = load(s[0] + i), b = load(s[1] + i), c = load(s[2] + i), e = load(s[3] + i);
        transpose4x32(a, b, c, e);
        store(dst + 4 * i, _mm_and_si128(a, m));
        store(dst + 4 * i + 4, _mm_and_si128(b, m));
        store(dst + 4 * i + 8, _mm_and_si128(c, m));
        store(dst + 4 * i + 12, _mm_and_si128(e, m));
    }
    return i;
}
template <>
uint32_t deinterleaveVector<uint32_t, 4>(const uint32_t* src, uint32_t* const* d, uint32_t n) {
    const __m128i m = _mm_set1_epi32(int32_t(kValid24Mask));
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128i a = load(src + 4 * i), b = load(src + 4 * i + 4), c = load(src + 4 * i + 8),
                e = load(src + 4 * i + 12);
        transpose4x32(a, b, c, e);
        store(d[0] + i, _mm_and_si128(a, m));
        store(d[1] + i, _mm_and_si128(b, m));
        store(d[2] + i, _mm_and_si128(c, m));
        store(d[3] + i, _mm_and_si128(e, m));
    }
    return i;
}

// 24-in-32, 8 channels: two 4 x 4 transposes per four frames, one per half of the frame.
template <>
uint32_t interleaveVector<uint32_t, 8>(uint32_t* dst, const uint32_t* const* s, uint32_t n) {
    const __m128i m = _mm_set1_epi32(int32_t(kValid24Mask));
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int h = 0; h < 2; ++h) {
            __m128i a = load(s[4 * h] + i), b = load(s[4 * h + 1] + i), c = load(s[4 * h + 2] + i),
                    e = load(s[4 * h + 3] + i);
            transpose4x32(a, b, c, e);
            uint32_t* o = dst + 8 * i + 4 * h;
            store(o, _mm_and_si128(a, m));
            store(o + 8, _mm_and_si128(b, m));
            store(o + 16, _mm_and_si128(c, m));
            store(o + 24, _mm_and_si128(e, m));
        }
    }
    return i;
}
template <>
uint32_t deinterleaveVector<uint32_t, 8>(const uint32_t* src, uint32_t* const* d, uint32_t n) {
    const __m128i m = _mm_set1_epi32(int32_t(kValid24Mask));
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int h = 0; h < 2; ++h) {
            const uint32_t* p = src + 8 * i + 4 * h;
            __m128i a = load(p), b = load(p + 8), c = load(p + 16), e = load(p + 24);
            transpose4x32(a, b, c, e);
            store(d[4 * h] + i, _mm_and_si128(a, m));
            store(d[4 * h + 1] + i, _mm_and_si128(b, m));
            store(d[4 * h + 2] + i, _mm_and_si128(c, m));
            store(d[4 * h + 3] + i, _mm_and_si128(e, m));
        }
    }
    return i;
}
#endif

// Whole frames with a channel count known at compile time: the vector body, then the rest
// frame by frame.
template <typename T, unsigned C>
void interleaveFixed(T* dst, void* const* blocks, uint32_t first, uint32_t frames) {
    const T* src[C];
    for (unsigned c = 0; c < C; ++c)
        src[c] = static_cast<const T*>(blocks[c]) + first;
    for (uint32_t i = interleaveVector<T, C>(dst, src, frames); i < frames; ++i)
        for (unsigned c = 0; c < C; ++c)
            dst[size_t(i) * C + c] = pass(src[c][i]);
}

template <typename T, unsigned C>
void deinterleaveFixed(const T* src, void* const* blocks, uint32_t first, uint32_t frames) {
    T* dst[C];
    for (unsigned c = 0; c < C; ++c)
        dst[c] = static_cast<T*>(blocks[c]) + first;
    for (uint32_t i = deinterleaveVector<T, C>(src, dst, frames); i < frames; ++i)
        for (unsigned c = 0; c < C; ++c)
            dst[c][i] = pass(src[size_t(i) * C + c]);
}

// Any frame width, with or without a block per channel: one strided pass per channel. A
// render channel without a block carries silence; a capture channel without one is dropped.
template <typename T>
void interleaveStrided(T* dst, void* const* blocks, unsigned stride, uint32_t first,
                       uint32_t frames) {
    for (unsigned c = 0; c < stride; ++c) {
        T* out = dst + c;
        const T* src = c < kMaxChannels ? static_cast<const T*>(blocks[c]) : nullptr;
        if (!src) {
            for (uint32_t i = 0; i < frames; ++i)
                out[size_t(i) * stride] = 0;
            continue;
        }
        src += first;
        for (uint32_t i = 0; i < frames; ++i)
            out[size_t(i) * stride] = pass(src[i]);
    }
}

template <typename T>
void deinterleaveStrided(const T* src, void* const* blocks, unsigned stride, uint32_t first,
                         uint32_t frames) {
    for (unsigned c = 0; c < stride && c < kMaxChannels; ++c) {
        if (!blocks[c]) continue;
        T* dst = static_cast<T*>(blocks[c]) + first;
        const T* in = src + c;
        for (uint32_t i = 0; i < frames; ++i)
            dst[i] = pass(in[size_t(i) * stride]);
    }
}

template <typename T>
void interleaveAs(void* endpoint, void* const* blocks, unsigned channelCount, uint32_t first,
                  uint32_t frames) {
    T* dst = static_cast<T*>(endpoint);
    // The fixed variants cover the frame widths that have a speaker layout, every channel
    // with its block.
    if (allChannelsPresent(blocks, channelCount)) {
        switch (channelCount) {
        case 1:
            return interleaveFixed<T, 1>(dst, blocks, first, frames);
        case 2:
            return interleaveFixed<T, 2>(dst, blocks, first, frames);
        case 4:
            return interleaveFixed<T, 4>(dst, blocks, first, frames);
        case 6:
            return interleaveFixed<T, 6>(dst, blocks, first, frames);
        case 8:
            return interleaveFixed<T, 8>(dst, blocks, first, frames);
        default:
            break;
        }
    }
    interleaveStrided<T>(dst, blocks, channelCount, first, frames);
}

template <typename T>
void deinterleaveAs(const void* endpoint, void* const* blocks, unsigned channelCount,
                    uint32_t first, uint32_t frames) {
    const T* src = static_cast<const T*>(endpoint);
    if (allChannelsPresent(blocks, channelCount)) {
        switch (channelCount) {
        case 1:
            return deinterleaveFixed<T, 1>(src, blocks, first, frames);
        case 2:
            return deinterleaveFixed<T, 2>(src, blocks, first, frames);
        case 4:
            return deinterleaveFixed<T, 4>(src, blocks, first, frames);
        case 6:
            return deinterleaveFixed<T, 6>(src, blocks, first, frames);
        case 8:
            return deinterleaveFixed<T, 8>(src, blocks, first, frames);
        default:
            break;
        }
    }
    deinterleaveStrided<T>(src, blocks, channelCount, first, frames);
}

} // namespace

unsigned sampleBytes(int32_t sampleType) {
    if (sampleType == kSampleTypeInt16LSB) return 2;
    if (sampleType == kSampleTypeInt32LSB) return 4;
    return 0;
}

bool allChannelsPresent(void* const* blocks, unsigned channelCount) {
    if (channelCount > kMaxChannels) return false;
    for (unsigned c = 0; c < channelCount; ++c)
        if (!blocks[c]) return false;
    return true;
}

void interleaveFrames(int32_t sampleType, void* const* blocks, unsigned channelCount,
                      uint32_t first, uint32_t frames, void* endpoint) {
    if (!endpoint || !frames) return;
    if (sampleType == kSampleTypeInt16LSB)
        interleaveAs<int16_t>(endpoint, blocks, channelCount, first, frames);
    else if (sampleType == kSampleTypeInt32LSB)
        interleaveAs<uint32_t>(endpoint, blocks, channelCount, first, frames);
}

void deinterleaveFrames(int32_t sampleType, void* const* blocks, unsigned channelCount,
                        uint32_t first, uint32_t frames, const void* endpoint) {
    if (!endpoint || !frames) return;
    if (sampleType == kSampleTypeInt16LSB)
        deinterleaveAs<int16_t>(endpoint, blocks, channelCount, first, frames);
    else if (sampleType == kSampleTypeInt32LSB)
        deinterleaveAs<uint32_t>(endpoint, blocks, channelCount, first, frames);
}

void silenceFrames(int32_t sampleType, void* const* blocks, unsigned channelCount, uint32_t first,
                   uint32_t frames) {
    unsigned width = sampleBytes(sampleType);
    for (unsigned c = 0; c < channelCount && c < kMaxChannels && width; ++c)
        if (blocks[c])
            memset(static_cast<uint8_t*>(blocks[c]) + size_t(first) * width, 0,
                   size_t(frames) * width);
}

uint32_t ringAppend(uint8_t* ring, uint32_t ringFrames, uint32_t writePos, const uint8_t* src,
                    uint32_t frames, uint32_t bytesPerFrame) {
    if (!ring || !ringFrames) return writePos;
    writePos %= ringFrames;
    if (frames > ringFrames) {
        // Older frames would be overwritten within this same delivery: skip them.
        uint32_t skipped = frames - ringFrames;
        if (src) src += size_t(skipped) * bytesPerFrame;
        writePos = uint32_t((uint64_t(writePos) + skipped) % ringFrames);
        frames = ringFrames;
    }
    uint32_t head = framesBeforeEnd(writePos, frames, ringFrames);
    if (src) {
        memcpy(ring + size_t(writePos) * bytesPerFrame, src, size_t(head) * bytesPerFrame);
        memcpy(ring, src + size_t(head) * bytesPerFrame, size_t(frames - head) * bytesPerFrame);
    } else {
        memset(ring + size_t(writePos) * bytesPerFrame, 0, size_t(head) * bytesPerFrame);
        memset(ring, 0, size_t(frames - head) * bytesPerFrame);
    }
    return uint32_t((uint64_t(writePos) + frames) % ringFrames);
}

uint32_t advancePosition(uint32_t position, uint32_t frames, uint32_t bufferFrames,
                         bool* needSwitch) {
    uint64_t total = 2 * uint64_t(bufferFrames);
    if (!total) return 0;
    uint64_t q = uint64_t(position) + frames;
    if (q >= total || (position < bufferFrames && bufferFrames <= q)) *needSwitch = true;
    return uint32_t(q % total);
}

} // namespace vl
