#include "BloodSplats.h"

#include <algorithm>
#include <cmath>

namespace
{
uint32_t mix(uint32_t a, uint32_t b, uint32_t c)
{
    // A small integer hash (after the "lowbias32" finaliser), applied to a combination of inputs.
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
    h ^= h >> 16;
    h *= 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    h ^= h >> 16;
    return h;
}
} // namespace

SplatField::SplatField(float terrainSize, int splatLevel_, uint32_t seed_, int textureCount_)
    : origin(-terrainSize / 2.0f), splatLevel(splatLevel_),
      cellSize(terrainSize / float(1u << splatLevel_)), cellsPerEdge(1u << splatLevel_), seed(seed_),
      textureCount(std::max(textureCount_, 1))
{
}

int SplatField::cellCode(uint32_t cellX, uint32_t cellZ, int depth)
{
    int code = 0;
    for (int bit = depth - 1; bit >= 0; --bit)
        code = (code << 2) | int((cellX >> bit) & 1u) | int(((cellZ >> bit) & 1u) << 1);
    return code;
}

bool SplatField::splatInBlock(uint32_t blockX, uint32_t blockZ, uint32_t& cellX, uint32_t& cellZ,
                              int& texture) const
{
    const uint32_t h = mix(blockX, blockZ, seed);
    if (h % kBlockChance != 0)
        return false;
    cellX = blockX * kBlockCells + (h >> 8) % kBlockCells;
    cellZ = blockZ * kBlockCells + (h >> 16) % kBlockCells;
    texture = int((h >> 24) % uint32_t(textureCount));
    return cellX < cellsPerEdge && cellZ < cellsPerEdge;
}

std::vector<SplatRequest> SplatField::requestsFor(std::vector<PatchSquare> patches, size_t maxSplats) const
{
    std::stable_sort(patches.begin(), patches.end(),
                     [](const PatchSquare& a, const PatchSquare& b) { return a.distance < b.distance; });
    std::vector<SplatRequest> requests;
    for (const PatchSquare& patch : patches)
    {
        if (requests.size() >= maxSplats)
            break;
        if (patch.level > splatLevel || patch.level < 0)
            continue;
        const int depth = splatLevel - patch.level;
        const uint32_t span = 1u << depth; // splat cells along the patch's edge
        // The patch's first splat cell; corners lie on the grid, rounding only absorbs float error.
        const long firstX = std::lround((patch.cornerX - origin) / cellSize);
        const long firstZ = std::lround((patch.cornerZ - origin) / cellSize);
        if (firstX < 0 || firstZ < 0)
            continue;
        const uint32_t x0 = uint32_t(firstX);
        const uint32_t z0 = uint32_t(firstZ);
        for (uint32_t blockZ = z0 / kBlockCells; blockZ <= (z0 + span - 1) / kBlockCells; ++blockZ)
            for (uint32_t blockX = x0 / kBlockCells; blockX <= (x0 + span - 1) / kBlockCells; ++blockX)
            {
                uint32_t cellX, cellZ;
                int texture;
                if (requests.size() >= maxSplats || !splatInBlock(blockX, blockZ, cellX, cellZ, texture))
                    continue;
                if (cellX < x0 || cellX >= x0 + span || cellZ < z0 || cellZ >= z0 + span)
                    continue;
                requests.push_back(SplatRequest{patch.id, cellCode(cellX - x0, cellZ - z0, depth), depth, texture});
            }
    }
    return requests;
}

std::vector<uint8_t> drawSplat(int size, uint32_t seed)
{
    std::vector<uint8_t> pixels(size_t(size) * size_t(size) * 4, 0);
    const float centre = (float(size) - 1.0f) * 0.5f;
    // The main pool's radius wobbles with the angle (a few seeded harmonics); drops sit around it.
    float amplitude[4], phase[4];
    for (int k = 0; k < 4; ++k)
    {
        amplitude[k] = 0.04f + 0.07f * float(mix(seed, uint32_t(k), 1) % 1000) / 1000.0f;
        phase[k] = 6.2831853f * float(mix(seed, uint32_t(k), 2) % 1000) / 1000.0f;
    }
    struct Drop
    {
        float x, z, radius;
    };
    Drop drops[7];
    for (uint32_t k = 0; k < 7; ++k)
    {
        const float angle = 6.2831853f * float(mix(seed, k, 3) % 1000) / 1000.0f;
        const float reach = 0.50f + 0.35f * float(mix(seed, k, 4) % 1000) / 1000.0f;
        drops[k] = Drop{centre + std::cos(angle) * reach * centre, centre + std::sin(angle) * reach * centre,
                        (0.03f + 0.05f * float(mix(seed, k, 5) % 1000) / 1000.0f) * float(size)};
    }
    const float border = 2.0f; // alpha stays 0 this close to the edge
    for (int row = 0; row < size; ++row)
        for (int column = 0; column < size; ++column)
        {
            const float dx = float(column) - centre;
            const float dz = float(row) - centre;
            const float angle = std::atan2(dz, dx);
            float radius = 0.52f;
            for (int k = 0; k < 4; ++k)
                radius += amplitude[k] * std::sin(float(k + 2) * angle + phase[k]);
            radius *= centre;
            const float distance = std::sqrt(dx * dx + dz * dz);
            float coverage = std::clamp((radius - distance) / (0.08f * centre) + 0.5f, 0.0f, 1.0f);
            for (const Drop& drop : drops)
            {
                const float d = std::hypot(float(column) - drop.x, float(row) - drop.z);
                coverage = std::max(coverage, std::clamp((drop.radius - d) / 1.5f + 0.5f, 0.0f, 1.0f));
            }
            const float edge = std::min({float(column), float(row), float(size - 1 - column), float(size - 1 - row)});
            if (edge < border)
                coverage = 0.0f;
            // Darker, thicker blood in the middle; a little grain.
            const float depth = std::clamp(1.0f - distance / (radius + 1.0f), 0.0f, 1.0f);
            const float grain = float(mix(uint32_t(column), uint32_t(row), seed) % 256) / 255.0f;
            uint8_t* pixel = &pixels[(size_t(row) * size_t(size) + size_t(column)) * 4];
            pixel[0] = uint8_t(std::lround(255.0f * (0.52f - 0.22f * depth + 0.05f * grain)));
            pixel[1] = uint8_t(std::lround(255.0f * (0.03f + 0.02f * grain)));
            pixel[2] = uint8_t(std::lround(255.0f * (0.04f + 0.02f * grain)));
            pixel[3] = uint8_t(std::lround(255.0f * coverage * (0.80f + 0.15f * depth)));
        }
    return pixels;
}
