// Generating one patch of 129 x 129 vertices (vertex records and strip) from heights held in
// memory, beside a plain loop that fills the same ten floats from the same array.

#include "lod/PatchBuilder.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace
{
constexpr int kPatchSize = 128;
constexpr int kVertices = kPatchSize + 1;
constexpr int kMapSize = 4 * kPatchSize + 1; // the map one level-2 patch spans a quarter of

// A smooth, non-trivial height map: world coordinates equal sample coordinates.
const std::vector<float>& heightMap()
{
    static const std::vector<float> map = [] {
        std::vector<float> heights(size_t(kMapSize) * kMapSize);
        for (int z = 0; z < kMapSize; ++z)
            for (int x = 0; x < kMapSize; ++x)
                heights[size_t(z) * kMapSize + x] =
                    40.0f * std::sin(float(x) * 0.05f) * std::cos(float(z) * 0.031f) + 0.01f * float(x * z % 97);
        return heights;
    }();
    return map;
}

float mapHeight(const Ogre::Vector3& p, int)
{
    const int x = std::clamp(int(p.x), 0, kMapSize - 1);
    const int z = std::clamp(int(p.z), 0, kMapSize - 1);
    return heightMap()[size_t(z) * kMapSize + x];
}

// Sampling and vertex records of the patch of one cell, as the build thread makes them.
PatchBuildResult buildPatch(const PatchGrid& grid, const ParentHeights* parent)
{
    PatchHeights heights(grid.n);
    samplePatchHeights(grid, parent, HeightFunction(&mapHeight), heights);
    PatchBuildResult result;
    buildPatchVertices(grid, heights, result);
    return result;
}

// The root samples every vertex; a child samples three quarters and reuses the parent's rest.
void BM_BuildPatch(benchmark::State& state)
{
    const bool child = state.range(0) != 0;
    const RootSquare square{Ogre::Vector3::ZERO, float(kMapSize - 1)};
    const PatchGrid rootGrid(square, 0, 0, 0, kVertices);
    const PatchBuildResult root = buildPatch(rootGrid, nullptr);
    // The high-x, low-z child of the root.
    const PatchGrid childGrid(square, 1, 0, 1, kVertices);
    const ParentHeights parent{root.vertices.get(), kPatchSize / 2, 0};
    for (auto _ : state)
    {
        const PatchBuildResult result = child ? buildPatch(childGrid, &parent) : buildPatch(rootGrid, nullptr);
        benchmark::DoNotOptimize(result.vertices.get());
    }
    state.SetItemsProcessed(state.iterations() * kVertices * kVertices);
    state.SetLabel(child ? "child, parent heights reused" : "root, every height sampled");
}
BENCHMARK(BM_BuildPatch)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Baseline: the same records from a plain array with direct indexing, no callbacks and no
// parent, six-neighbour normals and morph targets included.
void BM_BaselineLoop(benchmark::State& state)
{
    const std::vector<float>& map = heightMap();
    const int step = (kMapSize - 1) / kPatchSize;
    std::vector<float> records(size_t(kVertices) * kVertices * 10);
    const int dx[6] = {0, 1, 1, 0, -1, -1};
    const int dz[6] = {-1, -1, 0, 1, 1, 0};
    for (auto _ : state)
    {
        for (int j = 0; j < kVertices; ++j)
            for (int i = 0; i < kVertices; ++i)
            {
                float* v = &records[(size_t(j) * kVertices + i) * 10];
                v[0] = float(i * step);
                v[1] = map[size_t(j * step) * kMapSize + i * step];
                v[2] = float(j * step);
            }
        for (int j = 0; j < kVertices; ++j)
            for (int i = 0; i < kVertices; ++i)
            {
                float* v = &records[(size_t(j) * kVertices + i) * 10];
                float ex[6], ey[6], ez[6];
                for (int k = 0; k < 6; ++k)
                {
                    const int x = std::clamp((i + dx[k]) * step, 0, kMapSize - 1);
                    const int z = std::clamp((j + dz[k]) * step, 0, kMapSize - 1);
                    ex[k] = float(dx[k] * step);
                    ey[k] = map[size_t(z) * kMapSize + x] - v[1];
                    ez[k] = float(dz[k] * step);
                }
                float nx = 0, ny = 0, nz = 0;
                for (int k = 0; k < 6; ++k)
                {
                    const int l = (k + 1) % 6;
                    nx += ey[k] * ez[l] - ez[k] * ey[l];
                    ny += ez[k] * ex[l] - ex[k] * ez[l];
                    nz += ex[k] * ey[l] - ey[k] * ex[l];
                }
                const float length = std::sqrt(nx * nx + ny * ny + nz * nz);
                v[3] = -nx / length;
                v[4] = -ny / length;
                v[5] = -nz / length;
            }
        for (int j = 0; j < kVertices; ++j)
            for (int i = 0; i < kVertices; ++i)
            {
                float* v = &records[(size_t(j) * kVertices + i) * 10];
                const float* a = v;
                const float* b = v;
                if (i % 2 && j % 2 == 0)
                {
                    a = v - 10;
                    b = v + 10;
                }
                else if (j % 2 && i % 2 == 0)
                {
                    a = v - 10 * kVertices;
                    b = v + 10 * kVertices;
                }
                else if (i % 2 && j % 2)
                {
                    a = v - 10 * kVertices + 10;
                    b = v + 10 * kVertices - 10;
                }
                float nx = a[3] + b[3], ny = a[4] + b[4], nz = a[5] + b[5];
                const float length = std::sqrt(nx * nx + ny * ny + nz * nz);
                v[6] = nx / length;
                v[7] = ny / length;
                v[8] = nz / length;
                v[9] = (a[1] + b[1]) * 0.5f;
            }
        benchmark::DoNotOptimize(records.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kVertices * kVertices);
}
BENCHMARK(BM_BaselineLoop)->Unit(benchmark::kMicrosecond);
} // namespace

BENCHMARK_MAIN();
