// Patch geometry: the vertex records, normals and morph targets of one node, its triangle strip,
// and the stitching of strip edges against coarser neighbours.

#include "lod/Landscape.h"

#include "lod/PatchId.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <vector>

namespace
{
constexpr int kFloatsPerVertex = 10;
constexpr uint64_t kVertexBytes = 40;
constexpr uint64_t kIndexBytes = 2;

// The six grid neighbours that share a triangle edge with a vertex (the strip splits each quad
// along the diagonal from (i + 1, j) to (i, j + 1)), in winding order around the vertex.
constexpr int kNeighbourDx[6] = {0, 1, 1, 0, -1, -1};
constexpr int kNeighbourDz[6] = {-1, -1, 0, 1, 1, 0};

// Whether neighbour k of vertex (i, j) lies inside a grid of n vertices per edge.
inline bool insideGrid(int k, uint32_t i, uint32_t j, uint32_t n)
{
    switch (k)
    {
    case 0: return j > 0;
    case 1: return j > 0 && i < n - 1;
    case 2: return i < n - 1;
    case 3: return j < n - 1;
    case 4: return i > 0 && j < n - 1;
    default: return i > 0;
    }
}

inline float* vertexAt(float* vertices, uint32_t i, uint32_t j, uint32_t n)
{
    return vertices + (size_t(j) * n + i) * kFloatsPerVertex;
}

// The grid of one node: its vertex coordinates, one column and row beyond each edge included
// (where the normals look at neighbouring patches).
struct PatchGrid
{
    PatchGrid(const Landscape& landscape, const PatchNode& node, uint32_t n_)
        : n(n_), level(node.level), xs(n_ + 2), zs(n_ + 2)
    {
        for (int k = -1; k <= int(n); ++k)
        {
            const double fraction = double(k) / double(n - 1);
            xs[size_t(k + 1)] = landscape.gridX(node.cellX, fraction, node.level);
            zs[size_t(k + 1)] = landscape.gridZ(node.cellZ, fraction, node.level);
        }
        spacingX = x(1) - x(0);
        spacingZ = z(1) - z(0);
    }
    float x(int i) const { return xs[size_t(i + 1)]; }
    float z(int j) const { return zs[size_t(j + 1)]; }

    uint32_t n;
    uint32_t level;
    float spacingX = 0;
    float spacingZ = 0;
    std::vector<float> xs;
    std::vector<float> zs;
};

// Normal of vertex (i, j) from the heights of its six neighbours: from the array inside the
// grid, from the height function outside it, so that normals agree across patch borders.
//
// The normal is the negated, normalised sum of the cross products of consecutive edge vectors
// e_k = (dx_k sx, h_k - y, dz_k sz). Expanded for the six fixed directions, the sum is
// (sz A, -6 sx sz, sx B) with A and B the weighted height sums below (the vertex's own height
// cancels out), so no vector arithmetic is needed per neighbour.
Ogre::Vector3 vertexNormal(const float* vertices, uint32_t i, uint32_t j, const PatchGrid& grid,
                           const Landscape::HeightFunction& heightAt)
{
    const uint32_t n = grid.n;
    const float* v = vertices + (size_t(j) * n + i) * kFloatsPerVertex;
    float h[6];
    for (int k = 0; k < 6; ++k)
    {
        if (insideGrid(k, i, j, n))
            h[k] = v[(kNeighbourDz[k] * int(n) + kNeighbourDx[k]) * kFloatsPerVertex + 1];
        else
            h[k] = heightAt(Ogre::Vector3(grid.x(int(i) + kNeighbourDx[k]), 0.0f,
                                          grid.z(int(j) + kNeighbourDz[k])),
                            int(grid.level));
    }
    const float a = -h[0] + h[1] + 2.0f * h[2] + h[3] - h[4] - 2.0f * h[5];
    const float b = -2.0f * h[0] - h[1] + h[2] + 2.0f * h[3] + h[4] - h[5];
    Ogre::Vector3 normal(-grid.spacingZ * a, 6.0f * grid.spacingX * grid.spacingZ, -grid.spacingX * b);
    normal.normalise();
    return normal;
}

// Morph targets of vertex (i, j): the height and normal of the parent's surface there.
// Vertices on the parent's grid lie on it already; a vertex between two parent vertices along a
// row or column takes their mean; a vertex at the centre of a parent quad lies on that quad's
// strip diagonal, from (i + 1, j - 1) to (i - 1, j + 1), and takes the mean of its ends.
//
// Border vertices keep their own height and normal as targets: a patch's neighbours blend by
// morph factors of their own, and only an edge that does not blend is shared exactly by both
// sides at any pair of factors (a coarser neighbour's stitched edge runs through the same
// samples). So at morph factor 0 a patch matches its parent inside and keeps its border.
//
// Returns the vertex's distance from the parent's surface, its contribution to the patch error.
inline void keepOwnTargets(float* v)
{
    v[6] = v[3];
    v[7] = v[4];
    v[8] = v[5];
    v[9] = v[1];
}

float morphVertex(float* vertices, uint32_t i, uint32_t j, uint32_t n)
{
    float* v = vertexAt(vertices, i, j, n);
    if (i % 2 == 0 && j % 2 == 0)
    {
        keepOwnTargets(v);
        return 0.0f;
    }
    const float* a;
    const float* b;
    if (j % 2 == 0)
    {
        a = vertexAt(vertices, i - 1, j, n);
        b = vertexAt(vertices, i + 1, j, n);
    }
    else if (i % 2 == 0)
    {
        a = vertexAt(vertices, i, j - 1, n);
        b = vertexAt(vertices, i, j + 1, n);
    }
    else
    {
        a = vertexAt(vertices, i + 1, j - 1, n);
        b = vertexAt(vertices, i - 1, j + 1, n);
    }
    const float parentHeight = (a[1] + b[1]) * 0.5f;
    if (i == 0 || j == 0 || i == n - 1 || j == n - 1)
    {
        keepOwnTargets(v);
    }
    else
    {
        Ogre::Vector3 normal(a[3] + b[3], a[4] + b[4], a[5] + b[5]);
        normal.normalise();
        v[6] = normal.x;
        v[7] = normal.y;
        v[8] = normal.z;
        v[9] = parentHeight;
    }
    return std::fabs(parentHeight - v[1]);
}

// A patch whose edge has an odd number of quads (patch size 1) does not nest in its parent's
// grid: it has no vertices between parent vertices and so no morph targets of its own.
inline bool gridNests(uint32_t n)
{
    return n >= 3 && (n - 1) % 2 == 0;
}

} // namespace

/* runs on the build thread (on the render thread for the root) */
void Landscape::buildVertices(PatchNode* node, PatchBuildResult& out)
{
    const uint32_t n = patchVertices;
    const PatchGrid grid(*this, *node, n);
    float* vertices = new float[size_t(n) * n * kFloatsPerVertex];
    float error = 0.1f * grid.spacingX;

    // Reuse the parent's heights where the grids coincide. The parent is published in
    // nodeBeingRead before its link is read again: the render thread detaches a node (clears
    // the link) before it decides whether to delete its parent, and it does not delete the node
    // published there, so one of the two always sees the other.
    const float* parentVertices = nullptr;
    uint32_t parentOffsetX = 0;
    uint32_t parentOffsetZ = 0;
    if (PatchNode* parent = node->parent; parent && gridNests(n))
    {
        nodeBeingRead = parent;
        if (node->parent == parent && parent->sharedVertexCount == uint64_t(n) * n)
            parentVertices = parent->sharedVertices;
        if (!parentVertices)
            nodeBeingRead = nullptr;
        parentOffsetX = (node->quadrant & 1) ? (n - 1) / 2 : 0;
        parentOffsetZ = (node->quadrant & 2) ? (n - 1) / 2 : 0;
    }

    if (preBuildCallback)
        preBuildCallback(int(patchId(node)));

    const HeightFunction heightAt = heightFunction;
    Lock lock(heightLock);

    // Rows outer, columns inner: consecutive samples then lie along one heightmap row, which is
    // what a file-backed height source reads fastest.
    float lowest = std::numeric_limits<float>::infinity();
    float highest = -std::numeric_limits<float>::infinity();
    for (uint32_t j = 0; j < n; ++j)
    {
        for (uint32_t i = 0; i < n; ++i)
        {
            float* v = vertexAt(vertices, i, j, n);
            const float x = grid.x(int(i));
            const float z = grid.z(int(j));
            float y;
            if (parentVertices && i % 2 == 0 && j % 2 == 0)
                y = parentVertices[(size_t(j / 2 + parentOffsetZ) * n + i / 2 + parentOffsetX) *
                                       kFloatsPerVertex + 1];
            else
                y = heightAt(Ogre::Vector3(x, 0.0f, z), int(node->level));
            v[0] = x;
            v[1] = y;
            v[2] = z;
            v[9] = y;
            lowest = std::min(lowest, y);
            highest = std::max(highest, y);
        }
    }
    if (parentVertices)
        nodeBeingRead = nullptr;

    for (uint32_t j = 0; j < n; ++j)
        for (uint32_t i = 0; i < n; ++i)
        {
            const Ogre::Vector3 normal = vertexNormal(vertices, i, j, grid, heightAt);
            float* v = vertexAt(vertices, i, j, n);
            v[3] = normal.x;
            v[4] = normal.y;
            v[5] = normal.z;
        }

    const bool nests = gridNests(n);
    for (uint32_t j = 0; j < n; ++j)
        for (uint32_t i = 0; i < n; ++i)
        {
            if (nests)
                error = std::max(error, morphVertex(vertices, i, j, n));
            else
                keepOwnTargets(vertexAt(vertices, i, j, n));
        }

    out.vertices = vertices;
    out.vertexCount = uint64_t(n) * n;
    out.edgeVertices = n;
    if (!(lowest <= highest)) // no finite height at all
        lowest = highest = 0.0f;
    const float* last = vertexAt(vertices, n - 1, n - 1, n);
    out.bounds.setExtents(vertices[0], lowest, vertices[2], last[0], highest, last[2]);
    out.error = error;
}

void Landscape::buildIndices(uint32_t n, PatchBuildResult& out)
{
    assert(n >= 2 && uint64_t(n) * n <= 65536);
    const size_t count = size_t(2 * n + 4) * (n - 1) - 4;
    uint16_t* indices = new uint16_t[count];
    size_t position = 0;
    for (uint32_t row = 0; row + 1 < n; ++row)
    {
        if (row > 0)
        {
            // Two degenerate triangles join the rows without changing the strip's winding.
            const uint16_t previousLast = indices[position - 1];
            indices[position++] = previousLast;
            indices[position++] = previousLast;
            indices[position++] = uint16_t(row * n);
            indices[position++] = uint16_t(row * n);
        }
        for (uint32_t column = 0; column < n; ++column)
        {
            indices[position++] = uint16_t(column + row * n);
            indices[position++] = uint16_t(column + (row + 1) * n);
        }
    }
    assert(position == count);
    delete[] out.indices;
    out.indices = indices;
    out.indexCount = count;
}

void Landscape::install(PatchNode* node, PatchBuildResult& result)
{
    PatchGeometry& geometry = node->geometry;
    // Geometry is generated once per node; a node never holds two vertex arrays.
    assert(!geometry.vertices);
    geometry.vertices = result.vertices;
    geometry.vertexCount = result.vertexCount;
    delete[] geometry.indices;
    memoryBytes -= kIndexBytes * geometry.indexCount;
    geometry.indices = result.indices;
    geometry.indexCount = result.indexCount;
    node->edgeVertices = result.edgeVertices;
    memoryBytes += kVertexBytes * geometry.vertexCount + kIndexBytes * geometry.indexCount;
    node->bounds.merge(result.bounds);
    node->error = std::max(node->error, result.error);
    node->edgeLevels = 0;
    node->sharedVertexCount = geometry.vertexCount;
    node->sharedVertices = geometry.vertices;
    result = PatchBuildResult();
}

int Landscape::levelDifference(const PatchNode* node, int side) const
{
    // A neighbour of the same level that is drawn, itself or through finer patches: this side
    // is not coarser. A neighbour node that exists but is not drawn (kept children of a drawn
    // leaf) says nothing: the patch drawn there is one of its ancestors.
    const PatchNode* neighbour = node->neighbours[side];
    if (neighbour && neighbour->isOnDrawnPath())
        return 0;
    const PatchNode* parent = node->parent;
    if (!parent)
        return -1; // the terrain's outer edge: nothing to stitch against
    const int difference = levelDifference(parent, side);
    return difference < 0 ? difference : difference + 1;
}

void Landscape::stitchSide(PatchNode* node, int side)
{
    const int n = int(node->edgeVertices);
    uint16_t* indices = node->geometry.indices;
    const int difference = levelDifference(node, side);
    if (n < 3 || !indices)
        return;
    // A coarser neighbour has one vertex every step vertices of this edge. The step never
    // exceeds the edge, so a snapped vertex stays on it (corners never move).
    const int step = difference > 0 ? std::min(1 << std::min(difference, 15), n - 1) : 1;
    const int half = step / 2;
    const int rowLength = 2 * n + 4;
    for (int t = 1; t <= n - 2; ++t)
    {
        int q = t / step;
        const int remainder = t % step;
        // Halfway positions round down on the -x and -z edges and up on the +x and +z edges.
        if ((side == 0 || side == 2) ? remainder > half : remainder >= half && step > 1)
            ++q;
        const int snapped = q * step;
        switch (side)
        {
        case 0:
        {
            const uint16_t index = uint16_t(snapped * n);
            indices[t * rowLength] = index;
            indices[t * rowLength - 1] = index;
            indices[t * rowLength - 2] = index;
            indices[t * rowLength - 2 * n - 3] = index;
            break;
        }
        case 1:
        {
            const uint16_t index = uint16_t(n - 1 + snapped * n);
            const int p = (t + 1) * rowLength - 6;
            indices[p] = index;
            indices[p - 2 * n - 1] = index;
            indices[p - 2 * n - 2] = index;
            indices[p - 2 * n - 3] = index;
            break;
        }
        case 2:
            indices[2 * t] = uint16_t(snapped);
            break;
        default:
            indices[(n - 2) * rowLength + 2 * t + 1] = uint16_t((n - 1) * n + snapped);
            break;
        }
    }
    node->edgeFlags &= uint8_t(~(1u << (4 + side)));
    const int stitched = std::clamp(difference, 0, 15);
    node->edgeLevels = uint16_t((node->edgeLevels & ~(0xF << (4 * side))) | (stitched << (4 * side)));
}

void Landscape::restitch(PatchNode* node)
{
    node->edgeFlags &= 0xF0;
    if (node->edgeFlags)
    {
        for (int side = 0; side < 4; ++side)
            if (node->edgeFlags & (1u << (4 + side)))
                stitchSide(node, side);
        if (patchChangedCallback)
            patchChangedCallback(&node->geometry, 1);
    }
    node->edgeFlags = 0;
}

void Landscape::refreshRegion(PatchNode* node, const Ogre::AxisAlignedBox& box, bool recomputeNormals)
{
    if (box.isNull())
        return;
    const Ogre::Vector3& boxMin = box.getMinimum();
    const Ogre::Vector3& boxMax = box.getMaximum();
    if ((node->state & 1) && node->hasChildren())
    {
        const Ogre::Vector3 centre = node->children[0]->corners[3];
        if (centre.x >= boxMin.x && centre.z >= boxMin.z)
            refreshRegion(node->children[0], box, recomputeNormals);
        if (centre.x <= boxMax.x && centre.z >= boxMin.z)
            refreshRegion(node->children[1], box, recomputeNormals);
        if (centre.x >= boxMin.x && centre.z <= boxMax.z)
            refreshRegion(node->children[2], box, recomputeNormals);
        if (centre.x <= boxMax.x && centre.z <= boxMax.z)
            refreshRegion(node->children[3], box, recomputeNormals);
    }

    float* vertices = node->geometry.vertices;
    if (!vertices)
        return;
    const uint32_t n = node->edgeVertices;
    const PatchGrid grid(*this, *node, n);
    const Ogre::Vector3 c0 = node->corners[0];
    const float spacingX = grid.spacingX;
    const float spacingZ = grid.spacingZ;
    const auto range = [n](float low, float high, float start, float spacing, int& first, int& last) {
        const double a = std::ceil((double(low) - start) / spacing);
        const double b = std::floor((double(high) - start) / spacing);
        first = int(std::clamp(a, 0.0, double(n - 1)));
        last = int(std::clamp(b, 0.0, double(n - 1)));
        return a <= double(n - 1) && b >= 0.0 && a <= b;
    };
    int firstI, lastI, firstJ, lastJ;
    if (!range(boxMin.x, boxMax.x, c0.x, spacingX, firstI, lastI) ||
        !range(boxMin.z, boxMax.z, c0.z, spacingZ, firstJ, lastJ))
        return;

    {
        const HeightFunction heightAt = heightFunction;
        Lock lock(heightLock);
        for (int j = firstJ; j <= lastJ; ++j)
            for (int i = firstI; i <= lastI; ++i)
            {
                float* v = vertexAt(vertices, uint32_t(i), uint32_t(j), n);
                v[1] = heightAt(Ogre::Vector3(v[0], 0.0f, v[2]), int(node->level));
                v[9] = v[1];
                node->bounds.merge(Ogre::Vector3(v[0], v[1], v[2]));
            }
        if (recomputeNormals)
            for (int j = firstJ; j <= lastJ; ++j)
                for (int i = firstI; i <= lastI; ++i)
                {
                    const Ogre::Vector3 normal =
                        vertexNormal(vertices, uint32_t(i), uint32_t(j), grid, heightAt);
                    float* v = vertexAt(vertices, uint32_t(i), uint32_t(j), n);
                    v[3] = normal.x;
                    v[4] = normal.y;
                    v[5] = normal.z;
                }
    }

    // Morph targets of the range and of the vertices next to it, which average heights from it.
    const int lowI = std::max(firstI - 1, 0), highI = std::min(lastI + 1, int(n) - 1);
    const int lowJ = std::max(firstJ - 1, 0), highJ = std::min(lastJ + 1, int(n) - 1);
    for (int j = lowJ; j <= highJ; ++j)
        for (int i = lowI; i <= highI; ++i)
        {
            if (gridNests(n))
                morphVertex(vertices, uint32_t(i), uint32_t(j), n);
            else
                keepOwnTargets(vertexAt(vertices, uint32_t(i), uint32_t(j), n));
        }

    float error = 0.1f * spacingX;
    if ((node->state & 1) && node->hasChildren())
        for (const PatchNode* child : node->children)
            error = std::max(error, child->error);
    for (uint64_t k = 0; k < node->geometry.vertexCount; ++k)
    {
        const float* v = vertices + k * kFloatsPerVertex;
        error = std::max(error, std::fabs(v[9] - v[1]));
    }
    node->error = error;
}
