// The per-frame level-of-detail update: split, merge, morph and free patches from a camera
// snapshot, keep adjacent drawn patches within levelSlack levels, and collect the patches that a
// camera sees. Render thread only.

#include "lod/Landscape.h"

#include "lod/CameraState.h"
#include "support/Diagnostics.h"

#include <algorithm>
#include <cmath>

namespace
{
// Updates after which kept children that no update has reached are freed.
constexpr uint32_t kKeepChildrenUpdates = 500;
// Characters of the diagnostic patch path, at most.
constexpr int kMaxPathLevels = 32;

// The drawn patch that covers node: node itself when every ancestor draws its children,
// otherwise the highest ancestor that draws itself.
PatchNode* drawnCover(PatchNode* node)
{
    PatchNode* cover = node;
    for (PatchNode* ancestor = node->parent; ancestor; ancestor = ancestor->parent)
        if (!ancestor->drawsChildren())
            cover = ancestor;
    return cover;
}
} // namespace

void Landscape::update(const CameraState& camera)
{
    if (!root)
        createRoot();
    drainResults();
    updateNode(root.get(), camera, screenError(root.get(), camera));
    // Restitching may not add to the list: it only rewrites the flagged sides. A node that an
    // ancestor's merge took out of the drawn tree after it was flagged is left as it is: it is
    // checked again whenever it is drawn again.
    for (PatchNode* node : changedPatches)
    {
        if (node->isOnDrawnPath())
            restitch(node);
        node->edgeFlags = 0;
    }
    changedPatches.clear();
    frameCounter += 1;
}

float Landscape::screenError(const PatchNode* node, const CameraState& camera) const
{
    const Ogre::AxisAlignedBox box = node->testBox();
    // The eye is moved 40 % of the way towards the height of the box centre, so that a camera
    // high above the terrain does not see every patch as far away.
    Ogre::Vector3 eye = camera.position;
    eye.y += 0.4f * (box.getCenter().y - eye.y);
    float distance = box.distance(eye);
    if (!(distance >= 1.0f))
        distance = 1.0f;
    float error = camera.pixelScale / distance;
    if (farScale < 1.0f)
    {
        float t = (distance - farDistance) / farDistance;
        if (!(t >= 0.0f))
            t = 0.0f;
        else if (t > 1.0f)
            t = 1.0f;
        error *= t * farScale + (1.0f - t);
    }
    return error * node->error;
}

void Landscape::updateNode(PatchNode* node, const CameraState& camera, float parentError)
{
    const float threshold = detailThreshold;
    const float error = screenError(node, camera);
    node->lastVisit = frameCounter;

    if (node->drawsChildren())
    {
        for (const auto& child : node->children)
            updateNode(child.get(), camera, error);
        node->lod = 1.0f;
        if (node->state == kMerging && !node->isBuilt() && node->busy == 0 && !node->unreadable)
            queue.post(node, true); // its build was cancelled by an ancestor's merge: ask again
        // A node at minLevel may merge back: its leaves are at minLevel then, which is allowed.
        if (!(error >= threshold) && node->level >= minLevel)
            tryMerge(node);
        return;
    }

    if (!node->parent)
        parentError = error;
    if (!(parentError > error))
        parentError = error * 1.001f;
    float morph = error == parentError ? 1.0f : (threshold - parentError) / (error - parentError);
    bool want = error > threshold || forcedBySide(node);
    if (node->level < minLevel)
    {
        want = true;
        morph = 1.0f;
    }

    if (want && node->level < maxLevel)
        split(node);
    else if (node->hasChildren() && node->state != kSplitting)
        freeStaleChildren(node);
    // A drawn leaf without geometry and without a build in flight (left so by the cancel of an
    // ancestor's merge) asks for its build again instead of staying a hole.
    if (node->state == kLeaf && !node->isBuilt() && node->busy == 0 && !node->unreadable)
        queue.post(node, true);
    node->lod = morph;
}

bool Landscape::forcedBySide(const PatchNode* node) const
{
    // A neighbour drawn more than levelSlack levels deeper along a side forces a split; this
    // catches a merge that completed after a neighbour refined.
    for (int side = 0; side < 4; ++side)
    {
        const PatchNode* neighbour = node->neighbours[side];
        if (neighbour && neighbour->edgeMaxLevel[side ^ 1] > node->level + levelSlack &&
            neighbour->isOnDrawnPath())
            return true;
    }
    return false;
}

void Landscape::freeStaleChildren(PatchNode* node)
{
    bool stale = false;
    for (const auto& child : node->children)
        stale = stale || child->lastVisit + kKeepChildrenUpdates < frameCounter;
    // The children go together: a node has four children or none.
    if (stale)
        for (std::unique_ptr<PatchNode>& child : node->children)
            destroy(std::move(child));
}

int Landscape::split(PatchNode* node)
{
    if (node->state == kSplit || node->state == kSplitting)
        return 0;
    if (!node->hasChildren())
    {
        makeChildren(node);
        node->state = kSplitting;
    }
    else
    {
        node->state = kSplit;
    }

    for (PatchNode* ancestor = node; ancestor; ancestor = ancestor->parent)
    {
        updateEdgeLevels(ancestor);
        if (ancestor != node && node->isBuilt())
            ancestor->bounds.merge(node->bounds);
    }

    const int forced = forceNeighbours(node);

    if (node->state == kSplitting)
    {
        PatchNode* parent = node->parent;
        if (parent && parent->state == kSplitting)
        {
            // The parent's children are drawn from now on: patches around it see a finer side.
            parent->state = kSplit;
            refreshEdgeLevels(parent);
            markAllSides(parent);
        }
        queue.post(node, false);
        for (const auto& child : node->children)
            queue.post(child.get(), true);
    }
    else
    {
        // Kept children are drawn again: the patches around and inside them may have changed
        // level since they were last drawn, so every drawn patch of the subtree is checked, and
        // so are the patches across the node's sides.
        markAllSides(node);
        markSubtree(node);
    }
    return forced + 1;
}

int Landscape::forceNeighbours(PatchNode* node)
{
    const int deepestCoarse = int(node->level) - int(levelSlack) + 1;
    int total = 0;
    for (int side = 0; side < 4; ++side)
    {
        for (;;)
        {
            PatchNode* neighbour = nullptr;
            for (PatchNode* n = node; n && !neighbour; n = n->parent)
                neighbour = n->neighbours[side];
            if (!neighbour)
                break;
            // The patch drawn there may be an ancestor of the neighbour node (kept children
            // are linked but not drawn): that is the one that must not be too coarse.
            PatchNode* drawn = drawnCover(neighbour);
            if (int(drawn->level) >= deepestCoarse)
                break;
            const int splits = split(drawn);
            total += splits;
            if (splits == 0)
                break;
        }
    }
    return total;
}

int Landscape::tryMerge(PatchNode* node)
{
    if (node->state == kLeaf || node->state == kMerging)
        return 0;
    // A merge keeps one level of margin below what a split allows (no neighbour levelSlack
    // levels deeper), so that merged patches do not sit at the limit. With a slack of 1 that
    // margin would leave no merge possible at all (two split siblings would each wait for the
    // other), so there it is the slack itself.
    const uint32_t limit = node->level + std::max<uint32_t>(levelSlack, 2);
    for (int side = 0; side < 4; ++side)
    {
        const PatchNode* neighbour = node->neighbours[side];
        if (neighbour && neighbour->edgeMaxLevel[side ^ 1] >= limit && neighbour->isOnDrawnPath())
            return 0;
    }

    if (node->isBuilt())
    {
        node->state = kLeaf;
        keptChangeCount += 1;
        markAllSides(node);
    }
    else
    {
        node->state = kMerging;
        queue.post(node, true);
    }
    abandonDescendants(node);
    refreshEdgeLevels(node);
    node->lod = 1.0f;
    return 1;
}

void Landscape::abandonDescendants(PatchNode* node)
{
    if (!node->hasChildren())
        return;
    for (const auto& child : node->children)
    {
        if (node->state == kSplitting)
        {
            node->state = kLeaf;
            keptChangeCount += 1;
        }
        abandonDescendants(child.get());
        if (child->isBuilding())
            queue.post(child.get(), false);
    }
}

void Landscape::updateEdgeLevels(PatchNode* node)
{
    if (node->drawsChildren() && node->hasChildren())
    {
        const auto side = [node](int a, int b, int s) {
            return std::max(node->child(a)->edgeMaxLevel[s], node->child(b)->edgeMaxLevel[s]);
        };
        node->edgeMaxLevel[0] = side(0, 2, 0);
        node->edgeMaxLevel[1] = side(1, 3, 1);
        node->edgeMaxLevel[2] = side(0, 1, 2);
        node->edgeMaxLevel[3] = side(2, 3, 3);
    }
    else
    {
        for (uint8_t& level : node->edgeMaxLevel)
            level = uint8_t(node->level);
    }
}

void Landscape::refreshEdgeLevels(PatchNode* node)
{
    for (PatchNode* ancestor = node; ancestor; ancestor = ancestor->parent)
        updateEdgeLevels(ancestor);
}

void Landscape::markSide(PatchNode* node, int side, bool withNeighbour)
{
    // The patches across the side see this side change level, whatever their own level: the
    // same-level neighbour's drawn patches along the side are all marked. A side without a
    // same-level neighbour faces a coarser patch, which never stitches against a finer one.
    if (withNeighbour && node->neighbours[side])
    {
        markSide(node->neighbours[side], side ^ 1, false);
        withNeighbour = false;
    }
    if (node->drawsChildren() && node->hasChildren())
    {
        markSide(node->childOnSide(side, 0), side, withNeighbour);
        markSide(node->childOnSide(side, 1), side, withNeighbour);
        return;
    }
    // Only drawn patches are stitched. A kept subtree that is not drawn keeps the stitching it
    // was last drawn with, which still holds inside it when it is drawn again; its border is
    // marked then.
    if (!node->isBuilt() || !node->geometry.indices || !node->isOnDrawnPath())
        return;
    const int wanted = std::max(levelDifference(node, side), 0);
    if (wanted != ((node->edgeLevels >> (4 * side)) & 0xF))
    {
        if (node->edgeFlags == 0)
            changedPatches.push_back(node);
        node->edgeFlags |= uint8_t((1u << side) | (1u << (4 + side)));
    }
}

void Landscape::markAllSides(PatchNode* node)
{
    for (int side = 0; side < 4; ++side)
        markSide(node, side, true);
}

void Landscape::markSubtree(PatchNode* node)
{
    if (node->drawsChildren() && node->hasChildren())
    {
        for (const auto& child : node->children)
            markSubtree(child.get());
        return;
    }
    markAllSides(node);
}

void Landscape::destroy(std::unique_ptr<PatchNode> node)
{
    node->parent = nullptr;
    for (int side = 0; side < 4; ++side)
        if (PatchNode* neighbour = node->neighbours[side])
            neighbour->neighbours[side ^ 1] = nullptr;
    for (std::unique_ptr<PatchNode>& child : node->children)
        if (child)
            destroy(std::move(child));
    if (node->edgeFlags)
    {
        auto found = std::find(changedPatches.begin(), changedPatches.end(), node.get());
        if (found != changedPatches.end())
        {
            *found = changedPatches.back();
            changedPatches.pop_back();
        }
        node->edgeFlags = 0;
    }
    node->retiredBytes = freedBytes(*node);
    retiringBytes += node->retiredBytes;
    // Freed by a later drain, never during the tree walk.
    queue.retire(std::move(node));
}

void Landscape::forgetVisible(const std::vector<std::unique_ptr<PatchNode>>& gone)
{
    if (gone.empty() || visiblePatches.empty())
        return;
    // Sorted, so that a merge freeing hundreds of patches in view costs a search per patch, not
    // a scan of every freed node.
    std::vector<const PatchGeometry*> goneGeometry;
    goneGeometry.reserve(gone.size());
    for (const std::unique_ptr<PatchNode>& node : gone)
        goneGeometry.push_back(&node->geometry);
    std::sort(goneGeometry.begin(), goneGeometry.end());
    const auto isGone = [&goneGeometry](const PatchGeometry* patch) {
        return std::binary_search(goneGeometry.begin(), goneGeometry.end(), patch);
    };
    visiblePatches.erase(std::remove_if(visiblePatches.begin(), visiblePatches.end(), isGone),
                         visiblePatches.end());
}

uint64_t Landscape::notifyCamera(const CameraState& camera)
{
    visiblePatches.clear();
    if (root)
        collect(root.get(), camera, CameraState::kAllPlanes);
    return visiblePatches.size();
}

void Landscape::collect(PatchNode* node, const CameraState& camera, int mask)
{
    mask = camera.isVisible(node->testBox(), mask);
    if (mask == CameraState::kOutside)
        return;
    if (node->drawsChildren() && node->hasChildren())
    {
        for (const auto& child : node->children)
            collect(child.get(), camera, mask);
        return;
    }
    visiblePatches.push_back(&node->geometry);
}

void Landscape::collectPatches(const CameraState& camera,
                               std::vector<std::pair<unsigned int, float>>& out) const
{
    if (root)
        collectPairs(root.get(), camera, CameraState::kAllPlanes, out);
}

void Landscape::collectPairs(const PatchNode* node, const CameraState& camera, int mask,
                             std::vector<std::pair<unsigned int, float>>& out) const
{
    const Ogre::AxisAlignedBox box = node->testBox();
    mask = camera.isVisible(box, mask);
    if (mask == CameraState::kOutside)
        return;
    if (node->drawsChildren() && node->hasChildren())
    {
        for (const auto& child : node->children)
            collectPairs(child.get(), camera, mask, out);
        return;
    }
    out.emplace_back(patchId(node), box.distance(camera.position));
}

void Landscape::printPatch(const PatchNode* node) const
{
    // One character per level: the child index of each node from the root's child down.
    char path[kMaxPathLevels + 1];
    int length = 0;
    for (const PatchNode* n = node; n->parent && length < kMaxPathLevels; n = n->parent)
        path[length++] = char('0' + n->quadrant);
    std::reverse(path, path + length);
    path[length] = '\0';
    const PatchNode* parent = node->parent;
    printDiagnostic("Patch %s [%d] lod:%g error:%g,%g\n", path, int(node->level), double(node->lod),
                    double(node->error), parent ? double(parent->error) : 0.0);
}

uint64_t Landscape::freeKeptSubtrees(uint64_t wanted)
{
    // Drawn leaves whose children a merge kept for a quick split back, with the last update that
    // drew any of those children.
    std::vector<std::pair<uint32_t, PatchNode*>> kept;
    std::vector<PatchNode*> stack;
    if (root)
        stack.push_back(root.get());
    while (!stack.empty())
    {
        PatchNode* node = stack.back();
        stack.pop_back();
        if (!node->hasChildren())
            continue;
        if (node->drawsChildren())
        {
            for (const auto& child : node->children)
                stack.push_back(child.get());
            continue;
        }
        // A splitting node's children are being built for the view: they stay.
        if (node->state != kLeaf)
            continue;
        uint32_t lastDrawn = 0;
        for (const auto& child : node->children)
            lastDrawn = std::max(lastDrawn, child->lastVisit);
        kept.emplace_back(lastDrawn, node);
    }
    std::sort(kept.begin(), kept.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    uint64_t freed = 0;
    for (const auto& entry : kept)
    {
        if (freed >= wanted)
            break;
        const uint64_t before = retiringBytes;
        for (std::unique_ptr<PatchNode>& child : entry.second->children)
            destroy(std::move(child));
        freed += retiringBytes - before;
    }
    return freed;
}
