#include "engine/CameraCapture.h"

#include <OgreCamera.h>
#include <OgreViewport.h>

bool captureCamera(const Ogre::Camera* source, CameraState& state)
{
    if (!source)
        return false;
    state.camera = source;
    // This engine keeps no relative origin for its scene managers: positions are world positions.
    state.position = source->getDerivedPosition();
    const Ogre::Plane* frustum = source->getFrustumPlanes();
    for (int i = 0; i < 6; ++i)
        state.planes[i] = frustum[i];
    const Ogre::Viewport* viewport = source->getViewport();
    if (!viewport || viewport->getActualHeight() <= 0)
    {
        state.pixelScale = 0.0f;
        return false;
    }
    state.pixelScale = source->getProjectionMatrix()[1][1] * float(viewport->getActualHeight());
    return true;
}

void CameraWatch::watch(const Ogre::Camera* camera)
{
    // The listener interface takes a non-const camera; it only keeps the pointer.
    if (watched)
        watched->removeListener(this);
    watched = const_cast<Ogre::Camera*>(camera);
    if (watched)
        watched->addListener(this);
}

void CameraWatch::cameraDestroyed(Ogre::Camera* camera)
{
    if (camera != watched)
        return;
    // The camera removes its listeners itself as it goes.
    watched = nullptr;
    destroyed(camera);
}
