#include "FrameStatistics.h"

#include <algorithm>
#include <cstdio>

bool ConvergenceTracker::add(const FrameSample& sample)
{
    const bool created = !first && (sample.patches > patches || sample.drawables > drawables);
    if (first || created || sample.pending != 0 || sample.builds != 0)
        quiet = 0;
    else
        quiet += 1;
    first = false;
    patches = sample.patches;
    drawables = sample.drawables;
    return converged();
}

void ConvergenceTracker::reset()
{
    quiet = 0;
    first = true;
}

void FrameSummary::add(const FrameSample& sample)
{
    count += 1;
    totalMs += sample.renderMs;
    slowest = std::max(slowest, sample.renderMs);
    peakMemory = std::max(peakMemory, sample.memoryBytes);
    peakTriangleCount = std::max(peakTriangleCount, sample.triangles);
    peakDrawnCount = std::max(peakDrawnCount, sample.drawn);
}

std::string formatCount(uint64_t count)
{
    char text[32];
    if (count >= 1000000)
        std::snprintf(text, sizeof text, "%.2fM", double(count) / 1e6);
    else
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(count));
    return text;
}

std::string formatSample(const FrameSample& sample)
{
    char text[200];
    std::snprintf(text, sizeof text,
                  "drawn %4llu  drawables %5llu  triangles %7s  pending %4llu  decals %2llu  memory %6.1f MiB  "
                  "total %6.1f MiB  render %6.1f ms",
                  static_cast<unsigned long long>(sample.drawn), static_cast<unsigned long long>(sample.drawables),
                  formatCount(sample.triangles).c_str(), static_cast<unsigned long long>(sample.pending),
                  static_cast<unsigned long long>(sample.decals), double(sample.memoryBytes) / (1024.0 * 1024.0),
                  double(sample.totalBytes) / (1024.0 * 1024.0), sample.renderMs);
    return text;
}
