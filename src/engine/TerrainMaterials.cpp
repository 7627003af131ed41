// Terrain: the default material, the host's per-patch materials near the camera, and the pass
// that hands them out and takes them back as the camera moves.

#include "Terrain.h"

#include "engine/TerrainErrors.h"
#include "engine/TerrainRenderable.h"

#include <OgreMaterialManager.h>
#include <OgreResourceGroupManager.h>

#include <cmath>

void Terrain::setDefaultMaterial(const Ogre::MaterialPtr& material)
{
    defaultMaterial = material;
}

void Terrain::setDefaultMaterialName(const std::string& name)
{
    defaultMaterial = Ogre::MaterialManager::getSingleton().getByName(
        name, Ogre::ResourceGroupManager::AUTODETECT_RESOURCE_GROUP_NAME);
    if (!defaultMaterial)
        throwTerrainError(TerrainError::DefaultMaterialNotFound);
}

void Terrain::setMaterialCallbacks(const MaterialCallback& source, const MaterialReleaseCallback& release)
{
    materialCallback = source;
    materialReleaseCallback = release;
}

void Terrain::setMaterialDistance(float distance)
{
    if (std::isnan(distance))
        throwTerrainError(TerrainError::InvalidMaterialDistance);
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
