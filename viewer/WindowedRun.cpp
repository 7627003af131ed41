// The windowed run: an OgreBites application context (an SDL window and its input) showing the
// camera path, with a fly camera the user can take over.

#include "EngineSetup.h"
#include "Sculptor.h"
#include "StatsOverlay.h"
#include "StopSignal.h"
#include "ViewerRuns.h"

#include <OgreApplicationContext.h>
#include <OgreCamera.h>
#include <OgreCameraMan.h>
#include <OgreInput.h>
#include <OgreLogManager.h>
#include <OgreManualObject.h>
#include <OgreOverlaySystem.h>
#include <OgreRenderWindow.h>
#include <OgreResourceGroupManager.h>
#include <OgreRoot.h>
#include <OgreViewport.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <array>
#include <optional>

#include "Terrain.h"

namespace
{
using Clock = std::chrono::steady_clock;

// The path is flown at this speed over the ground (world units per second), then starts again.
constexpr double kPathSpeed = 220.0;
// Free flight: top speed of the fly camera (Shift makes it 20 times faster).
constexpr float kFlySpeed = 120.0f;
// The sculpt brush: radius in samples at first and its limits, how fast it raises or lowers
// (sample values per second at the centre), and how much of the way smooth and flatten go per
// second (in the Sculptor's 4096ths).
constexpr float kBrushSamples = 24.0f;
constexpr float kMinBrushSamples = 2.0f;
constexpr float kMaxBrushSamples = 256.0f;
constexpr float kRaiseRate = 6000.0f;
constexpr float kPullRate = 4.0f * 4096.0f;

class ViewerApplication : public OgreBites::ApplicationContext, public OgreBites::InputListener
{
public:
    // The context is named like the built-in map's folder, so that the folder it makes for itself
    // (under ~/.cache) is that one.
    explicit ViewerApplication(const ViewerSetup& config_)
        : OgreBites::ApplicationContext("plugin-terrain"), config(config_)
    {
    }

    int run()
    {
        try
        {
            initApp();
        }
        catch (...)
        {
            // Shut the engine down in order (the terrain's build thread first), then report.
            closeApp();
            throw;
        }
        if (!scene)
        {
            closeApp();
            return 1;
        }
        std::printf("Window open: W A S D to fly, drag to look, P for the path, F wireframe, B blood, "
                    "F12 screenshot, Escape to quit; 1 to 4 sculpt (raise, lower, smooth, flatten), 0 stops\n");
        std::fflush(stdout);
        Clock::time_point previous = Clock::now();
        while (!quit && !stopRequested() && !mRoot->endRenderingQueued() && !getRenderWindow()->isClosed())
        {
            const Clock::time_point now = Clock::now();
            const double seconds = std::chrono::duration<double>(now - previous).count();
            previous = now;
            if (followPath)
            {
                pathTime = std::fmod(pathTime + seconds, pathDuration);
                scene->setPose(path->at(pathTime / pathDuration));
            }
            if (brush)
                brushFrame(float(seconds));
            else if (brushRing)
                brushRing->setVisible(false);
            scene->beforeFrame();
            const Clock::time_point start = Clock::now();
            if (!mRoot->renderOneFrame())
                break;
            const FrameSample sample =
                scene->sample(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            if (stats)
                stats->setText(formatSample(sample), hint());
        }
        closeApp();
        return 0;
    }

    // ---- ApplicationContext ----

    void createRoot() override
    {
        logs = createViewerLog(config.logFile);
        mRoot = OGRE_NEW Ogre::Root("", "", "");
        loadViewerPlugins(*mRoot);
        mOverlaySystem = OGRE_NEW Ogre::OverlaySystem();
    }

    bool oneTimeConfig() override
    {
        useGLRenderSystem(*mRoot, true);
        return true;
    }

    void setup() override
    {
        mRoot->initialise(false);
        createWindow("Plugin_Terrain viewer", config.options.width, config.options.height);
        const bool fonts = addViewerResources(config.mediaDir);
        Ogre::ResourceGroupManager::getSingleton().initialiseAllResourceGroups();
        mRoot->addFrameListener(this);

        const bool showStats = config.options.overlay && fonts;
        scene = std::make_unique<TerrainScene>(*mRoot, showStats ? mOverlaySystem : nullptr, config.terrain);
        scene->addViewport(*getRenderWindow());
        if (showStats)
            stats = std::make_unique<StatsOverlay>();
        std::string error;
        if (!scene->open(config.heightmap, config.edge, error))
        {
            std::fprintf(stderr, "terrain-viewer: %s\n", error.c_str());
            stats.reset();
            scene.reset();
            return;
        }
        path = std::make_unique<CameraPath>(CameraPath::defaultKeys(), config.terrain.size,
                                            [this](float x, float z, float radius) {
                                                return scene->highestGround(x, z, radius);
                                            });
        pathDuration = std::max(path->length() / kPathSpeed, 1.0);
        scene->setPose(path->at(0.0));
        cameraMan = std::make_unique<OgreBites::CameraMan>(scene->getCameraNode());
        cameraMan->setStyle(OgreBites::CS_FREELOOK);
        cameraMan->setTopSpeed(kFlySpeed);
        if (config.sculptable)
        {
            sculptor = std::make_unique<Sculptor>(*scene->getTerrain(), config.edge, config.terrain.size);
            brushRadius = kBrushSamples / sculptor->samplesPerUnit();
        }
        addInputListener(this);
    }

    void shutdown() override
    {
        if (!mWindows.empty())
            removeInputListener(this);
        cameraMan.reset();
        if (brushRing && scene)
            scene->getSceneManager()->destroyManualObject(brushRing);
        brushRing = nullptr;
        sculptor.reset();
        stats.reset();
        scene.reset();
        OgreBites::ApplicationContext::shutdown();
    }

    void windowResized(Ogre::RenderWindow*) override
    {
        if (scene)
        {
            Ogre::Viewport* viewport = getRenderWindow()->getViewport(0);
            scene->getCamera()->setAspectRatio(float(viewport->getActualWidth()) /
                                               float(viewport->getActualHeight()));
        }
    }

    // ---- InputListener ----

    void frameRendered(const Ogre::FrameEvent& event) override
    {
        if (!followPath)
            cameraMan->frameRendered(event);
    }

    bool keyPressed(const OgreBites::KeyboardEvent& event) override
    {
        const OgreBites::Keycode key = event.keysym.sym;
        if (key == OgreBites::SDLK_ESCAPE)
            quit = true;
        else if (key == 'f')
            scene->setWireframe(!scene->isWireframe());
        else if (key == 'b')
            scene->setBlood(!scene->isBloodEnabled());
        else if (key == OgreBites::SDLK_F12)
        {
            const std::string file = getRenderWindow()->writeContentsToTimestampedFile("terrain-viewer-", ".png");
            std::printf("Screenshot: %s\n", file.c_str());
            std::fflush(stdout);
        }
        else if (key >= '0' && key <= '4')
            chooseBrush(int(key - '0'));
        else if (key == 'z' && (event.keysym.mod & OgreBites::KMOD_CTRL))
        {
            if (sculptor && !painting && sculptor->undo())
                std::printf("Undone: %zu more strokes can be undone\n", sculptor->undoableStrokes());
            std::fflush(stdout);
        }
        else if (key == 'p')
        {
            followPath = true;
            cameraMan->manualStop();
        }
        else if (key == OgreBites::SDLK_LSHIFT)
            cameraMan->keyPressed(event);
        else if (isFlightKey(key))
        {
            followPath = false;
            cameraMan->keyPressed(translate(event));
        }
        return true;
    }

    bool keyReleased(const OgreBites::KeyboardEvent& event) override
    {
        if (isFlightKey(event.keysym.sym) || event.keysym.sym == OgreBites::SDLK_LSHIFT)
            cameraMan->keyReleased(translate(event));
        return true;
    }

    bool mousePressed(const OgreBites::MouseButtonEvent& event) override
    {
        // With a brush chosen the left button paints; the others look around.
        if (brush && event.button == OgreBites::BUTTON_LEFT)
        {
            painting = true;
            sculptor->beginStroke();
            pointerX = event.x;
            pointerY = event.y;
            return true;
        }
        buttonsHeld += 1;
        return true;
    }

    bool mouseReleased(const OgreBites::MouseButtonEvent& event) override
    {
        if (painting && event.button == OgreBites::BUTTON_LEFT)
        {
            painting = false;
            return true;
        }
        buttonsHeld = std::max(buttonsHeld - 1, 0);
        return true;
    }

    bool mouseMoved(const OgreBites::MouseMotionEvent& event) override
    {
        pointerX = event.x;
        pointerY = event.y;
        // Looking around only while a button is held, so the pointer can rest on the window.
        if (buttonsHeld == 0)
            return true;
        followPath = false;
        return cameraMan->mouseMoved(event);
    }

    bool mouseWheelRolled(const OgreBites::MouseWheelEvent& event) override
    {
        if (!sculptor || event.y == 0)
            return true;
        const float perUnit = sculptor->samplesPerUnit();
        brushRadius = std::clamp(brushRadius * std::pow(1.15f, float(event.y)), kMinBrushSamples / perUnit,
                                 kMaxBrushSamples / perUnit);
        return true;
    }

private:
    // 1 to 4 choose a brush, 0 puts it away. Without a map the brush may write to, says why.
    void chooseBrush(int choice)
    {
        if (!sculptor)
        {
            std::printf("Sculpting writes to the heightmap: run with --edit FILE to sculpt your map, or without a "
                        "heightmap to sculpt a copy of the built-in one\n");
            std::fflush(stdout);
            return;
        }
        painting = false;
        if (choice == 0)
        {
            brush.reset();
            return;
        }
        brush = std::array<Brush, 4>{Brush::raise, Brush::lower, Brush::smooth, Brush::flatten}[size_t(choice - 1)];
        // The camera holds still for sculpting (the path would carry the ground away).
        followPath = false;
    }

    // With a brush chosen: a ring on the ground where the pointer meets it, and while the left
    // button is down one dab there, as strong as the frame was long.
    void brushFrame(float seconds)
    {
        Ogre::Viewport* viewport = getRenderWindow()->getViewport(0);
        const Ogre::Ray ray = scene->getCamera()->getCameraToViewportRay(
            float(pointerX) / float(viewport->getActualWidth()), float(pointerY) / float(viewport->getActualHeight()));
        const Terrain::Hit hit = scene->getTerrain()->intersect(ray);
        showRing(hit);
        if (!hit.hit || !painting)
            return;
        seconds = std::min(seconds, 0.1f); // a stalled frame does not dig a pit
        const bool pulls = *brush == Brush::smooth || *brush == Brush::flatten;
        sculptor->dab(hit.position.x, hit.position.z, brushRadius, *brush, (pulls ? kPullRate : kRaiseRate) * seconds);
    }

    // The brush's outline, following the drawn ground a little above it; hidden off the ground.
    void showRing(const Terrain::Hit& centre)
    {
        if (!brushRing)
        {
            brushRing = scene->getSceneManager()->createManualObject("TerrainViewer/BrushRing");
            brushRing->setDynamic(true);
            scene->getSceneManager()->getRootSceneNode()->attachObject(brushRing);
        }
        brushRing->setVisible(centre.hit);
        if (!centre.hit)
            return;
        constexpr int kPoints = 72;
        const Ogre::ColourValue colour = *brush == Brush::lower ? Ogre::ColourValue(1.0f, 0.35f, 0.2f)
                                                                  : Ogre::ColourValue(1.0f, 0.9f, 0.2f);
        const bool first = brushRing->getSections().empty();
        if (first)
            brushRing->begin("BaseWhiteNoLighting", Ogre::RenderOperation::OT_LINE_STRIP);
        else
            brushRing->beginUpdate(0);
        for (int k = 0; k <= kPoints; ++k)
        {
            const float angle = 6.2831853f * float(k) / float(kPoints);
            Ogre::Vector3 point = centre.position + Ogre::Vector3(std::cos(angle), 0, std::sin(angle)) * brushRadius;
            const Terrain::Hit ground = scene->getTerrain()->getHeight(point);
            point.y = (ground.hit ? ground.position.y : centre.position.y) + 0.02f * brushRadius;
            brushRing->position(point);
            brushRing->colour(colour);
        }
        brushRing->end();
    }

    // The keys that move the fly camera, and so leave the path.
    static bool isFlightKey(OgreBites::Keycode key)
    {
        return key == 'w' || key == 'a' || key == 's' || key == 'd' || key == 'q' || key == 'e' ||
               key == OgreBites::SDLK_UP || key == OgreBites::SDLK_DOWN || key == OgreBites::SDLK_LEFT ||
               key == OgreBites::SDLK_RIGHT || key == OgreBites::SDLK_PAGEUP || key == OgreBites::SDLK_PAGEDOWN;
    }

    // Q and E climb and sink like Page Up and Page Down.
    static OgreBites::KeyboardEvent translate(OgreBites::KeyboardEvent event)
    {
        if (event.keysym.sym == 'e')
            event.keysym.sym = OgreBites::SDLK_PAGEUP;
        else if (event.keysym.sym == 'q')
            event.keysym.sym = OgreBites::SDLK_PAGEDOWN;
        return event;
    }

    std::string hint() const
    {
        std::string text = std::string(followPath ? "flying the path" : "free flight") + (scene->isWireframe() ? ", wireframe" : "");
        if (brush)
        {
            char line[160];
            std::snprintf(line, sizeof line, ", sculpt: %s, radius %.0f   left button paints  wheel size  Ctrl+Z undo  0 stop",
                          brushName(*brush), double(brushRadius));
            return text + line;
        }
        return text + "   WASD QE fly  drag look  1-4 sculpt  P path  F wireframe  B blood  F12 picture  Esc quit";
    }

    const ViewerSetup& config;
    std::unique_ptr<Ogre::LogManager> logs;
    std::unique_ptr<TerrainScene> scene;
    std::unique_ptr<StatsOverlay> stats;
    std::unique_ptr<CameraPath> path;
    std::unique_ptr<OgreBites::CameraMan> cameraMan;
    std::unique_ptr<Sculptor> sculptor; // when the map may be written
    Ogre::ManualObject* brushRing = nullptr; // the brush's outline, made when first shown
    std::optional<Brush> brush;         // sculpting with it; none: not sculpting
    float brushRadius = 0;              // world units
    bool painting = false;              // the left button is down with a brush
    int pointerX = 0;                   // the pointer in window pixels
    int pointerY = 0;
    bool quit = false;
    bool followPath = true;
    double pathTime = 0;
    double pathDuration = 1;
    int buttonsHeld = 0;
};
} // namespace

int runWindowed(const ViewerSetup& setup)
{
    ViewerApplication application(setup);
    return application.run();
}
