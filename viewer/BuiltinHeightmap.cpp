#include "BuiltinHeightmap.h"

#include "FractalHeightmap.h"
#include "heightmap/SampleRows.h"
#include "heightmap/Tiff.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <system_error>

namespace
{
namespace fs = std::filesystem;

// createTiff puts the pixel data right after the header and its one 16-entry directory.
constexpr uint64_t kPixelDataOffset = 258;
// Rows per band: 64 rows of a 4097-sample map are 512 KiB, the only copy besides the samples.
constexpr uint32_t kBandRows = 64;
// Changes whenever the generator's output changes, so that a cached map of an older kind is not
// taken for the current one.
constexpr int kGeneratorVersion = 1;
// Share of the progress bar that generation takes; writing takes the rest.
constexpr double kGenerationShare = 0.5;

void report(const ProgressFunction& progress, double fraction)
{
    if (progress)
        progress(fraction);
}
} // namespace

void shapeHeights(std::vector<uint16_t>& samples)
{
    // A table of all 65536 values keeps the pass exact and fast.
    std::vector<uint16_t> curve(65536);
    for (size_t s = 0; s < curve.size(); ++s)
        curve[s] = uint16_t(std::lround(65535.0 * std::pow(double(s) / 65535.0, 1.4)));
    for (uint16_t& sample : samples)
        sample = curve[sample];
}

bool writeHeightmapFile(const fs::path& file, const std::vector<uint16_t>& samples, uint32_t edge,
                        const ProgressFunction& progress, std::string& error)
{
    if (edge == 0 || samples.size() != size_t(edge) * edge)
    {
        error = "the samples do not form a square of " + std::to_string(edge) + " x " + std::to_string(edge);
        return false;
    }
    const fs::path partial = file.string() + "." + std::to_string(getpid()) + ".partial";
    TiffFile* tiff = createTiff(partial.c_str(), int(edge), int(edge), 1, 16, 1, nullptr, 0);
    if (!tiff)
    {
        error = "cannot create " + partial.string() + " (folder not writable or disk full)";
        std::error_code ignored;
        fs::remove(partial, ignored);
        return false;
    }

    // Each band goes through a small buffer of explicit little-endian bytes, whatever the host.
    std::vector<unsigned char> band(size_t(edge) * kBandRows * 2);
    bool written = true;
    for (uint32_t row = 0; row < edge && written; row += kBandRows)
    {
        const uint32_t rows = std::min(kBandRows, edge - row);
        writeSamples(samples.data() + size_t(row) * edge, band.data(), size_t(rows) * edge);
        written = writeRect(tiff, 0, int32_t(row), int32_t(edge), int32_t(rows), band.data()) ==
                  uint64_t(rows) * edge;
        report(progress, double(row + rows) / double(edge));
    }
    closeTiff(tiff);

    std::error_code status;
    if (written && fs::file_size(partial, status) == kPixelDataOffset + uint64_t(edge) * edge * 2 && !status)
        fs::rename(partial, file, status);
    else
        status = std::make_error_code(std::errc::io_error);
    if (status)
    {
        error = "cannot write " + file.string() + ": " + status.message() + " (disk full?)";
        std::error_code ignored;
        fs::remove(partial, ignored);
        return false;
    }
    return true;
}

bool isCompleteHeightmap(const fs::path& file, uint32_t edge)
{
    std::error_code error;
    const uintmax_t size = fs::file_size(file, error);
    return !error && size == kPixelDataOffset + uint64_t(edge) * edge * 2;
}

std::string builtinHeightmapName(uint32_t edge, uint32_t seed)
{
    return "fractal-" + std::to_string(edge) + "-seed" + std::to_string(seed) + "-v" +
           std::to_string(kGeneratorVersion) + ".tif";
}

bool ensureBuiltinHeightmap(const std::vector<fs::path>& folders, uint32_t edge, uint32_t seed,
                            const ProgressFunction& progress, BuiltinHeightmap& out, std::string& error)
{
    const std::string name = builtinHeightmapName(edge, seed);
    for (const fs::path& folder : folders)
        if (isCompleteHeightmap(folder / name, edge))
        {
            out = BuiltinHeightmap{folder / name, false, 0.0};
            return true;
        }

    const auto start = std::chrono::steady_clock::now();
    report(progress, 0.0);
    // Generated once; the bands are written straight from these samples.
    std::vector<uint16_t> samples = FractalHeightmap::generate(edge, seed, kBuiltinRoughness);
    shapeHeights(samples);
    report(progress, kGenerationShare);

    std::string reasons;
    for (const fs::path& folder : folders)
    {
        std::error_code created;
        fs::create_directories(folder, created);
        std::string why;
        if (created)
            why = "cannot create " + folder.string() + ": " + created.message();
        else if (writeHeightmapFile(folder / name, samples, edge,
                                    [&progress](double fraction) {
                                        report(progress, kGenerationShare + (1.0 - kGenerationShare) * fraction);
                                    },
                                    why))
        {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            out = BuiltinHeightmap{folder / name, true, seconds};
            return true;
        }
        reasons += (reasons.empty() ? "" : "; ") + why;
    }
    error = "cannot write the built-in heightmap: " + (reasons.empty() ? std::string("no folder") : reasons);
    return false;
}
