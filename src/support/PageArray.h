#pragma once

#include <cstdint>
#include <memory>

// A float array that the terrain makes and frees by the hundred over a flight (patch vertex
// arrays, height cache blocks). One of at least kMappedArrayBytes has pages of its own instead
// of the allocator's heap: freed, they go back to the system at once, from whichever thread.
// Kept in the heap, such arrays left it scattered with free pages that only a trim gave back,
// and a trim holds the allocator's locks for milliseconds: a build thread preempted in the
// middle of one held up the render thread's allocations. Smaller arrays come from the allocator.
struct PageArrayRelease
{
    void operator()(float* floats) const;
};
using PageArray = std::unique_ptr<float[], PageArrayRelease>;
constexpr uint64_t kMappedArrayBytes = uint64_t(64) << 10;
// An array of `count` floats, not initialised; throws std::bad_alloc when there is no memory.
PageArray makePageArray(uint64_t count);
