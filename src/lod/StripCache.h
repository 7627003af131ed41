#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

// The strips of stitched patches. A patch's strip depends only on its vertices per edge and on
// how many levels coarser the patch across each side is (the four 4-bit fields of
// PatchNode::edgeLevels), never on its heights, so patches stitched alike share one strip and
// restitching a patch swaps a pointer. Strips are made on first use and kept until the cache
// goes, so a pointer from get stays valid and names the same strip for the cache's whole life.
// Render thread only.
class StripCache
{
public:
    // The strip of a patch of n vertices per edge (2 .. 256) stitched for edgeLevels; its length
    // is StripLayout(n).indexCount().
    const uint16_t* get(uint32_t n, uint16_t edgeLevels);
    // Bytes of every strip made so far.
    uint64_t bytes() const { return stripBytes; }

private:
    std::unordered_map<uint32_t, std::unique_ptr<uint16_t[]>> strips; // by n << 16 | edgeLevels
    uint64_t stripBytes = 0;
    // The strips asked for last, by a hash of their key, in front of the map: a view uses a few
    // dozen stitchings, and the map's lookup (a division, then a bucket and a node apart in
    // memory) cost more than the rest of a restitch.
    struct Recent
    {
        uint32_t key = 0;
        const uint16_t* strip = nullptr;
    };
    static constexpr uint32_t kRecent = 64;
    Recent recent[kRecent];
};
