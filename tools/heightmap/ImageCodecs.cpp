#include "ImageCodecs.h"

#include <OgreBuildSettings.h>
#include <OgreCodec.h>
#include <OgreDataStream.h>
#include <OgreException.h>
#include <OgreImage.h>
#include <OgreLogManager.h>
#include <OgrePixelFormat.h>
#include <OgreRoot.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace
{
std::string pluginFolder()
{
    const char* folder = std::getenv("TERRAIN_OGRE_PLUGIN_DIR");
    return folder && *folder ? folder : HEIGHTMAP_OGRE_PLUGIN_DIR;
}

std::vector<char> readWholeFile(const std::string& path)
{
    requireReadableFile(path);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw ToolError("cannot read " + inQuotes(path));
    if (bytes.empty())
        throw ToolError(inQuotes(path) + " is empty");
    return bytes;
}

// The bits per sample a PNG file declares (IHDR bit depth), or 0 for anything but PNG.
int pngBitDepth(const std::vector<char>& bytes)
{
    static const char kSignature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
    if (bytes.size() < 33 || !std::equal(kSignature, kSignature + 8, bytes.begin()) ||
        std::string(bytes.data() + 12, 4) != "IHDR")
        return 0;
    return static_cast<unsigned char>(bytes[24]);
}

// Rec. 709 luma weights; they add up to 1, so a grey pixel keeps its value.
constexpr double kLumaRed = 0.2126;
constexpr double kLumaGreen = 0.7152;
constexpr double kLumaBlue = 0.0722;
} // namespace

ImageCodecs::ImageCodecs()
{
    // A log of our own, before the root makes one: Ogre's log lines would otherwise go to
    // standard output and to a file.
    log_ = std::make_unique<Ogre::LogManager>();
    log_->createLog("terrain-heightmap", true, false, true);
    root_ = std::make_unique<Ogre::Root>("", "", "");

    const std::string folder = pluginFolder();
    std::string failures;
    for (const char* name : {"FreeImage", "STBI"})
    {
        // Ogre loads "Codec_X" as the file "Codec_X.so.<Ogre's version>". A plug-in that is not
        // there is passed over before Ogre tries it: a failed load leaks its library record.
        const std::string plugin = folder + "/Codec_" + name;
        const std::string file = plugin + ".so." + std::to_string(OGRE_VERSION_MAJOR) + "." +
                                 std::to_string(OGRE_VERSION_MINOR) + "." +
                                 std::to_string(OGRE_VERSION_PATCH);
        std::error_code error;
        if (!std::filesystem::exists(file, error))
        {
            failures += std::string(failures.empty() ? "" : "; ") + inQuotes(file) + " not found";
            continue;
        }
        try
        {
            root_->loadPlugin(plugin);
            codecName_ = name;
            sixteenBitPng_ = codecName_ == "FreeImage";
            return;
        }
        catch (const Ogre::Exception& e)
        {
            failures += std::string(failures.empty() ? "" : "; ") + e.getDescription();
        }
    }
    throw ToolError("cannot load Ogre's image codecs (Codec_FreeImage or Codec_STBI) from " +
                    inQuotes(folder) +
                    " (set TERRAIN_OGRE_PLUGIN_DIR to the folder that holds them): " + failures);
}

ImageCodecs::~ImageCodecs()
{
    // The root unloads its plug-ins and must go before the log it writes to.
    root_.reset();
    log_.reset();
}

ImageHeights ImageCodecs::loadHeights(const std::string& path) const
{
    std::vector<char> bytes = readWholeFile(path);
    // Ogre recognises most formats by their first bytes; the STBI codec does not tell its
    // formats that way, so the file name's extension names the codec instead.
    char magic[32] = {};
    const size_t magicLength = std::min(bytes.size(), sizeof(magic));
    std::copy_n(bytes.begin(), magicLength, magic);
    std::string type;
    if (!Ogre::Codec::getCodec(magic, magicLength))
    {
        type = lowerExtension(path);
        if (type.empty() || !Ogre::Codec::isCodecRegistered(type))
            throw ToolError(inQuotes(path) + " is not in an image format that Ogre's " +
                            codecName_ + " codec reads");
    }

    Ogre::Image image;
    try
    {
        Ogre::DataStreamPtr stream =
            std::make_shared<Ogre::MemoryDataStream>(bytes.data(), bytes.size(), false, true);
        image.load(stream, type);
    }
    catch (const Ogre::Exception& e)
    {
        throw ToolError("cannot decode " + inQuotes(path) + ": " + e.getDescription());
    }

    const Ogre::PixelFormat format = image.getFormat();
    const std::string sourceFormat = Ogre::PixelUtil::getFormatName(format);
    if (Ogre::PixelUtil::isCompressed(format))
        throw ToolError(inQuotes(path) + " holds compressed pixels (" + sourceFormat +
                        "), which this tool does not convert");
    if (image.getWidth() == 0 || image.getHeight() == 0)
        throw ToolError(inQuotes(path) + " holds an empty image");
    // The STBI codec decodes 16-bit PNG to 8 bits per sample; that would lose most of the
    // heights without a word.
    const size_t channelBytes = Ogre::PixelUtil::getNumElemBytes(format) /
                                std::max<size_t>(Ogre::PixelUtil::getComponentCount(format), 1);
    if (pngBitDepth(bytes) == 16 && channelBytes < 2)
        throw ToolError(inQuotes(path) + " is a 16-bit PNG, which Ogre's " + codecName_ +
                        " codec reduces to 8 bits; install Ogre's FreeImage codec to import it");

    // Volume and cube-map images: the first slice of the first face is the picture.
    ImageHeights out;
    out.width = image.getWidth();
    out.height = image.getHeight();
    out.heights.resize(size_t(out.width) * out.height);
    const size_t pixelBytes = Ogre::PixelUtil::getNumElemBytes(format);
    const bool grey = Ogre::PixelUtil::getComponentCount(format) <= 2;
    const bool floating = Ogre::PixelUtil::isFloatingPoint(format);
    // Unpacked colours are 0..1 of the channel's range: back to the stored levels.
    const float scale = floating ? 1.0f : channelBytes >= 2 ? 65535.0f : 255.0f;
    out.format = std::string(grey ? "grey" : "colour") + " image of " +
                 (floating ? std::string("float") : std::to_string(channelBytes * 8) + "-bit") +
                 " samples (" + sourceFormat + ", Ogre's " + codecName_ + " codec)";
    for (uint32_t y = 0; y < out.height; ++y)
    {
        const Ogre::uchar* row = image.getData(0, y, 0);
        float* heights = out.heights.data() + uint64_t(y) * out.width;
        if (format == Ogre::PF_L16)
        {
            for (uint32_t x = 0; x < out.width; ++x)
                heights[x] = reinterpret_cast<const uint16_t*>(row)[x];
        }
        else if (format == Ogre::PF_L8)
        {
            for (uint32_t x = 0; x < out.width; ++x)
                heights[x] = row[x];
        }
        else
        {
            for (uint32_t x = 0; x < out.width; ++x)
            {
                Ogre::ColourValue colour;
                Ogre::PixelUtil::unpackColour(&colour, format, row + x * pixelBytes);
                // Grey formats unpack their grey into red (and green and blue).
                const double level = grey ? colour.r : kLumaRed * colour.r + kLumaGreen * colour.g + kLumaBlue * colour.b;
                heights[x] = float(level * scale);
            }
        }
    }
    return out;
}

std::vector<uint8_t> ImageCodecs::encodePng(const Heightmap& map, int bitsPerSample) const
{
    if (bitsPerSample == 16 && !sixteenBitPng_)
        throw ToolError("Ogre's " + codecName_ + " codec writes 8-bit PNG only");
    try
    {
        Ogre::Image image(bitsPerSample == 16 ? Ogre::PF_L16 : Ogre::PF_L8, map.width, map.height);
        const uint64_t count = map.sampleCount();
        if (bitsPerSample == 16)
        {
            std::copy_n(map.samples.data(), count, image.getData<uint16_t>());
        }
        else
        {
            Ogre::uchar* out = image.getData();
            for (uint64_t i = 0; i < count; ++i)
                out[i] = Ogre::uchar((map.samples[i] + 128) / 257);
        }
        Ogre::DataStreamPtr encoded = image.encode("png");
        std::vector<uint8_t> bytes(encoded->size());
        if (encoded->read(bytes.data(), bytes.size()) != bytes.size())
            throw ToolError("Ogre's " + codecName_ + " codec could not encode the PNG image");
        return bytes;
    }
    catch (const Ogre::Exception& e)
    {
        throw ToolError("cannot encode a PNG image: " + e.getDescription());
    }
}
