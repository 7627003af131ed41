#include "engine/TerrainDecal.h"

#include "engine/TerrainRenderable.h"

#include <OgreMaterial.h>
#include <OgreMaterialManager.h>
#include <OgrePass.h>
#include <OgreStringConverter.h>
#include <OgreTechnique.h>
#include <OgreTextureUnitState.h>

uint32_t TerrainDecal::decalCounter = 0;

TerrainDecal::TerrainDecal(const Ogre::MaterialPtr& bloodMaterial)
{
    decalCounter += 1;
    material = bloodMaterial->clone(bloodMaterial->getName() + Ogre::StringConverter::toString(decalCounter));
}

TerrainDecal::~TerrainDecal()
{
    if (material)
        Ogre::MaterialManager::getSingleton().remove(material);
    material.reset();
}

void TerrainDecal::attach(uint32_t patchId_, TerrainRenderable* source_)
{
    patchId = patchId_;
    source = source_;
}

void TerrainDecal::setTexture(const Ogre::TexturePtr& texture)
{
    Ogre::Technique* technique = material->getNumTechniques() ? material->getTechnique(0) : nullptr;
    Ogre::Pass* pass = technique && technique->getNumPasses() ? technique->getPass(0) : nullptr;
    if (!pass)
        return;
    Ogre::TextureUnitState* unit = pass->getNumTextureUnitStates() ? pass->getTextureUnitState(0)
                                                                   : pass->createTextureUnitState();
    if (unit->_getTexturePtr() == texture)
        return;
    if (texture)
        unit->setTexture(texture);
    else
        unit->setBlank();
}

void TerrainDecal::getRenderOperation(Ogre::RenderOperation& op)
{
    source->getRenderOperation(op);
}

void TerrainDecal::getWorldTransforms(Ogre::Matrix4* xform) const
{
    source->getWorldTransforms(xform);
}

Ogre::Real TerrainDecal::getSquaredViewDepth(const Ogre::Camera* camera) const
{
    return source->getSquaredViewDepth(camera);
}

const Ogre::LightList& TerrainDecal::getLights() const
{
    return source->getLights();
}

void TerrainDecal::_updateCustomGpuParameter(const Ogre::GpuProgramParameters::AutoConstantEntry& constantEntry,
                                             Ogre::GpuProgramParameters* params) const
{
    if (source && !hasCustomParameter(constantEntry.data))
        source->_updateCustomGpuParameter(constantEntry, params);
    else
        Ogre::Renderable::_updateCustomGpuParameter(constantEntry, params);
}
