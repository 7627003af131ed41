#include "lod/SpareArrays.h"

#include "lod/PatchLayout.h"

SpareArrays::Array SpareArrays::take(uint64_t vertices)
{
    std::lock_guard<std::mutex> held(lock);
    if (arrays.empty() || vertices * kVertexBytes != arrayBytes)
        return nullptr;
    Array array = std::move(arrays.back());
    arrays.pop_back();
    heldBytes.fetch_sub(arrayBytes, std::memory_order_relaxed);
    return array;
}

bool SpareArrays::give(Array array, uint64_t vertices)
{
    if (!array)
        return false;
    std::vector<Array> other; // freed outside the lock
    {
        std::lock_guard<std::mutex> held(lock);
        if (vertices * kVertexBytes != arrayBytes)
        {
            other.swap(arrays);
            arrayBytes = vertices * kVertexBytes;
            heldBytes.store(0, std::memory_order_relaxed);
        }
        if (heldBytes.load(std::memory_order_relaxed) + arrayBytes > limit)
            return false; // array is freed on the way out
        arrays.push_back(std::move(array));
        heldBytes.fetch_add(arrayBytes, std::memory_order_relaxed);
    }
    return true;
}

uint64_t SpareArrays::clear(uint64_t bytes)
{
    std::vector<Array> gone; // freed outside the lock
    uint64_t freed = 0;
    {
        std::lock_guard<std::mutex> held(lock);
        while (freed < bytes && !arrays.empty())
        {
            gone.push_back(std::move(arrays.back()));
            arrays.pop_back();
            freed += arrayBytes;
        }
        heldBytes.fetch_sub(freed, std::memory_order_relaxed);
    }
    return freed;
}
