#pragma once

// Where the viewer's blood patches lie and what they look like, without the engine: a fixed,
// seeded scatter of splats over the terrain, each one cell of a fine grid, and the cell of a
// drawn patch that shows it.

#include <cstddef>
#include <cstdint>
#include <vector>

// A drawn patch as Terrain::getBloodPatches and Terrain::getPatchInfo describe it.
struct PatchSquare
{
    unsigned int id = 0;  // patch identifier
    int level = 0;        // quadtree level (0: the whole terrain)
    float cornerX = 0;    // low x and z corner, world units
    float cornerZ = 0;
    float size = 0;       // edge length, world units
    float distance = 0;   // from the camera; nearer patches are served first
};

// One request for Terrain::drawBloodPatch.
struct SplatRequest
{
    unsigned int patchId = 0;
    int cellCode = 0;  // two bits per subdivision, first subdivision in the most significant pair
    int cellDepth = 0; // subdivisions of the patch (0: the whole patch)
    int texture = 0;   // index of the splat texture
};

class SplatField
{
public:
    // [in] terrainSize: world edge. [in] splatLevel: splats are cells of the quadtree level
    // splatLevel (edge terrainSize / 2^splatLevel). [in] textureCount: splat textures, >= 1.
    SplatField(float terrainSize, int splatLevel, uint32_t seed, int textureCount);

    // Requests for the splats that lie in `patches`, nearest patch first, at most maxSplats.
    // Patches deeper than the splat level are skipped (a splat does not fit in them).
    std::vector<SplatRequest> requestsFor(std::vector<PatchSquare> patches, size_t maxSplats) const;

    // Code of the cell (cellX, cellZ) (0 .. 2^depth - 1 along x and z from the patch's low
    // corner) after `depth` subdivisions: bit 0 of a pair the high-x half, bit 1 the high-z half.
    static int cellCode(uint32_t cellX, uint32_t cellZ, int depth);

    // World edge of one splat.
    float splatSize() const { return cellSize; }

    // Blocks of kBlockCells x kBlockCells splat cells hold at most one splat each, at a seeded
    // cell, with a chance of 1 in kBlockChance.
    static constexpr uint32_t kBlockCells = 8;
    static constexpr uint32_t kBlockChance = 2;

private:
    // The splat of block (blockX, blockZ): true with its cell and texture, false for none.
    bool splatInBlock(uint32_t blockX, uint32_t blockZ, uint32_t& cellX, uint32_t& cellZ, int& texture) const;

    float origin;   // world x and z of the terrain's low corner
    int splatLevel;
    float cellSize; // world edge of a splat cell
    uint32_t cellsPerEdge;
    uint32_t seed;
    int textureCount;
};

// A splat texture: size x size RGBA pixels (8 bits each, row by row), dark red with soft, ragged
// edges and a few drops around it, alpha 0 on a border of at least two pixels (the terrain maps
// the cell about a texel inside the texture's edge). Deterministic for a seed.
std::vector<uint8_t> drawSplat(int size, uint32_t seed);
