#pragma once

// What the TIFF module's reader, writer and pixel transfers share: the numbers of the format
// (TIFF 6.0) and little-endian byte access. Private to the module.

#include "heightmap/Tiff.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <limits>

// Positions above 2 GiB are set with fseeko; a 32-bit off_t would cut them.
static_assert(sizeof(off_t) >= 8, "the TIFF module needs a 64-bit off_t");

namespace tiff_format
{
// Field types of a directory entry (TIFF 6.0, section 2; LONG8 from BigTIFF).
constexpr uint16_t kTypeByte = 1;
constexpr uint16_t kTypeAscii = 2;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeRational = 5;
constexpr uint16_t kTypeLong8 = 16;

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
constexpr uint16_t kTagPlanarConfig = 284;
constexpr uint16_t kTagSoftware = 305;
constexpr uint16_t kTagDateTime = 306;
constexpr uint16_t kTagPredictor = 317;
constexpr uint16_t kTagTileWidth = 322;
constexpr uint16_t kTagTileOffsets = 324;
constexpr uint16_t kTagSampleFormat = 339;

// NewSubfileType bits: a reduced-resolution version of another image, a transparency mask.
constexpr uint32_t kSubfileReduced = 1;
constexpr uint32_t kSubfileMask = 4;

// "II" (little-endian byte order) and 42 as a little-endian 16-bit number.
constexpr uint8_t kHeaderMagic[4] = {0x49, 0x49, 0x2A, 0x00};
// BigTIFF: "II", 43, then the size of an offset (8) and a reserved 0, each 16 bits.
constexpr uint8_t kBigHeaderMagic[4] = {0x49, 0x49, 0x2B, 0x00};

// Classic TIFF addresses its file with 32-bit offsets: no byte of it lies at 4 GiB or beyond.
constexpr uint64_t kClassicLimit = uint64_t(1) << 32;

// A chain longer than this is taken for a damaged file; heightmaps have one directory, and
// multi-page files seldom more than a few dozen.
constexpr uint32_t kMaxDirectories = 1024;
// Same bound as libtiff's directory reader: a larger count means the offset does not point at
// a directory at all.
constexpr uint32_t kMaxEntries = 4096;
constexpr uint32_t kEntrySize = 12;
constexpr uint32_t kBigEntrySize = 20;

// TIFF 6.0 gives SamplesPerPixel and BitsPerSample the type SHORT. Larger values (possible
// only through a LONG entry) are refused; this bound also keeps bytesPerPixel() below 2^29.
constexpr uint32_t kMaxShort = 0xFFFF;

inline uint16_t getU16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t getU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t getU64(const uint8_t* p)
{
    return uint64_t(getU32(p)) | uint64_t(getU32(p + 4)) << 32;
}

inline void putU16(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

inline void putU32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

inline void putU64(uint8_t* p, uint64_t value)
{
    putU32(p, uint32_t(value));
    putU32(p + 4, uint32_t(value >> 32));
}

inline bool seekTo(FILE* file, uint64_t position)
{
    if (position > uint64_t(std::numeric_limits<off_t>::max()))
        return false;
    return fseeko(file, off_t(position), SEEK_SET) == 0;
}

inline bool readAt(FILE* file, uint64_t position, void* data, size_t size)
{
    return seekTo(file, position) && std::fread(data, 1, size, file) == size;
}

// Rows per strip as pixel addressing uses it: a record made by openTiff or createTiff always
// has 1..height; TIFF's default (one strip for the whole image) stands in for anything else.
inline uint32_t stripRows(const TiffFile& tiff)
{
    return tiff.rowsPerStrip == 0 || tiff.rowsPerStrip > tiff.height ? tiff.height
                                                                      : tiff.rowsPerStrip;
}

// The file's identity, size and time of last change, as the record's stamp keeps them.
inline bool stampFile(FILE* file, TiffFileStamp& stamp)
{
    struct stat status;
    if (fstat(fileno(file), &status) != 0)
        return false;
    stamp.device = uint64_t(status.st_dev);
    stamp.inode = uint64_t(status.st_ino);
    stamp.size = uint64_t(status.st_size);
    stamp.modifiedNanoseconds = int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return true;
}

// The end of the bytes a record may address: 4 GiB for classic TIFF, whose offsets are 32 bits.
inline uint64_t positionLimit(const TiffFile& tiff)
{
    return tiff.bigTiff ? std::numeric_limits<uint64_t>::max() : kClassicLimit;
}
} // namespace tiff_format
