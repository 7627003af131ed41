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

#include <string>

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
};

// Runs frame() until the terrain has settled: no build pending and no detached patch waiting to
// be freed, for two frames in a row (bounded; see tools/PumpUntilIdle.h). Returns the number of
// frames.
template <class Frame>
int settle(const TestTerrain& terrain, Frame&& frame, int maxFrames = 20000)
{
    return pumpUntilIdle(frame, [&] { return terrain.pendingBuilds() == 0 &&
                                             LandscapeTestView(*terrain.getLandscape()).queue().retiredCount() == 0; },
                         maxFrames);
}

} // namespace testing_support
