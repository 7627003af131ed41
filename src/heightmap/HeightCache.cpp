#include "heightmap/HeightCache.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

void HeightCache::setSize(int size)
{
    size = std::clamp(size, 0, 2 * kMaxHalfSize);
    if (size / 2 == cacheHalfSize)
        return;
    clear();
    cacheHalfSize = size / 2;
}

void HeightCache::clear()
{
    for (float*& block : cacheBlocks)
    {
        delete[] block;
        block = nullptr;
    }
    cacheCentreX = INT_MAX;
    cacheCentreZ = INT_MAX;
    cacheMinZ = INT_MAX;
    cacheMaxZ = 0;
    cacheMinX = INT_MAX;
    cacheMaxX = 0;
}

int HeightCache::update(float cameraX, float cameraZ, float heightScale, const BlockReader& read)
{
    const int n = cacheHalfSize;
    if (n == 0)
        return 0;
    if (std::fabs(cameraX - float(cacheCentreX)) < 0.7f * float(n) &&
        std::fabs(cameraZ - float(cacheCentreZ)) < 0.7f * float(n))
        return 0;
    // The multiple of N nearest the camera; a camera too far outside the map for int
    // coordinates keeps the window where it is.
    const double cellX = std::floor(double(cameraX / float(n)) + 0.5);
    const double cellZ = std::floor(double(cameraZ / float(n)) + 0.5);
    const double limit = double(INT_MAX / 2) / double(n) - 2.0;
    if (!(std::fabs(cellX) < limit && std::fabs(cellZ) < limit))
        return 0;
    const int cx = int(cellX);
    const int cz = int(cellZ);
    const int64_t moveX = int64_t(cx) - cacheCentreX / n;
    const int64_t moveZ = int64_t(cz) - cacheCentreZ / n;
    if (moveX == 0 && moveZ == 0)
        return 0;

    // Only a move of one block in x keeps blocks; new slot = old block:
    //   x - 1: 1 = 0, 3 = 2;  x + 1: 0 = 1, 2 = 3;  with z - 1 or z + 1 only the pair that
    //   stays inside the window is kept.
    float* slots[4] = {nullptr, nullptr, nullptr, nullptr};
    int reused = 0; // bit i: old block i moved into the new window
    const auto keep = [&](int newSlot, int oldBlock) {
        slots[newSlot] = cacheBlocks[oldBlock];
        if (slots[newSlot])
            reused |= 1 << oldBlock;
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

    const size_t blockSamples = size_t(n) * size_t(n);
    bool fresh[4] = {false, false, false, false};
    int blocksRead = 0;
    try
    {
        std::vector<uint16_t> staging(blockSamples);
        for (int i = 0; i < 4; ++i)
        {
            if (slots[i])
                continue;
            // Samples outside the heightmap are not read; callers never ask for them.
            std::fill(staging.begin(), staging.end(), uint16_t(0));
            read((cx + (i & 1) - 1) * n, (cz + (i >> 1) - 1) * n, n, staging.data());
            blocksRead += 1;
            float* block = new float[blockSamples];
            for (size_t k = 0; k < blockSamples; ++k)
                block[k] = float(staging[k]) * heightScale;
            slots[i] = block;
            fresh[i] = true;
        }
    }
    catch (const std::bad_alloc&)
    {
        for (int i = 0; i < 4; ++i)
            if (fresh[i])
                delete[] slots[i];
        clear();
        cacheHalfSize = 0;
        return blocksRead;
    }

    // The new blocks are complete before the window says that they hold anything.
    cacheCentreX = cx * n;
    cacheCentreZ = cz * n;
    cacheMinZ = cacheCentreZ - n;
    cacheMaxZ = cacheCentreZ + n;
    cacheMinX = cacheCentreX - n;
    cacheMaxX = cacheCentreX + n;
    for (int i = 0; i < 4; ++i)
        if (!(reused & (1 << i)))
            delete[] cacheBlocks[i];
    std::copy(slots, slots + 4, cacheBlocks);
    return blocksRead;
}
