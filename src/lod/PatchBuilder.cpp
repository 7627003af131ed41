#include "lod/PatchBuilder.h"

#include <algorithm>
#include <cassert>
#include <limits>

PatchGrid::PatchGrid(const RootSquare& square, uint32_t cellX, uint32_t cellZ, uint32_t level_, uint32_t n_)
    : n(n_), level(level_), xs(n_ + 2), zs(n_ + 2)
{
    for (int k = -1; k <= int(n); ++k)
    {
        const double fraction = double(k) / double(n - 1);
        xs[size_t(k + 1)] = square.gridX(cellX, fraction, level);
        zs[size_t(k + 1)] = square.gridZ(cellZ, fraction, level);
    }
    spacingX = x(1) - x(0);
    spacingZ = z(1) - z(0);
}

/* the caller holds the height lock */
bool samplePatchHeights(const PatchGrid& grid, const ParentHeights* parent,
                        const HeightFunction& heightAt, PatchHeights& heights)
{
    const int n = int(grid.n);
    bool readable = true;
    const auto sample = [&](int i, int j) {
        return heightAt(Ogre::Vector3(grid.x(i), 0.0f, grid.z(j)), int(grid.level));
    };
    for (int j = -1; j <= n; ++j)
    {
        for (int i = -1; i <= n; ++i)
        {
            // No normal looks diagonally past these two ring corners.
            if ((i == -1 && j == -1) || (i == n && j == n))
                continue;
            const bool inside = i >= 0 && j >= 0 && i < n && j < n;
            if (inside && parent && i % 2 == 0 && j % 2 == 0)
                heights.at(i, j) = parent->vertices[(size_t(j / 2 + parent->offsetZ) * grid.n +
                                                     size_t(i / 2 + parent->offsetX)) * kFloatsPerVertex +
                                                    kVertexHeight];
            else
                heights.at(i, j) = sample(i, j);
            readable = readable && !std::isnan(heights.at(i, j));
        }
    }
    return readable;
}

Ogre::Vector3 vertexNormal(const float (&h)[6], float spacingX, float spacingZ)
{
    // The negated, normalised sum of the cross products of consecutive edge vectors
    // e_k = (dx_k sx, h_k - y, dz_k sz). Expanded for the six fixed directions the sum is
    // (sz A, -6 sx sz, sx B) with A and B the weighted height sums below (the vertex's own height
    // cancels out), so no vector arithmetic is needed per neighbour.
    const float a = -h[0] + h[1] + 2.0f * h[2] + h[3] - h[4] - 2.0f * h[5];
    const float b = -2.0f * h[0] - h[1] + h[2] + 2.0f * h[3] + h[4] - h[5];
    Ogre::Vector3 normal(-spacingZ * a, 6.0f * spacingX * spacingZ, -spacingX * b);
    normal.normalise();
    return normal;
}

void keepOwnTargets(float* v)
{
    v[kVertexMorphNormal] = v[kVertexNormal];
    v[kVertexMorphNormal + 1] = v[kVertexNormal + 1];
    v[kVertexMorphNormal + 2] = v[kVertexNormal + 2];
    v[kVertexMorphHeight] = v[kVertexHeight];
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
    const float parentHeight = (a[kVertexHeight] + b[kVertexHeight]) * 0.5f;
    if (i == 0 || j == 0 || i == n - 1 || j == n - 1)
    {
        keepOwnTargets(v);
    }
    else
    {
        Ogre::Vector3 normal(a[kVertexNormal] + b[kVertexNormal], a[kVertexNormal + 1] + b[kVertexNormal + 1],
                             a[kVertexNormal + 2] + b[kVertexNormal + 2]);
        normal.normalise();
        v[kVertexMorphNormal] = normal.x;
        v[kVertexMorphNormal + 1] = normal.y;
        v[kVertexMorphNormal + 2] = normal.z;
        v[kVertexMorphHeight] = parentHeight;
    }
    return std::fabs(parentHeight - v[kVertexHeight]);
}

void buildPatchVertices(const PatchGrid& grid, const PatchHeights& heights, PatchBuildResult& out)
{
    const uint32_t n = grid.n;
    VertexArray vertices = out.vertices ? std::move(out.vertices) : makePageArray(uint64_t(n) * n * kFloatsPerVertex);
    float lowest = std::numeric_limits<float>::infinity();
    float highest = -std::numeric_limits<float>::infinity();
    for (uint32_t j = 0; j < n; ++j)
        for (uint32_t i = 0; i < n; ++i)
        {
            float* v = vertexAt(vertices.get(), i, j, n);
            const float y = heights.at(int(i), int(j));
            v[kVertexX] = grid.x(int(i));
            v[kVertexHeight] = y;
            v[kVertexZ] = grid.z(int(j));
            lowest = std::min(lowest, y);
            highest = std::max(highest, y);

            float h[6];
            for (int k = 0; k < 6; ++k)
                h[k] = heights.at(int(i) + kNeighbourDx[k], int(j) + kNeighbourDz[k]);
            const Ogre::Vector3 normal = vertexNormal(h, grid.spacingX, grid.spacingZ);
            v[kVertexNormal] = normal.x;
            v[kVertexNormal + 1] = normal.y;
            v[kVertexNormal + 2] = normal.z;
        }

    float error = 0.1f * grid.spacingX;
    const bool nests = gridNests(n);
    for (uint32_t j = 0; j < n; ++j)
        for (uint32_t i = 0; i < n; ++i)
        {
            if (nests)
                error = std::max(error, morphVertex(vertices.get(), i, j, n));
            else
                keepOwnTargets(vertexAt(vertices.get(), i, j, n));
        }

    if (!(lowest <= highest)) // no finite height at all
        lowest = highest = 0.0f;
    const float* last = vertexAt(vertices.get(), n - 1, n - 1, n);
    out.bounds.setExtents(vertices[kVertexX], lowest, vertices[kVertexZ], last[kVertexX], highest, last[kVertexZ]);
    out.vertices = std::move(vertices);
    out.vertexCount = uint64_t(n) * n;
    out.edgeVertices = n;
    out.error = error;
}

std::unique_ptr<uint16_t[]> buildStrip(uint32_t n)
{
    assert(n >= 2 && uint64_t(n) * n <= 65536);
    const StripLayout strip(n);
    std::unique_ptr<uint16_t[]> indices(new uint16_t[strip.indexCount()]);
    size_t position = 0;
    for (int row = 0; row + 1 < strip.n; ++row)
    {
        if (row > 0)
        {
            // Two degenerate triangles join the rows without changing the strip's winding.
            const uint16_t previousLast = indices[position - 1];
            indices[position++] = previousLast;
            indices[position++] = previousLast;
            indices[position++] = strip.vertex(0, row);
            indices[position++] = strip.vertex(0, row);
        }
        assert(position == size_t(strip.cellStart(0, row)));
        for (int column = 0; column < strip.n; ++column)
        {
            indices[position++] = strip.vertex(column, row);
            indices[position++] = strip.vertex(column, row + 1);
        }
    }
    assert(position == strip.indexCount());
    return indices;
}

void stitchStripSide(uint16_t* indices, uint32_t n, int side, int difference)
{
    const StripLayout strip(n);
    if (strip.n < 3)
        return;
    // A coarser neighbour has one vertex every step vertices of this edge. The step never
    // exceeds the edge, so a snapped vertex stays on it (corners never move).
    const int step = difference > 0 ? std::min(1 << std::min(difference, 15), strip.n - 1) : 1;
    const int half = step / 2;
    for (int t = 1; t <= strip.n - 2; ++t)
    {
        int q = t / step;
        const int remainder = t % step;
        if ((side == 0 || side == 2) ? remainder > half : remainder >= half && step > 1)
            ++q;
        const uint16_t snapped = strip.edgeVertex(side, q * step);
        int positions[4];
        const int count = strip.edgePositions(side, t, positions);
        for (int k = 0; k < count; ++k)
            indices[positions[k]] = snapped;
    }
}
