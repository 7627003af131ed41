// The plug-in in a real Ogre::Root: registration, Terrain objects made by the scene manager,
// configuration, patch identifiers.

#include "EngineSupport.h"

#include <OgreException.h>
#include <OgreMovableObject.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <tuple>

using namespace testing_support;

TEST(Plugin, RegistersTheTerrainTypeAndMakesIndependentTerrains)
{
    Engine engine;
    ASSERT_EQ(engine.root->getInstalledPlugins().size(), 1u);
    EXPECT_EQ(engine.root->getInstalledPlugins()[0]->getName(), "Terrain");
    ASSERT_TRUE(engine.root->hasMovableObjectFactory("Terrain"));
    EXPECT_EQ(engine.root->getMovableObjectFactory("Terrain")->getType(), "Terrain");

    Terrain* a = engine.createTerrain("a");
    Terrain* b = engine.createTerrain("b");
    ASSERT_NE(a, b);
    for (Terrain* terrain : {a, b})
    {
        EXPECT_EQ(terrain->getMovableType(), "Terrain");
        EXPECT_EQ(&terrain->getMovableType(), &engine.root->getMovableObjectFactory("Terrain")->getType());
        EXPECT_EQ(terrain->getRenderQueueGroup(), 50);
        const Terrain::Info info = terrain->getDebugInfo();
        EXPECT_EQ(info.patchCount, 0u);
        EXPECT_EQ(info.drawables, 0u);
    }
    // Without a stream the frame listeners do nothing, and a terrain that never opened one can
    // be destroyed while the other goes on.
    EXPECT_TRUE(engine.root->_fireFrameStarted());
    engine.scene->destroyMovableObject(a);
    EXPECT_TRUE(engine.root->_fireFrameStarted());
    engine.scene->destroyMovableObject(b);
    EXPECT_TRUE(engine.root->_fireFrameStarted());
}

TEST(Plugin, InitialisingTwiceRegistersOnceAndShutdownIsIdempotent)
{
    Engine engine;
    Ogre::Plugin* plugin = engine.root->getInstalledPlugins()[0];
    plugin->initialise();
    EXPECT_TRUE(engine.root->hasMovableObjectFactory("Terrain"));
    plugin->shutdown();
    EXPECT_FALSE(engine.root->hasMovableObjectFactory("Terrain"));
    plugin->shutdown();
    plugin->initialise();
    EXPECT_TRUE(engine.root->hasMovableObjectFactory("Terrain"));
}

TEST(Terrain, PatchSizeMustBeAPowerOfTwoThatSixteenBitIndicesAddress)
{
    Engine engine;
    Terrain* terrain = engine.createTerrain("t");
    for (int size : {0, -8, 1, 3, 48, 100, 256, 1024})
        expectThrows<Ogre::InvalidStateException>([&] { terrain->setPatchSize(size); },
                                                  "setPatchSize() must be a power of 2", "Terrain");
    for (int size : {2, 4, 8, 16, 32, 64, 128})
        EXPECT_NO_THROW(terrain->setPatchSize(size)) << size;
}

TEST(Terrain, ScaleSetsTheBoxAndTheStreamNeedsAHeight)
{
    Engine engine;
    Terrain* terrain = engine.createTerrain("t");
    terrain->setTerrainScale(1024, 300);
    EXPECT_EQ(terrain->getBoundingBox(),
              Ogre::AxisAlignedBox(-512, 0, -512, 512, 300, 512));
    EXPECT_FLOAT_EQ(terrain->getBoundingRadius(), Ogre::Vector3(1024, 300, 1024).length() / 2);

    expectThrows<Ogre::InvalidStateException>([&] { engine.createTerrain("fresh")->openStream("does-not-matter.tif"); },
                                              "setTerrainScale() must be called before the stream is opened", "Terrain");
    EXPECT_FALSE(terrain->openStream("no-such-file.tif"));
}

TEST(Terrain, SettingsThatMakeNoSenseThrowAndChangeNothing)
{
    Engine engine;
    Terrain* terrain = engine.createTerrain("t");
    terrain->setTerrainScale(1024, 300);
    const float nan = std::nanf(""), inf = INFINITY;
    const auto expectRefused = [&](const std::function<void()>& call, const char* what) {
        SCOPED_TRACE(what);
        EXPECT_THROW(call(), Ogre::InvalidParametersException);
        EXPECT_EQ(terrain->getBoundingBox(), Ogre::AxisAlignedBox(-512, 0, -512, 512, 300, 512));
    };
    for (const auto& [size, height] : std::vector<std::pair<float, float>>{
             {0, 300}, {-1024, 300}, {nan, 300}, {inf, 300}, {1024, 0}, {1024, -1}, {1024, nan}, {1024, inf}})
        expectRefused([&, s = size, h = height] { terrain->setTerrainScale(s, h); }, "scale");
    for (const auto& [near, far, distance] : std::vector<std::tuple<float, float, float>>{
             {nan, 16, 100}, {-1, 16, 100}, {8, nan, 100}, {8, -16, 100}, {8, 16, nan}, {8, 16, -100}})
        expectRefused([&, a = near, b = far, c = distance] { terrain->setDetailThreshold(a, b, c); }, "detail");
    expectRefused([&] { terrain->setMaterialDistance(nan); }, "material distance");
    // Values with a sensible reading keep it.
    EXPECT_NO_THROW(terrain->setDetailThreshold(0, 0, 0));
    EXPECT_NO_THROW(terrain->setDetailThreshold(inf, inf, inf));
    EXPECT_NO_THROW(terrain->setMaterialDistance(-50));
    EXPECT_NO_THROW(terrain->setOgreBuildLimits(-5, -5));
    EXPECT_NO_THROW(terrain->setHeightCacheSize(-5));
    EXPECT_NO_THROW(terrain->setDrawableKeepFrames(-5));
}

TEST(Terrain, PatchIdentifiersRoundTripAtEveryLevel)
{
    Engine engine;
    Terrain* terrain = engine.createTerrain("t");
    const float size = 1024.0f;
    terrain->setTerrainScale(size, 100);

    // The worked examples.
    Ogre::Vector2 corner, cell;
    EXPECT_EQ(terrain->getPatchInfo(Ogre::Vector3(100, 0, -300), 2, corner, cell), 20u);
    EXPECT_EQ(corner, Ogre::Vector2(0, -512));
    EXPECT_EQ(cell, Ogre::Vector2(256, 256));
    EXPECT_EQ(terrain->getPatchInfo(Ogre::Vector3(300, 0, -300), 1), 5u);
    EXPECT_EQ(terrain->getPatchInfo(Ogre::Vector3(3 * 256 - 512 + 1, 0, 256 - 512 + 1), 2), 23u);
    EXPECT_EQ(terrain->getPatchInfo(Ogre::Vector3(-400, 0, 77), 0), 1u);
    EXPECT_EQ(terrain->getPatchInfo(1u, corner, cell), 0);
    EXPECT_EQ(corner, Ogre::Vector2(-512, -512));
    EXPECT_EQ(cell, Ogre::Vector2(1024, 1024));

    std::mt19937 random(7);
    std::uniform_real_distribution<float> coordinate(-512.0f, 511.99f);
    for (int level = 0; level <= 15; ++level)
        for (int k = 0; k < 200; ++k)
        {
            const Ogre::Vector3 point(coordinate(random), 0, coordinate(random));
            Ogre::Vector2 encodedCorner, encodedSize, decodedCorner, decodedSize;
            const unsigned int id = terrain->getPatchInfo(point, level, encodedCorner, encodedSize);
            ASSERT_EQ(terrain->getPatchInfo(id, decodedCorner, decodedSize), level);
            ASSERT_EQ(decodedSize, encodedSize);
            ASSERT_NEAR(decodedCorner.x, encodedCorner.x, 1e-3f) << level;
            ASSERT_NEAR(decodedCorner.y, encodedCorner.y, 1e-3f) << level;
            ASSERT_LE(decodedCorner.x, point.x);
            ASSERT_LT(point.x, decodedCorner.x + decodedSize.x);
            ASSERT_LE(decodedCorner.y, point.z);
            ASSERT_LT(point.z, decodedCorner.y + decodedSize.y);
            // The identifier of the cell's centre is the same identifier.
            const Ogre::Vector3 centre(decodedCorner.x + decodedSize.x / 2, 0, decodedCorner.y + decodedSize.y / 2);
            ASSERT_EQ(terrain->getPatchInfo(centre, level), id);
        }
    // Points outside the square name the nearest patch on its border.
    EXPECT_EQ(terrain->getPatchInfo(Ogre::Vector3(512, 0, 512), 1), 7u);
    EXPECT_EQ(terrain->getPatchInfo(Ogre::Vector3(-9000, 0, 9000), 1), 6u);
}
