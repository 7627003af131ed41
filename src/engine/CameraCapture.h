#pragma once

#include "lod/CameraState.h"

#include <OgreCamera.h>

#include <functional>

// Takes a snapshot of an engine camera into state (render thread). Returns false when the
// camera has not been rendered through a viewport yet: the position and planes are taken, but
// without a viewport there is no pixel scale (it becomes 0), so the state serves visibility
// tests only. A null camera changes nothing and returns false.
bool captureCamera(const Ogre::Camera* camera, CameraState& state);

// Watches one camera at a time and reports when the engine destroys it, so that whoever keeps
// the camera's pointer can forget it instead of reading freed memory. Render thread.
class CameraWatch : public Ogre::Camera::Listener
{
public:
    explicit CameraWatch(std::function<void(Ogre::Camera*)> destroyed_) : destroyed(std::move(destroyed_)) {}
    CameraWatch(const CameraWatch&) = delete;
    CameraWatch& operator=(const CameraWatch&) = delete;
    ~CameraWatch() override { watch(nullptr); }

    // Stops watching the previous camera, then watches camera (may be null).
    void watch(const Ogre::Camera* camera);
    void cameraDestroyed(Ogre::Camera* camera) override;

private:
    std::function<void(Ogre::Camera*)> destroyed;
    Ogre::Camera* watched = nullptr;
};
