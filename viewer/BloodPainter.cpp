#include "BloodPainter.h"

#include "Terrain.h"

#include <OgreHardwarePixelBuffer.h>
#include <OgreTextureManager.h>

#include <algorithm>
#include <cmath>

namespace
{
// Splats are cells of the quadtree level whose cells are nearest this size (world units), or of
// a finer one when the terrain draws finer patches.
constexpr float kSplatSize = 80.0f;

int splatLevel(float terrainSize, int deepestLevel)
{
    const int level = int(std::lround(std::log2(std::max(terrainSize / kSplatSize, 1.0f))));
    return std::clamp(std::max(level, deepestLevel), 0, 15);
}
} // namespace

BloodPainter::BloodPainter(const std::string& group, float terrainSize, int deepestLevel, uint32_t seed)
    : field(terrainSize, splatLevel(terrainSize, deepestLevel), seed, kTextureCount)
{
    Ogre::TextureManager& manager = Ogre::TextureManager::getSingleton();
    for (int i = 0; i < kTextureCount; ++i)
    {
        Ogre::TexturePtr texture = manager.createManual(
            "TerrainViewer/Splat" + std::to_string(i), group, Ogre::TEX_TYPE_2D, kTextureSize, kTextureSize,
            Ogre::MIP_DEFAULT, Ogre::PF_BYTE_RGBA, Ogre::TU_DEFAULT | Ogre::TU_AUTOMIPMAP);
        std::vector<uint8_t> pixels = drawSplat(kTextureSize, seed * 31u + uint32_t(i));
        texture->getBuffer()->blitFromMemory(
            Ogre::PixelBox(kTextureSize, kTextureSize, 1, Ogre::PF_BYTE_RGBA, pixels.data()));
        textures.push_back(texture);
    }
}

BloodPainter::~BloodPainter()
{
    if (Ogre::TextureManager* manager = Ogre::TextureManager::getSingletonPtr())
        for (const Ogre::TexturePtr& texture : textures)
            manager->remove(texture);
}

size_t BloodPainter::requestSplats(Terrain& terrain)
{
    patches.clear();
    terrain.getBloodPatches(0.0f, patches);
    squares.clear();
    for (const auto& [id, distance] : patches)
    {
        Ogre::Vector2 corner, size;
        const int level = terrain.getPatchInfo(id, corner, size);
        squares.push_back(PatchSquare{id, level, corner.x, corner.y, size.x, distance});
    }
    const std::vector<SplatRequest> requests = field.requestsFor(squares, kMaxSplats);
    for (const SplatRequest& request : requests)
        terrain.drawBloodPatch(request.patchId, textures[size_t(request.texture)], request.cellCode,
                               request.cellDepth);
    return requests.size();
}
