// The viewer end to end, as CI runs it: offscreen under Xvfb on a small built-in map. Checks the
// statistics it prints and the picture it writes: sky above, ground below with no sky showing
// through it (a crack or a missing patch would), blood patches on it; and the sculpt demo's
// picture of the same view, changed by its strokes, with the cached map left as it was.

#include "BuiltinHeightmap.h"
#include "RunProgram.h"
#include "TerrainScene.h"

#include <OgreDataStream.h>
#include <OgreImage.h>
#include <OgreLogManager.h>
#include <OgreRoot.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace
{
constexpr int kFrames = 120;
constexpr int kWidth = 960;
constexpr int kHeight = 540;

// Loads a PNG through Ogre's STBI codec.
class PngReader
{
public:
    PngReader()
    {
        logs.createLog("viewer_render_test.log", true, false, true);
        root = std::make_unique<Ogre::Root>("", "", "");
        root->loadPlugin(std::string(TERRAIN_VIEWER_OGRE_PLUGIN_DIR) + "/Codec_STBI.so");
    }

    Ogre::Image read(const fs::path& file)
    {
        auto* in = new std::ifstream(file, std::ios::binary);
        Ogre::DataStreamPtr stream(new Ogre::FileStreamDataStream(in, true));
        Ogre::Image image;
        image.load(stream, "png");
        return image;
    }

private:
    Ogre::LogManager logs;
    std::unique_ptr<Ogre::Root> root;
};

// The number that follows `key` (and any spaces) in line; -1 when there is none.
int numberAfter(const std::string& line, const std::string& key)
{
    const size_t at = line.find(key);
    if (at == std::string::npos)
        return -1;
    size_t digits = line.find_first_not_of(' ', at + key.size());
    if (digits == std::string::npos || !std::isdigit(static_cast<unsigned char>(line[digits])))
        return -1;
    return std::atoi(line.c_str() + digits);
}

bool isSky(const Ogre::ColourValue& colour)
{
    // The clear colour, give or take the rounding to 8 bits.
    const Ogre::ColourValue& sky = TerrainScene::kSkyColour;
    const float tolerance = 2.5f / 255.0f;
    return std::abs(colour.r - sky.r) <= tolerance && std::abs(colour.g - sky.g) <= tolerance &&
           std::abs(colour.b - sky.b) <= tolerance;
}

bool isBlood(const Ogre::ColourValue& colour)
{
    return colour.r > colour.g + 0.12f && colour.r > colour.b + 0.12f;
}

class ViewerRenderTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        folder = fs::temp_directory_path() / ("viewer-render-" + std::to_string(getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        screenshot = folder / "shot.png";
        run = runViewer(screenshot, "");
    }
    // The viewer on the small built-in map, kFrames frames at kWidth x kHeight, and more options.
    static ProgramRun runViewer(const fs::path& picture, const std::string& options)
    {
        return runProgram(shellQuoted(TERRAIN_VIEWER) + " --map-size 513 --frames " + std::to_string(kFrames) +
                          " --resolution " + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                          " --screenshot " + shellQuoted(picture.string()) + " --cache-dir " +
                          shellQuoted((folder / "cache").string()) + options);
    }
    static void TearDownTestSuite() { fs::remove_all(folder); }

    static fs::path folder;
    static fs::path screenshot;
    static ProgramRun run;
};

fs::path ViewerRenderTest::folder;
fs::path ViewerRenderTest::screenshot;
ProgramRun ViewerRenderTest::run;
} // namespace

TEST_F(ViewerRenderTest, RunsThePathAndReportsAConvergedView)
{
    ASSERT_EQ(run.status, 0) << run.output;
    int pathLines = 0;
    std::string firstConverged;
    std::string finalView;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);)
    {
        pathLines += line.rfind("path ", 0) == 0;
        if (line.rfind("summary: first converged view: ", 0) == 0)
            firstConverged = line;
        if (line.rfind("summary: final view: ", 0) == 0)
            finalView = line;
    }
    EXPECT_EQ(pathLines, kFrames);
    ASSERT_FALSE(firstConverged.empty()) << run.output;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(firstConverged[std::strlen("summary: first converged view: ")])))
        << firstConverged;
    ASSERT_EQ(finalView.rfind("summary: final view: converged", 0), 0u) << run.output;
    // The last view draws patches and blood patches, and nothing is left to build.
    EXPECT_GT(numberAfter(finalView, " drawn "), 16);
    EXPECT_EQ(numberAfter(finalView, " pending "), 0);
    EXPECT_GT(numberAfter(finalView, " decals "), 0);
    EXPECT_NE(run.output.find("summary: screenshot: " + screenshot.string()), std::string::npos) << run.output;
}

TEST_F(ViewerRenderTest, PictureShowsSkyAboveAndUnbrokenGroundBelow)
{
    ASSERT_TRUE(fs::is_regular_file(screenshot)) << run.output;
    PngReader reader;
    const Ogre::Image image = reader.read(screenshot);
    ASSERT_EQ(image.getWidth(), uint32_t(kWidth));
    ASSERT_EQ(image.getHeight(), uint32_t(kHeight));

    uint64_t sky = 0;
    uint64_t skyInGround = 0;
    uint64_t skyInCorner = 0;
    uint64_t blood = 0;
    double groundLuminance = 0;
    double groundLuminanceSquared = 0;
    uint64_t groundPixels = 0;
    // The last view looks down 7 degrees: the lower 40 % of the picture is ground for certain,
    // and on the right, below the statistics strip and above the mountains, is sky.
    const int groundFrom = kHeight * 6 / 10;
    const int cornerTop = kHeight / 8;
    const int cornerBottom = kHeight / 4;
    const int cornerFrom = kWidth * 3 / 4;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
        {
            const Ogre::ColourValue colour = image.getColourAt(size_t(x), size_t(y), 0);
            const bool background = isSky(colour);
            sky += background;
            skyInCorner += background && y >= cornerTop && y < cornerBottom && x >= cornerFrom;
            blood += isBlood(colour);
            if (y >= groundFrom)
            {
                skyInGround += background;
                const double luminance = 0.3 * colour.r + 0.59 * colour.g + 0.11 * colour.b;
                groundLuminance += luminance;
                groundLuminanceSquared += luminance * luminance;
                groundPixels += 1;
            }
        }
    const double pixels = double(kWidth) * kHeight;
    EXPECT_GT(double(sky) / pixels, 0.05);
    EXPECT_LT(double(sky) / pixels, 0.50);
    EXPECT_GT(double(skyInCorner) / (double(cornerBottom - cornerTop) * (kWidth - cornerFrom)), 0.5);
    EXPECT_EQ(skyInGround, 0u);
    // The ground is lit and coloured, not one flat colour.
    const double mean = groundLuminance / double(groundPixels);
    const double variance = groundLuminanceSquared / double(groundPixels) - mean * mean;
    EXPECT_GT(mean, 0.1);
    EXPECT_GT(std::sqrt(variance), 0.01);
    EXPECT_GT(blood, 10u);
}

namespace
{
std::string fileBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
} // namespace

TEST_F(ViewerRenderTest, SculptDemoChangesTheLastViewAndOnlyACopyOfTheMap)
{
    const fs::path cached = folder / "cache" / builtinHeightmapName(513, 2024);
    const std::string original = fileBytes(cached);
    ASSERT_FALSE(original.empty()) << run.output;
    const fs::path sculpted = folder / "sculpted.png";
    const ProgramRun demo = runViewer(sculpted, " --sculpt-demo");
    ASSERT_EQ(demo.status, 0) << demo.output;
    EXPECT_NE(demo.output.find("summary: final view: converged"), std::string::npos) << demo.output;
    const size_t line = demo.output.find("summary: sculpt: ");
    ASSERT_NE(line, std::string::npos) << demo.output;
    EXPECT_GT(numberAfter(demo.output.substr(line), "sculpt:"), 50) << "dabs";

    // The cached map is as it was made; the copy the strokes went to is not, and the heightmap
    // tool still reads it as a map the terrain can use.
    EXPECT_TRUE(fileBytes(cached) == original);
    const fs::path copyFile = folder / "cache" / ("sculpted-" + cached.filename().string());
    const std::string copy = fileBytes(copyFile);
    EXPECT_EQ(copy.size(), original.size());
    EXPECT_FALSE(copy == original);
    const ProgramRun info = runProgram(shellQuoted(TERRAIN_HEIGHTMAP_TOOL) + " info " + shellQuoted(copyFile.string()));
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("terrain: usable"), std::string::npos) << info.output;

    // The same last view: the strokes show in a good part of it, and the ground is still unbroken.
    PngReader reader;
    const Ogre::Image plain = reader.read(screenshot);
    const Ogre::Image changed = reader.read(sculpted);
    ASSERT_EQ(changed.getWidth(), plain.getWidth());
    ASSERT_EQ(changed.getHeight(), plain.getHeight());
    uint64_t differing = 0;
    uint64_t skyInGround = 0;
    for (int y = kHeight / 8; y < kHeight; ++y) // below the statistics strip
        for (int x = 0; x < kWidth; ++x)
        {
            const Ogre::ColourValue a = plain.getColourAt(size_t(x), size_t(y), 0);
            const Ogre::ColourValue b = changed.getColourAt(size_t(x), size_t(y), 0);
            differing += std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b) > 0.15f;
            skyInGround += y >= kHeight * 6 / 10 && isSky(b);
        }
    EXPECT_GT(double(differing) / (double(kWidth) * kHeight * 7 / 8), 0.04);
    EXPECT_EQ(skyInGround, 0u);
}
