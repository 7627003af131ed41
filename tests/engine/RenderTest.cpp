// The terrain drawn by the engine's GL render system (under Xvfb, on Mesa's software
// rasteriser), read back pixel by pixel: a closed surface while the level of detail changes,
// shading decoded from the ten-float vertex record, blood patches on their cells, and frames
// without a stream. The materials are the tests' own (media/TerrainTest.material).

#include "EngineSupport.h"

#include <Ogre.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

namespace
{
constexpr unsigned int kWidth = 320;
constexpr unsigned int kHeight = 240;
const Ogre::ColourValue kBackground(1, 0, 1); // magenta: never a normal's colour (green > 0.5)

// One GL window for the whole program; the render system is started once per process.
class GlEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        logs = std::make_unique<Ogre::LogManager>();
        logs->createLog("render-test.log", true, false, true);
        root = std::make_unique<Ogre::Root>("", "", "");
        root->loadPlugin(std::string(TERRAIN_OGRE_PLUGIN_DIR) + "/RenderSystem_GL");
        ASSERT_FALSE(root->getAvailableRenderers().empty());
        root->setRenderSystem(root->getAvailableRenderers().front());
        root->initialise(false);
        Ogre::NameValuePairList params;
        params["vsync"] = "false";
        window = root->createRenderWindow("terrain render test", kWidth, kHeight, false, &params);
        window->setAutoUpdated(false);
        Ogre::ResourceGroupManager::getSingleton().addResourceLocation(TERRAIN_TEST_MEDIA, "FileSystem",
                                                                       Ogre::RGN_DEFAULT);
        Ogre::ResourceGroupManager::getSingleton().initialiseAllResourceGroups();
    }
    void TearDown() override
    {
        window = nullptr;
        root.reset();
        logs.reset();
    }

    static std::unique_ptr<Ogre::LogManager> logs;
    static std::unique_ptr<Ogre::Root> root;
    static Ogre::RenderWindow* window;
};
std::unique_ptr<Ogre::LogManager> GlEnvironment::logs;
std::unique_ptr<Ogre::Root> GlEnvironment::root;
Ogre::RenderWindow* GlEnvironment::window = nullptr;
::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new GlEnvironment);

using namespace testing_support;

// A frame read back from the window, row 0 at the top.
struct Picture
{
    std::vector<Ogre::uint8> rgba = std::vector<Ogre::uint8>(size_t(kWidth) * kHeight * 4);

    Ogre::ColourValue at(int x, int y) const
    {
        const Ogre::uint8* p = &rgba[(size_t(y) * kWidth + size_t(x)) * 4];
        return Ogre::ColourValue(p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f);
    }
    static bool close(const Ogre::ColourValue& a, const Ogre::ColourValue& b, float tolerance)
    {
        return std::fabs(a.r - b.r) <= tolerance && std::fabs(a.g - b.g) <= tolerance &&
               std::fabs(a.b - b.b) <= tolerance;
    }
    int count(const std::function<bool(const Ogre::ColourValue&)>& predicate) const
    {
        int n = 0;
        for (int y = 0; y < int(kHeight); ++y)
            for (int x = 0; x < int(kWidth); ++x)
                n += predicate(at(x, y)) ? 1 : 0;
        return n;
    }
};

bool isBackground(const Ogre::ColourValue& c)
{
    return Picture::close(c, kBackground, 0.05f);
}

bool isRed(const Ogre::ColourValue& c)
{
    return c.r > 0.9f && c.g < 0.1f && c.b < 0.1f;
}

class TerrainRendering : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(GlEnvironment::window, nullptr);
        scene = GlEnvironment::root->createSceneManager();
        camera = scene->createCamera("eye");
        camera->setNearClipDistance(1.0f);
        camera->setFarClipDistance(20000.0f);
        camera->setAspectRatio(float(kWidth) / float(kHeight));
        cameraNode = scene->getRootSceneNode()->createChildSceneNode();
        cameraNode->attachObject(camera);
        Ogre::Viewport* viewport = GlEnvironment::window->addViewport(camera);
        viewport->setBackgroundColour(kBackground);
    }
    void TearDown() override
    {
        terrain.reset();
        GlEnvironment::window->removeAllViewports();
        GlEnvironment::root->destroySceneManager(scene);
    }

    TestTerrain* makeTerrain(float size, float height)
    {
        terrain = std::make_unique<TestTerrain>("ground");
        scene->getRootSceneNode()->attachObject(terrain.get());
        terrain->setTerrainScale(size, height);
        terrain->setPatchSize(16);
        terrain->setHeightCacheSize(2048);
        terrain->setDefaultMaterialName("Test/TerrainNormal");
        return terrain.get();
    }

    // The camera at position, turned by yaw about y and pitched down by pitch (degrees).
    void placeCamera(const Ogre::Vector3& position, float yaw, float pitch)
    {
        cameraNode->setPosition(position);
        cameraNode->setOrientation(Ogre::Quaternion(Ogre::Degree(yaw), Ogre::Vector3::UNIT_Y) *
                                   Ogre::Quaternion(Ogre::Degree(-pitch), Ogre::Vector3::UNIT_X));
    }

    // One engine frame, read back before the buffers swap.
    Picture frame()
    {
        Ogre::Root& root = *GlEnvironment::root;
        Ogre::RenderWindow& window = *GlEnvironment::window;
        Picture picture;
        root._fireFrameStarted();
        window.update(false);
        window.copyContentsToMemory(Ogre::Box(0, 0, kWidth, kHeight),
                                    Ogre::PixelBox(kWidth, kHeight, 1, Ogre::PF_BYTE_RGBA, picture.rgba.data()));
        window.swapBuffers();
        root._fireFrameEnded();
        return picture;
    }

    // Runs the level of detail without drawing until the terrain has settled (bounded): the
    // terrain is told of the camera as the scene manager would.
    void settle() { testing_support::settle(*terrain, camera); }

    // Pixel of a world point, or false when it is not in front of the camera and on screen.
    bool project(const Ogre::Vector3& world, int& x, int& y) const
    {
        const Ogre::Vector4 clip =
            camera->getProjectionMatrix() * camera->getViewMatrix() * Ogre::Vector4(world.x, world.y, world.z, 1.0f);
        if (clip.w <= 0)
            return false;
        x = int(std::floor((clip.x / clip.w + 1.0f) * 0.5f * kWidth));
        y = int(std::floor((1.0f - clip.y / clip.w) * 0.5f * kHeight));
        return x >= 0 && y >= 0 && x < int(kWidth) && y < int(kHeight);
    }

    TestFolder folder;
    Ogre::SceneManager* scene = nullptr;
    Ogre::Camera* camera = nullptr;
    Ogre::SceneNode* cameraNode = nullptr;
    std::unique_ptr<TestTerrain> terrain;
};
} // namespace

TEST_F(TerrainRendering, SurfaceStaysClosedWhilePatchesSplitAndMerge)
{
    makeTerrain(4096, 400);
    ASSERT_TRUE(terrain->openStream(writeFractalHeightmap(folder.file("rough.tif"), 1025, 11, 0.55f)));
    // Seen from above, tilted down 60 degrees, the ground fills the whole view: any background
    // pixel is a gap in the surface.
    const auto eyeAt = [](float t) {
        return Ogre::Vector3(-500 + 1000 * t, 650 + 200 * std::sin(t * 2 * Ogre::Math::PI), -300 + 500 * t);
    };
    placeCamera(eyeAt(0), 30, 60);
    settle();
    std::vector<size_t> drawn{drawnLeaves(*terrain->getLandscape()).size()};
    int morphing = 0;
    const int frames = 36;
    for (int f = 0; f <= frames; ++f)
    {
        placeCamera(eyeAt(float(f) / frames), 30 + f, 60);
        const Picture picture = frame();
        ASSERT_EQ(picture.count(isBackground), 0) << "frame " << f;
        drawn.push_back(drawnLeaves(*terrain->getLandscape()).size());
        for (PatchGeometry* patch : terrain->getLandscape()->getVisiblePatches())
            morphing += patch->drawable && *patch->morph > 0.0f && *patch->morph < 1.0f;
    }
    bool split = false, merged = false;
    for (size_t i = 1; i < drawn.size(); ++i)
    {
        split = split || drawn[i] > drawn[i - 1];
        merged = merged || drawn[i] < drawn[i - 1];
    }
    EXPECT_TRUE(split);
    EXPECT_TRUE(merged);
    EXPECT_GT(morphing, 0) << "patches were drawn part way through their morph";
}

TEST_F(TerrainRendering, TiltedPlaneShowsItsNormalEverywhere)
{
    // Sample 100 x + 40 z, 0.01 units of height per sample value over 4 units per sample: the
    // plane y = 0.25 x + 0.1 z + c, normal (-0.25, 1, -0.1) normalised.
    makeTerrain(1024, 655.35f);
    ASSERT_TRUE(terrain->openStream(writeHeightmap(folder.file("plane.tif"), 257, 257, [](int x, int z) { return uint16_t(100 * x + 40 * z); })));
    const Ogre::Vector3 normal = Ogre::Vector3(-0.25f, 1.0f, -0.1f).normalisedCopy();
    const Ogre::ColourValue expected(normal.x * 0.5f + 0.5f, normal.y * 0.5f + 0.5f, normal.z * 0.5f + 0.5f);
    for (float yaw : {0.0f, 120.0f, 250.0f})
    {
        SCOPED_TRACE(yaw);
        // About 90 units above the plane: the view stays well inside the map, away from its
        // edges, where the normals see the samples that the map does not have.
        placeCamera(Ogre::Vector3(-50, 260, 20), yaw, 60);
        settle();
        const Picture picture = frame();
        EXPECT_EQ(picture.count([&](const Ogre::ColourValue& c) { return !Picture::close(c, expected, 3.0f / 255); }), 0)
            << "centre pixel " << picture.at(kWidth / 2, kHeight / 2) << ", expected " << expected;
    }
}

TEST_F(TerrainRendering, BloodPatchShowsOnItsCellUntilNoLongerRequested)
{
    makeTerrain(2048, 250);
    terrain->setBloodMaterialName("Test/Blood");
    ASSERT_TRUE(terrain->openStream(writeFractalHeightmap(folder.file("rough.tif"), 1025, 5, 0.55f)));
    Ogre::Image image(Ogre::PF_BYTE_RGBA, 256, 256);
    image.setTo(Ogre::ColourValue::Red);
    const Ogre::TexturePtr red = Ogre::TextureManager::getSingleton().loadImage("red", Ogre::RGN_DEFAULT, image);
    placeCamera(Ogre::Vector3(100, 450, 300), 10, 55);
    settle();
    frame();

    // The patch drawn under the middle of the screen, and its quarter holding that point.
    const Terrain::Hit centre =
        terrain->intersect(camera->getCameraToViewportRay(0.5f, 0.5f));
    ASSERT_TRUE(centre.hit);
    Ogre::Vector2 corner, size;
    const unsigned int id = terrain->getPatchInfo(centre.position, centre.level, corner, size);
    const float half = size.x / 2;
    const int code = (centre.position.x >= corner.x + half ? 1 : 0) | (centre.position.z >= corner.y + half ? 2 : 0);
    const Ogre::Vector2 cell(corner.x + ((code & 1) ? half : 0), corner.y + ((code & 2) ? half : 0));
    const auto surface = [&](float x, float z) { return terrain->getHeight(Ogre::Vector3(x, 0, z)).position; };

    terrain->drawBloodPatch(id, red, code, 1);
    Picture picture = frame();
    // Every point well inside the cell shows the texture...
    int inside = 0;
    for (int i = 1; i < 8; ++i)
        for (int j = 1; j < 8; ++j)
        {
            int x, y;
            if (!project(surface(cell.x + half * i / 8, cell.y + half * j / 8), x, y))
                continue;
            ++inside;
            EXPECT_TRUE(isRed(picture.at(x, y))) << i << "," << j << " pixel " << x << "," << y << " "
                                                  << picture.at(x, y);
        }
    EXPECT_GT(inside, 30);
    // ...and the quarter diagonally across the patch does not.
    const Ogre::Vector2 across(corner.x + ((code & 1) ? 0 : half) + half / 2, corner.y + ((code & 2) ? 0 : half) + half / 2);
    int x, y;
    ASSERT_TRUE(project(surface(across.x, across.y), x, y));
    EXPECT_FALSE(isRed(picture.at(x, y)));
    EXPECT_FALSE(isBackground(picture.at(x, y)));

    // Not requested again: gone from the next frame on.
    picture = frame();
    ASSERT_TRUE(project(surface(cell.x + half / 2, cell.y + half / 2), x, y));
    EXPECT_FALSE(isRed(picture.at(x, y)));
    EXPECT_EQ(picture.count(isRed), 0);
}

TEST_F(TerrainRendering, NothingIsDrawnWithoutAStreamAndClosingBetweenFramesIsSafe)
{
    makeTerrain(4096, 200);
    placeCamera(Ogre::Vector3(0, 400, 0), 0, 60);
    for (int f = 0; f < 3; ++f)
        EXPECT_EQ(frame().count(isBackground), int(kWidth * kHeight)) << "no stream yet";

    ASSERT_TRUE(terrain->openStream(writeFractalHeightmap(folder.file("hills.tif"), 257, 3, 0.5f)));
    settle();
    const Picture open = frame();
    EXPECT_EQ(open.count(isBackground), 0);

    // Closed between frames: the patches already made stay drawn, nothing moves any more.
    terrain->closeStream();
    for (int f = 0; f < 3; ++f)
    {
        placeCamera(Ogre::Vector3(0, 400 - 40.0f * f, 30.0f * f), 10.0f * f, 60);
        const Picture closed = frame();
        EXPECT_EQ(closed.count(isBackground), 0) << f;
    }
    terrain->closeStream();
    ASSERT_TRUE(terrain->openStream(writeFractalHeightmap(folder.file("hills2.tif"), 257, 3, 0.5f)));
    settle();
    EXPECT_EQ(frame().count(isBackground), 0);
}
