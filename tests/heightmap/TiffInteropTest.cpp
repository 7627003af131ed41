// libtiff as the oracle: files this module writes must read the same in libtiff, and files
// libtiff writes must read the same here.

#include "heightmap/HeightmapFormat.h"
#include "heightmap/Tiff.h"

#include "TiffTestUtil.h"

#include <tiffio.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{
struct LibtiffCloser
{
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using LibtiffPtr = std::unique_ptr<TIFF, LibtiffCloser>;

struct LibtiffImage
{
    uint32_t rowsPerStrip = 0;
    uint16_t bitsPerSample = 0;
    uint16_t samplesPerPixel = 0;
    bool bigTiff = false;
    PixelImage pixels;
};

// libtiff's warnings, collected instead of printed so that tests can check them.
std::vector<std::string> warnings;

void collectWarning(const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof(text), format, args);
    warnings.push_back(std::string(module ? module : "") + ": " + text);
}

// Reads a whole image through libtiff's scanline interface. "c" turns off strip chopping, with
// which libtiff would report its own RowsPerStrip for large single-strip images.
LibtiffImage readWithLibtiff(const std::string& name)
{
    LibtiffImage image;
    LibtiffPtr tif(TIFFOpen(name.c_str(), "rc"));
    EXPECT_TRUE(tif);
    if (!tif)
        return image;
    uint32_t width = 0;
    uint32_t height = 0;
    EXPECT_EQ(TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width), 1);
    EXPECT_EQ(TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height), 1);
    image.bigTiff = TIFFIsBigTIFF(tif.get()) != 0;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &image.bitsPerSample);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &image.samplesPerPixel);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ROWSPERSTRIP, &image.rowsPerStrip);
    const uint32_t pixelBytes = uint32_t(image.bitsPerSample / 8) * image.samplesPerPixel;
    image.pixels = PixelImage{width, height, pixelBytes,
                              std::vector<uint8_t>(size_t(width) * height * pixelBytes)};
    EXPECT_EQ(uint64_t(TIFFScanlineSize64(tif.get())), uint64_t(width) * pixelBytes);
    for (uint32_t y = 0; y < height; ++y)
        EXPECT_EQ(TIFFReadScanline(tif.get(), image.pixels.at(0, y), y, 0), 1) << "row " << y;
    return image;
}

struct LibtiffLayout
{
    const char* name;
    uint32_t width, height;
    uint16_t samplesPerPixel, bitsPerSample;
    uint32_t rowsPerStrip;
    bool writeSamplesPerPixel;
    bool bigTiff = false;
};

// Writes an image of pattern pixels with libtiff: uncompressed, contiguous samples.
PixelImage writeWithLibtiff(const std::string& name, const LibtiffLayout& layout)
{
    PixelImage pixels = patternImage(layout.width, layout.height,
                                     uint32_t(layout.samplesPerPixel) * layout.bitsPerSample / 8);
    LibtiffPtr tif(TIFFOpen(name.c_str(), layout.bigTiff ? "w8l" : "wl"));
    EXPECT_TRUE(tif);
    if (!tif)
        return pixels;
    TIFFSetField(tif.get(), TIFFTAG_IMAGEWIDTH, layout.width);
    TIFFSetField(tif.get(), TIFFTAG_IMAGELENGTH, layout.height);
    TIFFSetField(tif.get(), TIFFTAG_BITSPERSAMPLE, layout.bitsPerSample);
    // Left out, libtiff writes no SamplesPerPixel entry and readers take TIFF's default of 1.
    if (layout.writeSamplesPerPixel)
        TIFFSetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, layout.samplesPerPixel);
    TIFFSetField(tif.get(), TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif.get(), TIFFTAG_PHOTOMETRIC,
                 layout.samplesPerPixel >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    if (layout.samplesPerPixel == 2)
    {
        const uint16_t extra[] = {EXTRASAMPLE_UNSPECIFIED};
        TIFFSetField(tif.get(), TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    TIFFSetField(tif.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif.get(), TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
    for (uint32_t y = 0; y < layout.height; ++y)
        EXPECT_EQ(TIFFWriteScanline(tif.get(), pixels.at(0, y), y, 0), 1);
    return pixels;
}

} // namespace

TEST(TiffInterop, CreatedAndEditedFilesReadTheSameInLibtiff)
{
    struct Case
    {
        int width, height, samplesPerPixel, bitsPerSample;
        TiffKind kind = TiffKind::classicWhenItFits;
    };
    const Case cases[] = {
        {4, 2, 1, 16}, {37, 23, 1, 16}, {5, 3, 3, 8}, {9, 4, 2, 16},
        {70000, 2, 1, 16}, // ImageWidth and StripByteCounts beyond 16 bits, still 280 KB
        {3, 70000, 1, 8},  // ImageLength and RowsPerStrip beyond 16 bits
        // The layout of maps beyond 4 GiB, on small images.
        {37, 23, 1, 16, TiffKind::big}, {70000, 2, 1, 16, TiffKind::big}, {5, 3, 3, 8, TiffKind::big},
    };
    TempDir dir;
    const TIFFErrorHandler previous = TIFFSetWarningHandler(collectWarning);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " x "
                                        << c.samplesPerPixel << " x " << c.bitsPerSample
                                        << (c.kind == TiffKind::big ? ", BigTIFF" : ""));
        const std::string name = dir.file("created.tif");
        warnings.clear();
        const uint32_t pixelBytes = uint32_t(c.samplesPerPixel * c.bitsPerSample / 8);
        const uint8_t fill[] = {0x11, 0x22, 0x33};
        PixelImage model{uint32_t(c.width), uint32_t(c.height), pixelBytes,
                         std::vector<uint8_t>(size_t(c.width) * size_t(c.height) * pixelBytes)};
        for (size_t i = 0; i < model.bytes.size(); ++i)
            model.bytes[i] = fill[i % 6000 % 3];
        {
            TiffPtr tiff(createTiff(name.c_str(), c.width, c.height, c.samplesPerPixel,
                                    c.bitsPerSample, 2, fill, sizeof(fill), c.kind));
            ASSERT_TRUE(tiff);
            EXPECT_EQ(tiff->bigTiff, c.kind == TiffKind::big);
            std::mt19937 rng(uint32_t(c.width + c.height));
            for (int i = 0; i < 20; ++i)
            {
                // Rectangles up to 64 pixels a side around random corners, some off the image.
                const auto corner = [&rng](int size) {
                    return std::uniform_int_distribution<int>(-8, size + 8)(rng);
                };
                const Rect rect{corner(c.width), corner(c.height),
                                std::uniform_int_distribution<int>(1, 64)(rng),
                                std::uniform_int_distribution<int>(1, 64)(rng)};
                std::vector<uint8_t> source(size_t(rect.w) * size_t(rect.h) * pixelBytes);
                for (uint8_t& b : source)
                    b = uint8_t(rng());
                writeRect(tiff.get(), rect.x, rect.y, rect.w, rect.h, source.data());
                applyRect(model, rect, source);

                const uint32_t x = rng() % uint32_t(c.width);
                const uint32_t y = rng() % uint32_t(c.height);
                std::vector<uint8_t> pixel(pixelBytes);
                for (uint8_t& b : pixel)
                    b = uint8_t(rng());
                ASSERT_EQ(writePixel(tiff.get(), x, y, pixel.data()), uint32_t(c.samplesPerPixel));
                std::memcpy(model.at(x, y), pixel.data(), pixelBytes);
            }
        }
        const LibtiffImage image = readWithLibtiff(name);
        EXPECT_EQ(image.bigTiff, c.kind == TiffKind::big);
        // And the module reads back what it wrote, through a record of its own.
        TiffPtr reopened = openQuietly(name);
        ASSERT_TRUE(reopened);
        EXPECT_EQ(reopened->bigTiff, c.kind == TiffKind::big);
        expectRectMatches(reopened.get(), model, Rect{0, 0, c.width, c.height});
        EXPECT_EQ(image.pixels.width, uint32_t(c.width));
        EXPECT_EQ(image.pixels.height, uint32_t(c.height));
        EXPECT_EQ(image.bitsPerSample, c.bitsPerSample);
        EXPECT_EQ(image.samplesPerPixel, c.samplesPerPixel);
        EXPECT_EQ(image.rowsPerStrip, uint32_t(c.height));
        EXPECT_TRUE(image.pixels.bytes == model.bytes);
        // Complaints that the fixed layout earns: the Software text fills its 16 bytes without
        // a terminating zero, and a grey image with more than one sample declares no
        // ExtraSamples. Nothing else.
        EXPECT_FALSE(warnings.empty());
        for (const std::string& warning : warnings)
        {
            const bool software = warning.find("\"Software\"") != std::string::npos;
            const bool extraSamples = warning.find("ExtraSamples") != std::string::npos;
            const bool expected = software || (c.samplesPerPixel > 1 && extraSamples);
            EXPECT_TRUE(expected) << warning;
        }
    }
    TIFFSetWarningHandler(previous);
}

TEST(TiffInterop, LibtiffFilesReadTheSameHere)
{
    const LibtiffLayout layouts[] = {
        {"one strip", 61, 50, 1, 16, 50, true},
        {"7 rows per strip on 50", 61, 50, 1, 16, 7, true},
        {"no SamplesPerPixel entry", 61, 50, 1, 16, 7, false},
        {"one row per strip", 13, 9, 1, 16, 1, true},
        {"two 16-bit samples", 17, 11, 2, 16, 4, true},
        {"RGB, 8 bits", 17, 11, 3, 8, 5, true},
        {"BigTIFF, 7 rows per strip", 61, 50, 1, 16, 7, true, true},
        {"BigTIFF, two 16-bit samples", 17, 11, 2, 16, 4, true, true},
    };
    TempDir dir;
    for (const LibtiffLayout& layout : layouts)
    {
        SCOPED_TRACE(layout.name);
        const std::string name = dir.file("libtiff.tif");
        const PixelImage written = writeWithLibtiff(name, layout);
        // libtiff itself must agree with the pixels it was given.
        const LibtiffImage oracle = readWithLibtiff(name);
        ASSERT_TRUE(oracle.pixels.bytes == written.bytes);

        std::string trace;
        TiffPtr tiff = openCapturing(name, 1, trace);
        ASSERT_TRUE(tiff);
        EXPECT_EQ(tiff->bigTiff, layout.bigTiff);
        EXPECT_EQ(trace.find("Tag: 277 ") == std::string::npos, !layout.writeSamplesPerPixel);
        EXPECT_EQ(tiff->width, layout.width);
        EXPECT_EQ(tiff->height, layout.height);
        EXPECT_EQ(tiff->bitsPerSample, oracle.bitsPerSample);
        EXPECT_EQ(tiff->samplesPerPixel, oracle.samplesPerPixel);
        EXPECT_EQ(tiff->rowsPerStrip, oracle.rowsPerStrip);

        std::vector<uint8_t> pixel(written.pixelBytes);
        for (uint32_t y = 0; y < layout.height; ++y)
        {
            for (uint32_t x = 0; x < layout.width; ++x)
            {
                ASSERT_EQ(readPixel(tiff.get(), x, y, pixel.data()), layout.samplesPerPixel);
                ASSERT_EQ(0, std::memcmp(pixel.data(), oracle.pixels.at(x, y), pixel.size()))
                    << "pixel " << x << ", " << y;
            }
        }
        std::mt19937 rng(layout.width * 7 + layout.rowsPerStrip);
        const Rect whole{0, 0, int32_t(layout.width), int32_t(layout.height)};
        expectRectMatches(tiff.get(), oracle.pixels, whole);
        for (int i = 0; i < 200; ++i)
        {
            const Rect rect = randomRect(rng, layout.width, layout.height);
            expectRectMatches(tiff.get(), oracle.pixels, rect);
        }
    }
}

// A heightmap fresh from the disk (out of the system's file cache) is read with its rows asked
// for ahead, by the rectangle reads themselves and by adviseRows: what comes back must still be
// libtiff's pixels, and asking ahead must read nothing into the caller's view of the file.
TEST(TiffInterop, FilesFreshFromTheDiskReadTheSame)
{
    TempDir dir;
    const std::string name = dir.file("cold.tif");
    const LibtiffLayout layout{"cold", 1500, 700, 1, 16, 7, true};
    writeWithLibtiff(name, layout);
    const LibtiffImage oracle = readWithLibtiff(name);
    TiffPtr tiff = openQuietly(name);
    ASSERT_TRUE(tiff);
    const auto evict = [&] {
        // Written pages leave the cache only once they are on the disk.
        fdatasync(fileno(tiff->file));
        posix_fadvise(fileno(tiff->file), 0, 0, POSIX_FADV_DONTNEED);
    };
    const uint64_t rowBytes = uint64_t(layout.width) * 2;
    std::mt19937 rng(7);
    for (int round = 0; round < 4; ++round)
    {
        SCOPED_TRACE(round);
        evict();
        // Rows off the image are skipped, adjacent ones taken together, repeats once.
        const uint32_t rows[] = {0, 1, 2, 2, 5, 699, 700, 5000};
        EXPECT_EQ(adviseRows(tiff.get(), rows, std::size(rows)), 5 * rowBytes);
        EXPECT_EQ(adviseRows(tiff.get(), rows, 0), 0u);
        evict();
        expectRectMatches(tiff.get(), oracle.pixels, Rect{0, 0, int32_t(layout.width), int32_t(layout.height)});
        for (int i = 0; i < 50; ++i)
        {
            evict();
            expectRectMatches(tiff.get(), oracle.pixels, randomRect(rng, layout.width, layout.height));
        }
    }
}

// Files as GDAL writes them from one grid of unsigned 16-bit heights: the layouts the stream
// reads give back GDAL's samples, the others are refused with the reason a user can act on.
TEST(TiffInterop, GdalFilesStreamOrSayWhyNot)
{
    TempDir dir;
    const uint32_t width = 83;
    const uint32_t height = 57;
    const PixelImage source = patternImage(width, height, 2);
    writeFileBytes(dir.file("source.raw"), source.bytes);
    const std::string header = "ENVI\nsamples = 83\nlines = 57\nbands = 1\nheader offset = 0\n"
                               "data type = 12\ninterleave = bsq\nbyte order = 0\n";
    writeFileBytes(dir.file("source.hdr"), std::vector<uint8_t>(header.begin(), header.end()));
    struct Variant
    {
        const char* name;
        const char* options;
        const char* refusal; // empty: streamed
        bool overviews = false;
    };
    const Variant variants[] = {
        {"strips", "-ot UInt16", ""},
        {"one strip, baseline", "-ot UInt16 -co PROFILE=BASELINE -co BLOCKYSIZE=57", ""},
        {"BigTIFF with overviews", "-ot UInt16 -co BIGTIFF=YES", "", true},
        {"signed", "-ot Int16", "signed 16-bit samples"},
        {"float", "-ot Float32", "32-bit float samples"},
        {"LZW", "-ot UInt16 -co COMPRESS=LZW -co PREDICTOR=2", "compressed (LZW)"},
        {"Deflate", "-ot UInt16 -co COMPRESS=DEFLATE", "compressed (Deflate)"},
        {"tiled", "-ot UInt16 -co TILED=YES -co BLOCKXSIZE=32 -co BLOCKYSIZE=32", "tiled"},
        {"big-endian", "-ot UInt16 -co ENDIANNESS=BIG", "big-endian"},
        {"8-bit", "-ot Byte", "8-bit samples"},
    };
    for (const Variant& variant : variants)
    {
        SCOPED_TRACE(variant.name);
        const std::string name = dir.file("gdal.tif");
        std::string command = std::string("gdal_translate -q -of GTiff ") + variant.options + " '" +
                              dir.file("source.raw") + "' '" + name + "'";
        if (variant.overviews)
            command += " && gdaladdo -q -r average '" + name + "' 2 4";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;

        testing::internal::CaptureStdout();
        const StreamableHeightmap opened = openStreamableHeightmap(name);
        const std::string printed = testing::internal::GetCapturedStdout();
        if (*variant.refusal)
        {
            EXPECT_FALSE(opened.file);
            EXPECT_EQ(opened.reason, variant.refusal);
            EXPECT_TRUE(opened.convertible);
            continue;
        }
        ASSERT_TRUE(opened.file) << opened.reason << "\n" << printed;
        EXPECT_EQ(opened.file->width, width);
        EXPECT_EQ(opened.file->height, height);
        expectRectMatches(opened.file.get(), source, Rect{0, 0, int32_t(width), int32_t(height)});
    }
}
