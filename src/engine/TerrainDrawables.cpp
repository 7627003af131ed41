// Terrain: patch drawables, made within the per-frame budgets, kept in step with restitched
// strips, given back when their patches go or stay out of use.

#include "Terrain.h"

#include "engine/TerrainDecal.h"
#include "engine/TerrainErrors.h"
#include "engine/TerrainRenderable.h"
#include "heightmap/HeightStream.h"
#include "lod/Landscape.h"
#include "lod/PatchLayout.h"
#include "support/Clock.h"

#include <OgreException.h>
#include <OgreHardwareBufferManager.h>
#include <OgreLogManager.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <exception>
#include <limits>

void Terrain::createDrawable(PatchGeometry* patch)
{
    if (!patch || patch->indexCount == 0)
    {
        Ogre::LogManager::getSingleton().logMessage("Error: Invalid terrain patch", Ogre::LML_NORMAL);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<TerrainRenderable> drawable;
    const bool fresh = spareDrawables.empty() && !recycleIdleDrawable();
    if (fresh)
    {
        // (Stale drawables are not freed here to make room: see staleDrawables.)
        drawable = std::make_unique<TerrainRenderable>(this);
    }
    else
    {
        drawable = std::move(spareDrawables.back());
        spareDrawables.pop_back();
        spareBytes -= drawable->bufferBytes();
    }
    drawable->upload(*patch, stripBuffer(*patch));
    drawable->centre = patch->bounds->getCenter();
    drawable->setMaterial(defaultMaterial);
    if (materialCallback && patch->bounds->squaredDistance(cameraPosition) < materialDistanceSq)
    {
        Ogre::MaterialPtr hostMaterial = materialCallback(*patch->bounds, 0);
        if (hostMaterial)
            drawable->setMaterial(hostMaterial);
    }
    // A drawable is stored and counted only once it has a material, so a failure leaves the
    // patch and the counters as they were.
    if (!drawable->getMaterial())
        throwTerrainError(TerrainError::MaterialMissing);
    patch->drawable = drawable.get();
    drawable->source = patch;
    drawable->slot = liveDrawables.size();
    liveDrawables.push_back(std::move(drawable));
    usedFrames.push_back(frameNumber);
    drawableCount += 1;
    drawableBytes += liveDrawables.back()->bufferBytes();
    drawablesBuilt += 1;
    const double micros = microsSince(start);
    // Fresh buffers and spares' are told apart: here a fresh one cost 4 to 6 times a spare's
    // rewrite (page faults on new memory).
    (fresh ? freshDrawableCost : spareDrawableCost).add(micros);
}

void Terrain::DrawableCost::add(double sample)
{
    // The estimate follows a run of slow drawables (a busy driver, memory the system has to
    // find) from its second one, so that the next frame's hand-overs are throttled at once. A
    // lone slow one (a preemption, the allocator finding memory) moves it only a quarter of the
    // way: taken whole, it would hold the next frames to half the hand-overs they can afford for
    // dozens of drawables. It comes down slowly. The first sample sets it.
    if (last == 0.0)
        micros = sample;
    else if (sample > micros)
        micros = std::max(micros + (sample - micros) / 4.0, std::min(sample, last));
    else
        micros += (sample - micros) / 16.0;
    last = sample;
}

size_t Terrain::rewritableDrawables() const
{
    // Spares, and idle drawables when they may be taken (about those that the last pass did not
    // draw).
    size_t rewritable = spareDrawables.size();
    if (recyclesIdleDrawables())
        rewritable += liveDrawables.size() - std::min(liveDrawables.size(), landscape->getVisiblePatches().size());
    return rewritable;
}

size_t Terrain::affordableDrawables(double micros) const
{
    const size_t spares = std::min(rewritableDrawables(), size_t(micros / std::max(spareDrawableCost.micros, 1.0)));
    micros -= double(spares) * spareDrawableCost.micros;
    return spares + size_t(std::max(micros, 0.0) / std::max(freshDrawableCost.micros, 1.0));
}

int Terrain::patchCreated(PatchGeometry*)
{
    // Drawables are made by the frame update, within its per-frame budgets.
    patchesPending = true;
    return 0;
}

void Terrain::patchChanged(PatchGeometry* patch, int what)
{
    auto* drawable = static_cast<TerrainRenderable*>(patch->drawable);
    if (!drawable)
        return;
    if (what & Landscape::kVerticesChanged)
    {
        // Same-sized buffers are written again in place; the strip goes with them.
        drawable->upload(*patch, stripBuffer(*patch));
        drawable->centre = patch->bounds->getCenter();
    }
    else
    {
        drawable->indicesStale = true;
    }
}

const Ogre::HardwareIndexBufferSharedPtr& Terrain::stripBuffer(const PatchGeometry& patch)
{
    // A strip's address names it for the Landscape's whole life, so it names its buffer too.
    Ogre::HardwareIndexBufferSharedPtr& buffer = stripBuffers[patch.indices];
    if (!buffer)
    {
        buffer = Ogre::HardwareBufferManager::getSingleton().createIndexBuffer(
            Ogre::HardwareIndexBuffer::IT_16BIT, patch.indexCount, Ogre::HardwareBuffer::HBU_STATIC_WRITE_ONLY, false);
        buffer->writeData(0, patch.indexCount * kIndexBytes, patch.indices, true);
        stripBufferBytes += patch.indexCount * kIndexBytes;
    }
    return buffer;
}

int Terrain::patchDestroyed(PatchGeometry* patch)
{
    // A patch without a drawable detaches the decals that have none; the next blood patch pass
    // attaches them afresh. A drawable's own decals are detached as it is released.
    if (!patch->drawable)
        for (const std::unique_ptr<TerrainDecal>& decal : decals)
            if (!decal->source)
                decal->detach();
    releaseDrawable(patch);
    return 0;
}

void Terrain::releaseDrawable(PatchGeometry* patch, bool spare)
{
    auto* drawable = static_cast<TerrainRenderable*>(patch->drawable);
    if (!drawable)
        return;
    recycleOrderFrame = kNoRecycleOrder;
    for (const std::unique_ptr<TerrainDecal>& decal : decals)
        if (decal->source == drawable)
            decal->detach();
    releaseMaterial(*patch, drawable->material);
    // Swap-remove from the live list.
    const size_t slot = drawable->slot;
    assert(usedFrames.size() == liveDrawables.size() && liveDrawables[slot].get() == drawable);
    std::swap(liveDrawables[slot], liveDrawables.back());
    liveDrawables[slot]->slot = slot;
    usedFrames[slot] = usedFrames.back();
    usedFrames.pop_back();
    std::unique_ptr<TerrainRenderable> gone = std::move(liveDrawables.back());
    liveDrawables.pop_back();
    patch->drawable = nullptr;
    drawableCount -= 1;
    const uint64_t bytes = gone->bufferBytes();
    drawableBytes -= bytes;
    gone->source = nullptr;
    gone->material.reset();
    if (retiringDrawables)
    {
        staleBytes += bytes;
        staleDrawables.push_back(std::move(gone));
    }
    else if (spare && spareDrawables.size() < kMostSpareDrawables && spareBytes + bytes <= spareRoom())
    {
        spareBytes += bytes;
        spareDrawables.push_back(std::move(gone));
    }
}

uint64_t Terrain::patchBufferBytes() const
{
    return kVertexBytes * uint64_t(patchSize + 1) * uint64_t(patchSize + 1);
}

uint64_t Terrain::spareRoom() const
{
    // A sixteenth of the memory budget (32 MiB without one): big patches keep fewer.
    return memoryBudget != 0 ? memoryBudget / 16 : uint64_t(32) << 20;
}

void Terrain::warmSpareDrawables(double micros)
{
    // While the first view is built, the build thread is ahead, and a frame hands over only as
    // many patches as it can make drawables for within its budget. A fresh drawable costs the
    // driver's first touch of new buffer memory, about four times a spare's rewrite: made in a
    // frame with budget to spare, it makes a later frame's hand-over cheap. The Landscape
    // counts the patches that the splits under way in view will add.
    const size_t wanted = landscape->getComingInView();
    const size_t rewritable = rewritableDrawables();
    // They count against the frame's drawables, as the host limits them (setOgreBuildLimits).
    const size_t allowed = size_t(std::max(visibleBuildLimit - drawablesBuilt, 0));
    if (rewritable < wanted)
        drawablesBuilt += int(makeSpareDrawables(std::min(wanted - rewritable, allowed), micros));
}

void Terrain::makeOpeningSpares()
{
    // A first view is spread over frames by what its drawables cost, and most of that is fresh
    // buffers: the driver's first touch of their memory, about four times a spare's rewrite
    // (under the software rasteriser, 65-150 us against 30-55 us for a patch of 64 quads). Made
    // here, outside any frame, the first frames only write patches into them, and the first
    // view stands several frames sooner. About what a full-screen first view near the ground
    // draws: a ring of patches for each level below those always split (58 patches of 64 quads,
    // 10 MiB, on a 4097-sample map; 82, 14 MiB, on a 16385-sample map), within the spares'
    // share of the budget. What it leaves is given back once it stands (giveBackOpeningSpares).

    // A host that only asks heights of the terrain may run the engine without hardware buffers.
    if (!Ogre::HardwareBufferManager::getSingletonPtr())
        return;
    openingSparesOut = true;
    sparesToGiveBack = 0;
    const uint64_t bytes = patchBufferBytes();
    const uint64_t wanted = kOpeningSpareBytes + kOpeningSpareBytesPerLevel * landscape->refinedLevels();
    const size_t count = size_t(std::min(wanted, spareRoom()) / bytes);
    try
    {
        // Those of a view drawn before (the stream opened again) count.
        makeSpareDrawables(count - std::min(count, spareDrawables.size()), std::numeric_limits<double>::infinity());
    }
    catch (const Ogre::Exception& error)
    {
        // Only time is lost: the frames make the drawables.
        Ogre::LogManager::getSingleton().logMessage(
            std::string("Terrain: no spare drawables for the first view: ") + error.what(), Ogre::LML_NORMAL);
    }
}

void Terrain::giveBackOpeningSpares()
{
    // Once the view stands, spares that it did not take are memory that nothing draws; those
    // that the opening's own drawables left (patches split further) go with them. Freeing
    // buffers costs a frame as making them does: a share a frame.
    if (openingSparesOut && !landscape->isOpening() && !lacksDrawables())
    {
        openingSparesOut = false;
        sparesToGiveBack = spareDrawables.size();
    }
    const size_t count = std::min({sparesToGiveBack, spareDrawables.size(), kOpeningSparesFreedPerFrame});
    sparesToGiveBack = count == 0 ? 0 : sparesToGiveBack - count;
    // Spares all have the patch size's buffers (a new size retires them).
    if (count != 0)
        dropSpareDrawables(count * spareDrawables.back()->bufferBytes());
}

bool Terrain::hasRoomForSpares(size_t count) const
{
    return Ogre::HardwareBufferManager::getSingletonPtr() && spareDrawables.size() + count <= kMostSpareDrawables &&
           spareBytes + count * patchBufferBytes() <= spareRoom();
}

size_t Terrain::makeSpareDrawables(size_t count, double micros, size_t fewest, bool cautious)
{
    const auto start = std::chrono::steady_clock::now();
    const uint64_t bytes = patchBufferBytes();
    const uint64_t vertexCount = bytes / kVertexBytes;
    size_t made = 0;
    // Within the spares' share of the memory budget.
    while (made < count && hasRoomForSpares(1))
    {
        const double elapsed = microsSince(start);
        const double cost =
            cautious ? std::max(freshDrawableCost.micros, freshDrawableCost.last) : freshDrawableCost.micros;
        if (made >= fewest && elapsed + cost > micros)
            break;
        auto drawable = std::make_unique<TerrainRenderable>(this);
        drawable->reserve(vertexCount);
        spareBytes += bytes;
        spareDrawables.push_back(std::move(drawable));
        made += 1;
        // Fresh buffers, as a drawable made for a patch has when there is no spare: the same
        // estimate, which the next ones here and the next frame's hand-overs go by. (Once the
        // old tree's buffers went back to the system, after a patch-size change, a spare cost
        // 450-500 us here against an estimate of 27 us, and frames that were to take 1.5 ms took
        // three.)
        freshDrawableCost.add(microsSince(start) - elapsed);
    }
    return made;
}

bool Terrain::recycleIdleDrawable()
{
    if (!recyclesIdleDrawables())
        return false;
    if (recycleOrderFrame != frameNumber)
    {
        recycleOrder = idleDrawables(frameNumber);
        recycleOrderFrame = frameNumber;
    }
    // A drawable queued since the list was made (its patch came back into view) is in the
    // render queue: its buffers must stay as they are.
    while (!recycleOrder.empty() && usedFrames[recycleOrder.back()->slot] >= frameNumber)
        recycleOrder.pop_back();
    if (recycleOrder.empty())
        return false;
    TerrainRenderable* oldest = recycleOrder.back();
    recycleOrder.pop_back();
    // The release below marks the list as stale; it is still right without this one.
    releaseDrawable(oldest->source);
    recycleOrderFrame = frameNumber;
    // Its patch may still be drawn, out of view: made again when it is next needed.
    patchesPending = true;
    return !spareDrawables.empty();
}

void Terrain::dropSpareDrawables(uint64_t bytes)
{
    uint64_t dropped = 0;
    while (dropped < bytes && !spareDrawables.empty())
    {
        dropped += spareDrawables.back()->bufferBytes();
        spareDrawables.pop_back();
    }
    spareBytes -= std::min(spareBytes, dropped);
}

void Terrain::freeStaleDrawables(uint64_t bytes, double micros)
{
    // Every frame and every fresh drawable asks: nearly always there are none.
    if (staleDrawables.empty())
        return;
    const auto start = std::chrono::steady_clock::now();
    uint64_t freed = 0;
    while (!staleDrawables.empty() && freed < bytes)
    {
        freed += staleDrawables.back()->bufferBytes();
        staleDrawables.pop_back();
        if (microsSince(start) >= micros)
            break;
    }
    staleBytes -= std::min(staleBytes, freed);
}

void Terrain::releaseMaterial(const PatchGeometry& patch, const Ogre::MaterialPtr& material)
{
    if (!materialReleaseCallback)
        return;
    try
    {
        materialReleaseCallback(*patch.bounds, material);
    }
    catch (const std::exception& error)
    {
        Ogre::LogManager::getSingleton().logMessage(
            std::string("Error: terrain material release failed: ") + error.what(), Ogre::LML_CRITICAL);
    }
    catch (...)
    {
        Ogre::LogManager::getSingleton().logMessage("Error: terrain material release failed",
                                                    Ogre::LML_CRITICAL);
    }
}

void Terrain::setDrawableKeepFrames(int frames)
{
    drawableKeepFrames = uint32_t(std::max(frames, 0));
}

void Terrain::setMemoryBudget(size_t bytes)
{
    memoryBudget = uint64_t(bytes);
}

uint64_t Terrain::budgetedBytes() const
{
    return landscape->bytesHeld() + landscape->spareBytes() + drawableBytes + spareBytes + staleBytes +
           stripBufferBytes + heightStream->cacheBytes();
}

uint64_t Terrain::heldBytes() const
{
    // What detached patches still hold leaves with them at a later frame: it is gone already.
    const uint64_t total = budgetedBytes();
    const uint64_t leaving = landscape->bytesBeingFreed();
    return total > leaving ? total - leaving : 0;
}

void Terrain::keepWithinMemoryBudget()
{
    giveBackOverBudget();
    // Last in the order: the parts of the tree out of view, which the level of detail merges
    // back while what is left stays over the budget, and refines again only well under it (the
    // margin keeps it from refining and merging the same patches in turn).
    using OutOfView = Landscape::OutOfView;
    // The builds asked for and not yet handed over hold, or will, a vertex array each: counted
    // for refining, so that one walk over rough ground (a thousand splits at once on a map of
    // noise) does not go on refining out of view while its builds come in, far past the budget.
    // Not for coarsening: builds in flight come and go in bursts, and merging back for each
    // burst made the tree split and merge the same ground over and over.
    const uint64_t held = heldBytes();
    const uint64_t committed = held + uint64_t(std::max(landscape->pendingBuilds(), 0)) * patchBufferBytes();
    landscape->setOutOfView(memoryBudget == 0 || committed < memoryBudget - memoryBudget / 4 ? OutOfView::refine
                            : held > memoryBudget                                          ? OutOfView::coarsen
                                                                                           : OutOfView::hold);
}

void Terrain::giveBackOverBudget()
{
    if (memoryBudget == 0 || heldBytes() <= memoryBudget)
        return;
    // Only what the budget needs: freeing GPU buffers costs the frame, and spares make the next
    // drawables cheap. Stale drawables first: nothing can take them.
    freeStaleDrawables(UINT64_MAX);
    if (heldBytes() <= memoryBudget)
        return;
    dropSpareDrawables(heldBytes() - memoryBudget);
    if (heldBytes() > memoryBudget)
        landscape->dropSpareArrays(heldBytes() - memoryBudget);
    if (heldBytes() <= memoryBudget)
        return;
    // Down to 7/8 of the budget, so that the next frames' new patches do not bring the walk for
    // kept subtrees back at every frame.
    const uint64_t target = memoryBudget - memoryBudget / 8;
    // When the view alone needs more than the budget, a walk that found nothing kept is not
    // repeated at every frame, only after a merge may have kept something.
    if (landscape->keptChanges() != fruitlessWalkAt)
    {
        const uint64_t freed = landscape->freeKeptSubtrees(heldBytes() - std::min(heldBytes(), target));
        fruitlessWalkAt = freed == 0 ? landscape->keptChanges() : kNoFruitlessWalk;
    }
    // Drawables of drawn patches out of view come back through the visible budget when they
    // are seen again; while drawables are made ahead of view they would only be made again.
    if (heldBytes() <= memoryBudget || pendingBuildLimit > 0)
        return;
    // Not queued by the last rendered frame, the one queued longest ago first.
    const std::vector<TerrainRenderable*> idle = idleDrawables(frameNumber > 0 ? frameNumber - 1 : 0);
    for (auto drawable = idle.rbegin(); drawable != idle.rend() && heldBytes() > memoryBudget; ++drawable)
    {
        releaseDrawable((*drawable)->source, false);
        patchesPending = true;
    }
}

std::vector<TerrainRenderable*> Terrain::idleDrawables(uint32_t before) const
{
    // By frame and slot: the drawables themselves are read only for those that are idle.
    std::vector<std::pair<uint32_t, size_t>> frames;
    for (size_t slot = 0; slot < usedFrames.size(); ++slot)
        if (usedFrames[slot] < before)
            frames.emplace_back(usedFrames[slot], slot);
    std::sort(frames.begin(), frames.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<TerrainRenderable*> idle;
    idle.reserve(frames.size());
    for (const auto& entry : frames)
        idle.push_back(liveDrawables[entry.second].get());
    return idle;
}

void Terrain::releaseIdleDrawables()
{
    if (drawableKeepFrames == 0)
        return;
    // A slice of the live drawables per frame, so that the sweep costs little on any frame
    // while every drawable is still looked at within eight frames. A look at a drawable in use
    // reads its frame number and nothing more. Releases are counted apart, so that a whole view
    // gone idle (the camera turned to the sky) goes at 256 a frame or an eighth, whichever is
    // more.
    const size_t size = liveDrawables.size();
    const size_t looks = std::max<size_t>(kDrawableSweepSlice, (size + 7) / 8);
    const size_t releases = std::max<size_t>(kDrawableReleaseSlice, (size + 7) / 8);
    size_t looked = 0;
    size_t released = 0;
    for (size_t k = 0; k < size && looked < looks && released < releases && !liveDrawables.empty(); ++k)
    {
        if (sweepCursor >= liveDrawables.size())
            sweepCursor = 0;
        const bool idle = frameNumber - usedFrames[sweepCursor] > drawableKeepFrames;
        TerrainRenderable* drawable = liveDrawables[sweepCursor].get();
        // A patch drawn out of view keeps its drawable while drawables are made ahead of view:
        // releasing it would only make the pending pass make it again.
        if (idle && pendingBuildLimit > 0 && landscape->isDrawn(drawable->source))
        {
            usedFrames[sweepCursor] = frameNumber;
            ++sweepCursor;
            ++looked;
        }
        else if (idle)
        {
            ++released;
            releaseDrawable(drawable->source); // the last entry moves into this slot
            // Its patch may still be drawn, out of view: it is pending again, so that whichever
            // budget applies makes its drawable again when it is needed.
            patchesPending = true;
        }
        else
        {
            ++sweepCursor;
            ++looked;
        }
    }
}
