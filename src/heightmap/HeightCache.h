#pragma once

#include "support/PageArray.h"
#include "support/Thread.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>

// The movable window of heights kept in memory around the camera, in heightmap samples.
//
// The window is 2N x 2N samples (N = cacheHalfSize) centred on (cacheCentreX, cacheCentreZ), a
// multiple of N: x in [cacheMinX, cacheMaxX), z in [cacheMinZ, cacheMaxZ). It is stored as four
// N x N blocks, one per quadrant: block i holds the high-x half when bit 0 of i is set and the
// high-z half when bit 1 is set, rows of N world heights (samples already scaled). Four blocks,
// not one array, so that a move by one block in x keeps two of them, moved between slots by
// pointer, and reads only the other two. Memory: 4 N^2 floats (16 MiB for N = 1024).
//
// Threads: lookups and moves run on the thread that builds patches, resizing, emptying and
// stores on the render thread. Every access holds the lock given at construction (the
// heightmap's height lock), except that a move reads its new blocks from the file without it,
// one block at a time, and installs them only if no resize, emptying or store came in between
// (a store may have changed samples the move had read already).
class HeightCache
{
public:
    // Reads n x n raw 16-bit samples of the heightmap starting at sample (x0, z0) into samples
    // (rows of n, as numbers); parts outside the heightmap are left as they are. Returns false
    // when the part inside could not all be read: the block is not kept. Called without the
    // lock.
    using BlockReader = std::function<bool(int x0, int z0, int n, uint16_t* samples)>;

    // lock: held around every access (null: the caller serialises, as single-threaded tests do).
    explicit HeightCache(CriticalSection* lock = nullptr) : heightLock(lock) {}
    HeightCache(const HeightCache&) = delete;
    HeightCache& operator=(const HeightCache&) = delete;

    // size: the window's edge in samples (2N); odd sizes round down, 0 or less turns the cache
    // off. The largest window is 2 x kMaxHalfSize. A new size empties the window.
    void setSize(int size);
    int getSize() const { return 2 * cacheHalfSize; }
    // Empties the window (frees the blocks); the size stays.
    void clear();

    // The height of sample (x, z) when the window holds it. The caller holds the lock.
    bool lookup(int x, int z, float& height) const
    {
        if (x < cacheMinX || x >= cacheMaxX || z < cacheMinZ || z >= cacheMaxZ)
            return false;
        const bool highX = x >= cacheCentreX;
        const bool highZ = z >= cacheCentreZ;
        const int localX = x - (highX ? cacheCentreX : cacheMinX);
        const int localZ = z - (highZ ? cacheCentreZ : cacheMinZ);
        height = cacheBlocks[(highX ? 1 : 0) | (highZ ? 2 : 0)][size_t(localZ) * size_t(cacheHalfSize) + size_t(localX)];
        return true;
    }

    // Writes heights of the w x h samples at (x, z) (rows of w samples as files hold them: two
    // little-endian bytes each) into the window where it holds them, as samples times
    // heightScale; a move under way when it happens is void (its blocks may have been read
    // before the samples changed) and is made again by a later update. The caller holds the lock.
    void store(int x, int z, int w, int h, const uint8_t* bytes, float heightScale);

    // Moves the window around the camera, given in sample coordinates, once the camera is 0.7 N
    // or more from the window's centre along x or z (after a move it is within 0.5 N, so a
    // camera hovering at a boundary does not make the window move back and forth). Heights are
    // samples times heightScale. Returns the number of blocks read (0 when nothing moved). When
    // a block cannot be read whole the window stays where it was, and moves at a later call.
    // On allocation failure the cache turns itself off and heights come from the file.
    int update(float cameraX, float cameraZ, float heightScale, const BlockReader& read);

    // Bytes of the blocks the window holds; any thread, without the lock.
    uint64_t bytes() const { return heldBytes.load(std::memory_order_relaxed); }

    // Largest N: four blocks of 8192 x 8192 floats take 1 GiB.
    static constexpr int kMaxHalfSize = 8192;

    int cacheHalfSize = 0;
    int cacheMinZ = INT_MAX;
    int cacheMinX = INT_MAX;
    int cacheMaxX = 0;
    int cacheMaxZ = 0;
    int cacheCentreX = INT_MAX;
    int cacheCentreZ = INT_MAX;
    PageArray cacheBlocks[4];

private:
    // Where a move goes: the new centre cell and, for each new slot, the old block it keeps
    // (-1: read afresh).
    struct Move
    {
        int cellX = 0;
        int cellZ = 0;
        int keep[4] = {-1, -1, -1, -1};
    };
    bool planMove(float cameraX, float cameraZ, Move& move) const;
    // Sets heldBytes from the blocks; the lock is held.
    void recount();

    CriticalSection* const heightLock;
    uint64_t generation = 0; // changed by every resize, emptying and store
    std::atomic<uint64_t> heldBytes{0}; // written under the lock, read by anyone
};
