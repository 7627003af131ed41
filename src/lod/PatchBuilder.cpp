#include "lod/PatchBuilder.h"

#include "support/Float4.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace
{
// Four lanes at a time for the per-vertex arithmetic of a build. Each lane does exactly what
// the scalar functions do (vertexNormal, morphVertex), operation for operation, so that a
// build's records do not depend on which path computed them.
using Mask4 = int32_t __attribute__((vector_size(16)));

Float4 splat(float x)
{
    return Float4{x, x, x, x};
}

Float4 squareRoot(Float4 v)
{
#if defined(__SSE__)
    return _mm_sqrt_ps(v);
#else
    return Float4{std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2]), std::sqrt(v[3])};
#endif
}

// a where mask is set, b elsewhere.
Float4 select4(Mask4 mask, Float4 a, Float4 b)
{
    return Float4((Mask4(a) & mask) | (Mask4(b) & ~mask));
}

Float4 absolute(Float4 v)
{
    return Float4(Mask4(v) & Mask4{0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff});
}

// std::max(a, b) in each lane: b where a < b, else a (so a NaN b never wins).
Float4 larger(Float4 a, Float4 b)
{
    return select4(a < b, b, a);
}

// Normals of the vertices, one row after another, by component: row j's x components start at
// x(j), with one spare value before and after it so that a row's neighbours load as blocks.
class NormalRows
{
public:
    explicit NormalRows(uint32_t n) : stride(size_t(n) + 2), values(3 * stride * n, 0.0f) {}
    float* x(uint32_t j) { return &values[1 + 3 * stride * j]; }
    float* y(uint32_t j) { return x(j) + stride; }
    float* z(uint32_t j) { return y(j) + stride; }

private:
    const size_t stride;
    std::vector<float> values;
};

// Ogre::Vector3::normalise on four vectors given by their components: each is divided by its
// length (the square root of x x + y y + z z, summed in that order) when that is above 0, and
// left as it is otherwise.
void normalise4(Float4& x, Float4& y, Float4& z)
{
    const Float4 length = squareRoot(x * x + y * y + z * z);
    const Float4 inverse = select4(length > splat(0.0f), splat(1.0f) / length, splat(1.0f));
    x *= inverse;
    y *= inverse;
    z *= inverse;
}
} // namespace

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

namespace
{
// Grid vertex (i, j) of a child, i and j even, as its parent's record holds it.
float parentHeight(const ParentHeights& parent, uint32_t n, int i, int j)
{
    return parent.vertices[(size_t(j / 2 + parent.offsetZ) * n + size_t(i / 2 + parent.offsetX)) * kFloatsPerVertex +
                           kVertexHeight];
}
} // namespace

/* the caller holds the height lock */
bool samplePatchHeights(const PatchGrid& grid, const ParentHeights* parent, const HeightRowFunction& rowAt,
                        PatchHeights& heights)
{
    const int n = int(grid.n);
    for (int j = -1; j <= n; ++j)
        rowAt(grid.z(j), grid.columnXs(), n + 2, heights.ringRow(j));
    // As the sample-by-sample form leaves them: the ring corners that no normal looks at hold 0,
    // and the parent's heights stand where the grids coincide (its build may predate an edit).
    heights.at(-1, -1) = 0.0f;
    heights.at(n, n) = 0.0f;
    if (parent)
        for (int j = 0; j < n; j += 2)
            for (int i = 0; i < n; i += 2)
                heights.at(i, j) = parentHeight(*parent, grid.n, i, j);
    bool readable = true;
    for (int j = -1; j <= n; ++j)
        for (int i = -1; i <= n; ++i)
            readable = readable && !std::isnan(heights.at(i, j));
    return readable;
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
                heights.at(i, j) = parentHeight(*parent, grid.n, i, j);
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

namespace
{
// morphVertex for every vertex of a nesting grid whose records hold their own heights and
// normals (also in normals), four vertices of a row at a time; returns the largest distance
// from the parent's surface. A block starts at an even column, so its lanes alternate even and
// odd columns. On a row of the parent's grid (j even) an odd column lies between its row
// neighbours; on a row between (j odd) an even column lies between its column neighbours and an
// odd one on the quad diagonal from (i + 1, j - 1) to (i - 1, j + 1).
float morphTargets(const PatchGrid& grid, const PatchHeights& heights, NormalRows& normals, float* vertices)
{
    const uint32_t n = grid.n;
    const Mask4 evenLanes{-1, 0, -1, 0};
    const Float4 half = splat(0.5f);
    Float4 largest = splat(0.0f);
    float error = 0.0f;
    for (uint32_t j = 0; j < n; ++j)
    {
        const bool betweenRows = j % 2 != 0;
        const bool borderRow = j == 0 || j == n - 1;
        // The rows of the first (a) and second (b) neighbour, and their columns for the odd lanes
        // (the even lanes read their own column; on a row of the parent's grid they take no
        // targets, and what they read only keeps the loads in bounds).
        const uint32_t aRow = betweenRows ? j - 1 : j, bRow = betweenRows ? j + 1 : j;
        const int aOdd = betweenRows ? 1 : -1, bOdd = -aOdd;
        const float* own = heights.row(int(j));
        // Lanes that take the parent's surface as targets (borders aside): their distance counts.
        const Mask4 moving = betweenRows ? Mask4{-1, -1, -1, -1} : ~evenLanes;
        uint32_t i = 0;
        for (; i + 4 <= n; i += 4)
        {
            const auto pick = [&evenLanes, i](const float* row, int oddOffset) {
                return select4(evenLanes, load4(row + i), load4(row + int(i) + oddOffset));
            };
            const Float4 parentHeight =
                (pick(heights.row(int(aRow)), aOdd) + pick(heights.row(int(bRow)), bOdd)) * half;
            const Float4 height = load4(own + i);
            largest = larger(largest, Float4(Mask4(absolute(parentHeight - height)) & moving));
            Float4 x = pick(normals.x(aRow), aOdd) + pick(normals.x(bRow), bOdd);
            Float4 y = pick(normals.y(aRow), aOdd) + pick(normals.y(bRow), bOdd);
            Float4 z = pick(normals.z(aRow), aOdd) + pick(normals.z(bRow), bOdd);
            normalise4(x, y, z);
            // Border vertices and the parent's own vertices keep their own height and normal.
            Mask4 targets = moving;
            if (borderRow)
                targets = Mask4{0, 0, 0, 0};
            if (i == 0)
                targets[0] = 0;
            if (i + 3 == n - 1)
                targets[3] = 0;
            const Float4 ownX = load4(normals.x(j) + i), ownY = load4(normals.y(j) + i), ownZ = load4(normals.z(j) + i);
            x = select4(targets, x, ownX);
            y = select4(targets, y, ownY);
            z = select4(targets, z, ownZ);
            const Float4 targetHeight = select4(targets, parentHeight, height);
            for (uint32_t k = 0; k < 4; ++k)
            {
                float* v = vertexAt(vertices, i + k, j, n);
                v[kVertexMorphNormal] = x[k];
                v[kVertexMorphNormal + 1] = y[k];
                v[kVertexMorphNormal + 2] = z[k];
                v[kVertexMorphHeight] = targetHeight[k];
            }
        }
        for (; i < n; ++i)
            error = std::max(error, morphVertex(vertices, i, j, n));
    }
    for (uint32_t k = 0; k < 4; ++k)
        error = std::max(error, largest[k]);
    return error;
}
} // namespace

void buildPatchVertices(const PatchGrid& grid, const PatchHeights& heights, PatchBuildResult& out)
{
    const uint32_t n = grid.n;
    VertexArray vertices = out.vertices ? std::move(out.vertices) : makePageArray(uint64_t(n) * n * kFloatsPerVertex);
    float lowest = std::numeric_limits<float>::infinity();
    float highest = -std::numeric_limits<float>::infinity();
    // vertexNormal's sum, four vertices of a row at a time: the six neighbours of vertex i are
    // (i, j - 1), (i + 1, j - 1), (i + 1, j), (i, j + 1), (i - 1, j + 1) and (i - 1, j).
    const Float4 normalY = splat(6.0f * grid.spacingX * grid.spacingZ);
    const Float4 scaleX = splat(-grid.spacingZ);
    const Float4 scaleZ = splat(-grid.spacingX);
    const Float4 two = splat(2.0f);
    const Float4 minusTwo = splat(-2.0f);
    NormalRows normals(n);
    for (uint32_t j = 0; j < n; ++j)
    {
        const float* up = heights.row(int(j) - 1);
        const float* middle = heights.row(int(j));
        const float* down = heights.row(int(j) + 1);
        const float z = grid.z(int(j));
        uint32_t i = 0;
        for (; i + 4 <= n; i += 4)
        {
            const Float4 h0 = load4(up + i), h1 = load4(up + i + 1), h2 = load4(middle + i + 1);
            const Float4 h3 = load4(down + i), h4 = load4(down + i - 1), h5 = load4(middle + i - 1);
            const Float4 a = -h0 + h1 + two * h2 + h3 - h4 - two * h5;
            const Float4 b = minusTwo * h0 - h1 + h2 + two * h3 + h4 - h5;
            Float4 x = scaleX * a;
            Float4 y = normalY;
            Float4 zz = scaleZ * b;
            normalise4(x, y, zz);
            std::memcpy(normals.x(j) + i, &x, sizeof x);
            std::memcpy(normals.y(j) + i, &y, sizeof y);
            std::memcpy(normals.z(j) + i, &zz, sizeof zz);
        }
        for (; i < n; ++i)
        {
            float h[6];
            for (int k = 0; k < 6; ++k)
                h[k] = heights.at(int(i) + kNeighbourDx[k], int(j) + kNeighbourDz[k]);
            const Ogre::Vector3 normal = vertexNormal(h, grid.spacingX, grid.spacingZ);
            normals.x(j)[i] = normal.x;
            normals.y(j)[i] = normal.y;
            normals.z(j)[i] = normal.z;
        }
        for (i = 0; i < n; ++i)
        {
            float* v = vertexAt(vertices.get(), i, j, n);
            const float height = middle[i];
            v[kVertexX] = grid.x(int(i));
            v[kVertexHeight] = height;
            v[kVertexZ] = z;
            v[kVertexNormal] = normals.x(j)[i];
            v[kVertexNormal + 1] = normals.y(j)[i];
            v[kVertexNormal + 2] = normals.z(j)[i];
            lowest = std::min(lowest, height);
            highest = std::max(highest, height);
        }
    }

    float error = 0.1f * grid.spacingX;
    if (gridNests(n))
        error = std::max(error, morphTargets(grid, heights, normals, vertices.get()));
    else
        for (uint32_t k = 0; k < n * n; ++k)
            keepOwnTargets(vertices.get() + size_t(k) * kFloatsPerVertex);

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
