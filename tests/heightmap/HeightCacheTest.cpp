// The movable height window on its own, fed by an in-memory map whose reads are counted.

#include "heightmap/HeightCache.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace
{
constexpr float kScale = 0.25f;

// A map of width x height samples, sample (x, z) = (x * 7 + z * 13) % 65536, with a reader that
// behaves like the file's: parts outside the map are left untouched.
struct Map
{
    int width, height;
    int reads = 0;
    bool failing = false; // reads of blocks that reach into the map fail, as a cut-off file's do
    HeightCache::BlockReader reader()
    {
        return [this](int x0, int z0, int n, uint16_t* samples) {
            reads += 1;
            bool inside = false;
            for (int z = 0; z < n; ++z)
                for (int x = 0; x < n; ++x)
                    if (x0 + x >= 0 && x0 + x < width && z0 + z >= 0 && z0 + z < height)
                    {
                        samples[z * n + x] = failing ? 0 : sample(x0 + x, z0 + z);
                        inside = true;
                    }
            return !(failing && inside);
        };
    }
    static uint16_t sample(int x, int z) { return uint16_t((x * 7 + z * 13) % 65536); }
};

// Every sample of the map that the window holds has the file's height; the window spans 2N.
void expectWindowMatchesMap(const HeightCache& cache, const Map& map)
{
    int held = 0;
    for (int z = -2; z < map.height + 2; ++z)
        for (int x = -2; x < map.width + 2; ++x)
        {
            float height;
            if (!cache.lookup(x, z, height))
                continue;
            ASSERT_GE(x, cache.cacheCentreX - cache.cacheHalfSize);
            ASSERT_LT(x, cache.cacheCentreX + cache.cacheHalfSize);
            if (x < 0 || z < 0 || x >= map.width || z >= map.height)
                continue; // held but never asked for: the terrain rejects such samples first
            ++held;
            ASSERT_EQ(height, float(Map::sample(x, z)) * kScale) << x << "," << z;
        }
    const bool overlaps = cache.cacheMaxX > 0 && cache.cacheMinX < map.width && cache.cacheMaxZ > 0 &&
                          cache.cacheMinZ < map.height;
    EXPECT_EQ(held > 0, overlaps);
}
} // namespace

TEST(HeightCache, SizeIsTheWindowEdgeAndNegativeSizesTurnItOff)
{
    HeightCache cache;
    cache.setSize(1024);
    EXPECT_EQ(cache.cacheHalfSize, 512);
    cache.setSize(1025);
    EXPECT_EQ(cache.cacheHalfSize, 512);
    cache.setSize(-64);
    EXPECT_EQ(cache.cacheHalfSize, 0);
    cache.setSize(1 << 30);
    EXPECT_EQ(cache.cacheHalfSize, HeightCache::kMaxHalfSize);

    Map map{256, 256};
    cache.setSize(0);
    EXPECT_EQ(cache.update(100, 100, kScale, map.reader()), 0);
    float height;
    EXPECT_FALSE(cache.lookup(100, 100, height));
}

TEST(HeightCache, BlockMovesReadOnlyTheBlocksThatAreNew)
{
    Map map{2000, 2000};
    HeightCache cache;
    cache.setSize(128); // N = 64
    const int n = 64;
    // Centre the window on cell (5, 3): the first update reads all four blocks.
    EXPECT_EQ(cache.update(5 * n, 3 * n, kScale, map.reader()), 4);
    EXPECT_EQ(cache.cacheCentreX, 5 * n);
    EXPECT_EQ(cache.cacheCentreZ, 3 * n);
    expectWindowMatchesMap(cache, map);

    struct Move
    {
        int dx, dz;
        int reads;
        std::vector<std::pair<int, int>> kept; // (new slot, old block)
    };
    const Move moves[] = {
        {+1, 0, 2, {{0, 1}, {2, 3}}}, {-1, 0, 2, {{1, 0}, {3, 2}}}, {+1, +1, 3, {{0, 3}}},
        {-1, -1, 3, {{3, 0}}},        {+1, -1, 3, {{2, 1}}},        {-1, +1, 3, {{1, 2}}},
        {0, +1, 4, {}},               {0, -1, 4, {}},               {+2, 0, 4, {}},
    };
    for (const Move& move : moves)
    {
        SCOPED_TRACE(testing::Message() << "move " << move.dx << "," << move.dz);
        const float* before[4];
        for (int i = 0; i < 4; ++i)
            before[i] = cache.cacheBlocks[i].get();
        const int targetX = cache.cacheCentreX + move.dx * n;
        const int targetZ = cache.cacheCentreZ + move.dz * n;
        EXPECT_EQ(cache.update(float(targetX), float(targetZ), kScale, map.reader()), move.reads);
        EXPECT_EQ(cache.cacheCentreX, targetX);
        EXPECT_EQ(cache.cacheCentreZ, targetZ);
        for (const auto& kept : move.kept)
            EXPECT_EQ(cache.cacheBlocks[kept.first].get(), before[kept.second]);
        expectWindowMatchesMap(cache, map);
    }
}

TEST(HeightCache, HysteresisKeepsTheWindowNearACellBoundary)
{
    Map map{1000, 1000};
    HeightCache cache;
    cache.setSize(200); // N = 100
    cache.update(500, 500, kScale, map.reader());
    ASSERT_EQ(cache.cacheCentreX, 500);
    // Up to 0.7 N away nothing moves, back and forth.
    for (float x : {550.0f, 569.0f, 431.0f, 569.9f})
        EXPECT_EQ(cache.update(x, 500, kScale, map.reader()), 0) << x;
    // At 0.7 N it moves, to the nearest multiple of N.
    EXPECT_EQ(cache.update(570, 500, kScale, map.reader()), 2);
    EXPECT_EQ(cache.cacheCentreX, 600);
    EXPECT_EQ(cache.update(530.5f, 500, kScale, map.reader()), 0);
}

TEST(HeightCache, AWindowPastTheMapEdgeHoldsTheInsideOnly)
{
    Map map{150, 90};
    HeightCache cache;
    cache.setSize(128);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> position(-100.0f, 300.0f);
    for (int k = 0; k < 50; ++k)
    {
        cache.update(position(random), position(random), kScale, map.reader());
        expectWindowMatchesMap(cache, map);
        if (HasFailure())
            return;
    }
}

TEST(HeightCache, ABlockThatCannotBeReadWholeIsNeverKept)
{
    Map map{1000, 1000};
    HeightCache cache;
    cache.setSize(200); // N = 100
    ASSERT_EQ(cache.update(500, 500, kScale, map.reader()), 4);
    map.failing = true;
    // The move reads a block, finds it incomplete, and leaves the window where it was: every
    // height it holds is still the map's.
    EXPECT_GE(cache.update(600, 500, kScale, map.reader()), 1);
    EXPECT_EQ(cache.cacheCentreX, 500);
    expectWindowMatchesMap(cache, map);
    float height;
    EXPECT_FALSE(cache.lookup(650, 500, height));
    // Once the file reads again, the window moves.
    map.failing = false;
    EXPECT_EQ(cache.update(600, 500, kScale, map.reader()), 2);
    EXPECT_EQ(cache.cacheCentreX, 600);
    expectWindowMatchesMap(cache, map);
}

TEST(HeightCache, StoresLandInTheWindowAndVoidAMoveUnderWay)
{
    Map map{300, 300};
    HeightCache cache;
    cache.setSize(64);
    cache.update(100, 100, kScale, map.reader());
    ASSERT_EQ(cache.cacheMinX, 64);
    // A stroke across the window's corner: what the window holds of it changes, nothing else.
    const int x0 = cache.cacheMaxX - 20, z0 = cache.cacheMinZ - 5;
    std::vector<uint8_t> bytes(40 * 40 * 2);
    for (size_t k = 0; k < 40 * 40; ++k)
    {
        bytes[2 * k] = uint8_t(k);
        bytes[2 * k + 1] = uint8_t(k >> 8 | 0x80);
    }
    cache.store(x0, z0, 40, 40, bytes.data(), kScale);
    int changed = 0;
    for (int z = cache.cacheMinZ; z < cache.cacheMaxZ; ++z)
        for (int x = cache.cacheMinX; x < cache.cacheMaxX; ++x)
        {
            float height = 0;
            ASSERT_TRUE(cache.lookup(x, z, height));
            const bool stroked = x >= x0 && x < x0 + 40 && z >= z0 && z < z0 + 40;
            const size_t k = size_t(z - z0) * 40 + size_t(x - x0);
            ASSERT_EQ(height, float(stroked ? (k | 0x8000) : Map::sample(x, z)) * kScale) << x << "," << z;
            changed += stroked;
        }
    EXPECT_EQ(changed, 20 * 35);

    // A store while a move reads its blocks: the move may hold samples from before it, so it is
    // dropped, and the next update makes it with what the map holds then.
    const HeightCache::BlockReader read = map.reader();
    bool storeDuringRead = true;
    const auto storing = [&](int x, int z, int n, uint16_t* samples) {
        if (storeDuringRead)
            cache.store(0, 0, 1, 1, bytes.data(), kScale);
        storeDuringRead = false;
        return read(x, z, n, samples);
    };
    EXPECT_GT(cache.update(200, 100, kScale, storing), 0);
    EXPECT_EQ(cache.cacheMinX, 64) << "the move under way was dropped";
    EXPECT_GT(cache.update(200, 100, kScale, storing), 0);
    EXPECT_EQ(cache.cacheMinX, 160);
    expectWindowMatchesMap(cache, map);
}
