#pragma once

// Filling the holes of a heightmap (pixels with no data) from the heights around them.

#include "HeightmapFiles.h"

#include <cstdint>
#include <vector>

// Gives every sample marked in holes (one flag per sample, row by row) a height that continues
// the valid samples around it smoothly: each connected hole is filled by a smooth
// interpolation inward from its edge (pull-push over a pyramid, then relaxation towards the
// average of the neighbours), so a filled sample lies between the lowest and highest valid
// samples near its hole, never at 0 or an extreme. A map with no valid sample is left as it is.
// Shows progress for large maps. Returns the number of samples filled.
uint64_t fillHoles(Heightmap& map, const std::vector<bool>& holes);
