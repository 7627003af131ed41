// Height edits of a streamed terrain in a real Ogre::Root: setRawData writes the heightmap in
// place, libtiff, GDAL and a reopened stream read what it wrote, and the drawn surface follows;
// what cannot be written is refused with one line in the log and leaves the file as it was.

#include "EngineSupport.h"
#include "heightmap/SampleRows.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>

using namespace testing_support;

namespace
{
constexpr int kEdge = 513;
constexpr float kSize = 2048.0f;
constexpr float kHeight = 3000.0f;

// The file's byte ranges that hold pixels, as libtiff finds its strips.
std::vector<std::pair<uint64_t, uint64_t>> pixelRanges(const std::string& name)
{
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(TIFFOpen(name.c_str(), "r"), TIFFClose);
    uint64_t* offsets = nullptr;
    uint64_t* counts = nullptr;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (tif && TIFFGetField(tif.get(), TIFFTAG_STRIPOFFSETS, &offsets) && TIFFGetField(tif.get(), TIFFTAG_STRIPBYTECOUNTS, &counts))
        for (uint32_t strip = 0; strip < TIFFNumberOfStrips(tif.get()); ++strip)
            ranges.emplace_back(offsets[strip], offsets[strip] + counts[strip]);
    return ranges;
}

// The whole image as libtiff reads it, row by row.
std::vector<uint16_t> readWithLibtiff(const std::string& name)
{
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(TIFFOpen(name.c_str(), "r"), TIFFClose);
    if (!tif)
        return {};
    std::vector<uint16_t> samples(size_t(kEdge) * kEdge);
    for (int row = 0; row < kEdge; ++row)
        if (TIFFReadScanline(tif.get(), &samples[size_t(row) * kEdge], uint32_t(row)) != 1)
            return {};
    return samples;
}

// Raw rectangles in the byte layout of getRawData and setRawData.
std::vector<char> rawBytes(const std::vector<uint16_t>& samples)
{
    std::vector<char> bytes(samples.size() * 2);
    writeSamples(samples.data(), bytes.data(), samples.size());
    return bytes;
}

class HeightEdits : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The map as GDAL writes it: uncompressed strips of a few rows each.
        const std::string source = writeFractalHeightmap(folder.file("source.tif"), kEdge, 5, 0.55f);
        name = folder.file("map.tif");
        const std::string command = "gdal_translate -q -of GTiff -co TILED=NO -co BLOCKYSIZE=7 '" + source + "' '" + name + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        model = readWithLibtiff(name);
        ASSERT_EQ(model.size(), size_t(kEdge) * kEdge);
        terrain = std::make_unique<TestTerrain>("ground");
        engine.scene->getRootSceneNode()->attachObject(terrain.get());
        terrain->setTerrainScale(kSize, kHeight);
        terrain->setPatchSize(16);
        terrain->setHeightCacheSize(192); // a window over part of the map: edits land in it and outside
        camera = engine.createCamera("eye", Ogre::Vector3(-300, 500, -700), Ogre::Vector3(0, 0, 0));
    }

    void frame()
    {
        terrain->_notifyCurrentCamera(camera);
        engine.root->_fireFrameStarted();
    }
    void settle() { ASSERT_GT(testing_support::settle(*terrain, [&] { frame(); }), 0); }

    // A brush stroke on (x, z) .. (x + w, z + h) through setRawData, mirrored in the model:
    // raised, lowered or flattened. Returns what setRawData returned.
    uint64_t stroke(int x, int z, int w, int h, int kind, int amount)
    {
        std::vector<char> bytes(size_t(w) * size_t(h) * 2);
        EXPECT_EQ(terrain->getRawData(x, z, w, h, bytes.data()), insideCount(x, z, w, h));
        std::vector<uint16_t> samples(size_t(w) * size_t(h));
        readSamples(bytes.data(), samples.data(), samples.size());
        for (uint16_t& s : samples)
            s = uint16_t(kind == 0 ? std::min(65535, s + amount) : kind == 1 ? std::max(0, s - amount) : amount);
        writeSamples(samples.data(), bytes.data(), samples.size());
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                if (x + c >= 0 && x + c < kEdge && z + r >= 0 && z + r < kEdge)
                    model[size_t(z + r) * kEdge + size_t(x + c)] = samples[size_t(r) * size_t(w) + size_t(c)];
        return terrain->setRawData(x, z, w, h, bytes.data());
    }
    static uint64_t insideCount(int x, int z, int w, int h)
    {
        const int64_t columns = std::min(x + w, kEdge) - std::max(x, 0);
        const int64_t rows = std::min(z + h, kEdge) - std::max(z, 0);
        return columns > 0 && rows > 0 ? uint64_t(columns * rows) : 0;
    }

    void expectPatchesFollowTheModel()
    {
        EXPECT_GT(expectPatchesOnSamples(terrain->root(), model, kEdge, kSize, kHeight / 65535.0f), 30000u);
    }

    TestFolder folder;
    Engine engine;
    LogLines log{"Terrain:"};
    std::unique_ptr<TestTerrain> terrain;
    Ogre::Camera* camera = nullptr;
    std::string name;
    std::vector<uint16_t> model; // the samples the file should hold
};
} // namespace

TEST_F(HeightEdits, StrokesReachTheFileTheOtherReadersAndTheDrawnSurface)
{
    const std::vector<uint8_t> original = readFileBytes(name);
    ASSERT_TRUE(terrain->openStream(name));
    settle();
    // A stroke every frame while the camera flies low over the map (splits, merges, cache moves
    // under way): raised, lowered, flattened; on patch borders, at the corners, partly outside.
    std::mt19937 random(31);
    std::uniform_int_distribution<int> position(-30, kEdge + 5);
    std::uniform_int_distribution<int> size(1, 64);
    std::uniform_int_distribution<int> kind(0, 2);
    std::uniform_int_distribution<int> amount(0, 40000);
    for (int k = 0; k < 120; ++k)
    {
        const float t = float(k) / 120.0f;
        camera->getParentSceneNode()->setPosition(-900 + 1800 * t, 150 + 300 * t, -600 + 900 * t);
        camera->getParentSceneNode()->lookAt(Ogre::Vector3(0, 0, 0), Ogre::Node::TS_WORLD);
        int x = position(random), z = position(random);
        if (k % 10 == 0)
            x = x / 32 * 32 - 3; // across a border of the finest patches
        if (k % 17 == 0)
            x = -5, z = kEdge - 7;
        const int w = size(random), h = size(random);
        ASSERT_EQ(stroke(x, z, w, h, kind(random), amount(random)), insideCount(x, z, w, h));
        frame();
    }
    settle();
    EXPECT_GT(terrain->getLandscape()->refreshedPatches(), 50u);
    expectPatchesFollowTheModel();

    // The drawn surface at every drawn patch's corners (where morphing cannot move it).
    forEachDrawn(terrain->root(), [&](const PatchNode* leaf) {
        for (const Ogre::Vector3& corner : leaf->corners)
        {
            const Terrain::Hit hit = terrain->getHeight(corner);
            ASSERT_TRUE(hit.hit);
            ASSERT_NEAR(hit.position.y, terrain->sampledHeight(corner), 1e-2f) << corner;
        }
    });

    // libtiff in this process, GDAL in another, getRawData, and the stream opened again; and
    // nothing but pixels changed in the file (its header, directory and tags are as they were).
    EXPECT_TRUE(readWithLibtiff(name) == model) << "the file differs from the strokes";
    const std::vector<uint8_t> edited = readFileBytes(name);
    ASSERT_EQ(edited.size(), original.size());
    const std::vector<std::pair<uint64_t, uint64_t>> pixels = pixelRanges(name);
    ASSERT_GT(pixels.size(), 70u) << "GDAL's strips of 7 rows";
    for (uint64_t at = 0; at < edited.size(); ++at)
    {
        const bool inPixels = std::any_of(pixels.begin(), pixels.end(),
                                          [at](const auto& range) { return at >= range.first && at < range.second; });
        ASSERT_TRUE(edited[at] == original[at] || inPixels) << "byte " << at << " outside the pixels changed";
    }
    for (const auto& [x, z] : {std::pair{0, kEdge - 1}, std::pair{200, 300}, std::pair{kEdge - 1, 5}})
    {
        const std::string command = "gdallocationinfo -valonly '" + name + "' " + std::to_string(x) + " " + std::to_string(z);
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
        ASSERT_TRUE(pipe);
        int value = -1;
        ASSERT_EQ(std::fscanf(pipe.get(), "%d", &value), 1);
        EXPECT_EQ(value, model[size_t(z) * kEdge + size_t(x)]) << x << "," << z;
    }
    std::vector<char> all(model.size() * 2);
    EXPECT_EQ(terrain->getRawData(0, 0, kEdge, kEdge, all.data()), model.size());
    EXPECT_TRUE(all == rawBytes(model));
    terrain->closeStream();
    ASSERT_TRUE(terrain->openStream(name));
    std::fill(all.begin(), all.end(), 0);
    EXPECT_EQ(terrain->getRawData(0, 0, kEdge, kEdge, all.data()), model.size());
    EXPECT_TRUE(all == rawBytes(model));
    settle();
    expectPatchesFollowTheModel();
    EXPECT_TRUE(log.lines.empty()) << log.lines.front();
}

TEST_F(HeightEdits, WhatCannotBeWrittenIsRefusedAndTheFileStaysAsItWas)
{
    const std::vector<uint8_t> before = readFileBytes(name);
    std::vector<char> bytes(64 * 64 * 2, 'x');
    // No stream: nothing to write to.
    EXPECT_EQ(terrain->setRawData(0, 0, 8, 8, bytes.data()), 0u);
    EXPECT_EQ(log.lines.size(), 1u);

    ASSERT_TRUE(terrain->openStream(name));
    settle();
    const uint64_t refreshed = terrain->getLandscape()->refreshedPatches();
    // A null buffer is said in the log; empty rectangles and rectangles wholly outside the map
    // write nothing, silently.
    EXPECT_EQ(terrain->setRawData(0, 0, 8, 8, nullptr), 0u);
    EXPECT_EQ(log.lines.size(), 2u);
    for (const auto& [x, z, w, h] : {std::array{0, 0, -4, 8}, std::array{0, 0, 8, 0}, std::array{-64, 0, 64, 64},
                                     std::array{kEdge, 10, 64, 64}, std::array{10, -64, 5, 64}, std::array{-2147483647, -5, 3, 3}})
        EXPECT_EQ(terrain->setRawData(x, z, w, h, bytes.data()), 0u) << x << "," << z << " " << w << "x" << h;
    EXPECT_EQ(log.lines.size(), 2u);
    settle();
    EXPECT_EQ(terrain->getLandscape()->refreshedPatches(), refreshed);
    terrain->closeStream();
    EXPECT_EQ(readFileBytes(name), before);

    // A file whose permissions let nobody write it is opened read-only and never written, even
    // by root; it still streams.
    ASSERT_EQ(chmod(name.c_str(), 0444), 0);
    ASSERT_TRUE(terrain->openStream(name));
    settle();
    EXPECT_EQ(terrain->setRawData(10, 10, 8, 8, bytes.data()), 0u);
    ASSERT_EQ(log.lines.size(), 3u);
    EXPECT_NE(log.lines.back().find("read-only"), std::string::npos) << log.lines.back();
    std::vector<char> read(8 * 8 * 2);
    EXPECT_EQ(terrain->getRawData(10, 10, 8, 8, read.data()), 64u);
    terrain->closeStream();
    EXPECT_EQ(readFileBytes(name), before);

    // Written to by another program since it was opened: the stream no longer writes it.
    ASSERT_EQ(chmod(name.c_str(), 0644), 0);
    ASSERT_TRUE(terrain->openStream(name));
    settle();
    {
        std::fstream other(name, std::ios::in | std::ios::out | std::ios::binary);
        other.seekp(-2, std::ios::end);
        other.write("\x01\x02", 2);
    }
    const std::vector<uint8_t> changed = readFileBytes(name);
    EXPECT_EQ(terrain->setRawData(10, 10, 8, 8, bytes.data()), 0u);
    EXPECT_EQ(readFileBytes(name), changed);
    const bool said = std::any_of(log.lines.begin(), log.lines.end(), [](const std::string& line) {
        return line.find("setRawData wrote nothing") != std::string::npos && line.find("another program") != std::string::npos;
    });
    EXPECT_TRUE(said);
}
