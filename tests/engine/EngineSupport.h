#pragma once

// A real Ogre::Root for tests that need the engine but no window (see tools/HeadlessEngine.h),
// and a Terrain with its insides in reach.

#include "../../tools/HeadlessEngine.h"
#include "../../tools/PumpUntilIdle.h"
#include "../lod/LandscapeTestView.h"
#include "../support/HeightmapFile.h"
#include "../support/TestFolder.h"
#include "Terrain.h"
#include "lod/Landscape.h"

#include <OgreLogManager.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace testing_support
{

#ifdef TERRAIN_PLUGIN_PATH
// The plug-in from the build tree, loaded as a host loads it.
inline const std::string kPluginPath = TERRAIN_PLUGIN_PATH;
#else
// No plug-in: the terrain's code is linked into the test.
inline const std::string kPluginPath;
#endif

class Engine : public headless::Engine
{
public:
    Engine() : headless::Engine(kPluginPath) {}

    // A terrain made by the scene manager through the plug-in's factory.
    Terrain* createTerrain(const std::string& name, bool attach = true)
    {
        auto* terrain = static_cast<Terrain*>(scene->createMovableObject(name, "Terrain"));
        if (attach)
            scene->getRootSceneNode()->attachObject(terrain);
        return terrain;
    }
};

// A terrain made directly rather than by the factory, so that tests reach what hosts do not:
// the protected callbacks, the height source and the level-of-detail engine.
class TestTerrain : public Terrain
{
public:
    using Terrain::createDrawable;
    using Terrain::getHeight;
    using Terrain::getLandscape;
    using Terrain::patchChanged;
    using Terrain::patchDestroyed;
    using Terrain::spareDrawableCount;
    using Terrain::staleDrawableCount;
    using Terrain::Terrain;
    using Terrain::updateHeightCache;

    int pendingBuilds() const { return getLandscape()->pendingBuilds(); }
    const PatchNode* root() const { return LandscapeTestView(*getLandscape()).root(); }

    // The height source as the builder calls it: under the height lock, which keeps the build
    // thread's own reads of the file and the cache away.
    float sampledHeight(const Ogre::Vector3& point)
    {
        Lock lock(getLandscape()->getHeightLock());
        return getHeight(point, 0);
    }
    void moveCache() { updateHeightCache(); }
    // One frame as the engine drives it for a camera that sees the terrain.
    void frame(Ogre::Camera* eye)
    {
        _notifyCurrentCamera(eye);
        frameStarted(Ogre::FrameEvent{});
    }
};

// The lines of the engine's log that contain `part`, while it lives (made after the Engine).
class LogLines : public Ogre::LogListener
{
public:
    explicit LogLines(std::string part_) : part(std::move(part_))
    {
        Ogre::LogManager::getSingleton().getDefaultLog()->addListener(this);
    }
    ~LogLines() override { Ogre::LogManager::getSingleton().getDefaultLog()->removeListener(this); }
    void messageLogged(const Ogre::String& message, Ogre::LogMessageLevel, bool, const Ogre::String&, bool&) override
    {
        if (message.find(part) != std::string::npos)
            lines.push_back(message);
    }
    bool saw(const std::string& text) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }
    std::vector<std::string> lines;

private:
    const std::string part;
};

// Checks that every vertex of every built patch below root, drawn or kept, has the height of
// the sample under it: samples (edge x edge, row by row) times heightPerSample, on a terrain of
// the given world size centred on the origin. Returns the number of vertices checked.
inline uint64_t expectPatchesOnSamples(const PatchNode* root, const std::vector<uint16_t>& samples, int edge,
                                       float size, float heightPerSample)
{
    const float perSample = size / float((edge - 1) & ~1);
    uint64_t checked = 0;
    forEachNode(root, [&](const PatchNode* node) {
        for (uint64_t k = 0; node->isBuilt() && k < node->geometry.vertexCount && !::testing::Test::HasFailure(); ++k)
        {
            const float* v = node->geometry.vertices + k * kFloatsPerVertex;
            const int x = std::min(int((v[0] + size / 2) / perSample), edge - 1);
            const int z = std::min(int((v[2] + size / 2) / perSample), edge - 1);
            ASSERT_EQ(v[1], float(samples[size_t(z) * size_t(edge) + size_t(x)]) * heightPerSample)
                << x << "," << z << " level " << node->level;
            ++checked;
        }
    });
    return checked;
}

// Runs frame() until the terrain has settled: no build pending, no drawable put off and no
// detached patch waiting to be freed, for two frames in a row (bounded; see
// tools/PumpUntilIdle.h). Returns the number of frames.
template <class Frame>
int settle(const TestTerrain& terrain, Frame&& frame, int maxFrames = 20000)
{
    return pumpUntilIdle(frame, [&] { return terrain.pendingBuilds() == 0 && terrain.getDebugInfo().deferred == 0 &&
                                             LandscapeTestView(*terrain.getLandscape()).queue().retiredCount() == 0; },
                         maxFrames);
}

// call must throw E with the system's own description and source.
template <class E, class F>
void expectThrows(F&& call, const std::string& description, const std::string& source)
{
    try
    {
        call();
        ADD_FAILURE() << "no exception: " << description;
    }
    catch (const E& error)
    {
        EXPECT_EQ(error.getDescription(), description);
        EXPECT_EQ(error.getSource(), source);
    }
}

inline int settle(TestTerrain& terrain, Ogre::Camera* camera)
{
    return settle(terrain, [&] { terrain.frame(camera); });
}

} // namespace testing_support
