#pragma once

// The scripted flight over the terrain: a smooth curve through key points, flown at
// an even speed, kept a set clearance above the highest ground near it, looking along the way.

#include <functional>
#include <vector>

// One key point. x and z are fractions of the terrain's edge from its centre (-0.5 .. 0.5), so
// one script fits any terrain size; clearance is in world units above the ground; pitch in
// degrees (negative looks down).
struct CameraKey
{
    float x;
    float z;
    float clearance;
    float pitchDegrees;
};

// Where the camera is and where it looks. World units; yaw in radians about +y, 0 looking along
// -z (Ogre's camera convention), positive turning left; pitch in radians, negative looking down.
struct CameraPose
{
    float x = 0;
    float y = 0;
    float z = 0;
    float yaw = 0;
    float pitch = 0;
};

class CameraPath
{
public:
    // Highest world height of the ground within about `radius` world units of (x, z).
    using GroundFunction = std::function<float(float x, float z, float radius)>;

    // [in] keys: at least two. [in] terrainSize: world edge length. [in] ground: the terrain's
    // heights (may be empty: flat ground at 0). samples: points along the curve at which the
    // ground is sampled and the distance table is kept.
    CameraPath(std::vector<CameraKey> keys, float terrainSize, const GroundFunction& ground,
               int samples = 1024);

    // The viewer's flight: starts high, dives into low passes over valleys, climbs over the
    // ridges, turns, and ends looking across the terrain from above (sky in the upper part of
    // the picture, ground filling the lower part).
    static std::vector<CameraKey> defaultKeys();

    // The pose at `fraction` (0 .. 1, clamped) of the path's length.
    CameraPose at(double fraction) const;
    // Length of the path over the ground (x, z), world units.
    double length() const { return distances.back(); }

private:
    // Position on the key curve (Catmull-Rom through the keys) at parameter u in [0, keys - 1],
    // in world x, z; clearance and pitch interpolated alike.
    void curve(double u, float& x, float& z, float& clearance, float& pitch) const;
    // Parameter u at the given distance along the path.
    double parameterAt(double distance) const;
    // Smoothed ground height under the path at parameter u.
    float groundAt(double u) const;

    std::vector<CameraKey> keys;
    float terrainSize;
    std::vector<double> parameters; // u of each sample, evenly spaced
    std::vector<double> distances;  // distance along the path at each sample
    std::vector<float> grounds;     // smoothed highest ground at each sample
};
