// Terrain: the heightmap stream that feeds the Landscape's height callback, and its height cache.
// The file, the sample mapping and the cache live in HeightStream; these are the Terrain's
// operations on it.

#include "Terrain.h"

#include "engine/TerrainErrors.h"
#include "heightmap/HeightStream.h"
#include "lod/Landscape.h"

bool Terrain::openStream(const std::string& fileName)
{
    if (terrainHeight == 0.0f)
        throwTerrainError(TerrainError::ScaleNotSet);
    closeStream();

    TiffPtr file = HeightStream::openHeightmap(fileName);
    if (!file)
        return false;
    // Patches and cached heights made from an earlier heightmap would show the wrong ground.
    landscape->clear();
    heightStream->attach(std::move(file), fileName);
    applyStreamScale();
    landscape->start();
    return true;
}

void Terrain::applyStreamScale()
{
    heightStream->setScale(terrainSize, terrainHeight);
    applyLevelLimits();
}

void Terrain::closeStream()
{
    if (!heightStream->isOpen())
        return;
    landscape->stop(true);
    heightStream->close();
}

/* runs on the thread that builds patches, with the height lock held */
float Terrain::getHeight(const Ogre::Vector3& position, int)
{
    return heightStream->heightAt(position.x, position.z);
}

void Terrain::setHeightCacheSize(int size)
{
    heightStream->setCacheSize(size);
}

/* runs on the thread that builds patches */
void Terrain::preBuildCallback(int)
{
    heightStream->updateCacheBetweenBuilds();
}

/* runs on the thread that builds patches */
void Terrain::updateHeightCache()
{
    heightStream->updateCache();
}

uint64_t Terrain::getRawData(int x, int y, int w, int h, char* buffer) const
{
    return heightStream->readRaw(x, y, w, h, buffer);
}
