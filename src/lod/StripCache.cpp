#include "lod/StripCache.h"

#include "lod/PatchBuilder.h"
#include "lod/PatchLayout.h"

const uint16_t* StripCache::get(uint32_t n, uint16_t edgeLevels)
{
    const uint32_t key = n << 16 | edgeLevels;
    Recent& slot = recent[(edgeLevels ^ edgeLevels >> 6 ^ edgeLevels >> 12 ^ n) % kRecent];
    if (slot.strip && slot.key == key)
        return slot.strip;
    std::unique_ptr<uint16_t[]>& strip = strips[key];
    if (!strip)
    {
        strip = buildStrip(n);
        for (int side = 0; side < 4; ++side)
            stitchStripSide(strip.get(), n, side, sideDifference(edgeLevels, side));
        stripBytes += StripLayout(n).indexCount() * kIndexBytes;
    }
    slot = Recent{key, strip.get()};
    return strip.get();
}
