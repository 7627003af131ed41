// The TIFF module's reads against plain stdio on the same bytes: readRect against one fseeko and
// one fread per row, readPixel against one fseeko and one 2-byte fread. The ratios show what the
// module's checks and its clipping cost over the stream itself.

#include "heightmap/Tiff.h"

#include <benchmark/benchmark.h>

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace
{
// A 16-bit heightmap of 4097 x 4097 samples (32 MiB), the terrain's usual 2^n + 1 side.
constexpr int kSide = 4097;
constexpr uint64_t kDataOffset = 258; // where createTiff puts the pixels

// Created once per run in a folder of its own, opened once (the open traces its tags), and
// removed at exit.
class Heightmap
{
public:
    static Heightmap& get()
    {
        static Heightmap heightmap;
        return heightmap;
    }

    std::string name;
    TiffFile* tiff = nullptr;

private:
    Heightmap()
    {
        dir = std::filesystem::temp_directory_path() /
              ("terrain_tiff_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        name = (dir / "heightmap.tif").string();
        const uint8_t ramp[] = {0x00, 0x10, 0x01, 0x10, 0x02, 0x10, 0x03, 0x10};
        closeTiff(createTiff(name.c_str(), kSide, kSide, 1, 16, 1, ramp, sizeof(ramp)));
        tiff = openTiff(name.c_str(), 1);
    }
    ~Heightmap()
    {
        closeTiff(tiff);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::filesystem::path dir;
};

int randomCorner(std::mt19937& rng, int size)
{
    return int(rng() % uint32_t(kSide - size + 1));
}

void BM_ReadRect(benchmark::State& state)
{
    TiffFile* tiff = Heightmap::get().tiff;
    if (!tiff)
    {
        state.SkipWithError("cannot create the heightmap");
        return;
    }
    const int size = int(state.range(0));
    std::vector<uint16_t> buffer(size_t(size) * size);
    std::mt19937 rng(1);
    for (auto _ : state)
    {
        const int x = randomCorner(rng, size);
        const int y = randomCorner(rng, size);
        benchmark::DoNotOptimize(readRect(tiff, x, y, size, size, buffer.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size * size * 2);
}
BENCHMARK(BM_ReadRect)->Arg(16)->Arg(64)->Arg(256)->Arg(1024)->Arg(kSide);

// Baseline: the same rows with one fseeko and one fread each, no checks.
void BM_FreadRect(benchmark::State& state)
{
    FILE* file = std::fopen(Heightmap::get().name.c_str(), "rb");
    if (!file)
    {
        state.SkipWithError("cannot open the heightmap");
        return;
    }
    const int size = int(state.range(0));
    std::vector<uint16_t> buffer(size_t(size) * size);
    std::mt19937 rng(1);
    for (auto _ : state)
    {
        const int x = randomCorner(rng, size);
        const int y = randomCorner(rng, size);
        size_t total = 0;
        for (int r = 0; r < size; ++r)
        {
            const uint64_t sample = uint64_t(y + r) * kSide + uint64_t(x);
            fseeko(file, off_t(kDataOffset + sample * 2), SEEK_SET);
            total += std::fread(&buffer[size_t(r) * size], 2, size_t(size), file);
        }
        benchmark::DoNotOptimize(total);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size * size * 2);
    std::fclose(file);
}
BENCHMARK(BM_FreadRect)->Arg(16)->Arg(64)->Arg(256)->Arg(1024)->Arg(kSide);

void BM_ReadPixel(benchmark::State& state)
{
    TiffFile* tiff = Heightmap::get().tiff;
    if (!tiff)
    {
        state.SkipWithError("cannot create the heightmap");
        return;
    }
    std::mt19937 rng(2);
    uint16_t sample = 0;
    for (auto _ : state)
    {
        const uint32_t x = rng() % kSide;
        const uint32_t y = rng() % kSide;
        benchmark::DoNotOptimize(readPixel(tiff, x, y, &sample));
        benchmark::DoNotOptimize(sample);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ReadPixel);

// Baseline: one fseeko and one 2-byte fread at a random sample.
void BM_FreadPixel(benchmark::State& state)
{
    FILE* file = std::fopen(Heightmap::get().name.c_str(), "rb");
    if (!file)
    {
        state.SkipWithError("cannot open the heightmap");
        return;
    }
    std::mt19937 rng(2);
    uint16_t sample = 0;
    for (auto _ : state)
    {
        const uint32_t x = rng() % kSide;
        const uint32_t y = rng() % kSide;
        fseeko(file, off_t(kDataOffset + (uint64_t(y) * kSide + x) * 2), SEEK_SET);
        benchmark::DoNotOptimize(std::fread(&sample, 2, 1, file));
        benchmark::DoNotOptimize(sample);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    std::fclose(file);
}
BENCHMARK(BM_FreadPixel);
} // namespace

BENCHMARK_MAIN();
