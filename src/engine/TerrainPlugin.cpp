#include "engine/TerrainPlugin.h"

#include "Terrain.h"

#include <OgreRoot.h>

const Ogre::String& terrainTypeName()
{
    static const Ogre::String name("Terrain");
    return name;
}

const Ogre::String& TerrainFactory::getType() const
{
    return terrainTypeName();
}

Ogre::MovableObject* TerrainFactory::createInstanceImpl(const Ogre::String& name,
                                                        const Ogre::NameValuePairList*)
{
    // The scene manager owns what this returns and hands it to destroyInstance, whose default
    // deletes it.
    return OGRE_NEW Terrain(name);
}

const Ogre::String& TerrainPlugin::getName() const
{
    return terrainTypeName();
}

void TerrainPlugin::install()
{
    if (!factory)
        factory = std::make_unique<TerrainFactory>();
}

void TerrainPlugin::initialise()
{
    if (registered || !factory)
        return;
    Ogre::Root::getSingleton().addMovableObjectFactory(factory.get(), false);
    registered = true;
}

void TerrainPlugin::shutdown()
{
    if (!registered)
        return;
    Ogre::Root::getSingleton().removeMovableObjectFactory(factory.get());
    registered = false;
}

void TerrainPlugin::uninstall()
{
    // The engine does not shut a plug-in down when it was never initialised; a factory must not
    // be deleted while the root still lists it.
    shutdown();
    factory.reset();
}

TerrainPlugin::~TerrainPlugin()
{
    shutdown();
    uninstall();
}

namespace
{
// The library's one plug-in object, alive between dllStartPlugin and dllStopPlugin. The root only
// borrows it: a plug-in library owns its plug-in object.
std::unique_ptr<TerrainPlugin> plugin;
}

extern "C" TERRAIN_EXPORT void dllStartPlugin();
extern "C" TERRAIN_EXPORT void dllStopPlugin();

extern "C" void dllStartPlugin()
{
    plugin = std::make_unique<TerrainPlugin>();
    Ogre::Root::getSingleton().installPlugin(plugin.get());
}

extern "C" void dllStopPlugin()
{
    Ogre::Root::getSingleton().uninstallPlugin(plugin.get());
    plugin.reset();
}
