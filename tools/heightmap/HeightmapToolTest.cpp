// terrain-heightmap end to end: each test runs the built tool in a folder of its own and checks
// the files it writes, with libtiff as the independent reader of TIFF files.

#include "FractalHeightmap.h"
#include "heightmap/LargeFractal.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
struct Result
{
    int status = -1; // exit status; -1 when the tool did not exit normally
    std::string out;
    std::string err;

    std::vector<std::string> errLines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// A pattern that uses the whole 16-bit range and differs from its neighbours.
uint16_t patternSample(uint32_t x, uint32_t y)
{
    return uint16_t(x * 977u + y * 3181u + x * y * 13u);
}

std::vector<uint16_t> pattern(uint32_t width, uint32_t height)
{
    std::vector<uint16_t> samples(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            samples[size_t(y) * width + x] = patternSample(x, y);
    return samples;
}

void writeRaw(const std::string& path, const std::vector<uint16_t>& samples, bool bigEndian)
{
    std::string bytes;
    for (uint16_t s : samples)
    {
        const char low = char(s & 0xFF);
        const char high = char(s >> 8);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    writeBytes(path, bytes);
}

struct LibtiffImage
{
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bitsPerSample = 0;
    uint16_t samplesPerPixel = 0;
    std::vector<uint16_t> samples; // 16-bit single-sample images only
};

// Reads a whole image through libtiff's scanline interface ("c": no strip chopping).
LibtiffImage readWithLibtiff(const std::string& path)
{
    LibtiffImage image;
    TIFF* tif = TIFFOpen(path.c_str(), "rc");
    EXPECT_NE(tif, nullptr) << path;
    if (!tif)
        return image;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &image.bitsPerSample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &image.samplesPerPixel);
    if (image.bitsPerSample == 16 && image.samplesPerPixel == 1)
    {
        image.samples.resize(size_t(image.width) * image.height);
        for (uint32_t row = 0; row < image.height; ++row)
            EXPECT_EQ(TIFFReadScanline(tif, image.samples.data() + size_t(row) * image.width, row),
                      1);
    }
    TIFFClose(tif);
    return image;
}

// Writes an uncompressed grey image of 8- or 16-bit samples in strips of rowsPerStrip rows.
void writeWithLibtiff(const std::string& path, uint32_t width, uint32_t height, uint16_t bits,
                      uint32_t rowsPerStrip, const std::vector<uint16_t>& samples)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    std::vector<uint8_t> row(size_t(width) * bits / 8);
    for (uint32_t y = 0; y < height; ++y)
    {
        for (uint32_t x = 0; x < width; ++x)
        {
            const uint16_t s = samples[size_t(y) * width + x];
            if (bits == 8)
                row[x] = uint8_t(s);
            else
                std::copy_n(reinterpret_cast<const uint8_t*>(&s), 2, row.data() + 2 * x);
        }
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y), 1);
    }
    TIFFClose(tif);
}

struct PngHeader
{
    uint32_t width = 0;
    uint32_t height = 0;
    int bitDepth = 0;
    int colourType = -1; // 0: grey
};

PngHeader readPngHeader(const std::string& path)
{
    const std::string bytes = readText(path);
    PngHeader header;
    EXPECT_GE(bytes.size(), 33u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(bytes.substr(12, 4), "IHDR");
    if (bytes.size() < 33)
        return header;
    const auto be32 = [&bytes](size_t at) {
        return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
               uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
    };
    header.width = be32(16);
    header.height = be32(20);
    header.bitDepth = uint8_t(bytes[24]);
    header.colourType = uint8_t(bytes[25]);
    return header;
}

// Equal sample for sample, or within tolerance; names the first difference.
::testing::AssertionResult samplesMatch(const std::vector<uint16_t>& actual,
                                        const std::vector<uint16_t>& expected, int tolerance = 0)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << actual.size() << " samples where " << expected.size() << " were expected";
    size_t differing = 0;
    size_t first = 0;
    for (size_t i = 0; i < actual.size(); ++i)
    {
        if (std::abs(int(actual[i]) - int(expected[i])) > tolerance && differing++ == 0)
            first = i;
    }
    if (differing == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << differing << " samples differ by more than " << tolerance << "; the first, #"
           << first << ", is " << actual[first] << " instead of " << expected[first];
}

class HeightmapToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The tool writes a Software tag without its terminating zero; libtiff warns and reads on.
        TIFFSetWarningHandler(nullptr);
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string pattern = (fs::temp_directory_path() /
                               (std::string("heightmap_tool_") + test->name() + "_XXXXXX"))
                                  .string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs the tool with the given arguments (and environment assignments "NAME=value").
    Result run(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
    {
        std::string command = "env";
        for (const std::string& assignment : env)
            command += " " + shellQuote(assignment);
        command += " " + shellQuote(HEIGHTMAP_TOOL);
        for (const std::string& arg : args)
            command += " " + shellQuote(arg);
        const std::string out = path("tool.stdout");
        const std::string err = path("tool.stderr");
        command += " </dev/null >" + shellQuote(out) + " 2>" + shellQuote(err);
        const int raw = std::system(command.c_str());
        Result result;
        result.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = readText(out);
        result.err = readText(err);
        return result;
    }

    // Runs info and returns its "name: value" lines.
    std::map<std::string, std::string> info(const std::vector<std::string>& args)
    {
        std::vector<std::string> all{"info"};
        all.insert(all.end(), args.begin(), args.end());
        const Result result = run(all);
        EXPECT_EQ(result.status, 0) << result.err;
        std::map<std::string, std::string> fields;
        std::istringstream in(result.out);
        for (std::string line; std::getline(in, line);)
        {
            const size_t colon = line.find(": ");
            EXPECT_NE(colon, std::string::npos) << "not a summary line: " << line;
            if (colon != std::string::npos)
                fields[line.substr(0, colon)] = line.substr(colon + 2);
        }
        return fields;
    }

    // Expects a failure reported by exactly one "terrain-heightmap: error: ..." line.
    void expectError(const std::vector<std::string>& args, const std::string& mentions = "")
    {
        std::string command;
        for (const std::string& arg : args)
            command += arg + " ";
        const Result result = run(args);
        EXPECT_NE(result.status, 0) << command;
        const std::vector<std::string> lines = result.errLines();
        ASSERT_EQ(lines.size(), 1u) << command << "\n" << result.err;
        EXPECT_EQ(lines[0].rfind("terrain-heightmap: error: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(mentions), std::string::npos) << lines[0];
    }

    void expectSuccess(const std::vector<std::string>& args)
    {
        const Result result = run(args);
        EXPECT_EQ(result.status, 0) << args[0] << ": " << result.err;
    }

private:
    fs::path dir_;
};

TEST_F(HeightmapToolTest, CreatedMapIsTheSeededFractalReadableByLibtiff)
{
    expectSuccess({"create", path("a.tif"), "--size", "129", "--seed", "7", "--roughness", "0.6",
                   "--min", "100", "--max", "60000"});
    const LibtiffImage image = readWithLibtiff(path("a.tif"));
    EXPECT_EQ(image.width, 129u);
    EXPECT_EQ(image.height, 129u);
    EXPECT_EQ(image.bitsPerSample, 16);
    EXPECT_EQ(image.samplesPerPixel, 1);
    EXPECT_TRUE(samplesMatch(image.samples, FractalHeightmap::generate(129, 7, 0.6f, 100, 60000)));

    // The seed alone decides the map.
    expectSuccess({"create", path("b.tif"), "--size", "129", "--seed", "7", "--roughness", "0.6",
                   "--min", "100", "--max", "60000"});
    expectSuccess({"create", path("c.tif"), "--size", "129", "--seed", "8", "--roughness", "0.6",
                   "--min", "100", "--max", "60000"});
    EXPECT_EQ(readWithLibtiff(path("b.tif")).samples, image.samples);
    EXPECT_NE(readWithLibtiff(path("c.tif")).samples, image.samples);

    // The same map as BigTIFF, read by libtiff pixel for pixel, and imported back to classic.
    expectSuccess({"create", path("big.tif"), "--size", "129", "--seed", "7", "--roughness", "0.6",
                   "--min", "100", "--max", "60000", "--bigtiff"});
    TIFF* tif = TIFFOpen(path("big.tif").c_str(), "r");
    ASSERT_NE(tif, nullptr);
    EXPECT_TRUE(TIFFIsBigTIFF(tif));
    TIFFClose(tif);
    EXPECT_EQ(readWithLibtiff(path("big.tif")).samples, image.samples);
    auto fields = info({path("big.tif")});
    EXPECT_EQ(fields.at("format"), "BigTIFF, little-endian");
    EXPECT_EQ(fields.at("terrain"), "usable");
    expectSuccess({"import", path("big.tif"), path("classic.tif"), "--range", "0", "65535"});
    fields = info({path("classic.tif")});
    EXPECT_EQ(fields.at("format"), "classic TIFF, little-endian");
    EXPECT_EQ(fields.at("minimum"), "100");
    EXPECT_EQ(readWithLibtiff(path("classic.tif")).samples, image.samples);
}

TEST_F(HeightmapToolTest, InfoReportsLayoutAndSampleRange)
{
    expectSuccess({"create", path("default.tif")});
    auto fields = info({path("default.tif")});
    EXPECT_EQ(fields["width"], "1025");
    EXPECT_EQ(fields["height"], "1025");
    EXPECT_EQ(fields["bits per sample"], "16");
    EXPECT_EQ(fields["samples per pixel"], "1");
    EXPECT_EQ(fields["rows per strip"], "1025");
    EXPECT_EQ(fields["strips"], "1");
    EXPECT_EQ(fields["strip offsets"], "258");
    EXPECT_EQ(fields["file size"], std::to_string(258 + 1025 * 1025 * 2) + " bytes");
    EXPECT_EQ(fields["pixel data"], "complete");
    EXPECT_EQ(fields["minimum"], "0");
    EXPECT_EQ(fields["maximum"], "65535");
    EXPECT_EQ(fields["terrain"], "usable");
    EXPECT_EQ(fields.count("minimum world height"), 0u);

    // A narrower range, and the same in world units: sample s is s * H / 65535.
    expectSuccess({"create", path("narrow.tif"), "--size", "65", "--min", "1000", "--max", "2000"});
    fields = info({path("narrow.tif"), "--height", "655.35"});
    EXPECT_EQ(fields["width"], "65");
    EXPECT_EQ(fields["minimum"], "1000");
    EXPECT_EQ(fields["maximum"], "2000");
    EXPECT_DOUBLE_EQ(std::stod(fields["minimum world height"]), 10.0);
    EXPECT_DOUBLE_EQ(std::stod(fields["maximum world height"]), 20.0);
}

TEST_F(HeightmapToolTest, InfoAndExportReadMultiStripFilesFromLibtiff)
{
    const std::vector<uint16_t> samples = pattern(50, 20);
    writeWithLibtiff(path("strips.tif"), 50, 20, 16, 8, samples);
    const auto fields = info({path("strips.tif")});
    EXPECT_EQ(fields.at("rows per strip"), "8");
    EXPECT_EQ(fields.at("strips"), "3");
    EXPECT_NE(fields.at("strip offsets").find("(contiguous)"), std::string::npos)
        << fields.at("strip offsets");
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    EXPECT_EQ(fields.at("minimum"), std::to_string(*low));
    EXPECT_EQ(fields.at("maximum"), std::to_string(*high));

    expectSuccess({"export", path("strips.tif"), path("strips.png"), "--bits", "16"});
    expectSuccess({"import", path("strips.png"), path("back.tif"), "--range", "0", "65535"});
    EXPECT_TRUE(samplesMatch(readWithLibtiff(path("back.tif")).samples, samples));
}

TEST_F(HeightmapToolTest, PngExportImportRoundTrip)
{
    expectSuccess({"create", path("map.tif"), "--size", "257", "--seed", "3"});
    const std::vector<uint16_t> created = readWithLibtiff(path("map.tif")).samples;

    // Default depth: 16 bits when Ogre's codec writes them, and then nothing is lost.
    expectSuccess({"export", path("map.tif"), path("map.png")});
    PngHeader png = readPngHeader(path("map.png"));
    EXPECT_EQ(png.width, 257u);
    EXPECT_EQ(png.height, 257u);
    EXPECT_EQ(png.colourType, 0);
    ASSERT_TRUE(png.bitDepth == 16 || png.bitDepth == 8) << png.bitDepth;
    expectSuccess({"import", path("map.png"), path("back.tif")});
    EXPECT_TRUE(samplesMatch(readWithLibtiff(path("back.tif")).samples, created,
                             png.bitDepth == 16 ? 0 : 257));

    // 8-bit previews come back within one 8-bit step.
    expectSuccess({"export", path("map.tif"), path("map8.png"), "--bits", "8"});
    png = readPngHeader(path("map8.png"));
    EXPECT_EQ(png.bitDepth, 8);
    EXPECT_EQ(png.colourType, 0);
    expectSuccess({"import", path("map8.png"), path("back8.tif")});
    EXPECT_TRUE(samplesMatch(readWithLibtiff(path("back8.tif")).samples, created, 257));
    // 255 stands for 65535: the full range survives.
    const auto fields = info({path("back8.tif")});
    EXPECT_EQ(fields.at("minimum"), "0");
    EXPECT_EQ(fields.at("maximum"), "65535");
}

TEST_F(HeightmapToolTest, ExportScaleKeepsTheAverageOfEachBlock)
{
    // 5 x 3 samples in 2 x 2 blocks: the right column and bottom row form cut blocks. Averages
    // round to the nearest: 103 / 4 gives 26, 121 / 2 gives 61.
    const std::vector<uint16_t> samples = {10, 20, 30, 40, 50,   //
                                           30, 43, 50, 60, 71,   //
                                           1000, 2000, 3000, 4000, 65535};
    writeRaw(path("small.raw"), samples, false);
    expectSuccess({"import", path("small.raw"), path("small.tif"), "--raw-size", "5x3", "--range",
                   "0", "65535"});
    expectSuccess({"export", path("small.tif"), path("small.png"), "--scale", "2", "--bits", "16"});
    const PngHeader png = readPngHeader(path("small.png"));
    EXPECT_EQ(png.width, 3u);
    EXPECT_EQ(png.height, 2u);
    expectSuccess({"import", path("small.png"), path("back.tif"), "--range", "0", "65535"});
    const LibtiffImage back = readWithLibtiff(path("back.tif"));
    EXPECT_EQ(back.width, 3u);
    EXPECT_EQ(back.height, 2u);
    EXPECT_TRUE(samplesMatch(back.samples, {26, 45, 61, 1500, 3500, 65535}));
}

TEST_F(HeightmapToolTest, RawImportKeepsEverySample)
{
    // Square little-endian files need no size.
    const std::vector<uint16_t> square = pattern(33, 33);
    writeRaw(path("square.r16"), square, false);
    expectSuccess({"import", path("square.r16"), path("square.tif"), "--range", "0", "65535"});
    LibtiffImage image = readWithLibtiff(path("square.tif"));
    EXPECT_EQ(image.width, 33u);
    EXPECT_EQ(image.height, 33u);
    EXPECT_TRUE(samplesMatch(image.samples, square));

    // Any other shape is given, first row first.
    const std::vector<uint16_t> wide = pattern(40, 25);
    writeRaw(path("wide.bin"), wide, false);
    expectSuccess({"import", path("wide.bin"), path("wide.tif"), "--raw-size", "40x25", "--range", "0",
                   "65535"});
    image = readWithLibtiff(path("wide.tif"));
    EXPECT_EQ(image.width, 40u);
    EXPECT_EQ(image.height, 25u);
    EXPECT_TRUE(samplesMatch(image.samples, wide));

    writeRaw(path("big-endian.raw"), wide, true);
    expectSuccess(
        {"import", path("big-endian.raw"), path("be.tif"), "--raw-size", "40x25", "--big-endian",
         "--range", "0", "65535"});
    EXPECT_TRUE(samplesMatch(readWithLibtiff(path("be.tif")).samples, wide));
}

TEST_F(HeightmapToolTest, ImagesBecomeGreySixteenBitSamples)
{
    // 8-bit grey (binary PGM): v * 257.
    writeBytes(path("grey.pgm"),
               std::string("P5\n3 2\n255\n") + std::string("\x00\x01\x80\xff\x10\x20", 6));
    expectSuccess({"import", path("grey.pgm"), path("grey.tif"), "--range", "0", "255"});
    EXPECT_TRUE(samplesMatch(readWithLibtiff(path("grey.tif")).samples,
                             {0, 257, 128 * 257, 65535, 16 * 257, 32 * 257}));

    // Colour (binary PPM): Rec. 709 luma; grey pixels keep their value.
    writeBytes(path("colour.ppm"),
               std::string("P6\n2 2\n255\n") +
                   std::string("\x64\x64\x64\xff\x00\x00\x00\xff\x00\x00\x00\xff", 12));
    expectSuccess({"import", path("colour.ppm"), path("colour.tif"), "--range", "0", "255"});
    EXPECT_TRUE(samplesMatch(readWithLibtiff(path("colour.tif")).samples,
                             {100 * 257, 13933 /* 0.2126 */, 46871 /* 0.7152 */, 4732 /* 0.0722 */},
                             1));
}

TEST_F(HeightmapToolTest, EightBitTiffIsDescribedButNotUsableAsTerrain)
{
    writeWithLibtiff(path("eight.tif"), 16, 4, 8, 4, pattern(16, 4));
    const Result result = run({"info", path("eight.tif")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("bits per sample: 8\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("terrain: not usable"), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("warning"), std::string::npos) << result.err;

    // Everything that needs heights refuses it.
    expectError({"export", path("eight.tif"), path("eight.png")}, "16-bit sample");
}

TEST_F(HeightmapToolTest, BadInputFailsWithOneErrorLine)
{
    writeBytes(path("text.tif"), "just some text, not an image\n");
    writeBytes(path("text.png"), "just some text, not an image\n");
    writeRaw(path("three.raw"), pattern(3, 1), false);
    writeBytes(path("odd.raw"), "abc");

    expectError({"info", path("missing.tif")}, "missing.tif");
    expectError({"export", path("missing.tif"), path("out.png")}, "missing.tif");
    expectError({"import", path("missing.png"), path("out.tif")}, "missing.png");
    expectError({"info", path("text.tif")}, "not a TIFF");
    expectError({"export", path("text.tif"), path("out.png")}, "not a TIFF");
    expectError({"import", path("text.png"), path("out.tif")}, "text.png");

    expectError({"create", path("out.tif"), "--size", "0"}, "--size");
    expectError({"create", path("out.tif"), "--size", "1"}, "--size");
    expectError({"create", path("out.tif"), "--size", "abc"}, "--size");
    expectError({"create", path("out.tif"), "--size", "200000"}, "--size");
    expectError({"create", path("out.tif"), "--roughness", "1.5"}, "--roughness");
    expectError({"create", path("out.tif"), "--min", "70000"}, "--min");
    expectError({"create", path("out.tif"), "--min", "5", "--max", "3"}, "--min");
    expectError({"create", path("out.tif"), "--frobnicate"}, "--frobnicate");
    expectError({"create"}, "required");
    expectError({}, "subcommand");
    expectError({"frobnicate"}, "frobnicate");

    expectError({"import", path("three.raw"), path("out.tif")}, "--raw-size");
    expectError({"import", path("three.raw"), path("out.tif"), "--raw-size", "2x2"}, "2x2");
    expectError({"import", path("three.raw"), path("out.tif"), "--raw-size", "3by1"}, "--raw-size");
    expectError({"import", path("odd.raw"), path("out.tif")}, "odd");
    expectError({"export", path("text.tif"), path("out.jpg")}, ".png");
    expectError({"info", path("default.tif"), "--height", "-1"}, "--height");
    EXPECT_FALSE(fs::exists(path("out.tif")));
    EXPECT_FALSE(fs::exists(path("out.png")));
}

TEST_F(HeightmapToolTest, InputsAndExistingOutputsSurviveFailures)
{
    expectSuccess({"create", path("map.tif"), "--size", "33"});
    const std::string original = readText(path("map.tif"));

    // The output may not be the input, under any name.
    expectError({"import", path("map.tif"), path("map.tif")}, "over the input");
    fs::create_symlink(path("map.tif"), path("link.tif"));
    expectError({"import", path("map.tif"), path("link.tif")}, "over the input");
    EXPECT_EQ(readText(path("map.tif")), original);

    // A failed import leaves an existing output as it was, and no partial file beside it.
    writeRaw(path("bad.raw"), pattern(3, 1), false);
    expectError({"import", path("bad.raw"), path("map.tif")}, "bad.raw");
    EXPECT_EQ(readText(path("map.tif")), original);

    // A file cut short is refused.
    writeBytes(path("cut.tif"), original.substr(0, original.size() / 2));
    const Result result = run({"info", path("cut.tif")});
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.err.find("terrain-heightmap: error: "), std::string::npos) << result.err;
    expectError({"export", path("cut.tif"), path("cut.png")}, "cut.tif");

    for (const auto& entry : fs::directory_iterator(path("")))
        EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
}

TEST_F(HeightmapToolTest, EveryCommandHasHelp)
{
    for (const std::string command : {"", "create", "import", "export", "info"})
    {
        std::vector<std::string> args;
        if (!command.empty())
            args.push_back(command);
        args.push_back("--help");
        const Result result = run(args);
        EXPECT_EQ(result.status, 0) << command;
        const std::string usage =
            "Usage: terrain-heightmap" + (command.empty() ? "" : " " + command);
        EXPECT_NE(result.out.find(usage), std::string::npos) << result.out;
        EXPECT_TRUE(result.err.empty()) << result.err;
    }
}

TEST_F(HeightmapToolTest, LargeMapsShowProgressOnStandardError)
{
    Result result = run({"create", path("small.tif"), "--size", "65"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.err.empty()) << result.err;

    result = run({"create", path("large.tif"), "--size", "2049"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("writing"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("100%"), std::string::npos) << result.err;

    // Not a terminal: one finished line per pass, no carriage returns flooding a log.
    EXPECT_EQ(result.err.find('\r'), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("  0%"), std::string::npos) << result.err;

    result = run({"info", path("large.tif")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("100%"), std::string::npos) << result.err;

    // On a terminal (script(1) gives the tool one) the bar is redrawn as the work goes on.
    const std::string command = "script -qec " +
                                shellQuote(shellQuote(HEIGHTMAP_TOOL) + " create " +
                                           shellQuote(path("tty.tif")) + " --size 2049") +
                                " /dev/null > " + shellQuote(path("tty.log"));
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string terminal = readText(path("tty.log"));
    EXPECT_NE(terminal.find("  0%"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\rwriting"), std::string::npos) << terminal;
    // The bar stays off standard output, which keeps its summary lines.
    EXPECT_NE(result.out.find("\nwidth: 2049\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find('%'), std::string::npos) << result.out;
}

TEST_F(HeightmapToolTest, StbiCodecAloneGivesEightBitPng)
{
    // A plug-in folder that holds only Ogre's STBI codec, chosen by TERRAIN_OGRE_PLUGIN_DIR.
    fs::create_directory(path("plugins"));
    for (const auto& entry : fs::directory_iterator(HEIGHTMAP_OGRE_PLUGIN_DIR))
    {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Codec_STBI", 0) == 0)
            fs::create_symlink(entry.path(), path("plugins") + "/" + name);
    }
    // Ogre 1.12's STBI codec frees the buffer of an encoded PNG with delete[] where stb had
    // allocated it with malloc; AddressSanitizer builds must let that pass.
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    const std::string previousOptions = asanOptions ? asanOptions : "";
    const std::vector<std::string> env{"TERRAIN_OGRE_PLUGIN_DIR=" + path("plugins"),
                                       "ASAN_OPTIONS=" + previousOptions +
                                           ":alloc_dealloc_mismatch=0"};

    expectSuccess({"create", path("map.tif"), "--size", "65", "--seed", "5"});
    Result result = run({"export", path("map.tif"), path("map.png")}, env);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readPngHeader(path("map.png")).bitDepth, 8);
    result = run({"import", path("map.png"), path("back.tif")}, env);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(samplesMatch(readWithLibtiff(path("back.tif")).samples,
                             readWithLibtiff(path("map.tif")).samples, 257));

    // A 16-bit PNG would lose its low bits through this codec: refused.
    expectSuccess({"export", path("map.tif"), path("map16.png"), "--bits", "16"});
    if (readPngHeader(path("map16.png")).bitDepth == 16)
    {
        result = run({"import", path("map16.png"), path("back16.tif")}, env);
        EXPECT_NE(result.status, 0);
        EXPECT_NE(result.err.find("16-bit PNG"), std::string::npos) << result.err;
    }
}

// Elevation models as GDAL writes them. One set of heights (metres, with a void) is written as a
// raw double grid, converted by gdal_translate into each layout users bring, then imported with
// one shared range: every layout must give the same samples, and the terrain must refuse every
// one it cannot stream, naming the import command.
class ElevationImportTest : public HeightmapToolTest
{
protected:
    static constexpr uint32_t kWidth = 97;
    static constexpr uint32_t kHeight = 65;
    static constexpr double kVoid = -32768;

    static double height(uint32_t x, uint32_t y, int band = 1)
    {
        if (band == 1 && x >= 30 && x < 40 && y >= 20 && y < 28)
            return kVoid;
        const double metres = 480 * std::sin(x / 9.0) + 310 * std::cos(y / 7.0) - 100;
        return band == 1 ? std::round(metres * 4) / 4 : 1000 + x * 7.0 - y * 3.0;
    }

    // A band-sequential ENVI file of doubles (NAME.raw and its NAME.hdr), which GDAL reads:
    // value(x, y, band) for every band, row and column.
    template <class Value>
    void writeEnvi(const std::string& name, uint32_t width, uint32_t height, int bands, Value value)
    {
        std::string bytes;
        for (int band = 1; band <= bands; ++band)
            for (uint32_t y = 0; y < height; ++y)
                for (uint32_t x = 0; x < width; ++x)
                {
                    const double v = value(x, y, band);
                    bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
                }
        writeBytes(path(name + ".raw"), bytes);
        writeBytes(path(name + ".hdr"),
                   "ENVI\nsamples = " + std::to_string(width) + "\nlines = " + std::to_string(height) +
                       "\nbands = " + std::to_string(bands) +
                       "\nheader offset = 0\nfile type = ENVI Standard\ndata type = 5\n"
                       "interleave = bsq\nbyte order = 0\n");
    }

    // The source of every variant.
    void writeSource(int bands) { writeEnvi("source", kWidth, kHeight, bands, &ElevationImportTest::height); }

    void gdal(const std::string& commandLine)
    {
        const std::string command = commandLine + " >" + shellQuote(path("gdal.log")) + " 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command << "\n" << readText(path("gdal.log"));
    }

    // The sample a height becomes under --range low high, after the variant's own rounding.
    static uint16_t expectedSample(double value, double low, double high)
    {
        return uint16_t(std::lround(std::clamp((value - low) / (high - low), 0.0, 1.0) * 65535));
    }
};

TEST_F(ElevationImportTest, EveryGdalLayoutImportsToTheSameSamples)
{
    writeSource(2);
    struct Variant
    {
        std::string name;
        std::string options;  // gdal_translate options
        std::string type;     // how the heights are rounded on the way: "int" or "float"
        std::string import;   // extra import options
        bool overviews = false;
    };
    const std::string voidFlag = " -a_nodata -32768";
    const std::vector<Variant> variants = {
        {"int16", "-ot Int16 -b 1" + voidFlag, "int", ""},
        {"int16-big-endian", "-ot Int16 -b 1 -co ENDIANNESS=BIG" + voidFlag, "int", ""},
        {"int16-lzw-predictor", "-ot Int16 -b 1 -co COMPRESS=LZW -co PREDICTOR=2" + voidFlag,
         "int", ""},
        {"int16-packbits-tiled",
         "-ot Int16 -b 1 -co COMPRESS=PACKBITS -co TILED=YES -co BLOCKXSIZE=32 -co BLOCKYSIZE=16" +
             voidFlag,
         "int", ""},
        {"int16-bigtiff-overviews", "-ot Int16 -b 1 -co BIGTIFF=YES" + voidFlag, "int", "", true},
        {"int32-deflate", "-ot Int32 -b 1 -co COMPRESS=DEFLATE" + voidFlag, "int", ""},
        {"float32-deflate-predictor",
         "-ot Float32 -b 1 -co COMPRESS=DEFLATE -co PREDICTOR=3" + voidFlag, "float", ""},
        {"float64-tiled", "-ot Float64 -b 1 -co TILED=YES" + voidFlag, "float", ""},
        {"float32-pixel-interleaved-band-1",
         "-ot Float32 -co INTERLEAVE=PIXEL" + voidFlag, "float", "--band 1"},
        {"float32-band-interleaved-band-1",
         "-ot Float32 -co INTERLEAVE=BAND" + voidFlag, "float", "--band 1"},
    };
    const double low = -650;
    const double high = 900;
    for (const Variant& variant : variants)
    {
        SCOPED_TRACE(variant.name);
        const std::string tif = path(variant.name + ".tif");
        gdal("gdal_translate -q -of GTiff " + variant.options + " " + shellQuote(path("source.raw")) +
             " " + shellQuote(tif));
        if (variant.overviews)
            gdal("gdaladdo -q -r average " + shellQuote(tif) + " 2 4");

        const auto fields = info({tif});
        EXPECT_EQ(fields.at("width"), std::to_string(kWidth));
        EXPECT_EQ(fields.at("nodata"), "-32768");
        EXPECT_EQ(fields.at("nodata pixels"), "80");
        EXPECT_EQ(fields.at("terrain").rfind("not usable (", 0), 0u) << fields.at("terrain");
        EXPECT_EQ(fields.at("convert it with"),
                  "terrain-heightmap import " + tif + " OUT.tif");

        std::vector<std::string> args{"import", tif, path("out.tif"), "--range", "-650", "900"};
        if (!variant.import.empty())
        {
            args.push_back(variant.import.substr(0, variant.import.find(' ')));
            args.push_back(variant.import.substr(variant.import.find(' ') + 1));
        }
        const Result result = run(args);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find("filled pixels: 80 (no data: -32768)"), std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("terrain height: 1550"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("vertical offset: -650"), std::string::npos) << result.out;

        const LibtiffImage image = readWithLibtiff(path("out.tif"));
        ASSERT_EQ(image.width, kWidth);
        ASSERT_EQ(image.height, kHeight);
        size_t wrong = 0;
        for (uint32_t y = 0; y < kHeight; ++y)
            for (uint32_t x = 0; x < kWidth; ++x)
            {
                const double value = height(x, y);
                if (value == kVoid)
                    continue;
                const double stored = variant.type == "int" ? std::round(value) : value;
                const int expected = expectedSample(stored, low, high);
                wrong += std::abs(int(image.samples[y * kWidth + x]) - expected) > 1;
            }
        EXPECT_EQ(wrong, 0u);
    }

    // The second band is its own plane of heights.
    gdal("gdal_translate -q -of GTiff -ot Float32 " + shellQuote(path("source.raw")) + " " +
         shellQuote(path("two.tif")));
    expectSuccess({"import", path("two.tif"), path("band2.tif"), "--band", "2", "--range", "0",
                   "2000"});
    const LibtiffImage band2 = readWithLibtiff(path("band2.tif"));
    ASSERT_EQ(band2.samples.size(), size_t(kWidth) * kHeight);
    EXPECT_EQ(band2.samples[5 * kWidth + 9], expectedSample(height(9, 5, 2), 0, 2000));
    expectError({"import", path("two.tif"), path("band3.tif"), "--band", "3"}, "band");
}

TEST_F(ElevationImportTest, VoidsAreFilledFromTheirEdgeAndTheRangeIsTheValidHeights)
{
    writeSource(1);
    gdal("gdal_translate -q -of GTiff -ot Int16 -a_nodata -32768 " + shellQuote(path("source.raw")) +
         " " + shellQuote(path("dem.tif")));
    const Result result = run({"import", path("dem.tif"), path("out.tif")});
    ASSERT_EQ(result.status, 0) << result.err;
    double lowest = 1e9;
    double highest = -1e9;
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x)
            if (height(x, y) != kVoid)
            {
                lowest = std::min(lowest, std::round(height(x, y)));
                highest = std::max(highest, std::round(height(x, y)));
            }
    std::ostringstream heights;
    heights << "heights: " << lowest << " .. " << highest;
    EXPECT_NE(result.out.find(heights.str()), std::string::npos) << result.out;

    // Filled samples lie within the valid samples around the void, never at 0 or an extreme.
    const LibtiffImage image = readWithLibtiff(path("out.tif"));
    ASSERT_EQ(image.samples.size(), size_t(kWidth) * kHeight);
    const auto at = [&](uint32_t x, uint32_t y) { return image.samples[y * kWidth + x]; };
    uint16_t ringLow = 65535;
    uint16_t ringHigh = 0;
    for (uint32_t y = 19; y <= 28; ++y)
        for (uint32_t x = 29; x <= 40; ++x)
            if (x == 29 || x == 40 || y == 19 || y == 28)
            {
                ringLow = std::min(ringLow, at(x, y));
                ringHigh = std::max(ringHigh, at(x, y));
            }
    for (uint32_t y = 20; y < 28; ++y)
        for (uint32_t x = 30; x < 40; ++x)
        {
            EXPECT_GE(at(x, y), ringLow) << x << "," << y;
            EXPECT_LE(at(x, y), ringHigh) << x << "," << y;
        }
    // Smooth: no step inside the fill is larger than the steepest step on its edge.
    int edgeStep = 0;
    for (uint32_t x = 29; x < 40; ++x)
        edgeStep = std::max({edgeStep, std::abs(at(x + 1, 19) - at(x, 19)),
                             std::abs(at(x + 1, 28) - at(x, 28))});
    for (uint32_t y = 19; y < 28; ++y)
        edgeStep = std::max({edgeStep, std::abs(at(29, y + 1) - at(29, y)),
                             std::abs(at(40, y + 1) - at(40, y))});
    for (uint32_t y = 20; y < 28; ++y)
        for (uint32_t x = 30; x < 40; ++x)
            EXPECT_LE(std::abs(at(x + 1, y) - at(x, y)), edgeStep) << x << "," << y;

    // The terrain then streams what the tool wrote.
    EXPECT_EQ(info({path("out.tif")}).at("terrain"), "usable");
}

TEST_F(ElevationImportTest, SrtmTilesImportWithNoOptions)
{
    // A 1201 x 1201 tile as GDAL's SRTMHGT driver writes it: big-endian, signed, -32768 voids.
    writeEnvi("tile", 1201, 1201, 1, [](uint32_t x, uint32_t y, int) {
        return x == 600 && y == 600 ? kVoid : std::round(height(x % 97, y % 65, 2));
    });
    gdal("gdal_translate -q -of SRTMHGT -ot Int16 -a_srs EPSG:4326 -a_ullr 6.9995833 "
         "46.0004167 8.0004167 44.9995833 " +
         shellQuote(path("tile.raw")) + " " + shellQuote(path("N45E007.hgt")));
    const Result result = run({"import", path("N45E007.hgt"), path("tile.tif")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("1201 x 1201"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("filled pixels: 1 (no data: -32768)"), std::string::npos)
        << result.out;
    const LibtiffImage image = readWithLibtiff(path("tile.tif"));
    ASSERT_EQ(image.samples.size(), 1201u * 1201u);
    // The corners keep their order: the source's lowest and highest heights become 0 and 65535.
    const auto [lowest, highest] = std::minmax_element(image.samples.begin(), image.samples.end());
    EXPECT_EQ(*lowest, 0);
    EXPECT_EQ(*highest, 65535);
    EXPECT_LT(image.samples[0], image.samples[96]); // 1000 m rising 7 m per column
}

// Maps beyond memory are made a band at a time; a row must not depend on which band made it,
// or the bands' edges would show as seams.
TEST(LargeFractalTest, ARowIsTheSameWhicheverBandMakesIt)
{
    const LargeFractal fractal(8193, 11, 0.55f);
    ASSERT_EQ(fractal.edge(), 8193u);
    std::vector<float> wide;
    std::vector<float> narrow;
    for (const uint32_t row : {0u, 1u, 63u, 64u, 1000u, 4097u, 8191u})
    {
        const uint32_t first = row >= 5 ? row - 5 : 0;
        fractal.rows(first, 11, wide);
        EXPECT_EQ(wide.size(), size_t(std::min(11u, 8193 - first)) * 8193);
        fractal.rows(row, 1, narrow);
        ASSERT_EQ(narrow.size(), 8193u);
        const float* same = wide.data() + size_t(row - first) * 8193;
        EXPECT_TRUE(std::equal(narrow.begin(), narrow.end(), same)) << "row " << row;
    }
}
} // namespace
