// The drawing side of a Terrain in a real Ogre::Root without a window: patch drawables and their
// per-frame budgets, the GPU copies of the patches, the render queue, host materials and
// blood-patch decals. Frames are driven the way the engine drives them: frameStarted, then for
// each camera _notifyCurrentCamera and _updateRenderQueue into a real Ogre::RenderQueue. The
// terrain's code is linked in (not loaded as the plug-in) so that the tests reach its drawables.

#include "../tools/FractalHeightmap.h"
#include "../tools/HeadlessEngine.h"
#include "lod/Landscape.h"
#include "lod/PatchId.h"
#include "Terrain.h"
#include "engine/TerrainDecal.h"
#include "engine/TerrainRenderable.h"
#include "HeightmapFile.h"
#include "heightmap/Tiff.h"

#include <OgreException.h>
#include <OgreHardwareBufferManager.h>
#include <OgreLogManager.h>
#include <OgreMaterialManager.h>
#include <OgrePass.h>
#include <OgreRenderQueue.h>
#include <OgreRenderSystemCapabilities.h>
#include <OgreTechnique.h>
#include <OgreTextureUnitState.h>
#include <OgreTextureManager.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace
{
// Exposes what the tests need of the terrain's insides: its Landscape and the protected
// drawable operations.
class DrawTerrain : public Terrain
{
public:
    using Terrain::createDrawable;
    using Terrain::getLandscape;
    using Terrain::patchChanged;
    using Terrain::Terrain;
    int pendingBuilds() const { return getLandscape()->pendingBuilds; }
};

struct Queued
{
    Ogre::Renderable* renderable;
    Ogre::uint8 group;
};

// Records every renderable added to the queue, with its group, and lets it in.
class QueueRecorder : public Ogre::RenderQueue::RenderableListener
{
public:
    bool renderableQueued(Ogre::Renderable* renderable, Ogre::uint8 group, Ogre::ushort,
                          Ogre::Technique**, Ogre::RenderQueue*) override
    {
        queued.push_back(Queued{renderable, group});
        return true;
    }
    std::vector<Queued> queued;
};

class LogRecorder : public Ogre::LogListener
{
public:
    void messageLogged(const Ogre::String& message, Ogre::LogMessageLevel, bool, const Ogre::String&,
                       bool&) override
    {
        lines.push_back(message);
    }
    bool saw(const std::string& text) const
    {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }
    std::vector<std::string> lines;
};

// The host's side of the material callbacks: a fresh material for every request (or none), and
// a tally of what came back.
struct Host
{
    Ogre::MaterialPtr source(const Ogre::AxisAlignedBox& box, int flag)
    {
        requests.push_back(box);
        flags.insert(flag);
        if (giveNothing)
            return Ogre::MaterialPtr();
        Ogre::MaterialPtr material = Ogre::MaterialManager::getSingleton().create(
            "Host/" + std::to_string(handedOut.size()), Ogre::RGN_DEFAULT);
        handedOut.push_back(material);
        return material;
    }
    void release(const Ogre::AxisAlignedBox& box, const Ogre::MaterialPtr& material)
    {
        releasedBoxes.push_back(box);
        released[material.get()] += 1;
        if (failure)
            failure();
    }
    int releasesOf(const Ogre::MaterialPtr& material) const
    {
        auto found = released.find(material.get());
        return found == released.end() ? 0 : found->second;
    }

    bool giveNothing = false;
    std::function<void()> failure;
    std::vector<Ogre::AxisAlignedBox> requests;
    std::set<int> flags;
    std::vector<Ogre::MaterialPtr> handedOut;
    std::vector<Ogre::AxisAlignedBox> releasedBoxes;
    std::map<const Ogre::Material*, int> released;
};

template <class F>
void forEachNode(PatchNode* node, const F& f)
{
    if (!node)
        return;
    f(node);
    for (PatchNode* child : node->children)
        forEachNode(child, f);
}

// The patches drawn: a node whose children are drawn (state bit 0) is drawn through them.
template <class F>
void forEachDrawn(PatchNode* node, const F& f)
{
    if (!node)
        return;
    if ((node->state & 1) && node->hasChildren())
    {
        for (PatchNode* child : node->children)
            forEachDrawn(child, f);
        return;
    }
    f(node);
}

bool inView(const Ogre::Camera* camera, const Ogre::AxisAlignedBox& box)
{
    const Ogre::Plane* planes = camera->getFrustumPlanes();
    for (int i = 0; i < 6; ++i)
        if (planes[i].getSide(box) == Ogre::Plane::NEGATIVE_SIDE)
            return false;
    return true;
}

TerrainRenderable* drawableOf(const PatchNode* node)
{
    return static_cast<TerrainRenderable*>(node->geometry.drawable);
}

std::vector<uint16_t> gpuIndices(TerrainRenderable* drawable)
{
    std::vector<uint16_t> indices(drawable->indexData.indexCount);
    drawable->indexData.indexBuffer->readData(0, indices.size() * sizeof(uint16_t), indices.data());
    return indices;
}

bool gpuIndicesMatch(TerrainRenderable* drawable, const PatchGeometry& patch)
{
    return drawable->indexData.indexCount == patch.indexCount &&
           std::memcmp(gpuIndices(drawable).data(), patch.indices, patch.indexCount * sizeof(uint16_t)) == 0;
}

void scribbleIndices(TerrainRenderable* drawable)
{
    const std::vector<uint16_t> zeros(drawable->indexData.indexCount, 0);
    drawable->indexData.indexBuffer->writeData(0, zeros.size() * sizeof(uint16_t), zeros.data(), true);
}

bool indicesAreScribbled(TerrainRenderable* drawable)
{
    const std::vector<uint16_t> indices = gpuIndices(drawable);
    return std::all_of(indices.begin(), indices.end(), [](uint16_t i) { return i == 0; });
}

class TerrainDrawables : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path() /
                 ("terrain-drawables-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder);
        // The null render system reports no texture units; materials with one would not compile.
        engine.renderSystem->getMutableCapabilities()->setNumTextureUnits(8);
        textures = std::make_unique<Ogre::DefaultTextureManager>();
        Ogre::LogManager::getSingleton().getDefaultLog()->addListener(&log);
        queue.setRenderableListener(&recorder);
        defaultMaterial = Ogre::MaterialManager::getSingleton().create("Ground", Ogre::RGN_DEFAULT);
        bloodMaterial = Ogre::MaterialManager::getSingleton().create("Blood", Ogre::RGN_DEFAULT);
    }
    void TearDown() override
    {
        delete terrain;
        terrain = nullptr;
        Ogre::LogManager::getSingleton().getDefaultLog()->removeListener(&log);
        std::filesystem::remove_all(folder);
    }

    std::string writeMap(const std::string& name, int edge, const std::function<uint16_t(int, int)>& sample)
    {
        return testing_support::writeHeightmap((folder / name).string(), edge, edge, sample);
    }

    // 1024 x 1024 units at height 100 exactly (sample 100, one unit per sample value). Flat
    // patches have no error, so the tree stops at the always-split level 4: 16 x 16 patches of
    // 64 units, the one containing (x, z) spanning [64 floor(x / 64), +64).
    std::string flatMap() { return writeMap("flat.tif", 257, [](int, int) { return uint16_t(100); }); }

    // Rough ground over 1024 units, levels 4 to 6.
    std::string roughMap()
    {
        const std::vector<uint16_t> map = FractalHeightmap::generate(1025, 7, 0.6f);
        return writeMap("rough.tif", 1025, [&](int x, int z) { return map[size_t(z) * 1025 + x]; });
    }

    DrawTerrain* makeTerrain(const std::string& map, float height = 65535.0f)
    {
        terrain = new DrawTerrain("ground");
        engine.scene->getRootSceneNode()->attachObject(terrain);
        terrain->setTerrainScale(1024, height);
        terrain->setPatchSize(16);
        terrain->setDefaultMaterial(defaultMaterial);
        // Drawables stay until their patches go, whatever the speed of the machine; the test of
        // idle drawables turns the release on.
        terrain->setDrawableKeepFrames(0);
        // Wide enough to hold every map here: builds read memory, not the file.
        terrain->setHeightCacheSize(2048);
        EXPECT_TRUE(terrain->openStream(map));
        return terrain;
    }

    void useHost(float distance)
    {
        terrain->setMaterialCallbacks(
            [this](const Ogre::AxisAlignedBox& box, int flag) { return host.source(box, flag); },
            [this](const Ogre::AxisAlignedBox& box, Ogre::MaterialPtr material) { host.release(box, material); });
        terrain->setMaterialDistance(distance);
    }

    // One camera's pass over the terrain, as the scene manager makes it. Returns what was queued.
    const std::vector<Queued>& render(Ogre::Camera* camera)
    {
        recorder.queued.clear();
        queue.clear();
        terrain->_notifyCurrentCamera(camera);
        terrain->_updateRenderQueue(&queue);
        return recorder.queued;
    }

    const std::vector<Queued>& frame(Ogre::Camera* camera)
    {
        terrain->frameStarted(Ogre::FrameEvent{});
        return render(camera);
    }

    // Frames until no build is pending for two frames in a row. Returns false when the bound
    // was hit.
    bool settle(Ogre::Camera* camera, int maxFrames = 5000)
    {
        for (int count = 0, idle = 0; count < maxFrames; ++count)
        {
            frame(camera);
            idle = terrain->pendingBuilds() == 0 ? idle + 1 : 0;
            if (idle == 2)
                return true;
            // The build thread has the other core; give it time while it has work.
            if (idle == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return false;
    }

    void moveCamera(Ogre::Camera* camera, const Ogre::Vector3& position)
    {
        camera->getParentSceneNode()->setPosition(position);
    }

    PatchNode* root() const { return terrain->getLandscape()->root; }

    // The drawn patch containing (x, z).
    PatchNode* drawnAt(float x, float z) const
    {
        PatchNode* found = nullptr;
        forEachDrawn(root(), [&](PatchNode* node) {
            if (x >= node->corners[0].x && x < node->corners[3].x && z >= node->corners[0].z &&
                z < node->corners[3].z)
                found = node;
        });
        return found;
    }

    uint64_t countNodes(const std::function<bool(PatchNode*)>& predicate) const
    {
        uint64_t count = 0;
        forEachNode(root(), [&](PatchNode* node) { count += predicate(node) ? 1 : 0; });
        return count;
    }

    uint64_t drawnWithoutDrawable() const
    {
        uint64_t count = 0;
        forEachDrawn(root(), [&](PatchNode* node) { count += node->isBuilt() && !drawableOf(node) ? 1 : 0; });
        return count;
    }

    static std::vector<Queued> inGroup(const std::vector<Queued>& queued, Ogre::uint8 group)
    {
        std::vector<Queued> out;
        std::copy_if(queued.begin(), queued.end(), std::back_inserter(out),
                     [group](const Queued& q) { return q.group == group; });
        return out;
    }

    Ogre::TexturePtr texture(const std::string& name, unsigned int edge)
    {
        return Ogre::TextureManager::getSingleton().createManual(name, Ogre::RGN_DEFAULT, Ogre::TEX_TYPE_2D,
                                                                 edge, edge, 0, Ogre::PF_BYTE_RGBA);
    }

    headless::Engine engine{""};
    std::unique_ptr<Ogre::DefaultTextureManager> textures;
    std::filesystem::path folder;
    DrawTerrain* terrain = nullptr;
    Ogre::RenderQueue queue;
    QueueRecorder recorder;
    LogRecorder log;
    Host host;
    Ogre::MaterialPtr defaultMaterial;
    Ogre::MaterialPtr bloodMaterial;
};
} // namespace

// ---- drawables, budgets and counters ----

TEST_F(TerrainDrawables, VisibleBudgetLimitsDrawablesMadeWhileRendering)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(0, 0);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    ASSERT_TRUE(settle(camera));
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

TEST_F(TerrainDrawables, PendingBudgetLimitsDrawablesMadeAheadOfViewAndSharesTheFrame)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(0, 0);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    ASSERT_TRUE(settle(camera));
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
        forEachDrawn(root(), [&](PatchNode* node) { count += !drawableOf(node) && inView(camera, node->bounds); });
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

TEST_F(TerrainDrawables, DebugInfoCountsTheTreeTheViewAndTheDrawables)
{
    makeTerrain(roughMap(), 300);
    const Terrain::Info before = terrain->getDebugInfo();
    EXPECT_EQ(before.patchCount, 0u) << "no frame yet";
    EXPECT_EQ(before.visibleCount, 0u);
    EXPECT_EQ(before.triangles, 0u);
    terrain->setOgreBuildLimits(10000, 10000);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-100, 400, -500), Ogre::Vector3(0, 0, 0));
    ASSERT_TRUE(settle(camera));
    const Terrain::Info info = terrain->getDebugInfo();
    const std::vector<PatchGeometry*>& visible = terrain->getLandscape()->getVisiblePatches();
    EXPECT_EQ(info.patchCount, countNodes([](PatchNode*) { return true; }));
    EXPECT_EQ(info.drawables, countNodes([](PatchNode* node) { return drawableOf(node) != nullptr; }));
    EXPECT_EQ(info.visibleCount, visible.size());
    ASSERT_FALSE(visible.empty());
    EXPECT_EQ(visible.front()->indexCount, uint64_t((2 * 17 + 4) * 16 - 4));
    EXPECT_EQ(info.triangles, info.visibleCount * visible.front()->indexCount - 2);
    EXPECT_GT(info.memoryBytes, info.patchCount * 17 * 17 * 40);

    // Looking at the sky: nothing in view, no triangles; the tree and drawables are unchanged.
    Ogre::Camera* sky = engine.createCamera("sky", Ogre::Vector3(0, 600, 0), Ogre::Vector3(0, 1000, 1));
    EXPECT_TRUE(render(sky).empty());
    EXPECT_EQ(terrain->getDebugInfo().visibleCount, 0u);
    EXPECT_EQ(terrain->getDebugInfo().triangles, 0u);
    EXPECT_EQ(terrain->getDebugInfo().drawables, info.drawables);

    // A new heightmap destroys every patch and with it every drawable.
    ASSERT_TRUE(terrain->openStream(roughMap()));
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
    EXPECT_EQ(terrain->getDebugInfo().patchCount, 0u);
}

TEST_F(TerrainDrawables, InvalidPatchesAreLoggedAndSkipped)
{
    makeTerrain(flatMap());
    PatchGeometry unbuilt;
    terrain->createDrawable(&unbuilt);
    EXPECT_EQ(unbuilt.drawable, nullptr);
    terrain->createDrawable(nullptr);
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
    EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "Error: Invalid terrain patch"), 2);
}

TEST_F(TerrainDrawables, GpuBuffersHoldThePatchRecordsAndTheStrip)
{
    makeTerrain(roughMap(), 300);
    // The terrain's node places every patch: a moved node moves transforms and view depths.
    terrain->getParentSceneNode()->setPosition(Ogre::Vector3(40, -20, 30));
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-60, 500, -450), Ogre::Vector3(40, 0, 30));
    ASSERT_TRUE(settle(camera));
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

TEST_F(TerrainDrawables, RestitchedStripReachesTheGpuOnceAtTheNextQueueing)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-200, 400, -200), Ogre::Vector3(-200, 100, -190));
    Ogre::Camera* away = engine.createCamera("away", Ogre::Vector3(300, 400, 300), Ogre::Vector3(300, 100, 310));
    ASSERT_TRUE(settle(camera));
    PatchNode* node = drawnAt(-200, -200);
    ASSERT_NE(node, nullptr);
    TerrainRenderable* drawable = drawableOf(node);
    ASSERT_NE(drawable, nullptr);
    ASSERT_TRUE(inView(camera, node->bounds));
    ASSERT_FALSE(inView(away, node->bounds));

    // Without a change nothing is copied, however often the patch is queued.
    scribbleIndices(drawable);
    frame(camera);
    EXPECT_TRUE(indicesAreScribbled(drawable));

    // A change is copied when the patch is next queued, not before, and only once.
    terrain->patchChanged(&node->geometry, 1);
    EXPECT_TRUE(indicesAreScribbled(drawable));
    render(away);
    EXPECT_TRUE(indicesAreScribbled(drawable)) << "not queued by a camera that does not see it";
    render(camera);
    EXPECT_TRUE(gpuIndicesMatch(drawable, node->geometry));
    EXPECT_FALSE(drawable->indicesStale);
    scribbleIndices(drawable);
    render(camera);
    EXPECT_TRUE(indicesAreScribbled(drawable));

    // A patch without a drawable ignores the change.
    PatchGeometry bare;
    terrain->patchChanged(&bare, 1);
    EXPECT_EQ(bare.drawable, nullptr);
}

TEST_F(TerrainDrawables, QueuedStripsFollowRestitchingWhileTheCameraFlies)
{
    makeTerrain(roughMap(), 300);
    terrain->setOgreBuildLimits(10000, 10000);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-450, 120, -450), Ogre::Vector3(0, 0, 0));
    ASSERT_TRUE(settle(camera));
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
            const Ogre::Vector4 parameter = drawable->getCustomParameter(TerrainRenderable::kMorphParameter);
            ASSERT_EQ(parameter, Ogre::Vector4(std::clamp(morph, 0.0f, 1.0f), 0, 0, 0)) << morph;
            between += morph > 0.0f && morph < 1.0f;
        }
        if (terrain->pendingBuilds() != 0)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_GT(visibleCounts.size(), 3u) << "the tree changed during the flight";
    EXPECT_GT(between, 0) << "patches were morphing";
}

TEST_F(TerrainDrawables, QueueAndVisitorSeeExactlyTheDrawablesInView)
{
    makeTerrain(roughMap(), 300);
    terrain->setOgreBuildLimits(10000, 10000);
    terrain->setRenderQueueGroup(60);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(300, 250, -500), Ogre::Vector3(-100, 0, 100));
    ASSERT_TRUE(settle(camera));
    const std::vector<Queued>& queued = render(camera);

    std::set<const Ogre::Renderable*> expected;
    forEachDrawn(root(), [&](PatchNode* node) {
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

// ---- materials ----

TEST_F(TerrainDrawables, HostMaterialsAreAskedForOnlyWithinTheDistanceAtCreation)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(200);
    const Ogre::Vector3 eye(8, 150, 8);
    Ogre::Camera* camera = engine.createCamera("eye", eye, Ogre::Vector3(8, 100, 30));
    ASSERT_TRUE(settle(camera));
    ASSERT_FALSE(host.requests.empty());
    EXPECT_EQ(host.flags, std::set<int>{0});
    for (const Ogre::AxisAlignedBox& box : host.requests)
        EXPECT_LT(box.squaredDistance(eye), 200.0f * 200.0f) << box;
    // Every drawable within the distance holds its own host material, every other the default.
    std::set<const Ogre::Material*> holders;
    forEachNode(root(), [&](PatchNode* node) {
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
    EXPECT_EQ(holders.size(), host.handedOut.size());
    EXPECT_TRUE(host.released.empty());
}

TEST_F(TerrainDrawables, MaterialPassRunsAfterMoreThanAHundredUnitsAndTakesTheDistanceAsNear)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(50);
    // 50 units above the ground: the patch under the eye lies exactly at the material distance.
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(8, 150, 8), Ogre::Vector3(8, 100, 30));
    ASSERT_TRUE(settle(camera));
    PatchNode* under = drawnAt(8, 8);
    ASSERT_NE(drawableOf(under), nullptr);
    EXPECT_EQ(under->bounds.squaredDistance(Ogre::Vector3(8, 150, 8)), 2500.0f);
    EXPECT_TRUE(host.requests.empty()) << "at exactly the distance a new drawable is not near";

    // Exactly 100 units of travel is not more than 100.
    moveCamera(camera, Ogre::Vector3(8, 150, 108));
    frame(camera);
    EXPECT_TRUE(host.requests.empty());

    moveCamera(camera, Ogre::Vector3(8, 150, 108.5f));
    frame(camera);
    PatchNode* next = drawnAt(8, 108.5f);
    ASSERT_EQ(host.requests.size(), 1u) << "only the patch at exactly the distance is near";
    EXPECT_EQ(host.requests[0], next->bounds);
    ASSERT_EQ(host.handedOut.size(), 1u);
    EXPECT_EQ(drawableOf(next)->getMaterial(), host.handedOut[0]);

    // The pass measures from where it last ran: a short move back does not run it again.
    moveCamera(camera, Ogre::Vector3(8, 150, 60));
    frame(camera);
    EXPECT_EQ(host.requests.size(), 1u);
    EXPECT_TRUE(host.released.empty());
}

TEST_F(TerrainDrawables, EachHostMaterialIsReleasedExactlyOnce)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(150);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-300, 200, -300), Ogre::Vector3(-300, 100, -290));
    ASSERT_TRUE(settle(camera));
    // The host materials of drawn patches (the material pass visits only those).
    const auto heldByDrawn = [&] {
        std::map<PatchNode*, Ogre::MaterialPtr> held;
        forEachDrawn(root(), [&](PatchNode* node) {
            if (drawableOf(node)->getMaterial() != defaultMaterial)
                held[node] = drawableOf(node)->getMaterial();
        });
        return held;
    };
    const std::map<PatchNode*, Ogre::MaterialPtr> first = heldByDrawn();
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
    EXPECT_EQ(host.releasedBoxes.size(), first.size()) << "no other release";
    EXPECT_EQ(host.releasesOf(defaultMaterial), 0) << "a drawable on the default gives nothing back";
    const std::map<PatchNode*, Ogre::MaterialPtr> second = heldByDrawn();
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

    // Destroying the terrain gives back every drawable's material, host or default, once.
    const uint64_t drawables = terrain->getDebugInfo().drawables;
    const uint64_t holdingHost = countNodes(
        [&](PatchNode* node) { return drawableOf(node) && drawableOf(node)->getMaterial() != defaultMaterial; });
    const size_t releasesBefore = host.releasedBoxes.size();
    const int defaultsBefore = host.releasesOf(defaultMaterial);
    delete terrain;
    terrain = nullptr;
    EXPECT_EQ(host.releasedBoxes.size() - releasesBefore, drawables);
    for (const Ogre::MaterialPtr& material : host.handedOut)
        EXPECT_EQ(host.releasesOf(material), 1);
    EXPECT_EQ(uint64_t(host.releasesOf(defaultMaterial) - defaultsBefore), drawables - holdingHost);
}

TEST_F(TerrainDrawables, DestroyedPatchesGiveTheirMaterialBack)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(150);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-300, 200, -300), Ogre::Vector3(-300, 100, -290));
    ASSERT_TRUE(settle(camera));
    const uint64_t drawables = terrain->getDebugInfo().drawables;
    const size_t handedOut = host.handedOut.size();
    ASSERT_GT(handedOut, 0u);
    // A new heightmap destroys every patch.
    ASSERT_TRUE(terrain->openStream(flatMap()));
    EXPECT_EQ(host.releasedBoxes.size(), drawables);
    for (const Ogre::MaterialPtr& material : host.handedOut)
        EXPECT_EQ(host.releasesOf(material), 1);
    EXPECT_EQ(uint64_t(host.releasesOf(defaultMaterial)), drawables - handedOut);
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
}

TEST_F(TerrainDrawables, DrawablesOutOfUseAreGivenBackAndMadeAgainWhenNeeded)
{
    makeTerrain(flatMap());
    terrain->setDrawableKeepFrames(30);
    useHost(100000);
    // Looking at one corner: only the patches there are queued and get drawables.
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(-480, 150, -480), Ogre::Vector3(-470, 100, -460));
    ASSERT_TRUE(settle(camera));
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

TEST_F(TerrainDrawables, ANullHostMaterialIsAskedForAgainAtTheNextPass)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(300);
    host.giveNothing = true;
    const Ogre::Vector3 eye(0, 200, 0);
    Ogre::Camera* camera = engine.createCamera("eye", eye, Ogre::Vector3(0, 100, 10));
    ASSERT_TRUE(settle(camera));
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
    forEachNode(root(), [&](PatchNode* node) {
        if (drawableOf(node))
        {
            EXPECT_EQ(drawableOf(node)->getMaterial(), defaultMaterial);
        }
    });

    const Ogre::Vector3 moved(101, 200, 0);
    moveCamera(camera, moved);
    frame(camera);
    int again = 0;
    forEachDrawn(root(), [&](PatchNode* node) {
        if (node->bounds.squaredDistance(moved) <= 300.0f * 300.0f)
        {
            const int expected = node->bounds.squaredDistance(eye) < 300.0f * 300.0f ? 2 : 1;
            EXPECT_EQ(std::count(host.requests.begin(), host.requests.end(), node->bounds), expected);
            again += expected == 2;
        }
    });
    EXPECT_GT(again, 4);
    EXPECT_TRUE(host.released.empty()) << "nothing was handed out";
}

TEST_F(TerrainDrawables, AMissingMaterialThrowsAndChangesNothing)
{
    makeTerrain(flatMap());
    terrain->setDefaultMaterial(Ogre::MaterialPtr());
    terrain->setOgreBuildLimits(0, 0);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    ASSERT_TRUE(settle(camera));
    const auto expectMissing = [&](const std::function<void()>& run) {
        try
        {
            run();
            ADD_FAILURE() << "no exception";
        }
        catch (const Ogre::ItemIdentityException& error)
        {
            EXPECT_EQ(error.getDescription(), "Terrain material missing");
            EXPECT_EQ(error.getSource(), "Terrain::patchCreated");
        }
        EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
        EXPECT_EQ(countNodes([](PatchNode* node) { return drawableOf(node) != nullptr; }), 0u);
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
    ASSERT_TRUE(settle(camera));
    terrain->setOgreBuildLimits(10000, 0);
    expectMissing([&] { render(camera); });

    terrain->setDefaultMaterial(defaultMaterial);
    EXPECT_FALSE(render(camera).empty());
}

TEST_F(TerrainDrawables, UnknownMaterialNamesThrowTheSystemsMessages)
{
    makeTerrain(flatMap());
    terrain->setDefaultMaterialName("Ground");
    try
    {
        terrain->setDefaultMaterialName("No such ground");
        ADD_FAILURE() << "no exception";
    }
    catch (const Ogre::ItemIdentityException& error)
    {
        EXPECT_EQ(error.getDescription(), "Default terrain material not found");
        EXPECT_EQ(error.getSource(), "Terrain::setDefaultMaterial");
    }
    // The default is gone: the first drawable finds no material.
    terrain->setOgreBuildLimits(10000, 0);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 600, -700), Ogre::Vector3(0, 100, 0));
    EXPECT_THROW(settle(camera), Ogre::ItemIdentityException);
    terrain->setDefaultMaterialName("Ground");
    ASSERT_TRUE(settle(camera));
    const std::vector<Queued>& queued = render(camera);
    ASSERT_FALSE(queued.empty());
    EXPECT_EQ(queued.front().renderable->getMaterial(), defaultMaterial);

    try
    {
        terrain->setBloodMaterialName("No such blood");
        ADD_FAILURE() << "no exception";
    }
    catch (const Ogre::ItemIdentityException& error)
    {
        EXPECT_EQ(error.getDescription(), "Terrain blood material");
        EXPECT_EQ(error.getSource(), "Terrain::setDefaultMaterial");
    }
    EXPECT_NO_THROW(terrain->setBloodMaterialName("Blood"));
}

TEST_F(TerrainDrawables, ReleaseFailuresWhilePatchesAreDestroyedAreLogged)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    useHost(150);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 300, 0), Ogre::Vector3(0, 100, 10));
    ASSERT_TRUE(settle(camera));
    const uint64_t drawables = terrain->getDebugInfo().drawables;
    host.failure = [] { throw std::runtime_error("host refuses"); };
    ASSERT_TRUE(terrain->openStream(flatMap()));
    EXPECT_EQ(host.releasedBoxes.size(), drawables) << "every patch was still destroyed";
    EXPECT_EQ(terrain->getDebugInfo().drawables, 0u);
    EXPECT_TRUE(log.saw("host refuses"));

    // Whatever the host throws.
    ASSERT_TRUE(settle(camera));
    const uint64_t again = terrain->getDebugInfo().drawables;
    host.failure = [] { throw 7; };
    const size_t before = host.releasedBoxes.size();
    log.lines.clear();
    delete terrain;
    terrain = nullptr;
    EXPECT_EQ(host.releasedBoxes.size() - before, again);
    EXPECT_EQ(uint64_t(std::count(log.lines.begin(), log.lines.end(), "Error: terrain material release failed")), again);
}

// ---- blood patches ----

TEST_F(TerrainDrawables, DecalsAreReusedByPositionAndQueuedOneGroupUp)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    terrain->setBloodMaterial(bloodMaterial);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 800, -300), Ogre::Vector3(0, 100, 0));
    ASSERT_TRUE(settle(camera));
    const unsigned int ids[3] = {terrain->getPatchInfo(Ogre::Vector3(-100, 0, -100), 4),
                                 terrain->getPatchInfo(Ogre::Vector3(100, 0, 100), 4),
                                 terrain->getPatchInfo(Ogre::Vector3(-300, 0, 200), 4)};
    const Ogre::TexturePtr red = texture("red", 64);
    for (unsigned int id : ids)
        terrain->drawBloodPatch(id, red, 0, 0);
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
        PatchNode* patch = terrain->getLandscape()->root;
        for (int k = patchIdLevel(ids[i]) - 1; k >= 0; --k)
            patch = patch->children[(ids[i] >> (2 * k)) & 3];
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
    for (unsigned int id : ids)
        terrain->drawBloodPatch(id, red, 0, 0);
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

TEST_F(TerrainDrawables, DecalGroupWrapsPastTheLastQueueGroup)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    terrain->setBloodMaterial(bloodMaterial);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 800, -300), Ogre::Vector3(0, 100, 0));
    ASSERT_TRUE(settle(camera));
    const unsigned int id = terrain->getPatchInfo(Ogre::Vector3(10, 0, 10), 4);
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

TEST_F(TerrainDrawables, DecalMappingCoversTheRequestedCell)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    terrain->setBloodMaterial(bloodMaterial);
    const Ogre::Vector3 shift(1000, 0, -2000);
    terrain->getParentSceneNode()->setPosition(shift);
    Ogre::Camera* camera = engine.createCamera("eye", shift + Ogre::Vector3(0, 800, -300), shift + Ogre::Vector3(0, 100, 0));
    ASSERT_TRUE(settle(camera));
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

TEST_F(TerrainDrawables, DecalsFollowTheirPatchesDrawable)
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
    ASSERT_TRUE(settle(camera));
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
    ASSERT_TRUE(settle(camera));
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

TEST_F(TerrainDrawables, WithoutABloodMaterialNothingIsDrawnOnTheGround)
{
    makeTerrain(flatMap());
    terrain->setOgreBuildLimits(10000, 10000);
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 800, -300), Ogre::Vector3(0, 100, 0));
    ASSERT_TRUE(settle(camera));
    const unsigned int id = terrain->getPatchInfo(Ogre::Vector3(10, 0, 10), 4);
    const Ogre::TexturePtr red = texture("red", 64);
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

TEST_F(TerrainDrawables, BloodPatchListHoldsTheDrawnPatchesInView)
{
    makeTerrain(roughMap(), 300);
    std::vector<std::pair<unsigned int, float>> out;
    EXPECT_EQ(terrain->getBloodPatches(0, out), 0u) << "before any camera";
    EXPECT_TRUE(out.empty());
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(200, 300, -500), Ogre::Vector3(-100, 0, 100));
    ASSERT_TRUE(settle(camera));

    std::vector<std::pair<unsigned int, float>> expected;
    forEachDrawn(root(), [&](PatchNode* node) {
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
