#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// A small reader and writer for uncompressed, little-endian, strip-organised TIFF files, classic
// or BigTIFF. Pixels are copied byte for byte between the file and the caller's buffer: the
// caller knows what a pixel means (the terrain reads one unsigned 16-bit height sample per
// pixel), and SampleFormat is reported for it to check.
//
// Refused at open, with the reason: big-endian files, compression, tiles, separate sample
// planes, sample widths that are not whole bytes, samples of differing widths, and any file
// whose pixel data does not lie wholly inside it. Of several images in one file, the first one
// at full resolution is opened (reduced-resolution overviews and masks are skipped).
//
// Every count and offset read from the file is checked before use: a damaged or hostile file
// yields no record (with a line on standard output saying why), never a crash, a hang, a read
// outside the file or the caller's buffer, or pixels read as zeros. Opening also traces every
// directory entry on standard output ("Tag: tag type count value", and "bps: ..." for images of
// several samples).
//
// Thread: a TiffFile is used by one thread at a time (readPixel's block and the stamp are
// shared by all operations); the terrain serialises its uses with the height lock. The one
// exception is readRect, which reads only the record's fixed fields (size, layout, strip
// table) and the file: it may run while another thread uses the record.

// What a file was when it was opened, or when the record last wrote to it: enough to tell that
// it changed on disk since.
struct TiffFileStamp
{
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedNanoseconds = 0;
};

struct TiffFile
{
    TiffFile() = default;
    TiffFile(const TiffFile&) = delete;
    TiffFile& operator=(const TiffFile&) = delete;
    ~TiffFile()
    {
        if (file)
            std::fclose(file);
    }

    FILE* file = nullptr;         // owned: closed with the record
    uint32_t width = 0;           // pixels per row (ImageWidth), >= 1
    uint32_t height = 0;          // rows (ImageLength), >= 1
    // Bits of one sample (first BitsPerSample value): 8 to 65528 in steps of 8.
    uint32_t bitsPerSample = 0;
    uint32_t samplesPerPixel = 0; // samples in one pixel (SamplesPerPixel, default 1), 1..65535
    // Rows in each strip (RowsPerStrip): 1..height; the last strip may hold fewer.
    uint32_t rowsPerStrip = 0;
    // Entries in stripOffsets: at least the strips the image needs, each wholly in the file.
    uint32_t stripCount = 0;
    // File position of the first byte of each strip.
    std::unique_ptr<uint64_t[]> stripOffsets;
    uint64_t fileSize = 0;        // bytes in the file when it was opened or created
    bool bigTiff = false;         // 8-byte offsets (BigTIFF) rather than classic TIFF's 4
    bool writable = false;        // the stream was opened for writing as well as reading
    // SampleFormat: 1 unsigned integer (TIFF's default), 2 signed integer, 3 floating point,
    // 4 undefined.
    uint32_t sampleFormat = 1;
    uint32_t directory = 0;       // which image of the file this is, counting from 0
    uint32_t directoryCount = 0;  // images in the file
    TiffFileStamp stamp;          // the file as opened, or as last written through the record

    // The last block of the file that readPixel fetched: a patch build reads its samples one by
    // one, mostly close to the previous one, and one read of a block serves many of them. Any
    // write through the record empties it.
    std::unique_ptr<uint8_t[]> readBlock;
    uint64_t readBlockStart = 0;
    uint64_t readBlockBytes = 0; // 0: empty

    // Pixel size in bytes: whole bytes per sample times samples per pixel; below 2^29 for the
    // ranges above.
    uint32_t bytesPerPixel() const { return bitsPerSample / 8 * samplesPerPixel; }
};

// Why openTiff gave no record, for callers that tell their user what to do about it.
enum class TiffRefusal
{
    none,          // a record was made
    cannotOpen,    // the file does not exist or may not be read (nothing printed)
    notTiff,       // the first bytes are not a TIFF header (the file may be another image)
    unsupported,   // a valid TIFF of a kind this module does not stream: big-endian, compressed,
                   // tiled, separate planes, odd sample widths (libtiff reads it)
    damaged,       // counts or offsets that do not fit the file
};

// Opens an existing file.
// [in] fileName: zero-terminated path. [in] mode: 1 read-only ("rb"), 3 read-write ("r+b");
//   2 opens with "wb", which empties the file, so it always ends in "Invalid TIFF header".
// [out] refusal: when not null, why no record was made (TiffRefusal::none otherwise).
// Result: a new record owned by the caller (release it with closeTiff), or null when the mode is
// not 1 to 3, the file cannot be opened (nothing printed) or is not a usable TIFF file (lines on
// standard output say why: "Invalid TIFF header", "Error: Image compressed", or "Error: ...").
// TIFF's defaults stand in for tags the file leaves out: SamplesPerPixel 1, RowsPerStrip the
// whole image (also for 0 or more than the height), Compression none, SampleFormat unsigned.
TiffFile* openTiff(const char* fileName, int mode, TiffRefusal* refusal = nullptr);
// As above; [out] reason, when not null, receives why no record was made in a few words
// ("compressed (LZW)", "tiled", "big-endian", "not a TIFF file", "No such file or directory",
// the damage found), or is emptied when a record is made.
TiffFile* openTiff(const char* fileName, int mode, TiffRefusal* refusal, std::string* reason);

// Which TIFF createTiff writes: classic TIFF while the file fits in its 4 GiB and BigTIFF beyond
// (the default), classic only, or BigTIFF whatever the size.
enum class TiffKind
{
    classicWhenItFits,
    classic,
    big,
};

// Creates a single-strip file of width x height pixels: header, one directory of 16 entries,
// then the pixel data, filled: at byte 258 of a classic file, at byte 388 of a BigTIFF one (whose
// strip offset and byte count are LONG8). ImageWidth, ImageLength and RowsPerStrip are SHORT
// when they fit in 16 bits and LONG otherwise.
// [in] mode: 0 "rb" (nothing can be written, so always null), 1 "wb", 2 "w+b" (pixels can be
//   read back through the record).
// [in] fill: pattern repeated from the start of every 6000-byte block of pixel data (a pattern
//   whose size does not divide 6000 restarts with each block), or null for zeros; fillSize 0
//   with a non-null fill means fill holds the whole image. fillSize in bytes.
// Result: a record describing the file, stream left open for pixel writes; null for a mode
// outside 0 to 2, width or height <= 0, samplesPerPixel outside 1..65535, bitsPerSample not a
// multiple of 8 in 8..65528, pixel data beyond 256 TiB (or beyond 4 GiB - 258 bytes for
// TiffKind::classic), a file that cannot be opened, or a write that fails (a full disk; the
// partial file stays). Nothing is printed.
TiffFile* createTiff(const char* fileName, int width, int height, int samplesPerPixel,
                     int bitsPerSample, int mode, const void* fill, uint64_t fillSize,
                     TiffKind kind = TiffKind::classicWhenItFits);

// File position of pixel (x, y), or kNoPixel when the pixel lies outside the image or its strip
// is not in the strip table (neither happens for a pixel inside the image of an opened file).
constexpr uint64_t kNoPixel = ~uint64_t(0);
uint64_t pixelOffset(const TiffFile* tiff, uint32_t x, uint32_t y);

// One pixel between the file and a buffer of bytesPerPixel() bytes ([out] for readPixel, [in]
// for writePixel).
// Result: the number of samples transferred: samplesPerPixel on success, 0 when the pixel has
// no position, less on a short transfer (a file cut short since it was opened, a read-only
// stream, a full disk).
uint32_t readPixel(TiffFile* tiff, uint32_t x, uint32_t y, void* pixel);
uint32_t writePixel(TiffFile* tiff, uint32_t x, uint32_t y, const void* pixel);

// A rectangle of w x h pixels at (x, y) between the file and a buffer of w * h * bytesPerPixel()
// bytes laid out row by row, w pixels per row: image pixel (x + c, y + r) is buffer pixel
// r * w + c. x and y may be negative and the rectangle may reach past the image: only the part
// inside the image is transferred, and buffer cells outside it are not touched. w or h <= 0
// transfers nothing. One seek and one transfer per row.
// Result: the number of whole pixels the stream transferred.
uint64_t readRect(TiffFile* tiff, int32_t x, int32_t y, int32_t w, int32_t h, void* buffer);
uint64_t writeRect(TiffFile* tiff, int32_t x, int32_t y, int32_t w, int32_t h, const void* buffer);

// Asks the system to read whole rows of the image into its file cache in the background, all at
// once, ahead of the reads that will want them: a heightmap fresh from the disk is otherwise
// read a row at a time, each read waiting for the disk before the next is asked for. rows:
// image rows in increasing order; rows outside the image are skipped, adjacent ones asked for
// together. Reads nothing into the record and changes nothing; returns the bytes asked for.
// (readRect does the same for its own rows when the first of them is not in the file cache.)
uint64_t adviseRows(const TiffFile* tiff, const uint32_t* rows, size_t count);

// How the file behind a record stands now, against its stamp and against the file that its
// name gives now.
enum class TiffChange
{
    none,      // the same file, as it was
    modified,  // the same file, written to by something else since (its size or time changed)
    truncated, // the same file, now shorter than when it was opened
    replaced,  // the name now gives another file; the record still reads the one it opened
    removed,   // the name gives no file any more; the record still reads the one it opened
};
// [in] fileName: the name the record was opened by.
TiffChange checkTiffFile(const TiffFile* tiff, const char* fileName);

// Closes the stream (when open) and destroys the record. A null record is ignored.
void closeTiff(TiffFile* tiff);

// An open record owned in a type: closed when it goes.
struct TiffCloser
{
    void operator()(TiffFile* tiff) const { closeTiff(tiff); }
};
using TiffPtr = std::unique_ptr<TiffFile, TiffCloser>;
