#pragma once

// A progress bar on a terminal stream (standard error): redrawn in place on a terminal, a few
// percentages on one line otherwise (logs of CI runs stay short).

#include <cstdio>
#include <string>

class ProgressBar
{
public:
    // [in] out: the stream, usually stderr. interactive: redraw in place (a terminal).
    ProgressBar(FILE* out, std::string label, bool interactive);
    // A bar on stderr, interactive when stderr is a terminal.
    explicit ProgressBar(std::string label);

    // [in] fraction: 0 .. 1 of the work done; values outside are clamped. Draws only when the
    // shown value changes.
    void update(double fraction);
    // Ends the line with a note (e.g. "done in 1.2 s").
    void finish(const std::string& note);

private:
    static constexpr int kWidth = 40;  // characters of the bar
    FILE* out;
    std::string label;
    bool interactive;
    int shown = -1; // last percentage drawn (interactive) or last tenth printed (otherwise)
    bool finished = false;
};
