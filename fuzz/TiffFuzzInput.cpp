#include "TiffFuzzInput.h"

#include "heightmap/Tiff.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace
{
// Larger pixels are only located, not read: a 4 KB input cannot hold more.
constexpr uint32_t kMaxPixelBytes = 4096;
constexpr uint8_t kFill = 0xA5;

void check(bool ok, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "TIFF fuzz check failed: %s\n", what);
    std::abort();
}

// The input goes to a file that has no name in any folder: made once per process and unlinked
// at once, so nothing is left behind however the process ends, and reopened through
// /proc/self/fd by name, as openTiff wants one.
struct Scratch
{
    int fd = -1;
    std::string name;
};

const Scratch& scratch()
{
    static const Scratch file = [] {
        Scratch made;
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tiff_fuzz_XXXXXX").string();
        made.fd = mkstemp(pattern.data());
        check(made.fd >= 0, "cannot make a scratch file");
        unlink(pattern.c_str());
        made.name = "/proc/self/fd/" + std::to_string(made.fd);
        return made;
    }();
    return file;
}

void writeScratch(const uint8_t* data, size_t size)
{
    const int fd = scratch().fd;
    check(ftruncate(fd, 0) == 0, "cannot empty the scratch file");
    for (size_t done = 0; done < size;)
    {
        const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
        check(n > 0, "cannot write the scratch file");
        done += size_t(n);
    }
}

// Choices derived from the input's last bytes, which TIFF readers ignore, so the fuzzer can
// steer the reads without changing the file's structure.
class Choices
{
public:
    Choices(const uint8_t* data, size_t size)
    {
        state = 0x9E3779B97F4A7C15ull ^ size;
        for (size_t i = size > 16 ? size - 16 : 0; i < size; ++i)
            state = (state ^ data[i]) * 0x100000001B3ull;
    }
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return uint32_t(state >> 16);
    }
    // A corner coordinate for an image side of size pixels: before, inside and near the end of
    // the image, and where adding a size overflows 32 bits.
    int32_t corner(uint32_t size)
    {
        const int64_t side = std::min<int64_t>(size, INT32_MAX);
        switch (next() % 6)
        {
        case 0: return -int32_t(next() % 16);
        case 1: return int32_t(next() % side);
        case 2: return int32_t(std::max<int64_t>(side - next() % 8, INT32_MIN));
        case 3: return INT32_MAX - int32_t(next() % 8);
        case 4: return INT32_MIN + int32_t(next() % 8);
        default: return int32_t(next() % 8);
        }
    }
    // -2 to 11 pixels: empty, negative and small sizes.
    int32_t extent() { return int32_t(next() % 14) - 2; }

private:
    uint64_t state;
};

void checkRecord(const TiffFile& tiff, size_t size)
{
    check(tiff.file != nullptr, "record without a stream");
    check(tiff.width > 0 && tiff.height > 0, "empty image");
    check(tiff.bitsPerSample > 0 && tiff.bitsPerSample % 8 == 0, "bits per sample");
    check(tiff.samplesPerPixel > 0, "samples per pixel");
    check(tiff.rowsPerStrip >= 1 && tiff.rowsPerStrip <= tiff.height, "rows per strip");
    check(tiff.stripCount >= 1 && tiff.stripOffsets != nullptr, "strip table");
    check(tiff.fileSize == size, "file size");
    check(tiff.directory < tiff.directoryCount, "directory");
}

// A rectangle read against one readPixel per covered cell: the same pixels, every pixel of the
// image in the file, and nothing written to cells outside the image.
void checkRect(TiffFile* tiff, Choices& choices)
{
    const uint32_t pixelBytes = tiff->bytesPerPixel();
    const int32_t x = choices.corner(tiff->width);
    const int32_t y = choices.corner(tiff->height);
    const int32_t w = choices.extent();
    const int32_t h = choices.extent();
    const size_t cells = w > 0 && h > 0 ? size_t(w) * size_t(h) : 0;
    std::vector<uint8_t> buffer(std::max<size_t>(cells * pixelBytes, 1), kFill);
    const uint64_t count = readRect(tiff, x, y, w, h, buffer.data());
    if (cells == 0)
    {
        check(count == 0 && buffer[0] == kFill, "empty rectangle transferred");
        return;
    }

    std::vector<uint8_t> pixel(pixelBytes);
    uint64_t whole = 0;
    for (int64_t r = 0; r < h; ++r)
    {
        for (int64_t c = 0; c < w; ++c)
        {
            const uint8_t* cell = &buffer[size_t(r * w + c) * pixelBytes];
            const bool untouched =
                std::all_of(cell, cell + pixelBytes, [](uint8_t b) { return b == kFill; });
            const int64_t px = x + c;
            const int64_t py = y + r;
            if (px < 0 || py < 0 || px >= tiff->width || py >= tiff->height)
            {
                check(untouched, "cell outside the image written");
                continue;
            }
            const uint64_t position = pixelOffset(tiff, uint32_t(px), uint32_t(py));
            check(position != kNoPixel && position + pixelBytes <= tiff->fileSize, "pixel not in the file");
            check(readPixel(tiff, uint32_t(px), uint32_t(py), pixel.data()) == tiff->samplesPerPixel,
                  "pixel of an opened file not read");
            check(std::memcmp(cell, pixel.data(), pixelBytes) == 0, "rectangle and pixel differ");
            ++whole;
        }
    }
    check(count == whole, "rectangle count differs from the pixels it covers");

    // The stream is read-only: nothing may be written, and the refusal must not stick.
    check(writeRect(tiff, x, y, w, h, buffer.data()) == 0, "write to a read-only file");
}
} // namespace

int tiffFuzzInput(const uint8_t* data, size_t size)
{
    writeScratch(data, size);
    TiffFile* tiff = openTiff(scratch().name.c_str(), 1);
    if (!tiff)
        return 0;
    checkRecord(*tiff, size);

    Choices choices(data, size);
    for (int i = 0; i < 4; ++i)
    {
        // Anywhere, or inside the image and one past its end.
        const uint64_t width = tiff->width;
        const uint64_t height = tiff->height;
        const uint32_t x =
            choices.next() % 2 ? choices.next() : uint32_t(choices.next() % (width + 1));
        const uint32_t y =
            choices.next() % 2 ? choices.next() : uint32_t(choices.next() % (height + 1));
        const uint64_t position = pixelOffset(tiff, x, y);
        if (x >= tiff->width || y >= tiff->height)
            check(position == kNoPixel, "position outside the image");
        else
            check(position != kNoPixel && position + tiff->bytesPerPixel() <= tiff->fileSize,
                  "pixel of an opened file not in the file");
    }
    if (tiff->bytesPerPixel() <= kMaxPixelBytes)
    {
        for (int i = 0; i < 3; ++i)
            checkRect(tiff, choices);
    }
    closeTiff(tiff);
    return 0;
}
