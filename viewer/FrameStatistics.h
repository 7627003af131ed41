#pragma once

// What the viewer measures each frame, when it calls the level of detail converged, and how it
// prints both.

#include <cstdint>
#include <string>

// One frame's counters, from Terrain::getDebugInfo and the viewer's own clock.
struct FrameSample
{
    uint64_t patches = 0;     // patch nodes in the quadtree
    uint64_t drawn = 0;       // patches in view of the camera
    uint64_t drawables = 0;   // patch drawables (GPU buffers) that exist
    uint64_t triangles = 0;   // triangles of the patches in view
    uint64_t pending = 0;     // patches in view still without a drawable, plus drawables the
                              // frame postponed for its budget (also of patches out of view)
    uint64_t builds = 0;      // patch builds the build thread has not handed over yet
    uint64_t memoryBytes = 0; // bytes held by patch nodes and their geometry
    uint64_t totalBytes = 0;  // with the drawables' buffers and the height cache: the budget's measure
    uint64_t decals = 0;      // blood patches requested for the frame
    double renderMs = 0;      // render-thread time of the frame (update, culling, drawing)
};

// Converged: no build pending (no patch in view waiting for its drawable, none waiting for
// the build thread), and nothing created (no new patch node, no new drawable) for
// `quietFrames` frames in a row. Patches that go away do not count: a still camera frees
// children it no longer needs long after the view has settled.
class ConvergenceTracker
{
public:
    explicit ConvergenceTracker(int quietFrames_ = 5) : quietFrames(quietFrames_) {}
    // Adds the next frame; returns whether the view is converged after it.
    bool add(const FrameSample& sample);
    bool converged() const { return quiet >= quietFrames; }
    // Starts again (the camera moved on).
    void reset();

private:
    int quietFrames;
    int quiet = 0;       // frames in a row without a pending build or a creation
    bool first = true;
    uint64_t patches = 0;
    uint64_t drawables = 0;
};

// Running totals for the summary.
class FrameSummary
{
public:
    void add(const FrameSample& sample);
    int frames() const { return count; }
    double averageMs() const { return count ? totalMs / count : 0.0; }
    double slowestMs() const { return slowest; }
    uint64_t peakMemoryBytes() const { return peakMemory; }
    uint64_t peakTriangles() const { return peakTriangleCount; }
    uint64_t peakDrawn() const { return peakDrawnCount; }

private:
    int count = 0;
    double totalMs = 0;
    double slowest = 0;
    uint64_t peakMemory = 0;
    uint64_t peakTriangleCount = 0;
    uint64_t peakDrawnCount = 0;
};

// "drawn 240  drawables 312  triangles 1.23M  pending 3  decals 12  memory 12.3 MiB  total 40.1 MiB
//  render 16.2 ms" (on one line)
std::string formatSample(const FrameSample& sample);
// 1234 -> "1234", 1234567 -> "1.23M".
std::string formatCount(uint64_t count);
