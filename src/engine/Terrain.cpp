// Terrain: lifecycle, configuration, patch identifiers and the spatial queries.

#include "Terrain.h"

#include "lod/CameraState.h"
#include "heightmap/HeightCache.h"
#include "lod/Landscape.h"
#include "lod/PatchId.h"
#include "engine/TerrainPlugin.h"
#include "heightmap/Tiff.h"

#include <OgreException.h>
#include <OgreRoot.h>

#include <boost/bind/bind.hpp>

#include <cmath>

std::vector<std::string> Terrain::debugMessages;

namespace
{
// Render queue group of a new terrain; decals go one group higher.
constexpr Ogre::uint8 kTerrainQueueGroup = 50;
// Largest patch size: a patch of 129 x 129 vertices is the most that 16-bit indices address.
constexpr int kMaxPatchSize = 128;
// Levels shallower than this are always split.
constexpr int kMinLevel = 4;
} // namespace

Terrain::Terrain(const Ogre::String& name) : Ogre::MovableObject(name)
{
    using namespace boost::placeholders;
    setRenderQueueGroup(kTerrainQueueGroup);
    heightCache = new HeightCache();
    landscape = new Landscape(0.0f, Ogre::Vector3::ZERO);
    landscape->debugMessages = &debugMessages;
    landscape->setHeightFunction(
        boost::bind(static_cast<float (Terrain::*)(const Ogre::Vector3&, int)>(&Terrain::getHeight),
                    this, _1, _2));
    landscape->setCallbacks(boost::bind(&Terrain::patchCreated, this, _1),
                            boost::bind(&Terrain::patchDestroyed, this, _1),
                            boost::bind(&Terrain::patchChanged, this, _1, _2),
                            boost::bind(&Terrain::preBuildCallback, this, _1));
    Ogre::Root::getSingleton().addFrameListener(this);
}

Terrain::~Terrain()
{
    if (Ogre::Root* root = Ogre::Root::getSingletonPtr())
        root->removeFrameListener(this);
    releaseReferenceCamera();
    closeStream();
    // The Landscape's destruction runs patchDestroyed for every patch, so every drawable goes
    // with it.
    delete landscape;
    landscape = nullptr;
    setBloodMaterial(Ogre::MaterialPtr());
    delete cameraState;
    cameraState = nullptr;
    delete heightCache;
    heightCache = nullptr;
}

void Terrain::setTerrainScale(float size, float height)
{
    const bool streaming = suspendTree();
    terrainSize = size;
    terrainHeight = height;
    terrainOrigin = -size / 2.0f;
    landscape->setBounds(size, Ogre::Vector3(terrainOrigin, 0.0f, terrainOrigin));
    bounds.setExtents(terrainOrigin, 0.0f, terrainOrigin, terrainOrigin + size, height,
                      terrainOrigin + size);
    if (streaming)
        applyStreamScale();
    resumeTree(streaming);
}

bool Terrain::suspendTree()
{
    // Patches made with another scale or grid would not fit the new one, and the build thread
    // reads both: with a stream open, stop it; either way the tree starts afresh.
    const bool streaming = heightMap != nullptr;
    if (streaming)
        landscape->stop(true);
    if (landscape->root)
        landscape->clear();
    return streaming;
}

void Terrain::resumeTree(bool streaming)
{
    if (streaming)
        landscape->start();
}

void Terrain::setPatchSize(int size)
{
    // Patch size 1 is refused as well: a one-quad patch does not nest in its parent's grid, so it
    // has no morph targets and no edge vertices to stitch.
    if (size < 2 || size > kMaxPatchSize || (size & (size - 1)) != 0)
        OGRE_EXCEPT(Ogre::Exception::ERR_INVALID_STATE, "setPatchSize() must be a power of 2",
                    "Terrain");
    const bool streaming = suspendTree();
    landscape->setPatchSize(size);
    patchSize = size;
    applyLevelLimits();
    resumeTree(streaming);
}

void Terrain::applyLevelLimits()
{
    // The deepest level divides the terrain into 2^14 quads along each side.
    int bitLength = 0;
    for (int v = patchSize; v; v >>= 1)
        ++bitLength;
    int deepest = 15 - bitLength;
    // Patches finer than the heightmap only repeat its samples (as steps, since a height is the
    // sample at or below the position): stop where a quad spans one sample.
    if (heightMap)
    {
        int resolution = 0;
        while (resolution < deepest && (uint64_t(patchSize) << (resolution + 1)) <= uint64_t(heightMap->width & ~1u))
            ++resolution;
        deepest = std::max(std::min(deepest, resolution), kMinLevel);
    }
    landscape->setLevelLimits(kMinLevel, deepest);
}

void Terrain::setDetailThreshold(float threshold, float farThreshold, float farDistance)
{
    landscape->setDetailThreshold(threshold);
    landscape->setFarDetail(farThreshold, farDistance);
}

void Terrain::setOgreBuildLimits(int visibleLimit, int pendingLimit)
{
    visibleBuildLimit = visibleLimit;
    pendingBuildLimit = pendingLimit;
}

const Ogre::AxisAlignedBox& Terrain::getBoundingBox() const
{
    return bounds;
}

Ogre::Real Terrain::getBoundingRadius() const
{
    return bounds.isNull() ? 0.0f : bounds.getSize().length() * 0.5f;
}

const Ogre::String& Terrain::getMovableType() const
{
    return terrainTypeName();
}

unsigned int Terrain::getPatchInfo(const Ogre::Vector3& point, int level) const
{
    return landscape->encodePatchId(point.x, point.z, level);
}

unsigned int Terrain::getPatchInfo(const Ogre::Vector3& point, int level, Ogre::Vector2& corner,
                                   Ogre::Vector2& size) const
{
    level = std::clamp(level, 0, kMaxPatchLevel);
    const float cell = terrainSize / float(1u << level);
    corner.x = std::floor((point.x - terrainOrigin) / cell) * cell + terrainOrigin;
    corner.y = std::floor((point.z - terrainOrigin) / cell) * cell + terrainOrigin;
    size = Ogre::Vector2(cell, cell);
    return getPatchInfo(point, level);
}

int Terrain::getPatchInfo(unsigned int patchId, Ogre::Vector2& corner, Ogre::Vector2& size) const
{
    const int level = patchIdLevel(patchId);
    const float cell = terrainSize / float(1u << level);
    size = Ogre::Vector2(cell, cell);
    corner = Ogre::Vector2(-terrainSize / 2.0f, -terrainSize / 2.0f);
    float step = terrainSize / 2.0f;
    for (int bit = 2 * level - 2; bit >= 0; bit -= 2)
    {
        if (patchId & (1u << bit))
            corner.x += step;
        if (patchId & (2u << bit))
            corner.y += step;
        step *= 0.5f;
    }
    return level;
}

template <class Query>
Terrain::Hit Terrain::heightQuery(const Ogre::Vector3& point, Query query) const
{
    Hit result;
    result.position = point;
    result.position.y = bounds.isNull() ? 0.0f : bounds.getMinimum().y;
    // Only x and z decide whether the point lies over the terrain (the box test is inclusive).
    result.hit = bounds.contains(result.position);
    result.level = 0;
    if (!result.hit)
        return result;
    const float height = (landscape->*query)(point.x, point.z, result.level, &result.normal);
    result.position.y = height;
    if (height == Landscape::kNoHeight || std::isnan(height))
        result.hit = false;
    return result;
}

Terrain::Hit Terrain::getHeight(const Ogre::Vector3& point) const
{
    return heightQuery(point, &Landscape::getHeight);
}

Terrain::Hit Terrain::getApproximateHeight(const Ogre::Vector3& point) const
{
    return heightQuery(point, &Landscape::getApproximateHeight);
}

Terrain::Hit Terrain::intersect(const Ogre::Ray& ray) const
{
    Hit result;
    const Ogre::Vector3 from = ray.getOrigin();
    const Ogre::Vector3 to = ray.getPoint(100000.0f);
    result.hit = landscape->intersect(from, to, result.level, result.position, result.normal) != 0;
    return result;
}
