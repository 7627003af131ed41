#pragma once

// Heightmap files on disk: terrain TIFF files through the project's TIFF module, and raw
// 16-bit sample files. Everything here reports failures as ToolError with a message that names
// the file and says what is wrong with it.

#include "heightmap/Tiff.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A failure the user can act on; main prints it as "terrain-heightmap: error: <what>".
class ToolError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A heightmap in memory: width x height unsigned 16-bit samples, row by row, row 0 first (the
// terrain's most negative z). Sample 65535 stands for the terrain's full height.
struct Heightmap
{
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint16_t> samples;

    uint64_t sampleCount() const { return uint64_t(width) * height; }
};

// "path" in double quotes, for messages.
std::string inQuotes(const std::string& path);

// The file name's extension in lower case without the dot ("png"), or empty.
std::string lowerExtension(const std::string& path);

// Throws unless path names an existing regular file that can be opened for reading.
void requireReadableFile(const std::string& path);

// Throws when output names the same file as input (through another path or a link): outputs
// are written over whatever is there, and the input must survive.
void refuseOverwritingInput(const std::string& input, const std::string& output);

// Opens a TIFF file read-only. The TIFF module's tag trace is kept off standard output; when it
// refuses the file, its reason ends up in the ToolError.
TiffPtr openTiffForReading(const std::string& path);

// The terrain reads exactly one unsigned 16-bit sample per pixel.
bool isTerrainPixelFormat(const TiffFile& tiff);

// "1 x 16-bit" (samples per pixel x bits per sample).
std::string pixelFormatText(const TiffFile& tiff);

// Empty when every row of the image lies in a strip of the strip table, inside the file and
// below classic TIFF's 4 GiB; otherwise what is missing. When it is empty, the pixel data also
// fits in the file, which bounds any pass over the pixels by the file's size.
std::string pixelDataProblem(const TiffFile& tiff);

// Reads a whole terrain heightmap (one 16-bit sample per pixel), with a progress bar for large
// files.
Heightmap readHeightmap(const std::string& path);

// Writes a terrain heightmap TIFF file. The file is written under a temporary name beside path
// and renamed over path once complete, so a failure leaves no partial file and an existing file
// at path unchanged. Large maps show a progress bar.
void writeHeightmap(const Heightmap& map, const std::string& path);

// Reads a raw file of 16-bit samples, row by row, little-endian unless bigEndian. width and
// height 0: the file must hold a square number of samples, and its edge is their square root.
Heightmap readRawHeightmap(const std::string& path, uint32_t width, uint32_t height,
                           bool bigEndian);

// Writes bytes to path through a temporary file, as writeHeightmap does.
void writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
