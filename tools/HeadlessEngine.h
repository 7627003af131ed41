#pragma once

// A real Ogre::Root without a window and without a GPU: the plug-in is loaded, hardware buffers
// live in memory, and cameras get viewports of a chosen size from a render target that is never
// drawn. For tests and tools that drive the terrain frame by frame without rendering.

#include <OgreCamera.h>
#include <OgreDefaultHardwareBufferManager.h>
#include <OgreLogManager.h>
#include <OgreMaterialManager.h>
#include <OgrePlugin.h>
#include <OgreRenderSystem.h>
#include <OgreRenderSystemCapabilities.h>
#include <OgreRenderQueue.h>
#include <OgreRenderQueueSortingGrouping.h>
#include <OgreRenderTarget.h>
#include <OgreRoot.h>
#include <OgreSceneManager.h>
#include <OgreSceneNode.h>
#include <OgreViewport.h>

#include <memory>
#include <string>
#include <vector>

namespace headless
{

// A render system that draws nothing. The engine asks its render system for very little
// before it draws (a viewport wants the default material scheme); everything here is a no-op.
class NullRenderSystem : public Ogre::RenderSystem
{
public:
    NullRenderSystem()
    {
        mCurrentCapabilities = new Ogre::RenderSystemCapabilities();
        mCurrentCapabilities->setCapability(Ogre::RSC_FIXED_FUNCTION);
    }
    ~NullRenderSystem() override
    {
        delete mCurrentCapabilities;
        mCurrentCapabilities = nullptr;
    }
    const Ogre::String& getName() const override
    {
        static const Ogre::String name("Null Rendering Subsystem");
        return name;
    }
    void setConfigOption(const Ogre::String&, const Ogre::String&) override {}
    Ogre::HardwareOcclusionQuery* createHardwareOcclusionQuery() override { return nullptr; }
    Ogre::String validateConfigOptions() override { return ""; }
    Ogre::RenderSystemCapabilities* createRenderSystemCapabilities() const override { return nullptr; }
    Ogre::MultiRenderTarget* createMultiRenderTarget(const Ogre::String&) override { return nullptr; }
    void _setSampler(size_t, Ogre::Sampler&) override {}
    void _setTexture(size_t, bool, const Ogre::TexturePtr&) override {}
    void setColourBlendState(const Ogre::ColourBlendState&) override {}
    void _setAlphaRejectSettings(Ogre::CompareFunction, unsigned char, bool) override {}
    Ogre::DepthBuffer* _createDepthBufferFor(Ogre::RenderTarget*) override { return nullptr; }
    void _endFrame() override {}
    void _setViewport(Ogre::Viewport*) override {}
    void _setCullingMode(Ogre::CullingMode) override {}
    void _setDepthBufferParams(bool, bool, Ogre::CompareFunction) override {}
    void _setDepthBias(float, float) override {}
    void _convertProjectionMatrix(const Ogre::Matrix4& matrix, Ogre::Matrix4& dest, bool) override
    {
        dest = matrix;
    }
    void _setPolygonMode(Ogre::PolygonMode) override {}
    void setStencilCheckEnabled(bool) override {}
    void setStencilBufferParams(Ogre::CompareFunction, Ogre::uint32, Ogre::uint32, Ogre::uint32,
                                Ogre::StencilOperation, Ogre::StencilOperation, Ogre::StencilOperation,
                                bool, bool) override
    {
    }
    void bindGpuProgramParameters(Ogre::GpuProgramType, const Ogre::GpuProgramParametersPtr&,
                                  Ogre::uint16) override
    {
    }
    void setScissorTest(bool, const Ogre::Rect&) override {}
    void clearFrameBuffer(unsigned int, const Ogre::ColourValue&, Ogre::Real, unsigned short) override {}
    Ogre::Real getHorizontalTexelOffset() override { return 0; }
    Ogre::Real getVerticalTexelOffset() override { return 0; }
    Ogre::Real getMinimumDepthInputValue() override { return -1; }
    Ogre::Real getMaximumDepthInputValue() override { return 1; }
    void _setRenderTarget(Ogre::RenderTarget*) override {}
    Ogre::RenderWindow* _createRenderWindow(const Ogre::String&, unsigned int, unsigned int, bool,
                                            const Ogre::NameValuePairList*) override
    {
        return nullptr;
    }
    void beginProfileEvent(const Ogre::String&) override {}
    void endProfileEvent() override {}
    void markProfileEvent(const Ogre::String&) override {}
    void initialiseFromRenderSystemCapabilities(Ogre::RenderSystemCapabilities*, Ogre::RenderTarget*) override {}
};

// A render target that is never drawn: it only gives cameras a viewport of a known size.
class OffscreenTarget : public Ogre::RenderTarget
{
public:
    OffscreenTarget(const std::string& name, unsigned int width, unsigned int height)
    {
        mName = name;
        mWidth = width;
        mHeight = height;
    }
    void copyContentsToMemory(const Ogre::Box&, const Ogre::PixelBox&, FrameBuffer) override {}
    bool requiresTextureFlipping() const override { return false; }
};

class Engine
{
public:
    // pluginPath: the terrain plug-in to load, or empty for a program that links the terrain's
    // code itself.
    explicit Engine(const std::string& pluginPath)
    {
        logs = std::make_unique<Ogre::LogManager>();
        logs->createLog("headless.log", true, false, true);
        root = std::make_unique<Ogre::Root>("", "", "");
        renderSystem = std::make_unique<NullRenderSystem>();
        root->addRenderSystem(renderSystem.get());
        root->setRenderSystem(renderSystem.get());
        if (!pluginPath.empty())
            root->loadPlugin(pluginPath);
        // The engine initialises plug-ins when it initialises itself with a window; without one
        // it does not, so the plug-ins (the terrain's factory) are initialised here.
        for (Ogre::Plugin* plugin : root->getInstalledPlugins())
            plugin->initialise();
        buffers = std::make_unique<Ogre::DefaultHardwareBufferManager>();
        Ogre::MaterialManager::getSingleton().initialise();
        scene = root->createSceneManager();
    }

    ~Engine()
    {
        for (auto& target : targets)
            target->removeAllViewports();
        root->destroySceneManager(scene);
        targets.clear();
        buffers.reset();
        root->setRenderSystem(nullptr);
        root.reset();
        renderSystem.reset();
        logs.reset();
    }

    // A camera on its own scene node, looking at target, with a viewport of width x height.
    Ogre::Camera* createCamera(const std::string& name, const Ogre::Vector3& position,
                               const Ogre::Vector3& target, unsigned int width = 1024,
                               unsigned int height = 768)
    {
        Ogre::Camera* camera = scene->createCamera(name);
        camera->setNearClipDistance(1.0f);
        camera->setFarClipDistance(100000.0f);
        camera->setAspectRatio(float(width) / float(height));
        Ogre::SceneNode* node = scene->getRootSceneNode()->createChildSceneNode(name + "/node");
        node->attachObject(camera);
        node->setPosition(position);
        node->lookAt(target, Ogre::Node::TS_WORLD);
        targets.push_back(std::make_unique<OffscreenTarget>(name + "/target", width, height));
        targets.back()->addViewport(camera);
        return camera;
    }

    std::unique_ptr<Ogre::LogManager> logs;
    std::unique_ptr<Ogre::Root> root;
    std::unique_ptr<NullRenderSystem> renderSystem;
    std::unique_ptr<Ogre::DefaultHardwareBufferManager> buffers;
    Ogre::SceneManager* scene = nullptr;
    std::vector<std::unique_ptr<OffscreenTarget>> targets;
};

// Empties a render queue of one's own, as a scene manager empties its queue before each camera's
// pass. RenderQueue::clear empties the queues of the scene managers instead (and runs the passes'
// pending updates): a queue beside them would keep every renderable ever added, and now and then
// the pass that adds one more would pay for copying them all.
inline void clearQueue(Ogre::RenderQueue& queue)
{
    for (const auto& group : queue._getQueueGroups())
        if (group)
            group->clear();
    queue.clear();
}

} // namespace headless
