#pragma once

// The viewer's command line: what to open, how to show it, and where to find things.

#include <cstdint>
#include <string>
#include <vector>

struct ViewerOptions
{
    // ---- the heightmap ----
    std::string heightmap;     // the user's heightmap; empty: the built-in fractal map
    bool editHeightmap = false; // --edit: sculpting writes to the user's heightmap itself
    float terrainSize = 0;     // world edge length; 0: kDefaultSize
    float terrainHeight = 0;   // world height of sample 65535; 0: kDefaultHeight
    uint32_t mapSize = 4097;   // built-in map: samples along an edge, 2^k + 1
    uint32_t seed = 2024;      // built-in map: fractal seed

    // ---- the run ----
    int frames = 0;            // > 0: render this many frames of the camera path offscreen, then exit
    std::string screenshot;    // with frames: PNG written after the last frame
    uint32_t width = 1280;     // picture (window or offscreen target) size in pixels
    uint32_t height = 720;
    bool sculptDemo = false;   // with frames: dig a crater and raise a ridge where the last view looks

    // ---- the terrain ----
    int patchSize = 0;         // quads along a patch edge; 0: chosen from the map size
    float detail = 3.0f;       // screen-space error in half pixels above which a patch splits
    uint32_t memoryMiB = 256;  // the terrain's memory budget (Terrain::setMemoryBudget); 0: none
    bool blood = true;         // paint blood patches near the camera
    bool overlay = true;       // the on-screen statistics line
    bool wireframe = false;    // start with the patches drawn as lines

    // ---- places ----
    std::string mediaDir;      // the shipped materials; empty: next to the program, else the build tree
    std::string cacheDir;      // where the built-in map is kept; empty: the user's cache folder

    // The world scale used when the command line gives none: about 5 world units per sample of
    // the built-in map, so that a 4097-sample map spans 20 km of 4 km high ground.
    static constexpr float kDefaultSize = 20480.0f;
    static constexpr float kDefaultHeight = 4000.0f;
};

// Result of parsing: options, or an error message (exit status 2), or a request for help.
struct ViewerCommandLine
{
    ViewerOptions options;
    std::string error; // non-empty: the arguments are unusable, with the reason
    bool help = false; // --help: print viewerUsage() and exit successfully
};

// Parses the arguments after the program name. Accepts "--name value" and "--name=value".
ViewerCommandLine parseViewerOptions(const std::vector<std::string>& arguments);

// The usage text (several lines, ending in a newline).
std::string viewerUsage(const std::string& programName);

// Patch size for a heightmap of `edge` samples: the power of two at which level 8 of the quadtree
// puts one quad on each sample (the level of detail then spans levels 4 to 8), kept within 8 .. 32
// so that patches are neither too small to be worth a draw call nor too big for a software
// rasteriser.
int defaultPatchSize(uint32_t edge);
