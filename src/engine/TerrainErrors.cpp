#include "engine/TerrainErrors.h"

#include <OgreException.h>

namespace
{
struct ErrorText
{
    Ogre::Exception::ExceptionCodes code;
    const char* description;
    const char* source;
};

ErrorText describe(TerrainError error)
{
    switch (error)
    {
    case TerrainError::PatchSizeNotPowerOfTwo:
        return {Ogre::Exception::ERR_INVALID_STATE, "setPatchSize() must be a power of 2", "Terrain"};
    case TerrainError::ScaleNotSet:
        return {Ogre::Exception::ERR_INVALID_STATE,
                "setTerrainScale() must be called before the stream is opened", "Terrain"};
    case TerrainError::DefaultMaterialNotFound:
        return {Ogre::Exception::ERR_ITEM_NOT_FOUND, "Default terrain material not found",
                "Terrain::setDefaultMaterial"};
    case TerrainError::BloodMaterialNotFound:
        return {Ogre::Exception::ERR_ITEM_NOT_FOUND, "Terrain blood material", "Terrain::setDefaultMaterial"};
    case TerrainError::InvalidScale:
        return {Ogre::Exception::ERR_INVALIDPARAMS,
                "setTerrainScale() needs a finite size and height greater than 0", "Terrain"};
    case TerrainError::InvalidDetail:
        return {Ogre::Exception::ERR_INVALIDPARAMS,
                "setDetailThreshold() needs thresholds and a distance of 0 or more", "Terrain"};
    case TerrainError::InvalidMaterialDistance:
        return {Ogre::Exception::ERR_INVALIDPARAMS, "setMaterialDistance() needs a number", "Terrain"};
    case TerrainError::MaterialMissing:
        break;
    }
    return {Ogre::Exception::ERR_ITEM_NOT_FOUND, "Terrain material missing", "Terrain::patchCreated"};
}
} // namespace

void throwTerrainError(TerrainError error, const char* file, int line)
{
    const ErrorText text = describe(error);
    Ogre::ExceptionFactory::throwException(text.code, text.description, text.source, file, line);
}
