// The height source: one sample from the file or from the cache, and one 129 x 129 child patch
// built from a file-backed 4097 x 4097 map, with and without the cache, beside the same build
// from heights held in memory.

#include "../tests/lod/LandscapeTestView.h"
#include "../tools/FractalHeightmap.h"
#include "../tools/HeadlessEngine.h"
#include "Terrain.h"
#include "heightmap/Tiff.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

namespace
{
constexpr int kEdge = 4097;
constexpr float kTerrainSize = 8192.0f;
constexpr float kTerrainHeight = 1000.0f;

const std::vector<uint16_t>& samples()
{
    static const std::vector<uint16_t> map = FractalHeightmap::generate(kEdge, 5, 0.5f);
    return map;
}

const std::string& mapFile()
{
    static const std::string file = [] {
        const std::string name = (std::filesystem::temp_directory_path() / "benchmark-stream-4097.tif").string();
        closeTiff(createTiff(name.c_str(), kEdge, kEdge, 1, 16, 1, samples().data(), 0));
        return name;
    }();
    return file;
}

class BenchTerrain : public Terrain
{
public:
    using Terrain::Terrain;
    using Terrain::getHeight;
    using Terrain::getLandscape;
};

struct Scene
{
    headless::Engine engine{""}; // the terrain's code is linked in
    std::unique_ptr<BenchTerrain> terrain;

    explicit Scene(int cacheSize) : terrain(std::make_unique<BenchTerrain>("bench"))
    {
        engine.scene->getRootSceneNode()->attachObject(terrain.get());
        terrain->setTerrainScale(kTerrainSize, kTerrainHeight);
        terrain->setPatchSize(128);
        terrain->setHeightCacheSize(cacheSize);
        terrain->openStream(mapFile());
        // The reference camera over the patch the build benchmark uses (near the map's centre).
        Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(100, 50, 100), Ogre::Vector3(0, 0, 0));
        terrain->_notifyCurrentCamera(camera);
        terrain->frameStarted(Ogre::FrameEvent{});
    }
};

// The chain of nodes from the root down to the level-5 node at the map's centre; all but the
// last are built.
PatchNode* childAtLevel5(Landscape& landscape)
{
    LandscapeTestView view(landscape);
    if (!view.root())
        view.createRoot();
    PatchNode* node = view.root();
    for (int level = 1; level <= 5; ++level)
    {
        if (!node->hasChildren())
            view.makeChildren(node);
        node = node->child(level == 1 ? 0 : 3);
        if (level < 5 && !node->isBuilt())
            view.build(node);
    }
    return node;
}

void buildPatch(benchmark::State& state, Landscape& landscape, PatchNode* node)
{
    LandscapeTestView view(landscape);
    for (auto _ : state)
    {
        const PatchBuildResult result = view.buildResult(node);
        benchmark::DoNotOptimize(result.vertices.get());
    }
    state.SetItemsProcessed(state.iterations() * 129 * 129);
}

void BM_HeightSample(benchmark::State& state)
{
    const bool cached = state.range(0) != 0;
    Scene scene(cached ? 1024 : 0);
    Landscape* landscape = scene.terrain->getLandscape();
    PatchNode* node = childAtLevel5(*landscape); // moves the cache window there
    const Ogre::Vector3 low = node->corners[0], high = node->corners[3];
    std::mt19937 random(1);
    std::uniform_real_distribution<float> x(low.x, high.x), z(low.z, high.z);
    std::vector<Ogre::Vector3> points(4096);
    for (Ogre::Vector3& p : points)
        p = Ogre::Vector3(x(random), 0, z(random));
    Lock lock(landscape->getHeightLock());
    size_t k = 0; // the height source is called with the height lock held
    for (auto _ : state)
        benchmark::DoNotOptimize(scene.terrain->getHeight(points[k++ & 4095], 0));
    state.SetLabel(cached ? "cache" : "file");
}
BENCHMARK(BM_HeightSample)->Arg(0)->Arg(1);

void BM_ChildPatchFromFile(benchmark::State& state)
{
    const bool cached = state.range(0) != 0;
    Scene scene(cached ? 1024 : 0);
    Landscape* landscape = scene.terrain->getLandscape();
    buildPatch(state, *landscape, childAtLevel5(*landscape));
    state.SetLabel(cached ? "with the cache" : "without the cache");
}
BENCHMARK(BM_ChildPatchFromFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The same patch from a float array: the floor that the cache aims at.
void BM_ChildPatchFromMemory(benchmark::State& state)
{
    std::vector<float> heights(samples().size());
    for (size_t k = 0; k < heights.size(); ++k)
        heights[k] = float(samples()[k]) * (kTerrainHeight / 65535.0f);
    Landscape landscape(kTerrainSize, Ogre::Vector3(-kTerrainSize / 2, 0, -kTerrainSize / 2));
    landscape.setPatchSize(128);
    const float samplesPerUnit = float(kEdge - 1) / kTerrainSize;
    landscape.setHeightFunction([&heights, samplesPerUnit](const Ogre::Vector3& p, int) {
        const float sx = (p.x + kTerrainSize / 2) * samplesPerUnit;
        const float sz = (p.z + kTerrainSize / 2) * samplesPerUnit;
        if (!(sx > -1.0f && sz > -1.0f && sx < float(kEdge) && sz < float(kEdge)))
            return 0.0f;
        return heights[size_t(int(sz)) * kEdge + size_t(int(sx))];
    });
    buildPatch(state, landscape, childAtLevel5(landscape));
}
BENCHMARK(BM_ChildPatchFromMemory)->Unit(benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
