// Terrain: blood patches, host textures drawn as decals over cells of drawn patches.

#include "Terrain.h"

#include "engine/TerrainDecal.h"
#include "engine/TerrainErrors.h"
#include "engine/TerrainRenderable.h"
#include "lod/CameraState.h"
#include "lod/Landscape.h"
#include "lod/PatchId.h"

#include <OgreMaterialManager.h>
#include <OgreResourceGroupManager.h>
#include <OgreSceneNode.h>
#include <OgreTexture.h>

#include <algorithm>

void Terrain::drawBloodPatch(unsigned int patchId, const Ogre::TexturePtr& texture, int cellCode,
                             int cellDepth)
{
    // Without a blood material there is nothing to clone a decal from: the request is dropped.
    // So is one that names no patch (an identifier without its level marker: 0, 2, 3, ...) or
    // no cell (a depth outside 0 .. 15, whose bits would not fit the code).
    if (!bloodMaterial || cellDepth < 0 || cellDepth > kMaxPatchLevel || patchId == 0 ||
        (patchId >> (2 * patchIdLevel(patchId))) != 1)
        return;
    bloodPatches.push_back(BloodPatch{patchId, cellCode, cellDepth, texture});
}

void Terrain::createBloodPatches()
{
    // Without a blood material (a failed look-up clears it) no request is served, and decals
    // left from earlier frames are detached below like any decal without a request.
    if (!bloodMaterial)
        bloodPatches.clear();
    const Ogre::SceneNode* node = getParentSceneNode();
    const Ogre::Vector3 nodePosition = node ? node->_getDerivedPosition() : Ogre::Vector3::ZERO;

    for (size_t i = 0; i < bloodPatches.size(); ++i)
    {
        const BloodPatch& request = bloodPatches[i];
        if (decals.size() == i)
            decals.push_back(std::make_unique<TerrainDecal>(bloodMaterial));
        TerrainDecal* decal = decals[i].get();

        // A decal attached while its patch had no drawable looks again until it has one.
        if (decal->patchId != request.patchId || !decal->source)
        {
            const PatchGeometry* patch = landscape->findPatch(request.patchId);
            if (!patch)
            {
                decal->detach();
                decal->setTexture(Ogre::TexturePtr());
                continue;
            }
            decal->attach(request.patchId, static_cast<TerrainRenderable*>(patch->drawable));
            decal->patchCorner = Ogre::Vector2(patch->bounds->getMinimum().x, patch->bounds->getMinimum().z);
            decal->patchSize = patch->bounds->getSize().x;
        }

        // The cell in world units: each subdivision halves the edge and takes the high-x half
        // for bit 0 and the high-z half for bit 1 of its digit.
        const QuadPath cell{uint32_t(request.cellCode), request.cellDepth};
        float cellSize = decal->patchSize;
        float cellX = decal->patchCorner.x + nodePosition.x;
        float cellZ = decal->patchCorner.y + nodePosition.z;
        for (int k = 0; k < cell.depth; ++k)
        {
            cellSize *= 0.5f;
            if (cell.digit(k) & 1)
                cellX += cellSize;
            if (cell.digit(k) & 2)
                cellZ += cellSize;
        }
        // Map the cell onto the texture with a one-texel margin, so that its edges fall about a
        // texel inside the texture's edges.
        if (request.texture && request.texture->getWidth() > 0)
        {
            const float texel = 1.0f / float(request.texture->getWidth());
            const float scale = 1.0f / cellSize - texel * 2.0f / cellSize;
            decal->setCustomParameter(TerrainDecal::kMappingParameter,
                                      Ogre::Vector4(cellX - texel * cellSize, cellZ - texel * cellSize,
                                                    scale, scale));
        }
        decal->setTexture(request.texture);
    }
    for (size_t i = bloodPatches.size(); i < decals.size(); ++i)
        decals[i]->detach();
    bloodPatches.clear();
    unservedBloodPatches = 0;
}

void Terrain::dropUnservedBloodPatches()
{
    // Requests live for one frame: those already waiting when the last frame started were not
    // served by its blood patch pass (the reference camera did not draw the terrain), and go.
    bloodPatches.erase(bloodPatches.begin(),
                       bloodPatches.begin() + std::ptrdiff_t(std::min(unservedBloodPatches, bloodPatches.size())));
    unservedBloodPatches = bloodPatches.size();
}

uint64_t Terrain::getBloodPatches(float, std::vector<std::pair<unsigned int, float>>& out) const
{
    if (!cameraState)
        return 0;
    landscape->collectPatches(*cameraState, out);
    return out.size();
}

void Terrain::setBloodMaterial(const Ogre::MaterialPtr& material)
{
    bloodMaterial = material;
    decals.clear();
}

void Terrain::setBloodMaterialName(const std::string& name)
{
    bloodMaterial = Ogre::MaterialManager::getSingleton().getByName(
        name, Ogre::ResourceGroupManager::AUTODETECT_RESOURCE_GROUP_NAME);
    if (!bloodMaterial)
        throwTerrainError(TerrainError::BloodMaterialNotFound);
    setBloodMaterial(bloodMaterial);
}
