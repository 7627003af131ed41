#pragma once

#include <OgreAxisAlignedBox.h>
#include <OgrePlane.h>
#include <OgreVector.h>

#include <cmath>

namespace Ogre
{
class Camera;
}

// What the level-of-detail engine needs of one camera: where it stands, how many pixels one
// world unit at distance 1 covers on screen, and its view frustum, all in world coordinates.
// Made on the render thread, from an engine camera (captureCamera, in the engine's files) or from
// plain values; the Landscape reads a state only within the call that receives it.
class CameraState
{
public:
    CameraState() = default;
    // A camera given by plain values: for driving the engine without a render system.
    CameraState(const Ogre::Vector3& position, float pixelScale, const Ogre::Plane (&planes)[6]);

    // Plane masks: bit (2 << i) stands for plane i (i = 0 .. 5), so 126 tests all six planes;
    // 1 means entirely inside (nothing left to test) and 0 outside.
    static constexpr int kAllPlanes = 126;
    static constexpr int kInside = 1;
    static constexpr int kOutside = 0;
    // Tests box against the planes named in mask; returns 0 when the box is outside one of them,
    // else the mask of the planes it straddles, or 1 when there is none. Masks of 1 or less come
    // back unchanged. A quadtree walk passes each node's result down to its children.
    int isVisible(const Ogre::AxisAlignedBox& box, int mask) const;
    // The same for a finite, non-empty box given by its corners, with the engine's plane test's
    // arithmetic: the per-frame walks test every node in view, and the engine's box would be
    // copied and checked for being empty or infinite once per plane.
    [[gnu::always_inline]] int isVisible(const Ogre::Vector3& minimum, const Ogre::Vector3& maximum, int mask) const
    {
        if (mask <= kInside)
            return mask;
        // Component by component: the engine's vector operators go through memory one float at
        // a time, and reading the result back whole then stalls.
        const float cx = (maximum.x + minimum.x) * 0.5f;
        const float cy = (maximum.y + minimum.y) * 0.5f;
        const float cz = (maximum.z + minimum.z) * 0.5f;
        const float hx = (maximum.x - minimum.x) * 0.5f;
        const float hy = (maximum.y - minimum.y) * 0.5f;
        const float hz = (maximum.z - minimum.z) * 0.5f;
        for (int i = 0; i < 6; ++i)
        {
            const int bit = 2 << i;
            if (!(mask & bit))
                continue;
            const Ogre::Vector3& n = planes[i].normal;
            const float distance = n.x * cx + n.y * cy + n.z * cz + planes[i].d;
            const float reach = std::abs(n.x * hx) + std::abs(n.y * hy) + std::abs(n.z * hz);
            if (distance < -reach)
                return kOutside;
            if (distance > reach)
                mask &= ~bit;
        }
        return mask ? mask : kInside;
    }

    const Ogre::Camera* camera = nullptr;          // the camera it was taken from, if any
    Ogre::Vector3 position = Ogre::Vector3::ZERO; // world position of the eye
    float pixelScale = 0;   // projection [1][1] x viewport height in pixels
    Ogre::Plane planes[6];  // frustum planes, the engine's order, world space, normals inwards
};
