#include "engine/TerrainRenderable.h"

#include "PatchGeometry.h"
#include "Terrain.h"
#include "lod/PatchLayout.h"

#include <OgreCamera.h>
#include <OgreHardwareBufferManager.h>
#include <OgreNode.h>
#include <OgreSceneNode.h>

#include <cassert>
#include <cstring>

TerrainRenderable::TerrainRenderable(Terrain* owner_) : owner(owner_)
{
}

TerrainRenderable::~TerrainRenderable()
{
    indexData.indexBuffer.reset();
    vertexData.vertexBufferBinding->unsetBinding(0);
}

Ogre::HardwareVertexBufferSharedPtr TerrainRenderable::vertexBufferOf(uint64_t vertexCount)
{
    // Floats 0-3 as a 4-float position, 4-6 as a 3-float normal, 7-9 as a 3-float binormal: the
    // element names only carry the floats to the material's vertex program.
    Ogre::VertexDeclaration* declaration = vertexData.vertexDeclaration;
    if (declaration->getElementCount() == 0)
    {
        declaration->addElement(0, 0, Ogre::VET_FLOAT4, Ogre::VES_POSITION);
        declaration->addElement(0, 4 * sizeof(float), Ogre::VET_FLOAT3, Ogre::VES_NORMAL);
        declaration->addElement(0, 7 * sizeof(float), Ogre::VET_FLOAT3, Ogre::VES_BINORMAL);
    }
    assert(declaration->getVertexSize(0) == kVertexBytes);

    // A drawable given back earlier keeps its buffers: a patch of the same size is written into
    // them, which costs no allocation (and, on the GPU, no new buffer object).
    Ogre::HardwareVertexBufferSharedPtr vertexBuffer;
    if (vertexData.vertexBufferBinding->isBufferBound(0))
        vertexBuffer = vertexData.vertexBufferBinding->getBuffer(0);
    if (!vertexBuffer || vertexBuffer->getNumVertices() != vertexCount)
    {
        vertexBuffer = Ogre::HardwareBufferManager::getSingleton().createVertexBuffer(
            kVertexBytes, vertexCount, Ogre::HardwareBuffer::HBU_STATIC_WRITE_ONLY, false);
        vertexData.vertexBufferBinding->setBinding(0, vertexBuffer);
    }
    vertexData.vertexStart = 0;
    vertexData.vertexCount = vertexCount;
    return vertexBuffer;
}

void TerrainRenderable::reserve(uint64_t vertexCount)
{
    const Ogre::HardwareVertexBufferSharedPtr vertexBuffer = vertexBufferOf(vertexCount);
    // Not a discarding lock: the GL render system answers one by giving the buffer new storage,
    // which a buffer just made would pay for twice.
    void* records = vertexBuffer->lock(Ogre::HardwareBuffer::HBL_WRITE_ONLY);
    std::memset(records, 0, vertexCount * kVertexBytes);
    vertexBuffer->unlock();
}

void TerrainRenderable::upload(const PatchGeometry& patch, const Ogre::HardwareIndexBufferSharedPtr& strip)
{
    vertexBufferOf(patch.vertexCount)->writeData(0, patch.vertexCount * kVertexBytes, patch.vertices, true);
    refreshIndices(patch, strip);
}

uint64_t TerrainRenderable::bufferBytes() const
{
    return kVertexBytes * vertexData.vertexCount;
}

void TerrainRenderable::refreshIndices(const PatchGeometry& patch, const Ogre::HardwareIndexBufferSharedPtr& strip)
{
    indexData.indexBuffer = strip;
    indexData.indexStart = 0;
    indexData.indexCount = patch.indexCount;
    indicesStale = false;
}

void TerrainRenderable::getRenderOperation(Ogre::RenderOperation& op)
{
    op.vertexData = &vertexData;
    op.indexData = &indexData;
    op.operationType = Ogre::RenderOperation::OT_TRIANGLE_STRIP;
    op.useIndexes = true;
}

void TerrainRenderable::getWorldTransforms(Ogre::Matrix4* xform) const
{
    const Ogre::SceneNode* node = owner->getParentSceneNode();
    *xform = node ? Ogre::Matrix4(node->_getFullTransform()) : Ogre::Matrix4::IDENTITY;
}

Ogre::Real TerrainRenderable::getSquaredViewDepth(const Ogre::Camera* camera) const
{
    const Ogre::SceneNode* node = owner->getParentSceneNode();
    const Ogre::Vector3 worldCentre = node ? node->_getFullTransform() * centre : centre;
    return worldCentre.squaredDistance(camera->getDerivedPosition());
}

void TerrainRenderable::_updateCustomGpuParameter(const Ogre::GpuProgramParameters::AutoConstantEntry& constantEntry,
                                                  Ogre::GpuProgramParameters* params) const
{
    if (constantEntry.data == kMorphParameter)
        params->_writeRawConstant(constantEntry.physicalIndex, Ogre::Vector4(morph, 0.0f, 0.0f, 0.0f),
                                  constantEntry.elementCount);
    else
        Ogre::Renderable::_updateCustomGpuParameter(constantEntry, params);
}

const Ogre::LightList& TerrainRenderable::getLights() const
{
    static const Ogre::LightList none;
    return none;
}
