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
// and the error message ("0 .. 1", "above 0").
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

    ImportOptions import;
    CLI::App* importCommand = app.add_subcommand(
        "import", "Convert an image or a raw file of 16-bit samples into a heightmap.");
    importCommand->add_option("IN", import.input, "image (PNG, ...) or raw file")
        ->required()
        ->type_name("");
    importCommand->add_option("OUT.tif", import.output, "TIFF file to write")
        ->required()
        ->type_name("");
    importCommand
        ->add_option("--raw-size", import.rawSize,
                     "read IN as raw 16-bit samples, WIDTH x HEIGHT of them (without it, a .raw or "
                     ".r16 file must be square)")
        ->check([](const std::string& text) {
            return parseRawSize(text)
                       ? std::string()
                       : "expected WIDTHxHEIGHT such as 1025x1025, not \"" + text + "\"";
        })
        ->type_name("WxH");
    importCommand->add_flag("--big-endian", import.bigEndian,
                            "raw samples are big-endian (little-endian otherwise)");
    importCommand->footer(
        "Images are decoded by Ogre's image codecs. 16-bit grey samples are kept as they are; "
        "8-bit grey samples are scaled by 257 (255 becomes 65535); colour pixels become their luma "
        "Y = 0.2126 R + 0.7152 G + 0.0722 B of the stored values, scaled to 0..65535, so grey "
        "colour pixels keep their value; alpha is ignored. Raw input: .raw and .r16 files, or any "
        "file with --raw-size or --big-endian; rows of 16-bit samples, first row first.");

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
