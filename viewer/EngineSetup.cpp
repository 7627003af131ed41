#include "EngineSetup.h"

#include "ViewerPaths.h"

#include <OgreException.h>
#include <OgreLogManager.h>
#include <OgreRenderSystem.h>
#include <OgreResourceGroupManager.h>
#include <OgreRoot.h>

#include <filesystem>

const char* const kViewerResourceGroup = "TerrainViewer";

std::unique_ptr<Ogre::LogManager> createViewerLog(const std::string& file)
{
    auto logs = std::make_unique<Ogre::LogManager>();
    logs->createLog(file, true, false, file.empty());
    return logs;
}

void loadViewerPlugins(Ogre::Root& root)
{
    const std::string folder = ogrePluginDirectory();
    root.loadPlugin(folder + "/RenderSystem_GL.so");
    root.loadPlugin(folder + "/Codec_STBI.so");
    root.loadPlugin(terrainPluginPath());
}

Ogre::RenderSystem* useGLRenderSystem(Ogre::Root& root, bool vsync)
{
    Ogre::RenderSystem* renderSystem = root.getRenderSystemByName("OpenGL Rendering Subsystem");
    if (!renderSystem)
        OGRE_EXCEPT(Ogre::Exception::ERR_ITEM_NOT_FOUND,
                    "RenderSystem_GL is not installed in " + ogrePluginDirectory(), "useGLRenderSystem");
    renderSystem->setConfigOption("Full Screen", "No");
    renderSystem->setConfigOption("VSync", vsync ? "Yes" : "No");
    root.setRenderSystem(renderSystem);
    return renderSystem;
}

bool addViewerResources(const std::string& mediaDir)
{
    Ogre::ResourceGroupManager& groups = Ogre::ResourceGroupManager::getSingleton();
    groups.addResourceLocation(mediaDir, "FileSystem", kViewerResourceGroup);
    const std::string fontPack = ogreMediaDirectory() + "/packs/SdkTrays.zip";
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(fontPack, ignored))
        return false;
    groups.addResourceLocation(fontPack, "Zip", kViewerResourceGroup);
    return true;
}
