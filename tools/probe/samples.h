// The sample types an ASIO driver may hand a host, and conversion between a driver's
// buffers and the probe's own representation: 32-bit integers, full scale at 2^31, so that
// every type the probe handles fits without loss of the bits a listener could hear.
// Portable: no Windows header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace probe {

// Values of the published ASIOSampleType.
enum SampleType : int32_t {
    kInt16MSB = 0,
    kInt24MSB = 1,
    kInt32MSB = 2,
    kFloat32MSB = 3,
    kFloat64MSB = 4,
    kInt32MSB16 = 8,
    kInt32MSB18 = 9,
    kInt32MSB20 = 10,
    kInt32MSB24 = 11,
    kInt16LSB = 16,
    kInt24LSB = 17,
    kInt32LSB = 18,
    kFloat32LSB = 19,
    kFloat64LSB = 20,
    kInt32LSB16 = 24,
    kInt32LSB18 = 25,
    kInt32LSB20 = 26,
    kInt32LSB24 = 27,
};

struct SampleFormat {
    const char* name;   // "Int16LSB"
    int bytes;          // container size
    int bits;           // significant bits (container bits for floats)
    bool isFloat;
    bool bigEndian;
};

// Describes a sample type; false for types the probe cannot convert (DSD, unknown values).
bool describeSampleType(int32_t type, SampleFormat* format);

// Converts n samples of a known type to full-scale-2^31 integers and back. Floats are
// clipped to [-1, 1) on the way in; values are truncated to the type's bits on the way out.
void samplesToInt32(int32_t type, const void* source, int32_t* target, size_t n);
void samplesFromInt32(int32_t type, const int32_t* source, void* target, size_t n);

} // namespace probe
