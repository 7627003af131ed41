#pragma once

// A real Ogre::Root for tests that need the engine but no window (see tools/HeadlessEngine.h),
// with the plug-in loaded from the build tree.

#include "../tools/HeadlessEngine.h"
#include "Terrain.h"

namespace testing_support
{

class Engine : public headless::Engine
{
public:
    Engine() : headless::Engine(TERRAIN_PLUGIN_PATH) {}

    Terrain* createTerrain(const std::string& name, bool attach = true)
    {
        auto* terrain = static_cast<Terrain*>(scene->createMovableObject(name, "Terrain"));
        if (attach)
            scene->getRootSceneNode()->attachObject(terrain);
        return terrain;
    }
};

} // namespace testing_support
