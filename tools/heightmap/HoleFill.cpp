#include "HoleFill.h"

#include "Progress.h"

#include <algorithm>
#include <cmath>

namespace
{
// Valid samples beyond the hole's bounding box that take part in its fill.
constexpr uint32_t kMargin = 2;
// Relaxation sweeps at each level of the pyramid: enough to smooth the blocks that pull-push
// leaves, cheap next to the rest.
constexpr int kSweeps = 8;

struct Box
{
    uint32_t x0, y0, x1, y1; // x1, y1 exclusive
};

// Value at (x, y) of a coarse grid by bilinear interpolation, coordinates in its cells.
float sampleBilinear(const std::vector<float>& grid, uint32_t width, uint32_t height, float x, float y)
{
    x = std::clamp(x, 0.0f, float(width - 1));
    y = std::clamp(y, 0.0f, float(height - 1));
    const uint32_t x0 = uint32_t(x);
    const uint32_t y0 = uint32_t(y);
    const uint32_t x1 = std::min(x0 + 1, width - 1);
    const uint32_t y1 = std::min(y0 + 1, height - 1);
    const float fx = x - float(x0);
    const float fy = y - float(y0);
    const float top = grid[size_t(y0) * width + x0] * (1 - fx) + grid[size_t(y0) * width + x1] * fx;
    const float bottom = grid[size_t(y1) * width + x0] * (1 - fx) + grid[size_t(y1) * width + x1] * fx;
    return top * (1 - fy) + bottom * fy;
}

// Fills the cells of values whose known flag is 0 from the known ones: the grid is halved until
// every cell holds something known (each coarse cell the average of its known children), then
// each level takes its unknown cells from the level above and relaxes them towards the average
// of their neighbours, keeping the known ones. Every result is an average of known values.
void pullPush(std::vector<float>& values, const std::vector<uint8_t>& known, uint32_t width, uint32_t height)
{
    const bool anyUnknown = std::find(known.begin(), known.end(), 0) != known.end();
    if (!anyUnknown || (width == 1 && height == 1))
        return;
    const uint32_t coarseWidth = (width + 1) / 2;
    const uint32_t coarseHeight = (height + 1) / 2;
    std::vector<float> coarse(size_t(coarseWidth) * coarseHeight, 0.0f);
    std::vector<uint8_t> coarseKnown(coarse.size(), 0);
    for (uint32_t cy = 0; cy < coarseHeight; ++cy)
        for (uint32_t cx = 0; cx < coarseWidth; ++cx)
        {
            float sum = 0.0f;
            int count = 0;
            for (uint32_t y = cy * 2; y < std::min(cy * 2 + 2, height); ++y)
                for (uint32_t x = cx * 2; x < std::min(cx * 2 + 2, width); ++x)
                    if (known[size_t(y) * width + x])
                    {
                        sum += values[size_t(y) * width + x];
                        ++count;
                    }
            if (count > 0)
            {
                coarse[size_t(cy) * coarseWidth + cx] = sum / float(count);
                coarseKnown[size_t(cy) * coarseWidth + cx] = 1;
            }
        }
    pullPush(coarse, coarseKnown, coarseWidth, coarseHeight);

    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            if (!known[size_t(y) * width + x])
                values[size_t(y) * width + x] = sampleBilinear(coarse, coarseWidth, coarseHeight,
                                                                (float(x) + 0.5f) / 2 - 0.5f,
                                                                (float(y) + 0.5f) / 2 - 0.5f);
    for (int sweep = 0; sweep < kSweeps; ++sweep)
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
            {
                const size_t i = size_t(y) * width + x;
                if (known[i])
                    continue;
                float sum = 0.0f;
                int count = 0;
                if (x > 0) { sum += values[i - 1]; ++count; }
                if (x + 1 < width) { sum += values[i + 1]; ++count; }
                if (y > 0) { sum += values[i - width]; ++count; }
                if (y + 1 < height) { sum += values[i + width]; ++count; }
                if (count > 0)
                    values[i] = sum / float(count);
            }
}
} // namespace

uint64_t fillHoles(Heightmap& map, const std::vector<bool>& holes)
{
    const uint64_t total = uint64_t(std::count(holes.begin(), holes.end(), true));
    if (total == 0 || total == map.sampleCount())
        return 0;
    const uint32_t width = map.width;
    const uint32_t height = map.height;
    // found: the hole's samples reached by the search so far; filled: those written back.
    // Between holes, found and filled agree, so within a box the samples found and not yet
    // filled are exactly the current hole's.
    std::vector<bool> found(holes.size(), false);
    std::vector<bool> filled(holes.size(), false);
    std::vector<uint64_t> stack;
    Progress progress = Progress::forSamples("filling", total, map.sampleCount());
    uint64_t done = 0;
    for (uint64_t start = 0; start < holes.size(); ++start)
    {
        if (!holes[start] || found[start])
            continue;
        // The hole's bounding box, by a search over its 4-connected samples.
        Box box{width, height, 0, 0};
        found[start] = true;
        stack.assign(1, start);
        while (!stack.empty())
        {
            const uint64_t i = stack.back();
            stack.pop_back();
            const uint32_t x = uint32_t(i % width);
            const uint32_t y = uint32_t(i / width);
            box = {std::min(box.x0, x), std::min(box.y0, y), std::max(box.x1, x + 1), std::max(box.y1, y + 1)};
            const auto visit = [&](uint64_t j) {
                if (holes[j] && !found[j])
                {
                    found[j] = true;
                    stack.push_back(j);
                }
            };
            if (x > 0) visit(i - 1);
            if (x + 1 < width) visit(i + 1);
            if (y > 0) visit(i - width);
            if (y + 1 < height) visit(i + width);
        }
        box.x0 = box.x0 > kMargin ? box.x0 - kMargin : 0;
        box.y0 = box.y0 > kMargin ? box.y0 - kMargin : 0;
        box.x1 = std::min(width, box.x1 + kMargin);
        box.y1 = std::min(height, box.y1 + kMargin);

        const uint64_t before = done;
        const uint32_t boxWidth = box.x1 - box.x0;
        const uint32_t boxHeight = box.y1 - box.y0;
        std::vector<float> values(size_t(boxWidth) * boxHeight);
        std::vector<uint8_t> known(values.size());
        for (uint32_t y = 0; y < boxHeight; ++y)
            for (uint32_t x = 0; x < boxWidth; ++x)
            {
                const uint64_t i = uint64_t(box.y0 + y) * width + box.x0 + x;
                values[size_t(y) * boxWidth + x] = map.samples[i];
                known[size_t(y) * boxWidth + x] = !holes[i];
            }
        pullPush(values, known, boxWidth, boxHeight);
        for (uint32_t y = 0; y < boxHeight; ++y)
            for (uint32_t x = 0; x < boxWidth; ++x)
            {
                const uint64_t i = uint64_t(box.y0 + y) * width + box.x0 + x;
                if (found[i] && !filled[i])
                {
                    map.samples[i] = uint16_t(std::lround(std::clamp(values[size_t(y) * boxWidth + x], 0.0f, 65535.0f)));
                    filled[i] = true;
                    ++done;
                }
            }
        progress.advance(done - before);
    }
    progress.finish();
    return done;
}
