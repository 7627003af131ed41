// Height and ray queries of the drawn surface: every answer comes from the leaf patches as they
// are drawn, blended by each leaf's morph factor, not from the raw heightmap. Render thread.

#include "lod/Landscape.h"

#include "support/Diagnostics.h"
#include "support/Float4.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

namespace
{
// A vertex of a leaf as drawn: its own detail blended with its morph targets by m in [0, 1].
struct DrawnVertex
{
    const float* record;
    float m;
    // In this form a border vertex (whose target is itself) gives exactly its height.
    float height() const
    {
        return record[kVertexMorphHeight] + (record[kVertexHeight] - record[kVertexMorphHeight]) * m;
    }
    // normal() in lanes 0 to 2 (lane 3 is left over).
    Float4 normal4() const
    {
        static_assert(kVertexNormal + 4 <= kFloatsPerVertex && kVertexMorphNormal + 4 <= kFloatsPerVertex);
        const Float4 own = load4(record + kVertexNormal);
        const Float4 target = load4(record + kVertexMorphNormal);
        return target + (own - target) * m;
    }
    Ogre::Vector3 normal() const
    {
        const Ogre::Vector3 own(record + kVertexNormal);
        const Ogre::Vector3 target(record + kVertexMorphNormal);
        return target + (own - target) * m;
    }
    Ogre::Vector3 position() const { return Ogre::Vector3(record[kVertexX], height(), record[kVertexZ]); }
};

const float* record(const PatchNode* leaf, uint16_t index)
{
    return leaf->geometry.vertices + size_t(index) * kFloatsPerVertex;
}

// Bit s set when side s of the leaf is stitched against a coarser neighbour.
uint32_t stitchedSides(const PatchNode* leaf)
{
    uint32_t sides = 0;
    for (int side = 0; side < 4; ++side)
        sides |= uint32_t(sideDifference(leaf->edgeLevels, side) != 0) << side;
    return sides;
}

// A point's coordinate v in columns (or rows) of vertices from a leaf's low edge, given the
// leaf's low and high edges and its quads along the side.
float gridCoordinate(float v, float low, float high, float quads)
{
    return (v - low) / (high - low) * quads;
}

// a when pick, else b, without a branch (the compiler keeps a choice between floats as a jump).
float select(bool pick, float a, float b)
{
    uint32_t ua, ub;
    std::memcpy(&ua, &a, sizeof ua);
    std::memcpy(&ub, &b, sizeof ub);
    const uint32_t mask = 0u - uint32_t(pick);
    const uint32_t r = (ua & mask) | (ub & ~mask);
    float out;
    std::memcpy(&out, &r, sizeof out);
    return out;
}

// Intersection of the line through the origin with direction e and the triangle (a, b, c),
// all relative to the segment's start. Two-sided. Returns false when the line misses the
// triangle or runs parallel to its plane.
bool lineTriangle(const Ogre::Vector3& eIn, const Ogre::Vector3& aIn, const Ogre::Vector3& bIn,
                  const Ogre::Vector3& cIn, Ogre::Vector3& point)
{
    // Doubles: vertex coordinates are thousands of units while the products that decide a hit
    // near an edge are tiny; floats would let rays slip through shared edges.
    struct V
    {
        double x, y, z;
    };
    const auto conv = [](const Ogre::Vector3& v) { return V{v.x, v.y, v.z}; };
    const auto cross = [](const V& p, const V& q) {
        return V{p.y * q.z - p.z * q.y, p.z * q.x - p.x * q.z, p.x * q.y - p.y * q.x};
    };
    const auto dot = [](const V& p, const V& q) { return p.x * q.x + p.y * q.y + p.z * q.z; };
    const V e = conv(eIn), a = conv(aIn), b = conv(bIn), c = conv(cIn);
    const double u = dot(e, cross(c, b));
    const double v = dot(e, cross(a, c));
    const double w = dot(e, cross(b, a));
    const double sum = u + v + w;
    if (sum == 0.0)
        return false;
    if ((u < 0 && v > 0) || (u > 0 && v < 0) || (u < 0 && w > 0) || (u > 0 && w < 0) ||
        (v < 0 && w > 0) || (v > 0 && w < 0))
        return false;
    point = Ogre::Vector3(float((u * a.x + v * b.x + w * c.x) / sum),
                          float((u * a.y + v * b.y + w * c.y) / sum),
                          float((u * a.z + v * b.z + w * c.z) / sum));
    return true;
}

// The strip triangles along one stitched side of a leaf reach beyond their own grid cells (their
// edge vertices are snapped to the coarser neighbour's), so a point near that side is looked up
// among them. Finds the triangle of the border row or column of `side` that holds (x, z) and
// interpolates the drawn height (and normal) there. Returns false when none holds it. `along` is
// the point's grid coordinate along the side: an edge vertex moves by at most half the coarser
// neighbour's spacing, so only the cells that close to the point can hold it.
bool stitchedSurfaceAt(const PatchNode* leaf, int side, float x, float z, float along, float m, float& height,
                       Ogre::Vector3* normal)
{
    const StripLayout strip(leaf->edgeVertices);
    const int n = strip.n;
    const uint16_t* indices = leaf->geometry.indices;
    const int reach = (1 << sideDifference(leaf->edgeLevels, side)) / 2 + 1;
    const int at = int(std::clamp(along, 0.0f, float(n - 2)));
    double bestInside = -1e-6; // the most inside triangle wins on shared edges
    bool found = false;
    for (int k = std::max(at - reach, 0); k <= std::min(at + reach, n - 2); ++k)
    {
        const int i = side == 0 ? 0 : side == 1 ? n - 2 : k;
        const int j = side == 2 ? 0 : side == 3 ? n - 2 : k;
        const int p = strip.cellStart(i, j);
        for (int q = p; q <= p + 1; ++q)
        {
            const uint16_t ia = indices[q], ib = indices[q + 1], ic = indices[q + 2];
            if (isDegenerate(ia, ib, ic))
                continue;
            const float* a = record(leaf, ia);
            const float* b = record(leaf, ib);
            const float* c = record(leaf, ic);
            const double area = (double(b[0]) - a[0]) * (double(c[2]) - a[2]) -
                                (double(c[0]) - a[0]) * (double(b[2]) - a[2]);
            if (area == 0.0)
                continue;
            const double wb = ((double(x) - a[0]) * (double(c[2]) - a[2]) - (double(c[0]) - a[0]) * (double(z) - a[2])) / area;
            const double wc = ((double(b[0]) - a[0]) * (double(z) - a[2]) - (double(x) - a[0]) * (double(b[2]) - a[2])) / area;
            const double wa = 1.0 - wb - wc;
            const double inside = std::min({wa, wb, wc});
            if (inside < bestInside)
                continue;
            bestInside = inside;
            found = true;
            const DrawnVertex va{a, m}, vb{b, m}, vc{c, m};
            height = float(wa * va.height() + wb * vb.height() + wc * vc.height());
            if (normal)
                *normal = va.normal() * float(wa) + vb.normal() * float(wb) + vc.normal() * float(wc);
        }
    }
    return found;
}

// Clips the segment from + t * d, t in [t0, t1], against box. Axes along which the segment does
// not move test the start point against the slab instead.
bool clipToBox(const Ogre::AxisAlignedBox& box, const Ogre::Vector3& from, const Ogre::Vector3& d,
               float& t0, float& t1)
{
    if (box.isNull())
        return false;
    const Ogre::Vector3& low = box.getMinimum();
    const Ogre::Vector3& high = box.getMaximum();
    for (int axis = 0; axis < 3; ++axis)
    {
        if (d[axis] == 0.0f)
        {
            if (from[axis] < low[axis] || from[axis] > high[axis])
                return false;
            continue;
        }
        float a = (low[axis] - from[axis]) / d[axis];
        float b = (high[axis] - from[axis]) / d[axis];
        if (a > b)
            std::swap(a, b);
        t0 = std::max(t0, a);
        t1 = std::min(t1, b);
        if (t0 > t1)
            return false;
    }
    return true;
}

// The nearest hit of a segment with one drawn leaf's strip: walks the grid cells that the
// segment's projection crosses, in order along the segment, testing the strip triangles of each,
// until the next cell starts beyond the nearest hit found. `best` (a squared distance from the
// segment's start, negative for none) carries the nearest hit across leaves.
class LeafRay
{
public:
    LeafRay(const PatchNode* leaf_, float m_, const Ogre::Vector3& from_, const Ogre::Vector3& d_, float& best_)
        : leaf(leaf_), strip(leaf_->edgeVertices), from(from_), d(d_), best(best_), m(m_),
          dLengthSq(d_.squaredLength())
    {
        bestT = best >= 0.0f ? std::sqrt(best / dLengthSq) : 2.0f;
    }

    // Walks the cells of the segment's part [t0, t1] inside the leaf's box.
    bool walk(float t0, float t1);

    Ogre::Vector3 normal;
    bool found = false;

private:
    // Tests the strip triangle at strip position p (indices p, p + 1, p + 2).
    void testTriangle(int p);
    // The two strip triangles of grid cell (i, j), with the stitched vertex numbers.
    void testCell(int i, int j)
    {
        const int p = strip.cellStart(i, j);
        testTriangle(p);
        testTriangle(p + 1);
    }
    // Stitched borders: snapped triangles reach beyond their own cells, so a border row or
    // column that is stitched is tested whole, once, when the walk first reaches it.
    void testBorder(int side);

    const PatchNode* leaf;
    const StripLayout strip;
    const Ogre::Vector3 from;
    const Ogre::Vector3 d;
    float& best;
    const float m;
    const float dLengthSq;
    float bestT;
    bool borderTested[4] = {false, false, false, false};
};

void LeafRay::testTriangle(int p)
{
    const uint16_t* indices = leaf->geometry.indices;
    const uint16_t ia = indices[p], ib = indices[p + 1], ic = indices[p + 2];
    if (isDegenerate(ia, ib, ic))
        return;
    const Ogre::Vector3 a = DrawnVertex{record(leaf, ia), m}.position();
    const Ogre::Vector3 b = DrawnVertex{record(leaf, ib), m}.position();
    const Ogre::Vector3 c = DrawnVertex{record(leaf, ic), m}.position();
    Ogre::Vector3 hit;
    if (!lineTriangle(d, a - from, b - from, c - from, hit))
        return;
    // Only points on the segment count: a hit behind the start or past the end is not on the
    // terrain along this ray.
    const float t = hit.dotProduct(d) / dLengthSq;
    if (!(t >= 0.0f && t <= 1.0f))
        return;
    const float q = hit.squaredLength();
    if (best >= 0.0f && q >= best)
        return;
    best = q;
    bestT = t;
    Ogre::Vector3 faceNormal = (b - a).crossProduct(c - a);
    faceNormal.normalise();
    if (faceNormal.y < 0.0f)
        faceNormal = -faceNormal;
    normal = faceNormal;
    found = true;
}

void LeafRay::testBorder(int side)
{
    if (borderTested[side] || sideDifference(leaf->edgeLevels, side) == 0)
        return;
    borderTested[side] = true;
    const int n = strip.n;
    for (int k = 0; k < n - 1; ++k)
    {
        switch (side)
        {
        case 0: testCell(0, k); break;
        case 1: testCell(n - 2, k); break;
        case 2: testCell(k, 0); break;
        default: testCell(k, n - 2); break;
        }
    }
}

bool LeafRay::walk(float t0, float t1)
{
    const int n = strip.n;
    const Ogre::Vector3& c0 = leaf->corners[0];
    const Ogre::Vector3& c3 = leaf->corners[3];
    const float cellX = (c3.x - c0.x) / float(n - 1);
    const float cellZ = (c3.z - c0.z) / float(n - 1);
    const Ogre::Vector3 start = from + d * t0;
    int i = std::clamp(int(std::floor((start.x - c0.x) / cellX)), 0, n - 2);
    int j = std::clamp(int(std::floor((start.z - c0.z) / cellZ)), 0, n - 2);
    const int stepI = d.x > 0.0f ? 1 : (d.x < 0.0f ? -1 : 0);
    const int stepJ = d.z > 0.0f ? 1 : (d.z < 0.0f ? -1 : 0);
    // Segment parameter at which the walk crosses the next column or row line.
    const auto nextCrossing = [](int cell, int step, float low, float cellSize, float fromCoordinate,
                                 float direction) {
        if (step == 0)
            return 3.0f;
        const float line = low + float(cell + (step > 0 ? 1 : 0)) * cellSize;
        return (line - fromCoordinate) / direction;
    };
    float crossX = nextCrossing(i, stepI, c0.x, cellX, from.x, d.x);
    float crossZ = nextCrossing(j, stepJ, c0.z, cellZ, from.z, d.z);
    const float deltaX = stepI ? cellX / std::fabs(d.x) : 3.0f;
    const float deltaZ = stepJ ? cellZ / std::fabs(d.z) : 3.0f;
    float cellStart = t0;
    for (int guard = 0; guard < 2 * n + 2; ++guard)
    {
        if (found && cellStart > bestT)
            break;
        if (i == 0)
            testBorder(0);
        if (i == n - 2)
            testBorder(1);
        if (j == 0)
            testBorder(2);
        if (j == n - 2)
            testBorder(3);
        testCell(i, j);
        const float cellEnd = std::min(crossX, crossZ);
        if (cellEnd > t1)
            break;
        if (crossX < crossZ)
        {
            i += stepI;
            crossX += deltaX;
        }
        else
        {
            j += stepJ;
            crossZ += deltaZ;
        }
        if (i < 0 || j < 0 || i > n - 2 || j > n - 2)
            break;
        cellStart = cellEnd;
    }
    return found;
}
} // namespace

float Landscape::drawnMorph(const PatchNode* leaf) const
{
    // A leaf that the last update did not walk (out of view) keeps the factor of an earlier
    // camera. Found afresh, the factor is kept in the leaf, as the walk that collects the leaves
    // in view keeps it: queries scattered over the map would otherwise read the leaf's box and
    // links and its parent's box and error, several cache misses more, on every call. (Queries
    // run on the render thread, which owns these fields.)
    if (leaf->morphEpoch != morphEpoch && walkCameraSet) [[unlikely]]
        refreshMorph(const_cast<PatchNode*>(leaf));
    return std::clamp(leaf->lod, 0.0f, 1.0f);
}

void Landscape::indexLeaves() const
{
    const uint32_t n = 1u << kIndexLevel;
    leafIndex.assign(size_t(n) * n, IndexCell());
    indexXs.resize(n + 1);
    indexZs.resize(n + 1);
    indexCellsPerUnit = float(n) / rootSquare.size;
    for (uint32_t c = 0; c <= n; ++c)
    {
        indexXs[c] = rootSquare.gridX(c, 0.0, kIndexLevel);
        indexZs[c] = rootSquare.gridZ(c, 0.0, kIndexLevel);
    }
    indexNode(root.get());
    indexedChanges = treeChanges;
}

void Landscape::indexNode(const PatchNode* node) const
{
    if (node->level < kIndexLevel && node->drawsChildren() && node->hasChildren())
    {
        for (const auto& child : node->children)
            indexNode(child.get());
        return;
    }
    const uint32_t shift = kIndexLevel - node->level;
    const uint32_t span = 1u << shift;
    IndexCell cell;
    cell.node = node;
    if (node->isBuilt() && !(node->drawsChildren() && node->hasChildren()))
    {
        cell.vertices = node->geometry.vertices;
        cell.x0 = node->corners[0].x;
        cell.z0 = node->corners[0].z;
        const float quads = float(node->edgeVertices - 1);
        cell.columnsPerUnit = quads / (node->corners[3].x - node->corners[0].x);
        cell.rowsPerUnit = quads / (node->corners[3].z - node->corners[0].z);
        cell.edgeVertices = node->edgeVertices;
        cell.level = uint8_t(node->level);
        cell.stitchedSides = uint8_t(stitchedSides(node));
    }
    for (uint32_t cz = node->cellZ << shift; cz < (node->cellZ << shift) + span; ++cz)
        for (uint32_t cx = node->cellX << shift; cx < (node->cellX << shift) + span; ++cx)
            leafIndex[(size_t(cz) << kIndexLevel) + cx] = cell;
}

namespace
{
// The index cell holding coordinate v: the one whose edges (last + 2 of them), compared as the
// descent compares a point with node corners, hold it; the outermost cells take everything
// beyond them (and NaN goes low, as it does in the descent).
inline uint32_t indexCell(float v, float origin, float cellsPerUnit, const float* edges, uint32_t last)
{
    // A first guess, which the comparisons with the edges below make exact. (A multiplication:
    // every query waits for this guess before it can read anything.)
    const float f = (v - origin) * cellsPerUnit;
    uint32_t c = f >= float(last) ? last : f > 0.0f ? uint32_t(f) : 0;
    while (c > 0 && v < edges[c])
        --c;
    while (c < last && v >= edges[c + 1])
        ++c;
    return c;
}
} // namespace

inline Landscape::IndexCell& Landscape::indexAt(float x, float z) const
{
    if (indexedChanges != treeChanges) [[unlikely]]
        indexLeaves();
    constexpr uint32_t last = (1u << kIndexLevel) - 1;
    const uint32_t cx = indexCell(x, rootSquare.origin.x, indexCellsPerUnit, indexXs.data(), last);
    const uint32_t cz = indexCell(z, rootSquare.origin.z, indexCellsPerUnit, indexZs.data(), last);
    return leafIndex[(size_t(cz) << kIndexLevel) + cx];
}

const PatchNode* Landscape::descend(const PatchNode* node, float x, float z)
{
    while (node->drawsChildren() && node->hasChildren())
    {
        const Ogre::Vector3& centre = node->child(0)->corners[3];
        node = node->child((x >= centre.x ? 1 : 0) | (z >= centre.z ? 2 : 0));
    }
    return node;
}

const PatchNode* Landscape::leafAt(float x, float z) const
{
    // Straight to the drawn leaf, or to the node of its index cell, instead of down from the root.
    return descend(indexAt(x, z).node, x, z);
}

bool Landscape::isDrawn(const PatchGeometry* patch) const
{
    // The drawn leaf under the centre of the patch's square is the patch itself exactly when
    // the patch is drawn.
    if (!hasDrawnTree() || !patch || patch->bounds->isNull())
        return false;
    const Ogre::Vector3 centre = patch->bounds->getCenter();
    return &leafAt(centre.x, centre.z)->geometry == patch;
}

const PatchNode* Landscape::builtLeafAt(float x, float z, uint8_t& level, float& gridX, float& gridZ) const
{
    return hasDrawnTree() ? builtLeafAt(leafAt(x, z), x, z, level, gridX, gridZ) : nullptr;
}

const PatchNode* Landscape::builtLeafAt(const PatchNode* node, float x, float z, uint8_t& level, float& gridX,
                                        float& gridZ)
{
    const PatchNode* leaf = descend(node, x, z);
    level = uint8_t(leaf->level);
    if (!leaf->isBuilt())
        return nullptr;
    const float quads = float(leaf->edgeVertices - 1);
    const Ogre::Vector3& c0 = leaf->corners[0];
    const Ogre::Vector3& c3 = leaf->corners[3];
    gridX = gridCoordinate(x, c0.x, c3.x, quads);
    gridZ = gridCoordinate(z, c0.z, c3.z, quads);
    return leaf;
}

inline float Landscape::cellMorph(IndexCell& cell) const
{
    // The epoch moves with every change of a factor, and a new drawn leaf rebuilds the index: a
    // factor kept at this epoch is the leaf's. (Found again at the first query in each cell
    // after the camera moves: while it moves, that is most queries.)
    if (cell.morphEpoch != morphEpoch)
    {
        cell.morph = drawnMorph(cell.node);
        cell.morphEpoch = morphEpoch;
    }
    assert(cell.morph == drawnMorph(cell.node));
    return cell.morph;
}

float Landscape::getHeight(float x, float z, uint8_t& level, Ogre::Vector3* normal) const
{
    if (!hasDrawnTree())
        return kNoHeight;
    IndexCell& cell = indexAt(x, z);
    float fx, fz;
    const PatchNode* leaf;
    const float* records;
    int n;
    uint32_t stitched;
    if (cell.vertices)
    {
        // The cell's drawn leaf, placed and read from the cell: the records' addresses do not
        // wait for the node, whose one cache line read below (the morph factor) is fetched
        // meanwhile.
        leaf = cell.node;
        records = cell.vertices;
        level = cell.level;
        n = int(cell.edgeVertices);
        // Multiplied, not divided: the records' addresses wait for these. (Within a rounding
        // step of gridCoordinate's, which only moves the point that much across its cell.)
        fx = (x - cell.x0) * cell.columnsPerUnit;
        fz = (z - cell.z0) * cell.rowsPerUnit;
        stitched = cell.stitchedSides;
    }
    else
    {
        leaf = builtLeafAt(cell.node, x, z, level, fx, fz);
        if (!leaf)
            return kNoHeight;
        records = leaf->geometry.vertices;
        n = int(leaf->edgeVertices);
        stitched = stitchedSides(leaf);
    }
    if (!(fx >= 0.0f && fz >= 0.0f && fx <= float(n) && fz <= float(n)))
        return kNoHeight;
    int ix = int(fx);
    int iz = int(fz);
    fx -= float(ix);
    fz -= float(iz);
    if (ix >= n - 1)
    {
        ix = n - 2;
        fx = 1.0f;
    }
    if (iz >= n - 1)
    {
        iz = n - 2;
        fz = 1.0f;
    }
    const float m = cell.vertices ? cellMorph(cell) : drawnMorph(leaf);
    // Cells along a stitched side are drawn with the stitched strip, not the grid. The test is
    // one branch, rarely taken, and the triangle below is chosen without one: which half of its
    // cell a scattered point falls in is a coin toss, and a mispredicted branch would make each
    // query wait for the memory of the one before it.
    const uint32_t borders = uint32_t(ix == 0) | uint32_t(ix == n - 2) << 1 | uint32_t(iz == 0) << 2 |
                             uint32_t(iz == n - 2) << 3;
    const uint32_t stitchedBorders = borders & stitched;
    if (stitchedBorders != 0)
    {
        for (int side = 0; side < 4; ++side)
        {
            float height;
            if ((stitchedBorders >> side & 1) &&
                stitchedSurfaceAt(leaf, side, x, z, side < 2 ? float(iz) + fz : float(ix) + fx, m, height, normal))
                return height;
        }
    }
    // The strip splits the cell along its diagonal from (ix + 1, iz) to (ix, iz + 1).
    const bool upper = fx + fz > 1.0f;
    const int i0 = ix + int(upper), j0 = iz + int(upper);
    const float ux = 1.0f - fz, uz = 1.0f - fx;
    fx = select(upper, ux, fx);
    fz = select(upper, uz, fz);
    const StripLayout strip{uint32_t(n)};
    const uint16_t k0 = strip.vertex(i0, j0), k1 = strip.vertex(ix + 1, iz), k2 = strip.vertex(ix, iz + 1);
    if (std::max({k0, k1, k2}) >= leaf->geometry.vertexCount)
    {
        printDiagnostic("Error: Index out of bounds\n");
        return kNoHeight;
    }
    const DrawnVertex p0{records + size_t(k0) * kFloatsPerVertex, m};
    const DrawnVertex p1{records + size_t(k1) * kFloatsPerVertex, m};
    const DrawnVertex p2{records + size_t(k2) * kFloatsPerVertex, m};
    const float w0 = 1.0f - fx - fz;
    if (normal)
    {
        // Four lanes at a time, each lane as the vector form computes it: the Vector3
        // temporaries went through the stack and made a query long enough that the next one
        // could not start while this one waited for its records.
        const Float4 blended = p0.normal4() * w0 + p1.normal4() * fx + p2.normal4() * fz;
        *normal = Ogre::Vector3(blended[0], blended[1], blended[2]);
    }
    return p0.height() * w0 + p1.height() * fx + p2.height() * fz;
}

float Landscape::getApproximateHeight(float x, float z, uint8_t& level, Ogre::Vector3* normal) const
{
    float fx, fz;
    const PatchNode* leaf = builtLeafAt(x, z, level, fx, fz);
    if (!leaf || std::isnan(fx) || std::isnan(fz))
        return kNoHeight;
    const StripLayout strip(leaf->edgeVertices);
    // Halfway between two vertices the higher index wins.
    const int i = int(std::clamp(std::floor(fx + 0.5f), 0.0f, float(strip.n - 1)));
    const int j = int(std::clamp(std::floor(fz + 0.5f), 0.0f, float(strip.n - 1)));
    const float* v = record(leaf, strip.vertex(i, j));
    if (normal)
        *normal = Ogre::Vector3(v + kVertexNormal);
    return v[kVertexHeight];
}

int Landscape::intersect(const Ogre::Vector3& from, const Ogre::Vector3& to, uint8_t& level,
                         Ogre::Vector3& point, Ogre::Vector3& normal) const
{
    if (!hasDrawnTree())
        return 0;
    float best = -1.0f; // squared distance from `from` of the nearest hit so far
    if (!searchSegment(root.get(), from, to, best, level, normal))
        return 0;
    const float t = std::sqrt(best) / from.distance(to);
    point = from + (to - from) * t;
    return 1;
}

bool Landscape::searchSegment(const PatchNode* node, const Ogre::Vector3& from,
                              const Ogre::Vector3& to, float& best, uint8_t& level,
                              Ogre::Vector3& normal) const
{
    const Ogre::Vector3 d = to - from;
    float t0 = 0.0f;
    float t1 = 1.0f;
    if (!clipToBox(node->bounds, from, d, t0, t1))
        return false;

    if (node->drawsChildren() && node->hasChildren())
    {
        // Children nearer the segment's start in x and z first: a straight segment crosses the
        // quadrants in this order, so the first child with a hit holds the nearest one.
        const int mask = (d.x > 0.0f ? 0 : 1) | (d.z < 0.0f ? 2 : 0);
        for (int k = 0; k < 4; ++k)
            if (searchSegment(node->child(k ^ mask), from, to, best, level, normal))
                return true;
        return false;
    }
    if (!node->isBuilt())
        return false;

    LeafRay ray(node, drawnMorph(node), from, d, best);
    if (!ray.walk(t0, t1))
        return false;
    normal = ray.normal;
    level = uint8_t(node->level);
    return true;
}
