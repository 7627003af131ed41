// Landscape: patches rebuilt after the height source changed under them.
//
// An edit names a box of the terrain's square. Every built node with a vertex, or a normal's
// neighbour just outside its edge, in the box is rebuilt on the build thread from the heights as
// they are now; the new vertices are copied into the node's own array, in place, so that a child
// build reading them and the drawable keep the array they know. Builds that sampled before an
// edit (first builds under way, refreshes overtaken by a later edit, children that took heights
// from a parent not yet refreshed) are found by their height edition when they are handed over,
// and built again.
//
// Refreshed vertices are held until every requested build has been handed over, or for a few
// updates at most, and then copied in one pass: neighbours on either side of an edge change in
// the same frame, so no crack opens between an old patch and a new one while the tree is quiet.

#include "lod/Landscape.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace
{
// Whether some grid position i in -1 .. n (low + i * spacing: the vertices and the ring their
// normals look at) lies in [minValue, maxValue].
bool gridHits(float low, float spacing, uint32_t n, float minValue, float maxValue)
{
    const double first = std::max(std::ceil((double(minValue) - low) / spacing), -1.0);
    const double last = std::min(std::floor((double(maxValue) - low) / spacing), double(n));
    return first <= last;
}

// Vertices along an edge of the node's grid and their spacing in x and z.
struct NodeGrid
{
    uint32_t n;
    float spacingX;
    float spacingZ;
};

NodeGrid gridOf(const PatchNode* node, uint32_t patchVertices)
{
    const uint32_t n = node->edgeVertices ? node->edgeVertices : patchVertices;
    const float cells = float(std::max<uint32_t>(n, 2) - 1);
    return NodeGrid{n, (node->corners[3].x - node->corners[0].x) / cells,
                    (node->corners[3].z - node->corners[0].z) / cells};
}
} // namespace

bool Landscape::readsHeightsIn(const PatchNode* node, const HeightEdit& edit) const
{
    const NodeGrid grid = gridOf(node, patchVertices);
    return gridHits(node->corners[0].x, grid.spacingX, grid.n, edit.minX, edit.maxX) &&
           gridHits(node->corners[0].z, grid.spacingZ, grid.n, edit.minZ, edit.maxZ);
}

void Landscape::heightsChanged(float minX, float maxX, float minZ, float maxZ)
{
    const HeightEdit edit{heightEdition.load() + 1, minX, maxX, minZ, maxZ};
    heightEdition = edit.edition;
    heightEdits.push_back(edit);
    if (heightEdits.size() > kLoggedEdits)
        heightEdits.pop_front();
    if (root)
        refreshEdited(root.get(), edit);
}

void Landscape::refreshEdited(PatchNode* node, const HeightEdit& edit)
{
    // A descendant's grid and ring lie within the node's square widened by the node's spacing.
    const NodeGrid grid = gridOf(node, patchVertices);
    if (edit.maxX < node->corners[0].x - grid.spacingX || edit.minX > node->corners[3].x + grid.spacingX ||
        edit.maxZ < node->corners[0].z - grid.spacingZ || edit.minZ > node->corners[3].z + grid.spacingZ)
        return;
    if (node->isBuilt() && readsHeightsIn(node, edit))
        requestRefresh(node);
    // Kept children and children being built too: none may be drawn later with old heights.
    if (node->hasChildren())
        for (const auto& child : node->children)
            refreshEdited(child.get(), edit);
}

void Landscape::requestRefresh(PatchNode* node)
{
    // A refresh under way sampled before this edit or after it: its hand-over tells which.
    if (node->refreshInFlight || !node->isBuilt())
        return;
    node->refreshInFlight = true;
    // A stroke on ground the camera sees comes before the builds out of view. Asked for as one
    // of them, it waited behind every build that the camera's later moves asked for, and with a
    // camera that kept moving it could wait until the tree was made afresh.
    queue.postRefresh(node, node->isOnDrawnPath() && inWalkView(node));
}

void Landscape::refreshIfStale(PatchNode* node, uint64_t edition)
{
    if (edition >= heightEdition.load())
        return;
    // Edits older than the log are unknown: the node is rebuilt whatever they touched.
    if (heightEdits.empty() || heightEdits.front().edition > edition + 1)
    {
        requestRefresh(node);
        return;
    }
    for (auto edit = heightEdits.rbegin(); edit != heightEdits.rend() && edit->edition > edition; ++edit)
        if (readsHeightsIn(node, *edit))
        {
            requestRefresh(node);
            return;
        }
}

void Landscape::holdRefresh(PatchNode* node)
{
    // Unreadable heights leave the patch as it was; the stream reports the file's trouble.
    if (node->result.unreadable)
    {
        node->result = PatchBuildResult();
        node->refreshInFlight = false;
        return;
    }
    if (heldRefreshes.empty())
        heldSince = frameCounter;
    BuildQueue::hold(node);
    heldRefreshes.push_back(node);
}

void Landscape::applyHeldRefreshes()
{
    if (heldRefreshes.empty() || (queue.pendingBuilds() > 0 && frameCounter - heldSince < kRefreshHoldUpdates))
        return;
    std::vector<std::pair<PatchNode*, uint64_t>> applied;
    applied.reserve(heldRefreshes.size());
    {
        // Child builds read these arrays under the height lock.
        Lock lock(queue.getHeightLock());
        for (PatchNode* node : heldRefreshes)
        {
            PatchBuildResult built = std::move(node->result);
            node->refreshInFlight = false;
            if (!isDetached(node) && built.vertexCount == node->geometry.vertexCount)
            {
                std::memcpy(node->geometry.vertices, built.vertices.get(),
                            size_t(built.vertexCount) * kFloatsPerVertex * sizeof(float));
                node->vertexEdition = built.heightEdition;
                // Boxes only grow, as every ancestor's holds its descendants'.
                node->bounds.merge(built.bounds);
                float error = built.error;
                if (node->hasChildren())
                    for (const auto& child : node->children)
                        error = std::max(error, child->error);
                node->error = error;
                applied.emplace_back(node, built.heightEdition);
            }
            spares.give(std::move(built.vertices), built.vertexCount);
            BuildQueue::letGo(node);
        }
        heldRefreshes.clear();
    }
    if (!applied.empty())
        errorsChanged();
    for (const auto& [node, edition] : applied)
    {
        foldIntoAncestors(node);
        touchChain(node); // a new error and box: its split or merge is decided again
        refreshCount += 1;
        if (patchChangedCallback)
            patchChangedCallback(&node->geometry, kVerticesChanged);
        refreshIfStale(node, edition);
    }
}
