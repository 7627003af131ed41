// Opening a TIFF file: the header, the chain of directories, the values that locate every
// pixel, each count and offset checked against the file before it is used.

#include "heightmap/TiffFormat.h"

#include "support/Diagnostics.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

using namespace tiff_format;

namespace
{
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
    tiff.stripOffsets.reset(new (std::nothrow) uint32_t[entry.count]);
    if (!tiff.stripOffsets)
    {
        printDiagnostic("Error: No memory for %u strips\n", entry.count);
        return false;
    }
    tiff.stripCount = entry.count;
    return readEntryValues(tiff.file, tiff.fileSize, entry, tiff.stripOffsets.get(), entry.count);
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
    TiffPtr tiff(new (std::nothrow) TiffFile);
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

