#include "TerrainScene.h"

#include "BloodPainter.h"
#include "EngineSetup.h"
#include "Terrain.h"
#include "heightmap/SampleRows.h"

#include <OgreCamera.h>
#include <OgreGpuProgramParams.h>
#include <OgreMaterialManager.h>
#include <OgreOverlaySystem.h>
#include <OgrePass.h>
#include <OgreRenderTarget.h>
#include <OgreRoot.h>
#include <OgreSceneManager.h>
#include <OgreSceneNode.h>
#include <OgreTechnique.h>
#include <OgreViewport.h>

#include <algorithm>
#include <cmath>
#include <vector>

const Ogre::ColourValue TerrainScene::kSkyColour(0.60f, 0.74f, 0.90f);

namespace
{
constexpr const char* kGroundMaterial = "Terrain/Default";
constexpr const char* kWireframeMaterial = "Terrain/Wireframe";
constexpr const char* kBloodMaterial = "Terrain/Blood";
// Samples of a window read for the camera path's ground test, at most, along each side.
constexpr int kGroundWindow = 48;

// Counts the drawables Terrain::visitRenderables shows: the patches in view that can be drawn.
class DrawableCounter : public Ogre::Renderable::Visitor
{
public:
    void visit(Ogre::Renderable*, Ogre::ushort, bool, Ogre::Any*) override { count += 1; }
    uint64_t count = 0;
};
} // namespace

TerrainScene::TerrainScene(Ogre::Root& root_, Ogre::OverlaySystem* overlays_, const TerrainSettings& settings_)
    : root(root_), overlays(overlays_), settings(settings_), bloodEnabled(settings_.blood)
{
    sceneManager = root.createSceneManager();
    if (overlays)
        sceneManager->addRenderQueueListener(overlays);

    camera = sceneManager->createCamera("TerrainViewer/Camera");
    camera->setNearClipDistance(2.0f);
    camera->setFarClipDistance(settings.size * 1.6f);
    camera->setFOVy(Ogre::Degree(45.0f));
    cameraNode = sceneManager->getRootSceneNode()->createChildSceneNode("TerrainViewer/CameraNode");
    cameraNode->attachObject(camera);
    cameraNode->setFixedYawAxis(true);

    terrain = static_cast<Terrain*>(sceneManager->createMovableObject("TerrainViewer/Ground", "Terrain"));
    sceneManager->getRootSceneNode()->attachObject(terrain);
    terrain->setDefaultMaterialName(kGroundMaterial);
    terrain->setBloodMaterialName(kBloodMaterial);
    terrain->setTerrainScale(settings.size, settings.height);
    terrain->setPatchSize(settings.patchSize);
    // Twice the error is allowed far away: from a quarter of the terrain's edge, fully from half.
    terrain->setDetailThreshold(settings.detail, settings.detail * 2.0f, settings.size * 0.25f);
    // Drawables are cheap to make (two buffer uploads): enough per frame that a new view fills in
    // within a few frames, patches in view first.
    terrain->setOgreBuildLimits(256, 128);
    // 4096 samples (64 MiB of heights) hold most of a 4097-sample map around the camera, so the
    // build thread reads memory instead of the file.
    terrain->setHeightCacheSize(4096);
    terrain->setMemoryBudget(size_t(settings.memoryMiB) << 20);

    setWireframe(settings.wireframe);
}

TerrainScene::~TerrainScene()
{
    blood.reset();
    if (terrain)
    {
        terrain->closeStream();
        sceneManager->destroyMovableObject(terrain);
    }
    if (overlays)
        sceneManager->removeRenderQueueListener(overlays);
    root.destroySceneManager(sceneManager);
}

bool TerrainScene::open(const std::string& file, uint32_t edge_, std::string& error)
{
    if (!terrain->openStream(file))
    {
        error = "the terrain cannot read " + file + " (see the lines above)";
        return false;
    }
    edge = edge_;
    fitHeightBands();
    blood = std::make_unique<BloodPainter>(kViewerResourceGroup, settings.size, deepestLevel(), settings.seed);
    return true;
}

int TerrainScene::deepestLevel() const
{
    // As Terrain::setPatchSize documents it: level 14 - log2(patch size) at most, and no deeper
    // than the level whose quads span one sample of the map; level 4 at least.
    int sizeBits = 0;
    while ((1 << (sizeBits + 1)) <= settings.patchSize)
        ++sizeBits;
    int level = 0;
    while (level < 14 - sizeBits && (uint64_t(settings.patchSize) << (level + 1)) <= uint64_t(edge & ~1u))
        ++level;
    return std::max(level, 4);
}

void TerrainScene::fitHeightBands()
{
    // About 512 rows tell the spread of heights well enough for colour bands: the bands span the
    // 1st to the 99.5th percentile, so a few deep pits or lone peaks do not squeeze them.
    constexpr int kBins = 1024;
    const uint32_t step = std::max<uint32_t>(1, edge / 512);
    std::vector<unsigned char> row(size_t(edge) * 2);
    std::vector<uint64_t> histogram(kBins, 0);
    uint64_t count = 0;
    for (uint32_t y = 0; y < edge; y += step)
    {
        if (terrain->getRawData(0, int(y), int(edge), 1, reinterpret_cast<char*>(row.data())) != edge)
            continue;
        for (uint32_t x = 0; x < edge; ++x)
            histogram[readSample(&row[2 * size_t(x)]) * kBins / 65536] += 1;
        count += edge;
    }
    const auto percentile = [&](double fraction) {
        uint64_t seen = 0;
        for (int bin = 0; bin < kBins; ++bin)
        {
            seen += histogram[size_t(bin)];
            if (double(seen) >= fraction * double(count))
                return (float(bin) + 0.5f) / float(kBins);
        }
        return 1.0f;
    };
    float low = count ? percentile(0.01) : 0.0f;
    float high = count ? percentile(0.995) : 1.0f;
    if (high <= low)
    {
        low = 0.0f;
        high = 1.0f;
    }
    for (const char* name : {kGroundMaterial, kWireframeMaterial})
    {
        Ogre::MaterialPtr material = Ogre::MaterialManager::getSingleton().getByName(
            name, Ogre::ResourceGroupManager::AUTODETECT_RESOURCE_GROUP_NAME);
        if (!material)
            continue;
        for (Ogre::Technique* technique : material->getTechniques())
            for (Ogre::Pass* pass : technique->getPasses())
                if (pass->hasFragmentProgram())
                    pass->getFragmentProgramParameters()->setNamedConstant(
                        "heightRange", Ogre::Vector4(low * settings.height, high * settings.height, 0, 0));
    }
}

Ogre::Viewport* TerrainScene::addViewport(Ogre::RenderTarget& target)
{
    Ogre::Viewport* viewport = target.addViewport(camera);
    viewport->setBackgroundColour(kSkyColour);
    camera->setAutoAspectRatio(true);
    camera->setAspectRatio(float(viewport->getActualWidth()) / float(viewport->getActualHeight()));
    return viewport;
}

void TerrainScene::setPose(const CameraPose& pose)
{
    cameraNode->setPosition(pose.x, pose.y, pose.z);
    cameraNode->setOrientation(Ogre::Quaternion(Ogre::Radian(pose.yaw), Ogre::Vector3::UNIT_Y) *
                               Ogre::Quaternion(Ogre::Radian(pose.pitch), Ogre::Vector3::UNIT_X));
}

void TerrainScene::beforeFrame()
{
    decalsRequested = bloodEnabled && blood ? blood->requestSplats(*terrain) : 0;
}

FrameSample TerrainScene::sample(double renderMs)
{
    const Terrain::Info info = terrain->getDebugInfo();
    DrawableCounter counter;
    terrain->visitRenderables(&counter);
    FrameSample sample;
    sample.patches = info.patchCount;
    sample.drawn = info.visibleCount;
    sample.drawables = info.drawables;
    sample.triangles = info.triangles;
    sample.pending = (info.visibleCount > counter.count ? info.visibleCount - counter.count : 0) + info.deferred;
    sample.builds = info.builds;
    sample.memoryBytes = info.memoryBytes;
    sample.totalBytes = info.totalBytes;
    sample.decals = decalsRequested;
    sample.renderMs = renderMs;
    return sample;
}

void TerrainScene::setWireframe(bool enabled)
{
    wireframe = enabled;
    camera->setPolygonMode(enabled ? Ogre::PM_WIREFRAME : Ogre::PM_SOLID);
}

float TerrainScene::highestGround(float x, float z, float radius) const
{
    if (edge < 2)
        return 0.0f;
    const float samplesPerUnit = float(edge - 1) / settings.size;
    const float centreX = (x + settings.size * 0.5f) * samplesPerUnit;
    const float centreZ = (z + settings.size * 0.5f) * samplesPerUnit;
    const int reach = std::max(1, int(std::ceil(radius * samplesPerUnit)));
    // Wide windows are read at a stride: a peak narrower than the stride may be missed, which
    // the path's clearance covers.
    const int stride = std::max(1, 2 * reach / kGroundWindow);
    std::vector<unsigned char> bytes(2, 0);
    uint16_t highest = 0;
    for (int dz = -reach; dz <= reach; dz += stride)
    {
        const int sampleZ = int(std::floor(centreZ)) + dz;
        const int first = int(std::floor(centreX)) - reach;
        const int count = 2 * reach + 1;
        bytes.assign(size_t(count) * 2, 0);
        terrain->getRawData(first, sampleZ, count, 1, reinterpret_cast<char*>(bytes.data()));
        for (int k = 0; k < count; k += stride)
            highest = std::max(highest, readSample(&bytes[2 * size_t(k)]));
    }
    return float(highest) * settings.height / 65535.0f;
}
