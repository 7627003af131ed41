#include "lod/SpareArrays.h"

SpareArrays::Array SpareArrays::take(size_t floats)
{
    std::lock_guard<std::mutex> held(lock);
    if (arrays.empty() || floats != arrayFloats)
        return nullptr;
    Array array = std::move(arrays.back());
    arrays.pop_back();
    heldBytes.fetch_sub(floats * sizeof(float), std::memory_order_relaxed);
    return array;
}

bool SpareArrays::give(Array array, size_t floats)
{
    if (!array)
        return false;
    std::vector<Array> other; // freed outside the lock
    {
        std::lock_guard<std::mutex> held(lock);
        if (floats != arrayFloats)
        {
            other.swap(arrays);
            arrayFloats = floats;
            heldBytes.store(0, std::memory_order_relaxed);
        }
        if (heldBytes.load(std::memory_order_relaxed) + floats * sizeof(float) > limit)
            return false; // array is freed on the way out
        arrays.push_back(std::move(array));
        heldBytes.fetch_add(floats * sizeof(float), std::memory_order_relaxed);
    }
    return true;
}

uint64_t SpareArrays::clear(uint64_t bytes)
{
    std::vector<Array> gone; // freed outside the lock
    uint64_t freed = 0;
    {
        std::lock_guard<std::mutex> held(lock);
        const uint64_t arrayBytes = arrayFloats * sizeof(float);
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
