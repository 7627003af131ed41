#include "HeightmapFiles.h"

#include "Progress.h"
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
// Classic TIFF addresses its file with 32-bit offsets; a file the TIFF module creates puts its
// pixels after a header of this many bytes.
constexpr uint64_t kClassicLimit = uint64_t(1) << 32;
constexpr uint64_t kCreatedHeaderBytes = 258;

// Pixels move between memory and the file in bands of about this many bytes: small enough to
// keep memory flat for any image, large enough that the per-call costs vanish.
constexpr uint64_t kBandBytes = uint64_t(1) << 20;

std::string errnoText(int error, const char* fallback)
{
    return error != 0 ? std::strerror(error) : fallback;
}

// Redirects standard output into an anonymous temporary file for its lifetime, so that the TIFF
// module's tag trace does not mix with the tool's results. Its last line is the module's reason
// for refusing a file. Should the redirection be impossible, the trace simply stays on
// standard output.
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

    // The last line written, unless it is part of the tag trace ("Tag: ...", "bps: ...").
    std::string lastMessage()
    {
        if (!file_)
            return {};
        std::fflush(stdout);
        // A damaged file can make the trace long; the reason is always in its last line.
        char tail[1024];
        if (fseeko(file_, 0, SEEK_END) != 0)
            return {};
        const off_t size = ftello(file_);
        const off_t start = std::max<off_t>(0, size - off_t(sizeof(tail)));
        if (size <= 0 || fseeko(file_, start, SEEK_SET) != 0)
            return {};
        const size_t n = std::fread(tail, 1, size_t(size - start), file_);
        std::string text(tail, n);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        const size_t lineStart = text.rfind('\n');
        std::string line = lineStart == std::string::npos ? text : text.substr(lineStart + 1);
        if (line.rfind("Tag: ", 0) == 0 || line.rfind("bps: ", 0) == 0)
            return {};
        if (line.rfind("Error: ", 0) == 0)
            line.erase(0, 7);
        return line;
    }

private:
    FILE* file_ = nullptr;
    int saved_ = -1;
};

// A file written under a temporary name in the destination's folder, renamed over the
// destination by commit(). Until then the destination is untouched; an uncommitted temporary
// file is removed.
class PendingOutput
{
public:
    explicit PendingOutput(std::string path)
        : path_(std::move(path)), temporary_(path_ + ".partial-" + std::to_string(getpid()))
    {
    }

    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    ~PendingOutput()
    {
        if (!committed_)
        {
            std::error_code ignored;
            fs::remove(temporary_, ignored);
        }
    }

    const std::string& temporaryPath() const { return temporary_; }

    void commit()
    {
        std::error_code error;
        fs::rename(temporary_, path_, error);
        if (error)
            throw ToolError("cannot write " + inQuotes(path_) + ": " + error.message());
        committed_ = true;
    }

private:
    std::string path_;
    std::string temporary_;
    bool committed_ = false;
};

// The largest heightmap the TIFF module can create: its pixel data must stay below 4 GiB.
void requireTiffSize(uint32_t width, uint32_t height)
{
    const uint64_t bytes = uint64_t(width) * height * 2;
    if (width == 0 || height == 0 || width > uint32_t(std::numeric_limits<int32_t>::max()) ||
        height > uint32_t(std::numeric_limits<int32_t>::max()) ||
        bytes > kClassicLimit - kCreatedHeaderBytes)
        throw ToolError("a " + std::to_string(width) + " x " + std::to_string(height) +
                        " heightmap does not fit in a TIFF file (4 GiB of samples at most)");
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
        tiff.reset(openTiff(path.c_str(), 1));
        if (!tiff)
            reason = capture.lastMessage();
    }
    if (!tiff)
        throw ToolError(inQuotes(path) + " is not a TIFF file this tool can read: " +
                        (reason.empty() ? std::string("cannot open it") : reason));
    return tiff;
}

bool isTerrainPixelFormat(const TiffFile& tiff)
{
    return tiff.samplesPerPixel == 1 && tiff.bitsPerSample == 16;
}

std::string pixelFormatText(const TiffFile& tiff)
{
    return std::to_string(tiff.samplesPerPixel) + " x " + std::to_string(tiff.bitsPerSample) +
           "-bit";
}

std::string pixelDataProblem(const TiffFile& tiff)
{
    const uint64_t rowBytes = uint64_t(tiff.width) * tiff.bytesPerPixel();
    // Division, not multiplication: rows times row bytes can exceed 64 bits in a damaged file.
    if (rowBytes == 0 || tiff.height > tiff.fileSize / rowBytes)
        return "its pixel data (" + std::to_string(tiff.width) + " x " +
               std::to_string(tiff.height) + " pixels of " + std::to_string(tiff.bytesPerPixel()) +
               " bytes) is larger than the file (" + std::to_string(tiff.fileSize) + " bytes)";
    const uint32_t rows = tiff.rowsPerStrip;
    const uint64_t stripsNeeded = (uint64_t(tiff.height) + rows - 1) / rows;
    if (tiff.stripCount < stripsNeeded)
        return "its strip table lists " + std::to_string(tiff.stripCount) +
               " strips where the image needs " + std::to_string(stripsNeeded);
    for (uint64_t strip = 0; strip < stripsNeeded; ++strip)
    {
        const uint64_t stripRows = std::min<uint64_t>(rows, tiff.height - strip * rows);
        const uint64_t offset = tiff.stripOffsets[strip];
        const uint64_t bytes = stripRows * rowBytes; // at most the file size, checked above
        if (offset > tiff.fileSize || bytes > tiff.fileSize - offset)
            return "strip " + std::to_string(strip) + " runs past the end of the file (cut short?)";
        if (offset + bytes > kClassicLimit)
            return "strip " + std::to_string(strip) + " reaches past 4 GiB";
    }
    return {};
}

Heightmap readHeightmap(const std::string& path)
{
    TiffPtr tiff = openTiffForReading(path);
    if (!isTerrainPixelFormat(*tiff))
        throw ToolError(inQuotes(path) +
                        " is not usable as a terrain heightmap: it needs one 16-bit sample per "
                        "pixel, this file has " + pixelFormatText(*tiff));
    const std::string problem = pixelDataProblem(*tiff);
    if (!problem.empty())
        throw ToolError(inQuotes(path) + ": " + problem);
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

void writeHeightmap(const Heightmap& map, const std::string& path)
{
    requireTiffSize(map.width, map.height);
    PendingOutput output(path);
    // The file is created zero-filled and its rows written band by band, so that progress can
    // be shown and no second copy of a large map is needed.
    errno = 0;
    TiffPtr tiff(createTiff(output.temporaryPath().c_str(), int(map.width), int(map.height), 1, 16,
                            1, nullptr, 0));
    if (!tiff)
        throw ToolError("cannot create " + inQuotes(path) + ": " +
                        errnoText(errno, "the file could not be written"));

    const uint64_t rowBytes = uint64_t(map.width) * 2;
    const uint32_t band = bandRows(rowBytes, map.height);
    std::vector<uint8_t> bytes(band * rowBytes);
    Progress progress = Progress::forSamples("writing", map.height, map.sampleCount());
    for (uint32_t y = 0; y < map.height; y += band)
    {
        const uint32_t rows = std::min(band, map.height - y);
        const uint64_t pixels = uint64_t(rows) * map.width;
        writeSamples(map.samples.data() + uint64_t(y) * map.width, bytes.data(), pixels);
        errno = 0;
        if (writeRect(tiff.get(), 0, int32_t(y), int32_t(map.width), int32_t(rows), bytes.data()) !=
            pixels)
            throw ToolError("cannot write " + inQuotes(path) + ": " +
                            errnoText(errno, "the disk took fewer bytes than it was given"));
        progress.advance(rows);
    }
    progress.finish();
    tiff.reset();
    output.commit();
}

Heightmap readRawHeightmap(const std::string& path, uint32_t width, uint32_t height,
                           bool bigEndian)
{
    requireReadableFile(path);
    std::error_code error;
    const uint64_t size = fs::file_size(path, error);
    if (error)
        throw ToolError("cannot read " + inQuotes(path) + ": " + error.message());
    if (size == 0)
        throw ToolError(inQuotes(path) + " is empty");
    if (size % 2 != 0)
        throw ToolError(inQuotes(path) + " has an odd number of bytes (" + std::to_string(size) +
                        "), so it does not hold 16-bit samples");
    const uint64_t count = size / 2;
    if (width == 0 || height == 0)
    {
        uint64_t edge = uint64_t(std::llround(std::sqrt(double(count))));
        while (edge * edge > count)
            --edge;
        while ((edge + 1) * (edge + 1) <= count)
            ++edge;
        if (edge * edge != count)
            throw ToolError(inQuotes(path) + " holds " + std::to_string(count) +
                            " samples, which is not a square: give its size with --raw-size WxH");
        if (edge > std::numeric_limits<uint32_t>::max())
            throw ToolError(inQuotes(path) + " is too large for a heightmap");
        width = height = uint32_t(edge);
    }
    else if (uint64_t(width) * height != count)
    {
        throw ToolError(inQuotes(path) + " holds " + std::to_string(count) + " samples (" +
                        std::to_string(size) + " bytes), but --raw-size " + std::to_string(width) +
                        "x" + std::to_string(height) + " needs " +
                        std::to_string(uint64_t(width) * height));
    }
    requireTiffSize(width, height);

    Heightmap map;
    map.width = width;
    map.height = height;
    map.samples.resize(map.sampleCount());
    errno = 0;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        throw ToolError("cannot open " + inQuotes(path) + ": " +
                        errnoText(errno, "unknown reason"));
    const size_t got = std::fread(map.samples.data(), 2, map.samples.size(), file);
    std::fclose(file);
    if (got != map.samples.size())
        throw ToolError("cannot read " + inQuotes(path) + ": it ended early");
    // The bytes were copied as they lie in the file; put each sample into host order.
    if (bigEndian)
        for (uint16_t& sample : map.samples)
        {
            uint8_t b[2];
            std::memcpy(b, &sample, 2);
            sample = uint16_t(b[0] << 8 | b[1]);
        }
    else
        readSamples(map.samples.data(), map.samples.data(), map.samples.size());
    return map;
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
