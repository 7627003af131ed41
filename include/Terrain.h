#pragma once

#include "PatchGeometry.h"

#include <OgreAxisAlignedBox.h>
#include <OgreFrameListener.h>
#include <OgreMovableObject.h>
#include <OgreRay.h>
#include <OgreVector.h>

#include <boost/function.hpp>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Marks what the plug-in exports; everything else in it is hidden.
#if defined(__GNUC__)
#define TERRAIN_EXPORT __attribute__((visibility("default")))
#else
#define TERRAIN_EXPORT
#endif

class CameraState;
class CameraWatch;
class HeightStream;
class Landscape;
class TerrainDecal;
class TerrainRenderable;

// One very large square terrain, streamed from a 16-bit TIFF heightmap and drawn as a quadtree of
// patches whose level of detail follows the camera.
//
// Create it through a scene manager by the movable type "Terrain" once the plug-in is loaded,
// attach it to a scene node (the node places the terrain; the terrain is centred on the node's
// origin), then configure it and open a heightmap:
//
//     Terrain* terrain = static_cast<Terrain*>(sceneManager->createMovableObject("ground", "Terrain"));
//     sceneManager->getRootSceneNode()->attachObject(terrain);
//     terrain->setDefaultMaterialName("Terrain/Default");
//     terrain->setTerrainScale(8192, 600);   // 8192 x 8192 world units, sample 65535 at 600 units
//     terrain->setPatchSize(64);
//     terrain->openStream("heightmap.tif");
//
// From then on the terrain updates itself every frame (it is a frame listener of the root). Patch
// geometry is generated on one background thread ("Terrain thread"); everything else, including
// every method below, runs on the render thread.
//
// Heights: sample s stands for the world height s * terrainHeight / 65535. Image column x runs
// along world x and image row y along world z, row 0 at the most negative z.
//
// The material contract (what a terrain material's vertex program receives):
// - one vertex stream of ten floats per vertex, declared as position (float4: x, height, z,
//   normal x), normal (float3: normal y, normal z, morph-target normal x) and binormal (float3:
//   morph-target normal y and z, morph-target height); the meaning of the ten floats is given in
//   PatchGeometry.h;
// - custom parameter 1 of every patch drawable: (m, 0, 0, 0) with m the patch's morph factor
//   clamped to [0, 1], refreshed each time the drawable is queued; blend height and normal by it
//   exactly as PatchGeometry.h says, so that the picture matches the height and ray queries; a
//   blood-patch decal passes custom parameter 1 on from its patch's drawable, so a decal
//   material blends exactly like the terrain's;
// - custom parameter 0 of a blood-patch decal: (x0, z0, sx, sz); a world point (x, z) maps to the
//   texture coordinate ((x - x0) * sx, (z - z0) * sz) of texture unit 0 of the blood material.
class TERRAIN_EXPORT Terrain : public Ogre::MovableObject, public Ogre::FrameListener
{
public:
    // Result of the height, approximate-height and ray queries.
    struct Hit
    {
        bool hit = false;       // the query found terrain
        uint8_t level = 0;      // level of the patch that answered (0 = the root patch)
        Ogre::Vector3 position = Ogre::Vector3::ZERO; // the answered point, world units
        Ogre::Vector3 normal = Ogre::Vector3::ZERO;   // surface normal there (not renormalised)
    };

    // Counters for overlays and tests (getDebugInfo).
    struct Info
    {
        uint64_t memoryBytes = 0;  // bytes held by patch nodes and their geometry
        uint64_t patchCount = 0;   // patch nodes
        uint64_t visibleCount = 0; // patches in view of the last camera that rendered the terrain
        uint64_t triangles = 0;    // visibleCount * indices per patch - 2 (0 with none in view)
        uint64_t drawables = 0;    // patch drawables (GPU buffers) that exist
        // Drawables the last frame postponed for its budget, and patches out of view whose
        // split or merge its update put off for the frame's time.
        uint64_t deferred = 0;
        // Patch builds asked of the build thread and not yet handed over: queued, in progress or
        // waiting for the next frame. The view has settled once this and `deferred` stay 0.
        uint64_t builds = 0;
        // What the memory budget covers: memoryBytes, the drawables' buffers, the height cache,
        // and the buffers and vertex arrays of freed patches kept for the next ones.
        uint64_t totalBytes = 0;
        // Patches rebuilt in place after setRawData changed their heights, since the terrain was
        // made.
        uint64_t refreshedPatches = 0;
    };

    using MaterialCallback = boost::function<Ogre::MaterialPtr(const Ogre::AxisAlignedBox&, int)>;
    using MaterialReleaseCallback =
        boost::function<void(const Ogre::AxisAlignedBox&, Ogre::MaterialPtr)>;

    explicit Terrain(const Ogre::String& name);
    Terrain(const Terrain&) = delete;
    Terrain& operator=(const Terrain&) = delete;
    ~Terrain() override;

    // ---- configuration (render thread; before openStream unless noted) ----

    // Edge length of the square terrain and the world height of sample value 65535, both finite
    // and greater than 0 (else Ogre::InvalidParametersException, changing nothing). Sets the
    // bounding box: (-size/2, 0, -size/2) to (size/2, height, size/2). Patches already made are
    // dropped (they belong to the old scale); an open stream goes on at the new scale.
    void setTerrainScale(float size, float height);
    // Quads along a patch edge: a power of two from 2 to 128 (16-bit indices address at most
    // 129 x 129 vertices; 1 quad does not nest in its parent). Adjacent patches may differ by
    // log2(size) - 1 levels, at least 1. Throws Ogre::InvalidStateException "setPatchSize() must be a power of
    // 2" for any other value, changing nothing. Sets the deepest level to 14 - log2(size), or
    // shallower while a heightmap is open whose samples that level would repeat. Patches
    // already made are dropped.
    void setPatchSize(int size);
    // Screen-space error above which a patch splits: the patch's world error times the
    // projection's [1][1] times the viewport's height in pixels, over the distance. That is twice
    // the error in pixels: 8 splits a patch whose error would show as more than about 4 pixels
    // (an engine that counts pixels, as Ogre's own terrain does, means by 8 what 16 means here).
    // farThreshold applies from twice farDistance (world units) on, blending in linearly from
    // farDistance. NaN or negative values throw Ogre::InvalidParametersException, changing
    // nothing.
    void setDetailThreshold(float threshold, float farThreshold, float farDistance);
    // Most patch drawables made per frame for patches in view, and ahead of view (0 or less:
    // none).
    void setOgreBuildLimits(int visibleLimit, int pendingLimit);
    // A patch drawable neither queued for a camera nor seen drawn by the pending pass for this
    // many frames (30 to begin with) gives its GPU buffers, and its host material, back; it is
    // made again when the patch is next in view. Sooner, when a new drawable is needed and no
    // given-back one is left, the drawable queued longest ago (not in this frame) has its
    // buffers rewritten for it instead of new ones being made: after a teleport, say. 0 keeps
    // drawables until their patches go (and rewrites none).
    void setDrawableKeepFrames(int frames);
    // Memory the terrain may hold, in bytes: patch nodes and their geometry, the drawables'
    // buffers, the height cache and what freed patches leave for the next (Info::totalBytes).
    // Over it, each frame gives back first what freed patches left, then the children that
    // merged patches keep for a quick split back (budget or not, a merged patch keeps them only
    // while the camera is within about twice the distance at which it would split again, and
    // for 500 frames at most), those drawn longest ago first, then (with no
    // budget for drawables ahead of view) drawables of patches out of view. When that is not
    // enough (a fine detail threshold refines the ground behind the camera as much as in front
    // of it), the tree out of the camera's view, away from the ground around the camera, merges
    // back to the coarsest patches until the total is within the budget, and refines again once
    // it is under three quarters of it: the height and ray queries there then answer from that
    // coarser surface. Nothing in view or around the camera is given back, and the view
    // converges to the same patches as without a budget, so the view itself may need more than
    // the budget. 0: no budget. Default: 256 MiB. Takes effect at the next frame.
    void setMemoryBudget(size_t bytes);

    // ---- per-frame engine interface (render thread) ----

    bool frameStarted(const Ogre::FrameEvent& event) override;
    void _notifyCurrentCamera(Ogre::Camera* camera) override;
    void _updateRenderQueue(Ogre::RenderQueue* queue) override;
    void visitRenderables(Ogre::Renderable::Visitor* visitor, bool debugRenderables = false) override;
    Info getDebugInfo() const;
    const Ogre::AxisAlignedBox& getBoundingBox() const override;
    Ogre::Real getBoundingRadius() const override;
    const Ogre::String& getMovableType() const override;

    // ---- materials (render thread) ----

    // Material of every patch without a host material of its own; set it before the first frame.
    void setDefaultMaterial(const Ogre::MaterialPtr& material);
    // Looks the material up by name; throws Ogre::ItemIdentityException "Default terrain material
    // not found" (and leaves no default material) when there is none.
    void setDefaultMaterialName(const std::string& name);
    // Host materials for patches within the material distance of the camera: source(bounds, 0)
    // returns a material or a null one; release(bounds, material) takes a material back when its
    // patch leaves the distance or is destroyed. Either may be empty.
    void setMaterialCallbacks(const MaterialCallback& source, const MaterialReleaseCallback& release);
    // Distance (world units, from the camera to a patch's box) within which host materials apply;
    // its size counts, not its sign. NaN throws Ogre::InvalidParametersException.
    void setMaterialDistance(float distance);

    // ---- heightmap stream ----

    // Opens a heightmap (one unsigned 16-bit sample per pixel, uncompressed little-endian TIFF)
    // and starts the build thread. Returns false, with a message on standard output, when the
    // file cannot be used. Throws Ogre::InvalidStateException when setTerrainScale has not set a
    // height. An open stream is closed first.
    bool openStream(const std::string& fileName);
    // Stops the build thread, waits for it and closes the file. Nothing happens without a stream.
    void closeStream();
    // Edge of the in-memory height window around the camera, in samples (0 or less: no cache).
    // The build thread moves the window between patch builds; while the camera outruns it (a
    // dense map, a fast flight) moves are spaced so that they take at most a third of that
    // thread's time, and builds read the file directly in between.
    void setHeightCacheSize(int size);
    // Copies raw samples of image columns x .. x+w-1 and rows y .. y+h-1 into buffer (w * h
    // samples of 2 bytes, row by row); parts outside the heightmap are left untouched.
    // Result: the number of samples read (0 without a stream).
    uint64_t getRawData(int x, int y, int w, int h, char* buffer) const;
    // The mirror of getRawData: writes w * h raw samples (row by row, two little-endian bytes
    // each, row 0 at sample row y) into the open heightmap file in place, the part of the
    // rectangle inside the map only, and returns how many the file took. When it returns, the
    // samples are in the file: getRawData, and any other reader of the file, in this process or
    // another, reads them; the build thread has them written to the device (fdatasync) before
    // its next build, and closeStream before it closes the file. The patches whose heights,
    // normals or morph targets read them are being rebuilt on the build thread and are drawn
    // together, usually at the next frame; the queries answer from the new surface from then on.
    // openStream opens the file for reading and writing when it may be written (its permissions
    // let someone write it and the file system is not read-only), read-only otherwise; nothing
    // but this call ever writes to it. Nothing is written, and 0 is returned with one line in the
    // engine's log, without a stream, with a null buffer, for a file opened read-only, or for one
    // that another program changed since it was opened. An empty rectangle, or one wholly
    // outside the map, writes nothing and returns 0. A write that fails part way (a full disk)
    // returns what was written.
    uint64_t setRawData(int x, int y, int w, int h, const char* buffer);

    // ---- spatial queries (render thread), answered from the drawn surface ----
    // Points, rays and answers are in the terrain's own space: world space while its scene node
    // sits at the origin unrotated. Answers follow the patches as they are drawn this frame,
    // blended by their morph factors; they may change after each frame.

    // Height and normal of the drawn surface under (x, z); hit is false outside the terrain's
    // square (its edges count as inside) and before the first frame has drawn a patch there.
    Hit getHeight(const Ogre::Vector3& point) const;
    // Full-detail height and normal of the drawn patch's vertex nearest to (x, z): cheaper, not
    // interpolated, not blended.
    Hit getApproximateHeight(const Ogre::Vector3& point) const;
    // Nearest hit of the ray with the drawn surface, from its origin up to 100000 world units
    // along its direction (of any length but 0); the normal is the hit triangle's, facing up.
    // A ray with a NaN or infinite origin or direction finds nothing.
    Hit intersect(const Ogre::Ray& ray) const;

    // ---- patch identifiers (any thread; read only the terrain's square) ----

    // Identifier of the patch of the given level (0 .. 15) that contains (x, z).
    unsigned int getPatchInfo(const Ogre::Vector3& point, int level) const;
    // The same; corner receives the patch's low (x, z) corner and size its edge (s, s).
    unsigned int getPatchInfo(const Ogre::Vector3& point, int level, Ogre::Vector2& corner,
                              Ogre::Vector2& size) const;
    // Decodes an identifier: returns its level; corner and size as above.
    int getPatchInfo(unsigned int patchId, Ogre::Vector2& corner, Ogre::Vector2& size) const;

    // ---- blood patches (render thread) ----

    // Requests a texture on one cell of a drawn patch for the next frame. cellCode holds two bits
    // per subdivision, the first subdivision in the most significant pair (bit 0 of a pair: the
    // high-x half, bit 1: the high-z half); cellDepth subdivisions, 0 (the whole patch) to 15.
    // A request lives for one frame: one that the frame does not draw (the terrain is out of
    // the reference camera's view) is dropped when the next frame starts. Ignored: requests
    // made while no blood material is set, with another depth, or with an identifier that names
    // no patch (0, 2, 3, ...: no level marker).
    void drawBloodPatch(unsigned int patchId, const Ogre::TexturePtr& texture, int cellCode,
                        int cellDepth);
    // Appends (identifier, distance from the camera) of every drawn patch in view of the reference
    // camera, as it stood at the start of this frame, to out; returns out's size. The float is
    // not used.
    uint64_t getBloodPatches(float unused, std::vector<std::pair<unsigned int, float>>& out) const;
    void setBloodMaterial(const Ogre::MaterialPtr& material);
    // Throws Ogre::ItemIdentityException "Terrain blood material" when there is no such material.
    void setBloodMaterialName(const std::string& name);

    // Kept for hosts; the library never adds lines to it.
    static std::vector<std::string> debugMessages;

protected:
    // One blood-patch request, kept until the next blood patch pass.
    struct BloodPatch
    {
        unsigned int patchId;
        int cellCode;
        int cellDepth;
        Ogre::TexturePtr texture;
    };

    // Height source of the Landscape: world height under (x, z) from the heightmap, nearest
    // sample at or below the position, 0 outside. Thread: the thread that builds patches, with
    // the height lock held. The level is not used.
    float getHeight(const Ogre::Vector3& position, int level);
    int patchCreated(PatchGeometry* patch);
    int patchDestroyed(PatchGeometry* patch);
    // what: Landscape::kIndicesChanged and kVerticesChanged bits.
    void patchChanged(PatchGeometry* patch, int what);
    // Thread: the thread that builds patches, before it samples heights.
    void preBuildCallback(int patchId);
    int visitorCallback(PatchGeometry* patch);
    int updateMaterial(PatchGeometry* patch);
    void createDrawable(PatchGeometry* patch);
    // Drawables that a new patch can take for a rewrite of their buffers.
    size_t rewritableDrawables() const;
    // How many drawables the next ones made can be within micros: spares first, then fresh ones.
    size_t affordableDrawables(double micros) const;
    // The GPU buffer of a patch's strip, made on first use and shared by every patch that has
    // the same strip (see PatchGeometry::indices).
    const Ogre::HardwareIndexBufferSharedPtr& stripBuffer(const PatchGeometry& patch);
    void updateHeightCache();
    void createBloodPatches();
    // While the first view is built: spare drawables for the splits under way in view, made
    // within micros.
    void warmSpareDrawables(double micros);
    // Up to count spare drawables of the patch size, within micros (but at least fewest of
    // them); returns how many. A cautious call also goes by the last fresh drawable's cost, not
    // only by the running estimate: fresh buffers' costs jump as they take freed memory or
    // new memory, and the estimate follows them slowly.
    size_t makeSpareDrawables(size_t count, double micros, size_t fewest = 0, bool cautious = false);
    // Whether count more spares fit beside those kept (their number and share of the budget).
    bool hasRoomForSpares(size_t count) const;
    // As a stream opens: the spares that the first view will write its patches into; and, each
    // frame, once that view stands, the spares it left.
    void makeOpeningSpares();
    void giveBackOpeningSpares();
    // Whether a patch that the last pass found in view is still without a drawable.
    bool lacksDrawables() const;
    size_t spareDrawableCount() const { return spareDrawables.size(); } // for tests
    size_t staleDrawableCount() const { return staleDrawables.size(); } // for tests
    // The most bytes that spare drawables may hold.
    uint64_t spareRoom() const;
    // Bytes of one patch's vertex records at the current patch size: its array, or a drawable's
    // vertex buffer.
    uint64_t patchBufferBytes() const;

    // The level-of-detail engine; for derived classes (tests) that need its locks.
    Landscape* getLandscape() const { return landscape.get(); }

private:
    // Makes cam the reference camera (or none), watching it so that a destroyed camera is
    // forgotten instead of being read again.
    void setReferenceCamera(const Ogre::Camera* cam);
    // Deepest level from the patch size, and no deeper than the open heightmap's resolution.
    void applyLevelLimits();
    // The open heightmap's sample scale for the current terrain scale; empties the height cache.
    void applyStreamScale();
    // Before a change of scale or patch size: stops the build thread of an open stream and
    // drops the tree. Returns whether a stream is open, for resumeTree.
    bool suspendTree();
    // With a stream: starts the build thread and begins the tree (after suspendTree, or once a
    // heightmap is open).
    void resumeTree(bool streaming);
    // Gives a patch's drawable back (material release callback, GPU buffers); the patch gets a
    // new one when it is drawn again. The drawable is kept as a spare unless spare is false.
    void releaseDrawable(PatchGeometry* patch, bool spare = true);
    // Frees spare drawables, the last kept first, until at least `bytes` of buffers have gone
    // (all of them by default).
    void dropSpareDrawables(uint64_t bytes = UINT64_MAX);
    // Frees stale drawables (see staleDrawables), one at least, until their buffers held
    // `bytes` or micros have passed.
    void freeStaleDrawables(uint64_t bytes, double micros = std::numeric_limits<double>::infinity());
    // Calls the host's material release, logging instead of passing on what it throws: this
    // runs while patch nodes are freed, where an exception cannot pass.
    void releaseMaterial(const PatchGeometry& patch, const Ogre::MaterialPtr& material);
    // Releases drawables that have been neither queued nor seen drawn for drawableKeepFrames
    // frames: patches kept for reuse but no longer drawn would otherwise hold GPU buffers.
    void releaseIdleDrawables();
    // Gives the drawable queued longest ago, and not in this frame, back as a spare for a new
    // patch; false when there is none to take (or keeping is the host's wish).
    bool recycleIdleDrawable();
    // Whether idle drawables may be taken for new patches: not when the host keeps drawables
    // (keep frames 0), nor with drawables made ahead of view (a pending limit), whose patches
    // drawn out of view would only be made again by the pending pass.
    bool recyclesIdleDrawables() const { return drawableKeepFrames != 0 && pendingBuildLimit == 0; }
    // Live drawables last queued (or seen drawn) before frame `before`, the one queued longest
    // ago last.
    std::vector<TerrainRenderable*> idleDrawables(uint32_t before) const;
    // Gives memory back while the total is over the budget (see setMemoryBudget), and tells the
    // level of detail how far the tree may refine out of view.
    void keepWithinMemoryBudget();
    void giveBackOverBudget();
    // The budget's measure (Info::totalBytes) without what detached patches are about to free.
    uint64_t heldBytes() const;
    // What the budget covers (Info::totalBytes): the tree, the drawables' buffers, the cache.
    uint64_t budgetedBytes() const;
    static constexpr size_t kDrawableSweepSlice = 32;    // fewest drawables in use looked at per frame
    static constexpr size_t kDrawableReleaseSlice = 256; // fewest idle drawables released per frame
    template <class Query>
    Hit heightQuery(const Ogre::Vector3& point, Query query) const;
    // At the start of a frame: blood patch requests no pass served in the last frame go.
    void dropUnservedBloodPatches();
    // The frame's level-of-detail update from a snapshot of the reference camera, and what
    // follows it: drawables released, the memory budget kept, materials chosen.
    void updateLevelOfDetail(const CameraState& state);

    // ---- render thread only ----
    const Ogre::Camera* camera = nullptr; // reference camera that drives the level of detail
    std::unique_ptr<CameraWatch> cameraWatch; // forgets camera when the engine destroys it
    Ogre::Camera* currentCamera = nullptr; // camera being rendered (from _notifyCurrentCamera)
    Ogre::Vector3 cameraPosition = Ogre::Vector3::ZERO; // world position of the reference camera
    Ogre::AxisAlignedBox bounds;
    std::unique_ptr<Landscape> landscape;
    // The heightmap and its height cache, shared with the build thread under the height lock.
    std::unique_ptr<HeightStream> heightStream;
    float terrainSize = 0;   // world edge length
    float terrainHeight = 0; // world height of sample 65535
    float terrainOrigin = 0; // world x and z of sample (0, 0): -terrainSize / 2
    int patchSize = 8;        // quads along a patch edge
    int drawablesBuilt = 0;   // drawables made since the end of the last frameStarted
    bool patchesPending = false;
    int drawablesDeferred = 0;
    int visibleBuildLimit = 10000;
    int pendingBuildLimit = 0;
    int drawableCount = 0;
    // Microseconds one drawable takes to make, over the recent ones: how many finished builds a
    // frame takes over (each one in view needs its drawable in the same frame).
    struct DrawableCost
    {
        double micros = 10.0; // the estimate; the guess before the first drawable
        double last = 0.0;    // the last drawable's, 0 before the first
        void add(double sample);
    };
    DrawableCost freshDrawableCost; // with fresh buffers
    DrawableCost spareDrawableCost; // rewriting a spare's (or an idle drawable's)
    uint64_t drawableBytes = 0; // bytes of the drawables' vertex buffers
    // Index buffers by the strip they hold (its address in the Landscape), and their bytes.
    std::unordered_map<const uint16_t*, Ogre::HardwareIndexBufferSharedPtr> stripBuffers;
    uint64_t stripBufferBytes = 0;
    uint64_t memoryBudget = uint64_t(256) << 20; // 0: none
    static constexpr uint64_t kNoFruitlessWalk = ~uint64_t(0);
    uint64_t fruitlessWalkAt = kNoFruitlessWalk; // Landscape::keptChanges() when a walk freed nothing
    // Every drawable this terrain owns; a patch's geometry points at its own.
    std::vector<std::unique_ptr<TerrainRenderable>> liveDrawables;
    // Per live drawable, at its slot: the frame number when it was last queued or seen drawn.
    // Kept apart from the drawables, which lie apart in memory, so that the idle sweep and the
    // recycling order read a few lines instead of a miss for each drawable.
    std::vector<uint32_t> usedFrames;
    // Drawables given back, kept with their buffers for the next patches that need one (a
    // teleport needs a hundred at once; fresh buffers cost far more than rewritten ones), at
    // most kMostSpareDrawables of them and a sixteenth of the budget; counted in the memory
    // budget, and the first to go.
    std::vector<std::unique_ptr<TerrainRenderable>> spareDrawables;
    uint64_t spareBytes = 0;
    static constexpr size_t kMostSpareDrawables = 192;
    // Drawables of a tree dropped by a change of patch size or scale, spares and drawn ones,
    // which no patch of the new tree takes: freeing a hundred buffers of 64-quad patches at
    // once took the call 1 to 4 ms. Each frame frees some of them, for kStaleFreeMicros, one at
    // least. New drawables do not free them to make room: freed among the allocator's free
    // blocks, a buffer could join them to the top of its heap, which it then hands back to the
    // system at once, and a single free cost 1 to 5 ms of the render thread's time here. (So
    // each fresh drawable freed its size of them first, for the allocator to reuse, and the
    // worst frame after a patch-size change took 2 to 3.1 ms in three runs of five; without,
    // 1.2 to 1.5 ms in five of five, the view settling as soon.) Counted in the memory budget,
    // and the first to go over it. While retiringDrawables is set (the old tree going), every
    // drawable given back joins them.
    std::vector<std::unique_ptr<TerrainRenderable>> staleDrawables;
    uint64_t staleBytes = 0;
    bool retiringDrawables = false;
    static constexpr double kStaleFreeMicros = 100.0;
    // Bytes of spares made as a stream opens (see makeOpeningSpares); whether the first view
    // after it has yet to stand; the spares it left that are still to go, and how many go in
    // one frame.
    static constexpr uint64_t kOpeningSpareBytes = uint64_t(6) << 20;
    static constexpr uint64_t kOpeningSpareBytesPerLevel = uint64_t(2) << 20;
    bool openingSparesOut = false;
    size_t sparesToGiveBack = 0;
    static constexpr size_t kOpeningSparesFreedPerFrame = 32;
    size_t sweepCursor = 0;   // where releaseIdleDrawables goes on next frame
    // Idle drawables, the one queued longest ago last, for recycleIdleDrawable: made at the
    // first need in a frame (recycleOrderFrame), valid in that frame until a drawable is
    // released in another way.
    std::vector<TerrainRenderable*> recycleOrder;
    static constexpr uint32_t kNoRecycleOrder = ~uint32_t(0);
    uint32_t recycleOrderFrame = kNoRecycleOrder;
    std::vector<PatchGeometry*> needDrawables; // patches in view without one, in this render pass
    uint32_t frameNumber = 0; // frames started with a stream open
    // The terrain's own work in this frame before its render pass, in microseconds: the stale
    // frees, and while the first view is built the level-of-detail update and the collection of
    // the patches in view. The first view's drawables take what it leaves of the opening budget.
    double frameWorkMicros = 0;
    // The last update's budget for the drawables of the patches it handed over (microseconds),
    // and whether its hand-overs wait for spares that the next render pass makes (see
    // updateLevelOfDetail); false again once a pass has made them.
    double handOverMicros = 0;
    bool handOversAwaitSpares = false;
    // The engine's last frame as frameStarted's event reports it, in microseconds (0: unknown,
    // as when a host passes an empty event).
    double lastFrameMicros = 0;
    // A frame has started whose level-of-detail update has not run yet (frameStarted found no
    // camera with a viewport).
    bool updateAwaitsCamera = false;
    uint32_t drawableKeepFrames = 30; // 0: never release idle drawables
    float materialDistanceSq = 0;
    Ogre::MaterialPtr defaultMaterial;
    MaterialCallback materialCallback;
    MaterialReleaseCallback materialReleaseCallback;
    std::vector<BloodPatch> bloodPatches; // requests since the last blood patch pass
    size_t unservedBloodPatches = 0;      // of them, those already waiting when this frame started
    std::vector<std::unique_ptr<TerrainDecal>> decals; // decal i serves blood patch request i
    Ogre::MaterialPtr bloodMaterial;
    std::unique_ptr<CameraState> cameraState; // snapshot of the reference camera
    // Camera position at the last material pass; the pass runs again after 100 units of travel.
    Ogre::Vector3 lastMaterialPosition = Ogre::Vector3::ZERO;
    bool materialPositionSet = false;
};
