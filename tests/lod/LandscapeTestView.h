#pragma once

// The tests' window onto a Landscape's insides (a friend of Landscape): its tree, counters and
// node operations, for tests that build trees by hand or check invariants of the drawn tree.

#include "../../tools/PumpUntilIdle.h"
#include "lod/Landscape.h"

#include <set>
#include <tuple>
#include <vector>

class LandscapeTestView
{
public:
    explicit LandscapeTestView(Landscape& landscape_) : landscape(landscape_) {}
    explicit LandscapeTestView(const Landscape& landscape_) : landscape(const_cast<Landscape&>(landscape_)) {}

    PatchNode* root() const { return landscape.root.get(); }
    BuildQueue& queue() const { return landscape.queue; }
    uint64_t patchCount() const { return landscape.patchCount; }
    uint64_t memoryBytes() const { return landscape.memoryBytes; }
    // Vertex arrays handed to the build thread to free.
    size_t retiredArrays() const { return landscape.spares.retiredCount(); }
    uint32_t patchVertices() const { return landscape.patchVertices; }
    uint32_t levelSlack() const { return landscape.levelSlack; }
    uint32_t maxLevel() const { return landscape.maxLevel; }
    float detailThreshold() const { return landscape.detailThreshold; }
    // The next update walks every drawn node, passing over none.
    void walkEverything() { landscape.fullWalk = true; }
    float drawnMorph(const PatchNode* leaf) const { return landscape.drawnMorph(leaf); }
    float screenError(const PatchNode* node, const CameraState& camera) const
    {
        return landscape.screenError(node, camera);
    }

    // ---- building trees by hand ----
    void createRoot() { landscape.createRoot(); }
    // A leaf's four children, linked as a split links them; nothing is built or posted.
    void makeChildren(PatchNode* node) { landscape.makeChildren(node); }
    // Generates and installs a node's geometry here and now, as the build thread and the
    // hand-over would.
    void build(PatchNode* node)
    {
        landscape.generate(*node);
        landscape.install(node, std::move(node->result));
    }
    // What building the node gives, without installing it (for benchmarks that build repeatedly).
    PatchBuildResult buildResult(PatchNode* node)
    {
        PatchBuildResult result;
        landscape.buildNode(*node, result, true);
        return result;
    }
    void post(PatchNode* node, bool build, bool inView = false) { landscape.queue.post(node, build, inView); }
    void promote(PatchNode* node) { landscape.queue.promote(node); }
    void drainResults() { landscape.drainResults(landscape.walkCamera); }
    void handOver(PatchNode* node) { landscape.handOver(node); }
    // Detaches and retires a node's children; a later drain frees them.
    void destroyChildren(PatchNode* node)
    {
        for (std::unique_ptr<PatchNode>& child : node->children)
            landscape.destroy(std::move(child));
    }

    // ---- stitching ----
    int levelDifference(const PatchNode* node, int side) const { return landscape.levelDifference(node, side); }
    void stitchSide(PatchNode* node, int side) { landscape.stitchSides(node, 1u << side); }
    void refreshRegion(PatchNode* node, const Ogre::AxisAlignedBox& box, bool normals)
    {
        landscape.refreshRegion(node, box, normals);
    }

private:
    Landscape& landscape;
};

namespace testing_support
{

template <class F>
void forEachNode(const PatchNode* node, const F& f)
{
    if (!node)
        return;
    f(node);
    for (const auto& child : node->children)
        forEachNode(child.get(), f);
}

// The patches drawn: a node whose children are drawn is drawn through them.
template <class F>
void forEachDrawn(const PatchNode* node, const F& f)
{
    if (!node)
        return;
    if (node->drawsChildren() && node->hasChildren())
    {
        for (const auto& child : node->children)
            forEachDrawn(child.get(), f);
        return;
    }
    f(node);
}

// Nothing in flight: no build pending, no detached node waiting to be freed.
inline bool isSettled(const Landscape& landscape)
{
    return landscape.hasTree() && landscape.pendingBuilds() == 0 &&
           LandscapeTestView(landscape).queue().retiredCount() == 0;
}

// Waits until the build thread has built (or dropped) everything asked of it, so that the next
// update hands over all of it. Requests that met the job lock held go in as an update would.
// Returns the polls it took, 0 when it gave up (bounded; see tools/PumpUntilIdle.h).
inline int waitForBuilds(const Landscape& landscape)
{
    BuildQueue& queue = LandscapeTestView(landscape).queue();
    return pumpUntilIdle([&] { queue.flush(); }, [&] {
        return queue.queuedJobs() == 0 && queue.queuedResults() == size_t(landscape.pendingBuilds());
    }, 200000);
}

inline std::vector<const PatchNode*> drawnLeaves(const Landscape& landscape)
{
    std::vector<const PatchNode*> leaves;
    forEachDrawn(LandscapeTestView(landscape).root(), [&](const PatchNode* leaf) { leaves.push_back(leaf); });
    return leaves;
}

// The drawn patches as (level, cell x, cell z): what two trees compare by.
inline std::set<std::tuple<uint32_t, uint32_t, uint32_t>> leafCells(const Landscape& landscape)
{
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> cells;
    for (const PatchNode* leaf : drawnLeaves(landscape))
        cells.emplace(leaf->level, leaf->cellX, leaf->cellZ);
    return cells;
}

} // namespace testing_support
