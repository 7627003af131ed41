// Terrain: patch drawables and their materials.

#include "Terrain.h"

#include "lod/Landscape.h"
#include "engine/TerrainDecal.h"
#include "engine/TerrainRenderable.h"

#include <OgreException.h>
#include <OgreLogManager.h>
#include <OgreMaterialManager.h>
#include <OgreResourceGroupManager.h>

#include <algorithm>
#include <exception>

void Terrain::createDrawable(PatchGeometry* patch)
{
    if (!patch || patch->indexCount == 0)
    {
        Ogre::LogManager::getSingleton().logMessage("Error: Invalid terrain patch", Ogre::LML_NORMAL);
        return;
    }
    auto* drawable = new TerrainRenderable(this);
    drawable->upload(*patch);
    drawable->centre = patch->bounds->getCenter();
    drawable->setMaterial(defaultMaterial);
    if (materialCallback && patch->bounds->squaredDistance(cameraPosition) < materialDistanceSq)
    {
        Ogre::MaterialPtr hostMaterial = materialCallback(*patch->bounds, 0);
        if (hostMaterial)
            drawable->setMaterial(hostMaterial);
    }
    // A drawable is stored and counted only once it has a material, so a failure leaves the
    // patch and the counters as they were.
    if (!drawable->getMaterial())
    {
        delete drawable;
        OGRE_EXCEPT(Ogre::Exception::ERR_ITEM_NOT_FOUND, "Terrain material missing",
                    "Terrain::patchCreated");
    }
    patch->drawable = drawable;
    drawable->source = patch;
    drawable->lastUsedFrame = frameNumber;
    drawable->slot = liveDrawables.size();
    liveDrawables.push_back(drawable);
    drawableCount += 1;
    drawablesBuilt += 1;
}

int Terrain::patchCreated(PatchGeometry*)
{
    // Drawables are made by the frame update, within its per-frame budgets.
    patchesPending = true;
    return 0;
}

void Terrain::patchChanged(PatchGeometry* patch, int)
{
    if (auto* drawable = static_cast<TerrainRenderable*>(patch->drawable))
        drawable->indicesStale = true;
}

int Terrain::patchDestroyed(PatchGeometry* patch)
{
    // A patch without a drawable detaches the decals that have none; the next blood patch pass
    // attaches them afresh. A drawable's own decals are detached as it is released.
    if (!patch->drawable)
        for (TerrainDecal* decal : decals)
            if (!decal->source)
                decal->detach();
    releaseDrawable(patch);
    return 0;
}

void Terrain::releaseDrawable(PatchGeometry* patch)
{
    auto* drawable = static_cast<TerrainRenderable*>(patch->drawable);
    if (!drawable)
        return;
    for (TerrainDecal* decal : decals)
        if (decal->source == drawable)
            decal->detach();
    if (materialReleaseCallback)
    {
        // This runs while patch nodes are deleted, where an exception cannot pass: report it.
        try
        {
            materialReleaseCallback(*patch->bounds, drawable->material);
        }
        catch (const std::exception& error)
        {
            Ogre::LogManager::getSingleton().logMessage(
                std::string("Error: terrain material release failed: ") + error.what(), Ogre::LML_CRITICAL);
        }
        catch (...)
        {
            Ogre::LogManager::getSingleton().logMessage("Error: terrain material release failed",
                                                        Ogre::LML_CRITICAL);
        }
    }
    // Swap-remove from the live list.
    TerrainRenderable* last = liveDrawables.back();
    liveDrawables[drawable->slot] = last;
    last->slot = drawable->slot;
    liveDrawables.pop_back();
    delete drawable;
    patch->drawable = nullptr;
    drawableCount -= 1;
}

void Terrain::setDrawableKeepFrames(int frames)
{
    drawableKeepFrames = uint32_t(std::max(frames, 0));
}

void Terrain::releaseIdleDrawables()
{
    if (drawableKeepFrames == 0)
        return;
    // A slice of the live drawables per frame, so that the sweep costs little on any frame
    // while every drawable is still looked at within a few frames.
    const size_t slice = std::min(liveDrawables.size(),
                                  std::max<size_t>(kDrawableSweepSlice, liveDrawables.size() / 8));
    for (size_t k = 0; k < slice && !liveDrawables.empty(); ++k)
    {
        if (sweepCursor >= liveDrawables.size())
            sweepCursor = 0;
        TerrainRenderable* drawable = liveDrawables[sweepCursor];
        if (frameNumber - drawable->lastUsedFrame > drawableKeepFrames)
            releaseDrawable(drawable->source); // the last entry moves into this slot
        else
            ++sweepCursor;
    }
}

void Terrain::setDefaultMaterial(const Ogre::MaterialPtr& material)
{
    defaultMaterial = material;
}

void Terrain::setDefaultMaterialName(const std::string& name)
{
    defaultMaterial = Ogre::MaterialManager::getSingleton().getByName(
        name, Ogre::ResourceGroupManager::AUTODETECT_RESOURCE_GROUP_NAME);
    if (!defaultMaterial)
        OGRE_EXCEPT(Ogre::Exception::ERR_ITEM_NOT_FOUND, "Default terrain material not found",
                    "Terrain::setDefaultMaterial");
}

void Terrain::setMaterialCallbacks(const MaterialCallback& source, const MaterialReleaseCallback& release)
{
    materialCallback = source;
    materialReleaseCallback = release;
}

void Terrain::setMaterialDistance(float distance)
{
    materialDistanceSq = distance * distance;
}

int Terrain::updateMaterial(PatchGeometry* patch)
{
    auto* drawable = static_cast<TerrainRenderable*>(patch->drawable);
    if (!drawable)
        return 1;
    const float distanceSq = patch->bounds->squaredDistance(cameraPosition);
    if (distanceSq > materialDistanceSq)
    {
        if (drawable->material != defaultMaterial)
        {
            if (materialReleaseCallback)
                materialReleaseCallback(*patch->bounds, drawable->material);
            drawable->setMaterial(defaultMaterial);
        }
        return 1;
    }
    // Near: a drawable on the default asks the host; one with a host material keeps it.
    if (!drawable->material || drawable->material == defaultMaterial)
    {
        Ogre::MaterialPtr hostMaterial = materialCallback(*patch->bounds, 0);
        drawable->setMaterial(hostMaterial ? hostMaterial : defaultMaterial);
    }
    return 1;
}
