// Terrain: the heightmap stream that feeds the Landscape's height callback, and its height cache.
// The file, the sample mapping and the cache live in HeightStream; these are the Terrain's
// operations on it.

#include "Terrain.h"

#include "engine/TerrainErrors.h"
#include "heightmap/HeightStream.h"
#include "lod/Landscape.h"

#include <OgreLogManager.h>

bool Terrain::openStream(const std::string& fileName)
{
    if (terrainHeight == 0.0f)
        throwTerrainError(TerrainError::ScaleNotSet);
    closeStream();

    TiffPtr file = HeightStream::openHeightmap(fileName);
    if (!file)
        return false;
    // Patches and cached heights made from an earlier heightmap would show the wrong ground.
    landscape->clear(true);
    heightStream->attach(std::move(file), fileName);
    applyStreamScale();
    // Read ahead: the first patches of any view need these rows, and a file fresh from the
    // disk would otherwise come in one read at a time as the builds ask for them.
    heightStream->adviseRowsAt(landscape->firstRowsRead());
    resumeTree(true);
    // A host opens a stream as it loads, not between two frames of a running view (a change of
    // patch size or scale is spread over the frames instead).
    makeOpeningSpares();
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
    // An edit's samples reach the device before the patches it changed are built again.
    heightStream->syncWrites();
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

uint64_t Terrain::setRawData(int x, int y, int w, int h, const char* buffer)
{
    HeightStream::SampleRect written;
    std::string refusal;
    const uint64_t count = heightStream->writeRaw(x, y, w, h, buffer, written, refusal);
    if (count == 0)
    {
        if (!refusal.empty())
            Ogre::LogManager::getSingleton().logMessage("Terrain: setRawData wrote nothing: " + refusal,
                                                        Ogre::LML_CRITICAL);
        return 0;
    }
    float minX, maxX, minZ, maxZ;
    heightStream->sampleArea(written, minX, maxX, minZ, maxZ);
    landscape->heightsChanged(minX, maxX, minZ, maxZ);
    return count;
}
