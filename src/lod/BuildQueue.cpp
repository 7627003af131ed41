#include "lod/BuildQueue.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <mutex>

namespace
{
// How long an idle build thread waits for a job before it looks at runFlag again.
constexpr std::chrono::milliseconds kIdlePoll(10);
// For this long after it last took a job, an idle build thread looks for new ones this often
// instead of waiting to be woken (see threadMain).
constexpr std::chrono::seconds kQuickLookSpan(1);
constexpr std::chrono::milliseconds kQuickLook(1);
// Nice steps the build thread goes below the render thread once asked (see lowerPriority): on
// a busy core it then gets about a tenth of the time the render thread gets.
constexpr int kBackgroundNiceSteps = 10;
} // namespace

BuildQueue::BuildQueue(Generator generate_, IdleWork idle_) : generate(std::move(generate_)), idle(std::move(idle_))
{
}

BuildQueue::~BuildQueue()
{
    stop(true);
}

void BuildQueue::start()
{
    runFlag = true;
    lowerWanted = false;
    thread.start(this, &BuildQueue::threadMain);
}

void BuildQueue::stop(bool wait)
{
    // A thread started later builds what waited to be handed in.
    flush(true);
    runFlag = false;
    {
        Lock lock(jobLock);
        jobPosted.notify_all();
    }
    if (wait)
    {
        thread.join();
        assert(!thread.isAlive());
    }
}

void BuildQueue::post(PatchNode* node, bool build, bool inView)
{
    push(node, build ? JobKind::build : JobKind::cancel, inView);
}

void BuildQueue::postRefresh(PatchNode* node, bool inView)
{
    push(node, JobKind::refresh, inView);
}

void BuildQueue::promote(PatchNode* node)
{
    push(node, JobKind::promote, true);
}

void BuildQueue::push(PatchNode* node, JobKind kind, bool inView)
{
    // Counted at once: a job that waits to be handed in names its node as much as a queued one.
    node->busy += 1;
    if (kind != JobKind::cancel && kind != JobKind::promote)
        pending += 1;
    stagedJobs.push_back(BuildJob{node, kind, inView});
    if (batches == 0)
        flush();
}

bool BuildQueue::flush(bool wait)
{
    if (stagedJobs.empty())
        return true;
    // A build of ground in view wakes an idle thread at once, and so does any post while the
    // first view is built (the thread's priority not yet lowered), when the render thread waits
    // for the builds. The rest (ground out of view, withdrawals, promotions) wait for the
    // thread's next look (see threadMain), unless it sleeps. Found before the lock, which the
    // build thread may be waiting for.
    const auto buildInView = [](const BuildJob& job) { return job.inView && job.kind == JobKind::build; };
    const bool urgent = !lowerWanted.load(std::memory_order_relaxed) ||
                        std::any_of(stagedJobs.begin(), stagedJobs.end(), buildInView);
    bool wake = false;
    {
        Lock lock(jobLock, wait);
        if (!lock.locked())
            return false;
        wake = jobQueue.empty() && (urgent || threadSleeps);
        jobQueue.insert(jobQueue.end(), stagedJobs.begin(), stagedJobs.end());
    }
    stagedJobs.clear();
    // The build thread waits only on an empty queue, and looks at the queue under the lock
    // before it waits: jobs that find the queue empty wake it (when they must, above), the
    // others find it awake. Woken with the lock still held, it would only run to block on it,
    // and an update posting a hundred jobs would hand the core back and forth a hundred times.
    if (wake)
        jobPosted.notify_one();
    return true;
}

/* runs on the build thread, jobLock held */
void BuildQueue::takeJobs(std::vector<BuildJob>& pendingJobs)
{
    while (!jobQueue.empty())
    {
        const BuildJob job = jobQueue.front();
        jobQueue.pop_front();
        if (job.kind == JobKind::build || job.kind == JobKind::refresh)
        {
            pendingJobs.push_back(job);
            continue;
        }
        // A cancel or a promotion is consumed here, and acts on the node's build if it still
        // waits: a cancel withdraws it, a promotion moves it to the end, in view.
        job.node->busy -= 1;
        const auto found = std::find_if(pendingJobs.begin(), pendingJobs.end(), [&job](const BuildJob& other) {
            return other.node == job.node && other.kind == JobKind::build;
        });
        if (found == pendingJobs.end())
            continue;
        if (job.kind == JobKind::promote)
        {
            BuildJob promoted = *found;
            promoted.inView = true;
            pendingJobs.erase(found);
            pendingJobs.push_back(promoted);
            continue;
        }
        // Erased in place: the others keep their order, which is their priority.
        pendingJobs.erase(found);
        job.node->busy -= 1;
        pending -= 1;
    }
}

/* runs on the build thread */
void BuildQueue::threadMain()
{
    thread.setName("Terrain thread");
    // From the start: the render thread posts jobs in the middle of its updates, and each
    // wake-up would otherwise take its core for a patch build, opening or not.
    Thread::yieldToWaker();
    // Requested builds, oldest first. The newest request in view is built first, then the newest
    // of the rest: the patches the camera sees refine before those around it, and the latest
    // camera move's requests come before older ones.
    std::vector<BuildJob> pendingJobs;
    bool lowered = false;
    while (runFlag)
    {
        {
            std::unique_lock<CriticalSection> lock(jobLock);
            if (jobQueue.empty() && pendingJobs.empty())
            {
                if (idle)
                {
                    lock.unlock();
                    idle();
                    lock.lock();
                }
                if (jobQueue.empty())
                {
                    // Jobs come an update's worth at a time while the view moves. For a while
                    // after the last one the thread looks for more every millisecond, and only
                    // builds in view wake it: a wake-up is a system call, and where the other
                    // core is idle under a hypervisor, an interrupt to it, 5-10 us of the render
                    // thread's frame. Idle longer, every post wakes it.
                    const bool quick = std::chrono::steady_clock::now() - lastJobTaken < kQuickLookSpan;
                    threadSleeps = !quick;
                    jobPosted.wait_for(lock, quick ? kQuickLook : kIdlePoll);
                    threadSleeps = false;
                }
                if (!runFlag)
                    break;
            }
            if (!jobQueue.empty())
                lastJobTaken = std::chrono::steady_clock::now();
            takeJobs(pendingJobs);
        }
        if (pendingJobs.empty())
            continue;

        // Generated without holding a lock of this queue.
        auto next = std::find_if(pendingJobs.rbegin(), pendingJobs.rend(),
                                 [](const BuildJob& pendingJob) { return pendingJob.inView; });
        const auto taken = next == pendingJobs.rend() ? pendingJobs.end() - 1 : next.base() - 1;
        const BuildJob job = *taken;
        pendingJobs.erase(taken);
        if (!lowered && lowerWanted)
        {
            Thread::lowerCallingThread(kBackgroundNiceSteps);
            lowered = true;
        }
        generate(*job.node, job.kind == JobKind::refresh);
        Lock lock(resultLock);
        resultQueue.push_back(job.node);
    }

    // Builds taken but not started go back to the front of the queue, in their order, so that a
    // later start builds them (their nodes are busy and waiting for them).
    if (!pendingJobs.empty())
    {
        Lock lock(jobLock);
        for (auto it = pendingJobs.rbegin(); it != pendingJobs.rend(); ++it)
            jobQueue.push_front(*it);
    }
}

size_t BuildQueue::drain(const std::function<void(PatchNode*)>& handOver, const ResultCost& cost,
                       std::vector<std::unique_ptr<PatchNode>>& dead, size_t maxCounted, size_t maxResults,
                       size_t maxDead, bool strict)
{
    flush();
    // The results are moved out under the lock and handed over without it: the hand-overs of an
    // update after a jump took 40-90 us, and a build that ended meanwhile blocked on the lock
    // to append its result, and had to be woken (a system call) when the drain let go.
    {
        Lock results(resultLock, false);
        if (!results.locked())
            return 0;
        takenResults.insert(takenResults.end(), resultQueue.begin(), resultQueue.end());
        resultQueue.clear();
    }
    size_t counted = 0;
    for (size_t taken = 0; taken < maxResults && !takenResults.empty(); ++taken)
    {
        if (takenResults.size() > 2)
            takenResults[2]->prefetchWhole();
        PatchNode* node = takenResults.front();
        const size_t price = maxCounted == SIZE_MAX ? 0 : cost(node);
        // The first result is taken whatever it costs, so that the queue always moves (unless the
        // owner makes it affordable later: strict); free ones are taken past the limit too.
        // (Prices are 0 without a maxCounted: no overflow.)
        if ((strict || counted > 0) && price > 0 && counted + price > maxCounted)
            break;
        takenResults.pop_front();
        // The result is consumed: the node no longer waits for it.
        node->busy -= 1;
        pending -= 1;
        counted += price;
        handOver(node);
    }

    Lock jobs(jobLock, false);
    Lock tree(treeLock, false);
    if (jobs.locked() && tree.locked())
        collectDead(dead, maxDead);
    return counted;
}

/* render thread, jobLock and treeLock held: busy cannot change under the dead pass */
void BuildQueue::collectDead(std::vector<std::unique_ptr<PatchNode>>& dead, size_t maxDead)
{
    size_t taken = 0;
    for (size_t i = 0; i < deadPatches.size() && taken < maxDead;)
    {
        // Each look is a miss (the nodes lie apart): the node a few places on is asked for now.
        if (i + 4 < deadPatches.size())
            __builtin_prefetch(&deadPatches[i + 4]->busy);
        if (inUse(deadPatches[i].get()))
        {
            ++i;
            continue;
        }
        taken += 1;
        dead.push_back(std::move(deadPatches[i]));
        deadPatches[i] = std::move(deadPatches.back());
        deadPatches.pop_back();
    }
}

void BuildQueue::retire(std::unique_ptr<PatchNode> node)
{
    // A job, a result or the build thread's parent read may still name the node: withdraw what
    // can be withdrawn; the dead pass waits for the rest.
    if (inUse(node.get()))
        post(node.get(), false);
    deadPatches.push_back(std::move(node));
}

void BuildQueue::clear(std::vector<std::unique_ptr<PatchNode>>& dead)
{
    assert(!thread.isAlive());
    for (std::unique_ptr<PatchNode>& node : deadPatches)
        dead.push_back(std::move(node));
    deadPatches.clear();
    jobQueue.clear();
    stagedJobs.clear();
    resultQueue.clear();
    takenResults.clear();
    pending = 0;
}

/* runs on the build thread */
bool BuildQueue::beginReading(const PatchNode& node, PatchNode* parent)
{
    nodeBeingRead = parent;
    if (node.parent == parent)
        return true;
    nodeBeingRead = nullptr;
    return false;
}

size_t BuildQueue::queuedJobs() const
{
    Lock lock(jobLock);
    return jobQueue.size() + stagedJobs.size();
}

bool BuildQueue::hasResults() const
{
    Lock lock(resultLock);
    return !takenResults.empty() || !resultQueue.empty();
}

size_t BuildQueue::queuedResults() const
{
    Lock lock(resultLock);
    return takenResults.size() + resultQueue.size();
}

std::vector<PatchNode*> BuildQueue::resultNodes() const
{
    Lock lock(resultLock);
    std::vector<PatchNode*> nodes(takenResults.begin(), takenResults.end());
    nodes.insert(nodes.end(), resultQueue.begin(), resultQueue.end());
    return nodes;
}
