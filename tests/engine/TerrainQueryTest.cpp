// The exported queries of a Terrain in a real Ogre::Root, and the frames that drive it.

#include "EngineSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace testing_support;

namespace
{
class TerrainQueries : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A tilted plane: height = x sample * 10 + z sample * 4, 513 samples over 1024 units, so
        // that the vertices of the patches drawn (level 4 and deeper) fall on samples.
        file = writeHeightmap(folder.file("plane.tif"), 513, 513, [](int x, int z) { return uint16_t(10 * x + 4 * z); });
        terrain = std::make_unique<TestTerrain>("ground");
        engine.scene->getRootSceneNode()->attachObject(terrain.get());
        terrain->setTerrainScale(1024, 65535);
        terrain->setPatchSize(16);
    }

    // Drives frames the way the engine does for a camera that sees the terrain, until it has
    // settled (bounded).
    void settle(Ogre::Camera* camera, int maxFrames = 5000)
    {
        testing_support::settle(*terrain, [&] {
            terrain->_notifyCurrentCamera(camera);
            engine.root->_fireFrameStarted();
        }, maxFrames);
    }

    static float planeHeight(float x, float z) { return 10.0f * (x + 512) / 2 + 4.0f * (z + 512) / 2; }

    TestFolder folder;
    Engine engine;
    std::unique_ptr<TestTerrain> terrain;
    std::string file;
};
} // namespace

TEST_F(TerrainQueries, NothingIsFoundBeforeTheFirstFrameOrOutsideTheTerrain)
{
    ASSERT_TRUE(terrain->openStream(file));
    const Terrain::Hit early = terrain->getHeight(Ogre::Vector3(0, 0, 0));
    EXPECT_FALSE(early.hit) << "no patch is drawn yet";
    EXPECT_EQ(early.position.y, -99.0f);
    EXPECT_FALSE(terrain->intersect(Ogre::Ray(Ogre::Vector3(0, 500, 0), Ogre::Vector3::NEGATIVE_UNIT_Y)).hit);

    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 300, -600), Ogre::Vector3(0, 0, 0));
    settle(camera);
    const Terrain::Hit outside = terrain->getHeight(Ogre::Vector3(600, 77, 0));
    EXPECT_FALSE(outside.hit);
    EXPECT_EQ(outside.level, 0);
    EXPECT_EQ(outside.position, Ogre::Vector3(600, 0, 0)) << "y is the bottom of the terrain's box";
    // The box is inclusive: the terrain's edge is inside.
    const Terrain::Hit edge = terrain->getHeight(Ogre::Vector3(512, 0, 512));
    EXPECT_TRUE(edge.hit);
    EXPECT_NEAR(edge.position.y, planeHeight(512, 512), 1e-2f);
    // A ray that meets the terrain only beyond 100000 units misses.
    EXPECT_FALSE(terrain->intersect(Ogre::Ray(Ogre::Vector3(0, 200000, 0), Ogre::Vector3::NEGATIVE_UNIT_Y)).hit);
    // Pointing away, or starting under the ground pointing down: no hit behind the origin.
    EXPECT_FALSE(terrain->intersect(Ogre::Ray(Ogre::Vector3(0, 9000, 0), Ogre::Vector3::UNIT_Y)).hit);
    EXPECT_FALSE(terrain->intersect(Ogre::Ray(Ogre::Vector3(0, -10, 0), Ogre::Vector3::NEGATIVE_UNIT_Y)).hit);
}

TEST_F(TerrainQueries, HeightsRaysAndNormalsFollowTheDrawnPlane)
{
    ASSERT_TRUE(terrain->openStream(file));
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 300, -600), Ogre::Vector3(0, 0, 0));
    settle(camera);
    ASSERT_GT(terrain->getDebugInfo().patchCount, 21u);
    const Ogre::Vector3 planeNormal = Ogre::Vector3(-10.0f / 2, 1, -4.0f / 2).normalisedCopy();
    for (float x = -500; x <= 500; x += 37)
        for (float z = -500; z <= 500; z += 41)
        {
            const Terrain::Hit hit = terrain->getHeight(Ogre::Vector3(x, 0, z));
            ASSERT_TRUE(hit.hit);
            ASSERT_NEAR(hit.position.y, planeHeight(x, z), 0.02f);
            ASSERT_LT((hit.normal.normalisedCopy() - planeNormal).length(), 1e-3f)
                << x << "," << z << " " << hit.normal << " level " << int(hit.level);
            ASSERT_GE(hit.level, 4) << "patches shallower than level 4 are always split";
            const Terrain::Hit nearest = terrain->getApproximateHeight(Ogre::Vector3(x, 0, z));
            ASSERT_TRUE(nearest.hit);
            // The nearest vertex lies at most half a vertex spacing (4 units) away in x and z.
            ASSERT_LE(std::fabs(nearest.position.y - hit.position.y), 2.0f * (5.0f + 2.0f));

            const Terrain::Hit ray = terrain->intersect(
                Ogre::Ray(Ogre::Vector3(x - 100, 1500, z - 50), Ogre::Vector3(100, -1500 + planeHeight(x, z), 50)));
            ASSERT_TRUE(ray.hit);
            ASSERT_LT(ray.position.distance(Ogre::Vector3(x, planeHeight(x, z), z)), 0.1f);
            ASSERT_LT((ray.normal - planeNormal).length(), 1e-3f);
        }
}

TEST_F(TerrainQueries, ACameraWithoutAViewportDrivesNoUpdate)
{
    ASSERT_TRUE(terrain->openStream(file));
    const uint64_t begun = terrain->getDebugInfo().patchCount;
    Ogre::Camera* loose = engine.scene->createCamera("loose");
    Ogre::SceneNode* node = engine.scene->getRootSceneNode()->createChildSceneNode();
    node->attachObject(loose);
    node->setPosition(0, 100, 0);
    // It becomes the reference camera (it is above the ground), but without a viewport there is
    // no pixel scale, so the frame does nothing rather than refine with a made-up one.
    terrain->_notifyCurrentCamera(loose);
    EXPECT_TRUE(engine.root->_fireFrameStarted());
    EXPECT_EQ(terrain->getDebugInfo().patchCount, begun);
    EXPECT_FALSE(terrain->getHeight(Ogre::Vector3(0, 0, 0)).hit) << "nothing drawn yet";

    // Once the reference camera is destroyed the terrain forgets it instead of reading it.
    engine.scene->destroyCamera(loose);
    EXPECT_TRUE(engine.root->_fireFrameStarted());
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 300, -600), Ogre::Vector3(0, 0, 0));
    settle(camera);
    EXPECT_TRUE(terrain->getHeight(Ogre::Vector3(0, 0, 0)).hit) << "updated once the camera has a viewport";

    // A camera at or below the ground renders but does not drive the level of detail.
    Ogre::Camera* under = engine.createCamera("under", Ogre::Vector3(0, -5, 0), Ogre::Vector3(0, -5, 100));
    terrain->_notifyCurrentCamera(under);
    engine.scene->destroyCamera(camera);
    EXPECT_TRUE(engine.root->_fireFrameStarted());
}

TEST_F(TerrainQueries, RaysOfAnyDirectionLengthFindTheDrawnSurfaceOrNothing)
{
    ASSERT_TRUE(terrain->openStream(file));
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 300, -600), Ogre::Vector3(0, 0, 0));
    settle(camera);
    const Ogre::Vector3 origin(30, 9000, -40);
    for (const float length : {1e-30f, 1e-6f, 1.0f, 1e6f, 1e30f, 3e38f})
        for (const Ogre::Vector3& way : {Ogre::Vector3(0, -1, 0), Ogre::Vector3(0.05f, -1, 0.02f).normalisedCopy()})
        {
            SCOPED_TRACE(testing::Message() << "length " << length << " way " << way);
            const Terrain::Hit hit = terrain->intersect(Ogre::Ray(origin, way * length));
            ASSERT_TRUE(hit.hit);
            // On the drawn surface, and on the ray.
            EXPECT_NEAR(hit.position.y, terrain->getHeight(hit.position).position.y, 0.05f);
            EXPECT_LT((hit.position - origin).crossProduct(way).length(), 0.05f);
            EXPECT_GT(hit.normal.y, 0.0f);
        }
    const float nan = std::nanf(""), inf = INFINITY;
    for (const Ogre::Ray& ray : {Ogre::Ray(origin, Ogre::Vector3::ZERO), Ogre::Ray(origin, Ogre::Vector3(0, nan, 0)),
                                 Ogre::Ray(origin, Ogre::Vector3(0, -inf, 0)), Ogre::Ray(Ogre::Vector3(nan, 100, 0), Ogre::Vector3::NEGATIVE_UNIT_Y),
                                 Ogre::Ray(Ogre::Vector3(0, inf, 0), Ogre::Vector3::NEGATIVE_UNIT_Y)})
        EXPECT_FALSE(terrain->intersect(ray).hit) << ray.getOrigin() << " " << ray.getDirection();
}
