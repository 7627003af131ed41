#pragma once

// Shared fixtures of the engine-free tests: analytic height fields, cameras given by plain
// values, and a bounded update loop.

#include "lod/CameraState.h"
#include "lod/Landscape.h"

#include <OgreMath.h>

#include <cmath>
#include <functional>
#include <chrono>
#include <thread>

namespace testing_support
{

// Analytic height fields in world units, with their exact normals.
struct HeightField
{
    std::function<float(float, float)> height;
    std::function<Ogre::Vector3(float, float)> normal;
};

inline HeightField flatField(float level)
{
    return {[level](float, float) { return level; },
            [](float, float) { return Ogre::Vector3::UNIT_Y; }};
}

// y = a x + b z + c
inline HeightField tiltedPlane(float a, float b, float c)
{
    return {[=](float x, float z) { return a * x + b * z + c; },
            [=](float, float) { return Ogre::Vector3(-a, 1.0f, -b).normalisedCopy(); }};
}

// y = amplitude * (sin(x / wavelength) + cos(z / wavelength)) + base
inline HeightField sineHills(float amplitude, float wavelength, float base)
{
    return {[=](float x, float z) {
                return amplitude * (std::sin(x / wavelength) + std::cos(z / wavelength)) + base;
            },
            [=](float x, float z) {
                const float dx = amplitude * std::cos(x / wavelength) / wavelength;
                const float dz = -amplitude * std::sin(z / wavelength) / wavelength;
                return Ogre::Vector3(-dx, 1.0f, -dz).normalisedCopy();
            }};
}

inline Landscape::HeightFunction heightFunction(const HeightField& field)
{
    auto height = field.height;
    return [height](const Ogre::Vector3& p, int) { return height(p.x, p.z); };
}

// A perspective camera at eye looking at target: vertical field of view fovY (degrees), aspect
// ratio width / height, viewport height in pixels. Planes in the engine's order (near, far,
// left, right, top, bottom), normals pointing inwards.
inline CameraState lookAt(const Ogre::Vector3& eye, const Ogre::Vector3& target, float fovY = 60.0f,
                          float aspect = 4.0f / 3.0f, float viewportHeight = 768.0f,
                          float nearDistance = 1.0f, float farDistance = 100000.0f)
{
    const Ogre::Vector3 forward = (target - eye).normalisedCopy();
    Ogre::Vector3 right = forward.crossProduct(Ogre::Vector3::UNIT_Y);
    if (right.squaredLength() < 1e-8f)
        right = Ogre::Vector3::UNIT_X;
    right.normalise();
    const Ogre::Vector3 up = right.crossProduct(forward);
    const float tanY = std::tan(Ogre::Math::DegreesToRadians(fovY) * 0.5f);
    const float tanX = tanY * aspect;
    Ogre::Plane planes[6];
    planes[0] = Ogre::Plane(forward, eye + forward * nearDistance);
    planes[1] = Ogre::Plane(-forward, eye + forward * farDistance);
    // Each side plane holds the eye and one frustum edge; its normal leans towards the view axis.
    planes[2] = Ogre::Plane((right + forward * tanX).normalisedCopy(), eye);
    planes[3] = Ogre::Plane((-right + forward * tanX).normalisedCopy(), eye);
    planes[4] = Ogre::Plane((-up + forward * tanY).normalisedCopy(), eye);
    planes[5] = Ogre::Plane((up + forward * tanY).normalisedCopy(), eye);
    return CameraState(eye, viewportHeight / tanY, planes);
}

// Runs updates until no build is pending and one more update posts none, at most maxUpdates.
// Returns the number of updates run, or -1 when the bound was hit.
inline int pumpUntilIdle(Landscape& landscape, const CameraState& camera, int maxUpdates = 20000)
{
    for (int updates = 1; updates <= maxUpdates; ++updates)
    {
        landscape.update(camera);
        if (landscape.pendingBuilds == 0 && landscape.root)
        {
            landscape.update(camera);
            if (landscape.pendingBuilds == 0)
                return updates + 1;
        }
        // Give the build thread the core while builds are pending.
        if (landscape.pendingBuilds != 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return -1;
}

} // namespace testing_support
