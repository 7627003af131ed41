#pragma once

#include <OgreMovableObject.h>
#include <OgrePlugin.h>

#include <memory>

// The movable type name shared by the plug-in, its factory and every Terrain.
const Ogre::String& terrainTypeName();

// Creates and destroys Terrain objects for scene managers.
class TerrainFactory : public Ogre::MovableObjectFactory
{
public:
    const Ogre::String& getType() const override;

protected:
    Ogre::MovableObject* createInstanceImpl(const Ogre::String& name,
                                            const Ogre::NameValuePairList* params) override;
};

// The plug-in object that the engine installs: registers the factory for "Terrain".
class TerrainPlugin : public Ogre::Plugin
{
public:
    const Ogre::String& getName() const override;
    void install() override;
    void initialise() override;
    void shutdown() override;
    void uninstall() override;
    ~TerrainPlugin() override;

private:
    std::unique_ptr<TerrainFactory> factory; // null before install and after uninstall
    bool registered = false;           // the factory is registered with the root
};
