// Camera snapshots: the plane-mask visibility test, and snapshots of real engine cameras.

#include "EngineSupport.h"
#include "engine/CameraCapture.h"

#include <gtest/gtest.h>

#include <random>

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

// The walks' test gives, for every box and mask, what the engine's own per-plane test gives:
// oblique planes of a real camera, boxes of every size and place, empty and infinite ones.
TEST(CameraState, MasksAgreeWithTheEnginesPlaneTests)
{
    Engine engine;
    Ogre::Camera* camera =
        engine.createCamera("eye", Ogre::Vector3(30, 80, -40), Ogre::Vector3(-20, 0, 60), 800, 600);
    CameraState state;
    ASSERT_TRUE(captureCamera(camera, state));
    std::mt19937 random(3);
    std::uniform_real_distribution<float> place(-300, 300), size(0, 120);
    std::uniform_int_distribution<int> masks(0, CameraState::kAllPlanes);
    int straddling = 0;
    for (int k = 0; k < 20000; ++k)
    {
        Ogre::AxisAlignedBox box;
        if (k % 500 == 1)
            box.setInfinite();
        else if (k % 500 != 2)
        {
            const Ogre::Vector3 low(place(random), place(random), place(random));
            box.setExtents(low, low + Ogre::Vector3(size(random), size(random), size(random)));
        }
        const int mask = k % 3 == 0 ? CameraState::kAllPlanes : masks(random);
        int expected = mask;
        if (mask > CameraState::kInside)
        {
            bool outside = false;
            for (int i = 0; i < 6; ++i)
            {
                const int bit = 2 << i;
                if (!(mask & bit))
                    continue;
                const Ogre::Plane::Side side = state.planes[i].getSide(box);
                outside = outside || side == Ogre::Plane::NEGATIVE_SIDE;
                if (side != Ogre::Plane::BOTH_SIDE)
                    expected &= ~bit;
            }
            expected = outside ? CameraState::kOutside : expected != 0 ? expected : CameraState::kInside;
        }
        ASSERT_EQ(state.isVisible(box, mask), expected) << "box " << box << " mask " << mask;
        straddling += expected > CameraState::kInside;
    }
    EXPECT_GT(straddling, 1000) << "boxes across the frustum's planes were tried";
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
