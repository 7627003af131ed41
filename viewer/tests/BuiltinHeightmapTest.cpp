#include "BuiltinHeightmap.h"

#include "FractalHeightmap.h"
#include "heightmap/SampleRows.h"
#include "heightmap/Tiff.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace
{
class BuiltinHeightmapTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() /
                 ("viewer-heightmap-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    // Reads a written map back through the TIFF module, as the terrain does.
    static std::vector<uint16_t> readBack(const fs::path& file, uint32_t edge)
    {
        TiffFile* tiff = openTiff(file.c_str(), 1);
        EXPECT_NE(tiff, nullptr);
        if (!tiff)
            return {};
        EXPECT_EQ(tiff->width, edge);
        EXPECT_EQ(tiff->height, edge);
        EXPECT_EQ(tiff->bitsPerSample, 16u);
        EXPECT_EQ(tiff->samplesPerPixel, 1u);
        std::vector<unsigned char> bytes(size_t(edge) * edge * 2);
        EXPECT_EQ(readRect(tiff, 0, 0, int32_t(edge), int32_t(edge), bytes.data()), uint64_t(edge) * edge);
        closeTiff(tiff);
        std::vector<uint16_t> samples(size_t(edge) * edge);
        readSamples(bytes.data(), samples.data(), samples.size());
        return samples;
    }

    fs::path folder;
};
} // namespace

TEST_F(BuiltinHeightmapTest, WritesEveryBandAndReadsBackExactly)
{
    // 200 rows: three whole bands of 64 rows and a short one.
    const uint32_t edge = 200;
    std::vector<uint16_t> samples(size_t(edge) * edge);
    for (size_t k = 0; k < samples.size(); ++k)
        samples[k] = uint16_t(k * 2654435761u >> 7);
    std::vector<double> progress;
    std::string error;
    const fs::path file = folder / "map.tif";
    ASSERT_TRUE(writeHeightmapFile(file, samples, edge, [&](double f) { progress.push_back(f); }, error)) << error;
    EXPECT_EQ(readBack(file, edge), samples);
    EXPECT_TRUE(isCompleteHeightmap(file, edge));
    EXPECT_FALSE(isCompleteHeightmap(file, edge + 1));
    ASSERT_EQ(progress.size(), 4u);
    EXPECT_DOUBLE_EQ(progress.back(), 1.0);
    for (size_t i = 1; i < progress.size(); ++i)
        EXPECT_GT(progress[i], progress[i - 1]);
    // Nothing but the map is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST_F(BuiltinHeightmapTest, RefusesSamplesThatAreNotASquare)
{
    std::string error;
    EXPECT_FALSE(writeHeightmapFile(folder / "map.tif", std::vector<uint16_t>(10), 3, nullptr, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(folder / "map.tif"));
}

TEST_F(BuiltinHeightmapTest, ShortFileIsNotComplete)
{
    const fs::path file = folder / "short.tif";
    std::string error;
    ASSERT_TRUE(writeHeightmapFile(file, std::vector<uint16_t>(129 * 129, 5), 129, nullptr, error));
    fs::resize_file(file, fs::file_size(file) - 1);
    EXPECT_FALSE(isCompleteHeightmap(file, 129));
    EXPECT_FALSE(isCompleteHeightmap(folder / "missing.tif", 129));
}

TEST_F(BuiltinHeightmapTest, GeneratesOnceThenReusesTheCache)
{
    std::string error;
    BuiltinHeightmap first;
    double lastProgress = -1.0;
    bool rising = true;
    ASSERT_TRUE(ensureBuiltinHeightmap({folder / "cache"}, 129, 11,
                                       [&](double f) {
                                           rising = rising && f >= lastProgress;
                                           lastProgress = f;
                                       },
                                       first, error))
        << error;
    EXPECT_TRUE(first.generated);
    EXPECT_TRUE(rising);
    EXPECT_DOUBLE_EQ(lastProgress, 1.0);
    EXPECT_EQ(first.file, folder / "cache" / builtinHeightmapName(129, 11));

    // The map is the seeded fractal, shaped.
    std::vector<uint16_t> expected = FractalHeightmap::generate(129, 11, kBuiltinRoughness);
    shapeHeights(expected);
    EXPECT_EQ(readBack(first.file, 129), expected);

    BuiltinHeightmap second;
    ASSERT_TRUE(ensureBuiltinHeightmap({folder / "cache"}, 129, 11, nullptr, second, error));
    EXPECT_FALSE(second.generated);
    EXPECT_EQ(second.file, first.file);
}

TEST_F(BuiltinHeightmapTest, FallsBackToTheNextFolder)
{
    // A file where the first folder should be: it cannot be created.
    std::ofstream(folder / "blocked") << "x";
    std::string error;
    BuiltinHeightmap map;
    ASSERT_TRUE(ensureBuiltinHeightmap({folder / "blocked" / "cache", folder / "fallback"}, 129, 3, nullptr, map,
                                       error))
        << error;
    EXPECT_EQ(map.file.parent_path(), folder / "fallback");

    // A map cached in the second folder is found there without generating again.
    BuiltinHeightmap again;
    ASSERT_TRUE(ensureBuiltinHeightmap({folder / "blocked" / "cache", folder / "fallback"}, 129, 3, nullptr, again,
                                       error));
    EXPECT_FALSE(again.generated);
}

TEST_F(BuiltinHeightmapTest, ReportsWhenNoFolderTakesTheMap)
{
    std::ofstream(folder / "blocked") << "x";
    std::string error;
    BuiltinHeightmap map;
    EXPECT_FALSE(ensureBuiltinHeightmap({folder / "blocked" / "a"}, 129, 3, nullptr, map, error));
    EXPECT_NE(error.find("cannot"), std::string::npos) << error;
}

TEST(ShapeHeights, KeepsTheEndsAndTheOrder)
{
    std::vector<uint16_t> samples(65536);
    for (size_t s = 0; s < samples.size(); ++s)
        samples[s] = uint16_t(s);
    shapeHeights(samples);
    EXPECT_EQ(samples.front(), 0);
    EXPECT_EQ(samples.back(), 65535);
    for (size_t s = 1; s < samples.size(); ++s)
        ASSERT_GE(samples[s], samples[s - 1]);
    EXPECT_LT(samples[32768], 32768); // lowlands broaden
}
