// Pixels and rectangles between a TIFF file and memory, at positions found by arithmetic.

#include "heightmap/TiffFormat.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

using namespace tiff_format;

namespace
{
enum class Direction
{
    read,
    write
};

// Bytes of the block readPixel fetches at once, aligned to its own size; reads longer than
// kBlockedReadBytes (rows of a rectangle) go to the file directly.
constexpr uint64_t kReadBlockBytes = 4096;
constexpr uint64_t kBlockedReadBytes = 256;

// Moves up to `bytes` at a file position with one system call, move(descriptor, done, count,
// position) (a pread or a pwrite of count bytes, `done` bytes in), retried when interrupted or
// short; returns the bytes moved. The stream's buffer is never used, for reads or writes, so
// nothing buffered can be missed or written over.
template <class Move>
uint64_t moveFully(FILE* file, uint64_t position, uint64_t bytes, const Move& move)
{
    const int descriptor = fileno(file);
    uint64_t done = 0;
    while (done < bytes && position + done <= uint64_t(std::numeric_limits<off_t>::max()))
    {
        const ssize_t moved = move(descriptor, done, size_t(bytes - done), off_t(position + done));
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            break;
        done += uint64_t(moved);
    }
    return done;
}

uint64_t preadFully(FILE* file, uint64_t position, uint8_t* data, uint64_t bytes)
{
    return moveFully(file, position, bytes, [data](int descriptor, uint64_t done, size_t count, off_t at) {
        return pread(descriptor, data + done, count, at);
    });
}

uint64_t pwriteFully(FILE* file, uint64_t position, const uint8_t* data, uint64_t bytes)
{
    return moveFully(file, position, bytes, [data](int descriptor, uint64_t done, size_t count, off_t at) {
        return pwrite(descriptor, data + done, count, at);
    });
}

// Whether a read of the byte at position would wait for the disk: the page is not in the
// system's file cache. Where the system cannot tell (a kernel or file system without
// non-blocking buffered reads), it reads as cached, and nothing is asked for ahead.
bool wouldWait(FILE* file, uint64_t position)
{
    uint8_t byte = 0;
    iovec vector{&byte, 1};
    return preadv2(fileno(file), &vector, 1, off_t(position), RWF_NOWAIT) < 0 && errno == EAGAIN;
}

// Asks the system to read `bytes` at position into its file cache in the background.
void adviseRange(FILE* file, uint64_t position, uint64_t bytes)
{
    const uint64_t limit = uint64_t(std::numeric_limits<off_t>::max());
    if (bytes > 0 && position <= limit)
        posix_fadvise(fileno(file), off_t(position), off_t(std::min(bytes, limit - position)), POSIX_FADV_WILLNEED);
}

// Moves count items of size bytes at a file position; returns the items moved whole.
// Both go straight to the file, without the stream: a read through the block (a pixel's) comes
// from the record's block, fetched when the pixel is not in it; any other read (a row of a
// rectangle) is read as it is, touching nothing of the record. A write is one system call that
// counts only what the file took (a full disk counts less), and empties the block.
size_t transferAt(TiffFile* tiff, uint64_t position, Direction direction, void* data, size_t size, size_t count,
                  bool throughBlock)
{
    const uint64_t bytes = uint64_t(size) * count;
    if (position > uint64_t(std::numeric_limits<off_t>::max()) || bytes == 0)
        return 0;
    if (direction == Direction::read)
    {
        uint8_t* out = static_cast<uint8_t*>(data);
        if (!throughBlock || bytes > kBlockedReadBytes)
            return size_t(preadFully(tiff->file, position, out, bytes) / size);
        const bool inBlock = position >= tiff->readBlockStart &&
                             position - tiff->readBlockStart + bytes <= tiff->readBlockBytes;
        if (!inBlock)
        {
            if (!tiff->readBlock)
                tiff->readBlock.reset(new uint8_t[kReadBlockBytes]);
            tiff->readBlockStart = position / kReadBlockBytes * kReadBlockBytes;
            tiff->readBlockBytes = preadFully(tiff->file, tiff->readBlockStart, tiff->readBlock.get(), kReadBlockBytes);
            // A pixel may straddle the block's end: it is read on its own.
            if (position - tiff->readBlockStart + bytes > tiff->readBlockBytes)
                return size_t(preadFully(tiff->file, position, out, bytes) / size);
        }
        std::memcpy(out, tiff->readBlock.get() + (position - tiff->readBlockStart), size_t(bytes));
        return count;
    }
    tiff->readBlockBytes = 0;
    return size_t(pwriteFully(tiff->file, position, static_cast<const uint8_t*>(data), bytes) / size);
}

// After the record's own writes, the file as they left it is the one to compare with: only
// changes made by others count as changes on disk.
void restamp(TiffFile* tiff, Direction direction, uint64_t transferred)
{
    if (direction == Direction::write && transferred > 0)
        stampFile(tiff->file, tiff->stamp);
}

uint32_t transferPixel(TiffFile* tiff, uint32_t x, uint32_t y, void* pixel, Direction direction)
{
    if (!tiff || !tiff->file || !pixel)
        return 0;
    const uint64_t position = pixelOffset(tiff, x, y);
    if (position == kNoPixel)
        return 0;
    const size_t samples =
        transferAt(tiff, position, direction, pixel, tiff->bitsPerSample / 8, tiff->samplesPerPixel, true);
    restamp(tiff, direction, samples);
    return uint32_t(samples);
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

    // A rectangle fresh from the disk is read a row at a time, each read waiting for the one
    // before: when its first row is not in the file cache, the system is asked for every row at
    // once, and reads them side by side while the rows are copied out as they arrive.
    const uint64_t rowBytes = rowPixels * pixelBytes;
    if (direction == Direction::read && bottom - top >= 2)
    {
        const uint64_t first = pixelOffset(tiff, uint32_t(left), uint32_t(top));
        if (first != kNoPixel && wouldWait(tiff->file, first))
            for (int64_t row = top; row < bottom; ++row)
                if (const uint64_t position = pixelOffset(tiff, uint32_t(left), uint32_t(row)); position != kNoPixel)
                    adviseRange(tiff->file, position, rowBytes);
    }

    uint64_t total = 0;
    for (int64_t row = top; row < bottom; ++row)
    {
        const uint64_t position = pixelOffset(tiff, uint32_t(left), uint32_t(row));
        if (position == kNoPixel)
            continue;
        // A row of a record not made by openTiff may run past what its format addresses.
        const uint64_t count = std::min(rowPixels, (positionLimit(*tiff) - position) / pixelBytes);
        const uint64_t bufferPixel = uint64_t(row - y) * uint64_t(w) + skip;
        total += transferAt(tiff, position, direction, bytes + bufferPixel * pixelBytes, pixelBytes, count, false);
    }
    restamp(tiff, direction, total);
    return total;
}

} // namespace

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
    // Below 2^64: both factors are below 2^32. The rest is checked before it is computed: an
    // opened record's pixels all lie in its file, but a record may be made by hand.
    const uint64_t pixelInStrip = x + rowInStrip * tiff->width;
    const uint64_t limit = positionLimit(*tiff);
    const uint64_t start = tiff->stripOffsets[strip];
    if (start > limit || limit - start < pixelBytes || pixelInStrip > (limit - start - pixelBytes) / pixelBytes)
        return kNoPixel;
    return start + pixelInStrip * pixelBytes;
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

uint64_t adviseRows(const TiffFile* tiff, const uint32_t* rows, size_t count)
{
    if (!tiff || !tiff->file || !rows)
        return 0;
    const uint64_t rowBytes = uint64_t(tiff->width) * tiff->bytesPerPixel();
    uint64_t advised = 0;
    uint64_t start = 0;
    uint64_t end = 0; // the run of contiguous rows asked for together: [start, end)
    for (size_t k = 0; k < count; ++k)
    {
        const uint64_t position = pixelOffset(tiff, 0, rows[k]);
        if (position == kNoPixel || (k > 0 && rows[k] == rows[k - 1]))
            continue;
        if (position != end)
        {
            adviseRange(tiff->file, start, end - start);
            advised += end - start;
            start = position;
        }
        end = std::min(position + rowBytes, positionLimit(*tiff));
    }
    adviseRange(tiff->file, start, end - start);
    return advised + (end - start);
}

void closeTiff(TiffFile* tiff)
{
    // The record closes its stream and frees its table as it goes.
    std::unique_ptr<TiffFile> owned(tiff);
}
