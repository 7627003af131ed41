#pragma once

// Seeded fractal heightmaps (diamond-square), for the viewer's built-in map, the heightmap tool
// and the tests. Deterministic for a given seed on every platform: the generator and the
// arithmetic are fixed, no library distributions are used.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

class FractalHeightmap
{
public:
    // edge: samples along one edge, 2^k + 1 (other values are rounded up to one).
    // roughness: 0 .. 1, how much detail survives at each halving (0.5 is natural ground).
    // Returns edge * edge samples, row by row, normalised to span [lowest, highest] exactly
    // (highest below lowest turns the map upside down).
    static std::vector<uint16_t> generate(uint32_t edge, uint32_t seed, float roughness = 0.5f,
                                          uint16_t lowest = 0, uint16_t highest = 65535)
    {
        uint32_t size = 1;
        while (size + 1 < edge)
            size *= 2;
        const uint32_t n = size + 1;
        const std::vector<float> h = heights(n, seed, roughness);
        const auto at = [&](uint32_t x, uint32_t z) { return h[size_t(z) * n + x]; };
        // Normalise over the part that is returned (the generated grid may be larger).
        float low = at(0, 0), high = at(0, 0);
        for (uint32_t z = 0; z < edge; ++z)
            for (uint32_t x = 0; x < edge; ++x)
            {
                low = std::min(low, at(x, z));
                high = std::max(high, at(x, z));
            }
        std::vector<uint16_t> samples(size_t(edge) * edge);
        for (uint32_t z = 0; z < edge; ++z)
            for (uint32_t x = 0; x < edge; ++x)
                samples[size_t(z) * edge + x] = toSample(at(x, z), low, high, lowest, highest);
        return samples;
    }

    // A height of a map whose heights span low .. high, as a sample of lowest .. highest.
    static uint16_t toSample(float value, float low, float high, uint16_t lowest, uint16_t highest)
    {
        const float t = (value - low) / std::max(high - low, 1e-6f);
        return uint16_t(std::lround(float(lowest) + t * float(int(highest) - int(lowest))));
    }

    // The unnormalised heights of an n x n map, n = 2^k + 1, row by row: the corners drawn from
    // -1 .. 1, then each halving of the step adds random offsets of amplitude roughness^level
    // (level 0 for the first step). generate() scales them to its range.
    static std::vector<float> heights(uint32_t n, uint32_t seed, float roughness)
    {
        const uint32_t size = n - 1;
        std::vector<float> h(size_t(n) * n, 0.0f);
        uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
        const auto random = [&state]() {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            return float(double(state >> 11) / double(1ull << 53)) * 2.0f - 1.0f;
        };
        const auto at = [&](uint32_t x, uint32_t z) -> float& { return h[size_t(z) * n + x]; };
        at(0, 0) = random();
        at(size, 0) = random();
        at(0, size) = random();
        at(size, size) = random();
        float amplitude = 1.0f;
        for (uint32_t step = size; step > 1; step /= 2)
        {
            const uint32_t half = step / 2;
            for (uint32_t z = half; z < n; z += step)
                for (uint32_t x = half; x < n; x += step)
                    at(x, z) = (at(x - half, z - half) + at(x + half, z - half) + at(x - half, z + half) +
                                at(x + half, z + half)) * 0.25f + random() * amplitude;
            for (uint32_t z = 0; z < n; z += half)
                for (uint32_t x = (z / half) % 2 ? 0 : half; x < n; x += step)
                {
                    float sum = 0.0f;
                    int count = 0;
                    if (x >= half) { sum += at(x - half, z); ++count; }
                    if (x + half < n) { sum += at(x + half, z); ++count; }
                    if (z >= half) { sum += at(x, z - half); ++count; }
                    if (z + half < n) { sum += at(x, z + half); ++count; }
                    at(x, z) = sum / float(count) + random() * amplitude;
                }
            amplitude *= clampedRoughness(roughness);
        }
        return h;
    }

    // Roughness as the generator uses it: 0 .. 1, NaN counting as 0.
    static float clampedRoughness(float roughness)
    {
        return roughness >= 0.0f ? std::min(roughness, 1.0f) : 0.0f;
    }
};
