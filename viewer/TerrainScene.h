#pragma once

// The scene the viewer shows, shared by the windowed and the offscreen runs: a scene manager,
// the camera on its node, the terrain created through the plug-in with the shipped materials,
// and the blood patches.

#include "CameraPath.h"
#include "FrameStatistics.h"

#include <OgreColourValue.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Ogre
{
class Camera;
class OverlaySystem;
class RenderTarget;
class Root;
class SceneManager;
class SceneNode;
class Viewport;
}
class BloodPainter;
class Terrain;

struct TerrainSettings
{
    float size = 0;      // world edge length
    float height = 0;    // world height of sample 65535
    int patchSize = 16;  // quads along a patch edge
    float detail = 3.0f; // screen-space error threshold, half pixels (Terrain::setDetailThreshold)
    uint32_t memoryMiB = 256; // Terrain::setMemoryBudget, in MiB (0: none)
    bool blood = true;   // paint blood patches
    bool wireframe = false; // draw the patches as lines
    uint32_t seed = 0;   // scatter of the blood patches
};

class TerrainScene
{
public:
    // The clear colour: what shows where no terrain is drawn (the sky). The ground's haze fades
    // towards it with distance but stops at 85 % (Terrain.material), so no drawn pixel takes it.
    static const Ogre::ColourValue kSkyColour;

    // Creates the scene. The resource groups must be initialised (Terrain/Default and
    // Terrain/Blood loaded). overlays: added to the scene manager when not null.
    // Throws Ogre::Exception when the plug-in or a material is missing.
    TerrainScene(Ogre::Root& root, Ogre::OverlaySystem* overlays, const TerrainSettings& settings);
    TerrainScene(const TerrainScene&) = delete;
    TerrainScene& operator=(const TerrainScene&) = delete;
    ~TerrainScene();

    // Opens the heightmap of edge x edge samples and starts streaming it.
    // Result: false with `error` when the terrain cannot use the file.
    bool open(const std::string& file, uint32_t edge, std::string& error);

    // A viewport on target showing the camera over the sky colour; the camera's aspect ratio
    // follows the target.
    Ogre::Viewport* addViewport(Ogre::RenderTarget& target);

    void setPose(const CameraPose& pose);
    // Per-frame work before the engine renders (the blood patch requests).
    void beforeFrame();
    // The terrain's counters after a frame that took renderMs on the render thread.
    FrameSample sample(double renderMs);

    void setWireframe(bool wireframe);
    bool isWireframe() const { return wireframe; }
    void setBlood(bool enabled) { bloodEnabled = enabled; }
    bool isBloodEnabled() const { return bloodEnabled; }

    // Highest ground within radius of (x, z), world units, from the heightmap's samples; 0 off
    // the terrain. For the camera path.
    float highestGround(float x, float z, float radius) const;

    Ogre::Camera* getCamera() const { return camera; }
    Ogre::SceneNode* getCameraNode() const { return cameraNode; }
    Ogre::SceneManager* getSceneManager() const { return sceneManager; }
    Terrain* getTerrain() const { return terrain; }
    const TerrainSettings& getSettings() const { return settings; }

private:
    // Sets the ground colour bands from the heights the open map really spans.
    void fitHeightBands();
    // The deepest quadtree level the terrain draws for the open map.
    int deepestLevel() const;

    Ogre::Root& root;
    Ogre::OverlaySystem* overlays;
    TerrainSettings settings;
    uint32_t edge = 0; // samples along the open map's edge
    Ogre::SceneManager* sceneManager = nullptr;
    Ogre::Camera* camera = nullptr;
    Ogre::SceneNode* cameraNode = nullptr;
    Terrain* terrain = nullptr;
    std::unique_ptr<BloodPainter> blood; // made when a map is open
    bool bloodEnabled = true;
    bool wireframe = false;
    size_t decalsRequested = 0; // blood patches asked for the coming frame
};
