#pragma once

// Shared fixtures of the engine-free tests of the level-of-detail engine: analytic height
// fields, cameras given by plain values, a bounded update loop, and an independent reading of
// patch strips.

#include "../../tools/PumpUntilIdle.h"
#include "LandscapeTestView.h"
#include "lod/CameraState.h"
#include "lod/Landscape.h"

#include <OgreMath.h>

#include <cmath>
#include <functional>
#include <set>
#include <utility>
#include <vector>

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

inline HeightFunction heightFunction(const HeightField& field)
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

// Updates until the tree has settled for the camera (tools/PumpUntilIdle.h): no build pending
// and no detached node waiting to be freed. Returns the number of updates.
inline int settle(Landscape& landscape, const CameraState& camera, int maxUpdates = 20000)
{
    return pumpUntilIdle([&] { landscape.update(camera); }, [&] { return isSettled(landscape); }, maxUpdates);
}

// ---- an independent reading of a patch's strip ----

struct Triangle
{
    uint16_t a, b, c;
};

// The strip's non-degenerate triangles, reordered so that every one winds as the first does.
inline std::vector<Triangle> stripTriangles(const PatchGeometry& patch)
{
    std::vector<Triangle> triangles;
    for (size_t p = 0; p + 2 < patch.indexCount; ++p)
    {
        Triangle t{patch.indices[p], patch.indices[p + 1], patch.indices[p + 2]};
        if (t.a == t.b || t.b == t.c || t.a == t.c)
            continue;
        if (p % 2)
            std::swap(t.a, t.b);
        triangles.push_back(t);
    }
    return triangles;
}

// Positions t (0 .. n - 1) along one side of a patch of n vertices per edge whose vertex its
// strip's triangles use, in order.
inline std::vector<int> edgeVerticesUsed(const PatchGeometry& patch, int n, int side)
{
    std::set<int> used;
    for (const Triangle& t : stripTriangles(patch))
        for (int v : {t.a, t.b, t.c})
        {
            const int i = v % n, j = v / n;
            if ((side == 0 && i == 0) || (side == 1 && i == n - 1))
                used.insert(j);
            if ((side == 2 && j == 0) || (side == 3 && j == n - 1))
                used.insert(i);
        }
    return {used.begin(), used.end()};
}

} // namespace testing_support
