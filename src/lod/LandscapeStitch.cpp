// Stitching: a drawn patch next to a coarser one snaps its edge vertices onto the coarser grid
// by rewriting its strip in place, so that no crack opens between levels. Also the region
// refresh, which resamples a patch's vertices inside a box. Render thread.

#include "lod/Landscape.h"

#include <algorithm>
#include <cmath>

int Landscape::levelDifference(const PatchNode* node, int side) const
{
    // A neighbour of the same level that is drawn, itself or through finer patches: this side
    // is not coarser. A neighbour node that exists but is not drawn (kept children of a drawn
    // leaf) says nothing: the patch drawn there is one of its ancestors.
    if (node->neighbours[side] && node->neighbourOnDrawnPath(side))
        return 0;
    const PatchNode* parent = node->parent;
    if (!parent)
        return -1; // the terrain's outer edge: nothing to stitch against
    const int difference = levelDifference(parent, side);
    return difference < 0 ? difference : difference + 1;
}

void Landscape::stitchSides(PatchNode* node, unsigned sides)
{
    if (!node->geometry.indices)
        return;
    for (int side = 0; side < 4; ++side)
    {
        if (!(sides & (1u << side)))
            continue;
        node->edgeFlags &= uint8_t(~(1u << (4 + side)));
        const int stitched = std::clamp(levelDifference(node, side), 0, 15);
        node->edgeLevels = uint16_t((node->edgeLevels & ~(0xF << (4 * side))) | (stitched << (4 * side)));
    }
    // One strip for all the sides, not one (kept for good) per side on the way.
    node->geometry.indices = strips.get(node->edgeVertices, node->edgeLevels);
}

void Landscape::restitch(PatchNode* node)
{
    node->edgeFlags &= 0xF0;
    if (node->edgeFlags)
    {
        stitchSides(node, node->edgeFlags >> 4);
        if (patchChangedCallback)
            patchChangedCallback(&node->geometry, kIndicesChanged);
    }
    node->edgeFlags = 0;
}

namespace
{
// A rectangle of vertices of one patch, inclusive.
struct VertexRange
{
    int firstI = 0, lastI = 0, firstJ = 0, lastJ = 0;
};

// The vertex columns (or rows) from `low` to `high` in world units, of a grid starting at
// `start` with `spacing` between vertices, clamped to the grid. False when there are none.
bool vertexRange(float low, float high, float start, float spacing, uint32_t n, int& first, int& last)
{
    const double a = std::ceil((double(low) - start) / spacing);
    const double b = std::floor((double(high) - start) / spacing);
    first = int(std::clamp(a, 0.0, double(n - 1)));
    last = int(std::clamp(b, 0.0, double(n - 1)));
    return a <= double(n - 1) && b >= 0.0 && a <= b;
}

// Morph targets of the range and of the vertices next to it, which average heights from it;
// then the patch's error from scratch, no less than the error of the children it draws.
float remorph(PatchNode* node, const PatchGrid& grid, const VertexRange& range)
{
    const uint32_t n = grid.n;
    float* vertices = node->geometry.vertices;
    const int lowI = std::max(range.firstI - 1, 0), highI = std::min(range.lastI + 1, int(n) - 1);
    const int lowJ = std::max(range.firstJ - 1, 0), highJ = std::min(range.lastJ + 1, int(n) - 1);
    for (int j = lowJ; j <= highJ; ++j)
        for (int i = lowI; i <= highI; ++i)
        {
            if (gridNests(n))
                morphVertex(vertices, uint32_t(i), uint32_t(j), n);
            else
                keepOwnTargets(vertexAt(vertices, uint32_t(i), uint32_t(j), n));
        }

    float error = 0.1f * grid.spacingX;
    if (node->drawsChildren() && node->hasChildren())
        for (const auto& child : node->children)
            error = std::max(error, child->error);
    for (uint64_t k = 0; k < node->geometry.vertexCount; ++k)
    {
        const float* v = vertices + k * kFloatsPerVertex;
        error = std::max(error, std::fabs(v[kVertexMorphHeight] - v[kVertexHeight]));
    }
    return error;
}
} // namespace

void Landscape::refreshRegion(PatchNode* node, const Ogre::AxisAlignedBox& box, bool recomputeNormals)
{
    if (box.isNull())
        return;
    const Ogre::Vector3& boxMin = box.getMinimum();
    const Ogre::Vector3& boxMax = box.getMaximum();
    if (node->drawsChildren() && node->hasChildren())
    {
        const Ogre::Vector3 centre = node->child(0)->corners[3];
        if (centre.x >= boxMin.x && centre.z >= boxMin.z)
            refreshRegion(node->child(0), box, recomputeNormals);
        if (centre.x <= boxMax.x && centre.z >= boxMin.z)
            refreshRegion(node->child(1), box, recomputeNormals);
        if (centre.x >= boxMin.x && centre.z <= boxMax.z)
            refreshRegion(node->child(2), box, recomputeNormals);
        if (centre.x <= boxMax.x && centre.z <= boxMax.z)
            refreshRegion(node->child(3), box, recomputeNormals);
    }
    if (!node->geometry.vertices)
        return;
    const uint32_t n = node->edgeVertices;
    const PatchGrid grid(rootSquare, node->cellX, node->cellZ, node->level, n);
    VertexRange range;
    if (!vertexRange(boxMin.x, boxMax.x, node->corners[0].x, grid.spacingX, n, range.firstI, range.lastI) ||
        !vertexRange(boxMin.z, boxMax.z, node->corners[0].z, grid.spacingZ, n, range.firstJ, range.lastJ))
        return;
    resample(node, grid, range.firstI, range.lastI, range.firstJ, range.lastJ, recomputeNormals);
    node->error = remorph(node, grid, range);
    errorsChanged();
    touchChain(node); // a new box and error: its split or merge is decided again
}

void Landscape::resample(PatchNode* node, const PatchGrid& grid, int firstI, int lastI, int firstJ, int lastJ,
                         bool recomputeNormals)
{
    const uint32_t n = grid.n;
    float* vertices = node->geometry.vertices;
    Lock lock(queue.getHeightLock());
    for (int j = firstJ; j <= lastJ; ++j)
        for (int i = firstI; i <= lastI; ++i)
        {
            float* v = vertexAt(vertices, uint32_t(i), uint32_t(j), n);
            v[kVertexHeight] = heightFunction(Ogre::Vector3(v[kVertexX], 0.0f, v[kVertexZ]), int(node->level));
            v[kVertexMorphHeight] = v[kVertexHeight];
            node->bounds.merge(Ogre::Vector3(v[kVertexX], v[kVertexHeight], v[kVertexZ]));
        }
    if (!recomputeNormals)
        return;
    // Neighbours inside the patch from its (new) heights, outside it from the height source.
    const auto heightAt = [&](int i, int j) {
        if (i >= 0 && j >= 0 && i < int(n) && j < int(n))
            return vertexAt(vertices, uint32_t(i), uint32_t(j), n)[kVertexHeight];
        return heightFunction(Ogre::Vector3(grid.x(i), 0.0f, grid.z(j)), int(node->level));
    };
    for (int j = firstJ; j <= lastJ; ++j)
        for (int i = firstI; i <= lastI; ++i)
        {
            float h[6];
            for (int k = 0; k < 6; ++k)
                h[k] = heightAt(i + kNeighbourDx[k], j + kNeighbourDz[k]);
            const Ogre::Vector3 normal = vertexNormal(h, grid.spacingX, grid.spacingZ);
            float* v = vertexAt(vertices, uint32_t(i), uint32_t(j), n);
            v[kVertexNormal] = normal.x;
            v[kVertexNormal + 1] = normal.y;
            v[kVertexNormal + 2] = normal.z;
        }
}
