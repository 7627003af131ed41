#pragma once

// What the terrain streams: TIFF files (classic or BigTIFF) of one uncompressed little-endian
// unsigned 16-bit sample per pixel in strips. The stream, the viewer and the heightmap tool
// decide with the same words whether a file is one, and tell the user how to convert it when
// it is not.

#include "heightmap/Tiff.h"

#include <string>

// Why the terrain cannot stream a file the TIFF module opened, in a user's words ("signed
// 16-bit samples", "2 samples per pixel"); empty when it can. SampleFormat 4 ("undefined") is
// taken as unsigned, as libtiff does.
inline std::string unstreamableReason(const TiffFile& file)
{
    if (file.samplesPerPixel != 1)
        return std::to_string(file.samplesPerPixel) + " samples per pixel";
    const std::string bits = std::to_string(file.bitsPerSample) + "-bit";
    if (file.sampleFormat == 2)
        return "signed " + bits + " samples";
    if (file.sampleFormat == 3)
        return bits + " float samples";
    if (file.sampleFormat != 1 && file.sampleFormat != 4)
        return "samples of format " + std::to_string(file.sampleFormat);
    if (file.bitsPerSample != 16)
        return bits + " samples";
    return {};
}

// The line after a refusal that says how to make the file streamable.
inline std::string importHint(const std::string& fileName)
{
    return "convert it with: terrain-heightmap import " + fileName + " OUT.tif";
}

// A heightmap opened for streaming, or why not.
struct StreamableHeightmap
{
    TiffPtr file;       // null when refused
    std::string reason; // why it was refused, in a user's words
    // The file exists and is an image of another kind (a TIFF the module does not stream, or
    // another format): the tool's import can convert it. Damaged files and missing ones cannot.
    bool convertible = false;
    // The TIFF module opened the file and the refusal is the terrain's: the module has printed
    // nothing about it (it prints its own refusals).
    bool refusedByTerrain = false;
    // Why the TIFF module gave no record (none when it opened the file).
    TiffRefusal refusal = TiffRefusal::none;
};

// Opens fileName through the TIFF module (which prints its trace and its own refusal lines)
// and keeps it only when the terrain can stream it. mode as for openTiff.
inline StreamableHeightmap openStreamableHeightmap(const std::string& fileName, int mode = 1)
{
    StreamableHeightmap result;
    TiffRefusal& refusal = result.refusal;
    result.file.reset(openTiff(fileName.c_str(), mode, &refusal, &result.reason));
    if (result.file)
    {
        result.reason = unstreamableReason(*result.file);
        if (!result.reason.empty())
        {
            result.file.reset();
            result.convertible = true;
            result.refusedByTerrain = true;
        }
    }
    else
    {
        result.convertible = refusal == TiffRefusal::notTiff || refusal == TiffRefusal::unsupported;
    }
    return result;
}
