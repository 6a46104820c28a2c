#include "samples.h"

#include <cmath>
#include <cstring>

namespace probe {

namespace {

struct Entry {
    int32_t type;
    SampleFormat format;
};

const Entry kTypes[] = {
    {kInt16MSB, {"Int16MSB", 2, 16, false, true}},
    {kInt24MSB, {"Int24MSB", 3, 24, false, true}},
    {kInt32MSB, {"Int32MSB", 4, 32, false, true}},
    {kFloat32MSB, {"Float32MSB", 4, 32, true, true}},
    {kFloat64MSB, {"Float64MSB", 8, 64, true, true}},
    {kInt32MSB16, {"Int32MSB16", 4, 16, false, true}},
    {kInt32MSB18, {"Int32MSB18", 4, 18, false, true}},
    {kInt32MSB20, {"Int32MSB20", 4, 20, false, true}},
    {kInt32MSB24, {"Int32MSB24", 4, 24, false, true}},
    {kInt16LSB, {"Int16LSB", 2, 16, false, false}},
    {kInt24LSB, {"Int24LSB", 3, 24, false, false}},
    {kInt32LSB, {"Int32LSB", 4, 32, false, false}},
    {kFloat32LSB, {"Float32LSB", 4, 32, true, false}},
    {kFloat64LSB, {"Float64LSB", 8, 64, true, false}},
    {kInt32LSB16, {"Int32LSB16", 4, 16, false, false}},
    {kInt32LSB18, {"Int32LSB18", 4, 18, false, false}},
    {kInt32LSB20, {"Int32LSB20", 4, 20, false, false}},
    {kInt32LSB24, {"Int32LSB24", 4, 24, false, false}},
};

const SampleFormat* find(int32_t type) {
    for (const Entry& e : kTypes)
        if (e.type == type) return &e.format;
    return nullptr;
}

// Container bytes as an unsigned number, whatever the byte order.
uint64_t load(const uint8_t* p, int bytes, bool bigEndian) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t(p[bigEndian ? bytes - 1 - i : i]) << (8 * i);
    return v;
}

void store(uint8_t* p, int bytes, bool bigEndian, uint64_t v) {
    for (int i = 0; i < bytes; ++i) p[bigEndian ? bytes - 1 - i : i] = uint8_t(v >> (8 * i));
}

int32_t fromUnit(double x) {
    if (!(x >= -1.0)) return INT32_MIN; // NaN lands here too
    if (x >= 1.0) return INT32_MAX;
    double scaled = std::floor(x * 2147483648.0);
    return scaled >= 2147483647.0 ? INT32_MAX : int32_t(scaled);
}

} // namespace

bool describeSampleType(int32_t type, SampleFormat* format) {
    const SampleFormat* f = find(type);
    if (!f) return false;
    if (format) *format = *f;
    return true;
}

void samplesToInt32(int32_t type, const void* source, int32_t* target, size_t n) {
    const SampleFormat* f = find(type);
    const uint8_t* p = static_cast<const uint8_t*>(source);
    if (!f) {
        std::memset(target, 0, n * sizeof *target);
        return;
    }
    for (size_t i = 0; i < n; ++i, p += f->bytes) {
        uint64_t raw = load(p, f->bytes, f->bigEndian);
        if (f->isFloat) {
            double x;
            if (f->bytes == 4) {
                uint32_t bits = uint32_t(raw);
                float v;
                std::memcpy(&v, &bits, 4);
                x = v;
            } else {
                std::memcpy(&x, &raw, 8);
            }
            target[i] = fromUnit(x);
        } else {
            // The significant bits sit at the bottom of the container: move them to the top.
            uint32_t v = uint32_t(raw) << (32 - f->bits);
            target[i] = int32_t(v);
        }
    }
}

void samplesFromInt32(int32_t type, const int32_t* source, void* target, size_t n) {
    const SampleFormat* f = find(type);
    uint8_t* p = static_cast<uint8_t*>(target);
    if (!f) return;
    for (size_t i = 0; i < n; ++i, p += f->bytes) {
        uint64_t raw;
        if (f->isFloat) {
            double x = source[i] / 2147483648.0;
            if (f->bytes == 4) {
                float v = float(x);
                uint32_t bits;
                std::memcpy(&bits, &v, 4);
                raw = bits;
            } else {
                std::memcpy(&raw, &x, 8);
            }
        } else {
            // Arithmetic shift keeps the sign in the container's unused top bits.
            int32_t v = source[i] >> (32 - f->bits);
            raw = uint32_t(v);
        }
        store(p, f->bytes, f->bigEndian, raw);
    }
}

} // namespace probe
