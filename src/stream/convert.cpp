#include "stream/convert.h"

#include "endpoint/formats.h"

#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vl {

namespace {

// What one sample becomes on its way between a host block and an endpoint buffer. Host and
// End are the element types of the two sides (a float endpoint sample is handled as its bit
// pattern, so that every vector body moves 32-bit lanes alike).
//   Pcm16:   16-bit samples pass unchanged.
//   Pcm24:   32-bit containers keep their upper 24 bits, both ways.
//   Float24: the shared-mode engine's 32-bit floats. A 24-bit sample is exact in a float's
//            24-bit mantissa, so host samples go out exactly and come back bit for bit;
//            floats from the engine are clamped to full scale and rounded to the nearest
//            24-bit step (NaN reads as negative full scale).
struct Pcm16 {
    using Host = int16_t;
    using End = int16_t;
    static End out(Host s) { return s; }
    static Host in(End s) { return s; }
};
struct Pcm24 {
    using Host = uint32_t;
    using End = uint32_t;
    static End out(Host s) { return s & kValid24Mask; }
    static Host in(End s) { return s & kValid24Mask; }
};
struct Float24 {
    using Host = uint32_t;
    using End = uint32_t;
    static End out(Host s) {
        float f = float(int32_t(s & kValid24Mask)) * 0x1p-31f;
        uint32_t bits;
        memcpy(&bits, &f, sizeof bits);
        return bits;
    }
    static Host in(End bits) {
        float f;
        memcpy(&f, &bits, sizeof f);
        float x = f * 0x1p23f;
        if (!(x > -0x1p23f)) x = -0x1p23f;
        if (x > 0x1p23f - 1.0f) x = 0x1p23f - 1.0f;
        return uint32_t(int32_t(lrintf(x))) << 8;
    }
};

// Vector bodies for the common frame widths: each handles whole groups of frames and returns
// how many it did; the scalar loop below finishes the rest. A width without one does none.
template <typename Codec, unsigned C>
uint32_t interleaveVector(typename Codec::End*, const typename Codec::Host* const*, uint32_t) {
    return 0;
}
template <typename Codec, unsigned C>
uint32_t deinterleaveVector(const typename Codec::End*, typename Codec::Host* const*, uint32_t) {
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
uint32_t interleaveVector<Pcm16, 2>(int16_t* dst, const int16_t* const* s, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i l = load(s[0] + i), r = load(s[1] + i);
        store(dst + 2 * i, _mm_unpacklo_epi16(l, r));
        store(dst + 2 * i + 8, _mm_unpackhi_epi16(l, r));
    }
    return i;
}
template <>
uint32_t deinterleaveVector<Pcm16, 2>(const int16_t* src, int16_t* const* d, uint32_t n) {
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
uint32_t interleaveVector<Pcm16, 4>(int16_t* dst, const int16_t* const* s, uint32_t n) {
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
uint32_t deinterleaveVector<Pcm16, 4>(const int16_t* src, int16_t* const* d, uint32_t n) {
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
uint32_t interleaveVector<Pcm16, 8>(int16_t* dst, const int16_t* const* s, uint32_t n) {
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
uint32_t deinterleaveVector<Pcm16, 8>(const int16_t* src, int16_t* const* d, uint32_t n) {
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

// 32-bit lanes: what each codec does to four samples at once on the way out and in.
template <typename Codec> struct Lanes;
template <> struct Lanes<Pcm24> {
    static __m128i out(__m128i v) { return _mm_and_si128(v, _mm_set1_epi32(int32_t(kValid24Mask))); }
    static __m128i in(__m128i v) { return out(v); }
};
template <> struct Lanes<Float24> {
    static __m128i out(__m128i v) {
        __m128i masked = _mm_and_si128(v, _mm_set1_epi32(int32_t(kValid24Mask)));
        return _mm_castps_si128(_mm_mul_ps(_mm_cvtepi32_ps(masked), _mm_set1_ps(0x1p-31f)));
    }
    static __m128i in(__m128i v) {
        __m128 x = _mm_mul_ps(_mm_castsi128_ps(v), _mm_set1_ps(0x1p23f));
        // max before min: a NaN lane takes the lower bound, as the scalar path does.
        x = _mm_min_ps(_mm_max_ps(x, _mm_set1_ps(-0x1p23f)), _mm_set1_ps(0x1p23f - 1.0f));
        return _mm_slli_epi32(_mm_cvtps_epi32(x), 8);
    }
};

// 32-bit samples, 2 channels: four frames per step.
template <typename Codec>
uint32_t interleave32x2(uint32_t* dst, const uint32_t* const* s, uint32_t n) {
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128i l = Lanes<Codec>::out(load(s[0] + i)), r = Lanes<Codec>::out(load(s[1] + i));
        store(dst + 2 * i, _mm_unpacklo_epi32(l, r));
        store(dst + 2 * i + 4, _mm_unpackhi_epi32(l, r));
    }
    return i;
}
template <typename Codec>
uint32_t deinterleave32x2(const uint32_t* src, uint32_t* const* d, uint32_t n) {
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128 a = _mm_castsi128_ps(load(src + 2 * i)), b = _mm_castsi128_ps(load(src + 2 * i + 4));
        store(d[0] + i,
              Lanes<Codec>::in(_mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)))));
        store(d[1] + i,
              Lanes<Codec>::in(_mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)))));
    }
    return i;
}

// 32-bit samples, 4 or 8 channels: a 4 x 4 transpose per four frames and four channels.
template <typename Codec, unsigned C>
uint32_t interleave32xN(uint32_t* dst, const uint32_t* const* s, uint32_t n) {
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (unsigned h = 0; h < C / 4; ++h) {
            __m128i a = load(s[4 * h] + i), b = load(s[4 * h + 1] + i), c = load(s[4 * h + 2] + i),
                    e = load(s[4 * h + 3] + i);
            transpose4x32(a, b, c, e);
            uint32_t* o = dst + C * i + 4 * h;
            store(o, Lanes<Codec>::out(a));
            store(o + C, Lanes<Codec>::out(b));
            store(o + 2 * C, Lanes<Codec>::out(c));
            store(o + 3 * C, Lanes<Codec>::out(e));
        }
    }
    return i;
}
template <typename Codec, unsigned C>
uint32_t deinterleave32xN(const uint32_t* src, uint32_t* const* d, uint32_t n) {
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (unsigned h = 0; h < C / 4; ++h) {
            const uint32_t* p = src + C * i + 4 * h;
            __m128i a = load(p), b = load(p + C), c = load(p + 2 * C), e = load(p + 3 * C);
            transpose4x32(a, b, c, e);
            store(d[4 * h] + i, Lanes<Codec>::in(a));
            store(d[4 * h + 1] + i, Lanes<Codec>::in(b));
            store(d[4 * h + 2] + i, Lanes<Codec>::in(c));
            store(d[4 * h + 3] + i, Lanes<Codec>::in(e));
        }
    }
    return i;
}

#define VL_VECTOR_32(Codec)                                                                        \
    template <>                                                                                    \
    uint32_t interleaveVector<Codec, 2>(uint32_t * d, const uint32_t* const* s, uint32_t n) {      \
        return interleave32x2<Codec>(d, s, n);                                                     \
    }                                                                                              \
    template <>                                                                                    \
    uint32_t deinterleaveVector<Codec, 2>(const uint32_t* s, uint32_t* const* d, uint32_t n) {     \
        return deinterleave32x2<Codec>(s, d, n);                                                   \
    }                                                                                              \
    template <>                                                                                    \
    uint32_t interleaveVector<Codec, 4>(uint32_t * d, const uint32_t* const* s, uint32_t n) {      \
        return interleave32xN<Codec, 4>(d, s, n);                                                  \
    }                                                                                              \
    template <>                                                                                    \
    uint32_t deinterleaveVector<Codec, 4>(const uint32_t* s, uint32_t* const* d, uint32_t n) {     \
        return deinterleave32xN<Codec, 4>(s, d, n);                                                \
    }                                                                                              \
    template <>                                                                                    \
    uint32_t interleaveVector<Codec, 8>(uint32_t * d, const uint32_t* const* s, uint32_t n) {      \
        return interleave32xN<Codec, 8>(d, s, n);                                                  \
    }                                                                                              \
    template <>                                                                                    \
    uint32_t deinterleaveVector<Codec, 8>(const uint32_t* s, uint32_t* const* d, uint32_t n) {     \
        return deinterleave32xN<Codec, 8>(s, d, n);                                                \
    }
VL_VECTOR_32(Pcm24)
VL_VECTOR_32(Float24)
#undef VL_VECTOR_32
#endif

// Whole frames with a channel count known at compile time: the vector body, then the rest
// frame by frame.
template <typename Codec, unsigned C>
void interleaveFixed(typename Codec::End* dst, void* const* blocks, uint32_t first,
                     uint32_t frames) {
    using H = typename Codec::Host;
    const H* src[C];
    for (unsigned c = 0; c < C; ++c)
        src[c] = static_cast<const H*>(blocks[c]) + first;
    for (uint32_t i = interleaveVector<Codec, C>(dst, src, frames); i < frames; ++i)
        for (unsigned c = 0; c < C; ++c)
            dst[size_t(i) * C + c] = Codec::out(src[c][i]);
}

template <typename Codec, unsigned C>
void deinterleaveFixed(const typename Codec::End* src, void* const* blocks, uint32_t first,
                       uint32_t frames) {
    using H = typename Codec::Host;
    H* dst[C];
    for (unsigned c = 0; c < C; ++c)
        dst[c] = static_cast<H*>(blocks[c]) + first;
    for (uint32_t i = deinterleaveVector<Codec, C>(src, dst, frames); i < frames; ++i)
        for (unsigned c = 0; c < C; ++c)
            dst[c][i] = Codec::in(src[size_t(i) * C + c]);
}

// Any frame width, with or without a block per channel: one strided pass per channel. A
// render channel without a block carries silence (all bits clear in every codec); a capture
// channel without one is dropped.
template <typename Codec>
void interleaveStrided(typename Codec::End* dst, void* const* blocks, unsigned stride,
                       uint32_t first, uint32_t frames) {
    using H = typename Codec::Host;
    for (unsigned c = 0; c < stride; ++c) {
        typename Codec::End* out = dst + c;
        const H* src = c < kMaxChannels ? static_cast<const H*>(blocks[c]) : nullptr;
        if (!src) {
            for (uint32_t i = 0; i < frames; ++i)
                out[size_t(i) * stride] = 0;
            continue;
        }
        src += first;
        for (uint32_t i = 0; i < frames; ++i)
            out[size_t(i) * stride] = Codec::out(src[i]);
    }
}

template <typename Codec>
void deinterleaveStrided(const typename Codec::End* src, void* const* blocks, unsigned stride,
                         uint32_t first, uint32_t frames) {
    using H = typename Codec::Host;
    for (unsigned c = 0; c < stride && c < kMaxChannels; ++c) {
        if (!blocks[c]) continue;
        H* dst = static_cast<H*>(blocks[c]) + first;
        const typename Codec::End* in = src + c;
        for (uint32_t i = 0; i < frames; ++i)
            dst[i] = Codec::in(in[size_t(i) * stride]);
    }
}

template <typename Codec>
void interleaveAs(void* endpoint, void* const* blocks, unsigned channelCount, uint32_t first,
                  uint32_t frames) {
    auto* dst = static_cast<typename Codec::End*>(endpoint);
    // The fixed variants cover the frame widths that have a speaker layout, every channel
    // with its block.
    if (allChannelsPresent(blocks, channelCount)) {
        switch (channelCount) {
        case 1:
            return interleaveFixed<Codec, 1>(dst, blocks, first, frames);
        case 2:
            return interleaveFixed<Codec, 2>(dst, blocks, first, frames);
        case 4:
            return interleaveFixed<Codec, 4>(dst, blocks, first, frames);
        case 6:
            return interleaveFixed<Codec, 6>(dst, blocks, first, frames);
        case 8:
            return interleaveFixed<Codec, 8>(dst, blocks, first, frames);
        default:
            break;
        }
    }
    interleaveStrided<Codec>(dst, blocks, channelCount, first, frames);
}

template <typename Codec>
void deinterleaveAs(const void* endpoint, void* const* blocks, unsigned channelCount,
                    uint32_t first, uint32_t frames) {
    const auto* src = static_cast<const typename Codec::End*>(endpoint);
    if (allChannelsPresent(blocks, channelCount)) {
        switch (channelCount) {
        case 1:
            return deinterleaveFixed<Codec, 1>(src, blocks, first, frames);
        case 2:
            return deinterleaveFixed<Codec, 2>(src, blocks, first, frames);
        case 4:
            return deinterleaveFixed<Codec, 4>(src, blocks, first, frames);
        case 6:
            return deinterleaveFixed<Codec, 6>(src, blocks, first, frames);
        case 8:
            return deinterleaveFixed<Codec, 8>(src, blocks, first, frames);
        default:
            break;
        }
    }
    deinterleaveStrided<Codec>(src, blocks, channelCount, first, frames);
}

} // namespace

unsigned sampleBytes(int32_t sampleType) {
    if (sampleType == kSampleTypeInt16LSB) return 2;
    if (sampleType == kSampleTypeInt32LSB || sampleType == kSampleTypeFloat32LSB) return 4;
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
        interleaveAs<Pcm16>(endpoint, blocks, channelCount, first, frames);
    else if (sampleType == kSampleTypeInt32LSB)
        interleaveAs<Pcm24>(endpoint, blocks, channelCount, first, frames);
}

void deinterleaveFrames(int32_t sampleType, void* const* blocks, unsigned channelCount,
                        uint32_t first, uint32_t frames, const void* endpoint) {
    if (!endpoint || !frames) return;
    if (sampleType == kSampleTypeInt16LSB)
        deinterleaveAs<Pcm16>(endpoint, blocks, channelCount, first, frames);
    else if (sampleType == kSampleTypeInt32LSB)
        deinterleaveAs<Pcm24>(endpoint, blocks, channelCount, first, frames);
}

void interleaveFloatFrames(void* const* blocks, unsigned channelCount, uint32_t first,
                           uint32_t frames, void* endpoint) {
    if (endpoint && frames) interleaveAs<Float24>(endpoint, blocks, channelCount, first, frames);
}

void deinterleaveFloatFrames(void* const* blocks, unsigned channelCount, uint32_t first,
                             uint32_t frames, const void* endpoint) {
    if (endpoint && frames) deinterleaveAs<Float24>(endpoint, blocks, channelCount, first, frames);
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
