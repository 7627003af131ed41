// The level-of-detail engine on a 4097 x 4097 fractal map of 8192 units: the render thread's cost
// of one update plus one camera notification with about 1,000 drawn patches, the height and ray
// queries on the converged tree (each beside a baseline on the map held as a float array), and
// how long the tree takes to converge after a teleport.

#include "../tests/lod/LandscapeTestView.h"
#include "../tools/FractalHeightmap.h"
#include "../tools/PumpUntilIdle.h"
#include "lod/CameraState.h"
#include "lod/Landscape.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

namespace
{
constexpr int kEdge = 4097;
constexpr float kSize = 8192.0f;
constexpr float kHeight = 1000.0f;

const std::vector<float>& heights()
{
    static const std::vector<float> map = [] {
        const std::vector<uint16_t> samples = FractalHeightmap::generate(kEdge, 5, 0.5f);
        std::vector<float> h(samples.size());
        for (size_t k = 0; k < h.size(); ++k)
            h[k] = float(samples[k]) * (kHeight / 65535.0f);
        return h;
    }();
    return map;
}

float mapHeight(const Ogre::Vector3& p, int)
{
    const float sx = (p.x + kSize / 2) * (float(kEdge - 1) / kSize);
    const float sz = (p.z + kSize / 2) * (float(kEdge - 1) / kSize);
    if (!(sx > -1.0f && sz > -1.0f && sx < float(kEdge) && sz < float(kEdge)))
        return 0.0f;
    return heights()[size_t(int(sz)) * kEdge + size_t(int(sx))];
}

// A camera at eye looking at target, 60 degrees high, 1280 x 720 pixels.
CameraState camera(const Ogre::Vector3& eye, const Ogre::Vector3& target)
{
    const Ogre::Vector3 forward = (target - eye).normalisedCopy();
    const Ogre::Vector3 right = forward.crossProduct(Ogre::Vector3::UNIT_Y).normalisedCopy();
    const Ogre::Vector3 up = right.crossProduct(forward);
    const float tanY = std::tan(Ogre::Math::DegreesToRadians(30.0f));
    const float tanX = tanY * 16.0f / 9.0f;
    Ogre::Plane planes[6] = {
        Ogre::Plane(forward, eye + forward),
        Ogre::Plane(-forward, eye + forward * 100000.0f),
        Ogre::Plane((right + forward * tanX).normalisedCopy(), eye),
        Ogre::Plane((-right + forward * tanX).normalisedCopy(), eye),
        Ogre::Plane((-up + forward * tanY).normalisedCopy(), eye),
        Ogre::Plane((up + forward * tanY).normalisedCopy(), eye),
    };
    return CameraState(eye, 720.0f / tanY, planes);
}

// Updates until no build is pending; returns the number of updates.
int converge(Landscape& landscape, const CameraState& view)
{
    return pumpUntilIdle([&] { landscape.update(view); }, [&] { return landscape.pendingBuilds() == 0; });
}

struct ConvergedLandscape
{
    Landscape landscape{kSize, Ogre::Vector3(-kSize / 2, 0, -kSize / 2)};
    CameraState view = camera(Ogre::Vector3(-1500, 600, -1500), Ogre::Vector3(0, 200, 0));

    ConvergedLandscape()
    {
        landscape.setPatchSize(32);
        landscape.setLevelLimits(4, 7); // as a terrain on this map: one quad per sample at level 7
        landscape.setDetailThreshold(3.0f); // a demanding setting: about 1,000 drawn patches
        landscape.setHeightFunction(&mapHeight);
        landscape.start();
        converge(landscape, view);
    }
    ~ConvergedLandscape() { landscape.stop(true); }

    size_t drawn() const { return testing_support::drawnLeaves(landscape).size(); }
};

ConvergedLandscape& converged()
{
    static ConvergedLandscape instance;
    return instance;
}

void BM_UpdateAndNotify(benchmark::State& state)
{
    ConvergedLandscape& c = converged();
    for (auto _ : state)
    {
        c.landscape.update(c.view);
        benchmark::DoNotOptimize(c.landscape.notifyCamera(c.view));
    }
    state.counters["drawn"] = double(c.drawn());
    state.counters["visible"] = double(c.landscape.getVisiblePatches().size());
}
BENCHMARK(BM_UpdateAndNotify)->Unit(benchmark::kMicrosecond);

// Random (x, z) points over the map, the same for a query and its baseline: a million of them,
// so that, as with a game's scattered queries, few find the patch they read in the cache.
constexpr size_t kQueryPoints = size_t(1) << 20;
std::vector<Ogre::Vector2> queryPoints()
{
    std::mt19937 random(3);
    std::uniform_real_distribution<float> across(-4000.0f, 4000.0f);
    std::vector<Ogre::Vector2> points(kQueryPoints);
    for (Ogre::Vector2& p : points)
        p = Ogre::Vector2(across(random), across(random));
    return points;
}

// 1024 rays from about the camera's height towards the ground at random, the typical picking
// query: origin and unit direction.
std::vector<std::pair<Ogre::Vector3, Ogre::Vector3>> queryRays()
{
    std::mt19937 random(4);
    std::uniform_real_distribution<float> across(-3000.0f, 3000.0f), tilt(-1.0f, 1.0f);
    std::vector<std::pair<Ogre::Vector3, Ogre::Vector3>> rays(1024);
    for (auto& ray : rays)
    {
        const Ogre::Vector3 from(across(random), 800.0f, across(random));
        ray = {from, Ogre::Vector3(tilt(random), -1.0f, tilt(random)).normalisedCopy()};
    }
    return rays;
}

void BM_GetHeight(benchmark::State& state)
{
    ConvergedLandscape& c = converged();
    const std::vector<Ogre::Vector2> points = queryPoints();
    size_t k = 0;
    uint8_t level = 0;
    Ogre::Vector3 normal;
    for (auto _ : state)
    {
        const Ogre::Vector2& p = points[k++ & (kQueryPoints - 1)];
        benchmark::DoNotOptimize(c.landscape.getHeight(p.x, p.y, level, &normal));
    }
}
BENCHMARK(BM_GetHeight);

// The same queries between the frames of a camera that moves (2 units a frame, back and forth
// over 20 units; the updates are not timed), as a game's physics asks for heights over the map
// while its view pans: the leaves that no update walks (out of view) have the morph factor of an
// earlier frame.
void BM_GetHeightWhileMoving(benchmark::State& state)
{
    ConvergedLandscape& c = converged();
    const std::vector<Ogre::Vector2> points = queryPoints();
    constexpr size_t kQueriesPerFrame = 4096;
    size_t k = 0;
    int frame = 0;
    uint8_t level = 0;
    Ogre::Vector3 normal;
    for (auto _ : state)
    {
        if ((k & (kQueriesPerFrame - 1)) == 0)
        {
            state.PauseTiming();
            const float along = 2.0f * float(frame % 20 < 10 ? frame % 20 : 20 - frame % 20);
            ++frame;
            const Ogre::Vector3 eye = Ogre::Vector3(-1500 + along, 600, -1500);
            c.landscape.update(camera(eye, Ogre::Vector3(along, 200, 0)));
            state.ResumeTiming();
        }
        const Ogre::Vector2& p = points[k++ & (kQueryPoints - 1)];
        benchmark::DoNotOptimize(c.landscape.getHeight(p.x, p.y, level, &normal));
    }
    // Back where the other benchmarks expect the tree, with nothing left to build.
    converge(c.landscape, c.view);
}
BENCHMARK(BM_GetHeightWhileMoving);

// Baseline for BM_GetHeight: bilinear interpolation in the whole map held as a float array, the
// cheapest a height lookup can be (and what a terrain that keeps every sample in memory does).
float bilinear(float x, float z)
{
    const float sx = std::clamp((x + kSize / 2) * (float(kEdge - 1) / kSize), 0.0f, float(kEdge - 1));
    const float sz = std::clamp((z + kSize / 2) * (float(kEdge - 1) / kSize), 0.0f, float(kEdge - 1));
    const int ix = std::min(int(sx), kEdge - 2);
    const int iz = std::min(int(sz), kEdge - 2);
    const float fx = sx - float(ix);
    const float fz = sz - float(iz);
    const float* row = heights().data() + size_t(iz) * kEdge + size_t(ix);
    const float near = row[0] + (row[1] - row[0]) * fx;
    const float far = row[kEdge] + (row[kEdge + 1] - row[kEdge]) * fx;
    return near + (far - near) * fz;
}

void BM_GetHeightArrayBaseline(benchmark::State& state)
{
    const std::vector<Ogre::Vector2> points = queryPoints();
    size_t k = 0;
    for (auto _ : state)
    {
        const Ogre::Vector2& p = points[k++ & (kQueryPoints - 1)];
        benchmark::DoNotOptimize(bilinear(p.x, p.y));
    }
}
BENCHMARK(BM_GetHeightArrayBaseline);

void BM_Intersect(benchmark::State& state)
{
    ConvergedLandscape& c = converged();
    const auto rays = queryRays();
    size_t k = 0, hits = 0;
    uint8_t level = 0;
    Ogre::Vector3 point, normal;
    for (auto _ : state)
    {
        const auto& [from, direction] = rays[k++ & 1023];
        hits += size_t(c.landscape.intersect(from, from + direction * 100000.0f, level, point, normal));
    }
    state.counters["hit rate"] = double(hits) / double(state.iterations());
}
BENCHMARK(BM_Intersect)->Unit(benchmark::kMicrosecond);

// Baseline for BM_Intersect: the same rays marched through the full-resolution map in steps of
// one sample spacing, the first step below the ground taken as the hit.
void BM_IntersectMarchBaseline(benchmark::State& state)
{
    const auto rays = queryRays();
    const float step = kSize / float(kEdge - 1);
    size_t k = 0, hits = 0;
    for (auto _ : state)
    {
        const auto& [from, direction] = rays[k++ & 1023];
        for (float t = 0; t < 100000.0f; t += step)
        {
            const Ogre::Vector3 p = from + direction * t;
            if (std::fabs(p.x) > kSize / 2 || std::fabs(p.z) > kSize / 2)
                break;
            if (p.y <= bilinear(p.x, p.z))
            {
                ++hits;
                break;
            }
        }
    }
    state.counters["hit rate"] = double(hits) / double(state.iterations());
}
BENCHMARK(BM_IntersectMarchBaseline)->Unit(benchmark::kMicrosecond);

// A fresh tree converged at one view, then the camera jumps 5000 units: updates and wall time
// until no build is pending. The build thread generates the patches meanwhile.
void BM_ConvergeAfterTeleport(benchmark::State& state)
{
    double totalUpdates = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        Landscape landscape(kSize, Ogre::Vector3(-kSize / 2, 0, -kSize / 2));
        landscape.setPatchSize(32);
        landscape.setLevelLimits(4, 7); // as a terrain on this map: one quad per sample at level 7
        landscape.setHeightFunction(&mapHeight);
        landscape.start();
        converge(landscape, camera(Ogre::Vector3(-2500, 500, -2500), Ogre::Vector3(-2000, 100, -2000)));
        const CameraState there = camera(Ogre::Vector3(2500, 500, 2500), Ogre::Vector3(2000, 100, 2000));
        state.ResumeTiming();
        totalUpdates += converge(landscape, there);
        state.PauseTiming();
        landscape.stop(true);
        state.ResumeTiming();
    }
    state.counters["updates"] = totalUpdates / double(state.iterations());
}
BENCHMARK(BM_ConvergeAfterTeleport)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
} // namespace

BENCHMARK_MAIN();
