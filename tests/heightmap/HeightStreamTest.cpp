// What the height stream answers for samples that cannot be read.

#include "../support/HeightmapFile.h"
#include "../support/TestFolder.h"
#include "heightmap/HeightStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

using namespace testing_support;

namespace
{
constexpr float kSize = 1024.0f; // world units across the map
constexpr int kEdge = 513;       // samples across
} // namespace

// A file that stops answering (a failing disk, here a descriptor that cannot be read) while it
// has not changed on disk: its samples are NaN, never a made-up height.
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
    EXPECT_EQ(stream.heightAt(600.0f, 20.0f), 0.0f); // outside the map
}
