#pragma once

#include <cstdint>

// Patch identifiers: a 32-bit quadtree code naming the cell (ix, iz) of level L, where level L
// divides the terrain's square into 2^L x 2^L cells counted from the low-x, low-z corner.
//
//   bit 2k       bit k of ix   (k = 0 .. L-1)
//   bit 2k + 1   bit k of iz
//   bit 2L       1, the level marker
//   above        0
//
// So the pair of bits just below the marker picks the level-1 quarter (bit 0: high-x half, bit 1:
// high-z half, the numbering of a node's children), the next pair the quarter within it, and so
// on. Level 0 is the identifier 1; levels up to 15 fit in 32 bits. Example: level 2, cell (3, 1)
// is 0b10111 = 23.

constexpr int kMaxPatchLevel = 15;

// Moves the low 16 bits of v to the even bit positions.
constexpr uint32_t spreadBits(uint32_t v)
{
    v &= 0xFFFF;
    v = (v | (v << 8)) & 0x00FF00FF;
    v = (v | (v << 4)) & 0x0F0F0F0F;
    v = (v | (v << 2)) & 0x33333333;
    v = (v | (v << 1)) & 0x55555555;
    return v;
}

constexpr uint32_t makePatchId(uint32_t cellX, uint32_t cellZ, int level)
{
    return spreadBits(cellX) | (spreadBits(cellZ) << 1) | (uint32_t(1) << (2 * level));
}

// Level of an identifier: the number of bit pairs below its marker (the smallest L with
// id >> 2L below 4). Identifiers without a valid marker (0, 2, 3) count as level 0.
constexpr int patchIdLevel(uint32_t id)
{
    int level = 0;
    while ((id >> (2 * level)) >= 4)
        ++level;
    return level;
}

// A path down the quadtree: `depth` two-bit digits, the first subdivision in the most
// significant pair; in each digit bit 0 picks the high-x half and bit 1 the high-z half (a node's
// child numbering). A patch identifier is the path from the root to its patch (below its level
// marker); a blood patch's cell code is the path from its patch to the cell.
struct QuadPath
{
    uint32_t digits = 0;
    int depth = 0;

    // Digit k of the path, k = 0 being the first subdivision.
    constexpr int digit(int k) const { return int((digits >> (2 * (depth - 1 - k))) & 3u); }
};

constexpr QuadPath patchIdPath(uint32_t id)
{
    return QuadPath{id, patchIdLevel(id)};
}
