// The Landscape's core: configuration, the lifetime of nodes and their counters, generation of a
// node's geometry and its hand-over to the tree, the visit of drawn patches, identifiers.

#include "lod/Landscape.h"

#include "lod/PatchId.h"
#include "support/Diagnostics.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace
{
// Bytes a node costs besides its geometry, for the memory counter.
constexpr uint64_t kNodeBytes = sizeof(PatchNode);

// A patch's own bytes: its vertex records (its strip is shared, see StripCache).
uint64_t geometryBytes(const PatchGeometry& geometry)
{
    return kVertexBytes * geometry.vertexCount;
}

float flatHeight(const Ogre::Vector3&, int)
{
    return 0.0f;
}

// Levels by which adjacent drawn patches of n quads per edge may differ: log2(n) - 1, so that a
// stitched edge keeps at least two quads; but at least 1 for n = 2, whose edge still stitches
// against a neighbour one level coarser. With 0, no patch could ever merge, and every split
// would force its neighbours to split too, level after level. 0 for n = 1, which does not nest.
uint32_t levelSlackFor(int n)
{
    uint32_t count = 0;
    for (int v = n; v / 2 > 1; v /= 2)
        ++count;
    return n >= 2 ? std::max<uint32_t>(count, 1) : 0;
}
} // namespace

Landscape::Landscape(float size, const Ogre::Vector3& origin)
    : rootSquare{origin, size}, heightFunction(&flatHeight),
      queue([this](PatchNode& node, bool refresh) { generate(node, refresh); }, [this] { returnFreedMemory(); })
{
}

void Landscape::returnFreedMemory()
{
    // Patch arrays have pages of their own (PageArray): freed, they are the system's again.
    // Once the build thread has had nothing to build for a while (the view has settled), the
    // spare arrays kept for the next builds are only memory, and go the same way.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastBuild < kTrimAfterIdle)
        return;
    dropSpareArrays();
    spares.freeRetired();
    // What else the patches' comings and goings free (nodes, the drawables' and the engine's
    // buffers) stays in the allocator's pools, scattered between live blocks, and most of what
    // a long flight leaves there is the renderer's per-frame memory. Only a trim hands that back,
    // and a trim holds the allocator's locks for 1 to 40 ms, so that every allocation of the
    // render thread waits: the engine's and the driver's as much as the terrain's. So it is
    // done only while no frame is under way, once the frames have stopped for a while (the
    // host paused, say), never between two frames of a running view.
    const std::chrono::steady_clock::time_point lastUpdateBegan{std::chrono::steady_clock::duration(lastUpdate.load())};
    if (now - lastUpdateBegan < kTrimAfterPause || freedSinceTrim.load(std::memory_order_relaxed) < kTrimAfterBytes)
        return;
    freedSinceTrim = 0;
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

Landscape::~Landscape()
{
    // The owner stops the thread before it destroys the engine; if it has not, the thread would
    // go on building nodes that are about to be freed.
    if (queue.isThreadRunning())
        printDiagnostic("Warning: Thread still running\n");
    queue.stop(true);
    clear();
}

void Landscape::clear(bool threadToCome)
{
    assert(!queue.isThreadAlive());
    if (root)
        destroy(std::move(root));
    // Every node is retired now. The thread has ended, so no job or result can name them.
    std::vector<std::unique_ptr<PatchNode>> dead;
    queue.clear(dead);
    release(dead);
    changedPatches.clear();
    visiblePatches.clear();
    heldRefreshes.clear(); // their nodes are gone with the tree
    if (threadToCome)
        spares.clear(); // retired, for the build thread to free
    else
        spares.freeAll();
    fullWalk = true;
    updated = false;
}

void Landscape::setBounds(float size, const Ogre::Vector3& origin)
{
    assert(!queue.isThreadAlive());
    rootSquare = RootSquare{origin, size};
}

void Landscape::setPatchSize(int n)
{
    assert(n >= 1 && (n & (n - 1)) == 0);
    assert(!queue.isThreadAlive());
    patchVertices = uint32_t(n) + 1;
    levelSlack = levelSlackFor(n);
}

void Landscape::setLevelLimits(int minLevel_, int maxLevel_)
{
    minLevel = uint32_t(std::max(minLevel_, 0));
    maxLevel = uint32_t(std::max(maxLevel_, 0));
    fullWalk = true;
}

void Landscape::setDetailThreshold(float threshold)
{
    detailThreshold = threshold;
    fullWalk = true;
}

void Landscape::setFarDetail(float farThreshold, float farDistance_)
{
    farScale = detailThreshold / farThreshold;
    farDistance = farDistance_;
    fullWalk = true;
}

void Landscape::setUpdateLimits(size_t handOvers, size_t frees, bool strict)
{
    handOverLimit = handOvers == 0 && !strict ? SIZE_MAX : handOvers;
    strictLimits = strict && handOverLimit != SIZE_MAX;
    freeLimit = frees == 0 ? SIZE_MAX : frees;
}

void Landscape::setHeightFunction(const HeightFunction& function)
{
    assert(!queue.isThreadAlive());
    heightFunction = function;
}

void Landscape::setHeightRowFunction(const HeightRowFunction& function)
{
    assert(!queue.isThreadAlive());
    heightRowFunction = function;
}

void Landscape::setCallbacks(const PatchCallback& created, const PatchCallback& destroyed,
                             const ChangedCallback& changed, const PreBuildCallback& preBuild)
{
    assert(!queue.isThreadAlive());
    patchCreatedCallback = created;
    patchDestroyedCallback = destroyed;
    patchChangedCallback = changed;
    preBuildCallback = preBuild;
}

void Landscape::setSampleCheck(const SampleCheck& check)
{
    assert(!queue.isThreadAlive());
    sampleCheck = check;
}

void Landscape::getDebugInfo(uint64_t& patchCountOut, uint64_t& memoryBytesOut) const
{
    patchCountOut = patchCount;
    memoryBytesOut = bytesHeld();
}

namespace
{
// Answers whether the walk may go on with the next sibling.
bool visitDrawn(PatchNode* node, const Landscape::Visitor& visitor)
{
    if (node->drawsChildren())
    {
        for (const auto& child : node->children)
            if (!visitDrawn(child.get(), visitor))
                return false;
        return true;
    }
    return visitor(&node->geometry) > 0;
}
} // namespace

void Landscape::visitPatches(const Visitor& visitor)
{
    Lock lock(queue.getTreeLock());
    if (root)
        visitDrawn(root.get(), visitor);
}

// ---- nodes ----

std::unique_ptr<PatchNode> Landscape::makeRoot()
{
    patchCount += 1;
    memoryBytes += kNodeBytes;
    return std::make_unique<PatchNode>(this);
}

void Landscape::makeChildren(PatchNode* node)
{
    assert(!node->hasChildren());
    for (int q = 0; q < 4; ++q)
    {
        node->children[q] = std::make_unique<PatchNode>(node, q);
        patchCount += 1;
        memoryBytes += kNodeBytes;
    }
    PatchNode* c[4] = {node->child(0), node->child(1), node->child(2), node->child(3)};
    link(c[0], c[1], 1);
    link(c[0], c[2], 3);
    link(c[3], c[1], 2);
    link(c[3], c[2], 0);
    for (int side = 0; side < 4; ++side)
    {
        PatchNode* neighbour = node->neighbours[side];
        if (neighbour && neighbour->hasChildren())
            for (int k = 0; k < 2; ++k)
                link(node->childOnSide(side, k), neighbour->childOnSide(side ^ 1, k), side);
    }
}

void Landscape::release(std::vector<std::unique_ptr<PatchNode>>& nodes, std::chrono::steady_clock::time_point until,
                        size_t fewest)
{
    if (!nodes.empty())
        treeChanges += 1;
    // All of them: they are out of the tree, drawn or not.
    forgetVisible(nodes);
    for (size_t k = 0; k < nodes.size(); ++k)
    {
        // Freeing a patch (its drawable, its node) can cost tens of microseconds, and a
        // merge or a teleport frees hundreds: what is left after the free time waits.
        if (k >= fewest && std::chrono::steady_clock::now() > until)
        {
            for (; k < nodes.size(); ++k)
                queue.retire(std::move(nodes[k])); // back to the dead patches, for a later drain
            break;
        }
        if (k + 2 < nodes.size())
            nodes[k + 2]->prefetchWhole();
        std::unique_ptr<PatchNode>& node = nodes[k];
        const uint64_t geometry = giveUpGeometry(node.get());
        patchCount -= 1;
        memoryBytes -= kNodeBytes;
        retiringBytes -= node->retiredBytes;
        spares.give(std::move(node->result.vertices), node->result.vertexCount);
        // Counted whole although the arrays leave the heap alone: the drawables and the engine's
        // own buffers that go with the patches churn it about as much.
        freedSinceTrim.fetch_add(kNodeBytes + geometry, std::memory_order_relaxed);
        node.reset();
    }
    nodes.clear();
}

// ---- geometry ----

uint64_t Landscape::giveUpGeometry(PatchNode* node)
{
    if (patchDestroyedCallback)
        patchDestroyedCallback(&node->geometry);
    const uint64_t vertexCount = node->geometry.vertexCount;
    const uint64_t bytes = geometryBytes(node->geometry);
    memoryBytes -= bytes;
    spares.give(node->takeVertexArray(), vertexCount);
    return bytes;
}

void Landscape::createRoot()
{
    treeChanges += 1;
    root = makeRoot();
    opening = true;
    forcedPromoted = false;
    PatchBuildResult result;
    buildNode(*root, result, true);
    if (result.unreadable)
    {
        root->unreadable = true;
        unreadableCount += 1;
        return;
    }
    root->generated = true;
    install(root.get(), std::move(result));
}

void Landscape::beginTree()
{
    if (root)
        return;
    createRoot();
    if (forcedDepth() > 0)
        split(root.get());
}

std::vector<float> Landscape::firstRowsRead() const
{
    const uint32_t level = forcedDepth();
    std::vector<float> rows;
    rows.reserve((size_t(1) << level) * (patchVertices + 2));
    for (uint32_t cellZ = 0; cellZ < (1u << level); ++cellZ)
    {
        const PatchGrid grid(rootSquare, 0, cellZ, level, patchVertices);
        for (int j = -1; j <= int(patchVertices); ++j)
            rows.push_back(grid.z(j));
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

/* runs on the build thread */
void Landscape::generate(PatchNode& node, bool refresh)
{
    // The arrays that the render thread gave up since the last build go back to the system here.
    spares.freeRetired();
    // A node keeps its geometry until it gives it up (see dropSplitGeometry); a second build
    // request (a merge asked again while the first build was in flight) passes the node through
    // unchanged.
    if (node.generated)
    {
        // A refresh after a height edit: new vertices for the same arrays, from the height
        // source alone, since the parent's heights may be older than the edit.
        if (refresh)
            buildNode(node, node.result, false);
        return;
    }
    buildNode(node, node.result, true);
    node.generated = !node.result.unreadable;
    lastBuild = std::chrono::steady_clock::now();
}

/* runs on the build thread (on the render thread for the root) */
void Landscape::buildNode(PatchNode& node, PatchBuildResult& out, bool firstBuild)
{
    const uint32_t n = patchVertices;
    const PatchGrid grid(rootSquare, node.cellX, node.cellZ, node.level, n);

    // Reuse the parent's heights where the grids coincide, while the parent is kept alive by
    // the read handshake.
    ParentHeights parentHeights;
    bool readingParent = false;
    PatchNode* parent = firstBuild ? node.parent.load() : nullptr;
    if (parent && gridNests(n) && queue.beginReading(node, parent))
    {
        // A split parent gives its vertices up (see dropSplitGeometry): null then.
        const float* parentVertices = parent->sharedVertices;
        readingParent = parentVertices && parent->sharedVertexCount == uint64_t(n) * n;
        if (readingParent)
            parentHeights = ParentHeights{parentVertices, (node.quadrant & 1) ? (n - 1) / 2 : 0,
                                          (node.quadrant & 2) ? (n - 1) / 2 : 0};
        else
            queue.endReading();
    }

    // May move the height cache; it takes the height lock itself. Not for the root, which the
    // render thread builds: its few samples come from the file, and filling the cache window
    // (megabytes) is left to the build thread.
    if (preBuildCallback && node.parent)
        preBuildCallback(int(patchId(&node)));

    PatchHeights heights(n);
    bool readable;
    {
        Lock lock(queue.getHeightLock());
        const ParentHeights* reused = readingParent ? &parentHeights : nullptr;
        readable = heightRowFunction ? samplePatchHeights(grid, reused, heightRowFunction, heights)
                                     : samplePatchHeights(grid, reused, heightFunction, heights);
        // Asked even when a sample failed: a file changed on disk is the likelier reason, and the
        // one to report.
        const bool samplesValid = !sampleCheck || sampleCheck();
        readable = readable && samplesValid;
        out.heightEdition = heightEdition.load();
        if (readingParent)
            out.heightEdition = std::min<uint64_t>(out.heightEdition, parent->vertexEdition.load());
    }
    if (readingParent)
        queue.endReading();
    // Made-up heights are never drawn: a patch that could not read them all is not built.
    out.unreadable = !readable;
    if (!readable)
        return;

    out.vertices = spares.take(uint64_t(n) * n);
    buildPatchVertices(grid, heights, out);
}

uint64_t Landscape::freedBytes(const PatchNode& node)
{
    const uint64_t geometry = geometryBytes(node.geometry);
    return kNodeBytes + (node.geometry.drawable ? 2 * geometry : geometry);
}

void Landscape::install(PatchNode* node, PatchBuildResult&& result)
{
    memoryBytes -= geometryBytes(node->geometry);
    const uint32_t n = result.edgeVertices;
    node->install(std::move(result), strips.get(n, 0), StripLayout(n).indexCount());
    memoryBytes += geometryBytes(node->geometry);
}

void Landscape::drainResults(const CameraState& camera)
{
    const size_t cap = opening ? kOpeningHandOversPerUpdate : kHandOversPerUpdate;
    const size_t total = handOverLimit == SIZE_MAX ? SIZE_MAX : std::max(handOverLimit, cap);
    std::vector<std::unique_ptr<PatchNode>> dead;
    // An eighth of the detached nodes waiting at least, whatever the limit: held to freeLimit
    // alone, a fast flight detached more nodes per update than it freed, and the memory they
    // still held grew without bound beside a budget that counts it as gone.
    const size_t eighth = queue.retiredCount() / 8;
    const size_t spent = queue.drain([this](PatchNode* node) { handOver(node); },
                                     [this, &camera](const PatchNode* node) { return handOverCost(node, camera); },
                                     dead, handOverLimit, total, std::max(freeLimit, eighth), strictLimits);
    // What the hand-overs left is for the splits of this update's walk (affordsChildren).
    drawnBudget = handOverLimit == SIZE_MAX ? SIZE_MAX : handOverLimit - std::min(spent, handOverLimit);
    heldBackDrawn = 0;
    // Spread over updates only when the owner spreads the rest (see setUpdateLimits).
    release(dead,
            freeLimit == SIZE_MAX ? std::chrono::steady_clock::time_point::max()
                                  : std::chrono::steady_clock::now() + kFreeTime,
            std::max(kFewestFrees, eighth));
    applyHeldRefreshes();
}

namespace
{
// A node that has its geometry gets nothing from its own build again: a result is a refresh,
// copied in later by applyHeldRefreshes.
bool isRefresh(const PatchNode* node)
{
    return node->isBuilt() && (node->result.vertices || node->result.unreadable);
}

// A node drawn as soon as it is built: its parent was switched to split while it was building.
bool drawnOnArrival(const PatchNode* node)
{
    return !node->drawsChildren() && node->state != kMerging && node->isOnDrawnPath();
}
} // namespace

void Landscape::handOver(PatchNode* node)
{
    // A node detached while it was being built only waits to be freed; its result goes with it.
    if (isDetached(node))
        return;
    if (isRefresh(node))
    {
        holdRefresh(node);
        return;
    }
    const uint64_t edition = node->result.heightEdition;
    const bool installing = node->result.vertices != nullptr;
    // Its state, box and error, and its ancestors', change: the next update walks them again.
    touchChain(node);
    if (node->result.unreadable)
    {
        // Left unbuilt: a splitting parent goes on drawing itself, a merging node its children.
        node->unreadable = true;
        unreadableCount += 1;
        node->result = PatchBuildResult();
        return;
    }
    if (node->result.vertices)
    {
        install(node, std::move(node->result));
        // A node drawn as soon as it is built has its edges stitched now; otherwise its
        // hand-over below does it.
        if (drawnOnArrival(node))
            markAllSides(node);
    }

    if (node->state == kMerging)
    {
        for (const auto& child : node->children)
            if (child)
                child->lastVisit = frameCounter; // drawn until now: kept from here
        node->state = kLeaf;
        keptChangeCount += 1;
        refreshEdgeLevels(node);
        markAllSides(node);
        if (patchCreatedCallback)
            patchCreatedCallback(&node->geometry);
        for (const auto& child : node->children)
            if (child)
                node->error = std::max(node->error, child->error);
        keepOnlyBuiltChildren(node);
    }

    PatchNode* parent = node->parent;
    if (completesSplit(node, node->isReady()))
        drawChildren(parent);

    // Every built node folds its error and box into its ancestors, so that an ancestor's box
    // holds every patch below it (the frustum and ray tests prune by these boxes).
    if (!node->isBuilt())
        return;
    foldIntoAncestors(node);
    if (installing)
        refreshIfStale(node, edition);
}

void Landscape::foldIntoAncestors(const PatchNode* node)
{
    // An ancestor that holds the node's error and box already holds them for every one above it.
    bool grew = false;
    for (PatchNode* ancestor = node->parent; ancestor; ancestor = ancestor->parent)
    {
        if (!(node->error > ancestor->error) && ancestor->bounds.contains(node->bounds))
            break;
        ancestor->error = std::max(ancestor->error, node->error);
        ancestor->bounds.merge(node->bounds);
        grew = true;
    }
    if (grew)
        errorsChanged();
}

bool Landscape::completesSplit(const PatchNode* node, bool ready) const
{
    const PatchNode* parent = node->parent;
    if (!ready || !parent || parent->state != kSplitting)
        return false;
    for (const auto& child : parent->children)
        if (child.get() != node && !child->isReady())
            return false;
    return true;
}

size_t Landscape::handOverCost(const PatchNode* node, const CameraState& camera) const
{
    // The cases of handOver, read before it changes anything: a detached node, a refresh and a
    // failed build make nothing drawn.
    if (isDetached(node) || isRefresh(node) || node->result.unreadable)
        return 0;
    const bool installs = node->result.vertices != nullptr;
    const bool built = installs || node->isBuilt();
    const Ogre::AxisAlignedBox& box = installs ? node->result.bounds : node->bounds;
    const auto inView = [&camera](bool hasBox, const Ogre::AxisAlignedBox& b) {
        return hasBox && camera.isVisible(b, CameraState::kAllPlanes) != CameraState::kOutside ? size_t(1) : size_t(0);
    };
    size_t cost = 0;
    if (node->state == kMerging || (installs && drawnOnArrival(node)))
        cost += inView(built, box);
    const PatchNode* parent = node->parent;
    if (completesSplit(node, built || node->isReady()) && parent->isOnDrawnPath())
        for (const auto& child : parent->children)
            cost += child.get() == node ? inView(built, box) : inView(child->isBuilt(), child->bounds);
    return cost;
}

// ---- identifiers ----

unsigned int Landscape::encodePatchId(float x, float z, int level) const
{
    level = std::clamp(level, 0, kMaxPatchLevel);
    if (level == 0)
        return 1;
    // Cells are counted from the low corner; a point outside the square (or on its high edges)
    // is clamped to the nearest cell, so every point names a patch of the terrain.
    const float cells = float(1u << level);
    const auto cell = [&](float coordinate, float low) {
        const float c = std::trunc((coordinate - low) / rootSquare.size * cells);
        if (!(c >= 0))
            return 0u;
        return uint32_t(std::min(c, cells - 1));
    };
    return makePatchId(cell(x, rootSquare.origin.x), cell(z, rootSquare.origin.z), level);
}

unsigned int Landscape::patchId(const PatchNode* node) const
{
    const Ogre::Vector3 centre = (node->corners[0] + node->corners[3]) * 0.5f;
    return encodePatchId(centre.x, centre.z, int(node->level));
}

PatchGeometry* Landscape::findPatch(unsigned int id) const
{
    const QuadPath path = patchIdPath(id);
    PatchNode* node = root.get();
    for (int k = 0; node && k < path.depth; ++k)
        node = node->child(path.digit(k));
    return node ? &node->geometry : nullptr;
}
