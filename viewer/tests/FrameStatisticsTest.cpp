#include "FrameStatistics.h"

#include <gtest/gtest.h>

namespace
{
FrameSample sample(uint64_t patches, uint64_t drawables, uint64_t pending)
{
    FrameSample s;
    s.patches = patches;
    s.drawables = drawables;
    s.pending = pending;
    return s;
}
} // namespace

TEST(ConvergenceTracker, ConvergesAfterQuietFrames)
{
    ConvergenceTracker tracker(3);
    EXPECT_FALSE(tracker.add(sample(10, 10, 0))); // a first frame tells nothing
    EXPECT_FALSE(tracker.add(sample(10, 10, 0)));
    EXPECT_FALSE(tracker.add(sample(10, 10, 0)));
    EXPECT_TRUE(tracker.add(sample(10, 10, 0)));
    EXPECT_TRUE(tracker.converged());
}

TEST(ConvergenceTracker, PendingBuildsAndCreationsRestartTheCount)
{
    ConvergenceTracker tracker(2);
    tracker.add(sample(10, 10, 0));
    tracker.add(sample(10, 10, 0));
    EXPECT_TRUE(tracker.add(sample(10, 10, 0)));
    EXPECT_FALSE(tracker.add(sample(10, 10, 1)));  // a build pending
    EXPECT_FALSE(tracker.add(sample(10, 10, 0)));
    EXPECT_TRUE(tracker.add(sample(10, 10, 0)));
    EXPECT_FALSE(tracker.add(sample(14, 10, 0)));  // new patches
    EXPECT_FALSE(tracker.add(sample(14, 10, 0)));
    EXPECT_TRUE(tracker.add(sample(14, 10, 0)));
    EXPECT_FALSE(tracker.add(sample(14, 11, 0)));  // a new drawable
    tracker.add(sample(14, 11, 0));
    EXPECT_TRUE(tracker.add(sample(14, 11, 0)));
    FrameSample building = sample(14, 11, 0);
    building.builds = 4; // children on the build thread: nothing new in the tree, yet not settled
    EXPECT_FALSE(tracker.add(building));
}

TEST(ConvergenceTracker, PatchesGoingAwayDoNotCount)
{
    ConvergenceTracker tracker(2);
    tracker.add(sample(40, 40, 0));
    tracker.add(sample(30, 30, 0));
    EXPECT_TRUE(tracker.add(sample(20, 20, 0)));
}

TEST(ConvergenceTracker, ResetStartsAgain)
{
    ConvergenceTracker tracker(1);
    tracker.add(sample(1, 1, 0));
    EXPECT_TRUE(tracker.add(sample(1, 1, 0)));
    tracker.reset();
    EXPECT_FALSE(tracker.converged());
    EXPECT_FALSE(tracker.add(sample(100, 100, 0))); // compared with nothing after a reset
    EXPECT_TRUE(tracker.add(sample(100, 100, 0)));
}

TEST(FrameSummary, KeepsAveragesAndPeaks)
{
    FrameSummary summary;
    FrameSample a = sample(1, 1, 0);
    a.renderMs = 10.0;
    a.memoryBytes = 300;
    a.triangles = 5;
    a.drawn = 7;
    FrameSample b = sample(1, 1, 0);
    b.renderMs = 30.0;
    b.memoryBytes = 100;
    b.triangles = 9;
    b.drawn = 2;
    summary.add(a);
    summary.add(b);
    EXPECT_EQ(summary.frames(), 2);
    EXPECT_DOUBLE_EQ(summary.averageMs(), 20.0);
    EXPECT_DOUBLE_EQ(summary.slowestMs(), 30.0);
    EXPECT_EQ(summary.peakMemoryBytes(), 300u);
    EXPECT_EQ(summary.peakTriangles(), 9u);
    EXPECT_EQ(summary.peakDrawn(), 7u);
    EXPECT_DOUBLE_EQ(FrameSummary().averageMs(), 0.0);
}

TEST(FrameStatistics, FormatsCountsAndSamples)
{
    EXPECT_EQ(formatCount(0), "0");
    EXPECT_EQ(formatCount(999999), "999999");
    EXPECT_EQ(formatCount(1234567), "1.23M");
    FrameSample s = sample(5, 312, 3);
    s.drawn = 240;
    s.triangles = 1230000;
    s.decals = 12;
    s.memoryBytes = 12 * 1024 * 1024 + 300 * 1024;
    s.totalBytes = 40 * 1024 * 1024 + 100 * 1024;
    s.renderMs = 16.25;
    const std::string text = formatSample(s);
    for (const char* piece : {"drawn  240", "drawables   312", "triangles   1.23M", "pending    3", "decals 12",
                              "memory   12.3 MiB", "total   40.1 MiB", "render   16.2 ms"})
        EXPECT_NE(text.find(piece), std::string::npos) << piece << " in '" << text << "'";
}
