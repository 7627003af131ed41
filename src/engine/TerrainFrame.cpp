// Terrain: the per-frame drive of the Landscape and the render queue.

#include "Terrain.h"

#include "engine/CameraCapture.h"
#include "engine/TerrainDecal.h"
#include "engine/TerrainRenderable.h"
#include "heightmap/HeightStream.h"
#include "lod/Landscape.h"
#include "support/Clock.h"

#include <OgreCamera.h>
#include <OgreLogManager.h>
#include <OgreRenderQueue.h>

#include <boost/bind/bind.hpp>

#include <algorithm>
#include <cmath>
#include <chrono>

namespace
{
// Squared camera travel (world units) after which materials are chosen again: 100 units.
constexpr float kMaterialPassTravelSq = 10000.0f;
// Microseconds of drawable making that the patches handed over in one frame may cost, so that a
// burst of finished builds (after a teleport, say) is spread over frames instead of landing on one.
constexpr double kHandOverMicros = 1000.0;
// The same while the first view is being built (after openStream or a new patch size): there
// every frame that the view's drawables are spread over is one more frame before the view
// stands, and no drawn view is there to stutter. Still well within 2 ms with the rest of the
// frame's terrain work.
constexpr double kOpeningHandOverMicros = 1500.0;
// Spares made ahead of the first view's patches stop this much short of the opening budget,
// counted over the frame's terrain work (stale frees, update, collection, drawables): the last
// one may cost far beyond its estimate. Fresh buffers in new memory cost 450-1400 us for a
// patch of 64 quads here, the estimate following them a step behind. (Without this margin,
// and with the stale frees and the collection left out, the worst frame after a patch-size
// change read 1.72-2.83 ms in five runs, four of them above 2 ms; with them, 1.64-2.30 ms, one
// above, and openStream took as long to a settled view.)
constexpr double kWarmMarginMicros = 300.0;
// After an engine frame of a quarter second or more (a heavy view, a software rasteriser) the
// hand-overs may take this share of it instead, up to kMostHandOverMicros. A view that needs
// hundreds of drawables took hundreds of frames under the fixed budget, frames of one to two
// seconds each on a map of noise drawn in software, where a few milliseconds more are no hitch.
// Shorter frames keep the fixed budget: on the 4097 map's first view (frames of 60-160 ms) the
// share gained nothing, and the fixed budget is what keeps a smooth view smooth.
constexpr double kLongFrameMicros = 250000.0;
constexpr double kHandOverFrameShare = 0.02;
// The most, whatever the frame: the first frame after a pause (a window dragged, a debugger)
// reports the whole pause.
constexpr double kMostHandOverMicros = 20000.0;
static_assert(kHandOverFrameShare * kLongFrameMicros > kOpeningHandOverMicros &&
              kHandOverFrameShare * kLongFrameMicros > kHandOverMicros);
// Finished builds a frame takes over at least (a split shows once its four children are in),
// and detached patches it frees at most. Not more: where fresh drawables are dear (450 us for a
// 64-quad patch's buffers once the system has to find new pages for them, after a patch-size
// change), eight of them took a frame past 3.5 ms.
constexpr size_t kFewestHandOvers = 4;
constexpr size_t kFreesPerFrame = 128;
// Spares still to make before a split's drawables are all rewrites, with `rewritable` at hand.
size_t lackingSpares(size_t rewritable)
{
    return kFewestHandOvers - std::min(rewritable, kFewestHandOvers);
}
} // namespace

void Terrain::setReferenceCamera(const Ogre::Camera* cam)
{
    if (cam == camera)
        return;
    camera = cam;
    cameraWatch->watch(camera);
    if (!camera)
        cameraState.reset();
}

bool Terrain::frameStarted(const Ogre::FrameEvent& event)
{
    lastFrameMicros = event.timeSinceLastFrame > 0.0f && std::isfinite(event.timeSinceLastFrame)
                          ? double(event.timeSinceLastFrame) * 1e6
                          : 0.0;
    dropUnservedBloodPatches();
    // The buffers of an old patch size go a share a frame (nearly always there are none).
    frameWorkMicros = 0;
    if (!staleDrawables.empty())
    {
        const auto start = std::chrono::steady_clock::now();
        freeStaleDrawables(UINT64_MAX, kStaleFreeMicros);
        frameWorkMicros = microsSince(start);
    }
    if (!heightStream->isOpen())
        return true;
    // What the build thread found wrong with the file, one line per kind of trouble.
    for (std::string report = heightStream->takeReport(); !report.empty(); report = heightStream->takeReport())
        Ogre::LogManager::getSingleton().logMessage(report, Ogre::LML_CRITICAL);
    // Until this frame's update has run, the first render pass through the reference camera
    // runs it (see _notifyCurrentCamera).
    updateAwaitsCamera = true;
    if (!camera)
        return true;
    CameraState state;
    const bool hasPixelScale = captureCamera(camera, state);
    // The snapshot follows the camera even while the terrain is out of its view, when the
    // engine does not notify the terrain: the patches in view are then none.
    if (cameraState)
        *cameraState = state;
    // A camera that has not been rendered through a viewport has no pixel scale yet.
    if (!hasPixelScale)
        return true;
    updateLevelOfDetail(state);
    return true;
}

void Terrain::updateLevelOfDetail(const CameraState& state)
{
    // Timed only while the first view is built, the one time the render pass reads it.
    const bool opening = landscape->isOpening();
    const ScopedMicros timed(opening ? &frameWorkMicros : nullptr);
    updateAwaitsCamera = false;
    giveBackOpeningSpares();
    const double fixedMicros = opening ? kOpeningHandOverMicros : kHandOverMicros;
    // (The share of a long frame is above either fixed budget.)
    handOverMicros = lastFrameMicros >= kLongFrameMicros
                         ? std::min(kHandOverFrameShare * lastFrameMicros, kMostHandOverMicros)
                         : fixedMicros;
    // A split shows its four children at once. Where the budget cannot pay for that many
    // drawables (fresh buffers, once the spares are gone after a jump or a new patch size:
    // 450-750 us each for a patch of 64 quads, against 10-50 us for a spare's rewrite), the
    // hand-overs wait under strict limits while the render pass makes spares within the budget,
    // one a frame at least; a later frame takes the split over with them. Taken at once, three
    // fresh drawables and a spare made frames of 2-2.6 ms. Where the budget keeps no such
    // spares, or no render pass made those asked for at the last frame (nothing drew the
    // terrain), the frame takes kFewestHandOvers whatever they cost, as before, so that the view
    // always moves on.
    const bool unserved = handOversAwaitSpares;
    // What this frame's stale frees took is the budget's too.
    const size_t affordable = affordableDrawables(std::max(handOverMicros - frameWorkMicros, 0.0));
    const size_t lacking = lackingSpares(rewritableDrawables());
    handOversAwaitSpares = !unserved && affordable < kFewestHandOvers && lacking > 0 && hasRoomForSpares(lacking);
    if (handOversAwaitSpares)
        landscape->setUpdateLimits(affordable, kFreesPerFrame, true);
    else
        landscape->setUpdateLimits(std::max(kFewestHandOvers, affordable), kFreesPerFrame);
    // Patches built ahead of the first view: within half the budget, each with its vertex
    // records and a drawable's copy of them. The walk's own requests take the rest; on ground
    // that refines everywhere (a map of noise) they fill it.
    if (opening)
    {
        const uint64_t room = memoryBudget / 2;
        const uint64_t held = heldBytes();
        const uint64_t patchBytes = 2 * patchBufferBytes();
        landscape->setBuildAheadLimit(memoryBudget == 0 ? SIZE_MAX : held < room ? size_t((room - held) / patchBytes) : 0);
    }
    landscape->update(state);
    frameNumber += 1;
    releaseIdleDrawables();
    keepWithinMemoryBudget();

    // Splits that the update held back for its limit are drawables put off for the budget too,
    // and the walk put off out of view is work of the tree's put off for the frame's time: with
    // no build in flight, they alone tell that the view has not settled yet.
    drawablesDeferred = int(landscape->drawnHeldBack() + landscape->walksPutOff());
    if (patchesPending && drawablesBuilt < pendingBuildLimit)
    {
        landscape->visitPatches(boost::bind(&Terrain::visitorCallback, this, boost::placeholders::_1));
        if (drawablesBuilt == 0)
            patchesPending = false;
    }

    if (!materialPositionSet)
    {
        lastMaterialPosition = state.position;
        materialPositionSet = true;
    }
    cameraPosition = state.position;
    heightStream->setCameraPosition(cameraPosition.x, cameraPosition.z);

    if (materialCallback && lastMaterialPosition.squaredDistance(state.position) > kMaterialPassTravelSq)
    {
        landscape->visitPatches(boost::bind(&Terrain::updateMaterial, this, boost::placeholders::_1));
        lastMaterialPosition = state.position;
    }
    drawablesBuilt = 0;
}

void Terrain::_notifyCurrentCamera(Ogre::Camera* cam)
{
    Ogre::MovableObject::_notifyCurrentCamera(cam);
    currentCamera = cam;
    bool captured = false; // cameraState holds cam as it is now

    // Only a camera above the ground drives the level of detail.
    if (cam->getDerivedPosition().y > 0.0f)
    {
        setReferenceCamera(cam->getLodCamera());
        if (!cameraState)
            cameraState = std::make_unique<CameraState>();
        const bool hasPixelScale = captureCamera(camera, *cameraState);
        captured = camera == cam;
        // This frame started before the terrain knew its camera, or before the camera had been
        // rendered through a viewport (the first frames of a scene): its update runs now, before
        // the patches in view are collected, instead of one frame later. The first frame then
        // draws what the stream built as it opened, not the unsplit root.
        if (updateAwaitsCamera && hasPixelScale && heightStream->isOpen())
            updateLevelOfDetail(*cameraState);
    }

    if (captured)
    {
        const ScopedMicros timed(landscape->isOpening() ? &frameWorkMicros : nullptr);
        landscape->notifyCamera(*cameraState);
        return;
    }
    CameraState state;
    captureCamera(cam, state);
    landscape->notifyCamera(state);
}

void Terrain::_updateRenderQueue(Ogre::RenderQueue* queue)
{
    const Ogre::uint8 group = getRenderQueueGroup();
    const auto enqueue = [&](PatchGeometry* patch, TerrainRenderable* drawable) {
        if (drawable->indicesStale)
            drawable->refreshIndices(*patch, stripBuffer(*patch));
        usedFrames[drawable->slot] = frameNumber;
        drawable->morph = std::clamp(*patch->morph, 0.0f, 1.0f);
        queue->addRenderable(drawable, group);
    };
    // The patches in view that have a drawable are queued (and so marked as in use) before any
    // is made for the others: a drawable rewritten for a new patch is never one that this frame
    // draws.
    needDrawables.clear();
    const std::vector<PatchGeometry*>& visible = landscape->getVisiblePatches();
    for (size_t k = 0; k < visible.size(); ++k)
    {
        // The patches lie apart in memory, and their drawables too: each is asked for a few
        // patches ahead, so that their cache misses overlap instead of following each other.
        if (k + 8 < visible.size())
            __builtin_prefetch(visible[k + 8]);
        if (k + 4 < visible.size())
            __builtin_prefetch(visible[k + 4]->drawable);
        PatchGeometry* patch = visible[k];
        if (auto* drawable = static_cast<TerrainRenderable*>(patch->drawable))
            enqueue(patch, drawable);
        else if (patch->vertexCount != 0)
            needDrawables.push_back(patch);
    }
    const bool opening = landscape->isOpening();
    const bool timed = opening || handOversAwaitSpares;
    const auto start = timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
    for (PatchGeometry* patch : needDrawables)
    {
        if (drawablesBuilt >= visibleBuildLimit)
            break;
        createDrawable(patch);
        if (auto* drawable = static_cast<TerrainRenderable*>(patch->drawable))
            enqueue(patch, drawable);
    }

    const bool referencePass = currentCamera && currentCamera == camera;
    // What the frame's terrain work so far left of the opening budget.
    if (referencePass && opening)
        warmSpareDrawables(kOpeningHandOverMicros - kWarmMarginMicros - frameWorkMicros - microsSince(start));
    // The spares that the update's hand-overs wait for (see updateLevelOfDetail), at the frame's
    // first pass, whatever its camera; those the warming above made count. One at least when
    // this frame made no drawable, so that the wait ends. Within the steady budget even while
    // opening: fresh buffers' costs vary twofold here (new memory or memory the old tree
    // freed), and the estimate lags behind them.
    if (handOversAwaitSpares)
    {
        const size_t lacking = lackingSpares(rewritableDrawables());
        if (lacking > 0 && hasRoomForSpares(lacking))
        {
            const double micros = std::min(handOverMicros, kHandOverMicros) - microsSince(start);
            drawablesBuilt += int(makeSpareDrawables(lacking, micros, drawablesBuilt == 0 ? 1 : 0, true));
        }
        handOversAwaitSpares = false;
    }
    if (referencePass)
    {
        createBloodPatches();
        // One group above the terrain, wrapping to the first past the last: this engine's queue
        // holds groups 0 .. RENDER_QUEUE_MAX only and indexes them without a check.
        const Ogre::uint8 decalGroup = group >= Ogre::RENDER_QUEUE_MAX ? 0 : Ogre::uint8(group + 1);
        for (const std::unique_ptr<TerrainDecal>& decal : decals)
            if (decal->source)
                queue->addRenderable(decal.get(), decalGroup);
    }
}

bool Terrain::lacksDrawables() const
{
    for (const PatchGeometry* patch : landscape->getVisiblePatches())
        if (!patch->drawable && patch->vertexCount != 0)
            return true;
    return false;
}

void Terrain::visitRenderables(Ogre::Renderable::Visitor* visitor, bool)
{
    for (PatchGeometry* patch : landscape->getVisiblePatches())
        if (patch->drawable)
            visitor->visit(static_cast<TerrainRenderable*>(patch->drawable), 0, false, nullptr);
}

int Terrain::visitorCallback(PatchGeometry* patch)
{
    if (auto* drawable = static_cast<TerrainRenderable*>(patch->drawable))
    {
        // Drawn, if out of view: made ahead of visibility, it stays.
        usedFrames[drawable->slot] = frameNumber;
        return 1;
    }
    if (!patch->vertices)
        return 1;
    if (drawablesBuilt < pendingBuildLimit)
        createDrawable(patch);
    else
        drawablesDeferred += 1;
    return 1;
}

Terrain::Info Terrain::getDebugInfo() const
{
    Info info;
    if (!landscape)
        return info;
    landscape->getDebugInfo(info.patchCount, info.memoryBytes);
    const std::vector<PatchGeometry*>& visible = landscape->getVisiblePatches();
    info.visibleCount = visible.size();
    // Every patch has the same strip length, so one patch's count stands for all.
    const uint64_t indices = visible.empty() ? 0 : info.visibleCount * visible.front()->indexCount;
    info.triangles = indices >= 2 ? indices - 2 : 0;
    info.drawables = uint64_t(drawableCount);
    info.deferred = uint64_t(drawablesDeferred);
    info.builds = uint64_t(std::max(landscape->pendingBuilds(), 0));
    info.totalBytes = budgetedBytes();
    info.refreshedPatches = landscape->refreshedPatches();
    return info;
}
