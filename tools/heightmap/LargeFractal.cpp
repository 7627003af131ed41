#include "LargeFractal.h"

#include "FractalHeightmap.h"

#include <algorithm>
#include <cmath>

namespace
{
constexpr uint32_t kCoarseSize = 4096;
} // namespace

LargeFractal::LargeFractal(uint32_t edge, uint32_t seed, float roughness)
    : edge_(edge), size_(kCoarseSize), seed_(seed), roughness_(FractalHeightmap::clampedRoughness(roughness))
{
    while (size_ + 1 < edge)
        size_ *= 2;
    cell_ = size_ / kCoarseSize;
    coarse_ = FractalHeightmap::heights(kCoarseSize + 1, seed, roughness);
    // The coarse grid took the first twelve levels (amplitudes r^0 .. r^11).
    fineAmplitude_ = std::pow(roughness_, 12.0f);
}

// Uniform in -1 .. 1 from the sample's position and the seed (SplitMix64's finaliser).
float LargeFractal::random(uint32_t x, uint32_t z) const
{
    uint64_t v = (uint64_t(z) << 32 | x) ^ (seed_ * 0x9E3779B97F4A7C15ull);
    v += 0x9E3779B97F4A7C15ull;
    v = (v ^ (v >> 30)) * 0xBF58476D1CE4E5B9ull;
    v = (v ^ (v >> 27)) * 0x94D049BB133111EBull;
    v ^= v >> 31;
    return float(double(v >> 11) / double(1ull << 53)) * 2.0f - 1.0f;
}

void LargeFractal::rows(uint32_t first, uint32_t count, std::vector<float>& out) const
{
    // Rows past the map's edge are not made (the region below would not hold them).
    count = first < edge_ ? std::min(count, edge_ - first) : 0;
    // The band is made with one coarse cell of margin above and below: each finer level reaches
    // half a step further, so a margin of one cell (the sum of all finer half steps, plus one)
    // keeps every row handed out independent of rows outside the region.
    const uint32_t n = size_ + 1;
    const uint32_t top = first / cell_ * cell_;
    const uint32_t bottom = std::min(size_, (first + count + cell_ - 1) / cell_ * cell_);
    const uint32_t z0 = top >= cell_ ? top - cell_ : 0;
    const uint32_t z1 = std::min(size_, bottom + cell_);
    const uint32_t regionRows = z1 - z0 + 1;
    // Columns up to the edge plus one cell are all a row handed out depends on.
    const uint32_t columns = std::min(n, (edge_ + cell_ - 1) / cell_ * cell_ + cell_ + 1);
    std::vector<float> h(size_t(regionRows) * columns, 0.0f);
    const auto at = [&](uint32_t x, uint32_t z) -> float& { return h[size_t(z - z0) * columns + x]; };

    for (uint32_t z = z0; z <= z1; z += cell_)
        for (uint32_t x = 0; x < columns; x += cell_)
            at(x, z) = coarse_[size_t(z / cell_) * (kCoarseSize + 1) + x / cell_];

    float amplitude = fineAmplitude_;
    for (uint32_t step = cell_; step > 1; step /= 2)
    {
        const uint32_t half = step / 2;
        // Centres of squares: their four corners are in the region.
        for (uint32_t z = z0 + half; z < z1; z += step)
            for (uint32_t x = half; x + half < columns; x += step)
                at(x, z) = (at(x - half, z - half) + at(x + half, z - half) + at(x - half, z + half) +
                            at(x + half, z + half)) * 0.25f + random(x, z) * amplitude;
        // Centres of diamonds: a neighbour outside the map is left out, as in the small
        // generator; one outside the region is left out too, which only the margin sees.
        for (uint32_t z = z0; z <= z1; z += half)
            for (uint32_t x = (z / half) % 2 ? 0 : half; x < columns; x += step)
            {
                float sum = 0.0f;
                int used = 0;
                if (x >= half) { sum += at(x - half, z); ++used; }
                if (x + half < columns && x + half < n) { sum += at(x + half, z); ++used; }
                if (z >= z0 + half) { sum += at(x, z - half); ++used; }
                if (z + half <= z1) { sum += at(x, z + half); ++used; }
                at(x, z) = sum / float(used) + random(x, z) * amplitude;
            }
        amplitude *= roughness_;
    }

    out.resize(size_t(count) * edge_);
    for (uint32_t r = 0; r < count; ++r)
        std::copy_n(&at(0, first + r), edge_, out.data() + size_t(r) * edge_);
}
