// Creating a TIFF file: header, one directory of 16 entries, its values, then the pixel data
// at byte 258, written through one small block.

#include "heightmap/TiffFormat.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

using namespace tiff_format;

namespace
{
// Layout of a created file: header (8), directory of 16 entries (2 + 192 + 4), then the
// out-of-line values from byte 206 (two RATIONALs of 8 bytes, 16 + 20 ASCII bytes).
constexpr uint16_t kCreatedEntries = 16;
constexpr uint32_t kCreatedResolutionX = 206;
constexpr uint32_t kCreatedResolutionY = 214;
constexpr uint32_t kCreatedSoftware = 222;
constexpr uint32_t kCreatedDateTime = 238;
constexpr uint32_t kCreatedDataOffset = 258;
// Written as 16 bytes with no terminating zero, where TIFF 6.0 asks for one (libtiff warns and
// reads it); the pixel data offset of 258 depends on these 16 bytes.
constexpr char kSoftware[] = "Heightmap Editor";
constexpr uint32_t kSoftwareLength = 16;
constexpr uint32_t kDateTimeLength = 20; // "YYYY:MM:DD HH:MM:SS" and its zero
// Fill data goes out through one block of this size, so creation needs little memory.
constexpr size_t kFillBlockSize = 6000;

static_assert(sizeof(kSoftware) == kSoftwareLength + 1, "Software text length");
static_assert(kCreatedResolutionX == 8 + 2 + kCreatedEntries * kEntrySize + 4, "data area start");
static_assert(kCreatedDataOffset == kCreatedDateTime + kDateTimeLength, "pixel data start");

// DateTime text of now in local time, "YYYY:MM:DD HH:MM:SS" and its zero.
void formatDateTime(char (&text)[kDateTimeLength + 1])
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) &&
        std::strftime(text, sizeof(text), "%Y:%m:%d %T", &local) == kDateTimeLength - 1)
        return;
    // Only a clock beyond the year 9999 gets here; the field keeps its length.
    std::memcpy(text, "0000:00:00 00:00:00", kDateTimeLength);
}

// Everything of a created file before its pixel data: header, one directory, its values.
void buildCreatedHeader(uint8_t (&head)[kCreatedDataOffset], uint32_t width, uint32_t height,
                        uint32_t samplesPerPixel, uint32_t bitsPerSample, uint32_t imageBytes)
{
    std::memset(head, 0, sizeof(head));
    std::memcpy(head, kHeaderMagic, 4);
    putU32(head + 4, 8);
    putU16(head + 8, kCreatedEntries);
    uint8_t* entry = head + 10;
    // The value field is written as a 32-bit number; for a SHORT that is its value in the first
    // two bytes and zeros in the others, as TIFF's left-justification asks on little-endian.
    const auto add = [&entry](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        putU16(entry, tag);
        putU16(entry + 2, type);
        putU32(entry + 4, count);
        putU32(entry + 8, value);
        entry += kEntrySize;
    };
    // Sizes that do not fit in 16 bits are written as LONG, which TIFF 6.0 allows for these
    // tags; a SHORT would cut them.
    const auto sizeType = [](uint32_t value) {
        return value <= kMaxShort ? kTypeShort : kTypeLong;
    };
    add(kTagNewSubfileType, kTypeLong, 1, 0);
    add(kTagImageWidth, sizeType(width), 1, width);
    add(kTagImageLength, sizeType(height), 1, height);
    // One width for all samples: TIFF asks for one per sample, libtiff reads one as all.
    add(kTagBitsPerSample, kTypeShort, 1, bitsPerSample);
    add(kTagCompression, kTypeShort, 1, 1); // none
    add(kTagPhotometric, kTypeShort, 1, 1); // black is zero
    add(kTagStripOffsets, kTypeLong, 1, kCreatedDataOffset);
    add(kTagOrientation, kTypeShort, 1, 1); // top left
    add(kTagSamplesPerPixel, kTypeShort, 1, samplesPerPixel);
    add(kTagRowsPerStrip, sizeType(height), 1, height);
    add(kTagStripByteCounts, kTypeLong, 1, imageBytes);
    add(kTagXResolution, kTypeRational, 1, kCreatedResolutionX);
    add(kTagYResolution, kTypeRational, 1, kCreatedResolutionY);
    add(kTagResolutionUnit, kTypeShort, 1, 2); // inch
    add(kTagSoftware, kTypeAscii, kSoftwareLength, kCreatedSoftware);
    add(kTagDateTime, kTypeAscii, kDateTimeLength, kCreatedDateTime);
    putU32(entry, 0); // no next directory

    // 72 pixels per inch in both directions.
    for (uint32_t at : {kCreatedResolutionX, kCreatedResolutionY})
    {
        putU32(head + at, 720000);
        putU32(head + at + 4, 10000);
    }
    std::memcpy(head + kCreatedSoftware, kSoftware, kSoftwareLength);
    char dateTime[kDateTimeLength + 1];
    formatDateTime(dateTime);
    std::memcpy(head + kCreatedDateTime, dateTime, kDateTimeLength);
}

// Writes the pixel data of a created file. Returns false as soon as the stream takes fewer
// bytes than it was given (a full disk), so creation never loops on a dead stream.
bool writeFill(FILE* file, uint64_t imageBytes, const void* fill, uint64_t fillSize)
{
    if (fill && fillSize == 0)
        return std::fwrite(fill, 1, imageBytes, file) == imageBytes;
    uint8_t block[kFillBlockSize] = {};
    if (fill)
    {
        // Copies of the pattern from the block's start; the last one is cut at the block's end,
        // so a pattern whose size does not divide the block restarts with every block.
        const uint8_t* pattern = static_cast<const uint8_t*>(fill);
        for (size_t i = 0; i < kFillBlockSize; ++i)
            block[i] = pattern[i % fillSize];
    }
    for (uint64_t remaining = imageBytes; remaining > 0;)
    {
        const size_t n = size_t(std::min<uint64_t>(remaining, kFillBlockSize));
        if (std::fwrite(block, 1, n, file) != n)
            return false;
        remaining -= n;
    }
    return true;
}
} // namespace

TiffFile* createTiff(const char* fileName, int width, int height, int samplesPerPixel,
                     int bitsPerSample, int mode, const void* fill, uint64_t fillSize)
{
    const char* streamMode = mode == 0 ? "rb" : mode == 1 ? "wb" : mode == 2 ? "w+b" : nullptr;
    if (!fileName || !streamMode)
        return nullptr;
    // Checked before the file is opened, so that bad arguments leave an existing file alone.
    if (width <= 0 || height <= 0 || samplesPerPixel <= 0 ||
        uint32_t(samplesPerPixel) > kMaxShort || bitsPerSample <= 0 || bitsPerSample % 8 != 0 ||
        uint32_t(bitsPerSample) > kMaxShort)
        return nullptr;
    // At most 8191 * 65535 * 2^31 * 2^31 would overflow: check the row before the image.
    const uint64_t pixelBytes = uint64_t(bitsPerSample / 8) * uint64_t(samplesPerPixel);
    const uint64_t rowBytes = pixelBytes * uint64_t(width);
    if (rowBytes > kClassicLimit)
        return nullptr;
    const uint64_t imageBytes = rowBytes * uint64_t(height);
    if (imageBytes > kClassicLimit - kCreatedDataOffset)
        return nullptr;

    TiffPtr tiff(new (std::nothrow) TiffFile);
    if (!tiff)
        return nullptr;
    tiff->stripOffsets.reset(new (std::nothrow) uint64_t[1]);
    if (!tiff->stripOffsets)
        return nullptr;
    tiff->file = std::fopen(fileName, streamMode);
    if (!tiff->file)
        return nullptr;

    uint8_t head[kCreatedDataOffset];
    buildCreatedHeader(head, uint32_t(width), uint32_t(height), uint32_t(samplesPerPixel),
                       uint32_t(bitsPerSample), uint32_t(imageBytes));
    // The flush surfaces a full disk that the buffered writes could not see yet.
    if (std::fwrite(head, 1, sizeof(head), tiff->file) != sizeof(head) ||
        !writeFill(tiff->file, imageBytes, fill, fillSize) || std::fflush(tiff->file) != 0)
        return nullptr; // the partly written file stays on disk; no record promises it

    tiff->width = uint32_t(width);
    tiff->height = uint32_t(height);
    tiff->bitsPerSample = uint32_t(bitsPerSample);
    tiff->samplesPerPixel = uint32_t(samplesPerPixel);
    tiff->rowsPerStrip = uint32_t(height);
    tiff->stripCount = 1;
    tiff->stripOffsets[0] = kCreatedDataOffset;
    tiff->fileSize = kCreatedDataOffset + imageBytes;
    tiff->directoryCount = 1;
    stampFile(tiff->file, tiff->stamp);
    return tiff.release();
}

