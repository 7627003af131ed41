#pragma once

// Ogre's image codecs (PNG and the other formats Ogre reads), loaded as plug-ins into an
// Ogre::Root without a render system. Only import and export of images need them: creating,
// inspecting and raw import work without Ogre's plug-ins.
//
// The plug-ins are looked for in the folder given by the environment variable
// TERRAIN_OGRE_PLUGIN_DIR, else in Ogre's plug-in folder as found at build time. Codec_FreeImage
// is preferred: it reads and writes 16-bit grey PNG. Codec_STBI stands in when FreeImage cannot
// be loaded; it decodes most formats to 8-bit samples and writes 8-bit PNG only.

#include "HeightmapFiles.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Ogre
{
class LogManager;
class Root;
} // namespace Ogre

// A decoded image as heights, row by row.
struct ImageHeights
{
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> heights;
    std::string format; // "8-bit grey PNG through Ogre's FreeImage codec (PF_L8)"
};

class ImageCodecs
{
public:
    // Loads a codec plug-in; throws ToolError when none can be loaded.
    ImageCodecs();
    ~ImageCodecs();

    ImageCodecs(const ImageCodecs&) = delete;
    ImageCodecs& operator=(const ImageCodecs&) = delete;

    // "FreeImage" or "STBI".
    const std::string& codecName() const { return codecName_; }

    // Whether encodePng can keep 16 bits per sample.
    bool writesSixteenBitPng() const { return sixteenBitPng_; }

    // Decodes an image file into heights: grey levels as stored (0..255 for 8-bit samples,
    // 0..65535 for 16-bit ones); colour pixels as the luma of their stored values,
    // Y = 0.2126 R + 0.7152 G + 0.0722 B (Rec. 709 weights, no gamma decoding), on the same
    // scale, so that a grey pixel (R = G = B) keeps its value; floating-point pixels as they
    // are. Alpha is ignored.
    ImageHeights loadHeights(const std::string& path) const;

    // Encodes the map as a grey PNG of 16 bits per sample (only when writesSixteenBitPng()) or
    // 8 (each sample divided by 257 and rounded).
    std::vector<uint8_t> encodePng(const Heightmap& map, int bitsPerSample) const;

private:
    std::unique_ptr<Ogre::LogManager> log_;
    std::unique_ptr<Ogre::Root> root_;
    std::string codecName_;
    bool sixteenBitPng_ = false;
};
