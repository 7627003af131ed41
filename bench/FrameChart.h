#pragma once

// A picture of a run, frame by frame: the render thread's terrain time above, the terrain's
// memory below, each against its limit, as one SVG file that any browser shows. A table gives
// the worst frame; the chart shows when it came and whether memory came back down afterwards.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

struct FrameChart
{
    std::string title;
    std::string subtitle;         // the figures, say
    std::vector<double> frameUs;  // the terrain's time in each frame, microseconds
    std::vector<double> totalMiB; // the terrain's memory after each frame
    std::vector<size_t> marks;    // frames where the run did something (a teleport): ticks
    std::string markName;         // what a tick stands for
    double frameLimitUs = 2000;   // drawn across the time panel
    double budgetMiB = 256;       // drawn across the memory panel (0: no budget, no line)

    // Writes the chart; false when the file cannot be written.
    bool write(const std::string& path) const
    {
        std::FILE* file = std::fopen(path.c_str(), "w");
        if (!file)
            return false;
        std::fprintf(file,
                     "<svg xmlns='http://www.w3.org/2000/svg' width='%d' height='%d' font-family='sans-serif' "
                     "font-size='12'>\n<rect width='100%%' height='100%%' fill='white'/>\n",
                     kWidth, kTop + 2 * (kPanel + kGap));
        text(file, kLeft, 20, "start", 15, title);
        text(file, kLeft, 38, "start", 12, subtitle);
        panel(file, kTop, frameUs, 0.001, frameLimitUs * 0.001, "terrain time per frame, ms", "limit", "ms",
              "#1f6fb4");
        panel(file, kTop + kPanel + kGap, totalMiB, 1.0, budgetMiB, "terrain memory, MiB", "budget", "MiB",
              "#2b8a3e");
        std::fprintf(file, "</svg>\n");
        return std::fclose(file) == 0;
    }

private:
    static constexpr int kWidth = 960;
    static constexpr int kLeft = 64;
    static constexpr int kRight = 24;
    static constexpr int kTop = 52;
    static constexpr int kPanel = 230; // plot height
    static constexpr int kGap = 56;    // room under a plot for its axis and caption

    static void text(std::FILE* file, double x, double y, const char* anchor, int size, const std::string& words)
    {
        std::fprintf(file, "<text x='%.1f' y='%.1f' text-anchor='%s' font-size='%d'>%s</text>\n", x, y, anchor,
                     size, words.c_str());
    }

    // A step of 1, 2 or 5 times a power of ten that cuts span into about five parts.
    static double niceStep(double span)
    {
        const double rough = span / 5.0;
        const double power = std::pow(10.0, std::floor(std::log10(rough)));
        for (double factor : {1.0, 2.0, 5.0})
            if (factor * power >= rough)
                return factor * power;
        return 10.0 * power;
    }

    static std::string number(double value)
    {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, value == std::floor(value) ? "%.0f" : "%g", value);
        return buffer;
    }

    // One panel: values (scaled by scale into the axis' unit) as a line over the frames, with
    // a dashed line at limit, gridlines and the frame ticks.
    void panel(std::FILE* file, int top, const std::vector<double>& values, double scale, double limit,
               const std::string& caption, const char* limitName, const char* unit, const char* colour) const
    {
        const double plotWidth = kWidth - kLeft - kRight;
        double highest = limit * 1.1;
        for (double value : values)
            highest = std::max(highest, value * scale * 1.05);
        const double step = niceStep(highest);
        highest = std::ceil(highest / step) * step;
        const size_t frames = std::max<size_t>(values.size(), 2);
        const auto x = [&](double frame) { return kLeft + plotWidth * frame / double(frames - 1); };
        const auto y = [&](double value) { return top + kPanel - kPanel * value / highest; };

        for (double grid = 0; grid <= highest + step * 0.5; grid += step)
        {
            std::fprintf(file, "<line x1='%d' x2='%.1f' y1='%.1f' y2='%.1f' stroke='#e3e3e3'/>\n", kLeft,
                         kLeft + plotWidth, y(grid), y(grid));
            text(file, kLeft - 6, y(grid) + 4, "end", 11, number(grid));
        }
        const double frameStep = niceStep(double(frames - 1));
        for (double frame = 0; frame <= double(frames - 1); frame += frameStep)
            text(file, x(frame), top + kPanel + 16, "middle", 11, number(frame));
        text(file, kLeft + plotWidth / 2, top + kPanel + 34, "middle", 12,
             caption + " (frames across" + (marks.empty() ? "" : "; ticks: " + markName) + ")");
        for (size_t frame : marks)
            std::fprintf(file, "<line x1='%.1f' x2='%.1f' y1='%d' y2='%d' stroke='#999'/>\n", x(double(frame)),
                         x(double(frame)), top + kPanel, top + kPanel + 5);

        std::fprintf(file, "<polyline fill='none' stroke='%s' stroke-width='1' points='", colour);
        for (size_t frame = 0; frame < values.size(); ++frame)
            std::fprintf(file, "%.1f,%.1f ", x(double(frame)), y(values[frame] * scale));
        std::fprintf(file, "'/>\n");
        if (limit > 0) // a budget of 0 is none
        {
            std::fprintf(file,
                         "<line x1='%d' x2='%.1f' y1='%.1f' y2='%.1f' stroke='#c92a2a' stroke-dasharray='6 4'/>\n",
                         kLeft, kLeft + plotWidth, y(limit), y(limit));
            text(file, kLeft + plotWidth - 4, y(limit) - 5, "end", 11,
                 std::string(limitName) + " " + number(limit) + " " + unit);
        }
        std::fprintf(file, "<rect x='%d' y='%d' width='%.1f' height='%d' fill='none' stroke='#888'/>\n", kLeft, top,
                     plotWidth, kPanel);
    }
};
