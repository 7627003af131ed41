#pragma once

#include <OgreRenderable.h>
#include <OgreVector.h>

#include <cstdint>

class TerrainRenderable;

// A blood-patch decal: draws exactly the buffers of one patch's drawable, with the same
// transform, view depth, lights and morph factor, but with a clone of the blood material whose
// texture unit 0 shows the host's texture. Render thread only.
class TerrainDecal : public Ogre::Renderable
{
public:
    // Clones bloodMaterial under its name followed by the decal counter (1 for the first decal).
    explicit TerrainDecal(const Ogre::MaterialPtr& bloodMaterial);
    TerrainDecal(const TerrainDecal&) = delete;
    TerrainDecal& operator=(const TerrainDecal&) = delete;
    // Removes the clone from the material manager.
    ~TerrainDecal() override;

    // Attaches the decal to a patch and its drawable (which may not exist yet); identifier 0 and
    // no drawable detach it.
    void attach(uint32_t patchId_, TerrainRenderable* source_);
    void detach() { attach(0, nullptr); }
    // Shows texture in texture unit 0 of the clone; an empty texture blanks the unit.
    void setTexture(const Ogre::TexturePtr& texture);

    const Ogre::MaterialPtr& getMaterial() const override { return material; }
    void getRenderOperation(Ogre::RenderOperation& op) override;
    void getWorldTransforms(Ogre::Matrix4* xform) const override;
    Ogre::Real getSquaredViewDepth(const Ogre::Camera* camera) const override;
    const Ogre::LightList& getLights() const override;
    // Custom parameters other than the decal's own come from the attached drawable, so that a
    // decal material reads the patch's morph factor (custom parameter 1) and places its vertices
    // exactly on the patch's displayed surface.
    void _updateCustomGpuParameter(const Ogre::GpuProgramParameters::AutoConstantEntry& constantEntry,
                                   Ogre::GpuProgramParameters* params) const override;

    // Custom parameter that maps world (x, z) onto the texture: (x0, z0, sx, sz), texture
    // coordinate ((x - x0) * sx, (z - z0) * sz).
    static constexpr size_t kMappingParameter = 0;
    // Decals ever created; names the clones.
    static uint32_t decalCounter;

    uint32_t patchId = 0;       // identifier of the attached patch; 0 when detached
    Ogre::Vector2 patchCorner;  // low x and low z of the attached patch's box, terrain-local
    float patchSize = 0;        // x extent of the attached patch's box
    TerrainRenderable* source = nullptr; // the attached patch's drawable, not owned
    Ogre::MaterialPtr material; // this decal's own clone of the blood material
};
