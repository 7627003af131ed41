#pragma once

// The exceptions a Terrain throws at its public boundary, each with its description and source.
// A host catches them by the engine's exception classes (Ogre::InvalidStateException,
// Ogre::ItemIdentityException, ...); each carries the file and line of the throw.
enum class TerrainError
{
    PatchSizeNotPowerOfTwo,  // InvalidStateException "setPatchSize() must be a power of 2"
    ScaleNotSet,             // InvalidStateException: openStream before setTerrainScale
    DefaultMaterialNotFound, // ItemIdentityException "Default terrain material not found"
    BloodMaterialNotFound,   // ItemIdentityException "Terrain blood material"
    MaterialMissing,         // ItemIdentityException "Terrain material missing"
    InvalidScale,            // InvalidParametersException: a size or height that is not > 0
    InvalidDetail,           // InvalidParametersException: a NaN or negative threshold or distance
    InvalidMaterialDistance, // InvalidParametersException: a NaN material distance
};

// Throws the engine's exception for error, naming the caller's file and line.
[[noreturn]] void throwTerrainError(TerrainError error, const char* file = __builtin_FILE(),
                                    int line = __builtin_LINE());
