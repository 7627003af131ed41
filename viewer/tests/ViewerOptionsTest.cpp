#include "ViewerOptions.h"

#include <gtest/gtest.h>

namespace
{
ViewerCommandLine parse(std::vector<std::string> arguments)
{
    return parseViewerOptions(arguments);
}
} // namespace

TEST(ViewerOptions, DefaultsWithoutArguments)
{
    const ViewerCommandLine result = parse({});
    EXPECT_TRUE(result.error.empty());
    EXPECT_FALSE(result.help);
    EXPECT_TRUE(result.options.heightmap.empty());
    EXPECT_EQ(result.options.mapSize, 4097u);
    EXPECT_EQ(result.options.frames, 0);
    EXPECT_TRUE(result.options.blood);
    EXPECT_TRUE(result.options.overlay);
    EXPECT_FALSE(result.options.wireframe);
}

TEST(ViewerOptions, ReadsEveryOptionInBothSpellings)
{
    const ViewerCommandLine result =
        parse({"--map-size", "513", "--seed=7", "--frames", "120", "--screenshot=out.png", "--resolution",
               "640x360", "--patch-size", "16", "--detail=2.5", "--memory", "96", "--media", "m", "--cache-dir=c", "--no-blood",
               "--no-overlay", "--wireframe", "--size", "1000", "--height=250.5"});
    ASSERT_TRUE(result.error.empty()) << result.error;
    const ViewerOptions& options = result.options;
    EXPECT_EQ(options.mapSize, 513u);
    EXPECT_EQ(options.seed, 7u);
    EXPECT_EQ(options.frames, 120);
    EXPECT_EQ(options.screenshot, "out.png");
    EXPECT_EQ(options.width, 640u);
    EXPECT_EQ(options.height, 360u);
    EXPECT_EQ(options.patchSize, 16);
    EXPECT_FLOAT_EQ(options.detail, 2.5f);
    EXPECT_EQ(options.memoryMiB, 96u);
    EXPECT_EQ(options.mediaDir, "m");
    EXPECT_EQ(options.cacheDir, "c");
    EXPECT_FALSE(options.blood);
    EXPECT_FALSE(options.overlay);
    EXPECT_TRUE(options.wireframe);
    EXPECT_FLOAT_EQ(options.terrainSize, 1000.0f);
    EXPECT_FLOAT_EQ(options.terrainHeight, 250.5f);
}

TEST(ViewerOptions, UserHeightmapWithItsScale)
{
    const ViewerCommandLine result = parse({"--heightmap", "alps.tif", "--size", "8192", "--height", "600"});
    ASSERT_TRUE(result.error.empty()) << result.error;
    EXPECT_EQ(result.options.heightmap, "alps.tif");
    EXPECT_FLOAT_EQ(result.options.terrainSize, 8192.0f);
}

TEST(ViewerOptions, EditNamesTheHeightmapTheBrushMayWrite)
{
    const ViewerCommandLine edit = parse({"--edit", "alps.tif", "--frames=10", "--sculpt-demo"});
    ASSERT_TRUE(edit.error.empty()) << edit.error;
    EXPECT_EQ(edit.options.heightmap, "alps.tif");
    EXPECT_TRUE(edit.options.editHeightmap);
    EXPECT_TRUE(edit.options.sculptDemo);
    // Naming the same map both ways is fine; the plain option alone never lets the brush write.
    EXPECT_TRUE(parse({"--heightmap", "alps.tif", "--edit=alps.tif"}).options.editHeightmap);
    EXPECT_FALSE(parse({"--heightmap", "alps.tif"}).options.editHeightmap);
    EXPECT_TRUE(parse({"--frames", "5", "--sculpt-demo"}).error.empty()) << "the built-in map's copy is sculpted";
}

TEST(ViewerOptions, HelpWinsOverEverythingElse)
{
    EXPECT_TRUE(parse({"--frames", "3", "--help"}).help);
    EXPECT_TRUE(parse({"-h"}).help);
}

TEST(ViewerOptions, RefusesUnusableArguments)
{
    // Each case: the arguments and a piece of the message that must name the problem.
    const struct
    {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{"--bogus"}, "unknown argument '--bogus'"},
        {{"extra"}, "unknown argument 'extra'"},
        {{"--frames"}, "--frames needs a value"},
        {{"--frames", "0"}, "--frames needs"},
        {{"--frames", "ten"}, "not 'ten'"},
        {{"--frames", "-5"}, "--frames needs"},
        {{"--map-size", "500"}, "2^k + 1"},
        {{"--map-size", "65"}, "2^k + 1"},
        {{"--map-size", "16385"}, "2^k + 1"},
        {{"--seed", "4294967296"}, "--seed"},
        {{"--size", "0"}, "--size needs a positive number"},
        {{"--height", "nan"}, "--height needs a positive number"},
        {{"--height", "12abc"}, "--height needs a positive number"},
        {{"--resolution", "640"}, "WIDTHxHEIGHT"},
        {{"--resolution", "10x10"}, "WIDTHxHEIGHT"},
        {{"--patch-size", "24"}, "power of two"},
        {{"--patch-size", "256"}, "power of two"},
        {{"--detail", "-1"}, "--detail"},
        {{"--memory", "-5"}, "--memory needs a budget in MiB"},
        {{"--screenshot", "a.png"}, "--screenshot needs --frames"},
        {{"--heightmap", "a.tif", "--map-size", "513"}, "do not apply to --heightmap"},
        {{"--heightmap", "a.tif", "--seed", "3"}, "do not apply to --heightmap"},
        {{"--no-blood=yes"}, "takes no value"},
        {{"--heightmap="}, "--heightmap needs a file name"},
        {{"--edit"}, "--edit needs a value"},
        {{"--heightmap", "a.tif", "--edit", "b.tif"}, "name one map"},
        {{"--sculpt-demo"}, "--sculpt-demo needs --frames"},
        {{"--sculpt-demo=1", "--frames", "3"}, "takes no value"},
        {{"--heightmap", "a.tif", "--frames", "3", "--sculpt-demo"}, "--edit FILE"},
    };
    for (const auto& c : cases)
    {
        const ViewerCommandLine result = parse(c.arguments);
        EXPECT_NE(result.error.find(c.message), std::string::npos)
            << "arguments: " << c.arguments.front() << " ... gave: '" << result.error << "'";
    }
}

TEST(ViewerOptions, UsageNamesEveryOptionAndTheXvfbCommand)
{
    const std::string usage = viewerUsage("terrain-viewer");
    for (const char* option : {"--heightmap", "--size", "--height", "--map-size", "--seed", "--frames",
                               "--screenshot", "--resolution", "--patch-size", "--detail", "--memory", "--no-blood",
                               "--no-overlay", "--wireframe", "--media", "--cache-dir", "--edit", "--sculpt-demo",
                               "Ctrl+Z", "xvfb-run"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}

TEST(ViewerOptions, DefaultPatchSizePutsLevelEightOnTheSamples)
{
    EXPECT_EQ(defaultPatchSize(513), 8);    // kept at the smallest worth drawing
    EXPECT_EQ(defaultPatchSize(2049), 8);   // 2048 = 8 quads x 2^8
    EXPECT_EQ(defaultPatchSize(4097), 16);  // 4096 = 16 quads x 2^8
    EXPECT_EQ(defaultPatchSize(8193), 32);
    EXPECT_EQ(defaultPatchSize(16385), 32); // kept at the largest a software rasteriser draws well
}
