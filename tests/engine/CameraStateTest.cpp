// Camera snapshots: the plane-mask visibility test, and snapshots of real engine cameras.

#include "EngineSupport.h"
#include "engine/CameraCapture.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{
// Six planes of the box (-10..10)^3, normals inwards, in the engine's plane order.
CameraState boxCamera()
{
    Ogre::Plane planes[6] = {
        Ogre::Plane(Ogre::Vector3::UNIT_X, -10.0f),  Ogre::Plane(-Ogre::Vector3::UNIT_X, -10.0f),
        Ogre::Plane(Ogre::Vector3::UNIT_Y, -10.0f),  Ogre::Plane(-Ogre::Vector3::UNIT_Y, -10.0f),
        Ogre::Plane(Ogre::Vector3::UNIT_Z, -10.0f),  Ogre::Plane(-Ogre::Vector3::UNIT_Z, -10.0f),
    };
    return CameraState(Ogre::Vector3::ZERO, 1000.0f, planes);
}
} // namespace

TEST(CameraState, PlaneMasksNarrowDownTheTestsForChildren)
{
    const CameraState camera = boxCamera();
    const Ogre::AxisAlignedBox inside(-1, -1, -1, 1, 1, 1);
    const Ogre::AxisAlignedBox outsideX(20, -1, -1, 30, 1, 1);
    // Straddles plane 0 (x = -10) and plane 3 (y = 10) only.
    const Ogre::AxisAlignedBox corner(-12, 5, -1, -8, 12, 1);
    EXPECT_EQ(camera.isVisible(inside, CameraState::kAllPlanes), CameraState::kInside);
    EXPECT_EQ(camera.isVisible(outsideX, CameraState::kAllPlanes), CameraState::kOutside);
    EXPECT_EQ(camera.isVisible(corner, CameraState::kAllPlanes), 2 + 16);
    // Masks of 1 or less come back untested.
    EXPECT_EQ(camera.isVisible(outsideX, CameraState::kInside), CameraState::kInside);
    EXPECT_EQ(camera.isVisible(inside, CameraState::kOutside), CameraState::kOutside);
    // A child tested with mask 18 consults planes 0 and 3 alone: a box outside plane 1 passes.
    const Ogre::AxisAlignedBox outsideOtherPlane(11, 5, -1, 12, 12, 1);
    EXPECT_EQ(camera.isVisible(outsideOtherPlane, 2 + 16), 16);
    EXPECT_EQ(camera.isVisible(Ogre::AxisAlignedBox(-11, -1, -1, -9, 1, 1), 2 + 16), 2);
    EXPECT_EQ(camera.isVisible(Ogre::AxisAlignedBox(-20, -1, -1, -15, 1, 1), 2 + 16), 0);
}

TEST(CameraState, SnapshotOfAnEngineCamera)
{
    Engine engine;
    Ogre::Camera* camera =
        engine.createCamera("eye", Ogre::Vector3(10, 50, -30), Ogre::Vector3(10, 0, 100), 800, 600);
    CameraState state;
    ASSERT_TRUE(captureCamera(camera, state));
    EXPECT_EQ(state.camera, camera);
    EXPECT_EQ(state.position, Ogre::Vector3(10, 50, -30));
    EXPECT_FLOAT_EQ(state.pixelScale, camera->getProjectionMatrix()[1][1] * 600.0f);
    // Points in front of the camera are inside every plane, points behind it are not.
    const Ogre::AxisAlignedBox ahead(5, 20, 40, 15, 30, 50);
    const Ogre::AxisAlignedBox behind(5, 20, -80, 15, 30, -70);
    EXPECT_EQ(state.isVisible(ahead, CameraState::kAllPlanes), CameraState::kInside);
    EXPECT_EQ(state.isVisible(behind, CameraState::kAllPlanes), CameraState::kOutside);
    // The same answers as the engine's own frustum test.
    EXPECT_TRUE(camera->isVisible(ahead));
    EXPECT_FALSE(camera->isVisible(behind));

    // A camera that has never had a viewport gives a state for visibility only.
    Ogre::Camera* loose = engine.scene->createCamera("loose");
    engine.scene->getRootSceneNode()->createChildSceneNode()->attachObject(loose);
    CameraState looseState;
    EXPECT_FALSE(captureCamera(loose, looseState));
    EXPECT_EQ(looseState.pixelScale, 0.0f);
}
