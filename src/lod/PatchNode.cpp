#include "lod/PatchNode.h"

#include "lod/Landscape.h"

// Bytes a node costs besides its geometry, for the memory counter.
static constexpr uint64_t kNodeBytes = 256;
// Bytes of one vertex record and of one index.
static constexpr uint64_t kVertexBytes = 40;
static constexpr uint64_t kIndexBytes = 2;

PatchNode::PatchNode(Landscape* owner_, uint32_t level_, int quadrant_, uint32_t cellX_, uint32_t cellZ_)
    : owner(owner_), level(level_), quadrant(quadrant_), cellX(cellX_), cellZ(cellZ_)
{
    // Corners come from the cell's integer position, like every vertex, so that nodes of any
    // level name a shared point with the very same coordinates.
    for (int q = 0; q < 4; ++q)
        corners[q] = Ogre::Vector3(owner->gridX(cellX, (q & 1) ? 1.0 : 0.0, level), 0.0f,
                                   owner->gridZ(cellZ, (q & 2) ? 1.0 : 0.0, level));
    // A new node is drawn, if at all, at its own level.
    for (uint8_t& deepest : edgeMaxLevel)
        deepest = uint8_t(level);
    geometry.bounds = &bounds;
    geometry.morph = &lod;
    owner->patchCount += 1;
    owner->memoryBytes += kNodeBytes;
}

PatchNode::PatchNode(Landscape* owner_) : PatchNode(owner_, 0, 0, 0, 0)
{
}

PatchNode::PatchNode(PatchNode* parent_, int quadrant_)
    : PatchNode(parent_->owner, parent_->level + 1, quadrant_, 2 * parent_->cellX + (quadrant_ & 1),
                2 * parent_->cellZ + (quadrant_ >> 1))
{
    parent = parent_;
}

PatchNode::~PatchNode()
{
    if (owner->patchDestroyedCallback)
        owner->patchDestroyedCallback(&geometry);
    delete[] geometry.vertices;
    delete[] geometry.indices;
    // A result the hand-over never took (the node died in the result queue).
    delete[] result.vertices;
    delete[] result.indices;
    owner->patchCount -= 1;
    owner->memoryBytes -=
        kNodeBytes + kVertexBytes * geometry.vertexCount + kIndexBytes * geometry.indexCount;
}

bool PatchNode::isReady() const
{
    if (isBuilt())
        return true;
    if (!hasChildren())
        return false;
    for (const PatchNode* child : children)
        if (!child->isReady())
            return false;
    return true;
}

bool PatchNode::isOnDrawnPath() const
{
    for (const PatchNode* ancestor = parent; ancestor; ancestor = ancestor->parent)
        if (!(ancestor->state & 1))
            return false;
    return true;
}

PatchNode* PatchNode::childOnSide(int side, int k) const
{
    return children[kChildOnSide[side][k]];
}

Ogre::AxisAlignedBox PatchNode::testBox() const
{
    if (!bounds.isNull())
        return bounds;
    float minY = 0;
    float maxY = 0;
    for (const PatchNode* n = parent; n; n = n->parent)
        if (!n->bounds.isNull())
        {
            minY = n->bounds.getMinimum().y;
            maxY = n->bounds.getMaximum().y;
            break;
        }
    return Ogre::AxisAlignedBox(corners[0].x, minY, corners[0].z, corners[3].x, maxY, corners[3].z);
}
