// Blood-patch decals: reuse, queue groups, the texture mapping, and the list of patches in view.

#include "DrawingFixture.h"
#include "lod/PatchId.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{
// The flat map seen from above, every drawable made at once, settled; the level-4 patch at
// (10, 10) and a red texture to draw on it.
class Decals : public DrawingTest
{
protected:
    Ogre::Camera* settledView(bool withBlood = true)
    {
        makeTerrain(flatMap());
        terrain->setOgreBuildLimits(10000, 10000);
        if (withBlood)
            terrain->setBloodMaterial(bloodMaterial);
        Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 800, -300), Ogre::Vector3(0, 100, 0));
        settle(camera);
        id = terrain->getPatchInfo(Ogre::Vector3(10, 0, 10), 4);
        red = texture("red", 64);
        return camera;
    }

    unsigned int id = 0;
    Ogre::TexturePtr red;
};
} // namespace

TEST_F(Decals, AreReusedByPositionAndQueuedOneGroupUp)
{
    Ogre::Camera* camera = settledView();
    const Ogre::Vector3 points[3] = {Ogre::Vector3(-100, 0, -100), Ogre::Vector3(100, 0, 100),
                                     Ogre::Vector3(-300, 0, 200)};
    const unsigned int ids[3] = {terrain->getPatchInfo(points[0], 4), terrain->getPatchInfo(points[1], 4),
                                 terrain->getPatchInfo(points[2], 4)};
    for (unsigned int patch : ids)
        terrain->drawBloodPatch(patch, red, 0, 0);
    std::vector<Queued> decals = inGroup(render(camera), 51);
    ASSERT_EQ(decals.size(), 3u);
    // Clones of the blood material named by a counter that goes on from decal to decal.
    const std::string firstName = decals[0].renderable->getMaterial()->getName();
    ASSERT_EQ(firstName.rfind("Blood", 0), 0u) << firstName;
    const unsigned long counter = std::stoul(firstName.substr(5));
    for (size_t i = 0; i < 3; ++i)
    {
        const Ogre::MaterialPtr& clone = decals[i].renderable->getMaterial();
        EXPECT_EQ(clone->getName(), "Blood" + std::to_string(counter + i));
        EXPECT_TRUE(Ogre::MaterialManager::getSingleton().resourceExists(clone->getName()));
        EXPECT_EQ(clone->getTechnique(0)->getPass(0)->getTextureUnitState(0)->_getTexturePtr(), red);
        // The decal draws its patch's own buffers with the patch's transform.
        auto* decal = static_cast<TerrainDecal*>(decals[i].renderable);
        // The flat map is drawn at level 4 everywhere: the patch drawn at the point is the one named.
        const PatchNode* patch = drawnAt(points[i].x, points[i].z);
        ASSERT_EQ(patch->level, 4u);
        Ogre::RenderOperation own, borrowed;
        drawableOf(patch)->getRenderOperation(own);
        decal->getRenderOperation(borrowed);
        EXPECT_EQ(borrowed.vertexData, own.vertexData);
        EXPECT_EQ(borrowed.indexData, own.indexData);
        EXPECT_EQ(decal->getSquaredViewDepth(camera), drawableOf(patch)->getSquaredViewDepth(camera));
    }
    std::vector<const Ogre::Renderable*> firstDecals;
    for (const Queued& q : decals)
        firstDecals.push_back(q.renderable);

    // One request in the next frame: the first decal serves it, the other two are not queued.
    terrain->drawBloodPatch(ids[2], red, 0, 0);
    decals = inGroup(frame(camera), 51);
    ASSERT_EQ(decals.size(), 1u);
    EXPECT_EQ(decals[0].renderable, firstDecals[0]);
    EXPECT_EQ(static_cast<TerrainDecal*>(decals[0].renderable)->patchId, ids[2]);
    for (int i = 1; i < 3; ++i)
        EXPECT_EQ(static_cast<const TerrainDecal*>(firstDecals[size_t(i)])->source, nullptr);
    // No request: nothing queued, but the decals (and their clones) remain for later frames.
    EXPECT_TRUE(inGroup(frame(camera), 51).empty());
    for (unsigned int patch : ids)
        terrain->drawBloodPatch(patch, red, 0, 0);
    decals = inGroup(frame(camera), 51);
    ASSERT_EQ(decals.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(decals[i].renderable, firstDecals[i]);

    // Only the reference camera draws decals.
    Ogre::Camera* under = engine.createCamera("under", Ogre::Vector3(0, -10, 0), Ogre::Vector3(0, -10, 10));
    terrain->drawBloodPatch(ids[0], red, 0, 0);
    EXPECT_TRUE(inGroup(render(under), 51).empty());

    // The request made while another camera rendered waits for the reference camera's pass.
    EXPECT_EQ(inGroup(frame(camera), 51).size(), 1u);

    // A new blood material replaces every decal; the names go on counting.
    const std::string firstClone = firstName;
    terrain->setBloodMaterial(bloodMaterial);
    EXPECT_FALSE(Ogre::MaterialManager::getSingleton().resourceExists(firstClone));
    terrain->drawBloodPatch(ids[0], red, 0, 0);
    decals = inGroup(frame(camera), 51);
    ASSERT_EQ(decals.size(), 1u);
    EXPECT_EQ(decals[0].renderable->getMaterial()->getName(), "Blood" + std::to_string(counter + 3));
}

TEST_F(Decals, GroupWrapsPastTheLastQueueGroup)
{
    Ogre::Camera* camera = settledView();
    const auto decalGroups = [&](const std::vector<Queued>& queued, Ogre::uint8 terrainGroup) {
        std::vector<int> groups;
        for (const Queued& q : queued)
            if (q.group != terrainGroup)
                groups.push_back(q.group);
        return groups;
    };
    terrain->setRenderQueueGroup(50);
    terrain->drawBloodPatch(id, Ogre::TexturePtr(), 0, 0);
    EXPECT_EQ(decalGroups(render(camera), 50), std::vector<int>{51});

    // The engine's last group (it refuses higher ones): the decals wrap to the first.
    terrain->setRenderQueueGroup(Ogre::RENDER_QUEUE_MAX);
    terrain->drawBloodPatch(id, Ogre::TexturePtr(), 0, 0);
    EXPECT_EQ(decalGroups(render(camera), Ogre::RENDER_QUEUE_MAX), std::vector<int>{0});
}

TEST_F(DrawingTest, DecalMappingCoversTheRequestedCell)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    terrain->setBloodMaterial(bloodMaterial);
    const Ogre::Vector3 shift(1000, 0, -2000);
    terrain->getParentSceneNode()->setPosition(shift);
    Ogre::Camera* camera = engine.createCamera("eye", shift + Ogre::Vector3(0, 800, -300), shift + Ogre::Vector3(0, 100, 0));
    settle(camera);
    // The level-4 patch [64, 128) x [-128, -64): S0 = 64.
    const unsigned int id = terrain->getPatchInfo(Ogre::Vector3(100, 0, -100), 4);
    const Ogre::TexturePtr big = texture("t256", 256);
    const Ogre::TexturePtr small = texture("t64", 64);
    struct Case
    {
        Ogre::TexturePtr texture;
        int code, depth;
        Ogre::Vector4 expected;
    };
    const float x0 = 64 + shift.x, z0 = -128 + shift.z;
    const Case cases[] = {
        // The whole patch: S = 64, margin one 256th of it.
        {big, 0, 0, Ogre::Vector4(x0 - 0.25f, z0 - 0.25f, 0.0155029296875f, 0.0155029296875f)},
        // Pairs 01 then 10: the high-x half, then the high-z half of that; S = 16.
        {big, 6, 2, Ogre::Vector4(x0 + 32 - 0.0625f, z0 + 16 - 0.0625f, 0.06201171875f, 0.06201171875f)},
        // Pair 11: the high-x, high-z quarter with a 64-texel texture; S = 32.
        {small, 3, 1, Ogre::Vector4(x0 + 32 - 0.5f, z0 + 32 - 0.5f, 1.0f / 32 - 2.0f / 64 / 32, 1.0f / 32 - 2.0f / 64 / 32)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " depth " << c.depth);
        terrain->drawBloodPatch(id, c.texture, c.code, c.depth);
        const std::vector<Queued> decals = inGroup(frame(camera), 51);
        ASSERT_EQ(decals.size(), 1u);
        EXPECT_EQ(decals[0].renderable->getCustomParameter(TerrainDecal::kMappingParameter), c.expected);
    }
    // An empty texture blanks the unit and leaves the mapping as it was.
    terrain->drawBloodPatch(id, Ogre::TexturePtr(), 0, 0);
    const std::vector<Queued> decals = inGroup(frame(camera), 51);
    ASSERT_EQ(decals.size(), 1u);
    EXPECT_EQ(decals[0].renderable->getCustomParameter(TerrainDecal::kMappingParameter), cases[2].expected);
    EXPECT_FALSE(decals[0].renderable->getMaterial()->getTechnique(0)->getPass(0)->getTextureUnitState(0)->_getTexturePtr());
}

TEST_F(DrawingTest, DecalsFollowTheirPatchesDrawable)
{
    makeTerrain(flatMap());
    terrain->setBloodMaterial(bloodMaterial);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 800, -300), Ogre::Vector3(0, 100, 0));
    const unsigned int id = terrain->getPatchInfo(Ogre::Vector3(10, 0, 10), 4);
    const Ogre::TexturePtr red = texture("red", 64);

    // Requested before the patch exists, then while it has no drawable: nothing is queued.
    terrain->setOgreBuildLimits(0, 0);
    terrain->drawBloodPatch(id, red, 0, 0);
    EXPECT_TRUE(inGroup(frame(camera), 51).empty());
    settle(camera);
    terrain->drawBloodPatch(id, red, 0, 0);
    EXPECT_TRUE(inGroup(render(camera), 51).empty());
    // Once the patch has a drawable, the same request finds it.
    terrain->setOgreBuildLimits(10000, 0);
    render(camera);
    terrain->drawBloodPatch(id, red, 0, 0);
    std::vector<Queued> decals = inGroup(frame(camera), 51);
    ASSERT_EQ(decals.size(), 1u);
    auto* decal = static_cast<TerrainDecal*>(decals[0].renderable);
    EXPECT_EQ(decal->source, drawableOf(drawnAt(10, 10)));
    EXPECT_EQ(decal->getCustomParameter(TerrainDecal::kMappingParameter).x, 0.0f - 1.0f / 64 * 64);

    // The patch and its drawable go with a new heightmap: the decal lets go at once, and finds
    // the new drawable once there is one.
    ASSERT_TRUE(terrain->openStream(flatMap()));
    EXPECT_EQ(decal->source, nullptr);
    EXPECT_EQ(decal->patchId, 0u);
    for (int i = 0; i < 5000 && !drawnAt(10, 10); ++i)
    {
        terrain->drawBloodPatch(id, red, 0, 0);
        decals = inGroup(frame(camera), 51);
        for (const Queued& q : decals)
            EXPECT_NE(static_cast<TerrainDecal*>(q.renderable)->source, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    settle(camera);
    terrain->drawBloodPatch(id, red, 0, 0);
    decals = inGroup(frame(camera), 51);
    ASSERT_EQ(decals.size(), 1u);
    EXPECT_EQ(static_cast<TerrainDecal*>(decals[0].renderable)->source, drawableOf(drawnAt(10, 10)));

    // A patch deeper than the tree reaches: detached and blank for the frame.
    terrain->drawBloodPatch(terrain->getPatchInfo(Ogre::Vector3(10, 0, 10), 9), red, 0, 0);
    EXPECT_TRUE(inGroup(frame(camera), 51).empty());
    EXPECT_EQ(decal->patchId, 0u);
    EXPECT_FALSE(decal->getMaterial()->getTechnique(0)->getPass(0)->getTextureUnitState(0)->_getTexturePtr());
}

TEST_F(Decals, WithoutABloodMaterialNothingIsDrawnOnTheGround)
{
    Ogre::Camera* camera = settledView(false);
    const size_t patches = render(camera).size();

    // Requests made without a blood material are dropped, not kept for later.
    terrain->drawBloodPatch(id, red, 0, 0);
    terrain->setBloodMaterial(bloodMaterial);
    EXPECT_EQ(frame(camera).size(), patches);

    terrain->drawBloodPatch(id, red, 0, 0);
    EXPECT_EQ(frame(camera).size(), patches + 1);
    // A failed look-up leaves no blood material: the decal stops drawing with the next frame.
    EXPECT_THROW(terrain->setBloodMaterialName("No such blood"), Ogre::ItemIdentityException);
    terrain->drawBloodPatch(id, red, 0, 0);
    EXPECT_EQ(frame(camera).size(), patches);
}

TEST_F(DrawingTest, BloodPatchListHoldsTheDrawnPatchesInView)
{
    makeTerrain(roughMap(), 300);
    std::vector<std::pair<unsigned int, float>> out;
    EXPECT_EQ(terrain->getBloodPatches(0, out), 0u) << "before any camera";
    EXPECT_TRUE(out.empty());
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(200, 300, -500), Ogre::Vector3(-100, 0, 100));
    settle(camera);

    std::vector<std::pair<unsigned int, float>> expected;
    forEachDrawn(root(), [&](const PatchNode* node) {
        if (inView(camera, node->bounds))
            expected.emplace_back(makePatchId(node->cellX, node->cellZ, int(node->level)),
                                  node->bounds.distance(camera->getDerivedPosition()));
    });
    ASSERT_GT(expected.size(), 10u);
    out.assign({{7u, 1.5f}, {9u, 2.5f}});
    EXPECT_EQ(terrain->getBloodPatches(123.0f, out), expected.size() + 2) << "appends";
    ASSERT_EQ(out.size(), expected.size() + 2);
    EXPECT_EQ(out[0], std::make_pair(7u, 1.5f));
    EXPECT_EQ(out[1], std::make_pair(9u, 2.5f));
    for (size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ(out[i + 2].first, expected[i].first) << i;
        EXPECT_NEAR(out[i + 2].second, expected[i].second, 1e-3f) << i;
    }

    // A destroyed reference camera is forgotten with its snapshot.
    engine.scene->destroyCamera(camera);
    out.clear();
    EXPECT_EQ(terrain->getBloodPatches(0, out), 0u);
    EXPECT_TRUE(terrain->frameStarted(Ogre::FrameEvent{}));
}

TEST_F(Decals, RequestsThatNameNoPatchOrCellAttachNothing)
{
    Ogre::Camera* camera = settledView();
    const uint32_t decalsBefore = TerrainDecal::decalCounter;
    // No level marker (0, 2, 3 would name the whole terrain), depths outside 0 .. 15.
    struct Request
    {
        unsigned int id;
        int code, depth;
    };
    for (const Request& r : {Request{0, 0, 0}, Request{2, 0, 0}, Request{3, 1, 1}, Request{0x80000000u, 0, 0},
                             Request{id, 0, 16}, Request{id, 1, 17}, Request{id, 0, 100}, Request{id, 0, -1}})
        terrain->drawBloodPatch(r.id, red, r.code, r.depth);
    EXPECT_TRUE(inGroup(frame(camera), 51).empty());
    EXPECT_EQ(TerrainDecal::decalCounter, decalsBefore) << "no decal was even made";
    // The deepest cell a code holds still works.
    terrain->drawBloodPatch(id, red, 0x3FFFFFFF, 15);
    EXPECT_EQ(inGroup(frame(camera), 51).size(), 1u);
}

TEST_F(Decals, RequestsLiveForOneFrameAndTheListFollowsTheView)
{
    Ogre::Camera* camera = settledView();
    std::vector<std::pair<unsigned int, float>> inView;
    EXPECT_GT(terrain->getBloodPatches(0, inView), 10u);
    const uint32_t decalsBefore = TerrainDecal::decalCounter;

    // Looking at the sky, the engine does not ask the terrain for its render queue: the
    // requests of those frames are never served, and must not pile up.
    camera->getParentSceneNode()->lookAt(Ogre::Vector3(0, 5000, -280), Ogre::Node::TS_WORLD);
    for (int f = 0; f < 200; ++f)
    {
        for (int k = 0; k < 3; ++k)
            terrain->drawBloodPatch(id, red, k, 1);
        terrain->frameStarted(Ogre::FrameEvent{});
    }
    inView.clear();
    EXPECT_EQ(terrain->getBloodPatches(0, inView), 0u) << "nothing of the terrain is in view";
    // Back to the ground: the frame draws this frame's requests and no more.
    camera->getParentSceneNode()->lookAt(Ogre::Vector3(0, 100, 0), Ogre::Node::TS_WORLD);
    for (int k = 0; k < 3; ++k)
        terrain->drawBloodPatch(id, red, k, 1);
    EXPECT_EQ(inGroup(frame(camera), 51).size(), 3u);
    EXPECT_EQ(TerrainDecal::decalCounter - decalsBefore, 3u) << "three decals in all";
    EXPECT_GT(terrain->getBloodPatches(0, inView), 10u);
}
