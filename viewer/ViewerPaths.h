#pragma once

// Where the viewer finds its materials, the terrain plug-in and Ogre's own files, and where it
// keeps the built-in heightmap. All path decisions live here.

#include <filesystem>
#include <string>

// The folder of the shipped materials (it holds Terrain.material). In order: `requested` (the
// --media option), the install location beside the program (<prefix>/bin/terrain-viewer ->
// <prefix>/share/plugin-terrain/media), the source tree the program was built from.
// Result: the folder, or empty with `error` saying where it looked.
std::string resolveMediaDirectory(const std::string& requested, std::string& error);

// Same, with the program's folder and the build tree's media folder given: for tests.
std::string resolveMediaDirectory(const std::string& requested,
                                  const std::filesystem::path& programDirectory,
                                  const std::string& buildTreeMedia, std::string& error);

// The file of the terrain plug-in for Ogre::Root::loadPlugin: the very library this program is
// linked against (so that the engine and the program share one copy of the Terrain class), or
// the build tree's plug-in when the loader cannot say.
std::string terrainPluginPath();

// Folder of Ogre's plug-ins (RenderSystem_GL, Codec_STBI) and of Ogre's media (the font pack).
std::string ogrePluginDirectory();
std::string ogreMediaDirectory();

// The folder for the built-in heightmap: `requested` if given, else $XDG_CACHE_HOME/plugin-terrain,
// else $HOME/.cache/plugin-terrain, else <temp>/plugin-terrain. xdgCacheHome and home are the
// environment's values (null when unset).
std::filesystem::path chooseCacheDirectory(const std::string& requested, const char* xdgCacheHome,
                                           const char* home);
// The same from the process environment.
std::filesystem::path cacheDirectory(const std::string& requested);
