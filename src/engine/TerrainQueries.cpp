// Terrain: patch identifiers and the spatial queries of the drawn surface.

#include "Terrain.h"

#include "lod/Landscape.h"
#include "lod/PatchId.h"

#include <algorithm>
#include <cmath>

namespace
{
// How far along a ray intersect looks, in world units.
constexpr float kRayReach = 100000.0f;
} // namespace

unsigned int Terrain::getPatchInfo(const Ogre::Vector3& point, int level) const
{
    return landscape->encodePatchId(point.x, point.z, level);
}

unsigned int Terrain::getPatchInfo(const Ogre::Vector3& point, int level, Ogre::Vector2& corner,
                                   Ogre::Vector2& size) const
{
    level = std::clamp(level, 0, kMaxPatchLevel);
    const float cell = terrainSize / float(1u << level);
    corner.x = std::floor((point.x - terrainOrigin) / cell) * cell + terrainOrigin;
    corner.y = std::floor((point.z - terrainOrigin) / cell) * cell + terrainOrigin;
    size = Ogre::Vector2(cell, cell);
    return getPatchInfo(point, level);
}

int Terrain::getPatchInfo(unsigned int patchId, Ogre::Vector2& corner, Ogre::Vector2& size) const
{
    const QuadPath path = patchIdPath(patchId);
    const float cell = terrainSize / float(1u << path.depth);
    size = Ogre::Vector2(cell, cell);
    corner = Ogre::Vector2(-terrainSize / 2.0f, -terrainSize / 2.0f);
    float step = terrainSize / 2.0f;
    for (int k = 0; k < path.depth; ++k)
    {
        if (path.digit(k) & 1)
            corner.x += step;
        if (path.digit(k) & 2)
            corner.y += step;
        step *= 0.5f;
    }
    return path.depth;
}

template <class Query>
Terrain::Hit Terrain::heightQuery(const Ogre::Vector3& point, Query query) const
{
    Hit result;
    result.position = point;
    result.position.y = bounds.isNull() ? 0.0f : bounds.getMinimum().y;
    // Only x and z decide whether the point lies over the terrain (the box test is inclusive).
    result.hit = bounds.contains(result.position);
    result.level = 0;
    if (!result.hit)
        return result;
    const float height = (landscape.get()->*query)(point.x, point.z, result.level, &result.normal);
    result.position.y = height;
    if (height == Landscape::kNoHeight || std::isnan(height))
        result.hit = false;
    return result;
}

Terrain::Hit Terrain::getHeight(const Ogre::Vector3& point) const
{
    return heightQuery(point, &Landscape::getHeight);
}

Terrain::Hit Terrain::getApproximateHeight(const Ogre::Vector3& point) const
{
    return heightQuery(point, &Landscape::getApproximateHeight);
}

Terrain::Hit Terrain::intersect(const Ogre::Ray& ray) const
{
    Hit result;
    // The direction is taken for its way only: a very long one would put the segment's end so
    // far off that floats could not tell the hit from the origin, a very short one would reach
    // nowhere. Its length is worked out in doubles, which do not overflow for any float.
    const Ogre::Vector3 origin = ray.getOrigin();
    const Ogre::Vector3 d = ray.getDirection();
    const double length = std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z);
    if (!(length > 0.0 && std::isfinite(length) && std::isfinite(origin.x) && std::isfinite(origin.y) &&
          std::isfinite(origin.z)))
        return result;
    const Ogre::Vector3 way(float(d.x / length), float(d.y / length), float(d.z / length));
    const Ogre::Vector3 to = origin + way * kRayReach;
    result.hit = landscape->intersect(origin, to, result.level, result.position, result.normal) != 0;
    return result;
}
