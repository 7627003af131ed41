// The build thread, its queues and the hand-over, driven directly: jobs are posted by hand and
// the update's drain is called in bounded loops.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <pthread.h>

using namespace testing_support;

namespace
{
// A Landscape over a 1024-unit square whose pre-build callback records the identifiers of the
// patches the build thread generates, in order, and the thread's name.
struct Recorder
{
    std::mutex mutex;
    std::vector<int> built;
    std::string threadName;
    std::atomic<int> heightCalls{0};
    std::atomic<int> sampleDelayMicroseconds{0};
    // Last, so that it (and its thread) goes first.
    Landscape landscape{0, Ogre::Vector3::ZERO};

    Recorder()
    {
        landscape.setBounds(1024, Ogre::Vector3(-512, 0, -512));
        landscape.setPatchSize(8);
        landscape.setHeightFunction([this](const Ogre::Vector3& p, int) {
            heightCalls += 1;
            if (const int delay = sampleDelayMicroseconds)
                std::this_thread::sleep_for(std::chrono::microseconds(delay));
            return p.x * 0.01f;
        });
        landscape.setCallbacks({}, {}, {}, [this](int id) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            std::lock_guard<std::mutex> lock(mutex);
            built.push_back(id);
            threadName = name;
        });
        landscape.createRoot();
        std::lock_guard<std::mutex> lock(mutex);
        built.clear(); // the root was built here, on this thread
        heightCalls = 0;
    }

    // Creates the root's four children without posting anything.
    void makeChildren()
    {
        for (int q = 0; q < 4; ++q)
            landscape.root->children[q] = new PatchNode(landscape.root, q);
    }

    // Drains until no build is pending; false when the bound was hit.
    bool drainUntilIdle(int maxDrains = 5000)
    {
        for (int i = 0; i < maxDrains; ++i)
        {
            landscape.drainResults();
            if (landscape.pendingBuilds == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    std::vector<int> builtIds()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return built;
    }
};
} // namespace

TEST(LandscapeThread, BuildsNewestRequestFirstOnANamedThread)
{
    Recorder r;
    r.makeChildren();
    PatchNode** c = r.landscape.root->children;
    // Posted before the thread starts, so its first drain sees all three.
    r.landscape.postJob(c[0], true);
    r.landscape.postJob(c[1], true);
    r.landscape.postJob(c[2], true);
    r.landscape.start();
    ASSERT_TRUE(r.drainUntilIdle());
    r.landscape.stop(true);
    EXPECT_EQ(r.builtIds(), (std::vector<int>{int(r.landscape.patchId(c[2])), int(r.landscape.patchId(c[1])),
                                              int(r.landscape.patchId(c[0]))}));
    EXPECT_EQ(r.threadName, "Terrain thread");
    for (int q = 0; q < 3; ++q)
    {
        EXPECT_TRUE(c[q]->isBuilt());
        EXPECT_EQ(c[q]->busy, 0);
    }
    EXPECT_FALSE(c[3]->isBuilt());
    // Five nodes, four of them (the root and three children) with 81 vertices and 172 indices.
    EXPECT_EQ(r.landscape.memoryBytes, 5 * 256u + 4 * (40 * 81u + 2 * 172u));
}

TEST(LandscapeThread, CancelBeforeTheDrainMeansNeverBuilt)
{
    Recorder r;
    r.makeChildren();
    PatchNode** c = r.landscape.root->children;
    r.landscape.postJob(c[0], true);
    r.landscape.postJob(c[1], true);
    r.landscape.postJob(c[0], false);
    // A cancel for a node that was never requested changes nothing and consumes itself.
    r.landscape.postJob(c[3], false);
    r.landscape.start();
    ASSERT_TRUE(r.drainUntilIdle());
    r.landscape.stop(true);
    EXPECT_EQ(r.builtIds(), std::vector<int>{int(r.landscape.patchId(c[1]))});
    EXPECT_FALSE(c[0]->isBuilt());
    for (int q = 0; q < 4; ++q)
        EXPECT_EQ(c[q]->busy, 0) << q;
}

TEST(LandscapeThread, BusyNodesWaitInDeadPatchesUntilNothingNamesThem)
{
    Recorder r;
    r.makeChildren();
    PatchNode** c = r.landscape.root->children;
    r.sampleDelayMicroseconds = 200; // about 20 ms per patch
    for (int q = 0; q < 4; ++q)
        r.landscape.postJob(c[q], true);
    r.landscape.start();
    // Detach the whole subtree while the builds are in flight.
    for (PatchNode*& child : r.landscape.root->children)
    {
        r.landscape.destroy(child);
        child = nullptr;
    }
    ASSERT_EQ(r.landscape.deadPatches.size(), 4u);
    const uint64_t nodesBefore = r.landscape.patchCount;
    bool sawBusyKept = false;
    for (int i = 0; i < 5000 && !r.landscape.deadPatches.empty(); ++i)
    {
        r.landscape.drainResults();
        for (PatchNode* dead : r.landscape.deadPatches)
            sawBusyKept = sawBusyKept || dead->busy > 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    r.landscape.stop(true);
    EXPECT_TRUE(sawBusyKept);
    EXPECT_TRUE(r.landscape.deadPatches.empty());
    EXPECT_EQ(r.landscape.patchCount, nodesBefore - 4);
    EXPECT_EQ(r.landscape.patchCount, 1u);
    EXPECT_EQ(r.landscape.pendingBuilds, 0);
}

TEST(LandscapeThread, StopAndStartKeepsRequestedBuilds)
{
    Recorder r;
    r.makeChildren();
    PatchNode** c = r.landscape.root->children;
    r.sampleDelayMicroseconds = 300;
    for (int q = 0; q < 4; ++q)
        r.landscape.postJob(c[q], true);
    r.landscape.start();
    // Stop while the first build runs: the others are in the thread's own list by then.
    for (int i = 0; i < 5000 && r.heightCalls == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r.landscape.stop(true);
    EXPECT_FALSE(r.landscape.isThreadAlive());
    EXPECT_GE(r.landscape.jobQueue.size(), 3u) << "the unbuilt requests went back to the queue";

    r.sampleDelayMicroseconds = 0;
    r.landscape.start();
    ASSERT_TRUE(r.drainUntilIdle());
    r.landscape.stop(true);
    for (int q = 0; q < 4; ++q)
    {
        EXPECT_TRUE(c[q]->isBuilt()) << q;
        EXPECT_EQ(c[q]->busy, 0) << q;
    }
}

TEST(LandscapeThread, StopWaitsEvenForAThreadThatHasNotStartedRunning)
{
    Recorder r;
    for (int i = 0; i < 200; ++i)
    {
        r.landscape.start();
        r.landscape.stop(true);
        ASSERT_FALSE(r.landscape.isThreadAlive());
        ASSERT_FALSE(r.landscape.thread.isRunning());
    }
    // A second start while the thread lives creates no second thread.
    struct Idle
    {
        void run() {}
    } idle;
    r.landscape.start();
    EXPECT_FALSE(r.landscape.thread.start(&idle, &Idle::run));
    r.landscape.stop(true);
}

TEST(LandscapeThread, ResultLockHeldElsewherePostponesTheHandOver)
{
    Recorder r;
    r.makeChildren();
    PatchNode** c = r.landscape.root->children;
    r.landscape.postJob(c[0], true);
    r.landscape.start();
    for (int i = 0; i < 5000; ++i)
    {
        {
            Lock lock(r.landscape.resultLock);
            if (!r.landscape.resultQueue.empty())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        Lock lock(r.landscape.resultLock);
        held = true;
        while (!release)
            std::this_thread::yield();
    });
    while (!held)
        std::this_thread::yield();
    r.landscape.drainResults();
    EXPECT_FALSE(c[0]->isBuilt()) << "nothing is handed over while another thread holds the lock";
    release = true;
    holder.join();
    ASSERT_TRUE(r.drainUntilIdle());
    EXPECT_TRUE(c[0]->isBuilt());
    r.landscape.stop(true);
}

TEST(LandscapeThread, DestroyingARunningEngineWarnsAndStopsTheThread)
{
    testing::internal::CaptureStdout();
    {
        Recorder r;
        r.makeChildren();
        for (PatchNode* child : r.landscape.root->children)
            r.landscape.postJob(child, true);
        r.landscape.start();
        for (int i = 0; i < 5000 && !r.landscape.thread.isRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Warning: Thread still running\n"),
              std::string::npos);
}
