#pragma once

// Elevation data as users bring it, read row by row as heights in the source's own units:
// - TIFF and GeoTIFF files of any layout libtiff decodes (classic or BigTIFF, either byte order,
//   strips or tiles, any compression and predictor, 8- to 64-bit integer or float samples, one
//   or several samples per pixel, the first full-resolution image of several);
// - SRTM .hgt tiles (big-endian signed 16-bit squares, -32768 for no data);
// - raw sample files (16-bit unsigned or signed, or 32-bit float, either byte order);
// - images Ogre's codecs decode (PNG, PGM, ...): grey levels in the image's own depth (0..255
//   or 0..65535), colour pixels as their Rec. 709 luma on the same scale.
// Everything reports failures as ToolError naming the file.

#include "HeightmapFiles.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ElevationOptions
{
    uint32_t band = 1;            // which sample of each pixel is the height, from 1
    std::optional<double> nodata; // the value that marks no data, over the file's own
    // Raw files: rows of samples, first row first, nothing before or between them.
    bool raw = false;
    uint32_t rawWidth = 0; // 0 with rawHeight 0: the file holds a square
    uint32_t rawHeight = 0;
    bool bigEndian = false;
    bool isSigned = false; // 16-bit two's complement samples
    bool isFloat = false;  // 32-bit IEEE floating-point samples
};

// A grid of heights.
class ElevationSource
{
public:
    virtual ~ElevationSource() = default;

    uint32_t width = 0;
    uint32_t height = 0;
    // What the samples are, for the user: "signed 16-bit GeoTIFF, LZW, tiles of 256 x 256".
    std::string format;
    // The sample value that marks no data, when the source has one.
    std::optional<double> nodata;

    // Reads row y (0 is the first row) into width heights; NaN where there is no data (the
    // nodata value, and NaN or infinite floats). Rows read in ascending order are cheapest.
    virtual void readRow(uint32_t y, double* heights) = 0;
};

std::unique_ptr<ElevationSource> openElevation(const std::string& path, const ElevationOptions& options);

// Whether the file starts like a TIFF file of either byte order, classic or BigTIFF.
bool looksLikeTiff(const std::string& path);

// One image of a TIFF file, as libtiff reads its directory.
struct TiffImageInfo
{
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t subfileType = 0; // NewSubfileType: 1 reduced resolution, 4 mask
    bool tiled = false;
    uint32_t tileWidth = 0;
    uint32_t tileLength = 0;
    uint32_t rowsPerStrip = 0;
    uint32_t chunks = 0; // strips or tiles
    uint16_t compression = 1;
    uint16_t predictor = 1;
    uint16_t bitsPerSample = 1;
    uint16_t sampleFormat = 1;
    uint16_t samplesPerPixel = 1;
    uint16_t planarConfig = 1;

    bool isOverview() const { return subfileType & 1; }
    bool isMask() const { return subfileType & 4; }
    bool separatePlanes() const { return planarConfig == 2 && samplesPerPixel > 1; }
};

// A TIFF file as libtiff sees it.
struct TiffDescription
{
    bool bigEndian = false;
    bool bigTiff = false;
    std::vector<TiffImageInfo> images; // every directory, in file order
    size_t chosen = 0;                 // the first full-resolution image: the heightmap
    std::optional<double> nodata;      // GDAL's nodata tag of the chosen image
};

// Throws ToolError with libtiff's reason when libtiff cannot read the file's directories.
TiffDescription describeTiff(const std::string& path);

// "none", "LZW", "Deflate, floating-point predictor", "scheme 34712", ...
std::string compressionText(uint16_t compression, uint16_t predictor = 1);
// "unsigned 16-bit integer", "32-bit float", ...
std::string sampleText(uint16_t bitsPerSample, uint16_t sampleFormat);
