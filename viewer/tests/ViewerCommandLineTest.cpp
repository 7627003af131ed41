// The built viewer's answers to bad arguments and missing things: a clear message and a non-zero
// exit status, before any window or engine is involved.

#include "RunProgram.h"

#include <gtest/gtest.h>
#include <tiffio.h>

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

// A 5 x 5 grey TIFF written by libtiff with the given sample format and compression.
void writeLibtiffImage(const std::string& name, uint16_t sampleFormat, uint16_t compression)
{
    TIFF* tif = TIFFOpen(name.c_str(), "w");
    ASSERT_TRUE(tif);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 5);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 5);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, sampleFormat);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 5);
    uint16_t row[5] = {1, 2, 3, 4, 5};
    for (uint32_t y = 0; y < 5; ++y)
        TIFFWriteScanline(tif, row, y, 0);
    TIFFClose(tif);
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
    const std::string notTiffRun = kWithDisplay + " --frames 1 --heightmap " + shellQuoted(notTiff.string());
    expectFailure(notTiffRun, 1, "cannot be streamed: not a TIFF file");
    expectFailure(notTiffRun, 1, "convert it with: terrain-heightmap import " + notTiff.string() + " OUT.tif");

    // TIFF files of kinds the terrain does not stream: the stream's reason and the way out.
    writeLibtiffImage(notTiff.string(), SAMPLEFORMAT_INT, COMPRESSION_NONE);
    expectFailure(notTiffRun, 1, "cannot be streamed: signed 16-bit samples\nconvert it with: terrain-heightmap import");
    writeLibtiffImage(notTiff.string(), SAMPLEFORMAT_UINT, COMPRESSION_LZW);
    expectFailure(notTiffRun, 1, "cannot be streamed: compressed (LZW)\nconvert it with: terrain-heightmap import");
    // Without a display too: the heightmap is the first thing to fix.
    expectFailure(kWithoutDisplay + " --frames 1 --heightmap " + shellQuoted(notTiff.string()), 1,
                  "compressed (LZW)");
    std::filesystem::remove(notTiff);
}

TEST(ViewerCommandLine, MissingMediaAreNamed)
{
    expectFailure(kWithDisplay + " --frames 1 --media /nonexistent/media", 1, "no Terrain.material");
}
