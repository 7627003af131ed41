#pragma once

#include "lod/PatchLayout.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// Vertex arrays of freed patches, kept for the next builds instead of going back to the system.
// Handing a patch's array back costs tens of microseconds (the pages are unmapped) and the build
// thread then faults new ones in for its next patch: a merge or a teleport frees a hundred
// patches in one frame. An array taken from here is mapped already. All spares have the size of
// the last array given. Arrays beyond the limit, of another size (after a patch-size change) or
// cleared are retired: the build thread frees them, so that the render thread never pays for it.
class SpareArrays
{
public:
    using Array = VertexArray;

    explicit SpareArrays(uint64_t limitBytes) : limit(limitBytes) {}

    // Build thread: a spare array of `vertices` records, or null when none of that size is kept.
    Array take(uint64_t vertices);
    // Render thread: keeps array, of `vertices` records, for a later take, or retires it when
    // the spares hold their limit. Never waits: while another thread holds the lock, arrays wait
    // here for the next give.
    void give(Array array, uint64_t vertices);
    // Retires spares, the last given first, until at least `bytes` have gone (all of them by
    // default); returns the bytes retired. Never waits: 0 while another thread holds the lock.
    uint64_t clear(uint64_t bytes = UINT64_MAX);
    // Build thread: frees the retired arrays.
    void freeRetired();
    // Render thread, build thread stopped: frees every array held here.
    void freeAll();
    uint64_t bytes() const { return heldBytes.load(std::memory_order_relaxed); }
    // Arrays retired and not yet freed.
    size_t retiredCount();

private:
    const uint64_t limit;
    std::mutex lock;
    uint64_t arrayBytes = 0; // of every spare; under lock
    std::vector<Array> arrays; // under lock
    std::vector<Array> retired; // under lock
    std::atomic<bool> anyRetired{false};
    std::atomic<uint64_t> heldBytes{0};
    // Given while the lock was busy (render thread only), with their record counts.
    std::vector<std::pair<Array, uint64_t>> parked;
};
