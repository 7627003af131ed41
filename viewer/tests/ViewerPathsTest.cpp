#include "ViewerPaths.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace
{
// A temporary folder tree, removed at the end of the test.
class Folder
{
public:
    Folder() : root(fs::temp_directory_path() / ("viewer-paths-" + std::to_string(::getpid()) + "-" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name()))
    {
        fs::remove_all(root);
        fs::create_directories(root);
    }
    ~Folder() { fs::remove_all(root); }

    fs::path withMaterials(const std::string& relative) const
    {
        const fs::path folder = root / relative;
        fs::create_directories(folder);
        std::ofstream(folder / "Terrain.material") << "material Terrain/Default {}\n";
        return folder;
    }

    fs::path root;
};
} // namespace

TEST(ViewerPaths, CacheFolderFollowsTheBaseDirectoryRules)
{
    EXPECT_EQ(chooseCacheDirectory("mine", "/xdg", "/home/u"), fs::path("mine"));
    EXPECT_EQ(chooseCacheDirectory("", "/xdg", "/home/u"), fs::path("/xdg/plugin-terrain"));
    // Relative or empty XDG_CACHE_HOME values do not count.
    EXPECT_EQ(chooseCacheDirectory("", "relative", "/home/u"), fs::path("/home/u/.cache/plugin-terrain"));
    EXPECT_EQ(chooseCacheDirectory("", "", "/home/u"), fs::path("/home/u/.cache/plugin-terrain"));
    EXPECT_EQ(chooseCacheDirectory("", nullptr, "/home/u"), fs::path("/home/u/.cache/plugin-terrain"));
    EXPECT_EQ(chooseCacheDirectory("", nullptr, nullptr).filename(), fs::path("plugin-terrain"));
}

TEST(ViewerPaths, MediaFolderGivenOnTheCommandLineMustHoldTheMaterials)
{
    Folder folder;
    const fs::path media = folder.withMaterials("given");
    std::string error;
    EXPECT_EQ(resolveMediaDirectory(media.string(), "", "", error), media.string());
    EXPECT_TRUE(error.empty());

    EXPECT_EQ(resolveMediaDirectory((folder.root / "empty").string(), "", "", error), "");
    EXPECT_NE(error.find("no Terrain.material"), std::string::npos) << error;
}

TEST(ViewerPaths, InstalledMediaComeBeforeTheBuildTree)
{
    Folder folder;
    const fs::path installed = folder.withMaterials("prefix/share/plugin-terrain/media");
    const fs::path buildTree = folder.withMaterials("source/media");
    std::string error;
    EXPECT_EQ(resolveMediaDirectory("", folder.root / "prefix" / "bin", buildTree.string(), error), installed.string());
    EXPECT_EQ(resolveMediaDirectory("", folder.root / "elsewhere" / "bin", buildTree.string(), error),
              buildTree.string());
}

TEST(ViewerPaths, MissingMediaSayWhereTheyWereLookedFor)
{
    Folder folder;
    std::string error;
    EXPECT_EQ(resolveMediaDirectory("", folder.root / "bin", (folder.root / "none").string(), error), "");
    EXPECT_NE(error.find("share/plugin-terrain/media"), std::string::npos) << error;
    EXPECT_NE(error.find("--media"), std::string::npos) << error;
}

TEST(ViewerPaths, PluginIsTheLinkedLibrary)
{
    const std::string plugin = terrainPluginPath();
    EXPECT_TRUE(fs::is_regular_file(plugin)) << plugin;
    EXPECT_NE(plugin.find("Plugin_Terrain"), std::string::npos) << plugin;
}
