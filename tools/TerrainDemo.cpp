// A first look at the plug-in without a window: loads Plugin_Terrain into a real Ogre::Root,
// creates a Terrain through a scene manager by the type "Terrain", writes a seeded fractal
// heightmap, streams it, flies a camera over it and reports what the level-of-detail engine did.

#include "FractalHeightmap.h"
#include "HeadlessEngine.h"
#include "Terrain.h"
#include "Tiff.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace
{
std::string writeHeightmap(uint32_t edge)
{
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "plugin-terrain-demo";
    std::filesystem::create_directories(folder);
    const std::string file = (folder / "fractal-1025.tif").string();
    const std::vector<uint16_t> samples = FractalHeightmap::generate(edge, 2024, 0.5f);
    TiffFile* tiff = createTiff(file.c_str(), int(edge), int(edge), 1, 16, 1, samples.data(), 0);
    if (!tiff)
        return {};
    closeTiff(tiff);
    return file;
}
} // namespace

int main()
{
    headless::Engine engine(TERRAIN_PLUGIN_PATH);
    Ogre::SceneManager* scene = engine.scene;

    const std::string heightmap = writeHeightmap(1025);
    if (heightmap.empty())
    {
        std::fprintf(stderr, "error: cannot write the built-in heightmap\n");
        return 1;
    }
    std::printf("Heightmap: %s (1025 x 1025 samples)\n", heightmap.c_str());

    auto* terrain = static_cast<Terrain*>(scene->createMovableObject("ground", "Terrain"));
    scene->getRootSceneNode()->attachObject(terrain);
    std::printf("Created a %s in render queue group %d\n", terrain->getMovableType().c_str(),
                int(terrain->getRenderQueueGroup()));
    terrain->setTerrainScale(8192, 900);
    terrain->setPatchSize(32);
    terrain->setHeightCacheSize(1024);
    if (!terrain->openStream(heightmap))
    {
        std::fprintf(stderr, "error: cannot open %s\n", heightmap.c_str());
        return 1;
    }

    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 1000, 0), Ogre::Vector3(0, 0, 1), 1280, 720);
    Ogre::SceneNode* eye = camera->getParentSceneNode();

    const auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame <= 300; ++frame)
    {
        const float t = float(frame) / 300.0f;
        eye->setPosition(-3000.0f + 6000.0f * t, 1000.0f, -2000.0f + 1500.0f * t);
        eye->lookAt(Ogre::Vector3(-2500.0f + 6000.0f * t, 0, 0), Ogre::Node::TS_WORLD);
        // What the scene manager does for a visible terrain each frame, without drawing.
        terrain->_notifyCurrentCamera(camera);
        engine.root->_fireFrameStarted();
        if (frame % 60 == 0)
        {
            const Terrain::Info info = terrain->getDebugInfo();
            const Terrain::Hit ground = terrain->getHeight(eye->getPosition());
            std::printf("frame %3d: %4llu patches, %4llu in view, %6.1f MiB, ground below %7.1f\n", frame,
                        (unsigned long long)info.patchCount, (unsigned long long)info.visibleCount,
                        double(info.memoryBytes) / (1024.0 * 1024.0), ground.hit ? ground.position.y : -1.0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("Flew 300 frames in %.2f s. The windowed viewer draws the same terrain.\n", seconds);

    terrain->closeStream();
    scene->destroyMovableObject(terrain);
    return 0;
}
