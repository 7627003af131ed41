#pragma once

#include "PatchGeometry.h"

#include <OgreAxisAlignedBox.h>
#include <OgreVector.h>

#include <atomic>
#include <cstdint>

class Landscape;

// Conventions of the whole quadtree:
// - sides: 0 = -x, 1 = +x, 2 = -z, 3 = +z; the opposite side is side ^ 1;
// - quadrants (child indices and corners): bit 0 = the high-x half, bit 1 = the high-z half, so
//   0 = (-x, -z), 1 = (+x, -z), 2 = (-x, +z), 3 = (+x, +z). A node's corner q is the corner that
//   its child q shares with it;
// - levels: the root is level 0, a child is one deeper than its parent;
// - neighbour pointers only join nodes of the same level.

// Node states. Bit 0 set means that the children are drawn, so a walk that looks for drawn
// patches descends exactly when bit 0 is set; bit 1 means a build for this node is under way.
enum PatchState : int32_t
{
    kLeaf = 0,      // drawn itself; cached children may exist
    kSplit = 1,     // drawn through its four ready children
    kSplitting = 2, // drawn itself; its children are queued for building
    kMerging = 3,   // drawn through its children; its own geometry is queued for building
};

// What the build thread produces for a node. It is written by the build thread only and moved
// into the node by the hand-over on the render thread, so that the build thread never writes a
// field that the render thread reads.
struct PatchBuildResult
{
    float* vertices = nullptr;
    uint16_t* indices = nullptr;
    uint64_t vertexCount = 0;
    uint64_t indexCount = 0;
    uint32_t edgeVertices = 0; // vertices along a patch edge when it was built
    Ogre::AxisAlignedBox bounds;
    float error = 0;
};

// One node of the quadtree. Unless a field says otherwise it belongs to the render thread; the
// build thread reads only the fields that never change after construction (owner, level,
// corners) and its parent link (see parent).
class PatchNode
{
public:
    explicit PatchNode(Landscape* owner);    // the root: the Landscape's whole square
    PatchNode(PatchNode* parent, int quadrant); // a child of parent in the given quadrant
    PatchNode(const PatchNode&) = delete;
    PatchNode& operator=(const PatchNode&) = delete;
    // Runs the patch-destroyed callback and frees the geometry; does not touch the tree.
    ~PatchNode();

    bool isReady() const;           // geometry exists, or all four children are ready
    PatchNode* childOnSide(int side, int k) const; // k-th (0 or 1) child along a side
    bool hasChildren() const { return children[0] != nullptr; }
    // Every ancestor draws its children, so the node is drawn itself or through its descendants.
    // Kept children of a drawn leaf fail this even when their own state says split.
    bool isOnDrawnPath() const;
    bool isBuilt() const { return geometry.vertices != nullptr; }
    // Box of the node for distance and visibility tests: its bounds once built; before that the
    // node's square with the nearest built ancestor's height range.
    Ogre::AxisAlignedBox testBox() const;

    Landscape* const owner;
    Ogre::AxisAlignedBox bounds;       // around the node's vertices, merged into every ancestor
    PatchNode* neighbours[4] = {};     // same-level node across each side, or null
    PatchNode* children[4] = {};       // all null or all set
    // Null for the root and for a detached node. Read by the build thread when it reuses the
    // parent's heights, written by the render thread when it detaches the node: atomic, and the
    // build thread re-checks it after publishing the parent in nodeBeingRead.
    std::atomic<PatchNode*> parent{nullptr};
    const uint32_t level;
    const int quadrant;                // index of this node among its parent's children
    const uint32_t cellX;              // the node's cell at its level, counted from the low x
    const uint32_t cellZ;              // and low z edge of the root square
    float lod = 0;                     // morph factor of the drawn patch, 1 while split
    int32_t state = kLeaf;
    float error = 0;                   // geometric error, raised to the descendants' largest
    Ogre::Vector3 corners[4];          // in quadrant order, terrain-local coordinates
    uint8_t edgeFlags = 0;             // bits s and 4+s: side s waits for restitching
    uint8_t edgeMaxLevel[4] = {};      // deepest drawn level touching each side from inside
    uint16_t edgeLevels = 0;           // bits 4s..4s+3: level difference side s is stitched for
    uint32_t lastVisit = 0;            // frameCounter of the last update that reached the node
    uint32_t edgeVertices = 0;         // vertices along an edge of the installed geometry
    // Number of build jobs, cancel jobs and build results that name this node and have not been
    // consumed yet; the node is busy, and must not be deleted, while it is not 0. Changed under
    // jobLock, except by the hand-over (the result was already taken out of the result queue).
    std::atomic<int> busy{0};
    PatchGeometry geometry;

    // The installed vertex array and its vertex count, published for the build thread of the
    // node's children, which reuses the heights where the grids coincide. Set once, when the
    // geometry is installed; the array lives until the node is deleted.
    std::atomic<const float*> sharedVertices{nullptr};
    std::atomic<uint64_t> sharedVertexCount{0};

    // ---- build thread only (until the hand-over moves it into the node) ----
    PatchBuildResult result;
    bool generated = false; // the build thread has generated this node's geometry once

private:
    PatchNode(Landscape* owner, uint32_t level, int quadrant, uint32_t cellX, uint32_t cellZ);
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
