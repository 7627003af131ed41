#pragma once

// Helpers shared by the TIFF tests: a builder for hand-made little-endian TIFF files, an
// in-memory pixel model, a brute-force rectangle reference, and opening with the output caught.

#include "../support/TestFolder.h"
#include "heightmap/Tiff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using testing_support::readFileBytes;
using testing_support::writeFileBytes;
using TempDir = testing_support::TestFolder;

inline uint16_t getLe16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t getLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void putLe16(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    bytes[at] = uint8_t(value);
    bytes[at + 1] = uint8_t(value >> 8);
}

inline void putLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + size_t(i)] = uint8_t(value >> (8 * i));
}

// Last line of captured standard output, with its newline.
inline std::string lastLine(const std::string& text)
{
    if (text.empty())
        return text;
    const size_t start = text.rfind('\n', text.size() - 2);
    return start == std::string::npos ? text : text.substr(start + 1);
}

// One directory entry; value is the raw 4-byte value field as a little-endian number.
struct TiffField
{
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t value;
};

using Fields = std::vector<TiffField>;

// Replaces the entry with the same tag, or adds it.
inline void setField(Fields& fields, TiffField field)
{
    for (TiffField& existing : fields)
    {
        if (existing.tag == field.tag)
        {
            existing = field;
            return;
        }
    }
    fields.push_back(field);
}

inline void removeField(Fields& fields, uint16_t tag)
{
    fields.erase(std::remove_if(fields.begin(), fields.end(),
                                [tag](const TiffField& field) { return field.tag == tag; }),
                 fields.end());
}

// Assembles a little-endian TIFF file: header first, then whatever is appended, in order.
class TiffBuilder
{
public:
    TiffBuilder() : bytes{0x49, 0x49, 0x2A, 0x00, 0, 0, 0, 0} {}

    uint32_t append(const void* data, size_t size)
    {
        const uint32_t at = uint32_t(bytes.size());
        const uint8_t* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
        return at;
    }
    uint32_t appendZeros(size_t size) { return append(std::vector<uint8_t>(size).data(), size); }
    uint32_t appendShorts(const std::vector<uint32_t>& values)
    {
        std::vector<uint8_t> data(values.size() * 2);
        for (size_t i = 0; i < values.size(); ++i)
            putLe16(data, i * 2, values[i]);
        return append(data.data(), data.size());
    }
    uint32_t appendLongs(const std::vector<uint32_t>& values)
    {
        std::vector<uint8_t> data(values.size() * 4);
        for (size_t i = 0; i < values.size(); ++i)
            putLe32(data, i * 4, values[i]);
        return append(data.data(), data.size());
    }
    // Entries are sorted by tag, as TIFF 6.0 asks. Returns the directory's offset.
    uint32_t appendDirectory(Fields fields, uint32_t next = 0)
    {
        std::stable_sort(fields.begin(), fields.end(),
                         [](const TiffField& a, const TiffField& b) { return a.tag < b.tag; });
        std::vector<uint8_t> data(2 + fields.size() * 12 + 4);
        putLe16(data, 0, uint32_t(fields.size()));
        for (size_t i = 0; i < fields.size(); ++i)
        {
            putLe16(data, 2 + i * 12, fields[i].tag);
            putLe16(data, 4 + i * 12, fields[i].type);
            putLe32(data, 6 + i * 12, fields[i].count);
            putLe32(data, 10 + i * 12, fields[i].value);
        }
        putLe32(data, data.size() - 4, next);
        return append(data.data(), data.size());
    }
    void setFirstDirectory(uint32_t offset) { putLe32(bytes, 4, offset); }
    void setNextDirectory(uint32_t directory, uint32_t next)
    {
        putLe32(bytes, directory + 2 + size_t(getLe16(&bytes[directory])) * 12, next);
    }

    std::vector<uint8_t> bytes;
};

// The pixels of an image in memory, row by row, as the module copies them.
struct PixelImage
{
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pixelBytes = 0;
    std::vector<uint8_t> bytes;

    uint8_t* at(uint32_t x, uint32_t y) { return &bytes[(size_t(y) * width + x) * pixelBytes]; }
    const uint8_t* at(uint32_t x, uint32_t y) const
    {
        return &bytes[(size_t(y) * width + x) * pixelBytes];
    }
};

// An image whose every byte depends on position and byte index.
inline PixelImage patternImage(uint32_t width, uint32_t height, uint32_t pixelBytes)
{
    PixelImage image{width, height, pixelBytes,
                     std::vector<uint8_t>(size_t(width) * height * pixelBytes)};
    for (size_t i = 0; i < image.bytes.size(); ++i)
        image.bytes[i] = uint8_t((i * 2654435761u) >> 13);
    return image;
}

// A hand-made file's directory fields and the pixels it holds.
struct CraftedImage
{
    TiffBuilder builder;
    Fields fields;
    PixelImage pixels;

    // The file with one directory of the current fields.
    std::vector<uint8_t> bytes() const
    {
        TiffBuilder copy = builder;
        copy.setFirstDirectory(copy.appendDirectory(fields));
        return copy.bytes;
    }
};

// Lays out an uncompressed image in strips of rowsPerStrip rows, the last strip first and with
// gaps between strips, so that only a correct strip table finds the pixels. stripType is 3
// (SHORT) or 4 (LONG); the table is stored inline when it fits in 4 bytes. BitsPerSample has one
// value per sample, inline for up to two samples.
inline CraftedImage craftImage(uint32_t width, uint32_t height, uint32_t samplesPerPixel,
                               uint32_t bitsPerSample, uint32_t rowsPerStrip,
                               uint16_t stripType = 4)
{
    CraftedImage image;
    image.pixels = patternImage(width, height, samplesPerPixel * bitsPerSample / 8);
    TiffBuilder& builder = image.builder;
    const uint32_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
    const size_t rowBytes = size_t(width) * image.pixels.pixelBytes;
    std::vector<uint32_t> offsets(strips);
    std::vector<uint32_t> byteCounts(strips);
    for (uint32_t strip = strips; strip-- > 0;)
    {
        builder.appendZeros(3);
        const uint32_t firstRow = strip * rowsPerStrip;
        const uint32_t rows = std::min(rowsPerStrip, height - firstRow);
        byteCounts[strip] = uint32_t(rows * rowBytes);
        offsets[strip] = builder.append(image.pixels.at(0, firstRow), rows * rowBytes);
    }
    const uint32_t stripSize = stripType == 3 ? 2 : 4;
    uint32_t stripValue = 0;
    if (strips * stripSize <= 4)
    {
        for (uint32_t i = 0; i < strips; ++i)
            stripValue |= offsets[i] << (8 * stripSize * i);
    }
    else
    {
        stripValue = stripType == 3 ? builder.appendShorts(offsets) : builder.appendLongs(offsets);
    }
    const uint32_t countsValue = strips == 1 ? byteCounts[0] : builder.appendLongs(byteCounts);
    uint32_t bitsValue = bitsPerSample;
    if (samplesPerPixel == 2)
        bitsValue = bitsPerSample | bitsPerSample << 16;
    else if (samplesPerPixel > 2)
        bitsValue = builder.appendShorts(std::vector<uint32_t>(samplesPerPixel, bitsPerSample));
    image.fields = {
        {256, 3, 1, width},
        {257, 3, 1, height},
        {258, 3, samplesPerPixel, bitsValue},
        {259, 3, 1, 1},
        {262, 3, 1, samplesPerPixel >= 3 ? 2u : 1u},
        {273, stripType, strips, stripValue},
        {277, 3, 1, samplesPerPixel},
        {278, 3, 1, rowsPerStrip},
        {279, 4, strips, countsValue},
    };
    return image;
}

struct Rect
{
    int32_t x, y, w, h;
};

inline std::ostream& operator<<(std::ostream& out, const Rect& rect)
{
    return out << "rect " << rect.x << ", " << rect.y << ", " << rect.w << " x " << rect.h;
}

// Rectangles around an image: negative corners, sizes up to twice the image, empty and
// negative sizes.
inline Rect randomRect(std::mt19937& rng, uint32_t width, uint32_t height)
{
    const auto uniform = [&rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    const int w = int(width);
    const int h = int(height);
    return {uniform(-w - 3, w + 3), uniform(-h - 3, h + 3), uniform(-2, 2 * w + 6),
            uniform(-2, 2 * h + 6)};
}

// f(buffer pixel, image x, image y) for every pixel of the rectangle that covers the image.
template <class F>
void forEachCovered(const PixelImage& image, Rect rect, const F& f)
{
    for (int64_t r = 0; r < rect.h; ++r)
        for (int64_t c = 0; c < rect.w; ++c)
        {
            const int64_t x = rect.x + c;
            const int64_t y = rect.y + r;
            if (x >= 0 && y >= 0 && x < image.width && y < image.height)
                f(size_t(r * rect.w + c), uint32_t(x), uint32_t(y));
        }
}

// What a rectangle read must leave in a buffer that held fill bytes before: image pixels where
// the rectangle covers the image, fill elsewhere. count is the number of image pixels covered.
inline std::vector<uint8_t> referenceRect(const PixelImage& image, Rect rect, uint8_t fill,
                                          uint64_t& count)
{
    count = 0;
    if (rect.w <= 0 || rect.h <= 0)
        return {};
    std::vector<uint8_t> buffer(size_t(rect.w) * size_t(rect.h) * image.pixelBytes, fill);
    forEachCovered(image, rect, [&](size_t pixel, uint32_t x, uint32_t y) {
        std::memcpy(&buffer[pixel * image.pixelBytes], image.at(x, y), image.pixelBytes);
        ++count;
    });
    return buffer;
}

// The model's side of writeRect: buffer pixels over the image replace the image's.
inline void applyRect(PixelImage& image, Rect rect, const std::vector<uint8_t>& buffer)
{
    forEachCovered(image, rect, [&](size_t pixel, uint32_t x, uint32_t y) {
        std::memcpy(image.at(x, y), &buffer[pixel * image.pixelBytes], image.pixelBytes);
    });
}

// Opens a file and returns what the module printed while doing so.
inline TiffPtr openCapturing(const std::string& fileName, int mode, std::string& output)
{
    testing::internal::CaptureStdout();
    TiffPtr tiff(openTiff(fileName.c_str(), mode));
    output = testing::internal::GetCapturedStdout();
    return tiff;
}

inline TiffPtr openQuietly(const std::string& fileName, int mode = 1)
{
    std::string ignored;
    return openCapturing(fileName, mode, ignored);
}

// A rectangle read into a buffer of fill bytes leaves exactly what the reference says.
inline void expectRectMatches(TiffFile* tiff, const PixelImage& image, Rect rect)
{
    SCOPED_TRACE(testing::Message() << rect);
    uint64_t expectedCount = 0;
    const std::vector<uint8_t> expected = referenceRect(image, rect, 0xA5, expectedCount);
    std::vector<uint8_t> buffer(expected.size(), 0xA5);
    // A non-null buffer even for empty rectangles, which must not be touched.
    uint8_t unused = 0xA5;
    void* target = buffer.empty() ? &unused : buffer.data();
    EXPECT_EQ(readRect(tiff, rect.x, rect.y, rect.w, rect.h, target), expectedCount);
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(unused, 0xA5);
}
