#pragma once

// The viewer's built-in heightmap: a seeded fractal written once, with the library's TIFF
// module, into a cache folder, and reused by later runs.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Roughness of the built-in fractal: how much detail survives each halving (0.5 is natural ground).
constexpr float kBuiltinRoughness = 0.5f;

// Progress of a long step: fraction 0 .. 1 of the work done.
using ProgressFunction = std::function<void(double fraction)>;

// Makes the fractal's lowlands broader and its peaks sharper, in place: sample s becomes
// 65535 * (s / 65535)^1.4 (0 and 65535 stay). Deterministic.
void shapeHeights(std::vector<uint16_t>& samples);

// Writes edge x edge samples (row by row) as an uncompressed little-endian 16-bit TIFF heightmap,
// in bands of rows, calling progress after each band. The file is written under a temporary name
// and renamed at the end, so `file` never names a partial map.
// Result: true on success; false with `error` (the partial file is removed).
bool writeHeightmapFile(const std::filesystem::path& file, const std::vector<uint16_t>& samples,
                        uint32_t edge, const ProgressFunction& progress, std::string& error);

// True when `file` has exactly the size of a map of edge x edge samples as writeHeightmapFile
// writes it (a map cut short by a full disk or an older format is made again).
bool isCompleteHeightmap(const std::filesystem::path& file, uint32_t edge);

// File name of the built-in map: "fractal-<edge>-seed<seed>-v<generator version>.tif".
std::string builtinHeightmapName(uint32_t edge, uint32_t seed);

struct BuiltinHeightmap
{
    std::filesystem::path file; // the map, complete
    bool generated = false;     // made by this call (false: found in the cache)
    double seconds = 0;         // time spent generating and writing
};

// The built-in map of edge x edge samples (2^k + 1) for seed, from the first of `folders` that
// has it or can take it (folders are created as needed). progress covers generation and
// writing. Result: true with `out` filled; false with `error`.
bool ensureBuiltinHeightmap(const std::vector<std::filesystem::path>& folders, uint32_t edge,
                            uint32_t seed, const ProgressFunction& progress, BuiltinHeightmap& out,
                            std::string& error);
