#pragma once

#include "support/PageArray.h"

#include <cstddef>
#include <cstdint>

// The two layouts that every patch shares, named once: its vertex record and its triangle strip.
// PatchGeometry.h documents both for hosts; building, stitching, the queries, the drawables and
// the tests use these names instead of repeating the arithmetic.

// ---- the vertex record: ten 32-bit floats (40 bytes), terrain-local space, y up ----
constexpr int kFloatsPerVertex = 10;
constexpr size_t kVertexBytes = kFloatsPerVertex * sizeof(float);
constexpr size_t kIndexBytes = sizeof(uint16_t);
// A patch's array of vertex records.
using VertexArray = PageArray;

// Float offsets of the record's fields.
constexpr int kVertexX = 0;
constexpr int kVertexHeight = 1;       // height at the patch's own level
constexpr int kVertexZ = 2;
constexpr int kVertexNormal = 3;       // three floats: the unit normal at the patch's own level
constexpr int kVertexMorphNormal = 6;  // three floats: the normal once blended into the parent
constexpr int kVertexMorphHeight = 9;  // the height once blended into the parent

// ---- the stitching of a patch's sides ----
// A patch's edge levels hold, in bits 4s .. 4s + 3, the level difference side s (0 = -x, 1 = +x,
// 2 = -z, 3 = +z) is stitched for; 0: the side as built.
constexpr int sideDifference(uint32_t edgeLevels, int side)
{
    return int((edgeLevels >> (4 * side)) & 0xF);
}

// ---- the triangle strip of a patch of n x n vertices ----
// Vertex (i, j), column i along x and row j along z, is number i + j n. Each row r of quads is one
// run of 2n indices, the pair (c + r n, c + (r + 1) n) for every column c; runs are joined by four
// degenerate indices (the previous run's last index twice, then r n twice), so that the strip's
// winding is kept. Each quad is split along its diagonal from (i + 1, j) to (i, j + 1).
// A stitched strip differs from the unstitched one only in the indices that name an edge vertex;
// the length never changes.
struct StripLayout
{
    explicit constexpr StripLayout(uint32_t vertices) : n(int(vertices)) {}

    // Strip positions from the first index of one row's run to the first of the next.
    constexpr int rowLength() const { return 2 * n + 4; }
    constexpr size_t indexCount() const { return size_t(rowLength()) * size_t(n - 1) - 4; }
    // Strip position of the first of the two triangles of quad (i, j); the second starts at the
    // next position. Triangle p is made of the indices at p, p + 1 and p + 2.
    constexpr int cellStart(int i, int j) const { return j * rowLength() + 2 * i; }
    constexpr uint16_t vertex(int i, int j) const { return uint16_t(i + j * n); }

    // Vertex number of position t (0 .. n - 1) along side s (0 = -x, 1 = +x, 2 = -z, 3 = +z).
    constexpr uint16_t edgeVertex(int side, int t) const
    {
        switch (side)
        {
        case 0: return vertex(0, t);
        case 1: return vertex(n - 1, t);
        case 2: return vertex(t, 0);
        default: return vertex(t, n - 1);
        }
    }

    // The strip positions that hold edge vertex t (1 .. n - 2) of side s: four on the x sides
    // (the vertex starts or ends a row's run and stands in its degenerate joins), one on the z
    // sides. Returns how many it wrote.
    constexpr int edgePositions(int side, int t, int (&positions)[4]) const
    {
        const int r = rowLength();
        switch (side)
        {
        case 0:
            positions[0] = t * r;
            positions[1] = t * r - 1;
            positions[2] = t * r - 2;
            positions[3] = t * r - 2 * n - 3;
            return 4;
        case 1:
        {
            const int p = (t + 1) * r - 6;
            positions[0] = p;
            positions[1] = p - 2 * n - 1;
            positions[2] = p - 2 * n - 2;
            positions[3] = p - 2 * n - 3;
            return 4;
        }
        case 2:
            positions[0] = 2 * t;
            return 1;
        default:
            positions[0] = (n - 2) * r + 2 * t + 1;
            return 1;
        }
    }

    int n; // vertices along an edge
};

// A strip triangle that collapsed onto an edge or a point (the joins between rows, and the
// triangles that stitching folds) covers nothing.
inline bool isDegenerate(uint16_t a, uint16_t b, uint16_t c)
{
    return a == b || b == c || a == c;
}
