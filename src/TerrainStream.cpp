// Terrain: the heightmap stream that feeds the Landscape's height callback, and the movable
// in-memory height cache around the camera.

#include "Terrain.h"

#include "Diagnostics.h"
#include "Landscape.h"
#include "Tiff.h"

#include <OgreException.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <vector>

namespace
{
// Largest block edge of the height cache, in samples: four blocks of 8192 x 8192 floats take
// 1 GiB, which is already far more than a camera needs around it.
constexpr int kMaxCacheHalfSize = 8192;

inline float sampleHeight(const unsigned char* bytes, float heightScale)
{
    // Samples are little-endian whatever the machine.
    return float(unsigned(bytes[0]) | (unsigned(bytes[1]) << 8)) * heightScale;
}
} // namespace

bool Terrain::openStream(const std::string& fileName)
{
    if (terrainHeight == 0.0f)
        OGRE_EXCEPT(Ogre::Exception::ERR_INVALID_STATE,
                    "setTerrainScale() must be called before the stream is opened", "Terrain");
    closeStream();

    TiffFile* file = openTiff(fileName.c_str(), 1);
    if (!file)
        return false;
    // The height callback reads exactly one 2-byte sample per pixel; a wider pixel would not
    // fit, and any other layout would give meaningless heights.
    if (file->bitsPerSample != 16 || file->samplesPerPixel != 1)
    {
        printDiagnostic("Error: Heightmap needs one 16-bit sample per pixel (has %u of %u bits)\n",
                        file->samplesPerPixel, file->bitsPerSample);
        closeTiff(file);
        return false;
    }

    // Patches and cached heights made from an earlier heightmap would show the wrong ground.
    landscape->clear();
    {
        Lock lock(landscape->getHeightLock());
        clearHeightCache();
    }

    heightMap = file;
    heightScale = terrainHeight / 65535.0f;
    // A map of 2^k + 1 samples puts its last sample exactly on the terrain's far edge.
    samplesPerUnit = float(file->width & ~1u) / terrainSize;
    landscape->start();
    return true;
}

void Terrain::closeStream()
{
    if (!heightMap)
        return;
    landscape->stop(true);
    closeTiff(heightMap);
    heightMap = nullptr;
}

/* runs on the thread that builds patches, with the height lock held */
float Terrain::getHeight(const Ogre::Vector3& position, int)
{
    if (!heightMap)
        return 0.0f;
    // The sample at or below the position: conversion truncates toward zero, so a position up
    // to one sample before the near edge still reads sample 0.
    const float sampleX = (position.x - terrainOrigin) * samplesPerUnit;
    const float sampleZ = (position.z - terrainOrigin) * samplesPerUnit;
    if (!(sampleX > -1.0f && sampleZ > -1.0f && sampleX < float(heightMap->width) &&
          sampleZ < float(heightMap->height)))
        return 0.0f;
    const int x = int(sampleX);
    const int z = int(sampleZ);

    if (x >= cacheMinX && x < cacheMaxX && z >= cacheMinZ && z < cacheMaxZ)
    {
        const int block = (x >= cacheCentreX ? 1 : 0) | (z >= cacheCentreZ ? 2 : 0);
        const int localX = x - (x >= cacheCentreX ? cacheCentreX : cacheMinX);
        const int localZ = z - (z >= cacheCentreZ ? cacheCentreZ : cacheMinZ);
        return cacheBlocks[block][size_t(localZ) * size_t(cacheHalfSize) + size_t(localX)];
    }
    unsigned char sample[2] = {0, 0};
    readPixel(heightMap, uint32_t(x), uint32_t(z), sample);
    return sampleHeight(sample, heightScale);
}

void Terrain::setHeightCacheSize(int size)
{
    size = std::clamp(size, 0, 2 * kMaxCacheHalfSize);
    // The build thread reads the blocks while it samples heights, under the height lock.
    Lock lock(landscape->getHeightLock());
    if (size == 2 * cacheHalfSize)
        return;
    clearHeightCache();
    cacheHalfSize = size / 2;
}

void Terrain::clearHeightCache()
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

/* runs on the thread that builds patches */
void Terrain::preBuildCallback(int)
{
    updateHeightCache();
}

/* runs on the thread that builds patches */
void Terrain::updateHeightCache()
{
    Lock lock(landscape->getHeightLock());
    const int n = cacheHalfSize;
    if (n == 0 || !heightMap)
        return;

    const float cameraX = (cacheCameraX.load() - terrainOrigin) * samplesPerUnit;
    const float cameraZ = (cacheCameraZ.load() - terrainOrigin) * samplesPerUnit;
    // Hysteresis: after a move the camera is within 0.5 N of the centre, and the window moves
    // again only once it is 0.7 N away, so a camera hovering at a boundary does not thrash.
    if (std::fabs(cameraX - float(cacheCentreX)) < 0.7f * float(n) &&
        std::fabs(cameraZ - float(cacheCentreZ)) < 0.7f * float(n))
        return;
    // The multiple of N nearest the camera; a camera far outside the map gives up the cache.
    const double cellX = std::floor(double(cameraX / float(n)) + 0.5);
    const double cellZ = std::floor(double(cameraZ / float(n)) + 0.5);
    const double limit = double(INT_MAX / 2) / double(n) - 2.0;
    if (!(std::fabs(cellX) < limit && std::fabs(cellZ) < limit))
        return;
    const int cx = int(cellX);
    const int cz = int(cellZ);
    const int64_t moveX = int64_t(cx) - cacheCentreX / n;
    const int64_t moveZ = int64_t(cz) - cacheCentreZ / n;
    if (moveX == 0 && moveZ == 0)
        return;

    // Only a move of one cell in x keeps blocks: the kept ones change slots by pointer.
    float* slots[4] = {nullptr, nullptr, nullptr, nullptr};
    int reuseMask = 0;
    const auto reuse = [&](int newSlot, int oldBlock) {
        slots[newSlot] = cacheBlocks[oldBlock];
        if (slots[newSlot])
            reuseMask |= 1 << oldBlock;
    };
    if (moveX == -1 && moveZ == -1)
        reuse(3, 0);
    else if (moveX == -1 && moveZ == 0)
    {
        reuse(1, 0);
        reuse(3, 2);
    }
    else if (moveX == -1 && moveZ == 1)
        reuse(1, 2);
    else if (moveX == 1 && moveZ == -1)
        reuse(2, 1);
    else if (moveX == 1 && moveZ == 0)
    {
        reuse(0, 1);
        reuse(2, 3);
    }
    else if (moveX == 1 && moveZ == 1)
        reuse(0, 3);

    const size_t blockSamples = size_t(n) * size_t(n);
    bool fresh[4] = {false, false, false, false};
    try
    {
        std::vector<unsigned char> staging(blockSamples * 2);
        for (int i = 0; i < 4; ++i)
        {
            if (slots[i])
                continue;
            const int x0 = (cx + (i & 1) - 1) * n;
            const int z0 = (cz + (i >> 1) - 1) * n;
            // Parts of the block outside the heightmap are not read; the height callback never
            // returns them, since it rejects positions outside the map first.
            std::fill(staging.begin(), staging.end(), 0);
            readRect(heightMap, x0, z0, n, n, staging.data());
            float* block = new float[blockSamples];
            for (size_t k = 0; k < blockSamples; ++k)
                block[k] = sampleHeight(&staging[2 * k], heightScale);
            slots[i] = block;
            fresh[i] = true;
        }
    }
    catch (const std::bad_alloc&)
    {
        // Not enough memory for the window: serve heights from the file instead.
        for (int i = 0; i < 4; ++i)
            if (fresh[i])
                delete[] slots[i];
        clearHeightCache();
        cacheHalfSize = 0;
        return;
    }

    cacheCentreX = cx * n;
    cacheCentreZ = cz * n;
    cacheMinZ = cacheCentreZ - n;
    cacheMaxZ = cacheCentreZ + n;
    cacheMinX = cacheCentreX - n;
    cacheMaxX = cacheCentreX + n;
    for (int i = 0; i < 4; ++i)
        if (!(reuseMask & (1 << i)))
            delete[] cacheBlocks[i];
    std::copy(slots, slots + 4, cacheBlocks);
}

uint64_t Terrain::getRawData(int x, int y, int w, int h, char* buffer) const
{
    if (!heightMap || !buffer)
        return 0;
    Lock lock(landscape->getHeightLock());
    return readRect(heightMap, x, y, w, h, buffer);
}
