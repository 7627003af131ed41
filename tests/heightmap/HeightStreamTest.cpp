// The height stream's row sampling against its sample-by-sample answers, on a file written by
// GDAL, and what it answers for samples that cannot be read.

#include "../support/HeightmapFile.h"
#include "../support/TestFolder.h"
#include "heightmap/HeightStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

using namespace testing_support;

namespace
{
constexpr float kSize = 1024.0f; // world units across the map
constexpr int kEdge = 513;       // samples across

// Equal, or both NaN.
bool same(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// A fractal map converted to a striped GeoTIFF by gdal_translate, as users make theirs.
std::string gdalMap(const TestFolder& folder)
{
    const std::string ours = writeFractalHeightmap(folder.file("ours.tif"), kEdge, 7, 0.6f);
    const std::string map = folder.file("gdal.tif");
    const std::string command = "gdal_translate -q -co TILED=NO -co BLOCKYSIZE=3 " + ours + " " + map;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return map;
}
} // namespace

// Rows of patch grids at every spacing the tree uses, over the edges and past them, with the
// cache off and on: each answer is the sample-by-sample one, bit for bit.
TEST(HeightStream, RowsAnswerAsSampleBySample)
{
    TestFolder folder;
    CriticalSection lock;
    HeightStream stream(lock);
    const std::string map = gdalMap(folder);
    stream.attach(HeightStream::openHeightmap(map), map);
    ASSERT_TRUE(stream.isOpen());
    stream.setScale(kSize, 300.0f);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> shift(-0.5f, 0.5f);
    for (int cache : {0, 128})
    {
        stream.setCacheSize(cache);
        stream.setCameraPosition(-200.0f, 150.0f);
        stream.updateCache();
        for (float spacing : {0.37f, 2.0f, 16.0f, 64.0f, 300.0f})
            for (int row = 0; row < 40; ++row)
            {
                const float z = -kSize * 0.55f + float(row) * kSize * 0.0275f + shift(random);
                std::vector<float> xs;
                for (float x = -kSize * 0.55f + shift(random); x < kSize * 0.55f && xs.size() < 300; x += spacing)
                    xs.push_back(x);
                std::vector<float> heights(xs.size(), -1.0f);
                Lock held(lock);
                stream.heightRow(z, xs.data(), int(xs.size()), heights.data());
                for (size_t k = 0; k < xs.size(); ++k)
                    ASSERT_TRUE(same(heights[k], stream.heightAt(xs[k], z)))
                        << "cache " << cache << " at " << xs[k] << ", " << z << ": " << heights[k];
            }
    }
}

// A file that stops answering (a failing disk, here a descriptor that cannot be read) while it
// has not changed on disk: its samples are NaN, never a made-up height, one at a time or by rows.
TEST(HeightStream, ASampleThatCannotBeReadIsNeverMadeUp)
{
    TestFolder folder;
    CriticalSection lock;
    HeightStream stream(lock);
    const std::string map = writeFractalHeightmap(folder.file("map.tif"), kEdge, 5, 0.5f);
    TiffPtr file = HeightStream::openHeightmap(map);
    ASSERT_TRUE(file);
    TiffFile* record = file.get();
    stream.attach(std::move(file), map);
    stream.setScale(kSize, 300.0f);
    stream.setCacheSize(0);
    Lock held(lock);
    EXPECT_FALSE(std::isnan(stream.heightAt(10.0f, 20.0f)));
    std::fclose(record->file);
    record->file = std::fopen("/dev/null", "w");
    record->readBlockBytes = 0;
    EXPECT_TRUE(std::isnan(stream.heightAt(10.0f, 20.0f)));
    const float xs[] = {-600.0f, -100.0f, 0.5f, 300.0f, 600.0f};
    float heights[5];
    stream.heightRow(20.0f, xs, 5, heights);
    EXPECT_EQ(heights[0], 0.0f); // outside the map
    EXPECT_TRUE(std::isnan(heights[1]) && std::isnan(heights[2]) && std::isnan(heights[3]));
    EXPECT_EQ(heights[4], 0.0f);
}
