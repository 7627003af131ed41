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

void SpareArrays::give(Array array, uint64_t vertices)
{
    if (array)
        parked.emplace_back(std::move(array), vertices);
    if (parked.empty())
        return;
    std::unique_lock<std::mutex> held(lock, std::try_to_lock);
    if (!held.owns_lock())
        return;
    for (auto& [given, count] : parked)
    {
        if (count * kVertexBytes != arrayBytes)
        {
            for (Array& other : arrays)
                retired.push_back(std::move(other));
            arrays.clear();
            arrayBytes = count * kVertexBytes;
            heldBytes.store(0, std::memory_order_relaxed);
        }
        if (heldBytes.load(std::memory_order_relaxed) + arrayBytes > limit)
        {
            retired.push_back(std::move(given));
            continue;
        }
        arrays.push_back(std::move(given));
        heldBytes.fetch_add(arrayBytes, std::memory_order_relaxed);
    }
    parked.clear();
    anyRetired.store(!retired.empty(), std::memory_order_relaxed);
}

uint64_t SpareArrays::clear(uint64_t bytes)
{
    std::unique_lock<std::mutex> held(lock, std::try_to_lock);
    if (!held.owns_lock())
        return 0;
    uint64_t freed = 0;
    while (freed < bytes && !arrays.empty())
    {
        retired.push_back(std::move(arrays.back()));
        arrays.pop_back();
        freed += arrayBytes;
    }
    heldBytes.fetch_sub(freed, std::memory_order_relaxed);
    anyRetired.store(!retired.empty(), std::memory_order_relaxed);
    return freed;
}

void SpareArrays::freeRetired()
{
    if (!anyRetired.load(std::memory_order_relaxed))
        return;
    std::vector<Array> gone; // freed outside the lock
    {
        std::lock_guard<std::mutex> held(lock);
        gone.swap(retired);
        anyRetired.store(false, std::memory_order_relaxed);
    }
}

size_t SpareArrays::retiredCount()
{
    std::lock_guard<std::mutex> held(lock);
    return retired.size();
}

void SpareArrays::freeAll()
{
    std::lock_guard<std::mutex> held(lock);
    parked.clear();
    arrays.clear();
    retired.clear();
    heldBytes.store(0, std::memory_order_relaxed);
    anyRetired.store(false, std::memory_order_relaxed);
}
