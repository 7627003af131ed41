#include "ProgressBar.h"

#include <unistd.h>

#include <algorithm>

ProgressBar::ProgressBar(FILE* out_, std::string label_, bool interactive_)
    : out(out_), label(std::move(label_)), interactive(interactive_)
{
}

ProgressBar::ProgressBar(std::string label_)
    : ProgressBar(stderr, std::move(label_), isatty(fileno(stderr)) != 0)
{
}

void ProgressBar::update(double fraction)
{
    if (finished)
        return;
    fraction = std::clamp(fraction, 0.0, 1.0);
    if (interactive)
    {
        const int percent = int(fraction * 100.0);
        if (percent == shown)
            return;
        shown = percent;
        const int filled = int(fraction * kWidth);
        std::fprintf(out, "\r%s [%s%s] %3d%%", label.c_str(), std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(kWidth - filled), '.').c_str(), percent);
    }
    else
    {
        // Tenths only: "label: 0% 10% 20% ... 100%".
        const int tenth = int(fraction * 10.0);
        if (tenth == shown)
            return;
        if (shown < 0)
            std::fprintf(out, "%s:", label.c_str());
        shown = tenth;
        std::fprintf(out, " %d%%", tenth * 10);
    }
    std::fflush(out);
}

void ProgressBar::finish(const std::string& note)
{
    if (finished)
        return;
    update(1.0);
    finished = true;
    std::fprintf(out, "%s%s\n", note.empty() ? "" : " ", note.c_str());
    std::fflush(out);
}
