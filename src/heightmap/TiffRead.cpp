// Opening a TIFF file: the header, the chain of directories, the choice of the image, and the
// values that locate every pixel, each count and offset checked against the file before use.

#include "heightmap/TiffFormat.h"

#include "support/Diagnostics.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <new>
#include <string>
#include <vector>

using namespace tiff_format;

namespace
{
// A formatted line, kept to be printed later (or not, for a directory that is not used).
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    return text;
}

// The open file and the shape of its structures: classic TIFF (12-byte entries, 4-byte values
// and offsets) or BigTIFF (20-byte entries, 8-byte values and offsets).
struct Source
{
    FILE* file = nullptr;
    uint64_t fileSize = 0;
    bool bigTiff = false;
    const char* name = "";
    std::string* reason = nullptr; // where refuse() keeps the last reason, when not null

    uint32_t entrySize() const { return bigTiff ? kBigEntrySize : kEntrySize; }
    uint32_t valueSize() const { return bigTiff ? 8 : 4; }
    uint64_t offsetAt(const uint8_t* p) const { return bigTiff ? getU64(p) : getU32(p); }
};

// Prints one of the module's lines on why the file is not opened and keeps its gist for the
// caller: "compressed (LZW)" rather than "Error: NAME cannot be streamed: compressed (LZW)".
void refuse(const Source& source, const char* pattern, ...) __attribute__((format(printf, 2, 3)));
void refuse(const Source& source, const char* pattern, ...)
{
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    printDiagnostic("%s", text);
    if (!source.reason)
        return;
    std::string gist = text;
    while (!gist.empty() && gist.back() == '\n')
        gist.pop_back();
    for (const std::string& prefix : {std::string("Error: "), std::string(source.name) + " cannot be streamed: ",
                                     std::string(source.name) + " is "})
        if (gist.compare(0, prefix.size(), prefix) == 0)
            gist.erase(0, prefix.size());
    *source.reason = gist;
}

// One directory entry. value holds the raw value field: the values themselves when they fit in
// it (left-justified), else the file offset of the values.
struct Entry
{
    uint16_t tag = 0;
    uint16_t type = 0;
    uint64_t count = 0;
    uint8_t value[8] = {};
};

// What one directory says about its image: the entries it gives, TIFF's defaults for the rest.
// A value that cannot be read is kept as an error, printed only if this directory is the one
// opened.
struct Directory
{
    uint32_t subfileType = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bitsPerSample[4] = {1, 0, 0, 0}; // the first four; TIFF's default is 1 bit
    uint32_t bitsPerSampleCount = 1;          // how many of the four the file gave
    uint32_t samplesPerPixel = 1;
    uint32_t compression = 1;
    uint32_t planarConfig = 1;
    uint32_t sampleFormat = 1;
    uint32_t rowsPerStrip = 0; // 0: not given
    bool tiled = false;
    bool haveStripOffsets = false;
    Entry stripOffsets;
    bool haveStripByteCounts = false;
    Entry stripByteCounts;
    std::string error;
};

// Size of one value of the unsigned integer types that locate pixels; 0 for any other type.
uint32_t integerTypeSize(uint16_t type)
{
    switch (type)
    {
    case kTypeByte: return 1;
    case kTypeShort: return 2;
    case kTypeLong: return 4;
    case kTypeLong8: return 8;
    default: return 0;
    }
}

uint64_t decodeValue(const uint8_t* p, uint32_t size)
{
    return size == 1 ? p[0] : size == 2 ? getU16(p) : size == 4 ? getU32(p) : getU64(p);
}

// Reads the first valueCount (at most entry.count) values of an entry of type BYTE, SHORT, LONG
// or LONG8. As TIFF has it, values that fit in the value field are stored there (a SHORT is the
// field's first two bytes, whatever the others hold), longer arrays at the offset it holds; such
// an array must lie wholly inside the file, even where fewer values are wanted. Values above
// limit count as unreadable. Returns an error line, or an empty string.
template <class Value>
std::string readValues(const Source& source, const Entry& entry, Value* values, uint64_t valueCount,
                       uint64_t limit)
{
    const uint32_t size = integerTypeSize(entry.type);
    if (size == 0)
        return format("Error: Tag %d has unsupported type %d\n", entry.tag, entry.type);
    const auto take = [&](uint64_t i, uint64_t v) {
        values[i] = Value(v);
        return v <= limit;
    };
    // The product cannot overflow: count < 2^64 / 8 is checked first.
    if (entry.count > source.fileSize / size + 1)
        return format("Error: Tag %d values past end of file\n", entry.tag);
    const uint64_t arrayBytes = entry.count * size;
    if (arrayBytes <= source.valueSize())
    {
        for (uint64_t i = 0; i < valueCount; ++i)
            if (!take(i, decodeValue(entry.value + i * size, size)))
                return format("Error: Tag %d value too large\n", entry.tag);
        return {};
    }
    const uint64_t offset = source.offsetAt(entry.value);
    if (offset > source.fileSize || arrayBytes > source.fileSize - offset || !seekTo(source.file, offset))
        return format("Error: Tag %d values past end of file\n", entry.tag);
    uint8_t chunk[4096];
    for (uint64_t done = 0; done < valueCount;)
    {
        const size_t n = size_t(std::min<uint64_t>(valueCount - done, sizeof(chunk) / size));
        if (std::fread(chunk, size, n, source.file) != n)
            return format("Error: Tag %d values cannot be read\n", entry.tag);
        for (size_t i = 0; i < n; ++i)
            if (!take(done + i, decodeValue(chunk + i * size, size)))
                return format("Error: Tag %d value too large\n", entry.tag);
        done += n;
    }
    return {};
}

// The single value of a tag that TIFF defines with count 1 (ImageWidth, Compression, ...).
std::string readScalar(const Source& source, const Entry& entry, uint32_t& value)
{
    if (entry.count != 1)
        return format("Error: Tag %d has %" PRIu64 " values, expected 1\n", entry.tag, entry.count);
    return readValues(source, entry, &value, 1, UINT32_MAX);
}

// Reads the byte-order mark, the file size and the first directory's offset.
bool readHeader(Source& source, uint64_t& firstDirectory, TiffRefusal& refusal)
{
    uint8_t header[16];
    const bool classic = std::fread(header, 1, 4, source.file) == 4;
    if (!classic || (std::memcmp(header, kHeaderMagic, 4) != 0 && std::memcmp(header, kBigHeaderMagic, 4) != 0))
    {
        refuse(source, "Invalid TIFF header\n");
        if (classic && header[0] == 0x4D && header[1] == 0x4D)
        {
            refuse(source, "Error: %s cannot be streamed: big-endian\n", source.name);
            refusal = TiffRefusal::unsupported;
        }
        else
        {
            refuse(source, "Error: %s is not a TIFF file\n", source.name);
            refusal = TiffRefusal::notTiff;
        }
        return false;
    }
    refusal = TiffRefusal::damaged;
    source.bigTiff = header[2] == 0x2B;
    const off_t end = fseeko(source.file, 0, SEEK_END) == 0 ? ftello(source.file) : -1;
    if (end < 0)
    {
        refuse(source, "Error: TIFF file size unknown\n");
        return false;
    }
    source.fileSize = uint64_t(end);
    const size_t rest = source.bigTiff ? 12 : 4;
    if (!readAt(source.file, 4, header + 4, rest))
    {
        refuse(source, "Error: Truncated TIFF header\n");
        return false;
    }
    if (source.bigTiff && (getU16(header + 4) != 8 || getU16(header + 6) != 0))
    {
        refuse(source, "Error: Invalid BigTIFF header\n");
        return false;
    }
    firstDirectory = source.bigTiff ? getU64(header + 8) : getU32(header + 4);
    return true;
}

// Traces one directory entry and takes what it gives into its directory.
void takeEntry(const Source& source, const Entry& entry, Directory& d)
{
    if (source.bigTiff)
        printDiagnostic("Tag: %d %d %" PRIu64 " %" PRIu64 "\n", entry.tag, entry.type, entry.count, getU64(entry.value));
    else
        printDiagnostic("Tag: %d %d %d %d\n", entry.tag, entry.type, static_cast<int>(entry.count),
                        static_cast<int>(getU32(entry.value)));
    std::string error;
    switch (entry.tag)
    {
    case kTagNewSubfileType: error = readScalar(source, entry, d.subfileType); break;
    case kTagImageWidth: error = readScalar(source, entry, d.width); break;
    case kTagImageLength: error = readScalar(source, entry, d.height); break;
    case kTagBitsPerSample:
        // One value per sample. The first four are kept: enough for the trace and for the check
        // that all samples have the same width.
        d.bitsPerSampleCount = uint32_t(std::min<uint64_t>(entry.count, 4));
        std::fill(d.bitsPerSample, d.bitsPerSample + 4, 0);
        error = readValues(source, entry, d.bitsPerSample, d.bitsPerSampleCount, UINT32_MAX);
        break;
    case kTagCompression: error = readScalar(source, entry, d.compression); break;
    case kTagStripOffsets: d.stripOffsets = entry, d.haveStripOffsets = true; break;
    case kTagSamplesPerPixel: error = readScalar(source, entry, d.samplesPerPixel); break;
    case kTagRowsPerStrip: error = readScalar(source, entry, d.rowsPerStrip); break;
    case kTagStripByteCounts: d.stripByteCounts = entry, d.haveStripByteCounts = true; break;
    case kTagPlanarConfig: error = readScalar(source, entry, d.planarConfig); break;
    case kTagTileWidth:
    case kTagTileOffsets: d.tiled = true; break;
    case kTagSampleFormat:
        // One value per sample; the first stands for all (the terrain reads one sample).
        error = readValues(source, entry, &d.sampleFormat, std::min<uint64_t>(entry.count, 1), UINT32_MAX);
        break;
    default:
        // PhotometricInterpretation and the rest do not locate pixels.
        break;
    }
    if (d.error.empty())
        d.error = error;
}

// Reads the directory at offset: its entries into d, the next directory's offset into next.
bool readDirectory(const Source& source, uint64_t offset, Directory& d, uint64_t& next,
                   std::vector<uint8_t>& bytes)
{
    const uint32_t countSize = source.bigTiff ? 8 : 2;
    uint8_t countBytes[8];
    if (offset > source.fileSize || source.fileSize - offset < countSize ||
        !readAt(source.file, offset, countBytes, countSize))
    {
        refuse(source, "Error: TIFF directory past end of file\n");
        return false;
    }
    const uint64_t entryCount = source.bigTiff ? getU64(countBytes) : getU16(countBytes);
    if (entryCount > kMaxEntries)
    {
        refuse(source, "Error: TIFF directory with %" PRIu64 " entries\n", entryCount);
        return false;
    }
    // The entries and the next directory's offset, read at once.
    const uint64_t directoryBytes = entryCount * source.entrySize() + source.valueSize();
    bytes.resize(directoryBytes);
    if (source.fileSize - offset - countSize < directoryBytes ||
        std::fread(bytes.data(), 1, directoryBytes, source.file) != directoryBytes)
    {
        refuse(source, "Error: Truncated TIFF directory\n");
        return false;
    }
    for (uint64_t i = 0; i < entryCount; ++i)
    {
        const uint8_t* p = bytes.data() + i * source.entrySize();
        Entry entry;
        entry.tag = getU16(p);
        entry.type = getU16(p + 2);
        entry.count = source.bigTiff ? getU64(p + 4) : getU32(p + 4);
        std::memcpy(entry.value, p + (source.bigTiff ? 12 : 8), source.valueSize());
        takeEntry(source, entry, d);
    }
    next = source.offsetAt(bytes.data() + entryCount * source.entrySize());
    return true;
}

// Follows the chain of directories from the header. The chain is bounded: a directory must lie
// wholly inside the file, hold at most kMaxEntries entries, not be visited twice, and there are
// at most kMaxDirectories of them.
bool walkDirectories(const Source& source, uint64_t firstDirectory, std::vector<Directory>& directories)
{
    std::vector<uint64_t> visited;
    std::vector<uint8_t> bytes;
    for (uint64_t offset = firstDirectory; offset != 0;)
    {
        if (std::find(visited.begin(), visited.end(), offset) != visited.end())
        {
            refuse(source, "Error: TIFF directory chain loops\n");
            return false;
        }
        if (visited.size() == kMaxDirectories)
        {
            refuse(source, "Error: More than %u TIFF directories\n", kMaxDirectories);
            return false;
        }
        visited.push_back(offset);
        directories.emplace_back();
        if (!readDirectory(source, offset, directories.back(), offset, bytes))
            return false;
    }
    if (directories.empty())
    {
        refuse(source, "Error: TIFF file without an image\n");
        return false;
    }
    return true;
}

// The first image at full resolution: reduced-resolution overviews and masks are extras of the
// image they belong to. A file of extras only opens its first.
size_t chooseDirectory(const std::vector<Directory>& directories)
{
    for (size_t i = 0; i < directories.size(); ++i)
        if (!(directories[i].subfileType & (kSubfileReduced | kSubfileMask)))
            return i;
    return 0;
}

const char* compressionName(uint32_t compression)
{
    switch (compression)
    {
    case 2: return "CCITT";
    case 5: return "LZW";
    case 6:
    case 7: return "JPEG";
    case 8:
    case 32946: return "Deflate";
    case 32773: return "PackBits";
    case 34925: return "LZMA";
    case 50000: return "ZSTD";
    case 50001: return "WebP";
    default: return nullptr;
    }
}

// Applies TIFF's defaults and refuses what pixel addressing cannot handle.
bool checkLayout(const Source& source, const Directory& d, TiffFile& tiff, TiffRefusal& refusal)
{
    refusal = TiffRefusal::unsupported;
    if (d.compression != 1)
    {
        refuse(source, "Error: Image compressed\n");
        if (const char* name = compressionName(d.compression))
            refuse(source, "Error: %s cannot be streamed: compressed (%s)\n", source.name, name);
        else
            refuse(source, "Error: %s cannot be streamed: compressed (scheme %u)\n", source.name,
                            d.compression);
        return false;
    }
    if (d.tiled)
    {
        refuse(source, "Error: %s cannot be streamed: tiled\n", source.name);
        return false;
    }
    refusal = TiffRefusal::damaged;
    if (d.width == 0 || d.height == 0)
    {
        refuse(source, "Error: Invalid image size %u x %u\n", d.width, d.height);
        return false;
    }
    if (d.samplesPerPixel == 0 || d.samplesPerPixel > kMaxShort)
    {
        refuse(source, "Error: Invalid SamplesPerPixel %u\n", d.samplesPerPixel);
        return false;
    }
    const uint32_t* bits = d.bitsPerSample;
    if (d.samplesPerPixel > 1)
        printDiagnostic("bps: %d %d %d %d\n", static_cast<int>(bits[0]), static_cast<int>(bits[1]),
                        static_cast<int>(bits[2]), static_cast<int>(bits[3]));
    refusal = TiffRefusal::unsupported;
    if (bits[0] == 0 || bits[0] % 8 != 0 || bits[0] > kMaxShort)
    {
        refuse(source, "Error: Unsupported BitsPerSample %u\n", bits[0]);
        return false;
    }
    // Pixels are copied as bytesPerPixel() blocks, so every sample must be as wide as the first
    // (libtiff refuses differing widths as well). A single value stands for all samples.
    for (uint32_t i = 1; i < std::min(d.bitsPerSampleCount, d.samplesPerPixel); ++i)
        if (bits[i] != bits[0])
        {
            refuse(source, "Error: Samples of different widths\n");
            return false;
        }
    if (d.planarConfig == 2 && d.samplesPerPixel > 1)
    {
        refuse(source, "Error: %s cannot be streamed: samples in separate planes\n", source.name);
        return false;
    }
    refusal = TiffRefusal::damaged;
    tiff.width = d.width;
    tiff.height = d.height;
    tiff.samplesPerPixel = d.samplesPerPixel;
    tiff.bitsPerSample = bits[0];
    tiff.sampleFormat = d.sampleFormat;
    tiff.rowsPerStrip = d.rowsPerStrip == 0 || d.rowsPerStrip > d.height ? d.height : d.rowsPerStrip;
    return true;
}

// Reads the strip table: SHORT, LONG or LONG8 positions, in the entry itself when they fit in
// its value field, else at its offset.
bool readStripTable(const Source& source, const Directory& d, TiffFile& tiff)
{
    const Entry& entry = d.stripOffsets;
    if (!d.haveStripOffsets || entry.count == 0)
    {
        refuse(source, "Error: Missing StripOffsets\n");
        return false;
    }
    if (entry.type != kTypeShort && entry.type != kTypeLong && entry.type != kTypeLong8)
    {
        refuse(source, "Error: Tag %d has unsupported type %d\n", entry.tag, entry.type);
        return false;
    }
    // The table must lie in the file (readValues checks it again, exactly), which bounds the
    // allocation by the file size before it is made.
    if (entry.count > UINT32_MAX || (entry.count * integerTypeSize(entry.type) > source.valueSize() &&
                                     entry.count * integerTypeSize(entry.type) > source.fileSize))
    {
        refuse(source, "Error: Tag %d values past end of file\n", entry.tag);
        return false;
    }
    tiff.stripOffsets.reset(new (std::nothrow) uint64_t[entry.count]);
    if (!tiff.stripOffsets)
    {
        refuse(source, "Error: No memory for %" PRIu64 " strips\n", entry.count);
        return false;
    }
    tiff.stripCount = uint32_t(entry.count);
    const std::string error = readValues(source, entry, tiff.stripOffsets.get(), entry.count, UINT64_MAX);
    if (!error.empty())
        refuse(source, "%s", error.c_str());
    return error.empty();
}

// Every strip the image needs is in the table and lies wholly in the file (below 4 GiB for
// classic TIFF), and no StripByteCounts value says it holds less than its rows: otherwise the
// image's pixels are not in the file, whatever the header says.
bool checkPixelData(const Source& source, const Directory& d, const TiffFile& tiff)
{
    const uint64_t rows = tiff.rowsPerStrip;
    const uint64_t needed = (uint64_t(tiff.height) + rows - 1) / rows;
    if (tiff.stripCount < needed)
    {
        refuse(source, "Error: Image needs %" PRIu64 " strips, StripOffsets has %u\n", needed, tiff.stripCount);
        return false;
    }
    std::vector<uint64_t> byteCounts;
    if (d.haveStripByteCounts)
    {
        const Entry& counts = d.stripByteCounts;
        if (counts.count < needed)
        {
            refuse(source, "Error: StripByteCounts has %" PRIu64 " values for %" PRIu64 " strips\n",
                            counts.count, needed);
            return false;
        }
        byteCounts.resize(size_t(needed));
        const std::string error = readValues(source, counts, byteCounts.data(), needed, UINT64_MAX);
        if (!error.empty())
        {
            refuse(source, "%s", error.c_str());
            return false;
        }
    }
    const uint64_t limit = source.bigTiff ? source.fileSize : std::min(source.fileSize, kClassicLimit);
    const uint64_t rowBytes = uint64_t(tiff.width) * tiff.bytesPerPixel(); // below 2^61
    for (uint64_t k = 0; k < needed; ++k)
    {
        const uint64_t rowsInStrip = std::min(rows, tiff.height - k * rows);
        // Strip bytes compared by division first: they may exceed 64 bits for a huge header.
        if (rowsInStrip > limit / rowBytes || tiff.stripOffsets[k] > limit ||
            rowsInStrip * rowBytes > limit - tiff.stripOffsets[k])
        {
            refuse(source, "Error: Strip %" PRIu64 " of %u x %u pixels lies past the end of the file\n", k,
                            tiff.width, tiff.height);
            return false;
        }
        // A count of 0 says nothing (some writers leave it so); libtiff then goes by the rows too.
        if (!byteCounts.empty() && byteCounts[k] != 0 && byteCounts[k] < rowsInStrip * rowBytes)
        {
            refuse(source, "Error: Strip %" PRIu64 " holds %" PRIu64 " bytes, its rows need %" PRIu64 "\n", k,
                            byteCounts[k], rowsInStrip * rowBytes);
            return false;
        }
    }
    return true;
}

// Reads everything that locates the pixels of the chosen image into tiff.
bool readFile(TiffFile& tiff, const char* fileName, TiffRefusal& refusal, std::string* reason)
{
    Source source;
    source.file = tiff.file;
    source.name = fileName;
    source.reason = reason;
    uint64_t firstDirectory = 0;
    std::vector<Directory> directories;
    if (!readHeader(source, firstDirectory, refusal) || !walkDirectories(source, firstDirectory, directories))
        return false;
    const size_t chosen = chooseDirectory(directories);
    const Directory& d = directories[chosen];
    tiff.fileSize = source.fileSize;
    tiff.bigTiff = source.bigTiff;
    tiff.directory = uint32_t(chosen);
    tiff.directoryCount = uint32_t(directories.size());
    if (!d.error.empty())
    {
        refuse(source, "%s", d.error.c_str());
        return false;
    }
    if (!checkLayout(source, d, tiff, refusal) || !readStripTable(source, d, tiff) ||
        !checkPixelData(source, d, tiff))
        return false;
    return stampFile(tiff.file, tiff.stamp);
}
} // namespace

TiffFile* openTiff(const char* fileName, int mode, TiffRefusal* refusal)
{
    return openTiff(fileName, mode, refusal, nullptr);
}

TiffFile* openTiff(const char* fileName, int mode, TiffRefusal* refusal, std::string* reason)
{
    if (reason)
        reason->clear();
    TiffRefusal ignored = TiffRefusal::none;
    TiffRefusal& why = refusal ? *refusal : ignored;
    why = TiffRefusal::cannotOpen;
    const char* streamMode = mode == 1 ? "rb" : mode == 2 ? "wb" : mode == 3 ? "r+b" : nullptr;
    if (!fileName || !streamMode)
        return nullptr;
    FILE* file = std::fopen(fileName, streamMode);
    if (!file)
    {
        if (reason)
            *reason = std::strerror(errno);
        return nullptr;
    }
    TiffPtr tiff(new (std::nothrow) TiffFile);
    if (!tiff)
    {
        std::fclose(file);
        return nullptr;
    }
    tiff->file = file;
    tiff->writable = mode != 1;
    if (!readFile(*tiff, fileName, why, reason))
        return nullptr;
    why = TiffRefusal::none;
    return tiff.release();
}

TiffChange checkTiffFile(const TiffFile* tiff, const char* fileName)
{
    if (!tiff || !tiff->file)
        return TiffChange::none;
    TiffFileStamp now;
    if (!stampFile(tiff->file, now))
        return TiffChange::modified;
    if (now.size < tiff->stamp.size)
        return TiffChange::truncated;
    if (now.size != tiff->stamp.size || now.modifiedNanoseconds != tiff->stamp.modifiedNanoseconds)
        return TiffChange::modified;
    struct stat named;
    if (!fileName || stat(fileName, &named) != 0)
        return TiffChange::removed;
    if (uint64_t(named.st_dev) != now.device || uint64_t(named.st_ino) != now.inode)
        return TiffChange::replaced;
    return TiffChange::none;
}
