// The build thread, its queues and the hand-over, driven directly: jobs are posted by hand and
// the update's drain is called in bounded loops.

#include "LodTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <thread>

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
    int threadNice = 0;
    int threadPolicy = -1; // scheduling policy, as sched_getscheduler gives it
    std::atomic<int> heightCalls{0};
    std::atomic<int> sampleDelayMicroseconds{0};
    // Last, so that it (and its thread) goes first.
    Landscape landscape{0, Ogre::Vector3::ZERO};
    LandscapeTestView view{landscape};

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
            const int nice = getpriority(PRIO_PROCESS, 0);
            const int policy = sched_getscheduler(0);
            std::lock_guard<std::mutex> lock(mutex);
            built.push_back(id);
            threadName = name;
            threadNice = nice;
            threadPolicy = policy;
        });
        view.createRoot();
        std::lock_guard<std::mutex> lock(mutex);
        built.clear(); // the root was built here, on this thread
        heightCalls = 0;
    }

    // Creates the root's four children without posting anything; returns them.
    std::vector<PatchNode*> makeChildren()
    {
        view.makeChildren(view.root());
        return {view.root()->child(0), view.root()->child(1), view.root()->child(2), view.root()->child(3)};
    }

    // Drains until no build is pending (bounded).
    void drainUntilIdle()
    {
        pumpUntilIdle([&] { view.drainResults(); }, [&] { return landscape.pendingBuilds() == 0; });
    }

    std::vector<int> builtIds()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return built;
    }

    // Asks for c[0] (in view) and c[1], withdraws c[0], then asks for c[2].
    void postThreeAndAWithdrawal(const std::vector<PatchNode*>& c)
    {
        view.post(c[0], true, true);
        view.post(c[1], true);
        view.post(c[0], false); // withdraws the first: it must reach the thread after it
        view.post(c[2], true);
    }

    // Once posts that waited go in: c[2], then c[1] is built, and no node is named any more.
    void expectWaitedPostsBuiltInOrder(const std::vector<PatchNode*>& c)
    {
        drainUntilIdle();
        landscape.stop(true);
        EXPECT_EQ(builtIds(), (std::vector<int>{int(landscape.patchId(c[2])), int(landscape.patchId(c[1]))}));
        for (int q = 0; q < 4; ++q)
            EXPECT_EQ(c[q]->busy, 0) << q;
    }
};
} // namespace

TEST(LandscapeThread, BuildsNewestRequestInViewFirstOnANamedThread)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    // Posted before the thread starts, so its first drain sees all three: the oldest is in view
    // and goes first, then the newest of the others.
    r.view.post(c[0], true, true);
    r.view.post(c[1], true);
    r.view.post(c[2], true);
    r.landscape.start();
    r.drainUntilIdle();
    r.landscape.stop(true);
    EXPECT_EQ(r.builtIds(), (std::vector<int>{int(r.landscape.patchId(c[0])), int(r.landscape.patchId(c[2])),
                                              int(r.landscape.patchId(c[1]))}));
    EXPECT_EQ(r.threadName, "Terrain thread");
    const int ownNice = getpriority(PRIO_PROCESS, 0);
    EXPECT_EQ(r.threadNice, ownNice);
    for (int q = 0; q < 3; ++q)
    {
        EXPECT_TRUE(c[q]->isBuilt());
        EXPECT_EQ(c[q]->busy, 0);
    }
    EXPECT_FALSE(c[3]->isBuilt());
}

TEST(LandscapeThread, ABuildAskedOutOfViewComesFirstOnceTheCameraSeesItsNode)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    // Posted before the thread starts: two out of view, then one in view. The oldest is then
    // promoted (the camera came to it), and so are a node that was never asked for and one
    // whose build was withdrawn: those two are left alone.
    r.view.post(c[0], true);
    r.view.post(c[1], true);
    r.view.post(c[2], true, true);
    r.view.promote(c[0]);
    r.view.promote(c[3]);
    r.view.post(c[1], false);
    r.view.promote(c[1]);
    r.landscape.start();
    r.drainUntilIdle();
    r.landscape.stop(true);
    EXPECT_EQ(r.builtIds(), (std::vector<int>{int(r.landscape.patchId(c[0])), int(r.landscape.patchId(c[2]))}));
    EXPECT_FALSE(c[1]->isBuilt());
    EXPECT_FALSE(c[3]->isBuilt());
    EXPECT_EQ(r.landscape.pendingBuilds(), 0);
    for (int q = 0; q < 4; ++q)
        EXPECT_EQ(c[q]->busy, 0) << q;
}

TEST(LandscapeThread, HandOversStopAtTheirCostButTheQueueAlwaysMoves)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    for (PatchNode* child : c)
        r.view.post(child, true);
    r.landscape.start();
    pumpUntilIdle([] {}, [&] { return r.view.queue().queuedResults() == 4; });
    r.landscape.stop(true);
    const std::vector<PatchNode*> order = r.view.queue().resultNodes();
    ASSERT_EQ(order.size(), 4u);
    const std::map<const PatchNode*, size_t> price{{order[0], 2}, {order[1], 2}, {order[2], 0}, {order[3], 1}};
    std::vector<PatchNode*> taken;
    std::vector<std::unique_ptr<PatchNode>> dead;
    // Whether a build thread ending a patch during each hand-over could append its result.
    std::vector<bool> resultLockFree;
    const auto drain = [&](size_t budget) {
        r.view.queue().drain(
            [&](PatchNode* node) {
                std::thread build([&] {
                    std::unique_lock<CriticalSection> lock(r.view.queue().getResultLock(), std::try_to_lock);
                    resultLockFree.push_back(lock.owns_lock());
                });
                build.join();
                taken.push_back(node);
                r.view.handOver(node);
            },
            [&](const PatchNode* node) { return price.at(node); }, dead, budget);
    };
    // A budget of 2: the first result uses it up and the second waits, with all behind it.
    drain(2);
    EXPECT_EQ(taken, (std::vector<PatchNode*>{order[0]}));
    EXPECT_EQ(r.view.queue().resultNodes(), (std::vector<PatchNode*>{order[1], order[2], order[3]}));
    // A budget of 1 still takes the first result, which costs 2, then the free one.
    drain(1);
    EXPECT_EQ(taken, (std::vector<PatchNode*>{order[0], order[1], order[2]}));
    EXPECT_EQ(r.landscape.pendingBuilds(), 1);
    drain(SIZE_MAX);
    EXPECT_EQ(taken, order);
    EXPECT_EQ(r.landscape.pendingBuilds(), 0);
    EXPECT_EQ(resultLockFree, std::vector<bool>(4, true)) << "hand-overs run without the result lock";
    for (PatchNode* child : c)
        EXPECT_TRUE(child->isBuilt() && child->busy == 0);
}

TEST(LandscapeThread, ABuildThreadAskedToGoLowerRunsBelowTheRenderThreadUntilItStops)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    const int ownNice = getpriority(PRIO_PROCESS, 0);
    const int ownPolicy = sched_getscheduler(0);
    // A batch thread from the start, which does not preempt this one when woken (unless this
    // one has a policy of its own, which the build thread keeps).
    const int batch = ownPolicy == SCHED_OTHER ? SCHED_BATCH : ownPolicy;
    // The build thread's nice value and policy while it builds node.
    const auto buildsAt = [&](PatchNode* node) {
        r.view.post(node, true);
        r.drainUntilIdle();
        std::lock_guard<std::mutex> lock(r.mutex);
        return std::make_pair(r.threadNice, r.threadPolicy);
    };
    r.landscape.start();
    EXPECT_EQ(buildsAt(c[0]), std::make_pair(ownNice, batch));
    r.view.queue().lowerPriority();
    // Below this thread, unless this one is at the lowest priority already.
    const auto [lowered, policy] = buildsAt(c[1]);
    EXPECT_TRUE(lowered > ownNice || ownNice == 19) << lowered << " against " << ownNice;
    EXPECT_EQ(policy, batch);
    // A thread started again begins at this thread's priority.
    r.landscape.stop(true);
    r.landscape.start();
    EXPECT_EQ(buildsAt(c[2]), std::make_pair(ownNice, batch));
    r.landscape.stop(true);
}

TEST(LandscapeThread, CancelBeforeTheDrainMeansNeverBuilt)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    r.view.post(c[0], true);
    r.view.post(c[1], true);
    r.view.post(c[0], false);
    // A cancel for a node that was never requested changes nothing and consumes itself.
    r.view.post(c[3], false);
    r.landscape.start();
    r.drainUntilIdle();
    r.landscape.stop(true);
    EXPECT_EQ(r.builtIds(), std::vector<int>{int(r.landscape.patchId(c[1]))});
    EXPECT_FALSE(c[0]->isBuilt());
    for (int q = 0; q < 4; ++q)
        EXPECT_EQ(c[q]->busy, 0) << q;
}

TEST(LandscapeThread, PostsThatMeetTheJobLockHeldWaitInOrderInsteadOfBlocking)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    r.landscape.start();
    std::atomic<bool> held{false}, posted{false}, released{false};
    std::thread holder([&] {
        {
            Lock lock(r.view.queue().getJobLock());
            held = true;
            // Until the posts return; 10 s at most, so that a post that waits fails the test
            // instead of hanging it.
            for (int i = 0; i < 10000 && !posted; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        released = true;
    });
    while (!held)
        std::this_thread::yield();
    r.postThreeAndAWithdrawal(c);
    const bool returnedWhileHeld = !released;
    posted = true;
    holder.join();
    EXPECT_TRUE(returnedWhileHeld) << "a post waited for the build thread's lock";
    for (int q = 0; q < 3; ++q)
        EXPECT_GT(c[q]->busy, 0) << "a waiting job names its node: " << q;
    r.expectWaitedPostsBuiltInOrder(c);
}

TEST(LandscapeThread, PostsOfABatchWaitInOrderAndGoTogetherWhenItEnds)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    r.landscape.start();
    {
        BuildQueue::Batch batch(r.view.queue());
        r.postThreeAndAWithdrawal(c);
        // Long enough for a build thread that had been given a job to start it.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(r.builtIds().empty()) << "a post inside a batch reached the build thread";
        for (int q = 0; q < 3; ++q)
            EXPECT_GT(c[q]->busy, 0) << "a waiting job names its node: " << q;
    }
    // The same builds, in the same order, as when the posts met the job lock held.
    r.expectWaitedPostsBuiltInOrder(c);
}

TEST(LandscapeThread, BusyNodesWaitInDeadPatchesUntilNothingNamesThem)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    r.sampleDelayMicroseconds = 200; // about 20 ms per patch
    for (int q = 0; q < 4; ++q)
        r.view.post(c[q], true);
    r.landscape.start();
    // Detach the whole subtree while the builds are in flight.
    r.view.destroyChildren(r.view.root());
    ASSERT_EQ(r.view.queue().retiredCount(), 4u);
    const uint64_t nodesBefore = r.view.patchCount();
    bool sawBusyKept = false;
    pumpUntilIdle(
        [&] {
            r.view.drainResults();
            for (const auto& dead : r.view.queue().retired())
                sawBusyKept = sawBusyKept || dead->busy > 0;
        },
        [&] { return r.view.queue().retiredCount() == 0; });
    r.landscape.stop(true);
    EXPECT_TRUE(sawBusyKept);
    EXPECT_EQ(r.view.patchCount(), nodesBefore - 4);
    EXPECT_EQ(r.view.patchCount(), 1u);
    EXPECT_EQ(r.landscape.pendingBuilds(), 0);
}

TEST(LandscapeThread, StopAndStartKeepsRequestedBuilds)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    r.sampleDelayMicroseconds = 300;
    for (int q = 0; q < 4; ++q)
        r.view.post(c[q], true);
    r.landscape.start();
    // Stop while the first build runs: the others are in the thread's own list by then.
    for (int i = 0; i < 5000 && r.heightCalls == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r.landscape.stop(true);
    EXPECT_FALSE(r.landscape.isThreadAlive());
    EXPECT_GE(r.view.queue().queuedJobs(), 3u) << "the unbuilt requests went back to the queue";

    r.sampleDelayMicroseconds = 0;
    r.landscape.start();
    r.drainUntilIdle();
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
        ASSERT_FALSE(r.view.queue().isThreadRunning());
    }
    // A second start while the thread lives creates no second thread.
    struct Idle
    {
        void run() {}
    } idle;
    r.landscape.start();
    EXPECT_FALSE(r.view.queue().getThread().start(&idle, &Idle::run));
    r.landscape.stop(true);
}

TEST(LandscapeThread, AnAlwaysSplitPatchKeepsItsRecordsWhileAChildBuildReadsThem)
{
    Recorder r;
    // The root is always split and never drawn once its children are: it gives its records up,
    // but not while the build of a child reads its heights.
    r.landscape.setLevelLimits(1, 1);
    const std::vector<PatchNode*> c = r.makeChildren();
    for (int q = 1; q < 4; ++q)
        r.view.build(c[size_t(q)]);
    PatchNode* root = r.view.root();
    root->state = kSplit;
    r.heightCalls = 0;
    // 50 ms a sample: the child's build is still reading when the update comes, however busy
    // the machine.
    r.sampleDelayMicroseconds = 50000;
    r.view.post(c[0], true);
    r.landscape.start();
    for (int i = 0; i < 10000 && r.heightCalls == 0; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    ASSERT_GT(r.heightCalls, 0);
    const CameraState camera = lookAt(Ogre::Vector3(0, 300, -600), Ogre::Vector3(0, 0, 0));
    r.landscape.update(camera);
    const bool stillReading = c[0]->busy > 0;
    EXPECT_TRUE(root->isBuilt()) << "the child build reading them lost its parent's records";
    EXPECT_NE(root->sharedVertices.load(), nullptr);

    r.sampleDelayMicroseconds = 0;
    ASSERT_GT(settle(r.landscape, camera), 0);
    r.landscape.update(camera);
    r.landscape.stop(true);
    EXPECT_TRUE(stillReading);
    EXPECT_FALSE(root->isBuilt());
    EXPECT_EQ(root->sharedVertices.load(), nullptr);
    // The child's heights, from its parent's records where the grids meet, are the field's.
    ASSERT_TRUE(c[0]->isBuilt());
    const float* v = c[0]->geometry.vertices;
    for (uint64_t k = 0; k < c[0]->geometry.vertexCount; ++k, v += kFloatsPerVertex)
        ASSERT_EQ(v[kVertexHeight], v[kVertexX] * 0.01f) << k;
}

TEST(LandscapeThread, ResultLockHeldElsewherePostponesTheHandOver)
{
    Recorder r;
    const std::vector<PatchNode*> c = r.makeChildren();
    r.view.post(c[0], true);
    r.landscape.start();
    for (int i = 0; i < 5000 && !r.view.queue().hasResults(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        Lock lock(r.view.queue().getResultLock());
        held = true;
        while (!release)
            std::this_thread::yield();
    });
    while (!held)
        std::this_thread::yield();
    r.view.drainResults();
    EXPECT_FALSE(c[0]->isBuilt()) << "nothing is handed over while another thread holds the lock";
    release = true;
    holder.join();
    r.drainUntilIdle();
    EXPECT_TRUE(c[0]->isBuilt());
    r.landscape.stop(true);
}

TEST(LandscapeThread, DestroyingARunningEngineWarnsAndStopsTheThread)
{
    testing::internal::CaptureStdout();
    {
        Recorder r;
        for (PatchNode* child : r.makeChildren())
            r.view.post(child, true);
        r.landscape.start();
        for (int i = 0; i < 5000 && !r.view.queue().isThreadRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Warning: Thread still running\n"),
              std::string::npos);
}
