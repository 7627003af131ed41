#include "lod/CameraState.h"

CameraState::CameraState(const Ogre::Vector3& position_, float pixelScale_,
                         const Ogre::Plane (&planes_)[6])
    : position(position_), pixelScale(pixelScale_)
{
    for (int i = 0; i < 6; ++i)
        planes[i] = planes_[i];
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
