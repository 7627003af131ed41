#pragma once

#include "lod/PatchNode.h"
#include "support/Thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

// The seam between the render thread and the build thread ("Terrain thread") of one Landscape:
// the job and result queues, the build thread's loop, the bookkeeping of what is in flight
// (busy counts, pending builds), the nodes detached while something may still name them, and
// the handshake that keeps a parent alive while its child reads its heights. Every rule about
// which thread may touch what lives here; the level-of-detail update that uses it reads as
// single-threaded code.
//
// A node's journey: created by the update (render thread) -> post(build): busy, in jobQueue ->
// in the build thread's own pending list -> generated (only the build thread writes its
// `result`) -> in resultQueue -> handed over by drain (render thread): result installed.
// A cancel removes a build from the pending list, or, when the node has already left it, lets
// the build and hand-over run their course. A promotion moves a waiting build ahead of the
// others, as the newest in view. A built node may take the same journey again as a refresh
// (postRefresh, after a height edit), one at a time; cancels leave refreshes alone.
//
// Locks (all recursive; each is held only to move entries, never while a patch is built):
//
//   lock        guards                                 held by
//   jobLock     jobQueue; the build thread's changes   post and flush (render, try: jobs it
//               of busy                                cannot hand in wait in stagedJobs);
//                                                      the build thread while it moves jobs to
//                                                      its pending list (blocking); the dead
//                                                      pass (render, try); stop (blocking)
//   resultLock  resultQueue                            the build thread while it appends one
//                                                      node (blocking); drain (render, try),
//                                                      while it moves the queue out: the
//                                                      hand-overs run without it
//   heightLock  the height source: the heightmap       the build thread while it samples one
//               stream and the height cache; the       patch's heights (blocking); the owner's
//               vertices of refreshed nodes            raw reads and writes, cache installs
//                                                      and resizes; the copy of refreshes
//   treeLock    deadPatches; the tree while a          the render thread only: visits and the
//               visitor walks it                       dead pass (so, being recursive, it never
//                                                      makes the render thread wait)
//
// Order: the render thread takes resultLock, then jobLock, then treeLock, and only with
// try-locks when it nests them, so it never waits while it holds another lock: work it cannot
// lock is left to a later update. It never waits for jobLock in an update either: the build
// thread runs below it, and one preempted while it held the lock made an update wait for
// milliseconds. The build thread holds at most one lock at a time.
class BuildQueue
{
public:
    // Generates one node's geometry into node.result; refresh: a build again of a node that has
    // its geometry (after a height edit). Runs on the build thread.
    using Generator = std::function<void(PatchNode& node, bool refresh)>;
    // Runs on the build thread whenever it finds nothing to build, before it waits.
    using IdleWork = std::function<void()>;

    explicit BuildQueue(Generator generate, IdleWork idle = IdleWork());
    BuildQueue(const BuildQueue&) = delete;
    BuildQueue& operator=(const BuildQueue&) = delete;
    // Stops the build thread (with "Warning: Thread still running" if the owner has not).
    ~BuildQueue();

    // ---- the build thread (render thread calls) ----
    void start();
    // Clears runFlag; with wait, returns only once the build thread has ended. Builds it had
    // taken but not started go back to the front of the job queue for the next start.
    void stop(bool wait);
    bool isThreadAlive() const { return thread.isAlive(); }
    bool isThreadRunning() const { return thread.isRunning(); }

    // ---- jobs and results (render thread) ----
    // Asks for a build of node, or withdraws an earlier request (build false). Builds marked
    // inView (the camera sees the node) come before the others. Never waits: while the build
    // thread holds the job lock, the job waits in order for a later post, flush or drain.
    void post(PatchNode* node, bool build, bool inView = false);
    // Asks for a refresh of a built node, inView as for a build. A withdrawal leaves it alone: it
    // withdraws builds only.
    void postRefresh(PatchNode* node, bool inView);
    // The camera now sees a node whose build was asked for out of view (the levels always split
    // are asked for as a stream opens, before there is a camera): its build comes first, as the
    // newest request in view. Nothing happens when no build of the node waits any more.
    void promote(PatchNode* node);
    // Hands the jobs that waited to the build thread, if it does not hold the job lock (or
    // whatever it holds, with wait). False when some still wait.
    bool flush(bool wait = false);
    // While a Batch lives, posts wait in order, as they do while the build thread holds the
    // job lock, and go to the build thread together when it ends (or with a flush or a drain
    // before): an update's few dozen posts take the job lock once, not once each, and do not
    // pull its cache line from the build thread's core at every post.
    class Batch
    {
    public:
        explicit Batch(BuildQueue& queue_) : queue(&queue_) { queue->batches += 1; }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        ~Batch() { end(); }
        // Ends the batch now (once): its jobs are flushed when no outer batch lives.
        void end()
        {
            if (!queue)
                return;
            queue->batches -= 1;
            if (queue->batches == 0)
                queue->flush();
            queue = nullptr;
        }

    private:
        BuildQueue* queue;
    };
    // From its next job on, the build thread runs below the render thread, for as long as it
    // runs (a thread started later begins at the render thread's priority), so that on a busy
    // core it takes a small share of the render thread's time. It is a batch thread from the
    // start, so that the wake-ups of an update's requests never preempt the render thread.
    void lowerPriority() { lowerWanted.store(true, std::memory_order_relaxed); }
    // Builds requested and not yet handed over or withdrawn: 0 once the tree is idle.
    int pendingBuilds() const { return pending; }
    // Hands finished nodes to handOver, in the order they were finished, then moves retired
    // nodes that nothing names any more into dead. cost(node) tells, before its hand-over, what
    // a result would cost the frame (drawables, say; it is not asked when maxCounted is
    // SIZE_MAX). The drain stops before a result whose cost would take the total past
    // maxCounted (the first result is taken whatever it costs, unless strict), after maxResults
    // results in all, and after maxDead moved nodes; the rest wait for a later drain. Returns
    // the cost of the results it took. Does nothing (and returns 0) when the build thread holds
    // the result lock; retired nodes wait when a lock is busy.
    using ResultCost = std::function<size_t(const PatchNode*)>;
    size_t drain(const std::function<void(PatchNode*)>& handOver, const ResultCost& cost,
               std::vector<std::unique_ptr<PatchNode>>& dead, size_t maxCounted = SIZE_MAX,
               size_t maxResults = SIZE_MAX, size_t maxDead = SIZE_MAX, bool strict = false);
    // A node whose handed-over result the owner keeps for a later update stays busy (is not
    // freed) from hold until letGo.
    static void hold(PatchNode* node) { node->busy += 1; }
    static void letGo(PatchNode* node) { node->busy -= 1; }
    // Takes a detached node for deletion by a later drain: once no job, result or parent read
    // names it. A node that may still be named gets a cancel job first.
    void retire(std::unique_ptr<PatchNode> node);
    // Build thread stopped: gives back every retired node and forgets every queued job and
    // result (they name nodes that are about to be freed).
    void clear(std::vector<std::unique_ptr<PatchNode>>& dead);

    // ---- the parent read handshake (build thread) ----
    // Publishes parent as being read, then confirms that node is still its child. A render
    // thread that detaches node clears the link before it retires the parent, and never deletes
    // the node published here, so one of the two always sees the other. Returns false, with
    // nothing published, when node has been detached.
    bool beginReading(const PatchNode& node, PatchNode* parent);
    void endReading() { nodeBeingRead = nullptr; }
    // Node is named by a job or result, or published as the parent being read. Read by the
    // render thread after unpublishing node's vertices, a false answer means that no build
    // reads them or will (the two atomics are ordered as in beginReading).
    bool inUse(const PatchNode* node) const { return node->busy > 0 || node == nodeBeingRead; }

    CriticalSection& getHeightLock() { return heightLock; }
    CriticalSection& getTreeLock() { return treeLock; }

    // ---- test access: the queues as they stand (render thread, thread stopped or idle) ----
    size_t queuedJobs() const; // with those that wait to be handed in
    size_t retiredCount() const { return deadPatches.size(); }
    const std::vector<std::unique_ptr<PatchNode>>& retired() const { return deadPatches; }
    bool hasResults() const;
    size_t queuedResults() const;
    std::vector<PatchNode*> resultNodes() const; // in the order they wait
    // The thread wrapper and the result lock, for tests of the start and stop protocol and of
    // a drain that meets a busy lock.
    Thread& getThread() { return thread; }
    CriticalSection& getResultLock() { return resultLock; }
    CriticalSection& getJobLock() { return jobLock; }

private:
    // A request from the render thread to the build thread.
    enum class JobKind
    {
        build,    // build the node
        cancel,   // withdraw an earlier build request for it
        refresh,  // build a built node again
        promote,  // move the node's waiting build to the newest in view
    };
    struct BuildJob
    {
        PatchNode* node;
        JobKind kind;
        bool inView;
    };

    void push(PatchNode* node, JobKind kind, bool inView);
    void threadMain();
    // Build thread: moves the queued jobs into pending (jobLock held).
    void takeJobs(std::vector<BuildJob>& pendingJobs);
    // Render thread, jobLock and treeLock held: up to maxDead retired nodes that nothing names
    // any more.
    void collectDead(std::vector<std::unique_ptr<PatchNode>>& dead, size_t maxDead);

    const Generator generate; // build thread
    const IdleWork idle;      // build thread

    // ---- build thread lifetime (render thread) ----
    Thread thread;
    std::atomic<bool> runFlag{false}; // the build thread loops while it is set
    std::atomic<bool> lowerWanted{false}; // see lowerPriority

    // ---- under jobLock ----
    mutable CriticalSection jobLock;
    std::deque<BuildJob> jobQueue;
    std::condition_variable_any jobPosted; // wakes an idle build thread early
    bool threadSleeps = false; // the build thread waits for any post to wake it (see threadMain)

    // ---- build thread only ----
    std::chrono::steady_clock::time_point lastJobTaken; // when it last found jobs queued

    // ---- under resultLock ----
    mutable CriticalSection resultLock;
    std::deque<PatchNode*> resultQueue;

    // ---- the height source, used by the owner ----
    mutable CriticalSection heightLock;

    // ---- render thread only (treeLock marks the passes that walk or free nodes) ----
    std::vector<BuildJob> stagedJobs; // posted while the build thread held jobLock, in order
    int batches = 0; // Batches alive: posts are staged
    // Results a drain moved out of resultQueue and has not handed over yet (their limits held
    // them back), oldest first: ahead of those in resultQueue.
    std::deque<PatchNode*> takenResults;
    mutable CriticalSection treeLock;
    std::vector<std::unique_ptr<PatchNode>> deadPatches; // retired, waiting to be deleted

    // ---- atomics shared by both threads ----
    // Parent whose vertices the build thread is reading; the render thread does not delete it.
    std::atomic<PatchNode*> nodeBeingRead{nullptr};
    std::atomic<int> pending{0}; // see pendingBuilds
};
