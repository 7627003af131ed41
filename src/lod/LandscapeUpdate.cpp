// The per-frame level-of-detail update: split, merge, morph and free patches from a camera
// snapshot, keep adjacent drawn patches within levelSlack levels, and collect the patches that a
// camera sees. Render thread only.

#include "lod/Landscape.h"

#include "lod/CameraState.h"
#include "support/Diagnostics.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

namespace
{
// Updates after which kept children that no update has reached are freed.
constexpr uint32_t kKeepChildrenUpdates = 500;
// Characters of the diagnostic patch path, at most.
constexpr int kMaxPathLevels = 32;
// How far over the threshold the guessed error of a patch below a split must be for the patch
// to be built ahead of a first view (buildAheadWhileOpening). At 1 the views of a 4097-sample
// and a 16385-sample map built 4 and 12 more patches ahead that they did not draw, and stood
// no sooner.
constexpr float kBuildAheadMargin = 1.5f;

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

// The patch drawn across side s of node: the drawn cover of the same-level neighbour of node or
// of its nearest ancestor that has one; null at the terrain's edge.
PatchNode* drawnAcross(PatchNode* node, int side)
{
    for (PatchNode* n = node; n; n = n->parent)
        if (PatchNode* neighbour = n->neighbours[side])
            return drawnCover(neighbour);
    return nullptr;
}
} // namespace

void Landscape::update(const CameraState& camera)
{
    lastUpdate.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    if (!root)
        createRoot();
    BuildQueue::Batch posts(queue);
    drainResults(camera);
    // Distances found at an earlier update hold within the eye's travel since; a new pixel
    // scale changes every error, and a camera that jumped to no place at all trusts nothing.
    if (camera.pixelScale != walkCamera.pixelScale)
        fullWalk = true;
    const double step = walkCameraSet ? double(camera.position.distance(walkCamera.position)) : 0.0;
    if (std::isfinite(step))
        eyeTravel += step;
    else
        fullWalk = true;
    // Morph factors follow the eye and the settings: computed at an earlier epoch, they are
    // computed again before they are drawn.
    if (step != 0.0 || fullWalk)
        morphEpoch += 1;
    walkCamera = camera;
    walkCameraSet = true;
    if (opening && !forcedPromoted)
        promoteForcedInView();

    // The first view waits for its whole tree, out of view too (see setUpdateLimits).
    walkDeadline = opening || walkTime == std::chrono::microseconds::max()
                       ? std::chrono::steady_clock::time_point::max()
                       : std::chrono::steady_clock::now() + walkTime;
    walkLate = false;
    walksSinceClock = 0;
    lateWalks = 0;
    putOffWalks = 0;
    // The walk clears marks: the touches it makes mark whole chains, and those made before it
    // are not trusted after it.
    walking = true;
    updateNode(root.get(), camera, screenError(root.get(), camera), fullWalk);
    walking = false;
    touchEpoch += 1;
    fullWalk = false;
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
    // The update's requests go in now, or, when they meet the build thread holding the job
    // lock, with the next update's.
    posts.end();
    frameCounter += 1;
    updated = true;
    opening = opening && queue.pendingBuilds() > 0;
    // Until the first view is built the render thread waits for the build thread's work; from
    // then on the build thread works in the background.
    if (!opening)
        queue.lowerPriority();
}

float Landscape::eyeDistance(const Ogre::Vector3& minimum, const Ogre::Vector3& maximum, Ogre::Vector3 eye)
{
    // The eye is moved 40 % of the way towards the height of the box centre, so that a camera
    // high above the terrain does not see every patch as far away.
    eye.y += 0.4f * ((maximum.y + minimum.y) * 0.5f - eye.y);
    // Per axis, how far the eye lies outside the box (0 inside its range), in scalars: see
    // CameraState::isVisible.
    const float x = std::max({minimum.x - eye.x, eye.x - maximum.x, 0.0f});
    const float y = std::max({minimum.y - eye.y, eye.y - maximum.y, 0.0f});
    const float z = std::max({minimum.z - eye.z, eye.z - maximum.z, 0.0f});
    const float distance = std::sqrt(x * x + y * y + z * z);
    return distance >= 1.0f ? distance : 1.0f;
}

float Landscape::eyeDistance(const PatchNode* node, const CameraState& camera) const
{
    Ogre::Vector3 minimum;
    Ogre::Vector3 maximum;
    node->testCorners(minimum, maximum);
    return eyeDistance(minimum, maximum, camera.position);
}

float Landscape::errorAt(const PatchNode* node, float distance, float pixelScale) const
{
    float error = pixelScale / distance;
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

float Landscape::screenError(const PatchNode* node, const CameraState& camera) const
{
    return errorAt(node, eyeDistance(node, camera), camera.pixelScale);
}

double Landscape::decisionSlack(const PatchNode* node, float distance, float error, float pixelScale) const
{
    // Leaves below minLevel always split and nodes below it never merge; leaves at maxLevel
    // never split on error. Otherwise the decision is whether the error is above the threshold.
    if (node->level < minLevel || (!node->drawsChildren() && node->level >= maxLevel))
        return std::numeric_limits<double>::infinity();
    return crossingSlack(node, distance, error, pixelScale, detailThreshold);
}

double Landscape::crossingSlack(const PatchNode* node, float distance, float error, float pixelScale,
                                float threshold) const
{
    if (!(error > 0.0f) || !std::isfinite(error) || error == threshold)
        return 0.0;
    // The error falls as the distance grows (with or without far detail), so the decision holds
    // for every distance within slack of this one when it holds at the far end of that range
    // (error above the threshold) or at the near end (below). The guess is where 1/d alone
    // would cross; it is checked, and halved until it holds.
    const bool above = error > threshold;
    float slack = 0.9f * std::abs(distance - distance * error / threshold);
    for (int tries = 0; tries < 4 && slack > 0.0f; ++tries, slack *= 0.5f)
    {
        const float end = above ? distance + slack : std::max(distance - slack, 1.0f);
        const float endError = errorAt(node, end, pixelScale);
        if (above ? endError > threshold : endError < threshold)
            return double(slack);
    }
    return 0.0;
}

float Landscape::morphFactor(const PatchNode* node, float error, float parentError) const
{
    if (node->level < minLevel)
        return 1.0f;
    if (!(parentError > error))
        parentError = error * 1.001f;
    return error == parentError ? 1.0f : (detailThreshold - parentError) / (error - parentError);
}

void Landscape::refreshMorph(PatchNode* leaf) const
{
    float parentError = std::numeric_limits<float>::quiet_NaN();
    leaf->lod = walkMorph(leaf, leaf->parent, screenError(leaf, walkCamera), parentError);
    leaf->morphEpoch = morphEpoch;
}

float Landscape::walkMorph(const PatchNode* leaf, const PatchNode* parent, float error, float& parentError) const
{
    if (parent && std::isnan(parentError))
        parentError = screenError(parent, walkCamera);
    return morphFactor(leaf, error, parent ? parentError : error);
}

void Landscape::touchChain(PatchNode* node)
{
    treeChanges += 1;
    if (walking)
    {
        for (; node; node = node->parent)
            node->walkPending = true;
        return;
    }
    // Only a walk clears the marks, so between two walks a node marked since the last one has
    // its ancestors marked (touchedEpoch): a chain stops where an earlier one went. The dozens of
    // builds that a frame after a teleport hands over lie side by side, and their chains are
    // mostly the same ones.
    const uint32_t epoch = touchEpoch;
    for (; node && node->touchedEpoch != epoch; node = node->parent)
    {
        node->walkPending = true;
        node->touchedEpoch = epoch;
    }
}

void Landscape::updateNode(PatchNode* node, const CameraState& camera, float parentError, bool walkAll)
{
    node->lastVisit = frameCounter;
    // Nothing in the subtree changed, the eye has not gone far enough for any of its decisions
    // to flip, and no kept children in it are due to go: the last walk's decisions stand. The
    // morph factors of its leaves in view are brought up to date as they are collected.
    // While coarsening, a split node may have to merge, or lead to one that must, whatever the
    // eye does: it is walked.
    const bool mayCoarsen = outOfView == OutOfView::coarsen && node->drawsChildren();
    const bool due = walkAll || node->walkPending || !(eyeTravel < node->stableUntil) ||
                     !(frameCounter < node->wakeUpdate);
    if (!due && !mayCoarsen)
        return;
    // Only a node due for its own decisions may wait: not one walked only to coarsen, nor one
    // walked at every update for a descendant without geometry (no slack, nothing pending),
    // which may not get any, so that the work put off comes to an end.
    if (due && (node->walkPending || node->stableUntil > 0.0) && putsOff(node))
    {
        // Walked by the next update, and so are its ancestors (their slack is the least of
        // their children's).
        node->walkPending = true;
        node->stableUntil = 0.0;
        // A walk of everything (new settings, a new pixel scale) that ends here is not done
        // below: the decisions there were taken under the old ones, and their slack, which
        // says when to take them again, too. The subtree is walked whole when the node is.
        node->walkAllPending = node->walkAllPending || walkAll;
        return;
    }
    node->walkPending = false;
    walkAll = walkAll || node->walkAllPending;
    node->walkAllPending = false;

    // A leaf's decision reads its neighbours' side levels (forcedBySide): asked for now, their
    // misses overlap the error's arithmetic below.
    if (!node->drawsChildren())
        for (const PatchNode* neighbour : node->neighbours)
            if (neighbour)
                __builtin_prefetch(&neighbour->edgeMaxLevel);
    const float threshold = detailThreshold;
    const float distance = eyeDistance(node, camera);
    const float error = errorAt(node, distance, camera.pixelScale);
    double stableUntil = eyeTravel + decisionSlack(node, distance, error, camera.pixelScale);
    uint32_t wakeUpdate = std::numeric_limits<uint32_t>::max();

    if (!node->drawsChildren())
    {
        // (The side test last: it reads the four neighbours, far apart in memory.)
        const bool held = error > threshold && heldBack(node);
        const bool want = node->level < minLevel || (error > threshold && !held) || forcedBySide(node);
        node->splitHeldBack = held && !want && node->level < maxLevel;
        // A split that finds its children kept draws them at once: they are walked below, in
        // this same update, so that a view refines as many levels as are built, not one a frame.
        if (want && node->level < maxLevel)
            split(node);
        else
            freeStaleChildren(node, error);
    }

    if (node->drawsChildren())
    {
        node->prefetchChildren();
        for (const auto& child : node->children)
        {
            updateNode(child.get(), camera, error, walkAll);
            stableUntil = std::min(stableUntil, child->stableUntil);
            wakeUpdate = std::min(wakeUpdate, child->wakeUpdate);
        }
        node->lod = 1.0f;
        if (node->state == kMerging && !node->isBuilt() && node->busy == 0 && !node->unreadable)
            postBuild(node); // its build was cancelled by an ancestor's merge: ask again
        // A node shallower than minLevel is never drawn again once its children are: its
        // geometry goes (walked again next update until it could).
        if (node->level < minLevel && node->state == kSplit && node->isBuilt() && !dropSplitGeometry(node))
            node->walkPending = true;
        // A node at minLevel may merge back: its leaves are at minLevel then, which is allowed.
        // A merge that its neighbours held back until the eye had gone far keeps nothing.
        if (node->level >= minLevel && (!(error >= threshold) || (mayCoarsen && heldBack(node))) && tryMerge(node))
            freeStaleChildren(node, error);
    }
    else
    {
        // A drawn leaf without geometry and without a build in flight (left so by the cancel of
        // an ancestor's merge) asks for its build again instead of staying a hole.
        if (node->state == kLeaf && !node->isBuilt() && node->busy == 0 && !node->unreadable)
            postBuild(node);
        node->lod = morphFactor(node, error, parentError);
        node->morphEpoch = morphEpoch;
        if (node->state == kLeaf && node->hasChildren())
        {
            for (const auto& child : node->children)
                wakeUpdate = std::min(wakeUpdate, child->lastVisit + kKeepChildrenUpdates + 1);
            // Walked again before the eye goes far enough for them to go.
            stableUntil = std::min(stableUntil, eyeTravel + crossingSlack(node, distance, error, camera.pixelScale,
                                                                         threshold * kKeptErrorShare));
        }
    }
    // A node without geometry is walked every update until it has it: its box may come from an
    // ancestor, which other builds change, and the walk asks again for a build that a cancel
    // took. A split node that gave its geometry up needs neither. So is a node this update
    // changed.
    node->stableUntil = node->walkPending || (!node->isBuilt() && node->state != kSplit) ? 0.0 : stableUntil;
    node->wakeUpdate = wakeUpdate;
}

bool Landscape::inWalkView(const PatchNode* node) const
{
    return walkCameraSet && walkCamera.isVisible(node->testBox(), CameraState::kAllPlanes) != CameraState::kOutside;
}

bool Landscape::heldBack(const PatchNode* node) const
{
    if (outOfView == OutOfView::refine || node->level < minLevel || !walkCameraSet || inWalkView(node))
        return false;
    // Nor is the ground around the camera: what the camera, or whatever it follows, stands on is
    // found by height queries there, which must not answer from coarse patches.
    return !aroundEye(node);
}

bool Landscape::aroundEye(const PatchNode* node) const
{
    const Ogre::Vector3& low = node->corners[0];
    const Ogre::Vector3& high = node->corners[3];
    const float edge = high.x - low.x;
    const Ogre::Vector3& eye = walkCamera.position;
    return eye.x >= low.x - edge && eye.x <= high.x + edge && eye.z >= low.z - edge && eye.z <= high.z + edge;
}

bool Landscape::putsOff(const PatchNode* node)
{
    if (walkDeadline == std::chrono::steady_clock::time_point::max())
        return false;
    if (!walkLate && ++walksSinceClock == kWalksPerClockRead)
    {
        walksSinceClock = 0;
        walkLate = std::chrono::steady_clock::now() >= walkDeadline;
    }
    // A node without geometry is walked every update until it has it (see updateNode): a drawn
    // leaf left so asks for its build again there, and queries find no height under it meanwhile.
    if (!walkLate || !node->isBuilt() || inWalkView(node) || aroundEye(node))
        return false;
    if (lateWalks < kFewestLateWalks)
    {
        lateWalks += 1;
        return false;
    }
    putOffWalks += 1;
    return true;
}

void Landscape::setOutOfView(OutOfView mode)
{
    // A leaf held back passes for stable until its error falls below the threshold: once the
    // tree may refine again, every decision is taken afresh. (Holding needs no walk: a leaf is
    // held back when the eye has come near enough for it to split.)
    if (mode == OutOfView::refine && outOfView != OutOfView::refine)
        fullWalk = true;
    outOfView = mode;
}

void Landscape::postBuild(PatchNode* node)
{
    queue.post(node, true, inWalkView(node));
}

bool Landscape::forcedBySide(const PatchNode* node) const
{
    // A neighbour drawn more than levelSlack levels deeper along a side forces a split; this
    // catches a merge that completed after a neighbour refined.
    for (int side = 0; side < 4; ++side)
    {
        const PatchNode* neighbour = node->neighbours[side];
        if (neighbour && neighbour->edgeMaxLevel[side ^ 1] > node->level + levelSlack &&
            node->neighbourOnDrawnPath(side))
            return true;
    }
    return false;
}

void Landscape::freeStaleChildren(PatchNode* node, float error)
{
    if (node->state != kLeaf || !node->hasChildren())
        return;
    bool stale = error < detailThreshold * kKeptErrorShare;
    for (const auto& child : node->children)
        stale = stale || child->lastVisit + kKeepChildrenUpdates < frameCounter;
    // The children go together: a node has four children or none.
    if (stale)
        for (std::unique_ptr<PatchNode>& child : node->children)
            destroy(std::move(child));
}

int Landscape::split(PatchNode* node)
{
    if (node->state == kSplit)
        return 0;
    if (node->state == kSplitting)
        return drawReadyChildren(node) ? 1 : 0;
    touchChain(node);
    if (!node->hasChildren())
    {
        makeChildren(node);
        node->state = kSplitting;
    }
    else
    {
        // Kept children: drawn at once, when they are ready and the update can afford them.
        node->state = node->childrenReady() && affordsChildren(node) ? kSplit : kSplitting;
        if (node->state == kSplit)
            announceChildren(node);
    }

    refreshEdgeLevels(node);
    if (node->isBuilt())
        foldIntoAncestors(node);

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
        // The four children are drawn together, once the last of them is built: they go to the
        // build thread as one, in view when any part of the node is. Kept children built
        // already, on their way, or unreadable are not asked for again; those on their way,
        // asked for out of view (the levels always split, asked for before there was a camera),
        // come before the others once the node is in view.
        const bool inView = inWalkView(node);
        if (node->level + 1 < forcedDepth())
            buildForcedLevels(node);
        else if (opening && outOfView == OutOfView::refine)
            buildAheadWhileOpening(node); // not while the owner holds memory back
        for (const auto& child : node->children)
        {
            if (child->isBuilt())
                continue;
            if (child->busy != 0)
            {
                if (inView)
                    queue.promote(child.get());
            }
            else if (!child->unreadable)
            {
                queue.post(child.get(), true, inView);
            }
        }
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

bool Landscape::drawReadyChildren(PatchNode* node)
{
    // A split completes when the hand-over of its last child makes the four ready. Children
    // that were ready before (built ahead, see buildForcedLevels) are drawn here instead, once
    // the update can afford them; until then the walk comes back to the node every update.
    if (!node->childrenReady())
        return false;
    node->walkPending = true;
    if (!affordsChildren(node))
        return false;
    touchChain(node);
    drawChildren(node);
    return true;
}

void Landscape::drawChildren(PatchNode* node)
{
    node->state = kSplit;
    refreshEdgeLevels(node);
    markAllSides(node);
    announceChildren(node);
}

void Landscape::announceChildren(PatchNode* node)
{
    for (const auto& child : node->children)
    {
        child->drawnUpdate = frameCounter;
        if (patchCreatedCallback)
            patchCreatedCallback(&child->geometry);
    }
}

bool Landscape::affordsChildren(const PatchNode* node)
{
    // Only the levels built ahead bring patches into view through the walk's splits, as many
    // levels in one update as are ready: each split pays for its children in view and gets
    // back what its own patch cost, when this update drew it. The other levels draw kept
    // children at once, as a merge kept them all built.
    if (node->level >= forcedDepth() || drawnBudget == SIZE_MAX)
        return true;
    size_t cost = 0;
    if (walkCameraSet)
    {
        for (const auto& child : node->children)
            cost += inWalkView(child.get()) ? 1 : 0;
        if (cost > 0 && node->drawnUpdate == frameCounter && inWalkView(node))
            cost -= 1;
    }
    // The first patches of an update are taken whatever they cost (unless the limits are
    // strict), so that the walk always moves; a node that cannot draw itself splits whatever
    // its children cost.
    if ((strictLimits || drawnBudget < handOverLimit) && cost > drawnBudget && node->isBuilt())
    {
        heldBackDrawn += cost;
        return false;
    }
    drawnBudget -= std::min(cost, drawnBudget);
    return true;
}

size_t Landscape::buildLevelsBelow(PatchNode* node, const std::function<bool(const PatchNode*, int)>& wanted)
{
    std::vector<std::vector<PatchNode*>> levels(1);
    for (const auto& child : node->children)
        levels[0].push_back(child.get());
    size_t madeCount = 0;
    for (int depth = 1; !levels.back().empty(); ++depth)
    {
        std::vector<PatchNode*> made;
        for (PatchNode* n : levels.back())
        {
            if (n->hasChildren() || !wanted(n, depth))
                continue;
            makeChildren(n);
            for (const auto& child : n->children)
            {
                child->lastVisit = frameCounter;
                made.push_back(child.get());
            }
        }
        madeCount += made.size();
        levels.push_back(std::move(made));
    }
    // Deepest first: the build thread takes the newest first, so parents come before children
    // (node's children, which the split asks for after this, first of all).
    for (size_t k = levels.size() - 1; k > 0; --k)
        for (PatchNode* n : levels[k])
            queue.post(n, true, inWalkView(n));
    return madeCount;
}

void Landscape::buildForcedLevels(PatchNode* node)
{
    // The levels above minLevel split whatever the view: their patches are all asked for at
    // once, when the first of them splits, so that the first view does not wait an update per
    // level for them.
    buildLevelsBelow(node, [this](const PatchNode* n, int) { return n->level < forcedDepth(); });
}

void Landscape::promoteForcedInView()
{
    forcedPromoted = true;
    // The build thread takes the newest promotion first: minLevel's patches in view are
    // promoted first, the shallower levels after them, shallowest last.
    std::vector<std::vector<PatchNode*>> levels(forcedDepth() + 1);
    std::vector<PatchNode*> stack{root.get()};
    while (!stack.empty())
    {
        PatchNode* node = stack.back();
        stack.pop_back();
        const bool waiting = node->busy != 0 && !node->isBuilt();
        if (waiting && (node->level < forcedDepth() || inWalkView(node)))
            levels[node->level].push_back(node);
        if (node->level < forcedDepth() && node->hasChildren())
            for (const auto& child : node->children)
                stack.push_back(child.get());
    }
    for (auto level = levels.rbegin(); level != levels.rend(); ++level)
        for (PatchNode* node : *level)
            queue.promote(node);
}

void Landscape::buildAheadWhileOpening(PatchNode* node)
{
    // Until the first view stands, each level it refines through costs a frame: a split asks
    // for its children, and only the update after their hand-over finds that they split in
    // turn. The patches in view below node's children that are likely to split are asked for
    // at once. An unbuilt patch's error is guessed as half its parent's, level by level from
    // node's (the error of a patch is at most its parent's; on rough ground it falls about that
    // fast), and a patch is taken when the guess is well over the threshold. A guess too high
    // builds patches that the view does not draw, which go as kept children go; one too low
    // leaves a level to a later update, as without a guess.
    const auto likelySplit = [this, node](const PatchNode* n, int depth) {
        if (n->level >= maxLevel || !inWalkView(n) || buildAheadLimit < 4)
            return false;
        const float guess = std::ldexp(errorAt(node, eyeDistance(n, walkCamera), walkCamera.pixelScale), -depth);
        if (!(guess > kBuildAheadMargin * detailThreshold))
            return false;
        buildAheadLimit -= 4;
        return true;
    };
    // Patches that may keep children from here: the budget's walk for them is due again.
    if (buildLevelsBelow(node, likelySplit) > 0)
        keptChangeCount += 1;
}

int Landscape::forceNeighbours(PatchNode* node)
{
    const int deepestCoarse = int(node->level) - int(levelSlack) + 1;
    int total = 0;
    for (int side = 0; side < 4; ++side)
    {
        for (;;)
        {
            // The patch drawn there may be an ancestor of the neighbour node (kept children
            // are linked but not drawn): that is the one that must not be too coarse.
            PatchNode* drawn = drawnAcross(node, side);
            if (!drawn || int(drawn->level) >= deepestCoarse)
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
        if (neighbour && neighbour->edgeMaxLevel[side ^ 1] >= limit && node->neighbourOnDrawnPath(side))
            return 0;
    }

    touchChain(node);
    // The children were drawn until now: their kept time starts here, however long ago a walk
    // last reached them.
    for (const auto& child : node->children)
        child->lastVisit = frameCounter;
    if (node->isBuilt())
    {
        node->state = kLeaf;
        keptChangeCount += 1;
        markAllSides(node);
        keepOnlyBuiltChildren(node);
    }
    else
    {
        node->state = kMerging;
        postBuild(node);
    }
    abandonDescendants(node);
    refreshEdgeLevels(node);
    node->lod = 1.0f;
    node->morphEpoch = morphEpoch;
    return 1;
}

void Landscape::keepOnlyBuiltChildren(PatchNode* node)
{
    bool built = true;
    for (const auto& child : node->children)
        built = built && child && child->isBuilt();
    if (built)
        return;
    for (std::unique_ptr<PatchNode>& child : node->children)
        if (child)
            destroy(std::move(child));
}

bool Landscape::dropSplitGeometry(PatchNode* node)
{
    // A refresh in flight would come back as a new build of a node that no longer wants one.
    if (node->busy != 0 || node->refreshInFlight)
        return false;
    // Unpublished first: a child's build that has not begun reading finds no vertices and
    // samples the heights itself; one that has is seen here, and the vertices stay.
    node->sharedVertices = nullptr;
    if (queue.inUse(node))
    {
        node->sharedVertices = node->geometry.vertices;
        return false;
    }
    // The patch as drawn goes, with its drawable: a merge builds it again and creates it anew.
    // The box, the error and the edge levels stay: the update decides by them, and a merge
    // stitches the node afresh. Not counted towards a heap trim: the records go to the spare
    // arrays, which the next builds take, and only the first frames of a view draw these few
    // levels.
    giveUpGeometry(node);
    // No job names the node, so the build thread does not look at it until the merge's build,
    // which must generate it again.
    node->generated = false;
    treeChanges += 1;
    return true;
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

bool Landscape::updateEdgeLevels(PatchNode* node)
{
    uint8_t levels[4];
    if (node->drawsChildren() && node->hasChildren())
    {
        const auto side = [node](int a, int b, int s) {
            return std::max(node->child(a)->edgeMaxLevel[s], node->child(b)->edgeMaxLevel[s]);
        };
        levels[0] = side(0, 2, 0);
        levels[1] = side(1, 3, 1);
        levels[2] = side(0, 1, 2);
        levels[3] = side(2, 3, 3);
    }
    else
    {
        std::fill(std::begin(levels), std::end(levels), uint8_t(node->level));
    }
    if (std::equal(std::begin(levels), std::end(levels), std::begin(node->edgeMaxLevel)))
        return false;
    std::copy(std::begin(levels), std::end(levels), std::begin(node->edgeMaxLevel));
    return true;
}

void Landscape::refreshEdgeLevels(PatchNode* node)
{
    // Each node's levels are its children's, so where a node's do not change, none above it
    // does: every change of what a node draws comes through here.
    while (node && updateEdgeLevels(node))
        node = node->parent;
}

void Landscape::markSide(PatchNode* node, int side, bool withNeighbour, int onDrawnPath)
{
    // The patches across the side see this side change level, whatever their own level: the
    // same-level neighbour's drawn patches along the side are all marked. A side without a
    // same-level neighbour (nor do the children along it have one) faces a coarser patch. It
    // never stitches against a finer one, but the change may leave it more than levelSlack
    // levels coarser than what is now drawn beside it: a merge across the side, allowed while
    // this node still drew itself with its split under way, whose kept children then went.
    // Only its own walk splits it again (forcedBySide), so that walk is due.
    if (withNeighbour)
    {
        if (PatchNode* neighbour = node->neighbours[side])
            markSide(neighbour, side ^ 1, false,
                     onDrawnPath == 1 ? int(node->neighbourOnDrawnPath(side)) : -1);
        else if (PatchNode* across = drawnAcross(node, side))
            touchChain(across);
        withNeighbour = false;
    }
    if (node->drawsChildren() && node->hasChildren())
    {
        // A child is on the drawn path exactly when this node is, which draws its children:
        // found once for the whole side, not by a walk to the root at every patch along it.
        if (onDrawnPath < 0)
            onDrawnPath = node->isOnDrawnPath() ? 1 : 0;
        // The second child's lines come in while the first child's side is marked.
        PatchNode* second = node->childOnSide(side, 1);
        second->prefetchTreeLines();
        markSide(node->childOnSide(side, 0), side, withNeighbour, onDrawnPath);
        markSide(second, side, withNeighbour, onDrawnPath);
        return;
    }
    // The patches along the side decide on their level again at the next update: a neighbour
    // that refined or coarsened may force a split or forbid a merge.
    touchChain(node);
    // Only drawn patches are stitched. A kept subtree that is not drawn keeps the stitching it
    // was last drawn with, which still holds inside it when it is drawn again; its border is
    // marked then.
    if (!node->isBuilt() || !node->geometry.indices)
        return;
    assert(onDrawnPath < 0 || (onDrawnPath == 1) == node->isOnDrawnPath());
    if (onDrawnPath < 0 ? !node->isOnDrawnPath() : onDrawnPath == 0)
        return;
    const int wanted = std::max(levelDifference(node, side), 0);
    if (wanted != sideDifference(node->edgeLevels, side))
    {
        if (node->edgeFlags == 0)
            changedPatches.push_back(node);
        node->edgeFlags |= uint8_t((1u << side) | (1u << (4 + side)));
    }
}

void Landscape::markAllSides(PatchNode* node)
{
    const int onDrawnPath = node->isOnDrawnPath() ? 1 : 0;
    for (int side = 0; side < 4; ++side)
        markSide(node, side, true, onDrawnPath);
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
    visibleMayHoldDetached = true;
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
    // Nearly always, a collection came between the nodes' detaching and their freeing.
    if (gone.empty() || visiblePatches.empty() || !visibleMayHoldDetached)
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
    // The same camera over the same tree, with the same morph factors, sees the same patches: a
    // still view costs no walk at all.
    const bool sameView = collectedFor.camera == camera.camera && collectedFor.position == camera.position &&
                          std::equal(std::begin(camera.planes), std::end(camera.planes),
                                     std::begin(collectedFor.planes)) &&
                          collectedChanges == treeChanges && collectedEpoch == morphEpoch;
    if (sameView)
        return visiblePatches.size();
    visiblePatches.clear();
    visibleMayHoldDetached = false;
    comingInView = 0;
    float noParent = std::numeric_limits<float>::quiet_NaN();
    if (root)
        collect(root.get(), nullptr, camera, CameraState::kAllPlanes, noParent);
    collectedFor = camera;
    collectedChanges = treeChanges;
    collectedEpoch = morphEpoch;
    return visiblePatches.size();
}

void Landscape::collect(PatchNode* node, const PatchNode* parent, const CameraState& camera, int mask,
                        float& parentError)
{
    Ogre::Vector3 minimum;
    Ogre::Vector3 maximum;
    node->testCorners(minimum, maximum);
    mask = camera.isVisible(minimum, maximum, mask);
    if (mask == CameraState::kOutside)
        return;
    if (node->drawsChildren() && node->hasChildren())
    {
        // Nearest quarter first, the opposite one last: the patches come out roughly front to
        // back, so the depth test spares the pixel shading of what nearer ground hides. The
        // centre comes from the box already read (its x and z span the node's square), not from
        // a child's corners, another cache line of another node.
        const float centreX = (minimum.x + maximum.x) * 0.5f;
        const float centreZ = (minimum.z + maximum.z) * 0.5f;
        const int nearest = (camera.position.x >= centreX ? 1 : 0) | (camera.position.z >= centreZ ? 2 : 0);
        node->prefetchChildren();
        float error = std::numeric_limits<float>::quiet_NaN();
        for (int k : {0, 1, 2, 3})
            collect(node->child(nearest ^ k), node, camera, mask, error);
        return;
    }
    // A leaf that the last walk passed over has the morph factor of an earlier eye position:
    // brought up to date before it is drawn (as drawnMorph does, here from the corners already
    // read and with the parent's error found once for the four siblings).
    if (node->morphEpoch != morphEpoch && walkCameraSet)
    {
        const float error = errorAt(node, eyeDistance(minimum, maximum, walkCamera.position), walkCamera.pixelScale);
        node->lod = walkMorph(node, parent, error, parentError);
        node->morphEpoch = morphEpoch;
    }
    visiblePatches.push_back(&node->geometry);
    // A leaf kept from splitting while it lay out of view passes for stable until the eye goes
    // away from it, and a camera that turns on the spot does not move the eye: seen now by the
    // camera that the walks follow, it is walked again by the next update, which splits it as
    // the view asks. (Another camera, a map's seen from above say, holds nothing back.)
    if (node->splitHeldBack && camera.camera == walkCamera.camera) [[unlikely]]
    {
        node->splitHeldBack = false;
        touchChain(node);
    }
    // Read by the owner while the first view is built (one child takes the node's place).
    if (opening && node->state == kSplitting)
        comingInView += std::max<size_t>(leavesComingInView(node, camera, mask), 1) - 1;
}

size_t Landscape::leavesComingInView(const PatchNode* node, const CameraState& camera, int mask) const
{
    // The patches in view that the split of node draws at once: its children, or the leaves of
    // the levels built ahead below them.
    size_t count = 0;
    for (const auto& child : node->children)
    {
        Ogre::Vector3 minimum;
        Ogre::Vector3 maximum;
        child->testCorners(minimum, maximum);
        const int childMask = camera.isVisible(minimum, maximum, mask);
        if (childMask == CameraState::kOutside)
            continue;
        const bool builtAhead = child->level < forcedDepth() && child->hasChildren();
        count += builtAhead ? leavesComingInView(child.get(), camera, childMask) : 1;
    }
    return count;
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
