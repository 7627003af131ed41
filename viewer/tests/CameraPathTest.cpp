#include "CameraPath.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{
constexpr float kSize = 20480.0f;

// Rolling hills with a few sharp peaks, highest value over a square of `radius`, as the viewer's
// ground function answers (sampled on a 10-unit grid).
float hills(float x, float z)
{
    return 600.0f + 400.0f * std::sin(x * 0.0011f) * std::cos(z * 0.0007f) +
           900.0f * std::exp(-((x - 1500.0f) * (x - 1500.0f) + (z - 2000.0f) * (z - 2000.0f)) / 40000.0f);
}

float highestHill(float x, float z, float radius)
{
    float highest = 0.0f;
    for (float dz = -radius; dz <= radius; dz += 10.0f)
        for (float dx = -radius; dx <= radius; dx += 10.0f)
            highest = std::max(highest, hills(x + dx, z + dz));
    return highest;
}

float lowestClearance()
{
    float lowest = 1e9f;
    for (const CameraKey& key : CameraPath::defaultKeys())
        lowest = std::min(lowest, key.clearance);
    return lowest;
}
} // namespace

TEST(CameraPath, StartsAndEndsOnItsKeys)
{
    const std::vector<CameraKey> keys = CameraPath::defaultKeys();
    const CameraPath path(keys, kSize, nullptr);
    const CameraPose first = path.at(0.0);
    const CameraPose last = path.at(1.0);
    EXPECT_NEAR(first.x, keys.front().x * kSize, 1e-2);
    EXPECT_NEAR(first.z, keys.front().z * kSize, 1e-2);
    EXPECT_NEAR(first.y, keys.front().clearance, 1e-2); // flat ground at 0
    EXPECT_NEAR(last.x, keys.back().x * kSize, 1e-2);
    EXPECT_NEAR(last.z, keys.back().z * kSize, 1e-2);
    EXPECT_NEAR(last.pitch, keys.back().pitchDegrees * M_PI / 180.0, 1e-5);
    // Fractions outside 0 .. 1 hold the ends.
    EXPECT_FLOAT_EQ(path.at(-3.0).x, first.x);
    EXPECT_FLOAT_EQ(path.at(7.0).z, last.z);
}

TEST(CameraPath, StaysAboveTheGroundEverywhere)
{
    const CameraPath path(CameraPath::defaultKeys(), kSize, highestHill);
    const float clearance = lowestClearance();
    for (int i = 0; i <= 4000; ++i)
    {
        const CameraPose pose = path.at(i / 4000.0);
        ASSERT_GE(pose.y - hills(pose.x, pose.z), clearance * 0.99f) << "at fraction " << i / 4000.0;
    }
}

TEST(CameraPath, FliesAtAnEvenSpeed)
{
    const CameraPath path(CameraPath::defaultKeys(), kSize, nullptr);
    const int steps = 500;
    const double expected = path.length() / steps;
    for (int i = 0; i < steps; ++i)
    {
        const CameraPose a = path.at(double(i) / steps);
        const CameraPose b = path.at(double(i + 1) / steps);
        EXPECT_NEAR(std::hypot(b.x - a.x, b.z - a.z), expected, expected * 0.05) << "step " << i;
    }
}

TEST(CameraPath, TurnsSmoothlyAndLooksAlongTheWay)
{
    const CameraPath path(CameraPath::defaultKeys(), kSize, nullptr);
    const int steps = 2000;
    for (int i = 0; i < steps; ++i)
    {
        const CameraPose a = path.at(double(i) / steps);
        const CameraPose b = path.at(double(i + 1) / steps);
        // Yaw changes little between neighbouring frames (wrapped to -pi .. pi).
        const double turn = std::remainder(double(b.yaw) - double(a.yaw), 2.0 * M_PI);
        EXPECT_LT(std::abs(turn), 0.05) << "step " << i;
        // The camera looks roughly where it goes: Ogre's camera looks along (-sin yaw, -cos yaw).
        const double moveX = b.x - a.x;
        const double moveZ = b.z - a.z;
        const double along = (-std::sin(a.yaw) * moveX - std::cos(a.yaw) * moveZ) / std::hypot(moveX, moveZ);
        EXPECT_GT(along, 0.9) << "step " << i;
    }
}

TEST(CameraPath, KeysStayInsideTheTerrainAndLookDown)
{
    for (const CameraKey& key : CameraPath::defaultKeys())
    {
        EXPECT_LT(std::abs(key.x), 0.45f);
        EXPECT_LT(std::abs(key.z), 0.45f);
        EXPECT_LT(key.pitchDegrees, 0.0f);
        EXPECT_GT(key.clearance, 0.0f);
    }
    // The last view looks down enough that the lower part of the picture shows ground, and not so
    // much that the sky leaves the picture (a 45 degree field of view).
    const CameraKey last = CameraPath::defaultKeys().back();
    EXPECT_LT(last.pitchDegrees, -5.0f);
    EXPECT_GT(last.pitchDegrees, -20.0f);
}
