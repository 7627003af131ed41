#include "Commands.h"

#include "FractalHeightmap.h"
#include "HeightmapFiles.h"
#include "ImageCodecs.h"
#include "Progress.h"
#include "heightmap/SampleRows.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace
{
// Pixels scanned by info per readRect call, in bytes.
constexpr uint64_t kScanBytes = uint64_t(4) << 20;

// Keeps one sample for each factor x factor box of the map (the last boxes of a row or column
// may be cut by the edge): the box's average, rounded.
Heightmap downscale(const Heightmap& map, uint32_t factor)
{
    Heightmap out;
    out.width = uint32_t((uint64_t(map.width) + factor - 1) / factor);
    out.height = uint32_t((uint64_t(map.height) + factor - 1) / factor);
    out.samples.resize(out.sampleCount());
    std::vector<uint64_t> sums(out.width);
    for (uint32_t oy = 0; oy < out.height; ++oy)
    {
        const uint32_t y0 = oy * factor;
        const uint32_t y1 = uint32_t(std::min<uint64_t>(uint64_t(y0) + factor, map.height));
        std::fill(sums.begin(), sums.end(), 0);
        for (uint32_t y = y0; y < y1; ++y)
        {
            const uint16_t* row = map.samples.data() + uint64_t(y) * map.width;
            for (uint32_t x = 0; x < map.width; ++x)
                sums[x / factor] += row[x];
        }
        for (uint32_t ox = 0; ox < out.width; ++ox)
        {
            const uint32_t x0 = ox * factor;
            const uint32_t x1 = uint32_t(std::min<uint64_t>(uint64_t(x0) + factor, map.width));
            const uint64_t count = uint64_t(x1 - x0) * (y1 - y0);
            out.samples[uint64_t(oy) * out.width + ox] = uint16_t((sums[ox] + count / 2) / count);
        }
    }
    return out;
}

// How the strips follow each other in the file: "contiguous" (each right after the one
// before), "ascending" (in file order, with gaps) or "unordered". Only for files whose pixel
// data is complete (pixelDataProblem() empty), so strip sizes are bounded by the file size.
const char* stripOrder(const TiffFile& tiff)
{
    const uint64_t rowBytes = uint64_t(tiff.width) * tiff.bytesPerPixel();
    const uint64_t stripBytes = uint64_t(tiff.rowsPerStrip) * rowBytes;
    const uint32_t strips =
        uint32_t((uint64_t(tiff.height) + tiff.rowsPerStrip - 1) / tiff.rowsPerStrip);
    bool contiguous = true;
    for (uint32_t i = 1; i < strips; ++i)
    {
        if (tiff.stripOffsets[i] < tiff.stripOffsets[i - 1])
            return "unordered";
        if (tiff.stripOffsets[i] != uint64_t(tiff.stripOffsets[i - 1]) + stripBytes)
            contiguous = false;
    }
    return contiguous ? "contiguous" : "ascending";
}

struct SampleRange
{
    uint32_t minimum = std::numeric_limits<uint32_t>::max();
    uint32_t maximum = 0;
};

// The smallest and largest sample of every channel of an image of unsigned 8- or 16-bit
// (little-endian) samples whose pixel data is complete.
SampleRange scanSamples(TiffFile& tiff, const std::string& path)
{
    const uint32_t pixelBytes = tiff.bytesPerPixel();
    const uint32_t sampleBytes = tiff.bitsPerSample / 8;
    // Rectangles of whole rows where a row fits the scan buffer, else pieces of a row.
    const uint32_t columns = uint32_t(std::clamp<uint64_t>(kScanBytes / pixelBytes, 1, tiff.width));
    const uint32_t rows = uint32_t(std::clamp<uint64_t>(
        kScanBytes / (uint64_t(columns) * pixelBytes), 1, tiff.height));
    std::vector<uint8_t> buffer(uint64_t(columns) * rows * pixelBytes);
    const uint64_t pixelCount = uint64_t(tiff.width) * tiff.height;
    Progress progress = Progress::forSamples("scanning", tiff.height,
                                             pixelCount * tiff.samplesPerPixel);
    SampleRange range;
    for (uint32_t y = 0; y < tiff.height; y += rows)
    {
        const uint32_t h = std::min(rows, tiff.height - y);
        for (uint32_t x = 0; x < tiff.width; x += columns)
        {
            const uint32_t w = std::min(columns, tiff.width - x);
            const uint64_t pixels = uint64_t(w) * h;
            if (readRect(&tiff, int32_t(x), int32_t(y), int32_t(w), int32_t(h), buffer.data()) !=
                pixels)
                throw ToolError("cannot read the pixels of " + inQuotes(path) + " at row " +
                                std::to_string(y));
            const uint64_t samples = pixels * tiff.samplesPerPixel;
            const uint8_t* p = buffer.data();
            for (uint64_t i = 0; i < samples; ++i, p += sampleBytes)
            {
                const uint32_t value = sampleBytes == 1 ? p[0] : readSample(p);
                range.minimum = std::min(range.minimum, value);
                range.maximum = std::max(range.maximum, value);
            }
        }
        progress.advance(h);
    }
    progress.finish();
    return range;
}
} // namespace

std::optional<std::pair<uint32_t, uint32_t>> parseRawSize(const std::string& text)
{
    const size_t cross = text.find_first_of("xX");
    if (cross == std::string::npos)
        return std::nullopt;
    const auto parse = [](const std::string& digits) -> std::optional<uint32_t> {
        if (digits.empty() || digits.size() > 10 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        const uint64_t value = std::stoull(digits);
        if (value == 0 || value > std::numeric_limits<uint32_t>::max())
            return std::nullopt;
        return uint32_t(value);
    };
    const auto width = parse(text.substr(0, cross));
    const auto height = parse(text.substr(cross + 1));
    if (!width || !height)
        return std::nullopt;
    return std::make_pair(*width, *height);
}

void runCreate(const CreateOptions& options)
{
    if (!std::isfinite(options.roughness) || options.roughness < 0.0f || options.roughness > 1.0f)
        throw ToolError("--roughness must lie in 0 .. 1");
    if (options.lowest > options.highest)
        throw ToolError("--min (" + std::to_string(options.lowest) + ") is above --max (" +
                        std::to_string(options.highest) + ")");
    if (options.size < 2 || options.size > kMaxCreateSize)
        throw ToolError("--size must lie in 2 .. " + std::to_string(kMaxCreateSize));

    Heightmap map;
    map.width = map.height = options.size;
    // The generator reports no progress of its own; say what is going on before the wait.
    if (map.sampleCount() >= kProgressThresholdSamples)
        std::fprintf(stderr, "generating %u x %u samples\n", map.width, map.height);
    map.samples = FractalHeightmap::generate(options.size, options.seed, options.roughness,
                                             options.lowest, options.highest);
    writeHeightmap(map, options.output);
    const auto [low, high] = std::minmax_element(map.samples.begin(), map.samples.end());
    // The generator works on a map of 2^k + 1 samples and cuts other sizes from its corner,
    // after scaling the whole map to the range: the cut-out may not reach both ends.
    if (*low != options.lowest || *high != options.highest)
        std::fprintf(stderr,
                     "terrain-heightmap: warning: %u is not 2^k + 1 samples, so the map was cut "
                     "from a larger one and spans %u .. %u, not %u .. %u\n",
                     options.size, unsigned(*low), unsigned(*high), unsigned(options.lowest),
                     unsigned(options.highest));
    std::printf("created %s: %u x %u samples, seed %u, roughness %g, samples %u .. %u\n",
                options.output.c_str(), map.width, map.height, options.seed,
                double(options.roughness), unsigned(*low), unsigned(*high));
}

void runImport(const ImportOptions& options)
{
    refuseOverwritingInput(options.input, options.output);
    const std::string extension = lowerExtension(options.input);
    const bool raw = !options.rawSize.empty() || options.bigEndian || extension == "raw" ||
                     extension == "r16";
    Heightmap map;
    std::string source;
    if (raw)
    {
        uint32_t width = 0;
        uint32_t height = 0;
        if (!options.rawSize.empty())
        {
            const auto size = parseRawSize(options.rawSize);
            if (!size)
                throw ToolError("--raw-size: expected WIDTHxHEIGHT such as 1025x1025, not " +
                                inQuotes(options.rawSize));
            std::tie(width, height) = *size;
        }
        map = readRawHeightmap(options.input, width, height, options.bigEndian);
        source = options.bigEndian ? "raw big-endian 16-bit samples"
                                   : "raw little-endian 16-bit samples";
    }
    else
    {
        const ImageCodecs codecs;
        std::string format;
        map = codecs.loadGrey(options.input, format);
        source = format + " pixels through Ogre's " + codecs.codecName() + " codec";
    }
    writeHeightmap(map, options.output);
    std::printf("imported %s: %u x %u samples from %s\n", options.output.c_str(), map.width,
                map.height, source.c_str());
}

void runExport(const ExportOptions& options)
{
    refuseOverwritingInput(options.input, options.output);
    if (lowerExtension(options.output) != "png")
        throw ToolError(inQuotes(options.output) + ": the preview is a PNG image; name it *.png");
    if (options.scale == 0)
        throw ToolError("--scale must be at least 1");
    const ImageCodecs codecs;
    const int bits = options.bits != 0 ? options.bits : codecs.writesSixteenBitPng() ? 16 : 8;
    Heightmap map = readHeightmap(options.input);
    if (options.scale > 1)
        map = downscale(map, options.scale);
    // The codec encodes in one call, with nothing to report progress by.
    if (map.sampleCount() >= kProgressThresholdSamples)
        std::fprintf(stderr, "encoding %u x %u PNG\n", map.width, map.height);
    writeWholeFile(options.output, codecs.encodePng(map, bits));
    std::printf("exported %s: %u x %u, %d-bit grey PNG\n", options.output.c_str(), map.width,
                map.height, bits);
}

void runInfo(const InfoOptions& options)
{
    const double worldHeight = options.worldHeight;
    if (worldHeight != 0 && !(std::isfinite(worldHeight) && worldHeight > 0))
        throw ToolError("--height must be a positive number of world units");
    TiffPtr tiff = openTiffForReading(options.input);
    const TiffFile& t = *tiff;
    std::printf("file: %s\n", options.input.c_str());
    std::printf("file size: %" PRIu64 " bytes\n", t.fileSize);
    std::printf("width: %u\n", t.width);
    std::printf("height: %u\n", t.height);
    std::printf("bits per sample: %u\n", t.bitsPerSample);
    std::printf("samples per pixel: %u\n", t.samplesPerPixel);
    std::printf("rows per strip: %u\n", t.rowsPerStrip);
    std::printf("strips: %u\n", t.stripCount);

    const std::string problem = pixelDataProblem(t);
    const uint32_t last = t.stripCount - 1;
    if (t.stripCount == 1)
        std::printf("strip offsets: %" PRIu64 "\n", t.stripOffsets[0]);
    else if (problem.empty())
        std::printf("strip offsets: %" PRIu64 " .. %" PRIu64 " (%s)\n", t.stripOffsets[0], t.stripOffsets[last],
                    stripOrder(t));
    else
        std::printf("strip offsets: %" PRIu64 " .. %" PRIu64 "\n", t.stripOffsets[0], t.stripOffsets[last]);
    std::printf("pixel data: %s\n",
                problem.empty() ? "complete" : ("incomplete, " + problem).c_str());

    const bool usable = isTerrainPixelFormat(t);
    // Samples are scanned as unsigned integers; wider ones are often floating point, which the
    // TIFF module does not tell apart.
    const bool scannable = (t.bitsPerSample == 8 || t.bitsPerSample == 16) &&
                           t.width <= uint32_t(std::numeric_limits<int32_t>::max()) &&
                           t.height <= uint32_t(std::numeric_limits<int32_t>::max());
    if (problem.empty() && scannable)
    {
        std::fflush(stdout);
        const SampleRange range = scanSamples(*tiff, options.input);
        std::printf("minimum: %u\n", range.minimum);
        std::printf("maximum: %u\n", range.maximum);
        // Sample s stands for the world height s * H / 65535.
        if (usable && worldHeight > 0)
        {
            std::printf("minimum world height: %.9g\n", range.minimum * worldHeight / 65535.0);
            std::printf("maximum world height: %.9g\n", range.maximum * worldHeight / 65535.0);
        }
    }
    else if (problem.empty())
    {
        std::printf("minimum: not scanned (%u-bit samples)\n", t.bitsPerSample);
        std::printf("maximum: not scanned (%u-bit samples)\n", t.bitsPerSample);
    }

    if (usable)
    {
        std::printf("terrain: usable\n");
    }
    else
    {
        std::printf("terrain: not usable (needs one 16-bit sample per pixel, has %s)\n",
                    pixelFormatText(t).c_str());
        std::fflush(stdout);
        std::fprintf(stderr,
                     "terrain-heightmap: warning: %s is not usable as a terrain heightmap: it "
                     "needs one 16-bit sample per pixel, this file has %s\n",
                     inQuotes(options.input).c_str(), pixelFormatText(t).c_str());
    }
    std::fflush(stdout);
    if (!problem.empty())
        throw ToolError(inQuotes(options.input) + ": " + problem);
}
