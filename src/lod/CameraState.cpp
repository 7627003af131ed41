#include "lod/CameraState.h"

#include <OgreCamera.h>
#include <OgreViewport.h>

CameraState::CameraState(const Ogre::Vector3& position_, float pixelScale_,
                         const Ogre::Plane (&planes_)[6])
    : position(position_), pixelScale(pixelScale_)
{
    for (int i = 0; i < 6; ++i)
        planes[i] = planes_[i];
}

bool CameraState::capture(const Ogre::Camera* source)
{
    if (!source)
        return false;
    camera = source;
    // This engine keeps no relative origin for its scene managers: positions are world positions.
    position = source->getDerivedPosition();
    const Ogre::Plane* frustum = source->getFrustumPlanes();
    for (int i = 0; i < 6; ++i)
        planes[i] = frustum[i];
    const Ogre::Viewport* viewport = source->getViewport();
    if (!viewport || viewport->getActualHeight() <= 0)
    {
        pixelScale = 0.0f;
        return false;
    }
    pixelScale = source->getProjectionMatrix()[1][1] * float(viewport->getActualHeight());
    return true;
}

int CameraState::isVisible(const Ogre::AxisAlignedBox& box, int mask) const
{
    if (mask <= kInside)
        return mask;
    for (int i = 0; i < 6; ++i)
    {
        const int bit = 2 << i;
        if (!(mask & bit))
            continue;
        switch (planes[i].getSide(box))
        {
        case Ogre::Plane::NEGATIVE_SIDE:
            return kOutside;
        case Ogre::Plane::BOTH_SIDE:
            break;
        default:
            mask &= ~bit;
            break;
        }
    }
    return mask ? mask : kInside;
}
