#pragma once

// Writes a heightmap for a test: one 16-bit sample per pixel, sample(x, z) at column x, row z.

#include "heightmap/Tiff.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support
{

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

} // namespace testing_support
