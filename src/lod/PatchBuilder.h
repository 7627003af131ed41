#pragma once

#include "lod/PatchLayout.h"

#include <OgreAxisAlignedBox.h>
#include <OgreVector.h>

#include <boost/function.hpp>

#include <cassert>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

// Patch building as a function of its inputs: the grid of one node, the heights of that grid
// (sampled from the height source, or taken from the parent where the grids coincide) and
// nothing else. It knows nothing of the tree or the threads: the Landscape calls it on the build
// thread (on the render thread for the root) and moves the result into the node.

// The height source: world height at a point (its x and z; y carries nothing) for a level.
using HeightFunction = boost::function<float(const Ogre::Vector3&, int)>;
// The same for count points of one row: (world z, the points' world x, count, heights out).
using HeightRowFunction = boost::function<void(float, const float*, int, float*)>;

// The root square of a terrain, in its local space. Vertex and corner coordinates of every node
// come from integer cell positions here, so that every node that names a shared point gets the
// very same float: (cell + fraction) is exact for the dyadic fractions used, and scaling by
// powers of two commutes with rounding.
struct RootSquare
{
    Ogre::Vector3 origin = Ogre::Vector3::ZERO; // low-x, low-z corner
    float size = 0;                             // edge length in x and z

    float gridX(uint32_t cell, double fraction, uint32_t level) const
    {
        return float(double(origin.x) + double(size) * (double(cell) + fraction) * cellShare(level));
    }
    float gridZ(uint32_t cell, double fraction, uint32_t level) const
    {
        return float(double(origin.z) + double(size) * (double(cell) + fraction) * cellShare(level));
    }
    // 2^-level, exactly: the product above rounds as a division by 2^level would (not at all),
    // without a call into the maths library for every coordinate.
    static double cellShare(uint32_t level)
    {
        assert(level < 64);
        return 1.0 / double(uint64_t(1) << level);
    }
};

// What building produces for one node. Move-only: it is written by the build thread alone and
// then moved, whole, into its node by the hand-over on the render thread.
struct PatchBuildResult
{
    VertexArray vertices;                 // vertexCount records of kFloatsPerVertex floats
    uint64_t vertexCount = 0;
    uint32_t edgeVertices = 0;            // vertices along a patch edge when it was built
    Ogre::AxisAlignedBox bounds;          // around every vertex (x, height, z)
    float error = 0;                      // largest distance from the parent's surface
    bool unreadable = false;              // some height could not be read: nothing was built
    // The Landscape's count of height edits when the heights were sampled (lower when some came
    // from a parent built before later edits): edits after it may not be in this geometry.
    uint64_t heightEdition = 0;

    PatchBuildResult() = default;
    PatchBuildResult(PatchBuildResult&&) = default;
    PatchBuildResult& operator=(PatchBuildResult&&) = default;
};

// The vertex coordinates of one node's n x n grid, with one column and one row beyond each edge:
// the normals of border vertices look at the terrain just outside the patch.
class PatchGrid
{
public:
    PatchGrid(const RootSquare& square, uint32_t cellX, uint32_t cellZ, uint32_t level, uint32_t n);

    float x(int i) const { return xs[size_t(i + 1)]; } // i from -1 to n
    float z(int j) const { return zs[size_t(j + 1)]; }
    const float* columnXs() const { return xs.data(); } // x(-1) .. x(n)

    const uint32_t n;     // vertices along an edge
    const uint32_t level; // passed to the height source
    float spacingX = 0;   // world units between vertex columns
    float spacingZ = 0;

private:
    std::vector<float> xs;
    std::vector<float> zs;
};

// The parent's vertex records where they coincide with the child's: child vertex (2a, 2b) is
// parent vertex (a + offsetX, b + offsetZ). Both grids have n vertices along an edge.
struct ParentHeights
{
    const float* vertices = nullptr;
    uint32_t offsetX = 0;
    uint32_t offsetZ = 0;
};

// The heights a patch is built from: its n x n vertices and the ring around them, (n + 2)^2
// values, row-major, the ring's low corner first. Ring corners that no normal looks at stay 0.
class PatchHeights
{
public:
    explicit PatchHeights(uint32_t n_) : n(n_), values(size_t(n_ + 2) * size_t(n_ + 2), 0.0f) {}
    float& at(int i, int j) { return values[size_t(j + 1) * (n + 2) + size_t(i + 1)]; } // -1 .. n
    float at(int i, int j) const { return values[size_t(j + 1) * (n + 2) + size_t(i + 1)]; }
    float* ringRow(int j) { return &values[size_t(j + 1) * (n + 2)]; } // at(-1, j) .. at(n, j)
    // Row j (-1 .. n) from its column 0: [-1] and [n] are the ring's.
    const float* row(int j) const { return &values[size_t(j + 1) * (n + 2) + 1]; }

    const uint32_t n;

private:
    std::vector<float> values;
};

// Whether a grid of n vertices per edge nests in its parent's: every other child vertex is a
// parent vertex. A patch of one quad (n = 2) does not; it has no morph targets of its own.
inline bool gridNests(uint32_t n)
{
    return n >= 3 && (n - 1) % 2 == 0;
}

// Fills heights for the grid: the parent's heights where the grids coincide (parent may be null),
// the height source everywhere else, ring included. Rows outer, columns inner, so that a
// file-backed source reads along heightmap rows. The caller holds the height lock.
// Returns false when the source gave NaN for some height (a sample it could not read).
bool samplePatchHeights(const PatchGrid& grid, const ParentHeights* parent,
                        const HeightFunction& heightAt, PatchHeights& heights);
// The same, a row at a time, with the same heights: a source that reads a row in one go serves
// a patch with n + 2 calls instead of (n + 2)^2.
bool samplePatchHeights(const PatchGrid& grid, const ParentHeights* parent, const HeightRowFunction& rowAt,
                        PatchHeights& heights);

// Builds vertex records, bounds and error from the sampled heights; sets vertices, vertexCount,
// edgeVertices, bounds and error of out. The error is never less than a tenth of the spacing.
// Fills out.vertices when it is set (a spare array of n * n records, rewritten whole), else a new
// array.
void buildPatchVertices(const PatchGrid& grid, const PatchHeights& heights, PatchBuildResult& out);

// The unstitched strip of a patch of n vertices per edge (n from 2 to 256), of
// StripLayout(n).indexCount() indices.
std::unique_ptr<uint16_t[]> buildStrip(uint32_t n);

// Rewrites a strip of a patch of n vertices per edge so that side `side` meets a patch
// `difference` levels coarser (0 or less: a patch of its own level or the terrain's edge, the
// side as built): every edge vertex is snapped onto the nearest vertex that the coarser patch
// shares. Halfway positions round down on the -x and -z sides and up on the +x and +z sides.
void stitchStripSide(uint16_t* indices, uint32_t n, int side, int difference);

// The unit normal of a vertex from its six strip neighbours' heights h (in the order of the
// directions (0, -1), (1, -1), (1, 0), (0, 1), (-1, 1), (-1, 0) in columns and rows) and the
// grid spacing.
Ogre::Vector3 vertexNormal(const float (&h)[6], float spacingX, float spacingZ);

// The column and row steps of the six strip neighbours of a vertex, in vertexNormal's order.
constexpr int kNeighbourDx[6] = {0, 1, 1, 0, -1, -1};
constexpr int kNeighbourDz[6] = {-1, -1, 0, 1, 1, 0};

// Sets the morph targets of vertex (i, j) of a grid of n vertices per edge from its neighbours
// (see PatchBuilder.cpp); returns its distance from the parent's surface.
float morphVertex(float* vertices, uint32_t i, uint32_t j, uint32_t n);
// Morph targets equal to the vertex's own height and normal.
void keepOwnTargets(float* vertex);

inline float* vertexAt(float* vertices, uint32_t i, uint32_t j, uint32_t n)
{
    return vertices + (size_t(j) * n + i) * kFloatsPerVertex;
}
