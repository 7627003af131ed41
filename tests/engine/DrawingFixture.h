#pragma once

// The drawing side of a Terrain in a real Ogre::Root without a window: patch drawables, host
// materials and blood-patch decals. Frames are driven the way the engine drives them:
// frameStarted, then for each camera _notifyCurrentCamera and _updateRenderQueue into a real
// Ogre::RenderQueue. The terrain's code is linked in (not loaded as the plug-in) so that the
// tests reach its drawables.

#include "EngineSupport.h"
#include "engine/TerrainDecal.h"
#include "engine/TerrainRenderable.h"

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
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testing_support
{

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

// The host's side of the material callbacks: a fresh material for every request (or none), and
// a tally of what came back.
struct Host
{
    Ogre::MaterialPtr source(const Ogre::AxisAlignedBox& box, int flag)
    {
        requests.push_back(box);
        flags.insert(flag);
        if (refuse)
            throw std::runtime_error("no material for you");
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
    bool refuse = false; // the source throws
    std::function<void()> failure;
    std::vector<Ogre::AxisAlignedBox> requests;
    std::set<int> flags;
    std::vector<Ogre::MaterialPtr> handedOut;
    std::vector<Ogre::AxisAlignedBox> releasedBoxes;
    std::map<const Ogre::Material*, int> released;
};

inline bool inView(const Ogre::Camera* camera, const Ogre::AxisAlignedBox& box)
{
    const Ogre::Plane* planes = camera->getFrustumPlanes();
    for (int i = 0; i < 6; ++i)
        if (planes[i].getSide(box) == Ogre::Plane::NEGATIVE_SIDE)
            return false;
    return true;
}

inline TerrainRenderable* drawableOf(const PatchNode* node)
{
    return static_cast<TerrainRenderable*>(node->geometry.drawable);
}

inline std::vector<uint16_t> gpuIndices(TerrainRenderable* drawable)
{
    std::vector<uint16_t> indices(drawable->indexData.indexCount);
    drawable->indexData.indexBuffer->readData(0, indices.size() * sizeof(uint16_t), indices.data());
    return indices;
}

inline bool gpuIndicesMatch(TerrainRenderable* drawable, const PatchGeometry& patch)
{
    return drawable->indexData.indexCount == patch.indexCount &&
           std::memcmp(gpuIndices(drawable).data(), patch.indices, patch.indexCount * sizeof(uint16_t)) == 0;
}

class DrawingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The null render system reports no texture units; materials with one would not compile.
        engine.renderSystem->getMutableCapabilities()->setNumTextureUnits(8);
        textures = std::make_unique<Ogre::DefaultTextureManager>();
        queue.setRenderableListener(&recorder);
        defaultMaterial = Ogre::MaterialManager::getSingleton().create("Ground", Ogre::RGN_DEFAULT);
        bloodMaterial = Ogre::MaterialManager::getSingleton().create("Blood", Ogre::RGN_DEFAULT);
    }
    void TearDown() override
    {
        owned.reset();
        terrain = nullptr;
    }

    // 1024 x 1024 units at height 100 exactly (sample 100, one unit per sample value). Flat
    // patches have no error, so the tree stops at the always-split level 4: 16 x 16 patches of
    // 64 units, the one containing (x, z) spanning [64 floor(x / 64), +64).
    std::string flatMap() { return writeHeightmap(folder.file("flat.tif"), 257, 257, [](int, int) { return uint16_t(100); }); }

    // Rough ground over 1024 units, levels 4 to 6.
    std::string roughMap() { return writeFractalHeightmap(folder.file("rough.tif"), 1025, 7, 0.6f); }

    TestTerrain* makeTerrain(const std::string& map, float height = 65535.0f)
    {
        owned = std::make_unique<TestTerrain>("ground");
        terrain = owned.get();
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

    // Each material the host handed out is held by one drawable or has come back once, with the
    // drawable that held it (a far pass, or a patch that went or gave way to its children).
    void expectEachHostMaterialHeldOrGivenBackOnce() const
    {
        std::map<const Ogre::Material*, int> held;
        forEachNode(root(), [&](const PatchNode* node) {
            if (drawableOf(node))
                held[drawableOf(node)->getMaterial().get()] += 1;
        });
        for (const Ogre::MaterialPtr& material : host.handedOut)
            EXPECT_EQ(held[material.get()] + host.releasesOf(material), 1) << material->getName();
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
        headless::clearQueue(queue);
        terrain->_notifyCurrentCamera(camera);
        terrain->_updateRenderQueue(&queue);
        return recorder.queued;
    }

    const std::vector<Queued>& frame(Ogre::Camera* camera)
    {
        terrain->frameStarted(Ogre::FrameEvent{});
        return render(camera);
    }

    // Frames until the terrain has settled (bounded).
    void settle(Ogre::Camera* camera) { testing_support::settle(*terrain, [&] { frame(camera); }); }

    // Destroys the terrain, as a host does, while the test goes on.
    void destroyTerrain()
    {
        owned.reset();
        terrain = nullptr;
    }

    // Renders one frame and checks every queued drawable against its patch: the records and the
    // strip in its buffers, the vertex format, its transform, view depth and material.
    void checkGpuBuffers(Ogre::Camera* camera);

    void moveCamera(Ogre::Camera* camera, const Ogre::Vector3& position)
    {
        camera->getParentSceneNode()->setPosition(position);
    }

    const PatchNode* root() const { return terrain->root(); }

    // The drawn patch containing (x, z).
    const PatchNode* drawnAt(float x, float z) const
    {
        const PatchNode* found = nullptr;
        forEachDrawn(root(), [&](const PatchNode* node) {
            if (x >= node->corners[0].x && x < node->corners[3].x && z >= node->corners[0].z &&
                z < node->corners[3].z)
                found = node;
        });
        return found;
    }

    uint64_t countNodes(const std::function<bool(const PatchNode*)>& predicate) const
    {
        uint64_t count = 0;
        forEachNode(root(), [&](const PatchNode* node) { count += predicate(node) ? 1 : 0; });
        return count;
    }

    uint64_t drawnWithoutDrawable() const
    {
        uint64_t count = 0;
        forEachDrawn(root(), [&](const PatchNode* node) { count += node->isBuilt() && !drawableOf(node) ? 1 : 0; });
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

    TestFolder folder;
    Engine engine;
    std::unique_ptr<Ogre::DefaultTextureManager> textures;
    std::unique_ptr<TestTerrain> owned;
    TestTerrain* terrain = nullptr;
    Ogre::RenderQueue queue;
    QueueRecorder recorder;
    LogLines log{"Error: "};
    Host host;
    Ogre::MaterialPtr defaultMaterial;
    Ogre::MaterialPtr bloodMaterial;
};
} // namespace testing_support
