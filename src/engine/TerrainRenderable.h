#pragma once

#include <OgreRenderable.h>
#include <OgreVertexIndexData.h>

#include <cstdint>

class Terrain;
struct PatchGeometry;

// The GPU side of one patch: its ten-float vertex records in a static vertex buffer of its own,
// and its triangle strip in a static 16-bit index buffer that the terrain shares among the
// patches stitched alike (Terrain::stripBuffer); drawn with the patch's material and placed by
// the terrain's scene node. Render thread only.
class TerrainRenderable : public Ogre::Renderable
{
public:
    explicit TerrainRenderable(Terrain* owner);
    TerrainRenderable(const TerrainRenderable&) = delete;
    TerrainRenderable& operator=(const TerrainRenderable&) = delete;
    ~TerrainRenderable() override;

    void setMaterial(const Ogre::MaterialPtr& material_) { material = material_; }
    // Declares the vertex format, creates the vertex buffer (or keeps the one it has, when it is
    // of the patch's size), copies the patch's vertices into it and draws with strip, the buffer
    // of the patch's strip.
    void upload(const PatchGeometry& patch, const Ogre::HardwareIndexBufferSharedPtr& strip);
    // A vertex buffer of vertexCount records, touched once, for a later upload of a patch of
    // that size: that upload then costs a rewrite of memory the driver already has in use.
    void reserve(uint64_t vertexCount);
    // Bytes of its own vertex buffer (the strip's buffer is shared).
    uint64_t bufferBytes() const;
    // Draws with strip, the buffer of the patch's (restitched) strip.
    void refreshIndices(const PatchGeometry& patch, const Ogre::HardwareIndexBufferSharedPtr& strip);

    const Ogre::MaterialPtr& getMaterial() const override { return material; }
    void getRenderOperation(Ogre::RenderOperation& op) override;
    void getWorldTransforms(Ogre::Matrix4* xform) const override;
    Ogre::Real getSquaredViewDepth(const Ogre::Camera* camera) const override;
    const Ogre::LightList& getLights() const override;
    // Writes kMorphParameter from morph; any other custom parameter as the engine does.
    void _updateCustomGpuParameter(const Ogre::GpuProgramParameters::AutoConstantEntry& constantEntry,
                                   Ogre::GpuProgramParameters* params) const override;

    // Custom parameter holding (m, 0, 0, 0), m the patch's morph factor clamped to [0, 1]. It is
    // read from morph as the pass's parameters are filled, not stored in the engine's per-
    // renderable parameter map: that map costs a tree search for every drawable in view at every
    // frame in which the eye moves.
    static constexpr size_t kMorphParameter = 1;

    // What the render pass reads of every drawable sits beside the material, which the engine
    // reads as it queues the drawable: one cache line for both.
    Terrain* const owner;
    Ogre::MaterialPtr material;
    bool indicesStale = false; // the patch's strip changed since its buffer was taken
    float morph = 0.0f;        // kMorphParameter's m, set as the drawable is queued
    PatchGeometry* source = nullptr; // the patch it draws; valid while the drawable lives
    size_t slot = 0;                // its index in the owner's list of live drawables
    Ogre::IndexData indexData;
    Ogre::VertexData vertexData;
    Ogre::Vector3 centre = Ogre::Vector3::ZERO; // terrain-local centre of the patch's box

private:
    // Declares the vertex format and binds a vertex buffer of vertexCount records: the one it
    // has when it is of that size, else a new one.
    Ogre::HardwareVertexBufferSharedPtr vertexBufferOf(uint64_t vertexCount);
};
