// The offscreen run: the camera path rendered frame by frame into a texture, with statistics on
// standard output and the last frame saved as a PNG.

#include "EngineSetup.h"
#include "Sculptor.h"
#include "StatsOverlay.h"
#include "StopSignal.h"
#include "ViewerRuns.h"

#include <OgreHardwarePixelBuffer.h>
#include <OgreLogManager.h>
#include <OgreOverlaySystem.h>
#include <OgreRenderTexture.h>
#include <OgreRenderWindow.h>
#include <OgreResourceGroupManager.h>
#include <OgreRoot.h>
#include <OgreCamera.h>
#include <OgreTextureManager.h>

#include "Terrain.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// Limits of the waits for a converged view at the start and at the end of the path.
constexpr int kMaxSettleFrames = 3000;
constexpr double kMaxSettleSeconds = 120.0;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class OffscreenFlight
{
public:
    OffscreenFlight(Ogre::Root& root_, TerrainScene& scene_, StatsOverlay* stats_)
        : root(root_), scene(scene_), stats(stats_)
    {
    }

    // Renders one frame at the pose and prints its line; count is the phase's length (0: open
    // ended). Result: whether the view is converged.
    bool frame(const char* phase, int index, int count, double fraction, const CameraPose& pose)
    {
        scene.setPose(pose);
        scene.beforeFrame();
        const Clock::time_point start = Clock::now();
        root.renderOneFrame();
        const FrameSample sample = scene.sample(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        summary.add(sample);
        last = sample;
        const bool converged = tracker.add(sample);
        if (stats)
            stats->setText(formatSample(sample), std::string("offscreen, ") + phase + " frame " +
                                                     std::to_string(index + 1) +
                                                     (count > 0 ? " of " + std::to_string(count) : ""));
        std::printf("%-7s %5d  path %5.3f  %s%s\n", phase, index + 1, fraction, formatSample(sample).c_str(),
                    converged ? "  converged" : "");
        std::fflush(stdout);
        return converged;
    }

    // Holds the pose until the view converges, within kMaxSettleFrames and kMaxSettleSeconds.
    // Result: the frames rendered, and whether the view converged.
    std::pair<int, bool> settle(const char* phase, double fraction, const CameraPose& pose)
    {
        tracker.reset();
        const Clock::time_point start = Clock::now();
        int frames = 0;
        while (frames < kMaxSettleFrames && secondsSince(start) < kMaxSettleSeconds && !stopRequested())
            if (frame(phase, frames++, 0, fraction, pose))
                return {frames, true};
        return {frames, false};
    }

    Ogre::Root& root;
    TerrainScene& scene;
    StatsOverlay* stats;
    ConvergenceTracker tracker;
    FrameSummary summary;
    FrameSample last;
};

// The sculpt demo's strokes: a crater dug where the lower middle of the last view meets the
// ground, with a raised rim, and a ridge raised across the view beyond it: 112 dabs, a few tens
// of samples across on the built-in 4097 map (brushes of a typical size).
struct DemoDab
{
    float x, z, radius;
    Brush brush;
    float amount;
};

std::vector<DemoDab> planSculptDemo(TerrainScene& scene, const CameraPose& last, float samplesPerUnit)
{
    scene.setPose(last);
    Terrain& terrain = *scene.getTerrain();
    const Ogre::Camera& camera = *scene.getCamera();
    const Terrain::Hit near = terrain.intersect(camera.getCameraToViewportRay(0.5f, 0.75f));
    const Terrain::Hit far = terrain.intersect(camera.getCameraToViewportRay(0.5f, 0.6f));
    std::vector<DemoDab> dabs;
    if (!near.hit || !far.hit)
        return dabs;
    const Ogre::Vector3 eye = camera.getDerivedPosition();
    // The crater's radius follows its distance from the last view, at least 8 samples; dabs,
    // depths and heights follow the crater, so that it looks alike on any map.
    const float crater = std::max(0.07f * near.position.distance(eye), 8.0f / samplesPerUnit);
    const float dab = 0.67f * crater;
    // Sample values per world unit of height.
    const float perHeight = 65535.0f / scene.getSettings().height;
    // Dug from the middle outwards on a sunflower spiral, then the rim.
    for (int k = 0; k < 48; ++k)
    {
        const float r = 0.8f * crater * std::sqrt(float(k) / 48.0f), angle = 2.39996f * float(k);
        dabs.push_back({near.position.x + r * std::cos(angle), near.position.z + r * std::sin(angle), dab, Brush::lower, 0.065f * crater * perHeight});
    }
    for (int k = 0; k < 24; ++k)
    {
        const float angle = 6.2831853f * float(k) / 24.0f;
        dabs.push_back({near.position.x + 1.15f * crater * std::cos(angle), near.position.z + 1.15f * crater * std::sin(angle),
                        dab, Brush::raise, 0.13f * crater * perHeight});
    }
    // Across the view: perpendicular to where the camera looks, over the ground.
    Ogre::Vector3 across = camera.getDerivedDirection().crossProduct(Ogre::Vector3::UNIT_Y);
    across.y = 0;
    across.normalise();
    const float half = std::max(0.12f * far.position.distance(eye), 5.3f * crater);
    const int count = 40;
    for (int k = 0; k < count; ++k)
    {
        const Ogre::Vector3 point = far.position + across * (half * (2.0f * float(k) / float(count - 1) - 1.0f));
        dabs.push_back({point.x, point.z, 1.5f * dab, Brush::raise, 0.25f * crater * perHeight});
    }
    return dabs;
}

// Opens the heightmap, flies the path and prints the summary. Result: the exit status.
int fly(const ViewerSetup& setup, Ogre::Root& root, TerrainScene& scene, StatsOverlay* stats,
        Ogre::RenderTarget& target)
{
    const ViewerOptions& options = setup.options;
    std::string error;
    const Clock::time_point opened = Clock::now();
    if (!scene.open(setup.heightmap, setup.edge, error))
    {
        std::fprintf(stderr, "terrain-viewer: %s\n", error.c_str());
        return 1;
    }
    const CameraPath path(CameraPath::defaultKeys(), setup.terrain.size,
                          [&scene](float x, float z, float radius) { return scene.highestGround(x, z, radius); });
    std::printf("Camera path: %.1f km in %d frames, then the last view until it converges\n",
                path.length() / 1000.0, options.frames);

    OffscreenFlight flight(root, scene, stats);
    const auto [warmupFrames, warmupConverged] = flight.settle("warm-up", 0.0, path.at(0.0));
    const double firstConverged = secondsSince(opened);

    // The demo sculpts during the second half of the flight, a few dabs a frame.
    std::unique_ptr<Sculptor> sculptor;
    std::vector<DemoDab> dabs;
    if (options.sculptDemo)
    {
        sculptor = std::make_unique<Sculptor>(*scene.getTerrain(), setup.edge, setup.terrain.size);
        dabs = planSculptDemo(scene, path.at(1.0), sculptor->samplesPerUnit());
        if (dabs.empty())
            std::printf("sculpt: the last view shows no ground to sculpt\n");
    }
    const int sculptFrom = options.frames / 2;
    const size_t sculptFrames = size_t(options.frames - sculptFrom); // at least 1
    const size_t dabsPerFrame = std::max<size_t>(1, (dabs.size() + sculptFrames - 1) / sculptFrames);
    size_t nextDab = 0;
    for (int i = 0; i < options.frames && !stopRequested(); ++i)
    {
        const double fraction = options.frames == 1 ? 1.0 : double(i) / double(options.frames - 1);
        for (size_t k = 0; i >= sculptFrom && k < dabsPerFrame && nextDab < dabs.size(); ++k, ++nextDab)
        {
            const DemoDab& d = dabs[nextDab];
            if (nextDab == 0 || d.brush != dabs[nextDab - 1].brush)
                sculptor->beginStroke();
            sculptor->dab(d.x, d.z, d.radius, d.brush, d.amount);
        }
        flight.frame("path", i, options.frames, fraction, path.at(fraction));
    }
    const auto [settleFrames, settled] = flight.settle("settle", 1.0, path.at(1.0));
    if (stopRequested())
    {
        std::printf("Interrupted after %d frames.\n", flight.summary.frames());
        return 130;
    }

    std::string saved;
    if (!options.screenshot.empty())
    {
        target.writeContentsToFile(options.screenshot);
        saved = std::filesystem::absolute(options.screenshot).string();
    }

    const FrameSummary& summary = flight.summary;
    std::printf("summary: frames %d (path %d, warm-up %d, settle %d)\n", summary.frames(), options.frames,
                warmupFrames, settleFrames);
    std::printf("summary: render-thread ms per frame: average %.1f, slowest %.1f\n", summary.averageMs(),
                summary.slowestMs());
    std::printf("summary: peak: drawn %llu patches, %s triangles, %.1f MiB\n",
                static_cast<unsigned long long>(summary.peakDrawn()), formatCount(summary.peakTriangles()).c_str(),
                double(summary.peakMemoryBytes()) / (1024.0 * 1024.0));
    if (warmupConverged)
        std::printf("summary: first converged view: %.2f s after the heightmap opened (%d frames)\n",
                    firstConverged, warmupFrames);
    else
        std::printf("summary: first converged view: none in %d frames (%.2f s)\n", warmupFrames, firstConverged);
    std::printf("summary: final view: %s  %s\n", settled ? "converged" : "NOT converged",
                formatSample(flight.last).c_str());
    if (sculptor)
    {
        const Sculptor::Cost& cost = sculptor->cost();
        std::printf("summary: sculpt: %llu dabs, %llu samples written to %s; render thread per dab: average %.2f ms, "
                    "slowest %.2f ms\n",
                    static_cast<unsigned long long>(cost.dabs), static_cast<unsigned long long>(cost.samples),
                    setup.heightmap.c_str(), cost.dabs ? cost.totalMs / double(cost.dabs) : 0.0, cost.slowestMs);
    }
    if (!saved.empty())
        std::printf("summary: screenshot: %s\n", saved.c_str());
    std::fflush(stdout);
    return settled ? 0 : 3;
}
} // namespace

int runOffscreen(const ViewerSetup& setup)
{
    const ViewerOptions& options = setup.options;
    std::unique_ptr<Ogre::LogManager> logs = createViewerLog(setup.logFile);
    Ogre::Root root("", "", "");
    loadViewerPlugins(root);
    useGLRenderSystem(root, false);
    root.initialise(false);
    // The GL context lives in a small window that is never drawn; the picture is a texture of its
    // own size, so it does not depend on the size of the (virtual) screen. The window's buffers
    // are still swapped every frame: the swap is what holds the frames to the renderer's pace.
    // Without it a software renderer queued the frames it had not drawn yet, 5 ms each, until
    // one of them waited for all the others (0.4-1.3 s, always 3-5 s into a run), and the
    // build thread got no processor in the meantime.
    Ogre::RenderWindow* window = root.createRenderWindow("terrain-viewer", 32, 32, false);
    window->setAutoUpdated(true);

    auto overlaySystem = std::make_unique<Ogre::OverlaySystem>();
    const bool fonts = addViewerResources(setup.mediaDir);
    Ogre::ResourceGroupManager::getSingleton().initialiseAllResourceGroups();

    Ogre::TexturePtr picture = Ogre::TextureManager::getSingleton().createManual(
        "TerrainViewer/Picture", kViewerResourceGroup, Ogre::TEX_TYPE_2D, options.width, options.height, 0,
        Ogre::PF_BYTE_RGB, Ogre::TU_RENDERTARGET);

    int status;
    {
        const bool showStats = options.overlay && fonts;
        TerrainScene scene(root, showStats ? overlaySystem.get() : nullptr, setup.terrain);
        Ogre::RenderTarget& target = *picture->getBuffer()->getRenderTarget();
        scene.addViewport(target);
        std::unique_ptr<StatsOverlay> stats = showStats ? std::make_unique<StatsOverlay>() : nullptr;
        status = fly(setup, root, scene, stats.get(), target);
    }
    Ogre::TextureManager::getSingleton().remove(picture);
    picture.reset();
    overlaySystem.reset();
    return status;
}
