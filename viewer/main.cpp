// terrain-viewer: a large terrain drawn by Plugin_Terrain, flown over by a scripted camera, in a
// window or offscreen with statistics and a screenshot.
//
// Exit status: 0 success, 1 failure (engine, files, display), 2 unusable arguments, 3 the last
// view of an offscreen run did not converge, 130 interrupted.

#include "BuiltinHeightmap.h"
#include "ProgressBar.h"
#include "StopSignal.h"
#include "heightmap/HeightmapFormat.h"
#include "ViewerPaths.h"
#include "ViewerRuns.h"

#include <OgreException.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>

namespace
{
namespace fs = std::filesystem;

constexpr const char* kXvfbRun = "xvfb-run -a -s \"-screen 0 1024x768x24\"";

int fail(const std::string& message)
{
    std::fprintf(stderr, "terrain-viewer: %s\n", message.c_str());
    return 1;
}

bool hasDisplay()
{
    const char* display = std::getenv("DISPLAY");
    return display && display[0] != '\0';
}

// The first folder that exists or can be made; the temp folder's plugin-terrain otherwise.
fs::path writableFolder(const std::vector<fs::path>& folders)
{
    for (const fs::path& folder : folders)
    {
        std::error_code error;
        fs::create_directories(folder, error);
        if (!error && fs::is_directory(folder, error))
            return folder;
    }
    return fs::temp_directory_path() / "plugin-terrain";
}

// Checks the user's heightmap before the engine starts. Result: its edge in samples, or 0 with
// `error`.
uint32_t inspectHeightmap(const std::string& file, std::string& error)
{
    std::error_code status;
    if (!fs::is_regular_file(file, status))
    {
        error = "heightmap " + file + " not found";
        return 0;
    }
    StreamableHeightmap opened = openStreamableHeightmap(file);
    if (!opened.file)
    {
        // The same reason and hint the terrain prints when it refuses the file.
        error = "heightmap " + file + " cannot be streamed: " + opened.reason;
        if (opened.convertible)
            error += "\n" + importHint(file);
        return 0;
    }
    const uint32_t width = opened.file->width;
    const uint32_t height = opened.file->height;
    if (width != height || width < 3)
    {
        error = "heightmap " + file + " is " + std::to_string(width) + " x " + std::to_string(height) +
                " samples; the terrain needs a square map (2^k + 1 samples along an edge fit exactly)";
        return 0;
    }
    return width;
}
} // namespace

int main(int argc, char** argv)
{
    const std::string program = "terrain-viewer";
    const ViewerCommandLine commandLine = parseViewerOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (commandLine.help)
    {
        std::fputs(viewerUsage(program).c_str(), stdout);
        return 0;
    }
    if (!commandLine.error.empty())
    {
        std::fprintf(stderr, "%s: %s\nRun '%s --help' for the options.\n", program.c_str(),
                     commandLine.error.c_str(), program.c_str());
        return 2;
    }
    const ViewerOptions& options = commandLine.options;

    // A heightmap that cannot be streamed is the user's first thing to fix, display or not.
    uint32_t heightmapEdge = 0;
    if (!options.heightmap.empty())
    {
        std::string error;
        heightmapEdge = inspectHeightmap(options.heightmap, error);
        if (heightmapEdge == 0)
            return fail(error);
    }

    if (!hasDisplay())
    {
        if (options.frames == 0)
            return fail(std::string("no display to open a window on (DISPLAY is not set).\n"
                                    "Render offscreen under Xvfb instead, for example:\n  ") +
                        kXvfbRun + " " + program + " --frames 600 --screenshot terrain.png");
        return fail(std::string("offscreen rendering still needs an X display for OpenGL (DISPLAY is not "
                                "set).\nRun it under Xvfb:\n  ") +
                    kXvfbRun + " " + program + " --frames " + std::to_string(options.frames) + " ...");
    }

    ViewerSetup setup;
    setup.options = options;
    std::string error;
    setup.mediaDir = resolveMediaDirectory(options.mediaDir, error);
    if (setup.mediaDir.empty())
        return fail(error);

    std::vector<fs::path> folders{cacheDirectory(options.cacheDir)};
    if (options.cacheDir.empty())
        folders.push_back(fs::temp_directory_path() / "plugin-terrain");

    if (!options.heightmap.empty())
    {
        setup.edge = heightmapEdge;
        setup.heightmap = options.heightmap;
        setup.sculptable = options.editHeightmap;
        std::printf("Heightmap: %s%s\n", setup.heightmap.c_str(), setup.sculptable ? " (the brush writes to it)" : "");
    }
    else
    {
        ProgressBar bar("Writing the built-in heightmap (" + std::to_string(options.mapSize) + " x " +
                        std::to_string(options.mapSize) + " samples, seed " + std::to_string(options.seed) + ")");
        BuiltinHeightmap map;
        bool started = false;
        if (!ensureBuiltinHeightmap(folders, options.mapSize, options.seed,
                                    [&bar, &started](double fraction) {
                                        started = true;
                                        bar.update(fraction);
                                    },
                                    map, error))
        {
            if (started)
                bar.finish("failed");
            return fail(error);
        }
        if (map.generated)
        {
            char note[64];
            std::snprintf(note, sizeof note, "done in %.1f s", map.seconds);
            bar.finish(note);
        }
        setup.heightmap = map.file.string();
        setup.edge = options.mapSize;
        std::printf("Heightmap: %s (%s)\n", setup.heightmap.c_str(), map.generated ? "written now" : "cached");
        // Runs that may sculpt write to a fresh copy: the cached map stays as it was made.
        if (options.frames == 0 || options.sculptDemo)
        {
            const fs::path copy = map.file.parent_path() / ("sculpted-" + map.file.filename().string());
            std::error_code copied;
            fs::copy_file(map.file, copy, fs::copy_options::overwrite_existing, copied);
            if (copied)
                return fail("cannot copy the built-in map to " + copy.string() + " for sculpting: " + copied.message());
            setup.heightmap = copy.string();
            setup.sculptable = true;
            std::printf("Sculpting a copy: %s\n", setup.heightmap.c_str());
        }
    }

    setup.terrain.size = options.terrainSize > 0 ? options.terrainSize : ViewerOptions::kDefaultSize;
    setup.terrain.height = options.terrainHeight > 0 ? options.terrainHeight : ViewerOptions::kDefaultHeight;
    setup.terrain.patchSize = options.patchSize > 0 ? options.patchSize : defaultPatchSize(setup.edge);
    setup.terrain.detail = options.detail;
    setup.terrain.memoryMiB = options.memoryMiB;
    setup.terrain.blood = options.blood;
    setup.terrain.wireframe = options.wireframe;
    setup.terrain.seed = options.seed;
    setup.logFile = (writableFolder(folders) / "terrain-viewer.log").string();
    std::printf("Terrain: %u x %u samples over %.0f x %.0f world units, %.0f high; patches of %d quads\n",
                setup.edge, setup.edge, double(setup.terrain.size), double(setup.terrain.size),
                double(setup.terrain.height), setup.terrain.patchSize);
    std::fflush(stdout);

    installStopSignals();
    try
    {
        return options.frames > 0 ? runOffscreen(setup) : runWindowed(setup);
    }
    catch (const Ogre::Exception& exception)
    {
        return fail(exception.getDescription() + " (" + exception.getSource() + ")\nThe engine's log: " +
                    setup.logFile);
    }
    catch (const std::exception& exception)
    {
        return fail(std::string(exception.what()) + "\nThe engine's log: " + setup.logFile);
    }
}
