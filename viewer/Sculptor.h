#pragma once

// Brush strokes on the terrain's heightmap, as a level editor makes them: each dab reads the
// samples under a round brush (Terrain::getRawData), moves them, and writes them back in place
// (Terrain::setRawData), which rebuilds the patches that show them. The samples a stroke
// replaced are kept, so that the stroke can be undone.
//
// Coordinates: brush centres and radii in world units on the terrain's square (the terrain's
// scene node at the origin); samples as in the heightmap, column x along world x, row z along
// world z. Thread: the render thread, between frames.

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

class Terrain;

enum class Brush
{
    raise,   // lifts the ground, most at the centre
    lower,   // sinks it
    smooth,  // pulls each sample towards the mean of its neighbours
    flatten, // pulls the ground towards the height where the stroke began
};
const char* brushName(Brush brush);

class Sculptor
{
public:
    // [in] edge: samples along the map's edge; terrainSize: the terrain's world edge.
    Sculptor(Terrain& terrain, uint32_t edge, float terrainSize);

    // Starts a stroke: the dabs that follow are undone together.
    void beginStroke();
    // One dab at world (x, z). A sample at distance d from the centre moves by amount (sample
    // units, 0 .. 65535) times (1 - (d / radius)^2)^2: raised or lowered by it, or, for smooth
    // and flatten, that fraction of 4096 of the way to its target. Parts off the map are
    // skipped. Result: the samples written.
    uint64_t dab(float x, float z, float radius, Brush brush, float amount);
    // Writes back what the last stroke replaced. Result: false when there is nothing to undo.
    bool undo();
    size_t undoableStrokes() const { return strokes.size(); }

    // Render-thread time of the dabs: reading, moving and writing the samples.
    struct Cost
    {
        uint64_t dabs = 0;
        uint64_t samples = 0; // samples written
        double totalMs = 0;
        double slowestMs = 0;
    };
    const Cost& cost() const { return spent; }

    // Samples per world unit.
    float samplesPerUnit() const { return perUnit; }

private:
    // The samples of a rectangle as they were before a dab (raw bytes, as getRawData reads them).
    struct Before
    {
        int x, z, w, h;
        std::vector<char> bytes;
    };
    using Stroke = std::vector<Before>;

    // Undo keeps at most this many strokes and this many bytes; the oldest go first.
    static constexpr size_t kMaxStrokes = 64;
    static constexpr size_t kMaxUndoBytes = size_t(256) << 20;

    Terrain& terrain;
    const int edge;
    const float terrainSize;
    const float perUnit;
    std::deque<Stroke> strokes;
    size_t undoBytes = 0;
    int flattenTarget = -1; // sample value the current stroke flattens towards; -1: not yet known
    Cost spent;
};
