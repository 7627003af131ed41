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
    // As the engine's plane test has it: an empty box lies on no side of any plane (so it counts
    // as inside), an infinite one on both sides of every plane.
    if (mask <= kInside || box.isInfinite())
        return mask;
    if (box.isNull())
        return kInside;
    return isVisible(box.getMinimum(), box.getMaximum(), mask);
}
