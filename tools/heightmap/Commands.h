#pragma once

// The subcommands of terrain-heightmap. Each takes its parsed options, prints its results on
// standard output and throws ToolError (HeightmapFiles.h) for anything the user must fix.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Largest edge create accepts: a 32 GiB BigTIFF file. Up to kMaxSmallCreateSize the whole map
// is made in memory as floats; larger ones are made a band of rows at a time.
constexpr uint32_t kMaxCreateSize = 131073;
constexpr uint32_t kMaxSmallCreateSize = 32769;

struct CreateOptions
{
    std::string output;
    uint32_t size = 1025;    // samples along each edge; 2^k + 1 suits the terrain
    uint32_t seed = 1;
    float roughness = 0.5f;  // 0 (smooth) .. 1 (rough)
    uint16_t lowest = 0;     // sample value of the lowest point
    uint16_t highest = 65535; // sample value of the highest point
    bool bigTiff = false;    // BigTIFF even when classic TIFF would do
};

struct ImportOptions
{
    std::string input;
    std::string output;
    std::string rawSize;    // "WxH", or empty
    bool bigEndian = false; // raw samples are big-endian
    bool isSigned = false;  // raw samples are signed 16-bit
    bool isFloat = false;   // raw samples are 32-bit floats
    uint32_t band = 1;      // the sample of each pixel that is the height, from 1
    std::vector<double> range;    // LOW HIGH: the heights that become samples 0 and 65535
    std::optional<double> nodata; // the height that marks no data, over the file's own
    bool bigTiff = false;         // BigTIFF even when classic TIFF would do
};

struct ExportOptions
{
    std::string input;
    std::string output;
    uint32_t scale = 1; // keep one sample in scale x scale, the box's average
    int bits = 0;       // 8 or 16 bits per PNG sample; 0 for the most the codec writes
};

struct InfoOptions
{
    std::string input;
    double worldHeight = 0; // world height of sample 65535; 0 when not given
};

// "WxH" with both at least 1, e.g. "1025x1025"; nothing for anything else.
std::optional<std::pair<uint32_t, uint32_t>> parseRawSize(const std::string& text);

void runCreate(const CreateOptions& options);
void runImport(const ImportOptions& options);
void runExport(const ExportOptions& options);
// Prints the summary even for a file whose pixel data is incomplete, then throws for it.
void runInfo(const InfoOptions& options);
