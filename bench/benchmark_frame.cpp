// Render-thread cost of the drawing side, in a headless engine with software buffers: one steady
// frame (frameStarted, then _notifyCurrentCamera and _updateRenderQueue) with about a thousand
// patches in view, and drawables made per millisecond. The baseline queues the same drawables
// straight into the render queue, so the frame figure reads as a ratio to the engine's own cost.

#include "../tools/FractalHeightmap.h"
#include "../tools/HeadlessEngine.h"
#include "../tools/PumpUntilIdle.h"
#include "lod/Landscape.h"
#include "Terrain.h"
#include "engine/TerrainRenderable.h"
#include "heightmap/Tiff.h"

#include <OgreRenderQueue.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace
{
constexpr int kEdge = 2049;
constexpr float kTerrainSize = 8192.0f;
constexpr float kTerrainHeight = 1200.0f;

const std::string& mapFile()
{
    static const std::string file = [] {
        const std::vector<uint16_t> samples = FractalHeightmap::generate(kEdge, 3, 0.55f);
        const std::string name = (std::filesystem::temp_directory_path() / "benchmark-frame-2049.tif").string();
        closeTiff(createTiff(name.c_str(), kEdge, kEdge, 1, 16, 1, samples.data(), 0));
        return name;
    }();
    return file;
}

class BenchTerrain : public Terrain
{
public:
    using Terrain::getLandscape;
    using Terrain::patchDestroyed;
    using Terrain::Terrain;
};

// A terrain whose tree has converged for one camera: every visible patch has its drawable.
struct Scene
{
    headless::Engine engine{""}; // the terrain's code is linked in
    std::unique_ptr<BenchTerrain> terrain;
    Ogre::Camera* camera = nullptr;
    Ogre::RenderQueue queue;
    Ogre::MaterialPtr material;

    Scene()
    {
        material = Ogre::MaterialManager::getSingleton().create("Ground", Ogre::RGN_DEFAULT);
        terrain = std::make_unique<BenchTerrain>("bench");
        engine.scene->getRootSceneNode()->attachObject(terrain.get());
        terrain->setTerrainScale(kTerrainSize, kTerrainHeight);
        terrain->setPatchSize(16);
        terrain->setHeightCacheSize(4096);
        terrain->setDefaultMaterial(material);
        terrain->setOgreBuildLimits(100000, 0);
        // A finer threshold than the default 8 (about 4 pixels): about a thousand patches in view.
        terrain->setDetailThreshold(4, 4, 1);
        terrain->openStream(mapFile());
        camera = engine.createCamera("eye", Ogre::Vector3(-600, 1500, -600), Ogre::Vector3(400, 0, 400));
        pumpUntilIdle([this] { run(); }, [this] { return terrain->getLandscape()->pendingBuilds() == 0; }, 100000);
    }

    void render()
    {
        headless::clearQueue(queue);
        terrain->_notifyCurrentCamera(camera);
        terrain->_updateRenderQueue(&queue);
    }
    void run()
    {
        terrain->frameStarted(Ogre::FrameEvent{});
        render();
    }
};

Scene& scene()
{
    static Scene instance;
    return instance;
}

void BM_SteadyFrame(benchmark::State& state)
{
    Scene& s = scene();
    for (auto _ : state)
        s.run();
    const Terrain::Info info = s.terrain->getDebugInfo();
    state.counters["visible"] = double(info.visibleCount);
    state.counters["patches"] = double(info.patchCount);
}
BENCHMARK(BM_SteadyFrame)->Unit(benchmark::kMicrosecond);

// The engine's share: the same drawables queued directly, with no terrain work.
void BM_QueueOnlyBaseline(benchmark::State& state)
{
    Scene& s = scene();
    s.render();
    std::vector<Ogre::Renderable*> drawables;
    for (PatchGeometry* patch : s.terrain->getLandscape()->getVisiblePatches())
        if (patch->drawable)
            drawables.push_back(static_cast<TerrainRenderable*>(patch->drawable));
    for (auto _ : state)
    {
        headless::clearQueue(s.queue);
        for (Ogre::Renderable* drawable : drawables)
            s.queue.addRenderable(drawable, 50);
    }
    state.counters["visible"] = double(drawables.size());
}
BENCHMARK(BM_QueueOnlyBaseline)->Unit(benchmark::kMicrosecond);

// Every visible patch loses its drawable (untimed), then one render pass makes them all again:
// vertex and index buffers allocated and filled, materials chosen.
void BM_DrawableCreation(benchmark::State& state)
{
    Scene& s = scene();
    const std::vector<PatchGeometry*> visible = s.terrain->getLandscape()->getVisiblePatches();
    uint64_t created = 0;
    double milliseconds = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        for (PatchGeometry* patch : visible)
            s.terrain->patchDestroyed(patch);
        // A new frame: its render passes start with a fresh build budget.
        s.terrain->frameStarted(Ogre::FrameEvent{});
        const uint64_t before = s.terrain->getDebugInfo().drawables;
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        s.render();
        milliseconds += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        created += s.terrain->getDebugInfo().drawables - before;
    }
    state.SetItemsProcessed(int64_t(created));
    state.counters["per_pass"] = double(created) / double(state.iterations());
    state.counters["drawables_per_ms"] = double(created) / milliseconds;
}
BENCHMARK(BM_DrawableCreation)->Unit(benchmark::kMicrosecond);

// The same view with the camera gliding 4 units a frame (240 units a second at 60 frames a
// second) back and forth over 400 units: the morph factors in view change every frame, and
// patches split and merge as the camera goes.
void BM_GlidingFrame(benchmark::State& state)
{
    Scene& s = scene();
    Ogre::SceneNode* node = s.camera->getParentSceneNode();
    const Ogre::Vector3 start = node->getPosition();
    int frame = 0;
    for (auto _ : state)
    {
        const int step = frame++ % 200;
        node->setPosition(start + Ogre::Vector3(4.0f, 0, 4.0f) * float(step < 100 ? step : 200 - step));
        s.run();
    }
    node->setPosition(start);
    state.counters["visible"] = double(s.terrain->getDebugInfo().visibleCount);
}
BENCHMARK(BM_GlidingFrame)->Unit(benchmark::kMicrosecond);
} // namespace

BENCHMARK_MAIN();
