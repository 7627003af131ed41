#include "BloodSplats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <tuple>

namespace
{
constexpr float kSize = 20480.0f;
constexpr int kSplatLevel = 8; // 80-unit splats

// The patch of `level` with cell indices (cellX, cellZ) at that level.
PatchSquare patchAt(int level, uint32_t cellX, uint32_t cellZ, float distance = 0.0f)
{
    const float size = kSize / float(1u << level);
    PatchSquare patch;
    patch.id = (uint32_t(level) << 24) | (cellZ << 12) | cellX; // any distinct value serves here
    patch.level = level;
    patch.cornerX = -kSize / 2 + float(cellX) * size;
    patch.cornerZ = -kSize / 2 + float(cellZ) * size;
    patch.size = size;
    patch.distance = distance;
    return patch;
}

// World (x, z) of the low corner of the cell a request names, decoded the way the terrain reads
// cell codes: most significant pair first, bit 0 of a pair the high-x half, bit 1 the high-z half.
std::pair<float, float> cellCorner(const PatchSquare& patch, const SplatRequest& request)
{
    float x = patch.cornerX;
    float z = patch.cornerZ;
    float size = patch.size;
    for (int bit = 2 * request.cellDepth - 2; bit >= 0; bit -= 2)
    {
        size *= 0.5f;
        if (request.cellCode & (1 << bit))
            x += size;
        if (request.cellCode & (2 << bit))
            z += size;
    }
    return {x, z};
}

std::set<std::tuple<long, long, int>> worldSplats(const SplatField& field, const std::vector<PatchSquare>& patches)
{
    std::set<std::tuple<long, long, int>> splats;
    for (const SplatRequest& request : field.requestsFor(patches, 1000))
    {
        const PatchSquare* patch = nullptr;
        for (const PatchSquare& p : patches)
            if (p.id == request.patchId)
                patch = &p;
        const auto [x, z] = cellCorner(*patch, request);
        splats.insert({std::lround(x), std::lround(z), request.texture});
    }
    return splats;
}
} // namespace

TEST(SplatField, CellCodesNameCellsMostSignificantPairFirst)
{
    EXPECT_EQ(SplatField::cellCode(0, 0, 0), 0);
    EXPECT_EQ(SplatField::cellCode(1, 0, 1), 1);
    EXPECT_EQ(SplatField::cellCode(0, 1, 1), 2);
    EXPECT_EQ(SplatField::cellCode(2, 1, 2), (1 << 2) | 2); // high-x half first, then high-z quarter
    const PatchSquare patch = patchAt(4, 3, 5);
    for (uint32_t z = 0; z < 8; ++z)
        for (uint32_t x = 0; x < 8; ++x)
        {
            SplatRequest request;
            request.cellDepth = 3;
            request.cellCode = SplatField::cellCode(x, z, 3);
            const auto [cornerX, cornerZ] = cellCorner(patch, request);
            EXPECT_FLOAT_EQ(cornerX, patch.cornerX + float(x) * patch.size / 8);
            EXPECT_FLOAT_EQ(cornerZ, patch.cornerZ + float(z) * patch.size / 8);
        }
}

TEST(SplatField, SplatsStayPutWhenPatchesSplit)
{
    const SplatField field(kSize, kSplatLevel, 2024, 4);
    EXPECT_FLOAT_EQ(field.splatSize(), 80.0f);
    // A level-4 patch and its four children, and one grandchild level deeper, see the same splats.
    const PatchSquare parent = patchAt(4, 6, 9);
    const std::vector<PatchSquare> children{patchAt(5, 12, 18), patchAt(5, 13, 18), patchAt(5, 12, 19),
                                            patchAt(5, 13, 19)};
    const auto fromParent = worldSplats(field, {parent});
    EXPECT_FALSE(fromParent.empty());
    EXPECT_EQ(worldSplats(field, children), fromParent);
    std::vector<PatchSquare> grandchildren;
    for (uint32_t z = 36; z < 40; ++z)
        for (uint32_t x = 24; x < 28; ++x)
            grandchildren.push_back(patchAt(6, x, z));
    EXPECT_EQ(worldSplats(field, grandchildren), fromParent);
}

TEST(SplatField, SeedChangesTheScatter)
{
    const std::vector<PatchSquare> patch{patchAt(3, 2, 2)};
    EXPECT_NE(worldSplats(SplatField(kSize, kSplatLevel, 1, 4), patch),
              worldSplats(SplatField(kSize, kSplatLevel, 2, 4), patch));
}

TEST(SplatField, ServesTheNearestPatchesFirstUpToTheLimit)
{
    const SplatField field(kSize, kSplatLevel, 2024, 4);
    std::vector<PatchSquare> patches;
    for (uint32_t i = 0; i < 64; ++i)
        patches.push_back(patchAt(6, i % 8, i / 8, float(64 - i)));
    const std::vector<SplatRequest> requests = field.requestsFor(patches, 5);
    ASSERT_EQ(requests.size(), 5u);
    // The requests come from the patches in order of distance: the last patches of the list.
    float lastDistance = 0.0f;
    for (const SplatRequest& request : requests)
    {
        float distance = -1.0f;
        for (const PatchSquare& p : patches)
            if (p.id == request.patchId)
                distance = p.distance;
        EXPECT_GE(distance, lastDistance);
        lastDistance = distance;
        EXPECT_GE(request.texture, 0);
        EXPECT_LT(request.texture, 4);
        EXPECT_EQ(request.cellDepth, kSplatLevel - 6);
    }
}

TEST(SplatField, SkipsPatchesFinerThanASplat)
{
    const SplatField field(kSize, kSplatLevel, 2024, 4);
    std::vector<PatchSquare> fine;
    for (uint32_t z = 0; z < 32; ++z)
        for (uint32_t x = 0; x < 32; ++x)
            fine.push_back(patchAt(kSplatLevel + 1, x, z));
    EXPECT_TRUE(field.requestsFor(fine, 100).empty());
}

TEST(SplatTexture, IsOpaqueInsideAndClearAtTheBorder)
{
    const int size = 64;
    const std::vector<uint8_t> pixels = drawSplat(size, 7);
    ASSERT_EQ(pixels.size(), size_t(size * size * 4));
    const auto alpha = [&](int x, int y) { return pixels[(size_t(y) * size + size_t(x)) * 4 + 3]; };
    for (int i = 0; i < size; ++i)
        for (int border = 0; border < 2; ++border)
        {
            EXPECT_EQ(alpha(i, border), 0);
            EXPECT_EQ(alpha(border, i), 0);
            EXPECT_EQ(alpha(i, size - 1 - border), 0);
            EXPECT_EQ(alpha(size - 1 - border, i), 0);
        }
    EXPECT_GT(alpha(size / 2, size / 2), 200);
    // Blood red: red well above green and blue where it is opaque.
    const uint8_t* centre = &pixels[(size_t(size / 2) * size + size_t(size / 2)) * 4];
    EXPECT_GT(centre[0], centre[1] + 40);
    EXPECT_GT(centre[0], centre[2] + 40);
    EXPECT_EQ(drawSplat(size, 7), pixels);
    EXPECT_NE(drawSplat(size, 8), pixels);
}
