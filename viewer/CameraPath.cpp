#include "CameraPath.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace
{
// Catmull-Rom interpolation of p1 .. p2 with neighbours p0 and p3, t in [0, 1].
double catmullRom(double p0, double p1, double p2, double p3, double t)
{
    const double t2 = t * t;
    const double t3 = t2 * t;
    return 0.5 * (2.0 * p1 + (p2 - p0) * t + (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3) * t2 +
                  (3.0 * p1 - p0 - 3.0 * p2 + p3) * t3);
}

// Ground is sampled this far around each point of the path (world units), and the path looks
// ahead and behind by about this much when it climbs over a ridge.
constexpr float kGroundRadius = 120.0f;
constexpr double kRidgeLookahead = 600.0;
// Distance along the path between the camera and the point it looks past, for the heading.
constexpr double kHeadingLookahead = 150.0;
} // namespace

CameraPath::CameraPath(std::vector<CameraKey> keys_, float terrainSize_, const GroundFunction& ground,
                       int samples)
    : keys(std::move(keys_)), terrainSize(terrainSize_)
{
    assert(keys.size() >= 2 && samples >= 2);
    const double last = double(keys.size() - 1);
    parameters.resize(size_t(samples));
    distances.resize(size_t(samples));
    std::vector<float> raw(static_cast<size_t>(samples));
    float previousX = 0;
    float previousZ = 0;
    for (int i = 0; i < samples; ++i)
    {
        const double u = last * double(i) / double(samples - 1);
        float x, z, clearance, pitch;
        curve(u, x, z, clearance, pitch);
        parameters[size_t(i)] = u;
        distances[size_t(i)] = i == 0 ? 0.0 : distances[size_t(i) - 1] + std::hypot(x - previousX, z - previousZ);
        raw[size_t(i)] = ground ? ground(x, z, kGroundRadius) : 0.0f;
        previousX = x;
        previousZ = z;
    }

    // Highest ground within the look-ahead window, then a moving average over half of it: each
    // averaged window lies inside the window of every maximum it averages, so the result never
    // falls below the ground at its own sample, while climbs start before the ridge arrives.
    std::vector<float> highest(raw.size());
    size_t begin = 0;
    size_t end = 0;
    for (size_t i = 0; i < raw.size(); ++i)
    {
        while (distances[i] - distances[begin] > kRidgeLookahead)
            ++begin;
        while (end + 1 < raw.size() && distances[end + 1] - distances[i] <= kRidgeLookahead)
            ++end;
        highest[i] = *std::max_element(raw.begin() + long(begin), raw.begin() + long(end) + 1);
    }
    grounds.resize(raw.size());
    begin = 0;
    end = 0;
    double sum = 0;
    size_t count = 0;
    for (size_t i = 0; i < raw.size(); ++i)
    {
        while (end < raw.size() && distances[end] - distances[i] <= kRidgeLookahead * 0.5)
        {
            sum += highest[end++];
            ++count;
        }
        while (distances[i] - distances[begin] > kRidgeLookahead * 0.5)
        {
            sum -= highest[begin++];
            --count;
        }
        grounds[i] = float(sum / double(count));
    }
}

std::vector<CameraKey> CameraPath::defaultKeys()
{
    return {
        {0.30f, 0.32f, 1500.0f, -24.0f},  // high above a corner, the land ahead
        {0.18f, 0.18f, 600.0f, -15.0f},   // diving
        {0.02f, 0.10f, 100.0f, -6.0f},    // low pass over the valleys
        {-0.12f, 0.14f, 90.0f, -5.0f},
        {-0.24f, 0.02f, 250.0f, -8.0f},   // over a ridge
        {-0.26f, -0.16f, 1000.0f, -20.0f}, // climbing
        {-0.10f, -0.30f, 1400.0f, -25.0f}, // turning high
        {0.10f, -0.28f, 350.0f, -10.0f},  // down again
        {0.24f, -0.14f, 100.0f, -5.0f},   // second low pass
        {0.20f, 0.06f, 400.0f, -9.0f},    // rising
        {0.02f, 0.26f, 800.0f, -12.0f},   // turning west
        {-0.16f, 0.36f, 900.0f, -12.0f},
        {-0.34f, 0.38f, 900.0f, -12.0f},
        {-0.42f, 0.28f, 900.0f, -9.0f},   // swinging round the corner
        {-0.33f, 0.18f, 900.0f, -7.0f},   // the last view: across the land from its corner
    };
}

void CameraPath::curve(double u, float& x, float& z, float& clearance, float& pitch) const
{
    const int last = int(keys.size()) - 1;
    u = std::clamp(u, 0.0, double(last));
    const int i = std::min(int(u), last - 1);
    const double t = u - double(i);
    // The ends repeat their key, so the curve starts and stops exactly on them.
    const CameraKey& k0 = keys[size_t(std::max(i - 1, 0))];
    const CameraKey& k1 = keys[size_t(i)];
    const CameraKey& k2 = keys[size_t(i + 1)];
    const CameraKey& k3 = keys[size_t(std::min(i + 2, last))];
    x = float(catmullRom(k0.x, k1.x, k2.x, k3.x, t)) * terrainSize;
    z = float(catmullRom(k0.z, k1.z, k2.z, k3.z, t)) * terrainSize;
    // Smooth but not overshooting: clearance and pitch blend between their two keys.
    const double s = t * t * (3.0 - 2.0 * t);
    clearance = float(k1.clearance + (k2.clearance - k1.clearance) * s);
    pitch = float(k1.pitchDegrees + (k2.pitchDegrees - k1.pitchDegrees) * s);
}

double CameraPath::parameterAt(double distance) const
{
    distance = std::clamp(distance, 0.0, distances.back());
    const auto it = std::lower_bound(distances.begin(), distances.end(), distance);
    const size_t i = size_t(std::max<std::ptrdiff_t>(it - distances.begin(), 1));
    const double span = distances[i] - distances[i - 1];
    const double t = span > 0.0 ? (distance - distances[i - 1]) / span : 0.0;
    return parameters[i - 1] + (parameters[i] - parameters[i - 1]) * t;
}

float CameraPath::groundAt(double u) const
{
    const double position = u / parameters.back() * double(grounds.size() - 1);
    const size_t i = std::min(size_t(position), grounds.size() - 2);
    const double t = std::clamp(position - double(i), 0.0, 1.0);
    return float(grounds[i] + (grounds[i + 1] - grounds[i]) * t);
}

CameraPose CameraPath::at(double fraction) const
{
    const double distance = std::clamp(fraction, 0.0, 1.0) * length();
    const double u = parameterAt(distance);
    CameraPose pose;
    float clearance, pitch;
    curve(u, pose.x, pose.z, clearance, pitch);
    pose.y = groundAt(u) + clearance;
    pose.pitch = pitch * float(M_PI / 180.0);

    // Heading: from a point a little behind to one a little ahead, so the end keeps its turn.
    float aheadX, aheadZ, behindX, behindZ, unused;
    curve(parameterAt(distance + kHeadingLookahead), aheadX, aheadZ, unused, unused);
    curve(parameterAt(distance - kHeadingLookahead), behindX, behindZ, unused, unused);
    pose.yaw = std::atan2(-(aheadX - behindX), -(aheadZ - behindZ));
    return pose;
}
