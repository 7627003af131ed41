// The windowed run: an OgreBites application context (an SDL window and its input) showing the
// camera path, with a fly camera the user can take over.

#include "EngineSetup.h"
#include "StatsOverlay.h"
#include "StopSignal.h"
#include "ViewerRuns.h"

#include <OgreApplicationContext.h>
#include <OgreCameraMan.h>
#include <OgreInput.h>
#include <OgreLogManager.h>
#include <OgreOverlaySystem.h>
#include <OgreRenderWindow.h>
#include <OgreResourceGroupManager.h>
#include <OgreRoot.h>
#include <OgreViewport.h>

#include <chrono>
#include <cmath>
#include <cstdio>

namespace
{
using Clock = std::chrono::steady_clock;

// The path is flown at this speed over the ground (world units per second), then starts again.
constexpr double kPathSpeed = 220.0;
// Free flight: top speed of the fly camera (Shift makes it 20 times faster).
constexpr float kFlySpeed = 120.0f;

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
                    "F12 screenshot, Escape to quit\n");
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
        addInputListener(this);
    }

    void shutdown() override
    {
        if (!mWindows.empty())
            removeInputListener(this);
        cameraMan.reset();
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

    bool mousePressed(const OgreBites::MouseButtonEvent&) override
    {
        buttonsHeld += 1;
        return true;
    }

    bool mouseReleased(const OgreBites::MouseButtonEvent&) override
    {
        buttonsHeld = std::max(buttonsHeld - 1, 0);
        return true;
    }

    bool mouseMoved(const OgreBites::MouseMotionEvent& event) override
    {
        // Looking around only while a button is held, so the pointer can rest on the window.
        if (buttonsHeld == 0)
            return true;
        followPath = false;
        return cameraMan->mouseMoved(event);
    }

private:
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
        return std::string(followPath ? "flying the path" : "free flight") + (scene->isWireframe() ? ", wireframe" : "") +
               "   WASD QE fly  drag look  P path  F wireframe  B blood  F12 picture  Esc quit";
    }

    const ViewerSetup& config;
    std::unique_ptr<Ogre::LogManager> logs;
    std::unique_ptr<TerrainScene> scene;
    std::unique_ptr<StatsOverlay> stats;
    std::unique_ptr<CameraPath> path;
    std::unique_ptr<OgreBites::CameraMan> cameraMan;
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
