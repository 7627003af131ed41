#include "Commands.h"

#include "ElevationFiles.h"
#include "FractalHeightmap.h"
#include "HeightmapFiles.h"
#include "HoleFill.h"
#include "ImageCodecs.h"
#include "LargeFractal.h"
#include "Progress.h"
#include "heightmap/HeightmapFormat.h"

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
// Rows made at once by create for maps beyond kMaxSmallCreateSize: a multiple of every coarse
// cell size, about 33 MB of floats at the largest edge.
constexpr uint32_t kCreateBandRows = 64;

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

// A height for the user: whole numbers as such, others with the digits a float64 needs.
std::string heightText(double value)
{
    char text[64];
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        std::snprintf(text, sizeof(text), "%.0f", value);
    else
        std::snprintf(text, sizeof(text), "%.10g", value);
    return text;
}

// The valid heights of a source: their range and how many pixels have none.
struct HeightScan
{
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    uint64_t missing = 0;

    bool any() const { return low <= high; }
};

HeightScan scanHeights(ElevationSource& source)
{
    HeightScan scan;
    std::vector<double> row(source.width);
    Progress progress = Progress::forSamples("scanning", source.height, uint64_t(source.width) * source.height);
    for (uint32_t y = 0; y < source.height; ++y)
    {
        source.readRow(y, row.data());
        for (double h : row)
        {
            if (std::isnan(h))
            {
                ++scan.missing;
                continue;
            }
            scan.low = std::min(scan.low, h);
            scan.high = std::max(scan.high, h);
        }
        progress.advance(1);
    }
    progress.finish();
    return scan;
}

// Maps made a band of rows at a time: the fractal is made twice, once for its range and once
// to write it, so that memory stays at one band whatever the size.
void createLarge(const CreateOptions& options, TiffKind kind)
{
    const uint32_t edge = options.size;
    const LargeFractal fractal(edge, options.seed, options.roughness);
    std::vector<float> heights;
    float low = std::numeric_limits<float>::infinity();
    float high = -std::numeric_limits<float>::infinity();
    {
        Progress progress("generating", edge, true);
        for (uint32_t y = 0; y < edge; y += kCreateBandRows)
        {
            const uint32_t rows = std::min(kCreateBandRows, edge - y);
            fractal.rows(y, rows, heights);
            const auto [a, b] = std::minmax_element(heights.begin(), heights.end());
            low = std::min(low, *a);
            high = std::max(high, *b);
            progress.advance(rows);
        }
        progress.finish();
    }
    HeightmapWriter writer(options.output, edge, edge, kind);
    std::vector<uint16_t> samples;
    Progress progress("writing", edge, true);
    for (uint32_t y = 0; y < edge; y += kCreateBandRows)
    {
        const uint32_t rows = std::min(kCreateBandRows, edge - y);
        fractal.rows(y, rows, heights);
        samples.resize(heights.size());
        for (size_t i = 0; i < heights.size(); ++i)
            samples[i] = FractalHeightmap::toSample(heights[i], low, high, options.lowest, options.highest);
        writer.writeRows(y, rows, samples.data());
        progress.advance(rows);
    }
    progress.finish();
    writer.commit();
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
    const TiffKind kind = options.bigTiff ? TiffKind::big : TiffKind::classicWhenItFits;
    if (options.size > kMaxSmallCreateSize)
    {
        createLarge(options, kind);
        // Normalised over exactly the rows and columns written: the range is reached.
        std::printf("created %s: %u x %u samples, seed %u, roughness %g, samples %u .. %u\n",
                    options.output.c_str(), options.size, options.size, options.seed,
                    double(options.roughness), unsigned(options.lowest), unsigned(options.highest));
        return;
    }

    Heightmap map;
    map.width = map.height = options.size;
    // The generator reports no progress of its own; say what is going on before the wait.
    if (map.sampleCount() >= kProgressThresholdSamples)
        std::fprintf(stderr, "generating %u x %u samples\n", map.width, map.height);
    map.samples = FractalHeightmap::generate(options.size, options.seed, options.roughness,
                                             options.lowest, options.highest);
    writeHeightmap(map, options.output, kind);
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
    ElevationOptions elevation;
    elevation.band = options.band;
    elevation.nodata = options.nodata;
    elevation.bigEndian = options.bigEndian;
    elevation.isSigned = options.isSigned;
    elevation.isFloat = options.isFloat;
    elevation.raw = !options.rawSize.empty() || options.bigEndian || options.isSigned || options.isFloat;
    if (!options.rawSize.empty())
    {
        const auto size = parseRawSize(options.rawSize);
        if (!size)
            throw ToolError("--raw-size: expected WIDTHxHEIGHT such as 1025x1025, not " +
                            inQuotes(options.rawSize));
        std::tie(elevation.rawWidth, elevation.rawHeight) = *size;
    }
    if (options.isSigned && options.isFloat)
        throw ToolError("--signed and --float exclude each other: float samples carry their sign");
    if (!options.range.empty() && !(options.range.size() == 2 && options.range[0] < options.range[1]))
        throw ToolError("--range LOW HIGH needs LOW below HIGH");

    const std::unique_ptr<ElevationSource> source = openElevation(options.input, elevation);
    const auto noHeights = [&] {
        return ToolError(inQuotes(options.input) + " holds no heights: every pixel is no data" +
                         (source->nodata ? " (" + heightText(*source->nodata) + ")" : ""));
    };
    const uint32_t width = source->width;
    const uint32_t height = source->height;
    const uint64_t pixels = uint64_t(width) * height;

    // Heights low .. high become samples 0 .. 65535 on a straight line, rounded to the nearest.
    double low = 0;
    double high = 0;
    if (!options.range.empty())
    {
        low = options.range[0];
        high = options.range[1];
    }
    else
    {
        const HeightScan scan = scanHeights(*source);
        if (!scan.any())
            throw noHeights();
        low = scan.low;
        high = scan.high;
    }
    const double span = high - low;
    const double toSamples = span > 0 ? 65535.0 / span : 0.0;

    Heightmap map;
    map.width = width;
    map.height = height;
    map.samples.resize(pixels);
    std::vector<bool> holes(pixels, false);
    uint64_t missing = 0;
    uint64_t clamped = 0;
    std::vector<double> row(width);
    {
        Progress progress = Progress::forSamples("converting", height, pixels);
        for (uint32_t y = 0; y < height; ++y)
        {
            source->readRow(y, row.data());
            uint16_t* out = map.samples.data() + uint64_t(y) * width;
            for (uint32_t x = 0; x < width; ++x)
            {
                const double h = row[x];
                if (std::isnan(h))
                {
                    holes[uint64_t(y) * width + x] = true;
                    out[x] = 0;
                    ++missing;
                    continue;
                }
                const double sample = std::round((h - low) * toSamples);
                if (sample < 0 || sample > 65535)
                    ++clamped;
                out[x] = uint16_t(std::clamp(sample, 0.0, 65535.0));
            }
            progress.advance(1);
        }
        progress.finish();
    }
    if (missing == pixels)
        throw noHeights();
    const uint64_t filled = fillHoles(map, holes);
    holes = {};
    writeHeightmap(map, options.output, options.bigTiff ? TiffKind::big : TiffKind::classicWhenItFits);

    std::printf("imported %s: %u x %u samples from %s\n", options.output.c_str(), width, height,
                source->format.c_str());
    std::printf("heights: %s .. %s (source units) become samples 0 .. 65535\n", heightText(low).c_str(),
                heightText(high).c_str());
    std::printf("filled pixels: %" PRIu64 "%s\n", filled,
                source->nodata ? (" (no data: " + heightText(*source->nodata) + ")").c_str() : "");
    if (!options.range.empty())
        std::printf("clamped pixels: %" PRIu64 " (heights outside the range)\n", clamped);
    if (span > 0)
        std::printf("terrain height: %s (setTerrainScale's height, for world units = source units)\n",
                    heightText(span).c_str());
    else
        std::printf("terrain height: any (the map is flat)\n");
    if (low != 0)
        std::printf("vertical offset: %s (sample 0's height: place the terrain's node at this y)\n",
                    heightText(low).c_str());
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
    requireReadableFile(options.input);
    if (!looksLikeTiff(options.input))
        throw ToolError(inQuotes(options.input) + " is not a TIFF file (" + importHint(options.input) +
                        " reads images and raw files)");
    const TiffDescription description = describeTiff(options.input);
    const TiffImageInfo& image = description.images[description.chosen];
    const StreamCheck stream = checkStreamable(options.input);

    std::printf("file: %s\n", options.input.c_str());
    std::printf("file size: %" PRIu64 " bytes\n", fileBytes(options.input));
    std::printf("format: %s, %s\n", description.bigTiff ? "BigTIFF" : "classic TIFF",
                description.bigEndian ? "big-endian" : "little-endian");
    std::string images = std::to_string(description.images.size());
    if (description.images.size() > 1)
    {
        images += " (";
        for (size_t i = 0; i < description.images.size(); ++i)
        {
            const TiffImageInfo& other = description.images[i];
            const char* kind = i == description.chosen                ? "the heightmap"
                               : other.isMask()                         ? "mask"
                               : other.isOverview()                     ? "overview"
                                                                        : "another image";
            images += (i ? "; " : "") + std::to_string(i + 1) + ": " + std::to_string(other.width) + " x " +
                      std::to_string(other.height) + " " + kind;
        }
        images += ")";
    }
    std::printf("images: %s\n", images.c_str());
    std::printf("width: %u\n", image.width);
    std::printf("height: %u\n", image.height);
    const bool separate = image.separatePlanes();
    if (image.tiled)
        std::printf("layout: tiles of %u x %u (%u tile%s)%s\n", image.tileWidth, image.tileLength,
                    image.chunks, image.chunks == 1 ? "" : "s",
                    separate ? ", samples in separate planes" : "");
    else
        std::printf("layout: strips of %u row%s (%u strip%s)%s\n", image.rowsPerStrip,
                    image.rowsPerStrip == 1 ? "" : "s", image.chunks,
                    image.chunks == 1 ? "" : "s",
                    separate ? ", samples in separate planes" : "");
    if (stream.file)
    {
        const TiffFile& t = *stream.file;
        std::printf("rows per strip: %u\n", t.rowsPerStrip);
        std::printf("strips: %u\n", t.stripCount);
        if (t.stripCount == 1)
            std::printf("strip offsets: %" PRIu64 "\n", t.stripOffsets[0]);
        else
            std::printf("strip offsets: %" PRIu64 " .. %" PRIu64 " (%s)\n", t.stripOffsets[0],
                        t.stripOffsets[t.stripCount - 1], stripOrder(t));
    }
    std::printf("compression: %s\n", compressionText(image.compression, image.predictor).c_str());
    std::printf("sample format: %s\n", sampleText(image.bitsPerSample, image.sampleFormat).c_str());
    std::printf("bits per sample: %u\n", unsigned(image.bitsPerSample));
    std::printf("samples per pixel: %u\n", unsigned(image.samplesPerPixel));
    if (description.nodata)
        std::printf("nodata: %s\n", heightText(*description.nodata).c_str());

    // The heights of the first band, as import would read them.
    std::string unreadable;
    try
    {
        std::fflush(stdout);
        const std::unique_ptr<ElevationSource> source = openElevation(options.input, ElevationOptions{});
        const HeightScan scan = scanHeights(*source);
        std::printf("pixel data: complete\n");
        std::printf("minimum: %s\n", scan.any() ? heightText(scan.low).c_str() : "none (no data only)");
        std::printf("maximum: %s\n", scan.any() ? heightText(scan.high).c_str() : "none (no data only)");
        if (description.nodata)
            std::printf("nodata pixels: %" PRIu64 "\n", scan.missing);
        // Sample s stands for the world height s * H / 65535.
        if (stream.file && worldHeight > 0 && scan.any())
        {
            std::printf("minimum world height: %.9g\n", scan.low * worldHeight / 65535.0);
            std::printf("maximum world height: %.9g\n", scan.high * worldHeight / 65535.0);
        }
    }
    catch (const ToolError& e)
    {
        unreadable = e.what();
        std::printf("pixel data: incomplete\n");
    }

    if (stream.file)
    {
        std::printf("terrain: usable\n");
    }
    else
    {
        std::printf("terrain: not usable (%s)\n", stream.reason.c_str());
        if (stream.convertible)
            std::printf("convert it with: terrain-heightmap import %s OUT.tif\n", options.input.c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "terrain-heightmap: warning: %s cannot be streamed by the terrain: %s%s\n",
                     inQuotes(options.input).c_str(), stream.reason.c_str(),
                     stream.convertible ? ("; " + importHint(options.input)).c_str() : "");
    }
    std::fflush(stdout);
    if (!unreadable.empty())
        throw ToolError(unreadable);
}
