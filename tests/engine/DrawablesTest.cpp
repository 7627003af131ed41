// Patch drawables: the per-frame budgets, the GPU copies of the patches, restitched strips, the
// render queue and the visitor, drawables given back when out of use, the memory budget.

#include "DrawingFixture.h"
#include "engine/CameraCapture.h"

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{
// The morph parameter as a material's "param_named_auto morph custom 1" receives it: through the
// engine's custom-parameter hook, into a program's parameter block.
Ogre::Vector4 morphParameter(const Ogre::Renderable& drawable)
{
    auto constants = std::make_shared<Ogre::GpuNamedConstants>();
    Ogre::GpuConstantDefinition morph;
    morph.constType = Ogre::GCT_FLOAT4;
    morph.physicalIndex = 0;
    morph.elementSize = 4;
    constants->map["morph"] = morph;
    constants->floatBufferSize = 4;
    Ogre::GpuProgramParameters params;
    params._setNamedConstants(constants);
    params.setNamedAutoConstant("morph", Ogre::GpuProgramParameters::ACT_CUSTOM, TerrainRenderable::kMorphParameter);
    drawable._updateCustomGpuParameter(params.getAutoConstantList().front(), &params);
    const float* value = params.getFloatPointer(0);
    return Ogre::Vector4(value[0], value[1], value[2], value[3]);
}
} // namespace

// ---- drawables, budgets and counters ----

TEST_F(DrawingTest, VisibleBudgetLimitsDrawablesMadeWhileRendering)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(0, 0);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    settle(camera);
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u) << "with both budgets 0 nothing is ever made";
    EXPECT_TRUE(frame(camera).empty()) << "patches without drawables are not queued";
    const uint64_t visible = terrain->getDebugInfo().visibleCount;
    ASSERT_GT(visible, 20u);

    terrain->setOgreBuildLimits(3, 0);
    // A second camera with the same view: it would make drawables of its own if it had a budget.
    Ogre::Camera* second = engine.createCamera("second", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    uint64_t made = 0;
    int frames = 0;
    while (made < visible && frames < 1000)
    {
        const uint64_t before = terrain->getDebugInfo().drawables;
        EXPECT_EQ(frame(camera).size(), std::min<uint64_t>(made + 3, visible));
        // A second camera in the same frame shares the budget: it makes nothing more.
        render(second);
        made = terrain->getDebugInfo().drawables;
        EXPECT_EQ(made - before, std::min<uint64_t>(3, visible - before)) << "frame " << frames;
        ++frames;
    }
    EXPECT_EQ(frames, int((visible + 2) / 3));
    EXPECT_EQ(terrain->getDebugInfo().deferred, 0u) << "the pending pass is off";
}

TEST_F(DrawingTest, PendingBudgetLimitsDrawablesMadeAheadOfViewAndSharesTheFrame)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(0, 0);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    settle(camera);
    const uint64_t drawn = drawnWithoutDrawable();
    ASSERT_EQ(drawn, 256u) << "16 x 16 flat patches";

    terrain->setOgreBuildLimits(0, 5);
    frame(camera);
    Terrain::Info info = terrain->getDebugInfo();
    EXPECT_EQ(info.drawables, 5u);
    EXPECT_EQ(info.deferred, drawn - 5) << "every drawn patch the pass could not afford";
    EXPECT_EQ(info.deferred, drawnWithoutDrawable());

    // Drawables made while rendering count against the next pending pass.
    terrain->setOgreBuildLimits(2, 3);
    const uint64_t inViewWithout = [&] {
        uint64_t count = 0;
        forEachDrawn(root(), [&](const PatchNode* node) { count += !drawableOf(node) && inView(camera, node->bounds); });
        return count;
    }();
    ASSERT_GE(inViewWithout, 2u);
    render(camera);
    EXPECT_EQ(terrain->getDebugInfo().drawables, 7u);
    terrain->frameStarted(Ogre::FrameEvent{});
    EXPECT_EQ(terrain->getDebugInfo().drawables, 8u) << "3 - 2 left for the pending pass";
    terrain->frameStarted(Ogre::FrameEvent{});
    EXPECT_EQ(terrain->getDebugInfo().drawables, 11u) << "a new frame starts from 0";

    // Once every drawn patch has one, the pass defers nothing.
    terrain->setOgreBuildLimits(0, 10000);
    terrain->frameStarted(Ogre::FrameEvent{});
    EXPECT_EQ(drawnWithoutDrawable(), 0u);
    terrain->frameStarted(Ogre::FrameEvent{});
    EXPECT_EQ(terrain->getDebugInfo().deferred, 0u);
}

TEST_F(DrawingTest, LongerEngineFramesTakeOverMoreFinishedPatchesEach)
{
    // Finished builds wait for frames to take them over, about a millisecond of drawable making
    // a frame. After a frame of two seconds (a heavy view drawn in software) a frame may take 2 %
    // of it instead: the burst that frames of unknown length (an empty event, as hosts that pass
    // none send) spread over many goes in one frame. Counted by the drawables that the frame makes
    // for the patches it brings into view.
    uint64_t made[2] = {};
    for (int k = 0; k < 2; ++k)
    {
        SCOPED_TRACE(k);
        destroyTerrain();
        makeTerrain(roughMap(), 300);
        Ogre::Camera* camera = engine.createCamera("eye" + std::to_string(k), Ogre::Vector3(-450, 200, -450),
                                                   Ogre::Vector3(0, 0, 0));
        settle(camera);
        terrain->setDetailThreshold(3, 3, 1);
        frame(camera); // asks for the finer view's builds
        BuildQueue& builds = LandscapeTestView(*terrain->getLandscape()).queue();
        builds.flush(true); // requests that met the build thread holding its lock
        // Until every build asked for waits as a result: the build thread is idle, and the
        // frame's try for the result lock cannot meet it pushing one.
        const auto allBuilt = [&] {
            return builds.queuedJobs() == 0 && builds.queuedResults() == size_t(builds.pendingBuilds());
        };
        for (int wait = 0; wait < 20000 && !allBuilt(); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(allBuilt());
        ASSERT_GT(builds.queuedResults(), 100u);
        const uint64_t before = terrain->getDebugInfo().drawables;
        Ogre::FrameEvent event{};
        event.timeSinceLastFrame = k == 0 ? 0.0f : 2.0f;
        terrain->frameStarted(event);
        render(camera);
        made[k] = terrain->getDebugInfo().drawables - before;
    }
    // Many times as many where drawables are cheap (20 against 750 in a plain build, 4 against
    // 190 under AddressSanitizer); only a few more where each costs a millisecond or more
    // (AddressSanitizer on a busy machine: 12 against 16), since the share stops at 20 ms.
    EXPECT_GT(made[1], made[0]);
}

TEST_F(DrawingTest, DebugInfoCountsTheTreeTheViewAndTheDrawables)
{
    makeTerrain(roughMap(), 300);
    // Before the first frame the tree holds the patches every view draws first: the root and
    // the levels that always split, asked for at once. Nothing is in view or drawn yet.
    constexpr uint64_t kLevelsAlwaysSplit = 1 + 4 + 16 + 64 + 256;
    const Terrain::Info before = terrain->getDebugInfo();
    EXPECT_EQ(before.patchCount, kLevelsAlwaysSplit) << "no frame yet";
    EXPECT_EQ(before.visibleCount, 0u);
    EXPECT_EQ(before.triangles, 0u);
    EXPECT_EQ(before.drawables, 0u);
    terrain->setOgreBuildLimits(10000, 10000);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-100, 400, -500), Ogre::Vector3(0, 0, 0));
    settle(camera);
    const Terrain::Info info = terrain->getDebugInfo();
    const std::vector<PatchGeometry*>& visible = terrain->getLandscape()->getVisiblePatches();
    EXPECT_EQ(info.patchCount, countNodes([](const PatchNode*) { return true; }));
    EXPECT_EQ(info.drawables, countNodes([](const PatchNode* node) { return drawableOf(node) != nullptr; }));
    EXPECT_EQ(info.visibleCount, visible.size());
    ASSERT_FALSE(visible.empty());
    EXPECT_EQ(visible.front()->indexCount, uint64_t((2 * 17 + 4) * 16 - 4));
    EXPECT_EQ(info.triangles, info.visibleCount * visible.front()->indexCount - 2);
    // Patches of the levels that are always split (0 to 3) are never drawn again once their
    // children are: they give their records up. Every other patch holds its own.
    const uint64_t built = countNodes([](const PatchNode* node) { return node->isBuilt(); });
    EXPECT_EQ(built + 1 + 4 + 16 + 64, info.patchCount);
    EXPECT_EQ(countNodes([](const PatchNode* node) { return node->level < 4 && node->isBuilt(); }), 0u);
    EXPECT_GT(info.memoryBytes, built * 17 * 17 * 40);

    // Looking at the sky: nothing in view, no triangles; the tree and drawables are unchanged.
    Ogre::Camera* sky = engine.createCamera("sky", Ogre::Vector3(0, 600, 0), Ogre::Vector3(0, 1000, 1));
    EXPECT_TRUE(render(sky).empty());
    EXPECT_EQ(terrain->getDebugInfo().visibleCount, 0u);
    EXPECT_EQ(terrain->getDebugInfo().triangles, 0u);
    EXPECT_EQ(terrain->getDebugInfo().drawables, info.drawables);

    // A new heightmap destroys every patch and with it every drawable, and begins a new tree.
    ASSERT_TRUE(terrain->openStream(roughMap()));
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
    EXPECT_EQ(terrain->getDebugInfo().patchCount, kLevelsAlwaysSplit);
}

TEST_F(DrawingTest, InvalidPatchesAreLoggedAndSkipped)
{
    makeTerrain(flatMap());
    PatchGeometry unbuilt;
    terrain->createDrawable(&unbuilt);
    EXPECT_EQ(unbuilt.drawable, nullptr);
    terrain->createDrawable(nullptr);
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
    EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "Error: Invalid terrain patch"), 2);
}

TEST_F(DrawingTest, GpuBuffersHoldThePatchRecordsAndTheStrip)
{
    makeTerrain(roughMap(), 300);
    // The terrain's node places every patch: a moved node moves transforms and view depths.
    terrain->getParentSceneNode()->setPosition(Ogre::Vector3(40, -20, 30));
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-60, 500, -450), Ogre::Vector3(40, 0, 30));
    settle(camera);
    checkGpuBuffers(camera);
    if (HasFailure())
        return;
    // Drawables given back are kept and written again for other patches: looking at the sky
    // until the first view's drawables are given back (no patch in view takes them meanwhile,
    // however fast the build thread is), then at a third place, whose first patches get them.
    std::set<const TerrainRenderable*> firstView; // every drawable, in view or made ahead of it
    forEachNode(terrain->root(), [&](const PatchNode* node) {
        if (node->geometry.drawable)
            firstView.insert(static_cast<const TerrainRenderable*>(node->geometry.drawable));
    });
    terrain->setDrawableKeepFrames(2);
    moveCamera(camera, Ogre::Vector3(450, 500, 450));
    camera->getParentSceneNode()->lookAt(Ogre::Vector3(450, 1000, 451), Ogre::Node::TS_WORLD);
    for (int k = 0; k < 12; ++k)
        frame(camera);
    ASSERT_EQ(terrain->getDebugInfo().drawables, 0u) << "every drawable was given back";
    moveCamera(camera, Ogre::Vector3(-450, 400, 400));
    camera->getParentSceneNode()->lookAt(Ogre::Vector3(-600, 0, 500), Ogre::Node::TS_WORLD);
    std::set<const TerrainRenderable*> reused; // first-view drawables seen drawing the new place
    testing_support::settle(*terrain, [&] {
        frame(camera);

        for (PatchGeometry* patch : terrain->getLandscape()->getVisiblePatches())
            if (firstView.count(static_cast<TerrainRenderable*>(patch->drawable)))
                reused.insert(static_cast<TerrainRenderable*>(patch->drawable));
    });
    checkGpuBuffers(camera);
    EXPECT_GT(reused.size(), 5u) << "drawables given back are written again for the patches drawn next";
}

TEST_F(DrawingTest, TheFirstFrameDrawsWhatTheStreamBuiltAsItOpened)
{
    makeTerrain(roughMap(), 300);
    // Never rendered through its viewport: when the first frame starts, the terrain does not
    // know the camera yet, and that frame's update waits for the camera's render pass.
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-60, 500, -450), Ogre::Vector3(40, 0, 30));
    // Everything the stream asked for as it opened (the levels that always split) is built.
    ASSERT_GT(waitForBuilds(*terrain->getLandscape()), 0);
    const size_t queued = inGroup(frame(camera), 50).size();
    // The first frame draws those levels, not the root that no update has split yet.
    EXPECT_GT(queued, 4u);
    EXPECT_EQ(queued, terrain->getDebugInfo().visibleCount);
    for (const PatchNode* leaf : drawnLeaves(*terrain->getLandscape()))
        EXPECT_GE(leaf->level, 4u);
}

TEST_F(DrawingTest, DrawablesMadeAheadOfTheFirstViewCarryItsPatches)
{
    makeTerrain(roughMap(), 300);
    terrain->getParentSceneNode()->setPosition(Ogre::Vector3(40, -20, 30)); // as checkGpuBuffers expects
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-60, 500, -450), Ogre::Vector3(40, 0, 30));
    // Opening the stream makes spares for the first view outside any frame; while that view is
    // built, frames with time to spare make more for the splits under way in view; the next
    // frames write those splits' patches into them, and what is left goes once the view stands.
    EXPECT_GT(terrain->spareDrawableCount(), 10u);
    size_t mostSpares = 0;
    testing_support::settle(*terrain, [&] {
        frame(camera);
        mostSpares = std::max(mostSpares, terrain->spareDrawableCount());
    });
    EXPECT_GT(mostSpares, 10u);
    EXPECT_LE(terrain->spareDrawableCount() * 10, mostSpares) << "nearly all of them were taken";
    // Every drawable in view holds its own patch's records, none the zeros it was made with.
    checkGpuBuffers(camera);
}

TEST_F(DrawingTest, NewPatchesRewriteIdleDrawablesNeverOnesInUse)
{
    makeTerrain(roughMap(), 300);
    terrain->setDrawableKeepFrames(1000); // nothing is given back for being idle in this test
    useHost(100000); // host materials everywhere: a rewritten drawable gives its own back
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-300, 330, -300), Ogre::Vector3(-300, 0, -299));
    const auto drawablesInView = [&] {
        std::set<const TerrainRenderable*> drawables;
        for (PatchGeometry* patch : terrain->getLandscape()->getVisiblePatches())
            if (patch->drawable)
                drawables.insert(static_cast<const TerrainRenderable*>(patch->drawable));
        return drawables;
    };
    // Every frame: what is queued is the drawable of a patch in view, holding that patch's
    // records, whatever was rewritten for the patches that needed one.
    const auto frameDrawnRight = [&] {
        const std::vector<Queued>& queued = frame(camera);
        const std::set<const TerrainRenderable*> inView = drawablesInView();
        ASSERT_EQ(queued.size(), inView.size());
        for (PatchGeometry* patch : terrain->getLandscape()->getVisiblePatches())
        {
            auto* drawable = static_cast<TerrainRenderable*>(patch->drawable);
            if (!drawable)
                continue;
            std::vector<float> gpu(patch->vertexCount * 10);
            drawable->vertexData.vertexBufferBinding->getBuffer(0)->readData(0, gpu.size() * sizeof(float), gpu.data());
            ASSERT_EQ(std::memcmp(gpu.data(), patch->vertices, gpu.size() * sizeof(float)), 0);
            ASSERT_EQ(drawable->source, patch);
        }
    };
    settle(camera);
    const std::set<const TerrainRenderable*> first = drawablesInView();
    ASSERT_GT(first.size(), 10u);
    // To the opposite corner: its patches are drawn with the first view's drawables, idle since
    // the jump, instead of new ones.
    moveCamera(camera, Ogre::Vector3(300, 330, 300));
    camera->getParentSceneNode()->lookAt(Ogre::Vector3(300, 0, 301), Ogre::Node::TS_WORLD);
    testing_support::settle(*terrain, frameDrawnRight);
    const std::set<const TerrainRenderable*> second = drawablesInView();
    size_t rewritten = 0;
    for (const TerrainRenderable* drawable : second)
        rewritten += first.count(drawable);
    EXPECT_GE(rewritten, std::min(first.size(), second.size()) * 3 / 4);
    // And back: the first view's patches that kept their drawables are drawn with them, the
    // others take the second view's.
    moveCamera(camera, Ogre::Vector3(-300, 330, -300));
    camera->getParentSceneNode()->lookAt(Ogre::Vector3(-300, 0, -299), Ogre::Node::TS_WORLD);
    testing_support::settle(*terrain, frameDrawnRight);
    EXPECT_LE(terrain->getDebugInfo().drawables, std::max(first.size(), second.size()) + second.size() / 4);
    // Every material went back at most once, and none that went back is still drawn with.
    for (const Ogre::MaterialPtr& material : host.handedOut)
        EXPECT_LE(host.releasesOf(material), 1);
    for (PatchGeometry* patch : terrain->getLandscape()->getVisiblePatches())
    {
        if (const auto* drawable = static_cast<const TerrainRenderable*>(patch->drawable))
        {
            EXPECT_EQ(host.releasesOf(drawable->material), 0);
        }
    }
    EXPECT_GE(host.releasedBoxes.size(), std::min(first.size(), second.size()) * 3 / 4);
}

void DrawingTest::checkGpuBuffers(Ogre::Camera* camera)
{
    const std::vector<Queued>& queued = render(camera);
    ASSERT_GT(queued.size(), 10u);
    int checked = 0;
    for (PatchGeometry* patch : terrain->getLandscape()->getVisiblePatches())
    {
        auto* drawable = static_cast<TerrainRenderable*>(patch->drawable);
        ASSERT_NE(drawable, nullptr);
        Ogre::RenderOperation op;
        drawable->getRenderOperation(op);
        ASSERT_EQ(op.operationType, Ogre::RenderOperation::OT_TRIANGLE_STRIP);
        ASSERT_TRUE(op.useIndexes);
        ASSERT_EQ(op.indexData->indexBuffer->getType(), Ogre::HardwareIndexBuffer::IT_16BIT);
        ASSERT_EQ(op.indexData->indexCount, patch->indexCount);
        ASSERT_TRUE(gpuIndicesMatch(drawable, *patch));

        const Ogre::VertexDeclaration* declaration = op.vertexData->vertexDeclaration;
        ASSERT_EQ(declaration->getVertexSize(0), 40u);
        ASSERT_EQ(declaration->getElementCount(), 3u);
        struct Element
        {
            Ogre::VertexElementSemantic semantic;
            size_t offset;
            Ogre::VertexElementType type;
        };
        for (const Element& e : {Element{Ogre::VES_POSITION, 0, Ogre::VET_FLOAT4},
                                 Element{Ogre::VES_NORMAL, 16, Ogre::VET_FLOAT3},
                                 Element{Ogre::VES_BINORMAL, 28, Ogre::VET_FLOAT3}})
        {
            const Ogre::VertexElement* element = declaration->findElementBySemantic(e.semantic);
            ASSERT_NE(element, nullptr);
            ASSERT_EQ(element->getSource(), 0);
            ASSERT_EQ(element->getOffset(), e.offset);
            ASSERT_EQ(element->getType(), e.type);
        }
        ASSERT_EQ(op.vertexData->vertexStart, 0u);
        ASSERT_EQ(op.vertexData->vertexCount, patch->vertexCount);
        const Ogre::HardwareVertexBufferSharedPtr& buffer = op.vertexData->vertexBufferBinding->getBuffer(0);
        ASSERT_EQ(buffer->getNumVertices(), patch->vertexCount);
        std::vector<float> gpu(patch->vertexCount * 10);
        buffer->readData(0, gpu.size() * sizeof(float), gpu.data());
        ASSERT_EQ(std::memcmp(gpu.data(), patch->vertices, gpu.size() * sizeof(float)), 0);

        Ogre::Matrix4 world;
        drawable->getWorldTransforms(&world);
        ASSERT_EQ(world, Ogre::Matrix4(terrain->getParentSceneNode()->_getFullTransform()));
        const Ogre::Vector3 centre = patch->bounds->getCenter() + Ogre::Vector3(40, -20, 30);
        ASSERT_NEAR(drawable->getSquaredViewDepth(camera), centre.squaredDistance(camera->getDerivedPosition()),
                    1e-3f * centre.squaredDistance(camera->getDerivedPosition()));
        ASSERT_TRUE(drawable->getLights().empty());
        ASSERT_EQ(drawable->getMaterial(), defaultMaterial);
        ++checked;
    }
    EXPECT_EQ(size_t(checked), queued.size());
}

TEST_F(DrawingTest, PatchesStitchedAlikeShareOneStripBufferTakenAtTheNextQueueing)
{
    makeTerrain(roughMap(), 300);
    terrain->setOgreBuildLimits(10000, 10000);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-450, 120, -450), Ogre::Vector3(0, 0, 0));
    Ogre::Camera* away = engine.createCamera("away", Ogre::Vector3(-450, 120, -450), Ogre::Vector3(-900, 120, -900));
    settle(camera);

    // One buffer per strip, holding that strip, whatever the number of patches stitched alike
    // (patches out of view take theirs when they are next queued).
    std::map<const uint16_t*, const Ogre::HardwareIndexBuffer*> bufferOf;
    std::set<const Ogre::HardwareIndexBuffer*> buffers;
    std::vector<const PatchNode*> drawn;
    forEachDrawn(root(), [&](const PatchNode* node) {
        TerrainRenderable* drawable = drawableOf(node);
        if (!drawable || drawable->indicesStale)
            return;
        drawn.push_back(node);
        const Ogre::HardwareIndexBuffer* buffer = drawable->indexData.indexBuffer.get();
        EXPECT_EQ(bufferOf.emplace(node->geometry.indices, buffer).first->second, buffer);
        buffers.insert(buffer);
        EXPECT_TRUE(gpuIndicesMatch(drawable, node->geometry));
    });
    EXPECT_EQ(buffers.size(), bufferOf.size());
    ASSERT_GT(drawn.size(), buffers.size() + 8) << "patches share strips";
    ASSERT_GT(bufferOf.size(), 1u) << "some patches are stitched";

    // A patch that takes another strip (as restitching does) draws with that strip's buffer from
    // the next time it is queued, not before, and not when a camera that does not see it draws.
    const PatchNode* node = nullptr;
    const PatchNode* other = nullptr;
    for (const PatchNode* candidate : drawn)
        if (inView(camera, candidate->bounds) && !inView(away, candidate->bounds))
            node = candidate;
    ASSERT_NE(node, nullptr);
    for (const PatchNode* candidate : drawn)
        if (candidate->geometry.indices != node->geometry.indices)
            other = candidate;
    ASSERT_NE(other, nullptr);
    PatchGeometry& geometry = const_cast<PatchGeometry&>(node->geometry);
    const uint16_t* own = geometry.indices;
    TerrainRenderable* drawable = drawableOf(node);
    geometry.indices = other->geometry.indices;
    terrain->patchChanged(&geometry, Landscape::kIndicesChanged);
    EXPECT_EQ(drawable->indexData.indexBuffer.get(), bufferOf[own]);
    render(away);
    EXPECT_EQ(drawable->indexData.indexBuffer.get(), bufferOf[own]);
    render(camera);
    EXPECT_EQ(drawable->indexData.indexBuffer.get(), bufferOf[other->geometry.indices]);
    EXPECT_TRUE(gpuIndicesMatch(drawable, node->geometry));
    EXPECT_FALSE(drawable->indicesStale);
    geometry.indices = own;
    terrain->patchChanged(&geometry, Landscape::kIndicesChanged);
    render(camera);
    EXPECT_EQ(drawable->indexData.indexBuffer.get(), bufferOf[own]);

    // A patch without a drawable ignores the change.
    PatchGeometry bare;
    terrain->patchChanged(&bare, Landscape::kIndicesChanged);
    EXPECT_EQ(bare.drawable, nullptr);
}

TEST_F(DrawingTest, QueuedStripsFollowRestitchingWhileTheCameraFlies)
{
    makeTerrain(roughMap(), 300);
    terrain->setOgreBuildLimits(10000, 10000);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-450, 120, -450), Ogre::Vector3(0, 0, 0));
    settle(camera);
    std::set<uint64_t> visibleCounts;
    int between = 0;
    for (int step = 0; step <= 120; ++step)
    {
        const float t = float(step) / 120.0f;
        moveCamera(camera, Ogre::Vector3(-450 + 900 * t, 120 + 200 * t, -450 + 800 * t));
        const std::vector<Queued>& queued = frame(camera);
        visibleCounts.insert(terrain->getDebugInfo().visibleCount);
        std::set<const Ogre::Renderable*> queuedSet;
        for (const Queued& q : queued)
            queuedSet.insert(q.renderable);
        for (PatchGeometry* patch : terrain->getLandscape()->getVisiblePatches())
        {
            auto* drawable = static_cast<TerrainRenderable*>(patch->drawable);
            if (!drawable)
                continue;
            ASSERT_TRUE(queuedSet.count(drawable));
            ASSERT_TRUE(gpuIndicesMatch(drawable, *patch)) << "step " << step;
            const float morph = *patch->morph;
            const Ogre::Vector4 parameter = morphParameter(*drawable);
            ASSERT_EQ(parameter, Ogre::Vector4(std::clamp(morph, 0.0f, 1.0f), 0, 0, 0)) << morph;
            between += morph > 0.0f && morph < 1.0f;
        }
        if (terrain->pendingBuilds() != 0)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_GT(visibleCounts.size(), 3u) << "the tree changed during the flight";
    EXPECT_GT(between, 0) << "patches were morphing";
}

TEST_F(DrawingTest, QueueAndVisitorSeeExactlyTheDrawablesInView)
{
    makeTerrain(roughMap(), 300);
    terrain->setOgreBuildLimits(10000, 10000);
    terrain->setRenderQueueGroup(60);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(300, 250, -500), Ogre::Vector3(-100, 0, 100));
    settle(camera);
    const std::vector<Queued>& queued = render(camera);

    std::set<const Ogre::Renderable*> expected;
    forEachDrawn(root(), [&](const PatchNode* node) {
        if (drawableOf(node) && inView(camera, node->bounds))
            expected.insert(drawableOf(node));
    });
    ASSERT_GT(expected.size(), 10u);
    ASSERT_LT(expected.size(), size_t(terrain->getDebugInfo().drawables)) << "some drawables are out of view";

    std::multiset<const Ogre::Renderable*> queuedSet;
    for (const Queued& q : queued)
    {
        EXPECT_EQ(q.group, 60);
        queuedSet.insert(q.renderable);
    }
    EXPECT_EQ(std::set<const Ogre::Renderable*>(queuedSet.begin(), queuedSet.end()), expected);
    EXPECT_EQ(queuedSet.size(), expected.size()) << "each once";

    struct Visitor : Ogre::Renderable::Visitor
    {
        void visit(Ogre::Renderable* renderable, Ogre::ushort lodIndex, bool isDebug, Ogre::Any*) override
        {
            EXPECT_EQ(lodIndex, 0);
            EXPECT_FALSE(isDebug);
            seen.insert(renderable);
        }
        std::multiset<const Ogre::Renderable*> seen;
    } visitor;
    terrain->visitRenderables(&visitor);
    EXPECT_EQ(visitor.seen, queuedSet);
}

TEST_F(DrawingTest, DrawablesOutOfUseAreGivenBackAndMadeAgainWhenNeeded)
{
    makeTerrain(flatMap());
    terrain->setDrawableKeepFrames(30);
    useHost(100000);
    // Looking at one corner: only the patches there are queued and get drawables.
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-480, 150, -480), Ogre::Vector3(-470, 100, -460));
    settle(camera);
    const uint64_t seen = terrain->getDebugInfo().drawables;
    ASSERT_GT(seen, 0u);
    // Turned to the other corner for longer than the idle limit: the first drawables go back to
    // the host, with their materials, and the new view has its own.
    moveCamera(camera, Ogre::Vector3(480, 150, 480));
    camera->getParentSceneNode()->lookAt(Ogre::Vector3(470, 100, 460), Ogre::Node::TS_WORLD);
    const size_t releasedBefore = host.releasedBoxes.size();
    for (int k = 0; k < 33; ++k)
        frame(camera);
    EXPECT_GE(host.releasedBoxes.size() - releasedBefore, seen);
    const std::vector<Queued>& queued = frame(camera);
    EXPECT_EQ(terrain->getDebugInfo().drawables, inGroup(queued, 50).size())
        << "only what is in use keeps a drawable";
    for (const Ogre::MaterialPtr& material : host.handedOut)
        EXPECT_LE(host.releasesOf(material), 1);
    // Back to the first corner: the patches are drawn again, with new drawables.
    moveCamera(camera, Ogre::Vector3(-480, 150, -480));
    camera->getParentSceneNode()->lookAt(Ogre::Vector3(-470, 100, -460), Ogre::Node::TS_WORLD);
    const size_t queuedAgain = inGroup(frame(camera), 50).size();
    EXPECT_GT(queuedAgain, 0u);
    EXPECT_GE(terrain->getDebugInfo().drawables, queuedAgain);
}

TEST_F(DrawingTest, TurningAwayAndBackLeavesNoPatchInViewWithoutADrawable)
{
    struct Budgets
    {
        int visible, pending;
    };
    for (const Budgets budgets : {Budgets{10000, 0}, Budgets{0, 10000}, Budgets{4, 0}, Budgets{0, 4}, Budgets{3, 2}})
    {
        SCOPED_TRACE(testing::Message() << "budgets " << budgets.visible << ", " << budgets.pending);
        makeTerrain(flatMap());
        terrain->setDrawableKeepFrames(5);
        terrain->setOgreBuildLimits(budgets.visible, budgets.pending);
        Ogre::Camera* camera = engine.createCamera("eye" + std::to_string(budgets.visible) + "/" + std::to_string(budgets.pending),
                                                   Ogre::Vector3(-480, 150, -480), Ogre::Vector3(-470, 100, -460));
        settle(camera);
        // Frames until every patch in view has its drawable, as fast as the budgets allow.
        const auto untilAllDrawn = [&] {
            for (int f = 0; f < 400; ++f)
            {
                frame(camera);
                const std::vector<PatchGeometry*>& visible = terrain->getLandscape()->getVisiblePatches();
                if (std::all_of(visible.begin(), visible.end(), [](PatchGeometry* p) { return p->drawable; }))
                    return f;
            }
            return -1;
        };
        ASSERT_GE(untilAllDrawn(), 0);
        const size_t inView = terrain->getLandscape()->getVisiblePatches().size();
        // Away for longer than drawables stay idle, then back.
        camera->getParentSceneNode()->lookAt(Ogre::Vector3(480, 100, 480), Ogre::Node::TS_WORLD);
        for (int f = 0; f < 20; ++f)
            frame(camera);
        camera->getParentSceneNode()->lookAt(Ogre::Vector3(-470, 100, -460), Ogre::Node::TS_WORLD);
        const int frames = untilAllDrawn();
        ASSERT_GE(frames, 0) << "holes that no budget fills";
        // Within the frames the budgets need for what is in view.
        const int perFrame = budgets.visible + budgets.pending;
        EXPECT_LE(frames, int(inView) / perFrame + 2);
        destroyTerrain();
    }
}

// A new patch size frees the old tree's drawables over the next frames instead of in the call
// (a hundred buffers of 64-quad patches took it up to 4 ms): counted in the terrain's memory
// until they go, one a frame at least. Meanwhile every patch in view is drawn, and the view
// that stands is the one that a terrain opened with that size draws. (Fresh buffers of
// 128-quad patches can cost more than a frame's budget for four: the splits then wait for
// spares, a few hundred frames of this test on a slow machine, and the view must still stand.)
TEST_F(DrawingTest, ANewPatchSizeFreesTheOldDrawablesOverTheFramesAndDrawsTheSameView)
{
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-300, 120, -300), Ogre::Vector3(0, 40, 0));
    const auto leavesInView = [&] {
        std::set<std::tuple<uint32_t, uint32_t, uint32_t>> leaves;
        for (const PatchNode* leaf : testing_support::drawnLeaves(*terrain->getLandscape()))
            if (inView(camera, leaf->bounds))
                leaves.insert({leaf->level, leaf->cellX, leaf->cellZ});
        return leaves;
    };
    const auto everyPatchInViewDrawn = [&] {
        const std::vector<PatchGeometry*>& visible = terrain->getLandscape()->getVisiblePatches();
        return std::all_of(visible.begin(), visible.end(), [](const PatchGeometry* p) { return p->drawable; });
    };
    makeTerrain(roughMap(), 150.0f);
    terrain->setPatchSize(8);
    settle(camera);
    const Terrain::Info before = terrain->getDebugInfo();
    ASSERT_GT(before.drawables, 20u);

    terrain->setPatchSize(128);
    const size_t stale = terrain->staleDrawableCount();
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
    EXPECT_GE(stale, before.drawables) << "the drawn patches' drawables and the spares";
    EXPECT_GE(terrain->getDebugInfo().totalBytes, stale * kVertexBytes * 9 * 9) << "counted until they go";
    int holes = 0;
    testing_support::settle(*terrain, [&] {
        frame(camera);
        holes += everyPatchInViewDrawn() ? 0 : 1;
    });
    for (size_t f = 0; f <= stale && terrain->staleDrawableCount() > 0; ++f)
        frame(camera);
    EXPECT_EQ(terrain->staleDrawableCount(), 0u);
    EXPECT_EQ(holes, 0) << "frames that drew a patch in view without its drawable";
    const auto changed = leavesInView();
    ASSERT_FALSE(changed.empty());
    destroyTerrain();

    makeTerrain(roughMap(), 150.0f);
    terrain->setPatchSize(128);
    settle(camera);
    EXPECT_EQ(leavesInView(), changed);
}

// A seeded flight low over rough ground, every frame settled so that the runs build the same
// patches in view: with a budget, kept subtrees go whenever the terrain holds more than the
// budget, and the tree out of view merges back while that is not enough; what is in view always
// has its drawable, and the view the flight ends on is the same as without a budget.
TEST_F(DrawingTest, MemoryBudgetGivesBackKeptSubtreesThenWhatIsOutOfViewNeverTheView)
{
    struct Flight
    {
        std::set<std::tuple<uint32_t, uint32_t, uint32_t>> leaves; // drawn in view at the end
        uint64_t tooCoarseTurned = 0; // patches in view coarser than it asks, turned on the spot
        uint64_t largest = 0;  // bytes held, at the frame that held most
        uint64_t total = 0;    // summed over the frames
        uint64_t drawnPeak = 0; // most patches drawn at a frame, in view and out of it
        std::vector<int> levelsBelow; // level of the patch under the camera, at each frame
    };
    const auto fly = [this](uint64_t budget) {
        makeTerrain(roughMap(), 150.0f);
        terrain->setPatchSize(8);
        terrain->setMemoryBudget(budget);
        Ogre::Camera* camera = engine.createCamera("eye" + std::to_string(budget), Ogre::Vector3(0, 80, 0),
                                                   Ogre::Vector3(10, 60, 10));
        std::mt19937 random(17);
        std::uniform_real_distribution<float> across(-500, 500), height(20, 80);
        Flight flight;
        for (int k = 0; k < 16; ++k)
        {
            moveCamera(camera, Ogre::Vector3(across(random), height(random), across(random)));
            camera->getParentSceneNode()->lookAt(Ogre::Vector3(across(random), 0, across(random)),
                                                 Ogre::Node::TS_WORLD);
            settle(camera);
            terrain->frameStarted(Ogre::FrameEvent{});
            const uint64_t held = terrain->getDebugInfo().totalBytes - terrain->getLandscape()->bytesBeingFreed();
            flight.largest = std::max(flight.largest, held);
            flight.total += held;
            uint64_t drawn = 0;
            forEachDrawn(root(), [&](const PatchNode*) { drawn += 1; });
            flight.drawnPeak = std::max(flight.drawnPeak, drawn);
            // Over the budget, nothing kept is left.
            if (budget != 0 && held > budget)
            {
                EXPECT_EQ(countNodes([](const PatchNode* n) { return n->hasChildren() && n->state == kLeaf; }), 0u)
                    << "frame " << k;
            }
            const size_t queued = inGroup(render(camera), 50).size();
            EXPECT_EQ(queued, terrain->getDebugInfo().visibleCount) << "frame " << k << ", budget " << budget;
            flight.levelsBelow.push_back(terrain->getHeight(camera->getDerivedPosition()).level);
        }
        for (const PatchNode* leaf : testing_support::drawnLeaves(*terrain->getLandscape()))
            if (inView(camera, leaf->bounds))
                flight.leaves.insert({leaf->level, leaf->cellX, leaf->cellZ});
        // Turns on the spot: the ground that comes into view was out of it, held back or merged
        // under a budget, and the eye has not moved. The turned views must be as fine as they
        // ask. (Whether a patch just fine enough is split depends on its neighbours, which a
        // budget may have merged, so the views are not compared patch by patch.)
        const LandscapeTestView view(*terrain->getLandscape());
        for (int turn = 0; turn < 4; ++turn)
        {
            camera->getParentSceneNode()->lookAt(Ogre::Vector3(across(random), 0, across(random)), Ogre::Node::TS_WORLD);
            settle(camera);
            CameraState state;
            captureCamera(camera, state);
            for (const PatchNode* leaf : testing_support::drawnLeaves(*terrain->getLandscape()))
                if (inView(camera, leaf->bounds) && leaf->level < view.maxLevel() &&
                    view.screenError(leaf, state) > view.detailThreshold())
                    flight.tooCoarseTurned += 1;
        }
        destroyTerrain();
        return flight;
    };
    const Flight free = fly(0);
    const Flight bounded = fly(free.largest / 2);
    // The free run's peak depends on how many updates each view took to settle (kept subtrees
    // near the camera go after 500), the view's own need does not: the bound leaves room for a
    // view that needs more than half of a low peak.
    EXPECT_LE(bounded.largest, free.largest * 3 / 4);
    EXPECT_LT(bounded.total, free.total);
    EXPECT_EQ(bounded.leaves, free.leaves);
    // A budget below what the ground around the camera refines to out of view: the tree out of
    // view gives way, the view does not.
    const Flight tight = fly(free.largest / 8);
    EXPECT_LT(tight.drawnPeak, free.drawnPeak * 3 / 4);
    EXPECT_LT(tight.total, bounded.total);
    EXPECT_EQ(tight.leaves, free.leaves);
    EXPECT_EQ(free.tooCoarseTurned, 0u);
    EXPECT_EQ(bounded.tooCoarseTurned, 0u);
    EXPECT_EQ(tight.tooCoarseTurned, 0u);
    // The ground under the camera, which height queries for it and what it carries read, is as
    // fine as without a budget, in view or not.
    EXPECT_EQ(tight.levelsBelow, free.levelsBelow);
}
