// Host materials near the camera, the material pass, releases, and missing materials.

#include "DrawingFixture.h"

#include <gtest/gtest.h>

using namespace testing_support;

TEST_F(DrawingTest, HostMaterialsAreAskedForOnlyWithinTheDistanceAtCreation)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(200);
    const Ogre::Vector3 eye(8, 150, 8);
    Ogre::Camera* camera = engine.createCamera("eye", eye, Ogre::Vector3(8, 100, 30));
    settle(camera);
    ASSERT_FALSE(host.requests.empty());
    EXPECT_EQ(host.flags, std::set<int>{0});
    for (const Ogre::AxisAlignedBox& box : host.requests)
        EXPECT_LT(box.squaredDistance(eye), 200.0f * 200.0f) << box;
    // Every drawable within the distance holds its own host material, every other the default.
    std::set<const Ogre::Material*> holders;
    forEachNode(root(), [&](const PatchNode* node) {
        TerrainRenderable* drawable = drawableOf(node);
        if (!drawable)
            return;
        if (node->bounds.squaredDistance(eye) < 200.0f * 200.0f)
        {
            EXPECT_NE(drawable->getMaterial(), defaultMaterial);
            EXPECT_TRUE(holders.insert(drawable->getMaterial().get()).second) << "one material per patch";
        }
        else
        {
            EXPECT_EQ(drawable->getMaterial(), defaultMaterial);
        }
    });
    EXPECT_GT(holders.size(), 0u);
    expectEachHostMaterialHeldOrGivenBackOnce();
}

TEST_F(DrawingTest, MaterialPassRunsAfterMoreThanAHundredUnitsAndTakesTheDistanceAsNear)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(50);
    // 50 units above the ground: the patch under the eye lies exactly at the material distance.
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(8, 150, 8), Ogre::Vector3(8, 100, 30));
    settle(camera);
    const PatchNode* under = drawnAt(8, 8);
    ASSERT_NE(drawableOf(under), nullptr);
    EXPECT_EQ(under->bounds.squaredDistance(Ogre::Vector3(8, 150, 8)), 2500.0f);
    EXPECT_TRUE(host.requests.empty()) << "at exactly the distance a new drawable is not near";

    // Exactly 100 units of travel is not more than 100.
    moveCamera(camera, Ogre::Vector3(8, 150, 108));
    frame(camera);
    EXPECT_TRUE(host.requests.empty());

    moveCamera(camera, Ogre::Vector3(8, 150, 108.5f));
    frame(camera);
    const PatchNode* next = drawnAt(8, 108.5f);
    ASSERT_EQ(host.requests.size(), 1u) << "only the patch at exactly the distance is near";
    EXPECT_EQ(host.requests[0], next->bounds);
    ASSERT_EQ(host.handedOut.size(), 1u);
    EXPECT_EQ(drawableOf(next)->getMaterial(), host.handedOut[0]);

    // The pass measures from where it last ran: a short move back does not run it again.
    moveCamera(camera, Ogre::Vector3(8, 150, 60));
    frame(camera);
    EXPECT_EQ(host.requests.size(), 1u);
    // Nor did it give anything back: the host material came back only if its patch gave way to
    // its children.
    EXPECT_EQ(host.releasesOf(host.handedOut[0]), drawableOf(next) ? 0 : 1);
    EXPECT_EQ(host.released.size(), host.released.count(defaultMaterial.get()) + (drawableOf(next) ? 0 : 1));
}

TEST_F(DrawingTest, EachHostMaterialIsReleasedExactlyOnceWhateverTheHostThrows)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(150);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-300, 200, -300), Ogre::Vector3(-300, 100, -290));
    settle(camera);
    // The host materials of drawn patches (the material pass visits only those).
    const auto heldByDrawn = [&] {
        std::map<const PatchNode*, Ogre::MaterialPtr> held;
        forEachDrawn(root(), [&](const PatchNode* node) {
            if (drawableOf(node)->getMaterial() != defaultMaterial)
                held[node] = drawableOf(node)->getMaterial();
        });
        return held;
    };
    const std::map<const PatchNode*, Ogre::MaterialPtr> first = heldByDrawn();
    ASSERT_GT(first.size(), 3u);

    // Far from all of them: each gives its host material back once and returns to the default;
    // the patches near the new position get theirs.
    moveCamera(camera, Ogre::Vector3(300, 200, 300));
    frame(camera);
    for (const auto& [node, material] : first)
    {
        EXPECT_EQ(host.releasesOf(material), 1);
        EXPECT_EQ(drawableOf(node)->getMaterial(), defaultMaterial);
    }
    expectEachHostMaterialHeldOrGivenBackOnce();
    const std::map<const PatchNode*, Ogre::MaterialPtr> second = heldByDrawn();
    ASSERT_GT(second.size(), 3u);
    for (const auto& entry : second)
        EXPECT_LE(entry.first->bounds.squaredDistance(Ogre::Vector3(300, 200, 300)), 150.0f * 150.0f);

    // Another pass near neither: the second set goes back once, the first is not given twice.
    moveCamera(camera, Ogre::Vector3(-300, 200, 300));
    frame(camera);
    for (const auto& entry : second)
        EXPECT_EQ(host.releasesOf(entry.second), 1);
    for (const auto& entry : first)
        EXPECT_EQ(host.releasesOf(entry.second), 1);

    // A new heightmap destroys every patch, and so does destroying the terrain: each drawable gives
    // its material back once, host or default, whatever the host throws, and each failure is logged.
    const auto expectAllGivenBack = [&](const std::function<void()>& destroy) {
        const uint64_t drawables = terrain->getDebugInfo().drawables;
        const uint64_t holdingHost = countNodes(
            [&](const PatchNode* node) { return drawableOf(node) && drawableOf(node)->getMaterial() != defaultMaterial; });
        EXPECT_GT(holdingHost, 0u);
        const size_t releasesBefore = host.releasedBoxes.size();
        const int defaultsBefore = host.releasesOf(defaultMaterial);
        log.lines.clear();
        destroy();
        EXPECT_EQ(host.releasedBoxes.size() - releasesBefore, drawables);
        for (const Ogre::MaterialPtr& material : host.handedOut)
            EXPECT_EQ(host.releasesOf(material), 1);
        EXPECT_EQ(uint64_t(host.releasesOf(defaultMaterial) - defaultsBefore), drawables - holdingHost);
        EXPECT_EQ(uint64_t(std::count_if(log.lines.begin(), log.lines.end(), [](const std::string& line) {
                      return line.rfind("Error: terrain material release failed", 0) == 0;
                  })),
                  drawables);
    };
    host.failure = [] { throw std::runtime_error("host refuses"); };
    expectAllGivenBack([&] { ASSERT_TRUE(terrain->openStream(flatMap())); });
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
    EXPECT_TRUE(log.saw("host refuses"));
    settle(camera);
    host.failure = [] { throw 7; };
    expectAllGivenBack([&] { destroyTerrain(); });
}

TEST_F(DrawingTest, ANullHostMaterialIsAskedForAgainAtTheNextPass)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(300);
    host.giveNothing = true;
    const Ogre::Vector3 eye(0, 200, 0);
    Ogre::Camera* camera = engine.createCamera("eye", eye, Ogre::Vector3(0, 100, 10));
    settle(camera);
    std::map<std::string, int> asked;
    const auto key = [](const Ogre::AxisAlignedBox& box) {
        std::ostringstream out;
        out << box;
        return out.str();
    };
    for (const Ogre::AxisAlignedBox& box : host.requests)
        asked[key(box)] += 1;
    for (const auto& entry : asked)
        EXPECT_EQ(entry.second, 1) << entry.first;
    forEachNode(root(), [&](const PatchNode* node) {
        if (drawableOf(node))
        {
            EXPECT_EQ(drawableOf(node)->getMaterial(), defaultMaterial);
        }
    });

    const Ogre::Vector3 moved(101, 200, 0);
    moveCamera(camera, moved);
    frame(camera);
    int again = 0;
    forEachDrawn(root(), [&](const PatchNode* node) {
        if (node->bounds.squaredDistance(moved) <= 300.0f * 300.0f)
        {
            const int expected = node->bounds.squaredDistance(eye) < 300.0f * 300.0f ? 2 : 1;
            EXPECT_EQ(std::count(host.requests.begin(), host.requests.end(), node->bounds), expected);
            again += expected == 2;
        }
    });
    EXPECT_GT(again, 4);
    EXPECT_EQ(host.released.size(), host.released.count(defaultMaterial.get())) << "nothing was handed out";
}

TEST_F(DrawingTest, AMissingMaterialThrowsAndChangesNothing)
{
    makeTerrain(flatMap());
    terrain->setDefaultMaterial(Ogre::MaterialPtr());
    terrain->setOgreBuildLimits(0, 0);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    settle(camera);
    const auto expectMissing = [&](const std::function<void()>& run) {
        expectThrows<Ogre::ItemIdentityException>(run, "Terrain material missing", "Terrain::patchCreated");
        EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
        EXPECT_EQ(countNodes([](const PatchNode* node) { return drawableOf(node) != nullptr; }), 0u);
    };
    // Made while rendering, and made ahead of view.
    terrain->setOgreBuildLimits(10000, 0);
    expectMissing([&] { render(camera); });
    terrain->setOgreBuildLimits(0, 10000);
    expectMissing([&] { terrain->frameStarted(Ogre::FrameEvent{}); });

    // A host material within the distance is enough; beyond it the default is missing again.
    useHost(1e9f);
    terrain->setOgreBuildLimits(10000, 0);
    render(camera);
    EXPECT_GT(terrain->getDebugInfo().drawables, 0u);
    useHost(0);
    ASSERT_TRUE(terrain->openStream(flatMap()));
    terrain->setOgreBuildLimits(0, 0);
    settle(camera);
    terrain->setOgreBuildLimits(10000, 0);
    expectMissing([&] { render(camera); });

    terrain->setDefaultMaterial(defaultMaterial);
    EXPECT_FALSE(render(camera).empty());
}

TEST_F(DrawingTest, UnknownMaterialNamesThrow)
{
    makeTerrain(flatMap());
    terrain->setDefaultMaterialName("Ground");
    expectThrows<Ogre::ItemIdentityException>([&] { terrain->setDefaultMaterialName("No such ground"); },
                                              "Default terrain material not found", "Terrain::setDefaultMaterial");
    // The default is gone: the first drawable finds no material.
    terrain->setOgreBuildLimits(10000, 0);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    EXPECT_THROW(settle(camera), Ogre::ItemIdentityException);
    terrain->setDefaultMaterialName("Ground");
    settle(camera);
    const std::vector<Queued>& queued = render(camera);
    ASSERT_FALSE(queued.empty());
    EXPECT_EQ(queued.front().renderable->getMaterial(), defaultMaterial);

    expectThrows<Ogre::ItemIdentityException>([&] { terrain->setBloodMaterialName("No such blood"); },
                                              "Terrain blood material", "Terrain::setDefaultMaterial");
    EXPECT_NO_THROW(terrain->setBloodMaterialName("Blood"));
}

TEST_F(DrawingTest, AHostMaterialSourceThatThrowsLeavesNoDrawableBehind)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 0);
    useHost(1e9f);
    host.refuse = true;
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    // The host's exception passes to the engine's caller; the drawable made for it is gone
    // (the sanitizer build sees any buffer left behind).
    EXPECT_THROW(settle(camera), std::runtime_error);
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
    EXPECT_EQ(countNodes([](const PatchNode* node) { return drawableOf(node) != nullptr; }), 0u);
    host.refuse = false;
    settle(camera);
    EXPECT_GT(terrain->getDebugInfo().drawables, 0u);
}
