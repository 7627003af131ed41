#pragma once

// Blood patches on the drawn terrain near the camera: a few procedurally drawn splat textures,
// requested every frame for the splats that lie in the nearest drawn patches.

#include "BloodSplats.h"

#include <OgreTexture.h>

#include <utility>
#include <vector>

class Terrain;

class BloodPainter
{
public:
    // Creates the splat textures in `group`. [in] terrainSize: world edge of the terrain.
    // [in] deepestLevel: the deepest quadtree level the terrain draws; splats are cells of that
    // level or a coarser one, so that every drawn patch can show them.
    BloodPainter(const std::string& group, float terrainSize, int deepestLevel, uint32_t seed);
    BloodPainter(const BloodPainter&) = delete;
    BloodPainter& operator=(const BloodPainter&) = delete;
    ~BloodPainter();

    // Asks terrain for this frame's blood patches: the splats in the drawn patches nearest the
    // camera (Terrain::getBloodPatches), at most kMaxSplats. Render thread, before the frame.
    // Result: the number of patches requested.
    size_t requestSplats(Terrain& terrain);

    static constexpr size_t kMaxSplats = 16;
    static constexpr int kTextureCount = 4;
    static constexpr int kTextureSize = 128;

private:
    SplatField field;
    std::vector<Ogre::TexturePtr> textures;
    std::vector<std::pair<unsigned int, float>> patches; // reused each frame
    std::vector<PatchSquare> squares;
};
