#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// Vertex arrays of freed patches, kept for the next builds instead of going back to the
// allocator. Handing a patch's array back costs the render thread tens of microseconds where the
// allocator then returns its pages to the system (and the build thread faults them in again for
// its next patch): a merge or a teleport frees a hundred patches in one frame. An array taken
// from here is mapped already. All spares have the size of the last array given; arrays of
// another size (after a patch-size change) are freed. Any thread.
class SpareArrays
{
public:
    using Array = std::unique_ptr<float[]>; // ten-float vertex records

    explicit SpareArrays(uint64_t limitBytes) : limit(limitBytes) {}

    // A spare array of `vertices` records, or null when none of that size is kept.
    Array take(uint64_t vertices);
    // Keeps array, of `vertices` records, for a later take and returns true; frees it and
    // returns false when the spares already hold their limit (or it is null).
    bool give(Array array, uint64_t vertices);
    // Frees spares, the last given first, until at least `bytes` have gone (all of them by
    // default); returns the bytes freed.
    uint64_t clear(uint64_t bytes = UINT64_MAX);
    uint64_t bytes() const { return heldBytes.load(std::memory_order_relaxed); }

private:
    const uint64_t limit;
    std::mutex lock;
    uint64_t arrayBytes = 0; // of every spare; under lock
    std::vector<Array> arrays; // under lock
    std::atomic<uint64_t> heldBytes{0};
};
