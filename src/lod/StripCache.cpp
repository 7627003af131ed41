#include "lod/StripCache.h"

#include "lod/PatchBuilder.h"
#include "lod/PatchLayout.h"

const uint16_t* StripCache::get(uint32_t n, uint16_t edgeLevels)
{
    std::unique_ptr<uint16_t[]>& strip = strips[n << 16 | edgeLevels];
    if (!strip)
    {
        strip = buildStrip(n);
        for (int side = 0; side < 4; ++side)
            stitchStripSide(strip.get(), n, side, sideDifference(edgeLevels, side));
        stripBytes += StripLayout(n).indexCount() * kIndexBytes;
    }
    return strip.get();
}
