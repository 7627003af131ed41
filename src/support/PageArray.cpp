#include "support/PageArray.h"

#include <sys/mman.h>

#include <new>

namespace
{
// Bytes in front of an array: the length of its mapping, 0 for an array from the allocator.
// 64 keeps the floats on cache-line boundaries.
constexpr size_t kHeader = 64;
} // namespace

PageArray makePageArray(uint64_t count)
{
    const size_t bytes = size_t(count) * sizeof(float);
    void* block = nullptr;
    if (bytes >= kMappedArrayBytes)
    {
        // Every array is written whole as soon as it is made: its pages are put in place by the
        // mapping itself, not one fault at a time as the writes reach them (a fault a page cost
        // a patch build about as much as its vertex records).
        block = mmap(nullptr, kHeader + bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (block == MAP_FAILED)
            throw std::bad_alloc();
        *static_cast<size_t*>(block) = kHeader + bytes;
    }
    else
    {
        block = ::operator new(kHeader + bytes, std::align_val_t(kHeader));
        *static_cast<size_t*>(block) = 0;
    }
    return PageArray(reinterpret_cast<float*>(static_cast<char*>(block) + kHeader));
}

void PageArrayRelease::operator()(float* floats) const
{
    char* block = reinterpret_cast<char*>(floats) - kHeader;
    const size_t length = *reinterpret_cast<const size_t*>(block);
    if (length != 0)
        munmap(block, length);
    else
        ::operator delete(block, std::align_val_t(kHeader));
}
