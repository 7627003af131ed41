// The smallest host of the terrain: an Ogre application that loads the plug-in, opens a
// heightmap and renders it. Usage: terrain-host heightmap.tif [picture.png]
// Without a display, run it under xvfb-run.

#include <Ogre.h>
#include <Terrain.h>

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: terrain-host heightmap.tif [picture.png]\n");
        return 2;
    }
    try
    {
        // The engine's log stays quiet: neither console nor file.
        Ogre::LogManager logs;
        logs.createLog("terrain-host.log", true, false, true);
        Ogre::Root root("", "", "");
        root.loadPlugin(std::string(OGRE_PLUGIN_FOLDER) + "/RenderSystem_GL");
        root.loadPlugin(std::string(OGRE_PLUGIN_FOLDER) + "/Codec_STBI");
        root.loadPlugin(TERRAIN_PLUGIN);
        root.setRenderSystem(root.getAvailableRenderers().front());
        root.initialise(false);
        Ogre::RenderWindow* window = root.createRenderWindow("terrain-host", 640, 360, false);

        // The shipped materials: "Terrain/Default" reads the terrain's vertex format.
        Ogre::ResourceGroupManager::getSingleton().addResourceLocation(TERRAIN_MEDIA, "FileSystem");
        Ogre::ResourceGroupManager::getSingleton().initialiseAllResourceGroups();

        Ogre::SceneManager* scene = root.createSceneManager();
        Ogre::Camera* camera = scene->createCamera("eye");
        camera->setNearClipDistance(1);
        camera->setFarClipDistance(30000);
        camera->setAutoAspectRatio(true);
        Ogre::SceneNode* eye = scene->getRootSceneNode()->createChildSceneNode();
        eye->attachObject(camera);
        eye->setFixedYawAxis(true); // keep the horizon level
        eye->setPosition(-1800, 900, -1800);
        eye->lookAt(Ogre::Vector3(0, 0, 0), Ogre::Node::TS_WORLD);
        window->addViewport(camera)->setBackgroundColour(Ogre::ColourValue(0.55f, 0.7f, 0.9f));

        // The terrain is a scene object like any other; it updates itself every frame.
        auto* terrain = static_cast<Terrain*>(scene->createMovableObject("ground", "Terrain"));
        scene->getRootSceneNode()->attachObject(terrain);
        terrain->setDefaultMaterialName("Terrain/Default");
        terrain->setTerrainScale(4096, 600);
        terrain->setPatchSize(32);
        terrain->setHeightCacheSize(1024);
        if (!terrain->openStream(argv[1]))
        {
            std::fprintf(stderr, "terrain-host: cannot open %s\n", argv[1]);
            return 1;
        }
        for (int frame = 0; frame < 120; ++frame)
            root.renderOneFrame();

        const Terrain::Info info = terrain->getDebugInfo();
        const Terrain::Hit ground = terrain->getHeight(Ogre::Vector3(0, 0, 0));
        std::printf("%llu patches, %llu drawn in view, ground at the centre: %.1f\n",
                    (unsigned long long)info.patchCount, (unsigned long long)info.visibleCount,
                    ground.hit ? ground.position.y : -1.0f);
        if (argc > 2)
            window->writeContentsToFile(argv[2]);
        scene->destroyMovableObject(terrain);
        return ground.hit && info.visibleCount > 0 ? 0 : 1;
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "terrain-host: %s\n", error.what());
        return 1;
    }
}
