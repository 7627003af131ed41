// terrain-heightmap: creates, imports, exports and inspects the 16-bit TIFF heightmaps that
// the terrain plug-in streams.

#include "Commands.h"
#include "HeightmapFiles.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <string>

namespace
{
constexpr const char* kProgram = "terrain-heightmap";

// A whole decimal number in low .. high, handed on without leading zeros. CLI11's own
// conversion would take octal ("010" is 8) and hexadecimal, and its range check words its
// message for any type. Used as a transform: a check could not rewrite the text.
CLI::Validator wholeNumber(uint64_t low, uint64_t high)
{
    const std::string range = std::to_string(low) + " .. " + std::to_string(high);
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            const bool digits = !text.empty() && text.size() <= 19 &&
                                std::all_of(text.begin(), text.end(),
                                            [](char c) { return c >= '0' && c <= '9'; });
            if (digits)
            {
                const uint64_t value = std::stoull(text);
                if (value >= low && value <= high)
                {
                    text = std::to_string(value);
                    return {};
                }
            }
            return "expected a whole number in " + range + ", not \"" + text + "\"";
        },
        range);
}

// A finite number in low .. high, or above low when lowExcluded; range words it for the help
// and the error message ("0 .. 1", "above 0"; empty for any finite number).
CLI::Validator realNumber(double low, double high, bool lowExcluded, const std::string& range)
{
    return CLI::Validator(
        [low, high, lowExcluded, range](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
            const bool number = !text.empty() && end == text.c_str() + text.size() &&
                                std::isfinite(value);
            if (number && (lowExcluded ? value > low : value >= low) && value <= high)
                return {};
            if (range.empty())
                return "expected a finite number, not \"" + text + "\"";
            return std::string("expected a number ") + (lowExcluded ? "" : "in ") + range +
                   ", not \"" + text + "\"";
        },
        range);
}

int fail(const std::string& message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: error: %s\n", kProgram, message.c_str());
    return 1;
}
} // namespace

int main(int argc, char** argv)
{
    CLI::App app("Creates, imports, exports and inspects the heightmaps of the terrain plug-in: "
                 "TIFF files of one unsigned 16-bit sample per pixel, 65535 being the terrain's "
                 "full height.",
                 kProgram);
    app.require_subcommand(1);
    app.option_defaults()->always_capture_default();

    CreateOptions create;
    CLI::App* createCommand = app.add_subcommand("create", "Write a seeded fractal heightmap.");
    createCommand->add_option("OUT.tif", create.output, "TIFF file to write")
        ->required()
        ->type_name("");
    createCommand->add_option("--size", create.size,
                              "samples along each edge (2^k + 1 suits the terrain: 513, 1025, ...)")
        ->transform(wholeNumber(2, kMaxCreateSize))
        ->type_name("N");
    createCommand->add_option("--seed", create.seed, "the same seed gives the same map")
        ->transform(wholeNumber(0, UINT32_MAX))
        ->type_name("S");
    createCommand->add_option("--roughness", create.roughness,
                              "0 (smooth) .. 1 (rough): how much detail each halving keeps")
        ->check(realNumber(0.0, 1.0, false, "0 .. 1"))
        ->type_name("R");
    createCommand->add_option("--min", create.lowest, "sample value of the lowest point")
        ->transform(wholeNumber(0, 65535))
        ->type_name("LOW");
    createCommand->add_option("--max", create.highest, "sample value of the highest point")
        ->transform(wholeNumber(0, 65535))
        ->type_name("HIGH");
    createCommand->add_flag("--bigtiff", create.bigTiff,
                            "write BigTIFF even when classic TIFF would hold the map (it is "
                            "written beyond 4 GiB anyway)");
    createCommand->footer("Maps up to 32769 samples a side are made in memory (4 GiB at that "
                          "size); larger ones, up to 131073, a band of rows at a time with little "
                          "memory, and written as BigTIFF beyond 4 GiB.");

    ImportOptions import;
    CLI::App* importCommand = app.add_subcommand(
        "import", "Convert elevation data (GeoTIFF, SRTM .hgt, raw samples, images) into a heightmap.");
    importCommand->add_option("IN", import.input, "TIFF or GeoTIFF, .hgt, raw file or image (PNG, PGM, ...)")
        ->required()
        ->type_name("");
    importCommand->add_option("OUT.tif", import.output, "TIFF file to write")
        ->required()
        ->type_name("");
    importCommand
        ->add_option("--range", import.range,
                     "heights that become samples 0 and 65535, in the source's units; heights "
                     "outside are clamped (default: the lowest and highest valid height)")
        ->expected(2)
        ->default_str("")
        ->check(realNumber(-std::numeric_limits<double>::max(), std::numeric_limits<double>::max(), false, ""))
        ->type_name("LOW HIGH");
    importCommand
        ->add_option("--nodata", import.nodata,
                     "the height that marks missing data (default: the file's GDAL nodata tag, "
                     "-32768 for .hgt)")
        ->check(realNumber(-std::numeric_limits<double>::max(), std::numeric_limits<double>::max(), false, ""))
        ->type_name("V");
    importCommand->add_option("--band", import.band, "the sample of each pixel that is the height")
        ->transform(wholeNumber(1, 65535))
        ->type_name("N");
    importCommand
        ->add_option("--raw-size", import.rawSize,
                     "read IN as raw samples, WIDTH x HEIGHT of them (without it, a raw file must "
                     "be square)")
        ->check([](const std::string& text) {
            return parseRawSize(text)
                       ? std::string()
                       : "expected WIDTHxHEIGHT such as 1025x1025, not \"" + text + "\"";
        })
        ->type_name("WxH");
    importCommand->add_flag("--big-endian", import.bigEndian,
                            "raw samples are big-endian (little-endian otherwise)");
    importCommand->add_flag("--signed", import.isSigned, "raw samples are signed 16-bit");
    importCommand->add_flag("--float", import.isFloat, "raw samples are 32-bit floats");
    importCommand->add_flag("--bigtiff", import.bigTiff,
                            "write BigTIFF even when classic TIFF would hold the map");
    importCommand->footer(
        "Heights become samples 0 .. 65535 on a straight line, rounded to the nearest: the lowest "
        "valid height 0 and the highest 65535, or as --range says (--range 0 65535 keeps 16-bit "
        "samples as they are; give tiles of one region the same range). Pixels with no data are "
        "filled smoothly from the heights around them. The output tells the setTerrainScale "
        "height that keeps the source's units.\n"
        "TIFF files are read through libtiff: any byte order, classic or BigTIFF, strips or tiles, "
        "any compression libtiff decodes, 8 to 64-bit integer or float samples; the first "
        "full-resolution image (overviews and masks are skipped), the first sample of a pixel "
        "unless --band says. .hgt files are SRTM tiles. Raw input: .raw and .r16 files, or any "
        "file with --raw-size, --big-endian, --signed or --float; rows of 16-bit samples (32-bit "
        "with --float), first row first. Other images are decoded by Ogre's codecs: grey levels "
        "as stored (0 .. 255 or 0 .. 65535), colour pixels as their Rec. 709 luma "
        "Y = 0.2126 R + 0.7152 G + 0.0722 B on the same scale; alpha is ignored.");

    ExportOptions exportOptions;
    CLI::App* exportCommand =
        app.add_subcommand("export", "Write a grey PNG preview of a heightmap.");
    exportCommand->add_option("IN.tif", exportOptions.input, "heightmap TIFF file")
        ->required()
        ->type_name("");
    exportCommand->add_option("OUT.png", exportOptions.output, "PNG file to write")
        ->required()
        ->type_name("");
    exportCommand
        ->add_option("--scale", exportOptions.scale,
                     "keep one sample, the average, of each N x N block (1: full size)")
        ->transform(wholeNumber(1, 65536))
        ->type_name("N");
    exportCommand
        ->add_option("--bits", exportOptions.bits,
                     "bits per PNG sample; by default 16 when Ogre's codec writes them, else 8")
        ->check(CLI::IsMember({8, 16}))
        ->type_name("8|16")
        ->default_str("");

    InfoOptions info;
    CLI::App* infoCommand = app.add_subcommand(
        "info", "Print a heightmap's layout and sample range, one \"name: value\" per line.");
    infoCommand->add_option("IN.tif", info.input, "TIFF file to inspect")
        ->required()
        ->type_name("");
    infoCommand
        ->add_option("--height", info.worldHeight,
                     "world height of sample 65535: also print the range in world units")
        ->check(realNumber(0.0, std::numeric_limits<double>::max(), true, "above 0"))
        ->type_name("H")
        ->default_str("");

    // CLI11 would take an unknown command word for a stray argument and only say that a
    // subcommand is missing.
    const auto isCommand = [&](const std::string& word) {
        for (const CLI::App* command : {createCommand, importCommand, exportCommand, infoCommand})
            if (command->check_name(word))
                return true;
        return false;
    };
    if (argc > 1 && argv[1][0] != '-' && !isCommand(argv[1]))
        return fail("unknown command \"" + std::string(argv[1]) +
                    "\": expected create, import, export or info (see " + kProgram + " --help)");

    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::ParseError& e)
    {
        // Help is a "parse error" that succeeds; it goes to standard output.
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e);
        return fail(std::string(e.what()) + " (see " + kProgram + " --help)");
    }

    try
    {
        if (*createCommand)
            runCreate(create);
        else if (*importCommand)
            runImport(import);
        else if (*exportCommand)
            runExport(exportOptions);
        else if (*infoCommand)
            runInfo(info);
        return 0;
    }
    catch (const ToolError& e)
    {
        return fail(e.what());
    }
    catch (const std::bad_alloc&)
    {
        return fail("not enough memory");
    }
    catch (const std::exception& e)
    {
        return fail(e.what());
    }
}
