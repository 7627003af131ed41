// The built viewer's answers to bad arguments and missing things: a clear message and a non-zero
// exit status, before any window or engine is involved.

#include "RunProgram.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace
{
const std::string kViewer = shellQuoted(TERRAIN_VIEWER);
// A display name that is set but never reached: every case here fails before the engine starts.
const std::string kWithDisplay = "env DISPLAY=:999 " + kViewer;
const std::string kWithoutDisplay = "env -u DISPLAY " + kViewer;

void expectFailure(const std::string& commandLine, int status, const std::string& message)
{
    const ProgramRun run = runProgram(commandLine);
    EXPECT_EQ(run.status, status) << commandLine << "\n" << run.output;
    EXPECT_NE(run.output.find(message), std::string::npos) << commandLine << "\n" << run.output;
}
} // namespace

TEST(ViewerCommandLine, HelpPrintsTheUsage)
{
    const ProgramRun run = runProgram(kWithoutDisplay + " --help");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("Usage: terrain-viewer"), std::string::npos) << run.output;
}

TEST(ViewerCommandLine, BadArgumentsExitWithStatusTwo)
{
    expectFailure(kWithDisplay + " --frames", 2, "--frames needs a value");
    expectFailure(kWithDisplay + " --map-size 1000", 2, "2^k + 1");
    expectFailure(kWithDisplay + " --wat", 2, "Run 'terrain-viewer --help'");
}

TEST(ViewerCommandLine, WithoutADisplayItSuggestsXvfb)
{
    expectFailure(kWithoutDisplay, 1, "xvfb-run -a -s");
    expectFailure(kWithoutDisplay + " --frames 10", 1, "xvfb-run -a -s");
}

TEST(ViewerCommandLine, MissingOrUnreadableHeightmapIsNamed)
{
    expectFailure(kWithDisplay + " --frames 1 --heightmap /nonexistent/map.tif", 1, "/nonexistent/map.tif not found");

    const std::filesystem::path notTiff =
        std::filesystem::temp_directory_path() / ("viewer-cli-" + std::to_string(getpid()) + ".tif");
    std::ofstream(notTiff) << "this is not a TIFF file";
    expectFailure(kWithDisplay + " --frames 1 --heightmap " + shellQuoted(notTiff.string()), 1, "cannot be read");
    std::filesystem::remove(notTiff);
}

TEST(ViewerCommandLine, MissingMediaAreNamed)
{
    expectFailure(kWithDisplay + " --frames 1 --media /nonexistent/media", 1, "no Terrain.material");
}
