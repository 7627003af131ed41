// Patch geometry against independent references: analytic height fields, the parent's surface,
// and the area covered by the strip.

#include "LodTestSupport.h"

#include "lod/SpareArrays.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

using namespace testing_support;

namespace
{
constexpr int kFloats = kFloatsPerVertex;

const float* vertex(const PatchNode* node, int i, int j)
{
    return node->geometry.vertices + (size_t(j) * node->edgeVertices + i) * kFloats;
}

// Height of a node's own (m = 1) surface at (x, z), interpolated on the strip's triangles.
float surfaceHeight(const PatchNode* node, float x, float z)
{
    const int n = int(node->edgeVertices);
    const Ogre::Vector3 c0 = node->corners[0], c3 = node->corners[3];
    float fx = (x - c0.x) / (c3.x - c0.x) * float(n - 1);
    float fz = (z - c0.z) / (c3.z - c0.z) * float(n - 1);
    int ix = std::min(int(std::floor(fx)), n - 2), iz = std::min(int(std::floor(fz)), n - 2);
    fx -= float(ix);
    fz -= float(iz);
    const float h00 = vertex(node, ix, iz)[1], h10 = vertex(node, ix + 1, iz)[1];
    const float h01 = vertex(node, ix, iz + 1)[1], h11 = vertex(node, ix + 1, iz + 1)[1];
    if (fx + fz <= 1.0f)
        return h00 + (h10 - h00) * fx + (h01 - h00) * fz;
    return h11 + (h01 - h11) * (1.0f - fx) + (h10 - h11) * (1.0f - fz);
}

// Signed area of a triangle of grid vertices seen from above: positive when it faces +y.
double facingArea(const Triangle& t, int n)
{
    const auto x = [n](uint16_t v) { return double(v % n); };
    const auto z = [n](uint16_t v) { return double(v / n); };
    // Normal y of (b - a) x (c - a), with x right and z towards the viewer: CCW from above.
    return 0.5 * ((z(t.b) - z(t.a)) * (x(t.c) - x(t.a)) - (x(t.b) - x(t.a)) * (z(t.c) - z(t.a)));
}

Landscape& makeLandscape(Landscape& landscape, int patchSize, const HeightField& field, float size = 1024.0f)
{
    landscape.setBounds(size, Ogre::Vector3(-size / 2, 0, -size / 2));
    landscape.setPatchSize(patchSize);
    landscape.setHeightFunction(heightFunction(field));
    return landscape;
}
} // namespace

TEST(PatchGeometry, VerticesNormalsAndBoundsFollowAnalyticFields)
{
    struct Case
    {
        const char* name;
        HeightField field;
        int patchSize;
        float normalTolerance;
    };
    const Case cases[] = {
        {"flat", flatField(12.5f), 8, 0.0f},
        {"tilted plane", tiltedPlane(0.3f, -0.2f, 40.0f), 16, 1e-5f},
        {"sine hills", sineHills(30.0f, 90.0f, 100.0f), 64, 5e-3f}, // second-order discretisation
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Landscape landscape(0, Ogre::Vector3::ZERO);
        makeLandscape(landscape, c.patchSize, c.field);
        LandscapeTestView view(landscape);
        view.createRoot();
        const PatchNode* root = view.root();
        const int n = c.patchSize + 1;
        ASSERT_EQ(root->geometry.vertexCount, uint64_t(n * n));
        ASSERT_EQ(root->geometry.indexCount, uint64_t((2 * n + 4) * (n - 1) - 4));
        Ogre::AxisAlignedBox expectedBounds;
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i)
            {
                const float* v = vertex(root, i, j);
                const float x = -512.0f + 1024.0f * float(i) / float(n - 1);
                const float z = -512.0f + 1024.0f * float(j) / float(n - 1);
                ASSERT_NEAR(v[0], x, 1e-3f);
                ASSERT_NEAR(v[2], z, 1e-3f);
                ASSERT_NEAR(v[1], c.field.height(x, z), 1e-3f);
                const Ogre::Vector3 normal(v[3], v[4], v[5]);
                ASSERT_NEAR(normal.length(), 1.0f, 1e-5f);
                ASSERT_LE((normal - c.field.normal(x, z)).length(), c.normalTolerance)
                    << "vertex " << i << "," << j;
                if (c.normalTolerance == 0.0f) // flat: no morph, and the second normal exactly up too
                {
                    ASSERT_EQ(v[9], v[1]);
                    ASSERT_EQ(Ogre::Vector3(v[6], v[7], v[8]), Ogre::Vector3::UNIT_Y);
                }
                expectedBounds.merge(Ogre::Vector3(v[0], v[1], v[2]));
            }
        EXPECT_EQ(root->bounds, expectedBounds);
        // At least a tenth of the vertex spacing; on a flat field exactly that.
        EXPECT_GE(root->error, 0.1f * 1024.0f / float(n - 1));
        if (c.normalTolerance == 0.0f)
        {
            EXPECT_FLOAT_EQ(root->error, 0.1f * 1024.0f / float(n - 1));
        }
    }
}

TEST(PatchGeometry, MemoryFollowsThePatchesThatExist)
{
    Landscape landscape(0, Ogre::Vector3::ZERO);
    makeLandscape(landscape, 8, sineHills(10.0f, 40.0f, 20.0f));
    LandscapeTestView view(landscape);
    const auto memory = [&] {
        uint64_t count = 0, bytes = 0;
        landscape.getDebugInfo(count, bytes);
        return std::make_pair(count, bytes);
    };
    EXPECT_EQ(memory(), std::make_pair(uint64_t(0), uint64_t(0)));
    view.createRoot();
    const auto [one, rootBytes] = memory();
    EXPECT_EQ(one, 1u);
    // At least the patch's own records (ten floats a vertex) and its strip (two bytes an index).
    const PatchGeometry& geometry = view.root()->geometry;
    const uint64_t vertexBytes = geometry.vertexCount * 40;
    EXPECT_GE(rootBytes, vertexBytes + geometry.indexCount * 2);

    // Children cost a node each, then, once built, their vertex records, whatever their level:
    // the unstitched strip is the root's, counted once.
    view.makeChildren(view.root());
    const auto [five, unbuilt] = memory();
    EXPECT_EQ(five, 5u);
    for (int q = 0; q < 4; ++q)
        view.build(view.root()->child(q));
    EXPECT_EQ(memory().second, unbuilt + 4 * vertexBytes);
    for (int q = 0; q < 4; ++q)
        EXPECT_EQ(view.root()->child(q)->geometry.indices, geometry.indices);
    // Freed, they give back all of it; their arrays wait beside the tree for the next builds,
    // which write every float of them: spoilt with NaN here, they come back as first built.
    std::vector<std::vector<float>> built;
    for (int q = 0; q < 4; ++q)
    {
        float* vertices = view.root()->child(q)->geometry.vertices;
        built.emplace_back(vertices, vertices + vertexBytes / 4);
        std::fill(vertices, vertices + vertexBytes / 4, std::nanf(""));
    }
    view.destroyChildren(view.root());
    view.drainResults();
    EXPECT_EQ(memory(), std::make_pair(uint64_t(1), rootBytes));
    EXPECT_EQ(landscape.spareBytes(), 4 * vertexBytes);
    view.makeChildren(view.root());
    for (int q = 0; q < 4; ++q)
    {
        view.build(view.root()->child(q));
        const float* vertices = view.root()->child(q)->geometry.vertices;
        EXPECT_EQ(std::memcmp(vertices, built[size_t(q)].data(), vertexBytes), 0) << "child " << q;
    }
    EXPECT_EQ(landscape.spareBytes(), 0u);
}

namespace
{
// Whether the page holding p is mapped in this process.
bool isMapped(const void* p)
{
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    return msync(reinterpret_cast<void*>(uintptr_t(p) & ~(page - 1)), page, MS_ASYNC) == 0;
}
} // namespace

TEST(PatchGeometry, ArraysTheRenderThreadGivesUpLeaveTheProcessOnlyWhenTheBuildThreadFreesThem)
{
    const uint64_t vertices = 65 * 65; // a 64-quad patch: 169 KB, pages of its own
    const uint64_t bytes = vertices * kVertexBytes;
    SpareArrays spares(2 * bytes);
    std::vector<const float*> given;
    for (int i = 0; i < 4; ++i)
    {
        VertexArray array = makePageArray(vertices * kFloatsPerVertex);
        std::fill(array.get(), array.get() + vertices * kFloatsPerVertex, float(i));
        given.push_back(array.get());
        spares.give(std::move(array), vertices);
    }
    // Arrays whose first and last floats are still mapped.
    const auto mappedCount = [&] {
        return std::count_if(given.begin(), given.end(), [&](const float* p) {
            return isMapped(p) && isMapped(p + vertices * kFloatsPerVertex - 1);
        });
    };
    // Two kept for builds, two beyond the limit: none freed by the giving thread.
    EXPECT_EQ(spares.bytes(), 2 * bytes);
    EXPECT_EQ(mappedCount(), 4);
    spares.freeRetired();
    EXPECT_EQ(mappedCount(), 2);
    // A build takes a kept one back, filled as it was given.
    VertexArray taken = spares.take(vertices);
    ASSERT_TRUE(taken);
    EXPECT_TRUE(taken.get() == given[0] || taken.get() == given[1]);
    EXPECT_EQ(taken[1], taken.get() == given[0] ? 0.0f : 1.0f);
    EXPECT_EQ(spares.take(vertices + 1), nullptr) << "only arrays of the size asked for";
    // An array of another size (a new patch size) retires the old spares; clearing retires the
    // rest; the build thread frees them all.
    spares.give(makePageArray(9 * 9 * kFloatsPerVertex), 9 * 9);
    EXPECT_EQ(spares.bytes(), 9 * 9 * kVertexBytes);
    EXPECT_EQ(spares.clear(), 9 * 9 * kVertexBytes);
    EXPECT_EQ(spares.bytes(), 0u);
    EXPECT_EQ(mappedCount(), 2) << "the other kept array waits for the build thread";
    spares.freeRetired();
    EXPECT_EQ(mappedCount(), 1) << "only the array a build holds";
    taken.reset();
    EXPECT_EQ(mappedCount(), 0);
}

TEST(PatchGeometry, ChildMorphsOntoItsParentSurfaceAndReusesItsHeights)
{
    const HeightField field = sineHills(40.0f, 37.0f, 200.0f);
    Landscape landscape(0, Ogre::Vector3::ZERO);
    makeLandscape(landscape, 16, field);
    LandscapeTestView view(landscape);
    view.createRoot();
    PatchNode* root = view.root();

    // The child samples a different field: vertices shared with the parent must still carry the
    // parent's heights, the others the new field's.
    const HeightField other = tiltedPlane(0.05f, 0.1f, 7.0f);
    landscape.setHeightFunction(heightFunction(other));
    view.makeChildren(root);
    for (int q = 0; q < 4; ++q)
    {
        SCOPED_TRACE(q);
        PatchNode* child = root->child(q);
        view.build(child);
        const int n = int(child->edgeVertices);
        float largestDistance = 0.0f;
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i)
            {
                const float* v = vertex(child, i, j);
                const float expected = (i % 2 == 0 && j % 2 == 0) ? field.height(v[0], v[2])
                                                                  : other.height(v[0], v[2]);
                ASSERT_NEAR(v[1], expected, 1e-3f) << i << "," << j;
                const float parentSurface = surfaceHeight(root, v[0], v[2]);
                largestDistance = std::max(largestDistance, std::fabs(parentSurface - v[1]));
                const bool border = i == 0 || j == 0 || i == n - 1 || j == n - 1;
                // At morph factor 0 the inside lies on the parent's surface; the border keeps
                // its own heights so that neighbours agree at any pair of factors.
                ASSERT_NEAR(v[9], border ? v[1] : parentSurface, 1e-3f) << i << "," << j;
            }
        EXPECT_NEAR(child->error, std::max(largestDistance, 0.1f * 512.0f / 16.0f), 1e-3f);
    }
}

TEST(PatchGeometry, StripCoversEveryQuadOnceFacingUp)
{
    for (uint32_t n : {2u, 3u, 5u, 9u, 17u, 65u, 129u})
    {
        SCOPED_TRACE(n);
        const std::unique_ptr<uint16_t[]> indices = buildStrip(n);
        PatchGeometry strip;
        strip.indices = indices.get();
        strip.indexCount = StripLayout(n).indexCount();
        ASSERT_EQ(strip.indexCount, uint64_t((2 * n + 4) * (n - 1) - 4));
        std::map<std::pair<int, int>, int> halves; // (quad, which half) -> count
        double area = 0.0;
        for (const Triangle& t : stripTriangles(strip))
        {
            const double a = facingArea(t, int(n));
            ASSERT_GT(a, 0.0);
            area += a;
            const int quadX = std::min({t.a % n, t.b % n, t.c % n});
            const int quadZ = std::min({t.a / n, t.b / n, t.c / n});
            const int half = (t.a % n + t.b % n + t.c % n + t.a / n + t.b / n + t.c / n) -
                             3 * (quadX + quadZ) > 3 ? 1 : 0;
            halves[{quadZ * int(n) + quadX, half}] += 1;
        }
        EXPECT_DOUBLE_EQ(area, double(n - 1) * double(n - 1));
        EXPECT_EQ(halves.size(), size_t(2 * (n - 1) * (n - 1)));
        for (const auto& entry : halves)
            ASSERT_EQ(entry.second, 1);
    }
}

namespace
{
// A tree in which patch `fine` is `difference` levels finer than the patches across two of its
// sides. The root is split; one root child (rootChild) is split `difference` times more, always
// towards the square's centre (child descend), so that fine's outer sides touch the two unsplit
// root children next to it. rootChild 0 with descend 3 makes sides 1 and 3 coarse; rootChild 3
// with descend 0 makes sides 0 and 2 coarse.
struct StitchTree
{
    Landscape landscape{0, Ogre::Vector3::ZERO};
    LandscapeTestView view{landscape};
    PatchNode* fine = nullptr;

    StitchTree(int patchSize, int difference, int rootChild, int descend)
    {
        makeLandscape(landscape, patchSize, sineHills(20.0f, 50.0f, 60.0f));
        view.createRoot();
        PatchNode* node = view.root();
        for (int level = 0; level <= difference; ++level)
        {
            view.makeChildren(node);
            for (const auto& child : node->children)
                view.build(child.get());
            node->state = kSplit;
            node = node->child(level == 0 ? rootChild : descend);
        }
        fine = node;
    }

    std::vector<uint16_t> strip() const
    {
        return {fine->geometry.indices, fine->geometry.indices + fine->geometry.indexCount};
    }
    std::vector<int> edgeUsed(int side) const { return edgeVerticesUsed(fine->geometry, int(fine->edgeVertices), side); }
};
} // namespace

TEST(PatchGeometry, StitchedEdgesUseOnlyTheCoarseNeighboursVertices)
{
    struct Layout
    {
        int rootChild, descend;
        int coarseSides[2], fineSides[2];
    };
    const Layout layouts[] = {{0, 3, {1, 3}, {0, 2}}, {3, 0, {0, 2}, {1, 3}}};
    for (const Layout& layout : layouts)
        for (int patchSize : {8, 16, 64})
            for (int difference = 1; difference <= 3; ++difference)
            {
                SCOPED_TRACE(testing::Message() << "root child " << layout.rootChild << ", patch size "
                                                << patchSize << ", difference " << difference);
                StitchTree tree(patchSize, difference, layout.rootChild, layout.descend);
                PatchNode* fine = tree.fine;
                const int n = patchSize + 1;
                const std::vector<uint16_t> original = tree.strip();
                for (int side : layout.coarseSides)
                    ASSERT_EQ(tree.view.levelDifference(fine, side), difference);
                for (int side : layout.fineSides)
                    ASSERT_EQ(tree.view.levelDifference(fine, side), 0);

                for (int side = 0; side < 4; ++side)
                    tree.view.stitchSide(fine, side);
                const std::vector<uint16_t> stitched = tree.strip();
                const int step = 1 << difference;
                for (int side : layout.coarseSides)
                {
                    for (int t : tree.edgeUsed(side))
                        ASSERT_EQ(t % step, 0) << "side " << side << " uses edge vertex " << t;
                    EXPECT_EQ(sideDifference(fine->edgeLevels, side), difference);
                }
                for (int side : layout.fineSides)
                    EXPECT_EQ(tree.edgeUsed(side).size(), size_t(n));
                // No hole and no overlap: every triangle still faces up and the areas add up.
                double area = 0.0;
                for (const Triangle& t : stripTriangles(fine->geometry))
                {
                    const double a = facingArea(t, n);
                    ASSERT_GT(a, 0.0);
                    area += a;
                }
                EXPECT_DOUBLE_EQ(area, double(n - 1) * double(n - 1));

                // Stitching again changes nothing.
                for (int side = 0; side < 4; ++side)
                    tree.view.stitchSide(fine, side);
                EXPECT_EQ(tree.strip(), stitched);

                // Once the coarse sides are split (drawn at fine's level), a step of 1 restores
                // the strip exactly. Every node above fine's level splits, linked as splits link
                // them: the patches across fine's sides are then of its level.
                const std::function<void(PatchNode*)> refine = [&](PatchNode* node) {
                    if (node->level >= fine->level)
                        return;
                    if (!node->hasChildren())
                        tree.view.makeChildren(node);
                    node->state = kSplit;
                    for (const auto& child : node->children)
                        refine(child.get());
                };
                refine(tree.view.root());
                for (int side = 0; side < 4; ++side)
                    ASSERT_EQ(tree.view.levelDifference(fine, side), 0) << "side " << side;
                for (int side = 0; side < 4; ++side)
                    tree.view.stitchSide(fine, side);
                EXPECT_EQ(tree.strip(), original);
                EXPECT_EQ(fine->edgeLevels, 0);
            }
}

TEST(PatchGeometry, HalfwayEdgePositionsRoundDownOnLowSidesAndUpOnHighSides)
{
    // Two levels finer than the neighbours: step 4, edge position 2 is halfway.
    const StripLayout strip(9);
    const auto snappedTo = [&strip](const StitchTree& tree, int side, int t) {
        int positions[4];
        strip.edgePositions(side, t, positions);
        return tree.fine->geometry.indices[positions[0]];
    };
    StitchTree high(8, 2, 0, 3);
    for (int side : {1, 3})
    {
        high.view.stitchSide(high.fine, side);
        EXPECT_EQ(snappedTo(high, side, 2), strip.edgeVertex(side, 4)) << "high side " << side;
    }
    StitchTree low(8, 2, 3, 0);
    for (int side : {0, 2})
    {
        low.view.stitchSide(low.fine, side);
        EXPECT_EQ(snappedTo(low, side, 2), strip.edgeVertex(side, 0)) << "low side " << side;
    }
}

TEST(PatchGeometry, PatchSizeOneBuildsWithoutMorphTargets)
{
    Landscape landscape(0, Ogre::Vector3::ZERO);
    makeLandscape(landscape, 1, sineHills(10.0f, 30.0f, 5.0f));
    LandscapeTestView view(landscape);
    EXPECT_EQ(view.patchVertices(), 2u);
    EXPECT_EQ(view.levelSlack(), 0u);
    view.createRoot();
    view.makeChildren(view.root());
    PatchNode* child = view.root()->child(3);
    view.build(child);
    ASSERT_EQ(child->geometry.vertexCount, 4u);
    ASSERT_EQ(child->geometry.indexCount, 4u);
    for (int k = 0; k < 4; ++k)
    {
        const float* v = child->geometry.vertices + k * kFloats;
        EXPECT_EQ(v[9], v[1]);
    }
}

TEST(PatchGeometry, RefreshRegionResamplesOnlyInsideTheBox)
{
    Landscape landscape(0, Ogre::Vector3::ZERO);
    makeLandscape(landscape, 16, flatField(10.0f));
    LandscapeTestView view(landscape);
    view.createRoot();
    PatchNode* root = view.root();
    const Ogre::AxisAlignedBox box(-100, -1000, -50, 200, 1000, 120);
    landscape.setHeightFunction([](const Ogre::Vector3&, int) { return 90.0f; });
    view.refreshRegion(root, box, true);
    int inside = 0;
    for (int j = 0; j < 17; ++j)
        for (int i = 0; i < 17; ++i)
        {
            const float* v = vertex(root, i, j);
            const bool in = v[0] >= -100 && v[0] <= 200 && v[2] >= -50 && v[2] <= 120;
            inside += in;
            ASSERT_EQ(v[1], in ? 90.0f : 10.0f) << i << "," << j;
        }
    EXPECT_GT(inside, 0);
    EXPECT_EQ(root->bounds.getMaximum().y, 90.0f);
    // The error is the largest distance from the parent's surface, which is now a step.
    EXPECT_GE(root->error, 40.0f);
}

TEST(PatchGeometry, DiagnosticLineNamesThePathFromTheRoot)
{
    Landscape landscape(0, Ogre::Vector3::ZERO);
    makeLandscape(landscape, 8, flatField(1.0f));
    LandscapeTestView view(landscape);
    view.createRoot();
    view.makeChildren(view.root());
    PatchNode* child = view.root()->child(3);
    view.makeChildren(child);
    PatchNode* grandchild = child->child(1);
    grandchild->lod = 0.5f;
    grandchild->error = 2.0f;
    child->error = 4.0f;
    testing::internal::CaptureStdout();
    landscape.printPatch(grandchild);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Patch 31 [2] lod:0.5 error:2,4\n");
}

// The build works on several vertices at a time; its records must be, bit for bit, those of the
// vertex-by-vertex arithmetic that edits and restitching use (vertexNormal, morphVertex), or a
// patch rebuilt around an edit would not meet its untouched neighbour exactly. Rough random
// heights, with flat runs and steep steps, on every size from one quad up.
TEST(PatchGeometry, BuildMatchesTheVertexByVertexArithmetic)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<float> height(-500.0f, 3000.0f);
    for (uint32_t n : {2u, 3u, 4u, 5u, 8u, 9u, 17u, 33u, 65u, 129u})
    {
        const RootSquare square{Ogre::Vector3(-1000.0f, 0, 250.0f), 4096.0f};
        const PatchGrid grid(square, 5, 2, 3, n);
        PatchHeights heights(n);
        for (int j = -1; j <= int(n); ++j)
            for (int i = -1; i <= int(n); ++i)
                heights.at(i, j) = (i + j) % 5 == 0 ? 100.0f : height(random);
        PatchBuildResult built;
        buildPatchVertices(grid, heights, built);

        std::vector<float> expected(size_t(n) * n * kFloats);
        for (uint32_t j = 0; j < n; ++j)
            for (uint32_t i = 0; i < n; ++i)
            {
                float* v = vertexAt(expected.data(), i, j, n);
                v[kVertexX] = grid.x(int(i));
                v[kVertexHeight] = heights.at(int(i), int(j));
                v[kVertexZ] = grid.z(int(j));
                float h[6];
                for (int k = 0; k < 6; ++k)
                    h[k] = heights.at(int(i) + kNeighbourDx[k], int(j) + kNeighbourDz[k]);
                const Ogre::Vector3 normal = vertexNormal(h, grid.spacingX, grid.spacingZ);
                std::memcpy(v + kVertexNormal, normal.ptr(), 3 * sizeof(float));
            }
        float error = 0.1f * grid.spacingX;
        for (uint32_t j = 0; j < n; ++j)
            for (uint32_t i = 0; i < n; ++i)
            {
                if (gridNests(n))
                    error = std::max(error, morphVertex(expected.data(), i, j, n));
                else
                    keepOwnTargets(vertexAt(expected.data(), i, j, n));
            }

        SCOPED_TRACE(n);
        ASSERT_EQ(built.vertexCount, uint64_t(n) * n);
        EXPECT_EQ(std::memcmp(built.vertices.get(), expected.data(), expected.size() * sizeof(float)), 0);
        EXPECT_EQ(built.error, error);
        float lowest = heights.at(0, 0), highest = lowest;
        for (uint32_t j = 0; j < n; ++j)
            for (uint32_t i = 0; i < n; ++i)
            {
                lowest = std::min(lowest, heights.at(int(i), int(j)));
                highest = std::max(highest, heights.at(int(i), int(j)));
            }
        EXPECT_EQ(built.bounds.getMinimum(), Ogre::Vector3(grid.x(0), lowest, grid.z(0)));
        EXPECT_EQ(built.bounds.getMaximum(), Ogre::Vector3(grid.x(int(n) - 1), highest, grid.z(int(n) - 1)));
    }
}

// Sampling a row at a time gives what sampling point by point gives: the parent's heights where
// the grids coincide, 0 in the ring corners that no normal reads, the source's elsewhere.
TEST(PatchGeometry, RowSamplingGivesThePointByPointHeights)
{
    const HeightFunction pointAt = [](const Ogre::Vector3& p, int) { return std::sin(p.x * 0.01f) * 40.0f + p.z * 0.3f; };
    const HeightRowFunction rowAt = [&pointAt](float z, const float* xs, int count, float* out) {
        for (int k = 0; k < count; ++k)
            out[k] = pointAt(Ogre::Vector3(xs[k], 0.0f, z), 0);
    };
    const RootSquare square{Ogre::Vector3(-512.0f, 0, -512.0f), 1024.0f};
    for (uint32_t n : {2u, 9u, 65u})
    {
        const PatchGrid parentGrid(square, 1, 2, 2, n);
        PatchHeights parentHeights(n);
        samplePatchHeights(parentGrid, nullptr, pointAt, parentHeights);
        PatchBuildResult parent;
        buildPatchVertices(parentGrid, parentHeights, parent);
        // The parent's record heights differ from the source's, so that reuse shows.
        for (uint64_t k = 0; k < parent.vertexCount; ++k)
            parent.vertices[k * kFloatsPerVertex + kVertexHeight] += 1000.0f;
        const ParentHeights reused{parent.vertices.get(), (n - 1) / 2, 0};
        const PatchGrid grid(square, 3, 4, 3, n);
        for (const ParentHeights* from : {static_cast<const ParentHeights*>(nullptr), &reused})
        {
            PatchHeights byPoint(n), byRow(n);
            EXPECT_TRUE(samplePatchHeights(grid, from, pointAt, byPoint));
            EXPECT_TRUE(samplePatchHeights(grid, from, rowAt, byRow));
            for (int j = -1; j <= int(n); ++j)
                for (int i = -1; i <= int(n); ++i)
                    ASSERT_EQ(byRow.at(i, j), byPoint.at(i, j)) << n << " " << i << "," << j << (from ? " reused" : "");
        }
    }
}
