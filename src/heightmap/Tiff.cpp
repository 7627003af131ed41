#include "heightmap/Tiff.h"

#include "support/Diagnostics.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <vector>

// Positions above 2 GiB are set with fseeko; a 32-bit off_t would cut them.
static_assert(sizeof(off_t) >= 8, "the TIFF module needs a 64-bit off_t");

namespace
{
// Field types of a directory entry (TIFF 6.0, section 2).
constexpr uint16_t kTypeByte = 1;
constexpr uint16_t kTypeAscii = 2;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeRational = 5;

constexpr uint16_t kTagNewSubfileType = 254;
constexpr uint16_t kTagImageWidth = 256;
constexpr uint16_t kTagImageLength = 257;
constexpr uint16_t kTagBitsPerSample = 258;
constexpr uint16_t kTagCompression = 259;
constexpr uint16_t kTagPhotometric = 262;
constexpr uint16_t kTagStripOffsets = 273;
constexpr uint16_t kTagOrientation = 274;
constexpr uint16_t kTagSamplesPerPixel = 277;
constexpr uint16_t kTagRowsPerStrip = 278;
constexpr uint16_t kTagStripByteCounts = 279;
constexpr uint16_t kTagXResolution = 282;
constexpr uint16_t kTagYResolution = 283;
constexpr uint16_t kTagResolutionUnit = 296;
constexpr uint16_t kTagSoftware = 305;
constexpr uint16_t kTagDateTime = 306;

// "II" (little-endian byte order) and 42 as a little-endian 16-bit number.
constexpr uint8_t kHeaderMagic[4] = {0x49, 0x49, 0x2A, 0x00};

// Classic TIFF addresses its file with 32-bit offsets: no byte of it lies at 4 GiB or beyond.
constexpr uint64_t kClassicLimit = uint64_t(1) << 32;

// A chain longer than this is taken for a damaged file; heightmaps have one directory, and
// multi-page files seldom more than a few dozen.
constexpr uint32_t kMaxDirectories = 1024;
// Same bound as libtiff's directory reader: a larger count means the offset does not point at
// a directory at all.
constexpr uint32_t kMaxEntries = 4096;
constexpr uint32_t kEntrySize = 12;

// TIFF 6.0 gives SamplesPerPixel and BitsPerSample the type SHORT. Larger values (possible
// only through a LONG entry) are refused; this bound also keeps bytesPerPixel() below 2^29.
constexpr uint32_t kMaxShort = 0xFFFF;

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

uint16_t getU16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t getU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putU16(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

void putU32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

bool seekTo(FILE* file, uint64_t position)
{
    if (position > uint64_t(std::numeric_limits<off_t>::max()))
        return false;
    return fseeko(file, off_t(position), SEEK_SET) == 0;
}

bool readAt(FILE* file, uint64_t position, void* data, size_t size)
{
    return seekTo(file, position) && std::fread(data, 1, size, file) == size;
}

// One 12-byte directory entry. value holds the raw value field: the values themselves when
// they fit in 4 bytes (left-justified), else the file offset of the values.
struct Entry
{
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    uint8_t value[4] = {};
};

Entry parseEntry(const uint8_t* p)
{
    Entry entry;
    entry.tag = getU16(p);
    entry.type = getU16(p + 2);
    entry.count = getU32(p + 4);
    std::memcpy(entry.value, p + 8, 4);
    return entry;
}

// Size of one value of the unsigned integer types that locate pixels; 0 for any other type.
uint32_t integerTypeSize(uint16_t type)
{
    switch (type)
    {
    case kTypeByte: return 1;
    case kTypeShort: return 2;
    case kTypeLong: return 4;
    default: return 0;
    }
}

uint32_t decodeValue(const uint8_t* p, uint32_t size)
{
    return size == 1 ? p[0] : size == 2 ? getU16(p) : getU32(p);
}

// Reads the first valueCount (at most entry.count) values of an entry of type BYTE, SHORT or
// LONG. As TIFF 6.0 has it, values that fit in the 4-byte field are stored there (a SHORT is
// the field's first two bytes, whatever the other two hold), longer arrays at the offset it
// holds; such an array must lie wholly inside the file, even where fewer values are wanted.
// Prints one line and returns false when the entry cannot be read.
bool readEntryValues(FILE* file, uint64_t fileSize, const Entry& entry, uint32_t* values,
                     uint32_t valueCount)
{
    const uint32_t size = integerTypeSize(entry.type);
    if (size == 0)
    {
        printDiagnostic("Error: Tag %d has unsupported type %d\n", entry.tag, entry.type);
        return false;
    }
    const uint64_t arrayBytes = uint64_t(entry.count) * size;
    if (arrayBytes <= 4)
    {
        for (uint32_t i = 0; i < valueCount; ++i)
            values[i] = decodeValue(entry.value + i * size, size);
        return true;
    }
    const uint64_t offset = getU32(entry.value);
    if (offset > fileSize || arrayBytes > fileSize - offset)
    {
        printDiagnostic("Error: Tag %d values past end of file\n", entry.tag);
        return false;
    }
    if (!seekTo(file, offset))
    {
        printDiagnostic("Error: Tag %d values cannot be read\n", entry.tag);
        return false;
    }
    uint8_t chunk[4096];
    for (uint32_t done = 0; done < valueCount;)
    {
        const uint32_t n = std::min<uint32_t>(valueCount - done, sizeof(chunk) / size);
        if (std::fread(chunk, size, n, file) != n)
        {
            printDiagnostic("Error: Tag %d values cannot be read\n", entry.tag);
            return false;
        }
        for (uint32_t i = 0; i < n; ++i)
            values[done + i] = decodeValue(chunk + i * size, size);
        done += n;
    }
    return true;
}

// The single value of a tag that TIFF 6.0 defines with count 1 (ImageWidth, Compression, ...).
bool readScalar(FILE* file, uint64_t fileSize, const Entry& entry, uint32_t& value)
{
    if (entry.count != 1)
    {
        printDiagnostic("Error: Tag %d has %d values, expected 1\n", entry.tag,
                        static_cast<int>(entry.count));
        return false;
    }
    return readEntryValues(file, fileSize, entry, &value, 1);
}

// Rows per strip as pixel addressing uses it: a record made by openTiff or createTiff always
// has 1..height; TIFF's default (one strip for the whole image) stands in for anything else.
uint32_t stripRows(const TiffFile& tiff)
{
    return tiff.rowsPerStrip == 0 || tiff.rowsPerStrip > tiff.height ? tiff.height
                                                                      : tiff.rowsPerStrip;
}

struct RecordCloser
{
    void operator()(TiffFile* tiff) const { closeTiff(tiff); }
};
using RecordPtr = std::unique_ptr<TiffFile, RecordCloser>;

// What the directory walk gathers beyond the record's own fields. Each directory of the chain
// is read and the last value of each tag wins; tags that no directory gives keep TIFF's
// defaults, applied by checkLayout.
struct WalkState
{
    bool haveSamplesPerPixel = false;
    bool haveStripOffsets = false;
    Entry stripOffsets;                      // read once the walk is over
    uint32_t bitsPerSample[4] = {1, 0, 0, 0}; // the first four; TIFF's default is 1 bit
    uint32_t bitsPerSampleCount = 1;         // how many of the four the file gave
};

// Reads the byte-order mark, the file size and the first directory's offset.
bool readHeader(TiffFile& tiff, uint64_t& firstDirectory)
{
    FILE* file = tiff.file;
    uint8_t header[8];
    if (std::fread(header, 1, 4, file) != 4 || std::memcmp(header, kHeaderMagic, 4) != 0)
    {
        printDiagnostic("Invalid TIFF header\n");
        return false;
    }
    const off_t end = fseeko(file, 0, SEEK_END) == 0 ? ftello(file) : -1;
    if (end < 0)
    {
        printDiagnostic("Error: TIFF file size unknown\n");
        return false;
    }
    tiff.fileSize = uint64_t(end);
    if (!readAt(file, 4, header + 4, 4))
    {
        printDiagnostic("Error: Truncated TIFF header\n");
        return false;
    }
    firstDirectory = getU32(header + 4);
    return true;
}

// Traces one directory entry and takes what it gives.
bool takeEntry(TiffFile& tiff, const Entry& entry, WalkState& walk)
{
    printDiagnostic("Tag: %d %d %d %d\n", entry.tag, entry.type, static_cast<int>(entry.count),
                    static_cast<int>(getU32(entry.value)));
    FILE* file = tiff.file;
    switch (entry.tag)
    {
    case kTagImageWidth: return readScalar(file, tiff.fileSize, entry, tiff.width);
    case kTagImageLength: return readScalar(file, tiff.fileSize, entry, tiff.height);
    case kTagBitsPerSample:
        // One value per sample. The first four are kept: enough for the trace and for the
        // check that all samples have the same width.
        walk.bitsPerSampleCount = std::min<uint32_t>(entry.count, 4);
        std::fill(walk.bitsPerSample, walk.bitsPerSample + 4, 0);
        return readEntryValues(file, tiff.fileSize, entry, walk.bitsPerSample,
                               walk.bitsPerSampleCount);
    case kTagCompression:
    {
        uint32_t compression = 0;
        if (!readScalar(file, tiff.fileSize, entry, compression))
            return false;
        if (compression != 1)
        {
            printDiagnostic("Error: Image compressed\n");
            return false;
        }
        return true;
    }
    case kTagStripOffsets:
        walk.stripOffsets = entry;
        walk.haveStripOffsets = true;
        return true;
    case kTagSamplesPerPixel:
        walk.haveSamplesPerPixel = true;
        return readScalar(file, tiff.fileSize, entry, tiff.samplesPerPixel);
    case kTagRowsPerStrip: return readScalar(file, tiff.fileSize, entry, tiff.rowsPerStrip);
    default:
        // PhotometricInterpretation, StripByteCounts, PlanarConfiguration, SampleFormat and the
        // rest are not consulted: the caller knows the pixel format it expects.
        return true;
    }
}

// Follows the chain of directories from the header. The chain is bounded: a directory must lie
// wholly inside the file, hold at most kMaxEntries entries, not be visited twice, and there are
// at most kMaxDirectories of them.
bool walkDirectories(TiffFile& tiff, uint64_t firstDirectory, WalkState& walk)
{
    std::vector<uint64_t> visited;
    std::vector<uint8_t> directory;
    for (uint64_t offset = firstDirectory; offset != 0;)
    {
        if (std::find(visited.begin(), visited.end(), offset) != visited.end())
        {
            printDiagnostic("Error: TIFF directory chain loops\n");
            return false;
        }
        if (visited.size() == kMaxDirectories)
        {
            printDiagnostic("Error: More than %u TIFF directories\n", kMaxDirectories);
            return false;
        }
        visited.push_back(offset);

        uint8_t countBytes[2];
        if (offset > tiff.fileSize || tiff.fileSize - offset < 2 ||
            !readAt(tiff.file, offset, countBytes, 2))
        {
            printDiagnostic("Error: TIFF directory past end of file\n");
            return false;
        }
        const uint32_t entryCount = getU16(countBytes);
        if (entryCount > kMaxEntries)
        {
            printDiagnostic("Error: TIFF directory with %u entries\n", entryCount);
            return false;
        }
        // The entries and the next directory's offset, read at once.
        const uint32_t directoryBytes = entryCount * kEntrySize + 4;
        directory.resize(directoryBytes);
        if (tiff.fileSize - offset - 2 < directoryBytes ||
            std::fread(directory.data(), 1, directoryBytes, tiff.file) != directoryBytes)
        {
            printDiagnostic("Error: Truncated TIFF directory\n");
            return false;
        }
        for (uint32_t i = 0; i < entryCount; ++i)
        {
            if (!takeEntry(tiff, parseEntry(directory.data() + i * kEntrySize), walk))
                return false;
        }
        offset = getU32(directory.data() + entryCount * kEntrySize);
    }
    return true;
}

// Applies TIFF's defaults and refuses layouts that pixel addressing cannot handle.
bool checkLayout(TiffFile& tiff, const WalkState& walk)
{
    if (tiff.width == 0 || tiff.height == 0)
    {
        printDiagnostic("Error: Invalid image size %u x %u\n", tiff.width, tiff.height);
        return false;
    }
    if (!walk.haveSamplesPerPixel)
        tiff.samplesPerPixel = 1;
    if (tiff.samplesPerPixel == 0 || tiff.samplesPerPixel > kMaxShort)
    {
        printDiagnostic("Error: Invalid SamplesPerPixel %u\n", tiff.samplesPerPixel);
        return false;
    }
    const uint32_t* bits = walk.bitsPerSample;
    if (tiff.samplesPerPixel > 1)
        printDiagnostic("bps: %d %d %d %d\n", static_cast<int>(bits[0]), static_cast<int>(bits[1]),
                        static_cast<int>(bits[2]), static_cast<int>(bits[3]));
    tiff.bitsPerSample = bits[0];
    if (tiff.bitsPerSample == 0 || tiff.bitsPerSample % 8 != 0 || tiff.bitsPerSample > kMaxShort)
    {
        printDiagnostic("Error: Unsupported BitsPerSample %u\n", tiff.bitsPerSample);
        return false;
    }
    // Pixels are copied as bytesPerPixel() blocks, so every sample must be as wide as the first
    // (libtiff refuses differing widths as well). A single value stands for all samples.
    const uint32_t widthsToCheck = std::min(walk.bitsPerSampleCount, tiff.samplesPerPixel);
    for (uint32_t i = 1; i < widthsToCheck; ++i)
    {
        if (bits[i] != tiff.bitsPerSample)
        {
            printDiagnostic("Error: Samples of different widths\n");
            return false;
        }
    }
    tiff.rowsPerStrip = stripRows(tiff);
    return true;
}

// Reads the strip table of the last StripOffsets entry: SHORT or LONG positions, in the entry
// itself when they fit in its 4 bytes (one LONG, one or two SHORTs), else at its offset.
bool readStripTable(TiffFile& tiff, const WalkState& walk)
{
    const Entry& entry = walk.stripOffsets;
    if (!walk.haveStripOffsets || entry.count == 0)
    {
        printDiagnostic("Error: Missing StripOffsets\n");
        return false;
    }
    if (entry.type != kTypeShort && entry.type != kTypeLong)
    {
        printDiagnostic("Error: Tag %d has unsupported type %d\n", entry.tag, entry.type);
        return false;
    }
    // The table must lie in the file (readEntryValues checks it again, exactly), which bounds
    // the allocation by the file size before it is made.
    const uint64_t tableBytes = uint64_t(entry.count) * integerTypeSize(entry.type);
    if (tableBytes > 4 && tableBytes > tiff.fileSize)
    {
        printDiagnostic("Error: Tag %d values past end of file\n", entry.tag);
        return false;
    }
    tiff.stripOffsets = new (std::nothrow) uint32_t[entry.count];
    if (!tiff.stripOffsets)
    {
        printDiagnostic("Error: No memory for %u strips\n", entry.count);
        return false;
    }
    tiff.stripCount = entry.count;
    return readEntryValues(tiff.file, tiff.fileSize, entry, tiff.stripOffsets, entry.count);
}

enum class Direction
{
    read,
    write
};

// Moves count items of size bytes at the stream's position. Written items count only once the
// stream has passed them on: a write that fails when the buffer is flushed (a full disk) counts
// none. The flush costs little, as the next seek would flush anyway.
size_t transfer(FILE* file, Direction direction, void* data, size_t size, size_t count)
{
    // A failed transfer leaves the error indicator set; it must not stick to later calls.
    std::clearerr(file);
    if (direction == Direction::read)
        return std::fread(data, size, count, file);
    const size_t written = std::fwrite(data, size, count, file);
    return std::fflush(file) == 0 ? written : 0;
}

uint32_t transferPixel(TiffFile* tiff, uint32_t x, uint32_t y, void* pixel, Direction direction)
{
    if (!tiff || !tiff->file || !pixel)
        return 0;
    const uint64_t position = pixelOffset(tiff, x, y);
    if (position == kNoPixel || !seekTo(tiff->file, position))
        return 0;
    return uint32_t(transfer(tiff->file, direction, pixel, tiff->bitsPerSample / 8,
                             tiff->samplesPerPixel));
}

// The walk shared by readRect and writeRect: one seek and one transfer per row of the part
// of the rectangle that lies inside the image.
uint64_t transferRect(TiffFile* tiff, int32_t x, int32_t y, int32_t w, int32_t h, void* buffer,
                      Direction direction)
{
    if (!tiff || !tiff->file || !buffer || w <= 0 || h <= 0)
        return 0;
    const uint64_t pixelBytes = tiff->bytesPerPixel();
    if (pixelBytes == 0)
        return 0;
    // Clip in 64-bit: x + w may not fit in 32 bits.
    const int64_t left = std::max<int64_t>(x, 0);
    const int64_t right = std::min<int64_t>(int64_t(x) + w, tiff->width);
    const int64_t top = std::max<int64_t>(y, 0);
    const int64_t bottom = std::min<int64_t>(int64_t(y) + h, tiff->height);
    if (left >= right || top >= bottom)
        return 0;
    const uint64_t skip = uint64_t(left - x); // buffer columns left of the image
    const uint64_t rowPixels = uint64_t(right - left);
    uint8_t* bytes = static_cast<uint8_t*>(buffer);

    uint64_t total = 0;
    for (int64_t row = top; row < bottom; ++row)
    {
        const uint64_t position = pixelOffset(tiff, uint32_t(left), uint32_t(row));
        if (position == kNoPixel || !seekTo(tiff->file, position))
            continue;
        // A row of a huge image may run past 4 GiB: only the pixels below the limit exist.
        const uint64_t count = std::min(rowPixels, (kClassicLimit - position) / pixelBytes);
        const uint64_t bufferPixel = uint64_t(row - y) * uint64_t(w) + skip;
        total += transfer(tiff->file, direction, bytes + bufferPixel * pixelBytes, pixelBytes,
                          count);
    }
    return total;
}

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

TiffFile* openTiff(const char* fileName, int mode)
{
    const char* streamMode = mode == 1 ? "rb" : mode == 2 ? "wb" : mode == 3 ? "r+b" : nullptr;
    if (!fileName || !streamMode)
        return nullptr;
    FILE* file = std::fopen(fileName, streamMode);
    if (!file)
        return nullptr;
    RecordPtr tiff(new (std::nothrow) TiffFile);
    if (!tiff)
    {
        std::fclose(file);
        return nullptr;
    }
    tiff->file = file;
    uint64_t firstDirectory = 0;
    WalkState walk;
    if (!readHeader(*tiff, firstDirectory) || !walkDirectories(*tiff, firstDirectory, walk) ||
        !checkLayout(*tiff, walk) || !readStripTable(*tiff, walk))
        return nullptr;
    return tiff.release();
}

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

    RecordPtr tiff(new (std::nothrow) TiffFile);
    if (!tiff)
        return nullptr;
    tiff->stripOffsets = new (std::nothrow) uint32_t[1];
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
    return tiff.release();
}

uint64_t pixelOffset(const TiffFile* tiff, uint32_t x, uint32_t y)
{
    if (!tiff || !tiff->stripOffsets || x >= tiff->width || y >= tiff->height)
        return kNoPixel;
    const uint64_t pixelBytes = tiff->bytesPerPixel();
    if (pixelBytes == 0)
        return kNoPixel;
    // Each strip holds whole rows of width pixels, contiguous and uncompressed.
    const uint32_t rows = stripRows(*tiff);
    const uint32_t strip = y / rows;
    if (strip >= tiff->stripCount)
        return kNoPixel;
    const uint64_t rowInStrip = y - uint64_t(strip) * rows;
    // Below 2^64: both factors are below 2^32.
    const uint64_t pixelInStrip = x + rowInStrip * tiff->width;
    if (pixelInStrip >= kClassicLimit)
        return kNoPixel;
    const uint64_t position = tiff->stripOffsets[strip] + pixelInStrip * pixelBytes;
    if (position + pixelBytes > kClassicLimit)
        return kNoPixel;
    return position;
}

uint32_t readPixel(TiffFile* tiff, uint32_t x, uint32_t y, void* pixel)
{
    return transferPixel(tiff, x, y, pixel, Direction::read);
}

uint32_t writePixel(TiffFile* tiff, uint32_t x, uint32_t y, const void* pixel)
{
    // transfer() only reads from the buffer when it writes.
    return transferPixel(tiff, x, y, const_cast<void*>(pixel), Direction::write);
}

uint64_t readRect(TiffFile* tiff, int32_t x, int32_t y, int32_t w, int32_t h, void* buffer)
{
    return transferRect(tiff, x, y, w, h, buffer, Direction::read);
}

uint64_t writeRect(TiffFile* tiff, int32_t x, int32_t y, int32_t w, int32_t h, const void* buffer)
{
    return transferRect(tiff, x, y, w, h, const_cast<void*>(buffer), Direction::write);
}

void closeTiff(TiffFile* tiff)
{
    if (!tiff)
        return;
    if (tiff->file)
        std::fclose(tiff->file);
    delete[] tiff->stripOffsets;
    delete tiff;
}
