// A heightmap that changes on disk while it is streamed: cut short, rewritten in place with
// another layout, deleted, replaced. Whatever happens, every height the terrain reports is the
// opened file's sample or no hit at all, one line in the log names the file, nothing is built
// over and over, and opening the stream again reads the file as it now is.

#include "EngineSupport.h"

#include <OgreLogManager.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

using namespace testing_support;

namespace
{
// Every sample different, one world unit of height per sample value.
uint16_t oldSample(int x, int z)
{
    return uint16_t(1000 + 37 * x + 101 * z);
}

class HeightmapFaults : public ::testing::Test
{
protected:
    void SetUp() override
    {
        name = writeHeightmap(folder.file("map.tif"), 257, 257, oldSample);
        terrain = std::make_unique<TestTerrain>("ground");
        engine.scene->getRootSceneNode()->attachObject(terrain.get());
        terrain->setTerrainScale(1024, 65535);
        terrain->setPatchSize(16);
        terrain->setHeightCacheSize(128);
        ASSERT_TRUE(terrain->openStream(name));
        camera = engine.createCamera("eye", Ogre::Vector3(0, 4000, -900), Ogre::Vector3(0, 0, 0));
        settle();
        ASSERT_GT(builtLeaves(), 16u);
    }

    void frame() { terrain->frame(camera); }
    void settle() { testing_support::settle(*terrain, camera); }

    // The same view built again from the file: every patch made afresh, from the file alone.
    void rebuildEverything()
    {
        terrain->setHeightCacheSize(0);
        terrain->setPatchSize(8);
        settle();
    }

    uint64_t builtLeaves() const
    {
        uint64_t count = 0;
        forEachDrawn(terrain->root(), [&](const PatchNode* leaf) { count += leaf->isBuilt(); });
        return count;
    }

    // Every drawn vertex lies on its own sample of the opened file, and the queries answer that
    // surface or nothing: the full-detail height at a vertex is its sample, the ray meets the
    // surface the height query describes.
    void expectOnlyOldSamples()
    {
        uint64_t vertices = 0;
        forEachDrawn(terrain->root(), [&](const PatchNode* leaf) {
            for (uint64_t k = 0; k < leaf->geometry.vertexCount; ++k)
            {
                const float* v = leaf->geometry.vertices + k * kFloatsPerVertex;
                const int x = int((v[0] + 512) / 4), z = int((v[2] + 512) / 4);
                ASSERT_EQ(v[1], float(oldSample(x, z))) << "vertex at sample " << x << "," << z;
                ++vertices;
                if (k % 7 != 0)
                    continue;
                const Ogre::Vector3 point(v[0], 0, v[2]);
                const Terrain::Hit nearest = terrain->getApproximateHeight(point);
                ASSERT_TRUE(nearest.hit);
                ASSERT_EQ(nearest.position.y, float(oldSample(x, z))) << x << "," << z;
                const Terrain::Hit down =
                    terrain->intersect(Ogre::Ray(point + Ogre::Vector3(0, 60000, 0), Ogre::Vector3::NEGATIVE_UNIT_Y));
                ASSERT_TRUE(down.hit);
                ASSERT_NEAR(down.position.y, terrain->getHeight(point).position.y, 0.05f);
            }
        });
        // Where nothing is drawn, nothing is found.
        if (vertices == 0)
            for (int z = 0; z <= 256; z += 17)
                for (int x = 0; x <= 256; x += 13)
                {
                    const Ogre::Vector3 point(-512 + 4.0f * x, 0, -512 + 4.0f * z);
                    ASSERT_FALSE(terrain->getHeight(point).hit);
                    ASSERT_FALSE(terrain->intersect(Ogre::Ray(point + Ogre::Vector3(0, 60000, 0), Ogre::Vector3::NEGATIVE_UNIT_Y)).hit);
                }
        builtVertices = vertices;
    }

    // Nothing is built again and again: the tree stays still for many frames.
    void expectNoSpin()
    {
        const uint64_t unreadable = terrain->getLandscape()->unreadablePatches();
        for (int k = 0; k < 100; ++k)
        {
            frame();
            ASSERT_EQ(terrain->pendingBuilds(), 0) << "frame " << k;
        }
        EXPECT_EQ(terrain->getLandscape()->unreadablePatches(), unreadable);
    }

    uint64_t rawSamples()
    {
        std::vector<uint16_t> buffer(64 * 64);
        return terrain->getRawData(100, 100, 64, 64, reinterpret_cast<char*>(buffer.data()));
    }

    TestFolder folder;
    Engine engine;
    LogLines log{"Terrain: heightmap"};
    std::unique_ptr<TestTerrain> terrain;
    Ogre::Camera* camera = nullptr;
    std::string name;
    uint64_t builtVertices = 0;
};
} // namespace

TEST_F(HeightmapFaults, CutShortInTheMiddleOfASample)
{
    expectOnlyOldSamples();
    // Halfway through the pixel data, between the two bytes of a sample.
    ASSERT_EQ(truncate(name.c_str(), 258 + 257 * 257 + 1), 0);
    rebuildEverything();
    expectOnlyOldSamples();
    EXPECT_EQ(builtVertices, 0u) << "nothing of the cut file is drawn";
    expectNoSpin();
    EXPECT_EQ(rawSamples(), 0u);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("map.tif' was cut short"), std::string::npos) << log.lines[0];
    // Opened again, the cut file is refused: its pixels are not all there.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(terrain->openStream(name));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("past the end of the file"), std::string::npos);
}

TEST_F(HeightmapFaults, RewrittenInPlaceWithAnotherLayout)
{
    // Another map, 129 wide with rows of 32 in strips, over the same file (the same inode).
    const std::string other = writeHeightmap(folder.file("other.tif"), 129, 129, [](int x, int z) { return uint16_t(7 * x + z); });
    {
        std::ifstream in(other, std::ios::binary);
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    }
    frame();
    expectOnlyOldSamples();
    rebuildEverything();
    expectOnlyOldSamples();
    expectNoSpin();
    EXPECT_EQ(rawSamples(), 0u);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_TRUE(log.lines[0].find("was cut short") != std::string::npos ||
                log.lines[0].find("was written to") != std::string::npos)
        << log.lines[0];
    // Opened again, the new map is read.
    ASSERT_TRUE(terrain->openStream(name));
    settle();
    EXPECT_EQ(terrain->getApproximateHeight(Ogre::Vector3(-512, 0, -512)).position.y, 0.0f);
    EXPECT_NEAR(terrain->getApproximateHeight(Ogre::Vector3(512, 0, 512)).position.y, 7 * 128 + 128, 1e-3f);
}

TEST_F(HeightmapFaults, DeletedOrReplacedWhileOpen)
{
    for (const bool replace : {false, true})
    {
        SCOPED_TRACE(replace ? "replaced" : "deleted");
        if (replace)
        {
            ASSERT_TRUE(terrain->openStream(name));
            settle();
            log.lines.clear();
            writeHeightmap(folder.file("next.tif"), 65, 65, [](int, int) { return uint16_t(5); });
            ASSERT_EQ(std::rename(folder.file("next.tif").c_str(), name.c_str()), 0);
        }
        else
        {
            ASSERT_EQ(std::remove(name.c_str()), 0);
        }
        // The system keeps the opened file for the stream: the terrain rebuilds from it.
        rebuildEverything();
        expectOnlyOldSamples();
        EXPECT_GT(builtVertices, 0u);
        EXPECT_EQ(rawSamples(), 64u * 64u);
        expectNoSpin();
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_NE(log.lines[0].find(replace ? "was replaced" : "was deleted"), std::string::npos) << log.lines[0];
        if (!replace)
            writeHeightmap(name, 257, 257, oldSample);
    }
}
