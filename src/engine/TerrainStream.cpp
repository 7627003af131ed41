// Terrain: the heightmap stream that feeds the Landscape's height callback, and the movable
// in-memory height cache around the camera.

#include "Terrain.h"

#include "support/Diagnostics.h"
#include "heightmap/HeightCache.h"
#include "lod/Landscape.h"
#include "heightmap/Tiff.h"

#include <OgreException.h>

#include <cstdint>

namespace
{
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

    heightMap = file;
    applyStreamScale();
    landscape->start();
    return true;
}

void Terrain::applyStreamScale()
{
    {
        Lock lock(landscape->getHeightLock());
        heightCache->clear();
    }
    heightScale = terrainHeight / 65535.0f;
    // A map of 2^k + 1 samples puts its last sample exactly on the terrain's far edge.
    samplesPerUnit = float(heightMap->width & ~1u) / terrainSize;
    applyLevelLimits();
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
    float height;
    if (heightCache->lookup(x, z, height))
        return height;
    unsigned char sample[2] = {0, 0};
    readPixel(heightMap, uint32_t(x), uint32_t(z), sample);
    return sampleHeight(sample, heightScale);
}

void Terrain::setHeightCacheSize(int size)
{
    // The build thread reads the blocks while it samples heights, under the height lock.
    Lock lock(landscape->getHeightLock());
    heightCache->setSize(size);
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
    if (!heightMap || heightCache->getSize() == 0)
        return;
    TiffFile* file = heightMap;
    heightCache->update((cacheCameraX.load() - terrainOrigin) * samplesPerUnit,
                        (cacheCameraZ.load() - terrainOrigin) * samplesPerUnit, heightScale,
                        [file](int x0, int z0, int n, uint16_t* samples) {
                            readRect(file, x0, z0, n, n, samples);
                            // The file's bytes are little-endian; make them numbers.
                            auto* bytes = reinterpret_cast<unsigned char*>(samples);
                            for (size_t k = 0; k < size_t(n) * size_t(n); ++k)
                                samples[k] = uint16_t(bytes[2 * k] | (bytes[2 * k + 1] << 8));
                        });
}

uint64_t Terrain::getRawData(int x, int y, int w, int h, char* buffer) const
{
    if (!heightMap || !buffer)
        return 0;
    Lock lock(landscape->getHeightLock());
    return readRect(heightMap, x, y, w, h, buffer);
}
