#pragma once

#include "PatchGeometry.h"
#include "lod/PatchBuilder.h"

#include <OgreAxisAlignedBox.h>
#include <OgreVector.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>

class Landscape;

// Conventions of the whole quadtree:
// - sides: 0 = -x, 1 = +x, 2 = -z, 3 = +z; the opposite side is side ^ 1;
// - quadrants (child indices and corners): bit 0 = the high-x half, bit 1 = the high-z half, so
//   0 = (-x, -z), 1 = (+x, -z), 2 = (-x, +z), 3 = (+x, +z). A node's corner q is the corner that
//   its child q shares with it;
// - levels: the root is level 0, a child is one deeper than its parent;
// - neighbour pointers only join nodes of the same level.

// Node states. Bit 0 set means that the children are drawn (drawsChildren()); bit 1 means that a
// build for this node or its children is under way.
enum PatchState : int32_t
{
    kLeaf = 0,      // drawn itself; kept children may exist
    kSplit = 1,     // drawn through its four ready children
    kSplitting = 2, // drawn itself; its children are queued for building
    kMerging = 3,   // drawn through its children; its own geometry is queued for building
};

// One node of the quadtree. The Landscape makes and frees nodes (its counters follow them);
// a node's children belong to it, so a subtree goes with its root.
//
// Threads: every field belongs to the render thread, except
// - the fields fixed at construction (owner, level, quadrant, cell, corners), which the build
//   thread reads freely;
// - parent, busy, sharedVertices, sharedVertexCount and vertexEdition, atomics shared with the
//   build thread;
// - result and generated, which only the build thread touches until the hand-over (and
//   generated also when no job names the node).
class alignas(64) PatchNode
{
public:
    explicit PatchNode(Landscape* owner);       // the root: the Landscape's whole square
    PatchNode(PatchNode* parent, int quadrant); // a child of parent in the given quadrant
    PatchNode(const PatchNode&) = delete;
    PatchNode& operator=(const PatchNode&) = delete;
    ~PatchNode();
    // A jump frees and makes hundreds of nodes in one update: their storage is kept for the
    // next ones (per thread, up to kKeptNodes) instead of going through the allocator, whose
    // lock the build thread's allocations contend for.
    static void* operator new(size_t bytes, std::align_val_t alignment);
    static void operator delete(void* storage, std::align_val_t alignment) noexcept;
    // (None under the address sanitizer, which then finds a freed node used, as it could not
    // in a block kept here.)
#if defined(__SANITIZE_ADDRESS__)
    static constexpr size_t kKeptNodes = 0;
#else
    static constexpr size_t kKeptNodes = 1024;
#endif

    // Its children are drawn (split or merging): walks for drawn patches descend here.
    bool drawsChildren() const { return (state & 1) != 0; }
    // A build that names this node or its children is under way (splitting or merging).
    bool isBuilding() const { return (state & 2) != 0; }
    bool hasChildren() const { return children[0] != nullptr; }
    // Asks for the cache lines of the children that the walks read first (box, state and
    // children; the patch as drawn, with its morph factor; the update's decisions). The
    // children lie apart in memory: asked for together, their misses overlap instead of
    // following one another. For a node that has children.
    void prefetchChildren() const
    {
        for (const auto& child : children)
        {
            __builtin_prefetch(&child->bounds);
            __builtin_prefetch(&child->lod);
            __builtin_prefetch(&child->error);
        }
    }
    // Asks for the cache lines of the node's place in the tree (state and box, the patch as
    // drawn, the decisions and side levels, the links), for a node read soon after others far
    // apart in memory: their misses overlap.
    void prefetchTreeLines() const
    {
        __builtin_prefetch(&state);
        __builtin_prefetch(&geometry);
        __builtin_prefetch(&error);
        __builtin_prefetch(&parent);
    }
    // The same, and the lines that a hand-over or a free reads besides (the bytes to free, the
    // result, the vertex array).
    void prefetchWhole() const
    {
        prefetchTreeLines();
        __builtin_prefetch(&retiredBytes);
        __builtin_prefetch(&result);
        __builtin_prefetch(&vertexArray);
    }
    PatchNode* child(int q) const { return children[q].get(); }
    PatchNode* childOnSide(int side, int k) const; // k-th (0 or 1) child along a side
    bool isBuilt() const { return geometry.vertices != nullptr; }
    bool isReady() const; // geometry exists, or all four children are ready
    bool childrenReady() const; // it has children and every one is ready
    // Every ancestor draws its children, so the node is drawn itself or through its descendants.
    // Kept children of a drawn leaf fail this even when their own state says split.
    bool isOnDrawnPath() const;
    // Whether the same-level neighbour across side is on the drawn path, for a node that is and
    // has that neighbour: read from this node's ancestors and their neighbours, none for a
    // sibling.
    bool neighbourOnDrawnPath(int side) const;
    // Box of the node for distance and visibility tests: its bounds once built; before that the
    // node's square with the nearest built ancestor's height range.
    Ogre::AxisAlignedBox testBox() const;
    // The corners of testBox, for the per-frame walks, which read them at every node.
    void testCorners(Ogre::Vector3& minimum, Ogre::Vector3& maximum) const
    {
        if (bounds.isNull())
        {
            const Ogre::AxisAlignedBox box = testBox();
            minimum = box.getMinimum();
            maximum = box.getMaximum();
            return;
        }
        minimum = bounds.getMinimum();
        maximum = bounds.getMaximum();
    }
    // Moves a build result into the node, with its (unstitched, shared) strip: its geometry from
    // now on (render thread).
    void install(PatchBuildResult&& built, const uint16_t* strip, uint64_t stripLength);
    // Moves the vertex array out of a node about to be freed (render thread, after its
    // patch-destroyed callback): the node is unbuilt from then on.
    VertexArray takeVertexArray();

    // The fields are grouped by the walks that read them, so that each walk touches few cache
    // lines per node: the frustum walk reads the first group (and the second at leaves), the
    // render pass the second, the update's walk the first and third.

    // ---- the tree, with the box of every walk ----
    Ogre::AxisAlignedBox bounds;     // around the node's vertices, merged into every ancestor
    int32_t state = kLeaf;
    std::unique_ptr<PatchNode> children[4]; // all null or all set

    // ---- the patch as drawn ----
    PatchGeometry geometry;          // the patch as the owner sees it; arrays owned below
    float lod = 0;                   // morph factor of the drawn patch, 1 while split
    uint32_t morphEpoch = 0;         // Landscape::morphEpoch when lod was last computed

    // ---- the update's decisions ----
    float error = 0;                 // geometric error, raised to the descendants' largest
    const uint32_t level;
    uint32_t lastVisit = 0;          // frameCounter of the last update that reached the node
    // What the update needs to know to pass over the node's subtree (see Landscape::updateNode):
    // whether anything its decisions depend on changed since it was last walked (a split, merge or
    // build in or next to it), how far the eye may travel (Landscape::eyeTravel) before a decision
    // in it can change, and the update from which its kept children may have gone stale.
    uint32_t wakeUpdate = 0;
    bool walkPending = true;
    // Its build could not read every height it needed: it is not asked for again, so that an
    // unreadable heightmap costs one failed build per patch, not one per frame.
    bool unreadable = false;
    // A walk that was to pass over nothing put the node off (see Landscape::putsOff): its whole
    // subtree is walked when it is next walked.
    bool walkAllPending = false;
    // The last walk kept this drawn leaf from splitting because it lay out of view (see
    // Landscape::heldBack): the collection of the patches in view has it walked again once it
    // is in view.
    bool splitHeldBack = false;
    uint8_t edgeFlags = 0;           // bits s and 4+s: side s waits for restitching
    uint8_t edgeMaxLevel[4] = {};    // deepest drawn level touching each side from inside
    uint16_t edgeLevels = 0;         // bits 4s..4s+3: level difference side s is stitched for
    uint32_t drawnUpdate = 0;        // frameCounter of the update whose split last drew the node
    // Landscape::touchEpoch when a touch between walks marked the node (see Landscape::touchChain).
    uint32_t touchedEpoch = 0;
    double stableUntil = 0;

    // ---- links and placement ----
    PatchNode* neighbours[4] = {};   // same-level node across each side, or null
    // Null for the root and for a detached node. Read by the build thread when it reuses the
    // parent's heights, cleared by the render thread when it detaches the node: see
    // BuildQueue::beginReading for the handshake.
    std::atomic<PatchNode*> parent{nullptr};
    Landscape* const owner;
    const int quadrant;              // index of this node among its parent's children
    const uint32_t cellX;            // the node's cell at its level, counted from the low x
    const uint32_t cellZ;            // and low z edge of the root square
    uint32_t edgeVertices = 0;       // vertices along an edge of the installed geometry
    Ogre::Vector3 corners[4];        // in quadrant order, terrain-local coordinates
    // Bytes that go when this node is freed (its own and its geometry's, twice when its patch has
    // a drawable), counted when it is detached from the tree; 0 while it is in the tree.
    uint64_t retiredBytes = 0;
    // Jobs and results that name this node and have not been consumed; while it is not 0 the
    // node must not be freed. Raised by a post (render thread), lowered by the build thread
    // under jobLock and by the drain for each result it takes (see BuildQueue).
    std::atomic<int> busy{0};

    // The installed vertex array and its vertex count, published for the build thread of the
    // node's children, which reuses the heights where the grids coincide. Set once, when the
    // geometry is installed; the array lives until the node is freed.
    std::atomic<const float*> sharedVertices{nullptr};
    std::atomic<uint64_t> sharedVertexCount{0};
    // The height edition of the installed vertices (see PatchBuildResult::heightEdition), for a
    // child build that takes heights from them: set before the vertices are published, and
    // changed with refreshed vertices under the height lock.
    std::atomic<uint64_t> vertexEdition{0};
    // A refresh (a build again after a height edit) is asked for and not yet copied in: a node
    // has one at a time (render thread).
    bool refreshInFlight = false;

    // ---- build thread only, until the hand-over moves it into the node ----
    PatchBuildResult result;
    // The build thread has generated this node's geometry, which the node holds until it gives
    // it up (then the render thread clears it, at a time no job names the node).
    bool generated = false;

private:
    PatchNode(Landscape* owner, const RootSquare& square, uint32_t level, int quadrant, uint32_t cellX,
              uint32_t cellZ);

    VertexArray vertexArray;    // geometry.vertices
};

// Joins a and b across side s of a (and side s ^ 1 of b).
inline void link(PatchNode* a, PatchNode* b, int side)
{
    a->neighbours[side] = b;
    b->neighbours[side ^ 1] = a;
}

// Children along each side, indexed [side][k]: side 0: 0, 2; side 1: 1, 3; side 2: 0, 1;
// side 3: 2, 3.
constexpr int kChildOnSide[4][2] = {{0, 2}, {1, 3}, {0, 1}, {2, 3}};
