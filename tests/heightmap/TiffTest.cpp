#include "heightmap/Tiff.h"

#include "TiffTestUtil.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{
// The first 258 bytes of a created file, with zeros in place of the date and time.
std::vector<uint8_t> createdHead(uint32_t width, uint32_t height, uint32_t samplesPerPixel,
                                 uint32_t bitsPerSample)
{
    const auto sizeType = [](uint32_t value) -> uint16_t { return value > 0xFFFF ? 4 : 3; };
    const uint32_t imageBytes = width * height * samplesPerPixel * (bitsPerSample / 8);
    TiffBuilder builder;
    builder.setFirstDirectory(builder.appendDirectory(
        {{254, 4, 1, 0}, {256, sizeType(width), 1, width}, {257, sizeType(height), 1, height},
         {258, 3, 1, bitsPerSample}, {259, 3, 1, 1}, {262, 3, 1, 1}, {273, 4, 1, 258}, {274, 3, 1, 1},
         {277, 3, 1, samplesPerPixel}, {278, sizeType(height), 1, height}, {279, 4, 1, imageBytes},
         {282, 5, 1, 206}, {283, 5, 1, 214}, {296, 3, 1, 2}, {305, 2, 16, 222}, {306, 2, 20, 238}}));
    EXPECT_EQ(builder.appendLongs({720000, 10000, 720000, 10000}), 206u);
    EXPECT_EQ(builder.append("Heightmap Editor", 16), 222u);
    EXPECT_EQ(builder.appendZeros(20), 238u);
    return builder.bytes;
}

// Checks the whole image through readPixel and through one readRect.
void expectPixelsEqual(TiffFile* tiff, const PixelImage& image)
{
    std::vector<uint8_t> pixel(image.pixelBytes);
    for (uint32_t y = 0; y < image.height; ++y)
    {
        for (uint32_t x = 0; x < image.width; ++x)
        {
            ASSERT_EQ(readPixel(tiff, x, y, pixel.data()), tiff->samplesPerPixel);
            ASSERT_EQ(0, std::memcmp(pixel.data(), image.at(x, y), image.pixelBytes))
                << "pixel " << x << ", " << y;
        }
    }
    std::vector<uint8_t> all(image.bytes.size());
    EXPECT_EQ(readRect(tiff, 0, 0, int32_t(image.width), int32_t(image.height), all.data()),
              uint64_t(image.width) * image.height);
    EXPECT_EQ(all, image.bytes);
}

} // namespace

// ---- Creating files ----

TEST(TiffFile, CreateWritesTheDocumentedLayout)
{
    struct Case
    {
        int width, height, samplesPerPixel, bitsPerSample;
        uint64_t fileSize;
    };
    const Case cases[] = {
        {4, 2, 1, 16, 274},          // 258 bytes of header, directory and values, 16 of pixels
        {3, 5, 2, 8, 258 + 30},
        {1, 1, 4, 32, 258 + 16},
        {70000, 2, 1, 16, 258 + 280000}, // ImageWidth as LONG
        {1, 70000, 1, 8, 258 + 70000},   // ImageLength and RowsPerStrip as LONG
    };
    TempDir dir;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " x "
                                        << c.samplesPerPixel << " x " << c.bitsPerSample);
        const std::string name = dir.file("created.tif");
        closeTiff(createTiff(name.c_str(), c.width, c.height, c.samplesPerPixel, c.bitsPerSample,
                             1, nullptr, 0));
        const std::vector<uint8_t> bytes = readFileBytes(name);
        ASSERT_EQ(bytes.size(), c.fileSize);
        std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 258);
        // DateTime: "YYYY:MM:DD HH:MM:SS" and a zero at bytes 238 to 257.
        const char* shape = "dddd:dd:dd dd:dd:dd";
        for (size_t i = 0; i < 19; ++i)
        {
            if (shape[i] == 'd')
                EXPECT_TRUE(head[238 + i] >= '0' && head[238 + i] <= '9') << "date byte " << i;
            else
                EXPECT_EQ(head[238 + i], shape[i]) << "date byte " << i;
            head[238 + i] = 0;
        }
        EXPECT_EQ(head, createdHead(uint32_t(c.width), uint32_t(c.height),
                                    uint32_t(c.samplesPerPixel), uint32_t(c.bitsPerSample)));
        EXPECT_TRUE(
            std::all_of(bytes.begin() + 258, bytes.end(), [](uint8_t b) { return b == 0; }));
    }
}

TEST(TiffFile, CreateRepeatsTheFillPatternInEveryBlock)
{
    // 14000 bytes of pixels: two whole 6000-byte blocks and a part of a third.
    constexpr int kWidth = 100;
    constexpr int kHeight = 70;
    constexpr size_t kImageBytes = kWidth * kHeight * 2;
    std::vector<uint8_t> whole(kImageBytes);
    for (size_t i = 0; i < whole.size(); ++i)
        whole[i] = uint8_t(i * 7 + i / 251);
    std::vector<uint8_t> longPattern(6007);
    for (size_t i = 0; i < longPattern.size(); ++i)
        longPattern[i] = uint8_t(i % 253 + 1);
    const uint8_t pattern4[] = {1, 2, 3, 4};
    const uint8_t pattern7[] = {10, 20, 30, 40, 50, 60, 70};

    struct Case
    {
        const char* name;
        const uint8_t* fill;
        uint64_t fillSize;
    };
    const Case cases[] = {
        {"no fill data gives zeros", nullptr, 0},
        {"4 bytes repeat 1500 times a block", pattern4, 4},
        {"7 bytes: 857 copies and 1 byte a block", pattern7, 7},
        {"a pattern longer than the block is cut", longPattern.data(), longPattern.size()},
        {"fill size 0 is the whole image", whole.data(), 0},
    };
    TempDir dir;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string name = dir.file("filled.tif");
        closeTiff(createTiff(name.c_str(), kWidth, kHeight, 1, 16, 1, c.fill, c.fillSize));
        const std::vector<uint8_t> bytes = readFileBytes(name);
        ASSERT_EQ(bytes.size(), 258 + kImageBytes);
        for (size_t i = 0; i < kImageBytes; ++i)
        {
            uint8_t expected = 0;
            if (c.fill && c.fillSize == 0)
                expected = c.fill[i];
            else if (c.fill)
                expected = c.fill[i % 6000 % c.fillSize];
            ASSERT_EQ(bytes[258 + i], expected) << "pixel byte " << i;
        }
    }
}

TEST(TiffFile, CreatedFileReopensWithTheSameLayout)
{
    const auto expectLayout = [](const TiffFile* tiff) {
        ASSERT_TRUE(tiff);
        EXPECT_EQ(tiff->width, 6u);
        EXPECT_EQ(tiff->height, 5u);
        EXPECT_EQ(tiff->samplesPerPixel, 3u);
        EXPECT_EQ(tiff->bitsPerSample, 16u);
        EXPECT_EQ(tiff->rowsPerStrip, 5u);
        ASSERT_EQ(tiff->stripCount, 1u);
        EXPECT_EQ(tiff->stripOffsets[0], 258u);
        EXPECT_EQ(tiff->fileSize, 258u + 6 * 5 * 6);
    };
    TempDir dir;
    const std::string name = dir.file("created.tif");
    expectLayout(TiffPtr(createTiff(name.c_str(), 6, 5, 3, 16, 2, nullptr, 0)).get());
    expectLayout(openQuietly(name).get());
}

TEST(TiffFile, CreateRefusesInvalidArguments)
{
    struct Case
    {
        int width, height, samplesPerPixel, bitsPerSample, mode;
    };
    const Case cases[] = {
        {0, 4, 1, 16, 1},     {-1, 4, 1, 16, 1},    {4, 0, 1, 16, 1},
        {4, -5, 1, 16, 1},    {4, 4, 0, 16, 1},     {4, 4, -1, 16, 1},
        {4, 4, 1, 0, 1},      {4, 4, 1, 12, 1},     {4, 4, 1, -8, 1},
        {4, 4, 70000, 8, 1},  {4, 4, 1, 70000, 1},
        {INT_MAX, INT_MAX, 65535, 65528, 1},      {4, 4, 1, 16, 3},
        {4, 4, 1, 16, -1},
    };
    TempDir dir;
    const std::string name = dir.file("refused.tif");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " x "
                                        << c.samplesPerPixel << " x " << c.bitsPerSample
                                        << " mode " << c.mode);
        EXPECT_EQ(createTiff(name.c_str(), c.width, c.height, c.samplesPerPixel, c.bitsPerSample,
                             c.mode, nullptr, 0),
                  nullptr);
        EXPECT_FALSE(std::filesystem::exists(name));
    }
    // 4 GiB of pixels do not fit in a classic file; asked for one, there is none.
    EXPECT_EQ(createTiff(name.c_str(), 65536, 65536, 1, 8, 1, nullptr, 0, TiffKind::classic), nullptr);
    EXPECT_FALSE(std::filesystem::exists(name));
    // Mode 0 opens read-only: nothing can be written, so there is no record.
    writeFileBytes(name, {1, 2, 3});
    EXPECT_EQ(createTiff(name.c_str(), 4, 4, 1, 16, 0, nullptr, 0), nullptr);
    EXPECT_EQ(readFileBytes(name), (std::vector<uint8_t>{1, 2, 3}));
}

TEST(TiffFile, WritesFailOnAFullDisk)
{
    // /dev/full takes every seek and refuses every write with "no space left".
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(createTiff("/dev/full", 1000, 1000, 1, 16, 1, nullptr, 0), nullptr);
    const uint8_t pattern[] = {1, 2, 3};
    EXPECT_EQ(createTiff("/dev/full", 10, 10, 1, 8, 1, pattern, 3), nullptr);

    // A record whose stream fills up: writes report nothing transferred, not what was buffered.
    TempDir dir;
    TiffPtr tiff(createTiff(dir.file("full.tif").c_str(), 4, 4, 1, 16, 1, nullptr, 0));
    ASSERT_TRUE(tiff);
    std::fclose(tiff->file);
    tiff->file = std::fopen("/dev/full", "r+b");
    ASSERT_NE(tiff->file, nullptr);
    const uint8_t pixels[4 * 4 * 2] = {};
    EXPECT_EQ(writePixel(tiff.get(), 1, 1, pixels), 0u);
    EXPECT_EQ(writeRect(tiff.get(), -1, 0, 4, 4, pixels), 0u);
}

// ---- Pixels and rectangles ----

TEST(TiffFile, PixelsOutsideTheImageHaveNoPosition)
{
    TempDir dir;
    TiffPtr tiff(createTiff(dir.file("pixels.tif").c_str(), 7, 5, 3, 16, 2, nullptr, 0));
    ASSERT_TRUE(tiff);
    EXPECT_EQ(pixelOffset(tiff.get(), 2, 3), 258u + (3 * 7 + 2) * 6);
    uint8_t pixel[6] = {};
    EXPECT_EQ(pixelOffset(tiff.get(), 7, 0), kNoPixel);
    EXPECT_EQ(pixelOffset(tiff.get(), 0, 5), kNoPixel);
    EXPECT_EQ(writePixel(tiff.get(), 7, 0, pixel), 0u);
    EXPECT_EQ(readPixel(tiff.get(), 0, 5, pixel), 0u);
}

TEST(TiffFile, RectsMatchAPerPixelReference)
{
    // Fixed cases first: the column walk around a 5-pixel-wide image, wholly outside, empty,
    // and positions where x + w or y + h do not fit in 32 bits.
    const Rect fixed[] = {
        {-3, 0, 5, 3},  {-3, 1, 10, 2}, {0, 0, 5, 4},   {6, 0, 2, 2},   {0, -5, 3, 5},
        {-10, 0, 5, 2}, {1, 1, 0, 2},   {1, 1, 2, 0},   {1, 1, -2, 2},  {1, 1, 2, -1},
        {INT_MAX - 2, 0, 5, 1}, {0, INT_MAX - 1, 2, 4}, {INT_MIN, 0, 3, 1}, {-1, -1, 7, 6},
    };
    struct Layout
    {
        int samplesPerPixel, bitsPerSample;
    };
    for (const Layout layout : {Layout{1, 16}, Layout{3, 8}, Layout{2, 32}})
    {
        SCOPED_TRACE(testing::Message() << layout.samplesPerPixel << " x " << layout.bitsPerSample);
        TempDir dir;
        const std::string name = dir.file("rects.tif");
        const uint32_t pixelBytes = uint32_t(layout.samplesPerPixel * layout.bitsPerSample / 8);
        PixelImage model = patternImage(5, 4, pixelBytes);
        TiffPtr tiff(createTiff(name.c_str(), 5, 4, layout.samplesPerPixel, layout.bitsPerSample,
                                2, model.bytes.data(), 0));
        ASSERT_TRUE(tiff);
        for (const Rect& rect : fixed)
            expectRectMatches(tiff.get(), model, rect);

        // Random writes then random reads, against the model.
        std::mt19937 rng(11);
        for (int i = 0; i < 300; ++i)
        {
            const Rect rect = randomRect(rng, model.width, model.height);
            SCOPED_TRACE(testing::Message() << "write " << rect);
            std::vector<uint8_t> source(
                rect.w > 0 && rect.h > 0 ? size_t(rect.w) * size_t(rect.h) * pixelBytes : 1);
            for (uint8_t& b : source)
                b = uint8_t(rng());
            uint64_t covered = 0;
            referenceRect(model, rect, 0, covered);
            ASSERT_EQ(writeRect(tiff.get(), rect.x, rect.y, rect.w, rect.h, source.data()),
                      covered);
            if (rect.w > 0 && rect.h > 0)
                applyRect(model, rect, source);
            expectRectMatches(tiff.get(), model, randomRect(rng, model.width, model.height));
        }
        expectPixelsEqual(tiff.get(), model);
    }
}

TEST(TiffFile, OpenModes)
{
    TempDir dir;
    const std::string name = dir.file("modes.tif");
    const uint8_t fill[] = {9, 8};
    closeTiff(createTiff(name.c_str(), 3, 3, 1, 16, 1, fill, 2));
    const std::vector<uint8_t> before = readFileBytes(name);
    for (int mode : {0, 4, -1})
        EXPECT_EQ(openTiff(name.c_str(), mode), nullptr) << "mode " << mode << " is outside the table";
    EXPECT_TRUE(openQuietly(name, 3));
    {
        // Mode 1 is read-only: writes transfer nothing and leave the stream usable for reads.
        TiffPtr tiff = openQuietly(name, 1);
        ASSERT_TRUE(tiff);
        const uint8_t pixel[2] = {1, 1};
        const std::vector<uint8_t> rect(9 * 2, 1);
        EXPECT_EQ(writePixel(tiff.get(), 1, 1, pixel), 0u);
        EXPECT_EQ(writeRect(tiff.get(), 0, 0, 3, 3, rect.data()), 0u);
        uint8_t back[2] = {};
        EXPECT_EQ(readPixel(tiff.get(), 1, 1, back), 1u);
        EXPECT_EQ(back[0], 9);
        EXPECT_EQ(back[1], 8);
    }
    EXPECT_EQ(readFileBytes(name), before);

    std::string output;
    EXPECT_FALSE(openCapturing(dir.file("missing.tif"), 1, output));
    EXPECT_EQ(output, "");
    // Mode 2 opens with "wb": the file is emptied, so no header can be read.
    EXPECT_FALSE(openCapturing(name, 2, output));
    EXPECT_EQ(output.rfind("Invalid TIFF header\n", 0), 0u) << output;
}

// ---- Reading hand-made files ----

TEST(TiffFile, FindsPixelsThroughTheStripTable)
{
    struct Case
    {
        const char* name;
        uint32_t width, height, samplesPerPixel, bitsPerSample, rowsPerStrip;
        uint16_t stripType;
        void (*edit)(Fields&);
        uint32_t expectedRowsPerStrip;
    };
    const auto none = [](Fields&) {};
    const Case cases[] = {
        {"one strip, LONG inline", 9, 6, 1, 16, 6, 4, none, 6},
        {"7 rows per strip on 50, LONG table", 11, 50, 1, 16, 7, 4, none, 7},
        {"two strips, SHORT inline", 5, 8, 1, 16, 4, 3, none, 4},
        {"three strips, SHORT table", 5, 9, 1, 16, 3, 3, none, 3},
        {"RowsPerStrip 0 means one strip", 4, 3, 1, 16, 3, 4,
         [](Fields& f) { setField(f, {278, 3, 1, 0}); }, 3},
        {"RowsPerStrip missing means one strip", 4, 3, 1, 16, 3, 4,
         [](Fields& f) { removeField(f, 278); }, 3},
        {"RowsPerStrip above the height means one strip", 4, 3, 1, 16, 3, 4,
         [](Fields& f) { setField(f, {278, 4, 1, 1000}); }, 3},
        {"RowsPerStrip as LONG", 4, 9, 1, 16, 2, 4,
         [](Fields& f) { setField(f, {278, 4, 1, 2}); }, 2},
        {"SamplesPerPixel missing means 1", 6, 7, 1, 16, 3, 4,
         [](Fields& f) { removeField(f, 277); }, 3},
        {"Compression missing means none", 6, 7, 1, 16, 3, 4,
         [](Fields& f) { removeField(f, 259); }, 3},
        {"sizes as LONG", 6, 7, 1, 16, 7, 4,
         [](Fields& f) {
             setField(f, {256, 4, 1, 6});
             setField(f, {257, 4, 1, 7});
         },
         7},
        // A SHORT is the first two bytes of the value field; the other two are not part of it.
        {"SHORT values ignore the field's high bytes", 6, 7, 1, 16, 7, 4,
         [](Fields& f) {
             setField(f, {256, 3, 1, 0xBEEF0000u | 6});
             setField(f, {257, 3, 1, 0x00010000u | 7});
             setField(f, {258, 3, 1, 0xFFFF0000u | 16});
         },
         7},
        {"two 16-bit samples, widths inline", 5, 4, 2, 16, 3, 4, none, 3},
        {"three 8-bit samples, widths at an offset", 5, 4, 3, 8, 2, 4, none, 2},
        {"four 16-bit samples", 3, 3, 4, 16, 1, 3, none, 1},
    };
    TempDir dir;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CraftedImage image = craftImage(c.width, c.height, c.samplesPerPixel, c.bitsPerSample,
                                        c.rowsPerStrip, c.stripType);
        c.edit(image.fields);
        const std::string name = dir.file("strips.tif");
        writeFileBytes(name, image.bytes());
        TiffPtr tiff = openQuietly(name);
        ASSERT_TRUE(tiff);
        EXPECT_EQ(tiff->width, c.width);
        EXPECT_EQ(tiff->height, c.height);
        EXPECT_EQ(tiff->samplesPerPixel, c.samplesPerPixel);
        EXPECT_EQ(tiff->bitsPerSample, c.bitsPerSample);
        EXPECT_EQ(tiff->rowsPerStrip, c.expectedRowsPerStrip);
        EXPECT_EQ(tiff->fileSize, image.bytes().size());
        expectPixelsEqual(tiff.get(), image.pixels);
        std::mt19937 rng(c.width * 100 + c.height);
        for (int i = 0; i < 40; ++i)
            expectRectMatches(tiff.get(), image.pixels, randomRect(rng, c.width, c.height));
    }
}

TEST(TiffFile, TheFirstFullResolutionImageIsOpened)
{
    // A full-resolution image, then its overview and a mask (as gdaladdo and GIS tools write
    // them), then another image: the first is the heightmap, whatever the later ones repeat.
    CraftedImage image = craftImage(5, 3, 1, 16, 3);
    TiffBuilder& builder = image.builder;
    const uint32_t other = builder.appendDirectory({{256, 3, 1, 7}, {257, 3, 1, 7}, {305, 2, 4, 0x00636261}});
    const uint32_t mask = builder.appendDirectory({{254, 4, 1, 4}, {256, 3, 1, 5}}, other);
    const uint32_t overview = builder.appendDirectory({{254, 4, 1, 1}, {256, 3, 1, 2}, {257, 3, 1, 1}}, mask);
    struct Case
    {
        const char* name;
        bool overviewFirst;
        uint32_t directory;
    };
    for (const Case& c : {Case{"image first", false, 0}, Case{"overview first", true, 1}})
    {
        SCOPED_TRACE(c.name);
        TiffBuilder copy = builder;
        Fields fields = image.fields;
        const uint32_t first = copy.appendDirectory(fields, c.overviewFirst ? 0 : overview);
        if (c.overviewFirst)
        {
            copy.setNextDirectory(overview, first);
            copy.setNextDirectory(first, mask);
        }
        copy.setFirstDirectory(c.overviewFirst ? overview : first);
        TempDir dir;
        writeFileBytes(dir.file("images.tif"), copy.bytes);
        std::string output;
        TiffPtr tiff = openCapturing(dir.file("images.tif"), 1, output);
        ASSERT_TRUE(tiff);
        EXPECT_EQ(tiff->width, 5u);
        EXPECT_EQ(tiff->height, 3u);
        EXPECT_EQ(tiff->directory, c.directory);
        EXPECT_EQ(tiff->directoryCount, 4u);
        expectPixelsEqual(tiff.get(), image.pixels);
        // Every entry of every directory is traced.
        EXPECT_NE(output.find("Tag: 305 2 4 6513249\n"), std::string::npos);
        EXPECT_NE(output.find("Tag: 256 3 1 2\n"), std::string::npos);
    }
}

TEST(TiffFile, RefusesDamagedUnsupportedAndIncompleteFiles)
{
    using Bytes = std::vector<uint8_t>;
    const auto edited = [](void (*edit)(Fields&)) {
        CraftedImage image = craftImage(4, 6, 1, 16, 2);
        edit(image.fields);
        return image.bytes();
    };
    const Bytes valid = craftImage(4, 6, 1, 16, 2).bytes();
    const auto chain = [](int directories, int loopTo) {
        TiffBuilder builder;
        std::vector<uint32_t> offsets;
        for (int i = 0; i < directories; ++i)
            offsets.push_back(builder.appendDirectory({{256, 3, 1, 4}}));
        for (int i = 0; i + 1 < directories; ++i)
            builder.setNextDirectory(offsets[size_t(i)], offsets[size_t(i) + 1]);
        if (loopTo >= 0)
            builder.setNextDirectory(offsets.back(), offsets[size_t(loopTo)]);
        builder.setFirstDirectory(offsets[0]);
        return builder.bytes;
    };
    // A file that claims an image its bytes cannot hold.
    const auto claiming = [](uint32_t width, uint32_t height, uint32_t rowsPerStrip, uint32_t stripOffset) {
        TiffBuilder builder;
        builder.setFirstDirectory(builder.appendDirectory({{256, 4, 1, width}, {257, 4, 1, height},
                                                           {258, 3, 1, 16}, {273, 4, 1, stripOffset},
                                                           {278, 4, 1, rowsPerStrip}}));
        return builder.bytes;
    };
    Bytes bigEndian = valid;
    bigEndian[0] = bigEndian[1] = 0x4D;
    Bytes pastEnd = valid;
    putLe32(pastEnd, 4, uint32_t(valid.size()) - 1);
    Bytes cutDirectory = valid;
    cutDirectory.resize(valid.size() - 5);
    Bytes hugeCount = valid;
    putLe16(hugeCount, getLe32(&valid[4]), 65535);
    Bytes countBeyondFile = valid;
    putLe16(countBeyondFile, getLe32(&valid[4]), 4000);
    // 50 rows in strips of 7 need 8 strips.
    CraftedImage shortTable = craftImage(6, 50, 1, 16, 7);
    setField(shortTable.fields, {273, 4, 3, shortTable.fields[5].value});

    struct Case
    {
        const char* name;
        Bytes bytes;
        std::string message;
        TiffRefusal refusal;
    };
    const TiffRefusal damaged = TiffRefusal::damaged, unsupported = TiffRefusal::unsupported;
    const Case cases[] = {
        {"big-endian header", bigEndian, "cannot be streamed: big-endian", unsupported},
        {"empty file", {}, "Invalid TIFF header\n", TiffRefusal::notTiff},
        {"three bytes", Bytes{0x49, 0x49, 0x2A}, "Invalid TIFF header\n", TiffRefusal::notTiff},
        {"a PNG", Bytes{0x89, 'P', 'N', 'G', 13, 10, 26, 10}, "is not a TIFF file", TiffRefusal::notTiff},
        {"no directory offset", Bytes{0x49, 0x49, 0x2A, 0, 8, 0}, "Error: Truncated TIFF header\n", damaged},
        {"BigTIFF header cut short", Bytes{0x49, 0x49, 0x2B, 0, 8, 0, 0, 0}, "Error: Truncated TIFF header\n", damaged},
        {"BigTIFF with 4-byte offsets", Bytes{0x49, 0x49, 0x2B, 0, 4, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0},
         "Error: Invalid BigTIFF header\n", damaged},
        {"directory past the end", pastEnd, "Error: TIFF directory past end of file\n", damaged},
        {"directory cut off", cutDirectory, "Error: Truncated TIFF directory\n", damaged},
        {"65535 entries", hugeCount, "Error: TIFF directory with 65535 entries\n", damaged},
        {"more entries than the file holds", countBeyondFile, "Error: Truncated TIFF directory\n", damaged},
        {"directory pointing to itself", chain(1, 0), "Error: TIFF directory chain loops\n", damaged},
        {"directory pointing to an earlier one", chain(3, 1), "Error: TIFF directory chain loops\n", damaged},
        {"too many directories", chain(1025, -1), "Error: More than 1024 TIFF directories\n", damaged},
        {"LZW compression", edited([](Fields& f) { setField(f, {259, 3, 1, 5}); }),
         "Error: Image compressed\n", unsupported},
        {"Deflate, named", edited([](Fields& f) { setField(f, {259, 3, 1, 8}); }), "compressed (Deflate)", unsupported},
        {"a scheme without a name", edited([](Fields& f) { setField(f, {259, 3, 1, 34712}); }),
         "compressed (scheme 34712)", unsupported},
        {"tiled", edited([](Fields& f) { setField(f, {322, 3, 1, 16}); }), "cannot be streamed: tiled", unsupported},
        {"separate sample planes", edited([](Fields& f) {
             setField(f, {258, 3, 2, 8 | 8 << 16});
             setField(f, {277, 3, 1, 2});
             setField(f, {284, 3, 1, 2});
         }),
         "cannot be streamed: samples in separate planes", unsupported},
        {"BitsPerSample 0", edited([](Fields& f) { setField(f, {258, 3, 1, 0}); }),
         "Error: Unsupported BitsPerSample 0\n", unsupported},
        {"BitsPerSample 12", edited([](Fields& f) { setField(f, {258, 3, 1, 12}); }),
         "Error: Unsupported BitsPerSample 12\n", unsupported},
        {"BitsPerSample missing means 1 bit", edited([](Fields& f) { removeField(f, 258); }),
         "Error: Unsupported BitsPerSample 1\n", unsupported},
        {"samples of different widths", edited([](Fields& f) {
             setField(f, {258, 3, 2, 16 | 8 << 16});
             setField(f, {277, 3, 1, 2});
         }),
         "Error: Samples of different widths\n", unsupported},
        {"sample widths past the end", edited([](Fields& f) {
             setField(f, {258, 3, 3, 0xFFFFFF00u});
             setField(f, {277, 3, 1, 3});
         }),
         "Error: Tag 258 values past end of file\n", damaged},
        {"SamplesPerPixel 0", edited([](Fields& f) { setField(f, {277, 3, 1, 0}); }),
         "Error: Invalid SamplesPerPixel 0\n", damaged},
        {"width 0", edited([](Fields& f) { setField(f, {256, 3, 1, 0}); }), "Error: Invalid image size 0 x 6\n", damaged},
        {"height missing", edited([](Fields& f) { removeField(f, 257); }), "Error: Invalid image size 4 x 0\n", damaged},
        {"ImageWidth with two values", edited([](Fields& f) { setField(f, {256, 3, 2, 4}); }),
         "Error: Tag 256 has 2 values, expected 1\n", damaged},
        {"ImageWidth as text", edited([](Fields& f) { setField(f, {256, 2, 1, 4}); }),
         "Error: Tag 256 has unsupported type 2\n", damaged},
        {"StripOffsets missing", edited([](Fields& f) { removeField(f, 273); }), "Error: Missing StripOffsets\n", damaged},
        {"StripOffsets with no values", edited([](Fields& f) { setField(f, {273, 4, 0, 8}); }),
         "Error: Missing StripOffsets\n", damaged},
        {"StripOffsets as RATIONAL", edited([](Fields& f) { setField(f, {273, 5, 3, 8}); }),
         "Error: Tag 273 has unsupported type 5\n", damaged},
        {"strip table past the end", edited([](Fields& f) { setField(f, {273, 4, 3, 0x7FFFFFF0}); }),
         "Error: Tag 273 values past end of file\n", damaged},
        {"strip table longer than the file", edited([](Fields& f) { setField(f, {273, 4, 0x40000000, 8}); }),
         "Error: Tag 273 values past end of file\n", damaged},
        // The pixels must be in the file: never read as zeros.
        {"65536 x 65536 samples in a tiny file", claiming(65536, 65536, 65536, 8), "lies past the end of the file", damaged},
        {"a strip beyond 2 GiB in a small file", claiming(4, 2, 2, 0x90000000u), "lies past the end of the file", damaged},
        {"rows 0 per strip, one strip that does not hold the image", claiming(300, 300, 0, 8),
         "lies past the end of the file", damaged},
        {"pixel data past 4 GiB", claiming(0xFFFFFFFFu, 3, 3, 8), "lies past the end of the file", damaged},
        {"fewer strips than rows need", shortTable.bytes(), "Error: Image needs 8 strips, StripOffsets has 3\n", damaged},
        {"a strip beyond the file", claiming(4, 2, 2, 0x100), "lies past the end of the file", damaged},
        {"byte counts short of the rows", edited([](Fields& f) { setField(f, {279, 4, 1, 7}); }),
         "Error: StripByteCounts has 1 values for 3 strips\n", damaged},
    };
    TempDir dir;
    const std::string name = dir.file("bad.tif");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        writeFileBytes(name, c.bytes);
        std::string output;
        TiffRefusal refusal = TiffRefusal::none;
        std::string reason;
        testing::internal::CaptureStdout();
        EXPECT_EQ(openTiff(name.c_str(), 1, &refusal, &reason), nullptr);
        output = testing::internal::GetCapturedStdout();
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        EXPECT_EQ(refusal, c.refusal);
        // The reason handed to the caller is the gist of the last line printed, for a user.
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(reason.find("Error: "), std::string::npos) << reason;
        EXPECT_NE(lastLine(output).find(reason), std::string::npos) << reason << " / " << output;
    }
}

TEST(TiffFile, StripByteCountsAreHeldToTheRowsEachStripNeeds)
{
    // Three strips of two rows of four 2-byte pixels: 16 bytes each.
    const auto withCounts = [](uint32_t a, uint32_t b, uint32_t c) {
        CraftedImage image = craftImage(4, 6, 1, 16, 2);
        TiffBuilder& builder = image.builder;
        setField(image.fields, {279, 4, 3, builder.appendLongs({a, b, c})});
        return image;
    };
    TempDir dir;
    for (const auto& [counts, opens] : std::vector<std::pair<std::vector<uint32_t>, bool>>{
             {{16, 16, 16}, true}, {{0, 0, 0}, true}, {{99, 16, 16}, true}, {{16, 15, 16}, false}})
    {
        SCOPED_TRACE(testing::Message() << counts[0] << "," << counts[1] << "," << counts[2]);
        const CraftedImage image = withCounts(counts[0], counts[1], counts[2]);
        writeFileBytes(dir.file("counts.tif"), image.bytes());
        std::string output;
        TiffPtr tiff = openCapturing(dir.file("counts.tif"), 1, output);
        EXPECT_EQ(bool(tiff), opens) << output;
        if (tiff)
            expectPixelsEqual(tiff.get(), image.pixels);
    }
}

TEST(TiffFile, ChangesOnDiskAreToldApartFromTheRecordsOwnWrites)
{
    TempDir dir;
    const std::string name = dir.file("watched.tif");
    TiffPtr tiff(createTiff(name.c_str(), 8, 8, 1, 16, 2, nullptr, 0));
    ASSERT_TRUE(tiff);
    EXPECT_EQ(checkTiffFile(tiff.get(), name.c_str()), TiffChange::none);
    const uint8_t pixel[2] = {1, 2};
    ASSERT_EQ(writePixel(tiff.get(), 3, 3, pixel), 1u);
    EXPECT_EQ(checkTiffFile(tiff.get(), name.c_str()), TiffChange::none) << "its own write";

    // Written to by someone else (the time changes even where the size does not).
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    {
        std::FILE* other = std::fopen(name.c_str(), "r+b");
        std::fseek(other, 300, SEEK_SET);
        std::fputc(7, other);
        std::fclose(other);
    }
    EXPECT_EQ(checkTiffFile(tiff.get(), name.c_str()), TiffChange::modified);

    TiffPtr opened = openQuietly(name);
    ASSERT_EQ(truncate(name.c_str(), 200), 0);
    EXPECT_EQ(checkTiffFile(opened.get(), name.c_str()), TiffChange::truncated);

    closeTiff(createTiff(dir.file("kept.tif").c_str(), 4, 4, 1, 16, 1, nullptr, 0));
    TiffPtr kept = openQuietly(dir.file("kept.tif"));
    ASSERT_TRUE(kept);
    closeTiff(createTiff(dir.file("new.tif").c_str(), 4, 4, 1, 16, 1, nullptr, 0));
    ASSERT_EQ(std::rename(dir.file("new.tif").c_str(), dir.file("kept.tif").c_str()), 0);
    EXPECT_EQ(checkTiffFile(kept.get(), dir.file("kept.tif").c_str()), TiffChange::replaced);
    ASSERT_EQ(std::remove(dir.file("kept.tif").c_str()), 0);
    EXPECT_EQ(checkTiffFile(kept.get(), dir.file("kept.tif").c_str()), TiffChange::removed);
    // The record still reads the file it opened.
    uint8_t back[2] = {9, 9};
    EXPECT_EQ(readPixel(kept.get(), 1, 1, back), 1u);
    EXPECT_EQ(back[0], 0);
}

TEST(TiffFile, SurvivesTruncationAtEveryLength)
{
    TempDir dir;
    const std::string createdName = dir.file("created.tif");
    {
        PixelImage pixels = patternImage(5, 3, 6);
        TiffPtr tiff(createTiff(createdName.c_str(), 5, 3, 3, 16, 1, pixels.bytes.data(), 0));
        ASSERT_TRUE(tiff);
    }
    struct Source
    {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Source sources[] = {
        {"created, directory first", readFileBytes(createdName)},
        {"hand-made, tables last", craftImage(5, 7, 3, 8, 2, 3).bytes()},
        {"hand-made, one strip", craftImage(3, 4, 1, 16, 4).bytes()},
    };
    const std::string name = dir.file("cut.tif");
    for (const Source& source : sources)
    {
        SCOPED_TRACE(source.name);
        writeFileBytes(name, source.bytes);
        TiffPtr full = openQuietly(name);
        ASSERT_TRUE(full);
        PixelImage model{full->width, full->height, full->bytesPerPixel(),
                         std::vector<uint8_t>(size_t(full->width) * full->height * full->bytesPerPixel())};
        ASSERT_EQ(readRect(full.get(), 0, 0, int32_t(full->width), int32_t(full->height), model.bytes.data()),
                  uint64_t(full->width) * full->height);
        // Cut anywhere, a file either opens with every pixel there, or does not open.
        for (size_t length = 0; length < source.bytes.size(); ++length)
        {
            SCOPED_TRACE(testing::Message() << "length " << length);
            writeFileBytes(name, std::vector<uint8_t>(source.bytes.begin(), source.bytes.begin() + std::ptrdiff_t(length)));
            if (TiffPtr tiff = openQuietly(name))
                expectPixelsEqual(tiff.get(), model);
            if (HasFailure())
                return;
        }
    }
}

TEST(TiffFile, ReadsAndWritesPixelsBeyondTwoAndFourGiB)
{
    // Sparse files whose only strip lies past what a signed 32-bit seek reaches (a classic file,
    // 2.25 GiB) or past 4 GiB (a BigTIFF, 5 GiB): the layout of large maps without writing gigabytes.
    TempDir dir;
    const std::string name = dir.file("sparse.tif");
    for (const bool big : {false, true})
    {
        SCOPED_TRACE(big ? "BigTIFF" : "classic");
        const uint64_t strip = big ? uint64_t(5) << 30 : 0x90000000u;
        if (big)
        {
            constexpr size_t kStripOffsetValue = 16 + 8 + 6 * 20 + 12; // the seventh entry's value field
            closeTiff(createTiff(name.c_str(), 4, 2, 1, 16, 1, nullptr, 0, TiffKind::big));
            std::vector<uint8_t> bytes = readFileBytes(name);
            ASSERT_EQ(bytes.size(), 388u + 16);
            ASSERT_EQ(getLe32(bytes.data() + kStripOffsetValue), 388u);
            putLe32(bytes, kStripOffsetValue, uint32_t(strip));
            putLe32(bytes, kStripOffsetValue + 4, uint32_t(strip >> 32));
            writeFileBytes(name, bytes);
        }
        else
        {
            CraftedImage image = craftImage(4, 2, 1, 16, 2);
            setField(image.fields, {273, 4, 1, uint32_t(strip)});
            writeFileBytes(name, image.bytes());
        }
        if (truncate(name.c_str(), off_t(strip) + 16) != 0)
            GTEST_SKIP() << "the file system refuses a sparse file of " << strip + 16 << " bytes";
        const uint8_t pixel[2] = {0x34, 0x12};
        {
            TiffPtr tiff = openQuietly(name, 3);
            ASSERT_TRUE(tiff);
            EXPECT_EQ(tiff->bigTiff, big);
            EXPECT_EQ(tiff->fileSize, strip + 16);
            EXPECT_EQ(pixelOffset(tiff.get(), 3, 1), strip + 14);
            ASSERT_EQ(writePixel(tiff.get(), 3, 1, pixel), 1u);
            // Buffer pixel 0 falls left of the image and is not read.
            const uint8_t row[10] = {0xEE, 0xEE, 1, 2, 3, 4, 5, 6, 7, 8};
            ASSERT_EQ(writeRect(tiff.get(), -1, 0, 5, 1, row), 4u);
        }
        TiffPtr tiff = openQuietly(name, 1);
        ASSERT_TRUE(tiff);
        uint8_t back[2] = {};
        ASSERT_EQ(readPixel(tiff.get(), 3, 1, back), 1u);
        EXPECT_EQ(back[0], 0x34);
        EXPECT_EQ(back[1], 0x12);
        std::vector<uint8_t> rect(4 * 2 * 2);
        ASSERT_EQ(readRect(tiff.get(), 0, 0, 4, 2, rect.data()), 8u);
        EXPECT_EQ(rect, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0x34, 0x12}));
    }
}

TEST(TiffFile, TracesSampleWidthsOfMultiSampleImages)
{
    struct Case
    {
        uint32_t samplesPerPixel, bitsPerSample;
        const char* trace;
    };
    const Case cases[] = {
        {1, 16, nullptr},
        {2, 16, "bps: 16 16 0 0\n"}, // two SHORTs fit in the entry
        {3, 8, "bps: 8 8 8 0\n"},
        {5, 8, "bps: 8 8 8 8\n"},    // only the first four are shown
    };
    TempDir dir;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.samplesPerPixel);
        const CraftedImage image = craftImage(3, 2, c.samplesPerPixel, c.bitsPerSample, 2);
        writeFileBytes(dir.file("bps.tif"), image.bytes());
        std::string output;
        TiffPtr tiff = openCapturing(dir.file("bps.tif"), 1, output);
        ASSERT_TRUE(tiff);
        EXPECT_EQ(tiff->bytesPerPixel(), c.samplesPerPixel * c.bitsPerSample / 8);
        if (c.trace)
            EXPECT_EQ(lastLine(output), c.trace);
        else
            EXPECT_EQ(output.find("bps:"), std::string::npos);
    }
}
