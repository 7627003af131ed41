#include "ElevationFiles.h"

#include "ImageCodecs.h"

#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

namespace fs = std::filesystem;

namespace
{
// A band of decoded tiles larger than this is refused: no real elevation model needs it, and
// a damaged header must not make the tool ask for terabytes.
constexpr uint64_t kMaxBandBytes = uint64_t(4) << 30;

// libtiff's last error, for the message of the failure it causes. Its warnings (unknown GeoTIFF
// tags and the like) are of no use to a user converting a file and are dropped.
std::string lastLibtiffError;

void keepLibtiffError(const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof(text), format, args);
    lastLibtiffError = text;
    (void)module;
}

void dropLibtiffWarning(const char*, const char*, va_list)
{
}

struct LibtiffCloser
{
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using LibtiffPtr = std::unique_ptr<TIFF, LibtiffCloser>;

// mode "r" lets libtiff present a large uncompressed strip as strips of a few rows, so that
// reading rows never holds a whole strip in memory; "rc" shows the strips as the file has them.
LibtiffPtr openWithLibtiff(const std::string& path, const char* mode = "r")
{
    requireReadableFile(path);
    TIFFSetErrorHandler(keepLibtiffError);
    TIFFSetWarningHandler(dropLibtiffWarning);
    lastLibtiffError.clear();
    LibtiffPtr tif(TIFFOpen(path.c_str(), mode));
    if (!tif)
        throw ToolError("libtiff cannot read " + inQuotes(path) +
                        (lastLibtiffError.empty() ? "" : ": " + lastLibtiffError));
    return tif;
}

TiffImageInfo readImageInfo(TIFF* tif)
{
    TiffImageInfo image;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image.height);
    TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &image.subfileType);
    image.tiled = TIFFIsTiled(tif) != 0;
    if (image.tiled)
    {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &image.tileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &image.tileLength);
        image.chunks = TIFFNumberOfTiles(tif);
    }
    else
    {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &image.rowsPerStrip);
        image.rowsPerStrip = std::min(image.rowsPerStrip, image.height);
        image.chunks = TIFFNumberOfStrips(tif);
    }
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &image.compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &image.predictor);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &image.bitsPerSample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &image.sampleFormat);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &image.samplesPerPixel);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &image.planarConfig);
    return image;
}

std::optional<double> gdalNodata(TIFF* tif)
{
    // Libtiff builds that do not know GDAL's tag register it on sight as an anonymous ASCII field
    // passed with a count (32-bit or 16-bit by its read count); newer ones know it as a plain
    // string. Ask the field how it wants to be read rather than guess, or the call reads garbage.
    const TIFFField* field = TIFFFieldWithTag(tif, TIFFTAG_GDAL_NODATA);
    if (!field || TIFFFieldDataType(field) != TIFF_ASCII)
        return std::nullopt;
    char* data = nullptr;
    std::string text;
    const auto readCounted = [&](auto count) {
        if (TIFFGetField(tif, TIFFTAG_GDAL_NODATA, &count, &data) == 1 && data)
            text.assign(data, strnlen(data, count));
    };
    if (!TIFFFieldPassCount(field))
    {
        if (TIFFGetField(tif, TIFFTAG_GDAL_NODATA, &data) == 1 && data)
            text = data;
    }
    else if (TIFFFieldReadCount(field) == TIFF_VARIABLE2)
        readCounted(uint32_t(0));
    else
        readCounted(uint16_t(0));
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || std::isnan(value))
        return std::nullopt;
    return value;
}

// How a sample is stored, after libtiff has put it into host byte order.
enum class SampleKind
{
    u8, i8, u16, i16, u32, i32, u64, i64, f32, f64,
};

std::optional<SampleKind> sampleKind(uint16_t bits, uint16_t format)
{
    const bool isSigned = format == SAMPLEFORMAT_INT;
    if (format == SAMPLEFORMAT_IEEEFP)
        return bits == 32 ? std::optional(SampleKind::f32)
               : bits == 64 ? std::optional(SampleKind::f64)
                            : std::nullopt;
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_INT && format != SAMPLEFORMAT_VOID)
        return std::nullopt;
    switch (bits)
    {
    case 8: return isSigned ? SampleKind::i8 : SampleKind::u8;
    case 16: return isSigned ? SampleKind::i16 : SampleKind::u16;
    case 32: return isSigned ? SampleKind::i32 : SampleKind::u32;
    case 64: return isSigned ? SampleKind::i64 : SampleKind::u64;
    default: return std::nullopt;
    }
}

template <class T>
T loadAs(const uint8_t* p)
{
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

double loadSample(SampleKind kind, const uint8_t* p)
{
    switch (kind)
    {
    case SampleKind::u8: return p[0];
    case SampleKind::i8: return int8_t(p[0]);
    case SampleKind::u16: return loadAs<uint16_t>(p);
    case SampleKind::i16: return loadAs<int16_t>(p);
    case SampleKind::u32: return loadAs<uint32_t>(p);
    case SampleKind::i32: return loadAs<int32_t>(p);
    case SampleKind::u64: return double(loadAs<uint64_t>(p));
    case SampleKind::i64: return double(loadAs<int64_t>(p));
    case SampleKind::f32: return loadAs<float>(p);
    case SampleKind::f64: return loadAs<double>(p);
    }
    return 0.0;
}

// Samples at p, one every stride bytes, into heights; nodata and non-finite values become NaN.
// Float samples are compared with the nodata value at their own precision, as GDAL writes the
// value as decimal text.
void convertSamples(SampleKind kind, const uint8_t* p, size_t stride, uint32_t count,
                    const std::optional<double>& nodata, double* heights)
{
    const bool narrowFloat = kind == SampleKind::f32;
    const double missing = !nodata ? std::numeric_limits<double>::quiet_NaN()
                           : narrowFloat ? double(float(*nodata))
                                         : *nodata;
    for (uint32_t i = 0; i < count; ++i, p += stride)
    {
        const double value = loadSample(kind, p);
        heights[i] = !std::isfinite(value) || value == missing ? std::numeric_limits<double>::quiet_NaN() : value;
    }
}

size_t sampleBytes(SampleKind kind)
{
    switch (kind)
    {
    case SampleKind::u8:
    case SampleKind::i8: return 1;
    case SampleKind::u16:
    case SampleKind::i16: return 2;
    case SampleKind::u32:
    case SampleKind::i32:
    case SampleKind::f32: return 4;
    default: return 8;
    }
}

// A TIFF image read through libtiff: strips row by row, tiles a row of tiles at a time.
class TiffElevation final : public ElevationSource
{
public:
    TiffElevation(const std::string& path, const ElevationOptions& options) : path_(path)
    {
        const TiffDescription description = describeTiff(path);
        tif_ = openWithLibtiff(path);
        if (!TIFFSetDirectory(tif_.get(), tdir_t(description.chosen)))
            fail("cannot read its image");
        const TiffImageInfo& image = description.images[description.chosen];
        width = image.width;
        height = image.height;
        if (width == 0 || height == 0)
            throw ToolError(inQuotes(path) + " holds an empty image");
        const std::string samples = sampleText(image.bitsPerSample, image.sampleFormat);
        const auto kind = sampleKind(image.bitsPerSample, image.sampleFormat);
        if (!kind)
            throw ToolError(inQuotes(path) + " holds " + samples +
                            " samples, which are not heights this tool reads (8, 16, 32 or "
                            "64-bit integers, 32 or 64-bit floats)");
        kind_ = *kind;
        if (options.band < 1 || options.band > image.samplesPerPixel)
            throw ToolError("--band " + std::to_string(options.band) + ": " + inQuotes(path) +
                            " has " + std::to_string(image.samplesPerPixel) + " sample" +
                            (image.samplesPerPixel == 1 ? "" : "s") + " per pixel");
        const bool separate = image.separatePlanes();
        plane_ = separate ? uint16_t(options.band - 1) : 0;
        offset_ = separate ? 0 : (options.band - 1) * sampleBytes(kind_);
        stride_ = (separate ? 1 : image.samplesPerPixel) * sampleBytes(kind_);
        nodata = options.nodata ? options.nodata : description.nodata;

        format = samples + (description.bigTiff ? " BigTIFF" : " TIFF");
        if (description.bigEndian)
            format += ", big-endian";
        if (image.compression != COMPRESSION_NONE)
            format += ", " + compressionText(image.compression, image.predictor);
        if (image.tiled)
            format += ", tiles of " + std::to_string(image.tileWidth) + " x " + std::to_string(image.tileLength);
        if (image.samplesPerPixel > 1)
            format += ", band " + std::to_string(options.band) + " of " + std::to_string(image.samplesPerPixel);
        if (description.images.size() > 1)
            format += ", image " + std::to_string(description.chosen + 1) + " of " +
                      std::to_string(description.images.size());

        tiled_ = image.tiled;
        const uint64_t rowBytes = uint64_t(width) * stride_;
        if (tiled_)
        {
            tileWidth_ = image.tileWidth;
            tileLength_ = image.tileLength;
            if (tileWidth_ == 0 || tileLength_ == 0)
                fail("its tiles have no size");
            const uint64_t tileBytes = uint64_t(TIFFTileSize64(tif_.get()));
            const uint64_t paddedRow = uint64_t(tileWidth_) * stride_;
            if (tileBytes < paddedRow * tileLength_ || tileBytes > kMaxBandBytes ||
                rowBytes > kMaxBandBytes / tileLength_)
                fail("its tiles are too large to decode");
            tile_.resize(size_t(tileBytes));
            rows_.resize(size_t(rowBytes * tileLength_));
        }
        else
        {
            const uint64_t lineBytes = uint64_t(TIFFScanlineSize64(tif_.get()));
            if (lineBytes < rowBytes || lineBytes > kMaxBandBytes)
                fail("its rows do not hold " + std::to_string(width) + " pixels");
            rows_.resize(size_t(lineBytes));
        }
    }

    void readRow(uint32_t y, double* heights) override
    {
        const uint64_t rowBytes = uint64_t(width) * stride_;
        const uint8_t* row = nullptr;
        if (tiled_)
        {
            const uint32_t first = y / tileLength_ * tileLength_;
            if (first != bandStart_)
                decodeTileRow(first);
            row = rows_.data() + (y - first) * rowBytes;
        }
        else
        {
            lastLibtiffError.clear();
            if (TIFFReadScanline(tif_.get(), rows_.data(), y, plane_) != 1)
                fail("cannot decode row " + std::to_string(y));
            row = rows_.data();
        }
        convertSamples(kind_, row + offset_, stride_, width, nodata, heights);
    }

private:
    [[noreturn]] void fail(const std::string& what) const
    {
        throw ToolError(inQuotes(path_) + ": " + what +
                        (lastLibtiffError.empty() ? "" : " (libtiff: " + lastLibtiffError + ")"));
    }

    // Decodes the row of tiles that starts at image row first into rows_, as whole image rows.
    void decodeTileRow(uint32_t first)
    {
        bandStart_ = std::numeric_limits<uint32_t>::max();
        const uint64_t rowBytes = uint64_t(width) * stride_;
        const uint64_t tileRowBytes = uint64_t(tileWidth_) * stride_;
        const uint32_t rows = std::min(tileLength_, height - first);
        for (uint32_t x = 0; x < width; x += tileWidth_)
        {
            lastLibtiffError.clear();
            if (TIFFReadTile(tif_.get(), tile_.data(), x, first, 0, plane_) < 0)
                fail("cannot decode the tile at column " + std::to_string(x) + ", row " + std::to_string(first));
            const uint64_t copy = uint64_t(std::min(tileWidth_, width - x)) * stride_;
            for (uint32_t r = 0; r < rows; ++r)
                std::memcpy(rows_.data() + r * rowBytes + uint64_t(x) * stride_, tile_.data() + r * tileRowBytes,
                            size_t(copy));
        }
        bandStart_ = first;
    }

    std::string path_;
    LibtiffPtr tif_;
    SampleKind kind_ = SampleKind::u16;
    uint16_t plane_ = 0;  // the plane of the height samples (separate planes only)
    size_t offset_ = 0;   // bytes from a pixel's start to its height sample
    size_t stride_ = 0;   // bytes from one pixel to the next in a decoded row
    bool tiled_ = false;
    uint32_t tileWidth_ = 0;
    uint32_t tileLength_ = 0;
    uint32_t bandStart_ = std::numeric_limits<uint32_t>::max(); // first row in rows_ (tiles)
    std::vector<uint8_t> tile_;
    std::vector<uint8_t> rows_;
};

// Rows of fixed-size samples in a plain file: raw exports and SRTM tiles.
class RawElevation final : public ElevationSource
{
public:
    RawElevation(const std::string& path, uint32_t w, uint32_t h, SampleKind kind, bool bigEndian,
                 std::optional<double> missing)
        : path_(path), kind_(kind), bigEndian_(bigEndian)
    {
        width = w;
        height = h;
        nodata = missing;
        errno = 0;
        file_ = std::fopen(path.c_str(), "rb");
        if (!file_)
            throw ToolError("cannot open " + inQuotes(path) + ": " + std::strerror(errno));
        row_.resize(size_t(width) * sampleBytes(kind_));
    }

    ~RawElevation() override
    {
        if (file_)
            std::fclose(file_);
    }

    RawElevation(const RawElevation&) = delete;
    RawElevation& operator=(const RawElevation&) = delete;

    void readRow(uint32_t y, double* heights) override
    {
        const uint64_t at = uint64_t(y) * row_.size();
        if (fseeko(file_, off_t(at), SEEK_SET) != 0 || std::fread(row_.data(), 1, row_.size(), file_) != row_.size())
            throw ToolError("cannot read row " + std::to_string(y) + " of " + inQuotes(path_) + ": it ended early");
        // Samples into host (little-endian) order.
        const size_t bytes = sampleBytes(kind_);
        if (bigEndian_)
            for (size_t i = 0; i < row_.size(); i += bytes)
                std::reverse(row_.begin() + long(i), row_.begin() + long(i + bytes));
        convertSamples(kind_, row_.data(), bytes, width, nodata, heights);
    }

private:
    std::string path_;
    SampleKind kind_;
    bool bigEndian_;
    FILE* file_ = nullptr;
    std::vector<uint8_t> row_;
};

// Heights held in memory (decoded images).
class GridElevation final : public ElevationSource
{
public:
    explicit GridElevation(ImageHeights image, std::optional<double> missing)
        : heights_(std::move(image.heights))
    {
        width = image.width;
        height = image.height;
        format = image.format;
        nodata = missing;
    }

    void readRow(uint32_t y, double* heights) override
    {
        const float* row = heights_.data() + uint64_t(y) * width;
        for (uint32_t x = 0; x < width; ++x)
            heights[x] = !std::isfinite(row[x]) || (nodata && double(row[x]) == *nodata)
                             ? std::numeric_limits<double>::quiet_NaN()
                             : row[x];
    }

private:
    std::vector<float> heights_;
};

uint64_t fileSize(const std::string& path)
{
    requireReadableFile(path);
    std::error_code error;
    const uint64_t size = fs::file_size(path, error);
    if (error)
        throw ToolError("cannot read " + inQuotes(path) + ": " + error.message());
    if (size == 0)
        throw ToolError(inQuotes(path) + " is empty");
    return size;
}

// The edge of a square of count samples, or 0 when count is not a square.
uint64_t squareEdge(uint64_t count)
{
    uint64_t edge = uint64_t(std::llround(std::sqrt(double(count))));
    while (edge > 0 && edge * edge > count)
        --edge;
    while ((edge + 1) * (edge + 1) <= count)
        ++edge;
    return edge * edge == count ? edge : 0;
}

std::unique_ptr<ElevationSource> openRaw(const std::string& path, const ElevationOptions& options)
{
    const SampleKind kind = options.isFloat ? SampleKind::f32 : options.isSigned ? SampleKind::i16 : SampleKind::u16;
    const uint64_t bytes = sampleBytes(kind);
    const char* what = options.isFloat ? "32-bit float" : options.isSigned ? "signed 16-bit" : "16-bit";
    const uint64_t size = fileSize(path);
    if (size % bytes != 0)
        throw ToolError(inQuotes(path) + " has " + std::to_string(size) + " bytes, which is not a whole number of " +
                        what + " samples (" + std::to_string(bytes) + " bytes each)");
    const uint64_t count = size / bytes;
    uint64_t width = options.rawWidth;
    uint64_t height = options.rawHeight;
    if (width == 0 || height == 0)
    {
        width = height = squareEdge(count);
        if (width == 0)
            throw ToolError(inQuotes(path) + " holds " + std::to_string(count) + " " + what +
                            " samples, which is not a square: give its size with --raw-size WxH");
    }
    else if (width * height != count)
    {
        throw ToolError(inQuotes(path) + " holds " + std::to_string(count) + " " + what + " samples (" +
                        std::to_string(size) + " bytes), but --raw-size " + std::to_string(width) + "x" +
                        std::to_string(height) + " needs " + std::to_string(width * height));
    }
    if (width > std::numeric_limits<uint32_t>::max() || height > std::numeric_limits<uint32_t>::max())
        throw ToolError(inQuotes(path) + " is too large for a heightmap");
    auto source = std::make_unique<RawElevation>(path, uint32_t(width), uint32_t(height), kind,
                                                 options.bigEndian, options.nodata);
    source->format = std::string("raw ") + (options.bigEndian ? "big-endian " : "little-endian ") + what + " samples";
    return source;
}

std::unique_ptr<ElevationSource> openHgt(const std::string& path, const ElevationOptions& options)
{
    const uint64_t size = fileSize(path);
    const uint64_t edge = size % 2 == 0 ? squareEdge(size / 2) : 0;
    if (edge < 2)
        throw ToolError(inQuotes(path) + " is not an SRTM tile: it has " + std::to_string(size) +
                        " bytes, not a square of 16-bit samples (1201 x 1201 or 3601 x 3601)");
    auto source = std::make_unique<RawElevation>(path, uint32_t(edge), uint32_t(edge), SampleKind::i16, true,
                                                 options.nodata ? *options.nodata : -32768.0);
    source->format = "SRTM tile, big-endian signed 16-bit samples";
    return source;
}
} // namespace

bool looksLikeTiff(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    uint8_t magic[4] = {};
    const bool read = std::fread(magic, 1, 4, file) == 4;
    std::fclose(file);
    if (!read)
        return false;
    const bool little = magic[0] == 'I' && magic[1] == 'I' && magic[3] == 0 && (magic[2] == 42 || magic[2] == 43);
    const bool big = magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43);
    return little || big;
}

TiffDescription describeTiff(const std::string& path)
{
    LibtiffPtr tif = openWithLibtiff(path, "rc");
    TiffDescription description;
    description.bigEndian = (TIFFIsBigEndian(tif.get()) != 0);
    description.bigTiff = TIFFIsBigTIFF(tif.get()) != 0;
    bool chosen = false;
    // libtiff stops at a damaged or looping chain; what was read so far stands.
    do
    {
        const TiffImageInfo image = readImageInfo(tif.get());
        if (!chosen && !image.isOverview() && !image.isMask())
        {
            description.chosen = description.images.size();
            description.nodata = gdalNodata(tif.get());
            chosen = true;
        }
        description.images.push_back(image);
    } while (description.images.size() < 1024 && TIFFReadDirectory(tif.get()) == 1);
    if (!chosen)
        description.nodata = std::nullopt;
    return description;
}

std::string compressionText(uint16_t compression, uint16_t predictor)
{
    std::string text;
    switch (compression)
    {
    case COMPRESSION_NONE: return "none";
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4: text = "CCITT"; break;
    case COMPRESSION_LZW: text = "LZW"; break;
    case COMPRESSION_OJPEG:
    case COMPRESSION_JPEG: text = "JPEG"; break;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: text = "Deflate"; break;
    case COMPRESSION_PACKBITS: text = "PackBits"; break;
    case COMPRESSION_LZMA: text = "LZMA"; break;
    case COMPRESSION_ZSTD: text = "ZSTD"; break;
    case COMPRESSION_WEBP: text = "WebP"; break;
    case COMPRESSION_LERC: text = "LERC"; break;
    default: text = "scheme " + std::to_string(compression); break;
    }
    if (predictor == PREDICTOR_HORIZONTAL)
        text += ", horizontal predictor";
    else if (predictor == PREDICTOR_FLOATINGPOINT)
        text += ", floating-point predictor";
    return text;
}

std::string sampleText(uint16_t bitsPerSample, uint16_t sampleFormat)
{
    const std::string bits = std::to_string(bitsPerSample) + "-bit";
    switch (sampleFormat)
    {
    case SAMPLEFORMAT_INT: return "signed " + bits + " integer";
    case SAMPLEFORMAT_IEEEFP: return bits + " float";
    case SAMPLEFORMAT_UINT:
    case SAMPLEFORMAT_VOID: return "unsigned " + bits + " integer";
    default: return bits + " (sample format " + std::to_string(sampleFormat) + ")";
    }
}

std::unique_ptr<ElevationSource> openElevation(const std::string& path, const ElevationOptions& options)
{
    requireReadableFile(path);
    const std::string extension = lowerExtension(path);
    if (options.raw || extension == "raw" || extension == "r16")
        return openRaw(path, options);
    if (extension == "hgt")
        return openHgt(path, options);
    if (looksLikeTiff(path))
        return std::make_unique<TiffElevation>(path, options);
    const ImageCodecs codecs;
    return std::make_unique<GridElevation>(codecs.loadHeights(path), options.nodata);
}
