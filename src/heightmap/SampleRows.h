#pragma once

#include <cstddef>
#include <cstdint>

// Heightmap samples as files hold them: unsigned 16-bit, little-endian whatever the host. The
// one place where samples are turned into numbers and back; the stream, the heightmap tool and
// the viewer all go through it.

inline uint16_t readSample(const void* bytes)
{
    const auto* p = static_cast<const uint8_t*>(bytes);
    return uint16_t(p[0] | (p[1] << 8));
}

// count samples from 2 * count file bytes; bytes and samples may be the same memory.
inline void readSamples(const void* bytes, uint16_t* samples, size_t count)
{
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t k = 0; k < count; ++k)
        samples[k] = uint16_t(p[2 * k] | (p[2 * k + 1] << 8));
}

// 2 * count file bytes from count samples; bytes and samples may be the same memory.
inline void writeSamples(const uint16_t* samples, void* bytes, size_t count)
{
    auto* p = static_cast<uint8_t*>(bytes);
    for (size_t k = 0; k < count; ++k)
    {
        const uint16_t value = samples[k];
        p[2 * k] = uint8_t(value);
        p[2 * k + 1] = uint8_t(value >> 8);
    }
}
