#include "lod/Landscape.h"

#include "support/Diagnostics.h"
#include "lod/PatchId.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace
{
float flatHeight(const Ogre::Vector3&, int)
{
    return 0.0f;
}

// Number of halvings of n that leave a value greater than 1: log2(n) - 1 for n >= 2, 0 for 1.
uint32_t halvingsAboveOne(int n)
{
    uint32_t count = 0;
    for (int v = n; v / 2 > 1; v /= 2)
        ++count;
    return count;
}
} // namespace

Landscape::Landscape(float size_, const Ogre::Vector3& origin_)
    : origin(origin_), size(size_), heightFunction(&flatHeight)
{
}

Landscape::~Landscape()
{
    // The owner stops the thread before it destroys the engine; if it has not, the thread would
    // go on building nodes that are about to be freed.
    if (thread.isRunning())
        printDiagnostic("Warning: Thread still running\n");
    stop(true);
    clear();
}

void Landscape::clear()
{
    assert(!thread.isAlive());
    if (root)
    {
        destroy(root);
        root = nullptr;
    }
    // Every node is detached now; busy ones wait in deadPatches. The thread has ended, so no job
    // or result can name them any more.
    for (PatchNode* node : deadPatches)
        delete node;
    deadPatches.clear();
    jobQueue.clear();
    resultQueue.clear();
    pendingBuilds = 0;
    changedPatches.clear();
    visiblePatches.clear();
}

void Landscape::setBounds(float size_, const Ogre::Vector3& origin_)
{
    size = size_;
    origin = origin_;
}

void Landscape::setPatchSize(int n)
{
    assert(n >= 1 && (n & (n - 1)) == 0);
    patchVertices = uint32_t(n) + 1;
    levelSlack = halvingsAboveOne(n);
}

void Landscape::setLevelLimits(int minLevel_, int maxLevel_)
{
    minLevel = uint32_t(std::max(minLevel_, 0));
    maxLevel = uint32_t(std::max(maxLevel_, 0));
}

void Landscape::setDetailThreshold(float threshold)
{
    detailThreshold = threshold;
}

void Landscape::setFarDetail(float farThreshold, float farDistance_)
{
    farScale = detailThreshold / farThreshold;
    farDistance = farDistance_;
}

void Landscape::setHeightFunction(const HeightFunction& function)
{
    heightFunction = function;
}

void Landscape::setCallbacks(const PatchCallback& created, const PatchCallback& destroyed,
                             const ChangedCallback& changed, const PreBuildCallback& preBuild)
{
    patchCreatedCallback = created;
    patchDestroyedCallback = destroyed;
    patchChangedCallback = changed;
    preBuildCallback = preBuild;
}

void Landscape::getDebugInfo(uint64_t& patchCountOut, uint64_t& memoryBytesOut) const
{
    patchCountOut = patchCount;
    memoryBytesOut = memoryBytes;
}

namespace
{
// Answers whether the walk may go on with the next sibling.
bool visitDrawn(PatchNode* node, const Landscape::Visitor& visitor)
{
    if (node->state & 1)
    {
        for (PatchNode* child : node->children)
            if (!visitDrawn(child, visitor))
                return false;
        return true;
    }
    return visitor(&node->geometry) > 0;
}
} // namespace

void Landscape::visitPatches(const Visitor& visitor)
{
    Lock lock(treeLock);
    if (root)
        visitDrawn(root, visitor);
}

void Landscape::createRoot()
{
    root = new PatchNode(this);
    PatchBuildResult result;
    buildVertices(root, result);
    buildIndices(patchVertices, result);
    root->generated = true;
    install(root, result);
}

unsigned int Landscape::encodePatchId(float x, float z, int level) const
{
    level = std::clamp(level, 0, kMaxPatchLevel);
    if (level == 0)
        return 1;
    // Cells are counted from the low corner; a point outside the square (or on its high edges)
    // is clamped to the nearest cell, so every point names a patch of the terrain.
    const float cells = float(1u << level);
    const auto cell = [&](float coordinate, float low) {
        const float c = std::trunc((coordinate - low) / size * cells);
        if (!(c >= 0))
            return 0u;
        return uint32_t(std::min(c, cells - 1));
    };
    return makePatchId(cell(x, origin.x), cell(z, origin.z), level);
}

unsigned int Landscape::patchId(const PatchNode* node) const
{
    const Ogre::Vector3 centre = (node->corners[0] + node->corners[3]) * 0.5f;
    return encodePatchId(centre.x, centre.z, int(node->level));
}

PatchNode* Landscape::findPatch(unsigned int id) const
{
    const int level = patchIdLevel(id);
    PatchNode* node = root;
    for (int k = level - 1; node && k >= 0; --k)
        node = node->children[(id >> (2 * k)) & 3];
    return node;
}
