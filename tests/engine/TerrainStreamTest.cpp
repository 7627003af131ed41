// The heightmap stream of a Terrain in a real Ogre::Root: the height callback against the file,
// the cache against the file, raw rectangles, and the files it must refuse.

#include "../../tools/FractalHeightmap.h"
#include "EngineSupport.h"
#include "heightmap/Tiff.h"

#include <OgreException.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace testing_support;

namespace
{
class TerrainStream : public ::testing::Test
{
protected:
    std::string writeMap(const std::string& name, int width, int height, const std::function<uint16_t(int, int)>& sample)
    {
        return writeHeightmap(folder.file(name), width, height, sample);
    }

    TestTerrain* makeTerrain(float size, float height)
    {
        terrains.push_back(std::make_unique<TestTerrain>("stream" + std::to_string(terrains.size())));
        TestTerrain* terrain = terrains.back().get();
        engine.scene->getRootSceneNode()->attachObject(terrain);
        terrain->setTerrainScale(size, height);
        return terrain;
    }

    // Makes the camera the terrain's reference camera and runs one frame, which hands the
    // camera position to the height cache.
    void frameAt(TestTerrain* terrain, Ogre::Camera* camera, const Ogre::Vector3& position)
    {
        camera->getParentSceneNode()->setPosition(position);
        terrain->frame(camera);
    }

    TestFolder folder;
    Engine engine;
    std::vector<std::unique_ptr<TestTerrain>> terrains; // before the engine goes
};
} // namespace

TEST_F(TerrainStream, OpensWhereTheEngineHasNoHardwareBuffers)
{
    // A host that only asks the terrain for heights may run the engine without hardware
    // buffers: opening a stream makes the first view's drawables ahead only where it can.
    const std::string map = writeMap("plain.tif", 65, 65, [](int x, int z) { return uint16_t(7 * x + z); });
    engine.buffers.reset();
    TestTerrain* terrain = makeTerrain(1024, 1000);
    EXPECT_TRUE(terrain->openStream(map));
    EXPECT_EQ(terrain->spareDrawableCount(), 0u);
    uint16_t sample = 0;
    EXPECT_EQ(terrain->getRawData(3, 2, 1, 1, reinterpret_cast<char*>(&sample)), 1u);
    EXPECT_EQ(sample, 7 * 3 + 2);
    terrain->closeStream();
    engine.buffers = std::make_unique<Ogre::DefaultHardwareBufferManager>();
}

TEST_F(TerrainStream, SamplesMapOntoTheTerrainEdgeToEdge)
{
    const auto ramp = [](int x, int z) { return uint16_t(x + 3 * z); };
    struct Case
    {
        int width;
        float heightAtFarEdge; // x = +4096
    };
    // A 4097-wide map puts sample 4096 on the far edge; a 4096-wide map has no sample there.
    for (const Case& c : {Case{4097, 4096.0f}, Case{4096, 0.0f}})
    {
        SCOPED_TRACE(c.width);
        const std::string file = writeMap("ramp" + std::to_string(c.width) + ".tif", c.width, 3, ramp);
        TestTerrain* terrain = makeTerrain(8192, 65535);
        ASSERT_TRUE(terrain->openStream(file));
        EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(-4096, 0, -4096)), 0.0f);
        EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(4096, 0, -4096)), c.heightAtFarEdge);
        EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(-4096 + 201, 0, -4096 + 2.5f)), 100.0f + 3.0f);
        // Up to one sample before the near edge reads sample 0, farther out reads 0.
        EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(-4096 - 1.9f, 0, -4096 + 2)), 3.0f);
        EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(-4096 - 2.1f, 0, -4096 + 2)), 0.0f);
        EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(0, 0, 5000)), 0.0f);
    }
}

TEST_F(TerrainStream, CachedAndUncachedHeightsAreBitIdentical)
{
    const int edge = 257;
    const std::vector<uint16_t> map = FractalHeightmap::generate(edge, 9, 0.6f);
    const std::string file = writeMap("fractal.tif", edge, edge, [&](int x, int z) { return map[size_t(z) * edge + x]; });
    TestTerrain* cached = makeTerrain(1024, 777);
    TestTerrain* uncached = makeTerrain(1024, 777);
    cached->setHeightCacheSize(96); // N = 48: the window covers part of the map at a time
    ASSERT_TRUE(cached->openStream(file));
    ASSERT_TRUE(uncached->openStream(file));
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 100, 0), Ogre::Vector3(0, 0, 1));
    const float samplesPerUnit = 256.0f / 1024.0f;
    // Camera positions over the map, past its edges and far outside.
    for (const Ogre::Vector3& eye : {Ogre::Vector3(0, 100, 0), Ogre::Vector3(-500, 100, -500), Ogre::Vector3(511, 50, 300),
                                     Ogre::Vector3(530, 50, -530), Ogre::Vector3(-300, 10, 512), Ogre::Vector3(9000, 10, 0)})
    {
        SCOPED_TRACE(eye);
        frameAt(cached, camera, eye);
        cached->moveCache();
        for (int z = -4; z < edge + 4; ++z)
            for (int x = -4; x < edge + 4; ++x)
            {
                // The middle of each sample, so that truncation picks the sample itself.
                const Ogre::Vector3 point(-512 + (float(x) + 0.5f) / samplesPerUnit, 0,
                                          -512 + (float(z) + 0.5f) / samplesPerUnit);
                // Truncation toward zero: half a sample before the map still reads sample 0.
                const int sx = x == -1 ? 0 : x, sz = z == -1 ? 0 : z;
                const float expected = sx >= 0 && sz >= 0 && sx < edge && sz < edge
                                           ? float(map[size_t(sz) * edge + sx]) * (777.0f / 65535.0f)
                                           : 0.0f;
                const float fromCache = cached->sampledHeight(point);
                ASSERT_EQ(fromCache, uncached->sampledHeight(point)) << x << "," << z;
                ASSERT_EQ(fromCache, expected) << x << "," << z;
            }
    }
}

TEST_F(TerrainStream, RawRectanglesPartlyOutsideTheMapFillOnlyTheInside)
{
    const auto sample = [](int x, int z) { return uint16_t(1000 + x + 100 * z); };
    const std::string file = writeMap("raw.tif", 20, 10, sample);
    TestTerrain* terrain = makeTerrain(100, 50);
    std::vector<uint16_t> buffer(64, 0xBEEF);
    EXPECT_EQ(terrain->getRawData(0, 0, 4, 4, reinterpret_cast<char*>(buffer.data())), 0u) << "no stream";
    ASSERT_TRUE(terrain->openStream(file));
    struct Rect
    {
        int x, y, w, h;
    };
    for (const Rect& r : {Rect{-2, -3, 5, 6}, Rect{17, 8, 6, 4}, Rect{5, 2, 4, 3}, Rect{-10, 0, 4, 4}, Rect{0, 0, 0, 5}})
    {
        SCOPED_TRACE(testing::Message() << r.x << "," << r.y << " " << r.w << "x" << r.h);
        std::fill(buffer.begin(), buffer.end(), 0xBEEF);
        const uint64_t count = terrain->getRawData(r.x, r.y, r.w, r.h, reinterpret_cast<char*>(buffer.data()));
        uint64_t inside = 0;
        for (int row = 0; row < r.h; ++row)
            for (int column = 0; column < r.w; ++column)
            {
                const int x = r.x + column, z = r.y + row;
                const bool in = x >= 0 && z >= 0 && x < 20 && z < 10;
                inside += in;
                EXPECT_EQ(buffer[size_t(row * r.w + column)], in ? sample(x, z) : 0xBEEF) << column << "," << row;
            }
        EXPECT_EQ(count, inside);
        EXPECT_EQ(buffer[size_t(std::max(r.w * r.h, 0))], 0xBEEF) << "nothing written past the rectangle";
    }
}

TEST_F(TerrainStream, RefusesFilesThatAreNotOneSixteenBitSamplePerPixel)
{
    TestTerrain* terrain = makeTerrain(100, 50);
    const std::string eightBit = folder.file("eight.tif"), twoSamples = folder.file("two.tif");
    closeTiff(createTiff(eightBit.c_str(), 8, 8, 1, 8, 1, nullptr, 0));
    closeTiff(createTiff(twoSamples.c_str(), 8, 8, 2, 16, 1, nullptr, 0));
    const std::string text = folder.file("text.tif");
    writeFileBytes(text, {'n', 'o', 't', ' ', 'a', ' ', 'm', 'a', 'p'});
    for (const std::string& file : {eightBit, twoSamples, text, folder.file("missing.tif")})
    {
        SCOPED_TRACE(file);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(terrain->openStream(file));
        const std::string output = testing::internal::GetCapturedStdout();
        if (file != folder.file("missing.tif"))
        {
            EXPECT_NE(output.find("\n"), std::string::npos) << "says why";
        }
        EXPECT_EQ(terrain->getRawData(0, 0, 1, 1, nullptr), 0u);
    }
    // A refused file leaves no stream open: the terrain does nothing per frame.
    EXPECT_TRUE(terrain->frameStarted(Ogre::FrameEvent{}));
    EXPECT_EQ(terrain->getDebugInfo().patchCount, 0u);
}

TEST_F(TerrainStream, ANewStreamForgetsThePreviousMapsHeightsAndPatches)
{
    const std::string low = writeMap("low.tif", 65, 65, [](int, int) { return uint16_t(1000); });
    const std::string high = writeMap("high.tif", 65, 65, [](int, int) { return uint16_t(50000); });
    TestTerrain* terrain = makeTerrain(512, 65535);
    terrain->setHeightCacheSize(64);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 3000, 0), Ogre::Vector3(0, 0, 1));
    ASSERT_TRUE(terrain->openStream(low));
    frameAt(terrain, camera, Ogre::Vector3(0, 3000, 0));
    terrain->moveCache();
    EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(10, 0, 10)), 1000.0f);
    EXPECT_EQ(terrain->getHeight(Ogre::Vector3(10, 0, 10)).position.y, 1000.0f) << "the drawn root";

    ASSERT_TRUE(terrain->openStream(high));
    EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(10, 0, 10)), 50000.0f);
    frameAt(terrain, camera, Ogre::Vector3(0, 3000, 0));
    terrain->moveCache();
    EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(10, 0, 10)), 50000.0f);
    EXPECT_EQ(terrain->getHeight(Ogre::Vector3(10, 0, 10)).position.y, 50000.0f) << "the drawn root";

    // A new scale applies to the open stream at once; openStream checks the scale before it
    // touches the open stream.
    terrain->setTerrainScale(512, 65535.0f / 2);
    EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(10, 0, 10)), 25000.0f);
    EXPECT_THROW(terrain->setTerrainScale(512, 0), Ogre::InvalidParametersException);
    EXPECT_EQ(terrain->sampledHeight(Ogre::Vector3(10, 0, 10)), 25000.0f) << "the scale is as it was";
    uint16_t raw = 0;
    EXPECT_EQ(terrain->getRawData(3, 3, 1, 1, reinterpret_cast<char*>(&raw)), 1u) << "still open";
    EXPECT_EQ(raw, 50000);
}
