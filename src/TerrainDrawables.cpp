// Terrain: patch drawables and their materials.

#include "Terrain.h"

#include "Landscape.h"
#include "TerrainDecal.h"
#include "TerrainRenderable.h"

#include <OgreException.h>
#include <OgreLogManager.h>
#include <OgreMaterialManager.h>
#include <OgreResourceGroupManager.h>

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
    auto* drawable = static_cast<TerrainRenderable*>(patch->drawable);
    for (TerrainDecal* decal : decals)
        if (decal->source == drawable)
            decal->detach();
    if (drawable && materialReleaseCallback)
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
    delete drawable;
    patch->drawable = nullptr;
    if (drawable)
        drawableCount -= 1;
    return 0;
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
