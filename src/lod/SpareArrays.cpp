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

uint64_t SpareArrays::clear()
{
    std::vector<Array> gone;
    uint64_t bytes;
    {
        std::lock_guard<std::mutex> held(lock);
        gone.swap(arrays);
        bytes = heldBytes.exchange(0, std::memory_order_relaxed);
    }
    return bytes;
}
