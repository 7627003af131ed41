// Creating a TIFF file: header, one directory of 16 entries, its values, then the pixel data
// written through one small block. Classic TIFF while the file fits in its 4 GiB, else BigTIFF.

#include "heightmap/TiffFormat.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

using namespace tiff_format;

namespace
{
// Layout of a created classic file: header (8), directory of 16 entries (2 + 192 + 4), then the
// out-of-line values from byte 206 (two RATIONALs of 8 bytes, 16 + 20 ASCII bytes), pixels
// from byte 258. A BigTIFF file: header (16), directory (8 + 320 + 8), the two ASCII values
// from byte 352 (its 8-byte value fields hold the RATIONALs), pixels from byte 388.
constexpr uint16_t kCreatedEntries = 16;
constexpr uint32_t kCreatedDataOffset = 258;
constexpr uint32_t kBigCreatedDataOffset = 388;
// Written as 16 bytes with no terminating zero, where TIFF 6.0 asks for one (libtiff warns and
// reads it); the pixel data offsets above depend on these 16 bytes.
constexpr char kSoftware[] = "Heightmap Editor";
constexpr uint32_t kSoftwareLength = 16;
constexpr uint32_t kDateTimeLength = 20; // "YYYY:MM:DD HH:MM:SS" and its zero
// Pixel data beyond this (256 TiB) is refused: no disk holds it, and it keeps every size below
// off_t's range.
constexpr uint64_t kMaxCreatedBytes = uint64_t(1) << 48;
// Fill data goes out through one block of this size, so creation needs little memory.
constexpr size_t kFillBlockSize = 6000;

static_assert(sizeof(kSoftware) == kSoftwareLength + 1, "Software text length");
static_assert(kCreatedDataOffset == 8 + 2 + kCreatedEntries * kEntrySize + 4 + 2 * 8 + kSoftwareLength +
                                        kDateTimeLength,
              "classic pixel data start");
static_assert(kBigCreatedDataOffset == 16 + 8 + kCreatedEntries * kBigEntrySize + 8 + kSoftwareLength +
                                           kDateTimeLength,
              "BigTIFF pixel data start");

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
std::vector<uint8_t> buildCreatedHeader(bool big, uint32_t width, uint32_t height,
                                        uint32_t samplesPerPixel, uint32_t bitsPerSample,
                                        uint64_t imageBytes)
{
    const uint32_t dataOffset = big ? kBigCreatedDataOffset : kCreatedDataOffset;
    std::vector<uint8_t> head(dataOffset, 0);
    const uint32_t directory = big ? 16 : 8;
    const uint32_t entrySize = big ? kBigEntrySize : kEntrySize;
    const uint32_t valuesStart = directory + (big ? 8 : 2) + kCreatedEntries * entrySize + (big ? 8 : 4);
    const uint32_t resolutionX = valuesStart;                    // classic only
    const uint32_t resolutionY = valuesStart + 8;                // classic only
    const uint32_t software = big ? valuesStart : valuesStart + 16;
    const uint32_t dateTime = software + kSoftwareLength;
    if (big)
    {
        std::memcpy(head.data(), kBigHeaderMagic, 4);
        putU16(head.data() + 4, 8);
        putU64(head.data() + 8, directory);
        putU64(head.data() + directory, kCreatedEntries);
    }
    else
    {
        std::memcpy(head.data(), kHeaderMagic, 4);
        putU32(head.data() + 4, directory);
        putU16(head.data() + directory, kCreatedEntries);
    }
    uint8_t* entry = head.data() + directory + (big ? 8 : 2);
    // The value field is written as a number as wide as the field; for a SHORT that is its
    // value in the first two bytes and zeros in the others, as TIFF's left-justification asks
    // on little-endian.
    const auto add = [&entry, big, entrySize](uint16_t tag, uint16_t type, uint32_t count, uint64_t value) {
        putU16(entry, tag);
        putU16(entry + 2, type);
        if (big)
        {
            putU64(entry + 4, count);
            putU64(entry + 12, value);
        }
        else
        {
            putU32(entry + 4, count);
            putU32(entry + 8, uint32_t(value));
        }
        entry += entrySize;
    };
    // Sizes that do not fit in 16 bits are written as LONG, which TIFF 6.0 allows for these
    // tags; a SHORT would cut them.
    const auto sizeType = [](uint32_t value) {
        return value <= kMaxShort ? kTypeShort : kTypeLong;
    };
    // 72 pixels per inch in both directions: in the value field of a BigTIFF entry, else at
    // its offset.
    const uint64_t resolution = uint64_t(720000) | uint64_t(10000) << 32;
    add(kTagNewSubfileType, kTypeLong, 1, 0);
    add(kTagImageWidth, sizeType(width), 1, width);
    add(kTagImageLength, sizeType(height), 1, height);
    // One width for all samples: TIFF asks for one per sample, libtiff reads one as all.
    add(kTagBitsPerSample, kTypeShort, 1, bitsPerSample);
    add(kTagCompression, kTypeShort, 1, 1); // none
    add(kTagPhotometric, kTypeShort, 1, 1); // black is zero
    add(kTagStripOffsets, big ? kTypeLong8 : kTypeLong, 1, dataOffset);
    add(kTagOrientation, kTypeShort, 1, 1); // top left
    add(kTagSamplesPerPixel, kTypeShort, 1, samplesPerPixel);
    add(kTagRowsPerStrip, sizeType(height), 1, height);
    add(kTagStripByteCounts, big ? kTypeLong8 : kTypeLong, 1, imageBytes);
    add(kTagXResolution, kTypeRational, 1, big ? resolution : resolutionX);
    add(kTagYResolution, kTypeRational, 1, big ? resolution : resolutionY);
    add(kTagResolutionUnit, kTypeShort, 1, 2); // inch
    add(kTagSoftware, kTypeAscii, kSoftwareLength, software);
    add(kTagDateTime, kTypeAscii, kDateTimeLength, dateTime);
    // The next directory's offset, 0 (none), is already there.

    if (!big)
        for (uint32_t at : {resolutionX, resolutionY})
            putU64(head.data() + at, resolution);
    std::memcpy(head.data() + software, kSoftware, kSoftwareLength);
    char text[kDateTimeLength + 1];
    formatDateTime(text);
    std::memcpy(head.data() + dateTime, text, kDateTimeLength);
    return head;
}

// Writes the pixel data of a created file. Returns false as soon as the stream takes fewer
// bytes than it was given (a full disk), so creation never loops on a dead stream.
bool writeFill(FILE* file, uint64_t imageBytes, const void* fill, uint64_t fillSize)
{
    if (fill && fillSize == 0)
        return std::fwrite(fill, 1, imageBytes, file) == imageBytes;
    // Zeros: a regular file is extended to its size without writing them (a sparse file on most
    // file systems, so creating a map of gigabytes takes no time); anything else gets them
    // written.
    if (!fill && std::fflush(file) == 0)
    {
        const off_t end = ftello(file);
        if (end >= 0 && imageBytes <= uint64_t(std::numeric_limits<off_t>::max() - end) &&
            ftruncate(fileno(file), end + off_t(imageBytes)) == 0)
            return fseeko(file, 0, SEEK_END) == 0;
    }
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
                     int bitsPerSample, int mode, const void* fill, uint64_t fillSize,
                     TiffKind kind)
{
    const char* streamMode = mode == 0 ? "rb" : mode == 1 ? "wb" : mode == 2 ? "w+b" : nullptr;
    if (!fileName || !streamMode)
        return nullptr;
    // Checked before the file is opened, so that bad arguments leave an existing file alone.
    if (width <= 0 || height <= 0 || samplesPerPixel <= 0 ||
        uint32_t(samplesPerPixel) > kMaxShort || bitsPerSample <= 0 || bitsPerSample % 8 != 0 ||
        uint32_t(bitsPerSample) > kMaxShort)
        return nullptr;
    // At most 8191 * 65535 * 2^31 * 2^31 would overflow: the row (below 2^61) is bounded
    // before the image is multiplied out.
    const uint64_t pixelBytes = uint64_t(bitsPerSample / 8) * uint64_t(samplesPerPixel);
    const uint64_t rowBytes = pixelBytes * uint64_t(width);
    if (rowBytes > kMaxCreatedBytes / uint64_t(height))
        return nullptr;
    const uint64_t imageBytes = rowBytes * uint64_t(height);
    const bool big = kind == TiffKind::big || imageBytes > kClassicLimit - kCreatedDataOffset;
    if (big && kind == TiffKind::classic)
        return nullptr;
    const uint32_t dataOffset = big ? kBigCreatedDataOffset : kCreatedDataOffset;

    TiffPtr tiff(new (std::nothrow) TiffFile);
    if (!tiff)
        return nullptr;
    tiff->stripOffsets.reset(new (std::nothrow) uint64_t[1]);
    if (!tiff->stripOffsets)
        return nullptr;
    tiff->file = std::fopen(fileName, streamMode);
    if (!tiff->file)
        return nullptr;

    const std::vector<uint8_t> head =
        buildCreatedHeader(big, uint32_t(width), uint32_t(height), uint32_t(samplesPerPixel),
                           uint32_t(bitsPerSample), imageBytes);
    // The flush surfaces a full disk that the buffered writes could not see yet.
    if (std::fwrite(head.data(), 1, head.size(), tiff->file) != head.size() ||
        !writeFill(tiff->file, imageBytes, fill, fillSize) || std::fflush(tiff->file) != 0)
        return nullptr; // the partly written file stays on disk; no record promises it

    tiff->width = uint32_t(width);
    tiff->height = uint32_t(height);
    tiff->bitsPerSample = uint32_t(bitsPerSample);
    tiff->samplesPerPixel = uint32_t(samplesPerPixel);
    tiff->rowsPerStrip = uint32_t(height);
    tiff->stripCount = 1;
    tiff->stripOffsets[0] = dataOffset;
    tiff->fileSize = dataOffset + imageBytes;
    tiff->bigTiff = big;
    tiff->writable = true;
    tiff->directoryCount = 1;
    stampFile(tiff->file, tiff->stamp);
    return tiff.release();
}

