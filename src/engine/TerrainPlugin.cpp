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
    return OGRE_NEW Terrain(name);
}

const Ogre::String& TerrainPlugin::getName() const
{
    return terrainTypeName();
}

void TerrainPlugin::install()
{
    if (!factory)
        factory = OGRE_NEW TerrainFactory();
}

void TerrainPlugin::initialise()
{
    if (registered || !factory)
        return;
    Ogre::Root::getSingleton().addMovableObjectFactory(factory, false);
    registered = true;
}

void TerrainPlugin::shutdown()
{
    if (!registered)
        return;
    Ogre::Root::getSingleton().removeMovableObjectFactory(factory);
    registered = false;
}

void TerrainPlugin::uninstall()
{
    // The engine does not shut a plug-in down when it was never initialised; a factory must not
    // be deleted while the root still lists it.
    shutdown();
    OGRE_DELETE factory;
    factory = nullptr;
}

TerrainPlugin::~TerrainPlugin()
{
    shutdown();
    uninstall();
}

namespace
{
TerrainPlugin* plugin = nullptr;
}

extern "C" TERRAIN_EXPORT void dllStartPlugin();
extern "C" TERRAIN_EXPORT void dllStopPlugin();

extern "C" void dllStartPlugin()
{
    plugin = OGRE_NEW TerrainPlugin();
    Ogre::Root::getSingleton().installPlugin(plugin);
}

extern "C" void dllStopPlugin()
{
    Ogre::Root::getSingleton().uninstallPlugin(plugin);
    OGRE_DELETE plugin;
    plugin = nullptr;
}
