// The sculpt brush on a real terrain streaming a real file: what each brush does to the samples
// under it and nothing else, and undo putting back every sample of every stroke.

#include "BuiltinHeightmap.h"
#include "HeadlessEngine.h"
#include "Sculptor.h"
#include "Terrain.h"
#include "heightmap/SampleRows.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>

namespace fs = std::filesystem;

namespace
{
constexpr int kEdge = 129;
constexpr float kSize = 1280.0f; // 10 world units per sample

std::vector<uint16_t> allSamples(Terrain& terrain)
{
    std::vector<char> bytes(size_t(kEdge) * kEdge * 2);
    EXPECT_EQ(terrain.getRawData(0, 0, kEdge, kEdge, bytes.data()), uint64_t(kEdge) * kEdge);
    std::vector<uint16_t> samples(size_t(kEdge) * kEdge);
    readSamples(bytes.data(), samples.data(), samples.size());
    return samples;
}

// Distance in samples from a brush centre at world (x, z) to the centre of sample (sx, sz).
float distance(float x, float z, int sx, int sz)
{
    return std::hypot(float(sx) + 0.5f - (x + kSize / 2) / 10.0f, float(sz) + 0.5f - (z + kSize / 2) / 10.0f);
}

// Sum of each sample's distance from the mean of its four neighbours, within r samples of a point.
double roughness(const std::vector<uint16_t>& s, float x, float z, float r)
{
    double sum = 0;
    for (int sz = 1; sz < kEdge - 1; ++sz)
        for (int sx = 1; sx < kEdge - 1; ++sx)
            if (distance(x, z, sx, sz) < r)
            {
                const auto at = [&](int a, int b) { return double(s[size_t(b) * kEdge + size_t(a)]); };
                sum += std::fabs(at(sx, sz) - (at(sx - 1, sz) + at(sx + 1, sz) + at(sx, sz - 1) + at(sx, sz + 1)) / 4);
            }
    return sum;
}
} // namespace

TEST(Sculptor, EachBrushMovesOnlyTheSamplesUnderItAndUndoPutsEverySampleBack)
{
    const fs::path folder = fs::temp_directory_path() / ("sculptor-test-" + std::to_string(getpid()));
    fs::create_directories(folder);
    std::vector<uint16_t> rough(size_t(kEdge) * kEdge);
    for (size_t k = 0; k < rough.size(); ++k)
        rough[k] = uint16_t(20000 + (k * 2654435761u >> 7) % 4000);
    std::string error;
    ASSERT_TRUE(writeHeightmapFile(folder / "map.tif", rough, kEdge, nullptr, error)) << error;

    headless::Engine engine("");
    {
        Terrain terrain("sculpted");
        terrain.setTerrainScale(kSize, 1000.0f);
        ASSERT_TRUE(terrain.openStream((folder / "map.tif").string()));
        Sculptor sculptor(terrain, kEdge, kSize);
        const std::vector<uint16_t> original = allSamples(terrain);
        ASSERT_EQ(original, rough);

        // Raise: up by at most the amount, most at the centre; nothing outside the radius moves.
        sculptor.beginStroke();
        EXPECT_GT(sculptor.dab(5, 5, 100, Brush::raise, 1000), 300u);
        std::vector<uint16_t> now = allSamples(terrain);
        int raised = 0;
        for (int sz = 0; sz < kEdge; ++sz)
            for (int sx = 0; sx < kEdge; ++sx)
            {
                const size_t k = size_t(sz) * kEdge + size_t(sx);
                const int moved = int(now[k]) - int(original[k]);
                if (distance(5, 5, sx, sz) >= 10.0f)
                {
                    ASSERT_EQ(moved, 0) << sx << "," << sz;
                }
                ASSERT_GE(moved, 0);
                ASSERT_LE(moved, 1000);
                raised += moved > 0;
                if (distance(5, 5, sx, sz) < 1.0f)
                {
                    EXPECT_GT(moved, 950);
                }
            }
        EXPECT_GT(raised, 250);

        // Lower, again and again, over the map's corner: clamped at 0, the part off the map skipped.
        sculptor.beginStroke();
        for (int k = 0; k < 30; ++k)
            EXPECT_GT(sculptor.dab(-kSize / 2, -kSize / 2, 60, Brush::lower, 4000), 0u);
        now = allSamples(terrain);
        EXPECT_EQ(now[0], 0);
        EXPECT_EQ(now[size_t(7) * kEdge + 7], original[size_t(7) * kEdge + 7]);

        // Flatten pulls the ground to the height under the stroke's start; smooth evens it out.
        sculptor.beginStroke();
        for (int k = 0; k < 6; ++k)
            sculptor.dab(300, 300, 120, Brush::flatten, 4096);
        now = allSamples(terrain);
        const uint16_t target = original[size_t((300 + 640) / 10) * kEdge + size_t((300 + 640) / 10)];
        EXPECT_NEAR(now[size_t(94) * kEdge + 94], target, 2);
        EXPECT_LT(roughness(now, 300, 300, 6), 0.1 * roughness(original, 300, 300, 6));
        sculptor.beginStroke();
        for (int k = 0; k < 4; ++k)
            sculptor.dab(-300, 200, 150, Brush::smooth, 4096);
        EXPECT_LT(roughness(allSamples(terrain), -300, 200, 10), 0.5 * roughness(original, -300, 200, 10));

        // Undo, stroke by stroke, back to the map as it was.
        EXPECT_EQ(sculptor.undoableStrokes(), 4u);
        for (int k = 0; k < 4; ++k)
            EXPECT_TRUE(sculptor.undo());
        EXPECT_FALSE(sculptor.undo());
        EXPECT_EQ(allSamples(terrain), original);
        EXPECT_EQ(sculptor.cost().dabs, 41u);
        terrain.closeStream();
    }
    fs::remove_all(folder);
}
