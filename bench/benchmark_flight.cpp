// The terrain over a whole flight, headless, with the real build thread: a long straight flight
// low over a 4097 x 4097 map and a sequence of random teleports. Each benchmark iteration is one
// frame (frameStarted, then _notifyCurrentCamera and _updateRenderQueue); the counters give the
// render thread's terrain time per frame (median and worst, wall clock and the thread's own CPU
// time), the memory the budget covers (Info::totalBytes, median and worst) and, for the
// teleports, the time until the view has settled again (no build in flight, no drawable owed,
// nothing new for two frames).
// TERRAIN_BENCH_MAP names another heightmap (a 16385 x 16385 one, for example);
// TERRAIN_BENCH_BUDGET_MIB sets another memory budget (0: none); TERRAIN_BENCH_PATCH another
// patch size for the flights (quads per patch edge, 32 unless set).

#include "FrameChart.h"
#include "../tools/FractalHeightmap.h"
#include "../tools/HeadlessEngine.h"
#include "Terrain.h"
#include "heightmap/Tiff.h"
#include "support/Clock.h"

#include <OgreRenderQueue.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <thread>

namespace
{
constexpr int kEdge = 4097;
constexpr float kTerrainSize = 8192.0f;
constexpr float kTerrainHeight = 1000.0f;
using Clock = std::chrono::steady_clock;

std::string mapFile()
{
    if (const char* chosen = std::getenv("TERRAIN_BENCH_MAP"); chosen && *chosen)
        return chosen;
    const std::string name = (std::filesystem::temp_directory_path() / "benchmark-flight-4097.tif").string();
    if (!std::filesystem::exists(name))
    {
        const std::vector<uint16_t> samples = FractalHeightmap::generate(kEdge, 11, 0.55f);
        closeTiff(createTiff(name.c_str(), kEdge, kEdge, 1, 16, 1, samples.data(), 0));
    }
    return name;
}

int flightPatchSize()
{
    const char* chosen = std::getenv("TERRAIN_BENCH_PATCH");
    return chosen && *chosen ? std::atoi(chosen) : 32;
}

struct Scene
{
    const std::string map;
    headless::Engine engine{""}; // the terrain's code is linked in
    std::unique_ptr<Terrain> terrain;
    Ogre::Camera* camera = nullptr;
    Ogre::RenderQueue queue;
    Ogre::MaterialPtr material;

    explicit Scene(const std::string& map_ = mapFile()) : map(map_)
    {
        material = Ogre::MaterialManager::getSingleton().create("Ground", Ogre::RGN_DEFAULT);
        terrain = std::make_unique<Terrain>("flight");
        engine.scene->getRootSceneNode()->attachObject(terrain.get());
        terrain->setTerrainScale(kTerrainSize, kTerrainHeight);
        terrain->setPatchSize(flightPatchSize());
        terrain->setHeightCacheSize(1024);
        terrain->setDefaultMaterial(material);
        terrain->setOgreBuildLimits(10000, 0);
        if (const char* budget = std::getenv("TERRAIN_BENCH_BUDGET_MIB"))
        {
            budgetMiB = double(std::strtoull(budget, nullptr, 10));
            terrain->setMemoryBudget(size_t(budgetMiB) << 20);
        }
        // Figures of a terrain that never opened would read as a very fast one.
        if (!terrain->openStream(map))
        {
            std::fprintf(stderr, "cannot open the heightmap %s\n", map.c_str());
            std::exit(1);
        }
        if (TiffFile* tiff = openTiff(map.c_str(), 1))
        {
            edge = int(tiff->width);
            closeTiff(tiff);
        }
        camera = engine.createCamera("eye", Ogre::Vector3(0, 1500, 0), Ogre::Vector3(1, 1400, 1));
    }
    ~Scene()
    {
        terrain->closeStream();
        engine.scene->getRootSceneNode()->detachObject(terrain.get());
    }

    void place(const Ogre::Vector3& eye, const Ogre::Vector3& target)
    {
        camera->getParentSceneNode()->setPosition(eye);
        camera->getParentSceneNode()->lookAt(target, Ogre::Node::TS_WORLD);
    }
    // The camera at the given frame of the straight flight: from one corner to the other, 120
    // units above the highest ground, 40 units a frame (2,400 units a second at 60 frames a
    // second), looking ahead and down, and round again from the start.
    void placeOnStraightFlight(int frame)
    {
        const Ogre::Vector3 from(-3800, 1120, -3800);
        const Ogre::Vector3 way = Ogre::Vector3(1, 0, 1).normalisedCopy();
        const Ogre::Vector3 eye = from + way * float((frame * 40) % 10700);
        place(eye, eye + way * 800 + Ogre::Vector3(0, -500, 0));
    }

    // One frame; returns the render thread's terrain time in microseconds. The rest of a frame
    // (drawing, the host's work) is stood in for by a pause of 4 ms before it, in which the
    // build thread works on (unless pause is false). lastCpuUs is the CPU time the render thread
    // itself spent in it: the terrain's own work, without the time the system gave to others.
    double frame(bool pause = true)
    {
        if (pause)
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        // The engine's work, not the terrain's: before the clock starts.
        headless::clearQueue(queue);
        const double cpuStart = threadCpuUs();
        const Clock::time_point start = Clock::now();
        terrain->frameStarted(Ogre::FrameEvent{});
        terrain->_notifyCurrentCamera(camera);
        terrain->_updateRenderQueue(&queue);
        const double us = microsSince(start);
        lastCpuUs = threadCpuUs() - cpuStart;
        return us;
    }
    double lastCpuUs = 0;
    int edge = kEdge;       // samples along an edge of the map
    double budgetMiB = 256; // the terrain's memory budget

    static double threadCpuUs()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
    }
};

// Whether the view has settled: no build in flight, no drawable owed, and nothing new for two
// frames in a row. Fed the terrain's figures after every frame.
class SettleWatch
{
public:
    bool settled(const Terrain::Info& info)
    {
        const bool created = info.patchCount > patches || info.drawables > drawables;
        quiet = created || info.builds != 0 || info.deferred != 0 ? 0 : quiet + 1;
        patches = info.patchCount;
        drawables = info.drawables;
        return quiet >= 2;
    }
    void restart() { quiet = 0; }

private:
    uint64_t patches = 0;
    uint64_t drawables = 0;
    int quiet = 0;
};

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size())))];
}

// With TERRAIN_BENCH_CHARTS naming a folder, a run's frames are also drawn there, as name.svg:
// time and memory frame by frame (marks: frames where the run did something, markName: what).
void drawChart(const Scene& scene, const std::string& name, const std::string& what,
               const std::vector<double>& frameUs, const std::vector<double>& totalMiB,
               const std::vector<size_t>& marks = {}, const std::string& markName = "")
{
    const char* folder = std::getenv("TERRAIN_BENCH_CHARTS");
    if (!folder || !*folder)
        return;
    FrameChart chart;
    char figures[160];
    std::snprintf(figures, sizeof figures, "frame median %.0f us, p99 %.2f ms, worst %.2f ms; memory worst %.0f MiB",
                  percentile(frameUs, 0.5), percentile(frameUs, 0.99) / 1000, percentile(frameUs, 1.0) / 1000,
                  percentile(totalMiB, 1.0));
    chart.title = what + ", " + std::filesystem::path(scene.map).filename().string();
    chart.subtitle = figures;
    chart.frameUs = frameUs;
    chart.totalMiB = totalMiB;
    chart.marks = marks;
    chart.markName = markName;
    chart.budgetMiB = scene.budgetMiB;
    const std::string path = (std::filesystem::path(folder) / (name + ".svg")).string();
    if (!chart.write(path))
        std::fprintf(stderr, "cannot write the chart %s\n", path.c_str());
}

void report(benchmark::State& state, const std::vector<double>& frameUs, const std::vector<double>& cpuUs,
            const std::vector<double>& totalMiB)
{
    state.counters["frame_median_us"] = percentile(frameUs, 0.5);
    state.counters["frame_p99_us"] = percentile(frameUs, 0.99);
    state.counters["frame_worst_us"] = percentile(frameUs, 1.0);
    // On a busy machine the wall-clock worst can be a frame in which the render thread waited
    // for a core; its own work is the CPU figure.
    state.counters["frame_cpu_p99_us"] = percentile(cpuUs, 0.99);
    state.counters["frame_cpu_worst_us"] = percentile(cpuUs, 1.0);
    state.counters["frames_cpu_over_2ms"] = double(std::count_if(cpuUs.begin(), cpuUs.end(), [](double us) { return us > 2000.0; }));
    state.counters["total_median_MiB"] = percentile(totalMiB, 0.5);
    state.counters["total_worst_MiB"] = percentile(totalMiB, 1.0);
}

// The straight flight (Scene::placeOnStraightFlight).
void BM_StraightFlight(benchmark::State& state)
{
    Scene scene;
    std::vector<double> frameUs;
    std::vector<double> cpuUs;
    std::vector<double> totalMiB;
    int frame = 0;
    for (auto _ : state)
    {
        scene.placeOnStraightFlight(frame++);
        const double us = scene.frame();
        state.SetIterationTime(us / 1e6);
        frameUs.push_back(us);
        cpuUs.push_back(scene.lastCpuUs);
        totalMiB.push_back(double(scene.terrain->getDebugInfo().totalBytes) / 1048576.0);
    }
    report(state, frameUs, cpuUs, totalMiB);
    drawChart(scene, "flight-straight", "Straight flight", frameUs, totalMiB);
}
BENCHMARK(BM_StraightFlight)->Iterations(1200)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Random spots over the map, each held until the view has settled; the first frames after a
// teleport are the worst the terrain has to take.
void BM_Teleports(benchmark::State& state)
{
    Scene scene;
    std::mt19937 random(5);
    std::uniform_real_distribution<float> across(-3800, 3800), height(1050, 1600);
    std::vector<double> frameUs;
    std::vector<double> cpuUs;
    std::vector<double> totalMiB;
    std::vector<double> settleMs;
    std::vector<size_t> jumps; // frames at which a teleport came
    SettleWatch watch;
    bool settled = false;
    Clock::time_point teleported;
    for (auto _ : state)
    {
        if (frameUs.empty() || settled || Clock::now() - teleported > std::chrono::seconds(10))
        {
            if (!frameUs.empty())
                settleMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - teleported).count());
            jumps.push_back(frameUs.size());
            const Ogre::Vector3 eye(across(random), height(random), across(random));
            scene.place(eye, Ogre::Vector3(across(random), 0, across(random)));
            teleported = Clock::now();
            watch.restart();
        }
        const double us = scene.frame();
        state.SetIterationTime(us / 1e6);
        frameUs.push_back(us);
        cpuUs.push_back(scene.lastCpuUs);
        const Terrain::Info info = scene.terrain->getDebugInfo();
        totalMiB.push_back(double(info.totalBytes) / 1048576.0);
        settled = watch.settled(info);
    }
    report(state, frameUs, cpuUs, totalMiB);
    drawChart(scene, "flight-teleports", "Teleports", frameUs, totalMiB, jumps, "teleports");
    state.counters["settle_median_ms"] = percentile(settleMs, 0.5);
    state.counters["settle_worst_ms"] = percentile(settleMs, 1.0);
    state.counters["teleports"] = double(settleMs.size());
}
BENCHMARK(BM_Teleports)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);
// From openStream to a settled first view over the flight's start, headless, frames run back to
// back with no drawing and no pause: how long the first view takes when only building counts,
// and the worst frame on the way (the render thread's own CPU time; openStream itself, which a
// host calls as it loads, is not a frame).
void BM_OpenToSettledView(benchmark::State& state)
{
    Scene scene;
    scene.place(Ogre::Vector3(-3800, 1120, -3800), Ogre::Vector3(-3000, 600, -3000));
    int frames = 0;
    double worstFrameCpuUs = 0;
    for (auto _ : state)
    {
        scene.terrain->closeStream();
        const Clock::time_point start = Clock::now();
        scene.terrain->openStream(mapFile());
        SettleWatch watch;
        frames = 0;
        do
        {
            scene.frame(false);
            worstFrameCpuUs = std::max(worstFrameCpuUs, scene.lastCpuUs);
            ++frames;
        } while (!watch.settled(scene.terrain->getDebugInfo()) && Clock::now() - start < std::chrono::seconds(120));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.counters["frames"] = frames;
    state.counters["frame_cpu_worst_us"] = worstFrameCpuUs;
    state.counters["patches"] = double(scene.terrain->getDebugInfo().patchCount);
}
BENCHMARK(BM_OpenToSettledView)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// A settled view whose patch size changes to twice the flights' (half of 128) and back: 32 to 64
// and back unless TERRAIN_BENCH_PATCH says otherwise. The render thread's time in the
// setPatchSize call itself (the old tree goes, the new one begins) and the worst frame until the
// new view has settled. Each iteration is one change, timed as the call.
void BM_PatchSizeChange(benchmark::State& state)
{
    Scene scene;
    scene.place(Ogre::Vector3(-3800, 1120, -3800), Ogre::Vector3(-3000, 600, -3000));
    // The worst frame, wall clock and the render thread's own CPU time (see report).
    double worstFrameUs = 0;
    double worstFrameCpuUs = 0;
    const auto settle = [&scene, &worstFrameUs, &worstFrameCpuUs]() {
        SettleWatch watch;
        const Clock::time_point start = Clock::now();
        do
        {
            worstFrameUs = std::max(worstFrameUs, scene.frame());
            worstFrameCpuUs = std::max(worstFrameCpuUs, scene.lastCpuUs);
        } while (!watch.settled(scene.terrain->getDebugInfo()) && Clock::now() - start < std::chrono::seconds(60));
    };
    settle();
    worstFrameUs = worstFrameCpuUs = 0;
    std::vector<double> callUs;
    std::vector<double> callCpuUs;
    const int first = flightPatchSize();
    const int second = first < 128 ? first * 2 : first / 2;
    int size = first;
    for (auto _ : state)
    {
        size = size == first ? second : first;
        const double cpuStart = Scene::threadCpuUs();
        const Clock::time_point start = Clock::now();
        scene.terrain->setPatchSize(size);
        const double us = microsSince(start);
        callCpuUs.push_back(Scene::threadCpuUs() - cpuStart);
        state.SetIterationTime(us / 1e6);
        callUs.push_back(us);
        settle();
    }
    state.counters["call_median_us"] = percentile(callUs, 0.5);
    state.counters["call_worst_us"] = percentile(callUs, 1.0);
    // The call waits for the build thread to finish the patch in hand, which costs it no CPU.
    state.counters["call_cpu_worst_us"] = percentile(callCpuUs, 1.0);
    state.counters["frame_worst_us"] = worstFrameUs;
    state.counters["frame_cpu_worst_us"] = worstFrameCpuUs;
}
BENCHMARK(BM_PatchSizeChange)->Iterations(8)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A fresh copy of the flight's map, for benchmarks that write to it.
std::string editableMap()
{
    const std::string name = (std::filesystem::temp_directory_path() / "benchmark-edit.tif").string();
    std::filesystem::copy_file(mapFile(), name, std::filesystem::copy_options::overwrite_existing);
    return name;
}

// A 64 x 64 stroke (raised or lowered by a bump) centred where the camera looks at the ground.
// Returns the render thread's time in setRawData, microseconds.
double strokeAhead(Scene& scene, int k)
{
    const Terrain::Hit hit = scene.terrain->intersect(Ogre::Ray(scene.camera->getDerivedPosition(), scene.camera->getDerivedDirection()));
    const float samplesPerUnit = float(scene.edge - 1) / kTerrainSize;
    const int x = int((hit.position.x + kTerrainSize / 2) * samplesPerUnit) - 32 + (k % 7) * 5;
    const int z = int((hit.position.z + kTerrainSize / 2) * samplesPerUnit) - 32 + (k % 5) * 5;
    std::vector<char> bytes(64 * 64 * 2);
    scene.terrain->getRawData(x, z, 64, 64, bytes.data());
    for (size_t i = 0; i < bytes.size(); i += 2)
    {
        const int sample = (uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8) + (k % 2 ? 300 : -300);
        const uint16_t moved = uint16_t(std::clamp(sample, 0, 65535));
        bytes[i] = char(moved & 0xFF);
        bytes[i + 1] = char(moved >> 8);
    }
    const Clock::time_point start = Clock::now();
    scene.terrain->setRawData(x, z, 64, 64, bytes.data());
    return microsSince(start);
}

// The straight flight with a stroke every frame (60 a second at 60 frames a second) ahead of the
// camera: the stroke's render-thread time, and the frame's with it.
void BM_StrokesWhileFlying(benchmark::State& state)
{
    Scene scene(editableMap());
    std::vector<double> frameUs;
    std::vector<double> cpuUs;
    std::vector<double> strokeUs;
    std::vector<double> totalMiB;
    int frame = 0;
    for (auto _ : state)
    {
        scene.placeOnStraightFlight(frame);
        const double stroke = frame > 0 ? strokeAhead(scene, frame) : 0.0;
        const double us = scene.frame() + stroke;
        ++frame;
        state.SetIterationTime(us / 1e6);
        frameUs.push_back(us);
        cpuUs.push_back(scene.lastCpuUs + stroke);
        strokeUs.push_back(stroke);
        totalMiB.push_back(double(scene.terrain->getDebugInfo().totalBytes) / 1048576.0);
    }
    report(state, frameUs, cpuUs, totalMiB);
    drawChart(scene, "flight-strokes", "Straight flight, a stroke a frame (its time included)", frameUs,
              totalMiB);
    state.counters["stroke_median_us"] = percentile(strokeUs, 0.5);
    state.counters["stroke_p99_us"] = percentile(strokeUs, 0.99);
    state.counters["stroke_worst_us"] = percentile(strokeUs, 1.0);
}
BENCHMARK(BM_StrokesWhileFlying)->Iterations(600)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A stroke in a settled view with the build thread idle: its render-thread time, and the frames
// until every patch it touched is drawn anew (each frame after the 4 ms pause of the others).
void BM_StrokeUntilDrawn(benchmark::State& state)
{
    Scene scene(editableMap());
    scene.place(Ogre::Vector3(-3000, 1100, -3000), Ogre::Vector3(-2600, 700, -2600));
    SettleWatch watch;
    while (!watch.settled(scene.terrain->getDebugInfo()))
        scene.frame();
    std::vector<double> strokeUs;
    std::vector<double> frames;
    std::vector<double> patches;
    int k = 0;
    for (auto _ : state)
    {
        const uint64_t before = scene.terrain->getDebugInfo().refreshedPatches;
        const double us = strokeAhead(scene, ++k);
        state.SetIterationTime(us / 1e6);
        strokeUs.push_back(us);
        // Frames until the last patch rebuilt for the stroke is handed over; the splits its new
        // bumps may call for are built meanwhile and do not count.
        uint64_t refreshed = before;
        int drawnAt = 0;
        for (int count = 1; count <= 200; ++count)
        {
            scene.frame();
            const Terrain::Info info = scene.terrain->getDebugInfo();
            if (info.refreshedPatches != refreshed)
                drawnAt = count;
            refreshed = info.refreshedPatches;
            if (info.builds == 0)
                break;
        }
        frames.push_back(drawnAt);
        patches.push_back(double(refreshed - before));
    }
    state.counters["stroke_median_us"] = percentile(strokeUs, 0.5);
    state.counters["stroke_worst_us"] = percentile(strokeUs, 1.0);
    state.counters["frames_to_drawn_median"] = percentile(frames, 0.5);
    state.counters["frames_to_drawn_worst"] = percentile(frames, 1.0);
    state.counters["patches_per_stroke"] = percentile(patches, 0.5);
}
BENCHMARK(BM_StrokeUntilDrawn)->Iterations(60)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A stroke where the camera looks, every 30 frames of the straight flight: the frames until the
// drawn ground at its centre shows it, while the flight's own builds go on. The build thread
// takes the newest request first, so a refresh waits for what is asked for after it unless it
// counts as a build in view.
void BM_StrokeWhileFlyingUntilShown(benchmark::State& state)
{
    Scene scene(editableMap());
    int frame = 0;
    const auto fly = [&] {
        scene.placeOnStraightFlight(frame++);
        scene.frame();
    };
    for (int f = 0; f < 30; ++f)
        fly();
    constexpr int kFramesApart = 30;
    // A stroke moves its samples by 300 of 65535.
    constexpr float kShown = 0.5f * 300.0f * kTerrainHeight / 65535.0f;
    std::vector<double> frames;
    int unseen = 0, k = 0;
    for (auto _ : state)
    {
        const Ogre::Ray look(scene.camera->getDerivedPosition(), scene.camera->getDerivedDirection());
        const Ogre::Vector3 centre = scene.terrain->intersect(look).position;
        const float before = scene.terrain->getHeight(centre).position.y;
        state.SetIterationTime(strokeAhead(scene, ++k) / 1e6);
        int shownAt = 0;
        for (int count = 1; count <= kFramesApart; ++count)
        {
            fly();
            if (shownAt == 0 && std::abs(scene.terrain->getHeight(centre).position.y - before) > kShown)
                shownAt = count;
        }
        if (shownAt > 0)
            frames.push_back(shownAt);
        else
            unseen += 1;
    }
    state.counters["frames_to_shown_median"] = frames.empty() ? 0.0 : percentile(frames, 0.5);
    state.counters["frames_to_shown_worst"] = frames.empty() ? 0.0 : percentile(frames, 1.0);
    state.counters["strokes_unseen_after_30"] = unseen;
}
BENCHMARK(BM_StrokeWhileFlyingUntilShown)->Iterations(40)->UseManualTime()->Unit(benchmark::kMicrosecond);
} // namespace

BENCHMARK_MAIN();
