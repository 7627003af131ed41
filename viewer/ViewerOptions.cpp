#include "ViewerOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace
{
bool parseUnsigned(const std::string& text, uint64_t limit, uint64_t& out)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12)
        return false;
    out = std::strtoull(text.c_str(), nullptr, 10);
    return out <= limit;
}

bool parsePositive(const std::string& text, float& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0.0 ||
        value > 1e7)
        return false;
    out = float(value);
    return true;
}

bool isPowerOfTwo(uint64_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// The options that take a value.
const char* const kValueOptions[] = {"--heightmap", "--edit", "--size", "--height", "--map-size", "--seed",
                                     "--frames", "--screenshot", "--resolution", "--patch-size",
                                     "--detail", "--memory", "--media", "--cache-dir"};

bool takesValue(const std::string& name)
{
    for (const char* option : kValueOptions)
        if (name == option)
            return true;
    return false;
}
} // namespace

int defaultPatchSize(uint32_t edge)
{
    int size = 8;
    while (size < 32 && uint64_t(size) * 2 * 256 <= uint64_t(edge & ~1u))
        size *= 2;
    return size;
}

ViewerCommandLine parseViewerOptions(const std::vector<std::string>& arguments)
{
    ViewerCommandLine result;
    ViewerOptions& options = result.options;
    bool builtinOnly = false; // --map-size or --seed was given
    const auto fail = [&result](const std::string& message) {
        result.error = message;
        return result;
    };

    for (size_t i = 0; i < arguments.size(); ++i)
    {
        std::string name = arguments[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos)
        {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        if (name == "--help" || name == "-h")
        {
            result.help = true;
            return result;
        }
        if (name == "--no-blood" || name == "--no-overlay" || name == "--wireframe" || name == "--sculpt-demo")
        {
            if (hasValue)
                return fail(name + " takes no value");
            if (name == "--wireframe")
                options.wireframe = true;
            else if (name == "--sculpt-demo")
                options.sculptDemo = true;
            else
                (name == "--no-blood" ? options.blood : options.overlay) = false;
            continue;
        }
        if (!takesValue(name))
            return fail("unknown argument '" + arguments[i] + "'");
        if (!hasValue)
        {
            if (i + 1 >= arguments.size())
                return fail(name + " needs a value");
            value = arguments[++i];
        }

        uint64_t number = 0;
        if (name == "--heightmap" || name == "--edit")
        {
            if (value.empty())
                return fail(name + " needs a file name");
            if (!options.heightmap.empty() && options.heightmap != value)
                return fail("--heightmap and --edit name one map: give one of them");
            options.heightmap = value;
            options.editHeightmap = options.editHeightmap || name == "--edit";
        }
        else if (name == "--size")
        {
            if (!parsePositive(value, options.terrainSize))
                return fail("--size needs a positive number of world units, not '" + value + "'");
        }
        else if (name == "--height")
        {
            if (!parsePositive(value, options.terrainHeight))
                return fail("--height needs a positive number of world units, not '" + value + "'");
        }
        else if (name == "--map-size")
        {
            if (!parseUnsigned(value, 8193, number) || number < 129 || !isPowerOfTwo(number - 1))
                return fail("--map-size needs 2^k + 1 samples from 129 to 8193 (e.g. 513, 4097), not '" +
                            value + "'");
            options.mapSize = uint32_t(number);
            builtinOnly = true;
        }
        else if (name == "--seed")
        {
            if (!parseUnsigned(value, 0xFFFFFFFFull, number))
                return fail("--seed needs a whole number from 0 to 4294967295, not '" + value + "'");
            options.seed = uint32_t(number);
            builtinOnly = true;
        }
        else if (name == "--frames")
        {
            if (!parseUnsigned(value, 1000000, number) || number == 0)
                return fail("--frames needs a number of frames from 1 to 1000000, not '" + value + "'");
            options.frames = int(number);
        }
        else if (name == "--screenshot")
        {
            if (value.empty())
                return fail("--screenshot needs a file name");
            options.screenshot = value;
        }
        else if (name == "--resolution")
        {
            const size_t x = value.find('x');
            uint64_t w = 0;
            uint64_t h = 0;
            if (x == std::string::npos || !parseUnsigned(value.substr(0, x), 8192, w) ||
                !parseUnsigned(value.substr(x + 1), 8192, h) || w < 64 || h < 64)
                return fail("--resolution needs WIDTHxHEIGHT, each 64 to 8192 pixels, not '" + value + "'");
            options.width = uint32_t(w);
            options.height = uint32_t(h);
        }
        else if (name == "--patch-size")
        {
            if (!parseUnsigned(value, 128, number) || number < 2 || !isPowerOfTwo(number))
                return fail("--patch-size needs a power of two from 2 to 128, not '" + value + "'");
            options.patchSize = int(number);
        }
        else if (name == "--detail")
        {
            if (!parsePositive(value, options.detail) || options.detail > 1000.0f)
                return fail("--detail needs a screen-space error in half pixels (0 to 1000), not '" + value + "'");
        }
        else if (name == "--memory")
        {
            if (!parseUnsigned(value, 1u << 20, number))
                return fail("--memory needs a budget in MiB (0 for none, up to 1048576), not '" + value + "'");
            options.memoryMiB = uint32_t(number);
        }
        else if (name == "--media")
        {
            if (value.empty())
                return fail("--media needs a folder");
            options.mediaDir = value;
        }
        else
        {
            if (value.empty())
                return fail("--cache-dir needs a folder");
            options.cacheDir = value;
        }
    }

    if (!options.screenshot.empty() && options.frames == 0)
        return fail("--screenshot needs --frames N (the picture is taken after the last frame)");
    if (!options.heightmap.empty() && builtinOnly)
        return fail("--map-size and --seed choose the built-in map; they do not apply to --heightmap");
    if (options.sculptDemo && options.frames == 0)
        return fail("--sculpt-demo needs --frames N (it sculpts during the offscreen flight)");
    if (options.sculptDemo && !options.heightmap.empty() && !options.editHeightmap)
        return fail("--sculpt-demo writes to the heightmap: name your own map with --edit FILE, or leave the "
                    "heightmap out to sculpt a copy of the built-in map");
    return result;
}

std::string viewerUsage(const std::string& programName)
{
    std::ostringstream text;
    text << "Usage: " << programName << " [options]\n"
         << "Flies over a large terrain drawn by Plugin_Terrain.\n"
         << "\n"
         << "Heightmap (default: a built-in fractal map, written once into the cache folder):\n"
         << "  --heightmap FILE     a 16-bit single-sample uncompressed TIFF heightmap\n"
         << "  --edit FILE          the same, and let the sculpt brush write to it (without it the\n"
         << "                       brush sculpts a copy of the built-in map and leaves maps alone)\n"
         << "  --size UNITS         world edge length of the terrain (default "
         << ViewerOptions::kDefaultSize << ")\n"
         << "  --height UNITS       world height of the highest sample value (default "
         << ViewerOptions::kDefaultHeight << ")\n"
         << "  --map-size N         built-in map: N x N samples, N = 2^k + 1 (default 4097)\n"
         << "  --seed S             built-in map: fractal seed (default 2024)\n"
         << "\n"
         << "Run:\n"
         << "  --frames N           render N frames of the camera path without a window, print\n"
         << "                       per-frame statistics and a summary, then exit\n"
         << "  --screenshot FILE    with --frames: write the last frame as a PNG\n"
         << "  --resolution WxH     picture size in pixels (default 1280x720)\n"
         << "  --sculpt-demo        with --frames: dig a crater and raise a ridge during the flight,\n"
         << "                       where the last view looks, and print what the strokes cost\n"
         << "\n"
         << "Terrain:\n"
         << "  --patch-size N       quads along a patch edge, a power of two (default: from the map)\n"
         << "  --detail ERROR       screen-space error above which a patch splits, in half pixels\n"
         << "                       (default 3)\n"
         << "  --memory MIB         memory the terrain may hold, 0 for no limit (default 256); over\n"
         << "                       it, what is out of view goes: kept patches, idle buffers, then\n"
         << "                       the detail of the ground out of view\n"
         << "  --wireframe          draw the patches as lines (F toggles it in the window)\n"
         << "  --no-blood           no blood-patch decals\n"
         << "  --no-overlay         no on-screen statistics\n"
         << "\n"
         << "Places:\n"
         << "  --media DIR          the shipped materials (default: installed, else the source tree)\n"
         << "  --cache-dir DIR      folder of the built-in map (default: $XDG_CACHE_HOME/plugin-terrain\n"
         << "                       or ~/.cache/plugin-terrain)\n"
         << "\n"
         << "In the window: the camera follows its path until you fly it yourself (W A S D, Q E or\n"
         << "Page Up/Down, Shift to hurry, drag with a mouse button to look around). P resumes the\n"
         << "path, F toggles wireframe, B toggles the blood patches, F12 saves a picture, Escape quits.\n"
         << "Sculpting: 1 raise, 2 lower, 3 smooth, 4 flatten, 0 stops; hold the left button to paint\n"
         << "under the pointer, the wheel sizes the brush, Ctrl+Z undoes the last stroke.\n"
         << "Without a display, render offscreen under Xvfb:\n"
         << "  xvfb-run -a -s \"-screen 0 1024x768x24\" " << programName
         << " --frames 600 --screenshot terrain.png\n";
    return text.str();
}
