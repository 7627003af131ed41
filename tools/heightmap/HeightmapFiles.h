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

// Whether the terrain can stream a file as it is, decided by the terrain's own reader.
struct StreamCheck
{
    TiffPtr file;       // the open file when it can
    std::string reason; // why not, in a user's words
    bool convertible = false; // an image import can convert (not a damaged or missing file)
};
StreamCheck checkStreamable(const std::string& path);

// The file's size in bytes.
uint64_t fileBytes(const std::string& path);

// Reads a whole terrain heightmap (one unsigned 16-bit sample per pixel), with a progress bar
// for large files.
Heightmap readHeightmap(const std::string& path);

// Writes a terrain heightmap TIFF file: classic TIFF while it fits in 4 GiB, else BigTIFF (or
// as kind asks). The file is written under a temporary name beside path and renamed over path
// once complete, so a failure leaves no partial file and an existing file at path unchanged.
// Large maps show a progress bar.
void writeHeightmap(const Heightmap& map, const std::string& path,
                    TiffKind kind = TiffKind::classicWhenItFits);

// A file written under a temporary name in the destination's folder, renamed over the
// destination by commit(). Until then the destination is untouched; an uncommitted temporary
// file is removed.
class PendingOutput
{
public:
    explicit PendingOutput(std::string path);
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const std::string& temporaryPath() const { return temporary_; }
    void commit();

private:
    std::string path_;
    std::string temporary_;
    bool committed_ = false;
};

// Writes a terrain heightmap TIFF file a band of rows at a time, for maps made as they are
// written (as writeHeightmap, whose temporary file it shares).
class HeightmapWriter
{
public:
    HeightmapWriter(const std::string& path, uint32_t width, uint32_t height,
                    TiffKind kind = TiffKind::classicWhenItFits);
    ~HeightmapWriter();
    HeightmapWriter(const HeightmapWriter&) = delete;
    HeightmapWriter& operator=(const HeightmapWriter&) = delete;

    // rows whole rows of samples from row y.
    void writeRows(uint32_t y, uint32_t rows, const uint16_t* samples);
    // Puts the finished file in place; without it, nothing is left behind.
    void commit();

private:
    std::string path_;
    uint32_t width_;
    uint32_t height_;
    PendingOutput output_;
    TiffPtr tiff_;
    std::vector<uint8_t> bytes_;
};

// Writes bytes to path through a temporary file, as writeHeightmap does.
void writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
