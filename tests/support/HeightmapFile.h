#pragma once

// Heightmaps for tests: one 16-bit sample per pixel, written by the TIFF module.

#include "../../tools/FractalHeightmap.h"
#include "heightmap/Tiff.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support
{

// sample(x, z) at column x, row z. Returns the file name.
inline std::string writeHeightmap(const std::string& file, int width, int height,
                                  const std::function<uint16_t(int, int)>& sample)
{
    std::vector<uint16_t> samples(size_t(width) * size_t(height));
    for (int z = 0; z < height; ++z)
        for (int x = 0; x < width; ++x)
            samples[size_t(z) * size_t(width) + size_t(x)] = sample(x, z);
    closeTiff(createTiff(file.c_str(), width, height, 1, 16, 1, samples.data(), 0));
    return file;
}

// A square fractal map of edge x edge samples (edge = 2^k + 1).
inline std::string writeFractalHeightmap(const std::string& file, int edge, uint32_t seed, float roughness)
{
    const std::vector<uint16_t> map = FractalHeightmap::generate(uint32_t(edge), seed, roughness);
    return writeHeightmap(file, edge, edge, [&](int x, int z) { return map[size_t(z) * size_t(edge) + size_t(x)]; });
}

} // namespace testing_support
