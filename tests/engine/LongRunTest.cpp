// Long runs: streams opened and closed many times while a camera moves, terrains destroyed and
// made again, and settings changed at random while the build thread works. Heights stay
// exact, nothing leaks (the sanitizer builds run these too), memory stays flat.
//
// CI runs a short form; TERRAIN_LONG_RUN=1 runs the full one (1,000 cycles, 2,000 settings,
// 4,000 operations with strokes).

#include "EngineSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

using namespace testing_support;

namespace
{
bool longRun()
{
    const char* value = std::getenv("TERRAIN_LONG_RUN");
    return value && *value && *value != '0';
}

// Rough ground with every sample telling where it is.
uint16_t sampleAt(int x, int z)
{
    uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(z) * 19349663u;
    h ^= h >> 13;
    return uint16_t(1000 + (x * 97 + z * 31) % 20000 + h % 997);
}

// Resident memory of the process, in bytes.
uint64_t residentBytes()
{
    long pages = 0, resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    const int read = std::fscanf(statm, "%ld %ld", &pages, &resident);
    std::fclose(statm);
    return read == 2 ? uint64_t(resident) * uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

bool underSanitizer()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

class LongRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        map = writeHeightmap(folder.file("map.tif"), 257, 257, sampleAt);
        for (int z = 0; z < 257; ++z)
            for (int x = 0; x < 257; ++x)
                samples.push_back(sampleAt(x, z));
    }

    std::unique_ptr<TestTerrain> makeTerrain(const std::string& name)
    {
        auto terrain = std::make_unique<TestTerrain>(name);
        engine.scene->getRootSceneNode()->attachObject(terrain.get());
        terrain->setTerrainScale(1024, 65535); // one world unit per sample value
        terrain->setPatchSize(16);
        return terrain;
    }

    // The settings the long runs change at random, by choice 0 to 3: the cache size, the patch
    // size, the scale (size follows it), or the stream closed and opened again. Returns whether
    // the stream opened.
    template <class Pick>
    bool changeSetting(TestTerrain& terrain, int choice, Pick& pick, float& size)
    {
        switch (choice)
        {
        case 0: terrain.setHeightCacheSize(pick(3) * 96); break;
        case 1: terrain.setPatchSize(8 << pick(3)); break;
        case 2:
            size = pick(2) ? 1024.0f : 2048.0f;
            terrain.setTerrainScale(size, 65535);
            break;
        default: terrain.closeStream(); return terrain.openStream(map);
        }
        return true;
    }

    // Every built vertex, drawn or kept, lies on its own sample; the number of vertices checked.
    uint64_t expectExactVertices(const TestTerrain& terrain, float size) const
    {
        return expectPatchesOnSamples(terrain.root(), samples, 257, size, 1.0f);
    }

    TestFolder folder;
    Engine engine;
    std::string map;
    std::vector<uint16_t> samples; // the map's, row by row
};
} // namespace

TEST_F(LongRun, OpenCloseCyclesKeepHeightsExactAndMemoryFlat)
{
    const int cycles = longRun() ? 1000 : 60;
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 900, -600), Ogre::Vector3(0, 0, 0));
    std::unique_ptr<TestTerrain> terrain;
    uint64_t checked = 0, residentAt20 = 0;
    std::mt19937 random(17);
    std::uniform_real_distribution<float> across(-450, 450);
    for (int cycle = 0; cycle < cycles; ++cycle)
    {
        if (cycle % 50 == 0)
        {
            terrain.reset();
            terrain = makeTerrain("ground" + std::to_string(cycle));
            terrain->setHeightCacheSize(cycle % 100 == 0 ? 128 : 0);
        }
        ASSERT_TRUE(terrain->openStream(map)) << "cycle " << cycle;
        // A few frames with the camera on the move, some of them leaving builds in flight.
        const int frames = 3 + cycle % 7;
        for (int f = 0; f < frames; ++f)
        {
            camera->getParentSceneNode()->setPosition(across(random), 200 + across(random) + 450, across(random));
            camera->getParentSceneNode()->lookAt(Ogre::Vector3(across(random), 0, across(random)), Ogre::Node::TS_WORLD);
            terrain->frame(camera);
            // A frame's worth of time for the build thread, so that patches come and go.
            std::this_thread::sleep_for(std::chrono::microseconds(700));
        }
        checked += expectExactVertices(*terrain, 1024);
        ASSERT_FALSE(HasFailure()) << "cycle " << cycle;
        if (cycle % 3 != 0)
            terrain->closeStream(); // otherwise the next openStream closes it
        if (cycle == 20)
            residentAt20 = residentBytes();
    }
    terrain.reset();
    const uint64_t residentAtEnd = residentBytes();
    EXPECT_GT(checked, uint64_t(cycles));
    std::printf("%d cycles: %llu vertices checked; resident memory %.1f MiB after 20 cycles, %.1f MiB at the end\n",
                cycles, static_cast<unsigned long long>(checked), double(residentAt20) / 1048576.0,
                double(residentAtEnd) / 1048576.0);
    if (!underSanitizer())
    {
        EXPECT_LT(double(residentAtEnd), double(residentAt20) + 10.0 * 1048576.0);
    }
}

TEST_F(LongRun, SettingsChangedAtRandomWhileTheBuildThreadWorks)
{
    const int operations = longRun() ? 2000 : 500;
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 700, -500), Ogre::Vector3(0, 0, 0));
    std::unique_ptr<TestTerrain> terrain = makeTerrain("ground");
    ASSERT_TRUE(terrain->openStream(map));
    std::mt19937 random(23);
    const auto pick = [&](int n) { return int(random() % uint32_t(n)); };
    float size = 1024;
    for (int op = 0; op < operations; ++op)
    {
        const int choice = pick(8);
        switch (choice)
        {
        case 0:
        case 1:
        case 2:
        case 3: ASSERT_TRUE(changeSetting(*terrain, choice, pick, size)); break;
        case 4:
        {
            terrain->setDetailThreshold(float(2 + pick(12)), float(4 + pick(20)), float(pick(2000)));
            // No budget, the default, or one below what the view needs: the ground out of view
            // merges back while the camera moves.
            const size_t budgets[] = {0, size_t(256) << 20, size_t(1) << 20};
            terrain->setMemoryBudget(budgets[pick(3)]);
            break;
        }
        case 5:
            // Destroyed with builds queued: made, asked for patches, gone at once.
            terrain.reset();
            terrain = makeTerrain("ground" + std::to_string(op));
            size = 1024;
            ASSERT_TRUE(terrain->openStream(map));
            terrain->frame(camera);
            break;
        default:
            camera->getParentSceneNode()->setPosition(float(pick(800) - 400), float(200 + pick(600)), float(pick(800) - 400));
            terrain->frame(camera);
            break;
        }
    }
    // Settled afterwards, every height is the file's.
    settle(*terrain, camera);
    EXPECT_GT(expectExactVertices(*terrain, size), 100u);
}

TEST_F(LongRun, StrokesAmongSettingsChangesAndReopensLeaveEveryPatchOnTheEditedFile)
{
    // Strokes every few operations among camera moves, new patch sizes, cache sizes and scales,
    // and the stream closed and opened again: whatever the edits met (builds in flight,
    // refreshes held, a tree made afresh), the file ends as the strokes left it and every built
    // patch, drawn or kept, stands on it.
    const int operations = longRun() ? 4000 : 400;
    Ogre::Camera* camera = engine.createCamera("eye", Ogre::Vector3(0, 700, -500), Ogre::Vector3(0, 0, 0));
    std::unique_ptr<TestTerrain> terrain = makeTerrain("ground");
    ASSERT_TRUE(terrain->openStream(map));
    std::vector<uint16_t>& model = samples; // as the strokes leave the file
    std::mt19937 random(29);
    const auto pick = [&](int n) { return int(random() % uint32_t(n)); };
    float size = 1024;
    // A box of one height, written to the file and to the model; it may reach past the map.
    const auto stroke = [&](int x, int z, int w, int h, uint16_t value) {
        std::vector<char> bytes(size_t(w) * size_t(h) * 2);
        for (size_t k = 0; k < bytes.size(); k += 2)
            bytes[k] = char(value & 0xFF), bytes[k + 1] = char(value >> 8);
        terrain->setRawData(x, z, w, h, bytes.data());
        for (int r = std::max(z, 0); r < std::min(z + h, 257); ++r)
            for (int c = std::max(x, 0); c < std::min(x + w, 257); ++c)
                model[size_t(r) * 257 + size_t(c)] = value;
    };
    for (int op = 0; op < operations; ++op)
    {
        const int choice = pick(20);
        switch (choice)
        {
        case 0:
        case 1:
        case 2:
        case 3: ASSERT_TRUE(changeSetting(*terrain, choice, pick, size)); break;
        case 4:
        case 5:
        case 6:
        case 7:
        case 8:
        case 9:
        {
            const int x = pick(290) - 20, z = pick(290) - 20, w = 1 + pick(40), h = 1 + pick(40);
            stroke(x, z, w, h, uint16_t(pick(60000)));
            break;
        }
        default:
            camera->getParentSceneNode()->setPosition(float(pick(800) - 400), float(100 + pick(600)), float(pick(800) - 400));
            for (int f = 0; f < 3; ++f)
            {
                terrain->frame(camera);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
            break;
        }
    }
    // Whether the loop's strokes met built patches depends on the build thread's pace; a stroke
    // on the settled tree always does, and its patches are rebuilt in place.
    settle(*terrain, camera);
    const uint64_t refreshedBefore = terrain->getDebugInfo().refreshedPatches;
    stroke(100, 100, 30, 30, 12345);
    settle(*terrain, camera);
    EXPECT_GT(terrain->getDebugInfo().refreshedPatches, refreshedBefore);
    std::vector<char> bytes(257 * 257 * 2);
    ASSERT_EQ(terrain->getRawData(0, 0, 257, 257, bytes.data()), 257u * 257u);
    for (size_t k = 0; k < model.size(); ++k)
        ASSERT_EQ(uint16_t(uint8_t(bytes[2 * k]) | uint8_t(bytes[2 * k + 1]) << 8), model[k]) << "sample " << k;
    const uint64_t checked = expectPatchesOnSamples(terrain->root(), model, 257, size, 1.0f);
    EXPECT_GT(checked, 1000u);
}
