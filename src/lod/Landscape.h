#pragma once

#include "lod/PatchNode.h"
#include "support/Thread.h"

#include <OgreAxisAlignedBox.h>
#include <OgreVector.h>

#include <boost/function.hpp>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

class CameraState;

// The level-of-detail engine of one terrain: a quadtree of square patches over the root square,
// refined and coarsened every update from a camera snapshot, with patch geometry generated on one
// background thread ("Terrain thread").
//
// It knows nothing of drawing: it reports patches coming, changing and going through callbacks
// that its owner binds, and it reads heights through one more callback.
//
// Threads. The render thread (the owner's thread) runs every operation here. The build thread
// runs threadMain, which generates the nodes the update asks for. Locks, all recursive:
//   jobLock     jobQueue, and every change of a node's busy count by the build thread
//   resultLock  resultQueue
//   heightLock  the height source while heights are sampled (also taken by the owner)
//   treeLock    deadPatches, and the tree while a visitor runs
// Lock order: the render thread takes resultLock, then jobLock, then treeLock, and only with
// try-locks when it nests them, so it never waits while holding another lock; work it cannot
// lock is left to a later update. The build thread never holds two of them at once and holds
// none while it generates a node, except heightLock while it samples heights.
class Landscape
{
public:
    using HeightFunction = boost::function<float(const Ogre::Vector3&, int)>;
    using PatchCallback = boost::function<int(PatchGeometry*)>;
    using ChangedCallback = boost::function<void(PatchGeometry*, int)>;
    using PreBuildCallback = boost::function<void(int)>;
    using Visitor = boost::function<int(PatchGeometry*)>;

    // A request from the render thread to the build thread.
    struct BuildJob
    {
        PatchNode* node;
        int32_t cancel; // 0: build the node; 1: withdraw an earlier build request for it
    };

    Landscape(float size, const Ogre::Vector3& origin);
    Landscape(const Landscape&) = delete;
    Landscape& operator=(const Landscape&) = delete;
    // Stops the build thread if the owner has not, then destroys the whole tree: the
    // patch-destroyed callback runs for every patch.
    ~Landscape();

    // Destroys the whole tree (the patch-destroyed callback runs for every patch) and drops every
    // queued job and result; the next update starts again from a new root. The build thread
    // must be stopped.
    void clear();

    // ---- configuration (render thread; set before start unless noted) ----
    void setBounds(float size, const Ogre::Vector3& origin);
    // n: quads per patch edge, a power of two. Only nodes generated afterwards use it.
    void setPatchSize(int n);
    void setLevelLimits(int minLevel, int maxLevel);
    void setDetailThreshold(float threshold);
    // farScale = detailThreshold / farThreshold (the threshold set last); may change any time.
    void setFarDetail(float farThreshold, float farDistance);
    void setHeightFunction(const HeightFunction& function);
    void setCallbacks(const PatchCallback& created, const PatchCallback& destroyed,
                      const ChangedCallback& changed, const PreBuildCallback& preBuild);

    // ---- read access for the owner (render thread) ----
    const std::vector<PatchGeometry*>& getVisiblePatches() const { return visiblePatches; }
    void getDebugInfo(uint64_t& patchCountOut, uint64_t& memoryBytesOut) const;
    // Calls visitor for every drawn patch (also those not built yet), children in order 0..3,
    // under treeLock; a visitor result of 0 or less stops the walk of the current node's
    // siblings. The visitor must not be empty.
    void visitPatches(const Visitor& visitor);
    CriticalSection& getHeightLock() const { return heightLock; }

    // ---- build thread (render thread calls) ----
    void start();
    // Clears runFlag; with wait, returns only once the build thread has ended. Builds it had
    // taken but not started go back to the front of the job queue for the next start.
    void stop(bool wait);
    bool isThreadAlive() const { return thread.isAlive(); }

    // ---- level-of-detail update (render thread) ----
    void update(const CameraState& camera);
    // Rebuilds visiblePatches with the drawn patches in the camera's frustum; returns their count.
    uint64_t notifyCamera(const CameraState& camera);
    // Appends (patch identifier, distance from the camera) for every drawn patch in view.
    void collectPatches(const CameraState& camera,
                        std::vector<std::pair<unsigned int, float>>& out) const;
    void printPatch(const PatchNode* node) const;

    // ---- queries of the drawn surface (render thread); -99 means no height ----
    static constexpr float kNoHeight = -99.0f;
    float getHeight(float x, float z, uint8_t& level, Ogre::Vector3* normal) const;
    float getApproximateHeight(float x, float z, uint8_t& level, Ogre::Vector3* normal) const;
    // Nearest hit of the segment from..to with the drawn surface: 1 and the out-parameters on a
    // hit, 0 otherwise.
    int intersect(const Ogre::Vector3& from, const Ogre::Vector3& to, uint8_t& level,
                  Ogre::Vector3& point, Ogre::Vector3& normal) const;

    // Terrain-local x (z) of the point `fraction` of a cell past the low edge of cell `cell` at
    // `level`. Computed so that every node that names the same point gets the same float:
    // (cell + fraction) is exact for the dyadic fractions used, and scaling by powers of two
    // commutes with rounding.
    float gridX(uint32_t cell, double fraction, uint32_t level) const
    {
        return float(double(origin.x) + double(size) * (double(cell) + fraction) / std::ldexp(1.0, int(level)));
    }
    float gridZ(uint32_t cell, double fraction, uint32_t level) const
    {
        return float(double(origin.z) + double(size) * (double(cell) + fraction) / std::ldexp(1.0, int(level)));
    }

    // ---- patch identifiers ----
    unsigned int encodePatchId(float x, float z, int level) const;
    unsigned int patchId(const PatchNode* node) const;
    // The node named by an identifier, or null when the tree is not split that deep there.
    PatchNode* findPatch(unsigned int id) const;

    // ---- patch geometry ----
    // Thread: the build thread (the render thread for the root). Fills out from the height
    // callback, reusing the parent's heights where the grids coincide.
    void buildVertices(PatchNode* node, PatchBuildResult& out);
    static void buildIndices(uint32_t patchVertices, PatchBuildResult& out);
    // Render thread: moves a build result into the node.
    void install(PatchNode* node, PatchBuildResult& result);
    int levelDifference(const PatchNode* node, int side) const;
    void stitchSide(PatchNode* node, int side);
    void restitch(PatchNode* node);
    void refreshRegion(PatchNode* node, const Ogre::AxisAlignedBox& box, bool recomputeNormals);

    // ---- node operations of the update (render thread) ----
    float screenError(const PatchNode* node, const CameraState& camera) const;
    // parentError: the parent's screen error in this update (the node's own for the root).
    void updateNode(PatchNode* node, const CameraState& camera, float parentError);
    int split(PatchNode* node);
    int forceNeighbours(PatchNode* node);
    int tryMerge(PatchNode* node);
    void abandonDescendants(PatchNode* node);
    void updateEdgeLevels(PatchNode* node);
    void refreshEdgeLevels(PatchNode* node); // node and every ancestor
    void markSide(PatchNode* node, int side, bool withNeighbour);
    void markAllSides(PatchNode* node);
    void markSubtree(PatchNode* node); // every drawn patch below node, all sides
    bool destroy(PatchNode* node);
    void postJob(PatchNode* node, bool build);
    void drainResults();
    void handOver(PatchNode* node);
    void createRoot();

    // ---- fields ----
    std::vector<std::string>* debugMessages = nullptr; // kept for the owner, never written
    Ogre::Vector3 origin;  // low-x, low-z corner of the root square (terrain-local)
    float size;            // edge length of the root square
    HeightFunction heightFunction;
    PatchCallback patchCreatedCallback;
    PatchCallback patchDestroyedCallback;
    ChangedCallback patchChangedCallback;
    PreBuildCallback preBuildCallback;
    uint32_t minLevel = 0;  // shallower leaves always split and shallower nodes never merge
    uint32_t maxLevel = 32; // leaves this deep never split on error
    std::atomic<uint32_t> patchVertices{9}; // vertices along a patch edge; read by the build thread
    uint32_t levelSlack = 3; // allowed level difference between adjacent drawn patches
    float detailThreshold = 8.0f; // screen-space error (pixels) above which a patch splits
    float farScale = 1.0f;
    float farDistance = 0.0f;
    PatchNode* root = nullptr;
    std::vector<PatchGeometry*> visiblePatches;
    std::vector<PatchNode*> changedPatches; // nodes whose edges wait for restitching
    std::vector<PatchNode*> deadPatches;    // detached nodes waiting to be deleted (treeLock)
    uint32_t frameCounter = 0;              // completed updates

    Thread thread;
    std::atomic<bool> runFlag{false}; // the build thread loops while it is set
    std::deque<BuildJob> jobQueue;      // jobLock
    std::deque<PatchNode*> resultQueue; // resultLock
    mutable CriticalSection jobLock;
    mutable CriticalSection resultLock;
    mutable CriticalSection heightLock;
    mutable CriticalSection treeLock;
    // Parent whose vertices the build thread is reading; the render thread does not delete it.
    std::atomic<PatchNode*> nodeBeingRead{nullptr};
    // Build requests not yet consumed (handed over or withdrawn): 0 once the tree is idle.
    std::atomic<int> pendingBuilds{0};
    uint64_t patchCount = 0;  // live PatchNode objects
    uint64_t memoryBytes = 0; // bytes held by nodes and their installed geometry

private:
    void threadMain();
    // Build thread: generates one node (or passes an already generated one through).
    void generate(PatchNode* node);
    void collect(PatchNode* node, const CameraState& camera, int mask);
    void collectPairs(PatchNode* node, const CameraState& camera, int mask,
                      std::vector<std::pair<unsigned int, float>>& out) const;
    const PatchNode* leafAt(float x, float z) const;
    // The drawn leaf under (x, z) and the point's grid coordinates in it (columns and rows of
    // vertices from its low corner), or null without a root or when the leaf is not built.
    const PatchNode* builtLeafAt(float x, float z, uint8_t& level, float& gridX, float& gridZ) const;
    bool searchSegment(const PatchNode* node, const Ogre::Vector3& from, const Ogre::Vector3& to,
                       float& best, uint8_t& level, Ogre::Vector3& normal) const;

    // Removes patches that are about to be deleted from visiblePatches.
    void forgetVisible(PatchGeometry* const* gone, size_t count);

    static constexpr int kMaxPathLevels = 32; // characters of the diagnostic patch path
    std::condition_variable_any jobPosted;     // wakes an idle build thread early
};
