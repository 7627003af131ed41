#pragma once

// The engine as the viewer needs it, shared by the windowed and the offscreen runs: the log, the
// plug-ins, the GL render system and the resource locations.

#include <memory>
#include <string>

namespace Ogre
{
class LogManager;
class RenderSystem;
class Root;
}

// The resource group that holds the viewer's materials, textures and overlay.
extern const char* const kViewerResourceGroup;

// The engine's log, written to `file` and never echoed to the console (the viewer's own output
// stays readable). Create it before the Ogre::Root, destroy it after.
std::unique_ptr<Ogre::LogManager> createViewerLog(const std::string& file);

// Loads RenderSystem_GL and Codec_STBI from Ogre's plug-in folder and the terrain plug-in.
// Throws Ogre::Exception when one cannot be loaded.
void loadViewerPlugins(Ogre::Root& root);

// Makes RenderSystem_GL the render system (the shipped materials are GLSL 1.20 for it).
// Throws Ogre::Exception when it is missing.
Ogre::RenderSystem* useGLRenderSystem(Ogre::Root& root, bool vsync);

// Adds the media folder and, when Ogre's font pack is installed, the pack to the viewer's
// resource group. Call before the resource groups are initialised.
// Result: whether the font pack (for the on-screen statistics) was found.
bool addViewerResources(const std::string& mediaDir);
