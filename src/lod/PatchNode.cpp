#include "lod/PatchNode.h"

#include "lod/Landscape.h"

#include <algorithm>
#include <cassert>
#include <vector>

namespace
{
// Storage of freed nodes, for the next nodes made on the same thread.
struct KeptNodes
{
    std::vector<void*> storage;
    KeptNodes();
    ~KeptNodes();
};
// Whether this thread's KeptNodes is yet to be made, lives, or is gone (a node freed as the
// thread ends, by a static destructor say, goes straight back to the allocator). Trivial, so
// that it can be read to the thread's very end.
enum class Kept : unsigned char
{
    unmade,
    alive,
    gone
};
thread_local Kept keptState = Kept::unmade;
thread_local KeptNodes keptNodes;

KeptNodes::KeptNodes()
{
    // Reserved at once, so that keeping a block never allocates (nor throws).
    storage.reserve(PatchNode::kKeptNodes);
    keptState = Kept::alive;
}

KeptNodes::~KeptNodes()
{
    keptState = Kept::gone;
    for (void* block : storage)
        ::operator delete(block, std::align_val_t(alignof(PatchNode)));
}
} // namespace

void* PatchNode::operator new(size_t bytes, std::align_val_t alignment)
{
    if (keptState != Kept::gone && bytes == sizeof(PatchNode) && alignment == std::align_val_t(alignof(PatchNode)))
    {
        std::vector<void*>& kept = keptNodes.storage;
        if (!kept.empty())
        {
            void* block = kept.back();
            kept.pop_back();
            // Nodes are made a few at a time (a split's four children): the next block is
            // asked for now, for writing, so that its lines, cold since it was freed, come in
            // while this one is filled instead of stalling the next constructor's stores.
            if (!kept.empty())
                for (size_t line = 0; line < sizeof(PatchNode); line += 64)
                    __builtin_prefetch(static_cast<const char*>(kept.back()) + line, 1);
            return block;
        }
    }
    return ::operator new(bytes, alignment);
}

void PatchNode::operator delete(void* storage, std::align_val_t alignment) noexcept
{
    if (storage && keptState == Kept::alive && alignment == std::align_val_t(alignof(PatchNode)) &&
        keptNodes.storage.size() < kKeptNodes)
    {
        keptNodes.storage.push_back(storage);
        return;
    }
    ::operator delete(storage, alignment);
}

PatchNode::PatchNode(Landscape* owner_, const RootSquare& square, uint32_t level_, int quadrant_,
                     uint32_t cellX_, uint32_t cellZ_)
    : level(level_), owner(owner_), quadrant(quadrant_), cellX(cellX_), cellZ(cellZ_)
{
    // Corners come from the cell's integer position, like every vertex, so that nodes of any
    // level name a shared point with the very same coordinates.
    for (int q = 0; q < 4; ++q)
        corners[q] = Ogre::Vector3(square.gridX(cellX, (q & 1) ? 1.0 : 0.0, level), 0.0f,
                                   square.gridZ(cellZ, (q & 2) ? 1.0 : 0.0, level));
    // A new node is drawn, if at all, at its own level.
    for (uint8_t& deepest : edgeMaxLevel)
        deepest = uint8_t(level);
    geometry.bounds = &bounds;
    geometry.morph = &lod;
}

PatchNode::PatchNode(Landscape* owner_) : PatchNode(owner_, owner_->square(), 0, 0, 0, 0)
{
}

PatchNode::PatchNode(PatchNode* parent_, int quadrant_)
    : PatchNode(parent_->owner, parent_->owner->square(), parent_->level + 1, quadrant_,
                2 * parent_->cellX + (quadrant_ & 1), 2 * parent_->cellZ + (quadrant_ >> 1))
{
    // Relaxed: the build thread first sees the node through a job posted under the job lock,
    // which orders this store before its reads. (The default order is a full fence, which
    // waits for every store above to reach the cache: with the node's storage cold, it cost
    // more than the rest of the constructor together.)
    parent.store(parent_, std::memory_order_relaxed);
}

PatchNode::~PatchNode()
{
    // The Landscape detaches a subtree before it frees it, so that every node's patch-destroyed
    // callback runs and its counters follow; a child left here would be freed unseen.
    assert(!hasChildren());
}

bool PatchNode::isReady() const
{
    return isBuilt() || childrenReady();
}

bool PatchNode::childrenReady() const
{
    if (!hasChildren())
        return false;
    for (const auto& c : children)
        if (!c->isReady())
            return false;
    return true;
}

bool PatchNode::isOnDrawnPath() const
{
    for (const PatchNode* ancestor = parent; ancestor; ancestor = ancestor->parent)
        if (!ancestor->drawsChildren())
            return false;
    return true;
}

bool PatchNode::neighbourOnDrawnPath(int side) const
{
    assert(neighbours[side] && isOnDrawnPath());
    // The neighbour's ancestors below the one it shares with this node lie across the same side
    // of this node's ancestors, level for level: neighbour links join every two adjacent nodes
    // of a level. They are found through this node's chain, which the caller has just walked,
    // not through the neighbour's parent links, one cache miss more per level. A node whose
    // neighbour across the side is its sibling shares its parent with it.
    const int axis = side >> 1;
    const int inner = (side & 1) ^ 1; // the quadrant bit of a child whose sibling lies across
    bool drawn = true;
    for (const PatchNode* n = this; drawn && ((n->quadrant >> axis) & 1) != inner; n = n->parent)
        drawn = n->parent.load()->neighbours[side]->drawsChildren();
    assert(drawn == neighbours[side]->isOnDrawnPath());
    return drawn;
}

PatchNode* PatchNode::childOnSide(int side, int k) const
{
    return children[kChildOnSide[side][k]].get();
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

VertexArray PatchNode::takeVertexArray()
{
    // No build reads the array any more: the node is out of the tree and no job names it, or
    // its geometry was unpublished (with a full fence) before it was found unread. So no fence
    // here, which would wait for every store above it, to a node's cold lines, to land.
    sharedVertices.store(nullptr, std::memory_order_release);
    sharedVertexCount.store(0, std::memory_order_relaxed);
    geometry.vertices = nullptr;
    geometry.vertexCount = 0;
    return std::move(vertexArray);
}

void PatchNode::install(PatchBuildResult&& built, const uint16_t* strip, uint64_t stripLength)
{
    // Geometry is generated once per node; a node never holds two vertex arrays.
    assert(!isBuilt());
    vertexArray = std::move(built.vertices);
    geometry.vertices = vertexArray.get();
    geometry.vertexCount = built.vertexCount;
    geometry.indices = strip;
    geometry.indexCount = stripLength;
    edgeVertices = built.edgeVertices;
    bounds.merge(built.bounds);
    error = std::max(error, built.error);
    edgeLevels = 0;
    // Published last, with release order: a child's build that loads the vertices (acquire)
    // sees their count and edition too. A full fence would wait here for the stores above, to
    // the node's cold lines, a stall in every hand-over.
    sharedVertexCount.store(geometry.vertexCount, std::memory_order_relaxed);
    vertexEdition.store(built.heightEdition, std::memory_order_relaxed);
    sharedVertices.store(geometry.vertices, std::memory_order_release);
    built = PatchBuildResult();
}
