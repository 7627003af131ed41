#include "ViewerPaths.h"

#include <dlfcn.h>

#include <cstdlib>

#include <system_error>

// An exported entry point of the plug-in, used only to ask the loader which file holds it.
extern "C" void dllStartPlugin();

namespace
{
namespace fs = std::filesystem;

constexpr const char* kMaterialFile = "Terrain.material";

bool hasMaterials(const fs::path& folder)
{
    std::error_code ignored;
    return !folder.empty() && fs::is_regular_file(folder / kMaterialFile, ignored);
}

fs::path programDirectory()
{
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : program.parent_path();
}
} // namespace

std::string resolveMediaDirectory(const std::string& requested, const fs::path& programFolder,
                                  const std::string& buildTreeMedia, std::string& error)
{
    error.clear();
    if (!requested.empty())
    {
        if (hasMaterials(requested))
            return requested;
        error = "--media " + requested + ": no " + kMaterialFile + " there";
        return {};
    }
    const fs::path installed =
        programFolder.empty() ? fs::path() : programFolder.parent_path() / "share" / "plugin-terrain" / "media";
    if (hasMaterials(installed))
        return installed.string();
    if (hasMaterials(buildTreeMedia))
        return buildTreeMedia;
    error = std::string("the terrain materials (") + kMaterialFile + ") are not in " +
            (installed.empty() ? std::string("the install folder") : installed.string()) + " nor in " +
            buildTreeMedia + "; name their folder with --media DIR";
    return {};
}

std::string resolveMediaDirectory(const std::string& requested, std::string& error)
{
    return resolveMediaDirectory(requested, programDirectory(), TERRAIN_VIEWER_MEDIA_DIR, error);
}

std::string terrainPluginPath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&dllStartPlugin), &info) != 0 && info.dli_fname &&
        info.dli_fname[0] == '/')
        return info.dli_fname;
    return TERRAIN_PLUGIN_PATH;
}

std::string ogrePluginDirectory()
{
    return TERRAIN_VIEWER_OGRE_PLUGIN_DIR;
}

std::string ogreMediaDirectory()
{
    return TERRAIN_VIEWER_OGRE_MEDIA_DIR;
}

fs::path chooseCacheDirectory(const std::string& requested, const char* xdgCacheHome, const char* home)
{
    if (!requested.empty())
        return requested;
    // The XDG base directory rules: only absolute values count.
    if (xdgCacheHome && xdgCacheHome[0] == '/')
        return fs::path(xdgCacheHome) / "plugin-terrain";
    if (home && home[0] == '/')
        return fs::path(home) / ".cache" / "plugin-terrain";
    std::error_code error;
    const fs::path temp = fs::temp_directory_path(error);
    return (error ? fs::path("/tmp") : temp) / "plugin-terrain";
}

fs::path cacheDirectory(const std::string& requested)
{
    return chooseCacheDirectory(requested, std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"));
}
