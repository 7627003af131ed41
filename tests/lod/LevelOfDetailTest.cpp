// The level-of-detail engine over a fractal heightmap, driven by seeded random camera paths with
// the real build thread. After each path the drawn tree is checked against properties that hold
// whatever the path: it tiles the square, it has no cracks, adjacent patches stay within the
// level slack, patches are fine enough, and the queries agree with brute-force references.

#include "../../tools/FractalHeightmap.h"
#include "LodTestSupport.h"

#include <OgreQuaternion.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <tuple>

using namespace testing_support;

namespace
{
constexpr int kFloats = kFloatsPerVertex;
constexpr float kTerrainSize = 8192.0f;
constexpr float kTerrainHeight = 1200.0f;

// A Landscape fed from a fractal heightmap held in memory, read the way the terrain reads its
// file: the sample at or below the position.
struct FractalTerrain
{
    uint32_t edge;
    int deepest = 0; // the deepest level
    std::vector<uint16_t> samples;
    Landscape landscape{0, Ogre::Vector3::ZERO};
    LandscapeTestView view{landscape};

    explicit FractalTerrain(int patchSize = 16, uint32_t edge_ = 2049, uint32_t seed = 11)
        : edge(edge_), samples(FractalHeightmap::generate(edge_, seed, 0.55f))
    {
        landscape.setBounds(kTerrainSize, Ogre::Vector3(-kTerrainSize / 2, 0, -kTerrainSize / 2));
        landscape.setPatchSize(patchSize);
        // As the terrain does: no deeper than a quad per sample.
        while (uint32_t(patchSize) << (deepest + 1) <= edge - 1)
            ++deepest;
        landscape.setLevelLimits(4, deepest);
        const float samplesPerUnit = float(edge - 1) / kTerrainSize;
        landscape.setHeightFunction([this, samplesPerUnit](const Ogre::Vector3& p, int) {
            const float sx = (p.x + kTerrainSize / 2) * samplesPerUnit;
            const float sz = (p.z + kTerrainSize / 2) * samplesPerUnit;
            if (!(sx > -1.0f && sz > -1.0f && sx < float(edge) && sz < float(edge)))
                return 0.0f;
            return float(samples[size_t(int(sz)) * edge + size_t(int(sx))]) * (kTerrainHeight / 65535.0f);
        });
        landscape.start();
    }
    ~FractalTerrain() { landscape.stop(true); }
};

// The drawn leaf containing (x, z), found from the corners alone.
const PatchNode* leafContaining(const PatchNode* node, float x, float z)
{
    while (node->drawsChildren())
    {
        const PatchNode* next = nullptr;
        for (const auto& child : node->children)
            if (x >= child->corners[0].x && x <= child->corners[3].x && z >= child->corners[0].z &&
                z <= child->corners[3].z)
                next = child.get();
        if (!next)
            return nullptr;
        node = next;
    }
    return node;
}

Ogre::Vector3 drawnVertex(const PatchNode* leaf, size_t index)
{
    const float* v = leaf->geometry.vertices + index * kFloats;
    const float m = std::clamp(leaf->lod, 0.0f, 1.0f);
    return Ogre::Vector3(v[0], v[9] + (v[1] - v[9]) * m, v[2]);
}

// f(a, b, c) for every triangle of a leaf's strip (stitched as drawn), heights blended by the
// clamped lod.
template <class F>
void forEachDrawnTriangle(const PatchNode* leaf, const F& f)
{
    for (const Triangle& t : stripTriangles(leaf->geometry))
        f(drawnVertex(leaf, t.a), drawnVertex(leaf, t.b), drawnVertex(leaf, t.c));
}

// Independent evaluation of a leaf's drawn surface at (x, z): the triangle that holds the point,
// in double precision.
float drawnHeight(const PatchNode* leaf, float x, float z)
{
    double bestInside = -1e-9;
    double height = std::nan("");
    forEachDrawnTriangle(leaf, [&](const Ogre::Vector3& a, const Ogre::Vector3& b, const Ogre::Vector3& c) {
        const double area = (double(b.x) - a.x) * (double(c.z) - a.z) - (double(c.x) - a.x) * (double(b.z) - a.z);
        const double wb = ((double(x) - a.x) * (double(c.z) - a.z) - (double(c.x) - a.x) * (double(z) - a.z)) / area;
        const double wc = ((double(b.x) - a.x) * (double(z) - a.z) - (double(x) - a.x) * (double(b.z) - a.z)) / area;
        const double wa = 1.0 - wb - wc;
        const double inside = std::min({wa, wb, wc});
        if (inside >= bestInside)
        {
            bestInside = inside;
            height = wa * a.y + wb * b.y + wc * c.y;
        }
    });
    return float(height);
}

// Vertex indices on one side of a leaf that its (stitched) strip actually uses.
std::vector<uint16_t> usedEdgeVertices(const PatchNode* leaf, int side)
{
    const StripLayout strip(leaf->edgeVertices);
    std::vector<uint16_t> out;
    for (int t : edgeVerticesUsed(leaf->geometry, strip.n, side))
        out.push_back(strip.edgeVertex(side, t));
    return out;
}

// Height of a leaf's drawn edge on one side at the point (x, z) of that edge: the polyline
// through the edge vertices its (stitched) strip uses.
float drawnEdgeHeight(const PatchNode* leaf, const std::vector<uint16_t>& used, int side, float x, float z)
{
    const bool alongX = side >= 2;
    const float position = alongX ? x : z;
    for (size_t k = 0; k + 1 < used.size(); ++k)
    {
        const Ogre::Vector3 a = drawnVertex(leaf, used[k]), b = drawnVertex(leaf, used[k + 1]);
        const float from = alongX ? a.x : a.z, to = alongX ? b.x : b.z;
        if (position >= from && position <= to)
            return a.y + (b.y - a.y) * ((position - from) / (to - from));
    }
    return std::nanf("");
}

// Recomputes the deepest drawn level along each side and reports stored values that differ.
std::array<int, 4> expectedEdgeLevels(const PatchNode* node, std::ostringstream& report)
{
    std::array<int, 4> result;
    if (!node->drawsChildren())
    {
        result.fill(int(node->level));
    }
    else
    {
        std::array<int, 4> c[4];
        for (int k = 0; k < 4; ++k)
            c[k] = expectedEdgeLevels(node->child(k), report);
        result = {std::max(c[0][0], c[2][0]), std::max(c[1][1], c[3][1]), std::max(c[0][2], c[1][2]),
                  std::max(c[2][3], c[3][3])};
    }
    for (int sd = 0; sd < 4; ++sd)
        if (result[sd] != node->edgeMaxLevel[sd])
            report << " [level " << node->level << " state " << node->state << " side " << sd << " stored "
                   << int(node->edgeMaxLevel[sd]) << " actual " << result[sd] << "]";
    return result;
}

// Checks every property of a converged tree; returns the number of drawn leaves. With
// heldOutOfView, leaves out of the camera's view may be coarser than it asks (see
// Landscape::setOutOfView).
size_t checkConvergedTree(const Landscape& landscape, const CameraState& camera, bool heldOutOfView = false)
{
    const LandscapeTestView view(landscape);
    const std::vector<const PatchNode*> leaves = drawnLeaves(landscape);
    // The drawn leaves tile the root square: all built, disjoint by construction, areas add up.
    double area = 0.0;
    for (const PatchNode* leaf : leaves)
    {
        EXPECT_TRUE(leaf->isBuilt()) << "a hole: level " << leaf->level;
        const Ogre::Vector3 extent = leaf->corners[3] - leaf->corners[0];
        area += double(extent.x) * double(extent.z);
        if (leaf->level < view.maxLevel() &&
            (!heldOutOfView || camera.isVisible(leaf->testBox(), CameraState::kAllPlanes)))
        {
            EXPECT_LE(view.screenError(leaf, camera), view.detailThreshold())
                << "a leaf at level " << leaf->level << " is too coarse";
        }
    }
    EXPECT_DOUBLE_EQ(area, double(kTerrainSize) * double(kTerrainSize));
    std::ostringstream stale;
    expectedEdgeLevels(view.root(), stale);
    EXPECT_EQ(stale.str(), "");
    if (::testing::Test::HasFailure())
        return leaves.size();

    // Each leaf's used edge vertices, per side, computed once.
    std::map<const PatchNode*, std::array<std::vector<uint16_t>, 4>> edges;
    for (const PatchNode* leaf : leaves)
        for (int side = 0; side < 4; ++side)
            edges[leaf][size_t(side)] = usedEdgeVertices(leaf, side);

    const float epsilon = 0.01f;
    for (const PatchNode* a : leaves)
        for (int side = 0; side < 4; ++side)
            for (uint16_t index : edges[a][size_t(side)])
            {
                const Ogre::Vector3 p = drawnVertex(a, index);
                // Step across the side; at a corner also step along the edge into the patch's
                // span, so that the patch found is the one across the side, not the diagonal one.
                const Ogre::Vector3 inward = (a->corners[0] + a->corners[3]) * 0.5f - p;
                const float alongX = side >= 2 ? (inward.x > 0 ? epsilon : -epsilon) : 0.0f;
                const float alongZ = side < 2 ? (inward.z > 0 ? epsilon : -epsilon) : 0.0f;
                const float outX = p.x + (side == 0 ? -epsilon : side == 1 ? epsilon : alongX);
                const float outZ = p.z + (side == 2 ? -epsilon : side == 3 ? epsilon : alongZ);
                const PatchNode* b = leafContaining(view.root(), outX, outZ);
                if (!b || b == a)
                    continue; // the terrain's outer edge
                EXPECT_LE(std::abs(int(a->level) - int(b->level)), int(view.levelSlack()))
                    << "levels " << a->level << " and " << b->level;
                if (b->level > a->level)
                    continue; // checked from the finer side
                const float other = drawnEdgeHeight(b, edges[b][size_t(side ^ 1)], side ^ 1, p.x, p.z);
                EXPECT_NEAR(p.y, other, 1e-3f)
                    << "crack between levels " << a->level << " and " << b->level << " at " << p;
                if (::testing::Test::HasFailure())
                    return leaves.size();
            }
    return leaves.size();
}

CameraState randomCamera(std::mt19937& random)
{
    std::uniform_real_distribution<float> across(-kTerrainSize / 2, kTerrainSize / 2);
    std::uniform_real_distribution<float> height(40.0f, 2500.0f);
    std::uniform_real_distribution<float> angle(0.0f, 6.2831853f);
    std::uniform_real_distribution<float> pitch(-1.2f, 0.1f);
    const Ogre::Vector3 eye(across(random), height(random), across(random));
    const float yaw = angle(random), down = pitch(random);
    const Ogre::Vector3 direction(std::cos(yaw) * std::cos(down), std::sin(down), std::sin(yaw) * std::cos(down));
    return lookAt(eye, eye + direction * 100.0f);
}
} // namespace

TEST(LevelOfDetail, ConvergedTreesHaveNoCracksHolesOrCoarsePatches)
{
    for (int patchSize : {8, 16})
    {
        SCOPED_TRACE(patchSize);
        FractalTerrain terrain(patchSize);
        std::mt19937 random(1234 + patchSize);
        size_t largest = 0;
        for (int move = 0; move < 16; ++move)
        {
            SCOPED_TRACE(move);
            const CameraState camera = randomCamera(random);
            ASSERT_GT(settle(terrain.landscape, camera), 0) << "did not converge";
            largest = std::max(largest, checkConvergedTree(terrain.landscape, camera));
            if (HasFailure())
                return;
        }
        EXPECT_GT(largest, 150u) << "the paths should refine the tree well beyond the minimum";
    }
}

namespace
{
uint64_t builtNodes(const PatchNode* root)
{
    uint64_t count = 0;
    forEachNode(root, [&](const PatchNode* node) { count += node->isBuilt() ? 1 : 0; });
    return count;
}

// Nodes that only a hand-over can make drawn (unbuilt, or children of a splitting parent), and
// drawn patches in view.
std::set<const PatchNode*> waitingNodes(const PatchNode* root)
{
    std::set<const PatchNode*> nodes;
    forEachNode(root, [&](const PatchNode* node) {
        if (!node->isBuilt() || (node->parent && node->parent.load()->state == kSplitting))
            nodes.insert(node);
    });
    return nodes;
}

std::set<const PatchNode*> drawnInView(const PatchNode* root, const CameraState& camera)
{
    std::set<const PatchNode*> nodes;
    forEachDrawn(root, [&](const PatchNode* node) {
        if (node->isBuilt() && camera.isVisible(node->bounds, CameraState::kAllPlanes))
            nodes.insert(node);
    });
    return nodes;
}
} // namespace

TEST(LevelOfDetail, UpdateLimitsSpreadABurstOverUpdatesAndReachTheSameTree)
{
    FractalTerrain unlimited(16);
    FractalTerrain limited(16);
    constexpr uint64_t kHandOvers = 4;
    constexpr uint64_t kFrees = 8;
    limited.landscape.setUpdateLimits(kHandOvers, kFrees);
    std::mt19937 random(77);
    for (int move = 0; move < 8; ++move)
    {
        SCOPED_TRACE(move);
        const CameraState camera = randomCamera(random);
        ASSERT_GT(settle(unlimited.landscape, camera), 0);
        // No update's hand-overs make more patches drawn in view than its hand-over limit, or
        // install more builds in all than the fixed cap (the root, built on the render thread,
        // aside; while the first tree is built, the larger opening cap), and no update frees
        // more nodes than its free limit, or an eighth of those waiting when that is more.
        uint64_t worstInstalled = 0, worstOpening = 0, worstDrawn = 0, overFreed = 0;
        const auto update = [&] {
            // The first tree is built level by level, each handed over whole: bursts of 4^level.
            if (move == 0)
                waitForBuilds(limited.landscape);
            const bool hadRoot = limited.landscape.hasTree();
            const bool opening = limited.landscape.isOpening();
            const uint64_t built = builtNodes(limited.view.root());
            const std::set<const PatchNode*> waiting = waitingNodes(limited.view.root());
            const std::set<const PatchNode*> drawn = drawnInView(limited.view.root(), camera);
            const uint64_t live = limited.view.patchCount();
            const uint64_t mayFree = std::max<uint64_t>(kFrees, limited.view.queue().retiredCount() / 8);
            limited.landscape.update(camera);
            const uint64_t builtAfter = builtNodes(limited.view.root());
            uint64_t& worst = opening ? worstOpening : worstInstalled;
            if (hadRoot && builtAfter > built)
                worst = std::max(worst, builtAfter - built);
            uint64_t handedDrawn = 0;
            for (const PatchNode* node : drawnInView(limited.view.root(), camera))
                handedDrawn += hadRoot && waiting.count(node) && !drawn.count(node) ? 1 : 0;
            worstDrawn = std::max(worstDrawn, handedDrawn);
            const uint64_t freed = live - std::min(live, limited.view.patchCount());
            overFreed = std::max(overFreed, freed - std::min(freed, mayFree));
        };
        ASSERT_GT(pumpUntilIdle(update, [&] { return isSettled(limited.landscape); }, 20000), 0);
        EXPECT_LE(worstDrawn, kHandOvers);
        EXPECT_LE(worstInstalled, Landscape::kHandOversPerUpdate);
        EXPECT_LE(worstOpening, Landscape::kOpeningHandOversPerUpdate);
        if (move == 0)
            EXPECT_GT(worstOpening, Landscape::kHandOversPerUpdate) << "the first tree took no more than later ones";
        else
            EXPECT_EQ(worstOpening, 0u) << "still opening after the first view was built";
        EXPECT_EQ(overFreed, 0u);
        checkConvergedTree(limited.landscape, camera);
        EXPECT_EQ(leafCells(limited.landscape), leafCells(unlimited.landscape));
        if (HasFailure())
            return;
    }
}

// Strict limits hold even an update's first hand-over or split to the limit, where a plain
// limit takes the first whatever it costs: from high above, with every build delivered, a strict
// limit of 0 draws nothing new in view (a plain limit of 0 is none, and of 1 still draws the
// root's four quadrants). Plain limits then reach the tree an unlimited update reaches.
TEST(LevelOfDetail, StrictLimitsHoldTheFirstHandOverTooAndThenReachTheSameTree)
{
    const CameraState above = lookAt(Ogre::Vector3(0, 9000, -2500), Ogre::Vector3(0, 0, 0));
    FractalTerrain unlimited(16);
    FractalTerrain limited(16);
    ASSERT_GT(settle(unlimited.landscape, above), 0);
    limited.landscape.setUpdateLimits(0, 0, true);
    for (int k = 0; k < 30; ++k)
    {
        // Every build asked for has finished: only the limit holds the view back.
        waitForBuilds(limited.landscape);
        limited.landscape.update(above);
    }
    EXPECT_EQ(drawnInView(limited.view.root(), above).size(), 1u) << "the root alone";
    limited.landscape.setUpdateLimits(4, 0);
    // Settled, and the updates' splits into children built ahead have stopped too.
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> leaves;
    const auto unchanged = [&] {
        const auto before = leaves;
        leaves = leafCells(limited.landscape);
        return isSettled(limited.landscape) && leaves == before;
    };
    ASSERT_GT(pumpUntilIdle([&] { limited.landscape.update(above); }, unchanged, 20000), 0);
    checkConvergedTree(limited.landscape, above);
    EXPECT_EQ(leafCells(limited.landscape), leafCells(unlimited.landscape));
}

TEST(LevelOfDetail, LevelsAlwaysSplitAreAskedForAtOnceAndDrawnTogetherWithinTheLimit)
{
    // From high above, most of the map's 256 patches of the shallowest drawn level are in view.
    const CameraState above = lookAt(Ogre::Vector3(0, 9000, -2500), Ogre::Vector3(0, 0, 0));
    FractalTerrain unlimited(16);
    FractalTerrain limited(16);
    constexpr size_t kDrawnPerUpdate = 6;
    limited.landscape.setUpdateLimits(kDrawnPerUpdate, 0);
    for (FractalTerrain* terrain : {&unlimited, &limited})
    {
        const bool isLimited = terrain == &limited;
        SCOPED_TRACE(isLimited ? "limited" : "unlimited");
        // Beginning the tree, or else the first update, builds the root and asks for every patch
        // of levels 1 to 4. A tree that no update has drawn answers no query.
        if (isLimited)
        {
            terrain->landscape.update(above);
        }
        else
        {
            terrain->landscape.beginTree();
            uint8_t level = 0;
            EXPECT_EQ(terrain->landscape.getHeight(0, 0, level, nullptr), Landscape::kNoHeight);
        }
        EXPECT_EQ(terrain->view.patchCount(), 1u + 4u + 16u + 64u + 256u);
        EXPECT_EQ(terrain->landscape.pendingBuilds(), 340);
        // Updates, each after the build thread has delivered, until no patch above level 4 is
        // drawn in view.
        size_t inView = 0, updates = 0, worstNew = 0;
        for (bool shallow = true; shallow && updates < 200;)
        {
            waitForBuilds(terrain->landscape);
            const std::set<const PatchNode*> before = drawnInView(terrain->view.root(), above);
            terrain->landscape.update(above);
            ++updates;
            const std::set<const PatchNode*> after = drawnInView(terrain->view.root(), above);
            size_t fresh = 0;
            shallow = false;
            for (const PatchNode* node : after)
            {
                fresh += before.count(node) ? 0 : 1;
                shallow = shallow || node->level < 4;
            }
            worstNew = std::max(worstNew, fresh);
            inView = after.size();
        }
        EXPECT_GT(inView, 100u);
        // Built ahead, the four levels are drawn by one update, not one level an update; under
        // a limit, by as many as the limit asks (the first split of an update goes through
        // whatever it costs: four patches).
        if (isLimited)
            EXPECT_LE(worstNew, std::max<size_t>(kDrawnPerUpdate, 4));
        else
            EXPECT_EQ(updates, 1u);
        ASSERT_GT(settle(terrain->landscape, above), 0);
        checkConvergedTree(terrain->landscape, above);
    }
    EXPECT_EQ(leafCells(limited.landscape), leafCells(unlimited.landscape));
}

TEST(LevelOfDetail, AFirstViewAsksForTheLevelsItWillSplitAheadAndReachesTheSameTree)
{
    // Low over the map's corner, looking across it: the view refines three levels below the four
    // always split, one an update if each waited for the update that drew the one above.
    FractalTerrain opening(16);
    FractalTerrain later(16);
    const float samplesPerUnit = float(opening.edge - 1) / kTerrainSize;
    const size_t corner = size_t(1000.0f * samplesPerUnit);
    const float ground = float(opening.samples[corner * opening.edge + corner]) * (kTerrainHeight / 65535.0f);
    const Ogre::Vector3 eye(-3000, ground + 60.0f, -3000);
    const CameraState camera = lookAt(eye, Ogre::Vector3(0, eye.y - 200.0f, 0));
    // The same view reached after a first view elsewhere, for which nothing was built ahead.
    ASSERT_GT(settle(later.landscape, lookAt(Ogre::Vector3(3000, 3000, 3000), Ogre::Vector3(3500, 0, 3500))), 0);
    ASSERT_GT(settle(later.landscape, camera), 0);

    // Updates, each once the build thread has delivered everything asked for, until no build is
    // left; the patches drawn in view after each.
    std::vector<std::set<const PatchNode*>> inView;
    do
    {
        waitForBuilds(opening.landscape);
        opening.landscape.update(camera);
        inView.push_back(drawnInView(opening.view.root(), camera));
    } while (!isSettled(opening.landscape) && inView.size() < 200);
    ASSERT_TRUE(isSettled(opening.landscape));
    uint32_t deepest = 0;
    size_t drawnBelowForced = 0;
    for (const PatchNode* node : inView.back())
    {
        deepest = std::max(deepest, node->level);
        drawnBelowForced += node->level > 4 ? 1 : 0;
    }
    ASSERT_GE(deepest, 4u + 3u) << "the view does not refine far enough to tell";
    // The first update makes the root, the second draws the levels always split; one update a
    // level below those would then draw the view at the (deepest - 2)-th at the soonest.
    size_t drawnAt = inView.size();
    while (drawnAt > 1 && inView[drawnAt - 2] == inView.back())
        --drawnAt;
    EXPECT_LT(drawnAt, size_t(deepest - 2));
    checkConvergedTree(opening.landscape, camera);
    EXPECT_EQ(leafCells(opening.landscape), leafCells(later.landscape));
    // What was built ahead and not drawn is kept as a merged patch's children are: on this map,
    // a small share of what the view draws below the levels always split.
    uint64_t offDrawnPaths = 0;
    forEachNode(opening.view.root(), [&](const PatchNode* node) { offDrawnPaths += node->isOnDrawnPath() ? 0 : 1; });
    EXPECT_LE(offDrawnPaths, drawnBelowForced / 4);
}

namespace
{
// The patches whose builds the build thread begins, in that order (their ids). Made with the
// thread stopped, as the landscape's callbacks may change only then; the test starts it again.
class BuildOrder
{
public:
    explicit BuildOrder(Landscape& landscape)
    {
        landscape.stop(true);
        landscape.setCallbacks({}, {}, {}, [this](int id) {
            std::lock_guard<std::mutex> guard(lock);
            ids.push_back(unsigned(id));
        });
    }
    std::vector<unsigned int> taken()
    {
        std::lock_guard<std::mutex> guard(lock);
        return ids;
    }

private:
    std::mutex lock;
    std::vector<unsigned int> ids;
};
} // namespace

TEST(LevelOfDetail, TheFirstUpdateWithACameraPutsTheLevelsAlwaysSplitInViewFirst)
{
    // A tree begun before any camera asks for the 340 patches of levels 1 to 4 in no order of
    // view. The first update that has a camera reorders what waits: levels 1 to 3 first (the
    // root draws none of its children until all four are ready, in view or not), then the
    // patches of level 4 in view, then the rest. The build thread is held until then, so that
    // nothing is built before the camera is known, and the builds' order is read from it.
    FractalTerrain terrain(16);
    BuildOrder builds(terrain.landscape);
    terrain.landscape.beginTree();
    const CameraState camera = lookAt(Ogre::Vector3(-2500, 300, -2500), Ogre::Vector3(-4000, 0, -3500));
    terrain.landscape.update(camera);
    // In view as the update saw them: boxes of unbuilt patches take their height range from the
    // root, the one patch built.
    std::map<unsigned int, const PatchNode*> nodes;
    std::set<const PatchNode*> seen;
    forEachNode(terrain.view.root(), [&](const PatchNode* node) {
        nodes[terrain.landscape.patchId(node)] = node;
        if (camera.isVisible(node->testBox(), CameraState::kAllPlanes))
            seen.insert(node);
    });
    terrain.landscape.start();
    ASSERT_GT(waitForBuilds(terrain.landscape), 0);

    const std::vector<unsigned int> order = builds.taken();
    ASSERT_EQ(order.size(), 340u);
    size_t inView = 0, shallow = 0, position = 0;
    size_t lastShallow = 0, lastInView = 0, firstOutOfView = order.size();
    for (unsigned int id : order)
    {
        ASSERT_EQ(nodes.count(id), 1u);
        const PatchNode* node = nodes[id];
        if (node->level < 4)
        {
            shallow += 1;
            lastShallow = position;
        }
        else if (seen.count(node))
        {
            inView += 1;
            lastInView = position;
        }
        else
        {
            firstOutOfView = std::min(firstOutOfView, position);
        }
        position += 1;
    }
    EXPECT_EQ(shallow, 84u);
    ASSERT_GT(inView, 8u) << "the view sees too little to tell";
    ASSERT_LT(inView, 128u) << "the view sees too much to tell";
    EXPECT_EQ(lastShallow, shallow - 1) << "levels 1 to 3 come first";
    EXPECT_EQ(lastInView, shallow + inView - 1) << "then level 4 in view";
    EXPECT_EQ(firstOutOfView, shallow + inView);
}

namespace
{
// Every drawn patch with its state, and the morph factor of each one in view.
std::vector<std::tuple<uint32_t, uint32_t, uint32_t, int32_t, float>> drawnState(Landscape& landscape,
                                                                                  const CameraState& camera)
{
    landscape.notifyCamera(camera);
    std::set<const PatchGeometry*> inView(landscape.getVisiblePatches().begin(), landscape.getVisiblePatches().end());
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t, int32_t, float>> state;
    for (const PatchNode* leaf : drawnLeaves(landscape))
        state.emplace_back(leaf->level, leaf->cellX, leaf->cellZ, leaf->state,
                           inView.count(&leaf->geometry) ? leaf->lod : -1.0f);
    return state;
}

// One frame as the terrain drives the Landscape: the update, then the patches in view collected.
void frame(Landscape& landscape, const CameraState& camera)
{
    landscape.update(camera);
    landscape.notifyCamera(camera);
}

// Frames until nothing is left to do for the camera: no build, no walk put off for its time and
// no split held back for the update limits. Returns the frames, 0 when it gave up (bounded).
int settleWhole(Landscape& landscape, const CameraState& camera)
{
    return pumpUntilIdle([&] { frame(landscape, camera); },
                         [&] {
                             return isSettled(landscape) && landscape.walksPutOff() == 0 &&
                                    landscape.drawnHeldBack() == 0;
                         },
                         20000);
}

// A camera path of 360 frames, 40 each: still, creeping, gliding, flying, turning on the spot,
// jumping (300 units a frame), gliding, creeping and flying, with a zoom (a new pixel scale) at
// frame 200 and a new detail threshold (6) for the terrains driven along it at frame 280.
struct RestlessPath
{
    static constexpr int kFrames = 360;
    static constexpr int kNewThresholdFrame = 280;
    explicit RestlessPath(uint32_t seed = 2024) : random(seed) {}
    std::mt19937 random;
    std::uniform_real_distribution<float> unit{-1.0f, 1.0f};
    Ogre::Vector3 eye{-1500, 300, -1200};
    Ogre::Vector3 way{1, -0.1f, 0.7f};
    float fov = 60.0f;

    // The camera of the frame, after the terrains' threshold change when it is due.
    CameraState next(int frame, std::initializer_list<FractalTerrain*> terrains)
    {
        if (frame == kNewThresholdFrame)
            for (FractalTerrain* terrain : terrains)
                terrain->landscape.setDetailThreshold(6.0f);
        const int phase = frame / 40;
        const float speed = std::array<float, 9>{0, 0.5f, 4, 40, 0, 300, 12, 2, 60}[size_t(phase)];
        if (phase == 4) // turning on the spot
            way = Ogre::Quaternion(Ogre::Degree(9), Ogre::Vector3::UNIT_Y) * way;
        else if (frame % 7 == 0)
            way = (way + Ogre::Vector3(unit(random), 0.2f * unit(random), unit(random)) * 0.3f).normalisedCopy();
        eye += way.normalisedCopy() * speed;
        eye.y = std::clamp(eye.y, 60.0f, 2000.0f);
        if (frame == 200)
            fov = 35.0f;
        return lookAt(eye, eye + way * 100.0f + Ogre::Vector3(0, -30, 0), fov);
    }
};

} // namespace

TEST(LevelOfDetail, PassingOverUnchangedSubtreesDecidesAsAFullWalkDoes)
{
    // Two trees driven alike, builds done between updates: one update walks every drawn node,
    // the other passes over subtrees where nothing changed and the eye has not gone far enough
    // for a decision to flip. They must agree on every drawn patch, its state and, in view, its
    // morph factor, after every update of the restless path. TERRAIN_LONG_RUN=1: more patch
    // sizes and paths.
    const char* longRun = std::getenv("TERRAIN_LONG_RUN");
    const bool longer = longRun && *longRun && *longRun != '0';
    std::vector<std::pair<int, uint32_t>> runs{{16, 2024}}; // patch size, path seed
    if (longer)
        runs.insert(runs.end(), {{2, 1}, {4, 2}, {8, 3}, {16, 4}, {32, 5}, {64, 6}});
    for (const auto& [patchSize, seed] : runs)
    {
        SCOPED_TRACE(testing::Message() << "patch size " << patchSize << ", path " << seed);
        FractalTerrain everything(patchSize);
        FractalTerrain passing(patchSize);
        RestlessPath path(seed);
        for (int frame = 0; frame < RestlessPath::kFrames; ++frame)
        {
            SCOPED_TRACE(frame);
            const CameraState camera = path.next(frame, {&everything, &passing});
            everything.view.walkEverything();
            everything.landscape.update(camera);
            passing.landscape.update(camera);
            ASSERT_EQ(drawnState(passing.landscape, camera), drawnState(everything.landscape, camera));
            waitForBuilds(everything.landscape);
            waitForBuilds(passing.landscape);
        }
    }
}

TEST(LevelOfDetail, AWalkOutOfTimeLeavesWhatIsOutOfViewToLaterUpdatesAndReachesTheSameTree)
{
    // A walk with no time at all walks kFewestLateWalks nodes out of view, and leaves the rest
    // of them to later updates. Driven alike along the restless path, builds done between
    // updates, it must draw what the camera sees as finely as an unhurried walk does, after
    // every update; and once both have settled, the same tree.
    FractalTerrain unhurried(16);
    FractalTerrain hurried(16);
    hurried.landscape.setWalkTime(std::chrono::microseconds(0));
    RestlessPath path;
    size_t putOff = 0;
    int updatesPuttingOff = 0;
    CameraState camera;
    for (int frame = 0; frame < RestlessPath::kFrames; ++frame)
    {
        SCOPED_TRACE(frame);
        camera = path.next(frame, {&unhurried, &hurried});
        unhurried.landscape.update(camera);
        hurried.landscape.update(camera);
        putOff += hurried.landscape.walksPutOff();
        updatesPuttingOff += hurried.landscape.walksPutOff() > 0 ? 1 : 0;
        // What the camera sees is as fine as the threshold asks, or on its way there; a split
        // that ground out of view would force on it may come an update or two later.
        for (FractalTerrain* terrain : {&unhurried, &hurried})
        {
            SCOPED_TRACE(terrain == &hurried ? "hurried" : "unhurried");
            const LandscapeTestView& view = terrain->view;
            forEachDrawn(view.root(), [&](const PatchNode* leaf) {
                if (leaf->level < view.maxLevel() && leaf->state != kSplitting &&
                    camera.isVisible(leaf->testBox(), CameraState::kAllPlanes))
                {
                    EXPECT_LE(view.screenError(leaf, camera), view.detailThreshold()) << "level " << leaf->level;
                }
            });
        }
        EXPECT_EQ(unhurried.landscape.walksPutOff(), 0u);
        waitForBuilds(unhurried.landscape);
        waitForBuilds(hurried.landscape);
    }
    EXPECT_GT(updatesPuttingOff, 10) << putOff << " nodes put off in all";
    // A last change of every decision with the camera still: what the walk puts off is not
    // left behind for want of the eye moving on.
    for (FractalTerrain* terrain : {&unhurried, &hurried})
        terrain->landscape.setDetailThreshold(4.0f);
    ASSERT_GT(settleWhole(unhurried.landscape, camera), 0);
    ASSERT_GT(settleWhole(hurried.landscape, camera), 0);
    EXPECT_EQ(drawnState(hurried.landscape, camera), drawnState(unhurried.landscape, camera));
}

TEST(LevelOfDetail, ANewThresholdOrPixelScaleReachesTheWholeTreeThroughAWalkOutOfTime)
{
    // A new threshold or pixel scale (a zoom) changes every decision, and with them the slack
    // that says when each is due again. A walk out of time leaves the ground out of view to later
    // updates, which pass over what is not due: it must still decide all of it afresh, with the
    // camera still, as the unhurried walk does at once.
    FractalTerrain unhurried(16);
    FractalTerrain hurried(16);
    hurried.landscape.setWalkTime(std::chrono::microseconds(0));
    const Ogre::Vector3 eye(-1500, 300, -1200);
    const Ogre::Vector3 target(-500, 0, -1000);
    const auto compare = [&](const CameraState& camera) {
        ASSERT_GT(settleWhole(unhurried.landscape, camera), 0);
        ASSERT_GT(settleWhole(hurried.landscape, camera), 0);
        EXPECT_GT(checkConvergedTree(hurried.landscape, camera), 150u);
        EXPECT_EQ(drawnState(hurried.landscape, camera), drawnState(unhurried.landscape, camera));
    };
    const CameraState wide = lookAt(eye, target);
    compare(wide);
    for (float threshold : {5.0f, 11.0f})
    {
        SCOPED_TRACE(threshold);
        unhurried.landscape.setDetailThreshold(threshold);
        hurried.landscape.setDetailThreshold(threshold);
        compare(wide);
        if (HasFailure())
            return;
    }
    SCOPED_TRACE("zoomed");
    compare(lookAt(eye, target, 25.0f));
}

TEST(LevelOfDetail, GroundHeldBackOutOfViewRefinesWhenATurnOnTheSpotBringsItIntoView)
{
    // Under a memory budget the ground out of view stays as coarse as it stands (hold) or merges
    // back (coarsen), while what is in view refines as asked. A leaf kept from splitting passes
    // for stable until the eye goes away from it, and a turn on the spot does not move the eye:
    // the ground it brings into view must refine all the same. The patches in view are
    // collected after every update, as the terrain does when it draws.
    for (Landscape::OutOfView mode : {Landscape::OutOfView::hold, Landscape::OutOfView::coarsen})
    {
        SCOPED_TRACE(int(mode));
        FractalTerrain terrain(16);
        terrain.landscape.setOutOfView(mode);
        const Ogre::Vector3 eye(-1500, 300, -1200);
        const CameraState ahead = lookAt(eye, eye + Ogre::Vector3(1000, -200, 300));
        const CameraState behind = lookAt(eye, eye - Ogre::Vector3(1000, 200, 300));
        // From high above first, where the whole map is coarse; then at the eye, looking ahead.
        ASSERT_GT(settleWhole(terrain.landscape, lookAt(Ogre::Vector3(0, 20000, 0), Ogre::Vector3(0, 0, 1))), 0);
        ASSERT_GT(settleWhole(terrain.landscape, ahead), 0);
        checkConvergedTree(terrain.landscape, ahead, true);
        size_t coarseBehind = 0;
        forEachDrawn(terrain.view.root(), [&](const PatchNode* leaf) {
            if (leaf->level < terrain.view.maxLevel() && behind.isVisible(leaf->testBox(), CameraState::kAllPlanes) &&
                terrain.view.screenError(leaf, behind) > terrain.view.detailThreshold())
                ++coarseBehind;
        });
        EXPECT_GT(coarseBehind, 10u) << "the ground behind should have been left coarse";
        ASSERT_GT(settleWhole(terrain.landscape, behind), 0);
        EXPECT_GT(checkConvergedTree(terrain.landscape, behind, true), 150u);
        if (HasFailure())
            return;
    }
}

TEST(LevelOfDetail, NewSettingsLimitsAndHeldGroundAlwaysSettleToAWholeTree)
{
    // Cameras that glide, jump, zoom and turn on the spot, a new threshold on the way, under
    // each combination of the owner's limits: hand-overs per update, a walk out of time, and the
    // ground out of view refined, held or merged back for a memory budget. Once settled, the
    // tree has no hole or crack, keeps its slack, and draws nothing coarser than the threshold
    // asks: in view, and everywhere while the ground out of view refines. The patches in view
    // are collected after every update, as the terrain does. TERRAIN_LONG_RUN=1: more patch
    // sizes and seeds.
    const char* longRun = std::getenv("TERRAIN_LONG_RUN");
    const bool longer = longRun && *longRun && *longRun != '0';
    std::vector<std::pair<int, uint32_t>> sizes{{2, 513}, {16, 1025}}; // patch size, map edge
    if (longer)
        sizes.insert(sizes.end(), {{4, 1025}, {8, 1025}, {32, 2049}, {64, 4097}});
    for (const auto& [patchSize, edge] : sizes)
        for (uint32_t seed = 1; seed <= (longer ? 3u : 1u); ++seed)
        {
            SCOPED_TRACE(testing::Message() << "patch size " << patchSize << ", seed " << seed);
            FractalTerrain terrain(patchSize, edge, seed);
            std::mt19937 random(seed);
            std::uniform_real_distribution<float> fov(15.0f, 90.0f);
            for (int round = 0; round < 6; ++round)
            {
                SCOPED_TRACE(round);
                const auto mode = Landscape::OutOfView(round % 3);
                terrain.landscape.setOutOfView(mode);
                terrain.landscape.setUpdateLimits(round & 1 ? 3 : 0, round & 1 ? 5 : 0);
                terrain.landscape.setWalkTime(round & 2 ? std::chrono::microseconds(0) : std::chrono::microseconds::max());
                CameraState camera = randomCamera(random);
                for (int move = 0; move < 30; ++move)
                {
                    if (move % 3 == 0)
                    {
                        const Ogre::Vector3 ahead = camera.position + camera.planes[0].normal * 100.0f;
                        const Ogre::Vector3 step(30, 0, 20);
                        camera = move % 9 == 0 ? randomCamera(random)
                                 : move % 9 == 3 ? lookAt(camera.position, ahead, fov(random))
                                                 : lookAt(camera.position + step, ahead + step);
                    }
                    if (move == 15)
                        terrain.landscape.setDetailThreshold(round % 2 ? 8.0f : 5.0f);
                    for (int k = int(random() % 4); k > 0; --k)
                        frame(terrain.landscape, camera);
                }
                const bool held = mode != Landscape::OutOfView::refine;
                ASSERT_GT(settleWhole(terrain.landscape, camera), 0);
                checkConvergedTree(terrain.landscape, camera, held);
                const CameraState turned = lookAt(camera.position, camera.position - camera.planes[0].normal * 100.0f);
                ASSERT_GT(settleWhole(terrain.landscape, turned), 0);
                checkConvergedTree(terrain.landscape, turned, held);
                if (HasFailure())
                    return;
            }
        }
}

TEST(LevelOfDetail, EveryRegionIsDrawnAgainAfterRestlessCameraMoves)
{
    FractalTerrain terrain(16);
    std::mt19937 random(99);
    // Cameras that never wait for the builds: splits and merges are abandoned half way, over
    // and over. Afterwards, a bounded number of updates must bring back a whole drawn surface.
    for (int round = 0; round < 12; ++round)
    {
        CameraState camera = randomCamera(random);
        std::uniform_int_distribution<int> updates(1, 4);
        for (int move = 0; move < 60; ++move)
        {
            if (move % 3 == 0)
                camera = randomCamera(random);
            const int count = updates(random);
            for (int k = 0; k < count; ++k)
                terrain.landscape.update(camera);
        }
        ASSERT_GT(settle(terrain.landscape, camera), 0);
        checkConvergedTree(terrain.landscape, camera);
        if (HasFailure())
            return;
    }
}

TEST(LevelOfDetail, PatchSizeTwoStaysWithinItsSlackAndMergesBack)
{
    // Two quads per edge still stitch against a neighbour one level coarser. With no slack at
    // all, every split would force its neighbours to split, level after level, and nothing
    // could ever merge.
    FractalTerrain terrain(2, 513);
    EXPECT_EQ(terrain.view.levelSlack(), 1u);
    const CameraState low = lookAt(Ogre::Vector3(-500, 150, -300), Ogre::Vector3(0, 0, 0));
    ASSERT_GT(settle(terrain.landscape, low), 0);
    EXPECT_GT(checkConvergedTree(terrain.landscape, low), 100u);
    const uint64_t refined = terrain.view.patchCount();
    const CameraState away = lookAt(Ogre::Vector3(0, 500, 200000), Ogre::Vector3(0, 500, 300000));
    ASSERT_GT(settle(terrain.landscape, away), 0);
    for (int k = 0; k < 510; ++k)
        terrain.landscape.update(away);
    ASSERT_GT(settle(terrain.landscape, away), 0);
    EXPECT_LT(terrain.view.patchCount() * 4, refined) << "merged back";
}

TEST(LevelOfDetail, PatchSizeTwoStaysWithinItsSlackFromTheFirstView)
{
    // With one level of slack, a patch may merge beside one whose split is still under way, and
    // its kept children may go before that split draws its children, two levels deeper than the
    // merged patch. The merged patch must then split again: nothing is linked to it at the new
    // level, but its next walk is due all the same. A race with the build thread, most likely
    // while a first view refines from the root: each view below gives it a chance.
    std::mt19937 random(29);
    std::uniform_real_distribution<float> across(-1000.0f, 1000.0f);
    std::uniform_real_distribution<float> height(100.0f, 250.0f);
    for (int view = 0; view < 8; ++view)
    {
        SCOPED_TRACE(view);
        FractalTerrain terrain(2, 513, uint32_t(11 + view));
        const Ogre::Vector3 eye(across(random), height(random), across(random));
        const CameraState camera = lookAt(eye, Ogre::Vector3(across(random), 0, across(random)));
        ASSERT_GT(settle(terrain.landscape, camera), 0);
        checkConvergedTree(terrain.landscape, camera);
        if (HasFailure())
            return;
    }
}

namespace
{
struct NodeCensus
{
    uint64_t nodes = 0;     // every node in the tree
    uint64_t drawnPath = 0; // nodes drawn themselves or through their descendants
};

NodeCensus census(const PatchNode* node, bool onPath = true)
{
    NodeCensus out{1, onPath ? 1u : 0u};
    for (const auto& child : node->children)
        if (child)
        {
            const NodeCensus below = census(child.get(), onPath && node->drawsChildren());
            out.nodes += below.nodes;
            out.drawnPath += below.drawnPath;
        }
    return out;
}
} // namespace

TEST(LevelOfDetail, KeptChildrenAreFreedAndMemoryFallsBack)
{
    FractalTerrain terrain(16);
    const float threshold = terrain.view.detailThreshold();
    // Far beyond the terrain's edge, looking away from it.
    const CameraState away = lookAt(Ogre::Vector3(0, 500, 200000), Ogre::Vector3(0, 500, 300000));
    ASSERT_GT(settle(terrain.landscape, away), 0);

    // A long fly-over close to the ground, back and forth, never waiting for the builds. After
    // every update, no drawn patch keeps children once its error has fallen below the share of
    // the threshold at which they go, passed over by the walk or not.
    uint64_t mostPatches = 0;
    CameraState low;
    for (int step = 0; step < 400; ++step)
    {
        const float t = float(step % 200) / 200.0f;
        const float x = (step / 200) % 2 ? 3000.0f - 6000.0f * t : -3000.0f + 6000.0f * t;
        low = lookAt(Ogre::Vector3(x, 60, -200), Ogre::Vector3(x + 100, 0, 300));
        terrain.landscape.update(low);
        terrain.landscape.update(low);
        mostPatches = std::max(mostPatches, terrain.view.patchCount());
        const NodeCensus live = census(terrain.view.root());
        ASSERT_EQ(live.nodes + terrain.view.queue().retiredCount(), terrain.view.patchCount());
        for (const PatchNode* leaf : drawnLeaves(terrain.landscape))
        {
            if (leaf->state != kLeaf || !leaf->hasChildren())
                continue;
            ASSERT_GE(terrain.view.screenError(leaf, low), threshold * Landscape::kKeptErrorShare * 0.999f)
                << "step " << step << ", level " << leaf->level;
        }
    }

    // Settled where the flight ended (the flight did not wait for the builds), then a coarser
    // threshold there: the patches whose error is below it merge and, the eye being near, keep
    // their children.
    ASSERT_GT(settle(terrain.landscape, low), 0);
    terrain.landscape.setDetailThreshold(threshold * 1.8f);
    ASSERT_GT(settle(terrain.landscape, low), 0);
    NodeCensus kept = census(terrain.view.root());
    EXPECT_GT(kept.nodes, kept.drawnPath) << "merged children are kept for a while";
    // Half of them given back at once (as a memory budget does) under a limit of one free per
    // update still go by an eighth at least at every update, not one by one.
    terrain.landscape.setUpdateLimits(4, 1);
    terrain.landscape.freeKeptSubtrees(terrain.view.memoryBytes() / kept.nodes * (kept.nodes - kept.drawnPath) / 2);
    const size_t detached = terrain.view.queue().retiredCount();
    ASSERT_GT(detached, 100u);
    for (int k = 0; k < 24; ++k)
        terrain.landscape.update(low);
    EXPECT_LT(terrain.view.queue().retiredCount() * 8, detached);
    terrain.landscape.setUpdateLimits(0, 0);
    // The others are kept for 500 updates of a camera that stays, then freed.
    kept = census(terrain.view.root());
    ASSERT_GT(kept.nodes, kept.drawnPath);
    for (int k = 0; k < 510; ++k)
        terrain.landscape.update(low);
    ASSERT_GT(settle(terrain.landscape, low), 0);
    const NodeCensus aged = census(terrain.view.root());
    EXPECT_EQ(aged.nodes, aged.drawnPath);

    // Merged again, then away: the eye is far beyond twice the distance of any split, and the
    // kept children go with the first updates, not 500 updates later.
    terrain.landscape.setDetailThreshold(threshold);
    ASSERT_GT(settle(terrain.landscape, low), 0);
    terrain.landscape.setDetailThreshold(threshold * 1.8f);
    ASSERT_GT(settle(terrain.landscape, low), 0);
    kept = census(terrain.view.root());
    ASSERT_GT(kept.nodes, kept.drawnPath);
    terrain.landscape.setDetailThreshold(threshold);
    const int updates = settle(terrain.landscape, away);
    ASSERT_GT(updates, 0);
    EXPECT_LT(updates, 100);
    const NodeCensus after = census(terrain.view.root());
    EXPECT_EQ(after.nodes, after.drawnPath);
    EXPECT_EQ(terrain.view.queue().retiredCount(), 0u);
    EXPECT_EQ(terrain.view.patchCount(), after.nodes);
    EXPECT_LT(after.nodes * 2, mostPatches);
    // The memory counter never drifted: with every node freed it is back at exactly 0. A tree
    // cleared for a new one leaves its arrays to the build thread, which frees them between its
    // next builds instead of the frame that clears the tree.
    terrain.landscape.stop(true);
    terrain.landscape.clear(true);
    EXPECT_EQ(terrain.view.patchCount(), 0u);
    EXPECT_EQ(terrain.view.memoryBytes(), 0u);
    EXPECT_GE(terrain.view.retiredArrays(), after.nodes - 1 - 4 - 16 - 64);
    terrain.landscape.start();
    ASSERT_GT(settle(terrain.landscape, away), 0);
    EXPECT_GT(pumpUntilIdle([] {}, [&] { return terrain.view.retiredArrays() == 0; }, 200000), 0);
}

TEST(LevelOfDetail, LevelsAlwaysSplitGiveTheirRecordsUpAndAMergeBuildsThemAgainAsBefore)
{
    FractalTerrain terrain(16);
    // With no level always split, the far view draws the coarsest patches.
    terrain.landscape.setLevelLimits(0, terrain.deepest);
    const CameraState away = lookAt(Ogre::Vector3(0, 500, 200000), Ogre::Vector3(0, 500, 300000));
    ASSERT_GT(settle(terrain.landscape, away), 0);
    using Cell = std::tuple<uint32_t, uint32_t, uint32_t>;
    const auto drawnRecords = [&] {
        std::map<Cell, std::vector<float>> records;
        for (const PatchNode* leaf : drawnLeaves(terrain.landscape))
        {
            const float* v = leaf->geometry.vertices;
            records[{leaf->level, leaf->cellX, leaf->cellZ}].assign(
                v, v ? v + leaf->geometry.vertexCount * kFloatsPerVertex : v);
        }
        return records;
    };
    const std::map<Cell, std::vector<float>> seenFromAfar = drawnRecords();
    ASSERT_LT(std::get<0>(seenFromAfar.begin()->first), 3u);

    // Levels 0 to 2 always split: once their children are drawn they give their records up, and
    // the memory counter follows. Split nodes below them keep theirs for a quick merge.
    terrain.landscape.setLevelLimits(3, terrain.deepest);
    const CameraState low = lookAt(Ogre::Vector3(-500, 60, -300), Ogre::Vector3(0, 0, 0));
    ASSERT_GT(settle(terrain.landscape, low), 0);
    uint64_t shallow = 0, deepSplit = 0, records = 0;
    forEachNode(terrain.view.root(), [&](const PatchNode* node) {
        shallow += node->level < 3;
        deepSplit += node->level >= 3 && node->state == kSplit;
        records += node->geometry.vertexCount * kVertexBytes;
        EXPECT_EQ(node->isBuilt(), node->level >= 3) << "level " << node->level;
    });
    EXPECT_EQ(shallow, 1u + 4u + 16u);
    EXPECT_GT(deepSplit, 20u);
    EXPECT_GT(terrain.view.memoryBytes(), records);
    EXPECT_LT(terrain.view.memoryBytes(), records + terrain.view.patchCount() * 1024);

    // Away again with no level always split: the merges build the coarse patches afresh, and the
    // view is the one first seen, to the last bit of every record.
    terrain.landscape.setLevelLimits(0, terrain.deepest);
    ASSERT_GT(settle(terrain.landscape, away), 0);
    const std::map<Cell, std::vector<float>> seenAgain = drawnRecords();
    // Children kept for a quick split back can all be drawn at once: none gave its records up.
    forEachNode(terrain.view.root(), [&](const PatchNode* node) {
        EXPECT_TRUE(node->isBuilt() || node->isOnDrawnPath()) << "kept at level " << node->level;
    });
    ASSERT_EQ(seenAgain.size(), seenFromAfar.size());
    for (const auto& [cell, vertices] : seenFromAfar)
    {
        const auto found = seenAgain.find(cell);
        ASSERT_NE(found, seenAgain.end());
        ASSERT_FALSE(vertices.empty());
        EXPECT_TRUE(found->second == vertices) << "level " << std::get<0>(cell);
    }
}

namespace
{
// Settles the tree for camera, then for one a step aside: the walks pass over most of the tree
// there, so that many leaves keep the morph factors of the first eye position until they are
// drawn or queried. Returns the camera aside.
CameraState settleAndStepAside(FractalTerrain& terrain, const Ogre::Vector3& eye, const Ogre::Vector3& target)
{
    EXPECT_GT(settle(terrain.landscape, lookAt(eye, target)), 0);
    const Ogre::Vector3 step(5, 0, 3);
    const CameraState aside = lookAt(eye + step, target + step);
    EXPECT_GT(settle(terrain.landscape, aside), 0);
    return aside;
}

// The morph factor that every drawn leaf holds.
std::map<const PatchNode*, float> heldMorphs(const FractalTerrain& terrain)
{
    std::map<const PatchNode*, float> held;
    for (const PatchNode* leaf : drawnLeaves(terrain.landscape))
        held[leaf] = leaf->lod;
    return held;
}

// Walks every drawn node for the camera, so that every leaf's lod is its factor for it; returns
// how many leaves had held another one before (see heldMorphs).
int refreshEveryMorph(FractalTerrain& terrain, const CameraState& camera,
                      const std::map<const PatchNode*, float>& before)
{
    terrain.view.walkEverything();
    terrain.landscape.update(camera);
    int changed = 0;
    for (const PatchNode* leaf : drawnLeaves(terrain.landscape))
    {
        const auto held = before.find(leaf);
        changed += held != before.end() && held->second != leaf->lod ? 1 : 0;
    }
    return changed;
}
} // namespace

TEST(LevelOfDetail, HeightQueriesMatchTheDrawnSurface)
{
    FractalTerrain terrain(16);
    std::mt19937 random(5);
    const Ogre::Vector3 eye(-500, 300, -800), target(200, 0, 400);
    CameraState camera = settleAndStepAside(terrain, eye, target);
    // Answers first, while many leaves hold factors of the earlier eye position; then every
    // factor is brought up to date, and the answers must be those of the surface drawn with them.
    // The points are asked once before that, and the eye moves again in between: a factor found
    // for a query is kept in the leaf, and must not outlive the eye position it was found for.
    std::uniform_real_distribution<float> across(-kTerrainSize / 2, kTerrainSize / 2);
    struct Answer
    {
        float x, z, height, approximate;
        uint8_t level;
        Ogre::Vector3 normal;
    };
    std::vector<Answer> answers;
    for (int k = 0; k < 3000; ++k)
    {
        Answer a{across(random), across(random), 0, 0, 0, Ogre::Vector3::ZERO};
        // The first points lie exactly on the edges of the 64 x 64 cells that queries start
        // from (and of every patch of that size or larger), outer edges included.
        if (k < 130)
            (k % 2 ? a.z : a.x) = -kTerrainSize / 2 + kTerrainSize * float(k / 2) / 64.0f;
        answers.push_back(a);
    }
    // Then points in the border cells of every stitched side, where the strip's triangles reach
    // beyond their own cells.
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (const PatchNode* leaf : drawnLeaves(terrain.landscape))
        for (int side = 0; side < 4; ++side)
            for (int k = 0; sideDifference(leaf->edgeLevels, side) != 0 && k < 8; ++k)
            {
                const float depth = unit(random) / float(leaf->edgeVertices - 1);
                const float along = unit(random), inward = side % 2 ? 1.0f - depth : depth;
                const Ogre::Vector3 at = leaf->corners[0] + (leaf->corners[3] - leaf->corners[0]) *
                                                                Ogre::Vector3(side < 2 ? inward : along, 0, side < 2 ? along : inward);
                answers.push_back(Answer{at.x, at.z, 0, 0, 0, Ogre::Vector3::ZERO});
            }
    ASSERT_GT(answers.size(), 3100u) << "too few stitched sides to test";
    for (int round = 0; round < 2; ++round)
    {
        if (round == 1)
        {
            const Ogre::Vector3 step(-9, 0, 4);
            camera = lookAt(eye + step, target + step);
            ASSERT_GT(settle(terrain.landscape, camera), 0);
        }
        const std::map<const PatchNode*, float> held = heldMorphs(terrain);
        for (Answer& a : answers)
        {
            a.height = terrain.landscape.getHeight(a.x, a.z, a.level, &a.normal);
            uint8_t level = 0;
            a.approximate = terrain.landscape.getApproximateHeight(a.x, a.z, level, nullptr);
        }
        if (round == 0)
            continue;
        EXPECT_GT(refreshEveryMorph(terrain, camera, held), 0) << "no leaf was answered with a factor passed over";
        for (const auto& [x, z, height, approximate, level, normal] : answers)
        {
            const PatchNode* leaf = leafContaining(terrain.view.root(), x, z);
            ASSERT_NE(leaf, nullptr);
            ASSERT_EQ(level, leaf->level);
            ASSERT_NEAR(height, drawnHeight(leaf, x, z), 2e-3f) << x << "," << z;
            ASSERT_GT(normal.y, 0.0f);

            // The approximate height is the full-detail height of the nearest vertex.
            const int n = int(leaf->edgeVertices);
            const float fx = (x - leaf->corners[0].x) / (leaf->corners[3].x - leaf->corners[0].x) * float(n - 1);
            const float fz = (z - leaf->corners[0].z) / (leaf->corners[3].z - leaf->corners[0].z) * float(n - 1);
            const int i = std::clamp(int(std::floor(fx + 0.5f)), 0, n - 1);
            const int j = std::clamp(int(std::floor(fz + 0.5f)), 0, n - 1);
            ASSERT_EQ(approximate, leaf->geometry.vertices[(size_t(j) * n + i) * kFloats + 1]);
        }
    }
    uint8_t level = 0;
    EXPECT_EQ(Landscape(0, Ogre::Vector3::ZERO).getHeight(0, 0, level, nullptr), Landscape::kNoHeight);
}

TEST(LevelOfDetail, PatchesInViewNeverNameAFreedPatchWhenNoCollectionCameBetween)
{
    // The host draws the visible list of the last collection. A camera that the engine stops
    // rendering through (a window minimised) still drives updates, which merge and free what
    // that list named: it must lose them, whether the freeing comes with the next update or
    // with one after a collection that saw nothing of them.
    FractalTerrain terrain(16);
    const CameraState near = lookAt(Ogre::Vector3(-500, 300, -800), Ogre::Vector3(200, 0, 400));
    const CameraState far = lookAt(Ogre::Vector3(1700, 900, 1700), Ogre::Vector3(1000, 0, 1000));
    for (const bool collectBetween : {false, true})
    {
        SCOPED_TRACE(collectBetween ? "a collection between" : "no collection between");
        ASSERT_GT(settle(terrain.landscape, near), 0);
        terrain.landscape.notifyCamera(near);
        ASSERT_GT(terrain.landscape.getVisiblePatches().size(), 20u);
        if (collectBetween)
        {
            terrain.landscape.update(far);
            terrain.landscape.notifyCamera(far);
        }
        ASSERT_GT(settle(terrain.landscape, far), 0);
        std::set<const PatchGeometry*> live;
        forEachNode(terrain.view.root(), [&](const PatchNode* node) { live.insert(&node->geometry); });
        for (const PatchGeometry* patch : terrain.landscape.getVisiblePatches())
        {
            ASSERT_TRUE(live.count(patch)) << "a freed patch is still listed in view";
            EXPECT_NE(patch->vertexCount, 0u); // read: a freed one fails under the address sanitizer
        }
    }
}

TEST(LevelOfDetail, PatchesInViewComeFrontToBack)
{
    // Every patch in view that the ground line from the eye to a point of another patch in view
    // crosses comes before that patch in the visible list: drawn in that order, the depth test
    // spares the shading of what nearer ground hides. Eyes inside the map and beyond its edge.
    FractalTerrain terrain(16);
    std::mt19937 random(8);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const std::pair<Ogre::Vector3, Ogre::Vector3> views[] = {{{-500, 300, -800}, {200, 0, 400}},
                                                             {{1700, 900, 300}, {-900, 0, -300}},
                                                             {{-5000, 1500, 2500}, {0, 0, 0}}};
    for (const auto& [eye, target] : views)
    {
        SCOPED_TRACE(eye);
        const CameraState camera = lookAt(eye, target);
        ASSERT_GT(settle(terrain.landscape, camera), 0);
        terrain.landscape.notifyCamera(camera);
        std::map<const PatchGeometry*, size_t> order;
        for (const PatchGeometry* patch : terrain.landscape.getVisiblePatches())
            order.emplace(patch, order.size());
        ASSERT_GT(order.size(), 20u);
        for (const PatchNode* leaf : drawnLeaves(terrain.landscape))
            for (int k = 0; order.count(&leaf->geometry) && k < 4; ++k)
            {
                const Ogre::Vector3 p = leaf->corners[0] + (leaf->corners[3] - leaf->corners[0]) *
                                                               Ogre::Vector3(unit(random), 0, unit(random));
                for (int step = 0; step <= 256; ++step)
                {
                    const Ogre::Vector3 q = eye + (p - eye) * (float(step) / 256.0f);
                    const PatchNode* crossed = leafContaining(terrain.view.root(), q.x, q.z);
                    if (crossed && order.count(&crossed->geometry))
                    {
                        ASSERT_LE(order[&crossed->geometry], order[&leaf->geometry]) << "at " << q;
                    }
                }
            }
    }
}

TEST(LevelOfDetail, HeightQueriesOnPatchEdgesOfAnOddSquareTakeTheDescentsSide)
{
    // Queries start from a grid of cells instead of the root; on a square whose edges do not
    // divide evenly in floating point, a point exactly on a patch edge must still land in the
    // patch the descent from the root picks (the one on the high side).
    FractalTerrain terrain(16);
    std::mt19937 random(3);
    for (float size : {8191.3f, 7777.77f, 12345.6f})
    {
        SCOPED_TRACE(size);
        terrain.landscape.stop(true);
        terrain.landscape.clear();
        terrain.landscape.setBounds(size, Ogre::Vector3(-0.37f * size, 0, -0.61f * size));
        terrain.landscape.start();
        const Ogre::Vector3 centre(0.13f * size, 0, -0.11f * size);
        ASSERT_GT(settle(terrain.landscape, lookAt(centre + Ogre::Vector3(0, 1500, 0), centre + Ogre::Vector3(800, 0, 600))), 0);
        const RootSquare& square = terrain.landscape.square();
        std::uniform_real_distribution<double> along(0.0, 1.0);
        int onEdges = 0;
        for (uint32_t level : {6u, 7u, 8u})
            for (uint32_t c = 1; c < (1u << level); ++c)
            {
                const double cells = double(1u << level);
                // A point on a vertical edge, then one on a horizontal edge.
                const std::pair<float, float> points[2] = {
                    {square.gridX(c, 0.0, level), square.gridZ(0, along(random) * cells, level)},
                    {square.gridX(0, along(random) * cells, level), square.gridZ(c, 0.0, level)}};
                for (const auto& [x, z] : points)
                {
                    uint8_t found = 0;
                    terrain.landscape.getHeight(x, z, found, nullptr);
                    const PatchNode* leaf = leafContaining(terrain.view.root(), x, z);
                    ASSERT_NE(leaf, nullptr);
                    ASSERT_EQ(found, leaf->level) << x << "," << z;
                    onEdges += leaf->corners[0].x == x || leaf->corners[0].z == z ? 1 : 0;
                }
            }
        EXPECT_GT(onEdges, 100) << "points on the edges of drawn patches";
    }
}

namespace
{
struct DrawnLeaf
{
    const PatchNode* leaf;
    Ogre::AxisAlignedBox box; // around the drawn vertices
};

std::vector<DrawnLeaf> drawnLeavesWithBoxes(const Landscape& landscape)
{
    std::vector<DrawnLeaf> out;
    for (const PatchNode* leaf : drawnLeaves(landscape))
    {
        DrawnLeaf entry{leaf, {}};
        for (uint64_t k = 0; k < leaf->geometry.vertexCount; ++k)
            entry.box.merge(drawnVertex(leaf, k));
        out.push_back(entry);
    }
    return out;
}

// Nearest hit of the segment with every strip triangle of every drawn leaf (double precision,
// Moller-Trumbore, both windings); leaves whose vertex box the segment's box misses are skipped.
// Returns the segment parameter, or -1.
double bruteForceHit(const std::vector<DrawnLeaf>& leaves, const Ogre::Vector3& from, const Ogre::Vector3& to)
{
    double best = -1.0;
    const double ox = from.x, oy = from.y, oz = from.z;
    const double dx = double(to.x) - ox, dy = double(to.y) - oy, dz = double(to.z) - oz;
    const Ogre::AxisAlignedBox segmentBox(
        Ogre::Vector3(std::min(from.x, to.x), std::min(from.y, to.y), std::min(from.z, to.z)),
        Ogre::Vector3(std::max(from.x, to.x), std::max(from.y, to.y), std::max(from.z, to.z)));
    for (const DrawnLeaf& entry : leaves)
    {
        if (!entry.box.intersects(segmentBox))
            continue;
        forEachDrawnTriangle(entry.leaf, [&](const Ogre::Vector3& a, const Ogre::Vector3& b, const Ogre::Vector3& c) {
            const double e1x = b.x - a.x, e1y = b.y - a.y, e1z = b.z - a.z;
            const double e2x = c.x - a.x, e2y = c.y - a.y, e2z = c.z - a.z;
            const double px = dy * e2z - dz * e2y, py = dz * e2x - dx * e2z, pz = dx * e2y - dy * e2x;
            const double det = e1x * px + e1y * py + e1z * pz;
            if (std::fabs(det) < 1e-12)
                return;
            const double tx = ox - a.x, ty = oy - a.y, tz = oz - a.z;
            const double u = (tx * px + ty * py + tz * pz) / det;
            if (u < 0.0 || u > 1.0)
                return;
            const double qx = ty * e1z - tz * e1y, qy = tz * e1x - tx * e1z, qz = tx * e1y - ty * e1x;
            const double v = (dx * qx + dy * qy + dz * qz) / det;
            if (v < 0.0 || u + v > 1.0)
                return;
            const double t = (e2x * qx + e2y * qy + e2z * qz) / det;
            if (t >= 0.0 && t <= 1.0 && (best < 0.0 || t < best))
                best = t;
        });
    }
    return best;
}
} // namespace

TEST(LevelOfDetail, RayHitsAreTheNearestHitOfEveryDrawnTriangle)
{
    FractalTerrain terrain(16);
    const CameraState camera = settleAndStepAside(terrain, Ogre::Vector3(300, 400, 300), Ogre::Vector3(900, 0, 1500));
    std::mt19937 random(77);
    std::uniform_real_distribution<float> across(-4000.0f, 4000.0f);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_real_distribution<float> height(-100.0f, 2000.0f);
    // Hits first, while many leaves hold factors of the earlier eye position (see the height
    // queries); then every factor is brought up to date for the brute-force reference.
    struct Shot
    {
        Ogre::Vector3 from, direction, to, point, normal;
        float length;
        bool hit;
    };
    std::vector<Shot> shots;
    const std::map<const PatchNode*, float> held = heldMorphs(terrain);
    for (int k = 0; k < 150; ++k)
    {
        Shot shot;
        shot.from = Ogre::Vector3(across(random), height(random), across(random));
        shot.direction = Ogre::Vector3(unit(random), unit(random) - 0.3f, unit(random)).normalisedCopy();
        shot.length = k % 3 == 0 ? 2000.0f : 100000.0f; // short segments end in mid air
        shot.to = shot.from + shot.direction * shot.length;
        uint8_t level = 0;
        shot.hit = terrain.landscape.intersect(shot.from, shot.to, level, shot.point, shot.normal) != 0;
        shots.push_back(shot);
    }
    EXPECT_GT(refreshEveryMorph(terrain, camera, held), 0) << "no leaf was hit with a factor passed over";
    const std::vector<DrawnLeaf> leaves = drawnLeavesWithBoxes(terrain.landscape);
    int hits = 0;
    for (size_t k = 0; k < shots.size(); ++k)
    {
        const auto& [from, direction, to, point, normal, length, hit] = shots[k];
        const double expected = bruteForceHit(leaves, from, to);
        ASSERT_EQ(hit, expected >= 0.0) << "ray " << k << " from " << from << " along " << direction;
        if (!hit)
            continue;
        ++hits;
        const double t = double(from.distance(point)) / double(from.distance(to));
        ASSERT_NEAR(t * length, expected * length, 0.02) << "ray " << k;
        ASSERT_GE(normal.y, 0.0f);
        // The hit lies on the drawn surface.
        const PatchNode* leaf = leafContaining(terrain.view.root(), point.x, point.z);
        ASSERT_NEAR(point.y, drawnHeight(leaf, point.x, point.z), 0.05f);
    }
    EXPECT_GT(hits, 40);

    // Straight down: the hit is the height query's answer.
    for (int k = 0; k < 200; ++k)
    {
        const float x = across(random), z = across(random);
        uint8_t level = 0;
        Ogre::Vector3 point, normal;
        ASSERT_EQ(terrain.landscape.intersect(Ogre::Vector3(x, 5000, z), Ogre::Vector3(x, -5000, z), level, point, normal), 1);
        ASSERT_NEAR(point.y, terrain.landscape.getHeight(x, z, level, nullptr), 1e-2f);
    }
    // A segment that stops above the ground, or starts below it pointing down, misses.
    uint8_t level = 0;
    Ogre::Vector3 point, normal;
    EXPECT_EQ(terrain.landscape.intersect(Ogre::Vector3(0, 5000, 0), Ogre::Vector3(0, 4000, 0), level, point, normal), 0);
    EXPECT_EQ(terrain.landscape.intersect(Ogre::Vector3(0, -50, 0), Ogre::Vector3(0, -5000, 0), level, point, normal), 0);
}

namespace
{
// A stroke on the in-memory map: samples of columns x0 .. x1-1 and rows z0 .. z1-1 (clipped to
// the map) raised, lowered or flattened, as an editor's brush would; then the Landscape is told,
// with the box the terrain gives for them (a quarter sample wider on each side).
void stroke(FractalTerrain& terrain, int x0, int z0, int x1, int z1, int kind, uint16_t amount)
{
    const int edge = int(terrain.edge);
    x0 = std::max(x0, 0), z0 = std::max(z0, 0), x1 = std::min(x1, edge), z1 = std::min(z1, edge);
    if (x0 >= x1 || z0 >= z1)
        return;
    {
        Lock lock(terrain.landscape.getHeightLock());
        for (int z = z0; z < z1; ++z)
            for (int x = x0; x < x1; ++x)
            {
                uint16_t& s = terrain.samples[size_t(z) * size_t(edge) + size_t(x)];
                s = kind == 0 ? uint16_t(std::min(65535, s + amount)) : kind == 1 ? uint16_t(std::max(0, s - amount)) : amount;
            }
    }
    const float unit = kTerrainSize / float(edge - 1);
    const auto at = [&](int sample, float margin) { return -kTerrainSize / 2 + float(sample) * unit + margin; };
    terrain.landscape.heightsChanged(at(x0, -unit / 4), at(x1, unit / 4), at(z0, -unit / 4), at(z1, unit / 4));
}

// Whether some vertex of a patch, or a point of the ring its border normals look at, lies within
// the rectangle of samples, widened by half a sample: found from the patch's vertices alone.
bool patchReadsSamples(const PatchGeometry& patch, const std::array<int, 4>& rect, uint32_t edge)
{
    const auto n = uint32_t(std::lround(std::sqrt(double(patch.vertexCount))));
    const float* first = patch.vertices;
    const float* last = patch.vertices + (patch.vertexCount - 1) * kFloats;
    const float unit = kTerrainSize / float(edge - 1);
    const auto reads = [&](float low, float high, int from, int to) {
        const float spacing = (high - low) / float(n - 1);
        for (int i = -1; i <= int(n); ++i)
        {
            const float sample = (low + float(i) * spacing + kTerrainSize / 2) / unit;
            if (sample >= float(from) - 0.5f && sample < float(to) + 0.5f)
                return true;
        }
        return false;
    };
    return reads(first[0], last[0], rect[0], rect[2]) && reads(first[2], last[2], rect[1], rect[3]);
}
} // namespace

TEST(LevelOfDetail, HeightEditsRebuildEveryPatchThatReadsThemAndNoOther)
{
    // Strokes of every kind and size, on patch borders, at the map's corners and partly outside
    // it, made between updates of a moving camera (splits and merges under way) and while the
    // build thread works. Once settled: every built node, drawn or kept, holds exactly what a
    // fresh build from the edited map gives; the drawn tree has no crack; and every patch that
    // was rebuilt reads a sample some stroke changed.
    FractalTerrain terrain(16, 1025);
    std::vector<std::array<int, 4>> strokes; // x0, z0, x1, z1 in samples
    uint64_t rebuilt = 0;
    terrain.landscape.stop(true);
    terrain.landscape.setCallbacks(Landscape::PatchCallback(), Landscape::PatchCallback(),
                                   [&](PatchGeometry* patch, int what) {
                                       if (!(what & Landscape::kVerticesChanged))
                                           return;
                                       rebuilt += 1;
                                       EXPECT_TRUE(std::any_of(strokes.begin(), strokes.end(), [&](const auto& rect) {
                                           return patchReadsSamples(*patch, rect, terrain.edge);
                                       })) << "a patch away from every stroke was rebuilt";
                                   },
                                   Landscape::PreBuildCallback());
    terrain.landscape.start();

    std::mt19937 random(4242);
    std::uniform_int_distribution<int> position(-40, int(terrain.edge) + 8);
    std::uniform_int_distribution<int> size(1, 70);
    std::uniform_int_distribution<int> kind(0, 2);
    std::uniform_int_distribution<int> amount(1, 9000);
    std::uniform_int_distribution<int> updates(0, 3);
    const int border = int(terrain.edge - 1) / 16; // samples per level-4 patch
    for (int round = 0; round < 4; ++round)
    {
        SCOPED_TRACE(round);
        CameraState camera = randomCamera(random);
        ASSERT_GT(settle(terrain.landscape, camera), 0);
        for (int k = 0; k < 40; ++k)
        {
            int x0 = position(random), z0 = position(random);
            if (k % 5 == 0) // on a patch border
                x0 = x0 / border * border - size(random) / 2;
            if (k % 11 == 0) // over a corner of the map
                x0 = k % 2 ? -3 : int(terrain.edge) - 5, z0 = k % 3 ? -2 : int(terrain.edge) - 4;
            const std::array<int, 4> rect{x0, z0, x0 + size(random), z0 + size(random)};
            strokes.push_back(rect);
            stroke(terrain, rect[0], rect[1], rect[2], rect[3], kind(random), uint16_t(amount(random)));
            if (k % 8 == 0)
                camera = randomCamera(random);
            for (int u = updates(random); u > 0; --u)
                terrain.landscape.update(camera);
        }
        ASSERT_GT(settle(terrain.landscape, camera), 0);
        uint64_t built = 0;
        forEachNode(terrain.view.root(), [&](const PatchNode* node) {
            if (!node->isBuilt() || HasFailure())
                return;
            built += 1;
            const PatchBuildResult fresh = terrain.view.buildResult(const_cast<PatchNode*>(node));
            ASSERT_EQ(fresh.vertexCount, node->geometry.vertexCount);
            ASSERT_EQ(0, std::memcmp(fresh.vertices.get(), node->geometry.vertices,
                                     size_t(fresh.vertexCount) * kFloats * sizeof(float)))
                << "stale vertices at level " << node->level << " cell " << node->cellX << "," << node->cellZ
                << (node->isOnDrawnPath() ? " (drawn)" : " (kept)");
        });
        checkConvergedTree(terrain.landscape, camera);
        if (HasFailure())
            return;
        EXPECT_GT(built, 40u);
    }
    EXPECT_GT(rebuilt, 100u);
    EXPECT_EQ(terrain.landscape.refreshedPatches(), rebuilt);
}

TEST(LevelOfDetail, AStrokeOnGroundInViewIsRebuiltBeforeTheBuildsOutOfView)
{
    // A stroke's refreshes wait in the build thread's queue beside the builds. Those of patches
    // drawn in view come before every build out of view, also before those a later camera move
    // asks for: a camera that keeps moving asks for new ones at every update, and a brush over
    // ground in view would show nothing until it stopped.
    FractalTerrain terrain(16);
    const CameraState painter = lookAt(Ogre::Vector3(-2500, 300, -2500), Ogre::Vector3(-3500, 0, -3000));
    ASSERT_GT(settle(terrain.landscape, painter), 0);
    BuildOrder builds(terrain.landscape);
    const auto inView = [](const CameraState& camera, const PatchNode* node) {
        return camera.isVisible(node->testBox(), CameraState::kAllPlanes) != CameraState::kOutside;
    };
    // About 200 x 200 units of ground in front of the painter (4 units per sample).
    stroke(terrain, 250, 310, 300, 360, 2, 40000);
    std::set<unsigned int> refreshed;
    for (const PatchNode* leaf : drawnLeaves(terrain.landscape))
        if (leaf->refreshInFlight && inView(painter, leaf))
            refreshed.insert(terrain.landscape.patchId(leaf));
    ASSERT_FALSE(refreshed.empty());

    // The camera moves on towards the stroke: builds in its new view and around its eye.
    const CameraState away = lookAt(Ogre::Vector3(-2900, 300, -2700), Ogre::Vector3(-3900, 0, -3200));
    terrain.landscape.update(away);
    std::set<unsigned int> outOfView;
    forEachNode(terrain.view.root(), [&](const PatchNode* node) {
        // A split asks for its four children in view when any part of it is.
        if (!node->isBuilt() && node->busy > 0 && !inView(away, node->parent))
            outOfView.insert(terrain.landscape.patchId(node));
    });
    ASSERT_FALSE(outOfView.empty()) << "the move asks for nothing out of view to tell";
    terrain.landscape.start();
    ASSERT_GT(waitForBuilds(terrain.landscape), 0);

    const std::vector<unsigned int> order = builds.taken();
    size_t lastRefresh = 0, firstOutOfView = order.size(), position = 0, seen = 0;
    for (unsigned int id : order)
    {
        if (refreshed.count(id))
            lastRefresh = position, seen += 1;
        if (outOfView.count(id))
            firstOutOfView = std::min(firstOutOfView, position);
        position += 1;
    }
    EXPECT_EQ(seen, refreshed.size());
    EXPECT_LT(lastRefresh, firstOutOfView) << "of " << order.size() << " builds";
}
