// Terrain: lifecycle and configuration.

#include "Terrain.h"

#include "engine/CameraCapture.h"
#include "engine/TerrainDecal.h"
#include "engine/TerrainErrors.h"
#include "engine/TerrainPlugin.h"
#include "engine/TerrainRenderable.h"
#include "heightmap/HeightStream.h"
#include "lod/Landscape.h"

#include <OgreRoot.h>

#include <boost/bind/bind.hpp>

#include <algorithm>
#include <chrono>
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
// What the level-of-detail walk may take of a frame before it leaves the tree out of view to
// the next frames: a full walk of a thousand patches after a jump takes about a millisecond,
// and the frame's drawables and frees have budgets of their own.
constexpr std::chrono::microseconds kWalkTime{400};
} // namespace

Terrain::Terrain(const Ogre::String& name) : Ogre::MovableObject(name)
{
    using namespace boost::placeholders;
    setRenderQueueGroup(kTerrainQueueGroup);
    landscape = std::make_unique<Landscape>(0.0f, Ogre::Vector3::ZERO);
    heightStream = std::make_unique<HeightStream>(landscape->getHeightLock());
    cameraWatch = std::make_unique<CameraWatch>([this](Ogre::Camera*) { setReferenceCamera(nullptr); });
    landscape->setDebugMessages(&debugMessages);
    landscape->setWalkTime(kWalkTime);
    landscape->setHeightFunction(
        boost::bind(static_cast<float (Terrain::*)(const Ogre::Vector3&, int)>(&Terrain::getHeight),
                    this, _1, _2));
    landscape->setCallbacks(boost::bind(&Terrain::patchCreated, this, _1),
                            boost::bind(&Terrain::patchDestroyed, this, _1),
                            boost::bind(&Terrain::patchChanged, this, _1, _2),
                            boost::bind(&Terrain::preBuildCallback, this, _1));
    HeightStream* stream = heightStream.get();
    landscape->setHeightRowFunction([stream](float worldZ, const float* worldXs, int count, float* out) {
        stream->heightRow(worldZ, worldXs, count, out);
    });
    landscape->setSampleCheck([stream] { return stream->samplesStillValid(); });
    Ogre::Root::getSingleton().addFrameListener(this);
}

Terrain::~Terrain()
{
    if (Ogre::Root* root = Ogre::Root::getSingletonPtr())
        root->removeFrameListener(this);
    setReferenceCamera(nullptr);
    closeStream();
    // The stream shares the Landscape's height lock: it goes first. The Landscape's destruction
    // runs patchDestroyed for every patch, so every drawable goes with it; the decals go after.
    heightStream.reset();
    landscape.reset();
    dropSpareDrawables();
    freeStaleDrawables(UINT64_MAX);
    stripBuffers.clear(); // their strips went with the Landscape
    setBloodMaterial(Ogre::MaterialPtr());
}

void Terrain::setTerrainScale(float size, float height)
{
    // A square of no size, or an inverted or endless one, has no patches and no bounding box
    // the engine accepts.
    if (!(std::isfinite(size) && size > 0.0f && std::isfinite(height) && height > 0.0f))
        throwTerrainError(TerrainError::InvalidScale);
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
    const bool streaming = heightStream->isOpen();
    if (streaming)
        landscape->stop(true);
    // The old tree's drawables, and the spares of its patch size, are freed over the next frames.
    staleDrawables.insert(staleDrawables.end(), std::make_move_iterator(spareDrawables.begin()),
                          std::make_move_iterator(spareDrawables.end()));
    spareDrawables.clear();
    staleBytes += spareBytes;
    spareBytes = 0;
    retiringDrawables = true;
    if (landscape->hasTree())
        landscape->clear(streaming);
    retiringDrawables = false;
    return streaming;
}

void Terrain::resumeTree(bool streaming)
{
    if (streaming)
    {
        landscape->start();
        landscape->beginTree();
    }
}

void Terrain::setPatchSize(int size)
{
    // Patch size 1 is refused as well: a one-quad patch does not nest in its parent's grid, so it
    // has no morph targets and no edge vertices to stitch.
    if (size < 2 || size > kMaxPatchSize || (size & (size - 1)) != 0)
        throwTerrainError(TerrainError::PatchSizeNotPowerOfTwo);
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
    if (heightStream->isOpen())
    {
        const uint64_t columns = heightStream->sampleColumns() & ~1u;
        int resolution = 0;
        while (resolution < deepest && (uint64_t(patchSize) << (resolution + 1)) <= columns)
            ++resolution;
        deepest = std::max(std::min(deepest, resolution), kMinLevel);
    }
    landscape->setLevelLimits(kMinLevel, deepest);
}

void Terrain::setDetailThreshold(float threshold, float farThreshold, float farDistance)
{
    // An infinite threshold is a sensible reading (the coarsest tree the levels allow); NaN and
    // negative values are not.
    if (!(threshold >= 0.0f && farThreshold >= 0.0f && farDistance >= 0.0f))
        throwTerrainError(TerrainError::InvalidDetail);
    landscape->setDetailThreshold(threshold);
    landscape->setFarDetail(farThreshold, farDistance);
}

void Terrain::setOgreBuildLimits(int visibleLimit, int pendingLimit)
{
    // A negative limit reads as none at all.
    visibleBuildLimit = std::max(visibleLimit, 0);
    pendingBuildLimit = std::max(pendingLimit, 0);
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
