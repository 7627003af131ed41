#include "heightmap/HeightCache.h"

#include "heightmap/SampleRows.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace
{
// Holds the cache's lock for a scope, when it has one.
class OptionalLock
{
public:
    explicit OptionalLock(CriticalSection* mutex_) : mutex(mutex_)
    {
        if (mutex)
            mutex->lock();
    }
    OptionalLock(const OptionalLock&) = delete;
    OptionalLock& operator=(const OptionalLock&) = delete;
    ~OptionalLock()
    {
        if (mutex)
            mutex->unlock();
    }

private:
    CriticalSection* mutex;
};
} // namespace

void HeightCache::setSize(int size)
{
    size = std::clamp(size, 0, 2 * kMaxHalfSize);
    OptionalLock lock(heightLock);
    if (size / 2 == cacheHalfSize)
        return;
    clear();
    cacheHalfSize = size / 2;
}

void HeightCache::clear()
{
    OptionalLock lock(heightLock);
    for (PageArray& block : cacheBlocks)
        block.reset();
    cacheCentreX = INT_MAX;
    cacheCentreZ = INT_MAX;
    cacheMinZ = INT_MAX;
    cacheMaxZ = 0;
    cacheMinX = INT_MAX;
    cacheMaxX = 0;
    generation += 1;
    recount();
}

void HeightCache::recount()
{
    uint64_t held = 0;
    for (const PageArray& block : cacheBlocks)
        if (block)
            held += uint64_t(cacheHalfSize) * uint64_t(cacheHalfSize) * sizeof(float);
    heldBytes.store(held, std::memory_order_relaxed);
}

/* the lock is held */
void HeightCache::store(int x, int z, int w, int h, const uint8_t* bytes, float heightScale)
{
    generation += 1;
    const int left = std::max(x, cacheMinX);
    const int right = int(std::min<int64_t>(int64_t(x) + w, cacheMaxX));
    const int top = std::max(z, cacheMinZ);
    const int bottom = int(std::min<int64_t>(int64_t(z) + h, cacheMaxZ));
    for (int row = top; row < bottom; ++row)
    {
        const bool highZ = row >= cacheCentreZ;
        const size_t localZ = size_t(row - (highZ ? cacheCentreZ : cacheMinZ));
        for (int column = left; column < right; ++column)
        {
            const bool highX = column >= cacheCentreX;
            const size_t localX = size_t(column - (highX ? cacheCentreX : cacheMinX));
            const uint16_t sample = readSample(bytes + 2 * (size_t(row - z) * size_t(w) + size_t(column - x)));
            cacheBlocks[(highX ? 1 : 0) | (highZ ? 2 : 0)][localZ * size_t(cacheHalfSize) + localX] =
                float(sample) * heightScale;
        }
    }
}

/* the lock is held */
bool HeightCache::planMove(float cameraX, float cameraZ, Move& move) const
{
    const int n = cacheHalfSize;
    if (n == 0)
        return false;
    if (std::fabs(cameraX - float(cacheCentreX)) < 0.7f * float(n) &&
        std::fabs(cameraZ - float(cacheCentreZ)) < 0.7f * float(n))
        return false;
    // The multiple of N nearest the camera; a camera too far outside the map for int
    // coordinates keeps the window where it is.
    const double cellX = std::floor(double(cameraX / float(n)) + 0.5);
    const double cellZ = std::floor(double(cameraZ / float(n)) + 0.5);
    const double limit = double(INT_MAX / 2) / double(n) - 2.0;
    if (!(std::fabs(cellX) < limit && std::fabs(cellZ) < limit))
        return false;
    move.cellX = int(cellX);
    move.cellZ = int(cellZ);
    const int64_t moveX = int64_t(move.cellX) - cacheCentreX / n;
    const int64_t moveZ = int64_t(move.cellZ) - cacheCentreZ / n;
    if (moveX == 0 && moveZ == 0)
        return false;

    // Only a move of one block in x keeps blocks; new slot = old block:
    //   x - 1: 1 = 0, 3 = 2;  x + 1: 0 = 1, 2 = 3;  with z - 1 or z + 1 only the pair that
    //   stays inside the window is kept.
    const auto keep = [&](int newSlot, int oldBlock) {
        if (cacheBlocks[oldBlock])
            move.keep[newSlot] = oldBlock;
    };
    if (moveX == -1 && moveZ == -1)
        keep(3, 0);
    else if (moveX == -1 && moveZ == 0)
    {
        keep(1, 0);
        keep(3, 2);
    }
    else if (moveX == -1 && moveZ == 1)
        keep(1, 2);
    else if (moveX == 1 && moveZ == -1)
        keep(2, 1);
    else if (moveX == 1 && moveZ == 0)
    {
        keep(0, 1);
        keep(2, 3);
    }
    else if (moveX == 1 && moveZ == 1)
        keep(0, 3);
    return true;
}

int HeightCache::update(float cameraX, float cameraZ, float heightScale, const BlockReader& read)
{
    Move move;
    int n = 0;
    uint64_t planned = 0;
    {
        OptionalLock lock(heightLock);
        if (!planMove(cameraX, cameraZ, move))
            return 0;
        n = cacheHalfSize;
        planned = generation;
    }

    const size_t blockSamples = size_t(n) * size_t(n);
    PageArray fresh[4];
    int blocksRead = 0;
    try
    {
        std::vector<uint16_t> staging(blockSamples);
        for (int i = 0; i < 4; ++i)
        {
            if (move.keep[i] >= 0)
                continue;
            // Samples outside the heightmap are not read; callers never ask for them.
            std::fill(staging.begin(), staging.end(), uint16_t(0));
            {
                OptionalLock lock(heightLock);
                if (generation != planned)
                    return blocksRead; // resized, emptied or written meanwhile: the plan is void
            }
            // Without the lock: builds go on sampling while the block is read.
            if (!read((move.cellX + (i & 1) - 1) * n, (move.cellZ + (i >> 1) - 1) * n, n, staging.data()))
                return blocksRead + 1; // a block with holes is never kept
            blocksRead += 1;
            fresh[i] = makePageArray(blockSamples);
            for (size_t k = 0; k < blockSamples; ++k)
                fresh[i][k] = float(staging[k]) * heightScale;
        }
    }
    catch (const std::bad_alloc&)
    {
        OptionalLock lock(heightLock);
        if (generation == planned)
        {
            clear();
            cacheHalfSize = 0;
        }
        return blocksRead;
    }

    OptionalLock lock(heightLock);
    if (generation != planned)
        return blocksRead;
    PageArray slots[4];
    for (int i = 0; i < 4; ++i)
        slots[i] = move.keep[i] >= 0 ? std::move(cacheBlocks[move.keep[i]]) : std::move(fresh[i]);
    // The new blocks are complete before the window says that they hold anything; blocks that
    // the new window does not keep are freed as the slots are replaced.
    cacheCentreX = move.cellX * n;
    cacheCentreZ = move.cellZ * n;
    cacheMinZ = cacheCentreZ - n;
    cacheMaxZ = cacheCentreZ + n;
    cacheMinX = cacheCentreX - n;
    cacheMaxX = cacheCentreX + n;
    for (int i = 0; i < 4; ++i)
        cacheBlocks[i] = std::move(slots[i]);
    recount();
    return blocksRead;
}
