#include "Sculptor.h"

#include "Terrain.h"
#include "heightmap/SampleRows.h"

#include <algorithm>
#include <cmath>

const char* brushName(Brush brush)
{
    switch (brush)
    {
    case Brush::raise: return "raise";
    case Brush::lower: return "lower";
    case Brush::smooth: return "smooth";
    case Brush::flatten: return "flatten";
    }
    return "?";
}

Sculptor::Sculptor(Terrain& terrain_, uint32_t edge_, float terrainSize_)
    : terrain(terrain_), edge(int(edge_)), terrainSize(terrainSize_),
      perUnit(float((edge_ & ~1u)) / terrainSize_)
{
}

void Sculptor::beginStroke()
{
    flattenTarget = -1;
    strokes.emplace_back();
    while (strokes.size() > kMaxStrokes || (undoBytes > kMaxUndoBytes && strokes.size() > 1))
    {
        for (const Before& before : strokes.front())
            undoBytes -= before.bytes.size();
        strokes.pop_front();
    }
}

uint64_t Sculptor::dab(float x, float z, float radius, Brush brush, float amount)
{
    const auto start = std::chrono::steady_clock::now();
    if (strokes.empty())
        beginStroke();
    // The brush in samples; the square around it, one sample wider for the smoothing's
    // neighbours, clipped to the map.
    const float centreX = (x + terrainSize / 2) * perUnit;
    const float centreZ = (z + terrainSize / 2) * perUnit;
    const float reach = std::max(radius * perUnit, 1.0f);
    const int x0 = std::max(int(std::floor(centreX - reach)), 0);
    const int z0 = std::max(int(std::floor(centreZ - reach)), 0);
    const int x1 = std::min(int(std::ceil(centreX + reach)) + 1, edge);
    const int z1 = std::min(int(std::ceil(centreZ + reach)) + 1, edge);
    if (!(x0 < x1 && z0 < z1))
        return 0;
    const int w = x1 - x0, h = z1 - z0;
    const int ox = std::max(x0 - 1, 0), oz = std::max(z0 - 1, 0);
    const int ow = std::min(x1 + 1, edge) - ox, oh = std::min(z1 + 1, edge) - oz;

    std::vector<char> raw(size_t(ow) * size_t(oh) * 2);
    if (terrain.getRawData(ox, oz, ow, oh, raw.data()) != uint64_t(ow) * uint64_t(oh))
        return 0;
    std::vector<uint16_t> old(size_t(ow) * size_t(oh));
    readSamples(raw.data(), old.data(), old.size());
    const auto at = [&](int sx, int sz) { return old[size_t(sz - oz) * size_t(ow) + size_t(sx - ox)]; };

    if (brush == Brush::flatten && flattenTarget < 0)
        flattenTarget = at(std::clamp(int(centreX), x0, x1 - 1), std::clamp(int(centreZ), z0, z1 - 1));

    Before before{x0, z0, w, h, std::vector<char>(size_t(w) * size_t(h) * 2)};
    std::vector<uint16_t> moved(size_t(w) * size_t(h));
    for (int sz = z0; sz < z1; ++sz)
        for (int sx = x0; sx < x1; ++sx)
        {
            const uint16_t sample = at(sx, sz);
            const size_t k = size_t(sz - z0) * size_t(w) + size_t(sx - x0);
            writeSamples(&sample, &before.bytes[2 * k], 1);
            const float dx = (float(sx) + 0.5f - centreX) / reach;
            const float dz = (float(sz) + 0.5f - centreZ) / reach;
            const float d2 = dx * dx + dz * dz;
            const float falloff = d2 < 1.0f ? (1.0f - d2) * (1.0f - d2) : 0.0f;
            float value = float(sample);
            const float pull = std::min(amount * falloff / 4096.0f, 1.0f);
            switch (brush)
            {
            case Brush::raise: value += amount * falloff; break;
            case Brush::lower: value -= amount * falloff; break;
            case Brush::flatten: value += (float(flattenTarget) - value) * pull; break;
            case Brush::smooth:
            {
                float sum = 0;
                int count = 0;
                for (int nz = std::max(sz - 1, oz); nz <= std::min(sz + 1, oz + oh - 1); ++nz)
                    for (int nx = std::max(sx - 1, ox); nx <= std::min(sx + 1, ox + ow - 1); ++nx, ++count)
                        sum += float(at(nx, nz));
                value += (sum / float(count) - value) * pull;
                break;
            }
            }
            moved[k] = uint16_t(std::lround(std::clamp(value, 0.0f, 65535.0f)));
        }

    std::vector<char> bytes(moved.size() * 2);
    writeSamples(moved.data(), bytes.data(), moved.size());
    const uint64_t written = terrain.setRawData(x0, z0, w, h, bytes.data());
    if (written > 0)
    {
        undoBytes += before.bytes.size();
        strokes.back().push_back(std::move(before));
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    spent.dabs += 1;
    spent.samples += written;
    spent.totalMs += ms;
    spent.slowestMs = std::max(spent.slowestMs, ms);
    return written;
}

bool Sculptor::undo()
{
    while (!strokes.empty() && strokes.back().empty())
        strokes.pop_back();
    if (strokes.empty())
        return false;
    // Later dabs first: each puts back what was there before it, so the first dab's copy of a
    // sample, the one from before the stroke, is written last.
    Stroke& stroke = strokes.back();
    for (auto before = stroke.rbegin(); before != stroke.rend(); ++before)
    {
        terrain.setRawData(before->x, before->z, before->w, before->h, before->bytes.data());
        undoBytes -= before->bytes.size();
    }
    strokes.pop_back();
    return true;
}
