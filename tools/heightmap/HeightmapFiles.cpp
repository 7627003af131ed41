#include "HeightmapFiles.h"

#include "Progress.h"
#include "heightmap/HeightmapFormat.h"
#include "heightmap/SampleRows.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace
{
// Pixels move between memory and the file in bands of about this many bytes: small enough to
// keep memory flat for any image, large enough that the per-call costs vanish.
constexpr uint64_t kBandBytes = uint64_t(1) << 20;

std::string errnoText(int error, const char* fallback)
{
    return error != 0 ? std::strerror(error) : fallback;
}

// Redirects standard output into an anonymous temporary file for its lifetime, so that the TIFF
// module's tag trace does not mix with the tool's results. Should the redirection be
// impossible, the trace simply stays on standard output.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        file_ = std::tmpfile();
        if (!file_)
            return;
        saved_ = dup(STDOUT_FILENO);
        if (saved_ < 0 || dup2(fileno(file_), STDOUT_FILENO) < 0)
        {
            if (saved_ >= 0)
                close(saved_);
            saved_ = -1;
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    ~StdoutCapture()
    {
        if (!file_)
            return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        std::fclose(file_);
    }

private:
    FILE* file_ = nullptr;
    int saved_ = -1;
};

// The TIFF module addresses images with 32-bit signed sizes; beyond 4 GiB it writes BigTIFF.
void requireTiffSize(uint32_t width, uint32_t height)
{
    if (width == 0 || height == 0 || width > uint32_t(std::numeric_limits<int32_t>::max()) ||
        height > uint32_t(std::numeric_limits<int32_t>::max()))
        throw ToolError("a " + std::to_string(width) + " x " + std::to_string(height) +
                        " heightmap is too large for a TIFF file of this tool");
}

// Rows per band for rows of the given number of bytes: at least one.
uint32_t bandRows(uint64_t rowBytes, uint32_t height)
{
    return uint32_t(std::clamp<uint64_t>(kBandBytes / std::max<uint64_t>(rowBytes, 1), 1, height));
}
} // namespace

std::string inQuotes(const std::string& path)
{
    return "\"" + path + "\"";
}

std::string lowerExtension(const std::string& path)
{
    std::string extension = fs::path(path).extension().string();
    if (!extension.empty())
        extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

void requireReadableFile(const std::string& path)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found)
        throw ToolError(inQuotes(path) + ": no such file");
    if (fs::is_directory(status))
        throw ToolError(inQuotes(path) + " is a folder, not a file");
    errno = 0;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        throw ToolError("cannot open " + inQuotes(path) + ": " +
                        errnoText(errno, "unknown reason"));
    std::fclose(file);
}

void refuseOverwritingInput(const std::string& input, const std::string& output)
{
    std::error_code error;
    if (fs::equivalent(input, output, error) && !error)
        throw ToolError("refusing to write the output over the input file " + inQuotes(input));
}

TiffPtr openTiffForReading(const std::string& path)
{
    requireReadableFile(path);
    TiffPtr tiff;
    std::string reason;
    {
        StdoutCapture capture;
        tiff.reset(openTiff(path.c_str(), 1, nullptr, &reason));
    }
    if (!tiff)
        throw ToolError(inQuotes(path) + " is not a TIFF file this tool can read: " +
                        (reason.empty() ? std::string("cannot open it") : reason));
    return tiff;
}

StreamCheck checkStreamable(const std::string& path)
{
    StreamableHeightmap opened;
    {
        StdoutCapture capture;
        opened = openStreamableHeightmap(path);
    }
    return StreamCheck{std::move(opened.file), opened.reason, opened.convertible};
}

uint64_t fileBytes(const std::string& path)
{
    std::error_code error;
    const uint64_t size = fs::file_size(path, error);
    if (error)
        throw ToolError("cannot read " + inQuotes(path) + ": " + error.message());
    return size;
}

PendingOutput::PendingOutput(std::string path)
    : path_(std::move(path)), temporary_(path_ + ".partial-" + std::to_string(getpid()))
{
}

PendingOutput::~PendingOutput()
{
    if (!committed_)
    {
        std::error_code ignored;
        fs::remove(temporary_, ignored);
    }
}

void PendingOutput::commit()
{
    std::error_code error;
    fs::rename(temporary_, path_, error);
    if (error)
        throw ToolError("cannot write " + inQuotes(path_) + ": " + error.message());
    committed_ = true;
}

Heightmap readHeightmap(const std::string& path)
{
    TiffPtr tiff = openTiffForReading(path);
    const std::string reason = unstreamableReason(*tiff);
    if (!reason.empty())
        throw ToolError(inQuotes(path) + " is not a terrain heightmap (" + reason +
                        "); the terrain needs one unsigned 16-bit sample per pixel: " + importHint(path));
    // The TIFF module addresses rectangles with 32-bit signed coordinates.
    if (tiff->width > uint32_t(std::numeric_limits<int32_t>::max()) ||
        tiff->height > uint32_t(std::numeric_limits<int32_t>::max()))
        throw ToolError(inQuotes(path) + " is too large for this tool");

    Heightmap map;
    map.width = tiff->width;
    map.height = tiff->height;
    map.samples.resize(map.sampleCount());
    const uint64_t rowBytes = uint64_t(map.width) * 2;
    const uint32_t band = bandRows(rowBytes, map.height);
    std::vector<uint8_t> bytes(band * rowBytes);
    Progress progress = Progress::forSamples("reading", map.height, map.sampleCount());
    for (uint32_t y = 0; y < map.height; y += band)
    {
        const uint32_t rows = std::min(band, map.height - y);
        const uint64_t pixels = uint64_t(rows) * map.width;
        if (readRect(tiff.get(), 0, int32_t(y), int32_t(map.width), int32_t(rows), bytes.data()) !=
            pixels)
            throw ToolError("cannot read the pixels of " + inQuotes(path) + " from row " +
                            std::to_string(y));
        readSamples(bytes.data(), map.samples.data() + uint64_t(y) * map.width, pixels);
        progress.advance(rows);
    }
    progress.finish();
    return map;
}

HeightmapWriter::HeightmapWriter(const std::string& path, uint32_t width, uint32_t height, TiffKind kind)
    : path_(path), width_(width), height_(height), output_(path)
{
    requireTiffSize(width, height);
    // Created zero-filled (without writing the zeros) and written band by band, so that no
    // second copy of a large map is needed.
    errno = 0;
    tiff_.reset(createTiff(output_.temporaryPath().c_str(), int(width), int(height), 1, 16, 1, nullptr, 0, kind));
    if (!tiff_)
        throw ToolError("cannot create " + inQuotes(path) + ": " +
                        errnoText(errno, "the file could not be written"));
}

HeightmapWriter::~HeightmapWriter() = default;

void HeightmapWriter::writeRows(uint32_t y, uint32_t rows, const uint16_t* samples)
{
    const uint64_t pixels = uint64_t(rows) * width_;
    bytes_.resize(size_t(pixels) * 2);
    writeSamples(samples, bytes_.data(), pixels);
    errno = 0;
    if (writeRect(tiff_.get(), 0, int32_t(y), int32_t(width_), int32_t(rows), bytes_.data()) != pixels)
        throw ToolError("cannot write " + inQuotes(path_) + ": " +
                        errnoText(errno, "the disk took fewer bytes than it was given"));
}

void HeightmapWriter::commit()
{
    tiff_.reset();
    output_.commit();
}

void writeHeightmap(const Heightmap& map, const std::string& path, TiffKind kind)
{
    HeightmapWriter writer(path, map.width, map.height, kind);
    const uint32_t band = bandRows(uint64_t(map.width) * 2, map.height);
    Progress progress = Progress::forSamples("writing", map.height, map.sampleCount());
    for (uint32_t y = 0; y < map.height; y += band)
    {
        const uint32_t rows = std::min(band, map.height - y);
        writer.writeRows(y, rows, map.samples.data() + uint64_t(y) * map.width);
        progress.advance(rows);
    }
    progress.finish();
    writer.commit();
}

void writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    PendingOutput output(path);
    errno = 0;
    FILE* file = std::fopen(output.temporaryPath().c_str(), "wb");
    if (!file)
        throw ToolError("cannot create " + inQuotes(path) + ": " +
                        errnoText(errno, "unknown reason"));
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed)
        throw ToolError("cannot write " + inQuotes(path) + ": " +
                        errnoText(written ? errno : writeError, "the disk is full"));
    output.commit();
}
