#pragma once

#include "lod/BuildQueue.h"
#include "lod/CameraState.h"
#include "lod/PatchBuilder.h"
#include "lod/PatchNode.h"
#include "lod/SpareArrays.h"
#include "lod/StripCache.h"

#include <OgreAxisAlignedBox.h>
#include <OgreVector.h>

#include <boost/function.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The level-of-detail engine of one terrain: a quadtree of square patches over the root square,
// refined and coarsened every update from a camera snapshot, with patch geometry generated on one
// background thread ("Terrain thread", see BuildQueue).
//
// It knows nothing of drawing: it reports patches coming, changing and going through callbacks
// that its owner binds, and it reads heights through one more callback. Every operation here
// runs on the render thread (the owner's thread); the build thread runs only `generate`, which
// reads the fields marked below as set while it is stopped.
class Landscape
{
public:
    using PatchCallback = boost::function<int(PatchGeometry*)>;
    // The changed callback's second argument: what of the patch changed (bits).
    using ChangedCallback = boost::function<void(PatchGeometry*, int)>;
    static constexpr int kIndicesChanged = 1;  // its strip was restitched
    static constexpr int kVerticesChanged = 2; // its vertices were rebuilt after a height edit
    using PreBuildCallback = boost::function<void(int)>;
    using SampleCheck = boost::function<bool()>;
    using Visitor = boost::function<int(PatchGeometry*)>;

    Landscape(float size, const Ogre::Vector3& origin);
    Landscape(const Landscape&) = delete;
    Landscape& operator=(const Landscape&) = delete;
    // Stops the build thread if the owner has not ("Warning: Thread still running"), then
    // destroys the whole tree: the patch-destroyed callback runs for every patch.
    ~Landscape();

    // Destroys the whole tree (the patch-destroyed callback runs for every patch) and drops every
    // queued job and result; the next update starts again from a new root. The build thread
    // must be stopped. With threadToCome (it is started again next), the build thread gives the
    // freed patches' arrays back to the system between its next builds: unmapping hundreds of
    // them takes milliseconds, too long for the frame that clears the tree.
    void clear(bool threadToCome = false);

    // ---- configuration ----
    // These five change what the build thread reads: call them while it is stopped.
    void setBounds(float size, const Ogre::Vector3& origin);
    void setPatchSize(int n); // n: quads per patch edge, a power of two
    void setHeightFunction(const HeightFunction& function);
    // A faster form of the height source for whole rows of a patch, giving the same heights,
    // used for builds when set (refreshes after an edit sample only parts of rows, one by one).
    void setHeightRowFunction(const HeightRowFunction& function);
    void setCallbacks(const PatchCallback& created, const PatchCallback& destroyed,
                      const ChangedCallback& changed, const PreBuildCallback& preBuild);
    // Asked on the build thread, with the height lock held, after a patch's heights have been
    // sampled: false means they may not be the height source's (its file changed meanwhile) and
    // the patch is not built. Empty: always true.
    void setSampleCheck(const SampleCheck& check);
    // How far the parts of the tree out of the updating camera's view refine, as the owner's
    // memory budget allows: as the level of detail asks (refine), no further than they stand
    // (hold), or merged back to minLevel (coarsen). What is in view, and the ground around the
    // eye, always refine as asked, so a view converges to the same patches whatever the mode;
    // elsewhere, the drawn surface that the queries answer from is then coarser. Takes effect at
    // the next update.
    enum class OutOfView
    {
        refine,
        hold,
        coarsen,
    };
    void setOutOfView(OutOfView mode);
    // These take effect at the next update.
    void setLevelLimits(int minLevel, int maxLevel);
    void setDetailThreshold(float threshold);
    // farScale = detailThreshold / farThreshold (the threshold set last).
    void setFarDetail(float farThreshold, float farDistance);
    // At most this many patches in view of the updating camera made drawn by the finished
    // builds that one update hands over and by the splits of its walk into children built
    // ahead (the levels above minLevel), and detached nodes freed by it (0: no limit, the
    // default; at least an eighth of those waiting); the rest wait for the next updates, so that
    // a burst of builds (each patch drawn in view costs the owner a drawable) or a merge of a
    // large subtree is spread over frames.
    // A split is drawn once its four children are in, so the last child's hand-over counts
    // all four in view and the others none; the first build or split of an update is taken
    // whatever it counts, so that a split goes through even under a limit below its size.
    // Strict limits hold the first one to the limit too (and a limit of 0 is then none at
    // all): for an owner that makes what it lacks (drawables) affordable in later frames.
    // Builds that make nothing drawn in view are not counted, but an update takes at most
    // kHandOversPerUpdate builds in all (or handOvers, when that is more): each costs the
    // update about 1.5 us and the walks it causes, and the frames just after a jump would
    // otherwise spend hundreds of microseconds on patches no one sees. Until the tree first has
    // no build left after it was made, nothing was drawn that a slow frame would stall, and the
    // first view waits for every patch around it: those updates take kOpeningHandOversPerUpdate,
    // enough for every patch of the levels above minLevel (340 with minLevel 4) to come in with
    // one update.
    void setUpdateLimits(size_t handOvers, size_t frees, bool strict = false);
    // Time an update's walk may take (once the first view stands) before it leaves the nodes
    // out of view, and away from the eye (see aroundEye), that it still had to walk to later
    // updates, after kFewestLateWalks more of them, so that every update moves that work on.
    // Their splits and merges draw nothing the camera sees, and a jump that merges a region
    // behind it at once (170 merges, about a millisecond) would otherwise land on one frame.
    // What a walk of everything (after new settings or a new pixel scale) leaves is walked
    // whole when its turn comes. max() (the default): no limit.
    void setWalkTime(std::chrono::microseconds time) { walkTime = time; }
    static constexpr size_t kFewestLateWalks = 32;
    // Nodes that the last update's walk left to later updates (see setWalkTime): the tree
    // has not settled while this is not 0.
    size_t walksPutOff() const { return putOffWalks; }
    // Patches that the splits of the next update may ask for ahead of the first view (see
    // buildAheadWhileOpening), at most: what the owner's memory budget leaves room for. A view
    // that refines everywhere (a map of noise) would otherwise ask for every level down to the
    // deepest in one update.
    void setBuildAheadLimit(size_t patches) { buildAheadLimit = patches; }
    static constexpr size_t kHandOversPerUpdate = 24;
    static constexpr size_t kOpeningHandOversPerUpdate = 512;
    // The children of a merged patch are kept for a quick split back until no update has reached
    // them for 500 updates, or sooner, once the patch's screen error has fallen below this share
    // of the threshold: the eye is then a third farther from it than a split needs (the error
    // falls as 1/distance). A camera that flies on leaves no merged subtree behind it; one that
    // turns, or comes back within that range, still splits back at once. (With half the
    // threshold, the ring kept behind a flying camera reached twice the split distance: on a
    // 16385-sample map a third of the tree was patches that no view drew again.)
    static constexpr float kKeptErrorShare = 0.75f;
    // Whether the updates still take kOpeningHandOversPerUpdate (see setUpdateLimits).
    bool isOpening() const { return opening; }
    // Levels that split on error: those below the ones always split, down to the deepest.
    uint32_t refinedLevels() const { return maxLevel - forcedDepth(); }
    // Kept for the owner, never written.
    void setDebugMessages(std::vector<std::string>* messages) { debugMessages = messages; }

    // ---- height edits ----
    // The height source changed for points inside the box (terrain-local x and z), under the
    // height lock, before this call. Every built patch with a vertex there, or with a vertex
    // whose normal or morph target looks there, is rebuilt on the build thread and handed over
    // in place; drawn, kept or being built, none is drawn later with the old heights.
    void heightsChanged(float minX, float maxX, float minZ, float maxZ);
    // Patches whose vertices were replaced after height edits, since the Landscape was made.
    uint64_t refreshedPatches() const { return refreshCount; }

    // ---- read access for the owner ----
    const RootSquare& square() const { return rootSquare; }
    bool hasTree() const { return root != nullptr; }
    // The tree has been through an update: the queries answer from it (beginTree makes a tree
    // that nothing has drawn yet).
    bool hasDrawnTree() const { return root && updated; }
    const std::vector<PatchGeometry*>& getVisiblePatches() const { return visiblePatches; }
    // Patches that the splits under way in view will add to it once their children are drawn:
    // three for each split (one child takes its parent's place), more for a split whose
    // children are split already (the levels above minLevel).
    size_t getComingInView() const { return comingInView; }
    void getDebugInfo(uint64_t& patchCountOut, uint64_t& memoryBytesOut) const;
    // Bytes held by nodes and their geometry, the shared strips once (getDebugInfo's memoryBytes).
    uint64_t bytesHeld() const { return memoryBytes + strips.bytes(); }
    // Bytes of freed patches' vertex arrays kept for the next builds (not in bytesHeld), and
    // freeing at least `bytes` of them (render thread).
    uint64_t spareBytes() const { return spares.bytes(); }
    void dropSpareArrays(uint64_t bytes = UINT64_MAX)
    {
        freedSinceTrim.fetch_add(spares.clear(bytes), std::memory_order_relaxed);
    }
    // Builds requested and not yet handed over or withdrawn: 0 once the tree is idle.
    int pendingBuilds() const { return queue.pendingBuilds(); }
    // Patches in view that the last update's walk did not draw for its limits (splits into
    // children built already, which no build in flight stands for).
    size_t drawnHeldBack() const { return heldBackDrawn; }
    // Of the memory counted, what detached nodes still hold until a later frame frees them,
    // with their drawables' copies (see PatchNode::retiredBytes).
    uint64_t bytesBeingFreed() const { return retiringBytes; }
    // Frees kept children of drawn patches, the subtrees drawn longest ago first, until about
    // `wanted` bytes (nodes, geometry and drawables' copies) are on their way out or nothing
    // kept is left. Drawn patches and patches being built for the view are never touched.
    // Returns the bytes freed; they leave the counters when the nodes are freed.
    uint64_t freeKeptSubtrees(uint64_t wanted);
    // Changes when a drawn patch may have come to keep children (a merge, an abandoned split,
    // children built ahead of a first view):
    // a walk of freeKeptSubtrees that found nothing need not be repeated until it changes.
    uint64_t keptChanges() const { return keptChangeCount; }
    // Patches whose heights could not all be read: they stay unbuilt, and are not asked for
    // again until the tree is cleared.
    uint64_t unreadablePatches() const { return unreadableCount; }
    // Calls visitor for every drawn patch (also those not built yet), children in order 0..3,
    // under treeLock; a visitor result of 0 or less stops the walk of the current node's
    // siblings. The visitor must not be empty.
    void visitPatches(const Visitor& visitor);
    CriticalSection& getHeightLock() { return queue.getHeightLock(); }

    // ---- the build thread ----
    void start() { queue.start(); }
    // Builds the root here and asks the build thread for the levels above minLevel, which every
    // view draws first, so that they are built before the first update instead of after it.
    // Does nothing when there is a tree. Needs the height source.
    void beginTree();
    // World z of every vertex row, the ring's included, of the patches at minLevel: the rows
    // that every new tree reads first, all of them whatever the view. Sorted, without repeats.
    std::vector<float> firstRowsRead() const;
    // With wait, returns once the build thread has ended.
    void stop(bool wait) { queue.stop(wait); }
    bool isThreadAlive() const { return queue.isThreadAlive(); }

    // ---- level-of-detail update ----
    void update(const CameraState& camera);
    // Rebuilds the visible patches with the drawn patches in the camera's frustum, roughly front
    // to back (a patch that the ground line from the eye to another one crosses comes first);
    // returns their count.
    uint64_t notifyCamera(const CameraState& camera);
    // Appends (patch identifier, distance from the camera) for every drawn patch in view.
    void collectPatches(const CameraState& camera,
                        std::vector<std::pair<unsigned int, float>>& out) const;
    // The diagnostic line "Patch <path> [level] lod:m error:e,parent" on standard output.
    void printPatch(const PatchNode* node) const;

    // ---- queries of the drawn surface; -99 means no height ----
    static constexpr float kNoHeight = -99.0f;
    float getHeight(float x, float z, uint8_t& level, Ogre::Vector3* normal) const;
    float getApproximateHeight(float x, float z, uint8_t& level, Ogre::Vector3* normal) const;
    // Nearest hit of the segment from..to with the drawn surface: 1 and the out-parameters on a
    // hit, 0 otherwise.
    int intersect(const Ogre::Vector3& from, const Ogre::Vector3& to, uint8_t& level,
                  Ogre::Vector3& point, Ogre::Vector3& normal) const;

    // ---- patch identifiers ----
    unsigned int encodePatchId(float x, float z, int level) const;
    unsigned int patchId(const PatchNode* node) const;
    // The patch named by an identifier (its box, its drawable), or null when the tree is not
    // split that deep there.
    PatchGeometry* findPatch(unsigned int id) const;
    // Whether a patch of this tree is drawn now (not a kept child of a drawn patch).
    bool isDrawn(const PatchGeometry* patch) const;

private:
    friend class LandscapeTestView; // the tests' window onto the tree and the queue

    // ---- nodes and their geometry (Landscape.cpp) ----
    std::unique_ptr<PatchNode> makeRoot();
    // Creates a leaf's four children and links them with each other and with the children of
    // its neighbours.
    void makeChildren(PatchNode* node);
    // Frees detached nodes: the patch-destroyed callback runs, the counters follow. Once `until`
    // has passed, after `fewest` nodes, the rest go back to the queue's dead patches for a later
    // drain.
    void release(std::vector<std::unique_ptr<PatchNode>>& nodes,
                 std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max(),
                 size_t fewest = 0);
    void createRoot();
    // Build thread (render thread for the root): generates node.result, once per node, and
    // again for each refresh of a built node.
    void generate(PatchNode& node, bool refresh = false);
    // Samples the node's heights (height lock held for that only) and builds its geometry.
    // firstBuild: the node's first geometry (heights reused from the parent, a strip); otherwise a
    // refresh of its vertices alone.
    void buildNode(PatchNode& node, PatchBuildResult& out, bool firstBuild);
    void install(PatchNode* node, PatchBuildResult&& result);
    // What freeing a node gives back: the node, its vertex records, and its drawable's copy of
    // them when its patch has one (strips are shared and stay).
    static uint64_t freedBytes(const PatchNode& node);
    // Takes one finished build.
    void handOver(PatchNode* node);
    // A node taken out of the tree (while it was being built, say): it only waits to be freed.
    bool isDetached(const PatchNode* node) const { return !node->parent && node != root.get(); }
    // How many patches in view of camera the hand-over of node's finished build would make
    // drawn, each of which costs the owner a drawable (see setUpdateLimits): the node itself,
    // or its parent's children when it is the last of them to be ready.
    size_t handOverCost(const PatchNode* node, const CameraState& camera) const;
    // Whether node's parent is splitting and all its children are ready once node is (ready
    // tells whether it will be): the hand-over that makes it so draws them all.
    bool completesSplit(const PatchNode* node, bool ready) const;
    // Folds a built node's error and box into its ancestors, up to the first that holds them.
    void foldIntoAncestors(const PatchNode* node);
    // A node's error or box changed: the morph factors found before, which read the errors of
    // the drawn patches and of their parents at the eye, are found again as they are next
    // collected or queried. (The walk finds those of the patches it passes, not of those it
    // passes over.)
    void errorsChanged() { morphEpoch += 1; }
    void drainResults(const CameraState& camera);
    // Asks for the node's build, ahead of the others when the last update's camera sees it.
    void postBuild(PatchNode* node);
    // Any part of node is in the frustum of the last update's camera.
    bool inWalkView(const PatchNode* node) const;
    // node may not refine, or must merge back, for the memory budget (see setOutOfView): out of
    // view and away from the ground around the eye.
    bool heldBack(const PatchNode* node) const;
    // The ground around the eye, which a camera looking ahead does not see: node's square,
    // grown by its own edge on every side, holds the eye of the last update's camera.
    bool aroundEye(const PatchNode* node) const;
    // Whether the walk leaves node, which it would walk, to a later update (see setWalkTime).
    bool putsOff(const PatchNode* node);

    // Build thread, when idle: gives the spare arrays back once nothing was built for
    // kTrimAfterIdle, and the allocator's free pages once kTrimAfterBytes of patches have been
    // freed since it last did and no update began for kTrimAfterPause.
    void returnFreedMemory();

    // ---- height edits (LandscapeEdits.cpp) ----
    struct HeightEdit
    {
        uint64_t edition; // heightEdition once the edit was made
        float minX, maxX, minZ, maxZ;
    };
    // Whether a node's vertices or the ring around them read heights inside the edit's box.
    bool readsHeightsIn(const PatchNode* node, const HeightEdit& edit) const;
    void refreshEdited(PatchNode* node, const HeightEdit& edit);
    void requestRefresh(PatchNode* node);
    // After a hand-over of geometry sampled at `edition`: rebuilds the node again when a later
    // edit touched it.
    void refreshIfStale(PatchNode* node, uint64_t edition);
    // A refresh handed over: kept until applyHeldRefreshes copies it in.
    void holdRefresh(PatchNode* node);
    void applyHeldRefreshes();
    // ---- the update (LandscapeUpdate.cpp) ----
    // Distance from the camera's eye (moved part of the way to the box's height) to the node's
    // box, at least 1: it moves by no more than the camera does.
    float eyeDistance(const PatchNode* node, const CameraState& camera) const;
    // The same for a box given by its corners (a node's testCorners) and the eye's position.
    [[gnu::always_inline]] static inline float eyeDistance(const Ogre::Vector3& minimum, const Ogre::Vector3& maximum,
                                                           Ogre::Vector3 eye);
    // The node's screen error seen from that distance; it falls as the distance grows.
    float errorAt(const PatchNode* node, float distance, float pixelScale) const;
    float screenError(const PatchNode* node, const CameraState& camera) const;
    // How far the eye may travel before the node's own split or merge decision can flip.
    // error: the node's screen error at that distance.
    double decisionSlack(const PatchNode* node, float distance, float error, float pixelScale) const;
    // The same for whether the error is above `threshold`.
    double crossingSlack(const PatchNode* node, float distance, float error, float pixelScale, float threshold) const;
    // Morph factor of a drawn leaf from its own and its parent's screen error.
    float morphFactor(const PatchNode* node, float error, float parentError) const;
    // A leaf's morph factor for the last update's camera from its screen error there, and its
    // parent's in parentError: found when it is NaN, so that siblings can share it. parent is the
    // leaf's (null for the root), passed in by walks that come from it: the leaf's own link lies
    // on a cache line that nothing else here reads.
    float walkMorph(const PatchNode* leaf, const PatchNode* parent, float error, float& parentError) const;
    // Marks node and its ancestors as changed: the next update walks them again. What a change
    // of node (a split or merge under way, a new box and error: a build handed over, heights
    // edited) does is read by its own decisions and its ancestors' only; a change of what is
    // drawn, which the neighbours' decisions read (the levels along their sides), marks the
    // patches along those sides as well (markAllSides).
    void touchChain(PatchNode* node);
    // parentError: the parent's screen error in this update (the node's own for the root);
    // walkAll: the subtree is walked whole, as after new settings (see fullWalk), whatever its
    // slack.
    void updateNode(PatchNode* node, const CameraState& camera, float parentError, bool walkAll);
    bool forcedBySide(const PatchNode* node) const;
    // Frees a leaf's kept children when they are due (see kKeptErrorShare); error: the leaf's
    // screen error in this update. Nothing for a node that keeps none.
    void freeStaleChildren(PatchNode* node, float error);
    int split(PatchNode* node);
    // A split node whose children are all ready draws them when the update affords them.
    bool drawReadyChildren(PatchNode* node);
    // Makes a splitting node draw its children, restitched and announced to the owner.
    void drawChildren(PatchNode* node);
    // Children drawn from this update on: the owner's patch-created callback hears of them.
    void announceChildren(PatchNode* node);
    // Whether this update can afford to draw node's children (see setUpdateLimits); charges it.
    bool affordsChildren(const PatchNode* node);
    // Makes, level by level below node's children, the children of the nodes that wanted(n,
    // depth) picks (depth 1 for node's children), as kept children that the walk's splits draw
    // once they are ready, and asks for them. Returns how many it made.
    size_t buildLevelsBelow(PatchNode* node, const std::function<bool(const PatchNode*, int)>& wanted);
    // Makes and asks for every node of the levels above minLevel below node's children.
    void buildForcedLevels(PatchNode* node);
    // The first update with a camera of a tree begun before it (beginTree): the build thread
    // has taken the levels always split in the order they were asked for, with no view to go
    // by. From here it takes those still waiting in this order: every level above minLevel
    // (the root draws its children once all four are ready, in view or not), then the patches
    // of minLevel in view, then the rest.
    void promoteForcedInView();
    // While the first view is built: the levels below node's new children that the view will
    // likely split, asked for at once as kept children, within buildAheadLimit.
    void buildAheadWhileOpening(PatchNode* node);
    // The patches in view that node's split draws at once (through the levels built ahead).
    size_t leavesComingInView(const PatchNode* node, const CameraState& camera, int mask) const;
    // Leaves shallower than this always split (minLevel, unless maxLevel is shallower).
    uint32_t forcedDepth() const { return std::min(minLevel, maxLevel); }
    int forceNeighbours(PatchNode* node);
    int tryMerge(PatchNode* node);
    // After node's merge: its children stay for a quick split back only if all of them can be
    // drawn at once; a child that gave its geometry up would bring back its whole subtree as it
    // was, to be merged again build by build.
    void keepOnlyBuiltChildren(PatchNode* node);
    // Runs the patch-destroyed callback for node, takes its vertex records out of the count and
    // gives them to the spare arrays; returns their bytes. The node stays, unbuilt.
    uint64_t giveUpGeometry(PatchNode* node);
    // Gives up a split node's own geometry, which only a merge would draw again (building it
    // anew). False, changing nothing, while a job, a result or a child's build still reads it.
    bool dropSplitGeometry(PatchNode* node);
    void abandonDescendants(PatchNode* node);
    bool updateEdgeLevels(PatchNode* node); // whether they changed
    void refreshEdgeLevels(PatchNode* node); // node and its ancestors, up to the first unchanged
    // onDrawnPath: whether node->isOnDrawnPath() (1 or 0), when the caller knows; -1 otherwise.
    void markSide(PatchNode* node, int side, bool withNeighbour, int onDrawnPath);
    void markAllSides(PatchNode* node);
    void markSubtree(PatchNode* node); // every drawn patch below node, all sides
    void destroy(std::unique_ptr<PatchNode> node);
    // parent: node's parent (null for the root); parentError: its screen error for the last
    // update's camera, NaN until a child that needs it computes it (siblings share it).
    void collect(PatchNode* node, const PatchNode* parent, const CameraState& camera, int mask, float& parentError);
    void collectPairs(const PatchNode* node, const CameraState& camera, int mask,
                      std::vector<std::pair<unsigned int, float>>& out) const;
    // Removes patches that are about to be freed from visiblePatches.
    void forgetVisible(const std::vector<std::unique_ptr<PatchNode>>& gone);

    // ---- stitching (LandscapeStitch.cpp) ----
    // How many levels coarser the patch drawn across side of node is than node (0: not
    // coarser), -1 at the terrain's edge; for a node on the drawn path.
    int levelDifference(const PatchNode* node, int side) const;
    // Stitches the sides in the mask (bit s: side s) for the level differences across them: the
    // node takes the shared strip of its new edge levels.
    void stitchSides(PatchNode* node, unsigned sides);
    void restitch(PatchNode* node);
    // Resamples the heights of the vertices inside box (and, with recomputeNormals, their
    // normals), then their morph targets and the patch error; children first.
    void refreshRegion(PatchNode* node, const Ogre::AxisAlignedBox& box, bool recomputeNormals);
    // Heights (and normals) of the vertices of columns firstI..lastI, rows firstJ..lastJ, from
    // the height source, under the height lock.
    void resample(PatchNode* node, const PatchGrid& grid, int firstI, int lastI, int firstJ, int lastJ,
                  bool recomputeNormals);

    // ---- queries (LandscapeQueries.cpp) ----
    // A cell of the queries' index (leafIndex).
    struct IndexCell
    {
        const PatchNode* node = nullptr;
        // When node is a built drawn leaf, its records and what places and reads them, so that
        // a height query finds the records it reads without waiting for the node (both are far
        // from the cache when queries are scattered over the map), and its morph factor.
        const float* vertices = nullptr;
        float x0 = 0, z0 = 0;                      // its low corner
        float columnsPerUnit = 0, rowsPerUnit = 0; // its grid's quads per world unit
        uint32_t edgeVertices = 0;
        uint8_t level = 0;
        uint8_t stitchedSides = 0; // bit s: side s is stitched against a coarser neighbour
        // The leaf's morph factor as drawnMorph found it, and the Landscape's morphEpoch then
        // (0: not yet): queries read no line of the node until the factor changes.
        uint32_t morphEpoch = 0;
        float morph = 0;
    };
    const PatchNode* leafAt(float x, float z) const;
    // The index cell under (x, z), the index rebuilt first when the tree has changed.
    IndexCell& indexAt(float x, float z) const;
    // drawnMorph of the cell's leaf, for a cell with one (its vertices set).
    float cellMorph(IndexCell& cell) const;
    // Down from node to the drawn leaf under (x, z).
    static const PatchNode* descend(const PatchNode* node, float x, float z);
    // Rebuilds leafIndex for the tree as it stands.
    void indexLeaves() const;
    void indexNode(const PatchNode* node) const;
    // The morph factor a drawn leaf is drawn with now, clamped to [0, 1]: its lod, or, when no
    // walk has reached it since the eye moved, the factor found afresh (and kept in it).
    float drawnMorph(const PatchNode* leaf) const;
    // Finds a drawn leaf's morph factor for the last update's camera afresh and keeps it in the
    // leaf. Out of line: a query that carried this code would be too long for the next query to
    // start while it waits for its records.
    [[gnu::noinline, gnu::cold]] void refreshMorph(PatchNode* leaf) const;
    // The drawn leaf under (x, z) and the point's grid coordinates in it (columns and rows of
    // vertices from its low corner), or null without a root or when the leaf is not built.
    const PatchNode* builtLeafAt(float x, float z, uint8_t& level, float& gridX, float& gridZ) const;
    // The same for the drawn leaf under (x, z) found below node.
    static const PatchNode* builtLeafAt(const PatchNode* node, float x, float z, uint8_t& level, float& gridX,
                                        float& gridZ);
    bool searchSegment(const PatchNode* node, const Ogre::Vector3& from, const Ogre::Vector3& to,
                       float& best, uint8_t& level, Ogre::Vector3& normal) const;

    // ---- set while the build thread is stopped; read by it ----
    RootSquare rootSquare;                     // the root square, terrain-local
    uint32_t patchVertices = 9;                // vertices along a patch edge
    HeightFunction heightFunction;
    HeightRowFunction heightRowFunction; // may be empty
    PreBuildCallback preBuildCallback;
    SampleCheck sampleCheck;

    // ---- render thread only ----
    std::vector<std::string>* debugMessages = nullptr;
    PatchCallback patchCreatedCallback;
    PatchCallback patchDestroyedCallback;
    ChangedCallback patchChangedCallback;
    uint32_t minLevel = 0;  // shallower leaves always split and shallower nodes never merge
    uint32_t maxLevel = 32; // leaves this deep never split on error
    uint32_t levelSlack = 3; // allowed level difference between adjacent drawn patches
    float detailThreshold = 8.0f; // screen-space error (pixels) above which a patch splits
    float farScale = 1.0f;
    float farDistance = 0.0f;
    // The walk's view of the camera: how far the eye has travelled over every update so far
    // (world units), and the last update's camera (set once walkCameraSet): where the eye was,
    // the pixel scale the stable distances were found with, the camera morph factors passed over
    // are brought up to date for. A full walk passes over nothing (after a change of settings,
    // pixel scale or tree).
    double eyeTravel = 0;
    CameraState walkCamera;
    bool walkCameraSet = false;
    bool fullWalk = true;
    OutOfView outOfView = OutOfView::refine;
    // Changes with every update that moves the eye or walks everything, and with every change
    // of a node's error or box (see errorsChanged).
    uint32_t morphEpoch = 1;
    // Changes whenever the drawn tree may have changed (a touch, a new root, freed patches); the
    // camera, change count and epoch of the last collection of visiblePatches.
    uint64_t treeChanges = 0;
    bool walking = false;     // the update's walk is under way
    uint32_t touchEpoch = 1;  // raised after each walk: see touchChain
    CameraState collectedFor;
    uint64_t collectedChanges = ~uint64_t(0);
    uint32_t collectedEpoch = 0;
    size_t handOverLimit = SIZE_MAX; // per update, see setUpdateLimits
    bool strictLimits = false;
    size_t buildAheadLimit = SIZE_MAX; // what is left of it in this update, see setBuildAheadLimit
    // Patches in view that this update may still make drawn (below handOverLimit once it has
    // made any): the hand-overs spend first, then the splits into children built ahead
    // (affordsChildren).
    size_t drawnBudget = SIZE_MAX;
    size_t heldBackDrawn = 0; // see drawnHeldBack
    // The walk's time limit (see setWalkTime) and, for the update under way, its deadline,
    // whether it has passed, the nodes walked since the clock was last read, and the nodes out
    // of view walked since it passed. Reading the clock costs about as much as walking a node.
    static constexpr uint32_t kWalksPerClockRead = 16;
    std::chrono::microseconds walkTime = std::chrono::microseconds::max();
    std::chrono::steady_clock::time_point walkDeadline = std::chrono::steady_clock::time_point::max();
    bool walkLate = false;
    uint32_t walksSinceClock = 0;
    size_t lateWalks = 0;
    size_t putOffWalks = 0; // see walksPutOff
    bool updated = false;            // an update has run since the tree was made
    bool opening = true;             // from createRoot until no build is left (setUpdateLimits)
    bool forcedPromoted = false;     // see promoteForcedInView
    size_t freeLimit = SIZE_MAX;
    std::unique_ptr<PatchNode> root;
    std::vector<PatchGeometry*> visiblePatches; // drawn patches the last camera saw
    // A node left the tree since visiblePatches was last collected: only then may the list name
    // a patch about to be freed (see forgetVisible).
    bool visibleMayHoldDetached = false;
    size_t comingInView = 0;                    // see getComingInView
    std::vector<PatchNode*> changedPatches;     // nodes whose edges wait for restitching
    uint32_t frameCounter = 0;                  // completed updates
    uint64_t patchCount = 0;                    // live PatchNode objects
    uint64_t memoryBytes = 0;                   // bytes held by nodes and their vertex records
    StripCache strips;                          // every patch's strip points into it
    uint64_t retiringBytes = 0;                 // retiredBytes of detached nodes not yet freed
    uint64_t keptChangeCount = 0;               // see keptChanges
    uint64_t unreadableCount = 0;               // handed-over builds that could not read heights

    // ---- height edits ----
    // Count of edits so far: written by the render thread, read by the build thread as it
    // samples (height lock held). The latest edits, oldest first, for hand-overs to check.
    std::atomic<uint64_t> heightEdition{0};
    static constexpr size_t kLoggedEdits = 4096;
    std::deque<HeightEdit> heightEdits;
    // Refreshes handed over and not yet copied in (their nodes held busy), and the update at
    // which the oldest came; they wait for the rest of the builds, at most this many updates.
    static constexpr uint32_t kRefreshHoldUpdates = 3;
    std::vector<PatchNode*> heldRefreshes;
    uint32_t heldSince = 0;
    uint64_t refreshCount = 0;
    // ---- the queries' index of the drawn tree (render thread, rebuilt when it is used after
    // the tree changed) ----
    // Per cell of level kIndexLevel, row by row: the drawn leaf over it, or the cell's own node
    // when the drawn tree goes deeper there; a query starts its descent from it.
    static constexpr uint32_t kIndexLevel = 6;
    mutable std::vector<IndexCell> leafIndex;
    mutable std::vector<float> indexXs; // cell edges, as the nodes' corners have them
    mutable std::vector<float> indexZs;
    mutable float indexCellsPerUnit = 0; // cells per world unit, for a first guess of the cell
    mutable uint64_t indexedChanges = ~uint64_t(0); // treeChanges when it was built

    // Bytes of patches freed (render thread) since the build thread last gave memory back,
    // when that thread last built a patch (build thread only), and when the last update began
    // (steady clock ticks, written by the render thread).
    static constexpr uint64_t kTrimAfterBytes = uint64_t(32) << 20;
    static constexpr std::chrono::milliseconds kTrimAfterIdle{100};
    static constexpr std::chrono::milliseconds kTrimAfterPause{500};
    std::atomic<uint64_t> freedSinceTrim{0};
    std::chrono::steady_clock::time_point lastBuild;
    std::atomic<std::chrono::steady_clock::rep> lastUpdate{0};
    // Arrays of freed patches for the next builds: freed patches go there, builds take from
    // there (any thread).
    static constexpr uint64_t kSpareArrayBytes = uint64_t(16) << 20;
    SpareArrays spares{kSpareArrayBytes};
    // Time an update spends freeing detached nodes (with update limits set), after it has freed
    // kFewestFrees, or an eighth of those waiting when that is more.
    static constexpr std::chrono::microseconds kFreeTime{500};
    static constexpr size_t kFewestFrees = 8;

    // The thread seam: queues, locks, the build thread. Last, so that it (and its thread)
    // goes first when the Landscape is destroyed.
    BuildQueue queue;
};
