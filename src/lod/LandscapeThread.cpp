// The build thread of a Landscape: its loop, the job and result queues, the hand-over of built
// nodes to the tree and the deferred deletion of detached nodes.

#include "lod/Landscape.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <mutex>

namespace
{
// How long an idle build thread waits for a job before it looks at runFlag again.
constexpr std::chrono::milliseconds kIdlePoll(10);
} // namespace

void Landscape::start()
{
    runFlag = true;
    thread.start(this, &Landscape::threadMain);
}

void Landscape::stop(bool wait)
{
    runFlag = false;
    {
        Lock lock(jobLock);
        jobPosted.notify_all();
    }
    if (wait)
        thread.join();
}

void Landscape::postJob(PatchNode* node, bool build)
{
    Lock lock(jobLock);
    jobQueue.push_back(BuildJob{node, build ? 0 : 1});
    node->busy += 1;
    if (build)
        pendingBuilds += 1;
    jobPosted.notify_one();
}

/* runs on the build thread */
void Landscape::threadMain()
{
    thread.setName("Terrain thread");
    // Requested builds, oldest first; the newest request is built first.
    std::vector<PatchNode*> pending;
    while (runFlag)
    {
        {
            std::unique_lock<CriticalSection> lock(jobLock);
            if (jobQueue.empty() && pending.empty())
            {
                jobPosted.wait_for(lock, kIdlePoll);
                if (!runFlag)
                    break;
            }
            while (!jobQueue.empty())
            {
                const BuildJob job = jobQueue.front();
                jobQueue.pop_front();
                if (!job.cancel)
                {
                    pending.push_back(job.node);
                    continue;
                }
                // The cancel job itself is consumed; so is the build it withdraws, if any.
                job.node->busy -= 1;
                auto found = std::find(pending.begin(), pending.end(), job.node);
                if (found != pending.end())
                {
                    *found = pending.back();
                    pending.pop_back();
                    job.node->busy -= 1;
                    pendingBuilds -= 1;
                }
            }
        }
        if (pending.empty())
            continue;

        PatchNode* node = pending.back();
        pending.pop_back();
        generate(node);
        Lock lock(resultLock);
        resultQueue.push_back(node);
    }

    // Builds taken but not started go back to the front of the queue, in their order, so that a
    // later start builds them (their nodes are busy and waiting for them).
    if (!pending.empty())
    {
        Lock lock(jobLock);
        for (auto it = pending.rbegin(); it != pending.rend(); ++it)
            jobQueue.push_front(BuildJob{*it, 0});
    }
}

/* runs on the build thread */
void Landscape::generate(PatchNode* node)
{
    // A node built once keeps its geometry for life; a second build request (a merge asked
    // again while the first build was in flight) passes the node through unchanged.
    if (node->generated)
        return;
    PatchBuildResult& result = node->result;
    buildVertices(node, result);
    buildIndices(result.edgeVertices, result);
    node->generated = true;
}

void Landscape::drainResults()
{
    Lock results(resultLock, false);
    if (!results.locked())
        return;
    while (!resultQueue.empty())
    {
        PatchNode* node = resultQueue.front();
        resultQueue.pop_front();
        handOver(node);
    }

    Lock jobs(jobLock, false);
    Lock tree(treeLock, false);
    if (!jobs.locked() || !tree.locked())
        return;
    const PatchNode* beingRead = nodeBeingRead;
    std::vector<PatchGeometry*> gone;
    for (size_t i = 0; i < deadPatches.size();)
    {
        PatchNode* node = deadPatches[i];
        if (node->busy > 0 || node == beingRead)
        {
            ++i;
            continue;
        }
        deadPatches[i] = deadPatches.back();
        deadPatches.pop_back();
        gone.push_back(&node->geometry);
        delete node;
    }
    forgetVisible(gone.data(), gone.size());
}

void Landscape::handOver(PatchNode* node)
{
    node->busy -= 1;
    pendingBuilds -= 1;
    // A node detached while it was being built only waits in deadPatches to be deleted; its
    // result is freed with it.
    if (!node->parent && node != root)
        return;
    if (node->result.vertices)
    {
        install(node, node->result);
        // A node drawn as soon as it is built (its parent was switched to split while it was
        // building) has its edges stitched now; otherwise its hand-over below does it.
        if (!(node->state & 1) && node->state != kMerging && node->isOnDrawnPath())
            markAllSides(node);
    }

    if (node->state == kMerging)
    {
        node->state = kLeaf;
        refreshEdgeLevels(node);
        markAllSides(node);
        if (patchCreatedCallback)
            patchCreatedCallback(&node->geometry);
        for (const PatchNode* child : node->children)
            if (child)
                node->error = std::max(node->error, child->error);
    }

    PatchNode* parent = node->parent;
    if (parent && parent->state == kSplitting)
    {
        bool ready = true;
        for (const PatchNode* child : parent->children)
            ready = ready && child->isReady();
        if (ready)
        {
            parent->state = kSplit;
            refreshEdgeLevels(parent);
            markAllSides(parent);
            if (patchCreatedCallback)
                for (PatchNode* child : parent->children)
                    patchCreatedCallback(&child->geometry);
        }
    }

    // Every built node folds its error and box into its ancestors, so that an ancestor's box
    // holds every patch below it (the frustum and ray tests prune by these boxes).
    if (!node->isBuilt())
        return;
    for (PatchNode* ancestor = parent; ancestor; ancestor = ancestor->parent)
    {
        ancestor->error = std::max(ancestor->error, node->error);
        ancestor->bounds.merge(node->bounds);
    }
}
