#pragma once

// The viewer's two ways to run, after main has checked the arguments and found the heightmap.

#include "TerrainScene.h"
#include "ViewerOptions.h"

#include <string>

struct ViewerSetup
{
    ViewerOptions options;
    std::string mediaDir;  // the shipped materials
    std::string heightmap; // the map to open
    bool sculptable = false; // the brush may write to it: a copy of the built-in map, or --edit
    uint32_t edge = 0;     // its samples along an edge
    TerrainSettings terrain;
    std::string logFile;   // the engine's log (shader errors end up there)
};

// Renders options.frames frames of the camera path into an offscreen target, printing
// statistics, and writes options.screenshot. Result: the process exit status.
int runOffscreen(const ViewerSetup& setup);

// Opens a window with the camera path and a fly camera until the user quits.
// Result: the process exit status.
int runWindowed(const ViewerSetup& setup);
